// An array's lock held shared or exclusive (platform/shared_exclusive.h): the
// exclusive holder's wait for the shared holders to leave, and the shared
// holds themselves. A shared hold marks no change: only an exclusive holder
// may have written.
//
// Within a process, the threads holding shared through one mapping share its
// place: the first sets the place's bit, the last clears it. A thread is
// refused a second hold of an array it holds already, shared or exclusive:
// with writers preferred, a second shared hold could wait for a writer that
// waits for the first.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "arrays/mapping.h"
#include "platform/shared_exclusive.h"
#include "platform/shm_support.h"
#include "slots/state.h"

namespace {

// Whether the word of shared holders can be used here (see slots/state.h);
// where it cannot, a shared lock is taken exclusively.
bool shared_holds_possible() { return slot_state::usable; }

// With the array's mutex held: keeps new shared holders out and waits for
// those inside to leave, clearing the places of dead ones after each slice.
// False with an exception set (TimeoutError once `limit` passes, or a
// signal's), the claim withdrawn; the caller still holds the mutex.
bool wait_for_shared_holders(ArrayMapping* array, const timespec* limit, const char* what) {
    if (!shared_holds_possible()) {
        return true;
    }
    std::atomic<uint32_t>* word = array->holders();
    shared_exclusive::claim(word);
    while (!shared_exclusive::places_empty(word)) {
        const timespec end = shm::slice_end(limit);
        if (shm::without_gil([&] { return shared_exclusive::sleep_while_held(word, end); })) {
            break;
        }
        shared_exclusive::clear_dead_places(word, array->fd.get());
        if (shared_exclusive::places_empty(word)) {
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            shared_exclusive::unclaim(word);
            return false;
        }
        if (limit && shm::passed(*limit)) {
            shared_exclusive::unclaim(word);
            PyErr_Format(PyExc_TimeoutError, "Timed out waiting for the lock of shared memory address '%s'.", what);
            return false;
        }
    }
    return true;
}

// Takes the array's mutex for an exclusive holder: a dead holder's change is
// marked, then shared holders are waited for. Empty with an exception set.
shm::HeldMutex lock_exclusive(ArrayMapping* array, const char* what, const timespec* limit) {
    std::atomic<uint32_t>* state = array->state();
    // A holder that died inside its lock() block never marked its change:
    // it is marked now, so that waiters look at the data again.
    shm::HeldMutex lock = shm::lock_robust(&array->header()->mutex, what, [state] { mark_change(state); }, limit);
    if (lock.held() && !wait_for_shared_holders(array, limit, what)) {
        lock.unlock();
    }
    return lock;
}

// Lets go of an exclusive hold taken by lock_exclusive.
void unlock_exclusive(ArrayMapping* array, shm::HeldMutex& lock) {
    if (shared_holds_possible()) {
        shared_exclusive::unclaim(array->holders());
    }
    lock.unlock();
}

// One thread's shared hold of an array.
struct SharedHold {
    ArrayRef array;
    pid_t process = 0;
    pid_t thread = 0;
    // Held instead of a place when none could be had: every place is taken,
    // or the word is not usable here.
    shm::HeldMutex exclusive;
    bool through_place = false;

    SharedHold() = default;
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    ~SharedHold();
};

// Every shared hold of this process, to refuse a thread a second one. Only
// touched with the GIL held.
std::vector<SharedHold*> shared_holds;

SharedHold::~SharedHold() {
    std::erase(shared_holds, this);
    if (process != shm::this_process()) {
        // A fork child's copy of its parent's hold: the parent lets go.
        exclusive.forget();
        return;
    }
    if (exclusive.held()) {
        unlock_exclusive(array.get(), exclusive);
        return;
    }
    shared_exclusive::Place& place = array->place;
    if (through_place && --place.holds() == 0) {
        shared_exclusive::leave(array->holders(), place.bit());
    }
}

// Whether the calling thread holds `array` shared, through any mapping.
bool held_shared_by_this_thread(const ArrayMapping& array) {
    const pid_t process = shm::this_process();
    const pid_t thread = shm::this_thread();
    return std::any_of(shared_holds.begin(), shared_holds.end(), [&](const SharedHold* hold) {
        return hold->process == process && hold->thread == thread && hold->array->same_object(array);
    });
}

// Enters through the mapping's place: at once while no exclusive holder has
// claimed the lock, otherwise by waiting for the mutex, which the claimant
// holds, and setting the place's bit while holding it. False with an
// exception set.
bool enter_through_place(ArrayMapping* array, const char* what, const timespec* limit) {
    shared_exclusive::Place& place = array->place;
    std::atomic<uint32_t>* word = array->holders();
    const bool entered = place.holds() > 0
                             ? (word->load(std::memory_order_acquire) & shared_exclusive::CLAIMED) == 0
                             : shared_exclusive::try_enter(word, place.bit());
    if (!entered) {
        std::atomic<uint32_t>* state = array->state();
        shm::HeldMutex lock =
            shm::lock_robust(&array->header()->mutex, what, [state] { mark_change(state); }, limit);
        if (!lock.held()) {
            return false;
        }
        // The GIL was let go meanwhile: the place's bit may have been
        // cleared by this process's last holder.
        shared_exclusive::enter_holding_mutex(word, place.bit());
    }
    ++place.holds();
    return true;
}

// Takes a place among the shared holders for the mapping. Its bit may still
// be set by a holder of the place that died holding: nobody alive holds the
// place now, so the bit is cleared, or a claimant that finds the place taken
// again would wait for it for ever.
bool take_place(ArrayMapping* array) {
    if (!array->place.take(array->fd.get())) {
        return false;
    }
    shared_exclusive::leave(array->holders(), array->place.bit());
    return true;
}

// Takes `array` shared for the calling thread, waiting until `limit` at
// most. Null with an exception set.
SharedHold* take_shared(ArrayMapping* array, const char* what, const timespec* limit) {
    if (held_shared_by_this_thread(*array)) {
        shm::set_lock_error(EDEADLK, what);
        return nullptr;
    }
    std::unique_ptr<SharedHold> hold(new (std::nothrow) SharedHold);
    if (!hold) {
        PyErr_NoMemory();
        return nullptr;
    }
    hold->array = ArrayRef(array);
    hold->process = shm::this_process();
    hold->thread = shm::this_thread();
    shared_exclusive::Place& place = array->place;
    if (shared_holds_possible() && (place.taken() || take_place(array))) {
        if (!enter_through_place(array, what, limit)) {
            return nullptr;
        }
        hold->through_place = true;
    } else {
        hold->exclusive = lock_exclusive(array, what, limit);
        if (!hold->exclusive.held()) {
            return nullptr;
        }
    }
    shared_holds.push_back(hold.get());
    return hold.release();
}

}  // namespace
