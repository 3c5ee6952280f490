// Letting the GIL go around work that touches no Python object: waits, and
// copies large enough that other threads (an event loop among them) should
// run meanwhile.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
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

// Ends the calling thread on the spot, unwinding nothing, and running no
// thread-exit handler: the thread found the interpreter shut down, so it is
// never to run Python again. The kernel hands the robust mutexes it holds
// (one held around a large copy, say) to their next taker as left by a dead
// owner, whose repair is the same as for a killed process: a finalizer of
// this process that takes one does not wait for ever. Its stack and the
// objects on it are left to the process's exit.
[[noreturn]] inline void end_this_thread() noexcept {
    for (;;) {
        ::syscall(SYS_exit, 0);
    }
}

// Takes the GIL back after `without_gil`. Once the interpreter shuts down,
// CPython ends a thread asking for the GIL with pthread_exit, whose forced
// unwind would run into frames that must not be unwound (a destructor, a
// noexcept function) and abort the process; the thread ends here instead
// (end_this_thread). In the short race this check leaves, the unwind passes
// only ordinary frames: this is no destructor and nothing on the way is
// noexcept.
inline void take_gil_back(PyThreadState* state) {
    if (interpreter_finalizing()) {
        end_this_thread();
    }
    PyEval_RestoreThread(state);
}

// Runs `body` with the GIL released; no Python API may be called in it.
// Once the interpreter shuts down it runs with the GIL held: the thread
// would never get it back (take_gil_back), and a large write from a
// finalizer, say, would hang the exit. No other thread may take the GIL by
// then, so keeping it stalls nobody.
template <typename Body>
auto without_gil(Body&& body) {
    if (interpreter_finalizing()) {
        return body();
    }
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

// Runs `body`, work on `size` bytes that touches no Python object, with
// the GIL released when the work is large (LARGE_COPY bytes or more), so
// that other threads run meanwhile.
template <typename Body>
auto without_gil_if_large(uint64_t size, Body&& body) {
    if (size >= LARGE_COPY) {
        return without_gil(body);
    }
    return body();
}

// Copies `size` bytes; a copy of LARGE_COPY bytes or more lets the GIL go.
// Both ranges must stay mapped and unresized without the GIL: the caller
// holds what owns them (a reference, an exported buffer, a pinned mapping).
inline void copy(void* out, const void* in, size_t size) {
    without_gil_if_large(size, [&] { copy_in_pieces(out, in, size); });
}

}  // namespace gil
