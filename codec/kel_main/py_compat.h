// The interpreter's private integer helpers changed across versions; each is
// hidden behind one function here.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <cstddef>

namespace compat {

// Writes `value` as `length` little-endian two's-complement bytes; -1 with an
// exception when it does not fit.
inline int long_to_bytes(PyObject* value, unsigned char* out, size_t length) {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), out, length, 1, 1, 1);
#else
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), out, length, 1, 1);
#endif
}

// Writes a non-negative `value` as `length` big-endian unsigned bytes; -1
// with an exception when it is negative or does not fit.
inline int long_to_unsigned_be(PyObject* value, unsigned char* out, size_t length) {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), out, length, 0, 0, 1);
#else
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), out, length, 0, 0);
#endif
}

// The int whose little-endian two's-complement form is the `length` bytes.
inline PyObject* long_from_bytes(const unsigned char* bytes, size_t length) {
    return _PyLong_FromByteArray(bytes, length, 1, 1);
}

// Bit length of an int's absolute value; (size_t)-1 with an exception on overflow.
inline size_t long_num_bits(PyObject* value) { return _PyLong_NumBits(value); }

// An int's digits (least significant first, PyLong_SHIFT bits each), read
// in place, and its sign.
struct LongDigits {
    const digit* digits;
    size_t count;
    bool negative;
};

inline LongDigits long_digits(PyObject* value) {
    auto* number = reinterpret_cast<PyLongObject*>(value);
#if PY_VERSION_HEX >= 0x030C0000
    const uintptr_t tag = number->long_value.lv_tag;
    return {number->long_value.ob_digit, tag >> _PyLong_NON_SIZE_BITS, (tag & _PyLong_SIGN_MASK) == 2};
#else
    const Py_ssize_t size = Py_SIZE(value);
    return {number->ob_digit, static_cast<size_t>(size < 0 ? -size : size), size < 0};
#endif
}

// The value of an int of at most one digit, read as the interpreter's own
// fast paths read it: the digit times the sign (-1, 0 or 1), with no branch
// on either; a zero has its one digit too, which the sign 0 cancels. False
// for any other int.
inline bool one_digit_value(PyObject* value, long long& out) {
    auto* number = reinterpret_cast<PyLongObject*>(value);
#if PY_VERSION_HEX >= 0x030C0000
    const uintptr_t tag = number->long_value.lv_tag;
    if (tag >= (uintptr_t{2} << _PyLong_NON_SIZE_BITS)) {
        return false;
    }
    out = (1 - static_cast<long long>(tag & _PyLong_SIGN_MASK)) * number->long_value.ob_digit[0];
#else
    const Py_ssize_t size = Py_SIZE(value);
    if (static_cast<size_t>(size) + 1 >= 3) {
        return false;
    }
    out = static_cast<long long>(size) * number->ob_digit[0];
#endif
    return true;
}

// The value of an int that fits a signed word (but its lowest, -2**63),
// read from its digits without a call; false for any other int.
inline bool word_long_value(PyObject* value, long long& out) {
    if (one_digit_value(value, out)) {
        return true;
    }
    const LongDigits number = long_digits(value);
    const digit* digits = number.digits;
    constexpr size_t MOST_DIGITS = (63 + PyLong_SHIFT - 1) / PyLong_SHIFT;
    if (number.count > MOST_DIGITS) {
        return false;
    }
    uint64_t magnitude = 0;
    if (number.count == 2 || number.count == 3) {  // the other ints of a word, most of them
        const uint64_t high = number.count == 3 ? digits[2] : 0;
        if (high >> (63 - 2 * PyLong_SHIFT) != 0) {
            return false;
        }
        magnitude = digits[0] | static_cast<uint64_t>(digits[1]) << PyLong_SHIFT | high << (2 * PyLong_SHIFT);
        out = number.negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
        return true;
    }
    for (size_t i = number.count; i-- > 0;) {
        if (magnitude >> (63 - PyLong_SHIFT) != 0) {
            return false;  // the next digit would carry it past 63 bits
        }
        magnitude = (magnitude << PyLong_SHIFT) | digits[i];
    }
    out = number.negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return true;
}

// The int of a 128-bit value that does not fit a signed word, made from its
// digits without the interpreter's byte conversion.
inline PyObject* long_from_wide(__int128 value) {
    auto magnitude = static_cast<unsigned __int128>(value);
    if (value < 0) {
        magnitude = -magnitude;
    }
    digit digits[(128 + PyLong_SHIFT - 1) / PyLong_SHIFT];
    Py_ssize_t count = 0;
    for (; magnitude; magnitude >>= PyLong_SHIFT) {
        digits[count++] = static_cast<digit>(magnitude & PyLong_MASK);
    }
#if PY_VERSION_HEX >= 0x030C0000
    return reinterpret_cast<PyObject*>(_PyLong_FromDigits(value < 0, count, digits));
#else
    PyLongObject* number = _PyLong_New(count);
    if (number) {
        std::memcpy(number->ob_digit, digits, static_cast<size_t>(count) * sizeof(digit));
        Py_SET_SIZE(number, value < 0 ? -count : count);
    }
    return reinterpret_cast<PyObject*>(number);
#endif
}

// Digits that a 128-bit two's-complement value holds with room for its sign.
constexpr size_t WIDE_DIGITS = 127 / PyLong_SHIFT;

// The value of an int of at most WIDE_DIGITS digits as 128-bit two's
// complement, read from its digits without a call; false for a longer int.
inline bool wide_long_value(PyObject* value, __int128& out) {
    const LongDigits number = long_digits(value);
    if (number.count > WIDE_DIGITS) {
        return false;
    }
    unsigned __int128 magnitude = 0;
    for (size_t i = number.count; i-- > 0;) {
        magnitude = (magnitude << PyLong_SHIFT) | number.digits[i];
    }
    out = number.negative ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
    return true;
}

// The UTF-8 form a non-ASCII str keeps once it has been asked for, read
// without a call; null while it has none. The field is public up to 3.13.
inline const char* cached_utf8(PyObject* text, Py_ssize_t& length) {
#if PY_VERSION_HEX < 0x030E0000
    auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(text);
    length = compact->utf8_length;
    return compact->utf8;
#else
    (void)text;
    (void)length;
    return nullptr;
#endif
}

// The next live entry of a dict from `pos` on, as PyDict_Next gives it,
// read from a combined table without a call; a split table goes through
// PyDict_Next. The table is read afresh on every step, so a dict that Python
// code resized between steps is walked as PyDict_Next would walk it.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
struct DictKeys {  // the interpreter's own layout of a dict's table
    Py_ssize_t refcount;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t num_entries;
    char indices[];
};
struct GeneralEntry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};
struct TextEntry {
    PyObject* key;
    PyObject* value;
};
constexpr uint8_t GENERAL_KEYS = 0;

template <typename Entry>
inline bool next_entry_of(const Entry* entries, Py_ssize_t count, Py_ssize_t& pos, PyObject*& key,
                          PyObject*& value) {
    Py_ssize_t i = pos;
    while (i < count && !entries[i].value) {
        ++i;
    }
    if (i >= count) {
        return false;
    }
    pos = i + 1;
    key = entries[i].key;
    value = entries[i].value;
    return true;
}

inline bool dict_next(PyObject* dict, Py_ssize_t& pos, PyObject*& key, PyObject*& value) {
    auto* object = reinterpret_cast<PyDictObject*>(dict);
    if (object->ma_values || pos < 0) {
        return PyDict_Next(dict, &pos, &key, &value);
    }
    const auto* keys = reinterpret_cast<const DictKeys*>(object->ma_keys);
    const char* entries = keys->indices + (size_t{1} << keys->log2_index_bytes);
    return keys->kind == GENERAL_KEYS
               ? next_entry_of(reinterpret_cast<const GeneralEntry*>(entries), keys->num_entries, pos, key, value)
               : next_entry_of(reinterpret_cast<const TextEntry*>(entries), keys->num_entries, pos, key, value);
}
#else
inline bool dict_next(PyObject* dict, Py_ssize_t& pos, PyObject*& key, PyObject*& value) {
    return PyDict_Next(dict, &pos, &key, &value);
}
#endif

// The slots of an exact set or frozenset, read in place in the order its
// iterator visits them: the table and its number of slots. False where the
// layout is not public (the caller then iterates).
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#if PY_VERSION_HEX >= 0x030D0000
extern "C" {
PyAPI_DATA(PyObject*) _PySet_Dummy;  // exported, declared in an internal header since 3.13
}
#endif

inline bool set_table(PyObject* set, const setentry*& slots, Py_ssize_t& count) {
    auto* object = reinterpret_cast<PySetObject*>(set);
    slots = object->table;
    count = object->mask + 1;
    return true;
}

// A slot that holds a member: neither empty nor left by a removed one.
inline bool set_slot_used(const setentry& slot) { return slot.key != nullptr && slot.key != _PySet_Dummy; }
#else
inline bool set_table(PyObject*, const setentry*&, Py_ssize_t&) { return false; }
inline bool set_slot_used(const setentry&) { return false; }
#endif

// Enters one level of C recursion; false with a RecursionError set. Before
// 3.12 the interpreter's own check follows sys.setrecursionlimit(), which a
// program may raise past what the C stack holds, and hostile nesting would
// then overflow the stack: the fixed bound of 3.12 is kept there as well.
#if PY_VERSION_HEX < 0x030C0000
inline constexpr int C_RECURSION_LIMIT = 1500;
inline thread_local int c_recursion_depth = 0;
#endif

inline bool enter_recursive_call(const char* where) {
#if PY_VERSION_HEX < 0x030C0000
    if (c_recursion_depth >= C_RECURSION_LIMIT) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    if (Py_EnterRecursiveCall(where) != 0) {
        return false;
    }
    ++c_recursion_depth;
    return true;
#else
    return Py_EnterRecursiveCall(where) == 0;
#endif
}

inline void leave_recursive_call() {
#if PY_VERSION_HEX < 0x030C0000
    --c_recursion_depth;
#endif
    Py_LeaveRecursiveCall();
}

// The tzinfo of a datetime or time (None when naive), borrowed; the accessor
// macros appeared in 3.10.
inline PyObject* datetime_tzinfo(PyObject* value) {
#if PY_VERSION_HEX >= 0x030A0000
    return PyDateTime_DATE_GET_TZINFO(value);
#else
    auto* datetime = reinterpret_cast<PyDateTime_DateTime*>(value);
    return datetime->hastzinfo ? datetime->tzinfo : Py_None;
#endif
}

inline PyObject* time_tzinfo(PyObject* value) {
#if PY_VERSION_HEX >= 0x030A0000
    return PyDateTime_TIME_GET_TZINFO(value);
#else
    auto* time = reinterpret_cast<PyDateTime_Time*>(value);
    return time->hastzinfo ? time->tzinfo : Py_None;
#endif
}

}  // namespace compat
