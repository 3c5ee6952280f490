"""The per-process cache of mapped slots and function records: what it keeps,
what it lets go, and that every change another process makes is still seen.
/proc/self/maps lists each mapped "/dev/shm/<name>", with " (deleted)" once
the name is unlinked."""
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
from test_function_robustness import BLOCKING_SETUP, gone_message

MAX_OBJECTS = 64
MIB = 1 << 20
GIB = 1 << 30
MAX_BYTES = 8 * GIB  # of address space; the objects below are sparse and cost nothing
ADD = "lambda a, b: a + b"
FUTEX_SYSCALL = {"x86_64": 202, "aarch64": 98}.get(platform.machine())


def shm_maps():
    """(start, end, path) of every /dev/shm file this process maps."""
    with open("/proc/self/maps") as f:
        rows = [line.rstrip("\n").split(maxsplit=5) for line in f]
    return [(*(int(x, 16) for x in row[0].split("-")), row[5])
            for row in rows if len(row) == 6 and row[5].startswith("/dev/shm/")]


def maps_of(name):
    path = shm_path(name)
    return [m for m in shm_maps() if m[2] in (path, path + " (deleted)")]


def mapped(name):
    """The paths under which this process maps `name`, one per mapping."""
    return [path for _, _, path in maps_of(name)]


def maps_whole_object(name):
    [(start, end, _)] = maps_of(name)
    page = os.sysconf("SC_PAGE_SIZE")
    return end - start == -(-os.path.getsize(shm_path(name)) // page) * page


def within_bounds():
    """No more /dev/shm files mapped or open than the cache keeps, and a few."""
    fds = [os.path.join("/proc/self/fd", fd) for fd in os.listdir("/proc/self/fd")]
    shm_fds = [fd for fd in fds if os.path.exists(fd) and os.readlink(fd).startswith("/dev/shm/")]
    return len(shm_maps()) <= MAX_OBJECTS + 8 and len(shm_fds) <= MAX_OBJECTS + 8


def elsewhere(code):
    """Runs `code` in another process (zelvane imported); returns its stdout."""
    proc = run_python(CHILD_PRELUDE + "import random, zelvane\n" + textwrap.dedent(code))
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def payload_of(size):
    return random.Random(size).randbytes(size)


def expect_error(exc, message, call, *args):
    with pytest.raises(exc) as info:
        call(*args)
    assert str(info.value) == message


def open_error(name):
    return f"Failed to open shared memory address '{name}'."


# --- Invalidation -------------------------------------------------------------

@pytest.mark.parametrize("prefix", ["", "/"])  # both spellings reach one entry
def test_touched_slot_stays_mapped_until_removed_here(shm_name, prefix):
    name = shm_name("keep")
    zelvane.write_memory(name, 1)
    assert zelvane.read_memory(prefix + name) == 1
    assert mapped(name) == [shm_path(name)]
    assert zelvane.remove_memory(prefix + name) is True
    assert mapped(name) == []


@pytest.mark.parametrize("touch, outcome", [
    (zelvane.read_memory, MemoryError),
    (lambda n: zelvane.write_memory(n, 2, create=False), MemoryError),
    (zelvane.remove_memory, False),
    (lambda n: zelvane.write_memory(n, 2) and zelvane.read_memory(n), 2),
])
def test_removed_elsewhere_stays_mapped_until_touched(shm_name, touch, outcome):
    name = shm_name("gone")
    zelvane.write_memory(name, 1)
    elsewhere(f"assert zelvane.remove_memory({name!r}) is True")
    assert mapped(name) == [shm_path(name) + " (deleted)"]
    if outcome is MemoryError:
        expect_error(MemoryError, open_error(name), touch, name)
    else:
        assert touch(name) == outcome
    assert mapped(name) == ([shm_path(name)] if outcome == 2 else [])


@pytest.mark.parametrize("new", [b"y", "z" * 100_000], ids=["smaller", "larger"])
def test_recreated_elsewhere(shm_name, new):
    name = shm_name("again")
    zelvane.write_memory(name, "x" * 1000)
    assert zelvane.read_memory(name) == "x" * 1000
    elsewhere(f"zelvane.remove_memory({name!r}); zelvane.write_memory({name!r}, {new!r})")
    assert zelvane.read_memory(name) == new
    assert mapped(name) == [shm_path(name)]
    assert zelvane.write_memory(name, [1, 2.5]) is True
    assert elsewhere(f"print(zelvane.read_memory({name!r}))") == "[1, 2.5]\n"


def test_growth_elsewhere_is_seen_and_remapped(shm_name):
    name = shm_name("grow")
    zelvane.write_memory(name, 0)
    for size in (MIB, 5 * MIB):
        elsewhere(f"zelvane.write_memory({name!r}, random.Random({size}).randbytes({size}))")
        assert zelvane.read_memory(name) == payload_of(size)
        assert maps_whole_object(name)
    assert zelvane.write_memory(name, payload_of(9 * MIB)) is True
    size = 9 * MIB
    assert elsewhere(f"print(zelvane.read_memory({name!r}) == random.Random({size}).randbytes({size}))"
                     ) == "True\n"


# --- Bounds -------------------------------------------------------------------

def test_least_recently_used_go_first(shm_name):
    names = [shm_name("lru") for _ in range(MAX_OBJECTS + 6)]
    for i, name in enumerate(names):
        zelvane.write_memory(name, i)
    assert [bool(mapped(n)) for n in names] == [False] * 6 + [True] * MAX_OBJECTS
    assert zelvane.read_memory(names[0]) == 0
    assert [bool(mapped(n)) for n in names] == [True] + [False] * 6 + [True] * (MAX_OBJECTS - 1)
    assert [zelvane.read_memory(n) for n in names] == list(range(len(names)))
    assert sum(bool(mapped(n)) for n in names) == MAX_OBJECTS


def test_objects_beyond_the_byte_bound_are_not_kept(shm_name):
    big, grown = shm_name("big"), shm_name("grown")
    assert zelvane.create_memory(big, MAX_BYTES + MIB) is True
    assert zelvane.write_memory(big, "small") is True
    assert zelvane.read_memory(big) == "small"
    assert mapped(big) == []
    zelvane.write_memory(grown, "cached")
    assert mapped(grown) == [shm_path(grown)]
    with open(shm_path(grown), "r+b") as f:  # grown as another writer does
        f.truncate(HEADER_SIZE + MAX_BYTES + MIB)
        f.write(struct.pack("<Q", MAX_BYTES + MIB))
    assert zelvane.read_memory(grown) == "cached"
    assert mapped(grown) == []


def test_two_large_objects_are_not_both_kept(shm_name):
    first, second = shm_name("a5g"), shm_name("b5g")
    for value, name in enumerate((first, second)):
        zelvane.create_memory(name, MAX_BYTES * 5 // 8)
        zelvane.write_memory(name, value)
    assert (mapped(first), mapped(second)) == ([], [shm_path(second)])
    assert zelvane.read_memory(first) == 0
    assert (mapped(first), mapped(second)) == ([shm_path(first)], [])
    assert zelvane.read_memory(second) == 1


# --- Fork ---------------------------------------------------------------------

def run_forked(body):
    """Runs `body` in an os.fork()ed child; returns its exit code."""
    pid = os.fork()
    if pid == 0:
        try:
            body()
            os._exit(0)
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(1)
    ended = []
    try:
        wait_until(lambda: ended.append(os.waitpid(pid, os.WNOHANG)) or ended[-1][0] == pid,
                   what="the forked child")
    finally:
        if ended[-1][0] != pid:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(ended[-1][1])


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


# --- Function records ---------------------------------------------------------

@pytest.mark.parametrize("stop_here", [True, False])
@pytest.mark.parametrize("successor", [None, "slot", "server"])
def test_function_record_after_a_stop(serve, stop_here, successor):
    first = serve(ADD)
    name = first.name
    assert zelvane.call_function(name, (3, 4)) == 7
    assert zelvane.call_function(name, (5, 4)) == 9
    assert mapped(name) == [shm_path(name)]
    if stop_here:
        assert zelvane.remove_function(name) is True
        assert mapped(name) == []
    else:
        elsewhere(f"assert zelvane.remove_function({name!r}) is True")
    assert first.finish() == (0, "read\nreturned None\n")
    if successor is None:
        expect_error(MemoryError, "Failed to open the shared memory.", zelvane.call_function, name, ())
        assert mapped(name) == []
    elif successor == "slot":
        elsewhere(f"zelvane.write_memory({name!r}, 'a slot now')")
        expect_error(MemoryError, f"The shared memory address '{name}' does not hold a hosted function.",
                     zelvane.call_function, name, ())
        assert zelvane.read_memory(name) == "a slot now"
        assert mapped(name) == [shm_path(name)]
    else:
        second = serve("lambda a, b: a * b", name=name)
        assert zelvane.call_function(name, (3, 4)) == 12
        assert mapped(name) == [shm_path(name)]
        assert zelvane.remove_function(name) is True
        assert second.finish() == (0, "read\nreturned None\n")


def test_killed_server_is_noticed_through_the_cached_record(serve):
    server = serve(ADD)
    assert zelvane.call_function(server.name, (1, 2)) == 3
    server.kill()
    expect_error(RuntimeError, gone_message(server.name), zelvane.call_function, server.name, (1, 2))
    assert zelvane.remove_function(server.name) is True
    assert mapped(server.name) == []


# A thread of the serving process calls its own function; the end of serving
# drops the record it kept as a caller.
OWN_CALLER = """
def own_caller():
    while not os.path.exists('/dev/shm/' + NAME):
        time.sleep(0.01)
    print("called", zelvane.call_function(NAME, (1, 2)), flush=True)
threading.Thread(target=own_caller).start()
"""


def test_end_of_serving_drops_the_servers_own_caller_entry(serve):
    server = serve(ADD, setup=OWN_CALLER,
                   after="print('mapped', any(NAME in line for line in open('/proc/self/maps')))")
    wait_for_line(server.proc, "called 3")
    assert zelvane.remove_function(server.name) is True
    assert server.finish() == (0, "read\nreturned None\nmapped False\n")


def test_record_in_use_outlives_its_stop(serve, tmp_path):
    server = serve("blocking", setup=BLOCKING_SETUP.format(flags=str(tmp_path)))
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        call = pool.submit(zelvane.call_function, server.name, ("mine",))
        wait_until((tmp_path / "started").exists, what="the call to run")
        assert zelvane.remove_function(server.name) is True
        assert len(mapped(server.name)) == 1  # dropped, but the call still uses it
        (tmp_path / "release").touch()
        assert call.result(timeout=TIMEOUT) == "mine"
    assert server.finish() == (0, "read\nreturned None\n")
    assert mapped(server.name) == []


# --- An object in use ---------------------------------------------------------

# Holds the slot's mutex. At the first line it reads, it may store a new,
# larger value as a writer does (encoded bytes in the file argv[2]); at the
# second, it lets go.
HOLDER = CHILD_PRELUDE + """
import os, struct, sys
from conftest import HEADER_SIZE, shm_path
from shm_util import SlotMutex
name, data_file = sys.argv[1], sys.argv[2]
fd = os.open(shm_path(name), os.O_RDWR)
mutex = SlotMutex(name)
assert mutex.lock() == 0
print("locked", flush=True)
sys.stdin.readline()
if data_file:
    data = open(data_file, "rb").read()
    os.ftruncate(fd, HEADER_SIZE + len(data))
    os.pwrite(fd, data, HEADER_SIZE)
    os.pwrite(fd, struct.pack("<Q", len(data)), 0)
print("stored", flush=True)
sys.stdin.readline()
assert mutex.unlock() == 0
print("unlocked", flush=True)
"""


def blocked_on_slot(tid, name):
    """Whether thread `tid` sleeps in a futex wait inside a mapping of `name`."""
    try:
        with open(f"/proc/self/task/{tid}/syscall") as f:
            fields = f.read().split()
    except OSError:
        return False
    if len(fields) < 2 or fields[0] != str(FUTEX_SYSCALL):
        return False
    return any(start <= int(fields[1], 16) < end for start, end, _ in maps_of(name))


# Readers block on the slot's mutex, held by another process; meanwhile the
# slot is evicted and removed here, or left cached and found grown by a
# further reader: the mapping they locked through must stay put.
@pytest.mark.skipif(FUTEX_SYSCALL is None, reason="futex system call number unknown here")
@pytest.mark.parametrize("after, grow, readers", [
    ("removed", False, 1), ("removed", True, 2), ("evicted", True, 1), ("kept", True, 2)])
def test_slot_in_use_is_never_unmapped(shm_name, tmp_path, after, grow, readers):
    name = shm_name("busy")
    zelvane.write_memory(name, "before")
    value, data_file = "before", ""
    if grow:
        value, data_file = "after" * 50_000, tmp_path / "data"
        data_file.write_bytes(encoded(shm_name("enc"), value))
    assert zelvane.read_memory(name) == "before"
    holder = spawn_python(HOLDER, name, str(data_file))
    tids, reads = [], []

    def read():
        tids.append(threading.get_native_id())
        return zelvane.read_memory(name)

    def start_readers(pool, count):
        reads.extend(pool.submit(read) for _ in range(count))
        wait_until(lambda: len(tids) == len(reads) and all(blocked_on_slot(t, name) for t in tids),
                   what="the readers to block on the slot's mutex")

    def tell_holder(expected):
        holder.stdin.write("\n")
        holder.stdin.flush()
        wait_for_line(holder, expected)
    others = [shm_name("evict") for _ in range(MAX_OBJECTS + 6)] if after != "kept" else []
    # The holder lets go (its input closed) before the pool waits for the readers.
    with concurrent.futures.ThreadPoolExecutor(readers + 1) as pool:
        try:
            wait_for_line(holder, "locked")
            start_readers(pool, readers)
            for i, other in enumerate(others):
                zelvane.write_memory(other, i)
            if after == "removed":
                assert zelvane.remove_memory(name) is True
            assert mapped(name) == [shm_path(name) + (" (deleted)" if after == "removed" else "")]
            tell_holder("stored")
            if after == "kept":
                start_readers(pool, 1)
            assert not any(r.done() for r in reads)
            tell_holder("unlocked")
            assert [r.result(timeout=TIMEOUT) for r in reads] == [value] * len(reads)
        finally:
            finish(holder)
    if after == "kept":
        assert maps_whole_object(name)  # the entry took the last reader's larger view
    else:
        assert mapped(name) == []
    if after == "removed":
        expect_error(MemoryError, open_error(name), zelvane.read_memory, name)
    else:
        assert zelvane.read_memory(name) == value
    assert [zelvane.read_memory(o) for o in others] == list(range(len(others)))


# --- Many names over time -----------------------------------------------------

# Removed here, each name goes at once; removed behind the cache's back, the
# least recently used go once the bound is reached.
@pytest.mark.parametrize("remove, left", [(zelvane.remove_memory, 0),
                                          (lambda n: os.unlink(shm_path(n)), MAX_OBJECTS)])
def test_many_names_do_not_leak(shm_name, remove, left):
    names = [shm_name("many") for _ in range(500)]
    for i, name in enumerate(names):
        zelvane.write_memory(name, i)
        assert zelvane.read_memory(name) == i
        remove(name)
        assert i % 50 or within_bounds()
    assert within_bounds()
    assert sum(bool(mapped(n)) for n in names) == left


# A failure to map must not decide how a later, different failure reads.
def test_a_map_failure_does_not_colour_later_errors(shm_name):
    huge = shm_name("huge")
    with open(shm_path(huge), "wb") as f:
        f.truncate(1 << 60)  # sparse, and too large to map
    expect_error(MemoryError, f"Failed to map shared memory address '{huge}'.", zelvane.read_memory, huge)
    expect_error(MemoryError, open_error("a/b"), zelvane.read_memory, "a/b")
    expect_error(MemoryError, "Failed to open the shared memory.", zelvane.call_function, "a/b", ())
