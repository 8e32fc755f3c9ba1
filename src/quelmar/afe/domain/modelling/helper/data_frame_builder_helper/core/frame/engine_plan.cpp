// Making the engine's plan: the request's checks, then the split plan with
// its row writers' tables.
#include "core/frame/engine_plan.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/common/failure.hpp"
#include "core/plan/windows.hpp"
#include "core/rows/row_plan.hpp"

namespace dfbh {
namespace {

// Keeps the first failure a planning step reports.
class FirstFailure final : public Reporter {
public:
    void report(const Failure& failure) override {
        if (!failure_) failure_.reset(new Failure(failure));
    }
    const Failure* first() const { return failure_.get(); }

private:
    std::unique_ptr<Failure> failure_;
};

[[noreturn]] void refuse(std::string message) {
    throw Failure{ErrorKind::Value, "compute_features", std::move(message)};
}

// Without ratio cells (written only for a positive total) every write of
// fill_row is unconditional: a row whose every column some write reaches
// needs no NaN first.
bool fills_every_column(const SplitPlan& plan, int64_t n_columns) {
    if (plan.ratio_requested) return false;
    std::vector<char> written(static_cast<size_t>(n_columns), 0);
    for (const CellWrite& w : plan.cell_writes) written[static_cast<size_t>(w.to / sizeof(float))] = 1;
    return std::find(written.begin(), written.end(), 0) == written.end();
}

}  // namespace

EnginePlan::EnginePlan(EngineRequest request, const ModuleConstants& constants, bool empty_statistic_nan,
                       int64_t result_bytes)
    : request_(std::move(request)), constants_(&constants) {
    if (request_.horizons.empty()) refuse("horizons must not be empty");
    if (unit_ms_of(request_.resolution) == 0) {
        refuse("resolution must be a code 0 to 5, got " + std::to_string(request_.resolution));
    }
    check_columns(request_, constants);

    FirstFailure reporter;
    CodeTable codes(request_.index_map);
    plan_split_shape(plan_, request_.horizons, true, codes, reporter);
    if (reporter.first()) throw *reporter.first();
    const ResultColumns columns{sizeof(float), n_columns(), result_bytes};
    plan_scan(plan_, scan_settings_of(request_, constants), codes, constants, true);
    plan_column_writes(plan_, request_, columns);
    if (empty_statistic_nan) plan_.empty_statistic = constants.FLOAT32_NAN;
    fills_row_ = fills_every_column(plan_, n_columns());
}

const SplitPlan& EnginePlan::for_result(int64_t bytes, std::unique_ptr<SplitPlan>* copy) const {
    const bool stream = streams_result(plan_, bytes);
    if (stream == plan_.image.stream) return plan_;
    copy->reset(new SplitPlan(plan_));
    set_streaming(**copy, stream);
    return **copy;
}

}  // namespace dfbh
