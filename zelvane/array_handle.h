// zelvane.ArrayHandle: a named shared array (array_layout.h) mapped into
// this process and exported through the buffer protocol, so that numpy
// arrays and memoryviews over it are views of the shared memory itself.
//
// The mapping belongs to a reference-counted ArrayMapping, not to the
// handle: the handle holds one reference while open, every exported view
// one until it is released, and a thread holding the lock one until it
// unlocks. So close() never waits for views, a view outlives its handle,
// and a removal of the name elsewhere changes nothing here (the memory stays
// until its last mapping goes). A fork child inherits the mapping as it is
// (MAP_SHARED), so its views and handles keep working on the same memory.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "array_layout.h"
#include "bridge_errors.h"
#include "held_lock.h"
#include "py_ref.h"
#include "shm_support.h"
#include "slot_lock.h"
#include "slot_state.h"
#include "temporary.h"

namespace {

// An array's mapping and this process's copy of its layout. Only touched
// with the GIL held.
struct ArrayMapping {
    shm::Mapping mapping;
    ArrayLayout layout;
    uint32_t version_at_open = 0;
    Py_ssize_t refs = 1;

    ArrayShm* header() const { return mapping.as<ArrayShm>(); }
    std::atomic<uint32_t>* state() const { return &header()->state; }
    unsigned char* data() const { return mapping.bytes() + layout.data_offset; }
};

ArrayMapping* share(ArrayMapping* array) {
    ++array->refs;
    return array;
}

void unshare(ArrayMapping* array) {
    if (array && --array->refs == 0) {
        delete array;
    }
}

// One reference to an ArrayMapping, for as long as the holder lives.
class ArrayRef {
public:
    ArrayRef() = default;
    explicit ArrayRef(ArrayMapping* array) : array_(share(array)) {}
    ArrayRef(const ArrayRef&) = delete;
    ArrayRef& operator=(const ArrayRef&) = delete;
    ArrayRef(ArrayRef&& other) noexcept : array_(std::exchange(other.array_, nullptr)) {}
    ArrayRef& operator=(ArrayRef&& other) noexcept {
        if (this != &other) {
            unshare(std::exchange(array_, std::exchange(other.array_, nullptr)));
        }
        return *this;
    }
    ~ArrayRef() { unshare(array_); }

    // Takes over the reference a new mapping is born with.
    static ArrayRef adopt(ArrayMapping* array) {
        ArrayRef ref;
        ref.array_ = array;
        return ref;
    }
    ArrayMapping* release() { return std::exchange(array_, nullptr); }
    explicit operator bool() const { return array_ != nullptr; }
    ArrayMapping* operator->() const { return array_; }

private:
    ArrayMapping* array_ = nullptr;
};

// The array's mutex held through a handle by one thread of one process
// (held_lock.h). Letting go of it marks a change: the holder may have
// written anything.
struct HeldArray {
    ArrayRef array;  // the mutex is unlocked through this mapping
    shm::HeldMutex lock;
    uint32_t* seen_version = nullptr;  // the handle's, told the version its change made
    pid_t process = 0;
    pid_t thread = 0;

    HeldArray() = default;
    HeldArray(const HeldArray&) = delete;
    HeldArray& operator=(const HeldArray&) = delete;
    ~HeldArray() {
        if (!lock.held()) {
            return;
        }
        const bool wake = slot_state::count_change(array->state());
        *seen_version = slot_state::version_of(array->state());
        lock.unlock();
        if (wake) {
            slot_state::wake_all(array->state());
        }
    }

    void forget() { lock.forget(); }
};

struct ArrayHandle {
    PyObject_HEAD
    PyObject* name;         // the str the handle was opened with
    PyObject* shape;        // a tuple of ints
    PyObject* format;       // a str
    Py_ssize_t nbytes;
    ArrayMapping* array;    // null once closed
    HeldArray* held;        // while a thread holds the array's mutex through the handle
    uint32_t seen_version;  // the version this handle last saw
    temporary::Hold* hold;  // this process's hold on a temporary array, or null
};

template <>
struct LockNames<ArrayHandle> {
    static constexpr const char* type_name = "zelvane.ArrayLock";
    static constexpr const char* handle_type = "ArrayHandle";
    static constexpr const char* doc =
        "The lock of an array, held through a handle from entering a with block to leaving it; made by "
        "ArrayHandle.lock().";
};

PyTypeObject* array_handle_type = nullptr;

ArrayHandle* as_array_handle(PyObject* self) { return reinterpret_cast<ArrayHandle*>(self); }

const char* handle_name(const ArrayHandle* self) { return message_name(self->name); }

bool handle_open(const ArrayHandle* self) { return self->array != nullptr; }

bool closed_error(const ArrayHandle* self) {
    PyErr_Format(PyExc_ValueError, "I/O operation on a closed array handle of '%s'.", handle_name(self));
    return false;
}

// Marks a change and wakes its waiters; returns the version it made.
uint32_t mark_change(std::atomic<uint32_t>* state) {
    if (slot_state::count_change(state)) {
        slot_state::wake_all(state);
    }
    return slot_state::version_of(state);
}

bool lock_for_holding(ArrayHandle* self, HeldArray& held, const timespec* limit) {
    // Kept while the GIL is let go to wait, whatever closes the handle meanwhile.
    held.array = ArrayRef(self->array);
    std::atomic<uint32_t>* state = held.array->state();
    // A holder that died inside its lock() block never marked its change:
    // it is marked now, so that waiters look at the data again.
    held.lock = shm::lock_robust(&held.array->header()->mutex, handle_name(self), [state] { mark_change(state); },
                                 limit);
    if (!held.lock.held()) {
        return false;
    }
    held.seen_version = &self->seen_version;
    return true;
}

// --- The buffer protocol --------------------------------------------------

int array_get_buffer(PyObject* py_self, Py_buffer* view, int flags) {
    ArrayHandle* self = as_array_handle(py_self);
    if (!self->array) {
        view->obj = nullptr;
        closed_error(self);
        return -1;
    }
    ArrayMapping* array = share(self->array);
    const ArrayLayout& layout = array->layout;
    view->buf = array->data();
    view->len = static_cast<Py_ssize_t>(layout.nbytes);
    view->readonly = 0;
    view->suboffsets = nullptr;
    view->internal = array;
    view->obj = PyRef::borrow(py_self).release();
    if ((flags & PyBUF_ND) != PyBUF_ND) {
        // A consumer that takes no shape takes the bytes.
        view->itemsize = 1;
        view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("B") : nullptr;
        view->ndim = 1;
        view->shape = nullptr;
        view->strides = nullptr;
        return 0;
    }
    view->itemsize = layout.itemsize;
    view->format = (flags & PyBUF_FORMAT) ? array->layout.format : nullptr;
    view->ndim = static_cast<int>(layout.ndim);
    view->shape = array->layout.shape;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? array->layout.strides : nullptr;
    return 0;
}

void array_release_buffer(PyObject*, Py_buffer* view) { unshare(static_cast<ArrayMapping*>(view->internal)); }

// --- Methods ----------------------------------------------------------------

// The last handle of a temporary array in the last process that holds it
// removes its name; views made through it stay usable.
void close_array_handle(ArrayHandle* self) {
    unshare(std::exchange(self->array, nullptr));
    temporary::release(std::exchange(self->hold, nullptr));
}

PyObject* array_close(PyObject* py_self, PyObject*) {
    close_array_handle(as_array_handle(py_self));
    Py_RETURN_NONE;
}

PyObject* array_exit(PyObject* py_self, PyObject*) {
    close_array_handle(as_array_handle(py_self));
    Py_RETURN_FALSE;
}

PyObject* array_wait(PyObject* py_self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"since", "timeout", nullptr};
    PyObject* since = nullptr;
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:wait", const_cast<char**>(kwlist), &since, &timeout)) {
        return nullptr;
    }
    ArrayHandle* self = as_array_handle(py_self);
    uint32_t version;
    timespec limit;
    bool limited;
    if (!handle_ready(self) || !slot_state::since_version(self->seen_version, since, version) ||
        !shm::time_limit(timeout, limit, limited) || !may_wait(self)) {
        return nullptr;
    }
    // The mapping stays while the GIL is let go, whatever closes the handle.
    ArrayRef array(self->array);
    if (!slot_state::wait_for_change(array->state(), version, limited ? &limit : nullptr, handle_name(self),
                                     version)) {
        return nullptr;
    }
    self->seen_version = version;
    return PyLong_FromUnsignedLong(version);
}

PyObject* array_notify(PyObject* py_self, PyObject*) {
    ArrayHandle* self = as_array_handle(py_self);
    if (!handle_ready(self)) {
        return nullptr;
    }
    self->seen_version = mark_change(self->array->state());
    Py_RETURN_NONE;
}

PyObject* array_get_version(PyObject* py_self, void*) {
    ArrayHandle* self = as_array_handle(py_self);
    if (!handle_open(self)) {
        closed_error(self);
        return nullptr;
    }
    return PyLong_FromUnsignedLong(slot_state::version_of(self->array->state()));
}

PyObject* array_get_name(PyObject* py_self, void*) { return PyRef::borrow(as_array_handle(py_self)->name).release(); }

PyObject* array_get_shape(PyObject* py_self, void*) {
    return PyRef::borrow(as_array_handle(py_self)->shape).release();
}

PyObject* array_get_format(PyObject* py_self, void*) {
    return PyRef::borrow(as_array_handle(py_self)->format).release();
}

PyObject* array_get_nbytes(PyObject* py_self, void*) { return PyLong_FromSsize_t(as_array_handle(py_self)->nbytes); }

PyObject* array_get_closed(PyObject* py_self, void*) { return PyBool_FromLong(!handle_open(as_array_handle(py_self))); }

PyObject* array_repr(PyObject* py_self) {
    ArrayHandle* self = as_array_handle(py_self);
    return PyUnicode_FromFormat("<zelvane.ArrayHandle name=%R shape=%R format=%R%s>", self->name, self->shape,
                                self->format, handle_open(self) ? "" : " closed");
}

PyObject* array_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'zelvane.ArrayHandle' instances; use zelvane.open_array()");
    return nullptr;
}

void array_dealloc(PyObject* py_self) {
    ArrayHandle* self = as_array_handle(py_self);
    let_go_of_held(self);
    self->held = nullptr;  // what another thread holds stays with it (see let_go_of_held)
    close_array_handle(self);
    Py_XDECREF(self->name);
    Py_XDECREF(self->shape);
    Py_XDECREF(self->format);
    PyTypeObject* type = Py_TYPE(py_self);
    type->tp_free(py_self);
    Py_DECREF(type);
}

PyMethodDef array_methods[] = {
    {"lock", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(handle_lock_method<ArrayHandle>)),
     METH_VARARGS | METH_KEYWORDS,
     "lock($self, /, timeout=None)\n--\n\n"
     "A context manager that holds the array's lock and gives the handle; leaving it marks a change\n"
     "(the version grows by one). Every other holder of the lock, in any process, waits meanwhile;\n"
     "a write through a view made without the lock is not stopped. timeout bounds the wait for the\n"
     "lock in seconds (TimeoutError)."},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(array_wait)), METH_VARARGS | METH_KEYWORDS,
     "wait($self, /, since=None, timeout=None)\n--\n\n"
     "Blocks until the array's version differs from since (None: the version this handle last saw,\n"
     "when opened, leaving lock(), notify() or wait()) and returns it; TimeoutError after timeout\n"
     "seconds."},
    {"notify", array_notify, METH_NOARGS,
     "notify($self, /)\n--\n\nMarks a change made without the lock: the version grows by one and waiters wake."},
    {"close", array_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Lets go of the array; views made from the handle stay valid until released, and the array\n"
     "itself stays. Closing twice is harmless."},
    {"__enter__", handle_enter_method<ArrayHandle>, METH_NOARGS, nullptr},
    {"__exit__", array_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef array_getset[] = {
    {"name", array_get_name, nullptr, "The name the handle was opened with.", nullptr},
    {"shape", array_get_shape, nullptr, "The array's shape, a tuple of ints.", nullptr},
    {"format", array_get_format, nullptr, "The format of one element, as the struct module writes it.", nullptr},
    {"nbytes", array_get_nbytes, nullptr, "The size of the array's data in bytes.", nullptr},
    {"closed", array_get_closed, nullptr, "True once the handle is closed.", nullptr},
    {"version", array_get_version, nullptr,
     "The count of changes marked on the array (leaving lock(), notify()), the same for every handle in "
     "every process; it wraps around to 0 after 2**31 changes.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot array_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(array_get_buffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(array_release_buffer)},
    {Py_tp_doc, const_cast<char*>(
                    "A named shared array, made or opened by open_array(). It exports its memory through "
                    "the buffer protocol: memoryview(handle) and numpy.asarray(handle) are writable views "
                    "of the shared memory, seen by every process at once.")},
    {Py_tp_methods, array_methods},
    {Py_tp_getset, array_getset},
    {Py_tp_new, reinterpret_cast<void*>(array_new)},
    {Py_tp_repr, reinterpret_cast<void*>(array_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(array_dealloc)},
    {0, nullptr},
};

PyType_Spec array_spec = {
    "zelvane.ArrayHandle",
    sizeof(ArrayHandle),
    0,
    Py_TPFLAGS_DEFAULT,
    array_slots,
};

// --- open_array -------------------------------------------------------------

// The attribute `attribute` of `object`, left empty when it has none;
// false with an exception set on any other failure.
bool optional_attribute(PyObject* object, const char* attribute, PyRef& value) {
    value.reset(PyObject_GetAttrString(object, attribute));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return static_cast<bool>(value);
    }
    PyErr_Clear();
    return true;
}

// A dtype for `given` when it is a type (a numpy scalar type such as
// numpy.float32) and numpy is in use in this process; `given` itself
// otherwise. numpy is never imported here.
PyObject* as_dtype(PyObject* given) {
    if (!PyType_Check(given)) {
        return PyRef::borrow(given).release();
    }
    PyRef module_name(PyUnicode_FromString("numpy"));
    PyRef numpy(module_name ? PyImport_GetModule(module_name.get()) : nullptr);
    if (!numpy) {
        return PyErr_Occurred() ? nullptr : PyRef::borrow(given).release();
    }
    return PyObject_CallMethod(numpy.get(), "dtype", "O", given);
}

// The format letters of a dtype, or of any object with a `char` (numpy's),
// in native byte order; false with an exception set.
bool dtype_format(PyObject* given, PyRef& text) {
    PyRef dtype(as_dtype(given));
    PyRef native;
    if (!dtype || !optional_attribute(dtype.get(), "isnative", native) ||
        !optional_attribute(dtype.get(), "char", text)) {
        return false;
    }
    if (native.get() == Py_False) {
        PyErr_SetString(PyExc_ValueError, "An array's format must be in native byte order.");
        return false;
    }
    if (!text || !PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "format must be a str or a numpy.dtype, not %.200s", Py_TYPE(given)->tp_name);
        return false;
    }
    return true;
}

// The format asked for: a str, or a numpy.dtype, whose letters for the
// complex types are numpy's own.
bool format_from_object(PyObject* given, ArrayLayout& layout) {
    PyRef text;
    if (PyUnicode_Check(given)) {
        text = PyRef::borrow(given);
    } else if (!dtype_format(given, text)) {
        return false;
    }
    const char* chars = PyUnicode_AsUTF8(text.get());
    if (!chars) {
        return false;
    }
    const std::string_view wanted(chars);
    const ArrayFormat* format = find_format(wanted == "F" ? "Zf" : wanted == "D" ? "Zd" : wanted);
    if (!format) {
        PyErr_Format(PyExc_ValueError, "Unsupported array format %R: use one of %s.", text.get(), ARRAY_FORMAT_LIST);
        return false;
    }
    std::memcpy(layout.format, format->text, std::strlen(format->text));
    layout.itemsize = format->itemsize;
    return true;
}

bool extent_from_object(PyObject* given, Py_ssize_t& extent) {
    extent = PyNumber_AsSsize_t(given, PyExc_OverflowError);
    if (extent == -1 && PyErr_Occurred()) {
        return false;
    }
    if (extent < 0) {
        PyErr_SetString(PyExc_ValueError, "An array's dimensions must not be negative.");
        return false;
    }
    return true;
}

// The shape asked for: an int, or a sequence of ints.
bool shape_from_object(PyObject* given, ArrayLayout& layout) {
    if (PyIndex_Check(given)) {
        layout.ndim = 1;
        return extent_from_object(given, layout.shape[0]);
    }
    PyRef items(PySequence_Fast(given, "shape must be an int or a tuple of ints"));
    if (!items) {
        return false;
    }
    const Py_ssize_t ndim = PySequence_Fast_GET_SIZE(items.get());
    if (ndim > static_cast<Py_ssize_t>(ARRAY_MAX_NDIM)) {
        PyErr_Format(PyExc_ValueError, "An array has at most %d dimensions.", static_cast<int>(ARRAY_MAX_NDIM));
        return false;
    }
    layout.ndim = static_cast<uint32_t>(ndim);
    for (Py_ssize_t axis = 0; axis < ndim; ++axis) {
        if (!extent_from_object(PySequence_Fast_GET_ITEM(items.get(), axis), layout.shape[axis])) {
            return false;
        }
    }
    return true;
}

// The layout asked for by open_array(shape, format); false with an exception set.
bool layout_from_arguments(PyObject* shape, PyObject* format, ArrayLayout& layout) {
    if (!format_from_object(format, layout) || !shape_from_object(shape, layout)) {
        return false;
    }
    if (!complete_layout(layout)) {
        PyErr_SetString(PyExc_ValueError, "The array is too large to be addressed.");
        return false;
    }
    return true;
}

PyObject* shape_tuple(const ArrayLayout& layout) {
    PyRef shape(PyTuple_New(layout.ndim));
    if (!shape) {
        return nullptr;
    }
    for (uint32_t axis = 0; axis < layout.ndim; ++axis) {
        PyObject* extent = PyLong_FromSsize_t(layout.shape[axis]);
        if (!extent) {
            return nullptr;
        }
        PyTuple_SET_ITEM(shape.get(), axis, extent);
    }
    return shape.release();
}

bool layout_mismatch(const char* name, const ArrayLayout& found, const ArrayLayout& wanted) {
    PyRef found_shape(shape_tuple(found));
    PyRef wanted_shape(shape_tuple(wanted));
    if (found_shape && wanted_shape) {
        PyErr_Format(PyExc_ValueError,
                     "The array '%s' has shape %R and format '%s', not shape %R and format '%s'.", name,
                     found_shape.get(), found.format, wanted_shape.get(), wanted.format);
    }
    return false;
}

// Maps the array open as `fd` after checking that it is one, of the
// lifetime asked for, and, when `wanted` is given, that it has that layout.
// Empty with an exception set.
// `known` is the object's status when the caller has it already.
ArrayRef attach_array(int fd, const char* name, const ArrayLayout* wanted, bool is_temporary = false,
                      const struct stat* known = nullptr) {
    std::unique_ptr<ArrayMapping> array(new (std::nothrow) ArrayMapping);
    if (!array) {
        PyErr_NoMemory();
        return ArrayRef();
    }
    struct stat st;
    if (known) {
        st = *known;
    } else if (::fstat(fd, &st) != 0) {
        st.st_mode = 0;
    }
    if (!S_ISREG(st.st_mode) ||
        !read_array_layout(fd, static_cast<uint64_t>(st.st_size), array->layout, array->version_at_open)) {
        memory_error("The shared memory address '%s' does not hold an array.", name);
        return ArrayRef();
    }
    if (wanted && !array->layout.same_as(*wanted)) {
        layout_mismatch(name, array->layout, *wanted);
        return ArrayRef();
    }
    if (!temporary::lifetime_fits(st, name, is_temporary)) {
        return ArrayRef();
    }
    if (!array->mapping.map(fd, static_cast<size_t>(st.st_size))) {
        memory_error("Failed to map shared memory address '%s'.", name);
        return ArrayRef();
    }
    return ArrayRef::adopt(array.release());
}

// Opens the array `name`, making it with `wanted`'s layout when it is
// missing and a layout is given. A name taken by another creator meanwhile
// is opened as theirs; one removed again meanwhile is made afresh.
ArrayRef open_array_object(const char* name, const ArrayLayout* wanted) {
    constexpr int ATTEMPTS = 8;
    std::string path;
    if (shm::shm_path(name, path)) {
        for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
            shm::Fd fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
            if (fd.valid()) {
                return attach_array(fd.get(), name, wanted);
            }
            if (errno != ENOENT || !wanted) {
                break;
            }
            switch (create_array(name, path, *wanted, fd)) {
                case ArrayCreation::Created:
                    return attach_array(fd.get(), name, wanted);
                case ArrayCreation::Failed:
                    return ArrayRef();
                default:
                    continue;
            }
        }
    }
    memory_error("Failed to open shared memory address '%s'.", name);
    return ArrayRef();
}

// Opens the temporary array `name` and holds it for this process (`hold`);
// a missing array, or one that no live process holds, is made afresh with
// `wanted`'s layout when it is given.
ArrayRef open_temporary_array(const char* name, const ArrayLayout* wanted, temporary::Hold*& hold) {
    temporary::Opening opening;
    const auto make = [name, wanted, &opening](shm::Fd& fd) {
        switch (create_array(name, opening.path, *wanted, fd, true)) {
            case ArrayCreation::Created:
                return temporary::Made::Created;
            case ArrayCreation::Failed:
                return temporary::Made::Failed;
            default:
                return temporary::Made::Taken;
        }
    };
    if (!temporary::open_held(name, wanted != nullptr, opening, make)) {
        return ArrayRef();
    }
    shm::Fd fd = opening.descriptor_to_map(name);
    ArrayRef array = fd.valid() ? attach_array(fd.get(), name, wanted, true, &opening.st) : ArrayRef();
    if (array) {
        hold = opening.take();
    }
    return array;
}

PyObject* new_array_handle(const char* name, ArrayRef array, temporary::Hold* hold) {
    PyRef name_object(PyUnicode_FromString(name));
    PyRef shape(name_object ? shape_tuple(array->layout) : nullptr);
    PyRef format(shape ? PyUnicode_FromString(array->layout.format) : nullptr);
    PyRef handle(format ? PyType_GenericAlloc(array_handle_type, 0) : nullptr);
    if (!handle) {
        temporary::release(hold);
        return nullptr;
    }
    ArrayHandle* self = as_array_handle(handle.get());
    self->hold = hold;
    self->name = name_object.release();
    self->shape = shape.release();
    self->format = format.release();
    self->nbytes = static_cast<Py_ssize_t>(array->layout.nbytes);
    self->seen_version = array->version_at_open;
    self->array = array.release();
    return handle.release();
}

PyObject* open_array(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "shape", "format", "temporary", nullptr};
    const char* name;
    PyObject* shape = Py_None;
    PyObject* format = Py_None;
    PyObject* temporary_wanted = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|OO$O!:open_array", const_cast<char**>(kwlist), &name, &shape,
                                     &format, &PyBool_Type, &temporary_wanted)) {
        return nullptr;
    }
    if ((shape == Py_None) != (format == Py_None)) {
        PyErr_SetString(PyExc_TypeError, "open_array() takes shape and format together, or neither.");
        return nullptr;
    }
    ArrayLayout wanted;
    const bool create = shape != Py_None;
    if (create && !layout_from_arguments(shape, format, wanted)) {
        return nullptr;
    }
    temporary::Hold* hold = nullptr;
    ArrayRef array = flag_set(temporary_wanted) ? open_temporary_array(name, create ? &wanted : nullptr, hold)
                                         : open_array_object(name, create ? &wanted : nullptr);
    return array ? new_array_handle(name, std::move(array), hold) : nullptr;
}

constexpr const char* OPEN_ARRAY_DOC =
    "open_array($module, /, name, shape=None, format=None, *, temporary=False)\n--\n\n"
    "Open the shared array name and return an ArrayHandle, whose memory memoryview(handle) and\n"
    "numpy.asarray(handle) view without copying. With shape (an int or a tuple of ints) and format\n"
    "(b B h H i I l L q Q e f d ? Zf Zd, or a numpy.dtype), a missing array is made, zero-filled;\n"
    "an existing one must have that shape and format (ValueError). Without them, the array must\n"
    "exist. lock(), version, wait() and notify() coordinate the processes that share it. With\n"
    "temporary=True the array lives while a process holds it open through a temporary handle: the last\n"
    "to close removes the name, and an array left by processes that all died is made afresh.";

// Registers the type as zelvane.ArrayHandle; -1 with an exception set.
int add_array_handle_type(PyObject* module) {
    return add_handle_type<ArrayHandle>(module, &array_spec, "ArrayHandle", array_handle_type);
}

}  // namespace
