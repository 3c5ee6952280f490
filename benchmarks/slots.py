"""Write + read round trips through a zelvane slot, side by side with
pickle over multiprocessing's shared memory and with a Manager dict.

    python benchmarks/slots.py [--quick]

Peers:
  (a) pickle + a SharedMemory block opened and mapped afresh on every access
      (the system calls a slot access makes: open, fstat, mmap, munmap, close)
  (b) pickle + the same block kept open, guarded by a multiprocessing.Lock
  (c) multiprocessing.Manager().dict()
Prints microseconds per round trip and zelvane's time as a ratio of each.
"""
import argparse
import multiprocessing as mp
import os
import pickle
import sys
import time
from multiprocessing import shared_memory

import zelvane
from _common import LENGTH, FreshBlock, Slot, open_block, pickled

VALUES = [
    ("int", 123456789, 20000),
    ("{'a': 1.5}", {"a": 1.5}, 20000),
    ("100 KB str", "x" * 100_000, 2000),
    ("10 MB bytes", b"\x5a" * 10_000_000, 30),
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


def per_round_trip(peer, value, rounds, repeats=3):
    """Best mean time of a write followed by a read, in microseconds."""
    peer.write(value)
    assert peer.read() == value
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(rounds):
            peer.write(value)
            peer.read()
        best = min(best, (time.perf_counter() - start) / rounds)
    return best * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the rounds")
    args = parser.parse_args()
    scale = 10 if args.quick else 1

    tag = f"zbench_{os.getpid()}"
    slot_name, block_name = tag + "_slot", tag + "_block"
    biggest = max(len(pickled(v)) for _, v, _ in VALUES)
    block = shared_memory.SharedMemory(block_name, create=True, size=biggest + 8)
    manager = mp.Manager()
    zelvane.remove_memory(slot_name)
    zelvane.create_memory(slot_name)
    kept = KeptBlock(block_name)
    peers = [("zelvane", Slot(slot_name)), ("(a) fresh shm", FreshBlock(block_name)),
             ("(b) kept shm+lock", kept), ("(c) Manager dict", ManagerDict(manager))]
    try:
        print(f"Python {sys.version.split()[0]}; microseconds per write + read round trip")
        print(f"{'value':<13}" + "".join(f"{label:>19}" for label, _ in peers)
              + f"{'/(a)':>8}{'/(b)':>8}{'/(c)':>8}")
        for label, value, rounds in VALUES:
            rounds = max(3, rounds // scale)
            try:
                zelvane.write_memory(slot_name, value)
            except ValueError as exc:
                print(f"{label:<13}  zelvane cannot encode it yet ({exc})")
                continue
            times = [per_round_trip(peer, value, rounds) for _, peer in peers]
            ratios = [times[0] / t for t in times[1:]]
            print(f"{label:<13}" + "".join(f"{t:>19.1f}" for t in times)
                  + "".join(f"{r:>8.2f}" for r in ratios))
    finally:
        kept.close()
        block.close()
        block.unlink()
        zelvane.remove_memory(slot_name)
        manager.shutdown()


if __name__ == "__main__":
    main()
