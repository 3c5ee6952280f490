// Hosted functions: the serving side (taking requests, answering them,
// ending) and stop requests.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "calls/pools/areas.h"
#include "calls/pools/pool.h"
#include "calls/queue.h"
#include "calls/record.h"
#include "calls/remote_errors.h"
#include "calls/side_payload.h"

namespace {

// Under the mutex, as serving ends: the caller of a pending exchange is
// answered with the null message; an uncollected reply stays for its caller.
CallWord end_exchange(FunctionRecord& record, CallWord word) {
    if (word.state() == CallWord::REPLIED) {
        return word;  // its kind (an exception's report, maybe) stays for its caller
    }
    record.shm()->callers.reply_kind = REPLY_RESULT;
    null_function(record.shm());
    const bool pending = word.state() == CallWord::POSTED || word.state() == CallWord::EXECUTING;
    return word.with_state(pending ? CallWord::REPLIED : CallWord::IDLE);
}

// Ends serving: pending exchanges are answered (a pool's that other live
// servers run are left to them), everybody who waits or comes later finds
// the record ended, and the name goes.
void end_serving(FunctionRecord& record) {
    change_on_the_way_out(record, [&record](CallWord word) {
        if (record.pool()) {
            end_areas(record);
            word = record.word();
        } else {
            word = end_exchange(record, word);
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
    int pool_area = -1;        // the pool area it came in, if any
    uint32_t poster = 0;       // the process that posted it (0: unknown)
    bool large_reply = false;  // a result too large for the area may go outside it
    bool with_keywords = false;  // the area holds (args, kwargs)
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
void open_request_payload(Request& request) {
    const OutsideMessage message = read_outside(request.area);
    const uint32_t poster = request.poster;
    if (message.kind != static_cast<uint8_t>(Outside::Payload) || (poster != 0 && poster != message.pid)) {
        request.payload_error = EPERM;
        return;
    }
    request.open_payload(message, message.length);
}

// Under the mutex: takes the request in the message area at `message` with
// its terms (who posted it, what it holds, where a large result goes),
// opening a payload it names while its caller still keeps it.
void take_message(Request& request, const unsigned char* message, const RequestTerms& terms) {
    std::memcpy(request.area, message, MESSAGE_SIZE);
    request.poster = terms.poster_pid;
    request.with_keywords = terms.with_keywords;
    request.large_reply = terms.large_reply;
    if (request.large_reply) {
        request.reply_buffer = outside_message(Outside::Payload, 0);
        request.reply_buffer.pid = terms.poster_pid;
        request.reply_buffer.fd = terms.reply_fd;
        request.reply_buffer.inode = terms.reply_inode;
    }
    request.release_payload();
    if (is_outside(request.area)) {
        open_request_payload(request);
    }
}

RequestTerms record_request_terms(const FunctionRecord& record) {
    const CallerState& callers = record.shm()->callers;
    return {callers.poster_pid.load(std::memory_order_relaxed), callers.large_reply != 0, callers.request_kind == 1,
            callers.reply_fd, callers.reply_inode};
}

RequestTerms area_request_terms(const PoolArea& area) {
    return {area.poster_pid, area.large_reply != 0, area.request_kind == 1, area.reply_fd, area.reply_inode};
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
    if (request.pool_area >= 0) {
        const auto index = static_cast<uint32_t>(request.pool_area);
        if (!area_holds(record, index, request.number) || area_word(record, index).state() != AreaWord::EXECUTING) {
            return false;
        }
    } else {
        const CallWord word = record.word();
        if (record.exchange_number(word) != request.number || word.state() != CallWord::EXECUTING) {
            return false;
        }
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

// The positional arguments (a tuple) and keyword arguments (a dict, or
// none) that the decoded request `args` holds, all borrowed from it; false
// when it holds no such thing.
bool call_arguments(const Request& request, PyObject* args, PyObject*& positional, PyObject*& keywords) {
    if (!args || !PyTuple_Check(args)) {
        return false;
    }
    if (!request.with_keywords) {
        positional = args;
        return true;
    }
    if (PyTuple_GET_SIZE(args) != 2 || !PyTuple_Check(PyTuple_GET_ITEM(args, 0)) ||
        !PyDict_Check(PyTuple_GET_ITEM(args, 1))) {
        return false;
    }
    positional = PyTuple_GET_ITEM(args, 0);
    keywords = PyTuple_GET_ITEM(args, 1);
    return true;
}

// The callable's result for a request, or the no-value encoding when the
// area holds no argument tuple (or nothing decodable); a large result for a
// handle goes into `reply`. False with an exception set when serving must end.
bool answer(PyObject* func, Request& request, ReplyArea& reply, Answer& out) {
    PyRef args(request_args(request));
    if (!args && !clear_ordinary_error()) {
        return false;
    }
    PyObject* positional = nullptr;
    PyObject* keywords = nullptr;
    if (!call_arguments(request, args.get(), positional, keywords)) {
        out.encoded.reset(from_value(nullptr));
        return bool(out.encoded);
    }
    PyRef result(PyObject_Call(func, positional, keywords));
    args.reset();  // its memory is free again before the result is encoded
    if (!result) {
        return false;
    }
    out.encoded.reset(request.large_reply ? from_value_into(result.get(), reply.area, out.length)
                                          : from_value(result.get()));
    return bool(out.encoded);
}

// Under the mutex: takes the oldest request posted in a pool's areas.
Step take_from_area(FunctionRecord& record, Request& request) {
    const int index = oldest_posted_area(record);
    if (index < 0) {
        sync_posted_state(record);  // a caller withdrew meanwhile
        return Step::Wait;
    }
    const PoolArea& area = record.pool_area(static_cast<uint32_t>(index));
    take_message(request, area.message, area_request_terms(area));
    request.number = area.number;
    request.pool_area = index;
    take_area(record, static_cast<uint32_t>(index));
    return Step::Done;
}

// Takes the next request into `request`; `stop` when a stop request came
// first, or when the record's name was removed; `leave` when this thread
// was asked to leave (`served`). False with an exception set (Ctrl-C, a
// broken lock).
bool take_request(FunctionRecord& record, Request& request, const RecordThreads::Entry& served, bool& stop,
                  bool& leave) {
    stop = false;
    leave = false;
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
        if (served.leaving()) {
            leave = true;
            return Step::Done;
        }
        if (word.state() != CallWord::POSTED) {
            return Step::Wait;
        }
        if (record.pool()) {
            return take_from_area(record, request);
        }
        take_message(request, record.area(), record_request_terms(record));
        request.number = record.exchange_number(word);
        request.pool_area = -1;
        record.set_word(word.with_state(CallWord::EXECUTING));
        return Step::Done;
    }, notice_orphaning);
    if (end == WaitEnd::Orphaned) {
        stop = true;
        return true;
    }
    return end == WaitEnd::Done;
}

// Posts a reply of `kind` to `request` unless its caller gave up
// (`delivered` tells which).
bool post_reply(FunctionRecord& record, const Request& request, const void* data, size_t size, bool& delivered,
                uint8_t kind = REPLY_RESULT) {
    delivered = false;
    const uint64_t number = request.number;
    const WaitEnd end = wait_on_record(record, SERVER_MODE, [&](CallWord word) {
        if (request.pool_area >= 0) {
            delivered = reply_in_area(record, static_cast<uint32_t>(request.pool_area), number, data, size, kind);
            return Step::Done;
        }
        if (record.exchange_number(word) != number) {
            return Step::Done;
        }
        if (word.state() == CallWord::EXECUTING) {
            std::memcpy(record.area(), data, size);
            record.shm()->callers.reply_kind = kind;
            delivered = true;
            record.set_word(word.with_state(CallWord::REPLIED));
        } else if (word.state() == CallWord::ABANDONED) {
            record.set_word(word.with_state(CallWord::IDLE));
        }
        return Step::Done;
    });
    return end == WaitEnd::Done;
}

// For a pool's server: reports the exception being raised (by the callable,
// by binding its arguments, by encoding its result) to the caller, and goes
// on serving unless it is one that ends a process's work (KeyboardInterrupt,
// SystemExit), which is raised again once reported. False with an exception
// set when serving must end.
bool report_exception(FunctionRecord& record, const Request& request) {
    PyRef exception = take_raised_exception();
    const bool ends_serving = !PyErr_GivenExceptionMatches(exception.get(), PyExc_Exception);
    PyRef report = exception_report(exception.get());
    const unsigned char* data = nullptr;
    size_t size = 0;
    if (!report || !encoded_bytes(report.get(), "Failed to encode the report of an exception.", data, size)) {
        return false;
    }
    bool delivered;
    if (!post_reply(record, request, data, size, delivered, REPLY_EXCEPTION)) {
        return false;
    }
    if (ends_serving) {
        restore_exception(std::move(exception));
        return false;
    }
    return true;
}

// For a pool's server: raises the refusal of a result that a plain
// call_function caller cannot take (over the message area's size).
bool refuse_oversized(const Request& request, const Answer& result) {
    if (request.large_reply || result.encoded.get() == Py_None || !PyBytes_Check(result.encoded.get()) ||
        PyBytes_GET_SIZE(result.encoded.get()) <= static_cast<Py_ssize_t>(MESSAGE_SIZE)) {
        return false;
    }
    PyErr_SetString(PyExc_ValueError, "The returned value exceeds the maximum accepted return size of 1024 bytes.");
    return true;
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
            return post_reply(record, request, request.mapped->view.bytes(), answer.length, delivered);
        }
        const OutsideMessage message = outside_message(Outside::Payload, answer.length);
        return post_reply(record, request, &message, sizeof message, delivered);
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
               post_reply(record, request, data, size, delivered);
    }
    // The buffer refused it.
    OutsideMessage message = is_outside(&reply.refusal.marker) ? reply.refusal
                                                                : outside_message(Outside::NoRoom, 0, ENOMEM);
    message.length = size;
    return post_reply(record, request, &message, sizeof message, delivered);
}

// Serves requests until a stop request (None) or a failure (null).
PyObject* serve(FunctionRecord& record, PyObject* func, const RecordThreads::Entry& served) {
    Request request;
    for (;;) {
        bool stop;
        bool leave;
        bool delivered;
        if (!take_request(record, request, served, stop, leave)) {
            break;
        }
        request.buffers.note_request();
        if (leave) {
            // As a server failing alone does, but quietly.
            if (!record.pool_server || last_of_pool(record)) {
                end_serving(record);
            }
            Py_RETURN_NONE;
        }
        if (stop) {
            end_serving(record);
            if (!record.pool_server && !print_stop_line()) {
                return nullptr;
            }
            Py_RETURN_NONE;
        }
        if (request.area[0] == 0) {
            PyErr_SetString(PyExc_RuntimeError,
                            "Received a NULL message from the caller. This is likely because the "
                            "caller sent arguments of too large size.");
            if (record.pool_server && report_exception(record, request)) {
                continue;
            }
            break;
        }
        if (is_outside(request.area) && !request.payload.valid()) {
            const OutsideMessage refusal = outside_message(Outside::Unreadable, 0, request.payload_error);
            if (!post_reply(record, request, &refusal, sizeof refusal, delivered)) {
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
        if (record.pool_server && (!answered || refuse_oversized(request, result))) {
            request.release_payload();
            if (report_exception(record, request)) {
                continue;
            }
            break;
        }
        if (!answered || !post_result(record, request, reply, result, delivered)) {
            break;
        }
        const bool large_result = result.encoded.get() == Py_None && result.length > MESSAGE_SIZE;
        request.release_payload(delivered, large_result ? result.length : 0);
    }
    // A pool's server that fails alone leaves the others serving.
    if (!record.pool_server || last_of_pool(record)) {
        end_serving(record);
    }
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
    served.wake_on(&record.shm()->call);
    return serve(record, func_ref.get(), served);
}

// Serves `func` as one of the servers of the pool under `name`.
PyObject* serve_in_pool(const char* name, PyObject* func) {
    PyRef func_ref = PyRef::borrow(func);
    FunctionRecord record(name);
    record.pool_server = true;
    if (!enter_pool(record)) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        Py_RETURN_NONE;  // stopped as it joined
    }
    struct stat st;
    if (::fstat(record.fd(), &st) != 0) {
        if (last_of_pool(record)) {
            end_serving(record);
        }
        return memory_error("Failed to create memory address '%s'.", name);
    }
    RecordThreads::Entry served(serving_threads, st);
    served.wake_on(&record.shm()->call);
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

}  // namespace
