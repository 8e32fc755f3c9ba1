// The module's small Python toolbox: owners for references and exported
// buffers, the unraisable-report rule of the native routines, and the Host
// through which the pure C++ core reaches NumPy and reports its errors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "core/common/failure.hpp"
#include "core/split/split_loop.hpp"

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

// Element types the module views: signed integers and floats of a given size.
enum class ElementKind { SignedInt, Float };

template <typename T>
constexpr ElementKind element_kind_of() {
    static_assert(std::is_signed<T>::value, "views hold signed integers or floats");
    return std::is_floating_point<T>::value ? ElementKind::Float : ElementKind::SignedInt;
}

// The checks every viewed buffer passes, in this order: number of axes,
// element format (kind, size, native byte order), no indirect axis. False
// with ValueError set; `expected_name` is the type name the mismatch message
// quotes.
bool check_buffer(const Py_buffer& view, int ndim, ElementKind kind, size_t itemsize,
                  const char* expected_name);

// The context prefix of every unraisable report of this module.
constexpr const char* CONTEXT_PREFIX = "quelmar.afe.domain.modelling.helper.data_frame_builder_helper.";

// Reports the current exception of a native routine without raising it:
// prints its full traceback to stderr, passes the same exception to
// sys.unraisablehook with the object CONTEXT_PREFIX + `routine`, and leaves
// the error state clear. Does nothing when no exception is set.
void report_unraisable(const char* routine);

// The Python exception class for an ErrorKind (borrowed).
PyObject* exception_type_of(ErrorKind kind);

// The Host of one `execute` call. Looks names up in the namespace of the
// module that `execute` belongs to; holds the split's NumPy scratch array
// between acquire_aggregate_buffer and release_aggregate_buffer.
class PyHost final : public SplitHost {
public:
    // `module` is borrowed; the caller keeps it alive for the Host's life.
    PyHost(PyObject* module, const ModuleConstants& constants)
        : module_(module), constants_(constants) {}
    ~PyHost() override { release_aggregate_buffer(); }
    PyHost(const PyHost&) = delete;
    PyHost& operator=(const PyHost&) = delete;
    PyHost(PyHost&&) = delete;
    PyHost& operator=(PyHost&&) = delete;

    void report(const Failure& failure) override;
    bool acquire_aggregate_buffer(int64_t D, int64_t H) override;
    void release_aggregate_buffer() override;

private:
    bool create_aggregate_buffer(int64_t D, int64_t H);

    PyObject* module_;  // borrowed
    const ModuleConstants& constants_;
    OwnedRef aggregate_array_;
    BufferOwner aggregate_view_;
};

// Returns a new reference to `name` from the module's globals or, failing
// that, the builtins; null with NameError "name '<name>' is not defined"
// (or the lookup's own error) when neither has it.
PyObject* lookup_global(PyObject* module, const char* name);

}  // namespace dfbh
