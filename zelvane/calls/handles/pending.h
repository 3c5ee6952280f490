// FunctionHandle._start(): a call posted without waiting, for an event loop.
// The loop posts the call itself, collects its reply with poll() once the
// watcher thread (loop/watch.h), which sleeps on the words of many such
// calls at once, says it moved, and gives it up on a timeout or a
// cancellation, exactly as a synchronous call would.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sched.h>

#include <memory>
#include <new>

#include "calls/handles/handle.h"

namespace {

// How long a look waits for a record's mutex held by someone else before it
// says "not yet": a holder only ever changes a few words under it.
constexpr long MUTEX_MOMENT_NS = 500000;

struct StartedCall;

// The started calls whose looks held back a wake of their record's call
// word: an event loop posts calls one after another in one callback, and
// their servers are woken once for all of them (make_all_held_wakes), not
// once per call. Changed under the GIL only.
StartedCall* calls_holding_wakes = nullptr;

// Everything a started call needs while its caller does other things, at
// one address: the call refers to the record, its arguments to the buffer.
struct StartedCall {
    StartedCall(PyObject* handle_object, HandleCall& prepared)
        : handle(PyRef::borrow(handle_object)), name(std::move(prepared.name)),
          record(std::move(prepared.record)), limited(prepared.limited), limit(prepared.limit),
          call(record, nullptr, 0, &buffer, prepared.with_keywords, nullptr) {
        call.queues = false;
    }
    StartedCall(const StartedCall&) = delete;
    StartedCall& operator=(const StartedCall&) = delete;
    ~StartedCall() {
        if (forked()) {
            call.disown();
        } else {
            make_held_wakes();
        }
    }

    PyRef handle;  // whose spare buffer the call took, and gives back
    PyRef name;    // keeps record.name alive
    FunctionRecord record;
    bool limited;
    timespec limit;
    CallBuffer buffer;
    CallArguments arguments;
    Call call;
    uint32_t seen = 0;  // the waited word as the last look left it
    // Set when a look found the call over with a large result, which the
    // next poll, on another thread, collects without looking again.
    WaitEnd ended_as = WaitEnd::KeepWaiting;
    pid_t starter = shm::this_process();
    uint32_t held_wakes = 0;  // the waiters of the call word its looks did not wake yet
    bool holding = false;     // on the list of calls holding wakes
    StartedCall* next_holding = nullptr;

    bool forked() const { return starter != shm::this_process(); }

    // After a look: on the list while it holds wakes back.
    void note_held_wakes() {
        if (held_wakes != 0 && !holding) {
            holding = true;
            next_holding = std::exchange(calls_holding_wakes, this);
        }
    }

    // Makes the wakes its looks held back, and leaves the list.
    void make_held_wakes() noexcept {
        if (holding) {
            StartedCall** link = &calls_holding_wakes;
            while (*link && *link != this) {
                link = &(*link)->next_holding;
            }
            if (*link) {
                *link = next_holding;
            }
            holding = false;
        }
        if (held_wakes != 0) {
            futex::wake(&record.shm()->call, std::exchange(held_wakes, 0));
        }
    }
    const timespec* time_limit() const { return limited ? &limit : nullptr; }
    FunctionHandleObject* owner() const { return as_function_handle(handle.get()); }
    std::atomic<uint32_t>& word() const { return waited_word(record, call.mode); }
};

struct PendingCallObject {
    PyObject_HEAD
    StartedCall* started;  // null once the call ended
    // Set while a look lets the GIL go: another thread must not end the
    // call under it.
    bool looking;
};

PyTypeObject* pending_call_type = nullptr;

// Makes the wakes that every started call of this process held back.
void make_all_held_wakes() noexcept {
    while (calls_holding_wakes) {
        calls_holding_wakes->make_held_wakes();
    }
}

// A forked child's calls of its parent wake nobody: the list starts empty.
void forget_held_wakes_after_fork() noexcept { calls_holding_wakes = nullptr; }

[[maybe_unused]] const int held_wakes_fork_handler = pthread_atfork(nullptr, nullptr, forget_held_wakes_after_fork);

PendingCallObject* as_pending_call(PyObject* self) { return reinterpret_cast<PendingCallObject*>(self); }

// Looks at the call once under the record's mutex, waiting a moment at most
// for it: Done when the call ended, KeepWaiting otherwise (the mutex staying
// busy included), Failed with an exception set. The wakes that the change
// calls for are held back (make_all_held_wakes).
WaitEnd look_now(StartedCall& started) {
    FunctionRecord& record = started.record;
    int rc = try_lock_record(record);
    if (rc == EBUSY) {
        rc = shm::without_gil([&record] { return lock_record(record, shm::deadline_after(MUTEX_MOMENT_NS)); });
    }
    if (rc == ETIMEDOUT) {
        return WaitEnd::KeepWaiting;
    }
    if (rc != 0) {
        shm::set_lock_error(rc, record.name);
        return WaitEnd::Failed;
    }
    Call& call = started.call;
    auto look = [&call](CallWord word) { return call.look(word); };
    const Step step = look_and_unlock(record, look, started.seen, &call.mode, &started.held_wakes);
    started.note_held_wakes();
    return step == Step::Done ? WaitEnd::Done : WaitEnd::KeepWaiting;
}

// Watches the word a posted call waits on for up to `seconds`, without the
// GIL, so that a reply that comes at once is collected on the spot.
void watch_for_reply(const StartedCall& started, double seconds) {
    if (!started.call.posted() || !(seconds > 0)) {
        return;
    }
    make_all_held_wakes();  // its server may be among them
    const long nanoseconds = static_cast<long>(std::min(seconds, 0.01) * 1e9);
    const bool peer_here = started.record.shm()->callers.server_cpu.load(std::memory_order_relaxed) == sched_getcpu();
    const std::atomic<uint32_t>& word = started.word();
    const uint32_t seen = started.seen;
    shm::without_gil([&] { futex::watch(&word, seen, nanoseconds, peer_here); });
}

// Ends the pending call, whose wait ended as `how`: its result, or null with
// its exception set.
PyObject* end_pending_call(PendingCallObject* pending, WaitEnd how) {
    std::unique_ptr<StartedCall> started(std::exchange(pending->started, nullptr));
    FunctionHandleObject* handle = started->owner();
    CallEndedBy ended_by;
    PyObject* result = call_outcome(how, started->call, &handle->buffer, started->buffer, started->arguments, ended_by);
    if (ended_by == CallEndedBy::RecordEnded) {
        handle->use.release();
    }
    return result;
}

// Whether a call that ended as `how` has a result of LARGE_COPY bytes or
// more to decode from its buffer.
bool large_result(const StartedCall& started, WaitEnd how) {
    const Call& call = started.call;
    if (how != WaitEnd::Done || call.end != CallEnd::Replied || call.reply_is_exception || !is_outside(call.reply)) {
        return false;
    }
    const OutsideMessage message = read_outside(call.reply);
    return static_cast<Outside>(message.kind) == Outside::Payload && message.length >= LARGE_COPY;
}

// Whether another thread is looking at the call; true with a RuntimeError.
bool looked_at_elsewhere(const PendingCallObject* pending) {
    if (pending->looking) {
        PyErr_SetString(PyExc_RuntimeError, "The call is being looked at by another thread.");
    }
    return pending->looking;
}

// The call of a pending call still under way in this process and not being
// looked at by another thread; null with a RuntimeError otherwise.
StartedCall* call_under_way(PendingCallObject* pending) {
    if (looked_at_elsewhere(pending)) {
        return nullptr;
    }
    if (!pending->started) {
        PyErr_SetString(PyExc_RuntimeError, "The call has ended already.");
        return nullptr;
    }
    if (pending->started->forked()) {
        PyErr_SetString(PyExc_RuntimeError, "The call was started by the parent of this process.");
        return nullptr;
    }
    return pending->started;
}

// Looks at the call of `pending` once, `spin` seconds first: the pending
// call itself while it has not ended (nor ended with a large result that
// `defer_large` leaves for the next look, `ready` then set), its result once
// it has, null with its exception set.
PyObject* look_at_pending(PendingCallObject* pending, double spin, bool checks, bool defer_large) {
    StartedCall* started = call_under_way(pending);
    if (!started) {
        return nullptr;
    }
    if (started->ended_as != WaitEnd::KeepWaiting) {
        return end_pending_call(pending, started->ended_as);
    }
    pending->looking = true;
    watch_for_reply(*started, spin);
    WaitEnd how = look_now(*started);
    if (how == WaitEnd::KeepWaiting && checks) {
        how = look_between_slices(started->record, started->call, started->time_limit());
    }
    pending->looking = false;
    if (defer_large && large_result(*started, how)) {
        started->ended_as = how;
        how = WaitEnd::KeepWaiting;
    }
    if (how == WaitEnd::KeepWaiting) {
        PyObject* self = reinterpret_cast<PyObject*>(pending);
        Py_INCREF(self);
        return self;
    }
    return end_pending_call(pending, how);
}

// poll(spin=0.0, checks=False, defer_large=False, /): the call's result, or
// its exception raised, once it ended; the call itself while it has not.
// `spin` seconds (10 ms at most) are spent watching for the reply first;
// `checks` adds what a waiter looks at between slices (a dead server, the
// time limit). With `defer_large`, a call that ended with a large result is
// returned too, with `ready` set: the next poll collects it, on a thread
// that an event loop does not wait for. Its arguments are positional: it is
// called for every reply.
PyObject* pending_call_poll(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (count > 3) {
        PyErr_Format(PyExc_TypeError, "poll expected at most 3 arguments, got %zd", count);
        return nullptr;
    }
    const double spin = count > 0 ? PyFloat_AsDouble(args[0]) : 0.0;
    const int checks = count > 1 ? PyObject_IsTrue(args[1]) : 0;
    const int defer_large = count > 2 ? PyObject_IsTrue(args[2]) : 0;
    if ((spin == -1.0 || checks < 0 || defer_large < 0) && PyErr_Occurred()) {
        return nullptr;
    }
    return look_at_pending(as_pending_call(self), spin, checks != 0, defer_large != 0);
}

double monotonic_seconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// What a look at a posted call found: 1 once it ended, with `ok` True and
// its result in `outcome`, False and its exception, or None for a large
// result deferred; 0 while it goes on; -1 with an exception set when the
// look could not be made.
int look_for_end(PendingCallObject* pending, PyObject*& ok, PyRef& outcome) {
    outcome = PyRef(look_at_pending(pending, 0.0, false, true));
    ok = Py_True;
    if (!outcome) {
        outcome = take_pending_exception();  // the call's to raise, whatever it is
        ok = Py_False;
        if (!outcome) {
            PyErr_SetString(PyExc_SystemError, "a look at a call failed without an exception");
            return -1;
        }
    } else if (outcome.get() == reinterpret_cast<PyObject*>(pending)) {
        if (!pending->started || pending->started->ended_as == WaitEnd::KeepWaiting) {
            return 0;
        }
        outcome = PyRef::borrow(Py_None);
        ok = Py_None;
    }
    return 1;
}

// Takes `key` out of `posted`, where it may no longer be: the look that
// ended its call may have run code of the caller's (a result's decoding).
bool forget_posted(PyObject* posted, PyObject* key) {
    if (PyDict_DelItem(posted, key) == 0) {
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

// Looks at each call of `posted`, a dict from the PendingCalls an event loop
// posted to its own records of them, once, in order, until one ends after
// time.monotonic() passed `until`. Those that ended leave the dict, and go to
// on_ended(pending, record, ok, outcome): ok True with the result, False
// with the exception, None for a large result that a later poll() collects
// on another thread; false from it stops the looks. False with an exception
// set when something failed.
template <typename OnEnded>
bool for_each_ended(PyObject* posted, double until, OnEnded&& on_ended) {
    PyRef keys(PyDict_Keys(posted));
    if (!keys) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        if (!PyObject_TypeCheck(key, pending_call_type)) {
            PyErr_SetString(PyExc_TypeError, "_collect expects PendingCall keys");
            return false;
        }
        PyObject* found = PyDict_GetItemWithError(posted, key);
        if (!found) {
            if (PyErr_Occurred()) {
                return false;
            }
            continue;  // taken out by code a decoding ran
        }
        PyRef record = PyRef::borrow(found);
        PyObject* ok;
        PyRef outcome;
        const int ended = look_for_end(as_pending_call(key), ok, outcome);
        if (ended <= 0) {
            if (ended < 0) {
                return false;
            }
            continue;
        }
        if (!forget_posted(posted, key) || !on_ended(key, record.get(), ok, outcome.get())) {
            return false;
        }
        if (monotonic_seconds() >= until) {
            break;
        }
    }
    return true;
}

// _collect(posted, until, /): the calls of `posted` (see for_each_ended)
// that ended, taken out of it: a list of (record, ok, outcome). One call
// for all the posted calls of a loop, so that a wake-up of the loop costs
// its Python code no look of its own per call.
PyObject* collect_posted(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (count != 2 || !PyDict_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "_collect expects a dict and a time");
        return nullptr;
    }
    const double until = PyFloat_AsDouble(args[1]);
    if (until == -1.0 && PyErr_Occurred()) {
        return nullptr;
    }
    PyRef ended(PyList_New(0));
    auto gather = [&ended](PyObject*, PyObject* record, PyObject* ok, PyObject* outcome) {
        PyRef entry(PyTuple_Pack(3, record, ok, outcome));
        return entry && PyList_Append(ended.get(), entry.get()) == 0;
    };
    if (!ended || !for_each_ended(args[0], until, gather)) {
        return nullptr;
    }
    return ended.release();
}

// Withdraws a request not yet taken, has the serving side drop the reply of
// one being executed, or drops a reply not collected: the record stays
// usable. Nothing is touched for a call of the parent of a forked child, nor
// while the interpreter shuts down, when a thread that lets the GIL go never
// gets it back: the areas of a caller that has ended are reclaimed as those
// of a dead one.
void give_up_started(PendingCallObject* pending) {
    std::unique_ptr<StartedCall> started(std::exchange(pending->started, nullptr));
    if (!started) {
        return;
    }
    if (started->forked() || shm::interpreter_finalizing()) {
        started->call.disown();
        return;
    }
    started->call.give_up();
}

PyObject* pending_call_give_up(PyObject* self, PyObject*) {
    PendingCallObject* pending = as_pending_call(self);
    if (looked_at_elsewhere(pending)) {
        return nullptr;
    }
    give_up_started(pending);
    Py_RETURN_NONE;
}

PyObject* pending_call_ended(PyObject* self, void*) { return PyBool_FromLong(as_pending_call(self)->started == nullptr); }

PyObject* pending_call_ready(PyObject* self, void*) {
    const StartedCall* started = as_pending_call(self)->started;
    return PyBool_FromLong(started && started->ended_as != WaitEnd::KeepWaiting);
}

void pending_call_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    give_up_started(as_pending_call(self));
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* pending_call_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'zelvane.PendingCall' instances");
    return nullptr;
}

PyMethodDef pending_call_methods[] = {
    {"poll", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pending_call_poll)), METH_FASTCALL,
     nullptr},
    {"give_up", pending_call_give_up, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pending_call_getset[] = {
    {"ended", pending_call_ended, nullptr, nullptr, nullptr},
    {"ready", pending_call_ready, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pending_call_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pending_call_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pending_call_dealloc)},
    {Py_tp_methods, pending_call_methods},
    {Py_tp_getset, pending_call_getset},
    {0, nullptr},
};

PyType_Spec pending_call_spec = {
    "zelvane.PendingCall", sizeof(PendingCallObject), 0, Py_TPFLAGS_DEFAULT, pending_call_slots,
};

// A started call's spare buffer goes back to its handle when it could not
// be posted: nobody else has seen it.
void hand_back_unposted(StartedCall& started) {
    CallBuffer& spare = started.owner()->buffer;
    if (!spare.fd.valid()) {
        spare = std::move(started.buffer);
    }
}

// _start(*args, timeout=None, **kwargs): posts the call the handle's
// __call__ would make, without waiting for anything: a PendingCall, or None
// when there is no room for it right now (the record busy, no free area of
// a pool, other callers queued). The outcomes of a call that ends at once
// are the synchronous call's.
PyObject* function_handle_start(PyObject* self, PyObject* args, PyObject* kwargs) {
    HandleCall prepared;
    if (!prepare_handle_call(self, args, kwargs, prepared)) {
        return nullptr;
    }
    FunctionHandleObject* handle = as_function_handle(self);
    if (!may_call_from_this_thread(prepared.record, handle->st)) {
        return nullptr;
    }
    PyRef object(reinterpret_cast<PyObject*>(PyObject_New(PendingCallObject, pending_call_type)));
    if (!object) {
        return nullptr;
    }
    PendingCallObject* pending = as_pending_call(object.get());
    pending->looking = false;
    pending->started = new (std::nothrow) StartedCall(self, prepared);
    if (!pending->started) {
        return PyErr_NoMemory();
    }
    StartedCall& started = *pending->started;
    if (!prepare_arguments(started.record, prepared.posted.get(), &handle->buffer, started.buffer,
                           started.arguments)) {
        return nullptr;
    }
    started.call.args = started.arguments.data;
    started.call.args_size = started.arguments.size;
    hold_caller_lock(started.record);
    const WaitEnd how = look_now(started);
    if (how != WaitEnd::KeepWaiting) {
        return end_pending_call(pending, how);
    }
    if (!started.call.posted()) {
        hand_back_unposted(started);
        Py_RETURN_NONE;
    }
    return object.release();
}

// Tells the servers of a pool that the posted call's caller has more calls
// waiting to take its place once its reply is collected.
void tell_more_behind(PyObject* pending_object) {
    const StartedCall* started = as_pending_call(pending_object)->started;
    if (started && started->record.pool() && started->call.area >= 0) {
        PoolArea& area = started->record.pool_area(static_cast<uint32_t>(started->call.area));
        std::atomic_ref(area.more_behind).store(1, std::memory_order_relaxed);
    }
}

// Creates the pending call type (not exposed in the module); false with an
// exception set.
bool make_pending_call_type() {
    pending_call_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&pending_call_spec));
    return pending_call_type != nullptr;
}

}  // namespace
