"""Spark: the bucketed job against the floor of Spark itself and against one machine.

    python benchmarks/spark_bench.py                      # 20,000 entities, ~1 M transactions, 5 rounds
    python benchmarks/spark_bench.py --entities 100000    # the whole job's default size, ~4.9 M transactions
    python benchmarks/spark_bench.py --json benchmarks/results/spark.json

Data: ``whole_job.generate`` (about 49 transactions per entity, random
10-digit int64 ids, two years, 8 dimension codes, 3 targets per entity),
written once as Parquet into a temporary directory (timestamps in
microseconds, which Spark reads) and read by Spark as a user's tables are;
the whole job's features (sum, frequency, max at 7, 30, 90, 365 days: 96
float32 columns). A ``local[2]`` session (both cores), ``--buckets`` entity
buckets and as many shuffle partitions.

Jobs, each run to its end with Spark's ``noop`` sink (every row computed and
handed to Spark, nothing written):

* ``bucketed``: ``build_feature_frame_spark(trx, tgt, ..., buckets=B)`` as
  the README writes it: the two tables bucketed by a hash of the entity id,
  cogrouped on the bucket, one ``build_feature_frame`` call per bucket;
* ``floor``: the same bucket columns, cogroup and ``applyInPandas``, with a
  function that returns an empty frame of the result's schema: what Spark
  costs before any feature is computed (reading, hashing, the shuffle, the
  Arrow transfer to the Python workers and their pandas frames);
* ``single``: ``build_feature_frame`` on the pandas tables in memory, in
  this process (both cores).

``--per-entity N`` (default 500; 0 leaves it out) also runs, on the first
N entities only and in one round, the README's former example (a cogroup
on the entity, one ``build_feature_frame`` call per entity) beside the
bucketed job on the same sample.

The first round checks every Spark result against ``build_feature_frame``
bit for bit (rows sorted by entity and target date) before any time counts;
the rounds then alternate between the jobs; medians. CPU: the process time
of this process and every process under it (the JVM, Spark's Python daemon
and workers, and the workers it reaped).
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

from whole_job import HORIZONS, OPERATORS, cached  # noqa: E402

OPTIONS = dict(horizons=HORIZONS, operators=OPERATORS)


def tree_cpu_seconds() -> float:
    """User and system time of this process and of every process under it,
    with the children each one reaped."""
    parents, times = {}, {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:  # ended meanwhile
            continue
        parents[int(name)] = int(fields[1])
        times[int(name)] = sum(int(x) for x in fields[11:15])  # utime, stime, cutime, cstime
    tree, grown = {os.getpid()}, True
    while grown:
        below = {pid for pid, parent in parents.items() if parent in tree} - tree
        tree |= below
        grown = bool(below)
    return sum(times[pid] for pid in tree) / os.sysconf("SC_CLK_TCK")


def pandas_tables(data, entities=None):
    import pandas as pd

    trx = pd.DataFrame({k: data[k] for k in ("entity", "timestamp", "quantity", "dimension")})
    tgt = pd.DataFrame({"entity": data["target_entity"], "target_date": data["target_date"]})
    if entities is not None:
        trx, tgt = trx[trx["entity"].isin(entities)], tgt[tgt["entity"].isin(entities)]
    return trx.reset_index(drop=True), tgt.reset_index(drop=True)


def write_parquet(frames, directory):
    paths = []
    for name, frame in zip(("trx", "tgt"), frames):
        paths.append(os.path.join(directory, name + ".parquet"))
        frame.to_parquet(paths[-1], index=False, coerce_timestamps="us")
    return paths


def sorted_bits(frame):
    """Entities, target dates (int64 ns) and feature bits, rows sorted by entity and date."""
    entity = frame["entity"].to_numpy()
    dates = frame["target_date"].to_numpy("datetime64[ns]").view(np.int64)
    order = np.lexsort((dates, entity))
    bits = np.ascontiguousarray(frame.iloc[:, 2:].to_numpy(np.float32)).view(np.uint32)
    return entity[order], dates[order], bits[order]


def check(name, got, want) -> None:
    if list(got.columns) != list(want.columns):
        raise SystemExit(f"{name}: columns differ from build_feature_frame's")
    for part, a, b in zip(("entities", "target dates", "feature bits"), sorted_bits(got), sorted_bits(want)):
        if not np.array_equal(a, b):
            raise SystemExit(f"{name}: the {part} differ from build_feature_frame's")


def spark_jobs(spark, paths, buckets, empty=None):
    """name -> a function returning the lazy Spark DataFrame of the job; with
    ``empty`` (the result's columns, no row) the bucketed job and the floor,
    else the bucketed job and the per-entity one."""
    from pyspark.sql import functions as F

    from quelmar.afe.domain.modelling.feature_frame import build_feature_frame, build_feature_frame_spark

    def tables():
        return spark.read.parquet(paths[0]), spark.read.parquet(paths[1])

    def bucketed():
        trx, tgt = tables()
        return build_feature_frame_spark(trx, tgt, **OPTIONS, buckets=buckets)

    schema = bucketed().schema

    def floor():
        # the buckets as build_feature_frame_spark makes them for two bigint id columns
        trx, tgt = tables()
        trx = trx.withColumn("bucket", F.pmod(F.xxhash64("entity"), F.lit(buckets)))
        tgt = tgt.withColumn("bucket", F.pmod(F.xxhash64("entity"), F.lit(buckets)))
        return trx.groupBy("bucket").cogroup(tgt.groupBy("bucket")).applyInPandas(lambda a, b: empty, schema=schema)

    def by_entity():
        # the README's former example: one group, and one front end call, per entity
        trx, tgt = tables()
        dims = sorted(r[0] for r in trx.select("dimension").distinct().collect())

        def per_entity(trx_pdf, targets_pdf):
            return build_feature_frame(trx_pdf, targets_pdf, **OPTIONS, dimension_values=dims)

        return trx.groupBy("entity").cogroup(tgt.groupBy("entity")).applyInPandas(per_entity, schema=schema)

    if empty is None:
        return {"per entity (sample)": by_entity, "bucketed (sample)": bucketed}
    return {"bucketed": bucketed, "floor": floor}


def timed(job):
    cpu, start = tree_cpu_seconds(), time.perf_counter()
    result = job()
    return result, dict(wall=time.perf_counter() - start, cpu=tree_cpu_seconds() - cpu)


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entities", type=int, default=20_000)
    parser.add_argument("--buckets", type=int, default=8, help="entity buckets and shuffle partitions")
    parser.add_argument("--repeat", type=int, default=5, help="timed rounds after the check; medians")
    parser.add_argument("--per-entity", type=int, default=500, help="entities of the per-entity sample (0: none)")
    parser.add_argument("--json")
    args = parser.parse_args(argv)

    import pandas as pd
    import pyspark
    from pyspark.sql import SparkSession

    from quelmar.afe.domain.modelling.feature_frame import build_feature_frame

    load_before = os.getloadavg()
    data = cached(args.entities)
    trx, tgt = pandas_tables(data)
    sample_ids = np.unique(data["target_entity"])[:args.per_entity]
    sample = pandas_tables(data, sample_ids) if args.per_entity else None
    del data
    print(f"{args.entities:,} entities, {len(trx):,} transactions, {len(tgt):,} targets; {args.buckets} buckets",
          flush=True)
    work = tempfile.mkdtemp(prefix="spark-bench-", dir=os.environ.get("DFBH_BENCH_TMP"))
    os.environ["PYSPARK_PYTHON"] = sys.executable  # the workers run this interpreter
    spark = (SparkSession.builder.master("local[2]").appName("spark-bench")
             .config("spark.sql.session.timeZone", "UTC")
             .config("spark.sql.shuffle.partitions", str(args.buckets))
             .config("spark.sql.execution.arrow.pyspark.enabled", "true")
             .config("spark.driver.memory", "3g")
             .config("spark.ui.enabled", "false")
             .config("spark.ui.showConsoleProgress", "false")
             .getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    try:
        paths = write_parquet((trx, tgt), work)
        want = build_feature_frame(trx, tgt, **OPTIONS)
        jobs = spark_jobs(spark, paths, args.buckets, empty=want.iloc[:0].copy())
        single = {"single": lambda: build_feature_frame(trx, tgt, **OPTIONS)}
        records = {name: [] for name in list(jobs) + list(single)}
        # the check round, which also starts the Python workers
        check("bucketed", jobs["bucketed"]().toPandas(), want)
        if len(jobs["floor"]().toPandas()):
            raise SystemExit("floor: rows returned")
        print("bucketed: bits equal to build_feature_frame's", flush=True)
        for _ in range(args.repeat):
            for name, job in jobs.items():
                records[name].append(timed(lambda: job().write.format("noop").mode("overwrite").save())[1])
            records["single"].append(timed(single["single"])[1])
        if args.per_entity:
            sample_dir = os.path.join(work, "sample")
            os.mkdir(sample_dir)
            sample_want = build_feature_frame(*sample, **OPTIONS)
            for name, job in spark_jobs(spark, write_parquet(sample, sample_dir), args.buckets).items():
                check(name, job().toPandas(), sample_want)
                records[name] = [timed(lambda: job().write.format("noop").mode("overwrite").save())[1]]
            print(f"per-entity sample of {len(sample_ids):,} entities ({len(sample[0]):,} transactions): "
                  "bits equal", flush=True)
    finally:
        spark.stop()
        shutil.rmtree(work, ignore_errors=True)

    summary = {name: dict(wall=statistics.median(r["wall"] for r in rounds),
                          wall_min=min(r["wall"] for r in rounds), wall_max=max(r["wall"] for r in rounds),
                          cpu=statistics.median(r["cpu"] for r in rounds)) for name, rounds in records.items()}
    ratios = {"bucketed / floor": summary["bucketed"]["wall"] / summary["floor"]["wall"],
              "bucketed / floor, cpu": summary["bucketed"]["cpu"] / summary["floor"]["cpu"],
              "bucketed / single": summary["bucketed"]["wall"] / summary["single"]["wall"],
              "floor / single": summary["floor"]["wall"] / summary["single"]["wall"]}
    if args.per_entity:
        ratios["per entity / bucketed (sample)"] = (summary["per entity (sample)"]["wall"]
                                                    / summary["bucketed (sample)"]["wall"])
    load = os.getloadavg()
    print(f"\nmedian of {args.repeat} (samples: 1 round); load average at the end {load[0]:.2f}")
    print(f"{'job':22} {'wall s':>8} {'min-max':>15} {'cpu s':>8}")
    for name, row in summary.items():
        print(f"{name:22} {row['wall']:8.3f} {row['wall_min']:7.3f}-{row['wall_max']:7.3f} {row['cpu']:8.3f}")
    for name, ratio in ratios.items():
        print(f"{name:32} {ratio:6.2f}x")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(entities=args.entities, transactions=len(trx), targets=len(tgt), buckets=args.buckets,
                           per_entity_sample=dict(entities=len(sample_ids), transactions=len(sample[0]),
                                                  targets=len(sample[1])) if args.per_entity else None,
                           summary=summary, ratios=ratios, rounds=records, load_average_before=load_before,
                           load_average=load,
                           python=platform.python_version(),
                           versions={m.__name__: m.__version__ for m in (np, pd, pyspark)}), f, indent=1)


if __name__ == "__main__":
    main()
