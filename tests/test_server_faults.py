"""Hosted functions when processes die, fork, stop at awkward moments or exit
with threads still waiting."""
import fcntl
import os
import signal
import struct
import time

import pytest
import zelvane

from conftest import CHILD_PRELUDE, finish, run_python, shm_path, spawn_python, start_together, wait_for_line, wait_until, taken_over
from shm_util import REPLIED, RawRecord
from test_function_robustness import (BLOCKING_SETUP, SERVER_LOCK_BYTE, blocking, gone_message,  # noqa: F401
                                      process_state, start_caller)

ADD = "lambda a, b: a + b"
F_OFD_SETLK = getattr(fcntl, "F_OFD_SETLK", 37)
pytestmark = pytest.mark.timeout(180)


def already_exists(name):
    return f"The memory address '{name}' already exists."


def test_a_reply_posted_just_before_serving_ends_is_collected(blocking):
    server, flags = blocking
    caller = start_caller(server.name, ("first",))
    try:
        wait_until((flags / "started").exists)
        # The caller does not run while the reply is posted and serving ends,
        # so it next looks only after its wait slice has passed and the server
        # has gone.
        caller.send_signal(signal.SIGSTOP)
        wait_until(lambda: process_state(caller.pid) == "T", what="the caller to stop")
        record = RawRecord(server.name)
        try:
            (flags / "release").touch()
            wait_until(lambda: record.word() & 0xFF == REPLIED, what="the reply")
        finally:
            record.close()
        assert zelvane.remove_function(server.name) is True
        assert server.finish() == (0, "read\nreturned None\n")
        time.sleep(0.3)
    finally:
        caller.send_signal(signal.SIGCONT)
    assert finish(caller) == "result 'first'\n"


FORKING_SETUP = """
import multiprocessing
def linger():
    # Off the server's pipes, which the test reads to their end.
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    time.sleep(120)
def start_child(how):
    if how == "os.fork":
        pid = os.fork()
        if pid == 0:
            linger()
            os._exit(0)
    else:
        child = multiprocessing.get_context("fork").Process(target=linger, daemon=False)
        child.start()
        pid = child.pid
    return pid
"""


@pytest.mark.parametrize("how", ["os.fork", "multiprocessing"])
def test_a_killed_server_is_noticed_while_its_forked_child_lives(serve, how):
    server = serve("start_child", setup=FORKING_SETUP)
    child = zelvane.call_function(server.name, (how,))
    try:
        server.proc.kill()
        server.proc.wait(timeout=60)
        with pytest.raises(RuntimeError) as info:
            zelvane.call_function(server.name, (how,))
        assert str(info.value) == gone_message(server.name)
    finally:
        os.kill(child, signal.SIGKILL)


def test_a_read_only_lock_holder_does_not_keep_a_dead_server_alive(serve):
    server = serve(ADD)
    assert zelvane.call_function(server.name, (1, 2)) == 3
    server.kill()
    fd = os.open(shm_path(server.name), os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_SH)
        read_lock = struct.pack("hhxxxxqqixxxx", fcntl.F_RDLCK, os.SEEK_SET, SERVER_LOCK_BYTE, 1, 0)
        fcntl.fcntl(fd, F_OFD_SETLK, read_lock)
        with pytest.raises(RuntimeError) as info:
            zelvane.call_function(server.name, (1, 2))
        assert str(info.value) == gone_message(server.name)
    finally:
        os.close(fd)


def test_a_child_forked_by_the_callable_does_not_serve(serve):
    server = serve("lambda: os.fork()")
    child = zelvane.call_function(server.name, ())
    assert child > 0
    # The child came back into the serving loop as a copy of the server: it
    # says so and leaves, and the parent goes on serving alone.
    wait_for_line(server.proc, "raised RuntimeError The function '{}' is served by the parent of this forked "
                  "process: the child cannot serve it.".format(server.name))
    assert zelvane.call_function(server.name, ()) > 0
    assert zelvane.remove_function(server.name) is True


DAEMON_SCRIPT = CHILD_PRELUDE + """
import sys, threading, time
import zelvane

class SlowExit:
    # Keeps the interpreter finalising for longer than a wait slice.
    def __del__(self):
        time.sleep(0.6)

keeper = SlowExit()
threading.Thread(target={target}, args={args!r}, daemon=True).start()
time.sleep(0.5)
"""

HOLDER_SCRIPT = CHILD_PRELUDE + """
import time
from shm_util import SlotMutex
mutex = SlotMutex({name!r})
assert mutex.lock() == 0
print("holding", flush=True)
time.sleep(120)
"""


@pytest.mark.parametrize("wait", ["create_function", "call_function", "read_memory"])
def test_a_daemon_thread_waiting_at_exit_lets_the_interpreter_exit(shm_name, blocking, wait):
    server, flags = blocking
    holder = None
    if wait == "create_function":
        target = "lambda: zelvane.create_function({!r}, print)".format(shm_name("daemon"))
        script = DAEMON_SCRIPT.format(target=target, args=())
    elif wait == "call_function":
        script = DAEMON_SCRIPT.format(target="zelvane.call_function", args=(server.name, ("x",)))
    else:
        slot = shm_name("locked")
        zelvane.write_memory(slot, 1)
        holder = spawn_python(HOLDER_SCRIPT.format(name=slot))
        wait_for_line(holder, "holding")
        script = DAEMON_SCRIPT.format(target="zelvane.read_memory", args=(slot,))
    try:
        proc = run_python(script)
    finally:
        if holder is not None:
            holder.kill()
            finish(holder)
    assert (proc.returncode, proc.stderr) == (0, "")


def test_a_restarted_server_takes_over_the_record_of_a_killed_one(serve):
    first = serve(ADD)
    assert zelvane.call_function(first.name, (1, 2)) == 3
    first.kill()
    dead = os.stat(shm_path(first.name)).st_ino
    second = serve("lambda a, b: a * b", name=first.name)
    wait_until(lambda: taken_over(first.name, dead), what="the record to be taken over")
    assert zelvane.call_function(first.name, (3, 4)) == 12
    assert zelvane.remove_function(first.name) is True
    assert second.finish() == (0, "read\nreturned None\n")


def test_a_live_server_and_a_value_slot_are_never_taken_over(serve, shm_name):
    live = serve(ADD)
    slot = shm_name("slot")
    zelvane.create_memory(slot, 1120)  # a slot of a record's size
    for name in (live.name, slot):
        with pytest.raises(MemoryError) as info:
            zelvane.create_function(name, print)
        assert str(info.value) == already_exists(name)
    assert zelvane.call_function(live.name, (1, 2)) == 3
    assert os.path.getsize(shm_path(slot)) == 1168


RACER = CHILD_PRELUDE + """
import sys, zelvane
name = sys.argv[1]
print("ready", flush=True)
sys.stdin.readline()
try:
    zelvane.create_function(name, lambda: "served")
    print("returned", flush=True)
except MemoryError as exc:
    print("refused", exc, flush=True)
"""


def test_two_servers_racing_for_a_dead_record_end_with_one_serving(serve):
    dead = serve(ADD)
    dead.kill()
    racers = [spawn_python(RACER, dead.name) for _ in range(2)]
    try:
        start_together(racers)
        wait_until(lambda: sum(r.poll() is not None for r in racers) == 1, what="one racer to be refused")
        refused = next(r for r in racers if r.poll() is not None)
        assert finish(refused) == f"refused {already_exists(dead.name)}\n"
        assert zelvane.call_function(dead.name, ()) == "served"
        assert zelvane.remove_function(dead.name) is True
        serving = next(r for r in racers if r is not refused)
        assert finish(serving) == "read\nreturned\n"
    finally:
        for racer in racers:
            if racer.poll() is None:
                racer.kill()
            finish(racer)


def test_removing_a_live_servers_name_ends_its_serving(serve):
    server = serve(ADD)
    assert zelvane.remove_memory(server.name) is True
    assert server.finish() == (0, "read\nreturned None\n")


SIGNAL_CALLER = CHILD_PRELUDE + """
import signal, sys, zelvane
name, flags = sys.argv[1], sys.argv[2]
nested = []
def handler(signum, frame):
    try:
        nested.append(repr(zelvane.call_function(name, ("nested",))))
    except RuntimeError as exc:
        nested.append(str(exc))
    open(flags + "/handled", "w").close()
signal.signal(signal.SIGUSR1, handler)
print("ready", flush=True)
outer = zelvane.call_function(name, ("outer",))
print(outer, nested, flush=True)
"""


def test_a_signal_handler_calling_the_function_its_thread_waits_on_fails_at_once(blocking):
    server, flags = blocking
    caller = spawn_python(SIGNAL_CALLER, server.name, str(flags))
    try:
        wait_for_line(caller, "ready")
        wait_until((flags / "started").exists)
        caller.send_signal(signal.SIGUSR1)
        wait_until((flags / "handled").exists, what="the handler to run")
        (flags / "release").touch()
        message = (f"The function '{server.name}' is already being called by this thread (from a signal "
                   "handler, for example): the nested call would wait for itself for ever.")
        assert finish(caller) == f"outer [{message!r}]\n"
    finally:
        if caller.poll() is None:
            caller.kill()
            finish(caller)
