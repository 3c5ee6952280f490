// Hosted functions: the 1168-byte record, the call word, the serving loop
// and the calling side.
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

// ---------------------------------------------------------------------------
// Hosted functions
// ---------------------------------------------------------------------------

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
    uint8_t reserved[3];
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
static_assert(sizeof(FunctionShm) + MESSAGE_SIZE == FUNCTION_RECORD_SIZE,
              "the message area follows the record directly");

// What is read of an object to recognise it as a record: the record and the
// first byte of its message area.
constexpr size_t RECORD_RECOGNISED_BYTES = sizeof(FunctionShm) + 1;

bool all_zero(const unsigned char* bytes, size_t length) {
    return std::all_of(bytes, bytes + length, [](unsigned char b) { return b == 0; });
}

// The callers' state as callers leave it: their flag 0 or 1, its padding zero.
bool callers_state_ours(const unsigned char* state) {
    return state[offsetof(CallerState, large_reply)] <= 1 &&
           all_zero(state + offsetof(CallerState, reserved), sizeof(CallerState::reserved));
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

// Who is alive is told by open-file-description write locks on single bytes
// past the record's end: the serving process holds one on SERVER_LOCK_BYTE
// while it serves, and each calling process one on CALLER_LOCK_BASE + its pid
// while it keeps the record open. The kernel drops them when the process
// dies; a write lock needs a descriptor opened for writing, so a process
// that may only read the record cannot fake one (a read lock never counts);
// and a forked child gives up its copies (see disown_after_fork).
constexpr off_t SERVER_LOCK_BYTE = FUNCTION_RECORD_SIZE + 1;
constexpr off_t CALLER_LOCK_BASE = 4096;

struct flock one_byte(short type, off_t byte) noexcept {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return lock;
}

bool take_write_lock(int fd, off_t byte) noexcept {
    struct flock lock = one_byte(F_WRLCK, byte);
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether another open file description holds a write lock on `byte`.
bool write_locked_elsewhere(int fd, off_t byte) noexcept {
    struct flock lock = one_byte(F_WRLCK, byte);
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_WRLCK;
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

// One process's view of a function record. The descriptor stays open for the
// whole access: the serving side holds a shared lock on it while it serves,
// which is how a caller tells a live server from a dead one.
struct FunctionRecord {
    explicit FunctionRecord(const char* record_name) : name(record_name) {}

    const char* name;
    shm::ObjectUse object;

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

// Locks the record, waiting until `deadline` at the latest (the GIL
// released by the caller): 0, ETIMEDOUT or another errno.
int lock_record(const FunctionRecord& record, const timespec& deadline) noexcept {
    pthread_mutex_t* mutex = &record.shm()->mutex;
    int rc = pthread_mutex_trylock(mutex);
    if (rc == EBUSY) {
        rc = shm::lock_until(mutex, deadline);
    }
    // Every change publishes its data first and then stores one word, so a
    // holder that died left nothing half changed to repair.
    return shm::mend_if_owner_died(mutex, rc, [] {});
}

enum class Step { Wait, Done };

bool passed(const timespec& deadline) noexcept {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return !shm::earlier(now, deadline);
}

// Who sleeps on the call word, as futex bit masks, so that a change wakes only
// the waiters whose condition it can meet.
constexpr uint32_t SERVER_WAITS = 1;  // for a request or a stop
constexpr uint32_t CALLERS_WAIT = 2;  // for a reply, an end, or room in the queue
constexpr uint32_t EVERYBODY = 0xffffffff;
// A caller holding `ticket`, waiting for its turn.
constexpr uint32_t queued_waiter(uint32_t ticket) { return 4u << (ticket % 30); }

// How a waiter waits: on which bits it sleeps, whether it first watches the
// word (only the caller whose request is in flight and the serving side do),
// and the mark it sets before sleeping (none for a queued caller, whose turn
// wakes it by its own bit).
struct WaitMode {
    uint32_t mask;
    bool watches;
    uint32_t asleep_mark;
};
constexpr WaitMode SERVER_MODE{SERVER_WAITS, true, CallWord::SERVER_ASLEEP};
constexpr WaitMode REPLY_MODE{CALLERS_WAIT, true, CallWord::CALLER_ASLEEP};
constexpr WaitMode ROOM_MODE{CALLERS_WAIT, false, CallWord::CALLER_ASLEEP};
constexpr WaitMode queued_mode(uint32_t ticket) { return {queued_waiter(ticket), false, 0}; }

// The queue of callers waiting for their turn, in the record's callers' state.
// Only used under the mutex. Counters that no process of ours would leave
// (scribbled over) empty the queue: a caller whose ticket went by queues again.
class Queue {
public:
    explicit Queue(CallerState& state) : state_(state) {
        if (state_.tail - state_.head > QUEUE_SLOTS) {
            state_.head = state_.tail;
        }
    }

    bool empty() const { return state_.head == state_.tail; }
    bool full() const { return state_.tail - state_.head == QUEUE_SLOTS; }
    uint32_t head() const { return state_.head; }
    uint32_t head_holder() const { return state_.holder[state_.head % QUEUE_SLOTS]; }
    // Whether `ticket` was passed over (its holder looked dead or stuck).
    bool passed(uint32_t ticket) const { return static_cast<int32_t>(ticket - state_.head) < 0; }

    uint32_t take(uint32_t pid) {
        const uint32_t ticket = state_.tail++;
        state_.holder[ticket % QUEUE_SLOTS] = pid;
        return ticket;
    }
    // The head posts: its turn is used.
    void pop() {
        ++state_.head;
        skip_given_up();
    }
    // A holder gives its turn up; true when the head moved.
    bool give_up(uint32_t ticket) {
        if (passed(ticket) || ticket - state_.head >= state_.tail - state_.head) {
            return false;
        }
        state_.holder[ticket % QUEUE_SLOTS] = 0;
        const uint32_t head = state_.head;
        skip_given_up();
        return head != state_.head;
    }

private:
    void skip_given_up() {
        while (!empty() && head_holder() == 0) {
            ++state_.head;
        }
    }

    CallerState& state_;
};

// The waiters to wake after the change from `before` to `after`, of those
// that may be asleep; the sleep marks of those woken are cleared in `after`.
uint32_t waiters_to_wake(FunctionRecord& record, CallWord before, CallWord& after) noexcept {
    if (before.exchange() == after.exchange()) {
        return 0;
    }
    if (((before.bits ^ after.bits) & CallWord::FLAGS_MASK) != 0) {
        after = after.without_flag(CallWord::ASLEEP_MASK);
        return EVERYBODY;
    }
    uint32_t kinds = 0;
    if ((after.bits & CallWord::SERVER_ASLEEP) != 0 && after.state() == CallWord::POSTED) {
        after = after.without_flag(CallWord::SERVER_ASLEEP);
        kinds |= SERVER_WAITS;
    }
    if ((after.bits & CallWord::CALLER_ASLEEP) != 0 &&
        (after.state() == CallWord::IDLE || after.state() == CallWord::REPLIED || before.state() == CallWord::REPLIED)) {
        after = after.without_flag(CallWord::CALLER_ASLEEP);
        kinds |= CALLERS_WAIT;
    }
    const Queue queue(record.shm()->callers);
    if (after.state() == CallWord::IDLE && !queue.empty() &&
        (before.state() != CallWord::IDLE || after.queue_moved(before))) {
        kinds |= queued_waiter(queue.head());
    }
    return kinds;
}

// Runs `look` on the locked record, unlocks it and wakes whom the change
// concerns; `seen` is the call word as left.
template <typename Look>
Step look_and_unlock(FunctionRecord& record, Look& look, CallWord& seen) noexcept {
    const CallWord before = record.word();
    const Step step = look(before);
    CallWord after = record.word();
    const CallWord changed = after;
    const uint32_t kinds = waiters_to_wake(record, before, after);
    if (after.bits != changed.bits) {
        record.set_word(after);
    }
    seen = after;
    pthread_mutex_unlock(&record.shm()->mutex);
    if (kinds != 0) {
        futex::wake(&record.shm()->call, kinds);
    }
    return step;
}

// Marks the waiter asleep on the word, unless the word moved on from `seen`
// meanwhile or the lock is not had by `deadline`; true (with `seen` marked)
// when it may sleep.
bool mark_asleep(FunctionRecord& record, uint32_t mark, CallWord& seen, const timespec& deadline) noexcept {
    if (lock_record(record, deadline) != 0) {
        return false;
    }
    const CallWord now = record.word();
    const bool unchanged = now.bits == seen.bits;
    if (unchanged) {
        seen = now.with_flag(mark);
        record.set_word(seen);
    }
    pthread_mutex_unlock(&record.shm()->mutex);
    return unchanged;
}

// How long a waiter watches the call word before it sleeps. Between two
// processes on otherwise idle CPUs the other side usually answers within a
// few microseconds, far sooner than a sleep and a cross-CPU wake-up take; on a
// busy machine watching mostly fails and only takes CPU time from the other
// side. So the watch shrinks while it fails, and once it has shrunk to
// nothing a full watch is tried now and then; one that pays off restores it. Serving and
// calling keep separate budgets: they wait for different things.
class SpinBudget {
public:
    bool watch(const std::atomic<uint32_t>& word, uint32_t seen, bool peer_on_this_cpu) noexcept {
        long budget = budget_ns_.load(std::memory_order_relaxed);
        if (budget < MIN_NS) {
            if (++waits_without_watch_ % RETRY_EVERY != 0 || !several_cpus()) {
                return false;
            }
            budget = MAX_NS;
        }
        const bool changed = futex::watch(&word, seen, budget, peer_on_this_cpu);
        budget = changed ? MAX_NS : budget - budget / 4;
        budget_ns_.store(budget < MIN_NS ? 0 : budget, std::memory_order_relaxed);
        return changed;
    }

private:
    static constexpr long MIN_NS = 2000;
    static constexpr long MAX_NS = 20000;
    static constexpr unsigned RETRY_EVERY = 16;

    static bool several_cpus() noexcept {
        static const bool several = sysconf(_SC_NPROCESSORS_ONLN) > 1;
        return several;
    }

    std::atomic<long> budget_ns_{MAX_NS};
    std::atomic<unsigned> waits_without_watch_{0};
};

SpinBudget server_spin;
SpinBudget caller_spin;


// Runs `look` under the record's mutex until it is done, sleeping on the call
// word in between as `mode` (which the look may change) says: 0 when done,
// ETIMEDOUT when a slice (or the time `limit`) passed first or a signal
// arrived, or the errno of a failed lock. Runs without the GIL.
template <typename Look>
int look_for_a_slice(FunctionRecord& record, const WaitMode& mode, Look& look, const timespec* limit) noexcept {
    const timespec slice_end = shm::slice_end(limit);
    for (;;) {
        const int rc = lock_record(record, slice_end);
        if (rc != 0) {
            return rc;
        }
        CallWord seen;
        if (look_and_unlock(record, look, seen) == Step::Done) {
            return 0;
        }
        const bool serving = mode.mask == SERVER_WAITS;
        CallerState& callers = record.shm()->callers;
        const auto cpu = static_cast<uint16_t>(sched_getcpu());
        (serving ? callers.server_cpu : callers.caller_cpu).store(cpu, std::memory_order_relaxed);
        const bool peer_here = (serving ? callers.caller_cpu : callers.server_cpu).load(std::memory_order_relaxed) == cpu;
        SpinBudget& spin = serving ? server_spin : caller_spin;
        if (mode.watches && spin.watch(record.shm()->call, seen.bits, peer_here)) {
            continue;
        }
        if (mode.asleep_mark != 0 && !mark_asleep(record, mode.asleep_mark, seen, slice_end)) {
            continue;
        }
        if (!futex::wait(&record.shm()->call, seen.bits, slice_end, mode.mask) || passed(slice_end)) {
            return ETIMEDOUT;
        }
    }
}

// KeepWaiting is what a check between slices says when nothing ended the wait.
enum class WaitEnd { Done, Failed, ServerGone, Orphaned, TimedOut, KeepWaiting };

// Whether no live process serves the record any more.
bool nobody_serves(const FunctionRecord& record) { return !write_locked_elsewhere(record.fd(), SERVER_LOCK_BYTE); }

inline WaitEnd keep_waiting() { return WaitEnd::KeepWaiting; }

// Calls `look(word)` under the record's mutex, with the GIL released, until it
// returns Step::Done, waiting as `mode` says. Between slices (which end at
// `limit` at the latest) the GIL is taken to run signal handlers and
// `between()`, which may end the wait. Failed means an exception is set.
template <typename Look, typename Between = WaitEnd (*)()>
WaitEnd wait_on_record(FunctionRecord& record, const WaitMode& mode, Look&& look, Between&& between = keep_waiting,
                       const timespec* limit = nullptr) {
    for (;;) {
        const int rc = shm::without_gil([&] { return look_for_a_slice(record, mode, look, limit); });
        if (rc == 0) {
            return WaitEnd::Done;
        }
        if (rc != ETIMEDOUT) {
            shm::set_lock_error(rc, record.name);
            return WaitEnd::Failed;
        }
        if (PyErr_CheckSignals() < 0) {
            return WaitEnd::Failed;
        }
        const WaitEnd end = between();
        if (end != WaitEnd::KeepWaiting) {
            return end;
        }
    }
}

// Runs `look` once under the record's mutex (waiting for it a slice at most,
// and no later than `limit`), with the GIL released; whether it said Done.
template <typename Look>
bool look_once(FunctionRecord& record, Look&& look, const timespec* limit = nullptr) {
    return shm::without_gil([&] {
        if (lock_record(record, shm::slice_end(limit)) != 0) {
            return false;
        }
        CallWord seen;
        return look_and_unlock(record, look, seen) == Step::Done;
    });
}

// Applies `change` under the mutex on a path that is already failing: no
// signal checks, and after a few slices of a lock held by a stopped process it
// gives up (a waiter then finds the serving side's lock released).
template <typename Change>
void change_on_the_way_out(FunctionRecord& record, Change&& change) {
    constexpr int SLICES = 5;
    shm::without_gil([&] {
        for (int i = 0; i < SLICES; ++i) {
            const int rc = lock_record(record, shm::slice_end());
            if (rc == ETIMEDOUT) {
                continue;
            }
            if (rc == 0) {
                auto look = [&change](CallWord word) {
                    change(word);
                    return Step::Done;
                };
                CallWord seen;
                look_and_unlock(record, look, seen);
            }
            return;
        }
    });
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
            while (*link != this) {
                link = &(*link)->next_;
            }
            *link = next_;
        }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

        // Whether this process is a child forked since the entry was made.
        bool forked() const { return pid_ != shm::this_process(); }

    private:
        friend class RecordThreads;
        RecordThreads& registry_;
        dev_t dev_;
        ino_t ino_;
        pthread_t thread_;
        pid_t pid_;  // a forked child uses nothing of its parent's
        Entry* next_;
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

// A forked child must not keep its parent alive in the eyes of others, nor
// count its parent's calls as its own.
void disown_after_fork() noexcept {
    calls_in_flight.store(0, std::memory_order_relaxed);
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
    if (static_cast<uint64_t>(st.st_size) != FUNCTION_RECORD_SIZE ||
        record.object->mapping.length() != FUNCTION_RECORD_SIZE) {
        return OpenOutcome::NotAFunction;
    }
    return recognised_as_record(record.object->mapping.bytes()) ? OpenOutcome::Opened : OpenOutcome::NotAFunction;
}

// --- Serving side ---

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
    if (size == FUNCTION_RECORD_SIZE && got >= static_cast<ssize_t>(RECORD_RECOGNISED_BYTES) &&
        recognised_as_record(head)) {
        return ObjectKind::Function;
    }
    return ObjectKind::Foreign;
}

enum class Removal { Removed, Gone, Served, Other, Failed };

// Removes the object at `path` if it is one of ours of `kind`, a function
// record only when its server is dead: Gone when the name leads nowhere or
// no longer to the object recognised, Failed with errno set when the system
// refuses. Taking the dead server's lock is what entitles a process to
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
    if (kind == ObjectKind::Function && !take_write_lock(fd.get(), SERVER_LOCK_BYTE)) {
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

// Creates the record of `record.name`, initialised, served (the server lock
// taken) and only then published, so nobody ever sees it half made. A record
// left by a server that died is taken over.
bool create_function_record(FunctionRecord& record) {
    const char* name = record.name;
    std::string path;
    if (!shm::shm_path(name, path)) {
        return record_not_created("Failed to create memory address '%s'.", name);
    }
    if (shm::name_exists(path)) {
        if (!remove_dead_record(path)) {
            return record_not_created("The memory address '%s' already exists.", name);
        }
        std::string file;
        if (shm::shm_file_name(name, file)) {
            object_cache.drop(file);
        }
    }
    record.object = shm::ObjectUse::unshared();
    shm::Fd& fd = record.object->fd;
    fd = shm::create_unnamed();
    if (!fd.valid()) {
        return record_not_created("Failed to create memory address '%s'.", name);
    }
    if (::ftruncate(fd.get(), FUNCTION_RECORD_SIZE) != 0 || !shm::allocate_range(fd.get(), 0, FUNCTION_RECORD_SIZE)) {
        return record_not_created("Failed to allocate for shared memory address '%s'.", name);
    }
    shm::Mapping& mapping = record.object->mapping;
    if (!object_cache.map_freeing_unused([&] { return mapping.map(fd.get(), FUNCTION_RECORD_SIZE); })) {
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
    shm->activity = 1;
    if (!take_write_lock(fd.get(), SERVER_LOCK_BYTE)) {
        return record_not_created("Failed to create memory address '%s'.", name);
    }
    record.object->held_liveness();
    if (!shm::publish(fd.get(), path)) {
        return record_not_created(errno == EEXIST ? "The memory address '%s' already exists."
                                               : "Failed to create memory address '%s'.",
                               name);
    }
    return true;
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

// Ends serving: the caller of a pending exchange is answered with the null
// message (an uncollected reply stays for its caller), everybody who waits or
// comes later finds the record ended, and the name goes.
void end_serving(FunctionRecord& record) {
    change_on_the_way_out(record, [&record](CallWord word) {
        switch (word.state()) {
            case CallWord::POSTED:
            case CallWord::EXECUTING:
                null_function(record.shm());
                word = word.with_state(CallWord::REPLIED);
                break;
            case CallWord::REPLIED:
                break;
            default:
                null_function(record.shm());
                word = word.with_state(CallWord::IDLE);
                break;
        }
        record.shm()->activity = 0;
        record.set_word(word.with_flag(CallWord::ENDED));
    });
    unlink_if_ours(record);
}

// False with an exception set when Ctrl-C (or the like) interrupted it; a
// failure to flush is otherwise no reason to fail a stop that has happened.
bool print_stop_line() {
    PySys_WriteStdout("read\n");
    // The line must reach a pipe at once, not when the process exits.
    PyRef out = PyRef::borrow(PySys_GetObject("stdout"));
    if (!out || out.get() == Py_None) {
        std::fflush(stdout);
        return true;
    }
    PyRef flushed(PyObject_CallMethod(out.get(), "flush", nullptr));
    return flushed || clear_ordinary_error();
}

// One request as the serving side took it.
struct Request {
    unsigned char area[MESSAGE_SIZE];
    uint64_t number = 0;
    bool large_reply = false;  // a result too large for the area may go outside it
    OutsideMessage reply_buffer{};  // where such a result goes
    shm::Fd payload;           // the caller's buffer, once opened
    int payload_error = 0;     // why it could not be opened
    MappedBuffer* mapped = nullptr;  // its mapping, once opened
    MappedBuffers buffers;     // the mappings kept between exchanges

    // Opens the buffer `message` names, of at least `length` bytes.
    void open_payload(const OutsideMessage& message, uint64_t length) {
        struct stat st;
        payload = open_buffer(message, length, payload_error, st);
        if (payload.valid()) {
            mapped = &buffers.of(message, st);
        }
    }

    // At the end of an exchange, which its caller gave up unless `delivered`,
    // and whose result took `result_length` bytes of the buffer.
    void release_payload(bool delivered = false, uint64_t result_length = 0) {
        if (mapped) {
            const uint64_t args_length = is_outside(area) ? read_outside(area).length : 0;
            buffers.done_with(*mapped, delivered, std::max(args_length, result_length));
            mapped = nullptr;
        }
        payload.reset();
    }
};

// Under the mutex, while the caller still keeps it: opens the payload the
// request names. Only the process that posted the request may name one.
void open_request_payload(const FunctionRecord& record, Request& request) {
    const OutsideMessage message = read_outside(request.area);
    const uint32_t poster = record.shm()->callers.poster_pid.load(std::memory_order_relaxed);
    if (message.kind != static_cast<uint8_t>(Outside::Payload) || (poster != 0 && poster != message.pid)) {
        request.payload_error = EPERM;
        return;
    }
    request.open_payload(message, message.length);
}

// Under the mutex: what a request says of the buffer a large result goes to.
void note_reply_buffer(const FunctionRecord& record, Request& request) {
    const CallerState& callers = record.shm()->callers;
    request.large_reply = callers.large_reply != 0;
    if (request.large_reply) {
        request.reply_buffer = outside_message(Outside::Payload, 0);
        request.reply_buffer.pid = callers.poster_pid.load(std::memory_order_relaxed);
        request.reply_buffer.fd = callers.reply_fd;
        request.reply_buffer.inode = callers.reply_inode;
    }
}

// The arguments of a request, decoded from the area or from the caller's
// buffer (whose mapping is kept for a large result).
PyObject* request_args(Request& request) {
    if (!is_outside(request.area)) {
        return to_value_range(request.area, MESSAGE_SIZE);
    }
    return decode_from_file(request.payload.get(), request.mapped->view, read_outside(request.area).length,
                            "payload");
}

// Opens the caller's buffer for a large result while the caller still waits
// (and so keeps it open); false when the caller gave up. It may run in the
// middle of the result's encoding, which must keep the GIL, so it reads the
// word without the mutex rather than wait for it. That is enough: a caller
// that gives up marks the word first and never uses that buffer again, and
// one that gives up after this look is told apart when the reply is posted,
// as it would be after any look. The exchange number cannot move while this
// side executes the request, so its two parts are read whole.
bool open_reply_buffer(const FunctionRecord& record, Request& request) {
    const CallWord word = record.word();
    if (record.exchange_number(word) != request.number || word.state() != CallWord::EXECUTING) {
        return false;
    }
    request.open_payload(request.reply_buffer, 0);
    return true;
}

// The caller's buffer as the area a large result is encoded into, opened
// when the encoding first outgrows the encoder's own buffer. A refusal
// leaves the reply that says why in `refusal`.
struct ReplyArea {
    ReplyArea(FunctionRecord& reply_record, Request& reply_request) : record(reply_record), request(reply_request) {
        area.grow = grow;
        area.owner = this;
    }
    ReplyArea(const ReplyArea&) = delete;
    ReplyArea& operator=(const ReplyArea&) = delete;

    FunctionRecord& record;
    Request& request;
    EncodeArea area;
    OutsideMessage refusal{};

private:
    static bool grow(EncodeArea& area, size_t size, EncodeArea::When when) {
        ReplyArea& self = *static_cast<ReplyArea*>(area.owner);
        Request& request = self.request;
        if (!request.payload.valid()) {
            if (!open_reply_buffer(self.record, request)) {
                self.refusal = outside_message(Outside::NoRoom, 0, ECANCELED);  // dropped: nobody waits for it
                return false;
            }
            if (!request.payload.valid()) {
                self.refusal = outside_message(Outside::Unreadable, 0, request.payload_error);
                return false;
            }
        }
        MappedBuffer& mapped = *request.mapped;
        const int error = grow_file_area(area, request.payload.get(), mapped.view, mapped.allocated, size, when);
        if (error != 0) {
            self.refusal = outside_message(Outside::NoRoom, 0, error);
        }
        return error == 0;
    }
};

// The encoded reply to one request. `encoded` holds it, unless it went
// into the caller's buffer (`encoded` is None, `length` tells its size).
struct Answer {
    PyRef encoded;
    size_t length = 0;
};

// The callable's result for a request, or the no-value encoding when the
// area holds no argument tuple (or nothing decodable); a large result for a
// handle goes into `reply`. False with an exception set when serving must end.
bool answer(PyObject* func, Request& request, ReplyArea& reply, Answer& out) {
    PyRef args(request_args(request));
    if (!args && !clear_ordinary_error()) {
        return false;
    }
    if (!args || !PyTuple_Check(args.get())) {
        out.encoded.reset(from_value(nullptr));
        return bool(out.encoded);
    }
    PyRef result(PyObject_Call(func, args.get(), nullptr));
    args.reset();  // its memory is free again before the result is encoded
    if (!result) {
        return false;
    }
    out.encoded.reset(request.large_reply ? from_value_into(result.get(), reply.area, out.length)
                                          : from_value(result.get()));
    return bool(out.encoded);
}

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

// Takes the next request into `request`; `stop` when a stop request came
// first, or when the record's name was removed. False with an exception set
// (Ctrl-C, a broken lock).
bool take_request(FunctionRecord& record, Request& request, bool& stop) {
    stop = false;
    // Between slices without a request: serving is idle, so the callers'
    // buffers are let go.
    const auto notice_orphaning = [&record, &request] {
        request.buffers.forget_all();
        return orphaned(record) ? WaitEnd::Orphaned : WaitEnd::KeepWaiting;
    };
    const WaitEnd end = wait_on_record(record, SERVER_MODE, [&](CallWord word) {
        if (record.shm()->activity == 0) {
            stop = true;
            return Step::Done;
        }
        if (word.state() != CallWord::POSTED) {
            return Step::Wait;
        }
        std::memcpy(request.area, record.area(), MESSAGE_SIZE);
        request.number = record.exchange_number(word);
        note_reply_buffer(record, request);
        request.release_payload();
        if (is_outside(request.area)) {
            open_request_payload(record, request);
        }
        record.set_word(word.with_state(CallWord::EXECUTING));
        return Step::Done;
    }, notice_orphaning);
    if (end == WaitEnd::Orphaned) {
        stop = true;
        return true;
    }
    return end == WaitEnd::Done;
}

// Posts a reply unless its caller gave up (`delivered` tells which).
bool post_reply(FunctionRecord& record, uint64_t number, const void* data, size_t size, bool& delivered) {
    delivered = false;
    const WaitEnd end = wait_on_record(record, SERVER_MODE, [&](CallWord word) {
        if (record.exchange_number(word) != number) {
            return Step::Done;
        }
        if (word.state() == CallWord::EXECUTING) {
            std::memcpy(record.area(), data, size);
            delivered = true;
            record.set_word(word.with_state(CallWord::REPLIED));
        } else if (word.state() == CallWord::ABANDONED) {
            record.set_word(word.with_state(CallWord::IDLE));
        }
        return Step::Done;
    });
    return end == WaitEnd::Done;
}

// A process that the callable forked returns here as a copy of the server;
// it must not answer or end anything on its parent's record.
PyObject* forked_child_error(const char* name) {
    PyErr_Format(PyExc_RuntimeError,
                 "The function '%s' is served by the parent of this forked process: the child cannot serve it.",
                 name);
    return nullptr;
}

// Posts a reply: in the message area when it fits, else, when the request
// takes it, in the caller's buffer. A result that could not be stored there
// is answered as such and serving goes on. False with an exception set when
// serving must end; `delivered` tells whether the caller still waited.
bool post_result(FunctionRecord& record, Request& request, const ReplyArea& reply, const Answer& answer,
                 bool& delivered) {
    if (answer.encoded.get() == Py_None) {
        if (answer.length <= MESSAGE_SIZE) {
            return post_reply(record, request.number, request.mapped->view.bytes(), answer.length, delivered);
        }
        const OutsideMessage message = outside_message(Outside::Payload, answer.length);
        return post_reply(record, request.number, &message, sizeof message, delivered);
    }
    const unsigned char* data;
    size_t size;
    if (!encoded_bytes(answer.encoded.get(), "Failed to convert a Python bytes object to C bytes.", data, size)) {
        return false;
    }
    if (size <= MESSAGE_SIZE || !request.large_reply) {
        return message_bytes(answer.encoded.get(), "Failed to convert a Python bytes object to C bytes.",
                             "The returned value exceeds the maximum accepted return size of 1024 bytes.", data,
                             size) &&
               post_reply(record, request.number, data, size, delivered);
    }
    // The buffer refused it.
    OutsideMessage message = is_outside(&reply.refusal.marker) ? reply.refusal
                                                                : outside_message(Outside::NoRoom, 0, ENOMEM);
    message.length = size;
    return post_reply(record, request.number, &message, sizeof message, delivered);
}

// Serves requests until a stop request (None) or a failure (null).
PyObject* serve(FunctionRecord& record, PyObject* func, const RecordThreads::Entry& served) {
    Request request;
    for (;;) {
        bool stop;
        bool delivered;
        if (!take_request(record, request, stop)) {
            break;
        }
        request.buffers.note_request();
        if (stop) {
            end_serving(record);
            if (!print_stop_line()) {
                return nullptr;
            }
            Py_RETURN_NONE;
        }
        if (request.area[0] == 0) {
            PyErr_SetString(PyExc_RuntimeError,
                            "Received a NULL message from the caller. This is likely because the "
                            "caller sent arguments of too large size.");
            break;
        }
        if (is_outside(request.area) && !request.payload.valid()) {
            const OutsideMessage refusal = outside_message(Outside::Unreadable, 0, request.payload_error);
            if (!post_reply(record, request.number, &refusal, sizeof refusal, delivered)) {
                break;
            }
            continue;
        }
        ReplyArea reply(record, request);
        Answer result;
        const bool answered = answer(func, request, reply, result);
        if (served.forked()) {
            return forked_child_error(record.name);
        }
        if (!answered || !post_result(record, request, reply, result, delivered)) {
            break;
        }
        const bool large_result = result.encoded.get() == Py_None && result.length > MESSAGE_SIZE;
        request.release_payload(delivered, large_result ? result.length : 0);
    }
    end_serving(record);
    return nullptr;
}

PyObject* create_shared_function(const char* name, PyObject* func) {
    PyRef func_ref = PyRef::borrow(func);
    FunctionRecord record(name);
    if (!create_function_record(record)) {
        return nullptr;
    }
    struct stat st;
    if (::fstat(record.fd(), &st) != 0) {
        end_serving(record);
        return memory_error("Failed to create memory address '%s'.", name);
    }
    RecordThreads::Entry served(serving_threads, st);
    return serve(record, func_ref.get(), served);
}

// --- Stop request ---

// The record's view is dropped from the cache at once: the record is ending.
PyObject* stop_shared_function(const char* name) {
    FunctionRecord record(name);
    struct stat st;
    const OpenOutcome outcome = open_function_record(record, st);
    if (record.object) {
        object_cache.drop(record.object->file);
    }
    if (outcome != OpenOutcome::Opened) {
        Py_RETURN_FALSE;
    }
    // Never sleeps: only the lock may have to be waited for.
    const WaitEnd end = wait_on_record(record, SERVER_MODE, [&record](CallWord word) {
        record.shm()->activity = 0;
        record.set_word(word.with_flag(CallWord::STOP));
        return Step::Done;
    });
    if (end != WaitEnd::Done) {
        return nullptr;
    }
    Py_RETURN_TRUE;
}

// --- Calling side ---

// Tells how long the same word has stood: a scribbled call state, or a reply
// whose poster is not known, is reclaimed once it stood for a second, and a
// queue head that does not post is passed over then.
class StaleReply {
public:
    // Whether `word` was seen at the previous look too; starts watching it if not.
    bool seen_again(CallWord word) {
        if (watching_ && word.exchange() == bits_) {
            return true;
        }
        watching_ = true;
        bits_ = word.exchange();
        clock_gettime(CLOCK_MONOTONIC, &since_);
        return false;
    }

    bool for_a_second() const {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return now.tv_sec - since_.tv_sec > 1 || (now.tv_sec - since_.tv_sec == 1 && now.tv_nsec >= since_.tv_nsec);
    }

private:
    bool watching_ = false;
    uint32_t bits_ = 0;
    timespec since_{};
};

enum class CallEnd { Replied, Refused, Lost };

// Takes this process's caller lock on the record, once per open record: it is
// kept while the record stays open. Without it (it could not be had) a reply
// this process leaves behind is reclaimed after a second instead of at once.
void hold_caller_lock(FunctionRecord& record) {
    shm::MappedObject& object = *record.object;
    const pid_t pid = shm::this_process();
    if (object.caller_lock_pid != pid &&
        take_write_lock(object.fd.get(), CALLER_LOCK_BASE + static_cast<off_t>(pid))) {
        object.caller_lock_pid = pid;
        object.held_liveness();
    }
}

// What a request records as its poster: this process's pid when it holds its
// caller lock, else 0 (unknown).
uint32_t poster_pid(const FunctionRecord& record) {
    const pid_t pid = shm::this_process();
    return record.object->caller_lock_pid == pid ? static_cast<uint32_t>(pid) : 0;
}

enum class Poster { Alive, Dead, Unknown };

// Under the record's mutex: whether the process that posted the exchange in
// flight still lives, as its caller lock says. Whether this process's own
// lock stands for a call of its own is for its count of calls to tell.
Poster poster_of_exchange(const FunctionRecord& record) {
    const uint32_t pid = record.shm()->callers.poster_pid.load(std::memory_order_relaxed);
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

// The calling side of one exchange: queues for its turn when others wait
// before it, posts the request once the record is idle and its turn has come,
// then waits for the reply carrying its own exchange number.
struct Call {
    enum class Phase { Arriving, Queued, Posted };

    Call(FunctionRecord& call_record, const unsigned char* call_args, size_t size, CallBuffer* call_buffer)
        : record(call_record), args(call_args), args_size(size), buffer(call_buffer) {}
    ~Call() {
        if (posted()) {
            calls_in_flight.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    FunctionRecord& record;
    const unsigned char* args;
    size_t args_size;
    // Where payloads too large for the message area go, both ways (none for
    // call_function).
    CallBuffer* buffer;
    Phase phase = Phase::Arriving;
    uint32_t ticket = 0;
    WaitMode mode = ROOM_MODE;
    uint64_t number = 0;
    CallEnd end = CallEnd::Refused;
    unsigned char reply[MESSAGE_SIZE];
    StaleReply stale;
    StaleReply stuck_head;

    bool posted() const { return phase == Phase::Posted; }

    Step look(CallWord word) { return posted() ? look_for_reply(word) : try_to_post(word); }

    Step try_to_post(CallWord word) {
        if (record.shm()->activity == 0 || word.ended()) {
            give_up_turn(word);
            end = CallEnd::Refused;
            return Step::Done;
        }
        if (reclaimable(word)) {
            word = word.with_state(CallWord::IDLE);
            record.set_word(word);
        }
        Queue queue(record.shm()->callers);
        if (phase == Phase::Queued && queue.passed(ticket)) {
            phase = Phase::Arriving;  // passed over while it did not run: queue again
        }
        const bool idle = word.state() == CallWord::IDLE;
        if (phase == Phase::Arriving) {
            if (idle && queue.empty()) {
                return post(word);
            }
            if (queue.full()) {
                mode = ROOM_MODE;
                return Step::Wait;
            }
            ticket = queue.take(static_cast<uint32_t>(shm::this_process()));
            phase = Phase::Queued;
            mode = queued_mode(ticket);
            return Step::Wait;
        }
        if (idle && queue.head() == ticket) {
            queue.pop();
            return post(word);
        }
        return Step::Wait;
    }

    Step post(CallWord word) {
        record.shm()->callers.poster_pid.store(poster_pid(record), std::memory_order_relaxed);
        CallerState& callers = record.shm()->callers;
        callers.large_reply = buffer ? 1 : 0;
        callers.reply_fd = buffer ? buffer->fd.get() : -1;
        callers.reply_inode = buffer ? static_cast<uint32_t>(buffer->inode) : 0;
        std::memcpy(record.area(), args, args_size);
        number = record.post_next_request(word);
        calls_in_flight.fetch_add(1, std::memory_order_relaxed);
        phase = Phase::Posted;
        mode = REPLY_MODE;
        return Step::Wait;
    }

    // A queued caller's turn given up (Ctrl-C, a time limit, an end); the
    // next holder is woken when the record is idle.
    void give_up_turn(CallWord word) {
        if (phase != Phase::Queued) {
            return;
        }
        phase = Phase::Arriving;
        Queue queue(record.shm()->callers);
        if (queue.give_up(ticket) && word.state() == CallWord::IDLE) {
            record.set_word(word.with_queue_moved());
        }
    }

    // Between slices, for a queued caller: a head that does not post although
    // the record is idle is passed over once its process has died, or after a
    // second (it may be stopped); it queues again when it runs.
    Step pass_over_a_stuck_head(CallWord word) {
        Queue queue(record.shm()->callers);
        if (phase != Phase::Queued || word.state() != CallWord::IDLE || queue.empty() || queue.head() == ticket) {
            return Step::Wait;
        }
        const CallWord head{queue.head()};
        const bool again = stuck_head.seen_again(head);
        const uint32_t holder = queue.head_holder();
        const bool dead = holder != static_cast<uint32_t>(shm::this_process()) &&
                          !write_locked_elsewhere(record.fd(), CALLER_LOCK_BASE + static_cast<off_t>(holder));
        if (again && (dead || stuck_head.for_a_second()) && queue.give_up(queue.head())) {
            record.set_word(word.with_queue_moved());
        }
        return Step::Wait;
    }

    // A reply whose caller died is reclaimed at once; one whose caller lives
    // never, however long it takes to come for it. A state no process of
    // ours writes (scribbled over), or a reply whose poster could not be
    // known, is reclaimed once it has stood for a second.
    bool reclaimable(CallWord word) {
        if (word.known_state() && word.state() != CallWord::REPLIED) {
            return false;
        }
        const Poster poster = word.known_state() ? poster_of_exchange(record) : Poster::Unknown;
        if (poster != Poster::Unknown) {
            return poster == Poster::Dead;
        }
        return stale.seen_again(word) && stale.for_a_second();
    }

    Step look_for_reply(CallWord word) {
        if (record.exchange_number(word) != number || word.state() == CallWord::IDLE) {
            end = CallEnd::Lost;
            return Step::Done;
        }
        if (word.state() == CallWord::REPLIED) {
            std::memcpy(reply, record.area(), MESSAGE_SIZE);
            record.set_word(word.with_state(CallWord::IDLE));
            end = CallEnd::Replied;
            return Step::Done;
        }
        if (word.ended() || (word.state() == CallWord::POSTED && record.shm()->activity == 0)) {
            // A stop request wins over a request not yet taken: withdraw it.
            if (word.state() == CallWord::POSTED) {
                record.set_word(word.with_state(CallWord::IDLE));
            }
            end = CallEnd::Refused;
            return Step::Done;
        }
        return Step::Wait;
    }

    // The serving process has gone: a reply it posted just before it ended
    // is still collected, and a request it never took is withdrawn.
    Step look_at_the_end(CallWord word) {
        if (!posted()) {
            give_up_turn(word);
            return Step::Wait;
        }
        look_for_reply(word);
        if (end != CallEnd::Replied && record.exchange_number(word) == number && word.state() == CallWord::POSTED) {
            record.set_word(word.with_state(CallWord::IDLE));
        }
        return end == CallEnd::Replied ? Step::Done : Step::Wait;
    }

    // After Ctrl-C: withdraws a request not yet taken, has the serving side
    // drop the reply of one being executed, or drops a reply not collected.
    void give_up() {
        if (phase == Phase::Arriving) {
            return;
        }
        change_on_the_way_out(record, [this](CallWord word) {
            if (phase == Phase::Queued) {
                give_up_turn(word);
                return;
            }
            if (record.exchange_number(word) != number) {
                return;
            }
            if (word.state() == CallWord::POSTED || word.state() == CallWord::REPLIED) {
                record.set_word(word.with_state(CallWord::IDLE));
            } else if (word.state() == CallWord::EXECUTING) {
                record.set_word(word.with_state(CallWord::ABANDONED));
            }
        });
    }
};

PyObject* null_reply_error() {
    PyErr_SetString(PyExc_RuntimeError,
                    "Received a NULL message from the function. This is likely because the function "
                    "returned arguments of too large size.");
    return nullptr;
}

bool open_for_call(FunctionRecord& record, struct stat& st) {
    switch (open_function_record(record, st)) {
        case OpenOutcome::Opened:
            break;
        case OpenOutcome::OpenFailed:
            PyErr_SetString(PyExc_MemoryError, "Failed to open the shared memory.");
            return false;
        case OpenOutcome::MapFailed:
            PyErr_SetString(PyExc_MemoryError, "Failed to map the shared memory.");
            return false;
        case OpenOutcome::NotAFunction:
            memory_error("The shared memory address '%s' does not hold a hosted function.", record.name);
            return false;
    }
    return true;
}

// Whether this thread may call the record (status `st`) without waiting for
// itself; false with a RuntimeError set otherwise.
bool may_call_from_this_thread(const FunctionRecord& record, const struct stat& st) {
    if (serving_threads.by_this_thread(st)) {
        PyErr_Format(PyExc_RuntimeError,
                     "The function '%s' is served by this thread: calling it from its own callable "
                     "would wait for itself for ever.",
                     record.name);
        return false;
    }
    if (calling_threads.by_this_thread(st)) {
        PyErr_Format(PyExc_RuntimeError,
                     "The function '%s' is already being called by this thread (from a signal handler, "
                     "for example): the nested call would wait for itself for ever.",
                     record.name);
        return false;
    }
    return true;
}

// Takes the buffer of a handle's call: the handle's spare one when this
// process made it, else a new one. False with a MemoryError set.
bool take_buffer(const FunctionRecord& record, CallBuffer& spare, CallBuffer& buffer) {
    if (spare.usable()) {
        buffer = std::move(spare);
        return true;
    }
    spare = CallBuffer();  // a forked child's copy of its parent's
    if (!make_buffer(buffer)) {
        PyErr_Format(PyExc_MemoryError, "Failed to create a shared memory buffer for calls of '%s': %s.",
                     record.name, std::strerror(errno));
        return false;
    }
    return true;
}

// Hands a buffer back to its handle after a call that the serving side
// cannot write to any more and that used `used` bytes of it, unless the
// handle has one again (another thread's call) or it is not worth keeping.
// Its view covers all of it that either side used.
void give_back_buffer(CallBuffer& spare, CallBuffer& buffer, uint64_t used) {
    if (!spare.fd.valid() && worth_keeping(buffer.view.length(), used)) {
        spare = std::move(buffer);
    }
}

// A call's encoded arguments, and the bytes to post for them: these bytes,
// or a message naming them in the call's buffer.
struct CallArguments {
    PyRef encoded;
    const unsigned char* data = nullptr;
    size_t size = 0;
    OutsideMessage message{};
    uint64_t length = 0;  // of those in the buffer
};

// Encodes the arguments of a call_function call, which must fit the message
// area; false with an exception set otherwise.
bool encode_arguments(PyObject* args, CallArguments& out) {
    out.encoded.reset(from_value(args));
    return out.encoded && message_bytes(out.encoded.get(), "Failed to convert the args to C bytes.",
                                        "The received args exceed the maximum accepted arg size of 1024 bytes.",
                                        out.data, out.size);
}

// Encodes the arguments of a handle's call: small ones for the message area,
// larger ones straight into the call's buffer. False with an exception set
// (a MemoryError when the system refuses the buffer room).
bool encode_arguments(const FunctionRecord& record, PyObject* args, CallBuffer& buffer, CallArguments& out) {
    ArgumentArea area(buffer);
    size_t length = 0;
    out.encoded.reset(from_value_into(args, area.area, length));
    if (!out.encoded) {
        return false;
    }
    if (out.encoded.get() != Py_None) {
        if (!encoded_bytes(out.encoded.get(), "Failed to convert the args to C bytes.", out.data, out.size)) {
            return false;
        }
        if (out.size > MESSAGE_SIZE) {  // the buffer refused it
            PyErr_Format(PyExc_MemoryError,
                         "Failed to store the %zu bytes of arguments for '%s' in shared memory: %s.", out.size,
                         record.name, std::strerror(area.error));
            return false;
        }
        return true;
    }
    if (length <= MESSAGE_SIZE) {
        out.data = buffer.view.bytes();
        out.size = length;
        return true;
    }
    out.length = length;
    out.message = request_message(buffer, length);
    out.data = reinterpret_cast<const unsigned char*>(&out.message);
    out.size = sizeof out.message;
    return true;
}

// The result of a call that its server answered outside the message area.
PyObject* outside_result(const FunctionRecord& record, Call& call) {
    const OutsideMessage message = read_outside(call.reply);
    const unsigned long long length = message.length;
    switch (static_cast<Outside>(message.kind)) {
        case Outside::Payload: {
            CallBuffer& buffer = *call.buffer;
            buffer.allocated = std::max<uint64_t>(buffer.allocated, message.length);  // the server had them first
            return decode_from_file(buffer.fd.get(), buffer.view, message.length, "result");
        }
        case Outside::Unreadable:
            PyErr_Format(PyExc_RuntimeError,
                         "The serving process of '%s' could not open the buffer of this call: %s.", record.name,
                         std::strerror(message.error));
            return nullptr;
        case Outside::NoRoom:
            PyErr_Format(PyExc_MemoryError,
                         "The serving process of '%s' could not store its result of %llu bytes in shared memory: %s.",
                         record.name, length, std::strerror(message.error));
            return nullptr;
    }
    PyErr_Format(PyExc_RuntimeError, "The reply of '%s' names no result.", record.name);
    return nullptr;
}

// Why a call on a record ended without a result of the function's own.
enum class CallEndedBy { Result, RecordEnded, Other };

// One call of the function behind the open `record` (status `st`) with the
// tuple `args`, waiting until `limit` at the latest (none when null).
// With `spare` (a handle's buffer, which the call takes and hands back),
// arguments and result of any size travel outside the message area.
// `ended_by` tells whether the record is of no more use (its serving ended).
PyObject* call_on_record(FunctionRecord& record, const struct stat& st, PyObject* args, CallBuffer* spare,
                         const timespec* limit, CallEndedBy& ended_by) {
    ended_by = CallEndedBy::Other;
    if (!may_call_from_this_thread(record, st)) {
        return nullptr;
    }
    CallBuffer buffer;
    if (spare && !take_buffer(record, *spare, buffer)) {
        return nullptr;
    }
    CallArguments arguments;
    if (!spare) {
        if (!encode_arguments(args, arguments)) {
            return nullptr;
        }
    } else if (!encode_arguments(record, args, buffer, arguments)) {
        if (!spare->fd.valid()) {
            *spare = std::move(buffer);  // nobody else has seen it: kept as it was
        }
        return nullptr;
    }
    Call call(record, arguments.data, arguments.size, spare ? &buffer : nullptr);
    hold_caller_lock(record);
    RecordThreads::Entry calling(calling_threads, st);
    const auto between_slices = [&] {
        if (nobody_serves(record)) {
            return look_once(record, [&call](CallWord word) { return call.look_at_the_end(word); })
                       ? WaitEnd::Done
                       : WaitEnd::ServerGone;
        }
        if (limit && passed(*limit)) {
            return WaitEnd::TimedOut;
        }
        if (call.phase == Call::Phase::Queued) {
            look_once(record, [&call](CallWord word) { return call.pass_over_a_stuck_head(word); }, limit);
        }
        return WaitEnd::KeepWaiting;
    };
    const auto look = [&call](CallWord word) { return call.look(word); };
    switch (wait_on_record(record, call.mode, look, between_slices, limit)) {
        case WaitEnd::Done:
            break;
        case WaitEnd::ServerGone:
            ended_by = CallEndedBy::RecordEnded;
            PyErr_Format(PyExc_RuntimeError,
                         "Nobody serves the function '%s' any more: its serving process has ended.", record.name);
            return nullptr;
        case WaitEnd::TimedOut:
            call.give_up();
            PyErr_Format(PyExc_TimeoutError, "The call of '%s' did not end within its time limit.", record.name);
            return nullptr;
        default:
            call.give_up();
            return nullptr;
    }
    if (call.end == CallEnd::Lost) {
        PyErr_Format(PyExc_RuntimeError,
                     "The reply to this call of '%s' was lost: another caller took over the exchange.",
                     record.name);
        return nullptr;
    }
    if (call.end == CallEnd::Refused || call.reply[0] == 0) {
        ended_by = CallEndedBy::RecordEnded;
        return null_reply_error();
    }
    ended_by = CallEndedBy::Result;
    if (!spare) {
        return to_value_range(call.reply, MESSAGE_SIZE);
    }
    const bool large_result = is_outside(call.reply);
    PyObject* result = large_result ? outside_result(record, call) : to_value_range(call.reply, MESSAGE_SIZE);
    const uint64_t result_length = large_result ? read_outside(call.reply).length : 0;
    give_back_buffer(*spare, buffer, std::max(arguments.length, result_length));
    return result;
}

PyObject* call_shared_function(const char* name, PyObject* args) {
    FunctionRecord record(name);
    struct stat st;
    if (!open_for_call(record, st)) {
        return nullptr;
    }
    CallEndedBy ended_by;
    return call_on_record(record, st, args, nullptr, nullptr, ended_by);
}

}  // namespace
