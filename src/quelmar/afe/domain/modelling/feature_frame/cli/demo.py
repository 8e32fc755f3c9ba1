"""The command line's ``--demo``: a small synthetic history, its features
and a legend that explains the columns, fitted to the terminal."""

from __future__ import annotations

import shutil
import textwrap

import dataclasses

from ..params import FeatureParams
from ..support import pandas, require


def demo_tables(n_entities: int = 5, seed: int = 0):
    """A small synthetic history: per entity a few dozen purchases over 120 days in
    four dimension codes, and two target dates per entity; the last entity
    never buys."""
    np = require("numpy")
    pd = pandas()
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


def demo_params(params: FeatureParams) -> FeatureParams:
    """``params`` with the column names of the demo's tables."""
    return dataclasses.replace(params, entity_col="entity", timestamp_col="timestamp", quantity_col="quantity",
                               dimension_col="dimension", target_entity_col=None, target_date_col="target_date")


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


def print_demo(frame, params: FeatureParams, n_entities: int) -> None:
    """The legend, then the frame, both as wide as the terminal."""
    pd = pandas()
    width = shutil.get_terminal_size((100, 24)).columns
    print(demo_legend(params, n_entities, width))
    print()
    with pd.option_context("display.max_columns", None, "display.width", width, "display.precision", 2,
                           "display.max_colwidth", 20):
        print(frame.to_string(line_width=width, max_colwidth=20, float_format=lambda v: f"{v:.2f}"))
