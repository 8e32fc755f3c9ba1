// Reading blocks of transaction rows.
#include "core/frame/row_reading.hpp"

#include <algorithm>
#include <limits>

namespace dfbh {
namespace {


// Unit changes of timestamps. Each returns false when the milliseconds leave
// int64.
struct Unchanged {
    bool operator()(int64_t count, int64_t* ms) const {
        *ms = count;
        return true;
    }
};
struct Multiply {
    int64_t by;
    bool operator()(int64_t count, int64_t* ms) const { return !__builtin_mul_overflow(count, by, ms); }
};
// Floor division; a divisor known at compile time becomes a multiplication.
template <int64_t kDivisor>
struct DivideBy {
    bool operator()(int64_t count, int64_t* ms) const {
        int64_t q = count / kDivisor;
        if (count % kDivisor < 0) --q;
        *ms = q;
        return true;
    }
};
struct Divide {
    int64_t by;
    bool operator()(int64_t count, int64_t* ms) const {
        int64_t q = count / by;
        if (count % by < 0) --q;
        *ms = q;
        return true;
    }
};
// Both factors other than 1 (units such as 3 microseconds): the product in
// 128 bits, as exact as the cast it stands for.
struct Scale {
    int64_t multiplier, divisor;
    bool operator()(int64_t count, int64_t* ms) const {
        const __int128 product = static_cast<__int128>(count) * multiplier;
        __int128 q = product / divisor;
        if (product % divisor < 0) --q;
        if (q < std::numeric_limits<int64_t>::min() || q > std::numeric_limits<int64_t>::max()) return false;
        *ms = static_cast<int64_t>(q);
        return true;
    }
};

// Converts rows [first, first + n); `*bad` becomes the first row (relative
// to `first`) whose timestamp is missing or out of range, if it is not set.
// The loop over the rows only notes that some row failed, without a branch
// on it; the rare block with a failure is read again for its first one.
template <typename Convert>
void convert_timestamps(const InputColumn& column, bool nat_is_missing, int64_t first, int64_t n, int64_t* out,
                        int64_t* bad, Convert convert) {
    const char* p = column.base + first * column.stride;
    auto read = [&](const char* at, int64_t* ms) {
        const int64_t count = load<int64_t>(at);
        const bool missing = nat_is_missing && count == std::numeric_limits<int64_t>::min();
        return convert(count, ms) && !missing;
    };
    bool failed = false;
    each_row<8>(p, column.stride, n, [&](int64_t k, const char* at) {
        int64_t ms = 0;
        const bool ok = read(at, &ms);
        out[k] = ok ? ms : 0;
        failed |= !ok;
    });
    if (!failed || *bad >= 0) return;
    for (int64_t k = 0; k < n; ++k) {
        int64_t ms;
        if (!read(p + k * column.stride, &ms)) {
            *bad = k;
            return;
        }
    }
}

}  // namespace

void read_timestamps(const TransactionTable& table, int64_t first, int64_t n, int64_t* out, int64_t* bad) {
    const InputColumn& c = table.timestamp;
    const bool nat = table.nat_is_missing;
    const int64_t m = table.ms_multiplier, d = table.ms_divisor;
    if (m == 1 && d == 1) return convert_timestamps(c, nat, first, n, out, bad, Unchanged{});
    if (d == 1) return convert_timestamps(c, nat, first, n, out, bad, Multiply{m});
    if (m != 1) return convert_timestamps(c, nat, first, n, out, bad, Scale{m, d});
    // Microseconds and nanoseconds, the units tables usually come in.
    if (d == 1000) return convert_timestamps(c, nat, first, n, out, bad, DivideBy<1000>{});
    if (d == 1000000) return convert_timestamps(c, nat, first, n, out, bad, DivideBy<1000000>{});
    convert_timestamps(c, nat, first, n, out, bad, Divide{d});
}

void read_quantities(const InputColumn& column, int64_t first, int64_t n, float* out) {
    const char* p = column.base + first * column.stride;
    if (column.itemsize == 4) {
        each_row<4>(p, column.stride, n, [out](int64_t k, const char* at) { out[k] = load<float>(at); });
    } else {
        // Round to nearest, as NumPy's float64 -> float32 cast does.
        each_row<8>(p, column.stride, n,
                    [out](int64_t k, const char* at) { out[k] = static_cast<float>(load<double>(at)); });
    }
}

// As convert_timestamps: the first code outside int8 is looked for only in a
// block that has one.
template <typename T>
static void narrow_codes(const char* p, int64_t stride, int64_t n, int8_t* out, int64_t* bad) {
    auto outside = [](T code) { return code < -128 || code > 127; };
    bool failed = false;
    each_row<sizeof(T)>(p, stride, n, [&](int64_t k, const char* at) {
        const T code = load<T>(at);
        failed |= outside(code);
        out[k] = static_cast<int8_t>(code);
    });
    if (!failed || *bad >= 0) return;
    for (int64_t k = 0; k < n; ++k) {
        if (outside(load<T>(p + k * stride))) {
            *bad = k;
            return;
        }
    }
}

void read_codes(const InputColumn& column, int64_t first, int64_t n, int8_t* out, int64_t* bad) {
    const char* p = column.base + first * column.stride;
    switch (column.itemsize) {
        case 0: std::fill(out, out + n, int8_t{0}); break;
        case 1:
            each_row<1>(p, column.stride, n, [out](int64_t k, const char* at) { out[k] = load<int8_t>(at); });
            break;
        case 2: narrow_codes<int16_t>(p, column.stride, n, out, bad); break;
        case 4: narrow_codes<int32_t>(p, column.stride, n, out, bad); break;
        default: narrow_codes<int64_t>(p, column.stride, n, out, bad); break;
    }
}

}  // namespace dfbh
