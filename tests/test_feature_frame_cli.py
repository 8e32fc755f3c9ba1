"""The feature frame command line."""

from __future__ import annotations

import errno
import io
import os
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

from quelmar.afe.domain.modelling.feature_frame import build_feature_frame  # noqa: E402
from quelmar.afe.domain.modelling.feature_frame.cli import app, main  # noqa: E402
from quelmar.afe.domain.modelling.feature_frame.files import TableWriter  # noqa: E402
from quelmar.afe.domain.modelling.feature_frame.params import command_line_fields, default_text  # noqa: E402
from quelmar.afe.domain.modelling.feature_frame.support import stage  # noqa: E402
from _feature_helpers import assert_bits_equal  # noqa: E402

MODULE = "quelmar.afe.domain.modelling.feature_frame"
PROG = "quelmar-feature-frame"


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


@pytest.mark.parametrize("to_stdout", [False, True], ids=["file", "stdout"])
def test_csv_to_csv_equals_the_library_call(csv_inputs, capsys, to_stdout):
    out = csv_inputs / "features.csv"
    rc = main([str(csv_inputs / "trx.csv"), str(csv_inputs / "tgt.csv"), "-o", "-" if to_stdout else str(out),
               "--horizons", "7,30", "--operators", "sum,frequency,ratio"])
    assert rc == 0
    text = capsys.readouterr().out if to_stdout else out.read_text()
    assert len(text.splitlines()) == 5  # the header and one line a target, nothing else
    got = pd.read_csv(io.StringIO(text))
    trx, tgt = tables()
    want = build_feature_frame(trx, tgt, horizons=[7, 30], operators=["sum", "frequency", "ratio"])
    assert list(got.columns) == list(want.columns)
    assert got["entity"].tolist() == ["a", "b", "zz", "a"]
    np.testing.assert_allclose(got.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy(), rtol=1e-6)
    assert got.loc[0, "1__sum__7"] == 7  # a: 2 + 5 within the week before 1 April
    assert got.loc[1, "2__sum__7"] == 3
    # zz has no transactions: its missing features are empty fields
    assert text.splitlines()[3].split(",")[2:] == [""] * (len(want.columns) - 2)


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


def test_demo_prints_a_legend_fitted_to_the_terminal(capsys, monkeypatch):
    monkeypatch.setenv("COLUMNS", "64")
    assert main(["--demo", "--horizons", "7,30", "--operators", "sum,count_distinct"]) == 0
    out = capsys.readouterr().out
    assert "Columns are dimension__operator__horizon" in out and "NaN: no transaction" in out
    assert "0__sum__7" in out and "customer-0" in out
    assert max(len(line) for line in out.splitlines()) <= 64


def test_demo_is_reproducible_and_written_to_a_file(tmp_path):
    paths = [tmp_path / "a.csv", tmp_path / "b.csv"]
    for path in paths:
        assert main(["--demo", "--seed", "3", "-o", str(path)]) == 0
    assert paths[0].read_text() == paths[1].read_text()
    frame = pd.read_csv(paths[0])
    assert len(frame) == 10 and frame.iloc[:, 2:].notna().any().any()


def assert_one_line_error(capsys, message):
    err = capsys.readouterr().err
    assert err.startswith(f"{PROG}: error: {message}"), err
    assert err.count("\n") == 1  # one line, no traceback


@pytest.mark.parametrize(
    "args, message",
    [
        (["trx.txt2", "tgt.csv", "-o", "out.csv"], "trx.txt2: no such file"),
        (["trx.csv", "tgt.csv"], "TRANSACTIONS, TARGETS and -o OUT are required"),
        (["trx.csv", "tgt.csv", "-o", "o.csv", "--quantity-col", "amount"],
         "trx.csv: missing column 'amount' (columns are 'entity', 'timestamp', 'quantity', 'dimension')"),
        (["trx.csv", "bad_date.csv", "-o", "o.csv"],
         "bad_date.csv: column 'target_date' holds 'not a date' at line 3, which is neither an ISO-8601 date"),
        (["bad_quantity.csv", "tgt.csv", "-o", "o.csv"], "bad_quantity.csv: column 'quantity' holds 'x' at line 3, "
                                                         "not a number"),
        (["header_only.csv", "tgt.csv", "-o", "o.csv"], "header_only.csv: the table is empty (no data rows)"),
        (["empty.csv", "tgt.csv", "-o", "o.csv"], "empty.csv: the file is empty (not even a header line)"),
        (["sub", "tgt.csv", "-o", "o.csv"], "sub: a directory without .csv, .parquet or .arrow parts"),
        (["parts", "tgt.csv", "-o", "o.csv"], "parts: column 'quantity' is int64 in part-1.parquet but double in "
                                              "part-0.parquet; write every part with one schema"),
        (["trx.csv", "tgt.csv", "-o", "o.csv", "--memory-limit", "1K"], "memory limit 1.0 KiB is below what one bucket"),
        (["bad_quantity.csv", "tgt.csv", "-o", "o.csv", "--buckets", "2"],
         "bad_quantity.csv: column 'quantity' holds 'x' at line 3, not a number"),
    ],
)
def test_errors_are_reported_with_exit_status_2(csv_inputs, monkeypatch, capsys, args, message):
    monkeypatch.chdir(csv_inputs)
    (csv_inputs / "sub").mkdir()
    (csv_inputs / "bad_date.csv").write_text("entity,target_date\na,2024-04-01\nb,not a date\n")
    (csv_inputs / "bad_quantity.csv").write_text("entity,timestamp,quantity,dimension\na,2024-03-01,1,1\n"
                                                 "a,2024-03-02,x,1\n")
    (csv_inputs / "header_only.csv").write_text("entity,timestamp,amount,quantity,dimension\n")
    (csv_inputs / "empty.csv").write_text("")
    trx, _ = tables()
    (csv_inputs / "parts").mkdir()
    trx.to_parquet(csv_inputs / "parts" / "part-0.parquet")
    trx.astype({"quantity": np.int64}).to_parquet(csv_inputs / "parts" / "part-1.parquet")
    assert main(args) == 2
    assert_one_line_error(capsys, message)


@pytest.mark.parametrize(
    "args, message",
    [
        (["--operators", "summ"], "operators: unknown operator 'summ'"),
        (["-o", "out.xlsx"], "out.xlsx: unknown output format"),
        (["--horizons", "0"], "horizons: every horizon must be a positive"),
        (["--memory-limit", "4X"], "memory limit: expected a size such as 4G"),
        (["--offset", "-1"], "offset: expected an integer in 0..2147483647, got -1"),
        (["-o", "/nonexistent/x.parquet"], "/nonexistent/x.parquet: directory /nonexistent does not exist"),
        (["-o", "out_dir"], "out_dir: is a directory; give a file name"),
        (["--group", "1"], "offset: feature-group mode (group / for_afe_columns) includes the end of the window"),
        (["--dimension-values", "1,x"], "dimension_values: expected codes '1,2,3' or code=value pairs"),
        (["--n-jobs", "0"], "n_jobs: expected None or an integer >= 1, got 0"),
        (["--row-number", "entity"], "row number column: 'entity' is already the name of a target column"),
        (["--buckets", "0"], "--buckets: expected a positive integer, got 0"),
        (["--horizons", "7,30", "--per-dimension", "mode", "--operators", "sum"],
         "per_dimension_operators: mode is not among the requested operators"),
    ],
)
def test_parameters_and_output_are_checked_before_reading(csv_inputs, monkeypatch, capsys, args, message):
    def no_reading(*a, **k):  # pragma: no cover - reached only on a fault
        raise AssertionError("inputs read before the parameters were checked")

    monkeypatch.chdir(csv_inputs)
    (csv_inputs / "out_dir").mkdir()
    monkeypatch.setattr(app, "Source", no_reading)
    argv = ["trx.csv", "tgt.csv"] + (["-o", "f.csv"] if "-o" not in args else []) + args
    assert main(argv) == 2
    assert_one_line_error(capsys, message)


def test_iso_8601_dates_of_every_form(tmp_path):
    # date-only among full timestamps, fractional seconds, +02:00 offsets, both DST offsets of Berlin
    (tmp_path / "trx.csv").write_text(
        "entity,timestamp,quantity,dimension\n"
        "a,2024-03-25,5,1\n"
        "a,2024-03-30 12:00:00.250,2,1\n"
        "b,2024-03-31T08:00:00+02:00,3,2\n"
        "b,2024-10-20T12:00:00+02:00,4,2\n"
        "b,2024-10-30T12:00:00+01:00,6,2\n"
    )
    (tmp_path / "tgt.csv").write_text("entity,target_date\na,2024-04-01\nb,2024-04-01T00:00Z\nb,2024-11-01\n")
    out = tmp_path / "f.parquet"
    assert main([str(tmp_path / "trx.csv"), str(tmp_path / "tgt.csv"), "-o", str(out), "--horizons", "7,30",
                 "--operators", "sum,time_since_last"]) == 0
    got = pd.read_parquet(out)
    utc = pd.to_datetime(["2024-03-25 00:00", "2024-03-30 12:00:00.250", "2024-03-31 06:00", "2024-10-20 10:00",
                          "2024-10-30 11:00"], format="ISO8601").tz_localize("UTC")
    trx = pd.DataFrame({"entity": list("aabbb"), "timestamp": utc, "quantity": [5.0, 2, 3, 4, 6],
                        "dimension": np.array([1, 1, 2, 2, 2], dtype=np.int8)})
    tgt = pd.DataFrame({"entity": ["a", "b", "b"],
                        "target_date": pd.to_datetime(["2024-04-01", "2024-04-01", "2024-11-01"]).tz_localize("UTC")})
    want = build_feature_frame(trx, tgt, horizons=[7, 30], operators=["sum", "time_since_last"])
    np.testing.assert_array_equal(got.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy())
    # ages in days: 36 hours less 250 ms; 30 Oct 11:00 UTC to 1 Nov 00:00 UTC is 37 hours
    assert got.loc[0, "1__time_since_last__30"] == np.float32(129_599_750 / 86_400_000)
    assert got.loc[2, "2__time_since_last__30"] == np.float32(133_200_000 / 86_400_000)
    assert got.loc[1, "2__sum__7"] == 3 and got.loc[2, "2__sum__30"] == 10


def test_flags_for_column_names_dimension_values_time_unit_and_jobs(tmp_path, capsys):
    trx, tgt = tables()
    trx["timestamp"] = trx["timestamp"].astype("datetime64[s]").astype(np.int64)  # epoch seconds
    trx.to_csv(tmp_path / "trx.csv", index=False)
    tgt.rename(columns={"entity": "customer"}).to_csv(tmp_path / "tgt.csv", index=False)
    out = tmp_path / "f.csv"
    assert main([str(tmp_path / "trx.csv"), str(tmp_path / "tgt.csv"), "-o", str(out), "--horizons", "30",
                 "--operators", "sum", "--target-entity-col", "customer", "--time-unit", "s",
                 "--dimension-values", "1,3", "--n-jobs", "1"]) == 0
    got = pd.read_csv(out)
    # code 2 is not listed: it gets no columns; value 3 has no transactions yet gets its column
    assert list(got.columns) == ["customer", "target_date", "1__sum__30", "3__sum__30"]
    assert got.loc[0, "1__sum__30"] == 7 and got.loc[3, "1__sum__30"] == 5 and got["3__sum__30"].isna().all()
    summary = capsys.readouterr().err
    assert summary == (f"{PROG}: 4 rows x 2 feature columns written to {out}; 1 targets without transactions; "
                       "0 transactions with a missing quantity dropped\n")


def test_summary_counts_dropped_missing_quantities(csv_inputs, capsys):
    trx = pd.read_csv(csv_inputs / "trx.csv")
    trx.loc[1, "quantity"] = np.nan
    trx.to_csv(csv_inputs / "trx.csv", index=False)
    assert main([str(csv_inputs / "trx.csv"), str(csv_inputs / "tgt.csv"), "-o", "-", "--horizons", "7",
                 "--operators", "sum"]) == 0
    assert "1 transactions with a missing quantity dropped" in capsys.readouterr().err
    assert main([str(csv_inputs / "trx.csv"), str(csv_inputs / "tgt.csv"), "-o", "-", "--horizons", "7",
                 "--missing-quantities", "raise"]) == 2
    assert "trx.csv: column 'quantity' has 1 missing quantities (first at line 3)" in capsys.readouterr().err


def test_help_shows_every_default_and_version(capsys):
    with pytest.raises(SystemExit) as exit_help:
        main(["--help"])
    text = " ".join(capsys.readouterr().out.split())
    # every parameter the command line takes, with its default as FeatureParams has it
    for field in command_line_fields():
        assert "--" + field.name.replace("_", "-") in text
        if default_text(field) is not None:
            assert f"(default: {default_text(field)})" in text
    for shown in ["(default: 7, 30, 90)", "(default: day)", "(default: entity)", "--time-unit", "--per-dimension "]:
        assert shown in text
    with pytest.raises(SystemExit) as exit_version:
        main(["--version"])
    assert exit_help.value.code == exit_version.value.code == 0
    assert capsys.readouterr().out.startswith(PROG + " ")


@pytest.mark.parametrize("buckets", [[], ["--buckets", "2"]])
@pytest.mark.parametrize("fault, status, message", [
    (OSError(errno.ENOSPC, "No space left on device"), 2, "the disk of {dir} is full; no output was written"),
    (KeyboardInterrupt(), 130, "interrupted; no output written"),
    ("SIGTERM", 143, "terminated; no output written"),
    ("SIGTERM swallowed", 143, "terminated; no output written"),
])
@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".arrow"])
def test_failed_writes_leave_no_file_behind(csv_inputs, monkeypatch, capsys, fault, status, message, suffix, buckets):
    pytest.importorskip("pyarrow")
    out = csv_inputs / ("f" + suffix)
    out.write_text("the previous result")
    write = TableWriter.write

    killed = []

    def failing(self, table):
        write(self, table)  # a part of the output is on disk
        if not isinstance(fault, str):
            raise fault
        if not killed:  # once, as `kill` does, from whichever thread writes
            try:
                killed.append(os.kill(os.getpid(), signal.SIGTERM))
                time.sleep(0.01)  # the handler runs here, on the main thread
            except KeyboardInterrupt:
                if fault != "SIGTERM swallowed":
                    raise  # else lost, as code that does not pass it on loses it; the run goes on

    monkeypatch.setattr(TableWriter, "write", failing)
    before = signal.getsignal(signal.SIGTERM)
    assert main([str(csv_inputs / "trx.csv"), str(csv_inputs / "tgt.csv"), "-o", str(out), "--horizons", "7"]
                + buckets) == status
    assert signal.getsignal(signal.SIGTERM) == before
    assert out.read_text() == "the previous result"
    # neither the temporary output nor the buckets are left behind
    assert sorted(p.name for p in csv_inputs.iterdir()) == ["f" + suffix, "tgt.csv", "trx.csv"]
    assert message.format(dir=csv_inputs) in capsys.readouterr().err


@pytest.mark.parametrize("maker", ["mkdtemp", "mkstemp"])
def test_a_termination_while_a_temporary_is_made_leaves_nothing(csv_inputs, monkeypatch, capsys, maker):
    # the buckets' directory, then the output's temporary file: the stop is
    # raised once the name is known, so the one made is removed
    make = getattr(tempfile, maker)

    def made_then_terminated(*args, **kwargs):
        monkeypatch.setattr(tempfile, maker, make)
        made = make(*args, **kwargs)
        os.kill(os.getpid(), signal.SIGTERM)
        time.sleep(0.01)
        return made

    monkeypatch.setattr(tempfile, maker, made_then_terminated)
    assert main([str(csv_inputs / "trx.csv"), str(csv_inputs / "tgt.csv"), "-o", str(csv_inputs / "f.csv"),
                 "--horizons", "7", "--buckets", "2"]) == 143
    assert sorted(p.name for p in csv_inputs.iterdir()) == ["tgt.csv", "trx.csv"]
    assert "terminated; no output written" in capsys.readouterr().err


@pytest.mark.slow
def test_a_run_in_buckets_terminated_at_any_moment_leaves_nothing(tmp_path):
    # the first imports of the run happen before its work: a termination
    # never lands inside a library's lazy import, where it could be lost
    rng = np.random.default_rng(4)
    n = 600_000
    pd.DataFrame({"entity": rng.integers(0, 50_000, n), "timestamp": rng.integers(0, 400, n) * 86_400_000,
                  "quantity": rng.random(n), "dimension": rng.integers(0, 8, n).astype(np.int8)}
                 ).to_parquet(tmp_path / "trx.parquet")
    pd.DataFrame({"entity": np.arange(50_000), "target_date": 300 * 86_400_000}).to_parquet(tmp_path / "tgt.parquet")
    command = [sys.executable, "-m", MODULE, str(tmp_path / "trx.parquet"), str(tmp_path / "tgt.parquet"),
               "-o", str(tmp_path / "out.parquet"), "--buckets", "4"]
    for delay in (0.05, 0.2, 0.4, 0.7, 1.0, 1.5):
        run = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
        time.sleep(delay)
        run.send_signal(signal.SIGTERM)
        err = run.communicate(timeout=300)[1]
        if run.returncode == 0:  # finished before the signal
            (tmp_path / "out.parquet").unlink()
            continue
        if run.returncode != -signal.SIGTERM:  # else killed while the interpreter started
            assert (run.returncode, err.strip().splitlines()[-1]) == (143, f"{PROG}: terminated; no output written")
        assert sorted(p.name for p in tmp_path.iterdir()) == ["tgt.parquet", "trx.parquet"]


@pytest.mark.parametrize("args, status", [(["--demo", "--demo-entities", "3", "-o", "{dir}/f.csv"], 0),
                                          (["{dir}/none.csv", "{dir}/none.csv", "-o", "{dir}/f.csv"], 2)])
def test_a_termination_while_the_interpreter_ends_keeps_the_runs_status(tmp_path, args, status):
    # the run is over (its output in place, or its error said): a signal
    # while the interpreter would tear down changes nothing
    code = ("import atexit, os, signal, sys, time\n"
            "atexit.register(lambda: (os.kill(os.getpid(), signal.SIGTERM), time.sleep(60)))\n"
            f"sys.argv = [{PROG!r}, *{[a.format(dir=tmp_path) for a in args]!r}]\n"
            f"from {MODULE}.cli import program\nprogram()\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=50)
    assert run.returncode == status, run.stderr
    assert (tmp_path / "f.csv").exists() == (status == 0)


def test_output_is_written_with_ordinary_permissions(csv_inputs):
    out = csv_inputs / "f.csv"
    assert main([str(csv_inputs / "trx.csv"), str(csv_inputs / "tgt.csv"), "-o", str(out), "--horizons", "7"]) == 0
    mask = os.umask(0)
    os.umask(mask)
    assert out.stat().st_mode & 0o777 == 0o666 & ~mask


def test_runs_as_a_module_and_ends_quietly_when_stdout_is_closed_early():
    process = subprocess.Popen(
        [sys.executable, "-m", MODULE, "--demo", "--demo-entities", "3000", "-o", "-"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    head = [process.stdout.readline() for _ in range(2)]
    process.stdout.close()  # like `| head -n 2`
    err = process.stderr.read().decode()
    process.stderr.close()
    assert process.wait() == 0, err
    assert head[0].startswith(b"entity,target_date,") and b",0__sum__30," in head[0]
    assert head[1].startswith(b"customer-0,")
    assert "Broken pipe" not in err and "Traceback" not in err


def test_progress_bars_move_while_reading_computing_and_writing(csv_inputs, capsys):
    pytest.importorskip("tqdm")
    out = csv_inputs / "f.csv"
    assert main([str(csv_inputs / "trx.csv"), str(csv_inputs / "tgt.csv"), "-o", str(out), "--progress"]) == 0
    err = capsys.readouterr().err
    for stage in ["reading trx.csv", "reading tgt.csv", "preparing", "computing and writing f.csv"]:
        assert stage in err


def test_a_bar_without_updates_is_still_redrawn():
    pytest.importorskip("tqdm")
    stream = io.StringIO()
    with stage(True, "sorting", total=1, file=stream):
        time.sleep(1.1)
    assert stream.getvalue().count("sorting") >= 3  # the first draw and at least two redraws


def test_console_script_entry_point():
    from importlib.metadata import entry_points

    scripts = entry_points()
    scripts = scripts.select(group="console_scripts") if hasattr(scripts, "select") else scripts["console_scripts"]
    assert any(e.name == PROG and e.value == MODULE + ".cli:program" for e in scripts)


# --------------------------------------------------------------------------
# files of every format, in memory and in buckets


def history(n_entities=300, n_trx=6000, n_targets=3000, seed=5):
    """Integer millisecond timestamps, ties, a few missing quantities, quantities that float32 cannot
    hold exactly (or at all), entities without transactions."""
    rng = np.random.default_rng(seed)
    t0 = 1_700_000_000_000
    entity = rng.integers(0, n_entities - 20, n_trx) * 7919
    timestamp = t0 - rng.integers(0, 24 * 200, n_trx) * 3_600_000
    quantity = np.where(rng.random(n_trx) < 0.01, np.nan, np.round(rng.gamma(2.0, 10.0, n_trx), 2))
    extreme = [1e300, -1e300, 3.4028235677973366e38, 1e-46, 16777217.0, 0.1, 2.0**-149 * 0.75, 1e38, 5e-324, -1e-300]
    quantity[np.flatnonzero(~np.isnan(quantity))[::500][:len(extreme)]] = extreme
    trx = pd.DataFrame({"entity": entity, "timestamp": timestamp, "quantity": quantity,
                        "dimension": rng.integers(0, 4, n_trx).astype(np.int8)})
    tgt = pd.DataFrame({"entity": rng.integers(0, n_entities, n_targets) * 7919,
                        "target_date": t0 - rng.integers(0, 90, n_targets) * 86_400_000})
    return trx, tgt


def save(frame, path, parts=1):
    """``frame`` as a CSV, Parquet or Arrow file, or as a directory of ``parts`` such files."""
    pa = pytest.importorskip("pyarrow")
    if parts > 1:
        path.mkdir()
        for i, rows in enumerate(np.array_split(np.arange(len(frame)), parts)):
            save(frame.iloc[rows], path / f"part-{i}{path.suffix}")
        return
    if path.suffix == ".csv":
        frame.to_csv(path, index=False)
    elif path.suffix == ".parquet":
        frame.to_parquet(path, index=False)
    else:
        import pyarrow.feather as feather

        feather.write_feather(pa.Table.from_pandas(frame, preserve_index=False), str(path))


def load(path):
    if path.suffix == ".csv":
        return pd.read_csv(path, dtype={"row": np.int64})
    if path.suffix == ".parquet":
        return pd.read_parquet(path)
    import pyarrow.feather as feather

    return feather.read_table(str(path)).to_pandas()


@pytest.fixture
def bucket_counts(monkeypatch):
    """The bucket count of every run in buckets; the process's own memory
    is taken as 0, so that a small limit asks for buckets."""
    from quelmar.afe.domain.modelling.feature_frame.files import spill as _spill, tofile as _tofile

    monkeypatch.setattr(_tofile, "resident_bytes", lambda: 0)
    spill, counts = _spill.spill, []
    monkeypatch.setattr(_spill, "spill", lambda *a: counts.append(a[3]) or spill(*a))
    return counts


@pytest.mark.parametrize(
    "inputs, output, running",
    [
        ((".csv", 1), ".csv", []),
        ((".parquet", 1), ".parquet", ["--buckets", "3"]),
        ((".parquet", 3), ".arrow", []),
        ((".arrow", 2), ".feather", ["--buckets", "4"]),
        ((".csv", 2), ".parquet", ["--memory-limit", "1500K"]),
        ((".arrow", 1), ".csv", ["--buckets", "2"]),
    ],
)
def test_every_format_in_memory_and_in_buckets_gives_the_library_call_bits(tmp_path, monkeypatch, capsys, inputs,
                                                                          output, running, bucket_counts):
    from quelmar.afe.domain.modelling.feature_frame.files import stream as _stream

    monkeypatch.setattr(_stream, "CHUNK_BYTES", 4 * 40 * 1024)  # chunks of 1,024 targets
    trx, tgt = history()
    suffix, parts = inputs
    save(trx, tmp_path / f"trx{suffix}", parts)
    save(tgt, tmp_path / f"tgt{suffix}", parts)
    out = tmp_path / f"features{output}"
    flags = ["--horizons", "7,30", "--operators", "sum,max,mode,time_since_last,ratio", "--row-number", "row"]
    assert main([str(tmp_path / f"trx{suffix}"), str(tmp_path / f"tgt{suffix}"), "-o", str(out)]
                + flags + running) == 0
    got = load(out).sort_values("row")
    with pytest.warns(UserWarning, match="56 missing quantities"):
        want = build_feature_frame(trx, tgt, horizons=[7, 30], operators=["sum", "max", "mode", "time_since_last",
                                                                           "ratio"])
    assert list(got.columns) == ["row"] + list(want.columns)
    np.testing.assert_array_equal(got["row"], np.arange(len(tgt)))
    want_cells = want.iloc[:, 2:].to_numpy()
    if output == ".csv":  # a NaN is "nan" in text, whatever its sign (inf over inf gives -nan)
        want_cells = np.where(np.isnan(want_cells), np.float32("nan"), want_cells)
    assert_bits_equal(got.iloc[:, 3:].to_numpy(np.float32), want_cells)
    np.testing.assert_array_equal(got["entity"].astype(str), want["entity"].astype(str))  # CSV ids are text
    assert "56 transactions with a missing quantity dropped" in capsys.readouterr().err
    assert bucket_counts == [int(running[1])] if "--buckets" in running else len(bucket_counts) == len(running) // 2
    assert not bucket_counts or bucket_counts[0] > 1
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([f"trx{suffix}", f"tgt{suffix}", out.name])


def test_reading_ahead_keeps_order_raises_the_readers_fault_and_stops_when_left():
    import threading

    from quelmar.afe.domain.modelling.feature_frame.errors import UsageError
    from quelmar.afe.domain.modelling.feature_frame.files.readahead import read_ahead as _read_ahead

    closed = []

    def items(fail_at=None):
        try:
            for i in range(10**9):
                if i == fail_at:
                    raise UsageError("trx.csv: bad value at line 7")
                yield i
        finally:
            closed.append(threading.current_thread().name)

    ahead = _read_ahead(items())
    assert [next(ahead) for _ in range(50)] == list(range(50))
    ahead.close()  # the caller leaves early
    with pytest.raises(UsageError, match="line 7"):
        list(_read_ahead(items(fail_at=3)))
    assert closed == ["feature-frame-reader"] * 2
    assert not [t for t in threading.enumerate() if t.name == "feature-frame-reader"]


def test_a_parquet_file_is_read_holding_about_one_row_group(tmp_path):
    # a reader over all row groups keeps what it read until it ends: memory
    # would grow with the file (17 GB while splitting 1e9 rows into buckets)
    import pyarrow as pa
    import pyarrow.parquet as pq

    from quelmar.afe.domain.modelling.feature_frame.files import Source

    rng = np.random.default_rng(3)
    n, group = 2_000_000, 100_000  # 20 row groups of about 2.4 MB of needed columns
    table = pa.table({"entity": rng.integers(0, 2**62, n), "timestamp": rng.integers(0, 2**40, n),
                      "quantity": rng.random(n), "unused": np.zeros(n)})
    pq.write_table(table, tmp_path / "t.parquet", row_group_size=group, compression="none")
    source = Source(str(tmp_path / "t.parquet"), {"entity": "id", "timestamp": "int", "quantity": "float"})
    base, peak, rows = pa.total_allocated_bytes(), 0, 0
    for batch in source.batches():
        peak, rows = max(peak, pa.total_allocated_bytes() - base), rows + batch.num_rows
    assert rows == n
    assert peak < 4 * group * 24, peak


@pytest.mark.parametrize("encoders", [1, 3])
def test_parquet_encoded_on_threads_has_the_bytes_of_one_writer(tmp_path, monkeypatch, encoders):
    # the row groups are encoded apart and copied together: every offset in
    # the footer must move to where its bytes landed
    import pyarrow as pa
    import pyarrow.parquet as pq

    from quelmar.afe.domain.modelling.feature_frame.files import parquet_join as _parquet_join, writers as _writers

    monkeypatch.setattr(_writers, "PARQUET_ENCODERS", encoders)
    rng = np.random.default_rng(5)
    n = 40_000
    features = {f"f{j}": np.where(rng.random(n) < 0.3, np.nan, rng.gamma(1.0, 100.0, n)).astype(np.float32)
                for j in range(17)}  # more than 15 columns: a list's long header
    table = pa.table({"entity": rng.integers(0, 10**10, n).astype(str), "row": np.arange(n),
                      "target_date": pa.array(rng.integers(0, 10**9, n).astype("datetime64[s]")), **features})
    chunks = [table.slice(s, 2_000) for s in range(0, n, 2_000)] + [table.slice(0, 0), table.slice(7, 1)]
    reference = pq.ParquetWriter(tmp_path / "one.parquet", table.schema, compression="snappy",
                                 use_dictionary=["entity", "row", "target_date"])
    ours = TableWriter(str(tmp_path / "ours.parquet"), "parquet")
    for chunk in chunks:
        reference.write_table(chunk, row_group_size=max(chunk.num_rows, 1))
        ours.write(chunk)
    joined = isinstance(ours._writer, _parquet_join.JoinedParquetWriter)
    assert joined == (encoders > 1 and _parquet_join.relocatable(table, compression="snappy"))
    with pytest.raises(ValueError, match="(?i)schema does not match"):
        ours.write(table.slice(0, 5).drop(["row"]))
    reference.close()
    ours.close()
    assert (tmp_path / "ours.parquet").read_bytes() == (tmp_path / "one.parquet").read_bytes()
    assert pq.ParquetFile(tmp_path / "ours.parquet").metadata.num_row_groups == 22  # the empty table's too


def test_the_parquet_footer_codec_reads_and_writes_every_compact_type():
    from quelmar.afe.domain.modelling.feature_frame.files.parquet_join import ThriftReader as _Reader
    from quelmar.afe.domain.modelling.feature_frame.files.parquet_join import ThriftWriter as _Writer

    # field 1 i32 -3, 2 true, 3 false, 40 i64 300 (a jump of 37: the long
    # field header), 41 double 1.5, 42 list<bool> [true, false],
    # 43 map<binary, i32> {"k": 1}, 44 struct {1: binary "ab"}
    data = bytes([0x15, 0x05, 0x11, 0x12, 0x06, 0x50, 0xD8, 0x04, 0x17, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F,
                  0x19, 0x21, 0x01, 0x02, 0x1B, 0x01, 0x85, 0x01, 0x6B, 0x02, 0x1C, 0x18, 0x02, 0x61, 0x62, 0x00,
                  0x00])
    tree = _Reader(data).struct()
    assert [(k, v[0]) for k, v in tree.fields.items()] == [(1, 5), (2, 1), (3, 2), (40, 6), (41, 7), (42, 9),
                                                            (43, 11), (44, 12)]
    assert tree.fields[1][1] == -3 and tree.fields[40][1] == 300
    assert tree.fields[41][1] == np.float64(1.5).tobytes()
    assert tree.fields[42][1] == (1, [1, 2]) and tree.fields[43][1] == (8, 5, [(b"k", 1)])
    assert tree.fields[44][1].fields == {1: [8, b"ab"]}
    writer = _Writer()
    writer.struct(tree)
    assert bytes(writer.out) == data


@pytest.mark.parametrize("skewed", [False, True])
def test_the_api_writes_in_buckets_and_refuses_a_bucket_beyond_the_limit(tmp_path, monkeypatch, skewed,
                                                                         bucket_counts):
    from quelmar.afe.domain.modelling.feature_frame import write_feature_frame
    from quelmar.afe.domain.modelling.feature_frame.files import stream as _stream

    monkeypatch.setattr(_stream, "CHUNK_BYTES", 4 * 1024)
    trx, tgt = history()
    if skewed:  # one entity holds most transactions: its bucket cannot fit
        trx.loc[trx.index[:5000], "entity"] = 7919
    trx.dropna().to_parquet(tmp_path / "trx.parquet")
    tgt.to_parquet(tmp_path / "tgt.parquet")
    out = tmp_path / "f.arrow"
    call = lambda: write_feature_frame(tmp_path / "trx.parquet", str(tmp_path / "tgt.parquet"), out,  # noqa: E731
                                       memory_limit="400K", row_number_col="row", horizons=[30], operators="sum")
    if skewed:
        with pytest.raises(ValueError, match=r"bucket \d+ of \d+ holds \d+ transactions .* raise --memory-limit"):
            call()
        assert sorted(p.name for p in tmp_path.iterdir()) == ["tgt.parquet", "trx.parquet"]
        return
    report = call()
    got = load(out).sort_values("row")
    want = build_feature_frame(trx.dropna(), tgt, horizons=[30], operators="sum")
    assert_bits_equal(got.iloc[:, 3:].to_numpy(np.float32), want.iloc[:, 2:].to_numpy())
    assert (report.rows, report.feature_columns, report.dropped_missing_quantities) == (3000, 4, 0)
    assert report.targets_without_transactions == int((~tgt["entity"].isin(trx.dropna()["entity"])).sum())
    assert len(bucket_counts) == 1 and bucket_counts[0] > 1
