// zelvane.FunctionHandle as a type: its methods (calls, posted calls for an
// event loop, futures, pickling), open_function and the type's registration.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>

#include "calls/handles/handle.h"
#include "calls/handles/pending.h"
#include "calls/handles/python_parts.h"
#include "platform/pickling.h"
#include "py_ref.h"

namespace {

PyObject* function_handle_reduce(PyObject* self, PyObject*) {
    const FunctionHandleObject* handle = as_function_handle(self);
    return reopened_by("FunctionHandle", handle->name, handle->closed, "open_function");
}

PyMethodDef function_handle_methods[] = {
    {"close", function_handle_close, METH_NOARGS,
     "close($self, /)\n--\n\nRelease the record; later calls raise ValueError."},
    {"__enter__", function_handle_enter, METH_NOARGS, "__enter__($self, /)\n--\n\nReturn the handle."},
    {"_give_up", function_handle_give_up, METH_VARARGS, nullptr},
    {"_start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_handle_start)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"__exit__", function_handle_exit, METH_VARARGS, "__exit__($self, *exc_info)\n--\n\nClose the handle."},
    {"__reduce__", function_handle_reduce, METH_NOARGS, nullptr},
    {"submit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_handle_submit)),
     METH_VARARGS | METH_KEYWORDS,
     "submit($self, /, *args, **kwargs)\n--\n\n"
     "The call handle(*args, **kwargs) as a concurrent.futures.Future, returned at once: a shortcut for\n"
     "Executor(name).submit(), through one executor per name in this process."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_handle_getset[] = {
    {"name", function_handle_name, nullptr, "The name the function is served under.", nullptr},
    {"closed", function_handle_closed, nullptr, "True once the handle was closed.", nullptr},
    {"servers", function_handle_servers, nullptr, "The number of live servers of the function.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_handle_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A hosted function opened by open_function(name). Calling it,\n"
                    "handle(*args, timeout=None, **kwargs), calls the function with those arguments as\n"
                    "call_function(name, args) does, but arguments\n"
                    "and result may be of any size (beyond 1024 encoded bytes they travel through a buffer of\n"
                    "the handle's own); timeout bounds the whole wait in seconds and raises TimeoutError when\n"
                    "it passes. Other keyword arguments go to a function hosted by serve().")},
    {Py_tp_new, reinterpret_cast<void*>(function_handle_new)},
    {Py_tp_call, reinterpret_cast<void*>(function_handle_call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_handle_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_handle_dealloc)},
    {Py_tp_methods, function_handle_methods},
    {Py_tp_getset, function_handle_getset},
    {0, nullptr},
};

PyType_Spec function_handle_spec = {
    "zelvane.FunctionHandle",
    sizeof(FunctionHandleObject),
    0,
    Py_TPFLAGS_DEFAULT,  // not subclassable, and not made from Python: open_function makes them
    function_handle_slots,
};

// The number of servers that open_function's `servers` asks for: 0 when
// None (it waits for none beyond what `wait` asks), else at least 1; -1
// with an exception set.
long servers_wanted(PyObject* servers) {
    if (!servers || servers == Py_None) {
        return 0;
    }
    PyRef number(PyNumber_Index(servers));
    const long wanted = number ? PyLong_AsLong(number.get()) : -1;
    if (wanted == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (wanted < 1) {
        PyErr_SetString(PyExc_ValueError, "servers must be a positive number of servers or None");
        return -1;
    }
    return wanted;
}

PyObject* open_function(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"", "wait", "servers", nullptr};
    PyObject* name;
    PyObject* wait = nullptr;
    PyObject* servers = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|$OO:open_function", const_cast<char**>(kwlist), &name, &wait,
                                     &servers)) {
        return nullptr;
    }
    timespec limit;
    bool waits;
    if (!shm::time_limit(wait, limit, waits, "wait")) {
        return nullptr;
    }
    const long wanted = servers_wanted(servers);
    if (wanted < 0) {
        return nullptr;
    }
    FunctionRecord record(name_text(name));
    if (!record.name) {
        return nullptr;
    }
    struct stat st;
    // `servers` waits for that many live servers, up to `wait` seconds when given.
    const bool opened = waits || wanted > 0
                            ? open_when_served(record, st, waits ? &limit : nullptr, std::max(wanted, 1L))
                            : open_named_function(record, st);
    if (!opened) {
        return nullptr;
    }
    FunctionHandleObject* handle = PyObject_New(FunctionHandleObject, function_handle_type);
    if (!handle) {
        return nullptr;
    }
    Py_INCREF(name);
    handle->name = name;
    new (&handle->use) shm::ObjectUse(std::move(record.object));
    handle->st = st;
    handle->opener = shm::this_process();
    new (&handle->buffer) CallBuffer();
    handle->closed = false;
    new (&handle->given_up) std::atomic<bool>(false);
    return reinterpret_cast<PyObject*>(handle);
}

// Creates the handle type and adds it to `module`; false with an exception set.
bool add_function_handle_type(PyObject* module) {
    function_handle_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_handle_spec));
    if (!function_handle_type) {
        return false;
    }
    Py_INCREF(function_handle_type);
    if (PyModule_AddObject(module, "FunctionHandle", reinterpret_cast<PyObject*>(function_handle_type)) < 0) {
        Py_DECREF(function_handle_type);
        return false;
    }
    return true;
}

}  // namespace
