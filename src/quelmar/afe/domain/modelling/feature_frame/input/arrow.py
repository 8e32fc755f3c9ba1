"""Column access shared by the input readers: which library a column comes
from, Arrow columns as NumPy arrays (viewed where they can be) and their
missing values, and the integer range and byte order the engine reads.
"""

from __future__ import annotations

import sys
from typing import Optional, Tuple

import numpy as np

from ..params import INT64_MAX
from ..support import require


def pyarrow():
    return require("pyarrow")


def loaded(name: str):
    """The module if it is already imported, without importing it: a table of
    a library that is not imported cannot be an instance of its types."""
    return sys.modules.get(name)


def is_arrow_column(column) -> bool:
    pa = loaded("pyarrow")
    return pa is not None and isinstance(column, pa.ChunkedArray)


def is_polars(obj) -> bool:
    return type(obj).__module__.split(".")[0] == "polars"


def value_type(arrow_type):
    """The type of the values: a dictionary's value type, else the type."""
    return arrow_type.value_type if pyarrow().types.is_dictionary(arrow_type) else arrow_type


def to_pandas(column):
    """A pyarrow ChunkedArray as a pandas Series; dictionaries are merged
    into one of distinct values first, as pandas takes no repeated categories."""
    if pyarrow().types.is_dictionary(column.type):
        column = column.cast(column.type.value_type).dictionary_encode()
    return column.to_pandas()


def arrow_missing(arrow) -> Optional[Tuple[int, int]]:
    """How many rows of an Arrow column have no value and the first of
    them, or None when every row has one. ``null_count`` counts the validity
    bitmaps only: in a dictionary column a valid index may also point at a
    null dictionary entry."""
    pa = pyarrow()
    entries_null = pa.types.is_dictionary(arrow.type) and any(c.dictionary.null_count for c in arrow.chunks)
    if arrow.null_count == 0 and not entries_null:
        return None
    import pyarrow.compute as pc

    if entries_null:
        missing = pa.chunked_array([pc.fill_null(pc.take(pc.is_null(c.dictionary), c.indices), True)
                                    for c in arrow.chunks], type=pa.bool_())
    else:
        missing = pc.is_null(arrow)
    return mask_missing(missing)


def mask_missing(missing) -> Optional[Tuple[int, int]]:
    """(count, first) of the true rows of an Arrow or NumPy boolean mask, or None."""
    if isinstance(missing, np.ndarray):
        count = int(np.count_nonzero(missing))
        return (count, int(np.argmax(missing))) if count else None
    import pyarrow.compute as pc

    count = int(pc.sum(missing).as_py() or 0)
    return (count, int(pc.index(missing, True).as_py())) if count else None


def numpy_of(arrow) -> np.ndarray:
    """A ChunkedArray without nulls as one NumPy array: a view of the Arrow
    buffer when there is one chunk, one concatenated copy otherwise."""
    chunks = [chunk.to_numpy(zero_copy_only=True) for chunk in arrow.chunks]
    if len(chunks) == 1:
        return chunks[0]
    if not chunks:
        return arrow.to_numpy()
    return np.concatenate(chunks)


def first_beyond_int64(values: np.ndarray) -> int:
    """The first row of uint64 ``values`` beyond int64, or -1."""
    if values.dtype != np.uint64 or not len(values) or int(values.max()) <= INT64_MAX:
        return -1
    return int(np.argmax(values > INT64_MAX))


def native_order(values: np.ndarray) -> np.ndarray:
    """The array itself, or a copy in the machine's byte order: pandas keeps
    big-endian NumPy columns as they are, the engine reads native ones."""
    values = np.asarray(values)
    return values if values.dtype.isnative else values.astype(values.dtype.newbyteorder("="))
