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

// Memory outside Python's heap (a shared buffer) that an encoding may be
// written into, so that a large value is copied only once on its way out.
struct EncodeArea {
    // When the encoding asks for room: at its Start it has read nothing of
    // the value yet, so the area may let the GIL go while it grows; Midway it
    // holds pointers into the objects it encodes, which another thread could
    // free or resize, so the area must neither release the GIL nor run
    // Python code.
    enum class When { Start, Midway };

    unsigned char* data = nullptr;
    size_t capacity = 0;
    // Gives the area room for at least `size` bytes, keeping its first bytes
    // (`data` may move, also when it fails); false when that is refused.
    bool (*grow)(EncodeArea& area, size_t size, When when) = nullptr;
    void* owner = nullptr;
};

// Encodes like from_value, but an encoding that outgrows the encoder's first
// buffer goes into `area`: then Py_None (a new reference) with its length in
// `length`. A small encoding, or one that the area refused to take, comes as
// a new bytes object; null with an exception set on failure.
PyObject* from_value_into(PyObject* value, EncodeArea& area, size_t& length);

// The value encoded in a bytes object (marker included), or null with an
// exception set.
PyObject* to_value(PyObject* py_bytes);

// The same over a byte range that stays unchanged while it is decoded (a
// locked slot payload, a message area), so that no copy is needed. With
// `stable`, the range also stays mapped and unchanged while the GIL is let
// go, and large copies out of it let the GIL go.
PyObject* to_value_range(const unsigned char* data, size_t length, bool stable = false);
