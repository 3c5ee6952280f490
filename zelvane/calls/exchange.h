// Hosted functions: the calling side of one exchange (queueing for a turn,
// posting, waiting for the reply, noticing a dead server), as a state that a
// synchronous call and a call posted for an event loop both drive.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "calls/pools/areas.h"
#include "calls/queue.h"
#include "calls/record.h"
#include "calls/remote_errors.h"
#include "calls/serving.h"
#include "calls/side_payload.h"

namespace {

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

enum class CallEnd { Replied, Refused, Lost, ServerDied, GivenUp };

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

// Under the record's mutex: whether the process that posted the exchange in
// flight still lives.
Poster poster_of_exchange(const FunctionRecord& record) {
    return poster_state(record, record.shm()->callers.poster_pid.load(std::memory_order_relaxed));
}

// Raises `counter` to `value` unless another thread raised it further.
void raise_to(std::atomic<uint64_t>& counter, uint64_t value) {
    uint64_t now = counter.load(std::memory_order_relaxed);
    while (now < value && !counter.compare_exchange_weak(now, value, std::memory_order_relaxed)) {
    }
}

// The calling side of one exchange: queues for its turn when others wait
// before it, posts the request once there is room (the record idle, or a
// free area of a pool) and its turn has come, then waits for the reply
// carrying its own exchange number.
struct Call {
    enum class Phase { Arriving, Queued, Posted };

    Call(FunctionRecord& call_record, const unsigned char* call_args, size_t size, CallBuffer* call_buffer,
         bool call_with_keywords, const std::atomic<bool>* call_given_up)
        : record(call_record), args(call_args), args_size(size), buffer(call_buffer),
          with_keywords(call_with_keywords), given_up(call_given_up) {}
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
    bool with_keywords;  // `args` encode (args, kwargs)
    // Set by another thread that gives this call up (a cancelled await).
    const std::atomic<bool>* given_up;
    Phase phase = Phase::Arriving;
    uint32_t ticket = 0;
    int area = -1;  // the pool area claimed: found free, then posted to
    WaitMode mode = ROOM_MODE;
    uint64_t number = 0;
    CallEnd end = CallEnd::Refused;
    unsigned char reply[MESSAGE_SIZE];
    bool reply_is_exception = false;
    StaleReply stale;
    StaleReply stuck_head;
    // False for a call that must not wait for its turn (one started from an
    // event loop): it posts when there is room at once, or not at all.
    bool queues = true;
    // For a pool's call that stands aside (area_to_stand_aside_for()): until
    // when.
    bool standing_aside = false;
    timespec stand_aside_until{};

    bool posted() const { return phase == Phase::Posted; }

    // In a forked child: the parent's call is none of this process's business.
    void disown() { phase = Phase::Arriving; }

    // A call given up posts nothing more and collects no reply: give_up()
    // then withdraws or abandons what it posted.
    Step look(CallWord word) {
        if (giving_up()) {
            end = CallEnd::GivenUp;
            return Step::Done;
        }
        return posted() ? look_for_reply(word) : try_to_post(word);
    }

    bool giving_up() const { return given_up && given_up->load(std::memory_order_acquire); }

    Step try_to_post(CallWord word) {
        if (record.shm()->activity == 0 || word.ended()) {
            give_up_turn(word);
            end = CallEnd::Refused;
            return Step::Done;
        }
        if (!record.pool() && reclaimable(word)) {
            word = word.with_state(CallWord::IDLE);
            record.set_word(word);
        }
        Queue queue(record.shm()->callers);
        if (phase == Phase::Queued && queue.lost(ticket, static_cast<uint32_t>(shm::this_process()))) {
            phase = Phase::Arriving;  // passed over while it did not run: queue again
        }
        const bool my_turn = phase == Phase::Arriving ? queue.empty() : queue.head() == ticket;
        if (my_turn && room(word, true)) {
            const int behind = area_to_stand_aside_for();
            if (behind >= 0) {
                mode = stand_aside_mode(static_cast<uint32_t>(behind));
                return Step::Wait;
            }
            if (phase == Phase::Queued) {
                queue.pop();
            }
            return record.pool() ? post_to_pool(queue) : post(word);
        }
        if (phase == Phase::Arriving) {
            if (!queues || queue.full()) {
                mode = ROOM_MODE;
                return Step::Wait;
            }
            ticket = queue.take(static_cast<uint32_t>(shm::this_process()));
            phase = Phase::Queued;
            mode = queued_mode(ticket);
        }
        return Step::Wait;
    }

    // Whether a request can be posted now: the record idle, or a pool's area
    // free (noted in `area`); `reclaim` frees the areas of dead callers first
    // when none is.
    bool room(CallWord word, bool reclaim) {
        if (!record.pool()) {
            return word.state() == CallWord::IDLE;
        }
        area = free_area(record);
        if (area < 0 && reclaim && reclaim_areas(record)) {
            area = free_area(record);
        }
        return area >= 0;
    }

    // For a pool's caller whose process got ahead: the area of a reply it
    // left behind, whose caller it lets collect it before it posts (-1 for
    // none). That caller was woken but has not run yet: while the callers
    // that run go on calling and the servers answer them at once, it waits
    // for a CPU, and falls further behind the longer it waits. Once they
    // sleep, it runs, and the servers have the other callers' requests
    // meanwhile. A call stands aside for STAND_ASIDE_NS at most; the replies
    // then left behind are passed, so that a caller slow to collect (a
    // stopped process, a busy event loop) holds nobody up for longer.
    int area_to_stand_aside_for() {
        if (!record.pool() || !queues) {
            return -1;
        }
        shm::PoolTurns& turns = record.object->turns;
        const LeftBehind behind = replies_left_behind(record, turns.collected.load(std::memory_order_relaxed),
                                                      turns.passed.load(std::memory_order_relaxed));
        if (behind.oldest_area < 0) {
            return -1;
        }
        if (!standing_aside) {
            standing_aside = true;
            stand_aside_until = shm::deadline_after(STAND_ASIDE_NS);
            return behind.oldest_area;
        }
        if (!passed(stand_aside_until)) {
            return behind.oldest_area;
        }
        raise_to(turns.passed, behind.newest);
        return -1;
    }

    Step post_to_pool(const Queue& queue) {
        const RequestTerms terms{poster_pid(record), buffer != nullptr, with_keywords,
                                 buffer ? buffer->fd.get() : -1,
                                 buffer ? static_cast<uint32_t>(buffer->inode) : 0};
        number = post_to_area(record, static_cast<uint32_t>(area), terms, args, args_size);
        posted_as(area_reply_mode(static_cast<uint32_t>(area)));
        // The next caller in the queue may claim another free area at once.
        if (!queue.empty() && free_area(record) >= 0) {
            record.set_word(record.word().with_queue_moved());
        }
        return Step::Wait;
    }

    void posted_as(const WaitMode& reply_mode) {
        calls_in_flight.fetch_add(1, std::memory_order_relaxed);
        phase = Phase::Posted;
        mode = reply_mode;
    }

    Step post(CallWord word) {
        record.shm()->callers.poster_pid.store(poster_pid(record), std::memory_order_relaxed);
        CallerState& callers = record.shm()->callers;
        callers.large_reply = buffer ? 1 : 0;
        callers.request_kind = with_keywords ? 1 : 0;
        callers.reply_fd = buffer ? buffer->fd.get() : -1;
        callers.reply_inode = buffer ? static_cast<uint32_t>(buffer->inode) : 0;
        std::memcpy(record.area(), args, args_size);
        number = record.post_next_request(word);
        posted_as(REPLY_MODE);
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
        if (queue.give_up(ticket) && room(word, false)) {
            record.set_word(word.with_queue_moved());
        }
    }

    // Between slices, for a caller that has not posted: what dead callers
    // left in its way goes, whoever's turn it is and whether there is room or
    // not (their replies, or a pool's areas, and their tickets wherever they
    // stand), so that no set of dead callers can wedge the record; then a
    // live head that does not post although there is room is passed over.
    Step clear_the_way(CallWord word) {
        if (posted()) {
            return Step::Wait;
        }
        const bool freed = reclaim_dead_exchanges(word);
        Queue queue(record.shm()->callers);
        const bool moved = queue.drop_gone([this](uint32_t pid) { return !caller_lives(record, pid); });
        if ((freed || moved) && !queue.empty()) {
            record.set_word(record.word().with_queue_moved());
        }
        pass_over_a_stuck_head(record.word());
        return Step::Wait;
    }

    // Frees what callers that died left posted or replied: whether any was.
    bool reclaim_dead_exchanges(CallWord word) {
        if (record.pool()) {
            return reclaim_areas(record);
        }
        if (!reclaimable(word)) {
            return false;
        }
        record.set_word(word.with_state(CallWord::IDLE));
        return true;
    }

    // For a queued caller: a live head that does not post although there is
    // room is passed over after a second (it may be stopped); it queues
    // again when it runs.
    void pass_over_a_stuck_head(CallWord word) {
        Queue queue(record.shm()->callers);
        if (phase != Phase::Queued || queue.empty() || queue.head() == ticket || !room(word, false)) {
            return;
        }
        if (stuck_head.seen_again(CallWord{queue.head()}) && stuck_head.for_a_second() &&
            queue.give_up(queue.head())) {
            record.set_word(word.with_queue_moved());
        }
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
        if (record.pool()) {
            return look_for_area_reply(word);
        }
        if (record.exchange_number(word) != number || word.state() == CallWord::IDLE) {
            end = CallEnd::Lost;
            return Step::Done;
        }
        if (word.state() == CallWord::REPLIED) {
            std::memcpy(reply, record.area(), MESSAGE_SIZE);
            reply_is_exception = record.shm()->callers.reply_kind == REPLY_EXCEPTION;
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

    Step look_for_area_reply(CallWord word) {
        const auto index = static_cast<uint32_t>(area);
        if (!area_holds(record, index, number)) {
            end = CallEnd::Lost;
            return Step::Done;
        }
        const PoolArea& posted_area = record.pool_area(index);
        switch (area_word(record, index).state()) {
            case AreaWord::REPLIED:
                std::memcpy(reply, posted_area.message, MESSAGE_SIZE);
                reply_is_exception = posted_area.reply_kind == REPLY_EXCEPTION;
                return end_in_area(CallEnd::Replied);
            case AreaWord::STRANDED:
                return end_in_area(CallEnd::ServerDied);
            case AreaWord::POSTED:
                // A stop request wins over a request not yet taken: withdraw it.
                if (word.ended() || record.shm()->activity == 0) {
                    return end_in_area(CallEnd::Refused);
                }
                return Step::Wait;
            case AreaWord::EXECUTING:
                return Step::Wait;
            default:
                end = CallEnd::Lost;
                return Step::Done;
        }
    }

    Step end_in_area(CallEnd how) {
        if (how == CallEnd::Replied) {
            raise_to(record.object->turns.collected, number);
        }
        release_area(record, static_cast<uint32_t>(area));
        sync_posted_state(record);
        end = how;
        return Step::Done;
    }

    // Between slices, for a call posted to a pool's area: a server that died
    // while it ran the call leaves it to nobody.
    Step look_at_the_executor(CallWord) {
        if (!posted() || !record.pool() || !executor_gone(record, static_cast<uint32_t>(area)) ||
            !area_holds(record, static_cast<uint32_t>(area), number)) {
            return Step::Wait;
        }
        return end_in_area(CallEnd::ServerDied);
    }

    // The serving process has gone: a reply it posted just before it ended
    // is still collected, and a request it never took is withdrawn.
    Step look_at_the_end(CallWord word) {
        if (!posted()) {
            give_up_turn(word);
            return Step::Wait;
        }
        look_for_reply(word);
        if (end == CallEnd::Replied) {
            return Step::Done;
        }
        if (record.pool()) {
            withdraw_from_area();
        } else if (record.exchange_number(word) == number && word.state() == CallWord::POSTED) {
            record.set_word(word.with_state(CallWord::IDLE));
        }
        return Step::Wait;
    }

    // Gives the call posted to a pool's area up: a request not yet taken is
    // withdrawn, a reply not collected dropped, and the server running it
    // drops its reply.
    void withdraw_from_area() {
        const auto index = static_cast<uint32_t>(area);
        if (!area_holds(record, index, number)) {
            return;
        }
        if (area_word(record, index).state() == AreaWord::EXECUTING) {
            record.set_area_word(index, AreaWord::of(AreaWord::ABANDONED, number));
        } else {
            release_area(record, index);
            sync_posted_state(record);
        }
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
            if (record.pool()) {
                withdraw_from_area();
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

}  // namespace
