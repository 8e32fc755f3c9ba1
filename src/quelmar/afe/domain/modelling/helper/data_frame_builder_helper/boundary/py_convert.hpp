// Conversions of Python objects into the core's native forms, shared by the
// two boundaries built from the core (`execute` and the front end's engine):
// integers with their range messages, truth values, lists of int32, ordered
// maps from dicts, and the module constants read at load.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "boundary/py_support.hpp"
#include "core/common/request.hpp"

namespace dfbh {

template <typename T>
struct IntegerTarget;
template <>
struct IntegerTarget<int16_t> {
    static constexpr const char* name = "short";
};
template <>
struct IntegerTarget<int32_t> {
    static constexpr const char* name = "int";
};
template <>
struct IntegerTarget<int64_t> {
    static constexpr const char* name = "int64_t";
};

// Returns a new reference to an int for `obj`: an int (or subclass) as is,
// anything else through its __int__. Null with TypeError when there is no
// __int__ or it returns a non-int.
PyObject* integer_object(PyObject* obj);

// Every out-of-range value, too large or too small, gets the same message
// naming the C target type.
template <typename T>
bool to_integer(PyObject* obj, T* out) {
    OwnedRef number(integer_object(obj));
    if (!number) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < static_cast<long long>(std::numeric_limits<T>::min()) ||
        value > static_cast<long long>(std::numeric_limits<T>::max())) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", IntegerTarget<T>::name);
        return false;
    }
    *out = static_cast<T>(value);
    return true;
}

bool to_bool(PyObject* obj, bool* out);

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

// Lists and tuples are walked in place (a list re-read by index each step, as
// an element's __int__ may change it); anything else through its iterator.
bool to_int32_list(PyObject* obj, std::vector<int32_t>* out);

// Walks an exact dict in iteration order, converting each key and then its
// value (by default with to_integer); OrderedMap::finish() keeps the first entry of a native key. Any
// change of the dict's size while it is walked (a key's __int__ can change
// it) ends the walk with RuntimeError.
template <typename K, typename V, typename ConvertKey, typename ConvertValue>
bool to_ordered_map(PyObject* obj, OrderedMap<K, V>* out, ConvertKey convert_key, ConvertValue convert_value) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "iteritems");
        return false;
    }
    if (!PyDict_CheckExact(obj)) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "dict", Py_TYPE(obj)->tp_name);
        return false;
    }
    const Py_ssize_t size = PyDict_Size(obj);
    out->reserve(static_cast<size_t>(size));
    Py_ssize_t position = 0;
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    for (;;) {
        if (PyDict_Size(obj) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
        if (!PyDict_Next(obj, &position, &borrowed_key, &borrowed_value)) break;
        // Own both: converting the key may remove the entry from the dict.
        Py_INCREF(borrowed_key);
        Py_INCREF(borrowed_value);
        OwnedRef key_object(borrowed_key);
        OwnedRef value_object(borrowed_value);
        K key{};
        V value{};
        if (!convert_key(key_object.get(), &key)) return false;
        if (!convert_value(value_object.get(), &value)) return false;
        out->append(key, value);
    }
    out->finish();
    return true;
}

template <typename K, typename V, typename ConvertValue>
bool to_ordered_map(PyObject* obj, OrderedMap<K, V>* out, ConvertValue convert_value) {
    return to_ordered_map(
        obj, out, [](PyObject* key, K* converted) { return to_integer(key, converted); }, convert_value);
}

template <typename K, typename V>
bool to_integer_map(PyObject* obj, OrderedMap<K, V>* out) {
    return to_ordered_map(obj, out, [](PyObject* value, V* converted) { return to_integer(value, converted); });
}

// The module constants from `np` (the numpy module), the AfeOperator enum and
// the TransactionFileRecordReader class, all borrowed: np.nan narrowed to
// float32, OPERATOR_SLOT_MAP from a dict of the nine slot members' codes
// (equal codes keep the later slot, then the first entry per native key),
// the Ratio, CountDistinct and Mode codes, UNKNOWN_DIMENSION_VALUE. False
// with the failing step's exception set; the steps after it are not run.
bool read_module_constants(PyObject* np, PyObject* afe_operator, PyObject* reader, ModuleConstants* constants);

// Sets the Python error for the C++ exception being handled (call inside a
// catch block): MemoryError for an allocation, RuntimeError otherwise.
void raise_from_cpp_exception();

}  // namespace dfbh
