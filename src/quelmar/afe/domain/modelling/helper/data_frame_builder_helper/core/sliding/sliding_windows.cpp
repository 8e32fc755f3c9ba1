// The windows' state shared by every way of keeping their sums.
#include "core/sliding/sliding_windows.hpp"

namespace dfbh {

rules::StatisticValues WindowCodes::at(const SplitPlan& plan, int32_t j) const {
    const int32_t distinct = distinct_[static_cast<size_t>(j)];
    if (distinct == 0) return rules::statistics_of(plan, 0, 0);
    const auto& counts = counts_[static_cast<size_t>(j)];
    int32_t best = rules::mode_key(0, 0);
    for (int8_t c : codes_) best = std::max(best, rules::mode_key(counts[code_slot(c)], c));
    return rules::statistics_of(plan, distinct, rules::mode_of_key(best));
}

void WindowCodes::reset() {
    for (int8_t c : codes_) {
        for (auto& counts : counts_) counts[code_slot(c)] = 0;
        present_[code_slot(c)] = false;
    }
    codes_.clear();
    std::fill(distinct_.begin(), distinct_.end(), 0);
}

SlidingWindows::SlidingWindows(const SplitPlan& plan)
    : lo(static_cast<size_t>(plan.H), 0),
      values(static_cast<size_t>(plan.D)),
      codes(plan.H, plan.counts_codes()),
      counts_codes(plan.counts_codes()),
      min_read(plan.reads(MIN_SLOT)),
      max_read(plan.reads(MAX_SLOT)),
      density_read(plan.reads(DENSITY_SLOT)),
      spans_read(plan.reads(TIME_SINCE_FIRST_SLOT) || plan.reads(TIME_SINCE_LAST_SLOT)),
      nan(plan.constants->FLOAT32_NAN),
      H_(plan.H),
      buffer_(static_cast<size_t>(plan.D + 1) * plan.H * SLOT_COUNT, nan) {
    for (ValueRows& s : values) {
        s.min_queue.cursor.assign(static_cast<size_t>(H_), 0);
        s.max_queue.cursor.assign(static_cast<size_t>(H_), 0);
    }
}

void SlidingWindows::write_code_statistics(const SplitPlan& plan) {
    rules::write_code_statistics(plan, buffer_.data(), seen.data(), static_cast<int32_t>(seen.size()),
                                 [&](int32_t p) { return codes.at(plan, p); });
}

void SlidingWindows::reset() {
    for (int32_t d : touched) {
        ValueRows& s = values[static_cast<size_t>(d)];
        s.rows.clear();
        s.min_queue.clear();
        s.max_queue.clear();
        s.touched = false;
        clear_cells(d);
    }
    touched.clear();
    codes.reset();
}

}  // namespace dfbh
