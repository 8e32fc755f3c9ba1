// Conversions of Python objects into the core's native forms, in the two
// dialects of the boundaries. `execute` converts as its callers have always
// seen it: integers through __int__ (so 2.0 is 2), an out-of-range value an
// OverflowError naming the C type. The engine takes integers only (through
// __index__, as NumPy does for sizes) and names the argument in every
// message. Both share the walks over sequences and dicts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "boundary/py_support.hpp"
#include "core/common/views.hpp"

namespace dfbh {

// The value of an int object as a long long; `*overflow` when it lies
// outside. False with the error set when it is not an int.
bool read_long_long(PyObject* number, long long* value, bool* overflow);

// ---- `execute`'s dialect

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
    long long value = 0;
    bool overflow = false;
    if (!read_long_long(number.get(), &value, &overflow)) return false;
    if (overflow || value < static_cast<long long>(std::numeric_limits<T>::min()) ||
        value > static_cast<long long>(std::numeric_limits<T>::max())) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", IntegerTarget<T>::name);
        return false;
    }
    *out = static_cast<T>(value);
    return true;
}

bool to_bool(PyObject* obj, bool* out);

// Calls convert(item) for each item of `obj`: lists and tuples are walked
// in place (a list re-read by index each step, as converting an item may
// change it); anything else through its iterator.
template <typename Convert>
bool for_each_item(PyObject* obj, Convert convert) {
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        const bool is_list = PyList_Check(obj);
        for (Py_ssize_t i = 0;; ++i) {
            const Py_ssize_t size = is_list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj);
            if (i >= size) return true;
            PyObject* borrowed = is_list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
            Py_INCREF(borrowed);
            OwnedRef item(borrowed);
            if (!convert(item.get())) return false;
        }
    }
    OwnedRef iterator(PyObject_GetIter(obj));
    if (!iterator) return false;
    for (;;) {
        OwnedRef item(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        if (!convert(item.get())) return false;
    }
}

bool to_int32_list(PyObject* obj, std::vector<int32_t>* out);

// Walks an exact dict in iteration order, converting each key and then its
// value; OrderedMap::finish() keeps the first entry of a native key. Any
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

// ---- the engine's dialect: every message starts with the argument's name

// Sets `*out` from an integer in [low, high]; TypeError or ValueError naming
// `name` otherwise.
bool integer_argument(PyObject* obj, const char* name, long long low, long long high, long long* out);

template <typename T>
bool integer_as(PyObject* obj, const char* name, T* out) {
    long long value = 0;
    if (!integer_argument(obj, name, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), &value))
        return false;
    *out = static_cast<T>(value);
    return true;
}

// A sequence of int32 (not a string).
bool int32_list_argument(PyObject* obj, const char* name, std::vector<int32_t>* out);

// An exact dict of integers to integers.
template <typename K, typename V>
bool integer_map_argument(PyObject* obj, const char* name, OrderedMap<K, V>* out) {
    if (!PyDict_CheckExact(obj)) {
        PyErr_Format(PyExc_TypeError, "%s: expected a dict, got %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    return to_ordered_map(
        obj, out, [name](PyObject* key, K* converted) { return integer_as(key, name, converted); },
        [name](PyObject* value, V* converted) { return integer_as(value, name, converted); });
}

// TypeError unless `callback` is callable or None.
bool check_callback(PyObject* callback, const char* name);

}  // namespace dfbh
