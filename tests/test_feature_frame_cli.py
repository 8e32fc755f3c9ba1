"""The feature frame command line."""

from __future__ import annotations

import subprocess
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

from quelmar.afe.domain.modelling.feature_frame import build_feature_frame  # noqa: E402
from quelmar.afe.domain.modelling.feature_frame._cli import main, read_table  # noqa: E402

MODULE = "quelmar.afe.domain.modelling.feature_frame"


def tables():
    trx = pd.DataFrame(
        {
            "entity": ["a", "a", "a", "b", "b"],
            "timestamp": pd.to_datetime(
                ["2024-03-30 12:00", "2024-03-25 00:00", "2024-03-01 00:00", "2024-03-31 06:00", "2024-01-01 00:00"]
            ),
            "quantity": [2.0, 5.0, 1.0, 3.0, 7.0],
            "dimension": np.array([1, 1, 2, 2, 1], dtype=np.int8),
        }
    )
    tgt = pd.DataFrame(
        {"entity": ["a", "b", "zz", "a"], "target_date": pd.to_datetime(["2024-04-01"] * 3 + ["2024-03-28"])}
    )
    return trx, tgt


@pytest.fixture
def csv_inputs(tmp_path):
    trx, tgt = tables()
    trx.to_csv(tmp_path / "trx.csv", index=False)
    tgt.to_csv(tmp_path / "tgt.csv", index=False)
    return tmp_path


def test_csv_to_csv_equals_the_library_call(csv_inputs):
    out = csv_inputs / "features.csv"
    rc = main([str(csv_inputs / "trx.csv"), str(csv_inputs / "tgt.csv"), "-o", str(out),
               "--horizons", "7,30", "--operators", "sum,frequency,ratio"])
    assert rc == 0
    got = pd.read_csv(out)
    trx, tgt = tables()
    want = build_feature_frame(trx, tgt, horizons=[7, 30], operators=["sum", "frequency", "ratio"])
    assert list(got.columns) == list(want.columns)
    assert got["entity"].tolist() == ["a", "b", "zz", "a"]
    np.testing.assert_allclose(got.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy(), rtol=1e-6)
    assert got.loc[0, "1__sum__7"] == 7  # a: 2 + 5 within the week before 1 April
    assert got.loc[1, "2__sum__7"] == 3


def test_parquet_round_trip_keeps_float32_and_dates(csv_inputs):
    pytest.importorskip("pyarrow")
    trx, tgt = tables()
    trx.to_parquet(csv_inputs / "trx.parquet")
    tgt.to_parquet(csv_inputs / "tgt.parquet")
    out = csv_inputs / "features.parquet"
    rc = main([str(csv_inputs / "trx.parquet"), str(csv_inputs / "tgt.parquet"), "-o", str(out),
               "--horizons", "30", "--operators", "sum"])
    assert rc == 0
    got = pd.read_parquet(out)
    assert list(got.columns) == ["entity", "target_date", "1__sum__30", "2__sum__30"]
    assert got["1__sum__30"].dtype == np.float32
    assert pd.api.types.is_datetime64_any_dtype(got["target_date"])
    assert got["1__sum__30"].tolist()[0] == 7
    assert np.isnan(got["1__sum__30"].tolist()[2])  # zz has no transactions


def test_resolution_offset_and_per_dimension_flags(csv_inputs):
    out = csv_inputs / "f.csv"
    rc = main([str(csv_inputs / "trx.csv"), str(csv_inputs / "tgt.csv"), "-o", str(out),
               "--horizons", "48", "--resolution", "hour", "--offset", "24",
               "--operators", "sum,time_since_last", "--per-dimension", "time_since_last"])
    assert rc == 0
    got = pd.read_csv(out)
    assert list(got.columns[2:]) == ["1__sum__48", "1__time_since_last", "2__sum__48", "2__time_since_last"]
    # a at 1 April, window 29 March 00:00 .. 31 March 00:00: the purchase of 30 March noon
    assert got.loc[0, "1__sum__48"] == 2
    assert got.loc[0, "1__time_since_last"] == 36
    # b's purchase of 31 March 06:00 lies inside the offset
    assert np.isnan(got.loc[1, "2__sum__48"])


def test_stdout_output(csv_inputs, capsys):
    rc = main([str(csv_inputs / "trx.csv"), str(csv_inputs / "tgt.csv"), "-o", "-",
               "--horizons", "7", "--operators", "sum"])
    assert rc == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "entity,target_date,1__sum__7,2__sum__7"
    assert len(lines) == 5


def test_demo_prints_a_feature_table(capsys):
    assert main(["--demo", "--horizons", "7,30", "--operators", "sum,count_distinct"]) == 0
    out = capsys.readouterr().out
    assert "target pairs" in out
    assert "0__sum__7" in out and "customer-0" in out


def test_demo_is_reproducible_and_written_to_a_file(tmp_path):
    paths = [tmp_path / "a.csv", tmp_path / "b.csv"]
    for path in paths:
        assert main(["--demo", "--seed", "3", "-o", str(path)]) == 0
    assert paths[0].read_text() == paths[1].read_text()
    frame = pd.read_csv(paths[0])
    assert len(frame) == 10 and frame.iloc[:, 2:].notna().any().any()


@pytest.mark.parametrize(
    "args, message",
    [
        (["trx.csv", "tgt.csv", "-o", "out.xlsx"], "out.xlsx: unknown output format"),
        (["trx.txt2", "tgt.csv", "-o", "out.csv"], "trx.txt2: no such file"),
        (["trx.csv", "tgt.csv"], "TRANSACTIONS, TARGETS and -o OUT are required"),
        (["trx.csv", "tgt.csv", "-o", "o.csv", "--horizons", "0"], "horizons: every horizon must be a positive"),
        (["trx.csv", "tgt.csv", "-o", "o.csv", "--operators", "avg"], "operators: unknown operator 'avg'"),
        (["trx.csv", "tgt.csv", "-o", "o.csv", "--quantity-col", "amount"],
         "transactions: missing column 'amount'"),
    ],
)
def test_errors_are_reported_with_exit_status_2(csv_inputs, monkeypatch, capsys, args, message):
    monkeypatch.chdir(csv_inputs)
    assert main(args) == 2
    err = capsys.readouterr().err
    assert message in err and err.startswith("python -m " + MODULE + ": error:")


def test_unreadable_dates_in_csv(tmp_path):
    path = tmp_path / "trx.csv"
    pd.DataFrame({"entity": ["a"], "timestamp": ["not a date"], "quantity": [1.0]}).to_csv(path, index=False)
    with pytest.raises(ValueError, match="column 'timestamp' holds no readable dates"):
        read_table(str(path), ["timestamp"])


def test_runs_as_a_module():
    result = subprocess.run(
        [sys.executable, "-m", MODULE, "--demo", "--demo-entities", "2", "--horizons", "30", "--operators", "sum"],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    assert "0__sum__30" in result.stdout
