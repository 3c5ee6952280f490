// Watching many slots' and arrays' versions from one thread, for an event loop whose
// pending waits must not cost a thread each: one helper sleeps on the
// version words of all the slots waited on at once (futex_waitv), on the
// words of the calls the loop posted and of the queues its tasks wait for,
// and on a bell that the loop rings when the set of waits changes.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <ctime>
#include <functional>
#include <vector>

#include "arrays/handle.h"
#include "calls/handles/pending.h"
#include "platform/errors.h"
#include "platform/futex.h"
#include "platform/shm_support.h"
#include "queues/core.h"
#include "queues/handle.h"
#include "slots/handle.h"
#include "slots/state.h"

namespace {

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif

// Rung by _ring(); every watcher of the process sleeps on it too.
std::atomic<uint32_t> watch_bell{0};

// Beyond this many words a watcher sleeps on the first ones only and looks
// at all of them again after a short pause.
constexpr size_t MAX_WORDS = FUTEX_WAITV_MAX - 1;
constexpr long POLL_NS = 2000000;

// One slot or array being watched: its mapping kept in use while the GIL
// is let go, its version word and the version it is expected to keep.
struct Watched {
    shm::ObjectUse use;  // a slot's
    ArrayRef array;      // an array's
    std::atomic<uint32_t>* state;
    uint32_t version;

    std::atomic<uint32_t>* word() const { return state; }
};

// The watch of `handle`, a MemoryHandle or an ArrayHandle, for `version`;
// false with an exception set.
bool watch_handle(PyObject* handle, uint32_t version, std::vector<Watched>& out) {
    if (PyObject_TypeCheck(handle, array_handle_type)) {
        ArrayHandle* self = as_array_handle(handle);
        if (!self->array) {
            return closed_error(self);
        }
        ArrayRef array(self->array);
        std::atomic<uint32_t>* state = array->state();
        out.push_back(Watched{shm::ObjectUse(), std::move(array), state, version});
        return true;
    }
    if (!PyObject_TypeCheck(handle, memory_handle_type)) {
        PyErr_SetString(PyExc_TypeError, "handles must be MemoryHandle or ArrayHandle objects");
        return false;
    }
    MemoryHandle* self = as_memory_handle(handle);
    if (!self->object) {
        return closed_error(self);
    }
    if (!slot_state::usable) {
        versions_unavailable();
        return false;
    }
    shm::ObjectUse use(self->object);
    std::atomic<uint32_t>* state = slot_state::word(&use->mapping.as<BasicShm>()->mutex);
    out.push_back(Watched{std::move(use), ArrayRef(), state, version});
    return true;
}

// Raises the waiters' flag of `state` unless its version already moved on
// from `version`; the word's value to sleep on then, in `expected`.
bool mark_waiting(std::atomic<uint32_t>* state, uint32_t version, uint32_t& expected) {
    uint32_t seen = state->load(std::memory_order_acquire);
    for (;;) {
        if ((seen >> 1) != version) {
            return false;
        }
        if ((seen & slot_state::WAITERS) != 0 ||
            state->compare_exchange_weak(seen, seen | slot_state::WAITERS, std::memory_order_acquire,
                                         std::memory_order_acquire)) {
            expected = seen | slot_state::WAITERS;
            return true;
        }
    }
}

futex_waitv waiter_on(std::atomic<uint32_t>* word, uint32_t expected) {
    futex_waitv waiter{};
    waiter.val = expected;
    waiter.uaddr = reinterpret_cast<uintptr_t>(futex::raw(word));
    waiter.flags = FUTEX_32;  // shared: the writers wake from other processes
    return waiter;
}

// Sleeps until one word differs from what `waiters` expect, or `deadline`.
// False only when the time ran out; a system without futex_waitv pauses
// briefly and answers true, so its caller polls.
bool sleep_on_all(std::vector<futex_waitv>& waiters, const timespec& deadline) {
    const long rc = ::syscall(SYS_futex_waitv, waiters.data(), static_cast<unsigned>(waiters.size()), 0,
                              &deadline, CLOCK_MONOTONIC);
    if (rc >= 0 || errno == EAGAIN || errno == EINTR) {
        return true;
    }
    if (errno == ETIMEDOUT) {
        return false;
    }
    const timespec pause{0, POLL_NS};
    nanosleep(&pause, nullptr);
    return true;
}

// The slots of `handles` (MemoryHandles) with the versions of `versions`;
// false with an exception set.
bool gather_watched(PyObject* handles, PyObject* versions, std::vector<Watched>& out) {
    PyRef handle_list(PySequence_Fast(handles, "handles must be a sequence"));
    PyRef version_list(handle_list ? PySequence_Fast(versions, "versions must be a sequence") : nullptr);
    if (!version_list) {
        return false;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(handle_list.get());
    if (PySequence_Fast_GET_SIZE(version_list.get()) != count) {
        PyErr_SetString(PyExc_ValueError, "handles and versions differ in length");
        return false;
    }
    out.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const unsigned long version = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(version_list.get(), i));
        if ((version == static_cast<unsigned long>(-1) && PyErr_Occurred()) ||
            !watch_handle(PySequence_Fast_GET_ITEM(handle_list.get(), i), static_cast<uint32_t>(version), out)) {
            return false;
        }
    }
    return true;
}

// One posted call being watched: a view of its record kept in use while the
// GIL is let go, how it waits and the word's value it was left at.
struct WatchedCall {
    PyRef call;
    FunctionRecord record{nullptr};
    WaitMode mode;
    uint32_t expected;

    std::atomic<uint32_t>& word() const { return waited_word(record, mode); }
};

// The calls of `calls` (PendingCalls) that are still posted in this
// process, into `out`; those that are not are of no interest to a watcher.
// False with an exception set.
bool gather_calls(PyObject* calls, std::vector<WatchedCall>& out) {
    PyRef list(PySequence_Fast(calls, "calls must be a sequence"));
    if (!list) {
        return false;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(list.get());
    out.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(list.get(), i);
        if (!PyObject_TypeCheck(item, pending_call_type)) {
            PyErr_SetString(PyExc_TypeError, "calls must be PendingCall objects");
            return false;
        }
        const StartedCall* started = as_pending_call(item)->started;
        if (!started || started->forked() || !started->call.posted()) {
            continue;
        }
        WatchedCall& watched = out.emplace_back(WatchedCall{PyRef::borrow(item), FunctionRecord(nullptr),
                                                            started->call.mode, started->seen});
        watched.record.object = shm::ObjectUse(&*started->record.object);
    }
    std::sort(out.begin(), out.end(), [](const WatchedCall& a, const WatchedCall& b) {
        return std::less<const void*>()(&*a.record.object, &*b.record.object);
    });
    return true;
}

// Without the GIL: marks every watched call's waiter asleep, so that the
// serving side wakes the word, taking each record's mutex once for all of
// its calls (`calls` are in the order of their records); false when one
// moved meanwhile.
bool mark_calls_asleep(std::vector<WatchedCall>& calls, const timespec& deadline) {
    for (auto first = calls.begin(); first != calls.end();) {
        FunctionRecord& record = first->record;
        const auto last = std::find_if(first, calls.end(), [&record](const WatchedCall& call) {
            return &*call.record.object != &*record.object;
        });
        if (lock_record(record, deadline) != 0) {
            return false;
        }
        const bool unchanged = std::all_of(first, last, [](WatchedCall& call) {
            return mark_asleep_locked(call.record, call.mode, call.expected);
        });
        pthread_mutex_unlock(&record.shm()->mutex);
        if (!unchanged) {
            return false;
        }
        first = last;
    }
    return true;
}

// The watched calls whose word moved from what they were left at: a new list.
PyObject* moved_calls(const std::vector<WatchedCall>& calls) {
    PyRef moved(PyList_New(0));
    for (const WatchedCall& call : calls) {
        if (moved && call.word().load(std::memory_order_acquire) != call.expected &&
            PyList_Append(moved.get(), call.call.get()) < 0) {
            moved.reset();
        }
    }
    return moved.release();
}

// One side of a queue being waited for: the (handle, put) pair the loop
// gave, the queue's view kept while the GIL is let go, and, once this
// process counts as a sleeper there, the word's value to sleep on.
struct WatchedQueue {
    PyRef wait;
    queues::MapRef map;
    queues::Side side = queues::Side::Get;
    uint32_t seen = 0;
    bool counted = false;
    bool ready = false;  // its side can go on, or its handle can tell why not
};

// Under the queue's mutex, counts the watcher as one of the queue's
// sleepers, so that the other side wakes it as it wakes any, unless its
// side can go on already. A failure marks the wait ready: the loop's own
// try meets it and tells its task.
void count_queue_watcher(WatchedQueue& watched) {
    queues::Locked locked(*watched.map);
    if (!locked.lock()) {
        PyErr_Clear();
        watched.ready = true;
        return;
    }
    if (queues::may_go_on(*watched.map, watched.side)) {
        watched.ready = true;
    } else if (queues::count_sleeper(*watched.map, watched.side, watched.seen)) {
        watched.counted = true;
    } else {
        PyErr_Clear();
        watched.ready = true;
    }
}

// After the sleep: the count taken back, and whether the side can go on.
void uncount_queue_watcher(WatchedQueue& watched) {
    queues::Locked locked(*watched.map);
    if (!locked.lock()) {
        PyErr_Clear();
        watched.ready = true;  // the count stays until this participant's repair
        return;
    }
    queues::uncount_sleeper(*watched.map, watched.side);
    watched.counted = false;
    watched.ready = queues::may_go_on(*watched.map, watched.side);
}

// The waits of `waits`, (QueueHandle, put) pairs, each counted as a
// sleeper or found ready, into `out`; false with an exception set.
bool gather_queues(PyObject* waits, std::vector<WatchedQueue>& out) {
    PyRef list(PySequence_Fast(waits, "queues must be a sequence"));
    if (!list) {
        return false;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(list.get());
    out.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* wait = PySequence_Fast_GET_ITEM(list.get(), i);
        PyObject* handle;
        int put;
        if (!PyTuple_Check(wait) || !PyArg_ParseTuple(wait, "O!p:queues", queues::queue_handle_type, &handle, &put)) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_TypeError, "queues must hold (QueueHandle, bool) pairs");
            }
            return false;
        }
        WatchedQueue& watched = out.emplace_back();
        watched.wait = PyRef::borrow(wait);
        watched.side = put ? queues::Side::Put : queues::Side::Get;
        queues::QueueMap* map = queues::as_handle(handle)->map;
        if (!map) {
            watched.ready = true;  // closed: its task's try says so
            continue;
        }
        watched.map = queues::MapRef(map);
        count_queue_watcher(watched);
    }
    return true;
}

bool any_ready(const std::vector<WatchedQueue>& watched) {
    return std::any_of(watched.begin(), watched.end(), [](const WatchedQueue& queue) { return queue.ready; });
}

// The count of every queue waited for taken back; the waits whose side can
// go on are appended to `moved` (when there is one). False with an
// exception set, or without `moved`.
bool settle_queues(std::vector<WatchedQueue>& watched, PyObject* moved) {
    for (WatchedQueue& queue : watched) {
        if (queue.counted) {
            uncount_queue_watcher(queue);
        }
    }
    if (!moved) {
        return false;
    }
    for (const WatchedQueue& queue : watched) {
        if (queue.ready && PyList_Append(moved, queue.wait.get()) < 0) {
            return false;
        }
    }
    return true;
}

// _wait_any(handles, versions, bell, timeout, calls=(), queues=()): sleeps,
// without the GIL, until a slot's version differs from the one given for
// it, the word of one of the pending `calls` moves, one of the `queues`
// waits ((QueueHandle, put) pairs) can go on, the bell rings from `bell`,
// or `timeout` seconds pass. Returns the calls whose word moved, then the
// queue waits that can go on.
PyObject* wait_for_any_slot(PyObject*, PyObject* args) {
    PyObject* handles;
    PyObject* versions;
    unsigned int rung;
    double timeout;
    PyObject* calls = nullptr;
    PyObject* queue_waits = nullptr;
    if (!PyArg_ParseTuple(args, "OOId|OO:_wait_any", &handles, &versions, &rung, &timeout, &calls, &queue_waits)) {
        return nullptr;
    }
    make_all_held_wakes();  // nobody sleeps while servers wait to be woken for calls posted
    std::vector<Watched> watched;
    std::vector<WatchedCall> watched_calls;
    std::vector<WatchedQueue> watched_queues;
    if (!gather_watched(handles, versions, watched) || (calls && !gather_calls(calls, watched_calls))) {
        return nullptr;
    }
    // Counted as sleepers from here on: every path below takes the counts back.
    const bool gathered = !queue_waits || gather_queues(queue_waits, watched_queues);
    PyRef error(gathered ? nullptr : take_pending_exception().release());
    std::vector<futex_waitv> waiters;
    waiters.push_back(waiter_on(&watch_bell, rung));
    bool asleep = gathered && !any_ready(watched_queues);
    for (const Watched& slot : watched) {
        uint32_t expected;
        if (!asleep || !mark_waiting(slot.word(), slot.version, expected)) {
            asleep = false;
            break;
        }
        if (waiters.size() <= MAX_WORDS) {
            waiters.push_back(waiter_on(slot.word(), expected));
        }
    }
    for (const WatchedQueue& queue : watched_queues) {
        if (queue.counted && waiters.size() <= MAX_WORDS) {
            waiters.push_back(waiter_on(queues::word_of(queue.map->q(), queue.side), queue.seen));
        }
    }
    const size_t words = watched.size() + watched_calls.size() + watched_queues.size();
    const bool polling = words > MAX_WORDS;
    const long nanoseconds = timeout > 0 ? static_cast<long>(std::min(timeout, 3600.0) * 1e9) : 0;
    const timespec deadline = shm::deadline_after(polling ? std::min(nanoseconds, POLL_NS) : nanoseconds);
    if (asleep) {
        shm::without_gil([&] {
            if (!mark_calls_asleep(watched_calls, deadline)) {
                return;
            }
            for (const WatchedCall& call : watched_calls) {
                if (waiters.size() <= MAX_WORDS) {
                    waiters.push_back(waiter_on(&call.word(), call.expected));
                }
            }
            sleep_on_all(waiters, deadline);
        });
    }
    const bool signalled = !error && PyErr_CheckSignals() < 0;
    if (signalled) {
        error = take_pending_exception();
    }
    PyRef moved(error ? nullptr : moved_calls(watched_calls));
    if (!moved && !error) {
        error = take_pending_exception();
    }
    const bool settled = settle_queues(watched_queues, moved ? moved.get() : nullptr);
    if (error) {
        raise_exception(std::move(error));
        return nullptr;
    }
    return settled ? moved.release() : nullptr;
}

// _bell(): the bell's count, for a watcher to sleep on.
PyObject* bell_count(PyObject*, PyObject*) { return PyLong_FromUnsignedLong(watch_bell.load(std::memory_order_acquire)); }

// _ring(): wakes every watcher of this process to look at its waits again,
// and the servers of the calls posted meanwhile.
PyObject* ring_watchers(PyObject*, PyObject*) {
    make_all_held_wakes();
    watch_bell.fetch_add(1, std::memory_order_acq_rel);
    futex::wake(&watch_bell, FUTEX_BITSET_MATCH_ANY);
    Py_RETURN_NONE;
}

// _wake_servers(): wakes the servers of the calls this process posted for an
// event loop since the last wake, once for all of them.
PyObject* wake_held_servers(PyObject*, PyObject*) {
    make_all_held_wakes();
    Py_RETURN_NONE;
}

}  // namespace
