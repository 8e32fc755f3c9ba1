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
* creating the store and appending on Redis against LMDB (goal: within 3x).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
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
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")
    import pandas as pd

    from quelmar.afe.domain.modelling.feature_frame import FeatureParams, build_feature_frame

    params = FeatureParams(horizons=HORIZONS, operators=OPERATORS, dimension_values=list(range(8)))
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
        if args.redis:
            location = f"{args.redis}?prefix=bench-{uuid.uuid4().hex[:8]}"
            redis = measure(location, history, day_tables, today_ms, params, "Redis")
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
