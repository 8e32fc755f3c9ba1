// The engine's watch over its workers.
#include "module_engine/watch.hpp"

namespace dfbh {

Watch::~Watch() {
    Py_XDECREF(interrupted_type_);
    Py_XDECREF(interrupted_value_);
    Py_XDECREF(interrupted_traceback_);
}

void Watch::tick() {
    if (interrupted_type_ || !released_) return;
    GilReleased::Reacquired held(*released_);
    bool failed = PyErr_CheckSignals() < 0;
    if (!failed && callback_ != Py_None) {
        OwnedRef result(PyObject_CallFunction(callback_, "LL", static_cast<long long>(progress_.finished()),
                                              static_cast<long long>(total_)));
        failed = !result;
    }
    if (failed) {
        PyErr_Fetch(&interrupted_type_, &interrupted_value_, &interrupted_traceback_);  // new references
        progress_.cancel();
    }
}

bool Watch::finish(const std::exception_ptr& error) {
    if (interrupted_type_) {
        PyErr_Restore(interrupted_type_, interrupted_value_, interrupted_traceback_);  // steals all three
        interrupted_type_ = interrupted_value_ = interrupted_traceback_ = nullptr;
        return false;
    }
    if (!error) return true;
    try {
        std::rethrow_exception(error);
    } catch (...) {
        raise_from_cpp_exception();
    }
    return false;
}

}  // namespace dfbh
