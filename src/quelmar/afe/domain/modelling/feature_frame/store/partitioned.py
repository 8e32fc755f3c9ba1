"""A store created from the transactions ``write_partitioned`` wrote, one
Dask task per part and no shuffle: a part holds every row of its entities,
so each task makes its own entities' values from its part alone.

Two passes over the parts. The first reads the timestamps, quantities and
dimension codes only: the newest transaction (hence the cutoff every task
keeps rows from), the codes present (the dimension values, unless given)
and the rows without a quantity, so that the parameters, the codes and the
missing-quantity rule refuse before anything is written and its warning is
given once, here, as ``FeatureStore.create`` gives it. The second writes
each part's values; the state is written last, by the caller, so that the
store is unreadable until every part is in. The rows kept, the state and so
every answer are those of ``FeatureStore.create`` on the whole table.

An LMDB store is a directory of this machine: its tasks must run here
(threads or local processes); a worker elsewhere finds no store there and
fails. A Redis store takes tasks from any machine that reaches the server.
"""

from __future__ import annotations

import dataclasses
from typing import List, NamedTuple, Optional, Tuple

from ..distributed import Dataset, read_part
from ..input import InputTable, MissingQuantities, Transactions
from ..params import FeatureParams, layout_for
from ..support import pandas, require
from .backend import Backend, retrying
from .locations import open_backend, remove_new
from .keys import id_family
from .rows import kept_rows, merged
from .state import StoreState


class _Survey(NamedTuple):
    """What the first pass learns of one part."""

    latest: Optional[int]  # the newest transaction with a quantity, in milliseconds
    codes: List[int]
    n_missing: int
    first_missing: Optional[str]


class _Part:
    """Reading one part: the columns the computation takes, as the input
    layer checks them; rows without a quantity counted, not warned of (the
    caller warns once for all parts)."""

    def __init__(self, dataset: Dataset, params: FeatureParams):
        self.schema, self.params = dataset.schema, params
        self.path = dataset.path

    def transactions(self, files: List[str], number: Optional[int],
                     columns: List[str]) -> Tuple[Transactions, MissingQuantities]:
        params = self.params
        present = [c for c in columns if c in self.schema.names]  # an absent one is reported by the input layer
        what = f"transactions: {self.path}" + ("" if number is None else f", part {number}")
        table = InputTable(read_part(files, self.schema, present), what, columns)
        rule = MissingQuantities(params.missing_quantities, params.quantity_col)
        return Transactions(table, params, params.jobs(), missing=rule), rule

    def survey(self, files: List[str], number: int) -> _Survey:
        params = self.params
        columns = [params.timestamp_col, params.quantity_col] + ([params.dimension_col] if params.dimension_col else [])
        trx, rule = self.transactions(files, number, columns)
        latest = trx.times.latest if trx.n_rows else None
        first = None if rule.first is None else f"{rule.first} of part {number}"
        return _Survey(latest, [int(c) for c in trx.codes.present], rule.count, first)

    def write(self, location: str, files: List[str], number: int, cutoff_ms: int) -> int:
        """Writes the base values of the part's entities; returns the rows kept."""
        trx, _ = self.transactions(files, number, self.params.transaction_columns())
        jobs = self.params.jobs()
        rows = kept_rows(trx, cutoff_ms, jobs)
        values, _, n_kept = merged([None] * len(rows.keys), rows, cutoff_ms, jobs)
        backend = open_backend(location)
        try:
            retrying(lambda: _put(backend, list(zip(rows.keys, values))))
        finally:
            backend.close()
        return n_kept


def _put(backend: Backend, items) -> None:
    with backend.writing() as writer:
        writer.put_many("base", items)


def created_from_partitioned(location, transactions_dir, params: FeatureParams,
                             keep_ms: int) -> Tuple[Backend, StoreState]:
    """A new store at ``location`` holding the rows of the dataset at
    ``transactions_dir`` that ``keep_ms`` of history needs, and its state."""
    dask = require("dask")
    dataset = Dataset(transactions_dir, "transactions")
    dataset.check_column(params.entity_col, "entity_col")
    if params.n_jobs is None:  # Dask runs a part per worker thread already
        part = _Part(dataset, dataclasses.replace(params, n_jobs=1))
    else:
        part = _Part(dataset, params)
    # the columns and their types, checked on no rows before any task runs
    empty, _ = part.transactions([], None, params.transaction_columns())
    surveys = dask.compute(*[dask.delayed(part.survey)(files, number)
                             for number, files in enumerate(dataset.files)])
    _missing_quantities(params, dataset, surveys).finish()
    if params.dimension_values is None:
        params = dataclasses.replace(params, dimension_values=sorted({c for s in surveys for c in s.codes}))
    layout_for(params, [])
    ids = empty.ids
    id_kind = id_family(ids)
    # a NumPy type as its name, as a pandas column gives it ("int64")
    id_dtype = str(pandas().api.types.pandas_dtype(ids.index_dtype()))
    newest = max((s.latest for s in surveys if s.latest is not None), default=None)
    state = StoreState(params, id_kind, id_dtype, keep_ms).advanced(newest)
    backend = open_backend(location, create=True)
    try:
        kept = dask.compute(*[dask.delayed(part.write)(backend.location, files, number, state.cutoff_ms)
                              for number, files in enumerate(dataset.files)])
        state.base_rows = int(sum(kept))
        retrying(lambda: _write_state(backend, state))
    except BaseException:
        backend.close()
        remove_new(backend.location)
        raise
    return backend, state


def _missing_quantities(params: FeatureParams, dataset: Dataset, surveys) -> MissingQuantities:
    """The rule over all parts: one warning or refusal, naming the first row
    of the first part that has one."""
    rule = MissingQuantities(params.missing_quantities, params.quantity_col)
    rule.count = sum(s.n_missing for s in surveys)
    rule.first = next((s.first_missing for s in surveys if s.first_missing is not None), None)
    rule.what = f"transactions: {dataset.path}"
    return rule


def _write_state(backend: Backend, state: StoreState) -> None:
    with backend.writing() as writer:
        writer.set_meta(state.to_meta(), state.cutoff_ms)
