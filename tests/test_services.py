"""Services: pools of servers under one name (zelvane.serve), exceptions that
travel back to their caller, and serving that survives a bad call."""
import json
import os
import pathlib
import signal
import subprocess
import sys
import threading

import pytest
import zelvane

from shm_util import pool_servers
from conftest import TIMEOUT, finish, shm_path, spawn_python, wait_until

pytestmark = pytest.mark.timeout(180)

POOL_SERVER = """
import os, sys, time
import zelvane
NAME = {name!r}
calls = 0
{setup}
def counted(*args):
    global calls
    calls += 1
    return func(*args)
try:
    result = zelvane.serve(NAME, counted)
except BaseException as exc:
    print("raised", type(exc).__name__, calls, flush=True)
    sys.exit(3)
print("returned", repr(result), calls, flush=True)
"""

HANG_OR_ECHO = """
def func(x):
    if x == "hang":
        zelvane.write_memory(NAME + "_busy", os.getpid())
        time.sleep(1000)
    time.sleep(0.002)
    return (x, os.getpid())
"""


@pytest.fixture
def pool(shm_name):
    """Starts server processes of a pool and waits until each has joined;
    kills whatever still runs at teardown."""
    procs = []

    def start(count, setup=HANG_OR_ECHO, name=None):
        name = name or shm_name("pool")
        for joined in range(1, count + 1):
            procs.append(spawn_python(POOL_SERVER.format(name=name, setup=setup)))
            wait_until(lambda: pool_servers(name) >= joined, what="the server to join")
        return name, list(procs[-count:])

    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
        proc.communicate(timeout=TIMEOUT)


def run_threads(target, count):
    """Runs `target(i)` in `count` threads; returns their results (or exceptions) in order."""
    results = [None] * count

    def run(i):
        try:
            results[i] = target(i)
        except BaseException as exc:  # reported to the test, never lost
            results[i] = exc

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a caller hung"
    return results


def stop_pool(name, procs):
    """Stops the pool; returns each server's last line."""
    assert zelvane.remove_function(name) is True
    return [finish(proc).strip() for proc in procs]


def test_a_pool_of_processes_answers_every_call_once(pool):
    name, procs = pool(2)
    results = run_threads(lambda i: [zelvane.call_function(name, (i * 100 + k,)) for k in range(20)], 4)
    pids = {proc.pid for proc in procs}
    for i, answers in enumerate(results):
        assert [x for x, _ in answers] == [i * 100 + k for k in range(20)]
        assert {pid for _, pid in answers} <= pids
    lines = stop_pool(name, procs)
    assert all(line.startswith("returned None") for line in lines)
    assert sum(int(line.split()[-1]) for line in lines) == 80
    assert not os.path.exists(shm_path(name))


def test_a_pool_of_threads_answers_every_call(shm_name):
    name = shm_name("threads")
    served = []
    servers = run_in_background(lambda: served.append(zelvane.serve(name, lambda x: (x, threading.get_ident()))), 3)
    try:
        wait_until(lambda: pool_servers(name) == 3, what="the servers to join")
        results = run_threads(lambda i: [zelvane.call_function(name, ((i, k),)) for k in range(30)], 3)
        for i, answers in enumerate(results):
            assert [x for x, _ in answers] == [(i, k) for k in range(30)]
    finally:
        zelvane.remove_function(name)
        for thread in servers:
            thread.join(TIMEOUT)
    assert served == [None, None, None]
    assert not os.path.exists(shm_path(name))


def run_in_background(target, count):
    threads = [threading.Thread(target=target, daemon=True) for _ in range(count)]
    for thread in threads:
        thread.start()
    return threads


class Unencodable:
    pass


class ServiceError(Exception):
    pass


def failing(kind, *args):
    if kind == "zero":
        return 1 / 0
    if kind == "key":
        raise KeyError("missing", 7)
    if kind == "unencodable-args":
        raise ValueError(Unencodable())
    if kind == "user":
        raise ServiceError("went wrong", 3)
    if kind == "unencodable-result":
        return Unencodable()
    if kind == "large-result":
        return "x" * 5000
    return ("ok", kind, *args)


@pytest.fixture
def thread_pool(shm_name):
    """Serves `failing` from two threads of this process; stops them at teardown."""
    name = shm_name("fail")
    servers = run_in_background(lambda: zelvane.serve(name, failing), 2)
    wait_until(lambda: pool_servers(name) == 2, what="the servers to join")
    yield name
    zelvane.remove_function(name)
    for thread in servers:
        thread.join(TIMEOUT)
    assert not any(thread.is_alive() for thread in servers)


@pytest.mark.parametrize("args, raised, text", [
    (("zero",), ZeroDivisionError, "division by zero"),
    (("key",), KeyError, "('missing', 7)"),
    (("unencodable-args",), zelvane.RemoteError, "builtins.ValueError: <"),
    # The caller has the class, in the module it imported: raised as itself.
    (("user",), ServiceError, "('went wrong', 3)"),
    ((), TypeError, "missing 1 required positional argument"),
    (("unencodable-result",), ValueError, "unsupported"),
    (("large-result",), ValueError, "The returned value exceeds the maximum accepted return size of 1024 bytes."),
])
def test_an_exception_goes_back_to_its_caller_and_serving_goes_on(thread_pool, args, raised, text):
    with pytest.raises(raised) as info:
        zelvane.call_function(thread_pool, args)
    assert text in str(info.value)
    cause = info.value.__cause__
    assert isinstance(cause, zelvane.RemoteTraceback)
    remote_class = text.split(":")[0].rsplit(".")[-1] if raised is zelvane.RemoteError else raised.__name__
    assert f"{remote_class}: " in str(cause)
    assert zelvane.call_function(thread_pool, ("next", 1)) == ("ok", "next", 1)


def test_builtin_exceptions_keep_their_arguments(thread_pool):
    with pytest.raises(KeyError) as info:
        zelvane.call_function(thread_pool, ("key",))
    assert info.value.args == ("missing", 7)
    assert isinstance(zelvane.RemoteError("x"), RuntimeError)


def test_the_remote_traceback_names_the_failing_line(thread_pool):
    with pytest.raises(ZeroDivisionError) as info:
        zelvane.call_function(thread_pool, ("zero",))
    assert "Traceback (most recent call last)" in str(info.value.__cause__)
    assert "return 1 / 0" in str(info.value.__cause__)


RAISE_TEXT = """
class Failure(Exception):
    pass
def func(kind, piece, count):
    text = piece * count  # made here: the caller's arguments have a limit of their own
    if kind == "builtin":
        raise ValueError(text)
    if kind == "own":
        raise Failure(text)
    return text
"""


def shortened_prefix(text, whole):
    """Whether `text` is a non-empty start of `whole` cut to fit a report."""
    return 0 < len(text.encode("utf-8")) <= 200 and whole.startswith(text)


@pytest.mark.parametrize("piece, count", [("\U0001F600", 300), ("\u0436", 400), ("\u0436x\U0001F600", 150)],
                         ids=["emoji", "cyrillic", "mixed"])
def test_a_long_non_ascii_exception_goes_back_shortened_and_serving_goes_on(pool, piece, count):
    name, (server,) = pool(1, setup=RAISE_TEXT)
    whole = piece * count
    with zelvane.open_function(name) as handle:
        for call in (lambda *args: zelvane.call_function(name, args), handle):
            with pytest.raises(ValueError) as info:
                call("builtin", piece, count)
            assert type(info.value) is ValueError and len(info.value.args) == 1
            assert shortened_prefix(info.value.args[0], whole)
            assert isinstance(info.value.__cause__, zelvane.RemoteTraceback)
            # The traceback's last lines: the final one ends with the whole text.
            assert str(info.value.__cause__).endswith(whole[-10:] + "\n")
            with pytest.raises(zelvane.RemoteError) as info:
                call("own", piece, count)
            prefix = "__main__.Failure: "
            assert str(info.value).startswith(prefix)
            assert shortened_prefix(str(info.value)[len(prefix):], whole)
            assert call("echo", piece, 2) == piece * 2
    assert server.poll() is None and pool_servers(name) == 1


def test_a_handle_takes_a_large_result_and_exceptions(thread_pool):
    with zelvane.open_function(thread_pool) as handle:
        assert handle("large-result") == "x" * 5000
        with pytest.raises(ServiceError) as info:
            handle("user")
        assert info.value.args == ("went wrong", 3)
        assert handle("again") == ("ok", "again")


def test_a_server_killed_mid_call_fails_only_its_call(pool):
    name, procs = pool(2)
    busy = name + "_busy"
    try:
        outcome = run_threads(lambda i: hung_call(name, busy, procs), 1)[0]
        assert isinstance(outcome, RuntimeError)
        assert "Nobody serves the function" in str(outcome)
        survivor = [proc for proc in procs if proc.poll() is None]
        assert len(survivor) == 1
        assert zelvane.call_function(name, (5,)) == (5, survivor[0].pid)
        assert stop_pool(name, survivor)[0].startswith("returned None")
    finally:
        zelvane.remove_memory(busy)


def hung_call(name, busy, procs):
    """Calls "hang" and, once a server runs it, kills that server."""
    killer = threading.Thread(target=kill_busy_server, args=(busy,))
    killer.start()
    try:
        return zelvane.call_function(name, ("hang",))
    finally:
        killer.join(TIMEOUT)


def kill_busy_server(busy):
    wait_until(lambda: os.path.exists(shm_path(busy)) and zelvane.read_memory(busy), what="a busy server")
    os.kill(zelvane.read_memory(busy), signal.SIGKILL)


def test_ctrl_c_ends_one_server_and_the_last_removes_the_name(pool):
    name, procs = pool(2)
    first, second = procs
    first.send_signal(signal.SIGINT)
    assert finish(first).startswith("raised KeyboardInterrupt")
    assert first.returncode == 3
    assert pool_servers(name) == 1
    assert zelvane.call_function(name, (1,)) == (1, second.pid)
    second.send_signal(signal.SIGINT)
    assert finish(second).startswith("raised KeyboardInterrupt")
    assert not os.path.exists(shm_path(name))


def test_remove_function_with_callers_queued_stops_every_server(pool):
    slow = "def func(x):\n    time.sleep(0.3)\n    return (x, os.getpid())\n"
    name, procs = pool(2, setup=slow)
    callers = []
    results = [None] * 6

    def call(i):
        try:
            results[i] = zelvane.call_function(name, (i,))
        except RuntimeError as exc:
            results[i] = exc

    for i in range(6):
        callers.append(threading.Thread(target=call, args=(i,)))
        callers[-1].start()
    zelvane.remove_function(name)
    for thread in callers:
        thread.join(TIMEOUT)
    assert not any(thread.is_alive() for thread in callers)
    assert all(isinstance(r, RuntimeError) or r[0] == i for i, r in enumerate(results))
    assert all(finish(proc).startswith("returned None") for proc in procs)
    assert not os.path.exists(shm_path(name))


def test_serve_and_create_function_refuse_each_others_names(pool, serve, shm_name):
    pooled, _ = pool(1)
    with pytest.raises(MemoryError, match=f"The memory address '{pooled}' already exists."):
        zelvane.create_function(pooled, print)
    single = serve("lambda x: x").name
    with pytest.raises(MemoryError, match=f"The memory address '{single}' already exists."):
        zelvane.serve(single, print)
    slot = shm_name("slot")
    zelvane.write_memory(slot, 1)
    with pytest.raises(MemoryError, match=f"The memory address '{slot}' already exists."):
        zelvane.serve(slot, print)
    assert zelvane.read_memory(slot) == 1


def test_a_pool_whose_servers_died_is_served_again(pool):
    name, procs = pool(1)
    procs[0].kill()
    procs[0].communicate(timeout=TIMEOUT)
    name, procs = pool(1, name=name)
    assert zelvane.call_function(name, (3,)) == (3, procs[0].pid)


def keywords(a, b=2, *, c=3):
    return (a, b, c)


def test_keyword_arguments_reach_a_served_function(shm_name):
    name = shm_name("kw")
    server = run_in_background(lambda: zelvane.serve(name, keywords), 1)[0]
    try:
        with zelvane.open_function(name, wait=TIMEOUT) as handle:
            assert handle(1) == (1, 2, 3)
            assert handle(1, c=9, timeout=TIMEOUT) == (1, 2, 9)
            assert handle(1, b="x" * 3000, c=None)[1] == "x" * 3000
            with pytest.raises(TypeError, match="unexpected keyword argument 'd'"):
                handle(1, d=4)
    finally:
        zelvane.remove_function(name)
        server.join(TIMEOUT)


def test_keyword_arguments_are_refused_for_create_function(serve):
    server = serve("lambda *a: a")
    with zelvane.open_function(server.name) as handle:
        with pytest.raises(TypeError, match="hosted by create_function, which passes no keyword arguments"):
            handle(1, c=2)
        assert handle(1, 2) == (1, 2)
    assert zelvane.remove_function(server.name) is True
    assert server.finish() == (0, "read\nreturned None\n")


def test_open_function_waits_for_the_name_to_be_served(pool, shm_name):
    name = shm_name("later")
    opened = run_threads(lambda i: zelvane.open_function(name, wait=TIMEOUT) if i else pool(1, name=name), 2)
    handle = opened[1]
    assert isinstance(handle, zelvane.FunctionHandle), handle
    with handle:
        assert handle(4)[0] == 4


@pytest.mark.parametrize("wait", [0, 0.2])
def test_open_function_times_out_when_nobody_serves(shm_name, wait):
    name = shm_name("never")
    with pytest.raises(TimeoutError, match=f"Nobody served the function '{name}' within the time given."):
        zelvane.open_function(name, wait=wait)
    with pytest.raises(ValueError, match="wait must be a non-negative"):
        zelvane.open_function(name, wait=-1)


def open_both_ways(name, kind, **kwargs):
    """A handle on `name` opened by the module's open_function, or by
    zelvane.aio's on an event loop of its own."""
    if kind == "sync":
        return zelvane.open_function(name, **kwargs)
    import asyncio
    from zelvane import aio
    return asyncio.run(aio.open_function(name, **kwargs))


@pytest.mark.parametrize("kind", ["sync", "aio"])
def test_open_function_waits_for_as_many_servers_as_asked(pool, shm_name, kind):
    name = shm_name("servers")
    _, first = pool(1, name=name)
    # The second server joins while the opener waits for it.
    joined = run_threads(lambda i: open_both_ways(name, kind, wait=TIMEOUT, servers=2) if i else pool(1, name=name), 2)
    handle = joined[1]
    try:
        assert handle.servers == 2
        with pytest.raises(TimeoutError, match=f"^Fewer than 3 servers served the function '{name}' within the time "
                                               "given.$"):
            open_both_ways(name, kind, wait=0.2, servers=3)
        for servers, error in ((0, ValueError), (-2, ValueError), (1.5, TypeError), ("2", TypeError)):
            with pytest.raises(error):
                open_both_ways(name, kind, wait=0, servers=servers)
        stop_pool(name, first + joined[0][1])
        assert handle.servers == 0
    finally:
        handle.close()
    with pytest.raises(ValueError, match="closed function handle"):
        handle.servers


def test_a_create_function_record_has_one_server(serve):
    server = serve("lambda *a: a")
    with zelvane.open_function(server.name, wait=TIMEOUT, servers=1) as handle:
        assert handle.servers == 1
        assert zelvane.remove_function(server.name) is True
        assert server.finish() == (0, "read\nreturned None\n")
        assert handle.servers == 0


def run_command(*args):
    command_dir = pathlib.Path(__file__).parents[1] / "python"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(command_dir), os.path.dirname(zelvane.__file__)]))
    return subprocess.run([sys.executable, "-m", "zelvane_cli", *args], capture_output=True, text=True, env=env,
                          timeout=TIMEOUT)


def test_the_command_shows_a_pools_servers(pool):
    name, procs = pool(2)
    entry = json.loads(run_command("show", name, "--json").stdout)
    assert (entry["pool"], entry["servers"], entry["served"]) == (True, 2, True)
    stop_pool(name, procs)


def test_the_command_cleans_a_pool_only_once_its_servers_died(pool):
    name, procs = pool(2)
    procs[0].kill()
    procs[0].communicate(timeout=TIMEOUT)
    assert run_command("clean", name).returncode == 0
    assert pool_servers(name) == 1
    procs[1].kill()
    procs[1].communicate(timeout=TIMEOUT)
    assert run_command("clean", name).returncode == 0
    assert not os.path.exists(shm_path(name))


def interrupted():
    raise KeyboardInterrupt


def test_the_last_server_ending_leaves_its_exception_report_to_the_caller(shm_name):
    name = shm_name()
    ended = []

    def serve():
        try:
            zelvane.serve(name, interrupted)
        except KeyboardInterrupt:
            ended.append(True)

    server = threading.Thread(target=serve)
    server.start()
    try:
        wait_until(lambda: pool_servers(name) == 1, what="the server to join")
        with pytest.raises(zelvane.RemoteError, match="KeyboardInterrupt"):
            zelvane.call_function(name, ())
    finally:
        server.join(TIMEOUT)
    assert ended == [True]


class Quiet(Exception):
    def __str__(self):
        return ""


def chained():
    try:
        {}["missing"]
    except KeyError as exc:
        raise ValueError("while looking") from exc


def in_handling():
    try:
        failing("zero")
    except ZeroDivisionError:
        [][1]


def with_note():
    exc = ValueError("noted")
    if hasattr(exc, "add_note"):
        exc.add_note("a note on it")
    raise exc


RAISERS = {
    "nested": lambda: failing("zero"),
    "user": lambda: failing("user"),
    "quiet": lambda: (_ for _ in ()).throw(Quiet()),
    "chained": chained,
    "context": in_handling,
    "noted": with_note,
    "syntax": lambda: compile("x = (", "<served>", "exec"),
}


@pytest.mark.parametrize("kind", sorted(RAISERS))
def test_the_remote_traceback_is_the_servers_formatted_traceback(shm_name, kind):
    import traceback
    formatted = []

    def remember_and_raise(kind):
        try:
            RAISERS[kind]()
        except Exception as exc:
            formatted.append("".join(traceback.format_exception(type(exc), exc, exc.__traceback__)))
            raise

    name = shm_name("tb")
    servers = run_in_background(lambda: zelvane.serve(name, remember_and_raise), 1)
    try:
        wait_until(lambda: pool_servers(name) == 1, what="the server to join")
        for _ in range(2):  # the second time from the server's kept stack
            with pytest.raises(Exception) as info:
                zelvane.call_function(name, (kind,))
            assert str(info.value.__cause__) == formatted[-1]
    finally:
        zelvane.remove_function(name)
        for thread in servers:
            thread.join(TIMEOUT)


def test_a_server_counted_in_the_pool_is_stopped_with_it(shm_name):
    # A server counts once it holds its slot, which may be just before it
    # has seen the pool open: a stop then must end it too, not leave it to
    # make a new pool under the name.
    for attempt in range(150):
        name = shm_name("joining")
        returned = []
        servers = run_in_background(lambda name=name, returned=returned: returned.append(zelvane.serve(name, print)),
                                    2)
        wait_until(lambda: pool_servers(name) == 2, what="both servers to count")
        assert zelvane.remove_function(name) is True
        for thread in servers:
            thread.join(TIMEOUT)
        assert returned == [None, None], f"attempt {attempt}"
        assert not os.path.exists(shm_path(name))
