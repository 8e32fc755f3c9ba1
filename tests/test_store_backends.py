"""The store's backends: a store copied from one to the other keeps every
value, a store made part by part on Dask is the one ``create`` makes, and
in Redis stores never see each other, refuse a prefix in use, and keep
every append that met another writer."""

from __future__ import annotations

import contextlib
import os

import numpy as np
import pytest

from _feature_helpers import assert_bits_equal
from _store_support import BACKENDS, DAY, REDIS_URL, T, batches, history, location, pd
from quelmar.afe.domain.modelling.feature_frame import MissingQuantityWarning, build_feature_frame, write_partitioned
from quelmar.afe.domain.modelling.feature_frame.errors import StoreError
from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore, feature_store
from quelmar.afe.domain.modelling.feature_frame.store.backend import TABLES
from quelmar.afe.domain.modelling.feature_frame.store.locations import open_backend

pytest.importorskip("lmdb")
KEEP = dict(horizons=[7, 30], history=400 * DAY)  # every row of the histories stays within reach


def contents(where):
    """A store's state and every value of its tables."""
    backend = open_backend(where)
    try:
        with backend.reading() as snapshot:
            return snapshot.meta(), {t: {bytes(k): bytes(v) for k, v in snapshot.scan(t)} for t in TABLES}
    finally:
        backend.close()


def assert_answers_as_rebuilt(store, trx, date=T + DAY):
    targets = pd.DataFrame({"entity": np.sort(trx["entity"].unique()), "target_date": date})
    want = build_feature_frame(trx, targets, store.params)
    got = store.features(targets)
    assert got["entity"].tolist() == want["entity"].tolist()
    assert_bits_equal(got.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy())


def redis_keys(where):
    """The Redis keys under the prefix of ``where``."""
    redis = pytest.importorskip("redis")
    client = redis.Redis.from_url(REDIS_URL)
    try:
        return sorted(client.scan_iter(match=where.split("prefix=")[1].encode() + b":*"))
    finally:
        client.close()


@contextlib.contextmanager
def dask_scheduler(kind):
    dask = pytest.importorskip("dask")
    if kind == "synchronous":
        with dask.config.set(scheduler="synchronous"):
            yield
        return
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=kind == "processes",
                                  dashboard_address=":0") as cluster, distributed.Client(cluster):
        yield


@pytest.mark.parametrize("first,second", [("lmdb", "redis"), ("redis", "lmdb")])
def test_a_store_copied_to_the_other_backend_and_back_keeps_every_value(first, second, tmp_path):
    trx = history(11)
    order = np.argsort(trx["timestamp"].to_numpy(), kind="stable")
    newest = order[len(trx) * 23 // 25:]  # appended: recent values, too few for a compaction
    places = [location(first, tmp_path), location(second, tmp_path), location(first, tmp_path)]
    with FeatureStore.create(places[0], trx.drop(trx.index[newest]), **KEEP) as store:
        assert not store.append(trx.iloc[newest]).compacted
    for source, target in zip(places, places[1:]):
        with FeatureStore.copy(source, target, chunk=7) as copy:
            assert_answers_as_rebuilt(copy, trx)
    original = contents(places[0])
    assert original[1]["recent"] and original[1]["base"]
    assert contents(places[1]) == original
    assert contents(places[2]) == original


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("scheduler", ["synchronous", "threads", pytest.param("processes", marks=pytest.mark.slow)])
def test_a_store_made_part_by_part_is_the_one_create_makes(backend, scheduler, tmp_path):
    trx = history(12, n_entities=60)
    # rows without a quantity are dropped, as by create: the only rows of
    # code 7 (no dimension value then), and the newest row (whose time
    # still bounds the history, as in create)
    trx.loc[trx.index[:3], "dimension"] = 7
    trx.loc[trx.index[-1], "timestamp"] = T + 5 * DAY
    trx.loc[trx.index[[0, 1, 2, -1]], "quantity"] = np.nan
    trx_dir, _ = write_partitioned(trx, trx[["entity"]].assign(target_date=T), str(tmp_path / "data"), 5)
    options = dict(horizons=[7, 30], history=20 * DAY, missing_quantities="drop")
    expected = location(backend, tmp_path)
    with pytest.warns(MissingQuantityWarning, match="has 4 missing quantities"):
        FeatureStore.create(expected, trx, **options).close()
    with dask_scheduler(scheduler), pytest.warns(MissingQuantityWarning, match="has 4 missing quantities") as caught:
        store = FeatureStore.create_from_partitioned(location(backend, tmp_path), trx_dir, **options)
    assert len(caught) == 1  # once for the dataset, not once a part
    with store:
        assert_answers_as_rebuilt(store, trx.dropna())
        got_meta, got = contents(store.location)
    want_meta, want = contents(expected)
    assert got == want
    assert {**got_meta, "updated_ms": 0} == {**want_meta, "updated_ms": 0}


@pytest.mark.parametrize("backend", BACKENDS)
def test_one_entity_is_read_as_a_snapshot_reads_it(backend, tmp_path):
    trx = history(13)
    with FeatureStore.create(location(backend, tmp_path), trx.iloc[:1400], **KEEP) as store:
        assert not store.append(trx.iloc[1400:]).compacted  # entities with recent values, and some without
        meta, tables = contents(store.location)
    keys = sorted(set(tables["base"]) | set(tables["recent"])) + [b"s-no-such-entity"]
    backend_of_store = open_backend(store.location)
    try:
        for key in keys:
            got = backend_of_store.with_entity(key, lambda cutoff, base, recent: (
                cutoff, None if base is None else bytes(base), None if recent is None else bytes(recent)))
            assert got == (meta["cutoff_ms"], tables["base"].get(key), tables["recent"].get(key))
    finally:
        backend_of_store.close()


def test_two_stores_on_one_server_never_see_each_other(tmp_path):
    one = location("redis", tmp_path)
    two = one + "-2"  # a prefix that starts with the other
    tables = [history(21), history(22, n_entities=30)]  # the same entity ids, other rows
    stores = [FeatureStore.create(where, trx.iloc[:1000], **KEEP) for where, trx in zip((one, two), tables)]
    for store, trx in zip(stores, tables):
        store.append(trx.iloc[1000:])
    stores[0].compact()
    for store, trx in zip(stores, tables):
        with store:
            assert_answers_as_rebuilt(store, trx)
            kept = np.sort(trx.loc[trx["quantity"] > 0, "entity"].unique())
            assert store.entities().tolist() == kept.tolist()


@pytest.mark.parametrize("target", BACKENDS)
def test_a_prefix_in_use_or_not_a_store_is_refused(target, tmp_path):
    redis = pytest.importorskip("redis")
    where, other, unfinished = (location("redis", tmp_path) for _ in range(3))
    with pytest.raises(StoreError, match="not a feature store"):
        FeatureStore.open(where)
    FeatureStore.create(where, history(23), **KEEP).close()
    for attempt in (lambda: FeatureStore.create(where, history(24), **KEEP), lambda: FeatureStore.copy(where, where)):
        with pytest.raises(StoreError, match="holds a store already"):
            attempt()
    with FeatureStore.open(where) as store:  # left as it was
        assert_answers_as_rebuilt(store, history(23))
    # a store of another key layout, and a creation that died before its state was written
    client = redis.Redis.from_url(REDIS_URL)
    try:
        client.set(other.split("prefix=")[1] + ":layout", b"qfs9")
        client.set(unfinished.split("prefix=")[1] + ":layout", b"qfs1")
        client.set(unfinished.split("prefix=")[1] + ":qfs1:m:version", b"0")
    finally:
        client.close()
    with pytest.raises(StoreError, match="a store of key layout 'qfs9'; this version reads 'qfs1' only"):
        FeatureStore.open(other)
    with pytest.raises(StoreError, match="holds a store already"):
        FeatureStore.create(other, history(23), **KEEP)
    copy = location(target, tmp_path)
    for attempt in (lambda: FeatureStore.open(unfinished), lambda: FeatureStore.copy(unfinished, copy)):
        with pytest.raises(StoreError, match="not a feature store"):
            attempt()
    assert not (os.path.exists(copy) if target == "lmdb" else redis_keys(copy))  # the copy's start removed
    with pytest.raises(StoreError, match="prefix 'a:b' may hold letters"):
        FeatureStore.open(REDIS_URL + "?prefix=a:b")


@pytest.mark.parametrize("interrupted", ["writing", "reading"])
def test_work_that_another_writer_came_between_is_done_again(interrupted, tmp_path, monkeypatch):
    trx = history(31)
    parts, _ = batches(trx, 31, 3, late_share=0)
    where = location("redis", tmp_path)
    FeatureStore.create(where, parts[0], **KEEP).close()
    ours, theirs = FeatureStore.open(where), FeatureStore.open(where)
    original, attempts = getattr(ours._backend, interrupted), []

    @contextlib.contextmanager
    def with_another_writer():
        with original() as view:
            attempts.append(interrupted)
            yield view
            if len(attempts) == 1:
                theirs.append(parts[2])  # commits before our block ends

    monkeypatch.setattr(ours._backend, interrupted, with_another_writer)
    monkeypatch.setattr(feature_store, "COMPACT_SHARE", float("inf"))  # one writer per append
    with ours, theirs:
        if interrupted == "writing":
            ours.append(parts[1])
            assert_answers_as_rebuilt(theirs, pd.concat(parts))
        else:
            assert_answers_as_rebuilt(ours, pd.concat([parts[0], parts[2]]))
    assert len(attempts) == 2
