"""Answers as bytes: JSON by orjson, or an Arrow IPC stream when the client
asks for it.

orjson writes a NumPy float32 as the shortest text that reads back to the
same float32, so a JSON answer keeps the training table's bits; NaN (and
infinity, which JSON cannot write either) becomes ``null``. The Arrow
answer has the columns of the training table: the entity, the target date
and the float32 features, NaN as NaN.
"""

from __future__ import annotations

import datetime
import functools
from typing import Any, Dict, List, Sequence

import numpy as np

from ..support import require
from .arrow import ArrowAnswers
from .requests import EntityIds

JSON = "application/json"
ARROW_STREAM = "application/vnd.apache.arrow.stream"
_EPOCH = datetime.datetime(1970, 1, 1)


@functools.lru_cache(maxsize=1024)
def iso_text(ms: int) -> str:
    """An instant in milliseconds as ISO 8601 text in UTC, to the millisecond."""
    return (_EPOCH + datetime.timedelta(milliseconds=ms)).isoformat(timespec="milliseconds") + "Z"


class Answers:
    """Encodes one store's answers; what does not change between requests
    (column names, the Arrow schema) is made once."""

    def __init__(self, store, ids: EntityIds):
        orjson = require("orjson")
        self._dumps, self._numpy = orjson.dumps, orjson.OPT_SERIALIZE_NUMPY
        self._ids = ids
        params = store.params
        self.columns: List[str] = list(store.feature_columns)
        self.entity_col, self.date_col = params.entity_col_of_targets, params.target_date_col
        self.description = self.json({
            "columns": self.columns, "entity_column": self.entity_col, "target_date_column": self.date_col,
            "id_kind": ids.kind, "id_dtype": ids.dtype, "timestamp_unit": params.timestamp_unit})
        self._arrow = None  # made at the first Arrow answer (pyarrow is imported then)

    def json(self, value: Any) -> bytes:
        return self._dumps(value, option=self._numpy)

    def one(self, entity, at_ms: int, row: np.ndarray) -> bytes:
        return self._dumps({"entity": self._ids.shown(entity), "at": iso_text(at_ms), "features": row},
                           option=self._numpy)

    def many(self, entities: Sequence[Any], at_ms: int, rows: np.ndarray) -> bytes:
        shown = self._ids.shown
        return self._dumps({"at": iso_text(at_ms), "entities": [shown(e) for e in entities], "features": rows},
                           option=self._numpy)

    def arrow(self, entities: Sequence[Any], at_ms: int, rows: np.ndarray) -> bytes:
        if self._arrow is None:
            ids = self._ids
            id_dtype = ("uint64" if ids.range[0] == 0 else "int64") if ids.integer else "float64"
            self._arrow = ArrowAnswers(self.entity_col, self.date_col, self.columns, ids.kind, id_dtype)
        return self._arrow.stream(entities, at_ms, rows)


def error_body(message: str) -> Dict[str, str]:
    return {"error": message}
