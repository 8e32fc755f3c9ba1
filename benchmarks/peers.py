"""The W1 features computed the way a user would without the module.

Each peer starts from a transaction table in its own library (entity, date,
quantity, dimension code) and a table of target dates, computes per
dimension value and cumulative horizon Sum, Min, Max, count, mean, time since
first and last transaction and the ratio of sums, and per horizon the
distinct count and the mode of the dimension codes, and ends with the
features placed into the same float32 result matrix as `execute` fills.
Building the input tables is not timed (a user has them already); computing
and placing is.

Rules that every peer follows (they are what the features mean):

* the window of horizon h is T - (h + offset) days <= date < T - offset days;
  horizons are cumulative (a larger horizon includes the smaller ones);
* transactions with a quantity of 0 or below are left out;
* the mode is the most frequent code, the smallest code on a tie, 0 when the
  horizon holds no transaction, and so is the distinct count;
* the ratio of a dimension value is its sum divided by the sum of all values
  at the same horizon;
* time since first/last is the age of the oldest/newest transaction of a
  dimension value in days, over the largest window.
"""

from __future__ import annotations

from typing import Dict

import numpy as np

from generate import D_INDEX, DATE_COL_INDEX, DAY_MS, Q_INDEX, Call
from quelmar.afe.domain.enums.afe_operator import AfeOperator as OP

FEATURES_SET_ONE = [OP.Density, OP.Min, OP.Max, OP.Sum, OP.Frequency, OP.CountDistinct, OP.Mode]


class Placement:
    """Where each feature goes in the result matrix (dense lookup tables)."""

    def __init__(self, call: Call):
        kw = call.kwargs
        if list(kw["included_operator_set_one"]) != [o.value for o in FEATURES_SET_ONE] or kw["for_afe_columns"]:
            raise ValueError("the peers compute the W1 features only")
        self.horizons = list(call.horizon_list)
        self.offset = int(kw["offset"])
        self.dim_values = np.asarray(call.dim_values)
        self.index_map = dict(kw["index_map"])
        self.row_of_entity = call.result_row_of_entity
        self.present = np.flatnonzero(call.data.has_rows & (call.result_row_of_entity >= 0))
        H, D = len(self.horizons), len(self.dim_values)
        ops = [o.value for o in FEATURES_SET_ONE] + [OP.TimeSinceFirst.value, OP.TimeSinceLast.value, OP.Ratio.value]
        self.col = {}
        for op in ops:
            t = np.full((D, H), -1, dtype=np.int64)
            for i, d in enumerate(self.dim_values.tolist()):
                for j, h in enumerate(self.horizons):
                    hh = self.horizons[-1] if op in (OP.TimeSinceFirst.value, OP.TimeSinceLast.value) else h
                    t[i, j] = call.columns.get((d, op, hh), -1)
            self.col[op] = t
        if any((t < 0).any() for t in self.col.values()):
            raise ValueError("a W1 feature has no column")

    def dim_index(self, values: np.ndarray) -> np.ndarray:
        return np.searchsorted(self.dim_values, values)

    def place(self, result: np.ndarray, cells: Dict[str, np.ndarray], spans: Dict[str, np.ndarray],
              stats: Dict[str, np.ndarray]) -> None:
        """Write the long-form features into `result`.

        cells: entity, dim, pos, sum, min, max, count, ratio (one entry per
        entity, dimension value and horizon position that holds a transaction);
        spans: entity, dim, first, last; stats: entity, pos, distinct, mode.
        """
        H = len(self.horizons)
        # Distinct count and mode are written for every dimension value of
        # every entity with transactions; 0 where the horizon holds none.
        rows = self.row_of_entity[self.present]
        for op in (OP.CountDistinct.value, OP.Mode.value):
            result[rows[:, None], self.col[op].reshape(-1)[None, :]] = 0.0
        r = self.row_of_entity[stats["entity"]]
        pos = stats["pos"]
        for op, v in ((OP.CountDistinct.value, stats["distinct"]), (OP.Mode.value, stats["mode"])):
            c = self.col[op][:, pos].T  # (n, D)
            result[r[:, None], c] = np.asarray(v, dtype=np.float32)[:, None]

        r = self.row_of_entity[cells["entity"]]
        di = self.dim_index(cells["dim"])
        pos = cells["pos"]
        s = np.asarray(cells["sum"], dtype=np.float32)
        n = np.asarray(cells["count"], dtype=np.float32)
        for op, v in (
            (OP.Sum.value, s),
            (OP.Min.value, cells["min"]),
            (OP.Max.value, cells["max"]),
            (OP.Frequency.value, n),
            (OP.Density.value, s / n),
            (OP.Ratio.value, cells["ratio"]),
        ):
            result[r, self.col[op][di, pos]] = v

        r = self.row_of_entity[spans["entity"]]
        di = self.dim_index(spans["dim"])
        result[r, self.col[OP.TimeSinceFirst.value][di, H - 1]] = spans["first"]
        result[r, self.col[OP.TimeSinceLast.value][di, H - 1]] = spans["last"]


def code_lut(index_map: Dict[int, int]) -> np.ndarray:
    lut = np.zeros(256, dtype=np.int16)
    for c, v in index_map.items():
        lut[c & 0xFF] = v
    return lut


class PeerData:
    """The plain columns every peer builds its tables from."""

    def __init__(self, call: Call):
        data = call.data
        placed = data.has_rows & (call.result_row_of_entity >= 0)
        self.entity = data.trx_entity
        self.date = np.ascontiguousarray(data.trx_dates[:, DATE_COL_INDEX])
        self.q = np.ascontiguousarray(data.trx_q_arrays[:, Q_INDEX])
        self.code = np.ascontiguousarray(data.trx_d_arrays[:, D_INDEX])
        self.target_entity = np.flatnonzero(placed).astype(np.int32)
        self.target_date = data.target_dates[self.target_entity]
        self.index_map = dict(call.kwargs["index_map"])
        self.map_code = np.array(sorted(self.index_map), dtype=np.int8)
        self.map_value = np.array([self.index_map[c] for c in sorted(self.index_map)], dtype=np.int16)


# ---------------------------------------------------------------------------
# (a) pandas / NumPy


class PandasPeer:
    name = "pandas"

    def __init__(self, call: Call, pdata: PeerData, placement: Placement):
        import pandas as pd

        self.pd = pd
        self.placement = placement
        self.trx = pd.DataFrame({"entity": pdata.entity, "date": pdata.date, "q": pdata.q, "code": pdata.code})
        # Entities are dense integers: the target date of an entity is an
        # array lookup (entities without a target date are dropped).
        n = int(max(pdata.entity.max(initial=-1), pdata.target_entity.max(initial=-1))) + 1
        self.target_of = np.zeros(n, dtype=np.int64)
        self.target_of[pdata.target_entity] = pdata.target_date
        known = np.zeros(n, dtype=bool)
        known[pdata.target_entity] = True
        if not known[pdata.entity].all():
            self.trx = self.trx[known[pdata.entity]]
        self.dim_map = pd.Series(pdata.map_value, index=pdata.map_code)

    def run(self, result: np.ndarray) -> None:
        pd = self.pd
        horizons, offset = self.placement.horizons, self.placement.offset
        df = self.trx.assign(target=self.target_of[self.trx["entity"].to_numpy()])
        upper = df["target"] - offset * DAY_MS
        lower = df["target"] - (horizons[-1] + offset) * DAY_MS
        df = df[(df["date"] < upper) & (df["date"] >= lower) & (df["q"] > 0)]
        df = df.assign(
            dim=df["code"].map(self.dim_map),
            age=((df["target"] - df["date"]) / DAY_MS).astype(np.float32),
        )
        cell_parts, stat_parts = [], []
        for pos, h in enumerate(horizons):
            sub = df[df["date"] >= df["target"] - (h + offset) * DAY_MS]
            g = sub.groupby(["entity", "dim"], sort=False)["q"].agg(["sum", "min", "max", "count"])
            g["ratio"] = g["sum"] / g.groupby(level="entity")["sum"].transform("sum")
            g["pos"] = pos
            cell_parts.append(g)
            counts = sub.groupby(["entity", "code"]).size().rename("n").reset_index()
            counts = counts.sort_values(["entity", "n", "code"], ascending=[True, False, True])
            top = counts.drop_duplicates("entity")
            st = pd.DataFrame(
                {
                    "entity": top["entity"].to_numpy(),
                    "mode": top["code"].to_numpy(),
                    "distinct": counts.groupby("entity", sort=True).size().to_numpy(),
                    "pos": pos,
                }
            )
            stat_parts.append(st)
            if pos == len(horizons) - 1:
                sp = sub.groupby(["entity", "dim"], sort=False)["age"].agg(["max", "min"]).reset_index()
        cells = pd.concat(cell_parts).reset_index()
        stats = pd.concat(stat_parts)
        self.placement.place(
            result,
            {
                "entity": cells["entity"].to_numpy(),
                "dim": cells["dim"].to_numpy(),
                "pos": cells["pos"].to_numpy(),
                "sum": cells["sum"].to_numpy(),
                "min": cells["min"].to_numpy(),
                "max": cells["max"].to_numpy(),
                "count": cells["count"].to_numpy(),
                "ratio": cells["ratio"].to_numpy(np.float32),
            },
            {"entity": sp["entity"].to_numpy(), "dim": sp["dim"].to_numpy(), "first": sp["max"].to_numpy(),
             "last": sp["min"].to_numpy()},
            {"entity": stats["entity"].to_numpy(), "pos": stats["pos"].to_numpy(),
             "distinct": stats["distinct"].to_numpy(), "mode": stats["mode"].to_numpy()},
        )


# ---------------------------------------------------------------------------
# (b) polars


class PolarsPeer:
    name = "polars"

    def __init__(self, call: Call, pdata: PeerData, placement: Placement):
        import polars as pl

        self.pl = pl
        self.placement = placement
        self.trx = pl.DataFrame({"entity": pdata.entity, "date": pdata.date, "q": pdata.q, "code": pdata.code})
        self.targets = pl.DataFrame({"entity": pdata.target_entity, "target": pdata.target_date})
        self.dim_map = pl.DataFrame({"code": pdata.map_code, "dim": pdata.map_value})

    def run(self, result: np.ndarray) -> None:
        pl = self.pl
        horizons, offset = self.placement.horizons, self.placement.offset
        base = (
            self.trx.lazy()
            .join(self.targets.lazy(), on="entity", how="inner")
            .filter(
                (pl.col("date") < pl.col("target") - offset * DAY_MS)
                & (pl.col("date") >= pl.col("target") - (horizons[-1] + offset) * DAY_MS)
                & (pl.col("q") > 0)
            )
            .join(self.dim_map.lazy(), on="code", how="left")
            .with_columns(age=((pl.col("target") - pl.col("date")) / DAY_MS).cast(pl.Float32))
        )
        # Each transaction counts in its own horizon and every larger one.
        per_h = pl.concat(
            [
                base.filter(pl.col("date") >= pl.col("target") - (h + offset) * DAY_MS).with_columns(
                    pos=pl.lit(pos, dtype=pl.Int32)
                )
                for pos, h in enumerate(horizons)
            ]
        )
        cells_q = (
            per_h.group_by("entity", "pos", "dim")
            .agg(
                sum=pl.col("q").sum(),
                min=pl.col("q").min(),
                max=pl.col("q").max(),
                count=pl.len(),
            )
            .with_columns(ratio=(pl.col("sum") / pl.col("sum").sum().over("entity", "pos")).cast(pl.Float32))
        )
        stats_q = (
            per_h.group_by("entity", "pos", "code")
            .agg(n=pl.len())
            .group_by("entity", "pos")
            .agg(mode=pl.col("code").sort_by(["n", "code"], descending=[True, False]).first(), distinct=pl.len())
        )
        spans_q = base.group_by("entity", "dim").agg(first=pl.col("age").max(), last=pl.col("age").min())
        cells, stats, spans = pl.collect_all([cells_q, stats_q, spans_q])
        self.placement.place(
            result,
            {k: cells[k].to_numpy() for k in ("entity", "dim", "pos", "sum", "min", "max", "count", "ratio")},
            {k: spans[k].to_numpy() for k in ("entity", "dim", "first", "last")},
            {k: stats[k].to_numpy() for k in ("entity", "pos", "distinct", "mode")},
        )


# ---------------------------------------------------------------------------
# (c) DuckDB SQL


DUCKDB_SQL = """
WITH base AS (
    SELECT t.entity, t.date, t.q, t.code, m.dim, g.target,
           CAST((g.target - t.date) / {day} AS FLOAT) AS age
    FROM trx t
    JOIN targets g USING (entity)
    JOIN dim_map m USING (code)
    WHERE t.date < g.target - {offset} * {day}
      AND t.date >= g.target - ({max_h} + {offset}) * {day}
      AND t.q > 0
),
per_h AS (
    SELECT b.*, h.pos
    FROM base b
    JOIN horizons h ON b.date >= b.target - (h.h + {offset}) * {day}
)
SELECT {select}
"""


class DuckdbPeer:
    name = "duckdb"

    def __init__(self, call: Call, pdata: PeerData, placement: Placement):
        import duckdb

        self.placement = placement
        self.con = duckdb.connect()
        self.con.register("trx_np", {"entity": pdata.entity, "date": pdata.date, "q": pdata.q, "code": pdata.code})
        self.con.execute("CREATE TABLE trx AS SELECT * FROM trx_np")
        self.con.register("targets_np", {"entity": pdata.target_entity, "target": pdata.target_date})
        self.con.execute("CREATE TABLE targets AS SELECT * FROM targets_np")
        self.con.register("map_np", {"code": pdata.map_code, "dim": pdata.map_value})
        self.con.execute("CREATE TABLE dim_map AS SELECT * FROM map_np")
        hz = placement.horizons
        self.con.register("h_np", {"pos": np.arange(len(hz), dtype=np.int32), "h": np.array(hz, dtype=np.int64)})
        self.con.execute("CREATE TABLE horizons AS SELECT * FROM h_np")

    def _sql(self, select: str) -> str:
        p = self.placement
        return DUCKDB_SQL.format(day="{}::BIGINT".format(DAY_MS), offset=p.offset, max_h=p.horizons[-1], select=select)

    def run(self, result: np.ndarray) -> None:
        con = self.con
        con.execute(
            self._sql(
                """entity, dim, pos, sum(q) AS sum, min(q) AS min, max(q) AS max, count(*) AS count,
                   CAST(sum(q) / sum(sum(q)) OVER (PARTITION BY entity, pos) AS FLOAT) AS ratio
                   FROM per_h GROUP BY entity, dim, pos"""
            )
        )
        cells = con.fetchnumpy()
        con.execute(
            self._sql(
                """entity, pos, count(*) AS "distinct", arg_min(code, (-n, code)) AS mode
                   FROM (SELECT entity, pos, code, count(*) AS n FROM per_h GROUP BY entity, pos, code)
                   GROUP BY entity, pos"""
            )
        )
        stats = con.fetchnumpy()
        con.execute(self._sql("entity, dim, max(age) AS first, min(age) AS last FROM base GROUP BY entity, dim"))
        spans = con.fetchnumpy()
        self.placement.place(
            result,
            {k: np.asarray(cells[k]) for k in ("entity", "dim", "pos", "sum", "min", "max", "count", "ratio")},
            {k: np.asarray(spans[k]) for k in ("entity", "dim", "first", "last")},
            {k: np.asarray(stats[k]) for k in ("entity", "pos", "distinct", "mode")},
        )


PEERS = {"pandas": PandasPeer, "polars": PolarsPeer, "duckdb": DuckdbPeer}
