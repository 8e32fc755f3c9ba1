"""Seeded generator of transaction histories and the `execute` calls built on them.

Each workload exists at a small size (quick runs, callgrind) and a large size
(the figures of record), and in two row layouts of the transaction arrays:

* ``grouped``: each entity's rows are contiguous, oldest to newest, as a file
  sorted by entity and date gives;
* ``time``: the rows of all entities interleaved by date, as an event log gives.

In both layouts ``entity_index_map`` lists each entity's rows newest first.

A generated data set (:class:`Dataset`) holds plain NumPy arrays and can be
cached on disk; :func:`build_call` turns it into the 23 arguments of
``execute`` for one workload variant, together with the dense tables that the
lower bound and the peers use.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Dict, List, Optional

import numpy as np

from quelmar.afe.dataaccess.services.transaction_file_record_reader import (
    TransactionFileRecordReader,
)
from quelmar.afe.domain.enums.afe_operator import AfeOperator

DAY_MS = 86_400_000
RESOLUTION_DAY = 2
# Epoch of the generated timestamps: 2021-01-01 in milliseconds.
BASE_MS = 1_609_459_200_000

OP = AfeOperator
ALL_SET_ONE = [OP.Density, OP.Min, OP.Max, OP.Sum, OP.Frequency, OP.CountDistinct, OP.Mode]
PLAIN_SET_ONE = [OP.Density, OP.Min, OP.Max, OP.Sum, OP.Frequency]
SINCE_SET_TWO = [OP.TimeSinceFirst, OP.TimeSinceLast]


@dataclass(frozen=True)
class DataShape:
    """How one family of transaction histories is drawn."""

    name: str
    entities: Dict[str, int]  # size -> number of entities
    trx_per_entity: str  # "skewed", "few" or "long"
    n_codes: int  # dimension codes 0 .. n_codes-1
    n_values: int  # codes map onto values 0 .. n_values-1
    history_days: tuple  # (shortest, longest) span of an entity's history
    after_days: int  # history continues up to this many days after the target date
    missing_fraction: float  # entities without any transaction


@dataclass(frozen=True)
class Workload:
    """One `execute` configuration run on a data shape."""

    name: str
    shape: str
    description: str
    horizons: List[int]
    set_one: list
    set_two: list
    ratio: bool
    offset: int = 1
    splits: int = 4
    for_afe_columns: bool = False
    group: bool = False  # dim_group_id set to the most frequent value


SHAPES = {
    "typical": DataShape(
        name="typical",
        entities={"small": 10_000, "large": 200_000},
        trx_per_entity="skewed",
        n_codes=16,
        n_values=8,
        history_days=(60, 1100),
        after_days=60,
        missing_fraction=0.01,
    ),
    "wide": DataShape(
        name="wide",
        entities={"small": 50_000, "large": 1_000_000},
        trx_per_entity="few",
        n_codes=100,
        n_values=100,
        history_days=(30, 700),
        after_days=30,
        missing_fraction=0.01,
    ),
    # Wide rows of which an entity touches few values: 200 codes onto 100
    # values, about 5 transactions per entity, 89 % of them in the largest
    # window of a year.
    "wider": DataShape(
        name="wider",
        entities={"small": 10_000, "large": 100_000},
        trx_per_entity="few",
        n_codes=200,
        n_values=100,
        history_days=(30, 400),
        after_days=17,
        missing_fraction=0.01,
    ),
    "long": DataShape(
        name="long",
        entities={"small": 100, "large": 2_000},
        trx_per_entity="long",
        n_codes=16,
        n_values=8,
        history_days=(7300, 7300),
        after_days=30,
        missing_fraction=0.0,
    ),
}

WORKLOADS = {
    "W1": Workload(
        name="W1",
        shape="typical",
        description="typical: skewed histories, 16 codes onto 8 values, every operator incl. Ratio",
        horizons=[7, 30, 90, 365],
        set_one=ALL_SET_ONE,
        set_two=SINCE_SET_TWO,
        ratio=True,
    ),
    "W2": Workload(
        name="W2",
        shape="typical",
        description="feature-group mode on W1 data, restricted to dim_group_id",
        horizons=[7, 30, 90, 365],
        set_one=PLAIN_SET_ONE,
        set_two=SINCE_SET_TWO,
        ratio=False,
        for_afe_columns=True,
        group=True,
    ),
    "W2R": Workload(
        name="W2R",
        shape="typical",
        description="feature-group mode on W1 data with Ratio requested",
        horizons=[7, 30, 90, 365],
        set_one=PLAIN_SET_ONE,
        set_two=SINCE_SET_TWO,
        ratio=True,
        for_afe_columns=True,
        group=True,
    ),
    "W3": Workload(
        name="W3",
        shape="wide",
        description="wide and shallow: 5 transactions per entity, 100 dimension values",
        horizons=[30, 365],
        set_one=[OP.Sum, OP.Frequency],
        set_two=[OP.TimeSinceLast],
        ratio=False,
    ),
    "W5": Workload(
        name="W5",
        shape="wider",
        description="wide rows, every operator: 100 dimension values, 4 horizons, 3,400 columns",
        horizons=[7, 30, 90, 365],
        set_one=ALL_SET_ONE,
        set_two=SINCE_SET_TWO,
        ratio=True,
    ),
    "W4": Workload(
        name="W4",
        shape="long",
        description="long histories: 20,000 transactions per entity over 20 years",
        horizons=[7, 30, 90, 365],
        set_one=ALL_SET_ONE,
        set_two=SINCE_SET_TWO,
        ratio=True,
    ),
}

SIZES = ("small", "large")
LAYOUTS = ("grouped", "time")

# Column layout of the transaction arrays: the product keeps several
# quantity columns side by side, so the quantity is read with a stride.
Q_COLUMNS = 2
Q_INDEX = 1
D_INDEX = 0
DATE_COL_INDEX = 0


@dataclass
class Dataset:
    """Transaction arrays of one shape, size and layout, plus the per-entity facts."""

    shape: str
    size: str
    layout: str
    trx_dates: np.ndarray  # (N, 1) int64
    trx_q_arrays: np.ndarray  # (N, Q_COLUMNS) float32
    trx_d_arrays: np.ndarray  # (N, 1) int8
    trx_entity: np.ndarray  # (N,) int32, the entity of each row (peers use it)
    rows_newest_first: np.ndarray  # concatenation of every entity's rows, newest first
    row_offsets: np.ndarray  # (E+1,) int64 into rows_newest_first
    target_dates: np.ndarray  # (E,) int64
    has_rows: np.ndarray  # (E,) bool: entity present in entity_index_map
    index_map: Dict[int, int] = field(default_factory=dict)

    @property
    def n_entities(self) -> int:
        return len(self.target_dates)

    @property
    def n_rows(self) -> int:
        return len(self.trx_entity)

    def entity_index_map(self) -> Dict[int, Optional[np.ndarray]]:
        """Entity to its rows newest first; views into one int32 array, never copies."""
        rows = self.rows_newest_first
        offs = self.row_offsets
        out = {}
        for e in np.flatnonzero(self.has_rows).tolist():
            out[e] = rows[offs[e] : offs[e + 1]]
        return out

    def save(self, path: str) -> None:
        np.savez(
            path,
            trx_dates=self.trx_dates,
            trx_q_arrays=self.trx_q_arrays,
            trx_d_arrays=self.trx_d_arrays,
            trx_entity=self.trx_entity,
            rows_newest_first=self.rows_newest_first,
            row_offsets=self.row_offsets,
            target_dates=self.target_dates,
            has_rows=self.has_rows,
            index_map=np.array(sorted(self.index_map.items()), dtype=np.int64).reshape(-1, 2),
            meta=np.array([self.shape, self.size, self.layout]),
        )

    @classmethod
    def load(cls, path: str) -> "Dataset":
        z = np.load(path)
        shape, size, layout = (str(x) for x in z["meta"])
        return cls(
            shape=shape,
            size=size,
            layout=layout,
            trx_dates=z["trx_dates"],
            trx_q_arrays=z["trx_q_arrays"],
            trx_d_arrays=z["trx_d_arrays"],
            trx_entity=z["trx_entity"],
            rows_newest_first=z["rows_newest_first"],
            row_offsets=z["row_offsets"],
            target_dates=z["target_dates"],
            has_rows=z["has_rows"],
            index_map={int(k): int(v) for k, v in z["index_map"]},
        )


def entity_count(shape_name: str, size: str) -> int:
    """Entities of a named size, or of a size written as "e<count>" (scaling runs)."""
    shape = SHAPES[shape_name]
    if size in shape.entities:
        return shape.entities[size]
    if size.startswith("e") and size[1:].isdigit():
        return int(size[1:])
    raise ValueError("unknown size {!r}".format(size))


def _counts(shape: DataShape, n_entities: int, rng: np.random.Generator) -> np.ndarray:
    if shape.trx_per_entity == "skewed":
        # Log-normal with mean 50: most entities have tens of transactions,
        # a few have thousands.
        sigma = 1.3
        mu = np.log(50.0) - sigma * sigma / 2
        n = np.floor(rng.lognormal(mu, sigma, n_entities)).astype(np.int64) + 1
        n = np.minimum(n, 20_000)
    elif shape.trx_per_entity == "few":
        n = 1 + rng.poisson(4.0, n_entities).astype(np.int64)
    elif shape.trx_per_entity == "long":
        n = np.full(n_entities, 20_000, dtype=np.int64)
    else:
        raise ValueError(shape.trx_per_entity)
    missing = rng.random(n_entities) < shape.missing_fraction
    n[missing] = 0
    return n


def _code_probabilities(n_codes: int) -> np.ndarray:
    # Zipf-like popularity of dimension codes (a few categories dominate).
    w = 1.0 / np.arange(1, n_codes + 1) ** 0.9
    return w / w.sum()


def generate(shape_name: str, size: str, layout: str, seed: int = 20261207) -> Dataset:
    """Draw the histories of one shape and size and lay them out in `layout`.

    The draw depends only on (shape, size, seed), so both layouts of a size
    hold the same transactions in a different row order.
    """
    shape = SHAPES[shape_name]
    n_entities = entity_count(shape_name, size)
    rng = np.random.default_rng([seed, n_entities, len(shape_name)])

    counts = _counts(shape, n_entities, rng)
    n_rows = int(counts.sum())
    offsets = np.zeros(n_entities + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    entity_of_row = np.repeat(np.arange(n_entities, dtype=np.int32), counts)

    # Target dates: midnight of a day within half a year.
    target_days = rng.integers(0, 180, n_entities)
    target_dates = BASE_MS + target_days.astype(np.int64) * DAY_MS

    # Each entity's history runs from `span` days before its target date up
    # to `after_days` days after it; transactions fall uniformly at random
    # times in that range and are sorted oldest to newest.
    lo, hi = shape.history_days
    span_days = rng.integers(lo, hi + 1, n_entities).astype(np.int64)
    start = target_dates - span_days * DAY_MS
    length = (span_days + shape.after_days) * DAY_MS
    u = rng.random(n_rows)
    dates = start[entity_of_row] + (u * length[entity_of_row]).astype(np.int64)
    # Sort within each entity: sort by (entity, date).
    order = np.lexsort((dates, entity_of_row))
    dates = dates[order]

    # Quantities: amounts in cents, log-normal; about 2 % are refunds or
    # zero amounts, which the aggregation skips.
    amounts = np.round(rng.lognormal(3.0, 1.1, n_rows), 2)
    refund = rng.random(n_rows) < 0.02
    amounts[refund] = -np.round(amounts[refund] * rng.random(int(refund.sum())), 2)
    q = np.empty((n_rows, Q_COLUMNS), dtype=np.float32)
    q[:, Q_INDEX] = amounts.astype(np.float32)
    if Q_COLUMNS > 1:
        q[:, 1 - Q_INDEX] = rng.random(n_rows).astype(np.float32)
    # More than 128 codes wrap into the negative int8 codes, which are keys
    # of index_map as such.
    codes = rng.choice(shape.n_codes, size=n_rows, p=_code_probabilities(shape.n_codes)).astype(np.uint8).view(np.int8)

    # Codes map onto values: for 16 codes onto 8 values each pair of codes
    # shares a value; for 100 onto 100 it is the identity.
    per_value = shape.n_codes // shape.n_values
    index_map = {(c + 128) % 256 - 128: c // per_value for c in range(shape.n_codes)}

    # Grouped layout: rows in (entity, date) order; newest first is the
    # reversed block of each entity.
    grouped_rows = np.arange(n_rows, dtype=np.int64)
    newest_first = _reverse_blocks(grouped_rows, offsets)

    if layout == "grouped":
        perm = None
    elif layout == "time":
        perm = np.argsort(dates, kind="stable")
    else:
        raise ValueError(layout)

    if perm is not None:
        inv = np.empty(n_rows, dtype=np.int64)
        inv[perm] = np.arange(n_rows, dtype=np.int64)
        dates = dates[perm]
        q = q[perm]
        codes = codes[perm]
        entity_of_row = entity_of_row[perm]
        newest_first = inv[newest_first]

    return Dataset(
        shape=shape_name,
        size=size,
        layout=layout,
        trx_dates=np.ascontiguousarray(dates.reshape(-1, 1)),
        trx_q_arrays=np.ascontiguousarray(q),
        trx_d_arrays=np.ascontiguousarray(codes.reshape(-1, 1)),
        trx_entity=np.ascontiguousarray(entity_of_row),
        rows_newest_first=newest_first.astype(np.int32),
        row_offsets=offsets,
        target_dates=target_dates,
        has_rows=counts > 0,
        index_map=index_map,
    )


def _reverse_blocks(values: np.ndarray, offsets: np.ndarray) -> np.ndarray:
    """Reverse every block [offsets[e], offsets[e+1]) of `values`."""
    n = len(values)
    if n == 0:
        return values.copy()
    block = np.repeat(np.arange(len(offsets) - 1), np.diff(offsets))
    pos = np.arange(n) - offsets[block]
    src = offsets[block + 1] - 1 - pos
    return values[src]


def cache_dir() -> str:
    d = os.environ.get("DFBH_BENCH_CACHE") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "_build", "data")
    os.makedirs(d, exist_ok=True)
    return d


def dataset(shape_name: str, size: str, layout: str, seed: int = 20261207) -> Dataset:
    """The data set of (shape, size, layout), from the on-disk cache when present."""
    path = os.path.join(cache_dir(), "{}-{}-{}-{}.npz".format(shape_name, size, layout, seed))
    if os.path.exists(path):
        return Dataset.load(path)
    ds = generate(shape_name, size, layout, seed)
    tmp = path + ".tmp.npz"
    ds.save(tmp)
    os.replace(tmp, path)
    return ds


# ---------------------------------------------------------------------------
# The execute call


@dataclass
class Call:
    """The 23 arguments of `execute` for one workload on one data set, and the
    dense tables that describe the cells it writes."""

    workload: Workload
    data: Dataset
    kwargs: dict
    n_result_rows: int
    n_columns: int
    result_row_of_entity: np.ndarray  # (E,) int64, -1 for entities in no split
    dim_values: np.ndarray  # (D,) ascending distinct mapped values
    horizon_list: List[int]
    # Column table: (dim index, operator code, horizon) -> column, as in
    # column_name_map; the dense forms are derived from it.
    columns: Dict[tuple, int]

    def new_result_frame(self) -> np.ndarray:
        return np.full((self.n_result_rows, self.n_columns), np.nan, dtype=np.float32)

    def args(self, result_frame: np.ndarray) -> dict:
        kw = dict(self.kwargs)
        kw["result_frame"] = result_frame
        return kw


def nearest_exponent(horizons: List[int]) -> int:
    """Smallest power of ten above every operator code and horizon."""
    top = max(max(horizons), max(int(o.value) for o in AfeOperator))
    e = 10
    while e <= top:
        e *= 10
    return e


def column_key(e: int, dim: int, op: int, h: int) -> int:
    key = dim * e * e + op * e + h
    if not -(2**31) <= key < 2**31:
        raise ValueError("column key {} does not fit in 32 bits".format(key))
    return key


def build_call(workload_name: str, data: Dataset, seed: int = 7) -> Call:
    """The execute arguments of `workload_name` on `data`."""
    wl = WORKLOADS[workload_name]
    if SHAPES[wl.shape].name != data.shape:
        raise ValueError("workload {} runs on shape {}, not {}".format(wl.name, wl.shape, data.shape))
    rng = np.random.default_rng(seed)
    n_entities = data.n_entities

    # Splits: entities shuffled and dealt into `splits` rows, each ended by -1.
    perm = rng.permutation(n_entities).astype(np.int32)
    n_splits = wl.splits
    per_split = -(-n_entities // n_splits)
    splits = np.full((n_splits, per_split + 1), -1, dtype=np.int32)
    result_row_of_entity = np.full(n_entities, -1, dtype=np.int64)
    for i in range(n_splits):
        part = perm[i::n_splits]
        splits[i, : len(part)] = part
        result_row_of_entity[part] = i + np.arange(len(part), dtype=np.int64) * n_splits
    n_result_rows = n_splits * per_split

    dim_values = np.array(sorted(set(data.index_map.values())), dtype=np.int64)
    horizons = list(wl.horizons)
    horizon_list = sorted(set(horizons)) if wl.for_afe_columns else horizons
    e = nearest_exponent(horizons)
    unknown = int(TransactionFileRecordReader.UNKNOWN_DIMENSION_VALUE)

    group_id = -1
    if wl.group:
        # The most frequent mapped value of the data.
        lut = np.zeros(256, dtype=np.int64)
        for c, v in data.index_map.items():
            lut[c & 0xFF] = v
        values = lut[data.trx_d_arrays[:, D_INDEX].view(np.uint8)]
        low = int(values.min())
        group_id = int(np.bincount(values - low).argmax()) + low

    restricted = wl.for_afe_columns and wl.group and not (
        OP.CountDistinct in wl.set_one + wl.set_two or OP.Mode in wl.set_one + wl.set_two
    )

    columns: Dict[tuple, int] = {}

    def add(dim: int, op: int, h: int) -> None:
        if dim == unknown:
            return
        k = (dim, op, h)
        if k not in columns:
            columns[k] = len(columns)

    group_ratio = wl.for_afe_columns and wl.ratio
    if group_ratio:
        add(group_id, OP.Ratio.value, horizons[0])
    else:
        for d in dim_values.tolist():
            if restricted and d != group_id:
                continue
            for h in horizon_list:
                for op in wl.set_one:
                    add(d, op.value, h)
            for op in wl.set_two:
                add(d, op.value, horizon_list[-1])
            if wl.ratio and not wl.for_afe_columns:
                for h in horizon_list:
                    add(d, OP.Ratio.value, h)
    column_name_map = {column_key(e, d, op, h): c for (d, op, h), c in columns.items()}

    included = [op.value for op in wl.set_one + wl.set_two]
    if wl.ratio:
        included.append(OP.Ratio.value)

    kwargs = dict(
        result_frame=None,
        c_num_threads=1,
        date_col_index=DATE_COL_INDEX,
        d_index=D_INDEX,
        q_index=Q_INDEX,
        splits=splits,
        horizons=horizons,
        offset=wl.offset,
        resolution=RESOLUTION_DAY,
        index_map=dict(data.index_map),
        trx_dates=data.trx_dates,
        trx_q_arrays=data.trx_q_arrays,
        trx_d_arrays=data.trx_d_arrays,
        entity_index_map=data.entity_index_map(),
        target_dates=data.target_dates,
        included_operators=included,
        included_operator_set_one=[op.value for op in wl.set_one],
        included_operator_set_two=[op.value for op in wl.set_two],
        column_name_map=column_name_map,
        nearest_exponent=e,
        dim_group_id=group_id,
        for_afe_columns=wl.for_afe_columns,
        is_no_dim_col=False,
    )
    return Call(
        workload=wl,
        data=data,
        kwargs=kwargs,
        n_result_rows=n_result_rows,
        n_columns=max(len(columns), 1),
        result_row_of_entity=result_row_of_entity,
        dim_values=dim_values,
        horizon_list=list(horizon_list),
        columns=columns,
    )


def scanned_rows(call: Call) -> int:
    """Rows that the newest-first scan reads: every row newer than the start of
    the largest window, plus the first older row, which ends the scan."""
    data = call.data
    wl = call.workload
    unit = DAY_MS
    lower = data.target_dates - (max(call.horizon_list) + wl.offset) * unit
    dates = data.trx_dates[:, DATE_COL_INDEX]
    ent = data.trx_entity
    n = np.bincount(ent, minlength=data.n_entities)
    kept = np.bincount(ent, weights=(dates >= lower[ent]), minlength=data.n_entities).astype(np.int64)
    placed = call.result_row_of_entity >= 0
    return int(np.minimum(n, kept + 1)[placed & data.has_rows].sum())


def main(argv=None) -> None:
    import argparse

    p = argparse.ArgumentParser(description="Generate (and cache) benchmark data sets.")
    p.add_argument("--shape", choices=sorted(SHAPES), action="append")
    p.add_argument("--size", choices=SIZES, default="small")
    p.add_argument("--layout", choices=LAYOUTS, action="append")
    args = p.parse_args(argv)
    for s in args.shape or sorted(SHAPES):
        for lay in args.layout or LAYOUTS:
            ds = dataset(s, args.size, lay)
            print(
                "{:8s} {:6s} {:8s} entities={:>9,d} rows={:>11,d}".format(
                    s, args.size, lay, ds.n_entities, ds.n_rows
                )
            )


if __name__ == "__main__":
    main()
