"""The Dask path gives the single-machine feature frame, row for row."""

from __future__ import annotations

import contextlib
import json
import operator
import os
import socket
import sys
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from _feature_helpers import assert_bits_equal  # noqa: E402

from quelmar.afe.domain.modelling.feature_frame import (  # noqa: E402
    TargetGrid,
    build_feature_frame,
    build_feature_frame_dask,
    gather_feature_frame,
    write_partitioned,
)

DAY = 86_400_000
T0 = 20_000 * DAY
# the P2P shuffle of distributed releases before 2024 fails with recent pyarrow
SHUFFLE = None if int(distributed.__version__.split(".")[0]) >= 2024 else "tasks"


def random_tables(seed, n_entities=60, n_trx=1500, n_targets=150, entity_kind=int):
    rng = np.random.default_rng(seed)
    ids = [i if entity_kind in (int, float, "float-transactions") else "e{}".format(i) for i in range(n_entities)]
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
    if entity_kind is float:  # integer ids against float ids, which compare by value
        tgt["entity"] = tgt["entity"].astype(np.float64)
    if entity_kind == "float-transactions":  # and hash alike on every path
        trx["entity"] = trx["entity"].astype(np.float64)
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


def assert_same_frame(got, want):
    """``got`` (computed, any row order) holds ``want``'s rows: the same index,
    ids and dates, every feature cell the same bits."""
    got = got.sort_index()
    assert list(got.columns) == list(want.columns)
    assert got.index.tolist() == want.index.tolist()
    for col in want.columns[:2]:
        assert got[col].tolist() == want[col].tolist()
    assert_bits_equal(got.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy())


def as_dask(trx, tgt):
    return dd.from_pandas(trx, npartitions=3), dd.from_pandas(tgt, npartitions=2)


def lazy_features(via, trx, tgt, path, **options):
    """The lazy result through the shuffle (the default method or tasks), or
    through a dataset written by ``write_partitioned`` from pandas or from
    Dask DataFrames."""
    if via in ("shuffle", "task shuffle"):
        method = "tasks" if via == "task shuffle" else SHUFFLE
        return build_feature_frame_dask(*as_dask(trx, tgt), npartitions=4, shuffle_method=method, **options)
    tables = as_dask(trx, tgt) if via == "parts from dask" else (trx, tgt)
    return build_feature_frame_dask(*write_partitioned(*tables, path / "data", 4), **options)


CASES = [(options, kind, "shuffle") for options in OPTIONS for kind in (int, str)] + [
    (OPTIONS[0], str, "parts from pandas"),
    (OPTIONS[1], int, "parts from pandas"),
    (OPTIONS[2], str, "parts from dask"),
    (OPTIONS[3], int, "parts from dask"),
    (OPTIONS[0], float, "shuffle"),
    (OPTIONS[1], float, "parts from pandas"),
    (OPTIONS[2], "float-transactions", "shuffle"),
    (dict(OPTIONS[0], dimension_col=None), int, "shuffle"),  # every transaction under code 0
    (OPTIONS[3], "float-transactions", "parts from dask"),
    (OPTIONS[3], str, "task shuffle"),
]


@pytest.mark.parametrize("options, entity_kind, via", CASES)
def test_dask_equals_single_machine(client, tmp_path, options, entity_kind, via):
    trx, tgt = random_tables(7, entity_kind=entity_kind)
    tgt.index = tgt.index * 3 + 5  # the index travels with each row, whatever it is
    # columns the computation does not read, left behind before the shuffle
    trx["note"], tgt["label"] = "unused", 1.5
    want = build_feature_frame(trx, tgt, **options)
    lazy = lazy_features(via, trx, tgt, tmp_path, **options)
    assert list(lazy.columns) == list(want.columns)
    assert_same_frame(client.compute(lazy).result(), want)
    if via.endswith("shuffle"):  # the 60 entities spread over all 4 partitions
        assert min(lazy.map_partitions(len).compute()) > 0


@pytest.mark.parametrize("via", ["shuffle", "parts from pandas"])
def test_partitions_missing_a_dimension_code_still_have_every_column(client, tmp_path, via):
    trx, tgt = random_tables(3)
    # code 3 only for one entity: most partitions never see it
    trx.loc[trx["dimension"] == 3, "dimension"] = 2
    trx.loc[0, "dimension"] = 3
    lazy = lazy_features(via, trx, tgt, tmp_path, horizons=[30], operators=["sum"])
    assert "3__sum__30" in lazy.columns
    assert_same_frame(client.compute(lazy).result(), build_feature_frame(trx, tgt, horizons=[30], operators=["sum"]))


@pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler:UserWarning")
def test_partitioned_dataset_is_one_task_per_part_and_reads_codes_once_when_not_recorded(tmp_path, monkeypatch):
    from quelmar.afe.domain.modelling.feature_frame.distributed import Dataset

    trx, tgt = random_tables(4, n_trx=400, n_targets=40)
    trx = trx.rename(columns={"dimension": "channel"})
    reads, read_all = [], Dataset.read_all
    monkeypatch.setattr(Dataset, "read_all",
                        lambda self, columns: reads.append(columns) or read_all(self, columns))
    # written without a dimension column: the codes are not recorded
    paths = write_partitioned(trx, tgt, tmp_path / "data", 5, dimension_col=None)
    options = dict(horizons=[7, 30], operators=["sum", "mode"], dimension_col="channel")
    lazy = build_feature_frame_dask(*paths, **options)
    assert reads == [["channel"]]
    optimized = lazy.optimize() if hasattr(lazy, "optimize") else lazy
    assert lazy.npartitions == 5 and len(dict(optimized.__dask_graph__())) == 5
    import dask

    with dask.config.set(scheduler="synchronous"):
        assert_same_frame(lazy.compute(), build_feature_frame(trx, tgt, **options))


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


def rewrite_metadata(directory, **changes):
    path = directory / "_partitioning.json"
    path.write_text(json.dumps(dict(json.loads(path.read_text()), **changes)))


def replace_a_part(directory, frame):
    part = sorted(directory.glob("part-*/*.parquet"))[0]
    frame.to_parquet(part, index=False)


@pytest.mark.parametrize(
    "spoil, kwargs, error, message",
    [
        (lambda trx, tgt, other: (other / "transactions", tgt), {}, ValueError,
         "partitioned differently: 3 parts .* against 4"),
        (lambda trx, tgt, other: (trx, rewrite_metadata(tgt, hashing="murmur3")), {}, ValueError,
         "partitioned differently: hashing"),
        (lambda trx, tgt, other: (trx, rewrite_metadata(tgt, id_kind="object")), {}, ValueError,
         "entity ids hashed as None against 'object'"),
        (lambda trx, tgt, other: (trx, rewrite_metadata(tgt, format="other/2")), {}, ValueError,
         "_partitioning.json is not of the format"),
        (lambda trx, tgt, other: (trx, tgt.parent), {}, ValueError, "not a partitioned dataset"),
        (lambda trx, tgt, other: (replace_a_part(trx, pd.DataFrame({"entity": [1], "timestamp": [T0]})), tgt), {},
         ValueError, "part-00000/chunk-00000.parquet: its columns differ"),
        (lambda trx, tgt, other: (next(trx.glob("part-00001/*")).unlink(), None), {}, ValueError,
         "part-00001/chunk-00000.parquet: cannot be read"),
        (None, {"entity_col": "dimension"}, ValueError,
         "partitioned by column 'entity', not by entity_col='dimension'"),
        (None, {"quantity_col": "amount"}, ValueError, "transactions: missing column 'amount'"),
        (None, {"npartitions": 2}, ValueError, "npartitions: a partitioned dataset is computed in the parts"),
        (lambda trx, tgt, other: (trx, random_tables(1)[1]), {}, TypeError, "pass both as the directories"),
    ],
)
def test_a_partitioned_dataset_that_does_not_match_is_refused_before_computing(tmp_path, spoil, kwargs, error,
                                                                               message):
    trx, tgt = random_tables(1, n_trx=200, n_targets=20)
    paths = [Path(p) for p in write_partitioned(trx, tgt, tmp_path / "data", 4)]
    other = tmp_path / "other"
    write_partitioned(trx, tgt, other, 3)
    if spoil is not None:
        spoilt = spoil(*paths, other)
        paths = [p if s is None else s for p, s in zip(paths, spoilt)]
    with pytest.raises(error, match=message):
        build_feature_frame_dask(*paths, horizons=[7], **kwargs)


def partitions_of_two_types(trx):
    import dask

    head, tail = trx.iloc[:100], trx.iloc[100:]
    tail = tail.assign(quantity=tail["quantity"].round().astype("int64"))
    return dd.from_delayed([dask.delayed(head), dask.delayed(tail)], meta=head.iloc[:0], verify_meta=False)


@pytest.mark.parametrize(
    "tables, error, message",
    [
        (lambda trx, tgt: (trx.assign(dimension=200), tgt), ValueError, "codes outside int8"),
        (lambda trx, tgt: (trx, tgt.assign(entity=None)), ValueError, "targets: column 'entity' has .*missing"),
        (lambda trx, tgt: (partitions_of_two_types(trx), tgt), ValueError,
         "transactions: the partitions of the input have different column types"),
    ],
)
def test_writing_bad_tables_leaves_nothing(tmp_path, tables, error, message):
    trx, tgt = random_tables(1, n_trx=200, n_targets=20)
    with pytest.raises(error, match=message):
        write_partitioned(*tables(trx, tgt), tmp_path / "data", 4)
    assert list(tmp_path.iterdir()) == []
    write_partitioned(trx, tgt, tmp_path / "data", 4)
    with pytest.raises(FileExistsError, match="exists already"):
        write_partitioned(trx, tgt, tmp_path / "data", 4)


# in-process, so that the recording below sees every partition; older Dask
# warns about that while another test's cluster is up
@pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler:UserWarning")
@pytest.mark.parametrize("n_jobs, per_partition", [(None, 1), (2, 2)])
def test_each_partition_uses_one_engine_thread_unless_told(monkeypatch, n_jobs, per_partition):
    import dask

    from quelmar.afe.domain.modelling.feature_frame.distributed import dask as _dask

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


@pytest.mark.parametrize("entities", [None, [3, 1, 4, 15, 9, 26, 5, 35, 999]])  # 999: no transaction
def test_a_target_grid_gives_the_single_machine_grid(client, entities):
    trx, _ = random_tables(11, n_entities=40)
    trx["quantity"] = trx["quantity"] * np.pi  # sums that float32 does not add exactly
    grid = TargetGrid(T0 - 50 * DAY, T0 + 5 * DAY, every="2d", entities=entities, from_first_transaction=True)
    options = dict(horizons=[3, 14, 60], operators=["sum", "density", "ratio", "max", "mode"])
    want = build_feature_frame(trx, grid, **options)
    lazy = build_feature_frame_dask(dd.from_pandas(trx, npartitions=3), grid, npartitions=5,
                                    shuffle_method=SHUFFLE, **options)
    got = client.compute(lazy).result().sort_values(["entity", "target_date"]).reset_index(drop=True)
    pd.testing.assert_frame_equal(got, want)


# "local": a single-machine scheduler configured while the client is up,
# which older Dask warns about
@pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler:UserWarning")
@pytest.mark.parametrize("via, n_targets, scheduler", [
    ("shuffle", 150, "given client"),
    ("parts from pandas", 150, "default client"),
    ("parts from pandas", 3, "given client"),  # most partitions empty
    ("shuffle", 0, "default client"),
    ("parts from pandas", 0, "given client"),
    ("parts from pandas", 150, "local"),  # not the shuffle: P2P runs only on workers
])
def test_gathering_gives_what_compute_gives(client, tmp_path, monkeypatch, via, n_targets, scheduler):
    import dask

    trx, tgt = random_tables(13)
    tgt = tgt.iloc[:n_targets]
    tgt.index = tgt.index * 3 + 5
    options = dict(horizons=[7, 30], operators=["sum", "ratio", "max"])
    lazy = lazy_features(via, trx, tgt, tmp_path, **options)
    want = lazy.compute()
    assert len(want) == n_targets
    computed, compute = [], type(lazy).compute
    monkeypatch.setattr(type(lazy), "compute", lambda *args, **kwargs: computed.append(1) or compute(*args, **kwargs))
    with dask.config.set(scheduler="synchronous") if scheduler == "local" else contextlib.nullcontext():
        got = gather_feature_frame(lazy, client if scheduler == "given client" else None)
    # with a client the parts come from the workers, not through compute
    assert len(computed) == (scheduler == "local")
    pd.testing.assert_frame_equal(got, want, check_exact=True)  # also the row order and dtypes
    assert_bits_equal(got.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy())


def test_gathering_raises_the_error_of_a_task(client, tmp_path):
    trx, tgt = random_tables(13)
    lazy = lazy_features("parts from pandas", trx, tgt, tmp_path, horizons=[7])
    failing = lazy.map_partitions(operator.itemgetter(["no such column"]), meta=lazy._meta)
    with pytest.raises(KeyError, match="no such column"):
        gather_feature_frame(failing)
