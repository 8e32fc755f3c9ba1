"""Dask with and without the shuffle, against ``build_feature_frame`` on one machine.

    python benchmarks/dask_bench.py                       # 2 M transactions, 300 k targets, 5 rounds
    python benchmarks/dask_bench.py --repeat 3 --json benchmarks/results/dask.json

Data: ``whole_job.generate`` at 41,000 entities (about 2.0 M transactions,
random 10-digit ids, two years, 8 dimension codes), with 300,000 targets
drawn uniformly among those entities at random dates; the whole job's
features (sum, frequency, max at 7, 30, 90, 365 days: 96 float32 columns).
The tables are written once into a temporary directory: as single Parquet
files, as Dask Parquet datasets of 2 files each, and by ``write_partitioned``
into 2 and into 8 parts.

Jobs, each timed from its input to its result in the client process:

* ``single, in memory``: ``build_feature_frame`` on pandas DataFrames in
  memory (both cores);
* ``single, from Parquet``: ``pandas.read_parquet`` of both files, then the same;
* ``dask parts=N, to client``: ``build_feature_frame_dask`` on the
  ``write_partitioned`` directories, the result computed into the client;
* ``dask parts=N, on workers``: the same, persisted on the workers (no
  transfer of the 115 MB result into the client);
* ``dask shuffle, to client``: ``build_feature_frame_dask`` on
  ``dask.dataframe.read_parquet`` of the plain datasets (the shuffle path).

A 2-worker ``LocalCluster`` (one thread per worker process, as the machine
has two cores) serves every Dask job; the rounds alternate between the jobs;
medians over the rounds. CPU is the client's process time plus every
worker's (all threads); peak memory is the sum over the client and the
workers of each one's VmHWM above its resident size before the job (reset
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
    process's peak above its resident size before the job, added up."""
    before = reset_peak() + sum(client.run(reset_peak).values())
    worker_cpu = sum(client.run(cpu_seconds).values())
    cpu, start = cpu_seconds(), time.perf_counter()
    result = job()
    wall = time.perf_counter() - start
    cpu = cpu_seconds() - cpu + sum(client.run(cpu_seconds).values()) - worker_cpu
    peak = peak_kb() + sum(client.run(peak_kb).values()) - before
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

    def parts_job(n, to_client):
        def job():
            lazy = build_feature_frame_dask(*parts[n], **OPTIONS)
            if to_client:
                return client.compute(lazy).result()
            persisted = lazy.persist()
            distributed.wait(persisted)
            return persisted
        return job

    def shuffle_job():
        lazy = build_feature_frame_dask(dd.read_parquet(os.path.join(work, "trx-dask")),
                                        dd.read_parquet(os.path.join(work, "tgt-dask")), npartitions=2,
                                        **OPTIONS)
        return client.compute(lazy).result()

    jobs = {
        "single, in memory": lambda: build_feature_frame(trx, tgt, **OPTIONS),
        "single, from Parquet": single_from_parquet,
        "dask parts=2, to client": parts_job(2, True),
        "dask parts=8, to client": parts_job(8, True),
        "dask parts=2, on workers": parts_job(2, False),
        "dask shuffle, to client": shuffle_job,
    }
    records = {name: [] for name in jobs}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        for name, job in jobs.items():  # a warm-up round, each result checked
            result, _ = measure(client, job)
            if not isinstance(result, pd.DataFrame):
                result = result.compute()
            result = result.sort_index()
            if not (result.index.equals(want.index) and np.array_equal(f32_bits(result), want_bits)):
                raise SystemExit(f"{name}: the result differs from build_feature_frame's")
            del result
        for _ in range(args.repeat):
            for name, job in jobs.items():
                result, record = measure(client, job)
                del result
                records[name].append(record)
    load = os.getloadavg()

    base = statistics.median(r["wall"] for r in records["single, in memory"])
    print(f"\nmedian of {args.repeat}; load average at the end {load[0]:.2f}")
    print(f"{'job':28} {'wall s':>8} {'min-max':>13} {'cpu s':>7} {'peak MB':>8} {'/ single':>9}")
    summary = {}
    for name, rounds in records.items():
        walls = [r["wall"] for r in rounds]
        row = dict(wall=statistics.median(walls), wall_min=min(walls), wall_max=max(walls),
                   cpu=statistics.median(r["cpu"] for r in rounds),
                   peak_mb=statistics.median(r["peak_mb"] for r in rounds))
        row["ratio"] = row["wall"] / base
        summary[name] = row
        print(f"{name:28} {row['wall']:8.3f} {row['wall_min']:6.3f}-{row['wall_max']:6.3f} {row['cpu']:7.3f} "
              f"{row['peak_mb']:8.0f} {row['ratio']:8.1f}x")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(summary=summary, rounds=records, load_average=load, transactions=len(trx),
                           targets=len(tgt), python=platform.python_version(),
                           versions={m.__name__: m.__version__ for m in (np, pd, dask, distributed)}), f, indent=1)


if __name__ == "__main__":
    main()
