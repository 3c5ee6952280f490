// Named queues in /dev/shm: the object's layout, how one is recognised, and
// the records of its ring.
//
// A queue object (integers native, little-endian on x86-64):
//
//   offset  size   field
//   0       8      magic "zelvque" and 0xA2. As an array's (layouts/array.h),
//                  byte 7 has its top bit set, so a slot check refuses it, and
//                  bytes 4-7 are not a function record's zero mutex count.
//   8       4      layout version, 1
//   12      4      zero
//   16      8      maxsize: the bound on the items held, 0 for none
//   24      4      items word: bumped when an item comes while a consumer sleeps
//   28      4      room word: bumped when room comes while a producer sleeps
//   32      40     robust, error-checking, process-shared mutex
//   72      8      head: logical offset of the first record not yet done
//   80      8      next: no ready record lies between head and next
//   88      8      tail: logical offset where the next record goes
//   96      8      ready: the records waiting for a consumer
//   104     8      taken: the records a consumer holds reserved
//   112     8      incoming: claims in use (large items being stored by
//                  their producers, or taken ones whose pages go back)
//   120     8      heap end: where the next extent goes (the object is at
//                  least this long)
//   128     4      current ring descriptor, 0 or 1
//   132     4      consumers waiting
//   136     4      producers waiting
//   140     4      large items held (records and claims of extents)
//   144     48     two ring descriptors {offset, size, base}: the current
//                  one, and the one a growth is filling or has left
//   192     832    zero
//   1024    2048   128 participants {pid, consumers and producers waiting,
//                  records held taken}
//   3072    1024   32 claims of extents, by producers storing a large item
//                  or by consumers giving a taken one's pages back
//   4096           extents, each page-aligned: the ring, large items
//
// Every field from 72 on changes only under the mutex. A record lives at a
// logical offset; its place in the ring is (offset - base) mod size, and it
// never straddles the ring's end (a pad record fills the end instead). All
// of a record is written before tail passes it, and a state is one byte, so
// a process that dies holding the mutex leaves records whole or absent;
// the counts are rebuilt from the records (repair_queue).
//
// Who is alive is told by open-file-description write locks: a participant
// holds one on byte PARTICIPANT_LOCK_BASE + its index through a descriptor
// of its own, never mapped, which a fork child gives up.
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

#include "platform/shm_support.h"

namespace {
namespace queues {

constexpr unsigned char QUEUE_MAGIC[8] = {'z', 'e', 'l', 'v', 'q', 'u', 'e', 0xA2};
constexpr uint32_t LAYOUT_VERSION = 1;
constexpr uint64_t PAGE = 4096;
constexpr uint64_t HEADER_BYTES = PAGE;
constexpr uint64_t FIRST_RING = uint64_t{64} << 10;
constexpr uint64_t LARGEST_RING = uint64_t{1} << 40;
// An item whose encoding is longer than this travels in an extent of its
// own, so that the ring stays small and a large copy holds nobody up.
constexpr uint64_t INLINE_MAX = uint64_t{32} << 10;
constexpr uint32_t PARTICIPANTS = 128;
constexpr uint32_t CLAIMS = 32;
constexpr off_t PARTICIPANT_LOCK_BASE = 1024;

struct RingShape {
    uint64_t offset;
    uint64_t size;
    uint64_t base;
};

struct Participant {
    uint32_t pid;
    uint16_t waiting_get;
    uint16_t waiting_put;
    uint32_t holds;  // the records it holds taken
    uint32_t unused;
};

enum ClaimState : uint32_t { CLAIM_FREE = 0, CLAIM_STORING = 1 };

struct Claim {
    uint32_t state;
    uint32_t owner;
    uint64_t offset;
    uint64_t length;
    uint64_t unused;
};

struct QueueShm {
    unsigned char magic[8];
    uint32_t layout;
    uint32_t zero;
    uint64_t maxsize;
    std::atomic<uint32_t> items_word;
    std::atomic<uint32_t> room_word;
    pthread_mutex_t mutex;
    uint64_t head;
    uint64_t next;
    uint64_t tail;
    uint64_t ready;
    uint64_t taken;
    uint64_t incoming;
    uint64_t heap_end;
    uint32_t current;
    uint32_t get_waiters;
    uint32_t put_waiters;
    uint32_t extents;
    RingShape rings[2];
    unsigned char unused[1024 - 192];
    Participant participants[PARTICIPANTS];
    Claim claims[CLAIMS];
};
static_assert(offsetof(QueueShm, maxsize) == 16 && offsetof(QueueShm, items_word) == 24 &&
                  offsetof(QueueShm, mutex) == 32 && offsetof(QueueShm, head) == 72 &&
                  offsetof(QueueShm, heap_end) == 120 && offsetof(QueueShm, current) == 128 &&
                  offsetof(QueueShm, rings) == 144 && offsetof(QueueShm, participants) == 1024 &&
                  offsetof(QueueShm, claims) == 3072 && sizeof(QueueShm) == HEADER_BYTES,
              "the queue header is a shared format");

// --- Records ----------------------------------------------------------------

enum RecordState : uint8_t { READY = 1, TAKEN = 2, DONE = 3, PAD = 4 };
enum RecordKind : uint8_t { INLINE = 0, EXTENT = 1 };

struct RecordHead {
    uint32_t length;  // of the payload; a pad's covers the rest of the ring
    uint8_t state;
    uint8_t kind;
    uint8_t owner;  // the participant holding a taken record
    uint8_t zero;
};
static_assert(sizeof(RecordHead) == 8, "a record head is 8 bytes");

// Where an extent record's item lies in the object.
struct ExtentRef {
    uint64_t offset;
    uint64_t length;
};

constexpr uint64_t round8(uint64_t n) { return (n + 7) & ~uint64_t{7}; }
constexpr uint64_t round_page(uint64_t n) { return (n + PAGE - 1) & ~(PAGE - 1); }
constexpr uint64_t record_bytes(uint64_t payload) { return sizeof(RecordHead) + round8(payload); }
constexpr bool power_of_two(uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

const RingShape& ring_of(const QueueShm* q) { return q->rings[q->current & 1]; }

// --- Recognition --------------------------------------------------------------

bool ring_shape_fits(const RingShape& ring, uint64_t heap_end) {
    return ring.offset >= HEADER_BYTES && ring.offset % PAGE == 0 && power_of_two(ring.size) &&
           ring.size >= FIRST_RING && ring.size <= LARGEST_RING && ring.offset + ring.size <= heap_end;
}

// Whether `bytes` (the first `got` bytes of an object of `size` bytes) are
// a queue's header as only its creator and the queue's operations leave it.
// The fields that change are checked again, with the records, on each access.
bool recognised_as_queue(const unsigned char* bytes, size_t got, uint64_t size) {
    if (got < HEADER_BYTES) {
        return false;
    }
    QueueShm header;
    std::memcpy(static_cast<void*>(&header), bytes, sizeof header);
    return std::memcmp(header.magic, QUEUE_MAGIC, sizeof QUEUE_MAGIC) == 0 && header.layout == LAYOUT_VERSION &&
           header.zero == 0 && shm::made_as_shared_mutex(bytes + offsetof(QueueShm, mutex)) &&
           header.current <= 1 && header.heap_end <= size && ring_shape_fits(ring_of(&header), header.heap_end);
}

// Reads the header of the object open as `fd` and tells whether it is a
// queue's; `header` receives it. Read with a system call, not through a
// mapping, so that nothing is mapped before the object is known.
bool read_queue_header(int fd, QueueShm& header) {
    struct stat st;
    unsigned char head[HEADER_BYTES];
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        ::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        !recognised_as_queue(head, sizeof head, static_cast<uint64_t>(st.st_size))) {
        return false;
    }
    std::memcpy(static_cast<void*>(&header), head, sizeof header);
    return true;
}

// --- Mappings of extents ---------------------------------------------------------

}  // namespace queues
}  // namespace
