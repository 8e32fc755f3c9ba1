// The engine's request: one (dimension value, operator, horizon) per result
// column, the windows and the feature-group option, and the split plan
// built from it without any column key.
#pragma once

#include <cstdint>
#include <vector>

#include "core/common/request.hpp"
#include "core/plan/plan.hpp"

namespace dfbh {

// What column i of the result holds: operator `op` (an AfeOperator code)
// over the transactions whose dimension code maps to `value`, within the
// window of `horizon` units. Horizon 0 asks for a per-dimension value, read
// at the smallest horizon. The unknown dimension value is never written.
struct OutputColumn {
    int32_t value = 0;
    int32_t op = 0;
    int32_t horizon = 0;
};

struct EngineRequest {
    std::vector<OutputColumn> columns;  // one per column of the result, in order
    std::vector<int32_t> horizons;      // any order; the plan takes them ascending, once each
    int32_t offset = 0;
    int32_t resolution = 0;
    OrderedMap<int16_t, int16_t> index_map;  // dimension code -> value
    FeatureGroup group;  // a Ratio column there is the group value's share at its horizon
};

// Throws Failure (ValueError) for a column whose operator code is neither
// an aggregate's nor Ratio's, whose horizon is neither 0 nor among the
// horizons, a Ratio column without a horizon, or a second Ratio column in
// feature-group mode.
void check_columns(const EngineRequest& request, const ModuleConstants& constants);

// The scan settings the columns ask for.
ScanSettings scan_settings_of(const EngineRequest& request, const ModuleConstants& constants);

// The row writers' tables: each column written from its cell, found by
// value, operator and horizon. After plan_scan.
void plan_column_writes(SplitPlan& plan, const EngineRequest& request, const ResultColumns& columns);

}  // namespace dfbh
