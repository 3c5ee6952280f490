// What an object in /dev/shm is, told by its content alone, and the removal
// of an object only when it is the kind of ours that the remover expects.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "layouts/array.h"
#include "layouts/queue.h"
#include "layouts/record.h"
#include "layouts/slot.h"
#include "platform/ofd_locks.h"
#include "platform/shm_support.h"

namespace {

enum class ObjectKind { Foreign, Slot, Function, Array, Queue };

// What the object open as `fd` is, told by its content, which is only read;
// `st` receives its status.
ObjectKind recognise_object(int fd, struct stat& st) {
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return ObjectKind::Foreign;
    }
    unsigned char head[std::max({RECORD_RECOGNISED_BYTES, ARRAY_HEADER_MAX, size_t{queues::HEADER_BYTES}})];
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    if (got <= 0) {
        return ObjectKind::Foreign;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    ArrayLayout layout;
    if (recognised_as_array(head, static_cast<size_t>(got), size, layout)) {
        return ObjectKind::Array;
    }
    if (queues::recognised_as_queue(head, static_cast<size_t>(got), size)) {
        return ObjectKind::Queue;
    }
    BasicShm header;
    if (got >= static_cast<ssize_t>(sizeof header)) {
        std::memcpy(&header, head, sizeof header);
        if (recognised_as_slot(fd, size, &header, header.max_size)) {
            return ObjectKind::Slot;
        }
    }
    if (got >= static_cast<ssize_t>(RECORD_RECOGNISED_BYTES) && recognised_as_record(head) &&
        record_size_fits(head, size)) {
        return ObjectKind::Function;
    }
    return ObjectKind::Foreign;
}

enum class Removal { Removed, Gone, Served, Other, Failed };

// Removes the object at `path` if it is one of ours of `kind`, a function
// record only when its servers are dead: Gone when the name leads nowhere or
// no longer to the object recognised, Failed with errno set when the system
// refuses. Taking the dead servers' locks is what entitles a process to
// remove a record: a live server, or another process taking the record over
// or removing it at the same moment, holds it; and the name is checked to
// still lead to the locked record before it goes. Of a pool's server range,
// only the bytes no reader holds are taken: byte SERVER_LOCK_BYTE, which no
// pool server takes, keeps two removers apart however much of it readers
// hold.
Removal remove_recognised(const std::string& path, ObjectKind kind) {
    shm::Fd fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return errno == ENOENT ? Removal::Gone : Removal::Failed;
    }
    struct stat st;
    if (recognise_object(fd.get(), st) != kind) {
        return Removal::Other;
    }
    if (kind == ObjectKind::Function &&
        (!take_write_lock(fd.get(), SERVER_LOCK_BYTE) || !take_pool_range(fd.get()))) {
        return Removal::Served;
    }
    struct stat named;
    if (::lstat(path.c_str(), &named) != 0 || named.st_dev != st.st_dev || named.st_ino != st.st_ino) {
        return Removal::Gone;
    }
    if (::unlink(path.c_str()) != 0) {
        return errno == ENOENT ? Removal::Gone : Removal::Failed;
    }
    return Removal::Removed;
}

}  // namespace
