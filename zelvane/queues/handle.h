// zelvane.QueueHandle: a named queue (layouts/queue.h) opened by this process,
// with the conventions of queue.Queue, and zelvane.QueueReservation, the
// context manager of get_reliably(), which holds an item taken until its
// block ends.
//
// An item is encoded before the mutex is taken. A small one is copied into
// the ring under the mutex; a large one is stored in an extent claimed under
// the mutex and filled outside it, then published. A consumer copies a
// small item out under the mutex and decodes it after; a large one, or any
// reserved one, stays taken in the ring (its participant named) until it is
// decoded or its reservation ends, and goes back to its place when its
// process dies.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "queues/putting.h"
#include "queues/taking.h"

namespace {
namespace queues {

// --- The rest of queue.Queue's methods -------------------------------------------------

// The ready items and the room for more, read under the mutex.
bool read_counts(QueueHandle* self, uint64_t& ready, bool& room) {
    if (!self->map) {
        return closed_error(self);
    }
    MapRef map(self->map);
    Locked locked(*map);
    if (!locked.lock()) {
        return false;
    }
    ready = map->q()->ready;
    room = has_room(map->q());
    return true;
}

PyObject* queue_qsize(PyObject* py_self, PyObject*) {
    uint64_t ready;
    bool room;
    return read_counts(as_handle(py_self), ready, room) ? PyLong_FromUnsignedLongLong(ready) : nullptr;
}

PyObject* queue_empty(PyObject* py_self, PyObject*) {
    uint64_t ready;
    bool room;
    return read_counts(as_handle(py_self), ready, room) ? PyBool_FromLong(ready == 0) : nullptr;
}

PyObject* queue_full(PyObject* py_self, PyObject*) {
    uint64_t ready;
    bool room;
    return read_counts(as_handle(py_self), ready, room) ? PyBool_FromLong(!room) : nullptr;
}

// Lets go of the queue; the last handle of a temporary queue in the last
// process that holds it removes its name.
void let_go(QueueHandle* self) {
    unshare(std::exchange(self->map, nullptr));
    temporary::release(std::exchange(self->hold, nullptr));
}

PyObject* queue_close(PyObject* py_self, PyObject*) {
    let_go(as_handle(py_self));
    Py_RETURN_NONE;
}

PyObject* queue_enter(PyObject* py_self, PyObject*) {
    if (!as_handle(py_self)->map) {
        closed_error(as_handle(py_self));
        return nullptr;
    }
    return PyRef::borrow(py_self).release();
}

PyObject* queue_exit(PyObject* py_self, PyObject*) {
    let_go(as_handle(py_self));
    Py_RETURN_FALSE;
}

// Pickled by name: unpickling opens the same queue in the receiving process,
// a temporary one with temporary=True, so that that process holds it too.
PyObject* queue_reduce(PyObject* py_self, PyObject*) {
    QueueHandle* self = as_handle(py_self);
    PyRef opener(opener_of("open_queue", self->hold != nullptr));
    if (!opener) {
        return nullptr;
    }
    return Py_BuildValue("O(OK)", opener.get(), self->name, static_cast<unsigned long long>(self->maxsize));
}

PyObject* queue_get_name(PyObject* py_self, void*) { return PyRef::borrow(as_handle(py_self)->name).release(); }

PyObject* queue_get_maxsize(PyObject* py_self, void*) {
    return PyLong_FromUnsignedLongLong(as_handle(py_self)->maxsize);
}

PyObject* queue_get_closed(PyObject* py_self, void*) { return PyBool_FromLong(as_handle(py_self)->map == nullptr); }

PyObject* queue_repr(PyObject* py_self) {
    QueueHandle* self = as_handle(py_self);
    return PyUnicode_FromFormat("<zelvane.QueueHandle name=%R maxsize=%llu%s>", self->name,
                                static_cast<unsigned long long>(self->maxsize), self->map ? "" : " closed");
}

PyObject* queue_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'zelvane.QueueHandle' instances; use zelvane.open_queue()");
    return nullptr;
}

void queue_dealloc(PyObject* py_self) {
    QueueHandle* self = as_handle(py_self);
    let_go(self);
    Py_XDECREF(self->name);
    PyTypeObject* type = Py_TYPE(py_self);
    type->tp_free(py_self);
    Py_DECREF(type);
}

template <typename Function>
PyCFunction keywords(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef queue_methods[] = {
    {"put", keywords(queue_put), METH_VARARGS | METH_KEYWORDS,
     "put($self, /, item, block=True, timeout=None)\n--\n\n"
     "Put item at the tail of the queue. When the queue is full, block until there is room, for up\n"
     "to timeout seconds (None: as long as it takes), then raise queue.Full; with block false,\n"
     "raise queue.Full at once. MemoryError when /dev/shm cannot hold the item (nothing is put)."},
    {"put_nowait", queue_put_nowait, METH_O,
     "put_nowait($self, item, /)\n--\n\nPut item if there is room at once; otherwise raise queue.Full."},
    {"get", keywords(queue_get), METH_VARARGS | METH_KEYWORDS,
     "get($self, /, block=True, timeout=None)\n--\n\n"
     "Remove and return the item at the head of the queue. When it is empty, block until an item\n"
     "comes, for up to timeout seconds (None: as long as it takes), then raise queue.Empty; with\n"
     "block false, raise queue.Empty at once."},
    {"get_nowait", queue_get_nowait, METH_NOARGS,
     "get_nowait($self, /)\n--\n\nReturn an item if one is there at once; otherwise raise queue.Empty."},
    {"get_reliably", keywords(queue_get_reliably), METH_VARARGS | METH_KEYWORDS,
     "get_reliably($self, /, timeout=None)\n--\n\n"
     "Take the item at the head of the queue and hold it reserved: `with q.get_reliably() as item:`.\n"
     "When the block ends normally the item is done; when it raises, or the process dies first, the\n"
     "item goes back to the head of the queue. queue.Empty after timeout seconds without an item."},
    {"qsize", queue_qsize, METH_NOARGS,
     "qsize($self, /)\n--\n\nThe number of items waiting in the queue (reserved items not counted)."},
    {"empty", queue_empty, METH_NOARGS, "empty($self, /)\n--\n\nWhether no item waits in the queue."},
    {"full", queue_full, METH_NOARGS, "full($self, /)\n--\n\nWhether the queue holds maxsize items."},
    {"_stage", queue_stage, METH_O, nullptr},
    {"_first_size", queue_first_size, METH_NOARGS, nullptr},
    {"close", queue_close, METH_NOARGS,
     "close($self, /)\n--\n\nLet go of the queue; it stays, with its items. Closing twice is harmless."},
    {"__enter__", queue_enter, METH_NOARGS, nullptr},
    {"__exit__", queue_exit, METH_VARARGS, nullptr},
    {"__reduce__", queue_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef queue_getset[] = {
    {"name", queue_get_name, nullptr, "The name the handle was opened with.", nullptr},
    {"maxsize", queue_get_maxsize, nullptr, "The bound on the items the queue holds; 0 for none.", nullptr},
    {"closed", queue_get_closed, nullptr, "True once the handle is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot queue_slots[] = {
    {Py_tp_doc, const_cast<char*>("A named queue shared by the processes of this host, made or opened by "
                                  "open_queue(), with the methods of queue.Queue.")},
    {Py_tp_methods, queue_methods},
    {Py_tp_getset, queue_getset},
    {Py_tp_new, reinterpret_cast<void*>(queue_new)},
    {Py_tp_repr, reinterpret_cast<void*>(queue_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(queue_dealloc)},
    {0, nullptr},
};

PyType_Spec queue_spec = {
    "zelvane.QueueHandle", sizeof(QueueHandle), 0, Py_TPFLAGS_DEFAULT, queue_slots,
};

// Adds `object` to the module under `name`, which takes a reference of its
// own (PyModule_AddObjectRef, which Python 3.9 lacks); -1 with an exception set.
int add_type_reference(PyObject* module, const char* name, PyObject* object) {
    Py_INCREF(object);
    if (PyModule_AddObject(module, name, object) < 0) {
        Py_DECREF(object);
        return -1;
    }
    return 0;
}

PyObject* queue_exception(const char* attribute) {
    PyRef module(PyImport_ImportModule("queue"));
    return module ? PyObject_GetAttrString(module.get(), attribute) : nullptr;
}

// Registers zelvane.QueueHandle and zelvane.QueueReservation; -1 with an
// exception set.
int add_queue_types(PyObject* module) {
    PyRef full(queue_exception("Full"));
    PyRef empty(full ? queue_exception("Empty") : nullptr);
    PyRef reservation(empty ? PyType_FromSpec(&reservation_spec) : nullptr);
    PyRef staged(reservation ? PyType_FromSpec(&staged_spec) : nullptr);
    PyRef handle(staged ? PyType_FromSpec(&queue_spec) : nullptr);
    if (!handle || add_type_reference(module, "QueueHandle", handle.get()) < 0 ||
        add_type_reference(module, "QueueReservation", reservation.get()) < 0) {
        return -1;
    }
    Py_XSETREF(queue_handle_type, reinterpret_cast<PyTypeObject*>(handle.release()));
    Py_XSETREF(reservation_type, reinterpret_cast<PyTypeObject*>(reservation.release()));
    Py_XSETREF(staged_type, reinterpret_cast<PyTypeObject*>(staged.release()));
    Py_XSETREF(full_error, full.release());
    Py_XSETREF(empty_error, empty.release());
    return 0;
}

}  // namespace queues
}  // namespace
