// A value slot's bytes: the 48-byte header (its capacity and its robust
// mutex) and the payload behind it, whose byte 0 says what it holds; and how
// a slot is told from other objects.
#pragma once
#include <pthread.h>
#include <sys/stat.h>

#include <cstdint>

#include "platform/shm_support.h"

namespace {

struct BasicShm {
    uint64_t max_size;
    pthread_mutex_t mutex;
};
static_assert(sizeof(BasicShm) == 48, "the slot header is part of the shared format");

constexpr uint64_t HEADER_SIZE = sizeof(BasicShm);

constexpr unsigned char PROTOCOL2_MARKER = 253;
// What payload byte 0 holds while a write copies the rest of the value: no
// protocol marker, so every reader meets the invalid-marker error, and not
// the zero of a slot made with room but never written, so a handle can tell
// a write interrupted by a process that died from an empty slot.
constexpr unsigned char WRITE_IN_PROGRESS = 0xFF;

// Whether an object of `size` bytes whose header reads `max_size` can be a
// slot. A larger object than the header says is a writer that died between
// growing it and storing the new capacity.
bool looks_like_slot(uint64_t size, uint64_t max_size) {
    return size >= HEADER_SIZE && max_size <= size - HEADER_SIZE;
}

bool object_size(int fd, uint64_t& size) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

// Whether the object open as `fd`, measured at `size` bytes, with `header`
// as its first bytes (`max_size` read from them once), is one of our slots:
// its mutex is one we made and its size agrees with its capacity. Made before
// the mutex is touched, so that another kind of object is never locked or
// written. A header that describes more than the object measured earlier may
// come from a writer that grew the slot since then (the object grows before
// its capacity is stored), so the object is measured again before that
// counts against it.
bool recognised_as_slot(int fd, uint64_t size, const BasicShm* header, uint64_t max_size) {
    if (size < HEADER_SIZE || !shm::made_as_shared_mutex(&header->mutex)) {
        return false;
    }
    if (max_size > size - HEADER_SIZE && !object_size(fd, size)) {
        return false;
    }
    return looks_like_slot(size, max_size);
}

}  // namespace
