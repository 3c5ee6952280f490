// zelvane.MemoryHandle: a value slot opened once and kept, for loops that
// read or write it often. A handle is bound to the object it opened, like an
// open file: it skips the name check of read_memory/write_memory, so a
// removal or re-creation of the name by others does not reach it, while a
// growth by others is seen (the capacity is read under the mutex, as always).
// Its object is its own, outside the cache, so that nothing the cache does
// (eviction, a removal here, a fork) moves the mapping it locks through.
// Beyond read and write, a handle makes its slot shared state: the version
// and wait() (slots/state.h), update() and lock() (slots/holding.h).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/name_wait.h"
#include "platform/object_cache.h"
#include "platform/pickling.h"
#include "py_ref.h"
#include "slots/holding.h"
#include "slots/lock.h"
#include "slots/slot.h"
#include "slots/state.h"

namespace {

PyTypeObject* memory_handle_type = nullptr;
// zelvane.InterruptedWriteError, made at import.
PyObject* interrupted_write_error = nullptr;

bool interrupted_write(const char* name) {
    PyErr_Format(interrupted_write_error,
                 "A write to shared memory address '%s' was interrupted by a process that died: the slot holds "
                 "no value until the next write.",
                 name);
    return false;
}

// Under the mutex, for a handle: the decoded value (None for a slot never
// written), or InterruptedWriteError where a writer died mid-copy.
PyObject* read_for_handle(MemoryHandle* self, const SlotAccess& access) {
    if (write_interrupted(access)) {
        interrupted_write(handle_name(self));
        return nullptr;
    }
    return read_locked(access);
}

template <>
struct LockNames<MemoryHandle> {
    static constexpr const char* type_name = "zelvane.SlotLock";
    static constexpr const char* handle_type = "MemoryHandle";
    static constexpr const char* doc =
        "The lock of a slot, held through a handle from entering a with block to leaving it; made by "
        "MemoryHandle.lock().";
};

MemoryHandle* as_memory_handle(PyObject* self) { return reinterpret_cast<MemoryHandle*>(self); }

// Lets go of the handle's object; an access still in progress (another
// thread waiting for the mutex) frees it when it ends. The last handle of a
// temporary slot in the last process that holds it removes its name.
void release_object(MemoryHandle* self) {
    shm::MappedObject* object = std::exchange(self->object, nullptr);
    if (object) {
        object->held = false;
        if (object->users == 0) {
            unmap_view(std::move(object->mapping));
            delete object;
        }
    }
    temporary::release(std::exchange(self->hold, nullptr));
}

PyObject* handle_read(PyObject* py_self, PyObject*) {
    MemoryHandle* self = as_memory_handle(py_self);
    return with_slot_locked(self, 0, [self](SlotAccess& access) {
        PyObject* value = read_for_handle(self, access);
        note_version(self, access);
        return value;
    });
}

PyObject* handle_write(PyObject* py_self, PyObject* value) {
    MemoryHandle* self = as_memory_handle(py_self);
    if (!self->object) {
        closed_error(self);
        return nullptr;
    }
    PreparedValue prepared;
    if (!prepared.prepare(value)) {
        return nullptr;
    }
    return with_slot_locked(self, prepared.size(), [self, &prepared](SlotAccess& access) {
        store_value(access, prepared);
        note_version(self, access);
        Py_RETURN_TRUE;
    });
}

// Under the mutex: the value update() hands to its function. A slot with
// reserved capacity that no write has reached yet gives None, as an empty
// one does (its payload starts with a zero and no write has counted), and
// so does a slot whose writer died mid-copy, which the update then repairs.
PyObject* value_to_update(SlotAccess& access) {
    const bool never_written =
        access.capacity != 0 && access.payload()[0] == 0 && slot_state::version(&access.header()->mutex) == 0;
    if (never_written || write_interrupted(access)) {
        Py_RETURN_NONE;
    }
    return read_locked(access);
}

// With the slot's mutex held through the handle by this thread: reads the
// value, calls `func` with it and writes what it returns, which is returned.
PyObject* update_held(MemoryHandle* self, PyObject* func) {
    const char* name = handle_name(self);
    self->held->wait_for_borrowers();
    SlotAccess& before = self->held->access;
    if (!fit_locked_slot(before, name, 0)) {
        return nullptr;
    }
    PyRef value(value_to_update(before));
    if (!value) {
        return nullptr;
    }
    PyRef result(PyObject_CallOneArg(func, value.get()));
    PreparedValue prepared;
    if (!result || !prepared.prepare(result.get())) {
        return nullptr;
    }
    // The function may have left the lock() block that holds the mutex.
    if (!held_by_this_thread(self->held)) {
        PyErr_Format(PyExc_RuntimeError, "The lock of shared memory address '%s' was let go of during update().",
                     name);
        return nullptr;
    }
    SlotAccess& access = self->held->access;
    if (!fit_locked_slot(access, name, prepared.size())) {
        return nullptr;
    }
    store_value(access, prepared);
    note_version(self, access);
    return result.release();
}

PyObject* handle_update(PyObject* py_self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"", "timeout", nullptr};
    PyObject* func;
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:update", const_cast<char**>(kwlist), &func, &timeout)) {
        return nullptr;
    }
    MemoryHandle* self = as_memory_handle(py_self);
    timespec limit;
    bool limited;
    if (!handle_ready(self) || !shm::time_limit(timeout, limit, limited)) {
        return nullptr;
    }
    if (held_by_this_thread(self->held)) {
        return update_held(self, func);
    }
    if (!take_lock(self, limited ? &limit : nullptr)) {
        return nullptr;
    }
    // Only this call can let go of the mutex it took: no lock() block has it.
    PyObject* result = update_held(self, func);
    release_lock(self);
    return result;
}

bool versions_unavailable() {
    PyErr_SetString(PyExc_RuntimeError,
                    "Slot versions are not available here: the C library uses the bytes they are kept in.");
    return false;
}

PyObject* handle_wait(PyObject* py_self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"since", "timeout", nullptr};
    PyObject* since = nullptr;
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:wait", const_cast<char**>(kwlist), &since, &timeout)) {
        return nullptr;
    }
    MemoryHandle* self = as_memory_handle(py_self);
    uint32_t version;
    timespec limit;
    bool limited;
    if (!handle_ready(self) || !slot_state::since_version(self->seen_version, since, version) || !shm::time_limit(timeout, limit, limited)) {
        return nullptr;
    }
    if (!may_wait(self)) {
        return nullptr;
    }
    if (!slot_state::usable) {
        versions_unavailable();
        return nullptr;
    }
    // In use, the mapping stays where it is while the GIL is let go.
    shm::ObjectUse use(self->object);
    pthread_mutex_t* mutex = &use->mapping.as<BasicShm>()->mutex;
    if (!slot_state::wait_for_change(slot_state::word(mutex), version, limited ? &limit : nullptr, handle_name(self), version)) {
        return nullptr;
    }
    self->seen_version = version;
    return PyLong_FromUnsignedLong(version);
}

PyObject* handle_get_token(PyObject* py_self, void*) {
    MemoryHandle* self = as_memory_handle(py_self);
    if (!handle_ready(self)) {
        return nullptr;
    }
    if (!held_by_this_thread(self->held)) {
        PyErr_Format(PyExc_RuntimeError,
                     "The lock of shared memory address '%s' is not held through this handle by this thread: its "
                     "token is known inside a lock() block only.",
                     handle_name(self));
        return nullptr;
    }
    if (!slot_state::usable) {
        versions_unavailable();
        return nullptr;
    }
    return PyLong_FromUnsignedLong(fencing_token(self, *self->held));
}

PyObject* handle_get_version(PyObject* py_self, void*) {
    MemoryHandle* self = as_memory_handle(py_self);
    if (!self->object) {
        closed_error(self);
        return nullptr;
    }
    if (!slot_state::usable) {
        versions_unavailable();
        return nullptr;
    }
    return PyLong_FromUnsignedLong(slot_state::version(&self->object->mapping.as<BasicShm>()->mutex));
}

// The slot's capacity, read without its lock: how large a value it ever
// had to hold, for an event loop to tell reads that may copy much.
PyObject* handle_get_capacity(PyObject* py_self, void*) {
    MemoryHandle* self = as_memory_handle(py_self);
    if (!self->object) {
        closed_error(self);
        return nullptr;
    }
    SlotAccess probe;
    probe.object = shm::ObjectUse(self->object);
    return PyLong_FromUnsignedLongLong(probe.unlocked_max_size());
}

// On the thread that holds the slot's lock through the handle: lends the
// hold to the other threads of this process (True) or ends the loan (False).
PyObject* handle_lend(PyObject* py_self, PyObject* flag) {
    MemoryHandle* self = as_memory_handle(py_self);
    const int lent = PyObject_IsTrue(flag);
    if (lent < 0) {
        return nullptr;
    }
    if (!held_by_this_thread(self->held)) {
        PyErr_Format(PyExc_RuntimeError, "The lock of shared memory address '%s' is not held by this thread.",
                     handle_name(self));
        return nullptr;
    }
    self->held->lent = lent != 0;
    if (!lent) {
        self->held->wait_for_borrowers();
    }
    self->held->borrower = 0;
    Py_RETURN_NONE;
}

// On a thread of this process other than the holder: claims the loan its
// holder made of the slot's lock (True), for this thread alone, or gives
// the claim back (False).
PyObject* handle_borrow(PyObject* py_self, PyObject* flag) {
    MemoryHandle* self = as_memory_handle(py_self);
    const int claim = PyObject_IsTrue(flag);
    if (claim < 0) {
        return nullptr;
    }
    HeldSlot* held = self->held;
    const pid_t thread = shm::this_thread();
    if (!claim) {
        if (held && held->borrower == thread) {
            held->borrower = 0;
        }
        Py_RETURN_NONE;
    }
    if (!held || !held->lent || held->process != shm::this_process() || held->thread == thread ||
        held->borrower != 0) {
        PyErr_Format(PyExc_RuntimeError, "The lock of shared memory address '%s' is not lent to this thread.",
                     handle_name(self));
        return nullptr;
    }
    held->borrower = thread;
    Py_RETURN_NONE;
}

PyObject* handle_close(PyObject* py_self, PyObject*) {
    release_object(as_memory_handle(py_self));
    Py_RETURN_NONE;
}

PyObject* handle_exit(PyObject* py_self, PyObject*) {
    release_object(as_memory_handle(py_self));
    Py_RETURN_FALSE;
}

PyObject* handle_get_name(PyObject* py_self, void*) {
    PyObject* name = as_memory_handle(py_self)->name;
    Py_INCREF(name);
    return name;
}

PyObject* handle_get_closed(PyObject* py_self, void*) {
    return PyBool_FromLong(as_memory_handle(py_self)->object == nullptr);
}

PyObject* handle_repr(PyObject* py_self) {
    MemoryHandle* self = as_memory_handle(py_self);
    return PyUnicode_FromFormat("<zelvane.MemoryHandle name=%R%s>", self->name, self->object ? "" : " closed");
}

PyObject* handle_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'zelvane.MemoryHandle' instances; use zelvane.open_memory()");
    return nullptr;
}

void handle_dealloc(PyObject* py_self) {
    MemoryHandle* self = as_memory_handle(py_self);
    let_go_of_held(self);
    self->held = nullptr;  // what another thread holds stays with it (see let_go_of_held)
    release_object(self);
    Py_XDECREF(self->name);
    PyTypeObject* type = Py_TYPE(py_self);
    type->tp_free(py_self);
    Py_DECREF(type);
}

// An unpickled slot handle never creates the slot: a name removed meanwhile
// fails in the receiving process rather than coming back empty.
PyObject* memory_handle_reduce(PyObject* self, PyObject*) {
    const MemoryHandle* handle = as_memory_handle(self);
    return reopened_by("MemoryHandle", handle->name, handle->object == nullptr, "open_memory", Py_False,
                       handle->hold != nullptr);
}

PyMethodDef handle_methods[] = {
    {"read", handle_read, METH_NOARGS,
     "read($self, /)\n--\n\nThe value stored in the slot; as read_memory: None for a slot created without a\n"
     "size and never written, while one created with a size (create_memory(name, size)) and never written\n"
     "raises the \"invalid protocol marker\" ValueError. Unlike read_memory, a slot whose last write was\n"
     "interrupted by a process that died raises InterruptedWriteError (a ValueError) until the next write."},
    {"write", handle_write, METH_O,
     "write($self, value, /)\n--\n\nStores value in the slot and returns True; as write_memory."},
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(handle_update)),
     METH_VARARGS | METH_KEYWORDS,
     "update($self, func, /, *, timeout=None)\n--\n\n"
     "Atomically replaces the value with func(value) and returns it: under the slot's lock, reads the\n"
     "value (None for a slot never written or whose last write was interrupted by a process that\n"
     "died), calls func with it and writes what it returns. If func\n"
     "raises, or its result cannot be encoded, nothing is written. timeout bounds the wait for the\n"
     "lock in seconds (TimeoutError)."},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(handle_wait)),
     METH_VARARGS | METH_KEYWORDS,
     "wait($self, /, since=None, timeout=None)\n--\n\n"
     "Blocks until the slot's version differs from since (None: the version this handle last read,\n"
     "wrote or waited for, or was opened at) and returns the new version; TimeoutError after timeout\n"
     "seconds."},
    {"lock", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(handle_lock_method<MemoryHandle>)),
     METH_VARARGS | METH_KEYWORDS,
     "lock($self, /, timeout=None)\n--\n\n"
     "A context manager that holds the slot's lock and gives the handle: inside it, read(), write()\n"
     "and update() of this handle on this thread do not lock again, and every other thread and\n"
     "process waits. timeout bounds the wait for the lock in seconds (TimeoutError)."},
    {"_lend", handle_lend, METH_O, nullptr},
    {"_borrow", handle_borrow, METH_O, nullptr},
    {"close", handle_close, METH_NOARGS,
     "close($self, /)\n--\n\nLets go of the slot; the slot itself stays. Closing twice is harmless."},
    {"__enter__", handle_enter_method<MemoryHandle>, METH_NOARGS, nullptr},
    {"__exit__", handle_exit, METH_VARARGS, nullptr},
    {"__reduce__", memory_handle_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef handle_getset[] = {
    {"name", handle_get_name, nullptr, "The name the handle was opened with.", nullptr},
    {"closed", handle_get_closed, nullptr, "True once the handle is closed.", nullptr},
    {"_capacity", handle_get_capacity, nullptr, nullptr, nullptr},
    {"version", handle_get_version, nullptr,
     "The count of completed writes to the slot (and of lock tokens drawn, see token), the same for "
     "every handle in every process (it wraps around to 0 after 2**31 writes).",
     nullptr},
    {"token", handle_get_token, nullptr,
     "Inside this thread's lock() block of the handle: the fencing token of the block's grant of the "
     "lock, larger than every token given before it for the slot, by any process. It is drawn the first "
     "time it is asked for in a block and counts as a change of the slot, as a write does: the token is "
     "the version that change makes (so it wraps around with the version). RuntimeError outside such a "
     "block.",
     nullptr},
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
    if (!use && !map_failed && errno == ENOENT && !create) {
        memory_error("No value slot '%s' exists; open_memory(name, create=False, wait=seconds) waits for one.",
                     name);
        return shm::ObjectUse();
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
    if (!temporary::lifetime_fits(st, name, false)) {
        return shm::ObjectUse();
    }
    return std::move(probe.object);
}

// Opens the temporary slot `name` for a handle and holds it for this process
// (`hold`); a missing slot, or one that no live process holds, is made afresh
// when `create` allows it.
shm::ObjectUse open_temporary_slot(const char* name, bool create, temporary::Hold*& hold) {
    temporary::Opening opening;
    const auto make = [name](shm::Fd& fd) {
        switch (create_shared_memory(name, 0, false, &fd)) {
            case CreateOutcome::Created:
                return temporary::Made::Created;
            case CreateOutcome::Failed:
                return temporary::Made::Failed;
            default:
                return temporary::Made::Taken;
        }
    };
    std::string file;
    if (!shm::shm_file_name(name, file) || !temporary::open_held(name, create, opening, make)) {
        if (!PyErr_Occurred()) {
            memory_error("Failed to open shared memory address '%s'.", name);
        }
        return shm::ObjectUse();
    }
    shm::Fd fd = opening.descriptor_to_map(name);
    if (!fd.valid()) {
        return shm::ObjectUse();
    }
    bool map_failed = false;
    SlotAccess probe;
    probe.object = object_cache.map_unshared(file, std::move(fd), opening.st, map_failed);
    if (!probe.object) {
        memory_error("Failed to map shared memory address '%s'.", name);
        return shm::ObjectUse();
    }
    if (!check_slot_unlocked(probe, static_cast<uint64_t>(opening.st.st_size))) {
        not_a_slot(name);
        return shm::ObjectUse();
    }
    hold = opening.take();
    return std::move(probe.object);
}

PyObject* open_memory(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "create", "wait", "temporary", nullptr};
    const char* name;
    PyObject* create = Py_True;
    PyObject* wait = nullptr;
    PyObject* temporary_wanted = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|O!$OO!:open_memory", const_cast<char**>(kwlist), &name,
                                     &PyBool_Type, &create, &wait, &PyBool_Type, &temporary_wanted)) {
        return nullptr;
    }
    timespec limit;
    bool waits;
    if (!shm::time_limit(wait, limit, waits, "wait")) {
        return nullptr;
    }
    PyRef name_object(PyUnicode_FromString(name));
    if (!name_object || (waits && !flag_set(create) && !name_wait::wait_for(name, "value slot", limit))) {
        return nullptr;
    }
    temporary::Hold* hold = nullptr;
    shm::ObjectUse use = flag_set(temporary_wanted) ? open_temporary_slot(name, flag_set(create), hold)
                                             : open_handle_object(name, flag_set(create));
    if (!use) {
        return nullptr;
    }
    PyRef handle(PyType_GenericAlloc(memory_handle_type, 0));
    if (!handle) {
        temporary::release(hold);
        return nullptr;
    }
    auto* self = reinterpret_cast<MemoryHandle*>(handle.get());
    self->name = name_object.release();
    self->object = &*use;
    self->object->held = true;
    self->hold = hold;
    if (slot_state::usable) {
        self->seen_version = slot_state::version(&self->object->mapping.as<BasicShm>()->mutex);
    }
    return handle.release();
}

constexpr const char* OPEN_MEMORY_DOC =
    "open_memory($module, /, name, create=True, *, wait=None, temporary=False)\n--\n\n"
    "Open the value slot name (creating an empty one when it is missing, unless create is False; then "
    "wait, in seconds, is how long to wait for it to appear, TimeoutError after that) and "
    "return a MemoryHandle bound to it, whose read() and write(value) act as read_memory and "
    "write_memory without looking the name up again, and whose version, wait(), update(func) and "
    "lock() make the slot shared state. A removal or re-creation of the name by another process does "
    "not reach the handle; a growth does. With temporary=True the slot lives while a process holds it "
    "open through a temporary handle: the last to close removes the name, and a slot left by processes "
    "that all died is made afresh.";

// Adds zelvane.InterruptedWriteError to the module; -1 with an exception set.
int add_interrupted_write_error(PyObject* module) {
    PyRef error(PyErr_NewExceptionWithDoc("zelvane.InterruptedWriteError",
                                          "Raised by a handle's read of a slot whose last write was interrupted "
                                          "by a process that died mid-copy: the slot holds no value until the "
                                          "next write or update().",
                                          PyExc_ValueError, nullptr));
    if (!error) {
        return -1;
    }
    // The module takes one reference; the other stays here, for raising.
    Py_INCREF(error.get());
    if (PyModule_AddObject(module, "InterruptedWriteError", error.get()) < 0) {
        Py_DECREF(error.get());
        return -1;
    }
    Py_XDECREF(std::exchange(interrupted_write_error, error.release()));
    return 0;
}

// Registers the type as zelvane.MemoryHandle and its error; -1 with an
// exception set.
int add_memory_handle_type(PyObject* module) {
    if (add_interrupted_write_error(module) < 0) {
        return -1;
    }
    return add_handle_type<MemoryHandle>(module, &handle_spec, "MemoryHandle", memory_handle_type);
}

}  // namespace
