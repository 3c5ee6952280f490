"""Fuzz harness: decoding arbitrary bytes under both protocol markers. Only
the decoder's documented errors may escape; the decoded value is walked so
that a member freed too early shows under the address sanitizer."""
import sys

from fuzz_common import DECODE_ERRORS, canon, codec, run, with_marker


def one_input(data):
    try:
        value = codec.to_value(with_marker(data))
    except DECODE_ERRORS:
        return
    try:
        canon(value)
    except RecursionError:
        pass


if __name__ == "__main__":
    run(one_input, sys.argv)
