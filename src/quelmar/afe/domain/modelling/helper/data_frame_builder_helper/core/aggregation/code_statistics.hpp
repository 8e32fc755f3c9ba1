// CountDistinct and Mode: the entity-wide statistics of the raw dimension
// codes, one value per horizon position, cumulative over horizons like the
// cells, and written into the cell of every dimension value at the end.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/aggregation/cells.hpp"
#include "core/plan/plan.hpp"

namespace dfbh {

// The running part of the statistics: the number of distinct codes so far
// and the mode, kept as the largest key count * 256 + (127 - code) (the
// greatest count, ties to the smallest code). A scan loop holds it in a
// local, where it stays in registers.
struct CodeTally {
    // Before any code is counted the key stands for code 0 at count 0.
    static constexpr int32_t kNoCodeKey = 127;
    int32_t distinct = 0;
    int32_t best_key = kNoCodeKey;
    int32_t best_code() const { return 127 - (best_key & 255); }
};

class CodeStatistics {
public:
    explicit CodeStatistics(const SplitPlan& plan)
        : plan_(plan), distinct_count_at_(plan.H, 0.0), mode_at_(plan.H, 0.0), recorded_(plan.H, 0) {}

    // Clears what the last entity counted (`last`, its final tally).
    void reset(const CodeTally& last) {
        pending_position_ = -1;
        for (int32_t k = 0; k < last.distinct; ++k) counts_[codes_seen_[k]] = 0;
        std::fill(recorded_.begin(), recorded_.end(), 0);
        latest_position_ = -1;
    }

    // Counts grow one at a time, so the mode only ever moves to the code
    // just counted: no branch.
    void count(CodeTally& tally, int8_t code) {
        const int32_t n = ++counts_[code_slot(code)];
        // Kept only when the code is new: the next new code overwrites it otherwise.
        codes_seen_[tally.distinct] = code_slot(code);
        tally.distinct += n == 1;
        const int32_t key = (n << 8) | (127 - code);
        tally.best_key = key > tally.best_key ? key : tally.best_key;
    }

    // The statistics after the transaction just accumulated at position p.
    // They reach the position table once the scan leaves p (or ends): only
    // the last transaction's values at p are ever read.
    void record(const CodeTally& tally, int32_t p) {
        if (p != pending_position_) flush();
        pending_position_ = p;
        pending_count_ = tally.distinct;
        pending_mode_ = tally.best_code();
    }

    // The values recorded at the largest recorded position go to every
    // horizon between `above` and `below` (see for_each_horizon_between).
    void carry_over(int32_t above, int32_t below, bool inclusive) {
        flush();
        if (latest_position_ < 0) return;
        const double count = distinct_count_at_[latest_position_];
        const double mode = mode_at_[latest_position_];
        plan_.for_each_horizon_between(above, below, inclusive, [&](int32_t p) { store(p, count, mode); });
    }

    // For a scan whose rows come newest first: the statistics so far are
    // those of `position` once the scan leaves it (nothing is recorded while
    // no transaction has been counted).
    void snapshot(const CodeTally& tally, int32_t position) {
        if (tally.distinct > 0) store(position, static_cast<double>(tally.distinct), static_cast<double>(tally.best_code()));
    }

    // Every dimension index gets the values of each position; a position
    // without a recorded value (no accepted transaction up to its horizon)
    // gets the plan's empty_statistic.
    void write(CellGrid& grid) {
        flush();
        const bool mode = plan_.mode_requested;
        const bool count = plan_.count_distinct_requested;
        for (int32_t p = 0; p < plan_.H; ++p) {
            float mode_value, count_value;
            values_at(p, &mode_value, &count_value);
            for (int32_t d = 0; d < plan_.D; ++d) {
                float* c = grid.cell(d, p);
                if (mode) c[MODE_SLOT] = mode_value;
                if (count) c[COUNT_DISTINCT_SLOT] = count_value;
            }
        }
    }

    // The same for rows written in blocks (RowBlocks), which read the
    // statistics of the values with transactions and of the grid's spare
    // index D only.
    void write_touched(CellGrid& grid) {
        flush();
        const bool mode = plan_.mode_requested;
        const bool count = plan_.count_distinct_requested;
        const int32_t* const seen = grid.seen_dims();
        const int32_t n_seen = grid.n_seen();
        for (int32_t p = 0; p < plan_.H; ++p) {
            float mode_value, count_value;
            values_at(p, &mode_value, &count_value);
            for (int32_t k = 0; k <= n_seen; ++k) {
                float* c = grid.cell(k < n_seen ? seen[k] : plan_.D, p);
                if (mode) c[MODE_SLOT] = mode_value;
                if (count) c[COUNT_DISTINCT_SLOT] = count_value;
            }
        }
    }

private:
    void values_at(int32_t p, float* mode_value, float* count_value) const {
        const bool present = recorded_[p] != 0;
        *mode_value = present ? static_cast<float>(mode_at_[p]) : plan_.empty_statistic;
        *count_value = present ? static_cast<float>(distinct_count_at_[p]) : plan_.empty_statistic;
    }
    void flush() {
        if (pending_position_ < 0) return;
        store(pending_position_, static_cast<double>(pending_count_), static_cast<double>(pending_mode_));
        pending_position_ = -1;
    }
    void store(int32_t p, double count, double mode) {
        distinct_count_at_[p] = count;
        mode_at_[p] = mode;
        recorded_[p] = 1;
        latest_position_ = std::max(latest_position_, p);
    }

    const SplitPlan& plan_;
    std::array<int32_t, 256> counts_{};  // per int8 code
    // The codes counted, in the order first seen (int16, not a byte type,
    // whose stores the compiler would take to alias everything).
    std::array<int16_t, 257> codes_seen_{};
    std::vector<double> distinct_count_at_, mode_at_;  // per horizon position
    std::vector<uint8_t> recorded_;
    int32_t latest_position_ = -1;
    // The last recorded transaction's position and values, not yet stored.
    int32_t pending_position_ = -1;
    int32_t pending_count_ = 0;
    int32_t pending_mode_ = 0;
};

}  // namespace dfbh
