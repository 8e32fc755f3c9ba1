"""Command line: ``quelmar-feature-frame`` (``python -m quelmar.afe.domain.modelling.feature_frame``).

Checks every parameter and the output path first, then reads the two tables
(CSV or Parquet, only the needed columns, streamed), builds the feature frame
and writes it atomically (CSV or Parquet by extension; ``-o -`` is CSV on
standard output). Ends with one summary line on standard error.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import re
import shutil
import sys
import tempfile
import textwrap
import warnings
from typing import Dict, List, Optional, Tuple

from . import _deps, _progress
from ._build import BuildReport, MissingQuantityWarning, build_with_report
from ._columns import RESOLUTIONS, operator_name
from ._grid import TargetGrid
from ._params import TIMESTAMP_UNITS, FeatureParams, defaults

PROG = "quelmar-feature-frame"
_PARQUET = (".parquet", ".pq")
_CSV = (".csv", ".csv.gz", ".txt")
#: Rows per chunk when writing, so that the bar moves and memory stays flat.
WRITE_CHUNK_ROWS = 50_000
#: Bytes per block of the streaming CSV reader.
CSV_BLOCK_BYTES = 1 << 20


class UsageError(ValueError):
    """A fault of the command line's arguments or files, reported without a traceback."""


# --------------------------------------------------------------------------
# arguments


def _parser() -> argparse.ArgumentParser:
    from . import __version__

    d = defaults()
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Aggregate features for (entity, target date) pairs from a transaction history. "
        "Windows end OFFSET units before each target date; see the README's semantics table.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    p.add_argument("transactions", nargs="?", help="transaction table, .csv[.gz] or .parquet")
    p.add_argument("targets", nargs="?", help="target table (entity, target date), .csv[.gz] or .parquet")
    p.add_argument("-o", "--output", help="output file, .csv[.gz] or .parquet; '-' for CSV on standard output")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
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
    r = p.add_argument_group("running")
    r.add_argument("--n-jobs", type=int, default=d["n_jobs"],
                   help="threads of the computation; default: every core this process may use")
    r.add_argument("--batch-size", type=int, default=d["batch_size"],
                   help="no effect any more (every target is computed in one call); will be removed")
    r.add_argument("--progress", action="store_true", help="progress bars while reading, computing and writing")
    r.add_argument("--demo", action="store_true", help="build features of a synthetic history and print them")
    r.add_argument("--demo-entities", type=int, default=5, help="entities of the synthetic history")
    r.add_argument("--seed", type=int, default=0, help="random seed of the synthetic history")
    return p


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
# files


def _is_csv(path: str) -> bool:
    return path.lower().endswith(_CSV)


def _check_input(path: str) -> None:
    if os.path.isdir(path):
        raise UsageError(f"{path}: is a directory; give a .csv or .parquet file")
    if not os.path.exists(path):
        raise UsageError(f"{path}: no such file")
    if not path.lower().endswith(_CSV + _PARQUET):
        raise UsageError(f"{path}: unknown table format; use a .csv, .csv.gz or .parquet file")


def _check_output(path: str) -> None:
    if path == "-":
        return
    if os.path.isdir(path):
        raise UsageError(f"{path}: is a directory; give a file name")
    if not path.lower().endswith(_CSV + _PARQUET):
        raise UsageError(f"{path}: unknown output format; use a .csv, .csv.gz or .parquet file")
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise UsageError(f"{path}: directory {directory} does not exist")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise UsageError(f"{path}: directory {directory} is not writable")


def read_table(path: str, kinds: Dict[str, str], progress: bool = False):
    """The columns ``kinds`` (name -> "id", "timestamp", "float" or "int") of a
    CSV or Parquet file as a pyarrow Table, read in batches. CSV text is
    converted here: ids stay text, timestamps are integers or ISO-8601 dates
    (naive ones taken as UTC), the rest numbers. Raises ``UsageError`` naming
    the file, the column and the first bad line."""
    pa = _deps.require("pyarrow")
    csv = _is_csv(path)
    batches = []
    columns = _Columns(path, kinds, first_line=2 if csv else 0)
    with _progress.stage(progress, f"reading {os.path.basename(path)}", total=os.path.getsize(path),
                         unit="B") as bar:
        with open(path, "rb") as raw:
            done = 0
            for batch in (_csv_batches(raw, path, kinds) if csv else _parquet_batches(raw, path, kinds)):
                batches.append(columns.convert(batch))
                bar.update(raw.tell() - done)
                done = raw.tell()
    if not batches or sum(b.num_rows for b in batches) == 0:
        raise UsageError(f"{path}: the table is empty (no data rows)")
    return pa.Table.from_batches(batches)


def _csv_batches(raw, path: str, kinds: Dict[str, str]):
    pa = _deps.require("pyarrow")
    import pyarrow.csv as pacsv

    import csv
    import gzip

    def opened():
        return gzip.GzipFile(fileobj=raw) if path.lower().endswith(".gz") else raw

    try:
        header = next(csv.reader([opened().readline().decode("utf-8-sig")]), [])
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"{path}: not a readable CSV file: {exc}") from None
    if not header:
        raise UsageError(f"{path}: the file is empty (not even a header line)")
    _require_columns(path, header, kinds)
    raw.seek(0)
    stream = opened()
    try:
        reader = pacsv.open_csv(
            stream,
            read_options=pacsv.ReadOptions(block_size=CSV_BLOCK_BYTES),
            # every needed column is read as text and converted per batch, so
            # that a type is never guessed from the first block alone and a bad
            # value can be reported with its line
            convert_options=pacsv.ConvertOptions(
                column_types={name: pa.string() for name in kinds},
                include_columns=list(kinds),
                strings_can_be_null=True,
            ),
        )
    except pa.ArrowInvalid as exc:
        if "Empty CSV file" in str(exc):
            raise UsageError(f"{path}: the file is empty (not even a header line)") from None
        raise UsageError(f"{path}: not a readable CSV file: {exc}") from None
    try:
        yield from reader
    except pa.ArrowInvalid as exc:
        raise UsageError(f"{path}: not a readable CSV file: {exc}") from None


def _parquet_batches(raw, path: str, kinds: Dict[str, str]):
    pa = _deps.require("pyarrow")
    import pyarrow.parquet as pq

    try:
        parquet = pq.ParquetFile(raw)
    except (pa.ArrowInvalid, OSError) as exc:
        raise UsageError(f"{path}: not a readable Parquet file: {exc}") from None
    _require_columns(path, parquet.schema_arrow.names, kinds)
    yield from parquet.iter_batches(batch_size=65_536, columns=list(kinds))


def _require_columns(path: str, names: List[str], kinds: Dict[str, str]) -> None:
    for col in kinds:
        if col not in names:
            listed = ", ".join(repr(c) for c in names)
            raise UsageError(f"{path}: missing column {col!r} (columns are {listed})")


class _Columns:
    """Per-batch conversion of text columns; remembers whether a timestamp
    column holds integers or dates, decided on its first non-empty batch."""

    def __init__(self, path: str, kinds: Dict[str, str], first_line: int):
        self.path = path
        self.kinds = kinds
        self.first_line = first_line
        self.rows_seen = 0
        self.integer_timestamps: Dict[str, bool] = {}

    def where(self, position: int) -> str:
        if self.first_line:
            return f"line {self.rows_seen + position + self.first_line}"
        return f"row {self.rows_seen + position}"

    def convert(self, batch):
        pa = _deps.require("pyarrow")
        arrays = []
        for name in self.kinds:
            array = batch.column(batch.schema.get_field_index(name))
            if pa.types.is_string(array.type) or pa.types.is_large_string(array.type):
                array = self._from_text(name, array)
            arrays.append(array)
        self.rows_seen += batch.num_rows
        return pa.RecordBatch.from_arrays(arrays, names=list(self.kinds))

    def _from_text(self, name: str, array):
        pa = _deps.require("pyarrow")
        import pyarrow.compute as pc

        kind = self.kinds[name]
        if kind == "id":
            return array
        if kind == "timestamp":
            if name not in self.integer_timestamps and array.null_count < len(array):
                integer = pc.match_substring_regex(array, r"^\s*[+-]?\d+\s*$")
                self.integer_timestamps[name] = bool(pc.all(integer).as_py())
            if not self.integer_timestamps.get(name, False):
                return self._dates(name, array)
            kind = "int"
        target = pa.float64() if kind == "float" else pa.int64()
        try:
            return pc.cast(pc.utf8_trim_whitespace(array), target)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            raise self._bad_number(name, array, kind) from None

    def _bad_number(self, name: str, array, kind: str) -> UsageError:
        pd = _deps.pandas()
        np = _deps.require("numpy")
        text = array.to_pandas()
        numbers = pd.to_numeric(text, errors="coerce")
        bad = numbers.isna() & text.notna()
        if kind == "int":
            bad |= numbers.notna() & (numbers != np.floor(numbers))
        noun = {"float": "a number", "int": "an integer"}[kind]
        if self.kinds[name] == "timestamp":
            noun = "an integer timestamp like the rows before it"
        if not bad.any():
            return UsageError(f"{self.path}: column {name!r} holds a value that is not {noun}")
        first = int(np.argmax(bad.to_numpy()))
        return UsageError(
            f"{self.path}: column {name!r} holds {text.iloc[first]!r} at {self.where(first)}, not {noun}"
        )

    def _dates(self, name: str, array):
        """ISO-8601 text to UTC timestamps: date-only values, fractional
        seconds and any offsets (mixed daylight-saving ones too); naive values
        are UTC."""
        pa = _deps.require("pyarrow")
        pd = _deps.pandas()
        np = _deps.require("numpy")
        # Arrow's own ISO-8601 cast is the quick path for a batch of naive
        # values, or of values that all carry an offset; a batch that mixes
        # both, or that Arrow refuses, goes through pandas
        for kind in (pa.timestamp("us"), pa.timestamp("us", tz="UTC")):
            try:
                return array.cast(kind)
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                pass
        text = array.to_pandas()
        parsed = pd.to_datetime(text, format="ISO8601", utc=True, errors="coerce")
        bad = (parsed.isna() & text.notna()).to_numpy()
        if bad.any():
            first = int(np.argmax(bad))
            raise UsageError(
                f"{self.path}: column {name!r} holds {text.iloc[first]!r} at {self.where(first)}, "
                "which is neither an ISO-8601 date (2024-03-05, 2024-03-05 12:00:00.250, "
                "2024-03-05T12:00+02:00) nor an integer timestamp"
            )
        return pa.array(parsed, from_pandas=True)


def write_table(frame, path: str, progress: bool = False) -> None:
    """Write ``frame`` to ``path`` (CSV or Parquet by extension, ``-`` for CSV
    on standard output). A file appears only complete: it is written to a
    temporary file in the same directory and renamed over ``path``; on any
    failure or Ctrl-C the temporary file is removed."""
    with _progress.stage(progress, f"writing {os.path.basename(path) if path != '-' else 'stdout'}",
                         total=len(frame), unit="row") as bar:
        if path == "-":
            _write_csv(frame, sys.stdout, bar)
            sys.stdout.flush()
            return
        directory, name = os.path.split(os.path.abspath(path))
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=f".{name}.", suffix=".tmp")
        os.close(fd)
        try:
            if path.lower().endswith(_PARQUET):
                _write_parquet(frame, temporary, bar)
            else:
                import gzip

                opener = gzip.open if path.lower().endswith(".gz") else open
                with opener(temporary, "wt", encoding="utf-8", newline="") as text:
                    _write_csv(frame, text, bar)
            mask = os.umask(0)
            os.umask(mask)
            os.chmod(temporary, 0o666 & ~mask)  # as an ordinary new file, not mkstemp's 0600
            os.replace(temporary, path)
        except BaseException:
            if os.path.exists(temporary):
                os.unlink(temporary)
            raise


def _write_csv(frame, stream, bar) -> None:
    for start in range(0, max(len(frame), 1), WRITE_CHUNK_ROWS):
        frame.iloc[start : start + WRITE_CHUNK_ROWS].to_csv(stream, header=start == 0, index=False)
        bar.update(min(WRITE_CHUNK_ROWS, len(frame) - start))


def _write_parquet(frame, raw: str, bar) -> None:
    pa = _deps.require("pyarrow")
    import pyarrow.parquet as pq

    table = pa.Table.from_pandas(frame, preserve_index=False)
    with pq.ParquetWriter(raw, table.schema) as writer:
        for start in range(0, max(table.num_rows, 1), WRITE_CHUNK_ROWS):
            writer.write_table(table.slice(start, WRITE_CHUNK_ROWS))
            bar.update(min(WRITE_CHUNK_ROWS, table.num_rows - start))


# --------------------------------------------------------------------------
# the demo


def demo_tables(n_entities: int = 5, seed: int = 0):
    """A small synthetic history: per entity a few dozen purchases over 120 days in
    four dimension codes, and two target dates per entity; the last entity
    never buys."""
    np = _deps.require("numpy")
    pd = _deps.pandas()
    rng = np.random.default_rng(seed)
    start = pd.Timestamp("2024-01-01")
    rows = []
    targets = []
    for e in range(n_entities):
        n = 0 if e == n_entities - 1 and n_entities > 1 else (int(rng.integers(1, 40)) if e else 30)
        days = rng.uniform(0, 120, n)
        for day, q, code in zip(days, rng.gamma(2.0, 10.0, n), rng.integers(0, 4, n)):
            rows.append((f"customer-{e}", start + pd.Timedelta(days=float(day)), round(float(q), 2), int(code)))
        for target_day in (90, 121):
            targets.append((f"customer-{e}", start + pd.Timedelta(days=target_day)))
    trx = pd.DataFrame(rows, columns=["entity", "timestamp", "quantity", "dimension"])
    trx["dimension"] = trx["dimension"].astype("int8")
    tgt = pd.DataFrame(targets, columns=["entity", "target_date"])
    return trx, tgt


def demo_legend(params: FeatureParams, n_entities: int, width: int) -> str:
    unit = params.resolution + "s"
    h = params.horizons[0]
    lines = [
        f"Synthetic purchases of {n_entities} customers over 120 days, dimension codes 0..3; "
        f"two target dates per customer. One row per (customer, target date).",
        f"Columns are dimension__operator__horizon: 1__sum__{h} is the sum of the quantities of "
        f"dimension value 1 in the {h} {unit} before the target date"
        + (f" (windows end {params.offset} {unit} before it)." if params.offset else "."),
        "Windows are cumulative: the largest horizon includes the smaller ones. Quantities of 0 "
        "or below are skipped by every operator.",
        f"time_since_first / time_since_last: ages in {unit} from the target date. count_distinct "
        "and mode describe the customer's dimension codes (the same in every dimension column).",
        f"NaN: no transaction in that window (customer-{n_entities - 1} never buys).",
    ]
    return "\n".join(textwrap.fill(line, width=width, subsequent_indent="  ") for line in lines)


# --------------------------------------------------------------------------
# main


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return _run(args)
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


def _run(args) -> int:
    params = params_from_args(args)
    if args.demo:
        return _demo(args, params)
    grid = target_grid(args)
    if not args.transactions or not (args.targets or grid) or not args.output:
        raise UsageError("TRANSACTIONS, TARGETS and -o OUT are required (a schedule, --every, --from and --to, "
                         "may replace TARGETS; or use --demo)")
    if grid is not None and args.targets:
        raise UsageError(f"give either TARGETS ({args.targets}) or a schedule (--every, --from, --to), not both")
    _check_input(args.transactions)
    if grid is None:
        _check_input(args.targets)
    _check_output(args.output)
    trx_kinds = {params.entity_col: "id", params.timestamp_col: "timestamp", params.quantity_col: "float"}
    if params.dimension_col:
        trx_kinds[params.dimension_col] = "int"
    trx = read_table(args.transactions, trx_kinds, args.progress)
    if grid is None:
        tgt = read_table(args.targets, {params.entity_col_of_targets: "id", params.target_date_col: "timestamp"},
                         args.progress)
    else:
        tgt = grid
    frame, report = _build(trx, tgt, params, args, (args.transactions, args.targets or "schedule"))
    write_table(frame, args.output, args.progress)
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


def _build(trx, tgt, params: FeatureParams, args, names: Tuple[str, str]):
    lines = tuple(2 if _is_csv(n) else None for n in names)
    with warnings.catch_warnings():
        # the summary line reports the dropped rows
        warnings.simplefilter("ignore", MissingQuantityWarning)
        return build_with_report(trx, tgt, params, progress=args.progress, names=names, first_lines=lines)


def _summary(report: BuildReport, output: str) -> None:
    where = "standard output" if output == "-" else output
    print(
        f"{PROG}: {report.rows} rows x {report.feature_columns} feature columns written to {where}; "
        f"{report.targets_without_transactions} targets without transactions; "
        f"{report.dropped_missing_quantities} transactions with a missing quantity dropped",
        file=sys.stderr,
    )


def _demo(args, params: FeatureParams) -> int:
    if args.output:
        _check_output(args.output)
    trx, tgt = demo_tables(args.demo_entities, args.seed)
    params = dataclasses.replace(params, entity_col="entity", timestamp_col="timestamp", quantity_col="quantity",
                                 dimension_col="dimension", target_entity_col=None, target_date_col="target_date")
    frame, report = _build(trx, tgt, params, args, ("transactions", "targets"))
    if args.output:
        write_table(frame, args.output, args.progress)
        _summary(report, args.output)
        return 0
    pd = _deps.pandas()
    width = shutil.get_terminal_size((100, 24)).columns
    print(demo_legend(params, args.demo_entities, width))
    print()
    with pd.option_context("display.max_columns", None, "display.width", width, "display.precision", 2,
                           "display.max_colwidth", 20):
        print(frame.to_string(line_width=width, max_colwidth=20, float_format=lambda v: f"{v:.2f}"))
    return 0
