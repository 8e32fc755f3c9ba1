// What both modules keep per module object and how they load it: the
// constants read from numpy, AfeOperator and TransactionFileRecordReader,
// each module its own copy (loading the extension into a second module
// object leaves the first one's alone).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/common/request.hpp"

// The entry point of a module. The build hides every symbol by default, and
// Python 3.8's PyMODINIT_FUNC does not mark it visible (3.9's does).
#define DFBH_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) PyObject*

namespace dfbh {

struct ModuleState {
    ModuleConstants* constants;  // owned; null until module execution starts
};

ModuleState* state_of(PyObject* module);

// Allocates the module's constants and reads them, in this order: imports
// numpy and binds it as `np`, binds AfeOperator and
// TransactionFileRecordReader as `from ... import` does, then reads np.nan,
// the operator codes and the unknown-dimension marker through the names
// just bound. False with the failing step's exception set; the steps after
// it are not run.
bool load_module_state(PyObject* module);

// m_free of both modules.
void free_module_state(void* module);

// A module's definition: multi-phase initialisation with one exec slot, a
// ModuleState that holds no Python objects (so no traverse or clear), freed
// by free_module_state. Static storage, as PyModuleDef_Init requires.
struct ModuleDefinition {
    PyModuleDef_Slot slots[2];
    PyModuleDef def;
};

// Fills `definition` and returns what the module's PyInit function returns.
PyObject* init_module(ModuleDefinition& definition, const char* name, const char* doc, PyMethodDef* methods,
                      int (*exec)(PyObject*));

}  // namespace dfbh
