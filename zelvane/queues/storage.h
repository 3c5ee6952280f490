// Named queues: a queue's file made, and its extents allocated and given back.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "layouts/queue.h"
#include "platform/shm_support.h"
#include "platform/temporary.h"

namespace {
namespace queues {

// Extents are mapped shared from their page-aligned offsets (map_at).
using ExtentView = shm::Mapping;

// Gives the pages of [offset, offset + length) back to the system, with the
// GIL let go when they are many (it is held on entry).
void punch(int fd, uint64_t offset, uint64_t length) {
    if (length != 0) {
        shm::without_gil_if_large(length, [fd, offset, length] {
            ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                        static_cast<off_t>(length));
        });
    }
}

// Under the mutex: a new extent of `length` bytes (page-aligned) at the heap's
// end, its pages allocated, so that writing it cannot meet a full /dev/shm.
// Allocating many pages takes as long as filling them: the GIL is let go
// for a large extent (the mutex's other waiters in this process wait
// without it). 0 with errno set when the system refuses; the heap is then
// as it was.
uint64_t allocate_extent(int fd, QueueShm* q, uint64_t length) {
    const uint64_t offset = q->heap_end;
    const uint64_t size = round_page(length);
    if (size < length || offset > static_cast<uint64_t>(INT64_MAX) - size) {
        errno = EFBIG;
        return 0;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return 0;
    }
    const uint64_t end = offset + size;
    if (static_cast<uint64_t>(st.st_size) < end && ::ftruncate(fd, static_cast<off_t>(end)) != 0) {
        return 0;
    }
    if (!shm::without_gil_if_large(size, [fd, offset, size] { return shm::allocate_range(fd, offset, size); })) {
        const int error = errno;
        punch(fd, offset, size);
        errno = error;
        return 0;
    }
    q->heap_end = end;
    return offset;
}

// --- Creation ---------------------------------------------------------------------

enum class Creation { Created, NameTaken, Failed };

Creation queue_not_created(const char* format, const char* name) {
    PyErr_Format(PyExc_MemoryError, format, name);
    return Creation::Failed;
}

bool write_queue_header(int fd, uint64_t maxsize) {
    shm::Mapping header;
    if (!header.map(fd, HEADER_BYTES)) {
        return false;
    }
    QueueShm* q = header.as<QueueShm>();
    if (shm::init_shared_mutex(&q->mutex) != 0) {
        return false;
    }
    std::memcpy(q->magic, QUEUE_MAGIC, sizeof QUEUE_MAGIC);
    q->layout = LAYOUT_VERSION;
    q->maxsize = maxsize;
    q->rings[0] = RingShape{HEADER_BYTES, FIRST_RING, 0};
    q->heap_end = HEADER_BYTES + FIRST_RING;
    return true;
}

// Makes an empty queue under `path` and leaves it open in `fd`: built
// unnamed, its header and first ring allocated, and linked under the name
// only once complete (see create_array). A temporary queue is marked and
// held by this process before it is linked.
Creation create_queue(const char* name, const std::string& path, uint64_t maxsize, shm::Fd& fd,
                      bool is_temporary = false) {
    fd = shm::create_unnamed(is_temporary ? temporary::MARK : 0);
    if (!fd.valid()) {
        return queue_not_created("Failed to create memory address '%s'.", name);
    }
    const uint64_t size = HEADER_BYTES + FIRST_RING;
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0 || !shm::allocate_range(fd.get(), 0, size)) {
        return queue_not_created("Failed to allocate for shared memory address '%s'.", name);
    }
    if (!write_queue_header(fd.get(), maxsize)) {
        return queue_not_created("Failed to initialize mutex for shared memory address '%s'.", name);
    }
    if (is_temporary && !temporary::take_holder_lock(fd.get())) {
        return queue_not_created("Failed to create memory address '%s'.", name);
    }
    if (!shm::publish(fd.get(), path)) {
        if (errno == EEXIST) {
            return Creation::NameTaken;
        }
        return queue_not_created("Failed to create memory address '%s'.", name);
    }
    return Creation::Created;
}

}  // namespace queues
}  // namespace
