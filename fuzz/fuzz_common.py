"""What the fuzz harnesses share: the codec module under test, the errors a
decoder may raise on hostile input, a canonical form of decoded values for
comparisons, and a driver (atheris when installed, otherwise a plain random
mutator over the seed corpus, so that a machine without atheris still runs
every harness)."""
import collections
import datetime as dt
import decimal
import os
import pathlib
import random
import struct
import sys
import uuid

import zelvane_bench as codec

# Malformed input is reported as ValueError (UnicodeDecodeError included),
# TypeError (an unhashable key or member), RuntimeError (a rebuild that
# failed; RecursionError for hostile nesting) or OverflowError (a timedelta
# out of range). MemoryError, SystemError and anything else is a fault.
DECODE_ERRORS = (ValueError, TypeError, RuntimeError, OverflowError)

# A decoded value may be one the encoder refuses: a Counter with counts that
# are not ints, containers nested deeper than the encoder's limit.
ENCODE_ERRORS = (ValueError,)

# Sets are compared through the text of their members' canonical forms,
# which may hold ints of any size.
if hasattr(sys, "set_int_max_str_digits"):
    sys.set_int_max_str_digits(0)

PROTOCOL_2 = 0xFD
PROTOCOL_1 = 0xFE


def with_marker(data):
    """Splits a fuzz input into the bytes to decode: an even first byte keeps
    the rest as it is, an odd one puts a protocol marker in front of it, so
    that mutations are spent on items rather than on finding a marker."""
    if not data:
        return data
    selector, rest = data[0], data[1:]
    if selector & 1 == 0:
        return rest
    return bytes([PROTOCOL_1 if selector & 2 else PROTOCOL_2]) + rest


def decode(data):
    """The decoded value, or None after an error a decoder may raise."""
    try:
        return codec.to_value(data), True
    except DECODE_ERRORS:
        return None, False


def canon(value, kinds=None):
    """A form of `value` that compares equal exactly when two decoded values
    are the same: floats by their bits (NaN included), kinds exact, sets
    without their iteration order, named tuples by class name and fields.
    `kinds` collects the kinds seen."""
    kind = type(value)
    if kinds is not None:
        kinds.add(kind)
    if kind is float:
        return ("float", struct.pack("<d", value))
    if kind is complex:
        return ("complex", struct.pack("<dd", value.real, value.imag))
    if kind in (int, bool, str, bytes, type(None), type(...)):
        return (kind.__name__, value)
    if kind is bytearray:
        return ("bytearray", bytes(value))
    if isinstance(value, tuple) and hasattr(kind, "_fields"):
        return ("namedtuple", kind.__name__, value._fields, tuple(canon(v, kinds) for v in value))
    if kind in (list, tuple, collections.deque):
        return (kind.__name__, tuple(canon(v, kinds) for v in value))
    if kind in (set, frozenset):
        return (kind.__name__, tuple(sorted((canon(v, kinds) for v in value), key=repr)))
    if kind is collections.Counter:
        # Counts travel as ints: a count of True comes back as 1.
        return ("Counter", tuple((canon(k, kinds), canon(int(v) if isinstance(v, int) else v, kinds))
                                 for k, v in value.items()))
    if kind in (dict, collections.OrderedDict):
        return (kind.__name__, tuple((canon(k, kinds), canon(v, kinds)) for k, v in value.items()))
    if kind is collections.ChainMap:
        return ("ChainMap", tuple(canon(m, kinds) for m in value.maps))
    if kind is memoryview:
        return ("memoryview", value.tobytes(), value.format, value.readonly)
    if kind in (dt.datetime, dt.date, dt.time):
        return (kind.__name__, value.isoformat())
    if kind is dt.timedelta:
        return ("timedelta", value.days, value.seconds, value.microseconds)
    if kind is uuid.UUID:
        return ("UUID", value.hex)
    if kind is decimal.Decimal:
        return ("Decimal", str(value))
    if kind is range:
        return ("range", value.start, value.stop, value.step)
    if isinstance(value, pathlib.PurePath):
        return (kind.__name__, str(value))
    return ("other", kind.__name__, repr(value))


class Fault(AssertionError):
    """A finding: the harness stops the run and keeps the input."""


def run(one_input, argv=None):
    argv = list(sys.argv if argv is None else argv)
    try:
        import atheris
    except ImportError:
        atheris = None
    if atheris is None or os.environ.get("ZELVANE_FUZZ_PLAIN"):
        sys.exit(plain_fuzz(one_input, argv))
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


def _option(argv, name, default):
    for arg in argv:
        if arg.startswith(f"-{name}="):
            return int(arg.split("=", 1)[1])
    return default


def _mutate(rng, data, seeds, max_len):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        choice = rng.randrange(6)
        pos = rng.randrange(len(data) + 1)
        if choice == 0 and data:
            data[min(pos, len(data) - 1)] = rng.randrange(256)
        elif choice == 1:
            data[pos:pos] = bytes([rng.choice((0, 1, 0x7F, 0x80, 0xFF, rng.randrange(256)))])
        elif choice == 2 and data:
            del data[pos:pos + rng.randint(1, 8)]
        elif choice == 3 and seeds:
            other = rng.choice(seeds)
            start = rng.randrange(len(other) + 1)
            data[pos:pos] = other[start:start + rng.randint(1, 32)]
        elif choice == 4 and data:
            # A size or count field set to an extreme.
            data[min(pos, len(data) - 1)] = rng.choice((0, 0xFF, 3, 8, 9))
        elif choice == 5 and len(data) > 1:
            data[min(pos, len(data) - 2)] ^= 1 << rng.randrange(8)
    return bytes(data[:max_len])


def plain_fuzz(one_input, argv):
    """Random mutation of the seed corpus, for machines without atheris:
    no coverage feedback, but the same checks. Returns the exit status."""
    runs = _option(argv, "runs", 20000)
    max_len = _option(argv, "max_len", 4096)
    seed = _option(argv, "seed", 1)
    rng = random.Random(seed)
    seeds = []
    for arg in argv[1:]:
        if arg.startswith("-") or not os.path.isdir(arg):
            continue
        for name in sorted(os.listdir(arg)):
            with open(os.path.join(arg, name), "rb") as f:
                seeds.append(f.read())
    seeds = seeds or [b""]
    for i in range(runs):
        base = rng.choice(seeds)
        data = base if i < len(seeds) else _mutate(rng, base, seeds, max_len)
        try:
            one_input(data)
        except BaseException:
            path = f"crash-plain-{seed}-{i}"
            with open(path, "wb") as f:
                f.write(data)
            print(f"fault on input {data!r} (kept in {path})", file=sys.stderr)
            raise
    print(f"Done {runs} runs (plain mutator, seed {seed})", file=sys.stderr)
    return 0
