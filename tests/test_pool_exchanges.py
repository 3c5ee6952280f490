"""A pool carries several exchanges at once, each in an area of its own:
servers run calls side by side, and every outcome of a call (a reply, a
time limit, a dead server, a dead caller) stays with that call's area."""
import json
import os
import signal
import struct
import textwrap
import time

import pytest
import zelvane

from conftest import TIMEOUT, finish, shm_path, spawn_python, wait_until
from test_function_robustness import process_state
from test_services import pool, pool_servers, run_command, run_threads, stop_pool  # noqa: F401 (fixture)

pytestmark = pytest.mark.timeout(180)

# The areas past a pool's record: each a 64-byte head (its word first) and
# a 1024-byte message.
AREAS_AT, AREA_SIZE, AREAS = 1216, 1088, 16
POSTED, EXECUTING, REPLIED = 1, 2, 3
QUEUE_TAIL = 48  # the record's next ticket to hand out

# Every argument is logged in the flags dir as its call starts; "hold-<tag>"
# marks its start there (with the serving pid) and waits for 'release';
# "slow" sleeps; anything else is echoed with the serving pid.
HOLDING_SETUP = """
FLAGS = {flags!r}
def func(x):
    with open(os.path.join(FLAGS, "log"), "a") as log:
        log.write(x + "\\n")
    if x.startswith("hold"):
        started = os.path.join(FLAGS, "started-" + x)
        with open(started + ".tmp", "w") as f:
            f.write(str(os.getpid()))
        os.rename(started + ".tmp", started)
        while not os.path.exists(os.path.join(FLAGS, "release")):
            time.sleep(0.01)
    if x == "slow":
        time.sleep(0.5)
    return (x, os.getpid())
"""

CALLER = textwrap.dedent("""
    import sys, zelvane
    name, arg = sys.argv[1], sys.argv[2]
    print("calling", flush=True)
    try:
        print("result", zelvane.call_function(name, (arg,)), flush=True)
    except BaseException as exc:
        print("raised", type(exc).__name__, flush=True)
""")


def area_states(name):
    with open(shm_path(name), "rb") as f:
        data = f.read()
    return [struct.unpack_from("<I", data, AREAS_AT + i * AREA_SIZE)[0] & 0x7F for i in range(AREAS)]


def queue_tail(name):
    with open(shm_path(name), "rb") as f:
        return struct.unpack_from("<I", f.read(), QUEUE_TAIL)[0]


@pytest.fixture
def holding_pool(pool, tmp_path):
    """Starts a pool of `count` servers of HOLDING_SETUP; releases held calls at teardown."""
    def start(count):
        name, procs = pool(count, setup=HOLDING_SETUP.format(flags=str(tmp_path)))
        return name, procs, tmp_path

    yield start
    (tmp_path / "release").touch()


def test_servers_of_a_pool_run_calls_side_by_side(holding_pool):
    name, procs, flags = holding_pool(2)
    callers = [spawn_python(CALLER, name, tag) for tag in ("hold-a", "hold-b")]
    try:
        # Both calls run at once: neither is released before both started.
        wait_until(lambda: (flags / "started-hold-a").exists() and (flags / "started-hold-b").exists(),
                   what="both calls to run")
        entry = json.loads(run_command("show", name, "--json").stdout)
        assert (entry["servers"], entry["calls_in_flight"]) == (2, 2)
        (flags / "release").touch()
        lines = [finish(caller) for caller in callers]
    finally:
        for caller in callers:
            caller.kill()
            caller.communicate(timeout=TIMEOUT)
    pids = {int(line.split()[-1].rstrip(")")) for line in lines}
    assert pids == {proc.pid for proc in procs}
    assert all(line.splitlines()[-1].startswith("result ('hold-") for line in lines)


def test_more_callers_than_areas_each_get_their_own_results(holding_pool):
    name, procs, _ = holding_pool(2)
    count = AREAS + 8
    results = run_threads(lambda i: [zelvane.call_function(name, (f"{i}-{k}",)) for k in range(25)], count)
    pids = {proc.pid for proc in procs}
    for i, answers in enumerate(results):
        assert [x for x, _ in answers] == [f"{i}-{k}" for k in range(25)]
        assert {pid for _, pid in answers} <= pids
    assert area_states(name) == [0] * AREAS
    assert all(line.startswith("returned None") for line in stop_pool(name, procs))


def test_callers_are_served_in_the_order_they_came_in_areas_and_in_the_queue(holding_pool):
    name, procs, flags = holding_pool(1)
    holder = spawn_python(CALLER, name, "hold-first")
    callers = []
    order = [f"c{i}" for i in range(AREAS + 3)]
    try:
        wait_until((flags / "started-hold-first").exists, what="the server to be held")
        # Each caller starts once the one before it has posted (while areas
        # are free) or queued (once none is).
        for i, arg in enumerate(order):
            tail = queue_tail(name)
            callers.append(spawn_python(CALLER, name, arg))
            if i < AREAS - 1:
                wait_until(lambda: area_states(name).count(POSTED) == i + 1, what=f"caller {arg} to post")
            else:
                wait_until(lambda: queue_tail(name) != tail, what=f"caller {arg} to queue")
        (flags / "release").touch()
        lines = [finish(caller).splitlines()[-1] for caller in callers]
        finish(holder)
    finally:
        for caller in [holder, *callers]:
            caller.kill()
            caller.communicate(timeout=TIMEOUT)
    assert [line.split("'")[1] for line in lines] == order
    assert (flags / "log").read_text().split() == ["hold-first"] + order


def test_a_caller_slow_to_collect_its_reply_holds_nobody_up(holding_pool):
    name, procs, flags = holding_pool(1)
    slow = spawn_python(CALLER, name, "hold-slow")
    try:
        wait_until((flags / "started-hold-slow").exists, what="the held call to run")
        slow.send_signal(signal.SIGSTOP)
        wait_until(lambda: process_state(slow.pid) == "T", what="the caller to stop")
        (flags / "release").touch()
        wait_until(lambda: REPLIED in area_states(name), what="the reply to the stopped caller")
        # Callers that get ahead of it wait for it a while at most.
        answers = run_threads(lambda i: [zelvane.call_function(name, (f"{i}-{k}",))[0] for k in range(200)], 2)
        assert answers == [[f"{i}-{k}" for k in range(200)] for i in range(2)]
        slow.send_signal(signal.SIGCONT)
        assert finish(slow).splitlines()[-1].startswith("result ('hold-slow'")
    finally:
        slow.send_signal(signal.SIGCONT)
        slow.kill()
        slow.communicate(timeout=TIMEOUT)
    assert area_states(name) == [0] * AREAS


def test_late_replies_are_dropped_and_never_reach_another_call(holding_pool):
    name, procs, _ = holding_pool(2)

    def timed_out_then_own(i):
        with zelvane.open_function(name) as handle:
            with pytest.raises(TimeoutError):
                handle("slow", timeout=0.05)
            return [handle(f"{i}-{k}")[0] for k in range(10)]

    for i, answers in enumerate(run_threads(timed_out_then_own, 6)):
        assert answers == [f"{i}-{k}" for k in range(10)]
    wait_until(lambda: area_states(name) == [0] * AREAS, what="the late replies to be dropped")


def test_a_server_killed_mid_call_fails_only_that_call_while_others_go_on(holding_pool):
    name, procs, flags = holding_pool(3)
    held = spawn_python(CALLER, name, "hold-x")
    try:
        wait_until((flags / "started-hold-x").exists, what="the held call to run")
        busy_pid = int((flags / "started-hold-x").read_text())
        survivors = [proc for proc in procs if proc.pid != busy_pid]

        def keep_calling(i):
            if i == 0:
                os.kill(busy_pid, signal.SIGKILL)
                start = time.monotonic()
                line = finish(held).splitlines()[-1]
                return line, time.monotonic() - start
            return [zelvane.call_function(name, (f"{i}-{k}",)) for k in range(40)]

        outcomes = run_threads(keep_calling, 4)
    finally:
        held.kill()
        held.communicate(timeout=TIMEOUT)
    line, took = outcomes[0]
    assert line == "raised RuntimeError"
    assert took < TIMEOUT
    for i, answers in enumerate(outcomes[1:], 1):
        assert [x for x, _ in answers] == [f"{i}-{k}" for k in range(40)]
    assert pool_servers(name) == 2
    assert all(line.startswith("returned None") for line in stop_pool(name, survivors))


def test_a_killed_callers_areas_are_reclaimed(holding_pool):
    name, procs, flags = holding_pool(1)
    holder = spawn_python(CALLER, name, "hold-first")
    callers = []
    try:
        wait_until((flags / "started-hold-first").exists, what="the server to be held")
        # Every other area is claimed by a caller that is then killed.
        for k in range(AREAS - 1):
            callers.append(spawn_python(CALLER, name, f"dead-{k}"))
        wait_until(lambda: area_states(name).count(POSTED) == AREAS - 1, what="every area to be claimed")
        for caller in callers:
            caller.kill()
            caller.communicate(timeout=TIMEOUT)
        # A new caller finds no free area: it frees the dead callers' and
        # claims one; their calls are never run.
        callers.append(spawn_python(CALLER, name, "new"))
        wait_until(lambda: sorted(area_states(name)) == [0] * (AREAS - 2) + [POSTED, EXECUTING],
                   what="the dead callers' areas to be freed")
        (flags / "release").touch()
        assert finish(holder).splitlines()[-1].startswith("result ('hold-first'")
        assert finish(callers[-1]).splitlines()[-1].startswith("result ('new'")
    finally:
        for caller in [holder, *callers]:
            caller.kill()
            caller.communicate(timeout=TIMEOUT)
    assert area_states(name) == [0] * AREAS
    assert all(line.startswith("returned None 2") for line in stop_pool(name, procs))


LEAVING_SERVER_SETUP = """
import signal
def leave(signum, frame):
    raise RuntimeError("this server's own loop failed")
signal.signal(signal.SIGUSR1, leave)
def func(x):
    return (x, os.getpid())
"""


def test_a_server_whose_own_loop_fails_leaves_the_others_serving(pool):
    name, procs = pool(2, setup=LEAVING_SERVER_SETUP)
    failing, other = procs
    failing.send_signal(signal.SIGUSR1)
    assert finish(failing).startswith("raised RuntimeError")
    assert pool_servers(name) == 1
    assert [zelvane.call_function(name, (k,)) for k in range(5)] == [(k, other.pid) for k in range(5)]
    assert stop_pool(name, [other])[0].startswith("returned None")
    assert not os.path.exists(shm_path(name))


def test_areas_scribbled_over_are_reclaimed(holding_pool):
    name, procs, _ = holding_pool(1)
    with open(shm_path(name), "r+b") as f:
        for i in range(AREAS):
            f.seek(AREAS_AT + i * AREA_SIZE)
            f.write(struct.pack("<I", 0x7F))
    assert zelvane.call_function(name, ("after",))[0] == "after"
    assert 0x7F not in area_states(name)
