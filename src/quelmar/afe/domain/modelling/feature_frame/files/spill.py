"""Tables larger than memory: buckets of entities on disk.

One pass over each input file sends every row to the bucket of its
entity (a hash of the id, the same for both tables), as Arrow IPC files in
a temporary directory; the pass also checks every row, so that a bad value
is reported with its line before anything is computed, and collects the
dimension codes present. Then each bucket is an ordinary in-memory build
whose rows are appended to the output. An entity's features depend on its
own transactions alone, and every bucket gets the column layout of the
whole table, so the cells are those of one in-memory build.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import tempfile
from typing import Iterator, List, Optional, Tuple

import numpy as np

from ..compute import BuildReport, feature_columns, merged_report, prepare_build
from ..errors import UsageError
from ..input import IdColumn, InputTable, MissingQuantities, Targets, Transactions, check_comparable
from ..params import FeatureParams
from ..support import require, stage, stopping
from .sources import Source
from .writers import disk_error

#: Column of a target bucket holding the target's position in its table.
ROW = "__row"
#: Rows gathered per bucket before they are written, so that the IPC files
#: hold batches of a useful size.
FLUSH_ROWS = 1 << 16
#: Above this many buckets the open files and the small batches cost more
#: than they save; a memory limit that asks for more is refused.
MAX_BUCKETS = 512


def buckets_of(ids: IdColumn, n_buckets: int) -> np.ndarray:
    """The bucket of every id, 0 .. n_buckets - 1 (at most ``MAX_BUCKETS``):
    its hash modulo the bucket count, the part ``write_partitioned`` would
    give it, so that equal ids of both tables meet."""
    buckets = ids.hashes() % np.uint64(n_buckets)
    return buckets.astype(np.uint16)  # NumPy's stable sort of 16-bit integers is a radix sort


class _BucketFiles:
    """One IPC file per bucket, written through small buffers."""

    def __init__(self, directory: str, stem: str, n_buckets: int):
        self.paths = [os.path.join(directory, f"{stem}-{k}.arrow") for k in range(n_buckets)]
        self.rows = [0] * n_buckets
        self._writers: List = [None] * n_buckets
        self._pending: List[List] = [[] for _ in range(n_buckets)]
        self._pending_rows = [0] * n_buckets
        self.schema = None

    def add(self, batch, buckets: np.ndarray) -> None:
        pa = require("pyarrow")
        if self.schema is None:
            self.schema = batch.schema
        order = np.argsort(buckets, kind="stable")
        counts = np.bincount(buckets, minlength=len(self.paths))
        grouped = batch.take(pa.array(order))
        start = 0
        for k in np.flatnonzero(counts):
            n = int(counts[k])
            self._pending[k].append(grouped.slice(start, n))
            self._pending_rows[k] += n
            start += n
            if self._pending_rows[k] >= FLUSH_ROWS:
                self._flush(k)

    def _flush(self, k: int) -> None:
        pa = require("pyarrow")
        if not self._pending[k]:
            return
        if self._writers[k] is None:
            self._writers[k] = pa.ipc.new_file(self.paths[k], self.schema)
        table = pa.Table.from_batches(self._pending[k], schema=self.schema).combine_chunks()
        self._writers[k].write_table(table)
        self.rows[k] += table.num_rows
        self._pending[k], self._pending_rows[k] = [], 0

    def close(self) -> None:
        for k in range(len(self.paths)):
            self._flush(k)
            if self._writers[k] is not None:
                self._writers[k].close()
                self._writers[k] = None

    def read(self, k: int):
        """Bucket ``k`` as a Table whose fixed-width columns are whole."""
        if self.rows[k] == 0:
            return self.schema.empty_table()
        # text columns stay as they are ("id"): the pass has converted them
        return Source(self.paths[k], {name: "id" for name in self.schema.names}).read()


@dataclasses.dataclass
class Spilled:
    """The buckets of both tables and what the pass found."""

    transactions: _BucketFiles
    targets: _BucketFiles
    params: FeatureParams  # with the dimension values of the whole table
    dropped: int


@contextlib.contextmanager
def bucket_directory(output: str) -> Iterator[str]:
    """A temporary directory beside the output (or in the system's temporary
    directory for standard output), removed on leaving however it is left."""
    where = tempfile.gettempdir() if output == "-" else os.path.dirname(os.path.abspath(output))
    name = "features" if output == "-" else os.path.basename(output)
    with stopping.temporary_directory(where, f".{name}.buckets-") as directory:
        yield directory


def spill(trx: Source, tgt: Source, params: FeatureParams, n_buckets: int, directory: str,
          progress: bool = False) -> Spilled:
    """Both tables split into ``n_buckets`` buckets of entities under
    ``directory``, every row checked on the way."""
    if n_buckets > MAX_BUCKETS:
        raise UsageError(f"the memory limit asks for {n_buckets} buckets of entities, more than {MAX_BUCKETS}; "
                         "raise --memory-limit")
    trx_batches, tgt_batches = trx.batches(), tgt.batches()
    first_trx, first_tgt = next(trx_batches, None), next(tgt_batches, None)
    for source, first in ((trx, first_trx), (tgt, first_tgt)):
        if first is None:
            raise UsageError(f"{source.path}: the table is empty (no data rows)")
    ent, tgt_ent = params.entity_col, params.entity_col_of_targets
    # the id types of both tables must compare, as in memory
    check_comparable(IdColumn(InputTable(first_trx.slice(0, 1), trx.path, [ent]), ent),
                     IdColumn(InputTable(first_tgt.slice(0, 1), tgt.path, [tgt_ent]), tgt_ent))
    try:
        trx_files = _BucketFiles(directory, "transactions", n_buckets)
        codes, missing, _ = _spill_transactions(trx, _chain(first_trx, trx_batches), params, trx_files, progress)
        trx_files.close()
        tgt_files = _BucketFiles(directory, "targets", n_buckets)
        _spill_targets(tgt, _chain(first_tgt, tgt_batches), params, tgt_files, progress)
        tgt_files.close()
    except OSError as exc:
        raise disk_error(exc, directory) from None
    for source, files in ((trx, trx_files), (tgt, tgt_files)):
        if not sum(files.rows):
            raise UsageError(f"{source.path}: the table is empty (no data rows)")
    if params.dimension_values is None:
        present = codes if params.dimension_col else ([0] if sum(trx_files.rows) else [])
        params = dataclasses.replace(params, dimension_values={int(c): int(c) for c in present})
    # a layout the parameters cannot have is refused before computing
    feature_columns(dict(params.dimension_values), params)
    return Spilled(trx_files, tgt_files, params, missing)


@dataclasses.dataclass
class SpilledTransactions:
    """A transaction table in buckets of entities, and what the pass found."""

    files: _BucketFiles
    codes: List[int]  # the dimension codes present
    dropped: int  # rows with a missing quantity
    newest_ms: Optional[int]

    def tables(self) -> Iterator[object]:
        """Each bucket with transactions, as a table whose rows were checked."""
        for k, n in enumerate(self.files.rows):
            if n:
                yield self.files.read(k)


def spill_transactions(trx: Source, params: FeatureParams, n_buckets: int, directory: str,
                       progress: bool = False) -> SpilledTransactions:
    """A transaction table alone split into ``n_buckets`` buckets of
    entities under ``directory``, every row checked on the way."""
    try:
        files = _BucketFiles(directory, "transactions", n_buckets)
        codes, missing, newest = _spill_transactions(trx, trx.batches(), params, files, progress)
        files.close()
    except OSError as exc:
        raise disk_error(exc, directory) from None
    return SpilledTransactions(files, codes, missing, newest)


def _chain(first, rest):
    yield first
    yield from rest


def _spill_transactions(trx: Source, batches, params: FeatureParams, files: _BucketFiles,
                        progress: bool) -> Tuple[List[int], int, Optional[int]]:
    """The transactions into their buckets; returns the dimension codes
    present, the count of rows with a missing quantity (dropped) and the
    newest timestamp in milliseconds (None for no row)."""
    pa = require("pyarrow")
    n_buckets, jobs = len(files.paths), params.jobs()
    present: set = set()
    newest: Optional[int] = None
    missing = MissingQuantities(params.missing_quantities, params.quantity_col)
    missing.what = trx.path
    seen = 0
    with stage(progress, f"splitting {os.path.basename(trx.path)}", total=trx.n_bytes, unit="B") as bar:
        for batch in _bytes_moving(batches, trx, bar):
            table = InputTable(batch, trx.path, list(trx.kinds), trx.first_line, seen)
            rows = Transactions(table, params, jobs, missing)
            ids = rows.ids  # checked: no missing id
            present.update(int(c) for c in rows.codes.present)
            if rows.times.latest is not None:
                newest = rows.times.latest if newest is None else max(newest, rows.times.latest)
            # The buckets keep quantities as the engine reads them (float32)
            # and dimension codes as int8: fewer bytes to write and read back.
            narrow = {}
            if params.dimension_col:
                narrow[params.dimension_col] = rows.codes.values.astype(np.int8)
            with np.errstate(over="ignore"):  # beyond float32: infinite, as the engine narrows them
                narrow[params.quantity_col] = rows.quantities.astype(np.float32)
            kept = batch if rows.keep is None else batch.filter(pa.array(rows.keep))
            batch = pa.RecordBatch.from_arrays(
                [pa.array(narrow[f.name]) if f.name in narrow else kept.column(i)
                 for i, f in enumerate(kept.schema)], names=kept.schema.names)
            buckets = buckets_of(ids, n_buckets)
            seen += table.n_rows
            files.add(batch, buckets if rows.keep is None else buckets[rows.keep])
    missing.finish(stacklevel=4)
    return sorted(present), missing.count, newest


def _spill_targets(tgt: Source, batches, params: FeatureParams, files: _BucketFiles, progress: bool) -> None:
    pa = require("pyarrow")
    seen = 0
    with stage(progress, f"splitting {os.path.basename(tgt.path)}", total=tgt.n_bytes, unit="B") as bar:
        for batch in _bytes_moving(batches, tgt, bar):
            table = InputTable(batch, tgt.path, list(tgt.kinds), tgt.first_line, seen)
            rows = Targets(table, params)  # checked: every target date
            buckets = buckets_of(rows.ids, len(files.paths))
            numbered = batch.append_column(ROW, pa.array(np.arange(seen, seen + batch.num_rows, dtype=np.int64)))
            seen += batch.num_rows
            files.add(numbered, buckets)


def _bytes_moving(batches, source: Source, bar):
    """The batches, moving ``bar`` by the share of the file each stands for."""
    total, size, rows, moved = source.n_rows(), source.n_bytes, 0, 0
    for batch in batches:
        rows += batch.num_rows
        if total:
            position = size * min(rows, total) // total
            bar.update(position - moved)
            moved = position
        yield batch


def buckets(spilled: Spilled, names: Tuple[str, str]) -> Iterator[Tuple[object, np.ndarray]]:
    """Each bucket that has targets as a prepared build, with the targets'
    positions in their table. Every row was checked by the pass, so the
    builds find no fault that a file line would have to name."""
    for k, n_targets in enumerate(spilled.targets.rows):
        if not n_targets:
            continue
        tgt = spilled.targets.read(k)
        rows = tgt.column(ROW).to_numpy()
        job = prepare_build(spilled.transactions.read(k), tgt.drop_columns([ROW]), spilled.params, names=names)
        yield job, rows
