"""What a store records about itself: its parameters, fixed when it is made,
and where its kept history begins.

The parameters include the dimension values, so that every answer has the
columns of the first. ``newest`` is the newest transaction appended so far;
the store keeps the rows from ``cutoff`` = newest - history - reach on
(reach: how far before a target date its largest window starts), so it
answers exactly as of any date from ``cutoff + reach`` on and refuses
earlier ones. The cutoff never moves back.
"""

from __future__ import annotations

import dataclasses
import datetime
import time
from typing import Any, Dict, Optional

import numpy as np

from ..compute import interval_ms
from ..errors import InvalidParameterError, NotAnswerableError, StoreError
from ..params import INT64_MIN, FeatureParams

FORMAT = "quelmar-feature-store/1"
#: Parameters that only say how to run, not what to compute.
RUNTIME_FIELDS = ("n_jobs", "batch_size", "n_splits")


@dataclasses.dataclass
class StoreState:
    params: FeatureParams
    id_kind: str  # "number", "string" or "binary": the keys' family
    id_dtype: str  # the entity column's type when the store was made, for output
    history_ms: int
    newest_ms: Optional[int] = None
    cutoff_ms: int = INT64_MIN
    base_rows: int = 0
    recent_rows: int = 0
    appends: int = 0
    updated_ms: int = 0

    @property
    def reach_ms(self) -> int:
        return self.params.window_reach_ms

    @property
    def answers_from_ms(self) -> Optional[int]:
        """The earliest target date answered exactly (None: any)."""
        return None if self.cutoff_ms == INT64_MIN else self.cutoff_ms + self.reach_ms

    def advanced(self, newest_ms: Optional[int]) -> "StoreState":
        """The state once transactions up to ``newest_ms`` are appended: a
        newer newest transaction moves the cutoff, never back."""
        if newest_ms is None or (self.newest_ms is not None and newest_ms <= self.newest_ms):
            return dataclasses.replace(self)
        cutoff = max(self.cutoff_ms, newest_ms - self.history_ms - self.reach_ms)
        return dataclasses.replace(self, newest_ms=newest_ms, cutoff_ms=cutoff)

    def check_answerable(self, earliest_ms: int, where: str) -> None:
        first = self.answers_from_ms
        if first is not None and earliest_ms < first:
            raise NotAnswerableError(
                f"{where} asks for features as of {_date_text(earliest_ms)}, but the store keeps transactions from "
                f"{_date_text(self.cutoff_ms)} on and so answers exactly as of {_date_text(first)} on only; "
                "make a store with a longer history to answer earlier dates")

    def to_meta(self) -> Dict[str, Any]:
        fields = dataclasses.asdict(self)
        fields["params"] = self.params.to_dict()
        return {"format": FORMAT, **fields, "updated_ms": int(time.time() * 1000)}

    @classmethod
    def from_meta(cls, meta: Optional[Dict[str, Any]], location: str) -> "StoreState":
        if meta is None:
            raise StoreError(f"{location}: not a feature store (it has no description; an unfinished "
                             "creation leaves none)")
        if meta.get("format") != FORMAT:
            raise StoreError(f"{location}: a store of layout {meta.get('format')!r}; this version reads "
                             f"{FORMAT!r} only")
        fields = {k: v for k, v in meta.items() if k != "format"}
        fields["params"] = FeatureParams.from_dict(fields["params"])
        return cls(**fields)

    def check_params(self, params: FeatureParams, location: str) -> None:
        """Refuses other parameters than the store's (runtime ones aside)."""
        ours, theirs = self.params.to_dict(), params.to_dict()
        differ = [name for name in ours if name not in RUNTIME_FIELDS and ours[name] != theirs.get(name)]
        if differ:
            listed = "; ".join(f"{name}: the store's {ours[name]!r}, given {theirs.get(name)!r}" for name in differ)
            raise StoreError(f"{location}: made with other parameters ({listed}); its features cannot change "
                             "after it is made")


def _date_text(ms: int) -> str:
    try:
        moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(milliseconds=ms)
    except OverflowError:
        return f"{ms} ms"
    return moment.isoformat(timespec="milliseconds")


def history_ms(history) -> int:
    """Milliseconds of ``history``: 0 or None, an interval such as "30d", or
    milliseconds."""
    if history is None or (isinstance(history, (int, np.integer)) and not isinstance(history, bool) and history >= 0):
        return int(history or 0)
    if isinstance(history, str) and history.strip() in ("0", ""):
        return 0
    try:
        return interval_ms(history)
    except InvalidParameterError as error:
        raise InvalidParameterError(str(error).replace("every:", "history:", 1)) from None
