// A benchmark- and fuzzing-only module: the value codec without shared
// memory around it, so that it can be timed against other serialisers and
// fed arbitrary bytes. Built only with -DZELVANE_BENCH_EXT=ON; never installed.
#include "kel_2.h"

namespace {

PyObject* bench_from_value(PyObject*, PyObject* value) { return from_value(value); }

PyObject* bench_to_value(PyObject*, PyObject* data) { return to_value(data); }

PyMethodDef methods[] = {
    {"from_value", bench_from_value, METH_O, "Encode a value; returns the bytes a slot would hold."},
    {"to_value", bench_to_value, METH_O, "Decode the bytes a slot holds (marker included)."},
    {nullptr, nullptr, 0, nullptr},
};

void bench_module_cleanup(void*) { kel2_cleanup(); }

PyModuleDef bench_module = {
    PyModuleDef_HEAD_INIT, "zelvane_bench", "The value codec alone, for benchmarks and fuzzing.", -1, methods,
    nullptr, nullptr, nullptr, bench_module_cleanup,
};

}  // namespace

PyMODINIT_FUNC PyInit_zelvane_bench(void) {
    PyObject* module = kel2_init() < 0 ? nullptr : PyModule_Create(&bench_module);
    if (!module) {
        kel2_cleanup();
    }
    return module;
}
