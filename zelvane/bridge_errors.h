// Error helpers shared by the module's entry points, slots and hosted functions.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace {

// Replaces whatever the argument parser raised with the function's message.
PyObject* argument_error(const char* message) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

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
