// The scan of one entity at one target date: window and quantity filters,
// horizon assignment, cumulative accumulation per (dimension value, horizon)
// cell, the entity-wide CountDistinct / Mode statistics, and the hand-off to
// a row writer.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "kernel.hpp"

namespace dfbh {
namespace {

// The state of one scan. Cells are rows of nine slots, adjacent in memory.
class EntityScan {
public:
    EntityScan(const SplitPlan& plan, EntityScratch& scratch, int64_t target_date, ExecuteArgs& args,
               Host& host)
        : plan_(plan), s_(scratch), args_(args), host_(host), target_date_(target_date), H_(plan.H),
          buffer_(scratch.buffer.data()), records_(scratch.records.data()) {}

    // The three mode flags are template parameters so that the loop carries
    // no test of them per transaction. Returns false when the entity had to
    // be abandoned (already reported).
    template <bool kHasDate, bool kAfe, bool kTrackCodes>
    bool run(const View1<int32_t>& entity_rows);

    void write_statistics();

private:
    float* cell(int32_t dim, int32_t position) {
        return buffer_ + (static_cast<size_t>(dim) * H_ + position) * SLOT_COUNT;
    }
    void copy_cell(int32_t dim, int32_t from, int32_t to) {
        if (from != to) std::memcpy(cell(dim, to), cell(dim, from), SLOT_COUNT * sizeof(float));
    }
    int32_t find_horizon(int64_t date, int32_t* position, bool* inserted);
    int32_t report_date_out_of_range(int64_t date, int32_t* position, bool* inserted);
    void carry_forward(int32_t h, int32_t p);
    void fill_tail();
    void spread_statistics(int32_t from_horizon_above, int32_t below_horizon, bool inclusive_below);
    void accumulate(int32_t rec, int32_t dim, int32_t p, int32_t h, float q, float span);
    void count_code(int8_t code);
    void record_statistics(int32_t p);
    bool report_row_out_of_range(int32_t r, int64_t n_rows);

    const SplitPlan& plan_;
    EntityScratch& s_;
    ExecuteArgs& args_;
    Host& host_;
    const int64_t target_date_;
    const int32_t H_;
    float* const buffer_;
    RecordState* const records_;

    int32_t last_horizon_ = -1;
    bool inserted_position_ = false;  // a horizon outside horizon_list was looked up
    // CountDistinct / Mode state
    int32_t distinct_codes_ = 0;
    int32_t best_code_ = 0;
    int32_t best_count_ = 0;
    int32_t max_stat_position_ = -1;
};

// The smallest horizon whose window holds `date`: the first partition entry
// whose bound lies above it. The date filter lets only dates below
// upper_limit through (or equal to it in feature-group mode), so the
// out-of-range report is reachable only through inconsistent input.
inline int32_t EntityScan::find_horizon(int64_t date, int32_t* position, bool* inserted) {
    const Partitions& parts = s_.partitions;
    if (args_.for_afe_columns && date == parts.upper_limit) {
        *position = parts.position[H_ - 1];
        return parts.horizon[H_ - 1];
    }
    const int64_t* const bound = parts.bound.data();
    for (int32_t e = 0; e < H_; ++e) {
        if (date < bound[e]) {
            *position = parts.position[e];
            return parts.horizon[e];
        }
    }
    return report_date_out_of_range(date, position, inserted);
}

int32_t EntityScan::report_date_out_of_range(int64_t date, int32_t* position, bool* inserted) {
    host_.report(ErrorKind::Value, routine::get_horizon, "Date " + std::to_string(date) + " is out of range");
    *position = plan_.position_of(0, inserted);
    return 0;
}

// Stores the statistics of the latest recorded position under the
// positions of every horizon g of horizon_list with
// from_horizon_above < g and g < below_horizon (g <= with inclusive_below).
void EntityScan::spread_statistics(int32_t from_horizon_above, int32_t below_horizon, bool inclusive_below) {
    if (max_stat_position_ < 0) return;
    const double count = s_.distinct_count_at[max_stat_position_];
    const double mode = s_.mode_at[max_stat_position_];
    const auto& hl = plan_.horizon_list;
    for (int32_t k = 0; k < H_; ++k) {
        const int32_t g = hl[k];
        if (g > from_horizon_above && (inclusive_below ? g <= below_horizon : g < below_horizon)) {
            const int32_t q = plan_.list_position[k];
            s_.distinct_count_at[q] = count;
            s_.mode_at[q] = mode;
            s_.stat_present[q] = 1;
            if (q > max_stat_position_) max_stat_position_ = q;
        }
    }
}

// At a change to horizon h (position p), every dimension value seen so far
// has its latest cell copied onto the horizons between its last horizon
// and h, and onto h itself, so that accumulation stays cumulative.
void EntityScan::carry_forward(int32_t h, int32_t p) {
    const auto& hl = plan_.horizon_list;
    for (int32_t j : s_.seen_dims) {
        const RecordState& rs = records_[j];
        const int32_t L = rs.last_horizon;
        for (int32_t k = 0; k < H_; ++k) {
            const int32_t g = hl[k];
            if (h > g && g > L) copy_cell(j, rs.last_position, plan_.list_position[k]);
        }
        copy_cell(j, rs.last_position, p);
    }
    if (plan_.count_distinct_requested || plan_.mode_requested) spread_statistics(last_horizon_, h, false);
}

// After the scan, horizons above the last one reached receive the latest
// cell of every seen dimension value and the latest statistics.
void EntityScan::fill_tail() {
    const auto& hl = plan_.horizon_list;
    const int32_t max_h = plan_.max_horizon;
    for (int32_t j : s_.seen_dims) {
        const RecordState& rs = records_[j];
        for (int32_t k = 0; k < H_; ++k) {
            const int32_t g = hl[k];
            if (g <= max_h && g > last_horizon_) copy_cell(j, rs.last_position, plan_.list_position[k]);
        }
    }
    if (plan_.count_distinct_requested || plan_.mode_requested) spread_statistics(last_horizon_, max_h, true);
}

// Counts grow one at a time, so the mode (greatest count, ties to the
// smallest code) only ever moves to the code just counted.
void EntityScan::count_code(int8_t code) {
    const int32_t n = ++s_.code_counts[static_cast<uint8_t>(code)];
    if (n == 1) ++distinct_codes_;
    if (n > best_count_ || (n == best_count_ && code < best_code_)) {
        best_count_ = n;
        best_code_ = code;
    }
}

void EntityScan::record_statistics(int32_t p) {
    s_.distinct_count_at[p] = static_cast<double>(distinct_codes_);
    s_.mode_at[p] = static_cast<double>(best_code_);
    s_.stat_present[p] = 1;
    if (p > max_stat_position_) max_stat_position_ = p;
}

// Adds one accepted transaction to its cell (dim, p) and to the value's
// time-since bounds. The first transaction of a value starts its cells;
// later ones find, thanks to the carry-forward, the cumulative values of
// the smaller horizons in place.
inline void EntityScan::accumulate(int32_t rec, int32_t dim, int32_t p, int32_t h, float q, float span) {
    RecordState& rs = records_[rec];
    float* c = cell(dim, p);
    if (!rs.seen) {
        rs.span_largest = span;
        rs.span_smallest = span;
        c[DENSITY_SLOT] = q;
        c[MIN_SLOT] = q;
        c[MAX_SLOT] = q;
        c[SUM_SLOT] = q;
        c[FREQUENCY_SLOT] = 1.0f;
        rs.seen = 1;
        s_.seen_dims.push_back(dim);
        rs.last_horizon = h;
        rs.last_position = p;
        return;
    }
    if (span > rs.span_largest) rs.span_largest = span;
    if (rs.span_smallest > span) rs.span_smallest = span;
    // NaN on either side leaves Min and Max as they are.
    if (c[MIN_SLOT] > q) c[MIN_SLOT] = q;
    if (q > c[MAX_SLOT]) c[MAX_SLOT] = q;
    const float sum = q + c[SUM_SLOT];
    c[SUM_SLOT] = sum;
    const float frequency = static_cast<float>(static_cast<double>(c[FREQUENCY_SLOT]) + 1.0);
    c[FREQUENCY_SLOT] = frequency;
    c[DENSITY_SLOT] = sum / frequency;
    if (h > rs.last_horizon) {
        rs.last_horizon = h;
        rs.last_position = p;
    }
}

bool EntityScan::report_row_out_of_range(int32_t r, int64_t n_rows) {
    host_.report(ErrorKind::Index, routine::get_aggregates_and_fill_row,
                 "transaction row " + std::to_string(r) + " is out of range for the transaction arrays with " +
                     std::to_string(n_rows) + " rows");
    return false;
}

template <bool kHasDate, bool kAfe, bool kTrackCodes>
bool EntityScan::run(const View1<int32_t>& entity_rows) {
    const ExecuteArgs& a = args_;
    const int64_t upper = s_.partitions.upper_limit;
    const int64_t lower = s_.partitions.lower_limit;
    // Column pointers and row strides, so that a row costs one multiply per array.
    const char* const date_col = kHasDate ? a.trx_dates.base + a.date_col_index * a.trx_dates.s1 : nullptr;
    const int64_t date_stride = a.trx_dates.s0;
    const char* const q_col = a.trx_q_arrays.base + a.q_index * a.trx_q_arrays.s1;
    const int64_t q_stride = a.trx_q_arrays.s0;
    const char* const code_col = a.trx_d_arrays.base + a.d_index * a.trx_d_arrays.s1;
    const int64_t code_stride = a.trx_d_arrays.s0;
    // Every row number is checked against the rows of the arrays it indexes.
    int64_t n_rows = std::min(a.trx_q_arrays.n0, a.trx_d_arrays.n0);
    if (kHasDate) n_rows = std::min(n_rows, a.trx_dates.n0);
    const bool group_only = plan_.group_only;
    int32_t* const record_of_code = s_.record_of_code.data();
    const ValueRecord* const value_records = plan_.records.data();


    // Rows are visited in the caller's order, which for an event log is
    // random in memory: touching the rows a few steps ahead lets those
    // cache misses overlap instead of stalling the scan one by one.
    constexpr int64_t kAhead = 8;
    const int64_t count = entity_rows.n;
    auto prefetch_row = [&](int64_t m) {
        const int32_t r = entity_rows.get(m);
        if (static_cast<uint64_t>(static_cast<int64_t>(r)) < static_cast<uint64_t>(n_rows)) {
            if (kHasDate) __builtin_prefetch(date_col + r * date_stride);
            __builtin_prefetch(q_col + r * q_stride);
            __builtin_prefetch(code_col + r * code_stride);
        }
    };
    for (int64_t m = 0; m < std::min(kAhead, count); ++m) prefetch_row(m);

    for (int64_t n = 0; n < count; ++n) {
        if (n + kAhead < count) prefetch_row(n + kAhead);
        const int32_t r = entity_rows.get(n);
        if (static_cast<uint64_t>(static_cast<int64_t>(r)) >= static_cast<uint64_t>(n_rows)) {
            return report_row_out_of_range(r, n_rows);
        }
        // Date filter: rows newer than the window are passed over, the first
        // row older than it ends the scan (rows come newest first).
        int64_t t = 0;
        if (kHasDate) {
            t = load<int64_t>(date_col + r * date_stride);
            if (kAfe ? t > upper : t >= upper) continue;
            if (t < lower) break;
        }
        // Quantity filter: a NaN quantity passes outside feature-group mode,
        // since it does not compare <= 0.
        const float q = load<float>(q_col + r * q_stride);
        if (kAfe && std::isnan(q)) continue;
        if (q <= 0.0f) continue;

        const int8_t code = load<int8_t>(code_col + r * code_stride);
        if (kTrackCodes) count_code(code);
        const uint8_t code_slot = static_cast<uint8_t>(code);
        int32_t rec = record_of_code[code_slot];
        if (rec < 0) {
            // The lookup adds the code with mapped value 0 to the call's
            // index_map, where later splits see it.
            args_.index_map.at_or_insert(static_cast<int16_t>(code));
            rec = ~rec;
            record_of_code[code_slot] = rec;
        }
        const ValueRecord& record = value_records[rec];
        // The group filter comes before the horizon lookup: the lookup
        // cannot fail for a row that passed the date filter, so it has no
        // effect on a row that the group filter then drops.
        if (kAfe && group_only && !record.in_group) continue;

        int32_t h, p;
        if (kHasDate) {
            bool position_inserted = false;
            h = find_horizon(t, &p, &position_inserted);
            inserted_position_ |= position_inserted;
        } else {
            h = 1;
            p = plan_.no_date_position;
            inserted_position_ |= plan_.no_date_inserted;
        }

        const float span = get_span(plan_, target_date_, t, host_);
        if (h != last_horizon_ && last_horizon_ != -1) carry_forward(h, p);
        if (record.dim >= 0) accumulate(rec, record.dim, p, h, q, span);
        last_horizon_ = h;
        if (kTrackCodes) record_statistics(p);
    }

    if (last_horizon_ < plan_.max_horizon) fill_tail();
    return true;
}

// TimeSinceFirst / TimeSinceLast of every dimension value go into all of its
// horizon cells; CountDistinct / Mode per horizon go into every cell.
void EntityScan::write_statistics() {
    for (int32_t dim : s_.seen_dims) {
        const RecordState& rs = records_[dim];
        for (int32_t position : plan_.distinct_position) {
            float* c = cell(dim, position);
            c[TIME_SINCE_FIRST_SLOT] = rs.span_largest;
            c[TIME_SINCE_LAST_SLOT] = rs.span_smallest;
        }
        if (inserted_position_) {
            // A horizon outside horizon_list was looked up and thereby given
            // position 0, which the time-since writes then also reach.
            float* c = cell(dim, 0);
            c[TIME_SINCE_FIRST_SLOT] = rs.span_largest;
            c[TIME_SINCE_LAST_SLOT] = rs.span_smallest;
        }
    }
    const bool mode = plan_.mode_requested;
    const bool count = plan_.count_distinct_requested;
    if (!mode && !count) return;
    // A position without a recorded value receives 0.
    for (int32_t p = 0; p < H_; ++p) {
        const bool present = s_.stat_present[p] != 0;
        const float mode_value = present ? static_cast<float>(s_.mode_at[p]) : 0.0f;
        const float count_value = present ? static_cast<float>(s_.distinct_count_at[p]) : 0.0f;
        for (int32_t d = 0; d < plan_.D; ++d) {
            float* c = cell(d, p);
            if (mode) c[MODE_SLOT] = mode_value;
            if (count) c[COUNT_DISTINCT_SLOT] = count_value;
        }
    }
}

using ScanFn = bool (EntityScan::*)(const View1<int32_t>&);

template <bool kHasDate, bool kAfe>
ScanFn pick_scan(bool track_codes) {
    return track_codes ? &EntityScan::run<kHasDate, kAfe, true> : &EntityScan::run<kHasDate, kAfe, false>;
}

}  // namespace

// Between entities only the cells of the dimension values that the
// previous entity touched are set back to NaN: every other cell still holds
// NaN, except CountDistinct and Mode, which every entity that tracks them
// rewrites in full. The result is the same as resetting the whole buffer.
static void reset_touched_cells(const SplitPlan& plan, EntityScratch& scratch) {
    const size_t per_dim = static_cast<size_t>(plan.H) * SLOT_COUNT;
    for (int32_t dim : scratch.seen_dims) {
        float* first = scratch.buffer.data() + dim * per_dim;
        std::fill(first, first + per_dim, plan.constants->FLOAT32_NAN);
        scratch.records[dim].seen = 0;
    }
    scratch.seen_dims.clear();
}

void get_aggregates_and_fill_row(const SplitPlan& plan, EntityScratch& scratch, int64_t row_index,
                                 int64_t target_date, const View1<int32_t>& entity_rows, ExecuteArgs& args,
                                 Host& host) {
    if (entity_rows.n == 0) return;
    const bool track_codes = plan.count_distinct_requested || plan.mode_requested;
    if (track_codes) {
        scratch.code_counts.fill(0);
        std::fill(scratch.stat_present.begin(), scratch.stat_present.end(), 0);
    }
    partition(plan, scratch.partitions, target_date, host);

    EntityScan scan(plan, scratch, target_date, args, host);
    const bool has_date = args.date_col_index != -1;
    const ScanFn run = has_date ? (args.for_afe_columns ? pick_scan<true, true>(track_codes)
                                                        : pick_scan<true, false>(track_codes))
                                : (args.for_afe_columns ? pick_scan<false, true>(track_codes)
                                                        : pick_scan<false, false>(track_codes));
    if ((scan.*run)(entity_rows)) {
        scan.write_statistics();
        if (!args.for_afe_columns || !plan.ratio_requested) {
            fill_row(plan, scratch, row_index);
        } else {
            fill_row_for_ratio_column(plan, scratch, row_index);
        }
    }
    reset_touched_cells(plan, scratch);
}

}  // namespace dfbh
