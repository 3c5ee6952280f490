// A hosted function's record: the 1168-byte record (its robust mutex, the
// two condition variables whose bytes hold the callers' state, `activity`,
// the call word) and its 1024-byte message area; a pool's sixteen areas
// after it; how a record is told from other objects; and the lock bytes past
// its end that say who serves and who calls.
#pragma once
#include <fcntl.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "layouts/slot.h"
#include "platform/ofd_locks.h"
#include "platform/shm_support.h"

namespace {

// The codec starts every encoding with 253 or 254, never with this.
constexpr unsigned char OUTSIDE_MARKER = 252;

constexpr size_t MESSAGE_SIZE = 1024;
constexpr uint64_t FUNCTION_RECORD_SIZE = 1168;

struct ConditionPair {
    pthread_cond_t fcond;
    pthread_cond_t ccond;
};

// What the callers share, kept in the bytes of the two condition variables:
// those are initialised as the format has them but never waited on (the
// call word carries every wake-up), so their bytes are free once made.
constexpr uint32_t QUEUE_SLOTS = 16;

struct CallerState {
    // The process whose request is in flight (0 when unknown): it holds its
    // caller lock while it lives, so a reply whose caller died is told apart
    // from one whose caller is merely slow.
    std::atomic<uint32_t> poster_pid;
    // Callers waiting for their turn hold tickets, served first come, first
    // served: `head` is the next ticket to post, `tail` the next to hand out,
    // and `holder[ticket % QUEUE_SLOTS]` the pid of the ticket's process, 0
    // once it gave its turn up. All under the mutex.
    uint32_t head;
    uint32_t tail;
    uint32_t holder[QUEUE_SLOTS];
    // The CPU each side last ran on when it changed the word (a hint, read
    // without the mutex, so its low 16 bits serve): a waiter whose peer shares
    // its CPU stands aside at once instead of spinning, since the peer can
    // only answer meanwhile.
    std::atomic<uint16_t> server_cpu;
    std::atomic<uint16_t> caller_cpu;
    // The exchange number above the 16 bits the call word carries, so that
    // no number comes round again while a caller waits for its reply. Under
    // the mutex.
    uint32_t exchange_high;
    // Whether the request in flight takes a result too large for the message
    // area (a handle's does, call_function's does not), and then the buffer
    // of its poster to write it into: its descriptor number and the low 32
    // bits of its inode. Set by every poster, under the mutex.
    int32_t reply_fd;
    uint32_t reply_inode;
    uint8_t large_reply;
    // 1 for a record served by a pool (`serve`), 0 for one served by
    // create_function; set when the record is made.
    uint8_t pool;
    // What the reply in the message area is: 0 a result, 1 an exception
    // raised by the callable. Set by every reply; only a pool's servers send
    // exceptions back, and they do it in the pool's areas, which have the
    // same field.
    uint8_t reply_kind;
    // What the request in the message area is: 0 a tuple of arguments, 1 a
    // pair of such a tuple and a dict of keyword arguments. Set by every
    // poster; only a pool takes keyword arguments, in its areas.
    uint8_t request_kind;
};
static_assert(sizeof(CallerState) == sizeof(ConditionPair), "the callers' state fills the conditions' bytes");
static_assert(std::atomic<uint16_t>::is_always_lock_free, "the CPU hints are plain 16-bit integers");

struct FunctionShm {
    pthread_mutex_t mutex;
    union {
        ConditionPair conditions;
        CallerState callers;
    };
    uint8_t activity;  // 1 while served; 0 asks the serving side to stop
    uint8_t unused[3];
    std::atomic<uint32_t> call;  // see CallWord
};
static_assert(offsetof(FunctionShm, mutex) == 0 && offsetof(FunctionShm, conditions.fcond) == 40 &&
                  offsetof(FunctionShm, conditions.ccond) == 88 && offsetof(FunctionShm, activity) == 136 &&
                  offsetof(FunctionShm, call) == 140 && sizeof(FunctionShm) == 144,
              "the function record is part of the shared format");
static_assert(offsetof(FunctionShm, callers.exchange_high) == 120, "the zelvane command reads the exchange number");
static_assert(offsetof(FunctionShm, callers.pool) == 133, "the zelvane command reads the pool flag");
static_assert(sizeof(FunctionShm) + MESSAGE_SIZE == FUNCTION_RECORD_SIZE,
              "the message area follows the record directly");

// What is read of an object to recognise it as a record: the record and the
// first byte of its message area.
constexpr size_t RECORD_RECOGNISED_BYTES = sizeof(FunctionShm) + 1;

// A pool's record is followed by message areas of its own, so that several
// exchanges are in flight at once: each caller claims one, and any server
// takes any posted one. The record's own message area stays unused (null),
// and its call word only tells the servers that requests wait. Only zelvane
// reads these bytes: nothing outside knows a pool's file.
constexpr uint32_t POOL_AREAS = 16;

// The state of one area's exchange, its number's low 24 bits above it, and
// whether its caller may sleep on the word. Only changed under the record's
// mutex; its caller alone waits on it.
struct AreaWord {
    static constexpr uint32_t FREE = 0;       // no caller holds the area
    static constexpr uint32_t POSTED = 1;     // a request waits for a server
    static constexpr uint32_t EXECUTING = 2;  // a server runs it
    static constexpr uint32_t REPLIED = 3;    // the reply waits for its caller
    static constexpr uint32_t ABANDONED = 4;  // executing, but its caller gave up
    static constexpr uint32_t STRANDED = 5;   // its server died while it ran
    static constexpr uint32_t STATE_MASK = 0x7f;
    static constexpr uint32_t CALLER_ASLEEP = 0x80;
    static constexpr uint32_t NUMBER_SHIFT = 8;

    uint32_t bits;

    static AreaWord of(uint32_t state, uint64_t number) {
        return {state | static_cast<uint32_t>(number << NUMBER_SHIFT)};
    }
    uint32_t state() const { return bits & STATE_MASK; }
    // Whether the word is of exchange `number` (as far as its 24 bits tell).
    bool of_exchange(uint64_t number) const {
        return (bits >> NUMBER_SHIFT) == static_cast<uint32_t>(number & 0xffffff);
    }
};

struct PoolArea {
    std::atomic<uint32_t> word;  // see AreaWord
    // The process that posted the request (0 when unknown), as poster_pid.
    uint32_t poster_pid;
    // The full exchange number: servers take posted areas in its order.
    uint64_t number;
    // As the record's callers' state has them, for this area's exchange.
    int32_t reply_fd;
    uint32_t reply_inode;
    // The pool slot of the server running the exchange: its lock tells
    // whether that server lives.
    uint32_t executor_slot;
    uint8_t large_reply;
    uint8_t request_kind;
    uint8_t reply_kind;
    // Set by a poster that has more calls waiting to take this one's place
    // once its reply is collected: servers that run out of requests watch
    // for those instead of sleeping (a hint, written without the mutex).
    uint8_t more_behind;
    uint8_t unused[32];
    unsigned char message[MESSAGE_SIZE];
};
static_assert(sizeof(PoolArea) == 64 + MESSAGE_SIZE, "an area is a cache line of state and a message");

// The areas begin on a cache line past the record.
constexpr uint64_t POOL_AREAS_AT = (FUNCTION_RECORD_SIZE + 63) / 64 * 64;
constexpr uint64_t POOL_RECORD_SIZE = POOL_AREAS_AT + POOL_AREAS * sizeof(PoolArea);

bool all_zero(const unsigned char* bytes, size_t length) {
    return std::all_of(bytes, bytes + length, [](unsigned char b) { return b == 0; });
}

// The callers' state as we leave it: its flags 0 or 1.
bool callers_state_ours(const unsigned char* state) {
    return state[offsetof(CallerState, large_reply)] <= 1 && state[offsetof(CallerState, pool)] <= 1 &&
           state[offsetof(CallerState, reply_kind)] <= 1 && state[offsetof(CallerState, request_kind)] <= 1;
}

// A message area that begins as our messages do: the null message, an
// encoded value, or a message about a payload kept outside the area.
bool message_head_ours(unsigned char head) {
    return head == 0 || head == PROTOCOL2_MARKER || head == OUTSIDE_MARKER;
}

// Whether `bytes`, the first RECORD_RECOGNISED_BYTES of an object of the
// record's size, are one of our records. The records carry no type tag, so
// their content must be as only we leave it: a mutex we made, the callers'
// state as they leave it, `activity` 0 or 1 with the bytes after it zero, and
// the head of a message of ours.
bool recognised_as_record(const unsigned char* bytes) {
    return shm::made_as_shared_mutex(bytes + offsetof(FunctionShm, mutex)) &&
           callers_state_ours(bytes + offsetof(FunctionShm, callers)) &&
           bytes[offsetof(FunctionShm, activity)] <= 1 &&
           all_zero(bytes + offsetof(FunctionShm, unused), sizeof(FunctionShm::unused)) &&
           message_head_ours(bytes[sizeof(FunctionShm)]);
}

// Whether an object of `size` bytes whose first bytes are the record
// `bytes` has a record's size: a pool's is larger (its areas follow).
bool record_size_fits(const unsigned char* bytes, uint64_t size) {
    const bool pool = bytes[offsetof(FunctionShm, callers.pool)] == 1;
    return size == (pool ? POOL_RECORD_SIZE : FUNCTION_RECORD_SIZE);
}

// Who is alive is told by open-file-description write locks on single bytes
// past the record's end: the serving process holds one on SERVER_LOCK_BYTE
// while it serves, and each calling process one on CALLER_LOCK_BASE + its pid
// while it keeps the record open. The kernel drops them when the process
// dies; a write lock needs a descriptor opened for writing, so a process
// that may only read the record cannot fake one (a read lock never counts);
// and a forked child gives up its copies (see disown_after_fork).
constexpr off_t SERVER_LOCK_BYTE = FUNCTION_RECORD_SIZE + 1;
constexpr off_t CALLER_LOCK_BASE = 4096;
// Each server of a pool holds a write lock on one byte of this range while it
// serves: the first it can take. An area names the slot of the server that
// runs its exchange, so that its caller learns of that server's death
// although other servers live.
constexpr off_t POOL_LOCK_BASE = 2048;
constexpr off_t POOL_SLOTS = CALLER_LOCK_BASE - POOL_LOCK_BASE;

// Takes the whole server range of a pool (see take_write_lock_around_readers);
// false while another server, or another process ending or removing the
// pool, holds a byte of it.
bool take_pool_range(int fd) noexcept {
    return take_write_lock_around_readers(fd, POOL_LOCK_BASE, POOL_LOCK_BASE + POOL_SLOTS);
}

// Whether any live process serves the record open as `fd`: its
// create_function server or a server of its pool.
bool served_elsewhere(int fd) noexcept {
    return write_locked_elsewhere(fd, SERVER_LOCK_BYTE) || write_locked_elsewhere(fd, POOL_LOCK_BASE, POOL_SLOTS);
}

// Takes the first free server slot of a pool: its number, or -1 when all
// are taken.
int take_pool_slot(int fd) noexcept {
    for (off_t slot = 0; slot < POOL_SLOTS; ++slot) {
        if (take_write_lock(fd, POOL_LOCK_BASE + slot)) {
            return static_cast<int>(slot);
        }
    }
    return -1;
}

// Whether the server holding pool slot `slot` lives, seen through `fd`.
bool pool_slot_served(int fd, uint32_t slot) noexcept {
    return slot < POOL_SLOTS && write_locked_elsewhere(fd, POOL_LOCK_BASE + static_cast<off_t>(slot));
}

}  // namespace
