"""Feature frames from ordinary tables: the single-machine builder.

``build_feature_frame`` checks a transaction table and a table of (entity,
target date) pairs, reads the needed columns as the engine takes them
(views where the data allow), and returns the features as a pandas
DataFrame with one row per target pair.

The computing runs in the ``_engine`` extension, behind two seams:

* ``_prepare_transactions``: the entity ids numbered densely, then the
  transactions grouped by entity, each entity's rows newest first (the order
  never depends on the input row order);
* ``_compute``: every target's row of one float32 matrix, on ``n_jobs``
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
from typing import Dict, List, Optional, Tuple

import numpy as np

from . import _deps, _native, _progress
from ._columns import UNIT_MS, UNKNOWN_DIMENSION_VALUE, ColumnLayout, build_layout
from ._params import FeatureParams, InvalidParameterError
from ._entity_ids import EntityIds
from ._grid import TargetGrid, check_output_size
from ._tables import MissingQuantityWarning, Table, read_transactions

__all__ = ["MissingQuantityWarning", "PreparedBuild", "build_feature_frame", "build_with_report", "feature_columns",
           "prepare_build"]


def make_index_map(dimension_values, codes_present: np.ndarray) -> Dict[int, int]:
    """The kernel's ``index_map``: dimension code -> dimension value.

    ``codes_present`` are the distinct codes of the transactions. ``None`` maps every code present onto itself;
    otherwise the checked (code, value) pairs. Codes present in the
    transactions but not named map to the unknown dimension value, which
    gets no columns but still counts in the ratio totals. Every code present
    is a key, so the kernel never meets a code it has to insert itself.
    """
    if dimension_values is None:
        return {int(c): int(c) for c in codes_present}
    mapping = dict(dimension_values)
    for c in codes_present:
        mapping.setdefault(int(c), UNKNOWN_DIMENSION_VALUE)
    return dict(sorted(mapping.items()))


# --------------------------------------------------------------------------
# the two seams: preparation and compute


def _prepare_transactions(entity_ids: EntityIds, keep: Optional[np.ndarray], ts, q, d, n_jobs: int,
                          progress, reach: Optional[Tuple[int, int]] = None
                          ) -> Tuple[_native.PreparedTransactions, np.ndarray, np.ndarray]:
    """The transactions grouped by entity, newest first; whether each entity
    has any transaction; and every target's entity code (an id without
    transactions has -1 or a code that has none). ``keep`` selects the rows
    of ``ts``, ``q`` and ``d`` among the id column's rows (None: all of
    them). ``reach``: the dates (milliseconds, both included) of the only
    rows to prepare (None: all). ``progress`` is a stage of ``_progress``:
    the numbering moves its first third, the grouping the rest."""
    total = progress.total_units
    codes, n_entities, target_codes = entity_ids.codes(n_jobs, progress.follow(0, total // 3))
    if keep is not None:
        codes = codes[keep]
    # the columns were checked: no missing timestamp, all within the time
    # line, codes within int8
    present = None if reach is None else np.zeros(n_entities, dtype=bool)
    prepared = _native.prepare_transactions(codes, n_entities, ts, q, d, rows_checked=True, keep_dates=reach,
                                            present_out=present, n_jobs=n_jobs,
                                            progress_callback=progress.follow(total // 3, total))
    if present is None:
        present = np.diff(prepared.offsets) > 0
    return prepared, present, target_codes


def _mostly_within(span: Optional[Tuple[int, int]], reach: Tuple[int, int]) -> bool:
    """Whether nine tenths or more of the time from the earliest to the
    latest transaction (``span``) lies within ``reach``. Leaving rows out
    costs every row a comparison in two passes and saves a left-out row its
    sorting, about ten times as much: below a tenth of the history it does
    not pay."""
    if span is None:
        return False
    inside = min(span[1], reach[1]) - max(span[0], reach[0]) + 1
    return inside >= 0.9 * (span[1] - span[0] + 1)


def rows_in_reach(target_dates, params: FeatureParams) -> Tuple[int, int]:
    """The dates (milliseconds, both included) of the transactions that some
    target's windows can reach: from the start of the earliest target's
    largest window to the end of the latest target's windows (included even
    where the windows end before it). Older rows and later ones change no
    feature."""
    if not len(target_dates):
        return 0, -1
    counts, multiplier, divisor, _ = _native.time_counts(target_dates)
    first, last = (int(c) * multiplier // divisor for c in (counts.min(), counts.max()))
    unit = int(UNIT_MS[params.resolution])
    low, high = -(2**63), 2**63 - 1
    return (max(low, first - (max(params.horizons) + params.offset) * unit),
            min(high, max(low, last - params.offset * unit)))


def _compute(prepared: _native.PreparedTransactions, target_codes, target_ts, layout: ColumnLayout,
             params: FeatureParams, n_jobs: int, progress) -> np.ndarray:
    """The feature matrix (float32, one row per target, NaN where nothing is
    written), computed in one engine call; ``progress`` advances by targets."""
    return _native.compute_features(
        None, prepared, target_codes, target_ts, layout, layout.index_map,
        resolution=params.resolution_code, offset=params.offset, dim_group_id=params.dim_group_id,
        for_afe_columns=params.for_afe_columns, is_no_dim_col=params.is_no_dim_col,
        empty_statistic_nan=True, n_jobs=n_jobs, progress_callback=progress.follow(0, progress.total_units),
    )


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
    _deps.pandas()  # the result is a pandas frame: without pandas nothing is read
    job = prepare_build(transactions, targets, params, progress=progress, names=names, first_lines=first_lines,
                        in_memory=True)
    check_output_size(job.n_targets, len(job.layout.names))
    with _progress.stage(progress, "computing", total=job.n_targets, unit="target") as bar:
        out = job.compute(0, job.n_targets, bar)
    return job.frame(out), job.report


def prepare_build(transactions, targets, params: FeatureParams, *, progress: bool = False,
                  names: Tuple[str, str] = ("transactions", "targets"),
                  first_lines: Tuple[Optional[int], Optional[int]] = (None, None),
                  in_memory: bool = False) -> "PreparedBuild":
    """Everything of ``build_with_report`` before the computing: the tables
    checked, the transactions prepared. The command line then computes the
    targets chunk by chunk and writes each chunk while the next is computed;
    ``in_memory``: the caller holds every feature row at once (a grid too
    large for that is refused before anything is read)."""
    jobs = params.jobs()
    numbered = None
    if isinstance(targets, TargetGrid):
        # listing the entities of integer ids numbers them: not done twice
        targets, numbered = targets.table_and_codes(transactions, params, in_memory)
    trx = Table(transactions, names[0], params.transaction_columns(), first_lines[0])
    tgt = Table(targets, names[1], params.target_columns(), first_lines[1])
    columns = read_transactions(trx, params, jobs)
    target_dates = tgt.timestamps(params.target_date_col, params.timestamp_unit, "target dates")
    entity_ids = EntityIds(trx, params.entity_col, tgt, params.entity_col_of_targets, numbered)
    layout = _layout(params, columns.codes_present)

    # ---- everything is checked; prepare
    with _progress.stage(progress, "preparing", total=len(columns.quantities), unit="trx") as bar:
        reach = rows_in_reach(target_dates, params)
        if _mostly_within(trx.time_spans.get(params.timestamp_col), reach):
            reach = None
        prepared, present, target_codes = _prepare_transactions(entity_ids, columns.keep, columns.timestamps,
                                                                columns.quantities, columns.codes, jobs, bar,
                                                                reach)
    return PreparedBuild(prepared, present, target_codes, target_dates, layout, params, tgt, columns.n_dropped)


class PreparedBuild:
    """The prepared transactions and the checked targets of one build:
    ``compute`` fills the feature rows of any range of targets."""

    def __init__(self, prepared: _native.PreparedTransactions, present: np.ndarray, target_codes: np.ndarray,
                 target_dates: np.ndarray, layout: ColumnLayout, params: FeatureParams, tgt: Table, n_dropped: int):
        self.prepared, self.target_codes, self.target_dates = prepared, target_codes, target_dates
        self.layout, self.params, self.tgt = layout, params, tgt
        self.n_targets = tgt.n_rows
        self.report = _report(self.n_targets, len(layout.names), present, target_codes, n_dropped)

    def compute(self, start: int, stop: int, progress, n_jobs: Optional[int] = None) -> np.ndarray:
        """The feature matrix of targets ``start`` to ``stop - 1``."""
        jobs = self.params.jobs() if n_jobs is None else n_jobs
        return _compute(self.prepared, self.target_codes[start:stop], self.target_dates[start:stop], self.layout,
                        self.params, jobs, progress)

    def frame(self, out: np.ndarray):
        """The feature frame of every target from its whole matrix."""
        return _frame(out, self.layout, self.tgt, self.params)


def _frame(out: np.ndarray, layout: ColumnLayout, tgt: Table, params: FeatureParams):
    """The targets' entity and date columns as given, then the matrix as the
    frame's one float32 block, not copied."""
    frame = _deps.pandas().DataFrame(out, columns=layout.names, index=tgt.index, copy=False)
    frame.insert(0, params.target_date_col, tgt.output_column(params.target_date_col))
    frame.insert(0, params.entity_col_of_targets, tgt.output_column(params.entity_col_of_targets))
    return frame


def _report(n_rows: int, n_columns: int, present: np.ndarray, target_codes: np.ndarray,
            n_dropped: int) -> BuildReport:
    """``present``: per entity code, whether the entity has any transaction."""
    known = target_codes >= 0
    with_rows = np.count_nonzero(present[target_codes[known]]) if len(present) else 0
    return BuildReport(rows=n_rows, feature_columns=n_columns, targets_without_transactions=n_rows - int(with_rows),
                       dropped_missing_quantities=n_dropped)


def feature_columns(dimension_values, params: Optional[FeatureParams] = None, /, **options) -> List[str]:
    """Names of the feature columns that ``build_feature_frame`` produces for the
    given dimension values (a dict code -> value or a sequence of codes), e.g. to
    declare an output schema for a distributed engine."""
    params = FeatureParams.from_options(params, dict(options, dimension_values=dimension_values),
                                        "feature_columns")
    return _layout(params, np.zeros(0, dtype=np.int8)).names


def _layout(params: FeatureParams, codes_present: np.ndarray) -> ColumnLayout:
    """The feature columns for the dimension codes present. The layout's
    refusals are of parameters that do not fit the data's dimension values
    (group, nearest_exponent, dimension_values), so they are parameter errors."""
    index_map = make_index_map(params.dimension_values, codes_present)
    dims = set(index_map.values())
    params.check_group_among(dims - {UNKNOWN_DIMENSION_VALUE})
    try:
        layout = build_layout(dims, params)
    except (TypeError, ValueError) as error:
        message = str(error)
        if message.split(":")[0].split(" ")[0] not in FeatureParams.__dataclass_fields__:
            message = f"dimension_values: {message}"  # keys that do not fit: too large dimension values
        raise InvalidParameterError(message) from None
    layout.index_map = index_map
    return layout
