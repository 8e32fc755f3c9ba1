// Running the engine's work without the interpreter lock while the calling
// thread watches it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>

#include "boundary/py_support.hpp"
#include "core/common/parallel.hpp"

namespace dfbh {

// Runs a computation with the interpreter lock released. Every 100 ms the
// calling thread takes the lock back briefly: it checks for signals
// (Ctrl-C) and calls `progress(done, total)`. An exception from either
// cancels the computation and is raised once the workers stop; so is a
// C++ exception of the computation itself, through raise_from_cpp_exception.
class Watch {
public:
    Watch(PyObject* callback, int64_t total, Progress& progress)
        : callback_(callback), total_(total), progress_(progress) {}
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    ~Watch();

    // Runs `compute` (which receives the RunWorkers to use) without the lock.
    // False with a Python exception set when it failed or was interrupted.
    template <typename Compute>
    bool run(Compute compute) {
        std::exception_ptr error;
        {
            GilReleased released;
            released_ = &released;
            try {
                compute(RunWorkers([this](int n_threads, const std::function<void(int)>& work) {
                    run_threads(n_threads, work, progress_, [this] { tick(); }, std::chrono::milliseconds(100));
                }));
            } catch (...) {
                error = std::current_exception();
            }
            released_ = nullptr;
        }
        return finish(error);
    }

private:
    void tick();
    bool finish(const std::exception_ptr& error);

    PyObject* callback_;  // borrowed; the caller's argument, alive for the call
    int64_t total_;
    Progress& progress_;
    GilReleased* released_ = nullptr;
    // The exception of an interrupt or of the callback, until it is raised.
    PyObject* interrupted_type_ = nullptr;
    PyObject* interrupted_value_ = nullptr;
    PyObject* interrupted_traceback_ = nullptr;
};

}  // namespace dfbh
