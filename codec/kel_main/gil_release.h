// Letting the GIL go around work that touches no Python object: waits, and
// copies large enough that other threads (an event loop among them) should
// run meanwhile.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

#include <cstring>
#include <type_traits>

#include "prefault.h"

namespace gil {

// Whether the interpreter is shutting down, which a thread without the GIL
// may ask.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Takes the GIL back after `without_gil`. Once the interpreter shuts down,
// a thread asking for the GIL is ended with pthread_exit, whose forced unwind
// would run into frames that must not be unwound (a destructor, a noexcept
// function) and abort the process; the thread stays parked here instead,
// like a daemon thread blocked anywhere else, until the process exits. In the
// short race this check leaves, the unwind passes only ordinary frames: this
// is no destructor and nothing on the way is noexcept.
inline void take_gil_back(PyThreadState* state) {
    while (interpreter_finalizing()) {
        ::pause();
    }
    PyEval_RestoreThread(state);
}

// Runs `body` with the GIL released; no Python API may be called in it.
template <typename Body>
auto without_gil(Body&& body) {
    PyThreadState* state = PyEval_SaveThread();
    if constexpr (std::is_void_v<decltype(body())>) {
        body();
        take_gil_back(state);
    } else {
        auto result = body();
        take_gil_back(state);
        return result;
    }
}

// Copies `size` bytes; a copy of LARGE_COPY bytes or more lets the GIL go.
// Both ranges must stay mapped and unresized without the GIL: the caller
// holds what owns them (a reference, an exported buffer, a pinned mapping).
inline void copy(void* out, const void* in, size_t size) {
    if (size < LARGE_COPY) {
        std::memcpy(out, in, size);
        return;
    }
    without_gil([&] { std::memcpy(out, in, size); });
}

}  // namespace gil
