// Python-object conversions shared by the boundaries, and the reading of the
// module constants.
#include "boundary/py_convert.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace dfbh {

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
    int32_t value = 0;
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        const bool is_list = PyList_Check(obj);
        for (Py_ssize_t i = 0;; ++i) {
            const Py_ssize_t size = is_list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj);
            if (i >= size) break;
            PyObject* borrowed = is_list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
            OwnedRef item(borrowed);
            Py_INCREF(borrowed);
            if (!to_integer(item.get(), &value)) return false;
            out->push_back(value);
        }
        return true;
    }
    OwnedRef iterator(PyObject_GetIter(obj));
    if (!iterator) return false;
    for (;;) {
        OwnedRef item(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        if (!to_integer(item.get(), &value)) return false;
        out->push_back(value);
    }
}

namespace {

// The members whose codes map to slots 0 to 8, in slot order.
const char* const SLOT_MEMBERS[SLOT_COUNT] = {
    "Density", "Min", "Max", "Sum", "Frequency", "CountDistinct", "Mode", "TimeSinceFirst", "TimeSinceLast",
};

// Reads AfeOperator.<member>.value (new reference).
PyObject* operator_value(PyObject* afe_operator, const char* member) {
    OwnedRef enum_member(PyObject_GetAttrString(afe_operator, member));
    if (!enum_member) return nullptr;
    return PyObject_GetAttrString(enum_member.get(), "value");
}

bool read_operator_code(PyObject* afe_operator, const char* member, int32_t* out) {
    OwnedRef value(operator_value(afe_operator, member));
    return value && to_integer(value.get(), out);
}

}  // namespace

bool read_module_constants(PyObject* np, PyObject* afe_operator, PyObject* reader, ModuleConstants* constants) {
    // np.nan, narrowed to float32.
    OwnedRef nan(PyObject_GetAttrString(np, "nan"));
    if (!nan) return false;
    const double nan_value = PyFloat_AsDouble(nan.get());
    if (nan_value == -1.0 && PyErr_Occurred()) return false;
    constants->FLOAT32_NAN = static_cast<float>(nan_value);

    // A dict of code to slot first, so that equal codes keep the later slot;
    // OPERATOR_SLOT_MAP from that dict.
    OwnedRef slots(PyDict_New());
    if (!slots) return false;
    for (int32_t slot = 0; slot < SLOT_COUNT; ++slot) {
        OwnedRef code(operator_value(afe_operator, SLOT_MEMBERS[slot]));
        if (!code) return false;
        OwnedRef slot_object(PyLong_FromLong(slot));
        if (!slot_object || PyDict_SetItem(slots.get(), code.get(), slot_object.get()) < 0) return false;
    }
    if (!to_integer_map(slots.get(), &constants->OPERATOR_SLOT_MAP)) return false;

    // The codes with a constant of their own, then the unknown-dimension marker.
    if (!read_operator_code(afe_operator, "Ratio", &constants->RATIO_CODE)) return false;
    if (!read_operator_code(afe_operator, "CountDistinct", &constants->COUNT_DISTINCT_CODE)) return false;
    if (!read_operator_code(afe_operator, "Mode", &constants->MODE_CODE)) return false;
    OwnedRef unknown(PyObject_GetAttrString(reader, "UNKNOWN_DIMENSION_VALUE"));
    return unknown && to_integer(unknown.get(), &constants->UNKNOWN_DIMENSION_VALUE);
}

void raise_from_cpp_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace dfbh
