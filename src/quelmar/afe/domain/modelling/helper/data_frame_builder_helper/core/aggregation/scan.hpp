// The scan of one entity at one target date, from its newest transaction to
// its oldest, and the hand-off of the finished buffer to a row writer. One
// `EntityScanner` serves the entities of one split (or of one engine
// worker): it owns the per-entity scratch, allocated once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/aggregation/cells.hpp"
#include "core/aggregation/code_statistics.hpp"
#include "core/common/failure.hpp"
#include "core/common/views.hpp"
#include "core/plan/plan.hpp"
#include "core/plan/windows.hpp"
#include "core/rows/row_writer.hpp"

namespace dfbh {

class EntityScanner {
public:
    EntityScanner(const SplitPlan& plan, const TransactionColumns& transactions, Reporter& reporter);

    // Computes the aggregates of the entity whose transaction rows are
    // `rows` (newest first) at `target_date` and writes them into the result
    // row at `row`. An entity without rows is passed over: nothing is
    // written. Throws Failure for a row number outside the transaction
    // arrays; the result row then keeps what it held.
    void scan_and_write(char* row, int64_t target_date, const View1<int32_t>& rows);

    // How many rows ahead of the one it reads a scan hints; the first this
    // many rows of an entity are hinted by its driver.
    static constexpr int64_t kRowsAhead = 16;

    // Hints for an entity the driver scans soon, so that its cache misses
    // overlap with the current scan: its row-number list two entities ahead
    // (the lines of the numbers of its first kRowsAhead rows), its first
    // rows (whose numbers have arrived by then) one entity ahead.
    static void prefetch_row_list(const View1<int32_t>& rows) {
        if (rows.n <= 0) return;
        prefetch(rows.base);
        prefetch(rows.base + (std::min(rows.n, kRowsAhead) - 1) * rows.stride);
    }
    void prefetch_first_rows(const View1<int32_t>& rows) const;
    // The lines of a result row that its writer will read before writing.
    void prefetch_result_row(const char* row) const { row_writer_.prefetch_row(row); }

    // Reads later scans from `transactions`. A driver whose entities each own
    // a contiguous run of rows points the scanner at that run and numbers the
    // rows from 0, instead of keeping a list of every row number.
    void set_transactions(const TransactionColumns& transactions) { transactions_ = transactions; }

    // Codes that index_map lacked and that a scan looked up.
    const MissingCodes& missing_codes() const { return missing_codes_; }

private:
    bool scan_ordered(const View1<int32_t>& rows, int64_t target_date, bool by_code);
    template <bool kGroupMode, bool kGroupOnly, bool kByCode>
    bool scan_ordered(const View1<int32_t>& rows, int64_t target_date);
    void scan_rows(const View1<int32_t>& rows, bool by_code);
    template <bool kHasDate, bool kGroupMode, bool kByCode>
    void scan_rows(const View1<int32_t>& rows);
    int32_t horizon_of(int64_t date, int32_t* entry, int32_t* position);
    [[gnu::cold, gnu::noinline]] int32_t date_out_of_range(int64_t date, int32_t* position);
    [[gnu::cold, gnu::noinline]] Failure row_out_of_range(int32_t r) const;
    [[gnu::cold, gnu::noinline]] void report_unknown_unit();

    const SplitPlan& plan_;
    TransactionColumns transactions_;
    Reporter& reporter_;
    CellGrid cells_;
    CodeStatistics statistics_;
    Windows windows_;
    std::vector<int64_t> starts_;  // window starts of the ordered scan, per position
    RowWriter row_writer_;
    MissingCodes missing_codes_{};
    // Per scan.
    CodeTally tally_;  // the last scan's final tally, whose codes the next one clears
    bool outside_position_used_ = false;  // a horizon outside the list was given position 0
};

}  // namespace dfbh
