// The codec offered on its own: `dumps` gives the bytes a slot would hold,
// `loads` decodes them (or protocol-1 bytes) from any bytes-like object.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "kel_2.h"
#include "py_ref.h"

namespace {

PyObject* dumps(PyObject*, PyObject* value) { return from_value(value); }

// The buffer stays exported for the whole decoding, so a bytearray cannot be
// resized (and its memory moved) under the decoder; bytes after the encoded
// value are ignored, as in a slot's payload.
PyObject* loads(PyObject*, PyObject* data) {
    // bytes cannot change, so they are read in place without exporting a
    // buffer, which would cost a small value more than its decoding.
    if (PyBytes_CheckExact(data)) {
        PyRef held = PyRef::borrow(data);
        return to_value_range(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)),
                              static_cast<size_t>(PyBytes_GET_SIZE(data)), true);
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
        return nullptr;
    }
    PyObject* value = to_value_range(static_cast<const unsigned char*>(view.buf), static_cast<size_t>(view.len), true);
    PyBuffer_Release(&view);
    return value;
}

}  // namespace
