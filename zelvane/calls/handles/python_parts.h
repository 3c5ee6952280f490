// The parts of zelvane written in Python (the directory beside the
// extension), reached from the native module: each loads on first use, so
// that importing zelvane imports none of them.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "calls/handles/handle.h"
#include "py_ref.h"

namespace {

// zelvane.<module>.<attribute>: a new reference, or null with an exception set.
PyObject* python_part(const char* module, const char* attribute) {
    PyRef found(PyImport_ImportModule(module));
    return found ? PyObject_GetAttrString(found.get(), attribute) : nullptr;
}

// FunctionHandle.submit(*args, **kwargs): the call as a Future, through the
// executor this process keeps for the handle's name (zelvane._executor).
PyObject* function_handle_submit(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyRef submit(python_part("zelvane._executor", "submit_through"));
    PyRef keywords(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    if (!submit || !keywords) {
        return nullptr;
    }
    return PyObject_CallFunctionObjArgs(submit.get(), self, args, keywords.get(), nullptr);
}

}  // namespace
