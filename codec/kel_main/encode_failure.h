// Where in a value an encoding failed, and the exception note that says so
// ("while encoding value['rows'][3]: type 'Fraction' is not supported").
// Nothing is recorded while an encoding succeeds: the containers add their
// step of the path only on the way out of a failure, innermost first.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <vector>

#include "py_ref.h"

namespace encode_failure {

enum class Step : unsigned char {
    Index,      // [i] of a list, tuple, set, frozenset or deque
    Key,        // [key] of a mapping's value
    KeyItself,  // <key>: the key of a mapping
    Field,      // .name of a named tuple
    Maps,       // .maps[i] of a ChainMap
    Attribute,  // .start, .stop or .step of a range
};

struct PathStep {
    Step step;
    Py_ssize_t index;
    PyRef key;  // the key or the field name
    const char* attribute;
};

class Failure {
public:
    // The innermost value that failed; later (outer) calls keep the first.
    void refused(PyObject* value) {
        if (!type_ && value) {
            type_ = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value)));
        }
    }
    void at_index(Py_ssize_t index) { add({Step::Index, index, PyRef(), nullptr}); }
    void at_maps(Py_ssize_t index) { add({Step::Maps, index, PyRef(), nullptr}); }
    void at_key(PyObject* key) { add({Step::Key, 0, PyRef::borrow(key), nullptr}); }
    void at_key_itself() { add({Step::KeyItself, 0, PyRef(), nullptr}); }
    void at_field(PyObject* name) { add({Step::Field, 0, PyRef::borrow(name), nullptr}); }
    void at_attribute(const char* name) { add({Step::Attribute, 0, PyRef(), name}); }

    // Adds the note to the pending exception when the interpreter has notes
    // (3.11 on) and the exception is an ordinary one; the exception itself
    // (type, message, traceback) is left as it was.
    void add_note(bool unsupported) const {
#if PY_VERSION_HEX >= 0x030B0000
        if (!type_) {
            return;
        }
        PyObject* exc_type;
        PyObject* exc;
        PyObject* traceback;
        PyErr_Fetch(&exc_type, &exc, &traceback);
        PyErr_NormalizeException(&exc_type, &exc, &traceback);
        if (exc && PyErr_GivenExceptionMatches(exc, PyExc_Exception)) {
            if (traceback) {
                PyException_SetTraceback(exc, traceback);
            }
            PyRef note(render(unsupported));
            PyRef done(note ? PyObject_CallMethod(exc, "add_note", "O", note.get()) : nullptr);
            PyErr_Clear();  // a note that cannot be made must not replace the error
        }
        PyErr_Restore(exc_type, exc, traceback);
#else
        (void)unsupported;
#endif
    }

private:
    static constexpr size_t MAX_STEPS = 1024;
    static constexpr Py_ssize_t MAX_KEY_TEXT = 60;

    void add(PathStep&& step) {
        if (steps_.size() >= MAX_STEPS) {
            truncated_ = true;
            return;
        }
        try {
            steps_.push_back(std::move(step));
        } catch (const std::bad_alloc&) {
            truncated_ = true;
        }
    }

    // repr() of a key, shortened; a repr that fails shows as "...".
    static PyRef key_text(PyObject* key) {
        PyRef text(PyObject_Repr(key));
        if (!text) {
            PyErr_Clear();
            return PyRef(PyUnicode_FromString("..."));
        }
        if (PyUnicode_GET_LENGTH(text.get()) <= MAX_KEY_TEXT) {
            return text;
        }
        PyRef head(PyUnicode_Substring(text.get(), 0, MAX_KEY_TEXT));
        return PyRef(head ? PyUnicode_FromFormat("%U...", head.get()) : nullptr);
    }

    static PyRef step_text(const PathStep& step) {
        switch (step.step) {
            case Step::Index: return PyRef(PyUnicode_FromFormat("[%zd]", step.index));
            case Step::Maps: return PyRef(PyUnicode_FromFormat(".maps[%zd]", step.index));
            case Step::KeyItself: return PyRef(PyUnicode_FromString("<key>"));
            case Step::Field: return PyRef(PyUnicode_FromFormat(".%U", step.key.get()));
            case Step::Attribute: return PyRef(PyUnicode_FromFormat(".%s", step.attribute));
            case Step::Key: {
                PyRef text = key_text(step.key.get());
                return PyRef(text ? PyUnicode_FromFormat("[%U]", text.get()) : nullptr);
            }
        }
        return PyRef();
    }

    PyRef render(bool unsupported) const {
        PyRef path(PyUnicode_FromString(truncated_ ? "value..." : "value"));
        for (auto it = steps_.rbegin(); path && it != steps_.rend(); ++it) {
            PyRef text = step_text(*it);
            path = PyRef(text ? PyUnicode_Concat(path.get(), text.get()) : nullptr);
        }
        PyRef name(path ? PyObject_GetAttrString(type_.get(), "__qualname__") : nullptr);
        if (!name) {
            return PyRef();
        }
        return PyRef(unsupported ? PyUnicode_FromFormat("while encoding %U: type '%S' is not supported", path.get(),
                                                        name.get())
                                 : PyUnicode_FromFormat("while encoding %U (a value of type '%S')", path.get(),
                                                        name.get()));
    }

    PyRef type_;
    std::vector<PathStep> steps_;
    bool truncated_ = false;
};

}  // namespace encode_failure
