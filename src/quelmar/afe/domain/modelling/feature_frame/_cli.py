"""Command line: ``quelmar-feature-frame`` (``python -m quelmar.afe.domain.modelling.feature_frame``).

Checks every parameter and the output path first, then reads the two tables
(CSV, Parquet or Arrow IPC, only the needed columns, in batches; ``_files``)
and writes the features while they are computed (CSV, Parquet or Arrow IPC
by extension, ``-o -`` for CSV on standard output; ``_tofile``), in buckets
of entities on disk when the inputs would not fit ``--memory-limit``. Ends
with one summary line on standard error.
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import sys
import threading
import warnings
from typing import Dict, List, Optional

from . import _demo, _tofile, _writers
from ._build import BuildReport, MissingQuantityWarning, build_with_report, prepare_build
from ._columns import RESOLUTIONS, operator_name
from ._files import Source, UsageError
from ._grid import TargetGrid
from ._params import TIMESTAMP_UNITS, FeatureParams, defaults

PROG = "quelmar-feature-frame"


# --------------------------------------------------------------------------
# arguments


def _parser() -> argparse.ArgumentParser:
    from . import __version__

    p = argparse.ArgumentParser(
        prog=PROG,
        description="Aggregate features for (entity, target date) pairs from a transaction history. "
        "Windows end OFFSET units before each target date; see the README's semantics table.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    tables = "a .csv[.gz], .parquet, .arrow or .feather file, or a directory of parts"
    p.add_argument("transactions", nargs="?", help=f"transaction table: {tables}")
    p.add_argument("targets", nargs="?", help=f"target table (entity, target date): {tables}")
    p.add_argument("-o", "--output",
                   help="output file, .csv[.gz], .parquet, .arrow or .feather; '-' for CSV on standard output")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    d = defaults()
    for add_group in (_feature_options, _column_options, _running_options):
        add_group(p, d)
    return p


def _feature_options(p: argparse.ArgumentParser, d: Dict) -> None:
    g = p.add_argument_group("features")
    g.add_argument("--horizons", default=",".join(map(str, d["horizons"])),
                   help="comma-separated window lengths in resolution units")
    g.add_argument("--resolution", default=d["resolution"], choices=list(RESOLUTIONS),
                   help="unit of horizons and offset (a month is 30 days, a year 365)")
    g.add_argument("--offset", type=int, default=d["offset"],
                   help="units between the end of every window and the target date (>= 0; >= 1 with --group)")
    g.add_argument("--operators", default=",".join(operator_name(o) for o in d["operators"]),
                   help="comma-separated operators")
    g.add_argument("--per-dimension", default="",
                   help="operators written once per dimension value instead of per horizon")
    g.add_argument("--dimension-values", default=None,
                   help="fixes the column set: codes '1,2,3', or code=value pairs '1=10,2=10'; "
                   "default: the codes present in the transactions")
    g.add_argument("--group", default=d["group"],
                   help="feature-group mode: one dimension value, or 'all'")
    g.add_argument("--missing-quantities", default=d["missing_quantities"], choices=["drop", "raise"],
                   help="rows with a missing quantity: dropped (and counted) or refused")
    s = p.add_argument_group("target schedule (in place of TARGETS)")
    s.add_argument("--every", help="a target every interval: '1d', '7d', '1h', '1mo' (30 days)")
    s.add_argument("--from", dest="grid_from", help="first target date of every entity (a date, or an integer)")
    s.add_argument("--to", dest="grid_to", help="last target date (included)")
    s.add_argument("--from-first-transaction", action="store_true",
                   help="start each entity at the first scheduled date after its first transaction")


def _column_options(p: argparse.ArgumentParser, d: Dict) -> None:
    c = p.add_argument_group("columns")
    c.add_argument("--entity-col", default=d["entity_col"], help="entity id column of the transactions")
    c.add_argument("--timestamp-col", default=d["timestamp_col"], help="timestamp column of the transactions")
    c.add_argument("--quantity-col", default=d["quantity_col"], help="quantity column of the transactions")
    c.add_argument("--dimension-col", default=d["dimension_col"], help="dimension code column; '' for none")
    c.add_argument("--target-entity-col", default=d["target_entity_col"],
                   help="entity column of the targets; default: the --entity-col name")
    c.add_argument("--target-date-col", default=d["target_date_col"], help="target date column of the targets")
    c.add_argument("--time-unit", dest="timestamp_unit", default=d["timestamp_unit"], choices=list(TIMESTAMP_UNITS),
                   help="unit of integer timestamps in both tables")
    c.add_argument("--row-number", default=None, metavar="NAME",
                   help="also write each target's position in the target table as column NAME, "
                   "by which the target order can be restored after a run in buckets")


def _running_options(p: argparse.ArgumentParser, d: Dict) -> None:
    r = p.add_argument_group("running")
    r.add_argument("--n-jobs", type=int, default=d["n_jobs"],
                   help="threads of the computation; default: every core this process may use")
    r.add_argument("--memory-limit", default=None,
                   help="memory budget such as 4G or 512M; inputs that would not fit are split into buckets "
                   "of entities on disk beside the output; default: 80%% of the memory available")
    r.add_argument("--buckets", type=int, default=None,
                   help="split the inputs into this many buckets of entities on disk, whatever the budget")
    r.add_argument("--batch-size", type=int, default=d["batch_size"],
                   help="no effect any more (every target is computed in one call); will be removed")
    r.add_argument("--progress", action="store_true", help="progress bars while reading, computing and writing")
    r.add_argument("--demo", action="store_true", help="build features of a synthetic history and print them")
    r.add_argument("--demo-entities", type=int, default=5, help="entities of the synthetic history")
    r.add_argument("--seed", type=int, default=0, help="random seed of the synthetic history")


def _dimension_values(text: Optional[str]):
    if text is None:
        return None
    pairs: Dict[int, int] = {}
    codes: List[int] = []
    try:
        for part in (p.strip() for p in text.split(",")):
            if not part:
                continue
            if "=" in part:
                code, value = part.split("=", 1)
                pairs[int(code)] = int(value)
            else:
                codes.append(int(part))
    except ValueError:
        raise UsageError(
            f"--dimension-values: expected codes '1,2,3' or code=value pairs '1=10,2=10', got {text!r}"
        ) from None
    if pairs and codes:
        raise UsageError("--dimension-values: give either codes or code=value pairs, not both")
    return pairs if pairs else codes


def _group(text: Optional[str]):
    if text is None or text == "all":
        return text
    try:
        return int(text)
    except ValueError:
        raise UsageError(f"--group: expected a dimension value or 'all', got {text!r}") from None


def params_from_args(args) -> FeatureParams:
    """The checked parameters of a command line; every fault is raised here,
    before any file is read. A parameter that no longer has an effect is
    reported as a warning line on standard error."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", FutureWarning)
        params = _params_from_args(args)
    for warning in caught:
        print(f"{PROG}: warning: {warning.message}", file=sys.stderr)
    return params


def _params_from_args(args) -> FeatureParams:
    return FeatureParams(
        horizons=args.horizons,
        resolution=args.resolution,
        offset=args.offset,
        operators=args.operators,
        per_dimension_operators=args.per_dimension or (),
        dimension_values=_dimension_values(args.dimension_values),
        timestamp_unit=args.timestamp_unit,
        missing_quantities=args.missing_quantities,
        group=_group(args.group),
        batch_size=args.batch_size,
        n_jobs=args.n_jobs,
        entity_col=args.entity_col,
        timestamp_col=args.timestamp_col,
        quantity_col=args.quantity_col,
        dimension_col=args.dimension_col or None,
        target_entity_col=args.target_entity_col or None,
        target_date_col=args.target_date_col,
    )


# --------------------------------------------------------------------------
# main


class Terminated(KeyboardInterrupt):
    """SIGTERM as an exception, so that a run stopped by ``kill`` unwinds as
    one stopped by Ctrl-C: the buckets and a partial output are removed."""


def _terminate(signum, frame):
    raise Terminated()


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    # only the main thread may set a handler (main() may be called from others)
    previous = signal.signal(signal.SIGTERM, _terminate) \
        if threading.current_thread() is threading.main_thread() else None
    try:
        return _run(args)
    except Terminated:
        print(f"{PROG}: terminated; no output written", file=sys.stderr)
        return 128 + signal.SIGTERM
    except BrokenPipeError:
        # the reader went away (``-o - | head``): stop quietly, and keep the
        # interpreter's final flush of stdout from failing again
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError, AttributeError):
            pass
        return 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; no output written", file=sys.stderr)
        return 130
    except (ValueError, TypeError, OSError, ImportError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


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
    _writers.check_output(args.output)
    _tofile.check_row_number(params, args.row_number)
    if args.buckets is not None and args.buckets < 1:
        raise UsageError(f"--buckets: expected a positive integer, got {args.buckets}")
    limit = _tofile.available_limit(args.memory_limit)
    trx_kinds, tgt_kinds = _tofile.kinds_of(params)
    trx = Source(args.transactions, trx_kinds)
    with warnings.catch_warnings():
        # the summary line reports the dropped rows
        warnings.simplefilter("ignore", MissingQuantityWarning)
        if grid is not None:
            # a schedule's targets are made in memory from the transactions' entities
            job = prepare_build(trx.read(args.progress), grid, params, progress=args.progress,
                                names=(trx.path, "schedule"), first_lines=(trx.first_line, None))
            report = _tofile.write_in_memory(job, args.output, args.progress, args.row_number)
        else:
            tgt = Source(args.targets, tgt_kinds)
            plan = _tofile.MemoryPlan(trx, tgt, limit, args.buckets)
            report = _tofile.write_files(trx, tgt, args.output, params, plan, args.progress, args.row_number)
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
        _writers.check_output(args.output)
    trx, tgt = _demo.demo_tables(args.demo_entities, args.seed)
    params = _demo.demo_params(params)
    if args.output:
        report = _tofile.write_feature_frame(trx, tgt, args.output, params, progress=args.progress,
                                             row_number_col=args.row_number)
        _summary(report, args.output)
        return 0
    frame, _ = build_with_report(trx, tgt, params, progress=args.progress)
    _demo.print_demo(frame, params, args.demo_entities)
    return 0
