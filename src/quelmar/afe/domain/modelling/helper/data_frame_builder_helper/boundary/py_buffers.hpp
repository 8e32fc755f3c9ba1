// Exported buffers as the core's views, in the two dialects of the
// boundaries: `execute` checks a buffer as a typed memoryview would
// ("Buffer dtype mismatch, ..."); the engine checks an array argument
// against the element types it accepts and names the argument in every
// message. Both read formats through one table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "boundary/py_support.hpp"
#include "core/common/views.hpp"

namespace dfbh {

// Extent of `axis`. An exporter may leave shape out of a one-axis buffer.
inline Py_ssize_t extent_of(const Py_buffer& view, int axis) {
    if (view.shape) return view.shape[axis];
    return view.itemsize > 0 ? view.len / view.itemsize : 0;
}

// Byte stride of `axis`. Exporters such as ctypes leave strides out even when
// asked for them, which means C-contiguous.
inline Py_ssize_t stride_of(const Py_buffer& view, int axis) {
    if (view.strides) return view.strides[axis];
    Py_ssize_t stride = view.itemsize;
    for (int later = view.ndim - 1; later > axis; --later) stride *= extent_of(view, later);
    return stride;
}

// ---- `execute`'s dialect

// Element types `execute` views: signed integers and floats of a given size.
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

// ---- the engine's dialect

// An element type: its group ('i' signed integer, 'u' unsigned, 'f' float,
// 'b' bool, '?' anything else) and its size.
struct Element {
    char group;
    Py_ssize_t size;
};

constexpr Element INT8{'i', 1}, INT16{'i', 2}, INT32{'i', 4}, INT64{'i', 8}, FLOAT32{'f', 4}, FLOAT64{'f', 8},
    BOOL{'b', 1};

// What an array argument must be.
struct ArrayRule {
    int ndim;
    std::initializer_list<Element> accepted;
    const char* accepted_text;  // for the message: "int32 or int64"
    bool writable;              // an output: writable and C-contiguous
};

// One exported array argument and what it spans in memory.
struct ArrayArgument {
    const char* name = nullptr;
    BufferOwner buffer;
    const char* low = nullptr;   // first byte it spans, null when empty
    const char* high = nullptr;  // one past its last byte

    const Py_buffer& view() const { return buffer.view(); }
    int64_t extent(int axis) const { return extent_of(view(), axis); }
    int64_t stride(int axis) const { return stride_of(view(), axis); }
    char* base() const { return static_cast<char*>(view().buf); }
    int itemsize() const { return static_cast<int>(view().itemsize); }

    template <typename T>
    View1<T> view1() const {
        return View1<T>{base(), extent(0), stride(0)};
    }
    template <typename T>
    T* output() const {
        return reinterpret_cast<T*>(base());
    }
};

// Exports `obj` into `arg` and checks it against `rule`: TypeError naming
// `name` for what is not an array of an accepted element type, ValueError
// for the wrong number of axes, a read-only output or one that is not
// C-contiguous.
bool export_array(PyObject* obj, const char* name, const ArrayRule& rule, ArrayArgument* arg);

// ValueError when an output shares memory with any of `others`: results
// would depend on the order of writes and inputs would change.
bool check_disjoint(const ArrayArgument& output, std::initializer_list<const ArrayArgument*> others);

// ValueError unless `arg` has `expected` elements; `what` says why.
bool check_length(const ArrayArgument& arg, int64_t expected, const char* what);

}  // namespace dfbh
