// Payloads too large for a function record's message area. Each calling
// handle owns an unnamed memory file, its buffer, readable and writable by
// this user alone and sealed against shrinking: the caller encodes large
// arguments straight into it and posts a small message naming it; the server
// opens it through /proc (while the caller, waiting, keeps it open), checks
// that it is that very file, decodes the arguments from its mapping and
// encodes a large result straight back into it. Nothing has a name, so
// whatever dies takes its payload with it, and a buffer and the caller's
// mapping of it are reused from call to call, so its pages are not made
// afresh each time.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "kel_2.h"
#include "layouts/record.h"
#include "platform/shm_support.h"
#include "prefault.h"

namespace {

// What a message starting with OUTSIDE_MARKER says.
enum class Outside : uint8_t {
    Payload = 1,      // request: the arguments are in the file `fd` of process `pid`;
                      // reply: the result is in the caller's buffer
    Unreadable = 2,   // the server could not open the caller's buffer (`error`)
    NoRoom = 3,       // the server could not store its result of `length` bytes (`error`)
};

struct OutsideMessage {
    uint8_t marker;
    uint8_t kind;
    uint8_t unused[2];
    uint32_t pid;
    int32_t fd;
    int32_t error;
    uint64_t length;
    // Identify the file, so that a descriptor number reused meanwhile (its
    // process died) is never taken for it. A device of 0: the inode's low
    // 32 bits only are known.
    uint64_t device;
    uint64_t inode;
};

// A buffer can never shrink under a reader's mapping (which would be a SIGBUS).
constexpr int BUFFER_SEALS = F_SEAL_SHRINK;
// A caller keeps a buffer up to this size between calls, and a larger one
// while its calls use a good part of it (so that a loop of large calls does
// not make and zero its pages afresh each time, but a large call followed by
// small ones gives them back). The serving side keeps its mapping by the
// same rule.
constexpr uint64_t KEPT_BUFFER_MAX = uint64_t{16} << 20;

// Whether a caller keeps its buffer of `size` bytes after a call that used
// `used` of them.
constexpr bool worth_keeping(uint64_t size, uint64_t used) { return size <= KEPT_BUFFER_MAX || used >= size / 4; }

OutsideMessage outside_message(Outside kind, uint64_t length, int error = 0) {
    OutsideMessage message{};
    message.marker = OUTSIDE_MARKER;
    message.kind = static_cast<uint8_t>(kind);
    message.length = length;
    message.error = error;
    return message;
}

bool is_outside(const unsigned char* area) { return area[0] == OUTSIDE_MARKER; }

OutsideMessage read_outside(const unsigned char* area) {
    OutsideMessage message;
    std::memcpy(&message, area, sizeof message);
    return message;
}

// A calling side's buffer, of the process that made it, and its mapping,
// kept between calls (mapping afresh costs more than a copy of a small
// payload).
struct CallBuffer {
    shm::Fd fd;
    shm::Mapping view;
    uint64_t device = 0;
    uint64_t inode = 0;
    // Its first bytes known to have their pages (they are never given back).
    uint64_t allocated = 0;
    pid_t owner = 0;

    bool usable() const { return fd.valid() && owner == shm::this_process(); }
};

// A new buffer; false (errno set) when the system refuses.
bool make_buffer(CallBuffer& buffer) noexcept {
    shm::Fd fd(::memfd_create("zelvane-payload", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    struct stat st;
    if (!fd.valid() || ::fchmod(fd.get(), 0600) != 0 || ::fcntl(fd.get(), F_ADD_SEALS, BUFFER_SEALS) != 0 ||
        ::fstat(fd.get(), &st) != 0) {
        return false;
    }
    buffer.fd = std::move(fd);
    buffer.device = st.st_dev;
    buffer.inode = st.st_ino;
    buffer.owner = shm::this_process();
    return true;
}

// Widens `view` to the whole memory file `fd` when it covers less than
// `size` bytes, first lengthening the file (by half again, so that a growing
// encoding remaps rarely) when it is shorter. false (errno set) on failure.
bool cover(int fd, shm::Mapping& view, uint64_t size) noexcept {
    if (size <= view.length()) {
        return true;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    uint64_t length = static_cast<uint64_t>(st.st_size);
    if (length < size) {
        const uint64_t wanted = std::max(size, length + length / 2);
        if (wanted > std::min<uint64_t>(SIZE_MAX, INT64_MAX) - page) {
            errno = EFBIG;
            return false;
        }
        length = (wanted + page - 1) & ~(page - 1);
        if (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
            return false;
        }
    }
    if (length > SIZE_MAX) {
        errno = EFBIG;
        return false;
    }
    return view.remap(fd, static_cast<size_t>(length));
}

// Makes the first `size` bytes of the memory file `fd`, mapped by `view`,
// ready for a copy: covered, their pages allocated beyond the `allocated`
// known to have them (so that a refusal is an error, never a fault) and, for
// a large copy, mapped in at once. false (errno set) on failure.
bool make_room(int fd, shm::Mapping& view, uint64_t& allocated, uint64_t size) noexcept {
    if (!cover(fd, view, size)) {
        return false;
    }
    if (size > allocated) {
        if (!shm::allocate_range(fd, allocated, size - allocated)) {
            return false;
        }
        if (size - allocated >= LARGE_COPY) {
            populate_for_copy(view.bytes() + allocated, static_cast<size_t>(size - allocated));
        }
        allocated = size;
    }
    return true;
}

// Gives `area`, an encoding area over the memory file `fd` mapped by
// `view`, room for `size` bytes: 0, or the errno of the refusal. The view
// may move, also when it fails, so the area follows it either way. The GIL
// is let go only when the encoding asks `when` it holds no pointer into an
// object that another thread could free or resize meanwhile.
int grow_file_area(EncodeArea& area, int fd, shm::Mapping& view, uint64_t& allocated, size_t size,
                   EncodeArea::When when) {
    const auto room = [&] { return make_room(fd, view, allocated, size); };
    const bool done = when == EncodeArea::When::Start ? shm::without_gil(room) : room();
    const int error = done ? 0 : errno;
    area.data = view.bytes();
    area.capacity = static_cast<size_t>(std::min<uint64_t>(view.length(), allocated));
    return error;
}

// A calling side's buffer as the area its arguments are encoded into; a
// refusal leaves its errno in `error`.
struct ArgumentArea {
    explicit ArgumentArea(CallBuffer& call_buffer) : buffer(call_buffer) {
        area.data = buffer.view.bytes();
        area.capacity = static_cast<size_t>(std::min<uint64_t>(buffer.view.length(), buffer.allocated));
        area.grow = grow;
        area.owner = this;
    }
    ArgumentArea(const ArgumentArea&) = delete;
    ArgumentArea& operator=(const ArgumentArea&) = delete;

    CallBuffer& buffer;
    EncodeArea area;
    int error = 0;

private:
    static bool grow(EncodeArea& area, size_t size, EncodeArea::When when) {
        ArgumentArea& self = *static_cast<ArgumentArea*>(area.owner);
        self.error =
            grow_file_area(area, self.buffer.fd.get(), self.buffer.view, self.buffer.allocated, size, when);
        return self.error == 0;
    }
};

// The message naming `length` bytes of arguments in `buffer`.
OutsideMessage request_message(const CallBuffer& buffer, uint64_t length) {
    OutsideMessage message = outside_message(Outside::Payload, length);
    message.pid = static_cast<uint32_t>(buffer.owner);
    message.fd = buffer.fd.get();
    message.device = buffer.device;
    message.inode = buffer.inode;
    return message;
}

// Opens the buffer `message` names for reading and writing (its status in
// `st`); invalid with `error` set when it cannot be opened (another user's
// process, a process that has gone) or is not the sealed file of at least
// `length` bytes that was named. Makes only system calls, so it may run
// under a record's mutex without the GIL.
shm::Fd open_buffer(const OutsideMessage& message, uint64_t length, int& error, struct stat& st) noexcept {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%u/fd/%d", message.pid, message.fd);
    shm::Fd fd(::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) {
        error = errno;
        return fd;
    }
    if (::fstat(fd.get(), &st) != 0) {
        error = errno;
        return shm::Fd();
    }
    const int seals = ::fcntl(fd.get(), F_GET_SEALS);
    const bool same_file = message.device == 0
                               ? static_cast<uint32_t>(st.st_ino) == message.inode
                               : st.st_dev == message.device && st.st_ino == message.inode;
    if (!S_ISREG(st.st_mode) || !same_file || static_cast<uint64_t>(st.st_size) < length || seals < 0 ||
        (seals & BUFFER_SEALS) != BUFFER_SEALS) {
        error = EINVAL;
        return shm::Fd();
    }
    return fd;
}

// A caller's buffer as the serving side maps it.
struct MappedBuffer {
    uint32_t pid = 0;  // the caller, and its descriptor of the buffer
    int32_t fd = -1;
    uint64_t device = 0;
    uint64_t inode = 0;  // 0 for none
    shm::Mapping view;
    uint64_t allocated = 0;  // its first bytes this side had allocated
    uint64_t last_used = 0;  // by the count of lookups
    time_t used_at = 0;      // in coarse monotonic seconds
};

// The callers' buffers that the serving side has mapped, kept between
// exchanges so that a caller's next large call finds the mapping and its
// pages ready. A buffer is found by its file, after it was opened afresh
// through /proc (which proves that its caller still holds it). Few are kept,
// none that its caller does not keep, none of an exchange its caller gave
// up, none unused for a second or two, and none once serving has been idle
// for a slice: a caller that died leaves little mapped, and not for long.
class MappedBuffers {
public:
    // The entry of the buffer `message` names, whose file has status `st`:
    // the one kept, or the least recently used one, emptied for it. The
    // caller's pid and descriptor count too, so that an inode number used
    // again while an entry of a caller that died is kept (they are not
    // unique on the memory files' mount) cannot lead to its mapping.
    MappedBuffer& of(const OutsideMessage& message, const struct stat& st) {
        MappedBuffer* oldest = &entries_[0];
        for (MappedBuffer& entry : entries_) {
            if (entry.inode == st.st_ino && entry.device == st.st_dev && entry.pid == message.pid &&
                entry.fd == message.fd) {
                entry.last_used = ++clock_;
                entry.used_at = coarse_seconds();
                return entry;
            }
            if (entry.last_used < oldest->last_used) {
                oldest = &entry;
            }
        }
        forget(*oldest);
        oldest->pid = message.pid;
        oldest->fd = message.fd;
        oldest->device = st.st_dev;
        oldest->inode = st.st_ino;
        oldest->last_used = ++clock_;
        oldest->used_at = coarse_seconds();
        return *oldest;
    }

    // For every request served: now and then, what has not been used for a
    // second or more goes (a caller that died while others keep serving busy).
    void note_request() {
        if (++requests_ % 64 != 0) {
            return;
        }
        const time_t now = coarse_seconds();
        for (MappedBuffer& entry : entries_) {
            if (entry.inode != 0 && now - entry.used_at > 1) {
                forget(entry);
            }
        }
    }

    // At the end of an exchange that used `used` bytes of the buffer; one
    // whose caller gave up, or that the caller will not keep, goes.
    void done_with(MappedBuffer& entry, bool delivered, uint64_t used) {
        if (!delivered || !worth_keeping(entry.view.length(), used)) {
            forget(entry);
        }
    }

    void forget_all() {
        for (MappedBuffer& entry : entries_) {
            forget(entry);
        }
    }

private:
    static void forget(MappedBuffer& entry) {
        entry.view.reset();
        entry.pid = 0;
        entry.fd = -1;
        entry.device = 0;
        entry.inode = 0;
        entry.allocated = 0;
        entry.last_used = 0;
        entry.used_at = 0;
    }

    static time_t coarse_seconds() {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        return now.tv_sec;
    }

    MappedBuffer entries_[4];
    uint64_t clock_ = 0;
    uint32_t requests_ = 0;
};

// Decodes the first `length` bytes of the memory file `fd` (the `what` of
// a call) through `view`, which is widened to the whole file first when it
// covers less; null with an exception set on failure. The file is sealed
// against shrinking, so once it holds that many bytes it always will.
PyObject* decode_from_file(int fd, shm::Mapping& view, uint64_t length, const char* what) {
    if (view.length() < length) {
        struct stat st;
        if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < length) {
            PyErr_Format(PyExc_RuntimeError, "The %s of a call is shorter than its message says.", what);
            return nullptr;
        }
        const bool mapped = static_cast<uint64_t>(st.st_size) <= SIZE_MAX &&
                            shm::without_gil([&] { return view.remap(fd, static_cast<size_t>(st.st_size)); });
        if (!mapped) {
            PyErr_Format(PyExc_MemoryError, "Failed to map the %s of a call.", what);
            return nullptr;
        }
    }
    // Only this call uses the buffer and its mapping: large copies out of it
    // may let the GIL go.
    return to_value_range(view.bytes(), length, true);
}

}  // namespace
