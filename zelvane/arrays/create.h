// Named shared arrays: how an array is made.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "layouts/array.h"
#include "platform/errors.h"
#include "platform/shm_support.h"
#include "platform/temporary.h"
#include "prefault.h"

namespace {

// Writes the header of a new array into its first data-offset bytes; false
// when its mutex cannot be made.
bool write_array_header(unsigned char* bytes, const ArrayLayout& layout) {
    ArrayShm* header = reinterpret_cast<ArrayShm*>(bytes);
    if (shm::init_shared_mutex(&header->mutex) != 0) {
        return false;
    }
    std::memcpy(header->magic, ARRAY_MAGIC, sizeof ARRAY_MAGIC);
    header->data_offset = layout.data_offset;
    std::memcpy(header->format, layout.format, ARRAY_FORMAT_SIZE);
    header->itemsize = layout.itemsize;
    header->ndim = layout.ndim;
    header->nbytes = layout.nbytes;
    for (uint32_t axis = 0; axis < layout.ndim; ++axis) {
        const uint64_t extent = static_cast<uint64_t>(layout.shape[axis]);
        std::memcpy(bytes + ARRAY_SHAPE_AT + 8 * axis, &extent, sizeof extent);
    }
    return true;
}

enum class ArrayCreation { Created, NameTaken, Failed };

ArrayCreation array_not_created(const char* format, const char* name) {
    memory_error(format, name);
    return ArrayCreation::Failed;
}

// Makes a zero-filled array of `layout` under `path` and leaves it open in
// `fd`. It is built unnamed, every byte allocated, and linked under the name
// only once its header is complete: nobody sees it half made, a creator that
// dies part-way or meets a full /dev/shm leaves nothing behind, and of two
// creators of one name the second learns that the name is taken. A
// temporary array is marked and held by this process before it is linked.
ArrayCreation create_array(const char* name, const std::string& path, const ArrayLayout& layout, shm::Fd& fd,
                           bool is_temporary = false) {
    fd = shm::create_unnamed(is_temporary ? temporary::MARK : 0);
    if (!fd.valid()) {
        return array_not_created("Failed to create memory address '%s'.", name);
    }
    const uint64_t size = layout.object_size();
    // A large array's pages take milliseconds to allocate: without the GIL
    // (nobody else can reach the unnamed object yet).
    const auto allocate = [&fd, size] {
        return ::ftruncate(fd.get(), static_cast<off_t>(size)) == 0 && shm::allocate_range(fd.get(), 0, size);
    };
    if (!(size >= LARGE_COPY ? shm::without_gil(allocate) : allocate())) {
        return array_not_created("Failed to allocate for shared memory address '%s'.", name);
    }
    {
        shm::Mapping header;
        if (!header.map(fd.get(), layout.data_offset)) {
            return array_not_created("Failed to map shared memory address '%s'.", name);
        }
        if (!write_array_header(header.bytes(), layout)) {
            return array_not_created("Failed to initialize mutex for shared memory address '%s'.", name);
        }
    }
    if (is_temporary && !temporary::take_holder_lock(fd.get())) {
        return array_not_created("Failed to create memory address '%s'.", name);
    }
    if (!shm::publish(fd.get(), path)) {
        if (errno == EEXIST) {
            return ArrayCreation::NameTaken;
        }
        return array_not_created("Failed to create memory address '%s'.", name);
    }
    return ArrayCreation::Created;
}

}  // namespace
