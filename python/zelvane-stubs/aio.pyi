"""zelvane for asyncio: slots, calls and serving as coroutines."""

from collections.abc import Awaitable, Callable, Generator
from contextlib import AbstractAsyncContextManager
from types import TracebackType
from typing import Any, Protocol, TypeVar, Union, final

from typing_extensions import Literal, Self

from zelvane import ArrayHandle, Encodable, FunctionHandle, MemoryHandle

__all__ = ["AsyncArrayHandle", "AsyncFunctionHandle", "AsyncMemoryHandle", "connect", "open_array", "open_function",
           "open_memory", "serve"]

_Written = TypeVar("_Written", bound=Encodable)

class AsyncMemoryHandle:
    """A value slot opened by aio.open_memory(name): MemoryHandle's methods
    as coroutines."""

    def __init__(self, sync: MemoryHandle, /) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    @property
    def version(self) -> int: ...
    async def read(self) -> Any: ...
    async def write(self, value: Encodable, /) -> Literal[True]: ...
    async def update(self, func: Callable[[Any], _Written], /, *, timeout: float | None = None) -> _Written: ...
    async def wait(self, since: int | None = None, timeout: float | None = None) -> int: ...
    def lock(self, timeout: float | None = None) -> AbstractAsyncContextManager[Self]:
        """Holds the slot's lock for an async with block, for the task that entered it."""
    def close(self) -> None: ...
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
    def name(self) -> str: ...
    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def format(self) -> str: ...
    @property
    def dtype(self) -> Any: ...
    @property
    def nbytes(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    @property
    def version(self) -> int: ...
    async def wait(self, since: int | None = None, timeout: float | None = None) -> int: ...
    def notify(self) -> None: ...
    def lock(self, timeout: float | None = None, *, shared: bool = False) -> AbstractAsyncContextManager[Self]:
        """Holds the array for an async with block, for the task that entered
        it; the loop's tasks hold it shared together."""
    def close(self) -> None: ...
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

class AsyncFunctionHandle:
    """A hosted function opened by `await aio.open_function(name)`; cancelling
    an awaited call gives it up as its timeout would."""

    def __init__(self, sync: FunctionHandle, /) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    @property
    def servers(self) -> int:
        """The number of live servers of the function."""
    async def __call__(self, *args: Encodable, timeout: float | None = None, **kwargs: Encodable) -> Any: ...
    def close(self) -> None: ...
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...

async def open_memory(name: str, create: bool = True, *, wait: float | None = None) -> AsyncMemoryHandle:
    """Awaited, as every opening is; with create=False, wait= seconds waits
    for the slot to appear."""
async def open_function(
    name: str, /, *, wait: float | None = None, servers: int | None = None
) -> AsyncFunctionHandle: ...
async def serve(
    name: str, func: Callable[..., Union[Encodable, Awaitable[Encodable]]], /, *, concurrency: int = 16
) -> None:
    """Serves func under name from this loop until remove_function(name)."""
def connect(url: str, /, *, namespace: str = "zelvane") -> AsyncRemote:
    """The asyncio client of the Redis back end, returned at once: its first
    operation connects; awaiting it connects at once."""

@final
class AsyncRemoteMemoryHandle:
    """A slot on a Redis server, opened by `await AsyncRemote.open_memory(name)`."""

    @property
    def name(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    @property
    def version(self) -> int:
        """The version when this handle last saw the slot: a property does no I/O."""
    async def read(self) -> Any: ...
    async def write(self, value: Encodable, /) -> Literal[True]: ...
    async def update(
        self, func: Callable[[Any], Union[_Written, Awaitable[_Written]]], /, *, timeout: float | None = None
    ) -> _Written: ...
    async def wait(self, since: int | None = None, timeout: float | None = None) -> int: ...
    def lock(self, timeout: float | None = None) -> AbstractAsyncContextManager[Self]: ...
    def close(self) -> None: ...
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

@final
class AsyncRemoteFunctionHandle:
    """A served function on a Redis server, opened by `await AsyncRemote.open_function(name)`."""

    @property
    def name(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    @property
    def servers(self) -> int:
        """The number of live servers when the handle was opened: a property does no I/O."""
    async def __call__(self, *args: Encodable, timeout: float | None = None, **kwargs: Encodable) -> Any: ...
    def close(self) -> None: ...
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
    def namespace(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    def __await__(self) -> Generator[Any, None, Self]: ...
    async def create_memory(self, name: str, prealloc_size: int = 0, error_if_exists: bool = False) -> bool: ...
    async def remove_memory(self, name: str, throw_error: bool = False) -> bool: ...
    async def read_memory(self, name: str, /) -> Any: ...
    async def write_memory(self, name: str, value: Encodable, create: bool = True) -> Literal[True]: ...
    async def open_memory(
        self, name: str, create: bool = True, *, wait: float | None = None
    ) -> AsyncRemoteMemoryHandle: ...
    async def create_function(self, name: str, func: Callable[..., Union[Encodable, Awaitable[Encodable]]], /) -> None: ...
    async def serve(
        self, name: str, func: Callable[..., Union[Encodable, Awaitable[Encodable]]], /, *, concurrency: int = 16
    ) -> None: ...
    async def remove_function(self, name: str, /) -> bool: ...
    async def call_function(self, name: str, args: tuple[Encodable, ...], /) -> Any: ...
    async def open_function(
        self, name: str, /, *, wait: float | None = None, servers: int | None = None
    ) -> AsyncRemoteFunctionHandle: ...
    async def close(self) -> None:
        """Lets go of the connections; the values and names stay on the server."""
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
