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
from typing import Any, NamedTuple, Optional, Tuple

import numpy as np

from ..errors import InvalidParameterError, OutputTooLargeError
from ..input import EntityCodes, IdColumn, InputTable, TimeColumn, read_times
from .. import native
from ..params import TIMELINE_LIMIT_MS, UNIT_MS, FeatureParams, counts_of_ms, floor_ms, layout_for, ms_ratio
from ..support import available_memory, pandas, size_text

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


def instant(value: Any, what: str) -> Tuple[int, bool]:
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
        start, start_is_date = instant(self.start, "start")
        end, end_is_date = instant(self.end, "end")
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
            ratio = ms_ratio(params.timestamp_unit)
            start, end = floor_ms(start, ratio), floor_ms(end, ratio)
        if max(abs(start), abs(end)) > TIMELINE_LIMIT_MS:
            raise InvalidParameterError("start, end: beyond +-2**62 milliseconds (check timestamp_unit)")
        return start, step, (end - start) // step + 1, is_date

    def empty_table(self, transactions, params: FeatureParams):
        """A target table of the grid's columns and no row (for a schema)."""
        pd = pandas()
        ids = pd.Series(InputTable(transactions, "transactions", [params.entity_col]).output(params.entity_col))
        is_date = self._bounds[3]
        return pd.DataFrame({params.entity_col_of_targets: ids.iloc[:0].reset_index(drop=True),
                             params.target_date_col: np.zeros(0, "datetime64[ms]" if is_date else np.int64)})

    def table(self, transactions, params: FeatureParams, in_memory: bool = True):
        """The grid as a target table (a pandas DataFrame): see ``targets``.
        ``transactions`` may be None for a grid of given ``entities``
        without ``from_first_transaction``."""
        ids = times = None
        if self.entities is None or self.from_first_transaction:
            needed = [params.entity_col] + ([params.timestamp_col] if self.from_first_transaction else [])
            table = InputTable(transactions, "transactions", needed)
            ids = IdColumn(table, params.entity_col)
            if self.from_first_transaction:
                times = read_times(table, params.timestamp_col, params.timestamp_unit)
        return self.targets(params, ids, times, params.jobs(), in_memory).frame

    def targets(self, params: FeatureParams, ids: Optional[IdColumn], times: Optional[TimeColumn], n_jobs: int,
                in_memory: bool = True) -> "ScheduledTargets":
        """The grid's targets: entity by entity (ids sorted where they
        compare, else in order of appearance), each entity's dates
        ascending. ``ids`` and ``times`` are the transactions' (every row of
        their table). ``in_memory``: the features will be held in memory, so
        a grid whose features cannot fit is refused first; a caller that
        writes them while computing passes False."""
        pd = pandas()
        start, step, n_dates, is_date = self.schedule(params)
        numbering = None
        if self.entities is None:
            listing = list_entities(ids, n_jobs)
            uniques, numbering = listing.index, listing
            first_ms = listing.first_ms(times) if self.from_first_transaction else None
        else:
            uniques = _given_entities(self.entities, params)
            first_ms = None
            if self.from_first_transaction:
                # given entities start after their own first transaction; one without any never starts
                known = list_entities(ids, n_jobs)
                at = known.index.get_indexer(uniques)
                first_ms = known.first_ms(times)[np.maximum(at, 0)]
                first_ms[at < 0] = np.iinfo(np.int64).max
        first = np.zeros(len(uniques), dtype=np.int64)
        if first_ms is not None:
            # the first grid date strictly after the first transaction
            first = np.clip((first_ms - start) // step + 1, 0, n_dates)
        counts = n_dates - first
        n_rows = int(counts.sum(dtype=object))
        if in_memory:
            check_output_size(n_rows, _fewest_columns(params))
        entity = np.repeat(np.arange(len(uniques)), counts)
        position = np.arange(n_rows) - np.repeat(np.cumsum(counts) - counts, counts) + np.repeat(first, counts)
        dates = start + position * step
        if is_date:
            date_column = dates.astype("datetime64[ms]")
        else:
            date_column = counts_of_ms(dates, ms_ratio(params.timestamp_unit))
        frame = pd.DataFrame({params.entity_col_of_targets: uniques.take(entity), params.target_date_col: date_column})
        codes = None
        if numbering is not None:
            codes = EntityCodes(numbering.codes, numbering.n_codes, np.repeat(numbering.code_of_index, counts))
        return ScheduledTargets(frame, dates, codes)


class ScheduledTargets(NamedTuple):
    """A grid's targets: their table (for the output columns), their dates in
    milliseconds and, for a grid over the transactions' entities, the
    entity codes of the transactions and of the targets."""

    frame: Any
    dates: np.ndarray
    codes: Optional[EntityCodes]


def _fewest_columns(params: FeatureParams) -> int:
    """Before any row of the table is made: the columns of at least one
    dimension value (all of them are checked once they are known), the
    group's own where features are restricted to one."""
    dims = params.dimension_values
    if dims is None:
        grouped = params.for_afe_columns and not params.is_no_dim_col and -128 <= params.dim_group_id <= 127
        codes = [params.dim_group_id] if grouped else [0]
        return len(layout_for(params, codes).names)
    return len(layout_for(params, []).names)


class EntityListing(NamedTuple):
    """The distinct ids of the transactions (``index``, sorted where they
    compare, else in order of appearance) and their numbering: every
    transaction's code, the number of codes and each index entry's code."""

    index: Any
    codes: np.ndarray
    n_codes: int
    code_of_index: np.ndarray

    def first_ms(self, times: TimeColumn) -> np.ndarray:
        """Each index entry's first transaction, in milliseconds."""
        return _first_of_codes(self.codes, self.n_codes, times.milliseconds())[self.code_of_index]


def list_entities(ids: IdColumn, n_jobs: int) -> EntityListing:
    """The transactions' distinct ids and their numbering: integer ids
    natively, others by pandas."""
    pd = pandas()
    integers = ids.integers()
    if integers is not None and len(integers):
        codes, n_codes, present, smallest = native.number_entities(integers, n_jobs=n_jobs)
        code_of_index = np.flatnonzero(present).astype(np.int32)
        numbers = ids.numbers()
        if smallest is not None:
            # numbered by range: ascending codes are ascending ids
            values = (code_of_index.astype(np.int64) + smallest).astype(numbers.dtype)
        else:
            # numbered in order of appearance, every code with a transaction
            by_code = np.empty(n_codes, dtype=numbers.dtype)
            by_code[codes] = numbers
            order = np.argsort(by_code, kind="stable")
            values, code_of_index = by_code[order], code_of_index[order]
        return EntityListing(pd.Index(values, dtype=ids.index_dtype()), codes, n_codes, code_of_index)
    values = ids.pandas_values()
    if isinstance(values.dtype, np.dtype) and not values.dtype.isnative:
        values = values.astype(values.dtype.newbyteorder("="))  # pandas hashes native byte order only
    codes, uniques = pd.factorize(values)
    if len(uniques) == 0:
        raise InvalidParameterError("entities: the grid has no entity (the transactions are empty)")
    order = _sorted_order(uniques)
    return EntityListing(pd.Index(uniques).take(order), np.asarray(codes, dtype=np.int64), len(uniques),
                         order.astype(np.int32))


def _given_entities(entities, params: FeatureParams):
    """The distinct ids of ``entities`` (a table with the targets' entity
    column, or a sequence) as an Index, sorted where they compare."""
    pd = pandas()
    if isinstance(entities, pd.DataFrame) or hasattr(entities, "column_names") or hasattr(entities, "columns"):
        col = params.entity_col_of_targets
        given = pd.Series(InputTable(entities, "entities", [col]).output(col))
    else:
        given = pd.Series(list(entities))
    codes, uniques = pd.factorize(given)
    if len(uniques) == 0:
        raise InvalidParameterError("entities: the grid has no entity")
    return pd.Index(uniques).take(_sorted_order(uniques))


def _sorted_order(uniques) -> np.ndarray:
    try:
        return np.argsort(np.asarray(uniques), kind="stable")
    except TypeError:
        return np.arange(len(uniques))  # ids that do not compare keep their order of appearance


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
        found = pandas().Series(ms, copy=False).groupby(codes).min()
        first[found.index.to_numpy()] = found.to_numpy()
    return first


def _length(entities) -> int:
    for attr in ("num_rows", "height"):
        if hasattr(entities, attr):
            return int(getattr(entities, attr))
    return len(entities)


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
