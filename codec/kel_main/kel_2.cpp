// Protocol-2 value codec: the class registry and the entry points of the
// encoder and the decoder; each family of the format has a header of its own.
#include "kel_2.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <new>
#include <string_view>
#include <utility>

#include "encode_failure.h"
#include "gil_release.h"
#include "kel_codec.h"
#include "namedtuple_classes.h"
#include "prefault.h"
#include "py_compat.h"
#include "py_ref.h"

void kel1_init();
PyObject* to_value_prot1_range(const unsigned char* data, size_t length);

// Integers and sizes are little-endian and floats travel in host order;
// the code copies native values on that basis.
static_assert(std::endian::native == std::endian::little, "zelvane needs a little-endian host");

// ---------------------------------------------------------------------------
// Class registry
// ---------------------------------------------------------------------------

PyObject* datetime_dt = nullptr;
PyObject* datetime_d = nullptr;
PyObject* datetime_t = nullptr;
PyObject* uuid_cl = nullptr;
PyObject* decimal_cl = nullptr;
PyObject* namedtuple_cl = nullptr;
static PyObject* deque_cl = nullptr;
static PyObject* counter_cl = nullptr;
static PyObject* ordereddict_cl = nullptr;
static PyObject* chainmap_cl = nullptr;
static PyObject* path_cl = nullptr;
static PyObject* purepath_cl = nullptr;

// Names of the methods called for every date and time value, made on first
// use and kept until the module is freed.
static PyObject* isoformat_name = nullptr;
static PyObject* fromisoformat_name = nullptr;
// What a UUID made from its hex text holds in its slots besides `int`, taken
// from the first one made that way; and the names of those slots.
static PyObject* uuid_unknown_safety = nullptr;
static PyObject* uuid_int_name = nullptr;
static PyObject* uuid_is_safe_name = nullptr;
// Attributes read for every named tuple and UUID written.
static PyObject* fields_name = nullptr;
static PyObject* dunder_name_name = nullptr;
static PyObject* hex_name = nullptr;
// Names of what the decoder calls on the objects it builds.
static PyObject* extend_name = nullptr;
static PyObject* maps_name = nullptr;
// The encodings of the ints -128 to 127, made on first use and shared, as
// the interpreter shares its small ints and one-byte bytes objects.
static PyObject* one_byte_int_encodings[256] = {};

namespace {

// Replaces whatever the import or lookup raised with the registry's own error.
int registry_error(PyObject* type, const char* message) {
    PyErr_Clear();
    PyErr_SetString(type, message);
    return -1;
}

// Imports `name`, or sets the registry's ModuleNotFoundError.
PyRef import_registry_module(const char* name, const char* message) {
    PyRef module(PyImport_ImportModule(name));
    if (!module) {
        registry_error(PyExc_ModuleNotFoundError, message);
    }
    return module;
}

// Stores the module's attribute in `slot` (null when missing), replacing an
// entry left by an earlier, failed initialisation.
void fetch_class(PyObject*& slot, const PyRef& module, const char* attribute) {
    Py_XDECREF(slot);
    slot = PyObject_GetAttrString(module.get(), attribute);
    PyErr_Clear();
}

struct ClassCheck {
    PyObject* cls;
    const char* message;
};

// The first missing class, in the given order, is the one reported.
template <size_t N>
int check_classes(const ClassCheck (&checks)[N]) {
    for (const ClassCheck& check : checks) {
        if (!check.cls) {
            return registry_error(PyExc_AttributeError, check.message);
        }
    }
    return 1;
}

int init_datetime_classes() {
    PyRef datetime_m = import_registry_module("datetime", "Could not find module 'datetime'.");
    if (!datetime_m) {
        return -1;
    }
    fetch_class(datetime_dt, datetime_m, "datetime");
    fetch_class(datetime_d, datetime_m, "date");
    fetch_class(datetime_t, datetime_m, "time");
    const ClassCheck checks[] = {
        {datetime_dt, "Could not find attribute 'datetime' in module 'datetime'."},
        {datetime_d, "Could not find attribute 'date' in module 'datetime'."},
        {datetime_t, "Could not find attribute 'time' in module 'datetime'."},
    };
    return check_classes(checks);
}

int init_single_class(PyObject*& slot, const char* module_name, const char* attribute,
                      const char* module_message, const char* attribute_message) {
    PyRef module = import_registry_module(module_name, module_message);
    if (!module) {
        return -1;
    }
    fetch_class(slot, module, attribute);
    const ClassCheck checks[] = {{slot, attribute_message}};
    return check_classes(checks);
}

int init_collections_classes() {
    PyRef collections_m = import_registry_module("collections", "Could not find module 'collections'.");
    if (!collections_m) {
        return -1;
    }
    fetch_class(namedtuple_cl, collections_m, "namedtuple");
    fetch_class(deque_cl, collections_m, "deque");
    fetch_class(counter_cl, collections_m, "Counter");
    fetch_class(ordereddict_cl, collections_m, "OrderedDict");
    fetch_class(chainmap_cl, collections_m, "ChainMap");
    const ClassCheck checks[] = {
        {namedtuple_cl, "Could not find attribute 'namedtuple' in module 'collections'."},
        {deque_cl, "Could not find attribute 'deque' in module 'collections'."},
        {counter_cl, "Could not find attribute 'Counter' in module 'collections'."},
        {ordereddict_cl, "Could not find attribute 'OrderedDict' in module 'collections'."},
        {chainmap_cl, "Could not find attribute 'ChainMap' in module 'collections'."},
    };
    return check_classes(checks);
}

int init_pathlib_classes() {
    PyRef pathlib_m = import_registry_module("pathlib", "Could not find module 'pathlib'.");
    if (!pathlib_m) {
        return -1;
    }
    fetch_class(path_cl, pathlib_m, "Path");
    fetch_class(purepath_cl, pathlib_m, "PurePath");
    const ClassCheck checks[] = {
        {path_cl, "Could not fund attribute 'Path' in module 'pathlib'."},
        {purepath_cl, "Could not fund attribute 'PurePath' in module 'pathlib'."},
    };
    return check_classes(checks);
}

}  // namespace

bool kel1_datetime_api_ready();

int kel2_init() {
    kel1_init();
    // A missing capsule is reported below, after the module lookups have had
    // their say; its own error must not stay pending meanwhile.
    PyDateTimeAPI = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    PyErr_Clear();
    if (init_datetime_classes() < 0 ||
        init_single_class(uuid_cl, "uuid", "UUID", "Could not find module 'uuid'.",
                          "Could not find attribute 'UUID' in module 'uuid'.") < 0 ||
        init_single_class(decimal_cl, "decimal", "Decimal", "Could not find module 'decimal'.",
                          "Could not find attribute 'Decimal' in module 'decimal'.") < 0 ||
        init_collections_classes() < 0 || init_pathlib_classes() < 0) {
        return -1;
    }
    if (!PyDateTimeAPI || !kel1_datetime_api_ready()) {
        PyErr_SetString(PyExc_ImportError,
                        "Could not import the datetime C interface 'datetime.datetime_CAPI'.");
        return -1;
    }
    return 1;
}

namespace kel2 {
void release_key_texts();
void forget_namedtuple_shapes();
}

void kel2_cleanup() {
    for (PyObject** slot : {&datetime_dt, &datetime_d, &datetime_t, &uuid_cl, &decimal_cl,
                            &namedtuple_cl, &deque_cl, &counter_cl, &ordereddict_cl,
                            &chainmap_cl, &path_cl, &purepath_cl, &isoformat_name, &fromisoformat_name,
                            &uuid_unknown_safety, &uuid_int_name, &uuid_is_safe_name, &fields_name,
                            &dunder_name_name, &hex_name, &extend_name, &maps_name}) {
        Py_CLEAR(*slot);
    }
    for (PyObject*& encoding : one_byte_int_encodings) {
        Py_CLEAR(encoding);
    }
    nt_classes::clear();
    kel2::release_key_texts();
    kel2::forget_namedtuple_shapes();
}

// Each family of the format in its own header, in the order their
// definitions need.
#include "kel_2_frame.h"
#include "kel_2_scalars.h"
#include "kel_2_containers.h"
#include "kel_2_namedtuples.h"
#include "kel_2_mappings.h"
#include "kel_2_library.h"
#include "kel_2_dispatch.h"

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

namespace {

// Raises the error for a failed encoding and gives its buffer back. Kept
// out of line so that the entry point of every small value stays lean.
[[gnu::cold, gnu::noinline]] PyObject* encoding_failed(ValueData& vd, StatusCode status) {
    Py_XDECREF(vd.owner);
    if (status != SC_EXCEPTION) {
        PyErr_Clear();  // the status names the failure, not a stray lookup error
    }
    raise_status(status);
    if (status != SC_NOMEMORY) {
        vd.failure.add_note(status == SC_INCORRECT || status == SC_UNSUPPORTED);
    }
    return nullptr;
}

// The marker and `encoded` (up to `end`) as a new bytes object.
PyObject* bytes_with_marker(unsigned char* buffer, const unsigned char* end) {
    buffer[0] = kel::PROTOCOL_2;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer), end - buffer);
}

// A text of 1 to 255 UTF-8 bytes, held by the object, in a bytes object of
// its exact size; false for any other text.
bool encode_short_text(PyObject* text, PyObject*& encoded) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const char* utf8 = PyUnicode_IS_ASCII(text) ? static_cast<const char*>(PyUnicode_DATA(text))
                                                 : compat::cached_utf8(text, length);
    if (!utf8 || length < 1 || length > 255) {
        return false;
    }
    encoded = PyBytes_FromStringAndSize(nullptr, 3 + length);
    if (encoded) {
        auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(encoded));
        out[0] = kel::PROTOCOL_2;
        put_one_byte_form_at(out + 1, static_cast<uint64_t>(length), utf8, 0);
    }
    return true;
}

// The encoding of a word-sized int as a new reference; one of a single
// value byte is shared.
PyObject* encode_word_int(long long v) {
    unsigned char buffer[1 + WORD_INT_ROOM];
    if (v < -128 || v > 127) {
        return bytes_with_marker(buffer, put_word_int_at(buffer + 1, v));
    }
    PyObject*& shared = one_byte_int_encodings[v + 128];
    if (!shared) {
        shared = bytes_with_marker(buffer, put_word_int_at(buffer + 1, v));
    }
    Py_XINCREF(shared);
    return shared;
}

// A lone int of a word, float or short text is written straight into its
// bytes object: the general path's buffer, dispatch and failure record
// would cost such a value more than its encoding does. The bytes are the
// general path's. False (nothing done) for any other value.
bool encode_lone_scalar(PyObject* value, PyObject*& encoded) {
    unsigned char buffer[1 + FLOAT_ROOM];
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyLong_Type) {
        long long v;
        if (!compat::word_long_value(value, v)) {
            return false;
        }
        encoded = encode_word_int(v);
        return true;
    }
    if (type == &PyFloat_Type) {
        encoded = bytes_with_marker(buffer, put_float_at(buffer + 1, PyFloat_AS_DOUBLE(value)));
        return true;
    }
    return type == &PyUnicode_Type && encode_short_text(value, encoded);
}

// The encoding of `value`: into `area` when given (Py_None, `length` set) or
// into a new bytes object.
PyObject* encode(PyObject* value, EncodeArea* area, size_t* length) {
    ValueData vd;
    if (!init_vd(vd, value, area)) {
        PyErr_SetString(PyExc_MemoryError, "Not enough memory space available for use.");
        return nullptr;
    }
    if (const StatusCode status = from_any_value(vd, value); status != SC_SUCCESS) {
        return encoding_failed(vd, status);
    }
    make_deferred_copies(vd);
    if (vd.in_area) {
        *length = static_cast<size_t>(vd.offset);
        Py_RETURN_NONE;
    }
    if (!vd.owner) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(vd.local), vd.offset);
    }
    if (_PyBytes_Resize(&vd.owner, vd.offset) < 0) {
        return nullptr;
    }
    return vd.owner;
}

}  // namespace

PyObject* from_value(PyObject* value) {
    if (!value) {
        const char no_value[] = {static_cast<char>(kel::PROTOCOL_2), static_cast<char>(NO_OBJECT_CODE)};
        return PyBytes_FromStringAndSize(no_value, sizeof no_value);
    }
    if (PyObject* encoded = nullptr; encode_lone_scalar(value, encoded)) {
        return encoded;
    }
    return encode(value, nullptr, nullptr);
}

PyObject* from_value_into(PyObject* value, EncodeArea& area, size_t& length) {
    return encode(value, &area, &length);
}

PyObject* to_value_range(const unsigned char* data, size_t length, bool stable) {
    if (length == 0) {
        kel::set_invalid_marker_error();
        return nullptr;
    }
    if (data[0] == kel::PROTOCOL_1) {
        return to_value_prot1_range(data, length);
    }
    if (data[0] != kel::PROTOCOL_2) {
        kel::set_invalid_marker_error();
        return nullptr;
    }
    kel::ByteData bd(data, length, kel2::to_dict_key);
    bd.stable = stable;
    if (!stable || length < LARGE_COPY) {
        return kel2::to_any_value(bd);
    }
    // Only a value of LARGE_COPY bytes or more may hold payloads that add up
    // to that many.
    kel::PendingFills fills;
    bd.fills = &fills;
    PyObject* value = kel2::to_unseen_value(bd);
    return value ? kel::fill_pending(value, fills) : nullptr;
}

PyObject* to_value(PyObject* py_bytes) {
    if (!PyBytes_Check(py_bytes)) {
        PyErr_SetString(PyExc_TypeError, "Expected a bytes object to decode.");
        return nullptr;
    }
    // bytes are immutable, so the decoder reads them in place; held here,
    // they stay while the GIL is let go.
    PyRef held = PyRef::borrow(py_bytes);
    return to_value_range(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(py_bytes)),
                          static_cast<size_t>(PyBytes_GET_SIZE(py_bytes)), true);
}
