// A slot as shared state: a count of its completed writes (its version) and
// a flag that somebody sleeps waiting for the next one, both in one 32-bit
// word that the slot's own mutex object carries unused. The slot's format
// gives no byte to spare, so the word lives where glibc keeps the spin count
// and the elision flags of a mutex (bytes 20-23 of the mutex, 28-31 of the
// slot): robust error-checking mutexes never touch them. That is verified
// once at import on a private mutex; where the check fails (or the layout is
// unknown), slots have no version and no waiting, and locking still works.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <linux/futex.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform/futex.h"
#include "platform/shm_support.h"

namespace slot_state {

// Bit 0: a waiter sleeps on the word. Bits 1-31: the version, which wraps
// around after 2**31 writes.
inline constexpr uint32_t WAITERS = 1;
inline constexpr uint32_t ONE_WRITE = 2;
inline constexpr uint32_t VERSIONS = uint32_t{1} << 31;

#if defined(__GLIBC__) && defined(__x86_64__)
inline constexpr bool LAYOUT_KNOWN = true;
inline constexpr size_t WORD_OFFSET = offsetof(pthread_mutex_t, __data.__spins);
static_assert(offsetof(pthread_mutex_t, __data.__elision) == WORD_OFFSET + 2,
              "the word spans the spin count and the elision flags");
#else
inline constexpr bool LAYOUT_KNOWN = false;
inline constexpr size_t WORD_OFFSET = 0;
#endif
static_assert(WORD_OFFSET % alignof(std::atomic<uint32_t>) == 0, "a futex word is 4-byte aligned");

// Set at import by check_word_is_free().
inline bool usable = false;

inline std::atomic<uint32_t>* word(pthread_mutex_t* mutex) noexcept {
    return reinterpret_cast<std::atomic<uint32_t>*>(reinterpret_cast<unsigned char*>(mutex) + WORD_OFFSET);
}

// The state word's operations below work on any such word; those taking a
// slot's mutex use the word the mutex carries. An array keeps its word in a
// header field of its own (arrays/handle.h).

inline uint32_t version_of(const std::atomic<uint32_t>* state) noexcept {
    return state->load(std::memory_order_acquire) >> 1;
}

inline uint32_t version(pthread_mutex_t* mutex) noexcept { return version_of(word(mutex)); }

// Counts a completed change and clears the waiters' flag. True when
// somebody sleeps on the word and must be woken (best after the mutex is let
// go, so the waiter does not meet it held). Nobody waiting, no system call.
inline bool count_change(std::atomic<uint32_t>* state) noexcept {
    uint32_t seen = state->load(std::memory_order_relaxed);
    while (!state->compare_exchange_weak(seen, (seen + ONE_WRITE) & ~WAITERS, std::memory_order_release,
                                         std::memory_order_relaxed)) {
    }
    return (seen & WAITERS) != 0;
}

// Under the slot's mutex, once a write is complete: counts it (see
// count_change).
inline bool count_write(pthread_mutex_t* mutex) noexcept { return usable && count_change(word(mutex)); }

// Wakes every thread of every process that sleeps on the word.
inline void wake_all(std::atomic<uint32_t>* state) noexcept { futex::wake(state, FUTEX_BITSET_MATCH_ANY); }

inline void wake_all(pthread_mutex_t* mutex) noexcept { wake_all(word(mutex)); }

// Sleeps, without the GIL, until the version differs from `since` (true,
// the version in `now`) or until the slice ends or a signal arrives (false).
// The waiters' flag is raised before sleeping, so a writer that counts its
// write afterwards wakes this thread; one that died before waking it is
// noticed when the slice ends.
inline bool sleep_until_changed(std::atomic<uint32_t>* state, uint32_t since, const timespec* limit,
                                uint32_t& now) noexcept {
    const timespec end = shm::slice_end(limit);
    for (;;) {
        uint32_t seen = state->load(std::memory_order_acquire);
        if ((seen >> 1) != since) {
            now = seen >> 1;
            return true;
        }
        if ((seen & WAITERS) == 0 &&
            !state->compare_exchange_weak(seen, seen | WAITERS, std::memory_order_acquire,
                                          std::memory_order_acquire)) {
            continue;
        }
        if (!futex::wait(state, seen | WAITERS, end, FUTEX_BITSET_MATCH_ANY) || shm::passed(end)) {
            return false;
        }
    }
}

// Blocks until the version in `state` differs from `since` and stores it in
// `now`. Sleeps in slices with the GIL released, running signal handlers
// between them; TimeoutError (naming `what`) once `limit`, if given, passes.
// False with an exception set on failure.
inline bool wait_for_change(std::atomic<uint32_t>* state, uint32_t since, const timespec* limit, const char* what,
                            uint32_t& now) {
    now = state->load(std::memory_order_acquire) >> 1;
    while (now == since) {
        if (shm::without_gil([&] { return sleep_until_changed(state, since, limit, now); })) {
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
        if (limit && shm::passed(*limit)) {
            PyErr_Format(PyExc_TimeoutError, "Timed out waiting for a change of shared memory address '%s'.", what);
            return false;
        }
    }
    return true;
}

// The version that a handle's wait() compares with: the one given, or the
// one the handle last saw (`seen`). An int that no version can equal
// (negative, too large) gives one that no version equals either.
inline bool since_version(uint32_t seen, PyObject* since, uint32_t& version) {
    if (!since || since == Py_None) {
        version = seen;
        return true;
    }
    if (!PyLong_Check(since)) {
        PyErr_Format(PyExc_TypeError, "since must be an int or None, not %.200s", Py_TYPE(since)->tp_name);
        return false;
    }
    int overflow;
    const long long given = PyLong_AsLongLongAndOverflow(since, &overflow);
    if (given == -1 && PyErr_Occurred()) {
        return false;
    }
    const bool possible = overflow == 0 && given >= 0 && given < static_cast<long long>(VERSIONS);
    version = possible ? static_cast<uint32_t>(given) : VERSIONS;
    return true;
}

// --- The check made at import -------------------------------------------

inline void* die_holding(void* mutex) {
    pthread_mutex_lock(static_cast<pthread_mutex_t*>(mutex));
    return nullptr;  // the thread ends with the mutex held
}

// Whether the mutex goes through everything a slot's mutex meets (locking,
// relocking by its owner, trying, unlocking, its owner's death and the
// recovery after it) answering as it should.
inline bool exercise(pthread_mutex_t* mutex) noexcept {
    if (pthread_mutex_lock(mutex) != 0 || pthread_mutex_trylock(mutex) != EDEADLK ||
        pthread_mutex_lock(mutex) != EDEADLK || pthread_mutex_unlock(mutex) != 0 ||
        pthread_mutex_trylock(mutex) != 0 || pthread_mutex_unlock(mutex) != 0) {
        return false;
    }
    pthread_t owner;
    if (pthread_create(&owner, nullptr, die_holding, mutex) != 0 || pthread_join(owner, nullptr) != 0) {
        return false;
    }
    return shm::lock_within_slice(mutex) == EOWNERDEAD && pthread_mutex_consistent(mutex) == 0 &&
           pthread_mutex_unlock(mutex) == 0;
}

// Runs a private mutex of the slots' kind through its paces with a pattern
// in the word, and sets `usable` when the pattern survives.
inline void check_word_is_free() noexcept {
    if (!LAYOUT_KNOWN) {
        return;
    }
    constexpr uint32_t PATTERN = 0xA5C35A3Cu;
    static pthread_mutex_t probe;
    if (shm::init_shared_mutex(&probe) != 0) {
        return;
    }
    word(&probe)->store(PATTERN);
    usable = exercise(&probe) && word(&probe)->load() == PATTERN;
    pthread_mutex_destroy(&probe);
}

}  // namespace slot_state
