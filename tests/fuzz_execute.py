"""Random and hostile arguments for `execute`.

Each call is built from a random, mostly consistent workload (a few
entities, splits, transactions, horizons, columns) to which hostile changes
are applied: wrong shapes, dtypes, strides and byte orders, `None`s,
out-of-range indices, huge and negative integers, NaN and infinite
quantities, timestamps near the int64 limits, dict subclasses, iterables
that raise midway, objects whose `__int__` or `__bool__` raise, keys that
collide once converted. After every call it checks that the call returned
`None` or raised an ordinary exception, that every unraisable report names
one of the module's routines, that the caller's dicts, lists and input
arrays are unchanged and hold the same references as before (only
`result_frame` may change, and only inside its own view), and that a call
that returned gives the same result bits and reports when repeated on plain
C-contiguous copies of its buffers.

    python tests/fuzz_execute.py --calls 100000 --seed 1

exits 1 on the first violated check (a crash ends the process anyway).
"""

from __future__ import annotations

import argparse
import collections
import ctypes
import random
import sys
import time
import types
import warnings

import numpy as np

MODULE_PATH = "quelmar.afe.domain.modelling.helper.data_frame_builder_helper"
CONTEXT_PREFIX = MODULE_PATH + "."
ROUTINES = {
    "exec_for_split", "get_distinct_values", "get_resolution_in_seconds", "get_span", "partition",
    "get_horizon", "get_aggregates_and_fill_row", "fill_row", "fill_row_for_ratio_column",
}

DAY = 86_400_000
T0 = 1_700_000_000_000
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
OPERATOR_CODES = list(range(1, 11))
E = 1000


class FuzzFailure(AssertionError):
    pass


# ---- hostile objects -------------------------------------------------------

class Boom(Exception):
    """Raised by the hostile objects below; a clean, expected failure."""


class RaisingInt:
    def __int__(self):
        raise Boom("__int__")


class WrongInt:
    def __int__(self):
        return 1.5


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class ChurningKey:
    """A key whose __int__ grows its dict past a resize and shrinks it back,
    so that the dict ends as it was but its table has moved."""

    def __init__(self, mapping, value):
        self.mapping, self.value = mapping, value

    def __int__(self):
        extra = [object() for _ in range(64)]
        for key in extra:
            self.mapping[key] = 0
        for key in extra:
            del self.mapping[key]
        return self.value


class ChurningItem:
    """A list element whose __int__ grows its list and shrinks it back."""

    def __init__(self, items, value):
        self.items, self.value = items, value

    def __int__(self):
        self.items.extend(range(100))
        del self.items[-100:]
        return self.value


class RaisingBool:
    def __bool__(self):
        raise Boom("__bool__")


class RaisingIterable:
    """Yields `good` integers, then raises."""

    def __init__(self, good):
        self.good = list(good)

    def __iter__(self):
        for value in self.good:
            yield value
        raise Boom("iteration")


class DictSubclass(dict):
    pass


class IntSubclass(int):
    pass


def hostile_integer(rng):
    return rng.choice([
        lambda: INT32_MAX + 1, lambda: INT32_MIN - 1, lambda: 2**63, lambda: -(2**64), lambda: 2**100,
        lambda: -1, lambda: INT32_MIN, lambda: INT32_MAX, lambda: 3.7, lambda: -2.5,
        lambda: float("nan"), lambda: float("inf"), lambda: "7", lambda: None, lambda: [1],
        lambda: RaisingInt(), lambda: WrongInt(), lambda: IntLike(2**40), lambda: IntLike(5),
        lambda: np.int64(2**40), lambda: np.int8(-3), lambda: True, lambda: IntSubclass(4),
        lambda: np.float32("nan"),
    ])()


# ---- array layouts -----------------------------------------------------------

def relayout(array, how):
    """The same values in a differently strided buffer."""
    if array.ndim == 0 or how == "plain":
        return array
    if how == "fortran":
        return np.asfortranarray(array)
    if how == "reversed":
        flipped = array[(slice(None, None, -1),) * array.ndim].copy()
        return flipped[(slice(None, None, -1),) * array.ndim]
    if how == "sliced":
        big = np.zeros(tuple(2 * n + 1 for n in array.shape), dtype=array.dtype)
        view = big[(slice(1, None, 2),) * array.ndim]
        view[...] = array
        return view
    if how == "memoryview":
        if array.size == 0:
            return array
        fmt = {np.dtype(np.float32): "f", np.dtype(np.int64): "q", np.dtype(np.int32): "i",
               np.dtype(np.int8): "b"}.get(array.dtype)
        if fmt is None:
            return array
        return memoryview(bytearray(np.ascontiguousarray(array).tobytes())).cast(fmt, list(array.shape))
    if how == "ctypes":
        # A ctypes array exports a standard-size format such as '<f'.
        ctype = {np.dtype(np.float32): ctypes.c_float, np.dtype(np.int64): ctypes.c_int64,
                 np.dtype(np.int32): ctypes.c_int32, np.dtype(np.int8): ctypes.c_int8}.get(array.dtype)
        if ctype is None or array.size == 0:
            return array
        for n in reversed(array.shape):
            ctype = ctype * n
        return ctype.from_buffer_copy(np.ascontiguousarray(array).tobytes())
    raise ValueError(how)


def random_layout(rng, array):
    return relayout(array, rng.choice(["plain"] * 6 + ["fortran", "reversed", "sliced", "memoryview", "ctypes"]))


def hostile_array(rng, array):
    """A replacement for `array` that conversion or the checks should refuse
    (or, for an empty or `None` one, that the call must survive)."""
    a = np.asarray(array) if isinstance(array, (np.ndarray, memoryview, ctypes.Array)) else np.zeros((2, 2), np.int32)
    choice = rng.randrange(14)
    if choice == 0:
        return None
    if choice == 1:
        return a.astype(rng.choice([np.float64, np.int16, np.uint32, np.bool_, np.float16, np.complex64,
                                    np.uint8, np.int64, np.float32, np.int32]))
    if choice == 2:
        return a.reshape(-1) if a.ndim > 1 else a.reshape(1, -1)
    if choice == 3:
        return a.reshape(a.shape + (1,))
    if choice == 4:
        readonly = a.copy()
        readonly.flags.writeable = False
        return readonly
    if choice == 5:
        return a.astype(a.dtype.newbyteorder(">")) if a.dtype.itemsize > 1 else a.astype(np.uint8)
    if choice == 6:
        return np.zeros((0,) * max(a.ndim, 1), dtype=a.dtype)
    if choice == 7:
        return a.tolist()
    if choice == 8:
        return bytes(8)
    if choice == 9:
        return np.array(["x"] * max(a.size, 1), dtype=object)
    if choice == 10:
        return a.T.copy() if a.ndim > 1 else a[::-1]
    if choice == 11:
        return 5
    if choice == 12:
        # A record array: format is a struct, not a plain element.
        return np.zeros(a.shape, dtype=[("x", a.dtype), ("y", np.int8)])
    return np.array(1, dtype=a.dtype)


# ---- the random workload -------------------------------------------------------

def random_timestamp(rng, target):
    roll = rng.random()
    if roll < 0.85:
        return min(max(target - rng.randint(-2, 60) * DAY - rng.randint(0, DAY), INT64_MIN), INT64_MAX)
    return rng.choice([INT64_MIN, INT64_MIN + 1, INT64_MAX, INT64_MAX - 1, 0, -1, target])


def random_quantity(rng):
    roll = rng.random()
    if roll < 0.8:
        return rng.choice([1.0, 2.5, 0.5, 7.0, 3.25])
    return rng.choice([0.0, -1.0, float("nan"), float("inf"), -float("inf"), 3.4e38, 1e-45, -0.0])


def random_horizon(rng):
    if rng.random() < 0.85:
        return rng.choice([1, 7, 30, 90])
    return rng.choice([0, -1, -30, INT32_MAX, INT32_MIN, INT32_MAX - 1, 2**20])


def random_call(rng):
    """A random call and the names of the arguments it leaves consistent."""
    n_entities = rng.randint(1, 6) if rng.random() < 0.95 else 0
    targets = [T0 + rng.randint(-3, 3) * DAY if rng.random() < 0.9
               else rng.choice([INT64_MIN, INT64_MAX, 0, INT64_MAX - DAY]) for _ in range(n_entities)]

    n_trx = rng.randint(0, 20)
    date_cols, q_cols, d_cols = rng.randint(1, 3), rng.randint(1, 3), rng.randint(1, 2)
    date_col_index = rng.randrange(date_cols) if rng.random() < 0.9 else -1
    q_index = rng.randrange(q_cols)
    d_index = rng.randrange(d_cols)
    trx_dates = np.zeros((n_trx, date_cols), dtype=np.int64)
    trx_q = np.zeros((n_trx, q_cols), dtype=np.float32)
    trx_d = np.zeros((n_trx, d_cols), dtype=np.int8)
    codes = [rng.randint(-3, 5) if rng.random() < 0.9 else rng.choice([-128, 127]) for _ in range(n_trx)]
    trx_d[:, d_index] = codes
    trx_q[:, q_index] = [random_quantity(rng) for _ in range(n_trx)]

    # Each entity owns some rows, newest first (mostly).
    entity_index_map = {}
    owner_target = [T0] * n_trx
    free_rows = list(range(n_trx))
    rng.shuffle(free_rows)
    for entity in range(n_entities):
        if rng.random() < 0.1:
            continue
        take = [free_rows.pop() for _ in range(min(len(free_rows), rng.randint(0, 5)))]
        for row in take:
            owner_target[row] = targets[entity]
        entity_index_map[entity] = take
    for row in range(n_trx):
        trx_dates[row, date_col_index] = random_timestamp(rng, owner_target[row])
    for entity, rows in entity_index_map.items():
        if rng.random() < 0.8:
            rows.sort(key=lambda r: -int(trx_dates[r, date_col_index]))
        if rng.random() < 0.08:
            rows.insert(rng.randint(0, len(rows)), rng.choice([-1, n_trx, n_trx + 5, INT32_MIN, INT32_MAX]))
        entity_index_map[entity] = random_layout(rng, np.array(rows, dtype=np.int32)) \
            if rng.random() < 0.95 else None

    split_rows, split_cols = rng.choice([0, 1, 1, 2, 2, 3, 3, 3]), rng.choice([0, 1, 2, 3, 3, 4, 4, 4])
    splits = np.full((split_rows, split_cols), -1, dtype=np.int32)
    entities = list(range(n_entities))
    for i in range(split_rows):
        length = split_cols if rng.random() < 0.6 else rng.randint(0, split_cols)
        for k in range(length):
            if entities and rng.random() < 0.98:
                splits[i, k] = rng.choice(entities)
            else:
                splits[i, k] = rng.choice([n_entities, -2, INT32_MAX, INT32_MIN])
    n_rows = split_rows * split_cols + (0 if rng.random() < 0.9 else rng.choice([1, -1]))

    index_map = {}
    for dimension_code in set(codes) | {rng.randint(-4, 6) for _ in range(rng.randint(0, 3))}:
        if rng.random() < 0.9:
            index_map[dimension_code] = rng.randint(-2, 4) if rng.random() < 0.95 else rng.choice([-32768, 32767])

    horizons = [random_horizon(rng) for _ in range(rng.randint(1, 4) if rng.random() < 0.97 else 0)]
    operators = rng.sample(OPERATOR_CODES, rng.randint(0, len(OPERATOR_CODES)))
    if rng.random() < 0.1:
        operators.append(rng.choice([0, -5, 99, INT32_MAX]))
    set_one = [c for c in operators if rng.random() < 0.6]
    set_two = [c for c in operators if rng.random() < 0.3]
    exponent = E if rng.random() < 0.85 else rng.choice([0, 1, -1000, 46341, 65536, INT32_MAX])

    # Mostly the columns the requested operators would write, some missing,
    # a few stray keys and, rarely, a column index outside the frame.
    dims = sorted(set(index_map.values()) | {0})
    requested = sorted(set(set_one) | set(set_two) | {10})
    keys = [d * exponent * exponent + op * exponent + h
            for d in dims for op in requested for h in set(horizons) if rng.random() < 0.9]
    keys += [rng.randint(-10**6, 10**7) for _ in range(rng.randint(0, 3))]
    n_columns = len(keys) + rng.randint(0, 2) if rng.random() < 0.95 else rng.randint(0, 5)
    column_name_map = {}
    for key in keys:
        key = (key + 2**63) % 2**64 - 2**63
        column = rng.randrange(n_columns) if n_columns and rng.random() < 0.995 else rng.choice([-1, n_columns])
        column_name_map[key] = column

    call = {
        "result_frame": random_layout(rng, np.full((max(n_rows, 0), n_columns), -7.0, dtype=np.float32)),
        "c_num_threads": rng.randint(0, 8),
        "date_col_index": date_col_index,
        "d_index": d_index,
        "q_index": q_index,
        "splits": random_layout(rng, splits),
        "horizons": horizons,
        "offset": rng.choice([0, 0, 1, 3]) if rng.random() < 0.9 else rng.choice([INT32_MIN, INT32_MAX, -1]),
        "resolution": rng.choice([0, 1, 2, 2, 3, 4, 5]) if rng.random() < 0.95 else rng.choice([-1, 6, INT32_MAX]),
        "index_map": index_map,
        "trx_dates": random_layout(rng, trx_dates),
        "trx_q_arrays": random_layout(rng, trx_q),
        "trx_d_arrays": random_layout(rng, trx_d),
        "entity_index_map": entity_index_map,
        "target_dates": random_layout(rng, np.array(targets, dtype=np.int64)),
        "included_operators": operators,
        "included_operator_set_one": set_one,
        "included_operator_set_two": set_two,
        "column_name_map": column_name_map,
        "nearest_exponent": exponent,
        "dim_group_id": rng.choice(dims + [-1]),
        "for_afe_columns": rng.random() < 0.4,
        "is_no_dim_col": rng.random() < 0.2,
    }
    return call


ARRAYS = ("result_frame", "splits", "trx_dates", "trx_q_arrays", "trx_d_arrays", "target_dates")
INTEGERS = ("c_num_threads", "date_col_index", "d_index", "q_index", "offset", "resolution",
            "nearest_exponent", "dim_group_id")
LISTS = ("horizons", "included_operators", "included_operator_set_one", "included_operator_set_two")
MAPS = ("index_map", "entity_index_map", "column_name_map")
FLAGS = ("for_afe_columns", "is_no_dim_col")


def mutate(rng, call):
    """Applies one hostile change."""
    kind = rng.randrange(9)
    if kind == 0:
        name = rng.choice(ARRAYS)
        call[name] = hostile_array(rng, call[name])
    elif kind == 1:
        call[rng.choice(INTEGERS)] = hostile_integer(rng)
    elif kind == 2:
        name = rng.choice(LISTS)
        good = list(call[name]) if isinstance(call[name], list) else [7]
        call[name] = rng.choice([
            lambda: RaisingIterable(good), lambda: (x for x in good), lambda: tuple(good),
            lambda: np.array(good, dtype=np.int64), lambda: good + [hostile_integer(rng)], lambda: 5,
            lambda: None, lambda: "abc", lambda: [],
        ])()
        if isinstance(call[name], list) and rng.random() < 0.3:
            call[name].insert(rng.randint(0, len(call[name])), ChurningItem(call[name], rng.choice(good or [7])))
    elif kind == 3:
        name = rng.choice(MAPS)
        mapping = call[name] if isinstance(call[name], dict) else {}
        call[name] = rng.choice([
            lambda: DictSubclass(mapping), lambda: None, lambda: list(mapping.items()), lambda: {},
        ])()
    elif kind == 4:
        # A key or value that converts badly, or two keys that become equal.
        name = rng.choice(("index_map", "column_name_map"))
        mapping = dict(call[name]) if isinstance(call[name], dict) else {}
        bad = rng.choice([
            lambda: (hostile_integer(rng), 1), lambda: (1, hostile_integer(rng)), lambda: (1.5, 2),
            lambda: (IntLike(1), 3), lambda: (IntSubclass(1), 4), lambda: (np.int16(1), 5),
            lambda: (32768, 0), lambda: (0, -32769), lambda: ("1", 1), lambda: (2**64 + 1, 0),
        ])()
        try:
            mapping[bad[0]] = bad[1]
        except TypeError:  # an unhashable key
            pass
        if rng.random() < 0.3:
            mapping[ChurningKey(mapping, rng.randint(-3, 3))] = 1
        call[name] = mapping
    elif kind == 5:
        entity_map = dict(call["entity_index_map"]) if isinstance(call["entity_index_map"], dict) else {}
        key = rng.choice([0, 1, hostile_integer(rng)])
        try:
            entity_map[key] = rng.choice([
                None, np.zeros(3, dtype=np.int64), np.zeros((2, 2), dtype=np.int32), [0, 1],
                np.array([INT32_MIN, -1, INT32_MAX], dtype=np.int32), "x"])
        except TypeError:  # an unhashable key
            pass
        call["entity_index_map"] = entity_map
    elif kind == 6:
        call[rng.choice(FLAGS)] = rng.choice([RaisingBool(), np.array([1, 2]), None, "", [0], 0.0])
    elif kind == 7:
        # Timestamps and horizons at the edges of their ranges.
        call["horizons"] = [rng.choice([INT32_MAX, INT32_MIN, 0, -1, 1]) for _ in range(rng.randint(1, 3))]
        call["offset"] = rng.choice([INT32_MAX, INT32_MIN, -1, 0])
        call["resolution"] = rng.choice([0, 1, 5])
        dates = call["trx_dates"]
        if isinstance(dates, np.ndarray) and dates.dtype == np.int64 and dates.ndim == 2 and dates.size:
            dates = dates.copy()
            dates.flat[rng.randrange(dates.size)] = rng.choice([INT64_MIN, INT64_MAX])
            call["trx_dates"] = dates
    else:
        # Positional instead of keyword binding, with too many or too few.
        call["__positional__"] = rng.choice([19, 20, 23, 24])


# ---- snapshots and checks ----------------------------------------------------------

def _root(array):
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array


def _array_state(obj):
    if isinstance(obj, memoryview):
        return ("memoryview", obj.tobytes())
    if isinstance(obj, np.ndarray) and obj.dtype != object:
        # The whole underlying buffer: a write outside the view counts too.
        return ("ndarray", obj.dtype.str, obj.shape, obj.strides, obj.tobytes(), _root(obj).tobytes())
    if isinstance(obj, ctypes.Array):
        return ("ctypes", obj, bytes(memoryview(obj).cast("B")))
    return ("object", obj)


def _frame_bytes(frame):
    if isinstance(frame, ctypes.Array):
        return bytes(memoryview(frame).cast("B"))
    if isinstance(frame, (np.ndarray, memoryview)):
        try:
            return bytes(frame.tobytes())
        except (TypeError, ValueError):
            return None
    return None


def outside_view(view):
    """The bytes of the view's underlying buffer that lie outside the view."""
    if not isinstance(view, np.ndarray) or view.size == 0:
        return None
    root = _root(view)
    if root is view:
        return None
    start = view.__array_interface__["data"][0] - root.__array_interface__["data"][0]
    offsets = np.full(view.shape, start, dtype=np.int64)
    for axis, index in enumerate(np.indices(view.shape)):
        offsets += index * view.strides[axis]
    inside = np.zeros(root.nbytes, dtype=bool)
    inside[(offsets.reshape(-1, 1) + np.arange(view.itemsize)).reshape(-1)] = True
    raw = np.frombuffer(root.tobytes(), dtype=np.uint8)
    return raw[~inside].tobytes()


def snapshot(call):
    state = {}
    for name, value in call.items():
        if name in ("result_frame", "__positional__"):
            continue
        if isinstance(value, dict):
            items = list(value.items())
            state[name] = ("dict", type(value),
                           [(k, v, None if type(v) is int else _array_state(v)) for k, v in items])
        elif isinstance(value, list):
            state[name] = ("list", list(value))
        else:
            state[name] = ("value", _array_state(value))
    return state


def compare_state(before, after):
    for name, entry in before.items():
        other = after[name]
        if entry[0] == "dict":
            if entry[1] is not other[1] or len(entry[2]) != len(other[2]):
                raise FuzzFailure("dict {} changed".format(name))
            for (k1, v1, s1), (k2, v2, s2) in zip(entry[2], other[2]):
                if k1 is not k2 or v1 is not v2 or (s1 is not None and not _same(s1, s2)):
                    raise FuzzFailure("dict {} changed at key {!r}".format(name, k1))
        elif entry[0] == "list":
            if len(entry[1]) != len(other[1]) or any(a is not b for a, b in zip(entry[1], other[1])):
                raise FuzzFailure("list {} changed".format(name))
        elif not _same(entry[1], other[1]):
            raise FuzzFailure("argument {} changed".format(name))


def _same(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "object":
        return a[1] is b[1]
    return a[1:] == b[1:]


def _counted(value):
    return not isinstance(value, (int, float, str, bool, type(None)))


def refcounts(call):
    counts = {}
    for name, value in call.items():
        if name != "__positional__" and _counted(value):
            counts[name] = sys.getrefcount(value)
        if isinstance(value, dict):
            for i, v in enumerate(value.values()):
                if type(v) is not int and _counted(v):
                    counts[(name, i)] = sys.getrefcount(v)
    return counts


class NullWriter:
    """Swallows the tracebacks that unraisable reports print."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def _plain(value):
    if isinstance(value, (np.ndarray, memoryview, ctypes.Array)):
        return np.array(np.asarray(value), order="C", copy=True)
    if isinstance(value, dict) and type(value) is dict:
        return {key: _plain(item) for key, item in value.items()}
    return value


def plain_layout(call, frame_before):
    """The same call with every buffer copied into a fresh C-contiguous
    NumPy array, or None when it cannot be repeated (a consumed iterator)."""
    if any(isinstance(v, types.GeneratorType) for v in call.values()):
        return None
    plain = {name: _plain(value) for name, value in call.items()}
    plain["result_frame"] = frame_before.copy()
    return plain


def call_execute(execute, call):
    positional = call.pop("__positional__", None)
    if positional is None:
        return execute(**call)
    names = list(call)
    values = [call[n] for n in names] + [call[names[0]]] * max(0, positional - len(names))
    return execute(*values[:positional])


def fuzz(calls, seed, progress=None):
    """Runs `calls` random calls; returns counts of outcomes. Raises
    FuzzFailure on the first violated check."""
    import importlib

    execute = importlib.import_module(MODULE_PATH).execute
    rng = random.Random(seed)
    outcomes = collections.Counter()
    reports = []

    def hook(args):
        reports.append(args.object)

    previous_hook, previous_stderr = sys.unraisablehook, sys.stderr
    sys.unraisablehook, sys.stderr = hook, NullWriter()
    try:
        for n in range(calls):
            with warnings.catch_warnings():
                # Casting NaN or huge values to integers warns; the cast result is what we want.
                warnings.simplefilter("ignore")
                call = random_call(rng)
                for _ in range(rng.choice([0, 0, 0, 1, 1, 2, 3])):
                    try:
                        mutate(rng, call)
                    except (TypeError, ValueError, OverflowError, IndexError):
                        pass  # a change that cannot be built on an earlier one
            before = snapshot(call)
            frame_outside = outside_view(call["result_frame"])
            frame_before = _frame_bytes(call["result_frame"])
            frame_copy = None
            if isinstance(call["result_frame"], (np.ndarray, memoryview, ctypes.Array)) and frame_before is not None:
                frame_copy = np.array(np.asarray(call["result_frame"]), order="C", copy=True)
            counts = refcounts(call)
            del reports[:]
            outcome = None
            try:
                result = call_execute(execute, dict(call))
                if result is not None:
                    raise FuzzFailure("execute returned {!r}".format(result))
                outcome = "returned"
            except FuzzFailure:
                raise
            except Exception as error:  # any ordinary exception is a clean failure
                outcome = type(error).__name__
            if not isinstance(outcome, str):
                raise FuzzFailure("call {} ended without an outcome".format(n))
            compare_state(before, snapshot(call))
            if frame_outside is not None and outside_view(call["result_frame"]) != frame_outside:
                raise FuzzFailure("call {}: written outside result_frame".format(n))
            after_counts = refcounts(call)
            if after_counts != counts:
                raise FuzzFailure("call {}: reference counts changed: {} -> {}".format(n, counts, after_counts))
            for context in reports:
                if not (isinstance(context, str) and context.startswith(CONTEXT_PREFIX)
                        and context[len(CONTEXT_PREFIX):] in ROUTINES):
                    raise FuzzFailure("call {}: unraisable report with context {!r}".format(n, context))
            outcomes[outcome] += 1
            if outcome == "returned" and frame_copy is not None:
                # Strides and exporters change nothing: the same call on plain
                # contiguous copies writes the same bits and the same reports.
                plain = plain_layout(call, frame_copy)
                if plain is not None:
                    first_reports = len(reports)
                    del reports[:]
                    call_execute(execute, dict(plain))
                    got = np.asarray(call["result_frame"]).view(np.uint32)
                    if not np.array_equal(got, plain["result_frame"].view(np.uint32)) or len(reports) != first_reports:
                        raise FuzzFailure("call {}: the plain-layout copy of the call gives other results".format(n))
                    reports[:] = [None] * first_reports
                    outcomes["layout rechecked"] += 1
            if frame_before is not None and _frame_bytes(call["result_frame"]) != frame_before:
                outcomes["wrote result_frame"] += 1
            outcomes["reports"] += len(reports)
            if progress and (n + 1) % progress == 0:
                print("{} calls".format(n + 1), file=previous_stderr, flush=True)
    finally:
        sys.unraisablehook, sys.stderr = previous_hook, previous_stderr
    return outcomes


def fuzz_main(name, description, fuzz_calls, got_through, argv=None):
    """The command line of a fuzzer: runs ``fuzz_calls(calls, seed, progress)``
    and prints its outcomes; exits 1 on a failed check, or when
    ``got_through(outcomes)`` says no call got past the argument checks."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--calls", type=int, default=10000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--progress", type=int, default=0, help="print a line every N calls")
    options = parser.parse_args(argv)
    start = time.monotonic()
    try:
        outcomes = fuzz_calls(options.calls, options.seed, options.progress)
    except FuzzFailure as failure:
        print("{}: FAILED (seed {}): {}".format(name, options.seed, failure), file=sys.stderr)
        return 1
    elapsed = time.monotonic() - start
    print("{}: {} calls, seed {}, {:.1f} s".format(name, options.calls, options.seed, elapsed))
    width = max(map(len, outcomes), default=0)
    for outcome, count in sorted(outcomes.items(), key=lambda item: -item[1]):
        print("  {:<{}}  {}".format(outcome, width, count))
    if not got_through(outcomes):
        print("{}: no call got through the argument checks".format(name), file=sys.stderr)
        return 1
    return 0


def main(argv=None):
    return fuzz_main("fuzz_execute", __doc__.split("\n\n")[0], fuzz, lambda outcomes: outcomes["returned"] > 0, argv)


if __name__ == "__main__":
    sys.exit(main())
