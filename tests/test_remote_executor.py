"""Remote.Executor: futures over a function served through Redis, posted in
batches by one thread and withdrawn from the pool's queue by cancel()."""
import asyncio
import concurrent.futures
import threading
import time
import uuid

import pytest

import zelvane

from conftest import CHILD_PRELUDE, TIMEOUT, finish, spawn_python, wait_until
from redis_util import redis_server  # noqa: F401 (fixtures)

pytestmark = pytest.mark.timeout(180)

SERVER = CHILD_PRELUDE + """
import sys, time, zelvane
z = zelvane.connect(sys.argv[1], namespace=sys.argv[2])
def work(*args, **kwargs):
    if args[:1] == ("hold",):
        # Holds its server until the test opens the gate.
        z.write_memory("started", True)
        deadline = time.monotonic() + 60
        while z.read_memory("gate") != "open" and time.monotonic() < deadline:
            time.sleep(0.01)
        return "held"
    if args[:1] == ("fail",):
        raise KeyError(args[1])
    if kwargs.pop("noted", False):
        z.open_memory("ran").update(lambda seen: seen + [args[0]])
    return (args[0] * 2 + kwargs.get("plus", 0), args[0])
z.serve("fn", work)
"""


class Pool:
    """Servers of the function "fn" in a namespace of its own, killed at teardown."""

    def __init__(self, url):
        self.url = url
        self.namespace = f"zt-{uuid.uuid4().hex[:12]}"
        self.z = zelvane.connect(url, namespace=self.namespace)
        self.z.write_memory("gate", "closed")
        self.z.write_memory("started", False)
        self.z.write_memory("ran", [])
        self.procs = []

    def start(self, count):
        for _ in range(count):
            self.procs.append(spawn_python(SERVER, self.url, self.namespace))
        self.z.open_function("fn", wait=TIMEOUT, servers=len(self.procs)).close()
        return self

    def hold(self, executor):
        """A call that holds a server until open_gate(), once a server has it."""
        held = executor.submit("hold")
        wait_until(lambda: self.z.read_memory("started"), what="the held call to be taken")
        return held

    def open_gate(self):
        self.z.write_memory("gate", "open")

    def ran(self):
        return self.z.read_memory("ran")

    def kill(self):
        for proc in self.procs:
            proc.kill()
            finish(proc)

    def cleanup(self):
        self.kill()
        client = self.z._client
        for key in client.scan_iter(match=f"{{{self.namespace}:*"):
            client.delete(key)
        self.z.close()


@pytest.fixture
def pool(redis_server):
    made = Pool(redis_server.url)
    yield made
    made.open_gate()
    made.cleanup()


def test_a_thousand_futures_over_a_pool_of_two(pool):
    pool.start(2)
    with pool.z.Executor("fn") as executor:
        assert isinstance(executor, zelvane.Executor)
        futures = [executor.submit(i, plus=1) for i in range(1000)]
        for future in concurrent.futures.as_completed(futures, timeout=TIMEOUT):
            assert future.exception() is None
        assert [future.result() for future in futures] == [(2 * i + 1, i) for i in range(1000)]
        assert list(executor.map(range(1000), timeout=TIMEOUT)) == [(2 * i, i) for i in range(1000)]
    handle = pool.z.open_function("fn")
    assert handle.submit(20, plus=2).result(TIMEOUT) == (42, 20)
    with pytest.raises(RuntimeError, match="after shutdown"):
        executor.submit(1)


@pytest.mark.parametrize("args, kwargs", [
    (("fail", "key"), {}),        # the server's exception, with its class
    ((object(),), {}),            # an argument that does not encode
    ((1,), {"timeout": "soon"}),  # a time limit of the wrong type
    ((1,), {"timeout": -1}),
])
def test_each_future_fails_as_the_call_would(pool, args, kwargs):
    pool.start(1)
    handle = pool.z.open_function("fn")
    with pytest.raises(Exception) as synchronous:
        handle(*args, **kwargs)
    with pool.z.Executor("fn") as executor:
        error = executor.submit(*args, **kwargs).exception(TIMEOUT)
        assert executor.submit(3).result(TIMEOUT) == (6, 3)
    assert (type(error), str(error)) == (type(synchronous.value), str(synchronous.value))


@pytest.mark.parametrize("max_in_flight", [None, 1], ids=["waiting-in-redis", "waiting-here"])
def test_cancel_withdraws_calls_not_taken_and_taken_ones_complete(pool, max_in_flight):
    pool.start(1)
    executor = pool.z.Executor("fn", max_in_flight=max_in_flight)
    held = pool.hold(executor)
    queued = [executor.submit(i, noted=True) for i in range(6)]
    assert not held.cancel()
    assert all(future.cancel() for future in queued[1:])
    done, _ = concurrent.futures.wait(queued[1:], timeout=TIMEOUT)
    assert done == set(queued[1:])  # those waiting for them learn of it
    pool.open_gate()
    assert held.result(TIMEOUT) == "held"
    assert queued[0].result(TIMEOUT) == (0, 0)
    assert all(future.cancelled() for future in queued[1:])
    executor.shutdown()
    assert pool.ran() == [0]


@pytest.mark.parametrize("cancel", ["future", "shutdown"])
def test_cancel_while_the_post_is_on_its_way_still_withdraws(pool, cancel):
    pool.start(1)
    executor = pool.z.Executor("fn")
    held = pool.hold(executor)
    posting = threading.Event()
    post = executor._posted_replies

    def slow_post(calls):
        posting.set()
        time.sleep(0.5)  # the cancel below goes out meanwhile
        return post(calls)

    executor._posted_replies = slow_post
    queued = [executor.submit(i, noted=True) for i in range(3)]
    assert posting.wait(TIMEOUT)
    if cancel == "future":
        assert all(future.cancel() for future in queued)
    else:
        executor.shutdown(wait=False, cancel_futures=True)
        assert all(future.cancelled() for future in queued)
    pool.open_gate()
    assert held.result(TIMEOUT) == "held"
    executor.shutdown()
    assert pool.ran() == []


def test_shutdown_cancels_what_no_server_took(pool):
    pool.start(1)
    executor = pool.z.Executor("fn")
    held = pool.hold(executor)
    queued = [executor.submit(i, noted=True) for i in range(20)]
    executor.shutdown(wait=False, cancel_futures=True)
    assert all(future.cancelled() for future in queued)
    pool.open_gate()
    executor.shutdown(wait=True)
    assert held.result(0) == "held"
    assert list(concurrent.futures.as_completed(queued, timeout=TIMEOUT))
    assert pool.ran() == []


def test_a_killed_server_fails_every_pending_future_as_a_call_would(pool):
    pool.start(1)
    executor = pool.z.Executor("fn", max_in_flight=10)
    held = pool.hold(executor)
    queued = [executor.submit(i) for i in range(50)]
    pool.kill()
    errors = [future.exception(TIMEOUT) for future in [held] + queued]
    with pytest.raises(Exception) as synchronous:
        pool.z.open_function("fn")(1)
    assert {(type(error), str(error)) for error in errors} == {(type(synchronous.value), str(synchronous.value))}
    executor.shutdown()


def test_a_time_limit_fails_its_future_and_withdraws_the_call(pool):
    pool.start(1)
    executor = pool.z.Executor("fn")
    held = pool.hold(executor)
    late = executor.submit(1, noted=True, timeout=0.3)
    with pytest.raises(TimeoutError) as synchronous:
        pool.z.open_function("fn")(2, timeout=0.3)
    error = late.exception(TIMEOUT)
    assert (type(error), str(error)) == (TimeoutError, str(synchronous.value))
    pool.open_gate()
    assert held.result(TIMEOUT) == "held"
    assert executor.submit(3, noted=True).result(TIMEOUT) == (6, 3)
    executor.shutdown()
    assert pool.ran() == [3]


def test_run_in_executor_takes_the_executors_call(pool):
    pool.start(2)
    executor = pool.z.Executor("fn")

    async def scenario():
        loop = asyncio.get_running_loop()
        results = await asyncio.gather(*(loop.run_in_executor(executor, executor.call, i) for i in range(50)))
        assert results == [(2 * i, i) for i in range(50)]

    asyncio.run(asyncio.wait_for(scenario(), TIMEOUT))
    executor.shutdown()


def test_an_executor_of_a_missing_name_fails_at_once(pool):
    with pytest.raises(MemoryError, match="No function 'missing' is served"):
        pool.z.Executor("missing")
    with pytest.raises(ValueError, match="max_in_flight"):
        pool.z.Executor("missing", max_in_flight=0)


@pytest.mark.parametrize("posted", [True, False], ids=["lost-after-posting", "lost-before-posting"])
def test_a_batch_whose_connection_was_lost_is_never_posted_twice(pool, monkeypatch, posted):
    import redis
    from zelvane._remote_wire import Wire
    pool.start(1)
    run_many, lost = Wire.run_many, []

    def losing(wire, script, calls):
        if lost:
            return run_many(wire, script, calls)
        lost.append(len(calls))
        if posted:
            run_many(wire, script, calls)
        wire._drop(None)
        raise redis.ConnectionError("Connection reset by peer")
    monkeypatch.setattr(Wire, "run_many", losing)
    with pool.z.Executor("fn") as executor:
        futures = [executor.submit(i, noted=True) for i in range(20)]
        outcomes = [(future.exception(TIMEOUT), future) for future in futures]
        assert executor.submit(100, noted=True).result(TIMEOUT) == (200, 100)
    first = lost[0]
    if posted:
        assert [future.result() for _, future in outcomes] == [(2 * i, i) for i in range(20)]
        assert sorted(pool.ran()) == list(range(20)) + [100]
    else:
        errors = {str(error) for error, _ in outcomes[:first]}
        assert errors == {"The connection to Redis was lost during the call of 'fn', which may or may not have "
                          f"run: Cannot reach Redis at {pool.url}: Connection reset by peer"}
        assert [future.result() for _, future in outcomes[first:]] == [(2 * i, i) for i in range(first, 20)]
        assert sorted(pool.ran()) == list(range(first, 20)) + [100]
