"""The handles of queues on Redis, for the blocking mirror (Remote) and the
asyncio one (AsyncRemote): the operations of _remote_queue_core, driven."""
import asyncio

from zelvane._remote_queue_core import QueueHandleCore, ReservationCore, queue_timeout
from zelvane._remote_terms import deadline_of


class RemoteQueueHandle(QueueHandleCore):
    """A named queue on a Redis server, made or opened by
    Remote.open_queue(name, maxsize), with the methods of queue.Queue."""

    _kind = "remote queue handle"

    def __new__(cls):
        raise TypeError("cannot create 'zelvane.RemoteQueueHandle' instances; use Remote.open_queue()")

    def __enter__(self):
        self._check_open()
        return self

    def __exit__(self, exc_type, exc_value, trace, /):
        self.close()
        return False

    def close(self):
        """Lets go of the queue; it stays with its items (a temporary queue's
        last holder removes it)."""
        if not self._closed:
            self._remote._drive(self._close())

    def put(self, item, block=True, timeout=None):
        """Puts item at the tail; queue.Full when no room came in time."""
        return self._remote._drive(self._put(item, block, timeout), timeout)

    def put_nowait(self, item, /):
        """Puts item if there is room at once; otherwise raises queue.Full."""
        return self._remote._drive(self._put(item, False, None))

    def get(self, block=True, timeout=None):
        """Removes and returns the head item; queue.Empty when none came in time."""
        return self._remote._drive(self._get(block, timeout), timeout)

    def get_nowait(self):
        """Returns the head item if there is one at once; otherwise raises queue.Empty."""
        return self._remote._drive(self._get(False, None))

    def get_reliably(self, timeout=None):
        """Takes the head item and holds it until the with block ends: done
        when it ends normally, back at the head of the queue when it raises
        or this process dies first (once its lease runs out)."""
        self._check_open()
        deadline = deadline_of(queue_timeout(timeout))
        return self._remote._drive(self._reserve(deadline, RemoteQueueReservation), timeout)

    def qsize(self):
        """The items waiting (reserved ones not counted)."""
        return self._remote._drive(self._qsize())

    def empty(self):
        """Whether no item waits in the queue."""
        return self._remote._drive(self._empty())

    def full(self):
        """Whether the queue holds maxsize items."""
        return self._remote._drive(self._full())


class RemoteQueueReservation(ReservationCore):
    """An item taken by RemoteQueueHandle.get_reliably(), for a with block."""

    def __enter__(self):
        return self._entered()

    def __exit__(self, exc_type, exc_value, trace, /):
        self._handle._remote._drive(self._end(exc_type is None))
        return False

    def __del__(self):
        # Abandoned without its block ending: the item goes back.
        if not self._ended:
            try:
                self._handle._remote._drive(self._end(False))
            except Exception:
                pass


class AsyncRemoteQueueHandle(QueueHandleCore):
    """A named queue on a Redis server, opened by AsyncRemote.open_queue(),
    with queue.Queue's methods as coroutines; a cancelled get leaves no item
    half taken."""

    _kind = "async remote queue handle"

    def __new__(cls):
        raise TypeError("cannot create 'AsyncRemoteQueueHandle' instances; use AsyncRemote.open_queue()")

    async def __aenter__(self):
        self._check_open()
        return self

    async def __aexit__(self, exc_type, exc_value, trace, /):
        await self.close()
        return False

    async def close(self):
        """Lets go of the queue; it stays with its items (a temporary queue's last holder removes it)."""
        if not self._closed:
            await asyncio.shield(self._remote._drive(self._close()))

    async def put(self, item, block=True, timeout=None):
        """Puts item at the tail, awaiting room; queue.Full when none came in time (or at once with
        block false)."""
        return await self._remote._drive(self._put(item, block, timeout), timeout)

    async def put_nowait(self, item, /):
        """Puts item if there is room at once; otherwise raises queue.Full."""
        return await self._remote._drive(self._put(item, False, None))

    async def get(self, block=True, timeout=None):
        """Removes and returns the head item, awaiting one; queue.Empty when none came in time (or at
        once with block false)."""
        return await self._remote._drive(self._get(block, timeout), timeout)

    async def get_nowait(self):
        """Returns the head item if there is one at once; otherwise raises queue.Empty."""
        return await self._remote._drive(self._get(False, None))

    def get_reliably(self, timeout=None):
        """`async with q.get_reliably() as item:` takes the head item and
        holds it until the block ends (see RemoteQueueHandle.get_reliably)."""
        self._check_open()
        return AsyncReliableGet(self, deadline_of(queue_timeout(timeout)))

    async def qsize(self):
        """The items waiting (reserved ones not counted)."""
        return await self._remote._drive(self._qsize())

    async def empty(self):
        """Whether no item waits in the queue."""
        return await self._remote._drive(self._empty())

    async def full(self):
        """Whether the queue holds maxsize items."""
        return await self._remote._drive(self._full())


class AsyncRemoteQueueReservation(ReservationCore):
    """The item an AsyncReliableGet holds."""


class AsyncReliableGet:
    """An item taken for an async with block: when it is entered."""

    def __init__(self, handle, deadline):
        self._handle = handle
        self._deadline = deadline
        self._held = None

    async def __aenter__(self):
        drive = self._handle._remote._drive
        self._held = await drive(self._handle._reserve(self._deadline, AsyncRemoteQueueReservation))
        return self._held._entered()

    async def __aexit__(self, exc_type, exc_value, trace, /):
        await asyncio.shield(self._handle._remote._drive(self._held._end(exc_type is None)))
        return False


__all__ = ["RemoteQueueHandle", "RemoteQueueReservation", "AsyncRemoteQueueHandle"]
