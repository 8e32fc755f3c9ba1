"""The feature store: after any sequence of appends its answers have the bits
of ``build_feature_frame`` on every row appended so far; what it cannot
answer exactly it refuses."""

from __future__ import annotations

import json
import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _feature_helpers import assert_bits_equal
from _store_support import BACKENDS, DAY, T, batches, history, location, pd
from quelmar.afe.domain.modelling.feature_frame import MissingQuantityWarning, build_feature_frame
from quelmar.afe.domain.modelling.feature_frame.errors import (NotAnswerableError, OutsideHistoryWarning,
                                                              StoreError)
from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore

pytest.importorskip("lmdb")

ALL_OPERATORS = ["density", "min", "max", "sum", "frequency", "count_distinct", "mode", "time_since_first",
                 "time_since_last", "ratio"]
REQUESTS = [
    dict(horizons=[7, 30, 90], operators=ALL_OPERATORS),
    dict(horizons=[3, 10], operators=ALL_OPERATORS, per_dimension_operators=["mode", "time_since_first"],
         offset=2, dimension_values={-2: 1, -1: 1, 0: 2, 1: 5}),
    dict(horizons=[24, 72], resolution="hour", operators=["sum", "max", "count_distinct"], group=1, offset=1),
    dict(horizons=[14, 60], operators=["sum", "ratio", "frequency"], group=0, offset=1),
]


def assert_same_features(got, want):
    assert list(got.columns) == list(want.columns)
    assert got.index.tolist() == want.index.tolist()
    for col in want.columns[:2]:
        assert got[col].tolist() == want[col].tolist()
    assert_bits_equal(got.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy())


def targets_from(store, trx, rng, n: int = 80):
    """Targets the store can answer: entities with and without rows, dates
    from the earliest it answers to a few days after the newest transaction."""
    first = store.info().answers_from_ms
    low = T - 200 * DAY if first is None else first
    ids = np.concatenate([trx["entity"].unique(), [-5, 10**9]])
    return pd.DataFrame({"entity": rng.choice(ids, n),
                         "target_date": rng.integers(low, T + 5 * DAY, n)}, index=np.arange(n) * 3 + 1)


@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                 HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**31 - 1), n_batches=st.integers(1, 6), request_index=st.integers(0, len(REQUESTS) - 1),
       history_days=st.sampled_from([0, 20, 400]), compact_after=st.integers(0, 6))
@pytest.mark.parametrize("backend", BACKENDS)
def test_answers_after_any_appends_equal_a_rebuild(backend, tmp_path, seed, n_batches, request_index,
                                                   history_days, compact_after):
    request = REQUESTS[request_index]
    trx = history(seed)
    parts, _ = batches(trx, seed, n_batches)
    rng = np.random.default_rng(seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OutsideHistoryWarning)
        store = FeatureStore.create(location(backend, tmp_path), parts[0], history=history_days * DAY, **request)
        try:
            for i, part in enumerate(parts[1:], 1):
                store.append(part)
                if i == compact_after:
                    store.compact()
            appended = pd.concat(parts)
            targets = targets_from(store, appended, rng)
            want = build_feature_frame(appended, targets, store.params)
            assert_same_features(store.features(targets), want)
            # the same answers from the store opened afresh
            reopened = FeatureStore.open(store.location)
            try:
                assert_same_features(reopened.features(targets), want)
            finally:
                reopened.close()
        finally:
            store.close()


@pytest.mark.parametrize("backend", BACKENDS)
def test_every_entity_as_of_one_date(backend, tmp_path):
    trx = history(3)
    with FeatureStore.create(location(backend, tmp_path), trx, horizons=[7, 30]) as store:
        got = store.features(at=np.datetime64(T + DAY, "ms"))
        # every entity with a row the store keeps: one some window can still reach
        kept = (trx["quantity"] > 0) & (trx["timestamp"] >= T - 30 * DAY)
        ids = np.sort(trx.loc[kept, "entity"].unique())
        targets = pd.DataFrame({"entity": ids, "target_date": np.datetime64(T + DAY, "ms")})
        want = build_feature_frame(trx, targets, store.params)
        assert got["entity"].tolist() == ids.tolist()
        assert_bits_equal(got.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy())


@pytest.mark.parametrize("backend", BACKENDS)
def test_a_date_before_the_kept_history_is_refused(backend, tmp_path):
    trx = history(4)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OutsideHistoryWarning)
        store = FeatureStore.create(location(backend, tmp_path), trx.iloc[:1000], horizons=[7, 30],
                                    history=10 * DAY)
        first = store.info().answers_from_ms
        store.append(trx.iloc[1000:])
    with store:
        moved = store.info().answers_from_ms
        assert moved >= first  # the answerable dates never move back
        ok = pd.DataFrame({"entity": [3], "target_date": [moved]})
        store.features(ok)
        early = pd.DataFrame({"entity": [3, 3], "target_date": [moved, moved - 1]})
        with pytest.raises(NotAnswerableError, match=r"targets: row 1 asks for features as of .* answers exactly"):
            store.features(early)


@pytest.mark.parametrize("backend", BACKENDS)
def test_appends_check_their_rows_as_build_feature_frame_does(backend, tmp_path):
    trx = history(5)
    with FeatureStore.create(location(backend, tmp_path), trx, horizons=[7]) as store:
        bad = trx.iloc[:5].assign(timestamp=T, quantity=[1.0, np.nan, 2.0, np.nan, 1.0])
        with pytest.warns(MissingQuantityWarning, match="has 2 missing quantities"):
            report = store.append(bad)
        assert (report.dropped_missing_quantities, report.rows) == (2, 5)
        for table, error in [(trx.iloc[:3].assign(dimension=[1, 300, 2]), "outside int8"),
                             (trx.iloc[:3].assign(entity=[1.0, np.nan, 2.0]), "missing entity ids"),
                             (trx.iloc[:3].drop(columns=["quantity"]), "missing column 'quantity'")]:
            with pytest.raises(ValueError, match=error):
                store.append(table)
        # pandas before 3 holds strings in object columns
        with pytest.raises(TypeError, match="holds (str|object) entity ids but the store keeps entities with int64"):
            store.features(pd.DataFrame({"entity": ["a"], "target_date": [T]}))


def test_opening_refuses_other_parameters_layouts_and_foreign_directories(tmp_path):
    path = str(tmp_path / "store")
    FeatureStore.create(path, history(6), horizons=[7, 30]).close()
    with pytest.raises(StoreError, match=r"other parameters \(horizons: the store's \[7, 30\], given \[7\]\)"):
        FeatureStore.open(path, horizons=[7])
    FeatureStore.open(path, n_jobs=1).close()  # how to run is not what to compute
    with pytest.raises(StoreError, match="exists and is not an empty directory"):
        FeatureStore.create(path, history(6))
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "notes.txt").write_text("not a store")
    with pytest.raises(StoreError, match="not a feature store"):
        FeatureStore.open(str(tmp_path / "other"))
    import lmdb

    env = lmdb.open(path, max_dbs=4)
    with env.begin(write=True) as txn:
        meta_db = env.open_db(b"meta", txn=txn)
        meta = json.loads(txn.get(b"meta", db=meta_db))
        txn.put(b"meta", json.dumps(dict(meta, format="quelmar-feature-store/99")).encode(), db=meta_db)
    env.close()
    with pytest.raises(StoreError, match="a store of layout 'quelmar-feature-store/99'"):
        FeatureStore.open(path)
    assert sorted(os.listdir(tmp_path)) == ["other", "store"]


def test_a_store_made_from_a_file_in_buckets_answers_as_one_made_in_memory(tmp_path):
    trx = history(8, n_entities=300, n_rows=6000)
    trx.to_parquet(tmp_path / "trx.parquet")
    targets = pd.DataFrame({"entity": np.sort(trx["entity"].unique()), "target_date": T + DAY})
    options = dict(horizons=[7, 90], operators=ALL_OPERATORS, history=30 * DAY)
    with FeatureStore.create(str(tmp_path / "memory"), trx, **options) as memory, \
            FeatureStore.create(str(tmp_path / "buckets"), str(tmp_path / "trx.parquet"), buckets=4,
                                **options) as buckets:
        assert_same_features(buckets.features(targets), memory.features(targets))
        assert buckets.info().rows == memory.info().rows
    # the buckets lived in a temporary directory of their own
    assert sorted(os.listdir(tmp_path)) == ["buckets", "memory", "trx.parquet"]


def test_a_command_line_session_answers_as_build_feature_frame(tmp_path, capsys):
    from quelmar.afe.domain.modelling.feature_frame.cli import main

    trx = history(9)
    first, second = trx.iloc[:1000], trx.iloc[1000:]
    first.to_parquet(tmp_path / "first.parquet")
    second.to_csv(tmp_path / "second.csv", index=False)  # text ids read as the store's numbers
    targets = pd.DataFrame({"entity": trx["entity"].unique(), "target_date": T + DAY})
    targets.to_csv(tmp_path / "targets.csv", index=False)
    store, out = str(tmp_path / "store"), str(tmp_path / "features.parquet")
    options = ["--horizons", "7,30", "--operators", "sum,max,count_distinct", "--history", "20d"]
    assert main(["store", "create", store, str(tmp_path / "first.parquet"), *options]) == 0
    assert main(["store", "append", store, str(tmp_path / "second.csv")]) == 0
    assert main(["store", "features", store, str(tmp_path / "targets.csv"), "-o", out]) == 0
    assert main(["store", "info", store]) == 0
    err = capsys.readouterr().err.splitlines()
    assert err[0].startswith("quelmar-feature-frame: store created; store ") and "answers dates from" in err[0]
    assert " transactions appended, " in err[-3] and err[-1].startswith(f"quelmar-feature-frame: store {store}: ")
    with FeatureStore.open(store) as opened:
        want = build_feature_frame(trx, targets, opened.params)
    got = pd.read_parquet(out)
    assert got["entity"].tolist() == want["entity"].tolist()
    assert_bits_equal(got.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy())
    assert main(["store", "append", store, str(tmp_path / "targets.csv")]) == 2  # not transactions
    assert "missing column 'timestamp'" in capsys.readouterr().err
