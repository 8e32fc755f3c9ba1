"""Target schedules: a TargetGrid is the target table it stands for; bad
schedules and results too large for memory are refused before any work."""

from __future__ import annotations

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

from _feature_helpers import DAY, assert_bits_equal  # noqa: E402
from quelmar.afe.domain.modelling.feature_frame import (  # noqa: E402
    InvalidParameterError,
    OutputTooLargeError,
    TargetGrid,
    build_feature_frame,
    native,
)
from quelmar.afe.domain.modelling.feature_frame.cli import main  # noqa: E402
from quelmar.afe.domain.modelling.feature_frame.compute import grid as _grid  # noqa: E402

START = np.datetime64("2024-01-01", "ms")
OPTIONS = dict(horizons=[7, 30, 90], operators=["sum", "frequency", "density", "ratio", "min", "max",
                                                "count_distinct", "mode", "time_since_first",
                                                "time_since_last"])


def history(seed=0, n_entities=30, n_rows=4000):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({
        "entity": rng.integers(0, n_entities, n_rows) * 7,
        "timestamp": START - np.timedelta64(200 * DAY, "ms") + rng.integers(0, 400 * DAY, n_rows).astype("timedelta64[ms]"),
        # magnitudes far apart: float32 sums in different orders would differ
        "quantity": (rng.random(n_rows) * 10.0 ** rng.integers(-3, 6, n_rows)).astype(np.float32),
        "dimension": rng.integers(0, 4, n_rows).astype(np.int8),
    })


def by_entity_and_date(frame):
    return frame.sort_values(["entity", "target_date"], kind="stable").reset_index(drop=True)


def test_grid_and_the_same_targets_shuffled_give_the_same_bits_for_every_thread_count():
    trx = history()
    grid = TargetGrid("2024-01-01", "2024-06-30", every="1d")
    reference = build_feature_frame(trx, grid, n_jobs=1, **OPTIONS)
    dates = np.arange(START, np.datetime64("2024-07-01", "ms"), np.timedelta64(DAY, "ms"))
    assert reference["target_date"].to_numpy().tolist() == np.tile(dates, 30).tolist()
    assert reference["entity"].tolist() == np.repeat(np.arange(30) * 7, len(dates)).tolist()
    table = reference[["entity", "target_date"]].sample(frac=1.0, random_state=1)
    for n_jobs in (1, 2, 3):
        for got in (build_feature_frame(trx, grid, n_jobs=n_jobs, **OPTIONS),
                    by_entity_and_date(build_feature_frame(trx, table, n_jobs=n_jobs, **OPTIONS))):
            assert_bits_equal(got.iloc[:, 2:].to_numpy(), reference.iloc[:, 2:].to_numpy())
    # one target per call: every window starts afresh instead of sliding
    alone = pd.concat([build_feature_frame(trx, table.iloc[i:i + 1], **OPTIONS) for i in range(0, 5400, 97)])
    want = reference.set_index(["entity", "target_date"]).loc[list(zip(alone["entity"], alone["target_date"]))]
    assert_bits_equal(alone.iloc[:, 2:].to_numpy(), want.to_numpy())


@pytest.mark.parametrize("group", [1, "all"])
def test_a_grid_of_feature_group_columns_equals_its_table(group):
    # the grid's size estimate, made before the dimension values are known,
    # must not refuse a group value other than 0
    trx = history(n_rows=500)
    options = dict(group=group, offset=1, horizons=[7, 30],
                   operators=["sum", "mode"] + (["ratio"] if group != "all" else []))
    got = build_feature_frame(trx, TargetGrid("2024-01-01", "2024-01-31", every="3d"), **options)
    want = build_feature_frame(trx, got[["entity", "target_date"]], **options)
    assert got.shape[1] > 2 and got.iloc[:, 2:].notna().any().any()
    pd.testing.assert_frame_equal(got, want)


@pytest.mark.parametrize("first_id, second_id, other_id", [
    ("a", "b", "z"),
    # integers numbered by their range, the codes between them without a transaction
    (np.int8(5), np.int8(-3), np.int8(9)),
    # integers numbered as they appear
    (np.int64(2**40), np.int64(-2**40), np.int64(2**41)),
])
def test_entities_may_be_given_or_start_at_their_first_transaction(first_id, second_id, other_id):
    trx = pd.DataFrame({"entity": [first_id, second_id, first_id], "timestamp": [10 * DAY, 16 * DAY, 15 * DAY],
                        "quantity": [1.0, 2.0, 4.0], "dimension": np.int8([0, 0, 0])})
    late = build_feature_frame(trx, TargetGrid(0, 20 * DAY, every="5d", from_first_transaction=True),
                               horizons=[7], operators=["sum"])
    sums = {first_id: [(15, 1.0), (20, 4.0)], second_id: [(20, 2.0)]}
    want = [(e, day, total) for e in sorted(sums) for day, total in sums[e]]
    assert list(zip(late["entity"], late["target_date"] // DAY, late["0__sum__7"])) == want
    assert late["entity"].dtype == trx["entity"].dtype
    given = build_feature_frame(trx, TargetGrid(0, 20 * DAY, every="10d", entities=[other_id, first_id]),
                                horizons=[7], operators=["sum"])
    assert list(zip(given["entity"], given["target_date"] // DAY)) == [
        (first_id, 0), (first_id, 10), (first_id, 20), (other_id, 0), (other_id, 10), (other_id, 20)]
    assert given["0__sum__7"].isna().tolist() == [True, True, False, True, True, True]
    # given entities start after their own first transaction; one without any never does
    late_given = build_feature_frame(trx, TargetGrid(0, 20 * DAY, every="5d", entities=[other_id, first_id],
                                                     from_first_transaction=True), horizons=[7], operators=["sum"])
    assert list(zip(late_given["entity"], late_given["target_date"] // DAY, late_given["0__sum__7"])) == [
        (first_id, day, total) for day, total in sums[first_id]]


@pytest.mark.parametrize("start, end, every, entities, message", [
    ("2024-02-01", "2024-01-01", "1d", None, "end: '2024-01-01' is before start"),
    ("2024-01-01", "2024-02-01", "0d", None, "the step must be positive"),
    ("2024-01-01", "2024-02-01", "-1d", None, "the step must be positive"),
    ("2024-01-01", "2024-02-01", "1fortnight", None, "unknown unit 'fortnight'"),
    ("2024-01-01", "2024-02-01", "1m", None, "'m' is ambiguous"),
    ("2024-01-01", "2024-02-01", 7, None, "expected a count and a unit"),
    ("2024-01-01", "not a date", "1d", None, "end: expected a date"),
    ("2024-01-01", 5, "1d", None, "both as dates or both as integer"),
    ("2024-01-01", "2024-02-01", "1d", [], "the grid has no entity"),
])
def test_bad_schedules_are_refused_when_made(start, end, every, entities, message):
    with pytest.raises(InvalidParameterError, match=message):
        TargetGrid(start, end, every, entities=entities)


def test_a_grid_over_empty_transactions_is_refused():
    trx = history().iloc[:0]
    with pytest.raises(InvalidParameterError, match="no entity"):
        build_feature_frame(trx, TargetGrid("2024-01-01", "2024-01-02"))


def test_an_output_larger_than_memory_is_refused_before_computing(monkeypatch):
    def fail(*args, **kwargs):
        raise AssertionError("computed")

    monkeypatch.setattr(native, "compute_features", fail)
    monkeypatch.setattr(_grid, "available_memory", lambda: 10_000_000)
    # 30 entities x 43,825 dates: refused before the grid is laid out, when
    # even one dimension value's 30 columns cannot fit
    grid = TargetGrid("2020-01-01", "2024-12-31", every="1h")
    with pytest.raises(OutputTooLargeError, match=r"need 150\.5 MiB \(1,314,750 rows x 30 float32 columns\) "
                                                  r"but only 9\.5 MiB"):
        build_feature_frame(history(), grid, **OPTIONS)
    table = pd.DataFrame({"entity": np.zeros(30_000, np.int64), "target_date": START})
    with pytest.raises(OutputTooLargeError, match="compute them in parts"):
        build_feature_frame(history(), table, **OPTIONS)


def test_the_command_line_schedule_equals_a_targets_file(tmp_path):
    trx = history(n_entities=5, n_rows=300)
    trx.to_parquet(tmp_path / "trx.parquet")
    grid = TargetGrid("2024-03-01", "2024-04-01", every="7d")
    grid.table(trx, _params()).to_parquet(tmp_path / "tgt.parquet")
    common = ["--horizons", "7,30", "--operators", "sum,max,mode"]
    assert main([str(tmp_path / "trx.parquet"), str(tmp_path / "tgt.parquet"), "-o", str(tmp_path / "a.parquet")]
                + common) == 0
    assert main([str(tmp_path / "trx.parquet"), "--every", "7d", "--from", "2024-03-01", "--to", "2024-04-01",
                 "-o", str(tmp_path / "b.parquet")] + common) == 0
    pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "b.parquet"), pd.read_parquet(tmp_path / "a.parquet"))
    assert main([str(tmp_path / "trx.parquet"), "--every", "0d", "--from", "2024-03-01", "--to", "2024-04-01",
                 "-o", str(tmp_path / "c.parquet")]) == 2
    assert not (tmp_path / "c.parquet").exists()


def _params():
    from quelmar.afe.domain.modelling.feature_frame import FeatureParams

    return FeatureParams()
