// Open-file-description locks on single bytes or ranges of an object, the
// way zelvane tells which processes are alive or hold an object. The kernel
// drops them when the description's last descriptor closes, however its
// process ends; a write lock needs a descriptor opened for writing, so a
// process that may only read an object cannot fake one.
#pragma once
#include <fcntl.h>
#include <sys/types.h>

namespace {

struct flock one_byte(short type, off_t byte) noexcept {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return lock;
}

struct flock byte_range(short type, off_t start, off_t length) noexcept {
    struct flock lock = one_byte(type, start);
    lock.l_len = length;
    return lock;
}

bool take_write_lock(int fd, off_t byte, off_t length = 1) noexcept {
    struct flock lock = byte_range(F_WRLCK, byte, length);
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether another open file description holds a write lock on a byte of
// [start, start + length).
bool write_locked_elsewhere(int fd, off_t start, off_t length = 1) noexcept {
    struct flock lock = byte_range(F_WRLCK, start, length);
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_WRLCK;
}

}  // namespace
