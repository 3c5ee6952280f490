// Protocol-2 library classes: dates and times, UUIDs, Decimals, memoryviews,
// ranges and paths, written and read.
// A part of kel_2.cpp, included by it alone, after the class registry and
// the headers before it in that file's order.
#pragma once

namespace {

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
    return write_payload_of(vd, static_cast<uint64_t>(buffer.view().len), buffer.view().buf, 58, value, true);
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

}  // namespace

namespace kel {

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

namespace kel2 {

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

}  // namespace kel2
