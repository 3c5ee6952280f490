// The interpreter's private integer helpers changed across versions; each is
// hidden behind one function here.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace compat {

// Writes `value` as `length` little-endian two's-complement bytes; -1 with an
// exception when it does not fit.
inline int long_to_bytes(PyObject* value, unsigned char* out, size_t length) {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), out, length, 1, 1, 1);
#else
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), out, length, 1, 1);
#endif
}

// The int whose little-endian two's-complement form is the `length` bytes.
inline PyObject* long_from_bytes(const unsigned char* bytes, size_t length) {
    return _PyLong_FromByteArray(bytes, length, 1, 1);
}

// Bit length of an int's absolute value; (size_t)-1 with an exception on overflow.
inline size_t long_num_bits(PyObject* value) { return _PyLong_NumBits(value); }

}  // namespace compat
