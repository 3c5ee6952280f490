// open_array(): the layout asked for (a shape and a format or dtype), and
// the array made or opened under a name as an ArrayHandle.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/stat.h>

#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "arrays/create.h"
#include "arrays/handle.h"
#include "arrays/mapping.h"
#include "platform/errors.h"
#include "platform/name_wait.h"
#include "platform/shm_support.h"
#include "platform/temporary.h"
#include "py_ref.h"

namespace {

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

// Where long and long long are one type, "l" and "q" name it (numpy's
// int64 gives the first), and "L" and "Q" its unsigned twin.
constexpr bool LONG_IS_LONG_LONG = sizeof(long) == sizeof(long long);

// numpy's names of the formats an array takes.
struct FormatName {
    const char* name;
    const char* format;
};
constexpr FormatName FORMAT_NAMES[] = {
    {"bool", "?"},
    {"int8", "b"},
    {"uint8", "B"},
    {"int16", "h"},
    {"uint16", "H"},
    {"int32", "i"},
    {"uint32", "I"},
    {"int64", LONG_IS_LONG_LONG ? "l" : "q"},
    {"uint64", LONG_IS_LONG_LONG ? "L" : "Q"},
    {"float16", "e"},
    {"float32", "f"},
    {"float64", "d"},
    {"complex64", "Zf"},
    {"complex128", "Zd"},
};

constexpr char NATIVE_ORDER = std::endian::native == std::endian::little ? '<' : '>';
constexpr char FOREIGN_ORDER = std::endian::native == std::endian::little ? '>' : '<';

// numpy's name of a type string ("<f4", "=i8", "|b1", "c16" with no order):
// its kind and its size in bytes; empty for anything else. A single byte
// has no order, so either order names it (">u1").
std::string name_of_type_string(std::string_view text) {
    const bool one_byte = text.size() == 3 && text.back() == '1';
    if (!text.empty() && (text.front() == NATIVE_ORDER || text.front() == '=' || text.front() == '|' ||
                          (text.front() == FOREIGN_ORDER && one_byte))) {
        text.remove_prefix(1);
    }
    if (text.size() < 2 || text.size() > 3) {
        return {};
    }
    const std::string_view size = text.substr(1);
    if (size.find_first_not_of("0123456789") != std::string_view::npos) {
        return {};
    }
    int bits = 0;
    for (const char digit : size) {
        bits = bits * 10 + (digit - '0');
    }
    bits *= 8;
    switch (text.front()) {
        case 'b':
            return bits == 8 ? "bool" : "";
        case 'i':
            return "int" + std::to_string(bits);
        case 'u':
            return "uint" + std::to_string(bits);
        case 'f':
            return "float" + std::to_string(bits);
        case 'c':
            return "complex" + std::to_string(bits);
        default:
            return {};
    }
}

// The format that `text` names: a format of the struct module's, one of
// numpy's letters for the complex types, numpy's name of a type or its type
// string in native order. Null when it names none.
const ArrayFormat* format_named(std::string_view text) {
    if (text == "F" || text == "D") {
        return find_format(text == "F" ? "Zf" : "Zd");
    }
    if (const ArrayFormat* format = find_format(text)) {
        return format;
    }
    const std::string from_type_string = name_of_type_string(text);
    const std::string_view name = from_type_string.empty() ? text : std::string_view(from_type_string);
    for (const FormatName& known : FORMAT_NAMES) {
        if (name == known.name) {
            return find_format(known.format);
        }
    }
    return nullptr;
}

// The format asked for: a str, or a numpy.dtype.
bool format_from_object(PyObject* given, ArrayLayout& layout) {
    PyRef text;
    if (PyUnicode_Check(given)) {
        text = PyRef::borrow(given);
    } else if (!dtype_format(given, text)) {
        return false;
    }
    Py_ssize_t size;
    const char* chars = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!chars) {
        return false;
    }
    // Every character counts: a NUL ends no name.
    const std::string_view wanted(chars, static_cast<size_t>(size));
    const ArrayFormat* format = format_named(wanted);
    if (!format && wanted.starts_with(FOREIGN_ORDER) &&
        format_named(std::string(1, NATIVE_ORDER).append(wanted.substr(1)))) {
        PyErr_SetString(PyExc_ValueError, "An array's format must be in native byte order.");
        return false;
    }
    if (!format) {
        PyErr_Format(PyExc_ValueError,
                     "Unsupported array format %R: use one of %s, numpy's name or type string of one "
                     "(\"float32\", \"<f4\") or a numpy.dtype.",
                     text.get(), ARRAY_FORMAT_LIST);
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

// Whether two formats name one type on this platform (see LONG_IS_LONG_LONG).
bool same_type(const char* a, const char* b) {
    const auto canonical = [](std::string_view format) -> std::string_view {
        if (!LONG_IS_LONG_LONG) {
            return format;
        }
        return format == "q" ? "l" : format == "Q" ? "L" : format;
    };
    return canonical(a) == canonical(b);
}

bool same_layout(const ArrayLayout& found, const ArrayLayout& wanted) {
    return same_type(found.format, wanted.format) && found.ndim == wanted.ndim &&
           std::memcmp(found.shape, wanted.shape, found.ndim * sizeof(Py_ssize_t)) == 0;
}

// Maps the array open as `fd` after checking that it is one, and, when
// `wanted` is given, that it has that layout; the mapping keeps `fd`. Empty
// with an exception set.
ArrayRef attach_array(shm::Fd fd, const char* name, const ArrayLayout* wanted, bool is_temporary = false,
                      const struct stat* known = nullptr) {
    std::unique_ptr<ArrayMapping> array(new (std::nothrow) ArrayMapping);
    if (!array) {
        PyErr_NoMemory();
        return ArrayRef();
    }
    struct stat st;
    if (known) {
        st = *known;
    } else if (::fstat(fd.get(), &st) != 0) {
        st.st_mode = 0;
    }
    if (!S_ISREG(st.st_mode) ||
        !read_array_layout(fd.get(), static_cast<uint64_t>(st.st_size), array->layout, array->version_at_open)) {
        memory_error("The shared memory address '%s' does not hold an array.", name);
        return ArrayRef();
    }
    if (wanted && !same_layout(array->layout, *wanted)) {
        layout_mismatch(name, array->layout, *wanted);
        return ArrayRef();
    }
    if (!temporary::lifetime_fits(st, name, is_temporary)) {
        return ArrayRef();
    }
    if (!array->mapping.map(fd.get(), static_cast<size_t>(st.st_size))) {
        memory_error("Failed to map shared memory address '%s'.", name);
        return ArrayRef();
    }
    array->fd = std::move(fd);
    array->device = st.st_dev;
    array->inode = st.st_ino;
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
                return attach_array(std::move(fd), name, wanted);
            }
            if (errno == ENOENT && !wanted) {
                memory_error("No array '%s' exists; open_array(name, wait=seconds) waits for one.", name);
                return ArrayRef();
            }
            if (errno != ENOENT) {
                break;
            }
            switch (create_array(name, path, *wanted, fd)) {
                case ArrayCreation::Created:
                    return attach_array(std::move(fd), name, wanted);
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
    if (!fd.valid()) {
        return ArrayRef();
    }
    ArrayRef array = attach_array(std::move(fd), name, wanted, true, &opening.st);
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
    static const char* kwlist[] = {"name", "shape", "format", "wait", "temporary", nullptr};
    const char* name;
    PyObject* shape = Py_None;
    PyObject* format = Py_None;
    PyObject* wait = nullptr;
    PyObject* temporary_wanted = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|OO$OO!:open_array", const_cast<char**>(kwlist), &name, &shape,
                                     &format, &wait, &PyBool_Type, &temporary_wanted)) {
        return nullptr;
    }
    timespec limit;
    bool waits;
    if (!shm::time_limit(wait, limit, waits, "wait")) {
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
    if (waits && !create && !name_wait::wait_for(name, "array", limit)) {
        return nullptr;
    }
    temporary::Hold* hold = nullptr;
    ArrayRef array = flag_set(temporary_wanted) ? open_temporary_array(name, create ? &wanted : nullptr, hold)
                                                : open_array_object(name, create ? &wanted : nullptr);
    return array ? new_array_handle(name, std::move(array), hold) : nullptr;
}

constexpr const char* OPEN_ARRAY_DOC =
    "open_array($module, /, name, shape=None, format=None, *, wait=None, temporary=False)\n--\n\n"
    "Open the shared array name and return an ArrayHandle, whose memory memoryview(handle) and\n"
    "numpy.asarray(handle) view without copying. With shape (an int or a tuple of ints) and format\n"
    "(b B h H i I l L q Q e f d ? Zf Zd, numpy's name or type string of one such as \"float32\" or\n"
    "\"<f4\", or a numpy.dtype), a missing array is made, zero-filled;\n"
    "an existing one must have that shape and format (ValueError). Without them, the array must\n"
    "exist; wait, in seconds, is how long to wait for it to appear (TimeoutError after that).\n"
    "lock(), version, wait() and notify() coordinate the processes that share it. With\n"
    "temporary=True the array lives while a process holds it open through a temporary handle: the last\n"
    "to close removes the name, and an array left by processes that all died is made afresh.";

}  // namespace
