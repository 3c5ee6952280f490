"""Fuzz harness: decoding arbitrary bytes under both protocol markers. Only
the decoder's documented errors may escape; the decoded value is walked so
that a member freed too early shows under the address sanitizer. A value is
self-delimiting: bytes after it (the stale tail of a message area) must not
change what decodes."""
import sys

from fuzz_common import DECODE_ERRORS, Fault, canon, codec, run, with_marker

TAIL = bytes(range(0xF0, 0x100)) * 2


def one_input(data):
    payload = with_marker(data)
    try:
        value = codec.to_value(payload)
    except DECODE_ERRORS:
        return
    try:
        wanted = canon(value)
    except RecursionError:
        return
    try:
        got = canon(codec.to_value(payload + TAIL))
    except RecursionError:
        return
    if got != wanted:
        raise Fault(f"trailing bytes changed {wanted!r} into {got!r}")


if __name__ == "__main__":
    run(one_input, sys.argv)
