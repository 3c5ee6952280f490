// Building blocks shared by value slots and hosted functions: owners for a
// descriptor, a mapping, a held mutex and a released GIL; robust mutexes
// taken in slices; names mapped to /dev/shm; objects published only once
// they are initialised.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "gil_release.h"

namespace shm {

// Longest wait between two checks for signals (Ctrl-C must get through).
inline constexpr long SLICE_NS = 200L * 1000 * 1000;

class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    ~Fd() { reset(); }

    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }
    bool valid() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

class Mapping {
public:
    Mapping() noexcept = default;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    Mapping(Mapping&& other) noexcept
        : addr_(std::exchange(other.addr_, nullptr)), length_(std::exchange(other.length_, 0)) {}
    Mapping& operator=(Mapping&& other) noexcept {
        if (this != &other) {
            reset();
            addr_ = std::exchange(other.addr_, nullptr);
            length_ = std::exchange(other.length_, 0);
        }
        return *this;
    }
    ~Mapping() { reset(); }

    // Maps `length` bytes of `fd` read-write and shared; false (errno set)
    // on failure. Nothing is faulted in: the object may be sparse, and only
    // the bytes an access touches may come into being.
    bool map(int fd, size_t length) noexcept { return map_at(fd, 0, length); }
    // Maps `length` bytes of `fd` from the page-aligned `offset`, as map().
    bool map_at(int fd, uint64_t offset, uint64_t length) noexcept {
        reset();
        if (length > SIZE_MAX || offset > static_cast<uint64_t>(INT64_MAX)) {
            errno = EINVAL;
            return false;
        }
        void* addr = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                            static_cast<off_t>(offset));
        if (addr == MAP_FAILED) {
            return false;
        }
        addr_ = addr;
        length_ = static_cast<size_t>(length);
        return true;
    }
    // Maps `fd` read-write and shared at its new `length`, keeping what is
    // mapped already (its page tables too) where it can; false (errno set)
    // with the old mapping kept on failure.
    bool remap(int fd, size_t length) noexcept {
        if (!addr_) {
            return map(fd, length);
        }
        void* addr = ::mremap(addr_, length_, length, MREMAP_MAYMOVE);
        if (addr == MAP_FAILED) {
            return false;
        }
        addr_ = addr;
        length_ = length;
        return true;
    }
    // In a fork child: the same addresses, now private zeros, so that the
    // mapping no longer keeps the parent's open file description (and the
    // locks held through it) alive.
    void replace_with_private() noexcept {
        if (addr_) {
            ::mmap(addr_, length_, PROT_READ | PROT_WRITE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        }
    }
    void reset() noexcept {
        if (addr_) {
            ::munmap(addr_, length_);
            addr_ = nullptr;
            length_ = 0;
        }
    }

    unsigned char* bytes() const noexcept { return static_cast<unsigned char*>(addr_); }
    template <typename T>
    T* as() const noexcept {
        return static_cast<T*>(addr_);
    }
    size_t length() const noexcept { return length_; }
    bool mapped() const noexcept { return addr_ != nullptr; }

private:
    void* addr_ = nullptr;
    size_t length_ = 0;
};

// This process's pid without a system call (the C library no longer caches
// it); a fork child learns its own in its fork handler, before anything else
// runs in it.
class ThisProcess {
public:
    static pid_t pid() noexcept { return pid_; }

private:
    static void refresh() noexcept { pid_ = ::getpid(); }
    static pid_t first_look() noexcept {
        pthread_atfork(nullptr, nullptr, refresh);
        return ::getpid();
    }
    static inline pid_t pid_ = first_look();
};

inline pid_t this_process() noexcept { return ThisProcess::pid(); }

// This thread's kernel id, looked up once. A fork child's only thread gets
// a new id; it also remembers the one it had in the parent.
class ThisThread {
public:
    static pid_t id() noexcept {
        if (id_ == 0) {
            id_ = static_cast<pid_t>(::syscall(SYS_gettid));
        }
        return id_;
    }
    static pid_t id_before_fork() noexcept { return id_before_fork_; }

private:
    static void forked() noexcept {
        id_before_fork_ = std::exchange(id_, 0);
    }
    static inline thread_local pid_t id_ = 0;
    static inline thread_local pid_t id_before_fork_ = 0;
    static inline const int registered_ = pthread_atfork(nullptr, nullptr, forked);
};

inline pid_t this_thread() noexcept { return ThisThread::id(); }

using gil::interpreter_finalizing;
using gil::take_gil_back;
using gil::without_gil;
using gil::without_gil_if_large;

// A locked process-shared mutex, unlocked through the same mapping it was
// locked through (the owner keeps that mapping alive until then).
class HeldMutex {
public:
    HeldMutex() noexcept = default;
    explicit HeldMutex(pthread_mutex_t* mutex) noexcept : mutex_(mutex) {}
    HeldMutex(const HeldMutex&) = delete;
    HeldMutex& operator=(const HeldMutex&) = delete;
    HeldMutex(HeldMutex&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
    HeldMutex& operator=(HeldMutex&& other) noexcept {
        if (this != &other) {
            unlock();
            mutex_ = std::exchange(other.mutex_, nullptr);
        }
        return *this;
    }
    ~HeldMutex() { unlock(); }

    bool held() const noexcept { return mutex_ != nullptr; }
    // Lets go of a mutex this thread does not own (one a fork child inherited
    // from its parent's state) without unlocking it.
    void forget() noexcept { mutex_ = nullptr; }
    void unlock() noexcept {
        if (mutex_) {
            pthread_mutex_unlock(mutex_);
            mutex_ = nullptr;
        }
    }

private:
    pthread_mutex_t* mutex_ = nullptr;
};

// Initialises a process-shared, robust, error-checking mutex; 0 or an errno.
inline int init_shared_mutex(pthread_mutex_t* mutex) noexcept {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0) {
        rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    }
    if (rc == 0) {
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    }
    if (rc == 0) {
        rc = pthread_mutex_init(mutex, &attr);
    }
    pthread_mutexattr_destroy(&attr);
    return rc;
}

// The bytes of a mutex that init_shared_mutex sets once and that the C
// library never changes afterwards for this kind: the kind word. The other
// bytes change as it is locked, or (the spin and elision counts, which only
// other kinds use) carry a slot's change counter, so the kind word is what
// tells our mutexes (and the objects that begin with one) from bytes that
// merely sit where one would.
inline constexpr size_t MUTEX_KIND_AT = offsetof(pthread_mutex_t, __data.__kind);
inline constexpr size_t MUTEX_KIND_LENGTH = sizeof(int);
static_assert(MUTEX_KIND_AT + MUTEX_KIND_LENGTH <= sizeof(pthread_mutex_t), "the kind bytes lie inside the mutex");

struct MutexKind {
    unsigned char bytes[MUTEX_KIND_LENGTH] = {};
    bool known = false;
};

// The kind bytes as this C library writes them for our mutexes.
inline const MutexKind& our_mutex_kind() noexcept {
    static const MutexKind kind = [] {
        MutexKind made;
        pthread_mutex_t mutex;
        if (init_shared_mutex(&mutex) == 0) {
            std::memcpy(made.bytes, reinterpret_cast<const unsigned char*>(&mutex) + MUTEX_KIND_AT, MUTEX_KIND_LENGTH);
            made.known = true;
            pthread_mutex_destroy(&mutex);
        }
        return made;
    }();
    return kind;
}

// Whether the 40 bytes at `mutex` are a mutex made by init_shared_mutex.
// Only bytes that never change after initialisation are read, so the answer
// does not depend on who holds the mutex.
inline bool made_as_shared_mutex(const void* mutex) noexcept {
    const MutexKind& kind = our_mutex_kind();
    return kind.known &&
           std::memcmp(static_cast<const unsigned char*>(mutex) + MUTEX_KIND_AT, kind.bytes, MUTEX_KIND_LENGTH) == 0;
}

inline timespec deadline_after(long nanoseconds) noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_nsec += nanoseconds;
    while (ts.tv_nsec >= 1000000000L) {
        ts.tv_nsec -= 1000000000L;
        ts.tv_sec += 1;
    }
    return ts;
}

inline bool earlier(const timespec& a, const timespec& b) noexcept {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The end of a wait slice that starts now: a slice later, or at `limit` (a
// caller's time limit, none when null) when that comes first, so that no
// wait overshoots a time limit by the rest of a slice.
inline timespec slice_end(const timespec* limit = nullptr) noexcept {
    const timespec end = deadline_after(SLICE_NS);
    return limit && earlier(*limit, end) ? *limit : end;
}

// Waits until `deadline` at the latest for a busy `mutex`; call it with the
// GIL released. 0, EOWNERDEAD, ETIMEDOUT or another errno, as
// pthread_mutex_clocklock.
inline int lock_until(pthread_mutex_t* mutex, const timespec& deadline) noexcept {
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
}

// Waits up to one slice for a busy `mutex`; call it with the GIL released.
inline int lock_within_slice(pthread_mutex_t* mutex) noexcept { return lock_until(mutex, slice_end()); }

// Completes a lock that returned `rc`: when the previous owner died holding
// the mutex, `repair()` mends the shared state before the mutex is marked
// consistent. 0 when the mutex is held and usable, or the errno.
template <typename Repair>
int mend_if_owner_died(pthread_mutex_t* mutex, int rc, Repair&& repair) noexcept {
    if (rc != EOWNERDEAD) {
        return rc;
    }
    repair();
    return pthread_mutex_consistent(mutex);
}

inline bool passed(const timespec& deadline) noexcept {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return !earlier(now, deadline);
}

// The deadline `timeout` seconds from now: false with an exception set when
// `timeout` is neither None (or absent: `limited` is then false) nor a
// non-negative number of seconds.
inline bool time_limit(PyObject* timeout, timespec& limit, bool& limited, const char* what = "timeout") {
    limited = timeout != nullptr && timeout != Py_None;
    if (!limited) {
        return true;
    }
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "%s must be a number of seconds or None, not %.200s", what,
                         Py_TYPE(timeout)->tp_name);
        }
        return false;
    }
    if (!(seconds >= 0.0) || !std::isfinite(seconds)) {
        PyErr_Format(PyExc_ValueError, "%s must be a non-negative, finite number of seconds or None", what);
        return false;
    }
    // Longer than any process lives, and far from where a timespec's
    // seconds overflow: a longer timeout waits as long.
    constexpr double LONGEST_SECONDS = 1e12;
    const double bounded = std::min(seconds, LONGEST_SECONDS);
    limit = deadline_after(0);
    const double whole = std::floor(bounded);
    limit.tv_sec += static_cast<time_t>(whole);
    limit.tv_nsec += static_cast<long>((bounded - whole) * 1e9);
    if (limit.tv_nsec >= 1000000000L) {
        limit.tv_nsec -= 1000000000L;
        limit.tv_sec += 1;
    }
    return true;
}

// Sets the exception for a robust lock that failed with `rc`.
inline void set_lock_error(int rc, const char* what) {
    if (rc == EDEADLK) {
        PyErr_Format(PyExc_RuntimeError,
                     "The lock of shared memory address '%s' is already held by this thread.", what);
    } else if (rc == ENOTRECOVERABLE) {
        PyErr_Format(PyExc_RuntimeError,
                     "The lock of shared memory address '%s' cannot be recovered: a process died "
                     "holding it.",
                     what);
    } else {
        PyErr_Format(PyExc_RuntimeError, "Failed to lock shared memory address '%s'.", what);
    }
}

// Takes `mutex` without ever blocking while holding the GIL: a try first,
// then timed waits with the GIL released, running signal handlers between
// slices; TimeoutError once `limit` (if given) passes. When the previous
// owner died, `repair()` mends the shared state before the mutex is marked
// consistent. On failure an exception naming `what` is set and an empty
// holder is returned.
template <typename Repair>
HeldMutex lock_robust(pthread_mutex_t* mutex, const char* what, Repair&& repair, const timespec* limit = nullptr) {
    int rc = pthread_mutex_trylock(mutex);
    while (rc == EBUSY || rc == ETIMEDOUT) {
        rc = without_gil([mutex, limit] { return lock_until(mutex, slice_end(limit)); });
        if (rc != ETIMEDOUT) {
            continue;
        }
        if (PyErr_CheckSignals() < 0) {
            return HeldMutex();
        }
        if (limit && passed(*limit)) {
            PyErr_Format(PyExc_TimeoutError, "Timed out waiting for the lock of shared memory address '%s'.", what);
            return HeldMutex();
        }
    }
    rc = mend_if_owner_died(mutex, rc, repair);
    if (rc == 0) {
        return HeldMutex(mutex);
    }
    set_lock_error(rc, what);
    return HeldMutex();
}

// Maps a shared-memory name to its file name in /dev/shm the way the C
// library does: leading slashes dropped; an empty name or an inner slash is
// refused with EINVAL, a name longer than a file name may be with ENAMETOOLONG.
inline bool shm_file_name(const char* name, std::string& file) {
    while (*name == '/') {
        ++name;
    }
    const size_t length = std::char_traits<char>::length(name);
    if (length == 0 || std::char_traits<char>::find(name, length, '/')) {
        errno = EINVAL;
        return false;
    }
    if (length > NAME_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    file.assign(name, length);
    return true;
}

// The full path of a name's file (see shm_file_name).
inline bool shm_path(const char* name, std::string& path) {
    if (!shm_file_name(name, path)) {
        return false;
    }
    path.insert(0, "/dev/shm/");
    return true;
}

// /dev/shm, kept open so that a name is looked up without walking the path
// to the directory again; -1 (lookups then fail with EBADF) if it is missing.
inline int shm_directory() {
    static const int fd = ::open("/dev/shm", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return fd;
}

// Opens an existing object read-write; -1 with errno on failure.
inline int open_existing(const char* name) {
    std::string path;
    if (!shm_path(name, path)) {
        return -1;
    }
    return ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
}

// Whether the file of a name (see shm_path) exists, as an exclusive create
// would see it.
inline bool name_exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Gives the bytes [offset, offset + length) of `fd` their pages before they
// are written, without changing its size: on tmpfs a page first comes into
// being when it is touched, and on a full file system that touch is a SIGBUS.
// False (errno set: ENOSPC, ENOMEM, EFBIG, ...) when the system refuses.
inline bool allocate_range(int fd, uint64_t offset, uint64_t length) noexcept {
    if (length == 0) {
        return true;
    }
    if (offset > static_cast<uint64_t>(INT64_MAX) || length > static_cast<uint64_t>(INT64_MAX) - offset) {
        errno = EFBIG;
        return false;
    }
    int rc;
    do {
        rc = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    // A file system that cannot allocate ahead leaves the pages to the copy.
    return rc == 0 || errno == EOPNOTSUPP;
}

// A new, empty object that nobody can open by name yet, with the mode bits
// `mark` beside the usual ones; invalid (errno set) on failure.
inline Fd create_unnamed(mode_t mark = 0) {
    return Fd(::open("/dev/shm", O_RDWR | O_TMPFILE | O_CLOEXEC, 0666 | mark));
}

// Gives an initialised unnamed object the file of its name (see shm_path);
// fails with EEXIST exactly like an exclusive create when another process
// took the name first.
inline bool publish(int fd, const std::string& path) {
    const std::string source = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace shm
