"""Command line: ``python -m quelmar.afe.domain.modelling.feature_frame``.

Reads a transaction table and a target table (CSV or Parquet, by extension),
builds the feature frame and writes it (CSV or Parquet, by extension of
``-o``; ``-o -`` writes CSV to standard output). ``--demo`` builds a synthetic
history instead and prints a feature table.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import List, Optional

from . import _deps
from ._build import build_feature_frame
from ._columns import RESOLUTIONS, operator_name
from quelmar.afe.domain.enums.afe_operator import AfeOperator

PROG = "python -m quelmar.afe.domain.modelling.feature_frame"
_PARQUET = (".parquet", ".pq")
_CSV = (".csv", ".csv.gz", ".txt")


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Aggregate features for (entity, target date) pairs from a transaction history.",
    )
    p.add_argument("transactions", nargs="?", help="transaction table, .csv or .parquet")
    p.add_argument("targets", nargs="?", help="target table (entity, target date), .csv or .parquet")
    p.add_argument("-o", "--output", help="output file, .csv or .parquet; '-' for CSV on stdout")
    p.add_argument("--horizons", default="7,30,90", help="comma-separated window lengths (default 7,30,90)")
    p.add_argument("--resolution", default="day", choices=list(RESOLUTIONS), help="unit of horizons and offset")
    p.add_argument("--offset", type=int, default=0, help="units between the end of every window and the target date")
    p.add_argument(
        "--operators",
        default=None,
        help="comma-separated operators (default all): " + ",".join(operator_name(o) for o in AfeOperator),
    )
    p.add_argument("--per-dimension", default=None, help="operators written once per dimension value instead of per horizon")
    p.add_argument("--entity-col", default="entity")
    p.add_argument("--timestamp-col", default="timestamp")
    p.add_argument("--quantity-col", default="quantity")
    p.add_argument("--dimension-col", default="dimension", help="dimension code column; '' for none")
    p.add_argument("--target-date-col", default="target_date")
    p.add_argument("--batch-size", type=int, default=50_000, help="target pairs per kernel call")
    p.add_argument("--progress", action="store_true", help="show a progress bar over batches")
    p.add_argument("--demo", action="store_true", help="build features of a synthetic history and print them")
    p.add_argument("--demo-entities", type=int, default=5, help="entities of the synthetic history")
    p.add_argument("--seed", type=int, default=0, help="random seed of the synthetic history")
    return p


def read_table(path: str, timestamp_cols: List[str]):
    """A pandas DataFrame from CSV or Parquet; timestamp columns of CSV text are parsed."""
    pd = _deps.pandas()
    lower = path.lower()
    if lower.endswith(_PARQUET):
        _deps.require("pyarrow")
        return pd.read_parquet(path)
    if lower.endswith(_CSV):
        frame = pd.read_csv(path)
        for col in timestamp_cols:
            if col in frame.columns and not pd.api.types.is_numeric_dtype(frame[col].dtype):
                try:
                    frame[col] = pd.to_datetime(frame[col])
                except (ValueError, TypeError) as exc:
                    raise ValueError("{}: column {!r} holds no readable dates: {}".format(path, col, exc)) from None
        return frame
    raise ValueError("{}: unknown table format; use a .csv or .parquet file".format(path))


def write_table(frame, path: str) -> None:
    lower = path.lower()
    if path == "-":
        frame.to_csv(sys.stdout, index=False)
    elif lower.endswith(_PARQUET):
        _deps.require("pyarrow")
        frame.to_parquet(path, index=False)
    elif lower.endswith(_CSV):
        frame.to_csv(path, index=False)
    else:
        raise ValueError("{}: unknown output format; use a .csv or .parquet file".format(path))


def demo_tables(n_entities: int = 5, seed: int = 0):
    """A small synthetic history: per entity a few dozen purchases over 120 days in
    four dimension codes, and two target dates per entity."""
    np = _deps.require("numpy")
    pd = _deps.pandas()
    rng = np.random.default_rng(seed)
    start = pd.Timestamp("2024-01-01")
    rows = []
    targets = []
    for e in range(n_entities):
        n = int(rng.integers(0, 40)) if e else 30
        days = rng.uniform(0, 120, n)
        for day, q, code in zip(days, rng.gamma(2.0, 10.0, n), rng.integers(0, 4, n)):
            rows.append(("customer-{}".format(e), start + pd.Timedelta(days=float(day)), round(float(q), 2), int(code)))
        for target_day in (90, 121):
            targets.append(("customer-{}".format(e), start + pd.Timedelta(days=target_day)))
    trx = pd.DataFrame(rows, columns=["entity", "timestamp", "quantity", "dimension"])
    trx["dimension"] = trx["dimension"].astype("int8")
    tgt = pd.DataFrame(targets, columns=["entity", "target_date"])
    return trx, tgt


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return _run(args)
    except (ValueError, TypeError, OSError, ImportError) as exc:
        print("{}: error: {}".format(PROG, exc), file=sys.stderr)
        return 2


def _run(args) -> int:
    options = dict(
        horizons=args.horizons,
        resolution=args.resolution,
        offset=args.offset,
        operators=args.operators,
        per_dimension_operators=args.per_dimension,
        entity_col=args.entity_col,
        timestamp_col=args.timestamp_col,
        quantity_col=args.quantity_col,
        dimension_col=args.dimension_col or None,
        target_date_col=args.target_date_col,
        batch_size=args.batch_size,
        progress=args.progress,
    )
    if args.demo:
        trx, tgt = demo_tables(args.demo_entities, args.seed)
        options.update(entity_col="entity", timestamp_col="timestamp", quantity_col="quantity",
                       dimension_col="dimension", target_date_col="target_date")
        frame = build_feature_frame(trx, tgt, **options)
        if args.output:
            write_table(frame, args.output)
        else:
            pd = _deps.pandas()
            print("{} transactions of {} entities, {} target pairs".format(len(trx), args.demo_entities, len(tgt)))
            with pd.option_context("display.max_columns", 12, "display.width", 160, "display.precision", 3):
                print(frame)
        return 0
    if not args.transactions or not args.targets or not args.output:
        raise ValueError("TRANSACTIONS, TARGETS and -o OUT are required (or use --demo)")
    for path in (args.transactions, args.targets):
        if not os.path.exists(path):
            raise ValueError("{}: no such file".format(path))
    trx = read_table(args.transactions, [args.timestamp_col])
    tgt = read_table(args.targets, [args.target_date_col])
    frame = build_feature_frame(trx, tgt, **options)
    write_table(frame, args.output)
    return 0
