// How a MemoryHandle holds its slot: the handle object itself, and the
// slot's mutex held through it by one thread across several accesses (a
// lock() block, or update() around its function), so that the accesses of
// that thread through the handle do not lock again while every other thread
// and process waits.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "bridge_errors.h"
#include "object_cache.h"
#include "shm_support.h"
#include "slot_state.h"
#include "slots.h"

namespace {

// The slot's mutex held through a handle by one thread of one process.
struct HeldSlot {
    SlotAccess access;  // locked through the handle's own mapping
    pid_t process = 0;
    pid_t thread = 0;
};

struct MemoryHandle {
    PyObject_HEAD
    PyObject* name;               // the str the handle was opened with
    shm::MappedObject* object;    // null once closed
    HeldSlot* held;               // while a thread holds the slot's mutex through the handle
    uint32_t seen_version;        // the version this handle last read, wrote or waited for
};

const char* handle_name(const MemoryHandle* self) {
    const char* name = PyUnicode_AsUTF8(self->name);
    if (!name) {
        PyErr_Clear();  // the name was given as a str with a UTF-8 form
        return "?";
    }
    return name;
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

void note_version(MemoryHandle* self, SlotAccess& access) {
    self->seen_version = slot_state::version(&access.header()->mutex);
}

bool held_by_this_thread(const HeldSlot* held) {
    return held && held->process == shm::this_process() && held->thread == shm::this_thread();
}

// Lets go of the mutex that the calling thread holds through the handle.
void release_lock(MemoryHandle* self) { delete std::exchange(self->held, nullptr); }

// Drops a held mutex that is not this thread's to unlock: one a thread of
// the parent held before fork(), or one whose holder ended without letting
// go (its mutex then came back to the next locker as its owner died).
void forget_held(HeldSlot* held) {
    held->access.lock.forget();
    delete held;
}

// In a fork child, the mutex a thread of the parent held through the handle
// is the parent's: it is dropped without unlocking, and this process locks
// afresh. If the forking thread itself held it, the child runs inside that
// lock() block without holding the lock, which is refused until the block
// ends.
bool settle_after_fork(MemoryHandle* self) {
    HeldSlot* held = self->held;
    if (!held || held->process == shm::this_process()) {
        return true;
    }
    if (held->thread == shm::ThisThread::id_before_fork()) {
        PyErr_Format(PyExc_RuntimeError,
                     "The lock of shared memory address '%s' was taken before fork(): this process does not "
                     "hold it.",
                     handle_name(self));
        return false;
    }
    forget_held(std::exchange(self->held, nullptr));
    return true;
}

// Whether the handle can make an access now; false with an exception set.
bool handle_ready(MemoryHandle* self) {
    if (!self->object) {
        return closed_error(self);
    }
    return settle_after_fork(self);
}

// Takes the slot's mutex through the handle for the calling thread, until
// release_lock(), waiting until `limit` at most.
bool take_lock(MemoryHandle* self, const timespec* limit) {
    if (held_by_this_thread(self->held)) {
        shm::set_lock_error(EDEADLK, handle_name(self));
        return false;
    }
    std::unique_ptr<HeldSlot> held(new (std::nothrow) HeldSlot);
    if (!held) {
        PyErr_NoMemory();
        return false;
    }
    held->access.limit = limit;
    if (!lock_handle(self, held->access, 0)) {
        return false;
    }
    held->access.limit = nullptr;
    held->process = shm::this_process();
    held->thread = shm::this_thread();
    // Holding the mutex now, this thread is the only holder: a lock still
    // recorded here belongs to a thread that ended without letting go.
    HeldSlot* stale = std::exchange(self->held, held.release());
    if (stale) {
        forget_held(stale);
    }
    return true;
}

// When the last owner of a held mutex goes away: the holding thread unlocks
// it, and a fork child drops its parent's. One that another live thread of
// this process holds stays held, and its mapping is kept for ever: that
// thread's list of robust mutexes points into it, and unmapping it would
// crash the thread at its next lock.
void let_go_of_held(MemoryHandle* self) {
    HeldSlot* held = self->held;
    if (!held) {
        return;
    }
    if (held_by_this_thread(held)) {
        release_lock(self);
    } else if (held->process != shm::this_process()) {
        forget_held(std::exchange(self->held, nullptr));
    }
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
