"""Dask with and without the shuffle, against ``build_feature_frame`` on one machine.

    python benchmarks/dask_bench.py                       # 2 M transactions, 300 k targets, 5 rounds
    python benchmarks/dask_bench.py --repeat 3 --json benchmarks/results/dask.json

Data: ``whole_job.generate`` at 41,000 entities (about 2.0 M transactions,
random 10-digit ids, two years, 8 dimension codes), with 300,000 targets
drawn uniformly among those entities at random dates; the whole job's
features (sum, frequency, max at 7, 30, 90, 365 days: 96 float32 columns).
The tables are written once into a temporary directory (removed at the
end): as single Parquet files, as Dask Parquet datasets of 2 files each,
and by ``write_partitioned`` into 2 and into 8 parts.

Jobs, each timed from its input to its result in the client process:

* ``single, in memory``: ``build_feature_frame`` on pandas DataFrames in
  memory (both cores);
* ``single, from Parquet``: ``pandas.read_parquet`` of both files, then the same;
* ``dask parts=N, to client``: ``build_feature_frame_dask`` on the
  ``write_partitioned`` directories, the result computed into the client
  (``client.compute(...).result()``: Dask concatenates the parts on one
  worker, then sends the whole frame);
* ``dask parts=2, gathered``: the same, through ``gather_feature_frame``
  (each part straight from its worker, concatenated in the client);
* ``dask parts=2, on workers``: the same, persisted on the workers (no
  transfer of the 115 MB result into the client);
* ``dask shuffle, to client``: ``build_feature_frame_dask`` on
  ``dask.dataframe.read_parquet`` of the plain datasets (the shuffle path).

Every ``dask`` job runs on two 2-worker ``LocalCluster``s, one thread per
worker as the machine has two cores: worker processes (the names above), and
threads in the client process (``processes=False``, the names prefixed
``threads:``), where results are not serialized nor moved between
processes. Both clusters stay up throughout; the rounds alternate between
all the jobs; medians over the rounds. CPU is the process time of the
client and of every worker process (all threads; the client process counts
once when it holds the workers); peak memory is the sum over those
processes of each one's VmHWM above its resident size before the job (reset
by ``/proc/self/clear_refs`` just before): what the job added, not the
tables the client holds, nor what the workers held before.
Every result is compared with the in-memory one, bit for bit, before any
time counts.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from run import status_kb  # noqa: E402
from whole_job import DAY_MS, HORIZONS, OPERATORS, generate  # noqa: E402

N_ENTITIES = 41_000
N_TARGETS = 300_000
OPTIONS = dict(horizons=HORIZONS, operators=OPERATORS)


def tables(seed: int = 20261209):
    import pandas as pd

    data = generate(N_ENTITIES)
    rng = np.random.default_rng(seed)
    ids = np.unique(data["target_entity"])
    start_ms = np.datetime64("2022-01-01", "ms").astype(np.int64)
    trx = pd.DataFrame({k: data[k] for k in ("entity", "timestamp", "quantity", "dimension")})
    tgt = pd.DataFrame({
        "entity": rng.choice(ids, N_TARGETS),
        "target_date": (start_ms + rng.integers(0, 730 * DAY_MS, N_TARGETS)).astype("datetime64[ms]")
        .astype("datetime64[ns]"),
    })
    return trx, tgt


def reset_peak() -> int:
    """Resets VmHWM to the current resident size; returns that size (kB)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return status_kb("VmRSS")


def peak_kb() -> int:
    return status_kb("VmHWM")


def cpu_seconds() -> float:
    t = os.times()
    return t.user + t.system


def measure(client, job):
    """Wall, CPU (client and workers) and peak memory of ``job()``: each
    process's peak above its resident size before the job, added up; workers
    in the client's own process are counted with it."""
    remote = [w for w, pid in client.run(os.getpid).items() if pid != os.getpid()]

    def on_workers(fn):
        return sum(client.run(fn, workers=remote).values()) if remote else 0

    before = reset_peak() + on_workers(reset_peak)
    worker_cpu = on_workers(cpu_seconds)
    cpu, start = cpu_seconds(), time.perf_counter()
    result = job()
    wall = time.perf_counter() - start
    cpu = cpu_seconds() - cpu + on_workers(cpu_seconds) - worker_cpu
    peak = peak_kb() + on_workers(peak_kb) - before
    return result, dict(wall=wall, cpu=cpu, peak_mb=peak / 1024)


def f32_bits(frame):
    return np.ascontiguousarray(frame.iloc[:, 2:].to_numpy(np.float32)).view(np.uint32)


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json")
    args = parser.parse_args(argv)

    import dask
    import dask.dataframe as dd
    import distributed
    import pandas as pd

    from quelmar.afe.domain.modelling.feature_frame import (
        build_feature_frame,
        build_feature_frame_dask,
        gather_feature_frame,
        write_partitioned,
    )

    trx, tgt = tables()
    print(f"{len(trx):,} transactions, {len(tgt):,} targets")
    work = tempfile.mkdtemp(prefix="dask-bench-")
    trx.to_parquet(os.path.join(work, "trx.parquet"), index=False)
    tgt.to_parquet(os.path.join(work, "tgt.parquet"), index=False)
    dd.from_pandas(trx, npartitions=2).to_parquet(os.path.join(work, "trx-dask"), write_index=False)
    dd.from_pandas(tgt, npartitions=2).to_parquet(os.path.join(work, "tgt-dask"))  # the index, to compare
    parts = {n: write_partitioned(trx, tgt, os.path.join(work, f"parts-{n}"), n) for n in (2, 8)}

    want = build_feature_frame(trx, tgt, **OPTIONS)
    want_bits = f32_bits(want)

    def single_from_parquet():
        return build_feature_frame(pd.read_parquet(os.path.join(work, "trx.parquet")),
                                   pd.read_parquet(os.path.join(work, "tgt.parquet")), **OPTIONS)

    def dask_jobs(client):
        def parts_job(n, how):
            def job():
                lazy = build_feature_frame_dask(*parts[n], **OPTIONS)
                if how == "to client":
                    return client.compute(lazy).result()
                if how == "gathered":
                    return gather_feature_frame(lazy, client)
                persisted = client.persist(lazy)
                distributed.wait(persisted)
                return persisted
            return job

        def shuffle_job():
            lazy = build_feature_frame_dask(dd.read_parquet(os.path.join(work, "trx-dask")),
                                            dd.read_parquet(os.path.join(work, "tgt-dask")), npartitions=2,
                                            **OPTIONS)
            return client.compute(lazy).result()

        def on_this_client(job):
            # with two clients up, the default one is the last started: the
            # computations inside build_feature_frame_dask (the dimension
            # codes) and its choice of shuffle must see this one
            def run():
                with client.as_current():
                    return job()
            return run

        return {name: on_this_client(job) for name, job in {
            "dask parts=2, to client": parts_job(2, "to client"),
            "dask parts=2, gathered": parts_job(2, "gathered"),
            "dask parts=8, to client": parts_job(8, "to client"),
            "dask parts=2, on workers": parts_job(2, "on workers"),
            "dask shuffle, to client": shuffle_job,
        }.items()}

    def cluster(processes):
        return distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=processes,
                                        dashboard_address=":0")

    try:
        with cluster(True) as on_processes, distributed.Client(on_processes) as client, \
                cluster(False) as on_threads, distributed.Client(on_threads) as threads_client:
            jobs = {  # name: (the client that measures it, the job)
                "single, in memory": (client, lambda: build_feature_frame(trx, tgt, **OPTIONS)),
                "single, from Parquet": (client, single_from_parquet),
            }
            jobs.update({name: (client, job) for name, job in dask_jobs(client).items()})
            jobs.update({"threads: " + name: (threads_client, job)
                         for name, job in dask_jobs(threads_client).items()})
            records = {name: [] for name in jobs}
            for name, (job_client, job) in jobs.items():  # a warm-up round, each result checked
                result, _ = measure(job_client, job)
                if not isinstance(result, pd.DataFrame):
                    result = job_client.compute(result).result()
                result = result.sort_index()
                if not (result.index.equals(want.index) and np.array_equal(f32_bits(result), want_bits)):
                    raise SystemExit(f"{name}: the result differs from build_feature_frame's")
                del result
            for _ in range(args.repeat):
                for name, (job_client, job) in jobs.items():
                    result, record = measure(job_client, job)
                    del result
                    records[name].append(record)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    load = os.getloadavg()

    base = statistics.median(r["wall"] for r in records["single, in memory"])
    print(f"\nmedian of {args.repeat}; load average at the end {load[0]:.2f}")
    print(f"{'job':36} {'wall s':>8} {'min-max':>13} {'cpu s':>7} {'peak MB':>8} {'/ single':>9}")
    summary = {}
    for name, rounds in records.items():
        walls = [r["wall"] for r in rounds]
        row = dict(wall=statistics.median(walls), wall_min=min(walls), wall_max=max(walls),
                   cpu=statistics.median(r["cpu"] for r in rounds),
                   peak_mb=statistics.median(r["peak_mb"] for r in rounds))
        row["ratio"] = row["wall"] / base
        summary[name] = row
        print(f"{name:36} {row['wall']:8.3f} {row['wall_min']:6.3f}-{row['wall_max']:6.3f} {row['cpu']:7.3f} "
              f"{row['peak_mb']:8.0f} {row['ratio']:8.1f}x")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(summary=summary, rounds=records, load_average=load, transactions=len(trx),
                           targets=len(tgt), python=platform.python_version(),
                           versions={m.__name__: m.__version__ for m in (np, pd, dask, distributed)}), f, indent=1)


if __name__ == "__main__":
    main()
