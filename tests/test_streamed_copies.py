"""Copies of 16 MiB and more go around the caches, in pieces: every byte
arrives in its place whatever the sizes and alignments of source and
destination, through every path a large value takes."""
import pytest
import zelvane

from conftest import TIMEOUT

pytestmark = pytest.mark.timeout(300)

MIB = 1 << 20
# A period no piece or vector width divides: a byte out of place shows.
PATTERN = bytes(range(251))
SIZES = [16 * MIB - 1, 16 * MIB, 16 * MIB + 67, 18 * MIB + 13]
# Where the value starts inside the buffer that holds it.
OFFSETS = [0, 1, 15, 33]


def patterned(size, offset):
    """A memoryview of `size` patterned bytes, `offset` bytes into its buffer."""
    whole = bytearray((PATTERN * ((size + offset) // len(PATTERN) + 1))[:size + offset])
    whole[offset::4099] = b"\xff" * len(whole[offset::4099])  # marks that a shifted copy would misplace
    return memoryview(whole)[offset:]


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("offset", OFFSETS)
def test_slot_writes_and_reads_are_exact(shm_name, size, offset):
    name = shm_name("streamed")
    value = patterned(size, offset)
    try:
        zelvane.write_memory(name, value)
        assert zelvane.read_memory(name) == value
        with zelvane.open_memory(name) as slot:
            slot.write([b"head", value, b"tail"])
            assert slot.read() == [b"head", value, b"tail"]
    finally:
        zelvane.remove_memory(name)


@pytest.mark.parametrize("size", SIZES)
def test_encodings_and_decodings_are_exact(size):
    value = patterned(size, 7)
    assert zelvane.loads(zelvane.dumps(value)) == value
    assert zelvane.loads(zelvane.dumps({"x": value, "y": [value]})) == {"x": value, "y": [value]}


def test_calls_and_queue_items_are_exact(serve, shm_name):
    server = serve("lambda x: x")
    values = [patterned(size, offset) for size, offset in zip(SIZES, OFFSETS)]
    with zelvane.open_function(server.name, wait=TIMEOUT) as echo:
        for value in values:
            assert echo(value) == value
    with zelvane.open_queue(shm_name("streamed_q"), temporary=True) as queue:
        for value in values:
            queue.put(value)
        for value in values:
            assert queue.get(timeout=TIMEOUT) == value
