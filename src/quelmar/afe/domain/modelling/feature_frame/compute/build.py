"""Feature frames from ordinary tables: the single-machine builder.

``build_feature_frame`` reads a transaction table and a table of (entity,
target date) pairs through the input layer (each column once), and
returns the features as a pandas DataFrame with one row per target pair.

The computing runs in the ``_engine`` extension, behind two seams:

* preparation: the entity ids numbered densely, then the transactions
  grouped by entity, each entity's rows newest first (the order never
  depends on the input row order);
* compute: every target's row of one float32 matrix, on ``n_jobs``
  threads, each cell exactly as ``execute`` writes it, except that sums
  are exact (``sum``, ``density`` and ``ratio`` from the float32 nearest the
  exact sum) and that ``count_distinct`` and ``mode`` of a window without any accepted
  transaction are NaN (``execute`` writes 0 there, which would tell an
  entity that buys only after the target date from one that never buys).
  Cells nothing writes are NaN.

Everything before the seams only checks and converts.
"""

from __future__ import annotations

import dataclasses
from typing import List, Optional, Tuple

import numpy as np

from .. import native
from ..input import (EntityCodes, InputTable, Targets, TimeColumn, Transactions, check_comparable,
                     number_entities)
from ..params import ColumnLayout, FeatureParams, layout_for
from ..support import pandas, stage
from .grid import TargetGrid, check_output_size


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
    several target dates. A ``TargetGrid`` stands for every entity at every
    step of a period. Parameters come as a ``FeatureParams`` or as its
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
    pandas()  # the result is a pandas frame: without pandas nothing is read
    job = prepare_build(transactions, targets, params, progress=progress, names=names, first_lines=first_lines,
                        in_memory=True)
    check_output_size(job.n_targets, len(job.layout.names))
    with stage(progress, "computing", total=job.n_targets, unit="target") as bar:
        out = job.compute(0, job.n_targets, bar)
    return job.frame(out), job.report


def prepare_build(transactions, targets, params: FeatureParams, *, progress: bool = False,
                  names: Tuple[str, str] = ("transactions", "targets"),
                  first_lines: Tuple[Optional[int], Optional[int]] = (None, None),
                  in_memory: bool = False) -> "PreparedBuild":
    """Everything of ``build_with_report`` before the computing: the tables
    read, the transactions prepared. The command line then computes the
    targets chunk by chunk and writes each chunk while the next is computed;
    ``in_memory``: the caller holds every feature row at once (a grid too
    large for that is refused before its table is made)."""
    jobs = params.jobs()
    trx_table = InputTable(transactions, names[0], params.transaction_columns(), first_lines[0])
    grid = targets if isinstance(targets, TargetGrid) else None
    tgt_table = None if grid else InputTable(targets, names[1], params.target_columns(), first_lines[1])
    trx = Transactions(trx_table, params, jobs)
    if grid is None:
        tgt = Targets(tgt_table, params)
        check_comparable(trx.ids, tgt.ids)
        numbering = None
    else:
        scheduled = grid.targets(params, trx.ids, trx.table_times, jobs, in_memory)
        tgt_table = InputTable(scheduled.frame, names[1], params.target_columns())
        tgt, numbering = Targets(tgt_table, params), scheduled.codes
    layout = layout_for(params, trx.codes.present)

    # ---- everything is checked; prepare
    with stage(progress, "preparing", total=trx.n_rows, unit="trx") as bar:
        total = bar.total_units
        if numbering is None:
            numbering = number_entities(trx.ids, tgt.ids, jobs, bar.follow(0, total // 3))
        reach = rows_in_reach(tgt.dates, params)
        if _mostly_within(trx.times, reach):
            reach = None
        prepared, present = prepare_transactions(trx, numbering, jobs, bar.follow(total // 3, total), reach)
    return PreparedBuild(prepared, present, numbering.target_codes, tgt.dates, layout, params, tgt_table,
                         trx.n_dropped)


def prepare_transactions(trx: Transactions, numbering: EntityCodes, n_jobs: int, progress_callback=None,
                         reach: Optional[Tuple[int, int]] = None) -> Tuple[native.PreparedTransactions, np.ndarray]:
    """The transactions grouped by entity, newest first, and whether each
    entity has any transaction. ``reach``: the dates (milliseconds, both
    included) of the only rows to prepare (None: all)."""
    codes = numbering.codes if trx.keep is None else numbering.codes[trx.keep]
    present = None if reach is None else np.zeros(numbering.n_entities, dtype=bool)
    # the columns were checked: no missing timestamp, all within the time
    # line, codes within int8
    prepared = native.prepare_transactions(codes, numbering.n_entities, trx.times.counts, trx.quantities,
                                           trx.codes.values, ms_ratio=trx.times.ratio, rows_checked=True,
                                           keep_dates=reach, present_out=present, n_jobs=n_jobs,
                                           progress_callback=progress_callback)
    if present is None:
        present = np.diff(prepared.offsets) > 0
    return prepared, present


def _mostly_within(times: TimeColumn, reach: Tuple[int, int]) -> bool:
    """Whether nine tenths or more of the time from the earliest to the
    latest transaction lies within ``reach``. Leaving rows out costs every
    row a comparison in two passes and saves a left-out row its sorting,
    about ten times as much: below a tenth of the history it does not pay."""
    if times.earliest is None:
        return False
    inside = min(times.latest, reach[1]) - max(times.earliest, reach[0]) + 1
    return inside >= 0.9 * (times.latest - times.earliest + 1)


def rows_in_reach(target_ms: np.ndarray, params: FeatureParams) -> Tuple[int, int]:
    """The dates (milliseconds, both included) of the transactions that some
    target's windows can reach: from the start of the earliest target's
    largest window to the end of the latest target's windows (included even
    where the windows end before it). Older rows and later ones change no
    feature."""
    if not len(target_ms):
        return 0, -1
    low, high = -(2**63), 2**63 - 1
    first, last = int(target_ms.min()), int(target_ms.max())
    return max(low, first - params.window_reach_ms), min(high, max(low, last - params.window_end_ms))


def plan_for(layout: ColumnLayout, params: FeatureParams):
    """The engine's plan of a build's columns, made once (``native.plan_of``)."""
    return native.plan_of(layout, resolution=params.resolution_code, offset=params.offset,
                          dim_group_id=params.dim_group_id, for_afe_columns=params.for_afe_columns,
                          is_no_dim_col=params.is_no_dim_col, empty_statistic_nan=True)


def compute_rows(prepared: native.PreparedTransactions, target_codes, target_ms, layout: ColumnLayout,
                 params: FeatureParams, n_jobs: int, progress_callback=None, out=None, plan=None) -> np.ndarray:
    """The feature matrix (float32, one row per target, NaN where nothing is
    written), computed in one engine call; with ``plan`` (``plan_for`` of
    the same layout and parameters) without planning."""
    if plan is not None:
        return native.compute_planned(plan, out, prepared, target_codes, target_ms, n_jobs=n_jobs,
                                      progress_callback=progress_callback)
    return native.compute_features(
        out, prepared, target_codes, target_ms, layout, layout.index_map,
        resolution=params.resolution_code, offset=params.offset, dim_group_id=params.dim_group_id,
        for_afe_columns=params.for_afe_columns, is_no_dim_col=params.is_no_dim_col,
        empty_statistic_nan=True, n_jobs=n_jobs, progress_callback=progress_callback,
    )


class PreparedBuild:
    """The prepared transactions and the checked targets of one build:
    ``compute`` fills the feature rows of any range of targets (with
    ``plan``, a ``plan_for`` the layout and parameters, made once by the
    caller)."""

    def __init__(self, prepared: native.PreparedTransactions, present: np.ndarray, target_codes: np.ndarray,
                 target_dates: np.ndarray, layout: ColumnLayout, params: FeatureParams, tgt: InputTable,
                 n_dropped: int, plan=None):
        self.prepared, self.target_codes, self.target_dates = prepared, target_codes, target_dates
        self.layout, self.params, self.tgt, self.plan = layout, params, tgt, plan
        self.n_targets = tgt.n_rows
        self.report = _report(self.n_targets, len(layout.names), present, target_codes, n_dropped)

    def compute(self, start: int, stop: int, progress, n_jobs: Optional[int] = None) -> np.ndarray:
        """The feature matrix of targets ``start`` to ``stop - 1``."""
        jobs = self.params.jobs() if n_jobs is None else n_jobs
        return compute_rows(self.prepared, self.target_codes[start:stop], self.target_dates[start:stop], self.layout,
                            self.params, jobs, progress.follow(0, progress.total_units), plan=self.plan)

    def frame(self, out: np.ndarray):
        """The feature frame of every target from its whole matrix: the
        targets' entity and date columns as given, then the matrix as the
        frame's one float32 block, not copied."""
        return frame_of(out, self.layout, self.params, self.tgt)


def frame_of(out: np.ndarray, layout: ColumnLayout, params: FeatureParams, tgt: InputTable):
    """The feature frame of the targets of ``tgt`` from their matrix: their
    entity and date columns as given, then the matrix as the frame's one
    float32 block, not copied."""
    frame = pandas().DataFrame(out, columns=layout.names, index=tgt.index, copy=False)
    frame.insert(0, params.target_date_col, tgt.output(params.target_date_col))
    frame.insert(0, params.entity_col_of_targets, tgt.output(params.entity_col_of_targets))
    return frame


def _report(n_rows: int, n_columns: int, present: np.ndarray, target_codes: np.ndarray,
            n_dropped: int) -> BuildReport:
    """``present``: per entity code, whether the entity has any transaction."""
    known = target_codes >= 0
    with_rows = np.count_nonzero(present[target_codes[known]]) if len(present) else 0
    return BuildReport(rows=n_rows, feature_columns=n_columns, targets_without_transactions=n_rows - int(with_rows),
                       dropped_missing_quantities=n_dropped)


def merged_report(reports: List[BuildReport], dropped: int) -> BuildReport:
    """The report of a build made of several (buckets)."""
    return BuildReport(
        rows=sum(r.rows for r in reports),
        feature_columns=reports[0].feature_columns if reports else 0,
        targets_without_transactions=sum(r.targets_without_transactions for r in reports),
        dropped_missing_quantities=dropped,
    )


def feature_columns(dimension_values, params: Optional[FeatureParams] = None, /, **options) -> List[str]:
    """Names of the feature columns that ``build_feature_frame`` produces for the
    given dimension values (a dict code -> value or a sequence of codes), e.g. to
    declare an output schema for a distributed engine."""
    params = FeatureParams.from_options(params, dict(options, dimension_values=dimension_values),
                                        "feature_columns")
    return layout_for(params, []).names
