// The Plan type: the engine's plan of a request made once (EnginePlan) and
// the scratch of the store's targets, for any number of calls from any
// number of threads. Its constants are a copy of the module's, held by the
// type (Python 3.8 has no type -> module link), so that a plan never
// outlives what it reads.
#include <limits>
#include <memory>

#include "boundary/module_state.hpp"
#include "boundary/py_buffers.hpp"
#include "boundary/py_convert.hpp"
#include "core/frame/record_targets.hpp"
#include "module_engine/entries.hpp"
#include "module_engine/record_values.hpp"

namespace dfbh {
namespace {

constexpr const char* kConstantsName = "dfbh.ModuleConstants";
constexpr const char* kConstantsAttribute = "_constants";

// A call of fewer records than this runs on the calling thread with the
// interpreter lock held: an entity of 50 rows takes 1.8 µs, letting the lock
// go and taking it back 0.8 µs more, and beside a busy Python thread the
// call then waits for the switch interval (p99 5 ms; benchmarks/README.md,
// "The store's kernels"). From here on a call takes about a millisecond.
constexpr int64_t kReleaseFromRecords = 20000;

struct PlanObject {
    PyObject_HEAD
    EnginePlan* plan;            // owned
    RecordTargetPool* targets;   // owned; the scratch of compute_row and compute_rows
};

PlanObject* as_plan(PyObject* self) { return reinterpret_cast<PlanObject*>(self); }

// The Plan constructor's objects; null: not given.
struct PlanObjects {
    PyObject *columns, *horizons, *offset, *resolution, *index_map;
    PyObject *feature_group = Py_False, *group_value = nullptr, *all_values = Py_False,
             *empty_statistic_nan = Py_False;
};
using P = PlanObjects;
const Keyword<P> PLAN_KEYWORDS[] = {
    {"columns", &P::columns}, {"horizons", &P::horizons}, {"offset", &P::offset}, {"resolution", &P::resolution},
    {"index_map", &P::index_map}, {"feature_group", &P::feature_group}, {"group_value", &P::group_value},
    {"all_values", &P::all_values}, {"empty_statistic_nan", &P::empty_statistic_nan},
};

// The constants the type holds (borrowed from its capsule), null with
// the error set.
const ModuleConstants* constants_of(PyTypeObject* type) {
    PyObject* capsule = PyDict_GetItemString(type->tp_dict, kConstantsAttribute);  // borrowed
    if (!capsule) {
        PyErr_SetString(PyExc_RuntimeError, "Plan: the type has lost its module constants");
        return nullptr;
    }
    return static_cast<const ModuleConstants*>(PyCapsule_GetPointer(capsule, kConstantsName));
}

PyObject* plan_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PlanObjects o;
    if (!parse_keywords(args, kwds, "Plan", 5, PLAN_KEYWORDS, &o)) return nullptr;
    return guarded([&]() -> PyObject* {
        const ModuleConstants* constants = constants_of(type);
        ArrayArgument columns;
        EngineRequest request;
        bool empty_statistic_nan = false;
        if (!constants ||
            !convert_request(RequestObjects{o.columns, o.horizons, o.offset, o.resolution, o.index_map,
                                            o.feature_group, o.group_value, o.all_values, o.empty_statistic_nan},
                             &columns, &request, &empty_statistic_nan))
            return nullptr;
        // Made for results that stay in the caches; compute copies it for
        // one much larger (EnginePlan::for_result).
        std::unique_ptr<EnginePlan> plan(new EnginePlan(std::move(request), *constants, empty_statistic_nan, 0));
        std::unique_ptr<RecordTargetPool> targets(new RecordTargetPool(*plan));
        PyObject* self = type->tp_alloc(type, 0);  // new reference
        if (!self) return nullptr;
        as_plan(self)->plan = plan.release();
        as_plan(self)->targets = targets.release();
        return self;
    });
}

void plan_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_plan(self)->targets;
    delete as_plan(self)->plan;
    type->tp_free(self);
    Py_DECREF(type);  // an instance of a heap type holds its type
}

PyObject* plan_n_columns(PyObject* self, void*) { return PyLong_FromLongLong(as_plan(self)->plan->n_columns()); }

// ---- compute: compute_features' arrays with this plan

struct ComputeObjects {
    PyObject *out, *dates, *quantities, *codes, *offsets, *target_entities, *target_dates;
    PyObject *fill_nan = Py_True, *n_jobs = nullptr, *progress = Py_None;
};
using C = ComputeObjects;
const Keyword<C> COMPUTE_KEYWORDS[] = {
    {"out", &C::out}, {"dates", &C::dates}, {"quantities", &C::quantities}, {"codes", &C::codes},
    {"offsets", &C::offsets}, {"target_entities", &C::target_entities}, {"target_dates", &C::target_dates},
    {"fill_nan", &C::fill_nan}, {"n_jobs", &C::n_jobs}, {"progress", &C::progress},
};

PyObject* plan_compute(PyObject* self, PyObject* args, PyObject* kwds) {
    ComputeObjects o;
    if (!parse_keywords(args, kwds, "compute", 7, COMPUTE_KEYWORDS, &o)) return nullptr;
    return guarded([&]() -> PyObject* {
        const ArrayObjects objects{o.out, o.dates, o.quantities, o.codes, o.offsets, o.target_entities,
                                   o.target_dates, o.fill_nan, o.n_jobs, o.progress};
        ComputeArrays arrays;
        TargetCall call;
        int n_jobs = 1;
        if (!export_arrays(objects, &arrays) || !convert_call(objects, &arrays, nullptr, &call, &n_jobs)) return nullptr;
        const EnginePlan& plan = *as_plan(self)->plan;
        if (!run_watched(o.progress, call.n_targets, [&](const RunWorkers& run, Progress& progress) {
                compute_targets(plan, call, n_jobs, run, progress);
            }))
            return nullptr;
        Py_RETURN_NONE;
    });
}

// ---- the store's targets

// The checks of a result row or rows of this plan: float32, C-contiguous,
// `ndim` axes, n_columns wide.
bool export_result(PyObject* obj, int ndim, const EnginePlan& plan, ArrayArgument* out) {
    if (!export_array(obj, "out", {ndim, {FLOAT32}, "float32", true}, out)) return false;
    if (out->extent(ndim - 1) == plan.n_columns()) return true;
    PyErr_Format(PyExc_ValueError, "out: expected %lld columns (one per column of the plan), got %lld",
                 static_cast<long long>(plan.n_columns()), static_cast<long long>(out->extent(ndim - 1)));
    return false;
}

PyObject* plan_compute_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 3) {
        PyErr_Format(PyExc_TypeError, "compute_row() takes out, at_ms, since_ms and the values (%zd given)", nargs);
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        PlanObject* plan = as_plan(self);
        ArrayArgument out;
        int64_t at = 0, since = 0;
        RecordValues values;
        if (!export_result(args[0], 1, *plan->plan, &out) || !integer_as(args[1], "at_ms", &at) ||
            !integer_as(args[2], "since_ms", &since) || !values.set_entity(args + 3, nargs - 3) ||
            !values.check_apart_from(out))
            return nullptr;
        float* row = out.output<float>();
        if (values.n_records() < kReleaseFromRecords) {
            compute_record_rows(*plan->targets, values.runs(), 1, values.k(), since, at, row);
        } else {
            GilReleased released;
            compute_record_rows(*plan->targets, values.runs(), 1, values.k(), since, at, row);
        }
        Py_RETURN_NONE;
    });
}

struct RowsObjects {
    PyObject *out, *at, *since, *sources;
    PyObject* n_jobs = nullptr;
};
using R = RowsObjects;
const Keyword<R> ROWS_KEYWORDS[] = {
    {"out", &R::out}, {"at_ms", &R::at}, {"since_ms", &R::since}, {"sources", &R::sources}, {"n_jobs", &R::n_jobs},
};

PyObject* plan_compute_rows(PyObject* self, PyObject* args, PyObject* kwds) {
    RowsObjects o;
    if (!parse_keywords(args, kwds, "compute_rows", 4, ROWS_KEYWORDS, &o)) return nullptr;
    return guarded([&]() -> PyObject* {
        PlanObject* plan = as_plan(self);
        ArrayArgument out;
        int64_t at = 0, since = 0;
        int n_jobs = 1;
        RecordValues values;
        if (!export_result(o.out, 2, *plan->plan, &out) || !integer_as(o.at, "at_ms", &at) ||
            !integer_as(o.since, "since_ms", &since) || !values.set_sources(o.sources) ||
            (o.n_jobs && !n_jobs_argument(o.n_jobs, &n_jobs)) || !values.check_apart_from(out))
            return nullptr;
        const int64_t n = values.n_entities();
        if (!check_length(out, n, "one row per entity of sources")) return nullptr;
        float* rows = out.output<float>();
        if (values.n_records() < kReleaseFromRecords) {
            compute_record_rows(*plan->targets, values.runs(), n, values.k(), since, at, rows);
        } else if (!run_watched(Py_None, n, [&](const RunWorkers& run, Progress& progress) {
                       compute_record_rows(*plan->targets, values.runs(), n, values.k(), since, at, rows, n_jobs,
                                           run, progress);
                   })) {
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef plan_methods[] = {
    {"compute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(plan_compute)),
     METH_VARARGS | METH_KEYWORDS,
     "compute(out, dates, quantities, codes, offsets, target_entities, target_dates, *, fill_nan=True, n_jobs=1, "
     "progress=None): compute_features with this plan."},
    {"compute_row", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(plan_compute_row)),
     METH_FASTCALL,
     "compute_row(out, at_ms, since_ms, *values): the row of one entity whose rows are the merge of its "
     "record values, those dated before since_ms left out, as of at_ms."},
    {"compute_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(plan_compute_rows)),
     METH_VARARGS | METH_KEYWORDS,
     "compute_rows(out, at_ms, since_ms, sources, *, n_jobs=1): compute_row of each entity of sources (k "
     "sequences of values, one per entity) into the rows of out."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef plan_getset[] = {
    {"n_columns", plan_n_columns, nullptr, "The number of result columns.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot plan_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(plan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plan_dealloc)},
    {Py_tp_methods, plan_methods},
    {Py_tp_getset, plan_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Plan(columns, horizons, offset, resolution, index_map, *, feature_group=False, group_value=-1, "
                    "all_values=False, empty_statistic_nan=False)\n\nThe engine's plan of compute_features' request, "
                    "made once; immutable, for calls from any number of threads at once.")},
    {0, nullptr},
};

PyType_Spec plan_spec = {
    "quelmar.afe.domain.modelling.feature_frame._engine.Plan",
    sizeof(PlanObject),
    0,
    Py_TPFLAGS_DEFAULT,
    plan_slots,
};

void free_constants(PyObject* capsule) {
    delete static_cast<ModuleConstants*>(PyCapsule_GetPointer(capsule, kConstantsName));
}

}  // namespace

bool add_plan_type(PyObject* module) {
    OwnedRef type(PyType_FromSpec(&plan_spec));
    if (!type) return false;
    std::unique_ptr<ModuleConstants> copy(new ModuleConstants(*state_of(module)->constants));
    OwnedRef capsule(PyCapsule_New(copy.get(), kConstantsName, free_constants));
    if (!capsule) return false;
    copy.release();  // the capsule's now
    if (PyObject_SetAttrString(type.get(), kConstantsAttribute, capsule.get()) < 0) return false;
    Py_INCREF(type.get());
    if (PyModule_AddObject(module, "Plan", type.get()) < 0) {
        Py_DECREF(type.get());
        return false;
    }
    return true;
}

}  // namespace dfbh
