// `execute`'s host of the split loop.
#include "module_execute/split_host.hpp"

#include "boundary/py_buffers.hpp"

namespace dfbh {
namespace {

// Returns a new reference to `name` from the module's globals or, failing
// that, the builtins; null with NameError "name '<name>' is not defined"
// (or the lookup's own error) when neither has it.
PyObject* lookup_global(PyObject* module, const char* name) {
    OwnedRef key(PyUnicode_FromString(name));
    if (!key) return nullptr;
    PyObject* globals = PyModule_GetDict(module);  // borrowed, never fails for a module
    PyObject* found = PyDict_GetItemWithError(globals, key.get());  // borrowed
    if (!found && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();  // borrowed
        if (builtins) found = PyDict_GetItemWithError(builtins, key.get());
    }
    if (!found) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
        return nullptr;
    }
    Py_INCREF(found);
    return found;
}

}  // namespace

void PyHost::report(const Failure& failure) {
    raise_failure(failure);
    report_unraisable(failure.routine);
}

bool PyHost::call_numpy_full(int64_t D, int64_t H) {
    OwnedRef np(lookup_global(module_, "np"));
    if (!np) return false;
    OwnedRef full(PyObject_GetAttrString(np.get(), "full"));
    if (!full) return false;
    OwnedRef shape(Py_BuildValue("(LLi)", static_cast<long long>(D), static_cast<long long>(H), SLOT_COUNT));
    if (!shape) return false;
    OwnedRef fill(PyFloat_FromDouble(static_cast<double>(constants_.FLOAT32_NAN)));
    if (!fill) return false;
    np.reset(lookup_global(module_, "np"));
    if (!np) return false;
    OwnedRef float32(PyObject_GetAttrString(np.get(), "float32"));
    if (!float32) return false;
    OwnedRef positional(PyTuple_Pack(2, shape.get(), fill.get()));
    if (!positional) return false;
    OwnedRef keywords(PyDict_New());
    if (!keywords || PyDict_SetItemString(keywords.get(), "dtype", float32.get()) < 0) return false;
    array_.reset(PyObject_Call(full.get(), positional.get(), keywords.get()));
    if (!array_) return false;
    if (!array_view_.acquire(array_.get(), PyBUF_RECORDS)) return false;
    const Py_buffer& view = array_view_.view();
    if (!check_buffer(view, 3, ElementKind::Float, sizeof(float), "float")) return false;
    // Only a replaced numpy can hand back something else; the split then
    // stops here, as it always has, though nothing reads the array.
    if (!view.shape) {
        PyErr_SetString(PyExc_ValueError, "aggregate buffer has no shape");
        return false;
    }
    if (view.shape[0] != D || view.shape[1] != H || view.shape[2] != SLOT_COUNT) {
        PyErr_Format(PyExc_ValueError, "aggregate buffer has shape (%zd, %zd, %zd), expected (%lld, %lld, %d)",
                     view.shape[0], view.shape[1], view.shape[2], static_cast<long long>(D),
                     static_cast<long long>(H), SLOT_COUNT);
        return false;
    }
    return true;
}

bool PyHost::make_unread_split_array(int64_t D, int64_t H) {
    release_unread_split_array();
    if (call_numpy_full(D, H)) return true;
    // Report before dropping anything: a release may run Python code, which
    // must not start with an exception pending.
    report_unraisable("exec_for_split");
    release_unread_split_array();
    return false;
}

void PyHost::release_unread_split_array() {
    array_view_.release();
    array_.reset();
}

}  // namespace dfbh
