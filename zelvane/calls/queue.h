// Hosted functions: waiting on the call word and the queue of callers.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <ctime>

#include "calls/record.h"
#include "platform/futex.h"
#include "platform/shm_support.h"

namespace {

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
// the mark it sets before sleeping (none for a queued caller, whose turn
// wakes it by its own bit), and which word it waits on: the call word, or
// the word of the pool area that carries its exchange; and how long it
// sleeps at most before it looks again whether woken or not (0: a slice).
struct WaitMode {
    uint32_t mask;
    bool watches;
    uint32_t asleep_mark;
    int area = -1;
    long nap_ns = 0;
};
constexpr WaitMode SERVER_MODE{SERVER_WAITS, true, CallWord::SERVER_ASLEEP};
constexpr WaitMode REPLY_MODE{CALLERS_WAIT, true, CallWord::CALLER_ASLEEP};
constexpr WaitMode ROOM_MODE{CALLERS_WAIT, false, CallWord::CALLER_ASLEEP};
constexpr WaitMode queued_mode(uint32_t ticket) { return {queued_waiter(ticket), false, 0}; }
constexpr WaitMode area_reply_mode(uint32_t area) {
    return {CALLERS_WAIT, true, AreaWord::CALLER_ASLEEP, static_cast<int>(area)};
}
// A pool's caller that stands aside until the reply in another's area is
// collected (which frees the area and wakes whoever marked it), for
// STAND_ASIDE_NS at most.
constexpr long STAND_ASIDE_NS = 5000000;
constexpr WaitMode stand_aside_mode(uint32_t area) {
    return {CALLERS_WAIT, false, AreaWord::CALLER_ASLEEP, static_cast<int>(area), STAND_ASIDE_NS};
}

std::atomic<uint32_t>& waited_word(const FunctionRecord& record, const WaitMode& mode) {
    return mode.area < 0 ? record.shm()->call : record.pool_area(static_cast<uint32_t>(mode.area)).word;
}

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
    // Whether `ticket`, taken by `pid`, no longer stands: passed over, or
    // dropped where it stood (its holder looked dead).
    bool lost(uint32_t ticket, uint32_t pid) const {
        return passed(ticket) || state_.holder[ticket % QUEUE_SLOTS] != pid;
    }

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

    // Drops the tickets of holders that `gone(pid)` says have gone, wherever
    // they stand; true when the head moved.
    template <typename Gone>
    bool drop_gone(Gone&& gone) {
        for (uint32_t ticket = state_.head; ticket != state_.tail; ++ticket) {
            uint32_t& holder = state_.holder[ticket % QUEUE_SLOTS];
            if (holder != 0 && gone(holder)) {
                holder = 0;
            }
        }
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

// For a pool's record, whose word is POSTED while any area is: the callers
// waiting for room or for their turn once the queue moved (an area freed).
uint32_t pool_waiters_to_wake(FunctionRecord& record, CallWord before, CallWord& after) noexcept {
    if (!after.queue_moved(before)) {
        return 0;
    }
    uint32_t kinds = 0;
    if ((after.bits & CallWord::CALLER_ASLEEP) != 0) {
        after = after.without_flag(CallWord::CALLER_ASLEEP);
        kinds |= CALLERS_WAIT;
    }
    const Queue queue(record.shm()->callers);
    if (!queue.empty()) {
        kinds |= queued_waiter(queue.head());
    }
    return kinds;
}

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
    if ((after.bits & CallWord::SERVER_ASLEEP) != 0 && after.state() == CallWord::POSTED &&
        (before.state() != CallWord::POSTED || before.number() != after.number())) {
        after = after.without_flag(CallWord::SERVER_ASLEEP);
        kinds |= SERVER_WAITS;
    }
    if ((after.bits & CallWord::CALLER_ASLEEP) != 0 &&
        (after.state() == CallWord::IDLE || after.state() == CallWord::REPLIED || before.state() == CallWord::REPLIED)) {
        after = after.without_flag(CallWord::CALLER_ASLEEP);
        kinds |= CALLERS_WAIT;
    }
    if (record.pool()) {
        return kinds | pool_waiters_to_wake(record, before, after);
    }
    const Queue queue(record.shm()->callers);
    if (after.state() == CallWord::IDLE && !queue.empty() &&
        (before.state() != CallWord::IDLE || after.queue_moved(before))) {
        kinds |= queued_waiter(queue.head());
    }
    return kinds;
}

// Wakes the callers of the areas whose words changed while they slept.
void wake_areas(FunctionRecord& record, uint32_t areas) noexcept {
    for (uint32_t index = 0; areas != 0; ++index, areas >>= 1) {
        if ((areas & 1) != 0) {
            futex::wake(&record.pool_area(index).word, EVERYBODY);
        }
    }
}

// Runs `look` on the locked record, unlocks it and wakes whom the change
// concerns; `seen` is the word that a waiter as `mode` (the call word when
// none) waits on, as left. With `held`, the wakes on the call word are added
// to it instead, for the caller to make later (once for many changes).
template <typename Look>
Step look_and_unlock(FunctionRecord& record, Look& look, uint32_t& seen, const WaitMode* mode = nullptr,
                     uint32_t* held = nullptr) noexcept {
    const CallWord before = record.word();
    record.area_wakes = 0;
    const Step step = look(before);
    CallWord after = record.word();
    const CallWord changed = after;
    const uint32_t kinds = waiters_to_wake(record, before, after);
    if (after.bits != changed.bits) {
        record.set_word(after);
    }
    seen = mode ? waited_word(record, *mode).load(std::memory_order_relaxed) : after.bits;
    const uint32_t areas = record.area_wakes;
    pthread_mutex_unlock(&record.shm()->mutex);
    if (held) {
        *held |= kinds;
    } else if (kinds != 0) {
        futex::wake(&record.shm()->call, kinds);
    }
    wake_areas(record, areas);
    return step;
}

// Under the record's mutex: marks the waiter asleep on the word it waits on
// as `mode`, unless the word moved on from `seen`; true (with `seen` marked)
// when it may sleep.
bool mark_asleep_locked(FunctionRecord& record, const WaitMode& mode, uint32_t& seen) noexcept {
    std::atomic<uint32_t>& word = waited_word(record, mode);
    const bool unchanged = word.load(std::memory_order_relaxed) == seen;
    if (unchanged) {
        seen |= mode.asleep_mark;
        word.store(seen, std::memory_order_relaxed);
    }
    return unchanged;
}

// Marks the waiter asleep on the word it waits on as `mode`, unless the word
// moved on from `seen` meanwhile or the lock is not had by `deadline`; true
// (with `seen` marked) when it may sleep.
bool mark_asleep(FunctionRecord& record, const WaitMode& mode, uint32_t& seen, const timespec& deadline) noexcept {
    if (lock_record(record, deadline) != 0) {
        return false;
    }
    const bool unchanged = mark_asleep_locked(record, mode, seen);
    pthread_mutex_unlock(&record.shm()->mutex);
    return unchanged;
}

long nanoseconds_since(const timespec& start) noexcept {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec);
}

// Whether the word a caller waits on for its reply changed from `seen` to
// `now` only because a server took the request: nothing for the caller to
// look at. The call word and a pool area's word share these states.
constexpr bool only_taken(uint32_t seen, uint32_t now) {
    static_assert(CallWord::POSTED == AreaWord::POSTED && CallWord::EXECUTING == AreaWord::EXECUTING);
    return (seen & CallWord::STATE_MASK) == CallWord::POSTED &&
           (seen ^ now) == (CallWord::POSTED ^ CallWord::EXECUTING);
}

// Whether a pool server's watches between the rounds of bursts paid off
// lately, per process: once two in a row found no request within ROUND_NS,
// only one in RETRY_EVERY watches for that long, until one pays off again
// (callers slower between their rounds wake the server as before).
class BurstWatches {
public:
    static constexpr long ROUND_NS = 1000000;
    static constexpr uint32_t RETRY_EVERY = 16;

    long budget() noexcept {
        if (misses_.load(std::memory_order_relaxed) < 2) {
            return ROUND_NS;
        }
        return skipped_.fetch_add(1, std::memory_order_relaxed) % RETRY_EVERY == 0 ? ROUND_NS : 0;
    }
    void learn(bool paid_off) noexcept {
        const uint32_t misses = paid_off ? 0 : std::min(misses_.load(std::memory_order_relaxed) + 1, 2u);
        misses_.store(misses, std::memory_order_relaxed);
    }

private:
    std::atomic<uint32_t> misses_{0};
    std::atomic<uint32_t> skipped_{0};
};

BurstWatches burst_watches;

// How long a waiter watches the word it waits on before it sleeps, learnt
// from how long its kind of wait took lately: a caller's wait for its reply,
// per record, and the serving side's wait for the next request, per process.
// Between two processes on otherwise idle CPUs the other side usually
// answers within a few microseconds, far sooner than a sleep and a cross-CPU
// wake-up take (a system call on each side and a trip through the
// scheduler). A waiter whose waits take longer than a full watch on the
// average sleeps at once and spends no CPU time watching, but one such wait
// in RETRY_EVERY watches in full all the same, and one that pays off
// restores the watch. A single wait counts for at most SLOWEST_NS, so the
// watch stops only once most waits outlast it: a peer that is preempted now
// and then, or a slow call among prompt ones, does not stop it.
class WaitWatch {
public:
    // `for_reply`: a caller's wait, which a server taking its request does
    // not end.
    WaitWatch(shm::WaitHistory& history, bool for_reply) noexcept : history_(history), for_reply_(for_reply) {}
    WaitWatch(const WaitWatch&) = delete;
    WaitWatch& operator=(const WaitWatch&) = delete;
    // The wait ended, or its slice passed: what it took teaches the next.
    ~WaitWatch() {
        if (watched_) {
            learn(nanoseconds_since(since_));
        }
    }

    // Watches `word` until it changes from `seen` in a way worth a look (true)
    // or the watch's time is up; `seen` follows a request being taken. A
    // server `between_rounds` of a burst watches for a round at least.
    bool watch(const std::atomic<uint32_t>& word, uint32_t& seen, bool peer_here,
               bool between_rounds = false) noexcept {
        if (!started_) {
            started_ = true;
            clock_gettime(CLOCK_MONOTONIC, &since_);
            budget_ns_ = budget();
        }
        if (between_rounds && !burst_) {
            burst_ = true;
            budget_ns_ = std::max(budget_ns_, burst_watches.budget());
        }
        const long left = budget_ns_ - (watched_ ? nanoseconds_since(since_) : 0);  // a first watch starts now
        if (left <= 0) {
            return false;
        }
        watched_ = true;
        const bool for_reply = for_reply_;
        const auto worth_a_look = [&word, &seen, for_reply] {
            const uint32_t now = word.load(std::memory_order_relaxed);
            if (for_reply && now != seen && only_taken(seen, now)) {
                seen = now;
            }
            return now != seen;
        };
        // A long watch stands aside between looks for whatever else would run
        // on this CPU: its caller's process, when the scheduler put it here.
        const bool moved = futex::spin(worth_a_look, left, peer_here || burst_);
        if (burst_) {
            burst_watches.learn(moved);
        }
        return moved;
    }

private:
    static constexpr long MAX_NS = 20000;
    static constexpr long SLOWEST_NS = 2 * MAX_NS;
    static constexpr uint32_t RETRY_EVERY = 16;

    // A full watch, or 0 for none.
    long budget() noexcept {
        if (history_.average_ns.load(std::memory_order_relaxed) <= MAX_NS) {
            return MAX_NS;
        }
        const uint32_t unwatched = history_.unwatched.fetch_add(1, std::memory_order_relaxed) + 1;
        retrying_ = unwatched % RETRY_EVERY == 0 && futex::several_cpus();
        return retrying_ ? MAX_NS : 0;
    }

    void learn(long waited) noexcept {
        const long sample = std::min(waited, SLOWEST_NS);
        const long average = history_.average_ns.load(std::memory_order_relaxed);
        const long learnt = retrying_ ? sample : average + (sample - average) / 16;
        history_.average_ns.store(static_cast<uint32_t>(learnt), std::memory_order_relaxed);
    }

    shm::WaitHistory& history_;
    const bool for_reply_;
    bool started_ = false;
    bool watched_ = false;
    bool retrying_ = false;
    bool burst_ = false;
    long budget_ns_ = 0;
    timespec since_{};
};

shm::WaitHistory request_waits;  // the serving side's, for its next request

// Whether a pool's server that found no request is between two rounds of a
// burst: the caller of the last request it took has more calls waiting to
// take that one's place (an event loop awaiting more calls than the pool has
// areas), and posts the next as soon as it collects the reply. Watching for
// it spares the caller the wake-up of a sleeping server, which on some
// machines costs it more than its whole round. The area's flag is read
// without the mutex: a hint.
bool between_rounds(const FunctionRecord& record) noexcept {
    if (record.last_area < 0 || !record.pool() || !futex::several_cpus()) {
        return false;
    }
    PoolArea& area = record.pool_area(static_cast<uint32_t>(record.last_area));
    return (area.word.load(std::memory_order_relaxed) & AreaWord::STATE_MASK) == AreaWord::REPLIED &&
           std::atomic_ref(area.more_behind).load(std::memory_order_relaxed) != 0;
}

// Runs `look` under the record's mutex until it is done, sleeping on the call
// word in between as `mode` (which the look may change) says: 0 when done,
// ETIMEDOUT when a slice (or the time `limit`) passed first or a signal
// arrived, or the errno of a failed lock. Runs without the GIL.
template <typename Look>
int look_for_a_slice(FunctionRecord& record, const WaitMode& mode, Look& look, const timespec* limit) noexcept {
    const timespec slice_end = shm::slice_end(limit);
    const bool serving = mode.mask == SERVER_WAITS;
    WaitWatch watch(serving ? request_waits : record.object->replies, !serving);
    for (;;) {
        const int rc = lock_record(record, slice_end);
        if (rc != 0) {
            return rc;
        }
        uint32_t seen;
        if (look_and_unlock(record, look, seen, &mode) == Step::Done) {
            return 0;
        }
        CallerState& callers = record.shm()->callers;
        const auto cpu = static_cast<uint16_t>(sched_getcpu());
        (serving ? callers.server_cpu : callers.caller_cpu).store(cpu, std::memory_order_relaxed);
        const bool peer_here = (serving ? callers.caller_cpu : callers.server_cpu).load(std::memory_order_relaxed) == cpu;
        std::atomic<uint32_t>& word = waited_word(record, mode);
        if (mode.watches && watch.watch(word, seen, peer_here, serving && between_rounds(record))) {
            continue;
        }
        if (mode.asleep_mark != 0 && !mark_asleep(record, mode, seen, slice_end)) {
            continue;
        }
        const timespec wake = mode.nap_ns > 0 ? std::min(slice_end, shm::deadline_after(mode.nap_ns), shm::earlier)
                                              : slice_end;
        if (!futex::wait(&word, seen, wake, mode.mask) || passed(slice_end)) {
            return ETIMEDOUT;
        }
    }
}

// KeepWaiting is what a check between slices says when nothing ended the wait.
enum class WaitEnd { Done, Failed, ServerGone, Orphaned, TimedOut, KeepWaiting };

// Whether no live process serves the record any more.
bool nobody_serves(const FunctionRecord& record) { return !served_elsewhere(record.fd()); }

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
        uint32_t seen;
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
                uint32_t seen;
                look_and_unlock(record, look, seen);
            }
            return;
        }
    });
}

}  // namespace
