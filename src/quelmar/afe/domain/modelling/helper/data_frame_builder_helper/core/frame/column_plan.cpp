// The engine's columns as the row writers' tables.
#include "core/frame/column_plan.hpp"

#include <algorithm>
#include <string>

#include "core/common/failure.hpp"
#include "core/rows/row_plan.hpp"

namespace dfbh {
namespace {

[[noreturn]] void refuse_column(size_t k, const std::string& why) {
    throw Failure{ErrorKind::Value, "compute_features", "columns[" + std::to_string(k) + "]: " + why};
}

bool among(const std::vector<int32_t>& values, int32_t value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

}  // namespace

void check_columns(const EngineRequest& request, const ModuleConstants& constants) {
    bool group_ratio = false;
    for (size_t k = 0; k < request.columns.size(); ++k) {
        const OutputColumn& column = request.columns[k];
        const bool ratio = column.op == constants.RATIO_CODE;
        if (!ratio && !constants.OPERATOR_SLOT_MAP.contains(column.op)) {
            refuse_column(k, "operator code " + std::to_string(column.op) + " is not an operator");
        }
        if (column.horizon != 0 && !among(request.horizons, column.horizon)) {
            refuse_column(k, "horizon " + std::to_string(column.horizon) + " is not among the horizons");
        }
        if (ratio && column.horizon == 0) refuse_column(k, "a ratio needs a horizon");
        if (ratio && request.group.on) {
            if (group_ratio) refuse_column(k, "feature-group mode writes one ratio column only");
            if (column.value != request.group.value) {
                refuse_column(k, "the feature-group ratio is the share of the group value " +
                                     std::to_string(request.group.value) + ", not of " + std::to_string(column.value));
            }
            group_ratio = true;
        }
    }
}

ScanSettings scan_settings_of(const EngineRequest& request, const ModuleConstants& constants) {
    ScanSettings settings;
    settings.offset = request.offset;
    settings.resolution = request.resolution;
    settings.group = request.group;
    for (const OutputColumn& column : request.columns) {
        settings.ratio |= column.op == constants.RATIO_CODE;
        settings.count_distinct |= column.op == constants.COUNT_DISTINCT_CODE;
        settings.mode |= column.op == constants.MODE_CODE;
    }
    return settings;
}

void plan_column_writes(SplitPlan& plan, const EngineRequest& request, const ResultColumns& columns) {
    const ModuleConstants& c = *plan.constants;
    const int32_t H = plan.H;
    bool outside = false;
    const int32_t smallest_position = plan.position_of(plan.min_horizon, &outside);
    auto cell_index = [H](int32_t dim, int32_t position, int32_t slot) {
        return (dim * H + position) * SLOT_COUNT + slot;
    };
    int32_t group_horizon = 0;
    for (size_t k = 0; k < request.columns.size(); ++k) {
        const OutputColumn& column = request.columns[k];
        const int64_t to = static_cast<int64_t>(k) * columns.stride;
        const int32_t dim = plan.dim_index_of(column.value);
        if (column.value == c.UNKNOWN_DIMENSION_VALUE || dim < 0) continue;
        const bool ratio = column.op == c.RATIO_CODE;
        if (ratio && request.group.on) {
            plan.group_ratio_to = to;
            group_horizon = column.horizon;
            continue;
        }
        if (plan.restricted && column.value != request.group.value) continue;
        if (ratio) {
            const auto u = std::lower_bound(plan.distinct_horizons.begin(), plan.distinct_horizons.end(),
                                            column.horizon) - plan.distinct_horizons.begin();
            plan.ratio_writes.push_back(
                {to, cell_index(dim, plan.distinct_position[u], SUM_SLOT), static_cast<int32_t>(u)});
        } else {
            const int32_t position = column.horizon == 0 ? smallest_position : plan.position_of(column.horizon, &outside);
            plan.cell_writes.push_back({to, cell_index(dim, position, c.slot_of(column.op))});
        }
    }
    finish_row_writes(plan, columns, request.group.value, group_horizon);
}

}  // namespace dfbh
