// Building a split's plan: horizons and their positions, dimension values and
// the code table, operator flags and the window plan (the row writers'
// tables: row_plan.cpp).
#include "core/plan/plan.hpp"

#include <algorithm>
#include <optional>

namespace dfbh {
namespace {

void plan_horizons(SplitPlan& plan) {
    const auto& hl = plan.horizon_list;
    const int32_t H = plan.H;
    plan.min_horizon = *std::min_element(hl.begin(), hl.end());
    plan.max_horizon = *std::max_element(hl.begin(), hl.end());

    // A value repeated in horizon_list keeps its last position.
    plan.distinct_horizons = hl;
    std::sort(plan.distinct_horizons.begin(), plan.distinct_horizons.end());
    plan.distinct_horizons.erase(std::unique(plan.distinct_horizons.begin(), plan.distinct_horizons.end()),
                                 plan.distinct_horizons.end());
    plan.distinct_position.assign(plan.distinct_horizons.size(), 0);
    plan.distinct_of_position.assign(H, 0);
    for (int32_t k = 0; k < H; ++k) {
        const auto u = std::lower_bound(plan.distinct_horizons.begin(), plan.distinct_horizons.end(), hl[k]) -
                       plan.distinct_horizons.begin();
        plan.distinct_position[u] = k;
        plan.distinct_of_position[k] = static_cast<int32_t>(u);
    }
    plan.list_position.resize(H);
    for (int32_t k = 0; k < H; ++k) plan.list_position[k] = plan.distinct_position[plan.distinct_of_position[k]];
    plan.no_date_position = plan.position_of(1, &plan.no_date_outside_list);
}

void plan_codes(SplitPlan& plan, int32_t group_value, const CodeTable& codes) {
    for (int code = -128; code < 128; ++code) {
        const int8_t c = static_cast<int8_t>(code);
        CodeEntry& entry = plan.code_entries[code_slot(c)];
        entry.missing = !codes.known(c);
        const int16_t mapped = entry.missing ? int16_t{0} : codes.mapped_value(c);
        entry.dim = plan.dim_index_of(mapped);
        entry.in_group = static_cast<int32_t>(mapped) == group_value;
        entry.group_dim = entry.in_group ? entry.dim : -1;
    }
}

// See SplitPlan::ordered_windows. The starts must ascend strictly with the
// list and be computed without wrapping or saturating, so that they are the
// bounds the general lookup would sort.
void plan_ordered_windows(SplitPlan& plan, int32_t offset) {
    const int64_t unit = plan.windows.unit_ms;
    if (unit == 0 || !plan.has_date) return;
    const auto& hl = plan.horizon_list;
    std::vector<int64_t> starts;
    int64_t previous = 0;
    // Offsets of at most a quarter of the time line leave room for target
    // dates on either side; beyond that the general lookup clips them.
    const int64_t limit = INT64_MAX / 4;
    int64_t end;
    if (__builtin_mul_overflow(static_cast<int64_t>(offset), unit, &end) || end > limit || end < -limit) return;
    for (size_t j = 0; j < hl.size(); ++j) {
        if (j > 0 && hl[j] <= hl[j - 1]) return;
        const int64_t units = static_cast<int64_t>(hl[j]) + offset;
        if (units > INT32_MAX || units < INT32_MIN) return;  // the general bounds wrap here
        int64_t start;
        if (__builtin_mul_overflow(units, unit, &start)) return;
        if (start > limit || start < -limit || start <= (j > 0 ? previous : end)) return;
        starts.push_back(start);
        previous = start;
    }
    plan.window_end_offset = end;
    plan.window_start_offset = std::move(starts);
    plan.ordered_windows = true;
}

}  // namespace

int32_t SplitPlan::position_of(int32_t h, bool* outside) const {
    auto it = std::lower_bound(distinct_horizons.begin(), distinct_horizons.end(), h);
    if (it != distinct_horizons.end() && *it == h) {
        return distinct_position[static_cast<size_t>(it - distinct_horizons.begin())];
    }
    *outside = true;
    return 0;
}

int32_t SplitPlan::dim_index_of(int32_t value) const {
    const auto it = std::lower_bound(dim_values.begin(), dim_values.end(), value);
    return (it != dim_values.end() && *it == value) ? static_cast<int32_t>(it - dim_values.begin()) : -1;
}

void plan_split_shape(SplitPlan& plan, const std::vector<int32_t>& horizons, bool sorted, const CodeTable& codes,
                      Reporter& reporter) {
    // A failure leaves the values collected so far, none: the split goes on
    // without dimension values.
    run_or_report(reporter, routine::get_distinct_values, [&] { plan.dim_values = codes.distinct_values(); });
    plan.D = static_cast<int32_t>(plan.dim_values.size());

    plan.horizon_list = horizons;
    if (sorted) {
        std::sort(plan.horizon_list.begin(), plan.horizon_list.end());
        plan.horizon_list.erase(std::unique(plan.horizon_list.begin(), plan.horizon_list.end()),
                                plan.horizon_list.end());
    }
    plan.H = static_cast<int32_t>(plan.horizon_list.size());
}

void plan_scan(SplitPlan& plan, const ScanSettings& settings, const CodeTable& codes,
               const ModuleConstants& constants, bool has_date) {
    plan.constants = &constants;
    plan.resolution = settings.resolution;
    plan.group = settings.group;
    plan.has_date = has_date;

    plan.ratio_requested = settings.ratio;
    plan.count_distinct_requested = settings.count_distinct;
    plan.mode_requested = settings.mode;
    plan.restricted = settings.group.on && !settings.group.all_values && !plan.counts_codes();
    plan.group_only = plan.restricted && !plan.ratio_requested;

    plan_horizons(plan);
    plan_codes(plan, settings.group.value, codes);
    plan_windows(plan.windows, plan.horizon_list, plan.list_position, plan.max_horizon, settings.offset,
                 settings.resolution);
    plan_ordered_windows(plan, settings.offset);
}

}  // namespace dfbh
