// One worker's scanners over one plan: a target's row from its entity's
// rows (newest first, as prepared), by the sliding scanner where the plan's
// windows allow and by the newest-first scan otherwise. Both the target loop
// and the store's targets (record_targets.hpp) write rows through it, so
// that a target gets the same bits whichever computes it.
#pragma once

#include <cstdint>
#include <memory>

#include "core/aggregation/scan.hpp"
#include "core/common/failure.hpp"
#include "core/common/views.hpp"
#include "core/plan/plan.hpp"
#include "core/sliding/sliding_scanner.hpp"

namespace dfbh {

// Keeps the failures of one worker with the target each belongs to: the
// failure of the lowest target is the one a computation raises.
class CollectingReporter final : public Reporter {
public:
    void report(const Failure& failure) override {
        if (!first_ || target_ < first_target_) {
            first_.reset(new Failure(failure));
            first_target_ = target_;
        }
    }
    void set_target(int64_t target) { target_ = target; }
    const Failure* first() const { return first_.get(); }
    int64_t first_target() const { return first_target_; }
    void clear() { first_.reset(); }

private:
    std::unique_ptr<Failure> first_;
    int64_t first_target_ = 0;
    int64_t target_ = 0;
};

// Whether a target's row is set to NaN before it is written: with
// `fill_nan`, the row of an entity without rows (nothing else writes it) or
// a row the writer does not fill.
inline bool nan_first(bool fill_nan, bool writer_fills_row, int64_t n_rows) {
    return fill_nan && (n_rows == 0 || !writer_fills_row);
}

class TargetWriter {
public:
    // The sliding scanner exists only for a plan with ordered windows.
    // Failures go to `reporter`, which outlives the writer (the row writers'
    // destructors order their stores past the caches on the thread that
    // made them, so a worker's writer ends with the worker).
    TargetWriter(const SplitPlan& plan, CollectingReporter& reporter);
    TargetWriter(const TargetWriter&) = delete;
    TargetWriter& operator=(const TargetWriter&) = delete;

    // The next entity: its rows (at least one) and the first and last of
    // the dates of its targets to come; `target` is the first of them.
    void start_entity(const TransactionColumns& rows, int64_t first_date, int64_t last_date, int64_t target);

    // The row of `target` of the current entity at `date` (dates in
    // non-decreasing order since start_entity); `row_numbers` holds 0, 1,
    // 2, ... for each of the entity's rows.
    void write(int64_t target, int64_t date, float* row, const int32_t* row_numbers) {
        if (in_order_ && ordered_windows_fit(plan_, date)) {
            reporter_.set_target(target);
            run_or_report(reporter_, kRoutine, [&] { sliding_->write(reinterpret_cast<char*>(row), date); });
        } else {
            scan(target, date, rows_, row, row_numbers);
        }
    }

    // A target from scratch: the newest-first scan of `rows`.
    void scan(int64_t target, int64_t date, const TransactionColumns& rows, float* row, const int32_t* row_numbers);

private:
    // The routine a failure inside a target's scan is reported under.
    static constexpr const char* kRoutine = "compute_features";

    const SplitPlan& plan_;
    CollectingReporter& reporter_;
    EntityScanner scanner_;
    std::unique_ptr<SlidingScanner> sliding_;
    TransactionColumns rows_;  // the current entity's
    bool in_order_ = false;    // its rows are in date order, for the sliding scanner
};

}  // namespace dfbh
