"""A feature store: kept state that appends keep up to date and that answers
with the bits ``build_feature_frame`` gives on every row appended so far.

``FeatureStore.create`` keeps, per entity, the rows some answerable target
date can reach; ``append`` merges a batch of transactions into them in one
atomic, durable step; ``features`` computes the features of any targets
the store can answer exactly, from the kept rows only, with the engine's
plan made once per store.
"""

from __future__ import annotations

import dataclasses
import itertools
import warnings
from typing import Any, List, Optional, Sequence

import numpy as np

from ..compute import PreparedBuild, frame_of, instant, plan_for
from ..errors import OutsideHistoryWarning
from ..input import InputTable, Targets, Transactions
from ..params import INT8_MAX, INT8_MIN, FeatureParams, layout_for, stacklevel_outside_package
from ..support import pandas, stage, stopping
from .backend import Backend, retrying
from .blobs import records_of, split
from .building import transaction_parts
from .copying import copied
from .keys import dtype_name, id_family, ids_of, keys_of
from .locations import open_backend, remove_new
from .partitioned import created_from_partitioned
from .entity_rows import EntityRows
from .rows import kept_rows, merged, prepared_of, record_count
from .scoring import score_every
from .state import StoreState, history_ms

#: Recent rows beyond this share of the base rows make an append compact the store.
COMPACT_SHARE = 0.125


@dataclasses.dataclass
class StoreInfo:
    """A store's summary: what it keeps and what it answers."""

    location: str
    entities: int
    rows: int  # rows kept (base and recent), before the next compaction drops any left behind
    recent_rows: int
    size_bytes: int
    newest_ms: Optional[int]  # the newest transaction appended
    answers_from_ms: Optional[int]  # the earliest target date answered exactly (None: any)
    history_ms: int
    appends: int
    feature_columns: int


@dataclasses.dataclass
class AppendReport:
    """What an append did: rows read, kept, dropped and the entities touched."""

    rows: int
    kept: int
    entities: int
    dropped_missing_quantities: int
    before_history: int
    compacted: bool


class FeatureStore(EntityRows):
    """A store of the rows that features as of any answerable date need."""

    def __init__(self, backend: Backend, state: StoreState):
        self._backend, self._state, self._plan = backend, state, None
        self._plan_state(state)

    # ---- making and opening

    @classmethod
    def create(cls, location, transactions, params: Optional[FeatureParams] = None, /, *, history=0,
               memory_limit=None, buckets: Optional[int] = None, progress: bool = False,
               **options) -> "FeatureStore":
        """A new store at ``location`` (a new or empty directory, or a
        ``redis://`` URL: see ``redis_backend``) with the
        rows of ``transactions``: any table ``build_feature_frame`` takes, or
        a CSV, Parquet or Arrow file (or directory of parts), which is split
        into buckets of entities on disk when it would not fit
        ``memory_limit`` (or into ``buckets`` buckets). ``history`` (an interval such as "30d", or
        milliseconds; default 0) is how far before the newest transaction
        the store answers exactly. The parameters, the dimension values
        among them (by default the codes of ``transactions``), are fixed for
        the life of the store."""
        params = FeatureParams.from_options(params, options, "FeatureStore.create")
        keep_ms = history_ms(history)
        with transaction_parts(transactions, params, memory_limit, progress, buckets) as parts:
            if params.dimension_values is None:
                params = dataclasses.replace(params, dimension_values=list(parts.codes))
            layout_for(params, [])  # parameters the columns cannot have are refused before anything is written
            ids = parts.first.ids
            id_kind = id_family(ids)
            state = StoreState(params, id_kind, dtype_name(ids.index_dtype()), keep_ms).advanced(parts.newest_ms)
            backend = open_backend(location, create=True)
            try:
                with stage(progress, "storing", total=None, unit="trx") as bar:
                    for trx in itertools.chain([parts.first], parts.rest):
                        state.base_rows += retrying(lambda: _write_base(backend, trx, state.cutoff_ms, params.jobs()))
                        bar.update(trx.n_rows)
                    retrying(lambda: _write_meta(backend, state))
                    stopping.finished()  # the store is made: a stop from now on is not a failure
            except BaseException:
                with stopping.held():  # nothing is left of a creation that failed
                    backend.close()
                    remove_new(backend.location)
                raise
        return cls(backend, state)

    @classmethod
    def create_from_partitioned(cls, location, transactions_dir, params: Optional[FeatureParams] = None, /, *,
                                history=0, **options) -> "FeatureStore":
        """``create`` from the transactions directory ``write_partitioned``
        wrote, one Dask task per part (on the default scheduler: a
        distributed client's workers, which must reach ``location``),
        each writing its own entities: the store ``create`` makes of the
        whole table, without holding it in one process."""
        params = FeatureParams.from_options(params, options, "FeatureStore.create_from_partitioned")
        backend, state = created_from_partitioned(location, transactions_dir, params, history_ms(history))
        return cls(backend, state)

    @classmethod
    def copy(cls, source_location, target_location, *, progress: bool = False,
             chunk: int = 65_536) -> "FeatureStore":
        """A copy of the store at ``source_location`` made at
        ``target_location`` (a new store, on either backend), ``chunk``
        entities at a time, from one consistent reading of the source (in
        Redis, a writer that comes between makes it start again); it answers
        with the source's bits."""
        source = open_backend(source_location)
        try:
            backend, state = copied(source, target_location, chunk, progress)
        finally:
            source.close()
        return cls(backend, state)

    @classmethod
    def open(cls, location, params: Optional[FeatureParams] = None, /, **options) -> "FeatureStore":
        """The store at ``location``; given parameters must be the store's
        (``n_jobs`` aside, which applies to this process's work)."""
        backend = open_backend(location)
        try:
            with backend.reading() as snapshot:
                state = StoreState.from_meta(snapshot.meta(), backend.location)
            if params is not None or options:
                given = FeatureParams.from_options(params if params is not None else state.params, options,
                                                   "FeatureStore.open")
                state.check_params(given, backend.location)
                state.params = dataclasses.replace(state.params, n_jobs=given.n_jobs)
        except BaseException:
            backend.close()
            raise
        return cls(backend, state)

    def close(self) -> None:
        self._backend.close()

    def __enter__(self) -> "FeatureStore":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # ---- what it computes

    def _plan_state(self, state: StoreState) -> None:
        self._state = state
        if self._plan is None:  # the parameters are the store's for its life: planned once
            # every code a later append may bring: those the store was not
            # made with count as the unknown dimension value, as in a rebuild
            self._layout = layout_for(state.params, range(INT8_MIN, INT8_MAX + 1))
            self._plan, self._reach_ms = plan_for(self._layout, state.params), state.reach_ms

    @property
    def params(self) -> FeatureParams:
        return self._state.params

    @property
    def feature_columns(self) -> List[str]:
        return list(self._layout.names)

    @property
    def id_type(self):
        """(kind, dtype name) of the store's entity ids: kind "number", "string" or "binary"."""
        return self._state.id_kind, self._state.id_dtype

    @property
    def location(self) -> str:
        return self._backend.location

    # ---- appending

    def append(self, transactions, *, progress: bool = False) -> AppendReport:
        """Merges the rows of ``transactions`` into the store, in one
        atomic and durable step: when it returns they are kept; if it fails
        or the process dies, the store is as before. Rows in any order and of
        any age are taken; those older than anything the store answers for
        are left out (``OutsideHistoryWarning``)."""
        params = self.params
        table = InputTable(transactions, "transactions", params.transaction_columns())
        trx = Transactions(table, params, params.jobs())
        self._check_id_kind(trx.ids)
        with stage(progress, "appending", total=trx.n_rows, unit="trx") as bar:
            state, rows = retrying(lambda: self._write_rows(trx))
            stopping.finished()  # the batch is kept: a stop from now on is not a failure
            bar.update(trx.n_rows)
        self._plan_state(state)
        if rows.n_before_cutoff:
            warnings.warn(OutsideHistoryWarning(
                f"transactions: {rows.n_before_cutoff} rows are older than anything the store answers for "
                "(before its history) and were not kept"), stacklevel=stacklevel_outside_package())
        report = AppendReport(rows=trx.table.n_rows, kept=len(rows.dates), entities=len(rows.keys),
                              dropped_missing_quantities=trx.n_dropped, before_history=rows.n_before_cutoff,
                              compacted=False)
        report.compacted = self._compact_if_due(progress)
        return report

    def _write_rows(self, trx: Transactions):
        jobs = self.params.jobs()
        with self._backend.writing() as writer:
            state = StoreState.from_meta(writer.meta(), self.location)
            state = state.advanced(trx.times.latest if trx.n_rows else None)
            rows = kept_rows(trx, state.cutoff_ms, jobs)
            if state.id_kind == "unknown" and len(trx.ids):
                state.id_kind, state.id_dtype = id_family(trx.ids), dtype_name(trx.ids.index_dtype())
            old = writer.get_many("recent", rows.keys)
            values, n_old, n_new = merged(old, rows, state.cutoff_ms, jobs)
            writer.put_many("recent", zip(rows.keys, values))
            state.recent_rows += n_new - n_old
            state.appends += 1
            writer.set_meta(state.to_meta(), state.cutoff_ms)
        return state, rows

    # ---- compaction

    def _compact_if_due(self, progress: bool) -> bool:
        state = self._state
        if state.recent_rows <= COMPACT_SHARE * max(state.base_rows, 1):
            return False
        self.compact(progress=progress)
        return True

    def compact(self, *, progress: bool = False, chunk: int = 65_536) -> None:
        """Merges the recent rows into the base values and drops the rows
        before the cutoff, a chunk of entities per step; answers do not
        change, and readers see whole entities throughout."""
        jobs = self.params.jobs()
        keys = sorted(retrying(self._keys))
        with stage(progress, "compacting", total=len(keys), unit="entity") as bar:
            for start in range(0, len(keys), chunk):
                part = keys[start:start + chunk]
                self._plan_state(retrying(lambda: self._compact_part(part, jobs)))
                bar.update(len(part))

    def _compact_part(self, part: List[bytes], jobs: int) -> StoreState:
        with self._backend.writing() as writer:
            state = StoreState.from_meta(writer.meta(), self.location)
            base, recent = writer.get_many("base", part), writer.get_many("recent", part)
            n_base, n_recent = record_count(base), record_count(recent)
            prepared = prepared_of(base, recent, state.cutoff_ms, jobs)
            values = split(records_of(prepared), prepared.offsets)
            writer.put_many("base", [(k, v) for k, v in zip(part, values) if v is not None])
            writer.delete_many("base", [k for k, b, v in zip(part, base, values) if v is None and b is not None])
            writer.delete_many("recent", [k for k, r in zip(part, recent) if r is not None])
            state.base_rows += len(prepared.dates) - n_base
            state.recent_rows -= n_recent
            writer.set_meta(state.to_meta(), state.cutoff_ms)
        return state

    # ---- answering

    def features(self, targets=None, *, entities: Optional[Sequence[Any]] = None, at=None,
                 progress: bool = False):
        """The features of ``targets`` (a table of entity ids and target
        dates, as ``build_feature_frame`` takes it), or of ``entities`` (ids;
        default: every entity of the store) as of ``at`` (a date or an
        integer timestamp; default: now, UTC). The result has the bits
        ``build_feature_frame`` gives on every row appended so far."""
        params = self.params
        if targets is None:
            at_ms, is_date = self._at_of(at)
            if entities is None:  # the keys read with the rows are the targets': nothing to encode or look up
                with stage(progress, "computing every entity", total=None, unit="entity"):
                    keys, out = retrying(lambda: self._score_every(at_ms))
                table = InputTable(self._target_table(ids_of(keys, self._state.id_dtype), at_ms, is_date),
                                   "targets", params.target_columns())
                return frame_of(out, self._layout, params, table)
            targets = self._target_table(entities, at_ms, is_date)
        elif entities is not None or at is not None:
            raise TypeError("features: give either targets or entities and at, not both")
        table = InputTable(targets, "targets", params.target_columns())
        tgt = Targets(table, params)
        if len(tgt.dates):
            self._state.check_answerable(int(tgt.dates.min()), f"targets: {table.row(int(np.argmin(tgt.dates)))}")
        keys = self._keys_of_targets(tgt) if len(tgt.dates) else []
        distinct = sorted(set(keys))
        where = {key: i for i, key in enumerate(distinct)}
        target_codes = np.fromiter((where[k] for k in keys), dtype=np.int64, count=len(keys))
        prepared = retrying(lambda: self._read_rows(distinct, tgt, table))
        present = np.diff(prepared.offsets) > 0
        job = PreparedBuild(prepared, present, target_codes, tgt.dates, self._layout, params, table, 0, self._plan)
        with stage(progress, "computing", total=job.n_targets, unit="target") as bar:
            out = job.compute(0, job.n_targets, bar)
        return job.frame(out)

    def _read_rows(self, keys: List[bytes], tgt: Targets, table: InputTable):
        with self._backend.reading() as snapshot:
            state = StoreState.from_meta(snapshot.meta(), self.location)
            if len(tgt.dates):  # checked again against the state read with the rows
                state.check_answerable(int(tgt.dates.min()), f"targets: {table.row(int(np.argmin(tgt.dates)))}")
            return prepared_of(snapshot.get_many("base", keys), snapshot.get_many("recent", keys), state.cutoff_ms,
                               self.params.jobs())

    def _score_every(self, at_ms: int):
        with self._backend.reading() as snapshot:
            state = StoreState.from_meta(snapshot.meta(), self.location)
            state.check_answerable(at_ms, "at")
            return score_every(snapshot, state.cutoff_ms, self._plan, at_ms, self.params.jobs())

    def _keys_of_targets(self, tgt: Targets) -> List[bytes]:
        self._check_id_kind(tgt.ids)
        return keys_of(tgt.ids)

    def _check_id_kind(self, ids) -> None:
        """Refuses ids that cannot equal the store's (as two tables' ids are
        refused); a store made from no rows takes the first ids it is given."""
        if len(ids) and id_family(ids) != self._state.id_kind and self._state.id_kind != "unknown":
            raise TypeError(f"{ids.table.what}: column {ids.name!r} holds {ids.type_text} entity ids but the "
                            f"store keeps entities with {self._state.id_dtype} ids")

    @staticmethod
    def _at_of(at):
        """(milliseconds, whether a date) of ``at``; None: now."""
        return (int(np.datetime64("now", "ms").astype(np.int64)), True) if at is None else instant(at, "at")

    def _target_table(self, entities, at_ms: int, is_date: bool):
        pd = pandas()
        params = self.params
        date = np.datetime64(at_ms, "ms") if is_date else at_ms
        ids = pd.Series(entities) if not hasattr(entities, "dtype") else pd.Series(np.asarray(entities))
        return pd.DataFrame({params.entity_col_of_targets: ids, params.target_date_col: date})

    def info(self) -> StoreInfo:
        def read():
            with self._backend.reading() as snapshot:
                state = StoreState.from_meta(snapshot.meta(), self.location)
                base = snapshot.count("base")
                recent_keys = list(snapshot.keys("recent"))
                only_recent = sum(v is None for v in snapshot.get_many("base", recent_keys))
                return state, base + only_recent

        state, entities = retrying(read)
        return StoreInfo(location=self.location, entities=entities, rows=state.base_rows + state.recent_rows,
                         recent_rows=state.recent_rows, size_bytes=self._backend.size_bytes(),
                         newest_ms=state.newest_ms, answers_from_ms=state.answers_from_ms,
                         history_ms=state.history_ms, appends=state.appends, feature_columns=len(self._layout.names))

    def entities(self):
        """The ids of every entity with kept rows, in key order."""
        return ids_of(sorted(retrying(self._keys)), self._state.id_dtype)

    def _keys(self):
        """The keys of every entity with kept rows (a set)."""
        with self._backend.reading() as snapshot:
            return set(snapshot.keys("base")) | set(snapshot.keys("recent"))


def _write_base(backend: Backend, trx: Transactions, cutoff_ms: int, jobs: int) -> int:
    """Writes the base values of a part's entities (new keys); returns the rows kept."""
    rows = kept_rows(trx, cutoff_ms, jobs)
    values, _, n_new = merged([None] * len(rows.keys), rows, cutoff_ms, jobs)
    with backend.writing() as writer:
        writer.put_many("base", zip(rows.keys, values))
    return n_new


def _write_meta(backend: Backend, state: StoreState) -> None:
    with backend.writing() as writer:
        writer.set_meta(state.to_meta(), state.cutoff_ms)

