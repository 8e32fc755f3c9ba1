"""The engine's plan made once and the store's kernels: `Plan.compute`
against `compute_features`, `Plan.compute_row` / `compute_rows` (targets
from record values) against the same targets computed from prepared
columns, and `gather_records` against `prepare_transactions`; their
refusals and what a call leaves behind."""

from __future__ import annotations

import sys
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from _feature_helpers import DAY, T0, EventLog, assert_bits_equal
from conftest import SENTINEL
from test_engine import REQUESTS, compute_call, request
from quelmar.afe.domain.modelling.feature_frame import _engine, native
from quelmar.afe.domain.modelling.feature_frame.store.blobs import RECORD, records_of

INT64_MIN, INT64_MAX = -2**63, 2**63 - 1
SINCE = [INT64_MIN, T0 - 200 * DAY, T0 + DAY]  # every row, some, none


def plan_and_settings(log, operators, per_dimension, horizons, resolution, offset, for_afe_columns,
                      empty_statistic_nan=True):
    layout, index_map = request(log, operators, per_dimension, horizons, for_afe_columns)
    layout.index_map = index_map  # a plan takes the layout's
    settings_ = dict(resolution=resolution, offset=offset, dim_group_id=1, for_afe_columns=for_afe_columns,
                     empty_statistic_nan=empty_statistic_nan)
    return native.plan_of(layout, **settings_), layout, index_map, settings_


def entity_values(prepared, rng, parts, kind):
    """Each entity's records dealt at random into `parts` values, each in
    the prepared order; None for an empty one. `kind`: how a value comes."""
    records = records_of(prepared)
    sources = [[] for _ in range(parts)]
    for e in range(prepared.n_entities):
        mine = records[prepared.offsets[e]:prepared.offsets[e + 1]]
        part = rng.integers(0, parts, len(mine))
        for j in range(parts):
            data = mine[part == j].tobytes()
            if kind == "bytearray":
                data = bytearray(data)
            elif kind == "unaligned memoryview":  # a view at an odd address, as LMDB may give
                data = memoryview(bytearray(b"x" + data))[1:]
            sources[j].append(data if len(data) else None)
    return sources


@pytest.mark.parametrize("for_afe_columns", [False, True], ids=["plain", "feature-group"])
@pytest.mark.parametrize("operators, per_dimension, horizons, resolution, offset", REQUESTS)
def test_a_plan_computes_the_bits_of_compute_features(operators, per_dimension, horizons, resolution, offset,
                                                       for_afe_columns):
    log = EventLog(seed=31 + len(horizons), max_targets=30)
    plan, layout, index_map, settings_ = plan_and_settings(log, operators, per_dimension, horizons, resolution,
                                                           offset, for_afe_columns)
    assert plan.n_columns == len(layout.names)
    prepared = native.prepare_transactions(log.entity, log.n_entities, log.timestamp, log.quantity, log.code)
    for fill_nan, start in ((True, np.nan), (False, SENTINEL)):
        expected = np.full((len(log.target_entity), plan.n_columns), start, np.float32)
        native.compute_features(expected, prepared, log.target_entity, log.target_ms, layout, index_map,
                                fill_nan=fill_nan, **settings_)
        for n_jobs in (1, 3):  # one plan, several calls
            got = np.full(expected.shape, start, np.float32)
            native.compute_planned(plan, got, prepared, log.target_entity, log.target_ms, fill_nan=fill_nan,
                                   n_jobs=n_jobs)
            assert_bits_equal(got, expected)


@pytest.mark.parametrize("parts, kind", [(1, "bytes"), (2, "unaligned memoryview"), (3, "bytearray")])
@pytest.mark.parametrize("since", SINCE, ids=["all rows", "some rows", "no row"])
@pytest.mark.parametrize("for_afe_columns", [False, True], ids=["plain", "feature-group"])
@pytest.mark.parametrize("operators, per_dimension, horizons, resolution, offset", REQUESTS)
def test_rows_from_values_are_the_targets_of_compute(operators, per_dimension, horizons, resolution, offset,
                                                     for_afe_columns, since, parts, kind):
    # The rows of each target's entity dealt into values; compute_row and
    # compute_rows give what compute gives for the rows from `since` on.
    log = EventLog(seed=7 + parts, max_targets=4)
    plan, layout, index_map, settings_ = plan_and_settings(log, operators, per_dimension, horizons, resolution,
                                                           offset, for_afe_columns)
    prepared = native.prepare_transactions(log.entity, log.n_entities, log.timestamp, log.quantity, log.code)
    kept = native.prepare_transactions(log.entity, log.n_entities, log.timestamp, log.quantity, log.code,
                                       keep_dates=(since, INT64_MAX))
    expected = native.compute_features(None, kept, log.target_entity, log.target_ms, layout, index_map, **settings_)
    sources = entity_values(prepared, np.random.default_rng(parts), parts, kind)
    row = np.full(plan.n_columns, SENTINEL, np.float32)
    for i, (e, at) in enumerate(zip(log.target_entity.tolist(), log.target_ms.tolist())):
        values = [] if e < 0 else [source[e] for source in sources]
        plan.compute_row(row, at, since, *values)
        assert_bits_equal(row, expected[i])
    # one date for many entities
    at = int(log.target_ms[0])
    at_once = native.compute_features(None, kept, np.arange(log.n_entities), np.full(log.n_entities, at), layout,
                                      index_map, **settings_)
    rows = np.full((log.n_entities, plan.n_columns), SENTINEL, np.float32)
    plan.compute_rows(rows, at, since, sources)
    assert_bits_equal(rows, at_once)


def test_many_rows_are_computed_on_threads_with_the_same_bits():
    # enough records that compute_rows lets the interpreter lock go and
    # runs its workers; a plan is shared by threads at once
    log = EventLog(seed=12, n_entities=400, n_rows=60_000, max_targets=1)
    plan, layout, index_map, settings_ = plan_and_settings(log, *REQUESTS[1].values, False)
    prepared = native.prepare_transactions(log.entity, log.n_entities, log.timestamp, log.quantity, log.code)
    entities, at = np.arange(log.n_entities), np.full(log.n_entities, T0)
    expected = native.compute_features(None, prepared, entities, at, layout, index_map, **settings_)
    sources = entity_values(prepared, np.random.default_rng(0), 2, "bytes")
    results = {}

    def compute(name, n_jobs):
        out = np.empty((log.n_entities, plan.n_columns), np.float32)
        plan.compute_rows(out, T0, INT64_MIN, sources, n_jobs=n_jobs)
        results[name] = out

    threads = [threading.Thread(target=compute, args=(n, n % 3 + 1)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 4
    for got in results.values():
        assert_bits_equal(got, expected)


@pytest.mark.parametrize("parts, shuffled", [(1, False), (2, False), (3, False), (2, True)],
                         ids=["one value", "two values", "three values", "values out of order"])
def test_gathered_values_are_the_preparation(parts, shuffled):
    # enough entities for several threads; a value out of order (not a
    # store's) is sorted as the preparation sorts
    log = EventLog(seed=4, n_entities=12_000, n_rows=80_000, long_run=3000)
    prepared = native.prepare_transactions(log.entity, log.n_entities, log.timestamp, log.quantity, log.code)
    sources = entity_values(prepared, np.random.default_rng(parts), parts, "bytes")
    if shuffled:
        rng = np.random.default_rng(5)
        sources[0] = [None if v is None else rng.permutation(np.frombuffer(v, RECORD)).tobytes() for v in sources[0]]
    copies = [list(source) for source in sources]
    for since in SINCE:
        expected = native.prepare_transactions(log.entity, log.n_entities, log.timestamp, log.quantity, log.code,
                                               keep_dates=(since, INT64_MAX))
        for n_jobs in (1, 3):
            got = native.gather_records(sources, since, n_jobs=n_jobs)
            for name in ("dates", "quantities", "codes", "offsets"):
                assert getattr(got, name).tobytes() == getattr(expected, name).tobytes(), (since, n_jobs, name)
    assert copies == sources  # the values are left as they were


records = st.lists(st.tuples(
    st.sampled_from([T0, T0 - DAY, T0 - 2 * DAY]),  # dates that tie
    st.sampled_from([1.0, 0.0, -0.0, 2.0, 0x7FC00000, 0xFFC00001]),  # ints: NaN payloads
    st.integers(-1, 1),  # code
    st.integers(0, 2),  # the value it goes to
), max_size=40)


@settings(max_examples=200, deadline=None)
@given(records=records, since=st.sampled_from([INT64_MIN, T0 - DAY, T0]))
def test_merged_values_do_not_depend_on_how_the_rows_are_dealt(records, since):
    # Rows that tie on date and code, NaNs of any payload and both zeros:
    # however an entity's rows are dealt into values, its gathered rows and
    # its computed row are those of its rows prepared together.
    table = np.zeros(len(records), RECORD)
    table["date"] = [r[0] for r in records]
    table["quantity"] = np.array([r[1] if isinstance(r[1], float) else np.uint32(r[1]).view(np.float32)
                                  for r in records], np.float32)
    table["code"] = [r[2] for r in records]
    entity = np.zeros(len(records), np.int64)
    whole = native.prepare_transactions(entity, 1, table["date"], table["quantity"], table["code"],
                                        keep_dates=(since, INT64_MAX))
    ordered = records_of(native.prepare_transactions(entity, 1, table["date"], table["quantity"], table["code"]))
    part = np.array([r[3] for r in records], np.int64)
    values = [[ordered[part == j].tobytes()] for j in range(3)]
    got = native.gather_records(values, since, n_jobs=1)
    for name in ("dates", "quantities", "codes", "offsets"):
        assert getattr(got, name).tobytes() == getattr(whole, name).tobytes(), name
    log = EventLog(seed=1)
    plan, layout, index_map, settings_ = plan_and_settings(log, *REQUESTS[2].values, False)
    expected = native.compute_features(None, whole, [0], [T0 + DAY], layout, index_map, **settings_)
    row = np.empty(plan.n_columns, np.float32)
    plan.compute_row(row, T0 + DAY, since, *(v[0] for v in values))
    assert_bits_equal(row, expected[0])


# ---- refusals ---------------------------------------------------------------------


def plan_arguments(**changes):
    """The request part of compute_call, as Plan takes it."""
    call = compute_call()
    arguments = {name: call[name] for name in ("columns", "horizons", "offset", "resolution", "index_map")}
    arguments.update(changes)
    return arguments


@pytest.mark.parametrize("changes, error, message", [
    (dict(horizons=[]), ValueError, "horizons must not be empty"),
    (dict(resolution=6), ValueError, "resolution must be a code 0 to 5, got 6"),
    (dict(columns=np.array([[1, 999, 7]], np.int32)), ValueError, "columns[0]: operator code 999 is not an operator"),
    (dict(index_map=[(1, 1)]), TypeError, "index_map: expected a dict, got list"),
    (dict(offset=2**31), ValueError, "offset: 2147483648 is outside"),
    (dict(group_value=1.5), TypeError, "group_value: expected an integer, got float"),
])
def test_a_bad_request_is_refused_as_compute_features_refuses_it(changes, error, message):
    with pytest.raises(error) as planned:
        _engine.Plan(**plan_arguments(**changes))
    with pytest.raises(error) as computed:
        _engine.compute_features(**compute_call(**changes))
    assert message in str(planned.value) and str(planned.value) == str(computed.value)


RECORD_BYTES = np.zeros(2, RECORD).tobytes()
_SHARED = bytearray(RECORD_BYTES * 2)


@pytest.mark.parametrize("out, values, error, message", [
    (np.zeros(2, np.float64), [], TypeError, "out: expected an array of float32"),
    (np.zeros(3, np.float32), [], ValueError, "out: expected 2 columns (one per column of the plan), got 3"),
    (np.zeros((1, 2), np.float32), [], ValueError, "out: expected 1 dimension, got 2"),
    (np.zeros(2, np.float32), [RECORD_BYTES, RECORD_BYTES[:-1]], ValueError,
     "values[1]: 25 bytes are not a whole number of 13-byte records"),
    (np.zeros(2, np.float32), [None, 7], TypeError, "values[1]: expected a bytes-like object or None, got int"),
    (np.frombuffer(_SHARED, np.float32, 2), [memoryview(_SHARED)], ValueError, "out: shares memory with values[0]"),
])
def test_bad_rows_are_refused_before_any_write(out, values, error, message):
    plan = _engine.Plan(**plan_arguments())
    before = out.copy()
    with pytest.raises(error) as raised:
        plan.compute_row(out, T0, INT64_MIN, *values)
    assert message in str(raised.value)
    assert out.tobytes() == before.tobytes()


def gather_arguments(**changes):
    call = dict(sources=[[RECORD_BYTES, None], [None, RECORD_BYTES]], since_ms=INT64_MIN,
                dates_out=np.zeros(4, np.int64), quantities_out=np.zeros(4, np.float32),
                codes_out=np.zeros(4, np.int8), offsets_out=np.zeros(3, np.int64))
    call.update(changes)
    return call


@pytest.mark.parametrize("changes, error, message", [
    (dict(sources=[]), ValueError, "sources: expected at least one sequence of values"),
    (dict(sources=[[None], [None, None]]), ValueError, "sources[1]: expected 1 values (one per entity"),
    (dict(sources=[[None, b"x" * 14]]), ValueError, "sources[0][1]: 14 bytes are not a whole number"),
    (dict(sources=[[None, "abc"]]), TypeError, "sources[0][1]: expected a bytes-like object or None, got str"),
    (dict(sources=5), TypeError, "sources: expected a sequence of sequences of values"),
    (dict(dates_out=np.zeros(3, np.int64)), ValueError, "dates_out: expected at least 4 elements (the records"),
    (dict(offsets_out=np.zeros(2, np.int64)), ValueError, "offsets_out: expected 3 elements"),
    (dict(codes_out=np.zeros(4, np.int16)), TypeError, "codes_out: expected an array of int8"),
    (dict(since_ms=2**63), ValueError, "since_ms: 9223372036854775808 is outside"),
    (dict(sources=[[memoryview(_SHARED)[:13]]], dates_out=np.frombuffer(_SHARED, np.int64, 1),
          offsets_out=np.zeros(2, np.int64)), ValueError, "dates_out: shares memory with sources[0][0]"),
])
def test_bad_gathering_is_refused_before_any_write(changes, error, message):
    call = gather_arguments(**changes)
    outputs = {name: np.array(value, copy=True) for name, value in call.items() if name.endswith("_out")}
    with pytest.raises(error) as raised:
        _engine.gather_records(**call)
    assert message in str(raised.value)
    for name, before in outputs.items():
        assert call[name].tobytes() == before.tobytes(), name


# ---- what a call leaves behind ------------------------------------------------------


def test_no_reference_or_buffer_outlives_a_call():
    plan = _engine.Plan(**plan_arguments())
    value, unaligned = bytearray(RECORD_BYTES), memoryview(bytearray(b"x" + RECORD_BYTES))[1:]
    bad = memoryview(bytearray(RECORD_BYTES[:-1]))
    row, rows = np.zeros(2, np.float32), np.zeros((2, 2), np.float32)
    sources = [[value, None], [None, unaligned]]
    gather = gather_arguments(sources=sources)
    watched = [plan, value, unaligned, bad, row, rows, sources, sources[0], gather["dates_out"]]
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(100):
        plan.compute_row(row, T0, INT64_MIN, value, unaligned)
        plan.compute_rows(rows, T0, INT64_MIN, sources, n_jobs=2)
        _engine.gather_records(**gather)
        with pytest.raises(ValueError):
            plan.compute_row(row, T0, INT64_MIN, value, bad)
        with pytest.raises(ValueError):
            _engine.gather_records(**gather_arguments(sources=[[value, bad]]))
    assert [sys.getrefcount(obj) for obj in watched] == before
    for view in (unaligned, bad):
        view.release()  # BufferError if a call left it exported
    value.extend(b"x")  # BufferError if a call left the bytearray exported
