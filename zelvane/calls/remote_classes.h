// The class of an exception that came back from a served function, when the
// caller has it too: the same module, already imported (received data never
// imports anything), and the same qualified name in it. Such an exception is
// raised as an instance of that class; any other as a RemoteError whose
// type_name names the remote class.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace {

// The module a class of `module_name` lives in for this process: a
// process started by multiprocessing runs its parent's main module as
// __mp_main__, which is __main__ to its parent.
PyRef same_module_name(PyObject* module_name) {
    if (PyUnicode_CompareWithASCIIString(module_name, "__mp_main__") == 0) {
        return PyRef(PyUnicode_FromString("__main__"));
    }
    return PyRef::borrow(module_name);
}

// "module.qualname" of a reported class, as RemoteError.type_name gives it.
PyRef remote_type_name(PyObject* module_name, PyObject* qualname) {
    if (!PyUnicode_Check(module_name) || !PyUnicode_Check(qualname)) {
        return PyRef(PyUnicode_FromFormat("%S.%S", module_name, qualname));
    }
    PyRef module = same_module_name(module_name);
    return module ? PyRef(PyUnicode_FromFormat("%U.%U", module.get(), qualname)) : PyRef();
}

// `name` from the namespace of `owner` (a module's or a class's own), without
// running any __getattr__ hook; null with no exception set when absent.
PyRef own_member(PyObject* owner, PyObject* name) {
    PyRef members(PyModule_Check(owner) ? PyRef::borrow(PyModule_GetDict(owner))
                                        : PyRef(PyObject_GetAttrString(owner, "__dict__")));
    PyRef member(members ? PyObject_GetItem(members.get(), name) : nullptr);
    if (!member) {
        PyErr_Clear();
    }
    return member;
}

// The exception class `module_name`.`qualname` of this process, or null (no
// exception set) when its module is not imported or holds no such class.
PyRef known_exception_class(PyObject* module_name, PyObject* qualname) {
    if (!PyUnicode_Check(module_name) || !PyUnicode_Check(qualname)) {
        return PyRef();
    }
    PyRef module_key = same_module_name(module_name);
    PyRef found(module_key ? PyImport_GetModule(module_key.get()) : nullptr);
    PyRef dot(found ? PyUnicode_FromString(".") : nullptr);
    PyRef parts(dot ? PyUnicode_Split(qualname, dot.get(), -1) : nullptr);
    for (Py_ssize_t i = 0; parts && found && i < PyList_GET_SIZE(parts.get()); ++i) {
        if (i > 0 && !PyType_Check(found.get())) {
            found.reset();
            break;
        }
        found = own_member(found.get(), PyList_GET_ITEM(parts.get(), i));
    }
    if (!parts || !found || !PyType_Check(found.get()) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(found.get()),
                          reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        PyErr_Clear();
        return PyRef();
    }
    return found;
}

// An instance of the reported class built from its arguments, when this
// process has the class and the arguments build one; null (no exception
// set) otherwise.
PyRef rebuilt_exception(PyObject* module_name, PyObject* qualname, PyObject* args) {
    if (!PyTuple_Check(args)) {
        return PyRef();
    }
    PyRef cls = known_exception_class(module_name, qualname);
    PyRef exception(cls ? PyObject_Call(cls.get(), args, nullptr) : nullptr);
    if (!exception || PyObject_IsInstance(exception.get(), cls.get()) != 1) {
        PyErr_Clear();
        return PyRef();
    }
    return exception;
}

}  // namespace
