"""The Dask path gives the single-machine feature frame, row for row."""

from __future__ import annotations

import contextlib
import os
import socket
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from quelmar.afe.domain.modelling.feature_frame import (  # noqa: E402
    TargetGrid,
    build_feature_frame,
    build_feature_frame_dask,
)

DAY = 86_400_000
T0 = 20_000 * DAY
# the P2P shuffle of distributed releases before 2024 fails with recent pyarrow
SHUFFLE = None if int(distributed.__version__.split(".")[0]) >= 2024 else "tasks"


def random_tables(seed, n_entities=60, n_trx=1500, n_targets=150, entity_kind=int):
    rng = np.random.default_rng(seed)
    ids = [entity_kind(i) if entity_kind is int else "e{}".format(i) for i in range(n_entities)]
    with_trx = ids[: n_entities - 10]  # the last ten entities have no transactions
    trx = pd.DataFrame(
        {
            "entity": [with_trx[i] for i in rng.integers(0, len(with_trx), n_trx)],
            # whole hours, so that ties between timestamps occur
            "timestamp": T0 - rng.integers(0, 24 * 120, n_trx).astype(np.int64) * 3_600_000,
            "quantity": rng.choice([0.0, 0.5, 1.25, 3.0, 10.0, -2.0], n_trx),
            "dimension": rng.integers(-3, 4, n_trx).astype(np.int8),
        }
    )
    tgt = pd.DataFrame(
        {
            "entity": [ids[i] for i in rng.integers(0, n_entities, n_targets)],
            "target_date": T0 - rng.integers(0, 60, n_targets).astype(np.int64) * DAY,
        }
    )
    return trx, tgt


@contextlib.contextmanager
def default_ports_taken():
    """Holds Dask's default scheduler and dashboard ports, where they are free,
    so that a cluster that relies on them fails here and not only on busy machines."""
    held = []
    for port in (8786, 8787):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            sock.bind(("127.0.0.1", port))
            sock.listen(1)
            held.append(sock)
        except OSError:
            sock.close()  # taken already: the condition holds anyway
    try:
        yield
    finally:
        for sock in held:
            sock.close()


def local_cluster():
    return distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")


@pytest.fixture(scope="module")
def client():
    with default_ports_taken(), local_cluster() as cluster, distributed.Client(cluster) as c:
        yield c


OPTIONS = [
    dict(horizons=[7, 30, 90]),
    dict(horizons=[14], operators=["sum", "ratio", "mode"], resolution="day", offset=1),
    dict(horizons=[7, 30], group=2, offset=1, operators=["sum", "frequency"]),
    dict(horizons=[7, 30], operators=["count_distinct", "mode"], timestamp_unit="ms", n_jobs=1),
]


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("entity_kind", [int, str])
def test_dask_equals_single_machine(client, options, entity_kind):
    trx, tgt = random_tables(7, entity_kind=entity_kind)
    want = build_feature_frame(trx, tgt, **options)
    lazy = build_feature_frame_dask(
        dd.from_pandas(trx, npartitions=3), dd.from_pandas(tgt, npartitions=2), npartitions=4, shuffle_method=SHUFFLE,
        **options
    )
    assert list(lazy.columns) == list(want.columns)
    got = client.compute(lazy).result().sort_index()
    assert len(got) == len(tgt)
    pd.testing.assert_frame_equal(got.iloc[:, 2:], want.iloc[:, 2:])
    assert got["entity"].tolist() == want["entity"].tolist()
    assert got["target_date"].tolist() == want["target_date"].tolist()


def test_partitions_missing_a_dimension_code_still_have_every_column(client):
    trx, tgt = random_tables(3)
    # code 3 only for one entity: most partitions never see it
    trx.loc[trx["dimension"] == 3, "dimension"] = 2
    trx.loc[0, "dimension"] = 3
    lazy = build_feature_frame_dask(dd.from_pandas(trx, npartitions=2), dd.from_pandas(tgt, npartitions=2),
                                    npartitions=5, horizons=[30], operators=["sum"],
                                    shuffle_method=SHUFFLE)
    got = client.compute(lazy).result().sort_index()
    assert "3__sum__30" in got.columns
    want = build_feature_frame(trx, tgt, horizons=[30], operators=["sum"])
    pd.testing.assert_frame_equal(got.iloc[:, 2:], want.iloc[:, 2:])


@pytest.mark.parametrize(
    "change, kwargs, error, message",
    [
        ({"dimension": 200}, {}, ValueError, "column 'dimension' has dimension codes outside int8"),
        ({"quantity": None}, {}, ValueError, "transactions: missing column 'quantity'"),
        ({}, {"horizons": []}, ValueError, "horizons: at least one horizon is required"),
        ({}, {"horizons": [7], "progress": True}, ValueError, "progress: not available on Dask"),
        ({}, {"offset": -1}, ValueError, "offset: expected an integer in 0..2147483647, got -1"),
        ({}, {"group": 1}, ValueError, "offset: feature-group mode"),
        ({}, {"horizon": [7]}, TypeError, "build_feature_frame_dask\\(\\) got an unexpected keyword argument"),
    ],
)
def test_bad_input_is_refused_before_computing(change, kwargs, error, message):
    trx, tgt = random_tables(1, n_trx=50, n_targets=5)
    for col, value in change.items():
        trx = trx.drop(columns=[col]) if value is None else trx.assign(**{col: value})
    kwargs.setdefault("horizons", [7])
    with pytest.raises(error, match=message):
        build_feature_frame_dask(dd.from_pandas(trx, npartitions=2), dd.from_pandas(tgt, npartitions=1), **kwargs)


# in-process, so that the recording below sees every partition; older Dask
# warns about that while another test's cluster is up
@pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler:UserWarning")
@pytest.mark.parametrize("n_jobs, per_partition", [(None, 1), (2, 2)])
def test_each_partition_uses_one_engine_thread_unless_told(monkeypatch, n_jobs, per_partition):
    import dask

    from quelmar.afe.domain.modelling.feature_frame import _dask

    seen = []

    def recording(transactions, targets, params):
        seen.append((len(targets), params.n_jobs))
        return build_feature_frame(transactions, targets, params)

    monkeypatch.setattr(_dask, "build_feature_frame", recording)
    trx, tgt = random_tables(2, n_trx=300, n_targets=30)
    lazy = build_feature_frame_dask(dd.from_pandas(trx, npartitions=2), dd.from_pandas(tgt, npartitions=2),
                                    npartitions=3, horizons=[7], n_jobs=n_jobs, shuffle_method="tasks")
    with dask.config.set(scheduler="synchronous"):
        got = lazy.compute()
    assert len(got) == len(tgt) and sum(rows for rows, _ in seen) == len(tgt)
    assert {jobs for _, jobs in seen} == {per_partition}


def test_explicit_task_shuffle(client):
    trx, tgt = random_tables(11, n_trx=400, n_targets=40)
    options = dict(horizons=[7, 30], operators=["sum", "count_distinct"])
    lazy = build_feature_frame_dask(dd.from_pandas(trx, npartitions=2), dd.from_pandas(tgt, npartitions=2),
                                    npartitions=3, shuffle_method="tasks", **options)
    got = client.compute(lazy).result().sort_index()
    pd.testing.assert_frame_equal(got.iloc[:, 2:], build_feature_frame(trx, tgt, **options).iloc[:, 2:])


def die_once(frame, marker):
    """Kills the worker process that runs it, the first time only."""
    if not os.path.exists(marker):
        with open(marker, "w"):
            pass
        os._exit(1)
    return frame


@pytest.mark.slow
def test_a_worker_killed_mid_computation_changes_nothing(tmp_path):
    cloudpickle = pytest.importorskip("cloudpickle")
    cloudpickle.register_pickle_by_value(sys.modules[__name__])  # the workers cannot import this module
    marker = str(tmp_path / "killed")
    trx, tgt = random_tables(5)
    options = dict(horizons=[7, 30], operators=["sum", "count_distinct", "ratio"], dimension_values=list(range(-3, 4)))
    want = build_feature_frame(trx, tgt, **options)
    with default_ports_taken(), local_cluster() as cluster, distributed.Client(cluster) as c:
        doomed = dd.from_pandas(trx, npartitions=4).map_partitions(die_once, marker, meta=trx.iloc[:0])
        lazy = build_feature_frame_dask(doomed, dd.from_pandas(tgt, npartitions=2), npartitions=3,
                                        shuffle_method="tasks", **options)
        try:
            got = c.compute(lazy).result(timeout=120).sort_index()
        except distributed.KilledWorker as exc:  # pragma: no cover - the other acceptable outcome
            assert "die_once" in str(exc)
        else:
            pd.testing.assert_frame_equal(got, want)
    assert os.path.exists(marker)  # a worker did die


def test_a_target_grid_gives_the_single_machine_grid(client):
    trx, _ = random_tables(11, n_entities=40)
    trx["quantity"] = trx["quantity"] * np.pi  # sums that float32 does not add exactly
    grid = TargetGrid(T0 - 50 * DAY, T0 + 5 * DAY, every="2d", from_first_transaction=True)
    options = dict(horizons=[3, 14, 60], operators=["sum", "density", "ratio", "max", "mode"])
    want = build_feature_frame(trx, grid, **options)
    lazy = build_feature_frame_dask(dd.from_pandas(trx, npartitions=3), grid, npartitions=5,
                                    shuffle_method=SHUFFLE, **options)
    got = client.compute(lazy).result().sort_values(["entity", "target_date"]).reset_index(drop=True)
    pd.testing.assert_frame_equal(got, want)
