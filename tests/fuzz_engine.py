"""Random and hostile arguments for the engine's entries,
`_engine.count_codes`, `_engine.factorize_entities`,
`_engine.prepare_transactions` and `_engine.compute_features`, and (in
`fuzz_records.py`) for the store's: `_engine.gather_records` and the
methods of `_engine.Plan`.

Each call starts from a small random table and request, mostly consistent,
to which hostile changes are applied: wrong dtypes, shapes, strides and byte
orders, `None`s, entity codes and offsets out of range or out of order,
outputs that share memory with inputs, huge and negative integers,
timestamps at the int64 limits, raising callbacks and iterables, thread
counts from 1 to far beyond the machine. After every call it checks that the
call returned `None` or raised an ordinary exception, that every input is
unchanged and holds the same references as before, that nothing was
written outside the outputs; and of a call that returned, that another
thread count gives the same bits and that the result is right: the counts
of the codes and the first code outside int8 are those of NumPy, equal ids
get equal codes and a target its id's code, a preparation is grouped by
entity and newest first, a computation writes what `execute` writes for
the same rows (NaN where it writes a 0 for an empty window, if asked).

    python tests/fuzz_engine.py --calls 20000 --seed 1

exits 1 on the first violated check (a crash ends the process anyway).
"""

from __future__ import annotations

import collections
import operator
import random
import sys
import warnings

import numpy as np

from quelmar.afe.domain.enums.afe_operator import AfeOperator

import fuzz_records
from fuzz_execute import (
    E, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN, NullWriter, OPERATOR_CODES, RaisingIterable, T0, DAY,
    FuzzFailure, compare_state, fuzz_main, hostile_array, hostile_integer, outside_view, random_layout, refcounts,
    snapshot,
)

ENGINE_PATH = "quelmar.afe.domain.modelling.feature_frame._engine"
KERNEL_PATH = "quelmar.afe.domain.modelling.helper.data_frame_builder_helper"


def raising_callback(done, total):
    raise KeyError("progress")


# ---- random calls ----------------------------------------------------------------

def random_table(rng):
    n = rng.choice([0, 1, 3, 10, 40, 200]) if rng.random() < 0.97 else rng.choice([5000, 9000])
    n_entities = rng.randint(1, 8)
    entity = np.array([rng.randrange(n_entities) for _ in range(n)], dtype=rng.choice([np.int64, np.int32]))
    timestamps = np.array([T0 - rng.randint(-3, 60) * DAY - rng.choice([0, 0, rng.randint(0, DAY)])
                           if rng.random() < 0.97 else rng.choice([INT64_MIN, INT64_MAX, 0])
                           for _ in range(n)], dtype=np.int64)
    quantities = np.array([rng.choice([1.0, 2.5, 0.5, 0.0, -1.0, float("nan"), -0.0, 3.4e38, float("inf")])
                           for _ in range(n)], dtype=rng.choice([np.float32, np.float64]))
    codes = np.array([rng.randint(-3, 4) for _ in range(n)], dtype=rng.choice([np.int8, np.int8, np.int16, np.int64]))
    return entity, n_entities, timestamps, quantities, codes


def prepare_call(rng):
    entity, n_entities, timestamps, quantities, codes = random_table(rng)
    n = len(entity)
    call = {
        "entity_codes": random_layout(rng, entity),
        "n_entities": n_entities,
        "timestamps": random_layout(rng, timestamps),
        "quantities": random_layout(rng, quantities),
        "codes": random_layout(rng, codes) if rng.random() < 0.9 else None,
        "dates_out": np.full(n, 7, np.int64),
        "quantities_out": np.full(n, 7, np.float32),
        "codes_out": np.full(n, 7, np.int8),
        "offsets_out": np.full(n_entities + 1, 7, np.int64),
        "n_jobs": rng.choice([1, 1, 2, 3, 8, 1000]),
    }
    if rng.random() < 0.2:
        call["ms_divisor"] = rng.choice([1, 1000, 10**6, 7])
    if rng.random() < 0.1:
        call["ms_multiplier"] = rng.choice([1, 10, 1000])
    if rng.random() < 0.2:
        call["nat_is_missing"] = True
    if rng.random() < 0.2:
        call["rows_checked"] = True  # a promise the hostile changes may break
    if rng.random() < 0.3:
        # the milliseconds of some rows, and one past them: rows on both edges
        scale = call.get("ms_multiplier", 1), call.get("ms_divisor", 1)
        ends = [INT64_MIN, INT64_MAX, 0] + [int(t) * scale[0] // scale[1] + rng.choice([-1, 0, 0, 1])
                                            for t in rng.sample(list(np.asarray(timestamps)), min(2, n))]
        call["keep_from"], call["keep_until"] = (max(INT64_MIN, min(INT64_MAX, rng.choice(ends))) for _ in "ab")
    present = rng.choice([None, None, n_entities, n_entities, n_entities, rng.randrange(0, 60)])
    call["present_out"] = None if present is None else np.zeros(present, bool)
    return call


def census_call(rng):
    n = rng.choice([0, 1, 3, 10, 200]) if rng.random() < 0.95 else rng.choice([70_000, 140_000])
    dtype = rng.choice([np.int8, np.int16, np.int32, np.int64])
    info = np.iinfo(dtype)
    codes = np.array([rng.randint(-128, 127) if rng.random() < 0.999 else rng.choice([info.min, info.max])
                      for _ in range(n)], dtype=dtype)
    return {"codes": random_layout(rng, codes), "counts_out": np.full(256, 7, np.int64),
            "n_jobs": rng.choice([1, 1, 2, 3, 8, 1000])}


def factorize_call(rng):
    n = rng.choice([0, 1, 3, 10, 40, 200]) if rng.random() < 0.97 else rng.choice([20_000, 40_000])
    spread = rng.choice([1, 1, 3, 10**9, 2**40 + 1])
    base = rng.choice([0, -5, 10**12, INT64_MIN + 10, INT64_MAX - 10**6])
    n_ids = rng.randint(1, 50)

    def ids(count, extra):
        values = [rng.randrange(n_ids + extra) * spread + base if rng.random() < 0.98
                  else rng.choice([INT64_MIN, INT64_MAX, 0, -1]) for _ in range(count)]
        dtype = np.int32 if all(INT32_MIN <= v <= INT32_MAX for v in values) and rng.random() < 0.3 else np.int64
        return np.array([max(INT64_MIN, min(INT64_MAX, v)) for v in values], dtype=object).astype(dtype)

    n_targets = rng.choice([0, 1, 5, 30])
    # room for any numbering (by range at most 65,536 codes or one per two
    # ids; by table one per id), or a random length
    present = rng.choice([None, n + n_targets + 65_536, rng.randrange(0, 60)])
    return {
        "ids": random_layout(rng, ids(n, 0)),
        "target_ids": random_layout(rng, ids(n_targets, 5)),
        "codes_out": np.full(n, 7, np.int32),
        "target_codes_out": np.full(n_targets, 7, np.int32),
        "n_jobs": rng.choice([1, 1, 2, 3, 8, 1000]),
        "present_out": None if present is None else np.zeros(present, bool),
    }


def compute_call(rng):
    entity, n_entities, timestamps, quantities, codes = random_table(rng)
    order = np.lexsort((quantities, codes, ~timestamps, entity)) if rng.random() < 0.8 else np.arange(len(entity))
    offsets = np.zeros(n_entities + 1, np.int64)
    np.cumsum(np.bincount(entity, minlength=n_entities), out=offsets[1:])
    n_targets = rng.choice([0, 1, 5, 30, 100])
    target_entities = np.array([rng.randrange(-1, n_entities) for _ in range(n_targets)], dtype=np.int64)
    target_dates = np.array([T0 + rng.randint(-20, 5) * DAY if rng.random() < 0.95
                             else rng.choice([INT64_MIN, INT64_MAX]) for _ in range(n_targets)], dtype=np.int64)
    horizons = [rng.choice([1, 7, 30, 90]) for _ in range(rng.randint(1, 3))]
    operators = rng.sample(OPERATOR_CODES, rng.randint(1, len(OPERATOR_CODES)))
    ratio = int(AfeOperator.Ratio.value)
    per_dimension = [c for c in operators if rng.random() < 0.2 and c != ratio]
    index_map = {c: rng.randint(-1, 3) for c in range(-3, 4) if rng.random() < 0.9}
    dims = sorted(set(index_map.values()) | {0})
    group_value = rng.choice(dims + [-1])
    feature_group = rng.random() < 0.4
    if feature_group and ratio in operators:
        columns = [(group_value, ratio, horizons[0])]  # the row's only cell
    else:
        columns = [(d, op, 0 if op in per_dimension else h) for d in dims + [7] for op in operators
                   for h in sorted(set(horizons)) if rng.random() < 0.9]
        columns = list(dict.fromkeys(columns))  # a per-dimension column once
        rng.shuffle(columns)
    n_columns = len(columns)
    return {
        "out": np.full((n_targets, n_columns), -7.0, np.float32),
        "dates": random_layout(rng, timestamps[order]),
        "quantities": random_layout(rng, quantities[order].astype(np.float32)),
        "codes": random_layout(rng, codes[order].astype(np.int8)),
        "offsets": random_layout(rng, offsets),
        "target_entities": random_layout(rng, target_entities.astype(rng.choice([np.int64, np.int32]))),
        "target_dates": random_layout(rng, target_dates),
        "columns": np.array(columns, np.int32).reshape(-1, 3),
        "horizons": horizons,
        "offset": rng.choice([0, 0, 1, 3]),
        "resolution": rng.choice([0, 1, 2, 2, 3, 5]),
        "index_map": index_map,
        "feature_group": feature_group,
        "group_value": group_value,
        "all_values": rng.random() < 0.2,
        "fill_nan": rng.random() < 0.7,
        "empty_statistic_nan": rng.random() < 0.3,
        "n_jobs": rng.choice([1, 1, 2, 3, 8, 1000]),
    }


ARRAYS = {
    "census": ("codes", "counts_out"),
    "factorize": ("ids", "target_ids", "codes_out", "target_codes_out", "present_out"),
    "prepare": ("entity_codes", "timestamps", "quantities", "codes", "dates_out", "quantities_out", "codes_out",
                "offsets_out", "present_out"),
    "compute": ("out", "dates", "quantities", "codes", "offsets", "target_entities", "target_dates", "columns"),
}
OUTPUTS = {"census": ("counts_out",), "factorize": ("codes_out", "target_codes_out", "present_out"), "prepare": ("dates_out", "quantities_out", "codes_out", "offsets_out", "present_out"), "compute": ("out",)}
INTEGERS = {
    "census": ("n_jobs",),
    "factorize": ("n_jobs",),
    "prepare": ("n_entities", "ms_multiplier", "ms_divisor", "n_jobs", "keep_from", "keep_until"),
    "compute": ("offset", "resolution", "group_value", "n_jobs"),
}


def mutate(rng, kind, call):
    """Applies one hostile change."""
    change = rng.randrange(8)
    if kind in ("census", "factorize") and change not in (0, 1, 2, 5):
        change = rng.choice([0, 1, 2, 5])
    if change == 0:
        name = rng.choice(ARRAYS[kind])
        call[name] = hostile_array(rng, call[name] if call.get(name) is not None else np.zeros(3, np.int64))
    elif change == 1:
        call[rng.choice(INTEGERS[kind])] = hostile_integer(rng)
    elif change == 2:
        # An output that is a view into a larger buffer, or shares memory with an input.
        name = rng.choice(OUTPUTS[kind])
        array = call[name]
        if isinstance(array, np.ndarray):
            if rng.random() < 0.5:
                big = np.full(array.size * 2 + 3, 5, dtype=array.dtype)
                call[name] = big[1:1 + array.size].reshape(array.shape)
            else:
                other = rng.choice([a for a in ARRAYS[kind] if a != name])
                source = call.get(other)
                if isinstance(source, np.ndarray) and source.size:
                    call[name] = np.frombuffer(source.data if source.flags.c_contiguous else source.copy().data,
                                               dtype=np.uint8)[:array.nbytes].view(array.dtype)[:array.size] \
                        if source.nbytes >= array.nbytes else array
    elif change == 3 and kind == "prepare":
        entity = np.array(call["entity_codes"], dtype=np.int64)
        if entity.size:
            entity[rng.randrange(entity.size)] = rng.choice([-1, call["n_entities"] if isinstance(call["n_entities"], int) else 99, INT32_MAX, INT64_MIN])
            call["entity_codes"] = entity
    elif change == 3:
        offsets = np.array(call["offsets"], dtype=np.int64)
        if offsets.size:
            offsets[rng.randrange(offsets.size)] = rng.choice([-1, 10**9, INT64_MAX, INT64_MIN, 0])
            call["offsets"] = offsets
    elif change == 4 and kind == "compute":
        entities = np.array(call["target_entities"], dtype=np.int64)
        if entities.size:
            entities[rng.randrange(entities.size)] = rng.choice([10**6, INT32_MAX, INT64_MIN])
            call["target_entities"] = entities
    elif change == 4:
        call["timestamps"] = np.array(call["timestamps"], dtype=np.int64)
        if call["timestamps"].size:
            call["timestamps"][rng.randrange(call["timestamps"].size)] = rng.choice([INT64_MIN, INT64_MAX])
        call["ms_multiplier"] = rng.choice([1, 1000, 2**40])
    elif change == 5:
        call["progress"] = rng.choice([raising_callback, 5, lambda done, total: None])
    elif change == 6 and kind == "compute":
        call["horizons"] = rng.choice([RaisingIterable([7]), [hostile_integer(rng)], None, "abc", [], (7, 30)])
    elif change == 6:
        call["codes"] = np.array([rng.choice([200, -200, 2**40]) for _ in range(3)])
    elif kind == "compute":
        call["index_map"] = rng.choice(
            [{1: hostile_integer(rng)}, {hostile_integer(rng): 0}, None, [(1, 2)], {}])
    else:
        call["n_entities"] = rng.choice([0, -1, 2**62, 1.5])


# ---- the checks on a call that returned --------------------------------------------

def check_prepared(call, initial):
    """Grouped by entity, newest first, ties by code then quantity; every input
    row dated within the kept dates is there once, and present_out marks the
    entities with any row."""
    entity = np.asarray(call["entity_codes"]).astype(np.int64)
    n_entities = operator.index(call["n_entities"])
    if isinstance(call["present_out"], np.ndarray):
        expected = initial["present_out"] | (np.bincount(entity, minlength=n_entities) > 0)
        if not np.array_equal(call["present_out"], expected):
            raise FuzzFailure("present_out is not the entities of the transactions")
    multiplier = operator.index(call.get("ms_multiplier", 1))
    divisor = operator.index(call.get("ms_divisor", 1))
    ms = np.asarray(call["timestamps"]).astype(object) * multiplier // divisor
    source = np.asarray(call["quantities"]).astype(np.float32).view(np.uint32)
    code = np.zeros(len(entity), np.int8) if call["codes"] is None else np.asarray(call["codes"]).astype(np.int8)
    promise_kept = True
    if call.get("rows_checked"):
        raw = np.asarray(call["timestamps"]).astype(object)
        promise_kept = ((call["codes"] is None or np.array_equal(np.asarray(call["codes"]), code))
                        and all(-2**63 <= t <= 2**63 - 1 for t in ms)
                        and not (call.get("nat_is_missing") and (raw == -2**63).any()))
    low, high = operator.index(call.get("keep_from", INT64_MIN)), operator.index(call.get("keep_until", INT64_MAX))
    windowed = (low, high) != (INT64_MIN, INT64_MAX)
    kept = np.array([not windowed or low <= t <= high for t in ms], dtype=bool)
    offsets = call["offsets_out"]
    if promise_kept or not windowed:
        expected = np.zeros(n_entities + 1, np.int64)
        np.cumsum(np.bincount(entity[kept], minlength=n_entities), out=expected[1:])
        if not np.array_equal(offsets, expected):
            raise FuzzFailure("offsets are not the entity counts")
    owner = np.repeat(np.arange(n_entities), np.diff(offsets))
    n_kept = int(offsets[-1])
    dates, quantities, codes = call["dates_out"][:n_kept], call["quantities_out"][:n_kept], call["codes_out"][:n_kept]
    if not np.array_equal(np.lexsort((quantities, codes, ~dates, owner)), np.arange(len(dates))):
        raise FuzzFailure("prepared rows are not in order")
    if not promise_kept:
        return  # values may be wrong; the order (and without a window the offsets) were checked
    rows_in = sorted(zip(entity[kept].tolist(), ms[kept].tolist(), source[kept].tolist(), code[kept].tolist()))
    rows_out = sorted(zip(owner.tolist(), dates.tolist(), quantities.view(np.uint32).tolist(), codes.tolist()))
    if rows_in != rows_out:
        raise FuzzFailure("prepared rows are not the input rows")


def check_census(call, result):
    codes = np.asarray(call["codes"]).astype(np.int64)
    outside = (codes < -128) | (codes > 127)
    want_first = int(np.argmax(outside)) if outside.any() else None
    if result != want_first or type(result) not in (int, type(None)):
        raise FuzzFailure("first code outside int8 at {}, not {}".format(result, want_first))
    if not outside.any() and not np.array_equal(call["counts_out"], np.bincount(codes + 128, minlength=256)):
        raise FuzzFailure("code counts differ from NumPy's")


def check_factorized(call, result, initial):
    """Codes within 0 .. n_entities - 1, equal for equal ids only, over the
    transactions and the targets together; numbered by range, a target
    outside the range has -1; hashed, the codes are exactly the distinct ids
    of both. The codes of the transactions, and no other entry, are set in
    present_out."""
    n_entities, by_range = result
    if isinstance(call["present_out"], np.ndarray):
        expected = initial["present_out"].copy()
        expected[np.asarray(call["codes_out"], dtype=np.int64)] = True
        if not np.array_equal(call["present_out"], expected):
            raise FuzzFailure("present_out is not the codes of the transactions")
    ids = np.asarray(call["ids"]).astype(np.int64).tolist()
    target_ids = np.asarray(call["target_ids"]).astype(np.int64).tolist()
    codes = np.asarray(call["codes_out"]).astype(np.int64).tolist()
    target_codes = np.asarray(call["target_codes_out"]).astype(np.int64).tolist()
    low = min(ids) if ids else 0
    id_of = {}
    for i, c in zip(ids + target_ids, codes + target_codes):
        if c == -1 and (not ids or (by_range and not 0 <= i - low < n_entities)):
            continue  # outside the codes
        if not 0 <= c < n_entities:
            raise FuzzFailure("code {} of id {} outside 0 .. n_entities - 1".format(c, i))
        if id_of.setdefault(c, i) != i:
            raise FuzzFailure("two ids share code {}".format(c))
        if by_range and c != i - low:
            raise FuzzFailure("id {} has code {}, not id - min".format(i, c))
    if len(id_of) != len(set(id_of.values())):
        raise FuzzFailure("an id has two codes")
    if ids and not by_range and len(id_of) != n_entities:
        raise FuzzFailure("hashed codes are not exactly the distinct ids")


def execute_request(call):
    """The engine's columns as execute's request: (horizons, offset,
    resolution) and the operator lists with column_name_map. The operators
    are those the columns hold; a per-dimension column is keyed with the
    largest horizon. Outside feature-group mode execute pairs windows with
    horizons by position, so it gets them ascending, once each."""
    columns = [tuple(int(x) for x in row) for row in np.asarray(call["columns"]).reshape(-1, 3)]
    horizons = [int(h) for h in call["horizons"]]
    ops = list(dict.fromkeys(op for _, op, _ in columns))
    per_dimension = list(dict.fromkeys(op for _, op, h in columns if h == 0))
    ratio = int(AfeOperator.Ratio.value)
    keys = {d * E * E + op * E + (h or max(horizons)): i for i, (d, op, h) in enumerate(columns)}
    set_one = [op for op in ops if op != ratio and op not in per_dimension]
    if not call.get("feature_group", False):
        horizons = sorted(set(horizons))
    else:
        # execute's feature-group ratio is at the first horizon as given; the
        # engine's at its column's horizon
        group_ratio = [h for _, op, h in columns if op == ratio]
        if group_ratio and group_ratio[0] in horizons:
            horizons.remove(group_ratio[0])
            horizons.insert(0, group_ratio[0])
    return (horizons, call["offset"], call["resolution"]), (ops, set_one, per_dimension, keys)


def check_computed(call, initial):
    """What `execute` writes for the same rows, in one split, on a frame that
    starts as the output did (NaN where the engine fills it)."""
    import importlib

    execute = importlib.import_module(KERNEL_PATH).execute
    out = call["out"]
    def column(name):  # a writable copy, as execute wants
        return np.array(call[name]).reshape(-1, 1).copy()

    dates = column("dates")
    offsets = np.asarray(call["offsets"])
    rows = np.arange(len(dates), dtype=np.int32)
    entities = np.asarray(call["target_entities"]).tolist()
    frame = np.full(out.shape, np.nan, np.float32) if call.get("fill_nan", True) else initial["out"].copy()
    if out.size == 0:
        return
    request, operators = execute_request(call)
    reports = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda args: reports.append(args)
    try:
        execute(frame, 1, 0, 0, 0, np.arange(out.shape[0], dtype=np.int32).reshape(1, -1), *request,
                call["index_map"], dates, column("quantities"), column("codes"),
                {i: rows[offsets[e]:offsets[e + 1]] for i, e in enumerate(entities) if e >= 0},
                np.array(call["target_dates"], dtype=np.int64), *operators, E, call.get("group_value", -1),
                call.get("feature_group", False), call.get("all_values", False))
    finally:
        sys.unraisablehook = previous
    if reports:
        raise FuzzFailure("the engine returned where execute reported {}".format(reports[0].exc_value))
    same = frame.view(np.uint32) == np.asarray(out).view(np.uint32)
    if call.get("empty_statistic_nan"):
        same |= (frame == 0) & np.isnan(out)  # only count_distinct and mode cells can differ so
    if not same.all():
        raise FuzzFailure("the engine wrote other bits than execute")


def plain_outputs(kind, call, initial):
    """The call again, with fresh outputs as the first started, and another
    thread count."""
    again = dict(call)
    for name in OUTPUTS[kind]:
        again[name] = initial[name].copy() if name in initial else call[name]
    again["n_jobs"] = 1 if call.get("n_jobs") != 1 else 3
    again.pop("progress", None)
    return again


# ---- the loop --------------------------------------------------------------------------

def fuzz(calls, seed, progress=None):
    """Runs `calls` random calls; returns counts of outcomes. Raises
    FuzzFailure on the first violated check."""
    import importlib

    engine = importlib.import_module(ENGINE_PATH)
    entries = {"census": engine.count_codes, "factorize": engine.factorize_entities, "prepare": engine.prepare_transactions,
               "compute": engine.compute_features}
    makers = {"census": census_call, "factorize": factorize_call, "prepare": prepare_call, "compute": compute_call}
    rng = random.Random(seed)
    outcomes = collections.Counter()
    previous_stderr = sys.stderr
    sys.stderr = NullWriter()
    try:
        for n in range(calls):
            kind = rng.choice(["census", "factorize", "prepare", "compute", *fuzz_records.KINDS])
            if kind in fuzz_records.KINDS:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    outcome = fuzz_records.fuzz_call(rng, kind, random_table(rng), compute_call(rng), n)
                outcomes[kind + " " + outcome] += 1
                continue
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                call = makers[kind](rng)
                for _ in range(rng.choice([0, 0, 1, 1, 2])):
                    try:
                        mutate(rng, kind, call)
                    except (TypeError, ValueError, OverflowError, IndexError):
                        pass
            before = snapshot({k: v for k, v in call.items() if k not in OUTPUTS[kind]})
            outside = {name: outside_view(call[name]) for name in OUTPUTS[kind]}
            counts = refcounts(call)
            initial = {name: np.array(call[name], copy=True) for name in OUTPUTS[kind]
                       if isinstance(call[name], np.ndarray)}
            try:
                result = entries[kind](**call)
                if kind != "census" and (result is None) == (kind == "factorize"):
                    raise FuzzFailure("{} returned {!r}".format(kind, result))
                outcome = "returned"
            except FuzzFailure:
                raise
            except Exception as error:  # any ordinary exception is a clean failure
                outcome = type(error).__name__
            compare_state(before, snapshot({k: v for k, v in call.items() if k not in OUTPUTS[kind]}))
            for name, bytes_outside in outside.items():
                if bytes_outside is not None and outside_view(call[name]) != bytes_outside:
                    raise FuzzFailure("call {}: {} written outside its view".format(n, name))
            if refcounts(call) != counts:
                raise FuzzFailure("call {}: reference counts changed".format(n))
            outcomes[kind + " " + outcome] += 1
            if outcome == "returned":
                again = plain_outputs(kind, call, initial)
                entries[kind](**again)
                for name in OUTPUTS[kind]:
                    if np.asarray(again[name]).tobytes() != np.asarray(call[name]).tobytes():
                        raise FuzzFailure("call {}: another thread count gives other bits".format(n))
                if kind == "census":
                    check_census(call, result)
                elif kind == "factorize":
                    check_factorized(call, result, initial)
                elif kind == "prepare":
                    check_prepared(call, initial)
                else:
                    check_computed(call, initial)
                outcomes[kind + " checked"] += 1
            if progress and (n + 1) % progress == 0:
                print("{} calls".format(n + 1), file=previous_stderr, flush=True)
    finally:
        sys.stderr = previous_stderr
    return outcomes


# ---- target schedules -------------------------------------------------------------

GRID_BOUNDS = ["2024-01-01", "2024-01-20", "2023-12-25T06:00", "not a date", "", None, True, 1.5,
               np.datetime64("NaT", "ms"), T0, T0 + 20 * DAY, -(2**62), 2**62, 2**63, INT64_MIN]
GRID_STEPS = ["1d", "7d", "1h", "1mo", "1y", "12h", "0d", "-1d", "1m", "1 w", "", "d", 5, None, "1fortnight",
              "99999999999999d"]


def fuzz_grid(calls, seed):
    """Random and hostile schedules: making a TargetGrid either raises
    InvalidParameterError or gives a grid; building from it either raises an
    ordinary exception or gives, bit for bit, what the same targets give as
    a shuffled table; the transactions are left unchanged."""
    import pandas as pd

    from quelmar.afe.domain.modelling.feature_frame import (
        FeatureParams, InvalidParameterError, TargetGrid, build_feature_frame,
    )

    rng = random.Random(seed)
    outcomes = collections.Counter()
    for n in range(calls):
        entity, _, timestamps, quantities, codes = random_table(rng)
        keep = (timestamps > T0 - 400 * DAY) & (timestamps < T0 + 400 * DAY)
        trx = pd.DataFrame({"entity": entity[keep], "timestamp": timestamps[keep],
                            "quantity": quantities[keep].astype(np.float64), "dimension": codes[keep] % 4})
        before = trx.copy()
        options = dict(horizons=rng.choice([[1], [2, 30], [7, 30, 90]]), operators=["sum", "density", "max", "mode"],
                       missing_quantities="drop", n_jobs=rng.choice([1, 2, 3]))
        entities = rng.choice([None, None, [], [0, 5, 5, 2], list(range(12))])
        if rng.random() < 0.7:  # a sensible schedule over the transactions' dates
            start = T0 - rng.randint(-5, 70) * DAY - rng.choice([0, rng.randint(0, DAY)])
            bounds = (start, start + rng.randint(0, 40) * DAY, rng.choice(["1d", "7d", "12h", "1mo", "3d"]))
        else:
            bounds = (rng.choice(GRID_BOUNDS), rng.choice(GRID_BOUNDS), rng.choice(GRID_STEPS))
        try:
            grid = TargetGrid(*bounds, entities=entities, from_first_transaction=rng.random() < 0.3)
        except InvalidParameterError:
            outcomes["grid refused"] += 1
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                got = build_feature_frame(trx, grid, **options)
            except (ValueError, TypeError, MemoryError) as error:
                outcomes["build " + type(error).__name__] += 1
                continue
            table = grid.table(trx, FeatureParams(**options))
            shuffled = table.sample(frac=1.0, random_state=n)
            want = build_feature_frame(trx, shuffled, **options).loc[table.index]
        pd.testing.assert_frame_equal(trx, before)
        if got.iloc[:, 2:].to_numpy().tobytes() != want.iloc[:, 2:].to_numpy().tobytes():
            raise FuzzFailure("call {}: the grid and its table give other bits".format(n))
        outcomes["grid checked"] += 1
    return outcomes


def main(argv=None):
    kinds = ("census", "factorize", "prepare", "compute")
    return fuzz_main("fuzz_engine", __doc__.split("\n\n")[0], fuzz,
                     lambda outcomes: min(outcomes[kind + " returned"] for kind in kinds) > 0
                     and min(outcomes[kind + " checked"] for kind in fuzz_records.KINDS) > 0, argv)


if __name__ == "__main__":
    sys.exit(main())
