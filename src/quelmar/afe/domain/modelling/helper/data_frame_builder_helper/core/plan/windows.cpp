// The millisecond arithmetic of the time windows: the unit table, the
// per-split window plan and the per-target cut.
#include "core/plan/windows.hpp"

#include <algorithm>

namespace dfbh {

int64_t unit_ms_of(int32_t resolution) {
    switch (resolution) {
        case 0: return 31536000000LL;  // year: 365 days, no calendar
        case 1: return 2592000000LL;   // month: 30 days
        case 2: return 86400000LL;
        case 3: return 3600000LL;
        case 4: return 60000LL;
        case 5: return 1000LL;
        default: return 0;
    }
}

Failure resolution_not_recognized(const char* routine, int32_t resolution) {
    return Failure{ErrorKind::NotImplemented, routine, "Resolution not recognized: " + std::to_string(resolution)};
}

// 32-bit sum that wraps on overflow, as the window bounds are computed.
static int32_t wrap_add32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

void plan_windows(WindowPlan& plan, const std::vector<int32_t>& horizon_list,
                  const std::vector<int32_t>& list_position, int32_t max_horizon, int32_t offset,
                  int32_t resolution) {
    const int32_t H = static_cast<int32_t>(horizon_list.size());
    plan.H = H;
    plan.unit_ms = unit_ms_of(resolution);
    plan.bound_offset.assign(H + 1, 0);
    plan.bound_horizon.assign(H, 0);
    plan.bound_position.assign(H, 0);
    // The common end pairs with the first horizon of the list; every later
    // horizon pairs with the start of the window of the one before it.
    plan.bound_offset[0] = sat_mul(static_cast<int64_t>(offset), plan.unit_ms);
    plan.bound_horizon[0] = horizon_list[0];
    plan.bound_position[0] = list_position[0];
    int32_t e = 1;
    for (int32_t j = H - 1; j >= 1; --j, ++e) {
        plan.bound_offset[e] = sat_mul(static_cast<int64_t>(wrap_add32(horizon_list[j - 1], offset)), plan.unit_ms);
        plan.bound_horizon[e] = horizon_list[j];
        plan.bound_position[e] = list_position[j];
    }
    plan.bound_offset[H] = sat_mul(static_cast<int64_t>(wrap_add32(max_horizon, offset)), plan.unit_ms);

    // Ascending bound is descending offset; equal bounds go by horizon.
    plan.bound_order.resize(H);
    for (int32_t k = 0; k < H; ++k) plan.bound_order[k] = k;
    std::stable_sort(plan.bound_order.begin(), plan.bound_order.end(), [&plan](int32_t x, int32_t y) {
        if (plan.bound_offset[x] != plan.bound_offset[y]) return plan.bound_offset[x] > plan.bound_offset[y];
        return plan.bound_horizon[x] < plan.bound_horizon[y];
    });
    plan.min_bound_offset = *std::min_element(plan.bound_offset.begin(), plan.bound_offset.begin() + H);
    plan.max_bound_offset = *std::max_element(plan.bound_offset.begin(), plan.bound_offset.begin() + H);
}

void cut_windows(const WindowPlan& plan, int32_t resolution, int64_t target_date, Windows& out,
                 Reporter& reporter) {
    if (plan.unit_ms == 0) reporter.report(resolution_not_recognized(routine::get_resolution_in_seconds, resolution));
    const int32_t H = plan.H;
    out.upper_limit = sat_sub(target_date, plan.bound_offset[0]);
    out.lower_limit = sat_sub(target_date, plan.bound_offset[H]);
    int64_t unused;
    if (!__builtin_sub_overflow(target_date, plan.min_bound_offset, &unused) &&
        !__builtin_sub_overflow(target_date, plan.max_bound_offset, &unused)) {
        // No bound saturates, so the plan's order holds.
        for (int32_t k = 0; k < H; ++k) {
            const int32_t e = plan.bound_order[k];
            out.bound[k] = target_date - plan.bound_offset[e];
            out.horizon[k] = plan.bound_horizon[e];
            out.position[k] = plan.bound_position[e];
        }
        return;
    }
    // Clipped bounds may tie where their offsets differ: sort these by
    // (bound, horizon) here, a handful of entries.
    for (int32_t e = 0; e < H; ++e) {
        out.bound[e] = sat_sub(target_date, plan.bound_offset[e]);
        out.horizon[e] = plan.bound_horizon[e];
        out.position[e] = plan.bound_position[e];
    }
    for (int32_t e = 1; e < H; ++e) {
        const int64_t b = out.bound[e];
        const int32_t h = out.horizon[e];
        const int32_t p = out.position[e];
        int32_t k = e - 1;
        while (k >= 0 && (out.bound[k] > b || (out.bound[k] == b && out.horizon[k] > h))) {
            out.bound[k + 1] = out.bound[k];
            out.horizon[k + 1] = out.horizon[k];
            out.position[k + 1] = out.position[k];
            --k;
        }
        out.bound[k + 1] = b;
        out.horizon[k + 1] = h;
        out.position[k + 1] = p;
    }
}

}  // namespace dfbh
