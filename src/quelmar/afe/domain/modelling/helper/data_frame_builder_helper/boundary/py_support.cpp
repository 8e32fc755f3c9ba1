// The boundaries' Python toolbox: the one mapping of failures onto Python
// exceptions and the unraisable report.
#include "boundary/py_support.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace dfbh {

namespace {

PyObject* exception_type_of(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::NotImplemented: return PyExc_NotImplementedError;
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::Index: return PyExc_IndexError;
        case ErrorKind::Memory: return PyExc_MemoryError;
        case ErrorKind::Name: return PyExc_NameError;
        case ErrorKind::Type: return PyExc_TypeError;
        case ErrorKind::Runtime: return PyExc_RuntimeError;
    }
    return PyExc_RuntimeError;
}

}  // namespace

void raise_failure(const Failure& failure) {
    if (failure.kind == ErrorKind::Memory)
        PyErr_NoMemory();
    else
        PyErr_SetString(exception_type_of(failure.kind), failure.message.c_str());
}

void raise_from_cpp_exception() {
    try {
        throw;
    } catch (const Failure& failure) {
        raise_failure(failure);
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

void report_unraisable(const char* routine) {
    if (!PyErr_Occurred()) return;
    // PyErr_PrintEx is not used for the printing: on SystemExit it would end
    // the process. PyErr_Display only prints, to sys.stderr.
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();  // new reference
    PyObject* tb = PyException_GetTraceback(exc);  // new reference or null
    PyErr_Display(nullptr, exc, tb);
    Py_XDECREF(tb);
    PyErr_Clear();
    PyObject* context = PyUnicode_FromFormat("%s%s", CONTEXT_PREFIX, routine);
    if (!context) PyErr_Clear();
    PyErr_SetRaisedException(exc);  // steals exc
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // new references
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    PyErr_Display(type, value, tb);
    PyErr_Clear();
    PyObject* context = PyUnicode_FromFormat("%s%s", CONTEXT_PREFIX, routine);
    if (!context) PyErr_Clear();
    PyErr_Restore(type, value, tb);  // steals all three
#endif
    // Calls sys.unraisablehook with the exception just restored and clears it.
    PyErr_WriteUnraisable(context);
    Py_XDECREF(context);
}

}  // namespace dfbh
