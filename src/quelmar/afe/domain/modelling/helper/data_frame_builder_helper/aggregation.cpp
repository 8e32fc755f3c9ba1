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
        : plan_(plan), s_(scratch), args_(args), host_(host), target_date_(target_date),
          H_(plan.H), buffer_(scratch.buffer.data()),
          track_codes_(plan.count_distinct_requested || plan.mode_requested) {}

    // Returns false when the entity had to be abandoned (already reported).
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
    void carry_forward(int32_t h, int32_t p);
    void fill_tail();
    void count_code(int8_t code);
    void record_statistics(int32_t p);

    const SplitPlan& plan_;
    EntityScratch& s_;
    ExecuteArgs& args_;
    Host& host_;
    const int64_t target_date_;
    const int32_t H_;
    float* const buffer_;
    const bool track_codes_;

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
// out-of-range report below is reachable only through inconsistent input.
int32_t EntityScan::find_horizon(int64_t date, int32_t* position, bool* inserted) {
    const Partitions& parts = s_.partitions;
    if (args_.for_afe_columns && date == parts.upper_limit) {
        *position = parts.position[H_ - 1];
        return parts.horizon[H_ - 1];
    }
    for (int32_t e = 0; e < H_; ++e) {
        if (date < parts.bound[e]) {
            *position = parts.position[e];
            return parts.horizon[e];
        }
    }
    host_.report(ErrorKind::Value, routine::get_horizon, "Date " + std::to_string(date) + " is out of range");
    *position = plan_.position_of(0, inserted);
    return 0;
}

// At a change to horizon h (position p), every dimension value seen so far
// has its latest cell copied onto the horizons between its last horizon
// and h, and onto h itself, so that accumulation stays cumulative.
void EntityScan::carry_forward(int32_t h, int32_t p) {
    const auto& hl = plan_.horizon_list;
    for (int32_t j = 0; j < plan_.D; ++j) {
        if (!s_.seen[j]) continue;
        const int32_t L = s_.last_seen_horizon[j];
        const int32_t from = plan_.position_of(L, &inserted_position_);
        for (int32_t k = 0; k < H_; ++k) {
            const int32_t g = hl[k];
            if (h > g && g > L) copy_cell(j, from, plan_.list_position[k]);
        }
        copy_cell(j, from, p);
    }
    if (track_codes_ && max_stat_position_ >= 0) {
        const double count = s_.distinct_count_at[max_stat_position_];
        const double mode = s_.mode_at[max_stat_position_];
        for (int32_t k = 0; k < H_; ++k) {
            const int32_t g = hl[k];
            if (h > g && g > last_horizon_) {
                const int32_t q = plan_.list_position[k];
                s_.distinct_count_at[q] = count;
                s_.mode_at[q] = mode;
                s_.stat_present[q] = 1;
                if (q > max_stat_position_) max_stat_position_ = q;
            }
        }
    }
}

// After the scan, horizons above the last one reached receive the latest
// cell of every seen dimension value and the latest statistics.
void EntityScan::fill_tail() {
    const auto& hl = plan_.horizon_list;
    const int32_t max_h = plan_.max_horizon;
    for (int32_t j = 0; j < plan_.D; ++j) {
        if (!s_.seen[j]) continue;
        const int32_t from = plan_.position_of(s_.last_seen_horizon[j], &inserted_position_);
        for (int32_t k = 0; k < H_; ++k) {
            const int32_t g = hl[k];
            if (g <= max_h && g > last_horizon_) copy_cell(j, from, plan_.list_position[k]);
        }
    }
    if (track_codes_ && max_stat_position_ >= 0) {
        const double count = s_.distinct_count_at[max_stat_position_];
        const double mode = s_.mode_at[max_stat_position_];
        for (int32_t k = 0; k < H_; ++k) {
            const int32_t g = hl[k];
            if (g <= max_h && g > last_horizon_) {
                const int32_t q = plan_.list_position[k];
                s_.distinct_count_at[q] = count;
                s_.mode_at[q] = mode;
                s_.stat_present[q] = 1;
                if (q > max_stat_position_) max_stat_position_ = q;
            }
        }
    }
}

// Counts grow one at a time, so the mode (greatest count, ties to the
// smallest code) only ever moves to the code just counted.
void EntityScan::count_code(int8_t code) {
    const uint8_t slot = static_cast<uint8_t>(code);
    const int32_t n = ++s_.code_counts[slot];
    if (n == 1) {
        ++distinct_codes_;
        s_.touched_codes.push_back(slot);
    }
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

bool EntityScan::run(const View1<int32_t>& entity_rows) {
    const ExecuteArgs& a = args_;
    const bool afe = a.for_afe_columns;
    const bool has_date = a.date_col_index != -1;
    const Partitions& parts = s_.partitions;
    const int64_t upper = parts.upper_limit;
    const int64_t lower = parts.lower_limit;
    // Every row number is checked against the rows of the arrays it indexes.
    int64_t n_rows = std::min(a.trx_q_arrays.n0, a.trx_d_arrays.n0);
    if (has_date) n_rows = std::min(n_rows, a.trx_dates.n0);

    bool no_date_inserted = false;
    const int32_t no_date_position = plan_.position_of(1, &no_date_inserted);

    for (int64_t n = 0; n < entity_rows.n; ++n) {
        const int32_t r = entity_rows.get(n);
        if (static_cast<uint64_t>(static_cast<int64_t>(r)) >= static_cast<uint64_t>(n_rows)) {
            host_.report(ErrorKind::Index, routine::get_aggregates_and_fill_row,
                         "transaction row " + std::to_string(r) + " is out of range for the transaction arrays with " +
                             std::to_string(n_rows) + " rows");
            return false;
        }
        int64_t t = 0;
        if (has_date) {
            t = a.trx_dates.get(r, a.date_col_index);
            if (afe ? t > upper : t >= upper) continue;
            if (t < lower) break;
        }
        const float q = a.trx_q_arrays.get(r, a.q_index);
        if (afe && std::isnan(q)) continue;
        if (q <= 0.0f) continue;

        const int8_t code = a.trx_d_arrays.get(r, a.d_index);
        if (track_codes_) count_code(code);
        const uint8_t code_slot = static_cast<uint8_t>(code);
        if (s_.code_missing[code_slot]) {
            // The lookup adds the code with mapped value 0 to the call's
            // index_map, where later splits see it.
            args_.index_map.at_or_insert(static_cast<int16_t>(code));
            s_.code_missing[code_slot] = false;
        }
        const int32_t rec = plan_.record_of_code[code_slot];
        const ValueRecord& record = plan_.records[rec];

        int32_t h, p;
        bool position_inserted = false;
        if (has_date) {
            h = find_horizon(t, &p, &position_inserted);
        } else {
            h = 1;
            p = no_date_position;
            position_inserted = no_date_inserted;
        }
        if (plan_.group_only && !record.in_group) continue;
        inserted_position_ |= position_inserted;
        if (record.dim < 0) {
            host_.report(ErrorKind::Index, routine::get_aggregates_and_fill_row,
                         "dimension code " + std::to_string(code) +
                             " has no dimension index: index_map held no dimension value when the split started");
            return false;
        }

        const float span = get_span(plan_, target_date_, t, host_);
        const bool seen = s_.seen[rec] != 0;
        if (!seen) {
            s_.span_largest[rec] = span;
            s_.span_smallest[rec] = span;
        } else {
            if (span > s_.span_largest[rec]) s_.span_largest[rec] = span;
            if (s_.span_smallest[rec] > span) s_.span_smallest[rec] = span;
        }

        if (h != last_horizon_ && last_horizon_ != -1) carry_forward(h, p);

        float* c = cell(record.dim, p);
        if (!seen) {
            c[DENSITY_SLOT] = q;
            c[MIN_SLOT] = q;
            c[MAX_SLOT] = q;
            c[SUM_SLOT] = q;
            c[FREQUENCY_SLOT] = 1.0f;
        } else {
            if (c[MIN_SLOT] > q) c[MIN_SLOT] = q;
            if (q > c[MAX_SLOT]) c[MAX_SLOT] = q;
            const float sum = q + c[SUM_SLOT];
            c[SUM_SLOT] = sum;
            const float frequency = static_cast<float>(static_cast<double>(c[FREQUENCY_SLOT]) + 1.0);
            c[FREQUENCY_SLOT] = frequency;
            c[DENSITY_SLOT] = sum / frequency;
        }
        last_horizon_ = h;
        if (track_codes_) record_statistics(p);

        if (!seen) {
            s_.seen[rec] = 1;
            s_.last_seen_horizon[rec] = h;
        } else if (h > s_.last_seen_horizon[rec]) {
            s_.last_seen_horizon[rec] = h;
        }
    }

    if (last_horizon_ < plan_.max_horizon) fill_tail();
    return true;
}

// TimeSinceFirst / TimeSinceLast of every dimension value go into all of its
// horizon cells; CountDistinct / Mode per horizon go into every cell.
void EntityScan::write_statistics() {
    for (int32_t rec : plan_.records_by_value) {
        if (!s_.seen[rec]) continue;
        const int32_t dim = plan_.records[rec].dim;
        const float largest = s_.span_largest[rec];
        const float smallest = s_.span_smallest[rec];
        for (int32_t position : plan_.distinct_position) {
            float* c = cell(dim, position);
            c[TIME_SINCE_FIRST_SLOT] = largest;
            c[TIME_SINCE_LAST_SLOT] = smallest;
        }
        if (inserted_position_) {
            // A horizon outside horizon_list was looked up and thereby given
            // position 0, which the time-since writes then also reach.
            float* c = cell(dim, 0);
            c[TIME_SINCE_FIRST_SLOT] = largest;
            c[TIME_SINCE_LAST_SLOT] = smallest;
        }
    }
    if (!track_codes_) return;
    const bool mode = plan_.mode_requested;
    const bool count = plan_.count_distinct_requested;
    for (int32_t d = 0; d < plan_.D; ++d) {
        for (int32_t p = 0; p < H_; ++p) {
            float* c = cell(d, p);
            const bool present = s_.stat_present[p] != 0;
            if (mode) c[MODE_SLOT] = present ? static_cast<float>(s_.mode_at[p]) : 0.0f;
            if (count) c[COUNT_DISTINCT_SLOT] = present ? static_cast<float>(s_.distinct_count_at[p]) : 0.0f;
        }
    }
}

}  // namespace

void get_aggregates_and_fill_row(const SplitPlan& plan, EntityScratch& scratch, int64_t row_index,
                                 int64_t target_date, const View1<int32_t>& entity_rows, ExecuteArgs& args,
                                 Host& host) {
    if (entity_rows.n == 0) return;
    std::fill(scratch.buffer.begin(), scratch.buffer.end(), plan.constants->FLOAT32_NAN);
    std::fill(scratch.seen.begin(), scratch.seen.end(), 0);
    if (plan.count_distinct_requested || plan.mode_requested) {
        for (uint8_t code : scratch.touched_codes) scratch.code_counts[code] = 0;
        scratch.touched_codes.clear();
        std::fill(scratch.stat_present.begin(), scratch.stat_present.end(), 0);
    }
    partition(plan, scratch.partitions, target_date, host);

    EntityScan scan(plan, scratch, target_date, args, host);
    if (!scan.run(entity_rows)) return;
    scan.write_statistics();

    if (!args.for_afe_columns || !plan.ratio_requested) {
        fill_row(plan, scratch, row_index);
    } else {
        fill_row_for_ratio_column(plan, scratch, row_index);
    }
}

}  // namespace dfbh
