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

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "kel_2.h"
#include "platform/errors.h"
#include "platform/held_lock.h"
#include "platform/pickling.h"
#include "platform/shm_support.h"
#include "platform/temporary.h"
#include "prefault.h"
#include "py_ref.h"
#include "queues/core.h"
#include "queues/storage.h"
#include "slots/slot.h"

namespace {
namespace queues {

PyTypeObject* queue_handle_type = nullptr;
PyTypeObject* reservation_type = nullptr;
#ifdef MADV_POPULATE_READ
constexpr int MADV_POPULATE_READ_FLAG = MADV_POPULATE_READ;
#else
constexpr int MADV_POPULATE_READ_FLAG = 22;
#endif
PyObject* full_error = nullptr;   // queue.Full
PyObject* empty_error = nullptr;  // queue.Empty

struct QueueHandle {
    PyObject_HEAD
    PyObject* name;  // the str the handle was opened with
    QueueMap* map;   // null once closed
    uint64_t maxsize;
    temporary::Hold* hold;  // this process's hold on a temporary queue, or null
};

struct QueueReservation {
    PyObject_HEAD
    QueueMap* map;   // null once the reservation has ended
    PyObject* item;  // the item, until the reservation ends
    uint64_t at;     // the taken record's logical offset
    int owner;       // the participant holding it
    pid_t pid;       // the process that took it
};

QueueHandle* as_handle(PyObject* self) { return reinterpret_cast<QueueHandle*>(self); }

bool closed_error(const QueueHandle* self) {
    PyErr_Format(PyExc_ValueError, "I/O operation on a closed queue handle of '%s'.", message_name(self->name));
    return false;
}

PyObject* not_stored(const QueueMap& map) {
    PyErr_Format(PyExc_MemoryError, "Failed to allocate for shared memory address '%s'.", map.what());
    return nullptr;
}

// The arguments block and timeout, as queue.Queue takes them.
bool wait_arguments(PyObject* block, PyObject* timeout, bool& blocking, timespec& limit, bool& limited) {
    const int truth = block ? PyObject_IsTrue(block) : 1;
    if (truth < 0 || !shm::time_limit(timeout, limit, limited)) {
        return false;
    }
    blocking = truth == 1;
    return true;
}

// --- put --------------------------------------------------------------------------

// With the mutex held: waits until a producer may add an item; false with
// an exception set (queue.Full when it may not within the time allowed).
bool wait_for_room(QueueMap& map, Locked& locked, bool blocking, const timespec* limit) {
    for (;;) {
        if (has_room(map.q())) {
            return true;
        }
        if (holds_something(map.q())) {
            sweep_dead(map);
            if (has_room(map.q())) {
                return true;
            }
        }
        if (!blocking || (limit && shm::passed(*limit))) {
            PyErr_SetNone(full_error);
            return false;
        }
        if (!sleep_once(map, locked, Side::Put, limit)) {
            return false;
        }
    }
}

// Stores a large item in an extent of its own, filled outside the mutex.
PyObject* put_large(QueueMap& map, const PreparedValue& prepared, bool blocking, const timespec* limit) {
    const uint64_t size = prepared.size();
    Locked locked(map);
    int claim = -1;
    int owner = -1;
    if (!locked.lock()) {
        return nullptr;
    }
    while (claim < 0) {
        if (!wait_for_room(map, locked, blocking, limit) || (owner = participant(map)) < 0) {
            return nullptr;
        }
        claim = claim_extent(map, owner, size);
        if (claim < 0 && errno != EAGAIN) {
            return not_stored(map);
        }
        // Every claim in use: as full as a queue without room, so a caller
        // that may not wait (or may wait no longer) hears so at once.
        if (claim < 0 && (!blocking || (limit && shm::passed(*limit)))) {
            PyErr_SetNone(full_error);
            return nullptr;
        }
        if (claim < 0 && !sleep_once(map, locked, Side::Put, limit)) {
            return nullptr;
        }
    }
    const Claim mine = map.q()->claims[claim];
    locked.unlock();
    ExtentView view;
    const bool mapped = view.map_at(map.fd.get(), mine.offset, round_page(size));
    if (mapped) {
        if (size >= LARGE_COPY) {
            populate_for_copy(view.bytes(), static_cast<size_t>(size));
        }
        prepared.store(view.bytes());
        view.reset();
    }
    if (!locked.lock()) {
        return nullptr;
    }
    const Claim& now = map.q()->claims[claim];
    if (now.state != CLAIM_STORING || now.owner != static_cast<uint32_t>(owner) || now.offset != mine.offset) {
        damaged(map);
        return nullptr;
    }
    if (!end_claim(map, claim, mapped)) {
        return not_stored(map);
    }
    if (!mapped) {
        return not_stored(map);
    }
    Py_RETURN_NONE;
}

PyObject* put_prepared(QueueMap& map, const PreparedValue& prepared, bool blocking, const timespec* limit) {
    const uint64_t size = prepared.size();
    if (size > INLINE_MAX) {
        return put_large(map, prepared, blocking, limit);
    }
    Locked locked(map);
    if (!locked.lock() || !wait_for_room(map, locked, blocking, limit)) {
        return nullptr;
    }
    if (!append(map, INLINE, size, [&](unsigned char* bytes) { prepared.store(bytes); })) {
        return not_stored(map);
    }
    Py_RETURN_NONE;
}

PyObject* put_item(QueueHandle* self, PyObject* item, bool blocking, const timespec* limit) {
    if (!self->map) {
        closed_error(self);
        return nullptr;
    }
    PreparedValue prepared;
    if (!prepared.prepare(item)) {
        return nullptr;
    }
    // Kept while the GIL is let go, whatever closes the handle meanwhile.
    MapRef map(self->map);
    return put_prepared(*map, prepared, blocking, limit);
}

PyObject* queue_put(PyObject* py_self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"item", "block", "timeout", nullptr};
    PyObject* item;
    PyObject* block = nullptr;
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:put", const_cast<char**>(kwlist), &item, &block,
                                     &timeout)) {
        return nullptr;
    }
    bool blocking;
    bool limited;
    timespec limit;
    if (!wait_arguments(block, timeout, blocking, limit, limited)) {
        return nullptr;
    }
    return put_item(as_handle(py_self), item, blocking, blocking && limited ? &limit : nullptr);
}

PyObject* queue_put_nowait(PyObject* py_self, PyObject* item) {
    return put_item(as_handle(py_self), item, false, nullptr);
}

// --- get --------------------------------------------------------------------------

// Takes the first ready item, waiting for one as `blocking` and `limit`
// say; false with an exception set (queue.Empty when none came in time).
bool take_item(QueueMap& map, bool keep, bool blocking, const timespec* limit, Found& found, int& owner) {
    Locked locked(map);
    if (!locked.lock() || (owner = participant(map)) < 0) {
        return false;
    }
    for (;;) {
        if (map.q()->taken != 0) {
            return_dead_holds(map, owner);
        }
        if (!take_first(map, owner, keep, found)) {
            return false;
        }
        if (found.any) {
            return true;
        }
        if (holds_something(map.q())) {
            const uint64_t before = map.q()->ready;
            sweep_dead(map);
            if (map.q()->ready != before) {
                continue;
            }
        }
        if (!blocking || (limit && shm::passed(*limit))) {
            PyErr_SetNone(empty_error);
            return false;
        }
        if (!sleep_once(map, locked, Side::Get, limit)) {
            return false;
        }
    }
}

// Ends the hold on a taken record: done, or back at its place.
bool end_hold(QueueMap& map, uint64_t at, int owner, bool done) {
    Locked locked(map);
    if (!locked.lock()) {
        return false;
    }
    if (!finish_taken(map, at, owner, done) && done) {
        PyErr_Format(PyExc_RuntimeError, "The item taken from queue '%s' is no longer held by this process.",
                     map.what());
        return false;
    }
    return true;
}

// Decodes a taken extent's item; null with an exception set.
PyObject* decode_extent(QueueMap& map, const ExtentRef& extent) {
    struct stat st;
    ExtentView view;
    if (::fstat(map.fd.get(), &st) != 0 || static_cast<uint64_t>(st.st_size) < extent.offset + extent.length) {
        damaged(map);
        return nullptr;
    }
    if (!view.map_at(map.fd.get(), extent.offset, extent.length)) {
        PyErr_Format(PyExc_MemoryError, "Failed to map shared memory address '%s'.", map.what());
        return nullptr;
    }
    if (extent.length >= LARGE_COPY) {
        // One call maps the pages in, instead of a fault for each.
        ::madvise(view.bytes(), view.length(), MADV_POPULATE_READ_FLAG);
    }
    return to_value_range(view.bytes(), extent.length);
}

PyObject* decode_found(QueueMap& map, const Found& found) {
    if (found.kind == EXTENT) {
        return decode_extent(map, found.extent);
    }
    return to_value_range(found.bytes.data(), found.bytes.size());
}

// The item of a plain get: at most once, so an item taken is done whether
// or not it decodes.
PyObject* get_item(QueueHandle* self, bool blocking, const timespec* limit) {
    if (!self->map) {
        closed_error(self);
        return nullptr;
    }
    MapRef map(self->map);
    Found found;
    int owner;
    if (!take_item(*map, false, blocking, limit, found, owner)) {
        return nullptr;
    }
    PyRef value(decode_found(*map, found));
    if (found.taken) {
        PyRef error(value ? nullptr : take_pending_exception().release());
        const bool ended = end_hold(*map, found.at, owner, true);
        if (error) {
            raise_exception(std::move(error));
            return nullptr;
        }
        if (!ended) {
            return nullptr;
        }
    }
    return value.release();
}

PyObject* queue_get(PyObject* py_self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"block", "timeout", nullptr};
    PyObject* block = nullptr;
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:get", const_cast<char**>(kwlist), &block, &timeout)) {
        return nullptr;
    }
    bool blocking;
    bool limited;
    timespec limit;
    if (!wait_arguments(block, timeout, blocking, limit, limited)) {
        return nullptr;
    }
    return get_item(as_handle(py_self), blocking, blocking && limited ? &limit : nullptr);
}

PyObject* queue_get_nowait(PyObject* py_self, PyObject*) { return get_item(as_handle(py_self), false, nullptr); }

// --- get_reliably -------------------------------------------------------------------

QueueReservation* as_reservation(PyObject* self) { return reinterpret_cast<QueueReservation*>(self); }

// Ends a reservation: its item done, or back at the head of the queue. A
// fork child's copy of its parent's reservation ends without touching it.
bool end_reservation(QueueReservation* self, bool done) {
    MapRef map = MapRef::adopt(std::exchange(self->map, nullptr));
    Py_CLEAR(self->item);
    if (!map || self->pid != shm::this_process()) {
        return true;
    }
    return end_hold(*map, self->at, self->owner, done);
}

PyObject* reservation_enter(PyObject* py_self, PyObject*) {
    QueueReservation* self = as_reservation(py_self);
    if (!self->map) {
        PyErr_SetString(PyExc_ValueError, "The reservation has ended.");
        return nullptr;
    }
    return PyRef::borrow(self->item).release();
}

PyObject* reservation_exit(PyObject* py_self, PyObject* args) {
    PyObject* type = Py_None;
    if (PyTuple_GET_SIZE(args) > 0) {
        type = PyTuple_GET_ITEM(args, 0);
    }
    if (!end_reservation(as_reservation(py_self), type == Py_None)) {
        return nullptr;
    }
    Py_RETURN_FALSE;
}

PyObject* reservation_repr(PyObject* py_self) {
    QueueReservation* self = as_reservation(py_self);
    if (!self->map) {
        return PyUnicode_FromString("<zelvane.QueueReservation ended>");
    }
    return PyUnicode_FromFormat("<zelvane.QueueReservation of '%s'>", self->map->what());
}

PyObject* reservation_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError,
                    "cannot create 'zelvane.QueueReservation' instances; use QueueHandle.get_reliably()");
    return nullptr;
}

// A reservation never entered, or dropped inside its block without leaving
// it, gives its item back.
void reservation_dealloc(PyObject* py_self) {
    QueueReservation* self = as_reservation(py_self);
    if (self->map) {
        PyRef pending = take_pending_exception();
        if (!end_reservation(self, false)) {
            PyErr_WriteUnraisable(py_self);
        }
        if (pending) {
            raise_exception(std::move(pending));
        }
    }
    Py_CLEAR(self->item);
    PyTypeObject* type = Py_TYPE(py_self);
    type->tp_free(py_self);
    Py_DECREF(type);
}

PyMethodDef reservation_methods[] = {
    {"__enter__", reservation_enter, METH_NOARGS, nullptr},
    {"__exit__", reservation_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reservation_slots[] = {
    {Py_tp_doc, const_cast<char*>("An item taken from a queue and held until the with block ends: done when it "
                                  "ends normally, back at the head of the queue when it raises or its process "
                                  "dies. Made by QueueHandle.get_reliably().")},
    {Py_tp_methods, reservation_methods},
    {Py_tp_new, reinterpret_cast<void*>(reservation_new)},
    {Py_tp_repr, reinterpret_cast<void*>(reservation_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reservation_dealloc)},
    {0, nullptr},
};

PyType_Spec reservation_spec = {
    "zelvane.QueueReservation", sizeof(QueueReservation), 0, Py_TPFLAGS_DEFAULT, reservation_slots,
};

PyObject* queue_get_reliably(PyObject* py_self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"timeout", nullptr};
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:get_reliably", const_cast<char**>(kwlist), &timeout)) {
        return nullptr;
    }
    QueueHandle* self = as_handle(py_self);
    timespec limit;
    bool limited;
    if (!self->map) {
        closed_error(self);
        return nullptr;
    }
    if (!shm::time_limit(timeout, limit, limited)) {
        return nullptr;
    }
    PyRef reservation(PyType_GenericAlloc(reservation_type, 0));
    if (!reservation) {
        return nullptr;
    }
    MapRef map(self->map);
    Found found;
    int owner;
    if (!take_item(*map, true, true, limited ? &limit : nullptr, found, owner)) {
        return nullptr;
    }
    PyRef item(decode_found(*map, found));
    if (!item) {
        PyRef error = take_pending_exception();
        end_hold(*map, found.at, owner, false);
        raise_exception(std::move(error));
        return nullptr;
    }
    QueueReservation* held = as_reservation(reservation.get());
    held->item = item.release();
    held->at = found.at;
    held->owner = owner;
    held->pid = shm::this_process();
    held->map = map.release();
    return reservation.release();
}

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
    PyRef handle(reservation ? PyType_FromSpec(&queue_spec) : nullptr);
    if (!handle || add_type_reference(module, "QueueHandle", handle.get()) < 0 ||
        add_type_reference(module, "QueueReservation", reservation.get()) < 0) {
        return -1;
    }
    Py_XSETREF(queue_handle_type, reinterpret_cast<PyTypeObject*>(handle.release()));
    Py_XSETREF(reservation_type, reinterpret_cast<PyTypeObject*>(reservation.release()));
    Py_XSETREF(full_error, full.release());
    Py_XSETREF(empty_error, empty.release());
    return 0;
}

}  // namespace queues
}  // namespace
