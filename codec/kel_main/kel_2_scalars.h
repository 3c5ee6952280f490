// Protocol-2 scalars: ints, floats, complex numbers, texts and bytes,
// written and read.
// A part of kel_2.cpp, included by it alone, after the class registry and
// the headers before it in that file's order.
#pragma once

namespace {

// ---------------------------------------------------------------------------
// Scalar encoders
// ---------------------------------------------------------------------------

// UTF-8 form of a str, straight from the object when it is ASCII or keeps
// one already; null with the encoding error for a text holding lone
// surrogates.
inline const char* utf8_of(PyObject* text, Py_ssize_t& length) {
    if (PyUnicode_IS_ASCII(text)) {
        length = PyUnicode_GET_LENGTH(text);
        return static_cast<const char*>(PyUnicode_DATA(text));
    }
    if (const char* utf8 = compat::cached_utf8(text, length)) {
        return utf8;
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
    return write_payload_of(vd, static_cast<uint64_t>(length), utf8, empty, text, false);
}

StatusCode from_string(ValueData& vd, PyObject* value) {
    if (!PyUnicode_Check(value)) {
        return SC_INCORRECT;
    }
    return write_text(vd, value, 0);
}

// Code and count bytes for an int of at most 255 value bytes, at `out`;
// the end of what was written.
inline unsigned char* put_short_int_header(unsigned char* out, uint64_t num_bytes) {
    if (num_bytes <= 5) {
        *out++ = static_cast<unsigned char>(4 + num_bytes);
    } else {
        *out++ = 10;
        *out++ = static_cast<unsigned char>(num_bytes);
    }
    return out;
}

// Code and count bytes for an int of `num_bytes` value bytes.
StatusCode write_int_header(ValueData& vd, uint64_t num_bytes) {
    if (num_bytes <= 255) {
        vd.offset = put_short_int_header(vd.bytes + vd.offset, num_bytes) - vd.bytes;
    } else {
        const unsigned k = get_num_bytes(num_bytes);
        put_byte(vd, 11);
        write_metadata(vd, static_cast<unsigned char>(k), num_bytes, k);
    }
    return SC_SUCCESS;
}

// Room that a word-sized int takes at most: the longest header and all
// eight bytes.
constexpr int64_t WORD_INT_ROOM = 2 + 8;

// A word-sized int at `out`, which has WORD_INT_ROOM bytes of room; the end
// of its encoding. An int of at most five value bytes (nearly every one)
// goes down with its code byte in one store of a word, the end then placed
// by its width; a longer one takes the two-byte header and the eight value
// bytes.
inline unsigned char* put_word_int_at(unsigned char* out, long long v) {
    const uint64_t num_bytes = word_int_num_bytes(v);
    if (num_bytes <= 5) {
        const uint64_t coded = (4 + num_bytes) | static_cast<uint64_t>(v) << 8;
        std::memcpy(out, &coded, sizeof coded);
        return out + 1 + num_bytes;
    }
    out[0] = 10;
    out[1] = static_cast<unsigned char>(num_bytes);
    std::memcpy(out + 2, &v, sizeof v);
    return out + 2 + num_bytes;
}

// A word-sized int, its room made.
inline void put_word_int(ValueData& vd, long long v) {
    vd.offset = put_word_int_at(vd.bytes + vd.offset, v) - vd.bytes;
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
// The cursor stays in a local within a block: a byte stored through
// `vd.bytes` may alias `vd.offset`, so writing through `vd` would store
// and reload the offset for every member.
// Inlined into both callers: a mixed container calls it for each int member
// that follows another kind, often for a run of one.
[[gnu::always_inline]] inline Py_ssize_t write_word_ints(ValueData& vd, PyObject* const* items, Py_ssize_t i,
                                                         Py_ssize_t n, StatusCode& status) {
    constexpr Py_ssize_t BLOCK = 64;
    status = SC_SUCCESS;
    while (i < n) {
        const Py_ssize_t block_end = std::min(n, i + BLOCK);
        if ((status = auto_resize_vd(vd, (block_end - i) * WORD_INT_ROOM)) != SC_SUCCESS) {
            return i;
        }
        unsigned char* const start = vd.bytes;
        unsigned char* out = start + vd.offset;
        long long v;
        for (; i < block_end && Py_TYPE(items[i]) == &PyLong_Type && compat::word_long_value(items[i], v); ++i) {
            out = put_word_int_at(out, v);
        }
        vd.offset = out - start;
        if (i < block_end) {
            break;
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

// Room that an int of at most WIDE_DIGITS digits takes: the header and
// all sixteen bytes.
constexpr int64_t WIDE_INT_ROOM = 2 + 16;

// An int of at most 16 value bytes, from its 128-bit value: the low bytes
// of its two's complement, as many as its bit length and sign need.
StatusCode from_wide_integer(ValueData& vd, __int128 v) {
    const auto magnitude = static_cast<unsigned __int128>(v < 0 ? ~v : v);
    const auto high = static_cast<uint64_t>(magnitude >> 64);
    const int bits = high ? 64 + std::bit_width(high) : std::bit_width(static_cast<uint64_t>(magnitude));
    const auto num_bytes = static_cast<uint64_t>(bits + 8) / 8;
    if (StatusCode s = auto_resize_vd(vd, WIDE_INT_ROOM); s != SC_SUCCESS) {
        return s;
    }
    unsigned char* out = put_short_int_header(vd.bytes + vd.offset, num_bytes);
    std::memcpy(out, &v, sizeof v);
    vd.offset = out + num_bytes - vd.bytes;
    return SC_SUCCESS;
}

StatusCode from_integer(ValueData& vd, PyObject* value) {
    if (!PyLong_Check(value)) {
        return SC_INCORRECT;
    }
    long long v;
    if (compat::word_long_value(value, v)) {
        return from_small_integer(vd, v);
    }
    if (__int128 wide; compat::wide_long_value(value, wide)) {
        return from_wide_integer(vd, wide);
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

constexpr int64_t FLOAT_ROOM = 1 + 8;

// A float (code and the eight bytes of the double) at `out`; the end of it.
inline unsigned char* put_float_at(unsigned char* out, double d) {
    *out = 12;
    std::memcpy(out + 1, &d, sizeof d);
    return out + FLOAT_ROOM;
}

inline StatusCode from_float(ValueData& vd, PyObject* value) {
    if (!PyFloat_Check(value)) {
        return SC_INCORRECT;
    }
    if (StatusCode s = auto_resize_vd(vd, FLOAT_ROOM); s != SC_SUCCESS) {
        return s;
    }
    vd.offset = put_float_at(vd.bytes + vd.offset, PyFloat_AS_DOUBLE(value)) - vd.bytes;
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
    return write_payload_of(vd, static_cast<uint64_t>(PyBytes_GET_SIZE(value)), PyBytes_AS_STRING(value), 18, value,
                            false);
}

StatusCode from_bytearray(ValueData& vd, PyObject* value) {
    if (!PyByteArray_Check(value)) {
        return SC_INCORRECT;
    }
    return write_payload_of(vd, static_cast<uint64_t>(PyByteArray_GET_SIZE(value)), PyByteArray_AS_STRING(value), 23,
                            value, true);
}

}  // namespace

// ---------------------------------------------------------------------------
// Scalar readers
// ---------------------------------------------------------------------------

namespace kel {

PyObject* to_str_e(ByteData& bd) {
    if (!step_code(bd)) {
        return nullptr;
    }
    return PyUnicode_FromStringAndSize(nullptr, 0);
}

// Texts of up to this many UTF-8 bytes are decoded here, from a copy: the
// input may be shared memory that changes meanwhile, and what is tested must
// be what is used.
constexpr uint64_t SHORT_TEXT = 64;

// The code points of strict UTF-8 (no overlong forms, no surrogates, none
// past U+10FFFF), as the interpreter's decoder takes it; -1 at the first
// byte it would refuse.
static Py_ssize_t utf8_code_points(const unsigned char* in, size_t size, Py_UCS4* out) {
    Py_ssize_t count = 0;
    for (size_t i = 0; i < size;) {
        const unsigned char lead = in[i];
        unsigned more = 0;
        Py_UCS4 point = lead;
        // The bounds of the first continuation byte; the others take 80-BF.
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            point = lead & 0x0F;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            point = lead & 0x07;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else if (lead >= 0x80) {
            return -1;
        }
        if (size - i <= more) {
            return -1;
        }
        for (unsigned k = 1; k <= more; ++k) {
            const unsigned char next = in[i + k];
            if (next < low || next > high) {
                return -1;
            }
            low = 0x80;
            high = 0xBF;
            point = (point << 6) | (next & 0x3F);
        }
        out[count++] = point;
        i += more + 1;
    }
    return count;
}

static bool is_ascii(const unsigned char* bytes, uint64_t size) {
    uint64_t high_bits = 0;
    uint64_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        high_bits |= word;
    }
    for (; i < size; ++i) {
        high_bits |= bytes[i];
    }
    return (high_bits & 0x8080808080808080u) == 0;
}

// A text made at its final width at once, where the interpreter's decoder
// would widen it as wider characters come; `stable` is a copy that cannot
// change. What that decoder gives: one-character texts are its shared
// objects, and bytes it refuses go to it for its error.
[[gnu::noinline]] static PyObject* text_from_utf8(const unsigned char* stable, uint64_t size) {
    Py_UCS4 points[SHORT_TEXT];
    const Py_ssize_t count = utf8_code_points(stable, size, points);
    if (count < 0) {
        return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(stable), static_cast<Py_ssize_t>(size), "strict");
    }
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points, count);
}

// A short text, from a copy on the stack. An ASCII one of two characters
// or more (the decoder shares the one-character ones), the commonest, is
// copied on into its text object.
static PyObject* short_text(const unsigned char* bytes, uint64_t size) {
    unsigned char copy[SHORT_TEXT];
    copy_payload(copy, bytes, size);
    if (size < 2 || !is_ascii(copy, size)) {
        return text_from_utf8(copy, size);
    }
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (text) {
        copy_payload(static_cast<unsigned char*>(PyUnicode_DATA(text)), copy, size);
    }
    return text;
}

static PyObject* text_object(const unsigned char* bytes, uint64_t size) {
    if (size <= SHORT_TEXT) {
        return short_text(bytes, size);
    }
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(size), "strict");
}

PyObject* to_str_gen(ByteData& bd, uint64_t size_bytes_length) {
    uint64_t size;
    if (!read_payload_size(bd, size_bytes_length, size)) {
        return nullptr;
    }
    const unsigned char* bytes = bd.bytes + bd.offset;
    bd.offset += size;
    return text_object(bytes, size);
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

// Copies a payload into the new object at `data`, which nobody else can see
// yet, and which a copy large enough to have a mapping of its own is given
// its pages first.
inline void fill_payload(char* data, const char* payload, uint64_t size) {
    if (size >= OWN_MAPPING) {
        populate_allocation_for_copy(data, size);
    }
    copy_in_pieces(data, payload, size);
}

// The payloads of new bytes, bytearray and text objects, copied once the
// decoding is over, together: with the GIL let go when they add up to
// LARGE_COPY bytes or more, as a value of many medium pieces takes as long
// to copy as one large one. Each object is held until then (a later dict
// value may replace it in its dict); on a failure they are let go
// unfilled. A text that starts as ASCII is made as ASCII, the commonest
// large text, whose UTF-8 form is its storage; one that proves not to be is
// decoded afresh and put in its place (see WrongTexts).
struct PendingFills {
    struct Fill {
        PyObject* object;
        char* data;
        const char* payload;
        uint64_t size;
        bool text;
        bool wrong;  // a text whose payload is not ASCII
    };

    PendingFills() = default;
    PendingFills(const PendingFills&) = delete;
    PendingFills& operator=(const PendingFills&) = delete;
    ~PendingFills() {
        for (int64_t i = 0; i < count; ++i) {
            Py_DECREF(items[i].object);
        }
        if (items != local) {
            PyMem_Free(items);
        }
    }

    // Holds `object` and its fill; false (a MemoryError set) when there is
    // no room for it.
    bool add(PyObject* object, char* data, const char* payload, uint64_t size, bool text) {
        if (count == capacity && !grow()) {
            PyErr_NoMemory();
            return false;
        }
        Py_INCREF(object);
        items[count++] = {object, data, payload, size, text, false};
        total += size;
        return true;
    }

    // Makes the copies (the source stays mapped and unchanged while the GIL
    // is let go: the decoding was given a stable one); the number of texts
    // left wrong.
    int64_t fill_all() {
        return gil::without_gil_if_large(total, [this] {
            int64_t wrong = 0;
            for (int64_t i = 0; i < count; ++i) {
                Fill& fill = items[i];
                fill.wrong = fill.text && !is_ascii(reinterpret_cast<const unsigned char*>(fill.payload), fill.size);
                if (fill.wrong) {
                    wrong += 1;
                } else {
                    fill_payload(fill.data, fill.payload, fill.size);
                }
            }
            return wrong;
        });
    }

    int64_t count = 0;
    Fill* items = local;

private:
    bool grow() {
        const auto more = static_cast<size_t>(capacity) * 2;
        auto* grown = static_cast<Fill*>(PyMem_Malloc(more * sizeof(Fill)));
        if (!grown) {
            return false;
        }
        std::memcpy(grown, items, static_cast<size_t>(count) * sizeof(Fill));
        if (items != local) {
            PyMem_Free(items);
        }
        items = grown;
        capacity = static_cast<int64_t>(more);
        return true;
    }

    static constexpr int64_t LOCAL_FILLS = 8;
    int64_t capacity = LOCAL_FILLS;
    uint64_t total = 0;
    Fill local[LOCAL_FILLS];
};

// Texts made as ASCII whose payloads are not, each with the text decoded
// from its payload, sorted by the first.
class WrongTexts {
public:
    explicit WrongTexts(const PendingFills& fills) : fills_(fills) {}
    WrongTexts(const WrongTexts&) = delete;
    WrongTexts& operator=(const WrongTexts&) = delete;
    ~WrongTexts() {
        for (int64_t i = 0; i < count_; ++i) {
            Py_DECREF(pairs_[i].second);
        }
        PyMem_Free(pairs_);
    }

    // Decodes them; false with the decoder's error.
    bool decode(int64_t wrong) {
        pairs_ = static_cast<Pair*>(PyMem_Calloc(static_cast<size_t>(wrong), sizeof(Pair)));
        if (!pairs_) {
            PyErr_NoMemory();
            return false;
        }
        for (int64_t i = 0; i < fills_.count; ++i) {
            const PendingFills::Fill& fill = fills_.items[i];
            if (fill.wrong) {
                PyObject* right = text_object(reinterpret_cast<const unsigned char*>(fill.payload), fill.size);
                if (!right) {
                    return false;
                }
                pairs_[count_++] = {fill.object, right};
            }
        }
        std::sort(pairs_, pairs_ + count_, [](const Pair& a, const Pair& b) { return before(a.first, b.first); });
        return true;
    }

    // The text to put in place of `member` (borrowed), or null.
    PyObject* right_for(PyObject* member) const {
        if (!PyUnicode_CheckExact(member)) {
            return nullptr;
        }
        const Pair* at = std::lower_bound(pairs_, pairs_ + count_, member,
                                          [](const Pair& pair, PyObject* key) { return before(pair.first, key); });
        return at != pairs_ + count_ && at->first == member ? at->second : nullptr;
    }

    // Puts the right texts in place of the wrong ones among the members of
    // `value`, a list, tuple or dict decoded as unseen (see to_unseen_value),
    // and in those of such containers in it, `depth` levels down at most:
    // the decoding nests no deeper than the recursion limit, and an object
    // that Python code made may hold itself. False with an exception set.
    bool replace_in(PyObject* value, int depth) const {
        if (depth == 0) {
            return true;
        }
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
            PyObject** items = PySequence_Fast_ITEMS(value);
            for (Py_ssize_t i = 0; i < Py_SIZE(value); ++i) {
                if (PyObject* right = right_for(items[i])) {
                    Py_INCREF(right);
                    Py_SETREF(items[i], right);
                } else if (!replace_in(items[i], depth - 1)) {
                    return false;
                }
            }
        } else if (PyDict_CheckExact(value)) {
            Py_ssize_t at = 0;
            PyObject* key;
            PyObject* member;
            // Values only change: the keys stay as they are.
            while (PyDict_Next(value, &at, &key, &member)) {
                PyObject* right = right_for(member);
                if (right ? PyDict_SetItem(value, key, right) < 0 : !replace_in(member, depth - 1)) {
                    return false;
                }
            }
        }
        return true;
    }

private:
    using Pair = std::pair<PyObject*, PyObject*>;
    // Objects in the order of their addresses.
    static bool before(PyObject* a, PyObject* b) { return std::less<PyObject*>{}(a, b); }

    const PendingFills& fills_;
    Pair* pairs_ = nullptr;
    int64_t count_ = 0;
};

// Fills what `fills` holds for the decoded `value` (a new reference, which
// is given back on failure): the value, or its replacement when it is a
// wrong text itself; null with an exception set.
PyObject* fill_pending(PyObject* value, PendingFills& fills) {
    PyRef decoded(value);
    const int64_t wrong = fills.fill_all();
    if (wrong == 0) {
        return decoded.release();
    }
    WrongTexts texts(fills);
    if (!texts.decode(wrong)) {
        return nullptr;
    }
    if (PyObject* right = texts.right_for(decoded.get())) {
        Py_INCREF(right);
        return right;
    }
    return texts.replace_in(decoded.get(), Py_GetRecursionLimit()) ? decoded.release() : nullptr;
}

// A bytes or bytearray object of `size` bytes whose payload at `payload`
// is copied later (`fills` given) or now.
static PyObject* bytes_object(const char* payload, uint64_t size, int is_bytearray, bool stable,
                              PendingFills* fills) {
    const auto n = static_cast<Py_ssize_t>(size);
    const bool off_gil = stable && size >= LARGE_COPY;
    if (size < OWN_MAPPING && !off_gil && !fills) {
        return is_bytearray ? PyByteArray_FromStringAndSize(payload, n) : PyBytes_FromStringAndSize(payload, n);
    }
    PyRef value(is_bytearray ? PyByteArray_FromStringAndSize(nullptr, n) : PyBytes_FromStringAndSize(nullptr, n));
    if (!value) {
        return nullptr;
    }
    // Nobody else can see the new object yet, so it may be filled without the GIL.
    char* data = is_bytearray ? PyByteArray_AS_STRING(value.get()) : PyBytes_AS_STRING(value.get());
    if (fills) {
        return fills->add(value.get(), data, payload, size, false) ? value.release() : nullptr;
    }
    gil::without_gil_if_large(off_gil ? size : 0, [=] { fill_payload(data, payload, size); });
    return value.release();
}

PyObject* to_bytes_gen(ByteData& bd, uint64_t size_bytes_length, int is_bytearray) {
    uint64_t size;
    if (!read_payload_size(bd, size_bytes_length, size)) {
        return nullptr;
    }
    const char* payload = reinterpret_cast<const char*>(bd.bytes + bd.offset);
    bd.offset += size;
    return bytes_object(payload, size, is_bytearray, bd.stable, nullptr);
}

// The same for an object that nothing hashes or hands to Python code before
// the decoding ends: a payload of DEFERRED_COPY bytes or more goes to
// `bd.fills` when the decoding keeps them.
PyObject* to_unseen_bytes(ByteData& bd, uint64_t size_bytes_length, int is_bytearray) {
    uint64_t size;
    if (!read_payload_size(bd, size_bytes_length, size)) {
        return nullptr;
    }
    const char* payload = reinterpret_cast<const char*>(bd.bytes + bd.offset);
    bd.offset += size;
    PendingFills* fills = size >= DEFERRED_COPY ? bd.fills : nullptr;
    return bytes_object(payload, size, is_bytearray, bd.stable, fills);
}

// Bytes of a text looked at before the rest of it is.
constexpr uint64_t ASCII_LOOK = 64;

// Whether the text's payload is ASCII, looked at a block at a time so that
// the look ends at the first block that is not.
static bool is_ascii_text(const unsigned char* bytes, uint64_t size) {
    constexpr uint64_t BLOCK = 4096;
    for (uint64_t at = 0; at < size; at += BLOCK) {
        if (!is_ascii(bytes + at, std::min(BLOCK, size - at))) {
            return false;
        }
    }
    return true;
}

// A text that nothing hashes or hands to Python code before the decoding
// ends: one of DEFERRED_COPY bytes or more goes to `bd.fills` when the
// decoding keeps them, made as ASCII (see PendingFills).
PyObject* to_unseen_str(ByteData& bd, uint64_t size_bytes_length) {
    uint64_t size;
    if (!read_payload_size(bd, size_bytes_length, size)) {
        return nullptr;
    }
    const unsigned char* bytes = bd.bytes + bd.offset;
    bd.offset += size;
    // A text that is not ASCII is decoded at once, with no object made in
    // vain: most show it from their start, and a look at the rest costs far
    // less than decoding a text twice (long texts are often ASCII but for a
    // few characters late in them).
    if (size < DEFERRED_COPY || !bd.fills || !is_ascii(bytes, ASCII_LOOK) || !is_ascii_text(bytes, size)) {
        return text_object(bytes, size);
    }
    PyRef text(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    if (!text) {
        return nullptr;
    }
    char* data = static_cast<char*>(PyUnicode_DATA(text.get()));
    return bd.fills->add(text.get(), data, reinterpret_cast<const char*>(bytes), size, true) ? text.release() : nullptr;
}

}  // namespace kel
