"""zelvane.open_memory: a handle bound to the slot object it opened, used
beside the seven functions, across processes, forks and threads."""
import concurrent.futures
import os
import threading

import pytest

import zelvane

from codec_util import MARKER, UNSUPPORTED, exactly
from conftest import CHILD_PRELUDE, RawSlot, finish, shm_path, spawn_python, start_together, wait_for_line, wait_until
from shm_util import SlotMutex
from test_mapping_cache import (ADD, FUTEX_SYSCALL, MIB, blocked_on_slot, elsewhere, expect_error,
                                open_error, payload_of, run_fork_process, run_forked)
from test_slot_robustness import CONTENDER

pytestmark = pytest.mark.timeout(120)

CLOSED = "I/O operation on a closed memory handle of '{}'."


def test_open_creates_unless_told_not_to(shm_name):
    name, missing = shm_name("new"), shm_name("missing")
    expect_error(MemoryError, f"No value slot '{missing}' exists; open_memory(name, create=False, wait=seconds) "
                 "waits for one.", lambda n: zelvane.open_memory(n, create=False), missing)
    assert not os.path.exists(shm_path(missing))
    with zelvane.open_memory(name) as handle:
        assert (handle.name, handle.closed, repr(handle)) == (name, False, f"<zelvane.MemoryHandle name={name!r}>")
        assert handle.read() is None
        assert handle.write({"a": 1.5}) is True
        assert zelvane.read_memory(name) == {"a": 1.5}
    assert (handle.closed, repr(handle)) == (True, f"<zelvane.MemoryHandle name={name!r} closed>")
    assert zelvane.read_memory(name) == {"a": 1.5}  # closing leaves the slot


@pytest.mark.parametrize("use", [lambda h: h.read(), lambda h: h.write(1), lambda h: h.__enter__()],
                         ids=["read", "write", "enter"])
def test_use_after_close_is_a_value_error(shm_name, use):
    name = shm_name("closed")
    handle = zelvane.open_memory(name)
    handle.close()
    handle.close()
    expect_error(ValueError, CLOSED.format(name), use, handle)


@pytest.mark.parametrize("setup, value, exc, message", [
    (lambda n: zelvane.create_memory(n, 100), None, ValueError, MARKER),  # a read
    (zelvane.create_memory, object(), ValueError, UNSUPPORTED),
    (lambda n: zelvane.write_memory(n, "kept"), "a\ud800", UnicodeEncodeError, None),
], ids=["unwritten", "unsupported", "no-utf8"])
def test_failures_are_those_of_the_functions(shm_name, setup, value, exc, message):
    name = shm_name("same")
    setup(name)
    handle = zelvane.open_memory(name, create=False)
    before = RawSlot(name).payload()
    if value is None:
        calls = [lambda: zelvane.read_memory(name), handle.read]
    else:
        calls = [lambda: zelvane.write_memory(name, value), lambda: handle.write(value)]
    for call in calls:
        with pytest.raises(exc, match=message and exactly(message)):
            call()
    assert RawSlot(name).payload() == before
    handle.close()


def test_a_function_record_is_refused(serve):
    server = serve(ADD)
    expect_error(MemoryError, f"The shared memory address '{server.name}' does not hold a value slot.",
                 zelvane.open_memory, server.name)
    assert zelvane.call_function(server.name, (1, 2)) == 3


@pytest.mark.parametrize("how", ["remove_memory", "recreated"])
def test_removal_and_recreation_elsewhere_do_not_reach_it(shm_name, how):
    name = shm_name("bound")
    handle = zelvane.open_memory(name)
    handle.write("mine")
    if how == "remove_memory":
        elsewhere(f"zelvane.remove_memory({name!r})")
        expect_error(MemoryError, open_error(name), zelvane.read_memory, name)
    else:
        elsewhere(f"zelvane.remove_memory({name!r}); zelvane.write_memory({name!r}, 'theirs')")
        assert zelvane.read_memory(name) == "theirs"
    assert handle.read() == "mine"
    assert handle.write("x" * 100_000) is True  # grows the handle's own object
    assert handle.read() == "x" * 100_000
    if how == "recreated":
        assert zelvane.read_memory(name) == "theirs"
    handle.close()


def test_growth_elsewhere_is_seen_both_ways(shm_name):
    name = shm_name("grow")
    handle = zelvane.open_memory(name)
    handle.write(0)
    for size in (MIB, 5 * MIB):
        elsewhere(f"zelvane.write_memory({name!r}, random.Random({size}).randbytes({size}))")
        assert handle.read() == payload_of(size)
    handle.write(payload_of(9 * MIB))
    assert elsewhere(f"h = zelvane.open_memory({name!r}); print(h.read() == random.Random({9 * MIB}).randbytes({9 * MIB}))"
                     ) == "True\n"
    assert RawSlot(name).size() == 48 + RawSlot(name).max_size()
    handle.close()


@pytest.mark.parametrize("run_child", [run_forked, run_fork_process])
def test_a_forked_child_uses_the_inherited_handle(shm_name, run_child):
    name = shm_name("fork")
    handle = zelvane.open_memory(name)
    handle.write("parent")

    def child():
        assert handle.read() == "parent"
        assert handle.write("child" * 50_000) is True  # grows the slot
        assert handle.read() == "child" * 50_000
        handle.close()
    assert run_child(child) == 0
    assert not handle.closed
    assert handle.read() == "child" * 50_000
    assert zelvane.read_memory(name) == "child" * 50_000
    assert handle.write("parent again") is True
    assert elsewhere(f"print(zelvane.read_memory({name!r}))") == "parent again\n"


def test_threads_share_a_handle(shm_name):
    name = shm_name("threads")
    handle = zelvane.open_memory(name)

    def work(me):
        for i in range(300):
            value = bytes([me]) * (1 + (i * 7919 + me) % 200_000)  # grows now and then
            assert handle.write(value) is True
            seen = handle.read()
            assert seen == bytes([seen[0]]) * len(seen), "a torn value"
        return me
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        assert sorted(pool.map(work, range(1, 5))) == [1, 2, 3, 4]
    last = zelvane.read_memory(name)
    assert handle.read() == last and last[0] in (1, 2, 3, 4)
    handle.close()


@pytest.mark.skipif(FUTEX_SYSCALL is None, reason="futex system call number unknown here")
def test_close_while_another_thread_waits_on_the_mutex(shm_name):
    name = shm_name("wait")
    handle = zelvane.open_memory(name)
    handle.write("before")
    mutex = SlotMutex(name)
    tids = []

    def write():
        tids.append(threading.get_native_id())
        return handle.write("after" * 100_000)  # grows: a larger view is mapped
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        assert mutex.lock() == 0
        try:
            pending = pool.submit(write)
            wait_until(lambda: tids and blocked_on_slot(tids[0], name), what="the write to wait")
            handle.close()
        finally:
            assert mutex.unlock() == 0
            mutex.close()
        assert pending.result(timeout=60) is True
    expect_error(ValueError, CLOSED.format(name), handle.read)
    assert zelvane.read_memory(name) == "after" * 100_000


@pytest.mark.timeout(300)
def test_handles_and_functions_contend_on_one_slot(shm_name):
    """One process writes and reads through a handle, the other through the
    functions; values of growing and shrinking sizes are never seen torn."""
    name = shm_name("mixed")
    zelvane.create_memory(name)
    through_handle = CONTENDER.replace("deadline =", "h = zelvane.open_memory(name)\ndeadline =").replace(
        "zelvane.write_memory(name, ", "h.write(").replace("zelvane.read_memory(name)", "h.read()")
    assert through_handle != CONTENDER
    children = [spawn_python(through_handle, name, "1", "3"), spawn_python(CONTENDER, name, "2", "3")]
    try:
        start_together(children)
        for child in children:
            out, err = child.communicate(timeout=240)
            assert child.returncode == 0, out + err
    finally:
        for child in children:
            finish(child)
    value = zelvane.read_memory(name)
    assert value[0] in (1, 2) and value == bytes([value[0]]) * len(value)


KILLED_HOLDER = CHILD_PRELUDE + """
import sys
from shm_util import SlotMutex
mutex = SlotMutex(sys.argv[1])
assert mutex.lock() == 0
print("locked", flush=True)
sys.stdin.readline()
"""


def test_a_holder_that_died_is_recovered_through_a_handle(shm_name):
    name = shm_name("dead")
    handle = zelvane.open_memory(name)
    handle.write("kept")
    holder = spawn_python(KILLED_HOLDER, name)
    try:
        wait_for_line(holder, "locked")
    finally:
        holder.kill()
        finish(holder)
    assert handle.read() == "kept"
    assert handle.write("next") is True
    assert zelvane.read_memory(name) == "next"
