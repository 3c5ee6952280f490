// A benchmark- and fuzzing-only module: the value codec without shared
// memory around it, so that it can be timed against other serialisers and
// fed arbitrary bytes. Built only with -DZELVANE_BENCH_EXT=ON; never installed.
#include "kel_2.h"
#include "registry_module.h"

namespace {

PyObject* bench_from_value(PyObject*, PyObject* value) { return from_value(value); }

PyObject* bench_to_value(PyObject*, PyObject* data) { return to_value(data); }

PyMethodDef methods[] = {
    {"from_value", bench_from_value, METH_O, "Encode a value; returns the bytes a slot would hold."},
    {"to_value", bench_to_value, METH_O, "Decode the bytes a slot holds (marker included)."},
    {nullptr, nullptr, 0, nullptr},
};

void bench_module_cleanup(void* module) { registry_module::release_registry(static_cast<PyObject*>(module)); }

int bench_module_exec(PyObject* module) { return registry_module::hold_registry(module, "zelvane_bench"); }

PyModuleDef_Slot bench_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(bench_module_exec)},
    REGISTRY_MODULE_INTERPRETERS_SLOT
    {0, nullptr},
};

PyModuleDef bench_module = {
    PyModuleDef_HEAD_INIT,
    "zelvane_bench",
    "The value codec alone, for benchmarks and fuzzing.",
    sizeof(registry_module::State),
    methods,
    bench_slots,
    nullptr,
    nullptr,
    bench_module_cleanup,
};

}  // namespace

PyMODINIT_FUNC PyInit_zelvane_bench(void) { return PyModuleDef_Init(&bench_module); }
