// Waiting on and waking a 32-bit word in shared memory across processes.
// Process-shared condition variables are not used for this: when a waiter is
// killed, a later signal can block the signaller for ever.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

namespace futex {

static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free,
              "a futex word is a plain, lock-free 32-bit integer");

inline uint32_t* raw(std::atomic<uint32_t>* word) noexcept { return reinterpret_cast<uint32_t*>(word); }

// Sleeps while `*word` still holds `expected`, for at most `nanoseconds`.
// Returns early on a wake or a change of the word (the caller rechecks its
// predicate); false when a signal arrived, so that its handler runs soon.
inline bool wait(std::atomic<uint32_t>* word, uint32_t expected, long nanoseconds) noexcept {
    const timespec timeout{nanoseconds / 1000000000L, nanoseconds % 1000000000L};
    // Not FUTEX_PRIVATE: the word is shared between processes.
    return ::syscall(SYS_futex, raw(word), FUTEX_WAIT, expected, &timeout, nullptr, 0) == 0 || errno != EINTR;
}

// Wakes every thread of every process waiting on `word`.
inline void wake_all(std::atomic<uint32_t>* word) noexcept {
    ::syscall(SYS_futex, raw(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace futex
