// The row writers: store a finished aggregate buffer into one result row
// through the plan's write tables.
#pragma once

#include <vector>

#include "plan.hpp"

namespace dfbh {

// The set-one and set-two cells, then outside feature-group mode each
// dimension value's share of the horizon's total Sum. `horizon_totals` is
// scratch with one entry per distinct horizon.
void fill_row(const SplitPlan& plan, const float* buffer, char* row, std::vector<float>& horizon_totals);

// Feature-group mode with Ratio: dim_group_id's share of the total Sum at
// the first requested horizon, the row's only cell.
void fill_row_for_ratio_column(const SplitPlan& plan, const float* buffer, char* row);

}  // namespace dfbh
