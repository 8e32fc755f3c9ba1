// Row writers: the column-key packing, the per-split column tables that
// replace a column_name_map search per written cell, `fill_row` and
// `fill_row_for_ratio_column`.
#include <algorithm>
#include <cmath>

#include "kernel.hpp"

namespace dfbh {
namespace {

// dimension value * E * E + operator code * E + horizon, in 32-bit
// two's-complement arithmetic (wrapping), then sign-extended to 64 bits.
int64_t get_column_key(int32_t nearest_exponent, int32_t dim_value, int32_t operator_code, int32_t horizon) {
    const uint32_t e = static_cast<uint32_t>(nearest_exponent);
    const uint32_t key = static_cast<uint32_t>(dim_value) * e * e + static_cast<uint32_t>(operator_code) * e +
                         static_cast<uint32_t>(horizon);
    return static_cast<int64_t>(static_cast<int32_t>(key));
}

// The column a write of (dim_value, operator_code, horizon) lands in, or
// NO_COLUMN: the unknown dimension value is never written, and neither is a
// key that column_name_map lacks or a column outside result_frame.
int32_t column_of(const SplitPlan& plan, int32_t dim_value, int32_t operator_code, int32_t horizon) {
    const ExecuteArgs& a = *plan.args;
    if (dim_value == plan.constants->UNKNOWN_DIMENSION_VALUE) return NO_COLUMN;
    const int32_t* column = a.column_name_map.find(get_column_key(a.nearest_exponent, dim_value, operator_code, horizon));
    if (column == nullptr || *column < 0 || *column >= a.result_frame.n1) return NO_COLUMN;
    return *column;
}

const float* cell(const EntityScratch& s, int32_t H, int32_t dim, int32_t position) {
    return s.buffer.data() + (static_cast<size_t>(dim) * H + position) * SLOT_COUNT;
}

}  // namespace

void build_row_tables(SplitPlan& plan) {
    const ExecuteArgs& a = *plan.args;
    const ModuleConstants& c = *plan.constants;
    const int32_t D = plan.D, H = plan.H;
    const int64_t column_stride = a.result_frame.s1;
    const size_t U = plan.distinct_horizons.size();

    bool unused = false;
    plan.min_position = plan.position_of(plan.min_horizon, &unused);
    plan.last_horizon_value = plan.horizon_list[H - 1];

    std::vector<int32_t> one_slot, two_slot;
    for (int32_t x : a.included_operator_set_one) one_slot.push_back(c.slot_of(x));
    for (int32_t x : a.included_operator_set_two) two_slot.push_back(c.slot_of(x));
    const auto& one = a.included_operator_set_one;
    const auto& two = a.included_operator_set_two;

    auto cell_index = [H](int32_t i, int32_t position, int32_t slot) {
        return (i * H + position) * SLOT_COUNT + slot;
    };
    plan.cell_writes.clear();
    plan.ratio_writes.clear();
    const bool ratio_columns = !a.for_afe_columns && plan.ratio_requested;
    for (int32_t i = 0; i < D; ++i) {
        if (plan.restricted && !plan.records[i].in_group) continue;
        const int32_t d = plan.dim_values[i];
        for (int32_t j = 0; j < H; ++j) {
            for (size_t k = 0; k < one.size(); ++k) {
                const int32_t column = column_of(plan, d, one[k], plan.horizon_list[j]);
                if (column != NO_COLUMN) plan.cell_writes.push_back({column * column_stride, cell_index(i, j, one_slot[k])});
            }
        }
        // Set-two values are read at the smallest horizon and keyed with the
        // horizon at the last position of horizon_list.
        for (size_t k = 0; k < two.size(); ++k) {
            const int32_t column = column_of(plan, d, two[k], plan.last_horizon_value);
            if (column != NO_COLUMN) {
                plan.cell_writes.push_back({column * column_stride, cell_index(i, plan.min_position, two_slot[k])});
            }
        }
        // A repeated horizon value takes the Sum at its last position.
        if (ratio_columns) {
            for (size_t u = 0; u < U; ++u) {
                const int32_t column = column_of(plan, d, c.RATIO_CODE, plan.distinct_horizons[u]);
                if (column != NO_COLUMN) {
                    plan.ratio_writes.push_back({column * column_stride,
                                                 cell_index(i, plan.distinct_position[u], SUM_SLOT),
                                                 static_cast<int32_t>(u)});
                }
            }
        }
    }

    // Feature-group ratio: the share of dim_group_id at the first requested horizon.
    plan.first_horizon = a.horizons.empty() ? 0 : a.horizons[0];
    plan.group_record = -1;
    for (int32_t i = 0; i < D; ++i) {
        if (static_cast<int32_t>(plan.dim_values[i]) == a.dim_group_id) plan.group_record = i;
    }
    plan.first_horizon_position = -1;
    for (size_t u = 0; u < U; ++u) {
        if (plan.distinct_horizons[u] == plan.first_horizon) plan.first_horizon_position = plan.distinct_position[u];
    }
    plan.first_horizon_positions.clear();
    for (int32_t j = 0; j < H; ++j) {
        if (plan.horizon_list[j] == plan.first_horizon) plan.first_horizon_positions.push_back(j);
    }
    plan.group_ratio_column = column_of(plan, a.dim_group_id, c.RATIO_CODE, plan.first_horizon);
}

void fill_row(const SplitPlan& plan, EntityScratch& scratch, int64_t row_index) {
    const ExecuteArgs& a = *plan.args;
    char* const row = a.result_frame.base + row_index * a.result_frame.s0;
    const float* const buffer = scratch.buffer.data();
    for (const CellWrite& w : plan.cell_writes) store<float>(row + w.to, buffer[w.from]);
    if (plan.ratio_writes.empty()) return;

    // Each dimension value's share of the horizon's total Sum. The totals
    // add every non-NaN Sum of the horizon in float32, dimension by
    // dimension, as the cells are laid out.
    float* const totals = scratch.horizon_totals.data();
    std::fill(scratch.horizon_totals.begin(), scratch.horizon_totals.end(), 0.0f);
    const int32_t cells = plan.D * plan.H;
    for (int32_t x = 0; x < cells; ++x) {
        const float s = buffer[x * SLOT_COUNT + SUM_SLOT];
        if (!std::isnan(s)) {
            float& total = totals[plan.distinct_of_position[x % plan.H]];
            total = total + s;
        }
    }
    for (const RatioWrite& w : plan.ratio_writes) {
        const float s = buffer[w.from];
        const float t = totals[w.total];
        if (!std::isnan(s) && t > 0.0f) store<float>(row + w.to, s / t);
    }
}

void fill_row_for_ratio_column(const SplitPlan& plan, EntityScratch& scratch, int64_t row_index) {
    const ExecuteArgs& a = *plan.args;
    if (plan.group_record < 0 || plan.first_horizon_position < 0 || plan.group_ratio_column == NO_COLUMN) return;
    const int32_t D = plan.D, H = plan.H;
    // The total at the first requested horizon, added in dimension order.
    float total = 0.0f;
    for (int32_t i = 0; i < D; ++i) {
        for (int32_t j : plan.first_horizon_positions) {
            const float s = cell(scratch, H, i, j)[SUM_SLOT];
            if (!std::isnan(s)) total = total + s;
        }
    }
    const float s = cell(scratch, H, plan.group_record, plan.first_horizon_position)[SUM_SLOT];
    if (!std::isnan(s) && total > 0.0f) {
        const View2<float>& frame = a.result_frame;
        frame.set(row_index, plan.group_ratio_column, s / total);
    }
}

}  // namespace dfbh
