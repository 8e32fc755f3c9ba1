// Targets from record values.
#include "core/frame/record_targets.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <numeric>
#include <string>

namespace dfbh {

RecordTarget::RecordTarget(const EnginePlan& plan) : plan_(plan), writer_(plan.split(), reporter_) {}

void RecordTarget::compute(const RecordRun* runs, int64_t k, int64_t since, int64_t at, float* row) {
    int64_t records = 0;
    for (int64_t j = 0; j < k; ++j) records += runs[j].n;
    if (records > std::numeric_limits<int32_t>::max()) {
        throw Failure{ErrorKind::Value, "compute_features",
                      "more than 2**31 - 1 transactions (" + std::to_string(records) + ") cannot be addressed"};
    }
    if (static_cast<size_t>(records) > dates_.size()) {
        dates_.resize(static_cast<size_t>(records));
        quantities_.resize(static_cast<size_t>(records));
        codes_.resize(static_cast<size_t>(records));
        const size_t numbered = row_numbers_.size();
        row_numbers_.resize(static_cast<size_t>(records));
        std::iota(row_numbers_.begin() + static_cast<ptrdiff_t>(numbered), row_numbers_.end(),
                  static_cast<int32_t>(numbered));
    }
    const RowColumns merged{dates_.data(), quantities_.data(), codes_.data(), records};
    const int64_t n = merge_records(runs, k, since, merged, merge_);
    if (nan_first(true, plan_.writer_fills_row(), n)) {
        std::fill(row, row + plan_.n_columns(), plan_.constants().FLOAT32_NAN);
    }
    if (n == 0) return;
    TransactionColumns rows;
    rows.date = reinterpret_cast<const char*>(dates_.data());
    rows.date_stride = sizeof(int64_t);
    rows.quantity = reinterpret_cast<const char*>(quantities_.data());
    rows.quantity_stride = sizeof(float);
    rows.code = reinterpret_cast<const char*>(codes_.data());
    rows.code_stride = sizeof(int8_t);
    rows.n_rows = n;
    writer_.start_entity(rows, at, at, 0);
    writer_.write(0, at, row, row_numbers_.data());
    if (const Failure* failure = reporter_.first()) {
        const Failure thrown = *failure;
        reporter_.clear();
        throw thrown;
    }
}

RecordTargetPool::Lease::Lease(RecordTargetPool& pool) : pool_(pool) {
    {
        std::lock_guard<std::mutex> lock(pool.mutex_);
        if (!pool.idle_.empty()) {
            target_ = std::move(pool.idle_.back());
            pool.idle_.pop_back();
        }
    }
    if (!target_) target_.reset(new RecordTarget(pool.plan_));
}

RecordTargetPool::Lease::~Lease() {
    std::lock_guard<std::mutex> lock(pool_.mutex_);
    try {
        pool_.idle_.push_back(std::move(target_));
    } catch (...) {
        // No room to keep it: the scratch is freed, the next lease makes one.
    }
}

void compute_record_rows(RecordTargetPool& pool, const RecordRun* runs, int64_t n, int64_t k, int64_t since,
                         int64_t at, float* out) {
    RecordTargetPool::Lease target(pool);
    const int64_t width = pool.plan().n_columns();
    for (int64_t i = 0; i < n; ++i) target->compute(runs + i * k, k, since, at, out + i * width);
}

void compute_record_rows(RecordTargetPool& pool, const RecordRun* runs, int64_t n, int64_t k, int64_t since,
                         int64_t at, float* out, int n_jobs, const RunWorkers& run, Progress& progress) {
    // Entities a worker takes at a time.
    constexpr int64_t kMorsel = 64;
    const int threads =
        static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(usable_threads(n_jobs), (n + kMorsel - 1) / kMorsel)));
    const int64_t width = pool.plan().n_columns();
    std::atomic<int64_t> next{0};
    run(threads, [&](int) {
        RecordTargetPool::Lease target(pool);
        for (;;) {
            if (progress.is_cancelled()) return;
            const int64_t first = next.fetch_add(kMorsel, std::memory_order_relaxed);
            if (first >= n) return;
            const int64_t last = std::min(n, first + kMorsel);
            for (int64_t i = first; i < last; ++i) target->compute(runs + i * k, k, since, at, out + i * width);
            progress.add(last - first);
        }
    });
}

}  // namespace dfbh
