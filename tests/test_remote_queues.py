"""Queues and temporary objects on Redis: queue.Queue's conventions and
errors as the local queues give them, one FIFO order for producers and
consumers in several processes, bounds and timeouts, reliable gets whose
consumer is killed, interrupted and cancelled gets, the asyncio mirror, and
temporary slots and queues that go with their last holder."""
import asyncio
import pickle
import queue
import threading
import uuid

import pytest

import zelvane
import zelvane.aio

from conftest import CHILD_PRELUDE, TIMEOUT, finish, spawn_python, start_together, wait_for_line, wait_until
from redis_util import redis_server  # noqa: F401 (fixtures)

pytestmark = pytest.mark.timeout(180)


class Space:
    """A Remote under a namespace of its own, whose keys go at teardown."""

    def __init__(self, server):
        self.url = server.url
        self.namespace = f"zq-{uuid.uuid4().hex[:12]}"
        self.api = zelvane.connect(server.url, namespace=self.namespace)
        self.client = self.api._client

    def keys(self, name):
        return sorted(self.client.keys(f"{{{self.namespace}:{name}}}*"))

    def cleanup(self):
        for key in self.client.scan_iter(match=f"{{{self.namespace}:*"):
            self.client.delete(key)
        self.api.close()


@pytest.fixture
def space(redis_server):
    made = Space(redis_server)
    yield made
    made.cleanup()


@pytest.fixture
def q(space):
    handle = space.api.open_queue("q")
    yield handle
    handle.close()


CHILD = CHILD_PRELUDE + """
import os, sys, zelvane
url, namespace, name = sys.argv[1:4]
z = zelvane.connect(url, namespace=namespace)
"""


def child(space, code, name, *args):
    return spawn_python(CHILD + code, space.url, space.namespace, name, *map(str, args))


# --- queue.Queue's conventions --------------------------------------------------

VALUES = [0, -7, 2**70, 1.5, "", "text" * 30, b"\0bytes", None, True, (1, "a"), [1, [2, 3]],
          {"k": {"n": [1.0, None]}}, {1, 2}, b"x" * 200_000]


def test_items_come_out_whole_and_in_order(q):
    for value in VALUES:
        q.put(value)
    assert q.qsize() == len(VALUES) and not q.empty()
    assert [q.get() for _ in VALUES] == VALUES
    assert q.empty() and not q.full()


@pytest.mark.parametrize("call", [lambda h: h.get_nowait(), lambda h: h.get(block=False),
                                  lambda h: h.get(timeout=0.05), lambda h: h.get(True, 0),
                                  lambda h: h.get_reliably(timeout=0)])
def test_an_empty_queue_raises_queue_empty(q, call):
    with pytest.raises(queue.Empty):
        call(q)
    q.put("after")
    assert q.get_nowait() == "after"


@pytest.mark.parametrize("call", [lambda h: h.put_nowait(3), lambda h: h.put(3, block=False),
                                  lambda h: h.put(3, timeout=0.05), lambda h: h.put(3, timeout=0)])
def test_a_full_queue_raises_queue_full_and_keeps_its_items(space, call):
    bounded = space.api.open_queue("bounded", 2)
    bounded.put(1)
    bounded.put(2)
    assert bounded.full()
    with pytest.raises(queue.Full):
        call(bounded)
    assert bounded.qsize() == 2 and [bounded.get(), bounded.get()] == [1, 2]


@pytest.mark.parametrize("timeout, error", [("1", TypeError), (-1, ValueError), (float("nan"), ValueError)])
def test_a_wrong_timeout_is_refused_as_locally(q, timeout, error):
    with pytest.raises(error):
        q.get(timeout=timeout)
    with pytest.raises(error):
        q.put(1, timeout=timeout)
    assert q.qsize() == 0


def test_an_existing_queue_keeps_its_bound_and_a_missing_one_is_made_only_with_create(space):
    space.api.open_queue("bound", 3)
    assert space.api.open_queue("bound").maxsize == 3
    with pytest.raises(ValueError) as info:
        space.api.open_queue("bound", 4)
    assert str(info.value) == "The queue 'bound' has maxsize 3, not 4."
    with pytest.raises(MemoryError) as info:
        space.api.open_queue("missing", create=False)
    assert str(info.value) == "Failed to open shared memory address 'missing'."
    assert space.keys("missing") == []


def test_a_closed_handle_refuses_use_and_pickling_opens_the_same_queue(space):
    with space.api.open_queue("closed", 5) as handle:
        handle.put("kept")
        copy = pickle.loads(pickle.dumps(handle))
        assert repr(handle) == "<zelvane.RemoteQueueHandle name='closed' maxsize=5>"
    assert handle.closed and repr(handle).endswith(" closed>")
    for call in (lambda: handle.put(1), handle.get_nowait, handle.qsize, handle.get_reliably):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "I/O operation on a closed queue handle of 'closed'."
    assert copy.maxsize == 5 and copy.get_nowait() == "kept"


def test_a_value_the_codec_refuses_puts_nothing(q):
    with pytest.raises(ValueError):
        q.put(object())
    assert q.qsize() == 0


# --- One namespace of names ---------------------------------------------------------

def test_the_slot_and_function_operations_refuse_a_queue_and_leave_it(space, q):
    api = space.api
    q.put("kept")
    before = {key: space.client.dump(key) for key in space.keys("q")}
    with pytest.raises(MemoryError, match="does not hold a value slot"):
        api.read_memory("q")
    with pytest.raises(MemoryError, match="does not hold a value slot"):
        api.write_memory("q", 1)
    with pytest.raises(MemoryError, match="^The name 'q' holds a queue, not a value slot.$"):
        api.open_memory("q")
    assert api.create_memory("q") is False
    with pytest.raises(MemoryError) as info:
        api.call_function("q", (1,))
    assert str(info.value) == "The shared memory address 'q' does not hold a hosted function."
    with pytest.raises(MemoryError, match="does not hold a hosted function"):
        api.open_function("q")
    assert api.remove_function("q") is False
    assert {key: space.client.dump(key) for key in space.keys("q")} == before
    api.write_memory("slot", 1)
    with pytest.raises(MemoryError) as info:
        api.open_queue("slot")
    assert str(info.value) == "The shared memory address 'slot' does not hold a queue."


def test_remove_memory_removes_a_queue_with_its_items_and_reservations(space, q):
    q.put("a")
    q.put("b")
    reservation = q.get_reliably()
    assert space.api.remove_memory("q") is True
    assert space.keys("q") == []
    with pytest.raises(MemoryError, match="Failed to open shared memory address 'q'"):
        q.put(1)
    with pytest.raises(RuntimeError, match="no longer held"):
        with reservation:
            pass
    assert space.keys("q") == [] and space.api.remove_memory("q") is False


# --- Blocking -------------------------------------------------------------------------

def test_a_blocked_put_goes_on_when_a_get_makes_room(space):
    bounded = space.api.open_queue("room", 1)
    bounded.put("first")
    done = threading.Event()
    thread = threading.Thread(target=lambda: (bounded.put("second", timeout=TIMEOUT), done.set()))
    thread.start()
    try:
        assert not done.wait(0.3)
        assert bounded.get(timeout=TIMEOUT) == "first"
        thread.join(TIMEOUT)
        assert done.is_set() and bounded.get_nowait() == "second"
    finally:
        thread.join(TIMEOUT)


def test_a_blocked_get_takes_the_item_another_process_puts(space, q):
    producer = child(space, """
h = z.open_queue(name)
sys.stdin.readline()
h.put({"from": os.getpid()})
""", "q")
    try:
        result = []
        thread = threading.Thread(target=lambda: result.append(q.get(timeout=TIMEOUT)))
        thread.start()
        producer.stdin.write("go\n")
        producer.stdin.flush()
        thread.join(TIMEOUT)
        assert result == [{"from": producer.pid}]
    finally:
        finish(producer)


def test_a_consumer_killed_while_it_waits_loses_no_item(space, q):
    waiter = child(space, """
h = z.open_queue(name)
print("ready", flush=True)
print("got", h.get(), flush=True)
""", "q")
    try:
        wait_for_line(waiter, "ready")
        wait_until(lambda: space.client.scard(f"{{{space.namespace}:q}}:consumers") == 1)
        waiter.kill()
        waiter.wait(TIMEOUT)
        q.put("survivor")
        # Moved to the dead consumer's list or not, it comes back.
        assert q.get(timeout=TIMEOUT) == "survivor"
    finally:
        finish(waiter)


# --- Reliable gets ----------------------------------------------------------------

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


def test_an_abandoned_reservation_gives_its_item_back(q):
    q.put("kept")
    q.put("after")
    reservation = q.get_reliably()
    assert q.get() == "after"
    del reservation
    assert q.get_nowait() == "kept"


def test_a_consumer_killed_inside_get_reliably_gives_the_item_back_to_the_head(space, q):
    q.put("first")
    q.put("second")
    victim = child(space, """
h = z.open_queue(name)
with h.get_reliably() as item:
    print("holding", item, flush=True)
    sys.stdin.readline()
""", "q")
    try:
        wait_for_line(victim, "holding first")
        assert q.qsize() == 1
        victim.kill()
        victim.wait(TIMEOUT)
        # Once its lease runs out, the dead consumer's item is back at the head.
        wait_until(lambda: q.qsize() == 2, what="the item to come back")
        assert [q.get_nowait(), q.get_nowait()] == ["first", "second"]
    finally:
        finish(victim)


def test_a_reservation_ended_after_its_item_was_taken_back_says_so(space, q):
    q.put("item")
    reservation = q.get_reliably()
    # As if this process had stalled past its lease: another get takes it back.
    space.client.delete(f"{{{space.namespace}:q}}:lease:{reservation._cid}")
    assert q.get_nowait() == "item"
    with pytest.raises(RuntimeError) as info:
        with reservation:
            pass
    assert str(info.value) == "The item taken from queue 'q' is no longer held by this process."


# --- Many producers and consumers ------------------------------------------------------

WORKER = """
role, index, count = sys.argv[4], int(sys.argv[5]), int(sys.argv[6])
h = z.open_queue(name, 16)
print("ready", flush=True)
sys.stdin.readline()
if role == "producer":
    for n in range(count):
        h.put((index, n))
    print("done", flush=True)
else:
    seen = []
    while True:
        item = h.get(timeout=60)
        if item is None:
            break
        seen.append(item)
    print(repr(seen), flush=True)
"""

ITEMS_EACH = 300


def test_two_producers_and_two_consumers_deliver_each_item_once_in_order(space):
    handle = space.api.open_queue("work", 16)
    producers = [child(space, WORKER, "work", "producer", i, ITEMS_EACH) for i in range(2)]
    consumers = [child(space, WORKER, "work", "consumer", i, 0) for i in range(2)]
    try:
        start_together(producers + consumers)
        for producer in producers:
            wait_for_line(producer, "done")
        for _ in consumers:
            handle.put(None, timeout=TIMEOUT)
        seen = [eval(finish(consumer)) for consumer in consumers]
        every = sorted(item for items in seen for item in items)
        assert every == sorted((i, n) for i in range(2) for n in range(ITEMS_EACH))
        for items in seen:
            for index in range(2):
                mine = [n for i, n in items if i == index]
                assert mine == sorted(mine)
        assert handle.qsize() == 0
    finally:
        for proc in producers + consumers:
            finish(proc)


# --- The asyncio mirror -----------------------------------------------------------------

def test_the_asyncio_mirror_has_the_same_semantics_and_a_cancelled_get_takes_nothing(space):
    async def main():
        remote = await zelvane.aio.connect(space.url, namespace=space.namespace)
        try:
            handle = await remote.open_queue("aq", 1)
            await handle.put("a")
            assert await handle.full() and await handle.qsize() == 1
            with pytest.raises(queue.Full):
                await handle.put("b", timeout=0.05)
            with pytest.raises(KeyError):
                async with handle.get_reliably() as item:
                    assert item == "a"
                    raise KeyError
            async with handle.get_reliably(timeout=TIMEOUT) as item:
                assert item == "a"
            with pytest.raises(queue.Empty):
                await handle.get(timeout=0.05)
            waiting = asyncio.ensure_future(handle.get())
            await asyncio.sleep(0.3)
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            await handle.put("later")
            assert await handle.get_nowait() == "later"
            with pytest.raises(TypeError):
                pickle.dumps(handle)
            await handle.close()
            with pytest.raises(ValueError, match="closed queue handle of 'aq'"):
                await handle.get_nowait()
        finally:
            await remote.close()
    asyncio.run(asyncio.wait_for(main(), TIMEOUT))
    assert space.client.scard(f"{{{space.namespace}:aq}}:consumers") == 0


# --- Temporary objects -------------------------------------------------------------------

HOLDER = """
kind = sys.argv[4]
h = z.open_queue(name, temporary=True) if kind == "queue" else z.open_memory(name, temporary=True)
h.put("item") if kind == "queue" else h.write("value")
print("ready", flush=True)
if sys.stdin.readline().strip() == "close":
    h.close()
    print("closed", flush=True)
"""


@pytest.mark.parametrize("kind", ["slot", "queue"])
def test_a_temporary_object_goes_with_its_last_holder(space, kind):
    holders = [child(space, HOLDER, "temp", kind) for _ in range(2)]
    try:
        for holder in holders:
            wait_for_line(holder, "ready")
        assert space.keys("temp")
        holders[0].stdin.write("close\n")
        holders[0].stdin.flush()
        wait_for_line(holders[0], "closed")
        assert space.keys("temp")
        holders[1].stdin.write("close\n")
        holders[1].stdin.flush()
        wait_for_line(holders[1], "closed")
        assert space.keys("temp") == []
    finally:
        for holder in holders:
            finish(holder)


@pytest.mark.parametrize("kind", ["slot", "queue"])
def test_a_temporary_object_expires_after_its_last_holder_is_killed_and_not_before(space, kind):
    holders = [child(space, HOLDER, "temp", kind) for _ in range(2)]
    try:
        for holder in holders:
            wait_for_line(holder, "ready")
        holders[0].kill()
        holders[0].wait(TIMEOUT)
        # Longer than a lease: the live holder keeps renewing the keys.
        assert not threading.Event().wait(7)
        assert space.keys("temp")
        if kind == "queue":
            with space.api.open_queue("temp", temporary=True) as handle:
                assert handle.get_nowait() == "item"
        holders[1].kill()
        holders[1].wait(TIMEOUT)
        wait_until(lambda: space.keys("temp") == [], what="the keys to expire")
    finally:
        for holder in holders:
            finish(holder)


def test_a_lifetime_is_never_changed_by_an_open(space):
    space.api.write_memory("permanent", 1)
    with pytest.raises(ValueError) as info:
        space.api.open_memory("permanent", temporary=True)
    assert str(info.value) == "The shared memory address 'permanent' is permanent: open it without temporary=True."
    space.api.open_queue("pq")
    with pytest.raises(ValueError, match="'pq' is permanent"):
        space.api.open_queue("pq", temporary=True)
    with space.api.open_memory("temp", temporary=True) as handle:
        handle.write([1, 2])
        with pytest.raises(ValueError) as info:
            space.api.open_memory("temp")
        assert str(info.value) == "The shared memory address 'temp' is temporary: open it with temporary=True."
        # The seven functions use it as any slot; its value expires with it.
        assert space.api.read_memory("temp") == [1, 2]
        assert 0 < space.client.pttl(f"{{{space.namespace}:temp}}:val") <= 5000
        copy = pickle.loads(pickle.dumps(handle))
        assert copy.read() == [1, 2]
        copy.close()
    assert space.keys("temp") == []
    assert space.api.read_memory("permanent") == 1
