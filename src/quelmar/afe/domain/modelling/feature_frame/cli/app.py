"""Command line: ``quelmar-feature-frame`` (``python -m quelmar.afe.domain.modelling.feature_frame``).

Checks every parameter and the output path first, then reads the two tables
(CSV, Parquet or Arrow IPC, only the needed columns, in batches; the files layer)
and writes the features while they are computed (CSV, Parquet or Arrow IPC
by extension, ``-o -`` for CSV on standard output), in buckets
of entities on disk when the inputs would not fit ``--memory-limit``. Ends
with one summary line on standard error.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import sys
import warnings
from typing import List, NoReturn, Optional

from ..compute import BuildReport, TargetGrid, build_with_report, prepare_build
from ..errors import MissingQuantityWarning, UsageError
from ..files import (MemoryPlan, Source, available_limit, check_output, check_row_number, kinds_of,
    write_feature_frame, write_files, write_in_memory)
from ..params import FeatureParams
from ..support import installed_version, preload
from . import demo, serve_cmd, store_cmd
from .common import PROG, RUN_MODULES, add_parameter_options, params_from_args, run_stoppable


# --------------------------------------------------------------------------
# arguments


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Aggregate features for (entity, target date) pairs from a transaction history. "
        "Windows end OFFSET units before each target date; see the README's semantics table.",
    )
    tables = "a .csv[.gz], .parquet, .arrow or .feather file, or a directory of parts"
    p.add_argument("transactions", nargs="?", help=f"transaction table: {tables}")
    p.add_argument("targets", nargs="?", help=f"target table (entity, target date): {tables}")
    p.add_argument("-o", "--output",
                   help="output file, .csv[.gz], .parquet, .arrow or .feather; '-' for CSV on standard output")
    p.add_argument("--version", action="version", version=f"%(prog)s {installed_version()}")
    sections = {name: p.add_argument_group(name) for name in ("features", "columns", "running")}
    add_parameter_options(sections)
    s = p.add_argument_group("target schedule (in place of TARGETS)")
    s.add_argument("--every", help="a target every interval: '1d', '7d', '1h', '1mo' (30 days)")
    s.add_argument("--from", dest="grid_from", help="first target date of every entity (a date, or an integer)")
    s.add_argument("--to", dest="grid_to", help="last target date (included)")
    s.add_argument("--from-first-transaction", action="store_true",
                   help="start each entity at the first scheduled date after its first transaction")
    sections["columns"].add_argument(
        "--row-number", default=None, metavar="NAME",
        help="also write each target's position in the target table as column NAME, "
        "by which the target order can be restored after a run in buckets")
    r = sections["running"]
    r.add_argument("--memory-limit", default=None,
                   help="memory budget such as 4G or 512M; inputs that would not fit are split into buckets "
                   "of entities on disk beside the output; default: 80%% of the memory available")
    r.add_argument("--buckets", type=int, default=None,
                   help="split the inputs into this many buckets of entities on disk, whatever the budget")
    r.add_argument("--progress", action="store_true", help="progress bars while reading, computing and writing")
    r.add_argument("--demo", action="store_true", help="build features of a synthetic history and print them")
    r.add_argument("--demo-entities", type=int, default=5, help="entities of the synthetic history")
    r.add_argument("--seed", type=int, default=0, help="random seed of the synthetic history")
    return p


# --------------------------------------------------------------------------
# main


def main(argv: Optional[List[str]] = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["store"]:
        return store_cmd.main(argv[1:])
    if argv[:1] == ["serve"]:
        return serve_cmd.main(argv[1:])
    return run_stoppable(_run, _parser().parse_args(argv))


def program() -> NoReturn:
    """``quelmar-feature-frame`` as the whole process (the console script,
    ``python -m``). Once the run has ended, its output is in place (or its
    error said) and nothing is left to do: the process ends with the run's
    status without the interpreter's teardown. That teardown (pyarrow,
    pandas) takes a while, and a SIGTERM or Ctrl-C in it would kill the
    process by the signal after a run that succeeded."""
    status = main()
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):  # a reader gone away: nothing more to say
            stream.flush()
    os._exit(status)


def _run(args) -> int:
    params = params_from_args(args)
    if args.demo:
        return _run_demo(args, params)
    grid = target_grid(args)
    if not args.transactions or not (args.targets or grid) or not args.output:
        raise UsageError("TRANSACTIONS, TARGETS and -o OUT are required (a schedule, --every, --from and --to, "
                         "may replace TARGETS; or use --demo)")
    if grid is not None and args.targets:
        raise UsageError(f"give either TARGETS ({args.targets}) or a schedule (--every, --from, --to), not both")
    check_output(args.output)
    check_row_number(params, args.row_number)
    preload(*RUN_MODULES, *(("tqdm",) if args.progress else ()))
    if args.buckets is not None and args.buckets < 1:
        raise UsageError(f"--buckets: expected a positive integer, got {args.buckets}")
    limit = available_limit(args.memory_limit)
    trx_kinds, tgt_kinds = kinds_of(params)
    trx = Source(args.transactions, trx_kinds)
    with warnings.catch_warnings():
        # the summary line reports the dropped rows
        warnings.simplefilter("ignore", MissingQuantityWarning)
        if grid is not None:
            # a schedule's targets are made in memory from the transactions' entities
            job = prepare_build(trx.read(args.progress), grid, params, progress=args.progress,
                                names=(trx.path, "schedule"), first_lines=(trx.first_line, None))
            report = write_in_memory(job, args.output, args.progress, args.row_number)
        else:
            tgt = Source(args.targets, tgt_kinds)
            plan = MemoryPlan(trx, tgt, limit, args.buckets)
            report = write_files(trx, tgt, args.output, params, plan, args.progress, args.row_number)
    _summary(report, args.output)
    return 0


def target_grid(args) -> Optional[TargetGrid]:
    """The schedule of --every, --from and --to (all three or none), checked."""
    given = [args.every, args.grid_from, args.grid_to]
    if not any(given) and not args.from_first_transaction:
        return None
    if not all(given):
        raise UsageError("a target schedule needs --every, --from and --to")

    def bound(text):
        return int(text) if re.fullmatch(r"[+-]?\d+", text.strip()) else text.strip()

    return TargetGrid(bound(args.grid_from), bound(args.grid_to), args.every,
                      from_first_transaction=args.from_first_transaction)


def _summary(report: BuildReport, output: str) -> None:
    where = "standard output" if output == "-" else output
    print(
        f"{PROG}: {report.rows} rows x {report.feature_columns} feature columns written to {where}; "
        f"{report.targets_without_transactions} targets without transactions; "
        f"{report.dropped_missing_quantities} transactions with a missing quantity dropped",
        file=sys.stderr,
    )


def _run_demo(args, params: FeatureParams) -> int:
    if args.output:
        check_output(args.output)
    trx, tgt = demo.demo_tables(args.demo_entities, args.seed)
    params = demo.demo_params(params)
    if args.output:
        report = write_feature_frame(trx, tgt, args.output, params, progress=args.progress,
                                             row_number_col=args.row_number)
        _summary(report, args.output)
        return 0
    frame, _ = build_with_report(trx, tgt, params, progress=args.progress)
    demo.print_demo(frame, params, args.demo_entities)
    return 0
