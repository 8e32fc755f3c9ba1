"""Entity ids: one rule for every source and every path.

The rule. An id column is of one kind: ``integer``, ``float``, ``string``,
``binary``, ``object`` (Python values of several types, pandas only) or a
type of its own (booleans, dates, decimals: ``type:<name>``). Its kind is
that of its values whatever their encoding: an Arrow dictionary's or a
pandas Categorical's values, a pandas object column that holds only
integers (or only strings) is of that kind. A missing id (null, None, NaN,
NaT) is refused. Two columns compare when both are numeric (integers and
floats compare by exact value: 3 equals 3.0, 2**53 + 1 does not equal
2.0**53), when they are of the same kind, or when one is ``object`` and
neither numeric. Equal ids hash equally (``hashes``) whatever their column,
so that every partitioned path sends them to the same part.
"""

from __future__ import annotations

from typing import Optional, Tuple

import numpy as np

from ..params import INT64_MAX, INT64_MIN
from ..support import pandas
from .arrow import (first_beyond_int64, is_arrow_column, mask_missing, native_order, numpy_of, pyarrow, to_pandas,
    value_type)
from .table import InputTable

NUMERIC = ("integer", "float")


class IdColumn:
    """One table's entity id column, checked when made: no missing id."""

    def __init__(self, table: InputTable, name: str):
        self.table, self.name = table, name
        arrow = table.arrow(name)
        self.arrow = arrow
        self.kind, self.type_text = _arrow_kind(arrow.type) if arrow is not None else _pandas_kind(table.series(name))
        found = table.missing(name)
        if found is None and self.kind == "float":
            found = mask_missing(np.isnan(self.numbers()))
        table.refuse_missing(name, "entity ids", found)
        self._integers: Optional[np.ndarray] = None

    def __len__(self) -> int:
        return self.table.n_rows

    # ---- values

    def numbers(self) -> np.ndarray:
        """Numeric ids as int64, uint64 (integers beyond int64) or float64."""
        if self.arrow is not None:
            arrow = self.arrow
            if pyarrow().types.is_dictionary(arrow.type):
                arrow = arrow.cast(arrow.type.value_type)
            values = numpy_of(arrow)
        else:
            series = self.table.series(self.name)
            dtype = series.dtype
            numpy_dtype = getattr(dtype, "numpy_dtype", None)  # nullable numbers
            if numpy_dtype is not None:
                values = series.to_numpy(dtype=numpy_dtype)
            elif isinstance(dtype, np.dtype) and dtype.kind != "O":
                values = series.to_numpy()
            else:  # Categoricals and Python numbers
                values = np.asarray(series.to_numpy())
                if values.dtype.kind == "O":
                    values = _object_numbers(values, self.kind)
            values = native_order(values)
        if values.dtype.kind == "f":
            return values.astype(np.float64, copy=False)
        if values.dtype.kind == "u" and values.dtype != np.uint64:
            return values.astype(np.int64)
        return values if values.dtype in (np.int64, np.uint64) else values.astype(np.int64)

    def integers(self) -> Optional[np.ndarray]:
        """The ids as int64 when every one is an integer within int64 (floats
        too), else None. Integer columns are viewed where they can be."""
        if self._integers is None and self.kind in NUMERIC:
            values = self.numbers()
            if values.dtype == np.uint64:
                values = values.view(np.int64) if first_beyond_int64(values) < 0 else None
            elif values.dtype == np.float64:
                values = _exact_integers(values)
            self._integers = values
        return self._integers

    def hashes(self) -> np.ndarray:
        """A uint64 hash of every id, equal for ids that compare equal."""
        hash_array = pandas().util.hash_array
        if self.kind in NUMERIC:
            values = self.numbers()
            if values.dtype != np.float64:
                return hash_array(values.view(np.uint64))
            whole = integral(values)
            # integers hash as their two's complement bits, as integer ids do
            as_integer = np.where(whole, values, 0).astype(np.int64).view(np.uint64)
            if whole.all():
                return hash_array(as_integer)
            return np.where(whole, hash_array(as_integer), hash_array(values + 0.0))
        return hash_array(self.python_values())

    def python_values(self) -> np.ndarray:
        """The ids as an object array of Python values (strings, bytes, ...)."""
        if self.arrow is not None:
            return np.asarray(to_pandas(self.arrow).to_numpy(dtype=object), dtype=object)
        return np.asarray(self.table.series(self.name).to_numpy(dtype=object), dtype=object)

    def index_dtype(self):
        """The dtype of a pandas Index of these ids: the column's pandas type
        (nullable, Arrow-backed), else its values' NumPy type in native byte order."""
        source = self.table.source(self.name)
        if is_arrow_column(source):
            try:
                return value_type(source.type).to_pandas_dtype()
            except NotImplementedError:  # large_string, large_binary in older pyarrow: Python objects
                return np.dtype(object)
        dtype = source.dtype
        return dtype.newbyteorder("=") if isinstance(dtype, np.dtype) else dtype

    def pandas_values(self):
        """The ids as a pandas Series of the column's own type (Arrow data converted)."""
        return self.table.pandas_column(self.name)


# --------------------------------------------------------------------------
# the kind of a column


def _arrow_kind(arrow_type) -> Tuple[str, str]:
    types = pyarrow().types
    values = value_type(arrow_type)
    if types.is_integer(values):
        kind = "integer"
    elif types.is_floating(values):
        kind = "float"
    elif types.is_string(values) or types.is_large_string(values) or str(values) == "string_view":
        kind = "string"
    elif types.is_binary(values) or types.is_large_binary(values) or str(values) == "binary_view":
        kind = "binary"
    else:
        kind = f"type:{values}"
    return kind, str(arrow_type)


def _pandas_kind(series) -> Tuple[str, str]:
    api = pandas().api.types
    dtype = series.dtype
    values = getattr(dtype, "categories", None)
    values = dtype if values is None else values.dtype
    if api.is_bool_dtype(values):
        kind = "type:bool"
    elif api.is_integer_dtype(values):
        kind = "integer"
    elif api.is_float_dtype(values):
        kind = "float"
    elif api.is_string_dtype(values) and not api.is_object_dtype(values):
        kind = "string"
    elif api.is_object_dtype(values):
        # a Categorical's kind is its categories'
        categories = getattr(dtype, "categories", None)
        inferred = api.infer_dtype(series if categories is None else categories, skipna=True)
        kind = {"integer": "integer", "floating": "float", "mixed-integer-float": "float", "string": "string",
                "bytes": "binary"}.get(inferred, "object")
        if kind == "integer" and _object_numbers(series.dropna().to_numpy(), kind) is None:
            kind = "object"  # integers beyond 64 bits: compared as Python values
    else:
        kind = f"type:{values}"
    return kind, str(dtype)


def _object_numbers(values: np.ndarray, kind: str) -> Optional[np.ndarray]:
    """Python numbers of an object column: integers as int64, else uint64
    (None beyond 64 bits); floats, and integers among floats, as float64."""
    if kind == "float":
        return values.astype(np.float64)
    for dtype in (np.int64, np.uint64):
        try:
            return values.astype(dtype)
        except OverflowError:
            pass
    return None


def integral(values: np.ndarray) -> np.ndarray:
    """Which float64 values are integers within int64."""
    with np.errstate(invalid="ignore"):
        return (np.floor(values) == values) & (values >= float(INT64_MIN)) & (values < float(INT64_MAX))


def _exact_integers(values: np.ndarray) -> Optional[np.ndarray]:
    return values.astype(np.int64) if integral(values).all() else None
