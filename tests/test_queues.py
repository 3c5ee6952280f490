"""Named queues: queue.Queue's conventions, one FIFO order for many producers
and consumers in processes and threads, bounds and timeouts, large items,
crash safety (killed producers and consumers, reliable gets), fork, and the
rules every object of the namespace follows (hostile headers, the seven
functions, the command)."""
import json
import os
import pickle
import queue
import random
import signal
import struct
import threading
import time
import zlib

import pytest

import zelvane

from conftest import CHILD_PRELUDE, TIMEOUT, finish, shm_path, spawn_python, wait_for_line, wait_until
from test_arrays import SEVEN, contents
from test_command import listing, run_command
from test_faults import run_on_small_shm

pytestmark = pytest.mark.timeout(180)

# Items above this travel in extents of their own rather than in the ring.
INLINE_MAX = 32 << 10
HEADER = 4096


@pytest.fixture
def q(shm_name):
    handle = zelvane.open_queue(shm_name("q"))
    yield handle
    handle.close()


# --- queue.Queue's conventions -------------------------------------------------

VALUES = [0, -7, 2**70, 1.5, "", "text" * 30, b"\0bytes", bytearray(b"ba"), None, True,
          (1, "a"), [1, [2, 3]], {"k": {"n": [1.0, None]}}, {1, 2}, b"x" * (INLINE_MAX + 1),
          "large " * 20000]


def test_items_come_out_whole_and_in_order(q):
    for value in VALUES:
        q.put(value)
    assert q.qsize() == len(VALUES)
    assert [q.get() for _ in VALUES] == VALUES
    assert q.empty() and not q.full()


@pytest.mark.parametrize("call", [lambda h: h.get_nowait(), lambda h: h.get(block=False),
                                  lambda h: h.get(timeout=0.05), lambda h: h.get(True, 0)])
def test_an_empty_queue_raises_queue_empty(q, call):
    with pytest.raises(queue.Empty):
        call(q)


@pytest.mark.parametrize("call", [lambda h: h.put_nowait(3), lambda h: h.put(3, block=False),
                                  lambda h: h.put(3, timeout=0.05), lambda h: h.put(b"z" * (INLINE_MAX * 2), timeout=0)])
def test_a_full_queue_raises_queue_full_and_keeps_its_items(shm_name, call):
    bounded = zelvane.open_queue(shm_name("bounded"), 2)
    bounded.put(1)
    bounded.put(2)
    assert bounded.full()
    with pytest.raises(queue.Full):
        call(bounded)
    assert bounded.qsize() == 2 and [bounded.get(), bounded.get()] == [1, 2]


def test_a_blocked_put_goes_on_when_a_get_makes_room(shm_name):
    name = shm_name("room")
    bounded = zelvane.open_queue(name, 1)
    bounded.put("first")
    consumer = spawn_python(CHILD_PRELUDE + """
import sys, zelvane
h = zelvane.open_queue(sys.argv[1])
print("ready", flush=True)
sys.stdin.readline()
print(h.get(timeout=60), flush=True)
""", name)
    try:
        wait_for_line(consumer, "ready")
        done = threading.Event()
        thread = threading.Thread(target=lambda: (bounded.put("second", timeout=TIMEOUT), done.set()))
        thread.start()
        wait_until(lambda: zelvane._queue_state(os.open(shm_path(name), os.O_RDONLY)) is not None)
        consumer.stdin.write("go\n")
        consumer.stdin.flush()
        wait_for_line(consumer, "first")
        thread.join(TIMEOUT)
        assert done.is_set() and bounded.get_nowait() == "second"
    finally:
        finish(consumer)


def test_an_existing_queue_keeps_its_bound(shm_name):
    name = shm_name("bound")
    zelvane.open_queue(name, 3)
    assert zelvane.open_queue(name).maxsize == 3
    assert zelvane.open_queue(name, 0).maxsize == 3
    with pytest.raises(ValueError) as info:
        zelvane.open_queue(name, 4)
    assert str(info.value) == f"The queue '{name}' has maxsize 3, not 4."


def test_a_missing_queue_is_not_made_without_create(shm_name):
    name = shm_name("missing")
    with pytest.raises(MemoryError) as info:
        zelvane.open_queue(name, create=False)
    assert str(info.value) == f"Failed to open shared memory address '{name}'."
    assert not os.path.exists(shm_path(name))


def test_a_closed_handle_refuses_use_and_pickling_opens_the_same_queue(shm_name):
    name = shm_name("closed")
    with zelvane.open_queue(name, 5) as handle:
        handle.put("kept")
        copy = pickle.loads(pickle.dumps(handle))
        assert repr(handle) == f"<zelvane.QueueHandle name='{name}' maxsize=5>"
    assert handle.closed and repr(handle).endswith(" closed>")
    for call in (lambda: handle.put(1), handle.get_nowait, handle.qsize, handle.get_reliably):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == f"I/O operation on a closed queue handle of '{name}'."
    assert copy.maxsize == 5 and copy.get_nowait() == "kept"


def test_a_value_the_codec_refuses_puts_nothing(q):
    with pytest.raises(Exception):
        q.put(object())
    assert q.qsize() == 0


# --- Reliable gets ------------------------------------------------------------------

def test_get_reliably_returns_the_item_to_the_head_when_the_block_raises(q):
    for item in ("a", "b", "c"):
        q.put(item)
    with pytest.raises(KeyError):
        with q.get_reliably() as item:
            assert item == "a" and q.qsize() == 2
            raise KeyError
    assert q.qsize() == 3
    with q.get_reliably(timeout=TIMEOUT) as item:
        assert item == "a"
    assert [q.get(), q.get()] == ["b", "c"]
    with pytest.raises(queue.Empty):
        q.get_reliably(timeout=0)


def test_an_abandoned_reservation_gives_its_item_back(q):
    q.put(b"x" * (INLINE_MAX * 3))
    q.put("after")
    reservation = q.get_reliably()
    assert q.get() == "after"
    del reservation
    assert q.get() == b"x" * (INLINE_MAX * 3)


RELIABLE_VICTIM = """
import os, sys, zelvane
h = zelvane.open_queue(sys.argv[1])
with h.get_reliably() as item:
    print("holding", item, flush=True)
    sys.stdin.readline()
"""


@pytest.mark.parametrize("item", ["small", "L" * 40000], ids=["small", "large"])
def test_a_consumer_killed_inside_get_reliably_gives_the_item_back_first(shm_name, item):
    name = shm_name("victim")
    handle = zelvane.open_queue(name)
    handle.put(item)
    handle.put("second")
    victim = spawn_python(CHILD_PRELUDE + RELIABLE_VICTIM, name)
    try:
        wait_for_line(victim, f"holding {item}")
        assert handle.qsize() == 1
        victim.kill()
        victim.wait(TIMEOUT)
        # The dead consumer's item is back at the head, before "second".
        assert handle.get(timeout=TIMEOUT) == item
        assert handle.get(timeout=TIMEOUT) == "second"
    finally:
        finish(victim)


# --- Many producers and consumers -----------------------------------------------------

WORKER = CHILD_PRELUDE + """
import json, sys, zelvane
name, role, index, count, consumers = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
h = zelvane.open_queue(name, 64)
print("ready", flush=True)
sys.stdin.readline()
if role == "producer":
    for seq in range(count):
        h.put((index, seq, "p" * (seq % 200)))
    print(json.dumps([]), flush=True)
else:
    seen = []
    while True:
        item = h.get(timeout=60)
        if item is None:
            break
        seen.append(item[:2])
    print(json.dumps(seen), flush=True)
"""


def check_delivery(streams, producers, count):
    every = [tuple(item) for stream in streams for item in stream]
    assert sorted(every) == [(p, s) for p in range(producers) for s in range(count)]
    for stream in streams:
        for p in range(producers):
            mine = [s for producer, s in stream if producer == p]
            assert mine == sorted(mine)


def test_four_producer_and_four_consumer_processes_deliver_each_item_once_in_order(shm_name):
    name, count = shm_name("mpmc"), 1500
    zelvane.open_queue(name, 64)
    children = [spawn_python(WORKER, name, role, str(i), str(count), "4")
                for role in ("producer", "consumer") for i in range(4)]
    try:
        for child in children:
            wait_for_line(child, "ready")
        for child in children:
            child.stdin.write("go\n")
            child.stdin.flush()
        for child in children[:4]:
            assert json.loads(child.stdout.readline()) == []
        sentinel = zelvane.open_queue(name)
        for _ in range(4):
            sentinel.put(None, timeout=TIMEOUT)
        streams = [json.loads(child.stdout.readline()) for child in children[4:]]
    finally:
        for child in children:
            finish(child)
    check_delivery(streams, 4, count)


def test_four_producer_and_four_consumer_threads_deliver_each_item_once_in_order(shm_name):
    name, count = shm_name("threads"), 2000
    handle = zelvane.open_queue(name, 32)
    streams = [[] for _ in range(4)]

    def produce(index):
        mine = zelvane.open_queue(name) if index % 2 else handle  # shared and own handles alike
        for seq in range(count):
            mine.put((index, seq))

    def consume(stream):
        while (item := handle.get(timeout=TIMEOUT)) is not None:
            stream.append(item)

    threads = [threading.Thread(target=produce, args=(i,)) for i in range(4)]
    threads += [threading.Thread(target=consume, args=(s,)) for s in streams]
    for thread in threads:
        thread.start()
    for thread in threads[:4]:
        thread.join(TIMEOUT)
    for _ in range(4):
        handle.put(None)
    for thread in threads[4:]:
        thread.join(TIMEOUT)
    check_delivery(streams, 4, count)
    assert handle.qsize() == 0


def test_qsize_is_exact_while_threads_put_and_get(q):
    stop = threading.Event()
    puts = gets = 0

    def churn():
        while not stop.is_set():
            q.put(1)
            q.get()

    workers = [threading.Thread(target=churn) for _ in range(3)]
    for worker in workers:
        worker.start()
    try:
        for round_ in range(200):
            q.put(round_)
            puts += 1
            if round_ % 3 == 0:
                q.get()
                gets += 1
            # The churners hold at most one item each at any moment.
            assert puts - gets <= q.qsize() <= puts - gets + 3
    finally:
        stop.set()
        for worker in workers:
            worker.join(TIMEOUT)
    assert q.qsize() == puts - gets


# --- Killed producers and consumers ------------------------------------------------------

def item_for(producer, seq):
    size = 40000 if seq % 7 == 0 else seq % 300  # some in extents, most in the ring
    body = bytes([seq % 251]) * size
    return (producer, seq, zlib.crc32(body), body)


def whole(item):
    return zlib.crc32(item[3]) == item[2]


def forked(body):
    pid = os.fork()
    if pid == 0:
        try:
            body()
        finally:
            os._exit(0)
    return pid


def kill_soon(pid, rng):
    time.sleep(rng.uniform(0.0, 0.03))
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)


def log_lines(path):
    with open(path) as f:
        return [tuple(json.loads(line)) for line in f if line.endswith("\n")]


@pytest.mark.parametrize("reliable", [False, True], ids=["get", "get_reliably"])
def test_killed_producers_and_consumers_leave_no_partial_item(shm_name, tmp_path, reliable):
    name = shm_name("kill")
    handle = zelvane.open_queue(name, 50)
    rng = random.Random(7)
    confirmed, taken = set(), []
    for round_ in range(15):
        put_log, got_log = tmp_path / f"put{round_}", tmp_path / f"got{round_}"

        def produce():
            h = zelvane.open_queue(name)
            with open(put_log, "a") as log:
                for seq in range(10**6):
                    h.put(item_for(round_, seq))
                    log.write(json.dumps([round_, seq]) + "\n")
                    log.flush()

        def consume():
            h = zelvane.open_queue(name)
            with open(got_log, "a") as log:
                while True:
                    if reliable:
                        with h.get_reliably() as item:
                            assert whole(item)
                            log.write(json.dumps(item[:2]) + "\n")
                            log.flush()
                    else:
                        item = h.get()
                        assert whole(item)
                        log.write(json.dumps(item[:2]) + "\n")
                        log.flush()

        producer, consumer = forked(produce), forked(consume)
        kill_soon(producer, rng)
        kill_soon(consumer, rng)
        confirmed |= set(log_lines(put_log)) if put_log.exists() else set()
        taken += log_lines(got_log) if got_log.exists() else []
    remaining = []
    while True:
        try:
            item = handle.get(timeout=1.0)
        except queue.Empty:
            break
        assert whole(item)
        remaining.append(tuple(item[:2]))
    delivered = taken + remaining
    assert set(delivered) <= {(round_, seq) for round_ in range(15) for seq in range(10**6)}
    if reliable:
        # Nothing lost that a producer saw put. (A plain get's consumer killed
        # between get() returning and its log line had the item.)
        assert confirmed <= set(delivered)
    else:
        assert len(delivered) == len(set(delivered))  # at most once
    state = zelvane._queue_state(os.open(shm_path(name), os.O_RDONLY))
    assert (state["length"], state["reserved"], state["incoming"]) == (0, 0, 0)


# --- Large items, a full /dev/shm, fork -------------------------------------------------------

def test_a_64_mib_item_crosses_processes_and_its_memory_is_given_back(shm_name):
    name = shm_name("large")
    handle = zelvane.open_queue(name)
    data = os.urandom(1 << 20) * 64
    child = spawn_python(CHILD_PRELUDE + """
import hashlib, sys, zelvane
h = zelvane.open_queue(sys.argv[1])
item = h.get(timeout=60)
print(len(item), hashlib.sha256(item).hexdigest(), flush=True)
h.put(item[:10])
""", name)
    try:
        handle.put(data)
        import hashlib
        wait_for_line(child, f"{len(data)} {hashlib.sha256(data).hexdigest()}")
        assert handle.get(timeout=TIMEOUT) == data[:10]
    finally:
        finish(child)
    assert os.stat(shm_path(name)).st_blocks * 512 < (1 << 20)


FULL_SHM = r"""
import json, zelvane
h = zelvane.open_queue("q")
results = {}
for label, item in (("big", b"x" * (8 << 20)), ("many", [b"y" * 30000] * 300)):
    try:
        h.put(item)
        results[label] = "stored"
    except MemoryError as exc:
        results[label] = str(exc)
h.put("small")
results["after"] = [h.qsize(), h.get()]
print(json.dumps(results))
"""


PARTICIPANTS_AT, PARTICIPANT_SIZE, CLAIMS_AT, CLAIM_SIZE, CLAIMS = 1024, 16, 3072, 32, 32


def set_every_claim(name, owner, state):
    """Marks every claim of extents as this participant's, storing (or frees them)."""
    with open(shm_path(name), "r+b") as f:
        for index in range(CLAIMS):
            f.seek(CLAIMS_AT + index * CLAIM_SIZE)
            f.write(struct.pack("<IIQQQ", state, owner if state else 0, 0, 0, 0))


@pytest.mark.parametrize("call", [lambda h, item: h.put_nowait(item),
                                  lambda h, item: h.put(item, timeout=0.2)], ids=["put_nowait", "timeout"])
def test_a_large_put_with_every_claim_in_use_raises_queue_full_when_it_may_not_wait(shm_name, call):
    name = shm_name("claims")
    handle = zelvane.open_queue(name)
    try:
        handle.put("join")  # makes this process a participant, alive for the claims
        assert handle.get() == "join"
        with open(shm_path(name), "rb") as f:
            raw = f.read(HEADER)
        pids = [struct.unpack_from("<I", raw, PARTICIPANTS_AT + i * PARTICIPANT_SIZE)[0] for i in range(128)]
        set_every_claim(name, pids.index(os.getpid()), 1)
        with pytest.raises(queue.Full):
            call(handle, b"L" * (INLINE_MAX + 1))
        set_every_claim(name, 0, 0)
        call(handle, b"L" * (INLINE_MAX + 1))
        assert handle.get() == b"L" * (INLINE_MAX + 1)
    finally:
        handle.close()


@pytest.mark.timeout(300)
def test_a_full_dev_shm_is_a_memory_error_with_nothing_put():
    proc = run_on_small_shm(FULL_SHM)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == {"big": "Failed to allocate for shared memory address 'q'.",
                                       "many": "Failed to allocate for shared memory address 'q'.",
                                       "after": [1, "small"]}


def test_a_fork_child_uses_the_queue_and_its_death_returns_its_reservation(shm_name):
    name = shm_name("fork")
    handle = zelvane.open_queue(name)
    handle.put("parent's")
    with handle.get_reliably() as item:  # the parent takes its participant first
        assert item == "parent's"
    handle.put("child's")
    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            reservation = handle.get_reliably()
            os.write(ready_w, reservation.__enter__().encode() + b"\n")
            time.sleep(60)
        finally:
            os._exit(0)
    try:
        assert os.read(ready_r, 100) == b"child's\n"
        assert handle.qsize() == 0
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(ready_r)
        os.close(ready_w)
    # The parent lives on; the child's participant died with it.
    assert handle.get(timeout=TIMEOUT) == "child's"


# --- Hostile headers, the seven functions and the command --------------------------------------

def patched(raw, offset, fmt, value):
    data = bytearray(raw)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


HOSTILE = {
    "magic": (0, "<B", ord("Z")),
    "layout": (8, "<I", 2),
    "zero": (12, "<I", 1),
    "current": (128, "<I", 7),
    "ring offset": (144, "<Q", 4097),
    "ring size": (152, "<Q", 65536 + 8),
    "ring past heap": (152, "<Q", 1 << 30),
    "heap past size": (120, "<Q", 1 << 40),
    "mutex kind": (32 + 16, "<I", 0x7777),
}


@pytest.mark.parametrize("field", HOSTILE)
def test_hostile_headers_are_refused_and_left_alone(shm_name, field):
    name = shm_name("hostile")
    zelvane.open_queue(name).close()
    offset, fmt, value = HOSTILE[field]
    with open(shm_path(name), "r+b") as f:
        data = f.read(HEADER)
        f.seek(0)
        f.write(patched(data, offset, fmt, value))
    before = contents(name)
    with pytest.raises(MemoryError) as info:
        zelvane.open_queue(name)
    assert str(info.value) == f"The shared memory address '{name}' does not hold a queue."
    assert contents(name) == before


DAMAGE = {
    "tail far ahead": (88, "<Q", 1 << 50),
    "next before head": (80, "<Q", 2**64 - 8),
    "record length": (HEADER, "<I", 0xFFFFFFF0),
    "record state": (HEADER + 4, "<B", 9),
    "extent outside": (HEADER + 8, "<Q", 1 << 45),
}


@pytest.mark.parametrize("field", DAMAGE)
def test_damaged_state_after_opening_is_an_error_never_a_crash(shm_name, field):
    name = shm_name("damage")
    handle = zelvane.open_queue(name)
    handle.put(b"e" * (INLINE_MAX + 10) if field == "extent outside" else "item")
    offset, fmt, value = DAMAGE[field]
    with open(shm_path(name), "r+b") as f:
        data = f.read(HEADER + 64)
        f.seek(0)
        f.write(patched(data, offset, fmt, value))
    with pytest.raises(RuntimeError) as info:
        handle.get(timeout=0)
    assert str(info.value) == f"The queue '{name}' is damaged."


@pytest.mark.parametrize("function", SEVEN)
def test_the_seven_functions_leave_a_queue_alone(shm_name, function):
    name = shm_name("seven")
    handle = zelvane.open_queue(name)
    handle.put("kept")
    before = contents(name)
    call, error, outcome = SEVEN[function]
    if error is None:
        assert call(name) is outcome
    else:
        with pytest.raises(error) as info:
            call(name)
        assert str(info.value) == outcome.format(name)
    assert contents(name) == before
    assert handle.get_nowait() == "kept"
    assert zelvane.remove_memory(name) is True and not os.path.exists(shm_path(name))


def test_the_command_shows_queues_and_clean_leaves_them(shm_name):
    name = shm_name("cmd")
    handle = zelvane.open_queue(name, 10)
    for item in range(3):
        handle.put(item)
    entry = listing()[name]
    assert (entry["kind"], entry["length"], entry["maxsize"], entry["consumers_waiting"]) == ("queue", 3, 10, 0)
    assert "length 3, capacity 10, waiters 0 get / 0 put" in run_command("ls").stdout
    shown = run_command("show", name)
    assert shown.returncode == 0 and "length: 3" in shown.stdout
    before = contents(name)
    assert run_command("clean").returncode == 0
    assert contents(name) == before
    assert run_command("rm", name).stdout == f"{name}: removed\n"
    assert not os.path.exists(shm_path(name))


def test_the_command_counts_a_waiting_consumer(shm_name):
    name = shm_name("waiting")
    handle = zelvane.open_queue(name)
    thread = threading.Thread(target=lambda: handle.get(timeout=TIMEOUT))
    thread.start()
    try:
        wait_until(lambda: listing()[name]["consumers_waiting"] == 1)
    finally:
        handle.put("wake")
        thread.join(TIMEOUT)
    assert listing()[name]["consumers_waiting"] == 0
