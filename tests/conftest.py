"""Shared fixtures: the module, a valid minimal call, and a capture of the
unraisable-exception hook."""

import collections
import importlib
import sys

import numpy as np
import pytest

MODULE_NAME = "quelmar.afe.domain.modelling.helper.data_frame_builder_helper"

ARGUMENT_NAMES = (
    "result_frame",
    "c_num_threads",
    "date_col_index",
    "d_index",
    "q_index",
    "splits",
    "horizons",
    "offset",
    "resolution",
    "index_map",
    "trx_dates",
    "trx_q_arrays",
    "trx_d_arrays",
    "entity_index_map",
    "target_dates",
    "included_operators",
    "included_operator_set_one",
    "included_operator_set_two",
    "column_name_map",
    "nearest_exponent",
    "dim_group_id",
    "for_afe_columns",
    "is_no_dim_col",
)
REQUIRED_COUNT = 20

# A value no computation produces: a cell still holding it was never written.
SENTINEL = np.float32(-12345.5)


def valid_arguments(**overrides):
    """The 23 arguments of a small valid call, in order, as a fresh dict.

    The only split holds no entity (its row starts with -1), so a call with
    these arguments writes nothing into ``result_frame``, which is filled
    with SENTINEL.
    """
    from quelmar.afe.domain.enums.afe_operator import AfeOperator

    arguments = collections.OrderedDict(
        [
            ("result_frame", np.full((2, 3), SENTINEL, dtype=np.float32)),
            ("c_num_threads", 1),
            ("date_col_index", 0),
            ("d_index", 0),
            ("q_index", 0),
            ("splits", np.full((1, 2), -1, dtype=np.int32)),
            ("horizons", [7, 30]),
            ("offset", 0),
            ("resolution", 2),
            ("index_map", {1: 1, 2: 2}),
            ("trx_dates", np.zeros((1, 1), dtype=np.int64)),
            ("trx_q_arrays", np.zeros((1, 1), dtype=np.float32)),
            ("trx_d_arrays", np.ones((1, 1), dtype=np.int8)),
            ("entity_index_map", {0: np.zeros(1, dtype=np.int32)}),
            ("target_dates", np.zeros(1, dtype=np.int64)),
            ("included_operators", [AfeOperator.Sum.value]),
            ("included_operator_set_one", [AfeOperator.Sum.value]),
            ("included_operator_set_two", []),
            ("column_name_map", {1 * 100 * 100 + AfeOperator.Sum.value * 100 + 7: 0}),
            ("nearest_exponent", 100),
            ("dim_group_id", -1),
            ("for_afe_columns", False),
            ("is_no_dim_col", False),
        ]
    )
    unknown = set(overrides) - set(arguments)
    assert not unknown, unknown
    arguments.update(overrides)
    return arguments


@pytest.fixture(scope="session")
def dfbh():
    return importlib.import_module(MODULE_NAME)


@pytest.fixture
def execute(dfbh):
    return dfbh.execute


@pytest.fixture
def make_arguments():
    return valid_arguments


class UnraisableCalls(list):
    """Calls of sys.unraisablehook as (exception type, str(exception), object)."""

    def hook(self, report):
        self.append((report.exc_type, str(report.exc_value), report.object))


@pytest.fixture
def unraisable():
    """The unraisable reports of the test's call phase (see below)."""
    return UnraisableCalls()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    # The capturing hook is installed here, inside pytest's own handling of
    # the call phase: older pytest versions install their hook per phase, over
    # any hook that a fixture set during setup.
    calls = getattr(item, "funcargs", {}).get("unraisable")
    if not isinstance(calls, UnraisableCalls):
        yield
        return
    previous = sys.unraisablehook
    sys.unraisablehook = calls.hook
    try:
        yield
    finally:
        sys.unraisablehook = previous
