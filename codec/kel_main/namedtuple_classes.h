// Classes of decoded named tuples. Every decoded named tuple gets a class of
// its own; compiling a fresh collections.namedtuple for each one is what
// would cost the time, so the namespace the factory makes for a shape (type
// name and field names) is kept, and each new class is a bare subclass of
// tuple that takes that namespace.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kel_2.h"
#include "py_ref.h"

namespace nt_classes {

// Bounded, so that hostile input with ever new shapes cannot grow it.
inline constexpr Py_ssize_t CACHE_LIMIT = 256;

// (type name, field names) -> (interned type name, class namespace), least
// recently used first.
inline PyObject* shapes = nullptr;
inline PyObject* tuple_bases = nullptr;
inline PyObject* module_key = nullptr;
inline PyObject* defaults_key = nullptr;
inline PyObject* name_key = nullptr;
inline PyObject* qualname_key = nullptr;
// Special names in the factory's namespace that stand for no slot.
inline PyObject* plain_special_names = nullptr;
// The most recently used shape, compared by identity only: a run of values of
// one shape need not reorder the cache for each of them.
inline PyObject* newest = nullptr;

inline void clear() {
    for (PyObject** slot : {&shapes, &tuple_bases, &module_key, &defaults_key, &name_key, &qualname_key,
                            &plain_special_names}) {
        Py_CLEAR(*slot);
    }
    newest = nullptr;
}

// The instance slots (dealloc, traverse, clear) of a class that type()
// makes on tuple with empty __slots__, read off such a class once: the
// classes made here then free, traverse and change class exactly as the
// factory's do, an instance's `__class__` assignment included.
inline PyType_Slot instance_slots[4] = {};

inline bool learn_instance_slots() {
    PyRef probe(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){s:()}", "probe",
                                      reinterpret_cast<PyObject*>(&PyTuple_Type), "__slots__"));
    if (!probe) {
        return false;
    }
    const auto* made = reinterpret_cast<PyTypeObject*>(probe.get());
    instance_slots[0] = {Py_tp_dealloc, reinterpret_cast<void*>(made->tp_dealloc)};
    instance_slots[1] = {Py_tp_traverse, reinterpret_cast<void*>(made->tp_traverse)};
    instance_slots[2] = {Py_tp_clear, reinterpret_cast<void*>(made->tp_clear)};
    instance_slots[3] = {0, nullptr};
    return true;
}

inline bool ready() {
    if (!shapes) {
        shapes = PyDict_New();
        tuple_bases = PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyTuple_Type));
        module_key = PyUnicode_InternFromString("__module__");
        defaults_key = PyUnicode_InternFromString("_field_defaults");
        name_key = PyUnicode_InternFromString("__name__");
        qualname_key = PyUnicode_InternFromString("__qualname__");
        PyRef names(Py_BuildValue("(ssssss)", "__doc__", "__module__", "__slots__", "__match_args__",
                                  "__getnewargs__", "__replace__"));
        plain_special_names = names ? PyFrozenSet_New(names.get()) : nullptr;
    }
    if (!shapes || !tuple_bases || !module_key || !defaults_key || !name_key || !qualname_key ||
        !plain_special_names || (!instance_slots[0].slot && !learn_instance_slots())) {
        clear();
        return false;
    }
    return true;
}

// Only shapes named by exact texts are kept: the factory turns any other
// item into text with str(), whose outcome is left to it.
inline bool cacheable(PyObject* name, PyObject* fields) {
    if (!PyUnicode_CheckExact(name) || !PyTuple_CheckExact(fields)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(fields, i))) {
            return false;
        }
    }
    return true;
}

// (interned name, namespace) of a class the factory made, copied before
// anyone else can change the class.
inline PyRef shape_of(PyObject* cls) {
    PyRef class_dict(PyObject_GetAttrString(cls, "__dict__"));
    PyRef type_name(class_dict ? PyObject_GetAttr(cls, name_key) : nullptr);
    PyRef space(type_name ? PyDict_New() : nullptr);
    if (!space || PyDict_Merge(space.get(), class_dict.get(), 1) < 0) {
        return {};
    }
    return PyRef(PyTuple_Pack(2, type_name.get(), space.get()));
}

// Drops the least recently used shape once the cache is full.
inline bool make_room() {
    if (PyDict_GET_SIZE(shapes) < CACHE_LIMIT) {
        return true;
    }
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    if (!PyDict_Next(shapes, &pos, &key, &value)) {
        return true;
    }
    PyRef oldest = PyRef::borrow(key);
    return PyDict_DelItem(shapes, oldest.get()) == 0;
}

// The cached shape, moved to the most recently used end; null without an
// exception when the shape is not cached.
inline PyRef cached_shape(PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(shapes, key);
    if (!found) {
        return {};
    }
    PyRef held = PyRef::borrow(found);
    if (found != newest && (PyDict_DelItem(shapes, key) < 0 || PyDict_SetItem(shapes, key, held.get()) < 0)) {
        return {};
    }
    newest = found;
    return held;
}

// Keeps the namespace of a class the factory just made for the shape.
inline bool remember(PyObject* key, PyObject* cls) {
    PyRef made = shape_of(cls);
    if (!made || !make_room() || PyDict_SetItem(shapes, key, made.get()) < 0) {
        return false;
    }
    newest = made.get();
    return true;
}

// The factory names a class's module after the code that called it: the
// caller of the decoding here.
inline PyRef caller_module() {
    PyObject* globals = PyEval_GetGlobals();
    PyObject* module = globals ? PyDict_GetItemWithError(globals, name_key) : nullptr;
    if (!module && PyErr_Occurred()) {
        return {};
    }
    return module ? PyRef::borrow(module) : PyRef(PyUnicode_FromString("__main__"));
}

// A bare heap subclass of tuple, laid out as type() lays out a class with
// empty __slots__. Made from a PyType_Spec: type() would also derive every slot
// from the namespace, a walk of the class's bases for each of the ~90 slot
// names, which is most of the cost of a class.
inline PyRef bare_class() {
    // Dotted, so that the name carries a module and no warning is raised;
    // the namespace's __module__ replaces it.
    static PyType_Spec bare = {"zelvane.namedtuple", static_cast<int>(PyTuple_Type.tp_basicsize),
                               static_cast<int>(PyTuple_Type.tp_itemsize),
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, instance_slots};
    return PyRef(PyType_FromSpecWithBases(&bare, tuple_bases));
}

// Whether `key` has the form of a special name (__x__), the only names that
// can stand for a slot.
inline bool is_special_name(PyObject* key) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    if (length < 5) {
        return false;
    }
    for (Py_ssize_t at : {Py_ssize_t{0}, Py_ssize_t{1}, length - 2, length - 1}) {
        if (PyUnicode_READ_CHAR(key, at) != '_') {
            return false;
        }
    }
    return true;
}

// Whether the class must take `key` as an attribute assignment: a special
// name may stand for a slot (__new__, __repr__), which it then fills as it
// would under type(). Every other name goes straight into the class's dict.
inline int needs_assignment(PyObject* key) {
    if (!PyUnicode_Check(key) || !is_special_name(key)) {
        return 0;
    }
    const int plain = PySet_Contains(plain_special_names, key);
    return plain < 0 ? -1 : !plain;
}

inline bool fill_class(PyObject* cls, PyObject* space) {
    PyObject* class_dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(space, &pos, &key, &value)) {
        const int assign = needs_assignment(key);
        if (assign < 0 || (assign ? PyObject_SetAttr(cls, key, value) : PyDict_SetItem(class_dict, key, value)) < 0) {
            return false;
        }
    }
    return true;
}

// A new class of the shape. Its dict is its own, `_field_defaults` (the
// one mutable entry) included; the methods are the factory's, which work
// on whatever class they are called through.
inline PyRef new_class(PyObject* shape) {
    PyObject* type_name = PyTuple_GET_ITEM(shape, 0);
    PyRef module = caller_module();
    PyRef defaults(module ? PyDict_New() : nullptr);
    PyRef cls = defaults ? bare_class() : PyRef();
    if (!cls || PyObject_SetAttr(cls.get(), name_key, type_name) < 0 ||
        PyObject_SetAttr(cls.get(), qualname_key, type_name) < 0 ||
        !fill_class(cls.get(), PyTuple_GET_ITEM(shape, 1))) {
        return {};
    }
    PyObject* class_dict = reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict;
    if (PyDict_SetItem(class_dict, module_key, module.get()) < 0 ||
        PyDict_SetItem(class_dict, defaults_key, defaults.get()) < 0) {
        return {};
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(cls.get()));
    return cls;
}

// A new class of the shape from its kept namespace; a shape seen for the
// first time takes the class the factory makes (null with the factory's
// exception when it refuses the names), and its namespace is kept.
inline PyRef class_for(PyObject* name, PyObject* fields) {
    PyRef key(PyTuple_Pack(2, name, fields));
    PyRef found = key ? cached_shape(key.get()) : PyRef();
    if (found) {
        return new_class(found.get());
    }
    if (!key || PyErr_Occurred()) {
        return {};
    }
    PyRef cls(PyObject_CallFunctionObjArgs(namedtuple_cl, name, fields, nullptr));
    if (!cls || !remember(key.get(), cls.get())) {
        return {};
    }
    return cls;
}

// What the factory's class gives for these names and values: an instance
// of a class of its own. `items` holds one value per field.
inline PyObject* make(PyObject* name, PyObject* fields, PyObject* items) {
    if (!cacheable(name, fields) || !ready()) {
        PyErr_Clear();
        PyRef nt_type(PyObject_CallFunctionObjArgs(namedtuple_cl, name, fields, nullptr));
        return nt_type ? PyObject_Call(nt_type.get(), items, nullptr) : nullptr;
    }
    PyRef cls = class_for(name, fields);
    if (!cls) {
        return nullptr;
    }
    // What the class's __new__ does: tuple.__new__(cls, items).
    PyRef args(PyTuple_Pack(1, items));
    return args ? PyTuple_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls.get()), args.get(), nullptr) : nullptr;
}

}  // namespace nt_classes
