// zelvane.ArrayHandle: a named shared array (layouts/array.h) mapped into
// this process (arrays/mapping.h) and exported through the buffer protocol,
// so that numpy arrays and memoryviews over it are views of the shared
// memory itself.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string_view>
#include <utility>

#include "arrays/mapping.h"
#include "arrays/shared_lock.h"
#include "layouts/array.h"
#include "platform/errors.h"
#include "platform/held_lock.h"
#include "platform/pickling.h"
#include "platform/shm_support.h"
#include "platform/temporary.h"
#include "py_ref.h"
#include "slots/lock.h"
#include "slots/state.h"

namespace {

// The array's lock held exclusively through a handle by one thread of one
// process (platform/held_lock.h). Letting go of it marks a change: the holder may
// have written anything.
struct HeldArray {
    ArrayRef array;  // the mutex is unlocked through this mapping
    shm::HeldMutex lock;
    uint32_t* seen_version = nullptr;  // the handle's, told the version its change made
    pid_t process = 0;
    pid_t thread = 0;

    HeldArray() = default;
    HeldArray(const HeldArray&) = delete;
    HeldArray& operator=(const HeldArray&) = delete;
    ~HeldArray() {
        if (!lock.held()) {
            return;
        }
        const bool wake = slot_state::count_change(array->state());
        *seen_version = slot_state::version_of(array->state());
        unlock_exclusive(array.get(), lock);
        if (wake) {
            slot_state::wake_all(array->state());
        }
    }

    void forget() { lock.forget(); }
};

struct ArrayHandle {
    PyObject_HEAD
    PyObject* name;         // the str the handle was opened with
    PyObject* shape;        // a tuple of ints
    PyObject* format;       // a str
    Py_ssize_t nbytes;
    ArrayMapping* array;    // null once closed
    HeldArray* held;        // while a thread holds the array's mutex through the handle
    uint32_t seen_version;  // the version this handle last saw
    temporary::Hold* hold;  // this process's hold on a temporary array, or null
};

template <>
struct LockNames<ArrayHandle> {
    static constexpr const char* type_name = "zelvane.ArrayLock";
    static constexpr const char* handle_type = "ArrayHandle";
    static constexpr const char* doc =
        "The lock of an array, held through a handle from entering a with block to leaving it; made by "
        "ArrayHandle.lock().";
};

PyTypeObject* array_handle_type = nullptr;

ArrayHandle* as_array_handle(PyObject* self) { return reinterpret_cast<ArrayHandle*>(self); }

const char* handle_name(const ArrayHandle* self) { return message_name(self->name); }

bool handle_open(const ArrayHandle* self) { return self->array != nullptr; }

bool closed_error(const ArrayHandle* self) {
    PyErr_Format(PyExc_ValueError, "I/O operation on a closed array handle of '%s'.", handle_name(self));
    return false;
}

bool lock_for_holding(ArrayHandle* self, HeldArray& held, const timespec* limit) {
    // Kept while the GIL is let go to wait, whatever closes the handle meanwhile.
    held.array = ArrayRef(self->array);
    if (held_shared_by_this_thread(*held.array.get())) {
        shm::set_lock_error(EDEADLK, handle_name(self));
        return false;
    }
    held.lock = lock_exclusive(held.array.get(), handle_name(self), limit);
    if (!held.lock.held()) {
        return false;
    }
    held.seen_version = &self->seen_version;
    return true;
}

// --- The buffer protocol --------------------------------------------------

int array_get_buffer(PyObject* py_self, Py_buffer* view, int flags) {
    ArrayHandle* self = as_array_handle(py_self);
    if (!self->array) {
        view->obj = nullptr;
        closed_error(self);
        return -1;
    }
    ArrayMapping* array = share(self->array);
    const ArrayLayout& layout = array->layout;
    view->buf = array->data();
    view->len = static_cast<Py_ssize_t>(layout.nbytes);
    view->readonly = 0;
    view->suboffsets = nullptr;
    view->internal = array;
    view->obj = PyRef::borrow(py_self).release();
    if ((flags & PyBUF_ND) != PyBUF_ND) {
        // A consumer that takes no shape takes the bytes.
        view->itemsize = 1;
        view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("B") : nullptr;
        view->ndim = 1;
        view->shape = nullptr;
        view->strides = nullptr;
        return 0;
    }
    view->itemsize = layout.itemsize;
    view->format = (flags & PyBUF_FORMAT) ? array->layout.format : nullptr;
    view->ndim = static_cast<int>(layout.ndim);
    view->shape = array->layout.shape;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? array->layout.strides : nullptr;
    return 0;
}

void array_release_buffer(PyObject*, Py_buffer* view) { unshare(static_cast<ArrayMapping*>(view->internal)); }

// --- Methods ----------------------------------------------------------------

// The last handle of a temporary array in the last process that holds it
// removes its name; views made through it stay usable.
void close_array_handle(ArrayHandle* self) {
    unshare(std::exchange(self->array, nullptr));
    temporary::release(std::exchange(self->hold, nullptr));
}

PyObject* array_close(PyObject* py_self, PyObject*) {
    close_array_handle(as_array_handle(py_self));
    Py_RETURN_NONE;
}

PyObject* array_exit(PyObject* py_self, PyObject*) {
    close_array_handle(as_array_handle(py_self));
    Py_RETURN_FALSE;
}

// Refuses a wait for a change that no exclusive holder could make while this
// thread holds the array shared.
bool may_wait_holding_shared(ArrayHandle* self) {
    if (!held_shared_by_this_thread(*self->array)) {
        return true;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "Waiting for a change of shared memory address '%s' while this thread holds its lock "
                 "would never end.",
                 handle_name(self));
    return false;
}

PyObject* array_wait(PyObject* py_self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"since", "timeout", nullptr};
    PyObject* since = nullptr;
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:wait", const_cast<char**>(kwlist), &since, &timeout)) {
        return nullptr;
    }
    ArrayHandle* self = as_array_handle(py_self);
    uint32_t version;
    timespec limit;
    bool limited;
    if (!handle_ready(self) || !slot_state::since_version(self->seen_version, since, version) ||
        !shm::time_limit(timeout, limit, limited) || !may_wait(self)) {
        return nullptr;
    }
    // A wait that cannot block (timeout 0) is no deadlock: an event loop
    // looks at the version so while another of its tasks holds the array.
    if (!(limited && shm::passed(limit)) && !may_wait_holding_shared(self)) {
        return nullptr;
    }
    // The mapping stays while the GIL is let go, whatever closes the handle.
    ArrayRef array(self->array);
    if (!slot_state::wait_for_change(array->state(), version, limited ? &limit : nullptr, handle_name(self),
                                     version)) {
        return nullptr;
    }
    self->seen_version = version;
    return PyLong_FromUnsignedLong(version);
}

PyObject* array_notify(PyObject* py_self, PyObject*) {
    ArrayHandle* self = as_array_handle(py_self);
    if (!handle_ready(self)) {
        return nullptr;
    }
    self->seen_version = mark_change(self->array->state());
    Py_RETURN_NONE;
}

PyObject* array_get_version(PyObject* py_self, void*) {
    ArrayHandle* self = as_array_handle(py_self);
    if (!handle_open(self)) {
        closed_error(self);
        return nullptr;
    }
    return PyLong_FromUnsignedLong(slot_state::version_of(self->array->state()));
}

PyObject* array_get_name(PyObject* py_self, void*) { return PyRef::borrow(as_array_handle(py_self)->name).release(); }

PyObject* array_get_shape(PyObject* py_self, void*) {
    return PyRef::borrow(as_array_handle(py_self)->shape).release();
}

PyObject* array_get_format(PyObject* py_self, void*) {
    return PyRef::borrow(as_array_handle(py_self)->format).release();
}

// The element's numpy.dtype; numpy is imported for it. Without numpy, an
// ImportError that points to the format.
PyObject* array_get_dtype(PyObject* py_self, void*) {
    ArrayHandle* self = as_array_handle(py_self);
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return raise_from_pending(PyExc_ImportError,
                                  "ArrayHandle.dtype needs numpy; format names the element's type without it.");
    }
    const char* format = PyUnicode_AsUTF8(self->format);
    if (!format) {
        return nullptr;
    }
    const std::string_view text(format);
    return PyObject_CallMethod(numpy.get(), "dtype", "s", text == "Zf" ? "F" : text == "Zd" ? "D" : format);
}

PyObject* array_get_nbytes(PyObject* py_self, void*) { return PyLong_FromSsize_t(as_array_handle(py_self)->nbytes); }

PyObject* array_get_closed(PyObject* py_self, void*) { return PyBool_FromLong(!handle_open(as_array_handle(py_self))); }

PyObject* array_repr(PyObject* py_self) {
    ArrayHandle* self = as_array_handle(py_self);
    return PyUnicode_FromFormat("<zelvane.ArrayHandle name=%R shape=%R format=%R%s>", self->name, self->shape,
                                self->format, handle_open(self) ? "" : " closed");
}

PyObject* array_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'zelvane.ArrayHandle' instances; use zelvane.open_array()");
    return nullptr;
}

void array_dealloc(PyObject* py_self) {
    ArrayHandle* self = as_array_handle(py_self);
    let_go_of_held(self);
    self->held = nullptr;  // what another thread holds stays with it (see let_go_of_held)
    close_array_handle(self);
    Py_XDECREF(self->name);
    Py_XDECREF(self->shape);
    Py_XDECREF(self->format);
    PyTypeObject* type = Py_TYPE(py_self);
    type->tp_free(py_self);
    Py_DECREF(type);
}

// --- The shared lock -------------------------------------------------------------

// What lock(shared=True) returns: a context manager that holds the array
// shared from __enter__ (which returns the handle) to __exit__.
struct ArraySharedLock {
    PyObject_HEAD
    ArrayHandle* handle;
    PyObject* timeout;  // None or seconds, checked when lock() was called
    SharedHold* hold;   // what __enter__ took, until __exit__
};

PyTypeObject* array_shared_lock_type = nullptr;

ArraySharedLock* as_shared_lock(PyObject* self) { return reinterpret_cast<ArraySharedLock*>(self); }

PyObject* held_by_another_thread(ArrayHandle* handle) {
    PyErr_Format(PyExc_RuntimeError, "The lock of shared memory address '%s' is held by another thread.",
                 handle_name(handle));
    return nullptr;
}

// Whether the calling thread may let go of `hold`: its own, or a fork
// child's copy of its parent's (which only forgets it).
bool may_let_go(const SharedHold* hold) {
    return hold->thread == shm::this_thread() || hold->process != shm::this_process();
}

PyObject* shared_lock_enter(PyObject* py_self, PyObject*) {
    ArraySharedLock* self = as_shared_lock(py_self);
    ArrayHandle* handle = self->handle;
    timespec limit;
    bool limited;
    if (!handle_ready(handle) || !shm::time_limit(self->timeout, limit, limited)) {
        return nullptr;
    }
    if (self->hold && !may_let_go(self->hold)) {
        return held_by_another_thread(handle);
    }
    if (self->hold || held_by_this_thread(handle->held)) {
        shm::set_lock_error(EDEADLK, handle_name(handle));
        return nullptr;
    }
    SharedHold* hold = take_shared(handle->array, handle_name(handle), limited ? &limit : nullptr);
    if (!hold) {
        return nullptr;
    }
    if (self->hold) {
        // Another thread entered this lock while this one waited with the
        // GIL let go: the lock records one hold, and keeps the first.
        delete hold;
        return held_by_another_thread(handle);
    }
    self->hold = hold;
    return PyRef::borrow(reinterpret_cast<PyObject*>(handle)).release();
}

PyObject* shared_lock_exit(PyObject* py_self, PyObject*) {
    ArraySharedLock* self = as_shared_lock(py_self);
    if (self->hold && !may_let_go(self->hold)) {
        return held_by_another_thread(self->handle);
    }
    delete std::exchange(self->hold, nullptr);
    Py_RETURN_FALSE;
}

PyObject* shared_lock_repr(PyObject* py_self) {
    ArraySharedLock* self = as_shared_lock(py_self);
    return PyUnicode_FromFormat("<zelvane.ArraySharedLock name=%R%s>", self->handle->name,
                                self->hold ? " held" : "");
}

PyObject* shared_lock_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'zelvane.ArraySharedLock' instances; use ArrayHandle.lock()");
    return nullptr;
}

void shared_lock_dealloc(PyObject* py_self) {
    ArraySharedLock* self = as_shared_lock(py_self);
    SharedHold* hold = std::exchange(self->hold, nullptr);
    // A mutex taken in place of a place stays with the thread that took it
    // (see let_go_of_held); a place is let go of by any thread.
    if (hold && (may_let_go(hold) || !hold->exclusive.held())) {
        delete hold;
    }
    Py_XDECREF(reinterpret_cast<PyObject*>(self->handle));
    Py_XDECREF(self->timeout);
    PyTypeObject* type = Py_TYPE(py_self);
    type->tp_free(py_self);
    Py_DECREF(type);
}

PyObject* new_shared_lock(ArrayHandle* handle, PyObject* timeout) {
    timespec limit;
    bool limited;
    if (!shm::time_limit(timeout, limit, limited)) {
        return nullptr;
    }
    PyRef lock(PyType_GenericAlloc(array_shared_lock_type, 0));
    if (!lock) {
        return nullptr;
    }
    ArraySharedLock* self = as_shared_lock(lock.get());
    self->handle = as_array_handle(PyRef::borrow(reinterpret_cast<PyObject*>(handle)).release());
    self->timeout = PyRef::borrow(timeout ? timeout : Py_None).release();
    return lock.release();
}

// Makes the type (it is not part of the module's namespace); -1 with an
// exception set.
int make_shared_lock_type() {
    static PyMethodDef methods[] = {
        {"__enter__", shared_lock_enter, METH_NOARGS, nullptr},
        {"__exit__", shared_lock_exit, METH_VARARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("The lock of an array, held shared through a handle from entering a with "
                                      "block to leaving it; made by ArrayHandle.lock(shared=True).")},
        {Py_tp_methods, methods},
        {Py_tp_new, reinterpret_cast<void*>(shared_lock_new)},
        {Py_tp_repr, reinterpret_cast<void*>(shared_lock_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(shared_lock_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec shared_lock_type_shape = {
        "zelvane.ArraySharedLock", sizeof(ArraySharedLock), 0, Py_TPFLAGS_DEFAULT, slots,
    };
    if (!array_shared_lock_type) {
        array_shared_lock_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&shared_lock_type_shape));
    }
    return array_shared_lock_type ? 0 : -1;
}

// lock()'s arguments from a vector call: timeout (by position or keyword) and
// shared (by keyword only). Parsed by hand, since a shared lock is taken as
// often as its holders read, and the general parser's keyword path would
// cost more than the lock. False with a TypeError set.
bool lock_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject*& timeout,
                    PyObject*& shared) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "lock() takes at most 1 positional argument (%zd given)", nargs);
        return false;
    }
    timeout = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        PyObject** slot = nullptr;
        if (PyUnicode_CompareWithASCIIString(keyword, "shared") == 0) {
            slot = &shared;
        } else if (PyUnicode_CompareWithASCIIString(keyword, "timeout") == 0) {
            slot = &timeout;
        }
        if (!slot) {
            PyErr_Format(PyExc_TypeError, "lock() got an unexpected keyword argument '%U'", keyword);
            return false;
        }
        if (*slot) {
            PyErr_Format(PyExc_TypeError, "lock() got multiple values for argument '%U'", keyword);
            return false;
        }
        *slot = args[nargs + i];
    }
    return true;
}

// The handle's lock(timeout=None, *, shared=False) method.
PyObject* array_lock(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* timeout = nullptr;
    PyObject* shared = nullptr;
    if (!lock_arguments(args, nargs, kwnames, timeout, shared)) {
        return nullptr;
    }
    const int wanted = shared ? PyObject_IsTrue(shared) : 0;
    if (wanted < 0) {
        return nullptr;
    }
    ArrayHandle* self = as_array_handle(py_self);
    if (!handle_open(self)) {
        closed_error(self);
        return nullptr;
    }
    return wanted ? new_shared_lock(self, timeout) : new_handle_lock(self, timeout);
}

// Whether an exclusive holder waits for the shared ones to leave. An event
// loop's tasks share one shared hold of its thread: they join it only while
// no writer waits, or a stream of them would keep the writer out for ever.
PyObject* array_writer_waits(PyObject* py_self, PyObject*) {
    ArrayHandle* self = as_array_handle(py_self);
    if (!handle_open(self)) {
        closed_error(self);
        return nullptr;
    }
    const uint32_t word = self->array->holders()->load(std::memory_order_acquire);
    return PyBool_FromLong(shared_holds_possible() && (word & shared_exclusive::CLAIMED) != 0);
}

// The layout is not passed on: open_array would make a removed array anew.
PyObject* array_handle_reduce(PyObject* self, PyObject*) {
    const ArrayHandle* handle = as_array_handle(self);
    return reopened_by("ArrayHandle", handle->name, !handle_open(handle), "open_array", nullptr,
                       handle->hold != nullptr);
}

PyMethodDef array_methods[] = {
    {"lock", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(array_lock)), METH_FASTCALL | METH_KEYWORDS,
     "lock($self, /, timeout=None, *, shared=False)\n--\n\n"
     "A context manager that holds the array's lock and gives the handle. Held exclusively (the\n"
     "default), every other holder in any process waits meanwhile, and leaving it marks a change\n"
     "(the version grows by one). Held shared, any number of shared holders hold it at once, an\n"
     "exclusive one waits, and leaving marks no change; a waiting exclusive holder keeps new shared\n"
     "ones out. A write through a view made without the lock is not stopped. timeout bounds the\n"
     "wait for the lock in seconds (TimeoutError)."},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(array_wait)), METH_VARARGS | METH_KEYWORDS,
     "wait($self, /, since=None, timeout=None)\n--\n\n"
     "Blocks until the array's version differs from since (None: the version this handle last saw,\n"
     "when opened, leaving lock(), notify() or wait()) and returns it; TimeoutError after timeout\n"
     "seconds."},
    {"notify", array_notify, METH_NOARGS,
     "notify($self, /)\n--\n\nMarks a change made without the lock: the version grows by one and waiters wake."},
    {"close", array_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Lets go of the array; views made from the handle stay valid until released, and the array\n"
     "itself stays. Closing twice is harmless."},
    {"__enter__", handle_enter_method<ArrayHandle>, METH_NOARGS, nullptr},
    {"__exit__", array_exit, METH_VARARGS, nullptr},
    {"__reduce__", array_handle_reduce, METH_NOARGS, nullptr},
    {"_writer_waits", array_writer_waits, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef array_getset[] = {
    {"name", array_get_name, nullptr, "The name the handle was opened with.", nullptr},
    {"shape", array_get_shape, nullptr, "The array's shape, a tuple of ints.", nullptr},
    {"format", array_get_format, nullptr, "The format of one element, as the struct module writes it.", nullptr},
    {"dtype", array_get_dtype, nullptr,
     "The element's numpy.dtype (numpy is imported for it; ImportError without numpy).", nullptr},
    {"nbytes", array_get_nbytes, nullptr, "The size of the array's data in bytes.", nullptr},
    {"closed", array_get_closed, nullptr, "True once the handle is closed.", nullptr},
    {"version", array_get_version, nullptr,
     "The count of changes marked on the array (leaving lock(), notify()), the same for every handle in "
     "every process; it wraps around to 0 after 2**31 changes.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot array_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(array_get_buffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(array_release_buffer)},
    {Py_tp_doc, const_cast<char*>(
                    "A named shared array, made or opened by open_array(). It exports its memory through "
                    "the buffer protocol: memoryview(handle) and numpy.asarray(handle) are writable views "
                    "of the shared memory, seen by every process at once.")},
    {Py_tp_methods, array_methods},
    {Py_tp_getset, array_getset},
    {Py_tp_new, reinterpret_cast<void*>(array_new)},
    {Py_tp_repr, reinterpret_cast<void*>(array_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(array_dealloc)},
    {0, nullptr},
};

PyType_Spec array_spec = {
    "zelvane.ArrayHandle",
    sizeof(ArrayHandle),
    0,
    Py_TPFLAGS_DEFAULT,
    array_slots,
};

// Registers the type as zelvane.ArrayHandle; -1 with an exception set.
int add_array_handle_type(PyObject* module) {
    if (make_shared_lock_type() < 0) {
        return -1;
    }
    return add_handle_type<ArrayHandle>(module, &array_spec, "ArrayHandle", array_handle_type);
}

}  // namespace
