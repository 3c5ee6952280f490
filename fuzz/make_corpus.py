"""Writes the seed corpora of the fuzz harnesses (fuzz/corpus/<harness>/):
the format's worked byte strings, both protocols, and the encodings of one
value of every supported kind. Run with zelvane_bench importable."""
import collections
import datetime as dt
import decimal
import os
import pathlib
import shutil
import uuid

import zelvane_bench

HERE = os.path.dirname(os.path.abspath(__file__))

# Byte strings as the format defines them, markers included.
WORKED = """
FD 1D 02 05 01 01 02 61 62
FD 27 01 10
FD 22 01 01 01 78
FD 4A 02 05 07 05 08
FD 45 02 01 05 50 6F 69 6E 74 01 01 78 05 01 01 01 79 05 02
FD 44 01 05 45 6D 70 74 79
FD 2C 01 01 01 61 10
FD 2C 01 05 01 27 01 05 02
FD 4F 01 01 01 61 05 02
FD 54 01 01 01 6B 1C
FD 59 01 2C 01 01 01 61 05 01
FD 37 0A 32 30 32 34 2D 30 31 2D 33 31
FD 38 08 31 32 3A 33 30 3A 30 30
FD 36 FF FF FF FF 7F 51 01 00 3F 42 0F 00
FD 39 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 31
FD 3F 03 31 2E 35
FD 3B 02 61 62
FD 43 05 00 05 0A 05 02
FD 5E 04 2F 74 6D 70
FD 63 01 61
FD 04 01 01 03 61 62 63
FD 20 01 01 02 10 10
FD 0A 06 00 00 00 00 80 00
FD 0F 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 00 40
FD 18 02 01 02
FD 10 FF FF
FD 67
FE 1A 02 04 01 01 02 61 62
FE 26 02 01 01 61 04 01 01 01 61 04 02
FE 1E 01 04 01
FE 22 02 0C 0D
FE 09 06 00 00 00 00 00 01
FE 0B 00 00 00 00 00 00 F0 3F
FE 2F 0A 32 30 32 34 2D 30 31 2D 33 31
FE 36 03 31 2E 35
FE 1A 02 32 04 07
FE 03 00
"""

Point = collections.namedtuple("Point", "x y")


def values():
    aware = dt.datetime(2024, 1, 31, 23, 59, 59, 999999,
                        tzinfo=dt.timezone(-dt.timedelta(hours=23, minutes=59, seconds=59, microseconds=999999)))
    return [
        0, -129, 2 ** 39, -2 ** 39, 2 ** 2039, 1.5, float("nan"), -0.0, 1 + 2j, True, None, ...,
        "", "abc", "é" * 200, b"\x00\xff", bytearray(b"ab"),
        [1, [2, [3, []]]], (None, (1,)), {1, "x", (2, 3)}, frozenset({frozenset()}),
        collections.deque([7, 8]), Point(1, Point("a", [])),
        {"a": 1.5, 2: (3,), frozenset({1}): None}, collections.OrderedDict(k=[]),
        collections.Counter(a=2, b=-1), collections.ChainMap({"a": 1}, collections.OrderedDict(b=2)),
        aware, dt.date(2024, 1, 31), dt.time(12, 30, 0, 5), dt.timedelta(days=-999999999),
        uuid.UUID(int=1), decimal.Decimal("-Infinity"), decimal.Decimal("1.50"),
        memoryview(b"ab"), range(10, 0, -3), pathlib.Path("/tmp"), pathlib.PurePath("a/b"),
    ]


def seeds():
    found = [bytes.fromhex(line) for line in WORKED.strip().splitlines()]
    return found + [zelvane_bench.from_value(v) for v in values()]


def write(harness, items):
    folder = os.path.join(HERE, "corpus", harness)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for i, data in enumerate(items):
        with open(os.path.join(folder, f"seed-{i:03d}"), "wb") as f:
            f.write(data)


def with_selector(data):
    """The form the decoding harnesses read: an odd first byte puts the
    marker back, an even one keeps the bytes as they are."""
    if data[:1] == b"\xfd":
        return b"\x01" + data[1:]
    if data[:1] == b"\xfe":
        return b"\x03" + data[1:]
    return b"\x00" + data


def main():
    found = seeds()
    marked = [with_selector(s) for s in found]
    write("decode", marked + [b"\x00" + found[0], b"\x00", b"\x01"])
    write("roundtrip", marked)
    # Requests: argument tuples, some followed by the tail of a longer one.
    args = [zelvane_bench.from_value(tuple(v for v in values()[i:i + 3])) for i in range(0, 36, 3)]
    args = [a for a in args if len(a) <= 1024]
    stale = [a + found[i][1:] for i, a in enumerate(args[:6])]
    write("serve", args + stale + [s for s in found if s[1:2] == b"\x27"])


if __name__ == "__main__":
    main()
