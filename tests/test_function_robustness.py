"""Hosted functions under concurrency, crashes and Ctrl-C."""
import concurrent.futures
import os
import signal
import textwrap

import pytest

import zelvane

from conftest import CHILD_PRELUDE, finish, shm_path, spawn_python, wait_until
from shm_util import ABANDONED, ENDED, EXECUTING, IDLE, NULL_REPLY, REPLIED, RawRecord

ADD = "lambda a, b: a + b"

# A callable that announces it runs, then waits until released: (flag dir) -> source.
BLOCKING_SETUP = """
FLAGS = {flags!r}
def blocking(x):
    open(os.path.join(FLAGS, 'started'), 'w').close()
    while not os.path.exists(os.path.join(FLAGS, 'release')):
        time.sleep(0.01)
    return x
"""

LOCK_HOLDING_SETUP = CHILD_PRELUDE + """
from shm_util import RawRecord
def hold_the_lock_and_hang():
    record = RawRecord(NAME)  # kept mapped: a robust mutex is held through its mapping
    assert record.lock() == 0
    open({started!r}, 'w').close()
    time.sleep(1000)
"""


def gone_message(name):
    return f"Nobody serves the function '{name}' any more: its serving process has ended."


def start_caller(name, args):
    """A calling process that prints the outcome of call_function(name, args)."""
    code = textwrap.dedent(f"""
        import zelvane
        try:
            print("result", repr(zelvane.call_function({name!r}, {args!r})), flush=True)
        except BaseException as exc:
            print("raised", type(exc).__name__, exc, flush=True)
    """)
    return spawn_python(code)


def process_state(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


@pytest.fixture
def pool():
    with concurrent.futures.ThreadPoolExecutor(4) as executor:
        yield executor


@pytest.fixture
def blocking(serve, tmp_path):
    """A server whose callable waits for tmp_path/'release'; (server, flags dir)."""
    return serve("blocking", setup=BLOCKING_SETUP.format(flags=str(tmp_path))), tmp_path


def test_callers_in_many_processes_get_their_own_results(serve):
    server = serve(ADD)
    code = textwrap.dedent(f"""
        import sys, zelvane
        k = int(sys.argv[1])
        for i in range(200):
            assert zelvane.call_function({server.name!r}, (k * 1000, i)) == k * 1000 + i
        print("ok", flush=True)
    """)
    callers = [spawn_python(code, str(k)) for k in range(6)]
    assert [finish(p) for p in callers] == ["ok\n"] * 6
    assert zelvane.call_function(server.name, (1, 2)) == 3


def test_server_killed_while_idle(serve):
    server = serve(ADD)
    server.kill()
    with pytest.raises(RuntimeError) as info:
        zelvane.call_function(server.name, (1, 2))
    assert str(info.value) == gone_message(server.name)
    assert zelvane.remove_function(server.name) is True


def test_server_killed_while_executing(blocking, pool):
    server, flags = blocking
    running = pool.submit(zelvane.call_function, server.name, (1,))
    wait_until((flags / "started").exists)
    queued = pool.submit(zelvane.call_function, server.name, (2,))
    server.kill()
    for call in (running, queued):
        with pytest.raises(RuntimeError) as info:
            call.result(timeout=60)
        assert str(info.value) == gone_message(server.name)


def test_server_killed_while_holding_the_lock(serve, tmp_path, pool):
    started = tmp_path / "started"
    server = serve("hold_the_lock_and_hang", setup=LOCK_HOLDING_SETUP.format(started=str(started)))
    call = pool.submit(zelvane.call_function, server.name, ())
    wait_until(started.exists)
    server.kill()
    with pytest.raises(RuntimeError) as info:
        call.result(timeout=60)
    assert str(info.value) == gone_message(server.name)
    # The lock is usable again.
    with pytest.raises(RuntimeError, match="^Nobody serves"):
        zelvane.call_function(server.name, ())
    assert zelvane.remove_function(server.name) is True


def test_ctrl_c_on_an_idle_server(serve):
    server = serve(ADD)
    server.proc.send_signal(signal.SIGINT)
    assert server.finish() == (3, "raised KeyboardInterrupt \n")
    assert not os.path.exists(shm_path(server.name))


def test_ctrl_c_on_an_executing_server_answers_its_caller(blocking, pool):
    server, flags = blocking
    call = pool.submit(zelvane.call_function, server.name, (1,))
    wait_until((flags / "started").exists)
    server.proc.send_signal(signal.SIGINT)
    with pytest.raises(RuntimeError) as info:
        call.result(timeout=60)
    assert str(info.value) == NULL_REPLY
    assert server.finish() == (3, "raised KeyboardInterrupt \n")
    assert not os.path.exists(shm_path(server.name))


@pytest.mark.parametrize("sig, outcome", [
    (signal.SIGINT, "raised KeyboardInterrupt \n"),
    (signal.SIGKILL, ""),
])
def test_a_caller_that_gives_up_leaves_the_record_usable(blocking, sig, outcome):
    server, flags = blocking
    caller = start_caller(server.name, (1,))
    wait_until((flags / "started").exists)
    caller.send_signal(sig)
    assert finish(caller) == outcome
    record = RawRecord(server.name)
    try:
        # An interrupted caller has the reply dropped; a killed one leaves it
        # for the next caller to reclaim.
        killed = sig == signal.SIGKILL
        assert record.word() & 0xff == (EXECUTING if killed else ABANDONED)
        (flags / "release").touch()
        wait_until(lambda: record.word() & 0xff in (IDLE, REPLIED))
        assert record.word() & 0xff == (REPLIED if killed else IDLE)
    finally:
        record.close()
    assert zelvane.call_function(server.name, (2,)) == 2


def test_stop_during_a_call_still_answers_it(blocking, pool):
    server, flags = blocking
    call = pool.submit(zelvane.call_function, server.name, ("mine",))
    wait_until((flags / "started").exists)
    assert zelvane.remove_function(server.name) is True
    (flags / "release").touch()
    assert call.result(timeout=60) == "mine"
    assert server.finish() == (0, "read\nreturned None\n")


def test_a_call_on_an_ended_record_does_not_wait(serve, shm_name):
    server = serve(ADD)
    # A second name for the same record keeps it reachable after the server
    # ends, as for a caller that opened it just before the unlink.
    alias = shm_name("alias")
    os.link(shm_path(server.name), shm_path(alias))
    assert zelvane.remove_function(server.name) is True
    assert server.finish() == (0, "read\nreturned None\n")
    record = RawRecord(alias)
    try:
        assert record.word() & ENDED and record.activity() == 0
    finally:
        record.close()
    with pytest.raises(RuntimeError) as info:
        zelvane.call_function(alias, (1, 2))
    assert str(info.value) == NULL_REPLY


def test_a_stopped_caller_keeps_its_reply_however_long_it_stands(blocking):
    server, flags = blocking
    caller = start_caller(server.name, ("first",))
    wait_until((flags / "started").exists)
    caller.send_signal(signal.SIGSTOP)
    try:
        wait_until(lambda: process_state(caller.pid) == "T", what="the caller to stop")
        (flags / "release").touch()
        # Its process lives: the reply waits for it, and the next caller with it.
        with zelvane.open_function(server.name) as handle:
            with pytest.raises(TimeoutError):
                handle("second", timeout=2.5)
    finally:
        caller.send_signal(signal.SIGCONT)
    assert finish(caller) == "result 'first'\n"
    assert zelvane.call_function(server.name, ("third",)) == "third"


SERVER_LOCK_BYTE = 1169
CALLER_LOCK_BASE = 4096


def record_locks(name):
    """The open-file-description locks on `name`'s record: (mode, byte) pairs."""
    inode = os.stat(shm_path(name)).st_ino
    locks = []
    with open("/proc/locks") as f:
        for line in f:
            fields = line.split()
            if fields[1] == "->":
                fields = fields[:1] + fields[2:]
            kind, _, mode, _, ident, start, end = fields[1:8]
            if kind == "OFDLCK" and ident.endswith(f":{inode}") and start == end:
                locks.append((mode, int(start)))
    return sorted(locks)


def test_the_caller_lock_of_a_killed_caller_goes_with_it(blocking):
    server, flags = blocking
    caller = start_caller(server.name, ("first",))
    try:
        wait_until((flags / "started").exists)
        caller_lock = ("WRITE", CALLER_LOCK_BASE + caller.pid)
        assert record_locks(server.name) == sorted([("WRITE", SERVER_LOCK_BYTE), caller_lock])
        caller.kill()
        caller.wait(timeout=60)
        # The kernel dropped the dead caller's lock: its reply is reclaimed at
        # once instead of after a second.
        wait_until(lambda: caller_lock not in record_locks(server.name), what="the lock to go")
        (flags / "release").touch()
        assert zelvane.call_function(server.name, ("second",)) == "second"
        assert ("WRITE", CALLER_LOCK_BASE + os.getpid()) in record_locks(server.name)
    finally:
        finish(caller)
