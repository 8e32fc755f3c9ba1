// Window sums as differences of running totals, for an entity whose sums
// fit the fixed point, without code statistics and with few values: row
// i's totals hold each value's integer sum and count of the rows before it,
// so a window's Sum and Frequency are two subtractions and a row leaving a
// window costs nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "core/plan/plan.hpp"
#include "core/sliding/entity_rows.hpp"
#include "core/sliding/sliding_windows.hpp"

namespace dfbh {

class PrefixSums {
public:
    // The most values this way takes: their totals of a row stay in vector
    // registers while they are built.
    static constexpr int32_t kValuesMax = 8;

    explicit PrefixSums(const SplitPlan& plan, const SlidingWindows& windows);

    // Whether an entity with these sums is summed this way.
    static bool fits(const SplitPlan& plan, bool fixed_point) {
        return fixed_point && !plan.counts_codes() && plan.D <= kValuesMax;
    }
    // The totals of the rows any window of the entity's targets can hold.
    void build(const EntityRows& rows, const FixedPoint& point);

    // Without rings every row enters alike: the rows of a fresh start
    // enter all at once, not window by window.
    static constexpr bool kRings = false;
    // Rows [from, to) enter the windows.
    void enter(SlidingWindows& w, const EntityRows& rows, int32_t from, int32_t to, int32_t) {
        (this->*enter_)(w, rows, from, to);
    }
    // A row leaving a window changes no total.
    void cross(SlidingWindows&, const EntityRows&, int32_t, int32_t) {}
    void fill(SlidingWindows& w, const EntityRows& rows, int64_t target_date);
    void clear(const SlidingWindows&) {}

private:
    template <int D>
    void build_of(const EntityRows& rows);
    // The entering rows go to the queues some write reads: Min's, Max's, and
    // the rows' own, read for the time-since spans only (no quantity with a
    // cell is NaN here).
    template <bool kMin, bool kMax, bool kRows>
    void enter_rows(SlidingWindows& w, const EntityRows& rows, int32_t from, int32_t to);
    using EnterRows = void (PrefixSums::*)(SlidingWindows&, const EntityRows&, int32_t, int32_t);

    const SplitPlan& plan_;
    const EnterRows enter_;
    FixedPoint point_;
    // Row i's totals at [i * D, (i + 1) * D), i = 0..n (n: of all rows).
    std::vector<int64_t> sum_;
    std::vector<int32_t> count_;
};

}  // namespace dfbh
