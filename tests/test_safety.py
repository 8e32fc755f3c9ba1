"""Invalid indices, `None` arrays and extreme integers never reach memory
outside a buffer.

What can be checked before anything is written raises from `execute` with
`result_frame` untouched; what only the scan can see is reported as
unraisable, leaves that entity's row as it was and the call goes on. Valid
input keeps its results bit for bit, and no failing call leaves a buffer
exported or a reference behind.
"""

from __future__ import annotations

import pickle
import sys

import numpy as np
import pytest

from _feature_helpers import assert_bits_equal, capture_unraisable
from _safety_support import (
    DAY, E, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN, SENTINEL, T0, baseline, code, column_key, run, valid_call,
)


# ---- checks before the split loop -----------------------------------------

def _set(name, value):
    def change(call):
        call[name] = value
    return change


def _split_entry(i, k, value):
    def change(call):
        call["splits"][i, k] = value
    return change


def _column_value(value):
    def change(call):
        key = next(iter(call["column_name_map"]))
        call["column_name_map"][key] = value(call) if callable(value) else value
    return change


def _entity_rows(entity, rows):
    def change(call):
        call["entity_index_map"][entity] = np.array(rows, dtype=np.int32)
    return change


def _result_rows(n):
    def change(call):
        call["result_frame"] = call["result_frame"][:n].copy()
    return change


def _target_dates_length(n):
    def change(call):
        call["target_dates"] = call["target_dates"][:n].copy()
    return change


def _entity_out_of_range(i, k, value, length=3):
    return f"splits[{i}, {k}] = {value} is out of range for target_dates of length {length}"


def _row_out_of_range(i, k, row, rows):
    return f"splits[{i}, {k}] fills result row {row}, out of range for result_frame with {rows} rows"


def _column_out_of_range(value):
    # 1004007 is the first key: dimension value 1, Sum, 7 days
    return f"column_name_map[1004007] = {value} is out of range for result_frame with 28 columns"


def _index_out_of_range(name, value, array, columns):
    return f"{name} = {value} is out of range for {array} with {columns} columns"


def _none_but_read(name):
    return f"{name} is None but entity_index_map lists transactions to read"


# (change to the valid call, exception, its message: the argument, the
# offending value and the bound).
UP_FRONT = {
    "negative entity": (_split_entry(0, 1, -5), IndexError, _entity_out_of_range(0, 1, -5)),
    "entity -2 next to the sentinel": (_split_entry(1, 0, -2), IndexError, _entity_out_of_range(1, 0, -2)),
    "entity equal to the length": (_split_entry(0, 0, 3), IndexError, _entity_out_of_range(0, 0, 3)),
    "entity int32 max": (_split_entry(0, 1, INT32_MAX), IndexError, _entity_out_of_range(0, 1, INT32_MAX)),
    "entity int32 min": (_split_entry(0, 1, INT32_MIN), IndexError, _entity_out_of_range(0, 1, INT32_MIN)),
    "target_dates too short": (_target_dates_length(2), IndexError, _entity_out_of_range(0, 1, 2, length=2)),
    "target_dates None": (_set("target_dates", None), IndexError, _entity_out_of_range(0, 0, 0, length=0)),
    "result row beyond the frame": (_result_rows(2), IndexError, _row_out_of_range(0, 1, 2, 2)),
    "result_frame None": (_set("result_frame", None), IndexError, _row_out_of_range(0, 0, 0, 0)),
    "column index equal to the width": (
        _column_value(lambda call: call["result_frame"].shape[1]), IndexError, _column_out_of_range(28)),
    "negative column index": (_column_value(-1), IndexError, _column_out_of_range(-1)),
    "column index int32 max": (_column_value(INT32_MAX), IndexError, _column_out_of_range(INT32_MAX)),
    "date_col_index beyond": (_set("date_col_index", 2), IndexError, _index_out_of_range("date_col_index", 2, "trx_dates", 2)),
    "date_col_index -2": (_set("date_col_index", -2), IndexError, _index_out_of_range("date_col_index", -2, "trx_dates", 2)),
    "date_col_index int32 min": (
        _set("date_col_index", INT32_MIN), IndexError, _index_out_of_range("date_col_index", INT32_MIN, "trx_dates", 2)),
    "d_index beyond": (_set("d_index", 2), IndexError, _index_out_of_range("d_index", 2, "trx_d_arrays", 2)),
    "d_index negative": (_set("d_index", -1), IndexError, _index_out_of_range("d_index", -1, "trx_d_arrays", 2)),
    "q_index beyond": (_set("q_index", 3), IndexError, _index_out_of_range("q_index", 3, "trx_q_arrays", 3)),
    "q_index negative": (_set("q_index", -1), IndexError, _index_out_of_range("q_index", -1, "trx_q_arrays", 3)),
    "q_index int32 max": (_set("q_index", INT32_MAX), IndexError, _index_out_of_range("q_index", INT32_MAX, "trx_q_arrays", 3)),
    "trx_dates None": (_set("trx_dates", None), ValueError, _none_but_read("trx_dates")),
    "trx_q_arrays None": (_set("trx_q_arrays", None), ValueError, _none_but_read("trx_q_arrays")),
    "trx_d_arrays None": (_set("trx_d_arrays", None), ValueError, _none_but_read("trx_d_arrays")),
    "empty horizons": (_set("horizons", []), ValueError, "horizons must not be empty when splits has rows"),
    "empty horizons from a generator": (
        _set("horizons", (h for h in ())), ValueError, "horizons must not be empty when splits has rows"),
}


@pytest.fixture(scope="module")
def valid_frame():
    """The valid call's frame, computed before the first failing call of this module."""
    return baseline()


@pytest.mark.parametrize("change, error, message", list(UP_FRONT.values()), ids=list(UP_FRONT))
def test_up_front_check_raises_and_leaves_the_frame_and_the_module_untouched(change, error, message, valid_frame):
    call = valid_call()
    change(call)
    frame = call["result_frame"]
    before = None if frame is None else frame.copy()
    with capture_unraisable() as reports:
        with pytest.raises(error) as raised:
            run(call)
    assert str(raised.value) == message
    assert reports == []
    if before is not None:
        assert_bits_equal(frame, before)
    # the valid call still computes what it did before this and the earlier failures
    assert_bits_equal(baseline(), valid_frame)


def _all_none_transactions(call):
    for name in ("trx_dates", "trx_q_arrays", "trx_d_arrays"):
        call[name] = None
    call["entity_index_map"] = {}


def _no_positions(call):
    call["splits"] = np.full((2, 3), -1, dtype=np.int32)
    call["target_dates"] = None
    call["result_frame"] = None
    call["column_name_map"] = {1: -5}


def _no_dimension_value_nothing_accepted(call):
    # index_map is empty, so split 0 has no dimension value; every transaction is newer than the window
    call["index_map"] = {}
    call["offset"] = 1000


# Calls in which nothing out of range is ever followed: they must go through,
# reporting nothing, with the frame of the valid call or left untouched.
NOTHING_READ = {
    # Nothing after a row's -1 is read, however wrong it is.
    "bad entity after the sentinel": (_split_entry(1, 2, INT32_MIN), "as the valid call"),
    "splits None": (_set("splits", None), "untouched"),
    "splits with no rows": (_set("splits", np.zeros((0, 3), dtype=np.int32)), "untouched"),
    "no transactions and no transaction arrays": (_all_none_transactions, "untouched"),
    "no position before any sentinel": (_no_positions, None),
    # Entity 1's row 5 is older than the largest window: the scan ends there.
    "bad rows beyond the end of the window": (_entity_rows(1, [3, 4, 5, -1, 10**6]), "as the valid call"),
    "no dimension value and nothing accepted": (_no_dimension_value_nothing_accepted, "untouched"),
}


@pytest.mark.parametrize("change, frame_is", list(NOTHING_READ.values()), ids=list(NOTHING_READ))
def test_what_is_never_read_is_not_refused(change, frame_is):
    expected = baseline()
    call = valid_call()
    change(call)
    with capture_unraisable() as reports:
        assert run(call) is None
    assert reports == []
    if frame_is == "untouched":
        assert (call["result_frame"] == SENTINEL).all()
    elif frame_is == "as the valid call":
        assert_bits_equal(call["result_frame"], expected)
    else:
        assert call["result_frame"] is None


@pytest.mark.parametrize("trx_dates", [None, "one row"])
def test_no_date_column_reads_no_trx_dates(trx_dates):
    # Without a date column trx_dates is not read, so it may be None and its
    # row count is no bound.
    full = valid_call()
    full["date_col_index"] = -1
    run(full)
    call = valid_call()
    call["date_col_index"] = -1
    call["trx_dates"] = None if trx_dates is None else call["trx_dates"][:1].copy()
    with capture_unraisable() as reports:
        run(call)
    assert reports == []
    assert_bits_equal(call["result_frame"], full["result_frame"])
    assert not (call["result_frame"][:3] == SENTINEL).all()


# ---- checks during the scan ------------------------------------------------

SCAN_ROUTINE = "get_aggregates_and_fill_row"


def _fewer_rows(name, n):
    def change(call):
        call[name] = call[name][:n].copy()
    return change


def _extra_entity_with_a_bad_row(call):
    # entity 3 fills row 1 + 1 * 2 = 3, which no other entity fills
    call["target_dates"] = np.array(list(call["target_dates"]) + [T0], dtype=np.int64)
    call["entity_index_map"][3] = np.array([0, 99], dtype=np.int32)
    call["splits"][1] = [1, 3, -1]


# (change, entity whose row must stay as it was, texts of the report).
# Entity 0 fills row 0, entity 1 row 1, entity 2 row 2; there are 9
# transaction rows, 0-2 of entity 0, 3-5 of entity 1, 6-8 of entity 2.
SCAN_TIME = {
    "row equal to the row count": (_entity_rows(1, [9, 3, 4]), 1, ["transaction row 9", "9 rows"]),
    "negative row": (_entity_rows(0, [-1, 0, 1]), 0, ["transaction row -1", "9 rows"]),
    "row int32 min": (_entity_rows(2, [6, INT32_MIN]), 2, ["transaction row " + str(INT32_MIN)]),
    "row int32 max": (_entity_rows(0, [0, 1, 2, INT32_MAX]), 0, ["transaction row " + str(INT32_MAX)]),
    "trx_dates shorter": (_fewer_rows("trx_dates", 8), 2, ["transaction row 8", "8 rows"]),
    "trx_q_arrays shorter": (_fewer_rows("trx_q_arrays", 7), 2, ["transaction row 7", "7 rows"]),
    "trx_d_arrays shorter": (_fewer_rows("trx_d_arrays", 8), 2, ["transaction row 8", "8 rows"]),
    "an extra entity's bad row": (_extra_entity_with_a_bad_row, 3, ["transaction row 99", "9 rows"]),
}


@pytest.mark.parametrize("change, entity, texts", list(SCAN_TIME.values()), ids=list(SCAN_TIME))
def test_scan_reports_a_bad_row_and_goes_on(change, entity, texts):
    expected = baseline()
    call = valid_call()
    change(call)
    with capture_unraisable() as reports:
        assert run(call) is None
    assert len(reports) == 1, reports
    kind, message, routine = reports[0]
    assert (kind, routine) == ("IndexError", SCAN_ROUTINE)
    for text in texts:
        assert text in message, (text, message)
    frame = call["result_frame"]
    assert (frame[entity] == SENTINEL).all(), "the entity's row was written"
    others = [row for row in range(frame.shape[0]) if row != entity]
    assert_bits_equal(frame[others], expected[others])


def test_no_dimension_value_with_an_accepted_transaction():
    # index_map is empty, so split 0 has no dimension value (D = 0) and its
    # accepted transactions have no cell: they fill nothing and the rows of
    # split 0 keep what they held. The lookups add the codes they met with
    # mapped value 0, so split 1 has the one dimension value 0 and aggregates
    # entity 1 normally.
    call = valid_call()
    call["index_map"] = {}
    sum_code = code("Sum")
    width = call["result_frame"].shape[1]
    call["column_name_map"] = {column_key(0, sum_code, 7): width - 2, column_key(0, sum_code, 30): width - 1}
    call["included_operators"] = [sum_code]
    call["included_operator_set_one"] = [sum_code]
    call["included_operator_set_two"] = []
    with capture_unraisable() as reports:
        run(call)
    assert reports == []
    frame = call["result_frame"]
    assert (frame[[0, 2, 3]] == SENTINEL).all()
    # Entity 1: 4.0 two days back, 3.0 twenty days back; 9.0 is out of the window.
    assert frame[1, width - 2] == np.float32(4.0)
    assert frame[1, width - 1] == np.float32(7.0)
    assert (frame[1, :width - 2] == SENTINEL).all()


# ---- hygiene after failing calls --------------------------------------------

class RaisingBool:
    def __bool__(self):
        raise RuntimeError("no truth value")


def _memoryview_of(array):
    """A writable buffer exporter that counts its exports: release() raises
    BufferError while one is held."""
    fmt = {np.dtype(np.float32): "f", np.dtype(np.int64): "q", np.dtype(np.int32): "i", np.dtype(np.int8): "b"}
    array = np.ascontiguousarray(array)
    return memoryview(bytearray(array.tobytes())).cast(fmt[array.dtype], list(array.shape))


def _as_memoryviews(call):
    for name in ("result_frame", "splits", "trx_dates", "trx_q_arrays", "trx_d_arrays", "target_dates"):
        call[name] = _memoryview_of(call[name])
    call["entity_index_map"] = {k: _memoryview_of(v) for k, v in call["entity_index_map"].items()}


def _late_conversion_failure(call):
    # Every array is exported by the time is_no_dim_col is converted.
    call["is_no_dim_col"] = RaisingBool()


def _bad_value_inside_entity_index_map(call):
    rows = call["entity_index_map"]
    rows[7] = np.zeros(2, dtype=np.int64)  # after the good views of entities 0-2


def _bad_dict_after_arrays(call):
    class Subclass(dict):
        pass
    call["column_name_map"] = Subclass(call["column_name_map"])


def _raising_iterable(call):
    def operators():
        yield code("Sum")
        raise RuntimeError("midway")
    call["included_operator_set_two"] = operators()


FAILURES = {
    "returns normally": (lambda call: None, None),
    "binding: unexpected keyword": (lambda call: call.update(extra=1), TypeError),
    "binding: missing argument": (lambda call: call.pop("nearest_exponent"), TypeError),
    "conversion: wrong dtype": (lambda call: call.update(target_dates=np.zeros(3)), ValueError),
    "conversion: wrong number of axes": (lambda call: call.update(target_dates=np.zeros((3, 1), np.int64)), ValueError),
    "conversion: bad value in entity_index_map": (_bad_value_inside_entity_index_map, ValueError),
    "conversion: dict subclass": (_bad_dict_after_arrays, TypeError),
    "conversion: iterable raises midway": (_raising_iterable, RuntimeError),
    "conversion: bad list element": (lambda call: call.update(included_operators=[1, None]), TypeError),
    "conversion: __bool__ raises": (_late_conversion_failure, RuntimeError),
    "conversion: integer overflow": (lambda call: call.update(nearest_exponent=2**31), OverflowError),
    "up front: entity out of range": (_split_entry(0, 1, 17), IndexError),
    "up front: d_index out of range": (_set("d_index", 9), IndexError),
    "up front: None array": (_set("trx_q_arrays", None), ValueError),
    "scan: bad transaction row": (_entity_rows(1, [3, 42]), None),
    "scan: transactions without a cell": (_set("index_map", {}), None),
}


def _objects_to_count(call):
    """Every argument and dict value whose count the call could change
    (small ints and None are shared by the whole interpreter)."""
    values = list(call.values())
    for mapping in ("entity_index_map", "index_map", "column_name_map"):
        if isinstance(call.get(mapping), dict):
            values.extend(call[mapping].values())
    return [value for value in values if not isinstance(value, (int, float, type(None)))]


@pytest.mark.parametrize("wrap", ["numpy", "memoryview"])
@pytest.mark.parametrize("change, error", list(FAILURES.values()), ids=list(FAILURES))
def test_failed_call_releases_every_buffer_and_reference(change, error, wrap):
    call = valid_call()
    if wrap == "memoryview":
        _as_memoryviews(call)
    change(call)
    objects = _objects_to_count(call)
    counts = [sys.getrefcount(o) for o in objects]
    raised = None
    with capture_unraisable():
        try:
            run(call)
        except Exception as exception:  # the exception holds no argument
            raised = type(exception)
    assert raised is error
    # An exported buffer holds a reference to its exporter, so for NumPy
    # arrays (which keep no export count) the reference count shows it too.
    assert [sys.getrefcount(o) for o in objects] == counts
    if wrap == "memoryview":
        # A memoryview refuses release() while a buffer of it is exported.
        views = [v for v in objects if isinstance(v, memoryview)]
        assert views
        for view in views:
            view.release()


def test_the_export_check_sees_a_held_buffer():
    view = _memoryview_of(np.zeros((2, 2), dtype=np.float32))
    holder = pickle.PickleBuffer(view)
    with pytest.raises(BufferError):
        view.release()
    holder.release()
    view.release()


# ---- 64-bit saturation and 32-bit wrapping -----------------------------------

def _one_entity(target, dates, quantities, horizons, offset, resolution, exponent=E, **extra):
    """One entity with dimension value 1; Sum columns at every horizon."""
    sum_code = code("Sum")
    n = len(dates)
    call = valid_call()
    call.update(
        result_frame=np.full((1, len(horizons) + 1), SENTINEL, dtype=np.float32),
        date_col_index=0, d_index=0, q_index=0,
        splits=np.array([[0]], dtype=np.int32),
        horizons=list(horizons), offset=offset, resolution=resolution, index_map={1: 1},
        trx_dates=np.array(dates, dtype=np.int64).reshape(n, 1),
        trx_q_arrays=np.array(quantities, dtype=np.float32).reshape(n, 1),
        trx_d_arrays=np.ones((n, 1), dtype=np.int8),
        entity_index_map={0: np.arange(n, dtype=np.int32)},
        target_dates=np.array([target], dtype=np.int64),
        included_operators=[sum_code], included_operator_set_one=[sum_code], included_operator_set_two=[],
        column_name_map={column_key(1, sum_code, h, exponent): j for j, h in enumerate(horizons)},
        nearest_exponent=exponent,
    )
    call.update(extra)
    return call


def _sum_of(call):
    with capture_unraisable() as reports:
        run(call)
    assert reports == []
    return call["result_frame"][0]


NAN = float("nan")


@pytest.mark.parametrize("target, dates, quantities, horizon, offset, resolution, extra, expected", [
    # (2**31 - 1) years overflow 64 bits: the window reaches back to the
    # start of the time line, clipped at -(2**63 - 1).
    (0, [-10**18], [2.0], INT32_MAX, 0, 0, {}, 2.0),
    (0, [INT64_MIN + 1], [3.0], INT32_MAX, 0, 0, {}, 3.0),
    # The first row older than the clipped window ends the scan.
    (0, [-10**18, INT64_MIN, -5], [2.0, 5.0, 7.0], INT32_MAX, 0, 0, {}, 2.0),
    # A negative offset moves the window end past int64 max, where it is
    # clipped; the window end itself counts only in feature-group mode.
    (INT64_MAX, [INT64_MAX, INT64_MAX - 1], [0.5, 1.0], INT32_MAX, -1, 0, dict(is_no_dim_col=True), 1.0),
    (INT64_MAX, [INT64_MAX, INT64_MAX - 1], [0.5, 1.0], INT32_MAX, -1, 0,
     dict(is_no_dim_col=True, for_afe_columns=True), 1.5),
    # Both ends lie beyond int64 max: nothing is accepted, the Sum cell is NaN.
    (INT64_MAX - DAY, [INT64_MAX - 2 * DAY], [1.0], 1, INT32_MIN, 0, {}, NAN),
    # horizon + offset: int32 max + 1 wraps to int32 min, the window start
    # moves to the future, after the window end, and nothing is accepted.
    (T0, [T0 - 5000], [2.0], INT32_MAX, 0, 5, {}, 2.0),
    (T0, [T0 - 5000], [2.0], INT32_MAX, 1, 5, {}, NAN),
], ids=["far past", "start of the window", "before the window", "end clipped", "end clipped, feature group",
        "entirely past the end", "horizon plus offset fits", "horizon plus offset wraps"])
def test_windows_at_the_ends_of_the_time_line(target, dates, quantities, horizon, offset, resolution, extra,
                                              expected):
    call = _one_entity(target, dates, quantities, [horizon], offset=offset, resolution=resolution, **extra)
    np.testing.assert_equal(_sum_of(call)[0], np.float32(expected))


@pytest.mark.parametrize("exponent", [65536, 46341, 2**20 + 3])
def test_column_key_wraps_in_32_bits(exponent):
    # dimension 1 * E * E no longer fits in 32 bits: the key wraps, and the
    # value lands in the column of the wrapped key, not the unwrapped one.
    sum_code = code("Sum")
    wrapped = column_key(1, sum_code, 7, exponent)
    unwrapped = exponent * exponent + sum_code * exponent + 7
    assert wrapped != unwrapped
    call = _one_entity(T0, [T0 - DAY], [2.5], [7], offset=0, resolution=2, exponent=exponent,
                       column_name_map={wrapped: 0, unwrapped: 1})
    row = _sum_of(call)
    assert row[0] == np.float32(2.5)
    assert row[1] == np.float32(SENTINEL)


# ---- memory exhaustion ----------------------------------------------------------

def test_an_aggregate_buffer_too_large_to_allocate_is_reported_per_split():
    # 30000 dimension values x 10**6 horizons x 9 slots of float32 is about
    # a petabyte: each split reports MemoryError, writes nothing, and the call
    # goes on to the next split and returns.
    call = valid_call()
    call["index_map"] = {code: code for code in range(-15000, 15000)}
    call["horizons"] = [7] * 10**6
    with capture_unraisable() as reports:
        assert run(call) is None
    assert [(kind, routine) for kind, _, routine in reports] == [("MemoryError", "exec_for_split")] * 2
    assert (call["result_frame"] == SENTINEL).all()
