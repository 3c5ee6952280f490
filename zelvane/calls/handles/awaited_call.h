// A call an event loop awaits (zelvane.aio): its record (zelvane._AwaitedCall),
// whether its arguments are large enough for a helper thread to copy, and
// settling its future; the book of such calls is in awaited.h.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <algorithm>
#include <cstddef>

#include "calls/handles/call_future.h"
#include "calls/handles/handle.h"
#include "prefault.h"
#include "platform/errors.h"
#include "py_ref.h"

namespace {
namespace awaited {

// What became of a call: waiting on the loop for room, posted by the loop
// (and its large result collected by a helper thread), or queued for,
// running on and over with a helper thread.
enum State : int { WAITING, POSTED, QUEUED, DROPPED, RUNNING, OVER, DECODING };

// A value of LARGE_COPY bytes or more is copied into or out of shared
// memory on a helper thread, never on the loop's.
constexpr Py_ssize_t LARGE = static_cast<Py_ssize_t>(LARGE_COPY);
// Containers looked into for a large member, and how deep.
constexpr int LARGE_DEPTH = 3;

struct CallObject {
    PyObject_HEAD
    PyObject* handle;
    PyObject* args;
    PyObject* kwargs;
    PyObject* timeout;  // the deadline, None without one
    PyObject* future;   // made once the call does not end at once
    PyObject* sync;     // the synchronous handle the call went through
    PyObject* ended;    // for a caller that gave the call up: set once its helper is done
    PyObject* pending;  // the PendingCall the loop posted
    PyObject* timer;
    PyObject* outcome;  // (ok, value) of a call that ended at once
    int state;
    char given_up;
};

PyTypeObject* call_type = nullptr;

// Names of the methods called on the runtime, handles and futures, made once.
struct Names {
    PyObject* start_timer;
    PyObject* cancel_timer;
    PyObject* collect_on_helper;
    PyObject* queue_for_helper;
    PyObject* hand_waiting_to_helpers;
    PyObject* post_waiting;
    PyObject* ring_soon;
    PyObject* sole_caller_this_turn;
    PyObject* spare_handle;
    PyObject* give_back;
    PyObject* closed;
    PyObject* start;
    PyObject* timeout;
    PyObject* done;
    PyObject* set_result;
    PyObject* set_exception;
    PyObject* popleft;
    PyObject* append;
} names;

bool make_names() {
    struct {
        PyObject** name;
        const char* text;
    } table[] = {
        {&names.start_timer, "_start_timer"},
        {&names.cancel_timer, "_cancel_timer"},
        {&names.collect_on_helper, "_collect_on_helper"},
        {&names.queue_for_helper, "_queue_for_helper"},
        {&names.hand_waiting_to_helpers, "_hand_waiting_to_helpers"},
        {&names.post_waiting, "_post_waiting"},
        {&names.ring_soon, "_ring_soon"},
        {&names.sole_caller_this_turn, "_sole_caller_this_turn"},
        {&names.spare_handle, "_spare_handle"},
        {&names.give_back, "_give_back"},
        {&names.closed, "_closed"},
        {&names.start, "_start"},
        {&names.timeout, "timeout"},
        {&names.done, "done"},
        {&names.set_result, "set_result"},
        {&names.set_exception, "set_exception"},
        {&names.popleft, "popleft"},
        {&names.append, "append"},
    };
    for (auto& entry : table) {
        if (!*entry.name && !(*entry.name = PyUnicode_InternFromString(entry.text))) {
            return false;
        }
    }
    return true;
}

// self.name(*args): a new reference, null with an exception set.
template <typename... Args>
PyRef call_method(PyObject* self, PyObject* name, Args... args) {
    PyObject* stack[] = {self, reinterpret_cast<PyObject*>(args)...};
    return PyRef(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(Args), nullptr));
}

// The same, for a method whose result does not matter: false with an
// exception set.
template <typename... Args>
bool run_method(PyObject* self, PyObject* name, Args... args) {
    return static_cast<bool>(call_method(self, name, args...));
}

void set_field(PyObject*& field, PyObject* value) {
    Py_INCREF(value);
    Py_SETREF(field, value);
}

CallObject* as_call(PyObject* self) { return reinterpret_cast<CallObject*>(self); }

// Object fields are read and written from Python through these, with
// the field's offset as closure: never deleted, so native code finds an
// object (None at least) in each. A field native code relies on the type of
// has no setter.
PyObject*& object_field(PyObject* self, void* offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset));
}

PyObject* get_field(PyObject* self, void* offset) {
    PyObject* value = object_field(self, offset);
    if (!value) {
        Py_RETURN_NONE;
    }
    Py_INCREF(value);
    return value;
}

int set_object_field(PyObject* self, PyObject* value, void* offset) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete this attribute");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(object_field(self, offset), value);
    return 0;
}

// --- large values

// Adds to `total` the sizes of `value` when it is a bytes-like value or
// text, or of those a tuple, list or dict (its values) holds within `depth`
// levels, until the total is LARGE: the copy of a value made of many
// medium pieces takes as long as that of one large piece. False with an
// exception set.
bool add_copied_size(PyObject* value, int depth, Py_ssize_t& total) {
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyBool_Check(value) || value == Py_None) {
        return true;
    }
    if (PyBytes_Check(value) || PyByteArray_Check(value) || PyUnicode_Check(value)) {
        const Py_ssize_t size = PyObject_Length(value);
        total += std::min(size, LARGE);
        return size >= 0;
    }
    if (PyMemoryView_Check(value)) {
        total += std::min(PyMemoryView_GET_BUFFER(value)->len, LARGE);
        return true;
    }
    const bool sequence = PyTuple_CheckExact(value) || PyList_CheckExact(value);
    if (depth == 0 || !(sequence || PyDict_CheckExact(value))) {
        return true;
    }
    // A list of the dict's values: a member's __len__ may change the dict.
    PyRef members(sequence ? PyRef::borrow(value) : PyRef(PyDict_Values(value)));
    if (!members) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(members.get()) && total < LARGE; ++i) {
        PyRef member = PyRef::borrow(PySequence_Fast_GET_ITEM(members.get(), i));
        if (!add_copied_size(member.get(), depth - 1, total)) {
            return false;
        }
    }
    return true;
}

// Whether `values` hold LARGE bytes or more in bytes-like values and texts
// (see add_copied_size), counting on from `total`: 1 or 0, -1 with an
// exception set.
int is_large(PyObject* values, int depth, Py_ssize_t total = 0) {
    if (!add_copied_size(values, depth, total)) {
        return -1;
    }
    return total >= LARGE;
}

// _any_large(values, /): whether `values` (a tuple, list or other
// iterable), with the members of tuples, lists and dicts among them (a few
// levels deep), hold a MiB or more in bytes-like values and texts: a value
// whose copy an event loop leaves to a helper.
PyObject* any_large(PyObject*, PyObject* values) {
    PyRef members(PyTuple_CheckExact(values) || PyList_CheckExact(values) ? PyRef::borrow(values)
                                                                          : PyRef(PySequence_List(values)));
    const int large = members ? is_large(members.get(), LARGE_DEPTH + 1) : -1;
    return large < 0 ? nullptr : PyBool_FromLong(large);
}

// Whether a call's arguments, positional and keyword ones together, hold a
// MiB or more: 1 or 0, -1 with an exception set.
int large_arguments(const CallObject* call) {
    Py_ssize_t total = 0;
    if (!add_copied_size(call->args, LARGE_DEPTH + 1, total)) {
        return -1;
    }
    if (total >= LARGE || !PyDict_CheckExact(call->kwargs)) {
        return total >= LARGE;
    }
    return is_large(call->kwargs, LARGE_DEPTH + 1, total);
}

// --- the record of a call

PyObject* new_call(PyObject* handle, PyObject* args, PyObject* kwargs, PyObject* timeout) {
    CallObject* call = PyObject_GC_New(CallObject, call_type);
    if (!call) {
        return nullptr;
    }
    PyObject* given[] = {handle, args, kwargs, timeout};
    PyObject** fields[] = {&call->handle, &call->args, &call->kwargs, &call->timeout};
    for (size_t i = 0; i < 4; ++i) {
        Py_INCREF(given[i]);
        *fields[i] = given[i];
    }
    for (PyObject** field : {&call->future, &call->sync, &call->ended, &call->pending, &call->timer, &call->outcome}) {
        Py_INCREF(Py_None);
        *field = Py_None;
    }
    call->state = WAITING;
    call->given_up = 0;
    PyObject_GC_Track(call);
    return reinterpret_cast<PyObject*>(call);
}

PyObject* call_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject *handle, *call_args, *call_kwargs, *timeout;
    if ((kwargs && PyDict_GET_SIZE(kwargs) != 0) ||
        !PyArg_UnpackTuple(args, "_AwaitedCall", 4, 4, &handle, &call_args, &call_kwargs, &timeout)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "_AwaitedCall takes 4 positional arguments");
        }
        return nullptr;
    }
    return new_call(handle, call_args, call_kwargs, timeout);
}

#define AWAITED_CALL_FIELDS(visit)                                                                          \
    visit(handle) visit(args) visit(kwargs) visit(timeout) visit(future) visit(sync) visit(ended) visit(pending) \
        visit(timer) visit(outcome)

int call_traverse(PyObject* self, visitproc visit, void* arg) {
    CallObject* call = as_call(self);
#define AWAITED_VISIT(field) Py_VISIT(call->field);
    AWAITED_CALL_FIELDS(AWAITED_VISIT)
#undef AWAITED_VISIT
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int call_clear(PyObject* self) {
    CallObject* call = as_call(self);
#define AWAITED_CLEAR(field) Py_CLEAR(call->field);
    AWAITED_CALL_FIELDS(AWAITED_CLEAR)
#undef AWAITED_CLEAR
    return 0;
}

void call_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    call_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

#define AWAITED_FIELD(type, field, setter)                                                                 \
    {#field, get_field, setter, nullptr, reinterpret_cast<void*>(offsetof(type, field))},

PyGetSetDef call_getset[] = {
    AWAITED_FIELD(CallObject, handle, nullptr)
    AWAITED_FIELD(CallObject, args, nullptr)
    AWAITED_FIELD(CallObject, kwargs, nullptr)
    AWAITED_FIELD(CallObject, timeout, nullptr)
    AWAITED_FIELD(CallObject, outcome, nullptr)
    AWAITED_FIELD(CallObject, future, set_object_field)
    AWAITED_FIELD(CallObject, sync, set_object_field)
    AWAITED_FIELD(CallObject, ended, set_object_field)
    AWAITED_FIELD(CallObject, pending, set_object_field)
    AWAITED_FIELD(CallObject, timer, set_object_field)
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef call_members[] = {
    {"state", T_INT, offsetof(CallObject, state), 0, nullptr},
    {"given_up", T_BOOL, offsetof(CallObject, given_up), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot call_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(call_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(call_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(call_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(call_clear)},
    {Py_tp_members, call_members},
    {Py_tp_getset, call_getset},
    {Py_tp_doc, const_cast<char*>("An awaited call of zelvane.aio: its handle, arguments, future and state.")},
    {0, nullptr},
};

PyType_Spec call_type_shape = {
    "zelvane._AwaitedCall", sizeof(CallObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, call_slots,
};

// --- settling

// What a coroutine that raised `stop`, a StopIteration, raises instead: a
// future refuses StopIteration, and the caller of a call that failed with it
// at once gets this too. Null with an exception set.
PyRef as_raised_by_a_coroutine(PyObject* stop) {
    PyRef error(PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration"));
    if (error) {
        Py_INCREF(stop);
        PyException_SetCause(error.get(), stop);
        Py_INCREF(stop);
        PyException_SetContext(error.get(), stop);
    }
    return error;
}

// Settles `future` as `ok` with `value`, unless it is done (cancelled);
// false with an exception set. A future is asked whether it is done only
// when it refuses: most are not.
bool settle(PyObject* future, bool ok, PyObject* value) {
    PyRef converted;
    if (!ok && PyErr_GivenExceptionMatches(value, PyExc_StopIteration)) {
        converted = as_raised_by_a_coroutine(value);
        if (!converted) {
            return false;
        }
        value = converted.get();
    }
    if (Py_IS_TYPE(future, call_future_type)) {
        // Done already when cancelled; a closed loop leaves it done with no
        // wake-up to run, as it leaves an asyncio future.
        CallFutureObject* call_future = as_call_future(future);
        if (call_future->state == PENDING && !settle_call_future(call_future, ok, value)) {
            if (call_future->state == PENDING) {
                return false;
            }
            PyErr_Clear();
        }
        return true;
    }
    if (run_method(future, ok ? names.set_result : names.set_exception, value)) {
        return true;
    }
    PyRef refusal = take_pending_exception();
    PyRef done = call_method(future, names.done);
    const int is_done = done ? PyObject_IsTrue(done.get()) : -1;
    if (is_done == 0) {
        raise_exception(std::move(refusal));
    }
    return is_done > 0;
}

// _settle(future, ok, value, /): settles an asyncio future from its loop
// with a result (ok true) or an exception, unless it is done already.
PyObject* settle_future(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (count != 3) {
        PyErr_Format(PyExc_TypeError, "_settle expected 3 arguments, got %zd", count);
        return nullptr;
    }
    const int ok = PyObject_IsTrue(args[1]);
    if (ok < 0 || !settle(args[0], ok != 0, args[2])) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Records (ok, value) as the call's outcome; false with an exception set.
bool set_outcome(CallObject* call, bool ok, PyObject* value) {
    PyObject* outcome = PyTuple_Pack(2, ok ? Py_True : Py_False, value);
    if (!outcome) {
        return false;
    }
    Py_XSETREF(call->outcome, outcome);
    return true;
}

// The exception pending now, as the call's outcome; false with an
// exception set when none could be taken.
bool fail_with_pending_exception(CallObject* call) {
    PyRef error = take_pending_exception();
    if (!error) {
        PyErr_SetString(PyExc_SystemError, "a call failed without an exception");
        return false;
    }
    return set_outcome(call, false, error.get());
}

// Makes a type from `shape` and adds it to `module` as `name`, keeping a
// reference in `type`; false with an exception set.
bool add_type(PyObject* module, PyType_Spec& shape, PyTypeObject*& type, const char* name) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&shape));
    if (!type) {
        return false;
    }
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
        Py_DECREF(type);
        return false;
    }
    return true;
}

}  // namespace awaited
}  // namespace
