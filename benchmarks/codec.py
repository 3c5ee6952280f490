"""The codec alone, with no shared memory in the way: zelvane's encoder and
decoder (the benchmark-only module zelvane_bench) against pickle (default
protocol), marshal and msgpack, on the corpus of the containers issue plus a
few library-class items and a list of records. Prints the best time of each encode and decode in
microseconds and the ratios zelvane/peer per item, then the ratio of the
totals over the containers corpus and over every item but the named tuples.
Under benchmarks/run.sh the per-item ratios to pickle and the corpus totals
go to its summary, with their targets.

    scripts/dev-build.sh   # builds build/py311/zelvane_bench*.so
    PYTHONPATH=build/py311 python benchmarks/codec.py [--quick]

A peer that cannot encode an item, or does not read it back equal, gets an
empty cell (marshal refuses library classes; msgpack turns tuples into lists).
msgpack is optional (pip install msgpack).
"""
import collections
import datetime as dt
import decimal
import marshal
import math
import pickle
import random
import sys
import timeit
import uuid

import zelvane_bench
from _common import record_ratio

try:
    import msgpack
except ImportError:  # optional benchmark dependency
    msgpack = None


def containers_corpus():
    rng = random.Random(1234)
    scalars = [rng.randint(-10**6, 10**6), rng.random(), "text-%d" % rng.randint(0, 999),
               True, None, rng.randint(0, 2**40)]

    def nested(depth):
        if depth == 0:
            return [rng.randint(0, 100), "leaf", 1.5]
        return {"level": depth, "items": [nested(depth - 1), nested(depth - 1)], "name": "n%d" % depth}

    return [
        ("dict of 1,000 mixed scalars", {"key%d" % i: scalars[i % len(scalars)] for i in range(1000)}),
        ("list of 10,000 small ints", [rng.randint(0, 200) for _ in range(10000)]),
        ("list of 1,000 short strings", ["s%05d" % rng.randint(0, 99999) for _ in range(1000)]),
        ("5-level nested dict/list", nested(5)),
        ("dict with 1,000 int keys", {i * 7: i for i in range(1000)}),
        ("list of 1,000 floats", [rng.random() for _ in range(1000)]),
    ]


Point = collections.namedtuple("Point", "x y")


def records_corpus():
    """A shape the corpus lacks: many small dicts with the same keys."""
    rng = random.Random(99)
    return [("1,000 records of 4 fields", [{"id": i, "name": "user%d" % rng.randint(0, 10**6),
                                            "score": rng.random(), "active": rng.random() < 0.5}
                                           for i in range(1000)])]


def library_corpus(size=1000, seed=7):
    """The library benchmark's values (benchmarks/library.py), plus named tuples."""
    rng = random.Random(seed)
    base = dt.datetime(2000, 1, 1, tzinfo=dt.timezone.utc)
    return [
        ("1,000 aware datetimes", [base + dt.timedelta(seconds=rng.randrange(10**9),
                                                       microseconds=rng.randrange(10**6))
                                   for _ in range(size)]),
        ("1,000 Decimals", [decimal.Decimal(rng.randrange(-10**12, 10**12)).scaleb(-rng.randrange(0, 8))
                            for _ in range(size)]),
        ("1,000 UUIDs", [uuid.UUID(int=rng.getrandbits(128), version=4) for _ in range(size)]),
        ("1,000 named tuples", [Point(rng.randint(0, 100), rng.random()) for _ in range(size)]),
    ]


def codecs():
    found = {
        "zelvane": (zelvane_bench.from_value, zelvane_bench.to_value),
        "pickle": (pickle.dumps, pickle.loads),
        "marshal": (marshal.dumps, marshal.loads),
    }
    if msgpack:
        found["msgpack"] = (msgpack.packb, lambda data: msgpack.unpackb(data, strict_map_key=False))
    return found


def round_trips(dumps, loads, value):
    """The encoded bytes when the codec reads `value` back equal, else None."""
    try:
        data = dumps(value)
        same = loads(data) == value
    except (TypeError, ValueError):
        return None
    return data if same else None


def calibrated(function, argument, budget):
    """A timer of one call and the number of calls that take about `budget`."""
    timer = timeit.Timer("f(x)", globals={"f": function, "x": argument})
    once = min(timer.repeat(repeat=3, number=1))
    return timer, max(1, int(budget / max(once, 1e-7)))


def measure(codec_table, value, budget, repeat):
    """{codec: [encode, decode] seconds} for the codecs that round-trip
    `value`. The codecs take turns within each repeat, so that a change in the
    machine's load touches all of them alike; the best repeat counts."""
    timers = {}
    for name, (dumps, loads) in codec_table.items():
        data = round_trips(dumps, loads, value)
        if data is None:
            if name == "zelvane":
                raise AssertionError("zelvane did not read back its value")
            continue
        timers[name] = [calibrated(dumps, value, budget), calibrated(loads, data, budget)]
    times = {name: [float("inf"), float("inf")] for name in timers}
    for _ in range(repeat):
        for name, pair in timers.items():
            for op, (timer, number) in enumerate(pair):
                times[name][op] = min(times[name][op], timer.timeit(number) / number)
    return times


def cell(numerator, denominator, width, digits):
    if numerator is None or denominator is None:
        return " " * width
    return f"{numerator / denominator:{width}.{digits}f}"


# Items whose format makes the codec call into the interpreter for every
# value; they have no target.
NO_TARGET = ("1,000 aware datetimes", "1,000 named tuples")
ITEM_TARGET, CORPUS_TARGET = 1.2, 1.0


def print_item(label, times, peers):
    for op_index, op in enumerate(("encode", "decode", "total")):
        def of(name):
            if name not in times:
                return None
            return sum(times[name]) if op == "total" else times[name][op_index]

        z = of("zelvane")
        columns = "".join(cell(of(name), 1e-6, 10, 1) for name in ["zelvane"] + peers)
        ratios = "".join(cell(z, of(name), 10, 2) for name in peers)
        print(f"{label if op_index == 0 else '':30} {op:6}{columns}{ratios}")
    record_ratio("codec", f"{label} enc+dec", "pickle", sum(times["zelvane"]) / sum(times["pickle"]),
                 None if label in NO_TARGET else ITEM_TARGET)


def print_totals(label, results, peers, target=None, record=False):
    """Encode + decode summed over the items every compared codec handled."""
    parts = []
    for name in peers:
        shared = [times for times in results if name in times]
        if not shared:
            parts.append(f"z/{name} -")
            continue
        ratio = sum(sum(times["zelvane"]) for times in shared) / sum(sum(times[name]) for times in shared)
        note = "" if len(shared) == len(results) else f" ({len(shared)} of {len(results)} items)"
        parts.append(f"z/{name} {ratio:.2f}{note}")
        if record:
            record_ratio("codec", label + note, name, ratio, target if name == "pickle" else None)
    print(f"{label}: " + ", ".join(parts))


def main():
    quick = "--quick" in sys.argv
    budget, repeat = (0.02, 3) if quick else (0.1, 7)
    codec_table = codecs()
    peers = [name for name in codec_table if name != "zelvane"]
    print(f"microseconds per call, best of {repeat}; ratios zelvane/peer (below 1: zelvane is faster)")
    header = (f"{'item':30} {'op':6}" + "".join(f"{name:>10}" for name in ["zelvane"] + peers)
              + "".join(f"{'z/' + name:>10}" for name in peers))
    print(header)
    print("-" * len(header))
    results = {}
    for group, items in (("containers", containers_corpus()), ("records", records_corpus()),
                         ("library", library_corpus())):
        results[group] = []
        for label, value in items:
            times = measure(codec_table, value, budget, repeat)
            results[group].append(times)
            print_item(label, times, peers)
    print()
    print_totals("containers corpus total", results["containers"], peers, CORPUS_TARGET, record=True)
    # Named tuples are left out of the second total: the format makes the
    # decoder build a class for each one, which would swamp everything else.
    print_totals("all items but named tuples", [t for group in results.values() for t in group][:-1], peers)
    every = [t for group in results.values() for t in group]
    geometric = math.exp(sum(math.log(sum(t["zelvane"]) / sum(t["pickle"])) for t in every) / len(every))
    print(f"geometric mean of the per-item total ratios z/pickle: {geometric:.2f}")


if __name__ == "__main__":
    main()
