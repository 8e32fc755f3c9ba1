// Sorting the keys of an entity's rows.
#include "core/frame/row_order.hpp"

#include <algorithm>
#include <limits>

namespace dfbh {
namespace {

// Quicksort with a partition that does not branch on the comparison (its
// outcome is random for unordered rows), insertion sort for short ranges.
void sort_keys(RowKey* keys, int64_t n) {
    while (n > 12) {
        // Median of first, middle and last as the pivot, moved to the end.
        const int64_t m = n / 2;
        if (keys[m] < keys[0]) std::swap(keys[m], keys[0]);
        if (keys[n - 1] < keys[m]) {
            std::swap(keys[n - 1], keys[m]);
            if (keys[m] < keys[0]) std::swap(keys[m], keys[0]);
        }
        std::swap(keys[m], keys[n - 1]);
        const RowKey pivot = keys[n - 1];
        int64_t below = 0;
        for (int64_t j = 0; j < n - 1; ++j) {
            const RowKey key = keys[j];
            const bool smaller = key < pivot;
            keys[j] = keys[below];
            keys[below] = key;
            below += smaller;
        }
        std::swap(keys[below], keys[n - 1]);
        // Recurse into the smaller side, loop on the larger.
        if (below < n - 1 - below) {
            sort_keys(keys, below);
            keys += below + 1;
            n -= below + 1;
        } else {
            sort_keys(keys + below + 1, n - below - 1);
            n = below;
        }
    }
    for (int64_t i = 1; i < n; ++i) {
        const RowKey key = keys[i];
        int64_t j = i;
        for (; j > 0 && key < keys[j - 1]; --j) keys[j] = keys[j - 1];
        keys[j] = key;
    }
}

// Runs up to this length are first spread by their timestamps.
constexpr int64_t kSpreadMax = int64_t{1} << 16;
// A spread slot holding more keys than this sends the run to the quicksort:
// the insertion sort after a spread moves a key at most across its slot.
constexpr int32_t kSpreadSlotMax = 16;

// Spreads the keys over n slots by linear interpolation of their timestamps
// (a monotone map, so keys in different slots are already in order), then
// finishes with an insertion sort. Event timestamps are spread evenly
// enough that this costs a few passes; false, with the keys unchanged, when
// a slot gets crowded (timestamps in clumps), for the quicksort to do.
bool spread_keys(RowKey* keys, int64_t n, SortScratch& scratch) {
    uint64_t low = keys[0].high, high = keys[0].high;
    for (int64_t i = 1; i < n; ++i) {
        low = std::min(low, keys[i].high);
        high = std::max(high, keys[i].high);
    }
    // Offsets from the oldest as int64, which converts to double in one
    // instruction (uint64 does not): timestamps more than 2^63 ms apart are
    // left to the quicksort.
    if (high - low > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    const double scale = static_cast<double>(n) / (static_cast<double>(high - low) + 1.0);
    auto slot_of = [&](const RowKey& key) {
        const int64_t slot = static_cast<int64_t>(static_cast<double>(static_cast<int64_t>(key.high - low)) * scale);
        return slot < n ? slot : n - 1;
    };
    scratch.slots.assign(static_cast<size_t>(n) + 1, 0);
    int32_t* const start = scratch.slots.data();
    int32_t crowded = 0;
    for (int64_t i = 0; i < n; ++i) crowded = std::max(crowded, ++start[slot_of(keys[i]) + 1]);
    if (crowded > kSpreadSlotMax) return false;
    for (int64_t i = 1; i <= n; ++i) start[i] += start[i - 1];
    scratch.keys.resize(static_cast<size_t>(n));
    RowKey* const spread = scratch.keys.data();
    for (int64_t i = 0; i < n; ++i) spread[start[slot_of(keys[i])]++] = keys[i];
    for (int64_t i = 0; i < n; ++i) {
        const RowKey key = spread[i];
        int64_t j = i;
        for (; j > 0 && key < keys[j - 1]; --j) keys[j] = keys[j - 1];
        keys[j] = key;
    }
    return true;
}

}  // namespace

void order_keys(RowKey* keys, int64_t n, SortScratch& scratch) {
    if (n < 2) return;
    bool ascending = true, descending = true;
    for (int64_t i = 1; i < n && (ascending || descending); ++i) {
        if (keys[i] < keys[i - 1]) ascending = false;
        if (keys[i - 1] < keys[i]) descending = false;
    }
    if (ascending) return;
    if (descending) {
        std::reverse(keys, keys + n);
        return;
    }
    if (n <= kSpreadMax && spread_keys(keys, n, scratch)) return;
    sort_keys(keys, n);
}

}  // namespace dfbh
