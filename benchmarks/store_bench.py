"""The feature store against rebuilding: appending a day, scoring every
entity, size on disk, LMDB against Redis.

    python benchmarks/store_bench.py                          # 100,000 entities, ~4.9 M rows
    python benchmarks/store_bench.py --entities 1000000       # the issue's size, ~49 M rows
    python benchmarks/store_bench.py --redis redis://127.0.0.1:6379/0 --json benchmarks/results/store.json

Data: the whole job's event log (``whole_job.py``: ~49 transactions per
entity over two years, 10-digit integer ids, 8 dimension codes), features
sum, frequency and max over 7, 30, 90 and 730 days per dimension value (96
columns), so that every row of an entity lies in reach of a target at the
end of the history. The store is made from all but the last ``--days``
days (one day is 1/730 of the history), then each of those days is
appended in turn.

Measured, side by side in one process (wall time, medians where repeated):

* append one day to the store (LMDB; with ``--redis`` the same on Redis);
* rebuild: ``build_feature_frame`` on every row appended so far, every
  entity as of the day after the last; the goal is an append at least 20x
  faster;
* the touched entities' rebuild: ``build_feature_frame`` on the kept rows of
  the entities the day touched, those entities as of the same date; the
  goal is an append within 2x of it;
* scoring every entity from the store as of that date, against
  ``build_feature_frame`` on the rows in reach (goal: no slower); the two
  results are compared bit for bit before any time is reported;
* the store's size on disk against the raw bytes of the rows it keeps (8
  byte time, 4 byte quantity, 1 byte code; goal: at most 2x);
* creating the store and appending on Redis against LMDB (goal: within 3x);
* serving from the LMDB store after the appends, in process: ``feature_row``
  of a random entity as of that date (``--calls`` calls, after a warm-up;
  goal p50 at most 10 µs, p99 at most 50 µs) and ``feature_rows`` of 100
  random entities (goal p99 at most 1 ms), percentiles of each call's wall
  time; with ``--callgrind`` the instructions of the engine's entry per
  ``compute_row`` (``Plan.compute_row``, argument checks included), counted
  by callgrind in a child process over 2,000 entities (needs an unstripped
  build, ``pip install . -Cinstall.strip=false``, for the entry's symbol).
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import whole_job  # noqa: E402
from quelmar.afe.domain.modelling.feature_frame.store.redis_backend import remove_store  # noqa: E402

DAY_MS = 86_400_000
HORIZONS = [7, 30, 90, 730]
OPERATORS = ["sum", "frequency", "max"]


def tables(n_entities: int, days: int):
    import pandas as pd

    data = whole_job.cached(n_entities)
    trx = pd.DataFrame({"entity": data["entity"], "timestamp": data["timestamp"].astype("datetime64[ms]"),
                        "quantity": data["quantity"], "dimension": data["dimension"].astype(np.int8)})
    end = int(trx["timestamp"].max().value // 10**6)
    last_day = (end // DAY_MS) * DAY_MS
    starts = [last_day - k * DAY_MS for k in range(days - 1, -1, -1)]
    ms = trx["timestamp"].to_numpy().view(np.int64)
    history = trx[ms < starts[0]]
    day_tables = [trx[(ms >= a) & (ms < a + DAY_MS)] for a in starts]
    return trx, history, day_tables, last_day + DAY_MS


def timed(work):
    start = time.perf_counter()
    result = work()
    return result, time.perf_counter() - start


def bits_equal(a, b) -> bool:
    return np.array_equal(np.ascontiguousarray(a).view(np.uint32), np.ascontiguousarray(b).view(np.uint32))


def percentiles(ns) -> dict:
    ns = np.asarray(ns, dtype=np.float64) / 1000.0
    return {"p50_us": float(np.percentile(ns, 50)), "p99_us": float(np.percentile(ns, 99)),
            "p999_us": float(np.percentile(ns, 99.9))}


def serving(location: str, entity_ids, today_ms: int, calls: int, label: str = "LMDB") -> dict:
    """feature_row and feature_rows of random entities, timed call by call."""
    from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore

    rng = np.random.default_rng(0)
    at = np.datetime64(today_ms, "ms")
    picks = [int(x) for x in rng.choice(entity_ids, calls)]
    batches = [[int(x) for x in rng.choice(entity_ids, 100)] for _ in range(max(calls // 20, 50))]
    with FeatureStore.open(location) as store:
        for entity in picks[:2000]:  # warm: the pages of the store, the caches
            store.feature_row(entity, at)
        row_ns = []
        for entity in picks:
            start = time.perf_counter_ns()
            store.feature_row(entity, at)
            row_ns.append(time.perf_counter_ns() - start)
        rows_ns = []
        for batch in batches:
            start = time.perf_counter_ns()
            store.feature_rows(batch, at)
            rows_ns.append(time.perf_counter_ns() - start)
    result = {"feature_row": percentiles(row_ns), "feature_rows_100": percentiles(rows_ns), "calls": calls,
              "load_avg_1_5_15": [round(x, 2) for x in os.getloadavg()]}
    print(f"  serving ({label}, in process): " + "feature_row p50 {p50_us:.1f} µs, p99 {p99_us:.1f} µs, p99.9 {p999_us:.1f} µs"
          .format(**result["feature_row"]) +
          "; feature_rows of 100 p50 {p50_us:.0f} µs, p99 {p99_us:.0f} µs".format(**result["feature_rows_100"]) +
          "; load {}".format(result["load_avg_1_5_15"]))
    return result


# the entry itself, not the lambda inside it (a nested toggle would stop the count)
ROW_ENTRY = "*::plan_compute_row(_object*, _object* const*, long)"


def row_instructions(location: str, today_ms: int):
    """Instructions per Plan.compute_row, counted inside the entry only, on
    the values of 2,000 entities of the store (read here: valgrind cannot
    map an LMDB store's address space)."""
    from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore

    if shutil.which("valgrind") is None:
        return None
    with FeatureStore.open(location) as store:
        keys = sorted(store._keys())[:2000]
        values = store._backend.with_entities(keys, lambda cutoff, base, recent: (
            cutoff, [None if v is None else bytes(v) for v in base], [None if v is None else bytes(v) for v in recent]))
    with tempfile.TemporaryDirectory() as tmp:
        out, saved = os.path.join(tmp, "callgrind.out"), os.path.join(tmp, "values.pickle")
        with open(saved, "wb") as f:
            pickle.dump(values, f)
        proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "--collect-atstart=no",
                               "--toggle-collect=" + ROW_ENTRY, sys.executable, os.path.abspath(__file__),
                               "--child-rows", saved, "--today", str(today_ms)],
                              capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0",
                                                                       OPENBLAS_NUM_THREADS="1"))
        if proc.returncode != 0 or not os.path.exists(out):
            print("callgrind child failed:\n" + proc.stderr[-2000:], file=sys.stderr)
            return None
        calls = int(proc.stdout.split()[-1])
        with open(out) as f:
            total = max(int(line.split()[1]) for line in f if line.startswith(("totals:", "summary:")))
    if total == 0:
        print("callgrind counted nothing in the entry: a stripped build?", file=sys.stderr)
        return None
    return total / calls


def child_rows(saved: str, today_ms: int) -> None:
    """compute_row of the saved entities with the store's plan (under callgrind)."""
    from quelmar.afe.domain.modelling.feature_frame.compute import plan_for
    from quelmar.afe.domain.modelling.feature_frame.params import layout_for

    params = store_params()
    plan = plan_for(layout_for(params, range(-128, 128)), params)
    with open(saved, "rb") as f:
        cutoff, base, recent = pickle.load(f)
    row = np.empty(plan.n_columns, np.float32)
    for b, r in zip(base, recent):
        plan.compute_row(row, today_ms, cutoff, b, r)
    print(len(base))


def one_row(appended, entity_ids, today_ms: int, params) -> dict:
    """What the store saves a caller of one entity: ``build_feature_frame``
    with a one-row target table, on every row (a few calls), and on the
    entity's own rows, grouped beforehand (many calls)."""
    import pandas as pd

    from quelmar.afe.domain.modelling.feature_frame import build_feature_frame

    rng = np.random.default_rng(1)
    at = np.datetime64(today_ms, "ms")
    whole = []
    for entity in rng.choice(entity_ids, 5):
        start = time.perf_counter_ns()
        build_feature_frame(appended, pd.DataFrame({"entity": [entity], "target_date": [at]}), params)
        whole.append(time.perf_counter_ns() - start)
    picks = rng.choice(entity_ids, 2000)
    own = {e: rows for e, rows in appended[appended["entity"].isin(picks)].groupby("entity")}
    own_ns = []
    for entity in picks:
        target = pd.DataFrame({"entity": [entity], "target_date": [at]})
        start = time.perf_counter_ns()
        build_feature_frame(own[entity], target, params)
        own_ns.append(time.perf_counter_ns() - start)
    result = {"every_row": percentiles(whole), "own_rows": percentiles(own_ns[200:])}
    print("  build_feature_frame, one target: on every row p50 {:.0f} ms".format(result["every_row"]["p50_us"] / 1000)
          + "; on the entity's own rows p50 {p50_us:.0f} µs, p99 {p99_us:.0f} µs".format(**result["own_rows"]))
    return result


def store_params():
    from quelmar.afe.domain.modelling.feature_frame import FeatureParams

    return FeatureParams(horizons=HORIZONS, operators=OPERATORS, dimension_values=list(range(8)))


def measure(location: str, history, day_tables, today_ms: int, params, label: str) -> dict:
    from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore

    store, create_s = timed(lambda: FeatureStore.create(location, history, params))
    appends = []
    for day in day_tables:
        report, seconds = timed(lambda: store.append(day))
        appends.append({"seconds": seconds, "rows": report.rows, "entities": report.entities,
                        "compacted": report.compacted})
    info = store.info()
    scored, score_s = timed(lambda: store.features(at=np.datetime64(today_ms, "ms")))
    store.close()
    times = " ".join("{:.3f}".format(a["seconds"]) for a in appends)
    print(f"  {label}: create {create_s:.2f} s; append {times} s; "
          f"score every entity {score_s:.2f} s; {info.size_bytes / 2**20:.0f} MiB for {info.rows:,} rows")
    return {"create_s": create_s, "appends": appends, "score_s": score_s, "size_bytes": info.size_bytes,
            "rows": info.rows, "entities": info.entities, "scored": scored}


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entities", type=int, default=100_000)
    parser.add_argument("--days", type=int, default=3, help="days appended, one at a time")
    parser.add_argument("--redis", default=None, help="also measure a store in this Redis server")
    parser.add_argument("--json", default=None)
    parser.add_argument("--calls", type=int, default=20_000, help="feature_row calls timed")
    parser.add_argument("--callgrind", action="store_true", help="instructions per compute_row (valgrind)")
    parser.add_argument("--child-rows", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--today", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child_rows:
        return child_rows(args.child_rows, args.today)
    warnings.simplefilter("ignore")
    import pandas as pd

    from quelmar.afe.domain.modelling.feature_frame import build_feature_frame

    params = store_params()
    trx, history, day_tables, today_ms = tables(args.entities, args.days)
    print(f"{len(trx):,} transactions, {args.entities:,} entities; store made from {len(history):,}, "
          f"then {len(day_tables)} days of ~{int(np.mean([len(d) for d in day_tables])):,} rows appended")
    record = {"entities": args.entities, "transactions": len(trx), "history_rows": len(history),
              "day_rows": [len(d) for d in day_tables], "columns": 96, "horizons": HORIZONS}
    work = tempfile.mkdtemp(prefix="store-bench-")
    try:
        lmdb = measure(os.path.join(work, "store"), history, day_tables, today_ms, params, "LMDB")
        appended = pd.concat([history, *day_tables])
        everyone = pd.DataFrame({"entity": np.sort(appended["entity"].unique()),
                                 "target_date": np.datetime64(today_ms, "ms")})
        rebuilt, rebuild_s = timed(lambda: build_feature_frame(appended, everyone, params))
        scored = lmdb.pop("scored")
        order = np.argsort(scored["entity"].to_numpy(), kind="stable")
        assert scored["entity"].to_numpy()[order].tolist() == rebuilt["entity"].tolist()
        assert bits_equal(scored.iloc[order, 2:].to_numpy(), rebuilt.iloc[:, 2:].to_numpy()), "store != rebuild"
        touched = day_tables[-1]["entity"].unique()
        mine = appended[appended["entity"].isin(touched)]
        targets = pd.DataFrame({"entity": np.sort(touched), "target_date": np.datetime64(today_ms, "ms")})
        _, touched_s = timed(lambda: build_feature_frame(mine, targets, params))
        append_s = statistics.median(a["seconds"] for a in lmdb["appends"])
        raw = 13 * lmdb["rows"]
        record.update(lmdb=lmdb, rebuild_s=rebuild_s, touched_rebuild_s=touched_s, touched_rows=len(mine),
                      touched_entities=len(touched), raw_bytes=raw)
        print(f"  rebuild (build_feature_frame, every row, every entity): {rebuild_s:.2f} s; "
              f"touched entities' rows ({len(mine):,}): {touched_s:.3f} s")
        print(f"  append / rebuild: 1/{rebuild_s / append_s:.0f}; append / touched rebuild: "
              f"{append_s / touched_s:.2f}x; scoring / rebuild: {lmdb['score_s'] / rebuild_s:.2f}x; "
              f"size / raw rows: {lmdb['size_bytes'] / raw:.2f}x")
        record["serving"] = serving(os.path.join(work, "store"), everyone["entity"].to_numpy(), today_ms, args.calls)
        if args.callgrind:
            record["serving"]["compute_row_instructions"] = per_row = row_instructions(
                os.path.join(work, "store"), today_ms)
            if per_row is not None:
                print(f"  instructions per compute_row (callgrind, the entry): {per_row:,.0f}")
        record["build_feature_frame_one_row"] = one_row(appended, everyone["entity"].to_numpy(), today_ms, params)
        if args.redis:
            location = f"{args.redis}?prefix=bench-{uuid.uuid4().hex[:8]}"
            try:
                redis = measure(location, history, day_tables, today_ms, params, "Redis")
                redis["serving"] = serving(location, everyone["entity"].to_numpy(), today_ms, args.calls // 4,
                                           "Redis")
            finally:
                remove_store(location)
            redis_scored = redis.pop("scored")
            assert bits_equal(redis_scored.iloc[:, 2:].to_numpy(), scored.iloc[:, 2:].to_numpy()), "Redis != LMDB"
            record["redis"] = redis
            redis_append = statistics.median(a["seconds"] for a in redis["appends"])
            print(f"  Redis / LMDB: create {redis['create_s'] / lmdb['create_s']:.2f}x, append "
                  f"{redis_append / append_s:.2f}x, scoring {redis['score_s'] / lmdb['score_s']:.2f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(record, out, indent=1)


if __name__ == "__main__":
    main()
