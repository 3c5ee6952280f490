// Protocol-2 named tuples, written and read.
// A part of kel_2.cpp, included by it alone, after the class registry and
// the headers before it in that file's order.
#pragma once

namespace {

// ---------------------------------------------------------------------------
// Named-tuple encoder
// ---------------------------------------------------------------------------

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

}  // namespace

// ---------------------------------------------------------------------------
// Named-tuple readers
// ---------------------------------------------------------------------------

namespace kel2 {

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

}  // namespace kel2
