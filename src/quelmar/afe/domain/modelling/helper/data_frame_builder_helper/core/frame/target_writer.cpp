// A worker's choice of scanner per target.
#include "core/frame/target_writer.hpp"

namespace dfbh {

TargetWriter::TargetWriter(const SplitPlan& plan, CollectingReporter& reporter)
    : plan_(plan),
      reporter_(reporter),
      scanner_(plan, TransactionColumns{}, reporter_),
      sliding_(plan.ordered_windows ? new SlidingScanner(plan) : nullptr) {}

void TargetWriter::start_entity(const TransactionColumns& rows, int64_t first_date, int64_t last_date,
                                int64_t target) {
    rows_ = rows;
    in_order_ = false;
    if (!sliding_) return;
    reporter_.set_target(target);
    run_or_report(reporter_, kRoutine, [&] { in_order_ = sliding_->start_entity(rows, first_date, last_date); });
}

void TargetWriter::scan(int64_t target, int64_t date, const TransactionColumns& rows, float* row,
                        const int32_t* row_numbers) {
    const View1<int32_t> numbers{reinterpret_cast<char*>(const_cast<int32_t*>(row_numbers)), rows.n_rows,
                                 static_cast<int64_t>(sizeof(int32_t))};
    scanner_.set_transactions(rows);
    reporter_.set_target(target);
    run_or_report(reporter_, kRoutine, [&] { scanner_.scan_and_write(reinterpret_cast<char*>(row), date, numbers); });
}

}  // namespace dfbh
