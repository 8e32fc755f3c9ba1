"""Short runs of the random-argument fuzzers (`execute`, the engine) in the
normal suite, and a property test of the index checks on an otherwise valid
call."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import fuzz_engine
import fuzz_execute
from _feature_helpers import assert_bits_equal, capture_unraisable
from _safety_support import INT32_MAX, INT32_MIN, SENTINEL, baseline, run, valid_call


@pytest.mark.parametrize("seed", [11, 12])
def test_random_arguments_never_crash_or_change_the_inputs(seed):
    outcomes = fuzz_execute.fuzz(1500, seed)
    # The run must reach the computation, not only the argument checks.
    assert outcomes["returned"] > 300
    assert outcomes["wrote result_frame"] > 100
    assert outcomes["reports"] > 0


@pytest.mark.parametrize("seed", [21, 22])
def test_random_engine_arguments_never_crash_or_change_the_inputs(seed):
    outcomes = fuzz_engine.fuzz(2400, seed)
    # Every entry must get through its checks often, and be checked then.
    for kind in ("census", "factorize", "prepare", "compute", "gather", "row", "rows", "plan"):
        assert outcomes[kind + " checked"] > 100, kind


def test_random_schedules_are_refused_cleanly_or_give_their_table():
    pytest.importorskip("pandas")
    outcomes = fuzz_engine.fuzz_grid(150, 31)
    assert outcomes["grid refused"] > 20 and outcomes["grid checked"] > 20


int32 = st.one_of(st.integers(-3, 5), st.sampled_from([INT32_MIN, INT32_MAX, -1]))


@settings(max_examples=150, deadline=None)
@given(
    split=st.lists(int32, min_size=3, max_size=3),
    rows=st.lists(st.one_of(st.integers(-2, 10), st.sampled_from([INT32_MIN, INT32_MAX])), max_size=5),
    column=st.one_of(st.integers(-2, 30), st.sampled_from([INT32_MIN, INT32_MAX])),
    q_index=st.one_of(st.just(2), st.sampled_from([-1, 3, INT32_MIN, INT32_MAX])),
)
def test_any_indices_raise_or_leave_other_rows_exact(split, rows, column, q_index):
    # Entity 0's split row, its transaction rows and one column index are
    # arbitrary, the quantity column valid or out of range; entity 1 in the second split stays valid.
    expected = baseline()
    call = valid_call()
    call["splits"][0] = split
    call["entity_index_map"][0] = np.array(rows, dtype=np.int32)
    first_key = next(iter(call["column_name_map"]))
    call["column_name_map"][first_key] = column
    call["q_index"] = q_index
    before = call["result_frame"].copy()
    with capture_unraisable() as reports:
        try:
            run(call)
        except (IndexError, ValueError):
            assert_bits_equal(call["result_frame"], before)
            assert reports == []
            return
    assert all(routine == "get_aggregates_and_fill_row" for _, _, routine in reports)
    # The valid entity of split 1 (result row 1) keeps its exact values,
    # except in the column whose index was moved.
    kept = [j for j in range(expected.shape[1]) if j not in (0, column)]
    if call["column_name_map"][first_key] == 0:
        kept = list(range(1, expected.shape[1]))
    assert_bits_equal(call["result_frame"][1, kept], expected[1, kept])
    assert (call["result_frame"][3] == SENTINEL).all()


@pytest.mark.parametrize("cases, seed", [
    (120, 31),
    pytest.param(2500, 32, marks=pytest.mark.slow),
])
def test_hostile_tables_give_the_plain_layouts_bits_or_a_named_refusal(cases, seed):
    pytest.importorskip("polars")
    import fuzz_frame

    outcomes = fuzz_frame.fuzz(cases, seed)
    # most cases must reach the engine in every layout, and the damage be refused
    assert outcomes["layout returned"] > cases
    assert outcomes["damaged parameter refused"] + outcomes["damaged drop refused"] > cases // 10


@pytest.mark.parametrize("cases, seed", [
    (80, 33),
    pytest.param(300, 34, marks=pytest.mark.slow),
])
def test_a_store_fed_random_batches_answers_as_build_feature_frame_and_refuses_alike(cases, seed):
    pytest.importorskip("polars")
    pytest.importorskip("lmdb")
    import fuzz_frame

    outcomes = fuzz_frame.fuzz(cases, seed, checks=("stores",))
    # the stores must answer, and refuse dates before their history and damaged batches, often
    assert outcomes["store answered"] > cases
    assert outcomes["store refused a date before its history"] > cases // 4
    assert outcomes["store append refused"] > cases // 5
    assert outcomes["store append warned"] > cases // 20
