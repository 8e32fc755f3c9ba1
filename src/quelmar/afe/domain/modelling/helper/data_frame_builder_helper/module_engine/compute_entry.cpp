// The entry over the target loop: the typed request of compute_features.
#include <limits>

#include "boundary/module_state.hpp"
#include "boundary/py_buffers.hpp"
#include "boundary/py_convert.hpp"
#include "core/frame/target_loop.hpp"
#include "module_engine/entries.hpp"

namespace dfbh {
namespace {

// The Python objects of a compute_features call; null: not given.
struct ComputeObjects {
    PyObject *out, *dates, *quantities, *codes, *offsets, *target_entities, *target_dates, *columns, *horizons,
        *offset, *resolution, *index_map;
    PyObject *feature_group = Py_False, *group_value = nullptr, *all_values = Py_False, *fill_nan = Py_True,
             *empty_statistic_nan = Py_False, *n_jobs = nullptr, *progress = Py_None;
};

using C = ComputeObjects;
// Twelve taken by position or name, then keyword-only ones.
constexpr size_t kComputeRequired = 12;
const Keyword<C> COMPUTE_KEYWORDS[] = {
    {"out", &C::out}, {"dates", &C::dates}, {"quantities", &C::quantities}, {"codes", &C::codes},
    {"offsets", &C::offsets}, {"target_entities", &C::target_entities}, {"target_dates", &C::target_dates},
    {"columns", &C::columns}, {"horizons", &C::horizons}, {"offset", &C::offset}, {"resolution", &C::resolution},
    {"index_map", &C::index_map}, {"feature_group", &C::feature_group}, {"group_value", &C::group_value},
    {"all_values", &C::all_values}, {"fill_nan", &C::fill_nan}, {"empty_statistic_nan", &C::empty_statistic_nan},
    {"n_jobs", &C::n_jobs}, {"progress", &C::progress},
};

// The arrays of a computation, exported for the call.
struct ComputeArrays {
    ArrayArgument out, dates, quantities, codes, offsets, target_entities, target_dates, columns;
};

// One (value, operator, horizon) row of `columns` per result column.
bool read_columns(const ArrayArgument& columns, std::vector<OutputColumn>* out) {
    if (columns.extent(1) != 3) {
        PyErr_Format(PyExc_ValueError, "columns: expected 3 entries per column (value, operator, horizon), got %lld",
                     static_cast<long long>(columns.extent(1)));
        return false;
    }
    const int64_t n = columns.extent(0), row = columns.stride(0), entry = columns.stride(1);
    out->resize(static_cast<size_t>(n));
    for (int64_t k = 0; k < n; ++k) {
        const char* p = columns.base() + k * row;
        (*out)[static_cast<size_t>(k)] =
            OutputColumn{load<int32_t>(p), load<int32_t>(p + entry), load<int32_t>(p + 2 * entry)};
    }
    return true;
}

// Converts every argument into `call` in argument order; the first failure
// stops with its exception. The core checks the rest (check_targets).
bool convert_compute(const ComputeObjects& o, ComputeArrays* a, TargetCall* call, int* n_jobs) {
    EngineRequest& r = call->request;
    if (!export_array(o.out, "out", {2, {FLOAT32}, "float32", true}, &a->out) ||
        !export_array(o.dates, "dates", {1, {INT64}, "int64", false}, &a->dates) ||
        !export_array(o.quantities, "quantities", {1, {FLOAT32}, "float32", false}, &a->quantities) ||
        !export_array(o.codes, "codes", {1, {INT8}, "int8", false}, &a->codes) ||
        !export_array(o.offsets, "offsets", {1, {INT64}, "int64", false}, &a->offsets) ||
        !export_array(o.target_entities, "target_entities", {1, {INT32, INT64}, "int32 or int64", false},
                      &a->target_entities) ||
        !export_array(o.target_dates, "target_dates", {1, {INT64}, "int64", false}, &a->target_dates) ||
        !export_array(o.columns, "columns", {2, {INT32}, "int32", false}, &a->columns) ||
        !read_columns(a->columns, &r.columns) || !int32_list_argument(o.horizons, "horizons", &r.horizons) ||
        !integer_as(o.offset, "offset", &r.offset) || !integer_as(o.resolution, "resolution", &r.resolution) ||
        !integer_map_argument(o.index_map, "index_map", &r.index_map) ||
        !to_bool(o.feature_group, &r.group.on) ||
        (o.group_value && !integer_as(o.group_value, "group_value", &r.group.value)) ||
        !to_bool(o.all_values, &r.group.all_values) || !to_bool(o.fill_nan, &call->fill_nan) ||
        !to_bool(o.empty_statistic_nan, &call->empty_statistic_nan) ||
        (o.n_jobs && !n_jobs_argument(o.n_jobs, n_jobs)) || !check_callback(o.progress, "progress"))
        return false;

    const int64_t n_targets = a->out.extent(0);
    if (!check_length(a->target_entities, n_targets, "one per row of out") ||
        !check_length(a->target_dates, n_targets, "one per row of out") ||
        !check_disjoint(a->out, {&a->dates, &a->quantities, &a->codes, &a->offsets, &a->target_entities,
                                 &a->target_dates, &a->columns}))
        return false;

    call->dates = a->dates.view1<int64_t>();
    call->quantities = a->quantities.view1<float>();
    call->codes = a->codes.view1<int8_t>();
    call->offsets = a->offsets.view1<int64_t>();
    call->target_entities = column_of(a->target_entities);
    call->target_dates = a->target_dates.view1<int64_t>();
    call->n_targets = n_targets;
    call->out = a->out.output<float>();
    call->n_columns = a->out.extent(1);
    return true;
}

}  // namespace

PyObject* compute_features_entry(PyObject* module, PyObject* args, PyObject* kwds) {
    ComputeObjects objects;
    if (!parse_keywords(args, kwds, "compute_features", kComputeRequired, COMPUTE_KEYWORDS, &objects)) return nullptr;
    return guarded([&]() -> PyObject* {
        ComputeArrays arrays;
        TargetCall call;
        call.constants = state_of(module)->constants;
        int n_jobs = 1;
        if (!convert_compute(objects, &arrays, &call, &n_jobs) ||
            !run_watched(objects.progress, call.n_targets,
                         [&](const RunWorkers& run, Progress& progress) { compute_targets(call, n_jobs, run, progress); }))
            return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace dfbh
