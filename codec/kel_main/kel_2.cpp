// Protocol-2 value codec: class registry, encoder, decoder.
#include "kel_2.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <string_view>

#include "encode_failure.h"
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
}

void kel2_cleanup() {
    for (PyObject** slot : {&datetime_dt, &datetime_d, &datetime_t, &uuid_cl, &decimal_cl,
                            &namedtuple_cl, &deque_cl, &counter_cl, &ordereddict_cl,
                            &chainmap_cl, &path_cl, &purepath_cl, &isoformat_name, &fromisoformat_name,
                            &uuid_unknown_safety, &uuid_int_name, &uuid_is_safe_name, &fields_name,
                            &dunder_name_name, &hex_name, &extend_name, &maps_name}) {
        Py_CLEAR(*slot);
    }
    nt_classes::clear();
    kel2::release_key_texts();
}

// ---------------------------------------------------------------------------
// Encoder frame
// ---------------------------------------------------------------------------

namespace {

enum StatusCode {
    SC_SUCCESS = 0,
    SC_INCORRECT = 1,
    SC_UNSUPPORTED = 2,
    SC_EXCEPTION = 3,
    SC_NESTDEPTH = 4,
    SC_NOMEMORY = 5,
};

constexpr unsigned char NO_OBJECT_CODE = 103;
constexpr int32_t NEST_LIMIT = 100;
constexpr int64_t GROWTH_SLACK = 128;

// Values whose first buffer would be this small are encoded on the stack and
// copied once into a bytes object of their exact size, with no allocation to
// size and give back.
constexpr int64_t LOCAL_CAPACITY = 512;

// The output buffer is the storage of a bytes object under construction, so
// that the finished encoding is handed out without another copy; small
// values start in `local` (`owner` null) until they outgrow it.
struct ValueData {
    int64_t offset;
    int64_t max_size;
    int32_t nests;
    unsigned char* bytes;
    PyObject* owner;
    // Where the encoding goes once it outgrows `local`, when given; `in_area`
    // while it is there. An area that refuses to grow hands over to `owner`.
    EncodeArea* area;
    bool in_area;
    unsigned char local[LOCAL_CAPACITY];
    // Filled only on the way out of a failure.
    encode_failure::Failure failure;
};

// Number of bytes that hold a non-negative size (0 for 0).
inline unsigned get_num_bytes(uint64_t value) {
    return static_cast<unsigned>((std::bit_width(value) + 7) / 8);
}

// Bytes taken by the code and the shortest size form of a sized item.
inline int64_t sized_header_length(uint64_t size) {
    const unsigned n = get_num_bytes(size);
    return n <= 2 ? 1 + n : 2 + n;
}

// The encoded length of a bytes, bytearray or ASCII text item, which is
// known up front; 0 for any other value.
int64_t exact_item_length(PyObject* value) {
    int64_t length = -1;
    if (PyBytes_Check(value)) {
        length = PyBytes_GET_SIZE(value);
    } else if (PyByteArray_Check(value)) {
        length = PyByteArray_GET_SIZE(value);
    } else if (PyUnicode_Check(value) && PyUnicode_IS_ASCII(value)) {
        length = PyUnicode_GET_LENGTH(value);
    }
    return length < 0 ? 0 : sized_header_length(static_cast<uint64_t>(length)) + length;
}

// A call's arguments come as a tuple: the exact items among its first
// members count too, so that a large argument has its room from the start.
constexpr Py_ssize_t SIZED_TUPLE_MEMBERS = 8;

int64_t exact_members_length(PyObject* tuple) {
    int64_t length = 0;
    for (Py_ssize_t i = 0; i < std::min(PyTuple_GET_SIZE(tuple), SIZED_TUPLE_MEMBERS); ++i) {
        length += exact_item_length(PyTuple_GET_ITEM(tuple, i));
    }
    return length;
}

// A top-level exact item, or a tuple of them, is written into one buffer of
// its own size, with nothing to grow or give back. Other texts get an upper
// bound (UTF-8 takes at most one byte more per character than the storage
// width, and never more than four), whose excess is given back in place;
// other containers a guess from their size, on which only the number of
// growths depends. The first buffer is made before the encoding reads
// anything of the value, so an area may let the GIL go to make it.
int64_t initial_capacity(PyObject* value) {
    constexpr int64_t marker = 1;
    if (const int64_t length = exact_item_length(value)) {
        return marker + length;
    }
    if (PyUnicode_Check(value)) {
        const int64_t length = PyUnicode_GET_LENGTH(value);
        const int64_t width = std::min<int64_t>(PyUnicode_KIND(value) + 1, 4);
        return marker + sized_header_length(static_cast<uint64_t>(length * width)) + length * width;
    }
    int64_t hint = 0;
    int64_t exact = 0;
    if (PyList_Check(value) || PyTuple_Check(value)) {
        hint = static_cast<int64_t>(Py_SIZE(value)) * 16;
        exact = PyTuple_Check(value) ? exact_members_length(value) : 0;
    } else if (PyDict_Check(value)) {
        // The stored sizes, not len(): a subclass's __len__ may raise or lie.
        hint = static_cast<int64_t>(PyDict_GET_SIZE(value)) * 32;
    } else if (PyAnySet_Check(value)) {
        hint = static_cast<int64_t>(PySet_GET_SIZE(value)) * 32;
    }
    return 2 * hint + GROWTH_SLACK + exact;
}

// Moves the encoding into the area with room for `capacity` bytes. False
// when the area refuses: the encoding stays where it was (in the area, whose
// data may have moved) and the area is not asked again.
bool move_into_area(ValueData& vd, int64_t capacity, EncodeArea::When when) {
    EncodeArea& area = *vd.area;
    const bool grown = area.grow(area, static_cast<size_t>(capacity), when);
    if (vd.in_area) {
        vd.bytes = area.data;
    }
    if (!grown) {
        vd.area = nullptr;  // no second try
        return false;
    }
    if (!vd.in_area) {
        std::memcpy(area.data, vd.bytes, static_cast<size_t>(vd.offset));
    }
    vd.bytes = area.data;
    vd.max_size = static_cast<int64_t>(std::min<size_t>(area.capacity, PY_SSIZE_T_MAX));
    vd.in_area = true;
    return true;
}

// Moves the encoding into a new bytes object of `capacity` bytes.
bool move_into_owner(ValueData& vd, int64_t capacity) {
    vd.owner = PyBytes_FromStringAndSize(nullptr, capacity);
    if (!vd.owner) {
        return false;
    }
    std::memcpy(PyBytes_AS_STRING(vd.owner), vd.bytes, static_cast<size_t>(vd.offset));
    vd.bytes = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(vd.owner));
    vd.max_size = capacity;
    vd.in_area = false;
    return true;
}

bool init_vd(ValueData& vd, PyObject* value, EncodeArea* area = nullptr) {
    vd.owner = nullptr;
    vd.bytes = vd.local;
    vd.area = area;
    vd.in_area = false;
    vd.offset = 0;
    vd.max_size = LOCAL_CAPACITY;
    vd.nests = 0;
    const int64_t capacity = initial_capacity(value);
    if (capacity > LOCAL_CAPACITY && !(vd.area && move_into_area(vd, capacity, EncodeArea::When::Start)) &&
        !move_into_owner(vd, capacity)) {
        return false;
    }
    vd.bytes[0] = kel::PROTOCOL_2;
    vd.offset = 1;
    return true;
}

// Grows geometrically so that large values encode in linear time.
StatusCode grow_vd(ValueData& vd, int64_t jump) {
    if (jump > PY_SSIZE_T_MAX - vd.offset - GROWTH_SLACK) {
        return SC_NOMEMORY;
    }
    int64_t wanted = vd.offset + jump + GROWTH_SLACK;
    int64_t geometric = vd.max_size > PY_SSIZE_T_MAX / 2 ? PY_SSIZE_T_MAX : vd.max_size + vd.max_size / 2;
    int64_t capacity = std::max(wanted, geometric);
    if (vd.area && move_into_area(vd, capacity, EncodeArea::When::Midway)) {
        return SC_SUCCESS;
    }
    if (!vd.owner) {
        if (!move_into_owner(vd, capacity)) {
            PyErr_Clear();
            return SC_NOMEMORY;
        }
        return SC_SUCCESS;
    }
    if (_PyBytes_Resize(&vd.owner, capacity) < 0) {
        PyErr_Clear();
        return SC_NOMEMORY;
    }
    vd.bytes = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(vd.owner));
    vd.max_size = capacity;
    return SC_SUCCESS;
}

inline StatusCode auto_resize_vd(ValueData& vd, int64_t jump) {
    if (jump <= vd.max_size - vd.offset) {
        return SC_SUCCESS;
    }
    return grow_vd(vd, jump);
}

inline void put_byte(ValueData& vd, unsigned char byte) { vd.bytes[vd.offset++] = byte; }

// Short payloads (most texts) are copied with two overlapping moves of a
// fixed width instead of a call of memcpy for a size known only now.
inline void copy_payload(unsigned char* out, const unsigned char* in, size_t size) {
    if (size > 16) {
        std::memcpy(out, in, size);
    } else if (size >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, in, 8);
        std::memcpy(&tail, in + size - 8, 8);
        std::memcpy(out, &head, 8);
        std::memcpy(out + size - 8, &tail, 8);
    } else if (size >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, in, 4);
        std::memcpy(&tail, in + size - 4, 4);
        std::memcpy(out, &head, 4);
        std::memcpy(out + size - 4, &tail, 4);
    } else if (size) {
        out[0] = in[0];
        out[size / 2] = in[size / 2];
        out[size - 1] = in[size - 1];
    }
}

inline void write_raw(ValueData& vd, const void* data, size_t size) {
    copy_payload(vd.bytes + vd.offset, static_cast<const unsigned char*>(data), size);
    vd.offset += static_cast<int64_t>(size);
}

StatusCode increment_nests(ValueData& vd) {
    vd.nests += 1;
    return vd.nests > NEST_LIMIT ? SC_NESTDEPTH : SC_SUCCESS;
}


inline void write_size_bytes(ValueData& vd, uint64_t num, unsigned num_bytes) {
    for (unsigned i = 0; i < num_bytes; ++i) {
        put_byte(vd, static_cast<unsigned char>(num >> (8 * i)));
    }
}

inline void write_metadata(ValueData& vd, unsigned char datachar, uint64_t num, unsigned num_bytes) {
    put_byte(vd, datachar);
    write_size_bytes(vd, num, num_bytes);
}

// Writes the shortest size form for `size` at base code `empty`, then the
// payload when one is given (containers append their members afterwards).
StatusCode write_E12D(ValueData& vd, uint64_t size, const void* bytes, unsigned char empty) {
    const int64_t payload = bytes ? static_cast<int64_t>(size) : 0;
    // Sizes of 1 to 255 (short texts, most containers) take the one-byte form.
    if (size - 1 < 255) {
        if (StatusCode s = auto_resize_vd(vd, 2 + payload); s != SC_SUCCESS) {
            return s;
        }
        vd.bytes[vd.offset] = static_cast<unsigned char>(empty + 1);
        vd.bytes[vd.offset + 1] = static_cast<unsigned char>(size);
        vd.offset += 2;
        if (bytes) {
            write_raw(vd, bytes, size);
        }
        return SC_SUCCESS;
    }
    if (size == 0) {
        if (StatusCode s = auto_resize_vd(vd, 1); s != SC_SUCCESS) {
            return s;
        }
        put_byte(vd, empty);
        return SC_SUCCESS;
    }
    const unsigned n = get_num_bytes(size);
    const int64_t header = sized_header_length(size);
    if (payload > PY_SSIZE_T_MAX - header) {
        return SC_NOMEMORY;
    }
    if (StatusCode s = auto_resize_vd(vd, header + payload); s != SC_SUCCESS) {
        return s;
    }
    if (n <= 2) {
        write_metadata(vd, static_cast<unsigned char>(empty + n), size, n);
    } else {
        put_byte(vd, static_cast<unsigned char>(empty + 3));
        write_metadata(vd, static_cast<unsigned char>(n), size, n);
    }
    if (bytes) {
        write_raw(vd, bytes, size);
    }
    return SC_SUCCESS;
}

StatusCode from_static_value(ValueData& vd, unsigned char datachar) {
    if (StatusCode s = auto_resize_vd(vd, 1); s != SC_SUCCESS) {
        return s;
    }
    put_byte(vd, datachar);
    return SC_SUCCESS;
}

StatusCode from_any_value(ValueData& vd, PyObject* value);

// The interned name held in `cache`, made on first use; null with an
// exception when it cannot be made.
PyObject* method_name(PyObject*& cache, const char* name) {
    if (!cache) {
        cache = PyUnicode_InternFromString(name);
    }
    return cache;
}

// `getattr(value, name)` through a cached name, so that no text object is
// made for each lookup.
PyObject* get_attribute(PyObject* value, PyObject*& cache, const char* name) {
    PyObject* interned = method_name(cache, name);
    return interned ? PyObject_GetAttr(value, interned) : nullptr;
}

// ---------------------------------------------------------------------------
// Scalar encoders
// ---------------------------------------------------------------------------

// UTF-8 form of a str, straight from the object when it is ASCII; null with
// the encoding error for a text holding lone surrogates.
const char* utf8_of(PyObject* text, Py_ssize_t& length) {
    if (PyUnicode_IS_ASCII(text)) {
        length = PyUnicode_GET_LENGTH(text);
        return static_cast<const char*>(PyUnicode_DATA(text));
    }
    return PyUnicode_AsUTF8AndSize(text, &length);
}

// Writes the UTF-8 bytes of a str with the size forms at base code `empty`.
inline StatusCode write_text(ValueData& vd, PyObject* text, unsigned char empty) {
    Py_ssize_t length;
    const char* utf8 = utf8_of(text, length);
    if (!utf8) {
        return SC_EXCEPTION;
    }
    return write_E12D(vd, static_cast<uint64_t>(length), utf8, empty);
}

StatusCode from_string(ValueData& vd, PyObject* value) {
    if (!PyUnicode_Check(value)) {
        return SC_INCORRECT;
    }
    return write_text(vd, value, 0);
}

// Code and count bytes for an int of `num_bytes` value bytes.
StatusCode write_int_header(ValueData& vd, uint64_t num_bytes) {
    if (num_bytes <= 5) {
        put_byte(vd, static_cast<unsigned char>(4 + num_bytes));
    } else if (num_bytes <= 255) {
        put_byte(vd, 10);
        put_byte(vd, static_cast<unsigned char>(num_bytes));
    } else {
        const unsigned k = get_num_bytes(num_bytes);
        put_byte(vd, 11);
        write_metadata(vd, static_cast<unsigned char>(k), num_bytes, k);
    }
    return SC_SUCCESS;
}

int64_t int_header_size(uint64_t num_bytes) {
    if (num_bytes <= 5) {
        return 1;
    }
    return num_bytes <= 255 ? 2 : 2 + get_num_bytes(num_bytes);
}

// Room that a word-sized int takes at most: the longest header and all
// eight bytes, so that the value is stored with one copy and the cursor then
// moves by its width.
constexpr int64_t WORD_INT_ROOM = 2 + 8;

// A word-sized int, its room made.
inline void put_word_int(ValueData& vd, long long v) {
    const uint64_t magnitude = static_cast<uint64_t>(v < 0 ? ~v : v);
    const uint64_t num_bytes = (std::bit_width(magnitude) + 8) / 8;
    write_int_header(vd, num_bytes);
    std::memcpy(vd.bytes + vd.offset, &v, sizeof v);
    vd.offset += static_cast<int64_t>(num_bytes);
}

inline StatusCode from_small_integer(ValueData& vd, long long v) {
    if (StatusCode s = auto_resize_vd(vd, WORD_INT_ROOM); s != SC_SUCCESS) {
        return s;
    }
    put_word_int(vd, v);
    return SC_SUCCESS;
}

// Writes the exact word-sized ints of `items` from `i` on, up to the first
// member of another kind, making room once per block of them (their
// encoding runs no Python code, so the container cannot change meanwhile).
// The index of that member, or `n`; `status` says whether room was made.
Py_ssize_t write_word_ints(ValueData& vd, PyObject* const* items, Py_ssize_t i, Py_ssize_t n, StatusCode& status) {
    constexpr Py_ssize_t BLOCK = 64;
    status = SC_SUCCESS;
    while (i < n) {
        const Py_ssize_t block_end = std::min(n, i + BLOCK);
        if ((status = auto_resize_vd(vd, (block_end - i) * WORD_INT_ROOM)) != SC_SUCCESS) {
            return i;
        }
        for (; i < block_end; ++i) {
            long long v;
            if (Py_TYPE(items[i]) != &PyLong_Type || !compat::compact_long_value(items[i], v)) {
                return i;
            }
            put_word_int(vd, v);
        }
    }
    return i;
}

StatusCode from_large_integer(ValueData& vd, PyObject* value) {
    size_t bits;
    if (_PyLong_Sign(value) < 0) {
        // -v - 1 has the bit length that matters; int's own inversion, since
        // a subclass's __invert__ may return anything.
        PyRef inverted(PyLong_Type.tp_as_number->nb_invert(value));
        if (!inverted) {
            return SC_EXCEPTION;
        }
        bits = compat::long_num_bits(inverted.get());
    } else {
        bits = compat::long_num_bits(value);
    }
    if (bits == static_cast<size_t>(-1)) {
        return SC_EXCEPTION;
    }
    const uint64_t num_bytes = (static_cast<uint64_t>(bits) + 8) / 8;
    if (StatusCode s = auto_resize_vd(vd, int_header_size(num_bytes) + static_cast<int64_t>(num_bytes));
        s != SC_SUCCESS) {
        return s;
    }
    write_int_header(vd, num_bytes);
    if (compat::long_to_bytes(value, vd.bytes + vd.offset, num_bytes) < 0) {
        return SC_EXCEPTION;
    }
    vd.offset += static_cast<int64_t>(num_bytes);
    return SC_SUCCESS;
}

StatusCode from_integer(ValueData& vd, PyObject* value) {
    if (!PyLong_Check(value)) {
        return SC_INCORRECT;
    }
    long long v;
    if (compat::compact_long_value(value, v)) {
        return from_small_integer(vd, v);
    }
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow) {
        return from_large_integer(vd, value);
    }
    if (v == -1 && PyErr_Occurred()) {
        return SC_EXCEPTION;
    }
    return from_small_integer(vd, v);
}

inline StatusCode from_float(ValueData& vd, PyObject* value) {
    if (!PyFloat_Check(value)) {
        return SC_INCORRECT;
    }
    const double d = PyFloat_AS_DOUBLE(value);
    if (StatusCode s = auto_resize_vd(vd, 9); s != SC_SUCCESS) {
        return s;
    }
    put_byte(vd, 12);
    write_raw(vd, &d, sizeof d);
    return SC_SUCCESS;
}

StatusCode from_complex(ValueData& vd, PyObject* value) {
    if (!PyComplex_Check(value)) {
        return SC_INCORRECT;
    }
    const Py_complex c = PyComplex_AsCComplex(value);
    if (c.real == -1.0 && PyErr_Occurred()) {
        return SC_EXCEPTION;
    }
    if (StatusCode s = auto_resize_vd(vd, 17); s != SC_SUCCESS) {
        return s;
    }
    put_byte(vd, 15);
    write_raw(vd, &c.real, sizeof c.real);
    write_raw(vd, &c.imag, sizeof c.imag);
    return SC_SUCCESS;
}

StatusCode from_boolean(ValueData& vd, PyObject* value) {
    if (!PyBool_Check(value)) {
        return SC_INCORRECT;
    }
    return from_static_value(vd, value == Py_True ? 13 : 14);
}

StatusCode from_bytes(ValueData& vd, PyObject* value) {
    if (!PyBytes_Check(value)) {
        return SC_INCORRECT;
    }
    return write_E12D(vd, static_cast<uint64_t>(PyBytes_GET_SIZE(value)), PyBytes_AS_STRING(value), 18);
}

StatusCode from_bytearray(ValueData& vd, PyObject* value) {
    if (!PyByteArray_Check(value)) {
        return SC_INCORRECT;
    }
    return write_E12D(vd, static_cast<uint64_t>(PyByteArray_GET_SIZE(value)),
                      PyByteArray_AS_STRING(value), 23);
}

// ---------------------------------------------------------------------------
// Container encoders
// ---------------------------------------------------------------------------

// A member's encoding can run Python code (instance checks, attribute
// lookups, iteration) that mutates a container whose count is already
// written; the encoding must then fail rather than disagree with its count.
StatusCode changed_size_error() {
    PyErr_SetString(PyExc_RuntimeError, "A container changed size while it was being encoded.");
    return SC_EXCEPTION;
}

inline void close_nest(ValueData& vd) { vd.nests -= 1; }

// Exact ints, strs, floats, bools and None, the commonest members, are
// written without the dispatcher; their encoding runs no Python code, so
// their container need not hold them meanwhile.
inline bool is_plain_member(PyTypeObject* type) {
    return type == &PyLong_Type || type == &PyFloat_Type || type == &PyUnicode_Type || type == &PyBool_Type ||
           type == Py_TYPE(Py_None);
}

inline StatusCode from_plain_member(ValueData& vd, PyObject* item) {
    PyTypeObject* type = Py_TYPE(item);
    StatusCode s;
    long long v;
    if (type == &PyLong_Type) {
        s = compat::compact_long_value(item, v) ? from_small_integer(vd, v) : from_integer(vd, item);
    } else if (type == &PyUnicode_Type) {
        s = write_text(vd, item, 0);
    } else if (type == &PyFloat_Type) {
        s = from_float(vd, item);
    } else if (type == &PyBool_Type) {
        s = from_static_value(vd, item == Py_True ? 13 : 14);
    } else {
        s = from_static_value(vd, 16);  // None
    }
    if (s != SC_SUCCESS) {
        vd.failure.refused(item);
    }
    return s;
}

bool write_iso_directly(ValueData& vd, PyObject* value, unsigned char code, StatusCode& status);

// Members written without the dispatcher and without Python code: the plain
// ones, and exact dates, times and datetimes that are naive or in UTC. True
// with `status` the outcome; false, nothing written, for any other member.
inline bool from_direct_member(ValueData& vd, PyObject* item, StatusCode& status) {
    PyTypeObject* type = Py_TYPE(item);
    if (is_plain_member(type)) {
        status = from_plain_member(vd, item);
        return true;
    }
    const unsigned char code = type == PyDateTimeAPI->DateTimeType ? 53
                               : type == PyDateTimeAPI->DateType   ? 55
                               : type == PyDateTimeAPI->TimeType   ? 56
                                                                   : 0;
    if (code == 0 || !write_iso_directly(vd, item, code, status)) {
        return false;
    }
    if (status != SC_SUCCESS) {
        vd.failure.refused(item);
    }
    return true;
}

// Writes the count and the members of a list (also a ChainMap's `maps`).
// A member whose encoding can run Python code is held meanwhile, since the
// list may drop it.
StatusCode write_list_items(ValueData& vd, PyObject* list, unsigned char empty) {
    const bool maps = empty == 88;
    const Py_ssize_t num_items = PyList_GET_SIZE(list);
    if (StatusCode s = write_E12D(vd, static_cast<uint64_t>(num_items), nullptr, empty); s != SC_SUCCESS) {
        return s;
    }
    for (Py_ssize_t i = 0; i < num_items; ++i) {
        if (PyList_GET_SIZE(list) != num_items) {
            return changed_size_error();
        }
        StatusCode s;
        PyObject* item = PyList_GET_ITEM(list, i);
        if (Py_TYPE(item) == &PyLong_Type) {
            i = write_word_ints(vd, &PyList_GET_ITEM(list, 0), i, num_items, s);
            if (s != SC_SUCCESS) {
                return s;
            }
            if (i == num_items) {
                break;
            }
            item = PyList_GET_ITEM(list, i);
        }
        if (!from_direct_member(vd, item, s)) {
            PyRef held = PyRef::borrow(item);
            s = from_any_value(vd, held.get());
        }
        if (s != SC_SUCCESS) {
            maps ? vd.failure.at_maps(i) : vd.failure.at_index(i);
            return s;
        }
    }
    return PyList_GET_SIZE(list) == num_items ? SC_SUCCESS : changed_size_error();
}

StatusCode from_list(ValueData& vd, PyObject* value) {
    if (!PyList_Check(value)) {
        return SC_INCORRECT;
    }
    if (StatusCode s = increment_nests(vd); s != SC_SUCCESS) {
        return s;
    }
    if (StatusCode s = write_list_items(vd, value, 28); s != SC_SUCCESS) {
        return s;
    }
    close_nest(vd);
    return SC_SUCCESS;
}

// A tuple's members cannot change, and the tuple holds them while it lives.
StatusCode from_tuple(ValueData& vd, PyObject* value) {
    if (StatusCode s = increment_nests(vd); s != SC_SUCCESS) {
        return s;
    }
    const Py_ssize_t num_items = PyTuple_GET_SIZE(value);
    if (StatusCode s = write_E12D(vd, static_cast<uint64_t>(num_items), nullptr, 38); s != SC_SUCCESS) {
        return s;
    }
    for (Py_ssize_t i = 0; i < num_items; ++i) {
        PyObject* item = PyTuple_GET_ITEM(value, i);
        StatusCode s;
        if (!from_direct_member(vd, item, s)) {
            s = from_any_value(vd, item);
        }
        if (s != SC_SUCCESS) {
            vd.failure.at_index(i);
            return s;
        }
    }
    close_nest(vd);
    return SC_SUCCESS;
}


// `_fields` must name at most as many fields as the value holds, each by a
// str, or the members would not match the count written before them.
bool valid_fields(PyObject* fields, PyObject* value) {
    if (!PyTuple_Check(fields) || PyTuple_GET_SIZE(fields) > PyTuple_GET_SIZE(value)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(fields, i))) {
            return false;
        }
    }
    return true;
}

// A missing attribute is a value of the wrong shape; any other exception
// raised by the lookup is passed on.
StatusCode attribute_failure() {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return SC_INCORRECT;
    }
    return SC_EXCEPTION;
}

StatusCode from_namedtuple(ValueData& vd, PyObject* value) {
    // Named tuples open no nesting level, so only the interpreter's recursion
    // limit keeps a chain of them from exhausting the C stack.
    kel::RecursionGuard guard(" while encoding a named tuple");
    if (!guard.entered()) {
        return SC_EXCEPTION;
    }
    PyRef fields(get_attribute(value, fields_name, "_fields"));
    if (!fields) {
        return attribute_failure();
    }
    if (!valid_fields(fields.get(), value)) {
        return SC_INCORRECT;
    }
    PyRef name(get_attribute(reinterpret_cast<PyObject*>(Py_TYPE(value)), dunder_name_name, "__name__"));
    if (!name) {
        return attribute_failure();
    }
    const Py_ssize_t num_items = PyTuple_GET_SIZE(fields.get());
    if (StatusCode s = write_E12D(vd, static_cast<uint64_t>(num_items), nullptr, 68); s != SC_SUCCESS) {
        return s;
    }
    if (StatusCode s = from_string(vd, name.get()); s != SC_SUCCESS) {
        return s;
    }
    for (Py_ssize_t i = 0; i < num_items; ++i) {
        if (StatusCode s = from_string(vd, PyTuple_GET_ITEM(fields.get(), i)); s != SC_SUCCESS) {
            return s;
        }
        if (StatusCode s = from_any_value(vd, PyTuple_GET_ITEM(value, i)); s != SC_SUCCESS) {
            vd.failure.at_field(PyTuple_GET_ITEM(fields.get(), i));
            return s;
        }
    }
    return SC_SUCCESS;
}

// Number of items the value's iterator yields. Iterating an exact set,
// frozenset or deque runs no Python code, so its length is that number.
StatusCode count_items(PyObject* value, Py_ssize_t& num_items) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PySet_Type || type == &PyFrozenSet_Type || type == reinterpret_cast<PyTypeObject*>(deque_cl)) {
        num_items = PyObject_Size(value);
        return num_items < 0 ? SC_EXCEPTION : SC_SUCCESS;
    }
    PyRef count_iter(PyObject_GetIter(value));
    if (!count_iter) {
        return SC_INCORRECT;
    }
    num_items = 0;
    while (PyRef item{PyIter_Next(count_iter.get())}) {
        ++num_items;
    }
    return PyErr_Occurred() ? SC_EXCEPTION : SC_SUCCESS;
}

// The item pass must yield exactly the counted items.
StatusCode write_iterated_items(ValueData& vd, PyObject* iter, Py_ssize_t num_items) {
    for (Py_ssize_t i = 0; i < num_items; ++i) {
        PyRef item(PyIter_Next(iter));
        if (!item) {
            return PyErr_Occurred() ? SC_EXCEPTION : changed_size_error();
        }
        if (StatusCode s = from_any_value(vd, item.get()); s != SC_SUCCESS) {
            vd.failure.at_index(i);
            return s;
        }
    }
    PyRef extra(PyIter_Next(iter));
    if (extra) {
        return changed_size_error();
    }
    return PyErr_Occurred() ? SC_EXCEPTION : SC_SUCCESS;
}

// Sets, frozensets and deques: the count precedes the members, so the value
// is walked twice. The dispatcher has already tested the value against its
// class.
StatusCode from_iterable(ValueData& vd, PyObject* value, unsigned char empty, PyObject* /*type_cl*/) {
    if (StatusCode s = increment_nests(vd); s != SC_SUCCESS) {
        return s;
    }
    Py_ssize_t num_items;
    if (StatusCode s = count_items(value, num_items); s != SC_SUCCESS) {
        return s;
    }
    if (StatusCode s = write_E12D(vd, static_cast<uint64_t>(num_items), nullptr, empty); s != SC_SUCCESS) {
        return s;
    }
    PyRef iter(PyObject_GetIter(value));
    if (!iter) {
        PyErr_SetString(PyExc_RuntimeError, "Could not get an iterator of a set type.");
        return SC_EXCEPTION;
    }
    if (StatusCode s = write_iterated_items(vd, iter.get(), num_items); s != SC_SUCCESS) {
        return s;
    }
    close_nest(vd);
    return SC_SUCCESS;
}

// ---------------------------------------------------------------------------
// Mapping encoders
// ---------------------------------------------------------------------------

using PairWriter = StatusCode (*)(ValueData& vd, PyObject* key, PyObject* value);

inline StatusCode from_member(ValueData& vd, PyObject* item) {
    return is_plain_member(Py_TYPE(item)) ? from_plain_member(vd, item) : from_any_value(vd, item);
}

StatusCode write_plain_pair(ValueData& vd, PyObject* key, PyObject* value) {
    if (StatusCode s = from_member(vd, key); s != SC_SUCCESS) {
        vd.failure.at_key_itself();
        return s;
    }
    if (StatusCode s = from_member(vd, value); s != SC_SUCCESS) {
        vd.failure.at_key(key);
        return s;
    }
    return SC_SUCCESS;
}

// A Counter's count is written as an int item even when it is a bool.
StatusCode write_counter_pair(ValueData& vd, PyObject* key, PyObject* count) {
    if (StatusCode s = from_member(vd, key); s != SC_SUCCESS) {
        vd.failure.at_key_itself();
        return s;
    }
    if (StatusCode s = PyLong_Check(count) ? from_integer(vd, count) : SC_INCORRECT; s != SC_SUCCESS) {
        vd.failure.refused(count);
        vd.failure.at_key(key);
        return s;
    }
    return SC_SUCCESS;
}

// Pairs in the dict's own listing, whatever order or `items` a subclass
// defines. Key and value are held while encoded when encoding them can run
// Python code that mutates the dict.
template <PairWriter write_pair>
StatusCode write_dict_pairs(ValueData& vd, PyObject* dict) {
    const Py_ssize_t num_pairs = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    Py_ssize_t written = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (written == num_pairs || PyDict_GET_SIZE(dict) != num_pairs) {
            return changed_size_error();
        }
        StatusCode s;
        if (is_plain_member(Py_TYPE(key)) && is_plain_member(Py_TYPE(value))) {
            if constexpr (write_pair == write_plain_pair) {
                s = from_plain_member(vd, key);
                if (s != SC_SUCCESS) {
                    vd.failure.at_key_itself();
                } else if ((s = from_plain_member(vd, value)) != SC_SUCCESS) {
                    vd.failure.at_key(key);
                }
            } else {
                s = write_pair(vd, key, value);
            }
        } else {
            PyRef held_key = PyRef::borrow(key);
            PyRef held_value = PyRef::borrow(value);
            s = write_pair(vd, held_key.get(), held_value.get());
        }
        if (s != SC_SUCCESS) {
            return s;
        }
        ++written;
    }
    return written == num_pairs ? SC_SUCCESS : changed_size_error();
}

// An OrderedDict's order is its own linked order, which `move_to_end` and
// `popitem` make differ from the order of the underlying dict.
StatusCode write_ordered_pairs(ValueData& vd, PyObject* odict) {
    const Py_ssize_t num_pairs = PyDict_GET_SIZE(odict);
    PyRef items(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyODict_Type), "items", "O", odict));
    if (!items) {
        return SC_EXCEPTION;
    }
    PyRef iter(PyObject_GetIter(items.get()));
    if (!iter) {
        return SC_EXCEPTION;
    }
    for (Py_ssize_t i = 0; i < num_pairs; ++i) {
        PyRef pair(PyIter_Next(iter.get()));
        if (!pair) {
            return PyErr_Occurred() ? SC_EXCEPTION : changed_size_error();
        }
        if (StatusCode s = write_plain_pair(vd, PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1));
            s != SC_SUCCESS) {
            return s;
        }
    }
    PyRef extra(PyIter_Next(iter.get()));
    if (extra) {
        return changed_size_error();
    }
    return PyErr_Occurred() ? SC_EXCEPTION : SC_SUCCESS;
}

// Opens a nesting level and writes a mapping's count and pairs.
template <PairWriter write_pair>
StatusCode write_mapping(ValueData& vd, PyObject* dict, unsigned char empty) {
    if (StatusCode s = increment_nests(vd); s != SC_SUCCESS) {
        return s;
    }
    const Py_ssize_t num_pairs = PyDict_GET_SIZE(dict);
    if (StatusCode s = write_E12D(vd, static_cast<uint64_t>(num_pairs), nullptr, empty); s != SC_SUCCESS) {
        return s;
    }
    const StatusCode s = empty == 83 && PyODict_Check(dict) ? write_ordered_pairs(vd, dict)
                                                            : write_dict_pairs<write_pair>(vd, dict);
    if (s != SC_SUCCESS) {
        return s;
    }
    close_nest(vd);
    return SC_SUCCESS;
}

StatusCode from_dict_type(ValueData& vd, PyObject* value, unsigned char empty) {
    if (!PyDict_Check(value)) {
        return SC_INCORRECT;
    }
    return write_mapping<write_plain_pair>(vd, value, empty);
}

StatusCode from_counter(ValueData& vd, PyObject* value) {
    if (!PyDict_Check(value)) {
        return SC_INCORRECT;  // a Counter is a dict; anything else posing as one is refused
    }
    return write_mapping<write_counter_pair>(vd, value, 78);
}

StatusCode from_chainmap(ValueData& vd, PyObject* value) {
    if (StatusCode s = increment_nests(vd); s != SC_SUCCESS) {
        return s;
    }
    PyRef maps(PyObject_GetAttrString(value, "maps"));
    if (!maps) {
        return attribute_failure();
    }
    if (!PyList_Check(maps.get())) {
        return SC_INCORRECT;
    }
    if (StatusCode s = write_list_items(vd, maps.get(), 88); s != SC_SUCCESS) {
        return s;
    }
    close_nest(vd);
    return SC_SUCCESS;
}

// ---------------------------------------------------------------------------
// Library-class encoders
// ---------------------------------------------------------------------------

bool is_instance(PyObject* value, PyObject* cls);

StatusCode from_timedelta(ValueData& vd, PyObject* value) {
    if (!PyDelta_Check(value)) {
        return SC_INCORRECT;
    }
    if (StatusCode s = auto_resize_vd(vd, 13); s != SC_SUCCESS) {
        return s;
    }
    put_byte(vd, 54);
    for (int field : {PyDateTime_DELTA_GET_DAYS(value), PyDateTime_DELTA_GET_SECONDS(value),
                      PyDateTime_DELTA_GET_MICROSECONDS(value)}) {
        write_size_bytes(vd, static_cast<uint32_t>(field), 4);
    }
    return SC_SUCCESS;
}

// Code of the date, time or datetime type named exactly `datatype`; 0 for
// any other name.
unsigned char iso_code_of_name(std::string_view datatype) {
    if (datatype == "datetime.datetime") {
        return 53;
    }
    if (datatype == "datetime.date") {
        return 55;
    }
    return datatype == "datetime.time" ? 56 : 0;
}

// Whether `value` is an instance of the class of `code` (0 for none).
bool is_iso_instance(PyObject* value, unsigned char code) {
    PyTypeObject* type = Py_TYPE(value);
    if ((code == 53 && type == PyDateTimeAPI->DateTimeType) || (code == 55 && type == PyDateTimeAPI->DateType) ||
        (code == 56 && type == PyDateTimeAPI->TimeType)) {
        return true;
    }
    switch (code) {
        case 53: return is_instance(value, datetime_dt);
        case 55: return is_instance(value, datetime_d);
        case 56: return is_instance(value, datetime_t);
        default: return false;
    }
}

// "00" to "99", so that a field's digits are copied two at a time.
constexpr auto DIGIT_PAIRS = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// `number` (below 10^width) in `width` (2, 4 or 6) digits; the divisions are
// by constants, which compile to multiplications, and a two-digit field
// (below 100 by the type's own range) needs none.
template <int width>
inline char* digits(char* out, unsigned number) {
    static_assert(width % 2 == 0 && width > 0);
    if constexpr (width == 2) {
        std::memcpy(out, &DIGIT_PAIRS[2 * number], 2);
    } else {
        for (int i = width - 2; i >= 0; i -= 2, number /= 100) {
            std::memcpy(out + i, &DIGIT_PAIRS[2 * (number % 100)], 2);
        }
    }
    return out + width;
}

// The longest text written here: a datetime with microseconds in UTC.
constexpr size_t LONGEST_DIRECT_ISO = 32;

// isoformat() of the exact date, time and datetime types, written without
// calling it when the value is naive or in UTC (other zones need their
// utcoffset()); 0 when the value is of another kind. The text is the one
// isoformat() returns, byte for byte.
size_t format_iso_directly(PyObject* value, char* text) {
    const auto date = [](char* out, PyObject* v) {
        out = digits<4>(out, PyDateTime_GET_YEAR(v));
        *out++ = '-';
        out = digits<2>(out, PyDateTime_GET_MONTH(v));
        *out++ = '-';
        return digits<2>(out, PyDateTime_GET_DAY(v));
    };
    const auto clock = [text](char* out, int hour, int minute, int second, int microsecond, PyObject* tz) {
        if (tz != Py_None && tz != PyDateTime_TimeZone_UTC) {
            return size_t{0};
        }
        out = digits<2>(out, hour);
        *out++ = ':';
        out = digits<2>(out, minute);
        *out++ = ':';
        out = digits<2>(out, second);
        if (microsecond) {
            *out++ = '.';
            out = digits<6>(out, microsecond);
        }
        if (tz == PyDateTime_TimeZone_UTC) {
            std::memcpy(out, "+00:00", 6);
            out += 6;
        }
        return static_cast<size_t>(out - text);
    };
    PyTypeObject* type = Py_TYPE(value);
    if (type == PyDateTimeAPI->DateType) {
        return static_cast<size_t>(date(text, value) - text);
    }
    if (type == PyDateTimeAPI->DateTimeType) {
        char* out = date(text, value);
        *out++ = 'T';
        return clock(out, PyDateTime_DATE_GET_HOUR(value), PyDateTime_DATE_GET_MINUTE(value),
                     PyDateTime_DATE_GET_SECOND(value), PyDateTime_DATE_GET_MICROSECOND(value),
                     compat::datetime_tzinfo(value));
    }
    if (type == PyDateTimeAPI->TimeType) {
        return clock(text, PyDateTime_TIME_GET_HOUR(value), PyDateTime_TIME_GET_MINUTE(value),
                     PyDateTime_TIME_GET_SECOND(value), PyDateTime_TIME_GET_MICROSECOND(value),
                     compat::time_tzinfo(value));
    }
    return 0;
}

StatusCode write_iso_item(ValueData& vd, unsigned char code, const char* text, Py_ssize_t length) {
    if (StatusCode s = auto_resize_vd(vd, length + 2); s != SC_SUCCESS) {
        return s;
    }
    write_metadata(vd, code, static_cast<uint64_t>(length), 1);
    write_raw(vd, text, static_cast<size_t>(length));
    return SC_SUCCESS;
}

StatusCode from_iso_value(ValueData& vd, PyObject* value, unsigned char code);

// Dates and times travel as their isoformat() text, which is called before
// the type is confirmed.
StatusCode from_datetime(ValueData& vd, PyObject* value, std::string_view datatype) {
    if (datatype == "datetime.timedelta") {
        return from_timedelta(vd, value);
    }
    // Matched now: isoformat() may rename a Python class, freeing the text
    // that `datatype` points into.
    return from_iso_value(vd, value, iso_code_of_name(datatype));
}

// A date, time or datetime written without calling isoformat(), formatted
// in place behind the code and length bytes: true with `status` the
// outcome; false, nothing written, when isoformat() must be asked.
bool write_iso_directly(ValueData& vd, PyObject* value, unsigned char code, StatusCode& status) {
    if ((status = auto_resize_vd(vd, 2 + LONGEST_DIRECT_ISO)) != SC_SUCCESS) {
        return true;
    }
    unsigned char* item = vd.bytes + vd.offset;
    const size_t length = format_iso_directly(value, reinterpret_cast<char*>(item + 2));
    if (length == 0) {
        return false;
    }
    if (!is_iso_instance(value, code)) {
        status = SC_INCORRECT;
        return true;
    }
    item[0] = code;
    item[1] = static_cast<unsigned char>(length);
    vd.offset += static_cast<int64_t>(2 + length);
    return true;
}

// A date, time or datetime (`code` 0 for a type of another name).
StatusCode from_iso_value(ValueData& vd, PyObject* value, unsigned char code) {
    if (StatusCode s; write_iso_directly(vd, value, code, s)) {
        return s;
    }
    PyObject* name = method_name(isoformat_name, "isoformat");
    if (!name) {
        return SC_EXCEPTION;
    }
    PyRef iso(PyObject_CallMethodNoArgs(value, name));
    if (!iso) {
        return SC_INCORRECT;
    }
    Py_ssize_t length = 0;
    const char* utf8 = nullptr;
    if (PyUnicode_Check(iso.get()) && !(utf8 = utf8_of(iso.get(), length))) {
        return SC_EXCEPTION;
    }
    if (!is_iso_instance(value, code)) {
        return SC_INCORRECT;
    }
    // Only an overridden isoformat() can produce these; the length byte
    // cannot describe a longer text.
    if (!utf8) {
        PyErr_SetString(PyExc_TypeError, "isoformat() of a date or time value returned a non-str object.");
        return SC_EXCEPTION;
    }
    if (length > 255) {
        PyErr_SetString(PyExc_ValueError,
                        "isoformat() of a date or time value returned more than 255 bytes of text.");
        return SC_EXCEPTION;
    }
    return write_iso_item(vd, code, utf8, length);
}

// Written at base 62 with no empty form: code 62 is memoryview's dynamic-2
// code, so an empty text (only an overridden __str__ gives one) is refused.
StatusCode from_decimal(ValueData& vd, PyObject* value) {
    PyRef text(PyObject_Str(value));
    if (!text || PyUnicode_GET_LENGTH(text.get()) == 0) {
        return SC_INCORRECT;
    }
    return write_text(vd, text.get(), 62);
}

constexpr Py_ssize_t UUID_HEX_LENGTH = 32;

// The `hex` of an exact UUID is its 128-bit `int` in 32 lowercase digits;
// false (no exception) when the slot does not hold such an int.
bool write_uuid_int(ValueData& vd, PyObject* value) {
    PyRef number(get_attribute(value, uuid_int_name, "int"));
    unsigned char raw[16];
    if (!number || !PyLong_CheckExact(number.get()) || compat::long_to_unsigned_be(number.get(), raw, sizeof raw) < 0) {
        PyErr_Clear();
        return false;
    }
    static constexpr char hex[] = "0123456789abcdef";
    unsigned char* out = vd.bytes + vd.offset;
    out[0] = 57;
    for (size_t i = 0; i < sizeof raw; ++i) {
        out[1 + 2 * i] = static_cast<unsigned char>(hex[raw[i] >> 4]);
        out[2 + 2 * i] = static_cast<unsigned char>(hex[raw[i] & 15]);
    }
    vd.offset += 1 + UUID_HEX_LENGTH;
    return true;
}

StatusCode from_uuid(ValueData& vd, PyObject* value) {
    if (StatusCode s = auto_resize_vd(vd, 1 + UUID_HEX_LENGTH); s != SC_SUCCESS) {
        return s;
    }
    // A subclass may override `hex`, so only the library class is read by its int.
    if (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(uuid_cl) && write_uuid_int(vd, value)) {
        return SC_SUCCESS;
    }
    PyRef hex_str(get_attribute(value, hex_name, "hex"));
    if (!hex_str) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "Could not get the hex representation of a UUID.");
        return SC_EXCEPTION;
    }
    // A subclass may override `hex`; the item is exactly 32 ASCII bytes.
    if (!PyUnicode_Check(hex_str.get())) {
        PyErr_SetString(PyExc_TypeError, "The hex representation of a UUID must be a str.");
        return SC_EXCEPTION;
    }
    if (!PyUnicode_IS_ASCII(hex_str.get()) || PyUnicode_GET_LENGTH(hex_str.get()) < UUID_HEX_LENGTH) {
        PyErr_SetString(PyExc_ValueError,
                        "The hex representation of a UUID must hold at least 32 ASCII characters.");
        return SC_EXCEPTION;
    }
    put_byte(vd, 57);
    write_raw(vd, PyUnicode_DATA(hex_str.get()), UUID_HEX_LENGTH);
    return SC_SUCCESS;
}

// A buffer obtained from an exporter, released once.
class HeldBuffer {
public:
    // False (the exporter's exception set) when the buffer cannot be had.
    bool acquire(PyObject* exporter, int flags) {
        held_ = PyObject_GetBuffer(exporter, &view_, flags) == 0;
        return held_;
    }
    ~HeldBuffer() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Only the bytes travel, copied once from the exported buffer. A plain byte
// request fails for a view that is not C-contiguous and for a released one.
StatusCode from_memoryview(ValueData& vd, PyObject* value) {
    if (Py_TYPE(value) != &PyMemoryView_Type) {
        return SC_INCORRECT;
    }
    HeldBuffer buffer;
    if (!buffer.acquire(value, PyBUF_SIMPLE)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "Could not get the buffer of a memoryview object.");
        return SC_EXCEPTION;
    }
    return write_E12D(vd, static_cast<uint64_t>(buffer.view().len), buffer.view().buf, 58);
}

// Any value whose type name begins with "r" is written as a range when it has
// integer start, stop and step attributes.
StatusCode from_range(ValueData& vd, PyObject* value) {
    if (StatusCode s = auto_resize_vd(vd, 1); s != SC_SUCCESS) {
        return s;
    }
    put_byte(vd, 67);
    PyRef start(PyObject_GetAttrString(value, "start"));
    PyRef stop(start ? PyObject_GetAttrString(value, "stop") : nullptr);
    PyRef step(stop ? PyObject_GetAttrString(value, "step") : nullptr);
    if (!step) {
        return SC_INCORRECT;
    }
    const char* const names[] = {"start", "stop", "step"};
    const PyRef* const parts[] = {&start, &stop, &step};
    for (int i = 0; i < 3; ++i) {
        if (StatusCode s = from_integer(vd, parts[i]->get()); s != SC_SUCCESS) {
            vd.failure.refused(parts[i]->get());
            vd.failure.at_attribute(names[i]);
            return s;
        }
    }
    return SC_SUCCESS;
}

StatusCode from_path(ValueData& vd, PyObject* value, unsigned char empty) {
    PyRef text(PyObject_Str(value));
    if (!text) {
        return SC_EXCEPTION;
    }
    return write_text(vd, text.get(), empty);
}

// ---------------------------------------------------------------------------
// Encoder dispatch
// ---------------------------------------------------------------------------

// Whether `value` is an instance of `cls`; -1 (an exception) counts as no.
bool is_instance(PyObject* value, PyObject* cls) {
    int result = PyObject_IsInstance(value, cls);
    if (result < 0) {
        PyErr_Clear();
    }
    return result > 0;
}

bool is_path(PyObject* value) { return is_instance(value, path_cl) || is_instance(value, purepath_cl); }

StatusCode from_path_checked(ValueData& vd, PyObject* value, unsigned char empty) {
    return is_path(value) ? from_path(vd, value, empty) : SC_INCORRECT;
}

// Picks the family by the type's name, letter by letter, as the format
// defines it; a letter past the end of a short name reads as NUL.
StatusCode from_named_type(ValueData& vd, PyObject* value, PyTypeObject* type) {
    const std::string_view name(type->tp_name);
    auto at = [&name](size_t i) { return i < name.size() ? name[i] : '\0'; };
    switch (at(0)) {
        case 'C':
            if (at(1) == 'h') {
                return is_instance(value, chainmap_cl) ? from_chainmap(vd, value) : SC_INCORRECT;
            }
            if (at(1) == 'o') {
                return is_instance(value, counter_cl) ? from_counter(vd, value) : SC_INCORRECT;
            }
            return SC_INCORRECT;
        case 'N':
            return value == Py_None ? from_static_value(vd, 16) : SC_UNSUPPORTED;
        case 'P':
            return from_path_checked(vd, value, at(1) == 'u' ? 98 : 93);
        case 'W':
            return from_path_checked(vd, value, 93);
        case 'U':
            return is_instance(value, uuid_cl) ? from_uuid(vd, value) : SC_INCORRECT;
        case 'b':
            if (at(1) == 'o') {
                return from_boolean(vd, value);
            }
            if (at(4) == 'a') {
                return from_bytearray(vd, value);
            }
            if (at(4) == 's') {
                return from_bytes(vd, value);
            }
            return SC_INCORRECT;
        case 'c':
            if (name.starts_with("collections.")) {
                if (at(12) == 'O') {
                    return PyDict_Check(value) ? from_dict_type(vd, value, 83) : SC_INCORRECT;
                }
                if (at(12) == 'd') {
                    return is_instance(value, deque_cl) ? from_iterable(vd, value, 73, deque_cl)
                                                        : SC_INCORRECT;
                }
                return SC_UNSUPPORTED;
            }
            return from_complex(vd, value);
        case 'd':
            switch (at(1)) {
                case 'e':
                    return is_instance(value, decimal_cl) ? from_decimal(vd, value) : SC_INCORRECT;
                case 'i':
                    return PyDict_Check(value) ? from_dict_type(vd, value, 43) : SC_INCORRECT;
                case 'a':
                    return from_datetime(vd, value, name);
                default:
                    return SC_INCORRECT;
            }
        case 'e':
            return value == Py_Ellipsis ? from_static_value(vd, 17) : SC_UNSUPPORTED;
        case 'f':
            if (at(1) == 'r') {
                return PyFrozenSet_Check(value) ? from_iterable(vd, value, 48, (PyObject*)&PyFrozenSet_Type)
                                                : SC_INCORRECT;
            }
            return from_float(vd, value);
        case 'i':
            return from_integer(vd, value);
        case 'l':
            return from_list(vd, value);
        case 'm':
            return from_memoryview(vd, value);
        case 'r':
            return from_range(vd, value);
        case 's':
            if (at(1) == 'e') {
                return PySet_Check(value) ? from_iterable(vd, value, 33, (PyObject*)&PySet_Type)
                                          : SC_INCORRECT;
            }
            if (at(1) == 't') {
                return from_string(vd, value);
            }
            return SC_INCORRECT;
        default:
            return SC_UNSUPPORTED;
    }
}

// hasattr(value, "_fields"), any failure of the lookup counting as no.
bool has_fields(PyObject* value) {
    PyObject* name = method_name(fields_name, "_fields");
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyObject_HasAttr(value, name);
}

StatusCode dispatch_value(ValueData& vd, PyObject* value) {
    if (!value) {
        return from_static_value(vd, NO_OBJECT_CODE);
    }
    PyTypeObject* type = Py_TYPE(value);
    // The exact built-in types first: the outcome is the one the name
    // dispatch gives them, with fewer steps.
    if (type == &PyLong_Type) {
        return from_integer(vd, value);
    }
    if (type == &PyUnicode_Type) {
        return from_string(vd, value);
    }
    if (type == &PyFloat_Type) {
        return from_float(vd, value);
    }
    if (type == &PyBool_Type) {
        return from_boolean(vd, value);
    }
    if (value == Py_None) {
        return from_static_value(vd, 16);
    }
    if (type == &PyList_Type) {
        return from_list(vd, value);
    }
    if (type == &PyDict_Type) {
        return from_dict_type(vd, value, 43);
    }
    if (type == &PyBytes_Type) {
        return from_bytes(vd, value);
    }
    if (PyType_FastSubclass(type, Py_TPFLAGS_TUPLE_SUBCLASS)) {
        if (type == &PyTuple_Type) {
            return from_tuple(vd, value);
        }
        return has_fields(value) ? from_namedtuple(vd, value) : SC_UNSUPPORTED;
    }
    // The exact library classes, as their names would route them.
    if (type == PyDateTimeAPI->DateTimeType) {
        return from_iso_value(vd, value, 53);
    }
    if (type == PyDateTimeAPI->DateType) {
        return from_iso_value(vd, value, 55);
    }
    if (type == PyDateTimeAPI->TimeType) {
        return from_iso_value(vd, value, 56);
    }
    if (type == PyDateTimeAPI->DeltaType) {
        return from_timedelta(vd, value);
    }
    if (type == reinterpret_cast<PyTypeObject*>(uuid_cl)) {
        return from_uuid(vd, value);
    }
    return from_named_type(vd, value, type);
}

// The innermost value whose encoding failed is the one a note names.
StatusCode from_any_value(ValueData& vd, PyObject* value) {
    const StatusCode s = dispatch_value(vd, value);
    if (s != SC_SUCCESS) {
        vd.failure.refused(value);
    }
    return s;
}

PyObject* raise_status(StatusCode status) {
    switch (status) {
        case SC_INCORRECT:
        case SC_UNSUPPORTED:
            PyErr_SetString(PyExc_ValueError, "Received an unsupported datatype.");
            break;
        case SC_NESTDEPTH:
            PyErr_SetString(PyExc_ValueError, "Exceeded the maximum value nest depth.");
            break;
        case SC_NOMEMORY:
            PyErr_SetString(PyExc_MemoryError, "Not enough memory space available for use.");
            break;
        case SC_EXCEPTION:
            if (PyErr_Occurred()) {
                break;
            }
            [[fallthrough]];
        default:
            PyErr_SetString(PyExc_RuntimeError,
                            "Something unexpected went wrong, and we couldn't quite catch what it was.");
    }
    return nullptr;
}

}  // namespace

namespace {

// The encoding of `value`: into `area` when given (Py_None, `length` set) or
// into a new bytes object.
PyObject* encode(PyObject* value, EncodeArea* area, size_t* length) {
    ValueData vd;
    if (!init_vd(vd, value, area)) {
        PyErr_SetString(PyExc_MemoryError, "Not enough memory space available for use.");
        return nullptr;
    }
    const StatusCode status = from_any_value(vd, value);
    if (status != SC_SUCCESS) {
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
    return encode(value, nullptr, nullptr);
}

PyObject* from_value_into(PyObject* value, EncodeArea& area, size_t& length) {
    return encode(value, &area, &length);
}

// ---------------------------------------------------------------------------
// Decoder: cursor and shared readers
// ---------------------------------------------------------------------------

namespace kel {

void set_offset_error() {
    PyErr_SetString(PyExc_ValueError, "Likely received an invalid bytes object: offset exceeded max limit.");
}

void set_invalid_marker_error() {
    PyErr_SetString(PyExc_ValueError, "Likely received an invalid bytes object: invalid protocol marker.");
}

void set_invalid_code_error(unsigned code) {
    PyErr_Format(PyExc_ValueError,
                 "Likely received an invalid bytes object: fetched an invalid datatype representative. "
                 "(Rep. code: %i)",
                 static_cast<int>(code));
}

bool read_size(ByteData& bd, uint64_t width, uint64_t& size) {
    if (width == UINT64_MAX || !ensure_offset(bd, width + 1)) {
        if (width == UINT64_MAX) {
            set_offset_error();
        }
        return false;
    }
    const unsigned char* field = bd.bytes + bd.offset + 1;
    for (uint64_t i = 8; i < width; ++i) {
        if (field[i] != 0) {
            set_offset_error();
            return false;
        }
    }
    size = bytes_to_size_t(field, std::min<uint64_t>(width, 8));
    bd.offset += 1 + width;
    return true;
}

bool read_payload_size(ByteData& bd, uint64_t width, uint64_t& size) {
    if (!read_size(bd, width, size)) {
        return false;
    }
    if (size > bd.max_offset - bd.offset) {
        set_offset_error();
        return false;
    }
    return true;
}

// Steps over a payload-less code byte.
static bool step_code(ByteData& bd) {
    if (!ensure_offset(bd, 1)) {
        return false;
    }
    bd.offset += 1;
    return true;
}

PyObject* to_str_e(ByteData& bd) {
    if (!step_code(bd)) {
        return nullptr;
    }
    return PyUnicode_FromStringAndSize(nullptr, 0);
}

// Short ASCII texts are the commonest; they are made directly, which is
// what the UTF-8 decoder would give (one-character texts are left to it, as
// it hands out shared objects for them). The bytes are copied first and tested in the copy: the
// input may be shared memory that changes, and a text marked ASCII must
// hold nothing else. Null without an exception for any other text.
static PyObject* short_ascii_text(const unsigned char* bytes, uint64_t size) {
    constexpr uint64_t LONGEST = 64;
    if (size < 2 || size > LONGEST) {
        return nullptr;
    }
    PyRef text(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    if (!text) {
        return nullptr;
    }
    auto* copy = static_cast<unsigned char*>(PyUnicode_DATA(text.get()));
    std::memcpy(copy, bytes, size);
    uint64_t high_bits = 0;
    uint64_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, copy + i, 8);
        high_bits |= word;
    }
    for (; i < size; ++i) {
        high_bits |= copy[i];
    }
    return high_bits & 0x8080808080808080u ? nullptr : text.release();
}

PyObject* to_str_gen(ByteData& bd, uint64_t size_bytes_length) {
    uint64_t size;
    if (!read_payload_size(bd, size_bytes_length, size)) {
        return nullptr;
    }
    const unsigned char* bytes = bd.bytes + bd.offset;
    bd.offset += size;
    if (PyObject* text = short_ascii_text(bytes, size)) {
        return text;
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(size), "strict");
}

PyObject* to_int_gen(ByteData& bd, uint64_t length) {
    if (length == UINT64_MAX || !ensure_offset(bd, length + 1)) {
        if (length == UINT64_MAX) {
            set_offset_error();
        }
        return nullptr;
    }
    const unsigned char* value = bd.bytes + bd.offset + 1;
    bd.offset += 1 + length;
    if (length > 8) {
        return compat::long_from_bytes(value, length);
    }
    if (length == 0) {
        return PyLong_FromLong(0);
    }
    return PyLong_FromLongLong(signed_le_value(bd, value, length));
}

PyObject* to_float_s(ByteData& bd) {
    if (!ensure_offset(bd, 9)) {
        return nullptr;
    }
    double d;
    std::memcpy(&d, bd.bytes + bd.offset + 1, sizeof d);
    bd.offset += 9;
    return PyFloat_FromDouble(d);
}

PyObject* to_complex_s(ByteData& bd) {
    if (!ensure_offset(bd, 17)) {
        return nullptr;
    }
    double real, imag;
    std::memcpy(&real, bd.bytes + bd.offset + 1, sizeof real);
    std::memcpy(&imag, bd.bytes + bd.offset + 9, sizeof imag);
    bd.offset += 17;
    return PyComplex_FromDoubles(real, imag);
}

PyObject* to_bool_gen(ByteData& bd, bool bool_value) {
    if (!step_code(bd)) {
        return nullptr;
    }
    return PyBool_FromLong(bool_value);
}

PyObject* to_none_s(ByteData& bd) {
    if (!step_code(bd)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* to_ellipsis_s(ByteData& bd) {
    if (!step_code(bd)) {
        return nullptr;
    }
    Py_INCREF(Py_Ellipsis);
    return Py_Ellipsis;
}

PyObject* to_bytes_e(ByteData& bd, int is_bytearray) {
    if (!step_code(bd)) {
        return nullptr;
    }
    return is_bytearray ? PyByteArray_FromStringAndSize(nullptr, 0) : PyBytes_FromStringAndSize(nullptr, 0);
}

PyObject* to_bytes_gen(ByteData& bd, uint64_t size_bytes_length, int is_bytearray) {
    uint64_t size;
    if (!read_payload_size(bd, size_bytes_length, size)) {
        return nullptr;
    }
    const char* payload = reinterpret_cast<const char*>(bd.bytes + bd.offset);
    bd.offset += size;
    const auto n = static_cast<Py_ssize_t>(size);
    if (size < OWN_MAPPING) {
        return is_bytearray ? PyByteArray_FromStringAndSize(payload, n) : PyBytes_FromStringAndSize(payload, n);
    }
    PyObject* value = is_bytearray ? PyByteArray_FromStringAndSize(nullptr, n) : PyBytes_FromStringAndSize(nullptr, n);
    if (value) {
        char* data = is_bytearray ? PyByteArray_AS_STRING(value) : PyBytes_AS_STRING(value);
        populate_allocation_for_copy(data, size);
        std::memcpy(data, payload, size);
    }
    return value;
}

// ---------------------------------------------------------------------------
// Container readers
// ---------------------------------------------------------------------------

// A list or tuple member takes at least its code byte and one word.
static inline bool reserve_slots(ByteData& bd, uint64_t count) { return reserve_members(bd, count, 1, 1); }

// Reads a container's member count; the cursor is left on the first member.
static inline bool read_count(ByteData& bd, uint64_t size_bytes_length, uint64_t& count) {
    return read_size(bd, size_bytes_length, count);
}

// Decodes `count` members into a new list; a count that is not trusted
// fails at its first missing member with that member's error.
static PyObject* decode_members(ByteData& bd, uint64_t count, MemberDecoder member) {
    if (reserve_slots(bd, count)) {
        PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
        if (!list) {
            return nullptr;
        }
        for (uint64_t i = 0; i < count; ++i) {
            PyObject* item = member(bd);
            if (!item) {
                return nullptr;
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    }
    PyRef list(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (uint64_t i = 0; i < count; ++i) {
        PyRef item(member(bd));
        if (!item || PyList_Append(list.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

PyObject* to_list_e(ByteData& bd) {
    if (!step_code(bd)) {
        return nullptr;
    }
    return PyList_New(0);
}

PyObject* to_list_gen(ByteData& bd, uint64_t size_bytes_length, MemberDecoder member) {
    uint64_t count;
    if (!read_count(bd, size_bytes_length, count)) {
        return nullptr;
    }
    return decode_members(bd, count, member);
}

PyObject* to_tuple_e(ByteData& bd) {
    if (!step_code(bd)) {
        return nullptr;
    }
    return PyTuple_New(0);
}

// Fills a new tuple member by member: made at full size for a trusted count,
// otherwise grown by a quarter as members arrive, so that an untrusted count
// allocates only for members that are there and nothing is held twice.
class TupleBuilder {
public:
    TupleBuilder(uint64_t count, bool trusted)
        : tuple_(PyTuple_New(static_cast<Py_ssize_t>(trusted ? count : std::min<uint64_t>(count, FIRST_ROOM)))),
          count_(count) {}
    explicit operator bool() const { return static_cast<bool>(tuple_); }

    // Takes over a decoded member (null when it failed).
    bool add(PyObject* member) {
        PyRef item(member);
        if (!item || (filled_ == PyTuple_GET_SIZE(tuple_.get()) && !grow())) {
            return false;
        }
        PyTuple_SET_ITEM(tuple_.get(), filled_++, item.release());
        return true;
    }

    // The tuple, once all `count` members are in (growth stops at the count).
    PyObject* finish() { return tuple_.release(); }

private:
    static constexpr Py_ssize_t FIRST_ROOM = 16;

    bool grow() {
        return resize(static_cast<Py_ssize_t>(std::min<uint64_t>(count_, filled_ + filled_ / 4 + FIRST_ROOM)));
    }

    // Only this builder holds the tuple; on failure it is released.
    bool resize(Py_ssize_t size) {
        PyObject* raw = tuple_.release();
        if (_PyTuple_Resize(&raw, size) < 0) {
            return false;
        }
        tuple_.reset(raw);
        return true;
    }

    PyRef tuple_;
    uint64_t count_;
    Py_ssize_t filled_ = 0;
};

PyObject* to_tuple_gen(ByteData& bd, uint64_t size_bytes_length, MemberDecoder member) {
    uint64_t count;
    if (!read_count(bd, size_bytes_length, count)) {
        return nullptr;
    }
    TupleBuilder tuple(count, reserve_slots(bd, count));
    if (!tuple) {
        return nullptr;
    }
    for (uint64_t i = 0; i < count; ++i) {
        if (!tuple.add(member(bd))) {
            return nullptr;
        }
    }
    return tuple.finish();
}

// Builds the set or frozenset of a decoded member list in one call.
static PyObject* set_from_list(PyObject* list, IterableKind kind) {
    return kind == IterableKind::Set ? PySet_New(list) : PyFrozenSet_New(list);
}

// Fills a new deque a chunk of members at a time, so that no list of all of
// them is held beside it.
static PyObject* decode_deque(ByteData& bd, uint64_t count, MemberDecoder member) {
    constexpr uint64_t CHUNK = 1024;
    PyObject* extend = method_name(extend_name, "extend");
    PyRef deque(extend ? PyObject_CallNoArgs(deque_cl) : nullptr);
    if (!deque) {
        return nullptr;
    }
    for (uint64_t left = count; left > 0;) {
        const uint64_t taken = std::min(left, CHUNK);
        PyRef chunk(decode_members(bd, taken, member));
        PyRef extended(chunk ? PyObject_CallMethodOneArg(deque.get(), extend, chunk.get()) : nullptr);
        if (!extended) {
            return nullptr;
        }
        left -= taken;
    }
    return deque.release();
}

PyObject* to_iterable_e(ByteData& bd, IterableKind kind) {
    if (!step_code(bd)) {
        return nullptr;
    }
    return kind == IterableKind::Deque ? PyObject_CallNoArgs(deque_cl) : set_from_list(nullptr, kind);
}

PyObject* to_iterable_gen(ByteData& bd, uint64_t size_bytes_length, IterableKind kind, MemberDecoder member) {
    uint64_t count;
    if (!read_count(bd, size_bytes_length, count)) {
        return nullptr;
    }
    if (kind == IterableKind::Deque) {
        return decode_deque(bd, count, member);
    }
    PyRef list(decode_members(bd, count, member));
    return list ? set_from_list(list.get(), kind) : nullptr;
}

PyObject* to_dict_e(ByteData& bd) {
    if (!step_code(bd)) {
        return nullptr;
    }
    return PyDict_New();
}

// A dict for `count` pairs, sized for as many of them as the rest of the
// input and the allowance can hold. A pair takes at least two bytes and,
// beyond the SMALL_DICT pairs that fit the table every dict starts with,
// about eight words of table.
static PyObject* new_dict_for(ByteData& bd, uint64_t count) {
    constexpr uint64_t SMALL_DICT = 5;
    constexpr uint64_t WORDS_PER_PAIR = 8;
    const uint64_t room =
        std::min({count, (bd.max_offset - bd.offset) / 2, bd.presize_words / WORDS_PER_PAIR});
    if (room <= SMALL_DICT) {
        return PyDict_New();
    }
    bd.presize_words -= room * WORDS_PER_PAIR;
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(room));
}

// Both key and value are decoded before either is looked at; a key seen
// twice keeps the later value at the place of its first insertion.
PyObject* to_dict_gen(ByteData& bd, uint64_t size_bytes_length, MemberDecoder member) {
    uint64_t count;
    if (!read_count(bd, size_bytes_length, count)) {
        return nullptr;
    }
    PyRef dict(new_dict_for(bd, count));
    if (!dict) {
        return nullptr;
    }
    for (uint64_t i = 0; i < count; ++i) {
        PyRef key(bd.dict_key ? bd.dict_key(bd) : member(bd));
        PyRef value(key ? member(bd) : nullptr);
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

// ---------------------------------------------------------------------------
// Library-class readers
// ---------------------------------------------------------------------------

// Replaces whatever a failed rebuild raised with the reader's own error.
static PyObject* set_rebuild_error(const char* message) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, message);
    return nullptr;
}

namespace {

// The number in `count` decimal digits at `text`; -1 when one is not a digit.
// Each byte is read once: the text may be shared memory that changes.
int iso_number(const char* text, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        const char digit = text[i];
        if (digit < '0' || digit > '9') {
            return -1;
        }
        value = value * 10 + (digit - '0');
    }
    return value;
}

struct IsoClock {
    int hour, minute, second, microsecond;
    PyObject* tz;  // borrowed: None or the UTC singleton
};

// HH:MM:SS[.ffffff][+00:00], the whole of `text`.
bool parse_iso_clock(const char* text, size_t length, IsoClock& clock) {
    clock.tz = Py_None;
    if (length >= 14 && std::memcmp(text + length - 6, "+00:00", 6) == 0) {
        clock.tz = PyDateTime_TimeZone_UTC;
        length -= 6;
    }
    if ((length != 8 && length != 15) || text[2] != ':' || text[5] != ':') {
        return false;
    }
    clock.hour = iso_number(text, 2);
    clock.minute = iso_number(text + 3, 2);
    clock.second = iso_number(text + 6, 2);
    clock.microsecond = 0;
    if (length == 15) {
        if (text[8] != '.') {
            return false;
        }
        clock.microsecond = iso_number(text + 9, 6);
    }
    return clock.hour >= 0 && clock.minute >= 0 && clock.second >= 0 && clock.microsecond >= 0;
}

// YYYY-MM-DD at the start of `text`.
bool parse_iso_date(const char* text, size_t length, int& year, int& month, int& day) {
    if (length < 10 || text[4] != '-' || text[7] != '-') {
        return false;
    }
    year = iso_number(text, 4);
    month = iso_number(text + 5, 2);
    day = iso_number(text + 8, 2);
    return year >= 0 && month >= 0 && day >= 0;
}

PyObject* build_iso_value(const char* text, size_t length, PyObject* method) {
    const PyDateTime_CAPI* api = PyDateTimeAPI;
    int year, month, day;
    IsoClock clock;
    if (method == reinterpret_cast<PyObject*>(api->DateType)) {
        return length == 10 && parse_iso_date(text, length, year, month, day)
                   ? api->Date_FromDate(year, month, day, api->DateType)
                   : nullptr;
    }
    if (method == reinterpret_cast<PyObject*>(api->TimeType)) {
        return parse_iso_clock(text, length, clock)
                   ? api->Time_FromTime(clock.hour, clock.minute, clock.second, clock.microsecond, clock.tz,
                                        api->TimeType)
                   : nullptr;
    }
    if (method == reinterpret_cast<PyObject*>(api->DateTimeType)) {
        return parse_iso_date(text, length, year, month, day) && length > 11 && text[10] == 'T' &&
                       parse_iso_clock(text + 11, length - 11, clock)
                   ? api->DateTime_FromDateAndTime(year, month, day, clock.hour, clock.minute, clock.second,
                                                   clock.microsecond, clock.tz, api->DateTimeType)
                   : nullptr;
    }
    return nullptr;
}

// The value fromisoformat() gives for the texts isoformat() writes for naive
// and UTC values, built without parsing through Python; null (no exception)
// for any other text, or for fields out of range, so that fromisoformat()
// itself decides and reports.
PyObject* from_iso_directly(const char* text, size_t length, PyObject* method) {
    PyObject* value = build_iso_value(text, length, method);
    if (!value) {
        PyErr_Clear();
    }
    return value;
}

}  // namespace

PyObject* to_datetime_gen(ByteData& bd, PyObject* method) {
    if (!ensure_offset(bd, 2)) {
        return nullptr;
    }
    const uint64_t length = bd.bytes[bd.offset + 1];
    bd.offset += 2;
    if (!ensure_offset(bd, length)) {
        return nullptr;
    }
    const char* text = reinterpret_cast<const char*>(bd.bytes + bd.offset);
    bd.offset += length;
    if (PyObject* direct = from_iso_directly(text, static_cast<size_t>(length), method)) {
        return direct;
    }
    PyRef iso(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), "strict"));
    PyObject* name = method_name(fromisoformat_name, "fromisoformat");
    if (!iso || !name) {
        return nullptr;
    }
    return PyObject_CallMethodOneArg(method, name, iso.get());
}

namespace {

// Carries `low` into `high` so that 0 <= low < factor.
void carry(int64_t& high, int64_t& low, int64_t factor) {
    int64_t quotient = low / factor;
    low %= factor;
    if (low < 0) {
        low += factor;
        quotient -= 1;
    }
    high += quotient;
}

}  // namespace

// The interpreter's own normalisation works in C ints and cannot take the
// extremes of three 32-bit fields, so the carries are made here in 64 bits;
// a day count that cannot fit is refused with the constructor's message.
PyObject* to_timedelta_s(ByteData& bd, const PyDateTime_CAPI* api) {
    if (!ensure_offset(bd, 13)) {
        return nullptr;
    }
    const unsigned char* field = bd.bytes + bd.offset + 1;
    auto read_int32 = [field](int index) {
        return static_cast<int64_t>(static_cast<int32_t>(bytes_to_size_t(field + 4 * index, 4)));
    };
    int64_t days = read_int32(0);
    int64_t seconds = read_int32(1);
    int64_t microseconds = read_int32(2);
    bd.offset += 13;
    carry(seconds, microseconds, 1000000);
    carry(days, seconds, 86400);
    if (days < INT32_MIN || days > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "days=%lld; must have magnitude <= 999999999",
                     static_cast<long long>(days));
        return nullptr;
    }
    return api->Delta_FromDelta(static_cast<int>(days), static_cast<int>(seconds),
                                static_cast<int>(microseconds), 1, api->DeltaType);
}

namespace {

// The value of each hex digit, upper or lower case; -1 for any other byte.
constexpr auto HEX_VALUES = [] {
    std::array<signed char, 256> values{};
    for (int c = 0; c < 256; ++c) {
        values[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                    : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                    : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                                           : -1;
    }
    return values;
}();

inline int hex_digit(char c) { return HEX_VALUES[static_cast<unsigned char>(c)]; }

// The class of the uuid module itself: a class put in its place (a subclass
// whose __init__ does more, say) must be called, or its instances would miss
// what that __init__ gives them.
bool is_library_uuid_class(PyObject* cls) {
    if (!PyType_Check(cls)) {
        return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* module = PyDict_GetItemString(type->tp_dict, "__module__");
    return type->tp_base == &PyBaseObject_Type && type->tp_new == PyBaseObject_Type.tp_new &&
           type->tp_dictoffset == 0 && PyDict_GetItemString(type->tp_dict, "__init__") && module &&
           PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "uuid") == 0;
}

// The UUID class parses the text itself (and refuses it or not). The first
// UUID made this way tells what `is_safe` such a UUID holds, when the class
// is the library's own.
PyObject* uuid_from_text(const char* hex) {
    PyRef text(PyUnicode_DecodeUTF8(hex, 32, "strict"));
    PyObject* uuid = text ? PyObject_CallOneArg(uuid_cl, text.get()) : nullptr;
    if (uuid && !uuid_unknown_safety && is_library_uuid_class(uuid_cl)) {
        uuid_unknown_safety = PyObject_GetAttrString(uuid, "is_safe");
        PyErr_Clear();
    }
    return uuid;
}

// A UUID of 32 plain hex digits, given the very state that UUID(hex) gives
// it (its `int` and `is_safe` slots set on a bare instance) without parsing
// the text in Python. Null, with no exception, whenever that is not known to
// be equivalent: the class then does it.
PyObject* uuid_from_plain_hex(const char* hex) {
    if (!uuid_unknown_safety || !method_name(uuid_int_name, "int") || !method_name(uuid_is_safe_name, "is_safe")) {
        PyErr_Clear();
        return nullptr;
    }
    unsigned char value[16];
    int invalid = 0;  // checked once, after the loop: a digit's -1 sets its sign bit
    for (int i = 0; i < 16; ++i) {
        const int high = hex_digit(hex[2 * i]);
        const int low = hex_digit(hex[2 * i + 1]);
        invalid |= high | low;
        value[i] = static_cast<unsigned char>(static_cast<unsigned>(high) << 4 | static_cast<unsigned>(low));
    }
    if (invalid < 0) {
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(uuid_cl);
    PyRef number(_PyLong_FromByteArray(value, sizeof value, 0, 0));
    PyRef no_args(PyTuple_New(0));
    PyRef uuid(number && no_args ? type->tp_new(type, no_args.get(), nullptr) : nullptr);
    if (!uuid || PyObject_GenericSetAttr(uuid.get(), uuid_int_name, number.get()) < 0 ||
        PyObject_GenericSetAttr(uuid.get(), uuid_is_safe_name, uuid_unknown_safety) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    return uuid.release();
}

}  // namespace

PyObject* to_uuid_s(ByteData& bd) {
    constexpr uint64_t hex_length = 32;
    if (!ensure_offset(bd, 1 + hex_length)) {
        return nullptr;
    }
    const char* hex = reinterpret_cast<const char*>(bd.bytes + bd.offset + 1);
    PyObject* uuid = uuid_from_plain_hex(hex);
    if (!uuid) {
        uuid = uuid_from_text(hex);
    }
    if (!uuid) {
        return set_rebuild_error("Failed to create UUID object.");
    }
    bd.offset += 1 + hex_length;
    return uuid;
}

// The view owns a copy: the input may be a slot's shared memory, which
// changes once the slot is unlocked.
static PyObject* memoryview_of_copy(const unsigned char* data, uint64_t size) {
    PyRef copy(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
    if (!copy) {
        return nullptr;
    }
    PyObject* view = PyMemoryView_FromObject(copy.get());
    if (!view) {
        return set_rebuild_error("Failed to convert a memoryview buffer to bytes.");
    }
    return view;
}

PyObject* to_memoryview_e(ByteData& bd) {
    if (!step_code(bd)) {
        return nullptr;
    }
    return memoryview_of_copy(bd.bytes, 0);
}

PyObject* to_memoryview_gen(ByteData& bd, uint64_t size_bytes_length) {
    uint64_t size;
    if (!read_payload_size(bd, size_bytes_length, size)) {
        return nullptr;
    }
    PyObject* view = memoryview_of_copy(bd.bytes + bd.offset, size);
    bd.offset += size;
    return view;
}

PyObject* to_decimal_gen(ByteData& bd, uint64_t size_bytes_length) {
    uint64_t size;
    if (!read_payload_size(bd, size_bytes_length, size)) {
        return nullptr;
    }
    const char* text = reinterpret_cast<const char*>(bd.bytes + bd.offset);
    PyRef decimal_str(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), "strict"));
    PyObject* decimal = decimal_str ? PyObject_CallOneArg(decimal_cl, decimal_str.get()) : nullptr;
    if (!decimal) {
        return set_rebuild_error("Failed to convert string to Decimal.");
    }
    bd.offset += size;
    return decimal;
}

}  // namespace kel

// ---------------------------------------------------------------------------
// Protocol-2 decoder dispatch
// ---------------------------------------------------------------------------

namespace kel2 {

using namespace kel;

PyObject* to_any_value(ByteData& bd);

// Protocol-2-only readers.
// Every decoded named tuple gets a class of its own, made from the stored
// class name and field names.
PyObject* make_namedtuple(PyObject* name, PyObject* fields, PyObject* items) {
    return nt_classes::make(name, fields, items);
}

PyObject* to_namedtuple_e(ByteData& bd) {
    if (!step_code(bd)) {
        return nullptr;
    }
    PyRef name(to_any_value(bd));
    if (!name) {
        return nullptr;
    }
    PyRef empty_tuple(PyTuple_New(0));
    return empty_tuple ? make_namedtuple(name.get(), empty_tuple.get(), empty_tuple.get()) : nullptr;
}

// Field names and values alternate on the wire; both of a field are decoded
// before either is looked at.
PyObject* to_namedtuple_gen(ByteData& bd, uint64_t size_bytes_length) {
    uint64_t count;
    if (!read_count(bd, size_bytes_length, count)) {
        return nullptr;
    }
    PyRef name(to_any_value(bd));
    if (!name) {
        return nullptr;
    }
    // A field takes at least two bytes (its name and its value) and a word
    // in each of the two tuples.
    const bool trusted = reserve_members(bd, count, 2, 2);
    TupleBuilder fields(count, trusted);
    TupleBuilder items(count, trusted);
    if (!fields || !items) {
        return nullptr;
    }
    for (uint64_t i = 0; i < count; ++i) {
        PyRef field(to_any_value(bd));
        PyRef item(field ? to_any_value(bd) : nullptr);
        if (!item || !fields.add(field.release()) || !items.add(item.release())) {
            return nullptr;
        }
    }
    PyRef field_tuple(fields.finish());
    PyRef item_tuple(field_tuple ? items.finish() : nullptr);
    return item_tuple ? make_namedtuple(name.get(), field_tuple.get(), item_tuple.get()) : nullptr;
}

PyObject* call_with_no_arguments(ByteData& bd, PyObject* cls) {
    if (!step_code(bd)) {
        return nullptr;
    }
    return PyObject_CallNoArgs(cls);
}

// Counters and ordered dicts are built from one plain dict in a single call.
PyObject* call_with_dict(ByteData& bd, uint64_t size_bytes_length, PyObject* cls) {
    PyRef dict(to_dict_gen(bd, size_bytes_length, to_any_value));
    return dict ? PyObject_CallOneArg(cls, dict.get()) : nullptr;
}

PyObject* to_counter_e(ByteData& bd) { return call_with_no_arguments(bd, counter_cl); }
PyObject* to_counter_gen(ByteData& bd, uint64_t size_bytes_length) {
    return call_with_dict(bd, size_bytes_length, counter_cl);
}
PyObject* to_ordereddict_e(ByteData& bd) { return call_with_no_arguments(bd, ordereddict_cl); }
PyObject* to_ordereddict_gen(ByteData& bd, uint64_t size_bytes_length) {
    return call_with_dict(bd, size_bytes_length, ordereddict_cl);
}
PyObject* to_chainmap_e(ByteData& bd) { return call_with_no_arguments(bd, chainmap_cl); }

// The maps in wire order become the new ChainMap's `maps` list, as its
// constructor would make it, without spreading them into an argument tuple
// (which the constructor copies twice); no maps leave its default [{}].
PyObject* to_chainmap_gen(ByteData& bd, uint64_t size_bytes_length) {
    uint64_t count;
    if (!read_count(bd, size_bytes_length, count)) {
        return nullptr;
    }
    PyRef maps(decode_members(bd, count, to_any_value));
    PyRef chainmap(maps ? PyObject_CallNoArgs(chainmap_cl) : nullptr);
    PyObject* maps_attribute = chainmap ? method_name(maps_name, "maps") : nullptr;
    if (!maps_attribute || (count > 0 && PyObject_SetAttr(chainmap.get(), maps_attribute, maps.get()) < 0)) {
        return nullptr;
    }
    return chainmap.release();
}
PyObject* to_range_s(ByteData& bd) {
    if (!step_code(bd)) {
        return nullptr;
    }
    PyRef start(to_any_value(bd));
    PyRef stop(start ? to_any_value(bd) : nullptr);
    PyRef step(stop ? to_any_value(bd) : nullptr);
    PyObject* range =
        step ? PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyRange_Type), start.get(), stop.get(),
                                            step.get(), nullptr)
             : nullptr;
    if (!range) {
        return set_rebuild_error("Failed to recreate a range object.");
    }
    return range;
}

PyObject* to_path_e(ByteData& bd, PyObject* type_cl) {
    if (!step_code(bd)) {
        return nullptr;
    }
    return PyObject_CallNoArgs(type_cl);
}

// The text ends at its first NUL byte, as a C string would.
PyObject* to_path_gen(ByteData& bd, uint64_t size_bytes_length, PyObject* type_cl) {
    uint64_t size;
    if (!read_payload_size(bd, size_bytes_length, size)) {
        return nullptr;
    }
    const char* text = reinterpret_cast<const char*>(bd.bytes + bd.offset);
    bd.offset += size;
    const void* nul = std::memchr(text, '\0', size);
    const auto length = nul ? static_cast<const char*>(nul) - text : static_cast<Py_ssize_t>(size);
    PyRef path_text(PyUnicode_DecodeUTF8(text, length, "strict"));
    if (!path_text) {
        return nullptr;
    }
    return PyObject_CallOneArg(type_cl, path_text.get());
}

void set_zero_width_error() {
    PyErr_SetString(PyExc_ValueError, "Likely received an invalid bytes object: size field of zero width.");
}

// Cursor on the code byte; moves onto the count byte and returns its value.
bool D1_length(ByteData& bd, uint64_t& width) {
    if (!ensure_offset(bd, 2)) {
        return false;
    }
    bd.offset += 1;
    width = bd.bytes[bd.offset];
    return true;
}

// Cursor on the code byte; moves onto the last byte of the m-byte field and
// returns its value.
bool D2_length(ByteData& bd, uint64_t& width) {
    if (!ensure_offset(bd, 2)) {
        return false;
    }
    const uint64_t m = bd.bytes[bd.offset + 1];
    bd.offset += 1;
    if (!read_size(bd, m, width)) {
        return false;
    }
    bd.offset -= 1;
    return true;
}

// Width of the size field of form `form` (1 one-byte, 2 two-byte, 3
// dynamic-1, 4 dynamic-2); a width of 0 is refused.
bool size_width(ByteData& bd, unsigned form, uint64_t& width) {
    bool ok = true;
    switch (form) {
        case 1:
        case 2:
            width = form;
            return true;
        case 3:
            ok = D1_length(bd, width);
            break;
        default:
            ok = D2_length(bd, width);
            break;
    }
    if (ok && width == 0) {
        set_zero_width_error();
        return false;
    }
    return ok;
}

// Families that occupy five codes from a base code; Decimal starts at 62 but
// has no empty form (code 62 belongs to memoryview).
constexpr FamilyEntry find_family(unsigned code) {
    struct Range {
        unsigned char base;
        Family family;
    };
    constexpr Range ranges[] = {
        {0, Family::Str},         {18, Family::Bytes},      {23, Family::ByteArray},
        {28, Family::List},       {33, Family::Set},        {38, Family::Tuple},
        {43, Family::Dict},       {48, Family::FrozenSet},  {58, Family::MemoryView},
        {68, Family::NamedTuple}, {73, Family::Deque},      {78, Family::Counter},
        {83, Family::OrderedDict}, {88, Family::ChainMap},  {93, Family::Path},
        {98, Family::PurePath},
    };
    for (const Range& r : ranges) {
        if (code >= r.base && code < r.base + 5u) {
            return {r.family, r.base};
        }
    }
    if (code >= 63 && code <= 66) {
        return {Family::Decimal, 62};
    }
    return {Family::None, 0};
}

// The family of every code, worked out once at compile time.
constexpr auto FAMILIES = [] {
    std::array<FamilyEntry, 256> table{};
    for (unsigned code = 0; code < table.size(); ++code) {
        table[code] = find_family(code);
    }
    return table;
}();

PyObject* to_counted_int(ByteData& bd, unsigned code) {
    uint64_t length;
    if (code == 10) {
        if (!D1_length(bd, length)) {
            return nullptr;
        }
        return to_int_gen(bd, length);
    }
    if (!D2_length(bd, length)) {
        return nullptr;
    }
    if (length == 0) {
        set_zero_width_error();
        return nullptr;
    }
    return to_int_gen(bd, length);
}

// Ints of one to five bytes are the commonest container members; reading
// them here, without a call per member, keeps large lists cheap to decode.
inline PyObject* to_fixed_int(ByteData& bd, unsigned length) {
    if (!ensure_offset(bd, length + 1)) {
        return nullptr;
    }
    const int64_t v = signed_le_value(bd, bd.bytes + bd.offset + 1, length);
    bd.offset += 1 + length;
    return PyLong_FromLongLong(v);
}

}  // namespace kel2

// Short ASCII dict keys, by a hash of their bytes, kept from one decoding to
// the next: the same keys recur in record after record and value after
// value, and a key found here is neither made nor hashed again (the text
// keeps its hash). Bounded by its slots: a key that collides replaces the
// one there, so hostile input costs no more than a cache miss per key.
// An entry keeps the key's bytes beside it, so that a hit is confirmed
// without reading the text object.
struct kel::TextCache {
    static constexpr unsigned SLOTS = 1024;
    static constexpr uint64_t LONGEST = 32;
    struct Entry {
        uint64_t words[LONGEST / 8];
        uint64_t hash;
        PyObject* text;
    };
    Entry entries[SLOTS] = {};

    TextCache() = default;
    TextCache(const TextCache&) = delete;
    TextCache& operator=(const TextCache&) = delete;
    ~TextCache() {
        for (Entry& entry : entries) {
            Py_XDECREF(entry.text);
        }
    }
};

static kel::TextCache* key_texts = nullptr;

namespace kel2 {

void release_key_texts() {
    delete key_texts;
    key_texts = nullptr;
}

// The `size` bytes at `text` as zero-padded words, each input byte loaded
// once, a word at a time where the input holds a whole word (bytes past
// the text are masked off); `available` >= `size` bytes follow `text`.
inline void load_words(const unsigned char* text, uint64_t size, uint64_t available,
                       uint64_t (&words)[TextCache::LONGEST / 8]) {
    const uint64_t count = (size + 7) / 8;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t word = 0;
        std::memcpy(&word, text + 8 * i, std::min<uint64_t>(8, available - 8 * i));
        const uint64_t left = size - 8 * i;
        if (left < 8) {
            word &= (uint64_t{1} << (8 * left)) - 1;
        }
        words[i] = word;
    }
}

// The text of a one-byte-size str item of ASCII bytes, from the cache or
// made and cached. Null with the cursor unmoved and no exception for any
// other item, which the general path then reads (and reports); null with
// the exception when the text cannot be made.
PyObject* cached_short_text(ByteData& bd) {
    if (bd.max_offset - bd.offset < 2) {
        return nullptr;
    }
    const uint64_t size = bd.bytes[bd.offset + 1];
    const uint64_t available = bd.max_offset - bd.offset - 2;
    if (size == 0 || size > TextCache::LONGEST || size > available) {
        return nullptr;
    }
    uint64_t words[TextCache::LONGEST / 8] = {};
    load_words(bd.bytes + bd.offset + 2, size, available, words);
    uint64_t hash = size;
    uint64_t high_bits = 0;
    for (uint64_t i = 0; i < (size + 7) / 8; ++i) {
        high_bits |= words[i];
        hash = (hash ^ words[i]) * 0x9E3779B97F4A7C15u;
        hash ^= hash >> 29;
    }
    if (high_bits & 0x8080808080808080u) {
        return nullptr;
    }
    if (!key_texts && !(key_texts = new (std::nothrow) TextCache())) {
        return nullptr;  // the general path makes the text
    }
    // The hash starts from the size, so equal hashes and words (zero past
    // the text) mean equal texts only together with equal sizes: the size
    // is kept in the hash's low byte.
    hash = (hash & ~uint64_t{0xFF}) | size;
    TextCache::Entry& entry = key_texts->entries[static_cast<unsigned>(hash >> 54) % TextCache::SLOTS];
    PyObject* cached = entry.text;
    if (!cached || entry.hash != hash || std::memcmp(entry.words, words, sizeof words) != 0) {
        PyObject* made = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
        if (!made) {
            return nullptr;
        }
        std::memcpy(PyUnicode_DATA(made), words, size);
        Py_XDECREF(cached);
        entry.text = cached = made;
        entry.hash = hash;
        std::memcpy(entry.words, words, sizeof words);
    }
    bd.offset += 2 + size;
    Py_INCREF(cached);
    return cached;
}

// A key of a protocol-2 dict: short texts through the key cache.
PyObject* to_dict_key(ByteData& bd) {
    if (bd.offset < bd.max_offset && bd.bytes[bd.offset] == 1) {
        if (PyObject* text = cached_short_text(bd)) {
            return text;
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    return to_any_value(bd);
}

// A container whose count takes one byte, under the recursion guard.
template <PyObject* (*read)(ByteData&, uint64_t, MemberDecoder), MemberDecoder member = to_any_value>
PyObject* short_container(ByteData& bd) {
    RecursionGuard guard;
    return guard.entered() ? read(bd, 1, member) : nullptr;
}

PyObject* to_any_value(ByteData& bd) {
    if (!ensure_offset(bd, 1)) {
        return nullptr;
    }
    const unsigned code = bd.bytes[bd.offset];
    switch (code) {
        case 5: case 6: case 7: case 8: case 9:
            return to_fixed_int(bd, code - 4);
        case 10: case 11:
            return to_counted_int(bd, code);
        case 12: return to_float_s(bd);
        case 13: return to_bool_gen(bd, true);
        case 14: return to_bool_gen(bd, false);
        case 15: return to_complex_s(bd);
        case 16: return to_none_s(bd);
        case 17: return to_ellipsis_s(bd);
        case 53: return to_datetime_gen(bd, datetime_dt);
        case 54: return to_timedelta_s(bd, PyDateTimeAPI);
        case 55: return to_datetime_gen(bd, datetime_d);
        case 56: return to_datetime_gen(bd, datetime_t);
        case 57: return to_uuid_s(bd);
        case 67: {
            RecursionGuard guard;
            return guard.entered() ? to_range_s(bd) : nullptr;
        }
        // The commonest sized items, short texts and containers of up to 255
        // members, read without the family lookup.
        case 1: return to_str_gen(bd, 1);
        case 29: return short_container<to_list_gen>(bd);
        case 39: return short_container<to_tuple_gen>(bd);
        case 44: return short_container<to_dict_gen>(bd);
        default:
            break;
    }
    const FamilyEntry entry = FAMILIES[code];
    if (entry.family == Family::None) {
        set_invalid_code_error(code);
        return nullptr;
    }
    if (!recurses(entry.family)) {
        return to_family_item(bd, entry, code, size_width, to_any_value);
    }
    RecursionGuard guard;
    if (!guard.entered()) {
        return nullptr;
    }
    return to_family_item(bd, entry, code, size_width, to_any_value);
}

}  // namespace kel2

// The sized families of both protocols. The families only protocol 2 has
// decode their members with protocol 2's dispatcher.
namespace kel {

bool recurses(Family family) {
    switch (family) {
        case Family::List: case Family::Set: case Family::Tuple: case Family::Dict: case Family::FrozenSet:
        case Family::NamedTuple: case Family::Deque: case Family::Counter: case Family::OrderedDict:
        case Family::ChainMap:
            return true;
        default:
            return false;
    }
}

PyObject* to_empty_form(ByteData& bd, Family family) {
    switch (family) {
        case Family::Str: return to_str_e(bd);
        case Family::Bytes: return to_bytes_e(bd, 0);
        case Family::ByteArray: return to_bytes_e(bd, 1);
        case Family::List: return to_list_e(bd);
        case Family::Set: return to_iterable_e(bd, IterableKind::Set);
        case Family::Tuple: return to_tuple_e(bd);
        case Family::Dict: return to_dict_e(bd);
        case Family::FrozenSet: return to_iterable_e(bd, IterableKind::FrozenSet);
        case Family::MemoryView: return to_memoryview_e(bd);
        case Family::NamedTuple: return kel2::to_namedtuple_e(bd);
        case Family::Deque: return to_iterable_e(bd, IterableKind::Deque);
        case Family::Counter: return kel2::to_counter_e(bd);
        case Family::OrderedDict: return kel2::to_ordereddict_e(bd);
        case Family::ChainMap: return kel2::to_chainmap_e(bd);
        case Family::Path: return kel2::to_path_e(bd, path_cl);
        case Family::PurePath: return kel2::to_path_e(bd, purepath_cl);
        default: break;
    }
    PyErr_SetString(PyExc_RuntimeError, "Unexpectedly reached an unknown value family.");
    return nullptr;
}

PyObject* to_sized_form(ByteData& bd, Family family, uint64_t width, MemberDecoder member) {
    switch (family) {
        case Family::Str: return to_str_gen(bd, width);
        case Family::Bytes: return to_bytes_gen(bd, width, 0);
        case Family::ByteArray: return to_bytes_gen(bd, width, 1);
        case Family::List: return to_list_gen(bd, width, member);
        case Family::Set: return to_iterable_gen(bd, width, IterableKind::Set, member);
        case Family::Tuple: return to_tuple_gen(bd, width, member);
        case Family::Dict: return to_dict_gen(bd, width, member);
        case Family::FrozenSet: return to_iterable_gen(bd, width, IterableKind::FrozenSet, member);
        case Family::MemoryView: return to_memoryview_gen(bd, width);
        case Family::Decimal: return to_decimal_gen(bd, width);
        case Family::NamedTuple: return kel2::to_namedtuple_gen(bd, width);
        case Family::Deque: return to_iterable_gen(bd, width, IterableKind::Deque, member);
        case Family::Counter: return kel2::to_counter_gen(bd, width);
        case Family::OrderedDict: return kel2::to_ordereddict_gen(bd, width);
        case Family::ChainMap: return kel2::to_chainmap_gen(bd, width);
        case Family::Path: return kel2::to_path_gen(bd, width, path_cl);
        case Family::PurePath: return kel2::to_path_gen(bd, width, purepath_cl);
        default: break;
    }
    PyErr_SetString(PyExc_RuntimeError, "Unexpectedly reached an unknown value family.");
    return nullptr;
}

PyObject* to_family_item(ByteData& bd, FamilyEntry entry, unsigned code, SizeWidthReader size_width,
                         MemberDecoder member) {
    const unsigned form = code - entry.base;
    if (form == 0) {
        return to_empty_form(bd, entry.family);
    }
    uint64_t width;
    if (!size_width(bd, form, width)) {
        return nullptr;
    }
    return to_sized_form(bd, entry.family, width, member);
}

}  // namespace kel

PyObject* to_value_range(const unsigned char* data, size_t length) {
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
    return kel2::to_any_value(bd);
}

PyObject* to_value(PyObject* py_bytes) {
    if (!PyBytes_Check(py_bytes)) {
        PyErr_SetString(PyExc_TypeError, "Expected a bytes object to decode.");
        return nullptr;
    }
    // bytes are immutable, so the decoder reads them in place.
    return to_value_range(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(py_bytes)),
                          static_cast<size_t>(PyBytes_GET_SIZE(py_bytes)));
}
