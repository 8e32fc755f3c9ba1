"""Dimension code columns: integers within int8, and the codes present.

Signed integer codes are viewed as the column holds them, unsigned ones
copied to int8; one native counting pass finds the distinct codes and is
the range check too.
"""

from __future__ import annotations

from typing import NamedTuple, Optional

import numpy as np

from .. import native
from ..params import INT8_MAX, INT8_MIN
from ..support import pandas
from .arrow import native_order, numpy_of, pyarrow
from .table import InputTable


class CodeColumn(NamedTuple):
    """Dimension codes (None: every transaction has code 0) and the distinct
    codes present, ascending."""

    values: Optional[np.ndarray]
    present: np.ndarray

    def take(self, keep: np.ndarray, n_jobs: Optional[int] = None) -> "CodeColumn":
        """The rows where the boolean ``keep`` is true, with their codes present."""
        if self.values is None:
            return self if np.any(keep) else CodeColumn(None, self.present[:0])
        values = self.values[keep]
        return CodeColumn(values, present_codes(values, n_jobs)[0])


def no_codes(n_rows: int) -> CodeColumn:
    """Every transaction under code 0 (no dimension column)."""
    return CodeColumn(None, np.zeros(1 if n_rows else 0, dtype=np.int8))


def read_codes(table: InputTable, name: str, n_jobs: Optional[int] = None) -> CodeColumn:
    """The column's codes, refusing missing values and codes outside int8
    (naming the first row)."""
    arrow = table.arrow(name)
    if arrow is not None:
        if not pyarrow().types.is_integer(arrow.type):
            raise table.type_error(name, "integer dimension codes", arrow.type)
        table.no_missing(name, "dimension codes")
        values = numpy_of(arrow)
    else:
        api = pandas().api.types
        series = table.series(name)
        if api.is_bool_dtype(series.dtype) or not api.is_integer_dtype(series.dtype):
            raise table.type_error(name, "integer dimension codes", series.dtype)
        table.no_missing(name, "dimension codes")
        values = native_order(series.to_numpy(dtype=getattr(series.dtype, "numpy_dtype", series.dtype)))
    present, first = present_codes(values, n_jobs)
    if present is None:
        raise ValueError(
            f"{table.what}: column {name!r} has dimension codes outside int8 ({INT8_MIN}..{INT8_MAX}), "
            f"e.g. {values[first]} (first at {table.row(first)})"
        )
    return CodeColumn(values.astype(np.int8) if values.dtype.kind == "u" else values, present)


def present_codes(codes: np.ndarray, n_jobs: Optional[int] = None):
    """The distinct values, ascending, of integer ``codes`` and None; or None
    and the first row whose code lies outside int8."""
    if codes.dtype.kind == "u":
        if len(codes) and int(codes.max()) > INT8_MAX:
            return None, int(np.argmax(codes > INT8_MAX))
        codes = codes.astype(np.int16)
    counts, first_outside = native.count_codes(codes, n_jobs=n_jobs)
    if first_outside is not None:
        return None, first_outside
    return np.flatnonzero(counts) + INT8_MIN, None
