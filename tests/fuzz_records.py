"""The store's kernels for `fuzz_engine.py`: random and hostile calls of
`_engine.gather_records`, `Plan.compute_row`, `Plan.compute_rows` and
`Plan.compute`.

Each call starts from a random table (the engine fuzzer's), its rows
prepared and dealt per entity into one to three record values (bytes,
bytearrays, memoryviews at odd addresses, now and then one out of order),
and a random request; hostile changes replace values (a length that is no
whole number of records, objects that are not bytes-like, views of an
output), sources, outputs, dates and thread counts. After every call the
values hold the same bytes and the arguments the same references, nothing
is written outside the outputs, and of a call that returned: another
thread count gives the same bits, a gathering is what
`prepare_transactions` gives for the same rows, and a row is what
`compute_features` writes for the same rows and target.
"""

from __future__ import annotations

import sys

import numpy as np

from fuzz_execute import INT64_MAX, INT64_MIN, FuzzFailure, hostile_array, hostile_integer, outside_view

KINDS = ("gather", "row", "rows", "plan")
RECORD = np.dtype([("date", "<i8"), ("quantity", "<f4"), ("code", "i1")])
REQUEST = ("columns", "horizons", "offset", "resolution", "index_map")
REQUEST_OPTIONS = ("feature_group", "group_value", "all_values", "empty_statistic_nan")
ARRAYS = ("dates", "quantities", "codes", "offsets", "target_entities", "target_dates")


def engine():
    import importlib

    return importlib.import_module("quelmar.afe.domain.modelling.feature_frame._engine")


# ---- random values ---------------------------------------------------------------

def as_value(rng, records):
    """Records as one of the bytes-like kinds a store hands over; None for none."""
    if len(records) == 0 and rng.random() < 0.7:
        return None
    data = records.tobytes()
    kind = rng.randrange(3)
    if kind == 1:
        return bytearray(data)
    if kind == 2:
        return memoryview(bytearray(b"x" + data))[1:]
    return data


def dealt_values(rng, table):
    """(sources, n_entities): each entity's prepared rows dealt into k values."""
    entity, n_entities, timestamps, quantities, codes = table
    prepared = engine_prepared(entity, n_entities, timestamps, quantities.astype(np.float32), codes.astype(np.int8))
    k = rng.choice([1, 2, 2, 3])
    sources = [[] for _ in range(k)]
    for e in range(n_entities):
        mine = prepared[e]
        part = np.array([rng.randrange(k) for _ in range(len(mine))], dtype=np.int64)
        for j in range(k):
            chosen = mine[part == j]
            if rng.random() < 0.05:  # not in the prepared order
                chosen = chosen[::-1]
            sources[j].append(as_value(rng, chosen))
    return sources, n_entities


def engine_prepared(entity, n_entities, dates, quantities, codes, since=INT64_MIN):
    """Each entity's rows as records, prepared by the engine, from `since` on."""
    n = len(entity)
    out = [np.empty(n, np.int64), np.empty(n, np.float32), np.empty(n, np.int8), np.empty(n_entities + 1, np.int64)]
    engine().prepare_transactions(np.asarray(entity, np.int64), n_entities, np.asarray(dates, np.int64), quantities,
                                  codes, *out, keep_from=since, keep_until=INT64_MAX)
    records = np.zeros(out[3][-1], RECORD)
    records["date"], records["quantity"], records["code"] = (a[:len(records)] for a in out[:3])
    return [records[out[3][e]:out[3][e + 1]] for e in range(n_entities)]


def rows_of(sources, n_entities):
    """The rows the values hold, as (entity, dates, quantities, codes)."""
    parts, owner = [], []
    for j in range(len(sources)):
        for e in range(n_entities):
            value = sources[j][e]
            if value is not None:
                records = np.frombuffer(bytes(value), RECORD)
                parts.append(records)
                owner.append(np.full(len(records), e, np.int64))
    records = np.concatenate(parts) if parts else np.zeros(0, RECORD)
    entity = np.concatenate(owner) if owner else np.zeros(0, np.int64)
    return entity, records["date"].copy(), records["quantity"].copy(), records["code"].copy()


def random_since(rng, table):
    timestamps = table[2]
    near = int(timestamps[rng.randrange(len(timestamps))]) + rng.choice([-1, 0, 1]) if len(timestamps) else 0
    return max(INT64_MIN, min(INT64_MAX, rng.choice([INT64_MIN, INT64_MIN, INT64_MAX, 0, near])))


# ---- calls -----------------------------------------------------------------------

def gather_call(rng, table):
    sources, n_entities = dealt_values(rng, table)
    n = sum(len(v) for source in sources for v in source if v is not None) // RECORD.itemsize
    return {"sources": sources, "since_ms": random_since(rng, table), "dates_out": np.full(n, 7, np.int64),
            "quantities_out": np.full(n, 7, np.float32), "codes_out": np.full(n, 7, np.int8),
            "offsets_out": np.full(n_entities + 1, 7, np.int64), "n_jobs": rng.choice([1, 1, 2, 3, 1000])}


def plan_call(rng, table, compute):
    """A request of the engine fuzzer's compute call, and its arrays."""
    call = {"request": {name: compute[name] for name in REQUEST},
            "options": {name: compute[name] for name in REQUEST_OPTIONS},
            "arrays": {name: compute[name] for name in ARRAYS}}
    call.update(out=compute["out"], fill_nan=compute["fill_nan"], n_jobs=compute["n_jobs"])
    return call


def row_call(rng, table, compute, many):
    sources, n_entities = dealt_values(rng, table)
    call = {"request": {name: compute[name] for name in REQUEST},
            "options": {name: compute[name] for name in REQUEST_OPTIONS},
            "at_ms": int(compute["target_dates"][0]) if len(compute["target_dates"]) else 0,
            "since_ms": random_since(rng, table), "n_entities": n_entities}
    width = len(np.asarray(compute["columns"]).reshape(-1, 3))
    if many:
        call.update(out=np.full((n_entities, width), -7.0, np.float32), sources=sources,
                    n_jobs=rng.choice([1, 2, 3, 1000]))
    else:
        e = rng.randrange(n_entities)
        call.update(out=np.full(width, -7.0, np.float32), values=[source[e] for source in sources])
    return call


def hostile_value(rng, call):
    choice = rng.randrange(6)
    if choice == 0:
        return b"x" * rng.choice([1, 12, 14, 27])  # no whole number of records
    if choice == 1:
        return rng.choice([5, "abc", 1.5, [b"x"]])
    if choice == 2:
        return memoryview(bytes(26))[::2]  # not contiguous
    if choice == 3:
        return np.zeros(13, np.float32)  # bytes-like: 52 bytes, 4 records of any bits
    if choice == 4 and isinstance(call.get("out"), np.ndarray) and call["out"].nbytes >= 13:
        return memoryview(call["out"]).cast("B")[:13]  # a view of the output
    if choice == 5 and isinstance(call.get("dates_out"), np.ndarray) and call["dates_out"].nbytes >= 13:
        return memoryview(call["dates_out"]).cast("B")[:13]
    return None


def mutate(rng, kind, call):
    change = rng.randrange(5)
    sources = call.get("sources")
    if change == 0 and isinstance(sources, list) and sources and kind in ("gather", "rows"):
        j = rng.randrange(len(sources))
        if sources[j]:
            sources[j][rng.randrange(len(sources[j]))] = hostile_value(rng, call)
    elif change == 0 and kind == "row":
        call["values"].append(hostile_value(rng, call))
    elif change == 1 and kind in ("gather", "rows") and isinstance(sources, list) and sources:
        choice = rng.randrange(4)
        if choice == 0:
            sources[rng.randrange(len(sources))].append(None)
        elif choice == 1:
            call["sources"] = rng.choice([[], 5, None, "abc", [None]])
        else:
            call["sources"] = tuple(tuple(source) for source in sources)
    elif change == 2:
        name = rng.choice([n for n in call if n.endswith("_out") or n == "out"] or ["out"])
        call[name] = hostile_array(rng, call.get(name))
    elif change == 3:
        name = rng.choice([n for n in ("since_ms", "at_ms", "n_jobs") if n in call] or ["since_ms"])
        call[name] = hostile_integer(rng)
    elif kind == "gather":
        name = rng.choice(["dates_out", "quantities_out", "codes_out", "offsets_out"])
        if isinstance(call[name], np.ndarray) and call[name].size:
            call[name] = call[name][:-1]  # one element short
    else:
        call["request"]["horizons"] = rng.choice([[], [hostile_integer(rng)], None, "abc"])


def run(kind, call):
    """The call; a kind whose plan is refused raises from the constructor."""
    if kind == "gather":
        return engine().gather_records(**call)
    plan = engine().Plan(**call["request"], **call["options"])
    if kind == "plan":
        plan.compute(call["out"], **call["arrays"], fill_nan=call["fill_nan"], n_jobs=call["n_jobs"])
    elif kind == "row":
        plan.compute_row(call["out"], call["at_ms"], call["since_ms"], *call["values"])
    else:
        plan.compute_rows(call["out"], call["at_ms"], call["since_ms"], call["sources"], n_jobs=call["n_jobs"])
    return None


# ---- checks ----------------------------------------------------------------------

def values_of(call):
    found = list(call.get("values", []))
    if isinstance(call.get("sources"), (list, tuple)):
        for source in call["sources"]:
            if isinstance(source, (list, tuple)):
                found.extend(source)
    return found


def state_of(call):
    """The bytes of every value and of every output outside its view, and
    the reference counts of the arguments."""
    values = values_of(call)
    contents = [memoryview(v).tobytes() if isinstance(v, (bytes, bytearray, memoryview)) else None for v in values]
    outputs = {name: outside_view(call[name]) for name in call if name.endswith("out")}
    # the interpreter shares its empty and one-byte bytes objects: their counts move with any code
    counted = [v for v in values if not isinstance(v, (int, float, str, type(None)))
               and not (isinstance(v, bytes) and len(v) < 2)]
    return contents, outputs, [sys.getrefcount(v) for v in counted]


def computed(call):
    """compute_features of the values' rows from `since_ms` on, each entity at `at_ms`."""
    sources = call["sources"] if "sources" in call else [[v] for v in call["values"]]
    n_entities = call["n_entities"] if "sources" in call else 1
    targets = np.arange(n_entities)
    entity, dates, quantities, codes = rows_of(sources, n_entities)
    prepared = engine_prepared(entity, n_entities, dates, quantities, codes, call["since_ms"])
    offsets = np.concatenate([[0], np.cumsum([len(r) for r in prepared])]).astype(np.int64)
    records = np.concatenate(prepared) if prepared else np.zeros(0, RECORD)
    out = np.full((len(targets), np.asarray(call["out"]).shape[-1]), -7.0, np.float32)
    engine().compute_features(out, records["date"].copy(), records["quantity"].copy(), records["code"].copy(),
                              offsets, np.asarray(targets, np.int64), np.full(len(targets), call["at_ms"], np.int64),
                              **call["request"], **call["options"])
    return out


def check(kind, call, result, initial):
    if kind == "gather":
        n = len(call["sources"][0]) if len(call["sources"]) else 0
        entity, dates, quantities, codes = rows_of(call["sources"], n)
        want = np.concatenate(engine_prepared(entity, n, dates, quantities, codes, call["since_ms"]) or
                              [np.zeros(0, RECORD)])
        got = (call["dates_out"][:result], call["quantities_out"][:result], call["codes_out"][:result])
        if result != len(want) or any(a.tobytes() != want[f].tobytes() for a, f in zip(got, RECORD.names)):
            raise FuzzFailure("the gathered rows are not the preparation")
        return
    if kind == "plan":
        want = initial["out"].copy()
        engine().compute_features(want, **call["arrays"], **call["request"], **call["options"],
                                  fill_nan=call["fill_nan"])
    else:
        want = computed(call)
    if want.tobytes() != np.asarray(call["out"]).tobytes():
        raise FuzzFailure("{}: other bits than compute_features".format(kind))


def again(kind, call, initial):
    """The call once more on fresh outputs with another thread count: the same bits."""
    twin = dict(call)
    for name, value in initial.items():
        twin[name] = value.copy()
    if "n_jobs" in twin:
        twin["n_jobs"] = 1 if call["n_jobs"] != 1 else 3
    run(kind, twin)
    for name in initial:
        if np.asarray(twin[name]).tobytes() != np.asarray(call[name]).tobytes():
            raise FuzzFailure("{}: another thread count gives other bits".format(kind))


def fuzz_call(rng, kind, table, compute, n):
    """One call of `kind`; returns its outcome. Raises FuzzFailure."""
    if kind == "gather":
        call = gather_call(rng, table)
    elif kind == "plan":
        call = plan_call(rng, table, compute)
    else:
        call = row_call(rng, table, compute, many=kind == "rows")
    for _ in range(rng.choice([0, 0, 1, 1, 2])):
        try:
            mutate(rng, kind, call)
        except (AttributeError, TypeError, ValueError, IndexError):  # a change that does not apply to what an earlier one left
            pass
    before = state_of(call)
    initial = {name: np.array(call[name], copy=True) for name in call
               if name.endswith("out") and isinstance(call[name], np.ndarray)}
    try:
        result = run(kind, call)
        outcome = "returned"
    except FuzzFailure:
        raise
    except Exception as error:  # any ordinary exception is a clean failure
        outcome = type(error).__name__
    if state_of(call) != before:
        raise FuzzFailure("call {} ({}): a value, an output outside its view or a reference count changed".format(n, kind))
    if outcome == "returned":
        again(kind, call, initial)
        check(kind, call, result, initial)
        return "checked"
    return outcome
