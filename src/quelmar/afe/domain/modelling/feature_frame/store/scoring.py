"""Every entity of a store as of one date: one scan of each table, the
computing of a chunk of entities overlapping the reading of the next.

The scan is the interpreter's work (the backend hands out each value);
merging the values and computing their rows is the engine's, without the
interpreter lock, so a thread computes while the scan goes on.
"""

from __future__ import annotations

import itertools
import operator
from concurrent.futures import ThreadPoolExecutor
from typing import List, Optional, Sequence, Tuple

import numpy as np

from .. import native

#: Entities read before their rows are handed to the computing thread.
CHUNK = 1 << 16


def score_every(snapshot, cutoff_ms: int, plan, at_ms: int, n_jobs: int) -> Tuple[List[bytes], np.ndarray]:
    """Every entity's key (in key order) and its row of features as of
    ``at_ms``: each row as ``plan.compute`` gives it for the entity's rows
    from the cutoff on."""
    recent = dict(snapshot.scan("recent"))
    out = np.empty((snapshot.count("base") + len(recent), plan.n_columns), dtype=np.float32)
    keys: List[bytes] = []
    scan = iter(snapshot.scan("base"))
    with ThreadPoolExecutor(1, thread_name_prefix="store-scoring") as pool:
        pending = []
        while True:
            chunk = list(itertools.islice(scan, CHUNK))
            if not chunk:
                break
            chunk_keys = list(map(operator.itemgetter(0), chunk))
            base = list(map(operator.itemgetter(1), chunk))
            del chunk
            late = [recent.pop(key, None) for key in chunk_keys] if recent else [None] * len(chunk_keys)
            pending.append(pool.submit(_compute, plan, out[len(keys):len(keys) + len(chunk_keys)], base, late,
                                       cutoff_ms, at_ms, n_jobs))
            keys += chunk_keys
        if recent:  # entities with recent rows only
            only = list(recent)
            pending.append(pool.submit(_compute, plan, out[len(keys):len(keys) + len(only)], [None] * len(only),
                                       [recent[key] for key in only], cutoff_ms, at_ms, n_jobs))
            keys += only
        for done in pending:
            done.result()
    out = out[:len(keys)]
    if any(a > b for a, b in zip(keys, itertools.islice(keys, 1, None))):  # a backend that scans in no order
        order = sorted(range(len(keys)), key=keys.__getitem__)
        keys, out = [keys[i] for i in order], out[order]
    return keys, out


def _compute(plan, out: np.ndarray, base: Sequence[Optional[bytes]], recent: Sequence[Optional[bytes]],
             cutoff_ms: int, at_ms: int, n_jobs: int) -> None:
    prepared = native.gather_records([base, recent], cutoff_ms, n_jobs=n_jobs)
    n = len(base)
    native.compute_planned(plan, out, prepared, np.arange(n, dtype=np.int64), np.full(n, at_ms, dtype=np.int64),
                           n_jobs=n_jobs)
