// The engine module's entries, each a thin boundary over one core pass: it
// parses and converts its arguments with the interpreter lock held, then
// runs the pass under a Watch.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "boundary/py_buffers.hpp"
#include "core/frame/prepare.hpp"

namespace dfbh {

// An exported one-axis integer array as the core's column of any width.
inline InputColumn column_of(const ArrayArgument& arg) {
    return InputColumn{arg.base(), arg.stride(0), arg.itemsize()};
}

// Returns the first row whose code lies outside int8, or None.
PyObject* count_codes_entry(PyObject* module, PyObject* args, PyObject* kwds);
// Returns (n_entities, by_range).
PyObject* factorize_entities_entry(PyObject* module, PyObject* args, PyObject* kwds);
PyObject* prepare_transactions_entry(PyObject* module, PyObject* args, PyObject* kwds);
PyObject* compute_features_entry(PyObject* module, PyObject* args, PyObject* kwds);

// `n_jobs` (absent: 1) as the thread count to use; ValueError below 1.
bool n_jobs_argument(PyObject* obj, int* out);

}  // namespace dfbh
