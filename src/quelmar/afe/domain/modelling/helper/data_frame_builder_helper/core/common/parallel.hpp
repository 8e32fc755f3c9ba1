// Worker threads for the core's parallel passes: a fixed set of threads per
// pass, a shared count of finished work that the waiting thread reads, and a
// cancel flag it may raise. Nothing here knows about Python; the boundary
// decides what the waiting thread does between looks at the workers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace dfbh {

// More threads than this are never started: the passes split their work into
// far fewer pieces than a larger count would need, and results do not depend
// on the count.
constexpr int kMaxThreads = 256;

inline int usable_threads(int64_t n_jobs) {
    return static_cast<int>(n_jobs < 1 ? 1 : (n_jobs > kMaxThreads ? kMaxThreads : n_jobs));
}

// The share of thread t of n_threads in rows [0, n): [first, last), the
// shares in row order and as even as integers allow.
struct Chunk {
    int64_t first, last;
};
inline Chunk chunk_of(int64_t n, int n_threads, int t) { return Chunk{n * t / n_threads, n * (t + 1) / n_threads}; }

// Shared by the workers of one computation and the thread that waits for
// them. Workers add what they finish and stop early once cancelled.
struct Progress {
    std::atomic<int64_t> done{0};
    std::atomic<bool> cancelled{false};

    void add(int64_t units) { done.fetch_add(units, std::memory_order_relaxed); }
    int64_t finished() const { return done.load(std::memory_order_relaxed); }
    void cancel() { cancelled.store(true, std::memory_order_relaxed); }
    bool is_cancelled() const { return cancelled.load(std::memory_order_relaxed); }
};

// Runs a pass: work(0), ..., work(n_threads - 1), each on a thread of its
// own, returning when all have finished. The passes of a computation call
// it one after another.
using RunWorkers = std::function<void(int n_threads, const std::function<void(int)>& work)>;

// The thread-based RunWorkers. While the workers run, the calling thread
// calls `tick` every `interval` (a tick that throws cancels the pass).
// Whatever a work item throws cancels the others through `progress` and is
// rethrown once every thread has finished: the exception of the lowest
// worker index. A thread that cannot be started cancels the pass, and the
// std::system_error is rethrown after the started ones have finished.
void run_threads(int n_threads, const std::function<void(int)>& work, Progress& progress,
                 const std::function<void()>& tick, std::chrono::milliseconds interval);

// RunWorkers over run_threads with nothing to do between looks.
RunWorkers plain_threads(Progress& progress);

}  // namespace dfbh
