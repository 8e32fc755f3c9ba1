// Checks of `execute`'s converted arguments before anything is written:
// every index the split loop would follow that can be checked without
// scanning transactions.
#pragma once

#include "core/split/split_loop.hpp"

namespace dfbh {

// Throws Failure (raised by `execute`) for: empty horizons when splits has
// rows; an entity index outside target_dates or a result row outside
// result_frame at any position of a split; a column index of
// column_name_map outside result_frame; a `None` transaction array that
// would be read, or a column index outside its array, once any entity lists
// transactions.
void check_execute_args(const ExecuteArgs& args);

}  // namespace dfbh
