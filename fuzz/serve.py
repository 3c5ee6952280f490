"""Fuzz harness: the serving side of a hosted function handed an arbitrary
1024-byte message area. It does what the server does before it calls the
callable: a first byte of 0 is the null message; the whole area is decoded
(the value is self-delimiting, the stale tail ignored); an error that is an
ordinary Exception is answered with the no-value encoding, anything else
would end serving; a tuple (a tuple subclass included) is the argument
list."""
import sys

from fuzz_common import DECODE_ERRORS, Fault, canon, codec, run

MESSAGE_SIZE = 1024


def hosted(*args):
    return len(args)


def one_input(data):
    area = data[:MESSAGE_SIZE].ljust(MESSAGE_SIZE, b"\0")
    if area[0] == 0:
        return
    try:
        args = codec.to_value(area)
    except Exception as error:
        # The server survives any Exception, but a decoder that raises
        # anything outside its documented errors is at fault.
        if not isinstance(error, DECODE_ERRORS):
            raise Fault(f"decoding the area raised {error!r}") from error
        return
    try:
        canon(args)
    except RecursionError:
        pass
    if isinstance(args, tuple):
        reply = codec.from_value(hosted(*args))
        if len(reply) > MESSAGE_SIZE:
            raise Fault("the reply does not fit the message area")


if __name__ == "__main__":
    run(one_input, sys.argv)
