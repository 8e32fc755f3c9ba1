// The engine module's entries, each a thin boundary over one core pass: it
// parses and converts its arguments with the interpreter lock held, then
// runs the pass under a Watch.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>
#include <utility>

#include "boundary/py_buffers.hpp"
#include "boundary/py_support.hpp"
#include "core/frame/column_plan.hpp"
#include "core/frame/prepare.hpp"
#include "core/frame/target_loop.hpp"
#include "module_engine/watch.hpp"

namespace dfbh {

// One keyword of an entry and the member of the entry's `Objects` that
// takes its argument (a borrowed reference: the call's own).
template <typename Objects>
struct Keyword {
    const char* name;
    PyObject* Objects::*member;
};

// Parses an entry's arguments with CPython's own parser: the first
// `required` keywords by position or name, the others by name only; a
// member keeps its default when its argument is not given. False with the
// TypeError set.
template <typename Objects, size_t N, size_t... K>
bool parse_keywords(PyObject* args, PyObject* kwds, const char* entry, size_t required,
                    const Keyword<Objects> (&keywords)[N], Objects* objects, std::index_sequence<K...>) {
    const char* names[N + 1] = {keywords[K].name..., nullptr};
    std::string format(required, 'O');
    if (required < N) format += "|$" + std::string(N - required, 'O');
    format += std::string(":") + entry;
    return PyArg_ParseTupleAndKeywords(args, kwds, format.c_str(), const_cast<char**>(names),
                                       &(objects->*keywords[K].member)...);
}
template <typename Objects, size_t N>
bool parse_keywords(PyObject* args, PyObject* kwds, const char* entry, size_t required,
                    const Keyword<Objects> (&keywords)[N], Objects* objects) {
    return parse_keywords(args, kwds, entry, required, keywords, objects, std::make_index_sequence<N>());
}
// Calls `body`, which returns a new reference or null with the Python error
// set; a C++ exception it throws becomes its Python exception and null.
template <typename Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (...) {
        raise_from_cpp_exception();
        return nullptr;
    }
}

// Runs `pass(run, progress)` without the interpreter lock under a Watch that
// reports progress out of `total` to `callback`. False with the Python
// exception set when it failed or was interrupted.
template <typename Pass>
bool run_watched(PyObject* callback, int64_t total, Pass&& pass) {
    Progress progress;
    Watch watch(callback, total, progress);
    return watch.run([&](const RunWorkers& run) { pass(run, progress); });
}

// An exported one-axis integer array as the core's column of any width.
inline InputColumn column_of(const ArrayArgument& arg) {
    return InputColumn{arg.base(), arg.stride(0), arg.itemsize()};
}

// The request part of a computation (compute_features' and Plan's
// arguments), as borrowed references; null: not given.
struct RequestObjects {
    PyObject *columns, *horizons, *offset, *resolution, *index_map;
    PyObject *feature_group, *group_value, *all_values, *empty_statistic_nan;
};
// Converts them in argument order into `request` (the columns array is
// exported into `columns`); false with the first failure's exception.
bool convert_request(const RequestObjects& o, ArrayArgument* columns, EngineRequest* request,
                     bool* empty_statistic_nan);

// The arrays and options of a computation (compute_features' and
// Plan.compute's), as borrowed references; null: not given.
struct ArrayObjects {
    PyObject *out, *dates, *quantities, *codes, *offsets, *target_entities, *target_dates;
    PyObject *fill_nan, *n_jobs, *progress;
};
struct ComputeArrays {
    ArrayArgument out, dates, quantities, codes, offsets, target_entities, target_dates;
};
// Exports the arrays in argument order; false with the first failure's exception.
bool export_arrays(const ArrayObjects& o, ComputeArrays* a);
// Converts the options and checks the arrays' lengths and that `out` shares
// no memory with an input (`columns` too, if given) into `call`; the core
// checks the rest (check_targets).
bool convert_call(const ArrayObjects& o, ComputeArrays* a, const ArrayArgument* columns, TargetCall* call,
                  int* n_jobs);

// Returns the first row whose code lies outside int8, or None.
PyObject* count_codes_entry(PyObject* module, PyObject* args, PyObject* kwds);
// Returns (n_entities, by_range).
PyObject* factorize_entities_entry(PyObject* module, PyObject* args, PyObject* kwds);
PyObject* prepare_transactions_entry(PyObject* module, PyObject* args, PyObject* kwds);
PyObject* compute_features_entry(PyObject* module, PyObject* args, PyObject* kwds);
// Returns the number of rows gathered.
PyObject* gather_records_entry(PyObject* module, PyObject* args, PyObject* kwds);

// Adds the Plan type to the module (after its state is loaded); false with
// the exception set.
bool add_plan_type(PyObject* module);

// `n_jobs` (absent: 1) as the thread count to use; ValueError below 1.
bool n_jobs_argument(PyObject* obj, int* out);

}  // namespace dfbh
