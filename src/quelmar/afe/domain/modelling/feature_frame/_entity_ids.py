"""Entity ids numbered densely: the transactions' ids get codes 0..n-1, each
target the code of its id (-1 for an id without transactions).

Integer ids are numbered natively (``_native.factorize_entities``); other
ids are hashed once per column, by pandas or by pyarrow's kernels. The two
tables' ids compare by value, whatever their encoding: Arrow dictionaries
(each chunk may carry its own), pandas Categoricals, integer widths, 32- or
64-bit offsets.
"""

from __future__ import annotations

from typing import Optional, Tuple

import numpy as np

from . import _deps, _native
from ._arrays import _deps_loaded, _first_beyond_int64, _is_arrow_column, _numpy, _pyarrow, _to_pandas
from ._tables import Table


class EntityIds:
    """The entity id columns of the transactions and the targets, checked
    when built (no missing ids, comparable types); ``codes`` numbers them.
    ``numbered``: the codes ``codes`` would give, where the caller has them
    already (a target grid lists the transactions' entities by numbering
    them)."""

    def __init__(self, trx: Table, trx_col: str, tgt: Table, tgt_col: str, numbered=None):
        trx.no_missing(trx_col, "entity ids")
        tgt.no_missing(tgt_col, "entity ids")
        self._tables = (trx, trx_col, tgt, tgt_col)
        self._numbered = numbered
        self._integers = None
        if numbered is not None:
            return
        ids, target_ids = trx.integer_ids(trx_col), tgt.integer_ids(tgt_col)
        if ids is not None and target_ids is not None and max(_first_beyond_int64(ids), _first_beyond_int64(target_ids)) < 0:
            self._integers = (ids, target_ids)
        else:
            self._generic = _generic_entity_codes(trx, trx_col, tgt, tgt_col)  # checks the types first

    def codes(self, n_jobs: int, progress_callback=None) -> Tuple[np.ndarray, int, np.ndarray]:
        """Dense codes of the transactions' entity ids, their count, and each
        target's code (-1 for an id without transactions). Integer ids are
        numbered natively; other ids are factorised once per column, never
        converted row by row."""
        if self._numbered is not None:
            return self._numbered
        if self._integers is not None:
            return _native.factorize_entities(*self._integers, n_jobs=n_jobs, progress_callback=progress_callback)
        return self._generic()


def _generic_entity_codes(trx: Table, trx_col: str, tgt: Table, tgt_col: str):
    """Checks that both id columns hold comparable values (TypeError) and
    returns the factorisation to run: pandas' or Arrow's. Ids compare by
    their values, whatever their encoding (a dictionary, a pandas
    Categorical, 32- or 64-bit offsets)."""
    trx_arrow = trx._arrow(trx_col)
    if trx_arrow is not None:
        tgt_arrow = tgt._arrow(tgt_col)
        if tgt_arrow is None:
            pa = _pyarrow()
            series = _native_series(tgt.columns[tgt_col])
            try:
                tgt_arrow = pa.chunked_array([pa.array(series, from_pandas=True)])
            except (pa.ArrowException, OverflowError, TypeError, ValueError):
                raise _entity_type_error(tgt, tgt_col, series.dtype, trx, trx_col, trx_arrow.type) from None
        return _arrow_entity_codes(trx, trx_col, trx_arrow, tgt, tgt_col, tgt_arrow)
    pd = _deps.pandas()
    trx_series = _native_series(trx.columns[trx_col])
    tgt_series = tgt.columns[tgt_col]
    tgt_series = _to_pandas(tgt_series) if _is_arrow_column(tgt_series) else _native_series(tgt_series)
    api = pd.api.types
    trx_values, tgt_values = _pandas_value_dtype(trx_series), _pandas_value_dtype(tgt_series)
    if trx.n_rows and tgt.n_rows and api.is_numeric_dtype(trx_values) != api.is_numeric_dtype(tgt_values):
        raise _entity_type_error(tgt, tgt_col, tgt_series.dtype, trx, trx_col, trx_series.dtype)

    def factorize():
        try:
            codes, uniques = pd.factorize(trx_series, sort=False)
            uniques = pd.Index(uniques)
            try:
                tgt_codes = uniques.get_indexer(tgt_series)
            except (ArithmeticError, TypeError, ValueError, _pyarrow_error()):
                # pandas could not cast the targets to the ids' dtype (uint64
                # beyond int64 against Arrow-backed ids, an empty Categorical):
                # compared as Python values
                tgt_codes = uniques.astype(object).get_indexer(tgt_series.astype(object))
        except TypeError:  # unhashable values, lists for instance
            raise _unhashable(trx, trx_col, tgt, tgt_col) from None
        tgt_codes = np.asarray(tgt_codes, dtype=np.int64)
        return np.asarray(codes, dtype=np.int64), len(uniques), tgt_codes

    return factorize


def _native_series(series):
    """The pandas Series itself, or a copy in the machine's byte order, which
    pandas' hashing and Arrow's conversion need."""
    dtype = series.dtype
    return series if not isinstance(dtype, np.dtype) or dtype.isnative else series.astype(dtype.newbyteorder("="))


def _pandas_value_dtype(series):
    """The dtype of the values: a Categorical's categories', else the dtype."""
    categories = getattr(series.dtype, "categories", None)
    return series.dtype if categories is None else categories.dtype


def _pyarrow_error():
    """pyarrow's exception base when pyarrow is imported (pandas' Arrow-backed
    columns raise it), else a class nothing raises."""
    pa = _deps_loaded("pyarrow")
    return pa.ArrowException if pa is not None else ArithmeticError


def _unhashable(trx, trx_col, tgt, tgt_col) -> TypeError:
    return TypeError(f"{trx.what}: column {trx_col!r} or {tgt.what}: column {tgt_col!r} holds entity ids that "
                     "cannot be hashed; ids must be numbers, strings, bytes or other hashable values")


def _entity_type_error(tgt, tgt_col, tgt_type, trx, trx_col, trx_type) -> TypeError:
    return TypeError(
        f"{tgt.what}: column {tgt_col!r} holds {tgt_type} entity ids but the {trx.what} column "
        f"{trx_col!r} holds {trx_type}"
    )


def _id_kind(arrow_type) -> Optional[str]:
    """The family of Arrow id types whose values compare with each other."""
    types = _pyarrow().types
    if types.is_integer(arrow_type):
        return "integer"
    if types.is_floating(arrow_type):
        return "float"
    if types.is_string(arrow_type) or types.is_large_string(arrow_type) or str(arrow_type) == "string_view":
        return "string"
    if types.is_binary(arrow_type) or types.is_large_binary(arrow_type) or str(arrow_type) == "binary_view":
        return "binary"
    return None


def _common_id_type(a, b):
    """The type both id value types are cast to before comparing, or None
    when the values cannot be compared."""
    pa = _pyarrow()
    kinds = {_id_kind(a), _id_kind(b)}
    if kinds == {"integer"}:
        # uint64 ids beyond int64 come here; decimals hold every 64-bit integer exactly
        return pa.decimal128(20, 0) if pa.types.is_uint64(a) or pa.types.is_uint64(b) else pa.int64()
    if kinds <= {"integer", "float"} and None not in kinds:
        return pa.float64()
    if kinds == {"string"}:
        return pa.large_string()
    if kinds == {"binary"}:
        return pa.large_binary()
    return a if a == b else None


def _arrow_entity_codes(trx, trx_col, trx_arrow, tgt, tgt_col, tgt_arrow):
    pa = _pyarrow()
    import pyarrow.compute as pc

    common = _common_id_type(_value_type(trx_arrow.type), _value_type(tgt_arrow.type))
    if common is None:
        if trx.n_rows and tgt.n_rows:
            raise _entity_type_error(tgt, tgt_col, tgt_arrow.type, trx, trx_col, trx_arrow.type)
        common = _value_type(trx_arrow.type)  # one table is empty: nothing is compared

    def cast(ids, table, col):
        try:
            return ids.cast(common) if ids.type != common else ids
        except pa.ArrowException:
            raise TypeError(f"{table.what}: column {col!r} holds entity ids of type {ids.type} that do not "
                            f"all convert exactly to {common}, the type they are compared in") from None

    def factorize():
        if not trx.n_rows:
            return np.zeros(0, np.int64), 0, np.full(tgt.n_rows, -1, np.int64)
        try:
            if pa.types.is_dictionary(trx_arrow.type):
                encoded = trx_arrow  # the dictionaries are cast, not every row
            else:
                encoded = pc.dictionary_encode(cast(trx_arrow, trx, trx_col))
            uniques, codes = _dictionary_codes(encoded, lambda values: cast(values, trx, trx_col))
            if not tgt.n_rows:
                return codes, len(uniques), np.zeros(0, np.int64)
            # a dictionary of the targets is decoded by the cast
            tgt_codes = pc.fill_null(pc.index_in(cast(tgt_arrow, tgt, tgt_col), value_set=uniques), -1)
        except pa.ArrowNotImplementedError:  # no hash kernel for the type: lists, structs
            raise _unhashable(trx, trx_col, tgt, tgt_col) from None
        return codes, len(uniques), _numpy(tgt_codes).astype(np.int64)

    return factorize


def _dictionary_codes(encoded, cast):
    """The distinct values of a dictionary-encoded ChunkedArray without
    missing values, and each row's code among them. Every chunk may carry
    its own dictionary (Arrow IPC streams, polars frames concatenated
    without rechunking), with values repeated or in another order, so each
    dictionary is mapped onto the one list of distinct values; the indices
    serve as codes directly only when a single dictionary of distinct values
    is shared by every chunk."""
    pa = _pyarrow()
    import pyarrow.compute as pc

    dictionaries = {}
    for chunk in encoded.chunks:
        key = _identity(chunk.dictionary)
        if key not in dictionaries:
            dictionaries[key] = cast(chunk.dictionary)
    first = next(iter(dictionaries.values()))
    uniques = pc.unique(pa.chunked_array(list(dictionaries.values()), type=first.type)).drop_null()
    if len(dictionaries) == 1 and first.null_count == 0 and len(uniques) == len(first):
        return uniques, _numpy(pa.chunked_array([chunk.indices for chunk in encoded.chunks]))
    remaps = {key: pc.index_in(dictionary, value_set=uniques) for key, dictionary in dictionaries.items()}
    codes = [pc.take(remaps[_identity(chunk.dictionary)], chunk.indices) for chunk in encoded.chunks]
    return uniques, _numpy(pa.chunked_array(codes, type=pa.int32()))


def _value_type(arrow_type):
    """The type of the values: a dictionary's value type, else the type."""
    return arrow_type.value_type if _pyarrow().types.is_dictionary(arrow_type) else arrow_type


def _identity(array) -> tuple:
    """What makes two Arrow arrays the same data: their buffers, offset and
    length (the chunks of one encoding share one dictionary object's
    buffers; equal copies are merely mapped twice)."""
    return (array.offset, len(array), tuple(0 if b is None else b.address for b in array.buffers()))
