// The `execute` module: its load and the `execute` entry, which binds and
// converts its 23 arguments, hands them to the split loop and releases
// everything again. The engine's module (module_engine/) is the other boundary
// over the same core; both convert through boundary/.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "boundary/module_state.hpp"
#include "boundary/py_buffers.hpp"
#include "boundary/py_convert.hpp"
#include "boundary/py_support.hpp"
#include "core/split/split_loop.hpp"
#include "module_execute/argument_checks.hpp"
#include "module_execute/split_host.hpp"

namespace dfbh {
namespace {

// ---------------------------------------------------------------------------
// Array views

// The buffers exported for one call. An owner never moves once constructed
// (some exporters point `shape` into the Py_buffer itself), so owners live
// in blocks: the first sized for the arrays the call is expected to export,
// further ones doubling, so that n arrays cost O(log n) allocations.
class ExportedBuffers {
public:
    // Sizes the first block for `count` exports and the references for
    // `held` arrays; only before the first add().
    void expect(size_t count, size_t held) {
        if (capacity_ == 0) first_capacity_ = count < 16 ? 16 : count;
        held_.reserve(held);
    }

    BufferOwner& add() {
        if (used_ == capacity_) {
            capacity_ = capacity_ ? capacity_ * 2 : first_capacity_;
            blocks_.emplace_back(new BufferOwner[capacity_]);
            used_ = 0;
        }
        return blocks_.back()[used_++];
    }

    // Keeps `array` (a new reference) until the call returns.
    void hold(PyObject* array) {
        try {
            held_.push_back(array);
        } catch (...) {
            Py_DECREF(array);
            throw;
        }
    }
    ~ExportedBuffers() {
        // The arrays lie all over the heap: their headers are fetched a few
        // releases ahead.
        constexpr size_t kAhead = 8;
        const size_t n = held_.size();
        for (size_t i = 0; i < n; ++i) {
            if (i + kAhead < n) prefetch(held_[i + kAhead]);
            Py_DECREF(held_[i]);
        }
    }
    ExportedBuffers() = default;
    ExportedBuffers(const ExportedBuffers&) = delete;
    ExportedBuffers& operator=(const ExportedBuffers&) = delete;

private:
    std::vector<std::unique_ptr<BufferOwner[]>> blocks_;
    std::vector<PyObject*> held_;  // owned references
    size_t first_capacity_ = 16;
    size_t capacity_ = 0;
    size_t used_ = 0;
};

// Requests a writable strided buffer with format and checks it. `None` gives
// an empty view (null base, every extent 0) and exports nothing; whether such
// a view may be read is decided in `execute`, after all arguments are known.
template <typename T>
bool export_buffer(PyObject* obj, int ndim, const char* expected_name, ExportedBuffers* buffers,
                   const Py_buffer** out) {
    *out = nullptr;
    if (obj == Py_None) return true;
    BufferOwner& owner = buffers->add();
    if (!owner.acquire(obj, PyBUF_RECORDS)) return false;
    if (!check_buffer(owner.view(), ndim, element_kind_of<T>(), sizeof(T), expected_name)) return false;
    *out = &owner.view();
    return true;
}

template <typename T>
bool to_view1(PyObject* obj, const char* expected_name, ExportedBuffers* buffers, View1<T>* out) {
    const Py_buffer* view = nullptr;
    if (!export_buffer<T>(obj, 1, expected_name, buffers, &view)) return false;
    if (view) *out = View1<T>{static_cast<char*>(view->buf), extent_of(*view, 0), stride_of(*view, 0)};
    return true;
}

// Whether NumPy's C interface (PyArray_Type and the rest) was imported.
bool numpy_api_loaded = false;

// A writable, one-dimensional array of native int32, read from the array
// object itself: what its buffer export would give, without building and
// comparing NumPy's cached buffer description (most of the cost of a
// million entity arrays). False when the ndarray is anything else.
bool read_int32_array(PyObject* obj, View1<int32_t>* out) {
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(obj);
    // NumPy marks the results of broadcast_arrays with this private flag:
    // a writable export of them warns first, so they take that path.
    constexpr int kWarnOnWrite = static_cast<int>(1u << 31);
    const int flags = PyArray_FLAGS(array);
    if (PyArray_NDIM(array) != 1 || !(flags & NPY_ARRAY_WRITEABLE) || (flags & kWarnOnWrite)) return false;
    const int type = PyArray_TYPE(array);
    const bool int32 = type == NPY_INT || (type == NPY_LONG && sizeof(long) == sizeof(int32_t));
    if (!int32 || PyArray_ITEMSIZE(array) != sizeof(int32_t) || !PyArray_ISNOTSWAPPED(array)) return false;
    *out = View1<int32_t>{PyArray_BYTES(array), PyArray_DIM(array, 0), PyArray_STRIDE(array, 0)};
    return true;
}

// The rows of one entity. A NumPy array keeps its data in place as long as
// a reference holds it: its buffer export adds nothing (resize with refcheck
// refuses while references are held, without it ignores exports as well).
// So an array is held by a reference instead of an export: 8 bytes instead
// of an exported Py_buffer per entity. Other exporters keep their export.
bool to_entity_rows(PyObject* obj, ExportedBuffers* buffers, View1<int32_t>* out) {
    if (obj == Py_None || !numpy_api_loaded || !PyArray_CheckExact(obj)) return to_view1(obj, "int32_t", buffers, out);
    if (!read_int32_array(obj, out)) {
        // Any other array: its export checks it and words the errors.
        BufferOwner owner;
        if (!owner.acquire(obj, PyBUF_RECORDS)) return false;
        const Py_buffer& view = owner.view();
        if (!check_buffer(view, 1, element_kind_of<int32_t>(), sizeof(int32_t), "int32_t")) return false;
        *out = View1<int32_t>{static_cast<char*>(view.buf), extent_of(view, 0), stride_of(view, 0)};
    }
    Py_INCREF(obj);
    buffers->hold(obj);
    return true;
}

template <typename T>
bool to_view2(PyObject* obj, const char* expected_name, ExportedBuffers* buffers, View2<T>* out) {
    const Py_buffer* view = nullptr;
    if (!export_buffer<T>(obj, 2, expected_name, buffers, &view)) return false;
    if (view)
        *out = View2<T>{static_cast<char*>(view->buf), extent_of(*view, 0), extent_of(*view, 1),
                        stride_of(*view, 0), stride_of(*view, 1)};
    return true;
}

// ---------------------------------------------------------------------------
// Binding

constexpr Py_ssize_t ARGUMENT_COUNT = 23;
constexpr Py_ssize_t REQUIRED_COUNT = 20;

// The parameters in order; the first REQUIRED_COUNT have no default.
const char* const ARGUMENT_NAMES[ARGUMENT_COUNT] = {
    "result_frame",
    "c_num_threads",
    "date_col_index",
    "d_index",
    "q_index",
    "splits",
    "horizons",
    "offset",
    "resolution",
    "index_map",
    "trx_dates",
    "trx_q_arrays",
    "trx_d_arrays",
    "entity_index_map",
    "target_dates",
    "included_operators",
    "included_operator_set_one",
    "included_operator_set_two",
    "column_name_map",
    "nearest_exponent",
    "dim_group_id",
    "for_afe_columns",
    "is_no_dim_col",
};

void raise_argument_count(Py_ssize_t given) {
    const bool too_few = given < REQUIRED_COUNT;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", "execute",
                 too_few ? "at least" : "at most", too_few ? REQUIRED_COUNT : ARGUMENT_COUNT, "s", given);
}

// Fills `bound` with a reference to every argument given (the defaults stay
// null). The references are owned: a conversion may run Python code that
// changes the caller's keyword dict.
bool bind_arguments(PyObject* args, PyObject* kwds, OwnedRef (&bound)[ARGUMENT_COUNT]) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > ARGUMENT_COUNT || (!kwds && positional < REQUIRED_COUNT)) {
        raise_argument_count(positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        Py_INCREF(item);
        bound[i].reset(item);
    }
    if (!kwds) return true;

    // Keywords fill the parameters after the positional ones; the first
    // required one that stays empty is reported by its position.
    Py_ssize_t unused_keywords = PyDict_Size(kwds);
    for (Py_ssize_t i = positional; i < ARGUMENT_COUNT; ++i) {
        PyObject* value = PyDict_GetItemString(kwds, ARGUMENT_NAMES[i]);  // borrowed
        if (value) {
            Py_INCREF(value);
            bound[i].reset(value);
            --unused_keywords;
        } else if (i < REQUIRED_COUNT) {
            raise_argument_count(i);
            return false;
        }
    }
    if (unused_keywords == 0) return true;

    // Some keyword matched no open parameter: say which and why.
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwds, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "execute");
            return false;
        }
        Py_ssize_t match = -1;
        for (Py_ssize_t i = 0; i < ARGUMENT_COUNT && match < 0; ++i)
            if (PyUnicode_CompareWithASCIIString(key, ARGUMENT_NAMES[i]) == 0) match = i;
        if (match >= positional) continue;
        if (match >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "execute", key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "execute", key);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Conversion

enum Argument {
    RESULT_FRAME, C_NUM_THREADS, DATE_COL_INDEX, D_INDEX, Q_INDEX, SPLITS, HORIZONS, OFFSET, RESOLUTION,
    INDEX_MAP, TRX_DATES, TRX_Q_ARRAYS, TRX_D_ARRAYS, ENTITY_INDEX_MAP, TARGET_DATES, INCLUDED_OPERATORS,
    INCLUDED_OPERATOR_SET_ONE, INCLUDED_OPERATOR_SET_TWO, COLUMN_NAME_MAP, NEAREST_EXPONENT, DIM_GROUP_ID,
    FOR_AFE_COLUMNS, IS_NO_DIM_COL,
};
static_assert(IS_NO_DIM_COL + 1 == ARGUMENT_COUNT, "one enumerator per parameter, in ARGUMENT_NAMES order");

// Converts in argument order; the first failure stops with its exception.
// Absent optional arguments keep the defaults that ExecuteArgs starts with.
bool convert_arguments(OwnedRef (&bound)[ARGUMENT_COUNT], ExecuteArgs* a, ExportedBuffers* buffers) {
    auto arg = [&bound](Argument which) { return bound[which].get(); };
    FeatureRequest& r = a->request;
    return to_view2(arg(RESULT_FRAME), "float", buffers, &a->result_frame) &&
           to_integer(arg(C_NUM_THREADS), &a->c_num_threads) &&
           to_integer(arg(DATE_COL_INDEX), &a->date_col_index) &&
           to_integer(arg(D_INDEX), &a->d_index) &&
           to_integer(arg(Q_INDEX), &a->q_index) &&
           to_view2(arg(SPLITS), "int", buffers, &a->splits) &&
           to_int32_list(arg(HORIZONS), &r.horizons) &&
           to_integer(arg(OFFSET), &r.offset) &&
           to_integer(arg(RESOLUTION), &r.resolution) &&
           to_integer_map(arg(INDEX_MAP), &r.index_map) &&
           to_view2(arg(TRX_DATES), "int64_t", buffers, &a->trx_dates) &&
           to_view2(arg(TRX_Q_ARRAYS), "float32_t", buffers, &a->trx_q_arrays) &&
           to_view2(arg(TRX_D_ARRAYS), "int8_t", buffers, &a->trx_d_arrays) &&
           to_ordered_map(arg(ENTITY_INDEX_MAP), &a->entity_index_map,
                          [buffers](PyObject* rows, View1<int32_t>* view) {
                              return to_entity_rows(rows, buffers, view);
                          }) &&
           to_view1(arg(TARGET_DATES), "int64_t", buffers, &a->target_dates) &&
           to_int32_list(arg(INCLUDED_OPERATORS), &r.included_operators) &&
           to_int32_list(arg(INCLUDED_OPERATOR_SET_ONE), &r.included_operator_set_one) &&
           to_int32_list(arg(INCLUDED_OPERATOR_SET_TWO), &r.included_operator_set_two) &&
           to_integer_map(arg(COLUMN_NAME_MAP), &r.column_name_map) &&
           to_integer(arg(NEAREST_EXPONENT), &r.nearest_exponent) &&
           (!arg(DIM_GROUP_ID) || to_integer(arg(DIM_GROUP_ID), &r.group.value)) &&
           (!arg(FOR_AFE_COLUMNS) || to_bool(arg(FOR_AFE_COLUMNS), &r.group.on)) &&
           (!arg(IS_NO_DIM_COL) || to_bool(arg(IS_NO_DIM_COL), &r.group.all_values));
}

PyObject* execute(PyObject* module, PyObject* args, PyObject* kwds) {
    const ModuleState* state = state_of(module);
    ExecuteArgs converted;
    converted.constants = state->constants;
    // The views in `converted` point into these buffers, which stay exported
    // until this call returns, on every path.
    ExportedBuffers buffers;
    try {
        OwnedRef bound[ARGUMENT_COUNT];
        if (!bind_arguments(args, kwds, bound)) return nullptr;
        // The seven arrays besides entity_index_map's, one per value of it.
        PyObject* entities = bound[ENTITY_INDEX_MAP].get();
        buffers.expect(7, entities && PyDict_CheckExact(entities) ? static_cast<size_t>(PyDict_GET_SIZE(entities)) : 0);
        if (!convert_arguments(bound, &converted, &buffers)) return nullptr;
        // An array given as None is an empty view here. The ones that the
        // split loop would read, and indices it would follow out of range,
        // are refused now: after conversion, before anything is written.
        check_execute_args(converted);
    } catch (...) {
        raise_from_cpp_exception();
        return nullptr;
    }

    // From here on nothing is raised: failures inside are reported.
    PyHost host(module, *state->constants);
    try {
        run_splits(converted, host);
    } catch (...) {
        // run_splits reports its own failures; this only keeps anything
        // unforeseen from unwinding into the interpreter.
        raise_from_cpp_exception();
        report_unraisable(routine::exec_for_split);
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Module load

int module_exec(PyObject* module) {
    if (!load_module_state(module)) return -1;
    // NumPy's C interface only speeds up reading entity arrays: without it
    // (a numpy that is not NumPy) every array goes through its buffer.
    if (!numpy_api_loaded) {
        if (_import_array() == 0) {
            numpy_api_loaded = true;
        } else {
            PyErr_Clear();
        }
    }

    // `execute` is bound last: a module whose load failed has none.
    static PyMethodDef methods[] = {
        {"execute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(execute)),
         METH_VARARGS | METH_KEYWORDS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    return PyModule_AddFunctions(module, methods);
}

}  // namespace
}  // namespace dfbh

DFBH_MODULE_ENTRY PyInit_data_frame_builder_helper(void) {
    // No methods in the definition: `execute` is added as the last load step.
    static dfbh::ModuleDefinition definition;
    return dfbh::init_module(definition, "data_frame_builder_helper", nullptr, nullptr, dfbh::module_exec);
}
