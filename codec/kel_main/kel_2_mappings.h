// Protocol-2 mappings: dicts, Counters, OrderedDicts and ChainMaps, written
// and read, and the cache of short dict keys.
// A part of kel_2.cpp, included by it alone, after the class registry and
// the headers before it in that file's order.
#pragma once

namespace {

// ---------------------------------------------------------------------------
// Mapping encoders
// ---------------------------------------------------------------------------

using PairWriter = StatusCode (*)(ValueData& vd, PyObject* key, PyObject* value);

inline StatusCode from_member(ValueData& vd, PyObject* item) {
    StatusCode s;
    return write_if_plain(vd, item, s) ? s : from_any_value(vd, item);
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

// A Counter's count is written as an int item even when it is a bool. Key
// and count are held, since a key's encoding can run Python code.
StatusCode write_counter_pair(ValueData& vd, PyObject* key, PyObject* count) {
    PyRef held_key = PyRef::borrow(key);
    PyRef held_count = PyRef::borrow(count);
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

// A pair of a dict whose key and value are looked at once each: plain ones
// written on the spot, others held while written, since encoding them can
// run Python code that mutates the dict.
StatusCode write_dict_pair(ValueData& vd, PyObject* key, PyObject* value) {
    StatusCode s;
    if (!write_if_plain(vd, key, s)) {
        PyRef held_key = PyRef::borrow(key);
        PyRef held_value = PyRef::borrow(value);
        return write_plain_pair(vd, key, value);
    }
    if (s != SC_SUCCESS) {
        vd.failure.at_key_itself();
        return s;
    }
    if (write_if_plain(vd, value, s)) {
        if (s != SC_SUCCESS) {
            vd.failure.at_key(key);
        }
        return s;
    }
    PyRef held_key = PyRef::borrow(key);
    PyRef held_value = PyRef::borrow(value);
    if (s = from_any_value(vd, value); s != SC_SUCCESS) {
        vd.failure.at_key(key);
    }
    return s;
}

// Pairs in the dict's own listing, whatever order or `items` a subclass
// defines; `write_pair` holds what it encodes with Python code.
template <PairWriter write_pair>
StatusCode write_dict_pairs(ValueData& vd, PyObject* dict) {
    const Py_ssize_t num_pairs = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    Py_ssize_t written = 0;
    PyObject* key;
    PyObject* value;
    while (compat::dict_next(dict, pos, key, value)) {
        if (written == num_pairs || PyDict_GET_SIZE(dict) != num_pairs) {
            return changed_size_error();
        }
        if (StatusCode s = write_pair(vd, key, value); s != SC_SUCCESS) {
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
    return write_mapping<write_dict_pair>(vd, value, empty);
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

}  // namespace

// ---------------------------------------------------------------------------
// Mapping readers
// ---------------------------------------------------------------------------

namespace kel {

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

}  // namespace kel

namespace kel2 {

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
        if (available - 8 * i >= 8) {
            std::memcpy(&word, text + 8 * i, 8);  // one load, as the width is fixed
        } else {
            std::memcpy(&word, text + 8 * i, available - 8 * i);
        }
        const uint64_t left = size - 8 * i;
        if (left < 8) {
            word &= (uint64_t{1} << (8 * left)) - 1;
        }
        words[i] = word;
    }
}

// Whether the first `count` words agree; the sizes agree already (the hash
// holds the size), and the words past them are zero in both.
inline bool same_words(const uint64_t* kept, const uint64_t* words, uint64_t count) {
    uint64_t differ = 0;
    for (uint64_t i = 0; i < count; ++i) {
        differ |= kept[i] ^ words[i];
    }
    return differ == 0;
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
    if (!cached || entry.hash != hash || !same_words(entry.words, words, (size + 7) / 8)) {
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

}  // namespace kel2
