// What a queue's operations do under its mutex (layouts/queue.h): a process's
// view of the object, its participant's liveness lock, the records of the
// ring, extents for large items, and the repair after a holder died.
// Nothing here blocks or runs Python code except where it says so.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/futex.h"
#include "platform/ofd_locks.h"
#include "platform/shm_support.h"
#include "py_ref.h"
#include "queues/storage.h"

namespace {
namespace queues {

// A process's view of one queue, shared by its handles' operations and
// reservations (reference-counted, touched with the GIL held).
struct QueueMap {
    std::string name;
    shm::Fd fd;            // mapped and probed; never holds a lock
    shm::Mapping control;  // the header; the mutex is locked through it alone
    ExtentView ring_view;  // the ring as this process last mapped it
    uint64_t ring_offset = 0;
    uint64_t ring_size = 0;
    shm::Fd live_fd;  // holds the participant's liveness lock; never mapped
    int slot = -1;    // this process's participant, -1 before one is needed
    Py_ssize_t refs = 1;

    QueueShm* q() const { return control.as<QueueShm>(); }
    const char* what() const { return name.c_str(); }
};

// The queues whose participant lock this process holds: a fork child gives
// the locks up (see disown_queues_after_fork). Touched with the GIL held.
inline std::vector<QueueMap*> participating;

QueueMap* share(QueueMap* map) {
    ++map->refs;
    return map;
}

void unshare(QueueMap* map) {
    if (map && --map->refs == 0) {
        std::erase(participating, map);
        delete map;
    }
}

// One reference to a QueueMap, for as long as its holder lives.
class MapRef {
public:
    MapRef() = default;
    explicit MapRef(QueueMap* map) : map_(share(map)) {}
    MapRef(const MapRef&) = delete;
    MapRef& operator=(const MapRef&) = delete;
    MapRef(MapRef&& other) noexcept : map_(std::exchange(other.map_, nullptr)) {}
    MapRef& operator=(MapRef&& other) noexcept {
        if (this != &other) {
            unshare(std::exchange(map_, std::exchange(other.map_, nullptr)));
        }
        return *this;
    }
    ~MapRef() { unshare(map_); }

    static MapRef adopt(QueueMap* map) {
        MapRef ref;
        ref.map_ = map;
        return ref;
    }
    QueueMap* release() { return std::exchange(map_, nullptr); }
    QueueMap* get() const { return map_; }
    QueueMap* operator->() const { return map_; }
    QueueMap& operator*() const { return *map_; }
    explicit operator bool() const { return map_ != nullptr; }

private:
    QueueMap* map_ = nullptr;
};

// In a fork child: the participant locks are the parent's (the child shares
// their open file descriptions); they are replaced by a harmless descriptor,
// so that the parent's death drops them, and the child takes its own when
// it needs one.
void disown_queues_after_fork() noexcept {
    if (participating.empty()) {
        return;
    }
    const int harmless = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (QueueMap* map : participating) {
        if (harmless >= 0) {
            ::dup3(harmless, map->live_fd.get(), O_CLOEXEC);
        }
        map->slot = -1;
    }
    participating.clear();
    if (harmless >= 0) {
        ::close(harmless);
    }
}

[[maybe_unused]] const int queue_fork_handler = pthread_atfork(nullptr, nullptr, disown_queues_after_fork);

bool damaged(const QueueMap& map) {
    PyErr_Format(PyExc_RuntimeError, "The queue '%s' is damaged.", map.what());
    return false;
}

// --- Waking -----------------------------------------------------------------

// The sleepers to wake once the mutex is let go.
struct Wakes {
    bool items = false;
    bool room = false;
};

void wake_one(std::atomic<uint32_t>* word) noexcept {
    ::syscall(SYS_futex, futex::raw(word), FUTEX_WAKE_BITSET, 1, nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// Whether a producer may add an item now.
bool has_room(const QueueShm* q) { return q->maxsize == 0 || q->ready + q->incoming < q->maxsize; }

// Under the mutex, as it is about to be let go: one sleeper on each side
// that can go on is woken (its word bumped now, the wake made after the
// unlock), so a put or get makes a system call only when somebody sleeps.
// A woken consumer that finds the item gone sleeps again; one that takes it
// and leaves more passes the wake on the same way.
Wakes wakes_due(QueueShm* q) {
    Wakes wakes;
    if (q->ready > 0 && q->get_waiters > 0) {
        q->items_word.fetch_add(1, std::memory_order_release);
        wakes.items = true;
    }
    if (has_room(q) && q->put_waiters > 0) {
        q->room_word.fetch_add(1, std::memory_order_release);
        wakes.room = true;
    }
    return wakes;
}

void wake(QueueShm* q, const Wakes& wakes) {
    if (wakes.items) {
        wake_one(&q->items_word);
    }
    if (wakes.room) {
        wake_one(&q->room_word);
    }
}

// --- The ring ---------------------------------------------------------------------

// Under the mutex: maps the current ring when it moved or grew since this
// process last looked, after checking that the header's fields that change
// still make sense. False with an exception set.
bool follow_ring(QueueMap& map) {
    QueueShm* q = map.q();
    if (q->current > 1 || !ring_shape_fits(ring_of(q), q->heap_end)) {
        return damaged(map);
    }
    const RingShape& ring = ring_of(q);
    if (ring.offset != map.ring_offset || ring.size != map.ring_size) {
        struct stat st;
        if (::fstat(map.fd.get(), &st) != 0 || static_cast<uint64_t>(st.st_size) < ring.offset + ring.size) {
            return damaged(map);
        }
        if (!map.ring_view.map_at(map.fd.get(), ring.offset, ring.size)) {
            PyErr_Format(PyExc_MemoryError, "Failed to map shared memory address '%s'.", map.what());
            return false;
        }
        map.ring_offset = ring.offset;
        map.ring_size = ring.size;
    }
    const uint64_t used = q->tail - q->head;
    if (used > ring.size || q->next - q->head > used) {
        return damaged(map);
    }
    return true;
}

uint64_t place(const QueueMap& map, const QueueShm* q, uint64_t at) {
    return (at - ring_of(q).base) & (map.ring_size - 1);
}

unsigned char* at_place(const QueueMap& map, const QueueShm* q, uint64_t at) {
    return map.ring_view.bytes() + place(map, q, at);
}

// The record at logical offset `at` (between head and tail) and its whole
// length; false when what is there is no record a queue would write.
bool read_record(const QueueMap& map, uint64_t at, RecordHead& head, uint64_t& length) {
    const QueueShm* q = map.q();
    const uint64_t into = at - q->head;
    const uint64_t used = q->tail - q->head;
    const uint64_t where = place(map, q, at);
    if (into >= used || used - into < sizeof head || map.ring_size - where < sizeof head || at % 8 != 0) {
        return false;
    }
    std::memcpy(&head, map.ring_view.bytes() + where, sizeof head);
    length = head.state == PAD ? sizeof head + uint64_t{head.length} : record_bytes(head.length);
    const bool shaped = head.kind == INLINE || (head.kind == EXTENT && head.length == sizeof(ExtentRef));
    return head.state >= READY && head.state <= PAD && shaped && head.owner < PARTICIPANTS && head.zero == 0 &&
           length <= map.ring_size - where && length <= used - into && length % 8 == 0;
}

void set_state(QueueMap& map, uint64_t at, uint8_t state, uint8_t owner = 0) {
    unsigned char* bytes = at_place(map, map.q(), at);
    bytes[offsetof(RecordHead, owner)] = owner;
    std::atomic_ref<unsigned char>(bytes[offsetof(RecordHead, state)]).store(state, std::memory_order_release);
}

ExtentRef extent_of(const QueueMap& map, uint64_t at) {
    ExtentRef ref;
    std::memcpy(&ref, at_place(map, map.q(), at) + sizeof(RecordHead), sizeof ref);
    return ref;
}

// Whether `ref` lies wholly among the object's extents.
bool extent_fits(const QueueShm* q, const ExtentRef& ref) {
    return ref.offset >= HEADER_BYTES && ref.offset % PAGE == 0 && ref.length != 0 &&
           ref.length <= q->heap_end - ref.offset && ref.offset < q->heap_end;
}

// Lets go of one large item's extent; once none is held, the object is cut
// back to the end of its ring (nobody maps what lies beyond).
void free_extent(QueueMap& map, const ExtentRef& ref) {
    QueueShm* q = map.q();
    punch(map.fd.get(), ref.offset, round_page(ref.length));
    if (q->extents > 0) {
        --q->extents;
    }
    const RingShape& ring = ring_of(q);
    if (q->extents == 0 && q->incoming == 0 && q->rings[q->current ^ 1].size == 0 &&
        q->heap_end > ring.offset + ring.size) {
        q->heap_end = ring.offset + ring.size;
        if (::ftruncate(map.fd.get(), static_cast<off_t>(q->heap_end)) != 0) {
            // The object merely stays longer than it needs to be.
        }
    }
}

// Moves head past the records that are done, and next along with it.
void advance_head(QueueMap& map) {
    QueueShm* q = map.q();
    RecordHead head;
    uint64_t length;
    while (q->head != q->tail && read_record(map, q->head, head, length) && (head.state == DONE || head.state == PAD)) {
        const bool next_here = q->next == q->head;
        q->head += length;
        if (next_here) {
            q->next = q->head;
        }
    }
}

// Grows the ring to `size` bytes: the records are copied, in order, to the
// start of a new extent, which becomes current in one store. A holder that
// dies before that store leaves the old ring current and the new one in the
// other descriptor, and the repair gives it back; one that dies after it
// leaves the old one there, likewise given back.
bool grow_ring(QueueMap& map, uint64_t size) {
    QueueShm* q = map.q();
    const uint32_t spare = q->current ^ 1;
    const uint64_t used = q->tail - q->head;
    q->rings[spare] = RingShape{q->heap_end, size, q->head};
    if (allocate_extent(map.fd.get(), q, size) == 0) {
        q->rings[spare] = RingShape{};
        return false;
    }
    ExtentView fresh;
    if (!fresh.map_at(map.fd.get(), q->rings[spare].offset, size)) {
        punch(map.fd.get(), q->rings[spare].offset, size);
        q->rings[spare] = RingShape{};
        return false;
    }
    const uint64_t from = place(map, q, q->head);
    const uint64_t first = std::min(used, map.ring_size - from);
    std::memcpy(fresh.bytes(), map.ring_view.bytes() + from, first);
    std::memcpy(fresh.bytes() + first, map.ring_view.bytes(), used - first);
    std::atomic_thread_fence(std::memory_order_release);
    const RingShape old = ring_of(q);
    std::atomic_ref<uint32_t>(q->current).store(spare, std::memory_order_release);
    punch(map.fd.get(), old.offset, old.size);
    q->rings[spare ^ 1] = RingShape{};
    map.ring_view = std::move(fresh);
    map.ring_offset = q->rings[spare].offset;
    map.ring_size = size;
    return true;
}

// Makes room at the tail for a record of `length` bytes (a pad before it
// when it would straddle the ring's end), growing the ring when it is too
// small; the logical offset where the record goes, or false with errno set.
bool room_for(QueueMap& map, uint64_t length, uint64_t& at) {
    QueueShm* q = map.q();
    for (;;) {
        const uint64_t used = q->tail - q->head;
        const uint64_t where = place(map, q, q->tail);
        const uint64_t pad = map.ring_size - where < length ? map.ring_size - where : 0;
        if (used + pad + length <= map.ring_size) {
            if (pad != 0) {
                const RecordHead head{static_cast<uint32_t>(pad - sizeof(RecordHead)), PAD, INLINE, 0, 0};
                std::memcpy(at_place(map, q, q->tail), &head, sizeof head);
                q->tail += pad;
            }
            at = q->tail;
            return true;
        }
        uint64_t size = map.ring_size * 2;
        while (size < used + length + sizeof(RecordHead)) {
            size *= 2;
        }
        if (size > LARGEST_RING) {
            errno = ENOMEM;
            return false;
        }
        if (!grow_ring(map, size)) {
            return false;
        }
    }
}

// Appends a ready record of `kind` whose payload `write(bytes)` fills with
// `length` bytes; it becomes visible only when tail passes it. False with
// errno set when no room can be made.
template <typename Write>
bool append(QueueMap& map, RecordKind kind, uint64_t length, Write&& write) {
    uint64_t at;
    if (!room_for(map, record_bytes(length), at)) {
        return false;
    }
    QueueShm* q = map.q();
    unsigned char* bytes = at_place(map, q, at);
    const RecordHead head{static_cast<uint32_t>(length), READY, static_cast<uint8_t>(kind), 0, 0};
    std::memcpy(bytes, &head, sizeof head);
    write(bytes + sizeof head);
    std::atomic_thread_fence(std::memory_order_release);
    q->tail = at + record_bytes(length);
    ++q->ready;
    return true;
}

// What a consumer found: an inline item's bytes copied out, or a record it
// now holds taken.
struct Found {
    bool any = false;
    bool taken = false;  // the record at `at` is held by the consumer
    uint64_t at = 0;
    RecordKind kind = INLINE;
    ExtentRef extent{};
    std::vector<unsigned char> bytes;  // an inline item's encoding
};

// Takes the first ready record. An inline one is copied out and done at
// once unless `keep` (a reliable get) holds it; an extent's is always held
// taken by `owner` until its item is decoded. False with an exception set
// when the ring is damaged.
bool take_first(QueueMap& map, int owner, bool keep, Found& found) {
    QueueShm* q = map.q();
    RecordHead head;
    uint64_t length;
    uint64_t at = q->next;
    // Only records that are not ready are passed: next follows.
    while (at != q->tail) {
        if (!read_record(map, at, head, length)) {
            return damaged(map);
        }
        if (head.state == READY) {
            break;
        }
        at += length;
        q->next = at;
    }
    if (at == q->tail) {
        return true;
    }
    found.any = true;
    found.at = at;
    found.kind = static_cast<RecordKind>(head.kind);
    const unsigned char* payload = at_place(map, q, at) + sizeof head;
    if (head.kind == EXTENT) {
        std::memcpy(&found.extent, payload, sizeof found.extent);
        if (!extent_fits(q, found.extent)) {
            return damaged(map);
        }
    } else {
        found.bytes.assign(payload, payload + head.length);
    }
    --q->ready;
    q->next = at + length;
    if (keep || head.kind == EXTENT) {
        set_state(map, at, TAKEN, static_cast<uint8_t>(owner));
        ++q->taken;
        ++q->participants[owner].holds;
        found.taken = true;
    } else {
        set_state(map, at, DONE);
        advance_head(map);
    }
    return true;
}

// Ends the hold of `owner` on the record at `at`: done (its extent given
// back, or kept in claim `keep` of the holder's when that is a free claim's
// index, for its pages to go back outside the mutex), or ready again at its
// place, ahead of everything after it. False when the record is no longer
// held by `owner` (a fork child's copy of a parent's reservation, or a
// damaged queue).
bool finish_taken(QueueMap& map, uint64_t at, int owner, bool done, int keep = -1) {
    QueueShm* q = map.q();
    RecordHead head;
    uint64_t length;
    if (!read_record(map, at, head, length) || head.state != TAKEN || head.owner != owner) {
        return false;
    }
    --q->taken;
    uint32_t& holds = q->participants[owner].holds;
    holds -= holds > 0;
    if (!done) {
        set_state(map, at, READY);
        ++q->ready;
        if (at - q->head < q->next - q->head) {
            q->next = at;
        }
        return true;
    }
    // Done before its extent goes: a holder that dies in between leaves
    // pages unused (given back when the object is next cut back), never a
    // record whose item is gone.
    const ExtentRef ref = extent_of(map, at);
    set_state(map, at, DONE);
    if (head.kind == EXTENT && extent_fits(q, ref)) {
        if (keep >= 0) {  // still counted among the extents, now as the claim's
            Claim& claim = q->claims[keep];
            claim.owner = static_cast<uint32_t>(owner);
            claim.offset = ref.offset;
            claim.length = ref.length;
            std::atomic_ref<uint32_t>(claim.state).store(CLAIM_STORING, std::memory_order_release);
            ++q->incoming;
        } else {
            free_extent(map, ref);
        }
    }
    advance_head(map);
    return true;
}

// --- Participants and their repair -----------------------------------------------------

// Gives back what participant `index` held, its process being dead: taken
// records ready again at their places, claimed extents freed, its sleepers
// no longer counted.
void settle_participant(QueueMap& map, uint32_t index) {
    QueueShm* q = map.q();
    Participant& gone = q->participants[index];
    q->get_waiters -= std::min<uint32_t>(q->get_waiters, gone.waiting_get);
    q->put_waiters -= std::min<uint32_t>(q->put_waiters, gone.waiting_put);
    gone = Participant{};
    for (uint32_t c = 0; c < CLAIMS; ++c) {
        Claim& claim = q->claims[c];
        if (claim.state == CLAIM_STORING && claim.owner == index) {
            const ExtentRef ref{claim.offset, claim.length};
            claim = Claim{};
            if (q->incoming > 0) {
                --q->incoming;
            }
            if (extent_fits(q, ref)) {
                free_extent(map, ref);
            }
        }
    }
    RecordHead head;
    uint64_t length;
    for (uint64_t at = q->head; at != q->tail; at += length) {
        if (!read_record(map, at, head, length)) {
            break;
        }
        if (head.state == TAKEN && head.owner == index) {
            finish_taken(map, at, static_cast<int>(index), false);
        }
    }
}

bool participant_alive(const QueueMap& map, uint32_t index) {
    return write_locked_elsewhere(map.fd.get(), PARTICIPANT_LOCK_BASE + static_cast<off_t>(index));
}

// Gives back what dead participants held; called where their holds could
// keep others waiting (a queue found empty or full while items are taken or
// coming, a sleeper's slice ending unwoken).
void sweep_dead(QueueMap& map) {
    QueueShm* q = map.q();
    for (uint32_t index = 0; index < PARTICIPANTS; ++index) {
        const Participant& p = q->participants[index];
        if ((p.pid != 0 || p.waiting_get != 0 || p.waiting_put != 0) && !participant_alive(map, index)) {
            settle_participant(map, index);
        }
    }
}

bool holds_something(const QueueShm* q) { return q->taken != 0 || q->incoming != 0; }

// Before a consumer looks for an item: the items that dead consumers held
// go back to their places first, so that the next get finds them at the
// head. Only participants holding something are looked at, `own` not.
void return_dead_holds(QueueMap& map, int own) {
    QueueShm* q = map.q();
    for (uint32_t index = 0; index < PARTICIPANTS && q->taken != 0; ++index) {
        if (q->participants[index].holds != 0 && static_cast<int>(index) != own && !participant_alive(map, index)) {
            settle_participant(map, index);
        }
    }
}

// Under the mutex: this process's participant, taken on first need. A
// participant is the first free lock byte; whatever its previous holder
// left is given back first. -1 with an exception set.
int participant(QueueMap& map) {
    if (map.slot >= 0) {
        return map.slot;
    }
    // A descriptor of its own, so that no mapping keeps its lock alive.
    char path[48];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", map.fd.get());
    map.live_fd.reset(::open(path, O_RDWR | O_CLOEXEC));
    if (!map.live_fd.valid()) {
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    for (uint32_t index = 0; index < PARTICIPANTS; ++index) {
        if (take_write_lock(map.live_fd.get(), PARTICIPANT_LOCK_BASE + static_cast<off_t>(index))) {
            settle_participant(map, index);
            map.q()->participants[index].pid = static_cast<uint32_t>(shm::this_process());
            map.slot = static_cast<int>(index);
            participating.push_back(&map);
            return map.slot;
        }
    }
    PyErr_Format(PyExc_RuntimeError, "Too many processes use the queue '%s' at once.", map.what());
    return -1;
}

// Under a mutex whose holder died: gives back a ring a growth left behind,
// rebuilds the counts from the records (cutting the ring short at anything
// that is not a whole record) and from the claims, and gives back what dead
// participants held.
void repair_queue(QueueMap& map) {
    QueueShm* q = map.q();
    if (q->current > 1 || !ring_shape_fits(ring_of(q), q->heap_end)) {
        return;  // left for follow_ring to report
    }
    RingShape& spare = q->rings[q->current ^ 1];
    if (spare.size != 0) {
        punch(map.fd.get(), spare.offset, spare.size);
        spare = RingShape{};
    }
    const RingShape& ring = ring_of(q);
    if (ring.offset != map.ring_offset || ring.size != map.ring_size) {
        if (!map.ring_view.map_at(map.fd.get(), ring.offset, ring.size)) {
            return;
        }
        map.ring_offset = ring.offset;
        map.ring_size = ring.size;
    }
    if (q->tail - q->head > ring.size) {
        q->tail = q->head;
    }
    q->next = q->head;
    q->ready = q->taken = q->incoming = q->extents = 0;
    RecordHead head;
    uint64_t length;
    uint64_t at = q->head;
    for (; at != q->tail; at += length) {
        if (!read_record(map, at, head, length)) {
            q->tail = at;
            break;
        }
        q->ready += head.state == READY;
        q->taken += head.state == TAKEN;
        q->extents += head.kind == EXTENT && (head.state == READY || head.state == TAKEN);
    }
    uint32_t get_waiters = 0;
    uint32_t put_waiters = 0;
    for (Participant& p : q->participants) {
        p.holds = 0;
    }
    for (at = q->head; at != q->tail; at += length) {
        if (read_record(map, at, head, length) && head.state == TAKEN) {
            ++q->participants[head.owner].holds;
        }
    }
    for (const Participant& p : q->participants) {
        get_waiters += p.waiting_get;
        put_waiters += p.waiting_put;
    }
    q->get_waiters = get_waiters;
    q->put_waiters = put_waiters;
    for (const Claim& claim : q->claims) {
        q->incoming += claim.state == CLAIM_STORING;
        q->extents += claim.state == CLAIM_STORING;
    }
    advance_head(map);
    sweep_dead(map);
}

// --- Locking --------------------------------------------------------------------------

// The queue's mutex held by this thread, let go with the wakes it owes.
class Locked {
public:
    explicit Locked(QueueMap& map) : map_(map) {}
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { unlock(); }

    // Takes the mutex (GIL released while it waits) and follows the ring;
    // false with an exception set.
    bool lock(const timespec* limit = nullptr) {
        QueueMap* map = &map_;
        held_ = shm::lock_robust(&map_.q()->mutex, map_.what(), [map] { repair_queue(*map); }, limit);
        if (!held_.held()) {
            return false;
        }
        if (!follow_ring(map_)) {
            unlock();
            return false;
        }
        return true;
    }
    void unlock() {
        if (!held_.held()) {
            return;
        }
        const Wakes wakes = wakes_due(map_.q());
        held_.unlock();
        wake(map_.q(), wakes);
    }
    bool held() const { return held_.held(); }

private:
    QueueMap& map_;
    shm::HeldMutex held_;
};

enum class Side { Get, Put };

std::atomic<uint32_t>* word_of(QueueShm* q, Side side) { return side == Side::Get ? &q->items_word : &q->room_word; }

// Under the mutex: counts this process as a sleeper on `side`, in the
// queue's count (so that the other side wakes it) and in its participant's
// (so that its death takes the count back); `seen` receives the word's
// value to sleep on. False with an exception set.
bool count_sleeper(QueueMap& map, Side side, uint32_t& seen) {
    const int slot = participant(map);
    if (slot < 0) {
        return false;
    }
    QueueShm* q = map.q();
    Participant& me = q->participants[slot];
    ++(side == Side::Get ? me.waiting_get : me.waiting_put);
    ++(side == Side::Get ? q->get_waiters : q->put_waiters);
    seen = word_of(q, side)->load(std::memory_order_acquire);
    return true;
}

// Under the mutex: takes back what count_sleeper counted.
void uncount_sleeper(QueueMap& map, Side side) {
    QueueShm* q = map.q();
    if (map.slot < 0) {
        return;  // a fork child's: the parent's participant is not its own
    }
    Participant& me = q->participants[map.slot];
    uint16_t& mine = side == Side::Get ? me.waiting_get : me.waiting_put;
    uint32_t& all = side == Side::Get ? q->get_waiters : q->put_waiters;
    mine -= mine > 0;
    all -= all > 0;
}

// Under the mutex: whether `side` can go on now (an item to get, room to
// put), what dead participants held given back first when it cannot.
bool may_go_on(QueueMap& map, Side side) {
    const QueueShm* q = map.q();
    const auto ready = [q, side] { return side == Side::Get ? q->ready > 0 : has_room(q); };
    if (!ready() && holds_something(q)) {
        sweep_dead(map);
    }
    return ready();
}

constexpr long WATCH_NS = 20 * 1000;

// With the mutex held: sleeps until the other side may have changed what
// `side` waits for, or the slice or `limit` ends, and takes the mutex back.
// Signal handlers run in between. False with an exception set.
bool sleep_once(QueueMap& map, Locked& locked, Side side, const timespec* limit) {
    uint32_t seen;
    if (!count_sleeper(map, side, seen)) {
        return false;
    }
    std::atomic<uint32_t>* word = word_of(map.q(), side);
    locked.unlock();
    const timespec end = shm::slice_end(limit);
    // A short look first: a busy peer often answers within microseconds,
    // sooner than a sleep and a wake-up would take.
    shm::without_gil([&] {
        if (!futex::watch(word, seen, WATCH_NS, true)) {
            futex::wait(word, seen, end, FUTEX_BITSET_MATCH_ANY);
        }
    });
    const bool slice_over = shm::passed(end) && word->load(std::memory_order_relaxed) == seen;
    const bool signalled = PyErr_CheckSignals() < 0;
    PyRef pending(signalled ? take_pending_exception().release() : nullptr);
    if (!locked.lock()) {
        return false;  // the counts stay until this participant's repair
    }
    uncount_sleeper(map, side);
    if (slice_over) {
        sweep_dead(map);
    }
    if (pending) {
        raise_exception(std::move(pending));
        return false;
    }
    return true;
}

}  // namespace queues
}  // namespace
