// How a MemoryHandle holds its slot: the handle object itself, and the
// slot's mutex held through it by one thread across several accesses (a
// lock() block, or update() around its function; see platform/held_lock.h), so that
// the accesses of that thread through the handle do not lock again while
// every other thread and process waits.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "platform/errors.h"
#include "platform/held_lock.h"
#include "platform/object_cache.h"
#include "platform/shm_support.h"
#include "platform/temporary.h"
#include "slots/slot.h"
#include "slots/state.h"

namespace {

// The slot's mutex held through a handle by one thread of one process.
struct HeldSlot {
    SlotAccess access;  // locked through the handle's own mapping
    pid_t process = 0;
    pid_t thread = 0;
    bool has_token = false;  // whether this grant's fencing token was drawn
    uint32_t token = 0;

    void forget() { access.lock.forget(); }
};

struct MemoryHandle {
    PyObject_HEAD
    PyObject* name;               // the str the handle was opened with
    shm::MappedObject* object;    // null once closed
    HeldSlot* held;               // while a thread holds the slot's mutex through the handle
    uint32_t seen_version;        // the version this handle last read, wrote or waited for
    temporary::Hold* hold;        // this process's hold on a temporary slot, or null
};

const char* handle_name(const MemoryHandle* self) { return message_name(self->name); }

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

void note_version(MemoryHandle* self, SlotAccess& access) {
    self->seen_version = slot_state::version(&access.header()->mutex);
}

bool handle_open(const MemoryHandle* self) { return self->object != nullptr; }

// Takes the slot's mutex into `held`, for a thread to hold through the handle.
bool lock_for_holding(MemoryHandle* self, HeldSlot& held, const timespec* limit) {
    held.access.limit = limit;
    const bool locked = lock_handle(self, held.access, 0);
    held.access.limit = nullptr;
    return locked;
}

// The fencing token of the grant `held`, drawn the first time it is asked
// for: a change counted in the slot's version, as a write is, so that it is
// larger than every token drawn before it (the version lives in shared
// memory and only grows under the mutex, also past a holder that died),
// and the version it makes. Grants nobody asks need no number, and count
// nothing. Needs slot_state::usable.
uint32_t fencing_token(MemoryHandle* self, HeldSlot& held) {
    if (!held.has_token) {
        SlotAccess& access = held.access;
        access.wake_waiters |= slot_state::count_write(&access.header()->mutex);
        note_version(self, access);
        held.token = self->seen_version;
        held.has_token = true;
    }
    return held.token;
}

// Runs `body(access)` under the slot's mutex with room for `new_size`
// payload bytes: through the mutex this thread holds through the handle
// already, or holding it for this access alone.
template <typename Body>
PyObject* with_slot_locked(MemoryHandle* self, uint64_t new_size, Body&& body) {
    if (!handle_ready(self)) {
        return nullptr;
    }
    if (held_by_this_thread(self->held)) {
        SlotAccess& access = self->held->access;
        if (!fit_locked_slot(access, handle_name(self), new_size)) {
            return nullptr;
        }
        return body(access);
    }
    SlotAccess access;
    if (!lock_handle(self, access, new_size)) {
        return nullptr;
    }
    return body(access);
}

}  // namespace
