"""Leak soak: encode/decode cycles over every supported kind, failing
decodes of hostile input (random bytes, truncated and mutated encodings under
both protocol markers), then slots made and removed under ever new names.
After a warm-up, open descriptors, mappings, resident memory, the memory
traced by tracemalloc, the number of objects the garbage collector tracks
and the reference counts of the classes the codec caches must stay flat.

Long run (one million cycles, 100,000 failing hostile decodes, 20,000 names):

    PYTHONPATH=build/py311 python3 soak/leak_soak.py

CI smoke:

    PYTHONPATH=build/py311 python3 soak/leak_soak.py --cycles 160000 --hostile 20000 --names 2000

The codec is driven through the benchmark-only module zelvane_bench when it
is importable, otherwise through a value slot (--slots forces that). Exits 1
when any figure grows beyond its tolerance, or a decode fails in a way no
input may cause (SystemError, MemoryError, a non-Exception).
"""
import argparse
import collections
import contextlib
import datetime as dt
import decimal
import gc
import math
import os
import pathlib
import random
import sys
import threading
import time
import tracemalloc
import uuid

import zelvane

from _common import remove_names, rss_kb, shm_path

PROTOCOL_2 = 0xFD
PROTOCOL_1 = 0xFE
HOSTILE_CAPACITY = 4096
# Per-figure tolerances for growth between the end of the warm-up and the end.
TRACED_TOLERANCE = 32 * 1024
GC_TOLERANCE = 100
RSS_TOLERANCE_KB = 4096
REFCOUNT_TOLERANCE = 0
FD_TOLERANCE = 4
# The interpreter maps and unmaps its own arenas as it goes.
MAPS_TOLERANCE = 64
# A process keeps at most 64 objects open between accesses.
NAME_CHURN_WARMUP = 200
# Failures no input may cause: they mean a broken error path, or an
# allocation sized by the input instead of by its bytes.
FORBIDDEN = (SystemError, MemoryError)

Point = collections.namedtuple("Point", "x y")
Record = collections.namedtuple("Record", ["name", "when", "tags", "score"])


def sample_values():
    """One or more values of every kind the codec carries, with the size
    forms (empty, one-byte, two-byte, wide) of the sized kinds."""
    moment = dt.datetime(2024, 5, 17, 13, 45, 12, 345678)
    return [
        None, ..., True, False,
        0, 1, -1, 255, 2**31, -2**63, 2**70, -2**200, 10**300,
        0.0, -0.0, 1.5, float("inf"), float("nan"), 1e-310,
        1 + 2j, complex(float("nan"), -0.0),
        "", "a", "é" * 10, "x" * 300, "y" * 70000, "\U0001f600 mixed ascii",
        b"", b"ab", bytes(range(256)) * 2, bytearray(b"cd"), bytearray(300),
        [], [1, "two", 3.0], list(range(300)), (), (1,), tuple(range(70)),
        set(), {1, 2, 3}, frozenset(), frozenset({"a", "b"}),
        {}, {"a": 1, 2: "b", (1, 2): [3]}, {i: str(i) for i in range(300)},
        Point(1, 2), Record("r", moment, ["t"], decimal.Decimal("9.5")),
        collections.deque(), collections.deque([1, 2, "x"]),
        collections.Counter(), collections.Counter("abracadabra"),
        collections.OrderedDict(), collections.OrderedDict(b=1, a=2),
        collections.ChainMap(), collections.ChainMap({1: 2}, {3: 4}),
        moment, moment.replace(tzinfo=dt.timezone.utc),
        moment.replace(tzinfo=dt.timezone(dt.timedelta(hours=-5, minutes=-30))),
        dt.date(2024, 2, 29), dt.time(23, 59, 59, 999999), dt.time(1, 2, tzinfo=dt.timezone.utc),
        dt.timedelta(days=-3, seconds=5, microseconds=7),
        uuid.UUID(int=0x1234567890ABCDEF1234567890ABCDEF), uuid.UUID(int=0),
        decimal.Decimal("1.50"), decimal.Decimal("-1e-30"), decimal.Decimal("NaN"),
        decimal.Decimal("-Infinity"), decimal.Decimal(2**100),
        memoryview(b""), memoryview(b"view bytes"),
        range(0), range(1, 10, 2), range(-5, 2**40, 7),
        pathlib.PurePosixPath("rel/path"), pathlib.PosixPath("/abs/path"), pathlib.Path("."),
        [[[[["deep"]]]]], {"nested": [{"a": (1, {2})}, collections.deque([Point(3, 4)])]},
    ]


def cached_classes():
    """The classes the codec keeps for the life of the module, by name."""
    return {
        "datetime.datetime": dt.datetime, "datetime.date": dt.date, "datetime.time": dt.time,
        "datetime.timedelta": dt.timedelta, "uuid.UUID": uuid.UUID, "decimal.Decimal": decimal.Decimal,
        "collections.namedtuple": collections.namedtuple, "collections.deque": collections.deque,
        "collections.Counter": collections.Counter, "collections.OrderedDict": collections.OrderedDict,
        "collections.ChainMap": collections.ChainMap, "pathlib.Path": pathlib.Path,
        "pathlib.PurePath": pathlib.PurePath, "pathlib.PosixPath": pathlib.PosixPath,
        "pathlib.PurePosixPath": pathlib.PurePosixPath,
    }


class BenchCodec:
    """The codec alone, through the benchmark-only module."""
    label = "zelvane_bench"

    def __init__(self, bench):
        self.encode = bench.from_value
        self.decode = bench.to_value

    def close(self):
        pass


class SlotCodec:
    """The codec through a value slot: a write and a read per cycle, and
    hostile payloads written raw into a slot of fixed capacity (zero-padded,
    so no earlier input's tail follows a truncated one)."""
    label = "value slot"

    def __init__(self, name, hostile_name=None):
        self.name = name
        self.hostile_name = hostile_name or name + "_hostile"
        zelvane.create_memory(self.hostile_name, HOSTILE_CAPACITY)
        self.fd = os.open(shm_path(self.hostile_name), os.O_RDWR)

    def encode(self, value):
        zelvane.write_memory(self.name, value)
        return value

    def decode(self, value):
        return zelvane.read_memory(self.name)

    def decode_raw(self, data):
        os.pwrite(self.fd, data[:HOSTILE_CAPACITY].ljust(HOSTILE_CAPACITY, b"\0"), 48)
        return zelvane.read_memory(self.hostile_name)

    def close(self):
        os.close(self.fd)
        zelvane.remove_memory(self.name)
        zelvane.remove_memory(self.hostile_name)


def equal_or_both_nan(a, b):
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    if isinstance(a, complex) and (math.isnan(a.real) or math.isnan(a.imag)):
        return isinstance(b, complex) and repr(a) == repr(b)
    if isinstance(a, decimal.Decimal) and a.is_nan():
        return isinstance(b, decimal.Decimal) and b.is_nan()
    if isinstance(a, pathlib.PurePath):
        return str(a) == str(b)
    if isinstance(a, tuple) and hasattr(type(a), "_fields"):
        return tuple(a) == tuple(b) and type(a).__name__ == type(b).__name__
    return a == b


def check_round_trips(codec, values):
    """Every kind must come back equal before its cycles count."""
    for value in values:
        back = codec.decode(codec.encode(value))
        if not equal_or_both_nan(value, back):
            raise AssertionError(f"{value!r} came back as {back!r}")


def run_cycles(codec, values, count):
    encode, decode = codec.encode, codec.decode
    n = len(values)
    for i in range(count):
        decode(encode(values[i % n]))


class HostileInputs:
    """Inputs that mostly fail to decode: random bytes after either marker,
    valid encodings cut short, and valid encodings with bytes changed."""

    def __init__(self, encodings, seed):
        self.encodings = encodings
        self.rng = random.Random(seed)

    def next(self):
        rng = self.rng
        choice = rng.random()
        if choice < 0.25:
            marker = PROTOCOL_2 if rng.random() < 0.7 else PROTOCOL_1
            return bytes([marker]) + rng.randbytes(rng.randrange(40))
        data = bytearray(rng.choice(self.encodings))
        if choice < 0.5 or len(data) < 3:
            return bytes(data[: rng.randrange(1, max(2, len(data)))])
        for _ in range(rng.randrange(1, 4)):
            data[rng.randrange(1, len(data))] = rng.randrange(256)
        if rng.random() < 0.2:
            data[0] = PROTOCOL_1
        if rng.random() < 0.3:
            del data[rng.randrange(1, len(data)):]
        return bytes(data[:HOSTILE_CAPACITY])


def fill_codec_caches(codec):
    """The codec keeps two bounded caches that hostile input fills over time:
    the namespaces of named-tuple shapes (256 shapes) and short dict keys
    (1024 slots). The warm-up fills them with entries larger than hostile
    mutations of the sample values make, so that the figures see their
    steady state, in which an entry only replaces another."""
    fields = tuple(f"warm_field_{i}" for i in range(8))
    for i in range(400):
        codec.decode(codec.encode(collections.namedtuple(f"WarmShape{i:04d}", fields)(*range(8))))
    for i in range(4096):
        codec.decode(codec.encode({f"warm_key_{i:05d}_of_the_cache_": i}))


def run_hostile(decode_raw, inputs, count, tally):
    """Decodes hostile inputs until `count` of them have failed (or three
    times as many were tried); `tally` counts outcomes by kind and keeps the
    first forbidden failures."""
    failed = 0
    for _ in range(3 * count):
        if failed >= count:
            break
        data = inputs.next()
        try:
            decode_raw(data)
        except FORBIDDEN as exc:
            tally["forbidden"] += 1
            if len(tally["examples"]) < 5:
                tally["examples"].append((data.hex(), type(exc).__name__, str(exc)))
        except Exception as exc:  # the decoder's own errors: expected
            tally[type(exc).__name__] += 1
        except BaseException as exc:
            tally["forbidden"] += 1
            tally["examples"].append((data.hex(), type(exc).__name__, str(exc)))
            raise
        else:
            tally["decoded"] += 1
            continue
        failed += 1
    tally["failed"] += failed


def serve_once(name, number):
    """Serves `name` on a thread for one call, then stops it."""
    outcome = []
    server = threading.Thread(target=lambda: outcome.append(zelvane.create_function(name, lambda x: x + 1)))
    server.start()
    deadline = time.monotonic() + 60
    while not os.path.exists(shm_path(name)):
        if time.monotonic() > deadline or not server.is_alive():
            raise AssertionError(f"{name} was never served")
        time.sleep(0.0005)
    if zelvane.call_function(name, (number,)) != number + 1:
        raise AssertionError(f"{name} answered wrongly")
    zelvane.remove_function(name)
    server.join(60)
    if server.is_alive() or outcome != [None]:
        raise AssertionError(f"serving {name} ended with {outcome!r}")


def run_name_churn(prefix, count):
    """Slots (and every tenth time a served function) made, used and
    removed under ever new names, and accesses to names that no longer
    exist: no descriptor or mapping may stay behind (beyond the bounded set
    a process keeps open between accesses)."""
    for i in range(count):
        name = f"{prefix}{i}"
        if i % 10 == 0:
            serve_once(name, i)
        else:
            zelvane.write_memory(name, i)
            if zelvane.read_memory(name) != i:
                raise AssertionError(f"{name} did not read back {i}")
            zelvane.remove_memory(name)
        for access in (zelvane.read_memory, lambda n: zelvane.call_function(n, ())):
            try:
                access(name)
            except MemoryError:
                pass
            else:
                raise AssertionError(f"{name} is still there after its removal")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def mappings():
    with open("/proc/self/maps") as f:
        return sum(1 for _ in f)


def figures(classes):
    gc.collect()
    return {
        "fds": open_descriptors(),
        "maps": mappings(),
        "rss_kb": rss_kb(),
        "traced": tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0,
        "gc_objects": len(gc.get_objects()),
        "refcounts": {name: sys.getrefcount(cls) for name, cls in classes.items()},
    }


def growth_faults(start, end, tolerances):
    """What grew beyond its tolerance between two sets of figures."""
    faults = []
    for key in ("fds", "maps", "rss_kb", "traced", "gc_objects"):
        if end[key] - start[key] > tolerances[key]:
            faults.append(f"{key} grew from {start[key]} to {end[key]}")
    for name, count in end["refcounts"].items():
        if count - start["refcounts"][name] > tolerances["refcount"]:
            faults.append(f"reference count of {name} grew from {start['refcounts'][name]} to {count}")
    return faults


def report(label, start, end):
    print(f"  {label}: descriptors {start['fds']} -> {end['fds']}, mappings {start['maps']} -> "
          f"{end['maps']}, rss {start['rss_kb']} -> {end['rss_kb']} KiB, "
          f"traced {start['traced']} -> {end['traced']} B, "
          f"gc objects {start['gc_objects']} -> {end['gc_objects']}")
    changed = {name: (start["refcounts"][name], n) for name, n in end["refcounts"].items()
               if n != start["refcounts"][name]}
    print(f"  {label}: refcounts of cached classes "
          + ("unchanged" if not changed else f"changed: {changed}"))


def make_codec(force_slots):
    if not force_slots:
        try:
            import zelvane_bench
        except ImportError:
            pass
        else:
            return BenchCodec(zelvane_bench)
    return SlotCodec(f"zsoak_{os.getpid()}_leak")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=1_000_000)
    parser.add_argument("--hostile", type=int, default=100_000)
    # CPython's own caches fill during the first ~60,000 cycles of this mix
    # (about 2,000 small blocks, then flat); only growth after that counts.
    parser.add_argument("--warmup-cycles", type=int, default=100_000)
    parser.add_argument("--warmup-hostile", type=int, default=10_000)
    parser.add_argument("--names", type=int, default=20_000,
                        help="slots made and removed under new names")
    parser.add_argument("--slots", action="store_true", help="drive the codec through a slot")
    parser.add_argument("--no-tracemalloc", action="store_true")
    parser.add_argument("--seed", type=int, default=8)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    codec = make_codec(args.slots)
    try:
        return soak(codec, args)
    finally:
        codec.close()


def soak(codec, args):
    values = sample_values()
    classes = cached_classes()
    tolerances = {"fds": FD_TOLERANCE, "maps": MAPS_TOLERANCE, "rss_kb": RSS_TOLERANCE_KB, "traced": TRACED_TOLERANCE, "gc_objects": GC_TOLERANCE,
                  "refcount": REFCOUNT_TOLERANCE}
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        # The address sanitizer holds freed memory in quarantine, so resident
        # memory swings by megabytes; the other figures still count.
        tolerances["rss_kb"] = float("inf")
        print("  (address sanitizer: resident memory reported, not judged)")
    encodings = [bytes(b) for b in map(_encoded_bytes(codec), values)]
    decode_raw = codec.decode_raw if isinstance(codec, SlotCodec) else codec.decode
    inputs = HostileInputs(encodings, args.seed)
    tally = collections.Counter()
    tally["examples"] = []
    if not args.no_tracemalloc:
        tracemalloc.start()
    print(f"leak soak through {codec.label}: {args.cycles} cycles over {len(values)} values, "
          f"{args.hostile} failing decodes of hostile input", flush=True)

    check_round_trips(codec, values)
    warm_cycles = min(args.warmup_cycles, args.cycles)
    warm_hostile = min(args.warmup_hostile, args.hostile)
    fill_codec_caches(codec)
    run_cycles(codec, values, warm_cycles)
    run_hostile(decode_raw, inputs, warm_hostile, tally)
    baseline = figures(classes)
    run_cycles(codec, values, args.cycles - warm_cycles)
    after_cycles = figures(classes)
    run_hostile(decode_raw, inputs, args.hostile - warm_hostile, tally)
    after_hostile = figures(classes)
    churn_prefix = f"zsoak_{os.getpid()}_churn"
    # Each stop of a served function prints its stop line.
    with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
        try:
            run_name_churn(churn_prefix, min(NAME_CHURN_WARMUP, args.names))
            before_churn = figures(classes)
            run_name_churn(churn_prefix, args.names)
            end = figures(classes)
        finally:
            remove_names(churn_prefix)
    check_round_trips(codec, values)

    report("encode/decode cycles", baseline, after_cycles)
    report("hostile decodes", after_cycles, after_hostile)
    report(f"{args.names} names made and removed", before_churn, end)
    examples = tally.pop("examples")
    print(f"  hostile outcomes: {dict(sorted(tally.items()))}")
    faults = (growth_faults(baseline, after_cycles, tolerances)
              + growth_faults(after_cycles, after_hostile, tolerances)
              + growth_faults(before_churn, end, tolerances))
    if tally["forbidden"]:
        faults.append(f"{tally['forbidden']} forbidden failures, e.g. {examples}")
    for fault in faults:
        print("FAULT:", fault)
    print("leak soak:", "FAILED" if faults else "passed", flush=True)
    return 1 if faults else 0


def _encoded_bytes(codec):
    """The encoding of a value, by the codec itself where it is reachable."""
    if isinstance(codec, BenchCodec):
        return codec.encode
    try:
        import zelvane_bench
        return zelvane_bench.from_value
    except ImportError:
        return _slot_encoding


def _slot_encoding(value):
    # A slot made by its first write holds the encoding followed by 32 zero bytes.
    name = f"zsoak_{os.getpid()}_leakenc"
    zelvane.remove_memory(name)
    try:
        zelvane.write_memory(name, value)
        with open(shm_path(name), "rb") as f:
            raw = f.read()
    finally:
        zelvane.remove_memory(name)
    capacity = int.from_bytes(raw[:8], "little")
    return raw[48:48 + capacity - 32]


if __name__ == "__main__":
    sys.exit(main())
