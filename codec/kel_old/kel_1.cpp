// Protocol-1 decoder: reads values written under the older protocol. Its
// payloads are laid out as in protocol 2, so it calls the shared readers; what
// is its own is the code table, the integer forms and the size forms.
#include "kel_2.h"
#include "kel_codec.h"

void kel1_init() {
    PyDateTimeAPI = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    // kel2_init reports a missing capsule once the class lookups have run.
    PyErr_Clear();
}

bool kel1_datetime_api_ready() { return PyDateTimeAPI != nullptr; }

namespace kel1 {

using namespace kel;

PyObject* to_any_value(ByteData& bd);

namespace {

constexpr FamilyEntry family_of(unsigned code) {
    struct Range {
        unsigned char base;
        Family family;
    };
    constexpr Range ranges[] = {
        {0, Family::Str},   {17, Family::Bytes}, {21, Family::ByteArray}, {25, Family::List},
        {29, Family::Set},  {33, Family::Tuple}, {37, Family::Dict},     {41, Family::FrozenSet},
        {50, Family::MemoryView},
    };
    for (const Range& r : ranges) {
        if (code >= r.base && code < r.base + 4u) {
            return {r.family, r.base};
        }
    }
    // Decimal has no empty form: its three codes follow memoryview's four.
    if (code >= 54 && code <= 56) {
        return {Family::Decimal, 53};
    }
    return {Family::None, 0};
}

// Width of the size field of form `form` (1 one-byte, 2 two-byte, 3 dynamic).
// Unlike protocol 2, a dynamic count byte of 0 is valid: the size reader then
// reads no size bytes and yields size 0.
bool size_width(ByteData& bd, unsigned form, uint64_t& width) {
    if (form < 3) {
        width = form;
        return true;
    }
    if (!ensure_offset(bd, 2)) {
        return false;
    }
    bd.offset += 1;
    width = bd.bytes[bd.offset];
    return true;
}

// Codes 9 and 10: the number of value bytes in a 1- or 2-byte field, then the
// value bytes; a count of 0 is the integer 0.
PyObject* to_counted_int(ByteData& bd, uint64_t count_width) {
    if (!ensure_offset(bd, 1 + count_width)) {
        return nullptr;
    }
    const uint64_t length = bytes_to_size_t(bd.bytes + bd.offset + 1, count_width);
    // to_int_gen starts on the byte just before the value bytes.
    bd.offset += count_width;
    return to_int_gen(bd, length);
}

}  // namespace

PyObject* to_any_value(ByteData& bd) {
    if (!ensure_offset(bd, 1)) {
        return nullptr;
    }
    const unsigned code = bd.bytes[bd.offset];
    switch (code) {
        case 4: case 5: case 6: case 7: case 8:
            return to_int_gen(bd, code - 3);
        case 9: return to_counted_int(bd, 1);
        case 10: return to_counted_int(bd, 2);
        case 11: return to_float_s(bd);
        case 12: return to_bool_gen(bd, true);
        case 13: return to_bool_gen(bd, false);
        case 14: return to_complex_s(bd);
        case 15: return to_none_s(bd);
        case 16: return to_ellipsis_s(bd);
        case 45: return to_datetime_gen(bd, datetime_dt);
        case 46: return to_timedelta_s(bd, PyDateTimeAPI);
        case 47: return to_datetime_gen(bd, datetime_d);
        case 48: return to_datetime_gen(bd, datetime_t);
        case 49: return to_uuid_s(bd);
        default:
            break;
    }
    const FamilyEntry entry = family_of(code);
    if (entry.family == Family::None) {
        set_invalid_code_error(code);
        return nullptr;
    }
    RecursionGuard guard;
    if (!guard.entered()) {
        return nullptr;
    }
    return to_family_item(bd, entry, code, size_width, to_any_value);
}

}  // namespace kel1

// Decodes in place: the caller keeps the range unchanged until this returns.
PyObject* to_value_prot1_range(const unsigned char* data, size_t length) {
    if (length == 0 || data[0] != kel::PROTOCOL_1) {
        kel::set_invalid_marker_error();
        return nullptr;
    }
    kel::ByteData bd(data, length);
    return kel1::to_any_value(bd);
}

PyObject* to_value_prot1(PyObject* py_bytes) {
    if (!PyBytes_Check(py_bytes)) {
        PyErr_SetString(PyExc_TypeError, "Expected a bytes object to decode.");
        return nullptr;
    }
    return to_value_prot1_range(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(py_bytes)),
                                static_cast<size_t>(PyBytes_GET_SIZE(py_bytes)));
}
