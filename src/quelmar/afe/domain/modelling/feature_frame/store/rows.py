"""Rows in and out of a store: the rows of a table that a store keeps,
grouped by entity key, and the kept rows of some entities as the engine
reads them.

An entity's rows live in two values: ``base`` (as of the last compaction)
and ``recent`` (appended since). Reading merges both and leaves out the
rows before the cutoff; the result is what the engine would prepare from
every row appended so far, since rows before the cutoff and rows that no
operator accepts (a quantity of 0 or below) change no answer.
"""

from __future__ import annotations

from typing import List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from .. import native
from ..compute import list_entities
from ..input import Transactions
from ..params import INT64_MAX
from .blobs import RECORD, records_of, split
from .keys import keys_of


class KeptRows(NamedTuple):
    """The rows of a table a store keeps, numbered by entity: entity
    ``codes`` index ``keys``; rows in the table's order."""

    keys: List[bytes]
    codes: np.ndarray
    dates: np.ndarray  # int64 milliseconds
    quantities: np.ndarray  # float32, all above 0
    dimension_codes: np.ndarray  # int8
    n_before_cutoff: int  # rows a feature could use but dated before the cutoff


def kept_rows(trx: Transactions, cutoff_ms: int, n_jobs: int) -> KeptRows:
    """The rows of ``trx`` a store keeps: quantities above 0 (as float32,
    the engine's reading), dated at or after ``cutoff_ms``."""
    quantities = trx.quantities.astype(np.float32)
    dates = trx.times.milliseconds()
    usable = quantities > 0
    keep = usable & (dates >= cutoff_ms)
    codes = np.zeros(len(quantities), np.int8) if trx.codes.values is None else trx.codes.values.astype(np.int8)
    if not keep.any():
        empty = np.zeros(0, np.int64)
        return KeptRows([], empty, empty, quantities[:0], codes[:0], int(np.count_nonzero(usable)))
    listing = list_entities(trx.ids, n_jobs)
    entity = listing.codes if trx.keep is None else listing.codes[trx.keep]
    entity = entity[keep]
    # number the entities with kept rows densely, in order of their first row
    present, first_row, dense = np.unique(entity, return_index=True, return_inverse=True)
    table_rows = np.flatnonzero(keep)[first_row]
    if trx.keep is not None:
        table_rows = np.flatnonzero(trx.keep)[table_rows]
    keys = keys_of(trx.ids, table_rows)
    return KeptRows(keys, dense.reshape(-1).astype(np.int64), dates[keep], quantities[keep], codes[keep],
                    int(np.count_nonzero(usable & ~keep)))


def merged(old_values: Sequence[Optional[bytes]], rows: KeptRows, cutoff_ms: int,
           n_jobs: int) -> Tuple[List[Optional[bytes]], int, int]:
    """The new value of every entity of ``rows``: its ``old_values``
    records and its rows, in the engine's order, from the cutoff on; with
    the number of old and of new records. Only the rows are sorted; the old
    values are merged with them."""
    fresh = native.prepare_transactions(rows.codes, len(rows.keys), rows.dates, rows.quantities,
                                        rows.dimension_codes, keep_dates=(cutoff_ms, INT64_MAX), n_jobs=n_jobs)
    values = split(records_of(fresh), fresh.offsets)
    # only the entities that had a value are merged: the others' rows are their value
    had = [e for e, value in enumerate(old_values) if value is not None]
    if not had:
        return values, 0, len(fresh.dates)
    prepared = prepared_of([old_values[e] for e in had], [values[e] for e in had], cutoff_ms, n_jobs)
    for e, value in zip(had, split(records_of(prepared), prepared.offsets)):
        values[e] = value
    n_fresh_of_had = int(np.diff(fresh.offsets)[had].sum())
    return values, record_count(old_values), len(fresh.dates) - n_fresh_of_had + len(prepared.dates)


def prepared_of(base: Sequence[Optional[bytes]], recent: Sequence[Optional[bytes]], cutoff_ms: int,
                n_jobs: int) -> native.PreparedTransactions:
    """The rows of entities 0 .. n - 1 (their ``base`` and ``recent``
    values) as the engine reads them, from the cutoff on: the values
    merged."""
    return native.gather_records([base, recent], cutoff_ms, n_jobs=n_jobs)


def record_count(values: Sequence[Optional[bytes]]) -> int:
    return sum(len(v) for v in values if v is not None) // RECORD.itemsize
