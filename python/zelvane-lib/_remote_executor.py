"""zelvane.Executor over Redis, made by Remote.Executor(name).

One driver thread posts the queued calls in batches, a pipeline of post
scripts in one round trip, and waits for their replies on one list: the
executor's calls carry its id in the first half of their call ids, and the
servers push each reply to the executor's list behind the second half, the
call's tag. One blocking pop and one transaction that empties the list
(sent together) bring every reply there is. A submit that finds the driver
asleep on the list rings it by pushing an empty item to it.

A posted call stays withdrawable while it waits in the pool's queue:
Future.cancel() takes it out (one script), and reports False once a server
has taken it, which then runs it to its end.
"""
import concurrent.futures
import itertools
import threading
import time
import uuid

from zelvane._executor import Executor, check_arguments
from zelvane._remote_core import posted_generation
from zelvane._remote_scripts import CALL_ID_SIZE, CALL_SLICE, REPLY_TTL
from zelvane._remote_cluster import refusal, transaction_result
from zelvane._remote_terms import (check_timeout, deadline_of, decoded_reply, handle_payload, MISSING_FUNCTION,
    popped, reply_pop, seconds_ms, connection_lost, call_in_doubt)
from zelvane._remote_wire import ReplyError, answer, packed

__all__ = ["RemoteExecutor"]

# The most calls posted in one round trip.
BATCH = 256
TAG_SIZE = CALL_ID_SIZE // 2
# Redis reads a blocking time under a millisecond as no limit at all.
SHORTEST_BLOCK = 0.001

# Where a call is. The mutex guards every change.
QUEUED = "queued"           # in this process
POSTED = "posted"           # in the pool's queue, or taken by a server
WITHDRAWING = "withdrawing"  # being taken out of the pool's queue by cancel()
SETTLED = "settled"          # its outcome known: the future is being set or is set
CANCELLED = "cancelled"


class _Call:
    __slots__ = ("future", "args", "kwargs", "payload", "has_kwargs", "deadline", "failure", "state", "tag",
                 "request", "gen", "lost")

    def __init__(self, future, args, kwargs):
        self.future = future
        self.state = QUEUED
        self.failure = self.tag = self.request = self.gen = self.deadline = None
        # The lost connection that took its post, posted or not.
        self.lost = None
        try:
            self.deadline = deadline_of(check_timeout(kwargs.pop("timeout", None)))
            self.payload = handle_payload(args, kwargs, gathered=True)
            self.has_kwargs = "1" if kwargs else "0"
        except BaseException as error:  # the caller's to see, whatever it is
            self.failure = error


class _Withdrawable(concurrent.futures.Future):
    """The future of a call on Redis: cancel() withdraws the call while it
    waits in the pool's queue."""

    def __init__(self, executor):
        super().__init__()
        self._executor = executor
        self._call = None

    def cancel(self):
        return self._executor._cancel(self._call)


def _cancelled(future):
    """Cancels the future of a call that will not run, and tells those waiting."""
    concurrent.futures.Future.cancel(future)
    future.set_running_or_notify_cancel()
    return True


class RemoteExecutor(Executor):
    """An Executor whose calls go through a Redis server."""

    def __init__(self, remote, name, max_in_flight=None):
        check_arguments(name, max_in_flight)
        remote.open_function(name).close()  # a missing name fails here
        self._remote = remote
        self._keys = remote._keys(name)
        self._spares = []
        self._begin(name, max_in_flight)

    def __repr__(self):
        state = "shut down" if self._shutdown else "open"
        return f"<zelvane.Executor name={self._name!r} on {self._remote.url!r} {state}>"

    def _start_afresh(self):
        super()._start_afresh()
        # Signalled once the posts in flight are known to be in the pool's
        # queue (or refused): a withdraw sent before could miss its call.
        self._acknowledged = threading.Condition(self._mutex)
        # A forked child's calls get replies of their own.
        self._id = uuid.uuid4().hex[:TAG_SIZE].encode()
        self._replies = self._keys.reply(self._id.decode())
        self._tags = itertools.count()
        self._posted = {}  # tag -> _Call
        self._timed = 0  # the posted calls with a time limit

    def _work(self, args, kwargs):
        future = _Withdrawable(self)
        future._call = _Call(future, args, kwargs)
        return future._call

    def _ring(self):
        key = self._replies
        ring = packed("RPUSH", key, b"") + packed("PEXPIRE", key, seconds_ms(REPLY_TTL))
        try:
            self._remote._check_open()
            self._remote._on(key, lambda wire: wire.exchange(ring, 2), False)
        except Exception:
            pass  # the driver looks again within a slice all the same

    def _ring_if_asleep(self):
        with self._mutex:
            ring, self._asleep = self._asleep, False
        if ring:
            self._ring()

    # --- cancelling

    def _cancel(self, call):
        with self._mutex:
            self._wait_for_posts((call,))
            state = call.state
            if state in (QUEUED, POSTED):
                call.state = CANCELLED if state == QUEUED else WITHDRAWING
        if state == QUEUED:
            return _cancelled(call.future)
        if state == POSTED:
            return self._withdraw([call])[0]
        return state == CANCELLED

    def _wait_for_posts(self, calls):
        """Waits (the mutex held) until none of `calls` has its post on the
        way: withdrawn on another connection before it lands, a call would
        be missed and then run."""
        if threading.current_thread() is self._driver:
            return  # its posts are over whenever it runs anything else
        while any(call.state == POSTED and call.gen is None for call in calls):
            self._acknowledged.wait()

    def _cancel_waiting(self):
        with self._mutex:
            queued = [call for call in self._queued if call.state == QUEUED]
            for call in queued:
                call.state = CANCELLED
            self._wait_for_posts(list(self._posted.values()))
            posted = [call for call in self._posted.values() if call.state == POSTED]
            for call in posted:
                call.state = WITHDRAWING
        for call in queued:
            _cancelled(call.future)
        self._withdraw(posted)

    def _withdraw(self, calls):
        """Takes `calls` (WITHDRAWING) out of the pool's queue where no server
        took them yet and cancels their futures; whether each was cancelled."""
        if not calls:
            return []
        args = [self._keys.prefix]
        for call in calls:
            args += (call.gen or "", call.request)
        try:
            withdrawn = self._remote._run("withdraw_calls", [self._keys.fn], args)
        except Exception:
            withdrawn = [0] * len(calls)  # unreachable: the calls go on as far as they can
        cancelled = []
        with self._mutex:
            for call, out in zip(calls, withdrawn):
                if call.state != WITHDRAWING:
                    continue  # its reply came meanwhile
                if out:
                    call.state = CANCELLED
                    self._forget(call)
                    cancelled.append(call)
                else:
                    call.state = POSTED
        for call in cancelled:
            _cancelled(call.future)
        if cancelled:
            self._ring_if_asleep()  # perhaps nothing is left to wait for
        return [call.state == CANCELLED for call in calls]

    # --- the driver thread

    def _drive(self):
        checked = time.monotonic()
        while True:
            try:
                self._post_queued()
                with self._mutex:
                    if not self._posted and not self._queued:
                        self._driver = None
                        self._idle.notify_all()
                        return
                    if self._queued and self._has_room():
                        continue  # submitted while posting
                    self._asleep = True
                try:
                    replies = self._gather(self._sleep_for(checked))
                finally:
                    with self._mutex:
                        self._asleep = False
                self._settle_replies(replies)
                if time.monotonic() - checked >= CALL_SLICE or self._deadline_passed():
                    self._look_for_lost()
                    self._time_out()
                    checked = time.monotonic()
            except BaseException as error:  # the server unreachable, the connection closed
                with self._mutex:
                    failed = [call for call in self._posted.values() if call.state != CANCELLED]
                    for call in failed:
                        self._settled(call)
                    self._acknowledged.notify_all()
                self._fail(failed, error)

    def _has_room(self):
        return self._most is None or len(self._posted) < self._most

    def _post_queued(self):
        while True:
            failed = []
            with self._mutex:
                batch = self._next_batch(failed)
            if batch:
                self._post(batch)
            # Only now: their callbacks may cancel calls of the batch.
            for call, error in failed:
                call.future.set_exception(error)
            if not batch:
                return

    def _next_batch(self, failed):
        """Takes the next calls to post out of the queue (the mutex held);
        those that cannot be posted go to `failed` with their error."""
        room = BATCH if self._most is None else min(BATCH, self._most - len(self._posted))
        batch = []
        while self._queued and len(batch) < room:
            call = self._queued.popleft()
            if call.state != QUEUED:
                continue  # cancelled here
            if call.failure is None and call.deadline is not None and call.deadline <= time.monotonic():
                call.failure = self._late()
            if call.failure is not None:
                call.state = SETTLED
                failed.append((call, call.failure))
                continue
            call.state = POSTED
            call.tag = b"%016x" % next(self._tags)
            call.request = self._id + call.tag + call.payload
            self._posted[call.tag] = call
            self._timed += call.deadline is not None
            batch.append(call)
        return batch

    def _post(self, batch):
        keys = self._keys
        calls = [([keys.fn, keys.slot, self._replies], [keys.prefix, call.request, call.has_kwargs, "0"])
                 for call in batch]
        try:
            replies, doubtful = self._posted_replies(calls)
        except BaseException as error:  # the caller's to see, whatever it is
            replies, doubtful = [error] * len(batch), ()
        refused = []
        for at, (call, reply) in enumerate(zip(batch, replies)):
            if at in doubtful:
                # Posted or not: where it is tells, in the next look for
                # lost calls. Posted again, it could run twice.
                call.gen, call.lost = "", reply
                continue
            try:
                if isinstance(reply, BaseException):
                    raise reply
                call.gen = posted_generation(self._name, answer(reply), MISSING_FUNCTION.format(self._name))
            except BaseException as error:
                refused.append((call, error))
        with self._mutex:
            refused = [(call, error) for call, error in refused if self._settled(call)]
            self._acknowledged.notify_all()
        for call, error in refused:
            call.future.set_exception(error)

    def _posted_replies(self, calls):
        """The post script's replies to `calls`, and the positions of those
        whose post went with a lost connection and may or may not be in
        the pool's queue. On a cluster, the posts the cluster did not run
        (the slot moved or moving) go again where it says."""
        remote = self._remote
        remote._check_open()
        script = remote._packed["post"]
        if remote._routes is not None:
            with remote._reachable():
                return remote._routes.run_many(self._keys.fn, script, calls)
        try:
            return remote._on(self._keys.fn, lambda wire: wire.run_many(script, calls), False), ()
        except Exception as exc:
            if not connection_lost(exc):
                raise
            return [exc] * len(calls), range(len(calls))

    def _gather(self, wait):
        """The replies there are, once one is there or `wait` seconds passed."""
        key = self._replies
        pop = packed(*reply_pop(key, wait if wait >= SHORTEST_BLOCK else 0))
        payload = pop + _MULTI + packed("LRANGE", key, 0, -1) + packed("DEL", key) + _EXEC
        self._remote._check_open()
        return self._remote._on(key, lambda wire: _gathered(wire.exchange(payload, 5)), False)

    def _settle_replies(self, replies):
        done = []
        with self._mutex:
            for reply in replies:
                call = self._posted.get(reply[:TAG_SIZE])
                if call is not None:  # not a ring, nor a call that ended otherwise
                    self._settled(call)
                    done.append((call, reply[TAG_SIZE:]))
        for call, reply in done:
            try:
                result = decoded_reply(self._name, reply)
            except BaseException as error:  # the server's exception, raised here
                call.future.set_exception(error)
            else:
                call.future.set_result(result)

    def _sleep_for(self, checked):
        wake = checked + CALL_SLICE
        if self._timed:
            with self._mutex:
                wake = min([wake, *(call.deadline for call in self._posted.values() if call.deadline is not None)])
        return max(0.0, wake - time.monotonic())

    def _deadline_passed(self):
        if not self._timed:
            return False
        now = time.monotonic()
        with self._mutex:
            return any(call.deadline is not None and call.deadline <= now for call in self._posted.values())

    def _look_for_lost(self):
        """Fails the calls that no live server has nor will have, as a
        caller who waits for one is failed."""
        with self._mutex:
            calls = [call for call in self._posted.values() if call.state == POSTED and call.gen is not None]
        if not calls:
            return
        args = [self._keys.prefix]
        for call in calls:
            args += (call.gen, call.request[:CALL_ID_SIZE])
        lost = self._remote._run("lost", [self._keys.fn, self._replies], args)
        with self._mutex:
            lost = [call for call in (calls[at - 1] for at in lost) if call.state == POSTED and self._settled(call)]
        for call in lost:
            call.future.set_exception(self._lost(call))

    def _lost(self, call):
        """The error of a call found nowhere, as a caller who waits for one sees it."""
        if call.lost is not None:
            return call_in_doubt(self._name, call.lost)
        return RuntimeError(f"Nobody serves the function '{self._name}' any more: its serving process has ended.")

    def _time_out(self):
        """Fails the calls whose time is up, withdrawing those not taken
        (the others are abandoned: their replies expire)."""
        now = time.monotonic()
        with self._mutex:
            late = [call for call in self._posted.values()
                    if call.deadline is not None and call.deadline <= now and call.state == POSTED]
            for call in late:
                self._settled(call)
        if late:
            args = [self._keys.prefix]
            for call in late:
                args += (call.gen or "", call.request)
            try:
                self._remote._run("withdraw_calls", [self._keys.fn], args)
            finally:
                self._fail(late, self._late)

    def _late(self):
        return TimeoutError(f"The call of '{self._name}' did not end within its time limit.")

    def _settled(self, call):
        """Marks the call's outcome known (the mutex held); True."""
        call.state = SETTLED
        self._forget(call)
        return True

    def _forget(self, call):
        if self._posted.pop(call.tag, None) is not None and call.deadline is not None:
            self._timed -= 1

    @staticmethod
    def _fail(calls, error):
        """Fails the futures of `calls`: with `error`, or a new one made by it."""
        for call in calls:
            call.future.set_exception(error() if callable(error) else error)


def _gathered(replies):
    """The replies to a gathering: the pop's, and those of the transaction
    that empties the list. A cluster moving the list's slot may serve the
    pop (sent with ASKING) and refuse the transaction: the rest comes with
    the next pops."""
    first = popped(answer(replies[0]))
    if isinstance(replies[4], ReplyError):
        try:
            transaction_result(replies[1:])
        except Exception as exc:
            if refusal(exc) is None:
                raise
        return [] if first is None else [first]
    rest = answer(replies[4])[0]
    return rest if first is None else [first, *rest]


_MULTI = packed("MULTI")
_EXEC = packed("EXEC")
