// The classification of an entity's rows. The loops over rows keep what
// they read in locals and walk the columns by byte offsets (the rows oldest
// first are the columns read backwards): their stores could otherwise be
// taken to change the members, which would be read again for every row.
#include "core/sliding/entity_rows.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/rules/scan_rules.hpp"

namespace dfbh {

bool EntityRows::in_date_order() const {
    const char* const dates = columns_.date;
    const int64_t stride = columns_.date_stride;
    int64_t at = offset(0, stride), previous = std::numeric_limits<int64_t>::min();
    for (int32_t i = 0; i < n_; ++i, at -= stride) {
        const int64_t t = load<int64_t>(dates + at);
        if (t < previous) return false;
        previous = t;
    }
    return true;
}

bool EntityRows::classify(const SplitPlan& plan, int32_t first, int32_t end, FixedPoint* fixed) {
    first_ = first;
    end_ = end;
    dims_.resize(static_cast<size_t>(n_));
    int32_t* const dims = dims_.data();
    const CodeEntry* const entries = plan.code_entries.data();
    const bool group_only = plan.group_only, group_mode = plan.group.on;
    const char* const quantities = columns_.quantity;
    const char* const codes = columns_.code;
    const int64_t quantity_stride = columns_.quantity_stride, code_stride = columns_.code_stride;
    int64_t quantity_at = offset(first, quantity_stride);
    int64_t code_at = offset(first, code_stride);
    int low = 1 << 20, high = -1;
    bool fits = true;
    for (int32_t i = first; i < end; ++i, quantity_at -= quantity_stride, code_at -= code_stride) {
        const float q = load<float>(quantities + quantity_at);
        if (!rules::accepted_quantity(q, group_mode)) {
            dims[i] = kRefused;
            continue;
        }
        const int32_t d = rules::cell_of(rules::entry_of(entries, load<int8_t>(codes + code_at)), group_only);
        dims[i] = d < 0 ? kNoCell : d;
        if (d < 0) continue;
        uint32_t bits;
        std::memcpy(&bits, &q, sizeof(bits));
        // The sign bit is 0 (q > 0), so the exponent field with it is
        // 1..254 for a normal number: one unsigned comparison.
        const uint32_t exponent = bits >> 23;
        if (exponent - 1u >= 0xFEu) {
            fits = false;  // subnormal, infinite, NaN (or negative)
            continue;
        }
        const uint32_t mantissa = (bits & 0x7FFFFFu) | 0x800000u;
        low = std::min(low, static_cast<int>(exponent) - 1 + __builtin_ctz(mantissa));
        high = std::max(high, static_cast<int>(exponent) - 1 + 24);
    }
    const int count_bits = 64 - __builtin_clzll(static_cast<uint64_t>(end - first) | 1u);
    if (!fits || !(high < 0 || high - low + count_bits <= 62)) return false;
    fixed->low = low;
    fixed->scale = std::ldexp(1.0, low - 149);
    return true;
}

}  // namespace dfbh
