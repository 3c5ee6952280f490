// Large copies into fresh memory: a new allocation takes a page fault per
// page on its first write, which costs as much as the copy itself, so the
// pages of a large destination are given their memory in one call first.
#pragma once
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#ifndef MADV_HUGEPAGE
#define MADV_HUGEPAGE 14
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Below this a copy is left to take its own page faults.
constexpr uint64_t LARGE_COPY = uint64_t{1} << 20;

// A large copy, made without the GIL, goes in pieces of this size, and its
// thread stands aside between them for whatever waits for its CPU. Left
// alone, the scheduler lets a copying thread run out its time slice (a few
// milliseconds) while an event loop woken on the same CPU waits, even with
// another CPU idle; between pieces the loop runs at once. A thread nobody
// waits for goes on after a system call.
constexpr size_t COPY_PIECE = size_t{2} << 20;

// Runs `step(offset, length)` over [0, size) in pieces of `piece` bytes,
// standing aside between them.
template <typename Step>
void in_pieces(size_t size, size_t piece, Step&& step) {
    for (size_t done = 0; done < size;) {
        if (done > 0) {
            ::sched_yield();
        }
        const size_t length = std::min(piece, size - done);
        step(done, length);
        done += length;
    }
}

// From this size on a copy writes its destination around the caches: it
// outgrows them anyway, and ordinary stores first read every line of it in
// (64 MiB took 3.8 ms so against 6.8 ms with memcpy here, whose own switch
// to such stores came only at 240 MiB). Below it the caches win.
constexpr size_t STREAM_COPY = size_t{16} << 20;

// memcpy with stores that go around the caches, fenced at the end: they
// are ordered with nothing else, and whatever publishes the copy comes
// after it.
inline void stream_copy(unsigned char* to, const unsigned char* from, size_t size) {
#if defined(__x86_64__)
    const size_t head = std::min(size, (16 - (reinterpret_cast<uintptr_t>(to) & 15)) & 15);
    std::memcpy(to, from, head);
    to += head;
    from += head;
    size -= head;
    for (; size >= 64; size -= 64, to += 64, from += 64) {
        const auto* source = reinterpret_cast<const __m128i*>(from);
        auto* target = reinterpret_cast<__m128i*>(to);
        const __m128i a = _mm_loadu_si128(source);
        const __m128i b = _mm_loadu_si128(source + 1);
        const __m128i c = _mm_loadu_si128(source + 2);
        const __m128i d = _mm_loadu_si128(source + 3);
        _mm_stream_si128(target, a);
        _mm_stream_si128(target + 1, b);
        _mm_stream_si128(target + 2, c);
        _mm_stream_si128(target + 3, d);
    }
    _mm_sfence();
#endif
    std::memcpy(to, from, size);
}

// memcpy for large copies made without the GIL (see COPY_PIECE and
// STREAM_COPY). The ranges do not overlap.
inline void copy_in_pieces(void* out, const void* in, size_t size) {
    auto* to = static_cast<unsigned char*>(out);
    const auto* from = static_cast<const unsigned char*>(in);
    const bool streamed = size >= STREAM_COPY;
    in_pieces(size, COPY_PIECE, [to, from, streamed](size_t offset, size_t length) {
        if (streamed) {
            stream_copy(to + offset, from + offset, length);
        } else {
            std::memcpy(to + offset, from + offset, length);
        }
    });
}

// madvise over the whole pages inside [data, data + length), in pieces of
// `piece` bytes: giving a large range its pages takes milliseconds in the
// kernel. Only speed depends on it, so a kernel without the advice (EINVAL)
// changes nothing.
inline void advise_pages(void* data, size_t length, int advice, size_t piece = 2 * COPY_PIECE) {
    static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + length) & ~(page - 1);
    if (end > begin) {
        in_pieces(end - begin, piece, [begin, advice](size_t offset, size_t part) {
            ::madvise(reinterpret_cast<void*>(begin + offset), part, advice);
        });
    }
}

// Maps in the whole pages inside [data, data + length) ahead of a copy that
// writes every byte of them.
inline void populate_for_copy(void* data, size_t length) { advise_pages(data, length, MADV_POPULATE_WRITE); }

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
// follows finds no pages to give back. One call: each piece would cost
// another TLB shootdown.
inline void discard_pages(void* data, size_t length) { advise_pages(data, length, MADV_DONTNEED, SIZE_MAX); }
