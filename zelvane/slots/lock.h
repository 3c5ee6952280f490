// What a handle's lock(timeout=None) returns: a context manager that holds
// the object's mutex through the handle from __enter__ (which returns the
// handle) to __exit__. One type per kind of handle (see platform/held_lock.h for
// what a handle provides); LockNames<Handle> names it.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "platform/held_lock.h"
#include "platform/shm_support.h"
#include "py_ref.h"

namespace {

template <typename Handle>
struct LockNames;

template <typename Handle>
struct HandleLock {
    PyObject_HEAD
    Handle* handle;
    PyObject* timeout;        // None or seconds, checked when lock() was called
    HeldOf<Handle>* entered;  // what __enter__ took, until __exit__

    static inline PyTypeObject* type = nullptr;
};

template <typename Handle>
HandleLock<Handle>* as_handle_lock(PyObject* self) {
    return reinterpret_cast<HandleLock<Handle>*>(self);
}

template <typename Handle>
PyObject* handle_lock_enter(PyObject* py_self, PyObject*) {
    HandleLock<Handle>* self = as_handle_lock<Handle>(py_self);
    Handle* handle = self->handle;
    timespec limit;
    bool limited;
    if (!handle_ready(handle) || !shm::time_limit(self->timeout, limit, limited) ||
        !take_lock(handle, limited ? &limit : nullptr)) {
        return nullptr;
    }
    self->entered = handle->held;
    return PyRef::borrow(reinterpret_cast<PyObject*>(handle)).release();
}

// Lets go of what __enter__ took, if the handle still holds it: false when
// another thread holds it, which only that thread can let go of.
template <typename Handle>
bool leave_handle_lock(HandleLock<Handle>* self) {
    Handle* handle = self->handle;
    HeldOf<Handle>* entered = std::exchange(self->entered, nullptr);
    if (!entered || handle->held != entered) {
        return true;
    }
    let_go_of_held(handle);
    if (handle->held != entered) {
        return true;
    }
    self->entered = entered;
    return false;
}

template <typename Handle>
PyObject* handle_lock_exit(PyObject* py_self, PyObject*) {
    HandleLock<Handle>* self = as_handle_lock<Handle>(py_self);
    if (!leave_handle_lock(self)) {
        PyErr_Format(PyExc_RuntimeError, "The lock of shared memory address '%s' is held by another thread.",
                     handle_name(self->handle));
        return nullptr;
    }
    Py_RETURN_FALSE;
}

template <typename Handle>
PyObject* handle_lock_repr(PyObject* py_self) {
    HandleLock<Handle>* self = as_handle_lock<Handle>(py_self);
    return PyUnicode_FromFormat("<%s name=%R%s>", LockNames<Handle>::type_name, self->handle->name,
                                self->entered ? " held" : "");
}

template <typename Handle>
void handle_lock_dealloc(PyObject* py_self) {
    HandleLock<Handle>* self = as_handle_lock<Handle>(py_self);
    leave_handle_lock(self);
    Py_XDECREF(reinterpret_cast<PyObject*>(self->handle));
    Py_XDECREF(self->timeout);
    PyTypeObject* type = Py_TYPE(py_self);
    type->tp_free(py_self);
    Py_DECREF(type);
}

template <typename Handle>
PyObject* handle_lock_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances; use %s.lock()", LockNames<Handle>::type_name,
                 LockNames<Handle>::handle_type);
    return nullptr;
}

// A lock of `handle`'s object, not taken yet; the timeout is checked now.
template <typename Handle>
PyObject* new_handle_lock(Handle* handle, PyObject* timeout) {
    timespec limit;
    bool limited;
    if (!shm::time_limit(timeout, limit, limited)) {
        return nullptr;
    }
    PyRef lock(PyType_GenericAlloc(HandleLock<Handle>::type, 0));
    if (!lock) {
        return nullptr;
    }
    HandleLock<Handle>* self = as_handle_lock<Handle>(lock.get());
    self->handle = reinterpret_cast<Handle*>(PyRef::borrow(reinterpret_cast<PyObject*>(handle)).release());
    self->timeout = PyRef::borrow(timeout ? timeout : Py_None).release();
    return lock.release();
}

// The handle's lock(timeout=None) method.
template <typename Handle>
PyObject* handle_lock_method(PyObject* py_self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"timeout", nullptr};
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:lock", const_cast<char**>(kwlist), &timeout)) {
        return nullptr;
    }
    Handle* self = reinterpret_cast<Handle*>(py_self);
    if (!handle_open(self)) {
        closed_error(self);
        return nullptr;
    }
    return new_handle_lock(self, timeout);
}

// Makes the type (it is not part of the module's namespace); -1 with an
// exception set.
template <typename Handle>
int make_handle_lock_type() {
    static PyMethodDef methods[] = {
        {"__enter__", handle_lock_enter<Handle>, METH_NOARGS, nullptr},
        {"__exit__", handle_lock_exit<Handle>, METH_VARARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(LockNames<Handle>::doc)},
        {Py_tp_methods, methods},
        {Py_tp_new, reinterpret_cast<void*>(handle_lock_new<Handle>)},
        {Py_tp_repr, reinterpret_cast<void*>(handle_lock_repr<Handle>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(handle_lock_dealloc<Handle>)},
        {0, nullptr},
    };
    static PyType_Spec lock_type = {
        LockNames<Handle>::type_name, sizeof(HandleLock<Handle>), 0, Py_TPFLAGS_DEFAULT, slots,
    };
    PyTypeObject*& type = HandleLock<Handle>::type;
    if (!type) {
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&lock_type));
    }
    return type ? 0 : -1;
}

// Makes a handle type from `shape` with its lock type and adds it to `module`
// as `name`; a second reference is kept in `kept` for the functions that
// make handles. -1 with an exception set.
template <typename Handle>
int add_handle_type(PyObject* module, PyType_Spec* shape, const char* name, PyTypeObject*& kept) {
    PyRef type(PyType_FromSpec(shape));
    if (!type || make_handle_lock_type<Handle>() < 0) {
        return -1;
    }
    Py_INCREF(type.get());
    if (PyModule_AddObject(module, name, type.get()) < 0) {
        Py_DECREF(type.get());
        return -1;
    }
    Py_XDECREF(std::exchange(kept, reinterpret_cast<PyTypeObject*>(type.release())));
    return 0;
}

}  // namespace
