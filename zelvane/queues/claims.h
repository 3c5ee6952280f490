// Claims of extents in named queues: a producer's, for a large item it
// stores outside the mutex, and a consumer's, for the pages of a large item
// it took, which it gives back outside the mutex. Either kind goes back
// with its process when that dies.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "queues/core.h"
#include "queues/storage.h"

namespace {
namespace queues {

// Under the mutex: a free claim's index, -1 when every claim is in use.
int free_claim(const QueueShm* q) {
    for (uint32_t index = 0; index < CLAIMS; ++index) {
        if (q->claims[index].state == CLAIM_FREE) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

// Under the mutex: a free claim to keep a taken item's pages in, -1 when
// half the claims or fewer are free. The rest stay for producers, who
// cannot store a large item without one, while a taker can always give its
// pages back at once.
int free_claim_for_taker(const QueueShm* q) {
    uint32_t free = 0;
    for (const Claim& claim : q->claims) {
        free += claim.state == CLAIM_FREE;
    }
    return free > CLAIMS / 2 ? free_claim(q) : -1;
}

// Claims an extent of `length` bytes for a large item that `owner` is about
// to store outside the mutex; the participant's repair gives it back if
// the producer dies. The extent is allocated before the claim names it, so
// that no claim ever names space another may be given: a holder that dies
// in between leaves pages unused until the object is next cut back. The
// claim's index, or -1 with errno set (EAGAIN: every claim is in use).
int claim_extent(QueueMap& map, int owner, uint64_t length) {
    QueueShm* q = map.q();
    const int index = free_claim(q);
    if (index < 0) {
        errno = EAGAIN;
        return -1;
    }
    const uint64_t offset = allocate_extent(map.fd.get(), q, length);
    if (offset == 0) {
        return -1;
    }
    Claim& claim = q->claims[index];
    claim.owner = static_cast<uint32_t>(owner);
    claim.offset = offset;
    claim.length = length;
    std::atomic_ref<uint32_t>(claim.state).store(CLAIM_STORING, std::memory_order_release);
    ++q->incoming;
    ++q->extents;
    return index;
}

// Ends a claim: its item goes into the ring, or (`publish` false, or no room
// for its record) its extent is given back. False with errno set when the
// record found no room.
bool end_claim(QueueMap& map, int index, bool publish) {
    QueueShm* q = map.q();
    Claim& claim = q->claims[index];
    const ExtentRef ref{claim.offset, claim.length};
    // The claim goes before the record comes, so that the extent is never
    // named by both (the claim's repair would free a published item).
    std::atomic_ref<uint32_t>(claim.state).store(CLAIM_FREE, std::memory_order_release);
    claim = Claim{};
    --q->incoming;
    bool stored = false;
    int error = 0;
    if (publish) {
        stored = append(map, EXTENT, sizeof ref, [&](unsigned char* bytes) { std::memcpy(bytes, &ref, sizeof ref); });
        error = errno;
    }
    if (!stored) {
        free_extent(map, ref);
    }
    errno = error;
    return stored || !publish;
}

}  // namespace queues
}  // namespace
