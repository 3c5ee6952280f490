// Temporary objects: slots and arrays opened with temporary=True live while
// at least one process holds them, and the last to let go removes the name.
//
// The mark. A temporary object is made with the sticky bit in its mode
// (S_ISVTX, which Linux gives no meaning on a regular file): it is set by
// the exclusive creation itself, before the name exists, costs no write to
// any byte of the object, and every open reads it for free from the fstat it
// makes anyway. `ls -l /dev/shm` shows it as a final "T".
//
// The holders. Each process that holds a temporary object holds, through one
// open file description of it, a write lock on the byte HOLDERS_AT + its
// pid, far past any object's end. The kernel drops it when the process dies
// however it dies; a write lock needs a descriptor opened for writing, so a
// process that may only read the object cannot fake a holder, and a read
// lock anyone may take on these bytes is never counted (every test of them
// asks for a read lock, which only write locks conflict with).
//
// Removal. Whoever removes the object (the last holder letting go, an opener
// that finds it unheld, `zelvane clean`) first takes a read lock on the
// whole holders' range through its own description: it is granted only when
// no other description holds a write lock there, and while it stands no new
// holder can take one. Then the write lock on REMOVAL_BYTE makes it the only
// remover, and the name goes only while it still leads to this object. An
// opener takes its holder lock before it looks at the object's link count,
// so that it either sees a removal that happened or prevents one to come.
//
// The description a process holds its lock through is its hold's alone and
// is never mapped: a mapping keeps its description open, and with it the
// lock, past the hold (an array's views) and into fork children.
//
// Forks. A fork child shares its parent's descriptions and with them their
// locks; it takes its own holder lock through a description of its own. The
// parent opens that description before the fork and holds a handover byte
// through it (HANDOVERS_AT + its pid), so that the object stays held while
// the child, which inherits the description, takes its own byte.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/object_cache.h"
#include "platform/ofd_locks.h"
#include "platform/shm_support.h"

namespace {
namespace temporary {

constexpr mode_t MARK = S_ISVTX;
constexpr off_t REMOVAL_BYTE = off_t{1} << 62;
constexpr off_t HOLDERS_AT = REMOVAL_BYTE + 1;
// Every pid Linux hands out is below this (PID_MAX_LIMIT).
constexpr off_t PID_SPAN = off_t{1} << 22;
constexpr off_t HANDOVERS_AT = HOLDERS_AT + PID_SPAN;
// What a remover must find free of write locks: holders and handovers.
constexpr off_t HELD_SPAN = 2 * PID_SPAN;

bool marked(const struct stat& st) { return (st.st_mode & MARK) != 0; }

off_t holder_byte(pid_t pid) { return HOLDERS_AT + static_cast<off_t>(pid); }

// Takes this process's holder lock through the description `fd`.
bool take_holder_lock(int fd) { return take_write_lock(fd, holder_byte(shm::this_process())); }

// Whether a description other than `fd`'s holds a write lock on a byte of
// [start, start + length): asked as a read lock, which read locks never
// conflict with, so that only write locks answer.
bool written_elsewhere(int fd, off_t start, off_t length) {
    struct flock lock = byte_range(F_RDLCK, start, length);
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_WRLCK;
}

bool held_elsewhere(int fd) { return written_elsewhere(fd, HOLDERS_AT, HELD_SPAN); }

// How many processes hold the object open as `fd` (which may be read-only):
// the write locks on the holders' bytes, each found by asking about a range
// and then about what lies on either side of the lock the answer names.
long count_holders(int fd) {
    long count = 0;
    std::vector<std::pair<off_t, off_t>> ranges{{HOLDERS_AT, HOLDERS_AT + PID_SPAN}};
    while (!ranges.empty()) {
        const auto [start, end] = ranges.back();
        ranges.pop_back();
        struct flock lock = byte_range(F_RDLCK, start, end - start);
        if (::fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_WRLCK) {
            continue;
        }
        ++count;
        const off_t from = std::max(lock.l_start, start);
        const off_t to = lock.l_len == 0 ? end : std::min(end, lock.l_start + lock.l_len);
        if (start < from) {
            ranges.emplace_back(start, from);
        }
        if (to < end) {
            ranges.emplace_back(to, end);
        }
    }
    return count;
}

enum class Removal { Removed, Held, Gone, Failed };

// Removes the name `path` of the temporary object open read-write as `fd`
// when no other process holds it (this description's own holder lock, if
// any, gives way) and the name still leads to it. Held when a process holds
// it; Gone when the name leads elsewhere or another remover is at work;
// Failed with errno set when the system refuses. Whatever the outcome, the
// description must be closed afterwards: it may keep new holders out.
Removal remove_unheld(int fd, const std::string& path) {
    struct flock range = byte_range(F_RDLCK, HOLDERS_AT, HELD_SPAN);
    if (::fcntl(fd, F_OFD_SETLK, &range) != 0) {
        return errno == EAGAIN || errno == EACCES ? Removal::Held : Removal::Failed;
    }
    // A remover holds the byte with a write lock; a read lock there is
    // anyone's and does not keep the object from going.
    if (!take_write_lock(fd, REMOVAL_BYTE) && written_elsewhere(fd, REMOVAL_BYTE, 1)) {
        return Removal::Gone;
    }
    struct stat ours;
    struct stat named;
    if (::fstat(fd, &ours) != 0 || ours.st_nlink == 0 || !marked(ours) || ::lstat(path.c_str(), &named) != 0 ||
        named.st_dev != ours.st_dev || named.st_ino != ours.st_ino) {
        return Removal::Gone;
    }
    if (::unlink(path.c_str()) != 0) {
        return errno == ENOENT ? Removal::Gone : Removal::Failed;
    }
    return Removal::Removed;
}

// This process's hold on one temporary object, shared by all its handles of
// that object. Only touched with the GIL held.
struct Hold {
    dev_t dev = 0;
    ino_t ino = 0;
    std::string path;
    shm::Fd fd;        // the description holding the lock
    shm::Fd handover;  // during a fork: the description the child takes over
    unsigned handles = 0;
    bool holding = true;  // false in a fork child that could not take its own lock
};

std::vector<std::unique_ptr<Hold>> holds;

Hold* find_hold(const struct stat& st) {
    for (const auto& hold : holds) {
        if (hold->holding && hold->dev == st.st_dev && hold->ino == st.st_ino) {
            return hold.get();
        }
    }
    return nullptr;
}

// A new hold of this process for the object of status `st` at `path`, whose
// holder lock is taken through the descriptor the caller then hands to it.
Hold* new_hold(const struct stat& st, const std::string& path) {
    auto hold = std::make_unique<Hold>();
    hold->dev = st.st_dev;
    hold->ino = st.st_ino;
    hold->path = path;
    hold->handles = 1;
    holds.push_back(std::move(hold));
    return holds.back().get();
}

// Lets go of one handle's share of `hold`; the last removes the object's
// name when no other process holds it.
void release(Hold* hold) {
    if (!hold || --hold->handles > 0) {
        return;
    }
    if (hold->holding) {
        remove_unheld(hold->fd.get(), hold->path);
    }
    std::erase_if(holds, [hold](const std::unique_ptr<Hold>& entry) { return entry.get() == hold; });
}

// At interpreter exit: every hold is let go of as its last handle would.
void release_all() {
    while (!holds.empty()) {
        Hold* hold = holds.back().get();
        hold->handles = 1;
        release(hold);
    }
}

// --- forks ------------------------------------------------------------------

void prepare_fork() noexcept {
    const off_t handover_byte = HANDOVERS_AT + static_cast<off_t>(::getpid());
    for (const auto& hold : holds) {
        if (!hold->holding) {
            continue;
        }
        const std::string own = "/proc/self/fd/" + std::to_string(hold->fd.get());
        shm::Fd handover(::open(own.c_str(), O_RDWR | O_CLOEXEC));
        if (handover.valid() && take_write_lock(handover.get(), handover_byte)) {
            hold->handover = std::move(handover);
        }
    }
}

void after_fork_in_parent() noexcept {
    for (const auto& hold : holds) {
        hold->handover.reset();
    }
}

// The child takes its own holder lock through the description handed over,
// which replaces its copy of the parent's; without one it holds nothing and
// never removes the object.
void after_fork_in_child() noexcept {
    const pid_t parent = ::getppid();
    const pid_t self = ::getpid();
    for (const auto& hold : holds) {
        shm::Fd handover = std::move(hold->handover);
        hold->holding = handover.valid() && take_write_lock(handover.get(), holder_byte(self));
        if (!hold->holding) {
            continue;
        }
        struct flock unlock = one_byte(F_UNLCK, HANDOVERS_AT + static_cast<off_t>(parent));
        ::fcntl(handover.get(), F_OFD_SETLK, &unlock);
        ::dup3(handover.get(), hold->fd.get(), O_CLOEXEC);
    }
}

[[maybe_unused]] const int fork_handlers = pthread_atfork(prepare_fork, after_fork_in_parent,
                                                                 after_fork_in_child);

// --- opening ----------------------------------------------------------------

bool lifetime_error(const char* name, bool temporary) {
    PyErr_Format(PyExc_ValueError,
                 temporary ? "The shared memory address '%s' is permanent: open it without temporary=True."
                           : "The shared memory address '%s' is temporary: open it with temporary=True.",
                 name);
    return false;
}

// Whether an object of status `st` has the lifetime asked for; false with
// an exception set.
bool lifetime_fits(const struct stat& st, const char* name, bool temporary) {
    return marked(st) == temporary || lifetime_error(name, temporary);
}

// What a temporary opening found or made: the object's descriptor and
// status, and this process's hold on it. A new hold takes the descriptor
// its lock was taken through (see descriptor_to_map).
struct Opening {
    shm::Fd fd;
    struct stat st {};
    Hold* hold = nullptr;
    bool new_hold = false;
    bool created = false;  // made by this opening, not found
    std::string path;

    Opening() = default;
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;
    ~Opening() { abandon(); }

    // A descriptor of the object for the caller to map: the one it was
    // opened through, unless that one now belongs to a new hold; then the
    // object is opened again, through the hold's descriptor when that was
    // opened by name, or else by name (so that listings of open files and
    // mappings show the name, not the unnamed object it was made as) and
    // checked to be the same. Invalid, with an exception set, on failure.
    shm::Fd descriptor_to_map(const char* name) {
        if (!new_hold) {
            return std::move(fd);
        }
        hold->fd = std::move(fd);
        new_hold = false;
        if (!created) {
            const std::string own = "/proc/self/fd/" + std::to_string(hold->fd.get());
            shm::Fd again(::open(own.c_str(), O_RDWR | O_CLOEXEC));
            if (!again.valid()) {
                memory_error("Failed to open shared memory address '%s'.", name);
            }
            return again;
        }
        shm::Fd again(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        struct stat named;
        if (!again.valid() || ::fstat(again.get(), &named) != 0 || named.st_dev != st.st_dev ||
            named.st_ino != st.st_ino) {
            memory_error("Failed to open shared memory address '%s'.", name);
            return shm::Fd();
        }
        return again;
    }
    // The hold, now the caller's to release.
    Hold* take() { return std::exchange(hold, nullptr); }
    // An opening that failed after it was held lets go as a handle would.
    void abandon() {
        if (new_hold) {
            hold->fd = std::move(fd);
            new_hold = false;
        }
        release(std::exchange(hold, nullptr));
    }
};

enum class Step { Held, Absent, Busy, Again, Failed };

// Holds the object open as `opening.fd`, whose lock `locked` tells whether
// this process's holder lock could be taken through it.
Step hold_opened(Opening& opening, bool locked, const char* name) {
    if (::fstat(opening.fd.get(), &opening.st) != 0) {
        memory_error("Failed to open shared memory address '%s'.", name);
        return Step::Failed;
    }
    if (!lifetime_fits(opening.st, name, true)) {
        return Step::Failed;
    }
    if (!locked) {
        // Kept out by this process's own hold, or by a removal at work.
        Hold* existing = find_hold(opening.st);
        if (existing) {
            ++existing->handles;
            opening.hold = existing;
            return Step::Held;
        }
        // Or by a read lock anyone may take: an object nobody holds goes all the same.
        if (!held_elsewhere(opening.fd.get())) {
            remove_unheld(opening.fd.get(), opening.path);
        }
        return Step::Busy;
    }
    if (opening.st.st_nlink == 0) {
        return Step::Again;  // removed before the lock was taken
    }
    if (!held_elsewhere(opening.fd.get())) {
        // Left by processes that all died: garbage, made afresh.
        remove_unheld(opening.fd.get(), opening.path);
        return Step::Again;
    }
    opening.hold = new_hold(opening.st, opening.path);
    opening.new_hold = true;
    return Step::Held;
}

Step open_and_hold(Opening& opening, const char* name) {
    opening.fd.reset(::open(opening.path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!opening.fd.valid()) {
        if (errno == ENOENT) {
            return Step::Absent;
        }
        memory_error("Failed to open shared memory address '%s'.", name);
        return Step::Failed;
    }
    const bool locked = take_holder_lock(opening.fd.get());
    return hold_opened(opening, locked, name);
}

// Waits a little longer each time for a removal at work to end.
void pause(int attempt) {
    const timespec delay{0, std::min(attempt + 1, 20) * 500'000L};
    Py_BEGIN_ALLOW_THREADS
    ::nanosleep(&delay, nullptr);
    Py_END_ALLOW_THREADS
}

enum class Made { Created, Taken, Failed };

// Opens the temporary object `name` and holds it for this process. A
// missing name, or one left unheld by processes that died, is made afresh by
// `make(fd)` when `create` allows it: it creates the object marked and with
// this process's holder lock taken through `fd` before publishing it. False
// with an exception set.
template <typename Make>
bool open_held(const char* name, bool create, Opening& opening, Make&& make) {
    constexpr int ATTEMPTS = 400;
    if (!shm::shm_path(name, opening.path)) {
        memory_error("Failed to open shared memory address '%s'.", name);
        return false;
    }
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        switch (open_and_hold(opening, name)) {
            case Step::Held:
                return true;
            case Step::Failed:
                return false;
            case Step::Busy:
                pause(attempt);
                continue;
            case Step::Again:
                continue;
            case Step::Absent:
                break;
        }
        if (!create) {
            memory_error("Failed to open shared memory address '%s'.", name);
            return false;
        }
        switch (make(opening.fd)) {
            case Made::Failed:
                return false;
            case Made::Taken:
                continue;
            case Made::Created:
                if (::fstat(opening.fd.get(), &opening.st) != 0) {
                    memory_error("Failed to open shared memory address '%s'.", name);
                    return false;
                }
                opening.hold = new_hold(opening.st, opening.path);
                opening.new_hold = true;
                opening.created = true;
                return true;
        }
    }
    memory_error("Failed to open shared memory address '%s'.", name);
    return false;
}

}  // namespace temporary
}  // namespace
