// The zelvane module: its table of functions and their entry points, which
// parse the arguments and hand over to the value slots and hosted functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "arrays/open.h"
#include "calls/bridge.h"
#include "calls/handles/awaited.h"
#include "calls/handles/python_parts.h"
#include "calls/handles/type.h"
#include "kel_2.h"
#include "loop/watch.h"
#include "platform/errors.h"
#include "platform/temporary.h"
#include "public_codec.h"
#include "queues/open.h"
#include "registry_module.h"
#include "slots/handle.h"
#include "slots/slot.h"
#include "slots/state.h"

namespace {

// ---------------------------------------------------------------------------
// Module functions
// ---------------------------------------------------------------------------

PyObject* create_memory(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "prealloc_size", "error_if_exists", nullptr};
    const char* name;
    PyObject* prealloc_size = nullptr;
    PyObject* error_if_exists = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|O!O!", const_cast<char**>(kwlist), &name,
                                     &PyLong_Type, &prealloc_size, &PyBool_Type, &error_if_exists)) {
        return argument_error("Expected at least the name (str) argument.");
    }
    uint64_t pre_size = 0;
    if (prealloc_size) {
        const size_t converted = PyLong_AsSize_t(prealloc_size);
        if (converted == static_cast<size_t>(-1) && PyErr_Occurred()) {
            return argument_error("The given pre-allocate size is too large.");
        }
        pre_size = converted;
    }
    switch (create_shared_memory(name, pre_size, flag_set(error_if_exists))) {
        case CreateOutcome::Created:
            Py_RETURN_TRUE;
        case CreateOutcome::NotCreated:
            Py_RETURN_FALSE;
        default:
            return nullptr;
    }
}

PyObject* remove_memory(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "throw_error", nullptr};
    const char* name;
    PyObject* throw_error = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|O!", const_cast<char**>(kwlist), &name,
                                     &PyBool_Type, &throw_error)) {
        return argument_error("Expected at least the 'name' (str) argument.");
    }
    const bool unlinked = ::shm_unlink(name) == 0;
    std::string file;
    if (shm::shm_file_name(name, file)) {
        object_cache.drop(file);
    }
    if (unlinked) {
        Py_RETURN_TRUE;
    }
    if (flag_set(throw_error)) {
        PyErr_SetString(PyExc_MemoryError, "Failed to unlink the shared memory.");
        return nullptr;
    }
    Py_RETURN_FALSE;
}

// The name at `index` of positional `args` as the "s" format converts it,
// without the parser's format walk: for a str whose UTF-8 form holds no
// NUL. Null, with no exception pending, for anything else, which the
// caller then hands to the parser for its usual refusal.
const char* name_argument(PyObject* args, Py_ssize_t index) {
    PyObject* name = PyTuple_GET_ITEM(args, index);
    if (!PyUnicode_Check(name)) {
        return nullptr;
    }
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    return std::strlen(text) == static_cast<size_t>(size) ? text : nullptr;
}

PyObject* read_memory(PyObject*, PyObject* args) {
    const char* name = PyTuple_GET_SIZE(args) == 1 ? name_argument(args, 0) : nullptr;
    if (name == nullptr && !PyArg_ParseTuple(args, "s", &name)) {
        return argument_error("Expected 1 'str' type.");
    }
    return read_slot(name);
}

PyObject* write_memory(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "value", "create", nullptr};
    const char* name;
    PyObject* value;
    PyObject* create = nullptr;
    if (kwargs == nullptr && PyTuple_GET_SIZE(args) == 2 && (name = name_argument(args, 0)) != nullptr) {
        value = PyTuple_GET_ITEM(args, 1);
    } else if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO|O!", const_cast<char**>(kwlist), &name, &value,
                                            &PyBool_Type, &create)) {
        return argument_error("Expected at least the 'name' (str) and 'value' (any) arguments.");
    }
    // An absent `create` means create.
    return write_slot(name, value, create == nullptr || flag_set(create));
}

PyObject* create_function(PyObject*, PyObject* args) {
    const char* name;
    PyObject* func;
    if (!PyArg_ParseTuple(args, "sO", &name, &func) || !PyCallable_Check(func)) {
        return argument_error("Expected a 'str' and 'callable' type.");
    }
    return create_shared_function(name, func);
}

PyObject* serve(PyObject*, PyObject* args) {
    const char* name;
    PyObject* func;
    if (!PyArg_ParseTuple(args, "sO:serve", &name, &func)) {
        return nullptr;
    }
    if (!PyCallable_Check(func)) {
        PyErr_SetString(PyExc_TypeError, "serve() expects a callable to serve.");
        return nullptr;
    }
    return serve_in_pool(name, func);
}

PyObject* remove_function(PyObject*, PyObject* args) {
    const char* name;
    if (!PyArg_ParseTuple(args, "s", &name)) {
        return argument_error("Expected 1 'str' type.");
    }
    return stop_shared_function(name);
}

PyObject* call_function(PyObject*, PyObject* args) {
    const char* name;
    PyObject* call_args;
    if (PyTuple_GET_SIZE(args) == 2 && PyTuple_Check(PyTuple_GET_ITEM(args, 1)) &&
        (name = name_argument(args, 0)) != nullptr) {
        call_args = PyTuple_GET_ITEM(args, 1);
    } else if (!PyArg_ParseTuple(args, "sO!", &name, &PyTuple_Type, &call_args)) {
        return argument_error("Expected a 'str' and 'tuple' type.");
    }
    return call_shared_function(name, call_args);
}

// ---------------------------------------------------------------------------
// Private helpers of the zelvane command
// ---------------------------------------------------------------------------

// What the object open as the descriptor `fd` is: "slot", "function",
// "array", "queue" or None for an object that is not zelvane's.
PyObject* object_kind(PyObject*, PyObject* fd_object) {
    const int fd = PyObject_AsFileDescriptor(fd_object);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    switch (recognise_object(fd, st)) {
        case ObjectKind::Slot:
            return PyUnicode_FromString("slot");
        case ObjectKind::Function:
            return PyUnicode_FromString("function");
        case ObjectKind::Array:
            return PyUnicode_FromString("array");
        case ObjectKind::Queue:
            return PyUnicode_FromString("queue");
        default:
            Py_RETURN_NONE;
    }
}

// The number of servers of the pool whose record is open as the descriptor `fd`.
PyObject* pool_server_count(PyObject*, PyObject* fd_object) {
    const int fd = PyObject_AsFileDescriptor(fd_object);
    return fd < 0 ? nullptr : PyLong_FromLong(pool_servers(fd));
}

// Removes `name` if it is a slot, an array, a queue or an unserved function record,
// as `kind` says: "removed", "gone" (no such name, or it changed meanwhile), "served"
// (a process holds the record's server lock) or "other" (not of that kind).
PyObject* remove_recognised_object(PyObject*, PyObject* args) {
    const char* name;
    const char* kind_name;
    if (!PyArg_ParseTuple(args, "ss:_remove_recognised", &name, &kind_name)) {
        return nullptr;
    }
    const std::string_view kind(kind_name);
    const ObjectKind expected = kind == "slot"       ? ObjectKind::Slot
                                : kind == "function" ? ObjectKind::Function
                                : kind == "array"    ? ObjectKind::Array
                                : kind == "queue"    ? ObjectKind::Queue
                                                     : ObjectKind::Foreign;
    if (expected == ObjectKind::Foreign) {
        PyErr_Format(PyExc_ValueError, "Unknown kind of object '%s'.", kind_name);
        return nullptr;
    }
    std::string file;
    std::string path;
    if (!shm::shm_file_name(name, file) || !shm::shm_path(name, path)) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    switch (remove_recognised(path, expected)) {
        case Removal::Removed:
            object_cache.drop(file);
            return PyUnicode_FromString("removed");
        case Removal::Gone:
            return PyUnicode_FromString("gone");
        case Removal::Served:
            return PyUnicode_FromString("served");
        case Removal::Other:
            return PyUnicode_FromString("other");
        default:
            return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    }
}

// How many processes hold the temporary object open as the descriptor `fd`
// (which may be read-only), or None when the object is not temporary.
PyObject* temporary_holders(PyObject*, PyObject* fd_object) {
    const int fd = PyObject_AsFileDescriptor(fd_object);
    struct stat st;
    if (fd < 0) {
        return nullptr;
    }
    if (::fstat(fd, &st) != 0) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    if (!temporary::marked(st)) {
        Py_RETURN_NONE;
    }
    return PyLong_FromLong(temporary::count_holders(fd));
}

// Removes `name` if it is a temporary object of `kind` ("slot", "array" or "queue")
// that no process holds: "removed", "held", "gone" (no such name, or it
// changed meanwhile), "permanent" or "other" (not of that kind).
PyObject* remove_unheld_object(PyObject*, PyObject* args) {
    const char* name;
    const char* kind_name;
    if (!PyArg_ParseTuple(args, "ss:_remove_unheld", &name, &kind_name)) {
        return nullptr;
    }
    const std::string_view kind(kind_name);
    const ObjectKind expected = kind == "slot"    ? ObjectKind::Slot
                                : kind == "array" ? ObjectKind::Array
                                : kind == "queue" ? ObjectKind::Queue
                                                  : ObjectKind::Foreign;
    if (expected == ObjectKind::Foreign) {
        PyErr_Format(PyExc_ValueError, "Unknown kind of temporary object '%s'.", kind_name);
        return nullptr;
    }
    std::string path;
    if (!shm::shm_path(name, path)) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    shm::Fd fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return errno == ENOENT ? PyUnicode_FromString("gone") : PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    }
    struct stat st;
    if (recognise_object(fd.get(), st) != expected) {
        return PyUnicode_FromString("other");
    }
    if (!temporary::marked(st)) {
        return PyUnicode_FromString("permanent");
    }
    switch (temporary::remove_unheld(fd.get(), path)) {
        case temporary::Removal::Removed:
            return PyUnicode_FromString("removed");
        case temporary::Removal::Held:
            return PyUnicode_FromString("held");
        case temporary::Removal::Gone:
            return PyUnicode_FromString("gone");
        default:
            return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    }
}

// The shape, format and version of the array open as the descriptor `fd`
// (which may be read-only), or None when it is not an array.
PyObject* array_layout_of(PyObject*, PyObject* fd_object) {
    const int fd = PyObject_AsFileDescriptor(fd_object);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    ArrayLayout layout;
    uint32_t version;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !read_array_layout(fd, static_cast<uint64_t>(st.st_size), layout, version)) {
        Py_RETURN_NONE;
    }
    PyRef shape(shape_tuple(layout));
    if (!shape) {
        return nullptr;
    }
    return Py_BuildValue("{sOsssKsI}", "shape", shape.get(), "format", layout.format, "nbytes",
                         static_cast<unsigned long long>(layout.nbytes), "version", version);
}

// The Redis back end is written in Python and imports redis-py; both load on
// first use, so that importing zelvane imports neither.
PyObject* connect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyRef target(python_part("zelvane._remote", "connect"));
    return target ? PyObject_Vectorcall(target.get(), args, static_cast<size_t>(nargs), kwnames) : nullptr;
}

// The module's attributes that load on first use, and where they live.
struct LazyAttribute {
    const char* name;
    const char* module;
};
constexpr LazyAttribute LAZY_ATTRIBUTES[] = {
    {"Remote", "zelvane._remote"},
    {"RemoteMemoryHandle", "zelvane._remote"},
    {"RemoteFunctionHandle", "zelvane._remote"},
    {"RemoteQueueHandle", "zelvane._remote_queues"},
    {"RemoteQueueReservation", "zelvane._remote_queues"},
    {"Executor", "zelvane._executor"},
};

PyObject* module_getattr(PyObject*, PyObject* name) {
    for (const LazyAttribute& lazy : LAZY_ATTRIBUTES) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, lazy.name) == 0) {
            return python_part(lazy.module, lazy.name);
        }
    }
    PyErr_Format(PyExc_AttributeError, "module 'zelvane' has no attribute '%S'", name);
    return nullptr;
}

// _leave_serving(thread_id): asks the thread of this process with that
// threading.get_ident() to leave the pools it serves, as if it ended alone
// (an event loop's server whose task was cancelled); whether it serves.
PyObject* leave_serving(PyObject*, PyObject* thread_id) {
    const unsigned long id = PyLong_AsUnsignedLong(thread_id);
    if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        return nullptr;
    }
    return PyBool_FromLong(serving_threads.ask_to_leave(static_cast<pthread_t>(id)));
}

// _remote_exception(name, report): the exception that a served function's
// report describes, for the Redis back end, whose replies carry the same.
PyObject* remote_exception_of(PyObject*, PyObject* args) {
    const char* name;
    PyObject* report;
    if (!PyArg_ParseTuple(args, "sO:_remote_exception", &name, &report)) {
        return nullptr;
    }
    return remote_exception(name, report).release();
}

PyMethodDef methods[] = {
    {"create_memory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(create_memory)),
     METH_VARARGS | METH_KEYWORDS,
     "create_memory($module, name, prealloc_size=0, error_if_exists=False)\n--\n\n"
     "Create a shared memory address."},
    {"remove_memory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remove_memory)),
     METH_VARARGS | METH_KEYWORDS,
     "remove_memory($module, name, throw_error=False)\n--\n\n"
     "Remove a shared memory address."},
    {"read_memory", read_memory, METH_VARARGS,
     "read_memory($module, name, /)\n--\n\n"
     "Get the value stored in a shared memory address."},
    {"write_memory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_memory)),
     METH_VARARGS | METH_KEYWORDS,
     "write_memory($module, name, value, create=True)\n--\n\n"
     "Write a value to a shared memory address."},
    {"create_function", create_function, METH_VARARGS,
     "create_function($module, name, func, /)\n--\n\n"
     "Create and link a function to shared memory."},
    {"remove_function", remove_function, METH_VARARGS,
     "remove_function($module, name, /)\n--\n\n"
     "Stop a function linked to shared memory."},
    {"call_function", call_function, METH_VARARGS,
     "call_function($module, name, args, /)\n--\n\n"
     "Call a function linked to shared memory."},
    {"serve", serve, METH_VARARGS,
     "serve($module, name, func, /)\n--\n\n"
     "Serve func under name as one server of a pool: blocks until remove_function(name) stops the pool\n"
     "(then returns None). An exception raised by func goes back to its caller and serving goes on."},
    {"open_function", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_function)),
     METH_VARARGS | METH_KEYWORDS,
     "open_function($module, name, /, *, wait=None, servers=None)\n--\n\n"
     "Open a handle to the function served under name: calling it, handle(*args, timeout=None, **kwargs),\n"
     "calls the function without looking the name up again, within an optional time limit. With wait,\n"
     "waits up to that many seconds for the name to be served (TimeoutError when it is not); with\n"
     "servers, until that many live servers serve it (up to wait seconds when given)."},
    {"open_memory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_memory)),
     METH_VARARGS | METH_KEYWORDS, OPEN_MEMORY_DOC},
    {"dumps", dumps, METH_O, "dumps($module, value, /)\n--\n\nEncode a value into the bytes a slot would hold."},
    {"loads", loads, METH_O,
     "loads($module, data, /)\n--\n\nDecode a value from bytes-like data written by dumps() or held by a slot."},
    {"open_array", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_array)),
     METH_VARARGS | METH_KEYWORDS, OPEN_ARRAY_DOC},
    {"open_queue", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(queues::open_queue)),
     METH_VARARGS | METH_KEYWORDS, queues::OPEN_QUEUE_DOC},
    {"connect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(connect)), METH_FASTCALL | METH_KEYWORDS,
     "connect($module, url, /, *, namespace='zelvane', replicas=0)\n--\n\n"
     "Connect to the Redis server at url (redis://, rediss://, unix://): the Remote returned offers the slots\n"
     "and services of this module on it, under the namespace given; on a Redis Cluster node, on the whole\n"
     "cluster. With replicas=N, a write counts once N replicas have it. Needs redis-py (zelvane[redis])."},
    {"__getattr__", module_getattr, METH_O, nullptr},
    {"_object_kind", object_kind, METH_O, nullptr},
    {"_array_layout", array_layout_of, METH_O, nullptr},
    {"_queue_state", queues::queue_state_of, METH_O, nullptr},
    {"_remove_recognised", remove_recognised_object, METH_VARARGS, nullptr},
    {"_pool_servers", pool_server_count, METH_O, nullptr},
    {"_temporary_holders", temporary_holders, METH_O, nullptr},
    {"_remove_unheld", remove_unheld_object, METH_VARARGS, nullptr},
    {"_leave_serving", leave_serving, METH_O, nullptr},
    {"_remote_exception", remote_exception_of, METH_VARARGS, nullptr},
    {"_wait_any", wait_for_any_slot, METH_VARARGS, nullptr},
    {"_bell", bell_count, METH_NOARGS, nullptr},
    {"_ring", ring_watchers, METH_NOARGS, nullptr},
    {"_wake_servers", wake_held_servers, METH_NOARGS, nullptr},
    {"_collect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(collect_posted)), METH_FASTCALL,
     nullptr},
    {"_any_large", awaited::any_large, METH_O, nullptr},
    {"_settle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(awaited::settle_future)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void zelvane_module_cleanup(void* module) {
    if (registry_module::release_registry(static_cast<PyObject*>(module))) {
        object_cache.clear();
    }
}

// The build passes the package version; a build outside the packaging gets this one.
#ifndef ZELVANE_VERSION
#define ZELVANE_VERSION "0+unknown"
#endif

// The parts written in Python (zelvane.aio and the like) live in a directory
// beside the extension; naming it the module's search path makes
// `import zelvane.aio` find them without importing any of them up front.
constexpr const char PYTHON_PARTS_DIR[] = "zelvane-lib";

int add_python_parts_path(PyObject* module) {
    PyRef file(PyObject_GetAttrString(module, "__file__"));
    if (!file) {
        // Loaded without a location (by hand): no submodules then.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    PyRef os_path(PyImport_ImportModule("os.path"));
    if (!os_path) {
        return -1;
    }
    PyRef dir(PyObject_CallMethod(os_path.get(), "dirname", "O", file.get()));
    if (!dir) {
        return -1;
    }
    PyRef parts(PyObject_CallMethod(os_path.get(), "join", "Os", dir.get(), PYTHON_PARTS_DIR));
    if (!parts) {
        return -1;
    }
    PyRef path(PyList_New(1));
    if (!path) {
        return -1;
    }
    PyList_SET_ITEM(path.get(), 0, parts.release());
    if (PyModule_AddObject(module, "__path__", path.get()) < 0) {
        return -1;
    }
    path.release();
    return 0;
}

// At interpreter exit every temporary object this process holds is let go
// of as its last handle would; registered once for the process.
void hold_temporaries_until_exit() {
    static const bool registered = Py_AtExit(temporary::release_all) == 0;
    (void)registered;
}

int zelvane_module_exec(PyObject* module) {
    if (registry_module::hold_registry(module, "zelvane") < 0) {
        return -1;
    }
    hold_temporaries_until_exit();
    slot_state::check_word_is_free();
    if (PyModule_AddStringConstant(module, "__version__", ZELVANE_VERSION) < 0 ||
        !add_function_handle_type(module) || !make_pending_call_type() || !add_awaited_call_types(module) || add_memory_handle_type(module) < 0 ||
        add_array_handle_type(module) < 0 || queues::add_queue_types(module) < 0 || !add_remote_error_types(module) ||
        add_python_parts_path(module) < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot zelvane_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(zelvane_module_exec)},
    REGISTRY_MODULE_INTERPRETERS_SLOT
    {0, nullptr},
};

PyModuleDef zelvane_module = {
    PyModuleDef_HEAD_INIT,
    "zelvane",
    "A module for managing shared memory with Python.",
    sizeof(registry_module::State),
    methods,
    zelvane_slots,
    nullptr,
    nullptr,
    zelvane_module_cleanup,
};

}  // namespace

PyMODINIT_FUNC PyInit_zelvane(void) { return PyModuleDef_Init(&zelvane_module); }
