"""Calls and serving for asyncio (the part of zelvane.aio that calls hosted
functions and hosts them): AsyncFunctionHandle, open_function and serve."""
import asyncio
import concurrent.futures
import os
import threading

import zelvane
from zelvane._aio_common import _WATCH_SLICE, _deadline, _is_seconds, _opened_within, _post, _start_thread
from zelvane._aio_runtime import _runtime, _runtimes

# How often servers asked to leave are asked again (one may not serve yet).
_LEAVE_POLL = 0.05

_CLOSED_FUNCTION = "I/O operation on a closed function handle."


# --- calls


class AsyncFunctionHandle:
    """A hosted function opened by `await aio.open_function(name)`:
    `await f(*args, timeout=None, **kwargs)` has the outcomes of the
    synchronous handle's call, and cancelling it gives the call up as its
    timeout would (the record stays usable, a late reply is dropped)."""

    __slots__ = ("_name", "_spares", "_syncs", "_closed", "_first")

    def __init__(self, sync, /):
        self._name = sync.name
        self._spares = [sync]
        self._syncs = {}
        self._closed = False
        self._first = sync  # asked for the count of servers

    @property
    def name(self):
        """The function's name."""
        return self._name

    @property
    def servers(self):
        """The number of live servers of the function."""
        if self._closed:
            raise ValueError(_CLOSED_FUNCTION)
        return self._first.servers

    @property
    def closed(self):
        """Whether close() was called."""
        return self._closed

    async def __call__(self, *args, timeout=None, **kwargs):
        if self._closed:
            raise ValueError(_CLOSED_FUNCTION)
        loop = asyncio.get_running_loop()
        runtime = _runtimes.get(loop) or _runtime(loop)
        call = runtime.call(self, args, kwargs, None if timeout is None else _deadline(timeout))
        future = call.future
        if future is None:
            ok, value = call.outcome
            if ok:
                return value
            raise value
        try:
            return await future
        except asyncio.CancelledError:
            # Once the cancellation is seen, the call is over, as after a
            # timeout: withdrawn, or its reply to be dropped.
            ended = runtime.give_up(call)
            if ended is not None:
                await ended
            raise

    def _sync_handle(self):
        """The synchronous handle of the calling helper thread, its own so
        that giving its call up touches no other. Keyed by process too: a
        forked child's threads may get the ids of its parent's. No lock is
        taken (a fork could leave it held): each step is one under the GIL."""
        key = (os.getpid(), threading.get_ident())
        sync = self._syncs.get(key)
        if sync is None:
            try:
                sync = self._spares.pop()
            except IndexError:
                sync = zelvane.open_function(self._name)
            self._syncs[key] = sync
        if self._closed:
            self.close()
            raise ValueError(_CLOSED_FUNCTION)
        return sync

    def _spare_handle(self):
        """A synchronous handle of this one that no call uses, for a call
        the loop posts (each keeps its own buffer while the call is posted);
        None once closed."""
        if self._closed:
            return None
        try:
            return self._spares.pop()
        except IndexError:
            return zelvane.open_function(self._name)

    def _give_back(self, sync):
        if sync is None:
            return
        if self._closed:
            sync.close()
        else:
            self._spares.append(sync)

    def close(self):
        """Lets go of the function; later calls raise ValueError."""
        self._closed = True
        syncs = [sync for sync in (self._syncs.pop(key, None) for key in list(self._syncs)) if sync]
        while self._spares:
            syncs.append(self._spares.pop())
        for sync in syncs:
            sync.close()

    async def __aenter__(self):
        if self._closed:
            raise ValueError(_CLOSED_FUNCTION)
        return self

    async def __aexit__(self, exc_type, exc_value, traceback):
        self.close()
        return False

    def __repr__(self):
        return f"<zelvane.aio.AsyncFunctionHandle name={self._name!r} {'closed' if self._closed else 'open'}>"


async def open_function(name, /, *, wait=None, servers=None):
    """Opens the function served under name and returns an
    AsyncFunctionHandle (a coroutine: await it). With wait, waits on the
    loop up to that many seconds for it to be served (TimeoutError when it
    is not); with servers, until that many live servers serve it (up to
    wait seconds when given)."""
    if not _is_seconds(wait) and (wait is not None or servers is None):
        # Nothing to wait for, or arguments that the module refuses.
        return AsyncFunctionHandle(zelvane.open_function(name, wait=wait, servers=servers))
    return await _opened_within(
        lambda: AsyncFunctionHandle(zelvane.open_function(name, wait=0, servers=servers)), wait)


# --- serving


async def serve(name, func, /, *, concurrency=16):
    """Serves func under name as `concurrency` servers of its pool, running
    each call on this loop (an async def is awaited there, up to
    `concurrency` at once). Returns None once remove_function(name) stops the
    pool; cancelled, these servers leave the pool and the others go on."""
    check_concurrency(concurrency)
    loop = asyncio.get_running_loop()
    pool = _Servers(loop, name, func)
    for _ in range(concurrency):
        pool.start()
    try:
        done, _ = await asyncio.wait(pool.ends, return_when=asyncio.FIRST_EXCEPTION)
    except asyncio.CancelledError:
        await pool.leave()
        raise
    failed = [end.exception() for end in done if end.exception() is not None]
    if failed:
        await pool.leave()
        raise failed[0]
    return None


def check_concurrency(concurrency):
    if isinstance(concurrency, bool) or not isinstance(concurrency, int):
        raise TypeError(f"concurrency must be an int, not {type(concurrency).__name__}")
    if concurrency < 1:
        raise ValueError("concurrency must be at least 1")


class _Servers:
    """The threads that serve one aio.serve() call, each a synchronous
    server of the pool whose calls run on the loop."""

    def __init__(self, loop, name, func):
        self.loop = loop
        self.name = name
        self.func = func
        self.ends = []
        self.idents = set()
        self.leaving = False

    def start(self):
        end = self.loop.create_future()
        self.ends.append(end)
        _start_thread(lambda: self._serve(end), "zelvane-aio-serve")

    def _serve(self, end):
        ident = threading.get_ident()
        runtime = _runtime(self.loop)
        with runtime.mutex:
            self.idents.add(ident)
            runtime.servers.add(ident)
            runtime._start_watcher()
        try:
            if not self.leaving:
                zelvane.serve(self.name, self._on_loop)
            ok, value = True, None
        except BaseException as error:  # the serve() task's to raise
            ok, value = False, error
        # Forgotten before the thread ends, so that its id, which a later
        # thread may get, is never asked to leave.
        with runtime.mutex:
            self.idents.discard(ident)
            runtime.servers.discard(ident)
        _post(self.loop, end, ok, value)

    def _on_loop(self, *args, **kwargs):
        """Runs one call on the loop and waits for its result; a loop closed
        meanwhile (which will never run it) fails it, and this server leaves."""
        ident = threading.get_ident()
        try:
            running = asyncio.run_coroutine_threadsafe(self._call(args, kwargs), self.loop)
        except RuntimeError:
            zelvane._leave_serving(ident)
            raise
        while not concurrent.futures.wait([running], timeout=_WATCH_SLICE).done:
            if self.loop.is_closed():
                zelvane._leave_serving(ident)
                raise RuntimeError("The event loop that serves this call was closed.")
        return running.result()

    async def _call(self, args, kwargs):
        result = self.func(*args, **kwargs)
        if asyncio.iscoroutine(result) or isinstance(result, asyncio.Future):
            result = await result
        return result

    async def leave(self):
        """Has every server of this call leave the pool, and waits until
        they did (a server answering a call leaves once it has replied)."""
        self.leaving = True
        runtime = _runtime(self.loop)
        while True:
            with runtime.mutex:
                for ident in self.idents:
                    zelvane._leave_serving(ident)
            pending = [end for end in self.ends if not end.done()]
            if not pending:
                for end in self.ends:
                    end.exception()  # seen: the first failure is the one raised
                return
            await asyncio.wait(pending, timeout=_LEAVE_POLL)


# Public as zelvane.aio's own.
for _public in (AsyncFunctionHandle, open_function, serve):
    _public.__module__ = "zelvane.aio"
del _public
