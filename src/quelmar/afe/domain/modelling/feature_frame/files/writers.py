"""Output files written while the features are computed: CSV, Parquet and
Arrow IPC, from Arrow tables of a few hundred thousand rows each.

A file appears only complete: it is written to a hidden temporary file in
its own directory and renamed over the output at the end; on any failure
(a full disk too) or Ctrl-C the temporary file is removed and an older
output is left as it was. Encoding runs on a writer thread of its own, so
that the engine computes the next chunk of targets meanwhile.
"""

from __future__ import annotations

import contextlib
import csv
import errno
import io
import os
import queue
import sys
import tempfile
import threading
from typing import Iterator, Optional

from ..errors import UsageError
from ..support import require, stopping
from . import parquet_join
from .sources import format_of

#: Chunks waiting for the writer thread; a bound keeps memory flat when
#: writing is slower than computing.
QUEUE_DEPTH = 2
#: Threads encoding Parquet row groups side by side.
PARQUET_ENCODERS = max(1, min(os.cpu_count() or 1, 4))


def check_output(path: str) -> None:
    """Refuses an output the run could not write, before anything is read."""
    if path == "-":
        return
    if os.path.isdir(path):
        raise UsageError(f"{path}: is a directory; give a file name")
    if format_of(path) is None:
        raise UsageError(f"{path}: unknown output format; use a .csv, .csv.gz, .parquet, .arrow or .feather file")
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise UsageError(f"{path}: directory {directory} does not exist")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise UsageError(f"{path}: directory {directory} is not writable")


def disk_error(exc: OSError, path: str) -> OSError:
    """A full disk said plainly, naming the output; other errors as they are."""
    if exc.errno == errno.ENOSPC or "No space left" in str(exc):
        where = os.path.dirname(os.path.abspath(path))
        return OSError(errno.ENOSPC, f"{path}: the disk of {where} is full; no output was written")
    return exc


@contextlib.contextmanager
def atomic_path(path: str) -> Iterator[str]:
    """A temporary path beside ``path``, renamed over it when the block ends
    normally and removed when it does not."""
    directory, name = os.path.split(os.path.abspath(path))
    temporary = None
    try:
        with stopping.held():  # the file made is the file removed
            fd, temporary = tempfile.mkstemp(dir=directory, prefix=f".{name}.", suffix=".tmp")
            os.close(fd)
        yield temporary
        with stopping.held():
            stopping.check()  # a stop asked for while writing: the output does not appear
            mask = os.umask(0)
            os.umask(mask)
            os.chmod(temporary, 0o666 & ~mask)  # as an ordinary new file, not mkstemp's 0600
            os.replace(temporary, path)
            stopping.finished()
    except OSError as exc:
        with stopping.held():
            _remove(temporary)
        raise disk_error(exc, path) from None
    except BaseException:
        with stopping.held():
            _remove(temporary)
        raise


def _remove(path: Optional[str]) -> None:
    if path is not None:  # None: not made
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


class TableWriter:
    """Appends Arrow tables of one schema to a CSV, Parquet or Arrow IPC
    sink (a path, or a binary file for CSV). Parquet float columns are
    written without dictionary encoding, which float features never repay;
    each table is a row group, encoded on one of ``PARQUET_ENCODERS``
    threads where pyarrow's row groups can be moved (the file then has the
    bytes of pyarrow's own writer), else on the writer thread."""

    def __init__(self, sink, kind: str, compressed: bool = False):
        self.sink, self.kind, self.compressed = sink, kind, compressed
        self._writer = None

    def write(self, table) -> None:
        if self._writer is None:
            self._writer = self._open(table)
        if self.kind == "parquet":
            self._writer.write(table)
        elif self.kind == "arrow":
            self._writer.write_table(table)
        else:
            self._write_csv(table)

    def _open(self, table):
        pa = require("pyarrow")
        schema = table.schema
        if self.kind == "parquet":
            options = {"use_dictionary": [f.name for f in schema if not pa.types.is_floating(f.type)],
                       "compression": "snappy"}
            if PARQUET_ENCODERS > 1 and parquet_join.relocatable(table, **options):
                return parquet_join.JoinedParquetWriter(self.sink, PARQUET_ENCODERS, **options)
            return _OneParquetWriter(self.sink, schema, **options)
        if self.kind == "arrow":
            return pa.ipc.new_file(self.sink, schema)
        if isinstance(self.sink, str):
            stream = pa.OSFile(self.sink, "wb")
            stream = pa.CompressedOutputStream(stream, "gzip") if self.compressed else stream
        else:
            stream = self.sink
        header = io.StringIO()
        csv.writer(header, lineterminator="\n").writerow(schema.names)
        stream.write(header.getvalue().encode("utf-8"))
        return stream

    def _write_csv(self, table) -> None:
        import pyarrow.compute as pc
        import pyarrow.csv as pacsv

        # a missing feature is an empty field, as pandas and most readers
        # take it (Arrow would write NaN as "nan")
        pa = require("pyarrow")
        columns = [pc.if_else(pc.is_nan(c), pa.scalar(None, c.type), c) if pa.types.is_floating(c.type) else c
                   for c in table.columns]
        table = pa.Table.from_arrays(columns, names=table.column_names)

        # Arrow quotes every text value unless told not to; quotes only
        # where a value holds a separator, a quote or a line break
        style = "needed" if _needs_quotes(table) else "none"
        pacsv.write_csv(table, self._writer, pacsv.WriteOptions(include_header=False, quoting_style=style))

    def close(self) -> None:
        if self._writer is not None and (self.kind != "csv" or isinstance(self.sink, str)):
            self._writer.close()

    def abandon(self) -> None:
        """Stops writing after a failure: the file is left to be removed."""
        if self.kind == "parquet" and self._writer is not None:
            self._writer.abandon()
        else:
            self.close()


class _OneParquetWriter:
    """pyarrow's Parquet writer, encoding on the calling thread."""

    def __init__(self, path: str, schema, **options):
        import pyarrow.parquet as pq

        self._writer = pq.ParquetWriter(path, schema, **options)

    def write(self, table) -> None:
        self._writer.write_table(table, row_group_size=max(table.num_rows, 1))

    def close(self) -> None:
        self._writer.close()

    abandon = close


def _needs_quotes(table) -> bool:
    pa = require("pyarrow")
    import pyarrow.compute as pc

    for column in table.columns:
        if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
            if pc.any(pc.match_substring_regex(column, '[",\r\n]')).as_py():
                return True
    return False


class _Thread:
    """Runs ``write`` on every queued table in a thread of its own; a
    failure there is raised again in the caller's next call."""

    def __init__(self, write):
        self._write = write
        self._queue: "queue.Queue" = queue.Queue(maxsize=QUEUE_DEPTH)
        self._error: Optional[BaseException] = None
        self._stop = threading.Event()
        # set when the thread is done; waited on instead of join(), which a
        # signal's exception can leave unable to see the thread end (before
        # CPython 3.11 is_alive() then stays true)
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, name="feature-frame-writer", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            while True:
                item = self._queue.get()
                if item is None or self._stop.is_set():
                    return
                try:
                    self._write(*item)
                except BaseException as exc:  # noqa: BLE001 - handed to the caller's thread
                    self._error = exc
                    self._stop.set()
                    return
        finally:
            self._done.set()

    def put(self, *item) -> None:
        """Queues ``item`` for ``write``; waits while the queue is full."""
        if not self._offer(item, self._stop):
            self._raise()

    def _offer(self, item, unless: threading.Event) -> bool:
        """Puts ``item`` into the queue once there is room, unless ``unless``
        is set first (then False)."""
        while not unless.is_set():
            try:
                self._queue.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def _raise(self) -> None:
        if self._error is not None:
            raise self._error

    def finish(self, abandon: bool = False) -> None:
        if abandon:
            self._stop.set()
            with contextlib.suppress(queue.Empty):
                while True:
                    self._queue.get_nowait()
        self._offer(None, self._done)
        while not self._done.wait(0.1):
            pass
        if not abandon:
            self._raise()


@contextlib.contextmanager
def output(path: str) -> Iterator:
    """A sink for Arrow tables bound for ``path`` (``-``: CSV on standard
    output): ``put(table)`` queues a table for the writer thread. The file
    appears when the block ends normally, never otherwise."""
    if path == "-":
        with _writing(TableWriter(sys.stdout.buffer, "csv")) as put:
            yield put
        sys.stdout.flush()
        return
    with atomic_path(path) as temporary:
        with _writing(TableWriter(temporary, format_of(path), compressed=path.lower().endswith(".gz"))) as put:
            yield put


@contextlib.contextmanager
def _writing(writer: TableWriter) -> Iterator:
    thread = _Thread(writer.write)
    try:
        yield thread.put
        thread.finish()
    except BaseException:
        thread.finish(abandon=True)
        with contextlib.suppress(Exception):
            writer.abandon()
        raise
    writer.close()
