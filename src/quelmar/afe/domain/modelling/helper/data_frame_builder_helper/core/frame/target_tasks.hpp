// The checks of a target call and its targets grouped by entity: what the
// target loop relies on before anything is written.
#pragma once

#include <cstdint>
#include <vector>

#include "core/frame/target_loop.hpp"

namespace dfbh {

// One target to compute: its result row and its entity (-1: none).
struct Task {
    int64_t target;
    int64_t entity;
};

struct CheckedTargets {
    // A copy of the caller's offsets: the checks then hold for the whole
    // call, whatever another thread does to the caller's array meanwhile.
    std::vector<int64_t> offsets;
    // Grouped by entity, targets without an entity first; within an entity
    // in target order.
    std::vector<Task> tasks;
};

// Throws Failure (ValueError) for what compute_targets refuses; see there.
CheckedTargets check_targets(const EnginePlan& plan, const TargetCall& call);

}  // namespace dfbh
