// Hosted functions: the calling side (queueing, posting, waiting for the
// reply, a dead server).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
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

PyObject* nobody_serves_error(const char* name) {
    PyErr_Format(PyExc_RuntimeError, "Nobody serves the function '%s' any more: its serving process has ended.", name);
    return nullptr;
}

PyObject* null_reply_error() {
    PyErr_SetString(PyExc_RuntimeError,
                    "Received a NULL message from the function. This is likely because the function "
                    "returned arguments of too large size.");
    return nullptr;
}

// Raises the error of an open that did not give a record; false.
bool open_failed(const FunctionRecord& record, OpenOutcome outcome) {
    switch (outcome) {
        case OpenOutcome::Opened:
            return true;
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
    return false;
}

bool open_for_call(FunctionRecord& record, struct stat& st) {
    const OpenOutcome outcome = open_function_record(record, st);
    return outcome == OpenOutcome::Opened || open_failed(record, outcome);
}

// How often a wait for a name to be served looks again.
constexpr long SERVED_POLL_NS = 5000000;

// Opens the record of `record.name` once at least `servers` live servers
// serve it, waiting until `limit` at the latest (none when null): false with
// TimeoutError then, or with the error of a name that holds something else.
bool open_when_served(FunctionRecord& record, struct stat& st, const timespec* limit, long servers = 1) {
    for (;;) {
        const OpenOutcome outcome = open_function_record(record, st);
        if (outcome == OpenOutcome::Opened && live_servers(record) >= servers) {
            return true;
        }
        if (outcome == OpenOutcome::NotAFunction || outcome == OpenOutcome::MapFailed) {
            return open_failed(record, outcome);
        }
        record.object.release();
        if (limit && passed(*limit)) {
            if (servers > 1) {
                PyErr_Format(PyExc_TimeoutError,
                             "Fewer than %ld servers served the function '%s' within the time given.", servers,
                             record.name);
            } else {
                PyErr_Format(PyExc_TimeoutError, "Nobody served the function '%s' within the time given.", record.name);
            }
            return false;
        }
        shm::without_gil([] {
            const timespec pause{0, SERVED_POLL_NS};
            nanosleep(&pause, nullptr);
        });
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
    }
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

// A call that ran out of time, or that another thread gave up, is given up
// the same way: the record stays usable and a late reply is dropped.
PyObject* give_up_call(Call& call) {
    call.give_up();
    if (call.giving_up()) {
        PyErr_Format(PyExc_TimeoutError, "The call of '%s' was given up.", call.record.name);
    } else {
        PyErr_Format(PyExc_TimeoutError, "The call of '%s' did not end within its time limit.", call.record.name);
    }
    return nullptr;
}

// Why a call on a record ended without a result of the function's own.
enum class CallEndedBy { Result, RecordEnded, Other };

// Takes the buffer of a handle's call (when `spare`, the handle's) and
// encodes `args` for it; false with an exception set, the buffer handed back.
bool prepare_arguments(const FunctionRecord& record, PyObject* args, CallBuffer* spare, CallBuffer& buffer,
                       CallArguments& arguments) {
    if (!spare) {
        return encode_arguments(args, arguments);
    }
    if (!take_buffer(record, *spare, buffer)) {
        return false;
    }
    if (!encode_arguments(record, args, buffer, arguments)) {
        if (!spare->fd.valid()) {
            *spare = std::move(buffer);  // nobody else has seen it: kept as it was
        }
        return false;
    }
    return true;
}

// What a waiting caller looks at once a slice of its wait passed: a pool
// server that died running the call, a record nobody serves any more, the
// time `limit` (none when null), a call given up, a stuck queue head.
WaitEnd look_between_slices(FunctionRecord& record, Call& call, const timespec* limit) {
    if (call.posted() && record.pool() &&
        look_once(record, [&call](CallWord word) { return call.look_at_the_executor(word); })) {
        return WaitEnd::Done;
    }
    if (nobody_serves(record)) {
        return look_once(record, [&call](CallWord word) { return call.look_at_the_end(word); })
                   ? WaitEnd::Done
                   : WaitEnd::ServerGone;
    }
    if ((limit && passed(*limit)) || call.giving_up()) {
        return WaitEnd::TimedOut;
    }
    if (!call.posted()) {
        look_once(record, [&call](CallWord word) { return call.clear_the_way(word); }, limit);
    }
    return WaitEnd::KeepWaiting;
}

// The outcome of a call whose wait ended as `how`: its result, or null with
// its exception set. With `spare`, the buffer goes back to the handle once
// the serving side cannot write to it any more. `ended_by` tells whether the
// record is of no more use (its serving ended).
PyObject* call_outcome(WaitEnd how, Call& call, CallBuffer* spare, CallBuffer& buffer,
                       const CallArguments& arguments, CallEndedBy& ended_by) {
    FunctionRecord& record = call.record;
    ended_by = CallEndedBy::Other;
    switch (how) {
        case WaitEnd::Done:
            break;
        case WaitEnd::ServerGone:
            ended_by = CallEndedBy::RecordEnded;
            return nobody_serves_error(record.name);
        case WaitEnd::TimedOut:
            return give_up_call(call);
        default:
            call.give_up();
            return nullptr;
    }
    if (call.end == CallEnd::GivenUp) {
        return give_up_call(call);
    }
    if (call.end == CallEnd::Lost) {
        PyErr_Format(PyExc_RuntimeError,
                     "The reply to this call of '%s' was lost: another caller took over the exchange.",
                     record.name);
        return nullptr;
    }
    if (call.end == CallEnd::ServerDied) {
        return nobody_serves_error(record.name);
    }
    if (call.end == CallEnd::Refused || call.reply[0] == 0) {
        ended_by = CallEndedBy::RecordEnded;
        return null_reply_error();
    }
    ended_by = CallEndedBy::Result;
    if (call.reply_is_exception) {
        if (spare) {
            give_back_buffer(*spare, buffer, arguments.length);
        }
        PyRef report(to_value_range(call.reply, MESSAGE_SIZE));
        return report ? raise_remote(record.name, report.get()) : nullptr;
    }
    if (!spare) {
        return to_value_range(call.reply, MESSAGE_SIZE);
    }
    const bool large_result = is_outside(call.reply);
    PyObject* result = large_result ? outside_result(record, call) : to_value_range(call.reply, MESSAGE_SIZE);
    const uint64_t result_length = large_result ? read_outside(call.reply).length : 0;
    give_back_buffer(*spare, buffer, std::max(arguments.length, result_length));
    return result;
}

// One call of the function behind the open `record` (status `st`) with the
// tuple `args` (or, `with_keywords`, the pair of such a tuple and a dict of
// keyword arguments), waiting until `limit` at the latest (none when null).
// With `spare` (a handle's buffer, which the call takes and hands back),
// arguments and result of any size travel outside the message area.
// `ended_by` tells whether the record is of no more use (its serving ended).
PyObject* call_on_record(FunctionRecord& record, const struct stat& st, PyObject* args, CallBuffer* spare,
                         const timespec* limit, bool with_keywords, CallEndedBy& ended_by,
                         const std::atomic<bool>* given_up = nullptr) {
    ended_by = CallEndedBy::Other;
    if (!may_call_from_this_thread(record, st)) {
        return nullptr;
    }
    CallBuffer buffer;
    CallArguments arguments;
    if (!prepare_arguments(record, args, spare, buffer, arguments)) {
        return nullptr;
    }
    Call call(record, arguments.data, arguments.size, spare ? &buffer : nullptr, with_keywords, given_up);
    hold_caller_lock(record);
    RecordThreads::Entry calling(calling_threads, st);
    const auto between_slices = [&] { return look_between_slices(record, call, limit); };
    const auto look = [&call](CallWord word) { return call.look(word); };
    const WaitEnd how = wait_on_record(record, call.mode, look, between_slices, limit);
    return call_outcome(how, call, spare, buffer, arguments, ended_by);
}

PyObject* call_shared_function(const char* name, PyObject* args) {
    FunctionRecord record(name);
    struct stat st;
    if (!open_for_call(record, st)) {
        return nullptr;
    }
    CallEndedBy ended_by;
    return call_on_record(record, st, args, nullptr, nullptr, false, ended_by);
}

}  // namespace
