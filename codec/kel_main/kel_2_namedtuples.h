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

// hasattr(value, "_fields"), any failure of the lookup counting as no.
bool has_fields(PyObject* value) {
    PyObject* name = method_name(fields_name, "_fields");
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyObject_HasAttr(value, name);
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

// What is read of a named tuple's class for every value written (`_fields`
// and the class's name), kept with the bytes they encode to. Kept for a
// class while its version tag (renewed by any assignment to the class or to
// a base) stays the same, and only for a class whose instances take
// `_fields` from the class itself, with no code of their own or of a
// metaclass in the lookups. The class is never held: it is compared by
// address and tag, and its `_fields` by identity, since some interpreters
// hand tags out afresh after the type cache is cleared and a new class may
// take a dead one's address.
struct NamedTupleShape {
    PyTypeObject* type;
    unsigned int version;
    PyObject* fields;
    // Bytes objects: what comes before each field's value (shape_piece).
    PyObject* pieces;
};

// A few classes, so that named tuples nested in one another keep theirs.
constexpr size_t SHAPE_SLOTS = 8;
NamedTupleShape namedtuple_shapes[SHAPE_SLOTS];

NamedTupleShape& shape_slot(PyTypeObject* type) {
    return namedtuple_shapes[(reinterpret_cast<uintptr_t>(type) >> 4) % SHAPE_SLOTS];
}

bool shape_is_current(const NamedTupleShape& shape, PyTypeObject* type) {
    return shape.type == type && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
           type->tp_version_tag == shape.version && _PyType_Lookup(type, fields_name) == shape.fields;
}

// Whether instances of `type` may carry a dict of their own.
bool has_instance_dict(PyTypeObject* type) {
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
        return true;
    }
#endif
    return type->tp_dictoffset != 0;
}

bool shape_can_be_kept(PyTypeObject* type, PyObject* fields) {
    if (type->tp_getattro != PyObject_GenericGetAttr || has_instance_dict(type) || Py_TYPE(type) != &PyType_Type ||
        !PyTuple_CheckExact(fields)) {
        return false;
    }
    return _PyType_Lookup(type, fields_name) == fields && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
}

void forget_shape(NamedTupleShape& shape) {
    Py_CLEAR(shape.fields);
    Py_CLEAR(shape.pieces);
    shape.type = nullptr;
}

// The bytes that come before the value of field `index`, as a bytes object:
// the count, the class name and the first field's name for index 0 (the
// count and the class name alone for a class without fields), the field's
// name for any other. Null when they cannot be encoded (the general path
// meets the same failure and reports it) or outgrow the stack buffer.
PyObject* shape_piece(PyObject* fields, PyObject* name, Py_ssize_t index) {
    ValueData scratch;
    if (!init_vd(scratch, Py_None)) {
        return nullptr;
    }
    StatusCode s = SC_SUCCESS;
    if (index == 0) {
        s = write_E12D(scratch, static_cast<uint64_t>(PyTuple_GET_SIZE(fields)), nullptr, 68);
        s = s == SC_SUCCESS ? from_string(scratch, name) : s;
    }
    if (s == SC_SUCCESS && index < PyTuple_GET_SIZE(fields)) {
        s = from_string(scratch, PyTuple_GET_ITEM(fields, index));
    }
    if (s != SC_SUCCESS || scratch.owner) {
        Py_XDECREF(scratch.owner);
        return nullptr;
    }
    // After the marker that init_vd wrote.
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(scratch.bytes) + 1, scratch.offset - 1);
}

// All the pieces of a shape, one per field (one for a class without
// fields), or null with no exception.
PyObject* shape_pieces(PyObject* fields, PyObject* name) {
    const Py_ssize_t count = std::max<Py_ssize_t>(PyTuple_GET_SIZE(fields), 1);
    PyRef pieces(PyTuple_New(count));
    for (Py_ssize_t i = 0; pieces && i < count; ++i) {
        PyObject* piece = shape_piece(fields, name, i);
        if (!piece) {
            pieces = PyRef();
            break;
        }
        PyTuple_SET_ITEM(pieces.get(), i, piece);
    }
    PyErr_Clear();  // a shape that cannot be kept is written the general way
    return pieces.release();
}

void keep_shape(PyTypeObject* type, PyObject* fields, PyObject* pieces) {
    NamedTupleShape& shape = shape_slot(type);
    forget_shape(shape);
    Py_INCREF(fields);
    Py_INCREF(pieces);
    shape = {type, type->tp_version_tag, fields, pieces};
}

// The class's `_fields`, checked against `value`, and either the pieces of
// its shape, kept from now on when it can be, or the class's name.
StatusCode namedtuple_shape(PyObject* value, PyRef& fields, PyRef& pieces, PyRef& name) {
    PyTypeObject* type = Py_TYPE(value);
    fields = PyRef(get_attribute(value, fields_name, "_fields"));
    if (!fields) {
        return attribute_failure();
    }
    if (!valid_fields(fields.get(), value)) {
        return SC_INCORRECT;
    }
    name = PyRef(get_attribute(reinterpret_cast<PyObject*>(type), dunder_name_name, "__name__"));
    if (!name) {
        return attribute_failure();
    }
    if (shape_can_be_kept(type, fields.get())) {
        pieces = PyRef(shape_pieces(fields.get(), name.get()));
        if (pieces) {
            keep_shape(type, fields.get(), pieces.get());
        }
    }
    return SC_SUCCESS;
}

// Named tuples open no nesting level, so only the interpreter's recursion
// limit keeps a chain of them from exhausting the C stack. Only a member
// that goes through the dispatcher can recurse; the others skip the guard.
StatusCode from_guarded_member(ValueData& vd, PyObject* item) {
    kel::RecursionGuard guard(" while encoding a named tuple");
    return guard.entered() ? from_any_value(vd, item) : SC_EXCEPTION;
}

StatusCode write_field_value(ValueData& vd, PyObject* value, PyObject* fields, Py_ssize_t i) {
    PyObject* item = PyTuple_GET_ITEM(value, i);
    StatusCode s;
    if (!from_direct_member(vd, item, s)) {
        s = from_guarded_member(vd, item);
    }
    if (s != SC_SUCCESS) {
        vd.failure.at_field(PyTuple_GET_ITEM(fields, i));
    }
    return s;
}

StatusCode write_piece(ValueData& vd, PyObject* piece) {
    const Py_ssize_t size = PyBytes_GET_SIZE(piece);
    if (StatusCode s = auto_resize_vd(vd, size); s != SC_SUCCESS) {
        return s;
    }
    write_raw(vd, PyBytes_AS_STRING(piece), static_cast<size_t>(size));
    return SC_SUCCESS;
}

StatusCode write_namedtuple_from_pieces(ValueData& vd, PyObject* value, PyObject* fields, PyObject* pieces) {
    if (PyTuple_GET_SIZE(fields) == 0) {
        return write_piece(vd, PyTuple_GET_ITEM(pieces, 0));
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        if (StatusCode s = write_piece(vd, PyTuple_GET_ITEM(pieces, i)); s != SC_SUCCESS) {
            return s;
        }
        if (StatusCode s = write_field_value(vd, value, fields, i); s != SC_SUCCESS) {
            return s;
        }
    }
    return SC_SUCCESS;
}

StatusCode write_namedtuple(ValueData& vd, PyObject* value, PyObject* fields, PyObject* name) {
    const Py_ssize_t num_items = PyTuple_GET_SIZE(fields);
    if (StatusCode s = write_E12D(vd, static_cast<uint64_t>(num_items), nullptr, 68); s != SC_SUCCESS) {
        return s;
    }
    if (StatusCode s = from_string(vd, name); s != SC_SUCCESS) {
        return s;
    }
    for (Py_ssize_t i = 0; i < num_items; ++i) {
        if (StatusCode s = from_string(vd, PyTuple_GET_ITEM(fields, i)); s != SC_SUCCESS) {
            return s;
        }
        if (StatusCode s = write_field_value(vd, value, fields, i); s != SC_SUCCESS) {
            return s;
        }
    }
    return SC_SUCCESS;
}

// A named tuple of a class whose shape is kept.
StatusCode from_kept_namedtuple(ValueData& vd, PyObject* value, const NamedTupleShape& shape) {
    // Held here: a member's encoding may run code that renews the kept shape.
    PyRef fields = PyRef::borrow(shape.fields);
    PyRef pieces = PyRef::borrow(shape.pieces);
    if (PyTuple_GET_SIZE(fields.get()) > PyTuple_GET_SIZE(value)) {
        return SC_INCORRECT;
    }
    return write_namedtuple_from_pieces(vd, value, fields.get(), pieces.get());
}

StatusCode from_namedtuple(ValueData& vd, PyObject* value) {
    PyRef fields;
    PyRef pieces;
    PyRef name;
    if (StatusCode s = namedtuple_shape(value, fields, pieces, name); s != SC_SUCCESS) {
        return s;
    }
    return pieces ? write_namedtuple_from_pieces(vd, value, fields.get(), pieces.get())
                  : write_namedtuple(vd, value, fields.get(), name.get());
}

// A tuple subclass: a named tuple when its class's shape is kept or it has
// `_fields`.
StatusCode from_tuple_subclass(ValueData& vd, PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (const NamedTupleShape& shape = shape_slot(type); shape_is_current(shape, type)) {
        return from_kept_namedtuple(vd, value, shape);
    }
    return has_fields(value) ? from_namedtuple(vd, value) : SC_UNSUPPORTED;
}

}  // namespace

// ---------------------------------------------------------------------------
// Named-tuple readers
// ---------------------------------------------------------------------------

namespace kel2 {

void forget_namedtuple_shapes() {
    for (NamedTupleShape& shape : namedtuple_shapes) {
        forget_shape(shape);
    }
}

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
