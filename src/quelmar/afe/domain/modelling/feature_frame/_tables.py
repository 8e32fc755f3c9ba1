"""Input tables read column by column: pandas, pyarrow and polars.

Only the columns a computation needs are read, each into a NumPy form the
engine takes as it is (datetime64 of any unit or integer milliseconds,
float32 or float64 quantities, integer codes); ``_entity_ids`` numbers the
entity ids. A null-free primitive column, of pandas or pyarrow or through its
Arrow export of polars, is viewed in place, never copied; nothing converts a
whole table to pandas. Every error names the table, the column and the first
offending row.
"""

from __future__ import annotations

import math
import warnings
from fractions import Fraction
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from . import _deps, _native
from ._arrays import (
    INT64_MAX,
    INT64_MIN,
    _arrow_missing,
    _deps_loaded,
    _first_beyond_int64,
    _is_arrow_column,
    _is_polars,
    _native_order,
    _numpy,
    _pyarrow,
    _to_pandas,
)
from ._columns import INT8_MAX, INT8_MIN, UNIT_MS
from ._params import TIMELINE_LIMIT_MS, FeatureParams, stacklevel_outside_package

class MissingQuantityWarning(UserWarning):
    """Transactions with a missing quantity were dropped before computing."""


class Table:
    """The needed columns of one input table.

    ``columns[name]`` is a pandas Series or a pyarrow ChunkedArray. ``what``
    names the table in messages (``transactions``, or a file name on the
    command line); ``first_line`` is set for a CSV file, whose rows are then
    reported as file lines.
    """

    def __init__(self, obj, what: str, needed: Sequence[str], first_line: Optional[int] = None):
        self.what = what
        self.first_line = first_line
        self.index = None
        # per timestamp column read: its earliest and latest milliseconds
        self.time_spans: Dict[str, Tuple[int, int]] = {}
        pd = _deps_loaded("pandas")
        pa = _deps_loaded("pyarrow")
        if pd is not None and isinstance(obj, pd.DataFrame):
            names = list(obj.columns)
            self._require(names, needed)
            self.columns = {name: obj[name] for name in needed}
            self.n_rows = len(obj)
            self.index = obj.index
            return
        if _is_polars(obj) and hasattr(obj, "to_arrow") and hasattr(obj, "select"):
            self._require(list(obj.columns), needed)
            # polars exports its buffers to Arrow without copying primitive columns
            obj = obj.select(list(dict.fromkeys(needed))).to_arrow()
            pa = _pyarrow()
        if pa is not None and isinstance(obj, pa.RecordBatch):
            obj = pa.Table.from_batches([obj])
        if pa is not None and isinstance(obj, pa.Table):
            self._require(obj.column_names, needed)
            self.columns = {name: obj.column(name) for name in needed}
            self.n_rows = obj.num_rows
            return
        raise TypeError(
            f"{what}: expected a pandas DataFrame, a pyarrow Table or a polars DataFrame, "
            f"got {type(obj).__name__}"
        )

    def _require(self, names: List[str], needed: Sequence[str]) -> None:
        for col in needed:
            count = names.count(col)
            if count == 0:
                listed = ", ".join(repr(c) for c in names)
                raise ValueError(f"{self.what}: missing column {col!r} (columns are {listed})")
            if count > 1:
                raise ValueError(f"{self.what}: column {col!r} appears {count} times; name it once")

    def row(self, position: int) -> str:
        if self.first_line is not None:
            return f"line {position + self.first_line}"
        return f"row {position}"

    # ---- helpers over both column kinds

    def _arrow(self, name: str):
        """The column as a pyarrow ChunkedArray when it is Arrow data (also a
        pandas column backed by Arrow), else None."""
        column = self.columns[name]
        if _is_arrow_column(column):
            return column
        arrow_dtype = getattr(_deps.pandas(), "ArrowDtype", None)
        if arrow_dtype is not None and isinstance(column.dtype, arrow_dtype):
            pa = _pyarrow()
            array = pa.array(column.array)
            return array if isinstance(array, pa.ChunkedArray) else pa.chunked_array([array])
        return None

    def _first_missing(self, name: str) -> Optional[int]:
        column = self.columns[name]
        if isinstance(getattr(column, "dtype", None), np.dtype) and column.dtype.kind in "iub":
            return None  # NumPy integers and booleans have no missing value
        arrow = self._arrow(name)
        if arrow is not None:
            missing = _arrow_missing(arrow)
            return None if missing is None else missing[1]
        missing = np.asarray(column.isna())
        return int(np.argmax(missing)) if missing.any() else None

    def no_missing(self, name: str, noun: str) -> None:
        first = self._first_missing(name)
        if first is not None:
            count = self._count_missing(name)
            raise ValueError(
                f"{self.what}: column {name!r} has {count} missing {noun} (first at {self.row(first)})"
            )

    def _count_missing(self, name: str) -> int:
        arrow = self._arrow(name)
        if arrow is not None:
            missing = _arrow_missing(arrow)
            return 0 if missing is None else missing[0]
        return int(self.columns[name].isna().sum())

    def _type_error(self, name: str, expected: str, dtype) -> TypeError:
        return TypeError(f"{self.what}: column {name!r} must hold {expected}, got {dtype}")

    # ---- conversions

    def timestamps(self, name: str, unit: str, noun: str = "timestamps") -> np.ndarray:
        """The column as the engine takes it, viewed rather than copied where
        the data allow: datetime64 in the column's own unit (time zones
        converted to UTC, naive values taken as UTC), integer milliseconds,
        or integers of another ``unit`` viewed as datetime64 of that unit.
        Missing values and values beyond +-2**62 milliseconds are refused."""
        arrow = self._arrow(name)
        if arrow is not None:
            values = self._arrow_timestamps(name, arrow, unit, noun)
        else:
            values = self._pandas_timestamps(name, unit, noun)
        self._within_timeline(name, values, noun)
        return _low_counts_as_milliseconds(values)

    def _pandas_timestamps(self, name: str, unit: str, noun: str) -> np.ndarray:
        pd = _deps.pandas()
        api = pd.api.types
        series = self.columns[name]
        dtype = series.dtype
        if isinstance(dtype, pd.DatetimeTZDtype):
            self.no_missing(name, noun)
            series = series.dt.tz_convert("UTC").dt.tz_localize(None)
            dtype = series.dtype
        if api.is_datetime64_dtype(dtype):
            return _native_order(series.to_numpy())  # a missing value (NaT) is found by the range check
        if api.is_integer_dtype(dtype) and not api.is_bool_dtype(dtype):
            self.no_missing(name, noun)
            numpy_dtype = getattr(dtype, "numpy_dtype", dtype)  # nullable integers: their NumPy type
            return self._integer_timestamps(name, series.to_numpy(dtype=numpy_dtype), unit)
        raise self._type_error(name, f"datetime values or integer timestamps (timestamp_unit {unit!r})", dtype)

    def _arrow_timestamps(self, name, arrow, unit: str, noun: str) -> np.ndarray:
        pa = _pyarrow()
        kind = arrow.type
        if pa.types.is_timestamp(kind):
            self.no_missing(name, noun)
            # Arrow timestamps count UTC units since the epoch, with or without a zone
            return self._integer_timestamps(name, _numpy(arrow).view(np.int64), kind.unit)
        if pa.types.is_date64(kind) or pa.types.is_date32(kind):
            # days (date32) or milliseconds (date64) since the epoch: midnight UTC
            self.no_missing(name, noun)
            storage = pa.int64() if pa.types.is_date64(kind) else pa.int32()
            counts = _numpy(pa.chunked_array([chunk.view(storage) for chunk in arrow.chunks], type=storage))
            return counts.astype(np.int64, copy=False).view("datetime64[ms]" if storage == pa.int64() else "datetime64[D]")
        if pa.types.is_integer(kind):
            self.no_missing(name, noun)
            return self._integer_timestamps(name, _numpy(arrow), unit)
        raise self._type_error(name, f"datetime values or integer timestamps (timestamp_unit {unit!r})", kind)

    def _integer_timestamps(self, name: str, values: np.ndarray, unit: str) -> np.ndarray:
        """Integer counts of ``unit``: int64 milliseconds as they are, other
        units viewed as datetime64 of that unit (other integer types copied
        to int64 first)."""
        beyond = _first_beyond_int64(values)
        if beyond >= 0:
            raise self._beyond(name, beyond)
        if values.dtype != np.int64:
            values = values.view(np.int64) if values.dtype == np.uint64 else values.astype(np.int64)
        if unit == "ms":
            return values
        datetimes = values.view(f"datetime64[{unit}]")
        low = _low_counts_as_milliseconds(datetimes)
        # as datetime64 the smallest count would read as NaT
        return datetimes if low is datetimes else low

    def _within_timeline(self, name: str, values: np.ndarray, noun: str) -> None:
        """Refuses a missing datetime (NaT, the smallest int64) and a value
        beyond +-2**62 milliseconds, naming the first row. Checked on the
        counts by reductions, without a temporary array; the earliest and
        latest, in milliseconds (floored), are kept in ``time_spans``."""
        if not len(values):
            return
        counts = values.view(np.int64)
        per = Fraction(1)
        if values.dtype.kind == "M":
            unit, step = np.datetime_data(values.dtype)
            per = UNIT_MS[unit] * step
        # floor(c * per) lies within +-LIMIT exactly for c within these bounds
        lowest = max(math.ceil(Fraction(-TIMELINE_LIMIT_MS) / per), INT64_MIN + 1)
        highest = min(math.ceil(Fraction(TIMELINE_LIMIT_MS + 1) / per) - 1, INT64_MAX)
        low, high = int(counts.min()), int(counts.max())
        if low == INT64_MIN and values.dtype.kind == "M":
            self.no_missing(name, noun)  # raises, naming the first NaT
        if low < lowest or high > highest:
            raise self._beyond(name, int(np.argmax((counts < lowest) | (counts > highest))))
        self.time_spans[name] = (low * per.numerator // per.denominator, high * per.numerator // per.denominator)

    def _beyond(self, name: str, position: int) -> ValueError:
        return ValueError(
            f"{self.what}: column {name!r} has a timestamp beyond +-2**62 milliseconds (first at "
            f"{self.row(position)}); check timestamp_unit"
        )

    def quantities(self, name: str) -> np.ndarray:
        """float32 or float64 quantities as the column holds them, viewed;
        other numbers as float64. A missing value (null or NaN) is NaN."""
        arrow = self._arrow(name)
        if arrow is not None:
            pa = _pyarrow()
            kind = arrow.type
            if not (pa.types.is_integer(kind) or pa.types.is_floating(kind)):
                raise self._type_error(name, "numbers (quantities)", kind)
            if arrow.null_count == 0:
                values = _numpy(arrow)
                # other numbers as float64, rounded to the nearest as NumPy (and pandas) convert them
                return values if values.dtype in (np.float32, np.float64) else values.astype(np.float64)
            chunks = [chunk.to_numpy(zero_copy_only=False) for chunk in arrow.chunks]  # a null becomes NaN
            return np.concatenate(chunks).astype(np.float64, copy=False)
        pd = _deps.pandas()
        api = pd.api.types
        series = self.columns[name]
        if api.is_bool_dtype(series.dtype) or not api.is_numeric_dtype(series.dtype):
            raise self._type_error(name, "numbers (quantities)", series.dtype)
        if series.dtype in (np.float32, np.float64):
            return series.to_numpy()
        return series.to_numpy(dtype=np.float64, na_value=np.nan)

    def dimension_codes(self, name: str, n_jobs: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
        """Integer dimension codes, all within int8 (signed integers viewed as
        the column holds them, unsigned ones as an int8 copy), and the
        distinct codes present, ascending."""
        arrow = self._arrow(name)
        if arrow is not None:
            pa = _pyarrow()
            if not pa.types.is_integer(arrow.type):
                raise self._type_error(name, "integer dimension codes", arrow.type)
            self.no_missing(name, "dimension codes")
            values = _numpy(arrow)
        else:
            pd = _deps.pandas()
            api = pd.api.types
            series = self.columns[name]
            if api.is_bool_dtype(series.dtype) or not api.is_integer_dtype(series.dtype):
                raise self._type_error(name, "integer dimension codes", series.dtype)
            self.no_missing(name, "dimension codes")
            values = _native_order(series.to_numpy(dtype=getattr(series.dtype, "numpy_dtype", series.dtype)))
        present, first = present_codes(values, n_jobs)
        if present is None:
            raise ValueError(
                f"{self.what}: column {name!r} has dimension codes outside int8 ({INT8_MIN}..{INT8_MAX}), "
                f"e.g. {values[first]} (first at {self.row(first)})"
            )
        return (values.astype(np.int8) if values.dtype.kind == "u" else values), present

    def output_column(self, name: str):
        """The column as given, for the output frame (a pandas array)."""
        column = self.columns[name]
        return _to_pandas(column) if _is_arrow_column(column) else column.array

    def integer_ids(self, name: str) -> Optional[np.ndarray]:
        """The column as a NumPy integer array (viewed where it can be), or
        None when it does not hold integers."""
        arrow = self._arrow(name)
        if arrow is not None:
            return _numpy(arrow) if _pyarrow().types.is_integer(arrow.type) else None
        api = _deps.pandas().api.types
        series = self.columns[name]
        if api.is_bool_dtype(series.dtype) or not api.is_integer_dtype(series.dtype):
            return None
        return _native_order(series.to_numpy(dtype=getattr(series.dtype, "numpy_dtype", series.dtype)))


def _low_counts_as_milliseconds(values: np.ndarray) -> np.ndarray:
    """datetime64 finer than milliseconds as they are, unless a count lies
    within a millisecond's worth of the smallest int64: NumPy reads that one
    as NaT and overflows converting its neighbours to milliseconds, so then
    the column becomes int64 milliseconds, floored, here (a copy)."""
    if values.dtype.kind != "M" or not len(values):
        return values
    unit, step = np.datetime_data(values.dtype)
    per = UNIT_MS[unit] * step
    counts = values.view(np.int64)
    if per >= 1 or per.numerator != 1 or int(counts.min()) >= INT64_MIN + per.denominator:
        return values
    return counts // per.denominator


class TransactionColumns(NamedTuple):
    """The transaction columns as the engine takes them, rows with a missing
    quantity dropped (``keep`` selects the rows left among the table's, None:
    all of them); ``codes`` is None when every transaction has code 0."""

    timestamps: np.ndarray
    quantities: np.ndarray
    codes: Optional[np.ndarray]
    codes_present: np.ndarray  # the distinct codes, ascending
    keep: Optional[np.ndarray]
    n_dropped: int


def read_transactions(trx: Table, params: FeatureParams, n_jobs: int) -> TransactionColumns:
    """Reads and checks the timestamp, quantity and dimension columns, and
    drops the rows whose quantity is missing (with a MissingQuantityWarning)
    or refuses them, as ``missing_quantities`` says."""
    ts = trx.timestamps(params.timestamp_col, params.timestamp_unit)
    q = trx.quantities(params.quantity_col)
    if params.dimension_col:
        d, present = trx.dimension_codes(params.dimension_col, n_jobs)
    else:
        d, present = None, np.zeros(1 if len(q) else 0, dtype=np.int8)
    # a sum is NaN when a term is (or +inf meets -inf): only then look closer
    with np.errstate(over="ignore", invalid="ignore"):  # huge quantities are not the user's fault
        total = np.add.reduce(q, dtype=np.float64)
    if not np.isnan(total):
        return TransactionColumns(ts, q, d, present, None, 0)
    missing = np.isnan(q)
    n_missing = int(np.count_nonzero(missing))
    if not n_missing:
        return TransactionColumns(ts, q, d, present, None, 0)
    first = trx.row(int(np.argmax(missing)))
    where = f"{trx.what}: column {params.quantity_col!r} has {n_missing} missing quantities (first at {first})"
    if params.missing_quantities == "raise":
        raise ValueError(f"{where}; drop them or pass missing_quantities='drop'")
    warnings.warn(MissingQuantityWarning(f"{where}; those rows were dropped"), stacklevel=stacklevel_outside_package())
    keep = ~missing
    ts, q = ts[keep], q[keep]
    if d is not None:
        d = d[keep]
        present, _ = present_codes(d, n_jobs)
    elif not len(q):
        present = present[:0]
    return TransactionColumns(ts, q, d, present, keep, n_missing)


def present_codes(codes: np.ndarray, n_jobs: Optional[int] = None) -> Tuple[Optional[np.ndarray], int]:
    """The distinct values, ascending, of integer ``codes`` and -1; or None
    and the first row whose code lies outside int8. One native counting
    pass, which is the range check too."""
    if codes.dtype.kind == "u":
        if len(codes) and int(codes.max()) > INT8_MAX:
            return None, int(np.argmax(codes > INT8_MAX))
        codes = codes.astype(np.int16)
    counts, first_outside = _native.count_codes(codes, n_jobs=n_jobs)
    if first_outside >= 0:
        return None, first_outside
    return np.flatnonzero(counts) + INT8_MIN, -1
