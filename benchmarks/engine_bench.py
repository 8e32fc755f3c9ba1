"""The front end's native path against today's Python path, phase by phase.

    python benchmarks/engine_bench.py                      # 100,000 entities, ~4.9 M rows
    python benchmarks/engine_bench.py --entities 20000 --repeat 3 --callgrind --json out.json

Data: a synthetic event log, rows in no particular order: ~49 transactions
per entity (Poisson), 2 years of datetime64[ns] timestamps, float64
quantities, int64 dimension codes 0..7, int64 entity ids; 3 target dates per
entity; sum, frequency and max at 7/30/90/365 days for every dimension value
(96 columns).

Phases, each run side by side with its rival in one process, alternating,
median of --repeat runs (wall time, and process CPU time over all threads):

* preparation: today = the front end's conversions (timestamps to int64 ms,
  quantities to float32, codes to int8; copies) and its 4-key np.lexsort
  into sorted kernel arrays; native = ``_native.prepare_transactions`` on the
  columns as they are (datetime64[ns], float64, int64), n_jobs 1 and 2.
* compute: today = ``np.full`` NaN output and ``execute`` in batches of
  50,000 targets with a Python loop building each batch's entity map;
  native = ``_native.compute_features`` into ``np.empty`` (the engine fills
  NaN), n_jobs 1 and 2, and into ``np.full`` without the fill.

Every native output is checked against today's bit for bit before a time is
reported. Peak memory above the phase's inputs is measured in child
processes (``/proc/self/clear_refs`` resets VmHWM before the phase);
``--callgrind`` adds instructions per transaction (preparation) and per
target (compute) for n_jobs=1 under ``valgrind --tool=callgrind``: a run
with the phase minus a run that stops before it, all threads counted.
The entity factorisation (``pd.factorize``) is the same for both paths and
timed on its own.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

from quelmar.afe.domain.enums.afe_operator import AfeOperator  # noqa: E402
try:  # the layered front end
    from quelmar.afe.domain.modelling.feature_frame import native as _native  # noqa: E402
    from quelmar.afe.domain.modelling.feature_frame.input import times_of_array  # noqa: E402
    from quelmar.afe.domain.modelling.feature_frame.params import FeatureParams, build_layout  # noqa: E402
except ImportError:  # builds before it, measured beside it (--baseline)
    from quelmar.afe.domain.modelling.feature_frame import _native  # noqa: E402
    from quelmar.afe.domain.modelling.feature_frame._columns import build_layout  # noqa: E402
    from quelmar.afe.domain.modelling.feature_frame._params import FeatureParams  # noqa: E402
    times_of_array = None
from quelmar.afe.domain.modelling.helper import data_frame_builder_helper as dfbh  # noqa: E402
from run import status_kb  # noqa: E402

DAY_MS = 86_400_000
BASE = np.datetime64("2022-01-01", "ns")
HORIZONS = [7, 30, 90, 365]
OPERATORS = [AfeOperator.Sum, AfeOperator.Frequency, AfeOperator.Max]
N_CODES = 8
RESOLUTION_DAY = 2
BATCH = 50_000


# ---------------------------------------------------------------------------
# Data


def generate(n_entities: int, seed: int = 20261207) -> dict:
    rng = np.random.default_rng(seed)
    counts = rng.poisson(49, n_entities)
    n = int(counts.sum())
    entity = np.repeat(np.arange(n_entities), counts)
    rng.shuffle(entity)
    ids = rng.choice(10**10, n_entities, replace=False).astype(np.int64)  # customer ids
    two_years_ns = 730 * 86_400 * 10**9
    return dict(
        entity_id=ids[entity],
        timestamp=BASE + rng.integers(0, two_years_ns, n).astype("timedelta64[ns]"),
        quantity=np.round(rng.gamma(2.0, 20.0, n), 2),
        code=rng.integers(0, N_CODES, n),
        target_id=np.repeat(ids, 3),
        target_date=(BASE + rng.integers(0, two_years_ns, 3 * n_entities).astype("timedelta64[ns]")),
    )


def cached(n_entities: int) -> dict:
    cache = os.environ.get("DFBH_BENCH_CACHE", os.path.join(HERE, "_build", "data"))
    path = os.path.join(cache, "event_log_e{}.npz".format(n_entities))
    if not os.path.exists(path):
        os.makedirs(cache, exist_ok=True)
        np.savez(path + ".tmp.npz", **generate(n_entities))
        os.replace(path + ".tmp.npz", path)
    with np.load(path) as data:
        return {name: data[name] for name in data.files}


def factorize(data: dict):
    import pandas as pd

    codes, uniques = pd.factorize(data["entity_id"], sort=False)
    target_codes = pd.Index(uniques).get_indexer(data["target_id"])
    return np.asarray(codes, dtype=np.int64), len(uniques), np.asarray(target_codes, dtype=np.int64)


def request():
    index_map = {c: c for c in range(N_CODES)}
    layout = build_layout(range(N_CODES), FeatureParams(horizons=HORIZONS, operators=OPERATORS))
    return layout, index_map


# ---------------------------------------------------------------------------
# Today's path, as the front end runs it


class Today:
    """Sorted kernel arrays and each entity's run of row numbers."""

    def __init__(self, entity, n_entities, data):
        # The front end's conversions: copies in the kernel's types.
        ts = data["timestamp"].astype("datetime64[ms]").view(np.int64).copy()
        q = np.array(data["quantity"], dtype=np.float32)
        code = data["code"]
        if code.min() < -128 or code.max() > 127:
            raise ValueError("codes outside int8")
        d = np.array(code, dtype=np.int8)
        perm = np.lexsort((q, d, ~ts, entity))
        m = len(ts)
        self.trx_dates = ts[perm].reshape(m, 1)
        self.trx_q = q[perm].reshape(m, 1)
        self.trx_d = d[perm].reshape(m, 1)
        counts = np.bincount(entity, minlength=n_entities)
        self.starts = np.zeros(n_entities, dtype=np.int64)
        np.cumsum(counts[:-1], out=self.starts[1:])
        self.counts = counts
        self.rows = np.arange(m, dtype=np.int32)

    def compute(self, target_codes, target_ms, layout, index_map):
        n = len(target_codes)
        out = np.full((n, len(layout.names)), np.nan, dtype=np.float32)
        column_name_map = layout.column_name_map
        for start in range(0, n, BATCH):
            stop = min(n, start + BATCH)
            views, entity_index_map = {}, {}
            for i, code in enumerate(target_codes[start:stop].tolist()):
                if code < 0:
                    continue
                view = views.get(code)
                if view is None:
                    s = int(self.starts[code])
                    view = views[code] = self.rows[s:s + int(self.counts[code])]
                entity_index_map[i] = view
            splits = np.arange(stop - start, dtype=np.int32).reshape(1, -1)
            dfbh.execute(out[start:stop], 1, 0, 0, 0, splits, layout.horizons_arg, 0, RESOLUTION_DAY, index_map,
                         self.trx_dates, self.trx_q, self.trx_d, entity_index_map,
                         np.array(target_ms[start:stop], dtype=np.int64), layout.included, layout.set_one,
                         layout.set_two, column_name_map, layout.nearest_exponent, -1, False, False)
        return out


def milliseconds(dates):
    return _native.milliseconds(dates) if times_of_array is None else times_of_array(dates).milliseconds()


def native_prepare(entity, n_entities, data, n_jobs):
    if times_of_array is None:
        return _native.prepare_transactions(entity, n_entities, data["timestamp"], data["quantity"], data["code"],
                                            n_jobs=n_jobs)
    times = times_of_array(data["timestamp"])  # the counts as they are, and their unit
    return _native.prepare_transactions(entity, n_entities, times.counts, data["quantity"], data["code"],
                                        ms_ratio=times.ratio, n_jobs=n_jobs)


def native_compute(prepared, target_codes, target_ms, layout, index_map, n_jobs, prefilled=False):
    if prefilled:
        out = np.full((len(target_codes), len(layout.names)), np.nan, dtype=np.float32)
        return _native.compute_features(out, prepared, target_codes, target_ms, layout, index_map,
                                        resolution=RESOLUTION_DAY, n_jobs=n_jobs, fill_nan=False)
    out = np.empty((len(target_codes), len(layout.names)), dtype=np.float32)
    return _native.compute_features(out, prepared, target_codes, target_ms, layout, index_map,
                                    resolution=RESOLUTION_DAY, n_jobs=n_jobs)


# ---------------------------------------------------------------------------
# Measurement


def timed(run):
    gc.collect()
    wall, cpu = time.perf_counter(), time.process_time()
    result = run()
    return result, time.perf_counter() - wall, time.process_time() - cpu


def side_by_side(runs: dict, repeat: int, check) -> dict:
    """Runs every entry of `runs` in turn, `repeat` rounds; medians."""
    walls = {name: [] for name in runs}
    cpus = {name: [] for name in runs}
    for _ in range(repeat):
        for name, run in runs.items():
            result, wall, cpu = timed(run)
            check(name, result)
            del result
            walls[name].append(wall)
            cpus[name].append(cpu)
    return {name: {"wall_s": statistics.median(walls[name]), "cpu_s": statistics.median(cpus[name]),
                   "walls": walls[name]} for name in runs}


def same_prepared(prepared, today: Today) -> bool:
    return (np.array_equal(prepared.dates, today.trx_dates[:, 0])
            and np.array_equal(prepared.quantities.view(np.uint32), today.trx_q[:, 0].view(np.uint32))
            and np.array_equal(prepared.codes, today.trx_d[:, 0]))


PHASES = ("prepare-today", "prepare-native-1", "prepare-native-2", "compute-today", "compute-native-1",
          "compute-native-2")


def run_phase(phase, entity, n_entities, data, target_codes, target_ms, layout, index_map, setup):
    """The phase's work; `setup` is what it needs from the phase before."""
    kind, path = phase.split("-")[:2]
    jobs = int(phase.split("-")[2]) if path == "native" else 1
    if kind == "prepare":
        if path == "today":
            return Today(entity, n_entities, data)
        return native_prepare(entity, n_entities, data, jobs)
    if path == "today":
        return setup.compute(target_codes, target_ms, layout, index_map)
    return native_compute(setup, target_codes, target_ms, layout, index_map, jobs)


def child_main(args) -> None:
    data = cached(args.entities)
    entity, n_entities, target_codes = factorize(data)
    target_ms = milliseconds(data["target_date"])
    layout, index_map = request()
    phase = args.child_phase
    setup = None
    if phase.startswith("compute"):
        setup = Today(entity, n_entities, data) if "today" in phase else native_prepare(entity, n_entities, data, 2)
    gc.collect()
    if args.child == "memory":
        before = status_kb("VmRSS")
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak resident size starts again from the current one
        result = run_phase(phase, entity, n_entities, data, target_codes, target_ms, layout, index_map, setup)
        peak = status_kb("VmHWM")
        output = result.nbytes if isinstance(result, np.ndarray) else 0
        print(json.dumps({"peak_above_inputs_bytes": max(peak - before, 0) * 1024, "output_bytes": output}))
    elif not args.baseline:
        # Counted as the difference to a baseline run that stops here: the
        # engine works on threads of its own, which a collection switch on
        # this thread would miss.
        run_phase(phase, entity, n_entities, data, target_codes, target_ms, layout, index_map, setup)


def child(kind: str, phase: str, entities: int, prefix=(), baseline=False):
    cmd = list(prefix) + [sys.executable, os.path.abspath(__file__), "--child", kind, "--child-phase", phase,
                          "--entities", str(entities)] + (["--baseline"] if baseline else [])
    # Python's hash seed changes the instructions of dict work from run to run,
    # and OpenBLAS's idle threads spin for as long as the run takes (under
    # valgrind, some per cent of a phase, different every run).
    return subprocess.run(cmd, capture_output=True, text=True,
                          env=dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1"))


def measure_memory(phase: str, entities: int):
    proc = child("memory", phase, entities)
    if proc.returncode != 0:
        print("memory child {} failed:\n{}".format(phase, proc.stderr[-2000:]), file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


def measure_instructions(phase: str, entities: int):
    """Instructions of the phase, all threads: a run with it minus a run
    without it, both under callgrind from the start."""
    if shutil.which("valgrind") is None:
        return None
    totals = []
    for baseline in (False, True):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "callgrind.out")
            proc = child("callgrind", phase, entities, baseline=baseline,
                         prefix=["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out])
            if proc.returncode != 0 or not os.path.exists(out):
                print("callgrind child {} failed:\n{}".format(phase, proc.stderr[-2000:]), file=sys.stderr)
                return None
            with open(out) as f:
                totals.append(max(int(line.split()[1]) for line in f
                                  if line.startswith("totals:") or line.startswith("summary:")))
    return totals[0] - totals[1]


def machine() -> dict:
    load = os.getloadavg()
    return {"python": platform.python_version(), "numpy": np.__version__, "cpus": os.cpu_count(),
            "load_avg_1_5_15": [round(x, 2) for x in load]}


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entities", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--callgrind", action="store_true", help="instructions per row (with --entities small)")
    parser.add_argument("--json")
    parser.add_argument("--child", choices=["memory", "callgrind"], help=argparse.SUPPRESS)
    parser.add_argument("--child-phase", help=argparse.SUPPRESS)
    parser.add_argument("--baseline", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child_main(args)
        return

    data = cached(args.entities)
    _, factorize_wall, factorize_cpu = timed(lambda: factorize(data))
    entity, n_entities, target_codes = factorize(data)
    target_ms = milliseconds(data["target_date"])
    layout, index_map = request()
    n_rows, n_targets = len(entity), len(target_codes)
    record = {"machine_before": machine(), "entities": n_entities, "transactions": n_rows, "targets": n_targets,
              "columns": len(layout.names), "factorize": {"wall_s": factorize_wall, "cpu_s": factorize_cpu}}
    print("{} entities, {} transactions, {} targets, {} columns; load {}".format(
        n_entities, n_rows, n_targets, len(layout.names), record["machine_before"]["load_avg_1_5_15"]))

    today = Today(entity, n_entities, data)

    def check_prepared(name, result):
        if name != "today" and not same_prepared(result, today):
            raise AssertionError("native preparation differs from the lexsort order")

    record["prepare"] = side_by_side({
        "today": lambda: Today(entity, n_entities, data),
        "native n_jobs=1": lambda: native_prepare(entity, n_entities, data, 1),
        "native n_jobs=2": lambda: native_prepare(entity, n_entities, data, 2),
    }, args.repeat, check_prepared)

    prepared = native_prepare(entity, n_entities, data, 2)
    reference = today.compute(target_codes, target_ms, layout, index_map)
    # The engine's sums are the float32 nearest the exact sum, execute's are
    # added up in float32: those columns agree to float32 rounding, every
    # other column bit for bit.
    summed = np.array(["__sum__" in n or "__density__" in n or "__ratio__" in n for n in layout.names])

    def check_features(name, result):
        if not np.array_equal(result[:, ~summed].view(np.uint32), reference[:, ~summed].view(np.uint32)) or \
                not np.allclose(result[:, summed], reference[:, summed], rtol=1e-5, equal_nan=True):
            raise AssertionError("{}: features differ from execute's".format(name))

    record["compute"] = side_by_side({
        "today": lambda: today.compute(target_codes, target_ms, layout, index_map),
        "native n_jobs=1": lambda: native_compute(prepared, target_codes, target_ms, layout, index_map, 1),
        "native n_jobs=2": lambda: native_compute(prepared, target_codes, target_ms, layout, index_map, 2),
        "native n_jobs=2, np.full": lambda: native_compute(prepared, target_codes, target_ms, layout, index_map, 2,
                                                           prefilled=True),
    }, args.repeat, check_features)
    record["machine_after"] = machine()

    for phase in ("prepare", "compute"):
        base = record[phase]["today"]
        print("\n{}: median of {} (wall / process cpu)".format(phase, args.repeat))
        for name, result in record[phase].items():
            print("  {:<28} {:7.3f} s  {:7.3f} s cpu   today / this: {:5.2f}x wall".format(
                name, result["wall_s"], result["cpu_s"], base["wall_s"] / result["wall_s"]))
    one, two = record["compute"]["native n_jobs=1"], record["compute"]["native n_jobs=2"]
    print("\ncompute n_jobs=1 / n_jobs=2: {:.2f}x wall".format(one["wall_s"] / two["wall_s"]))
    p1, p2 = record["prepare"]["native n_jobs=1"], record["prepare"]["native n_jobs=2"]
    print("prepare n_jobs=1 / n_jobs=2: {:.2f}x wall".format(p1["wall_s"] / p2["wall_s"]))
    print("factorize (same on both paths): {:.3f} s".format(factorize_wall))
    print("load before / after: {} / {}".format(record["machine_before"]["load_avg_1_5_15"],
                                                record["machine_after"]["load_avg_1_5_15"]))

    if not args.no_memory:
        record["memory"] = {}
        print("\npeak memory above the phase's inputs (MB):")
        for phase in PHASES:
            result = measure_memory(phase, args.entities)
            record["memory"][phase] = result
            if result:
                print("  {:<20} {:8.1f}   (output {:.1f})".format(
                    phase, result["peak_above_inputs_bytes"] / 1e6, result["output_bytes"] / 1e6))
        record["transaction_table_bytes"] = sum(data[k].nbytes for k in ("entity_id", "timestamp", "quantity", "code"))
        print("  transaction table: {:.1f} MB".format(record["transaction_table_bytes"] / 1e6))

    if args.callgrind:
        record["callgrind"] = {}
        print("\ninstructions (callgrind, n_jobs=1 and today's path):")
        for phase, per, count in (("prepare-today", "transaction", n_rows), ("prepare-native-1", "transaction", n_rows),
                                  ("compute-today", "target", n_targets), ("compute-native-1", "target", n_targets)):
            total = measure_instructions(phase, args.entities)
            record["callgrind"][phase] = total
            if total:
                print("  {:<20} {:10.1f} per {}".format(phase, total / count, per))

    if args.json:
        with open(args.json, "w") as f:
            json.dump(record, f, indent=1)


if __name__ == "__main__":
    main()
