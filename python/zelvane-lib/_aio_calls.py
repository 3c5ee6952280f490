"""The calls of one event loop (zelvane.aio's machinery): posted by the loop
when the record has room and collected when the watcher says they moved,
waiting for room behind the loop's own calls, or run on helper threads."""
import asyncio
import collections
import queue
import time

import zelvane
from zelvane._aio_common import (_BATCH, _BATCH_SECONDS, _CALL_HELPERS, _COLLECTING, _DELIVERED_AT_ONCE,
                                 _EAGER_HELPERS, _IDLE_SECONDS, _REPLY_WAIT, _SLOW_CALL, _SPIN, _TIME_UP_AGAIN,
                                 _WATCH_SLICE, _NEVER_LARGE, _any_large, _settle, _start_thread, _time_left,
                                 _deadline)

_SHARED = object()  # several tasks called in one turn of the loop

# What became of a call: waiting on the loop for room, posted by the loop
# (and its large result collected by a helper thread), or queued for,
# running on and over with a helper thread.
_WAITING, _POSTED, _QUEUED, _DROPPED, _RUNNING, _OVER, _DECODING = range(7)


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


class _Calls:
    """The part of a loop's _Runtime that runs calls (see _Runtime)."""


    def call(self, handle, args, kwargs, timeout):
        """A call of `handle`: posted by the loop when there is room (its
        outcome in call.outcome when it ended at once), else waiting for
        room or queued for a helper; call.future tells the end."""
        call = _Call(handle, args, kwargs, None if timeout is None else _deadline(timeout))
        if not _NEVER_LARGE.issuperset(map(type, args)) and _any_large(args) or (
                kwargs and _any_large(kwargs.values())):
            call.future = self.loop.create_future()
            self._queue_for_helper(call)  # encoded and copied there
            return call
        if handle in self.waiting:
            # Behind the calls of its handle that found no room, in turn.
            call.future = self.loop.create_future()
            self._wait_for_room(call)
            return call
        spin = not self.posted and self._sole_caller_this_turn()
        posted = self._post(call, spin)
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

    def _post(self, call, spin=False, sync=None, in_place=False):
        """On the loop: posts the call, through `sync` when given (a spare
        synchronous handle of the call's handle); False when there is no
        room. A call that ends at once, or within `spin`, leaves its outcome
        in call.outcome, or settles its future. A call posted `in_place` of
        one of its handle's that ended takes its count in flight."""
        if sync is None:
            try:
                sync = call.handle._spare_handle()
            except BaseException as error:  # the name gone, for example: the caller's to see
                call.outcome = (False, error)
        pending = None
        if sync is not None:
            # The PendingCall, None when there is no room now, or the outcome
            # (ended at once, here with its exception) in call.outcome.
            try:
                if call.timeout is None and not call.kwargs:
                    pending = sync._start(*call.args)
                else:
                    pending = sync._start(*call.args, timeout=_time_left(call.timeout), **call.kwargs)
            except BaseException as error:  # the caller's to see, whatever it is
                call.outcome = (False, error)
        if pending is None:
            call.handle._give_back(sync)
            if call.outcome is not None:
                call.state = _OVER
                self._cancel_timer(call)
                self._settle_outcome(call)
            return call.outcome is not None
        call.state, call.pending, call.sync = _POSTED, pending, sync
        self.posted[pending] = call
        if not in_place:
            self.in_flight[call.handle] = self.in_flight.get(call.handle, 0) + 1
        if not (spin and self._look(call, spin=_SPIN)):
            if call.timeout is not None:
                self._start_timer(call)
            if not (self.ring_due or self.collect_due):  # a collect due rings once it is over
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
            ok, result = True, pending.poll(spin, checks, True)
        except BaseException as error:  # the caller's to see, whatever it is
            ok, result = False, error
        if result is pending:
            if pending.ready:
                self._collect_on_helper(call)
            return False
        del self.posted[pending]
        self._end(call, ok, result)
        return True

    def _collect_on_helper(self, call):
        """On the loop: a posted call ended with a large result, which a
        helper thread decodes; the loop ends the call once it has."""
        self.posted.pop(call.pending, None)
        call.state = _DECODING
        self._cancel_timer(call)

        def collected(done):
            try:
                ok, value = True, done.result()
            except BaseException as error:  # the caller's to see, whatever it is
                ok, value = False, error
            self._end(call, ok, value)

        self.loop.run_in_executor(None, call.pending.poll).add_done_callback(collected)

    def _end(self, call, ok, value):
        """On the loop: a posted call, out of self.posted, ended as `ok`,
        `value`; the first call of its handle waiting for room is posted in
        its place, through the synchronous handle it leaves."""
        handle = call.handle
        sync = self._forget(call)
        future = call.future
        if future is None:
            call.outcome = (ok, value)
        elif not future.done():
            if ok:
                future.set_result(value)
            else:
                future.set_exception(value)
        waiting = self.waiting.get(handle)
        if waiting is None:
            self._out_of_flight(handle)
            handle._give_back(sync)
        else:
            self._post_next(handle, waiting, sync)

    def _settle_outcome(self, call):
        if call.future is not None:
            _settle(call.future, *call.outcome)

    def _forget(self, call):
        """On the loop: a posted call is over (still counted in flight); the
        synchronous handle it used, free again, for the caller to give
        back."""
        call.state, call.pending = _OVER, None
        if call.timer is not None:
            self._cancel_timer(call)
        sync, call.sync = call.sync, None
        return sync

    def _out_of_flight(self, handle):
        in_flight = self.in_flight[handle] - 1
        if in_flight:
            self.in_flight[handle] = in_flight
        else:
            del self.in_flight[handle]

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

    def _post_next(self, handle, waiting, sync):
        """Posts the first of the calls `waiting` for room in `handle` in
        place of a call of its own that ended, through `sync`, the
        synchronous handle that one left."""
        if handle._closed:
            self._out_of_flight(handle)
            self._post_waiting(handle, 1, sync)  # the calls meet the closed handle
            return
        call = waiting[0]
        if not self._post(call, False, sync, True):
            self._out_of_flight(handle)
            if handle not in self.in_flight:
                self._hand_waiting_to_helpers(handle)
            return
        waiting.popleft()
        if not waiting:
            del self.waiting[handle]
        if call.state != _POSTED:
            self._out_of_flight(handle)  # it ended at once: no call took the place

    def _post_waiting(self, handle, most=1, sync=None):
        """Posts calls of `handle` waiting for room while there is, `most` of
        them (one for a call of its own that ended: room for one more; all
        that fit when None), the first through `sync` when given."""
        if sync is not None and handle.closed:
            handle._give_back(sync)  # closes it: the calls meet the closed handle
            sync = None
        waiting = self.waiting.get(handle)
        while waiting and most != 0:
            call = waiting[0]
            if not self._post(call, False, sync):
                if handle not in self.in_flight:
                    self._hand_waiting_to_helpers(handle)
                return
            sync = None
            waiting.popleft()
            most = None if most is None else most - 1
        if not waiting:
            self.waiting.pop(handle, None)
        if sync is not None:
            handle._give_back(sync)

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
        zelvane._wake_servers()  # whom its look, or a call posted in its place, concerns

    def _collect(self, flowing=False):
        """On the loop: collects the posted calls that ended, looking at
        those whose word moved and at the others too, whose replies may have
        come since the watcher woke: a look costs far less than a wake-up of
        the watcher and the loop. While looks end calls, the loop looks
        again in a callback of its own once the tasks they woke ran: the
        servers answer the calls posted in place of those meanwhile, and a
        hand-over from the watcher serves many calls. Once replies that
        were `flowing` stop, it waits a little for the next before it
        leaves the rest to the watcher. Its time is bounded however many
        calls a pool holds."""
        until = time.monotonic() + _COLLECTING
        while True:
            ended = zelvane._collect(self.posted, until)
            for call, ok, value in ended:
                if ok is None:
                    self._collect_on_helper(call)
                else:
                    self._end(call, ok, value)
            if ended and self.posted:
                zelvane._wake_servers()  # for the calls posted in place of those that ended
                self.loop.call_soon(self._collect, True)  # still due: the watcher leaves them alone
                return
            if ended or not (flowing and self.posted):
                break
            self._wait_for_replies()
            flowing = False
        zelvane._wake_servers()
        with self.mutex:
            self.collect_due = False
        if self.posted:
            self._ring_soon()  # the watcher watches the rest

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
        zelvane._wake_servers()  # whom the looks and posts concern

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
            self.posted.pop(call.pending, None)
            sync = self._forget(call)
            self._out_of_flight(call.handle)
            self._post_waiting(call.handle, 1, sync)
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
