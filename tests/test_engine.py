"""The front end's native path: preparation of the transaction columns and the
engine that computes the feature matrix from them, against `execute` and
NumPy's lexsort, for any number of threads; and their refusals."""

from __future__ import annotations

import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from _feature_helpers import DAY, T0, EventLog, assert_bits_equal, f32_bits
from quelmar.afe.domain.enums.afe_operator import AfeOperator as Op
from quelmar.afe.domain.modelling.feature_frame import _engine, native
from quelmar.afe.domain.modelling.feature_frame.input import times_of_array
from quelmar.afe.domain.modelling.feature_frame.params import FeatureParams, build_layout, make_index_map
from conftest import SENTINEL

# Codes -2..4 occur; several share a value, code 4 is left to the unknown value.
DIMENSION_VALUES = {-2: 1, -1: 1, 0: 2, 1: 3, 2: 3, 3: 5}
# Wide rows: codes -40..39 onto 40 values, so that an entity touches few.
WIDE_CODES = (-40, 40)
WIDE_DIMENSION_VALUES = {c: c // 2 for c in range(-40, 38)}

REQUESTS = [
    # operators, per-dimension operators, horizons, resolution, offset
    pytest.param([Op.Sum, Op.Frequency, Op.Max], [], [7, 30, 90, 365], 2, 0, id="sum-frequency-max"),
    pytest.param([Op.Sum, Op.Ratio, Op.Min, Op.Density], [], [30, 7, 90], 2, 1, id="ratio"),
    pytest.param([Op.CountDistinct, Op.Mode, Op.Sum, Op.TimeSinceLast], [], [7, 30], 3, 2,
                 id="count-distinct-mode-hours"),
    pytest.param(list(Op), [Op.TimeSinceFirst, Op.Mode], [90, 7, 30], 2, 1, id="all-per-dimension"),
]


def request(log, operators, per_dimension, horizons, for_afe_columns, dim_group_id=1,
            dimension_values=DIMENSION_VALUES):
    index_map = make_index_map(dimension_values, log.code)
    # The columns do not depend on the offset, which these calls set themselves.
    params = FeatureParams(horizons=horizons, operators=operators, per_dimension_operators=per_dimension,
                           for_afe_columns=for_afe_columns, dim_group_id=dim_group_id, offset=1)
    layout = build_layout(set(index_map.values()), params)
    return layout, index_map


@pytest.mark.parametrize("max_targets, codes, values", [(3, (-2, 5), DIMENSION_VALUES), (60, (-2, 5), DIMENSION_VALUES),
                                                        (60, WIDE_CODES, WIDE_DIMENSION_VALUES)],
                         ids=["few-targets", "many-targets", "many-targets-wide"])
@pytest.mark.parametrize("for_afe_columns", [False, True], ids=["plain", "feature-group"])
@pytest.mark.parametrize("operators, per_dimension, horizons, resolution, offset", REQUESTS)
def test_engine_writes_what_execute_writes(operators, per_dimension, horizons, resolution, offset,
                                           for_afe_columns, max_targets, codes, values):
    # Quantities are small dyadic numbers, so that execute's float32 sums are
    # exact and equal the engine's; many targets per entity share windows,
    # which then slide from one target to the next.
    log = EventLog(seed=len(horizons) * 10 + resolution + for_afe_columns, max_targets=max_targets, codes=codes)
    layout, index_map = request(log, operators, per_dimension, horizons, for_afe_columns, dimension_values=values)
    settings_ = dict(resolution=resolution, offset=offset, dim_group_id=1, for_afe_columns=for_afe_columns)
    shape = (len(log.target_entity), len(layout.names))
    expected = log.execute(np.full(shape, np.nan, np.float32), layout, index_map, **settings_)
    assert np.isfinite(expected).any() and np.isnan(expected).any()
    prepared = native.prepare_transactions(log.entity, log.n_entities, log.timestamp, log.quantity,
                                            log.code, n_jobs=2)
    inputs = [*prepared, log.target_entity, log.target_ms]
    copies, index_map_copy = [np.array(a, copy=True) for a in inputs], dict(index_map)
    for n_jobs in (1, 2, 3):
        got = native.compute_features(None, prepared, log.target_entity, log.target_ms, layout,
                                       index_map, n_jobs=n_jobs, **settings_)
        assert_bits_equal(got, expected)
    # Without the NaN fill, cells execute leaves alone keep what they held.
    expected = log.execute(np.full(shape, SENTINEL), layout, index_map, **settings_)
    got = np.full(shape, SENTINEL)
    native.compute_features(got, prepared, log.target_entity, log.target_ms, layout, index_map,
                             n_jobs=3, fill_nan=False, **settings_)
    assert_bits_equal(got, expected)
    # the computations leave their inputs as they were
    for before, after in zip(copies, inputs):
        assert np.array_equal(before.view(np.uint8), after.view(np.uint8))
    assert index_map == index_map_copy


@pytest.mark.parametrize("for_afe_columns", [False, True], ids=["plain", "feature-group"])
@pytest.mark.parametrize("per_dimension", [[], [Op.CountDistinct, Op.Mode]], ids=["per-horizon", "per-dimension"])
def test_empty_windows_can_give_nan_statistics(per_dimension, for_afe_columns):
    # execute writes 0 for count_distinct and mode of a window without an
    # accepted transaction; on request the engine writes NaN there and
    # nothing else changes
    log = EventLog(seed=21 + for_afe_columns)
    layout, index_map = request(log, [Op.CountDistinct, Op.Sum, Op.Mode], per_dimension, [30, 7, 90],
                                for_afe_columns)
    settings_ = dict(resolution=2, offset=1, dim_group_id=1, for_afe_columns=for_afe_columns)
    expected = log.execute(np.full((len(log.target_entity), len(layout.names)), np.nan, np.float32), layout,
                           index_map, **settings_)
    empty = log.empty_statistic_cells(layout, per_dimension, offset=1, unit_ms=DAY, for_afe_columns=for_afe_columns)
    has_rows = np.isfinite(expected).any(axis=1)
    assert (expected[empty & has_rows[:, None]] == 0).all()
    assert np.count_nonzero(empty & has_rows[:, None]) > 10 and np.count_nonzero(~empty & has_rows[:, None]) > 10
    expected[empty] = np.nan
    prepared = native.prepare_transactions(log.entity, log.n_entities, log.timestamp, log.quantity, log.code)
    for n_jobs in (1, 3):
        got = native.compute_features(None, prepared, log.target_entity, log.target_ms, layout, index_map,
                                       empty_statistic_nan=True, n_jobs=n_jobs, **settings_)
        assert_bits_equal(got, expected)


def first_appearance_codes(ids):
    """Codes numbering the distinct ids in order of first appearance."""
    uniques, first, inverse = np.unique(ids, return_index=True, return_inverse=True)
    rank = np.empty(len(uniques), np.int64)
    rank[np.argsort(first, kind="stable")] = np.arange(len(uniques))
    return rank[inverse.reshape(-1)], uniques[np.argsort(first, kind="stable")]


@pytest.mark.parametrize("n_jobs", [1, 2, 3])
@pytest.mark.parametrize("dtype, spread, by_range", [
    (np.int64, 1, True), (np.int32, 1, True), (np.int64, -3, True),  # ids within a narrow range
    (np.int64, 10**12 + 7, False), (np.uint64, 2**40 + 1, False), (np.int32, 104_729, False),
    (np.int16, 1, True),
])
def test_entity_ids_are_numbered_densely(dtype, spread, by_range, n_jobs):
    rng = np.random.default_rng(6)
    entity = rng.integers(0, 5000, 80_000)
    base = 0 if np.dtype(dtype).kind == "u" or np.dtype(dtype).itemsize < 4 else -77
    ids = (base + entity * spread).astype(dtype)
    target_ids = (base + rng.integers(0 if base == 0 else -100, 5100, 3000) * spread).astype(dtype)
    codes, n_entities, target_codes = native.factorize_entities(ids, target_ids, n_jobs=n_jobs)
    assert codes.dtype == target_codes.dtype == np.int32
    if by_range:
        low = int(ids.min())
        assert n_entities == int(ids.max()) - low + 1
        assert np.array_equal(codes, ids.astype(np.int64) - low)
        id_of_code = np.arange(n_entities) + low
    else:  # the targets' ids first, then those only the transactions have
        both = np.concatenate([target_ids.astype(np.int64), ids.astype(np.int64)])
        want, id_of_code = first_appearance_codes(both)
        assert n_entities == len(id_of_code) and np.array_equal(codes, want[len(target_ids):])
    # a target gets its id's code; an id outside the codes gets -1
    coded = np.isin(target_ids.astype(np.int64), id_of_code)
    assert np.array_equal(id_of_code[target_codes[coded]], target_ids[coded].astype(np.int64))
    assert (target_codes[~coded] == -1).all() and (~coded).any() == by_range


@pytest.mark.parametrize("order, n_entities", [("random", 2000), ("oldest first", 2000), ("newest first", 2000),
                                               ("random", 300_000)])
@pytest.mark.parametrize("n_jobs", [1, 2, 3])
@pytest.mark.parametrize("keep_days", [None, (-250, -30), (1, 0)], ids=["all rows", "some days", "no row"])
def test_preparation_is_the_lexsort_order(order, n_entities, n_jobs, keep_days):
    # Enough rows for several threads and buckets, a run longer than the
    # short-run sort handles, and (300,000 entities) mostly entities without
    # rows, more than a bucket holds.
    log = EventLog(seed=5, n_entities=n_entities, n_rows=200_000, long_run=5000, order=order)
    keep = None if keep_days is None else tuple(T0 + d * DAY for d in keep_days)
    present = np.zeros(log.n_entities, bool)
    inputs = (log.entity, log.timestamp, log.quantity, log.code)
    copies = [np.array(a, copy=True) for a in inputs]
    prepared = native.prepare_transactions(log.entity, log.n_entities, log.timestamp, log.quantity,
                                            log.code, keep_dates=keep, present_out=present, n_jobs=n_jobs)
    for before, after in zip(copies, inputs):  # the inputs are left unchanged
        assert np.array_equal(before.view(np.uint8), after.view(np.uint8))
    dates, quantities, codes, offsets = log.lexsorted() if keep is None else log.lexsorted(keep)
    # rows left out still tell which entities have any
    assert np.array_equal(present, np.bincount(log.entity, minlength=log.n_entities) > 0)
    assert np.array_equal(prepared.dates, dates)
    assert np.array_equal(f32_bits(prepared.quantities), f32_bits(quantities))
    assert np.array_equal(prepared.codes, codes)
    assert np.array_equal(prepared.offsets, offsets)


def test_clumped_timestamps_are_ordered_too():
    # Most rows of each entity on one day and a few years away: the spread
    # by timestamp crowds and the quicksort takes over.
    rng = np.random.default_rng(8)
    n = 40_000
    entity = rng.integers(0, 100, n)
    timestamp = np.where(rng.random(n) < 0.95, T0 + rng.integers(0, 50, n), T0 - 3000 * DAY)
    quantity = rng.random(n).astype(np.float32)
    code = rng.integers(0, 3, n).astype(np.int8)
    prepared = native.prepare_transactions(entity, 100, timestamp, quantity, code, n_jobs=2)
    order = np.lexsort((quantity, code, ~timestamp, entity))
    assert np.array_equal(prepared.dates, timestamp[order])
    assert np.array_equal(prepared.quantities, quantity[order])


UNIT_CASES = [
    # timestamps as given, and as NumPy converts them to milliseconds
    ("datetime64[ns]", lambda v: v.astype("datetime64[ms]").view(np.int64)),
    ("datetime64[us]", lambda v: v.astype("datetime64[ms]").view(np.int64)),
    ("datetime64[s]", lambda v: v.astype("datetime64[ms]").view(np.int64)),
    ("datetime64[D]", lambda v: v.astype("datetime64[ms]").view(np.int64)),
    ("datetime64[10ms]", lambda v: v.astype("datetime64[ms]").view(np.int64)),
    ("datetime64[3us]", lambda v: v.astype("datetime64[ms]").view(np.int64)),
    ("datetime64[M]", lambda v: v.astype("datetime64[ms]").view(np.int64)),
    ("int32", lambda v: v.astype(np.int64)),
]


@pytest.mark.parametrize("unit, to_ms", UNIT_CASES, ids=[u for u, _ in UNIT_CASES])
@pytest.mark.parametrize("entity_dtype, quantity_dtype, code_dtype",
                         [(np.int64, np.float64, np.int64), (np.int32, np.float32, np.int16),
                          (np.uint16, np.int32, None)])
def test_preparation_converts_every_accepted_column_type(unit, to_ms, entity_dtype, quantity_dtype,
                                                         code_dtype):
    rng = np.random.default_rng(3)
    n = 5000
    entity = rng.integers(0, 50, n)
    # Counts on both sides of the epoch: negative ones round toward minus infinity.
    counts = rng.integers(-10**6, 10**6, n) * (rng.integers(1, 10**6, n) if unit.endswith("s]") else 1)
    timestamps = counts.astype(np.dtype(unit)) if unit.startswith("datetime") else counts.astype(unit)
    quantity = (rng.integers(-3, 30, n) / 4).astype(quantity_dtype)
    code = None if code_dtype is None else rng.integers(-128, 128, n).astype(code_dtype)
    times = times_of_array(timestamps)  # the counts as they are, and their unit
    prepared = native.prepare_transactions(entity.astype(entity_dtype), 50, times.counts, quantity, code,
                                           ms_ratio=times.ratio, n_jobs=2)
    ms = to_ms(timestamps)
    assert np.array_equal(times.milliseconds(), ms)
    q32 = quantity.astype(np.float64).astype(np.float32)
    d8 = np.zeros(n, np.int8) if code is None else code.astype(np.int8)
    order = np.lexsort((q32, d8, ~ms, entity))
    assert np.array_equal(prepared.dates, ms[order])
    assert np.array_equal(f32_bits(prepared.quantities), f32_bits(q32[order]))
    assert np.array_equal(prepared.codes, d8[order])


rows = st.lists(
    st.tuples(
        st.integers(0, 3),  # entity
        st.sampled_from([T0, T0 - DAY, T0 - 2 * DAY]),  # timestamps that tie
        st.sampled_from([1.0, 0.0, -0.0, float("nan"), -float("nan"), 2.0]),
        st.integers(-1, 1),  # code
        st.sampled_from([0x7FC00000, 0x7FC00001, 0xFFC00000, 0x7F800001]),  # NaN payloads
    ),
    min_size=1, max_size=60)


@settings(max_examples=200, deadline=None)
@given(rows=rows, seed=st.integers(0, 2**32 - 1))
def test_preparation_does_not_depend_on_the_row_order(rows, seed):
    # Rows that compare equal in the lexsort (0.0 and -0.0; NaNs of any
    # payload) but differ in bits are ordered by their bits, not their place.
    entity = np.array([r[0] for r in rows])
    timestamp = np.array([r[1] for r in rows], dtype=np.int64)
    quantity = np.array([r[2] for r in rows], dtype=np.float32)
    nan = np.isnan(quantity)
    quantity[nan] = np.array([r[4] for r in rows], dtype=np.uint32)[nan].view(np.float32)
    code = np.array([r[3] for r in rows], dtype=np.int8)
    shuffle = np.random.default_rng(seed).permutation(len(rows))
    first = native.prepare_transactions(entity, 4, timestamp, quantity, code, n_jobs=1)
    second = native.prepare_transactions(entity[shuffle], 4, timestamp[shuffle], quantity[shuffle],
                                          code[shuffle], n_jobs=2)
    for name in ("dates", "quantities", "codes", "offsets"):
        assert np.array_equal(getattr(first, name).view(np.uint8), getattr(second, name).view(np.uint8))
    assert not (np.diff(first.dates[first.offsets[0]:first.offsets[1]]) > 0).any()  # newest first


# ---- refusals ---------------------------------------------------------------------


def prepare_call(**changes):
    """Arguments of a valid native preparation of 3 rows and 2 entities."""
    call = dict(entity_codes=np.array([1, 0, 1]), n_entities=2,
                timestamps=np.array([T0, T0 - DAY, T0 - 2 * DAY]),
                quantities=np.array([1.0, 2.0, 3.0]), codes=np.array([1, 2, 3], dtype=np.int8),
                dates_out=np.full(3, 7, np.int64), quantities_out=np.full(3, 7, np.float32),
                codes_out=np.full(3, 7, np.int8), offsets_out=np.full(3, 7, np.int64))
    call.update(changes)
    return call


# one buffer passed as an input and as an output
_SHARED = np.zeros(3, np.int64)
_SHARED_FRAME = np.zeros((3, 2), np.float32)

PREPARE_REFUSALS = [
    (dict(entity_codes=np.array([1, 2, 1])), ValueError, "entity code 2 at row 1 is outside 0..1"),
    (dict(entity_codes=np.array([1, -1, 1])), ValueError, "entity code -1 at row 1"),
    (dict(entity_codes=np.array([1.0, 0.0, 1.0])), TypeError, "entity_codes: expected an array of int32 or int64"),
    (dict(entity_codes=[1, 0, 1]), TypeError, "entity_codes: expected a 1-dimensional array"),
    (dict(entity_codes=np.array([[1, 0, 1]])), ValueError, "entity_codes: expected 1 dimension, got 2"),
    (dict(n_entities=-1), ValueError, "n_entities: -1 is outside"),
    (dict(n_entities=2.0), TypeError, "n_entities: expected an integer"),
    (dict(timestamps=np.array([T0, T0])), ValueError, "timestamps: expected 3 elements"),
    (dict(timestamps=np.array([T0, T0, T0], dtype=">i8")), TypeError, "big-endian"),
    (dict(timestamps=np.array([T0, -2**63, 0]), nat_is_missing=True), ValueError,
     "timestamp at row 1 is missing (NaT)"),
    (dict(timestamps=np.array([0, 2**62, 0]), ms_multiplier=1000), ValueError,
     "timestamp at row 1 (4611686018427387904 units) is outside the int64 millisecond range"),
    (dict(ms_divisor=0), ValueError, "ms_divisor: 0 is outside"),
    (dict(quantities=np.array([1, 2, 3])), TypeError, "quantities: expected an array of float32 or float64"),
    (dict(codes=np.array([1, 200, 3])), ValueError, "dimension code 200 at row 1 is outside int8"),
    (dict(codes=np.array([1, 2, 3], dtype=np.uint8)), TypeError, "codes: expected an array of int8 to int64"),
    (dict(dates_out=np.zeros(3, np.int32)), TypeError, "dates_out: expected an array of int64"),
    (dict(quantities_out=np.zeros(6, np.float32)[::2]), ValueError, "quantities_out: the output array must be C-contiguous"),
    (dict(offsets_out=np.zeros(4, np.int64)), ValueError, "offsets_out: expected 3 elements (n_entities + 1)"),
    (dict(n_jobs=0), ValueError, "n_jobs: 0 is outside"),
    (dict(progress=5), TypeError, "progress: expected a callable or None"),
    (dict(timestamps=_SHARED, dates_out=_SHARED), ValueError, "dates_out: shares memory with timestamps"),
    (dict(keep_from=1.5), TypeError, "keep_from: expected an integer"),
    (dict(keep_until=2**63), ValueError, "keep_until: 9223372036854775808 is outside"),
    (dict(present_out=np.zeros(3, bool)), ValueError, "present_out: expected 2 elements (n_entities)"),
    (dict(present_out=np.zeros(2, np.int8)), TypeError, "present_out: expected an array of bool"),
]


@pytest.mark.parametrize("changes, error, message", PREPARE_REFUSALS)
def test_bad_preparation_input_is_refused_before_any_write(changes, error, message):
    call = prepare_call(**changes)
    outputs = {name: np.array(call[name], copy=True) for name in call if name.endswith("_out")
               and isinstance(call[name], np.ndarray)}
    with pytest.raises(error, match=None) as raised:
        _engine.prepare_transactions(**call)
    assert message in str(raised.value)
    for name, before in outputs.items():
        assert np.array_equal(call[name], before), name


def compute_call(**changes):
    """Arguments of a valid native computation: 3 targets, 2 entities, 2 columns."""
    sum_code = int(Op.Sum.value)
    call = dict(out=np.full((3, 2), SENTINEL), dates=np.array([T0 - DAY, T0 - 2 * DAY, T0 - DAY]),
                quantities=np.array([1.0, 2.0, 3.0], np.float32), codes=np.array([1, 1, 2], np.int8),
                offsets=np.array([0, 2, 3]), target_entities=np.array([0, 1, -1]),
                target_dates=np.array([T0, T0, T0]),
                columns=np.array([[1, sum_code, 7], [2, sum_code, 7]], np.int32), horizons=[7], offset=0,
                resolution=2, index_map={1: 1, 2: 2})
    call.update(changes)
    return call


def test_the_valid_computation_writes_its_rows():
    call = compute_call()
    _engine.compute_features(**call, n_jobs=2)
    assert_bits_equal(call["out"], np.array([[3, np.nan], [np.nan, 3], [np.nan, np.nan]], np.float32))


COMPUTE_REFUSALS = [
    (dict(out=np.zeros((3, 2))), TypeError, "out: expected an array of float32"),
    (dict(out=np.zeros((2, 3), np.float32).T), ValueError, "out: the output array must be C-contiguous"),
    (dict(target_entities=np.array([0, 2, -1])), ValueError,
     "target entity code 2 at position 1 is beyond the 2 entities of offsets"),
    (dict(target_entities=np.array([0, 1])), ValueError, "target_entities: expected 3 elements"),
    (dict(target_dates=np.array([1, 2, 3], np.int32)), TypeError, "target_dates: expected an array of int64"),
    (dict(offsets=np.array([0, 3, 2])), ValueError, "offsets must be non-decreasing from 0: offsets[2] = 2"),
    (dict(offsets=np.array([-1, 2, 3])), ValueError, "offsets[0] = -1"),
    (dict(offsets=np.array([0, 2, 4])), ValueError, "offsets reach row 4, beyond the 3 transaction rows"),
    (dict(offsets=np.array([], np.int64)), ValueError, "offsets must hold n_entities + 1 entries"),
    (dict(codes=np.array([1, 1], np.int8)), ValueError, "the prepared columns differ in length"),
    (dict(horizons=[]), ValueError, "horizons must not be empty"),
    (dict(horizons=[7, "30"]), TypeError, "horizons: expected an integer, got str"),
    (dict(horizons=7), TypeError, "horizons: expected a sequence of integers"),
    (dict(resolution=6), ValueError, "resolution must be a code 0 to 5, got 6"),
    (dict(offset=2**31), ValueError, "offset: 2147483648 is outside"),
    (dict(index_map={1: 2**15}), ValueError, "index_map: 32768 is outside"),
    (dict(index_map=[(1, 1)]), TypeError, "index_map: expected a dict, got list"),
    (dict(columns=np.array([[1, int(Op.Sum.value), 7]], np.int32)), ValueError,
     "columns describes 1 columns, out has 2"),
    (dict(columns=np.array([[1, int(Op.Sum.value)], [2, int(Op.Sum.value)]], np.int32)), ValueError,
     "columns: expected 3 entries per column"),
    (dict(columns=np.array([[1, int(Op.Sum.value), 30], [2, int(Op.Sum.value), 7]], np.int32)), ValueError,
     "columns[0]: horizon 30 is not among the horizons"),
    (dict(columns=np.array([[1, 999, 7], [2, int(Op.Sum.value), 7]], np.int32)), ValueError,
     "columns[0]: operator code 999 is not an operator"),
    (dict(columns=np.array([[1, int(Op.Ratio.value), 0], [2, int(Op.Sum.value), 7]], np.int32)), ValueError,
     "columns[0]: a ratio needs a horizon"),
    (dict(columns=np.array([[1, int(Op.Ratio.value), 7]] * 2, np.int32), feature_group=True, group_value=1),
     ValueError, "columns[1]: feature-group mode writes one ratio column only"),
    (dict(columns=np.array([[1, int(Op.Ratio.value), 7], [2, int(Op.Sum.value), 7]], np.int32),
          feature_group=True, group_value=2), ValueError,
     "columns[0]: the feature-group ratio is the share of the group value 2, not of 1"),
    (dict(group_value=1.5), TypeError, "group_value: expected an integer, got float"),
    (dict(n_jobs=-3), ValueError, "n_jobs: -3 is outside"),
    (dict(n_jobs="2"), TypeError, "n_jobs: expected an integer"),
    (dict(out=_SHARED_FRAME, quantities=_SHARED_FRAME.reshape(-1)), ValueError, "out: shares memory with quantities"),
]


@pytest.mark.parametrize("changes, error, message", COMPUTE_REFUSALS)
def test_bad_computation_input_is_refused_before_any_write(changes, error, message):
    call = compute_call(**changes)
    before = np.array(call["out"], copy=True)
    with pytest.raises(error) as raised:
        _engine.compute_features(**call)
    assert message in str(raised.value)
    assert_bits_equal(call["out"], before)


# ---- what a call leaves behind ------------------------------------------------------


def test_no_reference_or_buffer_outlives_a_call():
    def memoryviews(call):
        return {name: memoryview(value) if isinstance(value, np.ndarray) else value
                for name, value in call.items()}

    good, bad = memoryviews(compute_call()), memoryviews(compute_call(horizons=[30]))
    prepared = memoryviews(prepare_call())
    callback = lambda done, total: None  # noqa: E731
    watched = [good["out"], good["dates"], good["index_map"], good["horizons"], callback, prepared["timestamps"]]
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(100):
        _engine.compute_features(**good, n_jobs=2, progress=callback)
        with pytest.raises(ValueError):
            _engine.compute_features(**bad)
        _engine.prepare_transactions(**prepared, progress=callback)
    assert [sys.getrefcount(obj) for obj in watched] == before
    for call in (good, bad, prepared):
        for value in call.values():
            if isinstance(value, memoryview):
                value.release()  # BufferError if a call left it exported


@pytest.mark.slow
def test_a_raising_progress_callback_stops_the_work_and_propagates():
    # Long enough for the calling thread to look at the workers (every 0.1 s).
    log = EventLog(seed=1, n_entities=50_000, n_rows=4_000_000, long_run=100)
    n = len(log.entity)
    calls = []

    def stop(done, total):
        calls.append((done, total))
        raise KeyError("stop")

    outputs = [np.empty(n, np.int64), np.empty(n, np.float32), np.empty(n, np.int8),
               np.empty(log.n_entities + 1, np.int64)]
    with pytest.raises(KeyError, match="stop"):
        for _ in range(20):
            _engine.prepare_transactions(log.entity, log.n_entities, log.timestamp, log.quantity, log.code,
                                         *outputs, n_jobs=1, progress=stop)
    assert len(calls) == 1 and 0 <= calls[0][0] < calls[0][1] == 3 * n
