// Split worker and time windows (placeholder until the computation lands).
#include "core.hpp"

namespace dfbh {
void run_splits(ExecuteArgs&, Host&) {}
}  // namespace dfbh
