"""Builds a tiny synthetic transaction history, runs `execute` once and
prints the filled result frame.

Two entities, three transactions in two dimension values, daily resolution,
windows of 7 and 30 days, and the Sum and Frequency aggregates for every
(dimension value, horizon) pair.
"""

import numpy as np

from quelmar.afe.domain.enums.afe_operator import AfeOperator
from quelmar.afe.domain.modelling.helper.data_frame_builder_helper import execute

DAY_MS = 24 * 3600 * 1000
NEAREST_EXPONENT = 100  # base of the column-key packing
HORIZONS = [7, 30]
OPERATORS = [AfeOperator.Sum, AfeOperator.Frequency]
DIMENSION_VALUES = [1, 2]

target = 1_700_000_000_000  # any epoch works: only differences are used

# Transaction rows: timestamp (ms), quantity, dimension code.
trx_dates = np.array([[target - 2 * DAY_MS], [target - 20 * DAY_MS], [target - 3 * DAY_MS]], dtype=np.int64)
trx_q_arrays = np.array([[5.0], [1.5], [4.0]], dtype=np.float32)
trx_d_arrays = np.array([[1], [2], [1]], dtype=np.int8)

# Entity -> its transaction rows, newest first; and the target date of each entity.
entity_index_map = {0: np.array([0, 1], dtype=np.int32), 1: np.array([2], dtype=np.int32)}
target_dates = np.array([target, target], dtype=np.int64)

# One split holding both entities: entity at position k fills result row k.
splits = np.array([[0, 1, -1]], dtype=np.int32)

# One column per (dimension value, operator, horizon); key = d*E*E + op*E + h.
labels = []
column_name_map = {}
for d in DIMENSION_VALUES:
    for op in OPERATORS:
        for h in HORIZONS:
            column_name_map[d * NEAREST_EXPONENT**2 + op.value * NEAREST_EXPONENT + h] = len(labels)
            labels.append("{}_{}_{}d".format(op.name, d, h))

result_frame = np.full((2, len(labels)), np.nan, dtype=np.float32)
codes = [op.value for op in OPERATORS]

execute(
    result_frame,
    1,  # c_num_threads (ignored)
    0,  # date_col_index: column of trx_dates holding the timestamp
    0,  # d_index: column of trx_d_arrays holding the dimension code
    0,  # q_index: column of trx_q_arrays holding the quantity
    splits,
    HORIZONS,
    0,  # offset, in resolution units
    2,  # resolution: 2 = day
    {1: 1, 2: 2},  # index_map: dimension code -> dimension value
    trx_dates,
    trx_q_arrays,
    trx_d_arrays,
    entity_index_map,
    target_dates,
    codes,  # included_operators
    codes,  # included_operator_set_one: written for every horizon
    [],  # included_operator_set_two: written once per dimension value
    column_name_map,
    NEAREST_EXPONENT,
)

width = max(len(label) for label in labels)
print("column".ljust(width), "entity 0".rjust(10), "entity 1".rjust(10))
for column, label in enumerate(labels):
    print(label.ljust(width), *("{:10.2f}".format(result_frame[row, column]) for row in range(2)))
