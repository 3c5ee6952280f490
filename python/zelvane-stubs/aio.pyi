"""zelvane for asyncio: slots, arrays, queues, calls and serving as coroutines."""

from collections.abc import Awaitable, Callable, Generator
from contextlib import AbstractAsyncContextManager
from types import TracebackType
from typing import Any, Protocol, TypeVar, Union, final

from typing_extensions import Literal, Self

from zelvane import ArrayHandle, Encodable, FunctionHandle, MemoryHandle, QueueHandle

__all__ = ["AsyncArrayHandle", "AsyncFunctionHandle", "AsyncMemoryHandle", "AsyncQueueHandle", "connect", "open_array",
           "open_function", "open_memory", "open_queue", "serve"]

_Written = TypeVar("_Written", bound=Encodable)

class AsyncMemoryHandle:
    """A value slot opened by aio.open_memory(name): MemoryHandle's methods
    as coroutines."""

    def __init__(self, sync: MemoryHandle, /) -> None: ...
    @property
    def name(self) -> str:
        """The slot's name."""
    @property
    def closed(self) -> bool:
        """Whether close() was called."""
    @property
    def version(self) -> int:
        """The count of completed writes to the slot, as MemoryHandle.version."""
    @property
    def token(self) -> int:
        """Inside this task's lock() block of the handle: the fencing token of
        the block's grant; RuntimeError outside such a block."""
    async def read(self) -> Any:
        """The stored value, as MemoryHandle.read(): None for a slot never written,
        zelvane.InterruptedWriteError for one whose writer died during the copy. Waits
        (without blocking the loop) while another task, thread or process holds the slot's
        lock."""
    async def write(self, value: Encodable, /) -> Literal[True]:
        """Stores value, as MemoryHandle.write(); returns True."""
    async def update(self, func: Callable[[Any], _Written], /, *, timeout: float | None = None) -> _Written:
        """Reads the value, calls func with it (None for a slot never written) and writes what it
        returns, under the slot's lock; returns that. timeout (seconds) bounds the wait for
        the lock (TimeoutError). func runs on the loop's thread and must not await."""
    async def wait(self, since: int | None = None, timeout: float | None = None) -> int:
        """Waits until the slot's version differs from since (None: the one this handle last
        read, wrote or waited for) and returns the new version; TimeoutError when timeout
        (seconds) passes first."""
    def lock(self, timeout: float | None = None) -> AbstractAsyncContextManager[Self]:
        """Holds the slot's lock for an async with block, for the task that entered it."""
    def close(self) -> None:
        """Lets go of the slot (which stays); later uses raise ValueError."""
    async def aclose(self) -> None:
        """Closes the handle, as close() does, letting go of a large slot's
        memory on a helper thread meanwhile."""
    def __await__(self) -> Generator[Any, None, Self]:
        """The handle itself: opened without waiting, it comes awaited or not."""
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...

class AsyncArrayHandle:
    """A shared array opened by aio.open_array(name, shape, format):
    ArrayHandle's attributes, wait() as a coroutine, lock() for async with."""

    def __init__(self, sync: ArrayHandle, /) -> None: ...
    @property
    def handle(self) -> ArrayHandle:
        """The synchronous handle, for views of the memory."""
    @property
    def name(self) -> str:
        """The array's name."""
    @property
    def shape(self) -> tuple[int, ...]:
        """The array's shape, a tuple of ints."""
    @property
    def format(self) -> str:
        """The element's struct format character."""
    @property
    def dtype(self) -> Any:
        """The element's numpy dtype (needs numpy)."""
    @property
    def nbytes(self) -> int:
        """The size of the array's data in bytes."""
    @property
    def closed(self) -> bool:
        """Whether close() was called."""
    @property
    def version(self) -> int:
        """The count of the array's changes: lock() blocks left and notify() calls."""
    async def wait(self, since: int | None = None, timeout: float | None = None) -> int:
        """Waits until the array's version differs from since (None: the one this handle last
        saw) and returns the new version; TimeoutError when timeout (seconds) passes first."""
    def notify(self) -> None:
        """Marks a change made without lock(): wakes every waiter."""
    def lock(self, timeout: float | None = None, *, shared: bool = False) -> AbstractAsyncContextManager[Self]:
        """Holds the array for an async with block, for the task that entered
        it; the loop's tasks hold it shared together."""
    def close(self) -> None:
        """Lets go of the array (which stays); later uses raise ValueError."""
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __await__(self) -> Generator[Any, None, Self]:
        """The handle itself: opened without waiting, it comes awaited or not."""
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...

class _HasChar(Protocol):
    @property
    def char(self) -> str: ...

# As zelvane.open_array takes it: a format, numpy's name of one, a numpy.dtype or scalar type.
async def open_array(
    name: str,
    shape: int | tuple[int, ...] | None = None,
    format: Union[str, _HasChar, type, None] = None,
    *,
    wait: float | None = None,
) -> AsyncArrayHandle:
    """Awaited, as every opening is; wait= seconds waits for the array to appear."""

class AsyncQueueHandle:
    """A named queue opened by aio.open_queue(): the methods of
    zelvane.QueueHandle, with put, get and get_reliably awaited; a
    cancelled put or get took no item, or returns having taken it."""

    def __init__(self, sync: QueueHandle, /) -> None: ...
    @property
    def handle(self) -> QueueHandle:
        """The synchronous QueueHandle."""
    @property
    def name(self) -> str:
        """The queue's name."""
    @property
    def maxsize(self) -> int:
        """The most items the queue holds (0: no bound)."""
    @property
    def closed(self) -> bool:
        """Whether close() was called."""
    async def put(self, item: Encodable, block: bool = True, timeout: float | None = None) -> None:
        """Puts item at the tail; queue.Full when no room came in time."""
    async def get(self, block: bool = True, timeout: float | None = None) -> Any:
        """Removes and returns the head item; queue.Empty when none came in time."""
    def get_reliably(self, timeout: float | None = None) -> AbstractAsyncContextManager[Any]:
        """`async with q.get_reliably() as item:` holds the head item until the
        block ends; it goes back to the head when the block raises."""
    def put_nowait(self, item: Encodable, /) -> None:
        """Puts item without waiting; queue.Full when there is no room."""
    def get_nowait(self) -> Any:
        """Takes the first item without waiting; queue.Empty when there is none."""
    def qsize(self) -> int:
        """The number of items in the queue now."""
    def empty(self) -> bool:
        """Whether the queue holds no item now."""
    def full(self) -> bool:
        """Whether the queue is at maxsize now."""
    def close(self) -> None:
        """Lets go of the queue (which stays); later uses raise ValueError."""
    def __await__(self) -> Generator[Any, None, Self]:
        """The handle itself: opened without waiting, it comes awaited or not."""
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...
    def __reduce__(self) -> tuple[Callable[..., AsyncQueueHandle], tuple[Any, ...]]: ...

async def open_queue(
    name: str, maxsize: int = 0, *, create: bool = True, temporary: bool = False
) -> AsyncQueueHandle:
    """Opens the named queue as an AsyncQueueHandle; as zelvane.open_queue, which does not wait."""

class AsyncFunctionHandle:
    """A hosted function opened by `await aio.open_function(name)`; cancelling
    an awaited call gives it up as its timeout would."""

    def __init__(self, sync: FunctionHandle, /) -> None: ...
    @property
    def name(self) -> str:
        """The function's name."""
    @property
    def closed(self) -> bool:
        """Whether close() was called."""
    @property
    def servers(self) -> int:
        """The number of live servers of the function."""
    async def __call__(self, *args: Encodable, timeout: float | None = None, **kwargs: Encodable) -> Any: ...
    def close(self) -> None:
        """Lets go of the function; later calls raise ValueError."""
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...

async def open_memory(
    name: str, create: bool = True, *, wait: float | None = None, temporary: bool = False
) -> AsyncMemoryHandle:
    """Awaited, as every opening is; with create=False, wait= seconds waits
    for the slot to appear."""
async def open_function(
    name: str, /, *, wait: float | None = None, servers: int | None = None
) -> AsyncFunctionHandle:
    """Opens the function served under name; with wait, waits up to that many seconds for it to
    be served (TimeoutError when it is not); with servers, until that many live servers serve
    it (up to wait seconds when given)."""
async def serve(
    name: str, func: Callable[..., Union[Encodable, Awaitable[Encodable]]], /, *, concurrency: int = 16
) -> None:
    """Serves func under name from this loop until remove_function(name)."""
def connect(url: str, /, *, namespace: str = "zelvane", replicas: int = 0) -> AsyncRemote:
    """The asyncio client of the Redis back end, returned at once: its first
    operation connects; awaiting it connects at once."""

@final
class AsyncRemoteMemoryHandle:
    """A slot on a Redis server, opened by `await AsyncRemote.open_memory(name)`."""

    @property
    def name(self) -> str:
        """The name the handle was opened with."""
    @property
    def closed(self) -> bool:
        """True once the handle is closed."""
    @property
    def version(self) -> int:
        """The version when this handle last saw the slot: a property does no I/O."""
    @property
    def token(self) -> int:
        """Inside this task's lock() block of the handle: the fencing token of
        the block's grant, learnt with the lock; RuntimeError outside such a
        block."""
    async def read(self) -> Any:
        """The stored value, as MemoryHandle.read(), awaited."""
    async def write(self, value: Encodable, /) -> Literal[True]:
        """Stores value in the slot and returns True, awaited."""
    async def update(
        self, func: Callable[[Any], Union[_Written, Awaitable[_Written]]], /, *, timeout: float | None = None
    ) -> _Written:
        """Replaces the value with func(value) (awaited when it gives an awaitable) under the
        slot's lock; returns it."""
    async def wait(self, since: int | None = None, timeout: float | None = None) -> int:
        """Waits until the slot's version differs from since (None: the one this handle last saw)
        and returns the new version; TimeoutError after timeout seconds."""
    def lock(self, timeout: float | None = None) -> AbstractAsyncContextManager[Self]:
        """The slot's lock for `async with`; timeout (seconds) bounds the wait for it
        (TimeoutError)."""
    def close(self) -> None:
        """Closes the handle; a temporary slot's hold lapses after its lease."""
    async def aclose(self) -> None:
        """Closes the handle; the last holder of a temporary slot removes it."""
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

@final
class AsyncRemoteQueueHandle:
    """A named queue on a Redis server, opened by `await AsyncRemote.open_queue(name)`,
    with queue.Queue's methods as coroutines."""

    @property
    def name(self) -> str:
        """The name the handle was opened with."""
    @property
    def maxsize(self) -> int:
        """The bound on the items the queue holds; 0 for none."""
    @property
    def closed(self) -> bool:
        """True once the handle is closed."""
    async def put(self, item: Encodable, block: bool = True, timeout: float | None = None) -> None:
        """Puts item at the tail, awaiting room; queue.Full when none came in time (or at once
        with block false)."""
    async def put_nowait(self, item: Encodable, /) -> None:
        """Puts item if there is room at once; otherwise raises queue.Full."""
    async def get(self, block: bool = True, timeout: float | None = None) -> Any:
        """Removes and returns the head item, awaiting one; queue.Empty when none came in time
        (or at once with block false)."""
    async def get_nowait(self) -> Any:
        """Returns the head item if there is one at once; otherwise raises queue.Empty."""
    def get_reliably(self, timeout: float | None = None) -> AbstractAsyncContextManager[Any]:
        """`async with q.get_reliably() as item:` takes the head item and holds it until the
        block ends (see RemoteQueueHandle.get_reliably)."""
    async def qsize(self) -> int:
        """The items waiting (reserved ones not counted)."""
    async def empty(self) -> bool:
        """Whether no item waits in the queue."""
    async def full(self) -> bool:
        """Whether the queue holds maxsize items."""
    async def close(self) -> None:
        """Lets go of the queue; it stays with its items (a temporary queue's last holder removes
        it)."""
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> bool: ...

@final
class AsyncRemoteFunctionHandle:
    """A served function on a Redis server, opened by `await AsyncRemote.open_function(name)`."""

    @property
    def name(self) -> str:
        """The name the handle was opened with."""
    @property
    def closed(self) -> bool:
        """True once the handle is closed."""
    @property
    def servers(self) -> int:
        """The number of live servers when the handle was opened: a property does no I/O."""
    async def __call__(self, *args: Encodable, timeout: float | None = None, **kwargs: Encodable) -> Any: ...
    def close(self) -> None:
        """Lets go of the handle; later uses raise ValueError."""
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

@final
class AsyncRemote:
    """zelvane's slots and services on a Redis server, as coroutines; made by connect(url)."""

    @property
    def url(self) -> str:
        """The server's URL without its credentials."""
    @property
    def namespace(self) -> str:
        """The namespace given to connect(), which prefixes every key of this connection."""
    @property
    def closed(self) -> bool:
        """True once close() was called."""
    def __await__(self) -> Generator[Any, None, Self]: ...
    async def create_memory(self, name: str, prealloc_size: int = 0, error_if_exists: bool = False) -> bool:
        """As Remote.create_memory, awaited."""
    async def remove_memory(self, name: str, throw_error: bool = False) -> bool:
        """As Remote.remove_memory, awaited."""
    async def read_memory(self, name: str, /) -> Any:
        """As Remote.read_memory, awaited."""
    async def write_memory(self, name: str, value: Encodable, create: bool = True) -> Literal[True]:
        """As Remote.write_memory, awaited."""
    async def open_memory(
        self, name: str, create: bool = True, *, wait: float | None = None, temporary: bool = False
    ) -> AsyncRemoteMemoryHandle:
        """As Remote.open_memory, awaited: an AsyncRemoteMemoryHandle."""
    async def open_queue(
        self, name: str, maxsize: int = 0, *, create: bool = True, temporary: bool = False
    ) -> AsyncRemoteQueueHandle:
        """A named queue (made unless create is false) with queue.Queue's methods as coroutines;
        maxsize bounds its items (0: no bound)."""
    async def create_function(self, name: str, func: Callable[..., Union[Encodable, Awaitable[Encodable]]], /) -> None:
        """As Remote.create_function, awaited: serves func (a coroutine function too) until
        remove_function(name)."""
    async def serve(
        self, name: str, func: Callable[..., Union[Encodable, Awaitable[Encodable]]], /, *, concurrency: int = 16
    ) -> None:
        """Serves func under name as `concurrency` servers of its pool, tasks of this loop;
        returns None once remove_function(name) stops the pool. Cancelled, or when one fails,
        these servers leave the pool."""
    async def remove_function(self, name: str, /) -> bool:
        """As Remote.remove_function, awaited."""
    async def call_function(self, name: str, args: tuple[Encodable, ...], /) -> Any:
        """As Remote.call_function, awaited."""
    async def open_function(
        self, name: str, /, *, wait: float | None = None, servers: int | None = None
    ) -> AsyncRemoteFunctionHandle:
        """As Remote.open_function, awaited: an AsyncRemoteFunctionHandle."""
    async def close(self) -> None:
        """Lets go of the connections; the values and names stay on the server."""
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
