// The pass over an entity's targets, once for every way of keeping sums.
#include "core/sliding/sliding_scanner.hpp"

#include <algorithm>

#include "core/rules/scan_rules.hpp"

namespace dfbh {

SlidingScanner::SlidingScanner(const SplitPlan& plan)
    : plan_(plan), writer_(plan), windows_(plan), exact_(plan), fixed_(plan), prefix_(plan, windows_) {}

bool SlidingScanner::start_entity(const TransactionColumns& rows, int64_t first_target, int64_t last_target) {
    rows_.point_at(rows);
    started_ = false;
    if (!rows_.in_date_order()) return false;
    // Rows outside every window are never entered: they are neither
    // classified nor summed (sums are exact, so which rows decide the way
    // of summing changes no bit).
    const int32_t first = window_rows_first(first_target);
    const int32_t end = std::max(first, window_rows_end(last_target));
    FixedPoint point;
    const bool fixed_point = rows_.classify(plan_, first, end, &point);
    if (PrefixSums::fits(plan_, fixed_point)) {
        summation_ = Summation::prefix;
        prefix_.build(rows_, point);
    } else if (fixed_point) {
        summation_ = Summation::fixed;
        fixed_.addends().convert(rows_, point);
    } else {
        summation_ = Summation::exact;
    }
    return true;
}

// The first row the windows of a target at `target_date` can hold, and the
// end of its rows: the same searches as write's.
int32_t SlidingScanner::window_rows_first(int64_t target_date) const {
    const int64_t oldest_start = rules::window_start(plan_, target_date, plan_.H - 1);
    return rows_.skip(0, rows_.size(), [&](int64_t t) { return rules::before_start(t, oldest_start); });
}

int32_t SlidingScanner::window_rows_end(int64_t target_date) const {
    const int64_t end = rules::window_end(plan_, target_date);
    if (plan_.group.on) return rows_.skip(0, rows_.size(), [&](int64_t t) { return rules::not_after_end<true>(t, end); });
    return rows_.skip(0, rows_.size(), [&](int64_t t) { return rules::not_after_end<false>(t, end); });
}

void SlidingScanner::write(char* row, int64_t target_date) {
    switch (summation_) {
        case Summation::exact: return write_with(exact_, row, target_date);
        case Summation::fixed: return write_with(fixed_, row, target_date);
        case Summation::prefix: return write_with(prefix_, row, target_date);
    }
}

// Empties the windows, the sums of the way that filled them first.
void SlidingScanner::reset() {
    switch (kept_) {
        case Summation::exact: exact_.clear(windows_); break;
        case Summation::fixed: fixed_.clear(windows_); break;
        case Summation::prefix: prefix_.clear(windows_); break;
    }
    windows_.reset();
    kept_ = summation_;
}

template <class Sums>
void SlidingScanner::write_with(Sums& sums, char* row, int64_t target_date) {
    SlidingWindows& w = windows_;
    const int32_t n = rows_.size(), largest = plan_.H - 1;
    const bool group_mode = plan_.group.on;
    // Where the windows of this target begin and end.
    const int64_t end = rules::window_end(plan_, target_date);
    const int32_t hi =
        rows_.skip(started_ ? w.hi : 0, n, [&](int64_t t) { return rules::not_after_end(t, end, group_mode); });
    const int64_t oldest_start = rules::window_start(plan_, target_date, largest);
    const int32_t oldest = rows_.skip(started_ ? w.lo[static_cast<size_t>(largest)] : 0, hi,
                                      [&](int64_t t) { return rules::before_start(t, oldest_start); });

    if (!started_ || oldest >= w.hi) {
        // Nothing of the last target's windows stays: start afresh, each row
        // entering once.
        reset();
        started_ = true;
        int32_t i = oldest;
        for (int32_t j = largest; j >= 0; --j) {
            const int64_t start = rules::window_start(plan_, target_date, j);
            const int32_t next = rows_.skip(i, hi, [&](int64_t t) { return rules::before_start(t, start); });
            // Rows between the starts of positions j + 1 and j go to ring j + 1.
            if (Sums::kRings) sums.enter(w, rows_, i, next, j + 1);
            i = next;
            w.lo[static_cast<size_t>(j)] = next;
        }
        sums.enter(w, rows_, Sums::kRings ? i : oldest, hi, 0);
    } else {
        sums.enter(w, rows_, w.hi, hi, 0);
        // Each window's start passes rows oldest first: the dates column
        // read backwards, by a byte offset kept in a local.
        const char* const dates = rows_.columns().date;
        const int64_t stride = rows_.columns().date_stride;
        for (int32_t j = 0; j <= largest; ++j) {
            const int64_t start = rules::window_start(plan_, target_date, j);
            int32_t l = w.lo[static_cast<size_t>(j)];
            for (int64_t at = rows_.offset(l, stride); l < hi && rules::before_start(load<int64_t>(dates + at), start);
                 at -= stride) {
                sums.cross(w, rows_, l++, j);
            }
            w.lo[static_cast<size_t>(j)] = l;
        }
    }
    w.hi = hi;
    w.seen.clear();
    sums.fill(w, rows_, target_date);
    if (w.counts_codes) w.write_code_statistics(plan_);
    writer_.write_row(w.buffer(), row, w.seen.data(), static_cast<int32_t>(w.seen.size()));
}

}  // namespace dfbh
