"""One entity at a time: the serving path of a store, without pandas and
without planning per call."""

from __future__ import annotations

import time

import numpy as np

from ..compute import compute_rows, instant
from ..params import INT64_MIN, floor_ms, ms_ratio
from .keys import key_of
from .rows import prepared_of


class EntityRows:
    """``feature_row`` and ``feature_rows`` of a ``FeatureStore`` (which
    gives ``_backend``, ``_state``, ``_layout`` and ``params``)."""

    def feature_row(self, entity, at=None) -> np.ndarray:
        """The features of one entity as of ``at`` (default: now, UTC) as a
        float32 row in the order of ``feature_columns``; NaN throughout for
        an entity the store has no rows of."""
        at_ms = self._at_ms(at)
        key = key_of(entity)
        return self._backend.with_entity(key, lambda cutoff, base, recent: self._row(at_ms, cutoff, base, recent))

    def feature_rows(self, entities, at=None) -> np.ndarray:
        """``feature_row`` of each of ``entities``, as one (entities, columns) float32 array."""
        at_ms = self._at_ms(at)
        out = np.empty((len(entities), len(self._layout.names)), dtype=np.float32)
        for i, entity in enumerate(entities):
            out[i] = self._backend.with_entity(key_of(entity), lambda cutoff, base, recent: self._row(
                at_ms, cutoff, base, recent))
        return out

    def _at_ms(self, at) -> int:
        if at is None:
            return time.time_ns() // 1_000_000
        ms, is_date = instant(at, "at")
        return ms if is_date else floor_ms(ms, ms_ratio(self.params.timestamp_unit))

    def _row(self, at_ms: int, cutoff_ms: int, base, recent) -> np.ndarray:
        first = cutoff_ms + self._state.reach_ms
        if cutoff_ms != INT64_MIN and at_ms < first:
            self._state.check_answerable(at_ms, "at")
        prepared = prepared_of([base], [recent], cutoff_ms, 1)
        return compute_rows(prepared, np.zeros(1, np.int64), np.array([at_ms], np.int64), self._layout,
                            self.params, 1)[0]
