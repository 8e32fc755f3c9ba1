"""One entity at a time: the serving path of a store, without pandas and
without planning per call: the store's plan computes an entity straight
from its values (``compute_row``), several entities in one engine call
(``compute_rows``)."""

from __future__ import annotations

import dataclasses
import time

import numpy as np

from ..compute import instant
from ..params import INT64_MIN, floor_ms, ms_ratio
from .keys import key_of


_MS = np.dtype("datetime64[ms]")


class EntityRows:
    """``feature_row`` and ``feature_rows`` of a ``FeatureStore`` (which
    gives ``_backend``, ``_state``, ``_plan``, ``_reach_ms`` and
    ``params``)."""

    def feature_row(self, entity, at=None) -> np.ndarray:
        """The features of one entity as of ``at`` (default: now, UTC) as a
        float32 row in the order of ``feature_columns``; NaN throughout for
        an entity the store has no rows of."""
        at_ms = self._at_ms(at)
        return self._backend.with_entity(key_of(entity), lambda cutoff, base, recent: self._row(
            at_ms, cutoff, base, recent))

    def feature_rows(self, entities, at=None) -> np.ndarray:
        """``feature_row`` of each of ``entities``, as one (entities, columns)
        float32 array, from one reading of the store."""
        at_ms = self._at_ms(at)
        keys = [key_of(entity) for entity in entities]
        out = np.empty((len(keys), self._plan.n_columns), dtype=np.float32)
        if keys:
            self._backend.with_entities(keys, lambda cutoff, base, recent: self._rows(
                out, at_ms, cutoff, base, recent))
        return out

    def _at_ms(self, at) -> int:
        if at is None:
            return time.time_ns() // 1_000_000
        if type(at) is np.datetime64 and not np.isnat(at):  # the quick path of a date already parsed
            return int(at.astype(_MS).view(np.int64))
        ms, is_date = instant(at, "at")
        return ms if is_date else floor_ms(ms, ms_ratio(self.params.timestamp_unit))

    def _check_at(self, at_ms: int, cutoff_ms: int) -> None:
        # against the cutoff read with the values: another process may have moved it
        if cutoff_ms != INT64_MIN and at_ms < cutoff_ms + self._reach_ms:
            dataclasses.replace(self._state, cutoff_ms=cutoff_ms).check_answerable(at_ms, "at")

    def _row(self, at_ms: int, cutoff_ms: int, base, recent) -> np.ndarray:
        self._check_at(at_ms, cutoff_ms)
        out = np.empty(self._plan.n_columns, dtype=np.float32)
        self._plan.compute_row(out, at_ms, cutoff_ms, base, recent)
        return out

    def _rows(self, out: np.ndarray, at_ms: int, cutoff_ms: int, base, recent) -> None:
        self._check_at(at_ms, cutoff_ms)
        self._plan.compute_rows(out, at_ms, cutoff_ms, [base, recent])
