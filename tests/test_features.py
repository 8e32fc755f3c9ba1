"""Behaviour of `execute` against hand-computed results.

Every expectation is checked against both the native module and the
reference model (tests/reference_model.py), so a fault in either shows up.
Result frames start filled with a sentinel, and whole frames are compared bit
for bit, so cells that must stay untouched are checked as well.
"""

from __future__ import annotations

import numpy as np
import pytest

import reference_model as rm
from _feature_helpers import (
    DAY,
    HOUR,
    SENTINEL,
    T0,
    Scenario,
    assert_bits_equal,
    code,
    load_module,
    unknown_dimension_value,
)

NAN = float("nan")
DEN, MIN, MAX, SUM, FREQ = (code(n) for n in ("Density", "Min", "Max", "Sum", "Frequency"))
CD, MODE, TSF, TSL, RATIO = (code(n) for n in ("CountDistinct", "Mode", "TimeSinceFirst", "TimeSinceLast", "Ratio"))


@pytest.fixture(params=["model", "module"])
def impl(request):
    return request.param


def check(scenario, impl, cells, reports=()):
    frame, got_reports = scenario.run(impl)
    assert_bits_equal(frame, scenario.expected(cells))
    assert got_reports == list(reports)


def one_entity(transactions, **kwargs):
    kwargs.setdefault("index_map", {1: 1})
    kwargs.setdefault("horizons", [7, 30, 90])
    return Scenario(transactions={0: transactions}, target_dates=[T0], splits=[[0]], **kwargs)


def mode_kwargs(for_afe_columns, group=1):
    """Feature-group calls name the group so that its cells are written."""
    return dict(for_afe_columns=for_afe_columns, dim_group_id=group if for_afe_columns else -1)


# --------------------------------------------------------------------------
# Split layout
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "splits, with_rows, empty_rows, expected_rows",
    [
        # position k of split i fills row i + k * splits_size; -1 ends a split
        ([[-1, -1, -1, -1], [5, 9, -1, 7], [-1, -1, -1, -1]], {5, 9, 7}, set(), {1: 5, 4: 9}),
        # an entity without an entity_index_map entry still consumes its row
        ([[-1, -1, -1, -1], [5, 9, 6, -1], [-1, -1, -1, -1]], {5, 6}, set(), {1: 5, 7: 6}),
        # an entity whose row array is empty: no row writer, row untouched
        ([[-1, -1, -1, -1], [5, 9, 6, -1], [-1, -1, -1, -1]], {5, 6}, {9}, {1: 5, 7: 6}),
        # a row without -1 is used to its full length
        ([[1, 2, 3, 4], [-1, -1, -1, -1]], {1, 2, 3, 4}, set(), {0: 1, 2: 2, 4: 3, 6: 4}),
        # a split that starts with -1 processes nothing
        ([[-1, 2, 3, 4], [4, -1, 3, 2]], {2, 3, 4}, set(), {1: 4}),
    ],
)
def test_split_layout(impl, splits, with_rows, empty_rows, expected_rows):
    transactions = {e: [(T0 - 2 * DAY, float(e), 1)] for e in with_rows}
    transactions.update({e: [] for e in empty_rows})
    sc = Scenario(
        transactions=transactions,
        target_dates=[T0] * 10,
        splits=splits,
        index_map={1: 1},
        horizons=[7],
        set_one=[SUM],
    )
    check(sc, impl, {(row, (1, SUM, 7)): float(e) for row, e in expected_rows.items()})


# --------------------------------------------------------------------------
# Horizon list per mode, set-two horizon, write order
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "afe, cells",
    [
        # kept as given: both transactions fall in horizon 30 (position 2);
        # position 0 (also 30) keeps NaN and is written first, so the later
        # position wins; set two is read at the position of 7 (NaN) and keyed
        # with the last horizon 30
        (False, {(1, SUM, 30): 5.0, (1, SUM, 7): NAN, (1, MAX, 30): NAN}),
        # sorted and deduplicated in feature-group mode
        (True, {(1, SUM, 7): 2.0, (1, SUM, 30): 5.0, (1, MAX, 30): 2.0}),
    ],
    ids=["kept-as-given", "feature-groups-sorted"],
)
def test_horizon_list_with_a_repeated_horizon(impl, afe, cells):
    sc = one_entity(
        [(T0 - 5 * DAY, 2.0, 1), (T0 - 20 * DAY, 3.0, 1)],
        horizons=[30, 7, 30],
        set_one=[SUM],
        set_two=[MAX],
        **mode_kwargs(afe),
    )
    check(sc, impl, {(0, key): value for key, value in cells.items()})


@pytest.mark.parametrize(
    "horizons, set_one, cells",
    [
        # ascending: ages 2, 10, 40 days fall in 7, 30, 90; Sum at 7 is 2
        ([7, 30, 90], [], {(1, SUM, 90): 2.0}),
        # [90, 30, 7] pairs bounds positionally: (T-91d, 30), (T-31d, 7),
        # (T-1d, 90); ages 2 and 10 fall in 90 (position 0), age 40 in 7
        # (position 2), whose cell holds the carried 5 plus 4
        ([90, 30, 7], [], {(1, SUM, 7): 9.0}),
        # [30, 7, 90]: (T-31d, 7), (T-8d, 90), (T-1d, 30): 30, then 90, then 7
        ([30, 7, 90], [], {(1, SUM, 90): 9.0}),
        # a code in both sets: set one writes Sum 5 at 30 (age 40 ends the
        # scan), then set two writes its Sum at 7 over it
        ([7, 30], [SUM], {(1, SUM, 7): 2.0, (1, SUM, 30): 2.0}),
    ],
    ids=["ascending", "descending", "unordered", "code-in-both-sets"],
)
def test_set_two_read_at_smallest_horizon_keyed_with_last(impl, horizons, set_one, cells):
    trx = [(T0 - 2 * DAY, 2.0, 1), (T0 - 10 * DAY, 3.0, 1), (T0 - 40 * DAY, 4.0, 1)]
    sc = one_entity(trx, horizons=horizons, set_one=set_one, set_two=[SUM])
    check(sc, impl, {(0, key): value for key, value in cells.items()})


# --------------------------------------------------------------------------
# Windows: the [7, 30, 90] example with offset 1, and offset 0
# --------------------------------------------------------------------------

WINDOW_CASES = [
    # (offset, age of the transaction at the target date, feature-group mode, horizon or None)
    (1, 5 * DAY, False, 7),
    (1, 8 * DAY, False, 7),
    (1, 8 * DAY + 1, False, 30),
    (1, 31 * DAY, False, 30),
    (1, 31 * DAY + 1, False, 90),
    (1, 40 * DAY, False, 90),
    (1, 91 * DAY, False, 90),  # lower limit is inclusive
    (1, 91 * DAY + 1, False, None),
    (1, 1 * DAY, False, None),  # upper limit excluded outside feature groups
    (1, 1 * DAY, True, 7),  # ... and included in feature-group mode
    (1, 1 * DAY - 1, True, None),
    (1, 1 * DAY - 1, False, None),
    (1, 8 * DAY, True, 7),
    (1, 91 * DAY, True, 90),
    (1, 91 * DAY + 1, True, None),
    (0, 0, False, None),
    (0, 0, True, 7),
    (0, 1, False, 7),
    (0, 7 * DAY, False, 7),
    (0, 7 * DAY + 1, False, 30),
    (0, 90 * DAY, True, 90),
    (0, -1, True, None),
]


@pytest.mark.parametrize("offset, age, afe, horizon", WINDOW_CASES)
def test_window_bounds(impl, offset, age, afe, horizon):
    sc = one_entity([(T0 - age, 1.0, 1)], offset=offset, set_one=[FREQ], **mode_kwargs(afe))
    cells = {(0, (1, FREQ, h)): (1.0 if horizon is not None and h >= horizon else NAN) for h in (7, 30, 90)}
    check(sc, impl, cells)


@pytest.mark.parametrize(
    "transactions, expected_sum",
    [
        # the first row older than the window ends the scan
        ([(T0 - 100 * DAY, 1.0, 1), (T0 - 2 * DAY, 5.0, 1)], NAN),
        # rows newer than the window are skipped one by one
        ([(T0, 1.0, 1), (T0 - 1 * DAY, 2.0, 1), (T0 - 2 * DAY, 5.0, 1)], 5.0),
    ],
)
def test_scan_order(impl, transactions, expected_sum):
    sc = one_entity(transactions, horizons=[7], set_one=[SUM])
    check(sc, impl, {(0, (1, SUM, 7)): expected_sum})


# --------------------------------------------------------------------------
# Cumulative aggregates and quantity rules
# --------------------------------------------------------------------------


@pytest.mark.parametrize("afe", [False, True])
def test_cumulative_aggregates(impl, afe):
    sc = one_entity(
        [(T0 - 2 * DAY, 2.0, 1), (T0 - 3 * DAY, 5.0, 1), (T0 - 10 * DAY, 1.0, 1)],
        horizons=[7, 30],
        set_one=[SUM, MIN, MAX, FREQ, DEN],
        **mode_kwargs(afe),
    )
    density_30 = np.float32(8.0) / np.float32(3.0)
    assert float(density_30) != 8.0 / 3.0  # the float32 quotient, not the double one
    cells = {
        (0, (1, SUM, 7)): 7.0,
        (0, (1, MIN, 7)): 2.0,
        (0, (1, MAX, 7)): 5.0,
        (0, (1, FREQ, 7)): 2.0,
        (0, (1, DEN, 7)): 3.5,
        (0, (1, SUM, 30)): 8.0,
        (0, (1, MIN, 30)): 1.0,
        (0, (1, MAX, 30)): 5.0,
        (0, (1, FREQ, 30)): 3.0,
        (0, (1, DEN, 30)): density_30,
    }
    check(sc, impl, cells)


@pytest.mark.parametrize(
    "afe, quantities, expected",
    [
        # NaN first: Density/Min/Max/Sum NaN, Frequency 1; NaN Min/Max stay NaN
        (False, [NAN], {SUM: NAN, MIN: NAN, MAX: NAN, DEN: NAN, FREQ: 1.0}),
        (False, [NAN, 3.0], {SUM: NAN, MIN: NAN, MAX: NAN, DEN: NAN, FREQ: 2.0}),
        # NaN into a filled cell: Min/Max unchanged, Sum/Density NaN, Frequency + 1
        (False, [3.0, NAN], {SUM: NAN, MIN: 3.0, MAX: 3.0, DEN: NAN, FREQ: 2.0}),
        (False, [3.0, NAN, 1.0, 9.0], {SUM: NAN, MIN: 1.0, MAX: 9.0, DEN: NAN, FREQ: 4.0}),
        # feature-group mode skips NaN quantities
        (True, [3.0, NAN], {SUM: 3.0, MIN: 3.0, MAX: 3.0, DEN: 3.0, FREQ: 1.0}),
        (True, [NAN], {SUM: NAN, MIN: NAN, MAX: NAN, DEN: NAN, FREQ: NAN}),
        # zero and negative quantities are skipped in both modes
        (False, [0.0, -2.0, 4.0, -0.0], {SUM: 4.0, MIN: 4.0, MAX: 4.0, DEN: 4.0, FREQ: 1.0}),
        (True, [0.0, -2.0, 4.0, 6.0], {SUM: 10.0, MIN: 4.0, MAX: 6.0, DEN: 5.0, FREQ: 2.0}),
        # Sum accumulates in float32: five 1.0 added one by one to 1e8 are lost
        # (a double sum rounded at the end would give 100000008)
        (False, [1e8, 1.0, 1.0, 1.0, 1.0, 1.0], {SUM: 1e8, FREQ: 6.0, DEN: np.float32(1e8) / np.float32(6.0)}),
    ],
)
def test_quantity_rules(impl, afe, quantities, expected):
    trx = [(T0 - (2 + i) * DAY, q, 1) for i, q in enumerate(quantities)]
    sc = one_entity(trx, horizons=[7], set_one=list(expected), **mode_kwargs(afe))
    check(sc, impl, {(0, (1, op, 7)): value for op, value in expected.items()})


@pytest.mark.parametrize("horizons", [[1, 5], [7, 30]])
def test_without_date_column(impl, horizons):
    # no window filter and no early stop; every transaction gets horizon 1
    # (position 0 when 1 is not a horizon), the tail copies it to the rest;
    # spans are target_date / unit_ms
    trx = [(T0 + 50 * DAY, 1.0, 1), (T0 - 10**6 * DAY, 2.0, 1), (T0 - 3 * DAY, 3.0, 1)]
    sc = one_entity(trx, horizons=horizons, date_col_index=-1, set_one=[SUM, FREQ, TSF, TSL])
    span = np.float32(T0 / DAY)
    cells = {}
    for h in horizons:
        cells.update({(0, (1, SUM, h)): 6.0, (0, (1, FREQ, h)): 3.0, (0, (1, TSF, h)): span, (0, (1, TSL, h)): span})
    check(sc, impl, cells)


# --------------------------------------------------------------------------
# Feature groups: which dimension values are aggregated and written
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "dim_group_id, is_no_dim_col, operators, written",
    [
        (4, False, [SUM], {4: 2.0}),
        (5, False, [SUM], {5: 3.0}),
        (6, False, [SUM], {}),  # no dimension value equals the group
        (4, True, [SUM], {4: 2.0, 5: 3.0}),
        (4, False, [SUM, CD], {4: 2.0, 5: 3.0}),
        (4, False, [SUM, MODE], {4: 2.0, 5: 3.0}),
    ],
)
def test_group_restriction(impl, dim_group_id, is_no_dim_col, operators, written):
    sc = one_entity(
        [(T0 - 2 * DAY, 2.0, 1), (T0 - 3 * DAY, 3.0, 2)],
        index_map={1: 4, 2: 5},
        horizons=[7],
        operators=operators,
        set_one=[SUM],
        for_afe_columns=True,
        dim_group_id=dim_group_id,
        is_no_dim_col=is_no_dim_col,
    )
    check(sc, impl, {(0, (d, SUM, 7)): value for d, value in written.items()})


# --------------------------------------------------------------------------
# Carry forward, tail fill, time since first and last
# --------------------------------------------------------------------------


def test_carry_forward_and_tail(impl):
    # value A (dimension 1) only in horizon 7, value B (dimension 2) then in 90
    sc = one_entity(
        [(T0 - 2 * DAY, 3.0, 1), (T0 - 3 * DAY, 1.0, 1), (T0 - 50 * DAY, 4.0, 2)],
        index_map={1: 1, 2: 2},
        set_one=[SUM, FREQ, TSF, TSL],
    )
    cells = {}
    for h in (7, 30, 90):
        cells[(0, (1, SUM, h))] = 4.0
        cells[(0, (1, FREQ, h))] = 2.0
        cells[(0, (1, TSF, h))] = 3.0
        cells[(0, (1, TSL, h))] = 2.0
        cells[(0, (2, SUM, h))] = 4.0 if h == 90 else NAN
        cells[(0, (2, FREQ, h))] = 1.0 if h == 90 else NAN
        cells[(0, (2, TSF, h))] = 50.0
        cells[(0, (2, TSL, h))] = 50.0
    check(sc, impl, cells)


@pytest.mark.parametrize(
    "resolution, ages, first, last",
    [
        (2, [36 * HOUR, 10 * DAY], 10.0, 1.5),
        (3, [90 * 60_000, 3 * HOUR], 3.0, 1.5),
        (2, [DAY // 3], 1 / 3, 1 / 3),  # fractional spans rounded once to float32
        # the double quotient rounded to float32 (0.19442502) differs from a
        # float32 division (0.194425)
        (2, [16798321], 16798321 / DAY, 16798321 / DAY),
    ],
)
def test_time_since_first_and_last(impl, resolution, ages, first, last):
    sc = one_entity(
        [(T0 - a, 1.0, 1) for a in ages], horizons=[1000], offset=0, resolution=resolution, set_one=[TSF, TSL]
    )
    check(sc, impl, {(0, (1, TSF, 1000)): np.float32(first), (0, (1, TSL, 1000)): np.float32(last)})


# --------------------------------------------------------------------------
# CountDistinct and Mode
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "operators, horizons, trx, expected",
    [
        # codes 3, 3 in horizon 7 and 5, 5, 5 in horizon 30
        (
            [CD, MODE],
            [7, 30],
            [(2, 3), (3, 3), (10, 5), (11, 5), (12, 5)],
            {7: (1.0, 3.0), 30: (2.0, 5.0)},
        ),
        # equal counts: the smallest code wins (5 seen before -2)
        ([CD, MODE], [7], [(2, 5), (3, -2)], {7: (2.0, -2.0)}),
        # first accepted transaction in horizon 30: horizon 7 receives 0
        ([CD, MODE], [7, 30], [(10, 4)], {7: (0.0, 0.0), 30: (1.0, 4.0)}),
        # nothing accepted: 0 everywhere
        ([CD, MODE], [7, 30], [(100, 4)], {7: (0.0, 0.0), 30: (0.0, 0.0)}),
        # transactions only in 7 and 90: 30 receives the values of 7
        ([CD, MODE], [7, 30, 90], [(2, 1), (40, 2), (41, 2)], {7: (1.0, 1.0), 30: (1.0, 1.0), 90: (2.0, 2.0)}),
        # one transaction per horizon: later horizons never change smaller ones
        ([CD, MODE], [7, 30, 90], [(2, 1), (10, 2), (40, 3)], {7: (1.0, 1.0), 30: (2.0, 1.0), 90: (3.0, 1.0)}),
        # Mode alone: the CountDistinct cells are written NaN
        ([MODE], [7], [(2, 3)], {7: (NAN, 3.0)}),
    ],
)
def test_count_distinct_and_mode(impl, operators, horizons, trx, expected):
    # raw codes are counted; every dimension value's cells get the same values
    index_map = {c: 1 for _, c in trx}
    index_map[99] = 2
    sc = one_entity(
        [(T0 - age * DAY, 1.0, c) for age, c in trx],
        index_map=index_map,
        horizons=horizons,
        operators=operators,
        set_one=[CD, MODE],
    )
    cells = {}
    for h, (count, mode) in expected.items():
        for d in (1, 2):
            cells[(0, (d, CD, h))] = count
            cells[(0, (d, MODE, h))] = mode
    check(sc, impl, cells)


# --------------------------------------------------------------------------
# Ratios
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "dims_quantities, unknown_sum, expected",
    [
        ({1: [2.0], 2: [6.0]}, None, {1: 0.25, 2: 0.75}),
        ({1: [1.0, 1.0], 2: [2.0, 4.0]}, None, {1: 0.25, 2: 0.75}),
        # the unknown dimension value counts in the total but is never written
        ({1: [2.0]}, 6.0, {1: 0.25}),
        # a NaN Sum gives no ratio and does not count in the total
        ({1: [2.0], 2: [NAN]}, None, {1: 1.0}),
    ],
)
def test_ratio_columns(impl, dims_quantities, unknown_sum, expected):
    unknown = unknown_dimension_value()
    index_map = {1: 1, 2: 2, 3: unknown}
    trx = []
    for d, quantities in sorted(dims_quantities.items()):
        trx += [(T0 - 20 * DAY, q, d) for q in quantities]
    if unknown_sum is not None:
        trx.append((T0 - 20 * DAY, unknown_sum, 3))
    sc = one_entity(trx, index_map=index_map, horizons=[7, 30], operators=[RATIO])
    check(sc, impl, {(0, (d, RATIO, 30)): np.float32(value) for d, value in expected.items()})


def test_ratio_fill_row_negative_sum_not_clamped():
    # Negative sums cannot come out of a scan (quantities <= 0 are skipped),
    # so the row writer of the model is driven directly with a filled buffer.
    ctx = rm.Context(rm.Constants(), [])
    buffer = np.full((2, 1, 9), np.nan, dtype=np.float32)
    buffer[0, 0, rm.SUM_SLOT] = 4.0
    buffer[1, 0, rm.SUM_SLOT] = -2.0
    dim_value_by_index = rm.OrderedMap(rm.int_zero)
    dim_value_by_index[0], dim_value_by_index[1] = 1, 2
    horizon_by_index = rm.OrderedMap(rm.int_zero)
    horizon_by_index[0] = 30
    index_by_horizon = rm.OrderedMap(rm.int_zero)
    index_by_horizon[30] = 0
    column_name_map = rm.OrderedMap(rm.int_zero)
    column_name_map[rm.get_column_key(1000, 1, RATIO, 30)] = 0
    column_name_map[rm.get_column_key(1000, 2, RATIO, 30)] = 1
    frame = np.full((1, 2), SENTINEL, dtype=np.float32)
    rm.fill_row(
        ctx, frame, 0, buffer, 30, False, dim_value_by_index, horizon_by_index, index_by_horizon,
        [RATIO], [], [], column_name_map, 1000, -1, False,
    )  # fmt: skip
    assert frame.tolist() == [[2.0, -1.0]]


@pytest.mark.parametrize(
    "dim_group_id, horizons, expected",
    [
        # Sums at 30: dimension 1 -> 1, dimension 2 -> 4, dimension 5 -> none (NaN)
        (2, [30, 7], {(2, RATIO, 30): np.float32(4.0) / np.float32(5.0)}),
        (1, [30, 7], {(1, RATIO, 30): np.float32(1.0) / np.float32(5.0)}),
        # first requested horizon 7: only dimension 2 has a Sum there
        (2, [7, 30], {(2, RATIO, 7): 1.0}),
        (1, [7, 30], {}),
        (5, [30, 7], {}),
        (6, [30, 7], {}),  # not a dimension value of the buffer
        (-1, [30, 7], {}),  # the unknown dimension value is never written
    ],
)
def test_feature_group_ratio(impl, dim_group_id, horizons, expected):
    unknown = unknown_dimension_value()
    trx = [(T0 - 2 * DAY, 1.0, 2), (T0 - 10 * DAY, 1.0, 1), (T0 - 20 * DAY, 3.0, 2)]
    if dim_group_id == -1:
        dim_group_id = unknown
        trx.append((T0 - 21 * DAY, 5.0, 3))
    sc = one_entity(
        trx,
        index_map={1: 1, 2: 2, 3: unknown, 5: 5},
        horizons=horizons,
        operators=[RATIO, SUM],
        set_one=[SUM],
        set_two=[SUM],
        for_afe_columns=True,
        dim_group_id=dim_group_id,
    )
    check(sc, impl, {(0, key): value for key, value in expected.items()})


def test_unknown_dimension_cells_never_written(impl):
    unknown = unknown_dimension_value()
    sc = one_entity(
        [(T0 - 2 * DAY, 2.0, 1), (T0 - 2 * DAY, 6.0, 2)],
        index_map={1: unknown, 2: 2},
        horizons=[7],
        operators=[RATIO],
        set_one=[SUM, FREQ],
        set_two=[MAX],
    )
    check(sc, impl, {(0, (2, SUM, 7)): 6.0, (0, (2, FREQ, 7)): 1.0, (0, (2, MAX, 7)): 6.0, (0, (2, RATIO, 7)): 0.75})


# --------------------------------------------------------------------------
# Column keys
# --------------------------------------------------------------------------


def test_column_key_wraps_in_32_bits(impl):
    # 3000 * 1000 * 1000 + 4 * 1000 + 7 = 3000004007 wraps to -1294963289
    assert rm.get_column_key(1000, 3000, 4, 7) == 3000004007 - 2**32
    sc = one_entity([(T0 - 2 * DAY, 2.5, 1)], index_map={1: 3000}, horizons=[7], set_one=[SUM])
    assert sc.column_name_map[3000004007 - 2**32 - 4000 + SUM * 1000] == sc.column(3000, SUM, 7)
    check(sc, impl, {(0, (3000, SUM, 7)): 2.5})


def test_missing_column_key_writes_nothing(impl):
    dropped = rm.get_column_key(1000, 1, SUM, 30)
    sc = one_entity(
        [(T0 - 2 * DAY, 2.0, 1)], horizons=[7, 30], set_one=[SUM], drop_keys={dropped}
    )
    assert dropped not in sc.column_name_map
    check(sc, impl, {(0, (1, SUM, 7)): 2.0})


def test_unknown_operator_code_uses_density_slot(impl):
    sc = one_entity(
        [(T0 - 2 * DAY, 2.0, 1), (T0 - 3 * DAY, 4.0, 1)], horizons=[7], set_one=[99], extra_ops=[99]
    )
    check(sc, impl, {(0, (1, 99, 7)): 3.0})


# --------------------------------------------------------------------------
# Dimension codes missing from index_map
# --------------------------------------------------------------------------


def test_missing_dimension_code(impl):
    # split 0: code 5 is not in index_map; it maps to 0, which is not a
    # dimension value of split 0, so it fills no cell (dimension 1 keeps its
    # own Sum and spans) but counts for CountDistinct and moves the horizon.
    # split 1 sees the added entry 5 -> 0 and aggregates under 0.
    trx = [(T0 - 2 * DAY, 2.0, 3), (T0 - 10 * DAY, 4.0, 5)]
    sc = Scenario(
        transactions={0: trx, 1: trx},
        target_dates=[T0, T0],
        splits=[[0], [1]],
        index_map={3: 1, 4: 2},
        horizons=[7, 30],
        operators=[CD],
        set_one=[SUM, TSF, CD],
    )
    arguments = sc.arguments()
    frame, reports = sc.run(impl, arguments)
    assert arguments["index_map"] == {3: 1, 4: 2}  # the caller's dict is unchanged
    cells = {}
    for row, dims in ((0, (1, 2)), (1, (0, 1, 2))):
        for h in (7, 30):
            for d in dims:
                cells[(row, (d, CD, h))] = 1.0 if h == 7 else 2.0
                cells[(row, (d, SUM, h))] = NAN
                cells[(row, (d, TSF, h))] = NAN
            cells[(row, (1, SUM, h))] = 2.0
            cells[(row, (1, TSF, h))] = 2.0
    cells[(1, (0, SUM, 30))] = 4.0
    cells[(1, (0, TSF, 7))] = 10.0
    cells[(1, (0, TSF, 30))] = 10.0
    assert_bits_equal(frame, sc.expected(cells))
    assert reports == []


# --------------------------------------------------------------------------
# Non-contiguous inputs
# --------------------------------------------------------------------------


@pytest.mark.parametrize("layout", ["plain", "transposed", "reversed", "sliced"])
def test_strided_inputs(impl, layout):
    sc = Scenario(
        transactions={
            0: [(T0 - 2 * DAY, 2.0, 1), (T0 - 3 * DAY, 5.0, 1), (T0 - 10 * DAY, 1.0, 1)],
            1: [(T0 - 20 * DAY, 2.0, 1), (T0 - 25 * DAY, 6.0, 2)],
        },
        target_dates=[T0, T0 - DAY],
        splits=[[0, -1], [1, -1]],
        index_map={1: 1, 2: 2},
        horizons=[7, 30],
        operators=[RATIO],
        set_one=[SUM, FREQ],
        layout=layout,
    )
    cells = {
        (0, (1, SUM, 7)): 7.0,
        (0, (1, SUM, 30)): 8.0,
        (0, (1, FREQ, 7)): 2.0,
        (0, (1, FREQ, 30)): 3.0,
        (0, (1, RATIO, 7)): 1.0,
        (0, (1, RATIO, 30)): 1.0,
        (0, (2, SUM, 7)): NAN,
        (0, (2, SUM, 30)): NAN,
        (0, (2, FREQ, 7)): NAN,
        (0, (2, FREQ, 30)): NAN,
        (1, (1, SUM, 7)): NAN,
        (1, (1, SUM, 30)): 2.0,
        (1, (1, FREQ, 7)): NAN,
        (1, (1, FREQ, 30)): 1.0,
        (1, (2, SUM, 7)): NAN,
        (1, (2, SUM, 30)): 6.0,
        (1, (2, FREQ, 7)): NAN,
        (1, (2, FREQ, 30)): 1.0,
        (1, (1, RATIO, 30)): 0.25,
        (1, (2, RATIO, 30)): 0.75,
    }
    check(sc, impl, cells)


# --------------------------------------------------------------------------
# Errors reported as unraisable
# --------------------------------------------------------------------------


@pytest.mark.parametrize("resolution", [6, -1])
def test_unknown_resolution_reported(impl, resolution):
    # unit 0: every bound is the target date; in feature-group mode only a
    # transaction at the target date is accepted, in the largest horizon,
    # with span 0.0
    message = "Resolution not recognized: {}".format(resolution)
    sc = Scenario(
        transactions={0: [(T0, 2.0, 1), (T0 - 2 * DAY, 3.0, 1)], 1: [(T0 - DAY, 1.0, 1)]},
        target_dates=[T0, T0],
        splits=[[0, 1]],
        index_map={1: 1},
        horizons=[7, 30],
        resolution=resolution,
        set_one=[SUM, TSF],
        **mode_kwargs(True),
    )
    cells = {
        (0, (1, SUM, 7)): NAN,
        (0, (1, SUM, 30)): 2.0,
        (0, (1, TSF, 7)): 0.0,
        (0, (1, TSF, 30)): 0.0,
    }
    cells.update({(1, (1, op, h)): NAN for op in (SUM, TSF) for h in (7, 30)})
    reports = [
        ("NotImplementedError", message, "get_resolution_in_seconds"),
        ("NotImplementedError", message, "get_span"),
        ("NotImplementedError", message, "get_resolution_in_seconds"),
    ]
    check(sc, impl, cells, reports)


def test_missing_np_reported_and_next_split_runs():
    module = load_module()
    sc = Scenario(
        transactions={0: [(T0 - 2 * DAY, 2.0, 1)], 1: [(T0 - 2 * DAY, 3.0, 1)]},
        target_dates=[T0, T0],
        splits=[[0], [1]],
        index_map={1: 1},
        horizons=[7],
        set_one=[SUM],
    )
    np_module = module.np
    reports = []
    previous = __import__("sys").unraisablehook

    def hook(args):
        # put np back after the first report, so the next split can run
        reports.append((args.exc_type.__name__, str(args.exc_value), args.object))
        module.np = np_module

    arguments = sc.arguments()
    del module.np
    __import__("sys").unraisablehook = hook
    try:
        module.execute(**arguments)
    finally:
        __import__("sys").unraisablehook = previous
        module.np = np_module
    assert reports == [
        (
            "NameError",
            "name 'np' is not defined",
            "quelmar.afe.domain.modelling.helper.data_frame_builder_helper.exec_for_split",
        )
    ]
    assert_bits_equal(arguments["result_frame"], sc.expected({(1, (1, SUM, 7)): 3.0}))
    # the model, given only the second split, agrees
    model_args = sc.arguments()
    model_args["splits"] = np.array([[-1], [1]], dtype=np.int32)
    rm.execute_reference(**model_args)
    assert_bits_equal(model_args["result_frame"], arguments["result_frame"])


# --------------------------------------------------------------------------
# Time arithmetic of the model on its own (not reachable with out-of-range
# dates through execute, whose filters keep them away)
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "horizon_list, offset, expected",
    [
        ([7, 30, 90], 1, [(-31, 90), (-8, 30), (-1, 7)]),
        ([7, 7, 30], 0, [(-7, 7), (-7, 30), (0, 7)]),  # equal bounds sort by horizon
        ([30, 7, 90], 0, [(-30, 7), (-7, 90), (0, 30)]),  # positional pairing
        ([5], 2, [(-2, 5)]),
    ],
)
def test_model_partition(horizon_list, offset, expected):
    ctx = rm.Context(rm.Constants(), [])
    partitions = []
    upper, lower = rm.partition(ctx, partitions, T0, offset, 2, horizon_list, max(horizon_list))
    assert partitions == [(T0 + days * DAY, h) for days, h in expected]
    assert (upper, lower) == (T0 - offset * DAY, T0 - (max(horizon_list) + offset) * DAY)
    assert ctx.reports == []


def test_model_get_horizon_out_of_range():
    ctx = rm.Context(rm.Constants(), [])
    partitions = [(T0 - DAY, 7)]
    assert rm.get_horizon(ctx, T0 - DAY, partitions, T0 - DAY, inclusive_upper=True) == 7
    assert rm.get_horizon(ctx, T0 - DAY, partitions, T0 - DAY) == 0
    assert rm.get_horizon(ctx, 0, [], 1000) == 0
    assert ctx.reports == [
        ("ValueError", "Date {} is out of range".format(T0 - DAY), "get_horizon"),
        ("ValueError", "Date 1000 is out of range", "get_horizon"),
    ]


@pytest.mark.parametrize(
    "resolution, target_date, date, span",
    [(3, 0, -5_400_000, 1.5), (2, 0, 86_400_000, -1.0), (0, 0, 0, 0.0), (2, T0, T0 - 36 * HOUR, 1.5)],
)
def test_model_get_span(resolution, target_date, date, span):
    ctx = rm.Context(rm.Constants(), [])
    assert rm.get_span(ctx, resolution, target_date, date) == np.float32(span)
    assert ctx.reports == []
