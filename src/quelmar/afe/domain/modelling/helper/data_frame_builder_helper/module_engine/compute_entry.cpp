// The conversions of a computation's request and arrays, shared by
// compute_features and the Plan type, and compute_features itself: a plan
// made for the call, then the target loop.
#include <limits>
#include <memory>

#include "boundary/module_state.hpp"
#include "boundary/py_buffers.hpp"
#include "boundary/py_convert.hpp"
#include "core/frame/target_loop.hpp"
#include "module_engine/entries.hpp"

namespace dfbh {
namespace {

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

// The Python objects of a compute_features call; null: not given.
struct ComputeFeaturesObjects {
    PyObject *out, *dates, *quantities, *codes, *offsets, *target_entities, *target_dates, *columns, *horizons,
        *offset, *resolution, *index_map;
    PyObject *feature_group = Py_False, *group_value = nullptr, *all_values = Py_False, *fill_nan = Py_True,
             *empty_statistic_nan = Py_False, *n_jobs = nullptr, *progress = Py_None;

    RequestObjects request() const {
        return RequestObjects{columns, horizons, offset, resolution, index_map, feature_group, group_value,
                              all_values, empty_statistic_nan};
    }
    ArrayObjects arrays() const {
        return ArrayObjects{out, dates, quantities, codes, offsets, target_entities, target_dates, fill_nan, n_jobs,
                            progress};
    }
};

using F = ComputeFeaturesObjects;
// Twelve taken by position or name, then keyword-only ones.
constexpr size_t kComputeRequired = 12;
const Keyword<F> COMPUTE_KEYWORDS[] = {
    {"out", &F::out}, {"dates", &F::dates}, {"quantities", &F::quantities}, {"codes", &F::codes},
    {"offsets", &F::offsets}, {"target_entities", &F::target_entities}, {"target_dates", &F::target_dates},
    {"columns", &F::columns}, {"horizons", &F::horizons}, {"offset", &F::offset}, {"resolution", &F::resolution},
    {"index_map", &F::index_map}, {"feature_group", &F::feature_group}, {"group_value", &F::group_value},
    {"all_values", &F::all_values}, {"fill_nan", &F::fill_nan}, {"empty_statistic_nan", &F::empty_statistic_nan},
    {"n_jobs", &F::n_jobs}, {"progress", &F::progress},
};

}  // namespace

bool convert_request(const RequestObjects& o, ArrayArgument* columns, EngineRequest* request,
                     bool* empty_statistic_nan) {
    return export_array(o.columns, "columns", {2, {INT32}, "int32", false}, columns) &&
           read_columns(*columns, &request->columns) && int32_list_argument(o.horizons, "horizons", &request->horizons) &&
           integer_as(o.offset, "offset", &request->offset) &&
           integer_as(o.resolution, "resolution", &request->resolution) &&
           integer_map_argument(o.index_map, "index_map", &request->index_map) &&
           to_bool(o.feature_group, &request->group.on) &&
           (!o.group_value || integer_as(o.group_value, "group_value", &request->group.value)) &&
           to_bool(o.all_values, &request->group.all_values) && to_bool(o.empty_statistic_nan, empty_statistic_nan);
}

bool export_arrays(const ArrayObjects& o, ComputeArrays* a) {
    return export_array(o.out, "out", {2, {FLOAT32}, "float32", true}, &a->out) &&
           export_array(o.dates, "dates", {1, {INT64}, "int64", false}, &a->dates) &&
           export_array(o.quantities, "quantities", {1, {FLOAT32}, "float32", false}, &a->quantities) &&
           export_array(o.codes, "codes", {1, {INT8}, "int8", false}, &a->codes) &&
           export_array(o.offsets, "offsets", {1, {INT64}, "int64", false}, &a->offsets) &&
           export_array(o.target_entities, "target_entities", {1, {INT32, INT64}, "int32 or int64", false},
                        &a->target_entities) &&
           export_array(o.target_dates, "target_dates", {1, {INT64}, "int64", false}, &a->target_dates);
}

bool convert_call(const ArrayObjects& o, ComputeArrays* a, const ArrayArgument* columns, TargetCall* call,
                  int* n_jobs) {
    if (!to_bool(o.fill_nan, &call->fill_nan) || (o.n_jobs && !n_jobs_argument(o.n_jobs, n_jobs)) ||
        !check_callback(o.progress, "progress"))
        return false;
    const int64_t n_targets = a->out.extent(0);
    if (!check_length(a->target_entities, n_targets, "one per row of out") ||
        !check_length(a->target_dates, n_targets, "one per row of out") ||
        !check_disjoint(a->out, {&a->dates, &a->quantities, &a->codes, &a->offsets, &a->target_entities,
                                 &a->target_dates, columns ? columns : &a->out}))
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

PyObject* compute_features_entry(PyObject* module, PyObject* args, PyObject* kwds) {
    ComputeFeaturesObjects objects;
    if (!parse_keywords(args, kwds, "compute_features", kComputeRequired, COMPUTE_KEYWORDS, &objects)) return nullptr;
    return guarded([&]() -> PyObject* {
        ComputeArrays arrays;
        ArrayArgument columns;
        EngineRequest request;
        bool empty_statistic_nan = false;
        TargetCall call;
        int n_jobs = 1;
        if (!export_arrays(objects.arrays(), &arrays) ||
            !convert_request(objects.request(), &columns, &request, &empty_statistic_nan) ||
            !convert_call(objects.arrays(), &arrays, &columns, &call, &n_jobs))
            return nullptr;
        const ModuleConstants& constants = *state_of(module)->constants;
        // The plan is made for this call's result, without the lock.
        const int64_t result_bytes = call.n_targets * call.n_columns * static_cast<int64_t>(sizeof(float));
        if (!run_watched(objects.progress, call.n_targets, [&](const RunWorkers& run, Progress& progress) {
                const EnginePlan plan(std::move(request), constants, empty_statistic_nan, result_bytes);
                compute_targets(plan, call, n_jobs, run, progress);
            }))
            return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace dfbh
