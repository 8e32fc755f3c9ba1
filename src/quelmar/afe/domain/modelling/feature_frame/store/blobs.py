"""An entity's kept rows as one value: 13-byte records, newest first.

Each record is a little-endian int64 timestamp in milliseconds, the float32
quantity and the int8 dimension code, packed; the records stand in the
order the engine reads an entity's rows (newest first, ties by code, then
by quantity), so that a value is read as it is. Only rows that some feature
can use are kept: a quantity above 0 (a row of 0 or below, or a missing
one, is skipped by every operator).
"""

from __future__ import annotations

from typing import List, Optional

import numpy as np

from .. import native

RECORD = np.dtype([("date", "<i8"), ("quantity", "<f4"), ("code", "i1")])
assert RECORD.itemsize == 13


def records_of(prepared: native.PreparedTransactions) -> np.ndarray:
    """The prepared rows as records, in their order."""
    records = np.empty(len(prepared.dates), dtype=RECORD)
    records["date"], records["quantity"], records["code"] = prepared.dates, prepared.quantities, prepared.codes
    return records


def split(records: np.ndarray, offsets: np.ndarray) -> List[Optional[bytes]]:
    """Entity e's value: records ``offsets[e]`` to ``offsets[e + 1] - 1``
    (None for an entity without rows). Slices of one bytes object: three
    times as quick as memoryview slices, which acquire a buffer each."""
    data = records.tobytes()
    bounds = (offsets * RECORD.itemsize).tolist()
    return [data[a:b] if b > a else None for a, b in zip(bounds[:-1], bounds[1:])]


def n_records(value) -> int:
    return len(value) // RECORD.itemsize


def check_value(value, key: bytes) -> None:
    """Refuses a value that is no whole number of records (a foreign or damaged store)."""
    if len(value) % RECORD.itemsize:
        raise ValueError(f"the value of entity key {key!r} is not a whole number of rows: not this store's data")
