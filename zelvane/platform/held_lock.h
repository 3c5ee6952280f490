// How a handle holds the lock of its object for one thread across several
// accesses (a lock() block, or update() around its function), whatever the
// object: the rules are those of a robust mutex, which belongs to a thread
// of a process. A handle type provides
//   - `held`: a pointer to its Held record (null when nobody holds the lock),
//     whose `process` and `thread` say who does and whose `forget()` drops
//     the mutex without unlocking it; deleting a Held record unlocks it;
//   - handle_name(handle), handle_open(handle), closed_error(handle);
//   - lock_for_holding(handle, held, limit): takes the mutex into `held`.
// The handles' shared checks and __enter__ live here too.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/types.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "platform/shm_support.h"

namespace {

// A handle's name for a message.
inline const char* message_name(PyObject* name) {
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) {
        PyErr_Clear();  // the name was given as a str with a UTF-8 form
        return "?";
    }
    return text;
}

template <typename Handle>
using HeldOf = std::remove_pointer_t<decltype(Handle::held)>;

template <typename Held>
bool held_by_this_thread(const Held* held) {
    return held && held->process == shm::this_process() && held->thread == shm::this_thread();
}

// Lets go of the mutex that the calling thread holds through the handle.
template <typename Handle>
void release_lock(Handle* self) {
    delete std::exchange(self->held, nullptr);
}

// Drops a held mutex that is not this thread's to unlock: one a thread of
// the parent held before fork(), or one whose holder ended without letting
// go (its mutex then came back to the next locker as its owner died).
template <typename Held>
void forget_held(Held* held) {
    held->forget();
    delete held;
}

// In a fork child, the mutex a thread of the parent held through the handle
// is the parent's: it is dropped without unlocking, and this process locks
// afresh. If the forking thread itself held it, the child runs inside that
// lock() block without holding the lock, which is refused until the block
// ends.
template <typename Handle>
bool settle_after_fork(Handle* self) {
    auto* held = self->held;
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
template <typename Handle>
bool handle_ready(Handle* self) {
    if (!handle_open(self)) {
        return closed_error(self);
    }
    return settle_after_fork(self);
}

// Takes the object's mutex through the handle for the calling thread, until
// release_lock(), waiting until `limit` at most.
template <typename Handle>
bool take_lock(Handle* self, const timespec* limit) {
    if (held_by_this_thread(self->held)) {
        shm::set_lock_error(EDEADLK, handle_name(self));
        return false;
    }
    std::unique_ptr<HeldOf<Handle>> held(new (std::nothrow) HeldOf<Handle>);
    if (!held) {
        PyErr_NoMemory();
        return false;
    }
    if (!lock_for_holding(self, *held, limit)) {
        return false;
    }
    held->process = shm::this_process();
    held->thread = shm::this_thread();
    // Holding the mutex now, this thread is the only holder: a lock still
    // recorded here belongs to a thread that ended without letting go.
    auto* stale = std::exchange(self->held, held.release());
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
template <typename Handle>
void let_go_of_held(Handle* self) {
    auto* held = self->held;
    if (!held) {
        return;
    }
    if (held_by_this_thread(held)) {
        release_lock(self);
    } else if (held->process != shm::this_process()) {
        forget_held(std::exchange(self->held, nullptr));
    }
}

// The handle's __enter__: the handle itself, while it is open.
template <typename Handle>
PyObject* handle_enter_method(PyObject* py_self, PyObject*) {
    if (!handle_open(reinterpret_cast<Handle*>(py_self))) {
        closed_error(reinterpret_cast<Handle*>(py_self));
        return nullptr;
    }
    Py_INCREF(py_self);
    return py_self;
}

// Refuses a wait for a change that only this thread, holding the lock, could make.
template <typename Handle>
bool may_wait(Handle* self) {
    if (!held_by_this_thread(self->held)) {
        return true;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "Waiting for a change of shared memory address '%s' while this thread holds its lock "
                 "would never end.",
                 handle_name(self));
    return false;
}

}  // namespace
