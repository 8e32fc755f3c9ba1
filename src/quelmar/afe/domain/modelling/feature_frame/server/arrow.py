"""Answers as Arrow IPC streams, without a record batch made per request.

Making the Arrow arrays of a batch costs far more than the data they hold
(about 1 µs per column, and an answer has a column per feature), so each
answer size keeps a record batch whose columns are views of NumPy buffers:
an answer writes its values into them and serializes the batch. The stream
is pyarrow's own messages: the schema (the same for every answer), the
record batch and the end-of-stream marker, byte for byte what
``pyarrow.ipc.new_stream`` writes. Only the event loop's thread answers, so
one set of buffers per size is enough.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from ..support import require

#: The IPC stream's end: a continuation token and a message length of 0.
END_OF_STREAM = b"\xff\xff\xff\xff\x00\x00\x00\x00"
#: Answer sizes whose batches are kept (single entities, and a few batch sizes).
KEPT_SIZES = 8


class _Batch:
    """A record batch of ``n`` rows over buffers that answers fill in."""

    def __init__(self, pa, schema, n: int, id_dtype: Optional[np.dtype], n_features: int):
        self.ids = None if id_dtype is None else np.zeros(n, dtype=id_dtype)
        self.dates = np.zeros(n, dtype=np.int64)
        self.features = np.zeros((n_features, n), dtype=np.float32)  # a column per row: contiguous

        def view(arrow_type, values):
            return pa.Array.from_buffers(arrow_type, n, [None, pa.py_buffer(values)])

        self.arrays: List[Any] = [view(schema.field(1).type, self.dates)]
        self.arrays += [view(pa.float32(), column) for column in self.features]
        self.record = None
        if self.ids is not None:
            self.record = pa.RecordBatch.from_arrays([view(schema.field(0).type, self.ids)] + self.arrays,
                                                     schema=schema)


class ArrowAnswers:
    """IPC streams of the columns of the training table: the entity, the
    target date and a float32 column per feature."""

    def __init__(self, entity_col: str, date_col: str, columns: Sequence[str], id_kind: str, id_dtype):
        pa = self._pa = require("pyarrow")
        self._id_dtype = None if id_kind != "number" else np.dtype(id_dtype)
        id_type = pa.from_numpy_dtype(self._id_dtype) if self._id_dtype is not None else \
            pa.string() if id_kind == "string" else pa.binary()
        fields = [pa.field(entity_col, id_type), pa.field(date_col, pa.timestamp("ms"))]
        self.schema = pa.schema(fields + [pa.field(name, pa.float32()) for name in columns])
        self._head = self.schema.serialize().to_pybytes()
        self._batches: Dict[int, _Batch] = {}

    def stream(self, entities: Sequence[Any], at_ms: int, rows: np.ndarray) -> bytes:
        batch = self._batch(len(entities))
        batch.dates.fill(at_ms)
        batch.features[...] = rows.T
        record = batch.record
        if record is None:  # text ids: a new column, the rest as kept
            pa = self._pa
            record = pa.RecordBatch.from_arrays([pa.array(entities, type=self.schema.field(0).type)] + batch.arrays,
                                                schema=self.schema)
        else:
            batch.ids[:] = entities
        return self._head + record.serialize().to_pybytes() + END_OF_STREAM

    def _batch(self, n: int) -> _Batch:
        batch = self._batches.get(n)
        if batch is None:
            if len(self._batches) >= KEPT_SIZES:
                del self._batches[next(iter(self._batches))]
            batch = self._batches[n] = _Batch(self._pa, self.schema, n, self._id_dtype, len(self.schema) - 2)
        return batch
