// Payloads too large for a function record's message area: one side writes
// the encoding into an unnamed, sealed memory file of its own and posts a
// small message naming it; the other side opens it through /proc, checks it
// is that very file, maps it read-only, decodes and closes it. Nothing has a
// name, so a process that dies takes its payload with it.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kel_2.h"
#include "shm_support.h"

namespace {

// The codec starts every encoding with 253 or 254, never with this.
constexpr unsigned char OUTSIDE_MARKER = 252;

// What a message starting with OUTSIDE_MARKER says.
enum class Outside : uint8_t {
    Payload = 1,     // the encoding is in the file `fd` of process `pid`
    Unreadable = 2,  // the server could not open the caller's payload (`error`)
    NoRoom = 3,      // the server could not store its result of `length` bytes (`error`)
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
    // process died, or closed it) is never read in its place.
    uint64_t device;
    uint64_t inode;
};

// A payload is sealed before it is posted: nobody can shrink it under a
// reader's mapping (a SIGBUS), grow it, or change it.
constexpr int PAYLOAD_SEALS = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

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

// Writes `data` into a new sealed memory file readable by this user alone and
// fills `message` to name it; invalid (errno set) when the system refuses,
// for instance for want of memory. Runs without the GIL.
shm::Fd write_payload(const unsigned char* data, size_t size, OutsideMessage& message) noexcept {
    shm::Fd fd(::memfd_create("zelvane-payload", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd.valid()) {
        return fd;
    }
    // The pages are had before anything is copied, so that a refusal costs
    // no copy; pwrite then fills them without mapping the file here.
    if (::fchmod(fd.get(), 0600) != 0 || !shm::allocate_range(fd.get(), 0, size)) {
        return shm::Fd();
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd.get(), data + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return shm::Fd();
        }
        done += static_cast<size_t>(n);
    }
    struct stat st;
    if (::fcntl(fd.get(), F_ADD_SEALS, PAYLOAD_SEALS | F_SEAL_SEAL) != 0 || ::fstat(fd.get(), &st) != 0) {
        return shm::Fd();
    }
    message = outside_message(Outside::Payload, size);
    message.pid = static_cast<uint32_t>(shm::this_process());
    message.fd = fd.get();
    message.device = st.st_dev;
    message.inode = st.st_ino;
    return fd;
}

// Opens the payload `message` names, read-only; invalid with `error` set when
// it cannot be opened (another user's process, a process that has gone) or is
// not the sealed file of at least the stated length that was posted. Makes
// only system calls, so it may run under a record's mutex without the GIL.
shm::Fd open_payload(const OutsideMessage& message, int& error) noexcept {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%u/fd/%d", message.pid, message.fd);
    shm::Fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) {
        error = errno;
        return fd;
    }
    struct stat st;
    const int seals = ::fcntl(fd.get(), F_GET_SEALS);
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != message.device ||
        st.st_ino != message.inode || static_cast<uint64_t>(st.st_size) < message.length || seals < 0 ||
        (seals & PAYLOAD_SEALS) != PAYLOAD_SEALS) {
        error = EINVAL;
        return shm::Fd();
    }
    return fd;
}

// Decodes the `length` bytes of an opened payload straight from a read-only
// mapping, then closes it; null with an exception set on failure.
PyObject* decode_payload(shm::Fd& fd, uint64_t length) {
    if (length > SIZE_MAX) {
        PyErr_SetString(PyExc_MemoryError, "The payload is too large to map.");
        return nullptr;
    }
    void* addr = shm::without_gil([&] {
        return ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd.get(), 0);
    });
    fd.reset();
    if (addr == MAP_FAILED) {
        PyErr_SetString(PyExc_MemoryError, "Failed to map the payload of a call.");
        return nullptr;
    }
    PyObject* value = to_value_range(static_cast<const unsigned char*>(addr), length);
    ::munmap(addr, length);
    return value;
}

}  // namespace
