"""The waits of one event loop on slots and queues (zelvane.aio's
machinery): the watcher sleeps on them and the loop settles those that
can go on."""
import collections
import time

import zelvane
from zelvane._aio_common import _settle

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


class _Waits:
    """The part of a loop's _Runtime that keeps waits (see _Runtime)."""

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
