// The entries over the table passes: code census, entity numbering and
// preparation of the transaction columns.
#include <cstring>
#include <limits>

#include "boundary/py_buffers.hpp"
#include "boundary/py_convert.hpp"
#include "core/frame/code_census.hpp"
#include "core/frame/entity_ids.hpp"
#include "core/frame/prepare.hpp"
#include "module_engine/entries.hpp"

namespace dfbh {
namespace {

const ArrayRule ANY_INTEGER_CODES{1, {INT8, INT16, INT32, INT64}, "int8 to int64", false};
const ArrayRule ID_COLUMN{1, {INT32, INT64}, "int32 or int64", false};

// The Python objects of a prepare_transactions call; null: not given.
struct PrepareObjects {
    PyObject *entities, *n_entities, *timestamps, *quantities, *codes, *dates_out, *quantities_out, *codes_out,
        *offsets_out;
    PyObject *multiplier = nullptr, *divisor = nullptr, *nat_is_missing = Py_False, *rows_checked = Py_False,
             *n_jobs = nullptr, *progress = Py_None, *keep_from = nullptr, *keep_until = nullptr, *present = Py_None;
};

using P = PrepareObjects;
// Nine taken by position or name, then keyword-only ones.
constexpr size_t kPrepareRequired = 9;
const Keyword<P> PREPARE_KEYWORDS[] = {
    {"entity_codes", &P::entities}, {"n_entities", &P::n_entities}, {"timestamps", &P::timestamps},
    {"quantities", &P::quantities}, {"codes", &P::codes}, {"dates_out", &P::dates_out},
    {"quantities_out", &P::quantities_out}, {"codes_out", &P::codes_out}, {"offsets_out", &P::offsets_out},
    {"ms_multiplier", &P::multiplier}, {"ms_divisor", &P::divisor}, {"nat_is_missing", &P::nat_is_missing},
    {"rows_checked", &P::rows_checked}, {"n_jobs", &P::n_jobs}, {"progress", &P::progress},
    {"keep_from", &P::keep_from}, {"keep_until", &P::keep_until}, {"present_out", &P::present},
};

// The arrays of a preparation, exported for the call.
struct PrepareArrays {
    ArrayArgument entities, timestamps, quantities, codes, dates_out, quantities_out, codes_out, offsets_out, present;
};

// Converts and checks every argument into `table` and `out`, in argument
// order; the first failure stops with its exception.
bool convert_prepare(const PrepareObjects& o, PrepareArrays* a, TransactionTable* table, PreparedTable* out,
                     int* n_jobs) {
    const long long int64_max = std::numeric_limits<int64_t>::max();
    const long long int64_min = std::numeric_limits<int64_t>::min();
    long long n_entities = 0, multiplier = 1, divisor = 1, keep_from = int64_min, keep_until = int64_max;
    const bool has_codes = o.codes != Py_None;
    const bool has_present = o.present != Py_None;
    if (!export_array(o.entities, "entity_codes", ID_COLUMN, &a->entities) ||
        !integer_argument(o.n_entities, "n_entities", 0, int64_max - 1, &n_entities) ||
        !export_array(o.timestamps, "timestamps", {1, {INT64}, "int64", false}, &a->timestamps) ||
        !export_array(o.quantities, "quantities", {1, {FLOAT32, FLOAT64}, "float32 or float64", false},
                      &a->quantities) ||
        (has_codes && !export_array(o.codes, "codes", ANY_INTEGER_CODES, &a->codes)) ||
        !export_array(o.dates_out, "dates_out", {1, {INT64}, "int64", true}, &a->dates_out) ||
        !export_array(o.quantities_out, "quantities_out", {1, {FLOAT32}, "float32", true}, &a->quantities_out) ||
        !export_array(o.codes_out, "codes_out", {1, {INT8}, "int8", true}, &a->codes_out) ||
        !export_array(o.offsets_out, "offsets_out", {1, {INT64}, "int64", true}, &a->offsets_out) ||
        (o.multiplier && !integer_argument(o.multiplier, "ms_multiplier", 1, int64_max, &multiplier)) ||
        (o.divisor && !integer_argument(o.divisor, "ms_divisor", 1, int64_max, &divisor)) ||
        !to_bool(o.nat_is_missing, &table->nat_is_missing) || !to_bool(o.rows_checked, &table->rows_checked) ||
        (o.n_jobs && !n_jobs_argument(o.n_jobs, n_jobs)) || !check_callback(o.progress, "progress") ||
        (o.keep_from && !integer_argument(o.keep_from, "keep_from", int64_min, int64_max, &keep_from)) ||
        (o.keep_until && !integer_argument(o.keep_until, "keep_until", int64_min, int64_max, &keep_until)) ||
        (has_present && !export_array(o.present, "present_out", {1, {BOOL}, "bool", true}, &a->present)))
        return false;

    const int64_t n = a->entities.extent(0);
    if (!check_length(a->timestamps, n, "one per entity code") ||
        !check_length(a->quantities, n, "one per entity code") ||
        (has_codes && !check_length(a->codes, n, "one per entity code")) ||
        !check_length(a->dates_out, n, "one per transaction") ||
        !check_length(a->quantities_out, n, "one per transaction") ||
        !check_length(a->codes_out, n, "one per transaction") ||
        !check_length(a->offsets_out, n_entities + 1, "n_entities + 1") ||
        (has_present && !check_length(a->present, n_entities, "n_entities")))
        return false;
    // present: none when not given
    for (const ArrayArgument* output :
         {&a->dates_out, &a->quantities_out, &a->codes_out, &a->offsets_out, &a->present}) {
        if (!check_disjoint(*output, {&a->entities, &a->timestamps, &a->quantities, &a->codes, &a->dates_out,
                                      &a->quantities_out, &a->codes_out, &a->offsets_out, &a->present}))
            return false;
    }

    table->n_rows = n;
    table->n_entities = n_entities;
    table->entity = column_of(a->entities);
    table->timestamp = column_of(a->timestamps);
    table->ms_multiplier = multiplier;
    table->ms_divisor = divisor;
    table->quantity = column_of(a->quantities);
    if (has_codes) table->code = column_of(a->codes);
    table->keep_from = keep_from;
    table->keep_until = keep_until;
    if (has_present) table->present = a->present.output<bool>();
    out->dates = a->dates_out.output<int64_t>();
    out->quantities = a->quantities_out.output<float>();
    out->codes = a->codes_out.output<int8_t>();
    out->offsets = a->offsets_out.output<int64_t>();
    return true;
}

}  // namespace

bool n_jobs_argument(PyObject* obj, int* out) {
    long long value = 0;
    if (!integer_argument(obj, "n_jobs", 1, std::numeric_limits<long long>::max(), &value)) return false;
    *out = usable_threads(value);
    return true;
}

PyObject* count_codes_entry(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"codes", "counts_out", "n_jobs", "progress", nullptr};
    PyObject *codes_obj, *counts_obj;
    PyObject* n_jobs_obj = nullptr;
    PyObject* callback = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$OO:count_codes", const_cast<char**>(keywords), &codes_obj,
                                     &counts_obj, &n_jobs_obj, &callback))
        return nullptr;
    return guarded([&]() -> PyObject* {
        ArrayArgument codes, counts;
        int n_jobs = 1;
        if (!export_array(codes_obj, "codes", ANY_INTEGER_CODES, &codes) ||
            !export_array(counts_obj, "counts_out", {1, {INT64}, "int64", true}, &counts) ||
            (n_jobs_obj && !n_jobs_argument(n_jobs_obj, &n_jobs)) || !check_callback(callback, "progress"))
            return nullptr;
        if (!check_length(counts, 256, "one per int8 code") || !check_disjoint(counts, {&codes})) return nullptr;
        CodeCensus census;
        const int64_t n_rows = codes.extent(0);
        if (!run_watched(callback, n_rows, [&](const RunWorkers& run, Progress& progress) {
                census = census_codes(column_of(codes), n_rows, n_jobs, run, progress);
            }))
            return nullptr;
        std::memcpy(counts.base(), census.counts.data(), sizeof(census.counts));
        if (!census.first_outside) Py_RETURN_NONE;
        return PyLong_FromLongLong(static_cast<long long>(*census.first_outside));
    });
}

PyObject* factorize_entities_entry(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"ids", "target_ids", "codes_out", "target_codes_out", "n_jobs", "progress",
                                     "present_out", nullptr};
    PyObject *ids_obj, *target_ids_obj, *codes_obj, *target_codes_obj;
    PyObject* n_jobs_obj = nullptr;
    PyObject* callback = Py_None;
    PyObject* present_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|$OOO:factorize_entities", const_cast<char**>(keywords),
                                     &ids_obj, &target_ids_obj, &codes_obj, &target_codes_obj, &n_jobs_obj,
                                     &callback, &present_obj))
        return nullptr;
    return guarded([&]() -> PyObject* {
        ArrayArgument ids, target_ids, codes, target_codes, present;
        int n_jobs = 1;
        const bool with_present = present_obj != Py_None;
        if (!export_array(ids_obj, "ids", ID_COLUMN, &ids) ||
            !export_array(target_ids_obj, "target_ids", ID_COLUMN, &target_ids) ||
            !export_array(codes_obj, "codes_out", {1, {INT32}, "int32", true}, &codes) ||
            !export_array(target_codes_obj, "target_codes_out", {1, {INT32}, "int32", true}, &target_codes) ||
            (n_jobs_obj && !n_jobs_argument(n_jobs_obj, &n_jobs)) || !check_callback(callback, "progress") ||
            (with_present && !export_array(present_obj, "present_out", {1, {BOOL}, "bool", true}, &present)))
            return nullptr;
        if (!check_length(codes, ids.extent(0), "one per id") ||
            !check_length(target_codes, target_ids.extent(0), "one per target id"))
            return nullptr;
        for (const ArrayArgument* output : {&codes, &target_codes, &present}) {  // present: none when not given
            if (!check_disjoint(*output, {&ids, &target_ids, &codes, &target_codes, &present})) return nullptr;
        }

        EntityIds table;
        table.ids = column_of(ids);
        table.n_rows = ids.extent(0);
        table.target_ids = column_of(target_ids);
        table.n_targets = target_ids.extent(0);
        EntityCodes out;
        out.codes = codes.output<int32_t>();
        out.target_codes = target_codes.output<int32_t>();
        if (with_present) {
            out.present = present.output<bool>();
            out.n_present = present.extent(0);
        }

        Factorization result;
        if (!run_watched(callback, factorization_units(table), [&](const RunWorkers& run, Progress& progress) {
                result = factorize_entities(table, out, n_jobs, run, progress);
            }))
            return nullptr;
        return Py_BuildValue("(LO)", static_cast<long long>(result.n_entities), result.by_range ? Py_True : Py_False);
    });
}

PyObject* prepare_transactions_entry(PyObject*, PyObject* args, PyObject* kwds) {
    PrepareObjects objects;
    if (!parse_keywords(args, kwds, "prepare_transactions", kPrepareRequired, PREPARE_KEYWORDS, &objects))
        return nullptr;
    return guarded([&]() -> PyObject* {
        PrepareArrays arrays;
        TransactionTable table;
        PreparedTable out;
        int n_jobs = 1;
        if (!convert_prepare(objects, &arrays, &table, &out, &n_jobs) ||
            !run_watched(objects.progress, preparation_units(table), [&](const RunWorkers& run, Progress& progress) {
                prepare_transactions(table, out, n_jobs, run, progress);
            }))
            return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace dfbh
