// The engine's checks and its grouping of targets by entity.
#include "core/frame/target_tasks.hpp"

#include <limits>
#include <numeric>
#include <string>

#include "core/common/failure.hpp"

namespace dfbh {
namespace {

[[noreturn]] void refuse(std::string message) {
    throw Failure{ErrorKind::Value, "compute_features", std::move(message)};
}

void check_arrays(const EnginePlan& plan, const TargetCall& call) {
    const int64_t n_rows = call.dates.n;
    if (call.quantities.n != n_rows || call.codes.n != n_rows) {
        refuse("the prepared columns differ in length: dates " + std::to_string(n_rows) + ", quantities " +
               std::to_string(call.quantities.n) + ", codes " + std::to_string(call.codes.n));
    }
    if (n_rows > std::numeric_limits<int32_t>::max()) {
        refuse("more than 2**31 - 1 transactions (" + std::to_string(n_rows) + ") cannot be addressed");
    }
    if (call.target_dates.n != call.n_targets) {
        refuse("target dates and target entity codes differ in length: " + std::to_string(call.target_dates.n) +
               " and " + std::to_string(call.n_targets));
    }
    if (plan.n_columns() != call.n_columns) {
        refuse("columns describes " + std::to_string(plan.n_columns()) + " columns, out has " +
               std::to_string(call.n_columns));
    }
}

std::vector<int64_t> checked_offsets(const TargetCall& call) {
    const View1<int64_t>& offsets = call.offsets;
    if (offsets.n < 1) refuse("offsets must hold n_entities + 1 entries, at least one");
    std::vector<int64_t> copy(static_cast<size_t>(offsets.n));
    int64_t previous = 0;
    for (int64_t e = 0; e < offsets.n; ++e) {
        const int64_t value = offsets.get(e);
        if (value < previous) {
            refuse("offsets must be non-decreasing from 0: offsets[" + std::to_string(e) + "] = " +
                   std::to_string(value) + " is below " + std::to_string(previous));
        }
        copy[static_cast<size_t>(e)] = previous = value;
    }
    if (previous > call.dates.n) {
        refuse("offsets reach row " + std::to_string(previous) + ", beyond the " + std::to_string(call.dates.n) +
               " transaction rows");
    }
    return copy;
}

// A counting sort, so O(targets + entities). Checks every entity code on
// the way.
std::vector<Task> tasks_by_entity(const TargetCall& call, int64_t n_entities) {
    const InputColumn& column = call.target_entities;
    const int64_t n = call.n_targets;
    std::vector<int64_t> entity_of(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        const char* p = column.base + i * column.stride;
        int64_t e = column.itemsize == 8 ? load<int64_t>(p) : load<int32_t>(p);
        if (e >= n_entities) {
            refuse("target entity code " + std::to_string(e) + " at position " + std::to_string(i) +
                   " is beyond the " + std::to_string(n_entities) + " entities of offsets");
        }
        entity_of[static_cast<size_t>(i)] = e < 0 ? -1 : e;
    }
    // Bucket 0 holds the targets without an entity, bucket e + 1 entity e.
    std::vector<int64_t> start(static_cast<size_t>(n_entities) + 2, 0);
    for (int64_t e : entity_of) ++start[static_cast<size_t>(e + 2)];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<Task> tasks(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        const int64_t e = entity_of[static_cast<size_t>(i)];
        tasks[static_cast<size_t>(start[static_cast<size_t>(e + 1)]++)] = Task{i, e};
    }
    return tasks;
}

}  // namespace

CheckedTargets check_targets(const EnginePlan& plan, const TargetCall& call) {
    check_arrays(plan, call);
    CheckedTargets checked;
    checked.offsets = checked_offsets(call);
    checked.tasks = tasks_by_entity(call, static_cast<int64_t>(checked.offsets.size()) - 1);
    return checked;
}

}  // namespace dfbh
