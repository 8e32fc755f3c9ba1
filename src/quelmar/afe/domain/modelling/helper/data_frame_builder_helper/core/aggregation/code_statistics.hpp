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
#include "core/rules/scan_rules.hpp"

namespace dfbh {

// The running part of the statistics: the number of distinct codes so far
// and the mode as its key (rules::mode_key). A scan loop holds it in a
// local, where it stays in registers.
struct CodeTally {
    // Before any code is counted the key stands for code 0 at count 0.
    static constexpr int32_t kNoCodeKey = rules::mode_key(0, 0);
    int32_t distinct = 0;
    int32_t best_key = kNoCodeKey;
    int32_t best_code() const { return rules::mode_of_key(best_key); }
};

class CodeStatistics {
public:
    explicit CodeStatistics(const SplitPlan& plan)
        : plan_(plan), distinct_at_(plan.H, 0), mode_at_(plan.H, 0) {}

    // Clears what the last entity counted (`last`, its final tally).
    void reset(const CodeTally& last) {
        pending_position_ = -1;
        for (int32_t k = 0; k < last.distinct; ++k) counts_[codes_seen_[k]] = 0;
        std::fill(distinct_at_.begin(), distinct_at_.end(), 0);
        latest_position_ = -1;
    }

    // Counts grow one at a time, so the mode only ever moves to the code
    // just counted: no branch.
    void count(CodeTally& tally, int8_t code) {
        const int32_t n = ++counts_[code_slot(code)];
        // Kept only when the code is new: the next new code overwrites it otherwise.
        codes_seen_[tally.distinct] = code_slot(code);
        tally.distinct += n == 1;
        const int32_t key = rules::mode_key(n, code);
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
        const int32_t count = distinct_at_[latest_position_];
        const int32_t mode = mode_at_[latest_position_];
        plan_.for_each_horizon_between(above, below, inclusive, [&](int32_t p) { store(p, count, mode); });
    }

    // For a scan whose rows come newest first: the statistics so far are
    // those of `position` once the scan leaves it (nothing is recorded while
    // no transaction has been counted).
    void snapshot(const CodeTally& tally, int32_t position) {
        if (tally.distinct > 0) store(position, tally.distinct, tally.best_code());
    }

    // Every position's values into the cells (rules::write_code_statistics);
    // a position without a recorded value (no accepted transaction up to its
    // horizon) has no distinct code, which gives it the empty statistic.
    void write(CellGrid& grid) {
        flush();
        rules::write_code_statistics(plan_, grid.data(), grid.seen_dims(), grid.n_seen(), [&](int32_t p) {
            return rules::statistics_of(plan_, distinct_at_[p], mode_at_[p]);
        });
    }

private:
    void flush() {
        if (pending_position_ < 0) return;
        store(pending_position_, pending_count_, pending_mode_);
        pending_position_ = -1;
    }
    // Every value stored counts at least one code: a position's distinct
    // count is 0 only while nothing is recorded there.
    void store(int32_t p, int32_t count, int32_t mode) {
        distinct_at_[p] = count;
        mode_at_[p] = mode;
        latest_position_ = std::max(latest_position_, p);
    }

    const SplitPlan& plan_;
    std::array<int32_t, 256> counts_{};  // per int8 code
    // The codes counted, in the order first seen (int16, not a byte type,
    // whose stores the compiler would take to alias everything).
    std::array<int16_t, 257> codes_seen_{};
    std::vector<int32_t> distinct_at_, mode_at_;  // per horizon position
    int32_t latest_position_ = -1;
    // The last recorded transaction's position and values, not yet stored.
    int32_t pending_position_ = -1;
    int32_t pending_count_ = 0;
    int32_t pending_mode_ = 0;
};

}  // namespace dfbh
