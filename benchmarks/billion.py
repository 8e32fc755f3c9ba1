"""One billion transactions through the command line with a 4 GiB budget,
against DuckDB with the same budget on the same files.

    python benchmarks/billion.py                                  # 1e9 rows, 1e7 entities, 3e7 targets
    python benchmarks/billion.py --transactions 20000000 --entities 200000   # a small rehearsal
    python benchmarks/billion.py --json benchmarks/results/billion.json

Data: the whole-job data made larger (``whole_job``'s columns, types and
distributions: random 10-digit integer ids, uniform dates over two years,
quantities of gamma(2, 20) rounded to cents, 8 dimension values, 3 targets
per entity), about 100 transactions per entity in random order, generated in
chunks of 10 M rows straight into one Parquet file, so that the benchmark
itself never holds the table.

Runs, each a child process measured as ``cli_job.measure`` measures it
(wall time, CPU time of all threads, peak resident size, the most disk
added in the work directory):

* ``cli``: ``quelmar-feature-frame`` from the two Parquet files to Parquet
  under ``--memory-limit 4G``;
* ``reference``: the same command on the 49 M data of ``cli_job.py`` (one
  million entities), whose time per transaction the large run is held to;
* ``duckdb``: DuckDB with ``memory_limit='4GB'``, two threads and a
  temporary directory in the work directory, ``whole_job``'s query (join +
  filter + group by) over ``read_parquet`` of the same files, copied to a
  Parquet file; stopped after ``--duckdb-timeout`` seconds.

Checked before any figure is reported: the command line's rows for a random
sample of entities are compared bit for bit with ``build_feature_frame`` on
those entities' transactions and targets (a window of an entity reads that
entity's rows only), and DuckDB's, when it finishes, with ours for the same
sample within float32 rounding of its float64 sums (the same tolerance as
``whole_job``).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import cli_job  # noqa: E402
import whole_job  # noqa: E402

CHUNK = 10_000_000
DAY_MS = 86_400_000


def generate(directory: str, n_trx: int, n_entities: int, seed: int = 20261208):
    """The transactions and targets as two Parquet files, written once."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    trx_path = os.path.join(directory, f"trx_{n_trx}.parquet")
    tgt_path = os.path.join(directory, f"tgt_{n_trx}.parquet")
    if os.path.exists(tgt_path):
        return trx_path, tgt_path
    rng = np.random.default_rng(seed)
    ids = np.unique(rng.integers(10**9, 10**10, n_entities + n_entities // 8 + 100))
    ids = rng.permutation(ids)[:n_entities].astype(np.int64)
    start_ms = np.datetime64("2022-01-01", "ms").astype(np.int64)
    span = 730 * DAY_MS
    schema = pa.schema([("entity", pa.int64()), ("timestamp", pa.timestamp("ns")), ("quantity", pa.float64()),
                        ("dimension", pa.int64())])
    with pq.ParquetWriter(trx_path + ".tmp", schema) as writer:
        for first in range(0, n_trx, CHUNK):
            n = min(CHUNK, n_trx - first)
            ms = start_ms + rng.integers(0, span, n)
            writer.write_table(pa.table({
                "entity": ids[rng.integers(0, n_entities, n)],
                "timestamp": (ms * 1_000_000).astype("datetime64[ns]"),
                "quantity": np.round(rng.gamma(2.0, 20.0, n), 2),
                "dimension": rng.integers(0, whole_job.N_CODES, n),
            }, schema=schema))
    dates = (start_ms + rng.integers(0, span, 3 * n_entities)) * 1_000_000
    pq.write_table(pa.table({"entity": np.repeat(ids, 3), "target_date": dates.astype("datetime64[ns]")}),
                   tgt_path + ".tmp")
    os.replace(trx_path + ".tmp", trx_path)
    os.replace(tgt_path + ".tmp", tgt_path)
    return trx_path, tgt_path


def cli_command(trx: str, tgt: str, out: str, limit: str):
    return ([sys.executable, "-m", "quelmar.afe.domain.modelling.feature_frame", trx, tgt, "-o", out]
            + cli_job.FLAGS + ["--memory-limit", limit])


def duckdb_child(trx: str, tgt: str, out: str, temp: str, limit: str) -> None:
    import duckdb

    con = duckdb.connect()
    con.execute(f"SET memory_limit='{limit}'")
    con.execute("SET threads=2")
    con.execute(f"SET temp_directory='{temp}'")
    con.execute(f"CREATE VIEW trx AS SELECT entity, timestamp::TIMESTAMP AS timestamp, quantity, dimension "
                f"FROM read_parquet('{trx}')")
    con.execute(f"CREATE VIEW tgt AS SELECT file_row_number AS row_id, entity, "
                f"target_date::TIMESTAMP AS target_date FROM read_parquet('{tgt}', file_row_number=true)")
    sql = whole_job.duckdb_sql()
    con.execute(f"COPY ({sql}) TO '{out}' (FORMAT parquet)")


def sample_child(trx: str, tgt: str, out: str, n_sample: str, seed: str) -> None:
    """An output for a sample of entities against ``build_feature_frame``
    on their rows: ours bit for bit, DuckDB's within whole_job's tolerance;
    prints the sample's size."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq

    from quelmar.afe.domain.modelling.feature_frame import build_feature_frame

    targets = pq.read_table(tgt)
    rng = np.random.default_rng(int(seed))
    ids = np.unique(targets.column("entity").to_numpy())
    chosen = pa.array(rng.choice(ids, min(int(n_sample), len(ids)), replace=False))
    rows = np.flatnonzero(pc.is_in(targets.column("entity"), chosen).to_numpy(zero_copy_only=False))
    mine = ds.dataset(trx).to_table(filter=pc.is_in(pc.field("entity"), chosen))
    frame = build_feature_frame(mine.to_pandas(), targets.take(pa.array(rows)).to_pandas(),
                                horizons=whole_job.HORIZONS, operators=whole_job.OPERATORS)
    expected = frame[whole_job.column_names()].to_numpy(np.float32)
    duck = "duckdb" in os.path.basename(out)
    key = "row_id" if duck else "row"
    got = ds.dataset(out).to_table(filter=pc.is_in(pc.field(key), pa.array(rows)))
    got = got.take(pc.sort_indices(got.column(key)))
    if got.num_rows != len(rows):
        raise AssertionError(f"{out}: {got.num_rows} of the sample's {len(rows)} targets")
    matrix = np.column_stack([got.column(n).to_numpy(zero_copy_only=False).astype(np.float32)
                              for n in whole_job.column_names()])
    if duck:
        whole_job.compare(expected, matrix, "duckdb")
    elif not np.array_equal(matrix.view(np.uint32), expected.view(np.uint32)):
        raise AssertionError(f"{out}: cells differ from build_feature_frame")
    print(json.dumps({"sample_targets": int(len(rows)), "sample_transactions": mine.num_rows}))


def run(cmd, work: str, timeout: float = None) -> dict:
    wall = time.perf_counter()
    try:
        return cli_job.measure(cmd, work, timeout=timeout)
    except RuntimeError as exc:
        return {"failed": str(exc)[-2000:], "wall_s": time.perf_counter() - wall}


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--transactions", type=int, default=1_000_000_000)
    parser.add_argument("--entities", type=int, default=10_000_000)
    parser.add_argument("--memory-limit", default="4G")
    parser.add_argument("--sample", type=int, default=2000, help="entities checked against the API")
    parser.add_argument("--duckdb-timeout", type=float, default=2700.0)
    parser.add_argument("--skip", default="", help="comma-separated runs not to do: cli, reference, duckdb")
    parser.add_argument("--dir", default=os.environ.get("DFBH_BENCH_CACHE", os.path.join(HERE, "_build", "data")))
    parser.add_argument("--json")
    parser.add_argument("--child", nargs="*")
    args = parser.parse_args(argv)
    if args.child:
        kind, rest = args.child[0], args.child[1:]
        {"duckdb": duckdb_child, "sample": sample_child,
         "files": lambda d, t, e: generate(d, int(t), int(e))}[kind](*rest)
        return
    skip = set(filter(None, args.skip.split(",")))
    work = os.path.join(args.dir, f"billion_{args.transactions}")
    os.makedirs(work, exist_ok=True)
    wall = time.perf_counter()
    subprocess.run([sys.executable, __file__, "--child", "files", args.dir, str(args.transactions),
                    str(args.entities)], check=True)
    trx, tgt = generate(args.dir, args.transactions, args.entities)
    report = {"transactions": args.transactions, "entities": args.entities, "memory_limit": args.memory_limit,
              "generation_s": time.perf_counter() - wall, "input_mb": os.path.getsize(trx) / 2**20,
              "machine": whole_job.machine()}
    print(json.dumps(report), flush=True)
    out = os.path.join(work, "features.parquet")
    if "cli" not in skip:
        report["cli"] = run(cli_command(trx, tgt, out, args.memory_limit), work)
        print("cli", json.dumps(report["cli"]), flush=True)
        if "failed" not in report["cli"]:
            report["cli"]["ns_per_transaction"] = report["cli"]["wall_s"] / args.transactions * 1e9
            report["cli"]["checked"] = check(trx, tgt, out, args.sample)
            print("checked", json.dumps(report["cli"]["checked"]), flush=True)
    if "reference" not in skip:
        import pyarrow.parquet as pq

        ref_trx, ref_tgt = cli_job.files(1_000_000, args.dir)
        ref_out = os.path.join(work, "reference.parquet")
        report["reference"] = run(cli_command(ref_trx, ref_tgt, ref_out, args.memory_limit), work)
        n_ref = pq.ParquetFile(ref_trx).metadata.num_rows
        report["reference"]["transactions"] = n_ref
        report["reference"]["ns_per_transaction"] = report["reference"]["wall_s"] / n_ref * 1e9
        os.unlink(ref_out)
        print("reference", json.dumps(report["reference"]), flush=True)
    if "duckdb" not in skip:
        duck_out = os.path.join(work, "duckdb.parquet")
        temp = os.path.join(work, "duckdb.tmp")
        if os.path.isfile(out):
            os.unlink(out)  # room for DuckDB's spilling; ours was checked above
        report["duckdb"] = run([sys.executable, __file__, "--child", "duckdb", trx, tgt, duck_out, temp,
                                args.memory_limit + "B"], work, timeout=args.duckdb_timeout)
        shutil.rmtree(temp, ignore_errors=True)
        print("duckdb", json.dumps(report["duckdb"]), flush=True)
        if "failed" not in report["duckdb"] and not report["duckdb"].get("timed_out"):
            report["duckdb"]["checked"] = check(trx, tgt, duck_out, args.sample)
        if os.path.isfile(duck_out):
            os.unlink(duck_out)
    if "cli" in report and "reference" in report and "failed" not in report["cli"]:
        report["cli"]["per_transaction_to_reference"] = (report["cli"]["ns_per_transaction"]
                                                          / report["reference"]["ns_per_transaction"])
    if "duckdb" in report and "failed" not in report["duckdb"] and "cli" in report:
        report["duckdb"]["ratio_to_cli"] = report["duckdb"]["wall_s"] / report["cli"]["wall_s"]
    print(json.dumps(report, indent=1))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)


def check(trx: str, tgt: str, out: str, n_sample: int) -> dict:
    """``sample_child`` in a child process (a large parent would pass its
    peak size on to the next child it forks)."""
    done = subprocess.run([sys.executable, __file__, "--child", "sample", trx, tgt, out, str(n_sample), "7"],
                          capture_output=True, text=True)
    if done.returncode:
        raise AssertionError(done.stderr[-3000:])
    return json.loads(done.stdout.strip().splitlines()[-1])


if __name__ == "__main__":
    main()
