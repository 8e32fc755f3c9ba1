"""Input files of the command line: CSV, Parquet and Arrow IPC, read in batches.

A table is one file or a directory of parts of one format. Only the needed
columns are read, and each batch is converted as it arrives (CSV text to
numbers and timestamps), so a caller may spill batches to disk instead of
keeping them. Every fault is a ``UsageError`` naming the file, the column
and, for a bad value, its line or row.
"""

from __future__ import annotations

import os
from typing import Dict, Iterator, List, Optional

from ..errors import MissingColumnError, UsageError
from ..support import require, stage
from .readahead import read_ahead
from .text import TextColumns

CSV = (".csv", ".csv.gz", ".txt")
PARQUET = (".parquet", ".pq")
ARROW = (".arrow", ".feather", ".ipc")
#: Bytes per block of the streaming CSV reader.
CSV_BLOCK_BYTES = 1 << 20
#: Rows per batch of the Parquet reader.
PARQUET_BATCH_ROWS = 1 << 16


def format_of(path: str) -> Optional[str]:
    """"csv", "parquet", "arrow" or None, by the file name's ending."""
    lower = path.lower()
    for name, endings in (("csv", CSV), ("parquet", PARQUET), ("arrow", ARROW)):
        if lower.endswith(endings):
            return name
    return None


class Source:
    """One input table: a file, or a directory whose files of one format are
    its parts (read in name order). Opening checks that the parts exist, share
    a format and, for Parquet and Arrow, that every needed column has the same
    type in every part, before a row is read."""

    def __init__(self, path: str, kinds: Dict[str, str]):
        self.path = path
        self.kinds = kinds
        if os.path.isdir(path):
            names = sorted(n for n in os.listdir(path) if not n.startswith((".", "_")) and format_of(n))
            if not names:
                raise UsageError(f"{path}: a directory without .csv, .parquet or .arrow parts")
            self.parts = [os.path.join(path, n) for n in names]
        elif os.path.exists(path):
            self.parts = [path]
        else:
            raise UsageError(f"{path}: no such file")
        formats = {format_of(p) for p in self.parts}
        if None in formats:
            raise UsageError(f"{path}: unknown table format; use .csv, .csv.gz, .parquet, .arrow or .feather")
        if len(formats) > 1:
            raise UsageError(f"{path}: parts of different formats ({', '.join(sorted(formats))})")
        self.format = formats.pop()
        self.first_line = 2 if self.format == "csv" else None
        self.schema = self._common_schema() if self.format != "csv" else None

    @property
    def n_bytes(self) -> int:
        return sum(os.path.getsize(p) for p in self.parts)

    def _common_schema(self):
        pa = require("pyarrow")
        first = None
        for part in self.parts:
            schema = self._schema(part)
            _require_columns(part, schema.names, self.kinds)
            fields = pa.schema([schema.field(name) for name in self.kinds])
            if first is None:
                first = (part, fields)
                continue
            for name in self.kinds:
                a, b = first[1].field(name).type, fields.field(name).type
                if a != b:
                    raise UsageError(f"{self.path}: column {name!r} is {b} in {os.path.basename(part)} "
                                     f"but {a} in {os.path.basename(first[0])}; write every part with one schema")
        return first[1]

    def _schema(self, part: str):
        pa = require("pyarrow")
        try:
            if self.format == "parquet":
                import pyarrow.parquet as pq

                return pq.read_schema(part)
            return _open_ipc(part).schema
        except (pa.ArrowInvalid, OSError) as exc:
            raise UsageError(f"{part}: not a readable {self.format.capitalize()} file: {exc}") from None

    def n_rows(self) -> Optional[int]:
        """The row count from the files' metadata, or None for CSV."""
        if self.format == "parquet":
            import pyarrow.parquet as pq

            return sum(pq.ParquetFile(p).metadata.num_rows for p in self.parts)
        if self.format == "arrow":
            total = 0
            for part in self.parts:
                reader = _open_ipc(part)
                total += sum(reader.get_batch(i).num_rows for i in range(reader.num_record_batches))
            return total
        return None

    def batches(self, progress=None) -> Iterator:
        """The needed columns as converted RecordBatches, in file order;
        ``progress`` (a stage) advances by the bytes read."""
        done = 0
        for batch, position in read_ahead(self._converted()):
            yield batch
            if progress is not None:
                progress.update(position - done)
                done = position

    def _converted(self) -> Iterator:
        """The converted batches and how far into the table each ends (in
        bytes, counted over the parts)."""
        columns = TextColumns(self.kinds, self.first_line)
        reading = {"csv": _csv_batches, "parquet": _parquet_batches, "arrow": _arrow_batches}[self.format]
        before = 0
        for part in self.parts:
            columns.path = part if len(self.parts) > 1 else self.path
            position = 0
            for batch, position in reading(part, columns.path, self.kinds):
                yield columns.convert(batch), before + position
            before += position

    def read(self, progress: bool = False):
        """The whole table (pyarrow), refused when it has no rows. Columns
        of fixed width are gathered into one buffer each as the batches
        arrive, so that the engine views them whole and no batch outlives
        its copy."""
        pa = require("pyarrow")
        n_rows = self.n_rows()
        gathered = _Gathered(self.schema, n_rows) if n_rows else None
        batches = []
        with stage(progress, f"reading {os.path.basename(self.path)}", total=self.n_bytes,
                             unit="B") as bar:
            for batch in self.batches(bar):
                if gathered is not None:
                    batch = gathered.add(batch)
                batches.append(batch)
        if sum(b.num_rows for b in batches) == 0:
            raise UsageError(f"{self.path}: the table is empty (no data rows)")
        table = pa.Table.from_batches(batches)
        return gathered.table(table) if gathered is not None else table


class _Gathered:
    """Fixed-width columns copied batch by batch into one buffer each (the
    bits as they are, nulls kept in a mask); the other columns stay as the
    batches hold them."""

    def __init__(self, schema, n_rows: int):
        pa = require("pyarrow")
        np = require("numpy")
        self.n_rows, self.position = n_rows, 0
        self.types = {f.name: f.type for f in schema}
        self.width = {f.name: f.type.bit_width // 8 for f in schema
                      if pa.types.is_primitive(f.type) and f.type.bit_width in (8, 16, 32, 64)}
        self.data = {name: np.empty(n_rows * width, dtype=np.uint8) for name, width in self.width.items()}
        self.valid: Dict[str, object] = {}

    def add(self, batch):
        """Copies the fixed-width columns of ``batch``; returns the rest of it."""
        np = require("numpy")
        n, start = batch.num_rows, self.position
        for name, width in self.width.items():
            array = batch.column(batch.schema.get_field_index(name))
            unit = np.dtype(f"u{width}")  # the bits as they are, whatever the type
            data = np.frombuffer(array.buffers()[1], dtype=unit, count=array.offset + n)
            self.data[name].view(unit)[start:start + n] = data[array.offset:]
            if array.null_count:
                if name not in self.valid:
                    self.valid[name] = np.ones(self.n_rows, dtype=bool)
                self.valid[name][start:start + n] = array.is_valid().to_numpy(zero_copy_only=False)
        self.position += n
        return batch.select([c for c in batch.schema.names if c not in self.width])

    def table(self, rest):
        pa = require("pyarrow")
        np = require("numpy")
        n = self.position
        columns = {name: rest.column(name) if name in rest.column_names else None for name in self.types}
        for name in self.width:
            valid = self.valid.get(name)
            bitmap = None if valid is None else pa.py_buffer(np.packbits(valid[:n], bitorder="little"))
            columns[name] = pa.Array.from_buffers(self.types[name], n, [bitmap, pa.py_buffer(self.data[name])],
                                                  null_count=-1 if valid is not None else 0)
        return pa.table(columns)


def read_table(path: str, kinds: Dict[str, str], progress: bool = False):
    """The columns ``kinds`` (name -> "id", "timestamp", "float" or "int") of
    a CSV, Parquet or Arrow file (or directory of parts) as a pyarrow Table.
    CSV text is converted here: ids stay text, timestamps are integers or
    ISO-8601 dates (naive ones taken as UTC), the rest numbers."""
    return Source(path, kinds).read(progress)


def _open_ipc(part: str):
    pa = require("pyarrow")
    # read, not mapped: the batches are copied into whole columns and freed,
    # where mapped pages would stay resident until the whole file is closed
    source = pa.OSFile(part)
    try:
        return pa.ipc.open_file(source)
    except pa.ArrowInvalid:
        return pa.ipc.open_stream(source).read_all().to_reader()


def _csv_batches(part: str, path: str, kinds: Dict[str, str]):
    """Batches of a CSV file and the bytes read so far."""
    pa = require("pyarrow")
    import pyarrow.csv as pacsv

    import csv
    import gzip

    with open(part, "rb") as raw:

        def opened():
            return gzip.GzipFile(fileobj=raw) if path.lower().endswith(".gz") else raw

        try:
            header = next(csv.reader([opened().readline().decode("utf-8-sig")]), [])
        except (OSError, UnicodeDecodeError) as exc:
            raise UsageError(f"{path}: not a readable CSV file: {exc}") from None
        if not header:
            raise UsageError(f"{path}: the file is empty (not even a header line)")
        _require_columns(path, header, kinds)
        raw.seek(0)
        stream = opened()
        try:
            reader = pacsv.open_csv(
                stream,
                read_options=pacsv.ReadOptions(block_size=CSV_BLOCK_BYTES),
                # every needed column is read as text and converted per batch, so
                # that a type is never guessed from the first block alone and a bad
                # value can be reported with its line
                convert_options=pacsv.ConvertOptions(
                    column_types={name: pa.string() for name in kinds},
                    include_columns=list(kinds),
                    strings_can_be_null=True,
                ),
            )
        except pa.ArrowInvalid as exc:
            if "Empty CSV file" in str(exc):
                raise UsageError(f"{path}: the file is empty (not even a header line)") from None
            raise UsageError(f"{path}: not a readable CSV file: {exc}") from None
        try:
            for batch in reader:
                yield batch, raw.tell()
        except pa.ArrowInvalid as exc:
            raise UsageError(f"{path}: not a readable CSV file: {exc}") from None


def _parquet_batches(part: str, path: str, kinds: Dict[str, str]):
    """Batches of a Parquet file (read by Arrow itself, on its threads) and
    the bytes they stand for."""
    pa = require("pyarrow")
    import pyarrow.parquet as pq

    try:
        parquet = pq.ParquetFile(part)
    except (pa.ArrowInvalid, OSError) as exc:
        raise UsageError(f"{path}: not a readable Parquet file: {exc}") from None
    _require_columns(path, parquet.schema_arrow.names, kinds)
    size, rows, done = os.path.getsize(part), max(parquet.metadata.num_rows, 1), 0
    # A row group at a time: a reader over every row group keeps all that it
    # has read until it ends, so that memory would grow with the file.
    for group in range(parquet.metadata.num_row_groups):
        for batch in parquet.iter_batches(batch_size=PARQUET_BATCH_ROWS, row_groups=[group], columns=list(kinds)):
            done += batch.num_rows
            yield batch, size * done // rows


def _arrow_batches(part: str, path: str, kinds: Dict[str, str]):
    reader = _open_ipc(part)
    _require_columns(path, reader.schema.names, kinds)
    size, n = os.path.getsize(part), reader.num_record_batches
    for i in range(n):
        yield reader.get_batch(i).select(list(kinds)), size * (i + 1) // n


def _require_columns(path: str, names: List[str], kinds: Dict[str, str]) -> None:
    for col in kinds:
        if col not in names:
            raise MissingColumnError(path, col, names)
