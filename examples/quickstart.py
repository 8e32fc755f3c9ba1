"""Builds a small synthetic transaction history, runs `execute` once and
prints the feature table: one row per entity, one column per
(dimension value, operator, horizon).

Six entities with up to 40 transactions each over the last 120 days, dimension
codes 0..5 grouped into three dimension values, daily resolution, windows of
7, 30 and 90 days ending one day before each entity's target date, and the
Sum, Frequency, Max, TimeSinceLast and Ratio features. Everything is seeded,
so the table is the same on every run.
"""

import numpy as np

from quelmar.afe.domain.enums.afe_operator import AfeOperator
from quelmar.afe.domain.modelling.helper.data_frame_builder_helper import execute

DAY_MS = 24 * 3600 * 1000
NEAREST_EXPONENT = 1000  # base of the column-key packing: above every code and horizon
HORIZONS = [7, 30, 90]
OFFSET = 1  # windows end one day before the target date
OPERATORS = [AfeOperator.Sum, AfeOperator.Frequency, AfeOperator.Max, AfeOperator.TimeSinceLast]
INDEX_MAP = {0: 1, 1: 1, 2: 2, 3: 2, 4: 3, 5: 3}  # dimension code -> dimension value
N_ENTITIES = 6


def column_key(dimension_value, operator_code, horizon, e=NEAREST_EXPONENT):
    return dimension_value * e * e + operator_code * e + horizon


def synthetic_history(rng):
    """Transaction arrays (one row per transaction) and each entity's rows, newest first."""
    target = 1_700_000_000_000  # any epoch works: only differences are used
    dates, quantities, codes, owners = [], [], [], []
    for entity in range(N_ENTITIES):
        n = int(rng.integers(0, 40)) if entity else 0  # entity 0 has no history at all
        ages = np.sort(rng.uniform(0.0, 120.0, n)) * DAY_MS
        dates.extend(target - ages.astype(np.int64))
        quantities.extend(rng.gamma(2.0, 20.0, n).round(2))
        codes.extend(rng.integers(0, 6, n))
        owners.extend([entity] * n)
    dates = np.array(dates, dtype=np.int64)
    owners = np.array(owners)
    entity_index_map = {}
    for entity in range(N_ENTITIES):
        rows = np.flatnonzero(owners == entity)
        if len(rows):
            entity_index_map[entity] = rows[np.argsort(-dates[rows], kind="stable")].astype(np.int32)
    return (
        dates.reshape(-1, 1),
        np.array(quantities, dtype=np.float32).reshape(-1, 1),
        np.array(codes, dtype=np.int8).reshape(-1, 1),
        entity_index_map,
        np.full(N_ENTITIES, target, dtype=np.int64),
    )


def main():
    rng = np.random.default_rng(7)
    trx_dates, trx_q_arrays, trx_d_arrays, entity_index_map, target_dates = synthetic_history(rng)

    # Two splits; the entity at position k of split i fills result row i + 2k.
    splits = np.array([[0, 2, 4, -1], [1, 3, 5, -1]], dtype=np.int32)

    dimension_values = sorted(set(INDEX_MAP.values()))
    labels, column_name_map = [], {}
    for op in OPERATORS + [AfeOperator.Ratio]:
        for d in dimension_values:
            for h in HORIZONS:
                column_name_map[column_key(d, op.value, h)] = len(labels)
                labels.append("{}:{}:{}d".format(d, op.name, h))
    result_frame = np.full((N_ENTITIES, len(labels)), np.nan, dtype=np.float32)
    codes = [op.value for op in OPERATORS]

    execute(
        result_frame,
        1,  # c_num_threads (ignored)
        0,  # date_col_index: column of trx_dates holding the timestamp
        0,  # d_index: column of trx_d_arrays holding the dimension code
        0,  # q_index: column of trx_q_arrays holding the quantity
        splits,
        HORIZONS,
        OFFSET,
        2,  # resolution: 2 = day
        INDEX_MAP,
        trx_dates,
        trx_q_arrays,
        trx_d_arrays,
        entity_index_map,
        target_dates,
        codes + [AfeOperator.Ratio.value],  # included_operators
        codes,  # included_operator_set_one: written for every horizon
        [],  # included_operator_set_two: written once per dimension value
        column_name_map,
        NEAREST_EXPONENT,
    )

    print("{} transactions, {} entities; rows are entities, columns dimension:operator:horizon".format(
        len(trx_dates), N_ENTITIES))
    print("(nan: no transaction in that window; entity 0 has no history, so its row stays as it was)\n")
    rows = [splits[i % 2, i // 2] for i in range(N_ENTITIES)]  # result row -> entity
    per_block = 9
    for start in range(0, len(labels), per_block):
        block = range(start, min(start + per_block, len(labels)))
        width = max(len(labels[c]) for c in block) + 1
        print("entity " + "".join(labels[c].rjust(width) for c in block))
        for row, entity in enumerate(rows):
            print("{:>6} ".format(entity) + "".join("{:>{}.2f}".format(result_frame[row, c], width) for c in block))
        print()


if __name__ == "__main__":
    main()
