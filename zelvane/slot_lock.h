// What MemoryHandle.lock(timeout=None) returns: a context manager that holds
// the slot's mutex through the handle from __enter__ (which returns the
// handle) to __exit__.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "handle_holding.h"
#include "py_ref.h"
#include "shm_support.h"

namespace {

struct SlotLock {
    PyObject_HEAD
    MemoryHandle* handle;
    PyObject* timeout;   // None or seconds, checked when lock() was called
    HeldSlot* entered;   // what __enter__ took, until __exit__
};

PyTypeObject* slot_lock_type = nullptr;

SlotLock* as_slot_lock(PyObject* self) { return reinterpret_cast<SlotLock*>(self); }

PyObject* slot_lock_enter(PyObject* py_self, PyObject*) {
    SlotLock* self = as_slot_lock(py_self);
    MemoryHandle* handle = self->handle;
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
bool leave_slot_lock(SlotLock* self) {
    MemoryHandle* handle = self->handle;
    HeldSlot* entered = std::exchange(self->entered, nullptr);
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

PyObject* slot_lock_exit(PyObject* py_self, PyObject*) {
    SlotLock* self = as_slot_lock(py_self);
    if (!leave_slot_lock(self)) {
        PyErr_Format(PyExc_RuntimeError, "The lock of shared memory address '%s' is held by another thread.",
                     handle_name(self->handle));
        return nullptr;
    }
    Py_RETURN_FALSE;
}

PyObject* slot_lock_repr(PyObject* py_self) {
    SlotLock* self = as_slot_lock(py_self);
    return PyUnicode_FromFormat("<zelvane.SlotLock name=%R%s>", self->handle->name,
                                self->entered ? " held" : "");
}

void slot_lock_dealloc(PyObject* py_self) {
    SlotLock* self = as_slot_lock(py_self);
    leave_slot_lock(self);
    Py_XDECREF(reinterpret_cast<PyObject*>(self->handle));
    Py_XDECREF(self->timeout);
    PyTypeObject* type = Py_TYPE(py_self);
    type->tp_free(py_self);
    Py_DECREF(type);
}

PyObject* slot_lock_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'zelvane.SlotLock' instances; use MemoryHandle.lock()");
    return nullptr;
}

PyMethodDef slot_lock_methods[] = {
    {"__enter__", slot_lock_enter, METH_NOARGS, nullptr},
    {"__exit__", slot_lock_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slot_lock_slots[] = {
    {Py_tp_doc, const_cast<char*>("The lock of a slot, held through a handle from entering a with block to "
                                  "leaving it; made by MemoryHandle.lock().")},
    {Py_tp_methods, slot_lock_methods},
    {Py_tp_new, reinterpret_cast<void*>(slot_lock_new)},
    {Py_tp_repr, reinterpret_cast<void*>(slot_lock_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(slot_lock_dealloc)},
    {0, nullptr},
};

PyType_Spec slot_lock_spec = {
    "zelvane.SlotLock",
    sizeof(SlotLock),
    0,
    Py_TPFLAGS_DEFAULT,
    slot_lock_slots,
};

// A lock of `handle`'s slot, not taken yet; the timeout is checked now.
PyObject* new_slot_lock(MemoryHandle* handle, PyObject* timeout) {
    timespec limit;
    bool limited;
    if (!shm::time_limit(timeout, limit, limited)) {
        return nullptr;
    }
    PyRef lock(PyType_GenericAlloc(slot_lock_type, 0));
    if (!lock) {
        return nullptr;
    }
    SlotLock* self = as_slot_lock(lock.get());
    self->handle = reinterpret_cast<MemoryHandle*>(PyRef::borrow(reinterpret_cast<PyObject*>(handle)).release());
    self->timeout = PyRef::borrow(timeout ? timeout : Py_None).release();
    return lock.release();
}

// Makes the type (it is not part of the module's namespace); -1 with an
// exception set.
int make_slot_lock_type() {
    if (!slot_lock_type) {
        slot_lock_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&slot_lock_spec));
    }
    return slot_lock_type ? 0 : -1;
}

}  // namespace
