"""Benchmark runner: the module against a lower bound and against the peers.

    python benchmarks/run.py                       # every workload, small size
    python benchmarks/run.py --workload W1 --size large --peers --json w1.json
    python benchmarks/run.py --size small --callgrind   # instructions per transaction
    python benchmarks/run.py --scaling --workload W1    # cost over 4 sizes
    python benchmarks/run.py --bound-baseline REV        # also the lower bound of git revision REV

For each workload and row layout it reports the median wall time of
`execute`, scanned transactions and written result cells per second, the
peak extra memory of the call beyond its inputs and output, and, with
--callgrind, instructions per scanned transaction; the same for the
lower-bound loop (lower_bound.cpp) and, with --peers, for the pandas, polars
and DuckDB versions of the W1 features. Every output is checked against the
others before a time is reported: the lower bound and the module must agree
cell for cell, the peers up to float32 rounding.
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
from typing import Callable, Dict, List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

import generate  # noqa: E402
import lowerbound  # noqa: E402

# The lower bound of another git revision, when --bound-baseline names one.
BASELINE = "bound_baseline"

MODULE = "quelmar.afe.domain.modelling.helper.data_frame_builder_helper"
PEER_NAMES = ("pandas", "polars", "duckdb")
# Peers are checked against the module up to float32 rounding: their sums
# run in another order and often in double precision.
PEER_RTOL = 1e-5


def module_execute() -> Optional[Callable]:
    try:
        import importlib

        mod = importlib.import_module(MODULE)
    except ImportError as exc:
        print("module not importable: {}".format(exc), file=sys.stderr)
        return None
    return getattr(mod, "execute", None)


def baseline_bound(rev: str):
    """lowerbound.py and lower_bound.cpp as of git revision `rev`, extracted
    under _build and imported as a module of their own (their library is
    built next to them), so that a new bound can be timed against an older
    one in the same run."""
    import importlib.util
    import re

    if not re.fullmatch(r"[0-9A-Za-z._/~^-]+", rev):
        raise ValueError("not a git revision: {!r}".format(rev))
    sha = subprocess.run(["git", "-C", HERE, "rev-parse", "--short", rev + "^{commit}"], check=True,
                         capture_output=True, text=True).stdout.strip()
    where = os.path.join(lowerbound.BUILD, "baseline-" + sha)
    os.makedirs(where, exist_ok=True)
    for name in ("lowerbound.py", "lower_bound.cpp"):
        text = subprocess.run(["git", "-C", HERE, "show", "{}:benchmarks/{}".format(sha, name)], check=True,
                              capture_output=True).stdout
        path = os.path.join(where, name)
        old = open(path, "rb").read() if os.path.exists(path) else None
        if old != text:
            with open(path, "wb") as f:
                f.write(text)
    spec = importlib.util.spec_from_file_location("lowerbound_" + sha, os.path.join(where, "lowerbound.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.REVISION = sha
    return module


def load_call(workload: str, size: str, layout: str) -> generate.Call:
    wl = generate.WORKLOADS[workload]
    return generate.build_call(workload, generate.dataset(wl.shape, size, layout))


class Target:
    """One implementation prepared for one call: `run(result)` does the work."""

    def __init__(self, name: str, call: generate.Call, peer_inputs=None, baseline=None):
        self.name = name
        self.call = call
        if name == "module":
            execute = module_execute()
            if execute is None:
                raise RuntimeError("the module has no execute")
            kwargs = call.kwargs

            def run(result):
                execute(**dict(kwargs, result_frame=result))

            self.run = run
        elif name == "lower_bound":
            lb = lowerbound.LowerBound(call)
            self.run = lb.run
        elif name == BASELINE:
            self.run = baseline_bound(baseline).LowerBound(call).run
        elif name in PEER_NAMES:
            import peers

            placement, pdata = peer_inputs if peer_inputs else (peers.Placement(call), peers.PeerData(call))
            self.run = peers.PEERS[name](call, pdata, placement).run
        else:
            raise ValueError(name)


def time_runs(run: Callable, result: np.ndarray, repeat: int) -> dict:
    """Wall and process CPU time of `repeat` runs. On a shared machine the CPU
    time of a single-threaded run is the steadier figure; the peers use
    several threads, so for them only wall time compares."""
    wall, cpu = [], []
    for _ in range(repeat):
        gc.collect()
        c0 = time.process_time()
        t0 = time.perf_counter()
        run(result)
        wall.append(time.perf_counter() - t0)
        cpu.append(time.process_time() - c0)
    return {"times_s": wall, "cpu_times_s": cpu, "median_s": statistics.median(wall),
            "min_s": min(wall), "median_cpu_s": statistics.median(cpu)}


def compare(out: np.ndarray, ref: np.ndarray, rtol: float) -> dict:
    """Cells that differ: NaN against a number, or numbers beyond `rtol`."""
    nan_o, nan_r = np.isnan(out), np.isnan(ref)
    nan_diff = int(np.count_nonzero(nan_o != nan_r))
    both = ~(nan_o | nan_r)
    if rtol == 0:
        val_diff = int(np.count_nonzero(out[both] != ref[both]))
    else:
        val_diff = int(np.count_nonzero(~np.isclose(out[both], ref[both], rtol=rtol, atol=0)))
    return {"cells": int(out.size), "nan_mismatch": nan_diff, "value_mismatch": val_diff,
            "ok": nan_diff == 0 and val_diff == 0, "rtol": rtol}


# ---------------------------------------------------------------------------
# Child processes: peak memory and callgrind


def status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def child_main(args) -> None:
    call = load_call(args.workload[0], args.size, args.layout[0])
    target = Target(args.target, call, baseline=args.bound_baseline)
    result = call.new_result_frame()
    if args.child == "memory":
        gc.collect()
        before = status_kb("VmRSS")
        # Writing 5 resets the peak resident set size to the current one.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        target.run(result)
        peak = status_kb("VmHWM")
        print(json.dumps({"extra_peak_bytes": max(peak - before, 0) * 1024}))
    elif args.child == "callgrind":
        lib = lowerbound.LowerBound(call).lib
        lib.lb_collect_toggle()
        target.run(result)
        lib.lb_collect_toggle()
    else:
        raise ValueError(args.child)


def _child_cmd(kind: str, target: str, workload: str, size: str, layout: str,
               baseline: Optional[str] = None) -> List[str]:
    cmd = [sys.executable, os.path.abspath(__file__), "--child", kind, "--target", target,
           "--workload", workload, "--size", size, "--layout", layout]
    return cmd + (["--bound-baseline", baseline] if baseline else [])


def measure_memory(target: str, workload: str, size: str, layout: str, baseline: Optional[str] = None) -> Optional[int]:
    proc = subprocess.run(_child_cmd("memory", target, workload, size, layout, baseline), capture_output=True,
                          text=True)
    if proc.returncode != 0:
        print("memory child for {} failed:\n{}".format(target, proc.stderr[-2000:]), file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])["extra_peak_bytes"]


def measure_instructions(target: str, workload: str, size: str, layout: str,
                         baseline: Optional[str] = None) -> Optional[int]:
    """Instructions (Ir) of one run under callgrind, collected only around the call."""
    if shutil.which("valgrind") is None:
        print("valgrind not found; skipping instruction counts", file=sys.stderr)
        return None
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--callgrind-out-file=" + out]
        proc = subprocess.run(cmd + _child_cmd("callgrind", target, workload, size, layout, baseline),
                              capture_output=True, text=True)
        if proc.returncode != 0 or not os.path.exists(out):
            print("callgrind child for {} failed:\n{}".format(target, proc.stderr[-2000:]), file=sys.stderr)
            return None
        total = None
        with open(out) as f:
            for line in f:
                if line.startswith("totals:") or line.startswith("summary:"):
                    total = int(line.split()[1])
        if target == "module" and (total or 0) < 1000:
            print("callgrind counted almost nothing for the module", file=sys.stderr)
        return total


# ---------------------------------------------------------------------------
# The main run


def bench_one(workload: str, size: str, layout: str, opts) -> dict:
    call = load_call(workload, size, layout)
    data = call.data
    rec = {
        "workload": workload,
        "size": size,
        "layout": layout,
        "entities": data.n_entities,
        "rows": data.n_rows,
        "scanned": generate.scanned_rows(call),
        "result_shape": [call.n_result_rows, call.n_columns],
    }
    repeat = opts.repeat

    # Lower bound: its output is the reference the module is checked against.
    lb = lowerbound.LowerBound(call)
    ref = call.new_result_frame()
    counters = lb.run(ref)
    rec["scanned_by_lower_bound"] = counters.rows_scanned
    rec["accepted"] = counters.rows_accepted
    rec["cells"] = counters.cells_written
    rec["entities_with_rows"] = counters.entities
    rec["lower_bound"] = time_runs(lb.run, call.new_result_frame(), repeat)
    del lb
    gc.collect()

    if opts.bound_baseline:
        old = baseline_bound(opts.bound_baseline).LowerBound(call)
        out = call.new_result_frame()
        old.run(out)
        check = compare(out, ref, 0.0)
        del out
        rec[BASELINE] = time_runs(old.run, call.new_result_frame(), repeat)
        rec[BASELINE].update(check_vs_lower_bound=check, revision=opts.bound_baseline)
        del old
        gc.collect()

    module_out = None
    if module_execute() is not None and not opts.no_module:
        mod = Target("module", call)
        module_out = call.new_result_frame()
        mod.run(module_out)
        check = compare(module_out, ref, 0.0)
        rec["module"] = time_runs(mod.run, call.new_result_frame(), repeat)
        rec["module"]["check_vs_lower_bound"] = check
        del mod
        gc.collect()

    if opts.peers and call.workload.name == "W1":
        import peers

        peer_inputs = (peers.Placement(call), peers.PeerData(call))
        rec["peers"] = {}
        for name in opts.peer_list:
            try:
                __import__(name)
            except ImportError:
                print("{} is not installed; skipping it (pip install -r benchmarks/requirements.txt)".format(name),
                      file=sys.stderr)
                continue
            p = Target(name, call, peer_inputs)
            out = call.new_result_frame()
            p.run(out)
            against = "module" if module_out is not None else "lower_bound"
            check = compare(out, module_out if module_out is not None else ref, PEER_RTOL)
            del out
            rec["peers"][name] = time_runs(p.run, call.new_result_frame(), max(1, min(repeat, opts.peer_repeat)))
            rec["peers"][name].update(check_against=against, check=check)
            del p
            gc.collect()
    del ref, module_out
    gc.collect()

    bounds = ["lower_bound"] + ([BASELINE] if BASELINE in rec else [])
    targets = bounds + (["module"] if "module" in rec else []) + list(rec.get("peers", {}))
    if opts.memory:
        for t in targets:
            b = measure_memory(t, workload, size, layout, opts.bound_baseline)
            entry = rec["peers"][t] if t in PEER_NAMES else rec[t]
            entry["extra_peak_bytes"] = b
    if opts.callgrind:
        for t in [x for x in targets if x not in PEER_NAMES]:
            ir = measure_instructions(t, workload, size, layout, opts.bound_baseline)
            rec[t]["instructions"] = ir
            rec[t]["instructions_per_scanned"] = ir / rec["scanned"] if ir else None
            rec[t]["instructions_per_entity"] = ir / rec["entities_with_rows"] if ir else None
            rec[t]["instructions_per_cell"] = ir / rec["cells"] if ir else None

    for t in [x for x in ("lower_bound", BASELINE, "module") if x in rec]:
        m = rec[t]["median_s"]
        rec[t]["scanned_per_s"] = rec["scanned"] / m
        rec[t]["cells_per_s"] = rec["cells"] / m
    if "module" in rec:
        rec["module_over_lower_bound"] = rec["module"]["median_s"] / rec["lower_bound"]["median_s"]
        rec["module_over_lower_bound_cpu"] = rec["module"]["median_cpu_s"] / rec["lower_bound"]["median_cpu_s"]
    for name, p in rec.get("peers", {}).items():
        p["over_lower_bound"] = p["median_s"] / rec["lower_bound"]["median_s"]
        if "module" in rec:
            p["over_module"] = p["median_s"] / rec["module"]["median_s"]
    return rec


def _fmt_s(x):
    return "-" if x is None else ("{:.3f}".format(x) if x >= 0.1 else "{:.4f}".format(x))


def _fmt_mb(b):
    return "-" if b is None else "{:.1f}".format(b / 2**20)


def print_record(rec: dict) -> None:
    print("\n== {workload} {size} {layout}: {entities:,} entities, {rows:,} rows, {scanned:,} scanned, "
          "{accepted:,} accepted, {cells:,} cells written".format(**rec))
    head = "  {:<12s} {:>9s} {:>9s} {:>8s} {:>9s} {:>9s} {:>9s} {:>7s}  {}"
    line = "  {:<12s} {:>9s} {:>9s} {:>8.2f} {:>9.1f} {:>9.1f} {:>9s} {:>7s}  {}"
    print(head.format("impl", "wall s", "cpu s", "x lower", "Mtrx/s", "Mcells/s", "peak MB", "Ir/trx", "check"))
    lb_m = rec["lower_bound"]["median_s"]
    for t in (BASELINE, "lower_bound", "module"):
        if t not in rec:
            continue
        e = rec[t]
        chk = e.get("check_vs_lower_bound")
        chk_s = "" if chk is None else ("same cells as lower bound" if chk["ok"] else
                                        "MISMATCH nan={nan_mismatch} value={value_mismatch}".format(**chk))
        ipt = e.get("instructions_per_scanned")
        if ipt is not None:
            chk_s += "; Ir/entity {:.0f}, Ir/cell {:.2f}".format(e["instructions_per_entity"], e["instructions_per_cell"])
        print(line.format(
            "bound@" + e["revision"] if t == BASELINE else t, _fmt_s(e["median_s"]), _fmt_s(e["median_cpu_s"]), e["median_s"] / lb_m, e["scanned_per_s"] / 1e6,
            e["cells_per_s"] / 1e6, _fmt_mb(e.get("extra_peak_bytes")), "-" if ipt is None else "{:.0f}".format(ipt),
            chk_s))
    for name, p in rec.get("peers", {}).items():
        chk = p["check"]
        chk_s = ("equal to {} (rtol {:g})".format(p["check_against"], chk["rtol"]) if chk["ok"] else
                 "MISMATCH vs {} nan={} value={}".format(p["check_against"], chk["nan_mismatch"],
                                                          chk["value_mismatch"]))
        vs_mod = "; {:.1f}x module".format(p["over_module"]) if "over_module" in p else ""
        print(line.format(
            name, _fmt_s(p["median_s"]), _fmt_s(p["median_cpu_s"]), p["over_lower_bound"],
            rec["scanned"] / p["median_s"] / 1e6, rec["cells"] / p["median_s"] / 1e6,
            _fmt_mb(p.get("extra_peak_bytes")), "-", chk_s + vs_mod))


def scaling(opts) -> List[dict]:
    """Cost over 4 sizes: time per scanned transaction and per written cell."""
    out = []
    for workload in opts.workload:
        shape = generate.WORKLOADS[workload].shape
        top = generate.entity_count(shape, opts.size)
        for layout in opts.layout:
            print("\n== scaling {} {} ({} at most)".format(workload, layout, top))
            print("  {:>10s} {:>11s} {:>12s} {:>9s} {:>9s} {:>9s} {:>9s} {:>9s} {:>9s}".format(
                "entities", "scanned", "cells", "lower s", "module s", "lower cpu", "mod cpu", "ns/trx", "ns/cell"))
            for frac in (8, 4, 2, 1):
                size = "e{}".format(top // frac)
                rec = bench_one(workload, size, layout, opts)
                out.append(rec)
                # CPU time: steadier than wall time on a shared machine.
                m = rec.get("module", rec["lower_bound"])["median_cpu_s"]
                print("  {:>10,d} {:>11,d} {:>12,d} {:>9s} {:>9s} {:>9s} {:>9s} {:>9.1f} {:>9.2f}".format(
                    rec["entities"], rec["scanned"], rec["cells"], _fmt_s(rec["lower_bound"]["median_s"]),
                    _fmt_s(rec["module"]["median_s"]) if "module" in rec else "-",
                    _fmt_s(rec["lower_bound"]["median_cpu_s"]),
                    _fmt_s(rec["module"]["median_cpu_s"]) if "module" in rec else "-",
                    m / rec["scanned"] * 1e9, m / rec["cells"] * 1e9))
    return out


def markdown(paths: List[str]) -> str:
    """The records of JSON files written by --json as a Markdown table."""
    lines = [
        "| workload | layout | impl | wall s | cpu s | x lower (wall) | x lower (cpu) | Mtrx/s | Mcells/s "
        "| peak extra MB | Ir/trx | peer / module (wall) | peer / module (cpu) | check |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for path in paths:
        with open(path) as f:
            info = json.load(f)
        for rec in info["records"]:
            lb = rec["lower_bound"]
            impls = [("bound@" + rec[t]["revision"] if t == BASELINE else t, rec[t])
                     for t in (BASELINE, "lower_bound", "module") if t in rec]
            impls += list(rec.get("peers", {}).items())
            for name, e in impls:
                chk = e.get("check_vs_lower_bound") or e.get("check")
                ok = "" if chk is None else ("ok" if chk["ok"] else "MISMATCH")
                ipt = e.get("instructions_per_scanned")
                mod = rec.get("module")
                peer = name in PEER_NAMES and mod is not None
                lines.append("| {} {} | {} | {} | {} | {} | {:.2f} | {:.2f} | {:.1f} | {:.1f} | {} | {} | {} | {} | {} |".format(
                    rec["workload"], rec["size"], rec["layout"], name, _fmt_s(e["median_s"]), _fmt_s(e["median_cpu_s"]),
                    e["median_s"] / lb["median_s"], e["median_cpu_s"] / lb["median_cpu_s"],
                    rec["scanned"] / e["median_s"] / 1e6, rec["cells"] / e["median_s"] / 1e6,
                    _fmt_mb(e.get("extra_peak_bytes")), "-" if ipt is None else "{:.0f}".format(ipt),
                    "{:.1f}".format(e["median_s"] / mod["median_s"]) if peer else "",
                    "{:.1f}".format(e["median_cpu_s"] / mod["median_cpu_s"]) if peer else "", ok))
    return "\n".join(lines)


def machine() -> dict:
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        import pandas
        import polars
        import duckdb

        libs = {"pandas": pandas.__version__, "polars": polars.__version__, "duckdb": duckdb.__version__}
    except ImportError:
        libs = {}
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(), "numpy": np.__version__,
            "platform": platform.platform(), **libs}


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--workload", action="append", choices=sorted(generate.WORKLOADS),
                   help="workload to run (repeatable; default all)")
    p.add_argument("--size", default="small", help="small, large, or e<entities>")
    p.add_argument("--layout", action="append", choices=generate.LAYOUTS, help="row layout (repeatable; default both)")
    p.add_argument("--repeat", type=int, default=5, help="timed runs per implementation (median reported)")
    p.add_argument("--peers", action="store_true", help="run the pandas, polars and DuckDB peers (W1 only)")
    p.add_argument("--peer", action="append", choices=PEER_NAMES, dest="peer_list", help="only these peers")
    p.add_argument("--peer-repeat", type=int, default=3, help="timed runs per peer (at most --repeat)")
    p.add_argument("--no-memory", dest="memory", action="store_false", help="skip the peak-memory child runs")
    p.add_argument("--callgrind", action="store_true", help="instructions per transaction under callgrind")
    p.add_argument("--no-module", action="store_true", help="leave the module out")
    p.add_argument("--scaling", action="store_true", help="cost over 4 sizes up to --size")
    p.add_argument("--bound-baseline", metavar="REV",
                   help="also time the lower bound of git revision REV, checked against this one cell for cell")
    p.add_argument("--json", help="write the records to this file")
    p.add_argument("--report", nargs="+", metavar="JSON", help="print the records of these files as Markdown")
    p.add_argument("--child", choices=("memory", "callgrind"), help=argparse.SUPPRESS)
    p.add_argument("--target", help=argparse.SUPPRESS)
    opts = p.parse_args(argv)
    if opts.child:
        child_main(opts)
        return
    if opts.report:
        print(markdown(opts.report))
        return
    opts.workload = opts.workload or list(generate.WORKLOADS)
    opts.layout = opts.layout or list(generate.LAYOUTS)
    opts.peer_list = opts.peer_list or list(PEER_NAMES)
    if opts.peers and "W1" not in opts.workload:
        print("--peers compute the W1 features; add --workload W1", file=sys.stderr)
    if opts.callgrind and opts.size == "large":
        print("note: callgrind on the large size is slow (about 50 times native)", file=sys.stderr)

    lowerbound.build()
    info = {"machine": machine(), "size": opts.size, "repeat": opts.repeat, "records": []}
    print("machine: {cpu}, {cores} cores, Python {python}, NumPy {numpy}".format(**info["machine"]))
    if opts.scaling:
        opts.memory = False
        opts.callgrind = False
        info["scaling"] = scaling(opts)
    else:
        for workload in opts.workload:
            for layout in opts.layout:
                rec = bench_one(workload, opts.size, layout, opts)
                print_record(rec)
                sys.stdout.flush()
                info["records"].append(rec)
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump(info, f, indent=1)
        print("\nwrote {}".format(opts.json))


if __name__ == "__main__":
    main()
