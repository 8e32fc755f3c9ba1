"""The whole job, tables in and feature table out: ``build_feature_frame``
against polars and DuckDB, each on its own native tables.

    python benchmarks/whole_job.py                                  # 100,000 entities, ~4.9 M rows
    python benchmarks/whole_job.py --entities 1000000 --repeat 1    # ~49 M rows
    python benchmarks/whole_job.py --json benchmarks/results/whole-job.json
    python benchmarks/whole_job.py --codes 100 --operators all --tools ours,ours@base \
        --base-python OTHER_VENV/bin/python        # wide rows, ours beside another build

Data: a synthetic event log in no particular order, ~49 transactions per
entity (Poisson), random 10-digit integer customer ids, two years of
timestamps (datetime64[ns], whole milliseconds), float64 amounts (gamma,
rounded to cents; a few round to 0 and are skipped, as quantities of 0 or
below always are), int64 dimension codes 0..7; 3 target dates per entity.
Features: sum, frequency and max over the windows [T - h days, T) for
h = 7, 30, 90, 365 and every dimension value: 96 float32 columns, NaN for a
window without a transaction.

Tools, each written as a user would and each on both cores (its default):

* ours: ``build_feature_frame`` on pandas DataFrames, giving a pandas
  DataFrame; also with ``n_jobs=1``;
* polars: lazy join of targets and transactions, filter to the largest
  window, group by (target, dimension) with a filtered sum, count and max per
  horizon, then a pivot to one row per target, on polars DataFrames;
* DuckDB: one SQL query, a join of targets and transactions on the entity
  and the largest window, conditional aggregates per (target, dimension)
  and horizon, then a pivot to one row per target, on DuckDB tables,
  fetched as an Arrow table.

``--codes N`` draws the dimension codes from 0..N-1 (default 8) and
``--operators`` names the operators (default sum,frequency,max; ``all``:
every operator); with other operators than the default only ours runs.
``ours@base`` is ours under the interpreter ``--base-python`` (another
build of the module, installed there with pandas and pyarrow), checked
against ours like the peers.

Every measurement runs in a child process of its own that builds the tool's
tables first; the rounds alternate between the tools. Reported per tool:
wall time and process CPU time (all threads) of the job, median over the
rounds; peak memory above inputs and output (``/proc/self/clear_refs``
resets VmHWM before the job; peak minus the resident size before it, minus
the output's size). For ours, the phases: entity numbering, preparation,
compute (the engine calls) and the conversion around them (reading the
columns, the checks, building the frame). Before any time is reported every
tool's result is compared with ours cell by cell: float32 rounding
tolerance (relative 1e-5), NaN in the same cells.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from run import status_kb  # noqa: E402
DAY_MS = 86_400_000
HORIZONS = [7, 30, 90, 365]
DEFAULT_OPERATORS = ["sum", "frequency", "max"]
OPERATORS = list(DEFAULT_OPERATORS)
N_CODES = 8
TOOLS = ("ours", "ours n_jobs=1", "polars", "duckdb")
BASE = "ours@base"


def configure(codes: int, operators: str) -> None:
    """Sets the dimension codes and the operators of the job."""
    global N_CODES, OPERATORS
    N_CODES = codes
    if operators == "all":
        from quelmar.afe.domain.enums.afe_operator import AfeOperator
        from quelmar.afe.domain.modelling.feature_frame import operator_name

        OPERATORS = [operator_name(op) for op in AfeOperator]
    else:
        OPERATORS = [op.strip() for op in operators.split(",") if op.strip()]


def column_names():
    return ["{}__{}__{}".format(d, op, h) for d in range(N_CODES) for h in HORIZONS for op in OPERATORS]


# ---------------------------------------------------------------------------
# Data


def generate(n_entities: int, seed: int = 20261208) -> dict:
    rng = np.random.default_rng(seed if N_CODES == 8 else [seed, N_CODES])
    counts = rng.poisson(49, n_entities)
    n = int(counts.sum())
    entity = np.repeat(np.arange(n_entities), counts)
    rng.shuffle(entity)
    ids = rng.choice(9 * 10**9, n_entities, replace=False).astype(np.int64) + 10**9
    start_ms = np.datetime64("2022-01-01", "ms").astype(np.int64)
    two_years_ms = 730 * DAY_MS
    return dict(
        entity=ids[entity],
        timestamp=(start_ms + rng.integers(0, two_years_ms, n)).astype("datetime64[ms]").astype("datetime64[ns]"),
        quantity=np.round(rng.gamma(2.0, 20.0, n), 2),
        dimension=rng.integers(0, N_CODES, n),
        target_entity=np.repeat(ids, 3),
        target_date=(start_ms + rng.integers(0, two_years_ms, 3 * n_entities)).astype("datetime64[ms]")
        .astype("datetime64[ns]"),
    )


def cached(n_entities: int) -> dict:
    cache = os.environ.get("DFBH_BENCH_CACHE", os.path.join(HERE, "_build", "data"))
    path = os.path.join(cache, "whole_job_e{}{}.npy.d".format(n_entities, "" if N_CODES == 8 else "_c{}".format(N_CODES)))
    if not os.path.exists(path):
        os.makedirs(path + ".tmp", exist_ok=True)
        for name, values in generate(n_entities).items():
            np.save(os.path.join(path + ".tmp", name + ".npy"), values)
        os.replace(path + ".tmp", path)
    return {name[:-4]: np.load(os.path.join(path, name)) for name in sorted(os.listdir(path))}


def transaction_bytes(data: dict) -> int:
    return sum(data[k].nbytes for k in ("entity", "timestamp", "quantity", "dimension"))


# ---------------------------------------------------------------------------
# The tools: native tables, then the job


def pandas_tables(data):
    import pandas as pd

    trx = pd.DataFrame({"entity": data["entity"], "timestamp": data["timestamp"], "quantity": data["quantity"],
                        "dimension": data["dimension"]})
    tgt = pd.DataFrame({"entity": data["target_entity"], "target_date": data["target_date"]})
    return trx, tgt


def ours(tables, n_jobs=None):
    from quelmar.afe.domain.modelling.feature_frame import build_feature_frame

    trx, tgt = tables
    return build_feature_frame(trx, tgt, horizons=HORIZONS, operators=OPERATORS, n_jobs=n_jobs)


def polars_tables(data):
    import polars as pl

    trx = pl.DataFrame({"entity": data["entity"], "timestamp": data["timestamp"], "quantity": data["quantity"],
                        "dimension": data["dimension"]})
    tgt = pl.DataFrame({"entity": data["target_entity"], "target_date": data["target_date"]})
    return trx, tgt


def polars_job(tables):
    import polars as pl

    trx, tgt = tables
    targets = tgt.lazy().with_row_index("row")
    aggregates = []
    for h in HORIZONS:
        amount = pl.col("quantity").filter(pl.col("timestamp") >= pl.col("target_date") - pl.duration(days=h))
        count = amount.count()
        aggregates += [pl.when(count > 0).then(amount.sum()).alias("sum__{}".format(h)),
                       pl.when(count > 0).then(count).alias("frequency__{}".format(h)),
                       amount.max().alias("max__{}".format(h))]
    cells = (
        targets.join(trx.lazy().filter(pl.col("quantity") > 0), on="entity", how="inner")
        .filter((pl.col("timestamp") < pl.col("target_date"))
                & (pl.col("timestamp") >= pl.col("target_date") - pl.duration(days=max(HORIZONS))))
        .group_by("row", "dimension")
        .agg(aggregates)
        .collect()
    )
    values = ["{}__{}".format(op, h) for h in HORIZONS for op in OPERATORS]
    wide = cells.pivot(on="dimension", index="row", values=values, separator="|")
    wide = wide.rename({"{}|{}".format(v, d): "{}__{}".format(d, v) for v in values for d in range(N_CODES)})
    return targets.join(wide.lazy(), on="row", how="left").sort("row").select(
        "entity", "target_date", *column_names()).collect()


def duckdb_tables(data):
    import duckdb
    import pyarrow as pa

    con = duckdb.connect()
    trx = pa.table({"entity": data["entity"], "timestamp": data["timestamp"], "quantity": data["quantity"],
                    "dimension": data["dimension"]})
    tgt = pa.table({"entity": data["target_entity"], "target_date": data["target_date"]})
    con.register("trx_in", trx)
    con.register("tgt_in", tgt)
    con.execute("CREATE TABLE trx AS SELECT entity, timestamp::TIMESTAMP AS timestamp, quantity, dimension "
                "FROM trx_in")
    con.execute("CREATE TABLE tgt AS SELECT row_number() OVER () AS row_id, entity, "
                "target_date::TIMESTAMP AS target_date FROM tgt_in")
    con.unregister("trx_in")
    con.unregister("tgt_in")
    return con


def duckdb_job(con):
    return con.sql(duckdb_sql()).to_arrow_table()


def duckdb_sql() -> str:
    """The query over tables (or views) ``trx`` and ``tgt(row_id, entity,
    target_date)``."""
    # Conditional aggregates as CASE expressions: the same query with FILTER
    # clauses took 2 to 3 times as long (DuckDB 2.0), and one aggregate per
    # result column straight over the joined rows longer than a group by
    # (target, dimension) followed by a pivot.
    per_cell = []
    for h in HORIZONS:
        inside = "x.timestamp >= t.target_date - INTERVAL {} DAY".format(h)
        per_cell += ["SUM(CASE WHEN {} THEN x.quantity END) AS sum__{}".format(inside, h),
                     "SUM(CASE WHEN {} THEN 1 END) AS frequency__{}".format(inside, h),
                     "MAX(CASE WHEN {} THEN x.quantity END) AS max__{}".format(inside, h)]
    pivot = ['MAX(CASE WHEN c.dimension = {d} THEN c.{op}__{h} END) AS "{d}__{op}__{h}"'.format(d=d, op=op, h=h)
             for d in range(N_CODES) for h in HORIZONS for op in OPERATORS]
    return """
        WITH cells AS (
            SELECT t.row_id, x.dimension, {per_cell}
            FROM tgt t JOIN trx x
              ON x.entity = t.entity AND x.timestamp < t.target_date
             AND x.timestamp >= t.target_date - INTERVAL {largest} DAY AND x.quantity > 0
            GROUP BY t.row_id, x.dimension)
        SELECT t.row_id, any_value(t.entity) AS entity, any_value(t.target_date) AS target_date, {pivot}
        FROM tgt t LEFT JOIN cells c ON c.row_id = t.row_id
        GROUP BY t.row_id ORDER BY t.row_id
    """.format(per_cell=", ".join(per_cell), largest=max(HORIZONS), pivot=", ".join(pivot))


def build_tables(tool, data):
    if tool.startswith("ours"):
        return pandas_tables(data)
    return polars_tables(data) if tool == "polars" else duckdb_tables(data)


def run_job(tool, tables):
    if tool in ("ours", BASE):
        return ours(tables)
    if tool == "ours n_jobs=1":
        return ours(tables, n_jobs=1)
    return polars_job(tables) if tool == "polars" else duckdb_job(tables)


def output_bytes(tool, result) -> int:
    if tool.startswith("ours"):
        return int(result.memory_usage(index=False, deep=False).sum())
    return int(result.estimated_size()) if tool == "polars" else int(result.nbytes)


def as_matrix(tool, result) -> np.ndarray:
    """The 96 feature columns in our order, as float32 (NaN for a missing value)."""
    names = column_names()
    if tool.startswith("ours"):
        if OPERATORS != DEFAULT_OPERATORS:
            return result.select_dtypes("float32").to_numpy()
        return result[names].to_numpy(dtype=np.float32)
    if tool == "polars":
        return result.select(names).to_numpy().astype(np.float32)
    return np.column_stack([result.column(n).to_numpy(zero_copy_only=False).astype(np.float32) for n in names])


# ---------------------------------------------------------------------------
# Measurement, in child processes


def phase_timer():
    """Wraps the engine calls of the front end to time them."""
    try:  # the layered front end, or a build before it
        from quelmar.afe.domain.modelling.feature_frame import native as _native
    except ImportError:
        from quelmar.afe.domain.modelling.feature_frame import _native

    phases = {}

    def wrap(name, phase):
        original = getattr(_native, name)

        def timed(*args, **kwargs):
            wall = time.perf_counter()
            try:
                return original(*args, **kwargs)
            finally:
                phases[phase] = phases.get(phase, 0.0) + time.perf_counter() - wall

        setattr(_native, name, timed)

    wrap("factorize_entities", "numbering_s")
    wrap("number_entities", "numbering_s")  # a grid's numbering of integer ids
    wrap("prepare_transactions", "preparation_s")
    wrap("compute_features", "compute_s")
    return phases


def child_main(args) -> None:
    data = cached(args.entities)
    tables = build_tables(args.child, data)
    del data
    phases = phase_timer() if args.child.startswith("ours") else {}
    gc.collect()
    before = status_kb("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident size starts again from the current one
    wall, cpu = time.perf_counter(), time.process_time()
    result = run_job(args.child, tables)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    peak = status_kb("VmHWM")
    record = {"wall_s": wall, "cpu_s": cpu, "peak_above_inputs_kb": peak - before,
              "output_bytes": output_bytes(args.child, result), "rows": len(result)}
    if phases:
        record.update(phases)
        record["conversion_s"] = wall - sum(phases.values())
    if args.save:
        np.save(args.save, as_matrix(args.child, result))
    print(json.dumps(record))


def run_child(tool, entities, args, save=None):
    python = args.base_python if tool == BASE else sys.executable
    cmd = [python, os.path.abspath(__file__), "--child", tool, "--entities", str(entities), "--codes",
           str(args.codes), "--operators", args.operators]
    if save:
        cmd += ["--save", save]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError("{} failed:\n{}".format(tool, proc.stderr[-3000:]))
    return json.loads(proc.stdout.strip().splitlines()[-1])


def compare(ours_matrix, other, tool, first_row=0):
    """Cell by cell: NaN in the same cells, values within float32 rounding.
    The blocks start at row ``first_row`` of the results."""
    nan_ours, nan_other = np.isnan(ours_matrix), np.isnan(other)
    if not np.array_equal(nan_ours, nan_other):
        raise AssertionError("{}: NaN in {} cells where ours is not, and ours in {} where it is not".format(
            tool, int((nan_other & ~nan_ours).sum()), int((nan_ours & ~nan_other).sum())))
    close = np.isclose(other, ours_matrix, rtol=1e-5, atol=0, equal_nan=True)
    if not close.all():
        i, j = np.argwhere(~close)[0]
        raise AssertionError("{}: {} cells differ, e.g. row {} column {}: {} against ours {}".format(
            tool, int((~close).sum()), first_row + i, column_names()[j], other[i, j], ours_matrix[i, j]))


def machine() -> dict:
    return {"python": platform.python_version(), "numpy": np.__version__, "cpus": os.cpu_count(),
            "load_avg_1_5_15": [round(x, 2) for x in os.getloadavg()]}


def versions() -> dict:
    found = {}
    for name in ("pandas", "polars", "duckdb"):
        try:
            found[name] = __import__(name).__version__
        except ImportError:
            pass
    return found


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entities", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3, help="rounds; medians are reported")
    parser.add_argument("--tools", default=",".join(TOOLS), help="comma-separated, of: " + ", ".join(TOOLS))
    parser.add_argument("--codes", type=int, default=8, help="dimension codes 0..N-1")
    parser.add_argument("--operators", default=",".join(DEFAULT_OPERATORS), help="comma-separated, or 'all'")
    parser.add_argument("--base-python", help="the interpreter of " + BASE)
    parser.add_argument("--json")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--save", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    configure(args.codes, args.operators)
    if args.child:
        child_main(args)
        return

    tools = [t.strip() for t in args.tools.split(",") if t.strip()]
    if OPERATORS != DEFAULT_OPERATORS and set(tools) & {"polars", "duckdb"}:
        raise SystemExit("the peers compute sum, frequency and max only")
    if BASE in tools and not args.base_python:
        raise SystemExit("{} needs --base-python".format(BASE))
    data = cached(args.entities)
    record = {"entities": args.entities, "codes": N_CODES, "operators": OPERATORS, "transactions": len(data["entity"]), "targets": len(data["target_entity"]),
              "columns": len(column_names()) if OPERATORS == DEFAULT_OPERATORS else None, "transaction_table_bytes": transaction_bytes(data),
              "machine_before": machine(), "versions": versions(), "runs": {t: [] for t in tools}, "loads": []}
    del data
    print("{entities} entities, {transactions} transactions, {targets} targets, {columns} columns; "
          "transaction table {mb:.0f} MB; load {load}".format(mb=record["transaction_table_bytes"] / 1e6,
                                                              load=record["machine_before"]["load_avg_1_5_15"],
                                                              **record), flush=True)

    # The check round: every result against ours, cell by cell, before any time counts.
    if "ours" not in tools:
        raise SystemExit("the check needs the tool 'ours'")
    with tempfile.TemporaryDirectory(dir=os.environ.get("DFBH_BENCH_TMP")) as tmp:
        paths = {}
        for tool in tools:
            paths[tool] = os.path.join(tmp, "{}.npy".format(tool.replace(" ", "_").replace("=", "")))
            record["runs"][tool].append(run_child(tool, args.entities, args, save=paths[tool]))
        # memory-mapped and compared a block of rows at a time: at 50 M
        # transactions each result takes more than a GB
        reference = np.load(paths["ours"], mmap_mode="r")
        for tool, path in paths.items():
            matrix = np.load(path, mmap_mode="r")
            if matrix.shape != reference.shape:
                raise AssertionError("{}: shape {} against ours {}".format(tool, matrix.shape, reference.shape))
            for start in range(0, len(reference), 500_000):
                compare(np.asarray(reference[start:start + 500_000]), np.asarray(matrix[start:start + 500_000]),
                        tool, start)
            del matrix
        record["checked"] = "every tool's {} x {} result matched ours".format(*reference.shape)
        print(record["checked"], flush=True)
        del reference
    for _ in range(args.repeat - 1):
        record["loads"].append(os.getloadavg()[0])
        for tool in tools:
            record["runs"][tool].append(run_child(tool, args.entities, args))
    record["machine_after"] = machine()

    summary = {}
    for tool, runs in record["runs"].items():
        summary[tool] = {key: statistics.median(run[key] for run in runs) for key in runs[0] if key != "rows"}
    record["median"] = summary
    best_peer = min((summary[t]["wall_s"] for t in ("polars", "duckdb") if t in summary), default=None)
    print("\nmedian of {} (wall / cpu s, peak MB above inputs and output):".format(args.repeat))
    for tool, m in summary.items():
        line = "  {:<14} {:7.3f} s  {:7.3f} s cpu  peak {:7.1f} MB (output {:.0f} MB)".format(
            tool, m["wall_s"], m["cpu_s"], m["peak_above_inputs_kb"] / 1024 - m["output_bytes"] / 2**20,
            m["output_bytes"] / 1e6)
        if best_peer and tool.startswith("ours"):
            line += "  faster peer / this: {:.1f}x".format(best_peer / m["wall_s"])
        print(line)
        if "compute_s" in m:
            print("  {:<14} numbering {:.3f}, preparation {:.3f}, compute {:.3f}, conversion {:.3f} s".format(
                "", m["numbering_s"], m["preparation_s"], m["compute_s"], m["conversion_s"]))
    print("load before / after: {} / {}".format(record["machine_before"]["load_avg_1_5_15"],
                                                record["machine_after"]["load_avg_1_5_15"]))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(record, f, indent=1)


if __name__ == "__main__":
    main()
