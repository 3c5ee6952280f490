"""The per-process cache of mapped slots and function records: what it keeps,
what it lets go, and that every change another process makes is still seen.

/proc/self/maps shows what this process has mapped: "/dev/shm/<name>", with
" (deleted)" once the name was unlinked."""
import concurrent.futures
import multiprocessing
import os
import platform
import random
import signal
import struct
import textwrap
import threading
import traceback

import pytest

import zelvane

from codec_util import encoded
from conftest import (CHILD_PRELUDE, HEADER_SIZE, TIMEOUT, finish, run_python, shm_path,
                      spawn_python, wait_for_line, wait_until)

MAX_OBJECTS = 64
MIB = 1 << 20
ADD = "lambda a, b: a + b"
FUTEX_SYSCALL = {"x86_64": 202, "aarch64": 98}.get(platform.machine())


def open_error(name):
    return f"Failed to open shared memory address '{name}'."


def shm_maps():
    """(start, end, path) of every /dev/shm file this process maps."""
    found = []
    with open("/proc/self/maps") as f:
        for line in f:
            fields = line.rstrip("\n").split(maxsplit=5)
            if len(fields) == 6 and fields[5].startswith("/dev/shm/"):
                start, end = (int(x, 16) for x in fields[0].split("-"))
                found.append((start, end, fields[5]))
    return found


def maps_of(name):
    path = shm_path(name)
    return [m for m in shm_maps() if m[2] in (path, path + " (deleted)")]


def mapped(name):
    """The paths under which this process maps `name` (one per mapping)."""
    return [path for _, _, path in maps_of(name)]


def shm_fds():
    fds = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            pass
    return [target for target in fds if target.startswith("/dev/shm/")]


def elsewhere(code):
    """Runs `code` in another process (zelvane imported); returns its stdout."""
    proc = run_python(CHILD_PRELUDE + "import zelvane\n" + textwrap.dedent(code))
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def page_rounded(size):
    page = os.sysconf("SC_PAGE_SIZE")
    return -(-size // page) * page


# --- Invalidation ---------------------------------------------------------

def test_touched_slot_stays_mapped_until_removed_here(shm_name):
    name = shm_name("keep")
    zelvane.write_memory(name, 1)
    assert zelvane.read_memory(name) == 1
    assert mapped(name) == [shm_path(name)]
    assert zelvane.remove_memory(name) is True
    assert mapped(name) == []


# The name removed by another process: the next touch here finds that out.
@pytest.mark.parametrize("touch, outcome", [
    (lambda n: zelvane.read_memory(n), MemoryError),
    (lambda n: zelvane.write_memory(n, 2, create=False), MemoryError),
    (lambda n: zelvane.remove_memory(n), False),
    (lambda n: zelvane.write_memory(n, 2) and zelvane.read_memory(n), 2),
])
def test_removed_elsewhere_stays_mapped_until_touched(shm_name, touch, outcome):
    name = shm_name("gone")
    zelvane.write_memory(name, 1)
    elsewhere(f"assert zelvane.remove_memory({name!r}) is True")
    assert mapped(name) == [shm_path(name) + " (deleted)"]
    if outcome is MemoryError:
        with pytest.raises(MemoryError) as info:
            touch(name)
        assert str(info.value) == open_error(name)
    else:
        assert touch(name) == outcome
    assert mapped(name) == ([shm_path(name)] if outcome == 2 else [])


@pytest.mark.parametrize("new", [b"y", "z" * 100_000])  # a smaller and a larger object
def test_recreated_elsewhere(shm_name, new):
    name = shm_name("again")
    zelvane.write_memory(name, "x" * 1000)
    assert zelvane.read_memory(name) == "x" * 1000
    elsewhere(f"""
        assert zelvane.remove_memory({name!r}) is True
        zelvane.write_memory({name!r}, {new!r})""")
    assert zelvane.read_memory(name) == new
    assert mapped(name) == [shm_path(name)]
    assert zelvane.write_memory(name, [1, 2.5]) is True
    assert elsewhere(f"print(zelvane.read_memory({name!r}))") == "[1, 2.5]\n"


def payload_of(size):
    return random.Random(size).randbytes(size)


def test_growth_elsewhere_is_seen_and_remapped(shm_name):
    name = shm_name("grow")
    zelvane.write_memory(name, 0)
    assert zelvane.read_memory(name) == 0
    for size in (MIB, 5 * MIB):
        elsewhere(f"""
            import random
            zelvane.write_memory({name!r}, random.Random({size}).randbytes({size}))""")
        assert zelvane.read_memory(name) == payload_of(size)
        [(start, end, _)] = maps_of(name)
        assert end - start == page_rounded(os.path.getsize(shm_path(name)))
    assert zelvane.write_memory(name, payload_of(9 * MIB)) is True
    assert elsewhere(f"""
        import random
        print(zelvane.read_memory({name!r}) == random.Random({9 * MIB}).randbytes({9 * MIB}))""") == "True\n"


# --- Bounds -----------------------------------------------------------------

def test_least_recently_used_go_first(shm_name):
    names = [shm_name("lru") for _ in range(MAX_OBJECTS + 6)]
    for i, name in enumerate(names):
        zelvane.write_memory(name, i)
    assert [bool(mapped(n)) for n in names] == [False] * 6 + [True] * MAX_OBJECTS
    assert zelvane.read_memory(names[0]) == 0
    assert [bool(mapped(n)) for n in names] == [True] + [False] * 6 + [True] * (MAX_OBJECTS - 1)
    assert [zelvane.read_memory(n) for n in names] == list(range(len(names)))
    assert sum(bool(mapped(n)) for n in names) == MAX_OBJECTS


def grow_raw(name, capacity):
    """Grows a slot the way another process's writer does, value untouched."""
    with open(shm_path(name), "r+b") as f:
        f.truncate(HEADER_SIZE + capacity)
        f.write(struct.pack("<Q", capacity))


def test_objects_beyond_the_byte_bound_are_not_kept(shm_name):
    big, grown = shm_name("big"), shm_name("grown")
    assert zelvane.create_memory(big, 65 * MIB) is True
    assert zelvane.write_memory(big, "small") is True
    assert mapped(big) == []
    assert zelvane.read_memory(big) == "small"
    assert mapped(big) == []
    zelvane.write_memory(grown, "cached")
    assert mapped(grown) == [shm_path(grown)]
    grow_raw(grown, 65 * MIB)
    assert zelvane.read_memory(grown) == "cached"
    assert mapped(grown) == []


def test_two_large_objects_are_not_both_kept(shm_name):
    first, second = shm_name("a40"), shm_name("b40")
    for value, name in enumerate((first, second)):
        zelvane.create_memory(name, 40 * MIB)
        zelvane.write_memory(name, value)
    assert (mapped(first), mapped(second)) == ([], [shm_path(second)])
    assert zelvane.read_memory(first) == 0
    assert (mapped(first), mapped(second)) == ([shm_path(first)], [])
    assert zelvane.read_memory(second) == 1


# --- Fork -------------------------------------------------------------------

def run_forked(body):
    """Runs `body` in an os.fork()ed child; returns its exit code."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            body()
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    codes = []

    def ended():
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            codes.append(os.waitstatus_to_exitcode(status))
        return bool(done)
    try:
        wait_until(ended, what="the forked child")
    finally:
        if not codes:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    return codes[0]


def run_fork_process(body):
    """Runs `body` in a multiprocessing child started by fork; returns its exit code."""
    proc = multiprocessing.get_context("fork").Process(target=body)
    proc.start()
    proc.join(TIMEOUT)
    if proc.exitcode is None:
        proc.kill()
        proc.join(TIMEOUT)
    return proc.exitcode


@pytest.mark.parametrize("run_child", [run_forked, run_fork_process])
def test_forked_child_inherits_a_working_cache(serve, shm_name, run_child):
    server = serve(ADD)
    name = shm_name("fork")
    zelvane.write_memory(name, "parent")
    assert zelvane.read_memory(name) == "parent"
    assert zelvane.call_function(server.name, (1, 2)) == 3
    assert mapped(name) == [shm_path(name)] and mapped(server.name) == [shm_path(server.name)]

    def child():
        assert zelvane.read_memory(name) == "parent"
        assert zelvane.call_function(server.name, (2, 3)) == 5
        assert zelvane.write_memory(name, "child" * 10_000) is True  # grows the slot
        assert zelvane.read_memory(name) == "child" * 10_000
        assert zelvane.call_function(server.name, ("a", "b")) == "ab"
    assert run_child(child) == 0
    assert zelvane.read_memory(name) == "child" * 10_000
    assert zelvane.write_memory(name, "parent" * 20_000) is True
    assert elsewhere(f"print(len(zelvane.read_memory({name!r})))") == f"{6 * 20_000}\n"
    assert zelvane.call_function(server.name, (4, 5)) == 9
