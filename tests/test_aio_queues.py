"""zelvane.aio's queues: awaited puts and gets that share one FIFO order with
processes, wait without a thread each, and leave no item half taken when
cancelled; get_reliably as an async context manager."""
import asyncio
import json
import os
import queue
import random
import re
import threading
import time

import pytest

import zelvane
from zelvane import aio

from conftest import CHILD_PRELUDE, TIMEOUT, finish, run_python, shm_path, spawn_python, wait_for_line, wait_until
from test_queues import check_delivery

pytestmark = pytest.mark.timeout(180)


def state(name):
    fd = os.open(shm_path(name), os.O_RDONLY)
    try:
        return zelvane._queue_state(fd)
    finally:
        os.close(fd)


def waiters(name):
    now = state(name)
    return now["consumers_waiting"], now["producers_waiting"]


def no_waiters_left(name):
    """The watcher lets go of its counts once it looks again, soon after."""
    wait_until(lambda: waiters(name) == (0, 0), what="the watcher to stop counting as a sleeper")


def drain(handle):
    items = []
    while True:
        try:
            items.append(handle.get_nowait())
        except queue.Empty:
            return items


WORKER = CHILD_PRELUDE + """
import json, sys, zelvane
name, role, index, count, bound = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
h = zelvane.open_queue(name, bound)
print("ready", flush=True)
sys.stdin.readline()
if role == "producer":
    for seq in range(count):
        h.put((index, seq), timeout=60)
    print(json.dumps([]), flush=True)
else:
    seen = []
    while (item := h.get(timeout=60)) is not None:
        seen.append(item)
    print(json.dumps(seen), flush=True)
"""


def test_loop_tasks_and_processes_share_one_fifo_order(shm_name):
    name, count, bound = shm_name("mixed"), 400, 8
    children = [spawn_python(WORKER, name, role, str(i), str(count), str(bound))
                for role, i in (("producer", 0), ("producer", 1), ("consumer", 0), ("consumer", 1))]

    async def main():
        q = aio.open_queue(name, bound)
        streams = [[] for _ in range(3)]

        async def produce(index):
            for seq in range(count):
                await q.put((index, seq))

        async def consume(stream):
            while (item := await q.get()) is not None:
                stream.append(tuple(item))

        consumers = [asyncio.create_task(consume(stream)) for stream in streams]
        for child in children:
            wait_for_line(child, "ready")
            child.stdin.write("go\n")
            child.stdin.flush()
        await asyncio.gather(produce(2), produce(3))
        for child in children[:2]:
            line = await asyncio.to_thread(child.stdout.readline)
            assert json.loads(line) == []
        for _ in range(5):  # one end for each consumer, here and there
            await q.put(None)
        await asyncio.wait_for(asyncio.gather(*consumers), TIMEOUT)
        q.close()
        return streams

    try:
        streams = asyncio.run(main())
        streams += [[tuple(item) for item in json.loads(child.stdout.readline())] for child in children[2:]]
    finally:
        for child in children:
            finish(child)
    check_delivery(streams, 4, count)
    no_waiters_left(name)


def test_a_waiting_task_counts_as_a_sleeper_and_a_put_elsewhere_wakes_it(shm_name):
    name = shm_name("wake")
    putter = spawn_python(CHILD_PRELUDE + """
import sys, zelvane
h = zelvane.open_queue(sys.argv[1])
for line in sys.stdin:
    h.put(line.strip())
""", name)

    async def main():
        q = aio.open_queue(name)
        getters = [asyncio.create_task(q.get()) for _ in range(100)]
        # Many tasks wait through the one watcher: counted once, as one sleeper.
        await asyncio.to_thread(wait_until, lambda: waiters(name) == (1, 0), what="the watcher to sleep")
        for i in range(100):
            putter.stdin.write(f"item{i}\n")
        putter.stdin.flush()
        got = await asyncio.wait_for(asyncio.gather(*getters), TIMEOUT)
        q.close()
        return got

    try:
        got = asyncio.run(main())
    finally:
        finish(putter)
    assert got == [f"item{i}" for i in range(100)]  # woken first come, first served
    no_waiters_left(name)


def test_waiting_puts_go_on_as_another_process_makes_room(shm_name):
    name = shm_name("room")
    zelvane.open_queue(name, 2).close()
    consumer = spawn_python(CHILD_PRELUDE + """
import sys, zelvane
h = zelvane.open_queue(sys.argv[1])
print("ready", flush=True)
sys.stdin.readline()
print(" ".join(str(h.get(timeout=60)) for _ in range(20)), flush=True)
""", name)

    async def main():
        q = aio.open_queue(name)
        putters = [asyncio.create_task(q.put(i)) for i in range(20)]
        await asyncio.to_thread(wait_until, lambda: waiters(name) == (0, 1), what="the watcher to sleep")
        consumer.stdin.write("go\n")
        consumer.stdin.flush()
        await asyncio.wait_for(asyncio.gather(*putters), TIMEOUT)
        q.close()

    try:
        wait_for_line(consumer, "ready")
        asyncio.run(main())
        got = consumer.stdout.readline().split()
    finally:
        finish(consumer)
    assert got == [str(i) for i in range(20)]


@pytest.mark.parametrize("side", ["get", "put"])
def test_cancelled_waits_lose_and_duplicate_no_item(shm_name, side):
    """Tasks wait and are cancelled at random moments while a thread of
    another handle keeps the other side busy: what each task reports done
    is exactly what crossed the queue."""
    name, rounds = shm_name("cancel"), 300
    other = zelvane.open_queue(name, 1)
    stop = threading.Event()
    crossed = []  # what the thread put (for gets) or took (for puts)

    def partner():
        seq = 0
        while not stop.is_set():
            try:
                if side == "get":
                    other.put(("thread", seq), timeout=0.01)
                    crossed.append(("thread", seq))
                    seq += 1
                else:
                    crossed.append(other.get(timeout=0.01))
            except (queue.Empty, queue.Full):
                pass

    async def main():
        q = aio.open_queue(name, 1)
        rng = random.Random(7)
        done = []
        for i in range(rounds):
            task = asyncio.create_task(q.get() if side == "get" else q.put(("task", i)))
            await asyncio.sleep(rng.choice([0, 0, 0.0005, 0.002]))
            task.cancel()
            result = (await asyncio.gather(task, return_exceptions=True))[0]
            if not isinstance(result, asyncio.CancelledError):
                done.append(result if side == "get" else ("task", i))
        q.close()
        return done

    thread = threading.Thread(target=partner)
    thread.start()
    try:
        done = asyncio.run(main())
    finally:
        stop.set()
        thread.join(TIMEOUT)
    left = drain(other)
    other.close()
    if side == "get":
        assert sorted(done + left) == sorted(crossed)
    else:
        assert sorted(crossed + left) == sorted(done)
    assert len(set(done)) == len(done)
    assert done, "no task ever got through"
    no_waiters_left(name)


def test_get_reliably_returns_the_item_when_the_block_raises_or_is_cancelled(shm_name):
    name = shm_name("reliable")

    async def main():
        q = aio.open_queue(name)
        q.put_nowait("first")
        q.put_nowait("second")
        with pytest.raises(KeyError):
            async with q.get_reliably() as item:
                assert item == "first" and q.qsize() == 1
                raise KeyError(item)
        assert q.qsize() == 2

        entered = asyncio.Event()

        async def hold():
            async with q.get_reliably() as item:
                entered.set()
                await asyncio.sleep(TIMEOUT)

        task = asyncio.create_task(hold())
        await entered.wait()
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        async with q.get_reliably(timeout=0) as item:
            assert item == "first"
        assert [await q.get(), q.qsize()] == ["second", 0]

        # A reliable get that waits, woken by a put from elsewhere.
        waiting = asyncio.create_task(q.get_reliably(timeout=TIMEOUT).__aenter__())
        await asyncio.to_thread(wait_until, lambda: waiters(name) == (1, 0), what="the watcher to sleep")
        zelvane.open_queue(name).put("third")
        assert await asyncio.wait_for(waiting, TIMEOUT) == "third"
        q.close()

    asyncio.run(main())
    # The reservation whose block was never left went back when it was dropped.
    with zelvane.open_queue(name) as h:
        assert drain(h) == ["third"]


CALLS = [
    ("get", lambda q: q.get(timeout=0.05), queue.Empty),
    ("get", lambda q: q.get(block=False), queue.Empty),
    ("get", lambda q: q.get(True, 0), queue.Empty),
    ("get", lambda q: q.get_reliably(timeout=0.05).__aenter__(), queue.Empty),
    ("put", lambda q: q.put("x", timeout=0.05), queue.Full),
    ("put", lambda q: q.put("x", block=False), queue.Full),
    ("put", lambda q: q.put(b"z" * 100_000, timeout=0), queue.Full),
]


@pytest.mark.parametrize("side, call, refusal", CALLS)
def test_time_limits_end_as_the_synchronous_methods(shm_name, side, call, refusal):
    name = shm_name("limits")

    async def main():
        q = aio.open_queue(name, 1)
        if side == "put":
            await q.put("full")
        with pytest.raises(refusal):
            await call(q)
        assert q.qsize() == (1 if side == "put" else 0)
        q.close()

    asyncio.run(main())
    no_waiters_left(name)


@pytest.mark.parametrize("timeout", [-1, float("nan"), float("inf"), "1"])
def test_refused_timeouts_are_refused_as_the_synchronous_handle_refuses_them(shm_name, timeout):
    sync = zelvane.open_queue(shm_name("refused"))
    with pytest.raises((TypeError, ValueError)) as refused:
        sync.get(timeout=timeout)
    kind, message = refused.type, f"^{re.escape(str(refused.value))}$"

    async def main():
        q = aio.open_queue(sync.name)
        for call in (lambda: q.get(timeout=timeout), lambda: q.put(1, timeout=timeout)):
            with pytest.raises(kind, match=message):
                await call()
        with pytest.raises(kind, match=message):
            q.get_reliably(timeout)
        q.close()

    asyncio.run(main())
    assert sync.qsize() == 0
    sync.close()


def test_closing_the_handle_ends_waiting_tasks_with_the_closed_error(shm_name):
    name = shm_name("closing")

    async def main():
        q = aio.open_queue(name)
        getter = asyncio.create_task(q.get())
        await asyncio.to_thread(wait_until, lambda: waiters(name) == (1, 0), what="the watcher to sleep")
        q.close()
        with pytest.raises(ValueError, match="closed queue handle"):
            await asyncio.wait_for(getter, TIMEOUT)

    asyncio.run(main())
    no_waiters_left(name)


def test_an_async_handle_pickles_and_reopens_a_temporary_queue_as_temporary(shm_name):
    import pickle
    name = shm_name("tmp")

    async def main():
        async with aio.open_queue(name, temporary=True) as q:
            copy = pickle.loads(pickle.dumps(q))
            await copy.put("kept")
        assert os.path.exists(shm_path(name))  # the copy holds it
        assert await copy.get() == "kept"
        copy.close()

    asyncio.run(main())
    assert not os.path.exists(shm_path(name))


MIB = 1 << 20
LARGE_ITEM = b"q" * (8 * MIB)


def allocated(name):
    return os.stat(shm_path(name)).st_blocks * 512


@pytest.mark.parametrize("how", ["get", "get_reliably"])
def test_a_large_item_taken_on_the_loop_gives_its_pages_back_off_the_loop(shm_name, how):
    name = shm_name("q")

    async def main():
        async with aio.open_queue(name) as handle:
            for round_ in range(3):
                await handle.put(LARGE_ITEM + bytes([round_]))
                if how == "get":
                    item = await handle.get()
                else:
                    async with handle.get_reliably() as item:
                        pass
                assert item == LARGE_ITEM + bytes([round_])
                wait_until(lambda: allocated(name) < len(LARGE_ITEM) // 2 and state(name)["incoming"] == 0,
                           what="the item's pages to go back")
                assert handle.empty()

    asyncio.run(main())


def test_a_bounded_queue_has_room_at_once_after_a_large_get(shm_name):
    name = shm_name("q")

    async def main():
        async with aio.open_queue(name, maxsize=1) as handle:
            for _ in range(3):
                await handle.put(LARGE_ITEM)
                assert await handle.get() == LARGE_ITEM
                handle.put_nowait(1)  # no room held while pages go back
                assert handle.get_nowait() == 1

    asyncio.run(main())


TAKER = CHILD_PRELUDE + """
import sys, zelvane
h = zelvane.open_queue(sys.argv[1])
reservation = h.get_reliably(timeout=60)
item = reservation.__enter__()
pages = reservation._take_keeping_pages()
try:
    pages.publish()
except ValueError as error:
    refused = str(error)
print("taken", len(item), refused, flush=True)
sys.stdin.readline()
"""


def test_pages_kept_by_a_process_killed_before_it_gave_them_back_go_back_and_the_item_stays_taken(shm_name):
    name = shm_name("q")
    handle = zelvane.open_queue(name)
    try:
        handle.put(LARGE_ITEM)
        handle.put("after")
        child = spawn_python(TAKER, name)
        try:
            wait_for_line(child, f"taken {len(LARGE_ITEM)} The pages of an item taken already can only be given back.")
            assert allocated(name) >= len(LARGE_ITEM)  # still the taker's
            child.kill()
        finally:
            finish(child)
        assert handle.get_nowait() == "after"  # taken for good, not put back
        with pytest.raises(queue.Empty):
            handle.get_nowait()  # finds the dead taker's claim and gives it back
        wait_until(lambda: allocated(name) < len(LARGE_ITEM) // 2, what="the dead taker's pages to go back")
        assert state(name)["incoming"] == 0
        handle.put(LARGE_ITEM)
        assert handle.get() == LARGE_ITEM
    finally:
        handle.close()


def test_pages_kept_by_takers_leave_producers_claims_to_store_large_items(shm_name):
    # However many large items a loop's tasks take at once, the pages they
    # keep never leave an unbounded queue's producers without a claim.
    name = shm_name("q")
    item = b"k" * (1 << 20)
    handle = zelvane.open_queue(name)
    kept = []
    try:
        for _ in range(40):
            handle.put(item)
        for _ in range(40):
            reservation = handle.get_reliably(timeout=TIMEOUT)
            assert reservation.__enter__() == item
            kept.append(reservation._take_keeping_pages())
        assert any(pages is not None for pages in kept)
        staged = [handle._stage(item) for _ in range(16)]  # half the claims at once
        for one in staged:
            one.publish()
        handle.put_nowait(item)
        assert [handle.get_nowait() for _ in range(17)] == [item] * 17
    finally:
        for pages in kept:
            if pages is not None:
                pages.withdraw()
        handle.close()
    assert state(name)["incoming"] == 0


FORKED_TAKER = CHILD_PRELUDE + """
import gc, os, sys, zelvane
from test_aio_queues import allocated, state
name, size = {name!r}, {size}
h = zelvane.open_queue(name)
h.put(b"f" * size)
reservation = h.get_reliably(timeout=60)
reservation.__enter__()
pages = reservation._take_keeping_pages()
pid = os.fork()
if pid == 0:
    try:
        pages.withdraw()
        os._exit(3)
    except RuntimeError as error:
        print("child:", error, flush=True)
    del pages
    gc.collect()
    h.put(b"c" * size)  # the child's own claim, and its own take
    os._exit(0 if h.get() == b"c" * size else 4)
_, status = os.waitpid(pid, 0)
print("child ended", os.waitstatus_to_exitcode(status), state(name)["incoming"], allocated(name) >= size, flush=True)
pages.withdraw()
print("withdrawn", state(name)["incoming"], allocated(name) < size, flush=True)
"""


def test_a_fork_child_leaves_the_pages_its_parent_keeps_to_the_parent(shm_name):
    name = shm_name("q")
    size = 8 << 20
    result = run_python(FORKED_TAKER.format(name=name, size=size))
    assert result.stdout.splitlines() == [
        "child: The item was staged by the parent of this process.",
        "child ended 0 1 True",
        "withdrawn 0 True",
    ], result.stderr


def test_a_large_put_waiting_for_a_claim_pauses_between_tries_and_goes_in_once_one_is_free(shm_name):
    name = shm_name("q")
    handle = zelvane.open_queue(name)
    staged = [handle._stage(b"s" * MIB) for _ in range(32)]  # every claim in use

    async def main():
        async with aio.open_queue(name) as queue_:
            wall, cpu = time.monotonic(), time.process_time()
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(queue_.put(b"p" * MIB), 1.0)
            used = (time.process_time() - cpu) / (time.monotonic() - wall)
            waiting = asyncio.ensure_future(queue_.put(b"p" * MIB))
            await asyncio.sleep(0.05)
            staged.pop().withdraw()
            await asyncio.wait_for(waiting, TIMEOUT)
            return used

    try:
        used = asyncio.run(main())
        assert used < 0.5  # tried in a loop, it took a whole core
        assert handle.get_nowait() == b"p" * MIB
    finally:
        for item in staged:
            item.withdraw()
        handle.close()
