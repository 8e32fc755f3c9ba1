// The engine's scan of one entity over its targets in time order: the
// windows move forward with the target date, rows enter at the window end
// and leave each horizon's window at its start, and what a row contributes
// is kept, not recomputed. Per entity the cost is the rows its windows cover
// plus the cells it writes, however many targets share those rows.
//
// Sums are exact (see ExactSum): Sum is the float32 nearest the exact sum of
// the accepted quantities, whatever the order in which rows come and go;
// Density and Ratio are computed from these Sums as the row writer computes
// them from any. Every other cell is bit for bit what EntityScanner writes.
//
// Needs a plan with ordered windows and targets whose windows fit the time
// line (see ordered_windows_fit; strictly ascending horizons, window
// offsets well inside the time line; see SplitPlan::ordered_windows).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/aggregation/scan.hpp"
#include "core/common/exact_sum.hpp"
#include "core/rows/row_writer.hpp"
#include "core/plan/plan.hpp"

namespace dfbh {

class SlidingScanner {
public:
    explicit SlidingScanner(const SplitPlan& plan);

    // The next entity: its rows newest first, as prepared, and the first
    // and last of the target dates to come (only rows their windows can
    // hold are looked at). Returns false, for rows out of that order: the
    // caller then scans the entity's targets one by one instead.
    bool start_entity(const TransactionColumns& rows, int64_t first_target, int64_t last_target);
    // Writes the row of target date `target_date`; the dates of one entity
    // come in non-decreasing order.
    void write(char* row, int64_t target_date);

private:
    struct Entry {
        int32_t row;
        float q;
    };
    // Rows of one value in the largest window, oldest first, as a queue
    // whose front moves on as rows leave. Items [0, size) are the queue; the
    // storage is kept per scanner and only grows, so that appending is a
    // store and a count (the storage's own bookkeeping would be redone for
    // every row).
    struct Queue {
        std::vector<Entry> items;
        size_t size = 0;
        size_t head = 0;
        // The fewest items the queue held since the last target was
        // written: a cursor past it may point at a row that came since.
        size_t low_water = 0;
        // Per position: no item before it is in that position's window (the
        // windows' oldest rows only move forward, so neither do these once
        // settled).
        std::vector<size_t> cursor;
        const Entry& back() const { return items[size - 1]; }
        // Appends in place: an Entry built aside and copied as one 8-byte
        // word stalls on the forwarding of its two 4-byte stores.
        void push(int32_t row, float q) {
            if (size == items.size()) grow();
            Entry& e = items[size++];
            e.row = row;
            e.q = q;
        }
        // Appends as a monotonic queue: a row older and no smaller (kMax:
        // no larger) than a newer one is never the window's Min (Max)
        // while that one is in, so it goes.
        template <bool kMax>
        void push_extreme(int32_t row, float q) {
            size_t n = size;
            const Entry* const e = items.data();
            if (kMax) {
                while (n > head && e[n - 1].q <= q) --n;
            } else {
                while (n > head && e[n - 1].q >= q) --n;
            }
            low_water = std::min(low_water, n);
            size = n;
            push(row, q);
        }
        void grow() { items.resize(std::max<size_t>(64, 2 * items.size())); }
        void settle();
        void clear() {
            size = 0;
            head = 0;
            low_water = 0;
            std::fill(cursor.begin(), cursor.end(), size_t{0});
        }
    };
    struct DimState {
        std::vector<ExactSum> ring;  // per position: rows between its start and the next smaller horizon's
        std::vector<int64_t> fixed_ring;  // the same as integers, for an entity on the fixed-point path
        std::vector<int64_t> first;  // per position: index in `rows` of its oldest row
        Queue rows, min_queue, max_queue;
        bool touched = false;
        bool rings_used = false;  // the running totals path leaves ring, fixed_ring and first alone
    };

    int64_t date(int32_t i) const { return load<int64_t>(dates_ + (n_ - 1 - i) * date_stride_); }
    float quantity(int32_t i) const { return load<float>(quantities_ + (n_ - 1 - i) * quantity_stride_); }
    int8_t code(int32_t i) const { return load<int8_t>(codes_ + (n_ - 1 - i) * code_stride_); }
    // The quantity filter and a code's dimension index, from the plan's
    // fields as the row loops hold them in locals.
    static bool accepted(float q, bool group_mode) { return group_mode ? q > 0.0f : !(q <= 0.0f); }
    static int32_t dim_of(const CodeEntry* entries, bool group_only, int8_t c) {
        const CodeEntry& e = entries[code_slot(c)];
        return group_only ? e.group_dim : e.dim;
    }
    bool classify_rows(int64_t first_target, int64_t last_target);
    // Rows [first, last) are the ones the targets' windows can hold.
    int32_t window_rows_first(int64_t target_date) const;
    int32_t window_rows_end(int64_t target_date) const;

    template <typename Before>
    int32_t skip(int32_t from, int32_t to, Before before) const;
    void reset_state();
    void enter(int32_t i, int32_t ring);
    // Rows [from, to) enter the windows on the prefix path, which has no
    // rings, no per-code counts and no NaN among rows with a cell.
    template <bool kMin, bool kMax, bool kRows>
    void enter_prefix(int32_t from, int32_t to);
    using EnterRows = void (SlidingScanner::*)(int32_t, int32_t);
    static EnterRows prefix_entry(bool min, bool max, bool rows);
    EnterRows enter_prefix_ = nullptr;
    void cross(int32_t i, int32_t j);
    void count_code(int8_t c, int32_t from, int delta);
    void fill_buffer(int64_t target_date);
    void fill_buffer_prefix(int64_t target_date);
    float queue_extreme(Queue& queue, int32_t j, int32_t from) const;
    void write_window(float* c, DimState& s, int32_t j, int32_t from, int64_t count, float sum, float newest_q,
                      float span_first, float span_last);

    const SplitPlan& plan_;
    const int32_t H_;
    const bool by_code_;
    const float nan_;
    // The slots some write reads besides Sum and Frequency: the others are
    // neither kept nor computed (they stay NaN).
    const bool min_read_, max_read_, density_read_, spans_read_;
    RowWriter writer_;
    std::vector<float> buffer_;  // [D][H][SLOT_COUNT]
    std::vector<DimState> dims_;
    std::vector<int32_t> touched_;  // dimension indices with a row this entity
    std::vector<int32_t> seen_;     // those with a row in the largest window
    // The entity's rows, indexed oldest first.
    const char* dates_ = nullptr;
    const char* quantities_ = nullptr;
    const char* codes_ = nullptr;
    int64_t date_stride_ = 0, quantity_stride_ = 0, code_stride_ = 0;
    int32_t n_ = 0;
    int32_t row_first_ = 0, row_end_ = 0;  // the rows any window of the targets to come can hold
    // Per row of the entity (oldest first): its dimension index, kNoCell
    // for an accepted row without a cell, kRefused for a row the quantity
    // filter drops; on the fixed-point path its quantity as an integer
    // count of 2^-149 * 2^low_bit_.
    static constexpr int32_t kNoCell = -1, kRefused = -2;
    std::vector<int32_t> row_dim_;
    std::vector<int64_t> row_fixed_;
    // Whether every accepted quantity with a cell is a positive normal
    // float32 and all of them, with the entity's row count, span at most
    // 62 bits: sums are then exact in int64, and one rounding of an int64
    // to float32, scaled by a power of two, is the nearest float32.
    bool fixed_ = false;
    double fixed_scale_ = 1.0;
    int fixed_low_ = 0;  // the lowest bit set in any of those quantities
    static int64_t fixed_of(float q, int low);
    float fixed_sum(int64_t fixed) const;
    // On the fixed-point path, without per-code statistics and with few
    // values: every window's Sum and Frequency as differences of running
    // totals, so that a row leaving a window costs nothing. Row i's entry
    // [i * D + d] holds value d's integer sum and count of the rows before
    // it (i = n_: of all of them).
    static constexpr int32_t kPrefixValuesMax = 8;
    bool prefix_ = false;
    // Whether entering rows are kept in their value's `rows` queue: the
    // prefix path reads them for the spans only.
    bool keep_rows_ = true;
    std::vector<int64_t> prefix_sum_;
    std::vector<int32_t> prefix_count_;
    void build_prefix();
    template <int D>
    void build_prefix_of();
    // Window j holds rows [lo_[j], hi_); lo_ falls with j.
    int32_t hi_ = 0;
    std::vector<int32_t> lo_;
    bool started_ = false;
    // Per position and code: accepted rows in the window; distinct codes.
    std::vector<std::array<int32_t, 256>> code_counts_;
    std::vector<int32_t> distinct_;
    std::vector<int16_t> codes_present_;  // codes counted this entity, ascending
    std::array<bool, 256> code_present_{};
};

}  // namespace dfbh
