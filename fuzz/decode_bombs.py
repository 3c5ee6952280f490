"""Structured decode bombs: containers nested level in level, each declaring
as many members as the rest of the input could hold, so that a decoder that
trusts counts allocates for all of them at every level. Used by
fuzz/memory.py and by the tests (which run them under a memory limit)."""
import struct

PROTOCOL_MARKER = {1: 0xFE, 2: 0xFD}
NONE_CODE = {1: 0x0F, 2: 0x10}

# The code of each kind's form with a width byte and that many count bytes.
COUNTED_CODE = {
    2: {"list": 31, "set": 36, "tuple": 41, "dict": 46, "frozenset": 51, "namedtuple": 71,
        "deque": 76, "counter": 81, "ordereddict": 86, "chainmap": 91},
    1: {"list": 28, "set": 32, "tuple": 36, "dict": 40, "frozenset": 44},
}
KINDS = {protocol: sorted(codes) for protocol, codes in COUNTED_CODE.items()}
PAIRED = {"dict", "counter", "ordereddict"}
INVALID_CODE = 0xC8

# What a level puts before its nested member: a None key for the mappings;
# the class name N and field name a (str items) for a named tuple.
LEAD = {"dict": 1, "counter": 1, "ordereddict": 1, "namedtuple": 6}
HEADER = 10  # code, width byte 8, eight count bytes


def _lead(kind, protocol):
    if kind == "namedtuple":
        return b"\x01\x01N\x01\x01a"
    return bytes([NONE_CODE[protocol]]) * LEAD.get(kind, 0)


def bomb(kind, depth, size, protocol=2, ending="filled", share=1.0):
    """`size` bytes: `depth` levels of `kind`, each declaring `share` of the
    members that the bytes after its count could hold, its first member the
    next level. ending "filled" fills the rest with None items (the innermost
    level reads them, an outer one then misses its second member); "invalid"
    puts an invalid code right after the innermost level's head."""
    out = bytearray([PROTOCOL_MARKER[protocol]])
    for _ in range(depth):
        room = size - len(out) - HEADER
        per_member = 2 if kind in PAIRED or kind == "namedtuple" else 1
        count = max(1, int(room * share) // per_member)
        out += bytes([COUNTED_CODE[protocol][kind], 8]) + struct.pack("<Q", count)
        out += _lead(kind, protocol)
    if ending == "invalid":
        out.append(INVALID_CODE)
    if len(out) > size:
        raise ValueError("too deep for the size")
    out += bytes([NONE_CODE[protocol]]) * (size - len(out))
    return bytes(out)


def expected_error(ending):
    """The ValueError text a bomb ends in."""
    if ending == "invalid":
        return ("Likely received an invalid bytes object: fetched an invalid datatype representative. "
                f"(Rep. code: {INVALID_CODE})")
    return "Likely received an invalid bytes object: offset exceeded max limit."
