// `execute`'s SplitHost: failures reported as unraisable, and the split's
// unread NumPy array made through the `np` of the module's namespace.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "boundary/py_support.hpp"
#include "core/split/split_loop.hpp"

namespace dfbh {

class PyHost final : public SplitHost {
public:
    // `module` is borrowed; the caller keeps it alive for the Host's life.
    PyHost(PyObject* module, const ModuleConstants& constants) : module_(module), constants_(constants) {}
    ~PyHost() override { release_unread_split_array(); }
    PyHost(const PyHost&) = delete;
    PyHost& operator=(const PyHost&) = delete;
    PyHost(PyHost&&) = delete;
    PyHost& operator=(PyHost&&) = delete;

    void report(const Failure& failure) override;
    bool make_unread_split_array(int64_t D, int64_t H) override;
    void release_unread_split_array() override;

private:
    bool call_numpy_full(int64_t D, int64_t H);

    PyObject* module_;  // borrowed
    const ModuleConstants& constants_;
    OwnedRef array_;
    BufferOwner array_view_;
};

}  // namespace dfbh
