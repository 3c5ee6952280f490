"""Top-level bytes, bytearray, contiguous memoryview and str values are copied
once, straight into the slot: the same bytes as the codec writes, the
torn-write rule kept, and the value held still while the write waits. Large
bytes and bytearray values are read back the way the codec reads them."""
import array
import os
import concurrent.futures
import threading

import pytest

import zelvane

from codec_util import MARKER, OFFSET, exactly
from conftest import CHILD_PRELUDE, RawSlot, run_python, shm_path
from shm_util import SlotMutex
from test_mapping_cache import FUTEX_SYSCALL, blocked_on_slot, wait_until

pytestmark = pytest.mark.timeout(120)

LIST_OF_ONE = bytes([0xFD, 29, 1])  # a list of one member, as the codec frames it

KINDS = {
    "bytes": lambda n: bytes(range(256)) * (n // 256) + bytes(n % 256),
    "bytearray": lambda n: bytearray(b"\x07" * n),
    "memoryview": lambda n: memoryview(b"\x09" * n),
    "memoryview-array": lambda n: memoryview(array.array("B", b"\x0b" * n)),
    "str-ascii": lambda n: "a" * n,
    "str-utf8": lambda n: "\u00e9" * (n // 2) + "z" * (n % 2),
}


def stored(name, value):
    """The encoded bytes of `value` in the fresh slot `name`."""
    zelvane.remove_memory(name)
    assert zelvane.write_memory(name, value) is True
    raw = RawSlot(name)
    return raw.payload()[:raw.max_size() - 32]


# Sizes at each change of size form: empty, one byte, two bytes, three and four.
@pytest.mark.parametrize("size", [0, 1, 255, 256, 65535, 65536, 1 << 24])
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_same_bytes_as_the_codec_writes(shm_name, kind, size):
    name = shm_name("frame")
    value = KINDS[kind](size)
    # As a list member the value goes through the codec.
    member = stored(name, [value])
    assert member[:3] == LIST_OF_ONE
    direct = stored(name, value)
    assert direct == b"\xfd" + member[3:]
    assert zelvane.read_memory(name) == (bytes(value) if kind.startswith("memoryview") else value)


# A write whose source stops being readable half-way (the file under a
# mapping was cut short) dies in the copy, after byte 0 was cleared.
KILLED_MID_COPY = CHILD_PRELUDE + """
import mmap, os, sys, tempfile, zelvane
name = sys.argv[1]
with tempfile.TemporaryFile() as f:
    f.truncate(8 << 20)
    source = mmap.mmap(f.fileno(), 8 << 20)
    source[:] = b"\\x5a" * (8 << 20)
    f.truncate(1 << 20)
    print("writing", flush=True)
    zelvane.write_memory(name, memoryview(source))
print("survived", flush=True)
"""


def test_a_writer_killed_mid_copy_leaves_byte_zero_marked(shm_name):
    name = shm_name("torn")
    zelvane.write_memory(name, b"\x01" * (16 << 20))  # room enough: no growth
    proc = run_python(KILLED_MID_COPY.replace("sys.argv[1]", repr(name)))
    # Killed by SIGBUS (a sanitizer build catches it and exits instead).
    assert proc.stdout == "writing\n" and proc.returncode != 0, (proc.returncode, proc.stderr)
    payload = RawSlot(name).payload()
    assert payload[0] == 0xFF  # no protocol marker, nor the zero of a slot never written
    assert payload[1:1 << 20] != b"\x01" * ((1 << 20) - 1)  # the copy had begun
    with pytest.raises(ValueError, match=exactly(MARKER)):
        zelvane.read_memory(name)
    with zelvane.open_memory(name, create=False) as handle:
        with pytest.raises(zelvane.InterruptedWriteError, match="interrupted by a process that died"):
            handle.read()
        assert handle.update(lambda value: [value]) == [None]


# While a write waits for the slot's mutex (the GIL let go), its value can be
# neither resized nor released: the bytes it copies stay where they are.
@pytest.mark.skipif(FUTEX_SYSCALL is None, reason="futex system call number unknown here")
@pytest.mark.parametrize("make, change", [
    (lambda: bytearray(b"q" * 100_000), lambda v: v.extend(b"r" * 10_000_000)),
    (lambda: memoryview(bytearray(b"q" * 100_000)), lambda v: v.release()),
], ids=["bytearray-resized", "view-released"])
def test_value_held_still_while_the_write_waits(shm_name, make, change):
    name = shm_name("held")
    zelvane.write_memory(name, "before")
    value, tids = make(), []

    def write():
        tids.append(threading.get_native_id())
        return zelvane.write_memory(name, value)
    mutex = SlotMutex(name)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        assert mutex.lock() == 0
        try:
            pending = pool.submit(write)
            wait_until(lambda: tids and blocked_on_slot(tids[0], name), what="the write to wait")
            with pytest.raises(BufferError):
                change(value)
        finally:
            assert mutex.unlock() == 0
            mutex.close()
        assert pending.result(timeout=60) is True
    assert bytes(zelvane.read_memory(name)) == b"q" * 100_000
    change(value)  # allowed again once the write is done


MIB = 1 << 20


def frame(code, size, width=None):
    """A top-level frame: the dynamic-1 form with `width` size bytes, or the
    two-byte form when `width` is None."""
    if width is None:
        return bytes([0xFD, code]) + size.to_bytes(2, "little")
    return bytes([0xFD, code, width]) + size.to_bytes(width, "little")


# Frames the encoder does not write (a wider size than needed) read as the
# codec reads them, and so do frames that run past the payload.
@pytest.mark.parametrize("head, body, expected", [
    (frame(21, MIB, 8), b"\x33" * MIB, b"\x33" * MIB),
    (frame(26, MIB + 1, 3), b"\x44" * (MIB + 1), bytearray(b"\x44" * (MIB + 1))),
    (frame(21, 3 * MIB, 3), b"\x55" * MIB, OFFSET),
    (frame(21, 1 << 62, 8), b"\x55" * MIB, OFFSET),
    (frame(20, 65535), b"\x66" * 65535, b"\x66" * 65535),
    # Values of 32 MiB and more are read into memory that asks for huge pages.
    (frame(21, 40 * MIB, 4), b"\x77" * (40 * MIB), b"\x77" * (40 * MIB)),
    (frame(26, 33 * MIB + 5, 4), b"\x78" * (33 * MIB + 5), bytearray(b"\x78" * (33 * MIB + 5))),
    (bytes([0xFD, 0x1D, 1, 21, 4]) + (40 * MIB).to_bytes(4, "little"), b"\x79" * (40 * MIB),
     [b"\x79" * (40 * MIB)]),
], ids=["bytes-wide-size", "bytearray", "past-the-end", "huge-size", "small", "bytes-40MiB",
        "bytearray-33MiB", "in-a-list-40MiB"])
def test_large_binary_reads_as_the_codec_reads(shm_name, head, body, expected):
    name = shm_name("big")
    zelvane.create_memory(name)
    RawSlot(name).write_payload(head + body)
    if expected == OFFSET:
        with pytest.raises(ValueError, match=exactly(OFFSET)):
            zelvane.read_memory(name)
    else:
        value = zelvane.read_memory(name)
        assert type(value) is type(expected) and value == expected


@pytest.mark.parametrize("through", ["functions", "handle"])
def test_a_large_write_gives_pages_to_the_bytes_written_only(shm_name, through):
    name = shm_name("sparse")
    assert zelvane.create_memory(name, 1 << 40) is True
    value = b"\x77" * (4 * MIB)
    if through == "handle":
        with zelvane.open_memory(name) as handle:
            assert handle.write(value) is True
            assert handle.read() == value
    else:
        assert zelvane.write_memory(name, value) is True
        assert zelvane.read_memory(name) == value
    allocated = os.stat(shm_path(name)).st_blocks * 512
    assert 4 * MIB <= allocated <= 4 * MIB + (64 << 10)


def patterned(kind, size):
    """`size` bytes whose content changes along the value and across pages,
    so that a copy placed or cut wrongly reads back different."""
    return kind((bytes(range(251)) * (size // 251 + 1))[:size])


# From 32 MiB on a decoded value has a mapping of its own, whose pages are
# given their memory before the copy; below it the copy is left alone.
BOUNDARY_SIZES = [32 * MIB - 1, 32 * MIB, 32 * MIB + 4097]


@pytest.mark.parametrize("size", BOUNDARY_SIZES)
@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_large_binary_values_read_back_whole_around_the_own_mapping_size(shm_name, kind, size):
    value = patterned(kind, size)
    decoded = zelvane.loads(zelvane.dumps(value))
    assert type(decoded) is kind and decoded == value
    name = shm_name("edge")
    with zelvane.open_memory(name) as handle:
        assert handle.write(value) is True
        for read in (handle.read(), zelvane.read_memory(name)):
            assert type(read) is kind and read == value


@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_large_binary_results_of_a_call_read_back_whole_around_the_own_mapping_size(serve, kind):
    server = serve("lambda *a: a")
    with zelvane.open_function(server.name) as handle:
        for size in BOUNDARY_SIZES:
            value = patterned(kind, size)
            (result,) = handle(value)
            assert type(result) is kind and result == value
