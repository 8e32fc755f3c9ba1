"""Binding and conversion of the 23 arguments of ``execute``: every error
message in full, the conversion order, and that a refused call writes
nothing. The checks made after conversion, before the split loop, are in
test_safety.py."""

import collections
import ctypes

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import ARGUMENT_NAMES, REQUIRED_COUNT, SENTINEL, valid_arguments


def positional(arguments, count=None):
    values = list(arguments.values())
    return values if count is None else values[:count]


def count_message(bound, given):
    return "execute() takes {} {} positional arguments ({} given)".format(bound, 20 if bound == "at least" else 23, given)


class IntLike:
    """An object converted through __int__."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class RaisingInt:
    def __int__(self):
        raise KeyError("from __int__")


class NotTruthy:
    def __init__(self, message):
        self.message = message

    def __bool__(self):
        raise ZeroDivisionError(self.message)


class StopsMidway:
    """An iterable whose iteration raises after one item."""

    def __iter__(self):
        yield 1
        raise LookupError("stopped")


class MyDict(dict):
    pass


def read_only(array):
    array.flags.writeable = False
    return array


def view(cast_format, shape):
    """A writable memoryview of zeros with the given struct format and shape."""
    itemsize = memoryview(bytes(8)).cast("B").cast(cast_format).itemsize
    return memoryview(bytearray(int(np.prod(shape)) * itemsize)).cast(cast_format, shape)


def splits_view():
    splits = view("i", (1, 2))
    splits[0, 0] = -1  # the split holds no entity
    return splits


def little_endian_frame():
    frame = (ctypes.c_float * 3 * 2)()
    assert memoryview(frame).format == "<f"  # an explicit byte order, native here
    return frame


def truth_message(value):
    try:
        bool(value)
    except ValueError as error:
        return str(error)


# ---------------------------------------------------------------------------
# Binding


@pytest.mark.parametrize(
    "count, keywords",
    [
        (REQUIRED_COUNT, ()),  # the last three take their defaults
        (0, ARGUMENT_NAMES),
        (19, ("nearest_exponent",)),
    ],
    ids=["twenty-positional", "all-keywords", "nineteen-and-a-keyword"],
)
def test_valid_calls_bind(execute, make_arguments, count, keywords):
    arguments = make_arguments()
    values, given = positional(arguments, count), {name: arguments[name] for name in keywords}
    assert (execute(*values, **given) if given else execute(*values)) is None


def keyword_names(first, missing=None):
    """The argument names from position ``first`` on, but ``missing``."""
    return tuple(name for name in ARGUMENT_NAMES[first:] if name != missing)


def multiple(keyword):
    return "execute() got multiple values for keyword argument '{}'".format(keyword)


def unexpected(keyword):
    return "execute() got an unexpected keyword argument '{}'".format(keyword)


# (positional count, names given by keyword with their valid values, further
# keywords or None for no keyword dict at all, message). Positional counts
# beyond 23 add zeros.
BINDING_REFUSALS = [
    # too few positional arguments
    (0, (), None, count_message("at least", 0)),
    (1, (), None, count_message("at least", 1)),
    (19, (), None, count_message("at least", 19)),
    (4, (), {}, count_message("at least", 4)),  # an empty keyword dict counts as none
    (3, (), {"bogus": 1}, count_message("at least", 3)),  # reported before the unknown keyword
    # too many, with and without a keyword
    *[(count, (), extra, count_message("at most", count)) for count in (24, 30) for extra in ({}, {"dim_group_id": 1})],
    # a required argument missing among keywords: the count is the position of the first missing one
    (2, keyword_names(2, "date_col_index"), {}, count_message("at least", 2)),
    (0, keyword_names(0, "result_frame"), {}, count_message("at least", 0)),
    (0, keyword_names(0, "nearest_exponent"), {}, count_message("at least", 19)),
    (5, keyword_names(5, "column_name_map"), {}, count_message("at least", 18)),
    (19, keyword_names(19, "nearest_exponent"), {}, count_message("at least", 19)),
    # a keyword repeating a positional argument
    *[(count, (keyword,), {}, multiple(keyword)) for count, keyword in
      [(20, "result_frame"), (20, "nearest_exponent"), (23, "dim_group_id"), (23, "is_no_dim_col"), (21, "c_num_threads")]],
    # an unexpected keyword; with count 0 every argument is a keyword as well
    *[(count, keyword_names(count), {keyword: 1}, unexpected(keyword)) for count, keyword in
      [(20, "bogus"), (20, "resultframe"), (20, "Result_frame"), (20, "num_threads"), (0, "extra")]],
    (20, (), {1: 2}, "execute() keywords must be strings"),
]


@pytest.mark.parametrize("count, by_keyword, extra, message", BINDING_REFUSALS)
def test_binding_refused(execute, make_arguments, count, by_keyword, extra, message):
    arguments = make_arguments()
    values = positional(arguments, count) + [0] * (count - 23)
    with pytest.raises(TypeError) as info:
        if extra is None:
            execute(*values)
        else:
            execute(*values, **{**{name: arguments[name] for name in by_keyword}, **extra})
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Refused values: (argument, value, exception, its whole message)

ARRAY_ARGUMENTS = ["result_frame", "splits", "trx_dates", "trx_q_arrays", "trx_d_arrays", "target_dates"]
INT32_ARGUMENTS = [
    "c_num_threads",
    "date_col_index",
    "d_index",
    "q_index",
    "offset",
    "resolution",
    "nearest_exponent",
    "dim_group_id",
]
BOOLEAN_ARGUMENTS = ["for_afe_columns", "is_no_dim_col"]
LIST_ARGUMENTS = ["horizons", "included_operators", "included_operator_set_one", "included_operator_set_two"]
MAP_ARGUMENTS = ["index_map", "entity_index_map", "column_name_map"]


def mismatch(expected, found):
    return "Buffer dtype mismatch, expected '{}' but got {}".format(expected, found)


def axes(expected, got):
    return "Buffer has wrong number of dimensions (expected {}, got {})".format(expected, got)


BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"
TOO_LARGE = "value too large to convert to {}"

FLOAT_MISMATCHES = [
    (np.float64, "'double'"),
    (np.longdouble, "'long double'"),
    (np.float16, "'half'"),
    (np.int32, "'int'"),
    (np.uint32, "'unsigned int'"),
    (np.int8, "'signed char'"),
    (np.uint8, "'unsigned char'"),
    (np.int16, "'short'"),
    (np.uint16, "'unsigned short'"),
    (np.int64, "'long'"),
    (np.uint64, "'unsigned long'"),
    (np.bool_, "'bool'"),
    (np.complex64, "'complex float'"),
    (np.complex128, "'complex double'"),
    (np.dtype([("a", np.float32)]), "a struct"),
]

ARRAY_REFUSALS = [
    # wrong number of axes
    ("result_frame", np.zeros(1, np.float32), ValueError, axes(2, 1)),
    ("result_frame", np.zeros((1, 1, 1), np.float32), ValueError, axes(2, 3)),
    ("result_frame", np.zeros((), np.float32), ValueError, axes(2, 0)),
    ("splits", np.zeros(1, np.int32), ValueError, axes(2, 1)),
    ("trx_dates", np.zeros((1, 1, 1), np.int64), ValueError, axes(2, 3)),
    ("trx_q_arrays", np.zeros(1, np.float32), ValueError, axes(2, 1)),
    ("trx_d_arrays", np.zeros(1, np.int8), ValueError, axes(2, 1)),
    ("target_dates", np.zeros((1, 1), np.int64), ValueError, axes(1, 2)),
    # dtype mismatches, of the two float arrays against every other dtype
    *[(name, np.zeros((2, 2), dtype=dtype), ValueError, mismatch(expected, found))
      for name, expected in [("result_frame", "float"), ("trx_q_arrays", "float32_t")]
      for dtype, found in FLOAT_MISMATCHES],
    ("splits", np.zeros((1, 1), np.int64), ValueError, mismatch("int", "'long'")),
    ("splits", np.zeros((1, 1), np.uint32), ValueError, mismatch("int", "'unsigned int'")),
    ("splits", np.zeros((1, 1), np.float32), ValueError, mismatch("int", "'float'")),
    ("splits", np.zeros((1, 1), np.int16), ValueError, mismatch("int", "'short'")),
    ("trx_dates", np.zeros((1, 1), np.int32), ValueError, mismatch("int64_t", "'int'")),
    ("trx_dates", np.zeros((1, 1), np.uint64), ValueError, mismatch("int64_t", "'unsigned long'")),
    ("trx_dates", np.zeros((1, 1), np.float64), ValueError, mismatch("int64_t", "'double'")),
    ("trx_d_arrays", np.zeros((1, 1), np.uint8), ValueError, mismatch("int8_t", "'unsigned char'")),
    ("trx_d_arrays", np.zeros((1, 1), np.bool_), ValueError, mismatch("int8_t", "'bool'")),
    ("trx_d_arrays", np.zeros((1, 1), np.int16), ValueError, mismatch("int8_t", "'short'")),
    ("target_dates", np.zeros(1, np.int32), ValueError, mismatch("int64_t", "'int'")),
    ("target_dates", np.zeros(1, np.float64), ValueError, mismatch("int64_t", "'double'")),
    # ... and memoryviews of other struct formats
    ("trx_d_arrays", view("c", (1, 1)), ValueError, mismatch("int8_t", "'char'")),
    ("trx_dates", view("Q", (1, 1)), ValueError, mismatch("int64_t", "'unsigned long long'")),
    ("splits", view("L", (1, 1)), ValueError, mismatch("int", "'unsigned long'")),
    ("result_frame", view("?", (1, 1)), ValueError, mismatch("float", "'bool'")),
    # big-endian buffers
    ("result_frame", np.zeros((2, 3), dtype=">f4"), ValueError, BIG_ENDIAN),
    ("trx_q_arrays", np.zeros((1, 1), dtype=">f4"), ValueError, BIG_ENDIAN),
    ("trx_dates", np.zeros((1, 1), dtype=">i8"), ValueError, BIG_ENDIAN),
    ("splits", np.zeros((1, 1), dtype=">i4"), ValueError, BIG_ENDIAN),
    ("target_dates", np.zeros(1, dtype=">i8"), ValueError, BIG_ENDIAN),
    ("result_frame", (ctypes.c_float.__ctype_be__ * 3 * 2)(), ValueError, BIG_ENDIAN),
    # read-only arrays, with NumPy's own error
    *[(name, read_only(valid_arguments()[name]), ValueError, "buffer source array is read-only")
      for name in ARRAY_ARGUMENTS],
    # objects without a writable buffer
    ("result_frame", bytes(24), BufferError, "Object is not writable."),
    ("result_frame", 5, TypeError, "a bytes-like object is required, not 'int'"),
    ("result_frame", [[0.0]], TypeError, "a bytes-like object is required, not 'list'"),
    ("result_frame", "text", TypeError, "a bytes-like object is required, not 'str'"),
]

INT32_REFUSALS = [
    ("4", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    ([1], TypeError, "an integer is required"),
    (IntLike("7"), TypeError, "__int__ returned non-int (type str)"),
    (IntLike(7.0), TypeError, "__int__ returned non-int (type float)"),
    (2**31, OverflowError, TOO_LARGE.format("int")),
    (-(2**31) - 1, OverflowError, TOO_LARGE.format("int")),
    (2**100, OverflowError, TOO_LARGE.format("int")),
    (-(2**100), OverflowError, TOO_LARGE.format("int")),
    (2.0**31, OverflowError, TOO_LARGE.format("int")),
    (IntLike(2**31), OverflowError, TOO_LARGE.format("int")),
]

LIST_REFUSALS = [
    (5, TypeError, "'int' object is not iterable"),
    (None, TypeError, "'NoneType' object is not iterable"),
    ([1, "2"], TypeError, "an integer is required"),
    ((1, None), TypeError, "an integer is required"),
    ((IntLike("x"),), TypeError, "__int__ returned non-int (type str)"),
    ([2**31], OverflowError, TOO_LARGE.format("int")),
    (np.array([2**40]), OverflowError, TOO_LARGE.format("int")),
]

NOT_A_DICT = [
    (collections.OrderedDict(), "collections.OrderedDict"),
    (collections.defaultdict(int), "collections.defaultdict"),
    (MyDict(), "MyDict"),
    ([], "list"),
    ([(1, 1)], "list"),
    (0, "int"),
    ("abc", "str"),
]

MAP_ENTRY_REFUSALS = [
    ("index_map", {1: 32768}, OverflowError, TOO_LARGE.format("short")),
    ("index_map", {32768: 1}, OverflowError, TOO_LARGE.format("short")),
    ("index_map", {1: -32769}, OverflowError, TOO_LARGE.format("short")),
    ("index_map", {-32769: 1}, OverflowError, TOO_LARGE.format("short")),
    ("index_map", {1: 2**40}, OverflowError, TOO_LARGE.format("short")),
    ("index_map", {"1": 1}, TypeError, "an integer is required"),
    ("index_map", {1: "1"}, TypeError, "an integer is required"),
    ("index_map", {1: IntLike(b"")}, TypeError, "__int__ returned non-int (type bytes)"),
    ("column_name_map", {2**63: 0}, OverflowError, TOO_LARGE.format("int64_t")),
    ("column_name_map", {-(2**63) - 1: 0}, OverflowError, TOO_LARGE.format("int64_t")),
    ("column_name_map", {1: 2**31}, OverflowError, TOO_LARGE.format("int")),
    ("column_name_map", {1: None}, TypeError, "an integer is required"),
    ("column_name_map", {(1,): 0}, TypeError, "an integer is required"),
    ("entity_index_map", {2**31: None}, OverflowError, TOO_LARGE.format("int")),
    ("entity_index_map", {"0": None}, TypeError, "an integer is required"),
    ("entity_index_map", {0: np.zeros(2, dtype=np.int64)}, ValueError, mismatch("int32_t", "'long'")),
    ("entity_index_map", {0: np.zeros(2, dtype=np.uint32)}, ValueError, mismatch("int32_t", "'unsigned int'")),
    ("entity_index_map", {0: np.zeros((2, 1), dtype=np.int32)}, ValueError, axes(1, 2)),
    ("entity_index_map", {0: np.zeros(2, dtype=">i4")}, ValueError, BIG_ENDIAN),
    ("entity_index_map", {0: [1, 2]}, TypeError, "a bytes-like object is required, not 'list'"),
    ("entity_index_map", {0: read_only(np.zeros(2, dtype=np.int32))}, ValueError, "buffer source array is read-only"),
]

REFUSALS = [
    *ARRAY_REFUSALS,
    *[(name, value, error, message) for name in INT32_ARGUMENTS for value, error, message in INT32_REFUSALS],
    # an exception raised by the argument's own code propagates as it is
    ("offset", RaisingInt(), KeyError, "'from __int__'"),
    *[(name, value, error, message) for name in BOOLEAN_ARGUMENTS for value, error, message in [
        (NotTruthy("no truth"), ZeroDivisionError, "no truth"),
        (np.array([1, 2]), ValueError, truth_message(np.array([1, 2]))),
    ]],
    *[(name, value, error, message) for name in LIST_ARGUMENTS for value, error, message in LIST_REFUSALS],
    ("horizons", StopsMidway(), LookupError, "stopped"),
    # a map must be exactly a dict
    *[(name, value, TypeError, "Expected dict, got " + type_name) for name in MAP_ARGUMENTS
      for value, type_name in NOT_A_DICT],
    *[(name, None, AttributeError, "'NoneType' object has no attribute 'iteritems'") for name in MAP_ARGUMENTS],
    *MAP_ENTRY_REFUSALS,
]


@pytest.mark.parametrize("name, value, exception, message", REFUSALS)
def test_refused_value(execute, make_arguments, name, value, exception, message):
    with pytest.raises(exception) as info:
        execute(**make_arguments(**{name: value}))
    assert type(info.value) is exception
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Accepted values: each set of changes to the valid call goes through

def each(names, values, **with_them):
    return [dict({name: value}, **with_them) for name in names for value in values]


ACCEPTED = [
    # memoryviews of the right struct format, and an explicit little-endian one
    {"trx_dates": view("q", (1, 1))},
    {"trx_dates": view("l", (1, 1))},
    {"target_dates": view("q", (1,))},
    {"splits": splits_view()},
    {"trx_d_arrays": view("b", (1, 1))},
    {"result_frame": view("f", (2, 3))},
    {"trx_q_arrays": view("f", (1, 1))},
    {"result_frame": little_endian_frame()},
    # strided views
    {"trx_q_arrays": np.zeros((3, 2), dtype=np.float32).T},
    {"trx_q_arrays": np.zeros((4, 4), dtype=np.float32)[::-2, 1::2]},
    {"result_frame": np.full((3, 4), SENTINEL, dtype=np.float32).T},
    {"trx_dates": np.zeros((2, 6), dtype=np.int64)[:, ::3]},
    {"target_dates": np.zeros(6, dtype=np.int64)[::-2]},
    {"splits": np.full((4, 4), -1, dtype=np.int32)[::2, ::-2]},
    # None is an empty view; with no split to run, nothing reads it
    *each(ARRAY_ARGUMENTS, [None], splits=None),
    # ... and the transaction arrays may be None where no entity has transactions to read
    dict(splits=np.array([[0, -1]], dtype=np.int32), entity_index_map={0: None},
         trx_dates=None, trx_q_arrays=None, trx_d_arrays=None),
    # integers: the int32 range, floats truncated, NumPy scalars, __int__
    *each(INT32_ARGUMENTS, [2**31 - 1, -(2**31), 4.7, -4.7, True, np.int64(3), np.float32(2.5), IntLike(5), IntLike(True)]),
    # booleans: any object's truth
    *each(BOOLEAN_ARGUMENTS, [0, 1, "", "x", [], [0], None, 0.0, np.float32(1)]),
    # lists: any iterable of integers (a split needs a horizon: without split rows none runs)
    *each(LIST_ARGUMENTS, [[7, 30, 7], (7, 30, 7), np.array([7, 30, 7]), range(3), b"\x01\x02", {7: "x"},
                           [IntLike(5), 2.9, np.int8(1)]]),
    *each(LIST_ARGUMENTS[1:], [[]]),
    {"horizons": [], "splits": np.empty((0, 2), dtype=np.int32)},
    # maps: the ends of each native range, keys converted through __int__, a native key twice, empty maps
    {"index_map": {1: -32768, -32768: 32767, IntLike(3): 2.5}},
    {"index_map": {1: 5, IntLike(1): 6}},
    {"column_name_map": {2**63 - 1: 0, -(2**63): 2**31 - 1, 5.5: 1}},
    {"entity_index_map": {0: None, 1: np.zeros(3, dtype=np.int32)[::-1], IntLike(2): np.zeros(0, dtype=np.int32)}},
    *each(MAP_ARGUMENTS, [{}]),
]


@pytest.mark.parametrize("changes", ACCEPTED, ids=lambda changes: "+".join(changes))
def test_accepted_values(execute, make_arguments, unraisable, changes):
    assert execute(**make_arguments(**changes)) is None
    assert unraisable == []


# ---------------------------------------------------------------------------
# Iterables and dicts that change while converted; splits without rows


def test_generator_is_consumed_once(execute, make_arguments):
    produced = []

    def generate():
        for value in (30, 7):
            produced.append(value)
            yield value

    assert execute(**make_arguments(horizons=generate())) is None
    assert produced == [30, 7]


def test_list_shrinking_while_converted_is_read_safely(execute, make_arguments):
    horizons = [1, 2, 3, 4]

    class Shrinks:
        def __int__(self):
            del horizons[1:]
            return 7

    horizons[0] = Shrinks()
    assert execute(**make_arguments(horizons=horizons)) is None
    assert len(horizons) == 1


class GrowsDict:
    """A key whose conversion adds an entry to the dict being walked."""

    def __init__(self, target, value):
        self.target = target
        self.value = value

    def __hash__(self):
        return hash(self.value)

    def __eq__(self, other):
        return self is other

    def __int__(self):
        self.target[object()] = 0
        return self.value


class ShrinksDict(GrowsDict):
    def __int__(self):
        for key in list(self.target):
            if key is not self:
                del self.target[key]
                break
        return self.value


@pytest.mark.parametrize("mutation", [GrowsDict, ShrinksDict])
@pytest.mark.parametrize("position", ["first", "last"])
@pytest.mark.parametrize("name", MAP_ARGUMENTS)
def test_dict_changed_size_during_conversion(execute, make_arguments, name, mutation, position):
    target = {}
    value = None if name == "entity_index_map" else 1
    if position == "last":
        target[5] = value
    target[mutation(target, 1)] = value
    if position == "first":
        target[6] = value
    with pytest.raises(RuntimeError) as info:
        execute(**make_arguments(**{name: target}))
    assert str(info.value) == "dictionary changed size during iteration"


@pytest.mark.parametrize("splits", [np.zeros((0, 3), dtype=np.int32), None], ids=["zero-rows", "none"])
def test_splits_without_rows_process_nothing(dfbh, execute, make_arguments, unraisable, monkeypatch, splits):
    # Any split run would ask `np` for its aggregate buffer.
    monkeypatch.delattr(dfbh, "np")
    arguments = make_arguments(splits=splits)
    assert execute(**arguments) is None
    assert (arguments["result_frame"] == SENTINEL).all()
    assert unraisable == []


# ---------------------------------------------------------------------------
# Conversion order and the result frame

BAD_VALUES = collections.OrderedDict(
    [
        ("result_frame", (np.zeros((2, 3)), "Buffer dtype mismatch, expected 'float' but got 'double'")),
        ("c_num_threads", ("x", "an integer is required")),
        ("date_col_index", (2**31, "value too large to convert to int")),
        ("d_index", (IntLike("d"), "__int__ returned non-int (type str)")),
        ("q_index", (IntLike([]), "__int__ returned non-int (type list)")),
        ("splits", (np.zeros(2, dtype=np.int32), "Buffer has wrong number of dimensions (expected 2, got 1)")),
        ("horizons", (5, "'int' object is not iterable")),
        ("offset", (IntLike(()), "__int__ returned non-int (type tuple)")),
        ("resolution", (-(2**31) - 1, "value too large to convert to int")),
        ("index_map", ({1: 2**15}, "value too large to convert to short")),
        ("trx_dates", (np.zeros((1, 1), dtype=np.int32), "Buffer dtype mismatch, expected 'int64_t' but got 'int'")),
        ("trx_q_arrays", (np.zeros((1, 1)), "Buffer dtype mismatch, expected 'float32_t' but got 'double'")),
        ("trx_d_arrays", (np.zeros((1, 1), dtype=np.uint8), "Buffer dtype mismatch, expected 'int8_t' but got 'unsigned char'")),
        ("entity_index_map", (MyDict(), "Expected dict, got MyDict")),
        ("target_dates", (np.zeros(1, dtype=">i8"), "Big-endian buffer not supported on little-endian compiler")),
        ("included_operators", (None, "'NoneType' object is not iterable")),
        ("included_operator_set_one", ([IntLike(1.5)], "__int__ returned non-int (type float)")),
        ("included_operator_set_two", (["op"], "an integer is required")),
        ("column_name_map", ({2**64: 0}, "value too large to convert to int64_t")),
        ("nearest_exponent", (IntLike(b"x"), "__int__ returned non-int (type bytes)")),
        ("dim_group_id", (2**32, "value too large to convert to int")),
        ("for_afe_columns", (NotTruthy("for_afe_columns truth"), "for_afe_columns truth")),
        ("is_no_dim_col", (NotTruthy("is_no_dim_col truth"), "is_no_dim_col truth")),
    ]
)


def test_bad_value_table_covers_every_argument():
    assert tuple(BAD_VALUES) == ARGUMENT_NAMES


@pytest.mark.parametrize("first_bad", range(len(ARGUMENT_NAMES)))
def test_arguments_are_converted_in_order(execute, make_arguments, first_bad, unraisable):
    """Every argument from `first_bad` on is bad; the first of them is
    reported, and nothing has been written or reported otherwise."""
    overrides = {name: BAD_VALUES[name][0] for name in ARGUMENT_NAMES[first_bad:]}
    arguments = make_arguments(**overrides)
    with pytest.raises(Exception) as info:
        execute(*positional(arguments))
    assert str(info.value) == BAD_VALUES[ARGUMENT_NAMES[first_bad]][1]
    if first_bad > 0:
        assert (arguments["result_frame"] == SENTINEL).all()
    assert unraisable == []


@pytest.mark.parametrize(
    "name, low, high, target",
    [
        ("offset", -(2**31), 2**31 - 1, "int"),
        ("index_map", -(2**15), 2**15 - 1, "short"),
        ("column_name_map", -(2**63), 2**63 - 1, "int64_t"),
    ],
)
@settings(max_examples=60, deadline=None)
@given(value=st.one_of(st.integers(), st.integers(-(2**64), 2**64), st.sampled_from([2**15, 2**31, 2**63])))
def test_integer_range_is_exact(dfbh, name, low, high, target, value):
    execute = dfbh.execute
    wrapped = {"offset": lambda v: v, "index_map": lambda v: {1: v}, "column_name_map": lambda v: {v: 0}}[name]
    arguments = valid_arguments(**{name: wrapped(value)})
    if low <= value <= high:
        assert execute(**arguments) is None
    else:
        with pytest.raises(OverflowError) as info:
            execute(**arguments)
        assert str(info.value) == "value too large to convert to {}".format(target)
