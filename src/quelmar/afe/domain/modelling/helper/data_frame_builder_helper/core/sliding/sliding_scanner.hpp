// The engine's scan of one entity over its targets in time order: the
// windows move forward with the target date, rows enter at the window end
// and leave each horizon's window at its start, and what a row contributes
// is kept, not recomputed. Per entity the cost is the rows its windows cover
// plus the cells it writes, however many targets share those rows.
//
// Sums are exact: Sum is the float32 nearest the exact sum of the accepted
// quantities, whatever the order in which rows come and go; Density and
// Ratio are computed from these Sums as the row writer computes them from
// any. Every other cell is bit for bit what EntityScanner writes; both read
// what counts, and how, from scan_rules.hpp.
//
// How the sums are kept is chosen once per entity, from its rows: in exact
// rings, in int64 rings, or as differences of running totals (ring_sums.hpp,
// prefix_sums.hpp). The pass over the targets is written once and compiled
// for each, so that its loops test no choice of the kind.
//
// Needs a plan with ordered windows and targets whose windows fit the time
// line (see ordered_windows_fit; strictly ascending horizons, window
// offsets well inside the time line; see SplitPlan::ordered_windows).
#pragma once

#include <cstdint>

#include "core/common/views.hpp"
#include "core/plan/plan.hpp"
#include "core/rows/row_writer.hpp"
#include "core/sliding/entity_rows.hpp"
#include "core/sliding/prefix_sums.hpp"
#include "core/sliding/ring_sums.hpp"
#include "core/sliding/sliding_windows.hpp"

namespace dfbh {

class SlidingScanner {
public:
    explicit SlidingScanner(const SplitPlan& plan);

    // The next entity: its rows newest first, as prepared, and the first
    // and last of the target dates to come (only rows their windows can
    // hold are looked at). Returns false, for rows out of that order: the
    // caller then scans the entity's targets one by one instead.
    bool start_entity(const TransactionColumns& rows, int64_t first_target, int64_t last_target);
    // Writes the row of target date `target_date`; the dates of one entity
    // come in non-decreasing order.
    void write(char* row, int64_t target_date);

private:
    enum class Summation { exact, fixed, prefix };

    // Rows [first, end) are the ones the targets' windows can hold.
    int32_t window_rows_first(int64_t target_date) const;
    int32_t window_rows_end(int64_t target_date) const;
    template <class Sums>
    void write_with(Sums& sums, char* row, int64_t target_date);
    void reset();

    const SplitPlan& plan_;
    RowWriter writer_;
    EntityRows rows_;
    SlidingWindows windows_;
    RingSums<ExactAddends> exact_;
    RingSums<FixedAddends> fixed_;
    PrefixSums prefix_;
    Summation summation_ = Summation::exact;  // the entity's
    Summation kept_ = Summation::exact;       // whose sums the windows hold since the last reset
    bool started_ = false;                    // a target of the entity was written
};

}  // namespace dfbh
