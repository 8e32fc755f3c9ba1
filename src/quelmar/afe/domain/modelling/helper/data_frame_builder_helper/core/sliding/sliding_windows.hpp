// What the windows of the current target hold, whichever way their sums
// are kept (ring_sums.hpp, prefix_sums.hpp): the row range of each window,
// per dimension value its rows in the largest window and the monotonic
// queues of its Min and Max, per position the codes counted, and the cells
// the row writer reads.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/plan/plan.hpp"
#include "core/rules/scan_rules.hpp"

namespace dfbh {

struct QueueEntry {
    int32_t row;
    float q;
};

// Rows of one value in the largest window, oldest first, as a queue whose
// front moves on as rows leave. Items [0, size) are the queue; the storage
// only grows, so that appending is a store and a count (the storage's own
// bookkeeping would be redone for every row).
struct RowQueue {
    std::vector<QueueEntry> items;
    size_t size = 0;
    size_t head = 0;
    // The fewest items the queue held since the last target was written: a
    // cursor past it may point at a row that came since.
    size_t low_water = 0;
    // Per position: no item before it is in that position's window (the
    // windows' oldest rows only move forward, so neither do these once
    // settled).
    std::vector<size_t> cursor;

    const QueueEntry& back() const { return items[size - 1]; }
    // Appends in place: an entry built aside and copied as one 8-byte word
    // stalls on the forwarding of its two 4-byte stores.
    void push(int32_t row, float q) {
        if (size == items.size()) items.resize(std::max<size_t>(64, 2 * items.size()));
        QueueEntry& e = items[size++];
        e.row = row;
        e.q = q;
    }
    // Appends as a monotonic queue: a row older and no smaller (kMax: no
    // larger) than a newer one is never the window's Min (Max) while that
    // one is in, so it goes.
    template <bool kMax>
    void push_extreme(int32_t row, float q) {
        size_t n = size;
        const QueueEntry* const e = items.data();
        if (kMax) {
            while (n > head && e[n - 1].q <= q) --n;
        } else {
            while (n > head && e[n - 1].q >= q) --n;
        }
        low_water = std::min(low_water, n);
        size = n;
        push(row, q);
    }
    // Brings every cursor back to the items that stayed since the last
    // target, and past those that left at the front.
    void settle() {
        for (size_t& k : cursor) k = std::max(std::min(k, low_water), head);
        low_water = size;
    }
    void clear() {
        size = 0;
        head = 0;
        low_water = 0;
        std::fill(cursor.begin(), cursor.end(), size_t{0});
    }
};

struct ValueRows {
    RowQueue rows, min_queue, max_queue;
    bool touched = false;
};

// Per position, the accepted rows in its window by code, and the number of
// distinct codes among them.
class WindowCodes {
public:
    explicit WindowCodes(int32_t H, bool used) : counts_(used ? static_cast<size_t>(H) : 0), distinct_(H, 0) {
        for (auto& counts : counts_) counts.fill(0);
    }
    // Code c enters the windows of positions from..H-1.
    void enter(int8_t c, int32_t from) {
        const size_t slot = code_slot(c);
        if (!present_[slot]) {
            present_[slot] = true;
            codes_.push_back(c);
        }
        for (size_t j = static_cast<size_t>(from); j < counts_.size(); ++j) {
            distinct_[j] += counts_[j][slot] == 0;
            ++counts_[j][slot];
        }
    }
    // Code c leaves position j's window.
    void leave(int8_t c, int32_t j) {
        int32_t& n = counts_[static_cast<size_t>(j)][code_slot(c)];
        distinct_[static_cast<size_t>(j)] -= n == 1;
        --n;
    }
    rules::StatisticValues at(const SplitPlan& plan, int32_t j) const;
    void reset();

private:
    std::vector<std::array<int32_t, 256>> counts_;  // per position and code slot
    std::vector<int32_t> distinct_;
    std::vector<int8_t> codes_;  // counted since the last reset, in the order first seen
    std::array<bool, 256> present_{};
};

class SlidingWindows {
public:
    explicit SlidingWindows(const SplitPlan& plan);

    // Window j holds rows [lo[j], hi); lo falls with j.
    std::vector<int32_t> lo;
    int32_t hi = 0;
    std::vector<ValueRows> values;  // per dimension index
    std::vector<int32_t> touched;   // dimension indices with a row since the last reset
    std::vector<int32_t> seen;      // those with a row in the largest window, this target
    WindowCodes codes;
    // The slots some write reads besides Sum and Frequency: the others are
    // neither kept nor computed (they stay NaN).
    const bool counts_codes, min_read, max_read, density_read, spans_read;
    const float nan;

    ValueRows& touch(int32_t d) {
        ValueRows& s = values[static_cast<size_t>(d)];
        if (!s.touched) {
            s.touched = true;
            touched.push_back(d);
        }
        return s;
    }
    // A NaN is no candidate for Min or Max; see extreme().
    void push_extremes(ValueRows& s, int32_t row, float q) {
        if (q == q) {
            if (min_read) s.min_queue.push_extreme<false>(row, q);
            if (max_read) s.max_queue.push_extreme<true>(row, q);
        }
    }
    // Row i leaves the largest window.
    void leave(ValueRows& s, int32_t i) {
        ++s.rows.head;
        if (s.min_queue.head < s.min_queue.size && s.min_queue.items[s.min_queue.head].row == i) ++s.min_queue.head;
        if (s.max_queue.head < s.max_queue.size && s.max_queue.items[s.max_queue.head].row == i) ++s.max_queue.head;
    }
    void settle(ValueRows& s) {
        if (min_read) s.min_queue.settle();
        if (max_read) s.max_queue.settle();
    }

    float* cells(int32_t d) { return buffer_.data() + static_cast<size_t>(d) * H_ * SLOT_COUNT; }
    const float* buffer() const { return buffer_.data(); }
    // Every cell of value d NaN: it has no row in the largest window.
    void clear_cells(int32_t d) { std::fill(cells(d), cells(d) + static_cast<size_t>(H_) * SLOT_COUNT, nan); }

    // Position j's cells from its Sum and row count; `from` is a row number
    // no later than the window's oldest row of the value and after every
    // row before the window; `newest_q` the quantity of the value's newest
    // row. Once per cell: inlined.
    [[gnu::always_inline]] void write_window(float* c, ValueRows& s, int32_t j, int32_t from, int64_t count, float sum,
                                             float newest_q, float span_first, float span_last) {
        c[TIME_SINCE_FIRST_SLOT] = span_first;
        c[TIME_SINCE_LAST_SLOT] = span_last;
        if (count == 0) {
            c[DENSITY_SLOT] = c[MIN_SLOT] = c[MAX_SLOT] = c[SUM_SLOT] = c[FREQUENCY_SLOT] = nan;
            return;
        }
        const float frequency = rules::frequency_of(count);
        const bool newest_nan = newest_q != newest_q;
        c[SUM_SLOT] = sum;
        c[FREQUENCY_SLOT] = frequency;
        if (density_read) c[DENSITY_SLOT] = rules::density(sum, frequency);
        if (min_read) c[MIN_SLOT] = newest_nan ? newest_q : extreme(s.min_queue, j, from);
        if (max_read) c[MAX_SLOT] = newest_nan ? newest_q : extreme(s.max_queue, j, from);
    }

    // CountDistinct and Mode of every position into the cells.
    void write_code_statistics(const SplitPlan& plan);
    // Empties every window: what the last entity (or the last target, when
    // the next one's windows share no row with it) left.
    void reset();

private:
    // The Min or Max of position j's window, whose oldest row is `from`: the
    // first candidate from there on, found by moving j's cursor forward. A
    // newest-first scan keeps a NaN it starts with, and passes over later
    // ones, so a NaN newest row is the answer (the caller's).
    float extreme(RowQueue& queue, int32_t j, int32_t from) const {
        size_t& k = queue.cursor[static_cast<size_t>(j)];
        const size_t n = queue.size;
        while (k < n && queue.items[k].row < from) ++k;
        return k == n ? nan : queue.items[k].q;
    }

    const int32_t H_;
    // Dimension index D is spare: the cells of a value without rows in the
    // windows, which rows written in blocks read (see RowBlocks).
    std::vector<float> buffer_;  // [D + 1][H][SLOT_COUNT]
};

}  // namespace dfbh
