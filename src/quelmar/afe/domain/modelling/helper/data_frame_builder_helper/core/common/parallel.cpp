// The thread-based pass runner.
#include "core/common/parallel.hpp"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace dfbh {

void run_threads(int n_threads, const std::function<void(int)>& work, Progress& progress,
                 const std::function<void()>& tick, std::chrono::milliseconds interval) {
    std::mutex mutex;
    std::condition_variable finished;
    int running = 0;
    std::vector<std::exception_ptr> errors(static_cast<size_t>(n_threads) + 1);
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(n_threads));

    // An exception must never leave a std::thread (that ends the process):
    // each worker keeps its own.
    auto body = [&](int index) {
        try {
            work(index);
        } catch (...) {
            errors[static_cast<size_t>(index)] = std::current_exception();
            progress.cancel();
        }
        // The waiting thread joins every thread before these go out of
        // scope, so notifying after the unlock is safe.
        {
            std::lock_guard<std::mutex> lock(mutex);
            --running;
        }
        finished.notify_all();
    };

    std::exception_ptr start_error;
    for (int index = 0; index < n_threads; ++index) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++running;
        }
        try {
            threads.emplace_back(body, index);
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                --running;
            }
            start_error = std::current_exception();
            progress.cancel();
            break;
        }
    }

    std::unique_lock<std::mutex> lock(mutex);
    while (running > 0) {
        if (finished.wait_for(lock, interval, [&] { return running == 0; })) break;
        lock.unlock();
        if (tick) {
            try {
                tick();
            } catch (...) {
                if (!errors.back()) errors.back() = std::current_exception();
                progress.cancel();
            }
        }
        lock.lock();
    }
    lock.unlock();
    for (std::thread& thread : threads) thread.join();

    if (start_error) std::rethrow_exception(start_error);
    for (const std::exception_ptr& error : errors) {
        if (error) std::rethrow_exception(error);
    }
}

RunWorkers plain_threads(Progress& progress) {
    return [&progress](int n_threads, const std::function<void(int)>& work) {
        run_threads(n_threads, work, progress, std::function<void()>(), std::chrono::milliseconds(100));
    };
}

}  // namespace dfbh
