"""Random valid calls: the native module must match the reference model bit for bit.

Frames are compared as uint32 bit patterns, so NaN payloads and -0.0 count,
and the unraisable reports must be the same. Alongside, invariants that hold
whatever the implementation: the caller's dicts and arrays are not changed,
and in feature-group mode with positive quantities the aggregates grow with
the horizon.
"""

from __future__ import annotations

import copy
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference_model as rm
from _feature_helpers import (
    T0, Scenario, all_codes, assert_bits_equal, code, same_value, unknown_dimension_value,
)

QUANTITIES = [0.0, -0.0, -1.5, float("nan"), 0.1, 1.0, 2.5, 3.0, 7.25, 100.0, 1e-3, 1e30]
POSITIVE_QUANTITIES = [0.1, 1.0, 2.5, 3.0, 7.25, 100.0, 1e-3]
CODES = [-128, -3, -1, 0, 1, 2, 3, 5, 7, 127]
MAPPED_VALUES = [-300, -3, -1, 0, 1, 2, 5, 300]
# Enough values that an entity touches few of them (rows then go out in
# blocks per value, ratio totals over the touched values only).
MANY_CODES = list(range(-24, 24)) + [-128, 127]
MANY_MAPPED_VALUES = list(range(-20, 20))
LAYOUTS = ["plain", "transposed", "reversed", "sliced"]

SETTINGS = dict(
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@st.composite
def scenarios(
    draw,
    positive_only=False,
    feature_groups=None,
    sorted_only=False,
    keep_all_keys=False,
    every_code_mapped=False,
    many_values=False,
):
    code_pool, mapped_pool = (MANY_CODES, MANY_MAPPED_VALUES) if many_values else (CODES, MAPPED_VALUES)
    resolution = draw(st.integers(0, 5))
    unit = rm.UNIT_MS[resolution]
    horizons = draw(st.lists(st.integers(1, 10), min_size=1, max_size=4))
    offset = draw(st.integers(0, 2))
    reach = max(horizons) + offset + 2

    n_entities = draw(st.integers(1, 4))
    target_dates = [T0 + draw(st.integers(-3, 3)) * (unit // 2) for _ in range(n_entities)]
    quantity_pool = POSITIVE_QUANTITIES if positive_only else QUANTITIES
    transactions = {}
    for entity in range(n_entities):
        presence = draw(st.sampled_from(["rows", "rows", "rows", "empty", "absent"]))
        if presence == "absent":
            continue
        n = 0 if presence == "empty" else draw(st.integers(0, 30))
        rows = []
        for _ in range(n):
            # ages in quarter units, a little into the future and past the window
            age = draw(st.integers(-4, 4 * reach)) * (unit // 4) + draw(st.sampled_from([0, 0, 0, 1, -1]))
            rows.append(
                (target_dates[entity] - age, draw(st.sampled_from(quantity_pool)), draw(st.sampled_from(code_pool)))
            )
        if sorted_only or draw(st.integers(0, 4)) > 0:
            rows.sort(key=lambda row: -row[0])  # newest first
        transactions[entity] = rows

    if every_code_mapped:
        index_map = {c: draw(st.sampled_from(mapped_pool)) for c in code_pool}
    else:
        index_map = draw(
            st.dictionaries(st.sampled_from(code_pool), st.sampled_from(mapped_pool), min_size=1, max_size=6)
        )
    codes = all_codes()
    operator_lists = st.lists(st.sampled_from(codes + [99]), max_size=5)
    for_afe_columns = draw(st.booleans()) if feature_groups is None else feature_groups
    n_splits = draw(st.integers(1, 3))
    width = draw(st.integers(1, 4))
    entity_or_end = st.sampled_from(list(range(n_entities)) * 3 + [-1])
    splits = [[draw(entity_or_end) for _ in range(width)] for _ in range(n_splits)]
    nearest_exponent = draw(st.sampled_from([100, 1000]))
    scenario = Scenario(
        transactions=transactions,
        target_dates=target_dates,
        splits=splits,
        index_map=index_map,
        horizons=horizons,
        offset=offset,
        resolution=resolution,
        operators=draw(operator_lists),
        set_one=draw(st.lists(st.sampled_from(codes + [99]), min_size=1, max_size=5)),
        set_two=draw(operator_lists),
        for_afe_columns=for_afe_columns,
        dim_group_id=draw(
            st.sampled_from(sorted(set(index_map.values())) * 3 + [0, unknown_dimension_value(), 42])
        ),
        is_no_dim_col=draw(st.booleans()),
        nearest_exponent=nearest_exponent,
        dims=sorted(set(mapped_pool) | {unknown_dimension_value()}),
        sentinel=draw(st.sampled_from([-7.0, float("nan"), -0.0])),
        date_col_index=draw(st.sampled_from([Scenario.DATE_COL] * 5 + [-1])),
        layout=draw(st.sampled_from(LAYOUTS)),
        extra_ops=[99],
    )
    # sometimes the caller leaves some keys out of column_name_map
    drop_every = 0 if keep_all_keys else draw(st.sampled_from([0, 0, 0, 2, 5]))
    if drop_every:
        scenario.column_name_map = {
            key: column for key, column in scenario.column_name_map.items() if column % drop_every != 1
        }
    return scenario


@settings(max_examples=400, **SETTINGS)
@given(scenarios())
def test_module_matches_model(scenario):
    model_frame, model_reports = scenario.run("model")
    arguments = scenario.arguments()
    before = copy.deepcopy({name: value for name, value in arguments.items() if name != "result_frame"})
    module_frame, module_reports = scenario.run("module", arguments)
    assert_bits_equal(module_frame, model_frame)
    assert module_reports == model_reports
    for name, value in before.items():  # the caller's other arguments are left unchanged
        assert same_value(value, arguments[name]), name


@settings(max_examples=300, **SETTINGS)
@given(st.one_of(scenarios(every_code_mapped=True), scenarios(every_code_mapped=True, many_values=True)))
def test_module_matches_model_every_code_mapped(scenario):
    # no transaction ever needs the find-or-insert of a missing code
    model_frame, model_reports = scenario.run("model")
    module_frame, module_reports = scenario.run("module")
    assert_bits_equal(module_frame, model_frame)
    assert module_reports == model_reports


def _horizon_series(frame, scenario, row, d, op):
    return [float(frame[row, scenario.column(d, op, h)]) for h in sorted(set(scenario.horizons))]


@pytest.mark.parametrize("implementation", ["model", "module"])
@settings(max_examples=40, **SETTINGS)
@given(scenario=scenarios(positive_only=True, feature_groups=True, sorted_only=True, keep_all_keys=True))
def test_feature_groups_cumulative_over_horizons(implementation, scenario):
    # every dimension value written, no ratio writer
    scenario.is_no_dim_col = True
    scenario.operators = [code("Sum"), code("Frequency")]
    scenario.set_one = [code("Sum"), code("Frequency")]
    scenario.set_two = []
    scenario.sentinel = -7.0
    scenario.date_col_index = Scenario.DATE_COL
    frame, reports = scenario.run(implementation)
    assert reports == []
    for row in range(scenario.n_rows):
        for d in set(scenario.index_map.values()):
            for op in (code("Sum"), code("Frequency")):
                series = _horizon_series(frame, scenario, row, d, op)
                if series[0] == -7.0:  # a row or column the call did not reach
                    continue
                values = [v for v in series if not math.isnan(v)]
                # NaN only before the first horizon that has a transaction
                assert series[len(series) - len(values) :] == values
                assert values == sorted(values), (row, d, op, series)
                assert all(v > 0 for v in values)
