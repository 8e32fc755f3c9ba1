// The store's targets: one per entity, its rows the merge of its record
// values (record_merge.hpp), its row the bits compute_targets writes for
// the same rows and date with fill_nan. The scratch of a computation is
// kept between calls, so that a steady stream of targets allocates nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/common/parallel.hpp"
#include "core/frame/engine_plan.hpp"
#include "core/frame/record_merge.hpp"
#include "core/frame/target_writer.hpp"

namespace dfbh {

// One thread's scratch over one plan.
class RecordTarget {
public:
    explicit RecordTarget(const EnginePlan& plan);
    RecordTarget(const RecordTarget&) = delete;
    RecordTarget& operator=(const RecordTarget&) = delete;

    // Writes the n_columns cells of `row`: the target at `at` of the entity
    // whose values are the k `runs`, its rows dated from `since` on. Throws
    // Failure (an entity of more than 2**31 - 1 rows, or one a scan reports).
    void compute(const RecordRun* runs, int64_t k, int64_t since, int64_t at, float* row);

private:
    const EnginePlan& plan_;
    CollectingReporter reporter_;
    TargetWriter writer_;
    MergeScratch merge_;
    // The entity's merged rows, and the numbers 0, 1, 2, ... of each.
    std::vector<int64_t> dates_;
    std::vector<float> quantities_;
    std::vector<int8_t> codes_;
    std::vector<int32_t> row_numbers_;
};

// Scratches for the threads that compute with one plan at once: a lease
// takes one (made on the first need) and gives it back when it ends. A
// thread-local scratch would be made again whenever a thread alternates
// between plans, and would outlive them.
class RecordTargetPool {
public:
    explicit RecordTargetPool(const EnginePlan& plan) : plan_(plan) {}

    class Lease {
    public:
        explicit Lease(RecordTargetPool& pool);
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        RecordTarget& operator*() const { return *target_; }
        RecordTarget* operator->() const { return target_.get(); }

    private:
        RecordTargetPool& pool_;
        std::unique_ptr<RecordTarget> target_;
    };

    const EnginePlan& plan() const { return plan_; }

private:
    const EnginePlan& plan_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<RecordTarget>> idle_;
};

// Rows of `n` entities at `at`: entity i's values are runs[i * k] to
// runs[i * k + k - 1], its row is row i of `out` (n x n_columns). On up to
// n_jobs threads through `run`; progress counts the entities.
void compute_record_rows(RecordTargetPool& pool, const RecordRun* runs, int64_t n, int64_t k, int64_t since,
                         int64_t at, float* out, int n_jobs, const RunWorkers& run, Progress& progress);

// The same on the calling thread, for a call too small to pay for threads.
void compute_record_rows(RecordTargetPool& pool, const RecordRun* runs, int64_t n, int64_t k, int64_t since,
                         int64_t at, float* out);

}  // namespace dfbh
