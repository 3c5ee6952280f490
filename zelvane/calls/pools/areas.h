// Pools: the exchanges in flight in a pool's areas. A caller claims a free
// area (first come, first served: the queue of the callers' state orders
// those who find none), posts its request there and waits on the area's own
// word; servers take posted areas in the order of their exchange numbers.
// The record's call word is POSTED while any area is, which is what idle
// servers wait for. A caller that got ahead of another, whose reply has
// waited uncollected for a round of exchanges, lets it collect that reply
// before it posts again (Call::area_to_stand_aside_for). Everything here
// runs under the record's mutex.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstring>

#include "calls/queue.h"
#include "calls/record.h"

namespace {

// What a reply in a message area is (CallerState::reply_kind, PoolArea::reply_kind).
constexpr uint8_t REPLY_RESULT = 0;
constexpr uint8_t REPLY_EXCEPTION = 1;

AreaWord area_word(const FunctionRecord& record, uint32_t index) {
    return {record.pool_area(index).word.load(std::memory_order_relaxed)};
}

// Whether the area holds exchange `number`, in its full number and its word.
bool area_holds(const FunctionRecord& record, uint32_t index, uint64_t number) {
    return record.pool_area(index).number == number && area_word(record, index).of_exchange(number);
}

// The first free area, or -1.
int free_area(const FunctionRecord& record) {
    for (uint32_t index = 0; index < POOL_AREAS; ++index) {
        if (area_word(record, index).state() == AreaWord::FREE) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

// The posted area of the oldest exchange, or -1.
int oldest_posted_area(const FunctionRecord& record) {
    int oldest = -1;
    for (uint32_t index = 0; index < POOL_AREAS; ++index) {
        if (area_word(record, index).state() == AreaWord::POSTED &&
            (oldest < 0 || record.pool_area(index).number < record.pool_area(static_cast<uint32_t>(oldest)).number)) {
            oldest = static_cast<int>(index);
        }
    }
    return oldest;
}

// Replies left behind: replies that wait for their callers although this
// process collected the reply of an exchange a round of exchanges (one per
// area in use) or more later. The area of the oldest (-1 when there is
// none) and the newest one's number.
struct LeftBehind {
    int oldest_area = -1;
    uint64_t newest = 0;
};

// The replies left behind by a process that collected the reply of exchange
// `collected`, of those numbered after `passed`.
LeftBehind replies_left_behind(const FunctionRecord& record, uint64_t collected, uint64_t passed) {
    uint64_t in_use = 0;
    for (uint32_t index = 0; index < POOL_AREAS; ++index) {
        in_use += area_word(record, index).state() != AreaWord::FREE ? 1 : 0;
    }
    LeftBehind behind;
    for (uint32_t index = 0; index < POOL_AREAS; ++index) {
        const uint64_t number = record.pool_area(index).number;
        if (area_word(record, index).state() != AreaWord::REPLIED || number <= passed || number + in_use >= collected) {
            continue;
        }
        if (behind.oldest_area < 0 || number < record.pool_area(static_cast<uint32_t>(behind.oldest_area)).number) {
            behind.oldest_area = static_cast<int>(index);
        }
        behind.newest = std::max(behind.newest, number);
    }
    return behind;
}

// Keeps the call word POSTED exactly while some area is.
void sync_posted_state(FunctionRecord& record) {
    const CallWord word = record.word();
    const uint32_t state = oldest_posted_area(record) >= 0 ? CallWord::POSTED : CallWord::IDLE;
    if (word.state() != state) {
        record.set_word(word.with_state(state));
    }
}

// Frees the area; the caller whose turn is next is told when one waits.
void release_area(FunctionRecord& record, uint32_t index) {
    record.set_area_word(index, AreaWord{AreaWord::FREE});
    if (!Queue(record.shm()->callers).empty()) {
        record.set_word(record.word().with_queue_moved());
    }
}

// The terms of one request, as its caller posts them.
struct RequestTerms {
    uint32_t poster_pid;
    bool large_reply;
    bool with_keywords;
    int32_t reply_fd;
    uint32_t reply_inode;
};

// Posts a request of `size` bytes to the free area `index`; its exchange
// number.
uint64_t post_to_area(FunctionRecord& record, uint32_t index, const RequestTerms& terms, const unsigned char* data,
                      size_t size) {
    PoolArea& area = record.pool_area(index);
    area.poster_pid = terms.poster_pid;
    area.large_reply = terms.large_reply ? 1 : 0;
    area.request_kind = terms.with_keywords ? 1 : 0;
    area.reply_fd = terms.reply_fd;
    area.reply_inode = terms.reply_inode;
    area.reply_kind = REPLY_RESULT;
    std::atomic_ref(area.more_behind).store(0, std::memory_order_relaxed);
    std::memcpy(area.message, data, size);
    const uint64_t number = record.post_next_request(record.word());
    area.number = number;
    record.set_area_word(index, AreaWord::of(AreaWord::POSTED, number));
    return number;
}

// The posted area `index` taken by this server to execute.
void take_area(FunctionRecord& record, uint32_t index) {
    PoolArea& area = record.pool_area(index);
    record.last_area = static_cast<int>(index);
    area.executor_slot = record.pool_slot;
    record.set_area_word(index, AreaWord::of(AreaWord::EXECUTING, area.number));
    sync_posted_state(record);
}

// Posts a reply to exchange `number` in area `index` unless its caller gave
// up; whether it was delivered.
bool reply_in_area(FunctionRecord& record, uint32_t index, uint64_t number, const void* data, size_t size,
                   uint8_t kind) {
    if (!area_holds(record, index, number)) {
        return false;
    }
    const uint32_t state = area_word(record, index).state();
    if (state == AreaWord::ABANDONED) {
        release_area(record, index);
        return false;
    }
    if (state != AreaWord::EXECUTING) {
        return false;
    }
    PoolArea& area = record.pool_area(index);
    std::memcpy(area.message, data, size);
    area.reply_kind = kind;
    record.set_area_word(index, AreaWord::of(AreaWord::REPLIED, number));
    return true;
}

// Whether the server that runs the area's exchange has gone: its slot's
// lock is not held (seen from `record`, which is not that server's view).
bool executor_gone(const FunctionRecord& record, uint32_t index) {
    const uint32_t state = area_word(record, index).state();
    return (state == AreaWord::EXECUTING || state == AreaWord::ABANDONED) &&
           !pool_slot_served(record.fd(), record.pool_area(index).executor_slot);
}

// An area whose executor died: its caller, if it still waits, learns it;
// one that gave up has nothing to learn.
void strand_area(FunctionRecord& record, uint32_t index) {
    if (area_word(record, index).state() == AreaWord::ABANDONED) {
        release_area(record, index);
        return;
    }
    record.set_area_word(index, AreaWord::of(AreaWord::STRANDED, record.pool_area(index).number));
}

// For a server that has just taken pool slot `slot`: the exchanges that the
// slot's previous holder ran when it died are stranded.
void strand_exchanges_of_slot(FunctionRecord& record, uint32_t slot) {
    for (uint32_t index = 0; index < POOL_AREAS; ++index) {
        const uint32_t state = area_word(record, index).state();
        if ((state == AreaWord::EXECUTING || state == AreaWord::ABANDONED) &&
            record.pool_area(index).executor_slot == slot) {
            strand_area(record, index);
        }
    }
}

// Whether the area's exchange is of a caller that died (or the area holds a
// state nobody of ours writes): nobody will collect its reply, so the area
// may be freed.
bool caller_died(const FunctionRecord& record, uint32_t index) {
    const uint32_t state = area_word(record, index).state();
    if (state > AreaWord::STRANDED) {
        return true;  // scribbled over: no process of ours left it so
    }
    if (state == AreaWord::FREE || state == AreaWord::EXECUTING) {
        return false;  // a server's reply ends the exchange, and may be reclaimed then
    }
    if (state == AreaWord::ABANDONED) {
        return executor_gone(record, index);
    }
    return poster_state(record, record.pool_area(index).poster_pid) == Poster::Dead;
}

// Frees the areas of callers that died; whether any was.
bool reclaim_areas(FunctionRecord& record) {
    bool freed = false;
    for (uint32_t index = 0; index < POOL_AREAS; ++index) {
        if (caller_died(record, index)) {
            record.set_area_word(index, AreaWord{AreaWord::FREE});
            freed = true;
        }
    }
    if (freed) {
        sync_posted_state(record);
    }
    return freed;
}

// When the pool ends (stopped, or its last server failing): requests not
// taken, and those of servers that died, are answered with the null
// message; exchanges that live servers run are left to them.
void end_areas(FunctionRecord& record) {
    for (uint32_t index = 0; index < POOL_AREAS; ++index) {
        const uint32_t state = area_word(record, index).state();
        PoolArea& area = record.pool_area(index);
        const bool run_by_nobody = (state == AreaWord::EXECUTING || state == AreaWord::ABANDONED) &&
                                   (area.executor_slot == record.pool_slot || executor_gone(record, index));
        if (state == AreaWord::POSTED || (state == AreaWord::EXECUTING && run_by_nobody)) {
            area.message[0] = 0;
            area.reply_kind = REPLY_RESULT;
            record.set_area_word(index, AreaWord::of(AreaWord::REPLIED, area.number));
        } else if (state == AreaWord::ABANDONED && run_by_nobody) {
            record.set_area_word(index, AreaWord{AreaWord::FREE});
        }
    }
    sync_posted_state(record);
}

}  // namespace
