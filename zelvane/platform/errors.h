// Error helpers shared by the module's entry points, slots and hosted functions.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

#include "py_ref.h"

namespace {

// Takes the pending exception, normalised to an instance (null when none is pending).
PyRef take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef(PyErr_GetRaisedException());
#else
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type(type);
    PyRef owned_traceback(traceback);
    if (value && traceback) {
        PyException_SetTraceback(value, traceback);
    }
    return PyRef(value);
#endif
}

void raise_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
    Py_INCREF(type);
    PyObject* traceback = PyException_GetTraceback(exception.get());
    PyErr_Restore(type, exception.release(), traceback);
#endif
}

// Raises `type(message)` in place of the pending exception, keeping that as
// the cause so the reason still shows in the traceback.
PyObject* raise_from_pending(PyObject* type, const char* message) {
    PyRef cause = take_pending_exception();
    PyErr_SetString(type, message);
    if (!cause) {
        return nullptr;
    }
    PyRef error = take_pending_exception();
    if (!error) {
        return nullptr;
    }
    // As `raise error from cause` does: the cause is also the context.
    PyException_SetContext(error.get(), PyRef::borrow(cause.get()).release());
    PyException_SetCause(error.get(), cause.release());
    raise_exception(std::move(error));
    return nullptr;
}

// Raises the function's fixed message in place of whatever the argument
// parser raised (see raise_from_pending).
PyObject* argument_error(const char* message) { return raise_from_pending(PyExc_ValueError, message); }

PyObject* memory_error(const char* format, const char* name) {
    PyErr_Format(PyExc_MemoryError, format, name);
    return nullptr;
}

// Flags count as set only when they are the True object itself.
inline bool flag_set(PyObject* flag) { return flag == Py_True; }

// Clears the pending exception when it is an ordinary error; false, leaving
// it pending, for KeyboardInterrupt and the like, which must reach the caller.
bool clear_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

// The bytes of a value the codec encoded; on failure `message` is raised as
// a RuntimeError in place of the interpreter's error.
bool encoded_bytes(PyObject* encoded, const char* message, const unsigned char*& data, size_t& size) {
    char* buffer;
    Py_ssize_t length;
    if (PyBytes_AsStringAndSize(encoded, &buffer, &length) < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, message);
        return false;
    }
    data = reinterpret_cast<const unsigned char*>(buffer);
    size = static_cast<size_t>(length);
    return true;
}

}  // namespace
