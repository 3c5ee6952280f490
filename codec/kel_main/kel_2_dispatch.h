// Protocol-2 dispatch: the encoder's choice of family by type, the
// decoder's by code byte.
// A part of kel_2.cpp, included by it alone, after the class registry and
// the headers before it in that file's order.
#pragma once

namespace {

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
        return from_tuple_subclass(vd, value);
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

// ---------------------------------------------------------------------------
// Protocol-2 decoder dispatch
// ---------------------------------------------------------------------------


namespace kel2 {

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

// A word-sized int of `length` value bytes after `header` bytes of code and
// count. Such ints are the commonest container members; reading them here,
// without a call per member, keeps large lists cheap to decode.
inline PyObject* to_word_int(ByteData& bd, unsigned header, unsigned length) {
    if (!ensure_offset(bd, header + length)) {
        return nullptr;
    }
    const int64_t v = signed_le_value(bd, bd.bytes + bd.offset + header, length);
    bd.offset += header + length;
    return PyLong_FromLongLong(v);
}

// An int of 9 to 16 value bytes after its code and count byte, read as a
// 128-bit value.
PyObject* to_wide_int(ByteData& bd, unsigned length) {
    if (!ensure_offset(bd, 2 + length)) {
        return nullptr;
    }
    const unsigned char* value = bd.bytes + bd.offset + 2;
    unsigned char raw[16];
    std::memset(raw, value[length - 1] & 0x80 ? 0xFF : 0, sizeof raw);  // the sign, extended
    std::memcpy(raw, value, length);
    __int128 v;
    std::memcpy(&v, raw, sizeof v);
    bd.offset += 2 + length;
    if (v >= INT64_MIN && v <= INT64_MAX) {
        return PyLong_FromLongLong(static_cast<long long>(v));  // a value written wider than it needs
    }
    return compat::long_from_wide(v);
}

// An int whose count takes one byte: up to eight value bytes it is read as
// the five-byte forms are, up to sixteen as a 128-bit value, a longer or
// empty one by the general reader.
inline PyObject* to_int_with_count_byte(ByteData& bd) {
    if (!ensure_offset(bd, 2)) {
        return nullptr;
    }
    const unsigned length = bd.bytes[bd.offset + 1];
    if (length - 1u < 8u) {
        return to_word_int(bd, 2, length);
    }
    if (length - 9u < 8u) {
        return to_wide_int(bd, length);
    }
    return to_counted_int(bd, 10);
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
            return to_word_int(bd, 1, code - 4);
        case 10:
            return to_int_with_count_byte(bd);
        case 11:
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

// A value that nothing hashes or hands to Python code before the decoding
// ends: the value itself, and the members of lists and tuples and values of
// dicts within it. Its text, bytes and bytearray payloads may wait for the end of
// the decoding (PendingFills); a dict's keys, a set's members and what
// makes any other object are decoded as usual.
PyObject* to_unseen_value(ByteData& bd) {
    if (bd.offset >= bd.max_offset) {
        return to_any_value(bd);  // for its error
    }
    const unsigned code = bd.bytes[bd.offset];
    const FamilyEntry entry = FAMILIES[code];
    const bool text = entry.family == Family::Str;
    const bool payload = text || entry.family == Family::Bytes || entry.family == Family::ByteArray;
    const bool container =
        entry.family == Family::List || entry.family == Family::Tuple || entry.family == Family::Dict;
    if (code == entry.base || !(payload || container)) {
        return to_any_value(bd);
    }
    uint64_t width;
    if (payload) {
        if (!size_width(bd, code - entry.base, width)) {
            return nullptr;
        }
        return text ? to_unseen_str(bd, width) : to_unseen_bytes(bd, width, entry.family == Family::ByteArray);
    }
    RecursionGuard guard;
    if (!guard.entered() || !size_width(bd, code - entry.base, width)) {
        return nullptr;
    }
    return to_sized_form(bd, entry.family, width, to_unseen_value);
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
