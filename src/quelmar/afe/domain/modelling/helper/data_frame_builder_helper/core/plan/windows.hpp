// Time windows: the length of a resolution unit, the age of a transaction in
// units, and the cutting of the time before a target date into horizon
// windows. The order of the window bounds is the same for every target date,
// so it is worked out once per split (`WindowPlan`) and each target only
// subtracts (`cut_windows`).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/common/failure.hpp"

namespace dfbh {

// Length of one resolution unit in milliseconds, or 0 for an unknown code.
int64_t unit_ms_of(int32_t resolution);
Failure resolution_not_recognized(const char* routine, int32_t resolution);

// 64-bit time arithmetic saturates instead of wrapping: a window that would
// reach past the ends of the int64 time line is clipped to it.
inline int64_t sat_sub(int64_t a, int64_t b) {
    int64_t r;
    if (!__builtin_sub_overflow(a, b, &r)) return r;
    return b < 0 ? INT64_MAX : INT64_MIN;
}
inline int64_t sat_mul(int64_t a, int64_t b) {
    int64_t r;
    if (!__builtin_mul_overflow(a, b, &r)) return r;
    return ((a < 0) != (b < 0)) ? INT64_MIN : INT64_MAX;
}

// Age of `date` at `target_date` in units: the int64 difference divided in
// double precision, rounded to float32. The caller handles unit_ms == 0.
inline float span_in_units(int64_t unit_ms, int64_t target_date, int64_t date) {
    return static_cast<float>(static_cast<double>(sat_sub(target_date, date)) / static_cast<double>(unit_ms));
}

// The windows of one split, relative to the target date. Entry e pairs a
// bound offset with a horizon and its buffer position: entry 0 is the common
// window end (offset units back), entry e >= 1 the start of the window of
// the horizon before the one it is paired with; entry H is the start of the
// largest window.
struct WindowPlan {
    int64_t unit_ms = 0;
    int32_t H = 0;
    std::vector<int64_t> bound_offset;  // H + 1 entries
    std::vector<int32_t> bound_horizon;
    std::vector<int32_t> bound_position;
    // Entries in ascending order of their bounds (descending offsets, equal
    // bounds by horizon); valid for every target date at which no bound
    // saturates.
    std::vector<int32_t> bound_order;
    int64_t min_bound_offset = 0, max_bound_offset = 0;
};

// `horizon_list` in list order with the buffer position of each element.
void plan_windows(WindowPlan& plan, const std::vector<int32_t>& horizon_list,
                  const std::vector<int32_t>& list_position, int32_t max_horizon, int32_t offset,
                  int32_t resolution);

// One target date's windows, in ascending order of bound.
struct Windows {
    std::vector<int64_t> bound;
    std::vector<int32_t> horizon;
    std::vector<int32_t> position;
    int64_t upper_limit = 0;  // the common window end
    int64_t lower_limit = 0;  // the start of the largest window
};

// Cuts the windows of `target_date` into `out` (sized for the plan). An
// unknown resolution is reported; its windows all collapse onto the target
// date.
void cut_windows(const WindowPlan& plan, int32_t resolution, int64_t target_date, Windows& out,
                 Reporter& reporter);

}  // namespace dfbh
