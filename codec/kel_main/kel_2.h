// Protocol-2 value codec: the two entry points used by the shared-memory
// bridge, and the class registry that both codecs read.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

extern PyObject* datetime_dt;
extern PyObject* datetime_d;
extern PyObject* datetime_t;
extern PyObject* uuid_cl;
extern PyObject* decimal_cl;
extern PyObject* namedtuple_cl;

// 1 when every class was cached; -1 with an exception set.
int kel2_init();
void kel2_cleanup();

// A new bytes object holding the encoded value; a null `value` gives the
// no-value encoding. Null with an exception set on failure.
PyObject* from_value(PyObject* value);

// The value encoded in a bytes object (marker included), or null with an
// exception set.
PyObject* to_value(PyObject* py_bytes);

// The same over a byte range that stays unchanged while it is decoded (a
// locked slot payload, a message area), so that no copy is needed.
PyObject* to_value_range(const unsigned char* data, size_t length);
