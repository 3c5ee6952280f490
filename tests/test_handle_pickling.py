"""Handles pass to other processes by name: pickled, they open the same
object again in the receiving process, whatever the start method."""
import concurrent.futures
import multiprocessing
import pickle
import uuid

import pytest
import zelvane

from conftest import TIMEOUT
from redis_util import redis_server  # noqa: F401 (fixtures)

START_METHODS = [method for method in ("spawn", "forkserver", "fork")
                 if method in multiprocessing.get_all_start_methods()]
POOLS = ["executor", "pool"]
TASKS = 4


# --- what the children do (module level: spawn imports them by name)

def bump_slot(handle):
    return handle.update(lambda value: value + 1)


def call_function(handle, value):
    return handle(value)


def fill_cell(handle, index):
    with handle.lock():
        memoryview(handle).cast("B")[index] = index + 1
    return handle.shape


def remote_round_trip(remote, name):
    remote.write_memory(name, remote.url)
    return remote.read_memory(name), remote.namespace


def run_in_pool(kind, method, func, *argument_lists):
    context = multiprocessing.get_context(method)
    if kind == "executor":
        with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
            return list(pool.map(func, *argument_lists, timeout=TIMEOUT))
    with context.Pool(2) as pool:
        return pool.starmap_async(func, zip(*argument_lists)).get(TIMEOUT)


@pytest.mark.parametrize("method", START_METHODS)
@pytest.mark.parametrize("kind", POOLS)
def test_local_handles_travel_to_pools(kind, method, shm_name, serve):
    slot = zelvane.open_memory(shm_name("slot"))
    slot.write(0)
    results = run_in_pool(kind, method, bump_slot, [slot] * TASKS)
    assert sorted(results) == list(range(1, TASKS + 1))
    assert slot.read() == TASKS

    server = serve("lambda x: x * 2")
    with zelvane.open_function(server.name) as function:
        assert run_in_pool(kind, method, call_function, [function] * TASKS, range(TASKS)) == [0, 2, 4, 6]

    with zelvane.open_array(shm_name("array"), TASKS, "B") as array:
        assert run_in_pool(kind, method, fill_cell, [array] * TASKS, range(TASKS)) == [(TASKS,)] * TASKS
        assert bytes(memoryview(array)) == bytes([1, 2, 3, 4])


def test_a_pickled_handle_opens_its_name_again(shm_name):
    name = shm_name("slot")
    with zelvane.open_memory(name) as handle:
        handle.write("first")
        data = pickle.dumps(handle)
    zelvane.remove_memory(name)
    # A slot handle never creates what it reopens.
    with pytest.raises(MemoryError):
        pickle.loads(data)
    zelvane.write_memory(name, "again")
    with pickle.loads(data) as reopened:
        assert (reopened.name, reopened.read()) == (name, "again")


@pytest.mark.parametrize("opener, type_name", [
    (lambda name: zelvane.open_memory(name), "MemoryHandle"),
    (lambda name: zelvane.open_array(name, 2, "d"), "ArrayHandle"),
])
def test_closed_handles_refuse_to_pickle(shm_name, opener, type_name):
    name = shm_name("closed")
    handle = opener(name)
    handle.close()
    with pytest.raises(ValueError) as info:
        pickle.dumps(handle)
    assert str(info.value) == f"Cannot pickle a closed zelvane.{type_name} of '{name}'."


def test_closed_function_handle_refuses_to_pickle(serve):
    server = serve("lambda: 1")
    handle = zelvane.open_function(server.name)
    assert pickle.loads(pickle.dumps(handle))() == 1
    handle.close()
    with pytest.raises(ValueError, match="^Cannot pickle a closed zelvane.FunctionHandle of "):
        pickle.dumps(handle)


# --- Redis

@pytest.fixture
def remote(redis_server):
    namespace = f"zt-{uuid.uuid4().hex[:12]}"
    made = zelvane.connect(redis_server.url, namespace=namespace)
    yield made
    for key in made._client.scan_iter(match=f"{{{namespace}:*"):
        made._client.delete(key)
    made.close()


@pytest.mark.parametrize("method", START_METHODS)
def test_remote_and_its_handles_travel_to_pools(remote, method):
    slot = remote.open_memory("slot")
    slot.write(0)
    assert sorted(run_in_pool("executor", method, bump_slot, [slot] * TASKS)) == list(range(1, TASKS + 1))
    assert slot.read() == TASKS
    assert run_in_pool("pool", method, remote_round_trip, [remote], ["copy"]) == [(remote.url, remote.namespace)]
    slot.close()
    with pytest.raises(ValueError, match="^Cannot pickle a closed remote memory handle of 'slot'.$"):
        pickle.dumps(slot)


SECRET = "s3cret-" + uuid.uuid4().hex[:8]


@pytest.fixture
def user_with_password(redis_server, remote):
    user = f"zt_{uuid.uuid4().hex[:8]}"
    remote._client.execute_command("ACL", "SETUSER", user, "on", f">{SECRET}", "~*", "&*", "+@all")
    yield user
    remote._client.execute_command("ACL", "DELUSER", user)


@pytest.mark.parametrize("form", ["netloc", "query"])
def test_credentials_are_never_pickled(redis_server, user_with_password, form):
    host = redis_server.url.split("//", 1)[1]
    url = (f"redis://{user_with_password}:{SECRET}@{host}" if form == "netloc"
           else f"redis://{host}?username={user_with_password}&password={SECRET}")
    with zelvane.connect(url, namespace="zt-credentials") as remote:
        handle = remote.open_memory("x")
        try:
            for thing in (remote, handle):
                with pytest.raises(TypeError) as info:
                    pickle.dumps(thing)
                assert "connect(url) in the receiving process" in str(info.value)
                assert SECRET not in str(info.value)
        finally:
            remote.remove_memory("x")


def test_asyncio_clients_refuse_to_pickle(redis_server):
    import asyncio
    from zelvane import aio

    async def scenario():
        remote = await aio.connect(redis_server.url, namespace="zt-aio-pickle")
        try:
            with pytest.raises(TypeError, match="Connect in the receiving process"):
                pickle.dumps(remote)
        finally:
            await remote.close()

    asyncio.run(asyncio.wait_for(scenario(), TIMEOUT))
