// An exact sum of float32 values: a fixed-point integer wide enough for
// every finite float32 (2^-149 to below 2^128) with 31 bits of headroom for
// carries, so up to 2^31 values are held without any rounding. Values are
// added and removed in any order and the sum is the same integer, so a
// window that slides over millions of rows never drifts; reading rounds
// once, half to even, to the nearest float32.
//
// Infinities and NaNs are counted apart: the sum is NaN when it holds a NaN
// or both infinities, else an infinity when it holds one.
#pragma once

#include <cstdint>
#include <cstring>

namespace dfbh {

class ExactSum {
public:
    void add(float q) { apply(q, +1); }
    void remove(float q) { apply(q, -1); }
    void add(const ExactSum& other) {
        unsigned __int128 carry = 0;
        for (int k = 0; k < kLimbs; ++k) {
            carry += static_cast<unsigned __int128>(limb_[k]) + other.limb_[k];
            limb_[k] = static_cast<uint64_t>(carry);
            carry >>= 64;
        }
        nan_ += other.nan_;
        plus_inf_ += other.plus_inf_;
        minus_inf_ += other.minus_inf_;
    }
    void clear() { *this = ExactSum(); }

    // The float32 nearest the sum (ties to the even mantissa).
    float rounded(float nan) const {
        if (nan_ > 0 || (plus_inf_ > 0 && minus_inf_ > 0)) return nan;
        if (plus_inf_ > 0) return bits_to_float(0x7F800000u);
        if (minus_inf_ > 0) return bits_to_float(0xFF800000u);
        // Negative values make the integer wrap below zero: read its two's
        // complement as a sign and a magnitude.
        const bool negative = (limb_[kLimbs - 1] >> 63) != 0;
        uint64_t n[kLimbs];
        std::memcpy(n, limb_, sizeof(n));
        if (negative) {
            unsigned __int128 carry = 1;
            for (int k = 0; k < kLimbs; ++k) {
                carry += static_cast<uint64_t>(~n[k]);
                n[k] = static_cast<uint64_t>(carry);
                carry >>= 64;
            }
        }
        const uint32_t sign = negative ? 0x80000000u : 0u;
        int top = kLimbs - 1;
        while (top >= 0 && n[top] == 0) --top;
        if (top < 0) return bits_to_float(0);
        const int p = top * 64 + 63 - __builtin_clzll(n[top]);  // highest set bit
        // The integer counts units of 2^-149: up to 24 bits it is the
        // float32's own bit pattern (subnormal, or the smallest normal binade).
        if (p <= 23) return bits_to_float(sign | static_cast<uint32_t>(n[0]));
        const int shift = p - 23;
        uint64_t m = bits_at(n, shift);  // 24 bits
        const bool half = bit_at(n, shift - 1);
        if (half && (m & 1u || any_below(n, shift - 1))) ++m;
        // A mantissa that rounds up to 2^24 carries into the exponent field.
        const uint64_t magnitude = (static_cast<uint64_t>(shift) << 23) + m;
        if (magnitude >= 0x7F800000u) return bits_to_float(sign | 0x7F800000u);
        return bits_to_float(sign | static_cast<uint32_t>(magnitude));
    }

private:
    static constexpr int kLimbs = 5;  // 320 bits: 277 for the range, the rest headroom and sign

    static float bits_to_float(uint32_t bits) {
        float f;
        std::memcpy(&f, &bits, sizeof(f));
        return f;
    }

    void apply(float q, int direction) {
        uint32_t bits;
        std::memcpy(&bits, &q, sizeof(bits));
        const uint32_t exponent = (bits >> 23) & 0xFFu;
        const uint32_t fraction = bits & 0x7FFFFFu;
        const bool negative = (bits >> 31) != 0;
        if (exponent == 0xFFu) {
            int64_t& counter = fraction ? nan_ : (negative ? minus_inf_ : plus_inf_);
            counter += direction;
            return;
        }
        // q = mantissa * 2^(position - 149)
        const uint64_t mantissa = exponent ? (fraction | 0x800000u) : fraction;
        if (mantissa == 0) return;
        const int position = exponent ? static_cast<int>(exponent) - 1 : 0;
        const int k = position >> 6;
        const unsigned __int128 wide = static_cast<unsigned __int128>(mantissa) << (position & 63);
        const uint64_t low = static_cast<uint64_t>(wide), high = static_cast<uint64_t>(wide >> 64);
        if ((direction > 0) != negative) {
            unsigned __int128 carry = static_cast<unsigned __int128>(limb_[k]) + low;
            limb_[k] = static_cast<uint64_t>(carry);
            carry = (carry >> 64) + limb_[k + 1] + high;
            limb_[k + 1] = static_cast<uint64_t>(carry);
            for (int j = k + 2; j < kLimbs && (carry >> 64); ++j) {
                carry = static_cast<unsigned __int128>(limb_[j]) + 1;
                limb_[j] = static_cast<uint64_t>(carry);
            }
        } else {
            const uint64_t before = limb_[k];
            limb_[k] = before - low;
            uint64_t borrow = before < low;
            const uint64_t next = limb_[k + 1];
            limb_[k + 1] = next - high - borrow;
            borrow = next < high || (next - high) < borrow;
            for (int j = k + 2; j < kLimbs && borrow; ++j) borrow = limb_[j]-- == 0;
        }
    }

    static bool bit_at(const uint64_t* n, int i) { return (n[i >> 6] >> (i & 63)) & 1u; }
    // Bits [i, i + 24) of n.
    static uint64_t bits_at(const uint64_t* n, int i) {
        const int k = i >> 6, o = i & 63;
        uint64_t v = n[k] >> o;
        if (o > 40 && k + 1 < kLimbs) v |= n[k + 1] << (64 - o);
        return v & 0xFFFFFFu;
    }
    // Whether any bit below position i is set.
    static bool any_below(const uint64_t* n, int i) {
        const int k = i >> 6, o = i & 63;
        if (o && (n[k] & ((uint64_t{1} << o) - 1))) return true;
        for (int j = 0; j < k; ++j) {
            if (n[j]) return true;
        }
        return false;
    }

    uint64_t limb_[kLimbs] = {0, 0, 0, 0, 0};
    int64_t nan_ = 0, plus_inf_ = 0, minus_inf_ = 0;
};

}  // namespace dfbh
