// What an accepted transaction is and what it adds, for both scanners:
// execute's newest-first scan (EntityScanner) and the engine's sliding
// windows (SlidingScanner) read these and restate none of them, so that a
// change of meaning lands here once and the two stay bit for bit equal.
// Inline and small: a scan loop compiles to what it would be with the rule
// written in place.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/common/request.hpp"
#include "core/plan/plan.hpp"
#include "core/plan/windows.hpp"

namespace dfbh {
namespace rules {

// ---- Acceptance

// The quantity filter: a transaction counts when its quantity is positive.
// A NaN does not compare <= 0, so it passes outside feature-group mode;
// feature-group mode refuses it.
template <bool kGroupMode>
inline bool accepted_quantity(float q) {
    return kGroupMode ? q > 0.0f : !(q <= 0.0f);
}
inline bool accepted_quantity(float q, bool group_mode) {
    return group_mode ? accepted_quantity<true>(q) : accepted_quantity<false>(q);
}

// The group filter: a scan that keeps the group value's transactions only
// (SplitPlan::group_only) passes over every other value's; they count for
// nothing, not even for the horizon a scan has reached.
inline bool in_scope(const CodeEntry& entry, bool group_only) { return !group_only || entry.in_group; }

// ---- Dimension lookup

inline const CodeEntry& entry_of(const CodeEntry* entries, int8_t code) { return entries[code_slot(code)]; }

// The dimension index whose cells an accepted transaction of this entry's
// code adds to; -1 for none (its mapped value is not a dimension value of
// the split, or it lies outside the group when only the group counts). A
// transaction without a cell still counts for CountDistinct and Mode.
template <bool kGroupOnly>
inline int32_t cell_of(const CodeEntry& entry) {
    return kGroupOnly ? entry.group_dim : entry.dim;
}
inline int32_t cell_of(const CodeEntry& entry, bool group_only) {
    return group_only ? cell_of<true>(entry) : cell_of<false>(entry);
}

// ---- Window bounds

// The windows of a target end together, `offset` units before its date; a
// transaction dated at that end is inside them in feature-group mode only.
template <bool kGroupMode>
inline bool not_after_end(int64_t date, int64_t end) {
    return kGroupMode ? date <= end : date < end;
}
inline bool not_after_end(int64_t date, int64_t end, bool group_mode) {
    return group_mode ? not_after_end<true>(date, end) : not_after_end<false>(date, end);
}
// A transaction dated at a window's start is inside that window.
inline bool before_start(int64_t date, int64_t start) { return date < start; }

// Where the ordered windows of a target lie (see SplitPlan::ordered_windows):
// their common end, and the start of position j's window.
inline int64_t window_end(const SplitPlan& plan, int64_t target_date) {
    return sat_sub(target_date, plan.window_end_offset);
}
inline int64_t window_start(const SplitPlan& plan, int64_t target_date, int32_t position) {
    return sat_sub(target_date, plan.window_start_offset[static_cast<size_t>(position)]);
}

// ---- Frequency and Density of a cell

// Frequency counts in float32: each accepted transaction adds 1.0f, which
// rounds exactly as adding in double and narrowing would (both being the
// correctly rounded f + 1) and stops at 2^24, so n transactions give
// min(n, 2^24).
inline float frequency_after(float frequency) { return frequency + 1.0f; }
inline float frequency_of(int64_t count) {
    return static_cast<float>(count < (int64_t{1} << 24) ? count : (int64_t{1} << 24));
}

// Density is Sum / Frequency of its own cell; a single transaction's is its
// quantity itself (NaN included). Without a branch: a cell no transaction
// reached holds NaN in both, and NaN / NaN gives the dividend's NaN back,
// bit for bit.
inline float density(float sum, float frequency) {
    const float mean = sum / frequency;
    const uint32_t single = 0u - static_cast<uint32_t>(frequency == 1.0f);
    uint32_t sum_bits, mean_bits;
    std::memcpy(&sum_bits, &sum, sizeof(sum_bits));
    std::memcpy(&mean_bits, &mean, sizeof(mean_bits));
    const uint32_t bits = (sum_bits & single) | (mean_bits & ~single);
    float out;
    std::memcpy(&out, &bits, sizeof(out));
    return out;
}

// ---- CountDistinct and Mode

// Mode is the code counted most often, a tie going to the smallest code. As
// one key, count * 256 + (127 - code), the greatest key is the mode's.
constexpr int32_t mode_key(int32_t count, int8_t code) { return (count << 8) | (127 - code); }
constexpr int32_t mode_of_key(int32_t key) { return 127 - (key & 255); }

struct StatisticValues {
    float count_distinct;
    float mode;
};

// The values of a window with `distinct` codes counted and mode `mode`; a
// window without any accepted transaction gets the plan's empty_statistic
// (0 for execute; NaN where the engine's caller asks for it).
inline StatisticValues statistics_of(const SplitPlan& plan, int32_t distinct, int32_t mode) {
    if (distinct == 0) return {plan.empty_statistic, plan.empty_statistic};
    return {static_cast<float>(distinct), static_cast<float>(mode)};
}

// Writes each position's values (`at(p)`, a StatisticValues) into the cells
// of every dimension value, the requested ones of the two. Rows written in
// blocks (RowBlocks) read those of the values with transactions (`seen`)
// and of the spare index D only, so only these are written there.
template <typename At>
inline void write_code_statistics(const SplitPlan& plan, float* buffer, const int32_t* seen, int32_t n_seen, At&& at) {
    const bool mode = plan.mode_requested, count = plan.count_distinct_requested;
    const size_t per_dim = static_cast<size_t>(plan.H) * SLOT_COUNT;
    for (int32_t p = 0; p < plan.H; ++p) {
        const StatisticValues values = at(p);
        float* const at_p = buffer + static_cast<size_t>(p) * SLOT_COUNT;
        auto put = [&](int32_t d) {
            float* c = at_p + static_cast<size_t>(d) * per_dim;
            if (mode) c[MODE_SLOT] = values.mode;
            if (count) c[COUNT_DISTINCT_SLOT] = values.count_distinct;
        };
        if (plan.blocks.used) {
            for (int32_t k = 0; k < n_seen; ++k) put(seen[k]);
            put(plan.D);
        } else {
            for (int32_t d = 0; d < plan.D; ++d) put(d);
        }
    }
}

}  // namespace rules
}  // namespace dfbh
