// Named shared arrays in /dev/shm: the object's layout and how a header is
// recognised.
//
// An array object (integers native, little-endian on x86-64):
//
//   offset  size     field
//   0       8        magic "zelvarr" and 0xA1. Byte 7 has its top bit set, so
//                    read as a slot's max_size it exceeds any object's size
//                    (a slot check refuses it), and no slot, whose max_size is
//                    below its size, nor function record, whose bytes 4-7 are
//                    a mutex's zero count, reads as an array.
//   8       8        data offset: 88 + 8 * ndim rounded up to 64
//   16      8        format, NUL-padded ("d", "Zd"): ASCII where a function
//                    record keeps its mutex's kind word, whose low byte has
//                    the process-shared bit set
//   24      4        item size in bytes
//   28      4        ndim, 0 to 64
//   32      8        nbytes: the product of the shape and the item size
//   40      4        the version and waiters' word (slots/state.h)
//   44      4        zero
//   48      40       robust, error-checking, process-shared mutex; its
//                    bytes 20-23 (68-71), which such mutexes leave alone,
//                    hold the word of shared holders (platform/shared_exclusive.h)
//   88      8*ndim   shape
//   data offset      the data, C order; the object's size is data offset + nbytes
//
// Shared holders hold open-file-description write locks on bytes 2**40 to
// 2**40 + 29 of the object's file; no byte there exists or is written.
//
// An array never changes size: every byte of it is allocated at creation,
// so that a write through a view cannot meet a full /dev/shm.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/shm_support.h"

namespace {

constexpr unsigned char ARRAY_MAGIC[8] = {'z', 'e', 'l', 'v', 'a', 'r', 'r', 0xA1};
constexpr size_t ARRAY_MAX_NDIM = 64;  // as many as a memoryview takes
constexpr size_t ARRAY_FORMAT_SIZE = 8;
constexpr uint64_t ARRAY_DATA_ALIGNMENT = 64;

struct ArrayShm {
    unsigned char magic[8];
    uint64_t data_offset;
    char format[ARRAY_FORMAT_SIZE];
    uint32_t itemsize;
    uint32_t ndim;
    uint64_t nbytes;
    std::atomic<uint32_t> state;
    uint32_t reserved;
    pthread_mutex_t mutex;
    // The shape follows: ndim unsigned 64-bit extents.
};
static_assert(offsetof(ArrayShm, data_offset) == 8 && offsetof(ArrayShm, format) == 16 &&
                  offsetof(ArrayShm, itemsize) == 24 && offsetof(ArrayShm, ndim) == 28 &&
                  offsetof(ArrayShm, nbytes) == 32 && offsetof(ArrayShm, state) == 40 &&
                  offsetof(ArrayShm, mutex) == 48 && sizeof(ArrayShm) == 88,
              "the array header is a shared format");
static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free,
              "the state word is a plain futex word");

constexpr size_t ARRAY_SHAPE_AT = sizeof(ArrayShm);
constexpr size_t ARRAY_HEADER_MAX = ARRAY_SHAPE_AT + 8 * ARRAY_MAX_NDIM;

struct ArrayFormat {
    const char* text;
    uint32_t itemsize;
};

// The formats an array takes: one element of the struct module's native
// formats, and numpy's complex types.
constexpr ArrayFormat ARRAY_FORMATS[] = {
    {"b", 1},
    {"B", 1},
    {"h", sizeof(short)},
    {"H", sizeof(short)},
    {"i", sizeof(int)},
    {"I", sizeof(int)},
    {"l", sizeof(long)},
    {"L", sizeof(long)},
    {"q", sizeof(long long)},
    {"Q", sizeof(long long)},
    {"e", 2},
    {"f", sizeof(float)},
    {"d", sizeof(double)},
    {"?", sizeof(bool)},
    {"Zf", 2 * sizeof(float)},
    {"Zd", 2 * sizeof(double)},
};
constexpr const char* ARRAY_FORMAT_LIST = "b B h H i I l L q Q e f d ? Zf Zd";

const ArrayFormat* find_format(std::string_view text) {
    for (const ArrayFormat& format : ARRAY_FORMATS) {
        if (text == format.text) {
            return &format;
        }
    }
    return nullptr;
}

// An array's shape and format as this process keeps them: read once, so that
// nothing another process writes into the header later reaches a view.
struct ArrayLayout {
    char format[ARRAY_FORMAT_SIZE] = {};
    uint32_t itemsize = 0;
    uint32_t ndim = 0;
    Py_ssize_t shape[ARRAY_MAX_NDIM] = {};
    Py_ssize_t strides[ARRAY_MAX_NDIM] = {};
    uint64_t nbytes = 0;
    uint64_t data_offset = 0;

    uint64_t object_size() const { return data_offset + nbytes; }
    bool same_as(const ArrayLayout& other) const {
        return std::strcmp(format, other.format) == 0 && ndim == other.ndim &&
               std::memcmp(shape, other.shape, ndim * sizeof(Py_ssize_t)) == 0;
    }
};

uint64_t data_offset_for(uint32_t ndim) {
    const uint64_t header = ARRAY_SHAPE_AT + 8 * uint64_t{ndim};
    return (header + ARRAY_DATA_ALIGNMENT - 1) / ARRAY_DATA_ALIGNMENT * ARRAY_DATA_ALIGNMENT;
}

// Sets the C-order strides of a layout whose item size, ndim and shape are
// set; false when one overflows. With an extent of 0 the array holds no
// byte, yet the extents after it may still multiply beyond any size.
bool set_strides(ArrayLayout& layout) {
    Py_ssize_t stride = layout.itemsize;
    for (uint32_t axis = layout.ndim; axis-- > 0;) {
        layout.strides[axis] = stride;
        if (axis > 0 && __builtin_mul_overflow(stride, layout.shape[axis], &stride)) {
            return false;
        }
    }
    return true;
}

// Completes a layout whose format, item size, ndim and shape are set: its
// size, data offset and C-order strides. False when the array could not be
// addressed (its size or a stride overflows what an object or a buffer can
// hold).
bool complete_layout(ArrayLayout& layout) {
    uint64_t nbytes = layout.itemsize;
    for (uint32_t axis = 0; axis < layout.ndim; ++axis) {
        if (__builtin_mul_overflow(nbytes, static_cast<uint64_t>(layout.shape[axis]), &nbytes)) {
            return false;
        }
    }
    layout.data_offset = data_offset_for(layout.ndim);
    if (nbytes > static_cast<uint64_t>(PY_SSIZE_T_MAX) - layout.data_offset) {
        return false;
    }
    layout.nbytes = nbytes;
    return set_strides(layout);
}

// --- Recognition ----------------------------------------------------------

bool format_field_ours(const char* field, const ArrayFormat*& format) {
    const size_t length = strnlen(field, ARRAY_FORMAT_SIZE);
    for (size_t i = length; i < ARRAY_FORMAT_SIZE; ++i) {
        if (field[i] != 0) {
            return false;
        }
    }
    format = length < ARRAY_FORMAT_SIZE ? find_format(std::string_view(field, length)) : nullptr;
    return format != nullptr;
}

// Whether `bytes` (the first `got` bytes of an object of `size` bytes) are
// an array's header, as only an array's creator leaves it; `layout` receives
// its shape and format. Only bytes that never change after creation are
// read, so the answer does not depend on who holds the mutex or on the
// version.
bool recognised_as_array(const unsigned char* bytes, size_t got, uint64_t size, ArrayLayout& layout) {
    ArrayShm header;
    if (got < sizeof header) {
        return false;
    }
    std::memcpy(static_cast<void*>(&header), bytes, sizeof header);
    const ArrayFormat* format;
    if (std::memcmp(header.magic, ARRAY_MAGIC, sizeof ARRAY_MAGIC) != 0 || header.reserved != 0 ||
        header.ndim > ARRAY_MAX_NDIM || !format_field_ours(header.format, format) ||
        header.itemsize != format->itemsize || !shm::made_as_shared_mutex(bytes + offsetof(ArrayShm, mutex)) ||
        got < ARRAY_SHAPE_AT + 8 * size_t{header.ndim}) {
        return false;
    }
    std::memcpy(layout.format, header.format, ARRAY_FORMAT_SIZE);
    layout.itemsize = header.itemsize;
    layout.ndim = header.ndim;
    for (uint32_t axis = 0; axis < header.ndim; ++axis) {
        uint64_t extent;
        std::memcpy(&extent, bytes + ARRAY_SHAPE_AT + 8 * axis, sizeof extent);
        if (extent > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
            return false;
        }
        layout.shape[axis] = static_cast<Py_ssize_t>(extent);
    }
    return complete_layout(layout) && layout.nbytes == header.nbytes &&
           layout.data_offset == header.data_offset && layout.object_size() == size;
}

// Reads the header of the object open as `fd`, of `size` bytes, and tells
// whether it is an array's (see recognised_as_array); `version` receives
// the version it holds. Read with a system call, not through a mapping, so
// that opening an array faults in none of its pages.
bool read_array_layout(int fd, uint64_t size, ArrayLayout& layout, uint32_t& version) {
    unsigned char head[ARRAY_HEADER_MAX];
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    if (got <= 0 || !recognised_as_array(head, static_cast<size_t>(got), size, layout)) {
        return false;
    }
    uint32_t state;
    std::memcpy(&state, head + offsetof(ArrayShm, state), sizeof state);
    version = state >> 1;
    return true;
}

}  // namespace
