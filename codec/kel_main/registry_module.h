// Set-up shared by the extension modules that carry the codec. The class
// registry and everything else they keep is process-global and holds the
// main interpreter's objects, so only the main interpreter may import them:
// a subinterpreter would find classes other than its own (and refuse its own
// values), or fill the registry with objects that die with it. Within the main
// interpreter a module may be imported again (after `del sys.modules[...]`),
// so the registry is filled by the first module object and released with the
// last.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kel_2.h"

namespace registry_module {

// A module object's state: whether it is one of the registry's holders.
struct State {
    bool holds_registry;
};

// The module objects that hold the registry; only touched in the main
// interpreter, with its GIL.
inline int holders = 0;

// The first step of a module's Py_mod_exec: refuses any interpreter but the
// main one before anything process-global is touched, then fills the
// registry or shares it. 0, or -1 with an exception set.
inline int hold_registry(PyObject* module, const char* module_name) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError, "%s can only be imported in the main interpreter", module_name);
        return -1;
    }
    if (holders == 0 && kel2_init() < 0) {
        // Releases the classes cached before the failure.
        kel2_cleanup();
        return -1;
    }
    ++holders;
    static_cast<State*>(PyModule_GetState(module))->holds_registry = true;
    return 0;
}

// From a module's m_free: lets go of the module's hold on the registry, and
// releases the registry with the last holder; true when it did.
inline bool release_registry(PyObject* module) {
    auto* state = static_cast<State*>(PyModule_GetState(module));
    if (!state || !state->holds_registry) {
        return false;
    }
    state->holds_registry = false;
    if (--holders > 0) {
        return false;
    }
    kel2_cleanup();
    return true;
}

}  // namespace registry_module

// Declares that a module cannot be shared between interpreters (the import
// system then refuses it in isolated subinterpreters itself); nothing before
// 3.12, where hold_registry alone refuses.
#ifdef Py_mod_multiple_interpreters
#define REGISTRY_MODULE_INTERPRETERS_SLOT \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define REGISTRY_MODULE_INTERPRETERS_SLOT
#endif
