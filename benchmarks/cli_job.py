"""The command line against the API on the whole-job data, as files.

    python benchmarks/cli_job.py                                   # 100,000 entities, ~4.9 M rows
    python benchmarks/cli_job.py --entities 1000000 --repeat 1     # ~49 M rows
    python benchmarks/cli_job.py --json benchmarks/results/cli-job.json

Data: ``whole_job.generate`` (random 10-digit integer ids, ~49 transactions
per entity, 3 targets per entity, 96 float32 feature columns), written once
as one Parquet file per table, as a user would have them.

Runs, each a child process of its own, alternating over the rounds:

* ``api``: pyarrow's ``read_table`` of the needed columns and
  ``build_feature_frame``, nothing written (the issue's reference: the
  engine plus reading the input);
* ``cli parquet`` / ``cli arrow``: ``quelmar-feature-frame`` from the two
  Parquet files to a Parquet or Arrow IPC file;
* ``polars write`` / ``ours write``: polars' ``write_parquet`` of the
  command line's output table, and the command line's own Parquet writer
  on the same table in its chunks (the writing alone, which the command
  line overlaps with computing);
* ``cli buckets``: the command line with ``--memory-limit`` low enough
  (``--bucket-limit``) that it works in buckets of entities on disk.

Reported per run: wall time, CPU time of the child (all threads), its peak
resident size (``wait4``'s ``ru_maxrss``; the parent stays small, as a
child starts with its parent's peak) and the most disk it added beside the
output while it ran (output, temporary output and buckets, polled every
0.2 s). Before any time is reported the command line's outputs are
compared with ``build_feature_frame`` cell by cell, bit for bit.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import whole_job  # noqa: E402

RUNS = ("api", "cli parquet", "cli arrow", "polars write", "ours write", "cli buckets")
FLAGS = ["--horizons", ",".join(map(str, whole_job.HORIZONS)), "--operators", ",".join(whole_job.OPERATORS),
         "--row-number", "row"]


def files(entities: int, directory: str):
    """The two Parquet files of the whole-job data, written once."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    trx_path = os.path.join(directory, f"trx_e{entities}.parquet")
    tgt_path = os.path.join(directory, f"tgt_e{entities}.parquet")
    if not os.path.exists(tgt_path):
        data = whole_job.generate(entities)
        pq.write_table(pa.table({k: data[k] for k in ("entity", "timestamp", "quantity", "dimension")}),
                       trx_path + ".tmp")
        pq.write_table(pa.table({"entity": data["target_entity"], "target_date": data["target_date"]}),
                       tgt_path + ".tmp")
        os.replace(trx_path + ".tmp", trx_path)
        os.replace(tgt_path + ".tmp", tgt_path)
    return trx_path, tgt_path


def api_child(trx_path: str, tgt_path: str, save: str) -> None:
    import pyarrow.parquet as pq

    from quelmar.afe.domain.modelling.feature_frame import build_feature_frame

    trx = pq.read_table(trx_path, columns=["entity", "timestamp", "quantity", "dimension"])
    tgt = pq.read_table(tgt_path, columns=["entity", "target_date"])
    frame = build_feature_frame(trx, tgt, horizons=whole_job.HORIZONS, operators=whole_job.OPERATORS)
    if save:
        np.save(save, frame.iloc[:, 2:].to_numpy())


def polars_child(source: str, out: str) -> None:
    import polars as pl

    table = pl.read_parquet(source)
    wall, cpu = time.perf_counter(), time.process_time()
    table.write_parquet(out)
    print(json.dumps({"write_s": time.perf_counter() - wall, "write_cpu_s": time.process_time() - cpu}))


def ours_write_child(source: str, out: str) -> None:
    """The command line's Parquet writer alone, on its output table in its chunks."""
    import pyarrow.parquet as pq

    from quelmar.afe.domain.modelling.feature_frame.files import stream as _stream, writers as _writers

    table = pq.read_table(source)
    step = _stream.chunk_rows(len(whole_job.column_names()))
    chunks = [table.slice(start, step).combine_chunks() for start in range(0, table.num_rows, step)]
    del table
    wall, cpu = time.perf_counter(), time.process_time()
    writer = _writers.TableWriter(out, "parquet")
    for chunk in chunks:
        writer.write(chunk)
    writer.close()
    print(json.dumps({"write_s": time.perf_counter() - wall, "write_cpu_s": time.process_time() - cpu}))


def command(run: str, trx: str, tgt: str, out: str, bucket_limit: str, save: str = ""):
    py = sys.executable
    if run == "api":
        return [py, __file__, "--child", "api", trx, tgt, save]
    if run in ("polars write", "ours write"):
        return [py, __file__, "--child", run.split()[0], trx, out]  # trx: the command line's output here
    limit = ["--memory-limit", bucket_limit] if run == "cli buckets" else []
    return [py, "-m", "quelmar.afe.domain.modelling.feature_frame", trx, tgt, "-o", out] + FLAGS + limit


def measure(cmd, watch_dir: str, timeout: float = None) -> dict:
    """Wall and CPU time, peak resident size of the child and the peak disk
    use of ``watch_dir``; a child still running after ``timeout`` seconds is
    killed and reported as such."""
    baseline = _tree_bytes(watch_dir)
    peak_disk = [baseline]
    stop = threading.Event()

    def poll():
        while not stop.wait(0.2):
            peak_disk[0] = max(peak_disk[0], _tree_bytes(watch_dir))

    watcher = threading.Thread(target=poll, daemon=True)
    watcher.start()
    wall = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    killer = threading.Timer(timeout, proc.kill) if timeout else None
    if killer:
        killer.start()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - wall
    timed_out = killer is not None and killer.finished.is_set()
    if killer:
        killer.cancel()
    stop.set()
    watcher.join()
    out, err = proc.stdout.read(), proc.stderr.read()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0 and not timed_out:
        raise RuntimeError("{} failed:\n{}".format(" ".join(cmd), err[-3000:]))
    peak_disk[0] = max(peak_disk[0], _tree_bytes(watch_dir))
    record = {"wall_s": wall, "cpu_s": usage.ru_utime + usage.ru_stime, "peak_rss_mb": usage.ru_maxrss / 1024,
              "disk_mb": (peak_disk[0] - baseline) / 2 ** 20}
    if timed_out:
        record["timed_out"] = True
    if out.strip().startswith("{"):
        record.update(json.loads(out.strip().splitlines()[-1]))
    return record


def _tree_bytes(directory: str) -> int:
    total = 0
    for root, _, names in os.walk(directory):
        for name in names:
            try:
                total += os.path.getsize(os.path.join(root, name))
            except OSError:
                pass
    return total


def check(out: str, reference: str) -> None:
    import pyarrow.feather as feather
    import pyarrow.parquet as pq

    reference = np.load(reference)
    table = pq.read_table(out) if out.endswith(".parquet") else feather.read_table(out)
    order = np.argsort(table.column("row").to_numpy())
    got = np.column_stack([table.column(n).to_numpy() for n in whole_job.column_names()])[order]
    if not np.array_equal(got.view(np.uint32), reference.view(np.uint32)):
        raise AssertionError(f"{out}: cells differ from build_feature_frame")


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--entities", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--bucket-limit", default="1G", help="--memory-limit of the run in buckets")
    parser.add_argument("--dir", default=os.environ.get("DFBH_BENCH_CACHE", os.path.join(HERE, "_build", "data")))
    parser.add_argument("--json")
    parser.add_argument("--child", nargs="*")
    args = parser.parse_args(argv)
    if args.child:
        kind, rest = args.child[0], args.child[1:]
        {"api": api_child, "polars": polars_child, "ours": ours_write_child, "check": check, "files": lambda n, d: files(int(n), d)}[kind](*rest)
        return
    os.makedirs(args.dir, exist_ok=True)
    subprocess.run([sys.executable, __file__, "--child", "files", str(args.entities), args.dir], check=True)
    trx, tgt = files(args.entities, args.dir)  # generated by the child above
    work = os.path.join(args.dir, f"cli_e{args.entities}")
    os.makedirs(work, exist_ok=True)
    outs = {"cli parquet": "f.parquet", "cli arrow": "f.arrow", "cli buckets": "b.parquet", "polars write": "p.parquet",
            "ours write": "o.parquet"}
    reference = os.path.join(work, "reference.npy")
    results = {run: [] for run in RUNS}
    for round_ in range(args.repeat):
        for run in RUNS:
            out = os.path.join(work, outs.get(run, ""))
            if os.path.isfile(out):
                os.unlink(out)  # the disk a run adds is measured
            source = os.path.join(work, "f.parquet") if run.endswith("write") else trx
            cmd = command(run, source, tgt, out, args.bucket_limit, save=reference if round_ == 0 else "")
            results[run].append(measure(cmd, work))
            if round_ == 0 and run.startswith("cli"):
                # in a child: a large parent would pass its peak size on to the next child it forks
                subprocess.run([sys.executable, __file__, "--child", "check", out, reference], check=True)
            print(run, json.dumps(results[run][-1]), flush=True)
    import pyarrow.parquet as pq

    n_trx = pq.ParquetFile(trx).metadata.num_rows
    summary = {run: {k: statistics.median(r[k] for r in rs) for k in rs[0]} for run, rs in results.items()}
    api = summary["api"]["wall_s"]
    for run in ("cli parquet", "cli arrow", "cli buckets"):
        summary[run]["ratio_to_api"] = summary[run]["wall_s"] / api
        summary[run]["ns_per_transaction"] = summary[run]["wall_s"] / n_trx * 1e9
    report = {"entities": args.entities, "transactions": n_trx, "bucket_limit": args.bucket_limit,
              "machine": whole_job.machine(), "rounds": args.repeat, "median": summary, "all": results}
    print(json.dumps(summary, indent=1))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
