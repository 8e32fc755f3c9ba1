"""The two input tables as the computation takes them, each column read once.

``Transactions`` reads the timestamp, quantity and dimension columns of a
transaction table (and its entity ids when first asked for), applies the
missing-quantity rule and keeps the rows left; ``Targets`` reads the
target dates as int64 milliseconds. Both keep the ``InputTable`` for the
ids and the output columns.
"""

from __future__ import annotations

from typing import Optional

import numpy as np

from ..params import FeatureParams
from .codes import CodeColumn, no_codes, read_codes
from .ids import IdColumn
from .numbers import MissingQuantities, read_numbers
from .table import InputTable
from .times import TimeColumn, read_times


class Transactions:
    """The transaction columns of ``table``, checked and converted once.

    ``table_times`` are the timestamps of every row of the table, ``times``
    those of the rows left: ``keep`` selects them among the table's (None: all of them)
    after dropping rows without a quantity; ``missing`` counts those rows
    (a table read in batches passes one for all its batches and finishes it
    itself; otherwise the rule is applied here, warning or refusing).
    """

    def __init__(self, table: InputTable, params: FeatureParams, n_jobs: Optional[int] = None,
                 missing: Optional[MissingQuantities] = None):
        self.table = table
        self.entity_col = params.entity_col
        times = self.table_times = read_times(table, params.timestamp_col, params.timestamp_unit)
        quantities = read_numbers(table, params.quantity_col)
        codes = read_codes(table, params.dimension_col, n_jobs) if params.dimension_col else no_codes(len(quantities))
        rule = missing if missing is not None else MissingQuantities(params.missing_quantities, params.quantity_col)
        before = rule.count
        self.keep = rule.keep(table, quantities)
        if missing is None:
            rule.finish()
        self.n_dropped = rule.count - before
        if self.keep is not None:
            times, quantities, codes = times.take(self.keep), quantities[self.keep], codes.take(self.keep, n_jobs)
        self.times: TimeColumn = times
        self.quantities: np.ndarray = quantities
        self.codes: CodeColumn = codes
        self._ids: Optional[IdColumn] = None

    @property
    def n_rows(self) -> int:
        return len(self.quantities)

    @property
    def ids(self) -> IdColumn:
        """The entity ids of every row of the table (the dropped ones too), checked."""
        if self._ids is None:
            self._ids = IdColumn(self.table, self.entity_col)
        return self._ids


class Targets:
    """The target dates of ``table`` as int64 milliseconds, and its ids when asked for."""

    def __init__(self, table: InputTable, params: FeatureParams):
        self.table = table
        self.entity_col, self.date_col = params.entity_col_of_targets, params.target_date_col
        self.dates: np.ndarray = read_times(table, self.date_col, params.timestamp_unit, "target dates").milliseconds()
        self._ids: Optional[IdColumn] = None

    @property
    def n_rows(self) -> int:
        return self.table.n_rows

    @property
    def ids(self) -> IdColumn:
        if self._ids is None:
            self._ids = IdColumn(self.table, self.entity_col)
        return self._ids
