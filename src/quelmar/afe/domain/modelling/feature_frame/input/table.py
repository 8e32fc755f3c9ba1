"""One input table wrapped once: pandas or Arrow, and its needed columns.

The source kind is decided when the table is wrapped: a pandas DataFrame
stays pandas (its Arrow-backed columns are taken as their Arrow data, once),
a pyarrow Table or RecordBatch is Arrow, a polars DataFrame becomes Arrow
through its zero-copy export. The typed readers (times, numbers, codes, ids)
each read a column once and hand out what every later step uses; nothing
converts a whole table to pandas. Every error names the table, the column
and the first offending row.
"""

from __future__ import annotations

from typing import Dict, List, Optional, Sequence

import numpy as np

from ..errors import MissingColumnError
from ..support import pandas
from .arrow import arrow_missing, is_arrow_column, is_polars, loaded, pyarrow, to_pandas


class InputTable:
    """The needed columns of one input table.

    ``what`` names the table in messages (``transactions``, or a file name on
    the command line); ``first_line`` is set for a CSV file, whose rows are
    then reported as file lines; ``first_row`` counts the rows of the file
    before this part of it (a batch).
    """

    def __init__(self, obj, what: str, needed: Sequence[str], first_line: Optional[int] = None,
                 first_row: int = 0):
        self.what = what
        self.first_line = first_line
        self.first_row = first_row
        self.index = None
        self._source: Dict[str, object] = {}  # pandas Series or pyarrow ChunkedArray, as given
        self._arrow: Dict[str, object] = {}  # the Arrow data of every Arrow column
        pd = loaded("pandas")
        pa = loaded("pyarrow")
        if pd is not None and isinstance(obj, pd.DataFrame):
            self._require(list(obj.columns), needed)
            self._source = {name: obj[name] for name in needed}
            self.n_rows = len(obj)
            self.index = obj.index
            arrow_dtype = getattr(pd, "ArrowDtype", None)
            for name, series in self._source.items():
                if arrow_dtype is not None and isinstance(series.dtype, arrow_dtype):
                    array = pyarrow().array(series.array)
                    self._arrow[name] = array if hasattr(array, "chunks") else pyarrow().chunked_array([array])
            return
        if is_polars(obj) and hasattr(obj, "to_arrow") and hasattr(obj, "select"):
            self._require(list(obj.columns), needed)
            # polars exports its buffers to Arrow without copying primitive columns
            obj = obj.select(list(dict.fromkeys(needed))).to_arrow()
            pa = pyarrow()
        if pa is not None and isinstance(obj, pa.RecordBatch):
            obj = pa.Table.from_batches([obj])
        if pa is not None and isinstance(obj, pa.Table):
            self._require(obj.column_names, needed)
            self._source = {name: obj.column(name) for name in needed}
            self._arrow = dict(self._source)
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
                raise MissingColumnError(self.what, col, names)
            if count > 1:
                raise ValueError(f"{self.what}: column {col!r} appears {count} times; name it once")

    @property
    def names(self) -> List[str]:
        return list(self._source)

    def row(self, position: int) -> str:
        """How messages name row ``position`` of this table."""
        if self.first_line is not None:
            return f"line {position + self.first_row + self.first_line}"
        return f"row {position + self.first_row}"

    def arrow(self, name: str):
        """The column's Arrow data (a pyarrow ChunkedArray), or None for a
        pandas column backed by NumPy or a pandas extension type."""
        return self._arrow.get(name)

    def source(self, name: str):
        """The column as given: a pandas Series or a pyarrow ChunkedArray."""
        return self._source[name]

    def series(self, name: str):
        """A pandas column as given (None for an Arrow column)."""
        return None if name in self._arrow else self._source[name]

    def type_error(self, name: str, expected: str, dtype) -> TypeError:
        return TypeError(f"{self.what}: column {name!r} must hold {expected}, got {dtype}")

    # ---- missing values

    def first_missing(self, name: str) -> Optional[int]:
        """The first row without a value, or None."""
        found = self.missing(name)
        return None if found is None else found[1]

    def missing(self, name: str):
        """(count, first row) of the rows without a value, or None."""
        arrow = self._arrow.get(name)
        if arrow is not None:
            return arrow_missing(arrow)
        column = self._source[name]
        if isinstance(column.dtype, np.dtype) and column.dtype.kind in "iub":
            return None  # NumPy integers and booleans have no missing value
        missing = np.asarray(column.isna())
        count = int(np.count_nonzero(missing))
        return (count, int(np.argmax(missing))) if count else None

    def no_missing(self, name: str, noun: str) -> None:
        self.refuse_missing(name, noun, self.missing(name))

    def refuse_missing(self, name: str, noun: str, found) -> None:
        if found is not None:
            count, first = found
            raise ValueError(f"{self.what}: column {name!r} has {count} missing {noun} (first at {self.row(first)})")

    # ---- output

    def output(self, name: str):
        """The column as given, for the output frame (a pandas array)."""
        column = self._source[name]
        if is_arrow_column(column):
            return to_pandas(column)
        return column.array

    def output_arrow(self, name: str):
        """The column as given, as Arrow data for a file writer."""
        arrow = self._arrow.get(name)
        if arrow is not None and is_arrow_column(self._source[name]):
            return arrow
        pa = pyarrow()
        return pa.chunked_array([pa.array(self.output(name), from_pandas=True)])

    def pandas_column(self, name: str):
        """The column as a pandas Series (Arrow data converted)."""
        column = self._source[name]
        return pandas().Series(to_pandas(column)) if is_arrow_column(column) else column
