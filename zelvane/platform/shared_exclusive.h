// A lock that many hold at once (shared) or one alone (exclusive), across
// processes, robust against a holder killed at any moment.
//
// It is made of a robust mutex, which an exclusive holder keeps for as long
// as it holds and a shared one takes only when it must wait, and one 32-bit
// word of holders:
//
//   bits 0-29   one per place: set while the holder of that place (one
//               mapping of the object in one process) has shared holders
//   bit 30      the exclusive claimant sleeps until the places empty
//   bit 31      claimed: the mutex's holder keeps new shared holders out
//
// A shared holder sets its place's bit while bit 31 is clear, so a claimant
// that has set bit 31 only waits for the bits already set (writers are not
// starved by a stream of readers); a holder that finds bit 31 set waits by
// taking the mutex, and sets its bit while holding it. Bit 31 is set and
// cleared only by the mutex's holder, so whoever takes the mutex and finds
// it set (its owner died) clears it.
//
// Who holds a place is told by an open-file-description write lock on byte
// PLACE_BYTES + place of the object's file, taken through a description of
// its own (never the one the memory is mapped through) for as long as the
// mapping lives: the kernel drops it when its process dies, a fork child
// gives up its copy, and only a descriptor open for writing can take one. A
// claimant that has waited a slice clears the bits of places nobody holds.
#pragma once

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "platform/futex.h"
#include "platform/shm_support.h"

namespace shared_exclusive {

inline constexpr uint32_t PLACES = 30;
inline constexpr uint32_t PLACE_BITS = (uint32_t{1} << PLACES) - 1;
inline constexpr uint32_t CLAIMANT_ASLEEP = uint32_t{1} << 30;
inline constexpr uint32_t CLAIMED = uint32_t{1} << 31;
// Far past any array's data; the locks are advisory and touch no byte.
inline constexpr off_t PLACE_BYTES = off_t{1} << 40;
// The futex kind the claimant sleeps as, which only the last leaving shared
// holder wakes.
inline constexpr uint32_t CLAIMANT_KIND = 1;

inline uint32_t bit_of(int place) noexcept { return uint32_t{1} << place; }

// --- Shared holders ------------------------------------------------------

// Sets `bit` unless the lock is claimed; false when it is.
inline bool try_enter(std::atomic<uint32_t>* word, uint32_t bit) noexcept {
    uint32_t seen = word->load(std::memory_order_acquire);
    while ((seen & CLAIMED) == 0) {
        if (word->compare_exchange_weak(seen, seen | bit, std::memory_order_acq_rel, std::memory_order_acquire)) {
            return true;
        }
    }
    return false;
}

// Sets `bit` while holding the mutex: no live claimant exists, so a claim
// found is one its dead owner left.
inline void enter_holding_mutex(std::atomic<uint32_t>* word, uint32_t bit) noexcept {
    uint32_t seen = word->load(std::memory_order_acquire);
    while (!word->compare_exchange_weak(seen, (seen & PLACE_BITS) | bit, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
    }
}

// Clears `bit`; the last shared holder out wakes a claimant that sleeps.
inline void leave(std::atomic<uint32_t>* word, uint32_t bit) noexcept {
    uint32_t seen = word->load(std::memory_order_relaxed);
    uint32_t next;
    do {
        next = seen & ~bit;
        if ((next & PLACE_BITS) == 0) {
            next &= ~CLAIMANT_ASLEEP;
        }
    } while (!word->compare_exchange_weak(seen, next, std::memory_order_release, std::memory_order_relaxed));
    if ((seen & CLAIMANT_ASLEEP) != 0 && (next & CLAIMANT_ASLEEP) == 0) {
        futex::wake(word, CLAIMANT_KIND);
    }
}

// --- The exclusive holder (the mutex's holder) -------------------------------

inline void claim(std::atomic<uint32_t>* word) noexcept { word->fetch_or(CLAIMED, std::memory_order_acq_rel); }

inline void unclaim(std::atomic<uint32_t>* word) noexcept {
    word->fetch_and(~(CLAIMED | CLAIMANT_ASLEEP), std::memory_order_release);
}

inline bool places_empty(const std::atomic<uint32_t>* word) noexcept {
    return (word->load(std::memory_order_acquire) & PLACE_BITS) == 0;
}

// Sleeps until the places empty, `deadline` passes or a signal arrives;
// call it without the GIL. True when they are empty.
inline bool sleep_while_held(std::atomic<uint32_t>* word, const timespec& deadline) noexcept {
    for (;;) {
        uint32_t seen = word->load(std::memory_order_acquire);
        if ((seen & PLACE_BITS) == 0) {
            return true;
        }
        if ((seen & CLAIMANT_ASLEEP) == 0 &&
            !word->compare_exchange_weak(seen, seen | CLAIMANT_ASLEEP, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
            continue;
        }
        if (!futex::wait(word, seen | CLAIMANT_ASLEEP, deadline, CLAIMANT_KIND) || shm::passed(deadline)) {
            return places_empty(word);
        }
    }
}

// --- Places ---------------------------------------------------------------

inline struct flock place_lock(short type, int place) noexcept {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = PLACE_BYTES + place;
    lock.l_len = 1;
    return lock;
}

// Whether a live process holds `place`, asked through `fd`, a description
// of the object that holds no place itself.
inline bool place_held(int fd, int place) noexcept {
    struct flock lock = place_lock(F_WRLCK, place);
    return ::fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

// Clears the bits of places that no live process holds: their holders died
// holding. Only the claimant does this, so no new bit appears meanwhile; a
// place taken again since its holder died is set by its new holder only
// after the claim ends, and its dead holder's bit is cleared by the new
// holder as it takes the place (which this check cannot see).
inline void clear_dead_places(std::atomic<uint32_t>* word, int fd) noexcept {
    const uint32_t bits = word->load(std::memory_order_acquire) & PLACE_BITS;
    for (uint32_t place = 0; place < PLACES; ++place) {
        if ((bits & bit_of(static_cast<int>(place))) != 0 && !place_held(fd, static_cast<int>(place))) {
            leave(word, bit_of(static_cast<int>(place)));
        }
    }
}

class Place;
// Every place this process holds, for the fork child handler. Touched with
// the GIL held, or in a fork child before anything else runs.
inline std::vector<Place*> places_held;

// One mapping's place among the shared holders, and the number of this
// process's holds through it.
class Place {
public:
    Place() = default;
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place() { give_up(); }

    bool taken() const noexcept { return number_ >= 0; }
    uint32_t bit() const noexcept { return bit_of(number_); }
    unsigned& holds() noexcept { return holds_; }

    // Takes the first free place of the object open as `object_fd`, through
    // a description of its own; false when every place is taken or the
    // object cannot be opened again.
    bool take(int object_fd) {
        const std::string self = "/proc/self/fd/" + std::to_string(object_fd);
        shm::Fd own(::open(self.c_str(), O_RDWR | O_CLOEXEC));
        if (!own.valid()) {
            return false;
        }
        for (int place = 0; place < static_cast<int>(PLACES); ++place) {
            struct flock lock = place_lock(F_WRLCK, place);
            if (::fcntl(own.get(), F_OFD_SETLK, &lock) == 0) {
                fd_ = std::move(own);
                number_ = place;
                places_held.push_back(this);
                return true;
            }
        }
        return false;
    }

    // In a fork child: the place is the parent's, as are the holds counted.
    static void forget_all_after_fork() noexcept {
        for (Place* place : places_held) {
            place->fd_.reset();
            place->number_ = -1;
            place->holds_ = 0;
        }
        places_held.clear();
    }

private:
    void give_up() noexcept {
        if (number_ >= 0) {
            std::erase(places_held, this);
            fd_.reset();
            number_ = -1;
        }
    }

    shm::Fd fd_;
    int number_ = -1;
    unsigned holds_ = 0;
};

[[maybe_unused]] inline const int place_fork_handler =
    pthread_atfork(nullptr, nullptr, Place::forget_all_after_fork);

}  // namespace shared_exclusive
