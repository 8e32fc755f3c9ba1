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
  with NaN beforehand, so cells the kernel does not write stay NaN;
* afterwards ``count_distinct`` and ``mode`` cells of windows without any
  accepted transaction are set to NaN (the kernel writes 0 there).

All computing happens behind two seams, ``_prepare_transactions`` and
``_compute``; everything before them only checks and converts.
"""

from __future__ import annotations

import dataclasses
import warnings
from typing import Dict, List, Optional, Tuple

import numpy as np

from . import _deps, _progress
from ._columns import INT32_MAX, UNKNOWN_DIMENSION_VALUE, ColumnLayout, build_layout
from ._params import FeatureParams
from ._tables import Table, entity_codes


class MissingQuantityWarning(UserWarning):
    """Transactions with a missing quantity were dropped before computing."""


def _kernel():
    from quelmar.afe.domain.modelling.helper import data_frame_builder_helper

    return data_frame_builder_helper


def make_index_map(dimension_values, codes_present: np.ndarray) -> Dict[int, int]:
    """The kernel's ``index_map``: dimension code -> dimension value.

    ``None`` maps every code present onto itself; otherwise the checked
    (code, value) pairs. Codes present in the transactions but not named map
    to the unknown dimension value, which gets no columns but still counts in
    the ratio totals. Every code present is a key, so the kernel never meets
    a code it has to insert itself.
    """
    # int8 viewed as uint8 with the sign bit flipped keeps the order: -128..127 -> 0..255
    present = np.flatnonzero(np.bincount(codes_present.view(np.uint8) ^ 0x80, minlength=256)) - 128
    if dimension_values is None:
        return {int(c): int(c) for c in present}
    mapping = dict(dimension_values)
    for c in present:
        mapping.setdefault(int(c), UNKNOWN_DIMENSION_VALUE)
    return dict(sorted(mapping.items()))


# --------------------------------------------------------------------------
# the two seams: preparation and compute


class _Prepared:
    """Converted transactions: kernel arrays grouped by entity, each entity's
    rows newest first, and where each entity's run starts and how long it is."""

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
    """Group the transactions by entity, newest first; the order never
    depends on the input row order."""
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


def _compute(out, prepared: _Prepared, tgt_codes, target_ms, layout: ColumnLayout,
             params: FeatureParams, n_jobs: int, progress) -> None:
    """Fill ``out`` (float32, NaN-filled, one row per target) with the features.

    ``n_jobs`` is the number of threads the parallel engine will spread the
    targets over; this body still runs serially, one ``execute`` call per
    batch of ``params.batch_size`` targets. ``progress`` is a stage of
    ``_progress`` and advances by targets.
    """
    n = out.shape[0]
    if out.shape[1] == 0 or len(prepared.rows) == 0:
        progress.update(n)
        return
    execute = _kernel().execute
    column_name_map = layout.column_name_map
    statistics = layout.window_statistic_columns(params.per_dimension_operators)
    positive = _positive_prefix(prepared) if statistics else None
    batch = params.batch_size
    for start in range(0, n, batch):
        stop = min(n, start + batch)
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
            dates = np.array(target_ms[start:stop], dtype=np.int64)
            execute(
                out[start:stop], 1, 0, 0, 0, make_splits(stop - start, params.n_splits),
                layout.horizons_arg, params.offset, params.resolution_code, layout.index_map,
                prepared.trx_dates, prepared.trx_q, prepared.trx_d, entity_index_map, dates,
                layout.included, layout.set_one, layout.set_two, column_name_map,
                layout.nearest_exponent, params.dim_group_id, params.for_afe_columns,
                params.is_no_dim_col,
            )
            if statistics:
                horizons = sorted(statistics)
                empty = _empty_windows(prepared, positive, codes, dates, horizons, params)
                block = out[start:stop]
                for k, h in enumerate(horizons):
                    rows = np.flatnonzero(empty[:, k])
                    if len(rows):
                        block[np.ix_(rows, statistics[h])] = np.nan
        progress.update(stop - start)


def _positive_prefix(prepared: _Prepared) -> np.ndarray:
    """positive[i]: how many of the prepared rows before row i have a quantity above 0."""
    positive = np.zeros(len(prepared.rows) + 1, dtype=np.int64)
    np.cumsum(prepared.trx_q[:, 0] > 0, out=positive[1:])
    return positive


def _empty_windows(prepared: _Prepared, positive, codes, target_ms, horizons,
                   params: FeatureParams) -> np.ndarray:
    """For each target (entity ``codes``, dates ``target_ms``) and horizon of
    ``horizons``: True when its window holds no accepted transaction, that is
    none with quantity > 0 dated in [T - (offset + h) units, T - offset units)
    (the end included in feature-group mode). Worked out from the prepared
    rows alone, not from what the kernel wrote.

    Each entity's rows are one run, newest first, so both window ends are
    found by a bisection over the run, vectorised over all targets, and the
    prefix count ``positive`` (``_positive_prefix``) tells whether any row
    with a positive quantity lies between.
    """
    n, n_h = len(codes), len(horizons)
    empty = np.ones((n, n_h), dtype=bool)
    has_rows = codes >= 0
    if not has_rows.any():
        return empty
    ts = prepared.trx_dates[:, 0]
    known = codes[has_rows]
    first = prepared.starts[known]
    last = first + prepared.counts[known]
    dates = np.asarray(target_ms, dtype=np.int64)[has_rows]
    unit = params.unit_ms
    end = dates - params.offset * unit
    newest = _first_older(ts, first, last, end, inclusive=params.for_afe_columns)
    for k, h in enumerate(horizons):
        oldest = _first_older(ts, first, last, dates - (params.offset + h) * unit, inclusive=False)
        empty[has_rows, k] = positive[oldest] == positive[newest]
    return empty


def _first_older(ts, first, last, bound, inclusive: bool) -> np.ndarray:
    """Per run [first, last) of the descending ``ts``: the first index whose
    timestamp lies below ``bound`` (at or below it when ``inclusive``), or
    ``last`` when there is none."""
    lo, hi = first.copy(), last.copy()
    top = len(ts) - 1
    while True:
        open_ = lo < hi
        if not open_.any():
            return lo
        mid = (lo + hi) // 2
        value = ts[np.minimum(mid, top)]
        older = (value <= bound) if inclusive else (value < bound)
        lo = np.where(open_ & ~older, mid + 1, lo)
        hi = np.where(open_ & older, mid, hi)


# --------------------------------------------------------------------------
# the builder


@dataclasses.dataclass
class BuildReport:
    """What a build did besides the frame: for the command line's summary."""

    rows: int
    feature_columns: int
    targets_without_transactions: int
    dropped_missing_quantities: int


def build_feature_frame(transactions, targets, params: Optional[FeatureParams] = None, /, *,
                        progress: bool = False, **options):
    """Aggregate features for every (entity, target date) pair of ``targets``.

    ``transactions`` (a pandas DataFrame, pyarrow Table or polars DataFrame)
    has an entity id (any hashable), a timestamp (datetimes, or integers in
    ``timestamp_unit``), a quantity and a dimension code (integers fitting
    int8; ``dimension_col=None`` puts every transaction under code 0).
    ``targets`` has an entity id and a target date; an entity may appear with
    several target dates. Parameters come as a ``FeatureParams`` or as its
    field names in keyword arguments (keywords override the object's fields).

    The result is a pandas DataFrame with one row per row of ``targets``, in
    the same order and with the same index: the entity, the target date, then
    one float32 column per feature, named ``{dimension}__{operator}__{horizon}``
    (``{dimension}__{operator}`` for ``per_dimension_operators``). A window
    without accepted transactions gives NaN in every operator. Rows with a
    missing quantity are dropped with a ``MissingQuantityWarning``
    (``missing_quantities="raise"`` refuses them instead).
    """
    params = FeatureParams.from_options(params, options, "build_feature_frame")
    frame, _ = build_with_report(transactions, targets, params, progress=progress)
    return frame


def build_with_report(transactions, targets, params: FeatureParams, *, progress: bool = False,
                      names: Tuple[str, str] = ("transactions", "targets"),
                      first_lines: Tuple[Optional[int], Optional[int]] = (None, None)):
    """``build_feature_frame`` for checked parameters, also returning a
    ``BuildReport``. ``names`` and ``first_lines`` name the tables in messages
    (file names and CSV line numbers on the command line)."""
    pd = _deps.pandas()
    trx = Table(transactions, names[0], params.transaction_columns(), first_lines[0])
    tgt = Table(targets, names[1], params.target_columns(), first_lines[1])
    ent_col, tgt_ent_col = params.entity_col, params.entity_col_of_targets

    ts = trx.timestamps_ms(params.timestamp_col, params.timestamp_unit)
    target_ms = tgt.timestamps_ms(params.target_date_col, params.timestamp_unit, "target dates")
    q = trx.quantities(params.quantity_col)
    if params.dimension_col:
        d = trx.dimension_codes(params.dimension_col)
    else:
        d = np.zeros(trx.n_rows, dtype=np.int8)
    ent_codes, n_entities, tgt_codes = entity_codes(trx, ent_col, tgt, tgt_ent_col)

    missing = np.isnan(q)
    n_missing = int(np.count_nonzero(missing))
    if n_missing:
        first = trx.row(int(np.argmax(missing)))
        where = f"{trx.what}: column {params.quantity_col!r} has {n_missing} missing quantities (first at {first})"
        if params.missing_quantities == "raise":
            raise ValueError(f"{where}; drop them or pass missing_quantities='drop'")
        warnings.warn(MissingQuantityWarning(f"{where}; those rows were dropped"), stacklevel=3)
        keep = ~missing
        ts, q, d, ent_codes = ts[keep], q[keep], d[keep], ent_codes[keep]

    index_map = make_index_map(params.dimension_values, d)
    layout = build_layout(set(index_map.values()), params)
    layout.index_map = index_map

    # ---- everything is checked; compute
    n = tgt.n_rows
    with _progress.stage(progress, "preparing", total=len(ts), unit="trx") as bar:
        prepared = _prepare_transactions(ent_codes, n_entities, ts, q, d)
        bar.update(len(ts))
    del ent_codes, ts, q, d
    out = np.full((n, len(layout.names)), np.nan, dtype=np.float32)
    with _progress.stage(progress, "computing", total=n, unit="target") as bar:
        _compute(out, prepared, tgt_codes, target_ms, layout, params, params.jobs(), bar)

    frame = pd.DataFrame(out, columns=layout.names, index=tgt.index, copy=False)
    frame.insert(0, params.target_date_col, tgt.output_column(params.target_date_col))
    frame.insert(0, tgt_ent_col, tgt.output_column(tgt_ent_col))
    report = BuildReport(
        rows=n,
        feature_columns=len(layout.names),
        targets_without_transactions=int(np.count_nonzero(tgt_codes < 0)),
        dropped_missing_quantities=n_missing,
    )
    return frame, report


def feature_columns(dimension_values, params: Optional[FeatureParams] = None, /, **options) -> List[str]:
    """Names of the feature columns that ``build_feature_frame`` produces for the
    given dimension values (a dict code -> value or a sequence of codes), e.g. to
    declare an output schema for a distributed engine."""
    params = FeatureParams.from_options(params, dict(options, dimension_values=dimension_values),
                                        "feature_columns")
    index_map = make_index_map(params.dimension_values, np.zeros(0, dtype=np.int8))
    return build_layout(set(index_map.values()), params).names
