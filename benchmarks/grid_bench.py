"""Snapshot grids: every entity at every midnight (or week) of the last year of
a two-year history, features over the last 7/30/90/365 days: ``build_feature_frame``
with a ``TargetGrid`` against polars and DuckDB written as skilled users write them.

    python benchmarks/grid_bench.py                        # the grids of the issue, side by side
    python benchmarks/grid_bench.py --quick                # small sizes, a smoke run
    python benchmarks/grid_bench.py --json benchmarks/results/grid.json

Features: sum, frequency and max per dimension value (4 values) at
7/30/90/365 days: 48 float32 columns; NaN for a window without a
transaction. Data: per entity a Poisson number of transactions spread
uniformly over two years (datetime64[ms]), float64 amounts (gamma, in
cents), dimension codes 0..3.

Tools, each on both cores (its default), each run in a child process that
builds its own tables first:

* ours: ``build_feature_frame(trx, TargetGrid(start, end, every))``;
* polars: a roll-up per (entity, value, day), a dense calendar of every
  day, ``rolling_sum`` / ``rolling_max`` over h days per (entity, value),
  shifted one day (the window ends before the target day), the target days
  kept and the values pivoted to columns;
* DuckDB, windows: the same roll-up, then ``SUM``/``MAX`` over a ``RANGE``
  frame of h days preceding each calendar day, in SQL;
* DuckDB, join (``--duckdb-join``; 86 s on the largest grid in the issue):
  targets joined to transactions on entity and the largest window,
  conditional aggregates per (target, value), pivoted.

Checked cell by cell against ours before any time is reported: NaN in the
same cells; frequency and max exactly; sums within a relative 1e-5 for
DuckDB (float64 sums) and 1e-3 for polars (its rolling sums add and
subtract float64 partial sums, which drift; the largest drift seen is
reported). Reported: wall and CPU time (median of the rounds), peak resident
memory above the inputs, ours' compute phase beside a lower bound (every
prepared row read once, every output cell written once, NumPy on one core),
and how our time grows with the history per entity (targets fixed: denser
rows over the two years, or the same density over eight years, whose older
six no window reaches) and with the targets per entity (history fixed).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from run import status_kb  # noqa: E402
from whole_job import machine, phase_timer, versions  # noqa: E402

DAY = 86_400_000
HORIZONS = (7, 30, 90, 365)
DIMS = (0, 1, 2, 3)
OPERATORS = ("sum", "frequency", "max")
START = np.datetime64("2023-01-01", "ms")  # the history's first day
GRID_FROM = START + np.timedelta64(365 * DAY, "ms")
GRID_TO = START + np.timedelta64(729 * DAY, "ms")


def column_names():
    return [f"{d}__{op}__{h}" for d in DIMS for h in HORIZONS for op in OPERATORS]


def generate(n_entities: int, rows_per_entity: int, seed: int = 20261207, days: int = 730) -> dict:
    """``days``: the history's length, ending where the two-year one ends."""
    rng = np.random.default_rng(seed)
    counts = rng.poisson(rows_per_entity, n_entities)
    n = int(counts.sum())
    first = START + np.timedelta64((730 - days) * DAY, "ms")
    return {
        "entity": np.repeat(np.arange(n_entities, dtype=np.int64) * 1009 + 10**9, counts)[rng.permutation(n)],
        "timestamp": first + rng.integers(0, days * DAY, n).astype("timedelta64[ms]"),
        "quantity": np.round(rng.gamma(2.0, 40.0, n), 2),
        "dimension": rng.integers(0, 4, n).astype(np.int64),
    }


# ---------------------------------------------------------------------------
# the tools


def ours(data, every):
    import pandas as pd
    from quelmar.afe.domain.modelling.feature_frame import TargetGrid, build_feature_frame

    trx = pd.DataFrame(data)

    def job():
        return build_feature_frame(trx, TargetGrid(GRID_FROM, GRID_TO, every=every), horizons=list(HORIZONS),
                                   operators=list(OPERATORS), dimension_values=list(DIMS))

    return job


def step_days(every: str) -> int:
    return {"1d": 1, "7d": 7}[every]


def polars_job(data, every):
    import polars as pl

    trx = pl.DataFrame(data)
    step = step_days(every)

    def job():
        day = (pl.col("timestamp").dt.epoch("ms") // DAY).alias("day")
        daily = (trx.lazy().filter(pl.col("quantity") > 0)
                 .group_by("entity", "dimension", day)
                 .agg(pl.col("quantity").sum().alias("s"), pl.len().alias("n"), pl.col("quantity").max().alias("m")))
        first_day = int(START.astype(np.int64)) // DAY
        days = pl.DataFrame({"day": np.arange(first_day, first_day + 730, dtype=np.int64)}).lazy()
        keys = trx.lazy().select("entity").unique().join(pl.DataFrame({"dimension": list(DIMS)}).lazy(), how="cross")
        calendar = (keys.join(days, how="cross").join(daily, on=["entity", "dimension", "day"], how="left")
                    .with_columns(pl.col("s").fill_null(0.0), pl.col("n").fill_null(0).cast(pl.Float64),
                                  pl.col("m").fill_null(-np.inf))
                    .sort("entity", "dimension", "day"))
        rolled = []
        for h in HORIZONS:
            by = ["entity", "dimension"]
            rolled += [pl.col("s").rolling_sum(h, min_samples=1).shift(1).over(by).alias(f"s{h}"),
                       pl.col("n").rolling_sum(h, min_samples=1).shift(1).over(by).alias(f"n{h}"),
                       pl.col("m").rolling_max(h, min_samples=1).shift(1).over(by).alias(f"m{h}")]
        grid_first = first_day + 365
        out = (calendar.with_columns(rolled)
               .filter((pl.col("day") >= grid_first) & ((pl.col("day") - grid_first) % step == 0))
               .with_columns([pl.when(pl.col(f"n{h}") > 0).then(pl.col(f"{x}{h}")).otherwise(None).alias(f"{x}{h}")
                              for h in HORIZONS for x in "snm"])
               .collect())
        values = [f"{x}{h}" for h in HORIZONS for x in "snm"]
        wide = out.pivot(on="dimension", index=["entity", "day"], values=values)
        rename = {f"{x}{h}_{d}": f"{d}__{op}__{h}" for d in DIMS for h in HORIZONS
                  for x, op in zip("snm", OPERATORS)}
        return wide.rename(rename).sort("entity", "day")

    return job


def duckdb_connection(data):
    """A DuckDB table of the transactions (timestamps as TIMESTAMP: epoch_ms of
    TIMESTAMP_MS fails in DuckDB 1.x)."""
    import duckdb
    import pandas as pd

    con = duckdb.connect()
    con.register("trx_df", pd.DataFrame(data))
    con.execute("CREATE TABLE trx AS SELECT entity, timestamp::TIMESTAMP AS timestamp, quantity, dimension FROM trx_df")
    return con


def duckdb_windows(data, every):
    con = duckdb_connection(data)
    step = step_days(every)
    first_day = int(START.astype(np.int64)) // DAY

    def job():
        frames = []
        for h in HORIZONS:
            frames.append(f"""
                SUM(s) OVER w{h} AS s{h}, SUM(n) OVER w{h} AS n{h}, MAX(m) OVER w{h} AS m{h}""")
        windows = ", ".join(f"w{h} AS (PARTITION BY entity, dimension ORDER BY day "
                            f"RANGE BETWEEN {h} PRECEDING AND 1 PRECEDING)" for h in HORIZONS)
        pivot = ", ".join(
            f"MAX(CASE WHEN dimension = {d} AND n{h} > 0 THEN {x}{h} END) AS \"{d}__{op}__{h}\""
            for d in DIMS for h in HORIZONS for x, op in zip("snm", OPERATORS))
        sql = f"""
            WITH daily AS (
                SELECT entity, dimension, epoch_ms(timestamp) // {DAY} AS day,
                       SUM(quantity) AS s, COUNT(*) AS n, MAX(quantity) AS m
                FROM trx WHERE quantity > 0 GROUP BY ALL),
            keys AS (SELECT DISTINCT entity FROM trx),
            calendar AS (
                SELECT k.entity, d.dimension, g.day, daily.s, daily.n, daily.m
                FROM keys k CROSS JOIN (SELECT unnest([{', '.join(map(str, DIMS))}]) AS dimension) d
                CROSS JOIN (SELECT range AS day FROM range({first_day}, {first_day + 730})) g
                LEFT JOIN daily USING (entity, dimension, day)),
            rolled AS (SELECT entity, dimension, day, {', '.join(frames)} FROM calendar WINDOW {windows})
            SELECT entity, day, {pivot} FROM rolled
            WHERE day >= {first_day + 365} AND (day - {first_day + 365}) % {step} = 0
            GROUP BY entity, day ORDER BY entity, day"""
        return con.sql(sql).to_arrow_table()

    return job


def duckdb_join(data, every):
    con = duckdb_connection(data)
    step = step_days(every)

    def job():
        per_cell = [f"SUM(x.quantity) FILTER (WHERE x.timestamp >= t.target_date - INTERVAL {h} DAY) AS s{h}, "
                    f"COUNT(*) FILTER (WHERE x.timestamp >= t.target_date - INTERVAL {h} DAY) AS n{h}, "
                    f"MAX(x.quantity) FILTER (WHERE x.timestamp >= t.target_date - INTERVAL {h} DAY) AS m{h}"
                    for h in HORIZONS]
        pivot = ", ".join(
            f"MAX(CASE WHEN c.dimension = {d} AND c.n{h} > 0 THEN c.{x}{h} END) AS \"{d}__{op}__{h}\""
            for d in DIMS for h in HORIZONS for x, op in zip("snm", OPERATORS))
        sql = f"""
            WITH tgt AS (
                SELECT e.entity, g.target_date FROM (SELECT DISTINCT entity FROM trx) e CROSS JOIN
                (SELECT unnest(generate_series(TIMESTAMP '{GRID_FROM.astype('datetime64[s]')}',
                                               TIMESTAMP '{GRID_TO.astype('datetime64[s]')}',
                                               INTERVAL {step} DAY)) AS target_date) g),
            cells AS (
                SELECT t.entity, t.target_date, x.dimension, {', '.join(per_cell)}
                FROM tgt t JOIN trx x ON x.entity = t.entity AND x.timestamp < t.target_date
                 AND x.timestamp >= t.target_date - INTERVAL {max(HORIZONS)} DAY AND x.quantity > 0
                GROUP BY ALL)
            SELECT t.entity, t.target_date, {pivot}
            FROM tgt t LEFT JOIN cells c USING (entity, target_date)
            GROUP BY ALL ORDER BY t.entity, t.target_date"""
        return con.sql(sql).to_arrow_table()

    return job


TOOLS = {"ours": ours, "polars": polars_job, "duckdb windows": duckdb_windows, "duckdb join": duckdb_join}


def as_matrix(tool, result) -> np.ndarray:
    names = column_names()
    if tool == "ours":
        return result[names].to_numpy(dtype=np.float32)
    if tool == "polars":
        return np.column_stack([result[n].to_numpy().astype(np.float32) if n in result.columns
                                else np.full(len(result), np.nan, np.float32) for n in names])
    return np.column_stack([result.column(n).to_numpy(zero_copy_only=False).astype(np.float32) for n in names])


def lower_bound(n_rows: int, n_cells: int) -> float:
    """Seconds to read 13 bytes of every prepared row and write every output cell once."""
    dates = np.zeros(n_rows, np.int64)
    quantities = np.zeros(n_rows, np.float32)
    codes = np.zeros(n_rows, np.int8)
    best = float("inf")
    for _ in range(3):
        wall = time.perf_counter()
        dates.sum(), quantities.sum(), codes.sum()
        out = np.empty(n_cells, np.float32)
        out.fill(1.0)
        best = min(best, time.perf_counter() - wall)
        del out
    return best


# ---------------------------------------------------------------------------
# measurement, in child processes


def child_main(args) -> None:
    data = generate(args.entities, args.rows, days=args.days)
    job = TOOLS[args.child](data, args.every)
    phases = phase_timer() if args.child == "ours" else {}
    gc.collect()
    before = status_kb("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    wall, cpu = time.perf_counter(), time.process_time()
    result = job()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    record = {"wall_s": wall, "cpu_s": cpu, "peak_above_inputs_kb": status_kb("VmHWM") - before,
              "rows": len(result) if args.child != "duckdb windows" and args.child != "duckdb join"
              else result.num_rows, "transactions": len(data["entity"])}
    record.update(phases)
    if args.child == "ours":
        record["lower_bound_s"] = lower_bound(len(data["entity"]), record["rows"] * len(column_names()))
    if args.save:
        np.save(args.save, as_matrix(args.child, result))
    print(json.dumps(record))


def run_child(tool, entities, rows, every, save=None, days=730):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", tool, "--entities", str(entities),
           "--rows", str(rows), "--every", every, "--days", str(days)]
    if save:
        cmd += ["--save", save]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{tool} failed:\n{proc.stderr[-3000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def compare(ours_m, other, tool) -> float:
    """Checks cell by cell; returns the largest relative difference of a sum."""
    if not np.array_equal(np.isnan(ours_m), np.isnan(other)):
        raise AssertionError(f"{tool}: NaN in different cells ({int((np.isnan(ours_m) != np.isnan(other)).sum())})")
    names = column_names()
    sums = np.array(["__sum__" in n for n in names])
    if not np.array_equal(ours_m[:, ~sums], other[:, ~sums], equal_nan=True):
        raise AssertionError(f"{tool}: frequency or max differ")
    a, b = ours_m[:, sums].astype(np.float64), other[:, sums].astype(np.float64)
    rel = np.nanmax(np.abs(a - b) / np.maximum(np.abs(a), 1e-30)) if np.isfinite(a).any() else 0.0
    tolerance = 1e-3 if tool == "polars" else 1e-5
    if rel > tolerance:
        raise AssertionError(f"{tool}: a sum differs by {rel:.2e} relative")
    return float(rel)


def side_by_side(tools, entities, rows, every, repeat) -> dict:
    import tempfile

    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        saved = {t: os.path.join(tmp, t.replace(" ", "_") + ".npy") for t in tools}
        first = {t: run_child(t, entities, rows, every, saved[t]) for t in tools}
        reference = np.load(saved["ours"])
        drift = {t: compare(reference, np.load(saved[t]), t) for t in tools if t != "ours"}
    records = {t: [first[t]] for t in tools}
    for _ in range(repeat - 1):
        for t in tools:
            records[t].append(run_child(t, entities, rows, every))
    for t in tools:
        rs = records[t]
        out[t] = {k: statistics.median(r[k] for r in rs) for k in rs[0] if isinstance(rs[0][k], (int, float))}
        if t in drift:
            out[t]["largest_sum_difference_rel"] = drift[t]
    base = out["ours"]["wall_s"]
    for t in tools:
        out[t]["wall_vs_ours"] = out[t]["wall_s"] / base
    return out


def main(argv=None) -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--child")
    p.add_argument("--save")
    p.add_argument("--entities", type=int, default=2000)
    p.add_argument("--rows", type=int, default=3000)
    p.add_argument("--every", default="1d")
    p.add_argument("--days", type=int, default=730, help="length of the history (ours only)")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--duckdb-join", action="store_true")
    p.add_argument("--json")
    args = p.parse_args(argv)
    if args.child:
        return child_main(args)
    scale = 10 if args.quick else 1
    tools = ["ours", "polars", "duckdb windows"] + (["duckdb join"] if args.duckdb_join else [])
    report = {"machine": machine(), "versions": versions(), "grids": {}, "growth": {}}
    for name, (entities, rows, every) in {
        "2000 entities x ~3000 rows, daily": (2000 // scale, 3000, "1d"),
        "500 entities x ~12000 rows, daily": (500 // scale, 12000, "1d"),
        "2000 entities x ~3000 rows, weekly": (2000 // scale, 3000, "7d"),
    }.items():
        report["grids"][name] = side_by_side(tools, entities, rows, every, args.repeat)
        print(name, json.dumps(report["grids"][name], indent=1), flush=True)
    # growth of ours: history x2 and x4 at fixed targets, as denser rows over the same two years and as
    # eight years at the same density (six of them before every window); targets x7 (weekly -> daily)
    # at fixed history
    n = 500 // scale
    base = [run_child("ours", n, 3000, "1d") for _ in range(args.repeat)]
    for label, rows, every, days in (("history x2", 6000, "1d", 730), ("history x4", 12000, "1d", 730),
                                     ("history x4, six older years", 12000, "1d", 2920),
                                     ("targets /7 (weekly)", 3000, "7d", 730)):
        runs = [run_child("ours", n, rows, every, days=days) for _ in range(args.repeat)]
        report["growth"][label] = {
            "wall_ratio": statistics.median(r["wall_s"] for r in runs) / statistics.median(r["wall_s"] for r in base),
            "compute_ratio": statistics.median(r["compute_s"] for r in runs)
            / statistics.median(r["compute_s"] for r in base)}
    print(json.dumps(report["growth"], indent=1))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
