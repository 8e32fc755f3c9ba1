"""Features computed chunk by chunk and handed to a writer as Arrow tables.

The targets of one prepared build are computed a chunk at a time; each
chunk's float32 matrix becomes an Arrow table (one transposing copy, so
that every feature column is contiguous) that the writer thread encodes
while the engine computes the next chunk. With the default thread count
the engine leaves one core to the writer. The cells are those of
``build_feature_frame``: the same engine call on a range of targets.
"""

from __future__ import annotations

from typing import Callable, Optional

import numpy as np

from ..compute import PreparedBuild
from ..support import require

#: Bytes of feature cells per chunk: large enough for good Parquet row
#: groups, small enough that two chunks in flight stay a small part of memory.
CHUNK_BYTES = 32 << 20
MAX_CHUNK_ROWS = 1 << 18


def chunk_rows(n_columns: int) -> int:
    return int(max(1024, min(MAX_CHUNK_ROWS, CHUNK_BYTES // (4 * max(n_columns, 1)))))


class _Range:
    """A progress stage seen by one chunk: the engine's reports move the
    bar over [start, stop) of the whole run."""

    def __init__(self, stage, start: int, stop: int):
        self.total_units = stop - start
        self._stage, self._start = stage, start

    def follow(self, start: int, stop: int):
        return self._stage.follow(self._start + start, self._start + stop)


def engine_jobs(job: PreparedBuild, busy_writer: bool) -> int:
    """Threads of the engine: as asked, else every core but one for a
    writer that encodes (Parquet, CSV) and every core for one that mostly
    copies (Arrow IPC)."""
    jobs = job.params.jobs()
    if job.params.n_jobs is None and busy_writer and jobs > 1:
        return jobs - 1
    return jobs


def write_chunks(job: PreparedBuild, put: Callable, progress, *, done: int = 0, row_numbers=None,
                 row_number_col: Optional[str] = None, busy_writer: bool = True) -> None:
    """Computes every target of ``job`` and passes the chunks to ``put``;
    ``progress`` (a stage over all targets of the run) advances from
    ``done``. ``row_numbers`` (int64, one per target) become the first
    column, ``row_number_col``, when it is given."""
    pa = require("pyarrow")
    names = job.layout.names
    step = chunk_rows(len(names))
    jobs = engine_jobs(job, busy_writer)
    ent_col, date_col = job.params.entity_col_of_targets, job.params.target_date_col
    keys = [job.tgt.output_arrow(ent_col), job.tgt.output_arrow(date_col)]
    for start in range(0, job.n_targets, step):
        stop = min(start + step, job.n_targets)
        out = job.compute(start, stop, _Range(progress, done + start, done + stop), n_jobs=jobs)
        columns = _transposed(out)
        del out
        arrays = [key.slice(start, stop - start) for key in keys]
        arrays += [pa.array(column) for column in columns]  # views of the transposed chunk
        header = [ent_col, date_col] + names
        if row_number_col is not None:
            arrays.insert(0, pa.array(row_numbers[start:stop]))
            header.insert(0, row_number_col)
        put(pa.Table.from_arrays(arrays, names=header))


def _transposed(matrix: np.ndarray, block: int = 1024) -> np.ndarray:
    """``matrix.T`` as a C-contiguous array, copied a block of rows at a
    time so that both sides stay in cache (three times the speed of one
    strided copy)."""
    out = np.empty((matrix.shape[1], matrix.shape[0]), dtype=matrix.dtype)
    for start in range(0, matrix.shape[0], block):
        out[:, start:start + block] = matrix[start:start + block].T
    return out
