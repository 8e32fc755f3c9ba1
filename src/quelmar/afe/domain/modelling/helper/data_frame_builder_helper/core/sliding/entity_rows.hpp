// An entity's rows as the sliding scanner reads them: oldest first (the
// prepared newest-first columns read backwards), each classified once per
// entity by the quantity filter and the dimension lookup, and the test of
// whether their sums fit a 64-bit fixed point.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/common/views.hpp"
#include "core/plan/plan.hpp"

namespace dfbh {

// What a row is to the windows: its dimension index (>= 0), kNoCell for an
// accepted row without a cell (it still counts for CountDistinct and Mode),
// kRefused for a row the filters drop.
constexpr int32_t kNoCell = -1, kRefused = -2;

// Quantities as integer counts of 2^-149 * 2^low, `low` the lowest bit set
// in any of them. When every quantity with a cell is a positive normal
// float32 and all of them, with the row count, span at most 62 bits, every
// sum is exact in int64, and one rounding of it to float32, scaled by a
// power of two, is the float32 nearest the exact sum.
struct FixedPoint {
    int low = 0;
    double scale = 1.0;  // 2^(low - 149)

    // q as such a count (exact: no bit below `low` is set).
    int64_t of(float q) const {
        uint32_t bits;
        std::memcpy(&bits, &q, sizeof(bits));
        const int position = static_cast<int>(bits >> 23) - 1;
        const uint32_t mantissa = (bits & 0x7FFFFFu) | 0x800000u;
        const int zeros = __builtin_ctz(mantissa);
        return static_cast<int64_t>(static_cast<uint64_t>(mantissa >> zeros) << (position + zeros - low));
    }
    // The float32 nearest an integer sum: int64 to float32 rounds to
    // nearest, ties to even; the scaling by a power of two is exact for sums
    // at or above the smallest normal (overflow gives the infinity rounding
    // would give).
    float sum(int64_t fixed) const {
        return static_cast<float>(static_cast<double>(static_cast<float>(fixed)) * scale);
    }
};

class EntityRows {
public:
    void point_at(const TransactionColumns& columns) {
        columns_ = columns;
        n_ = static_cast<int32_t>(columns.n_rows);
    }

    int32_t size() const { return n_; }
    // Row i, oldest first, is the column's row n - 1 - i, at this byte
    // offset in a column of `stride` (loops keep such offsets in locals).
    int64_t offset(int32_t i, int64_t stride) const { return (int64_t{n_} - 1 - i) * stride; }
    int64_t date(int32_t i) const { return load<int64_t>(columns_.date + offset(i, columns_.date_stride)); }
    float quantity(int32_t i) const { return load<float>(columns_.quantity + offset(i, columns_.quantity_stride)); }
    int8_t code(int32_t i) const { return load<int8_t>(columns_.code + offset(i, columns_.code_stride)); }
    const TransactionColumns& columns() const { return columns_; }

    // Whether the dates do not fall from one row to the next (the rows come
    // newest first, as prepared).
    bool in_date_order() const;

    // The first row from `from` on (below `to`) whose date is not `before`,
    // which holds for a prefix of the rows: galloping, then halving, so that
    // a target far from the last one costs a logarithm, not the rows between.
    template <typename Before>
    int32_t skip(int32_t from, int32_t to, Before before) const {
        int32_t step = 1;
        while (from < to && before(date(from))) {
            const int32_t probe = static_cast<int32_t>(std::min<int64_t>(to, int64_t{from} + step));
            if (probe < to && before(date(probe))) {
                from = probe + 1;
                step *= 2;
                continue;
            }
            int32_t a = from + 1, b = probe;
            while (a < b) {
                const int32_t m = a + (b - a) / 2;
                if (before(date(m))) {
                    a = m + 1;
                } else {
                    b = m;
                }
            }
            return a;
        }
        return from;
    }

    // Sets what rows [first, end) are to the windows (see kNoCell). Returns
    // whether their sums fit the fixed point, and then the fixed point.
    bool classify(const SplitPlan& plan, int32_t first, int32_t end, FixedPoint* fixed);
    // The rows classify() looked at: those any window of the targets can hold.
    int32_t first() const { return first_; }
    int32_t end() const { return end_; }
    const int32_t* dims() const { return dims_.data(); }
    int32_t dim(int32_t i) const { return dims_[static_cast<size_t>(i)]; }

private:
    TransactionColumns columns_;
    int32_t n_ = 0;
    int32_t first_ = 0, end_ = 0;
    std::vector<int32_t> dims_;  // per row, oldest first
};

}  // namespace dfbh
