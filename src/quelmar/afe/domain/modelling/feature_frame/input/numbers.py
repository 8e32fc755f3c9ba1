"""Number columns (quantities) and the rule for a missing quantity.

Quantities are float32 or float64 as the column holds them (viewed), other
numbers float64; a missing value (null or NaN) is NaN. ``MissingQuantities``
is the one place that decides what happens to rows without a quantity:
dropped with one ``MissingQuantityWarning`` naming the first, or refused;
a table read in batches counts them across its batches.
"""

from __future__ import annotations

import warnings
from typing import Optional

import numpy as np

from ..errors import MissingQuantityWarning
from ..params import stacklevel_outside_package
from ..support import pandas
from .arrow import numpy_of, pyarrow
from .table import InputTable


def read_numbers(table: InputTable, name: str, noun: str = "numbers (quantities)") -> np.ndarray:
    """The column as float32 or float64, NaN where a value is missing."""
    arrow = table.arrow(name)
    if arrow is not None:
        pa = pyarrow()
        kind = arrow.type
        if not (pa.types.is_integer(kind) or pa.types.is_floating(kind)):
            raise table.type_error(name, noun, kind)
        if arrow.null_count == 0:
            values = numpy_of(arrow)
            # other numbers as float64, rounded to the nearest as NumPy (and pandas) convert them
            return values if values.dtype in (np.float32, np.float64) else values.astype(np.float64)
        chunks = [chunk.to_numpy(zero_copy_only=False) for chunk in arrow.chunks]  # a null becomes NaN
        return np.concatenate(chunks).astype(np.float64, copy=False)
    api = pandas().api.types
    series = table.series(name)
    if api.is_bool_dtype(series.dtype) or not api.is_numeric_dtype(series.dtype):
        raise table.type_error(name, noun, series.dtype)
    if series.dtype in (np.float32, np.float64):
        return series.to_numpy()
    return series.to_numpy(dtype=np.float64, na_value=np.nan)


class MissingQuantities:
    """Counts the rows without a quantity of one table (over all its
    batches) and applies ``missing_quantities`` at ``finish``: "drop" warns
    once of the rows dropped, "raise" refuses them."""

    def __init__(self, policy: str, column: str):
        self.policy, self.column = policy, column
        self.count = 0
        self.first: Optional[str] = None
        self.what = ""

    def keep(self, table: InputTable, quantities: np.ndarray) -> Optional[np.ndarray]:
        """The rows to keep (a boolean mask), or None when every row has a quantity."""
        # a sum is NaN when a term is (or +inf meets -inf): only then look closer
        with np.errstate(over="ignore", invalid="ignore"):  # huge quantities are not the user's fault
            total = np.add.reduce(quantities, dtype=np.float64)
        if not np.isnan(total):
            return None
        missing = np.isnan(quantities)
        n_missing = int(np.count_nonzero(missing))
        if not n_missing:
            return None
        if self.first is None:
            self.first, self.what = table.row(int(np.argmax(missing))), table.what
        self.count += n_missing
        return ~missing

    def finish(self, stacklevel: Optional[int] = None) -> None:
        """Refuses the rows without a quantity ("raise") or warns that they
        were dropped ("drop"), if there are any."""
        if self.count and self.policy == "raise":
            raise ValueError(f"{self._where()}; drop them or pass missing_quantities='drop'")
        if self.count:
            warnings.warn(MissingQuantityWarning(f"{self._where()}; those rows were dropped"),
                          stacklevel=stacklevel_outside_package() if stacklevel is None else stacklevel)

    def _where(self) -> str:
        return f"{self.what}: column {self.column!r} has {self.count} missing quantities (first at {self.first})"
