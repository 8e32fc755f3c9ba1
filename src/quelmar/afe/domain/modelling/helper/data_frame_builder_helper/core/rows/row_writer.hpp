// The row writers: store a finished aggregate buffer into one result row
// through the plan's write tables.
#pragma once

#include <cstdint>
#include <vector>

#include "core/common/views.hpp"
#include "core/plan/plan.hpp"

namespace dfbh {

// One per scanner: the scratch of the row writers, allocated once.
class RowWriter {
public:
    explicit RowWriter(const SplitPlan& plan);
    // Orders the stores that bypassed the caches before anything after them.
    ~RowWriter();
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;

    // The row of a finished buffer: in feature-group mode with Ratio the
    // group value's share is the row's only cell, otherwise fill_row's.
    void write_row(const float* buffer, char* row, const int32_t* seen_dims, int32_t n_seen) {
        if (plan_.group.on && plan_.ratio_requested) {
            fill_row_for_ratio_column(buffer, row);
        } else {
            fill_row(buffer, row, seen_dims, n_seen);
        }
    }

    // The set-one and set-two cells, then outside feature-group mode each
    // dimension value's share of the horizon's total Sum. `seen_dims` are
    // the dimension indices whose cells hold anything but NaN, apart from
    // CountDistinct and Mode.
    void fill_row(const float* buffer, char* row, const int32_t* seen_dims, int32_t n_seen);

    // Hints for the lines of `row` that the next fill_row reads before
    // writing (all but those it streams).
    void prefetch_row(const char* row) const {
        for (int64_t offset : plan_.prefetch_lines) prefetch(row + offset);
    }

    // Feature-group mode with Ratio: the group value's share of the total Sum
    // at the first requested horizon, the row's only cell.
    void fill_row_for_ratio_column(const float* buffer, char* row) const;

private:
    void write_image(const float* buffer, char* row, const int32_t* seen_dims, int32_t n_seen);
    void write_blocks(const float* buffer, char* row, const int32_t* seen_dims, int32_t n_seen);
    // The ratio cells, after the others.
    void finish_row(const float* buffer, char* row, const int32_t* seen_dims, int32_t n_seen);
    void write_ratios(const float* buffer, char* row);
    void write_touched_ratios(const float* buffer, char* row, const int32_t* seen_dims, int32_t n_seen);

    const SplitPlan& plan_;
    std::vector<float> image_;           // see RowImage; NaN between rows
    std::vector<float> spare_;  // the block of a value without transactions, see RowBlocks
    std::vector<int32_t> sorted_dims_;  // the touched dimension indices, ascending
    std::vector<float> horizon_totals_;  // per distinct horizon
    bool streamed_ = false;
};

}  // namespace dfbh
