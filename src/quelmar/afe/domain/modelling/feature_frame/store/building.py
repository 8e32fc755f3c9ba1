"""The transactions a store is made from, in parts that fit in memory.

A table in memory is one part. A file (or directory of parts) whose
columns fit the memory limit is read whole; a larger one is split into
buckets of entities on disk first (the command line's bucket path), every
row checked on the way, and each bucket is one part. An entity's rows are
all in one part, so each part writes its own entities.
"""

from __future__ import annotations

import contextlib
import os
from typing import Iterator, List, NamedTuple, Optional

from ..files import MemoryPlan, Source, available_limit, kinds_of, spill_transactions
from ..input import InputTable, Transactions
from ..params import FeatureParams
from ..support import stopping


class Parts(NamedTuple):
    """The parts of a transaction input and what is known of all of them."""

    first: Transactions  # the first part, read
    rest: Iterator[Transactions]
    codes: List[int]  # the dimension codes present in every part
    newest_ms: Optional[int]


def _read(table, what: str, params: FeatureParams, first_line: Optional[int] = None) -> Transactions:
    return Transactions(InputTable(table, what, params.transaction_columns(), first_line), params, params.jobs())


@contextlib.contextmanager
def transaction_parts(transactions, params: FeatureParams, memory_limit=None, progress: bool = False,
                      buckets: Optional[int] = None, work_dir: Optional[str] = None) -> Iterator[Parts]:
    """The parts of ``transactions``: a table, or a file or directory name
    (in ``buckets`` buckets of entities when given, else as many as the
    memory limit asks for). Buckets live in a temporary directory in
    ``work_dir`` (default: the system's), removed when the block ends."""
    if not isinstance(transactions, (str, os.PathLike)):
        trx = _read(transactions, "transactions", params)
        yield Parts(trx, iter(()), [int(c) for c in trx.codes.present], trx.times.latest)
        return
    source = Source(os.fspath(transactions), kinds_of(params)[0])
    plan = MemoryPlan(source, None, available_limit(memory_limit), buckets)
    if plan.n_buckets == 1:
        trx = _read(source.read(progress), source.path, params, source.first_line)
        yield Parts(trx, iter(()), [int(c) for c in trx.codes.present], trx.times.latest)
        return
    with stopping.temporary_directory(work_dir, ".store-buckets-") as directory:
        plan.check_disk(directory)
        spilled = spill_transactions(source, params, plan.n_buckets, directory, progress)
        # every row was checked by the pass, so the parts find no fault a file line would name
        tables = (_read(table, source.path, params) for table in spilled.tables())
        first = next(tables, None)
        if first is None:
            first = _read(spilled.files.schema.empty_table(), source.path, params)
        codes = spilled.codes if params.dimension_col else [0]
        yield Parts(first, tables, codes, spilled.newest_ms)
