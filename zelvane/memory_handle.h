// zelvane.MemoryHandle: a value slot opened once and kept, for loops that
// read or write it often. A handle is bound to the object it opened, like an
// open file: it skips the name check of read_memory/write_memory, so a
// removal or re-creation of the name by others does not reach it, while a
// growth by others is seen (the capacity is read under the mutex, as always).
// Its object is its own, outside the cache, so that nothing the cache does
// (eviction, a removal here, a fork) moves the mapping it locks through.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

#include "bridge_errors.h"
#include "object_cache.h"
#include "py_ref.h"
#include "slots.h"

namespace {

struct MemoryHandle {
    PyObject_HEAD
    PyObject* name;               // the str the handle was opened with
    shm::MappedObject* object;    // null once closed
};

PyTypeObject* memory_handle_type = nullptr;

const char* handle_name(const MemoryHandle* self) {
    const char* name = PyUnicode_AsUTF8(self->name);
    if (!name) {
        PyErr_Clear();  // the name was given as a str with a UTF-8 form
        return "?";
    }
    return name;
}

// Lets go of the handle's object; an access still in progress (another
// thread waiting for the mutex) frees it when it ends.
void release_object(MemoryHandle* self) {
    shm::MappedObject* object = std::exchange(self->object, nullptr);
    if (object) {
        object->held = false;
        if (object->users == 0) {
            delete object;
        }
    }
}

bool closed_error(const MemoryHandle* self) {
    PyErr_Format(PyExc_ValueError, "I/O operation on a closed memory handle of '%s'.", handle_name(self));
    return false;
}

// Takes the mutex of the handle's slot for one access with room for
// `new_size` payload bytes. The object never shrinks, so the mapping's
// length stands in for its size in the checks made before locking.
bool lock_handle(MemoryHandle* self, SlotAccess& access, uint64_t new_size) {
    if (!self->object) {
        return closed_error(self);
    }
    access.object = shm::ObjectUse(self->object);
    return lock_slot(access, handle_name(self), access.mapping().length(), new_size);
}

PyObject* handle_read(PyObject* py_self, PyObject*) {
    auto* self = reinterpret_cast<MemoryHandle*>(py_self);
    SlotAccess access;
    if (!lock_handle(self, access, 0)) {
        return nullptr;
    }
    return read_locked(access);
}

PyObject* handle_write(PyObject* py_self, PyObject* value) {
    auto* self = reinterpret_cast<MemoryHandle*>(py_self);
    if (!self->object) {
        closed_error(self);
        return nullptr;
    }
    PreparedValue prepared;
    if (!prepared.prepare(value)) {
        return nullptr;
    }
    SlotAccess access;
    if (!lock_handle(self, access, prepared.size())) {
        return nullptr;
    }
    populate_fresh_pages(access, prepared.size());
    prepared.store(access.payload());
    Py_RETURN_TRUE;
}

PyObject* handle_close(PyObject* py_self, PyObject*) {
    release_object(reinterpret_cast<MemoryHandle*>(py_self));
    Py_RETURN_NONE;
}

PyObject* handle_enter(PyObject* py_self, PyObject*) {
    auto* self = reinterpret_cast<MemoryHandle*>(py_self);
    if (!self->object) {
        closed_error(self);
        return nullptr;
    }
    Py_INCREF(py_self);
    return py_self;
}

PyObject* handle_exit(PyObject* py_self, PyObject*) {
    release_object(reinterpret_cast<MemoryHandle*>(py_self));
    Py_RETURN_FALSE;
}

PyObject* handle_get_name(PyObject* py_self, void*) {
    PyObject* name = reinterpret_cast<MemoryHandle*>(py_self)->name;
    Py_INCREF(name);
    return name;
}

PyObject* handle_get_closed(PyObject* py_self, void*) {
    return PyBool_FromLong(reinterpret_cast<MemoryHandle*>(py_self)->object == nullptr);
}

PyObject* handle_repr(PyObject* py_self) {
    auto* self = reinterpret_cast<MemoryHandle*>(py_self);
    return PyUnicode_FromFormat("<zelvane.MemoryHandle name=%R%s>", self->name, self->object ? "" : " closed");
}

PyObject* handle_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'zelvane.MemoryHandle' instances; use zelvane.open_memory()");
    return nullptr;
}

void handle_dealloc(PyObject* py_self) {
    auto* self = reinterpret_cast<MemoryHandle*>(py_self);
    release_object(self);
    Py_XDECREF(self->name);
    PyTypeObject* type = Py_TYPE(py_self);
    type->tp_free(py_self);
    Py_DECREF(type);
}

PyMethodDef handle_methods[] = {
    {"read", handle_read, METH_NOARGS,
     "read($self, /)\n--\n\nThe value stored in the slot, or None for a slot never written; as read_memory."},
    {"write", handle_write, METH_O,
     "write($self, value, /)\n--\n\nStores value in the slot and returns True; as write_memory."},
    {"close", handle_close, METH_NOARGS,
     "close($self, /)\n--\n\nLets go of the slot; the slot itself stays. Closing twice is harmless."},
    {"__enter__", handle_enter, METH_NOARGS, nullptr},
    {"__exit__", handle_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef handle_getset[] = {
    {"name", handle_get_name, nullptr, "The name the handle was opened with.", nullptr},
    {"closed", handle_get_closed, nullptr, "True once the handle is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot handle_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A value slot opened once, for repeated reads and writes; made by open_memory(). "
                    "It stays bound to the object it opened: a removal or re-creation of the name "
                    "elsewhere does not reach it.")},
    {Py_tp_methods, handle_methods},
    {Py_tp_getset, handle_getset},
    {Py_tp_new, reinterpret_cast<void*>(handle_new)},
    {Py_tp_repr, reinterpret_cast<void*>(handle_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc)},
    {0, nullptr},
};

PyType_Spec handle_spec = {
    "zelvane.MemoryHandle",
    sizeof(MemoryHandle),
    0,
    Py_TPFLAGS_DEFAULT,
    handle_slots,
};

// Opens the slot `name` for a handle: the object is opened and mapped for
// the handle alone and checked to be a slot; a missing name is created
// first when `create` allows it.
shm::ObjectUse open_handle_object(const char* name, bool create) {
    std::string file;
    struct stat st;
    bool map_failed = false;
    shm::ObjectUse use;
    if (shm::shm_file_name(name, file)) {
        use = object_cache.open_unshared(file, st, map_failed);
        if (!use && !map_failed && errno == ENOENT && create) {
            if (create_shared_memory(name, 0, false) == CreateOutcome::Failed) {
                return shm::ObjectUse();
            }
            use = object_cache.open_unshared(file, st, map_failed);
        }
    }
    if (!use) {
        memory_error(map_failed ? "Failed to map shared memory address '%s'."
                                : "Failed to open shared memory address '%s'.",
                     name);
        return shm::ObjectUse();
    }
    SlotAccess probe;
    probe.object = std::move(use);
    if (!check_slot_unlocked(probe, static_cast<uint64_t>(st.st_size))) {
        not_a_slot(name);
        return shm::ObjectUse();
    }
    return std::move(probe.object);
}

PyObject* open_memory(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "create", nullptr};
    const char* name;
    PyObject* create = Py_True;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|O!:open_memory", const_cast<char**>(kwlist), &name,
                                     &PyBool_Type, &create)) {
        return nullptr;
    }
    PyRef name_object(PyUnicode_FromString(name));
    if (!name_object) {
        return nullptr;
    }
    shm::ObjectUse use = open_handle_object(name, flag_set(create));
    if (!use) {
        return nullptr;
    }
    PyRef handle(PyType_GenericAlloc(memory_handle_type, 0));
    if (!handle) {
        return nullptr;
    }
    auto* self = reinterpret_cast<MemoryHandle*>(handle.get());
    self->name = name_object.release();
    self->object = &*use;
    self->object->held = true;
    return handle.release();
}

constexpr const char* OPEN_MEMORY_DOC =
    "open_memory($module, /, name, create=True)\n--\n\n"
    "Open the value slot name (creating an empty one when it is missing, unless create is False) and "
    "return a MemoryHandle bound to it, whose read() and write(value) act as read_memory and "
    "write_memory without looking the name up again. A removal or re-creation of the name by another "
    "process does not reach the handle; a growth does.";

// Registers the type as zelvane.MemoryHandle; -1 with an exception set.
int add_memory_handle_type(PyObject* module) {
    PyRef type(PyType_FromSpec(&handle_spec));
    if (!type) {
        return -1;
    }
    // One reference for the module, one kept for open_memory.
    Py_INCREF(type.get());
    if (PyModule_AddObject(module, "MemoryHandle", type.get()) < 0) {
        Py_DECREF(type.get());
        return -1;
    }
    Py_XDECREF(std::exchange(memory_handle_type, reinterpret_cast<PyTypeObject*>(type.release())));
    return 0;
}

}  // namespace
