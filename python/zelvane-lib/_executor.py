"""zelvane.Executor: concurrent.futures over a served function.

Calls are posted the way an event loop posts them (FunctionHandle._start),
not by a thread each: one driver thread per executor posts what has room,
sleeps on the words of every call in flight at once (zelvane._wait_any, the
watcher's wait) and settles each future as its reply comes. The driver ends
when nothing is queued or in flight, and starts again with the next call.
"""
import collections
import concurrent.futures
import os
import threading
import time
import weakref

import zelvane

__all__ = ["Executor"]

# How often the calls in flight are looked at as a waiting caller looks
# between slices: a dead server, a call's time limit.
_SLICE = 0.2
# When the record has no room and no call of ours is in flight to make some,
# posting is tried again after these pauses, doubling.
_FIRST_RETRY = 0.0005
_LAST_RETRY = 0.02


class _Work:
    __slots__ = ("future", "args", "kwargs", "sync", "pending", "deadline")

    def __init__(self, future, args, kwargs):
        self.future = future
        self.args = args
        self.kwargs = kwargs
        self.sync = None
        self.pending = None
        timeout = kwargs.get("timeout")
        self.deadline = time.monotonic() + timeout if isinstance(timeout, (int, float)) and timeout >= 0 else None


class Executor(concurrent.futures.Executor):
    """Runs calls of the function served under `name` as futures:
    submit(*args, **kwargs) returns a concurrent.futures.Future at once,
    map(*iterables) gives the results in order. At most `max_in_flight`
    calls are posted at a time (None: as many as the servers have room
    for); the rest wait in this process, where cancel() withdraws them. A
    posted call runs to its end."""

    def __init__(self, name, *, max_in_flight=None):
        check_arguments(name, max_in_flight)
        self._spares = [zelvane.open_function(name)]  # a missing name fails here
        self._begin(name, max_in_flight)

    def _begin(self, name, max_in_flight):
        _executors.add(self)
        self._name = name
        self._most = max_in_flight
        # Whether handles are kept between bursts of calls (an executor of
        # FunctionHandle.submit, which nobody shuts down, lets them go).
        self._keeps_spares = True
        self._start_afresh()

    def _start_afresh(self):
        self._mutex = threading.Lock()
        self._idle = threading.Condition(self._mutex)
        self._queued = collections.deque()
        self._posted = {}  # PendingCall -> _Work; the driver's alone
        self._timed = 0  # the posted calls with a time limit; the driver's alone
        self._driver = None
        self._asleep = False
        self._shutdown = False

    @property
    def name(self):
        """The name of the function the calls go to."""
        return self._name

    def __repr__(self):
        state = "shut down" if self._shutdown else "open"
        return f"<zelvane.Executor name={self._name!r} {state}>"

    def call(self, *args, **kwargs):
        """Calls the function through the executor and waits for its
        result. Given as the function to loop.run_in_executor(executor,
        executor.call, *args), it stands for the executor's own function."""
        return self.submit(*args, **kwargs).result()

    def submit(*args, **kwargs):
        """A Future of the call handle(*args, **kwargs) of the served
        function (timeout= bounds the call, as for a handle)."""
        self, *args = args
        if args and callable(args[0]) and _stands_for(self, args[0]):
            del args[0]
        elif args and callable(args[0]):
            raise TypeError(f"Executor.submit() takes the arguments of the function served under '{self._name}', "
                            "not a function to run; pass executor.call to loop.run_in_executor().")
        work = self._work(tuple(args), kwargs)
        with self._mutex:
            if self._shutdown:
                raise RuntimeError("cannot schedule new futures after shutdown")
            # A driver asleep with calls queued waits for room, which one
            # more call does not make: it is woken for the first alone.
            ring = self._asleep and not self._queued
            self._queued.append(work)
            if ring:
                self._asleep = False
            if self._driver is None:
                self._driver = threading.Thread(target=self._drive, name=f"zelvane-executor-{self._name}",
                                                daemon=True)
                self._driver.start()
        if ring:
            self._ring()
        return work.future

    def _work(self, args, kwargs):
        return _Work(concurrent.futures.Future(), args, kwargs)

    @staticmethod
    def _ring():
        """Wakes the driver from its sleep."""
        zelvane._ring()

    def map(self, *iterables, timeout=None):
        """The results of the calls with arguments from `iterables`, in
        their order; TimeoutError when one is not there `timeout` seconds
        after map() was called."""
        return super().map(self.call, *iterables, timeout=timeout)

    def shutdown(self, wait=True, *, cancel_futures=False):
        """As concurrent.futures.Executor.shutdown: no more submissions; with wait, returns once every
        posted and waiting call has ended; cancel_futures cancels the calls not yet posted."""
        with self._mutex:
            self._shutdown = True
        if cancel_futures:
            self._cancel_waiting()
        with self._mutex:
            if wait:
                while self._driver is not None and self._driver is not threading.current_thread():
                    self._idle.wait()
            spares, self._spares = self._spares, []
        for sync in spares:
            sync.close()

    def _cancel_waiting(self):
        """Cancels the calls not posted (the driver passes them by and tells
        their waiters); a call posted here is running."""
        for work in list(self._queued):
            work.future.cancel()

    def _after_fork(self):
        """In a forked child: the parent's calls and driver are not here."""
        shutdown, spares = self._shutdown, self._spares
        self._start_afresh()
        self._shutdown, self._spares = shutdown, spares

    # --- the driver thread

    def _drive(self):
        delay = _FIRST_RETRY
        checked = time.monotonic()
        moved = ()
        while True:
            room = self._post_queued()
            with self._mutex:
                if not self._posted and not self._queued:
                    if not self._keeps_spares:
                        self._close_spares()
                    self._driver = None
                    self._idle.notify_all()
                    return
                if room and self._queued:
                    continue  # submitted while posting
                self._asleep = True
                bell = zelvane._bell()
            try:
                if self._posted:
                    delay = _FIRST_RETRY
                    # The calls whose word moved: those that may have ended.
                    moved = zelvane._wait_any((), (), bell, self._sleep_for(checked), list(self._posted))
                else:  # the servers busy with the calls of others
                    zelvane._wait_any((), (), bell, delay)
                    delay = min(delay * 2, _LAST_RETRY)
                    moved = ()
            finally:
                self._asleep = False
            checks = time.monotonic() - checked >= _SLICE or self._deadline_passed()
            if checks:
                self._collect(list(self._posted), True)
                checked = time.monotonic()
            elif self._collect(moved, False):
                # A call that failed may have lost its server: the others
                # are looked at with checks at once.
                self._collect(list(self._posted), True)
                checked = time.monotonic()

    def _sleep_for(self, checked):
        wake = checked + _SLICE
        if self._timed:
            wake = min([wake, *(work.deadline for work in self._posted.values() if work.deadline is not None)])
        return max(0.0, wake - time.monotonic())

    def _deadline_passed(self):
        if not self._timed:
            return False
        now = time.monotonic()
        return any(work.deadline is not None and work.deadline <= now for work in self._posted.values())

    def _post_queued(self):
        """Posts queued calls while there is room; whether room was left."""
        while self._queued:
            if self._most is not None and len(self._posted) >= self._most:
                return False
            work = self._queued[0]
            if work.future.cancelled():
                self._queued.popleft()
                work.future.set_running_or_notify_cancel()  # as_completed() and wait() see it then
                continue
            if not self._post(work):
                return False
            self._queued.popleft()
        return True

    def _post(self, work):
        """Posts `work`: False when the record has no room now; a call
        that ends at once settles its future."""
        sync = None
        try:
            sync = self._spares.pop() if self._spares else zelvane.open_function(self._name)
            pending = sync._start(*work.args, **work.kwargs)
        except BaseException as error:  # the caller's to see, whatever it is
            self._give_back(sync)
            self._settle(work, False, error)
            return True
        if pending is None:
            self._give_back(sync)
            return False
        if not _is_pending(pending):
            self._give_back(sync)
            self._settle(work, True, pending)
            return True
        if not work.future.set_running_or_notify_cancel():
            pending.give_up()  # cancelled while it was posted: withdrawn
            self._give_back(sync)
            return True
        work.sync, work.pending = sync, pending
        self._posted[pending] = work
        self._timed += work.deadline is not None
        return True

    def _collect(self, calls, checks):
        """Looks at `calls` (PendingCall objects, posted or ended) and
        settles those that ended; whether one ended with an exception."""
        failed = False
        posted = self._posted
        for pending in calls:
            work = posted.get(pending)
            if work is None:
                continue
            try:
                result = pending.poll(0.0, checks)
            except BaseException as error:  # the caller's to see, whatever it is
                self._end(work, False, error)
                failed = True
                continue
            if result is not pending:
                self._end(work, True, result)
        return failed

    def _end(self, work, ok, value):
        del self._posted[work.pending]
        self._timed -= work.deadline is not None
        self._give_back(work.sync)
        work.sync = work.pending = None
        if ok:
            work.future.set_result(value)
        else:
            work.future.set_exception(value)

    def _settle(self, work, ok, value):
        """Settles a call that ended as it was posted."""
        if not work.future.set_running_or_notify_cancel():
            return
        if ok:
            work.future.set_result(value)
        else:
            work.future.set_exception(value)

    def _close_spares(self):
        spares, self._spares = self._spares, []
        for sync in spares:
            sync.close()

    def _give_back(self, sync):
        if sync is None:
            return
        if self._shutdown:
            sync.close()
        else:
            self._spares.append(sync)


_executors = weakref.WeakSet()


def _executors_after_fork():
    for executor in list(_executors):
        executor._after_fork()


os.register_at_fork(after_in_child=_executors_after_fork)


def check_arguments(name, max_in_flight):
    if max_in_flight is not None:
        if isinstance(max_in_flight, bool) or not isinstance(max_in_flight, int):
            raise TypeError(f"max_in_flight must be an int or None, not {type(max_in_flight).__name__}")
        if max_in_flight < 1:
            raise ValueError("max_in_flight must be at least 1")
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")


def _is_pending(outcome):
    """Whether _start() posted the call (a PendingCall) rather than ending it."""
    kind = type(outcome)
    return kind.__module__ == "zelvane" and kind.__qualname__ == "PendingCall"


def _stands_for(executor, func):
    """Whether `func` is executor.call, which stands for its function."""
    return getattr(func, "__self__", None) is executor and getattr(func, "__func__", None) is Executor.call


_shared = {}
_shared_guard = threading.Lock()


def submit_through(handle, args, kwargs):
    """FunctionHandle.submit: a call through the executor this process keeps
    for the handle's name."""
    return shared_executor(_shared, handle, lambda: Executor(handle.name)).submit(*args, **kwargs)


def shared_executor(executors, handle, make):
    """The executor in `executors` (this process's, for the handle's name),
    made by make() on first use; it lets its resources go between bursts."""
    if handle.closed:
        raise ValueError("I/O operation on a closed function handle.")
    key = (os.getpid(), handle.name)
    with _shared_guard:
        executor = executors.get(key)
        if executor is None:
            executor = executors[key] = make()
            executor._keeps_spares = False
    return executor
