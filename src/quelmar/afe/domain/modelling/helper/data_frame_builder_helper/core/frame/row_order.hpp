// The prepared order of an entity's rows, as keys that sort like it.
#pragma once

#include <cstdint>
#include <vector>

#include "core/common/views.hpp"

namespace dfbh {


// A row as one 128-bit key whose ascending order is the prepared order:
// newest first, then dimension code ascending, then quantity ascending with
// every NaN after every number. The key holds the row's bits exactly, so
// rows with equal keys are the same row and any sort gives the same result.
// Among NaNs the bit pattern decides, and -0.0 comes before 0.0: a table
// that differs only in the order of such rows prepares to the same bits.
struct RowKey {
    uint64_t high;  // the timestamp, reversed
    uint64_t low;   // code (bits 40-47), NaN flag (bit 32), ordered quantity bits (0-31)

    bool operator<(const RowKey& other) const {
        return high != other.high ? high < other.high : low < other.low;
    }
};

inline constexpr uint64_t kSign64 = uint64_t{1} << 63;
inline constexpr uint32_t kSign32 = uint32_t{1} << 31;
inline constexpr uint64_t kNanFlag = uint64_t{1} << 32;

inline RowKey key_of(int64_t date, float quantity, int8_t code) {
    const uint32_t bits = load<uint32_t>(reinterpret_cast<const char*>(&quantity));
    const bool nan = (bits & ~kSign32) > 0x7f800000u;
    // Numbers: flip negatives entirely and set the sign of positives, so that
    // the unsigned order is the numeric one.
    const uint32_t ordered = nan ? bits : ((bits & kSign32) ? ~bits : (bits | kSign32));
    RowKey key;
    key.high = ~(static_cast<uint64_t>(date) ^ kSign64);
    key.low = (static_cast<uint64_t>(static_cast<uint8_t>(code) ^ 0x80u) << 40) | (nan ? kNanFlag : 0) | ordered;
    return key;
}

inline void store_key(const RowKey& key, int64_t* date, float* quantity, int8_t* code) {
    *date = static_cast<int64_t>(~key.high ^ kSign64);
    const uint32_t ordered = static_cast<uint32_t>(key.low);
    const uint32_t bits = (key.low & kNanFlag) ? ordered : ((ordered & kSign32) ? (ordered & ~kSign32) : ~ordered);
    store<uint32_t>(reinterpret_cast<char*>(quantity), bits);
    *code = static_cast<int8_t>(static_cast<uint8_t>(key.low >> 40) ^ 0x80u);
}

// Scratch of one thread for order_keys.
struct SortScratch {
    std::vector<RowKey> keys;
    std::vector<int32_t> slots;
};

// Puts a run of keys in ascending order. Runs that are in order already, or
// in reverse (a table in time order), cost one walk.
void order_keys(RowKey* keys, int64_t n, SortScratch& scratch);

}  // namespace dfbh
