"""Entity numbering: the transactions' ids get dense codes, each target the
code of its id (-1 without transactions), under the id rule of ``ids``.

Integers, and floats that are all integers, are numbered natively; other
numbers are factorised as float64 (exactly: an integer that float64 cannot
hold equals no float); other ids are factorised once per column by
pyarrow's or pandas' kernels, never converted row by row.
"""

from __future__ import annotations

from typing import NamedTuple, Optional, Tuple

import numpy as np

from .. import native
from ..params import INT64_MAX
from ..support import pandas
from .arrow import loaded, numpy_of, pyarrow, value_type
from .ids import NUMERIC, IdColumn, integral


def _matched_as_integers(ids: IdColumn) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """Target ids as int64 and which of them can equal an int64 id (None: all)."""
    exact = ids.integers()
    if exact is not None:
        return exact, None
    values = ids.numbers()
    if values.dtype == np.uint64:
        matchable = values <= np.uint64(INT64_MAX)
        return np.where(matchable, values, 0).astype(np.int64), matchable
    matchable = integral(values)
    return np.where(matchable, values, 0).astype(np.int64), matchable


def _matched_as_floats(ids: IdColumn) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """Target ids as float64 and which of them are those numbers exactly."""
    values = ids.numbers()
    if values.dtype == np.float64:
        return values + 0.0, None  # -0.0 is 0.0
    as_float = values.astype(np.float64)
    with np.errstate(invalid="ignore"):
        exact = (as_float < 2.0 ** 64) & (as_float.astype(values.dtype) == values)
    return as_float, exact


# --------------------------------------------------------------------------
# comparing and numbering


class EntityCodes(NamedTuple):
    """Dense codes: one per transaction (0 .. n_entities - 1) and one per
    target (-1, or a code that may have no transaction)."""

    codes: np.ndarray
    n_entities: int
    target_codes: np.ndarray


def check_comparable(trx: IdColumn, tgt: IdColumn) -> None:
    """Refuses id columns whose values cannot equal each other (TypeError),
    unless one table is empty and nothing is compared."""
    if not len(trx) or not len(tgt):
        return
    kinds = {trx.kind, tgt.kind}
    if kinds <= set(NUMERIC) or len(kinds) == 1 or ("object" in kinds and not kinds & set(NUMERIC)):
        return
    raise _type_error(trx, tgt)


def _type_error(trx: IdColumn, tgt: IdColumn) -> TypeError:
    return TypeError(f"{tgt.table.what}: column {tgt.name!r} holds {tgt.type_text} entity ids but the "
                     f"{trx.table.what} column {trx.name!r} holds {trx.type_text}")


def number_entities(trx: IdColumn, tgt: IdColumn, n_jobs: int, progress_callback=None) -> EntityCodes:
    """Codes of the transactions' ids and of the targets' (see the module's rule)."""
    check_comparable(trx, tgt)
    if trx.kind in NUMERIC and tgt.kind in NUMERIC:
        ids = trx.integers()
        if ids is not None:
            targets, matchable = _matched_as_integers(tgt)
            if matchable is None:
                return EntityCodes(*native.factorize_entities(ids, targets, n_jobs=n_jobs,
                                                              progress_callback=progress_callback))
            codes, n, some = native.factorize_entities(ids, targets[matchable], n_jobs=n_jobs,
                                                       progress_callback=progress_callback)
            return EntityCodes(codes, n, _scattered(some, matchable))
        return _float_codes(trx, tgt)
    if trx.arrow is not None:
        return _arrow_codes(trx, tgt)
    return _pandas_codes(trx, tgt)


def _scattered(codes: np.ndarray, matchable: np.ndarray) -> np.ndarray:
    out = np.full(len(matchable), -1, dtype=codes.dtype)
    out[matchable] = codes
    return out


def _float_codes(trx: IdColumn, tgt: IdColumn) -> EntityCodes:
    """Numeric ids not all integers within int64, factorised as float64 (or
    as Python numbers for integers beyond it, which compare exactly)."""
    pd = pandas()
    values = trx.numbers()
    if values.dtype == np.uint64:
        uniques, codes = _object_factorized(values.astype(object))
        target_codes = pd.Index(uniques).get_indexer(tgt.numbers().astype(object))
        return EntityCodes(codes, len(uniques), np.asarray(target_codes, dtype=np.int64))
    codes, uniques = pd.factorize(values + 0.0)
    targets, exact = _matched_as_floats(tgt)
    target_codes = np.asarray(pd.Index(uniques).get_indexer(targets), dtype=np.int64)
    if exact is not None:
        target_codes[~exact] = -1
    return EntityCodes(np.asarray(codes, dtype=np.int64), len(uniques), target_codes)


def _object_factorized(values: np.ndarray):
    codes, uniques = pandas().factorize(values)
    return uniques, np.asarray(codes, dtype=np.int64)


def _pandas_codes(trx: IdColumn, tgt: IdColumn) -> EntityCodes:
    pd = pandas()
    trx_series = _native_series(trx.table.series(trx.name))
    tgt_series = tgt.pandas_values() if tgt.arrow is not None else _native_series(tgt.table.series(tgt.name))
    try:
        codes, uniques = pd.factorize(trx_series, sort=False)
        uniques = pd.Index(uniques)
        try:
            target_codes = uniques.get_indexer(tgt_series)
        except (ArithmeticError, TypeError, ValueError, _pyarrow_error()):
            # pandas could not cast the targets to the ids' dtype (an empty
            # Categorical, say): compared as Python values
            target_codes = uniques.astype(object).get_indexer(tgt_series.astype(object))
    except TypeError:  # unhashable values, lists for instance
        raise _unhashable(trx, tgt) from None
    return EntityCodes(np.asarray(codes, dtype=np.int64), len(uniques), np.asarray(target_codes, dtype=np.int64))


def _arrow_codes(trx: IdColumn, tgt: IdColumn) -> EntityCodes:
    pa = pyarrow()
    import pyarrow.compute as pc

    trx_arrow = trx.arrow
    tgt_arrow = tgt.arrow
    if tgt_arrow is None:
        series = _native_series(tgt.table.series(tgt.name))
        try:
            tgt_arrow = pa.chunked_array([pa.array(series, from_pandas=True)])
        except (pa.ArrowException, OverflowError, TypeError, ValueError):
            raise _type_error(trx, tgt) from None
    common = _common_type(value_type(trx_arrow.type), value_type(tgt_arrow.type))

    def cast(ids, column: IdColumn):
        try:
            return ids.cast(common) if ids.type != common else ids
        except pa.ArrowException:
            raise TypeError(f"{column.table.what}: column {column.name!r} holds entity ids of type {ids.type} that "
                            f"do not all convert exactly to {common}, the type they are compared in") from None

    if not len(trx):
        return EntityCodes(np.zeros(0, np.int64), 0, np.full(len(tgt), -1, np.int64))
    try:
        encoded = trx_arrow if pa.types.is_dictionary(trx_arrow.type) else pc.dictionary_encode(cast(trx_arrow, trx))
        uniques, codes = _dictionary_codes(encoded, lambda values: cast(values, trx))
        if not len(tgt):
            return EntityCodes(codes, len(uniques), np.zeros(0, np.int64))
        # a dictionary of the targets is decoded by the cast
        target_codes = pc.fill_null(pc.index_in(cast(tgt_arrow, tgt), value_set=uniques), -1)
    except pa.ArrowNotImplementedError:  # no hash kernel for the type: lists, structs
        raise _unhashable(trx, tgt) from None
    return EntityCodes(codes, len(uniques), numpy_of(target_codes).astype(np.int64))


def _common_type(a, b):
    """The type both non-numeric id value types are compared in (they are
    of one kind: checked before)."""
    pa = pyarrow()
    if pa.types.is_string(a) or pa.types.is_large_string(a) or str(a) == "string_view":
        return pa.large_string() if a != b else a
    if pa.types.is_binary(a) or pa.types.is_large_binary(a) or str(a) == "binary_view":
        return pa.large_binary() if a != b else a
    return a


def _dictionary_codes(encoded, cast):
    """The distinct values of a dictionary-encoded ChunkedArray without
    missing values, and each row's code among them. Every chunk may carry
    its own dictionary (Arrow IPC streams, polars frames concatenated
    without rechunking), with values repeated or in another order, so each
    dictionary is mapped onto the one list of distinct values; the indices
    serve as codes directly only when a single dictionary of distinct values
    is shared by every chunk."""
    pa = pyarrow()
    import pyarrow.compute as pc

    dictionaries = {}
    for chunk in encoded.chunks:
        key = _identity(chunk.dictionary)
        if key not in dictionaries:
            dictionaries[key] = cast(chunk.dictionary)
    first = next(iter(dictionaries.values()))
    uniques = pc.unique(pa.chunked_array(list(dictionaries.values()), type=first.type)).drop_null()
    if len(dictionaries) == 1 and first.null_count == 0 and len(uniques) == len(first):
        return uniques, numpy_of(pa.chunked_array([chunk.indices for chunk in encoded.chunks]))
    remaps = {key: pc.index_in(dictionary, value_set=uniques) for key, dictionary in dictionaries.items()}
    codes = [pc.take(remaps[_identity(chunk.dictionary)], chunk.indices) for chunk in encoded.chunks]
    return uniques, numpy_of(pa.chunked_array(codes, type=pa.int32()))


def _identity(array) -> tuple:
    """What makes two Arrow arrays the same data: their buffers, offset and
    length (the chunks of one encoding share one dictionary object's
    buffers; equal copies are merely mapped twice)."""
    return (array.offset, len(array), tuple(0 if b is None else b.address for b in array.buffers()))


def _native_series(series):
    """The pandas Series itself, or a copy in the machine's byte order, which
    pandas' hashing and Arrow's conversion need."""
    dtype = series.dtype
    return series if not isinstance(dtype, np.dtype) or dtype.isnative else series.astype(dtype.newbyteorder("="))


def _pyarrow_error():
    """pyarrow's exception base when pyarrow is imported (pandas' Arrow-backed
    columns raise it), else a class nothing raises."""
    pa = loaded("pyarrow")
    return pa.ArrowException if pa is not None else ArithmeticError


def _unhashable(trx: IdColumn, tgt: IdColumn) -> TypeError:
    return TypeError(f"{trx.table.what}: column {trx.name!r} or {tgt.table.what}: column {tgt.name!r} holds entity "
                     "ids that cannot be hashed; ids must be numbers, strings, bytes or other hashable values")
