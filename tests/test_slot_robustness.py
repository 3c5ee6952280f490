"""Slots under contention and failure: concurrent growth, a holder of the
slot's mutex that dies or blocks, and hostile payloads."""
import signal
import textwrap
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

import zelvane

from codec_util import MARKER as MARKER_MSG, exactly
from codec_util import read_or_fail_cleanly
from conftest import (CHILD_PRELUDE, start_together, HEADER_SIZE, RawSlot, finish, run_python, spawn_python,
                      wait_for_line)
from shm_util import SlotMutex

# Writes values of growing and shrinking sizes made of one repeated byte (the
# writer's number, which is also the length modulo 3) and checks that every
# value read back is whole: one writer's byte throughout, at one of its lengths.
CONTENDER = textwrap.dedent("""
    import sys, time, zelvane
    name, me, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    print("ready", flush=True)
    sys.stdin.readline()
    deadline = time.monotonic() + seconds
    lengths = [1, 7, 300, 5000, 70000, 3, 100000, 40]
    writes = reads = 0
    while time.monotonic() < deadline:
        for length in lengths:
            zelvane.write_memory(name, bytes([me]) * (3 * length + me))
            writes += 1
            value = zelvane.read_memory(name)
            reads += 1
            who = value[0]
            if who not in (1, 2) or value != bytes([who]) * len(value) or len(value) % 3 != who:
                print("torn", len(value), value[:8], flush=True)
                sys.exit(1)
        lengths.append(lengths.pop(0) * 2 % 50000 + 1)
    print("done", writes, reads, flush=True)
""")


@pytest.mark.timeout(300)
def test_two_processes_growing_one_slot(shm_name):
    name = shm_name("grow")
    zelvane.create_memory(name)
    children = [spawn_python(CONTENDER, name, str(me), "3") for me in (1, 2)]
    try:
        start_together(children)
        for child in children:
            out, err = child.communicate(timeout=240)
            assert child.returncode == 0, out + err
            assert out.startswith("done")
    finally:
        for child in children:
            finish(child)
    raw = RawSlot(name)
    assert raw.size() == HEADER_SIZE + raw.max_size()
    value = zelvane.read_memory(name)
    assert value[0] in (1, 2) and value == bytes([value[0]]) * len(value)
    assert len(value) % 3 == value[0]


# A child takes the slot's mutex by hand, optionally spoils the slot as a
# writer dying at that point would, says so and waits to be killed.
HOLDER = CHILD_PRELUDE + textwrap.dedent("""
    import os, time
    from conftest import shm_path
    from shm_util import SlotMutex
    name, spoil = {name!r}, {spoil!r}
    mutex = SlotMutex(name)
    assert mutex.lock() == 0
    if spoil == "marker":
        with open(shm_path(name), "r+b") as f:
            f.seek(48)
            f.write(b"\\0")
    elif spoil == "grown":
        os.truncate(shm_path(name), os.path.getsize(shm_path(name)) + 500)
    elif spoil == "grown to a record's size":
        os.truncate(shm_path(name), 1168)
    print("locked", flush=True)
    time.sleep(600)
""")


def kill_holding(name, spoil=None):
    child = spawn_python(HOLDER.format(name=name, spoil=spoil))
    try:
        wait_for_line(child, "locked")
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=60)


def test_holder_killed_with_sigkill(shm_name):
    name = shm_name("dead")
    zelvane.write_memory(name, "survives")
    kill_holding(name)
    assert zelvane.read_memory(name) == "survives"
    zelvane.write_memory(name, "again")
    kill_holding(name)
    assert zelvane.write_memory(name, "after") is True
    assert zelvane.read_memory(name) == "after"


def test_writer_killed_mid_copy_leaves_no_torn_value(shm_name):
    name = shm_name("torn")
    zelvane.write_memory(name, "x" * 100)
    kill_holding(name, "marker")
    with pytest.raises(ValueError) as info:
        zelvane.read_memory(name)
    assert str(info.value) == MARKER_MSG
    zelvane.write_memory(name, "mended")
    assert zelvane.read_memory(name) == "mended"


def test_writer_killed_between_growth_and_capacity(shm_name):
    name = shm_name("halfgrown")
    zelvane.write_memory(name, 12345)
    before = RawSlot(name).max_size()
    kill_holding(name, "grown")
    assert zelvane.read_memory(name) == 12345
    raw = RawSlot(name)
    assert raw.max_size() == before + 500
    assert raw.size() == HEADER_SIZE + raw.max_size()


def test_waiting_for_the_mutex_releases_the_gil(shm_name):
    # The holder is a thread of this process that needs the GIL to let go.
    name = shm_name("gil")
    zelvane.write_memory(name, "shared")
    mutex = SlotMutex(name)
    locked, released = threading.Event(), []

    def hold():
        assert mutex.lock() == 0
        locked.set()
        time.sleep(0.5)
        released.append(time.monotonic())
        mutex.unlock()

    holder = threading.Thread(target=hold)
    holder.start()
    try:
        assert locked.wait(60)
        assert zelvane.read_memory(name) == "shared"
        assert released, "read the slot while another thread held its mutex"
    finally:
        holder.join(60)
        mutex.close()


def test_mutex_held_by_this_thread(shm_name):
    name = shm_name("self")
    zelvane.write_memory(name, 1)
    mutex = SlotMutex(name)
    assert mutex.lock() == 0
    try:
        with pytest.raises(RuntimeError, match=exactly(
                f"The lock of shared memory address '{name}' is already held by this thread.")):
            zelvane.read_memory(name)
    finally:
        assert mutex.unlock() == 0
        mutex.close()
    assert zelvane.read_memory(name) == 1


def test_signals_get_through_while_waiting(shm_name):
    name = shm_name("sig")
    zelvane.write_memory(name, 1)
    result = run_python(CHILD_PRELUDE + textwrap.dedent(f"""
        import signal, threading, zelvane
        from shm_util import SlotMutex
        mutex, locked, stop = SlotMutex({name!r}), threading.Event(), threading.Event()
        def hold():
            mutex.lock()
            locked.set()
            stop.wait(60)
            mutex.unlock()
        holder = threading.Thread(target=hold)
        holder.start()
        assert locked.wait(60)
        def interrupt(signum, frame):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, interrupt)
        try:
            signal.setitimer(signal.ITIMER_REAL, 1)
            zelvane.read_memory({name!r})
        except KeyboardInterrupt:
            print("interrupted")
        stop.set()
        holder.join(60)
        print(zelvane.read_memory({name!r}))
    """), timeout=90)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["interrupted", "1"]


@settings(max_examples=300)
@given(data=st.one_of(st.binary(max_size=64), st.binary(max_size=64).map(lambda b: b"\xfd" + b)))
def test_random_payloads_give_errors_not_crashes(shm_name, data):
    name = shm_name("fuzz")
    zelvane.create_memory(name, len(data))
    RawSlot(name).write_payload(data)
    read_or_fail_cleanly(name)
    zelvane.remove_memory(name)
