// Python-object conversions of both boundaries.
#include "boundary/py_convert.hpp"

namespace dfbh {

bool read_long_long(PyObject* number, long long* value, bool* overflow) {
    int overflowed = 0;
    *value = PyLong_AsLongLongAndOverflow(number, &overflowed);
    if (*value == -1 && PyErr_Occurred()) return false;
    *overflow = overflowed != 0;
    return true;
}

PyObject* integer_object(PyObject* obj) {
    if (PyLong_Check(obj)) {
        Py_INCREF(obj);
        return obj;
    }
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (!number || !number->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyObject* result = number->nb_int(obj);
    if (result && !PyLong_Check(result)) {
        PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                     Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

bool to_bool(PyObject* obj, bool* out) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
}

bool to_int32_list(PyObject* obj, std::vector<int32_t>* out) {
    return for_each_item(obj, [out](PyObject* item) {
        int32_t value = 0;
        if (!to_integer(item, &value)) return false;
        out->push_back(value);
        return true;
    });
}

bool integer_argument(PyObject* obj, const char* name, long long low, long long high, long long* out) {
    if (!PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s: expected an integer, got %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    OwnedRef number(PyNumber_Index(obj));
    if (!number) return false;
    long long value = 0;
    bool overflow = false;
    if (!read_long_long(number.get(), &value, &overflow)) return false;
    if (overflow || value < low || value > high) {
        PyErr_Format(PyExc_ValueError, "%s: %S is outside %lld..%lld", name, number.get(), low, high);
        return false;
    }
    *out = value;
    return true;
}

bool int32_list_argument(PyObject* obj, const char* name, std::vector<int32_t>* out) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PyObject_HasAttrString(obj, "__iter__")) {
        PyErr_Format(PyExc_TypeError, "%s: expected a sequence of integers, got %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    return for_each_item(obj, [name, out](PyObject* item) {
        int32_t value = 0;
        if (!integer_as(item, name, &value)) return false;
        out->push_back(value);
        return true;
    });
}

bool check_callback(PyObject* callback, const char* name) {
    if (callback == Py_None || PyCallable_Check(callback)) return true;
    PyErr_Format(PyExc_TypeError, "%s: expected a callable or None, got %.200s", name, Py_TYPE(callback)->tp_name);
    return false;
}

}  // namespace dfbh
