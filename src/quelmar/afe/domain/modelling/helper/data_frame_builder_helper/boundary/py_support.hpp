// The boundaries' small Python toolbox: owners for references, exported
// buffers and the released interpreter lock, the one mapping of a core
// Failure (or any C++ exception) onto a Python exception, and the
// unraisable-report rule of `execute`'s routines.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/common/failure.hpp"

namespace dfbh {

// Owns one strong reference. Replaces the C idiom of a `Py_XDECREF(x)` for
// every local at each `goto error` exit. Not copyable or movable, so a
// reference is never owned twice or lost in a move.
class OwnedRef {
public:
    OwnedRef() = default;
    // Takes over a new reference (may be null: the call that produced it failed).
    explicit OwnedRef(PyObject* new_reference) : object_(new_reference) {}
    ~OwnedRef() { Py_XDECREF(object_); }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&&) = delete;
    OwnedRef& operator=(OwnedRef&&) = delete;

    // Drops the current reference and takes over `new_reference`.
    void reset(PyObject* new_reference = nullptr) {
        PyObject* old = object_;
        object_ = new_reference;
        Py_XDECREF(old);
    }
    // Borrowed: valid while this owner holds it.
    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Owns one exported Py_buffer. Replaces the C idiom of pairing every
// successful PyObject_GetBuffer with a PyBuffer_Release on each exit path.
// Not movable either: some exporters point `shape` into the Py_buffer itself.
class BufferOwner {
public:
    BufferOwner() = default;
    ~BufferOwner() { release(); }
    BufferOwner(const BufferOwner&) = delete;
    BufferOwner& operator=(const BufferOwner&) = delete;
    BufferOwner(BufferOwner&&) = delete;
    BufferOwner& operator=(BufferOwner&&) = delete;

    // Requests a buffer of `exporter`; false with the exporter's error set.
    bool acquire(PyObject* exporter, int flags) {
        release();
        if (PyObject_GetBuffer(exporter, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    void release() {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&view_);
        }
    }
    bool held() const { return held_; }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Releases the interpreter lock for its life. Only code that touches no
// Python object may run meanwhile, except inside a Reacquired scope.
class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

    // Holds the lock again for its life, inside a GilReleased scope.
    class Reacquired {
    public:
        explicit Reacquired(GilReleased& released) : released_(released) { PyEval_RestoreThread(released_.state_); }
        ~Reacquired() { released_.state_ = PyEval_SaveThread(); }
        Reacquired(const Reacquired&) = delete;
        Reacquired& operator=(const Reacquired&) = delete;

    private:
        GilReleased& released_;
    };

private:
    PyThreadState* state_;
};

// Sets the Python exception a core Failure stands for: its kind's class
// with its message, MemoryError without one.
void raise_failure(const Failure& failure);

// Sets the Python error for the C++ exception being handled (call inside a
// catch block): a Failure as raise_failure maps it, MemoryError for an
// allocation, RuntimeError otherwise.
void raise_from_cpp_exception();

// The context prefix of every unraisable report of this module.
constexpr const char* CONTEXT_PREFIX = "quelmar.afe.domain.modelling.helper.data_frame_builder_helper.";

// Reports the current exception of a native routine without raising it:
// prints its full traceback to stderr, passes the same exception to
// sys.unraisablehook with the object CONTEXT_PREFIX + `routine`, and leaves
// the error state clear. Does nothing when no exception is set.
void report_unraisable(const char* routine);

}  // namespace dfbh
