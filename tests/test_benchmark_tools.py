"""The benchmark's own tools: the workload generator, the lower-bound loop and
the peers must describe the same job as `execute`, or its ratios mean
nothing. The module, the lower bound and the peers are also checked against
each other on small generated workloads."""

import os
import shutil
import sys

import numpy as np
import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "benchmarks")
sys.path.insert(0, BENCH)

import generate  # noqa: E402

needs_compiler = pytest.mark.skipif(shutil.which(os.environ.get("CXX", "g++")) is None, reason="no C++ compiler")

SMALL = {"typical": "e300", "wide": "e500", "wider": "e300", "long": "e3"}


@pytest.fixture(scope="module", autouse=True)
def _cache(tmp_path_factory):
    old = os.environ.get("DFBH_BENCH_CACHE")
    os.environ["DFBH_BENCH_CACHE"] = str(tmp_path_factory.mktemp("bench-data"))
    yield
    if old is None:
        del os.environ["DFBH_BENCH_CACHE"]
    else:
        os.environ["DFBH_BENCH_CACHE"] = old


def small_call(workload, layout):
    shape = generate.WORKLOADS[workload].shape
    return generate.build_call(workload, generate.dataset(shape, SMALL[shape], layout))


def transactions_by_entity(ds):
    """Each entity's (date, quantity, code) rows in the order its list gives."""
    out = {}
    for e, rows in ds.entity_index_map().items():
        rows = np.asarray(rows)
        out[e] = (ds.trx_dates[rows, 0], ds.trx_q_arrays[rows, generate.Q_INDEX], ds.trx_d_arrays[rows, 0])
    return out


@pytest.mark.parametrize("shape", sorted(generate.SHAPES))
def test_layouts_hold_the_same_histories_newest_first(shape):
    grouped = generate.dataset(shape, SMALL[shape], "grouped")
    timed = generate.dataset(shape, SMALL[shape], "time")
    a, b = transactions_by_entity(grouped), transactions_by_entity(timed)
    assert a.keys() == b.keys() and len(a) > 0
    listed = 0
    for e in a:
        for x, y in zip(a[e], b[e]):
            np.testing.assert_array_equal(x, y)
        assert np.all(np.diff(a[e][0]) <= 0), "entity rows must be listed newest first"
        listed += len(a[e][0])
    assert listed == grouped.n_rows == timed.n_rows
    # Grouped: each entity's rows are one contiguous block; time-sorted: all
    # rows in date order.
    for e, rows in grouped.entity_index_map().items():
        assert np.array_equal(rows, np.arange(rows[0], rows[0] - len(rows), -1))
    assert np.all(np.diff(timed.trx_dates[:, 0]) >= 0)


@pytest.mark.parametrize("workload", sorted(generate.WORKLOADS))
def test_call_places_every_entity_once_and_keys_fit(workload):
    call = small_call(workload, "grouped")
    kw = call.kwargs
    splits = kw["splits"]
    n_splits = splits.shape[0]
    rows = {}
    for i in range(n_splits):
        for k, e in enumerate(splits[i]):
            if e == -1:
                break
            rows[int(e)] = i + k * n_splits
    assert sorted(rows) == list(range(call.data.n_entities))
    assert all(call.result_row_of_entity[e] == r for e, r in rows.items())
    assert max(rows.values()) < call.n_result_rows
    keys = list(kw["column_name_map"])
    assert all(-(2**31) <= k < 2**31 for k in keys)
    assert sorted(kw["column_name_map"].values()) == list(range(len(keys)))
    assert len(kw) == 23 and kw["result_frame"] is None


def hand_dataset():
    """One entity, one dimension value, horizons [7, 30], offset 1 day."""
    day = generate.DAY_MS
    T = generate.BASE_MS
    dates = np.array([T - 20 * day, T - 3 * day, T - 2 * day, T + day], dtype=np.int64)  # oldest first
    q = np.zeros((4, generate.Q_COLUMNS), dtype=np.float32)
    q[:, generate.Q_INDEX] = [1.0, 5.0, 2.0, 9.0]
    return generate.Dataset(
        shape="typical", size="hand", layout="grouped",
        trx_dates=dates.reshape(-1, 1), trx_q_arrays=q,
        trx_d_arrays=np.array([[3], [3], [3], [3]], dtype=np.int8),
        trx_entity=np.zeros(4, dtype=np.int32),
        rows_newest_first=np.array([3, 2, 1, 0], dtype=np.int32),
        row_offsets=np.array([0, 4], dtype=np.int64),
        target_dates=np.array([T], dtype=np.int64),
        has_rows=np.array([True]),
        index_map={3: 1},
    )  # fmt: skip


@needs_compiler
def test_lower_bound_cumulative_cells_by_hand(monkeypatch):
    import lowerbound
    from quelmar.afe.domain.enums.afe_operator import AfeOperator as OP

    wl = generate.Workload(name="hand", shape="typical", description="", horizons=[7, 30],
                           set_one=[OP.Density, OP.Min, OP.Max, OP.Sum, OP.Frequency], set_two=[], ratio=False,
                           splits=1)  # fmt: skip
    monkeypatch.setitem(generate.WORKLOADS, "hand", wl)
    call = generate.build_call("hand", hand_dataset())
    out = call.new_result_frame()
    counters = lowerbound.LowerBound(call).run(out)
    got = {(op, h): out[0, c] for (d, op, h), c in call.columns.items()}
    # Newest first: 9.0 lies after the window end and is passed over; 2 and 5
    # fall in horizon 7, 1 in horizon 30.
    expected = {
        (OP.Sum.value, 7): 7.0, (OP.Min.value, 7): 2.0, (OP.Max.value, 7): 5.0,
        (OP.Frequency.value, 7): 2.0, (OP.Density.value, 7): 3.5,
        (OP.Sum.value, 30): 8.0, (OP.Min.value, 30): 1.0, (OP.Max.value, 30): 5.0,
        (OP.Frequency.value, 30): 3.0, (OP.Density.value, 30): np.float32(8.0) / np.float32(3.0),
    }  # fmt: skip
    assert got == pytest.approx(expected, rel=0, abs=0)
    assert (counters.rows_scanned, counters.rows_accepted, counters.cells_written) == (4, 3, 10)


def module_execute():
    mod = pytest.importorskip("quelmar.afe.domain.modelling.helper.data_frame_builder_helper")
    return mod.execute


@needs_compiler
@pytest.mark.parametrize("layout", generate.LAYOUTS)
@pytest.mark.parametrize("workload", sorted(generate.WORKLOADS))
def test_module_and_lower_bound_write_the_same_cells(workload, layout):
    import lowerbound

    execute = module_execute()
    call = small_call(workload, layout)
    ref = call.new_result_frame()
    counters = lowerbound.LowerBound(call).run(ref)
    assert counters.rows_scanned == generate.scanned_rows(call)
    out = call.new_result_frame()
    execute(**call.args(out))
    assert np.count_nonzero(~np.isnan(ref)) > 0
    np.testing.assert_array_equal(out, ref)  # NaN in the same cells, numbers bit for bit


@needs_compiler
@pytest.mark.parametrize("workload", ["W1", "W3"])
def test_lower_bound_streamed_rows_keep_the_cells_it_does_not_write(workload):
    """Rows written with non-temporal stores (whole cache lines of W1's rows,
    the row image of W3's wide rows): the same cells as the module, and the
    cells neither writes (unwritten Ratio cells, other rows) keep the
    caller's value."""
    import lowerbound

    execute = module_execute()
    call = small_call(workload, "grouped")
    sentinel = np.float32(-7.25)
    out = call.new_result_frame()
    out[...] = sentinel
    execute(**call.args(out))
    ref = call.new_result_frame()
    ref[...] = sentinel
    counters = lowerbound.LowerBound(call, stream_from_bytes=1).run(ref)
    assert counters.bytes_streamed > 0
    assert np.count_nonzero(ref == sentinel) > 0
    np.testing.assert_array_equal(ref, out)


@needs_compiler
@pytest.mark.parametrize("peer", ["pandas", "polars", "duckdb"])
@pytest.mark.parametrize("layout", generate.LAYOUTS)
def test_peer_computes_the_w1_features(peer, layout):
    pytest.importorskip(peer)
    import lowerbound
    import peers

    call = small_call("W1", layout)
    ref = call.new_result_frame()
    lowerbound.LowerBound(call).run(ref)
    out = call.new_result_frame()
    peers.PEERS[peer](call, peers.PeerData(call), peers.Placement(call)).run(out)
    np.testing.assert_array_equal(np.isnan(out), np.isnan(ref))
    np.testing.assert_allclose(out, ref, rtol=1e-5, atol=0)


@pytest.mark.parametrize("peer", ["polars", "duckdb"])
def test_whole_job_peers_compute_the_front_ends_features(peer):
    # the whole-job benchmark's peers, on a small event log, cell by cell
    pytest.importorskip("pandas")
    pytest.importorskip(peer)
    if peer == "duckdb":
        pytest.importorskip("pyarrow")
    import whole_job

    data = whole_job.generate(300, seed=5)
    ours = whole_job.as_matrix("ours", whole_job.run_job("ours", whole_job.pandas_tables(data)))
    theirs = whole_job.as_matrix(peer, whole_job.run_job(peer, whole_job.build_tables(peer, data)))
    assert np.isnan(ours).any() and np.isfinite(ours).any()
    whole_job.compare(ours, theirs, peer)
