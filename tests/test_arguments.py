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


class NotTruthy:
    def __init__(self, message):
        self.message = message

    def __bool__(self):
        raise ZeroDivisionError(self.message)


class MyDict(dict):
    pass


def read_only(array):
    array.flags.writeable = False
    return array


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


@pytest.mark.parametrize(
    "count, keywords",
    [
        (0, None),
        (1, None),
        (19, None),
        (4, {}),  # an empty keyword dict counts as none
        (3, {"bogus": 1}),  # the missing argument is reported before the unknown keyword
    ],
)
def test_too_few_positional_arguments(execute, make_arguments, count, keywords):
    values = positional(make_arguments(), count)
    with pytest.raises(TypeError) as info:
        if keywords is None:
            execute(*values)
        else:
            execute(*values, **keywords)
    assert str(info.value) == count_message("at least", count)


@pytest.mark.parametrize("extra_keyword", [False, True])
@pytest.mark.parametrize("count", [24, 30])
def test_too_many_positional_arguments(execute, make_arguments, count, extra_keyword):
    values = positional(make_arguments()) + [0] * (count - 23)
    keywords = {"dim_group_id": 1} if extra_keyword else {}
    with pytest.raises(TypeError) as info:
        execute(*values, **keywords)
    assert str(info.value) == count_message("at most", count)


@pytest.mark.parametrize(
    "positional_count, missing, given",
    [
        (2, "date_col_index", 2),  # position of the first missing argument
        (0, "result_frame", 0),
        (0, "nearest_exponent", 19),
        (5, "column_name_map", 18),
        (19, "nearest_exponent", 19),
    ],
)
def test_missing_required_argument_with_keywords(execute, make_arguments, positional_count, missing, given):
    arguments = make_arguments()
    values = positional(arguments, positional_count)
    keywords = {name: value for name, value in list(arguments.items())[positional_count:] if name != missing}
    with pytest.raises(TypeError) as info:
        execute(*values, **keywords)
    assert str(info.value) == count_message("at least", given)


@pytest.mark.parametrize(
    "count, keyword",
    [(20, "result_frame"), (20, "nearest_exponent"), (23, "dim_group_id"), (23, "is_no_dim_col"), (21, "c_num_threads")],
)
def test_keyword_repeating_a_positional_argument(execute, make_arguments, count, keyword):
    arguments = make_arguments()
    with pytest.raises(TypeError) as info:
        execute(*positional(arguments, count), **{keyword: arguments[keyword]})
    assert str(info.value) == "execute() got multiple values for keyword argument '{}'".format(keyword)


@pytest.mark.parametrize(
    "count, keyword",
    [(20, "bogus"), (20, "resultframe"), (20, "Result_frame"), (20, "num_threads"), (0, "extra")],
)
def test_unexpected_keyword(execute, make_arguments, count, keyword):
    # with count 0 every argument is a keyword as well
    arguments = make_arguments()
    keywords = dict(list(arguments.items())[count:], **{keyword: 1})
    with pytest.raises(TypeError) as info:
        execute(*positional(arguments, count), **keywords)
    assert str(info.value) == "execute() got an unexpected keyword argument '{}'".format(keyword)


def test_non_string_keyword(execute, make_arguments):
    with pytest.raises(TypeError) as info:
        execute(*positional(make_arguments(), 20), **{1: 2})
    assert str(info.value) == "execute() keywords must be strings"


# ---------------------------------------------------------------------------
# Arrays

FLOAT_ARRAY_ARGUMENTS = [("result_frame", "float"), ("trx_q_arrays", "float32_t")]


@pytest.mark.parametrize(
    "name, expected, ndim",
    [
        ("result_frame", 2, 1),
        ("result_frame", 2, 3),
        ("result_frame", 2, 0),
        ("splits", 2, 1),
        ("trx_dates", 2, 3),
        ("trx_q_arrays", 2, 1),
        ("trx_d_arrays", 2, 1),
        ("target_dates", 1, 2),
    ],
)
def test_array_with_wrong_number_of_axes(execute, make_arguments, name, expected, ndim):
    arguments = make_arguments()
    dtype = arguments[name].dtype
    arguments[name] = np.zeros((1,) * ndim, dtype=dtype)
    with pytest.raises(ValueError) as info:
        execute(**arguments)
    assert str(info.value) == "Buffer has wrong number of dimensions (expected {}, got {})".format(expected, ndim)


@pytest.mark.parametrize(
    "dtype, found",
    [
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
    ],
)
@pytest.mark.parametrize("name, expected", FLOAT_ARRAY_ARGUMENTS)
def test_float_array_dtype_mismatch(execute, make_arguments, name, expected, dtype, found):
    arguments = make_arguments(**{name: np.zeros((2, 2), dtype=dtype)})
    with pytest.raises(ValueError) as info:
        execute(**arguments)
    assert str(info.value) == "Buffer dtype mismatch, expected '{}' but got {}".format(expected, found)


@pytest.mark.parametrize(
    "name, shape, expected, dtype, found",
    [
        ("splits", (1, 1), "int", np.int64, "'long'"),
        ("splits", (1, 1), "int", np.uint32, "'unsigned int'"),
        ("splits", (1, 1), "int", np.float32, "'float'"),
        ("splits", (1, 1), "int", np.int16, "'short'"),
        ("trx_dates", (1, 1), "int64_t", np.int32, "'int'"),
        ("trx_dates", (1, 1), "int64_t", np.uint64, "'unsigned long'"),
        ("trx_dates", (1, 1), "int64_t", np.float64, "'double'"),
        ("trx_d_arrays", (1, 1), "int8_t", np.uint8, "'unsigned char'"),
        ("trx_d_arrays", (1, 1), "int8_t", np.bool_, "'bool'"),
        ("trx_d_arrays", (1, 1), "int8_t", np.int16, "'short'"),
        ("target_dates", (1,), "int64_t", np.int32, "'int'"),
        ("target_dates", (1,), "int64_t", np.float64, "'double'"),
    ],
)
def test_integer_array_dtype_mismatch(execute, make_arguments, name, shape, expected, dtype, found):
    arguments = make_arguments(**{name: np.zeros(shape, dtype=dtype)})
    with pytest.raises(ValueError) as info:
        execute(**arguments)
    assert str(info.value) == "Buffer dtype mismatch, expected '{}' but got {}".format(expected, found)


@pytest.mark.parametrize(
    "name, cast_format, shape, found",
    [
        ("trx_d_arrays", "c", (1, 1), "'char'"),
        ("trx_dates", "Q", (1, 1), "'unsigned long long'"),
        ("splits", "L", (1, 1), "'unsigned long'"),
        ("result_frame", "?", (1, 1), "'bool'"),
    ],
)
def test_dtype_mismatch_of_memoryview_formats(execute, make_arguments, name, cast_format, shape, found):
    expected = {"trx_d_arrays": "int8_t", "trx_dates": "int64_t", "splits": "int", "result_frame": "float"}[name]
    size = int(np.prod(shape)) * memoryview(bytes(8)).cast("B").cast(cast_format).itemsize
    view = memoryview(bytearray(size)).cast(cast_format, shape)
    with pytest.raises(ValueError) as info:
        execute(**make_arguments(**{name: view}))
    assert str(info.value) == "Buffer dtype mismatch, expected '{}' but got {}".format(expected, found)


@pytest.mark.parametrize(
    "name, cast_format, shape",
    [
        ("trx_dates", "q", (1, 1)),
        ("trx_dates", "l", (1, 1)),
        ("target_dates", "q", (1,)),
        ("splits", "i", (1, 2)),
        ("trx_d_arrays", "b", (1, 1)),
        ("result_frame", "f", (2, 3)),
        ("trx_q_arrays", "f", (1, 1)),
    ],
)
def test_memoryview_of_the_right_format_is_accepted(execute, make_arguments, name, cast_format, shape):
    itemsize = memoryview(bytes(8)).cast("B").cast(cast_format).itemsize
    data = bytearray(int(np.prod(shape)) * itemsize)
    view = memoryview(data).cast(cast_format, shape)
    if name == "splits":
        view[0, 0] = -1
    assert execute(**make_arguments(**{name: view})) is None


def test_explicit_little_endian_format_is_native_here(execute, make_arguments):
    frame = (ctypes.c_float * 3 * 2)()
    assert memoryview(frame).format == "<f"
    assert execute(**make_arguments(result_frame=frame)) is None


@pytest.mark.parametrize(
    "name, array",
    [
        ("result_frame", np.zeros((2, 3), dtype=">f4")),
        ("trx_q_arrays", np.zeros((1, 1), dtype=">f4")),
        ("trx_dates", np.zeros((1, 1), dtype=">i8")),
        ("splits", np.zeros((1, 1), dtype=">i4")),
        ("target_dates", np.zeros(1, dtype=">i8")),
        ("result_frame", (ctypes.c_float.__ctype_be__ * 3 * 2)()),
    ],
)
def test_big_endian_buffer(execute, make_arguments, name, array):
    with pytest.raises(ValueError) as info:
        execute(**make_arguments(**{name: array}))
    assert str(info.value) == "Big-endian buffer not supported on little-endian compiler"


@pytest.mark.parametrize("name", ["result_frame", "splits", "trx_dates", "trx_q_arrays", "trx_d_arrays", "target_dates"])
def test_read_only_array_is_refused_with_numpys_error(execute, make_arguments, name):
    arguments = make_arguments()
    arguments[name].flags.writeable = False
    with pytest.raises(ValueError) as info:
        execute(**arguments)
    assert str(info.value) == "buffer source array is read-only"


@pytest.mark.parametrize(
    "value, exception, message",
    [
        (bytes(24), BufferError, "Object is not writable."),
        (5, TypeError, "a bytes-like object is required, not 'int'"),
        ([[0.0]], TypeError, "a bytes-like object is required, not 'list'"),
        ("text", TypeError, "a bytes-like object is required, not 'str'"),
    ],
)
def test_object_without_writable_buffer(execute, make_arguments, value, exception, message):
    with pytest.raises(exception) as info:
        execute(**make_arguments(result_frame=value))
    assert str(info.value) == message


@pytest.mark.parametrize(
    "name, view",
    [
        ("trx_q_arrays", np.zeros((3, 2), dtype=np.float32).T),
        ("trx_q_arrays", np.zeros((4, 4), dtype=np.float32)[::-2, 1::2]),
        ("result_frame", np.full((3, 4), SENTINEL, dtype=np.float32).T),
        ("trx_dates", np.zeros((2, 6), dtype=np.int64)[:, ::3]),
        ("target_dates", np.zeros(6, dtype=np.int64)[::-2]),
        ("splits", np.full((4, 4), -1, dtype=np.int32)[::2, ::-2]),
    ],
)
def test_strided_views_are_accepted(execute, make_arguments, name, view):
    assert execute(**make_arguments(**{name: view})) is None


@pytest.mark.parametrize("name", ["splits", "trx_dates", "trx_q_arrays", "trx_d_arrays", "target_dates", "result_frame"])
def test_none_array_gives_an_empty_view(execute, make_arguments, name):
    # With no split to run, nothing reads the empty view.
    assert execute(**make_arguments(**dict({"splits": None}, **{name: None}))) is None


@pytest.mark.parametrize("splits", [np.zeros((0, 3), dtype=np.int32), None], ids=["zero-rows", "none"])
def test_splits_without_rows_process_nothing(dfbh, execute, make_arguments, unraisable, monkeypatch, splits):
    # Any split run would ask `np` for its aggregate buffer.
    monkeypatch.delattr(dfbh, "np")
    arguments = make_arguments(splits=splits)
    assert execute(**arguments) is None
    assert (arguments["result_frame"] == SENTINEL).all()
    assert unraisable == []


# ---------------------------------------------------------------------------
# Integers and booleans

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


@pytest.mark.parametrize("name", INT32_ARGUMENTS)
@pytest.mark.parametrize(
    "value, exception, message",
    [
        ("4", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        ([1], TypeError, "an integer is required"),
        (IntLike("7"), TypeError, "__int__ returned non-int (type str)"),
        (IntLike(7.0), TypeError, "__int__ returned non-int (type float)"),
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (2**100, OverflowError, "value too large to convert to int"),
        (-(2**100), OverflowError, "value too large to convert to int"),
        (2.0**31, OverflowError, "value too large to convert to int"),
        (IntLike(2**31), OverflowError, "value too large to convert to int"),
    ],
)
def test_int32_argument_refused(execute, make_arguments, name, value, exception, message):
    with pytest.raises(exception) as info:
        execute(**make_arguments(**{name: value}))
    assert str(info.value) == message


def test_int_raised_in_dunder_int_propagates(execute, make_arguments):
    class Broken:
        def __int__(self):
            raise KeyError("from __int__")

    with pytest.raises(KeyError, match="from __int__"):
        execute(**make_arguments(offset=Broken()))


@pytest.mark.parametrize("name", INT32_ARGUMENTS)
@pytest.mark.parametrize(
    "value",
    [2**31 - 1, -(2**31), 4.7, -4.7, True, np.int64(3), np.float32(2.5), IntLike(5), IntLike(True)],
)
def test_int32_argument_accepted(execute, make_arguments, name, value):
    assert execute(**make_arguments(**{name: value})) is None


@pytest.mark.parametrize("name", ["for_afe_columns", "is_no_dim_col"])
@pytest.mark.parametrize("value", [0, 1, "", "x", [], [0], None, 0.0, np.float32(1)])
def test_boolean_argument_accepts_any_object(execute, make_arguments, name, value):
    assert execute(**make_arguments(**{name: value})) is None


@pytest.mark.parametrize("name", ["for_afe_columns", "is_no_dim_col"])
def test_boolean_argument_truth_test_error_propagates(execute, make_arguments, name):
    with pytest.raises(ZeroDivisionError) as info:
        execute(**make_arguments(**{name: NotTruthy("no truth")}))
    assert str(info.value) == "no truth"
    with pytest.raises(ValueError):
        execute(**make_arguments(**{name: np.array([1, 2])}))


# ---------------------------------------------------------------------------
# Lists

LIST_ARGUMENTS = ["horizons", "included_operators", "included_operator_set_one", "included_operator_set_two"]


@pytest.mark.parametrize("name", LIST_ARGUMENTS)
@pytest.mark.parametrize(
    "value",
    [
        [7, 30, 7],
        (7, 30, 7),
        np.array([7, 30, 7]),
        range(3),
        b"\x01\x02",
        {7: "x"},
        [],
        [IntLike(5), 2.9, np.int8(1)],
    ],
)
def test_list_argument_accepts_any_iterable_of_integers(execute, make_arguments, name, value):
    overrides = {name: value}
    if name == "horizons" and len(value) == 0:
        # A split needs at least one horizon; without split rows none runs.
        overrides["splits"] = np.empty((0, 2), dtype=np.int32)
    assert execute(**make_arguments(**overrides)) is None


def test_generator_is_consumed_once(execute, make_arguments):
    produced = []

    def generate():
        for value in (30, 7):
            produced.append(value)
            yield value

    assert execute(**make_arguments(horizons=generate())) is None
    assert produced == [30, 7]


@pytest.mark.parametrize("name", LIST_ARGUMENTS)
@pytest.mark.parametrize(
    "value, exception, message",
    [
        (5, TypeError, "'int' object is not iterable"),
        (None, TypeError, "'NoneType' object is not iterable"),
        ([1, "2"], TypeError, "an integer is required"),
        ((1, None), TypeError, "an integer is required"),
        ((IntLike("x"),), TypeError, "__int__ returned non-int (type str)"),
        ([2**31], OverflowError, "value too large to convert to int"),
        (np.array([2**40]), OverflowError, "value too large to convert to int"),
    ],
)
def test_list_argument_refused(execute, make_arguments, name, value, exception, message):
    with pytest.raises(exception) as info:
        execute(**make_arguments(**{name: value}))
    assert str(info.value) == message


def test_iteration_error_propagates(execute, make_arguments):
    def failing():
        yield 1
        raise LookupError("stopped")

    with pytest.raises(LookupError, match="stopped"):
        execute(**make_arguments(horizons=failing()))


def test_list_shrinking_while_converted_is_read_safely(execute, make_arguments):
    horizons = [1, 2, 3, 4]

    class Shrinks:
        def __int__(self):
            del horizons[1:]
            return 7

    horizons[0] = Shrinks()
    assert execute(**make_arguments(horizons=horizons)) is None
    assert len(horizons) == 1


# ---------------------------------------------------------------------------
# Dicts

MAP_ARGUMENTS = ["index_map", "entity_index_map", "column_name_map"]


@pytest.mark.parametrize("name", MAP_ARGUMENTS)
@pytest.mark.parametrize(
    "value, type_name",
    [
        (collections.OrderedDict(), "collections.OrderedDict"),
        (collections.defaultdict(int), "collections.defaultdict"),
        (MyDict(), "MyDict"),
        ([], "list"),
        ([(1, 1)], "list"),
        (0, "int"),
        ("abc", "str"),
    ],
)
def test_map_argument_must_be_exactly_dict(execute, make_arguments, name, value, type_name):
    with pytest.raises(TypeError) as info:
        execute(**make_arguments(**{name: value}))
    assert str(info.value) == "Expected dict, got {}".format(type_name)


@pytest.mark.parametrize("name", MAP_ARGUMENTS)
def test_map_argument_none(execute, make_arguments, name):
    with pytest.raises(AttributeError) as info:
        execute(**make_arguments(**{name: None}))
    assert str(info.value) == "'NoneType' object has no attribute 'iteritems'"


@pytest.mark.parametrize(
    "name, value, exception, message",
    [
        ("index_map", {1: 32768}, OverflowError, "value too large to convert to short"),
        ("index_map", {32768: 1}, OverflowError, "value too large to convert to short"),
        ("index_map", {1: -32769}, OverflowError, "value too large to convert to short"),
        ("index_map", {-32769: 1}, OverflowError, "value too large to convert to short"),
        ("index_map", {1: 2**40}, OverflowError, "value too large to convert to short"),
        ("index_map", {"1": 1}, TypeError, "an integer is required"),
        ("index_map", {1: "1"}, TypeError, "an integer is required"),
        ("index_map", {1: IntLike(b"")}, TypeError, "__int__ returned non-int (type bytes)"),
        ("column_name_map", {2**63: 0}, OverflowError, "value too large to convert to int64_t"),
        ("column_name_map", {-(2**63) - 1: 0}, OverflowError, "value too large to convert to int64_t"),
        ("column_name_map", {1: 2**31}, OverflowError, "value too large to convert to int"),
        ("column_name_map", {1: None}, TypeError, "an integer is required"),
        ("column_name_map", {(1,): 0}, TypeError, "an integer is required"),
        ("entity_index_map", {2**31: None}, OverflowError, "value too large to convert to int"),
        ("entity_index_map", {"0": None}, TypeError, "an integer is required"),
        (
            "entity_index_map",
            {0: np.zeros(2, dtype=np.int64)},
            ValueError,
            "Buffer dtype mismatch, expected 'int32_t' but got 'long'",
        ),
        (
            "entity_index_map",
            {0: np.zeros(2, dtype=np.uint32)},
            ValueError,
            "Buffer dtype mismatch, expected 'int32_t' but got 'unsigned int'",
        ),
        (
            "entity_index_map",
            {0: np.zeros((2, 1), dtype=np.int32)},
            ValueError,
            "Buffer has wrong number of dimensions (expected 1, got 2)",
        ),
        (
            "entity_index_map",
            {0: np.zeros(2, dtype=">i4")},
            ValueError,
            "Big-endian buffer not supported on little-endian compiler",
        ),
        ("entity_index_map", {0: [1, 2]}, TypeError, "a bytes-like object is required, not 'list'"),
        ("entity_index_map", {0: read_only(np.zeros(2, dtype=np.int32))}, ValueError, "buffer source array is read-only"),
    ],
)
def test_map_entry_refused(execute, make_arguments, name, value, exception, message):
    with pytest.raises(exception) as info:
        execute(**make_arguments(**{name: value}))
    assert str(info.value) == message


@pytest.mark.parametrize(
    "name, value",
    [
        ("index_map", {1: -32768, -32768: 32767, IntLike(3): 2.5}),
        ("index_map", {1: 5, IntLike(1): 6}),  # same native key twice
        ("column_name_map", {2**63 - 1: 0, -(2**63): 2**31 - 1, 5.5: 1}),
        ("entity_index_map", {0: None, 1: np.zeros(3, dtype=np.int32)[::-1], IntLike(2): np.zeros(0, dtype=np.int32)}),
        ("index_map", {}),
        ("entity_index_map", {}),
        ("column_name_map", {}),
    ],
)
def test_map_argument_accepted(execute, make_arguments, name, value):
    assert execute(**make_arguments(**{name: value})) is None


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


# ---------------------------------------------------------------------------
# Checks after conversion (their refusals are in test_safety.py)


def test_none_arrays_that_are_never_read_are_accepted(execute, make_arguments):
    # Entity 0 of the only split has no transactions to read: the transaction arrays may be None.
    arguments = make_arguments(
        splits=np.array([[0, -1]], dtype=np.int32), entity_index_map={0: None},
        trx_dates=None, trx_q_arrays=None, trx_d_arrays=None,
    )
    assert execute(**arguments) is None
