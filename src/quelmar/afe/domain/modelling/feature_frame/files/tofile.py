"""Feature tables written to a file: in memory when the inputs fit the
memory limit, bucket by bucket on disk when they do not.

``write_feature_frame`` is the API of the command line's job. The output is
written while the engine computes (``_stream``), and it appears only whole
(``_writers``). In memory, its rows come in the target table's order; in
buckets, bucket by bucket, each bucket's rows in the target table's order;
``row_number_col`` adds each target's position in its table, by which the
target table's order can be restored.
"""

from __future__ import annotations

import math
import os
import shutil
from typing import Dict, Optional, Tuple

import numpy as np

from ..compute import BuildReport, merged_report, prepare_build
from ..errors import UsageError
from ..params import FeatureParams
from ..support import available_memory, require, resident_bytes, size_text, stage
from . import spill, stream, writers
from .sources import Source, format_of

#: Memory of the engine per transaction besides its input columns: entity
#: codes, the prepared columns and the numbering's scratch.
ENGINE_BYTES_PER_TRANSACTION = 40
ENGINE_BYTES_PER_TARGET = 24
#: Chunks of output alive at once: computed and transposed, queued, and in
#: the writer's hands two tables (one being encoded, one copied out) and
#: their encoded bytes.
OUTPUT_CHUNKS_ALIVE = 2 + writers.QUEUE_DEPTH + 3
#: The share of the available memory taken when no limit is given.
DEFAULT_SHARE = 0.8
_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def parse_memory_limit(text) -> int:
    """Bytes from ``4G``, ``512M``, ``1.5GiB`` or a plain count of bytes."""
    if isinstance(text, (int, np.integer)) and not isinstance(text, bool):
        value, unit = float(text), ""
    else:
        spelled = str(text).strip().upper().replace("IB", "").replace("B", "")
        number = spelled.rstrip("KMGT")
        unit = spelled[len(number):]
        try:
            value = float(number)
        except ValueError:
            value = -1.0
        if unit not in _UNITS:
            value = -1.0
    if not value > 0 or not math.isfinite(value):
        raise UsageError(f"memory limit: expected a size such as 4G, 512M or a count of bytes, got {text!r}")
    return int(value * _UNITS[unit])


def _column_bytes(source: Source) -> Tuple[int, int]:
    """The needed columns' size in memory as Arrow data, and the row count
    (estimated from the file size for CSV)."""
    if source.format == "csv":
        text = source.n_bytes * (4 if source.path.lower().endswith(".gz") else 1)
        return 2 * text, text // 24  # numbers and ids as Arrow data, ~24 characters a line
    pa = require("pyarrow")
    rows = source.n_rows()
    fixed = sum(f.type.bit_width // 8 for f in source.schema if pa.types.is_primitive(f.type))
    variable = 0
    for part in source.parts:
        if source.format == "parquet":
            import pyarrow.parquet as pq

            meta = pq.ParquetFile(part).metadata
            names = meta.schema.names
            for g in range(meta.num_row_groups):
                group = meta.row_group(g)
                for c, name in enumerate(names):
                    if name in source.kinds and not pa.types.is_primitive(source.schema.field(name).type):
                        variable += group.column(c).total_uncompressed_size + 4 * group.num_rows
        else:
            for batch in _ipc_batches(part):
                variable += sum(batch.column(f.name).nbytes for f in source.schema
                                if not pa.types.is_primitive(f.type))
    return fixed * rows + variable, rows


def _ipc_batches(part: str):
    pa = require("pyarrow")
    reader = pa.ipc.open_file(pa.memory_map(part))
    return (reader.get_batch(i) for i in range(reader.num_record_batches))


class MemoryPlan:
    """How a job fits a memory limit: in memory (one bucket) or the
    number of buckets of entities that each fit."""

    def __init__(self, trx: Source, tgt: Optional[Source], limit: Optional[int], n_buckets: Optional[int] = None):
        trx_bytes, trx_rows = _column_bytes(trx)
        tgt_bytes, tgt_rows = _column_bytes(tgt) if tgt is not None else (0, 0)
        self.input_bytes = trx_bytes + tgt_bytes
        self.work = ENGINE_BYTES_PER_TRANSACTION * trx_rows + ENGINE_BYTES_PER_TARGET * tgt_rows
        self.fixed = resident_bytes() + OUTPUT_CHUNKS_ALIVE * stream.CHUNK_BYTES
        self.limit = limit
        if n_buckets is not None:
            self.n_buckets = n_buckets
        elif limit is None or self.fixed + self.input_bytes + self.work <= limit:
            self.n_buckets = 1
        else:
            # a bucket's inputs are mapped from its files and copied once into whole columns
            self.n_buckets = math.ceil((2 * self.input_bytes + self.work) / self.budget())

    def budget(self) -> int:
        budget = self.limit - self.fixed
        if budget < (self.limit >> 3):
            raise UsageError(
                f"memory limit {size_text(self.limit)} is below what one bucket needs: the process takes "
                f"{size_text(self.fixed)} with the output's buffers; give at least {size_text(self.fixed * 9 // 8)}"
            )
        return budget

    def check_disk(self, directory: str) -> None:
        free = shutil.disk_usage(directory).free
        if self.input_bytes > free:
            raise UsageError(f"{directory}: the buckets of entities need about {size_text(self.input_bytes)} of disk, "
                             f"{size_text(free)} are free")

    def check_buckets(self, spilled: "spill.Spilled") -> None:
        """Refuses, before computing, a bucket that would not fit: one that a
        few entities with very many transactions made large."""
        if self.limit is None:
            return
        total = sum(spilled.transactions.rows) + sum(spilled.targets.rows)
        per_row = (2 * self.input_bytes + self.work) / max(total, 1)
        for k, (a, b) in enumerate(zip(spilled.transactions.rows, spilled.targets.rows)):
            need = per_row * (a + b)
            if need > self.budget():
                raise UsageError(
                    f"bucket {k} of {self.n_buckets} holds {a} transactions and {b} targets, about "
                    f"{size_text(int(need))} in memory, above the {size_text(self.budget())} left by the memory limit; "
                    "its entities have many transactions: raise --memory-limit"
                )


def kinds_of(params: FeatureParams) -> Tuple[Dict[str, str], Dict[str, str]]:
    """The needed columns of both tables and how their text is read."""
    trx = {params.entity_col: "id", params.timestamp_col: "timestamp", params.quantity_col: "float"}
    if params.dimension_col:
        trx[params.dimension_col] = "int"
    return trx, {params.entity_col_of_targets: "id", params.target_date_col: "timestamp"}


def write_feature_frame(transactions, targets, output, params: Optional[FeatureParams] = None, /, *,
                        memory_limit=None, progress: bool = False, row_number_col: Optional[str] = None,
                        **options) -> BuildReport:
    """Write the features of ``build_feature_frame`` to ``output`` (a .csv,
    .csv.gz, .parquet, .arrow or .feather file) while they are computed.

    ``transactions`` and ``targets`` are file names (CSV, Parquet, Arrow
    IPC, or a directory of parts) or in-memory tables. Files whose needed
    columns would not fit ``memory_limit`` (bytes, or a size such as "4G";
    default: most of the memory available) are split into buckets of
    entities in a temporary directory beside the output and computed bucket
    by bucket; the rows then come bucket by bucket (``row_number_col`` names
    a column of each target's position in its table). Returns what the
    command line's summary line reports.
    """
    params = FeatureParams.from_options(params, options, "write_feature_frame")
    output = os.fspath(output)
    writers.check_output(output)
    check_row_number(params, row_number_col)
    limit = available_limit(memory_limit)
    if not isinstance(transactions, (str, os.PathLike)) or not isinstance(targets, (str, os.PathLike)):
        job = prepare_build(transactions, targets, params, progress=progress)
        return write_in_memory(job, output, progress, row_number_col)
    trx_kinds, tgt_kinds = kinds_of(params)
    trx, tgt = Source(os.fspath(transactions), trx_kinds), Source(os.fspath(targets), tgt_kinds)
    return write_files(trx, tgt, output, params, MemoryPlan(trx, tgt, limit), progress, row_number_col)


def available_limit(memory_limit) -> Optional[int]:
    if memory_limit is not None:
        return parse_memory_limit(memory_limit)
    available = available_memory()
    return None if available is None else int(available * DEFAULT_SHARE)


def check_row_number(params: FeatureParams, row_number_col: Optional[str]) -> None:
    if row_number_col in (params.entity_col_of_targets, params.target_date_col):
        raise UsageError(f"row number column: {row_number_col!r} is already the name of a target column")


def write_files(trx: Source, tgt: Source, output: str, params: FeatureParams, plan: MemoryPlan,
                progress: bool = False, row_number_col: Optional[str] = None) -> BuildReport:
    """The job over files: checked inputs, in memory or in buckets."""
    names = (trx.path, tgt.path)
    if plan.n_buckets == 1:
        first_lines = (trx.first_line, tgt.first_line)
        job = prepare_build(trx.read(progress), tgt.read(progress), params, progress=progress, names=names,
                            first_lines=first_lines)
        return write_in_memory(job, output, progress, row_number_col)
    directory = os.path.dirname(os.path.abspath(output)) if output != "-" else None
    with spill.bucket_directory(output) as spill_dir:
        plan.check_disk(directory or spill_dir)
        spilled = spill.spill(trx, tgt, params, plan.n_buckets, spill_dir, progress)
        plan.check_buckets(spilled)
        reports = []
        total = sum(spilled.targets.rows)
        with stage(progress, f"computing {plan.n_buckets} buckets", total=total, unit="target") as bar, \
                writers.output(output) as put:
            done = 0
            for job, rows in spill.buckets(spilled, names):
                stream.write_chunks(job, put, bar, done=done, row_numbers=rows, row_number_col=row_number_col,
                                     busy_writer=_busy_writer(output))
                done += job.n_targets
                reports.append(job.report)
        return merged_report(reports, spilled.dropped)


def write_in_memory(job, output: str, progress: bool, row_number_col: Optional[str]) -> BuildReport:
    rows = np.arange(job.n_targets, dtype=np.int64) if row_number_col else None
    where = "stdout" if output == "-" else os.path.basename(output)
    with stage(progress, f"computing and writing {where}", total=job.n_targets, unit="target") as bar, \
            writers.output(output) as put:
        stream.write_chunks(job, put, bar, row_numbers=rows, row_number_col=row_number_col,
                             busy_writer=_busy_writer(output))
    return job.report


def _busy_writer(output: str) -> bool:
    return output == "-" or format_of(output) != "arrow"
