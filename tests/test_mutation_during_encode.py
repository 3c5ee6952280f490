"""A thread that changes a handle call's arguments or its result while they
are encoded, or a value on its way into a slot: the call or the write sees
the old content or the new one, or raises a clean error, and no process
dies. Each exchange runs in child processes, so that a crash shows as a
signal exit instead of ending pytest.

The processes set a switch interval far longer than any test, so a second
thread gets the GIL only when the encoding thread lets it go of its own
accord: the change lands at the first such point of the call, every time."""
import textwrap

import pytest

from conftest import CHILD_PRELUDE, spawn_python

pytestmark = pytest.mark.timeout(300)

# Runs `change` on a thread of its own as soon as `go` is set.
CHANGER = """
import sys, threading
sys.setswitchinterval(1000)

def changer(go, change):
    def run():
        go.wait()
        change()
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread
"""

# argv: function name, case. Each round takes a new handle, so that its
# buffer grows while the arguments are encoded.
CALLER = CHANGER + textwrap.dedent("""
    import zelvane
    NAME, CASE = sys.argv[1], sys.argv[2]
    N = 64 << 20
    INTS = 1 << 21

    def bytearray_cleared():
        value = bytearray(b"x") * N
        def sane(result):
            got = result[0]
            return type(got) is bytearray and (len(got) == 0 or (len(got) == N and got.count(b"x") == N))
        return (value,), value.clear, sane

    def ints_refilled():
        value = list(range(INTS))
        def refill():
            value.clear()
            value.extend(range(INTS, 2 * INTS))
        def sane(result):
            got = result[0]
            return got == list(range(INTS)) or got == list(range(INTS, 2 * INTS))
        return (value,), refill, sane

    def str_replaced():
        value = ["s" * N]
        def replace():
            value[0] = "new"
        def sane(result):
            got = result[0]
            return len(got) == 1 and (got[0] == "new" or (len(got[0]) == N and got[0].count("s") == N))
        return (value,), replace, sane

    make = {"bytearray": bytearray_cleared, "ints": ints_refilled, "str": str_replaced}[CASE]
    for _ in range(2):
        args, change, sane = make()
        go = threading.Event()
        thread = changer(go, change)
        with zelvane.open_function(NAME) as handle:
            go.set()
            try:
                result = handle(*args)
            except (RuntimeError, MemoryError, ValueError) as exc:
                print("raised", type(exc).__name__, exc, flush=True)
            else:
                assert sane(result), "the call saw neither the old content nor the new"
        thread.join()
        del args, change, sane
    print("ok", flush=True)
""")


def run_caller(code, *args):
    """Runs a calling child to its end; returns (exit code, stdout, stderr)."""
    proc = spawn_python(code, *args)
    try:
        out, err = proc.communicate(timeout=240)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    return proc.returncode, out, err


@pytest.mark.parametrize("case", ["bytearray", "ints", "str"])
def test_a_caller_thread_that_changes_the_arguments_while_they_encode(serve, case):
    server = serve("lambda *a: a")
    code, out, err = run_caller(CALLER, server.name, case)
    assert code == 0 and out.splitlines()[-1:] == ["ok"], f"the caller ended with {code}:\n{out}\n{err[-3000:]}"
    assert server.proc.poll() is None, "the server died"


# The callable hands out a list that a server thread refills, as one
# consistent run of numbers at a time, once the result is on its way.
SERVER_SETUP = CHANGER + textwrap.dedent("""
    INTS = 1 << 21
    shared = list(range(INTS))
    rounds = [0]
    def refill():
        rounds[0] += 1
        shared.clear()
        shared.extend(range(rounds[0] * INTS, (rounds[0] + 1) * INTS))
    def hand_out(*args):
        go = threading.Event()
        changer(go, refill)
        go.set()
        return [shared]
""")

# argv: function name, size of the arguments.
RESULT_CALLER = textwrap.dedent("""
    import sys, zelvane
    NAME, SIZE = sys.argv[1], int(sys.argv[2])
    INTS = 1 << 21
    for _ in range(2):
        # A new handle each round, so that the result grows its buffer.
        with zelvane.open_function(NAME) as handle:
            result = handle(b"a" * SIZE)
        assert type(result) is list and len(result) == 1
        got = result[0]
        assert len(got) == INTS and got == list(range(got[0], got[0] + INTS)), "a torn result"
    print("ok", flush=True)
""")


# Small arguments leave the caller's buffer to be opened for the result;
# large ones have it open already and only grow it.
@pytest.mark.parametrize("args_size", [10, 2 << 20])
def test_a_server_thread_that_changes_the_result_while_it_encodes(serve, args_size):
    server = serve("hand_out", setup=SERVER_SETUP)
    code, out, err = run_caller(RESULT_CALLER, server.name, str(args_size))
    assert code == 0 and out.splitlines()[-1:] == ["ok"], f"the caller ended with {code}:\n{out}\n{err[-3000:]}"
    assert server.proc.poll() is None, f"the server died: {server.proc.returncode}"


# argv: slot name, case. Another thread holds the slot's mutex until the
# change was tried, so the write waits for it with the GIL let go, its value
# in hand.
SLOT_WRITER = CHILD_PRELUDE + CHANGER + textwrap.dedent("""
    import zelvane
    from shm_util import SlotMutex
    NAME, CASE = sys.argv[1], sys.argv[2]
    N = 64 << 20
    data = bytearray(b"x") * N
    value = data if CASE == "bytearray" else memoryview(data)
    outcome = []
    tried = threading.Event()
    def try_change():
        try:
            data.clear() if CASE == "bytearray" else value.release()
            outcome.append("changed")
        except BufferError:
            outcome.append("refused")
        tried.set()
    zelvane.write_memory(NAME, b"before")
    mutex = SlotMutex(NAME)
    held = threading.Event()
    def hold():
        mutex.lock()
        held.set()
        tried.wait(60)
        mutex.unlock()
    holder = threading.Thread(target=hold)
    holder.start()
    held.wait()
    go = threading.Event()
    thread = changer(go, try_change)
    go.set()
    zelvane.write_memory(NAME, value)
    thread.join()
    holder.join()
    mutex.close()
    back = bytes(zelvane.read_memory(NAME))
    assert len(back) in (0, N) and back.count(b"x") == len(back), "a torn value"
    print(outcome[0], flush=True)
    print("ok", flush=True)
""")


# A top-level bytearray or memoryview goes into a slot straight from its
# buffer, which stays exported until the copy is made.
@pytest.mark.parametrize("case", ["bytearray", "memoryview"])
def test_a_thread_that_changes_a_value_while_a_write_waits_for_the_slot(shm_name, case):
    code, out, err = run_caller(SLOT_WRITER, shm_name("slot"), case)
    assert code == 0 and out.splitlines() == ["refused", "ok"], f"the writer ended with {code}:\n{out}\n{err[-3000:]}"
