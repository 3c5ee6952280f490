"""zelvane for asyncio: slots, arrays, queues, calls and serving as coroutines.

The names mirror the synchronous ones. Nothing here blocks the event loop:
the loop posts a call itself when the record has room for it and collects
its reply once one watcher thread, which sleeps on every call and slot
waited on at once, says it moved; a call that finds no room waits for one
of the loop's own to end, or runs on one of a few helper threads that the
loop shares when none is in flight. A slot's lock is tried on the loop and
tried again later while it is busy, so that a lock taken here is held by
the loop's thread, which lets it go. Cancelling an awaited call gives it up
as a timeout would. A queue's put and get are tried on the loop, and a task
that must wait is woken to try again by the watcher, which counts as one of
the queue's sleepers: an item is taken, or not, within one step of the loop.
"""
import asyncio
import math
import queue
import time
import weakref

import zelvane
from zelvane._aio_common import _LARGE, _any_large, _now, _opened_within
from zelvane._aio_functions import AsyncFunctionHandle, open_function, serve
from zelvane._aio_runtime import _runtime

__all__ = ["AsyncArrayHandle", "AsyncFunctionHandle", "AsyncMemoryHandle", "AsyncQueueHandle", "connect", "open_array",
           "open_function", "open_memory", "open_queue", "serve"]

# A busy slot lock is tried again after these pauses, doubling.
_FIRST_RETRY = 0.0005
_LAST_RETRY = 0.02


async def _retry_later(delay):
    await asyncio.sleep(delay)
    return min(delay * 2, _LAST_RETRY)


# --- slots


class _OpenedAtOnce:
    """A handle whose opening is awaited: one that waits for nothing gives
    its handle at once, awaited or not."""

    __slots__ = ()

    def __await__(self):
        """The handle itself."""
        return self
        yield  # a generator that ends at once


async def _close_off_loop(sync, size):
    """Closes the synchronous handle `sync`; one whose memory (size() bytes)
    is large lets it go on a helper thread, as unmapping it takes
    milliseconds that the loop would wait for."""
    if not sync.closed and size() >= _LARGE:
        await asyncio.get_running_loop().run_in_executor(None, sync.close)
    else:
        sync.close()


class AsyncMemoryHandle(_OpenedAtOnce):
    """A value slot opened by aio.open_memory(name): the methods of
    zelvane.MemoryHandle as coroutines. Within `async with h.lock():` the
    task that holds it reads and writes through h without locking again,
    while other tasks, threads and processes wait."""

    __slots__ = ("_sync",)

    def __init__(self, sync, /):
        self._sync = sync

    @property
    def name(self):
        """The slot's name."""
        return self._sync.name

    @property
    def closed(self):
        """Whether close() was called."""
        return self._sync.closed

    @property
    def version(self):
        """The count of completed writes to the slot, as MemoryHandle.version."""
        return self._sync.version

    @property
    def token(self):
        """Inside this task's lock() block of the handle: the fencing token of
        the block's grant of the lock, as MemoryHandle.token gives it."""
        try:
            holder = _runtime(asyncio.get_running_loop()).lock_owners.get(self.name)
        except RuntimeError:  # no running loop: no task holds anything
            holder = None
        if holder is None or holder[0]() is not asyncio.current_task() or holder[1] is not self:
            raise RuntimeError(f"The lock of shared memory address '{self.name}' is not held through this handle by "
                               "this task: its token is known inside a lock() block only.")
        return self._sync.token

    async def read(self):
        """The stored value, as MemoryHandle.read(): None for a slot never
        written, zelvane.InterruptedWriteError for one whose writer died
        during the copy. Waits (without blocking the loop) while another
        task, thread or process holds the slot's lock."""
        # A slot that has held a large value is read on a helper thread.
        if self._sync._capacity >= _LARGE:
            return await self._on_helper(self._sync.read)
        return await self._locked(self._sync.read)

    async def write(self, value, /):
        """Stores value, as MemoryHandle.write(); returns True."""
        if _any_large((value,)):
            return await self._on_helper(self._sync.write, value)
        return await self._locked(self._sync.write, value)

    async def _on_helper(self, op, *args):
        """Runs op(*args), a large copy, on a helper thread: under a lock of
        its own, or through the one the current task holds, which the loop's
        thread lends it meanwhile. While another task of the loop holds the
        lock, it waits for it to let go."""
        loop = asyncio.get_running_loop()
        runtime = _runtime(loop)
        delay = _FIRST_RETRY
        while True:
            holder = runtime.lock_owners.get(self.name)
            if holder is None:
                return await _finished_on_helper(loop, op, *args)
            if holder[0]() is asyncio.current_task():
                if holder[1] is not self:  # held through another handle: refused as a thread's would be
                    raise RuntimeError(f"The lock of shared memory address '{self.name}' is already held by this "
                                       "thread.")
                return await _through_lent_hold(self._sync, loop, op, args)
            delay = await _retry_later(delay)

    async def update(self, func, /, *, timeout=None):
        """Reads the value, calls func with it (None for a slot never
        written) and writes what it returns, under the slot's lock; returns
        that. timeout (seconds) bounds the wait for the lock (TimeoutError).
        func runs on the loop's thread and must not await."""
        return await self._locked(self._sync.update, func, timeout=timeout)

    async def wait(self, since=None, timeout=None):
        """Waits until the slot's version differs from since (None: the one
        this handle last read, wrote or waited for, or was opened at) and
        returns the new version; TimeoutError when timeout (seconds) passes
        first."""
        return await _wait_for_change(self._sync, since, timeout)

    def lock(self, timeout=None):
        """The slot's lock, for `async with`: the task inside holds it, and
        its reads and writes through this handle do not lock again.
        timeout (seconds) bounds the wait for it (TimeoutError)."""
        self._sync.lock(timeout)  # refuses what lock() refuses, now
        return _AsyncSlotLock(self, timeout)

    def close(self):
        """Lets go of the slot (which stays); later uses raise ValueError."""
        self._sync.close()

    async def __aenter__(self):
        self._sync.__enter__()  # raises if closed
        return self

    async def __aexit__(self, exc_type, exc_value, traceback):
        await self.aclose()
        return False

    async def aclose(self):
        """Closes the handle, as close() does, letting go of a large slot's
        memory on a helper thread meanwhile: the Redis client's handles let
        go of a temporary slot at once this way."""
        await _close_off_loop(self._sync, lambda: self._sync._capacity)

    def __repr__(self):
        return f"<zelvane.aio.AsyncMemoryHandle name={self.name!r}{' closed' if self.closed else ''}>"

    async def _locked(self, op, *args, timeout=None):
        """Runs op(*args) on the loop under the slot's lock: the one this
        task holds already, or one taken for it, waiting (without holding
        the loop) while it is busy. `timeout` bounds that wait."""
        self._sync.lock(timeout)  # refuses what lock() refuses, taking nothing
        runtime = _runtime(asyncio.get_running_loop())
        deadline = None if timeout is None else time.monotonic() + timeout
        delay = _FIRST_RETRY
        while True:
            holder = runtime.lock_owners.get(self.name)
            if holder is not None and holder[0]() is asyncio.current_task():
                # Held through this handle: no second lock, as in a thread's
                # lock() block; through another: refused as a thread's would be.
                return op(*args)
            entered = self._try_lock(deadline) if holder is None else _check_deadline(self.name, deadline)
            if entered is not None:
                with entered:
                    return op(*args)
            delay = await _retry_later(delay)

    def _try_lock(self, deadline):
        """The slot's lock, taken, or None while it is busy and time is left;
        the lock's TimeoutError once the deadline passed."""
        lock = self._sync.lock(timeout=0)
        try:
            lock.__enter__()
        except TimeoutError:
            if deadline is not None and time.monotonic() >= deadline:
                raise
            return None
        return _Entered(lock)


async def _wait_for_change(sync, since, timeout):
    """wait() of a synchronous slot or array handle, with the loop's watcher
    sleeping on the version in its place."""
    sync.lock(timeout)  # refuses a timeout as wait() would, taking nothing
    version = sync.version
    while True:
        try:
            return sync.wait(since, timeout=0)
        except TimeoutError:
            pass
        # The version the wait compares with is the one that held when it
        # timed out, once two looks agree on it.
        now = sync.version
        if now == version:
            break
        version = now
    if timeout == 0:
        return sync.wait(version, timeout=0)
    return await _runtime(asyncio.get_running_loop()).wait(sync, version, timeout)


async def _through_lent_hold(sync, loop, op, args):
    """op(*args) on a helper thread through the slot lock that this loop's
    thread holds for the current task. The task does not go on before the
    helper is done, even when cancelled: its lock() block must not end (and
    let the lock go) under the copy."""
    sync._lend(True)
    try:
        return await _finished_on_helper(loop, _as_borrower, sync, op, args)
    finally:
        sync._lend(False)


async def _finished_on_helper(loop, function, *args):
    """function(*args) on a helper thread, awaited to its end even when the
    task is cancelled (which is raised then): what it did, a write say,
    lands before the task goes on, never after the task's next step."""
    done = loop.run_in_executor(None, function, *args)
    cancelled = False
    while not done.done():
        try:
            await asyncio.wait((done,))
        except asyncio.CancelledError:
            cancelled = True
    if cancelled:
        raise asyncio.CancelledError
    return done.result()


def _as_borrower(sync, op, args):
    """op(*args) on the helper that claims the loan of the slot's lock: no
    other thread reaches the slot through it."""
    sync._borrow(True)
    try:
        return op(*args)
    finally:
        sync._borrow(False)


def _check_deadline(name, deadline):
    """For a lock that another task of the loop holds: None while time is
    left, then the TimeoutError a thread waiting for it would get."""
    if deadline is not None and time.monotonic() >= deadline:
        raise TimeoutError(f"Timed out waiting for the lock of shared memory address '{name}'.")
    return None


class _Entered:
    """A taken lock() context, let go of on leaving a with block."""

    __slots__ = ("lock",)

    def __init__(self, lock):
        self.lock = lock

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.lock.__exit__(*exc_info)
        return False


class _AsyncSlotLock:
    """What AsyncMemoryHandle.lock() returns: `async with` holds the slot's
    lock, on the loop's thread, for the task that entered it."""

    __slots__ = ("_handle", "_timeout", "_entered", "_owners")

    def __init__(self, handle, timeout):
        self._handle = handle
        self._timeout = timeout
        self._entered = None
        self._owners = None

    async def __aenter__(self):
        handle = self._handle
        runtime = _runtime(asyncio.get_running_loop())
        task = asyncio.current_task()
        holder = runtime.lock_owners.get(handle.name)
        if holder is not None and holder[0]() is task:
            raise RuntimeError(f"The lock of shared memory address '{handle.name}' is already held by this thread.")
        deadline = None if self._timeout is None else time.monotonic() + self._timeout
        delay = _FIRST_RETRY
        while True:
            holder = runtime.lock_owners.get(handle.name)
            entered = handle._try_lock(deadline) if holder is None else _check_deadline(handle.name, deadline)
            if entered is not None:
                break
            delay = await _retry_later(delay)
        # Taken and recorded in one step of the loop: a cancellation lands
        # before it (nothing held) or in the block (__aexit__ lets go).
        self._entered = entered
        self._owners = runtime.lock_owners
        # Held weakly: a task left pending in a closed loop is freed, and
        # its block's exit lets the lock go.
        runtime.lock_owners[handle.name] = (weakref.ref(task), handle)
        return handle

    async def __aexit__(self, exc_type, exc_value, traceback):
        # No loop is asked for: a task whose loop was closed leaves the
        # block when its coroutine is closed, and must let go all the same.
        entered, self._entered = self._entered, None
        if entered is not None:
            self._owners.pop(self._handle.name, None)
            self._owners = None
            entered.__exit__(exc_type, exc_value, traceback)
        return False


def open_memory(name, create=True, *, wait=None, temporary=False):
    """Opens the slot name (creating it unless create is False) as an
    AsyncMemoryHandle, to await: with create=False, wait= seconds waits on
    the loop for the name to appear, as zelvane.open_memory waits; a
    temporary slot lives while a process holds it (as zelvane.open_memory)."""
    try:
        return AsyncMemoryHandle(zelvane.open_memory(name, create, wait=_now(wait), temporary=temporary))
    except TimeoutError:
        return _opened_within(
            lambda: AsyncMemoryHandle(zelvane.open_memory(name, False, wait=0, temporary=temporary)), wait)


# --- arrays


class AsyncArrayHandle(_OpenedAtOnce):
    """A shared array opened by aio.open_array(): the attributes of
    zelvane.ArrayHandle (its views through `handle`, or the handle itself
    from Python 3.12), wait() as a coroutine and lock() for async with.
    Tasks of one loop hold the array shared together; an exclusive holder
    among them excludes the others, as threads would."""

    __slots__ = ("_sync",)

    def __init__(self, sync, /):
        self._sync = sync

    handle = property(lambda self: self._sync, doc="The synchronous ArrayHandle, for views of the memory.")
    name = property(lambda self: self._sync.name, doc="The array's name.")
    shape = property(lambda self: self._sync.shape, doc="The array's shape, a tuple of ints.")
    format = property(lambda self: self._sync.format, doc="The element's struct format character.")
    dtype = property(lambda self: self._sync.dtype, doc="The element's numpy dtype (needs numpy).")
    nbytes = property(lambda self: self._sync.nbytes, doc="The size of the array's data in bytes.")
    closed = property(lambda self: self._sync.closed, doc="Whether close() was called.")
    version = property(lambda self: self._sync.version,
                       doc="The count of the array's changes: lock() blocks left and notify() calls.")

    async def wait(self, since=None, timeout=None):
        """Waits until the array's version differs from since (None: the
        one this handle last saw) and returns the new version; TimeoutError
        when timeout (seconds) passes first."""
        self._sync.lock(timeout)  # refuses a timeout as wait() would, taking nothing
        hold = _runtime(asyncio.get_running_loop()).shared_holds.get(("array", self.name))
        if timeout != 0 and hold is not None and asyncio.current_task() in hold.tasks:
            # As a thread's wait in its shared lock() block: no writer could
            # make the change before the block ends.
            raise RuntimeError(f"Waiting for a change of shared memory address '{self.name}' while this thread "
                               "holds its lock would never end.")
        return await _wait_for_change(self._sync, since, timeout)

    def notify(self):
        """Marks a change made without lock(): wakes every waiter."""
        self._sync.notify()

    def lock(self, timeout=None, *, shared=False):
        """The array's lock, for `async with`: exclusive, or shared with
        other readers when shared is True. timeout (seconds) bounds the
        wait for it (TimeoutError)."""
        self._sync.lock(timeout, shared=shared)  # refuses what lock() refuses, now
        return _AsyncArrayLock(self, timeout, shared)

    def close(self):
        """Lets go of the array (which stays); later uses raise ValueError."""
        self._sync.close()

    def __buffer__(self, flags, /):
        return memoryview(self._sync)

    async def __aenter__(self):
        self._sync.__enter__()  # raises if closed
        return self

    async def __aexit__(self, exc_type, exc_value, traceback):
        await _close_off_loop(self._sync, lambda: self._sync.nbytes)
        return False

    def __repr__(self):
        return f"<zelvane.aio.AsyncArrayHandle name={self.name!r}{' closed' if self.closed else ''}>"


class _SharedHold:
    """The loop thread's shared hold of one array, and the tasks in it (held
    weakly, as lock owners are)."""

    __slots__ = ("lock", "tasks")

    def __init__(self, lock):
        self.lock = lock
        self.tasks = weakref.WeakSet()


class _AsyncArrayLock:
    """What AsyncArrayHandle.lock() returns: `async with` holds the array,
    on the loop's thread, for the task that entered it. The loop's tasks
    share one shared hold of the array; the lock is tried on the loop and
    tried again later while it is busy."""

    __slots__ = ("_handle", "_timeout", "_shared", "_task", "_runtime")

    def __init__(self, handle, timeout, shared):
        self._handle = handle
        self._timeout = timeout
        self._shared = shared
        self._task = None
        self._runtime = None

    async def __aenter__(self):
        handle = self._handle
        runtime = _runtime(asyncio.get_running_loop())
        task = asyncio.current_task()
        key = ("array", handle.name)
        owner = runtime.lock_owners.get(key)
        hold = runtime.shared_holds.get(key)
        if (owner is not None and owner[0]() is task) or (hold is not None and task in hold.tasks):
            raise RuntimeError(f"The lock of shared memory address '{handle.name}' is already held by this thread.")
        self._refuse_a_second_reader()
        deadline = None if self._timeout is None else time.monotonic() + self._timeout
        if not self._shared:
            runtime.array_writers[key] = runtime.array_writers.get(key, 0) + 1
        try:
            hold = await self._wait_for_turn(runtime, key, deadline)
        finally:
            if not self._shared:
                runtime.array_writers[key] -= 1
                if not runtime.array_writers[key]:
                    del runtime.array_writers[key]
        if self._shared and self._task is not None and hold is not runtime.shared_holds.get(key):
            hold.lock.__exit__(None, None, None)  # taken afresh, and not this task's to keep
        self._refuse_a_second_reader()
        # Taken and recorded in one step of the loop: a cancellation lands
        # before it (nothing held) or in the block (__aexit__ lets go).
        if self._shared:
            runtime.shared_holds[key] = hold
            hold.tasks.add(task)
        else:
            runtime.lock_owners[key] = (weakref.ref(task), hold)
        self._task = weakref.ref(task)
        self._runtime = runtime
        return handle

    def _refuse_a_second_reader(self):
        """A shared lock records one task in its block: another task that
        enters it meanwhile is refused, as another thread would be."""
        if self._shared and self._task is not None:
            raise RuntimeError(f"The lock of shared memory address '{self._handle.name}' is held by another thread.")

    async def _wait_for_turn(self, runtime, key, deadline):
        """The hold this task enters: the loop's shared hold, joined, or
        the array's lock, taken. A reader neither joins nor takes while a
        writer waits, in this loop or elsewhere: writers are not starved by
        a stream of readers."""
        sync = self._handle._sync
        delay = _FIRST_RETRY
        while True:
            owner = runtime.lock_owners.get(key)
            hold = runtime.shared_holds.get(key)
            writer_waits = self._shared and (key in runtime.array_writers or
                                             (hold is not None and sync._writer_waits()))
            if owner is None and hold is not None and self._shared and not writer_waits:
                return hold  # joins the loop's shared hold
            if owner is None and hold is None and not writer_waits:
                entered = self._try_lock(deadline)
                if entered is not None:
                    return entered
            else:
                _check_deadline(self._handle.name, deadline)
            delay = await _retry_later(delay)

    def _try_lock(self, deadline):
        """The array's lock, taken, or None while it is busy and time is
        left; the lock's TimeoutError once the deadline passed."""
        lock = self._handle._sync.lock(timeout=0, shared=self._shared)
        try:
            lock.__enter__()
        except TimeoutError:
            if deadline is not None and time.monotonic() >= deadline:
                raise
            return None
        return _SharedHold(lock) if self._shared else _Entered(lock)

    async def __aexit__(self, exc_type, exc_value, traceback):
        # No loop is asked for: a task whose loop was closed leaves the
        # block when its coroutine is closed, and must let go all the same.
        task, self._task = self._task, None
        if task is None:
            return False
        runtime, self._runtime = self._runtime, None
        key = ("array", self._handle.name)
        if not self._shared:
            _, entered = runtime.lock_owners.pop(key)
            entered.__exit__(exc_type, exc_value, traceback)
            return False
        hold = runtime.shared_holds[key]
        if task() is not None:
            hold.tasks.discard(task())
        if not hold.tasks:
            del runtime.shared_holds[key]
            hold.lock.__exit__(exc_type, exc_value, traceback)
        return False


def open_array(name, shape=None, format=None, *, wait=None):
    """Opens the shared array name as an AsyncArrayHandle, to await: wait=
    seconds waits on the loop for an array to appear, as zelvane.open_array
    waits."""
    try:
        return AsyncArrayHandle(zelvane.open_array(name, shape, format, wait=_now(wait)))
    except TimeoutError:
        return _opened_within(lambda: AsyncArrayHandle(zelvane.open_array(name, shape, format, wait=0)), wait)


# --- queues


class AsyncQueueHandle(_OpenedAtOnce):
    """A named queue opened by aio.open_queue(): the methods of
    zelvane.QueueHandle, with put, get and get_reliably awaited. A task that
    waits holds no thread; cancelled, it took no item, or returns with none
    taken: an item is taken in the same step of the loop that hands it over."""

    __slots__ = ("_sync",)

    def __init__(self, sync, /):
        self._sync = sync

    handle = property(lambda self: self._sync, doc="The synchronous QueueHandle.")
    name = property(lambda self: self._sync.name, doc="The queue's name.")
    maxsize = property(lambda self: self._sync.maxsize, doc="The most items the queue holds (0: no bound).")
    closed = property(lambda self: self._sync.closed, doc="Whether close() was called.")

    async def put(self, item, block=True, timeout=None):
        """Puts item at the end of the queue, waiting for room while it is
        full (block=False, or timeout seconds passing, raises queue.Full).
        A large item (1 MiB or more) is copied on a helper thread and put
        in on the loop: a task cancelled during the copy has put nothing."""
        seconds = _checked_timeout(timeout)
        large = _any_large((item,))
        try:
            return await self._put_large(item) if large else self._sync.put_nowait(item)
        except queue.Full:
            if not block or seconds == 0:
                raise
        return await _retry_on_queue(self._sync, True, lambda: self._put_now(item, large), seconds, queue.Full,
                                     pause=large)

    async def _put_now(self, item, large):
        return await self._put_large(item) if large else self._sync.put_nowait(item)

    async def _put_large(self, item):
        """Stores the item on a helper thread, and puts it in on the loop."""
        loop = asyncio.get_running_loop()
        staged = await _helped(lambda: self._sync._stage(item), lambda staged: staged and _withdraw(loop, staged))
        if staged is not None:  # None: small enough to be put at once
            staged.publish()

    async def get(self, block=True, timeout=None):
        """Takes and returns the first item, waiting for one while the queue
        is empty (block=False, or timeout seconds passing, raises queue.Empty).
        A large item is decoded on a helper thread while it stays reserved,
        and taken on the loop: a task cancelled meanwhile took nothing."""
        seconds = _checked_timeout(timeout)
        try:
            return self._sync.get_nowait() if self._sync._first_size() < _LARGE else await self._get_large()
        except queue.Empty:
            if not block or seconds == 0:
                raise
        return await _retry_on_queue(self._sync, False, self._get_now, seconds, queue.Empty)

    async def _get_now(self):
        """Takes the first item now; a large one through a reservation."""
        return self._sync.get_nowait() if self._sync._first_size() < _LARGE else await self._get_large()

    async def _get_large(self):
        reservation = await _reserved_on_helper(self._sync)
        item = reservation.__enter__()
        _take(reservation)
        return item

    def get_reliably(self, timeout=None):
        """For `async with`: reserves the first item (waiting up to timeout
        seconds for one, else queue.Empty) and hands it over; the item is
        taken when the block ends without an exception, and put back first
        in the queue when it raises or the process dies."""
        return _AsyncReservation(self._sync, _checked_timeout(timeout))

    def put_nowait(self, item, /):
        """Puts item without waiting; queue.Full when there is no room."""
        return self._sync.put_nowait(item)

    def get_nowait(self):
        """Takes the first item without waiting; queue.Empty when there is none."""
        return self._sync.get_nowait()

    def qsize(self):
        """The number of items in the queue now."""
        return self._sync.qsize()

    def empty(self):
        """Whether the queue holds no item now."""
        return self._sync.empty()

    def full(self):
        """Whether the queue is at maxsize now."""
        return self._sync.full()

    def close(self):
        """Lets go of the queue (which stays); later uses raise ValueError."""
        self._sync.close()

    async def __aenter__(self):
        self._sync.__enter__()  # raises if closed
        return self

    async def __aexit__(self, exc_type, exc_value, traceback):
        self.close()
        return False

    def __reduce__(self):
        opener, args = self._sync.__reduce__()
        return _reopened_async, (opener, args)

    def __repr__(self):
        return (f"<zelvane.aio.AsyncQueueHandle name={self.name!r} maxsize={self.maxsize}"
                f"{' closed' if self.closed else ''}>")


def _reopened_async(opener, args):
    return AsyncQueueHandle(opener(*args))


def _checked_timeout(timeout):
    """A timeout in seconds as the synchronous handle takes it, or None;
    refused as it refuses one."""
    if timeout is None:
        return None
    kind = type(timeout)
    if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")) or isinstance(timeout, (str, bytes)):
        raise TypeError(f"timeout must be a number of seconds or None, not {kind.__name__}")
    seconds = float(timeout)
    if not (seconds >= 0.0 and math.isfinite(seconds)):
        raise ValueError("timeout must be a non-negative, finite number of seconds or None")
    return seconds


async def _retry_on_queue(sync, put, attempt, seconds, refusal, pause=False):
    """Waits for room (`put`) or an item in the queue of `sync` and awaits
    `attempt()` when the watcher says it may succeed, until it does or
    `seconds` pass (then `refusal`, queue.Full or queue.Empty). The try
    comes in the step of the loop that the task resumes in, so that a
    cancellation lands before it or after its outcome is the task's (a
    large item's copy on a helper thread undoes itself when it lands
    during it). With `pause`, a refused try is followed by a growing pause:
    a large item also needs one of the queue's claims of space, which the
    watcher does not see, so room it sees may not be room for the item."""
    runtime = _runtime(asyncio.get_running_loop())
    deadline = None if seconds is None else time.monotonic() + seconds
    again = False
    delay = _FIRST_RETRY
    while True:
        wait = runtime.queue_wait(sync, put, deadline, again)
        try:
            await wait.future
            return await attempt()
        except refusal:
            if deadline is not None and time.monotonic() >= deadline:
                raise
        finally:
            runtime.end_queue_wait(wait)
        if pause:
            delay = await _retry_later(delay if deadline is None else max(0.0, min(delay, deadline - time.monotonic())))
        again = True


async def _helped(function, undo):
    """What function() gives, run on a helper thread: a large copy that the
    loop's thread would wait for. A task cancelled while it runs leaves its
    result to undo(result), called on the loop when it comes."""
    helped = asyncio.get_running_loop().run_in_executor(None, function)
    try:
        return await asyncio.shield(helped)
    except asyncio.CancelledError:
        helped.add_done_callback(lambda done: done.cancelled() or done.exception() or undo(done.result()))
        raise


def _take(reservation):
    """Takes a reserved item on the loop; a large one's pages go back on a
    helper thread."""
    pages = reservation._take_keeping_pages()
    if pages is not None:
        _withdraw(asyncio.get_running_loop(), pages)


def _withdraw(loop, staged):
    """Gives a staged item's memory back on a helper thread, or here once
    the loop has shut its helpers down (it is ending)."""
    try:
        loop.run_in_executor(None, staged.withdraw)
    except RuntimeError:
        staged.withdraw()


async def _reserved(sync):
    """A reservation of the first item of the queue of `sync` (queue.Empty
    when there is none); a large one is made on a helper thread."""
    if sync._first_size() < _LARGE:
        return sync.get_reliably(timeout=0)
    return await _reserved_on_helper(sync)


async def _reserved_on_helper(sync):
    """A reservation of the first item, decoded on a helper thread; it goes
    back to the head of the queue if the task is cancelled meanwhile."""
    return await _helped(lambda: sync.get_reliably(timeout=0),
                         lambda reservation: reservation.__exit__(asyncio.CancelledError, None, None))


class _AsyncReservation:
    """What AsyncQueueHandle.get_reliably() returns: `async with` holds the
    item taken until the block ends; done when it ends normally, back at the
    head of the queue when it raises (a cancellation too) or the process
    dies."""

    __slots__ = ("_sync", "_timeout", "_reservation")

    def __init__(self, sync, timeout):
        self._sync = sync
        self._timeout = timeout
        self._reservation = None

    async def __aenter__(self):
        if self._reservation is not None:
            raise RuntimeError("The reservation is in use already.")
        sync = self._sync
        try:
            reservation = await _reserved(sync)
        except queue.Empty:
            if self._timeout == 0:
                raise
            reservation = await _retry_on_queue(sync, False, lambda: _reserved(sync), self._timeout, queue.Empty)
        # Entered in the step that took it: the block, or __aexit__, owns it now.
        item = reservation.__enter__()
        self._reservation = reservation
        return item

    async def __aexit__(self, exc_type, exc_value, traceback):
        reservation, self._reservation = self._reservation, None
        if reservation is None:
            return False
        if exc_type is not None:
            return reservation.__exit__(exc_type, exc_value, traceback)
        _take(reservation)
        return False


def open_queue(name, maxsize=0, *, create=True, temporary=False):
    """Opens the named queue as an AsyncQueueHandle; as zelvane.open_queue,
    which does not wait."""
    return AsyncQueueHandle(zelvane.open_queue(name, maxsize, create=create, temporary=temporary))


def connect(url, /, *, namespace="zelvane", replicas=0):
    """The asyncio client of zelvane's Redis back end (see zelvane.connect),
    returned at once; its first operation connects, and awaiting it
    connects at once."""
    from zelvane import _remote_aio

    return _remote_aio.connect(url, namespace=namespace, replicas=replicas)


# The classes of the Redis client, for annotations: found on first use, so
# that importing this module imports no redis-py.
_REMOTE_CLASSES = ("AsyncRemote", "AsyncRemoteMemoryHandle", "AsyncRemoteFunctionHandle", "AsyncRemoteQueueHandle")


def __getattr__(name):
    if name in _REMOTE_CLASSES:
        from zelvane import _remote_aio

        return getattr(_remote_aio, name)
    raise AttributeError(f"module 'zelvane.aio' has no attribute '{name}'")

