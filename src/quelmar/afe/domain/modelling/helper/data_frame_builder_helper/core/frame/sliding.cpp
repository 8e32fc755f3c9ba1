#include "core/frame/sliding.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace dfbh {

SlidingScanner::SlidingScanner(const SplitPlan& plan)
    : plan_(plan),
      H_(plan.H),
      by_code_(plan.count_distinct_requested || plan.mode_requested),
      nan_(plan.constants->FLOAT32_NAN),
      min_read_(plan.reads(MIN_SLOT)),
      max_read_(plan.reads(MAX_SLOT)),
      density_read_(plan.reads(DENSITY_SLOT)),
      spans_read_(plan.reads(TIME_SINCE_FIRST_SLOT) || plan.reads(TIME_SINCE_LAST_SLOT)),
      writer_(plan),
      // Dimension index D is spare: the cells of a value without rows in
      // the windows, which rows written in blocks read (see RowBlocks).
      buffer_(static_cast<size_t>(plan.D + 1) * plan.H * SLOT_COUNT, nan_),
      dims_(static_cast<size_t>(plan.D)),
      lo_(static_cast<size_t>(plan.H), 0),
      code_counts_(by_code_ ? static_cast<size_t>(plan.H) : 0),
      distinct_(static_cast<size_t>(plan.H), 0) {
    for (DimState& d : dims_) {
        d.ring.resize(static_cast<size_t>(H_));
        d.fixed_ring.assign(static_cast<size_t>(H_), 0);
        d.first.assign(static_cast<size_t>(H_), 0);
        d.min_queue.cursor.assign(static_cast<size_t>(H_), 0);
        d.max_queue.cursor.assign(static_cast<size_t>(H_), 0);
    }
    for (auto& counts : code_counts_) counts.fill(0);
}

bool SlidingScanner::start_entity(const TransactionColumns& rows, int64_t first_target, int64_t last_target) {
    dates_ = rows.date;
    quantities_ = rows.quantity;
    codes_ = rows.code;
    date_stride_ = rows.date_stride;
    quantity_stride_ = rows.quantity_stride;
    code_stride_ = rows.code_stride;
    n_ = static_cast<int32_t>(rows.n_rows);
    started_ = false;
    return classify_rows(first_target, last_target);
}

bool SlidingScanner::classify_rows(int64_t first_target, int64_t last_target) {
    prefix_ = false;
    keep_rows_ = true;
    // The loops over rows keep what they read in locals and walk the columns
    // by byte offsets (the rows oldest first are the columns read
    // backwards): their stores could otherwise be taken to change the
    // scanner's members, which would be read again for every row.
    const char* const dates = dates_;
    const int64_t date_stride = date_stride_;
    {
        int64_t at = (int64_t{n_} - 1) * date_stride, previous = std::numeric_limits<int64_t>::min();
        for (int32_t i = 0; i < n_; ++i, at -= date_stride) {
            const int64_t t = load<int64_t>(dates + at);
            if (t < previous) return false;
            previous = t;
        }
    }
    // Rows outside every window are never entered: they are neither
    // classified nor summed (sums are exact, so which rows decide the
    // fixed-point path changes no bit).
    row_first_ = window_rows_first(first_target);
    row_end_ = std::max(row_first_, window_rows_end(last_target));
    const int32_t first = row_first_, end = row_end_;
    row_dim_.resize(static_cast<size_t>(n_));
    int32_t* const row_dim = row_dim_.data();
    const CodeEntry* const entries = plan_.code_entries.data();
    const bool group_only = plan_.group_only, group_mode = plan_.group.on;
    const char* const quantities = quantities_;
    const char* const codes = codes_;
    const int64_t quantity_stride = quantity_stride_, code_stride = code_stride_;
    int64_t quantity_at = (int64_t{n_} - 1 - first) * quantity_stride;
    int64_t code_at = (int64_t{n_} - 1 - first) * code_stride;
    int low = 1 << 20, high = -1;
    bool fits = true;
    for (int32_t i = first; i < end; ++i, quantity_at -= quantity_stride, code_at -= code_stride) {
        const float q = load<float>(quantities + quantity_at);
        if (!accepted(q, group_mode)) {
            row_dim[i] = kRefused;
            continue;
        }
        const int32_t d = dim_of(entries, group_only, load<int8_t>(codes + code_at));
        row_dim[i] = d < 0 ? kNoCell : d;
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
    fixed_ = fits && (high < 0 || high - low + count_bits <= 62);
    if (!fixed_) return true;
    fixed_scale_ = std::ldexp(1.0, low - 149);
    fixed_low_ = low;
    if (!by_code_ && plan_.D <= kPrefixValuesMax) {
        build_prefix();
        keep_rows_ = spans_read_;
        enter_prefix_ = prefix_entry(min_read_, max_read_, keep_rows_);
        return true;
    }
    row_fixed_.resize(static_cast<size_t>(n_));
    for (int32_t i = first; i < end; ++i) {
        if (row_dim_[static_cast<size_t>(i)] >= 0) row_fixed_[static_cast<size_t>(i)] = fixed_of(quantity(i), low);
    }
    return true;
}

// The first row the windows of a target at `target_date` can hold, and the
// end of its rows: the same searches as write's.
int32_t SlidingScanner::window_rows_first(int64_t target_date) const {
    const int64_t oldest_start =
        sat_sub(target_date, plan_.window_start_offset[static_cast<size_t>(H_) - 1]);
    return skip(0, n_, [&](int64_t t) { return t < oldest_start; });
}

int32_t SlidingScanner::window_rows_end(int64_t target_date) const {
    const int64_t end = sat_sub(target_date, plan_.window_end_offset);
    if (plan_.group.on) return skip(0, n_, [&](int64_t t) { return t <= end; });
    return skip(0, n_, [&](int64_t t) { return t < end; });
}

// A quantity of the fixed-point path as an integer count of 2^-149 *
// 2^low (exact: no bit below `low` is set).
int64_t SlidingScanner::fixed_of(float q, int low) {
    uint32_t bits;
    std::memcpy(&bits, &q, sizeof(bits));
    const int position = static_cast<int>(bits >> 23) - 1;
    const uint32_t mantissa = (bits & 0x7FFFFFu) | 0x800000u;
    const int zeros = __builtin_ctz(mantissa);
    return static_cast<int64_t>(static_cast<uint64_t>(mantissa >> zeros) << (position + zeros - low));
}

// The float32 nearest an integer sum of the fixed-point path: int64 to
// float32 rounds to nearest, ties to even; the scaling by a power of two is
// exact for sums at or above the smallest normal (overflow gives the
// infinity rounding would give).
float SlidingScanner::fixed_sum(int64_t fixed) const {
    return static_cast<float>(static_cast<double>(static_cast<float>(fixed)) * fixed_scale_);
}

// The running totals of every value before each row. The entity's rows
// with a cell sum to less than 2^62 (see fixed_), so no total overflows.
// The totals stay in vector registers, two sums or four counts to each:
// every value's total takes each row's quantity masked by whether the row
// is of that value, so that nothing is stored and read back within a row
// (a narrow store read back by a wide load stalls) and no branch depends on
// the row's value. The masks of the sums come from a table by value (the
// baseline instruction set compares 64-bit lanes in several steps).
template <int D>
void SlidingScanner::build_prefix_of() {
    using Sums = int64_t __attribute__((vector_size(16)));
    using Counts = int32_t __attribute__((vector_size(16)));
    // The same, stored anywhere in the arrays of totals.
    using SumsAt = int64_t __attribute__((vector_size(16), aligned(8), may_alias));
    using CountsAt = int32_t __attribute__((vector_size(16), aligned(4), may_alias));
    constexpr int kSums = (D + 1) / 2, kCounts = (D + 3) / 4;
    // Each row's totals are stored as whole vectors, the next row's
    // overwriting what lies past D: the last row's need room past the end.
    prefix_sum_.resize((static_cast<size_t>(n_) + 1) * D + 2 * kSums);
    prefix_count_.resize((static_cast<size_t>(n_) + 1) * D + 4 * kCounts);
    // Totals from the first row the windows can hold: a window's Sum and
    // Frequency are differences of two of them.
    int64_t* sum = prefix_sum_.data() + static_cast<size_t>(row_first_) * D;
    int32_t* count = prefix_count_.data() + static_cast<size_t>(row_first_) * D;
    // Row d's masks at [d + 1]; a row without a cell (d < 0) reads the
    // zeros at [0] (it has no quantity either: v is 0).
    Sums sum_mask[D + 1][kSums], sums[kSums];
    Counts count_value[kCounts], counts[kCounts];
    for (int d = -1; d < D; ++d) {
        for (int k = 0; k < kSums; ++k) sum_mask[d + 1][k] = Sums{-(2 * k == d), -(2 * k + 1 == d)};
    }
    for (int k = 0; k < kSums; ++k) sums[k] = Sums{0, 0};
    for (int k = 0; k < kCounts; ++k) {
        count_value[k] = Counts{4 * k, 4 * k + 1, 4 * k + 2, 4 * k + 3};
        counts[k] = Counts{0, 0, 0, 0};
    }
    // Locals, as in classify_rows.
    const int32_t* const row_dim = row_dim_.data();
    const char* const quantities = quantities_;
    const int64_t quantity_stride = quantity_stride_;
    const int low = fixed_low_;
    const int32_t end = row_end_;
    int64_t quantity_at = (int64_t{n_} - 1 - row_first_) * quantity_stride;
    for (int32_t i = row_first_;; ++i, sum += D, count += D, quantity_at -= quantity_stride) {
        for (int k = 0; k < kSums; ++k) *reinterpret_cast<SumsAt*>(sum + 2 * k) = sums[k];
        for (int k = 0; k < kCounts; ++k) *reinterpret_cast<CountsAt*>(count + 4 * k) = counts[k];
        if (i == end) break;
        const int32_t d = row_dim[i];  // no lane matches a row without a cell
        const int64_t v = d >= 0 ? fixed_of(load<float>(quantities + quantity_at), low) : 0;
        const Sums* const mask = sum_mask[std::max(d, -1) + 1];
        for (int k = 0; k < kSums; ++k) sums[k] += mask[k] & v;
        // A comparison of vectors gives -1 in the lanes where it holds.
        for (int k = 0; k < kCounts; ++k) counts[k] -= count_value[k] == d;
    }
}

// The entry loop for the slots some write reads.
auto SlidingScanner::prefix_entry(bool min, bool max, bool rows) -> EnterRows {
    static constexpr EnterRows loops[8] = {
        &SlidingScanner::enter_prefix<false, false, false>, &SlidingScanner::enter_prefix<false, false, true>,
        &SlidingScanner::enter_prefix<false, true, false>,  &SlidingScanner::enter_prefix<false, true, true>,
        &SlidingScanner::enter_prefix<true, false, false>,  &SlidingScanner::enter_prefix<true, false, true>,
        &SlidingScanner::enter_prefix<true, true, false>,   &SlidingScanner::enter_prefix<true, true, true>,
    };
    return loops[(min ? 4 : 0) + (max ? 2 : 0) + (rows ? 1 : 0)];
}

void SlidingScanner::build_prefix() {
    static_assert(kPrefixValuesMax == 8, "one case per value count");
    switch (plan_.D) {
        case 1: build_prefix_of<1>(); break;
        case 2: build_prefix_of<2>(); break;
        case 3: build_prefix_of<3>(); break;
        case 4: build_prefix_of<4>(); break;
        case 5: build_prefix_of<5>(); break;
        case 6: build_prefix_of<6>(); break;
        case 7: build_prefix_of<7>(); break;
        case 8: build_prefix_of<8>(); break;
        default: break;  // no value has a cell: no total is read
    }
    prefix_ = true;
}

// The first row from `from` on (below `to`) whose date is not `before`,
// which holds for a prefix of the rows: galloping, then halving, so that a
// target far from the last one costs a logarithm, not the rows between.
template <typename Before>
int32_t SlidingScanner::skip(int32_t from, int32_t to, Before before) const {
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

// Empties every window: what the last entity (or the last target, when the
// next one's windows share no row with it) left.
void SlidingScanner::reset_state() {
    const size_t per_dim = static_cast<size_t>(H_) * SLOT_COUNT;
    for (int32_t d : touched_) {
        DimState& s = dims_[static_cast<size_t>(d)];
        if (s.rings_used) {
            for (ExactSum& r : s.ring) r.clear();
            std::fill(s.fixed_ring.begin(), s.fixed_ring.end(), 0);
            std::fill(s.first.begin(), s.first.end(), 0);
            s.rings_used = false;
        }
        s.rows.clear();
        s.min_queue.clear();
        s.max_queue.clear();
        s.touched = false;
        std::fill(buffer_.begin() + d * per_dim, buffer_.begin() + (d + 1) * per_dim, nan_);
    }
    touched_.clear();
    for (int16_t c : codes_present_) {
        const size_t slot = code_slot(static_cast<int8_t>(c));
        for (auto& counts : code_counts_) counts[slot] = 0;
        code_present_[slot] = false;
    }
    codes_present_.clear();
    std::fill(distinct_.begin(), distinct_.end(), 0);
}

// Code c counted `delta` times in the windows of positions from..H-1.
void SlidingScanner::count_code(int8_t c, int32_t from, int delta) {
    const size_t slot = code_slot(c);
    if (!code_present_[slot]) {
        code_present_[slot] = true;
        codes_present_.insert(std::upper_bound(codes_present_.begin(), codes_present_.end(), int16_t{c}), c);
    }
    for (int32_t j = from; j < H_; ++j) {
        int32_t& n = code_counts_[static_cast<size_t>(j)][slot];
        distinct_[static_cast<size_t>(j)] += (n == 0) - (n + delta == 0);
        n += delta;
    }
}

// Row i enters the window of `ring` (and so of every larger horizon).
// Once per row: inlined into the loops that call it.
[[gnu::always_inline]] inline void SlidingScanner::enter(int32_t i, int32_t ring) {
    const int32_t d = row_dim_[static_cast<size_t>(i)];
    if (d == kRefused) return;
    if (by_code_) count_code(code(i), ring, +1);
    if (d < 0) return;
    const float q = quantity(i);
    DimState& s = dims_[static_cast<size_t>(d)];
    if (!s.touched) {
        s.touched = true;
        touched_.push_back(d);
    }
    if (!prefix_) {
        s.rings_used = true;
        if (fixed_) {
            s.fixed_ring[static_cast<size_t>(ring)] += row_fixed_[static_cast<size_t>(i)];
        } else {
            s.ring[static_cast<size_t>(ring)].add(q);
        }
        // Positions whose windows start after the row keep it out.
        const int64_t index = static_cast<int64_t>(s.rows.size);
        for (int32_t j = 0; j < ring; ++j) s.first[static_cast<size_t>(j)] = index + 1;
    }
    if (keep_rows_) s.rows.push(i, q);
    // A NaN is no candidate for Min or Max; see queue_extreme.
    if (q == q) {
        if (min_read_) s.min_queue.push_extreme<false>(i, q);
        if (max_read_) s.max_queue.push_extreme<true>(i, q);
    }
}

template <bool kMin, bool kMax, bool kRows>
void SlidingScanner::enter_prefix(int32_t from, int32_t to) {
    // Locals, as in classify_rows.
    const int32_t* const row_dim = row_dim_.data();
    const char* const quantities = quantities_;
    const int64_t quantity_stride = quantity_stride_;
    DimState* const dims = dims_.data();
    int64_t quantity_at = (int64_t{n_} - 1 - from) * quantity_stride;
    for (int32_t i = from; i < to; ++i, quantity_at -= quantity_stride) {
        const int32_t d = row_dim[i];
        if (d < 0) continue;
        const float q = load<float>(quantities + quantity_at);
        DimState& s = dims[d];
        if (!s.touched) {
            s.touched = true;
            touched_.push_back(d);
        }
        if (kRows) s.rows.push(i, q);
        if (kMin) s.min_queue.push_extreme<false>(i, q);
        if (kMax) s.max_queue.push_extreme<true>(i, q);
    }
}

// Row i leaves the window of position j: it moves into position j + 1's
// ring, or out of every window when j is the largest horizon.
void SlidingScanner::cross(int32_t i, int32_t j) {
    const int32_t d = row_dim_[static_cast<size_t>(i)];
    if (d == kRefused) return;
    if (by_code_) {
        const size_t slot = code_slot(code(i));
        int32_t& n = code_counts_[static_cast<size_t>(j)][slot];
        distinct_[static_cast<size_t>(j)] -= n == 1;
        --n;
    }
    if (d < 0) return;
    DimState& s = dims_[static_cast<size_t>(d)];
    ++s.first[static_cast<size_t>(j)];
    if (fixed_) {
        const int64_t v = row_fixed_[static_cast<size_t>(i)];
        s.fixed_ring[static_cast<size_t>(j)] -= v;
        if (j + 1 < H_) {
            s.fixed_ring[static_cast<size_t>(j) + 1] += v;
            return;
        }
    } else {
        const float q = quantity(i);
        s.ring[static_cast<size_t>(j)].remove(q);
        if (j + 1 < H_) {
            s.ring[static_cast<size_t>(j) + 1].add(q);
            return;
        }
    }
    ++s.rows.head;
    if (s.min_queue.head < s.min_queue.size && s.min_queue.items[s.min_queue.head].row == i) ++s.min_queue.head;
    if (s.max_queue.head < s.max_queue.size && s.max_queue.items[s.max_queue.head].row == i) ++s.max_queue.head;
}

// Brings every cursor of the queue back to the items that stayed since the
// last target, and past those that left at the front.
void SlidingScanner::Queue::settle() {
    for (size_t& k : cursor) k = std::max(std::min(k, low_water), head);
    low_water = size;
}

// The Min or Max of position j's window, whose oldest row is `from`: the
// first candidate from there on, found by moving j's cursor forward. A
// newest-first scan keeps a NaN it starts with, and passes over later ones,
// so a NaN newest row is the answer (the caller's).
float SlidingScanner::queue_extreme(Queue& queue, int32_t j, int32_t from) const {
    size_t& k = queue.cursor[static_cast<size_t>(j)];
    const size_t n = queue.size;
    while (k < n && queue.items[k].row < from) ++k;
    return k == n ? nan_ : queue.items[k].q;
}

// A window's cells from its Sum and row count; `from` is a row number no
// later than the window's oldest row of the value and after every row
// before the window; `newest_q` the quantity of the value's newest row.
// Once per cell: inlined.
[[gnu::always_inline]] inline void SlidingScanner::write_window(float* c, DimState& s, int32_t j, int32_t from,
                                                                int64_t count, float sum, float newest_q,
                                                                float span_first, float span_last) {
    c[TIME_SINCE_FIRST_SLOT] = span_first;
    c[TIME_SINCE_LAST_SLOT] = span_last;
    if (count == 0) {
        c[DENSITY_SLOT] = c[MIN_SLOT] = c[MAX_SLOT] = c[SUM_SLOT] = c[FREQUENCY_SLOT] = nan_;
        return;
    }
    // Frequency counts in float32, where adding 1 stops at 2^24.
    const float frequency = static_cast<float>(std::min<int64_t>(count, int64_t{1} << 24));
    const bool newest_nan = newest_q != newest_q;
    c[SUM_SLOT] = sum;
    c[FREQUENCY_SLOT] = frequency;
    if (density_read_) c[DENSITY_SLOT] = count == 1 ? sum : sum / frequency;
    if (min_read_) c[MIN_SLOT] = newest_nan ? newest_q : queue_extreme(s.min_queue, j, from);
    if (max_read_) c[MAX_SLOT] = newest_nan ? newest_q : queue_extreme(s.max_queue, j, from);
}

// fill_buffer's work on the prefix path: Sum and Frequency from the running
// totals at the windows' ends, Min and Max from the queues by row number
// (rows before a window's start never count, whatever the queue holds).
void SlidingScanner::fill_buffer_prefix(int64_t target_date) {
    const int64_t unit = plan_.windows.unit_ms;
    const size_t D = static_cast<size_t>(plan_.D);
    const int64_t* sum_end = prefix_sum_.data() + static_cast<size_t>(hi_) * D;
    const int32_t* count_end = prefix_count_.data() + static_cast<size_t>(hi_) * D;
    const int32_t oldest = lo_[static_cast<size_t>(H_) - 1];
    for (int32_t d : touched_) {
        DimState& s = dims_[static_cast<size_t>(d)];
        const size_t at = static_cast<size_t>(d);
        float* const cells = buffer_.data() + static_cast<size_t>(d) * H_ * SLOT_COUNT;
        if (count_end[at] - prefix_count_[static_cast<size_t>(oldest) * D + at] == 0) {
            std::fill(cells, cells + static_cast<size_t>(H_) * SLOT_COUNT, nan_);
            continue;
        }
        seen_.push_back(d);
        if (min_read_) s.min_queue.settle();
        if (max_read_) s.max_queue.settle();
        // The rows are kept for the spans only: on this path no quantity
        // with a cell is NaN.
        float span_first = nan_, span_last = nan_;
        if (spans_read_) {
            while (s.rows.items[s.rows.head].row < oldest) ++s.rows.head;
            span_first = span_in_units(unit, target_date, date(s.rows.items[s.rows.head].row));
            span_last = span_in_units(unit, target_date, date(s.rows.back().row));
        }
        for (int32_t j = 0; j < H_; ++j) {
            const int32_t from = lo_[static_cast<size_t>(j)];
            const int64_t count = count_end[at] - prefix_count_[static_cast<size_t>(from) * D + at];
            const int64_t fixed = count ? sum_end[at] - prefix_sum_[static_cast<size_t>(from) * D + at] : 0;
            write_window(cells + static_cast<size_t>(j) * SLOT_COUNT, s, j, from, count, fixed_sum(fixed), 0.0f,
                         span_first, span_last);
        }
    }
}

void SlidingScanner::fill_buffer(int64_t target_date) {
    seen_.clear();
    if (prefix_) {
        fill_buffer_prefix(target_date);
        return;
    }
    const int64_t unit = plan_.windows.unit_ms;
    ExactSum running;
    for (int32_t d : touched_) {
        DimState& s = dims_[static_cast<size_t>(d)];
        const int64_t count_all = static_cast<int64_t>(s.rows.size);
        if (count_all - static_cast<int64_t>(s.rows.head) == 0) {
            float* first = buffer_.data() + static_cast<size_t>(d) * H_ * SLOT_COUNT;
            std::fill(first, first + static_cast<size_t>(H_) * SLOT_COUNT, nan_);
            continue;
        }
        seen_.push_back(d);
        if (min_read_) s.min_queue.settle();
        if (max_read_) s.max_queue.settle();
        const Entry& newest = s.rows.back();
        const float span_first =
            spans_read_ ? span_in_units(unit, target_date, date(s.rows.items[s.rows.head].row)) : nan_;
        const float span_last = spans_read_ ? span_in_units(unit, target_date, date(newest.row)) : nan_;
        running.clear();
        int64_t fixed_running = 0;
        for (int32_t j = 0; j < H_; ++j) {
            float* c = buffer_.data() + (static_cast<size_t>(d) * H_ + j) * SLOT_COUNT;
            if (fixed_) {
                fixed_running += s.fixed_ring[static_cast<size_t>(j)];
            } else {
                running.add(s.ring[static_cast<size_t>(j)]);
            }
            const int64_t first = s.first[static_cast<size_t>(j)];
            const int64_t count = count_all - first;
            if (count == 0) {
                write_window(c, s, j, 0, 0, nan_, newest.q, span_first, span_last);
                continue;
            }
            const float sum = fixed_ ? fixed_sum(fixed_running) : running.rounded(nan_);
            write_window(c, s, j, s.rows.items[static_cast<size_t>(first)].row, count, sum, newest.q, span_first,
                         span_last);
        }
    }
    if (!by_code_) return;
    for (int32_t j = 0; j < H_; ++j) {
        float count_value = plan_.empty_statistic, mode_value = plan_.empty_statistic;
        if (distinct_[static_cast<size_t>(j)] > 0) {
            // The greatest count; a tie goes to the smallest code.
            const auto& counts = code_counts_[static_cast<size_t>(j)];
            int32_t best = 0, best_code = 0;
            for (int16_t c : codes_present_) {
                if (counts[code_slot(static_cast<int8_t>(c))] > best) {
                    best = counts[code_slot(static_cast<int8_t>(c))];
                    best_code = c;
                }
            }
            count_value = static_cast<float>(distinct_[static_cast<size_t>(j)]);
            mode_value = static_cast<float>(best_code);
        }
        auto put = [&](int32_t d) {
            float* c = buffer_.data() + (static_cast<size_t>(d) * H_ + j) * SLOT_COUNT;
            if (plan_.mode_requested) c[MODE_SLOT] = mode_value;
            if (plan_.count_distinct_requested) c[COUNT_DISTINCT_SLOT] = count_value;
        };
        if (plan_.blocks.used) {
            // Blocks read the values with rows and the spare index only.
            for (int32_t d : seen_) put(d);
            put(plan_.D);
        } else {
            for (int32_t d = 0; d < plan_.D; ++d) put(d);
        }
    }
}

void SlidingScanner::write(char* row, int64_t target_date) {
    const bool inclusive_end = plan_.group.on;
    const int64_t end = sat_sub(target_date, plan_.window_end_offset);
    auto before_end = [&](int64_t t) { return inclusive_end ? t <= end : t < end; };
    // Where the windows of this target begin and end.
    const int32_t hi = skip(started_ ? hi_ : 0, n_, before_end);
    std::vector<int32_t>& lo = lo_;
    const int32_t largest = H_ - 1;
    const int64_t oldest_start = sat_sub(target_date, plan_.window_start_offset[static_cast<size_t>(largest)]);
    const int32_t oldest =
        skip(started_ ? lo[static_cast<size_t>(largest)] : 0, hi, [&](int64_t t) { return t < oldest_start; });

    if (!started_ || oldest >= hi_) {
        // Nothing of the last target's windows stays: start afresh, each row
        // entering its own ring once.
        reset_state();
        started_ = true;
        int32_t i = oldest;
        for (int32_t j = largest; j >= 0; --j) {
            const int64_t start = sat_sub(target_date, plan_.window_start_offset[static_cast<size_t>(j)]);
            const int32_t next = skip(i, hi, [&](int64_t t) { return t < start; });
            // Rows between the starts of positions j + 1 and j: ring j + 1
            // (the prefix path has no rings).
            if (prefix_) {
                i = next;
            } else {
                for (; i < next; ++i) enter(i, j + 1);
            }
            lo[static_cast<size_t>(j)] = next;
        }
        if (prefix_) {
            (this->*enter_prefix_)(oldest, hi);
        } else {
            for (; i < hi; ++i) enter(i, 0);
        }
        hi_ = hi;
    } else {
        if (prefix_) {
            (this->*enter_prefix_)(hi_, hi);
        } else {
            for (int32_t i = hi_; i < hi; ++i) enter(i, 0);
        }
        hi_ = hi;
        const char* const dates = dates_;
        const int64_t stride = date_stride_;
        for (int32_t j = 0; j < H_; ++j) {
            const int64_t start = sat_sub(target_date, plan_.window_start_offset[static_cast<size_t>(j)]);
            // The window's start passes rows oldest first: the dates column
            // read backwards, by a byte offset kept in a local.
            int32_t l = lo[static_cast<size_t>(j)];
            int64_t at = (int64_t{n_} - 1 - l) * stride;
            if (prefix_) {
                for (; l < hi && load<int64_t>(dates + at) < start; at -= stride) ++l;
            } else {
                for (; l < hi && load<int64_t>(dates + at) < start; at -= stride) cross(l++, j);
            }
            lo[static_cast<size_t>(j)] = l;
        }
    }
    fill_buffer(target_date);
    if (plan_.group.on && plan_.ratio_requested) {
        writer_.fill_row_for_ratio_column(buffer_.data(), row);
    } else {
        writer_.fill_row(buffer_.data(), row, seen_.data(), static_cast<int32_t>(seen_.size()));
    }
}

}  // namespace dfbh
