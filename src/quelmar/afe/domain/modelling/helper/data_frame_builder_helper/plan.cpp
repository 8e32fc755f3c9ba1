// Building a split's plan: horizons and their positions, dimension values and
// the code table, operator flags, the window plan and the row writers'
// tables.
#include "plan.hpp"

#include <algorithm>
#include <optional>

namespace dfbh {
namespace {

bool has_operator(const std::vector<int32_t>& codes, int32_t code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// dimension value * E * E + operator code * E + horizon, in 32-bit
// two's-complement arithmetic (wrapping), then sign-extended to 64 bits.
int64_t get_column_key(int32_t nearest_exponent, int32_t dim_value, int32_t operator_code, int32_t horizon) {
    const uint32_t e = static_cast<uint32_t>(nearest_exponent);
    const uint32_t key = static_cast<uint32_t>(dim_value) * e * e + static_cast<uint32_t>(operator_code) * e +
                         static_cast<uint32_t>(horizon);
    return static_cast<int64_t>(static_cast<int32_t>(key));
}

// Byte offset within a result row (any sign: strides may be negative) of
// the column that a write of (dim_value, operator_code, horizon) lands in,
// or none: the unknown dimension value is never written, and neither is a
// key that column_name_map lacks or a column outside the result.
std::optional<int64_t> column_offset(const SplitPlan& plan, const FeatureRequest& request, const ResultColumns& columns,
                      int32_t dim_value, int32_t operator_code, int32_t horizon) {
    if (dim_value == plan.constants->UNKNOWN_DIMENSION_VALUE) return std::nullopt;
    const int32_t* column =
        request.column_name_map.find(get_column_key(request.nearest_exponent, dim_value, operator_code, horizon));
    if (column == nullptr || *column < 0 || *column >= columns.count) return std::nullopt;
    return *column * columns.stride;
}

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

void plan_codes(SplitPlan& plan, const FeatureRequest& request, const CodeTable& codes) {
    const auto& values = plan.dim_values;
    auto dim_of = [&values](int16_t value) -> int32_t {
        auto it = std::lower_bound(values.begin(), values.end(), value);
        return (it != values.end() && *it == value) ? static_cast<int32_t>(it - values.begin()) : -1;
    };
    for (int code = -128; code < 128; ++code) {
        const int8_t c = static_cast<int8_t>(code);
        CodeEntry& entry = plan.code_entries[code_slot(c)];
        entry.missing = !codes.known(c);
        const int16_t mapped = entry.missing ? int16_t{0} : codes.mapped_value(c);
        entry.dim = dim_of(mapped);
        entry.in_group = static_cast<int32_t>(mapped) == request.dim_group_id;
    }
}

// Chooses the row image (see RowImage) when the cell writes go to distinct
// columns of a contiguous row, within a range at most about twice as wide
// as they are many. Writes to one column twice keep the ordered list, where
// the later write wins.
void plan_row_image(SplitPlan& plan, const ResultColumns& columns) {
    const auto& writes = plan.cell_writes;
    if (writes.empty() || columns.stride != static_cast<int64_t>(sizeof(float))) return;
    std::vector<int64_t> targets;
    targets.reserve(writes.size());
    for (const CellWrite& w : writes) targets.push_back(w.to / columns.stride);
    std::sort(targets.begin(), targets.end());
    if (std::adjacent_find(targets.begin(), targets.end()) != targets.end()) return;
    const int64_t first = targets.front();
    const int64_t width = targets.back() - first + 1;
    if (width > 2 * static_cast<int64_t>(targets.size()) + 64) return;

    RowImage& image = plan.image;
    image.used = true;
    image.first_column = first;
    image.columns = static_cast<int32_t>(width);
    size_t next = 0;
    for (int64_t c = first; c < first + width; ++c) {
        if (next < targets.size() && targets[next] == c) {
            ++next;
        } else {
            image.kept.push_back(static_cast<int32_t>(c - first));
        }
    }
    const int32_t cells_per_dim = plan.H * SLOT_COUNT;
    std::vector<std::vector<ImageWrite>> by_dim(plan.D);
    for (const CellWrite& w : writes) {
        const ImageWrite write{static_cast<int32_t>(w.to / columns.stride - first), w.from};
        const int32_t slot = w.from % SLOT_COUNT;
        if (slot == COUNT_DISTINCT_SLOT || slot == MODE_SLOT) {
            image.statistics_writes.push_back(write);
        } else {
            by_dim[w.from / cells_per_dim].push_back(write);
        }
    }
    image.dim_begin.push_back(0);
    for (const auto& dim_writes : by_dim) {
        image.dim_writes.insert(image.dim_writes.end(), dim_writes.begin(), dim_writes.end());
        image.dim_begin.push_back(static_cast<int32_t>(image.dim_writes.size()));
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
    const int64_t limit = INT64_MAX / 4;  // leaves room for target dates on either side
    const int64_t end = static_cast<int64_t>(offset) * unit;
    if (end > limit || end < -limit) return;
    for (size_t j = 0; j < hl.size(); ++j) {
        if (j > 0 && hl[j] <= hl[j - 1]) return;
        const int64_t units = static_cast<int64_t>(hl[j]) + offset;
        if (units > INT32_MAX || units < INT32_MIN) return;  // the general bounds wrap here
        const int64_t start = units * unit;
        if (start > limit || start < -limit || start <= (j > 0 ? previous : end)) return;
        starts.push_back(start);
        previous = start;
    }
    plan.window_end_offset = end;
    plan.window_start_offset = std::move(starts);
    plan.ordered_windows = true;
}

void plan_row_writes(SplitPlan& plan, const FeatureRequest& request, const ResultColumns& columns) {
    const ModuleConstants& c = *plan.constants;
    const int32_t D = plan.D, H = plan.H;
    const auto& one = request.included_operator_set_one;
    const auto& two = request.included_operator_set_two;
    std::vector<int32_t> one_slot, two_slot;
    for (int32_t x : one) one_slot.push_back(c.slot_of(x));
    for (int32_t x : two) two_slot.push_back(c.slot_of(x));

    bool outside = false;
    const int32_t min_position = plan.position_of(plan.min_horizon, &outside);
    const int32_t last_horizon_value = plan.horizon_list[H - 1];
    auto cell_index = [H](int32_t dim, int32_t position, int32_t slot) {
        return (dim * H + position) * SLOT_COUNT + slot;
    };
    const bool ratio_columns = !request.for_afe_columns && plan.ratio_requested;
    for (int32_t i = 0; i < D; ++i) {
        const int32_t d = plan.dim_values[i];
        if (plan.restricted && d != request.dim_group_id) continue;
        for (int32_t j = 0; j < H; ++j) {
            for (size_t k = 0; k < one.size(); ++k) {
                const auto to = column_offset(plan, request, columns, d, one[k], plan.horizon_list[j]);
                if (to) plan.cell_writes.push_back({*to, cell_index(i, j, one_slot[k])});
            }
        }
        // Set-two values are read at the smallest horizon and keyed with the
        // horizon at the last position of horizon_list.
        for (size_t k = 0; k < two.size(); ++k) {
            const auto to = column_offset(plan, request, columns, d, two[k], last_horizon_value);
            if (to) plan.cell_writes.push_back({*to, cell_index(i, min_position, two_slot[k])});
        }
        // A repeated horizon value takes the Sum at its last position.
        if (ratio_columns) {
            for (size_t u = 0; u < plan.distinct_horizons.size(); ++u) {
                const auto to = column_offset(plan, request, columns, d, c.RATIO_CODE, plan.distinct_horizons[u]);
                if (to) {
                    plan.ratio_writes.push_back(
                        {*to, cell_index(i, plan.distinct_position[u], SUM_SLOT), static_cast<int32_t>(u)});
                }
            }
        }
    }

    plan.density_read = std::any_of(plan.cell_writes.begin(), plan.cell_writes.end(),
                                    [](const CellWrite& w) { return w.from % SLOT_COUNT == DENSITY_SLOT; });
    plan_row_image(plan, columns);

    // Feature-group ratio: the share of dim_group_id at the first requested
    // horizon (as given, not the first of the sorted list).
    const int32_t first_horizon = request.horizons[0];
    for (int32_t i = 0; i < D; ++i) {
        if (static_cast<int32_t>(plan.dim_values[i]) == request.dim_group_id) plan.group_dim = i;
    }
    for (size_t u = 0; u < plan.distinct_horizons.size(); ++u) {
        if (plan.distinct_horizons[u] == first_horizon) plan.first_horizon_position = plan.distinct_position[u];
    }
    for (int32_t j = 0; j < H; ++j) {
        if (plan.horizon_list[j] == first_horizon) plan.first_horizon_positions.push_back(j);
    }
    plan.group_ratio_to = column_offset(plan, request, columns, request.dim_group_id, c.RATIO_CODE, first_horizon);
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

void plan_split_shape(SplitPlan& plan, const FeatureRequest& request, const CodeTable& codes, Reporter& reporter) {
    // A failure leaves the values collected so far, none: the split goes on
    // without dimension values.
    run_or_report(reporter, routine::get_distinct_values, [&] { plan.dim_values = codes.distinct_values(); });
    plan.D = static_cast<int32_t>(plan.dim_values.size());

    plan.horizon_list = request.horizons;
    if (request.for_afe_columns) {
        std::sort(plan.horizon_list.begin(), plan.horizon_list.end());
        plan.horizon_list.erase(std::unique(plan.horizon_list.begin(), plan.horizon_list.end()),
                                plan.horizon_list.end());
    }
    plan.H = static_cast<int32_t>(plan.horizon_list.size());
}

void plan_split(SplitPlan& plan, const FeatureRequest& request, const CodeTable& codes,
                const ModuleConstants& constants, const ResultColumns& columns, bool has_date) {
    if (plan.H == 0) {
        throw Failure{ErrorKind::Value, routine::exec_for_split,
                      "horizons is empty: at least one horizon is needed to process a split"};
    }
    plan.constants = &constants;
    plan.resolution = request.resolution;
    plan.for_afe_columns = request.for_afe_columns;
    plan.has_date = has_date;

    plan.ratio_requested = has_operator(request.included_operators, constants.RATIO_CODE);
    plan.count_distinct_requested = has_operator(request.included_operators, constants.COUNT_DISTINCT_CODE);
    plan.mode_requested = has_operator(request.included_operators, constants.MODE_CODE);
    const bool by_code = plan.count_distinct_requested || plan.mode_requested;
    plan.restricted = request.for_afe_columns && !request.is_no_dim_col && !by_code;
    plan.group_only = plan.restricted && !plan.ratio_requested;

    plan_horizons(plan);
    plan_codes(plan, request, codes);
    plan_windows(plan.windows, plan.horizon_list, plan.list_position, plan.max_horizon, request.offset,
                 request.resolution);
    plan_ordered_windows(plan, request.offset);
    plan_row_writes(plan, request, columns);
}

}  // namespace dfbh
