"""Helpers to see the exact bytes the codec writes and to feed it chosen bytes,
through a real slot."""
import zelvane

from conftest import HEADER_SIZE, RawSlot


def encoded(name, value):
    """The encoded bytes of `value` as written to the slot `name`.

    The slot is created fresh, so its capacity is exactly the encoded length
    plus 32 bytes of zeros."""
    zelvane.remove_memory(name)
    zelvane.write_memory(name, value)
    raw = RawSlot(name)
    payload = raw.payload()
    return payload[: raw.max_size() - 32]


def decode(name, data):
    """Reads back a slot whose payload is exactly `data`."""
    zelvane.remove_memory(name)
    zelvane.create_memory(name, len(data))
    RawSlot(name).write_payload(data)
    return zelvane.read_memory(name)
