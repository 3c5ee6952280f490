// Hosted functions: the calling side's entry points (opening, encoding the
// arguments, one call and its outcome); an exchange itself is in
// calls/exchange.h.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstring>

#include "calls/exchange.h"
#include "calls/pools/areas.h"
#include "calls/queue.h"
#include "calls/record.h"
#include "calls/remote_errors.h"
#include "calls/serving.h"
#include "calls/side_payload.h"

namespace {

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
