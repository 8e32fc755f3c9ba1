// Buffer checks of both boundaries over one format table.
#include "boundary/py_buffers.hpp"

#include <string>

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

// The format after its byte-order prefix; `*big_endian` when the prefix
// asks for big-endian data, which no view here reads.
const char* format_body(const char* format, bool* big_endian) {
    const char* body = format ? format : "B";  // a buffer without a format holds unsigned bytes
    *big_endian = body[0] == '>' || body[0] == '!';
    if (body[0] == '@' || body[0] == '^' || body[0] == '=' || body[0] == '<' || *big_endian) ++body;
    return body;
}

// The element size is taken from the buffer's itemsize, not from the format
// character's nominal size: ctypes, for one, describes an 8-byte C long as
// "<l", which struct would read as 4 bytes.
bool check_format(const char* format, Py_ssize_t buffer_itemsize, ElementKind kind, size_t itemsize,
                  const char* expected_name) {
    bool big_endian = false;
    const char* body = format_body(format, &big_endian);
    if (big_endian) {
        PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        return false;
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


namespace {

Element element_of(const Py_buffer& view, bool* big_endian) {
    const char* body = format_body(view.format, big_endian);
    const FormatChar* f = body[0] != '\0' && body[1] == '\0' ? find_format_char(body[0]) : nullptr;
    const char group = f && f->group != 'c' && f->group != 'x' ? f->group : '?';
    return Element{group, view.itemsize};
}

std::string element_name(const Py_buffer& view) {
    bool big_endian = false;
    const Element e = element_of(view, &big_endian);
    const char* format = view.format ? view.format : "B";
    if (big_endian) return std::string("big-endian '") + format + "'";
    const std::string bits = std::to_string(8 * e.size);
    switch (e.group) {
        case 'i': return "int" + bits;
        case 'u': return "uint" + bits;
        case 'f': return "float" + bits;
        case 'b': return "bool";
        default: return std::string("format '") + format + "'";
    }
}

bool check_element(const Py_buffer& view, const char* name, const ArrayRule& rule) {
    bool big_endian = false;
    const Element element = element_of(view, &big_endian);
    bool accepted = false;
    for (const Element& e : rule.accepted) accepted |= e.group == element.group && e.size == element.size;
    if (accepted && !big_endian) return true;
    PyErr_Format(PyExc_TypeError, "%s: expected an array of %s, got %s", name, rule.accepted_text,
                 element_name(view).c_str());
    return false;
}

bool check_shape_and_output(const Py_buffer& view, const char* name, const ArrayRule& rule) {
    if (view.ndim != rule.ndim) {
        PyErr_Format(PyExc_ValueError, "%s: expected %d dimension%s, got %d", name, rule.ndim,
                     rule.ndim == 1 ? "" : "s", view.ndim);
        return false;
    }
    if (view.suboffsets) {
        for (int axis = 0; axis < view.ndim; ++axis) {
            if (view.suboffsets[axis] >= 0) {
                PyErr_Format(PyExc_ValueError, "%s: an array of pointers (suboffsets) is not supported", name);
                return false;
            }
        }
    }
    if (!rule.writable) return true;
    if (view.readonly) {
        PyErr_Format(PyExc_ValueError, "%s: the output array is read-only", name);
        return false;
    }
    if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyErr_Format(PyExc_ValueError, "%s: the output array must be C-contiguous", name);
        return false;
    }
    return true;
}

}  // namespace

bool export_array(PyObject* obj, const char* name, const ArrayRule& rule, ArrayArgument* arg) {
    arg->name = name;
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "%s: expected a %d-dimensional array of %s, got %.200s", name, rule.ndim,
                     rule.accepted_text, Py_TYPE(obj)->tp_name);
        return false;
    }
    if (!arg->buffer.acquire(obj, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& view = arg->view();
    if (!check_element(view, name, rule) || !check_shape_and_output(view, name, rule)) return false;
    // The bytes it spans, for the overlap checks.
    int64_t low = 0, high = view.itemsize;
    for (int axis = 0; axis < view.ndim; ++axis) {
        const int64_t n = arg->extent(axis), s = arg->stride(axis);
        if (n == 0) return true;  // empty: spans nothing
        (s < 0 ? low : high) += (n - 1) * s;
    }
    arg->low = arg->base() + low;
    arg->high = arg->base() + high;
    return true;
}

bool check_disjoint(const ArrayArgument& output, std::initializer_list<const ArrayArgument*> others) {
    for (const ArrayArgument* other : others) {
        if (other == &output || !other->low || !output.low) continue;
        if (output.low < other->high && other->low < output.high) {
            PyErr_Format(PyExc_ValueError, "%s: shares memory with %s", output.name, other->name);
            return false;
        }
    }
    return true;
}

bool check_length(const ArrayArgument& arg, int64_t expected, const char* what) {
    if (arg.extent(0) == expected) return true;
    PyErr_Format(PyExc_ValueError, "%s: expected %lld elements (%s), got %lld", arg.name,
                 static_cast<long long>(expected), what, static_cast<long long>(arg.extent(0)));
    return false;
}

}  // namespace dfbh
