// Protocol-2 containers: lists, tuples, sets, frozensets and deques,
// written and read.
// A part of kel_2.cpp, included by it alone, after the class registry and
// the headers before it in that file's order.
#pragma once

namespace {

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
// their container need not hold them meanwhile. True with `status` the
// outcome for such a member, its type looked at once; false, nothing
// written, for any other.
inline bool write_if_plain(ValueData& vd, PyObject* item, StatusCode& status) {
    PyTypeObject* type = Py_TYPE(item);
    long long v;
    if (type == &PyLong_Type) {
        status = compat::word_long_value(item, v) ? from_small_integer(vd, v) : from_integer(vd, item);
    } else if (type == &PyUnicode_Type) {
        status = write_text(vd, item, 0);
    } else if (type == &PyFloat_Type) {
        status = from_float(vd, item);
    } else if (type == &PyBool_Type) {
        status = from_static_value(vd, item == Py_True ? 13 : 14);
    } else if (item == Py_None) {
        status = from_static_value(vd, 16);
    } else {
        return false;
    }
    if (status != SC_SUCCESS) {
        vd.failure.refused(item);
    }
    return true;
}

bool write_iso_directly(ValueData& vd, PyObject* value, unsigned char code, StatusCode& status);

// Members written without the dispatcher and without Python code: the plain
// ones, and exact dates, times and datetimes that are naive or in UTC. True
// with `status` the outcome; false, nothing written, for any other member.
inline bool from_direct_member(ValueData& vd, PyObject* item, StatusCode& status) {
    if (write_if_plain(vd, item, status)) {
        return true;
    }
    PyTypeObject* type = Py_TYPE(item);
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
        StatusCode s;
        PyObject* item = PyTuple_GET_ITEM(value, i);
        if (Py_TYPE(item) == &PyLong_Type) {
            i = write_word_ints(vd, &PyTuple_GET_ITEM(value, 0), i, num_items, s);
            if (s != SC_SUCCESS) {
                return s;
            }
            if (i == num_items) {
                break;
            }
            item = PyTuple_GET_ITEM(value, i);
        }
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

// Writes the members of an exact set or frozenset straight from its table,
// in its iterator's order, while they are direct members (whose encoding
// runs no Python code, so the table stays as it is): word-sized ints a block
// of slots at a time with one room check per block, like a list's runs, any
// other one on its own. Stops at the first member of another kind. The
// number of members written; `status` the outcome.
Py_ssize_t write_direct_set_members(ValueData& vd, PyObject* set, StatusCode& status) {
    constexpr Py_ssize_t BLOCK = 64;
    const setentry* slots;
    Py_ssize_t num_slots;
    Py_ssize_t written = 0;
    status = SC_SUCCESS;
    if (!compat::set_table(set, slots, num_slots)) {
        return written;
    }
    for (Py_ssize_t i = 0; i < num_slots;) {
        const Py_ssize_t block_end = std::min(i + BLOCK, num_slots);
        if ((status = auto_resize_vd(vd, (block_end - i) * WORD_INT_ROOM)) != SC_SUCCESS) {
            return written;
        }
        unsigned char* const start = vd.bytes;
        unsigned char* out = start + vd.offset;
        long long v;
        for (; i < block_end; ++i) {
            if (!compat::set_slot_used(slots[i])) {
                continue;
            }
            PyObject* member = slots[i].key;
            if (Py_TYPE(member) != &PyLong_Type || !compat::word_long_value(member, v)) {
                break;
            }
            out = put_word_int_at(out, v);
            ++written;
        }
        vd.offset = out - start;
        if (i == block_end) {
            continue;
        }
        if (!from_direct_member(vd, slots[i].key, status) || status != SC_SUCCESS) {
            return written;
        }
        ++written;
        ++i;
    }
    return written;
}

// The item pass must yield exactly the counted items; the first `written`
// of them are already written.
StatusCode write_iterated_items(ValueData& vd, PyObject* iter, Py_ssize_t written, Py_ssize_t num_items) {
    for (Py_ssize_t i = 0; i < written; ++i) {
        PyRef item(PyIter_Next(iter));
        if (!item) {
            return PyErr_Occurred() ? SC_EXCEPTION : changed_size_error();
        }
    }
    for (Py_ssize_t i = written; i < num_items; ++i) {
        PyRef item(PyIter_Next(iter));
        if (!item) {
            return PyErr_Occurred() ? SC_EXCEPTION : changed_size_error();
        }
        StatusCode s;
        if (!from_direct_member(vd, item.get(), s)) {
            s = from_any_value(vd, item.get());
        }
        if (s != SC_SUCCESS) {
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
    Py_ssize_t written = 0;
    if (PyAnySet_CheckExact(value)) {
        StatusCode s;
        written = write_direct_set_members(vd, value, s);
        if (s != SC_SUCCESS) {
            vd.failure.at_index(written);
            return s;
        }
        if (written == num_items) {
            close_nest(vd);
            return SC_SUCCESS;
        }
    }
    PyRef iter(PyObject_GetIter(value));
    if (!iter) {
        PyErr_SetString(PyExc_RuntimeError, "Could not get an iterator of a set type.");
        return SC_EXCEPTION;
    }
    if (StatusCode s = write_iterated_items(vd, iter.get(), written, num_items); s != SC_SUCCESS) {
        return s;
    }
    close_nest(vd);
    return SC_SUCCESS;
}

}  // namespace

namespace kel {

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

// Adds the members of `list` to `set` in order, straight from the list
// rather than through an iterator; the first unhashable one fails, as the
// constructor would fail on it.
static bool add_members(PyObject* set, PyObject* list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (PySet_Add(set, PyList_GET_ITEM(list, i)) < 0) {
            return false;
        }
    }
    return true;
}

// Members whose hash can neither fail nor run Python code: adding them at
// once is indistinguishable from adding them after the last member decoded.
static bool hashes_quietly(PyObject* item) {
    PyTypeObject* type = Py_TYPE(item);
    return type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBytes_Type ||
           type == &PyBool_Type || item == Py_None;
}

static PyObject* new_set(IterableKind kind) {
    return kind == IterableKind::Set ? PySet_New(nullptr) : PyFrozenSet_New(nullptr);
}

// Decodes `count` members into a new set or frozenset. Members go into the
// set as they arrive, with no list of them all, until one whose hash may
// fail; that one and all after it are held in order and added once every
// member has decoded, so that a decoding fault still wins over an
// unhashable member before it. The set is grown by the members present, so
// a count that is not trusted allocates for nothing.
static PyObject* decode_set(ByteData& bd, uint64_t count, IterableKind kind, MemberDecoder member) {
    PyRef set(new_set(kind));
    if (!set) {
        return nullptr;
    }
    PyRef held;
    for (uint64_t i = 0; i < count; ++i) {
        PyRef item(member(bd));
        if (!item) {
            return nullptr;
        }
        if (!held && hashes_quietly(item.get())) {
            if (PySet_Add(set.get(), item.get()) < 0) {
                return nullptr;
            }
            continue;
        }
        if (!held) {
            held.reset(PyList_New(0));
        }
        if (!held || PyList_Append(held.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return !held || add_members(set.get(), held.get()) ? set.release() : nullptr;
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
    return kind == IterableKind::Deque ? PyObject_CallNoArgs(deque_cl) : new_set(kind);
}

PyObject* to_iterable_gen(ByteData& bd, uint64_t size_bytes_length, IterableKind kind, MemberDecoder member) {
    uint64_t count;
    if (!read_count(bd, size_bytes_length, count)) {
        return nullptr;
    }
    if (kind == IterableKind::Deque) {
        return decode_deque(bd, count, member);
    }
    return decode_set(bd, count, kind, member);
}

}  // namespace kel
