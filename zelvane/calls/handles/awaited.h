// The book of the calls an event loop awaits (zelvane._CallBook), which
// the loop's runtime in zelvane.aio is built on: the calls it posted and
// those waiting for room. Posting a call, ending it when its reply came and
// posting the next waiting call in its place run here, so that a loop
// awaiting many calls spends no Python code of its own on each; the rarer
// turns (timers, helper threads, closed handles) stay with the runtime's
// Python methods, which these call by name.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <utility>

#include "calls/handles/awaited_call.h"
#include "calls/handles/handle.h"
#include "calls/handles/pending.h"
#include "platform/errors.h"
#include "py_ref.h"

namespace {
namespace awaited {

// How long the loop watches for the reply of a call it posted while no other
// is in flight and none was started in the same turn of the loop: a server
// that answers at once is answered on the spot, with no thread woken.
constexpr double REPLY_SPIN = 0.00005;

struct BookObject {
    PyObject_HEAD
    PyObject* loop;
    PyObject* posted;     // PendingCall -> call, the calls the loop posted
    PyObject* in_flight;  // handle -> how many of its calls are posted
    PyObject* waiting;    // handle -> deque of its calls waiting for room
    PyObject* wakeups;    // of the tasks awaiting the calls' futures, made with the first
    char ring_due;
    char collect_due;
};

PyTypeObject* book_type = nullptr;
PyObject* deque_type = nullptr;
PyObject* time_left_function = nullptr;

BookObject* as_book(PyObject* self) { return reinterpret_cast<BookObject*>(self); }

// --- the book's counts and queues

bool is_true_attribute(PyObject* object, PyObject* name, bool& value) {
    PyRef attribute(PyObject_GetAttr(object, name));
    const int truth = attribute ? PyObject_IsTrue(attribute.get()) : -1;
    value = truth > 0;
    return truth >= 0;
}

// One call fewer of `handle` in flight.
bool out_of_flight(BookObject* book, PyObject* handle) {
    PyObject* count = PyDict_GetItemWithError(book->in_flight, handle);
    if (!count) {
        if (!PyErr_Occurred()) {
            PyErr_SetObject(PyExc_KeyError, handle);
        }
        return false;
    }
    const long left = PyLong_AsLong(count) - 1;
    if (left == -2 && PyErr_Occurred()) {
        return false;
    }
    if (left == 0) {
        return PyDict_DelItem(book->in_flight, handle) == 0;
    }
    PyRef stored(PyLong_FromLong(left));
    return stored && PyDict_SetItem(book->in_flight, handle, stored.get()) == 0;
}

bool into_flight(BookObject* book, PyObject* handle) {
    PyObject* count = PyDict_GetItemWithError(book->in_flight, handle);
    if (!count && PyErr_Occurred()) {
        return false;
    }
    const long now = count ? PyLong_AsLong(count) : 0;
    if (now == -1 && PyErr_Occurred()) {
        return false;
    }
    PyRef stored(PyLong_FromLong(now + 1));
    return stored && PyDict_SetItem(book->in_flight, handle, stored.get()) == 0;
}

// Has the watcher look at the posted calls again, once for all that this
// turn of the loop posts.
bool ring_soon(BookObject* book) {
    return book->ring_due || run_method(reinterpret_cast<PyObject*>(book), names.ring_soon);
}

bool start_timer(BookObject* book, CallObject* call) {
    return call->timeout == Py_None || run_method(reinterpret_cast<PyObject*>(book), names.start_timer, call);
}

bool cancel_timer(BookObject* book, CallObject* call) {
    return call->timer == Py_None || run_method(reinterpret_cast<PyObject*>(book), names.cancel_timer, call);
}

// A posted call is over (still counted in flight): the synchronous handle it
// used, free again, for the caller to give back; null with an exception set.
PyRef forget(BookObject* book, CallObject* call) {
    call->state = OVER;
    set_field(call->pending, Py_None);
    if (!cancel_timer(book, call)) {
        return PyRef();
    }
    PyRef sync(std::exchange(call->sync, Py_None));
    Py_INCREF(Py_None);
    return sync;
}

// --- posting

// The time a call has left before its deadline (zelvane's asyncio part
// keeps how a deadline is written).
bool load_time_left() {
    PyRef common(PyImport_ImportModule("zelvane._aio_common"));
    time_left_function = common ? PyObject_GetAttrString(common.get(), "_time_left") : nullptr;
    return time_left_function != nullptr;
}

// sync._start(*args, ...) for the call: a PendingCall, None when there is
// no room, the result of a call that ended at once; null with an exception
// set.
PyRef start_through(PyObject* sync, const CallObject* call) {
    const bool plain = call->timeout == Py_None && !(PyDict_Check(call->kwargs) && PyDict_GET_SIZE(call->kwargs));
    if (plain && Py_IS_TYPE(sync, function_handle_type) && PyTuple_CheckExact(call->args)) {
        return PyRef(function_handle_start(sync, call->args, nullptr));
    }
    PyRef start(PyObject_GetAttr(sync, names.start));
    if (!start || plain) {
        return start ? PyRef(PyObject_Call(start.get(), call->args, nullptr)) : PyRef();
    }
    PyRef keywords(PyDict_Check(call->kwargs) ? PyDict_Copy(call->kwargs) : PyDict_New());
    if (!keywords || (!time_left_function && !load_time_left())) {
        return PyRef();
    }
    PyRef left(PyObject_CallOneArg(time_left_function, call->timeout));
    if (!left || PyDict_SetItem(keywords.get(), names.timeout, left.get()) < 0) {
        return PyRef();
    }
    return PyRef(PyObject_Call(start.get(), call->args, keywords.get()));
}

// A call that could not be posted: its synchronous handle goes back, and a
// call that ended at once (its outcome set) is over.
bool not_posted(BookObject* book, CallObject* call, PyObject* sync) {
    if (!run_method(call->handle, names.give_back, sync)) {
        return false;
    }
    if (call->outcome == Py_None) {
        return true;
    }
    call->state = OVER;
    if (!cancel_timer(book, call)) {
        return false;
    }
    if (call->future == Py_None) {
        return true;
    }
    PyRef outcome = PyRef::borrow(call->outcome);
    PyRef future = PyRef::borrow(call->future);
    return settle(future.get(), PyTuple_GET_ITEM(outcome.get(), 0) == Py_True, PyTuple_GET_ITEM(outcome.get(), 1));
}

// Posts the call, through `sync` when not None (a spare synchronous handle
// of the call's handle): 1 when posted (its state POSTED) or ended at once
// (its outcome in call.outcome, or its future settled), 0 when there is no
// room, -1 with an exception set. A call posted `in_place` of one of its
// handle's that ended takes its count in flight. Nobody watches for its
// reply yet (watch_posted).
int post_unwatched(BookObject* book, CallObject* call, PyObject* given_sync, bool in_place) {
    PyRef sync = PyRef::borrow(given_sync);
    if (sync.get() == Py_None) {
        sync = call_method(call->handle, names.spare_handle);
        if (!sync) {  // the name gone, for example: the caller's to see
            sync = PyRef::borrow(Py_None);
            if (!fail_with_pending_exception(call)) {
                return -1;
            }
        }
    }
    PyRef started;
    if (sync.get() != Py_None) {
        started = start_through(sync.get(), call);
        if (!started && !fail_with_pending_exception(call)) {
            return -1;
        }
    }
    if (started && started.get() != Py_None && !Py_IS_TYPE(started.get(), pending_call_type)) {
        // Ended at once with its result.
        if (!set_outcome(call, true, started.get())) {
            return -1;
        }
        started.reset();
    }
    if (!started || started.get() == Py_None) {
        return not_posted(book, call, sync.get()) ? call->outcome != Py_None : -1;
    }
    call->state = POSTED;
    set_field(call->pending, started.get());
    Py_SETREF(call->sync, sync.release());
    if (PyDict_SetItem(book->posted, started.get(), reinterpret_cast<PyObject*>(call)) < 0 ||
        (!in_place && !into_flight(book, call->handle))) {
        return -1;
    }
    return 1;
}

// A posted call's time limit is kept, and the watcher looks at it.
bool watch_posted(BookObject* book, CallObject* call) {
    return start_timer(book, call) && (book->collect_due || ring_soon(book));
}

// Posts the call (see post_unwatched) and watches for its reply.
int post(BookObject* book, CallObject* call, PyObject* sync, bool in_place) {
    const int posted = post_unwatched(book, call, sync, in_place);
    if (posted > 0 && call->state == POSTED && !watch_posted(book, call)) {
        return -1;
    }
    return posted;
}

// A call that found no room waits for one of the loop's own calls of its
// handle to end; with none in flight, a helper runs it.
bool wait_for_room(BookObject* book, CallObject* call) {
    PyObject* handle = call->handle;
    const int flying = PyDict_Contains(book->in_flight, handle);
    if (flying <= 0) {
        return flying == 0 && run_method(reinterpret_cast<PyObject*>(book), names.queue_for_helper, call);
    }
    PyRef waiting = PyRef::borrow(PyDict_GetItemWithError(book->waiting, handle));
    if (!waiting) {
        if (PyErr_Occurred()) {
            return false;
        }
        waiting = PyRef(PyObject_CallNoArgs(deque_type));
        if (!waiting || PyDict_SetItem(book->waiting, handle, waiting.get()) < 0) {
            return false;
        }
    }
    return run_method(waiting.get(), names.append, call) && start_timer(book, call) && ring_soon(book);
}

// Posts the first of the calls `waiting` for room in `handle` in place of a
// call of its own that ended, through `sync`, the synchronous handle that
// one left.
bool post_next(BookObject* book, PyObject* handle, PyObject* waiting, PyObject* sync) {
    PyObject* self = reinterpret_cast<PyObject*>(book);
    bool closed;
    if (!is_true_attribute(handle, names.closed, closed)) {
        return false;
    }
    if (closed) {  // the calls meet the closed handle
        PyRef one(PyLong_FromLong(1));
        return one && out_of_flight(book, handle) && run_method(self, names.post_waiting, handle, one.get(), sync);
    }
    PyRef through = PyRef::borrow(sync);
    while (true) {
        PyRef first(PySequence_GetItem(waiting, 0));
        if (!first || !Py_IS_TYPE(first.get(), call_type)) {
            if (first) {
                PyErr_SetString(PyExc_TypeError, "a call waiting for room is not an awaited call");
            }
            return false;
        }
        CallObject* call = as_call(first.get());
        const int posted = post(book, call, through.get(), true);
        if (posted <= 0) {
            if (posted < 0 || !out_of_flight(book, handle)) {
                return false;
            }
            const int flying = PyDict_Contains(book->in_flight, handle);
            return flying > 0 || (flying == 0 && run_method(self, names.hand_waiting_to_helpers, handle));
        }
        if (!call_method(waiting, names.popleft)) {
            return false;
        }
        const Py_ssize_t left = PyObject_Length(waiting);
        if (left < 0 || (left == 0 && PyDict_DelItem(book->waiting, handle) < 0)) {
            return false;
        }
        if (call->state == POSTED) {
            if (left > 0) {
                tell_more_behind(call->pending);
            }
            return true;
        }
        // A call that ended at once (its arguments refused, say) took no
        // place: the next one waiting tries it, through a spare handle.
        if (left == 0) {
            return out_of_flight(book, handle);
        }
        through = PyRef::borrow(Py_None);
    }
}

// A posted call, out of book.posted, ended as `ok`, `value`; the first call
// of its handle waiting for room is posted in its place, through the
// synchronous handle it leaves.
bool end_call(BookObject* book, CallObject* call, bool ok, PyObject* value) {
    PyRef keep_call = PyRef::borrow(reinterpret_cast<PyObject*>(call));
    PyRef handle = PyRef::borrow(call->handle);
    PyRef sync = forget(book, call);
    if (!sync) {
        return false;
    }
    PyRef future = PyRef::borrow(call->future);
    if (future.get() == Py_None ? !set_outcome(call, ok, value) : !settle(future.get(), ok, value)) {
        return false;
    }
    PyRef waiting = PyRef::borrow(PyDict_GetItemWithError(book->waiting, handle.get()));
    if (waiting) {
        return post_next(book, handle.get(), waiting.get(), sync.get());
    }
    return !PyErr_Occurred() && out_of_flight(book, handle.get()) &&
           run_method(handle.get(), names.give_back, sync.get());
}

// Looks whether the posted call ended, `spin` seconds first, and ends it if
// so (`ended`); false with an exception set.
bool look(BookObject* book, CallObject* call, double spin, bool checks, bool& ended) {
    ended = false;
    if (!Py_IS_TYPE(call->pending, pending_call_type)) {
        PyErr_SetString(PyExc_RuntimeError, "The call is not posted.");
        return false;
    }
    PyRef pending = PyRef::borrow(call->pending);
    PyRef result(look_at_pending(as_pending_call(pending.get()), spin, checks, true));
    const bool ok = static_cast<bool>(result);
    if (!ok) {
        result = take_pending_exception();  // the caller's to see, whatever it is
        if (!result) {
            PyErr_SetString(PyExc_SystemError, "a look at a call failed without an exception");
            return false;
        }
    }
    if (result.get() == pending.get()) {
        const StartedCall* started = as_pending_call(pending.get())->started;
        const bool ready = started && started->ended_as != WaitEnd::KeepWaiting;
        return !ready || run_method(reinterpret_cast<PyObject*>(book), names.collect_on_helper, call);
    }
    ended = true;
    return forget_posted(book->posted, pending.get()) && end_call(book, call, ok, result.get());
}

// --- the book's methods

bool check_book(BookObject* book) {
    if (!book->loop || !book->posted || !PyDict_Check(book->posted) || !book->in_flight ||
        !PyDict_Check(book->in_flight) || !book->waiting || !PyDict_Check(book->waiting)) {
        PyErr_SetString(PyExc_TypeError, "the book of awaited calls is not set up");
        return false;
    }
    return true;
}

// The awaited call passed as args[index]; null with a TypeError.
CallObject* call_argument(PyObject* const* args, Py_ssize_t index) {
    if (!Py_IS_TYPE(args[index], call_type)) {
        PyErr_SetString(PyExc_TypeError, "expected an awaited call");
        return nullptr;
    }
    return as_call(args[index]);
}

bool check_count(const char* method, Py_ssize_t count, Py_ssize_t least, Py_ssize_t most) {
    if (count < least || count > most) {
        PyErr_Format(PyExc_TypeError, "%s expected %zd to %zd arguments, got %zd", method, least, most, count);
        return false;
    }
    return true;
}

bool make_future(BookObject* book, CallObject* call) {
    if (!book->wakeups && !(book->wakeups = new_wakeups(book->loop))) {
        return false;
    }
    PyRef future(new_call_future(book->wakeups));
    if (!future) {
        return false;
    }
    Py_SETREF(call->future, future.release());
    return true;
}

// Whether the call is the only one to watch for: none posted and no other
// task called in this turn of the loop.
int spins(BookObject* book) {
    if (PyDict_GET_SIZE(book->posted) != 0) {
        return 0;
    }
    PyRef sole = call_method(reinterpret_cast<PyObject*>(book), names.sole_caller_this_turn);
    return sole ? PyObject_IsTrue(sole.get()) : -1;
}

// Posts, queues or holds a new call once it has its record.
bool place_call(BookObject* book, CallObject* call) {
    const int large = large_arguments(call);
    if (large != 0) {  // encoded and copied on a helper
        return large > 0 && make_future(book, call) &&
               run_method(reinterpret_cast<PyObject*>(book), names.queue_for_helper, call);
    }
    // A deadline that is no number stands for a timeout the handle refuses:
    // posted at once, the call meets the refusal without waiting for room.
    const bool refused = call->timeout != Py_None && !PyFloat_CheckExact(call->timeout);
    const int behind = refused ? 0 : PyDict_Contains(book->waiting, call->handle);
    if (behind != 0) {  // behind the calls of its handle that found no room, in turn
        return behind > 0 && make_future(book, call) && wait_for_room(book, call);
    }
    const int spin = spins(book);
    const int posted = spin < 0 ? -1 : post_unwatched(book, call, Py_None, false);
    if (posted < 0) {
        return false;
    }
    if (call->state == POSTED) {
        // A reply that comes at once is collected on the spot, no thread woken.
        bool ended = false;
        if ((spin && !look(book, call, REPLY_SPIN, false, ended)) || (!ended && !watch_posted(book, call))) {
            return false;
        }
    }
    if (call->outcome != Py_None) {
        return true;
    }
    return make_future(book, call) && (posted || wait_for_room(book, call));
}

// call(handle, args, kwargs, deadline, /): a call of `handle`, posted by the
// loop when there is room (its outcome in call.outcome when it ended at
// once), else waiting for room or queued for a helper; call.future tells
// the end.
PyObject* book_call(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    BookObject* book = as_book(self);
    if (!check_count("call", count, 4, 4) || !check_book(book)) {
        return nullptr;
    }
    if (!PyTuple_Check(args[1]) || (args[2] != Py_None && !PyDict_Check(args[2]))) {
        PyErr_SetString(PyExc_TypeError, "call expects a tuple of arguments and a dict of keywords");
        return nullptr;
    }
    PyRef call(new_call(args[0], args[1], args[2], args[3]));
    if (!call || !place_call(book, as_call(call.get()))) {
        return nullptr;
    }
    return call.release();
}

// _post(call, sync=None, in_place=False, /): posts the call (see post());
// whether it was posted or ended.
PyObject* book_post(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    BookObject* book = as_book(self);
    CallObject* call = check_count("_post", count, 1, 3) && check_book(book) ? call_argument(args, 0) : nullptr;
    if (!call) {
        return nullptr;
    }
    const int in_place = count > 2 ? PyObject_IsTrue(args[2]) : 0;
    if (in_place < 0) {
        return nullptr;
    }
    const int posted = post(book, call, count > 1 ? args[1] : Py_None, in_place != 0);
    return posted < 0 ? nullptr : PyBool_FromLong(posted);
}

// _look(call, spin=0.0, checks=False, /): looks whether the posted call
// ended, and ends it if so; whether it did.
PyObject* book_look(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    BookObject* book = as_book(self);
    CallObject* call = check_count("_look", count, 1, 3) && check_book(book) ? call_argument(args, 0) : nullptr;
    if (!call) {
        return nullptr;
    }
    const double spin = count > 1 ? PyFloat_AsDouble(args[1]) : 0.0;
    const int checks = count > 2 ? PyObject_IsTrue(args[2]) : 0;
    if ((spin == -1.0 && PyErr_Occurred()) || checks < 0) {
        return nullptr;
    }
    bool ended;
    return look(book, call, spin, checks != 0, ended) ? PyBool_FromLong(ended) : nullptr;
}

// _end(call, ok, value, /): ends a posted call taken out of posted.
PyObject* book_end(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    BookObject* book = as_book(self);
    CallObject* call = check_count("_end", count, 3, 3) && check_book(book) ? call_argument(args, 0) : nullptr;
    const int ok = call ? PyObject_IsTrue(args[1]) : -1;
    if (ok < 0 || !end_call(book, call, ok != 0, args[2])) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// _forget(call, /): a posted call is over; the synchronous handle it used.
PyObject* book_forget(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    BookObject* book = as_book(self);
    CallObject* call = check_count("_forget", count, 1, 1) ? call_argument(args, 0) : nullptr;
    return call ? forget(book, call).release() : nullptr;
}

// _out_of_flight(handle, /): one call fewer of `handle` in flight.
PyObject* book_out_of_flight(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    BookObject* book = as_book(self);
    if (!check_count("_out_of_flight", count, 1, 1) || !check_book(book) || !out_of_flight(book, args[0])) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// _wait_for_room(call, /): see wait_for_room().
PyObject* book_wait_for_room(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    BookObject* book = as_book(self);
    CallObject* call =
        check_count("_wait_for_room", count, 1, 1) && check_book(book) ? call_argument(args, 0) : nullptr;
    if (!call || !wait_for_room(book, call)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// _end_collected(until, /): looks at every posted call once, in order,
// until one ends after time.monotonic() passed `until`, and ends those that
// ended (a large result goes to a helper to decode): how many did.
PyObject* book_end_collected(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    BookObject* book = as_book(self);
    if (!check_count("_end_collected", count, 1, 1) || !check_book(book)) {
        return nullptr;
    }
    const double until = PyFloat_AsDouble(args[0]);
    if (until == -1.0 && PyErr_Occurred()) {
        return nullptr;
    }
    Py_ssize_t ended = 0;
    auto end_one = [book, &ended](PyObject*, PyObject* record, PyObject* ok, PyObject* outcome) {
        ++ended;
        if (!Py_IS_TYPE(record, call_type)) {
            PyErr_SetString(PyExc_TypeError, "a posted call is not an awaited call");
            return false;
        }
        if (ok == Py_None) {
            return run_method(reinterpret_cast<PyObject*>(book), names.collect_on_helper, record);
        }
        return end_call(book, as_call(record), ok == Py_True, outcome);
    };
    if (!for_each_ended(book->posted, until, end_one)) {
        return nullptr;
    }
    return PyLong_FromSsize_t(ended);
}

PyMethodDef book_methods[] = {
#define AWAITED_METHOD(name, function) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_FASTCALL, nullptr},
    AWAITED_METHOD("call", book_call)
    AWAITED_METHOD("_post", book_post)
    AWAITED_METHOD("_look", book_look)
    AWAITED_METHOD("_end", book_end)
    AWAITED_METHOD("_forget", book_forget)
    AWAITED_METHOD("_out_of_flight", book_out_of_flight)
    AWAITED_METHOD("_wait_for_room", book_wait_for_room)
    AWAITED_METHOD("_end_collected", book_end_collected)
#undef AWAITED_METHOD
    {nullptr, nullptr, 0, nullptr},
};

#define AWAITED_BOOK_FIELDS(visit) visit(loop) visit(posted) visit(in_flight) visit(waiting) visit(wakeups)

int book_traverse(PyObject* self, visitproc visit, void* arg) {
    BookObject* book = as_book(self);
#define AWAITED_VISIT(field) Py_VISIT(book->field);
    AWAITED_BOOK_FIELDS(AWAITED_VISIT)
#undef AWAITED_VISIT
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int book_clear(PyObject* self) {
    BookObject* book = as_book(self);
#define AWAITED_CLEAR(field) Py_CLEAR(book->field);
    AWAITED_BOOK_FIELDS(AWAITED_CLEAR)
#undef AWAITED_CLEAR
    return 0;
}

void book_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    book_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef book_getset[] = {
    AWAITED_FIELD(BookObject, loop, set_object_field)
    AWAITED_FIELD(BookObject, posted, set_object_field)
    AWAITED_FIELD(BookObject, in_flight, set_object_field)
    AWAITED_FIELD(BookObject, waiting, set_object_field)
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef book_members[] = {
    {"ring_due", T_BOOL, offsetof(BookObject, ring_due), 0, nullptr},
    {"collect_due", T_BOOL, offsetof(BookObject, collect_due), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot book_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(book_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(book_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(book_clear)},
    {Py_tp_members, book_members},
    {Py_tp_getset, book_getset},
    {Py_tp_methods, book_methods},
    {Py_tp_doc, const_cast<char*>("The calls an event loop posted and those waiting for room (zelvane.aio).")},
    {0, nullptr},
};

PyType_Spec book_type_shape = {
    "zelvane._CallBook", sizeof(BookObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    book_slots,
};


}  // namespace awaited

// Adds zelvane._AwaitedCall and zelvane._CallBook; false with an exception
// set.
bool add_awaited_call_types(PyObject* module) {
    if (!awaited::deque_type) {
        PyRef collections(PyImport_ImportModule("collections"));
        awaited::deque_type = collections ? PyObject_GetAttrString(collections.get(), "deque") : nullptr;
    }
    return awaited::deque_type && awaited::make_names() && awaited::make_future_names() &&
           awaited::add_type(module, awaited::wakeups_type_shape, awaited::wakeups_type, "_Wakeups") &&
           awaited::add_type(module, awaited::call_future_type_shape, awaited::call_future_type, "_CallFuture") &&
           awaited::add_type(module, awaited::call_type_shape, awaited::call_type, "_AwaitedCall") &&
           awaited::add_type(module, awaited::book_type_shape, awaited::book_type, "_CallBook");
}

}  // namespace
