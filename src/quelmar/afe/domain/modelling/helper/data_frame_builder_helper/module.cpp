// Module definition and the `execute` entry (placeholder skeleton).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef_Slot dfbh_slots[] = {{0, nullptr}};
static struct PyModuleDef dfbh_module = {
    PyModuleDef_HEAD_INIT, "data_frame_builder_helper", nullptr, 0, nullptr, dfbh_slots,
    nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_data_frame_builder_helper(void) { return PyModuleDef_Init(&dfbh_module); }
