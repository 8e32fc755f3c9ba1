// The entry over the record merge: a store's values of many entities as
// prepared transaction columns.
#include <algorithm>
#include <limits>

#include "boundary/py_buffers.hpp"
#include "boundary/py_convert.hpp"
#include "core/frame/record_merge.hpp"
#include "module_engine/entries.hpp"
#include "module_engine/record_values.hpp"

namespace dfbh {
namespace {

// The Python objects of a gather_records call; null: not given.
struct GatherObjects {
    PyObject *sources, *since, *dates_out, *quantities_out, *codes_out, *offsets_out;
    PyObject *n_jobs = nullptr, *progress = Py_None;
};

using G = GatherObjects;
constexpr size_t kGatherRequired = 6;
const Keyword<G> GATHER_KEYWORDS[] = {
    {"sources", &G::sources}, {"since_ms", &G::since}, {"dates_out", &G::dates_out},
    {"quantities_out", &G::quantities_out}, {"codes_out", &G::codes_out}, {"offsets_out", &G::offsets_out},
    {"n_jobs", &G::n_jobs}, {"progress", &G::progress},
};

struct GatherArrays {
    ArrayArgument dates_out, quantities_out, codes_out, offsets_out;
};

// ValueError unless a row output holds every record of the values.
bool check_room(const ArrayArgument& output, int64_t records) {
    if (output.extent(0) >= records) return true;
    PyErr_Format(PyExc_ValueError, "%s: expected at least %lld elements (the records of sources), got %lld",
                 output.name, static_cast<long long>(records), static_cast<long long>(output.extent(0)));
    return false;
}

}  // namespace

PyObject* gather_records_entry(PyObject*, PyObject* args, PyObject* kwds) {
    GatherObjects o;
    if (!parse_keywords(args, kwds, "gather_records", kGatherRequired, GATHER_KEYWORDS, &o)) return nullptr;
    return guarded([&]() -> PyObject* {
        RecordValues values;
        GatherArrays a;
        int64_t since = 0;
        int n_jobs = 1;
        if (!values.set_sources(o.sources) || !integer_as(o.since, "since_ms", &since) ||
            !export_array(o.dates_out, "dates_out", {1, {INT64}, "int64", true}, &a.dates_out) ||
            !export_array(o.quantities_out, "quantities_out", {1, {FLOAT32}, "float32", true}, &a.quantities_out) ||
            !export_array(o.codes_out, "codes_out", {1, {INT8}, "int8", true}, &a.codes_out) ||
            !export_array(o.offsets_out, "offsets_out", {1, {INT64}, "int64", true}, &a.offsets_out) ||
            (o.n_jobs && !n_jobs_argument(o.n_jobs, &n_jobs)) || !check_callback(o.progress, "progress"))
            return nullptr;
        const int64_t records = values.n_records();
        if (!check_room(a.dates_out, records) || !check_room(a.quantities_out, records) ||
            !check_room(a.codes_out, records) ||
            !check_length(a.offsets_out, values.n_entities() + 1, "one per entity of sources, and one"))
            return nullptr;
        for (const ArrayArgument* output : {&a.dates_out, &a.quantities_out, &a.codes_out, &a.offsets_out}) {
            if (!check_disjoint(*output, {&a.dates_out, &a.quantities_out, &a.codes_out, &a.offsets_out}) ||
                !values.check_apart_from(*output))
                return nullptr;
        }
        const PreparedTable out{a.dates_out.output<int64_t>(), a.quantities_out.output<float>(),
                                a.codes_out.output<int8_t>(), a.offsets_out.output<int64_t>()};
        const int64_t capacity = std::min({a.dates_out.extent(0), a.quantities_out.extent(0), a.codes_out.extent(0)});
        int64_t kept = 0;
        if (!run_watched(o.progress, gathering_units(values.set()), [&](const RunWorkers& run, Progress& progress) {
                kept = gather_records(values.set(), since, out, capacity, n_jobs, run, progress);
            }))
            return nullptr;
        return PyLong_FromLongLong(static_cast<long long>(kept));
    });
}

}  // namespace dfbh
