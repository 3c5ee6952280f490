// The zelvane module: its seven functions, value slots, and hosted functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "kel_2.h"
#include "py_ref.h"
#include "shm_support.h"

namespace {

// Replaces whatever the argument parser raised with the function's message.
PyObject* argument_error(const char* message) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

PyObject* memory_error(const char* format, const char* name) {
    PyErr_Format(PyExc_MemoryError, format, name);
    return nullptr;
}

// Flags count as set only when they are the True object itself.
inline bool flag_set(PyObject* flag) { return flag == Py_True; }

// ---------------------------------------------------------------------------
// Value slots
// ---------------------------------------------------------------------------

struct BasicShm {
    uint64_t max_size;
    pthread_mutex_t mutex;
};
static_assert(sizeof(BasicShm) == 48, "the slot header is part of the shared format");

constexpr uint64_t HEADER_SIZE = sizeof(BasicShm);
constexpr uint64_t HEADROOM = 32;
// A hosted function's record; a value slot of this size is told apart by its header.
constexpr uint64_t FUNCTION_RECORD_SIZE = 1168;

enum class CreateOutcome { Created, NotCreated, Failed };

CreateOutcome fail_creation(const char* format, const char* name) {
    memory_error(format, name);
    return CreateOutcome::Failed;
}

CreateOutcome name_taken(const char* name, bool error_if_exists) {
    if (error_if_exists) {
        return fail_creation("The memory address '%s' already exists.", name);
    }
    return CreateOutcome::NotCreated;
}

// Creates an initialised slot under `name`. It is built unnamed and linked
// under the name only once complete, so nobody sees it half made and a
// creator that dies part-way leaves nothing behind.
CreateOutcome create_shared_memory(const char* name, uint64_t pre_size, bool error_if_exists) {
    std::string path;
    if (!shm::shm_path(name, path)) {
        return CreateOutcome::NotCreated;
    }
    if (shm::name_exists(name)) {
        return name_taken(name, error_if_exists);
    }
    shm::Fd fd = shm::create_unnamed();
    if (!fd.valid()) {
        return CreateOutcome::NotCreated;
    }
    if (pre_size > static_cast<uint64_t>(INT64_MAX) - HEADER_SIZE ||
        ::ftruncate(fd.get(), static_cast<off_t>(pre_size + HEADER_SIZE)) != 0) {
        return fail_creation("Failed to allocate for shared memory address '%s'.", name);
    }
    {
        shm::Mapping header;
        if (!header.map(fd.get(), HEADER_SIZE)) {
            return fail_creation("Failed to map shared memory address '%s'.", name);
        }
        BasicShm* slot = header.as<BasicShm>();
        if (shm::init_shared_mutex(&slot->mutex) != 0) {
            return fail_creation("Failed to initialize mutex for shared memory address '%s'.", name);
        }
        slot->max_size = pre_size;
    }
    if (!shm::publish(fd.get(), name)) {
        return errno == EEXIST ? name_taken(name, error_if_exists) : CreateOutcome::NotCreated;
    }
    return CreateOutcome::Created;
}

// One locked access to a slot. The mutex is unlocked through the mapping it
// was locked through, before any view is unmapped (members are destroyed in
// reverse order).
struct SlotAccess {
    shm::Mapping mapping;
    shm::Mapping grown;  // a larger view, when the object grew after `mapping` was made
    shm::HeldMutex lock;

    BasicShm* header() const { return mapping.as<BasicShm>(); }
    unsigned char* payload() const { return (grown.mapped() ? grown : mapping).bytes() + HEADER_SIZE; }
    uint64_t max_size() const { return header()->max_size; }
    // Another process may store the capacity while this one holds no lock.
    uint64_t unlocked_max_size() const {
        return std::atomic_ref<uint64_t>(header()->max_size).load(std::memory_order_acquire);
    }
};

bool not_a_slot(const char* name) {
    memory_error("The shared memory address '%s' does not hold a value slot.", name);
    return false;
}

// Whether an object of `size` bytes whose header reads `max_size` can be a
// slot. A larger object than the header says is a writer that died between
// growing it and storing the new capacity, unless it has the size of a
// hosted function's record.
bool looks_like_slot(uint64_t size, uint64_t max_size) {
    if (size < HEADER_SIZE || max_size > size - HEADER_SIZE) {
        return false;
    }
    return size == HEADER_SIZE + max_size || size != FUNCTION_RECORD_SIZE;
}

bool object_size(int fd, uint64_t& size) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

// The kind check made before the mutex is touched, so that another kind of
// object is never locked or written. A header that describes more than the
// object measured earlier may come from a writer that grew the slot since
// then (the object grows before its capacity is stored), so the object is
// measured again before that counts against it.
bool check_slot_unlocked(const SlotAccess& access, int fd, uint64_t size) {
    const uint64_t max_size = access.unlocked_max_size();
    if (max_size > size - HEADER_SIZE && !object_size(fd, size)) {
        return false;
    }
    return looks_like_slot(size, max_size);
}

shm::Fd open_slot_fd(const char* name, bool create) {
    shm::Fd fd(shm::open_existing(name));
    if (fd.valid()) {
        return fd;
    }
    if (errno != ENOENT || !create) {
        memory_error("Failed to open shared memory address '%s'.", name);
        return fd;
    }
    if (create_shared_memory(name, 0, false) == CreateOutcome::Failed) {
        return fd;
    }
    fd = shm::Fd(shm::open_existing(name));
    if (!fd.valid()) {
        memory_error("Failed to open shared memory address '%s' after creation.", name);
    }
    return fd;
}

// Under the mutex: grows the object to hold `new_size` payload bytes (never
// shrinking it; the size is measured under the mutex, so two writers cannot
// undo each other's growth) and stores the new capacity.
bool grow_slot(SlotAccess& access, int fd, uint64_t new_size, const char* name) {
    uint64_t size;
    if (!object_size(fd, size) || !looks_like_slot(size, access.max_size())) {
        return not_a_slot(name);
    }
    const uint64_t capacity = new_size + HEADROOM;
    if (size < HEADER_SIZE + capacity && ::ftruncate(fd, static_cast<off_t>(HEADER_SIZE + capacity)) != 0) {
        PyErr_SetString(PyExc_MemoryError, "Failed to resize shared memory.");
        return false;
    }
    access.header()->max_size = capacity;
    return true;
}

// Under the mutex: makes room for `new_size` payload bytes and maps the whole
// payload. Without growth the object is not measured again: it only grows,
// so a capacity inside the first mapping lies inside the object.
bool fit_payload(SlotAccess& access, int fd, uint64_t new_size, const char* name) {
    if (new_size > access.max_size() && !grow_slot(access, fd, new_size, name)) {
        return false;
    }
    const uint64_t needed = HEADER_SIZE + access.max_size();
    if (needed <= access.mapping.length()) {
        return true;
    }
    // Another writer grew the object after it was mapped.
    uint64_t size;
    if (!object_size(fd, size) || !looks_like_slot(size, access.max_size())) {
        return not_a_slot(name);
    }
    if (!access.grown.map(fd, needed)) {
        memory_error("Failed to map shared memory address '%s'.", name);
        return false;
    }
    return true;
}

// The previous holder of the mutex died; if it had grown the object without
// storing the new capacity, the object's size tells it.
void repair_capacity(BasicShm* header, int fd) {
    uint64_t size;
    if (object_size(fd, size) && size > HEADER_SIZE + header->max_size && size != FUNCTION_RECORD_SIZE) {
        header->max_size = size - HEADER_SIZE;
    }
}

// Opens the slot `name` (creating an empty one when allowed), gives it room
// for `new_size` payload bytes, maps it and takes its mutex.
bool get_basic_shm(SlotAccess& access, const char* name, uint64_t new_size, bool create) {
    shm::Fd fd = open_slot_fd(name, create);
    if (!fd.valid()) {
        return false;
    }
    uint64_t size;
    if (!object_size(fd.get(), size) || size < HEADER_SIZE) {
        return not_a_slot(name);
    }
    if (!access.mapping.map(fd.get(), size)) {
        memory_error("Failed to map shared memory address '%s'.", name);
        return false;
    }
    if (!check_slot_unlocked(access, fd.get(), size)) {
        return not_a_slot(name);
    }
    BasicShm* header = access.header();
    const int raw_fd = fd.get();
    access.lock = shm::lock_robust(&header->mutex, name, [header, raw_fd] { repair_capacity(header, raw_fd); });
    if (!access.lock.held()) {
        return false;
    }
    return fit_payload(access, raw_fd, new_size, name);
}

// Copies an encoded value into the payload so that a reader never decodes a
// torn value: byte 0 (the marker) is cleared first and written last, so a
// writer killed mid-copy leaves an invalid marker behind.
void store_encoded(unsigned char* payload, const unsigned char* data, size_t length) {
    std::atomic_ref<unsigned char> marker(payload[0]);
    marker.store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(payload + 1, data + 1, length - 1);
    marker.store(data[0], std::memory_order_release);
}

PyObject* read_slot(const char* name) {
    SlotAccess access;
    if (!get_basic_shm(access, name, 0, false)) {
        return nullptr;
    }
    if (access.max_size() == 0) {
        Py_RETURN_NONE;
    }
    return to_value_range(access.payload(), access.max_size());
}

PyObject* write_slot(const char* name, PyObject* value, bool create) {
    PyRef encoded(from_value(value));
    if (!encoded) {
        return nullptr;
    }
    char* data;
    Py_ssize_t length;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &length) < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "Failed to convert a Python bytes object to a C string.");
        return nullptr;
    }
    SlotAccess access;
    if (!get_basic_shm(access, name, static_cast<uint64_t>(length), create)) {
        return nullptr;
    }
    store_encoded(access.payload(), reinterpret_cast<const unsigned char*>(data), static_cast<size_t>(length));
    Py_RETURN_TRUE;
}

// ---------------------------------------------------------------------------
// Hosted functions
// ---------------------------------------------------------------------------

PyObject* not_built_yet() {
    PyErr_SetString(PyExc_NotImplementedError, "Hosted functions are not available yet.");
    return nullptr;
}

PyObject* create_shared_function(const char*, PyObject*) { return not_built_yet(); }
PyObject* stop_shared_function(const char*) { return not_built_yet(); }
PyObject* call_shared_function(const char*, PyObject*) { return not_built_yet(); }

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
    if (::shm_unlink(name) == 0) {
        Py_RETURN_TRUE;
    }
    if (flag_set(throw_error)) {
        PyErr_SetString(PyExc_MemoryError, "Failed to unlink the shared memory.");
        return nullptr;
    }
    Py_RETURN_FALSE;
}

PyObject* read_memory(PyObject*, PyObject* args) {
    const char* name;
    if (!PyArg_ParseTuple(args, "s", &name)) {
        return argument_error("Expected 1 'str' type.");
    }
    return read_slot(name);
}

PyObject* write_memory(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "value", "create", nullptr};
    const char* name;
    PyObject* value;
    PyObject* create = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO|O!", const_cast<char**>(kwlist), &name, &value,
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
    if (!PyArg_ParseTuple(args, "sO!", &name, &PyTuple_Type, &call_args)) {
        return argument_error("Expected a 'str' and 'tuple' type.");
    }
    return call_shared_function(name, call_args);
}

PyMethodDef methods[] = {
    {"create_memory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(create_memory)),
     METH_VARARGS | METH_KEYWORDS, "Create a shared memory address."},
    {"remove_memory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remove_memory)),
     METH_VARARGS | METH_KEYWORDS, "Remove a shared memory address."},
    {"read_memory", read_memory, METH_VARARGS, "Get the value stored in a shared memory address."},
    {"write_memory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_memory)),
     METH_VARARGS | METH_KEYWORDS, "Write a value to a shared memory address."},
    {"create_function", create_function, METH_VARARGS, "Create and link a function to shared memory."},
    {"remove_function", remove_function, METH_VARARGS, "Stop a function linked to shared memory."},
    {"call_function", call_function, METH_VARARGS, "Call a function linked to shared memory."},
    {nullptr, nullptr, 0, nullptr},
};

void zelvane_module_cleanup(void*) { kel2_cleanup(); }

PyModuleDef zelvane_module = {
    PyModuleDef_HEAD_INIT,
    "zelvane",
    "A module for managing shared memory with Python.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    zelvane_module_cleanup,
};

}  // namespace

PyMODINIT_FUNC PyInit_zelvane(void) {
    if (kel2_init() < 0) {
        return nullptr;
    }
    return PyModule_Create(&zelvane_module);
}
