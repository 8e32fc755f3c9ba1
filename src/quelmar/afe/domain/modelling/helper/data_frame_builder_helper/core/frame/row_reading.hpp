// Reading a block of transaction rows, converted to the prepared types, so
// that the per-row loops of the preparation carry no test on the input's
// types.
#pragma once

#include <cstdint>

#include "core/frame/prepare.hpp"

namespace dfbh {

// The timestamps of rows [first, first + n) in milliseconds; `*bad` becomes
// the first row (relative to `first`) whose timestamp is missing or leaves
// int64, if it is not set. Such a row reads 0.
void read_timestamps(const TransactionTable& table, int64_t first, int64_t n, int64_t* out, int64_t* bad);

// The quantities as float32, rounded to nearest as NumPy's cast does.
void read_quantities(const InputColumn& column, int64_t first, int64_t n, float* out);

// The codes as int8 (an absent column reads 0); `*bad` as for
// read_timestamps, for a code outside int8.
void read_codes(const InputColumn& column, int64_t first, int64_t n, int8_t* out, int64_t* bad);

}  // namespace dfbh
