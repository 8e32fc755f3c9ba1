"""Feature frames from ordinary tables: the single-machine builder.

``build_feature_frame`` checks and converts a transaction table and a table of
(entity, target date) pairs, builds the arrays, maps and splits of one
``execute`` call per batch of targets, and returns the filled result as a
pandas DataFrame with one row per target pair.

Layout handed to ``execute``:

* transactions are sorted once by (entity, timestamp newest first); each
  entity's rows are then one contiguous run of a single int32 row-number
  array, and ``entity_index_map`` values are views of that array, never copies;
* every target pair of a batch gets its own entity index ``i`` (its position in
  the batch): ``target_dates[i]`` is its target date and ``entity_index_map[i]``
  the row view of its entity, shared by all pairs of that entity;
* pair ``i`` is result row ``i``: with ``S`` splits it sits in split ``i mod S``
  at position ``i div S``;
* the result matrix is a row slice of the one float32 output array, filled
  with NaN beforehand, so cells the kernel does not write stay NaN.
"""

from __future__ import annotations

import numbers
from typing import Dict, List, Optional

import numpy as np

from . import _deps
from ._columns import (
    INT8_MAX,
    INT8_MIN,
    INT16_MAX,
    INT16_MIN,
    INT32_MAX,
    UNKNOWN_DIMENSION_VALUE,
    ColumnLayout,
    build_layout,
    resolve_horizons,
    resolve_offset,
    resolve_operators,
    resolve_resolution,
)

DEFAULT_BATCH_SIZE = 50_000


def _kernel():
    from quelmar.afe.domain.modelling.helper import data_frame_builder_helper

    return data_frame_builder_helper


# --------------------------------------------------------------------------
# input checks and conversions


def as_pandas(obj, what: str):
    """A pandas DataFrame from a DataFrame, a pyarrow Table or a polars DataFrame."""
    pd = _deps.pandas()
    if isinstance(obj, pd.DataFrame):
        return obj
    to_pandas = getattr(obj, "to_pandas", None)
    if callable(to_pandas):
        frame = to_pandas()
        if isinstance(frame, pd.DataFrame):
            return frame
    raise TypeError(
        "{}: expected a pandas DataFrame (or a pyarrow or polars table), got {}".format(
            what, type(obj).__name__
        )
    )


def _require_columns(frame, what: str, columns) -> None:
    for col in columns:
        if col not in frame.columns:
            raise ValueError(
                "{}: missing column {!r} (columns are {})".format(
                    what, col, ", ".join(repr(c) for c in frame.columns)
                )
            )


def _no_missing(series, what: str, col: str, noun: str) -> None:
    missing = int(series.isna().sum())
    if missing:
        raise ValueError(
            "{}: column {!r} has {} missing {}".format(what, col, missing, noun)
        )


def _is_arrow_timestamp(pd, dtype) -> bool:
    arrow_dtype = getattr(pd, "ArrowDtype", None)
    if arrow_dtype is None or not isinstance(dtype, arrow_dtype):
        return False
    import pyarrow

    return pyarrow.types.is_timestamp(dtype.pyarrow_dtype)


def timestamps_ms(series, what: str, col: str, noun: str = "timestamps") -> np.ndarray:
    """int64 milliseconds from datetime64 values (any unit, time zones converted to
    UTC) or from integers, which are taken as milliseconds already."""
    pd = _deps.pandas()
    api = pd.api.types
    dtype = series.dtype
    if _is_arrow_timestamp(pd, dtype):
        # pyarrow timestamps store UTC counts of their unit, with or without a zone
        _no_missing(series, what, col, noun)
        import pyarrow

        counts = pyarrow.array(series.array).cast(pyarrow.int64()).to_numpy()
        mul, div = {"s": (1000, 1), "ms": (1, 1), "us": (1, 1000), "ns": (1, 1_000_000)}[
            dtype.pyarrow_dtype.unit
        ]
        return np.asarray(counts, dtype=np.int64) * mul // div  # floor, like datetime64 casts
    if isinstance(dtype, pd.DatetimeTZDtype):
        _no_missing(series, what, col, noun)
        series = series.dt.tz_convert("UTC").dt.tz_localize(None)
        dtype = series.dtype
    if api.is_datetime64_dtype(dtype):
        _no_missing(series, what, col, noun)
        values = np.asarray(series.to_numpy())
        # datetime64 unit changes round toward minus infinity, as a floor division does
        return values.astype("datetime64[ms]").view(np.int64).copy()
    if api.is_integer_dtype(dtype) and not api.is_bool_dtype(dtype):
        _no_missing(series, what, col, noun)
        if api.is_unsigned_integer_dtype(dtype) and len(series) and int(series.max()) > 2 ** 63 - 1:
            raise ValueError(
                "{}: column {!r} has values beyond the int64 millisecond range".format(what, col)
            )
        return np.array(series.to_numpy(dtype=np.int64), dtype=np.int64, copy=True)
    raise TypeError(
        "{}: column {!r} must hold datetime64 values or integer milliseconds, got {}".format(
            what, col, dtype
        )
    )


def quantities(series, what: str, col: str) -> np.ndarray:
    """float32 quantities; missing values become NaN (the kernel's own rule for NaN applies)."""
    pd = _deps.pandas()
    api = pd.api.types
    dtype = series.dtype
    if api.is_bool_dtype(dtype) or not api.is_numeric_dtype(dtype):
        raise TypeError(
            "{}: column {!r} must hold numbers (quantities), got {}".format(what, col, dtype)
        )
    return np.array(series.to_numpy(dtype=np.float64, na_value=np.nan), dtype=np.float32)


def dimension_codes(series, what: str, col: str) -> np.ndarray:
    """int8 dimension codes; other integer types are accepted when every value fits."""
    pd = _deps.pandas()
    api = pd.api.types
    dtype = series.dtype
    if api.is_bool_dtype(dtype) or not api.is_integer_dtype(dtype):
        raise TypeError(
            "{}: column {!r} must hold integer dimension codes, got {}".format(what, col, dtype)
        )
    _no_missing(series, what, col, "dimension codes")
    if len(series) == 0:
        return np.zeros(0, dtype=np.int8)
    lo, hi = int(series.min()), int(series.max())
    if lo < INT8_MIN or hi > INT8_MAX:
        bad = lo if lo < INT8_MIN else hi
        raise ValueError(
            "{}: column {!r} has dimension codes outside int8 ({}..{}), e.g. {}".format(
                what, col, INT8_MIN, INT8_MAX, bad
            )
        )
    return np.array(series.to_numpy(dtype=np.int64), dtype=np.int8)


def make_index_map(dimension_values, codes_present: np.ndarray) -> Dict[int, int]:
    """The kernel's ``index_map``: dimension code -> dimension value.

    ``None`` maps every code present onto itself. A dict maps codes to values
    (several codes may share a value); a sequence lists codes that map onto
    themselves. Codes present in the transactions but not named map to the
    unknown dimension value, which gets no columns but still counts in the
    ratio totals. Every code present is a key, so the kernel never meets a
    code it has to insert itself.
    """
    present = sorted(set(int(c) for c in np.unique(codes_present)))
    if dimension_values is None:
        mapping = {c: c for c in present}
    else:
        if isinstance(dimension_values, dict):
            items = list(dimension_values.items())
        elif isinstance(dimension_values, (str, bytes)) or not hasattr(dimension_values, "__iter__"):
            raise TypeError(
                "dimension_values: expected a dict of code -> value or a sequence of codes, "
                "got {!r}".format(dimension_values)
            )
        else:
            items = [(c, c) for c in dimension_values]
        mapping = {}
        for code, value in items:
            for number, lo, hi, kind in (
                (code, INT8_MIN, INT8_MAX, "dimension code"),
                (value, INT16_MIN, INT16_MAX, "dimension value"),
            ):
                if isinstance(number, bool) or not isinstance(number, (numbers.Integral, np.integer)):
                    raise TypeError(
                        "dimension_values: a {} must be an integer, got {!r}".format(kind, number)
                    )
                if not lo <= int(number) <= hi:
                    raise ValueError(
                        "dimension_values: {} {} is outside {}..{}".format(kind, number, lo, hi)
                    )
            mapping[int(code)] = int(value)
        for c in present:
            mapping.setdefault(c, UNKNOWN_DIMENSION_VALUE)
    return dict(sorted(mapping.items()))


# --------------------------------------------------------------------------
# the builder


class _Prepared:
    """Converted transactions: sorted kernel arrays and each entity's row run."""

    def __init__(self, trx_dates, trx_q, trx_d, rows, starts, counts):
        self.trx_dates = trx_dates
        self.trx_q = trx_q
        self.trx_d = trx_d
        self.rows = rows
        self.starts = starts
        self.counts = counts

    def rows_of(self, code: int):
        start = int(self.starts[code])
        return self.rows[start : start + int(self.counts[code])]


def _prepare_transactions(ent_codes, n_entities, ts, q, d) -> _Prepared:
    m = len(ts)
    if m > INT32_MAX:
        raise ValueError("transactions: more than 2**31 - 1 rows cannot be addressed")
    # newest first within an entity: ~ts reverses the order without overflow;
    # ties are ordered by dimension code and quantity so that the float32
    # accumulation order does not depend on the input row order
    perm = np.lexsort((q, d, ~ts, ent_codes))
    trx_dates = ts[perm].reshape(m, 1)
    trx_q = q[perm].reshape(m, 1)
    trx_d = d[perm].reshape(m, 1)
    del perm
    counts = np.bincount(ent_codes, minlength=n_entities) if m else np.zeros(n_entities, np.int64)
    starts = np.zeros(n_entities, dtype=np.int64)
    if n_entities > 1:
        np.cumsum(counts[:-1], out=starts[1:])
    rows = np.arange(m, dtype=np.int32)
    return _Prepared(trx_dates, trx_q, trx_d, rows, starts, counts)


def _per_dimension(per_dimension_operators):
    if per_dimension_operators is None:
        return []
    if not isinstance(per_dimension_operators, (str, numbers.Integral)) and not hasattr(
        per_dimension_operators, "value"
    ):
        per_dimension_operators = list(per_dimension_operators)
        if not per_dimension_operators:
            return []
    return resolve_operators(per_dimension_operators, "per_dimension_operators")


def make_splits(n: int, n_splits: int) -> np.ndarray:
    """Split rows for pairs 0..n-1: pair i goes to split i mod S at position i div S,
    which the kernel maps back to result row i; unused positions hold -1."""
    s = max(1, min(int(n_splits), n)) if n else 1
    width = -(-n // s) if n else 0
    splits = np.full((s, width), -1, dtype=np.int32)
    if n:
        r = np.arange(n, dtype=np.int32)
        splits[r % s, r // s] = r
    return splits


def build_feature_frame(
    transactions,
    targets,
    *,
    horizons,
    resolution="day",
    offset: int = 0,
    operators=None,
    dimension_values=None,
    per_dimension_operators=(),
    entity_col: str = "entity",
    timestamp_col: str = "timestamp",
    quantity_col: str = "quantity",
    dimension_col: Optional[str] = "dimension",
    target_entity_col: Optional[str] = None,
    target_date_col: str = "target_date",
    for_afe_columns: bool = False,
    dim_group_id: int = -1,
    is_no_dim_col: bool = False,
    nearest_exponent: Optional[int] = None,
    batch_size: int = DEFAULT_BATCH_SIZE,
    n_splits: int = 1,
    progress: bool = False,
):
    """Aggregate features for every (entity, target date) pair of ``targets``.

    ``transactions`` has an entity id (any hashable), a timestamp (datetime64 or
    integer milliseconds), a quantity and a dimension code (integers fitting
    int8; ``dimension_col=None`` puts every transaction under code 0).
    ``targets`` has an entity id and a target date; an entity may appear with
    several target dates. The result has one row per row of ``targets``, in
    the same order and with the same index: the entity, the target date, then
    one float32 column per feature, named ``{dimension}__{operator}__{horizon}``
    (``{dimension}__{operator}`` for ``per_dimension_operators``). Cells the
    kernel leaves unwritten, e.g. every feature of an entity without
    transactions, are NaN.
    """
    pd = _deps.pandas()
    trx = as_pandas(transactions, "transactions")
    tgt = as_pandas(targets, "targets")
    target_entity_col = entity_col if target_entity_col is None else target_entity_col

    # parameters first: cheap checks before any column is touched
    resolution_code = resolve_resolution(resolution)
    horizon_values = resolve_horizons(horizons)
    offset = resolve_offset(offset, horizon_values, resolution_code)
    ops = resolve_operators(operators, "operators")
    per_dim = _per_dimension(per_dimension_operators)
    if isinstance(batch_size, bool) or not isinstance(batch_size, numbers.Integral) or batch_size < 1:
        raise ValueError("batch_size: expected a positive integer, got {!r}".format(batch_size))
    if isinstance(n_splits, bool) or not isinstance(n_splits, numbers.Integral) or n_splits < 1:
        raise ValueError("n_splits: expected a positive integer, got {!r}".format(n_splits))
    if isinstance(dim_group_id, bool) or not isinstance(dim_group_id, numbers.Integral):
        raise TypeError("dim_group_id: expected an integer, got {!r}".format(dim_group_id))
    dim_group_id = int(dim_group_id)
    if target_entity_col == target_date_col:
        raise ValueError(
            "targets: the entity column and the target date column are both {!r}".format(
                target_date_col
            )
        )

    trx_cols = [entity_col, timestamp_col, quantity_col] + ([dimension_col] if dimension_col else [])
    _require_columns(trx, "transactions", trx_cols)
    _require_columns(tgt, "targets", [target_entity_col, target_date_col])

    trx_entity = trx[entity_col]
    tgt_entity = tgt[target_entity_col]
    _no_missing(trx_entity, "transactions", entity_col, "entity ids")
    _no_missing(tgt_entity, "targets", target_entity_col, "entity ids")
    ts = timestamps_ms(trx[timestamp_col], "transactions", timestamp_col)
    q = quantities(trx[quantity_col], "transactions", quantity_col)
    if dimension_col:
        d = dimension_codes(trx[dimension_col], "transactions", dimension_col)
    else:
        d = np.zeros(len(trx), dtype=np.int8)
    target_ms = timestamps_ms(tgt[target_date_col], "targets", target_date_col, "target dates")
    api = pd.api.types
    if len(trx) and len(tgt) and (
        api.is_numeric_dtype(trx_entity.dtype) != api.is_numeric_dtype(tgt_entity.dtype)
    ):
        raise TypeError(
            "targets: column {!r} holds {} entity ids but the transactions' column {!r} "
            "holds {}".format(target_entity_col, tgt_entity.dtype, entity_col, trx_entity.dtype)
        )

    index_map = make_index_map(dimension_values, d)
    layout = build_layout(
        set(index_map.values()),
        horizon_values,
        ops,
        per_dim,
        for_afe_columns=bool(for_afe_columns),
        dim_group_id=dim_group_id,
        is_no_dim_col=bool(is_no_dim_col),
        nearest_exponent=nearest_exponent,
    )

    # ---- everything is checked; compute
    ent_codes, uniques = pd.factorize(trx_entity, sort=False)
    ent_codes = np.asarray(ent_codes, dtype=np.int64)
    uniques = pd.Index(uniques)
    prepared = _prepare_transactions(ent_codes, len(uniques), ts, q, d)
    del ent_codes, ts, q, d
    tgt_codes = np.asarray(uniques.get_indexer(tgt_entity), dtype=np.int64)

    n = len(tgt)
    out = np.full((n, len(layout.names)), np.nan, dtype=np.float32)
    _fill(out, prepared, tgt_codes, target_ms, layout, index_map, resolution_code, offset,
          dim_group_id, bool(for_afe_columns), bool(is_no_dim_col), int(batch_size),
          int(n_splits), progress)

    frame = pd.DataFrame(out, columns=layout.names, index=tgt.index, copy=False)
    frame.insert(0, target_date_col, tgt[target_date_col].array)
    frame.insert(0, target_entity_col, tgt_entity.array)
    return frame


def _fill(out, prepared: _Prepared, tgt_codes, target_ms, layout: ColumnLayout, index_map,
          resolution, offset, dim_group_id, for_afe_columns, is_no_dim_col, batch_size,
          n_splits, progress) -> None:
    n = out.shape[0]
    bar = None
    if progress:
        tqdm = _deps.require("tqdm")
        bar = tqdm.tqdm(total=n, unit="target", desc="feature frame")
    try:
        if out.shape[1] == 0 or len(prepared.rows) == 0:
            if bar is not None:
                bar.update(n)
            return
        execute = _kernel().execute
        column_name_map = layout.column_name_map
        for start in range(0, n, batch_size):
            stop = min(n, start + batch_size)
            codes = tgt_codes[start:stop]
            views: Dict[int, np.ndarray] = {}
            entity_index_map = {}
            for i, code in enumerate(codes.tolist()):
                if code < 0:
                    continue  # no transactions: the row stays NaN
                view = views.get(code)
                if view is None:
                    view = views[code] = prepared.rows_of(code)
                entity_index_map[i] = view
            if entity_index_map:
                execute(
                    out[start:stop],
                    1,
                    0,
                    0,
                    0,
                    make_splits(stop - start, n_splits),
                    layout.horizons_arg,
                    offset,
                    resolution,
                    index_map,
                    prepared.trx_dates,
                    prepared.trx_q,
                    prepared.trx_d,
                    entity_index_map,
                    np.array(target_ms[start:stop], dtype=np.int64),
                    layout.included,
                    layout.set_one,
                    layout.set_two,
                    column_name_map,
                    layout.nearest_exponent,
                    dim_group_id,
                    for_afe_columns,
                    is_no_dim_col,
                )
            if bar is not None:
                bar.update(stop - start)
    finally:
        if bar is not None:
            bar.close()


def feature_columns(
    dimension_values,
    *,
    horizons,
    operators=None,
    per_dimension_operators=(),
    for_afe_columns: bool = False,
    dim_group_id: int = -1,
    is_no_dim_col: bool = False,
) -> List[str]:
    """Names of the feature columns that ``build_feature_frame`` produces for the
    given dimension values (a dict code -> value or a sequence of codes), e.g. to
    declare an output schema for a distributed engine."""
    index_map = make_index_map(dimension_values, np.zeros(0, dtype=np.int8))
    return build_layout(
        set(index_map.values()),
        resolve_horizons(horizons),
        resolve_operators(operators, "operators"),
        _per_dimension(per_dimension_operators),
        for_afe_columns=bool(for_afe_columns),
        dim_group_id=int(dim_group_id),
        is_no_dim_col=bool(is_no_dim_col),
    ).names
