// The engine's plan and its target loop.
#include "core/frame/target_loop.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <numeric>
#include <vector>

#include "core/aggregation/scan.hpp"
#include "core/common/failure.hpp"
#include "core/frame/target_tasks.hpp"
#include "core/plan/plan.hpp"
#include "core/sliding/sliding_scanner.hpp"

namespace dfbh {
namespace {

// The routine a failure inside a target's scan is reported under.
constexpr const char* kTargetRoutine = "compute_features";

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

// One plan for every target, the transactions' dates in a column of their own.
void plan_targets(SplitPlan& plan, const TargetCall& call) {
    const EngineRequest& request = call.request;
    CollectingReporter reporter;
    CodeTable codes(request.index_map);
    plan_split_shape(plan, request.horizons, true, codes, reporter);
    if (reporter.first()) throw *reporter.first();
    const ResultColumns columns{sizeof(float), call.n_columns,
                                call.n_targets * call.n_columns * static_cast<int64_t>(sizeof(float))};
    plan_scan(plan, scan_settings_of(request, *call.constants), codes, *call.constants, true);
    plan_column_writes(plan, request, columns);
    if (call.empty_statistic_nan) plan.empty_statistic = call.constants->FLOAT32_NAN;
}

// Whether the row writer stores every column of a row, so that it needs no
// NaN first: without ratio cells (written only for a positive total) every
// write of fill_row is unconditional.
bool writer_fills_row(const SplitPlan& plan, int64_t n_columns) {
    if (plan.ratio_requested) return false;
    std::vector<char> written(static_cast<size_t>(n_columns), 0);
    for (const CellWrite& w : plan.cell_writes) written[static_cast<size_t>(w.to / sizeof(float))] = 1;
    return std::find(written.begin(), written.end(), 0) == written.end();
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

// The workers' loop over morsels of consecutive tasks: small enough to
// balance entities of very different lengths, large enough that a worker
// stays on a run of neighbouring entities.
class TargetRun {
public:
    TargetRun(const TargetCall& call, const CheckedTargets& checked, const SplitPlan& plan, int n_jobs)
        : call_(call), offsets_(checked.offsets), tasks_(checked.tasks), plan_(plan) {
        const int64_t n = call.n_targets;
        const int64_t morsel = std::min<int64_t>(1024, std::max<int64_t>(16, n / (static_cast<int64_t>(n_jobs) * 32)));
        // A sliding pass starts over at a morsel's first target, reading its
        // windows' rows again: there a morsel runs on to its entity's last
        // target, unless the entity has many more targets than a morsel.
        const bool whole_entities = plan.ordered_windows;
        morsel_first_.push_back(0);
        for (int64_t k = 1; k < n; ++k) {
            const int64_t size = k - morsel_first_.back();
            if (size < morsel) continue;
            const bool new_entity = tasks_[static_cast<size_t>(k)].entity != tasks_[static_cast<size_t>(k) - 1].entity;
            if (!whole_entities || new_entity || size >= 8 * morsel) morsel_first_.push_back(k);
        }
        morsel_first_.push_back(n);
        n_morsels_ = static_cast<int64_t>(morsel_first_.size()) - 1;
        threads_ = static_cast<int>(std::min<int64_t>(n_jobs, n_morsels_));
        reporters_.resize(static_cast<size_t>(threads_));
        nan_fill_ = call.fill_nan && !writer_fills_row(plan, call.n_columns);
        // An entity's rows are one contiguous run: the scanner is pointed at
        // the run and reads it through the row numbers 0, 1, 2, ... of the
        // longest.
        int64_t longest = 0;
        for (size_t e = 0; e + 1 < offsets_.size(); ++e) longest = std::max(longest, offsets_[e + 1] - offsets_[e]);
        row_numbers_.resize(static_cast<size_t>(longest));
        std::iota(row_numbers_.begin(), row_numbers_.end(), 0);
    }

    void run(const RunWorkers& run, Progress& progress) {
        run(threads_, [&](int worker) { work(reporters_[static_cast<size_t>(worker)], progress); });
    }

    // The failure of the lowest target, if any.
    const Failure* first_failure() const {
        const CollectingReporter* failed = nullptr;
        for (const CollectingReporter& reporter : reporters_) {
            if (reporter.first() && (!failed || reporter.first_target() < failed->first_target())) failed = &reporter;
        }
        return failed ? failed->first() : nullptr;
    }

private:
    TransactionColumns columns_of(int64_t entity) const {
        TransactionColumns slice;
        if (entity < 0) return slice;
        const int64_t first = offsets_[static_cast<size_t>(entity)];
        slice.date = call_.dates.base + first * call_.dates.stride;
        slice.date_stride = call_.dates.stride;
        slice.quantity = call_.quantities.base + first * call_.quantities.stride;
        slice.quantity_stride = call_.quantities.stride;
        slice.code = call_.codes.base + first * call_.codes.stride;
        slice.code_stride = call_.codes.stride;
        slice.n_rows = offsets_[static_cast<size_t>(entity) + 1] - first;
        return slice;
    }

    // The first rows of a run, touched a task ahead so that their cache
    // misses overlap with the current scan (the scanner looks further ahead
    // within a run itself).
    static void prefetch_first_rows(const TransactionColumns& slice) {
        if (slice.n_rows == 0) return;
        __builtin_prefetch(slice.date);
        __builtin_prefetch(slice.quantity);
        __builtin_prefetch(slice.code);
    }

    // NaN first where the writer will not store every cell of the row.
    void clear_row(float* row, int64_t n_rows) const {
        if (n_rows == 0 ? call_.fill_nan : nan_fill_) std::fill(row, row + call_.n_columns, call_.constants->FLOAT32_NAN);
    }

    // One target from scratch: the newest-first scan of its entity's run.
    void scan(EntityScanner& scanner, CollectingReporter& reporter, const Task& task,
              const TransactionColumns& current, float* row) {
        const View1<int32_t> rows{reinterpret_cast<char*>(row_numbers_.data()), current.n_rows,
                                  static_cast<int64_t>(sizeof(int32_t))};
        scanner.set_transactions(current);
        reporter.set_target(task.target);
        run_or_report(reporter, kTargetRoutine, [&] {
            scanner.scan_and_write(reinterpret_cast<char*>(row), call_.target_dates.get(task.target), rows);
        });
    }

    void work(CollectingReporter& reporter, Progress& progress) {
        if (plan_.ordered_windows) {
            work_sliding(reporter, progress);
            return;
        }
        EntityScanner scanner(plan_, TransactionColumns{}, reporter);
        for (;;) {
            if (progress.is_cancelled()) return;
            const int64_t m = next_morsel_.fetch_add(1, std::memory_order_relaxed);
            if (m >= n_morsels_) return;
            const int64_t first = morsel_first_[static_cast<size_t>(m)], last = morsel_first_[static_cast<size_t>(m) + 1];
            TransactionColumns next = columns_of(tasks_[static_cast<size_t>(first)].entity);
            prefetch_first_rows(next);
            for (int64_t k = first; k < last; ++k) {
                const Task& task = tasks_[static_cast<size_t>(k)];
                const TransactionColumns current = next;
                if (k + 1 < last) {
                    next = columns_of(tasks_[static_cast<size_t>(k + 1)].entity);
                    prefetch_first_rows(next);
                }
                float* row = call_.out + task.target * call_.n_columns;
                clear_row(row, current.n_rows);
                if (current.n_rows > 0) scan(scanner, reporter, task, current, row);
            }
            progress.add(last - first);
        }
    }

    // An entity's targets in date order (see order_by_date), each moving
    // the windows of the one before forward.
    void work_sliding(CollectingReporter& reporter, Progress& progress) {
        SlidingScanner sliding(plan_);
        // For runs whose rows are not newest first (never prepared ones).
        EntityScanner scanner(plan_, TransactionColumns{}, reporter);
        int64_t entity = -1;
        bool in_order = false;
        for (;;) {
            if (progress.is_cancelled()) return;
            const int64_t m = next_morsel_.fetch_add(1, std::memory_order_relaxed);
            if (m >= n_morsels_) return;
            const int64_t first = morsel_first_[static_cast<size_t>(m)], last = morsel_first_[static_cast<size_t>(m) + 1];
            for (int64_t k = first; k < last; ++k) {
                const Task& task = tasks_[static_cast<size_t>(k)];
                const TransactionColumns current = columns_of(task.entity);
                float* row = call_.out + task.target * call_.n_columns;
                clear_row(row, current.n_rows);
                if (current.n_rows == 0) continue;
                if (k == first || task.entity != entity) {
                    // The entity's targets in this morsel come in date order.
                    int64_t end = k + 1;
                    while (end < last && tasks_[static_cast<size_t>(end)].entity == task.entity) ++end;
                    const int64_t first_date = call_.target_dates.get(task.target);
                    const int64_t last_date = call_.target_dates.get(tasks_[static_cast<size_t>(end) - 1].target);
                    in_order = false;
                    reporter.set_target(task.target);
                    run_or_report(reporter, kTargetRoutine,
                                  [&] { in_order = sliding.start_entity(current, first_date, last_date); });
                }
                entity = task.entity;
                const int64_t target_date = call_.target_dates.get(task.target);
                if (in_order && ordered_windows_fit(plan_, target_date)) {
                    reporter.set_target(task.target);
                    run_or_report(reporter, kTargetRoutine, [&] {
                        sliding.write(reinterpret_cast<char*>(row), target_date);
                    });
                } else {
                    scan(scanner, reporter, task, current, row);
                }
            }
            progress.add(last - first);
        }
    }

    const TargetCall& call_;
    const std::vector<int64_t>& offsets_;
    const std::vector<Task>& tasks_;
    const SplitPlan& plan_;
    std::vector<int64_t> morsel_first_;  // first task of every morsel, then the number of tasks
    int64_t n_morsels_ = 0;
    int threads_ = 0;
    bool nan_fill_ = false;
    std::vector<int32_t> row_numbers_;
    std::vector<CollectingReporter> reporters_;
    std::atomic<int64_t> next_morsel_{0};
};

}  // namespace

void compute_targets(const TargetCall& call, int n_jobs, const RunWorkers& run, Progress& progress) {
    CheckedTargets checked = check_targets(call);
    if (call.n_targets == 0 || call.n_columns == 0) return;  // not a cell to write
    SplitPlan plan;
    plan_targets(plan, call);
    // With ordered windows an entity's targets are computed in date order,
    // each moving the last one's windows forward (see SlidingScanner).
    if (plan.ordered_windows) order_by_date(checked.tasks, call.target_dates);
    TargetRun targets(call, checked, plan, usable_threads(n_jobs));
    targets.run(run, progress);
    if (progress.is_cancelled()) return;
    if (const Failure* failure = targets.first_failure()) throw *failure;
}

}  // namespace dfbh
