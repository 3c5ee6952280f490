// Waiting for a name to appear: open_memory(create=False, wait=) and
// open_array(wait=). Objects are published whole under their name (linked
// in once initialised), so a name that exists can be opened at once. The
// waiter sleeps on an inotify watch of /dev/shm, which wakes it when an
// entry is created or moved in; where inotify is not to be had (no
// instances left), it looks again after short pauses that double.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/shm_support.h"

namespace name_wait {

constexpr long FIRST_PAUSE_NS = 1000000;
constexpr long LAST_PAUSE_NS = 50000000;

// An inotify watch of the directory's new entries; invalid when the system
// refuses one.
class DirectoryWatch {
public:
    DirectoryWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_.valid() && ::inotify_add_watch(fd_.get(), "/dev/shm", IN_CREATE | IN_MOVED_TO) < 0) {
            fd_ = shm::Fd();
        }
    }

    bool valid() const { return fd_.valid(); }

    // Sleeps until an entry appears or `until` passes; call it without the
    // GIL. Events are drained: the caller looks at the name itself.
    void sleep_until(const timespec& until) const {
        pollfd watched{fd_.get(), POLLIN, 0};
        const timespec left = time_left(until);
        if (::ppoll(&watched, 1, &left, nullptr) > 0) {
            alignas(inotify_event) char events[4096];
            while (::read(fd_.get(), events, sizeof events) > 0) {
            }
        }
    }

private:
    static timespec time_left(const timespec& until) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!shm::earlier(now, until)) {
            return timespec{0, 0};
        }
        timespec left{until.tv_sec - now.tv_sec, until.tv_nsec - now.tv_nsec};
        if (left.tv_nsec < 0) {
            left.tv_nsec += 1000000000L;
            left.tv_sec -= 1;
        }
        return left;
    }

    shm::Fd fd_;
};

inline bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Waits until `name` exists or `limit` passes. False with an exception set:
// TimeoutError "The <kind> '<name>' did not appear within the time given.",
// or what a signal handler raised. A name that no object can have is left
// for the opening that follows to refuse.
inline bool wait_for(const char* name, const char* kind, const timespec& limit) {
    std::string path;
    if (!shm::shm_path(name, path)) {
        return true;
    }
    // Watching before the first look: a creation in between still wakes it.
    const DirectoryWatch watch;
    long pause = FIRST_PAUSE_NS;
    while (!exists(path)) {
        if (shm::passed(limit)) {
            PyErr_Format(PyExc_TimeoutError, "The %s '%s' did not appear within the time given.", kind, name);
            return false;
        }
        const timespec until = shm::slice_end(&limit);
        if (watch.valid()) {
            shm::without_gil([&watch, &until] { watch.sleep_until(until); });
        } else {
            const timespec nap = std::min(shm::deadline_after(pause), until, shm::earlier);
            shm::without_gil([&nap] { clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &nap, nullptr); });
            pause = std::min(pause * 2, LAST_PAUSE_NS);
        }
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace name_wait
