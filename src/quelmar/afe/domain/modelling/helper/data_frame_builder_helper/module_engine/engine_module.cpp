// The front end's engine module: `count_codes`, `factorize_entities`,
// `prepare_transactions`, `compute_features` and `gather_records`
// (entries.hpp), and the `Plan` type (plan_type.cpp). The
// `execute` module (module_execute/) is the other boundary over the same core;
// both convert through boundary/.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "boundary/module_state.hpp"
#include "module_engine/entries.hpp"

namespace dfbh {
namespace {

int module_exec(PyObject* module) {
    if (!load_module_state(module)) return -1;
    try {
        return add_plan_type(module) ? 0 : -1;
    } catch (...) {
        raise_from_cpp_exception();
        return -1;
    }
}

template <PyObject* (*Entry)(PyObject*, PyObject*, PyObject*)>
PyCFunction with_keywords() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Entry));
}

PyMethodDef methods[] = {
    {"count_codes", with_keywords<count_codes_entry>(), METH_VARARGS | METH_KEYWORDS,
     "Counts each int8 code of an integer column into counts_out; returns the first row outside int8, or None."},
    {"factorize_entities", with_keywords<factorize_entities_entry>(), METH_VARARGS | METH_KEYWORDS,
     "Numbers integer entity ids densely into the caller's arrays; returns (n_entities, by_range)."},
    {"prepare_transactions", with_keywords<prepare_transactions_entry>(), METH_VARARGS | METH_KEYWORDS,
     "Groups a transaction table by entity into the caller's output arrays, newest first within each entity."},
    {"compute_features", with_keywords<compute_features_entry>(), METH_VARARGS | METH_KEYWORDS,
     "Computes the feature row of every target into `out`, one (value, operator, horizon) per column."},
    {"gather_records", with_keywords<gather_records_entry>(), METH_VARARGS | METH_KEYWORDS,
     "Merges each entity's record values (from since_ms on) into prepared transaction columns; returns the rows."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace dfbh

DFBH_MODULE_ENTRY PyInit__engine(void) {
    static dfbh::ModuleDefinition definition;
    return dfbh::init_module(definition, "_engine",
                             "Native preparation and parallel feature computation for the feature-frame front end.",
                             dfbh::methods, dfbh::module_exec);
}
