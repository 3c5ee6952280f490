"""Library-class values through a zelvane slot against pickle through a
multiprocessing.shared_memory block, both opened afresh for every access.

Run by hand: python benchmarks/library.py [--repeat N]
Prints the median time of a write and of a read for each corpus item, and the
ratio zelvane / pickle (below 1 means zelvane is faster)."""
import argparse
import datetime as dt
import decimal
import os
import random
import statistics
import time
import uuid
from multiprocessing import shared_memory

import zelvane
from _common import LENGTH, FreshBlock, pickled, record_ratio


def corpus(size=1000, seed=7):
    rng = random.Random(seed)
    base = dt.datetime(2000, 1, 1, tzinfo=dt.timezone.utc)
    datetimes = [base + dt.timedelta(seconds=rng.randrange(10**9), microseconds=rng.randrange(10**6))
                 for _ in range(size)]
    decimals = [decimal.Decimal(rng.randrange(-10**12, 10**12)).scaleb(-rng.randrange(0, 8))
                for _ in range(size)]
    uuids = [uuid.UUID(int=rng.getrandbits(128), version=4) for _ in range(size)]
    return {
        "1000 datetimes": datetimes,
        "1000 Decimals": decimals,
        "1000 UUIDs": uuids,
        "all 3000 mixed": [v for triple in zip(datetimes, decimals, uuids) for v in triple],
    }


def zelvane_size(value):
    """Encoded length: a slot made by its first write holds it plus 32 bytes."""
    name = f"zb_library_size_{os.getpid()}"
    zelvane.write_memory(name, value)
    try:
        with open(os.path.join("/dev/shm", name), "rb") as f:
            (capacity,) = LENGTH.unpack(f.read(LENGTH.size))
    finally:
        zelvane.remove_memory(name)
    return capacity - 32


def median_seconds(action, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def report_scaling(slot, repeat):
    """Ten times the values should take about ten times as long."""
    small, large = corpus(1000)["all 3000 mixed"], corpus(10000)["all 3000 mixed"]
    times = []
    for value in (small, large):
        zelvane.write_memory(slot, value)
        times.append((median_seconds(lambda: zelvane.write_memory(slot, value), max(3, repeat // 10)),
                      median_seconds(lambda: zelvane.read_memory(slot), max(3, repeat // 10))))
    print(f"scaling 3000 -> 30000 mixed values: write x{times[1][0] / times[0][0]:.1f}, "
          f"read x{times[1][1] / times[0][1]:.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=50)
    args = parser.parse_args()
    slot = f"zb_library_{os.getpid()}"
    block_name = f"zb_library_pickle_{os.getpid()}"
    items = corpus()
    largest = max(len(pickled(v)) for v in items.values())
    block = shared_memory.SharedMemory(block_name, create=True, size=LENGTH.size + largest)
    zelvane.create_memory(slot)
    try:
        print(f"{'corpus item':<16} {'zelvane w/r (ms)':>18} {'pickle w/r (ms)':>18} "
              f"{'ratio w':>8} {'ratio r':>8} {'bytes z/p':>12}")
        for label, value in items.items():
            zelvane.write_memory(slot, value)
            assert zelvane.read_memory(slot) == value
            fresh = FreshBlock(block_name)
            fresh.write(value)
            assert fresh.read() == value
            zw = median_seconds(lambda: zelvane.write_memory(slot, value), args.repeat)
            zr = median_seconds(lambda: zelvane.read_memory(slot), args.repeat)
            pw = median_seconds(lambda: fresh.write(value), args.repeat)
            pr = median_seconds(fresh.read, args.repeat)
            sizes = f"{zelvane_size(value)}/{len(pickled(value))}"
            print(f"{label:<16} {zw * 1e3:8.3f}/{zr * 1e3:<9.3f} {pw * 1e3:8.3f}/{pr * 1e3:<9.3f} "
                  f"{zw / pw:8.2f} {zr / pr:8.2f} {sizes:>14}")
            record_ratio("library", f"{label} write", "pickle fresh shm", zw / pw)
            record_ratio("library", f"{label} read", "pickle fresh shm", zr / pr)
        report_scaling(slot, args.repeat)
    finally:
        zelvane.remove_memory(slot)
        block.close()
        block.unlink()


if __name__ == "__main__":
    main()
