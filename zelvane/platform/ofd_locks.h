// Open-file-description locks on single bytes or ranges of an object, the
// way zelvane tells which processes are alive or hold an object. The kernel
// drops them when the description's last descriptor closes, however its
// process ends; a write lock needs a descriptor opened for writing, so a
// process that may only read an object cannot fake one.
#pragma once
#include <fcntl.h>
#include <sys/types.h>

#include <algorithm>

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
// [start, start + length). Asked as a read lock, which only a write lock
// conflicts with: the kernel answers with any one conflicting lock, so asked
// as a write lock it could answer with a read lock that anyone who may read
// the file can take on a free byte, and hide a write lock beside it.
bool write_locked_elsewhere(int fd, off_t start, off_t length = 1) noexcept {
    struct flock lock = byte_range(F_RDLCK, start, length);
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_WRLCK;
}

// The number of write locks that other open file descriptions hold on
// [start, end): each found one splits the range, since the kernel answers
// with any of them, not the first.
long write_locks_elsewhere(int fd, off_t start, off_t end) noexcept {
    if (start >= end) {
        return 0;
    }
    struct flock lock = byte_range(F_RDLCK, start, end - start);
    if (::fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_WRLCK) {
        return 0;
    }
    const off_t lock_end = lock.l_len == 0 ? end : std::min(end, lock.l_start + lock.l_len);
    return 1 + write_locks_elsewhere(fd, start, std::max(start, lock.l_start)) +
           write_locks_elsewhere(fd, lock_end, end);
}

// Takes write locks on every byte of [start, end) that no read lock of
// another open file description covers; false when another holds a write
// lock there (or one came meanwhile). So a reader's locks on free bytes
// keep nobody from a range that no live process holds.
bool take_write_lock_around_readers(int fd, off_t start, off_t end) noexcept {
    if (start >= end) {
        return true;
    }
    struct flock lock = byte_range(F_WRLCK, start, end - start);
    if (::fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type == F_WRLCK) {
        return false;
    }
    if (lock.l_type == F_UNLCK) {
        return take_write_lock(fd, start, end - start);
    }
    const off_t lock_end = lock.l_len == 0 ? end : std::min(end, lock.l_start + lock.l_len);
    return take_write_lock_around_readers(fd, start, std::max(start, lock.l_start)) &&
           take_write_lock_around_readers(fd, lock_end, end);
}

}  // namespace
