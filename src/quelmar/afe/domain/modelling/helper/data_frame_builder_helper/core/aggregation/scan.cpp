// The row loops of the scan: the date, quantity and group filters and the
// dimension lookup (scan_rules.hpp), the horizon lookup, and the calls into
// the cells and the code statistics. The three mode flags are template
// parameters, so that the loop tests none of them per transaction.
#include "core/aggregation/scan.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>

#include "core/rows/row_writer.hpp"
#include "core/rules/scan_rules.hpp"

namespace dfbh {

EntityScanner::EntityScanner(const SplitPlan& plan, const TransactionColumns& transactions, Reporter& reporter)
    : plan_(plan),
      transactions_(transactions),
      reporter_(reporter),
      cells_(plan),
      statistics_(plan),
      row_writer_(plan) {
    windows_.bound.assign(plan.H, 0);
    windows_.horizon.assign(plan.H, 0);
    windows_.position.assign(plan.H, 0);
    starts_.assign(plan.H, 0);
}

// The smallest horizon whose window holds `date`: the first window entry
// whose bound lies above it. The bounds ascend, and rows come newest first,
// so the entry found only moves down the list: `entry` keeps the last one
// and walks from there (either way, for rows out of order). The date filter
// lets only dates below upper_limit through (or equal to it in feature-group
// mode), so the out-of-range report is reachable only through inconsistent
// windows.
inline int32_t EntityScanner::horizon_of(int64_t date, int32_t* entry, int32_t* position) {
    const int32_t H = plan_.H;
    if (plan_.group.on && date == windows_.upper_limit) {
        *position = windows_.position[H - 1];
        return windows_.horizon[H - 1];
    }
    const int64_t* const bound = windows_.bound.data();
    int32_t e = *entry;
    while (e > 0 && date < bound[e - 1]) --e;
    while (e < H && !(date < bound[e])) ++e;
    *entry = e;
    if (e == H) return date_out_of_range(date, position);
    *position = windows_.position[e];
    return windows_.horizon[e];
}

int32_t EntityScanner::date_out_of_range(int64_t date, int32_t* position) {
    reporter_.report(Failure{ErrorKind::Value, routine::get_horizon, "Date " + std::to_string(date) + " is out of range"});
    *position = plan_.position_of(0, &outside_position_used_);
    return 0;
}

namespace {

// Rows are visited in the caller's order, which for an event log is random
// in memory: touching the rows kRowsAhead steps ahead lets those cache
// misses overlap instead of stalling the scan one by one.
constexpr int64_t kRowsAhead = EntityScanner::kRowsAhead;

// An entity's rows as the row loops read them: the row numbers and the three
// columns, copied by value into a local of the loop. The cells take int64
// stores, which could alias the fields of the views and the scanner and
// force a reload of each on every row; a local's fields stay in registers.
struct RowSource {
    RowSource(const View1<int32_t>& rows, const TransactionColumns& trx)
        : numbers(rows.base), numbers_stride(rows.stride), count(rows.n), dates(trx.date),
          date_stride(trx.date_stride), quantities(trx.quantity), quantity_stride(trx.quantity_stride),
          codes(trx.code), code_stride(trx.code_stride), n_rows(static_cast<uint64_t>(trx.n_rows)) {}

    int32_t number(int64_t n) const { return load<int32_t>(numbers + n * numbers_stride); }
    // Whether row number r lies within the arrays.
    bool valid(int32_t r) const { return static_cast<uint64_t>(static_cast<int64_t>(r)) < n_rows; }
    int64_t date(int32_t r) const { return load<int64_t>(dates + r * date_stride); }
    float quantity(int32_t r) const { return load<float>(quantities + r * quantity_stride); }
    int8_t code(int32_t r) const { return load<int8_t>(codes + r * code_stride); }
    [[gnu::always_inline]] void prefetch_row(int32_t r) const {
        if (!valid(r)) return;
        if (dates) prefetch(dates + r * date_stride);
        prefetch(quantities + r * quantity_stride);
        prefetch(codes + r * code_stride);
    }

    const char* numbers;
    int64_t numbers_stride;
    int64_t count;
    const char* dates;  // null without a date column
    int64_t date_stride;
    const char* quantities;
    int64_t quantity_stride;
    const char* codes;
    int64_t code_stride;
    uint64_t n_rows;
};

// The row loops count codes into a local CodeTally, kept in registers like
// RowSource's fields; whatever way a scan ends, it is copied back so that
// the next entity clears the codes this one counted.
struct KeepTally {
    CodeTally& kept;
    const CodeTally& tally;
    ~KeepTally() { kept = tally; }
};

}  // namespace

// Rows of a history grouped by entity share lines: a row whose first column
// lies in the line of the row before is not hinted again, and of a run of
// row numbers one after the other only the ends are.
void EntityScanner::prefetch_first_rows(const View1<int32_t>& rows) const {
    const RowSource source(rows, transactions_);
    const int64_t n = std::min(kRowsAhead, rows.n);
    if (n <= 0) return;
    const int32_t first_row = source.number(0);
    const int32_t last_row = source.number(n - 1);
    if (std::abs(static_cast<int64_t>(last_row) - first_row) == n - 1) {
        source.prefetch_row(first_row);
        source.prefetch_row(last_row);
        return;
    }
    uintptr_t last_line = 0;
    for (int64_t m = 0; m < n; ++m) {
        const int32_t r = source.number(m);
        if (!source.valid(r)) continue;
        const char* first = source.dates ? source.dates + r * source.date_stride
                                         : source.quantities + r * source.quantity_stride;
        const uintptr_t line = reinterpret_cast<uintptr_t>(first) >> 6;
        if (line == last_line) continue;
        last_line = line;
        source.prefetch_row(r);
    }
}

// The scan of an entity whose rows come newest first, as a sorted history
// gives them, with horizons in ascending order: the window position only
// moves outward, tested against the next window start; a value's
// aggregates run on in its state and reach the cells when the scan leaves a
// position; the statistics likewise. Returns false, having changed nothing
// but the scratch, at the first row dated after the one before it: the
// caller then scans the entity with scan_rows.
template <bool kGroupMode, bool kGroupOnly, bool kByCode>
bool EntityScanner::scan_ordered(const View1<int32_t>& rows, int64_t target_date) {
    const RowSource source(rows, transactions_);
    const int64_t count = source.count;
    const CodeEntry* const code_entries = plan_.code_entries.data();
    const int32_t H = plan_.H;
    int64_t* const starts = starts_.data();
    for (int32_t j = 0; j < H; ++j) starts[j] = rules::window_start(plan_, target_date, j);
    const int64_t end = rules::window_end(plan_, target_date);
    const int64_t lower = starts[H - 1];
    const int64_t last = count - 1;
    // Rows numbered one after the other (a history grouped by entity) are
    // fetched ahead by the hardware; hints only cost instructions there.
    const bool hint_rows =
        count > kRowsAhead && std::abs(static_cast<int64_t>(source.number(last)) - source.number(0)) != last;
    // The next row: its number checked against the arrays, its date not after
    // the previous one.
    int64_t n = 0, previous = INT64_MAX, t = 0;
    int32_t r = 0;
    auto next_row = [&]() __attribute__((always_inline)) {
        if (hint_rows) source.prefetch_row(source.number(std::min(n + kRowsAhead, last)));
        r = source.number(n++);
        if (!source.valid(r)) throw row_out_of_range(r);
        t = source.date(r);
        const bool ordered = t <= previous;
        previous = t;
        return ordered;
    };

    CodeTally tally;
    const KeepTally keep{tally_, tally};

    // Rows after the window end are passed over; the first row older than
    // the largest window ends the scan.
    bool in_window = false;
    while (n < count) {
        if (!next_row()) return false;
        if (rules::not_after_end<kGroupMode>(t, end)) {
            in_window = true;
            break;
        }
    }
    int32_t p = 0;
    int64_t next_start = starts[0];
    while (in_window && !rules::before_start(t, lower)) {
        while (rules::before_start(t, next_start)) {
            cells_.snapshot(p);
            if (kByCode) statistics_.snapshot(tally, p);
            next_start = starts[++p];
        }
        const float q = source.quantity(r);
        if (rules::accepted_quantity<kGroupMode>(q)) {
            const int8_t code = source.code(r);
            if (kByCode) statistics_.count(tally, code);
            const CodeEntry& entry = rules::entry_of(code_entries, code);
            if (entry.missing) missing_codes_[code_slot(code)] = true;
            // A value outside the group has no cell here; where only the
            // group counts, no code is counted either (group_only and the
            // code statistics exclude each other).
            const int32_t dim = rules::cell_of<kGroupOnly>(entry);
            if (dim >= 0) cells_.add(dim, q, t);
        }
        if (n == count) break;
        if (!next_row()) return false;
    }
    for (; p < H; ++p) {
        cells_.snapshot(p);
        if (kByCode) statistics_.snapshot(tally, p);
    }
    return true;
}

template <bool kHasDate, bool kGroupMode, bool kByCode>
void EntityScanner::scan_rows(const View1<int32_t>& rows) {
    // Everything the loop reads is copied into locals first (see RowSource).
    const RowSource source(rows, transactions_);
    const int64_t count = source.count;
    const int64_t upper = windows_.upper_limit;
    const int64_t lower = windows_.lower_limit;
    const bool group_only = plan_.group_only;
    const CodeEntry* const code_entries = plan_.code_entries.data();
    const bool unit_known = plan_.windows.unit_ms != 0;

    int32_t entry = plan_.H;  // window entry of the last row, see horizon_of
    int32_t last_horizon = -1;
    CodeTally tally;
    const KeepTally keep{tally_, tally};
    // The driver touched the first kRowsAhead rows an entity ago.
    for (int64_t n = 0; n < count; ++n) {
        if (n + kRowsAhead < count) source.prefetch_row(source.number(n + kRowsAhead));
        const int32_t r = source.number(n);
        if (!source.valid(r)) throw row_out_of_range(r);
        // Date filter: rows newer than the window are passed over, the first
        // row older than it ends the scan (rows come newest first).
        int64_t t = 0;
        if (kHasDate) {
            t = source.date(r);
            if (!rules::not_after_end<kGroupMode>(t, upper)) continue;
            if (rules::before_start(t, lower)) break;
        }
        const float q = source.quantity(r);
        if (!rules::accepted_quantity<kGroupMode>(q)) continue;

        const int8_t code = source.code(r);
        if (kByCode) statistics_.count(tally, code);
        const CodeEntry& code_entry = rules::entry_of(code_entries, code);
        if (code_entry.missing) missing_codes_[code_slot(code)] = true;
        // The group filter comes before the horizon lookup: the lookup
        // cannot fail for a row that passed the date filter, so it has no
        // effect on a row that the group filter then drops.
        if (!rules::in_scope(code_entry, group_only)) continue;

        int32_t h, p;
        if (kHasDate) {
            h = horizon_of(t, &entry, &p);
        } else {
            h = 1;
            p = plan_.no_date_position;
            outside_position_used_ |= plan_.no_date_outside_list;
        }
        // The age of every accepted transaction is taken in the unit; the
        // cells keep dates and convert the two that are kept at the end.
        if (!unit_known) report_unknown_unit();

        if (h != last_horizon && last_horizon != -1) {
            cells_.carry_forward(h, p);
            if (kByCode) statistics_.carry_over(last_horizon, h, false);
        }
        const int32_t dim = rules::cell_of(code_entry, group_only);
        if (dim >= 0) cells_.accumulate(dim, p, h, q, t);
        last_horizon = h;
        if (kByCode) statistics_.record(tally, p);
    }

    if (last_horizon < plan_.max_horizon) {
        cells_.fill_tail(last_horizon);
        if (kByCode) statistics_.carry_over(last_horizon, plan_.max_horizon, true);
    }
}

Failure EntityScanner::row_out_of_range(int32_t r) const {
    return Failure{ErrorKind::Index, routine::get_aggregates_and_fill_row,
                   "transaction row " + std::to_string(r) + " is out of range for the transaction arrays with " +
                       std::to_string(transactions_.n_rows) + " rows"};
}

void EntityScanner::report_unknown_unit() {
    reporter_.report(resolution_not_recognized(routine::get_span, plan_.resolution));
}

void EntityScanner::scan_and_write(char* row, int64_t target_date, const View1<int32_t>& rows) {
    if (rows.n == 0) return;
    // Whatever the previous entity left, also after an abandoned scan.
    cells_.reset();
    const bool by_code = plan_.counts_codes();
    if (by_code) statistics_.reset(tally_);
    outside_position_used_ = false;

    if (!(ordered_windows_fit(plan_, target_date) && scan_ordered(rows, target_date, by_code))) {
        cells_.reset();
        if (by_code) statistics_.reset(tally_);
        cut_windows(plan_.windows, plan_.resolution, target_date, windows_, reporter_);
        scan_rows(rows, by_code);
    }

    if (plan_.reads(DENSITY_SLOT)) cells_.finish_density();
    cells_.write_time_since(target_date, plan_.windows.unit_ms, outside_position_used_);
    if (by_code) statistics_.write(cells_);
    row_writer_.write_row(cells_.data(), row, cells_.seen_dims(), cells_.n_seen());
}

// The mode flags as template arguments.
bool EntityScanner::scan_ordered(const View1<int32_t>& rows, int64_t target_date, bool by_code) {
    using Scan = bool (EntityScanner::*)(const View1<int32_t>&, int64_t);
    static constexpr Scan kScans[2][2][2] = {
        {{&EntityScanner::scan_ordered<false, false, false>, &EntityScanner::scan_ordered<false, false, true>},
         {&EntityScanner::scan_ordered<false, true, false>, &EntityScanner::scan_ordered<false, true, true>}},
        {{&EntityScanner::scan_ordered<true, false, false>, &EntityScanner::scan_ordered<true, false, true>},
         {&EntityScanner::scan_ordered<true, true, false>, &EntityScanner::scan_ordered<true, true, true>}},
    };
    return (this->*kScans[plan_.group.on][plan_.group_only][by_code])(rows, target_date);
}

void EntityScanner::scan_rows(const View1<int32_t>& rows, bool by_code) {
    using Scan = void (EntityScanner::*)(const View1<int32_t>&);
    static constexpr Scan kScans[2][2][2] = {
        {{&EntityScanner::scan_rows<false, false, false>, &EntityScanner::scan_rows<false, false, true>},
         {&EntityScanner::scan_rows<false, true, false>, &EntityScanner::scan_rows<false, true, true>}},
        {{&EntityScanner::scan_rows<true, false, false>, &EntityScanner::scan_rows<true, false, true>},
         {&EntityScanner::scan_rows<true, true, false>, &EntityScanner::scan_rows<true, true, true>}},
    };
    (this->*kScans[plan_.has_date][plan_.group.on][by_code])(rows);
}

}  // namespace dfbh
