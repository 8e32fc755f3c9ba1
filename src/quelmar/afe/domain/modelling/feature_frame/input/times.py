"""Time columns: int64 counts of one unit, read once and checked once.

A ``TimeColumn`` keeps the column's own counts (viewed, not copied, where
the data allow) and the ratio that turns a count into milliseconds; the
engine converts them itself, and ``milliseconds()`` does the same floor
division where milliseconds are needed in Python. The unit is worked out
here only: from the column's type (datetime64, Arrow timestamps and dates)
or, for integers, from ``timestamp_unit``.
"""

from __future__ import annotations

from typing import NamedTuple, Optional, Tuple

import numpy as np

from ..params import INT64_MAX, INT64_MIN, TIMELINE_LIMIT_MS, count_range, floor_ms, ms_ratio
from ..support import pandas
from .arrow import first_beyond_int64, native_order, numpy_of, pyarrow
from .table import InputTable


class TimeColumn(NamedTuple):
    """Timestamps as int64 counts: a count c is floor(c * m / d)
    milliseconds, (m, d) = ``ratio``. Every count lies within +-2**62
    milliseconds; ``earliest``/``latest`` are the extremes in milliseconds
    (None for no row)."""

    counts: np.ndarray
    ratio: Tuple[int, int]
    earliest: Optional[int]
    latest: Optional[int]

    def milliseconds(self) -> np.ndarray:
        """int64 milliseconds (the counts themselves when they are)."""
        m, d = self.ratio
        if m == d == 1:
            return self.counts
        if d == 1:
            return self.counts * m
        if m == 1:
            return self.counts // d
        whole, part = np.divmod(self.counts, d)
        return whole * m + part * m // d

    def take(self, keep: np.ndarray) -> "TimeColumn":
        """The rows where the boolean ``keep`` is true (extremes kept as bounds)."""
        return self._replace(counts=self.counts[keep])


def read_times(table: InputTable, name: str, unit: str, noun: str = "timestamps") -> TimeColumn:
    """The column as counts, refusing missing values and values beyond
    +-2**62 milliseconds, naming the first row. Datetimes are taken in their
    own unit (time zones converted to UTC, naive values taken as UTC);
    integers count ``unit``."""
    arrow = table.arrow(name)
    counts, ratio, nat = (_arrow_counts if arrow is not None else _pandas_counts)(table, name, unit, noun)
    return _checked(table, name, counts, ratio, nat, noun)


def times_of_array(values, what: str = "timestamps") -> TimeColumn:
    """A NumPy array of datetime64 values (any unit) or integer
    milliseconds as a ``TimeColumn``; ``what`` names it in messages."""
    values = np.asarray(values)
    if values.dtype.kind == "M":
        unit, step = np.datetime_data(values.dtype)
        if unit in ("Y", "M"):  # no fixed length: NumPy's own cast
            values = values.astype("datetime64[ms]")
            unit, step = "ms", 1
        if np.isnat(values).any():
            raise ValueError(f"{what}: missing values (NaT)")
        counts, ratio, nat = values.view(np.int64), ms_ratio(unit, step), True
    elif values.dtype.kind in "iu":
        if first_beyond_int64(values) >= 0:
            raise ValueError(f"{what}: values beyond the int64 range")
        counts, ratio, nat = values.astype(np.int64, copy=False), (1, 1), False
    else:
        raise TypeError(f"{what}: expected datetime64 values or integer milliseconds, got {values.dtype}")
    low, high = _bounds(ratio, nat)
    if len(counts) and (int(counts.min()) < low or int(counts.max()) > high):
        raise ValueError(f"{what}: a timestamp beyond +-2**62 milliseconds")
    return _column(counts, ratio)


def _column(counts: np.ndarray, ratio: Tuple[int, int]) -> TimeColumn:
    if not len(counts):
        return TimeColumn(counts, ratio, None, None)
    return TimeColumn(counts, ratio, floor_ms(int(counts.min()), ratio), floor_ms(int(counts.max()), ratio))


def _bounds(ratio: Tuple[int, int], nat: bool = False) -> Tuple[int, int]:
    """The counts within the time line and within int64 (without the
    smallest int64 where it is a datetime's NaT)."""
    low, high = count_range(ratio, -TIMELINE_LIMIT_MS, TIMELINE_LIMIT_MS)
    return max(low, INT64_MIN + nat), min(high, INT64_MAX)


def _checked(table: InputTable, name: str, counts: np.ndarray, ratio: Tuple[int, int], nat: bool,
             noun: str) -> TimeColumn:
    """Refuses a missing datetime (NaT, the smallest int64, where ``nat``)
    and a count beyond the time line, naming the first row; checked by
    reductions, without a temporary array."""
    if not len(counts):
        return TimeColumn(counts, ratio, None, None)
    lowest, highest = _bounds(ratio, nat)
    low, high = int(counts.min()), int(counts.max())
    if low == INT64_MIN and nat:
        missing = counts == INT64_MIN
        table.refuse_missing(name, noun, (int(np.count_nonzero(missing)), int(np.argmax(missing))))
    if low < lowest or high > highest:
        raise _beyond(table, name, int(np.argmax((counts < lowest) | (counts > highest))))
    return TimeColumn(counts, ratio, floor_ms(low, ratio), floor_ms(high, ratio))


def _beyond(table: InputTable, name: str, position: int) -> ValueError:
    return ValueError(
        f"{table.what}: column {name!r} has a timestamp beyond +-2**62 milliseconds (first at "
        f"{table.row(position)}); check timestamp_unit"
    )


def _expected(unit: str) -> str:
    return f"datetime values or integer timestamps (timestamp_unit {unit!r})"


def _pandas_counts(table: InputTable, name: str, unit: str, noun: str):
    pd = pandas()
    api = pd.api.types
    series = table.series(name)
    dtype = series.dtype
    if isinstance(dtype, pd.DatetimeTZDtype):
        table.no_missing(name, noun)
        series = series.dt.tz_convert("UTC").dt.tz_localize(None)
        dtype = series.dtype
    if api.is_datetime64_dtype(dtype):
        values = native_order(series.to_numpy())  # a missing value (NaT) is found by the range check
        step_unit, step = np.datetime_data(values.dtype)
        return values.view(np.int64), ms_ratio(step_unit, step), True
    if api.is_integer_dtype(dtype) and not api.is_bool_dtype(dtype):
        table.no_missing(name, noun)
        numpy_dtype = getattr(dtype, "numpy_dtype", dtype)  # nullable integers: their NumPy type
        return _integer_counts(table, name, native_order(series.to_numpy(dtype=numpy_dtype))), ms_ratio(unit), False
    raise table.type_error(name, _expected(unit), dtype)


def _arrow_counts(table: InputTable, name: str, unit: str, noun: str):
    pa = pyarrow()
    arrow = table.arrow(name)
    kind = arrow.type
    if pa.types.is_timestamp(kind):
        table.no_missing(name, noun)
        # Arrow timestamps count UTC units since the epoch, with or without a zone
        return numpy_of(arrow).view(np.int64), ms_ratio(kind.unit), False
    if pa.types.is_date64(kind) or pa.types.is_date32(kind):
        # days (date32) or milliseconds (date64) since the epoch: midnight UTC
        table.no_missing(name, noun)
        storage = pa.int64() if pa.types.is_date64(kind) else pa.int32()
        counts = numpy_of(pa.chunked_array([chunk.view(storage) for chunk in arrow.chunks], type=storage))
        return counts.astype(np.int64, copy=False), ms_ratio("ms" if storage == pa.int64() else "D"), False
    if pa.types.is_integer(kind):
        table.no_missing(name, noun)
        return _integer_counts(table, name, numpy_of(arrow)), ms_ratio(unit), False
    raise table.type_error(name, _expected(unit), kind)


def _integer_counts(table: InputTable, name: str, values: np.ndarray) -> np.ndarray:
    """Integers as int64 counts: int64 as they are, uint64 within int64
    viewed, other widths copied."""
    beyond = first_beyond_int64(values)
    if beyond >= 0:
        raise _beyond(table, name, beyond)
    if values.dtype == np.int64:
        return values
    return values.view(np.int64) if values.dtype == np.uint64 else values.astype(np.int64)
