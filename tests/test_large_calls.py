"""A function handle carries arguments and results of any size: small ones in
the message area, large ones through the handle's unnamed buffer, which no
exchange leaves behind, whatever ends it. call_function keeps the 1024-byte
limits."""
import os
import textwrap
import threading
import time

import pytest
import zelvane

from conftest import finish, shm_path, spawn_python, wait_for_line, wait_until
from shm_util import NULL_REPLY

pytestmark = pytest.mark.timeout(180)

AREA = 1024
TOO_LARGE_ARGS = "The received args exceed the maximum accepted arg size of 1024 bytes."

# "hold" as the first argument waits for the flags dir's 'release'.
HOLDING_SETUP = """
FLAGS = {flags!r}
def echo(*args):
    if args and args[0] == "hold":
        open(os.path.join(FLAGS, "started"), "w").close()
        while not os.path.exists(os.path.join(FLAGS, "release")):
            time.sleep(0.01)
    return args
"""


def payloads_open(pid):
    """How many call payloads process `pid` has open."""
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            count += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("/memfd:zelvane-payload")
        except FileNotFoundError:
            pass
    return count


def payload_files(pid):
    """(inode, size) of each call payload that process `pid` has open."""
    files = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}").startswith("/memfd:zelvane-payload"):
                st = os.stat(f"/proc/{pid}/fd/{fd}")
                files.append((st.st_ino, st.st_size))
        except FileNotFoundError:
            pass
    return files


def payloads_mapped(pid):
    """How many call payloads process `pid` has mapped."""
    with open(f"/proc/{pid}/maps") as maps:
        return sum("/memfd:zelvane-payload" in line for line in maps)


def server_lets_go_of_payloads(pid):
    """A server keeps its callers' buffers mapped between calls, and lets go
    of them once it has been idle for a moment. It closes its descriptor of
    a buffer just after it posted the reply, which its caller may collect
    first."""
    wait_until(lambda: payloads_open(pid) == 0, what="the server to close its callers' buffers")
    wait_until(lambda: payloads_mapped(pid) == 0, what="the server to unmap its callers' buffers")


def encoded_bytes_size(n, in_tuple):
    """The encoded size of b"x" * n, alone or as a one-item tuple, by the
    format's rules: marker, [tuple code and count,] code, size field, data."""
    width = (n.bit_length() + 7) // 8
    return (3 if in_tuple else 1) + (1 + width if width <= 2 else 2 + width) + n


def bytes_encoding_to(size, in_tuple):
    """The length of a bytes value whose encoding takes `size` bytes."""
    n = size
    while encoded_bytes_size(n, in_tuple) > size:
        n -= 1
    assert encoded_bytes_size(n, in_tuple) == size
    return n


@pytest.fixture
def holding(serve, tmp_path):
    server = serve("echo", setup=HOLDING_SETUP.format(flags=str(tmp_path)))
    return server, tmp_path


@pytest.mark.parametrize("size", [AREA - 1, AREA, AREA + 1, 64 << 10, 10 << 20])
def test_a_handle_carries_arguments_and_results_of_any_size(serve, size):
    server = serve("lambda x, n=None: x if n is None else bytes(range(256)) * (n // 256) + b'z' * (n % 256)")
    args_value = b"x" * bytes_encoding_to(size, in_tuple=True)
    n = bytes_encoding_to(size, in_tuple=False)
    others = payloads_open(os.getpid())  # of handles that other tests left to the collector
    with zelvane.open_function(server.name) as handle:
        assert handle(args_value) == args_value
        assert handle(b"", n) == bytes(range(256)) * (n // 256) + b"z" * (n % 256)
        assert handle(b"small") == b"small"
        server_lets_go_of_payloads(server.proc.pid)
        # The handle keeps its one buffer for the next call, and only while open.
        assert payloads_open(os.getpid()) == others + 1
    assert payloads_open(os.getpid()) == others


def test_call_function_keeps_its_limits_on_a_server_that_answers_large_results(serve):
    server = serve("lambda n: b'r' * n")
    with zelvane.open_function(server.name) as handle:
        assert handle(5000) == b"r" * 5000
        with pytest.raises(ValueError) as info:
            zelvane.call_function(server.name, (b"a" * 1100,))
        assert str(info.value) == TOO_LARGE_ARGS
        assert zelvane.call_function(server.name, (3,)) == b"rrr"
        # After a handle's large call, call_function's request takes no large reply.
        assert handle(4000) == b"r" * 4000
        with pytest.raises(RuntimeError) as info:
            zelvane.call_function(server.name, (2000,))
        assert str(info.value) == NULL_REPLY
    code, out = server.finish()
    assert code == 3 and out.startswith("raised")
    assert not os.path.exists(shm_path(server.name))


MIXED_CALLER = textwrap.dedent("""
    import os, sys, zelvane
    handle = zelvane.open_function(sys.argv[1])
    me = os.getpid().to_bytes(4, "little")
    for i in range(30):
        size = [10, 900, 3000, 200000][i % 4]
        value = me + bytes([i]) * size
        got = handle(value)
        assert got == (value, len(value)), (i, size)
    print("ok", flush=True)
""")


def test_small_and_large_calls_from_several_processes_each_get_their_own_result(serve):
    server = serve("lambda v: (v, len(v))")
    callers = [spawn_python(MIXED_CALLER, server.name) for _ in range(4)]
    assert [finish(c) for c in callers] == ["ok\n"] * 4
    with zelvane.open_function(server.name) as handle:
        assert handle(b"") == (b"", 0)
    server_lets_go_of_payloads(server.proc.pid)


LARGE_LOOP = textwrap.dedent("""
    import sys, zelvane
    handle = zelvane.open_function(sys.argv[1])
    big = b"q" * (4 << 20)
    print("started", flush=True)
    while True:
        assert handle(big) == (big,)
""")


@pytest.mark.parametrize("delay", [0, 0.003, 0.02, 0.1])
def test_a_caller_killed_during_large_exchanges_leaves_nothing(serve, delay):
    server = serve("lambda *a: a")
    before = set(os.listdir("/dev/shm"))
    caller = spawn_python(LARGE_LOOP, server.name)
    wait_for_line(caller, "started")
    # Wherever the kill lands, the payloads go with the exchange.
    time.sleep(delay)
    caller.kill()
    finish(caller)
    with zelvane.open_function(server.name) as handle:
        assert handle(b"after") == (b"after",)
        assert handle(b"w" * 5000) == (b"w" * 5000,)
        assert handle(1) == (1,)
    server_lets_go_of_payloads(server.proc.pid)
    # Other processes on the machine make names too: only ours count.
    ours = {str(pid) for pid in (os.getpid(), server.proc.pid, caller.pid)}
    made = {n for n in set(os.listdir("/dev/shm")) - before if any(p in n for p in ours)}
    assert made <= {server.name}


def test_a_dead_callers_buffer_is_let_go_while_others_keep_the_server_busy(serve):
    server = serve("lambda *a: a")
    stop = threading.Event()

    def keep_calling():
        with zelvane.open_function(server.name) as handle:
            while not stop.is_set():
                assert handle(1) == (1,)

    # Small calls all along: the server is never idle long enough to let go
    # of everything at once.
    busy = threading.Thread(target=keep_calling)
    busy.start()
    try:
        caller = spawn_python(textwrap.dedent("""
            import sys, zelvane
            handle = zelvane.open_function(sys.argv[1])
            assert handle(b"d" * 300000) == (b"d" * 300000,)
            print("called", flush=True)
            sys.stdin.readline()
        """), server.name)
        wait_for_line(caller, "called")
        caller.kill()
        finish(caller)
        wait_until(lambda: payloads_mapped(server.proc.pid) == 0,
                   what="the server to let go of a dead caller's buffer")
    finally:
        stop.set()
        busy.join(60)
    assert not busy.is_alive()


def test_a_caller_killed_while_its_large_call_runs(holding):
    server, flags = holding
    caller = spawn_python(textwrap.dedent("""
        import sys, zelvane
        print(zelvane.open_function(sys.argv[1])("hold", b"h" * 300000), flush=True)
    """), server.name)
    wait_until((flags / "started").exists)
    caller.kill()
    finish(caller)
    (flags / "release").touch()
    with zelvane.open_function(server.name) as handle:
        assert handle(b"n" * 2000) == (b"n" * 2000,)
        assert handle() == ()
    server_lets_go_of_payloads(server.proc.pid)


def test_a_server_killed_during_a_large_exchange(holding):
    server, flags = holding
    caller = spawn_python(textwrap.dedent("""
        import os, sys, zelvane
        try:
            zelvane.open_function(sys.argv[1])("hold", b"h" * 300000)
        except RuntimeError as exc:
            print("raised", exc, flush=True)
        fds = [os.readlink(f"/proc/self/fd/{f}") for f in os.listdir("/proc/self/fd")
               if os.path.exists(f"/proc/self/fd/{f}")]
        print(sum(t.startswith("/memfd:") for t in fds), flush=True)
    """), server.name)
    wait_until((flags / "started").exists)
    server.kill()
    assert finish(caller).splitlines() == [
        f"raised Nobody serves the function '{server.name}' any more: its serving process has ended.", "0"]


def test_a_timeout_during_a_large_exchange(holding):
    server, flags = holding
    others = payloads_open(os.getpid())  # of handles that other tests left to the collector
    handle = zelvane.open_function(server.name)
    with pytest.raises(TimeoutError):
        handle("hold", b"t" * 200000, timeout=0.5)
    # The server may still write to the buffer of that call: it is not reused.
    assert payloads_open(os.getpid()) == others
    (flags / "release").touch()
    # The abandoned result is dropped; the next call gets its own.
    assert handle("next", b"u" * 3000) == ("next", b"u" * 3000)
    assert handle("small") == ("small",)
    handle.close()
    server_lets_go_of_payloads(server.proc.pid)


def test_a_handle_keeps_a_large_buffer_while_its_calls_use_it(serve):
    server = serve("lambda *a: a")
    others = set(payload_files(os.getpid()))  # of handles that other tests left to the collector

    def ours():
        return [f for f in payload_files(os.getpid()) if f not in others]

    with zelvane.open_function(server.name) as handle:
        big = b"b" * (40 << 20)
        assert handle(big) == (big,)
        [(inode, size)] = ours()
        assert size >= len(big)
        with pytest.raises(ValueError):
            handle(big, object())  # refused while encoding: nothing was posted, the buffer stays
        assert ours() == [(inode, size)]
        assert handle(big[: 30 << 20]) == (big[: 30 << 20],)
        assert ours() == [(inode, size)]
        # A call that uses little of it gives it back.
        assert handle(b"s" * 5000) == (b"s" * 5000,)
        assert ours() == []
        assert handle(b"s" * 5000) == (b"s" * 5000,)
        [(_, small)] = ours()
        assert small < 1 << 20
    server_lets_go_of_payloads(server.proc.pid)


FORKING_CALLER = textwrap.dedent("""
    import os, sys, zelvane
    handle = zelvane.open_function(sys.argv[1])
    assert handle(b"before" * 1000) == (b"before" * 1000,)  # the handle now has a buffer
    child = os.fork()
    me = b"child" if child == 0 else b"parent"
    for i in range(40):
        value = me * (500 + 7 * i)
        assert handle(value) == (value,), (me, i)
    if child == 0:
        os._exit(0)
    _, status = os.waitpid(child, 0)
    print("ok" if status == 0 else f"child failed: {status}", flush=True)
""")


def test_parent_and_forked_child_calling_through_one_handle_keep_their_payloads_apart(serve):
    server = serve("lambda *a: a")
    assert finish(spawn_python(FORKING_CALLER, server.name)) == "ok\n"


# A file size limit makes storing a payload fail as a full memory would.
SMALL_FILES = """
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, resource.RLIM_INFINITY))
"""


# Large members of containers have their room asked for before the
# encoding starts, as a large argument of its own does.
@pytest.mark.parametrize("shape", ["{0}", "[{0}]", "{{'k': ({0},)}}", "[[[{0}]]]"])
def test_a_caller_that_cannot_store_its_arguments_raises_memory_error(serve, shape):
    server = serve("lambda *a: len(a)")
    out = finish(spawn_python(SMALL_FILES + textwrap.dedent(f"""
        import zelvane
        handle = zelvane.open_function({server.name!r})
        try:
            handle({shape.format('b"m" * (1 << 20)')})
        except MemoryError as exc:
            print("MemoryError", flush=True)
        print(handle({shape.format('b"m" * 30000')}), flush=True)
    """)))
    assert out == "MemoryError\n1\n"


# Large members anywhere in the arguments (past the first few members, deeper
# than the encoder looks ahead, repeated) travel whole, and come back.
@pytest.mark.parametrize("shape", [
    lambda big: [big, big[:5]],
    lambda big: {"a": {"b": [big]}, "c": "x" * (2 << 20)},
    lambda big: [0] * 9 + [big],
    lambda big: [[[[big]]]],
    lambda big: ([(big,)], bytearray(big)),
    lambda big: [big] * 3,
])
def test_large_members_of_containers_travel_whole_both_ways(serve, shape):
    server = serve("lambda *a: a")
    big = bytes(range(256)) * (5 << 12)  # 5 MiB that tell their places apart
    value = shape(big)
    with zelvane.open_function(server.name) as handle:
        got = handle(value, 1)
        assert got == (value, 1)
        assert zelvane.loads(zelvane.dumps(value)) == value


def test_a_server_that_cannot_store_its_result_keeps_serving(serve):
    server = serve("lambda n: b'r' * n", setup=SMALL_FILES)
    with zelvane.open_function(server.name) as handle:
        with pytest.raises(MemoryError) as info:
            handle(1 << 20)
        assert f"'{server.name}'" in str(info.value)
        assert handle(30000) == b"r" * 30000
        assert handle(7) == b"r" * 7
    assert zelvane.remove_function(server.name) is True
    assert server.finish() == (0, "read\nreturned None\n")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs a second user")
def test_a_server_that_cannot_open_the_callers_buffer_answers_an_error_and_keeps_serving(serve):
    server = serve("lambda x: x * 3 if len(x) < 1000 else len(x)", setup="os.setgid(65534); os.setuid(65534)")
    refused = f"The serving process of '{server.name}' could not open the buffer of this call: Permission denied."
    with zelvane.open_function(server.name) as handle:
        for large in (b"p" * 5000, b"p" * 500):  # large arguments, then a large result
            with pytest.raises(RuntimeError) as info:
                handle(large)
            assert str(info.value) == refused
        assert handle(b"p" * 100) == b"p" * 300
