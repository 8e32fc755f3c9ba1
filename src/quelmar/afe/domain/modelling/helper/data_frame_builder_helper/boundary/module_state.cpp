// Module state and its loading, shared by both modules.
#include "boundary/module_state.hpp"

#include "boundary/py_convert.hpp"
#include "boundary/py_support.hpp"

namespace dfbh {
namespace {

// `from <module_name> import <name>`, binding the name in `module`.
bool import_from(PyObject* module, const char* module_name, const char* name) {
    OwnedRef name_object(PyUnicode_FromString(name));
    if (!name_object) return false;
    OwnedRef fromlist(PyTuple_Pack(1, name_object.get()));
    if (!fromlist) return false;
    OwnedRef source(PyImport_ImportModuleLevel(module_name, PyModule_GetDict(module), nullptr, fromlist.get(), 0));
    if (!source) return false;
    OwnedRef imported(PyObject_GetAttr(source.get(), name_object.get()));
    if (!imported) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        // As the import statement does: the name may be a submodule that is
        // imported but not yet bound on its package.
        OwnedRef full_name(PyUnicode_FromFormat("%s.%s", module_name, name));
        if (!full_name) return false;
        PyObject* modules = PyImport_GetModuleDict();  // borrowed
        PyObject* submodule = PyDict_GetItemWithError(modules, full_name.get());  // borrowed
        if (submodule) {
            Py_INCREF(submodule);
            imported.reset(submodule);
        } else {
            if (PyErr_Occurred()) return false;
            OwnedRef package_name(PyUnicode_FromString(module_name));
            if (!package_name) return false;
            PyObject* package_path = PyModule_Check(source.get()) ? PyModule_GetFilenameObject(source.get()) : nullptr;
            if (!package_path) PyErr_Clear();
            OwnedRef path(package_path);
            OwnedRef message(path ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name_object.get(),
                                                         package_name.get(), path.get())
                                  : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                         name_object.get(), package_name.get()));
            if (!message) return false;
            PyErr_SetImportError(message.get(), package_name.get(), path.get());
            return false;
        }
    }
    return PyObject_SetAttr(module, name_object.get(), imported.get()) == 0;
}

// The members whose codes map to slots 0 to 8, in slot order.
const char* const SLOT_MEMBERS[SLOT_COUNT] = {
    "Density", "Min", "Max", "Sum", "Frequency", "CountDistinct", "Mode", "TimeSinceFirst", "TimeSinceLast",
};

// Reads AfeOperator.<member>.value (new reference).
PyObject* operator_value(PyObject* afe_operator, const char* member) {
    OwnedRef enum_member(PyObject_GetAttrString(afe_operator, member));
    if (!enum_member) return nullptr;
    return PyObject_GetAttrString(enum_member.get(), "value");
}

bool read_operator_code(PyObject* afe_operator, const char* member, int32_t* out) {
    OwnedRef value(operator_value(afe_operator, member));
    return value && to_integer(value.get(), out);
}

// np.nan narrowed to float32, OPERATOR_SLOT_MAP from a dict of the nine
// slot members' codes (equal codes keep the later slot, then the first
// entry per native key), the Ratio, CountDistinct and Mode codes,
// UNKNOWN_DIMENSION_VALUE.
bool read_module_constants(PyObject* np, PyObject* afe_operator, PyObject* reader, ModuleConstants* constants) {
    // np.nan, narrowed to float32.
    OwnedRef nan(PyObject_GetAttrString(np, "nan"));
    if (!nan) return false;
    const double nan_value = PyFloat_AsDouble(nan.get());
    if (nan_value == -1.0 && PyErr_Occurred()) return false;
    constants->FLOAT32_NAN = static_cast<float>(nan_value);

    // A dict of code to slot first, so that equal codes keep the later slot;
    // OPERATOR_SLOT_MAP from that dict.
    OwnedRef slots(PyDict_New());
    if (!slots) return false;
    for (int32_t slot = 0; slot < SLOT_COUNT; ++slot) {
        OwnedRef code(operator_value(afe_operator, SLOT_MEMBERS[slot]));
        if (!code) return false;
        OwnedRef slot_object(PyLong_FromLong(slot));
        if (!slot_object || PyDict_SetItem(slots.get(), code.get(), slot_object.get()) < 0) return false;
    }
    if (!to_integer_map(slots.get(), &constants->OPERATOR_SLOT_MAP)) return false;

    // The codes with a constant of their own, then the unknown-dimension marker.
    if (!read_operator_code(afe_operator, "Ratio", &constants->RATIO_CODE)) return false;
    if (!read_operator_code(afe_operator, "CountDistinct", &constants->COUNT_DISTINCT_CODE)) return false;
    if (!read_operator_code(afe_operator, "Mode", &constants->MODE_CODE)) return false;
    OwnedRef unknown(PyObject_GetAttrString(reader, "UNKNOWN_DIMENSION_VALUE"));
    return unknown && to_integer(unknown.get(), &constants->UNKNOWN_DIMENSION_VALUE);
}

}  // namespace

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

namespace {

bool load_constants(PyObject* module, ModuleConstants* constants) {
    OwnedRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy || PyObject_SetAttrString(module, "np", numpy.get()) < 0) return false;
    if (!import_from(module, "quelmar.afe.domain.enums.afe_operator", "AfeOperator")) return false;
    if (!import_from(module, "quelmar.afe.dataaccess.services.transaction_file_record_reader",
                     "TransactionFileRecordReader"))
        return false;
    OwnedRef np(PyObject_GetAttrString(module, "np"));
    if (!np) return false;
    OwnedRef afe_operator(PyObject_GetAttrString(module, "AfeOperator"));
    if (!afe_operator) return false;
    OwnedRef reader(PyObject_GetAttrString(module, "TransactionFileRecordReader"));
    if (!reader) return false;
    return read_module_constants(np.get(), afe_operator.get(), reader.get(), constants);
}

}  // namespace

bool load_module_state(PyObject* module) {
    ModuleState* state = state_of(module);
    if (!state) return false;
    try {
        state->constants = new ModuleConstants();
        return load_constants(module, state->constants);
    } catch (...) {
        raise_from_cpp_exception();
        return false;
    }
}

void free_module_state(void* module) {
    ModuleState* state = state_of(static_cast<PyObject*>(module));
    if (state) {
        delete state->constants;
        state->constants = nullptr;
    }
}

PyObject* init_module(ModuleDefinition& definition, const char* name, const char* doc, PyMethodDef* methods,
                      int (*exec)(PyObject*)) {
    definition.slots[0] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
    definition.slots[1] = {0, nullptr};
    definition.def = PyModuleDef{
        PyModuleDef_HEAD_INIT,
        name,
        doc,
        sizeof(ModuleState),
        methods,
        definition.slots,
        nullptr,  // m_traverse: the state holds no Python objects
        nullptr,  // m_clear
        free_module_state,
    };
    return PyModuleDef_Init(&definition.def);
}

}  // namespace dfbh
