"""Fuzz harness: whatever decodes is encoded again, and every value the
encoder writes must decode back to the same value and encode to the same
bytes (sets may list their members in another order)."""
import sys

from fuzz_common import ENCODE_ERRORS, Fault, canon, codec, decode, run, with_marker


def one_input(data):
    value, ok = decode(with_marker(data))
    if not ok:
        return
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
