// Waiting on and waking a 32-bit word in shared memory across processes.
// Process-shared condition variables are not used for this: when a waiter is
// killed, a later signal can block the signaller for ever.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <sched.h>
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

// Sleeps while `*word` still holds `expected`, until `deadline` on the
// monotonic clock at the latest, unless woken for one of the `kinds` of
// waiter (a bit mask). Returns early on such a wake or a change of the word
// (the caller rechecks its predicate); false when a signal arrived, so that
// its handler runs soon. Not FUTEX_PRIVATE: the word is shared between
// processes.
inline bool wait(std::atomic<uint32_t>* word, uint32_t expected, const timespec& deadline,
                 uint32_t kinds) noexcept {
    return ::syscall(SYS_futex, raw(word), FUTEX_WAIT_BITSET, expected, &deadline, nullptr, kinds) == 0 ||
           errno != EINTR;
}

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Whether the machine has more than one CPU online: only then can a peer act
// while this thread spins.
inline bool several_cpus() noexcept {
    static const bool several = sysconf(_SC_NPROCESSORS_ONLN) > 1;
    return several;
}

// Asks `ready()` between short pauses for up to `nanoseconds`; true as soon
// as it says yes. A peer on another CPU acts while this thread spins; one on
// this CPU (`peer_here`) can only act while this thread stands aside, so then
// it yields the CPU between looks.
template <typename Ready>
bool spin(Ready&& ready, long nanoseconds, bool peer_here) noexcept {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            if (ready()) {
                return true;
            }
            cpu_relax();
        }
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed = (now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec);
        if (elapsed >= nanoseconds) {
            return false;
        }
        if (peer_here) {
            sched_yield();
        }
    }
}

// Watches `*word` for up to `nanoseconds` without sleeping; true as soon as
// it no longer holds `expected`.
inline bool watch(const std::atomic<uint32_t>* word, uint32_t expected, long nanoseconds, bool peer_here) noexcept {
    return spin([word, expected] { return word->load(std::memory_order_relaxed) != expected; }, nanoseconds,
                peer_here);
}

// Wakes every thread of every process waiting on `word` as one of `kinds`.
inline void wake(std::atomic<uint32_t>* word, uint32_t kinds) noexcept {
    ::syscall(SYS_futex, raw(word), FUTEX_WAKE_BITSET, INT_MAX, nullptr, nullptr, kinds);
}

}  // namespace futex
