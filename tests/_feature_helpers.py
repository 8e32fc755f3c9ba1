"""Builders for `execute` calls in the feature and differential tests.

A `Scenario` turns a readable description (transactions per entity, splits,
index map, horizons, operators) into the 23 arguments of `execute`, with a
result frame pre-filled with a sentinel, and runs either the native module or
the reference model on fresh copies of them.
"""

from __future__ import annotations

import contextlib
import sys

import numpy as np

import reference_model

MODULE_PATH = "quelmar.afe.domain.modelling.helper.data_frame_builder_helper"
CONTEXT_PREFIX = MODULE_PATH + "."

DAY = 86_400_000
HOUR = 3_600_000
T0 = 1_700_000_000_000  # a target date, in milliseconds
SENTINEL = -7.0


def afe_operator():
    from quelmar.afe.domain.enums.afe_operator import AfeOperator

    return AfeOperator


def unknown_dimension_value():
    from quelmar.afe.dataaccess.services.transaction_file_record_reader import (
        TransactionFileRecordReader,
    )

    return TransactionFileRecordReader.UNKNOWN_DIMENSION_VALUE


def code(name):
    """Operator code of an AfeOperator member, by name."""
    return int(getattr(afe_operator(), name).value)


def all_codes():
    return [int(member.value) for member in afe_operator()]


def load_module():
    import importlib

    return importlib.import_module(MODULE_PATH)


@contextlib.contextmanager
def capture_unraisable():
    """Collects (type name, message, routine) of every unraisable report."""
    reports = []
    previous = sys.unraisablehook

    def hook(args):
        context = args.object
        if isinstance(context, str) and context.startswith(CONTEXT_PREFIX):
            context = context[len(CONTEXT_PREFIX) :]
        else:
            context = ("unexpected context", context)
        reports.append((args.exc_type.__name__, str(args.exc_value), context))

    sys.unraisablehook = hook
    try:
        yield reports
    finally:
        sys.unraisablehook = previous


def f32_bits(array):
    """uint32 view of a float32 array, for bit-exact comparison."""
    return np.ascontiguousarray(array, dtype=np.float32).view(np.uint32)


def assert_bits_equal(got, expected):
    got_bits, expected_bits = f32_bits(got), f32_bits(expected)
    assert got_bits.shape == expected_bits.shape, (got_bits.shape, expected_bits.shape)
    if not np.array_equal(got_bits, expected_bits):
        diff = np.argwhere(got_bits != expected_bits)
        lines = [
            "{}: got {!r} (0x{:08x}) expected {!r} (0x{:08x})".format(
                tuple(int(i) for i in idx),
                float(np.asarray(got)[tuple(idx)]),
                int(got_bits[tuple(idx)]),
                float(np.asarray(expected)[tuple(idx)]),
                int(expected_bits[tuple(idx)]),
            )
            for idx in diff[:20]
        ]
        raise AssertionError("{} cells differ:\n{}".format(len(diff), "\n".join(lines)))


def same_value(a, b):
    """Equal down to the bytes: arrays by shape, dtype and contents (NaN
    payloads and -0.0 included), dicts by key order and values, lists element
    by element, anything else by type and value."""
    if isinstance(a, np.ndarray):
        return (
            isinstance(b, np.ndarray)
            and a.shape == b.shape
            and a.dtype == b.dtype
            and np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes()
        )
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def _relayout(array, layout):
    """The same values in a differently strided array (a view of a new buffer)."""
    array = np.asarray(array)
    if layout == "plain":
        return array.copy()
    if layout == "transposed":
        # Column-major storage: every axis is non-contiguous in row terms.
        return np.asfortranarray(array) if array.ndim > 1 else array.copy()
    if layout == "reversed":
        # Negative strides on every axis.
        flipped = array[tuple(slice(None, None, -1) for _ in range(array.ndim))].copy()
        return flipped[tuple(slice(None, None, -1) for _ in range(array.ndim))]
    if layout == "sliced":
        # Every second element of a larger buffer on every axis.
        big = np.zeros(tuple(2 * n + 1 for n in array.shape), dtype=array.dtype)
        view = big[tuple(slice(1, None, 2) for _ in range(array.ndim))]
        view[...] = array
        return view
    raise ValueError(layout)


class Scenario:
    """One `execute` call described in readable pieces.

    transactions: {entity: [(timestamp, quantity, dimension_code), ...]},
    listed in the order given to the module (newest first for a sorted
    history). An entity absent from it has no `entity_index_map` entry; one
    with an empty list has an empty row array.
    """

    # where the used columns of the transaction arrays lie
    DATE_COL = 1
    Q_COL = 2
    D_COL = 0

    def __init__(
        self,
        *,
        transactions,
        target_dates,
        splits,
        index_map,
        horizons,
        offset=1,
        resolution=2,
        operators=(),
        set_one=(),
        set_two=(),
        for_afe_columns=False,
        dim_group_id=-1,
        is_no_dim_col=False,
        nearest_exponent=1000,
        dims=None,
        sentinel=SENTINEL,
        date_col_index=None,
        layout="plain",
        drop_keys=(),
        extra_ops=(),
    ):
        self.transactions = transactions
        self.target_dates = list(target_dates)
        self.splits = [list(row) for row in splits]
        self.index_map = dict(index_map)
        self.horizons = list(horizons)
        self.offset = offset
        self.resolution = resolution
        self.operators = list(operators)
        self.set_one = list(set_one)
        self.set_two = list(set_two)
        self.for_afe_columns = for_afe_columns
        self.dim_group_id = dim_group_id
        self.is_no_dim_col = is_no_dim_col
        self.nearest_exponent = nearest_exponent
        self.sentinel = sentinel
        self.date_col_index = self.DATE_COL if date_col_index is None else date_col_index
        self.layout = layout
        if dims is None:
            dims = sorted(set(self.index_map.values()) | {0})
        self.dims = list(dims)
        column_name_map = {}
        horizon_values = sorted(set(self.horizons) | {1})
        for d in self.dims:
            for op in all_codes() + list(extra_ops):
                for h in horizon_values:
                    key = reference_model.get_column_key(nearest_exponent, d, op, h)
                    if key not in column_name_map and key not in drop_keys:
                        column_name_map[key] = len(column_name_map)
        self.column_name_map = column_name_map
        self.n_cols = max(column_name_map.values(), default=-1) + 1
        n_rows = max(len(row) for row in self.splits) * max(len(self.splits), 1) if self.splits else 1
        self.n_rows = max(n_rows, 1)

        # transaction rows, in entity order, each entity's rows in listed order
        dates, quantities, codes = [], [], []
        self.entity_rows = {}
        for entity in sorted(transactions):
            rows = []
            for timestamp, quantity, dimension_code in transactions[entity]:
                rows.append(len(dates))
                dates.append(timestamp)
                quantities.append(quantity)
                codes.append(dimension_code)
            self.entity_rows[entity] = rows
        n = len(dates)
        self.trx_dates = np.full((n, 2), -(10**15), dtype=np.int64)
        self.trx_dates[:, self.DATE_COL] = dates
        self.trx_q = np.full((n, 3), 99.0, dtype=np.float32)
        self.trx_q[:, self.Q_COL] = np.array(quantities, dtype=np.float32)
        self.trx_d = np.full((n, 2), 77, dtype=np.int8)
        self.trx_d[:, self.D_COL] = codes

    def __repr__(self):
        fields = [
            "transactions",
            "target_dates",
            "splits",
            "index_map",
            "horizons",
            "offset",
            "resolution",
            "operators",
            "set_one",
            "set_two",
            "for_afe_columns",
            "dim_group_id",
            "is_no_dim_col",
            "nearest_exponent",
            "sentinel",
            "date_col_index",
            "layout",
        ]
        return "Scenario({})".format(", ".join("{}={!r}".format(f, getattr(self, f)) for f in fields))

    def column(self, dim_value, op, horizon):
        key = reference_model.get_column_key(self.nearest_exponent, dim_value, op, horizon)
        return self.column_name_map[key]

    def blank_frame(self):
        return np.full((self.n_rows, self.n_cols), self.sentinel, dtype=np.float32)

    def expected(self, cells):
        """A sentinel frame with the given {(row, (d, op, h)): value} cells."""
        frame = self.blank_frame()
        for (row, key), value in cells.items():
            frame[row, self.column(*key)] = np.float32(value)
        return frame

    def arguments(self):
        """Fresh arguments of one call (new arrays and dicts every time)."""
        layout = self.layout
        split_width = max((len(row) for row in self.splits), default=0)
        splits = np.full((len(self.splits), split_width), -1, dtype=np.int32)
        for i, row in enumerate(self.splits):
            splits[i, : len(row)] = row
        entity_index_map = {
            entity: _relayout(np.array(rows, dtype=np.int32), layout)
            for entity, rows in self.entity_rows.items()
        }
        return dict(
            result_frame=_relayout(self.blank_frame(), layout),
            c_num_threads=1,
            date_col_index=self.date_col_index,
            d_index=self.D_COL,
            q_index=self.Q_COL,
            splits=_relayout(splits, layout),
            horizons=list(self.horizons),
            offset=self.offset,
            resolution=self.resolution,
            index_map=dict(self.index_map),
            trx_dates=_relayout(self.trx_dates, layout),
            trx_q_arrays=_relayout(self.trx_q, layout),
            trx_d_arrays=_relayout(self.trx_d, layout),
            entity_index_map=entity_index_map,
            target_dates=_relayout(np.array(self.target_dates, dtype=np.int64), layout),
            included_operators=list(self.operators),
            included_operator_set_one=list(self.set_one),
            included_operator_set_two=list(self.set_two),
            column_name_map=dict(self.column_name_map),
            nearest_exponent=self.nearest_exponent,
            dim_group_id=self.dim_group_id,
            for_afe_columns=self.for_afe_columns,
            is_no_dim_col=self.is_no_dim_col,
        )

    def run(self, implementation, arguments=None):
        """Runs `implementation` ("model" or "module"); returns (frame, reports)."""
        if arguments is None:
            arguments = self.arguments()
        if implementation == "model":
            reports = reference_model.execute_reference(**arguments)
        elif implementation == "module":
            module = load_module()
            with capture_unraisable() as reports:
                result = module.execute(**arguments)
            assert result is None
        else:
            raise ValueError(implementation)
        return np.array(arguments["result_frame"]), list(reports)


# ---- the front end's native path ------------------------------------------------


class EventLog:
    """A random transaction table as the front end hands it to the native path:
    entity codes (a factorisation, some entities without rows), int64 ms
    timestamps, float32 quantities, int8 dimension codes, rows in no
    particular order; and targets before, among and after each entity's
    transactions, a few without an entity (code -1) or with an entity that
    has no rows.

    Timestamps repeat within an entity; quantities include NaN, 0 and negative
    values; entity lengths range from 0 to `long_run` rows.
    """

    def __init__(self, seed, n_entities=60, n_rows=3000, long_run=400, order="random", max_targets=3,
                 codes=(-2, 5)):
        rng = np.random.default_rng(seed)
        weights = rng.pareto(1.2, n_entities) + 0.05
        weights[rng.random(n_entities) < 0.1] = 0  # entities without transactions
        weights[rng.integers(n_entities)] = weights.sum() * long_run / n_rows  # one long run
        entity = rng.choice(n_entities, size=n_rows, p=weights / weights.sum())
        # Per entity a few candidate days, so that timestamps repeat.
        days = rng.integers(0, 400, n_rows)
        days = np.where(rng.random(n_rows) < 0.3, days % 7, days)
        timestamp = T0 - days * DAY - np.where(rng.random(n_rows) < 0.5, 0, rng.integers(0, DAY, n_rows))
        if order != "random":
            by_time = np.lexsort((rng.random(n_rows), timestamp))
            if order == "newest first":
                by_time = by_time[::-1]
            entity, timestamp = entity[by_time], timestamp[by_time]
        self.n_entities = n_entities
        self.entity = entity.astype(np.int64)
        self.timestamp = timestamp.astype(np.int64)
        self.quantity = rng.choice(
            np.array([1.0, 2.5, 0.5, 7.0, 3.25, 0.0, -1.0, np.nan], dtype=np.float32), n_rows,
            p=[0.2, 0.2, 0.15, 0.15, 0.1, 0.08, 0.07, 0.05])
        self.code = rng.integers(codes[0], codes[1], n_rows).astype(np.int8)
        # Up to `max_targets` targets per entity, near one of its own
        # transactions or well after or before all of them.
        by_entity = np.argsort(self.entity, kind="stable")
        counts = np.bincount(self.entity, minlength=n_entities)
        starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
        target_entity = np.repeat(np.arange(n_entities), rng.integers(0, max_targets + 1, n_entities))
        pick = starts[target_entity] + (rng.random(len(target_entity)) * counts[target_entity]).astype(np.int64)
        near = np.where(counts[target_entity] > 0, self.timestamp[by_entity[np.minimum(pick, n_rows - 1)]], T0)
        anchor = np.select([rng.random(len(near)) < 0.15, rng.random(len(near)) < 0.1],
                           [T0 + 3 * DAY, T0 - 500 * DAY], near)
        target_ms = anchor + rng.integers(-40, 40, len(anchor)) * DAY
        target_entity = np.concatenate([target_entity, [-1, -1]])
        target_ms = np.concatenate([target_ms, [T0, T0]])
        shuffle = rng.permutation(len(target_entity))
        self.target_entity = np.array(target_entity, dtype=np.int64)[shuffle]
        self.target_ms = np.array(target_ms, dtype=np.int64)[shuffle]

    def lexsorted(self, keep_dates=(-2**63, 2**63 - 1)):
        """Rows in the order the front end sorts them, and each entity's first
        row; only the rows dated within ``keep_dates`` (both included)."""
        kept = np.flatnonzero((self.timestamp >= keep_dates[0]) & (self.timestamp <= keep_dates[1]))
        order = kept[np.lexsort((self.quantity[kept], self.code[kept], ~self.timestamp[kept], self.entity[kept]))]
        offsets = np.zeros(self.n_entities + 1, dtype=np.int64)
        np.cumsum(np.bincount(self.entity[kept], minlength=self.n_entities), out=offsets[1:])
        return self.timestamp[order], self.quantity[order], self.code[order], offsets

    def execute(self, frame, layout, index_map, *, resolution, offset, dim_group_id=-1,
                for_afe_columns=False, is_no_dim_col=False):
        """`execute` on this table as the front end lays it out: rows sorted by
        the lexsort above, one split, target i on result row i with the rows
        of its entity as a view; targets without an entity left out."""
        dates, quantities, codes, offsets = self.lexsorted()
        rows = np.arange(len(dates), dtype=np.int32)
        n = len(self.target_entity)
        entity_index_map = {
            i: rows[offsets[e]:offsets[e + 1]] for i, e in enumerate(self.target_entity.tolist()) if e >= 0
        }
        splits = np.arange(n, dtype=np.int32).reshape(1, n)
        load_module().execute(
            frame, 1, 0, 0, 0, splits, layout.horizons_arg, offset, resolution, index_map,
            dates.reshape(-1, 1), quantities.reshape(-1, 1), codes.reshape(-1, 1), entity_index_map,
            self.target_ms.copy(), layout.included, layout.set_one, layout.set_two,
            layout.column_name_map, layout.nearest_exponent, dim_group_id, for_afe_columns,
            is_no_dim_col)
        return frame

    def empty_statistic_cells(self, layout, per_dimension, *, offset, unit_ms, for_afe_columns):
        """Mask (targets x columns) of the count_distinct and mode cells whose
        window holds no accepted transaction, worked out from the table alone,
        target by target: a transaction is accepted when its quantity passes
        the kernel's filter (above 0; outside feature-group mode NaN passes
        too) and its date lies in [T - (offset + h) units, T - offset units),
        the end included in feature-group mode. A column written once per
        dimension value describes the smallest horizon's window."""
        from quelmar.afe.domain.enums.afe_operator import AfeOperator as Op

        dates, quantities, _, offsets = self.lexsorted()
        accepted = quantities > 0 if for_afe_columns else ~(quantities <= 0)
        smallest = min(layout.horizons_arg)
        mask = np.zeros((len(self.target_entity), len(layout.names)), dtype=bool)
        for i, (e, target) in enumerate(zip(self.target_entity.tolist(), self.target_ms.tolist())):
            run = slice(offsets[e], offsets[e + 1]) if e >= 0 else slice(0, 0)
            end = target - offset * unit_ms
            before_end = (dates[run] <= end) if for_afe_columns else (dates[run] < end)
            for column, (_, op, h) in enumerate(layout.triples):
                if op is Op.CountDistinct or op is Op.Mode:
                    start = end - (smallest if op in per_dimension else h) * unit_ms
                    mask[i, column] = not (before_end & (dates[run] >= start) & accepted[run]).any()
        return mask

