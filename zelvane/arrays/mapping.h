// An array's mapping in this process (layouts/array.h), shared by the handle
// that opened it, every view exported from it and every thread holding its
// lock, and freed when the last of them lets go. So close() never waits for
// views, a view outlives its handle, and a removal of the name elsewhere
// changes nothing here (the memory stays until its last mapping goes). A
// fork child inherits the mapping as it is (MAP_SHARED), so its views and
// handles keep working on the same memory.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "layouts/array.h"
#include "platform/shared_exclusive.h"
#include "platform/shm_support.h"
#include "slots/state.h"

namespace {

// An array's mapping and this process's copy of its layout. Only touched
// with the GIL held.
struct ArrayMapping {
    shm::Mapping mapping;
    // The description the memory is mapped through: it never holds a lock,
    // so that it can ask who holds the places of shared holders.
    shm::Fd fd;
    dev_t device = 0;
    ino_t inode = 0;
    ArrayLayout layout;
    uint32_t version_at_open = 0;
    Py_ssize_t refs = 1;
    // This mapping's place among the shared holders, taken at its first
    // shared lock.
    shared_exclusive::Place place;

    ArrayShm* header() const { return mapping.as<ArrayShm>(); }
    std::atomic<uint32_t>* state() const { return &header()->state; }
    // The word of shared holders: bytes 20-23 of the array's mutex, which
    // robust mutexes leave alone as they do a slot's (slots/state.h).
    std::atomic<uint32_t>* holders() const { return slot_state::word(&header()->mutex); }
    bool same_object(const ArrayMapping& other) const { return device == other.device && inode == other.inode; }
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
    ArrayMapping* get() const { return array_; }
    explicit operator bool() const { return array_ != nullptr; }
    ArrayMapping* operator->() const { return array_; }

private:
    ArrayMapping* array_ = nullptr;
};

// Marks a change and wakes its waiters; returns the version it made.
uint32_t mark_change(std::atomic<uint32_t>* state) {
    if (slot_state::count_change(state)) {
        slot_state::wake_all(state);
    }
    return slot_state::version_of(state);
}

}  // namespace
