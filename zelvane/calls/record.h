// Hosted functions: a record opened and locked by this process, who is alive
// on it, and its life (create, take over, remove). Its bytes are in
// layouts/record.h.
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

#include "calls/side_payload.h"
#include "kel_2.h"
#include "layouts/recognition.h"
#include "layouts/record.h"
#include "platform/errors.h"
#include "platform/futex.h"
#include "platform/object_cache.h"
#include "platform/ofd_locks.h"
#include "platform/shm_support.h"
#include "py_ref.h"

namespace {

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
// whole access: a server holds its write lock on one of the record's lock
// bytes through it while it serves (see SERVER_LOCK_BYTE and POOL_LOCK_BASE),
// which is how a caller tells a live server from a dead one.
struct FunctionRecord {
    explicit FunctionRecord(const char* record_name) : name(record_name) {}

    const char* name;
    shm::ObjectUse object;
    // Whether this view serves the record as one of its pool, and the slot
    // it holds then.
    bool pool_server = false;
    uint32_t pool_slot = 0;
    // The area of the last request this server took, or -1.
    int last_area = -1;
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

// Under the record's mutex: whether the process `pid` that holds a ticket
// of the record's queue still lives, as its caller lock says.
bool caller_lives(const FunctionRecord& record, uint32_t pid) {
    return pid == static_cast<uint32_t>(shm::this_process()) ||
           write_locked_elsewhere(record.fd(), CALLER_LOCK_BASE + static_cast<off_t>(pid));
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

// Removes the record at `path` if its serving process has died, so that a
// restarted server can host the name again; true when it did.
// Removes the record at `path` if its servers have died, and forgets this
// process's view of it. Besides Removed: Gone when the name went meanwhile
// (its last server removed it, say), Served when it names a live record by
// now, Other or Failed.
Removal take_over_dead_record(const char* name, const std::string& path) {
    const Removal removal = remove_recognised(path, ObjectKind::Function);
    std::string file;
    if (removal == Removal::Removed && shm::shm_file_name(name, file)) {
        object_cache.drop(file);
    }
    return removal;
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
    if (shm::name_exists(path)) {
        const Removal removal = take_over_dead_record(name, path);
        if (removal != Removal::Removed && removal != Removal::Gone) {
            return record_not_created("The memory address '%s' already exists.", name);
        }
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
