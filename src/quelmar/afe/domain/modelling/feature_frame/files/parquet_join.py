"""One Parquet file encoded by several threads.

pyarrow's Parquet writer encodes a file on one thread. Here every table is
cut into slices of columns, each encoded as a small Parquet file of its own
in memory, on a pool of threads (pyarrow releases the GIL while it
encodes). A row group's column chunks are then copied, in order, one after
another into the output, and the slices' row groups joined into one under
a footer of the whole schema: the layout pyarrow's own writer gives. The
footer is Thrift's compact protocol: it is read into a tree of fields,
every absolute file offset is moved to where its bytes landed, and it is
written back field by field, so fields this module does not know pass
through unchanged.
"""

from __future__ import annotations

import collections
import struct
from concurrent.futures import ThreadPoolExecutor
from typing import Deque, Dict, List, Optional

MAGIC = b"PAR1"

# the compact protocol's type codes
_STOP, _TRUE, _FALSE, _BYTE, _I16, _I32, _I64, _DOUBLE, _BINARY, _LIST, _SET, _MAP, _STRUCT = range(13)
_INTS = (_BYTE, _I16, _I32, _I64)

# field ids of the footer's structures that hold absolute file offsets
_FILE_ROWS, _FILE_ROW_GROUPS = 3, 4
_GROUP_COLUMNS, _GROUP_ROWS, _GROUP_OFFSET, _GROUP_ORDINAL = 1, 3, 5, 7
_GROUP_SIZES = (2, 6)  # uncompressed and compressed bytes: a joined group's are the sums
_GROUP_FIELDS = {_GROUP_COLUMNS, _GROUP_ROWS, _GROUP_OFFSET, _GROUP_ORDINAL, *_GROUP_SIZES}
_CHUNK_PATH, _CHUNK_OFFSET, _CHUNK_META = 1, 2, 3
_CHUNK_PAGE_INDEXES = (4, 6)  # offset and column index: absolute offsets inside them too
_META_OFFSETS = (9, 10, 11, 14)  # data page, index page, dictionary page, bloom filter


class _Struct:
    """A struct's fields in the order read: id -> [type, value]."""

    __slots__ = ("fields",)

    def __init__(self):
        self.fields: Dict[int, list] = {}


class ThriftReader:
    def __init__(self, data: bytes):
        self.data, self.at = memoryview(data), 0

    def byte(self) -> int:
        value = self.data[self.at]
        self.at += 1
        return value

    def varint(self) -> int:
        shift = result = 0
        while True:
            b = self.byte()
            result |= (b & 0x7F) << shift
            if b < 0x80:
                return result
            shift += 7

    def zigzag(self) -> int:
        n = self.varint()
        return (n >> 1) ^ -(n & 1)

    def value(self, kind: int):
        if kind in (_TRUE, _FALSE):  # inside a list a boolean is a byte of its own
            return self.byte()
        if kind == _BYTE:
            return self.byte()
        if kind in (_I16, _I32, _I64):
            return self.zigzag()
        if kind == _DOUBLE:
            raw = bytes(self.data[self.at:self.at + 8])
            self.at += 8
            return raw
        if kind == _BINARY:
            n = self.varint()
            raw = bytes(self.data[self.at:self.at + n])
            self.at += n
            return raw
        if kind in (_LIST, _SET):
            head = self.byte()
            n, element = head >> 4, head & 0x0F
            if n == 15:
                n = self.varint()
            return element, [self.value(element) for _ in range(n)]
        if kind == _MAP:
            n = self.varint()
            if n == 0:
                return 0, 0, []
            head = self.byte()
            k, v = head >> 4, head & 0x0F
            return k, v, [(self.value(k), self.value(v)) for _ in range(n)]
        if kind == _STRUCT:
            return self.struct()
        raise ValueError(f"unknown Thrift compact type {kind}")

    def struct(self) -> _Struct:
        out, last = _Struct(), 0
        while True:
            head = self.byte()
            kind = head & 0x0F
            if kind == _STOP:
                return out
            delta = head >> 4
            field = last + delta if delta else self.zigzag()
            out.fields[field] = [kind, None if kind in (_TRUE, _FALSE) else self.value(kind)]
            last = field


class ThriftWriter:
    def __init__(self):
        self.out = bytearray()

    def varint(self, n: int) -> None:
        while n >= 0x80:
            self.out.append((n & 0x7F) | 0x80)
            n >>= 7
        self.out.append(n)

    def zigzag(self, n: int) -> None:
        self.varint((n << 1) ^ (n >> 63))

    def value(self, kind: int, value) -> None:
        if kind in (_TRUE, _FALSE, _BYTE):
            self.out.append(value & 0xFF)
        elif kind in (_I16, _I32, _I64):
            self.zigzag(value)
        elif kind == _DOUBLE:
            self.out += value
        elif kind == _BINARY:
            self.varint(len(value))
            self.out += value
        elif kind in (_LIST, _SET):
            element, items = value
            if len(items) < 15:
                self.out.append((len(items) << 4) | element)
            else:
                self.out.append(0xF0 | element)
                self.varint(len(items))
            for item in items:
                self.value(element, item)
        elif kind == _MAP:
            k, v, items = value
            self.varint(len(items))
            if items:
                self.out.append((k << 4) | v)
                for key, item in items:
                    self.value(k, key)
                    self.value(v, item)
        elif kind == _STRUCT:
            self.struct(value)
        else:
            raise ValueError(f"unknown Thrift compact type {kind}")

    def struct(self, value: _Struct) -> None:
        last = 0
        for field, (kind, item) in value.fields.items():
            if 0 < field - last <= 15:
                self.out.append(((field - last) << 4) | kind)
            else:
                self.out.append(kind)
                self.zigzag(field)
            if kind not in (_TRUE, _FALSE):
                self.value(kind, item)
            last = field
        self.out.append(_STOP)


def _footer(data) -> _Struct:
    """The footer of a whole Parquet file in memory."""
    return _split(data)[1]


def _split(data):
    """The pages of a whole Parquet file in memory (between its magic
    number and its footer) and its footer."""
    if len(data) < 12 or bytes(data[:4]) != MAGIC or bytes(data[-4:]) != MAGIC:
        raise ValueError("not a Parquet file")
    (length,) = struct.unpack("<I", bytes(data[-8:-4]))
    end = len(data) - 8 - length
    return data[len(MAGIC):end], ThriftReader(bytes(data[end:len(data) - 8])).struct()


def _shift(field: list, by: int) -> None:
    if field[0] not in _INTS:
        raise ValueError("a Parquet file offset that is not an integer")
    if field[1] > 0:  # 0 is no offset (the magic number is there): a field left unset
        field[1] += by


def _move_row_group(group: _Struct, by: int, ordinal: int) -> None:
    """Moves every absolute offset of ``group`` by ``by`` bytes."""
    fields = group.fields
    if _GROUP_OFFSET in fields:
        _shift(fields[_GROUP_OFFSET], by)
    if _GROUP_ORDINAL in fields:
        fields[_GROUP_ORDINAL][1] = ordinal
    for chunk in fields[_GROUP_COLUMNS][1][1]:
        if _CHUNK_PATH in chunk.fields or any(k in chunk.fields for k in _CHUNK_PAGE_INDEXES):
            # page indexes hold offsets of every page, another file's data
            # would need a reader; the encoder here never writes either
            raise ValueError("a Parquet part with page indexes or columns in another file")
        if chunk.fields.get(_CHUNK_OFFSET, [_I64, 0])[1] != 0:
            # an older writer's copy of the column's metadata after its
            # pages: its offsets could not be moved in place
            raise ValueError("a Parquet part with column metadata among its pages")
        meta = chunk.fields[_CHUNK_META][1]
        for k in _META_OFFSETS:
            if k in meta.fields:
                _shift(meta.fields[k], by)


def relocatable(table, **write_options) -> bool:
    """Whether pyarrow writes ``table``'s row groups so that they can be
    moved and joined: every offset in the footer alone (older versions also
    put a copy of each column's metadata after its pages), and no field of
    a row group that could not be joined."""
    try:
        footer = _footer(_encode(table.slice(0, min(table.num_rows, 1)), write_options))
        for group in footer.fields[_FILE_ROW_GROUPS][1][1]:
            _move_row_group(group, 0, 0)
            if set(group.fields) - _GROUP_FIELDS:
                raise ValueError("a Parquet row group with fields that could not be joined")
    except ValueError:
        return False
    return True


def _encode(table, options):
    import pyarrow as pa
    import pyarrow.parquet as pq

    sink = pa.BufferOutputStream()
    pq.write_table(table, sink, row_group_size=max(table.num_rows, 1), **options)
    return sink.getvalue()


class JoinedParquetWriter:
    """Writes tables to one Parquet file at ``path``, each a row group
    whose columns are encoded in up to ``workers`` slices side by side
    (``write_options``: pyarrow's ``write_table`` options). The slices of
    the next table are encoded while those of one table are copied out; the
    file is written in the order of ``write``."""

    def __init__(self, path: str, workers: int, **write_options):
        self.options = write_options
        self.workers = max(1, workers)
        self._pool = ThreadPoolExecutor(self.workers, thread_name_prefix="parquet-encoder")
        self._pending: Deque[List] = collections.deque()
        self._file = open(path, "wb")
        self._file.write(MAGIC)
        self._at = len(MAGIC)
        self._head: Optional[_Struct] = None  # the footer of the whole schema, without row groups
        self._groups: List[_Struct] = []
        self._rows = 0
        self._schema = None

    def write(self, table) -> None:
        if self._schema is None:
            self._schema = table.schema
            self._head = _footer(_encode(table.slice(0, 0), self.options))
        elif not table.schema.equals(self._schema, check_metadata=True):
            raise ValueError(f"table schema does not match the file's:\n{table.schema}\nagainst\n{self._schema}")
        n = table.num_columns
        k = max(1, min(self.workers, n))
        bounds = [n * i // k for i in range(k + 1)]
        self._pending.append([self._pool.submit(_encode, table.select(list(range(bounds[i], bounds[i + 1]))),
                                                self.options) for i in range(k)])
        while len(self._pending) > 1:
            self._append(self._pending.popleft())

    def _append(self, slices: List) -> None:
        """Copies one table's slices into the file, one row group."""
        joined: Optional[_Struct] = None
        for future in slices:
            body, footer = _split(future.result())
            (group,) = footer.fields[_FILE_ROW_GROUPS][1][1]
            _move_row_group(group, self._at - len(MAGIC), len(self._groups))
            if joined is None:
                joined = group
            else:  # the slice's columns follow the ones before
                if group.fields[_GROUP_ROWS][1] != joined.fields[_GROUP_ROWS][1]:
                    raise ValueError("Parquet slices of one table with different row counts")
                joined.fields[_GROUP_COLUMNS][1][1].extend(group.fields[_GROUP_COLUMNS][1][1])
                for k in _GROUP_SIZES:
                    joined.fields[k][1] += group.fields[k][1]
            self._file.write(body)
            self._at += len(body)
        self._groups.append(joined)
        self._rows += joined.fields[_GROUP_ROWS][1]

    def close(self) -> None:
        """Writes what is pending and the footer."""
        try:
            while self._pending:
                self._append(self._pending.popleft())
            if self._head is None:
                raise ValueError("no table was written")
            self._head.fields[_FILE_ROWS][1] = self._rows
            self._head.fields[_FILE_ROW_GROUPS] = [_LIST, (_STRUCT, self._groups)]
            writer = ThriftWriter()
            writer.struct(self._head)
            self._file.write(bytes(writer.out))
            self._file.write(struct.pack("<I", len(writer.out)))
            self._file.write(MAGIC)
            self._file.close()
        finally:
            self.abandon()

    def abandon(self) -> None:
        """Stops encoding (what was started is waited for) and closes the file."""
        for slices in self._pending:
            for future in slices:
                future.cancel()
        self._pending.clear()
        self._pool.shutdown(wait=True)
        self._file.close()
