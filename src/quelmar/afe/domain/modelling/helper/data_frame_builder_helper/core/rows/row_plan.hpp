// The row writers' tables: which aggregate of the buffer goes to which
// column of a result row. `execute` finds its columns through
// column_name_map; the engine names each column's cell itself and finishes
// with the same step.
#pragma once

#include <cstdint>

#include "core/common/request.hpp"
#include "core/plan/plan.hpp"

namespace dfbh {

// The row writers' tables of `execute`'s request, whose columns are found
// through column_name_map.
void plan_row_writes(SplitPlan& plan, const FeatureRequest& request, const ResultColumns& columns);

// What every set of row writes needs once plan.cell_writes, ratio_writes
// and the feature-group ratio's column are known: the moves, the row image
// and the prefetch lines. The group ratio is `group_value`'s share at
// horizon `first_horizon`.
void finish_row_writes(SplitPlan& plan, const ResultColumns& columns, int32_t group_value, int32_t first_horizon);

// Whether a finished plan writes the rows of a result of `bytes` past the
// caches (its row image with stores that bypass them), and the switch of a
// finished plan to another such result, its prefetch lines with it.
bool streams_result(const SplitPlan& plan, int64_t bytes);
void set_streaming(SplitPlan& plan, bool stream);

}  // namespace dfbh
