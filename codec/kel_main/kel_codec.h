// Internals shared by the protocol-2 codec and the protocol-1 decoder: the
// read cursor, its bounds checks, and the payload readers whose layout the
// two protocols have in common. The readers are defined in kel_2.cpp.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "py_compat.h"

namespace kel {

inline constexpr unsigned char PROTOCOL_2 = 253;
inline constexpr unsigned char PROTOCOL_1 = 254;

struct TextCache;
struct ByteData;
struct PendingFills;

// Decodes the item at the cursor; each protocol has its own dispatcher and
// hands it to the container readers for their members.
using MemberDecoder = PyObject* (*)(ByteData& bd);

// Read cursor over one encoded value (the marker byte at 0 is read by the
// caller). `offset` <= `max_offset` always holds.
struct ByteData {
    ByteData(const unsigned char* data, uint64_t length, MemberDecoder key_reader = nullptr)
        : offset(1), max_offset(length), bytes(data), dict_key(key_reader), presize_words(length / 2) {}

    uint64_t offset;
    uint64_t max_offset;
    const unsigned char* bytes;
    // Reads dict keys where a protocol has a reader of its own for them.
    MemberDecoder dict_key;
    // Pointer-sized words that containers may still allocate for members not
    // yet read: half a word per input byte over all nesting levels, so that
    // hostile counts nested level in level cannot claim more between them
    // (a valid input needs about one word per member; beyond the allowance
    // its containers grow as members arrive).
    uint64_t presize_words;
    // The input stays mapped and unchanged while the GIL is let go (a locked
    // slot, a call's buffer, bytes held by the caller), so large copies out of
    // it let the GIL go.
    bool stable = false;
    // Where payloads of objects nobody can see before the decoding ends are
    // left to be copied at its end, all together; null when they are copied
    // as they come.
    PendingFills* fills = nullptr;
};

void set_offset_error();
void set_invalid_marker_error();
void set_invalid_code_error(unsigned code);

// True when `jump` more bytes from `offset` lie inside the input.
inline bool ensure_offset(ByteData& bd, uint64_t jump) {
    if (jump <= bd.max_offset - bd.offset) {
        return true;
    }
    set_offset_error();
    return false;
}

// Little-endian unsigned value of `length` bytes (at most 8).
inline uint64_t bytes_to_size_t(const unsigned char* bytes, uint64_t length) {
    uint64_t value = 0;
    for (uint64_t i = length; i > 0; --i) {
        value = (value << 8) | bytes[i - 1];
    }
    return value;
}

// The signed little-endian value of the 1 to 8 bytes at `value`, which lie
// inside the input. Where eight bytes can be read, one load and two shifts
// replace a loop whose length varies from member to member.
inline int64_t signed_le_value(const ByteData& bd, const unsigned char* value, uint64_t length) {
    const unsigned shift = static_cast<unsigned>(64 - 8 * length);
    uint64_t raw;
    if (static_cast<uint64_t>(bd.bytes + bd.max_offset - value) >= sizeof raw) {
        std::memcpy(&raw, value, sizeof raw);
    } else {
        raw = bytes_to_size_t(value, length);
    }
    // Sign-extend from the top bit of the last value byte.
    return static_cast<int64_t>(raw << shift) >> shift;
}

// Whether a container may allocate room for `count` members (each taking
// at least `member_bytes` of the input, and `words_per_member` words of
// memory) before reading them. A count the rest of the input cannot hold, or
// one beyond what is left of the decoding's allowance, is not trusted: the
// container then grows as its members arrive.
inline bool reserve_members(ByteData& bd, uint64_t count, uint64_t member_bytes, uint64_t words_per_member) {
    if (count > (bd.max_offset - bd.offset) / member_bytes) {
        return false;
    }
    if (count > bd.presize_words / words_per_member) {
        return false;
    }
    bd.presize_words -= count * words_per_member;
    return true;
}

// Containers recurse through the dispatchers; hostile nesting must end in a
// RecursionError, not a stack overflow.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where = " while decoding a value")
        : entered_(compat::enter_recursive_call(where)) {}
    ~RecursionGuard() {
        if (entered_) {
            compat::leave_recursive_call();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    bool entered() const { return entered_; }

private:
    bool entered_;
};

// Reads a `width`-byte size that follows the byte at the cursor and leaves the
// cursor on the first byte after it. A size wider than 8 bytes is accepted
// only when its extra high bytes are zero.
bool read_size(ByteData& bd, uint64_t width, uint64_t& size);

// Reads the size and checks that that many payload bytes follow; the cursor is
// left on the first payload byte.
bool read_payload_size(ByteData& bd, uint64_t width, uint64_t& size);

// Scalars. Each is entered with the cursor on the code byte (a `_gen` reader on
// the byte just before its size bytes) and leaves it after the item.
PyObject* to_str_e(ByteData& bd);
PyObject* to_str_gen(ByteData& bd, uint64_t size_bytes_length);
PyObject* to_int_gen(ByteData& bd, uint64_t length);
PyObject* to_float_s(ByteData& bd);
PyObject* to_complex_s(ByteData& bd);
PyObject* to_bool_gen(ByteData& bd, bool bool_value);
PyObject* to_none_s(ByteData& bd);
PyObject* to_ellipsis_s(ByteData& bd);
PyObject* to_bytes_e(ByteData& bd, int is_bytearray);
PyObject* to_bytes_gen(ByteData& bd, uint64_t size_bytes_length, int is_bytearray);

// Containers.
enum class IterableKind { Set, FrozenSet, Deque };
PyObject* to_list_e(ByteData& bd);
PyObject* to_list_gen(ByteData& bd, uint64_t size_bytes_length, MemberDecoder member);
PyObject* to_tuple_e(ByteData& bd);
PyObject* to_tuple_gen(ByteData& bd, uint64_t size_bytes_length, MemberDecoder member);
PyObject* to_iterable_e(ByteData& bd, IterableKind kind);
PyObject* to_iterable_gen(ByteData& bd, uint64_t size_bytes_length, IterableKind kind,
                          MemberDecoder member);
PyObject* to_dict_e(ByteData& bd);
PyObject* to_dict_gen(ByteData& bd, uint64_t size_bytes_length, MemberDecoder member);

// Library classes.
PyObject* to_datetime_gen(ByteData& bd, PyObject* method);
PyObject* to_timedelta_s(ByteData& bd, const PyDateTime_CAPI* api);
PyObject* to_uuid_s(ByteData& bd);
PyObject* to_memoryview_e(ByteData& bd);
PyObject* to_memoryview_gen(ByteData& bd, uint64_t size_bytes_length);
PyObject* to_decimal_gen(ByteData& bd, uint64_t size_bytes_length);

// Families that occupy consecutive codes from a base code (five in protocol
// 2, four in protocol 1): an empty form, then the sized forms.
enum class Family : unsigned char {
    None, Str, Bytes, ByteArray, List, Set, Tuple, Dict, FrozenSet, MemoryView, Decimal,
    NamedTuple, Deque, Counter, OrderedDict, ChainMap, Path, PurePath,
};

// The family of a code and the family's base code.
struct FamilyEntry {
    Family family;
    unsigned char base;
};

// Whether a family's members are decoded through the dispatcher again.
bool recurses(Family family);
// The empty form of a family, with the cursor on its code.
PyObject* to_empty_form(ByteData& bd, Family family);
// A sized form whose size is `width` bytes wide; members go to `member`.
PyObject* to_sized_form(ByteData& bd, Family family, uint64_t width, MemberDecoder member);

// Reads the width of a sized form's size field (`form` counts from 1 after
// the empty form); each protocol has its own rules for the dynamic forms.
using SizeWidthReader = bool (*)(ByteData& bd, unsigned form, uint64_t& width);

// The item of family `entry` whose code is at the cursor.
PyObject* to_family_item(ByteData& bd, FamilyEntry entry, unsigned code, SizeWidthReader size_width,
                         MemberDecoder member);

}  // namespace kel
