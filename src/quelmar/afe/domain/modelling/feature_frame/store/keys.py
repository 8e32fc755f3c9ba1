"""Entity keys: an id as the bytes a store files its rows under.

The keys follow the input layer's id rule, so that ids that compare equal
get one key whatever the column that held them: an integer, or a float
that is an integer, is ``i`` and its 64 bits (offset, so that the bytes
sort as the numbers do; ``j`` and 64 unsigned bits beyond int64), another
float ``f`` and its IEEE bits, a string ``s`` and its UTF-8 bytes, bytes
``b`` and themselves. Ids of other kinds are refused.
"""

from __future__ import annotations

import numbers
import struct
from typing import List, Optional

import numpy as np

from ..input import IdColumn
from ..params import INT64_MAX, INT64_MIN
from ..support import pandas

#: The longest key an LMDB store takes (its default key size limit).
MAX_KEY_BYTES = 511

_SIGN = np.uint64(1 << 63)
_SIGN_INT = 1 << 63


def id_family(ids: IdColumn) -> str:
    """The family of a store's ids: "number", "string" or "binary" (the
    kinds a key holds), "unknown" for a column without rows that says
    nothing, else the id kind, which a store refuses."""
    kind = "number" if ids.kind in ("integer", "float") else ids.kind
    if kind in ("number", "string", "binary") or len(ids):
        return kind
    return "unknown"


def keys_of(ids: IdColumn, rows: Optional[np.ndarray] = None) -> List[bytes]:
    """The key of the id at each of ``rows`` (all rows: None)."""
    if ids.kind in ("integer", "float"):
        values = ids.numbers()
        return _number_keys(values if rows is None else values[rows])
    if ids.kind not in ("string", "binary"):
        raise TypeError(f"{ids.table.what}: column {ids.name!r} holds {ids.type_text} entity ids; a feature store "
                        "keeps entities whose ids are numbers, strings or bytes")
    values = ids.python_values()
    values = values if rows is None else values[rows]
    prefix, encode = (b"s", str.encode) if ids.kind == "string" else (b"b", bytes)
    keys = [prefix + encode(v) for v in values.tolist()]
    _check_lengths(keys, ids)
    return keys


def _number_keys(values: np.ndarray) -> List[bytes]:
    records = np.zeros(len(values), dtype=[("kind", "S1"), ("bits", ">u8")])
    if values.dtype == np.float64:
        with np.errstate(invalid="ignore"):
            whole = (np.floor(values) == values) & (values >= float(INT64_MIN)) & (values < 2.0 ** 64)
        signed = whole & (values < float(INT64_MAX))
        records["kind"] = np.where(whole, np.where(signed, b"i", b"j"), b"f")
        records["bits"] = values.view(np.uint64)
        records["bits"][signed] = values[signed].astype(np.int64).view(np.uint64) ^ _SIGN
        unsigned = whole & ~signed
        records["bits"][unsigned] = values[unsigned].astype(np.uint64)
    elif values.dtype == np.uint64:
        beyond = values > np.uint64(INT64_MAX)
        records["kind"] = np.where(beyond, b"j", b"i")
        records["bits"] = np.where(beyond, values, values ^ _SIGN)
    else:
        records["kind"] = b"i"
        records["bits"] = values.astype(np.int64, copy=False).view(np.uint64) ^ _SIGN
    return records.view("V9").tolist()


def key_of(value) -> bytes:
    """The key of one id (a Python or NumPy number, a string or bytes)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"entity ids must be numbers, strings or bytes, got {value!r}")
    if isinstance(value, numbers.Integral):
        value = int(value)
        if INT64_MIN <= value <= INT64_MAX:
            return b"i" + struct.pack(">Q", value + _SIGN_INT)
        if INT64_MAX < value < 1 << 64:
            return b"j" + struct.pack(">Q", value)
        raise ValueError(f"entity id {value} is beyond 64 bits")
    if isinstance(value, numbers.Real):
        value = float(value)
        if value == value and value == int(value) and INT64_MIN <= value < 2.0 ** 64:
            return key_of(int(value))
        return b"f" + struct.pack(">d", value)
    if isinstance(value, str):
        key = b"s" + value.encode()
    elif isinstance(value, (bytes, bytearray, memoryview)):
        key = b"b" + bytes(value)
    else:
        raise TypeError(f"entity ids must be numbers, strings or bytes, got {type(value).__name__}")
    if len(key) > MAX_KEY_BYTES:
        raise ValueError(f"entity id {value!r} is longer than the {MAX_KEY_BYTES - 1} bytes a store key holds")
    return key


def _check_lengths(keys: List[bytes], ids: IdColumn) -> None:
    for row, key in enumerate(keys):
        if len(key) > MAX_KEY_BYTES:
            raise ValueError(f"{ids.table.what}: column {ids.name!r} has an entity id longer than the "
                             f"{MAX_KEY_BYTES - 1} bytes a store key holds (first at {ids.table.row(row)})")


def ids_of(keys: List[bytes], dtype: str):
    """The ids of ``keys`` as a pandas array of ``dtype`` (the id column's
    type when the store was made: integers, floats, strings, bytes)."""
    pd = pandas()
    values = _integer_ids(keys)
    if values is None:
        values = [id_of(key) for key in keys]
    try:
        return pd.array(values, dtype=dtype)
    except (TypeError, ValueError):
        return pd.array(values, dtype=object)


def _integer_ids(keys: List[bytes]) -> Optional[np.ndarray]:
    """The ids of integer keys within int64 (``i`` and 8 bytes each) as
    int64, decoded at once; None for other keys. A store's keys are of one
    family, and those of strings and bytes start otherwise: where one key is
    not 9 bytes long, the first is not an integer's."""
    joined = b"".join(keys)
    if not keys or len(joined) != 9 * len(keys):
        return None
    records = np.frombuffer(joined, dtype=[("kind", "S1"), ("bits", ">u8")])
    if not (records["kind"] == b"i").all():
        return None
    return (records["bits"].astype(np.uint64) ^ _SIGN).view(np.int64)


def id_of(key: bytes):
    """The id a key stands for."""
    kind, body = key[:1], key[1:]
    if kind == b"i":
        return struct.unpack(">Q", body)[0] - _SIGN_INT
    if kind == b"j":
        return struct.unpack(">Q", body)[0]
    if kind == b"f":
        return struct.unpack(">d", body)[0]
    if kind == b"s":
        return body.decode()
    if kind == b"b":
        return bytes(body)
    raise ValueError(f"not an entity key: {key!r}")


def dtype_name(dtype) -> str:
    """The name pandas knows a column type by (a NumPy type class or dtype, or an extension type)."""
    try:
        return np.dtype(dtype).name
    except TypeError:
        return str(dtype)
