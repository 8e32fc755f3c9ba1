"""Target schedules: every entity at every step of a period.

``TargetGrid(start, end, every="1d")`` stands for the target table of a
snapshot grid, which would otherwise be built by hand (and can be far larger
than the transactions). Its entities are those of the transactions, or of a
given table or sequence; with ``from_first_transaction`` each entity starts
at the first grid date after its first transaction (earlier targets would
only see empty windows; a given entity without transactions has no
target). The grid is checked when it is made, before anything is read;
``check_output_size`` refuses a result that cannot fit in memory before
anything is computed.
"""

from __future__ import annotations

import dataclasses
import datetime
import re
from typing import Any, Optional, Tuple

import numpy as np

from . import _deps, _native
from ._arrays import _first_beyond_int64, _is_arrow_column
from ._memory import available_memory, size_text
from ._columns import UNIT_MS
from ._native import milliseconds
from ._params import TIMELINE_LIMIT_MS, FeatureParams, InvalidParameterError

#: Milliseconds of the interval units users write; a month is 30 days and a
#: year 365, as the resolutions count them.
INTERVAL_MS = {
    short: int(UNIT_MS[unit])
    for short, unit in (("s", "s"), ("min", "m"), ("h", "h"), ("d", "D"),
                        ("w", "W"), ("mo", "month"), ("y", "year"))
}

_INTERVAL = re.compile(r"\s*([+-]?\d+)\s*([a-z]+)\s*")


def interval_ms(every: Any) -> int:
    """Milliseconds of an interval such as ``"1d"``, ``"7d"``, ``"1h"`` or ``"1mo"``."""
    match = _INTERVAL.fullmatch(every) if isinstance(every, str) else None
    if match is None:
        raise InvalidParameterError(
            f"every: expected a count and a unit such as '1d', '7d', '1h' or '1mo', got {every!r}")
    count, unit = int(match.group(1)), match.group(2)
    if unit not in INTERVAL_MS:
        hint = " ('m' is ambiguous: write 'min' or 'mo')" if unit == "m" else ""
        raise InvalidParameterError(
            f"every: unknown unit {unit!r} in {every!r}{hint}; units are {', '.join(INTERVAL_MS)}")
    if count <= 0:
        raise InvalidParameterError(f"every: the step must be positive, got {every!r}")
    if count * INTERVAL_MS[unit] > 2 * TIMELINE_LIMIT_MS:
        raise InvalidParameterError(f"every: {every!r} is longer than the time line")
    return count * INTERVAL_MS[unit]


def _instant(value: Any, what: str) -> Tuple[int, bool]:
    """(milliseconds, whether a date) of a grid bound: a date or datetime
    (ISO text, ``datetime``, NumPy or pandas), or an integer in the
    timestamp unit of the tables (converted later)."""
    if isinstance(value, (bool, np.bool_)):
        raise InvalidParameterError(f"{what}: expected a date or an integer timestamp, got {value!r}")
    if isinstance(value, (int, np.integer)):
        return int(value), False
    if isinstance(value, datetime.datetime) and value.tzinfo is not None:
        value = value.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    try:
        ms = np.datetime64(value, "ms")
    except (ValueError, TypeError):
        ms = None
    if ms is None or np.isnat(ms):
        raise InvalidParameterError(f"{what}: expected a date or an integer timestamp, got {value!r}")
    return int(ms.astype(np.int64)), True


@dataclasses.dataclass(frozen=True)
class TargetGrid:
    """Targets at ``start``, ``start + every``, ... up to ``end`` (included) for
    every entity: those of the transactions (``entities=None``) or the given
    ids (a sequence, or a table with the targets' entity column). Bounds are
    dates (``"2024-01-01"``, datetimes; UTC) or integers counted in the
    tables' ``timestamp_unit``; ``every`` is a count and a unit: ``s``,
    ``min``, ``h``, ``d``, ``w``, ``mo`` (30 days) or ``y`` (365 days)."""

    start: Any
    end: Any
    every: str = "1d"
    entities: Any = None
    from_first_transaction: bool = False

    def __post_init__(self):
        start, start_is_date = _instant(self.start, "start")
        end, end_is_date = _instant(self.end, "end")
        if start_is_date != end_is_date:
            raise InvalidParameterError("start, end: give both as dates or both as integer timestamps")
        if end < start:
            raise InvalidParameterError(f"end: {self.end!r} is before start {self.start!r}")
        step = interval_ms(self.every)
        if not isinstance(self.from_first_transaction, (bool, np.bool_)):
            raise InvalidParameterError(
                f"from_first_transaction: expected True or False, got {self.from_first_transaction!r}")
        if self.entities is not None and _length(self.entities) == 0:
            raise InvalidParameterError("entities: the grid has no entity")
        object.__setattr__(self, "_bounds", (start, end, step, start_is_date))

    def schedule(self, params: FeatureParams) -> Tuple[int, int, int, bool]:
        """(first date in milliseconds, step, number of dates, whether they
        are dates, else integers of ``params.timestamp_unit``)."""
        start, end, step, is_date = self._bounds
        if not is_date:
            multiply, divide = _unit_ratio(params.timestamp_unit)
            start, end = start * multiply // divide, end * multiply // divide
        if max(abs(start), abs(end)) > TIMELINE_LIMIT_MS:
            raise InvalidParameterError("start, end: beyond +-2**62 milliseconds (check timestamp_unit)")
        return start, step, (end - start) // step + 1, is_date

    def empty_table(self, transactions, params: FeatureParams):
        """A target table of the grid's columns and no row (for a schema)."""
        pd = _deps.pandas()
        from ._tables import Table

        ids = pd.Series(Table(transactions, "transactions", [params.entity_col]).output_column(params.entity_col))
        is_date = self._bounds[3]
        return pd.DataFrame({params.entity_col_of_targets: ids.iloc[:0].reset_index(drop=True),
                             params.target_date_col: np.zeros(0, "datetime64[ms]" if is_date else np.int64)})

    def table(self, transactions, params: FeatureParams, in_memory: bool = True):
        """The grid as a target table (a pandas DataFrame): entity by entity
        (ids sorted where they compare, else in order of appearance), each
        entity's dates ascending. ``in_memory``: the features will be held in
        memory, so a grid whose features cannot fit is refused first; a
        caller that writes them while computing passes False."""
        return self.table_and_codes(transactions, params, in_memory)[0]

    def table_and_codes(self, transactions, params: FeatureParams, in_memory: bool = True):
        """``table``, and the entity codes of the transactions and of the
        table's rows as ``EntityIds.codes`` gives them, where listing the
        transactions' entities numbered them already (integer ids), else None."""
        pd = _deps.pandas()
        from ._build import feature_columns
        from ._tables import Table

        start, step, n_dates, is_date = self.schedule(params)
        numbered = None
        if self.entities is None:
            uniques, first_ms, numbered = _transaction_entities(transactions, params, self.from_first_transaction)
        else:
            if isinstance(self.entities, pd.DataFrame) or hasattr(self.entities, "column_names") \
                    or hasattr(self.entities, "columns"):
                col = params.entity_col_of_targets
                given = pd.Series(Table(self.entities, "entities", [col]).output_column(col))
            else:
                given = pd.Series(list(self.entities))
            uniques, first_ms = _factorized_entities(given, None, params)
        first = np.zeros(len(uniques), dtype=np.int64)
        if self.from_first_transaction:
            never = None
            if first_ms is None:
                # given entities start after their own first transaction; one
                # without any never starts
                known, known_first, _ = _transaction_entities(transactions, params, True)
                at = known.get_indexer(uniques)
                first_ms, never = known_first[np.maximum(at, 0)], at < 0
            # the first grid date strictly after the first transaction
            first = np.clip((first_ms - start) // step + 1, 0, n_dates)
            if never is not None:
                first[never] = n_dates
        counts = n_dates - first
        # before any row of the table is made: at least one dimension
        # value's columns (all of them are checked once they are known), the
        # group's own where features are restricted to one
        n_rows = int(counts.sum(dtype=object))
        dims = params.dimension_values
        if dims is None:
            grouped = params.for_afe_columns and not params.is_no_dim_col and -128 <= params.dim_group_id <= 127
            dims = [params.dim_group_id] if grouped else [0]
        if in_memory:
            check_output_size(n_rows, len(feature_columns(dims, params)))
        entity = np.repeat(np.arange(len(uniques)), counts)
        position = np.arange(n_rows) - np.repeat(np.cumsum(counts) - counts, counts) + np.repeat(first, counts)
        dates = start + position * step
        if is_date:
            date_column = dates.astype("datetime64[ms]")
        else:
            multiply, divide = _unit_ratio(params.timestamp_unit)
            date_column = dates * divide // multiply
        table = pd.DataFrame({params.entity_col_of_targets: uniques.take(entity), params.target_date_col: date_column})
        if numbered is None:
            return table, None
        codes, n_codes, code_of_unique = numbered
        return table, (codes, n_codes, np.repeat(code_of_unique, counts))


def _transaction_entities(transactions, params: FeatureParams, from_first: bool):
    """The transactions' distinct ids, with ``from_first`` each one's first
    transaction in milliseconds (else None), and the numbering of integer
    ids: every transaction's code, the number of codes and each distinct
    id's code (else None)."""
    from ._tables import Table

    needed = [params.entity_col] + ([params.timestamp_col] if from_first else [])
    trx = Table(transactions, "transactions", needed)
    found = _integer_entities(trx, params, from_first)
    if found is None:
        found = _factorized_entities(_deps.pandas().Series(trx.output_column(params.entity_col)),
                                     trx if from_first else None, params) + (None,)
    return found


def _integer_entities(trx, params: FeatureParams, from_first: bool):
    """The transactions' distinct integer ids ascending (an Index of the
    column's type), with ``from_first`` each one's first transaction in
    milliseconds (else None), and their numbering (see
    ``_transaction_entities``). The ids are numbered natively, not hashed by
    pandas. None for ids that are no integers, missing ones or uint64 beyond
    int64, which pandas factorises."""
    pd = _deps.pandas()
    col = params.entity_col
    if trx._first_missing(col) is not None:
        return None
    ids = trx.integer_ids(col)
    if ids is None or not len(ids) or _first_beyond_int64(ids) >= 0:
        return None
    codes, n_codes, present, smallest = _native.number_entities(ids, n_jobs=params.jobs())
    code_of_unique = np.flatnonzero(present).astype(np.int32)
    if smallest is not None:
        # numbered by range: ascending codes are ascending ids
        values = (code_of_unique.astype(np.int64) + smallest).astype(ids.dtype)
    else:
        # numbered in order of appearance, every code with a transaction
        by_code = np.empty(n_codes, dtype=ids.dtype)
        by_code[codes] = ids
        order = np.argsort(by_code, kind="stable")
        values, code_of_unique = by_code[order], code_of_unique[order]
    first_ms = None
    if from_first:
        ts = milliseconds(trx.timestamps(params.timestamp_col, params.timestamp_unit), "timestamps")
        first_ms = _first_of_codes(codes, n_codes, ts)[code_of_unique]
    column = trx.columns[col]
    # the column's pandas type (nullable, Arrow-backed), else the ids' NumPy one in native byte order
    dtype = ids.dtype if _is_arrow_column(column) or isinstance(column.dtype, np.dtype) else column.dtype
    return pd.Index(values, dtype=dtype), first_ms, (codes, n_codes, code_of_unique)


def _factorized_entities(ids, trx, params: FeatureParams):
    """The distinct values of the pandas Series ``ids`` as an Index, sorted
    where they compare (else in order of appearance), and, with the
    transactions ``trx``, each one's first transaction in milliseconds
    (else None)."""
    pd = _deps.pandas()
    codes, uniques = pd.factorize(ids)
    if len(uniques) == 0:
        raise InvalidParameterError("entities: the grid has no entity (the transactions are empty)")
    order = np.arange(len(uniques))
    try:
        order = np.argsort(np.asarray(uniques), kind="stable")
    except TypeError:
        pass  # ids that do not compare keep their order of appearance
    first_ms = None
    if trx is not None:
        ts = milliseconds(trx.timestamps(params.timestamp_col, params.timestamp_unit), "timestamps")
        known = codes >= 0  # a missing id has no entity
        first_ms = _first_of_codes(codes[known], len(uniques), ts[known])[order]
    return pd.Index(uniques).take(order), first_ms


# NumPy's ufunc.at loops without per-element overhead from 1.25 on; before
# that it is far slower than pandas' groupby
_FAST_UFUNC_AT = np.lib.NumpyVersion(np.__version__) >= "1.25.0"


def _first_of_codes(codes: np.ndarray, n_codes: int, ms: np.ndarray) -> np.ndarray:
    """The smallest of ``ms`` (int64) per code 0 .. n_codes - 1 (the int64
    maximum for a code without a row)."""
    first = np.full(n_codes, np.iinfo(np.int64).max, dtype=np.int64)
    if _FAST_UFUNC_AT:
        np.minimum.at(first, codes, ms)
    else:
        found = _deps.pandas().Series(ms, copy=False).groupby(codes).min()
        first[found.index.to_numpy()] = found.to_numpy()
    return first


def _unit_ratio(unit: str) -> Tuple[int, int]:
    """Milliseconds per ``unit`` as (numerator, denominator)."""
    ms = UNIT_MS[unit]
    return ms.numerator, ms.denominator


def _length(entities) -> int:
    for attr in ("num_rows", "height"):
        if hasattr(entities, attr):
            return int(getattr(entities, attr))
    return len(entities)


class OutputTooLargeError(MemoryError):
    """The result would not fit in the memory this process may use."""


def check_output_size(n_rows: int, n_columns: int, available: Optional[int] = None) -> None:
    """Refuses, before computing, a feature matrix larger than the memory left."""
    need = n_rows * n_columns * 4
    available = available_memory() if available is None else available
    if available is None or need <= available:
        return
    raise OutputTooLargeError(
        f"the features need {size_text(need)} ({n_rows:,} rows x {n_columns:,} float32 columns) but only "
        f"{size_text(available)} of memory is available; write them to a file while they are computed instead "
        "(write_feature_frame, or the command line with a .parquet or .arrow output), compute them in parts "
        "(fewer entities or a shorter period per call; build_feature_frame_dask computes one entity partition "
        "at a time), or ask for fewer horizons, operators or dimension values")
