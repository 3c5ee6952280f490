// zelvane.FunctionHandle: a hosted function opened once and called many
// times. It stays bound to the record it opened, like an open file, so a call
// skips the look-up of the name; once that record's serving has ended (or the
// handle is used in a forked child) the next call looks the name up again.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>

#include "calls/bridge.h"
#include "platform/object_cache.h"
#include "platform/shm_support.h"
#include "py_ref.h"

namespace {

struct FunctionHandleObject {
    PyObject_HEAD
    PyObject* name;       // the str given to open_function
    shm::ObjectUse use;   // the record, or empty until the next look-up
    struct stat st;       // the record's status when it was opened
    pid_t opener;         // the process the record was opened in
    CallBuffer buffer;    // for payloads too large for the message area, kept between calls
    bool closed;
    // Raised by _give_up(): the call in flight on this handle ends as a timeout would.
    std::atomic<bool> given_up;
};

PyTypeObject* function_handle_type = nullptr;

// The UTF-8 text of a name, which the str keeps; null with an exception set
// for a name that no object can have (an embedded NUL would cut it short).
const char* name_text(PyObject* name) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text && std::char_traits<char>::length(text) != static_cast<size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    return text;
}

FunctionHandleObject* as_function_handle(PyObject* self) { return reinterpret_cast<FunctionHandleObject*>(self); }

// Opens the record of `record.name` for a handle, as call_function does,
// except that a missing name says how to wait for it.
bool open_named_function(FunctionRecord& record, struct stat& st) {
    const OpenOutcome outcome = open_function_record(record, st);
    if (outcome == OpenOutcome::OpenFailed && errno == ENOENT) {
        PyErr_Format(PyExc_MemoryError,
                     "No function '%s' is served; open_function(name, wait=seconds) waits for a server",
                     record.name);
        return false;
    }
    return outcome == OpenOutcome::Opened || open_failed(record, outcome);
}

// Looks the handle's name up, as open_function does, unless the record it
// holds is still of use in this process.
bool bind_function_handle(FunctionHandleObject* handle, FunctionRecord& record) {
    if (handle->use && handle->opener == shm::this_process()) {
        record.object = shm::ObjectUse(&*handle->use);
        return true;
    }
    handle->use.release();
    if (!open_named_function(record, handle->st)) {
        return false;
    }
    handle->use = shm::ObjectUse(&*record.object);
    handle->opener = shm::this_process();
    return true;
}

bool function_handle_open(const FunctionHandleObject* handle) {
    if (handle->closed) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on a closed function handle.");
        return false;
    }
    return true;
}

// The keyword arguments of a call apart from `timeout`, which the handle
// takes for itself: a new dict, or empty when there are none.
bool split_keywords(PyObject* kwargs, PyRef& timeout, PyRef& keywords) {
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
        return true;
    }
    keywords.reset(PyDict_Copy(kwargs));
    if (!keywords) {
        return false;
    }
    PyObject* found = PyDict_GetItemString(keywords.get(), "timeout");
    if (found) {
        timeout = PyRef::borrow(found);
        if (PyDict_DelItemString(keywords.get(), "timeout") < 0) {
            return false;
        }
    }
    if (PyDict_GET_SIZE(keywords.get()) == 0) {
        keywords.reset();
    }
    return true;
}

// The arguments to post for a call with keyword arguments: (args, kwargs),
// which only a pool's servers take; null with a TypeError otherwise.
PyRef keyword_call_arguments(const FunctionRecord& record, PyObject* args, PyObject* keywords) {
    if (record.shm()->callers.pool != 1) {
        PyErr_Format(PyExc_TypeError,
                     "The function '%s' is hosted by create_function, which passes no keyword arguments; "
                     "serve it with zelvane.serve to take them.",
                     record.name);
        return PyRef();
    }
    return PyRef(PyTuple_Pack(2, args, keywords));
}

// What a handle's call needs before it posts: the record bound, the
// arguments to post and the call's time limit.
struct HandleCall {
    PyRef name;  // keeps the UTF-8 form of the record's name alive
    FunctionRecord record{nullptr};
    PyRef posted;
    bool with_keywords = false;
    bool limited = false;
    timespec limit{};

    const timespec* time_limit() const { return limited ? &limit : nullptr; }
};

// Reads a handle's call (`timeout` among `kwargs`) and binds its record;
// false with an exception set.
bool prepare_handle_call(PyObject* self, PyObject* args, PyObject* kwargs, HandleCall& out) {
    PyRef timeout;
    PyRef keywords;
    if (!split_keywords(kwargs, timeout, keywords)) {
        return false;
    }
    FunctionHandleObject* handle = as_function_handle(self);
    if (!function_handle_open(handle) || !shm::time_limit(timeout.get(), out.limit, out.limited)) {
        return false;
    }
    out.name = PyRef::borrow(handle->name);
    out.record.name = name_text(out.name.get());
    if (!out.record.name || !bind_function_handle(handle, out.record)) {
        return false;
    }
    out.with_keywords = bool(keywords);
    out.posted = keywords ? keyword_call_arguments(out.record, args, keywords.get()) : PyRef::borrow(args);
    return bool(out.posted);
}

PyObject* function_handle_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    HandleCall call;
    if (!prepare_handle_call(self, args, kwargs, call)) {
        return nullptr;
    }
    FunctionHandleObject* handle = as_function_handle(self);
    CallEndedBy ended_by;
    PyObject* result = call_on_record(call.record, handle->st, call.posted.get(), &handle->buffer, call.time_limit(),
                                      call.with_keywords, ended_by, &handle->given_up);
    if (ended_by == CallEndedBy::RecordEnded) {
        handle->use.release();
    }
    return result;
}

PyObject* function_handle_close(PyObject* self, PyObject*) {
    FunctionHandleObject* handle = as_function_handle(self);
    handle->closed = true;
    handle->use.release();
    handle->buffer = CallBuffer();
    Py_RETURN_NONE;
}

// _give_up(on=True): for a thread that owns the handle's calls (an event
// loop's helper), so that the loop can give up the call in flight without
// waiting for it; False takes the request back once that call has ended.
// The callers asleep on the record are woken to see it.
PyObject* function_handle_give_up(PyObject* self, PyObject* args) {
    int on = 1;
    if (!PyArg_ParseTuple(args, "|p:_give_up", &on)) {
        return nullptr;
    }
    FunctionHandleObject* handle = as_function_handle(self);
    handle->given_up.store(on != 0, std::memory_order_release);
    if (on && handle->use) {
        FunctionRecord record(nullptr);
        record.object = shm::ObjectUse(&*handle->use);
        futex::wake(&record.shm()->call, ~SERVER_WAITS);
        if (record.pool()) {
            // A pool's caller sleeps on its own area's word, which only it knows.
            wake_areas(record, (1u << POOL_AREAS) - 1);
        }
    }
    Py_RETURN_NONE;
}

PyObject* function_handle_enter(PyObject* self, PyObject*) {
    if (!function_handle_open(as_function_handle(self))) {
        return nullptr;
    }
    Py_INCREF(self);
    return self;
}

PyObject* function_handle_exit(PyObject* self, PyObject*) { return function_handle_close(self, nullptr); }

PyObject* function_handle_repr(PyObject* self) {
    const FunctionHandleObject* handle = as_function_handle(self);
    return PyUnicode_FromFormat("<zelvane.FunctionHandle name=%R %s>", handle->name,
                                handle->closed ? "closed" : "open");
}

PyObject* function_handle_name(PyObject* self, void*) {
    PyObject* name = as_function_handle(self)->name;
    Py_INCREF(name);
    return name;
}

PyObject* function_handle_closed(PyObject* self, void*) { return PyBool_FromLong(as_function_handle(self)->closed); }

// The number of live servers of the record the handle is bound to; when it
// has none, of the record its name leads to now, which the next call would
// look up (0 when the name leads to no function record).
PyObject* function_handle_servers(PyObject* self, void*) {
    FunctionHandleObject* handle = as_function_handle(self);
    if (!function_handle_open(handle)) {
        return nullptr;
    }
    FunctionRecord record(name_text(handle->name));
    if (!record.name) {
        return nullptr;
    }
    if (handle->use && handle->opener == shm::this_process()) {
        record.object = shm::ObjectUse(&*handle->use);
        const long bound = live_servers(record);
        if (bound > 0) {
            return PyLong_FromLong(bound);
        }
        record.object.release();
    }
    struct stat st;
    const bool opened = open_function_record(record, st) == OpenOutcome::Opened;
    return PyLong_FromLong(opened ? live_servers(record) : 0);
}

void function_handle_dealloc(PyObject* self) {
    FunctionHandleObject* handle = as_function_handle(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(handle->name);
    handle->use.~ObjectUse();
    handle->buffer.~CallBuffer();
    type->tp_free(self);
    Py_DECREF(type);
}

// Handles come from open_function only: a handle made any other way would
// hold no record.
PyObject* function_handle_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'zelvane.FunctionHandle' instances; use open_function(name)");
    return nullptr;
}

}  // namespace
