"""Hosted functions: serving, calling and stopping across processes."""
import collections
import concurrent.futures
import os
import threading

import pytest

import zelvane

from codec_util import encoded
from conftest import shm_path
from shm_util import (ACTIVITY, AREA, CALL_WORD, ENDED, NULL_REPLY, RECORD_SIZE,
                           RawRecord)

ADD = "lambda a, b: a + b"
ECHO = "lambda *args: list(args)"


def stop(server):
    assert zelvane.remove_function(server.name) is True
    return server.finish()


@pytest.mark.parametrize("args", [(), (1, "a"), (1.5, None, b"\x00x", [1, 2])])
def test_call_passes_the_arguments(serve, args):
    server = serve(ECHO)
    assert zelvane.call_function(server.name, args) == list(args)


def test_named_tuple_arguments_are_spread(serve):
    Pair = collections.namedtuple("Pair", "x y")
    server = serve(ADD)
    assert zelvane.call_function(server.name, (1, 2)) == 3
    assert zelvane.call_function(server.name, Pair("a", "b")) == "ab"


def test_new_record_bytes(serve):
    server = serve(ADD)
    raw = open(shm_path(server.name), "rb").read()
    assert len(raw) == RECORD_SIZE
    # Served, idle, exchange 0; the serving side may have marked itself asleep.
    assert raw[ACTIVITY:CALL_WORD + 3] == bytes([1, 0, 0, 0, 0, 0, 0])
    assert raw[CALL_WORD + 3] & ~0b1000 == 0
    assert raw[AREA:] == bytes(1024)
    zelvane.call_function(server.name, (1, 2))
    raw = open(shm_path(server.name), "rb").read()
    # Idle again, exchange number 1, no flag but the marks of sleepers (bits
    # 26 and 27); the reply (253, 5, 3) is left in the area.
    assert raw[CALL_WORD:CALL_WORD + 3] == bytes([0, 1, 0])
    assert raw[CALL_WORD + 3] & ~0b1100 == 0
    assert raw[AREA:AREA + 3] == bytes([253, 5, 3])


def test_stop_prints_read_at_once_and_unlinks(serve):
    # The server lingers after returning, so the line can only arrive by a flush.
    server = serve(ADD, after="sys.stdin.readline()")
    assert zelvane.remove_function(server.name) is True
    assert server.proc.stdout.readline() == "read\n"
    assert server.proc.stdout.readline() == "returned None\n"
    assert not os.path.exists(shm_path(server.name))
    server.proc.stdin.write("\n")
    server.proc.stdin.flush()
    assert server.finish() == (0, "")


def test_rehosting_after_a_stop(serve, shm_name):
    name = shm_name("again")
    stop(serve(ADD, name=name))
    server = serve("lambda a, b: a * b", name=name)
    assert zelvane.call_function(name, (3, 4)) == 12
    assert stop(server) == (0, "read\nreturned None\n")


def test_existing_names_are_refused(serve, shm_name):
    server = serve(ADD)
    slot = shm_name("slot")
    zelvane.write_memory(slot, 5)
    for name in (server.name, slot):
        with pytest.raises(MemoryError) as info:
            zelvane.create_function(name, print)
        assert str(info.value) == f"The memory address '{name}' already exists."
    assert zelvane.read_memory(slot) == 5
    assert zelvane.call_function(server.name, (1, 2)) == 3


@pytest.mark.parametrize("name", ["", "a/b", "x" * 300])
def test_invalid_names_are_refused(name):
    with pytest.raises(MemoryError) as info:
        zelvane.create_function(name, print)
    assert str(info.value) == f"Failed to create memory address '{name}'."


class Args(tuple):
    pass


@pytest.mark.parametrize("args", [(), (1, 2), Args()])
def test_missing_names(shm_name, args):
    name = shm_name("none")
    with pytest.raises(MemoryError, match=r"^Failed to open the shared memory\.$"):
        zelvane.call_function(name, args)
    assert zelvane.remove_function(name) is False


def _args_of_size(name, size):
    """A one-bytes-object argument tuple whose encoding is `size` bytes."""
    for n in range(size, 0, -1):
        if len(encoded(name, (b"x" * n,))) == size:
            return (b"x" * n,)
    raise AssertionError(size)


def test_argument_size_limit(serve, shm_name):
    server = serve("lambda data: len(data)")
    probe = shm_name("probe")
    fits = _args_of_size(probe, 1024)
    assert zelvane.call_function(server.name, fits) == len(fits[0])
    with pytest.raises(ValueError) as info:
        zelvane.call_function(server.name, _args_of_size(probe, 1025))
    assert str(info.value) == "The received args exceed the maximum accepted arg size of 1024 bytes."
    assert zelvane.call_function(server.name, (b"ab",)) == 2


@pytest.mark.parametrize("func, error", [
    ("lambda: 'x' * 2000",
     "ValueError The returned value exceeds the maximum accepted return size of 1024 bytes."),
    ("lambda: 1 // 0", "ZeroDivisionError integer division or modulo by zero"),
    ("lambda: object()", "ValueError Received an unsupported datatype."),
])
def test_failures_end_serving(serve, func, error):
    server = serve(func)
    with pytest.raises(RuntimeError) as info:
        zelvane.call_function(server.name, ())
    assert str(info.value) == NULL_REPLY
    code, out = server.finish()
    assert (code, out) == (3, f"raised {error}\n")
    assert not os.path.exists(shm_path(server.name))
    with pytest.raises(MemoryError, match="Failed to open the shared memory"):
        zelvane.call_function(server.name, ())


@pytest.mark.parametrize("area", [
    bytes([253, 5, 7]),          # an int, not a tuple
    bytes([253, 103]),           # the no-value encoding, which does not decode
    bytes([253, 200, 1, 2]),     # an unknown type code
    bytes([7, 1, 2]),            # no protocol marker
])
def test_area_without_an_argument_tuple_gets_the_no_value_reply(serve, area):
    server = serve(ADD)
    record = RawRecord(server.name)
    try:
        number = record.post(area)
        assert record.collect(number)[:2] == bytes([253, 103])
    finally:
        record.close()
    assert zelvane.call_function(server.name, (2, 3)) == 5


def test_protocol1_arguments_are_read(serve, shm_name):
    server = serve(ECHO)
    record = RawRecord(server.name)
    try:
        # (1, 'ab') under the older protocol; the reply is written in the current one.
        number = record.post(bytes.fromhex("fe 22 02 04 01 01 02 61 62"))
        reply = record.collect(number)
    finally:
        record.close()
    assert reply[:9] == encoded(shm_name("reply"), [1, "ab"])


def test_null_request_ends_serving(serve):
    server = serve(ADD)
    record = RawRecord(server.name)
    try:
        number = record.post(b"\x00")
        assert record.collect(number)[0] == 0
        assert record.word() & ENDED
    finally:
        record.close()
    assert server.finish() == (3, "raised RuntimeError Received a NULL message from the caller. "
                                  "This is likely because the caller sent arguments of too large size.\n")


@pytest.mark.parametrize("size", [0, 64, 1120, 2000])
def test_value_slots_are_left_alone(shm_name, size):
    name = shm_name("slot")
    assert zelvane.create_memory(name, size) is True
    zelvane.write_memory(name, "kept")
    before = open(shm_path(name), "rb").read()
    assert zelvane.remove_function(name) is False
    with pytest.raises(MemoryError) as info:
        zelvane.call_function(name, (1,))
    assert str(info.value) == f"The shared memory address '{name}' does not hold a hosted function."
    assert open(shm_path(name), "rb").read() == before
    assert zelvane.read_memory(name) == "kept"


def test_a_callable_calling_its_own_name_gets_an_error(serve):
    server = serve("lambda: zelvane.call_function(NAME, ())")
    # The callable's RuntimeError ends serving: the message names the function.
    with pytest.raises(RuntimeError, match="NULL message"):
        zelvane.call_function(server.name, ())
    code, out = server.finish()
    assert code == 3
    assert out == (f"raised RuntimeError The function '{server.name}' is served by this thread: "
                   "calling it from its own callable would wait for itself for ever.\n")


def test_a_callable_may_call_another_served_function_and_stop_its_own(serve, shm_name):
    inner = serve(ADD)
    outer = serve(f"lambda: (zelvane.call_function({inner.name!r}, (2, 2)), "
                  "zelvane.remove_function(NAME))")
    assert zelvane.call_function(outer.name, ()) == (4, True)
    assert outer.finish() == (0, "read\nreturned None\n")


def test_another_thread_of_the_server_stops_it(serve, tmp_path):
    # The thread can only run while create_function waits without the GIL.
    flag = tmp_path / "stop"
    setup = f"""
def stopper():
    while not os.path.exists({str(flag)!r}):
        time.sleep(0.01)
    zelvane.remove_function(NAME)
threading.Thread(target=stopper).start()
"""
    server = serve(ADD, setup=setup)
    flag.touch()
    assert server.finish() == (0, "read\nreturned None\n")


def test_the_caller_releases_the_gil_while_it_waits(serve, tmp_path):
    flag = tmp_path / "flag"
    # The callable returns only once a thread of the calling process has run.
    server = serve(f"lambda: [time.sleep(0.01) for _ in iter(lambda: os.path.exists({str(flag)!r}), True)] and 'done'")
    threading.Timer(0.2, flag.touch).start()
    assert zelvane.call_function(server.name, ()) == "done"


def test_threads_of_one_process_call_at_the_same_time(serve):
    server = serve(ADD)

    def calls(k):
        return [zelvane.call_function(server.name, (k, i)) for i in range(50)]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(calls, range(4), timeout=120))
    assert results == [[k + i for i in range(50)] for k in range(4)]


def test_slot_operations_leave_a_served_record_alone(serve):
    server = serve(ADD)
    before = open(shm_path(server.name), "rb").read()
    with pytest.raises(MemoryError):
        zelvane.read_memory(server.name)
    with pytest.raises(MemoryError):
        zelvane.write_memory(server.name, "x" * 2000)
    assert open(shm_path(server.name), "rb").read() == before
    assert zelvane.call_function(server.name, (1, 2)) == 3
