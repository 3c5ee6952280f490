// Large copies into fresh memory: a new allocation takes a page fault per
// page on its first write, which costs as much as the copy itself, so the
// pages of a large destination are given their memory in one call first.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#ifndef MADV_HUGEPAGE
#define MADV_HUGEPAGE 14
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Below this a copy is left to take its own page faults.
constexpr uint64_t LARGE_COPY = uint64_t{1} << 20;

// Maps in the whole pages inside [data, data + length) ahead of a copy that
// writes every byte of them. Only speed depends on it, so a kernel without
// the call (EINVAL) changes nothing.
inline void populate_for_copy(void* data, size_t length) {
    static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + length) & ~(page - 1);
    if (end > begin) {
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
    }
}

// From this size on a private allocation has a mapping of its own (the C
// library maps it apart and unmaps it when freed), so its pages are fresh on
// every call and the first write faults each one. Below it the allocator
// hands back heap pages it has faulted already, and populating them again
// only costs time.
constexpr uint64_t OWN_MAPPING = uint64_t{32} << 20;

// Above this, huge pages were measured to gain nothing on the whole: so
// many have to be gathered from memory freed just before that the time
// saved on faults is lost.
constexpr uint64_t HUGE_PAGES_MAX = uint64_t{256} << 20;

// The same for a new private allocation of at least OWN_MAPPING bytes about
// to be written whole: it first asks for huge pages, which it fills whole,
// so that it costs a few hundred page faults instead of one per 4 KiB.
inline void populate_allocation_for_copy(void* data, size_t length) {
    if (length <= HUGE_PAGES_MAX) {
        constexpr uintptr_t huge = uintptr_t{2} << 20;
        const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + huge - 1) & ~(huge - 1);
        const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + length) & ~(huge - 1);
        if (end > begin) {
            ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
        }
    }
    populate_for_copy(data, length);
}

// Gives back the whole pages inside [data, data + length) of a private
// allocation about to be freed, whose contents nobody reads any more: the
// freeing itself, which may take milliseconds for a large one, can then be
// done where it suits the caller (with the GIL let go) and the free that
// follows finds no pages to give back.
inline void discard_pages(void* data, size_t length) {
    static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + length) & ~(page - 1);
    if (end > begin) {
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
    }
}
