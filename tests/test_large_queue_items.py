"""Large queue items move with the GIL let go, as large slot values do:
another thread of the process runs while one is put or taken, and an event
loop's other tasks run while one is awaited. Large work left for a
finalizer at interpreter exit still ends, with the GIL kept.

The thread cases run in a child process whose switch interval is far longer
than any test: a second thread gets the GIL only when the copying thread
lets it go of its own accord."""
import asyncio
import textwrap

import pytest

import zelvane
import zelvane.aio as aio
from conftest import CHILD_PRELUDE, run_python
from test_large_copies import _ticks_during, run_child

pytestmark = pytest.mark.timeout(300)

N = 64 << 20


@pytest.mark.parametrize("item", ["bytes", "bytearray", "list of bytes"])
def test_another_thread_runs_while_a_large_item_is_put_and_taken(shm_name, item):
    name = shm_name("queue")
    run_child("""
        N = 256 << 20
        make = {{"bytes": lambda: b"q" * N, "bytearray": lambda: bytearray(b"q") * N,
                 "list of bytes": lambda: [b"q" * N, 1]}}["{1}"]
        with zelvane.open_queue("{0}") as q:
            moved, done = advanced_during(lambda: q.put(make()))
            assert done is None and moved > 0, moved
            moved, got = advanced_during(q.get)
            assert got == make() and moved > 0, moved
            q.put(make())
            reservations = []
            def reserve():
                reservations.append(q.get_reliably())
                return reservations[0].__enter__()
            moved, got = advanced_during(reserve)
            reservations[0].__exit__(None, None, None)
            assert got == make() and moved > 0 and q.qsize() == 0, moved
        print("ok")
    """, name, item)


# Once the interpreter shuts down, a thread that lets the GIL go never gets
# it back: a finalizer's large copy keeps the GIL, and the process ends.
@pytest.mark.parametrize("work", ["slot write", "slot read", "queue put", "queue get"])
def test_large_work_in_a_finalizer_at_exit_ends_and_is_done(shm_name, work):
    name, queue, done = shm_name("exit"), shm_name("queue"), shm_name("done")
    proc = run_python(CHILD_PRELUDE + textwrap.dedent("""
        import zelvane
        N = 8 << 20
        class AtExit:
            def __init__(self):
                self.slot = zelvane.open_memory("{0}")
                self.queue = zelvane.open_queue("{3}")
                self.done = zelvane.open_memory("{1}")
                if "{2}" == "slot read":
                    self.slot.write(b"r" * N)
                elif "{2}" == "queue get":
                    self.queue.put(b"r" * N)
            def __del__(self):
                if "{2}" == "slot write":
                    self.slot.write(b"w" * N)
                elif "{2}" == "slot read":
                    assert self.slot.read() == b"r" * N
                elif "{2}" == "queue put":
                    self.queue.put(b"w" * N)
                else:
                    assert self.queue.get_nowait() == b"r" * N
                self.done.write("{2}")
        # Cleared first of the module's names, when the interpreter is
        # already shutting down.
        _at_exit = AtExit()
        print("ok")
    """).format(name, done, work, queue), timeout=120)
    assert proc.returncode == 0 and proc.stdout.splitlines() == ["ok"], proc.stderr[-3000:]
    assert zelvane.read_memory(done) == work
    if work == "slot write":
        assert zelvane.read_memory(name) == b"w" * (8 << 20)
    elif work == "queue put":
        with zelvane.open_queue(queue, create=False) as q:
            assert q.get_nowait() == b"w" * (8 << 20)


# A daemon thread may be in the middle of a large copy, holding the slot's
# or the queue's mutex, when the interpreter shuts down: the thread ends
# there, and a finalizer that takes the same mutex goes on.
@pytest.mark.parametrize("work", ["slot write", "slot read", "queue put and get"])
def test_a_finalizer_goes_on_past_a_daemon_thread_ended_in_a_large_copy(shm_name, work):
    name, queue, done = shm_name("exit"), shm_name("queue"), shm_name("done")
    for attempt in range(3):
        proc = run_python(CHILD_PRELUDE + textwrap.dedent("""
            import threading
            import time
            import zelvane
            big = b"d" * (64 << 20)
            slot = zelvane.open_memory("{0}")
            queue = zelvane.open_queue("{1}")
            done = zelvane.open_memory("{3}")
            slot.write(big)
            copying = threading.Event()
            def copy_for_ever():
                copying.set()
                while True:
                    if "{2}" == "slot write":
                        slot.write(big)
                    elif "{2}" == "slot read":
                        slot.read()
                    else:
                        queue.put(big)
                        queue.get()
            threading.Thread(target=copy_for_ever, daemon=True).start()
            copying.wait()
            time.sleep({4})
            class AtExit:
                def __init__(self):
                    self.slot, self.queue, self.done = slot, queue, done
                def __del__(self):
                    if "{2}".startswith("slot"):
                        self.slot.write(b"small")
                    else:
                        self.queue.put(b"small")
                    self.done.write({4})
            # Dropped with the modules, once the interpreter shuts down (the
            # daemon thread keeps this module's names alive).
            import sys
            sys.modules["at_exit_finalizer"] = AtExit()
            print("ok")
        """).format(name, queue, work, done, 0.01 * attempt), timeout=60)
        assert proc.returncode == 0 and proc.stdout.splitlines() == ["ok"], proc.stderr[-3000:]
        assert zelvane.read_memory(done) == 0.01 * attempt
        if work.startswith("slot"):
            assert zelvane.read_memory(name) == b"small"
    if not work.startswith("slot"):
        with zelvane.open_queue(queue, create=False) as q:
            items = [q.get_nowait() for _ in range(q.qsize())]
        assert items.count(b"small") == 3


def test_the_loop_runs_another_task_while_a_large_item_is_put_and_taken(shm_name):
    async def main():
        async with aio.open_queue(shm_name("aio")) as q:
            ran, done = await _ticks_during(q.put(b"a" * N))
            assert ran > 0 and done is None
            ran, got = await _ticks_during(q.get())
            assert ran > 0 and got == b"a" * N
            await q.put([b"b" * N])
            async with q.get_reliably() as reserved:
                assert reserved == [b"b" * N]
            assert q.qsize() == 0

    asyncio.run(asyncio.wait_for(main(), 200))


@pytest.mark.parametrize("item", ["list of bytes", "dict of str", "tuple of bytearrays"])
def test_the_loop_runs_another_task_while_an_item_of_many_pieces_is_put_and_taken(shm_name, item):
    # No piece is large; all of them together are.
    piece = 256 << 10
    make = {"list of bytes": lambda: [bytes([i]) * piece for i in range(128)],
            "dict of str": lambda: {i: chr(97 + i % 26) * piece for i in range(128)},
            "tuple of bytearrays": lambda: tuple(bytearray([i]) * piece for i in range(128))}[item]

    async def main():
        async with aio.open_queue(shm_name("aio")) as q:
            ran, done = await _ticks_during(q.put(make()))
            assert ran > 0 and done is None
            ran, got = await _ticks_during(q.get())
            assert ran > 0 and got == make() and type(got) is type(make())
            assert q.qsize() == 0

    asyncio.run(asyncio.wait_for(main(), 200))


async def _until(condition):
    while not condition():
        await asyncio.sleep(0.01)


@pytest.mark.parametrize("side", ["put", "get", "get_reliably"])
def test_a_task_cancelled_during_a_large_copy_puts_or_takes_nothing(shm_name, side):
    name = shm_name("cancel")

    async def main():
        async with aio.open_queue(name) as q:
            if side != "put":
                await q.put(b"c" * N)

            async def reserve():
                async with q.get_reliably():
                    pass

            work = {"put": lambda: q.put(b"p" * N), "get": q.get, "get_reliably": reserve}[side]
            task = asyncio.ensure_future(work())
            await asyncio.sleep(0)  # the copy is under way on a helper thread
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            if side != "put":
                # The item goes back to the head once its decoding ends.
                await asyncio.wait_for(_until(lambda: q.qsize() == 1), 60)
                assert await q.get() == b"c" * N
            await q.put(b"after")

    asyncio.run(asyncio.wait_for(main(), 200))  # waits for the helper threads too
    with zelvane.open_queue(name, create=False) as q:
        assert q.get_nowait() == b"after" and q.qsize() == 0 and q._first_size() == 0


def test_a_staged_item_is_published_once_or_withdrawn(shm_name):
    import queue

    with zelvane.open_queue(shm_name("staged"), maxsize=1) as q:
        assert q._first_size() == 0
        staged = q._stage(b"s" * N)
        assert q.qsize() == 0 and q.full()  # its room is held
        staged.publish()
        with pytest.raises(ValueError, match="published or withdrawn already"):
            staged.withdraw()
        assert q._first_size() >= N and q.qsize() == 1
        with pytest.raises(queue.Full):
            q._stage(b"t" * N)
        assert q.get_nowait() == b"s" * N
        q._stage(b"t" * N).withdraw()
        del staged
        staged = q._stage(b"u" * N)
        del staged  # dropped: withdrawn
        assert q.qsize() == 0 and not q.full()
        assert q._stage(b"small") is None and q._first_size() < 100 and q.get_nowait() == b"small"


def test_an_item_staged_by_a_process_that_dies_is_given_back(shm_name):
    name = shm_name("dead")
    with zelvane.open_queue(name, maxsize=1) as q:
        proc = run_python(CHILD_PRELUDE + textwrap.dedent(f"""
            import os, zelvane
            q = zelvane.open_queue({name!r}, create=False)
            q._stage(b"d" * (8 << 20))
            print("staged", flush=True)
            os._exit(0)
        """), timeout=60)
        assert proc.stdout.split() == ["staged"], proc.stderr
        q.put(b"room", timeout=30)  # the dead process's room is given back
        assert q.get_nowait() == b"room" and q.qsize() == 0


# A task cancelled during a large put or get as its loop ends (asyncio.run
# cancels what is left, then waits for the helper threads): the item's room,
# or the item itself, is given back all the same, with no error logged. The
# put's helper stops in the middle of encoding the item until the task was
# cancelled, so that it ends while the loop shuts its helpers down.
CANCELLED_AT_THE_END = """
    import asyncio, collections, threading
    import zelvane
    from zelvane import aio
    N = 8 << 20
    encoding, cancelled = threading.Event(), threading.Event()

    def pausing_iter(self):
        encoding.set()
        cancelled.wait(60)
        return collections.deque.__iter__(self)
    Pause = type("collections.deque", (collections.deque,), {{"__iter__": pausing_iter}})

    with zelvane.open_queue("{0}", maxsize=1) as q:
        if "{1}" == "get":
            q.put(b"g" * N)

    async def main():
        q = aio.open_queue("{0}", create=False)
        work = q.put([Pause([1]), b"p" * N]) if "{1}" == "put" else q.get()
        task = asyncio.ensure_future(work)
        if "{1}" == "put":
            while not encoding.is_set():
                await asyncio.sleep(0.001)
        else:
            await asyncio.sleep(0)  # the copy is under way on a helper thread
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass
        cancelled.set()

    asyncio.run(main())
    with zelvane.open_queue("{0}", create=False) as q:
        if "{1}" == "get":
            assert q.get_nowait() == b"g" * N
        q.put_nowait(b"room")  # the one place was given back
        assert q.get_nowait() == b"room" and q.qsize() == 0
    print("ok")
"""


@pytest.mark.parametrize("side", ["put", "get"])
def test_a_large_copy_cancelled_as_the_loop_ends_gives_back_what_it_held(shm_name, side):
    proc = run_python(CHILD_PRELUDE + textwrap.dedent(CANCELLED_AT_THE_END).format(shm_name("ending"), side),
                      timeout=240)
    assert proc.returncode == 0 and proc.stdout.split() == ["ok"], proc.stderr[-3000:]
    assert "Traceback" not in proc.stderr and "Exception in callback" not in proc.stderr, proc.stderr[-3000:]
