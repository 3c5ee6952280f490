"""zelvane.aio and the asyncio client of Redis have one shape: the names
they share have the same signatures, and what is awaited in one is awaited
in the other, a property in one is a property in the other."""
import asyncio
import inspect

import pytest

import zelvane
from zelvane import aio

from conftest import TIMEOUT

_remote_aio = pytest.importorskip("zelvane._remote_aio", reason="redis-py is not installed")

# The local openings give their handle at once when they wait for nothing
# (as they did before they could wait), and the handle awaits to itself.
AWAITED_AT_ONCE = {"open_memory", "open_array", "open_queue"}

# Names on one side only, for what only one back end has.
LOCAL_ONLY = {"open_array", "connect", "AsyncArrayHandle", "AsyncFunctionHandle", "AsyncMemoryHandle",
              "AsyncQueueHandle"}
REMOTE_ONLY = {"create_memory", "remove_memory", "read_memory", "write_memory", "create_function",
               "remove_function", "call_function", "close", "url", "namespace", "closed"}

HANDLE_PAIRS = [
    (aio.AsyncMemoryHandle, _remote_aio.AsyncRemoteMemoryHandle),
    (aio.AsyncFunctionHandle, _remote_aio.AsyncRemoteFunctionHandle),
]
PROTOCOL = ("__aenter__", "__aexit__", "__call__")


def kind(owner, name):
    attr = inspect.getattr_static(owner, name)
    if isinstance(attr, property):
        return "property"
    if inspect.iscoroutinefunction(attr) or name in AWAITED_AT_ONCE and owner is aio:
        return "awaited"
    return "plain"


def signature(owner, name):
    """The signature as a caller sees it: without self."""
    attr = inspect.getattr_static(owner, name)
    if isinstance(attr, property):
        return None
    params = list(inspect.signature(attr).parameters.values())
    if not inspect.ismodule(owner):
        params = params[1:]
    return [(p.name, p.kind, p.default) for p in params]


def surface(owner):
    """The public names, and for a handle the protocols it takes part in."""
    if owner is aio:
        return set(aio.__all__)
    names = {n for n in dir(owner) if not n.startswith("_")}
    if owner is _remote_aio.AsyncRemote:
        return names
    return names | {n for n in PROTOCOL if any(n in vars(c) for c in owner.__mro__[:-1])}


def test_the_module_and_the_redis_client_share_their_openings():
    remote = _remote_aio.AsyncRemote
    local, other = surface(aio), surface(remote)
    assert local - other == LOCAL_ONLY
    assert other - local == REMOTE_ONLY
    for name in sorted(local & other):
        assert kind(aio, name) == kind(remote, name), name
        assert signature(aio, name) == signature(remote, name), name


@pytest.mark.parametrize("local, remote", HANDLE_PAIRS, ids=lambda cls: cls.__name__)
def test_handles_have_the_same_names_and_shapes(local, remote):
    assert surface(local) == surface(remote)
    for name in sorted(surface(local)):
        assert kind(local, name) == kind(remote, name), name
        if name != "__call__":
            assert signature(local, name) == signature(remote, name), name


def test_the_local_openings_are_awaited_and_also_give_their_handle_at_once(shm_name):
    name, array, late_name, none = shm_name("slot"), shm_name("array"), shm_name("late"), shm_name("none")

    async def scenario():
        slot = aio.open_memory(name)
        assert inspect.isawaitable(slot) and await slot is slot
        async with await aio.open_memory(name, create=False) as again:
            assert await again.write(1) is True
        made = await aio.open_array(array, 3, "B")
        waited = asyncio.ensure_future(aio.open_memory(late_name, create=False, wait=TIMEOUT))
        await asyncio.sleep(0.05)
        assert not waited.done()
        zelvane.write_memory(late_name, "here")
        late = await asyncio.wait_for(waited, TIMEOUT)
        assert await late.read() == "here"
        with pytest.raises(TimeoutError, match=f"^The array '{none}' did not appear"):
            await aio.open_array(none, wait=0.05)
        found = await aio.open_array(array, wait=TIMEOUT)
        assert found.shape == made.shape == (3,)
        for handle in (slot, again, made, late, found):
            handle.close()
    asyncio.run(asyncio.wait_for(scenario(), TIMEOUT))
