"""The files layer: tables read from CSV, Parquet and Arrow files in
batches, features written to files while they are computed, and the
buckets of entities on disk for tables larger than memory."""

from .sources import ARROW, CSV, PARQUET, Source, format_of, read_table
from .spill import SpilledTransactions, bucket_directory, spill_transactions
from .stream import chunk_rows, write_chunks
from .tofile import (MemoryPlan, available_limit, check_row_number, kinds_of, parse_memory_limit,
    write_feature_frame, write_files, write_in_memory)
from .writers import TableWriter, atomic_path, check_output, disk_error, output

__all__ = [
    "ARROW", "CSV", "MemoryPlan", "PARQUET", "Source", "SpilledTransactions", "TableWriter", "atomic_path",
    "available_limit", "bucket_directory", "check_output", "check_row_number", "chunk_rows", "disk_error",
    "format_of", "kinds_of", "output", "parse_memory_limit", "read_table", "spill_transactions",
    "write_chunks", "write_feature_frame", "write_files", "write_in_memory",
]
