"""What the awaits of one event loop share (zelvane.aio's machinery): the
calls the loop posts itself and collects when the watcher thread says they
moved, the helper threads for calls that find no room, and the waits on
slots and queues, all settled on the loop in bounded batches."""
import asyncio
import collections
import math
import numbers
import os
import queue
import threading
import time

import zelvane

# Helper threads that run awaited calls, per event loop: two from the start,
# more (up to the most, as many as a pool serves at once by default) while
# calls take long and others queue behind them, since every helper also
# contends for the GIL; one with nothing to do for _IDLE_SECONDS ends.
_CALL_HELPERS = 16
_EAGER_HELPERS = 2
# A call is slow when it took longer than a thread may wait for the GIL
# while the loop holds it: a fast call that only waited for the GIL starts no
# helper, which would only wait for the GIL too.
_SLOW_CALL = 0.006
_IDLE_SECONDS = 2.0
# Outcomes of calls reach the loop in batches: a helper wakes it once the
# queue is empty, _BATCH outcomes wait, or the first waited _BATCH_SECONDS
# (the watcher wakes it then if the helpers are busy with slow calls); the
# loop settles at most _DELIVERED_AT_ONCE per callback.
_BATCH = 64
_BATCH_SECONDS = 0.001
_DELIVERED_AT_ONCE = 32
# How often the watcher looks whether its loop was closed under it, and has
# the loop look at its posted calls as a waiting caller does between slices
# (a dead server).
_WATCH_SLICE = 0.2
# How long the loop watches for the reply of a call it posted while no other
# is in flight and none was started in the same turn of the loop: a server
# that answers at once is answered on the spot, with no thread woken. Calls
# started together are posted together instead, so that the servers of a
# pool run them side by side.
_SPIN = 0.00005
# How long one collecting callback of the loop may take, and how long it
# waits at most for a reply between two looks: well under the millisecond
# the loop may be held, and longer than a pool takes to answer a batch.
_COLLECTING = 0.0003
_REPLY_WAIT = 0.0001
# A call whose time is up but whose limit the handle did not see passed yet
# is looked at again after this pause.
_TIME_UP_AGAIN = 0.001
# A value of this many bytes or more is copied into or out of shared memory
# on a helper thread, never on the loop's: the copy lets the GIL go, but the
# loop's thread would still wait for it.
_LARGE = 1 << 20


# Containers looked into for a large member, and how deep.
_CONTAINERS = (tuple, list, dict)
_DEPTH = 3


def _is_large(value, depth=_DEPTH):
    """Whether `value` is a large bytes-like value or text, or a tuple, list
    or dict (its values) that holds one within a few levels."""
    if isinstance(value, (bytes, bytearray, str)):
        return len(value) >= _LARGE
    if isinstance(value, memoryview):
        return value.nbytes >= _LARGE
    if depth and type(value) in _CONTAINERS:
        members = value.values() if type(value) is dict else value
        return any(_is_large(member, depth - 1) for member in members)
    return False


def _any_large(values):
    """Whether `values` or the members of containers among them hold a
    large bytes-like value or text."""
    return any(_is_large(value) for value in values)


def _settle(future, ok, value):
    if not future.done():
        if ok:
            future.set_result(value)
        else:
            future.set_exception(value)


def _post(loop, future, ok, value):
    """Settles `future` on its loop from another thread; a closed loop has
    nobody left to tell."""
    try:
        loop.call_soon_threadsafe(_settle, future, ok, value)
    except RuntimeError:
        pass


_SHARED = object()  # several tasks called in one turn of the loop

# What became of a call: waiting on the loop for room, posted by the loop
# (and its large result collected by a helper thread), or queued for,
# running on and over with a helper thread.
_WAITING, _POSTED, _QUEUED, _DROPPED, _RUNNING, _OVER, _COLLECTING = range(7)


class _Call:
    __slots__ = ("handle", "args", "kwargs", "timeout", "future", "state", "given_up", "sync", "ended",
                 "pending", "timer", "outcome")

    def __init__(self, handle, args, kwargs, timeout):
        self.handle = handle
        self.args = args
        self.kwargs = kwargs
        self.timeout = timeout
        self.future = None  # made once the call does not end at once
        self.state = _WAITING
        self.given_up = False
        self.sync = None
        self.ended = None  # for a caller that gave the call up: set once its helper is done
        self.pending = None  # the PendingCall the loop posted
        self.timer = None
        self.outcome = None  # (ok, value) of a call that ended at once

    def start(self, sync):
        """Posts the call through `sync` from the loop: the PendingCall, None
        when there is no room now, or the outcome (ended at once, here with
        its exception) in self.outcome."""
        try:
            if self.timeout is None and not self.kwargs:
                return sync._start(*self.args)
            return sync._start(*self.args, timeout=_time_left(self.timeout), **self.kwargs)
        except BaseException as error:  # the caller's to see, whatever it is
            self.outcome = (False, error)
            return None


class _Wait:
    __slots__ = ("handle", "since", "future", "timer")

    def __init__(self, handle, since, future):
        self.handle = handle
        self.since = since
        self.future = future
        self.timer = None


class _QueueWait:
    """A task waiting for one side of a queue: (QueueHandle, put) in `key`;
    its future tells it to try again."""

    __slots__ = ("key", "future", "timer")

    def __init__(self, key, future):
        self.key = key
        self.future = future
        self.timer = None


# A side of a queue that the watcher found able to go on, while the loop
# has not yet woken one of its waits.
_REPORTED = object()


class _QueueWaiters:
    """The tasks waiting for one side of a queue, first come first woken,
    and the one woken to try (or _REPORTED): while it tries, the watcher
    leaves the side alone, so that one item wakes one task."""

    __slots__ = ("waits", "woken")

    def __init__(self):
        self.waits = collections.deque()
        self.woken = None


class _Runtime:
    """What the awaits of one event loop share: the queue of calls and the
    helper threads that run them, the waits on slots and the watcher thread
    that sleeps on them (and gives everything up if the loop is closed with
    work pending), and the slots whose lock a task of the loop holds."""

    def __init__(self, loop):
        self.loop = loop
        self.mutex = threading.Lock()
        self.queued = queue.SimpleQueue()
        self.running = set()
        self.outcomes = []
        self.delivering = False
        self.unannounced_since = None
        self.helpers = 0
        self.waits = {}
        self.queue_waits = {}  # (QueueHandle, put) -> _QueueWaiters, under the mutex
        self.watcher = None
        self.servers = set()
        self.lock_owners = {}  # name -> (weak reference to the holding task, handle)
        # ("array", name) -> the loop thread's shared hold of an array
        self.shared_holds = {}
        # PendingCall -> _Call, the calls the loop posted; changed on the loop
        # only, and copied by the watcher in one step under the GIL.
        self.posted = {}
        self.in_flight = {}  # handle -> how many of its calls are posted
        # From the watcher's word that posted calls moved until the loop's
        # look at them all is over.
        self.collect_due = False
        self.waiting = {}  # handle -> deque of its calls waiting for room
        self.ring_due = False
        self.caller_this_turn = None  # the task that called in this turn of the loop, or _SHARED

    # --- calls

    def call(self, handle, args, kwargs, timeout):
        """A call of `handle`: posted by the loop when there is room (its
        outcome in call.outcome when it ended at once), else waiting for
        room or queued for a helper; call.future tells the end."""
        call = _Call(handle, args, kwargs, None if timeout is None else _deadline(timeout))
        if _any_large(args) or (kwargs and _any_large(kwargs.values())):
            call.future = self.loop.create_future()
            self._queue_for_helper(call)  # encoded and copied there
            return call
        spin = not self.posted and self._sole_caller_this_turn()
        posted = handle not in self.waiting and self._post(call, spin)
        if call.outcome is None:
            call.future = self.loop.create_future()
            if not posted:
                self._wait_for_room(call)
        return call

    def _sole_caller_this_turn(self):
        """Whether no task but the current one called in this turn of the
        loop (one task's calls one after another are each watched for)."""
        task = asyncio.current_task(self.loop)
        caller = self.caller_this_turn
        if caller is None:
            self.loop.call_soon(self._end_turn)
            self.caller_this_turn = task
        elif caller is not task:
            self.caller_this_turn = _SHARED
        return caller is None or caller is task

    def _end_turn(self):
        self.caller_this_turn = None

    def _post(self, call, spin=False):
        """On the loop: posts the call; False when there is no room. A call
        that ends at once, or within `spin`, leaves its outcome in
        call.outcome, or settles its future."""
        try:
            sync = call.handle._spare_handle()
        except BaseException as error:  # the name gone, for example: the caller's to see
            sync, call.outcome = None, (False, error)
        pending = call.start(sync) if sync is not None else None
        if pending is None:
            call.handle._give_back(sync)
            if call.outcome is not None:
                call.state = _OVER
                self._cancel_timer(call)
                self._settle_outcome(call)
            return call.outcome is not None
        call.state, call.pending, call.sync = _POSTED, pending, sync
        self.posted[pending] = call
        self.in_flight[call.handle] = self.in_flight.get(call.handle, 0) + 1
        if not (spin and self._look(call, spin=_SPIN)):
            if call.timeout is not None:
                self._start_timer(call)
            if not self.ring_due:
                self._ring_soon()
        return True

    def _start_timer(self, call):
        if call.timeout is not None and call.timer is None:
            call.timer = self.loop.call_later(_time_left(call.timeout), self._time_up, call)

    def _cancel_timer(self, call):
        if call.timer is not None:
            call.timer.cancel()
            call.timer = None

    def _look(self, call, spin=0.0, checks=False):
        """On the loop: looks whether the posted call ended, and ends it if
        so; whether it did."""
        pending = call.pending
        try:
            result = pending.poll(spin, checks, True)
        except BaseException as error:  # the caller's to see, whatever it is
            self._end(call, False, error)
            return True
        if result is not pending:
            self._end(call, True, result)
            return True
        if pending.ready:
            self._collect_on_helper(call)
        return False

    def _collect_on_helper(self, call):
        """On the loop: a posted call ended with a large result, which a
        helper thread decodes; the loop ends the call once it has."""
        del self.posted[call.pending]
        call.state = _COLLECTING
        self._cancel_timer(call)

        def collected(done):
            try:
                ok, value = True, done.result()
            except BaseException as error:  # the caller's to see, whatever it is
                ok, value = False, error
            self._end(call, ok, value)

        self.loop.run_in_executor(None, call.pending.poll).add_done_callback(collected)

    def _end(self, call, ok, value):
        self._forget(call)
        call.outcome = (ok, value)
        if call.future is not None:
            _settle(call.future, ok, value)
        if call.handle in self.waiting:
            self._post_waiting(call.handle)

    def _settle_outcome(self, call):
        if call.future is not None:
            _settle(call.future, *call.outcome)

    def _forget(self, call):
        """On the loop: a posted call is over; its handle is free again."""
        self.posted.pop(call.pending, None)
        handle = call.handle
        in_flight = self.in_flight[handle] - 1
        if in_flight:
            self.in_flight[handle] = in_flight
        else:
            del self.in_flight[handle]
        call.state, call.pending = _OVER, None
        if call.timer is not None:
            self._cancel_timer(call)
        handle._give_back(call.sync)
        call.sync = None

    def _wait_for_room(self, call):
        """A call that found no room waits for one of the loop's own calls
        of its handle to end; with none in flight, a helper runs it."""
        handle = call.handle
        if handle in self.in_flight:
            waiting = self.waiting.get(handle)
            if waiting is None:
                waiting = self.waiting[handle] = collections.deque()
            waiting.append(call)
            if call.timeout is not None:
                self._start_timer(call)
            if not self.ring_due:
                self._ring_soon()  # the watcher's slices retry it
        else:
            self._queue_for_helper(call)

    def _post_waiting(self, handle, most=1):
        """Posts calls of `handle` waiting for room while there is, `most` of
        them (one for a call of its own that ended: room for one more; all
        that fit when None)."""
        waiting = self.waiting.get(handle)
        while waiting and most != 0:
            call = waiting[0]
            if not self._post(call):
                if handle not in self.in_flight:
                    self._hand_waiting_to_helpers(handle)
                return
            waiting.popleft()
            most = None if most is None else most - 1
        if not waiting:
            self.waiting.pop(handle, None)

    def _drop_waiting(self, call):
        self._cancel_timer(call)
        waiting = self.waiting[call.handle]
        waiting.remove(call)
        if not waiting:
            del self.waiting[call.handle]
        call.state = _DROPPED

    def _hand_waiting_to_helpers(self, handle):
        for call in self.waiting.pop(handle, ()):
            self._queue_for_helper(call)

    def _queue_for_helper(self, call):
        self._cancel_timer(call)  # the helper keeps the time
        call.state = _QUEUED
        self.queued.put(call)
        with self.mutex:
            if self.helpers < _EAGER_HELPERS:
                self._add_helper()

    def _time_up(self, call):
        call.timer = None
        if call.state == _WAITING:
            self._drop_waiting(call)
            message = f"The call of '{call.handle.name}' did not end within its time limit."
            _settle(call.future, False, TimeoutError(message))
        elif call.state == _POSTED and not self._look(call, checks=True):
            call.timer = self.loop.call_later(_TIME_UP_AGAIN, self._time_up, call)

    def _collect(self):
        """On the loop: looks at the posted calls whose word moved, and at
        the others too, whose replies may have come since the watcher woke:
        a look costs far less than a wake-up of the watcher and the loop.
        While looks end calls, the loop waits a little for the replies of
        those it posted in their place, and collects them in the same
        callback: each hand-over from the watcher then serves many calls.
        Its time is bounded however many calls a pool holds: what is left
        once it is up is looked at in a callback of its own."""
        until = time.monotonic() + _COLLECTING
        while True:
            ended, all_looked_at = self._look_at_posted(until)
            if not all_looked_at:
                self.loop.call_soon(self._collect)  # still due: the watcher leaves them alone
                return
            if not (ended and self.posted and time.monotonic() < until):
                break
            self._wait_for_replies()
        with self.mutex:
            self.collect_due = False
        if self.posted:
            self._ring_soon()  # the watcher watches the rest

    def _look_at_posted(self, until):
        """On the loop: looks at every posted call once, or at those it gets
        to before `until` passes: whether one ended, and whether all were
        looked at."""
        ended = False
        for call in list(self.posted.values()):
            if call.state == _POSTED and self._look(call):
                ended = True
                if time.monotonic() >= until:
                    return True, False
        return ended, True

    def _wait_for_replies(self):
        """Sleeps, with the GIL let go, until the word of a posted call moves
        or _REPLY_WAIT passes."""
        zelvane._wait_any((), (), zelvane._bell(), _REPLY_WAIT, list(self.posted))

    def _look_between_slices(self):
        """On the loop: what a waiting caller looks at between slices, for
        every posted call; calls waiting for room try again."""
        for call in list(self.posted.values()):
            if call.state == _POSTED:
                self._look(call, checks=True)
        for handle in list(self.waiting):
            self._post_waiting(handle, None)

    def _ring_soon(self):
        """Has the watcher look at the posted calls again, once for all that
        this turn of the loop posts."""
        if not self.ring_due:
            self.ring_due = True
            self.loop.call_soon(self._ring)

    def _ring(self):
        self.ring_due = False
        with self.mutex:
            self._start_watcher()
        zelvane._ring()

    def _add_helper(self):
        """Under the mutex."""
        self.helpers += 1
        _start_thread(self._help, "zelvane-aio-call")

    def give_up(self, call):
        """On the loop: drops a waiting or queued call, gives a posted one up,
        or has the one in flight on a helper given up and returns a future
        that is done once its helper is."""
        if call.state == _WAITING:
            self._drop_waiting(call)
            return None
        if call.state == _POSTED:
            call.pending.give_up()
            self._forget(call)
            self._post_waiting(call.handle)
            return None
        with self.mutex:
            if call.state == _QUEUED:
                call.state = _DROPPED
            if call.state != _RUNNING:
                return None
            call.given_up = True
            if call.sync is not None:
                call.sync._give_up()
            call.ended = self.loop.create_future()
            return call.ended

    def _help(self):
        idle_since = time.monotonic()
        while True:
            try:
                call = self.queued.get(timeout=_WATCH_SLICE)
            except queue.Empty:
                if self._may_end(idle_since):
                    return
                continue
            self._run(call)
            idle_since = time.monotonic()

    def _may_end(self, idle_since):
        """Whether this idle helper ends now (idle for long, or its loop
        closed); decided under the mutex, so that a call queued meanwhile
        either finds it still there or starts another."""
        with self.mutex:
            if self.queued.empty() and (self.loop.is_closed() or time.monotonic() - idle_since >= _IDLE_SECONDS):
                self.helpers -= 1
                return True
        return False

    def _run(self, call):
        """Runs a queued call, unless it was dropped meanwhile."""
        started = time.monotonic()
        sync, failure = None, None
        try:
            sync = call.handle._sync_handle()
        except BaseException as error:  # the caller's to see, whatever it is
            failure = error
        with self.mutex:
            if call.state == _DROPPED:
                return
            call.state = _RUNNING
            call.sync = sync
            self.running.add(call)
            self._start_watcher()
        ok = failure is None
        if ok:
            try:
                if call.timeout is None and not call.kwargs:
                    failure = sync(*call.args)
                else:
                    failure = sync(*call.args, timeout=_time_left(call.timeout), **call.kwargs)
            except BaseException as error:  # the caller's to see, whatever it is
                ok, failure = False, error
        self._hand_over(call, ok, failure, time.monotonic() - started > _SLOW_CALL)

    def _hand_over(self, call, ok, value, slow):
        """Passes a call's outcome to the loop, and starts another helper
        when calls take long while others queue."""
        with self.mutex:
            self.running.discard(call)
            call.state = _OVER  # a cancellation from now on has nothing to give up
            if call.sync is not None and call.given_up:
                call.sync._give_up(False)
            self.outcomes.append((call, ok, value))
            queued = not self.queued.empty()
            if slow and queued:
                # Slow calls queued behind each other: one helper for each
                # waiting, so that they take a single round, not one each.
                for _ in range(min(self.queued.qsize(), _CALL_HELPERS - self.helpers)):
                    self._add_helper()
            wake = self._announce(queued)
        if wake:
            self._wake_loop()

    def _announce(self, batching=False):
        """Under the mutex: whether the loop is to be woken now for the
        outcomes handed over. While `batching` (more calls queued) they wait
        for a batch, and the watcher keeps the time they wait."""
        if self.delivering or not self.outcomes:
            return False
        now = time.monotonic()
        first = self.unannounced_since is None
        if first:
            self.unannounced_since = now
        if batching and len(self.outcomes) < _BATCH and now - self.unannounced_since < _BATCH_SECONDS:
            if first:
                self._start_watcher()
                zelvane._ring()  # the watcher may be asleep for a long slice
            return False
        self.unannounced_since = None
        self.delivering = True
        return True

    def _wake_loop(self):
        try:
            self.loop.call_soon_threadsafe(self._deliver)
        except RuntimeError:  # closed: nobody waits for them
            pass

    def _deliver(self):
        """Settles the outcomes handed over, a bounded number per callback so
        that the loop runs its other callbacks in between."""
        with self.mutex:
            outcomes = self.outcomes[:_DELIVERED_AT_ONCE]
            del self.outcomes[:_DELIVERED_AT_ONCE]
            more = bool(self.outcomes)
            self.delivering = more
        if more:
            self.loop.call_soon(self._deliver)
        for call, ok, value in outcomes:
            _settle(call.future, ok, value)
            if call.ended is not None:
                call.ended.set_result(None)

    # --- waits on slots

    def wait(self, handle, since, timeout):
        future = self.loop.create_future()
        wait = _Wait(handle, since, future)
        with self.mutex:
            self.waits.setdefault(handle, []).append(wait)
            self._start_watcher()
        zelvane._ring()
        if timeout is not None:
            wait.timer = self.loop.call_later(timeout, self._expire, wait)
        future.add_done_callback(lambda done: self._drop_wait(wait))
        return future

    def _drop_wait(self, wait):
        if wait.timer is not None:
            wait.timer.cancel()
        with self.mutex:
            waits = self.waits.get(wait.handle)
            if waits and wait in waits:
                waits.remove(wait)
                if not waits:
                    del self.waits[wait.handle]

    def _expire(self, wait):
        wait.timer = None
        _settle_wait(wait)

    # --- waits on queues

    def queue_wait(self, sync, put, deadline, again=False):
        """On the loop: a wait of the current task for room in the queue of
        `sync` (`put`) or an item in it, until `deadline` (monotonic) at the
        latest; `again` for a task woken before, which keeps its turn."""
        wait = _QueueWait((sync, put), self.loop.create_future())
        with self.mutex:
            waiters = self.queue_waits.get(wait.key)
            if waiters is None:
                waiters = self.queue_waits[wait.key] = _QueueWaiters()
            if again:
                waiters.waits.appendleft(wait)
            else:
                waiters.waits.append(wait)
            self._start_watcher()
        zelvane._ring()
        if deadline is not None:
            wait.timer = self.loop.call_later(max(0.0, deadline - time.monotonic()), _settle, wait.future, True, None)
        return wait

    def end_queue_wait(self, wait):
        """On the loop, in the step in which the task of `wait` tried (or was
        cancelled): the wait is over. The watcher looks again: at the side
        for the others when this was the one woken, and at what it counts
        itself a sleeper on, which may be nothing now."""
        if wait.timer is not None:
            wait.timer.cancel()
            wait.timer = None
        with self.mutex:
            waiters = self.queue_waits.get(wait.key)
            if waiters is None:
                return
            if waiters.woken is wait:
                waiters.woken = None
            elif wait in waiters.waits:
                waiters.waits.remove(wait)
            else:
                return
            if not waiters.waits and waiters.woken is None:
                del self.queue_waits[wait.key]
        zelvane._ring()

    def _watched_queues(self):
        """Under the mutex: the sides of queues to watch, those with waits
        and no task woken."""
        return [key for key, waiters in self.queue_waits.items() if waiters.waits and waiters.woken is None]

    def _report_queues(self, keys):
        """Under the mutex, in the watcher: the sides of `keys` can go on;
        the loop wakes a task for each that is not woken for already."""
        reported = []
        for key in keys:
            waiters = self.queue_waits.get(key)
            if waiters is not None and waiters.woken is None:
                waiters.woken = _REPORTED
                reported.append(key)
        return reported

    def _wake_queue_waits(self, keys):
        """On the loop: wakes the first task still waiting on each side of
        `keys` to try, or, with none left, has the side forgotten."""
        for key in keys:
            with self.mutex:
                waiters = self.queue_waits.get(key)
                if waiters is None or waiters.woken is not _REPORTED:
                    continue
                woken = None
                while waiters.waits and woken is None:
                    wait = waiters.waits.popleft()
                    if not wait.future.done():
                        woken = wait
                waiters.woken = woken
                if woken is None and not waiters.waits:
                    del self.queue_waits[key]
            if woken is not None:
                woken.future.set_result(None)

    def _start_watcher(self):
        """Under the mutex."""
        if self.watcher is None:
            self.watcher = _start_thread(self._watch, "zelvane-aio-watch")

    def _watch(self):
        checked = time.monotonic()
        while True:
            with self.mutex:
                if self.loop.is_closed():
                    self._abandon()
                wake = self._announce(batching=True)
                batching = self.unannounced_since is not None
                if not (self.waits or self.running or self.servers or batching or self.posted or self.queue_waits):
                    self.watcher = None
                    return
                bell = zelvane._bell()
                handles, versions, changed = self._look_at_waits()
                queues = self._watched_queues()
                # While a look of the loop's is due, it looks at them all and
                # rings when it leaves some posted: watching them meanwhile
                # only wakes this thread to wait for the GIL.
                calls = [] if self.collect_due else list(self.posted)
                posted = bool(self.posted)
            if wake:
                self._wake_loop()
            if changed:
                self._tell_loop(_settle_waits, changed)
                continue
            now = time.monotonic()
            if now - checked >= _WATCH_SLICE:
                checked = now
                if posted or self.waiting:
                    self._tell_loop(self._look_between_slices)
            try:
                moved = zelvane._wait_any(handles, versions, bell, _BATCH_SECONDS if batching else _WATCH_SLICE,
                                          calls, queues)
            except Exception:  # a handle closed meanwhile: looked at again
                continue
            if queues and moved and isinstance(moved[-1], tuple):
                # The queue waits that can go on follow the calls that moved.
                ready = [wait for wait in moved if isinstance(wait, tuple)]
                moved = moved[:len(moved) - len(ready)]
                with self.mutex:
                    reported = self._report_queues(ready)
                if reported:
                    self._tell_loop(self._wake_queue_waits, reported)
            if moved:
                with self.mutex:
                    due, self.collect_due = self.collect_due, True
                if not due:
                    self._tell_loop(self._collect)

    def _tell_loop(self, callback, *args):
        try:
            self.loop.call_soon_threadsafe(callback, *args)
        except RuntimeError:  # closed: the next look gives everything up
            pass

    def _look_at_waits(self):
        """Under the mutex: the slots to sleep on with the version each
        keeps, and the waits that are over (taken out)."""
        handles, versions, changed = [], [], []
        for handle, waits in list(self.waits.items()):
            try:
                version = handle.version
            except Exception:  # closed: the waits end with what wait() says then
                version = None
            over = [wait for wait in waits if wait.since != version]
            if over:
                changed.extend(over)
                del self.waits[handle]
                remaining = [wait for wait in waits if wait.since == version]
                if remaining:
                    self.waits[handle] = remaining
            else:
                handles.append(handle)
                versions.append(version)
        return handles, versions, changed

    def _abandon(self):
        """Under the mutex, for a loop closed with work pending: the calls in
        flight are given up and the servers leave; nobody awaits them."""
        while not self.queued.empty():
            self.queued.get_nowait().state = _DROPPED
        for pending in self.posted:
            pending.give_up()
        self.posted.clear()
        self.collect_due = False
        self.waiting.clear()
        self.in_flight.clear()
        for call in self.running:
            call.given_up = True
            if call.sync is not None:
                call.sync._give_up()
        self.running.clear()
        self.waits.clear()
        self.queue_waits.clear()
        for ident in self.servers:
            zelvane._leave_serving(ident)
        self.servers.clear()


def _settle_wait(wait):
    """On the loop: ends `wait` with what the synchronous wait() says now
    (its time is up, or the version moved on)."""
    if wait.future.done():
        return
    try:
        version = wait.handle.wait(wait.since, timeout=0)
    except Exception as error:
        wait.future.set_exception(error)
    else:
        wait.future.set_result(version)


def _settle_waits(waits):
    for wait in waits:
        _settle_wait(wait)


_runtimes = {}


def _runtime(loop):
    runtime = _runtimes.get(loop)
    if runtime is None:
        for old in [old for old in _runtimes if old.is_closed()]:
            del _runtimes[old]
        runtime = _runtimes[loop] = _Runtime(loop)
    return runtime


def _forget_runtimes():
    # A forked child has none of its parent's threads: its loops start anew.
    _runtimes.clear()


os.register_at_fork(after_in_child=_forget_runtimes)


def _start_thread(target, name):
    thread = threading.Thread(target=target, name=name, daemon=True)
    thread.start()
    return thread


def _deadline(timeout):
    """The monotonic time a call's timeout ends at; a timeout the handle
    would refuse is passed on for it to refuse."""
    if timeout is None:
        return None
    if isinstance(timeout, numbers.Real) and not isinstance(timeout, bool) and 0 <= timeout < math.inf:
        return time.monotonic() + timeout
    return _Refused(timeout)


class _Refused:
    __slots__ = ("timeout",)

    def __init__(self, timeout):
        self.timeout = timeout


def _time_left(deadline):
    if deadline is None:
        return None
    if isinstance(deadline, _Refused):
        return deadline.timeout
    return max(0.0, deadline - time.monotonic())
