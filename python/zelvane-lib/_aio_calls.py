"""The calls of one event loop (zelvane.aio's machinery): posted by the loop
when the record has room and collected when the watcher says they moved,
waiting for room behind the loop's own calls, or run on helper threads."""
import asyncio
import queue
import time

import zelvane
from zelvane._aio_common import (_BATCH, _BATCH_SECONDS, _CALL_HELPERS, _COLLECTING, _DELIVERED_AT_ONCE,
                                 _EAGER_HELPERS, _IDLE_SECONDS, _REPLY_WAIT, _SLOW_CALL, _TIME_UP_AGAIN,
                                 _WATCH_SLICE, _settle, _start_thread, _time_left)

_SHARED = object()  # several tasks called in one turn of the loop

# What became of a call (zelvane._AwaitedCall.state): waiting on the loop
# for room, posted by the loop (and its large result collected by a helper
# thread), or queued for, running on and over with a helper thread.
_WAITING, _POSTED, _QUEUED, _DROPPED, _RUNNING, _OVER, _DECODING = range(7)


class _Calls:
    """The part of a loop's _Runtime that runs calls (see _Runtime): the
    turns its native base (zelvane._CallBook: call, _post, _look, _end,
    _forget, _out_of_flight, _wait_for_room, _end_collected) leaves to it."""

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

    def _start_timer(self, call):
        if call.timeout is not None and call.timer is None:
            call.timer = self.loop.call_later(_time_left(call.timeout), self._time_up, call)

    def _cancel_timer(self, call):
        if call.timer is not None:
            call.timer.cancel()
            call.timer = None

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

    def _post_waiting(self, handle, most=1, sync=None):
        """Posts calls of `handle` waiting for room while there is, `most` of
        them (one for a call of its own that ended: room for one more; all
        that fit when None), the first through `sync` when given. A call
        that ends at once (its arguments refused, say) takes no room."""
        if sync is not None and handle.closed:
            handle._give_back(sync)  # closes it: the calls meet the closed handle
            sync = None
        waiting = self.waiting.get(handle)
        while waiting and most != 0:
            call = waiting[0]
            if not self._post(call, sync):
                if handle not in self.in_flight:
                    self._hand_waiting_to_helpers(handle)
                return
            sync = None
            waiting.popleft()
            if most is not None and call.state == _POSTED:
                most -= 1
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
        elif call.state == _POSTED and not self._look(call, 0.0, True):
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
            ended = self._end_collected(until)
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
                self._look(call, 0.0, True)
        for handle in list(self.waiting):
            self._post_waiting(handle, None)
        zelvane._wake_servers()  # whom the looks and posts concern

    def _ring_soon(self):
        """Has the watcher look at the posted calls again, once for all that
        this turn of the loop posts. It is started at once: a loop closed
        before the ring leaves it the calls to give up."""
        if not self.ring_due:
            self.ring_due = True
            with self.mutex:
                self._start_watcher()
            self.loop.call_soon(self._ring)

    def _ring(self):
        self.ring_due = False
        if self.posted and not self.collect_due and self._end_collected(time.monotonic() + _COLLECTING):
            # Replies came while the loop ran the callbacks before this one:
            # collecting on at once spares the watcher's round trip.
            with self.mutex:
                self.collect_due = True
            zelvane._wake_servers()  # for the calls posted in place of those that ended
            self.loop.call_soon(self._collect, True)
            return
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
            if call.ended is not None:  # cancelled when its caller was cancelled again
                _settle(call.ended, True, None)
