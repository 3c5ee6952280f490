"""A module for managing shared memory with Python."""

import sys
from collections import ChainMap, Counter, OrderedDict, deque
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import Executor as ConcurrentExecutor, Future
from contextlib import AbstractContextManager
from datetime import date, datetime, time, timedelta
from decimal import Decimal
from pathlib import PurePath
from types import TracebackType
from typing import Any, Protocol, TypeVar, Union, final
from uuid import UUID

from typing_extensions import Buffer, Literal, Self, TypeAlias

if sys.version_info >= (3, 10):
    from types import EllipsisType
else:
    from builtins import ellipsis as EllipsisType

__version__: str

_Scalar: TypeAlias = Union[
    str, int, float, bool, complex, None, EllipsisType, bytes, bytearray, memoryview,
    datetime, date, time, timedelta, UUID, Decimal, range, PurePath,
]

# What the codec gives back: the values it decodes, containers of them nested.
# Named tuples are tuples; paths are PurePath or Path.
Value: TypeAlias = Union[
    _Scalar,
    list["Value"], tuple["Value", ...], set["Value"], frozenset["Value"], dict["Value", "Value"],
    deque["Value"], Counter["Value"], OrderedDict["Value", "Value"], ChainMap["Value", "Value"],
]

# What the codec takes: the same kinds, of exactly these classes (a subclass
# is refused, except a named tuple, which comes back as one). The mutable
# containers are invariant in their members, so a list[int] would not pass
# as a list[Value]; they are taken with any members, and the encoder refuses
# a member it cannot carry. A TypedDict is a dict when the program runs, but
# checkers see it only as a Mapping[str, object]: that is taken for it, and
# another Mapping, which the encoder refuses, passes the checkers too.
Encodable: TypeAlias = Union[
    _Scalar,
    tuple["Encodable", ...], frozenset["Encodable"],
    list[Any], set[Any], dict[Any, Any], deque[Any], Counter[Any], OrderedDict[Any, Any],
    ChainMap[Any, Any], Mapping[str, object],
]

# What update() writes: its function's result, returned as it is.
_Written = TypeVar("_Written", bound=Encodable)

# Reading gives Any, as json.loads and pickle.loads do, so that
# read_memory(name)["port"] needs no cast; Value is the union to narrow to.

def create_memory(name: str, prealloc_size: int = 0, error_if_exists: bool = False) -> bool:
    """Create a shared memory address."""

def remove_memory(name: str, throw_error: bool = False) -> bool:
    """Remove a shared memory address."""

def read_memory(name: str, /) -> Any:
    """Get the value stored in a shared memory address."""

def write_memory(name: str, value: Encodable, create: bool = True) -> Literal[True]:
    """Write a value to a shared memory address."""

def create_function(name: str, func: Callable[..., Encodable], /) -> None:
    """Create and link a function to shared memory."""

def remove_function(name: str, /) -> bool:
    """Stop a function linked to shared memory."""

def call_function(name: str, args: tuple[Encodable, ...], /) -> Any:
    """Call a function linked to shared memory."""

def serve(name: str, func: Callable[..., Encodable], /) -> None:
    """Serve func under name as one server of a pool: blocks until
    remove_function(name) stops the pool (then returns None). An exception
    raised by func goes back to its caller and serving goes on."""

class RemoteError(RuntimeError):
    """An exception raised by a served function that cannot be raised here
    as itself; its message names the remote class and its text."""

    type_name: str | None
    """The remote class as "module.qualname" (None for one made here)."""

class RemoteTraceback(Exception):
    """The cause of an exception that came back from a served function: its
    str() is the server's formatted traceback."""

class InterruptedWriteError(ValueError):
    """Raised by a handle's read of a slot whose last write was interrupted
    by a process that died mid-copy: the slot holds no value until the next
    write or update()."""

def dumps(value: Encodable, /) -> bytes:
    """Encode a value into the bytes a slot would hold."""

def loads(data: Buffer, /) -> Any:
    """Decode a value from bytes-like data written by dumps() or held by a slot."""

@final
class MemoryHandle:
    """A value slot opened once, for repeated reads and writes; made by open_memory(). It stays
    bound to the object it opened: a removal or re-creation of the name elsewhere does not
    reach it."""

    @property
    def name(self) -> str:
        """The name the handle was opened with."""
    @property
    def closed(self) -> bool:
        """True once the handle is closed."""
    @property
    def version(self) -> int:
        """The count of completed writes to the slot, the same for every
        handle in every process; it wraps around to 0 after 2**31 writes."""
    @property
    def token(self) -> int:
        """Inside this thread's lock() block of the handle: the fencing token
        of the block's grant, larger than every token given before it for the
        slot; RuntimeError outside such a block."""
    def read(self) -> Any:
        """The stored value, as read_memory (None for a slot created without a size and
        never written); InterruptedWriteError when a writer died mid-copy."""
    def write(self, value: Encodable, /) -> Literal[True]:
        """Stores value in the slot and returns True; as write_memory."""
    def update(self, func: Callable[[Any], _Written], /, *, timeout: float | None = None) -> _Written:
        """Atomically replaces the value with func(value) and returns it
        (func gets None for a slot never written or whose last write was interrupted)."""
    def wait(self, since: int | None = None, timeout: float | None = None) -> int:
        """Blocks until the version differs from since; returns it."""
    def lock(self, timeout: float | None = None) -> AbstractContextManager[Self]:
        """Holds the slot's lock for a with block, which gets the handle."""
    def close(self) -> None:
        """Lets go of the slot; the slot itself stays. Closing twice is harmless."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...

@final
class FunctionHandle:
    """A hosted function opened by open_function(name).

    Calling it has the outcomes of call_function(name, args), except that
    arguments and results may be of any encodable size: up to 1024 encoded
    bytes they travel in the record, larger ones through the handle's own
    buffer (the server must run as the same user). timeout, in seconds,
    bounds the whole wait and raises TimeoutError, leaving the record usable.
    Other keyword arguments go to a function hosted by serve(); one hosted by
    create_function() refuses them with TypeError before anything is posted.
    """

    @property
    def name(self) -> str:
        """The name the function is served under."""
    @property
    def closed(self) -> bool:
        """True once the handle was closed."""
    @property
    def servers(self) -> int:
        """The number of live servers of the function."""
    def __call__(self, *args: Encodable, timeout: float | None = None, **kwargs: Encodable) -> Any: ...
    def submit(self, *args: Encodable, timeout: float | None = None, **kwargs: Encodable) -> Future[Any]:
        """The call as a Future, returned at once (see Executor)."""
    def close(self) -> None:
        """Release the record; later calls raise ValueError."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...

class Executor(ConcurrentExecutor):
    """concurrent.futures over the function served under name: submit()
    returns a Future at once; at most max_in_flight calls are posted at a
    time (None: as many as the servers have room for), the rest wait in this
    process, where Future.cancel() withdraws them."""

    def __init__(self, name: str, *, max_in_flight: int | None = None) -> None: ...
    @property
    def name(self) -> str:
        """The name of the function the calls go to."""
    def call(self, *args: Encodable, timeout: float | None = None, **kwargs: Encodable) -> Any:
        """The call's result, waited for; stands for the function in
        loop.run_in_executor(executor, executor.call, *args)."""
    def submit(  # type: ignore[override]
        self, *args: Encodable, timeout: float | None = None, **kwargs: Encodable
    ) -> Future[Any]:
        """A Future of the call handle(*args, **kwargs) of the served function (timeout= bounds
        the call, as for a handle)."""
    def map(  # type: ignore[override]
        self, *iterables: Iterable[Encodable], timeout: float | None = None
    ) -> Iterator[Any]:
        """The results of the calls with arguments from `iterables`, in their order; TimeoutError
        when one is not there `timeout` seconds after map() was called."""
    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """As concurrent.futures.Executor.shutdown: no more submissions; with wait, returns once
        every posted and waiting call has ended; cancel_futures cancels the calls not yet
        posted."""

def open_memory(
    name: str, create: bool = True, *, wait: float | None = None, temporary: bool = False
) -> MemoryHandle:
    """Open the value slot name (creating an empty one when it is missing, unless create is
    False; then wait, in seconds, is how long to wait for it to appear, TimeoutError after
    that) and return a MemoryHandle bound to it, whose read() and write(value) act as
    read_memory and write_memory without looking the name up again, and whose version, wait(),
    update(func) and lock() make the slot shared state. A removal or re-creation of the name
    by another process does not reach the handle; a growth does. With temporary=True the slot
    lives while a process holds it open through a temporary handle: the last to close removes
    the name, and a slot left by processes that all died is made afresh."""

def open_function(name: str, /, *, wait: float | None = None, servers: int | None = None) -> FunctionHandle:
    """Open a handle to the function served under name: calling it, handle(*args, timeout=None,
    **kwargs), calls the function without looking the name up again, within an optional time
    limit. With wait, waits up to that many seconds for the name to be served (TimeoutError
    when it is not); with servers, until that many live servers serve it (up to wait seconds
    when given)."""

# What open_array takes as a format: a struct format, or a numpy.dtype (or
# anything else with numpy's `char`), named here without numpy.
class _HasChar(Protocol):
    @property
    def char(self) -> str: ...

# One of b B h H i I l L q Q e f d ? Zf Zd or numpy's name of one ("float32", "<f4"); a
# numpy.dtype; a numpy scalar type.
_ArrayFormat: TypeAlias = Union[str, _HasChar, type]

@final
class ArrayHandle:
    """A named shared array made or opened by open_array(name, shape, format).

    memoryview(handle) and numpy.asarray(handle) are writable views of the
    shared memory, without copies. Views stay valid after close() and after
    the name is removed. Nothing stops a write through a view made without
    the lock: lock() and notify() only coordinate those that use them.
    """

    @property
    def name(self) -> str:
        """The name the handle was opened with."""
    @property
    def shape(self) -> tuple[int, ...]:
        """The array's shape, a tuple of ints."""
    @property
    def format(self) -> str:
        """The format of one element, as the struct module writes it."""
    @property
    def dtype(self) -> Any:
        """The element's numpy.dtype; ImportError without numpy."""
    @property
    def nbytes(self) -> int:
        """The size of the array's data in bytes."""
    @property
    def closed(self) -> bool:
        """True once the handle is closed."""
    @property
    def version(self) -> int:
        """The count of changes marked on the array (leaving lock(),
        notify()); it wraps around to 0 after 2**31 changes."""
    def lock(self, timeout: float | None = None, *, shared: bool = False) -> AbstractContextManager[Self]:
        """Holds the array's lock for a with block: exclusively (leaving it
        marks a change) or, with shared=True, beside other shared holders
        (leaving it marks none)."""
    def wait(self, since: int | None = None, timeout: float | None = None) -> int:
        """Blocks until the version differs from since; returns it."""
    def notify(self) -> None:
        """Marks a change made without the lock."""
    def close(self) -> None:
        """Lets go of the array; views made from the handle stay valid until released, and the
        array itself stays. Closing twice is harmless."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...
    # The buffer protocol, declared for every version so that memoryview()
    # and numpy.asarray() take the handle (through typing_extensions.Buffer
    # before 3.12, where the class exports its buffer from C).
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...

def open_array(
    name: str,
    shape: int | tuple[int, ...] | None = None,
    format: _ArrayFormat | None = None,
    *,
    wait: float | None = None,
    temporary: bool = False,
) -> ArrayHandle:
    """Open the shared array name and return an ArrayHandle, whose memory memoryview(handle) and
    numpy.asarray(handle) view without copying. With shape (an int or a tuple of ints) and
    format (b B h H i I l L q Q e f d ? Zf Zd, numpy's name or type string of one such as
    "float32" or "<f4", or a numpy.dtype), a missing array is made, zero-filled; an existing
    one must have that shape and format (ValueError). Without them, the array must exist;
    wait, in seconds, is how long to wait for it to appear (TimeoutError after that). lock(),
    version, wait() and notify() coordinate the processes that share it. With temporary=True
    the array lives while a process holds it open through a temporary handle: the last to
    close removes the name, and an array left by processes that all died is made afresh."""

@final
class QueueReservation:
    """An item taken by QueueHandle.get_reliably() and held until the with
    block ends: done when it ends normally, back at the head of the queue
    when it raises or the process dies first."""

    def __enter__(self) -> Any: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> Literal[False]: ...

@final
class QueueHandle:
    """A named queue made or opened by open_queue(name, maxsize), with the
    methods of queue.Queue, shared by every process and thread that opens
    it. get() takes an item at most once; get_reliably() at least once."""

    @property
    def name(self) -> str:
        """The name the handle was opened with."""
    @property
    def maxsize(self) -> int:
        """The bound on the items the queue holds; 0 for none."""
    @property
    def closed(self) -> bool:
        """True once the handle is closed."""
    def put(self, item: Encodable, block: bool = True, timeout: float | None = None) -> None:
        """Puts item at the tail; queue.Full when no room came in time."""
    def put_nowait(self, item: Encodable, /) -> None:
        """Put item if there is room at once; otherwise raise queue.Full."""
    def get(self, block: bool = True, timeout: float | None = None) -> Any:
        """Removes and returns the head item; queue.Empty when none came in time."""
    def get_nowait(self) -> Any:
        """Return an item if one is there at once; otherwise raise queue.Empty."""
    def get_reliably(self, timeout: float | None = None) -> QueueReservation:
        """Takes the head item and holds it reserved for a with block."""
    def qsize(self) -> int:
        """The number of items waiting in the queue (reserved items not counted)."""
    def empty(self) -> bool:
        """Whether no item waits in the queue."""
    def full(self) -> bool:
        """Whether the queue holds maxsize items."""
    def close(self) -> None:
        """Let go of the queue; it stays, with its items. Closing twice is harmless."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> Literal[False]: ...
    def __reduce__(self) -> tuple[Callable[[str, int], QueueHandle], tuple[str, int]]: ...

def open_queue(name: str, maxsize: int = 0, *, create: bool = True, temporary: bool = False) -> QueueHandle:
    """Open the named queue and return a QueueHandle, with the methods of queue.Queue; any number
    of processes and threads put and get through it, in one order. A missing queue is made
    when create is true, holding at most maxsize items (0: as many as memory allows); an
    existing one keeps its own bound (a different maxsize other than 0 is a ValueError). With
    temporary=True the queue lives while a process holds it open through a temporary handle:
    the last to close removes the name, and a queue left by processes that all died is made
    afresh."""

@final
class RemoteMemoryHandle:
    """A slot on a Redis server, opened by Remote.open_memory(name): the
    outcomes of MemoryHandle, with the version kept on the server."""

    @property
    def name(self) -> str:
        """The name the handle was opened with."""
    @property
    def closed(self) -> bool:
        """True once the handle is closed."""
    @property
    def version(self) -> int:
        """The count of completed writes to the slot (one round trip to the server)."""
    @property
    def token(self) -> int:
        """Inside this thread's lock() block of the handle: the fencing token
        of the block's grant, which grows with every grant of the slot's
        lock; RuntimeError outside such a block."""
    def read(self) -> Any:
        """The stored value, as MemoryHandle.read()."""
    def write(self, value: Encodable, /) -> Literal[True]:
        """Stores value in the slot and returns True."""
    def update(self, func: Callable[[Any], _Written], /, *, timeout: float | None = None) -> _Written:
        """Replaces the value with func(value) under the slot's lock and returns it (func gets
        None for a slot never written); timeout (seconds) bounds the wait for the lock
        (TimeoutError)."""
    def wait(self, since: int | None = None, timeout: float | None = None) -> int:
        """Blocks until the slot's version differs from since (None: the one this handle last
        saw) and returns the new version; TimeoutError after timeout seconds."""
    def lock(self, timeout: float | None = None) -> AbstractContextManager[Self]:
        """A context manager that holds the slot's lock (a lease that this process renews while
        it lives); timeout (seconds) bounds the wait for it (TimeoutError)."""
    def close(self) -> None:
        """Lets go of the slot; it stays (a temporary slot's last holder removes it)."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...

@final
class RemoteFunctionHandle:
    """A served function on a Redis server, opened by Remote.open_function(name)."""

    @property
    def name(self) -> str:
        """The name the handle was opened with."""
    @property
    def closed(self) -> bool:
        """True once the handle is closed."""
    @property
    def servers(self) -> int:
        """The number of live servers of the function, asked of the server."""
    def __call__(self, *args: Encodable, timeout: float | None = None, **kwargs: Encodable) -> Any: ...
    def submit(self, *args: Encodable, timeout: float | None = None, **kwargs: Encodable) -> Future[Any]:
        """The call as a Future, returned at once (see Remote.Executor)."""
    def close(self) -> None:
        """Lets go of the handle; later uses raise ValueError."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...

@final
class RemoteQueueReservation:
    """An item taken by RemoteQueueHandle.get_reliably(), held under a lease
    until the with block ends: done when it ends normally, back at the head
    of the queue when it raises or the process dies first."""

    def __enter__(self) -> Any: ...
    def __del__(self) -> None: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> Literal[False]: ...

@final
class RemoteQueueHandle:
    """A named queue on a Redis server, made or opened by
    Remote.open_queue(name, maxsize), with the methods of queue.Queue."""

    @property
    def name(self) -> str:
        """The name the handle was opened with."""
    @property
    def maxsize(self) -> int:
        """The bound on the items the queue holds; 0 for none."""
    @property
    def closed(self) -> bool:
        """True once the handle is closed."""
    def put(self, item: Encodable, block: bool = True, timeout: float | None = None) -> None:
        """Puts item at the tail; queue.Full when no room came in time."""
    def put_nowait(self, item: Encodable, /) -> None:
        """Puts item if there is room at once; otherwise raises queue.Full."""
    def get(self, block: bool = True, timeout: float | None = None) -> Any:
        """Removes and returns the head item; queue.Empty when none came in time."""
    def get_nowait(self) -> Any:
        """Returns the head item if there is one at once; otherwise raises queue.Empty."""
    def get_reliably(self, timeout: float | None = None) -> RemoteQueueReservation:
        """Takes the head item and holds it reserved for a with block."""
    def qsize(self) -> int:
        """The items waiting (reserved ones not counted)."""
    def empty(self) -> bool:
        """Whether no item waits in the queue."""
    def full(self) -> bool:
        """Whether the queue holds maxsize items."""
    def close(self) -> None:
        """Lets go of the queue; it stays with its items (a temporary queue's last holder removes
        it)."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> Literal[False]: ...

@final
class Remote:
    """zelvane's slots and services on a Redis server, made by connect(url):
    the module's functions with the same names, arguments and outcomes."""

    @property
    def url(self) -> str:
        """The server's URL without its credentials."""
    @property
    def namespace(self) -> str:
        """The namespace given to connect(), which prefixes every key of this connection."""
    @property
    def closed(self) -> bool:
        """True once close() was called."""
    def create_memory(self, name: str, prealloc_size: int = 0, error_if_exists: bool = False) -> bool:
        """As zelvane.create_memory, on the Redis server: creates an empty slot; False when the
        name exists (or, with error_if_exists, raises)."""
    def remove_memory(self, name: str, throw_error: bool = False) -> bool:
        """As zelvane.remove_memory: removes the slot name; False when there is none (or, with
        throw_error, raises)."""
    def read_memory(self, name: str, /) -> Any:
        """As zelvane.read_memory: the value stored under name (None for a slot never written and
        created without a size); MemoryError when there is no such slot."""
    def write_memory(self, name: str, value: Encodable, create: bool = True) -> Literal[True]:
        """As zelvane.write_memory: stores value under name (making the slot unless create is
        false); returns True."""
    def open_memory(
        self, name: str, create: bool = True, *, wait: float | None = None, temporary: bool = False
    ) -> RemoteMemoryHandle:
        """As zelvane.open_memory: a RemoteMemoryHandle of the slot name (made unless create is
        false; then wait, in seconds, is how long to wait for it to appear)."""
    def open_queue(
        self, name: str, maxsize: int = 0, *, create: bool = True, temporary: bool = False
    ) -> RemoteQueueHandle:
        """A named queue (made unless create is false) with the methods of queue.Queue; maxsize
        bounds its items (0: no bound)."""
    def create_function(self, name: str, func: Callable[..., Encodable], /) -> None:
        """As zelvane.create_function: serves func under name, one call at a time, until
        remove_function(name); then writes the line "read" to standard output and returns
        None."""
    def serve(self, name: str, func: Callable[..., Encodable], /) -> None:
        """As zelvane.serve: serves func under name as one server of a pool; returns None once
        remove_function(name) stops the pool. An exception raised by func goes back to its
        caller."""
    def remove_function(self, name: str, /) -> bool:
        """As zelvane.remove_function: asks every server of name to stop; False when nothing
        serves it."""
    def call_function(self, name: str, args: tuple[Encodable, ...], /) -> Any:
        """As zelvane.call_function: calls the function served under name with the tuple args and
        returns its result."""
    def open_function(
        self, name: str, /, *, wait: float | None = None, servers: int | None = None
    ) -> RemoteFunctionHandle:
        """As zelvane.open_function: a RemoteFunctionHandle of the function served under name
        (waiting up to wait seconds for it to be served, or for `servers` live servers)."""
    def Executor(self, name: str, *, max_in_flight: int | None = None) -> Executor:
        """A zelvane.Executor of the function served under name on this
        server: Future.cancel() also withdraws a call still waiting in the
        pool's queue, which no server then runs."""
    def close(self) -> None:
        """Lets go of the connections; the values and names stay on the server."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...

def connect(url: str, /, *, namespace: str = "zelvane", replicas: int = 0) -> Remote:
    """Connect to the Redis server at url (redis://, rediss://, unix://);
    needs redis-py (zelvane[redis])."""
