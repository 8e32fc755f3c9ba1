"""What the feature store tests share: a store location on every backend, and
random histories split into batches the way appends meet them."""

from __future__ import annotations

import os
import uuid

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

DAY = 86_400_000
T = 2_000 * DAY  # the newest day of the histories, in milliseconds
REDIS_URL = os.environ.get("DFBH_REDIS_URL", "redis://127.0.0.1:6379/0")
BACKENDS = ["lmdb", "redis"]


def redis_available() -> bool:
    try:
        import redis
    except ImportError:
        return False
    try:
        return bool(redis.Redis.from_url(REDIS_URL, socket_connect_timeout=0.5).ping())
    except redis.RedisError:
        return False


def location(backend: str, tmp_path) -> str:
    """A new store location on ``backend``: a directory, or a key prefix of
    the Redis server that ``.ci/run`` starts (skipped without one, unless
    DFBH_REQUIRE_REDIS is set)."""
    if backend == "lmdb":
        return str(tmp_path / f"store-{uuid.uuid4().hex[:8]}")
    if not redis_available():
        if os.environ.get("DFBH_REQUIRE_REDIS"):
            raise AssertionError(f"DFBH_REQUIRE_REDIS is set but no Redis server answers at {REDIS_URL}")
        pytest.skip(f"no Redis server at {REDIS_URL}")
    return f"{REDIS_URL}?prefix=test-{uuid.uuid4().hex}"


def history(seed: int, n_entities: int = 40, n_rows: int = 1500, days: int = 300, codes=(-2, 4)):
    """Transactions over ``days`` days up to T, in no order: repeated
    timestamps, quantities of 0 and below, a few entities with many rows."""
    rng = np.random.default_rng(seed)
    weights = rng.pareto(1.5, n_entities) + 0.1
    entity = rng.choice(n_entities, n_rows, p=weights / weights.sum())
    day = rng.integers(0, days, n_rows)
    stamp = T - day * DAY - np.where(rng.random(n_rows) < 0.4, 0, rng.integers(0, DAY, n_rows))
    return pd.DataFrame({
        "entity": entity.astype(np.int64) * 7 + 3,
        "timestamp": stamp.astype(np.int64),
        "quantity": rng.choice([0.5, 1.25, 3.0, 7.5, 0.0, -2.0, 1e-3], n_rows),
        "dimension": rng.integers(codes[0], codes[1], n_rows).astype(np.int8),
    })


def batches(trx, seed: int, n_batches: int, late_share: float = 0.2, duplicate_share: float = 0.05):
    """``trx`` cut into batches that mostly follow time, some rows arriving
    late (in a later batch than their date) and some twice."""
    rng = np.random.default_rng(seed)
    order = np.argsort(trx["timestamp"].to_numpy(), kind="stable")
    batch_of = np.zeros(len(trx), np.int64)
    batch_of[order] = np.minimum(np.arange(len(trx)) * n_batches // max(len(trx), 1), n_batches - 1)
    late = rng.random(len(trx)) < late_share
    batch_of[late] = np.minimum(batch_of[late] + rng.integers(1, 3, int(late.sum())), n_batches - 1)
    parts = [trx[batch_of == b].sample(frac=1.0, random_state=int(rng.integers(1 << 31))) for b in range(n_batches)]
    twice = trx[rng.random(len(trx)) < duplicate_share]
    if len(twice):
        parts[-1] = pd.concat([parts[-1], twice])
    appended = pd.concat(parts)
    return parts, appended
