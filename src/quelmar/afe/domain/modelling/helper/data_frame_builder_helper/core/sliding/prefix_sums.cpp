// Building the running totals and reading windows out of them.
#include "core/sliding/prefix_sums.hpp"

#include <algorithm>

namespace dfbh {

PrefixSums::PrefixSums(const SplitPlan& plan, const SlidingWindows& windows)
    : plan_(plan),
      enter_([&windows] {
          static constexpr EnterRows loops[8] = {
              &PrefixSums::enter_rows<false, false, false>, &PrefixSums::enter_rows<false, false, true>,
              &PrefixSums::enter_rows<false, true, false>,  &PrefixSums::enter_rows<false, true, true>,
              &PrefixSums::enter_rows<true, false, false>,  &PrefixSums::enter_rows<true, false, true>,
              &PrefixSums::enter_rows<true, true, false>,   &PrefixSums::enter_rows<true, true, true>,
          };
          return loops[(windows.min_read ? 4 : 0) + (windows.max_read ? 2 : 0) + (windows.spans_read ? 1 : 0)];
      }()) {}

// The totals stay in vector registers, two sums or four counts to each:
// every value's total takes each row's quantity masked by whether the row
// is of that value, so that nothing is stored and read back within a row
// (a narrow store read back by a wide load stalls) and no branch depends on
// the row's value. The masks of the sums come from a table by value (the
// baseline instruction set compares 64-bit lanes in several steps). The
// rows with a cell sum to less than 2^62 (see FixedPoint), so no total
// overflows.
template <int D>
void PrefixSums::build_of(const EntityRows& rows) {
    using Sums = int64_t __attribute__((vector_size(16)));
    using Counts = int32_t __attribute__((vector_size(16)));
    // The same, stored anywhere in the arrays of totals.
    using SumsAt = int64_t __attribute__((vector_size(16), aligned(8), may_alias));
    using CountsAt = int32_t __attribute__((vector_size(16), aligned(4), may_alias));
    constexpr int kSums = (D + 1) / 2, kCounts = (D + 3) / 4;
    const int32_t n = rows.size(), first = rows.first(), end = rows.end();
    // Each row's totals are stored as whole vectors, the next row's
    // overwriting what lies past D: the last row's need room past the end.
    sum_.resize((static_cast<size_t>(n) + 1) * D + 2 * kSums);
    count_.resize((static_cast<size_t>(n) + 1) * D + 4 * kCounts);
    // Totals from the first row the windows can hold: a window's Sum and
    // Frequency are differences of two of them.
    int64_t* sum = sum_.data() + static_cast<size_t>(first) * D;
    int32_t* count = count_.data() + static_cast<size_t>(first) * D;
    // Row d's masks at [d + 1]; a row without a cell (d < 0) reads the
    // zeros at [0] (it has no quantity either: v is 0).
    Sums sum_mask[D + 1][kSums], sums[kSums];
    Counts count_value[kCounts], counts[kCounts];
    for (int d = -1; d < D; ++d) {
        for (int k = 0; k < kSums; ++k) sum_mask[d + 1][k] = Sums{-(2 * k == d), -(2 * k + 1 == d)};
    }
    for (int k = 0; k < kSums; ++k) sums[k] = Sums{0, 0};
    for (int k = 0; k < kCounts; ++k) {
        count_value[k] = Counts{4 * k, 4 * k + 1, 4 * k + 2, 4 * k + 3};
        counts[k] = Counts{0, 0, 0, 0};
    }
    // Locals: see entity_rows.cpp.
    const int32_t* const row_dim = rows.dims();
    const char* const quantities = rows.columns().quantity;
    const int64_t quantity_stride = rows.columns().quantity_stride;
    const FixedPoint point = point_;
    int64_t quantity_at = rows.offset(first, quantity_stride);
    for (int32_t i = first;; ++i, sum += D, count += D, quantity_at -= quantity_stride) {
        for (int k = 0; k < kSums; ++k) *reinterpret_cast<SumsAt*>(sum + 2 * k) = sums[k];
        for (int k = 0; k < kCounts; ++k) *reinterpret_cast<CountsAt*>(count + 4 * k) = counts[k];
        if (i == end) break;
        const int32_t d = row_dim[i];  // no lane matches a row without a cell
        const int64_t v = d >= 0 ? point.of(load<float>(quantities + quantity_at)) : 0;
        const Sums* const mask = sum_mask[std::max(d, -1) + 1];
        for (int k = 0; k < kSums; ++k) sums[k] += mask[k] & v;
        // A comparison of vectors gives -1 in the lanes where it holds.
        for (int k = 0; k < kCounts; ++k) counts[k] -= count_value[k] == d;
    }
}

void PrefixSums::build(const EntityRows& rows, const FixedPoint& point) {
    point_ = point;
    static_assert(kValuesMax == 8, "one case per value count");
    switch (plan_.D) {
        case 1: build_of<1>(rows); break;
        case 2: build_of<2>(rows); break;
        case 3: build_of<3>(rows); break;
        case 4: build_of<4>(rows); break;
        case 5: build_of<5>(rows); break;
        case 6: build_of<6>(rows); break;
        case 7: build_of<7>(rows); break;
        case 8: build_of<8>(rows); break;
        default: break;  // no value has a cell: no total is read
    }
}

template <bool kMin, bool kMax, bool kRows>
void PrefixSums::enter_rows(SlidingWindows& w, const EntityRows& rows, int32_t from, int32_t to) {
    // Locals: see entity_rows.cpp.
    const int32_t* const row_dim = rows.dims();
    const char* const quantities = rows.columns().quantity;
    const int64_t quantity_stride = rows.columns().quantity_stride;
    ValueRows* const values = w.values.data();
    int64_t quantity_at = rows.offset(from, quantity_stride);
    for (int32_t i = from; i < to; ++i, quantity_at -= quantity_stride) {
        const int32_t d = row_dim[i];
        if (d < 0) continue;
        const float q = load<float>(quantities + quantity_at);
        ValueRows& s = values[d];
        if (!s.touched) w.touch(d);
        if (kRows) s.rows.push(i, q);
        if (kMin) s.min_queue.push_extreme<false>(i, q);
        if (kMax) s.max_queue.push_extreme<true>(i, q);
    }
}

// Sum and Frequency from the totals at the windows' ends, Min and Max from
// the queues by row number (rows before a window's start never count,
// whatever the queue holds).
void PrefixSums::fill(SlidingWindows& w, const EntityRows& rows, int64_t target_date) {
    const int64_t unit = plan_.windows.unit_ms;
    const int32_t H = plan_.H;
    const size_t D = static_cast<size_t>(plan_.D);
    const int64_t* sum_end = sum_.data() + static_cast<size_t>(w.hi) * D;
    const int32_t* count_end = count_.data() + static_cast<size_t>(w.hi) * D;
    const int32_t oldest = w.lo[static_cast<size_t>(H) - 1];
    for (int32_t d : w.touched) {
        ValueRows& s = w.values[static_cast<size_t>(d)];
        const size_t at = static_cast<size_t>(d);
        float* const cells = w.cells(d);
        if (count_end[at] - count_[static_cast<size_t>(oldest) * D + at] == 0) {
            w.clear_cells(d);
            continue;
        }
        w.seen.push_back(d);
        w.settle(s);
        float span_first = w.nan, span_last = w.nan;
        if (w.spans_read) {
            while (s.rows.items[s.rows.head].row < oldest) ++s.rows.head;
            span_first = span_in_units(unit, target_date, rows.date(s.rows.items[s.rows.head].row));
            span_last = span_in_units(unit, target_date, rows.date(s.rows.back().row));
        }
        for (int32_t j = 0; j < H; ++j) {
            const int32_t from = w.lo[static_cast<size_t>(j)];
            const int64_t count = count_end[at] - count_[static_cast<size_t>(from) * D + at];
            const int64_t fixed = count ? sum_end[at] - sum_[static_cast<size_t>(from) * D + at] : 0;
            w.write_window(cells + static_cast<size_t>(j) * SLOT_COUNT, s, j, from, count, point_.sum(fixed), 0.0f,
                           span_first, span_last);
        }
    }
}

}  // namespace dfbh
