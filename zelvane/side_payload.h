// Payloads too large for a function record's message area. Each calling
// handle owns an unnamed memory file, its buffer, readable and writable by
// this user alone and sealed against shrinking: the caller writes large
// arguments into it and posts a small message naming it; the server opens it
// through /proc (while the caller, waiting, keeps it open), checks that it is
// that very file, decodes the arguments from a read-only mapping and writes a
// large result back into it. Nothing has a name, so whatever dies takes its
// payload with it, and a buffer is reused from call to call, so its pages
// are not made afresh each time.
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
#include "shm_support.h"

namespace {

// The codec starts every encoding with 253 or 254, never with this.
constexpr unsigned char OUTSIDE_MARKER = 252;

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
// A buffer that grew beyond this is not kept once its call has ended.
constexpr uint64_t KEPT_BUFFER_MAX = uint64_t{16} << 20;

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

// A calling side's buffer, of the process that made it, and its view for
// reading results, kept between calls (mapping afresh costs more than a copy
// of a small payload).
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

// Writes `data` at the start of the file `fd`, its pages had first (unless
// `allocated` says they are) so that a refusal (no memory) costs no copy and
// pwrite fills them without a mapping: false with errno set on failure. Runs
// without the GIL.
bool store_payload(int fd, const unsigned char* data, size_t size, uint64_t allocated = 0) noexcept {
    if (size > allocated && !shm::allocate_range(fd, 0, size)) {
        return false;
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The message naming `length` bytes of arguments in `buffer`.
OutsideMessage request_message(const CallBuffer& buffer, uint64_t length) {
    OutsideMessage message = outside_message(Outside::Payload, length);
    message.pid = static_cast<uint32_t>(buffer.owner);
    message.fd = buffer.fd.get();
    message.device = buffer.device;
    message.inode = buffer.inode;
    return message;
}

// Opens the buffer `message` names for reading and writing; invalid with
// `error` set when it cannot be opened (another user's process, a process
// that has gone) or is not the sealed file of at least `length` bytes that
// was named. Makes only system calls, so it may run under a record's mutex
// without the GIL.
shm::Fd open_buffer(const OutsideMessage& message, uint64_t length, int& error) noexcept {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%u/fd/%d", message.pid, message.fd);
    shm::Fd fd(::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) {
        error = errno;
        return fd;
    }
    struct stat st;
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

// Decodes a result of `length` bytes from this process's own buffer, through
// its view, which is widened to the buffer's size first when it is too short.
PyObject* decode_result(CallBuffer& buffer, uint64_t length) {
    if (buffer.view.length() < length) {
        struct stat st;
        if (::fstat(buffer.fd.get(), &st) != 0 || static_cast<uint64_t>(st.st_size) < length ||
            static_cast<uint64_t>(st.st_size) > SIZE_MAX) {
            PyErr_SetString(PyExc_RuntimeError, "The result of a call is shorter than its message says.");
            return nullptr;
        }
        const bool mapped = shm::without_gil(
            [&] { return buffer.view.map_read_only(buffer.fd.get(), static_cast<size_t>(st.st_size)); });
        if (!mapped) {
            PyErr_SetString(PyExc_MemoryError, "Failed to map the result of a call.");
            return nullptr;
        }
    }
    buffer.allocated = std::max(buffer.allocated, length);  // the server had those pages before it wrote
    return to_value_range(buffer.view.bytes(), length);
}

// Decodes the first `length` bytes of the file `fd` straight from a read-only
// mapping; null with an exception set on failure. The file is sealed against
// shrinking, so once it holds that many bytes it always will.
PyObject* decode_payload(int fd, uint64_t length) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < length) {
        PyErr_SetString(PyExc_RuntimeError, "The payload of a call is shorter than its message says.");
        return nullptr;
    }
    if (length > SIZE_MAX) {
        PyErr_SetString(PyExc_MemoryError, "The payload is too large to map.");
        return nullptr;
    }
    void* addr = shm::without_gil(
        [&] { return ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0); });
    if (addr == MAP_FAILED) {
        PyErr_SetString(PyExc_MemoryError, "Failed to map the payload of a call.");
        return nullptr;
    }
    PyObject* value = to_value_range(static_cast<const unsigned char*>(addr), length);
    ::munmap(addr, length);
    return value;
}

}  // namespace
