// The engine's checks, its plan and its target loop.
#include "core/engine/target_loop.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "core/common/failure.hpp"
#include "core/split/plan.hpp"
#include "core/aggregation/scan.hpp"
#include "core/engine/sliding.hpp"
#include "core/split/windows.hpp"

namespace dfbh {
namespace {

constexpr const char* kRoutine = "compute_features";

[[noreturn]] void refuse(std::string message) { throw Failure{ErrorKind::Value, kRoutine, std::move(message)}; }

// A validated copy of the offsets: the checks then hold for the whole call,
// whatever another thread does to the caller's array meanwhile.
std::vector<int64_t> checked_offsets(const TargetCall& call, int64_t n_rows) {
    const View1<int64_t>& offsets = call.offsets;
    if (offsets.n < 1) refuse("offsets must hold n_entities + 1 entries, at least one");
    std::vector<int64_t> copy(static_cast<size_t>(offsets.n));
    int64_t previous = 0;
    for (int64_t e = 0; e < offsets.n; ++e) {
        const int64_t value = offsets.get(e);
        if (value < previous) {
            refuse("offsets must be non-decreasing from 0: offsets[" + std::to_string(e) + "] = " +
                   std::to_string(value) + " is below " + std::to_string(previous));
        }
        copy[static_cast<size_t>(e)] = previous = value;
    }
    if (previous > n_rows) {
        refuse("offsets reach row " + std::to_string(previous) + ", beyond the " + std::to_string(n_rows) +
               " transaction rows");
    }
    return copy;
}

// One target to compute: its result row and its entity (-1: none).
struct Task {
    int64_t target;
    int64_t entity;
};

// The targets grouped by entity (a counting sort, so O(targets + entities)),
// targets without an entity first; within an entity in target order. Checks
// every entity code on the way.
std::vector<Task> tasks_by_entity(const TargetCall& call, int64_t n_entities) {
    const InputColumn& column = call.target_entities;
    const int64_t n = call.n_targets;
    std::vector<int64_t> entity_of(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        const char* p = column.base + i * column.stride;
        int64_t e = column.itemsize == 8 ? load<int64_t>(p) : load<int32_t>(p);
        if (e >= n_entities) {
            refuse("target entity code " + std::to_string(e) + " at position " + std::to_string(i) +
                   " is beyond the " + std::to_string(n_entities) + " entities of offsets");
        }
        entity_of[static_cast<size_t>(i)] = e < 0 ? -1 : e;
    }
    // Bucket 0 holds the targets without an entity, bucket e + 1 entity e.
    std::vector<int64_t> start(static_cast<size_t>(n_entities) + 2, 0);
    for (int64_t e : entity_of) ++start[static_cast<size_t>(e + 2)];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<Task> tasks(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        const int64_t e = entity_of[static_cast<size_t>(i)];
        tasks[static_cast<size_t>(start[static_cast<size_t>(e + 1)]++)] = Task{i, e};
    }
    return tasks;
}

// Each entity's targets (a run of `tasks`) by date, ties in target order.
void order_by_date(std::vector<Task>& tasks, const View1<int64_t>& dates) {
    size_t begin = 0;
    while (begin < tasks.size()) {
        size_t end = begin + 1;
        while (end < tasks.size() && tasks[end].entity == tasks[begin].entity) ++end;
        std::sort(tasks.begin() + static_cast<ptrdiff_t>(begin), tasks.begin() + static_cast<ptrdiff_t>(end),
                  [&](const Task& a, const Task& b) {
                      const int64_t x = dates.get(a.target), y = dates.get(b.target);
                      return x != y ? x < y : a.target < b.target;
                  });
        begin = end;
    }
}

// Keeps the failures of one worker with the target each belongs to.
class CollectingReporter final : public Reporter {
public:
    void report(const Failure& failure) override {
        if (!first_ || target_ < first_target_) {
            first_.reset(new Failure(failure));
            first_target_ = target_;
        }
    }
    void set_target(int64_t target) { target_ = target; }
    const Failure* first() const { return first_.get(); }
    int64_t first_target() const { return first_target_; }

private:
    std::unique_ptr<Failure> first_;
    int64_t first_target_ = 0;
    int64_t target_ = 0;
};

}  // namespace

void compute_targets(const TargetCall& call, int n_jobs, const RunWorkers& run, Progress& progress) {
    n_jobs = usable_threads(n_jobs);
    const FeatureRequest& request = call.request;
    const int64_t n_rows = call.dates.n;
    if (call.quantities.n != n_rows || call.codes.n != n_rows) {
        refuse("the prepared columns differ in length: dates " + std::to_string(n_rows) + ", quantities " +
               std::to_string(call.quantities.n) + ", codes " + std::to_string(call.codes.n));
    }
    if (n_rows > std::numeric_limits<int32_t>::max()) {
        refuse("more than 2**31 - 1 transactions (" + std::to_string(n_rows) + ") cannot be addressed");
    }
    if (call.target_dates.n != call.n_targets) {
        refuse("target dates and target entity codes differ in length: " + std::to_string(call.target_dates.n) +
               " and " + std::to_string(call.n_targets));
    }
    if (request.horizons.empty()) refuse("horizons must not be empty");
    if (unit_ms_of(request.resolution) == 0) {
        refuse("resolution must be a code 0 to 5, got " + std::to_string(request.resolution));
    }
    for (const auto& entry : request.column_name_map.entries()) {
        if (entry.second < 0 || entry.second >= call.n_columns) {
            refuse("column_name_map[" + std::to_string(entry.first) + "] = " + std::to_string(entry.second) +
                   " is outside the " + std::to_string(call.n_columns) + " result columns");
        }
    }
    const std::vector<int64_t> offsets = checked_offsets(call, n_rows);
    const int64_t n_entities = static_cast<int64_t>(offsets.size()) - 1;
    std::vector<Task> tasks = tasks_by_entity(call, n_entities);
    if (call.n_targets == 0 || call.n_columns == 0) return;  // not a cell to write

    // One plan for every target: the one split of an `execute` call, with
    // the transactions' dates in a column of their own.
    CollectingReporter plan_reporter;
    CodeTable codes(request.index_map);
    SplitPlan plan;
    plan_split_shape(plan, request, codes, plan_reporter);
    if (plan_reporter.first()) throw *plan_reporter.first();
    const ResultColumns columns{sizeof(float), call.n_columns,
                                call.n_targets * call.n_columns * static_cast<int64_t>(sizeof(float))};
    plan_split(plan, request, codes, *call.constants, columns, true);
    if (call.empty_statistic_nan) plan.empty_statistic = call.constants->FLOAT32_NAN;

    // With ordered windows an entity's targets are computed in date order,
    // each moving the last one's windows forward (see SlidingScanner).
    const bool sliding = plan.ordered_windows;
    if (sliding) order_by_date(tasks, call.target_dates);

    // A row the writer stores in full needs no NaN first: without ratio
    // cells (written only for a positive total) every write of fill_row is
    // unconditional, so it suffices that its writes reach every column.
    bool writer_fills_row = false;
    if (call.fill_nan && !plan.ratio_requested) {
        std::vector<char> written(static_cast<size_t>(call.n_columns), 0);
        for (const CellWrite& w : plan.cell_writes) written[static_cast<size_t>(w.to / sizeof(float))] = 1;
        writer_fills_row = std::find(written.begin(), written.end(), 0) == written.end();
    }

    // An entity's rows are one contiguous run: the scanner is pointed at the
    // run and reads it through the row numbers 0, 1, 2, ... of the longest.
    int64_t longest = 0;
    for (size_t e = 0; e + 1 < offsets.size(); ++e) longest = std::max(longest, offsets[e + 1] - offsets[e]);
    std::vector<int32_t> row_numbers(static_cast<size_t>(longest));
    std::iota(row_numbers.begin(), row_numbers.end(), 0);
    auto columns_of = [&](int64_t entity) {
        TransactionColumns slice;
        if (entity < 0) return slice;
        const int64_t first = offsets[static_cast<size_t>(entity)];
        slice.date = call.dates.base + first * call.dates.stride;
        slice.date_stride = call.dates.stride;
        slice.quantity = call.quantities.base + first * call.quantities.stride;
        slice.quantity_stride = call.quantities.stride;
        slice.code = call.codes.base + first * call.codes.stride;
        slice.code_stride = call.codes.stride;
        slice.n_rows = offsets[static_cast<size_t>(entity) + 1] - first;
        return slice;
    };
    // The first rows of a run, touched a task ahead so that their cache
    // misses overlap with the current scan (the scanner looks further ahead
    // within a run itself).
    auto prefetch_first_rows = [](const TransactionColumns& slice) {
        if (slice.n_rows == 0) return;
        __builtin_prefetch(slice.date);
        __builtin_prefetch(slice.quantity);
        __builtin_prefetch(slice.code);
    };

    // Morsels of consecutive tasks, taken by the workers in turn: small
    // enough to balance entities of very different lengths, large enough
    // that a worker stays on a run of neighbouring entities.
    const int64_t n = call.n_targets;
    const int64_t morsel = std::min<int64_t>(1024, std::max<int64_t>(16, n / (static_cast<int64_t>(n_jobs) * 32)));
    const int64_t n_morsels = (n + morsel - 1) / morsel;
    const int threads = static_cast<int>(std::min<int64_t>(n_jobs, n_morsels));
    std::atomic<int64_t> next_morsel{0};
    std::vector<CollectingReporter> reporters(static_cast<size_t>(threads));
    const float nan = call.constants->FLOAT32_NAN;

    auto clear_row = [&](float* row, int64_t n_rows) {
        if (call.fill_nan && (n_rows == 0 || !writer_fills_row)) std::fill(row, row + call.n_columns, nan);
    };
    // One target from scratch: the newest-first scan of its entity's run.
    auto scan = [&](EntityScanner& scanner, CollectingReporter& reporter, const Task& task,
                    const TransactionColumns& current, float* row) {
        const View1<int32_t> rows{reinterpret_cast<char*>(row_numbers.data()), current.n_rows,
                                  static_cast<int64_t>(sizeof(int32_t))};
        scanner.set_transactions(current);
        reporter.set_target(task.target);
        run_or_report(reporter, routine::get_aggregates_and_fill_row, [&] {
            scanner.scan_and_write(reinterpret_cast<char*>(row), call.target_dates.get(task.target), rows);
        });
    };

    if (sliding) {
        run(threads, [&](int worker) {
            CollectingReporter& reporter = reporters[static_cast<size_t>(worker)];
            SlidingScanner sliding_scanner(plan);
            // For runs whose rows are not newest first (never prepared ones).
            EntityScanner scanner(plan, TransactionColumns{}, reporter);
            int64_t entity = -1;
            bool in_order = false;
            for (;;) {
                if (progress.is_cancelled()) return;
                const int64_t m = next_morsel.fetch_add(1, std::memory_order_relaxed);
                if (m >= n_morsels) return;
                const int64_t first = m * morsel, last = std::min(n, first + morsel);
                for (int64_t k = first; k < last; ++k) {
                    const Task& task = tasks[static_cast<size_t>(k)];
                    const TransactionColumns current = columns_of(task.entity);
                    float* row = call.out + task.target * call.n_columns;
                    clear_row(row, current.n_rows);
                    if (current.n_rows == 0) continue;
                    if (k == first || task.entity != entity) in_order = sliding_scanner.start_entity(current);
                    entity = task.entity;
                    if (in_order) {
                        sliding_scanner.write(reinterpret_cast<char*>(row), call.target_dates.get(task.target));
                    } else {
                        scan(scanner, reporter, task, current, row);
                    }
                }
                progress.add(last - first);
            }
        });
    } else {
        run(threads, [&](int worker) {
            CollectingReporter& reporter = reporters[static_cast<size_t>(worker)];
            EntityScanner scanner(plan, TransactionColumns{}, reporter);
            for (;;) {
                if (progress.is_cancelled()) return;
                const int64_t m = next_morsel.fetch_add(1, std::memory_order_relaxed);
                if (m >= n_morsels) return;
                const int64_t first = m * morsel, last = std::min(n, first + morsel);
                TransactionColumns next = columns_of(tasks[static_cast<size_t>(first)].entity);
                prefetch_first_rows(next);
                for (int64_t k = first; k < last; ++k) {
                    const Task& task = tasks[static_cast<size_t>(k)];
                    const TransactionColumns current = next;
                    if (k + 1 < last) {
                        next = columns_of(tasks[static_cast<size_t>(k + 1)].entity);
                        prefetch_first_rows(next);
                    }
                    float* row = call.out + task.target * call.n_columns;
                    clear_row(row, current.n_rows);
                    if (current.n_rows == 0) continue;
                    scan(scanner, reporter, task, current, row);
                }
                progress.add(last - first);
            }
        });
    }
    if (progress.is_cancelled()) return;

    const CollectingReporter* failed = nullptr;
    for (const CollectingReporter& reporter : reporters) {
        if (reporter.first() && (!failed || reporter.first_target() < failed->first_target())) failed = &reporter;
    }
    if (failed) throw *failed->first();
}

}  // namespace dfbh
