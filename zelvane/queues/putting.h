// zelvane.QueueHandle's put side. An item is encoded before the mutex is
// taken. A small one is copied into the ring under the mutex; a large one is
// stored in an extent claimed under the mutex and filled outside it, then
// published.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "queues/handle_parts.h"

namespace {
namespace queues {

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

// A claim of this process's on an extent for a large item: the claim's
// index, the participant that holds it, and the extent's offset and length.
struct HeldClaim {
    int index = -1;
    int owner = -1;
    uint64_t offset = 0;
    uint64_t length = 0;
};

// Claims an extent of `size` bytes, waiting for room as `blocking` and
// `limit` say; false with an exception set (queue.Full when there is none in
// the time allowed, MemoryError when the system refuses the pages).
bool claim_room(QueueMap& map, uint64_t size, bool blocking, const timespec* limit, HeldClaim& held) {
    Locked locked(map);
    if (!locked.lock()) {
        return false;
    }
    for (;;) {
        if (!wait_for_room(map, locked, blocking, limit) || (held.owner = participant(map)) < 0) {
            return false;
        }
        held.index = claim_extent(map, held.owner, size);
        if (held.index >= 0) {
            held.offset = map.q()->claims[held.index].offset;
            held.length = size;
            return true;
        }
        if (errno != EAGAIN) {
            not_stored(map);
            return false;
        }
        // Every claim in use: as full as a queue without room, so a caller
        // that may not wait (or may wait no longer) hears so at once.
        if (!blocking || (limit && shm::passed(*limit))) {
            PyErr_SetNone(full_error);
            return false;
        }
        if (!sleep_once(map, locked, Side::Put, limit)) {
            return false;
        }
    }
}

// Copies the prepared value into the claimed extent, outside the mutex;
// whether the extent could be mapped.
bool fill_claim(QueueMap& map, const HeldClaim& held, const PreparedValue& prepared) {
    const uint64_t size = prepared.size();
    ExtentView view;
    if (!view.map_at(map.fd.get(), held.offset, round_page(size))) {
        return false;
    }
    // The view is this call's own and the prepared value holds its source:
    // a large copy, and the unmapping after it, let the GIL go.
    shm::without_gil_if_large(size, [&view, &prepared, size] {
        if (size >= LARGE_COPY) {
            populate_for_copy(view.bytes(), static_cast<size_t>(size));
        }
        prepared.store(view.bytes());
        view.reset();
    });
    return true;
}

// Under the mutex: whether the claim is still as this process made it; a
// damaged queue is reported otherwise.
bool claim_still_held(QueueMap& map, const HeldClaim& held) {
    const Claim& now = map.q()->claims[held.index];
    if (now.state != CLAIM_STORING || now.owner != static_cast<uint32_t>(held.owner) || now.offset != held.offset) {
        damaged(map);
        return false;
    }
    return true;
}

// Gives back the pages of a claim's extent outside the mutex, once the
// claim is seen to be still this process's: giving many back takes
// milliseconds, and the claim keeps the extent this process's meanwhile.
bool give_back_claimed_pages(QueueMap& map, const HeldClaim& held) {
    {
        Locked locked(map);
        if (!locked.lock() || !claim_still_held(map, held)) {
            return false;
        }
    }
    punch(map.fd.get(), held.offset, round_page(held.length));
    return true;
}

// Ends the claim: its item published into the queue, or (`publish` false)
// its extent given back, its pages first (see give_back_claimed_pages).
// None, or null with an exception set.
PyObject* end_held_claim(QueueMap& map, const HeldClaim& held, bool publish) {
    if (!publish && !give_back_claimed_pages(map, held)) {
        return nullptr;
    }
    Locked locked(map);
    if (!locked.lock() || !claim_still_held(map, held)) {
        return nullptr;
    }
    if (!end_claim(map, held.index, publish)) {
        return not_stored(map);
    }
    Py_RETURN_NONE;
}

// Stores a large item in an extent of its own, filled outside the mutex.
PyObject* put_large(QueueMap& map, const PreparedValue& prepared, bool blocking, const timespec* limit) {
    HeldClaim held;
    if (!claim_room(map, prepared.size(), blocking, limit, held)) {
        return nullptr;
    }
    const bool filled = fill_claim(map, held, prepared);
    PyRef ended(end_held_claim(map, held, filled));
    return !ended || filled ? ended.release() : not_stored(map);
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

// Encodes `item` for the handle's queue; false with an exception set, also
// when the handle is closed, or got closed by code the encoding ran.
bool prepare_item(const QueueHandle* self, PyObject* item, PreparedValue& prepared) {
    if (!self->map) {
        return closed_error(self);
    }
    return prepared.prepare(item) && (self->map || closed_error(self));
}

PyObject* put_item(QueueHandle* self, PyObject* item, bool blocking, const timespec* limit) {
    PreparedValue prepared;
    if (!prepare_item(self, item, prepared)) {
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

// --- Large items stored ahead of their publication -----------------------------------

// zelvane's staged item (QueueHandle._stage()): a large item stored in an
// extent of its own but not yet in the queue. publish() puts it in,
// withdraw() gives its extent back; one dropped is withdrawn, and its
// process's death gives the extent back too. zelvane.aio stores an item on
// a helper thread and publishes it on the loop: a task cancelled during the
// copy has put nothing.
struct StagedItem {
    PyObject_HEAD
    QueueMap* map;  // null once published or withdrawn
    HeldClaim held;
    pid_t pid;        // the process that claimed the extent
    char taken_item;  // the pages of an item taken already: only to withdraw
};

PyTypeObject* staged_type = nullptr;

StagedItem* as_staged(PyObject* self) { return reinterpret_cast<StagedItem*>(self); }

// Publishes or withdraws the item: None, or null with an exception set. A
// fork child's copy of its parent's item lets go of its view and raises,
// leaving the parent's claim alone.
PyObject* end_staged(StagedItem* self, bool publish) {
    if (publish && self->taken_item) {
        PyErr_SetString(PyExc_ValueError, "The pages of an item taken already can only be given back.");
        return nullptr;
    }
    MapRef map = MapRef::adopt(std::exchange(self->map, nullptr));
    if (!map) {
        PyErr_SetString(PyExc_ValueError, "The staged item was published or withdrawn already.");
        return nullptr;
    }
    if (self->pid != shm::this_process()) {
        PyErr_SetString(PyExc_RuntimeError, "The item was staged by the parent of this process.");
        return nullptr;
    }
    return end_held_claim(*map, self->held, publish);
}

PyObject* staged_publish(PyObject* self, PyObject*) { return end_staged(as_staged(self), true); }

PyObject* staged_withdraw(PyObject* self, PyObject*) { return end_staged(as_staged(self), false); }

void staged_dealloc(PyObject* self) {
    StagedItem* staged = as_staged(self);
    if (staged->map && staged->pid != shm::this_process()) {
        unshare(std::exchange(staged->map, nullptr));  // the parent's claim, not this process's to end
    }
    if (staged->map) {
        PyRef pending = take_pending_exception();
        if (!PyRef(end_staged(staged, false))) {
            PyErr_WriteUnraisable(self);
        }
        if (pending) {
            raise_exception(std::move(pending));
        }
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* staged_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create staged queue items; use QueueHandle._stage()");
    return nullptr;
}

PyMethodDef staged_methods[] = {
    {"publish", staged_publish, METH_NOARGS, "publish($self, /)\n--\n\nPut the item into the queue."},
    {"withdraw", staged_withdraw, METH_NOARGS, "withdraw($self, /)\n--\n\nGive the item's memory back."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot staged_slots[] = {
    {Py_tp_doc, const_cast<char*>("A large item stored for a queue but not yet in it (QueueHandle._stage()).")},
    {Py_tp_methods, staged_methods},
    {Py_tp_new, reinterpret_cast<void*>(staged_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(staged_dealloc)},
    {0, nullptr},
};

PyType_Spec staged_spec = {
    "zelvane._StagedItem", sizeof(StagedItem), 0, Py_TPFLAGS_DEFAULT, staged_slots,
};

// _stage(item, /): stores a large item for the queue without putting it in,
// if there is room at once (queue.Full otherwise): a staged item to publish
// or withdraw. An item small enough for the ring is put at once instead
// (None): its copy takes no time worth staging.
PyObject* queue_stage(PyObject* py_self, PyObject* item) {
    QueueHandle* self = as_handle(py_self);
    PreparedValue prepared;
    if (!prepare_item(self, item, prepared)) {
        return nullptr;
    }
    MapRef map(self->map);
    if (prepared.size() <= INLINE_MAX) {
        return put_prepared(*map, prepared, false, nullptr);
    }
    PyRef staged(PyType_GenericAlloc(staged_type, 0));
    HeldClaim held;
    if (!staged || !claim_room(*map, prepared.size(), false, nullptr, held)) {
        return nullptr;
    }
    if (!fill_claim(*map, held, prepared)) {
        PyRef withdrawn(end_held_claim(*map, held, false));
        return withdrawn ? not_stored(*map) : nullptr;
    }
    StagedItem* stored = as_staged(staged.get());
    stored->held = held;
    stored->pid = shm::this_process();
    stored->map = map.release();
    return staged.release();
}

}  // namespace queues
}  // namespace
