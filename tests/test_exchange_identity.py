"""Each caller gets its own reply: after the exchange number comes round,
while its process is slow to run it, and within its time limit when another
process holds the record's lock."""
import fcntl
import os
import signal
import struct
import textwrap
import threading
import time

import pytest
import zelvane

from conftest import CHILD_PRELUDE, finish, shm_path, spawn_python, wait_for_line, wait_until
from shm_util import REPLIED, RawRecord
from test_function_robustness import CALLER_LOCK_BASE, process_state

pytestmark = pytest.mark.timeout(300)

F_OFD_SETLK = getattr(fcntl, "F_OFD_SETLK", 37)

# "hold:<tag>" announces itself in flags/started-<tag> and waits for
# flags/release-<tag>; anything else comes straight back.
GATE_SETUP = """
FLAGS = {flags!r}
def gate(x):
    if x.startswith("hold:"):
        tag = x[5:]
        open(os.path.join(FLAGS, "started-" + tag), "w").close()
        while not os.path.exists(os.path.join(FLAGS, "release-" + tag)):
            time.sleep(0.01)
    return x
"""

# Calls once told to go, in a thread, while the main thread holds the GIL
# from the moment the callable has started for about three seconds.
GIL_HOLDING_CALLER = textwrap.dedent("""
    import os, sys, threading, time, zelvane
    name, flags = sys.argv[1], sys.argv[2]
    outcome = []
    def call():
        try:
            outcome.append(("result", zelvane.call_function(name, ("hold:a",))))
        except BaseException as exc:
            outcome.append(("raised", str(exc)))
    start = time.perf_counter()
    sum(range(10 ** 6))
    per_million = time.perf_counter() - start
    caller = threading.Thread(target=call)
    caller.start()
    while not os.path.exists(os.path.join(flags, "started-a")):
        time.sleep(0.01)
    print("holding", flush=True)
    sum(range(int(3.0 / per_million * 10 ** 6)))  # one C call: the GIL is never let go
    caller.join()
    print(*outcome[0], flush=True)
""")

ONE_CALL = textwrap.dedent("""
    import sys, zelvane
    name, arg = sys.argv[1], sys.argv[2]
    sys.stdin.readline()
    try:
        print("result", zelvane.call_function(name, (arg,)), flush=True)
    except BaseException as exc:
        print("raised", exc, flush=True)
""")


@pytest.fixture
def gated(serve, tmp_path):
    """A server of `gate`; (server, flags dir). Every gate is opened at teardown."""
    server = serve("gate", setup=GATE_SETUP.format(flags=str(tmp_path)))
    yield server, tmp_path
    for tag in "ab":
        (tmp_path / f"release-{tag}").touch()


def stop(proc):
    proc.send_signal(signal.SIGSTOP)
    wait_until(lambda: process_state(proc.pid) == "T", what="the caller to stop")


def exchange_low_bits(record):
    return (record.word() >> 8) & 0xFFFF


def test_a_caller_whose_process_holds_the_gil_for_seconds_gets_its_own_reply(gated):
    server, flags = gated
    slow = spawn_python(GIL_HOLDING_CALLER, server.name, str(flags))
    other = spawn_python(ONE_CALL, server.name, "b")
    try:
        wait_for_line(slow, "holding")
        # Its waiting thread's slice ends meanwhile: it then needs the GIL to
        # look again, and so cannot collect the reply until the sum ends.
        time.sleep(0.5)
        (flags / "release-a").touch()
        other.stdin.write("go\n")
        other.stdin.flush()
        assert finish(slow) == "result hold:a\n"
        assert finish(other) == "result b\n"
    finally:
        for proc in (slow, other):
            proc.kill()
            finish(proc)


def take_caller_lock_byte(name, pid):
    """Holds the caller lock byte of `pid` on the record, as a process of the
    same pid in another pid namespace would; returns the descriptor."""
    fd = os.open(shm_path(name), os.O_RDWR)
    lock = struct.pack("hhxxxxqqixxxx", fcntl.F_WRLCK, os.SEEK_SET, CALLER_LOCK_BASE + pid, 1, 0)
    fcntl.fcntl(fd, F_OFD_SETLK, lock)
    return fd


def test_a_caller_stopped_while_the_exchange_number_comes_round_never_takes_another_reply(gated):
    server, flags = gated
    stopped = spawn_python(ONE_CALL, server.name, "hold:a")
    # Its process cannot be told alive, so its reply is reclaimed after a
    # second: the only way the record goes on while a caller waits.
    lock_fd = take_caller_lock_byte(server.name, stopped.pid)
    record = RawRecord(server.name)
    wrapping = {}
    try:
        stopped.stdin.write("go\n")
        stopped.stdin.flush()
        wait_until((flags / "started-a").exists)
        stop(stopped)
        (flags / "release-a").touch()
        wait_until(lambda: record.word() & 0xFF == REPLIED, what="the reply")
        its_number = exchange_low_bits(record)
        # 65,536 calls later the low 16 bits are the stopped caller's again.
        calls = 0
        while calls == 0 or exchange_low_bits(record) != (its_number - 1) & 0xFFFF:
            assert zelvane.call_function(server.name, (str(calls),)) == str(calls)
            calls += 1
        assert calls == 0xFFFF
        thread = threading.Thread(
            target=lambda: wrapping.update(result=zelvane.call_function(server.name, ("hold:b",))))
        thread.start()
        wait_until((flags / "started-b").exists)
        assert exchange_low_bits(record) == its_number
        stopped.send_signal(signal.SIGCONT)
        # It looks at the record while the call under its old number runs.
        time.sleep(0.5)
        (flags / "release-b").touch()
        thread.join(60)
        assert wrapping == {"result": "hold:b"}
        assert finish(stopped) == (f"raised The reply to this call of '{server.name}' was lost: "
                                   "another caller took over the exchange.\n")
    finally:
        stopped.send_signal(signal.SIGCONT)
        stopped.kill()
        finish(stopped)
        record.close()
        os.close(lock_fd)


LOCK_HOLDER = CHILD_PRELUDE + textwrap.dedent("""
    import sys, time
    from shm_util import RawRecord
    record = RawRecord(sys.argv[1])  # kept mapped: a robust mutex is held through its mapping
    assert record.lock() == 0
    print("locked", flush=True)
    time.sleep(1000)
""")


@pytest.mark.parametrize("timeout", [0, 0.3])
def test_a_time_limit_holds_while_a_stopped_process_holds_the_lock(serve, timeout):
    server = serve("lambda a, b: a + b")
    with zelvane.open_function(server.name) as handle:
        assert handle(1, 2) == 3
        holder = spawn_python(LOCK_HOLDER, server.name)
        try:
            wait_for_line(holder, "locked")
            stop(holder)
            elapsed = []
            for _ in range(3):
                start = time.monotonic()
                with pytest.raises(TimeoutError):
                    handle(1, 2, timeout=timeout)
                elapsed.append(time.monotonic() - start)
            # A whole lock slice (0.2 s) used to pass before the limit was looked at.
            assert min(elapsed) < timeout + 0.1, elapsed
        finally:
            holder.kill()
            finish(holder)
        # The lock of the killed holder is recovered.
        assert handle(2, 3) == 5
