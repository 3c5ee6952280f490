// Pickling of handles: a handle travels as the call that opens its name
// again, so that a process started by spawn or forkserver (which shares no
// mapping with its parent) gets a handle of its own to the same object.
// Nothing of the mapping, the lock or the version goes with it.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace {

// zelvane.<opener>, or for a temporary handle the opener with
// temporary=True, so that the receiving process holds the object too.
PyObject* opener_of(const char* opener, bool temporary) {
    PyRef module(PyImport_ImportModule("zelvane"));
    PyRef open(module ? PyObject_GetAttrString(module.get(), opener) : nullptr);
    if (!open || !temporary) {
        return open.release();
    }
    PyRef functools(PyImport_ImportModule("functools"));
    PyRef partial(functools ? PyObject_GetAttrString(functools.get(), "partial") : nullptr);
    PyRef positional(partial ? PyTuple_Pack(1, open.get()) : nullptr);
    PyRef keywords(positional ? Py_BuildValue("{sO}", "temporary", Py_True) : nullptr);
    return keywords ? PyObject_Call(partial.get(), positional.get(), keywords.get()) : nullptr;
}

// (opener, (name, *more)) for pickle's __reduce__; a closed handle has no
// object to open again and is refused.
PyObject* reopened_by(const char* type_name, PyObject* name, bool closed, const char* opener,
                      PyObject* more = nullptr, bool temporary = false) {
    if (closed) {
        PyErr_Format(PyExc_ValueError, "Cannot pickle a closed zelvane.%s of '%U'.", type_name, name);
        return nullptr;
    }
    PyRef open(opener_of(opener, temporary));
    if (!open) {
        return nullptr;
    }
    return more ? Py_BuildValue("(O(OO))", open.get(), name, more) : Py_BuildValue("(O(O))", open.get(), name);
}

}  // namespace
