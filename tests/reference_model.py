"""A plain Python model of what `execute` computes, routine by routine.

This file is the readable account of the feature computation and the oracle
the tests compare the native module against. It follows the native routines
step by step with the same names, the same ordered maps with find-or-insert
lookups, the same float32/double rounding points and the same 32-bit
wrapping, and it is deliberately slow and literal: no shortcuts, no tables.

Differences from the native module that are intended:

- Errors that the native routines report through ``sys.unraisablehook`` are
  appended to a list of ``(exception type name, message, routine name)``
  instead, and the routine carries on with its neutral result.
- The per-split aggregate array is made with this process's NumPy directly;
  the failure modes of creating it (``np`` missing from the module) are not
  modelled.
- Inputs are assumed valid (indices in range, non-empty horizons, no ``None``
  arrays); a few assertions guard that.

Decisions taken where the native behaviour leaves a choice:

- A column key that ``column_name_map`` does not hold writes no cell.
- A transaction whose mapped value has no position among the split's
  dimension values (a dimension code missing from ``index_map`` maps to 0,
  and 0 may not be a dimension value of the split, or there are no dimension
  values at all) is accepted for everything entity-wide: it moves
  ``last_horizon`` (and so triggers the carry-forward at a horizon change)
  and it is counted and recorded for ``CountDistinct``/``Mode``. It is not
  accumulated into any cell and enters neither ``span_bounds`` nor
  ``horizons_seen``.
"""

from __future__ import annotations

import math

import numpy as np

CONTEXT_PREFIX = "quelmar.afe.domain.modelling.helper.data_frame_builder_helper."

DENSITY_SLOT = 0
MIN_SLOT = 1
MAX_SLOT = 2
SUM_SLOT = 3
FREQUENCY_SLOT = 4
COUNT_DISTINCT_SLOT = 5
MODE_SLOT = 6
TIME_SINCE_FIRST_SLOT = 7
TIME_SINCE_LAST_SLOT = 8
SLOT_COUNT = 9

FLOAT32_NAN = np.float32(np.nan)

# Length of one resolution unit in milliseconds, by resolution code.
UNIT_MS = {
    0: 31536000000,  # year, 365 days
    1: 2592000000,  # month, 30 days
    2: 86400000,  # day
    3: 3600000,  # hour
    4: 60000,  # minute
    5: 1000,  # second
}


# ---------------------------------------------------------------------------
# Fixed-width integer helpers
# ---------------------------------------------------------------------------


def wrap32(value: int) -> int:
    """Two's-complement wrap of an integer to signed 32 bits."""
    value &= 0xFFFFFFFF
    return value - 0x100000000 if value & 0x80000000 else value


def wrap64(value: int) -> int:
    """Two's-complement wrap of an integer to signed 64 bits."""
    value &= 0xFFFFFFFFFFFFFFFF
    return value - 0x10000000000000000 if value & 0x8000000000000000 else value


def narrow16(value: int) -> int:
    """Narrowing of an integer to signed 16 bits (two's complement)."""
    value &= 0xFFFF
    return value - 0x10000 if value & 0x8000 else value


def f32(value) -> np.float32:
    return np.float32(value)


# ---------------------------------------------------------------------------
# Ordered map with find-or-insert lookups
# ---------------------------------------------------------------------------


class OrderedMap:
    """An associative container iterated in ascending key order.

    ``m[key]`` is a find-or-insert lookup: a missing key is inserted with the
    zero of the value type (made by ``zero``) and that zero is returned.
    ``key in m`` is the membership test that adds nothing.
    """

    def __init__(self, zero):
        self._zero = zero
        self._data = {}

    def __getitem__(self, key):
        if key not in self._data:
            self._data[key] = self._zero()
        return self._data[key]

    def __setitem__(self, key, value):
        self._data[key] = value

    def __contains__(self, key):
        return key in self._data

    def __len__(self):
        return len(self._data)

    def insert_if_absent(self, key, value):
        """Insert unless the key is present: the first entry of a key wins."""
        if key not in self._data:
            self._data[key] = value

    def keys(self):
        return sorted(self._data)

    def items(self):
        return [(k, self._data[k]) for k in sorted(self._data)]

    def largest_key(self):
        return max(self._data)

    def copy(self):
        other = OrderedMap(self._zero)
        other._data = dict(self._data)
        return other


def int_zero():
    return 0


def float_zero():
    return f32(0.0)


def double_zero():
    return 0.0


def map_zero_of(zero):
    return lambda: OrderedMap(zero)


# ---------------------------------------------------------------------------
# Constants read from the product classes
# ---------------------------------------------------------------------------


class Constants:
    """The module constants: operator codes and the unknown-dimension value."""

    def __init__(self, afe_operator=None, unknown_dimension_value=None):
        if afe_operator is None:
            from quelmar.afe.domain.enums.afe_operator import AfeOperator

            afe_operator = AfeOperator
        if unknown_dimension_value is None:
            from quelmar.afe.dataaccess.services.transaction_file_record_reader import (
                TransactionFileRecordReader,
            )

            unknown_dimension_value = TransactionFileRecordReader.UNKNOWN_DIMENSION_VALUE
        members = [
            "Density",
            "Min",
            "Max",
            "Sum",
            "Frequency",
            "CountDistinct",
            "Mode",
            "TimeSinceFirst",
            "TimeSinceLast",
        ]
        # A Python dict first (a repeated code keeps the later slot), then the
        # ordered map (first entry of a key wins, which after the dict is the
        # only entry).
        by_code = {}
        for slot, name in enumerate(members):
            by_code[int(getattr(afe_operator, name).value)] = slot
        self.OPERATOR_SLOT_MAP = OrderedMap(int_zero)
        for code, slot in by_code.items():
            self.OPERATOR_SLOT_MAP.insert_if_absent(code, slot)
        self.RATIO_CODE = int(afe_operator.Ratio.value)
        self.COUNT_DISTINCT_CODE = int(afe_operator.CountDistinct.value)
        self.MODE_CODE = int(afe_operator.Mode.value)
        self.UNKNOWN_DIMENSION_VALUE = int(unknown_dimension_value)


class Context:
    """What every routine of one call can reach: constants and the report list."""

    def __init__(self, constants, reports):
        self.constants = constants
        self.reports = reports

    def report(self, exc_type_name, message, routine):
        self.reports.append((exc_type_name, message, routine))


# ---------------------------------------------------------------------------
# Time windows
# ---------------------------------------------------------------------------


def get_resolution_in_seconds(ctx, resolution):
    """Length of one resolution unit in milliseconds, 0 on an unknown code."""
    if resolution in UNIT_MS:
        return UNIT_MS[resolution]
    ctx.report(
        "NotImplementedError",
        "Resolution not recognized: {}".format(resolution),
        "get_resolution_in_seconds",
    )
    return 0


def get_span(ctx, resolution, target_date, date):
    """Age of `date` at `target_date` in resolution units, as float32."""
    difference = wrap64(target_date - date)
    if resolution not in UNIT_MS:
        ctx.report(
            "NotImplementedError",
            "Resolution not recognized: {}".format(resolution),
            "get_span",
        )
        return f32(0.0)
    unit_ms = UNIT_MS[resolution]
    # double division, then rounded to float32
    return f32(float(difference) / float(unit_ms))


def partition(ctx, partitions, target_date, offset, resolution, horizon_list, max_horizon):
    """Appends the window bounds to `partitions`; returns (upper_limit, lower_limit)."""
    assert len(horizon_list) > 0
    # The unit table is carried by partition itself; an unknown code is
    # reported under the name of get_resolution_in_seconds.
    unit_ms = get_resolution_in_seconds(ctx, resolution)
    upper_limit = wrap64(target_date - wrap64(offset * unit_ms))
    partitions.append((upper_limit, horizon_list[0]))
    n = len(horizon_list)
    for j in range(n - 1, 0, -1):
        units = wrap32(horizon_list[j - 1] + offset)
        partitions.append((wrap64(target_date - wrap64(units * unit_ms)), horizon_list[j]))
    partitions.sort()  # by bound, equal bounds by horizon
    lower_limit = wrap64(target_date - wrap64(wrap32(max_horizon + offset) * unit_ms))
    return upper_limit, lower_limit


def get_horizon(ctx, reference_date, partitions, date, inclusive_upper=False):
    """The horizon of the first bound above `date`; 0 when none is."""
    if inclusive_upper and date == reference_date:
        return partitions[-1][1]
    for bound, horizon in partitions:
        if date < bound:
            return horizon
    ctx.report("ValueError", "Date {0} is out of range".format(date), "get_horizon")
    return 0


# ---------------------------------------------------------------------------
# Row writing
# ---------------------------------------------------------------------------


def has_operator(codes, code):
    for c in codes:
        if c == code:
            return True
    return False


def get_column_key(nearest_exponent, dim_value, operator_code, horizon):
    """dim * E * E + op * E + horizon in 32-bit arithmetic, widened to 64."""
    e = nearest_exponent
    key = wrap32(wrap32(wrap32(dim_value * e) * e) + wrap32(operator_code * e))
    key = wrap32(key + horizon)
    return key


def set_result_cell(
    ctx, result_frame, column_name_map, row_index, value, nearest_exponent, dim_value, operator_code, horizon
):
    if dim_value == ctx.constants.UNKNOWN_DIMENSION_VALUE:
        return
    key = get_column_key(nearest_exponent, dim_value, operator_code, horizon)
    # A key the caller did not map writes nothing.
    if key not in column_name_map:
        return
    column = column_name_map[key]
    result_frame[row_index, column] = f32(value)


def slot_of(ctx, code):
    # find-or-insert: an unknown code is added with slot 0
    return ctx.constants.OPERATOR_SLOT_MAP[code]


def fill_row(
    ctx,
    result_frame,
    row_index,
    aggregate_buffer,
    min_horizon,
    for_afe_columns,
    dim_value_by_index,
    horizon_by_index,
    index_by_horizon,
    included_operators,
    included_operator_set_one,
    included_operator_set_two,
    column_name_map,
    nearest_exponent,
    dim_group_id,
    is_no_dim_col,
):
    const = ctx.constants
    horizon_totals = OrderedMap(float_zero)
    dim_sums = OrderedMap(map_zero_of(float_zero))
    m = index_by_horizon[min_horizon]
    restricted = (
        for_afe_columns
        and not is_no_dim_col
        and not has_operator(included_operators, const.COUNT_DISTINCT_CODE)
        and not has_operator(included_operators, const.MODE_CODE)
    )
    n_dims, n_horizons = aggregate_buffer.shape[0], aggregate_buffer.shape[1]
    for i in range(n_dims):
        d = dim_value_by_index[i]
        if restricted and d != dim_group_id:
            continue
        dim_sums[d] = OrderedMap(float_zero)
        h = None
        for j in range(n_horizons):
            h = horizon_by_index[j]
            s = aggregate_buffer[i, j, SUM_SLOT]
            if not math.isnan(s):
                horizon_totals[h] = f32(horizon_totals[h] + s)
            dim_sums[d][h] = s
            for x in included_operator_set_one:
                set_result_cell(
                    ctx,
                    result_frame,
                    column_name_map,
                    row_index,
                    aggregate_buffer[i, j, slot_of(ctx, x)],
                    nearest_exponent,
                    d,
                    x,
                    h,
                )
        h_last = horizon_by_index[n_horizons - 1]
        for x in included_operator_set_two:
            set_result_cell(
                ctx,
                result_frame,
                column_name_map,
                row_index,
                aggregate_buffer[i, m, slot_of(ctx, x)],
                nearest_exponent,
                d,
                x,
                h_last,
            )
    if not for_afe_columns and has_operator(included_operators, const.RATIO_CODE):
        for d, sums in dim_sums.items():
            for h, s in sums.items():
                t = horizon_totals[h]
                if not math.isnan(s) and t > 0.0:
                    set_result_cell(
                        ctx,
                        result_frame,
                        column_name_map,
                        row_index,
                        f32(s / t),
                        nearest_exponent,
                        d,
                        const.RATIO_CODE,
                        h,
                    )


def fill_row_for_ratio_column(
    ctx,
    result_frame,
    row_index,
    aggregate_buffer,
    dim_value_by_index,
    horizon_by_index,
    column_name_map,
    nearest_exponent,
    dim_group_id,
    first_horizon,
):
    horizon_totals = OrderedMap(float_zero)
    dim_sums = OrderedMap(map_zero_of(float_zero))
    n_dims, n_horizons = aggregate_buffer.shape[0], aggregate_buffer.shape[1]
    for i in range(n_dims):
        d = dim_value_by_index[i]
        dim_sums[d] = OrderedMap(float_zero)
        for j in range(n_horizons):
            h = horizon_by_index[j]
            s = aggregate_buffer[i, j, SUM_SLOT]
            if not math.isnan(s):
                horizon_totals[h] = f32(horizon_totals[h] + s)
            dim_sums[d][h] = s
    if dim_group_id not in dim_sums or first_horizon not in dim_sums[dim_group_id]:
        return
    s = dim_sums[dim_group_id][first_horizon]
    t = horizon_totals[first_horizon]
    if not math.isnan(s) and t > 0.0:
        set_result_cell(
            ctx,
            result_frame,
            column_name_map,
            row_index,
            f32(s / t),
            nearest_exponent,
            dim_group_id,
            ctx.constants.RATIO_CODE,
            first_horizon,
        )


# ---------------------------------------------------------------------------
# Aggregation
# ---------------------------------------------------------------------------


def mode_of_counts(counts):
    """The code with the greatest count; ties go to the smallest code; 0 if empty."""
    best_key = 0
    best_count = 0
    for key, count in counts.items():
        if count > best_count:
            best_key = key
            best_count = count
    return best_key


def copy_slot_row(aggregate_buffer, dim_index, from_position, to_position):
    aggregate_buffer[dim_index, to_position, :] = aggregate_buffer[dim_index, from_position, :].copy()


def get_aggregates_and_fill_row(
    ctx,
    aggregate_buffer,
    row_index,
    result_frame,
    entity,
    target_date,
    horizons,
    index_map,
    entity_rows,
    resolution,
    offset,
    trx_dates,
    trx_q_arrays,
    trx_d_arrays,
    date_col_index,
    d_index,
    q_index,
    included_operators,
    included_operator_set_one,
    included_operator_set_two,
    column_name_map,
    nearest_exponent,
    horizon_list,
    distinct_dimension_values,
    min_horizon,
    max_horizon,
    max_requested_horizon,
    dim_group_id,
    for_afe_columns,
    is_no_dim_col,
):
    const = ctx.constants
    # 1. no transactions: nothing happens, not even the reset
    if len(entity_rows) == 0:
        return
    # 2. reset
    aggregate_buffer[...] = FLOAT32_NAN
    # 3. window bounds
    partitions = []
    upper_limit, lower_limit = partition(
        ctx, partitions, target_date, offset, resolution, list(horizon_list), max_horizon
    )
    # 4. index maps
    index_by_dim_value = OrderedMap(int_zero)
    dim_value_by_index = OrderedMap(int_zero)
    horizons_seen = OrderedMap(map_zero_of(int_zero))
    for i, value in enumerate(sorted(distinct_dimension_values)):
        index_by_dim_value[value] = i
        dim_value_by_index[i] = value
        horizons_seen[value] = OrderedMap(int_zero)
    index_by_horizon = OrderedMap(int_zero)
    horizon_by_index = OrderedMap(int_zero)
    for k, horizon in enumerate(horizon_list):
        index_by_horizon[horizon] = k  # a repeated value keeps its last position
        horizon_by_index[k] = horizon
    ratio_requested = has_operator(included_operators, const.RATIO_CODE)
    count_distinct_requested = has_operator(included_operators, const.COUNT_DISTINCT_CODE)
    mode_requested = has_operator(included_operators, const.MODE_CODE)
    group_only = (
        for_afe_columns
        and not ratio_requested
        and not is_no_dim_col
        and not count_distinct_requested
        and not mode_requested
    )

    span_bounds = OrderedMap(lambda: [f32(0.0), f32(0.0)])  # value -> [largest, smallest]
    code_counts = OrderedMap(int_zero)
    distinct_count_at = OrderedMap(double_zero)
    mode_at = OrderedMap(double_zero)
    n_dims = aggregate_buffer.shape[0]
    last_horizon = -1

    def statistics_maps_in_use():
        in_use = []
        if count_distinct_requested:
            in_use.append(distinct_count_at)
        if mode_requested:
            in_use.append(mode_at)
        return in_use

    def carry_forward(h, last):
        # 6.1 whole slot rows of every seen dimension value
        for j in range(n_dims):
            v = dim_value_by_index[j]
            if v not in horizons_seen or len(horizons_seen[v]) == 0:
                continue
            largest = horizons_seen[v].largest_key()
            for g in horizon_list:
                if h > g and g > largest:
                    copy_slot_row(aggregate_buffer, j, index_by_horizon[largest], index_by_horizon[g])
            copy_slot_row(aggregate_buffer, j, index_by_horizon[largest], index_by_horizon[h])
        # 6.2 entity-wide statistics
        for position_map in statistics_maps_in_use():
            if len(position_map) == 0:
                continue
            v = position_map[position_map.largest_key()]
            for g in horizon_list:
                if h > g and g > last:
                    position_map[index_by_horizon[g]] = v

    # 5. scan, newest first
    for n in range(len(entity_rows)):
        r = int(entity_rows[n])
        # 5.1 date filter
        if date_col_index == -1:
            t = 0
        else:
            t = int(trx_dates[r, date_col_index])
            if for_afe_columns:
                if t > upper_limit:
                    continue
            else:
                if t >= upper_limit:
                    continue
            if t < lower_limit:
                break
        # 5.2 quantity filter
        q = f32(trx_q_arrays[r, q_index])
        if for_afe_columns and math.isnan(q):
            continue
        if q <= 0:
            continue
        # 5.3 raw code, counted for CountDistinct / Mode
        dimension_code = int(trx_d_arrays[r, d_index])  # int8 sign-extended
        if count_distinct_requested or mode_requested:
            code_counts[dimension_code] = code_counts[dimension_code] + 1
        # 5.4 mapped value (find-or-insert into the call's index_map) and cell
        mapped_value = index_map[narrow16(dimension_code)]
        has_cell = mapped_value in index_by_dim_value
        d = index_by_dim_value[mapped_value] if has_cell else None
        # 5.5 horizon
        if date_col_index == -1:
            h = 1
        else:
            h = get_horizon(ctx, upper_limit, partitions, t, inclusive_upper=for_afe_columns)
        # 5.6 group filter
        if group_only and mapped_value != dim_group_id:
            continue
        # 5.7 position
        p = index_by_horizon[h]
        # 5.8 span bounds
        s = get_span(ctx, resolution, target_date, t)
        if has_cell:
            if mapped_value not in span_bounds:
                span_bounds[mapped_value] = [s, s]
            else:
                bounds = span_bounds[mapped_value]
                if s > bounds[0]:
                    bounds[0] = s
                if bounds[1] > s:
                    bounds[1] = s
        # 5.9 horizon change
        if h != last_horizon and last_horizon != -1:
            carry_forward(h, last_horizon)
        # 5.10 accumulate (step 7)
        if has_cell:
            seen = len(horizons_seen[mapped_value]) > 0
            if not seen:
                aggregate_buffer[d, p, DENSITY_SLOT] = q
                aggregate_buffer[d, p, MIN_SLOT] = q
                aggregate_buffer[d, p, MAX_SLOT] = q
                aggregate_buffer[d, p, SUM_SLOT] = q
                aggregate_buffer[d, p, FREQUENCY_SLOT] = f32(1.0)
            else:
                stored_min = aggregate_buffer[d, p, MIN_SLOT]
                if stored_min > q:
                    aggregate_buffer[d, p, MIN_SLOT] = q
                stored_max = aggregate_buffer[d, p, MAX_SLOT]
                if q > stored_max:
                    aggregate_buffer[d, p, MAX_SLOT] = q
                new_sum = f32(q + aggregate_buffer[d, p, SUM_SLOT])
                aggregate_buffer[d, p, SUM_SLOT] = new_sum
                new_frequency = f32(float(aggregate_buffer[d, p, FREQUENCY_SLOT]) + 1.0)
                aggregate_buffer[d, p, FREQUENCY_SLOT] = new_frequency
                aggregate_buffer[d, p, DENSITY_SLOT] = f32(new_sum / new_frequency)
        last_horizon = h
        # 5.11 record the entity-wide statistics at p
        if count_distinct_requested:
            distinct_count_at[p] = float(len(code_counts))
        if mode_requested:
            mode_at[p] = float(mode_of_counts(code_counts.copy()))
        # 5.12
        if has_cell:
            horizons_seen[mapped_value][h] = 1

    # 8. tail
    if last_horizon < max_horizon:
        for j in range(n_dims):
            v = dim_value_by_index[j]
            if v not in horizons_seen or len(horizons_seen[v]) == 0:
                continue
            largest = horizons_seen[v].largest_key()
            for g in horizon_list:
                if g <= max_horizon and g > last_horizon:
                    copy_slot_row(aggregate_buffer, j, index_by_horizon[largest], index_by_horizon[g])
        for position_map in statistics_maps_in_use():
            if len(position_map) == 0:
                continue
            v = position_map[position_map.largest_key()]
            for g in horizon_list:
                if g <= max_horizon and g > last_horizon:
                    position_map[index_by_horizon[g]] = v

    # 9. time since first and last, for every horizon of the list
    for v, (largest, smallest) in span_bounds.items():
        d = index_by_dim_value[v]
        for g, p in index_by_horizon.items():
            aggregate_buffer[d, p, TIME_SINCE_FIRST_SLOT] = largest
            aggregate_buffer[d, p, TIME_SINCE_LAST_SLOT] = smallest

    # 10. entity-wide statistics into every cell
    if count_distinct_requested or mode_requested:
        for d in range(aggregate_buffer.shape[0]):
            for p in range(aggregate_buffer.shape[1]):
                if mode_requested:
                    aggregate_buffer[d, p, MODE_SLOT] = f32(mode_at[p])
                if count_distinct_requested:
                    aggregate_buffer[d, p, COUNT_DISTINCT_SLOT] = f32(distinct_count_at[p])

    # 11. exactly one row writer
    if for_afe_columns and ratio_requested:
        fill_row_for_ratio_column(
            ctx,
            result_frame,
            row_index,
            aggregate_buffer,
            dim_value_by_index,
            horizon_by_index,
            column_name_map,
            nearest_exponent,
            dim_group_id,
            horizons[0],
        )
    else:
        fill_row(
            ctx,
            result_frame,
            row_index,
            aggregate_buffer,
            min_horizon,
            for_afe_columns,
            dim_value_by_index,
            horizon_by_index,
            index_by_horizon,
            included_operators,
            included_operator_set_one,
            included_operator_set_two,
            column_name_map,
            nearest_exponent,
            dim_group_id,
            is_no_dim_col,
        )


# ---------------------------------------------------------------------------
# Split worker
# ---------------------------------------------------------------------------


def get_distinct_values(distinct_dimension_values, index_map):
    """Adds every mapped value of `index_map` to the set; returns a copy."""
    for _key, value in index_map.items():
        if value not in distinct_dimension_values:
            distinct_dimension_values.add(value)
    return set(distinct_dimension_values)


def exec_for_split(
    ctx,
    result_frame,
    split_index,
    splits_size,
    split,
    date_col_index,
    d_index,
    q_index,
    offset,
    horizons,
    resolution,
    index_map,
    trx_dates,
    trx_q_arrays,
    trx_d_arrays,
    entity_index_map,
    target_dates,
    included_operators,
    included_operator_set_one,
    included_operator_set_two,
    column_name_map,
    nearest_exponent,
    dim_group_id,
    for_afe_columns,
    is_no_dim_col,
):
    assert len(horizons) > 0
    distinct_dimension_values = set()
    horizon_list = list(horizons)
    get_distinct_values(distinct_dimension_values, index_map)
    n_dims = len(distinct_dimension_values)
    if for_afe_columns:
        horizon_list = sorted(set(horizons))
    n_horizons = len(horizon_list)
    aggregate_buffer = np.full((n_dims, n_horizons, SLOT_COUNT), float(FLOAT32_NAN), dtype=np.float32)
    min_horizon = min(horizon_list)
    max_horizon = max(horizon_list)
    max_requested_horizon = max(horizons)
    row = split_index
    for k in range(len(split)):
        entity = int(split[k])
        if entity == -1:
            break
        target_date = int(target_dates[entity])
        if entity in entity_index_map:
            entity_rows = entity_index_map[entity]
            get_aggregates_and_fill_row(
                ctx,
                aggregate_buffer,
                row,
                result_frame,
                entity,
                target_date,
                horizons,
                index_map,
                entity_rows,
                resolution,
                offset,
                trx_dates,
                trx_q_arrays,
                trx_d_arrays,
                date_col_index,
                d_index,
                q_index,
                included_operators,
                included_operator_set_one,
                included_operator_set_two,
                column_name_map,
                nearest_exponent,
                horizon_list,
                distinct_dimension_values,
                min_horizon,
                max_horizon,
                max_requested_horizon,
                dim_group_id,
                for_afe_columns,
                is_no_dim_col,
            )
        row += splits_size


# ---------------------------------------------------------------------------
# Entry
# ---------------------------------------------------------------------------


def _int_list(values):
    out = []
    for v in values:
        v = int(v)
        assert -(2**31) <= v < 2**31, "int32 expected"
        out.append(v)
    return out


def execute_reference(
    result_frame,
    c_num_threads,
    date_col_index,
    d_index,
    q_index,
    splits,
    horizons,
    offset,
    resolution,
    index_map,
    trx_dates,
    trx_q_arrays,
    trx_d_arrays,
    entity_index_map,
    target_dates,
    included_operators,
    included_operator_set_one,
    included_operator_set_two,
    column_name_map,
    nearest_exponent,
    dim_group_id=-1,
    for_afe_columns=False,
    is_no_dim_col=False,
    *,
    afe_operator=None,
    unknown_dimension_value=None,
):
    """Fills `result_frame` (a float32 NumPy array) in place like `execute`.

    Returns the list of reports, each (exception type name, message, routine
    name), that the native module would pass to ``sys.unraisablehook``.
    """
    assert isinstance(result_frame, np.ndarray) and result_frame.dtype == np.float32
    assert result_frame.ndim == 2
    reports = []
    ctx = Context(Constants(afe_operator, unknown_dimension_value), reports)

    # Conversions: the call's own copies; the caller's objects stay untouched.
    converted_index_map = OrderedMap(int_zero)
    for key, value in index_map.items():
        key, value = int(key), int(value)
        assert -(2**15) <= key < 2**15 and -(2**15) <= value < 2**15, "int16 expected"
        converted_index_map.insert_if_absent(key, value)
    converted_entity_index_map = OrderedMap(lambda: np.zeros(0, dtype=np.int32))
    for key, rows in entity_index_map.items():
        assert rows is not None
        converted_entity_index_map.insert_if_absent(int(key), rows)
    converted_column_name_map = OrderedMap(int_zero)
    for key, value in column_name_map.items():
        converted_column_name_map.insert_if_absent(int(key), int(value))
    horizons = _int_list(horizons)
    included_operators = _int_list(included_operators)
    included_operator_set_one = _int_list(included_operator_set_one)
    included_operator_set_two = _int_list(included_operator_set_two)
    for_afe_columns = bool(for_afe_columns)
    is_no_dim_col = bool(is_no_dim_col)

    splits_size = splits.shape[0]
    with np.errstate(all="ignore"):  # float32 overflow is part of the arithmetic
        for i in range(splits_size):
            exec_for_split(
                ctx,
                result_frame,
                i,
                splits_size,
                splits[i],
                int(date_col_index),
                int(d_index),
                int(q_index),
                int(offset),
                horizons,
                int(resolution),
                converted_index_map,
                trx_dates,
                trx_q_arrays,
                trx_d_arrays,
                converted_entity_index_map,
                target_dates,
                included_operators,
                included_operator_set_one,
                included_operator_set_two,
                converted_column_name_map,
                int(nearest_exponent),
                int(dim_group_id),
                for_afe_columns,
                is_no_dim_col,
            )
    return reports
