"""Fuzz harness: whatever decodes is encoded again, and every value the
encoder writes must decode back to the same value and encode to the same
bytes (sets may list their members in another order)."""
import sys

from fuzz_common import ENCODE_ERRORS, Fault, canon, codec, decode, run, with_marker


# Inputs short enough to fuzz never reach the widest size form; inputs whose
# first byte is F1 (a marked protocol-2 input, one in 256) also round-trip
# their value repeated past 65535 members or bytes.
WIDE = 65536


FLAT = (str, bytes, bytearray)


def small(member):
    """Whether 65536 copies of `member` stay cheap to encode and decode."""
    kind = type(member)
    if kind is int:
        return member.bit_length() <= 64
    if kind in (str, bytes):
        return len(member) <= 8
    return kind in (float, bool, type(None))


def widened(value):
    kind = type(value)
    if not value or kind not in FLAT and (kind not in (list, tuple) or not all(map(small, value))):
        return None
    return value * (WIDE // len(value) + 1)


def one_input(data):
    value, ok = decode(with_marker(data))
    if not ok:
        return
    round_trip(value)
    if data[0] == 0xF1 and (wide := widened(value)) is not None:
        round_trip_wide(wide)


def round_trip_wide(value):
    """The same checks, on the bytes alone: walking 65536 members in Python
    would slow the fuzzer down for little gain."""
    first = codec.from_value(value)
    back = codec.to_value(first)
    if type(back) is not type(value) or len(back) != len(value) or codec.from_value(back) != first:
        raise Fault(f"a {type(value).__name__} of {len(value)} does not survive a round trip")


def round_trip(value):
    try:
        first = codec.from_value(value)
    except ENCODE_ERRORS:
        return
    back = codec.to_value(first)
    kinds = set()
    try:
        wanted = canon(value, kinds)
        got = canon(back)
    except RecursionError:
        return
    if got != wanted:
        raise Fault(f"{first!r} decodes to {got!r}, not {wanted!r}")
    again = codec.from_value(back)
    if again == first:
        return
    if not kinds & {set, frozenset} or canon(codec.to_value(again)) != wanted:
        raise Fault(f"{first!r} encodes again as {again!r}")


if __name__ == "__main__":
    run(one_input, sys.argv)
