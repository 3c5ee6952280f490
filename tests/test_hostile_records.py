"""Records another process has scribbled over: the header, the payload, the
call word and the message area. A reader fails cleanly and never crashes;
scribbling that runs while a value is read changes nothing either."""
import mmap
import os
import struct
import textwrap

import pytest

import zelvane

from codec_util import read_or_fail_cleanly
from conftest import HEADER_SIZE, RawSlot, finish, shm_path, spawn_python
from shm_util import AREA, AREA_SIZE, RawRecord


NOT_A_SLOT = "The shared memory address '{}' does not hold a value slot."


@pytest.mark.parametrize("max_size", [2**64 - 1, 2**63, 1 << 40])
def test_a_capacity_beyond_the_object_is_refused(shm_name, max_size):
    name = shm_name()
    zelvane.write_memory(name, "value")
    with open(shm_path(name), "r+b") as f:
        f.write(struct.pack("<Q", max_size))
    with pytest.raises(MemoryError) as info:
        zelvane.read_memory(name)
    assert str(info.value) == NOT_A_SLOT.format(name)


def test_a_capacity_shrunk_by_another_process_reads_no_further(shm_name):
    name = shm_name()
    zelvane.write_memory(name, "x" * 500)
    for max_size in (1, 3, 100):
        with open(shm_path(name), "r+b") as f:
            f.write(struct.pack("<Q", max_size))
        with pytest.raises(ValueError):
            zelvane.read_memory(name)
    # A write stores its value whatever the header said.
    zelvane.write_memory(name, "after")
    assert zelvane.read_memory(name) == "after"


SCRIBBLER = textwrap.dedent("""
    import mmap, os, random, struct, sys, time
    path, offset, length, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    with open(path, "r+b") as f:
        mm = mmap.mmap(f.fileno(), offset + length)
    rng = random.Random(1)
    print("scribbling", flush=True)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        at = offset + rng.randrange(length)
        mm[at] = rng.randrange(256)
""")


@pytest.mark.timeout(120)
@pytest.mark.parametrize("target", ["payload", "capacity"])
def test_scribbling_while_values_are_read_never_crashes(shm_name, target):
    name = shm_name()
    value = {"list": list(range(200)), "text": "abc" * 50, "nested": [[1.5, None], {"k": b"v"}]}
    zelvane.write_memory(name, value)
    # The capacity's low bytes only: the mutex beside it is left alone.
    offset, length = (HEADER_SIZE, RawSlot(name).size() - HEADER_SIZE) if target == "payload" else (0, 2)
    scribbler = spawn_python(SCRIBBLER, shm_path(name), str(offset), str(length), "5")
    try:
        assert scribbler.stdout.readline().strip() == "scribbling"
        reads = 0
        while scribbler.poll() is None:
            read_or_fail_cleanly(name)
            reads += 1
        assert reads > 0
    finally:
        finish(scribbler)


@pytest.mark.timeout(60)
def test_an_unknown_call_state_is_reclaimed(serve):
    server = serve("lambda a, b: a + b")
    assert zelvane.call_function(server.name, (1, 2)) == 3
    record = RawRecord(server.name)
    try:
        with record.locked():
            record.set_word((record.word() & ~0xFF) | 0x7F)
    finally:
        record.close()
    # Nothing of ours writes that state; after a second a caller takes over.
    assert zelvane.call_function(server.name, (2, 3)) == 5


@pytest.mark.timeout(60)
def test_a_scribbled_idle_message_area_is_overwritten_by_the_next_call(serve):
    server = serve("lambda *args: args")
    with open(shm_path(server.name), "r+b") as f:
        mm = mmap.mmap(f.fileno(), 0)
        try:
            # Its head stays one our messages begin with: a record whose area
            # begins otherwise is not recognised as ours at all.
            mm[AREA:AREA + AREA_SIZE] = b"\xfd" + os.urandom(AREA_SIZE - 1)
        finally:
            mm.close()
    assert zelvane.call_function(server.name, ("a", 1)) == ("a", 1)
