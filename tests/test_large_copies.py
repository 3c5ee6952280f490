"""Large copies into and out of shared memory let the GIL go: another thread
of the process runs during them, and a handle closed by another thread
meanwhile neither frees the memory under the copy nor loses the value.

Each case runs in a child process whose switch interval is far longer than
any test, so that a second thread gets the GIL only when the copying thread
lets it go of its own accord: progress it makes between the start and the
end of a copy was made during it."""
import asyncio
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import zelvane
import zelvane.aio as aio
from conftest import CHILD_PRELUDE, run_python

pytestmark = pytest.mark.timeout(300)

# The other thread: counts its own iterations, letting the GIL go at each one
# (sleep(0)) so that the copying thread can take it back.
PRELUDE = CHILD_PRELUDE + textwrap.dedent("""
    import sys, threading, time
    import zelvane
    sys.setswitchinterval(1000)
    count = [0]
    stop = threading.Event()
    def counter():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0)
    def advanced_during(action):
        ready = threading.Event()
        thread = threading.Thread(target=lambda: (ready.set(), counter()), daemon=True)
        thread.start()
        ready.wait()
        before = count[0]
        result = action()
        after = count[0]
        stop.set()
        thread.join()
        stop.clear()
        return after - before, result
""")


def run_child(body, *names):
    proc = run_python(PRELUDE + textwrap.dedent(body).format(*names), timeout=240)
    assert proc.returncode == 0 and proc.stdout.splitlines()[-1:] == ["ok"], (
        f"the child ended with {proc.returncode}:\n{proc.stdout}\n{proc.stderr[-3000:]}")
    return proc.stdout


@pytest.mark.parametrize("kind", ["bytes", "bytearray", "tuple"])
def test_another_thread_runs_during_a_256_mib_write_and_a_large_read(shm_name, kind):
    name = shm_name("copy")
    run_child("""
        N = 256 << 20
        value = {{"bytes": b"w" * N, "bytearray": bytearray(b"w") * N, "tuple": (1, b"w" * N)}}["{1}"]
        with zelvane.open_memory("{0}") as h:
            h.write(b"")
            moved, done = advanced_during(lambda: h.write(value))
            assert done is True and moved > 0, moved
            moved, got = advanced_during(h.read)
            assert got == value and moved > 0, moved
        moved, got = advanced_during(lambda: zelvane.read_memory("{0}"))
        assert got == value and moved > 0, moved
        print("ok")
    """, name, kind)


# Values whose copy is large only in all: many medium pieces, or more than
# eight large ones; some mixed with small members, with non-ASCII texts.
# Python expressions, for a child as for this process.
MANY_PIECES = {
    "list of bytes": "[bytes([i]) * (256 << 10) for i in range(128)]",
    "dict of str": "{'k%d' % i: chr(97 + i % 26) * (200 << 10) for i in range(160)}",
    "tuple of bytearrays": "tuple(bytearray([i]) * (300 << 10) for i in range(110))",
    "twelve large pieces": "[bytes([i]) * ((2 << 20) + i) for i in range(12)]",
    "mixed with small members": "[('\u00e9' * (70 << 10) + str(i), i, b'x', '\u00fc', None, "
                                "{'t': '\u20ac' * (40 << 10), 'b': bytearray(b'z') * (90 << 10), "
                                "'s': 'a' * (80 << 10)}) for i in range(90)]",
}

@pytest.mark.parametrize("shape", list(MANY_PIECES))
def test_another_thread_runs_while_many_pieces_are_encoded_decoded_written_and_read(shm_name, shape):
    name = shm_name("pieces")
    run_child("""
        def same(a, b):  # equal, with the same types throughout
            if type(a) is not type(b):
                return False
            if isinstance(a, (list, tuple)):
                return len(a) == len(b) and all(map(same, a, b))
            if isinstance(a, dict):
                return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
            return a == b
        value = {1}
        moved, encoded = advanced_during(lambda: zelvane.dumps(value))
        assert moved > 0, ("encoding", moved)
        moved, got = advanced_during(lambda: zelvane.loads(encoded))
        assert same(got, value) and moved > 0, ("decoding", moved)
        with zelvane.open_memory("{0}") as h:
            h.write(b"")
            moved, done = advanced_during(lambda: h.write(value))
            assert done is True and moved > 0, ("write", moved)
            moved, got = advanced_during(h.read)
            assert same(got, value) and moved > 0, ("read", moved)
        assert same(zelvane.read_memory("{0}"), value)
        print("ok")
    """, name, MANY_PIECES[shape])


K = 64 << 10  # a piece whose copy waits for the end of a decoding
ASCII = "a" * 100  # a text that starts so is made as ASCII until its end is seen

# Pieces of large values that a decoding fills at its end: texts of every
# width (made as ASCII at first when they start so), and pieces that are
# hashed as they are decoded (keys, set members), which must not wait.
PIECES_TO_FILL = {
    "non-ASCII text alone": lambda: "\u00e9" * (600 << 10),
    "text turning non-ASCII late alone": lambda: ASCII + "\u00e9" * (600 << 10),
    "texts of every width in a tuple": lambda: ("a" * K, "\u00e9" * K, "\u20ac" * K, "\U0001f600" * K, "b" * K) * 3,
    "texts turning non-ASCII late": lambda: [ASCII + "a" * K + "\u00e9", (ASCII + "\u20ac" * K, 1),
                                             {"k": ASCII + "\U0001f600" * K, "a": "a" * K}, [[ASCII + "\u00fc" * K]],
                                             b"p" * (1 << 20)],
    "non-ASCII texts deep in dict values": lambda: {"a": [{"b": ("x", "\u00fc" * K)}], "c": "c" * (1 << 20),
                                                    "d": ["\u00e9" * K] * 3},
    "pieces as keys": lambda: {b"k" * K: 1, "\u00e9" * K: 2, (b"t" * K, "a" * K): 3, "v": b"v" * (1 << 20)},
    "pieces in sets": lambda: [frozenset([b"f" * K, "\u00e9" * K]), {"s" * K, b"x"}, bytearray(b"x") * (1 << 20)],
}


@pytest.mark.parametrize("case", list(PIECES_TO_FILL))
def test_pieces_filled_at_the_end_of_a_decoding_are_exact_and_hash_right(case):
    value = PIECES_TO_FILL[case]()
    got = zelvane.loads(zelvane.dumps(value))

    def same(a, b):
        if type(a) is not type(b):
            return False
        if isinstance(a, (list, tuple)):
            return len(a) == len(b) and all(map(same, a, b))
        if isinstance(a, dict):  # keys found by their hashes
            return a == b and all(same(a[k], b[k]) for k in a)
        return a == b

    assert same(got, value)


@pytest.mark.parametrize("start", ["", ASCII])
@pytest.mark.parametrize("where", ["list", "dict value", "alone"])
def test_a_large_text_with_invalid_utf8_fails_as_any_text(where, start):
    text = start + "\u00e9" * (600 << 10) + "abc"
    value = {"list": lambda: ["p" * (1 << 20), text], "dict value": lambda: {"p": b"p" * (1 << 20), "t": text},
             "alone": lambda: text}[where]()
    encoded = bytearray(zelvane.dumps(value))
    at = encoded.rindex(b"abc")
    encoded[at] = 0xFF
    with pytest.raises(UnicodeDecodeError) as raised:
        zelvane.loads(bytes(encoded))
    payload = text.encode()
    bad = payload[:-3] + b"\xffbc"
    with pytest.raises(UnicodeDecodeError) as expected:
        bad.decode()
    assert str(raised.value) == str(expected.value)


def test_another_thread_runs_while_a_large_array_is_made(shm_name):
    name = shm_name("array")
    run_child("""
        moved, array = advanced_during(lambda: zelvane.open_array("{0}", (64 << 20,), "f"))
        with array:
            assert array.nbytes == 256 << 20 and moved > 0, moved
        print("ok")
    """, name)


@pytest.mark.parametrize("container", ["list", "dict", "tuple in list", "memoryview in dict", "many pieces in a list",
                                       "many bytearrays in a dict"])
def test_the_encoder_lets_the_gil_go_in_any_container_and_copies_what_it_saw(container):
    # The other thread runs only while the encoder lets the GIL go: there it
    # drops the large member from its container (its last reference but the
    # encoder's) and changes the container; the encoding is still the value
    # as it stood, whole.
    run_child("""
        N = 64 << 20
        def make():
            return {{"list": lambda: [b"w" * N, b"tail"],
                     "dict": lambda: {{"k": bytearray(b"d") * N, "z": 1}},
                     "tuple in list": lambda: [(1, "t" * N)],
                     "memoryview in dict": lambda: {{"m": memoryview(bytearray(b"m") * N)}},
                     "many pieces in a list": lambda: [bytes([i]) * (N // 256) for i in range(256)] + ["t"],
                     "many bytearrays in a dict": lambda: {{i: bytearray([i]) * (N // 256) for i in range(256)}},
                     }}["{0}"]()
        value, expected = make(), make()
        go, changed = threading.Event(), []
        def change():
            go.wait()
            if isinstance(value, list):
                value[0] = None
                value.append("new")
            else:
                for key in list(value):
                    value[key] = None
            changed.append(True)
        thread = threading.Thread(target=change, daemon=True)
        thread.start()
        go.set()
        encoded = zelvane.dumps(value)
        ran_during = bool(changed)
        thread.join()
        got = zelvane.loads(encoded)
        if "{0}" == "memoryview in dict":
            expected = {{"m": bytes(expected["m"])}}
        assert ran_during and got == expected, (ran_during, type(got))
        print("ok")
    """, container)


def test_large_call_arguments_and_results_travel_while_another_thread_runs(serve):
    server = serve("lambda x: b'r' * x if isinstance(x, int) else len(x)")
    run_child("""
        N = 64 << 20
        with zelvane.open_function("{0}") as f:
            moved, got = advanced_during(lambda: f(b"a" * N))
            assert got == N and moved > 0
            moved, got = advanced_during(lambda: f(N))
            assert got == b"r" * N and moved > 0
            assert zelvane.loads(zelvane.dumps(b"l" * N)) == b"l" * N
        print("ok")
    """, server.name)


# The other thread closes the handle the moment the copy lets the GIL go.
CLOSER = textwrap.dedent("""
    def closed_during(handle, action):
        go = threading.Event()
        def close():
            go.wait()
            handle.close()
        thread = threading.Thread(target=close, daemon=True)
        thread.start()
        go.set()
        try:
            return action()
        finally:
            thread.join()
            assert handle.closed
""")


@pytest.mark.parametrize("case", ["write", "read", "write_in_lock", "update"])
def test_a_slot_handle_closed_by_another_thread_during_a_large_copy(shm_name, case):
    name = shm_name("copy")
    run_child(CLOSER + textwrap.dedent("""
        N = 128 << 20
        value = b"v" * N
        h = zelvane.open_memory("{0}")
        if "{1}" == "read":
            h.write(value)
            assert closed_during(h, h.read) == value
        elif "{1}" == "write":
            assert closed_during(h, lambda: h.write(value)) is True
        elif "{1}" == "write_in_lock":
            with h.lock():
                assert closed_during(h, lambda: h.write(value)) is True
        else:
            assert closed_during(h, lambda: h.update(lambda old: value)) == value
        try:
            h.write(b"x")
        except ValueError as exc:
            assert "closed memory handle" in str(exc)
        else:
            raise AssertionError("a closed handle wrote")
        assert zelvane.read_memory("{0}") == value
        print("ok")
    """), name, case)


def test_a_function_handle_closed_by_another_thread_during_a_large_call(serve):
    server = serve("lambda x: len(x)")
    run_child(CLOSER + textwrap.dedent("""
        N = 128 << 20
        f = zelvane.open_function("{0}")
        try:
            assert closed_during(f, lambda: f(b"a" * N)) == N
        except ValueError as exc:
            print("raised", exc)
        with zelvane.open_function("{0}") as g:
            assert g(b"b" * N) == N
        print("ok")
    """), server.name)


async def _ticks_during(coro):
    """How often another task of the loop ran while `coro` was awaited, and
    what it gave: a copy made on the loop's own thread leaves it at 0."""
    ticks = 0
    done = False

    async def ticker():
        nonlocal ticks
        while not done:
            ticks += 1
            await asyncio.sleep(0)

    task = asyncio.create_task(ticker())
    await asyncio.sleep(0)
    before = ticks
    try:
        result = await coro
    finally:
        done = True
    await task
    return ticks - before, result


def test_the_loop_runs_another_task_during_large_aio_copies(serve, shm_name):
    server = serve("lambda x: b'r' * x if isinstance(x, int) else len(x)")
    N = 64 << 20
    value = b"v" * N

    async def main():
        h = aio.open_memory(shm_name("aio"))
        try:
            await h.write(b"")
            ran, done = await _ticks_during(h.write(value))
            assert ran > 0 and done is True
            ran, got = await _ticks_during(h.read())
            assert ran > 0 and got == value
        finally:
            h.close()
        async with await aio.open_function(server.name) as f:
            ran, got = await _ticks_during(f(value))
            assert ran > 0 and got == N
            ran, got = await _ticks_during(f(N))
            assert ran > 0 and got == b"r" * N
            ran, got = await _ticks_during(asyncio.gather(*(f(i) for i in range(4))))
            assert got == [b"", b"r", b"rr", b"rrr"]

    asyncio.run(asyncio.wait_for(main(), 200))


@pytest.mark.parametrize("how", ["one list", "many arguments", "keyword arguments", "arguments of both kinds"])
def test_an_aio_call_with_many_pieces_goes_to_a_helper_and_leaves_the_loop_free(serve, monkeypatch, how):
    # The pieces are large only in all, and only all the arguments together.
    # (The loop runs while the reply is awaited in any case: which calls
    # were handed to a helper is recorded.)
    # A pool (zelvane.serve, which passes keyword arguments) serves before
    # the script gets to its usual function.
    server = serve("None", setup="zelvane.serve(NAME, lambda *args, **kwargs: "
                   "[len(a) if isinstance(a, bytes) else sum(map(len, a)) for a in (*args, *kwargs.values())])")
    piece = 256 << 10
    pieces = [bytes([i]) * piece for i in range(96)]
    args, kwargs = {"one list": ((pieces,), {}), "many arguments": (pieces, {}),
                    "keyword arguments": ((), {f"k{i}": p for i, p in enumerate(pieces)}),
                    "arguments of both kinds": (pieces[:48], {f"k{i}": p for i, p in enumerate(pieces[48:])})}[how]
    expected = [len(pieces) * piece] if how == "one list" else [piece] * len(pieces)

    from zelvane._aio_calls import _Calls
    handed = []
    queue_for_helper = _Calls._queue_for_helper
    monkeypatch.setattr(_Calls, "_queue_for_helper", lambda calls, call: (handed.append(len(call.args)),
                                                                          queue_for_helper(calls, call)))

    async def main():
        async with await aio.open_function(server.name) as f:
            ran, got = await _ticks_during(f(*args, **kwargs))
            assert ran > 0 and got == expected and handed == [len(args)]
            assert await f(b"small") == [5] and len(handed) == 1

    asyncio.run(asyncio.wait_for(main(), 200))


@pytest.mark.parametrize("shape", ["bytes", "list", "dict", "bytearray in tuple in dict", *MANY_PIECES])
def test_large_aio_copies_in_containers_and_inside_a_lock_leave_the_loop_free(shm_name, shape):
    N = 64 << 20
    value = {"bytes": lambda: b"v" * N, "list": lambda: [b"v" * N], "dict": lambda: {"k": "v" * N},
             "bytearray in tuple in dict": lambda: {"k": (1, bytearray(b"v") * N)},
             **{label: lambda label=label: eval(MANY_PIECES[label]) for label in MANY_PIECES}}[shape]()

    async def main():
        h = aio.open_memory(shm_name("aio"))
        other = aio.open_memory(h.name)
        try:
            ran, done = await _ticks_during(h.write(value))
            assert ran > 0 and done is True
            async with h.lock():
                ran, got = await _ticks_during(h.read())
                assert ran > 0 and got == value
                ran, done = await _ticks_during(h.write(value))
                assert ran > 0 and done is True
                # Another task of the loop waits for the block to end.
                waiting = asyncio.ensure_future(other.write(b"after"))
                await asyncio.sleep(0.05)
                assert not waiting.done()
            assert await waiting is True and await h.read() == b"after"
        finally:
            h.close()
            other.close()

    asyncio.run(asyncio.wait_for(main(), 200))


@pytest.mark.parametrize("end", ["cancelled", "closed"])
def test_a_large_aio_write_inside_a_lock_finishes_before_the_block_can_end(shm_name, end):
    # Cancelled, the task leaves its lock() block only once the helper's
    # copy is over; the handle closed by another task meanwhile keeps the
    # mapping until then (or, closed before the helper began, the write
    # says so). The slot holds the whole value or none of it.
    N = 128 << 20
    value = b"c" * N

    async def main():
        h = aio.open_memory(shm_name("aio"))
        started = asyncio.Event()

        async def locked_write():
            async with h.lock():
                started.set()
                await h.write(value)

        task = asyncio.ensure_future(locked_write())
        await started.wait()
        await asyncio.sleep(0)  # the write is under way on its helper
        wrote = True
        if end == "cancelled":
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            h.close()
            try:
                await task
            except ValueError as exc:  # closed before the helper began
                assert "closed memory handle" in str(exc)
                wrote = False
        h.close()
        assert zelvane.read_memory(h.name) == (value if wrote else None)

    asyncio.run(asyncio.wait_for(main(), 200))


# A write of a value a little larger than the slot's last one gives pages
# only to the bytes past those it had: asking for the whole payload again
# walks every page of it, for milliseconds, with the GIL held (the growth is
# too small to let it go). Seen from outside, through the calls the child
# makes, between two markers (getppid, which nothing else here calls).
GROWING_WRITES = """
    import asyncio, os
    import zelvane
    from zelvane import aio
    N = 8 << 20
    values = [[b"x" * N], {{"k": "x" * N}}, ([b"x" * N], 1)]
    with zelvane.open_memory("{0}") as h:
        h.write(b"x" * N)
        os.getppid()
        if "{1}" == "aio":
            async def main():
                async with aio.open_memory("{0}") as a:
                    await a.write(b"x" * N)
                    for value in values:
                        assert await a.write(value) is True and await a.read() == value
            asyncio.run(main())
        else:
            for value in values:
                assert h.write(value) is True and h.read() == value
        os.getppid()
    print("ok")
"""


@pytest.mark.parametrize("through", ["handle", "aio"])
def test_a_slot_grown_a_little_gives_pages_to_the_growth_only(shm_name, tmp_path, through):
    if shutil.which("strace") is None:
        pytest.skip("strace is not installed")
    trace = tmp_path / "trace"
    code = CHILD_PRELUDE + textwrap.dedent(GROWING_WRITES).format(shm_name("grow"), through)
    proc = subprocess.run(["strace", "-f", "-qq", "-e", "trace=fallocate,getppid", "-o", str(trace),
                           sys.executable, "-c", code], capture_output=True, text=True, timeout=240)
    if proc.returncode != 0 and "ptrace" in proc.stderr:
        pytest.skip(f"this machine refuses tracing: {proc.stderr.strip()[:200]}")
    assert proc.returncode == 0 and proc.stdout.splitlines()[-1:] == ["ok"], proc.stderr[-3000:]
    between = trace.read_text().split("getppid(")[1]
    lengths = [int(n) for n in re.findall(r"fallocate\(\d+, \w+, \d+, (\d+)\)", between)]
    # The aio handle, opened apart, knows nothing allocated yet: its first
    # write may ask for the whole payload once (with the GIL let go).
    first_large = [n for n in lengths if n >= 1 << 20]
    assert lengths and len(first_large) <= (1 if through == "aio" else 0), lengths


# A handle of a large slot unmaps its pages with the GIL let go when closed,
# but not once the interpreter shuts down: its last thread could not take
# the GIL back, and the process would never end.
@pytest.mark.parametrize("left", ["global", "in a cycle", "aio", "closed"])
def test_a_process_ends_with_a_large_slot_handle_left_open(shm_name, left):
    name = shm_name("left")
    proc = run_python(CHILD_PRELUDE + textwrap.dedent("""
        import asyncio, gc, zelvane
        from zelvane import aio
        N = 64 << 20
        h = zelvane.open_memory("{0}")
        h.write(b"x" * N)
        assert h.read() == b"x" * N
        if "{1}" == "in a cycle":
            gc.disable()
            cycle = [h]
            cycle.append(cycle)
            del h
        elif "{1}" == "aio":
            a = aio.open_memory("{0}")
            assert asyncio.run(a.read()) == b"x" * N
        elif "{1}" == "closed":
            h.close()
        print("ok")
    """).format(name, left), timeout=120)
    assert proc.returncode == 0 and proc.stdout.splitlines() == ["ok"], proc.stderr[-3000:]
    assert zelvane.read_memory(name) == b"x" * (64 << 20)


@pytest.mark.parametrize("kind, size, off_loop", [
    ("slot, aclose()", 8 << 20, True),
    ("slot, async with", 8 << 20, True),
    ("array, async with", 8 << 20, True),
    ("slot, aclose()", 1 << 10, False),
])
def test_a_large_handle_lets_its_memory_go_off_the_loop(shm_name, kind, size, off_loop):
    # Unmapping a large view takes milliseconds: a helper thread does it,
    # and other tasks run meanwhile; a small one is let go on the spot.
    async def main():
        name = shm_name("aio")
        if kind.startswith("array"):
            handle = await aio.open_array(name, (size // 8,), "d")
        else:
            handle = aio.open_memory(name)
            await handle.write(b"x" * size)
        ending = handle.aclose() if kind.endswith("aclose()") else handle.__aexit__(None, None, None)
        ran, _ = await _ticks_during(ending)
        return ran, handle.closed

    ran, closed = asyncio.run(asyncio.wait_for(main(), 60))
    assert closed and (ran > 0) is off_loop


# The loop's thread lends its hold of a slot's lock to the helper that makes
# the holding task's large copy, and to it alone: another thread's large
# access through the same handle (a second loop's task, here) waits for the
# lock like any other. The holder's helper stops in the middle of encoding its
# value until that access has begun, so the two meet on every run.
LENT_HOLD = """
    import asyncio, collections, threading
    import zelvane
    from zelvane import aio
    N = 2 << 20
    lent, other_began, other_done = threading.Event(), threading.Event(), threading.Event()
    overlapped = []

    # A deque (by its type's name) whose iteration, which the encoder runs
    # on the helper, pauses once.
    def pausing_iter(self):
        if not lent.is_set():
            lent.set()
            assert other_began.wait(60)
            # The other access is under way: it must wait for the lock.
            overlapped.append(other_done.wait(3))
        return collections.deque.__iter__(self)
    Pause = type("collections.deque", (collections.deque,), {{"__iter__": pausing_iter}})

    h = aio.open_memory("{0}")
    zelvane.write_memory("{0}", b"x" * N)

    def other():
        assert lent.wait(60)
        other_began.set()
        if "{1}" == "write":
            result = asyncio.run(h.write(b"o" * N))
        else:
            result = len(asyncio.run(h.read()))  # the holder's value: a list
        other_done.set()
        seen.append(result)

    seen = []
    thread = threading.Thread(target=other)
    thread.start()

    async def holder():
        async with h.lock():
            await h.write([Pause([1]), b"h" * N])
            return await h.read()

    try:
        inside = asyncio.run(holder())
    finally:
        lent.set(); other_began.set()
        thread.join(120)
    assert overlapped == [False], overlapped
    assert inside[1] == b"h" * N
    assert seen == [True if "{1}" == "write" else 2], seen
    h.close()
    print("ok")
"""


@pytest.mark.parametrize("access", ["write", "read"])
def test_a_lent_slot_lock_reaches_only_the_holders_helper(shm_name, access):
    run_child(LENT_HOLD, shm_name("lent"), access)


# A large aio write that is cancelled lands, if it lands, before the task
# goes on: a later write of the same task is never overwritten by it. The
# helper stops in the middle of encoding the cancelled value until the later
# write is made (or a few seconds passed, when the task rightly waits).
CANCELLED_WRITE = """
    import asyncio, collections, threading
    import pytest
    import zelvane
    from zelvane import aio
    N = 2 << 20
    encoding, later_written = threading.Event(), threading.Event()

    def pausing_iter(self):
        encoding.set()
        later_written.wait(3)
        return collections.deque.__iter__(self)
    Pause = type("collections.deque", (collections.deque,), {{"__iter__": pausing_iter}})

    async def main():
        h = aio.open_memory("{0}")

        write = h.write([Pause([1]), b"a" * N])
        if "{1}" == "wait_for":
            # The helper pauses for seconds: the timeout ends the wait first.
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(write, 0.05)
        else:
            task = asyncio.ensure_future(write)
            while not encoding.is_set():
                await asyncio.sleep(0.001)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        assert await h.write(b"later") is True
        later_written.set()
        return h

    h = asyncio.run(main())  # waits for every helper
    h.close()
    assert zelvane.read_memory("{0}") == b"later"
    print("ok")
"""


@pytest.mark.parametrize("how", ["cancel", "wait_for"])
def test_a_cancelled_large_aio_write_lands_before_the_task_goes_on(shm_name, how):
    run_child(CANCELLED_WRITE, shm_name("cancelled"), how)


# fork() on one thread while another is in a large copy with the GIL let go
# (the main thread runs only once the copy lets it go): the child, where the
# copying thread does not exist, still reads and writes the slot, through
# the handle it inherited too, once the parent's copy lets go of the lock.
FORK_DURING_COPY = """
    import os, threading
    N = 256 << 20
    h = zelvane.open_memory("{0}")
    value = b"b" * N
    h.write(b"a" * 16 if "{1}" != "read" else value)
    def copy():
        if "{1}" == "write":
            h.write(value)
        elif "{1}" == "write_memory":
            zelvane.write_memory("{0}", value)
        else:
            assert h.read() == value
    thread = threading.Thread(target=copy)
    thread.start()
    time.sleep(0)
    pid = os.fork()
    if pid == 0:
        code = 3
        try:
            code = 0 if zelvane.read_memory("{0}") in (b"a" * 16, value) else 4
            small = b"c" * (2 << 20)
            if not (h.write(small) and h.read() == small):
                code = 5
            h.close()
        finally:
            os._exit(code)
    thread.join()
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    assert zelvane.read_memory("{0}") == b"c" * (2 << 20)
    h.close()
    print("ok")
"""


@pytest.mark.parametrize("copy", ["write", "write_memory", "read"])
def test_a_child_forked_during_a_large_copy_uses_the_slot(shm_name, copy):
    run_child(FORK_DURING_COPY, shm_name("fork"), copy)


# A task that holds a slot's lock through one aio handle and reads or writes
# through another is refused as a thread would be, whatever the value's size
# (a large one is not lent to a helper through a handle that holds nothing).
@pytest.mark.parametrize("op", ["write", "read"])
@pytest.mark.parametrize("size", [16, 2 << 20])
def test_a_slot_locked_through_another_aio_handle_is_refused_at_any_size(shm_name, op, size):
    name = shm_name("other")
    zelvane.write_memory(name, b"v" * size)

    async def main():
        first, second = aio.open_memory(name), aio.open_memory(name)
        try:
            async with first.lock():
                with pytest.raises(RuntimeError) as info:
                    await (second.write(b"w" * size) if op == "write" else second.read())
                assert str(info.value) == f"The lock of shared memory address '{name}' is already held by this thread."
                assert await first.read() == b"v" * size
        finally:
            first.close()
            second.close()

    asyncio.run(asyncio.wait_for(main(), 120))
