"""What the awaits of one event loop share (zelvane.aio's machinery): the
calls the loop posts itself and collects when the watcher thread says they
moved, the helper threads for calls that find no room, and the waits on
slots and queues, all settled on the loop in bounded batches."""
import os
import queue
import threading
import time

import zelvane
from zelvane._aio_calls import _Calls, _DROPPED
from zelvane._aio_common import _BATCH_SECONDS, _WATCH_SLICE, _start_thread
from zelvane._aio_waits import _Waits, _settle_waits


class _Runtime(zelvane._CallBook, _Calls, _Waits):
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
        # ("array", name) -> how many of the loop's tasks wait to hold it exclusively
        self.array_writers = {}
        # PendingCall -> zelvane._AwaitedCall, the calls the loop posted;
        # changed on the loop only, and copied by the watcher in one step
        # under the GIL.
        self.posted = {}
        self.in_flight = {}  # handle -> how many of its calls are posted
        # From the watcher's word that posted calls moved until the loop's
        # look at them all is over.
        self.collect_due = False
        self.waiting = {}  # handle -> deque of its calls waiting for room
        self.ring_due = False
        self.caller_this_turn = None  # the task that called in this turn of the loop, or _SHARED

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
                ending = not (self.waits or self.running or self.servers or batching or self.posted or
                              self.queue_waits)
                if ending:
                    self.watcher = None
                else:
                    bell = zelvane._bell()
                    handles, versions, changed = self._look_at_waits()
                    queues = self._watched_queues()
                    # While a look of the loop's is due, it looks at them all
                    # and rings when it leaves some posted: watching them
                    # meanwhile only wakes this thread to wait for the GIL.
                    calls = [] if self.collect_due else list(self.posted)
                    posted = bool(self.posted)
            if wake:
                self._wake_loop()
            if ending:  # after the wake: the batch just announced is still the loop's to deliver
                return
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
