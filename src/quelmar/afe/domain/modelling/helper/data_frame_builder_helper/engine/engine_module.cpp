// The front end's engine: `count_codes`, `factorize_entities`,
// `prepare_transactions` and `compute_features`, thin boundaries over the
// core's code census, entity numbering, preparation and target loop. Arguments are
// converted and checked with the interpreter lock held; the work then runs
// without it on worker threads, while the calling thread reports progress
// and watches for interrupts. This is the only unit of the engine that
// parses Python objects.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "core/engine/code_census.hpp"
#include "core/engine/entity_ids.hpp"
#include "core/common/failure.hpp"
#include "core/common/parallel.hpp"
#include "core/engine/prepare.hpp"
#include "boundary/py_convert.hpp"
#include "boundary/py_support.hpp"
#include "core/engine/target_loop.hpp"

namespace dfbh {
namespace {

// ---------------------------------------------------------------------------
// Module state

struct EngineState {
    ModuleConstants* constants;  // owned; null until module execution starts
};

EngineState* state_of(PyObject* module) { return static_cast<EngineState*>(PyModule_GetState(module)); }

// ---------------------------------------------------------------------------
// Scalars, lists and maps. Integers go through __index__, as NumPy's do:
// floats and strings are refused, NumPy integers accepted.

// Sets `*out` from an integer in [low, high]; TypeError or ValueError naming
// `name` otherwise.
bool integer_argument(PyObject* obj, const char* name, long long low, long long high, long long* out) {
    if (!PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s: expected an integer, got %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    OwnedRef number(PyNumber_Index(obj));
    if (!number) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < low || value > high) {
        PyErr_Format(PyExc_ValueError, "%s: %S is outside %lld..%lld", name, number.get(), low, high);
        return false;
    }
    *out = value;
    return true;
}

template <typename T>
bool integer_as(PyObject* obj, const char* name, T* out) {
    long long value = 0;
    if (!integer_argument(obj, name, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), &value))
        return false;
    *out = static_cast<T>(value);
    return true;
}

bool int32_list(PyObject* obj, const char* name, std::vector<int32_t>* out) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PyObject_HasAttrString(obj, "__iter__")) {
        PyErr_Format(PyExc_TypeError, "%s: expected a sequence of integers, got %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    OwnedRef iterator(PyObject_GetIter(obj));
    if (!iterator) return false;
    for (;;) {
        OwnedRef item(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        int32_t value = 0;
        if (!integer_as(item.get(), name, &value)) return false;
        out->push_back(value);
    }
}

template <typename K, typename V>
bool integer_map(PyObject* obj, const char* name, OrderedMap<K, V>* out) {
    if (!PyDict_CheckExact(obj)) {
        PyErr_Format(PyExc_TypeError, "%s: expected a dict, got %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    return to_ordered_map(
        obj, out, [name](PyObject* key, K* converted) { return integer_as(key, name, converted); },
        [name](PyObject* value, V* converted) { return integer_as(value, name, converted); });
}

// ---------------------------------------------------------------------------
// Arrays

// An element type: 'i' signed integer or 'f' float, and its size.
struct Element {
    char kind;
    Py_ssize_t size;
};

// The element type of a buffer's format, from its format character and its
// itemsize ('?' for anything that is not one plain element).
Element element_of(const Py_buffer& view) {
    const char* format = view.format ? view.format : "B";
    if (*format == '@' || *format == '=' || *format == '<' || *format == '^') ++format;
    if (format[0] == '\0' || format[1] != '\0') return Element{'?', view.itemsize};
    switch (format[0]) {
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': return Element{'i', view.itemsize};
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': return Element{'u', view.itemsize};
        case 'e': case 'f': case 'd': return Element{'f', view.itemsize};
        case '?': return Element{'b', view.itemsize};
        default: return Element{'?', view.itemsize};
    }
}

std::string element_name(const Py_buffer& view) {
    const char* format = view.format ? view.format : "B";
    if (*format == '>' || *format == '!') return std::string("big-endian '") + format + "'";
    const Element e = element_of(view);
    const std::string bits = std::to_string(8 * e.size);
    switch (e.kind) {
        case 'i': return "int" + bits;
        case 'u': return "uint" + bits;
        case 'f': return "float" + bits;
        case 'b': return "bool";
        default: return std::string("format '") + format + "'";
    }
}

// One exported array argument and what it spans in memory.
struct ArrayArgument {
    const char* name = nullptr;
    BufferOwner buffer;
    const char* low = nullptr;   // first byte it spans, null when empty
    const char* high = nullptr;  // one past its last byte

    const Py_buffer& view() const { return buffer.view(); }
    int64_t extent(int axis) const { return extent_of(view(), axis); }
    int64_t stride(int axis) const { return stride_of(view(), axis); }
    char* base() const { return static_cast<char*>(view().buf); }
    int itemsize() const { return static_cast<int>(view().itemsize); }
};

struct ArrayRule {
    int ndim;
    std::initializer_list<Element> accepted;
    const char* accepted_text;  // for the message: "int32 or int64"
    bool writable;              // an output: writable and C-contiguous
};

// Exports `obj` into `arg` and checks it against `rule`: TypeError for what
// is not an array of an accepted element type, ValueError for the wrong
// number of axes, a read-only output or one that is not C-contiguous.
bool export_array(PyObject* obj, const char* name, const ArrayRule& rule, ArrayArgument* arg) {
    arg->name = name;
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "%s: expected a %d-dimensional array of %s, got %.200s", name, rule.ndim,
                     rule.accepted_text, Py_TYPE(obj)->tp_name);
        return false;
    }
    if (!arg->buffer.acquire(obj, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& view = arg->view();
    bool accepted = false;
    const Element element = element_of(view);
    for (const Element& e : rule.accepted) accepted |= e.kind == element.kind && e.size == element.size;
    const char* format = view.format ? view.format : "B";
    if (!accepted || *format == '>' || *format == '!') {
        PyErr_Format(PyExc_TypeError, "%s: expected an array of %s, got %s", name, rule.accepted_text,
                     element_name(view).c_str());
        return false;
    }
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
    if (rule.writable) {
        if (view.readonly) {
            PyErr_Format(PyExc_ValueError, "%s: the output array is read-only", name);
            return false;
        }
        if (!PyBuffer_IsContiguous(&view, 'C')) {
            PyErr_Format(PyExc_ValueError, "%s: the output array must be C-contiguous", name);
            return false;
        }
    }
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

// ValueError when an output shares memory with any of `others`: results
// would depend on the order of writes and inputs would change.
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

template <typename T>
View1<T> view1(const ArrayArgument& arg) {
    return View1<T>{arg.base(), arg.extent(0), arg.stride(0)};
}

InputColumn column_of(const ArrayArgument& arg) { return InputColumn{arg.base(), arg.stride(0), arg.itemsize()}; }

const Element INT8{'i', 1}, INT16{'i', 2}, INT32{'i', 4}, INT64{'i', 8}, FLOAT32{'f', 4}, FLOAT64{'f', 8};

// ---------------------------------------------------------------------------
// Running without the interpreter lock

// Runs the passes of a computation with the interpreter lock released. Every
// 100 ms the calling thread takes the lock back briefly: it checks for
// signals (Ctrl-C) and calls `progress(done, total)`. An exception from
// either cancels the computation and is raised once the workers stop.
class Watch {
public:
    Watch(PyObject* callback, int64_t total, Progress& progress)
        : callback_(callback), total_(total), progress_(progress) {}
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    // Runs `compute` (which receives the RunWorkers to use) without the lock.
    // False with a Python exception set when it failed or was interrupted.
    template <typename Compute>
    bool run(Compute compute) {
        std::exception_ptr error;
        state_ = PyEval_SaveThread();
        try {
            compute(RunWorkers([this](int n_threads, const std::function<void(int)>& work) {
                run_threads(n_threads, work, progress_, [this] { tick(); }, std::chrono::milliseconds(100));
            }));
        } catch (...) {
            error = std::current_exception();
        }
        PyEval_RestoreThread(state_);
        if (interrupted_type_) {
            PyErr_Restore(interrupted_type_, interrupted_value_, interrupted_traceback_);  // steals all three
            interrupted_type_ = interrupted_value_ = interrupted_traceback_ = nullptr;
            return false;
        }
        if (!error) return true;
        try {
            std::rethrow_exception(error);
        } catch (const Failure& failure) {
            if (failure.kind == ErrorKind::Memory)
                PyErr_NoMemory();
            else
                PyErr_SetString(exception_type_of(failure.kind), failure.message.c_str());
        } catch (...) {
            raise_from_cpp_exception();
        }
        return false;
    }

    ~Watch() {
        Py_XDECREF(interrupted_type_);
        Py_XDECREF(interrupted_value_);
        Py_XDECREF(interrupted_traceback_);
    }

private:
    void tick() {
        if (interrupted_type_) return;
        PyEval_RestoreThread(state_);
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
        state_ = PyEval_SaveThread();
    }

    PyObject* callback_;  // borrowed; the caller's argument, alive for the call
    int64_t total_;
    Progress& progress_;
    PyThreadState* state_ = nullptr;
    PyObject* interrupted_type_ = nullptr;
    PyObject* interrupted_value_ = nullptr;
    PyObject* interrupted_traceback_ = nullptr;
};

bool check_callback(PyObject* callback) {
    if (callback == Py_None || PyCallable_Check(callback)) return true;
    PyErr_Format(PyExc_TypeError, "progress: expected a callable or None, got %.200s", Py_TYPE(callback)->tp_name);
    return false;
}

bool n_jobs_argument(PyObject* obj, int* out) {
    long long value = 0;
    if (!integer_argument(obj, "n_jobs", 1, std::numeric_limits<long long>::max(), &value)) return false;
    *out = usable_threads(value);
    return true;
}

// ---------------------------------------------------------------------------
// count_codes

// Returns the first row whose code lies outside int8 (-1: none) as a new
// integer.
PyObject* count_codes(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"codes", "counts_out", "n_jobs", "progress", nullptr};
    PyObject *codes_obj, *counts_obj;
    PyObject* n_jobs_obj = nullptr;
    PyObject* callback = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$OO:count_codes", const_cast<char**>(keywords), &codes_obj,
                                     &counts_obj, &n_jobs_obj, &callback))
        return nullptr;
    try {
        ArrayArgument codes, counts;
        int n_jobs = 1;
        if (!export_array(codes_obj, "codes", {1, {INT8, INT16, INT32, INT64}, "int8 to int64", false}, &codes) ||
            !export_array(counts_obj, "counts_out", {1, {INT64}, "int64", true}, &counts) ||
            (n_jobs_obj && !n_jobs_argument(n_jobs_obj, &n_jobs)) || !check_callback(callback))
            return nullptr;
        if (!check_length(counts, 256, "one per int8 code") || !check_disjoint(counts, {&codes})) return nullptr;
        CodeCensus census;
        Progress progress;
        const int64_t n_rows = codes.extent(0);
        Watch watch(callback, n_rows, progress);
        if (!watch.run([&](const RunWorkers& run) {
                census = census_codes(column_of(codes), n_rows, n_jobs, run, progress);
            }))
            return nullptr;
        std::memcpy(counts.base(), census.counts.data(), sizeof(census.counts));
        return PyLong_FromLongLong(static_cast<long long>(census.first_outside));
    } catch (...) {
        raise_from_cpp_exception();
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// factorize_entities

// Returns (n_entities, by_range) as a new tuple.
PyObject* factorize(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"ids", "target_ids", "codes_out", "target_codes_out", "n_jobs", "progress",
                                     nullptr};
    PyObject *ids_obj, *target_ids_obj, *codes_obj, *target_codes_obj;
    PyObject* n_jobs_obj = nullptr;
    PyObject* callback = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|$OO:factorize_entities", const_cast<char**>(keywords),
                                     &ids_obj, &target_ids_obj, &codes_obj, &target_codes_obj, &n_jobs_obj,
                                     &callback))
        return nullptr;

    try {
        ArrayArgument ids, target_ids, codes, target_codes;
        int n_jobs = 1;
        if (!export_array(ids_obj, "ids", {1, {INT32, INT64}, "int32 or int64", false}, &ids) ||
            !export_array(target_ids_obj, "target_ids", {1, {INT32, INT64}, "int32 or int64", false}, &target_ids) ||
            !export_array(codes_obj, "codes_out", {1, {INT32}, "int32", true}, &codes) ||
            !export_array(target_codes_obj, "target_codes_out", {1, {INT32}, "int32", true}, &target_codes) ||
            (n_jobs_obj && !n_jobs_argument(n_jobs_obj, &n_jobs)) || !check_callback(callback))
            return nullptr;
        if (!check_length(codes, ids.extent(0), "one per id") ||
            !check_length(target_codes, target_ids.extent(0), "one per target id"))
            return nullptr;
        const std::initializer_list<const ArrayArgument*> all = {&ids, &target_ids, &codes, &target_codes};
        for (const ArrayArgument* output : {&codes, &target_codes}) {
            if (!check_disjoint(*output, all)) return nullptr;
        }

        EntityIds table;
        table.ids = column_of(ids);
        table.n_rows = ids.extent(0);
        table.target_ids = column_of(target_ids);
        table.n_targets = target_ids.extent(0);
        EntityCodes out;
        out.codes = reinterpret_cast<int32_t*>(codes.base());
        out.target_codes = reinterpret_cast<int32_t*>(target_codes.base());

        Factorization result;
        Progress progress;
        Watch watch(callback, factorization_units(table), progress);
        if (!watch.run([&](const RunWorkers& run) { result = factorize_entities(table, out, n_jobs, run, progress); }))
            return nullptr;
        return Py_BuildValue("(LO)", static_cast<long long>(result.n_entities), result.by_range ? Py_True : Py_False);
    } catch (...) {
        raise_from_cpp_exception();
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// prepare_transactions

PyObject* prepare(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {
        "entity_codes", "n_entities", "timestamps", "quantities", "codes", "dates_out", "quantities_out",
        "codes_out", "offsets_out", "ms_multiplier", "ms_divisor", "nat_is_missing", "rows_checked", "n_jobs",
        "progress", nullptr};
    PyObject *entity_obj, *n_entities_obj, *timestamp_obj, *quantity_obj, *code_obj, *dates_obj, *q_out_obj,
        *codes_out_obj, *offsets_obj;
    PyObject* multiplier_obj = nullptr;
    PyObject* divisor_obj = nullptr;
    PyObject* nat_obj = Py_False;
    PyObject* checked_obj = Py_False;
    PyObject* n_jobs_obj = nullptr;
    PyObject* callback = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOOOOO|$OOOOOO:prepare_transactions",
                                     const_cast<char**>(keywords), &entity_obj, &n_entities_obj, &timestamp_obj,
                                     &quantity_obj, &code_obj, &dates_obj, &q_out_obj, &codes_out_obj, &offsets_obj,
                                     &multiplier_obj, &divisor_obj, &nat_obj, &checked_obj, &n_jobs_obj,
                                     &callback))
        return nullptr;

    try {
        ArrayArgument entities, timestamps, quantities, codes, dates_out, quantities_out, codes_out, offsets_out;
        TransactionTable table;
        long long n_entities = 0, multiplier = 1, divisor = 1;
        bool nat = false;
        int n_jobs = 1;
        const bool has_codes = code_obj != Py_None;
        if (!export_array(entity_obj, "entity_codes", {1, {INT32, INT64}, "int32 or int64", false}, &entities) ||
            !integer_argument(n_entities_obj, "n_entities", 0, std::numeric_limits<int64_t>::max() - 1, &n_entities) ||
            !export_array(timestamp_obj, "timestamps", {1, {INT64}, "int64", false}, &timestamps) ||
            !export_array(quantity_obj, "quantities", {1, {FLOAT32, FLOAT64}, "float32 or float64", false},
                          &quantities) ||
            (has_codes && !export_array(code_obj, "codes", {1, {INT8, INT16, INT32, INT64}, "int8 to int64", false},
                                        &codes)) ||
            !export_array(dates_obj, "dates_out", {1, {INT64}, "int64", true}, &dates_out) ||
            !export_array(q_out_obj, "quantities_out", {1, {FLOAT32}, "float32", true}, &quantities_out) ||
            !export_array(codes_out_obj, "codes_out", {1, {INT8}, "int8", true}, &codes_out) ||
            !export_array(offsets_obj, "offsets_out", {1, {INT64}, "int64", true}, &offsets_out) ||
            (multiplier_obj && !integer_argument(multiplier_obj, "ms_multiplier", 1,
                                                 std::numeric_limits<int64_t>::max(), &multiplier)) ||
            (divisor_obj &&
             !integer_argument(divisor_obj, "ms_divisor", 1, std::numeric_limits<int64_t>::max(), &divisor)) ||
            !to_bool(nat_obj, &nat) || !to_bool(checked_obj, &table.rows_checked) ||
            (n_jobs_obj && !n_jobs_argument(n_jobs_obj, &n_jobs)) ||
            !check_callback(callback))
            return nullptr;

        const int64_t n = entities.extent(0);
        if (!check_length(timestamps, n, "one per entity code") || !check_length(quantities, n, "one per entity code") ||
            (has_codes && !check_length(codes, n, "one per entity code")) ||
            !check_length(dates_out, n, "one per transaction") || !check_length(quantities_out, n, "one per transaction") ||
            !check_length(codes_out, n, "one per transaction") ||
            !check_length(offsets_out, n_entities + 1, "n_entities + 1"))
            return nullptr;
        const std::initializer_list<const ArrayArgument*> all = {&entities, &timestamps, &quantities, &codes,
                                                                 &dates_out, &quantities_out, &codes_out,
                                                                 &offsets_out};
        for (const ArrayArgument* output : {&dates_out, &quantities_out, &codes_out, &offsets_out}) {
            if (!check_disjoint(*output, all)) return nullptr;
        }

        table.n_rows = n;
        table.n_entities = n_entities;
        table.entity = column_of(entities);
        table.timestamp = column_of(timestamps);
        table.ms_multiplier = multiplier;
        table.ms_divisor = divisor;
        table.nat_is_missing = nat;
        table.quantity = column_of(quantities);
        if (has_codes) table.code = column_of(codes);
        PreparedTable out;
        out.dates = reinterpret_cast<int64_t*>(dates_out.base());
        out.quantities = reinterpret_cast<float*>(quantities_out.base());
        out.codes = reinterpret_cast<int8_t*>(codes_out.base());
        out.offsets = reinterpret_cast<int64_t*>(offsets_out.base());

        Progress progress;
        Watch watch(callback, preparation_units(table), progress);
        if (!watch.run([&](const RunWorkers& run) { prepare_transactions(table, out, n_jobs, run, progress); }))
            return nullptr;
    } catch (...) {
        raise_from_cpp_exception();
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// compute_features

PyObject* compute(PyObject* module, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {
        "out", "dates", "quantities", "codes", "offsets", "target_entities", "target_dates", "horizons", "offset",
        "resolution", "index_map", "included_operators", "included_operator_set_one", "included_operator_set_two",
        "column_name_map", "nearest_exponent", "dim_group_id", "for_afe_columns", "is_no_dim_col", "fill_nan",
        "empty_statistic_nan", "n_jobs", "progress", nullptr};
    PyObject *out_obj, *dates_obj, *q_obj, *codes_obj, *offsets_obj, *entities_obj, *target_dates_obj,
        *horizons_obj, *offset_obj, *resolution_obj, *index_map_obj, *included_obj, *set_one_obj, *set_two_obj,
        *columns_obj, *exponent_obj, *group_obj, *afe_obj, *no_dim_obj;
    PyObject* fill_obj = Py_True;
    PyObject* empty_nan_obj = Py_False;
    PyObject* n_jobs_obj = nullptr;
    PyObject* callback = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOOOOOOOOOOOOOOO|$OOOO:compute_features",
                                     const_cast<char**>(keywords), &out_obj, &dates_obj, &q_obj, &codes_obj,
                                     &offsets_obj, &entities_obj, &target_dates_obj, &horizons_obj, &offset_obj,
                                     &resolution_obj, &index_map_obj, &included_obj, &set_one_obj, &set_two_obj,
                                     &columns_obj, &exponent_obj, &group_obj, &afe_obj, &no_dim_obj, &fill_obj,
                                     &empty_nan_obj, &n_jobs_obj, &callback))
        return nullptr;

    try {
        ArrayArgument out, dates, quantities, codes, offsets, entities, target_dates;
        TargetCall call;
        call.constants = state_of(module)->constants;
        FeatureRequest& r = call.request;
        int n_jobs = 1;
        if (!export_array(out_obj, "out", {2, {FLOAT32}, "float32", true}, &out) ||
            !export_array(dates_obj, "dates", {1, {INT64}, "int64", false}, &dates) ||
            !export_array(q_obj, "quantities", {1, {FLOAT32}, "float32", false}, &quantities) ||
            !export_array(codes_obj, "codes", {1, {INT8}, "int8", false}, &codes) ||
            !export_array(offsets_obj, "offsets", {1, {INT64}, "int64", false}, &offsets) ||
            !export_array(entities_obj, "target_entities", {1, {INT32, INT64}, "int32 or int64", false}, &entities) ||
            !export_array(target_dates_obj, "target_dates", {1, {INT64}, "int64", false}, &target_dates) ||
            !int32_list(horizons_obj, "horizons", &r.horizons) || !integer_as(offset_obj, "offset", &r.offset) ||
            !integer_as(resolution_obj, "resolution", &r.resolution) ||
            !integer_map(index_map_obj, "index_map", &r.index_map) ||
            !int32_list(included_obj, "included_operators", &r.included_operators) ||
            !int32_list(set_one_obj, "included_operator_set_one", &r.included_operator_set_one) ||
            !int32_list(set_two_obj, "included_operator_set_two", &r.included_operator_set_two) ||
            !integer_map(columns_obj, "column_name_map", &r.column_name_map) ||
            !integer_as(exponent_obj, "nearest_exponent", &r.nearest_exponent) ||
            !integer_as(group_obj, "dim_group_id", &r.dim_group_id) || !to_bool(afe_obj, &r.for_afe_columns) ||
            !to_bool(no_dim_obj, &r.is_no_dim_col) || !to_bool(fill_obj, &call.fill_nan) ||
            !to_bool(empty_nan_obj, &call.empty_statistic_nan) ||
            (n_jobs_obj && !n_jobs_argument(n_jobs_obj, &n_jobs)) || !check_callback(callback))
            return nullptr;

        const int64_t n_targets = out.extent(0);
        if (!check_length(entities, n_targets, "one per row of out") ||
            !check_length(target_dates, n_targets, "one per row of out"))
            return nullptr;
        if (!check_disjoint(out, {&dates, &quantities, &codes, &offsets, &entities, &target_dates})) return nullptr;

        call.dates = view1<int64_t>(dates);
        call.quantities = view1<float>(quantities);
        call.codes = view1<int8_t>(codes);
        call.offsets = view1<int64_t>(offsets);
        call.target_entities = column_of(entities);
        call.target_dates = view1<int64_t>(target_dates);
        call.n_targets = n_targets;
        call.out = reinterpret_cast<float*>(out.base());
        call.n_columns = out.extent(1);

        Progress progress;
        Watch watch(callback, n_targets, progress);
        if (!watch.run([&](const RunWorkers& run) { compute_targets(call, n_jobs, run, progress); }))
            return nullptr;
    } catch (...) {
        raise_from_cpp_exception();
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Module load

// `from <module_name> import <name>` as a new reference.
PyObject* import_name(const char* module_name, const char* name) {
    OwnedRef module(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), name);
}

int module_exec(PyObject* module) {
    EngineState* state = state_of(module);
    if (!state) return -1;
    try {
        state->constants = new ModuleConstants();
    } catch (...) {
        raise_from_cpp_exception();
        return -1;
    }
    // The same constants `execute` reads at its load, from the same sources.
    OwnedRef np(PyImport_ImportModule("numpy"));
    if (!np) return -1;
    OwnedRef afe_operator(import_name("quelmar.afe.domain.enums.afe_operator", "AfeOperator"));
    if (!afe_operator) return -1;
    OwnedRef reader(
        import_name("quelmar.afe.dataaccess.services.transaction_file_record_reader", "TransactionFileRecordReader"));
    if (!reader) return -1;
    return read_module_constants(np.get(), afe_operator.get(), reader.get(), state->constants) ? 0 : -1;
}

void module_free(void* module) {
    EngineState* state = state_of(static_cast<PyObject*>(module));
    if (state) {
        delete state->constants;
        state->constants = nullptr;
    }
}

PyMethodDef methods[] = {
    {"count_codes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(count_codes)),
     METH_VARARGS | METH_KEYWORDS,
     "Counts each int8 code of an integer column into counts_out; returns the first row outside int8, or -1."},
    {"factorize_entities", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(factorize)),
     METH_VARARGS | METH_KEYWORDS,
     "Numbers integer entity ids densely into the caller's arrays; returns (n_entities, by_range)."},
    {"prepare_transactions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(prepare)),
     METH_VARARGS | METH_KEYWORDS,
     "Groups a transaction table by entity into the caller's output arrays, newest first within each entity."},
    {"compute_features", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(compute)),
     METH_VARARGS | METH_KEYWORDS, "Computes the feature row of every target into `out`."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "Native preparation and parallel feature computation for the feature-frame front end.",
    sizeof(EngineState),
    methods,
    module_slots,
    nullptr,  // m_traverse: the state holds no Python objects
    nullptr,  // m_clear
    module_free,
};

}  // namespace
}  // namespace dfbh

// The build hides every symbol by default, and Python 3.8's PyMODINIT_FUNC
// does not mark the entry point visible (3.9's does), so it is said here.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__engine(void) {
    return PyModuleDef_Init(&dfbh::module_definition);
}
