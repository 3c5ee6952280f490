"""Callers of one served function queue first come, first served, and a
handle calls it with a time limit."""
import os
import signal
import struct
import textwrap

import pytest
import zelvane

from conftest import finish, run_python, shm_path, spawn_python, wait_until, taken_over
from test_function_robustness import process_state

pytestmark = pytest.mark.timeout(180)

QUEUE_TAIL = 48  # the next ticket to hand out, after the queue's head at 44

# The callable logs each argument; "hold" waits for the flags dir's 'release'.
LOGGING_SETUP = """
FLAGS = {flags!r}
def logged(x):
    with open(os.path.join(FLAGS, "log"), "a") as log:
        log.write(x + "\\n")
    if x == "hold":
        open(os.path.join(FLAGS, "started"), "w").close()
        while not os.path.exists(os.path.join(FLAGS, "release")):
            time.sleep(0.01)
    return x
"""

CALLER = textwrap.dedent("""
    import sys, zelvane
    name, arg = sys.argv[1], sys.argv[2]
    try:
        print("result", zelvane.call_function(name, (arg,)), flush=True)
    except BaseException as exc:
        print("raised", type(exc).__name__, flush=True)
""")


def queue_tail(name):
    with open(shm_path(name), "rb") as f:
        return struct.unpack_from("<I", f.read(), QUEUE_TAIL)[0]


@pytest.fixture
def held(serve, tmp_path):
    """A server whose callable is busy with a call that waits for 'release'.
    Yields (server, flags dir, the holding caller)."""
    server = serve("logged", setup=LOGGING_SETUP.format(flags=str(tmp_path)))
    holder = spawn_python(CALLER, server.name, "hold")
    wait_until((tmp_path / "started").exists)
    yield server, tmp_path, holder
    (tmp_path / "release").touch()
    finish(holder)


def queue_callers(name, args):
    """Starts a caller per argument, each only once the one before it queued."""
    callers = []
    for arg in args:
        tail = queue_tail(name)
        callers.append(spawn_python(CALLER, name, arg))
        wait_until(lambda: queue_tail(name) != tail, what=f"caller {arg} to queue")
    return callers


def test_callers_are_served_in_the_order_they_queued(held):
    server, flags, holder = held
    order = [f"c{i}" for i in range(5)]
    callers = queue_callers(server.name, order)
    (flags / "release").touch()
    assert [finish(c) for c in callers] == [f"result {arg}\n" for arg in order]
    assert (flags / "log").read_text().split() == ["hold"] + order
    assert finish(holder) == "result hold\n"


@pytest.mark.parametrize("how", ["killed", "interrupted", "stopped"])
def test_a_queued_caller_that_leaves_does_not_block_the_next(held, how):
    server, flags, holder = held
    leaving, after = queue_callers(server.name, ["leaving", "after"])
    if how == "killed":
        leaving.kill()
    elif how == "interrupted":
        leaving.send_signal(signal.SIGINT)
        assert finish(leaving) == "raised KeyboardInterrupt\n"
    else:
        leaving.send_signal(signal.SIGSTOP)
        wait_until(lambda: process_state(leaving.pid) == "T", what="the caller to stop")
    try:
        (flags / "release").touch()
        assert finish(after) == "result after\n"
        assert "leaving" not in (flags / "log").read_text().split()
    finally:
        if how == "stopped":
            leaving.send_signal(signal.SIGCONT)
        # A stopped caller passed over queues again and is served in its turn.
        expected = "result leaving\n" if how == "stopped" else None
        output = finish(leaving)
        if expected:
            assert output == expected


def test_a_time_limit_on_a_queued_call_leaves_the_record_usable(held):
    server, flags, holder = held
    with zelvane.open_function(server.name) as handle:
        with pytest.raises(TimeoutError):
            handle("late", timeout=0.3)
        (flags / "release").touch()
        assert finish(holder) == "result hold\n"
        assert handle("next") == "next"
    assert "late" not in (flags / "log").read_text().split()


def test_a_time_limit_on_a_call_in_flight_drops_its_reply(serve, tmp_path):
    server = serve("logged", setup=LOGGING_SETUP.format(flags=str(tmp_path)))
    with zelvane.open_function(server.name) as handle:
        with pytest.raises(TimeoutError):
            handle("hold", timeout=0.5)
        assert (tmp_path / "started").exists()
        (tmp_path / "release").touch()
        # The abandoned call's reply never reaches the next call.
        assert handle("own") == "own"
        assert zelvane.call_function(server.name, ("plain",)) == "plain"


def test_a_handle_calls_like_call_function(serve):
    server = serve("lambda *args: args")
    with zelvane.open_function(server.name) as handle:
        assert handle() == ()
        assert handle(1, "a", timeout=5) == (1, "a")
        assert repr(handle) == f"<zelvane.FunctionHandle name={server.name!r} open>"
        assert handle.name == server.name and handle.closed is False
        # Unlike call_function, a handle is not bound by the message area.
        assert handle(b"x" * 1100) == (b"x" * 1100,)
        with pytest.raises(TypeError):
            handle(1, bogus=2)
        with pytest.raises(ValueError):
            handle(1, timeout=-1)
    assert handle.closed is True
    assert repr(handle) == f"<zelvane.FunctionHandle name={server.name!r} closed>"
    with pytest.raises(ValueError):
        handle(1)
    with pytest.raises(MemoryError) as info:
        zelvane.open_function(server.name + "_missing")
    assert str(info.value) == (f"No function '{server.name}_missing' is served; open_function(name, wait=seconds) "
                               "waits for a server")
    with pytest.raises(TypeError):
        zelvane.FunctionHandle()


def test_a_handle_follows_the_name_after_a_stop_and_a_death(serve):
    first = serve("lambda: 'first'")
    handle = zelvane.open_function(first.name)
    assert handle() == "first"
    assert zelvane.remove_function(first.name) is True
    assert first.finish()[0] == 0
    # The stopped record answers as call_function would have; then the name
    # is looked up again.
    with pytest.raises((RuntimeError, MemoryError)):
        handle()
    second = serve("lambda: 'second'", name=first.name)
    assert handle() == "second"
    second.kill()
    with pytest.raises(RuntimeError) as info:
        handle()
    assert str(info.value) == f"Nobody serves the function '{first.name}' any more: its serving process has ended."
    dead = os.stat(shm_path(first.name)).st_ino
    serve("lambda: 'third'", name=first.name)
    wait_until(lambda: taken_over(first.name, dead), what="the record to be taken over")
    assert handle() == "third"
    handle.close()


def test_a_handle_works_in_a_forked_child(serve):
    server = serve("lambda x: x * 2")
    handle = zelvane.open_function(server.name)
    assert handle(1) == 2
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.write(write, repr(handle(21)).encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read) as f:
        assert f.read() == "42"
    assert os.waitpid(pid, 0)[1] == 0
    assert handle(2) == 4
    handle.close()


# A caller in a child process of its own, whose CPU time it reports.
SLOW_CALLS_CPU = """
import resource, sys
import zelvane
NAME, HOW, CALLS = {name!r}, {how!r}, {calls}
if HOW == "handle":
    call = zelvane.open_function(NAME)
else:
    call = lambda x: zelvane.call_function(NAME, (x,))
def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
start = cpu_seconds()
results = [call(i) for i in range(CALLS)]
print(cpu_seconds() - start, results == list(range(1, CALLS + 1)))
"""


@pytest.mark.parametrize("how", ["call_function", "handle"])
def test_a_slow_server_costs_its_caller_no_cpu_time(serve, how):
    # Each call takes 40 ms; a caller that watched for its reply all along
    # would spend about that much CPU time on it, one that sleeps next to none.
    calls = 25
    server = serve("lambda x: time.sleep(0.04) or x + 1")
    child = run_python(SLOW_CALLS_CPU.format(name=server.name, how=how, calls=calls))
    assert child.returncode == 0, child.stderr
    cpu, all_right = child.stdout.split()
    assert all_right == "True"
    assert float(cpu) < calls * 0.004, cpu
