// Row writers over the plan's flat write tables.
#include "row_writer.hpp"

#include <algorithm>
#include <cmath>

namespace dfbh {

void fill_row(const SplitPlan& plan, const float* buffer, char* row, std::vector<float>& horizon_totals) {
    for (const CellWrite& w : plan.cell_writes) store<float>(row + w.to, buffer[w.from]);
    if (plan.ratio_writes.empty()) return;

    // The totals add every non-NaN Sum of a horizon in float32, dimension by
    // dimension, in the order the cells are laid out.
    float* const totals = horizon_totals.data();
    std::fill(horizon_totals.begin(), horizon_totals.end(), 0.0f);
    const float* sums = buffer + SUM_SLOT;
    for (int32_t d = 0; d < plan.D; ++d) {
        for (int32_t p = 0; p < plan.H; ++p, sums += SLOT_COUNT) {
            if (!std::isnan(*sums)) {
                float& total = totals[plan.distinct_of_position[p]];
                total = total + *sums;
            }
        }
    }
    for (const RatioWrite& w : plan.ratio_writes) {
        const float s = buffer[w.from];
        const float t = totals[w.total];
        if (!std::isnan(s) && t > 0.0f) store<float>(row + w.to, s / t);
    }
}

void fill_row_for_ratio_column(const SplitPlan& plan, const float* buffer, char* row) {
    if (plan.group_dim < 0 || plan.first_horizon_position < 0 || !plan.group_ratio_to) return;
    // The total at the first requested horizon, added in dimension order;
    // a horizon listed twice adds the Sum of each of its positions.
    float total = 0.0f;
    for (int32_t i = 0; i < plan.D; ++i) {
        for (int32_t j : plan.first_horizon_positions) {
            const float s = buffer[(i * plan.H + j) * SLOT_COUNT + SUM_SLOT];
            if (!std::isnan(s)) total = total + s;
        }
    }
    const float s = buffer[(plan.group_dim * plan.H + plan.first_horizon_position) * SLOT_COUNT + SUM_SLOT];
    if (!std::isnan(s) && total > 0.0f) store<float>(row + *plan.group_ratio_to, s / total);
}

}  // namespace dfbh
