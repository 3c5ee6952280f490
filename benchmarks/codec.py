"""Codec corpus: each value written to and read back from shared memory by
zelvane (a value slot), by pickle and by msgpack (a SharedMemory block opened
afresh on every access, as a slot is). Prints microseconds per access and the
ratios zelvane/pickle and zelvane/msgpack.

    PYTHONPATH=build/py311 python benchmarks/codec.py [--quick]

msgpack is optional (pip install msgpack); without it its columns are empty.
"""
import os
import random
import sys
import timeit
from multiprocessing import shared_memory

import zelvane
from _common import FreshBlock, Slot

try:
    import msgpack
except ImportError:  # optional benchmark dependency
    msgpack = None

BLOCK_SIZE = 4 << 20


def corpus():
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


def best_time(action, number, repeat):
    return min(timeit.repeat(action, number=number, repeat=repeat)) / number * 1e6


def measure(codec, value, number, repeat):
    codec.write(value)
    if codec.read() != value:
        raise AssertionError(f"{type(codec).__name__} did not read back its value")
    write = best_time(lambda: codec.write(value), number, repeat)
    read = best_time(codec.read, number, repeat)
    return write, read


def main():
    quick = "--quick" in sys.argv
    number, repeat = (20, 3) if quick else (200, 7)
    base = f"zbench_{os.getpid()}"
    blocks = [shared_memory.SharedMemory(f"{base}_{kind}", create=True, size=BLOCK_SIZE)
              for kind in ("pickle", "msgpack")]
    codecs = {
        "zelvane": Slot(f"{base}_slot"),
        "pickle": FreshBlock(blocks[0].name),
    }
    if msgpack:
        codecs["msgpack"] = FreshBlock(blocks[1].name, msgpack.packb,
                                       lambda b: msgpack.unpackb(b, strict_map_key=False))
    try:
        header = (f"{'corpus item':30} {'op':5} {'zelvane':>9} {'pickle':>9} {'msgpack':>9}"
                  f" {'z/pickle':>9} {'z/msgpack':>9}")
        print(header)
        print("-" * len(header))
        for label, value in corpus():
            times = {kind: measure(codec, value, number, repeat) for kind, codec in codecs.items()}
            for op_index, op in enumerate(("write", "read")):
                z = times["zelvane"][op_index]
                p = times["pickle"][op_index]
                m = times["msgpack"][op_index] if "msgpack" in times else float("nan")
                print(f"{label if op_index == 0 else '':30} {op:5} {z:9.1f} {p:9.1f} {m:9.1f}"
                      f" {z / p:9.2f} {z / m:9.2f}")
    finally:
        zelvane.remove_memory(f"{base}_slot")
        for block in blocks:
            block.close()
            block.unlink()


if __name__ == "__main__":
    main()
