// Protocol-2 frame: the encoder's buffer, size forms and helpers; the
// decoder's cursor, size fields and errors.
// A part of kel_2.cpp, included by it alone, after the class registry and
// the headers before it in that file's order.
#pragma once

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

// A payload whose copy waits for the end of the encoding, where all of
// them are made together, with the GIL let go when they add up to
// LARGE_COPY bytes or more: by then any container around it may have
// dropped it, so its source is held meanwhile (a reference to an immutable
// bytes or str, or an export that keeps a bytearray or a buffer's owner
// from being resized or freed). `offset` is where it goes in the encoding,
// which may move as it grows.
struct DeferredCopy {
    int64_t offset;
    Py_buffer source;
};

// Payloads of this size or more are deferred: a value of many such pieces
// adds up to a copy long enough to stall other threads, though no piece
// is. Holding a source and its place costs tens of nanoseconds, nothing
// beside a copy of this size (a microsecond); far below it, that share
// grows while the walk over the value, which keeps the GIL anyway, takes
// more of the time than the copies do.
constexpr uint64_t DEFERRED_COPY = uint64_t{16} << 10;

// The deferred copies of one encoding: the first few in place, the rest in
// a list that grows, which most values never need.
class DeferredCopies {
public:
    DeferredCopies() = default;
    DeferredCopies(const DeferredCopies&) = delete;
    DeferredCopies& operator=(const DeferredCopies&) = delete;
    // Sources still held (an encoding that failed) are let go.
    ~DeferredCopies() {
        if (items_ != local_ || count_ > 0) {
            let_go();
        }
    }

    int32_t count() const { return count_; }
    uint64_t total() const { return total_; }
    const DeferredCopy& operator[](int32_t i) const { return items_[i]; }

    // Room for one more copy at the end; null when memory runs out.
    DeferredCopy* add() {
        if (count_ == capacity_ && !grow()) {
            return nullptr;
        }
        return &items_[count_];
    }
    // Counts the copy that add() gave room for, once its source is held.
    void added() {
        total_ += static_cast<uint64_t>(items_[count_].source.len);
        count_ += 1;
    }
    void release() {
        while (count_ > 0) {
            PyBuffer_Release(&items_[--count_].source);
        }
        total_ = 0;
    }

private:
    [[gnu::noinline]] void let_go() {
        release();
        if (items_ != local_) {
            PyMem_Free(items_);
        }
    }

    bool grow() {
        if (capacity_ > INT32_MAX / 2) {
            return false;
        }
        const size_t capacity = static_cast<size_t>(capacity_) * 2;
        auto* items = static_cast<DeferredCopy*>(PyMem_Malloc(capacity * sizeof(DeferredCopy)));
        if (!items) {
            return false;
        }
        // A Py_buffer of a simple export points nowhere into itself.
        std::memcpy(items, items_, static_cast<size_t>(count_) * sizeof(DeferredCopy));
        if (items_ != local_) {
            PyMem_Free(items_);
        }
        items_ = items;
        capacity_ = static_cast<int32_t>(capacity);
        return true;
    }

    static constexpr int32_t LOCAL_COPIES = 8;
    int32_t count_ = 0;
    int32_t capacity_ = LOCAL_COPIES;
    uint64_t total_ = 0;
    DeferredCopy* items_ = local_;
    DeferredCopy local_[LOCAL_COPIES];
};

// The output buffer is the storage of a bytes object under construction, so
// that the finished encoding is handed out without another copy; small
// values start in `local` (`owner` null) until they outgrow it.
struct ValueData {
    ValueData() = default;
    ValueData(const ValueData&) = delete;
    ValueData& operator=(const ValueData&) = delete;

    int64_t offset;
    int64_t max_size;
    int32_t nests;
    DeferredCopies deferred;
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

// The UTF-8 length of a text when it is known without encoding it: an
// ASCII text's own, or that of the UTF-8 form the text keeps; -1 otherwise.
int64_t known_utf8_length(PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) {
        return PyUnicode_GET_LENGTH(text);
    }
    Py_ssize_t length;
    return compat::cached_utf8(text, length) ? length : -1;
}

// The encoded length of a bytes, bytearray or text item, when it is known
// up front; 0 for any other value.
int64_t exact_item_length(PyObject* value) {
    // bytearray last: its test walks the type's bases.
    int64_t length = -1;
    if (PyUnicode_Check(value)) {
        length = known_utf8_length(value);
    } else if (PyBytes_Check(value)) {
        length = PyBytes_GET_SIZE(value);
    } else if (PyByteArray_Check(value)) {
        length = PyByteArray_GET_SIZE(value);
    }
    return length < 0 ? 0 : sized_header_length(static_cast<uint64_t>(length)) + length;
}

// A call's arguments come as a tuple: the exact items among its first
// members count too, so that a large argument has its room from the start.
// So do payloads whose copy is deferred (DEFERRED_COPY bytes or more) among
// the members of a list, tuple or dict (its values), in the value or a few
// levels down: room made midway cannot let the GIL go, and for an area in
// shared memory it is allocated and mapped in, for milliseconds. Past the
// first few members the count goes on only while members hold such
// payloads, whose copies cost far more than looking at them.
constexpr Py_ssize_t SIZED_TUPLE_MEMBERS = 8;
constexpr int SIZED_DEPTH = 3;

int64_t sized_members_length(PyObject* container, bool every_item, int depth);

// The encoded length of `member` counted in its container's first buffer.
int64_t sized_member_length(PyObject* member, bool every_item, int depth) {
    // Numbers and containers, the most common members, are told apart at
    // once: the item tests below walk the type's bases for them.
    if (PyLong_CheckExact(member) || PyFloat_CheckExact(member) || PyBool_Check(member) || member == Py_None) {
        return 0;
    }
    if (PyList_CheckExact(member) || PyTuple_CheckExact(member) || PyDict_CheckExact(member)) {
        return depth > 1 ? sized_members_length(member, false, depth - 1) : 0;
    }
    const int64_t length = exact_item_length(member);
    return every_item || length >= static_cast<int64_t>(DEFERRED_COPY) ? length : 0;
}

// Whether the count goes on past the first members, after one that
// counted `length`.
inline bool keep_sizing(int64_t length) { return length >= static_cast<int64_t>(DEFERRED_COPY); }

int64_t sized_members_length(PyObject* container, bool every_item, int depth) {
    int64_t length = 0;
    int64_t counted = 0;
    if (PyDict_Check(container)) {
        Py_ssize_t at = 0;
        PyObject* key;
        PyObject* member;
        for (Py_ssize_t seen = 0; (seen < SIZED_TUPLE_MEMBERS || keep_sizing(counted)) &&
                                  PyDict_Next(container, &at, &key, &member);
             ++seen) {
            counted = sized_member_length(member, every_item, depth);
            length += counted;
        }
        return length;
    }
    PyObject** items = PySequence_Fast_ITEMS(container);  // a list or tuple
    const Py_ssize_t size = Py_SIZE(container);
    const Py_ssize_t first = std::min(size, SIZED_TUPLE_MEMBERS);
    for (Py_ssize_t i = 0; i < first; ++i) {
        counted = sized_member_length(items[i], every_item, depth);
        length += counted;
    }
    for (Py_ssize_t i = first; i < size && keep_sizing(counted); ++i) {
        counted = sized_member_length(items[i], every_item, depth);
        length += counted;
    }
    return length;
}

// The longest date or time text written without calling isoformat(): a
// datetime with microseconds in UTC.
constexpr size_t LONGEST_DIRECT_ISO = 32;

// Bytes taken by the code and count of an int of `num_bytes` value bytes.
int64_t int_header_size(uint64_t num_bytes) {
    if (num_bytes <= 5) {
        return 1;
    }
    return num_bytes <= 255 ? 2 : 2 + get_num_bytes(num_bytes);
}

// Value bytes of a word-sized int: its two's complement, as many low bytes
// as its bit length and sign need. (`| 1` gives 0 the width of 1, which is
// the same, and spares a bit scan its test for zero.)
inline uint64_t word_int_num_bytes(long long v) {
    const uint64_t magnitude = static_cast<uint64_t>(v < 0 ? ~v : v);
    return (std::bit_width(magnitude | 1) + 8) / 8;
}

// Bytes guessed for each member of a list or tuple, by its first member:
// dates and times take more than the usual guess; a word-sized int the
// length of its own encoding, since the ints of a list mostly share a
// width, and the usual guess would give a list of 10,000 small ints a
// first buffer of 320 KB, which the C library maps afresh (page faults
// included) and unmaps on every call.
int64_t member_guess(PyObject* sequence) {
    if (Py_SIZE(sequence) == 0) {
        return 0;
    }
    PyObject* first = PyList_Check(sequence) ? PyList_GET_ITEM(sequence, 0) : PyTuple_GET_ITEM(sequence, 0);
    PyTypeObject* type = Py_TYPE(first);
    if (long long v; type == &PyLong_Type && compat::word_long_value(first, v)) {
        const uint64_t num_bytes = word_int_num_bytes(v);
        return int_header_size(num_bytes) + static_cast<int64_t>(num_bytes);
    }
    return type == PyDateTimeAPI->DateTimeType || type == PyDateTimeAPI->TimeType ? 2 + LONGEST_DIRECT_ISO : 16;
}

// Whether `member` is a bytes, bytearray or text whose copy is deferred,
// told at the cost of a type comparison for any other.
bool is_deferred_payload(PyObject* member) {
    PyTypeObject* type = Py_TYPE(member);
    if (type != &PyBytes_Type && type != &PyUnicode_Type && type != &PyByteArray_Type) {
        return false;
    }
    return exact_item_length(member) >= static_cast<int64_t>(DEFERRED_COPY);
}

// Dicts smaller than this are not looked into for a leading deferred
// payload: the common small ones would pay for the look, and the few large
// pieces they may hold grow the buffer a few times at most.
constexpr Py_ssize_t PEEKED_DICT_SIZE = 16;

// Whether the first value of a dict is one.
bool leads_with_deferred_payload(PyObject* dict) {
    Py_ssize_t at = 0;
    PyObject* key;
    PyObject* first;
    return PyDict_Next(dict, &at, &key, &first) && is_deferred_payload(first);
}

// A top-level exact item, or a tuple of them, is written into one buffer of
// its own size, with nothing to grow or give back. Other texts get an upper
// bound (UTF-8 takes at most one byte more per character than the storage
// width, and never more than four), whose excess is given back in place;
// other containers a guess from their size, on which only the number of
// growths depends, up to `guess_limit`. The first buffer is made before the
// encoding reads anything of the value, so an area may let the GIL go to
// make it; for an area (`into_area`), large items a few levels down count
// too, since an area grown midway keeps the GIL while it is mapped in. A
// buffer of the encoder's own grows midway at the cost of one copy, less
// than looking for them in every small value; but a list or dict that
// starts with a deferred payload has its first members sized (and members
// past them while they are such payloads): the copy made by each growth
// includes the room kept for them, of a size their copies take without
// the GIL.
int64_t initial_capacity(PyObject* value, int64_t guess_limit, bool into_area) {
    const int depth = into_area ? SIZED_DEPTH : 1;
    constexpr int64_t marker = 1;
    // Numbers fit the stack buffer; the tests below would cost them more
    // than their encoding does (two of them walk the type's bases).
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyBool_Check(value)) {
        return GROWTH_SLACK;
    }
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
        hint = static_cast<int64_t>(Py_SIZE(value)) * member_guess(value);
        const bool tuple = PyTuple_Check(value);
        const bool sized =
            into_area || tuple || (Py_SIZE(value) > 0 && is_deferred_payload(PySequence_Fast_ITEMS(value)[0]));
        exact = sized ? sized_members_length(value, tuple, depth) : 0;
    } else if (PyDict_Check(value)) {
        // The stored sizes, not len(): a subclass's __len__ may raise or lie.
        hint = static_cast<int64_t>(PyDict_GET_SIZE(value)) * 32;
        const bool sized =
            into_area || (PyDict_GET_SIZE(value) >= PEEKED_DICT_SIZE && leads_with_deferred_payload(value));
        exact = sized ? sized_members_length(value, false, depth) : 0;
    } else if (PyAnySet_Check(value)) {
        hint = static_cast<int64_t>(PySet_GET_SIZE(value)) * 32;
    }
    return std::min(2 * hint, guess_limit) + GROWTH_SLACK + exact;
}

// The most that a guess asks of a bytes object of the encoder's own: below
// the size from which the C library gives an allocation a mapping of its
// own (128 KiB unless tuned). A first buffer past it is mapped, faulted in
// page by page and unmapped on every call, since it is cut to the result
// before it is freed and so never raises the library's adaptive threshold;
// that costs more than the one copy of growing past the limit, after which
// a result that large does raise it. An area takes the whole guess: it may
// grow at the start, where the GIL may go, more cheaply than midway.
constexpr int64_t OWN_BUFFER_GUESS = int64_t{120} << 10;

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

// A first bytes object that the encoding fills whole, and that is large
// enough to have a mapping of its own, is given its pages at once.
void populate_filled_owner(const ValueData& vd, PyObject* value, int64_t capacity) {
    if (vd.owner && capacity >= static_cast<int64_t>(OWN_MAPPING) && capacity == 1 + exact_item_length(value)) {
        // The owner is the encoder's alone, so its pages may be given with
        // the GIL let go.
        unsigned char* data = vd.bytes;
        gil::without_gil([data, capacity] { populate_allocation_for_copy(data, static_cast<size_t>(capacity)); });
    }
}

bool init_vd(ValueData& vd, PyObject* value, EncodeArea* area = nullptr) {
    vd.owner = nullptr;
    vd.bytes = vd.local;
    vd.area = area;
    vd.in_area = false;
    vd.offset = 0;
    vd.max_size = LOCAL_CAPACITY;
    vd.nests = 0;
    const int64_t capacity = initial_capacity(value, area ? PY_SSIZE_T_MAX : OWN_BUFFER_GUESS, area != nullptr);
    if (capacity > LOCAL_CAPACITY && !(vd.area && move_into_area(vd, capacity, EncodeArea::When::Start)) &&
        !move_into_owner(vd, capacity)) {
        return false;
    }
    populate_filled_owner(vd, value, capacity);
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

// The size forms of write_E12D but the one-byte one.
StatusCode write_E12D_other(ValueData& vd, uint64_t size, const void* bytes, unsigned char empty) {
    const int64_t payload = bytes ? static_cast<int64_t>(size) : 0;
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

// The one-byte size form (a size of 1 to 255) at base code `empty` and the
// payload when one is given, at `out`; the end of what was written.
inline unsigned char* put_one_byte_form_at(unsigned char* out, uint64_t size, const void* bytes, unsigned char empty) {
    out[0] = static_cast<unsigned char>(empty + 1);
    out[1] = static_cast<unsigned char>(size);
    if (!bytes) {
        return out + 2;
    }
    copy_payload(out + 2, static_cast<const unsigned char*>(bytes), size);
    return out + 2 + size;
}

// Writes the shortest size form for `size` at base code `empty`, then the
// payload when one is given (containers append their members afterwards).
// Sizes of 1 to 255 (short texts, most containers) take the one-byte form,
// written inline; the others out of line.
[[gnu::always_inline]] inline StatusCode write_E12D(ValueData& vd, uint64_t size, const void* bytes, unsigned char empty) {
    if (size - 1 >= 255) {
        return write_E12D_other(vd, size, bytes, empty);
    }
    const int64_t payload = bytes ? static_cast<int64_t>(size) : 0;
    if (StatusCode s = auto_resize_vd(vd, 2 + payload); s != SC_SUCCESS) {
        return s;
    }
    vd.offset = put_one_byte_form_at(vd.bytes + vd.offset, size, bytes, empty) - vd.bytes;
    return SC_SUCCESS;
}

// Writes the size forms at base code `empty` and reserves room for a
// payload of `size` bytes at `data`, which `source` owns, whose copy waits
// for the end of the encoding (see DeferredCopy), with `source` exported
// meanwhile when `export_source` (a bytearray or memoryview), else
// referenced.
[[gnu::noinline]] StatusCode defer_payload(ValueData& vd, uint64_t size, const void* data, unsigned char empty,
                                           PyObject* source, bool export_source) {
    if (StatusCode s = write_E12D_other(vd, size, nullptr, empty); s != SC_SUCCESS) {
        return s;
    }
    if (StatusCode s = auto_resize_vd(vd, static_cast<int64_t>(size)); s != SC_SUCCESS) {
        return s;
    }
    DeferredCopy* copy = vd.deferred.add();
    if (!copy) {
        return SC_NOMEMORY;
    }
    if (!export_source) {
        PyBuffer_FillInfo(&copy->source, source, const_cast<void*>(data), static_cast<Py_ssize_t>(size), 1,
                          PyBUF_SIMPLE);
    } else if (PyObject_GetBuffer(source, &copy->source, PyBUF_SIMPLE) < 0) {
        return SC_EXCEPTION;
    }
    copy->offset = vd.offset;
    vd.deferred.added();
    vd.offset += static_cast<int64_t>(size);
    return SC_SUCCESS;
}

// Writes the size forms at base code `empty` and a payload of `size` bytes
// at `data`, which `source` owns; one of DEFERRED_COPY bytes or more is
// copied once the whole value is encoded.
inline StatusCode write_payload_of(ValueData& vd, uint64_t size, const void* data, unsigned char empty,
                                   PyObject* source, bool export_source) {
    if (size < DEFERRED_COPY) [[likely]] {
        return write_E12D(vd, size, data, empty);
    }
    return defer_payload(vd, size, data, empty, source, export_source);
}

// Makes the copies that waited for the end of the encoding, with the GIL let
// go when they add up to LARGE_COPY bytes or more: the destination is the
// encoder's own (a new bytes object, or an area its caller keeps mapped)
// and the sources are held. Then lets them go.
void make_deferred_copies(ValueData& vd) {
    const DeferredCopies& copies = vd.deferred;
    if (copies.count() == 0) {
        return;
    }
    unsigned char* bytes = vd.bytes;
    gil::without_gil_if_large(copies.total(), [&copies, bytes] {
        for (int32_t i = 0; i < copies.count(); ++i) {
            const DeferredCopy& copy = copies[i];
            copy_in_pieces(bytes + copy.offset, copy.source.buf, static_cast<size_t>(copy.source.len));
        }
    });
    vd.deferred.release();
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

}  // namespace

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

}  // namespace kel

namespace kel2 {

using namespace kel;

PyObject* to_any_value(ByteData& bd);

}  // namespace kel2
