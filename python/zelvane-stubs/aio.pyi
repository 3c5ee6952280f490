"""zelvane for asyncio: slots, calls and serving as coroutines."""

from collections.abc import Awaitable, Callable
from contextlib import AbstractAsyncContextManager
from types import TracebackType
from typing import Any, Protocol, TypeVar, Union

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
def open_array(
    name: str, shape: int | tuple[int, ...] | None = None, format: Union[str, _HasChar, type, None] = None
) -> AsyncArrayHandle: ...

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

def open_memory(name: str, create: bool = True) -> AsyncMemoryHandle: ...
async def open_function(
    name: str, *, wait: float | None = None, servers: int | None = None
) -> AsyncFunctionHandle: ...
async def serve(
    name: str, func: Callable[..., Union[Encodable, Awaitable[Encodable]]], *, concurrency: int = 16
) -> None:
    """Serves func under name from this loop until remove_function(name)."""
def connect(url: str, *, namespace: str = "zelvane", replicas: int = 0) -> Any:
    """The asyncio client of the Redis back end."""
