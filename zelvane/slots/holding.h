// How a MemoryHandle holds its slot: the handle object itself, and the
// slot's mutex held through it by one thread across several accesses (a
// lock() block, or update() around its function; see platform/held_lock.h), so that
// the accesses of that thread through the handle do not lock again while
// every other thread and process waits.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/types.h>

#include <time.h>

#include <atomic>
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

// The slot's mutex held through a handle by one thread of one process. The
// holder may lend its hold, and one other thread of the process claim the
// loan (an event loop's thread lends it to the helper that makes a large
// copy for the task holding the lock): that thread's accesses go through
// it, counted as borrowers, and the hold is not let go (its mapping not
// dropped) until the last one ended.
struct HeldSlot {
    SlotAccess access;  // locked through the handle's own mapping
    pid_t process = 0;
    pid_t thread = 0;
    bool has_token = false;  // whether this grant's fencing token was drawn
    uint32_t token = 0;
    bool lent = false;
    // The one thread that claimed the loan (see handle_borrow); 0 while none
    // has. Every other thread takes the lock as usual, and waits.
    pid_t borrower = 0;
    std::atomic<uint32_t> borrowers{0};

    HeldSlot() = default;
    HeldSlot(const HeldSlot&) = delete;
    HeldSlot& operator=(const HeldSlot&) = delete;
    ~HeldSlot() { wait_for_borrowers(); }

    // In a fork child, the parent's borrowers are not this process's.
    void forget() {
        borrowers.store(0, std::memory_order_relaxed);
        access.lock.forget();
    }

    // With the GIL held: waits, letting it go, until no other thread accesses
    // through the hold. Polled: a borrower touches nothing of the hold once
    // it has counted itself out, so it could not wake a waiter safely.
    void wait_for_borrowers() {
        if (borrowers.load(std::memory_order_acquire) == 0) {
            return;
        }
        shm::without_gil([this] {
            const timespec pause{0, 100'000};
            while (borrowers.load(std::memory_order_acquire) != 0) {
                ::nanosleep(&pause, nullptr);
            }
        });
    }
};

// Whether the calling thread, not the holder, may access through `held`:
// the one thread that claimed its loan.
bool lent_to_this_thread(const HeldSlot* held) {
    return held && held->lent && held->process == shm::this_process() && held->borrower == shm::this_thread();
}

// A borrower's access through a lent hold, counted while it lasts.
class Borrowing {
public:
    explicit Borrowing(HeldSlot* held) : held_(held) { held_->borrowers.fetch_add(1, std::memory_order_acq_rel); }
    Borrowing(const Borrowing&) = delete;
    Borrowing& operator=(const Borrowing&) = delete;
    ~Borrowing() { held_->borrowers.fetch_sub(1, std::memory_order_acq_rel); }

private:
    HeldSlot* held_;
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

// Runs `body(access)` through the mutex held in `held`, with room for
// `new_size` payload bytes.
template <typename Body>
PyObject* with_held_slot(MemoryHandle* self, HeldSlot* held, uint64_t new_size, Body&& body) {
    if (!fit_locked_slot(held->access, handle_name(self), new_size)) {
        return nullptr;
    }
    return body(held->access);
}

// Runs `body(access)` under the slot's mutex with room for `new_size`
// payload bytes: through the mutex this thread holds through the handle
// already (or that its holder lent), or holding it for this access alone.
template <typename Body>
PyObject* with_slot_locked(MemoryHandle* self, uint64_t new_size, Body&& body) {
    if (!handle_ready(self)) {
        return nullptr;
    }
    HeldSlot* held = self->held;
    if (held_by_this_thread(held)) {
        held->wait_for_borrowers();  // one access at a time through the hold
        return with_held_slot(self, held, new_size, body);
    }
    if (lent_to_this_thread(held)) {
        Borrowing borrowing(held);
        return with_held_slot(self, held, new_size, body);
    }
    SlotAccess access;
    if (!lock_handle(self, access, new_size)) {
        return nullptr;
    }
    return body(access);
}

}  // namespace
