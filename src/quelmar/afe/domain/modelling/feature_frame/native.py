"""The front end's native layer: numbering of the entity ids, preparation of
the transaction columns and the parallel computation of the feature matrix,
over the ``_engine`` extension. Its callers hand it columns already checked
and converted once (the input layer); this layer only shapes the engine's
arguments.

``factorize_entities`` turns integer entity ids into dense codes.
``prepare_transactions`` turns transaction columns into what the kernel
reads: rows grouped by entity (a counting sort), each entity's rows newest
first. ``compute_features`` then fills one result row per target, exactly as
``execute`` fills it for the same target, on several threads. All three
release the interpreter lock while they work, report progress through an
optional callback and stop on Ctrl-C.

A feature store computes with a plan made once (``plan_of``, an
``_engine.Plan``: ``compute_planned`` is ``compute_features`` with it, and
its ``compute_row`` and ``compute_rows`` compute entities straight from
their record values), and ``gather_records`` merges the record values of
many entities into what ``prepare_transactions`` gives for the same rows.
"""

from __future__ import annotations

import operator
from typing import Callable, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from . import _engine
from .support.machine import default_n_jobs

#: The bytes of a store's record: int64 milliseconds, float32 quantity, int8 code.
RECORD_BYTES = 13

#: ``progress_callback(done, total)``: called from the calling thread about ten
#: times a second while the work runs, and once with ``done == total`` at the end.
ProgressCallback = Callable[[int, int], object]

class PreparedTransactions(NamedTuple):
    """Transaction columns grouped by entity: entity ``e`` owns rows
    ``offsets[e]`` to ``offsets[e + 1] - 1``, newest first, ties ordered by
    dimension code and then quantity (NaN last)."""

    dates: np.ndarray  # int64 milliseconds
    quantities: np.ndarray  # float32
    codes: np.ndarray  # int8 dimension codes
    offsets: np.ndarray  # int64, n_entities + 1 entries

    @property
    def n_entities(self) -> int:
        return len(self.offsets) - 1


def _n_jobs(n_jobs) -> int:
    """``n_jobs`` as given (the engine checks it), None as every core."""
    return default_n_jobs() if n_jobs is None else n_jobs


def _integers(values, what: str, accepted=(np.int32, np.int64), uint64_as_view: bool = False) -> np.ndarray:
    """A one-axis array of one of the accepted integer types, converted to
    int64 (a copy) only when it holds another integer type; uint64 values
    within int64 are viewed instead when ``uint64_as_view``. Anything but
    integers goes to the engine as it is, which refuses it naming the
    argument."""
    values = np.asarray(values)
    if values.dtype.kind not in "iu" or values.dtype in [np.dtype(t) for t in accepted]:
        return values
    if values.dtype == np.uint64:
        if values.size and int(values.max()) > np.iinfo(np.int64).max:
            raise ValueError("{}: values beyond the int64 range".format(what))
        if uint64_as_view:
            return values.view(np.int64)  # the same values
    return values.astype(np.int64)


def _quantities(values) -> np.ndarray:
    """Other numbers as float64, as the front end converts them; anything
    else goes to the engine, which refuses it."""
    values = np.asarray(values)
    if values.dtype.kind in "iuf" and values.dtype not in (np.float32, np.float64):
        return values.astype(np.float64)
    return values


def _codes(values) -> Optional[np.ndarray]:
    if values is None:
        return None
    return _integers(values, "codes", accepted=(np.int8, np.int16, np.int32, np.int64))


def count_codes(codes, *, n_jobs: Optional[int] = None) -> Tuple[np.ndarray, Optional[int]]:
    """How often each int8 code occurs among signed integer ``codes``
    (int64 counts, code ``c`` at ``c + 128``), and the first row whose code
    lies outside int8 (None: every code fits)."""
    codes = np.asarray(codes)
    counts = np.zeros(256, dtype=np.int64)
    first_outside = _engine.count_codes(codes, counts, n_jobs=_n_jobs(n_jobs))
    return counts, None if first_outside is None else int(first_outside)


def factorize_entities(
    ids,
    target_ids,
    *,
    n_jobs: Optional[int] = None,
    progress_callback: Optional[ProgressCallback] = None,
) -> Tuple[np.ndarray, int, np.ndarray]:
    """Dense codes of integer entity ids: ``(codes, n_entities, target_codes)``.

    ``codes`` (int32, one per id) lie in 0 .. n_entities - 1; ``target_codes``
    (int32, one per target id) are the code of the same id. Ids within a
    range no wider than half their number (or than 65,536) are numbered
    ``id - min(ids)``, and a target id outside that range gets -1;
    otherwise codes number the distinct ids of the targets in order of first
    appearance (the engine then writes the result rows in order), then
    those only the transactions have. Either way a code may have no
    transaction, equal ids get equal codes and the numbering does not
    depend on ``n_jobs``.
    """
    # uint64 ids beyond int64 are refused: no int64 id can equal them
    ids = _integers(ids, "ids", uint64_as_view=True)
    target_ids = _integers(target_ids, "target_ids", uint64_as_view=True)
    jobs = _n_jobs(n_jobs)
    codes = np.empty(len(ids), dtype=np.int32)
    target_codes = np.empty(len(target_ids), dtype=np.int32)
    n_entities, _ = _engine.factorize_entities(ids, target_ids, codes, target_codes, n_jobs=jobs,
                                               progress=progress_callback)
    if progress_callback is not None:
        units = 3 * len(ids) + len(target_ids)
        progress_callback(units, units)
    return codes, int(n_entities), target_codes


class EntityNumbering(NamedTuple):
    """The transactions' entity codes (see ``factorize_entities``, without
    target ids) and the codes a transaction has."""

    codes: np.ndarray  # int32, one per id
    n_entities: int
    present: np.ndarray  # bool, one per code
    smallest: Optional[int]  # ids numbered by range: code = id - smallest; else None


def number_entities(ids, *, n_jobs: Optional[int] = None) -> EntityNumbering:
    """``factorize_entities`` of the transactions' ids alone, with the codes
    that a transaction has marked in the same native call."""
    ids = _integers(ids, "ids", uint64_as_view=True)
    codes = np.empty(len(ids), dtype=np.int32)
    # room for every numbering: by range at most max(n / 2, 65,536) codes,
    # by table at most one per id; pages past the codes are never touched
    present = np.zeros(len(ids) + 65_537, dtype=bool)
    n_entities, by_range = _engine.factorize_entities(ids, np.zeros(0, np.int64), codes, np.zeros(0, np.int32),
                                                      n_jobs=_n_jobs(n_jobs), present_out=present)
    smallest = int(ids[0]) - int(codes[0]) if by_range and len(ids) else None
    return EntityNumbering(codes, int(n_entities), present[:n_entities], smallest)


def prepare_transactions(
    entity_codes,
    n_entities: int,
    timestamps,
    quantities,
    codes,
    *,
    ms_ratio: Tuple[int, int] = (1, 1),
    rows_checked: bool = False,
    keep_dates: Optional[Tuple[int, int]] = None,
    present_out: Optional[np.ndarray] = None,
    n_jobs: Optional[int] = None,
    progress_callback: Optional[ProgressCallback] = None,
) -> PreparedTransactions:
    """Group transaction columns by entity, newest first within each entity.

    ``entity_codes``: integers 0 .. n_entities - 1 (a factorisation).
    ``timestamps``: int64 counts of which ``ms_ratio`` (multiplier, divisor)
    makes milliseconds, floor(c * multiplier / divisor) (the input layer's
    ``TimeColumn`` gives both). ``quantities``: float32 or
    float64 (narrowed to float32). ``codes``: dimension codes of any integer
    type whose values fit int8, or None for all 0. ``n_jobs``: threads
    (default: every core available). Raises ValueError or TypeError, before
    any work, for bad input.
    ``rows_checked``: the caller has made sure that no timestamp is missing
    or leaves the int64 milliseconds and that every code fits int8, so the
    engine skips those checks (a row breaking the promise is prepared with a
    wrong value, never written outside the output).
    ``keep_dates``: (first, last) milliseconds, both included: only the rows
    dated within are prepared (every row is still checked). ``present_out``:
    bool, one per entity, set True for every entity with a row, prepared or
    not (other entries are left as they are).
    """
    entity_codes = _integers(entity_codes, "entity_codes")
    timestamps = _integers(timestamps, "timestamps", accepted=(np.int64,))
    quantities = _quantities(quantities)
    codes = _codes(codes)
    jobs = _n_jobs(n_jobs)
    n = len(entity_codes)
    prepared = PreparedTransactions(
        dates=np.empty(n, dtype=np.int64),
        quantities=np.empty(n, dtype=np.float32),
        codes=np.empty(n, dtype=np.int8),
        # the engine refuses a count that is not a non-negative integer
        offsets=np.empty(max(operator.index(n_entities), 0) + 1, dtype=np.int64),
    )
    window = {} if keep_dates is None else dict(keep_from=int(keep_dates[0]), keep_until=int(keep_dates[1]))
    if present_out is not None:
        window["present_out"] = present_out
    _engine.prepare_transactions(
        entity_codes, n_entities, timestamps, quantities, codes,
        prepared.dates, prepared.quantities, prepared.codes, prepared.offsets,
        ms_multiplier=int(ms_ratio[0]), ms_divisor=int(ms_ratio[1]), nat_is_missing=False,
        rows_checked=bool(rows_checked), n_jobs=jobs, progress=progress_callback, **window,
    )
    if progress_callback is not None:
        progress_callback(3 * n, 3 * n)
    kept = int(prepared.offsets[-1])
    if kept == n:
        return prepared
    # the rows past the prepared ones were never written (nor their pages touched)
    return prepared._replace(dates=prepared.dates[:kept], quantities=prepared.quantities[:kept],
                             codes=prepared.codes[:kept])


def compute_features(
    out: Optional[np.ndarray],
    prepared: PreparedTransactions,
    target_entity_codes,
    target_ms,
    layout,
    index_map,
    *,
    resolution: int,
    offset: int = 0,
    dim_group_id: int = -1,
    for_afe_columns: bool = False,
    is_no_dim_col: bool = False,
    fill_nan: bool = True,
    empty_statistic_nan: bool = False,
    n_jobs: Optional[int] = None,
    progress_callback: Optional[ProgressCallback] = None,
) -> np.ndarray:
    """Fill row ``i`` of ``out`` with the features of target ``i``.

    Target ``i`` is entity ``target_entity_codes[i]`` (an index into
    ``prepared.offsets``; negative: an entity without transactions) at
    ``target_ms[i]`` (int64 milliseconds). ``layout`` (the
    front end's ``ColumnLayout``) says what each column holds
    (``columns``) and gives the horizons; ``index_map`` maps dimension codes
    to values. ``for_afe_columns``, ``dim_group_id`` and ``is_no_dim_col``
    are the feature-group option. Each row gets exactly what ``execute``
    writes for that target in a single split; with ``fill_nan`` every other
    cell is NaN, so ``out`` may come from ``np.empty`` (``None`` allocates
    it). ``out`` must be C-contiguous float32 of shape (targets, columns).
    With ``empty_statistic_nan`` the count_distinct and mode cells of a
    window without any accepted transaction are NaN instead of ``execute``'s
    0. Returns ``out``.
    """
    target_entity_codes = _integers(target_entity_codes, "target_entity_codes")
    target_ms = _integers(target_ms, "target_ms", accepted=(np.int64,))
    columns = np.array(layout.columns, dtype=np.int32).reshape(-1, 3)
    if out is None:
        out = np.empty((len(target_entity_codes), len(columns)), dtype=np.float32)
    _engine.compute_features(
        out,
        prepared.dates,
        prepared.quantities,
        prepared.codes,
        prepared.offsets,
        target_entity_codes,
        target_ms,
        columns,
        layout.horizons_arg,
        offset,
        resolution,
        index_map,
        feature_group=for_afe_columns,
        group_value=dim_group_id,
        all_values=is_no_dim_col,
        fill_nan=fill_nan,
        empty_statistic_nan=empty_statistic_nan,
        n_jobs=_n_jobs(n_jobs),
        progress=progress_callback,
    )
    if progress_callback is not None:
        progress_callback(len(target_entity_codes), len(target_entity_codes))
    return out


def plan_of(layout, *, resolution: int, offset: int = 0, dim_group_id: int = -1, for_afe_columns: bool = False,
            is_no_dim_col: bool = False, empty_statistic_nan: bool = False) -> _engine.Plan:
    """The engine's plan of ``layout``'s columns (with its horizons and
    ``index_map``), made once: the request part of ``compute_features``
    (same arguments, same refusals), immutable and safe to use from several
    threads at once. ``compute_planned``
    computes with it; ``plan.compute_row(out, at_ms, since_ms, *values)``
    computes one entity from its record values (``store.blobs.RECORD``,
    newest first: the rows are their merge, those dated before
    ``since_ms`` left out) as of ``at_ms`` into the float32 row ``out``, as
    ``compute_planned`` computes that target; ``plan.compute_rows(out,
    at_ms, since_ms, sources)`` does so for each entity of ``sources`` (as
    ``gather_records`` takes them) into the rows of ``out``."""
    columns = np.array(layout.columns, dtype=np.int32).reshape(-1, 3)
    return _engine.Plan(columns, layout.horizons_arg, offset, resolution, layout.index_map,
                        feature_group=for_afe_columns, group_value=dim_group_id, all_values=is_no_dim_col,
                        empty_statistic_nan=empty_statistic_nan)


def compute_planned(plan: _engine.Plan, out: Optional[np.ndarray], prepared: PreparedTransactions,
                    target_entity_codes, target_ms, *, fill_nan: bool = True, n_jobs: Optional[int] = None,
                    progress_callback: Optional[ProgressCallback] = None) -> np.ndarray:
    """``compute_features`` with a plan made once (``plan_of``): the same
    targets, checks and bits. Returns ``out``."""
    target_entity_codes = _integers(target_entity_codes, "target_entity_codes")
    target_ms = _integers(target_ms, "target_ms", accepted=(np.int64,))
    if out is None:
        out = np.empty((len(target_entity_codes), plan.n_columns), dtype=np.float32)
    plan.compute(out, prepared.dates, prepared.quantities, prepared.codes, prepared.offsets, target_entity_codes,
                 target_ms, fill_nan=fill_nan, n_jobs=_n_jobs(n_jobs), progress=progress_callback)
    if progress_callback is not None:
        progress_callback(len(target_entity_codes), len(target_entity_codes))
    return out


def gather_records(sources: Sequence[Sequence[object]], since_ms: int, *, n_jobs: Optional[int] = None,
                   progress_callback: Optional[ProgressCallback] = None) -> PreparedTransactions:
    """The rows of entities 0 .. E - 1 as ``prepare_transactions`` gives
    them, from record values: ``sources`` holds k sequences of E values
    (bytes-like objects of whole records, each in the prepared order, or
    None), entity ``e``'s rows the records of ``sources[j][e]`` for every
    ``j``, those dated before ``since_ms`` left out. The values are merged,
    not sorted again (a value out of order is sorted as the preparation
    sorts), on ``n_jobs`` threads without the interpreter lock."""
    n_records = sum(sum(map(len, filter(None, values))) for values in sources) // RECORD_BYTES
    n_entities = len(sources[0]) if len(sources) else 0
    gathered = PreparedTransactions(np.empty(n_records, np.int64), np.empty(n_records, np.float32),
                                    np.empty(n_records, np.int8), np.empty(n_entities + 1, np.int64))
    kept = _engine.gather_records(sources, since_ms, *gathered, n_jobs=_n_jobs(n_jobs), progress=progress_callback)
    if progress_callback is not None:
        progress_callback(2 * n_entities, 2 * n_entities)
    if kept == n_records:
        return gathered
    return gathered._replace(dates=gathered.dates[:kept], quantities=gathered.quantities[:kept],
                             codes=gathered.codes[:kept])
