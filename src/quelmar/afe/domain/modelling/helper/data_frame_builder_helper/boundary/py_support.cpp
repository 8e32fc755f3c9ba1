// Python-side helpers of the module: buffer checks shared by argument
// conversion and the aggregate buffer, the unraisable-report rule, and the
// Host that lends NumPy and error reporting to the C++ core.
#include "boundary/py_support.hpp"

namespace dfbh {

namespace {

// What the struct-module format character of a single plain element means.
struct FormatChar {
    char code;
    char group;        // 'i' signed int, 'u' unsigned int, 'f' float, 'b' bool, 'c' char, 'x' other
    const char* name;  // as the mismatch message quotes it
};

const FormatChar FORMAT_CHARS[] = {
    {'?', 'b', "'bool'"},
    {'c', 'c', "'char'"},
    {'b', 'i', "'signed char'"},
    {'B', 'u', "'unsigned char'"},
    {'h', 'i', "'short'"},
    {'H', 'u', "'unsigned short'"},
    {'i', 'i', "'int'"},
    {'I', 'u', "'unsigned int'"},
    {'l', 'i', "'long'"},
    {'L', 'u', "'unsigned long'"},
    {'q', 'i', "'long long'"},
    {'Q', 'u', "'unsigned long long'"},
    {'f', 'f', "'float'"},
    {'d', 'f', "'double'"},
    {'g', 'f', "'long double'"},
    // Never accepted; named so that the message still says what was found.
    {'e', 'x', "'half'"},
    {'n', 'x', "'ssize_t'"},
    {'N', 'x', "'size_t'"},
    {'O', 'x', "Python object"},
    {'P', 'x', "a pointer"},
    {'s', 'x', "a string"},
    {'p', 'x', "a string"},
};

const FormatChar* find_format_char(char code) {
    for (const FormatChar& f : FORMAT_CHARS)
        if (f.code == code) return &f;
    return nullptr;
}

// How the mismatch message names a format that is not a single plain element.
const char* describe_format(const char* body) {
    if (body[0] == 'Z' && body[1] != '\0' && body[2] == '\0') {
        switch (body[1]) {
            case 'f': return "'complex float'";
            case 'd': return "'complex double'";
            case 'g': return "'complex long double'";
            default: break;
        }
    }
    if (body[0] == 'T') return "a struct";
    if (body[0] != '\0' && body[1] == '\0') {
        const FormatChar* f = find_format_char(body[0]);
        if (f) return f->name;
    }
    return "unparseable format string";
}

// The element size is taken from the buffer's itemsize, not from the format
// character's nominal size: ctypes, for one, describes an 8-byte C long as
// "<l", which struct would read as 4 bytes.
bool check_format(const char* format, Py_ssize_t buffer_itemsize, ElementKind kind, size_t itemsize,
                  const char* expected_name) {
    // A buffer without a format holds unsigned bytes.
    const char* body = format ? format : "B";
    switch (body[0]) {
        case '@':
        case '^':
        case '=':
        case '<':
            ++body;
            break;
        case '>':
        case '!':
            PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
            return false;
        default:
            break;
    }
    const char wanted_group = kind == ElementKind::Float ? 'f' : 'i';
    if (body[0] != '\0' && body[1] == '\0') {
        const FormatChar* f = find_format_char(body[0]);
        if (f && f->group == wanted_group && buffer_itemsize == static_cast<Py_ssize_t>(itemsize)) return true;
    }
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", expected_name,
                 "'", describe_format(body));
    return false;
}

}  // namespace

bool check_buffer(const Py_buffer& view, int ndim, ElementKind kind, size_t itemsize,
                  const char* expected_name) {
    if (view.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     view.ndim);
        return false;
    }
    if (!check_format(view.format, view.itemsize, kind, itemsize, expected_name)) return false;
    if (view.suboffsets) {
        for (int axis = 0; axis < ndim; ++axis) {
            if (view.suboffsets[axis] >= 0) {
                PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", axis);
                return false;
            }
        }
    }
    return true;
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

void PyHost::report(const Failure& failure) {
    if (failure.kind == ErrorKind::Memory)
        PyErr_NoMemory();
    else
        PyErr_SetString(exception_type_of(failure.kind), failure.message.c_str());
    report_unraisable(failure.routine);
}

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

bool PyHost::create_aggregate_buffer(int64_t D, int64_t H) {
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
    aggregate_array_.reset(PyObject_Call(full.get(), positional.get(), keywords.get()));
    if (!aggregate_array_) return false;
    if (!aggregate_view_.acquire(aggregate_array_.get(), PyBUF_RECORDS)) return false;
    const Py_buffer& view = aggregate_view_.view();
    if (!check_buffer(view, 3, ElementKind::Float, sizeof(float), "float")) return false;
    // Only a replaced numpy can hand back another shape; the core relies on it.
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

bool PyHost::acquire_aggregate_buffer(int64_t D, int64_t H) {
    release_aggregate_buffer();
    if (create_aggregate_buffer(D, H)) return true;
    // Report before dropping anything: a release may run Python code, which
    // must not start with an exception pending.
    report_unraisable("exec_for_split");
    release_aggregate_buffer();
    return false;
}

void PyHost::release_aggregate_buffer() {
    aggregate_view_.release();
    aggregate_array_.reset();
}

}  // namespace dfbh
