// The future an awaited call's task waits on (zelvane._CallFuture), and the
// wake-ups of such futures' tasks that an event loop runs from one callback
// (zelvane._Wakeups). An asyncio future schedules one callback of the loop
// for each of its waiters when it is settled; a loop that collects many
// calls at once wakes their tasks from a single callback instead, each task
// in its own context, which spares the loop a handle and a turn per call.
// The future speaks the protocol a task awaits through
// (_asyncio_future_blocking, get_loop, add_done_callback, result, cancel),
// and is used on its loop's thread only.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <new>
#include <vector>

#include "platform/errors.h"
#include "py_ref.h"

namespace {
namespace awaited {

// How many wake-ups one callback of the loop runs; the rest go to the next,
// so that the loop's other callbacks run between batches of tasks.
constexpr size_t WAKEUPS_AT_ONCE = 64;

struct Wakeup {
    PyObject* callback;  // each reference owned
    PyObject* context;
    PyObject* future;
};

struct WakeupsObject {
    PyObject_HEAD
    PyObject* loop;
    std::deque<Wakeup>* due;  // in the order the futures were settled; batches leave from the front
    char scheduled;            // a callback of the loop will run them
};

enum FutureState : int { PENDING, FINISHED, FAILED, CANCELLED };

struct CallFutureObject {
    PyObject_HEAD
    PyObject* loop;
    PyObject* wakeups;
    PyObject* value;           // the result, the exception or the cancel message
    PyObject* callback;        // the first done callback and its context
    PyObject* context;
    PyObject* more_callbacks;  // a list of (callback, context) for further ones
    int state;
    char blocking;             // _asyncio_future_blocking
    char yielded;              // awaited once already
};

PyTypeObject* wakeups_type = nullptr;
PyTypeObject* call_future_type = nullptr;

struct FutureNames {
    PyObject* call_soon;
    PyObject* call_exception_handler;
    PyObject* message;
    PyObject* exception;
    PyObject* future;
    PyObject* cancelled_error;  // asyncio's exception classes, loaded when first raised
    PyObject* invalid_state_error;
} future_names;

bool make_future_names() {
    struct {
        PyObject** name;
        const char* text;
    } table[] = {
        {&future_names.call_soon, "call_soon"},
        {&future_names.call_exception_handler, "call_exception_handler"},
        {&future_names.message, "message"},
        {&future_names.exception, "exception"},
        {&future_names.future, "future"},
    };
    for (auto& entry : table) {
        if (!*entry.name && !(*entry.name = PyUnicode_InternFromString(entry.text))) {
            return false;
        }
    }
    return true;
}

WakeupsObject* as_wakeups(PyObject* self) { return reinterpret_cast<WakeupsObject*>(self); }
CallFutureObject* as_call_future(PyObject* self) { return reinterpret_cast<CallFutureObject*>(self); }

// asyncio.CancelledError or asyncio.InvalidStateError (`which`, its name):
// borrowed, null with an exception set.
PyObject* asyncio_error(PyObject*& which, const char* name) {
    if (!which) {
        PyRef exceptions(PyImport_ImportModule("asyncio.exceptions"));
        which = exceptions ? PyObject_GetAttrString(exceptions.get(), name) : nullptr;
    }
    return which;
}

void raise_invalid_state(const char* message) {
    if (PyObject* error = asyncio_error(future_names.invalid_state_error, "InvalidStateError")) {
        PyErr_SetString(error, message);
    }
}

// --- wake-ups

void release_wakeup(Wakeup& wakeup) {
    Py_CLEAR(wakeup.callback);
    Py_CLEAR(wakeup.context);
    Py_CLEAR(wakeup.future);
}

template <typename Wakeups>
void drop_batch(Wakeups& batch) {
    for (Wakeup& wakeup : batch) {
        release_wakeup(wakeup);
    }
    batch.clear();
}

void drop_due(WakeupsObject* wakeups) {
    if (!wakeups->due) {
        return;
    }
    std::deque<Wakeup> dropped;
    dropped.swap(*wakeups->due);  // a decref below may add to the list
    drop_batch(dropped);
}

// Has the loop run the due wake-ups in a callback of its own, unless it
// will already. On a closed loop the wake-ups can never run and are dropped;
// false with an exception set then.
bool schedule_wakeups(WakeupsObject* wakeups) {
    if (wakeups->scheduled) {
        return true;
    }
    PyObject* stack[] = {wakeups->loop, reinterpret_cast<PyObject*>(wakeups)};
    PyRef handle(PyObject_VectorcallMethod(future_names.call_soon, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!handle) {
        drop_due(wakeups);
        return false;
    }
    wakeups->scheduled = 1;
    return true;
}

// Adds callback(future) in `context` to the due wake-ups; false with an
// exception set.
bool add_wakeup(WakeupsObject* wakeups, PyObject* callback, PyObject* context, PyObject* future) {
    try {
        if (!wakeups->due) {
            wakeups->due = new std::deque<Wakeup>();
        }
        wakeups->due->push_back(Wakeup{callback, context, future});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    Py_INCREF(callback);
    Py_INCREF(context);
    Py_INCREF(future);
    return schedule_wakeups(wakeups);
}

bool stops_the_loop(PyObject* error) {
    return PyErr_GivenExceptionMatches(error, PyExc_SystemExit) ||
           PyErr_GivenExceptionMatches(error, PyExc_KeyboardInterrupt);
}

// Hands an exception a wake-up raised to the loop's exception handler, as
// the loop does for its own callbacks: null, or the SystemExit or
// KeyboardInterrupt the handler raised, which stops the loop.
PyRef report_to_loop(WakeupsObject* wakeups, const Wakeup& wakeup, PyObject* error) {
    PyRef message(PyUnicode_FromFormat("Exception in callback %R", wakeup.callback));
    PyRef details(message ? PyDict_New() : nullptr);
    bool reported = details && PyDict_SetItem(details.get(), future_names.message, message.get()) == 0 &&
                    PyDict_SetItem(details.get(), future_names.exception, error) == 0 &&
                    PyDict_SetItem(details.get(), future_names.future, wakeup.future) == 0;
    if (reported) {
        PyObject* stack[] = {wakeups->loop, details.get()};
        PyRef done(PyObject_VectorcallMethod(future_names.call_exception_handler, stack,
                                             2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        reported = static_cast<bool>(done);
    }
    if (!reported) {
        PyRef refusal = take_pending_exception();
        if (stops_the_loop(refusal.get())) {
            return refusal;
        }
        raise_exception(std::move(refusal));
        PyErr_WriteUnraisable(wakeups->loop);
    }
    return PyRef();
}

// Runs one wake-up in its context: null with the exception it raised.
PyRef run_wakeup(const Wakeup& wakeup) {
    if (PyContext_Enter(wakeup.context) < 0) {
        return PyRef();
    }
    PyRef result(PyObject_CallOneArg(wakeup.callback, wakeup.future));
    PyRef error = result ? PyRef() : take_pending_exception();
    if (PyContext_Exit(wakeup.context) < 0) {
        return PyRef();
    }
    if (error) {
        raise_exception(std::move(error));
    }
    return result;
}

// Puts the wake-ups of `batch` from `first` on back in front of the due
// ones, for the loop's next callback; false with an exception set.
bool put_back(WakeupsObject* wakeups, std::vector<Wakeup>& batch, size_t first) {
    try {
        if (!wakeups->due) {
            wakeups->due = new std::deque<Wakeup>();
        }
        wakeups->due->insert(wakeups->due->begin(), batch.begin() + static_cast<std::ptrdiff_t>(first), batch.end());
    } catch (const std::bad_alloc&) {
        for (size_t i = first; i < batch.size(); ++i) {
            release_wakeup(batch[i]);
        }
        PyErr_NoMemory();
        return false;
    }
    return wakeups->due->empty() || schedule_wakeups(wakeups);
}

// The next batch of due wake-ups, taken off the list; false with an
// exception set.
bool take_batch(WakeupsObject* wakeups, std::vector<Wakeup>& batch) {
    if (!wakeups->due) {
        return true;
    }
    std::deque<Wakeup>& due = *wakeups->due;
    const auto taken = static_cast<std::ptrdiff_t>(std::min(due.size(), WAKEUPS_AT_ONCE));
    try {
        batch.assign(due.begin(), due.begin() + taken);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    due.erase(due.begin(), due.begin() + taken);
    if (!due.empty() && !schedule_wakeups(wakeups)) {
        drop_batch(batch);  // taken off the due ones, which were dropped
        return false;
    }
    return true;
}

// wakeups(): runs a batch of the due wake-ups, each in its context. An
// exception one raises goes to the loop's exception handler, except
// SystemExit and KeyboardInterrupt, which stop the loop as from any
// callback (raised by the handler too): the rest then wait for the loop's
// next run.
PyObject* wakeups_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "_Wakeups() takes no arguments");
        return nullptr;
    }
    WakeupsObject* wakeups = as_wakeups(self);
    PyRef keep = PyRef::borrow(self);
    wakeups->scheduled = 0;
    std::vector<Wakeup> batch;
    if (!take_batch(wakeups, batch)) {
        return nullptr;
    }
    for (size_t i = 0; i < batch.size(); ++i) {
        PyRef woken = run_wakeup(batch[i]);
        PyRef stop;
        if (!woken) {
            PyRef error = take_pending_exception();
            stop = stops_the_loop(error.get()) ? std::move(error) : report_to_loop(wakeups, batch[i], error.get());
        }
        release_wakeup(batch[i]);
        if (stop) {
            if (put_back(wakeups, batch, i + 1)) {
                raise_exception(std::move(stop));
            }
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* new_wakeups(PyObject* loop) {
    WakeupsObject* wakeups = PyObject_GC_New(WakeupsObject, wakeups_type);
    if (!wakeups) {
        return nullptr;
    }
    Py_INCREF(loop);
    wakeups->loop = loop;
    wakeups->due = nullptr;
    wakeups->scheduled = 0;
    PyObject_GC_Track(wakeups);
    return reinterpret_cast<PyObject*>(wakeups);
}

// _Wakeups(loop): the wake-ups of tasks of `loop` awaiting call futures.
PyObject* wakeups_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* loop;
    if ((kwargs && PyDict_GET_SIZE(kwargs) != 0) || !PyArg_UnpackTuple(args, "_Wakeups", 1, 1, &loop)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "_Wakeups takes the loop only");
        }
        return nullptr;
    }
    return new_wakeups(loop);
}

int wakeups_traverse(PyObject* self, visitproc visit, void* arg) {
    WakeupsObject* wakeups = as_wakeups(self);
    Py_VISIT(wakeups->loop);
    if (wakeups->due) {
        for (const Wakeup& wakeup : *wakeups->due) {
            Py_VISIT(wakeup.callback);
            Py_VISIT(wakeup.context);
            Py_VISIT(wakeup.future);
        }
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Drops the due wake-ups, which break every cycle through the wake-ups;
// the loop stays until the end, so that no method meets it gone.
int wakeups_clear(PyObject* self) {
    drop_due(as_wakeups(self));
    return 0;
}

void wakeups_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    wakeups_clear(self);
    Py_CLEAR(as_wakeups(self)->loop);
    delete as_wakeups(self)->due;
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyType_Slot wakeups_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(wakeups_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wakeups_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(wakeups_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wakeups_clear)},
    {Py_tp_call, reinterpret_cast<void*>(wakeups_call)},
    {Py_tp_doc, const_cast<char*>("The wake-ups of tasks whose call futures were settled, run in one callback.")},
    {0, nullptr},
};

PyType_Spec wakeups_type_shape = {
    "zelvane._Wakeups", sizeof(WakeupsObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, wakeups_slots,
};

// --- the future

PyObject* new_call_future(PyObject* wakeups) {
    CallFutureObject* future = PyObject_GC_New(CallFutureObject, call_future_type);
    if (!future) {
        return nullptr;
    }
    Py_INCREF(as_wakeups(wakeups)->loop);
    future->loop = as_wakeups(wakeups)->loop;
    Py_INCREF(wakeups);
    future->wakeups = wakeups;
    future->value = nullptr;
    future->callback = nullptr;
    future->context = nullptr;
    future->more_callbacks = nullptr;
    future->state = PENDING;
    future->blocking = 0;
    future->yielded = 0;
    PyObject_GC_Track(future);
    return reinterpret_cast<PyObject*>(future);
}

// The future is done: its callbacks become due wake-ups. False with an
// exception set (the loop closed, say), the future done all the same.
bool schedule_callbacks(CallFutureObject* future) {
    PyObject* self = reinterpret_cast<PyObject*>(future);
    WakeupsObject* wakeups = as_wakeups(future->wakeups);
    PyRef callback(future->callback), context(future->context), more(future->more_callbacks);
    future->callback = future->context = future->more_callbacks = nullptr;
    if (callback && !add_wakeup(wakeups, callback.get(), context.get(), self)) {
        return false;
    }
    for (Py_ssize_t i = 0; more && i < PyList_GET_SIZE(more.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(more.get(), i);
        if (!add_wakeup(wakeups, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), self)) {
            return false;
        }
    }
    return true;
}

// Ends the pending future as `state` with `value` (a new reference taken
// over); false with an exception set.
bool finish(CallFutureObject* future, FutureState state, PyObject* value) {
    future->state = state;
    Py_XSETREF(future->value, value);
    return schedule_callbacks(future);
}

// set_result and set_exception refuse a future that is done.
bool check_pending(CallFutureObject* future) {
    if (future->state != PENDING) {
        raise_invalid_state("invalid state");
        return false;
    }
    return true;
}

// The exception a failed future holds for `error` (an exception or its
// class); null with an exception set.
PyRef as_held_exception(PyObject* error) {
    PyRef instance(PyExceptionClass_Check(error) ? PyObject_CallNoArgs(error) : (Py_INCREF(error), error));
    if (instance && !PyExceptionInstance_Check(instance.get())) {
        PyErr_SetString(PyExc_TypeError, "invalid exception object");
        return PyRef();
    }
    if (instance && PyErr_GivenExceptionMatches(instance.get(), PyExc_StopIteration)) {
        PyErr_SetString(PyExc_TypeError,
                        "StopIteration interacts badly with generators and cannot be raised into a Future");
        return PyRef();
    }
    return instance;
}

// Settles the pending future with a result or an exception; false with an
// exception set.
bool settle_call_future(CallFutureObject* future, bool ok, PyObject* value) {
    if (ok) {
        Py_INCREF(value);
        return finish(future, FINISHED, value);
    }
    PyRef error = as_held_exception(value);
    return error && finish(future, FAILED, error.release());
}

// The CancelledError a cancelled future raises; null with it set (or
// another exception).
PyObject* raise_cancelled(CallFutureObject* future) {
    PyObject* error_type = asyncio_error(future_names.cancelled_error, "CancelledError");
    if (!error_type) {
        return nullptr;
    }
    const bool with_message = future->value && future->value != Py_None;
    PyRef error(with_message ? PyObject_CallOneArg(error_type, future->value) : PyObject_CallNoArgs(error_type));
    if (error) {
        raise_exception(std::move(error));
    }
    return nullptr;
}

// future.result(): a new reference, null with an exception set.
PyObject* future_result_of(CallFutureObject* future) {
    switch (future->state) {
        case PENDING:
            raise_invalid_state("Result is not set.");
            return nullptr;
        case CANCELLED:
            return raise_cancelled(future);
        case FAILED:
            if (!future->value) {  // cleared by the collector
                PyErr_SetString(PyExc_RuntimeError, "the future's exception is gone");
                return nullptr;
            }
            raise_exception(PyRef::borrow(future->value));
            return nullptr;
        default:
            return PyRef::borrow(future->value ? future->value : Py_None).release();
    }
}

PyObject* future_result(PyObject* self, PyObject*) { return future_result_of(as_call_future(self)); }

PyObject* future_exception(PyObject* self, PyObject*) {
    CallFutureObject* future = as_call_future(self);
    switch (future->state) {
        case PENDING:
            raise_invalid_state("Exception is not set.");
            return nullptr;
        case CANCELLED:
            return raise_cancelled(future);
        case FAILED:
            return PyRef::borrow(future->value ? future->value : Py_None).release();
        default:
            Py_RETURN_NONE;
    }
}

PyObject* future_set_result(PyObject* self, PyObject* value) {
    CallFutureObject* future = as_call_future(self);
    if (!check_pending(future) || !settle_call_future(future, true, value)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* future_set_exception(PyObject* self, PyObject* error) {
    CallFutureObject* future = as_call_future(self);
    if (!check_pending(future) || !settle_call_future(future, false, error)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// cancel(msg=None): whether the future was pending and is now cancelled.
PyObject* future_cancel(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
    PyObject* message = Py_None;
    if (count > 1 || (keywords && PyTuple_GET_SIZE(keywords) > 1)) {
        PyErr_SetString(PyExc_TypeError, "cancel() takes at most one argument, msg");
        return nullptr;
    }
    if (count == 1) {
        message = args[0];
    } else if (keywords && PyTuple_GET_SIZE(keywords) == 1) {
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(keywords, 0), "msg") != 0) {
            PyErr_SetString(PyExc_TypeError, "cancel() takes at most one argument, msg");
            return nullptr;
        }
        message = args[0];
    }
    CallFutureObject* future = as_call_future(self);
    if (future->state != PENDING) {
        Py_RETURN_FALSE;
    }
    Py_INCREF(message);
    if (!finish(future, CANCELLED, message)) {
        return nullptr;
    }
    Py_RETURN_TRUE;
}

PyObject* future_done(PyObject* self, PyObject*) { return PyBool_FromLong(as_call_future(self)->state != PENDING); }

PyObject* future_cancelled(PyObject* self, PyObject*) {
    return PyBool_FromLong(as_call_future(self)->state == CANCELLED);
}

PyObject* future_get_loop(PyObject* self, PyObject*) {
    Py_INCREF(as_call_future(self)->loop);
    return as_call_future(self)->loop;
}

// add_done_callback(fn, *, context=None): fn(future) once the future is
// done, in `context` (a copy of the current one by default).
PyObject* future_add_done_callback(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
    const Py_ssize_t keyword_count = keywords ? PyTuple_GET_SIZE(keywords) : 0;
    if (count != 1 || keyword_count > 1 ||
        (keyword_count == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(keywords, 0), "context") != 0)) {
        PyErr_SetString(PyExc_TypeError, "add_done_callback() takes one callback and an optional context");
        return nullptr;
    }
    PyObject* given = keyword_count ? args[1] : Py_None;
    PyRef context(given == Py_None ? PyContext_CopyCurrent() : (Py_INCREF(given), given));
    if (!context) {
        return nullptr;
    }
    CallFutureObject* future = as_call_future(self);
    PyObject* callback = args[0];
    if (future->state != PENDING) {
        if (!add_wakeup(as_wakeups(future->wakeups), callback, context.get(), self)) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    // The first slot only while no other waits: a removed first callback
    // leaves the rest in the list, which a new one goes after.
    if (!future->callback && !(future->more_callbacks && PyList_GET_SIZE(future->more_callbacks) != 0)) {
        Py_INCREF(callback);
        future->callback = callback;
        future->context = context.release();
        Py_RETURN_NONE;
    }
    if (!future->more_callbacks && !(future->more_callbacks = PyList_New(0))) {
        return nullptr;
    }
    PyRef pair(PyTuple_Pack(2, callback, context.get()));
    if (!pair || PyList_Append(future->more_callbacks, pair.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// remove_done_callback(fn): how many callbacks equal to fn were removed.
PyObject* future_remove_done_callback(PyObject* self, PyObject* callback) {
    CallFutureObject* future = as_call_future(self);
    Py_ssize_t removed = 0;
    // An __eq__ may change the callbacks: only the one compared is removed.
    if (future->callback) {
        PyRef first = PyRef::borrow(future->callback);
        const int same = PyObject_RichCompareBool(first.get(), callback, Py_EQ);
        if (same < 0) {
            return nullptr;
        }
        if (same && future->callback == first.get()) {
            Py_CLEAR(future->callback);
            Py_CLEAR(future->context);
            ++removed;
        }
    }
    PyRef more = PyRef::borrow(future->more_callbacks);
    for (Py_ssize_t i = more ? PyList_GET_SIZE(more.get()) - 1 : -1; i >= 0; --i) {
        if (i >= PyList_GET_SIZE(more.get())) {
            continue;
        }
        PyRef pair = PyRef::borrow(PyList_GET_ITEM(more.get(), i));
        const int same = PyObject_RichCompareBool(PyTuple_GET_ITEM(pair.get(), 0), callback, Py_EQ);
        if (same < 0) {
            return nullptr;
        }
        const bool still_there = i < PyList_GET_SIZE(more.get()) && PyList_GET_ITEM(more.get(), i) == pair.get();
        if (same && still_there) {
            if (PySequence_DelItem(more.get(), i) < 0) {
                return nullptr;
            }
            ++removed;
        }
    }
    return PyLong_FromSsize_t(removed);
}

// --- awaiting it

enum class Step { YIELDED, RETURNED, FAILED };

// One step of `await future`: the future itself while it is pending (for
// the task to wait on), its result once it is done.
Step future_step(CallFutureObject* future, PyObject** out) {
    if (future->state == PENDING) {
        if (!future->yielded) {
            future->yielded = 1;
            future->blocking = 1;
            Py_INCREF(future);
            *out = reinterpret_cast<PyObject*>(future);
            return Step::YIELDED;
        }
        PyErr_SetString(PyExc_RuntimeError, "await wasn't used with future");
        *out = nullptr;
        return Step::FAILED;
    }
    *out = future_result_of(future);
    return *out ? Step::RETURNED : Step::FAILED;
}

PyObject* future_next(PyObject* self) {
    PyObject* out;
    if (future_step(as_call_future(self), &out) != Step::RETURNED) {
        return out;
    }
    PyRef result(out);
    if (result.get() == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    PyRef stop(PyObject_CallOneArg(PyExc_StopIteration, result.get()));
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop.get());
    }
    return nullptr;
}

#if PY_VERSION_HEX >= 0x030A0000
PySendResult future_send(PyObject* self, PyObject*, PyObject** out) {
    switch (future_step(as_call_future(self), out)) {
        case Step::YIELDED:
            return PYGEN_NEXT;
        case Step::RETURNED:
            return PYGEN_RETURN;
        default:
            return PYGEN_ERROR;
    }
}
#endif

PyObject* future_await(PyObject* self) {
    Py_INCREF(self);
    return self;
}

PyObject* future_repr(PyObject* self) {
    static const char* const states[] = {"pending", "finished", "finished", "cancelled"};
    return PyUnicode_FromFormat("<%s %s>", Py_TYPE(self)->tp_name, states[as_call_future(self)->state]);
}

// _CallFuture(wakeups): a future of the wake-ups' loop, whose callbacks
// run among those wake-ups.
PyObject* call_future_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* wakeups;
    if ((kwargs && PyDict_GET_SIZE(kwargs) != 0) || !PyArg_UnpackTuple(args, "_CallFuture", 1, 1, &wakeups)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "_CallFuture takes the wake-ups only");
        }
        return nullptr;
    }
    if (!Py_IS_TYPE(wakeups, wakeups_type)) {
        PyErr_SetString(PyExc_TypeError, "_CallFuture expects a _Wakeups");
        return nullptr;
    }
    return new_call_future(wakeups);
}

// The fields a cycle may run through; the loop and the wake-ups stay until
// the end, so that no method meets them gone.
#define CALL_FUTURE_FIELDS(visit) visit(value) visit(callback) visit(context) visit(more_callbacks)

int call_future_traverse(PyObject* self, visitproc visit, void* arg) {
    CallFutureObject* future = as_call_future(self);
#define CALL_FUTURE_VISIT(field) Py_VISIT(future->field);
    CALL_FUTURE_FIELDS(CALL_FUTURE_VISIT)
#undef CALL_FUTURE_VISIT
    Py_VISIT(future->loop);
    Py_VISIT(future->wakeups);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int call_future_clear(PyObject* self) {
    CallFutureObject* future = as_call_future(self);
#define CALL_FUTURE_CLEAR(field) Py_CLEAR(future->field);
    CALL_FUTURE_FIELDS(CALL_FUTURE_CLEAR)
#undef CALL_FUTURE_CLEAR
    return 0;
}

void call_future_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    call_future_clear(self);
    Py_CLEAR(as_call_future(self)->loop);
    Py_CLEAR(as_call_future(self)->wakeups);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

#define CALL_FUTURE_METHOD(name, function, flags) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), flags, nullptr},

PyMethodDef call_future_methods[] = {
    CALL_FUTURE_METHOD("result", future_result, METH_NOARGS)
    CALL_FUTURE_METHOD("exception", future_exception, METH_NOARGS)
    CALL_FUTURE_METHOD("set_result", future_set_result, METH_O)
    CALL_FUTURE_METHOD("set_exception", future_set_exception, METH_O)
    CALL_FUTURE_METHOD("cancel", future_cancel, METH_FASTCALL | METH_KEYWORDS)
    CALL_FUTURE_METHOD("cancelled", future_cancelled, METH_NOARGS)
    CALL_FUTURE_METHOD("done", future_done, METH_NOARGS)
    CALL_FUTURE_METHOD("get_loop", future_get_loop, METH_NOARGS)
    CALL_FUTURE_METHOD("add_done_callback", future_add_done_callback, METH_FASTCALL | METH_KEYWORDS)
    CALL_FUTURE_METHOD("remove_done_callback", future_remove_done_callback, METH_O)
    {nullptr, nullptr, 0, nullptr},
};

#undef CALL_FUTURE_METHOD

PyMemberDef call_future_members[] = {
    {"_asyncio_future_blocking", T_BOOL, offsetof(CallFutureObject, blocking), 0, nullptr},
    {"_loop", T_OBJECT, offsetof(CallFutureObject, loop), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot call_future_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(call_future_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(call_future_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(call_future_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(call_future_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(future_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(future_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(future_next)},
    {Py_am_await, reinterpret_cast<void*>(future_await)},
#if PY_VERSION_HEX >= 0x030A0000
    {Py_am_send, reinterpret_cast<void*>(future_send)},
#endif
    {Py_tp_methods, call_future_methods},
    {Py_tp_members, call_future_members},
    {Py_tp_doc, const_cast<char*>("The future an awaited call's task waits on (zelvane.aio).")},
    {0, nullptr},
};

PyType_Spec call_future_type_shape = {
    "zelvane._CallFuture", sizeof(CallFutureObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, call_future_slots,
};

}  // namespace awaited
}  // namespace
