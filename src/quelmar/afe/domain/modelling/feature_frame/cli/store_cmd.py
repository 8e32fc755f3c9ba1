"""``quelmar-feature-frame store create|append|features|info|compact``: a
feature store kept up to date from the command line, with the table job's
options and file formats; each command ends with one summary line on
standard error."""

from __future__ import annotations

import argparse
import datetime
import re
import sys
import warnings
from typing import List, Optional

from ..errors import MissingQuantityWarning, OutsideHistoryWarning, UsageError
from ..files import check_output, output, read_table
from ..store import FeatureStore, StoreInfo
from ..support import preload, require, size_text
from .common import PROG, RUN_MODULES, add_parameter_options, params_from_args, run_stoppable

_AT_INTEGER = re.compile(r"[+-]?\d+")


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=f"{PROG} store", description="A feature store: kept state that appends keep "
                                "up to date, answering with the training table's bits.")
    commands = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    tables = "a .csv[.gz], .parquet, .arrow or .feather file, or a directory of parts"

    create = commands.add_parser("create", help="make a store from a transaction table")
    create.add_argument("store", help="the store: a new directory")
    create.add_argument("transactions", help=f"transaction table: {tables}")
    create.add_argument("--history", default="0d", help="how far before the newest transaction the store answers "
                        "exactly, e.g. 30d (default: 0d, from the newest transaction on)")
    sections = {name: create.add_argument_group(name) for name in ("features", "columns", "running")}
    add_parameter_options(sections)
    sections["running"].add_argument("--memory-limit", default=None, help="memory budget such as 4G; a table that "
                                     "would not fit is split into buckets of entities on disk first")
    sections["running"].add_argument("--buckets", type=int, default=None, help="split into this many buckets")

    append = commands.add_parser("append", help="merge a batch of transactions into a store")
    append.add_argument("store")
    append.add_argument("transactions", help=f"transaction table: {tables}")

    features = commands.add_parser("features", help="features of targets, or of every entity as of one date")
    features.add_argument("store")
    features.add_argument("targets", nargs="?", help=f"target table (entity, target date): {tables}")
    features.add_argument("-o", "--output", required=True,
                          help="output file, .csv[.gz], .parquet, .arrow or .feather; '-' for CSV on standard output")
    features.add_argument("--at", default=None, help="without TARGETS: every entity as of this date (ISO 8601, or "
                          "an integer timestamp); default: now, UTC")

    info = commands.add_parser("info", help="what a store keeps")
    info.add_argument("store")
    compact = commands.add_parser("compact", help="merge the appended rows into the store's base values")
    compact.add_argument("store")
    for command in (create, append, features, compact):
        command.add_argument("--progress", action="store_true", help="progress bars")
    return p


def main(argv: Optional[List[str]] = None) -> int:
    return run_stoppable(_run, _parser().parse_args(argv))


def _run(args) -> int:
    progress = getattr(args, "progress", False)
    preload(*RUN_MODULES, "lmdb", *(("tqdm",) if progress else ()))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", MissingQuantityWarning)
        warnings.simplefilter("always", OutsideHistoryWarning)
        summary = _COMMANDS[args.command](args, progress)
    for warning in caught:
        if issubclass(warning.category, (MissingQuantityWarning, OutsideHistoryWarning)):
            print(f"{PROG}: warning: {warning.message}", file=sys.stderr)
    print(f"{PROG}: {summary}", file=sys.stderr)
    return 0


def _create(args, progress: bool) -> str:
    params = params_from_args(args)
    if args.buckets is not None and args.buckets < 1:
        raise UsageError(f"--buckets: expected a positive integer, got {args.buckets}")
    with FeatureStore.create(args.store, args.transactions, params, history=args.history,
                             memory_limit=args.memory_limit, buckets=args.buckets, progress=progress) as store:
        return "store created; " + _describe(store.info())


def _append(args, progress: bool) -> str:
    with FeatureStore.open(args.store) as store:
        report = store.append(_table(args.transactions, store, progress), progress=progress)
        info = store.info()
    dropped = f"; {report.dropped_missing_quantities} with a missing quantity dropped" \
        if report.dropped_missing_quantities else ""
    return (f"{report.rows} transactions appended, {report.kept} kept for {report.entities} entities{dropped}"
            f"{'; store compacted' if report.compacted else ''}; " + _describe(info))


def _features(args, progress: bool) -> str:
    check_output(args.output)
    with FeatureStore.open(args.store) as store:
        if args.targets is not None:
            if args.at is not None:
                raise UsageError("give either TARGETS or --at, not both")
            frame = store.features(_table(args.targets, store, progress, targets=True), progress=progress)
        else:
            frame = store.features(at=_at(args.at), progress=progress)
    pa = require("pyarrow")
    with output(args.output) as put:
        put(pa.Table.from_pandas(frame, preserve_index=False))
    where = "standard output" if args.output == "-" else args.output
    return f"{len(frame)} rows x {len(frame.columns) - 2} feature columns written to {where}"


def _info(args, progress: bool) -> str:
    with FeatureStore.open(args.store) as store:
        return _describe(store.info())


def _compact(args, progress: bool) -> str:
    with FeatureStore.open(args.store) as store:
        store.compact(progress=progress)
        return "store compacted; " + _describe(store.info())


_COMMANDS = {"create": _create, "append": _append, "features": _features, "info": _info, "compact": _compact}


def _table(path: str, store: FeatureStore, progress: bool, targets: bool = False):
    """A table file (or directory of parts) read whole, with the store's column names."""
    params, (id_kind, id_dtype) = store.params, store.id_type
    # text ids (CSV) are read as the store's ids are: numbers as numbers
    ids = {"number": "float" if "float" in id_dtype else "int"}.get(id_kind, "id")
    if targets:
        kinds = {params.entity_col_of_targets: ids, params.target_date_col: "timestamp"}
    else:
        kinds = {params.entity_col: ids, params.timestamp_col: "timestamp", params.quantity_col: "float"}
        if params.dimension_col:
            kinds[params.dimension_col] = "int"
    return read_table(path, kinds, progress)


def _at(text: Optional[str]):
    if text is None:
        return None
    return int(text) if _AT_INTEGER.fullmatch(text.strip()) else text.strip()


def _describe(info: StoreInfo) -> str:
    newest = "none" if info.newest_ms is None else _date(info.newest_ms)
    answers = "any date" if info.answers_from_ms is None else f"dates from {_date(info.answers_from_ms)} on"
    return (f"store {info.location}: {info.entities:,} entities, {info.rows:,} rows kept, "
            f"{size_text(info.size_bytes)} on disk, newest transaction {newest}; answers {answers}")


def _date(ms: int) -> str:
    try:
        return (datetime.datetime(1970, 1, 1) + datetime.timedelta(milliseconds=ms)).isoformat(sep=" ")
    except OverflowError:
        return f"{ms} ms"
