// The engine's target loop.
#include "core/frame/target_loop.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <numeric>
#include <vector>

#include "core/common/failure.hpp"
#include "core/frame/target_tasks.hpp"
#include "core/frame/target_writer.hpp"

namespace dfbh {
namespace {

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
    TargetRun(const EnginePlan& engine_plan, const SplitPlan& plan, const TargetCall& call,
              const CheckedTargets& checked, int n_jobs)
        : call_(call), offsets_(checked.offsets), tasks_(checked.tasks), plan_(plan),
          nan_(engine_plan.constants().FLOAT32_NAN), fills_row_(engine_plan.writer_fills_row()) {
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
        // An entity's rows are one contiguous run: the scanner is pointed at
        // the run and reads it through the row numbers 0, 1, 2, ... of the
        // longest.
        int64_t longest = 0;
        for (size_t e = 0; e + 1 < offsets_.size(); ++e) longest = std::max(longest, offsets_[e + 1] - offsets_[e]);
        row_numbers_.resize(static_cast<size_t>(longest));
        std::iota(row_numbers_.begin(), row_numbers_.end(), 0);
    }

    void run(const RunWorkers& run, Progress& progress) {
        run(threads_, [&](int worker) {
            TargetWriter writer(plan_, reporters_[static_cast<size_t>(worker)]);
            if (plan_.ordered_windows) {
                work_sliding(writer, progress);
            } else {
                work(writer, progress);
            }
        });
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

    void clear_row(float* row, int64_t n_rows) const {
        if (nan_first(call_.fill_nan, fills_row_, n_rows)) std::fill(row, row + call_.n_columns, nan_);
    }

    void work(TargetWriter& writer, Progress& progress) {
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
                if (current.n_rows > 0) {
                    writer.scan(task.target, call_.target_dates.get(task.target), current, row, row_numbers_.data());
                }
            }
            progress.add(last - first);
        }
    }

    // An entity's targets in date order (see order_by_date), each moving
    // the windows of the one before forward.
    void work_sliding(TargetWriter& writer, Progress& progress) {
        int64_t entity = -1;
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
                    writer.start_entity(current, first_date, last_date, task.target);
                }
                entity = task.entity;
                writer.write(task.target, call_.target_dates.get(task.target), row, row_numbers_.data());
            }
            progress.add(last - first);
        }
    }

    const TargetCall& call_;
    const std::vector<int64_t>& offsets_;
    const std::vector<Task>& tasks_;
    const SplitPlan& plan_;
    const float nan_;
    const bool fills_row_;
    std::vector<int64_t> morsel_first_;  // first task of every morsel, then the number of tasks
    int64_t n_morsels_ = 0;
    int threads_ = 0;
    std::vector<int32_t> row_numbers_;
    std::vector<CollectingReporter> reporters_;
    std::atomic<int64_t> next_morsel_{0};
};

}  // namespace

void compute_targets(const EnginePlan& plan, const TargetCall& call, int n_jobs, const RunWorkers& run,
                     Progress& progress) {
    CheckedTargets checked = check_targets(plan, call);
    if (call.n_targets == 0 || call.n_columns == 0) return;  // not a cell to write
    std::unique_ptr<SplitPlan> streamed;
    const SplitPlan& split =
        plan.for_result(call.n_targets * call.n_columns * static_cast<int64_t>(sizeof(float)), &streamed);
    // With ordered windows an entity's targets are computed in date order,
    // each moving the last one's windows forward (see SlidingScanner).
    if (split.ordered_windows) order_by_date(checked.tasks, call.target_dates);
    TargetRun targets(plan, split, call, checked, usable_threads(n_jobs));
    targets.run(run, progress);
    if (progress.is_cancelled()) return;
    if (const Failure* failure = targets.first_failure()) throw *failure;
}

}  // namespace dfbh
