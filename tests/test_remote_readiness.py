"""Readiness on Redis, in the synchronous and asyncio mirrors alike:
open_memory(create=False, wait=) waits for a slot to appear, and
open_function(wait=, servers=) for that many live servers."""
import asyncio
import uuid

import pytest

import zelvane
from zelvane import aio

from conftest import CHILD_PRELUDE, TIMEOUT, finish, spawn_python
from redis_util import RedisServer, redis_server  # noqa: F401 (fixtures)

pytestmark = pytest.mark.timeout(180)

SERVER = CHILD_PRELUDE + """
import sys, zelvane
z = zelvane.connect(sys.argv[1], namespace=sys.argv[2])
z.serve(sys.argv[3], lambda *args: sum(args))
print("returned", flush=True)
"""


class Mirror:
    """A Remote of its own namespace, used through `kind` ("sync" or "aio"):
    run(method, *args, **kwargs) calls the method and gives its result."""

    def __init__(self, kind, url):
        self.kind = kind
        self.url = url
        self.namespace = f"zt-{uuid.uuid4().hex[:12]}"
        self.sync = zelvane.connect(url, namespace=self.namespace)
        self.servers = []

    def run(self, method, *args, **kwargs):
        if self.kind == "sync":
            return getattr(self.sync, method)(*args, **kwargs)

        async def through_aio():
            async with aio.connect(self.url, namespace=self.namespace) as z:
                return await getattr(z, method)(*args, **kwargs)
        return asyncio.run(asyncio.wait_for(through_aio(), TIMEOUT))

    def serve(self, name):
        self.servers.append(spawn_python(SERVER, self.url, self.namespace, name))

    def cleanup(self):
        for proc in self.servers:
            proc.kill()
            finish(proc)
        client = self.sync._client
        for key in client.scan_iter(match=f"{{{self.namespace}:*"):
            client.delete(key)
        self.sync.close()


@pytest.fixture(params=["sync", "aio"])
def mirror(request, redis_server):
    made = Mirror(request.param, redis_server.url)
    yield made
    made.cleanup()


def test_a_slot_wait_times_out_naming_it_and_makes_nothing(mirror):
    for wait in (0, 0.1):
        with pytest.raises(TimeoutError) as info:
            mirror.run("open_memory", "late", create=False, wait=wait)
        assert str(info.value) == "The value slot 'late' did not appear within the time given."
    assert not mirror.sync._client.keys(f"{{{mirror.namespace}:*")


def test_a_slot_wait_wakes_when_another_process_writes_it(mirror):
    writer = CHILD_PRELUDE + (f"import time, zelvane; time.sleep(0.3); "
                              f"zelvane.connect({mirror.url!r}, namespace={mirror.namespace!r})"
                              ".write_memory('late', 'ready')")
    proc = spawn_python(writer)
    try:
        opened = mirror.run("open_memory", "late", create=False, wait=TIMEOUT)
        assert opened.name == "late" and opened.version == 1
    finally:
        finish(proc)
    assert mirror.sync.open_memory("late", False, wait=0).read() == "ready"


@pytest.mark.parametrize("holder, message", [
    ("function", "The name 'taken' holds a function, not a value slot."),
    (None, "No value slot 'taken' exists; open_memory(name, create=False, wait=seconds) waits for one."),
])
def test_a_wrong_kind_is_refused_at_once_and_no_wait_means_none(mirror, holder, message):
    if holder:
        mirror.serve("taken")
        mirror.sync.open_function("taken", wait=TIMEOUT)
    with pytest.raises(MemoryError) as info:
        mirror.run("open_memory", "taken", create=False, wait=TIMEOUT if holder else None)
    assert str(info.value) == message


@pytest.mark.parametrize("bad, error", [("soon", TypeError), (-1, ValueError)])
def test_waits_are_checked_even_where_nothing_waits(mirror, bad, error):
    with pytest.raises(error, match="^wait must be"):
        mirror.run("open_memory", "any", wait=bad)


# Whatever takes seconds on a client `z`, given `v`; a handle of the slot
# "slot" and of the function "pool" is `h`.
TIMED = {
    "open_memory": ("wait", lambda z, h, v: z.open_memory("late", False, wait=v)),
    "open_function": ("wait", lambda z, h, v: z.open_function("pool", wait=v)),
    "call": ("timeout", lambda z, h, v: h["pool"](1, timeout=v)),
    "update": ("timeout", lambda z, h, v: h["slot"].update(lambda x: x, timeout=v)),
    "wait": ("timeout", lambda z, h, v: h["slot"].wait(timeout=v)),
    "lock": ("timeout", lambda z, h, v: h["slot"].lock(timeout=v)),
}
WRONG_SECONDS = ["soon", b"1", 1j, [1], -1, float("inf"), float("nan")]


def local_error(shm_name, what, value):
    """What the local calls raise for `value` given as `what` (wait or timeout)."""
    with pytest.raises(Exception) as local:
        if what == "wait":
            zelvane.open_memory(shm_name("late"), False, wait=value)
        else:
            with zelvane.open_memory(shm_name("slot")) as handle:
                handle.update(lambda x: x, timeout=value)
    return type(local.value), str(local.value)


def test_wrong_seconds_are_refused_as_the_local_calls_refuse_them(mirror, shm_name):
    mirror.serve("pool")
    mirror.sync.open_function("pool", wait=TIMEOUT)
    mirror.sync.write_memory("slot", 0)

    async def through_aio(op, value):
        async with aio.connect(mirror.url, namespace=mirror.namespace) as z:
            handles = {"slot": await z.open_memory("slot"), "pool": await z.open_function("pool")}
            done = TIMED[op][1](z, handles, value)
            if asyncio.iscoroutine(done):
                await done

    for op, (what, run) in TIMED.items():
        for value in WRONG_SECONDS:
            with pytest.raises(Exception) as remote:
                if mirror.kind == "sync":
                    run(mirror.sync, {"slot": mirror.sync.open_memory("slot"),
                                      "pool": mirror.sync.open_function("pool")}, value)
                else:
                    asyncio.run(asyncio.wait_for(through_aio(op, value), TIMEOUT))
            assert (type(remote.value), str(remote.value)) == local_error(shm_name, what, value), (op, value)


def test_open_function_waits_for_that_many_servers(mirror):
    mirror.serve("pool")
    with pytest.raises(TimeoutError) as info:
        mirror.run("open_function", "pool", wait=0.3, servers=2)
    assert str(info.value) == "Fewer than 2 servers served the function 'pool' within the time given."
    mirror.serve("pool")
    handle = mirror.run("open_function", "pool", wait=TIMEOUT, servers=2)
    assert handle.servers == 2
    assert mirror.sync.open_function("pool").servers == 2
    # With no time limit, servers= alone waits until they serve.
    with_no_limit = mirror.run("open_function", "pool", servers=1)
    assert with_no_limit.servers >= 1
    mirror.sync.remove_function("pool")
    assert [finish(proc).split() for proc in mirror.servers] == [["returned"]] * 2
    mirror.servers.clear()


@pytest.mark.parametrize("servers, error, message", [
    (0, ValueError, "servers must be a positive number of servers or None"),
    ("2", TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_a_wrong_count_of_servers_is_refused(mirror, servers, error, message):
    with pytest.raises(error) as info:
        mirror.run("open_function", "pool", wait=0, servers=servers)
    assert str(info.value) == message


def test_servers_counts_the_live_servers_and_refuses_a_closed_handle(mirror):
    mirror.serve("counted")
    handle = mirror.sync.open_function("counted", wait=TIMEOUT)
    assert handle.servers == 1
    mirror.sync.remove_function("counted")
    assert finish(mirror.servers.pop()).split() == ["returned"]
    assert handle.servers == 0
    handle.close()
    with pytest.raises(ValueError, match="closed function handle"):
        handle.servers


def test_async_serve_runs_calls_side_by_side(redis_server):
    namespace = f"zt-{uuid.uuid4().hex[:12]}"
    sync = zelvane.connect(redis_server.url, namespace=namespace)

    async def slow(x):
        await asyncio.sleep(0.2)
        return x

    async def scenario():
        async with aio.connect(redis_server.url, namespace=namespace) as z:
            serving = asyncio.ensure_future(z.serve("slow", slow, concurrency=4))
            handle = await z.open_function("slow", wait=TIMEOUT, servers=4)
            assert handle.servers == 4
            # Four calls at once: each server task takes one.
            calls = [asyncio.to_thread(sync.call_function, "slow", (i,)) for i in range(4)]
            assert await asyncio.gather(*calls) == [0, 1, 2, 3]
            await z.remove_function("slow")
            assert await asyncio.wait_for(serving, TIMEOUT) is None
            with pytest.raises(ValueError, match="concurrency must be at least 1"):
                await z.serve("slow", slow, concurrency=0)
    try:
        asyncio.run(asyncio.wait_for(scenario(), TIMEOUT))
    finally:
        for key in sync._client.scan_iter(match=f"{{{namespace}:*"):
            sync._client.delete(key)
        sync.close()


def test_aio_connect_returns_the_client_at_once_and_connects_when_awaited(redis_server):
    import redis
    unreachable = f"redis://127.0.0.1:{RedisServer().port}/0"

    async def scenario():
        z = aio.connect(unreachable)          # no I/O yet
        assert not z.closed
        with pytest.raises(redis.ConnectionError):
            await z
        assert z.closed
        lazy = aio.connect(redis_server.url, namespace="zt-lazy")
        assert await lazy.remove_memory("none") is False  # the first operation connects
        await lazy.close()
        async with await aio.connect(redis_server.url, namespace="zt-lazy") as awaited:
            assert await awaited.create_memory("made") is True
            assert await awaited.remove_memory("made") is True
        assert awaited.closed
    asyncio.run(asyncio.wait_for(scenario(), TIMEOUT))
