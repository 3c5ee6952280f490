"""Slots as shared state through handles: the version, waiting for a change,
update() and lock(), across threads, processes, kills, forks and a full
/dev/shm."""
import json
import os
import signal
import struct
import threading
import time

import pytest

import zelvane

from conftest import (HEADER_SIZE, TIMEOUT, RawSlot, finish, run_python, shm_path, spawn_python,
                      start_together, wait_for_line, wait_until)
from test_command import listing, run_command
from test_faults import run_on_small_shm

# The version word: bit 0 says a waiter sleeps, bits 1-31 count the writes.
STATE_WORD = 28
HELD_HERE = "is already held by this thread"


def state_word(name):
    with open(shm_path(name), "rb") as f:
        f.seek(STATE_WORD)
        return struct.unpack("<I", f.read(4))[0]


def someone_waits(name):
    return state_word(name) & 1 == 1


@pytest.fixture
def slot(shm_name):
    """A fresh slot holding 0 and a handle on it, closed afterwards."""
    name = shm_name("state")
    zelvane.write_memory(name, 0)
    with zelvane.open_memory(name) as handle:
        yield handle


def locked_write(handle, value):
    with handle.lock():
        handle.write(value)


WRITES = {
    "write_memory": lambda h, value: zelvane.write_memory(h.name, value),
    "handle": lambda h, value: h.write(value),
    "update": lambda h, value: h.update(lambda old: value),
    "lock": locked_write,
}

# The same four paths, from a process of their own.
CHILD_WRITE = """
import sys, zelvane
name, path = sys.argv[1], sys.argv[2]
h = zelvane.open_memory(name, create=False)
if path == "write_memory":
    zelvane.write_memory(name, "new")
elif path == "handle":
    h.write("new")
elif path == "update":
    h.update(lambda old: "new")
else:
    with h.lock():
        h.write("new")
print(h.version)
"""


# --- version -----------------------------------------------------------------

@pytest.mark.parametrize("path", WRITES)
def test_every_write_path_counts_once_for_every_handle(slot, path):
    other = zelvane.open_memory(slot.name, create=False)
    before = slot.version
    WRITES[path](slot, "new")
    assert slot.version == other.version == before + 1
    assert state_word(slot.name) >> 1 == before + 1
    child = run_python(f"import zelvane; print(zelvane.open_memory({slot.name!r}).version)")
    assert child.stdout.split() == [str(before + 1)], child.stderr
    other.close()


@pytest.mark.parametrize("value", [1, b"z" * 100_000], ids=["small", "large"])
def test_a_slot_made_by_its_first_write_counts_that_write(shm_name, value):
    name = shm_name("first")
    zelvane.write_memory(name, value)
    with zelvane.open_memory(name, create=False) as h:
        assert (h.version, h.read()) == (1, value)
        zelvane.write_memory(name, value)
        assert h.version == 2


@pytest.mark.parametrize("failing", [
    lambda h: zelvane.write_memory(h.name, object()),
    lambda h: h.write(object()),
    lambda h: h.update(lambda old: object()),
    lambda h: h.update(lambda old: 1 / 0),
])
def test_a_failed_write_leaves_value_and_version(slot, failing):
    slot.write("kept")
    before = slot.version
    with pytest.raises((ValueError, ZeroDivisionError)):
        failing(slot)
    assert (slot.read(), slot.version) == ("kept", before)


GROW = """
import zelvane
h = zelvane.open_memory({name!r}, create=False)
h.write(b"x" * 50_000)
zelvane.write_memory({name!r}, b"y" * 100_000)
"""


def test_version_survives_growth_by_another_process(slot):
    slot.write("small")
    before = slot.version
    child = run_python(GROW.format(name=slot.name))
    assert child.returncode == 0, child.stderr
    assert RawSlot(slot.name).max_size() >= 100_000
    assert slot.version == before + 2
    assert slot.read() == b"y" * 100_000
    slot.write(b"z" * 200_000)
    assert slot.version == before + 3


def test_the_word_leaves_the_mutex_usable_after_a_holders_death(shm_name):
    # The word sits inside the mutex object: a robust recovery must keep it.
    name = shm_name("recover")
    zelvane.write_memory(name, 1)
    holder = spawn_python(KILLED_INSIDE, name, "lock")
    try:
        wait_for_line(holder, "inside")
        os.kill(holder.pid, signal.SIGKILL)
    finally:
        finish(holder)
    with zelvane.open_memory(name) as h:
        assert h.version == 2
        assert h.update(lambda v: v + ["again"], timeout=TIMEOUT) == ["new", "again"]
        assert h.version == 3


# --- wait --------------------------------------------------------------------

def wait_in_thread(handle, **kwargs):
    outcome = {}

    def run():
        try:
            outcome["version"] = handle.wait(**kwargs)
        except BaseException as exc:  # noqa: B902 - reported to the test
            outcome["error"] = exc

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


@pytest.mark.parametrize("where", ["thread", "process"])
@pytest.mark.parametrize("path", WRITES)
def test_wait_wakes_on_every_write_path(slot, path, where):
    start = slot.version
    thread, outcome = wait_in_thread(slot, timeout=TIMEOUT)
    wait_until(lambda: someone_waits(slot.name), what="the waiter to sleep")
    if where == "thread":
        with zelvane.open_memory(slot.name) as writer:
            WRITES[path](writer, "new")
    else:
        proc = spawn_python(CHILD_WRITE, slot.name, path)
        assert finish(proc).split() == [str(start + 1)]
    thread.join(TIMEOUT)
    assert outcome == {"version": start + 1}
    # The writer saw the waiter and cleared the flag when it woke it.
    assert not someone_waits(slot.name)
    assert slot.read() == "new"


def test_wait_compares_with_what_the_handle_saw_last(slot):
    fresh = zelvane.open_memory(slot.name)
    slot.write(1)
    slot.write(2)
    # A fresh handle saw the version when it was opened.
    assert fresh.wait(timeout=0) == slot.version
    with pytest.raises(TimeoutError):
        fresh.wait(timeout=0)
    slot.write(3)
    fresh.read()
    with pytest.raises(TimeoutError, match="Timed out waiting for a change"):
        fresh.wait(timeout=0.05)
    fresh.close()


@pytest.mark.parametrize("since, returns_at_once", [(0, True), (-1, True), (2**40, True), (None, False)])
def test_wait_since(slot, since, returns_at_once):
    slot.write(1)
    if returns_at_once:
        assert slot.wait(since=since, timeout=0) == slot.version
    else:
        with pytest.raises(TimeoutError):
            slot.wait(since=since, timeout=0)


@pytest.mark.parametrize("kwargs, error", [
    ({"since": "1"}, TypeError),
    ({"timeout": -1}, ValueError),
    ({"timeout": float("nan")}, ValueError),
])
def test_wait_refuses_bad_arguments(slot, kwargs, error):
    with pytest.raises(error):
        slot.wait(**kwargs)


def test_many_waiters_in_several_processes_wake_on_one_write(slot):
    waiters = [spawn_python(MANY_WAITERS, slot.name) for _ in range(3)]
    try:
        for proc in waiters:
            wait_for_line(proc, "ready")
        wait_until(lambda: someone_waits(slot.name), what="a waiter to sleep")
        slot.write("go")
        outputs = [finish(proc) for proc in waiters]
    finally:
        for proc in waiters:
            finish(proc)
    assert outputs == [f"{[slot.version] * 5}\n"] * 3


MANY_WAITERS = """
import sys, threading, zelvane
h = zelvane.open_memory(sys.argv[1], create=False)
seen = []
since = h.version
threads = [threading.Thread(target=lambda: seen.append(h.wait(since=since, timeout=60))) for _ in range(5)]
for t in threads:
    t.start()
print("ready", flush=True)
for t in threads:
    t.join()
print(seen)
"""


CTRL_C_WAITER = """
import sys, zelvane
h = zelvane.open_memory(sys.argv[1], create=False)
print("ready", flush=True)
try:
    h.wait()
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def test_ctrl_c_reaches_a_waiter(slot):
    proc = spawn_python(CTRL_C_WAITER, slot.name)
    try:
        wait_for_line(proc, "ready")
        wait_until(lambda: someone_waits(slot.name), what="the child to sleep")
        proc.send_signal(signal.SIGINT)
        wait_for_line(proc, "interrupted")
    finally:
        finish(proc)
    assert proc.returncode == 0


DAEMON_WAITER = """
import os, sys, threading, time, zelvane
name = sys.argv[1]
h = zelvane.open_memory(name, create=False)
threading.Thread(target=h.wait, daemon=True).start()
fd = os.open("/dev/shm/" + name, os.O_RDONLY)
while not os.pread(fd, 1, 28)[0] & 1:
    time.sleep(0.01)
print("leaving", flush=True)
"""


def test_the_interpreter_exits_while_a_daemon_thread_waits(slot):
    proc = spawn_python(DAEMON_WAITER, slot.name)
    assert finish(proc) == "leaving\n"
    assert proc.returncode == 0


# --- update and lock: no lost update ------------------------------------------

COUNTER = """
import sys, zelvane
name, how, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
h = zelvane.open_memory(name, create=False)
print("ready", flush=True)
sys.stdin.readline()
for _ in range(n):
    if how == "update":
        h.update(lambda v: v + 1)
    else:
        with h.lock():
            h.write(h.read() + 1)
print("done", flush=True)
"""


def count_once(handle, how):
    if how == "update":
        handle.update(lambda v: v + 1)
    else:
        with handle.lock():
            handle.write(handle.read() + 1)


@pytest.mark.parametrize("how", ["update", "lock"])
def test_no_lost_update_between_processes(slot, how):
    workers = [spawn_python(COUNTER, slot.name, how, "2000") for _ in range(4)]
    try:
        start_together(workers)
        for proc in workers:
            wait_for_line(proc, "done")
    finally:
        for proc in workers:
            finish(proc)
    assert slot.read() == 8000
    assert slot.version == 8001


@pytest.mark.parametrize("shared_handle", [True, False])
@pytest.mark.parametrize("how", ["update", "lock"])
def test_no_lost_update_between_threads(slot, how, shared_handle):
    def work():
        handle = slot if shared_handle else zelvane.open_memory(slot.name)
        for _ in range(2000):
            count_once(handle, how)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(TIMEOUT)
    assert slot.read() == 8000


# --- update ------------------------------------------------------------------

@pytest.mark.parametrize("reserved", [0, 100])
def test_update_gives_none_for_a_slot_never_written(shm_name, reserved):
    name = shm_name("never")
    zelvane.create_memory(name, reserved)
    seen = []
    with zelvane.open_memory(name) as h:
        assert h.update(lambda v: seen.append(v) or [v]) == [None]
        assert (seen, h.read(), h.version) == ([None], [None], 1)


def test_update_of_a_damaged_value_raises_as_read_does(slot):
    slot.write([1, 2, 3])
    # A zero after a completed write is no interrupted write: other hands
    # damaged the value.
    with open(shm_path(slot.name), "r+b") as f:
        f.seek(48)
        f.write(b"\0")
    called = []
    for access in (slot.read, lambda: slot.update(called.append)):
        with pytest.raises(ValueError, match="invalid protocol marker"):
            access()
    assert called == []


# Writes a large value over and over inside lock() until it is killed.
LOCKED_WRITER = """
import sys, zelvane
handle = zelvane.open_memory(sys.argv[1], create=False)
value = b"Z" * (64 << 20)
print("writing", flush=True)
while True:
    with handle.lock():
        handle.write(value)
"""
WRITE_IN_PROGRESS = b"\xff"
INTERRUPTED = ("A write to shared memory address '{}' was interrupted by a process that died: "
               "the slot holds no value until the next write.")


def first_payload_byte(fd):
    return os.pread(fd, 1, HEADER_SIZE)


def kill_mid_copy(name):
    """SIGKILLs a process that writes a large value into slot `name` inside
    lock() while it copies; starts another in the rare case that the kill
    lands between two copies."""
    fd = os.open(shm_path(name), os.O_RDONLY)
    try:
        for _ in range(10):
            child = spawn_python(LOCKED_WRITER, name)
            try:
                wait_for_line(child, "writing")
                deadline = time.monotonic() + TIMEOUT
                while first_payload_byte(fd) != WRITE_IN_PROGRESS and time.monotonic() < deadline:
                    pass
                child.send_signal(signal.SIGKILL)
            finally:
                finish(child)
            if first_payload_byte(fd) == WRITE_IN_PROGRESS:
                return
    finally:
        os.close(fd)
    raise AssertionError("no kill landed while a copy was under way")


@pytest.mark.timeout(300)
@pytest.mark.parametrize("repair", ["update", "write", "write inside lock", "write_memory"])
def test_a_writer_killed_mid_copy_inside_lock_leaves_a_state_that_says_so(shm_name, repair):
    name = shm_name("killed")
    zelvane.write_memory(name, "before")
    kill_mid_copy(name)
    with pytest.raises(ValueError) as info:
        zelvane.read_memory(name)
    assert str(info.value) == "Likely received an invalid bytes object: invalid protocol marker."
    with zelvane.open_memory(name, create=False) as handle:
        version = handle.version
        for read in (handle.read, lambda: locked_read(handle)):
            with pytest.raises(zelvane.InterruptedWriteError) as info:
                read()
            assert isinstance(info.value, ValueError) and str(info.value) == INTERRUPTED.format(name)
        shown = run_command("show", name)
        assert (shown.returncode, shown.stdout) == (1, "")
        assert shown.stderr == (f"zelvane: {name}: a write was interrupted by a process that died; "
                                "the slot holds no value until the next write\n")
        assert listing()[name]["write_interrupted"] is True
        given = []
        if repair == "update":
            assert handle.update(lambda value: given.append(value) or "after") == "after"
        elif repair == "write":
            handle.write("after")
        elif repair == "write inside lock":
            locked_write(handle, "after")
        else:
            zelvane.write_memory(name, "after")
        assert given == ([None] if repair == "update" else [])
        assert handle.read() == zelvane.read_memory(name) == "after"
        assert handle.version == version + 1
    assert run_command("show", name).stdout == "'after'\n"


def locked_read(handle):
    with handle.lock():
        return handle.read()


def test_update_returns_what_it_wrote_and_takes_func_by_position(slot):
    assert slot.update(lambda v: {"n": v}) == {"n": 0}
    assert zelvane.read_memory(slot.name) == {"n": 0}
    with pytest.raises(TypeError):
        slot.update(func=lambda v: v)


HOLD_LOCK = """
import sys, zelvane
h = zelvane.open_memory(sys.argv[1], create=False)
with h.lock():
    print("holding", flush=True)
    sys.stdin.readline()
"""


def test_timeouts_bound_the_wait_for_a_lock_held_elsewhere(slot):
    holder = spawn_python(HOLD_LOCK, slot.name)
    try:
        wait_for_line(holder, "holding")
        called = []
        with pytest.raises(TimeoutError, match="Timed out waiting for the lock"):
            slot.update(called.append, timeout=0.05)
        with pytest.raises(TimeoutError):
            with slot.lock(timeout=0):
                called.append("inside")
        assert called == []
        holder.stdin.write("\n")
        holder.stdin.flush()
    finally:
        finish(holder)
    assert slot.update(lambda v: v + 1, timeout=TIMEOUT) == 1


def test_a_raising_func_leaves_the_lock_free(slot):
    with pytest.raises(KeyError):
        slot.update(lambda v: {}[v])
    probe = run_python(f"import zelvane\nwith zelvane.open_memory({slot.name!r}).lock(timeout=0):\n    print('got it')")
    assert probe.stdout == "got it\n", probe.stderr


def test_update_on_a_full_shm_leaves_value_and_version():
    proc = run_on_small_shm(FULL_SHM_UPDATE)
    assert proc.returncode == 0, proc.stderr
    error, value, version_kept, after = json.loads(proc.stdout)
    assert error == "Failed to resize shared memory."
    assert (value, version_kept, after) == ("before", True, ["before"])


FULL_SHM_UPDATE = r"""
import errno, json, os, zelvane
h = zelvane.open_memory("s")
h.write("before")
version = h.version
fd = os.open("/dev/shm/filler", os.O_WRONLY | os.O_CREAT)
try:
    while True:
        os.write(fd, bytes(1 << 16))
except OSError as exc:
    assert exc.errno == errno.ENOSPC, exc
try:
    h.update(lambda v: b"x" * (8 << 20))
    error = "nothing raised"
except MemoryError as exc:
    error = str(exc)
value, kept = h.read(), h.version == version
print(json.dumps([error, value, kept, h.update(lambda v: [v], timeout=5)]))
"""


# --- lock --------------------------------------------------------------------

@pytest.mark.parametrize("inner", [
    lambda h: zelvane.write_memory(h.name, 1),
    lambda h: zelvane.read_memory(h.name),
    lambda h: zelvane.open_memory(h.name).read(),
    lambda h: h.lock().__enter__(),
])
def test_same_thread_reentry_through_another_path_raises(slot, inner):
    with slot.lock() as held:
        assert held is slot
        with pytest.raises(RuntimeError, match=HELD_HERE):
            inner(slot)
        # The handle's own accesses go on under the lock it holds.
        slot.write(slot.read() + 1)
        assert slot.update(lambda v: v + 1) == 2
    assert zelvane.read_memory(slot.name) == 2


def test_other_threads_wait_for_the_lock(slot):
    done = threading.Event()

    def writer():
        zelvane.write_memory(slot.name, "thread")
        done.set()

    with slot.lock():
        thread = threading.Thread(target=writer)
        thread.start()
        assert not done.wait(0.3)
        slot.write("holder")
    thread.join(TIMEOUT)
    assert slot.read() == "thread"


def test_wait_inside_the_lock_is_refused(slot):
    with slot.lock():
        with pytest.raises(RuntimeError, match="would never end"):
            slot.wait(timeout=1)


def test_leaving_the_block_by_an_exception_keeps_the_writes(slot):
    with pytest.raises(KeyError):
        with slot.lock():
            slot.write("inside")
            raise KeyError
    assert zelvane.read_memory(slot.name) == "inside"


KILLED_INSIDE = """
import sys, time, zelvane
h = zelvane.open_memory(sys.argv[1], create=False)
def stall(value):
    print("inside", flush=True)
    time.sleep(600)
if sys.argv[2] == "update":
    h.update(stall)
else:
    with h.lock():
        h.write(["new"])
        print("inside", flush=True)
        time.sleep(600)
"""


@pytest.mark.parametrize("where, expected", [("update", 0), ("lock", ["new"])])
def test_a_process_killed_holding_the_lock_is_recovered_from(slot, where, expected):
    before = slot.version
    proc = spawn_python(KILLED_INSIDE, slot.name, where)
    try:
        wait_for_line(proc, "inside")
        os.kill(proc.pid, signal.SIGKILL)
    finally:
        finish(proc)
    assert slot.read() == expected
    assert slot.version == before + (where == "lock")
    assert slot.update(lambda v: [v], timeout=TIMEOUT) == [expected]


FORK_WHILE_A_THREAD_HOLDS = """
import os, sys, threading, zelvane
h = zelvane.open_memory(sys.argv[1])
h.write(0)
held, go = threading.Event(), threading.Event()
def holder():
    with h.lock():
        held.set()
        go.wait(60)
        h.write(h.read() + 1)
thread = threading.Thread(target=holder)
thread.start()
held.wait(60)
pid = os.fork()
if pid == 0:
    # The parent's thread holds the lock: this waits for it.
    h.update(lambda v: v + 10, timeout=60)
    os._exit(0)
go.set()
thread.join()
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), h.read())
"""

FORK_INSIDE_OWN_LOCK = """
import os, sys, zelvane
name = sys.argv[1]
h = zelvane.open_memory(name)
with h.lock():
    pid = os.fork()
    if pid == 0:
        try:
            h.read()
        except RuntimeError as exc:
            print("child:", exc, flush=True)
    else:
        os.waitpid(pid, 0)
        # Still held by this thread: the child let go of nothing.
        try:
            zelvane.write_memory(name, "other path")
        except RuntimeError:
            h.write("parent")
if pid == 0:
    os._exit(0)
print(zelvane.read_memory(name))
"""


def test_fork_while_another_thread_holds_the_lock(slot):
    proc = spawn_python(FORK_WHILE_A_THREAD_HOLDS, slot.name)
    assert finish(proc) == "0 11\n"


def test_fork_inside_the_lock_leaves_the_child_outside_it(slot):
    proc = spawn_python(FORK_INSIDE_OWN_LOCK, slot.name)
    assert finish(proc).splitlines() == [
        f"child: The lock of shared memory address '{slot.name}' was taken before fork(): "
        "this process does not hold it.",
        "parent",
    ]


@pytest.mark.parametrize("use", [
    lambda h: h.version,
    lambda h: h.wait(timeout=0),
    lambda h: h.update(lambda v: v),
    lambda h: h.lock(),
])
def test_a_closed_handle_refuses_the_shared_state_calls(slot, use):
    handle = zelvane.open_memory(slot.name)
    handle.close()
    with pytest.raises(ValueError, match="closed memory handle"):
        use(handle)


def test_closing_inside_the_block_keeps_the_lock_until_it_ends(slot):
    handle = zelvane.open_memory(slot.name)
    with handle.lock():
        handle.close()
        with pytest.raises(ValueError, match="closed memory handle"):
            handle.read()
        with pytest.raises(RuntimeError, match=HELD_HERE):
            zelvane.read_memory(slot.name)
    assert zelvane.read_memory(slot.name) == 0


def test_a_lock_token_counts_as_a_change_and_wakes_a_waiter_in_another_process(slot):
    waiter = spawn_python(f"""
import zelvane
h = zelvane.open_memory({slot.name!r}, create=False)
print("ready", flush=True)
print(h.wait(since={slot.version}, timeout={TIMEOUT}), flush=True)
""")
    try:
        wait_for_line(waiter, "ready")
        wait_until(lambda: someone_waits(slot.name))
        with slot.lock() as held:
            token = held.token
            assert held.token == token
    finally:
        out = finish(waiter)
    # Woken when the block ended, as after a write in it; nothing was written.
    assert out.strip() == str(token)
    assert (slot.version, slot.read()) == (token, 0)
