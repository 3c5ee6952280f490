// An array's mapping in this process (array_layout.h), shared by the handle
// that opened it, every view exported from it and every thread holding its
// lock, and freed when the last of them lets go. So close() never waits for
// views, a view outlives its handle, and a removal of the name elsewhere
// changes nothing here (the memory stays until its last mapping goes). A
// fork child inherits the mapping as it is (MAP_SHARED), so its views and
// handles keep working on the same memory.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "array_layout.h"
#include "shm_support.h"

namespace {

// An array's mapping and this process's copy of its layout. Only touched
// with the GIL held.
struct ArrayMapping {
    shm::Mapping mapping;
    ArrayLayout layout;
    uint32_t version_at_open = 0;
    Py_ssize_t refs = 1;

    ArrayShm* header() const { return mapping.as<ArrayShm>(); }
    std::atomic<uint32_t>* state() const { return &header()->state; }
    unsigned char* data() const { return mapping.bytes() + layout.data_offset; }
};

ArrayMapping* share(ArrayMapping* array) {
    ++array->refs;
    return array;
}

void unshare(ArrayMapping* array) {
    if (array && --array->refs == 0) {
        delete array;
    }
}

// One reference to an ArrayMapping, for as long as the holder lives.
class ArrayRef {
public:
    ArrayRef() = default;
    explicit ArrayRef(ArrayMapping* array) : array_(share(array)) {}
    ArrayRef(const ArrayRef&) = delete;
    ArrayRef& operator=(const ArrayRef&) = delete;
    ArrayRef(ArrayRef&& other) noexcept : array_(std::exchange(other.array_, nullptr)) {}
    ArrayRef& operator=(ArrayRef&& other) noexcept {
        if (this != &other) {
            unshare(std::exchange(array_, std::exchange(other.array_, nullptr)));
        }
        return *this;
    }
    ~ArrayRef() { unshare(array_); }

    // Takes over the reference a new mapping is born with.
    static ArrayRef adopt(ArrayMapping* array) {
        ArrayRef ref;
        ref.array_ = array;
        return ref;
    }
    ArrayMapping* release() { return std::exchange(array_, nullptr); }
    explicit operator bool() const { return array_ != nullptr; }
    ArrayMapping* operator->() const { return array_; }

private:
    ArrayMapping* array_ = nullptr;
};

}  // namespace
