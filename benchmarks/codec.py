"""The codec alone, with no shared memory in the way: zelvane.dumps and
zelvane.loads against pickle (protocol 5), msgspec (msgpack, encoder and
decoder made once and reused; a typed decoder for sets, UUIDs, Decimals,
datetimes, dates, times and named tuples), orjson, ormsgpack, msgpack and
marshal. The corpus has ints of each width alone and in lists, strings and
bytes of a size in every decade from 1 KiB to 64 MiB, deep nesting, records,
mappings and the library classes. Prints the best time of each encode and
decode in microseconds, the ratios zelvane/peer per item, the encoded sizes,
and the ratio of the totals, with the large values and without them.

    d=$(scripts/dev-build.sh)
    PYTHONPATH=$d python benchmarks/codec.py [--quick]

A peer that cannot carry an item faithfully (refuses it, or reads back a
different value or other kinds, such as a list for a tuple or a str for a
UUID) is shown as n/a. Every peer but pickle and marshal is optional and
skipped when it is not installed (pip install '.[bench]').
Under benchmarks/run.sh the ratios go to its summary, with their targets.
"""
import collections
import datetime as dt
import decimal
import marshal
import pickle
import random
import sys
import timeit
import uuid

import zelvane
from _common import record_ratio


def optional(name):
    try:
        return __import__(name)
    except ImportError:  # optional benchmark dependency
        return None


msgspec = optional("msgspec")
orjson = optional("orjson")
ormsgpack = optional("ormsgpack")
msgpack = optional("msgpack")

Point = collections.namedtuple("Point", "x y")


class Item:
    """One corpus value; `typed` is the type a typed msgspec decoder is given
    (None: the untyped decoder)."""

    def __init__(self, label, value, typed=None):
        self.label, self.value, self.typed = label, value, typed


KIB, MIB = 1 << 10, 1 << 20
# A size in every decade, so that a change of path at one size shows.
LARGE_SIZES = [("1 KiB", KIB), ("10 KiB", 10 * KIB), ("100 KiB", 100 * KIB), ("1 MiB", MIB),
               ("10 MiB", 10 * MIB), ("64 MiB", 64 * MIB)]


def int_items(rng):
    widths = [("1-byte", 0, 100), ("2-byte", 1000, 30000), ("word", 2**40, 2**62), ("beyond-word", 2**64, 2**100)]
    items = [Item(f"one {label} int", rng.randint(low, high)) for label, low, high in widths]
    items += [Item(f"10,000 {label} ints", [rng.randint(low, high) for _ in range(10000)])
              for label, low, high in widths]
    return items + small_int_items(random.Random(35))


def small_int_items(rng):
    """Ints in the ranges where a peer's one-byte forms end (its own
    generator, so that the rest of the corpus stays as it was)."""
    items = [Item(f"10,000 ints in {low}..{high}", [rng.randint(low, high) for _ in range(10000)])
             for low, high in ((0, 127), (0, 255), (-128, 127))]
    items.append(Item("1,000 dicts of 8 small ints",
                      [{f"k{j}": rng.randint(0, 255) for j in range(8)} for _ in range(1000)]))
    return items


def string_items(rng):
    return [
        Item("1,000 short strings", ["s%05d" % rng.randint(0, 99999) for _ in range(1000)]),
        Item("1,000 short non-ASCII strings", ["\u00e9t\u00e9-%04d-\u4e16" % rng.randint(0, 9999)
                                               for _ in range(1000)]),
        Item("one short string", "text-%d" % rng.randint(0, 999)),
        Item("one short non-ASCII string", "gr\u00fc\u00dfe-\u4e16\u754c"),
    ] + [Item(f"{label} string", "".join(rng.choice("abcdefghij") for _ in range(1000)) * (size // 1000)
              + "x" * (size % 1000)) for label, size in LARGE_SIZES] + [
        Item(f"{label} non-ASCII string", "\u00e9\u4e16z" * (size // 6)) for label, size in LARGE_SIZES]


def binary_items(rng):
    block = rng.randbytes(4096)
    return [Item(f"{label} bytes", (block * (size // 4096 + 1))[:size]) for label, size in LARGE_SIZES]


def container_items(rng, scalars):
    def nested(depth):
        if depth == 0:
            return [rng.randint(0, 100), "leaf", 1.5]
        return {"level": depth, "items": [nested(depth - 1), nested(depth - 1)], "name": "n%d" % depth}

    def chain(depth):  # lists and dicts in turn, `depth` levels deep
        value = [rng.randint(0, 100), "a", 2.5]
        for level in range(depth - 1):
            value = {"k": value, "n": level} if level % 2 else [value, level]
        return value

    small_mixed = {"field_%02d" % i: scalars[i % len(scalars)] for i in range(40)}
    small_mixed["tags"] = ["alpha", "beta", "gamma"]
    return [
        Item("1 KB mixed dict", small_mixed),
        Item("dict of 1,000 mixed scalars", {"key%d" % i: scalars[i % len(scalars)] for i in range(1000)}),
        Item("5-level nested dict/list", nested(5)),
        Item("8-level nested dict/list", nested(8)),
        Item("100 chains 5 levels deep", [chain(5) for _ in range(100)]),
        Item("100 chains 8 levels deep", [chain(8) for _ in range(100)]),
        Item("1,000 floats", [rng.random() for _ in range(1000)]),
        Item("one float", rng.random()),
        Item("dict of 1,000 int keys", {i * 7: i for i in range(1000)}),
        Item("dict of 1,000 str keys", {"k%d" % i: i for i in range(1000)}),
        Item("1,000 records of 5 str keys",
             [{"id": i, "name": "user%d" % rng.randint(0, 10**6), "score": rng.random(),
               "active": rng.random() < 0.5, "group": "g%d" % (i % 10)} for i in range(1000)]),
        Item("set of 1,000 ints", {rng.randint(0, 2**40) for _ in range(1000)}, set[int]),
    ]


def library_items(rng):
    base = dt.datetime(2000, 1, 1, tzinfo=dt.timezone.utc)
    return [
        Item("100 datetimes", [base + dt.timedelta(seconds=rng.randrange(10**9), microseconds=rng.randrange(10**6))
                               for _ in range(100)], list[dt.datetime]),
        Item("100 dates", [dt.date(2000, 1, 1) + dt.timedelta(days=rng.randrange(20000)) for _ in range(100)],
             list[dt.date]),
        Item("100 times", [dt.time(rng.randrange(24), rng.randrange(60), rng.randrange(60), rng.randrange(10**6))
                           for _ in range(100)], list[dt.time]),
        Item("100 UUIDs", [uuid.UUID(int=rng.getrandbits(128), version=4) for _ in range(100)], list[uuid.UUID]),
        Item("100 Decimals", [decimal.Decimal(rng.randrange(-10**12, 10**12)).scaleb(-rng.randrange(0, 8))
                              for _ in range(100)], list[decimal.Decimal]),
        Item("100 named tuples", [Point(rng.randint(0, 100), rng.random()) for _ in range(100)], list[Point]),
    ]


def corpus():
    rng = random.Random(1234)
    scalars = [rng.randint(-10**6, 10**6), rng.random(), "text-%d" % rng.randint(0, 999),
               True, None, rng.randint(0, 2**40)]
    return (int_items(rng) + string_items(rng) + binary_items(rng) + container_items(rng, scalars)
            + library_items(rng))


NAMED_TUPLES = "100 named tuples"


def codecs(item):
    """{name: (dumps, loads)} of the codecs installed, for `item`."""
    found = {
        "zelvane": (zelvane.dumps, zelvane.loads),
        "pickle": (lambda v: pickle.dumps(v, protocol=5), pickle.loads),
    }
    if msgspec:
        encoder = msgspec.msgpack.Encoder()
        decoder = msgspec.msgpack.Decoder(item.typed) if item.typed else msgspec.msgpack.Decoder()
        found["msgspec"] = (encoder.encode, decoder.decode)
    if orjson:
        found["orjson"] = (orjson.dumps, orjson.loads)
    if ormsgpack:
        option = ormsgpack.OPT_NON_STR_KEYS
        found["ormsgpack"] = (lambda v: ormsgpack.packb(v, option=option), ormsgpack.unpackb)
    if msgpack:
        found["msgpack"] = (msgpack.packb, lambda data: msgpack.unpackb(data, strict_map_key=False))
    found["marshal"] = (marshal.dumps, marshal.loads)
    return found


def kinds(value):
    """The kinds of a value and of its members; a named tuple by its class
    name and fields (zelvane gives each one a class of its own)."""
    kind = type(value)
    if isinstance(value, tuple) and hasattr(kind, "_fields"):
        return ("namedtuple", kind.__name__, value._fields, tuple(map(kinds, value)))
    if kind in (list, tuple):
        return (kind.__name__, tuple(map(kinds, value)))
    if kind is dict:
        return ("dict", tuple((kinds(k), kinds(v)) for k, v in value.items()))
    return kind.__name__


def faithful_bytes(dumps, loads, value):
    """The encoded bytes when the codec reads `value` back equal and of the
    same kinds, else None."""
    try:
        data = dumps(value)
        back = loads(data)
    except Exception:  # each peer refuses in its own way
        return None
    return data if back == value and kinds(back) == kinds(value) else None


def calibrated(function, argument, budget):
    """A timer of one call and the number of calls that take about `budget`."""
    timer = timeit.Timer("f(x)", globals={"f": function, "x": argument})
    once = min(timer.repeat(repeat=3, number=1))
    return timer, max(1, int(budget / max(once, 1e-7)))


def measure(item, budget, repeat):
    """({codec: [encode, decode] seconds}, {codec: encoded size}) for the
    codecs that carry the item. The codecs take turns within each repeat, so
    that a change in the machine's load touches all of them alike; the best
    repeat counts."""
    timers, sizes = {}, {}
    for name, (dumps, loads) in codecs(item).items():
        data = faithful_bytes(dumps, loads, item.value)
        if data is None:
            if name == "zelvane":
                raise AssertionError(f"zelvane did not read back {item.label}")
            continue
        sizes[name] = len(data)
        timers[name] = [calibrated(dumps, item.value, budget), calibrated(loads, data, budget)]
    times = {name: [float("inf"), float("inf")] for name in timers}
    for _ in range(repeat):
        for name, pair in timers.items():
            for op, (timer, number) in enumerate(pair):
                times[name][op] = min(times[name][op], timer.timeit(number) / number)
    return times, sizes


def cell(value, width, digits):
    return f"{'n/a':>{width}}" if value is None else f"{value:{width}.{digits}f}"


# Targets: each item at most 1.0x msgspec and 1.0x pickle, totals 0.8x
# msgspec and 0.5x pickle; named tuples encode at most 1.5x msgspec (which
# writes no names) and decode at most 15x pickle (a class per value is the
# format's rule), with nothing against msgspec's decoding of one class.
ITEM_TARGET, MSGSPEC_TOTAL_TARGET, PICKLE_TOTAL_TARGET = 1.0, 0.8, 0.5
NAMED_TUPLE_ENCODE_TARGET, NAMED_TUPLE_DECODE_TARGET = 1.5, 15.0


def item_target(label, op, peer):
    if label != NAMED_TUPLES:
        return ITEM_TARGET
    if peer == "pickle":
        return NAMED_TUPLE_DECODE_TARGET if op == "decode" else ITEM_TARGET
    return NAMED_TUPLE_ENCODE_TARGET if op == "encode" else None


def print_item(label, times, sizes, peers):
    z = times["zelvane"]
    for op_index, op in enumerate(("encode", "decode")):
        columns = "".join(cell(times[name][op_index] / 1e-6 if name in times else None, 10, 1)
                          for name in ["zelvane"] + peers)
        ratios = "".join(cell(z[op_index] / times[name][op_index] if name in times else None, 10, 2)
                         for name in peers)
        print(f"{label if op_index == 0 else '':32} {op:6}{columns}{ratios}")
    print(f"{'':32} {'bytes':6}" + "".join(f"{sizes[name]:>10}" if name in sizes else f"{'n/a':>10}"
                                             for name in ["zelvane"] + peers))
    for op_index, op in enumerate(("encode", "decode")):
        for peer in ("msgspec", "pickle"):
            if peer not in times:
                continue
            record_ratio("codec", f"{label} {op}", peer, z[op_index] / times[peer][op_index],
                         item_target(label, op, peer))


def total_ratio(results, peer, exclude=()):
    shared = [times for label, times in results if peer in times and label not in exclude]
    if not shared:
        return None, 0
    ratio = sum(sum(t["zelvane"]) for t in shared) / sum(sum(t[peer]) for t in shared)
    return ratio, len(shared)


def print_totals(results, peers):
    """The ratio of the totals for each peer, with and without the large
    values, whose weight would hide every other item."""
    large = {label for label, _, sizes in results if sizes["zelvane"] >= MIB}
    timed = [(label, times) for label, times, _ in results]
    for peer in peers:
        for mix, exclude in (("small values", large | {NAMED_TUPLES}), ("all values", {NAMED_TUPLES})):
            ratio, count = total_ratio(timed, peer, exclude)
            if ratio is None:
                continue
            print(f"total (encode + decode) over the {count} items {peer} carries, {mix}, named tuples aside: "
                  f"z/{peer} {ratio:.2f}")
            target = {"msgspec": MSGSPEC_TOTAL_TARGET, "pickle": PICKLE_TOTAL_TARGET}.get(peer)
            if target:
                record_ratio("codec", f"total of {count} items, {mix}, but named tuples", peer, ratio, target)
    ratio, count = total_ratio(timed, "pickle")
    print(f"total over all {count} items, named tuples included: z/pickle {ratio:.2f}")


def main():
    quick = "--quick" in sys.argv
    budget, repeat = (0.02, 3) if quick else (0.1, 7)
    items = corpus()
    peers = [name for name in codecs(items[0]) if name != "zelvane"]
    print(f"microseconds per call, best of {repeat}; ratios zelvane/peer (below 1: zelvane is faster); "
          "n/a: the peer does not carry the item faithfully")
    header = (f"{'item':32} {'op':6}" + "".join(f"{name:>10}" for name in ["zelvane"] + peers)
              + "".join(f"{'z/' + name:>10}" for name in peers))
    print(header)
    print("-" * len(header))
    results = []
    for item in items:
        times, sizes = measure(item, budget, repeat)
        results.append((item.label, times, sizes))
        print_item(item.label, times, sizes, peers)
        sys.stdout.flush()
    print()
    print_totals(results, peers)


if __name__ == "__main__":
    main()
