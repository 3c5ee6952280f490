"""zelvane.Executor: futures over a served function, posted without a
thread per call."""
import asyncio
import concurrent.futures
import multiprocessing

import pytest
import zelvane

from conftest import TIMEOUT, spawn_python, wait_until
from shm_util import pool_servers

POOL_SERVER = """
import sys, time, zelvane
name, gate = sys.argv[1], sys.argv[2]
def work(*args, **kwargs):
    if args[:1] == ("hold",):
        # Holds its server until the test opens the gate.
        deadline = time.monotonic() + 60
        while zelvane.read_memory(gate) != "open" and time.monotonic() < deadline:
            time.sleep(0.005)
        return "held"
    if args[:1] == ("fail",):
        raise KeyError(args[1])
    return (args[0] * 2 + kwargs.get("plus", 0), args[0])
zelvane.serve(name, work)
"""


class Pool:
    """Pool servers of one name in child processes, killed at teardown."""

    def __init__(self, shm_name):
        self.name = shm_name("fn")
        self.gate = shm_name("gate")
        zelvane.write_memory(self.gate, "closed")
        self.procs = []

    def start(self, count):
        for _ in range(count):
            self.procs.append(spawn_python(POOL_SERVER, self.name, self.gate))
        zelvane.open_function(self.name, wait=TIMEOUT).close()
        wait_until(lambda: pool_servers(self.name) >= count, what="the servers")
        return self

    def open_gate(self):
        zelvane.write_memory(self.gate, "open")

    def kill(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
            proc.communicate(timeout=TIMEOUT)


@pytest.fixture
def pool(shm_name):
    made = Pool(shm_name)
    yield made
    made.open_gate()
    made.kill()


def test_a_thousand_futures_over_a_pool_of_two(pool):
    pool.start(2)
    with zelvane.Executor(pool.name) as executor:
        futures = [executor.submit(i, plus=1) for i in range(1000)]
        for future in concurrent.futures.as_completed(futures, timeout=TIMEOUT):
            assert future.exception() is None
        assert [future.result() for future in futures] == [(2 * i + 1, i) for i in range(1000)]
        assert list(executor.map(range(1000), timeout=TIMEOUT)) == [(2 * i, i) for i in range(1000)]
    handle = zelvane.open_function(pool.name)
    assert handle.submit(20, plus=2).result(TIMEOUT) == (42, 20)


def test_exceptions_and_argument_errors_reach_their_future(pool):
    pool.start(1)
    with zelvane.Executor(pool.name) as executor:
        failing = executor.submit("fail", "key")
        bad = executor.submit(object())
        good = executor.submit(3)
        assert isinstance(failing.exception(TIMEOUT), KeyError)
        assert isinstance(bad.exception(TIMEOUT), ValueError)
        assert good.result(TIMEOUT) == (6, 3)


def test_cancel_withdraws_queued_calls_and_running_ones_complete(pool):
    pool.start(1)
    executor = zelvane.Executor(pool.name, max_in_flight=1)
    running = executor.submit("hold")
    queued = [executor.submit(i) for i in range(5)]
    wait_until(running.running, what="the held call to be posted")
    assert not running.cancel()
    assert all(future.cancel() for future in queued[1:])
    pool.open_gate()
    done, _ = concurrent.futures.wait(queued[1:], timeout=TIMEOUT)
    assert done == set(queued[1:])  # those waiting for them learn of it
    assert running.result(TIMEOUT) == "held"
    assert queued[0].result(TIMEOUT) == (0, 0)
    assert all(future.cancelled() for future in queued[1:])
    executor.shutdown()
    with pytest.raises(RuntimeError, match="after shutdown"):
        executor.submit(1)


def test_shutdown_cancels_what_is_not_posted(pool):
    pool.start(1)
    executor = zelvane.Executor(pool.name, max_in_flight=1)
    running = executor.submit("hold")
    queued = [executor.submit(i) for i in range(20)]
    wait_until(running.running, what="the held call to be posted")
    executor.shutdown(wait=False, cancel_futures=True)
    pool.open_gate()
    executor.shutdown(wait=True)
    assert running.result(0) == "held"
    assert all(future.cancelled() for future in queued)


def test_a_killed_server_fails_every_pending_future_as_a_call_would(pool):
    pool.start(1)
    executor = zelvane.Executor(pool.name)
    held = executor.submit("hold")
    queued = [executor.submit(i) for i in range(50)]
    wait_until(held.running, what="the held call to be posted")
    pool.kill()
    errors = [future.exception(TIMEOUT) for future in [held] + queued]
    with pytest.raises(Exception) as synchronous:
        zelvane.open_function(pool.name)(1)
    assert {(type(error), str(error)) for error in errors} == {(type(synchronous.value), str(synchronous.value))}
    executor.shutdown()


def test_a_forked_child_uses_the_parents_executor_afresh(pool):
    pool.start(1)
    executor = zelvane.Executor(pool.name)
    held = executor.submit("hold")  # the parent's driver busy as it forks
    context = multiprocessing.get_context("fork")
    results = context.Queue()

    def child():
        results.put([future.result(TIMEOUT) for future in [executor.submit(i) for i in range(20)]])

    pool.open_gate()
    proc = context.Process(target=child)
    proc.start()
    try:
        assert results.get(timeout=TIMEOUT) == [(2 * i, i) for i in range(20)]
    finally:
        proc.join(TIMEOUT)
        if proc.is_alive():
            proc.kill()
    assert held.result(TIMEOUT) == "held"
    assert executor.submit(2).result(TIMEOUT) == (4, 2)
    executor.shutdown()


def test_run_in_executor_takes_the_executors_call(pool):
    pool.start(2)
    executor = zelvane.Executor(pool.name)

    async def scenario():
        loop = asyncio.get_running_loop()
        results = await asyncio.gather(*(loop.run_in_executor(executor, executor.call, i) for i in range(50)))
        assert results == [(2 * i, i) for i in range(50)]
        with pytest.raises(TypeError, match="pass executor.call"):
            await loop.run_in_executor(executor, print, 1)

    asyncio.run(asyncio.wait_for(scenario(), TIMEOUT))
    executor.shutdown()


@pytest.mark.parametrize("kwargs, error", [
    ({"max_in_flight": 0}, ValueError),
    ({"max_in_flight": 1.5}, TypeError),
    ({"max_in_flight": True}, TypeError),
])
def test_executor_arguments(pool, kwargs, error):
    pool.start(1)
    with pytest.raises(error, match="max_in_flight"):
        zelvane.Executor(pool.name, **kwargs)


def test_an_executor_of_a_missing_name_fails_at_once(shm_name):
    with pytest.raises(MemoryError):
        zelvane.Executor(shm_name("missing"))
