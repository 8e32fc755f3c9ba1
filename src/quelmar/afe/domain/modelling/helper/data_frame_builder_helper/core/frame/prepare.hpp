// Preparation of a transaction table for the engine: the rows grouped by
// entity with a counting sort, each entity's rows newest first with a fixed
// tie-break (dimension code ascending, then quantity ascending, NaN last), so
// that the result never depends on the input row order; the columns are
// converted on the way (timestamps to milliseconds, quantities to float32,
// dimension codes to int8).
#pragma once

#include <cstdint>
#include <limits>

#include "core/common/parallel.hpp"
#include "core/common/views.hpp"

namespace dfbh {

// One input column: first element, byte stride between rows, element size in
// bytes (0: the column is absent).
struct InputColumn {
    const char* base = nullptr;
    int64_t stride = 0;
    int itemsize = 0;
};

// Calls f(k, p + k * stride) for every k < n. A contiguous column, the
// usual case, gets a loop of its own whose stride the compiler knows, so
// that it can vectorise it.
template <int64_t kSize, typename F>
inline void each_row(const char* p, int64_t stride, int64_t n, F f) {
    if (stride == kSize) {
        for (int64_t k = 0; k < n; ++k) f(k, p + k * kSize);
    } else {
        for (int64_t k = 0; k < n; ++k) f(k, p + k * stride);
    }
}

// Rows [first, first + n) of a signed integer column of 1, 2, 4 or 8 bytes
// (entity codes or ids, dimension codes), widened to int64.
template <typename T>
inline void widen(const char* p, int64_t stride, int64_t n, int64_t* out) {
    each_row<sizeof(T)>(p, stride, n, [out](int64_t k, const char* at) { out[k] = load<T>(at); });
}
inline void read_integers(const InputColumn& column, int64_t first, int64_t n, int64_t* out) {
    const char* p = column.base + first * column.stride;
    switch (column.itemsize) {
        case 1: widen<int8_t>(p, column.stride, n, out); break;
        case 2: widen<int16_t>(p, column.stride, n, out); break;
        case 4: widen<int32_t>(p, column.stride, n, out); break;
        default: widen<int64_t>(p, column.stride, n, out); break;
    }
}

// The columns of a transaction table, as the caller's buffers hold them.
struct TransactionTable {
    int64_t n_rows = 0;
    int64_t n_entities = 0;
    InputColumn entity;     // int32 or int64 codes, 0 .. n_entities - 1
    InputColumn timestamp;  // int64 counts of some time unit
    // A count c is c * ms_multiplier / ms_divisor milliseconds, rounded
    // toward minus infinity as a NumPy datetime64 cast rounds. One of the
    // two is 1 for every unit of fixed length except odd multiples.
    int64_t ms_multiplier = 1;
    int64_t ms_divisor = 1;
    bool nat_is_missing = false;  // the smallest int64 is NaT, a missing timestamp
    InputColumn quantity;         // float32 or float64
    InputColumn code;             // int8, int16, int32 or int64; absent: every code is 0
    // The caller has checked every row: no missing timestamp, milliseconds
    // within int64, codes within int8. The checks of the counting pass are
    // then skipped; a row that breaks the promise is prepared with a wrong
    // value (a wrapped timestamp, a narrowed code), never outside the output.
    bool rows_checked = false;
    // Only rows dated from keep_from to keep_until (milliseconds, both
    // included) are prepared: the rows that some target's windows can reach.
    // The others are checked and left out; `present`, if given (n_entities
    // elements), is set for every entity that has a row, left out or not.
    int64_t keep_from = std::numeric_limits<int64_t>::min();
    int64_t keep_until = std::numeric_limits<int64_t>::max();
    bool* present = nullptr;

    bool windowed() const {
        return keep_from != std::numeric_limits<int64_t>::min() || keep_until != std::numeric_limits<int64_t>::max();
    }
};

// The prepared columns, C-contiguous, allocated by the caller: the row
// arrays hold n_rows elements, of which the first offsets[n_entities] are
// prepared; `offsets` holds n_entities + 1 (entity e owns rows offsets[e] to
// offsets[e + 1] - 1).
struct PreparedTable {
    int64_t* dates = nullptr;
    float* quantities = nullptr;
    int8_t* codes = nullptr;
    int64_t* offsets = nullptr;
};

// The progress units a preparation counts up to: its rows, once per pass.
int64_t preparation_units(const TransactionTable& table);

// Fills `out`. A table it cannot prepare (more rows than int32 row numbers
// reach, an entity code outside 0 .. n_entities - 1, a missing timestamp,
// one whose milliseconds leave int64, a dimension code outside int8) throws
// Failure before anything is written to `out`. Passes run on up to n_jobs
// threads through `run`; a cancelled preparation returns with `out`
// incomplete.
void prepare_transactions(const TransactionTable& table, const PreparedTable& out, int n_jobs,
                          const RunWorkers& run, Progress& progress);

}  // namespace dfbh
