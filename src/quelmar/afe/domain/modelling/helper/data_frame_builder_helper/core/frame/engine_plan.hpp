// The engine's plan of a request, made once and then only read: by one
// compute_features call, or by every call a store makes over its life, from
// any number of threads at once.
#pragma once

#include <cstdint>
#include <memory>

#include "core/frame/column_plan.hpp"
#include "core/plan/plan.hpp"

namespace dfbh {

class EnginePlan {
public:
    // Checks `request` (throws Failure, ValueError: no horizon, an unknown
    // resolution, a column that check_columns refuses) and plans it: one
    // result column per request column, the transactions' dates in a column
    // of their own. `result_bytes` is the size of the result the plan is made
    // for (see for_result). `constants` must outlive the plan.
    EnginePlan(EngineRequest request, const ModuleConstants& constants, bool empty_statistic_nan,
               int64_t result_bytes);
    EnginePlan(const EnginePlan&) = delete;
    EnginePlan& operator=(const EnginePlan&) = delete;

    const EngineRequest& request() const { return request_; }
    const ModuleConstants& constants() const { return *constants_; }
    int64_t n_columns() const { return static_cast<int64_t>(request_.columns.size()); }
    // Whether the row writer stores every column of a row, so that a row
    // needs no NaN first.
    bool writer_fills_row() const { return fills_row_; }

    // The split plan to write a result of `bytes` with. Rows written through
    // an image go past the caches when the result is far larger than they
    // are; a plan made for a smaller result gives a copy for that in
    // `*copy` (the copy costs next to nothing beside such a result).
    const SplitPlan& for_result(int64_t bytes, std::unique_ptr<SplitPlan>* copy) const;
    const SplitPlan& split() const { return plan_; }

private:
    EngineRequest request_;
    const ModuleConstants* constants_;
    SplitPlan plan_;
    bool fills_row_ = false;
};

}  // namespace dfbh
