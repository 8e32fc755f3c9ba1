"""A small valid `execute` call to start the safety tests and the fuzzer from.

`valid_call()` returns the 23 arguments of a call that exercises every path
the index checks guard: three entities in two interleaved splits, a date
column that is not column 0, transactions in both horizons, set-one, set-two
and ratio columns. Each call of it builds fresh arrays, so a test can change
one argument and compare against an untouched baseline.
"""

from __future__ import annotations

import numpy as np

from _feature_helpers import DAY, SENTINEL, T0, code, load_module

E = 1000
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def column_key(dim_value, operator_code, horizon, exponent=E):
    """The column key in 32-bit two's-complement arithmetic, sign-extended."""
    key = (dim_value * exponent * exponent + operator_code * exponent + horizon) & 0xFFFFFFFF
    return key - (1 << 32) if key >= 1 << 31 else key


# Entity -> transactions (days before its target date, quantity, dimension
# code), newest first. Entity 1 has one transaction beyond the window, which
# ends its scan.
TRANSACTIONS = {
    0: [(1, 2.0, 1), (3, 5.0, 2), (10, 1.5, 1)],
    1: [(2, 4.0, 2), (20, 3.0, 3), (45, 9.0, 1)],
    2: [(0, 1.0, 1), (6, 2.5, 3), (29, 0.5, 2)],
}
TARGETS = [T0, T0 + DAY, T0 + 2 * DAY]
HORIZONS = [7, 30]
DIM_VALUES = (1, 2, 3)
SET_ONE = ("Sum", "Max", "Frequency")
SET_TWO = ("TimeSinceLast",)


def _columns():
    keys = []
    for dim in DIM_VALUES:
        for horizon in HORIZONS:
            keys.extend(column_key(dim, code(op), horizon) for op in SET_ONE)
            keys.append(column_key(dim, code("Ratio"), horizon))
        keys.extend(column_key(dim, code(op), HORIZONS[-1]) for op in SET_TWO)
    return {key: column for column, key in enumerate(keys)}


def valid_call():
    """The 23 arguments of a valid call, as a dict of fresh objects."""
    rows_by_entity = {}
    dates, quantities, codes = [], [], []
    for entity, transactions in TRANSACTIONS.items():
        rows = []
        for days, quantity, dimension_code in transactions:
            rows.append(len(dates))
            dates.append(TARGETS[entity] - days * DAY)
            quantities.append(quantity)
            codes.append(dimension_code)
        rows_by_entity[entity] = np.array(rows, dtype=np.int32)
    n = len(dates)
    trx_dates = np.zeros((n, 2), dtype=np.int64)
    trx_dates[:, 0] = -1
    trx_dates[:, 1] = dates
    trx_q_arrays = np.zeros((n, 3), dtype=np.float32)
    trx_q_arrays[:, 2] = quantities
    trx_d_arrays = np.zeros((n, 2), dtype=np.int8)
    trx_d_arrays[:, 0] = codes
    column_name_map = _columns()
    operators = [code(op) for op in SET_ONE + SET_TWO] + [code("Ratio")]
    return {
        "result_frame": np.full((4, len(column_name_map) + 1), SENTINEL, dtype=np.float32),
        "c_num_threads": 1,
        "date_col_index": 1,
        "d_index": 0,
        "q_index": 2,
        # splits_size 2: entity 0 -> row 0, entity 2 -> row 2, entity 1 -> row 1.
        "splits": np.array([[0, 2, -1], [1, -1, 0]], dtype=np.int32),
        "horizons": list(HORIZONS),
        "offset": 0,
        "resolution": 2,
        "index_map": {1: 1, 2: 2, 3: 3},
        "trx_dates": trx_dates,
        "trx_q_arrays": trx_q_arrays,
        "trx_d_arrays": trx_d_arrays,
        "entity_index_map": rows_by_entity,
        "target_dates": np.array(TARGETS, dtype=np.int64),
        "included_operators": operators,
        "included_operator_set_one": [code(op) for op in SET_ONE],
        "included_operator_set_two": [code(op) for op in SET_TWO],
        "column_name_map": column_name_map,
        "nearest_exponent": E,
        "dim_group_id": -1,
        "for_afe_columns": False,
        "is_no_dim_col": False,
    }


def run(call):
    """Runs `execute` on `call` (keyword arguments) and returns its result."""
    return load_module().execute(**call)


def baseline():
    """The result frame of the unchanged valid call."""
    call = valid_call()
    run(call)
    return call["result_frame"]

