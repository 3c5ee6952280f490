// Pools: several servers (processes or threads) under one name, as `serve`
// makes them. A pool is a function record whose callers' state says `pool`,
// followed by the message areas of its exchanges (calls/pools/areas.h); each
// server holds a write lock on its own slot byte (past the record's end)
// while it serves, and an area names the slot of the server running its
// exchange, so that callers tell a dead server from live ones. The last
// server out removes the name.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "calls/pools/areas.h"
#include "calls/queue.h"
#include "calls/record.h"
#include "platform/errors.h"
#include "platform/object_cache.h"
#include "platform/shm_support.h"

namespace {

enum class Join { Joined, Taken, Retry, Stopped, Failed };

// Whether the record, its slot taken, still serves under its name (Joined):
// not stopped (Stopped: a server that took its slot is one of those that
// remove_function stops, as others see it so), nor ended by its last server
// or removed (Retry) meanwhile. The exchanges that the slot's previous
// holder left running are stranded.
// Told under the mutex, which a stop takes to set its flag before any server
// can end the pool and remove its name.
Join pool_still_open(FunctionRecord& record) {
    Join state = Join::Retry;
    look_once(record, [&](CallWord word) {
        if ((word.bits & CallWord::STOP) != 0) {
            state = Join::Stopped;
        } else if (!word.ended() && record.shm()->activity == 1 && !orphaned(record)) {
            state = Join::Joined;
        }
        strand_exchanges_of_slot(record, record.pool_slot);
        return Step::Done;
    });
    return state;
}

// Joins the pool that `file` (at `path`) holds: Taken when it is not a live
// pool (a slot, a create_function record, a foreign object), Retry when it
// went or ended meanwhile (a pool whose servers all died is removed first).
Join join_pool_record(FunctionRecord& record, const std::string& file, const std::string& path) {
    struct stat st;
    bool map_failed = false;
    shm::ObjectUse use = object_cache.open_unshared(file, st, map_failed);
    if (!use) {
        return !map_failed && errno == ENOENT ? Join::Retry : Join::Failed;
    }
    if (recognise_object(use->fd.get(), st) != ObjectKind::Function) {
        return Join::Taken;
    }
    record.object = std::move(use);
    if (!served_elsewhere(record.fd())) {
        // A pool whose servers all left or died: removed here, unless its
        // name went or a live record took it meanwhile, which the next
        // attempt sees.
        record.object.release();
        const Removal removal = take_over_dead_record(record.name, path);
        return removal == Removal::Other || removal == Removal::Failed ? Join::Taken : Join::Retry;
    }
    const int slot = record.pool() ? take_pool_slot(record.fd()) : -1;
    if (slot < 0) {
        record.object.release();
        return Join::Taken;
    }
    record.pool_slot = static_cast<uint32_t>(slot);
    const Join state = pool_still_open(record);
    if (state != Join::Joined) {
        record.object.release();
        return state;
    }
    record.object->held_liveness();
    return Join::Joined;
}

// Makes `record` one of the servers of the pool under its name, creating the
// pool when the name is free. False with a MemoryError set: "already exists"
// when the name holds anything else; false with none when the pool was
// stopped as this server joined it.
bool enter_pool(FunctionRecord& record) {
    const char* name = record.name;
    std::string path;
    std::string file;
    if (!shm::shm_path(name, path) || !shm::shm_file_name(name, file)) {
        return record_not_created("Failed to create memory address '%s'.", name);
    }
    // Each retry follows a pool that ended or a name that went meanwhile;
    // a handful of them in a row means the name is fought over.
    constexpr int ATTEMPTS = 16;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (!shm::name_exists(path)) {
            bool taken;
            if (make_function_record(record, path, true, taken)) {
                return true;
            }
            if (!taken) {
                return false;
            }
            PyErr_Clear();
            continue;
        }
        switch (join_pool_record(record, file, path)) {
            case Join::Joined:
                return true;
            case Join::Stopped:
                return false;
            case Join::Taken:
                return record_not_created("The memory address '%s' already exists.", name);
            case Join::Failed:
                return record_not_created("Failed to open the shared memory '%s'.", name);
            case Join::Retry:
                break;
        }
    }
    return record_not_created("The memory address '%s' already exists.", name);
}

// Whether this server is the last of its pool: no other holds a slot (the
// range lock, once had, also keeps newcomers out until this view closes).
bool last_of_pool(const FunctionRecord& record) { return take_pool_range(record.fd()); }

// The number of servers that hold a slot of the pool open as `fd`.
long pool_servers(int fd) noexcept { return write_locks_elsewhere(fd, POOL_LOCK_BASE, POOL_LOCK_BASE + POOL_SLOTS); }

// The number of live servers of the open record: its pool's, or its one
// create_function server.
long live_servers(const FunctionRecord& record) noexcept {
    if (record.pool()) {
        return pool_servers(record.fd());
    }
    return write_locked_elsewhere(record.fd(), SERVER_LOCK_BYTE) ? 1 : 0;
}

}  // namespace
