"""Write + read round trips through a zelvane slot, side by side with
pickle over multiprocessing's shared memory and with a Manager dict.

    PYTHONPATH=build/py311 python benchmarks/slots.py [--quick]

Peers:
  (a) pickle + a SharedMemory block opened and mapped afresh on every access
      (the system calls a slot access makes: open, fstat, mmap, munmap, close)
  (b) pickle + the same block kept open, guarded by a multiprocessing.Lock
  (c) multiprocessing.Manager().dict()
Each measurement is a batch of round trips lasting about BATCH seconds; the
peers take turns batch by batch, so a busy moment of the machine falls on all
of them alike. Prints the median microseconds per round trip and zelvane's time
as a ratio of each peer's (below 1 means zelvane is faster).
"""
import argparse
import multiprocessing as mp
import os
import pickle
import statistics
import sys
import time
from multiprocessing import shared_memory

import zelvane
from _common import LENGTH, FreshBlock, Slot, open_block, pickled, record_ratio

SMALL_TARGETS = {"(b)": 2.0, "(c)": 0.1}
VALUES = [
    ("{'a': 1.5}", {"a": 1.5}, SMALL_TARGETS),
    ("int", 123456789, SMALL_TARGETS),
    ("100 KB str", "x" * 100_000, {}),
    ("1 MiB bytes", b"\x5a" * (1 << 20), {"(b)": 1.2}),
    ("10 MB bytes", b"\x5a" * 10_000_000, {}),
]


class KeptBlock:
    """(b) Keeps the block mapped; a multiprocessing.Lock guards it."""

    def __init__(self, name):
        self.block = open_block(name)
        self.lock = mp.Lock()

    def write(self, value):
        data = pickled(value)
        with self.lock:
            LENGTH.pack_into(self.block.buf, 0, len(data))
            self.block.buf[8:8 + len(data)] = data

    def read(self):
        with self.lock:
            (length,) = LENGTH.unpack_from(self.block.buf, 0)
            with self.block.buf[8:8 + length] as view:
                return pickle.loads(view)

    def close(self):
        self.block.close()


class ManagerDict:
    """(c) A dict held by a manager process."""

    def __init__(self, manager):
        self.shared = manager.dict()

    def write(self, value):
        self.shared["k"] = value

    def read(self):
        return self.shared["k"]


def batch(peer, value, rounds):
    """Mean seconds of a write followed by a read, over `rounds` of them."""
    start = time.perf_counter()
    for _ in range(rounds):
        peer.write(value)
        peer.read()
    return (time.perf_counter() - start) / rounds


def rounds_for(peer, value, seconds):
    """Checks the peer reads back what it wrote, warms it up, and returns how
    many round trips fill a batch of about `seconds`."""
    peer.write(value)
    if peer.read() != value:
        raise AssertionError(f"{type(peer).__name__} read back another value")
    one = batch(peer, value, 3)
    return max(1, int(seconds / one))


def median_times(peers, value, seconds, repeats):
    """Median microseconds per round trip of each peer, batches interleaved."""
    rounds = [rounds_for(peer, value, seconds) for peer in peers]
    samples = [[] for _ in peers]
    for _ in range(repeats):
        for peer, n, times in zip(peers, rounds, samples):
            times.append(batch(peer, value, n))
    return [statistics.median(times) * 1e6 for times in samples]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter and fewer batches")
    args = parser.parse_args()
    seconds, repeats = (0.03, 3) if args.quick else (0.15, 7)

    tag = f"zbench_slots_{os.getpid()}"
    slot_name, block_name = tag + "_slot", tag + "_block"
    biggest = max(len(pickled(value)) for _, value, _ in VALUES)
    block = shared_memory.SharedMemory(block_name, create=True, size=biggest + LENGTH.size)
    kept = None
    manager = mp.Manager()
    try:
        zelvane.create_memory(slot_name)
        kept = KeptBlock(block_name)
        peers = [("zelvane", Slot(slot_name)), ("(a) fresh shm", FreshBlock(block_name)),
                 ("(b) kept shm+lock", kept), ("(c) Manager dict", ManagerDict(manager))]
        print(f"Python {sys.version.split()[0]}, {len(os.sched_getaffinity(0))} CPUs; "
              "median microseconds per write + read round trip")
        print(f"{'value':<13}" + "".join(f"{label:>19}" for label, _ in peers)
              + "".join(f"{'z/' + label[:3]:>8}" for label, _ in peers[1:]))
        for label, value, targets in VALUES:
            times = median_times([peer for _, peer in peers], value, seconds, repeats)
            ratios = [times[0] / t for t in times[1:]]
            print(f"{label:<13}" + "".join(f"{t:>19.1f}" for t in times)
                  + "".join(f"{r:>8.2f}" for r in ratios), flush=True)
            for (peer_label, _), ratio in zip(peers[1:], ratios):
                record_ratio("slots", label, peer_label, ratio, targets.get(peer_label[:3]))
    finally:
        if kept:
            kept.close()
        block.close()
        block.unlink()
        zelvane.remove_memory(slot_name)
        manager.shutdown()


if __name__ == "__main__":
    main()
