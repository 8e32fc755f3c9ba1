"""Feature frames built from pandas tables by build_feature_frame."""

from __future__ import annotations

import dataclasses
import subprocess
import sys
from unittest import mock
from decimal import Decimal

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from quelmar.afe.domain.enums.afe_operator import AfeOperator  # noqa: E402
from quelmar.afe.domain.modelling.feature_frame import (  # noqa: E402
    FeatureParams,
    InvalidParameterError,
    MissingQuantityWarning,
    build_feature_frame,
    feature_columns,
)
from quelmar.afe.domain.modelling.feature_frame.input import (  # noqa: E402
    InputTable,
    read_codes,
    read_numbers,
    read_times,
)
from quelmar.afe.domain.modelling.feature_frame.params import (  # noqa: E402
    choose_nearest_exponent,
    column_key,
    layout_for,
)
from quelmar.afe.domain.modelling.feature_frame import _engine, compute  # noqa: E402
from quelmar.afe.domain.modelling.helper import data_frame_builder_helper as dfbh  # noqa: E402

DAY = 86_400_000
T = 1_000 * DAY  # a target date, in milliseconds
T2 = T - 5 * DAY
f32 = np.float32
nan = float("nan")


def history():
    """Entity a: code 1 at 1, 3 and 10 days before T, code 2 at 20 days; entity b:
    code 2 at 2 days. Rows deliberately not in time order."""
    return pd.DataFrame(
        {
            "entity": ["a", "b", "a", "a", "a"],
            "timestamp": [T - 10 * DAY, T - 2 * DAY, T - 1 * DAY, T - 20 * DAY, T - 3 * DAY],
            "quantity": [1.0, 3.0, 2.0, 4.0, 5.0],
            "dimension": np.array([1, 2, 1, 2, 1], dtype=np.int8),
        }
    )


def targets():
    # c has no transactions; a appears twice, at T and five days earlier
    return pd.DataFrame(
        {"entity": ["a", "b", "c", "a"], "target_date": [T, T, T, T2]},
        index=[10, 11, 12, 13],
    )


def build(trx=None, tgt=None, params=None, **kwargs):
    if params is None:
        kwargs.setdefault("horizons", [7, 30])
    return build_feature_frame(
        history() if trx is None else trx, targets() if tgt is None else tgt, params, **kwargs
    )


# Hand-computed expectations for the history above, horizons [7, 30], days.
# row -> {column: value}; every other feature cell of the row is NaN.
EXPECTED = {
    10: {  # a at T: code 1 has 2 and 5 within 7 days, 1 within 30; code 2 has 4 within 30
        "1__sum__7": 7, "1__min__7": 2, "1__max__7": 5, "1__frequency__7": 2, "1__density__7": 3.5,
        "1__sum__30": 8, "1__min__30": 1, "1__max__30": 5, "1__frequency__30": 3,
        "1__density__30": f32(8) / f32(3),
        "2__sum__30": 4, "2__min__30": 4, "2__max__30": 4, "2__frequency__30": 1, "2__density__30": 4,
        "1__ratio__7": 1.0, "1__ratio__30": f32(8) / f32(12), "2__ratio__30": f32(4) / f32(12),
        "1__count_distinct__7": 1, "2__count_distinct__7": 1,
        "1__count_distinct__30": 2, "2__count_distinct__30": 2,
        "1__mode__7": 1, "2__mode__7": 1, "1__mode__30": 1, "2__mode__30": 1,
        "1__time_since_first__7": 10, "1__time_since_first__30": 10,
        "1__time_since_last__7": 1, "1__time_since_last__30": 1,
        "2__time_since_first__7": 20, "2__time_since_first__30": 20,
        "2__time_since_last__7": 20, "2__time_since_last__30": 20,
    },
    11: {  # b at T: one purchase of code 2, two days before
        **{"2__{}__{}".format(op, h): v for h in (7, 30) for op, v in
           [("sum", 3), ("min", 3), ("max", 3), ("frequency", 1), ("density", 3), ("ratio", 1.0),
            ("time_since_first", 2), ("time_since_last", 2)]},
        **{"{}__{}__{}".format(d, op, h): v for d in (1, 2) for h in (7, 30) for op, v in
           [("count_distinct", 1), ("mode", 2)]},
    },
    12: {},  # c: no transactions, nothing is written
    13: {  # a at T - 5 days: the purchases 1 and 3 days before T lie after the target
        **{"1__{}__{}".format(op, h): v for h in (7, 30) for op, v in
           [("sum", 1), ("min", 1), ("max", 1), ("frequency", 1), ("density", 1),
            ("time_since_first", 5), ("time_since_last", 5)]},
        "2__sum__30": 4, "2__min__30": 4, "2__max__30": 4, "2__frequency__30": 1, "2__density__30": 4,
        "2__time_since_first__7": 15, "2__time_since_first__30": 15,
        "2__time_since_last__7": 15, "2__time_since_last__30": 15,
        "1__ratio__7": 1.0, "1__ratio__30": f32(1) / f32(5), "2__ratio__30": f32(4) / f32(5),
        # codes 1 and 2 once each within 30 days: the tie goes to the smaller code
        **{"{}__{}__{}".format(d, op, h): v for d in (1, 2) for op, h, v in
           [("count_distinct", 7, 1), ("count_distinct", 30, 2), ("mode", 7, 1), ("mode", 30, 1)]},
    },
}


def test_values_match_hand_computed_expectations_and_a_direct_execute_call():
    frame = build()
    assert list(frame.index) == [10, 11, 12, 13]
    assert list(frame["entity"]) == ["a", "b", "c", "a"]
    assert list(frame["target_date"]) == [T, T, T, T2]
    features = frame.drop(columns=["entity", "target_date"])
    assert (features.dtypes == np.float32).all()
    for row, expected in EXPECTED.items():
        want = pd.Series(np.nan, index=features.columns, dtype=np.float32)
        for col, value in expected.items():
            want[col] = value
        pd.testing.assert_series_equal(features.loc[row], want, check_names=False, rtol=0, atol=0)
    # targets a@T, b@T, c@T, a@T2 are entity indices 0..3; c has no rows
    direct = direct_execute({0: "a", 1: "b", 3: "a"}, {0: T, 1: T, 2: T, 3: T2}, 4, list(features.columns), 1000)
    np.testing.assert_array_equal(features.to_numpy(), direct)


@pytest.mark.parametrize("operators", [
    "time_since_last,Sum,Ratio",
    [AfeOperator.TimeSinceLast, AfeOperator.Sum, AfeOperator.Ratio],
    [9, 4, 10],
], ids=["names", "members", "codes"])
def test_columns_follow_the_operators_in_every_spelling_and_are_listed_by_feature_columns(operators):
    # by dimension value, then horizon in ascending order, then operator as given
    frame = build(operators=operators, horizons=[30, 7])
    assert list(frame.columns) == [
        "entity", "target_date",
        "1__time_since_last__7", "1__sum__7", "1__ratio__7", "1__time_since_last__30", "1__sum__30", "1__ratio__30",
        "2__time_since_last__7", "2__sum__7", "2__ratio__7", "2__time_since_last__30", "2__sum__30", "2__ratio__30",
    ]
    assert feature_columns([1, 2], horizons=[30, 7], operators=operators) == list(frame.columns[2:])
    pd.testing.assert_frame_equal(frame, build(operators=["time_since_last", "sum", "ratio"], horizons=[30, 7]))


def test_per_dimension_operators_get_one_column_per_dimension_value():
    frame = build(operators=["sum", "time_since_first"], per_dimension_operators=["time_since_first"])
    assert list(frame.columns[2:]) == [
        "1__sum__7", "1__sum__30", "1__time_since_first",
        "2__sum__7", "2__sum__30", "2__time_since_first",
    ]
    assert frame.loc[10, "1__time_since_first"] == 10
    assert frame.loc[13, "2__time_since_first"] == 15


def direct_execute(rows_of, target_of, n_rows, columns, e):
    """The same history passed to execute by hand, laid out differently from the front
    end: three-column transaction arrays, two splits, the key base ``e``."""
    # row: (entity, timestamp, quantity, code); newest first per entity
    trx = [("a", T - 1 * DAY, 2.0, 1), ("a", T - 3 * DAY, 5.0, 1), ("a", T - 10 * DAY, 1.0, 1),
           ("a", T - 20 * DAY, 4.0, 2), ("b", T - 2 * DAY, 3.0, 2)]
    dates = np.zeros((len(trx), 3), dtype=np.int64)
    qs = np.zeros((len(trx), 2), dtype=np.float32)
    ds = np.zeros((len(trx), 2), dtype=np.int8)
    for r, (_, t, q, d) in enumerate(trx):
        dates[r, 2], qs[r, 1], ds[r, 0] = t, q, d
    rows = {ent: np.array([r for r, row in enumerate(trx) if row[0] == ent], dtype=np.int32)
            for ent in ("a", "b")}
    entity_index_map = {i: rows[ent] for i, ent in rows_of.items()}
    target_dates = np.array([target_of[i] for i in range(n_rows)], dtype=np.int64)
    splits = np.array([[0, 2], [1, 3]], dtype=np.int32)  # row 2k+s is split s position k
    ops = {op.name: op.value for op in AfeOperator}
    snake = {"density": "Density", "min": "Min", "max": "Max", "sum": "Sum", "frequency": "Frequency",
             "count_distinct": "CountDistinct", "mode": "Mode", "time_since_first": "TimeSinceFirst",
             "time_since_last": "TimeSinceLast", "ratio": "Ratio"}
    column_name_map = {}
    for i, name in enumerate(columns):
        d, op, h = name.split("__")
        column_name_map[int(d) * e * e + ops[snake[op]] * e + int(h)] = i
    result = np.full((n_rows, len(columns)), np.nan, dtype=np.float32)
    included = [op.value for op in AfeOperator]
    set_one = [op.value for op in AfeOperator if op is not AfeOperator.Ratio]
    dfbh.execute(result, 1, 2, 0, 1, splits, [7, 30], 0, 2, {1: 1, 2: 2}, dates, qs, ds,
                 entity_index_map, target_dates, included, set_one, [], column_name_map, e)
    return result


@pytest.mark.parametrize("name, value", [("batch_size", 1), ("batch_size", 3), ("n_splits", 7)])
def test_batch_size_and_n_splits_warn_and_change_nothing(name, value):
    with pytest.warns(FutureWarning, match=f"{name} has no effect any more .* will be removed") as caught:
        frame = build(**{name: value})
    assert [w.filename for w in caught] == [__file__]  # the warning points at the caller
    pd.testing.assert_frame_equal(frame, build())
    with pytest.warns(FutureWarning, match=name):
        params = FeatureParams(horizons=[7, 30], **{name: value})
    pd.testing.assert_frame_equal(build(params=params), frame)  # a copy does not warn again


@pytest.mark.parametrize("n_jobs", [2, 3])
@pytest.mark.parametrize("spacing", [1, 7919], ids=["dense-ids", "sparse-ids"])
def test_thread_count_does_not_change_the_frame(n_jobs, spacing):
    # enough rows that every pass has work for each thread; ids numbered by
    # their range or through hash tables; some targets without transactions
    rng = np.random.default_rng(4)
    n = 60_000
    trx = pd.DataFrame({"entity": rng.integers(0, 3000, n) * spacing, "timestamp": T - rng.integers(0, 400, n) * DAY,
                        "quantity": rng.gamma(2.0, 3.0, n).round(1) - 0.5,
                        "dimension": rng.integers(0, 5, n).astype(np.int8)})
    tgt = pd.DataFrame({"entity": rng.integers(-50, 3100, 9000) * spacing,
                        "target_date": T - rng.integers(0, 300, 9000) * DAY})
    kwargs = dict(horizons=[7, 30, 365], operators=["sum", "ratio", "count_distinct", "mode", "time_since_last"])
    pd.testing.assert_frame_equal(build(trx, tgt, n_jobs=n_jobs, **kwargs), build(trx, tgt, n_jobs=1, **kwargs))


def _same_data(case):
    """The history and targets in another form, with the keywords that read them."""
    trx, tgt = history(), targets()
    if case == "datetimes":  # naive timestamps; target dates in a time zone
        return (trx.assign(timestamp=pd.to_datetime(trx["timestamp"], unit="ms")),
                tgt.assign(target_date=pd.to_datetime(tgt["target_date"], unit="ms").dt.tz_localize("UTC")
                           .dt.tz_convert("Europe/Berlin")), {})
    if case in ("numpy_nullable", "pyarrow"):
        if case == "pyarrow":
            pytest.importorskip("pyarrow")
        trx = trx.assign(timestamp=lambda f: pd.to_datetime(f["timestamp"], unit="ms").dt.tz_localize("UTC"))
        tgt = tgt.assign(target_date=lambda f: pd.to_datetime(f["target_date"], unit="ms"))
        return trx.convert_dtypes(dtype_backend=case), tgt.convert_dtypes(dtype_backend=case), {}
    if case == "integer-ids":
        return trx.assign(entity=lambda f: f["entity"].map({"a": 101, "b": 202})), tgt.assign(entity=[101, 202, 303, 101]), {}
    if case == "nearest-exponent":
        return trx, tgt, {"nearest_exponent": 31}
    scale = {"s": 1 / 1000, "ms": 1, "us": 1000, "ns": 1_000_000}[case]  # integer timestamps in every unit
    trx["timestamp"] = (trx["timestamp"] * scale).astype(np.int64)
    tgt["target_date"] = (tgt["target_date"] * scale).astype(np.int64)
    return trx, tgt, {"timestamp_unit": case}


@pytest.mark.parametrize("case", ["datetimes", "numpy_nullable", "pyarrow", "integer-ids", "nearest-exponent",
                                  "s", "ms", "us", "ns"])
def test_the_same_data_in_other_forms_gives_the_same_features(case):
    trx, tgt, kwargs = _same_data(case)
    frame = build(trx, tgt, **kwargs)
    pd.testing.assert_frame_equal(frame.iloc[:, 2:], build().iloc[:, 2:])
    pd.testing.assert_frame_equal(frame.iloc[:, :2], tgt)  # the target columns are returned as given


def test_datetimes_are_floored_to_milliseconds():
    # half a millisecond before the target date: floored it counts, truncated it would fall on the date
    trx = pd.DataFrame({"entity": [1, 1], "timestamp": pd.to_datetime(["1969-12-31 23:59:59.9995", "1970-01-01 00:00:00.0000"]),
                        "quantity": [2.0, 5.0], "dimension": np.array([1, 1], np.int8)})
    tgt = pd.DataFrame({"entity": [1], "target_date": pd.to_datetime(["1970-01-01 00:00:00.0009"])})
    assert build(trx, tgt, operators=["sum"], horizons=[7])["1__sum__7"].tolist() == [2.0]


def test_interleaved_targets_keep_their_order():
    tgt = pd.DataFrame({"entity": ["a", "b", "a", "b", "a"], "target_date": [T, T, T2, T2, T]})
    frame = build(tgt=tgt, operators=["sum"])
    assert frame["1__sum__7"].tolist()[0::2] == [7, 1, 7]
    assert frame["2__sum__7"].tolist()[1] == 3
    assert np.isnan(frame["2__sum__7"].tolist()[3])  # b's purchase lies after T2


@pytest.mark.parametrize(
    "mapping, expected",
    [
        # codes 1 and 2 pooled under one value
        ({1: 5, 2: 5}, {"5__sum__30": 12, "5__ratio__30": 1.0}),
        # code 2 unnamed: the unknown value, no columns, yet it counts in the ratio total
        ({1: 1}, {"1__sum__30": 8, "1__ratio__30": f32(8) / f32(12)}),
        # a value with no transactions still gets its (empty) columns
        ({1: 1, 2: 2, 3: 3}, {"3__sum__30": nan, "2__sum__30": 4}),
    ],
)
def test_dimension_values_map_codes(mapping, expected):
    frame = build(dimension_values=mapping, operators=["sum", "ratio"])
    dims = {int(c.split("__")[0]) for c in frame.columns[2:]}
    assert dims == set(mapping.values()) - {-1}
    for col, value in expected.items():
        np.testing.assert_equal(frame.loc[10, col], f32(value))


def test_large_dimension_values_use_a_smaller_key_base():
    # 3000 x 1000**2 overflows 32 bits; base 366 fits
    mapped = build(dimension_values={1: 3000, 2: 3001}, horizons=[7, 365], operators=["sum", "ratio"])
    plain = build(horizons=[7, 365], operators=["sum", "ratio"])
    assert list(mapped.columns[2:4]) == ["3000__sum__7", "3000__ratio__7"]
    np.testing.assert_array_equal(mapped.iloc[:, 2:].to_numpy(), plain.iloc[:, 2:].to_numpy())


@pytest.mark.parametrize(
    "dims, horizons, expected",
    [
        ([1, 2], [7, 30], 100),
        ([-128, 127], [7, 90], 100),
        ([2000], [365], 1000),
        ([3000], [365], 366),
        ([1], [5], 100),  # must exceed operator code 10
    ],
)
def test_choose_nearest_exponent(dims, horizons, expected):
    triples = [(d, op, h) for d in dims for op in AfeOperator for h in horizons]
    e = choose_nearest_exponent(triples)
    assert e == expected
    keys = [column_key(e, d, op.value, h) for d, op, h in triples]
    assert len(set(keys)) == len(keys)
    assert all(-(2 ** 31) <= k < 2 ** 31 for k in keys)


def test_no_dimension_column_puts_everything_under_code_zero():
    frame = build(history().drop(columns=["dimension"]), dimension_col=None, operators=["sum"])
    assert list(frame.columns[2:]) == ["0__sum__7", "0__sum__30"]
    assert frame.loc[10, "0__sum__30"] == 12


def test_offset_moves_the_windows_back():
    # offset 2 days: a's window ends at T - 2 days, so the purchases at 1 day are dropped
    frame = build(offset=2, operators=["sum"], horizons=[7])
    assert frame.loc[10, "1__sum__7"] == 5  # only the purchase 3 days before T
    assert np.isnan(frame.loc[11, "2__sum__7"])  # b's purchase is 2 days before T: at the window end


class TestFeatureGroupMode:
    # feature-group mode includes the window end, so it needs an offset of at least 1;
    # with offset 1 day a's purchases at 1 and 3 days before T count as 2 + 5 in
    # the week [T - 8d, T - 1d], the one at 10 days in the 30-day window
    @pytest.mark.parametrize("spelling", [dict(group=2), dict(for_afe_columns=True, dim_group_id=2)])
    def test_restricted_to_the_group_dimension(self, spelling):
        frame = build(offset=1, operators=["sum", "frequency"], **spelling)
        assert list(frame.columns[2:]) == ["2__sum__7", "2__frequency__7", "2__sum__30", "2__frequency__30"]
        assert frame.loc[10, "2__sum__30"] == 4

    @pytest.mark.parametrize("spelling", [dict(group=2, operators=["sum", "count_distinct"]),
                                          dict(group="all", operators=["sum"]),
                                          dict(for_afe_columns=True, is_no_dim_col=True, operators=["sum"])],
                             ids=["count-distinct", "all", "no-dimension-column"])
    def test_count_distinct_or_all_dimensions_lift_the_restriction(self, spelling):
        frame = build(offset=1, **spelling)
        assert {c.split("__")[0] for c in frame.columns[2:]} == {"1", "2"}
        # the purchase 1 day before T lies on the window end, which counts here
        assert frame.loc[10, "1__sum__7"] == 7 and frame.loc[10, "1__sum__30"] == 8

    def test_ratio_gives_one_column_at_the_first_horizon_given(self):
        frame = build(group=1, offset=1, operators=["sum", "ratio"], horizons=[30, 7])
        assert list(frame.columns[2:]) == ["1__ratio__30"]
        assert frame.loc[10, "1__ratio__30"] == f32(8) / f32(12)

    def test_keywords_override_a_parameter_object(self):
        base = FeatureParams(horizons=[7, 30], group=1, offset=1, operators=["sum"])
        pd.testing.assert_frame_equal(build(None, None, base, group=2), build(group=2, offset=1, operators=["sum"]))
        plain = build(None, None, base, group=None, offset=0)
        assert list(plain.columns[2:]) == ["1__sum__7", "1__sum__30", "2__sum__7", "2__sum__30"]


# --- nothing dated at or after the target date shows --------------------------------


@pytest.mark.parametrize("per_dimension", [(), ("count_distinct", "mode")])
def test_count_distinct_and_mode_of_an_empty_window_are_nan(per_dimension):
    # d buys only after T; e buys once, 20 days before T (inside 30 days, not 7);
    # the kernel alone wrote 0 for both of d's cells and for e's 7-day cells
    trx = pd.DataFrame({"entity": ["d", "d", "e"], "timestamp": [T + DAY, T, T - 20 * DAY],
                        "quantity": [1.0, 2.0, 3.0], "dimension": np.array([1, 2, 2], dtype=np.int8)})
    tgt = pd.DataFrame({"entity": ["d", "e", "never"], "target_date": [T, T, T]})
    frame = build(trx, tgt, operators=["sum", "count_distinct", "mode"], per_dimension_operators=per_dimension)
    features = frame.iloc[:, 2:]
    assert features.iloc[[0, 2]].isna().all().all()  # a future buyer looks like a never-buyer
    e = features.iloc[1]
    if per_dimension:  # read at the smallest horizon, 7 days: empty
        assert e[["1__count_distinct", "2__mode"]].isna().all()
    else:
        assert e[["1__count_distinct__7", "2__mode__7"]].isna().all()
        assert e["1__count_distinct__30"] == 1 and e["1__mode__30"] == 2 and e["2__mode__30"] == 2
    assert e["2__sum__30"] == 3


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    rows=st.lists(st.tuples(st.integers(0, 2), st.integers(-40, -1), st.sampled_from([0.5, 2.0, -1.0, 0.0]),
                            st.integers(0, 2)), max_size=15),
    future=st.lists(st.tuples(st.integers(0, 3), st.integers(0, 40), st.sampled_from([0.5, 2.0, 7.0]),
                              st.integers(0, 2)), min_size=1, max_size=8),
    mode=st.sampled_from([dict(), dict(offset=2), dict(group=1, offset=1), dict(group="all", offset=1)]),
    operators=st.sampled_from([None, ["count_distinct", "mode"], ["sum", "ratio", "time_since_last"]]),
)
def test_transactions_at_or_after_the_target_date_change_nothing(rows, future, mode, operators):
    def table(rows):
        trx = pd.DataFrame(rows, columns=["entity", "timestamp", "quantity", "dimension"])
        trx = trx.astype({"entity": np.int64, "timestamp": np.int64, "quantity": np.float64, "dimension": np.int8})
        trx["timestamp"] = T + trx["timestamp"] * (DAY // 2)
        return trx

    tgt = pd.DataFrame({"entity": [0, 1, 2, 3], "target_date": [T] * 4})
    kwargs = dict(horizons=[3, 10], dimension_values=[0, 1, 2], operators=operators, **mode)
    if "group" in mode and (operators is None or "ratio" in operators):
        kwargs["group"] = 1  # the feature-group ratio is the share of one dimension value
    before = build_feature_frame(table(rows), tgt, **kwargs)
    after = build_feature_frame(table(rows + future), tgt, **kwargs)
    pd.testing.assert_frame_equal(after, before)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    rows=st.lists(st.tuples(st.integers(0, 4), st.integers(-50, 8), st.sampled_from([0.5, 2.0, -1.0, 7.0]),
                            st.integers(0, 2)), max_size=25),
    mode=st.sampled_from([dict(), dict(offset=2), dict(group=1, offset=1), dict(resolution="hour", offset=30)]),
)
def test_rows_no_window_reaches_are_not_prepared_and_change_nothing(rows, mode):
    # Half days from 25 days before the targets to 4 after: rows at both
    # edges of the reach (the earliest target's widest window, the latest
    # target's window end), and beyond. Entity 4 may have rows only outside.
    trx = pd.DataFrame(rows, columns=["entity", "timestamp", "quantity", "dimension"])
    trx = trx.astype({"entity": np.int64, "timestamp": np.int64, "quantity": np.float64, "dimension": np.int8})
    trx["timestamp"] = T + trx["timestamp"] * (DAY // 2)
    tgt = pd.DataFrame({"entity": [0, 1, 2, 3, 4, 0], "target_date": [T, T, T2, T, T2 - DAY, T2 - 2 * DAY]})
    params = FeatureParams(horizons=(3, 10), dimension_values=((0, 0), (1, 1), (2, 2)), **mode)
    low, high = compute.rows_in_reach(tgt["target_date"].to_numpy(), params)
    unit = DAY // 24 if mode.get("resolution") == "hour" else DAY
    # from the earliest target's widest window start to the latest target's window end
    assert (low, high) == (T2 - 2 * DAY - (10 + mode.get("offset", 0)) * unit, T - mode.get("offset", 0) * unit)
    reached, report = compute.build_with_report(trx, tgt, params)
    with mock.patch.object(compute.build, "rows_in_reach", lambda dates, params: (-2**63, 2**63 - 1)):
        everything, everything_report = compute.build_with_report(trx, tgt, params)
    pd.testing.assert_frame_equal(reached, everything)
    assert report == everything_report  # entities with rows only out of reach have transactions


def empty_history():
    return history().iloc[:0]


@pytest.mark.parametrize(
    "trx, tgt, kwargs, n_rows, n_features",
    [
        (empty_history(), targets(), {}, 4, 0),  # no codes, so no dimension values
        (empty_history(), targets(), {"dimension_values": [1, 2]}, 4, 40),
        (history(), targets().iloc[:0], {}, 0, 40),
        (empty_history(), targets().iloc[:0], {"dimension_values": [1]}, 0, 20),
    ],
)
def test_empty_inputs(trx, tgt, kwargs, n_rows, n_features):
    frame = build(trx, tgt, **kwargs)
    assert frame.shape == (n_rows, 2 + n_features)
    assert frame.iloc[:, 2:].isna().all().all()
    assert (frame.dtypes.iloc[2:] == np.float32).all()


@pytest.mark.parametrize("missing", [np.nan, pd.NA, "arrow-null"])
def test_missing_quantities_are_dropped_with_a_warning(missing):
    trx = history()
    if isinstance(missing, str):
        pa = pytest.importorskip("pyarrow")
        quantity = pa.array([1.0, 3.0, None, 4.0, 5.0])
        trx = pa.Table.from_pandas(trx, preserve_index=False).set_column(2, "quantity", quantity)
    else:
        trx["quantity"] = trx["quantity"].astype("Float64" if missing is pd.NA else "float64")
        trx.loc[2, "quantity"] = missing  # a's purchase 1 day before T
    with pytest.warns(MissingQuantityWarning, match=r"transactions: column 'quantity' has 1 missing "
                                                    r"quantities \(first at row 2\); those rows were dropped"):
        frame = build(trx)
    pd.testing.assert_frame_equal(frame, build(history().drop(index=2)))
    assert frame.loc[10, "1__sum__7"] == 5 and frame.loc[10, "1__frequency__7"] == 1


# --- Arrow and polars input -----------------------------------------------------------


def _arrow_history(chunks):
    pa = pytest.importorskip("pyarrow")
    trx = history().assign(quantity=lambda f: f["quantity"].astype(np.float32))
    table = pa.Table.from_pandas(trx, preserve_index=False)
    if chunks > 1:  # the same rows in several record batches
        table = pa.Table.from_batches(table.to_batches(max_chunksize=2))
    return table


def _per_chunk_dictionaries(kind):
    """The history's entity ids in chunks that each carry their own
    dictionary: in another order, with repeated and null entries that no
    row uses, or a polars frame concatenated without rechunking."""
    pa = pytest.importorskip("pyarrow")
    table = _arrow_history(1)
    ids = table.column("entity").to_pylist()
    if kind == "polars-concat":
        pl = pytest.importorskip("polars")
        table = table.set_column(0, "entity", table.column("entity").dictionary_encode())
        return pl.concat([pl.from_arrow(table.slice(1)), pl.from_arrow(table.slice(0, 1))], rechunk=False)
    chunks = []
    for i, entity in enumerate(ids):
        dictionary = ["b", "a", None, "a"] if kind == "arrow-shuffled" else [entity]
        index = dictionary.index(entity) if kind != "arrow-shuffled" or entity == "b" else 3
        chunks.append(pa.DictionaryArray.from_arrays(pa.array([index], pa.int8()), pa.array(dictionary)))
    return pa.Table.from_batches([
        pa.record_batch([chunk] + [table.column(j).chunk(0)[i:i + 1] for j in range(1, table.num_columns)],
                        names=table.column_names)
        for i, chunk in enumerate(chunks)
    ])


# entity ids as dictionaries of their own in each chunk
PER_CHUNK_DICTIONARIES = ["arrow-own", "arrow-shuffled", "polars-concat"]


@pytest.mark.parametrize("kind", ["arrow", "arrow-chunked", "arrow-timestamps", "polars", "pandas-arrow",
                                  "polars-integer-ids", "arrow-integer-ids", *PER_CHUNK_DICTIONARIES])
def test_arrow_and_polars_tables_give_the_pandas_result(kind):
    pa = pytest.importorskip("pyarrow")
    trx = _arrow_history(3 if kind == "arrow-chunked" else 1)
    tgt = pa.Table.from_pandas(targets(), preserve_index=False)
    if kind in PER_CHUNK_DICTIONARIES:  # decoded each with its own values
        trx = _per_chunk_dictionaries(kind)
        tgt = tgt.set_column(0, "entity", tgt.column("entity").cast(pa.dictionary(pa.int8(), pa.string())))
    if kind.endswith("integer-ids"):  # numbered natively, not hashed by pyarrow
        ids = {"a": 2 * 10**9, "b": -5, "c": 7}
        trx = trx.set_column(0, "entity", pa.array([ids[e] for e in trx.column("entity").to_pylist()], pa.int64()))
        tgt = tgt.set_column(0, "entity", pa.array([ids[e] for e in tgt.column("entity").to_pylist()], pa.int32()))
    if kind == "arrow-timestamps":
        trx = trx.set_column(1, "timestamp", trx.column("timestamp").cast(pa.timestamp("ms"))
                             .cast(pa.timestamp("us", tz="Asia/Tokyo")))
        tgt = tgt.set_column(1, "target_date", tgt.column("target_date").cast(pa.timestamp("ms")))
    if kind == "polars-concat":
        tgt = pytest.importorskip("polars").from_arrow(tgt)
    elif kind.startswith("polars"):
        pl = pytest.importorskip("polars")
        trx, tgt = pl.from_arrow(trx), pl.from_arrow(tgt)
    if kind == "pandas-arrow":
        trx, tgt = trx.to_pandas(types_mapper=pd.ArrowDtype), tgt.to_pandas(types_mapper=pd.ArrowDtype)
    frame = build(trx, tgt)
    want = build()
    np.testing.assert_array_equal(frame.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy())
    assert list(frame.columns) == list(want.columns)
    if not kind.endswith("integer-ids"):
        assert frame["entity"].tolist() == want["entity"].tolist()


def _other_types(case):
    """(transactions, targets, the same data as the reference) for values
    held in other Arrow or polars types than the history's."""
    pa = pytest.importorskip("pyarrow")
    pl = pytest.importorskip("polars")
    trx, tgt = history(), targets()
    if case == "big-integer-quantities":
        trx = trx.assign(quantity=np.array([2 ** 53 + 1, -(2 ** 62), 3, 2 ** 63 - 1, 5], np.int64))
        tgt = tgt.assign(entity=tgt["entity"].astype(object))
        return pa.Table.from_pandas(trx), pl.from_pandas(tgt), (trx, tgt)
    if case in ("us", "ns"):  # the smallest int64 count: a valid time, not NaT
        per = 1000 if case == "us" else 1_000_000
        trx = trx.assign(timestamp=trx["timestamp"] * per)
        trx.loc[3, "timestamp"] = -(2 ** 63)
        ref = trx.copy()
        ref.loc[3, "timestamp"] = -(2 ** 63) + 1  # the same millisecond, floored
        tgt = tgt.assign(target_date=tgt["target_date"] * per)
        return pa.Table.from_pandas(trx), tgt, (ref, tgt)
    if case == "big-endian":  # uint64 ids beyond int64 are hashed by pandas, not numbered natively
        ids = {"a": 2 ** 64 - 1, "b": 2 ** 63, "c": 5}
        trx, tgt = trx.assign(entity=trx["entity"].map(ids)), tgt.assign(entity=tgt["entity"].map(ids))
        types = {"entity": "u8", "timestamp": "i8", "quantity": "f4", "dimension": "i2", "target_date": "i8"}
        big = [t.astype({c: ">" + k for c, k in types.items() if c in t}) for t in (trx, tgt)]
        return big[0], big[1], tuple(t.astype({c: "<" + k for c, k in types.items() if c in t}) for t in (trx, tgt))
    if case.startswith("ids-"):  # one id rule, whatever the columns' types
        numbers = {"a": 1, "b": 2, "c": 3}
        trx, tgt = trx.assign(entity=trx["entity"].map(numbers)), tgt.assign(entity=tgt["entity"].map(numbers))
        if case == "ids-python-integers-against-pandas":
            return trx, tgt.astype({"entity": object}), None
        if case == "ids-python-integers-against-arrow":
            return pa.Table.from_pandas(trx), tgt.astype({"entity": object}), None
        if case == "ids-python-floats-against-float-categories":
            return trx.astype({"entity": float}).astype({"entity": object}), tgt.astype({"entity": float}).astype(
                {"entity": "category"}), None
        assert case == "ids-integers-against-floats-by-exact-value"
        # 2**53 + 1 and 2.0**53 differ; as float64 both would read 2**53
        big = {1: 2 ** 53 + 1, 2: 2, 3: 3}
        wide = trx.assign(entity=trx["entity"].map(big))
        floats = tgt.assign(entity=tgt["entity"].map({1: 2.0 ** 53, 2: 2.0, 3: 3.0}))
        return wide, floats, (trx.assign(entity=trx["entity"].map({1: 9, 2: 2, 3: 3})), tgt)
    arrow_trx, arrow_tgt = pa.Table.from_pandas(trx, preserve_index=False), pa.Table.from_pandas(tgt)
    if case == "dates":
        def as_date(table, name, date_type):
            days = table.column(name).cast(pa.timestamp("ms")).cast(date_type)
            return table.set_column(table.schema.get_field_index(name), name, days)
        return as_date(arrow_trx, "timestamp", pa.date32()), as_date(arrow_tgt, "target_date", pa.date64()), None
    if case == "categorical-against-polars":  # int8 against uint32 indices
        trx = pa.Table.from_pandas(trx.astype({"entity": "category"}), preserve_index=False)
        return trx, pl.from_pandas(tgt).with_columns(pl.col("entity").cast(pl.Categorical)), None
    if case == "dictionary-against-plain":
        return arrow_trx.set_column(0, "entity", arrow_trx.column("entity").dictionary_encode()), arrow_tgt, None
    assert case == "binary-against-large-binary"
    return (arrow_trx.set_column(0, "entity", arrow_trx.column("entity").cast(pa.binary())),
            arrow_tgt.set_column(0, "entity", arrow_tgt.column("entity").cast(pa.large_binary())), None)


@pytest.mark.parametrize("case", ["dates", "big-integer-quantities", "us", "ns", "big-endian", "categorical-against-polars",
                                  "dictionary-against-plain", "binary-against-large-binary",
                                  "ids-python-integers-against-pandas", "ids-python-integers-against-arrow",
                                  "ids-python-floats-against-float-categories", "ids-integers-against-floats-by-exact-value"])
def test_the_same_values_in_other_arrow_and_polars_types_give_the_same_frame(case):
    trx, tgt, reference = _other_types(case)
    unit = {"timestamp_unit": case} if case in ("us", "ns") else {}
    frame, want = build(trx, tgt, **unit), build(*(reference or (None, None)), **unit)
    np.testing.assert_array_equal(frame.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy())


@pytest.mark.parametrize("kind", ["arrow", "polars"])
def test_null_free_primitive_columns_are_viewed_not_copied(kind):
    pa = pytest.importorskip("pyarrow")
    table = _arrow_history(1)
    if kind == "polars":
        pl = pytest.importorskip("polars")
        frame = pl.from_arrow(table)
        source = {name: frame[name].to_numpy() for name in ("timestamp", "quantity", "dimension")}
    else:
        frame = table
        source = {name: table.column(name).chunk(0).to_numpy() for name in ("timestamp", "quantity", "dimension")}
    read = InputTable(frame, "transactions", ["timestamp", "quantity", "dimension"])
    assert np.shares_memory(read_times(read, "timestamp", "ms").counts, source["timestamp"])
    assert np.shares_memory(read_numbers(read, "quantity"), source["quantity"])
    assert np.shares_memory(read_codes(read, "dimension").values, source["dimension"])
    assert isinstance(table.column("timestamp"), pa.ChunkedArray)


def test_progress_bars_of_preparing_and_computing(capsys):
    pytest.importorskip("tqdm")
    build(progress=True)
    err = capsys.readouterr().err
    assert "preparing" in err and "5/5" in err
    assert "computing" in err and "4/4" in err


@pytest.mark.slow
def test_progress_bars_move_at_least_once_a_second(monkeypatch):
    # engine calls long enough on a busy machine for several of their
    # reports, about ten a second; on a fast one fewer, but never a second apart
    import time

    from quelmar.afe.domain.modelling.feature_frame.support.progress import Bar

    pytest.importorskip("tqdm")
    moves = []
    bar_update = Bar.update

    def recording(bar, n=1):
        moves.append((bar._bar.desc, n, time.time(), bar._bar.start_t))
        bar_update(bar, n)

    monkeypatch.setattr(Bar, "update", recording)
    # 400,000 targets that scan 500 rows each: a compute stage of a second or more
    rng = np.random.default_rng(2)
    n = 2_000_000
    trx = pd.DataFrame({"entity": rng.integers(0, 4000, n) * 31, "timestamp": T - rng.integers(0, 700, n) * DAY,
                        "quantity": rng.random(n), "dimension": rng.integers(0, 8, n).astype(np.int8)})
    tgt = pd.DataFrame({"entity": np.repeat(np.arange(4000) * 31, 100),
                        "target_date": T + rng.integers(0, 30, 400_000) * DAY})
    build(trx, tgt, horizons=[7, 30, 90, 730], operators=["sum", "max", "mode"], n_jobs=1, progress=True)
    for stage, total in (("preparing", n), ("computing", len(tgt))):
        steps = [(step, at, start) for desc, step, at, start in moves if desc == stage]
        assert sum(step for step, _, _ in steps) == total and min(step for step, _, _ in steps) > 0
        times = [steps[0][2]] + [at for _, at, _ in steps]  # from the bar's start
        assert max(np.diff(times)) < 1.0, (stage, np.diff(times))
        # and on long work at least twice a second, not only at the end
        assert len(steps) >= 2 * (times[-1] - times[0]), (stage, times[-1] - times[0], len(steps))


@pytest.fixture
def engine_must_not_run(monkeypatch):
    def no_call(*args, **kw):  # pragma: no cover - reached only on a fault
        raise AssertionError("the engine must not run on refused input")

    for entry in ("factorize_entities", "prepare_transactions", "compute_features"):
        monkeypatch.setattr(_engine, entry, no_call)


def _bad(frame_name, **changes):
    def mutate(trx, tgt):
        frame = trx if frame_name == "trx" else tgt
        for col, value in changes.items():
            if value is None:
                frame = frame.drop(columns=[col])
            else:
                frame = frame.assign(**{col: value})
        return (frame, tgt) if frame_name == "trx" else (trx, frame)

    return mutate


def _same(trx, tgt):
    return trx, tgt


def _not_a_table(which):
    return lambda trx, tgt: ([[1, 2, 3]], tgt) if which == "transactions" else (trx, [[1, 2, 3]])


def _hostile(case):
    """Tables that name a column twice, hold a null dictionary entry, or hold
    object ids that cannot match the transactions' integer ids."""
    def mutate(trx, tgt):
        pa = pytest.importorskip("pyarrow")
        if case == "pandas-duplicate":
            return pd.concat([trx, trx[["quantity"]]], axis=1), tgt
        arrow_trx = pa.Table.from_pandas(trx, preserve_index=False)
        if case == "arrow-duplicate":
            return arrow_trx.append_column("quantity", arrow_trx.column("quantity")), tgt
        if case == "null-dictionary-entry":
            ids = pa.DictionaryArray.from_arrays(pa.array([0, 1, 0, 0, 0], pa.int8()), pa.array(["a", None]))
            return arrow_trx.set_column(0, "entity", ids), tgt
        if case == "arrow-nan-id":  # a NaN id is missing in Arrow as in pandas
            return arrow_trx.set_column(0, "entity", pa.array([1.0, float("nan"), 1.0, 1.0, 1.0])), tgt
        integer_ids = arrow_trx.set_column(0, "entity", pa.array([1, 2, 1, 1, 1]))
        values = [2 ** 70, 1, 2, 1] if case == "object-ids-beyond-int64" else ["a", 1, 2, 1]
        return integer_ids, tgt.assign(entity=pd.Series(values, dtype=object, index=tgt.index))

    return mutate


@pytest.mark.parametrize(
    "mutate, kwargs, error, message",
    [
        (_bad("trx", quantity=None), {}, ValueError, r"transactions: missing column 'quantity'"),
        (_bad("trx", entity=None), {}, ValueError, r"transactions: missing column 'entity'"),
        (_bad("trx", timestamp=None), {}, ValueError, r"transactions: missing column 'timestamp'"),
        (_bad("trx", dimension=None), {}, ValueError, r"transactions: missing column 'dimension'"),
        (_bad("tgt", target_date=None), {}, ValueError, r"targets: missing column 'target_date'"),
        (_bad("tgt", entity=None), {}, ValueError, r"targets: missing column 'entity'"),
        (_bad("trx", timestamp=[1.5] * 5), {}, TypeError,
         r"transactions: column 'timestamp' must hold datetime values or integer timestamps "
         r"\(timestamp_unit 'ms'\), got float64"),
        (_bad("tgt", target_date=["x"] * 4), {}, TypeError,
         r"targets: column 'target_date' must hold datetime values or integer timestamps"),
        (_bad("trx", quantity=["1"] * 5), {}, TypeError,
         r"transactions: column 'quantity' must hold numbers \(quantities\)"),
        (_bad("trx", dimension=[1.0] * 5), {}, TypeError,
         r"transactions: column 'dimension' must hold integer dimension codes, got float64"),
        (_bad("trx", dimension=[1, 2, 300, 1, 1]), {}, ValueError,
         r"transactions: column 'dimension' has dimension codes outside int8 \(-128\.\.127\), e\.g\. 300"),
        (_bad("trx", dimension=[1, 2, -129, 1, 1]), {}, ValueError, r"outside int8 .*e\.g\. -129"),
        (_bad("tgt", target_date=pd.array([T, None, T, T], dtype="Int64")), {}, ValueError,
         r"targets: column 'target_date' has 1 missing target dates \(first at row 1\)"),
        (_bad("tgt", target_date=pd.to_datetime([T, None, None, T], unit="ms")), {}, ValueError,
         r"targets: column 'target_date' has 2 missing target dates"),
        (_bad("trx", timestamp=pd.to_datetime([T, T, T, None, T], unit="ms")), {}, ValueError,
         r"transactions: column 'timestamp' has 1 missing timestamps \(first at row 3\)"),
        (_bad("trx", dimension=np.array([1, 2, 200, 1, 1], dtype=np.uint8)), {}, ValueError,
         r"outside int8 .*e\.g\. 200 \(first at row 2\)"),
        (_bad("trx", entity=["a", None, "a", "a", "a"]), {}, ValueError,
         r"transactions: column 'entity' has 1 missing entity ids"),
        (_bad("tgt", entity=[1, 2, 3, 4]), {}, TypeError,
         r"targets: column 'entity' holds int64 entity ids but the transactions column 'entity' holds"),
        (_same, {"horizon": [7]}, TypeError, r"build_feature_frame\(\) got an unexpected keyword argument 'horizon'"),
        *[(_not_a_table(which), {}, TypeError, which + r": expected a pandas DataFrame, a pyarrow Table or a polars "
           r"DataFrame, got list") for which in ("transactions", "targets")],
        (_hostile("pandas-duplicate"), {}, ValueError, r"transactions: column 'quantity' appears 2 times"),
        (_hostile("arrow-duplicate"), {}, ValueError, r"transactions: column 'quantity' appears 2 times"),
        *[(_hostile(case), {}, ValueError, r"transactions: column 'entity' has 1 missing entity ids \(first at row 1\)")
          for case in ("null-dictionary-entry", "arrow-nan-id")],
        *[(_hostile(case), {}, TypeError, r"targets: column 'entity' holds object entity ids but the transactions")
          for case in ("object-ids-beyond-int64", "object-ids-of-mixed-types")],
        (_bad("trx", quantity=[1.0, np.nan, 2.0, 1.0, 1.0]), {"missing_quantities": "raise"}, ValueError,
         r"transactions: column 'quantity' has 1 missing quantities \(first at row 1\); drop them"),
        (_bad("trx", timestamp=[1, 2, 2 ** 53, 4, 5]), {"timestamp_unit": "s"}, ValueError,
         r"transactions: column 'timestamp' has a timestamp beyond \+-2\*\*62 milliseconds \(first at row 2\)"),
    ],
)
def test_bad_input_is_refused_before_computing(mutate, kwargs, error, message, engine_must_not_run):
    trx, tgt = mutate(history(), targets())
    with pytest.raises(error, match=message):
        build(trx, tgt, **kwargs)


# Bad values of every parameter, each with the message it must give after
# the parameter's name; extra keywords make a combination bad.
_BAD_PARAMETERS = [
    ("horizons", [], {}, "at least one horizon is required"),
    ("horizons", [7, 0], {}, "every horizon must be a positive count"),
    ("horizons", [7.5], {}, "horizons must be integers"),
    ("horizons", "7,x", {}, "'x' is not an integer"),
    ("horizons", 1.5, {}, "expected a positive integer or a list of them, got 1.5"),
    ("horizons", Decimal(7), {}, "expected a positive integer or a list of them"),
    ("horizons", np.float64(7), {}, "expected a positive integer or a list of them"),
    ("horizons", [2 ** 31], {}, "every horizon must be a positive count"),
    ("resolution", "week", {}, "unknown resolution 'week'; expected one of year, month"),
    ("resolution", 6, {}, "unknown resolution code 6"),
    ("resolution", 1.0, {}, "expected a name such as 'day' or a code 0 to 5"),
    ("offset", -1, {}, r"expected an integer in 0\.\.2147483647, got -1"),
    ("offset", 1.0, {}, r"expected an integer in 0\.\.2147483647, got 1\.0"),
    ("offset", 2 ** 31 - 10, {}, "offset 2147483638 with horizons up to 30"),
    # feature-group mode in each of its spellings includes the window end
    *[("offset", 0, {**spelling, "operators": ["sum"]}, "feature-group mode .* offset 0 would count transactions at "
       "the target date itself") for spelling in ({"group": 1}, {"group": "all"}, {"for_afe_columns": True})],
    ("operators", ["sum", "median"], {}, "unknown operator 'median'"),
    ("operators", [11], {}, "unknown operator code 11"),
    ("operators", [], {}, "at least one operator is required"),
    ("operators", np.float64(4), {}, "expected an operator name or code or a list of them"),
    ("operators", [1.5], {}, "an operator must be an AfeOperator, a name or a code"),
    ("per_dimension_operators", ["ratio"], {}, "ratio cannot be written once per dimension value"),
    ("per_dimension_operators", ["mode"], {"operators": ["sum"]}, "mode is not among the requested operators"),
    ("per_dimension_operators", 2.5, {}, "expected an operator name or code or a list of them"),
    ("dimension_values", {1: 40000}, {}, r"dimension value 40000 is outside -32768\.\.32767"),
    ("dimension_values", {200: 1}, {}, r"dimension code 200 is outside -128\.\.127"),
    ("dimension_values", 5, {}, "expected a dict of code -> value or a sequence of codes"),
    ("dimension_values", ["x"], {}, "a dimension code must be an integer"),
    ("timestamp_unit", "sec", {}, "expected one of 's', 'ms', 'us', 'ns'"),
    ("missing_quantities", "skip", {}, "expected one of 'drop', 'raise'"),
    ("group", 1.5, {}, r"expected None or an integer in -32768\.\.32767 or one of 'all'"),
    ("group", 2, {"dim_group_id": 1, "offset": 1}, "give either group or the kernel's"),
    *[("group", value, {"operators": operators, "offset": 1}, rf"\(dim_group_id\): {value} is not one of the "
       "dimension values") for value in (9, -1) for operators in (["sum"], ["sum", "mode"], ["count_distinct"])],
    ("for_afe_columns", 1, {}, "expected True or False"),
    ("dim_group_id", 2 ** 31, {}, "expected an integer in"),
    ("is_no_dim_col", "yes", {}, "expected True or False"),
    ("nearest_exponent", 0, {}, "expected None or an integer in 1"),
    ("nearest_exponent", 12, {}, "12 is too small"),
    ("nearest_exponent", 100_000, {"horizons": [7, 90]}, "with 100000 the column keys .* do not fit in 32 bits"),
    ("batch_size", 0, {}, r"expected None or an integer in 1\.\.2147483647, got 0"),
    ("n_splits", 1.5, {}, "expected None or an integer in 1"),
    ("n_jobs", 0, {}, "expected None or an integer >= 1, got 0"),
    ("entity_col", "", {}, "expected a column name, got ''"),
    ("timestamp_col", 3, {}, "expected a column name"),
    ("quantity_col", None, {}, "expected a column name"),
    ("dimension_col", "", {}, "expected None or a column name"),
    ("target_entity_col", b"entity", {}, "expected None or a column name"),
    ("target_date_col", "entity", {}, "entity column and the target date column are both 'entity'"),
]


@pytest.mark.parametrize("dimension_values, horizons, resolution", [
    ({1: 30000, 2: -30000}, [1000], "day"), ({1: 32767}, [365], "day"), ({1: 100, 2: 2}, [24, 168, 8760], "hour")])
def test_column_keys_beyond_32_bits_bind_only_execute(dimension_values, horizons, resolution):
    # the engine takes no column keys: values and horizons whose execute
    # keys would leave 32 bits give the frame of any other values, and only
    # execute's key base, when asked for, is refused
    frame = build(dimension_values=dimension_values, horizons=horizons, resolution=resolution)
    rank = sorted(dimension_values.values()).index
    small = build(dimension_values={code: rank(value) for code, value in dimension_values.items()},
                  horizons=horizons, resolution=resolution)
    np.testing.assert_array_equal(frame.iloc[:, 2:].to_numpy(), small.iloc[:, 2:].to_numpy())
    assert np.isfinite(frame.iloc[:, 2:].to_numpy()).any()
    layout = compute_layout(dimension_values, horizons, resolution)
    with pytest.raises(ValueError, match="column keys do not fit in 32 bits"):
        layout.nearest_exponent


def compute_layout(dimension_values, horizons, resolution):
    params = FeatureParams(dimension_values=dimension_values, horizons=horizons, resolution=resolution)
    return layout_for(params, [])


def test_the_bad_parameter_table_covers_every_parameter():
    assert {name for name, *_ in _BAD_PARAMETERS} == {f.name for f in dataclasses.fields(FeatureParams)}


@pytest.mark.parametrize("name, value, extra, message", _BAD_PARAMETERS)
def test_every_bad_parameter_raises_invalid_parameter_error_naming_it(name, value, extra, message,
                                                                      engine_must_not_run):
    with pytest.raises(InvalidParameterError, match=rf"^{name}\b.*{message}"):
        build(**{name: value, **extra})


# --- invariance on random histories ---------------------------------------------

_row = st.tuples(
    st.integers(0, 3),  # entity
    st.integers(-40, 0),  # day relative to the base date
    st.sampled_from([0.5, 1.0, 2.0, 3.25, -1.0, 0.0]),  # quantity
    st.integers(-2, 2),  # dimension code
)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    rows=st.lists(_row, max_size=25),
    tgt_rows=st.lists(st.tuples(st.integers(0, 4), st.integers(-30, 5)), min_size=1, max_size=8),
    n_jobs=st.integers(1, 3),
    seed=st.integers(0, 1000),
)
def test_thread_count_and_row_order_do_not_change_values(rows, tgt_rows, n_jobs, seed):
    trx = pd.DataFrame(rows, columns=["entity", "timestamp", "quantity", "dimension"])
    trx = trx.astype({"entity": np.int64, "timestamp": np.int64, "quantity": np.float64, "dimension": np.int8})
    trx["timestamp"] = T + trx["timestamp"] * DAY // 3
    tgt = pd.DataFrame(tgt_rows, columns=["entity", "target_date"]).astype(np.int64)
    tgt["target_date"] = T + tgt["target_date"] * DAY
    kwargs = dict(horizons=[3, 10], dimension_values=[-2, -1, 0, 1, 2])
    reference = build_feature_frame(trx, tgt, **kwargs)
    shuffled = trx.sample(frac=1.0, random_state=seed)
    pd.testing.assert_frame_equal(
        build_feature_frame(shuffled, tgt, n_jobs=n_jobs, **kwargs), reference
    )
    # each target alone gives its row of the whole
    for i in range(len(tgt)):
        alone = build_feature_frame(trx, tgt.iloc[i : i + 1], **kwargs)
        pd.testing.assert_frame_equal(alone, reference.iloc[i : i + 1])


# --- imports ---------------------------------------------------------------------


def _run(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)


def test_kernel_and_package_import_without_pandas_and_a_build_without_it_names_the_extra():
    result = _run(
        "import sys\n"
        "import quelmar.afe.domain.modelling.helper.data_frame_builder_helper\n"
        "from quelmar.afe.domain.modelling.feature_frame import build_feature_frame\n"
        "assert 'pandas' not in sys.modules, 'pandas imported'\n"
        "assert 'dask' not in sys.modules, 'dask imported'\n"
        "assert 'pyspark' not in sys.modules, 'pyspark imported'\n"
        "sys.modules['pandas'] = None\n"
        "build_feature_frame(None, None, horizons=[7])\n"
    )
    assert "AssertionError" not in result.stderr, result.stderr
    assert result.returncode != 0
    assert "ImportError" in result.stderr and 'pip install ".[frame]"' in result.stderr


# --- typing -----------------------------------------------------------------------


def _stub_tree(path):
    import ast

    tree = ast.parse(path.read_text())
    tree.text = path.read_text()
    return tree


def _stub_function(tree, name):
    import ast

    return next(node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name == name)


def _stub_class_fields(tree, name):
    import ast

    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == name)
    return [node.target.id for node in cls.body if isinstance(node, ast.AnnAssign)]


def test_stubs_ship_beside_the_modules_and_match_their_signatures():
    import ast
    from pathlib import Path

    import quelmar
    from conftest import ARGUMENT_NAMES
    from quelmar.afe.domain.modelling import feature_frame

    assert (Path(quelmar.__file__).parent / "py.typed").is_file()
    kernel = _stub_function(_stub_tree(Path(dfbh.__file__).parent / "data_frame_builder_helper.pyi"), "execute")
    assert tuple(a.arg for a in kernel.args.args) == ARGUMENT_NAMES
    assert [ast.literal_eval(d) for d in kernel.args.defaults] == [-1, False, False]
    # the parameter list is written once, as FeatureParams' fields: the
    # stubs' keyword arguments and fields are checked against them here
    tree = _stub_tree(Path(feature_frame.__file__).with_suffix(".pyi"))
    fields = [f.name for f in dataclasses.fields(FeatureParams)]
    assert _stub_class_fields(tree, "FeatureOptions") == fields == _stub_class_fields(tree, "FeatureParams")
    for name in ("build_feature_frame", "build_feature_frame_dask", "build_feature_frame_spark", "feature_columns",
                 "write_feature_frame"):
        options = _stub_function(tree, name).args.kwarg
        assert ast.get_source_segment(tree.text, options.annotation) == "Unpack[FeatureOptions]", name
    assert feature_frame.__version__ and feature_frame.__version__ != "0+unknown"
