// zelvane.QueueHandle's get side and zelvane.QueueReservation, the context
// manager of get_reliably(). A consumer copies a small item out under the
// mutex and decodes it after; a large one, or any reserved one, stays taken
// in the ring (its participant named) until it is decoded or its
// reservation ends, and goes back to its place when its process dies.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "queues/handle_parts.h"
#include "queues/putting.h"

namespace {
namespace queues {

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
    // One call maps the pages of a large item in, instead of a fault for
    // each. The view is this call's own: large copies out of it, and its
    // unmapping, may let the GIL go.
    if (extent.length >= LARGE_COPY) {
        shm::without_gil([&view] { advise_pages(view.bytes(), view.length(), MADV_POPULATE_READ_FLAG); });
    }
    PyObject* value = to_value_range(view.bytes(), extent.length, true);
    shm::without_gil_if_large(view.length(), [&view] { view.reset(); });
    return value;
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

// Under the mutex: ends `self`'s hold as done, its item's extent (if it has
// one) kept in a claim of the holder's when the queue has no maxsize (whose
// room counts claims) and more than half the claims are free (the rest are
// left to producers). False with an exception set.
bool take_keeping_extent(QueueMap& map, const QueueReservation* self, HeldClaim& held) {
    Locked locked(map);
    if (!locked.lock()) {
        return false;
    }
    QueueShm* q = map.q();
    held.owner = self->owner;
    held.index = q->maxsize == 0 ? free_claim_for_taker(q) : -1;
    if (!finish_taken(map, self->at, self->owner, true, held.index)) {
        PyErr_Format(PyExc_RuntimeError, "The item taken from queue '%s' is no longer held by this process.",
                     map.what());
        return false;
    }
    if (held.index >= 0) {
        const Claim& claim = q->claims[held.index];
        const bool kept = claim.state == CLAIM_STORING && claim.owner == static_cast<uint32_t>(self->owner);
        held.offset = claim.offset;
        held.length = claim.length;
        held.index = kept ? held.index : -1;
    }
    return true;
}

// _take_keeping_pages(): ends the reservation as leaving its block normally
// does, but a large item's pages stay this process's, in a staged item
// whose withdraw() gives them back (as does this process's death): giving
// many pages back takes milliseconds, which zelvane.aio spends on a helper
// thread rather than on the loop that takes the item. None when they went
// back at once.
PyObject* reservation_take_keeping_pages(PyObject* py_self, PyObject*) {
    QueueReservation* self = as_reservation(py_self);
    if (!self->map) {
        PyErr_SetString(PyExc_ValueError, "The reservation has ended.");
        return nullptr;
    }
    if (self->pid != shm::this_process()) {
        if (!end_reservation(self, true)) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    PyRef staged(PyType_GenericAlloc(staged_type, 0));
    if (!staged) {
        return nullptr;
    }
    MapRef map = MapRef::adopt(std::exchange(self->map, nullptr));
    Py_CLEAR(self->item);
    HeldClaim held;
    if (!take_keeping_extent(*map, self, held)) {
        return nullptr;
    }
    if (held.index < 0) {
        Py_RETURN_NONE;
    }
    StagedItem* kept = as_staged(staged.get());
    kept->held = held;
    kept->pid = shm::this_process();
    kept->taken_item = 1;
    kept->map = map.release();
    return staged.release();
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
    {"_take_keeping_pages", reservation_take_keeping_pages, METH_NOARGS, nullptr},
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

// Under the mutex: the stored size of the first ready item, 0 when there is
// none (or the ring is damaged, which the next take reports).
uint64_t first_ready_size(const QueueMap& map) {
    const QueueShm* q = map.q();
    RecordHead head;
    uint64_t length;
    for (uint64_t at = q->next; at != q->tail; at += length) {
        if (!read_record(map, at, head, length)) {
            return 0;
        }
        if (head.state != READY) {
            continue;
        }
        if (head.kind != EXTENT) {
            return head.length;
        }
        ExtentRef ref;
        std::memcpy(&ref, at_place(map, q, at) + sizeof head, sizeof ref);
        return ref.length;
    }
    return 0;
}

// _first_size(): the stored size of the item a get would take now, 0 when
// there is none: zelvane.aio decodes a large one on a helper thread. Items
// in the ring are small, so the mutex is taken to look only while some item
// has an extent of its own (a glance at the count, which a race may only
// make stale).
PyObject* queue_first_size(PyObject* py_self, PyObject*) {
    QueueHandle* self = as_handle(py_self);
    if (!self->map) {
        closed_error(self);
        return nullptr;
    }
    if (std::atomic_ref<uint32_t>(self->map->q()->extents).load(std::memory_order_relaxed) == 0) {
        return PyLong_FromLong(0);
    }
    MapRef map(self->map);
    Locked locked(*map);
    if (!locked.lock()) {
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(first_ready_size(*map));
}

}  // namespace queues
}  // namespace
