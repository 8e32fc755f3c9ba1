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
        self._schema = None

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
        """One record batch in the IPC stream format: the entity and target
        date columns, then one float32 column per feature."""
        pa = require("pyarrow")
        schema = self._arrow_schema(pa)
        n = len(entities)
        # feature j is the slice [j*n, (j+1)*n) of one column-major buffer: no copy per column
        values = pa.py_buffer(np.asfortranarray(rows, dtype=np.float32))
        arrays = [pa.array(entities, type=schema.field(0).type),
                  pa.array(np.full(n, at_ms, dtype="datetime64[ms]"), type=schema.field(1).type)]
        arrays += [pa.Array.from_buffers(pa.float32(), n, [None, values], offset=j * n)
                   for j in range(len(self.columns))]
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, schema) as writer:
            writer.write_batch(pa.RecordBatch.from_arrays(arrays, schema=schema))
        return sink.getvalue().to_pybytes()

    def _arrow_schema(self, pa):
        if self._schema is None:
            ids = self._ids
            if ids.kind == "number":
                id_type = (pa.uint64() if ids.range[0] == 0 else pa.int64()) if ids.integer else pa.float64()
            else:
                id_type = pa.string() if ids.kind == "string" else pa.binary()
            fields = [pa.field(self.entity_col, id_type), pa.field(self.date_col, pa.timestamp("ms"))]
            self._schema = pa.schema(fields + [pa.field(name, pa.float32()) for name in self.columns])
        return self._schema


def error_body(message: str) -> Dict[str, str]:
    return {"error": message}
