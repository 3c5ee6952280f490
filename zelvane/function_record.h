// Hosted functions: the 1168-byte record, how it is recognised, who is alive
// on it, and its life (create, take over, remove).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "array_layout.h"
#include "bridge_errors.h"
#include "futex.h"
#include "kel_2.h"
#include "object_cache.h"
#include "py_ref.h"
#include "shm_support.h"
#include "side_payload.h"
#include "slots.h"

namespace {

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
    uint8_t unused[33];
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

struct flock one_byte(short type, off_t byte) noexcept {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return lock;
}

struct flock byte_range(short type, off_t start, off_t length) noexcept {
    struct flock lock = one_byte(type, start);
    lock.l_len = length;
    return lock;
}

bool take_write_lock(int fd, off_t byte, off_t length = 1) noexcept {
    struct flock lock = byte_range(F_WRLCK, byte, length);
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether another open file description holds a write lock on a byte of
// [start, start + length).
bool write_locked_elsewhere(int fd, off_t start, off_t length = 1) noexcept {
    struct flock lock = byte_range(F_WRLCK, start, length);
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_WRLCK;
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

// The call word: the state of the one exchange in progress (low byte), the
// low 16 bits of its exchange number (the rest is in the callers' state),
// flags and a queue generation (top byte).
// It changes only under the mutex, and a change wakes only the waiters it
// concerns that may be asleep.
struct CallWord {
    static constexpr uint32_t IDLE = 0;       // free for the next caller
    static constexpr uint32_t POSTED = 1;     // a request waits in the message area
    static constexpr uint32_t EXECUTING = 2;  // the serving side runs the callable
    static constexpr uint32_t REPLIED = 3;    // the reply waits for its caller
    static constexpr uint32_t ABANDONED = 4;  // executing, but its caller gave up
    static constexpr uint32_t STATE_MASK = 0xff;
    static constexpr uint32_t NUMBER_MASK = 0xffff00;
    static constexpr uint32_t NUMBER_ONE = 0x100;
    // A stop was requested; mirrors `activity` 0 so that the word changes and
    // its waiters wake.
    static constexpr uint32_t STOP = 1u << 24;
    // Serving has ended: nothing will answer any more.
    static constexpr uint32_t ENDED = 1u << 25;
    static constexpr uint32_t FLAGS_MASK = STOP | ENDED;
    // A caller (one waiting for its reply, or for a place in the queue) or
    // the serving side may be asleep on the word: set by a waiter once its
    // watch failed, just before it sleeps, and cleared by the change that
    // wakes it, so that a change nobody sleeps for costs no system call.
    static constexpr uint32_t CALLER_ASLEEP = 1u << 26;
    static constexpr uint32_t SERVER_ASLEEP = 1u << 27;
    static constexpr uint32_t ASLEEP_MASK = CALLER_ASLEEP | SERVER_ASLEEP;
    // Bumped when the queue's head moves while the record stays idle, so that
    // the new head, asleep on the word, cannot miss its turn.
    static constexpr uint32_t QUEUE_GENERATION_MASK = 0xf0000000;
    static constexpr uint32_t QUEUE_GENERATION_ONE = 1u << 28;

    uint32_t bits;

    uint32_t state() const { return bits & STATE_MASK; }
    bool known_state() const { return state() <= ABANDONED; }
    uint32_t number() const { return bits & NUMBER_MASK; }
    bool ended() const { return (bits & ENDED) != 0; }
    CallWord with_state(uint32_t state) const { return {(bits & ~STATE_MASK) | state}; }
    CallWord with_flag(uint32_t flag) const { return {bits | flag}; }
    CallWord without_flag(uint32_t flag) const { return {bits & ~flag}; }
    // The exchange as waiters see it: everything but the sleep marks.
    uint32_t exchange() const { return bits & ~ASLEEP_MASK; }
    bool queue_moved(CallWord before) const {
        return ((bits ^ before.bits) & QUEUE_GENERATION_MASK) != 0;
    }
    CallWord with_queue_moved() const {
        return {(bits & ~QUEUE_GENERATION_MASK) | ((bits + QUEUE_GENERATION_ONE) & QUEUE_GENERATION_MASK)};
    }
    // A new request, under the next exchange number (its low 16 bits).
    CallWord next_request() const {
        return {(bits & ~(STATE_MASK | NUMBER_MASK)) | ((bits + NUMBER_ONE) & NUMBER_MASK) | POSTED};
    }
};

// Writes the null message: no data follows.
void null_function(FunctionShm* shm) { reinterpret_cast<unsigned char*>(shm)[sizeof(FunctionShm)] = 0; }

// The bytes of an encoded message that fits the message area; false with
// an exception set otherwise (`too_large` as a ValueError).
bool message_bytes(PyObject* encoded, const char* unreadable, const char* too_large, const unsigned char*& data,
                   size_t& size) {
    if (!encoded_bytes(encoded, unreadable, data, size)) {
        return false;
    }
    if (size > MESSAGE_SIZE) {
        PyErr_SetString(PyExc_ValueError, too_large);
        return false;
    }
    return true;
}

// One process's view of a function record. The descriptor stays open for the
// whole access: the serving side holds a shared lock on it while it serves,
// which is how a caller tells a live server from a dead one.
struct FunctionRecord {
    explicit FunctionRecord(const char* record_name) : name(record_name) {}

    const char* name;
    shm::ObjectUse object;
    // Whether this view serves the record as one of its pool, and the slot
    // it holds then.
    bool pool_server = false;
    uint32_t pool_slot = 0;
    // The areas whose callers sleep on a word changed under the mutex, to
    // wake once it is unlocked.
    uint32_t area_wakes = 0;

    // Whether the record is a pool's, with areas past its end: told by the
    // mapping's length, which recognition tied to the pool flag.
    bool pool() const { return object->mapping.length() == POOL_RECORD_SIZE; }
    PoolArea& pool_area(uint32_t index) const {
        return *reinterpret_cast<PoolArea*>(object->mapping.bytes() + POOL_AREAS_AT + index * sizeof(PoolArea));
    }
    // Under the mutex: stores the area's word, noting its caller's wake-up
    // if it sleeps on the word.
    void set_area_word(uint32_t index, AreaWord word) {
        std::atomic<uint32_t>& bits = pool_area(index).word;
        if ((bits.load(std::memory_order_relaxed) & AreaWord::CALLER_ASLEEP) != 0) {
            area_wakes |= 1u << index;
        }
        bits.store(word.bits & ~AreaWord::CALLER_ASLEEP, std::memory_order_release);
    }

    int fd() const { return object->fd.get(); }
    FunctionShm* shm() const { return object->mapping.as<FunctionShm>(); }
    unsigned char* area() const { return object->mapping.bytes() + sizeof(FunctionShm); }
    // Written under the mutex, which orders the changes; the atomic makes the
    // word a valid futex and lets waiters glance at it without the mutex.
    CallWord word() const { return {shm()->call.load(std::memory_order_relaxed)}; }
    void set_word(CallWord word) { shm()->call.store(word.bits, std::memory_order_relaxed); }

    // Under the mutex: the full number of the exchange `word` shows.
    uint64_t exchange_number(CallWord word) const {
        return static_cast<uint64_t>(shm()->callers.exchange_high) << 16 | word.number() / CallWord::NUMBER_ONE;
    }
    // Under the mutex: posts a request under the next exchange number; its
    // full number.
    uint64_t post_next_request(CallWord word) {
        const CallWord posted = word.next_request();
        if (posted.number() == 0) {
            ++shm()->callers.exchange_high;
        }
        set_word(posted);
        return exchange_number(posted);
    }
};

// The outcome `rc` of locking a record's mutex, an owner that died mended.
int record_locked(pthread_mutex_t* mutex, int rc) noexcept {
    // Every change publishes its data first and then stores one word (a
    // pool's may store an area's word and the call word: a holder that died
    // between them leaves a POSTED call word that the next server's look
    // brings back in line, or a queued caller that finds the freed area at
    // its next slice), so there is nothing half changed to repair here.
    return shm::mend_if_owner_died(mutex, rc, [] {});
}

// A record stays locked for one look, well under a microsecond, so a waiter
// that finds it busy tries again for a moment before it sleeps: the sleep
// would cost it a system call, and the holder another to wake it. As
// pthread_mutex_trylock.
int try_lock_record_for_a_moment(pthread_mutex_t* mutex) noexcept {
    constexpr long MOMENT_NS = 2000;
    int rc = pthread_mutex_trylock(mutex);
    if (rc == EBUSY && futex::several_cpus()) {
        futex::spin([mutex, &rc] { return (rc = pthread_mutex_trylock(mutex)) != EBUSY; }, MOMENT_NS, false);
    }
    return rc;
}

// Locks the record, waiting until `deadline` at the latest (the GIL
// released by the caller): 0, ETIMEDOUT or another errno.
int lock_record(const FunctionRecord& record, const timespec& deadline) noexcept {
    pthread_mutex_t* mutex = &record.shm()->mutex;
    int rc = try_lock_record_for_a_moment(mutex);
    if (rc == EBUSY) {
        rc = shm::lock_until(mutex, deadline);
    }
    return record_locked(mutex, rc);
}

// Locks the record if nobody holds it: 0, EBUSY or another errno.
int try_lock_record(const FunctionRecord& record) noexcept {
    pthread_mutex_t* mutex = &record.shm()->mutex;
    const int rc = pthread_mutex_trylock(mutex);
    return rc == EBUSY ? rc : record_locked(mutex, rc);
}

// Records in use by threads of this process, so that a thread that would wait
// for itself (a callable calling its own name, a signal handler calling the
// function its thread is already calling) fails at once instead. Only touched
// with the GIL held, or in a fork child before anything else runs.
class RecordThreads {
public:
    class Entry {
    public:
        Entry(RecordThreads& registry, const struct stat& st)
            : registry_(registry), dev_(st.st_dev), ino_(st.st_ino), thread_(pthread_self()),
              pid_(shm::this_process()), next_(registry.head_) {
            registry.head_ = this;
        }
        ~Entry() {
            Entry** link = &registry_.head_;
            while (*link && *link != this) {
                link = &(*link)->next_;
            }
            if (*link) {
                *link = next_;
            }
        }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

        // Whether this process is a child forked since the entry was made.
        bool forked() const { return pid_ != shm::this_process(); }

        // For a serving thread: whether another thread asked it to leave
        // serving, and the word it sleeps on, to wake it for that.
        bool leaving() const { return leaving_.load(std::memory_order_acquire); }
        void wake_on(std::atomic<uint32_t>* word) { word_ = word; }

    private:
        friend class RecordThreads;
        RecordThreads& registry_;
        dev_t dev_;
        ino_t ino_;
        pthread_t thread_;
        pid_t pid_;  // a forked child uses nothing of its parent's
        Entry* next_;
        std::atomic<bool> leaving_{false};
        std::atomic<uint32_t>* word_ = nullptr;
    };

    bool by_this_thread(const struct stat& st) const {
        for (const Entry* entry = head_; entry; entry = entry->next_) {
            if (entry->dev_ == st.st_dev && entry->ino_ == st.st_ino && pthread_equal(entry->thread_, pthread_self()) &&
                entry->pid_ == shm::this_process()) {
                return true;
            }
        }
        return false;
    }

    // Asks the thread `thread` of this process to leave the records it
    // serves, waking it; whether it serves any. Under the GIL, as the
    // registry's changes are.
    bool ask_to_leave(pthread_t thread) {
        bool found = false;
        for (Entry* entry = head_; entry; entry = entry->next_) {
            if (pthread_equal(entry->thread_, thread) && !entry->forked()) {
                entry->leaving_.store(true, std::memory_order_release);
                if (entry->word_) {
                    futex::wake(entry->word_, FUTEX_BITSET_MATCH_ANY);
                }
                found = true;
            }
        }
        return found;
    }

    // In a forked child: the entries of the parent's threads live on stacks
    // that the child's new threads get again, so none is looked at any more.
    void forget_after_fork() noexcept { head_ = nullptr; }

private:
    Entry* head_ = nullptr;
};

RecordThreads serving_threads;
RecordThreads calling_threads;

// Calls of this process that posted a request and have not ended yet, on
// any record: while there are none, a reply posted under this process's pid
// is nobody's (a process that had the pid before, or a call that gave up
// without reaching the lock).
std::atomic<int> calls_in_flight{0};

enum class Poster { Alive, Dead, Unknown };

// Under the record's mutex: whether the process `pid` that posted a request
// still lives, as its caller lock says (0: not known). Whether this process's
// own lock stands for a call of its own is for its count of calls to tell.
Poster poster_state(const FunctionRecord& record, uint32_t pid) {
    if (pid == 0) {
        return Poster::Unknown;
    }
    const pid_t self = shm::this_process();
    if (pid == static_cast<uint32_t>(self) && record.object->caller_lock_pid == self) {
        return calls_in_flight.load(std::memory_order_relaxed) > 0 ? Poster::Alive : Poster::Dead;
    }
    return write_locked_elsewhere(record.fd(), CALLER_LOCK_BASE + static_cast<off_t>(pid)) ? Poster::Alive
                                                                                           : Poster::Dead;
}

// A forked child must not keep its parent alive in the eyes of others, nor
// count its parent's calls as its own.
void disown_after_fork() noexcept {
    calls_in_flight.store(0, std::memory_order_relaxed);
    serving_threads.forget_after_fork();
    calling_threads.forget_after_fork();
    const int harmless = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (harmless < 0) {
        return;
    }
    for (shm::MappedObject* object : shm::liveness_holders) {
        object->give_up_after_fork(harmless);
    }
    ::close(harmless);
}

[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, disown_after_fork);

enum class OpenOutcome { Opened, OpenFailed, NotAFunction, MapFailed };

// Opens `record.name` as a function record, mapped through the cache. The
// object's size is checked before its memory is read, and anything but one
// of our records (a value slot of the same size included) is refused before
// its memory is written.
OpenOutcome open_function_record(FunctionRecord& record, struct stat& st) {
    std::string file;
    bool map_failed = false;
    if (shm::shm_file_name(record.name, file)) {
        record.object = object_cache.open(file, st, map_failed);
    }
    if (!record.object) {
        return map_failed ? OpenOutcome::MapFailed : OpenOutcome::OpenFailed;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const unsigned char* bytes = record.object->mapping.bytes();
    if ((size != FUNCTION_RECORD_SIZE && size != POOL_RECORD_SIZE) || record.object->mapping.length() != size) {
        return OpenOutcome::NotAFunction;
    }
    return recognised_as_record(bytes) && record_size_fits(bytes, size) ? OpenOutcome::Opened
                                                                         : OpenOutcome::NotAFunction;
}

int init_shared_cond(pthread_cond_t* cond) noexcept {
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    rc = pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0) {
        rc = pthread_cond_init(cond, &attr);
    }
    pthread_condattr_destroy(&attr);
    return rc;
}

bool record_not_created(const char* format, const char* name) {
    memory_error(format, name);
    return false;
}

enum class ObjectKind { Foreign, Slot, Function, Array };

// What the object open as `fd` is, told by its content, which is only read;
// `st` receives its status.
ObjectKind recognise_object(int fd, struct stat& st) {
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return ObjectKind::Foreign;
    }
    unsigned char head[std::max(RECORD_RECOGNISED_BYTES, ARRAY_HEADER_MAX)];
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    if (got <= 0) {
        return ObjectKind::Foreign;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    ArrayLayout layout;
    if (recognised_as_array(head, static_cast<size_t>(got), size, layout)) {
        return ObjectKind::Array;
    }
    BasicShm header;
    if (got >= static_cast<ssize_t>(sizeof header)) {
        std::memcpy(&header, head, sizeof header);
        if (recognised_as_slot(fd, size, &header, header.max_size)) {
            return ObjectKind::Slot;
        }
    }
    if (got >= static_cast<ssize_t>(RECORD_RECOGNISED_BYTES) && recognised_as_record(head) &&
        record_size_fits(head, size)) {
        return ObjectKind::Function;
    }
    return ObjectKind::Foreign;
}

enum class Removal { Removed, Gone, Served, Other, Failed };

// Removes the object at `path` if it is one of ours of `kind`, a function
// record only when its servers are dead: Gone when the name leads nowhere or
// no longer to the object recognised, Failed with errno set when the system
// refuses. Taking the dead servers' locks is what entitles a process to
// remove a record: a live server, or another process taking the record over
// or removing it at the same moment, holds it; and the name is checked to
// still lead to the locked record before it goes.
Removal remove_recognised(const std::string& path, ObjectKind kind) {
    shm::Fd fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return errno == ENOENT ? Removal::Gone : Removal::Failed;
    }
    struct stat st;
    if (recognise_object(fd.get(), st) != kind) {
        return Removal::Other;
    }
    if (kind == ObjectKind::Function &&
        (!take_write_lock(fd.get(), SERVER_LOCK_BYTE) || !take_write_lock(fd.get(), POOL_LOCK_BASE, POOL_SLOTS))) {
        return Removal::Served;
    }
    struct stat named;
    if (::lstat(path.c_str(), &named) != 0 || named.st_dev != st.st_dev || named.st_ino != st.st_ino) {
        return Removal::Gone;
    }
    if (::unlink(path.c_str()) != 0) {
        return errno == ENOENT ? Removal::Gone : Removal::Failed;
    }
    return Removal::Removed;
}

// Removes the record at `path` if its serving process has died, so that a
// restarted server can host the name again; true when it did.
bool remove_dead_record(const std::string& path) {
    return remove_recognised(path, ObjectKind::Function) == Removal::Removed;
}

// Removes the record at `path` if its servers have died, and forgets this
// process's view of it; true when it did.
bool take_over_dead_record(const char* name, const std::string& path) {
    if (!remove_dead_record(path)) {
        return false;
    }
    std::string file;
    if (shm::shm_file_name(name, file)) {
        object_cache.drop(file);
    }
    return true;
}

// Makes the record of `record.name` at `path`, initialised, served (the
// server lock, or a pool's first slot, taken) and only then published, so
// nobody ever sees it half made. `taken` tells whether another process
// published the name first.
bool make_function_record(FunctionRecord& record, const std::string& path, bool pool, bool& taken) {
    const char* name = record.name;
    taken = false;
    record.object = shm::ObjectUse::unshared();
    shm::Fd& fd = record.object->fd;
    fd = shm::create_unnamed();
    if (!fd.valid()) {
        return record_not_created("Failed to create memory address '%s'.", name);
    }
    const uint64_t size = pool ? POOL_RECORD_SIZE : FUNCTION_RECORD_SIZE;
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0 || !shm::allocate_range(fd.get(), 0, size)) {
        return record_not_created("Failed to allocate for shared memory address '%s'.", name);
    }
    shm::Mapping& mapping = record.object->mapping;
    if (!object_cache.map_freeing_unused([&] { return mapping.map(fd.get(), size); })) {
        return record_not_created("Failed to map shared memory address '%s'.", name);
    }
    FunctionShm* shm = record.shm();
    if (shm::init_shared_mutex(&shm->mutex) != 0) {
        return record_not_created("Failed to initialize mutex for shared memory address '%s'.", name);
    }
    if (init_shared_cond(&shm->conditions.fcond) != 0 || init_shared_cond(&shm->conditions.ccond) != 0) {
        return record_not_created("Failed to initialize signal cond for shared memory address '%s'.", name);
    }
    // From here on the conditions' bytes hold the callers' state.
    std::memset(static_cast<void*>(&shm->callers), 0, sizeof shm->callers);
    shm->callers.pool = pool ? 1 : 0;
    shm->activity = 1;
    if (!take_write_lock(fd.get(), pool ? POOL_LOCK_BASE : SERVER_LOCK_BYTE)) {
        return record_not_created("Failed to create memory address '%s'.", name);
    }
    record.object->held_liveness();
    if (!shm::publish(fd.get(), path)) {
        taken = errno == EEXIST;
        return record_not_created(taken ? "The memory address '%s' already exists."
                                        : "Failed to create memory address '%s'.",
                                  name);
    }
    return true;
}

// Creates the record of `record.name` for create_function; a record left by
// servers that died is taken over.
bool create_function_record(FunctionRecord& record) {
    const char* name = record.name;
    std::string path;
    if (!shm::shm_path(name, path)) {
        return record_not_created("Failed to create memory address '%s'.", name);
    }
    if (shm::name_exists(path) && !take_over_dead_record(name, path)) {
        return record_not_created("The memory address '%s' already exists.", name);
    }
    bool taken;
    return make_function_record(record, path, false, taken);
}

// Unlinks the record's name unless it meanwhile names another object.
void unlink_if_ours(const FunctionRecord& record) {
    std::string path;
    struct stat ours;
    struct stat named;
    if (!shm::shm_path(record.name, path)) {
        return;
    }
    if (::fstat(record.fd(), &ours) == 0 && ::lstat(path.c_str(), &named) == 0 && ours.st_dev == named.st_dev &&
        ours.st_ino == named.st_ino) {
        ::unlink(path.c_str());
    }
    // A view this process kept as a caller is of no use any more.
    std::string file;
    if (shm::shm_file_name(record.name, file)) {
        object_cache.drop(file);
    }
}

// Whether the record's name no longer leads to it (removed, or replaced by
// another object), so that nobody can reach it to call or to stop it.
bool orphaned(const FunctionRecord& record) {
    struct stat ours;
    if (::fstat(record.fd(), &ours) != 0 || ours.st_nlink == 0) {
        return true;
    }
    std::string path;
    struct stat named;
    return shm::shm_path(record.name, path) &&
           (::lstat(path.c_str(), &named) != 0 || named.st_dev != ours.st_dev || named.st_ino != ours.st_ino);
}

}  // namespace
