"""Arrays held shared or exclusive: exclusion across processes and threads,
holders killed while holding, a writer among a stream of readers, refused
re-entry, the consumers of the README's pattern, places running out, fork."""
import asyncio
import os
import signal
import struct
import sys
import threading
import time

import pytest

import zelvane

from conftest import CHILD_PRELUDE, TIMEOUT, finish, shm_path, spawn_python, wait_for_line, wait_until

pytestmark = pytest.mark.timeout(180)

HOLDER = """
import sys, zelvane
h = zelvane.open_array(sys.argv[1])
with h.lock(shared=sys.argv[2] == "shared"):
    print("locked", flush=True)
    sys.stdin.readline()
print("left", flush=True)
"""


def outcome(handle, shared):
    try:
        with handle.lock(timeout=0.1, shared=shared):
            return "locked"
    except TimeoutError:
        return "timed out"


def expected(held, wanted):
    return "locked" if held == wanted == "shared" else "timed out"


@pytest.mark.parametrize("wanted", ["shared", "exclusive"])
@pytest.mark.parametrize("held", ["shared", "exclusive"])
def test_shared_holders_exclude_only_exclusive_ones_across_processes(shm_name, held, wanted):
    name = shm_name("rw")
    handle = zelvane.open_array(name, 4, "d")
    child = spawn_python(CHILD_PRELUDE + HOLDER, name, held)
    try:
        wait_for_line(child, "locked")
        assert outcome(handle, wanted == "shared") == expected(held, wanted)
        child.stdin.write("\n")
        child.stdin.flush()
        wait_for_line(child, "left")
    finally:
        finish(child)
    assert outcome(handle, wanted == "shared") == "locked"


@pytest.mark.parametrize("wanted", ["shared", "exclusive"])
@pytest.mark.parametrize("held", ["shared", "exclusive"])
def test_shared_holders_exclude_only_exclusive_ones_across_threads(shm_name, held, wanted):
    name = shm_name("rw")
    holder = zelvane.open_array(name, 4, "d")
    # Through the same handle, and through another of this process.
    others = [holder, zelvane.open_array(name)]
    found = []
    with holder.lock(shared=held == "shared"):
        for other in others:
            thread = threading.Thread(target=lambda: found.append(outcome(other, wanted == "shared")))
            thread.start()
            thread.join(TIMEOUT)
    assert found == [expected(held, wanted)] * 2


def test_leaving_a_shared_lock_marks_no_change(shm_name):
    handle = zelvane.open_array(shm_name("rw"), 2, "q")
    with handle.lock(shared=True):
        pass
    assert handle.version == 0
    with handle.lock():
        pass
    assert handle.version == 1


@pytest.mark.parametrize("held", ["shared", "exclusive"])
def test_a_killed_holder_lets_a_waiting_writer_in(shm_name, held):
    name = shm_name("kill")
    handle = zelvane.open_array(name, 4, "d")
    child = spawn_python(CHILD_PRELUDE + HOLDER, name, held)
    entered = []
    try:
        wait_for_line(child, "locked")
        before = handle.version
        writer = threading.Thread(target=lambda: entered.append(outcome_after_wait(handle)))
        writer.start()
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=TIMEOUT)
        writer.join(TIMEOUT)
    finally:
        finish(child)
    # A dead exclusive holder's block counts as a change; a shared one's does not.
    assert entered == [before + (2 if held == "exclusive" else 1)]
    assert outcome(handle, True) == outcome(handle, False) == "locked"


def outcome_after_wait(handle):
    with handle.lock(timeout=TIMEOUT):
        pass
    return handle.version


CLAIMED = 1 << 31


def holders_word(name):
    """The array's word of shared holders (bytes 68-71 of its object)."""
    with open(shm_path(name), "rb") as f:
        f.seek(68)
        return struct.unpack("<I", f.read(4))[0]


WRITER = """
import sys, zelvane
h = zelvane.open_array(sys.argv[1])
print("ready", flush=True)
try:
    with h.lock(timeout=float(sys.argv[2])):
        print("locked", flush=True)
except TimeoutError:
    print("timed out", flush=True)
"""

PLACE_TAKER = """
import sys, zelvane
h = zelvane.open_array(sys.argv[1])
try:
    with h.lock(timeout=0.2, shared=True):
        print("locked", flush=True)
except TimeoutError:
    print("timed out", flush=True)
sys.stdin.readline()  # the mapping, and its place, stay until then
"""


@pytest.mark.parametrize("taker", ["this process", "another process"])
def test_a_place_taken_again_after_its_holder_died_keeps_no_writer_out(shm_name, taker):
    name = shm_name("retaken")
    handle = zelvane.open_array(name, 4, "d")
    holder = spawn_python(CHILD_PRELUDE + HOLDER, name, "shared")
    children = [holder]
    try:
        wait_for_line(holder, "locked")
        writer = spawn_python(CHILD_PRELUDE + WRITER, name, str(TIMEOUT))
        children.append(writer)
        wait_for_line(writer, "ready")
        wait_until(lambda: holders_word(name) & CLAIMED, what="the writer's claim")
        # Stopped, the writer cannot find the holder dead before its place
        # is taken again by a reader that the claim keeps out.
        writer.send_signal(signal.SIGSTOP)
        holder.kill()
        holder.wait(timeout=TIMEOUT)
        if taker == "this process":
            assert outcome(handle, True) == "timed out"
        else:
            children.append(spawn_python(CHILD_PRELUDE + PLACE_TAKER, name))
            wait_for_line(children[-1], "timed out")
        writer.send_signal(signal.SIGCONT)
        wait_for_line(writer, "locked")
        assert outcome(handle, False) == "locked"
    finally:
        for child in children[1:2]:
            child.send_signal(signal.SIGCONT)
        for child in children[2:]:
            child.stdin.write("\n")
            child.stdin.flush()
        for child in children:
            finish(child)


READER_STREAM = """
import sys, time, zelvane
h = zelvane.open_array(sys.argv[1])
counts = memoryview(h)
print("ready", flush=True)
while counts[1] == 0:
    with h.lock(shared=True):
        counts[0] += 0  # a read under the lock
        time.sleep(0.05)
print("done", flush=True)
"""


def test_a_stream_of_readers_lets_a_waiting_writer_in(shm_name):
    name = shm_name("stream")
    handle = zelvane.open_array(name, 2, "q")
    view = memoryview(handle)
    # Two readers, each holding for 50 ms and taking the lock again at once:
    # together they hold it without a gap.
    readers = [spawn_python(CHILD_PRELUDE + READER_STREAM, name) for _ in range(2)]
    try:
        for reader in readers:
            wait_for_line(reader, "ready")
        with handle.lock(timeout=TIMEOUT):
            view[1] = 1
        for reader in readers:
            wait_for_line(reader, "done")
    finally:
        for reader in readers:
            finish(reader)


@pytest.mark.parametrize("first, second", [("shared", "shared"), ("shared", "exclusive"),
                                           ("exclusive", "shared")])
@pytest.mark.parametrize("through", ["same handle", "another handle"])
def test_a_thread_is_refused_a_second_hold(shm_name, first, second, through):
    name = shm_name("again")
    handle = zelvane.open_array(name, 1, "d")
    other = handle if through == "same handle" else zelvane.open_array(name)
    with handle.lock(shared=first == "shared"):
        with pytest.raises(RuntimeError) as info:
            with other.lock(timeout=TIMEOUT, shared=second == "shared"):
                pass
        assert str(info.value) == f"The lock of shared memory address '{name}' is already held by this thread."
        if first == "shared":
            with pytest.raises(RuntimeError, match="would never end"):
                other.wait(timeout=TIMEOUT)
    assert outcome(other, second == "shared") == "locked"


def test_one_shared_lock_entered_by_two_threads_holds_once(shm_name):
    name = shm_name("twice")
    handle = zelvane.open_array(name, 1, "d")
    writer = spawn_python(CHILD_PRELUDE + HOLDER, name, "exclusive")
    lock = handle.lock(shared=True, timeout=TIMEOUT)
    found, leave = [], threading.Event()

    def enter():
        try:
            with lock:
                found.append("held")
                leave.wait(TIMEOUT)
        except RuntimeError as error:
            found.append(str(error))

    threads = [threading.Thread(target=enter) for _ in range(2)]
    try:
        wait_for_line(writer, "locked")
        for thread in threads:
            thread.start()
        time.sleep(0.2)  # both threads, most likely, wait for the writer
        writer.stdin.write("\n")
        writer.stdin.flush()
        wait_for_line(writer, "left")
        wait_until(lambda: len(found) == 2 or not any(t.is_alive() for t in threads), what="both threads")
        leave.set()
        for thread in threads:
            thread.join(TIMEOUT)
    finally:
        leave.set()
        finish(writer)
    # The lock records one hold: the other thread is refused, and nothing
    # stays held once the first leaves.
    assert sorted(found) == sorted(["held", f"The lock of shared memory address '{name}' is held by another thread."])
    assert outcome(handle, False) == "locked"


@pytest.mark.parametrize("timeout", [1e20, 2**70, sys.float_info.max])
@pytest.mark.parametrize("what", ["shared lock", "exclusive lock", "wait"])
def test_a_huge_timeout_waits_as_long_as_it_takes(shm_name, what, timeout):
    name = shm_name("huge")
    handle = zelvane.open_array(name, 1, "d")
    writer = spawn_python(CHILD_PRELUDE + HOLDER, name, "exclusive")
    found = []

    def waiter():
        try:
            if what == "wait":
                found.append(handle.wait(timeout=timeout))
            else:
                with handle.lock(timeout, shared=what == "shared lock"):
                    found.append(handle.version)
        except TimeoutError as error:
            found.append(error)

    thread = threading.Thread(target=waiter)
    try:
        wait_for_line(writer, "locked")
        thread.start()
        time.sleep(0.2)  # most likely waiting by now; an early end fails either way
        assert found == []
        writer.stdin.write("\n")
        writer.stdin.flush()
        wait_for_line(writer, "left")
        thread.join(TIMEOUT)
    finally:
        finish(writer)
        if thread.is_alive():
            thread.join(TIMEOUT)
    assert found == [1]


CONSUMER = """
import sys, zelvane
frames = zelvane.open_array(sys.argv[1])
pixels = memoryview(frames)
wakes = 0
print("ready", flush=True)
while True:
    frames.wait(timeout=120)
    wakes += 1
    with frames.lock(shared=True):
        value = pixels[0]
    print("saw", value, flush=True)
    if value < 0:
        break
print("wakes", wakes, flush=True)
"""


def read_until(child, wanted):
    """Lines of the child up to the first that is `wanted`."""
    lines = []
    while True:
        line = child.stdout.readline().strip()
        assert line, f"the child ended; stderr:\n{child.stderr.read()}"
        lines.append(line)
        if line == wanted:
            return lines


def test_consumers_under_shared_locks_wake_once_per_change(shm_name):
    name = shm_name("frames")
    frames = zelvane.open_array(name, 4, "q")
    pixels = memoryview(frames)
    consumers = [spawn_python(CHILD_PRELUDE + CONSUMER, name) for _ in range(4)]
    changes = 6
    try:
        for consumer in consumers:
            wait_for_line(consumer, "ready")
        for value in list(range(1, changes)) + [-1]:
            if value < 0:
                time.sleep(0.3)  # an idle while: spinning consumers would wake meanwhile
            with frames.lock():
                pixels[0] = value
            # Every consumer sees the change before the next one; meanwhile
            # nothing changes, and none of them may wake for the others' reads.
            for consumer in consumers:
                read_until(consumer, f"saw {value}")
        for consumer in consumers:
            word, wakes = consumer.stdout.readline().split()
            assert word == "wakes" and int(wakes) <= changes
    finally:
        for consumer in consumers:
            finish(consumer)


def test_a_handle_without_a_place_holds_shared_exclusively(shm_name):
    name = shm_name("places")
    handles = [zelvane.open_array(name, 1, "d") for _ in range(31)]
    for handle in handles:  # each keeps the place it takes
        with handle.lock(shared=True):
            pass
    found = []
    with handles[0].lock(shared=True):
        # The last handle found no place: its shared lock excludes like an
        # exclusive one, and leaves marking no change.
        thread = threading.Thread(target=lambda: found.extend(outcome(h, True) for h in handles[29:]))
        thread.start()
        thread.join(TIMEOUT)
    assert found == ["locked", "timed out"]
    assert outcome(handles[30], True) == "locked" and handles[30].version == 0


def test_a_fork_child_takes_places_of_its_own(shm_name):
    handle = zelvane.open_array(shm_name("fork"), 1, "d")
    with handle.lock(shared=True):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                found = []
                with handle.lock(shared=True, timeout=TIMEOUT):
                    thread = threading.Thread(target=lambda: found.append(outcome(handle, False)))
                    thread.start()
                    thread.join(TIMEOUT)
                code = 0 if found == ["timed out"] else 2
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    # Neither the parent's place nor the child's holds the array any more.
    assert outcome(handle, False) == "locked"


# --- zelvane.aio ------------------------------------------------------------------


def test_aio_tasks_hold_an_array_shared_together_and_exclusive_alone(shm_name):
    from zelvane import aio

    name = shm_name("aio")
    other = zelvane.open_array(name, 2, "q")

    async def reader(handle, inside, release):
        async with handle.lock(shared=True):
            inside.release()
            await release.wait()

    async def main():
        handle = aio.open_array(name)
        inside, release = asyncio.Semaphore(0), asyncio.Event()
        readers = [asyncio.create_task(reader(handle, inside, release)) for _ in range(3)]
        for _ in readers:  # all three are inside at once
            await inside.acquire()
        # Held shared by the loop: a thread is kept out as an exclusive holder
        # and let in as a shared one.
        found = await asyncio.to_thread(lambda: (outcome(other, False), outcome(other, True)))
        release.set()
        await asyncio.gather(*readers)
        async with handle.lock() as held:
            memoryview(held.handle)[0] = 5
            with pytest.raises(RuntimeError, match="already held"):
                async with handle.lock(shared=True):
                    pass
            found += (await asyncio.to_thread(outcome, other, True),)
        return found, handle.version

    assert asyncio.run(main()) == (("timed out", "locked", "timed out"), 1)
    assert outcome(other, False) == "locked"


AIO_WRITER = """
import sys, zelvane
h = zelvane.open_array(sys.argv[1])
with h.lock(timeout=float(sys.argv[2])):
    memoryview(h)[1] = 1
print("wrote", flush=True)
"""


@pytest.mark.parametrize("writer", ["another process", "a task of the loop"])
def test_a_stream_of_aio_readers_lets_a_waiting_writer_in(shm_name, writer):
    from zelvane import aio

    name = shm_name("aiostream")
    zelvane.open_array(name, 2, "q")

    async def reader(handle, inside):
        # Two such readers overlap: the loop's shared hold never ends by itself.
        while memoryview(handle.handle)[1] == 0:
            async with handle.lock(shared=True, timeout=TIMEOUT):
                inside.set()
                await asyncio.sleep(0.05)

    async def write_in_loop(handle):
        async with handle.lock(timeout=TIMEOUT):
            memoryview(handle.handle)[1] = 1

    async def main():
        handle = aio.open_array(name)
        inside = asyncio.Event()
        readers = [asyncio.create_task(reader(handle, inside))]
        await inside.wait()
        readers.append(asyncio.create_task(reader(handle, inside)))
        try:
            if writer == "a task of the loop":
                await write_in_loop(handle)
            else:
                child = await asyncio.create_subprocess_exec(
                    sys.executable, "-c", AIO_WRITER, name, str(TIMEOUT), stdout=asyncio.subprocess.PIPE)
                try:
                    assert (await child.stdout.readline()).strip() == b"wrote"
                finally:
                    if child.returncode is None:
                        child.kill()
                    await child.wait()
        finally:
            memoryview(handle.handle)[1] = 1
            await asyncio.wait_for(asyncio.gather(*readers), TIMEOUT)

    asyncio.run(main())


@pytest.mark.parametrize("first", ["alone", "among readers"])
def test_one_aio_shared_lock_entered_by_two_tasks_holds_once(shm_name, first):
    from zelvane import aio

    name = shm_name("aiotwice")
    other = zelvane.open_array(name, 1, "d")

    async def main():
        handle = aio.open_array(name)
        lock, leave = handle.lock(shared=True, timeout=TIMEOUT), asyncio.Event()

        async def enter():
            try:
                async with lock:
                    await leave.wait()
                return "held"
            except RuntimeError as error:
                return str(error)

        async def hold_meanwhile():
            async with handle.lock(shared=True):
                await leave.wait()

        tasks = [asyncio.create_task(hold_meanwhile())] if first == "among readers" else []
        tasks += [asyncio.create_task(enter()) for _ in range(2)]
        await asyncio.sleep(0.05)
        leave.set()
        return (await asyncio.gather(*tasks))[-2:]

    found = asyncio.run(main())
    assert sorted(found) == sorted(["held", f"The lock of shared memory address '{name}' is held by another thread."])
    # Nothing of the loop's holds stays: a writer gets in.
    assert outcome(other, False) == "locked"


def test_aio_wait_wakes_on_an_exclusive_change_not_a_shared_one(shm_name):
    from zelvane import aio

    name = shm_name("aiowait")
    writer = zelvane.open_array(name, 2, "d")

    async def main():
        handle = aio.open_array(name)
        waiting = asyncio.create_task(handle.wait(timeout=TIMEOUT))
        await asyncio.sleep(0)
        await asyncio.to_thread(outcome, writer, True)  # held shared and let go: no change
        await asyncio.sleep(0.05)
        assert not waiting.done()
        await asyncio.to_thread(write_under_lock, writer)
        version = await waiting
        with pytest.raises(TimeoutError):
            await handle.wait(timeout=0.05)
        return version, memoryview(handle.handle)[1]

    assert asyncio.run(main()) == (1, 2.5)


@pytest.mark.parametrize("timeout", [TIMEOUT, 0])
def test_an_aio_wait_inside_a_shared_block_is_refused_unless_it_cannot_block(shm_name, timeout):
    from zelvane import aio

    name = shm_name("aiowaitin")
    zelvane.open_array(name, 1, "d")

    async def main():
        handle = aio.open_array(name)
        async with handle.lock(shared=True):
            # As a thread's wait in its shared lock() block: no writer could
            # make the change while the block lasts.
            with pytest.raises((RuntimeError, TimeoutError)) as info:
                await handle.wait(timeout=timeout)
            return info.value

    error = asyncio.run(main())
    if timeout == 0:
        assert type(error) is TimeoutError
    else:
        assert type(error) is RuntimeError and str(error) == (
            f"Waiting for a change of shared memory address '{name}' while this thread holds its lock would "
            "never end.")


def write_under_lock(handle):
    with handle.lock():
        memoryview(handle)[1] = 2.5
