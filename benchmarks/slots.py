"""Value slots side by side with what a Python user would write by hand:
write + read round trips in one process, reads by a forked reader, and the
write alone against one copy into kept memory.

    PYTHONPATH=build/py311 python benchmarks/slots.py [--quick] [--no-huge]

zelvane is measured twice: through the seven functions (z) and through a
handle from open_memory (h). Peers:
  (a) pickle + a SharedMemory block opened and mapped afresh on every access
      (the system calls a slot access made before the mapping cache)
  (b) pickle + the same block kept open, guarded by a multiprocessing.Lock
  (d) msgspec's msgpack + the block kept open behind a Lock (skipped when
      msgspec is not installed)
  (c) multiprocessing.Manager().dict() (small values only)
  copy: the encoded bytes copied once into a kept block (write alone)
Each measurement is a batch of operations lasting about BATCH seconds (at
least one operation); the peers take turns batch by batch, so a busy moment of
the machine falls on all of them alike. Prints medians and zelvane's time as a
ratio of each peer's (below 1 means zelvane is faster). --no-huge leaves out
the 1 GiB values (about 6 GiB of memory at the peak).
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

try:
    import msgspec
except ImportError:
    msgspec = None

MIB = 1 << 20
GIB = 1 << 30
SMALL = [("{'a': 1.5}", {"a": 1.5}), ("int", 123456789)]
MEDIUM = [("100 KB str", "x" * 100_000), ("1 MiB bytes", b"\x5a" * MIB), ("10 MB bytes", b"\x5a" * 10_000_000)]
LARGE = [("100 MiB bytes", 100 * MIB), ("1 GiB bytes", GIB)]
WRITES = [("1 MiB", MIB), ("10 MiB", 10 * MIB), ("100 MiB", 100 * MIB), ("1 GiB", GIB)]
# Largest ratio that meets the goal, by (row kind, zelvane flavour, peer).
TARGETS = {
    ("small", "z", "(b)"): 0.8, ("small", "h", "(b)"): 0.3,
    ("large", "z", "(b)"): 1.0, ("large", "h", "(b)"): 1.0,
    # Write throughput at least 0.7x one copy: a time ratio of at most 1/0.7.
    ("write", "z", "copy"): round(1 / 0.7, 2), ("write", "h", "copy"): round(1 / 0.7, 2),
}


class Handle:
    def __init__(self, name):
        self.name = name
        self.handle = zelvane.open_memory(name)

    def write(self, value):
        self.handle.write(value)

    def read(self):
        return self.handle.read()

    def reopen(self):
        """A handle of this process's own (after a fork)."""
        self.handle = zelvane.open_memory(self.name)


class KeptBlock:
    """(b), (d): the block kept mapped; a multiprocessing.Lock guards it."""

    def __init__(self, name, dumps=pickled, loads=pickle.loads):
        self.block = open_block(name)
        self.lock = mp.Lock()
        self.dumps, self.loads = dumps, loads

    def write(self, value):
        data = self.dumps(value)
        with self.lock:
            LENGTH.pack_into(self.block.buf, 0, len(data))
            self.block.buf[8:8 + len(data)] = data

    def read(self):
        with self.lock:
            (length,) = LENGTH.unpack_from(self.block.buf, 0)
            with self.block.buf[8:8 + length] as view:
                return self.loads(view)

    def close(self):
        self.block.close()


class OneCopy:
    """copy: the write of an encoded value at its least, one copy into the kept block."""

    def __init__(self, block):
        self.block = block

    def write(self, value):
        self.block.buf[8:8 + len(value)] = value


class ManagerDict:
    """(c) A dict held by a manager process."""

    def __init__(self, manager):
        self.shared = manager.dict()

    def write(self, value):
        self.shared["k"] = value

    def read(self):
        return self.shared["k"]


def round_trip(peer, value):
    peer.write(value)
    peer.read()


def read_only(peer, value):
    peer.read()


def write_only(peer, value):
    peer.write(value)


def batch(operation, peer, value, rounds):
    """Mean seconds of one operation, over `rounds` of them."""
    start = time.perf_counter()
    for _ in range(rounds):
        operation(peer, value)
    return (time.perf_counter() - start) / rounds


def median_times(operation, peers, value, seconds, repeats):
    """Median seconds of one operation for each peer, batches interleaved."""
    rounds = []
    for peer in peers:
        operation(peer, value)  # warm up
        rounds.append(max(1, int(seconds / batch(operation, peer, value, 1 if seconds < 0.05 else 3))))
    samples = [[] for _ in peers]
    for _ in range(repeats):
        for peer, n, times in zip(peers, rounds, samples):
            times.append(batch(operation, peer, value, n))
    return [statistics.median(times) for times in samples]


def check_read_back(peers, value):
    for label, peer in peers:
        peer.write(value)
        if peer.read() != value:
            raise AssertionError(f"{label} read back another value")


def forked_reads(peers, value, seconds, repeats):
    """Median read times of each peer in a forked child, after the parent wrote `value`."""
    for _, peer in peers:
        peer.write(value)
    reader, writer = mp.get_context("fork").Pipe(duplex=False)

    def child():
        try:
            for _, peer in peers:
                if isinstance(peer, Handle):
                    peer.reopen()
            for label, peer in peers:
                if peer.read() != value:
                    raise AssertionError(f"{label} read another value in the forked reader")
            writer.send(median_times(read_only, [peer for _, peer in peers], value, seconds, repeats))
        except BaseException as exc:
            writer.send(f"the forked reader failed: {exc!r}")
        writer.close()
    proc = mp.get_context("fork").Process(target=child)
    proc.start()
    try:
        if not reader.poll(600):
            raise RuntimeError("the forked reader did not answer")
        answer = reader.recv()
        if isinstance(answer, str):
            raise RuntimeError(answer)
        return answer
    finally:
        proc.join(60)
        if proc.exitcode is None:
            proc.kill()


def report(kind, row, what, peers, times):
    """Prints one row (microseconds or milliseconds) and notes zelvane's ratios."""
    labels = [label for label, _ in peers]
    ours = [(label, t) for label, t in zip(labels, times) if label[0] in "zh"]
    theirs = [(label, t) for label, t in zip(labels, times) if label[0] not in "zh"]
    scale, unit = (1e3, "ms") if max(times) > 0.01 else (1e6, "us")
    cells = "".join(f"{label.split()[0]} {t * scale:>9.1f}  " for label, t in zip(labels, times))
    ratios = "  ".join(f"{o.split()[0]}/{p.split()[0]} {to / tp:.2f}" for o, to in ours for p, tp in theirs)
    print(f"{row:<14}{what:<12}{unit}: {cells}| {ratios}", flush=True)
    for o, to in ours:
        for p, tp in theirs:
            flavour, peer = o.split()[0], p.split()[0]
            record_ratio("slots", f"{row} {what} {flavour}", p, to / tp, TARGETS.get((kind, flavour, peer)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter and fewer batches")
    parser.add_argument("--no-huge", action="store_true", help="leave out the 1 GiB values")
    args = parser.parse_args()
    seconds, repeats = (0.03, 3) if args.quick else (0.15, 7)
    large = [(label, size) for label, size in LARGE if not (args.no_huge and size >= GIB)]
    writes = [(label, size) for label, size in WRITES if not (args.no_huge and size >= GIB)]

    tag = f"zbench_slots_{os.getpid()}"
    slot_name = tag + "_slot"
    biggest = max([size for _, size in large] + [10_000_000]) + 4096
    # A block for each peer that keeps one, sparse until written.
    blocks = [shared_memory.SharedMemory(f"{tag}_block{i}", create=True, size=biggest + LENGTH.size)
              for i in range(4)]
    kept = []
    manager = mp.Manager()
    try:
        zelvane.create_memory(slot_name)
        slot, handle = Slot(slot_name), Handle(slot_name)
        kept.append(KeptBlock(blocks[0].name))
        peers = [("z functions", slot), ("h handle", handle), ("(a) fresh shm", FreshBlock(blocks[1].name)),
                 ("(b) kept shm+lock", kept[-1])]
        if msgspec is not None:
            kept.append(KeptBlock(blocks[2].name, msgspec.msgpack.encode, msgspec.msgpack.decode))
            peers.append(("(d) msgspec kept+lock", kept[-1]))
        else:
            print("msgspec is not installed: peer (d) skipped")
        managed = peers + [("(c) Manager dict", ManagerDict(manager))]
        print(f"Python {sys.version.split()[0]}, {len(os.sched_getaffinity(0))} CPUs; median time per operation")
        print("peers: " + ", ".join(label for label, _ in managed))
        for label, value in SMALL + MEDIUM:
            check_read_back(managed, value)
            report("small" if (label, value) in SMALL else "medium", label, "write+read", managed,
                   median_times(round_trip, [p for _, p in managed], value, seconds, repeats))
        for label, value in SMALL:
            report("small", label, "forked read", peers, forked_reads(peers, value, seconds, repeats))

        near = [p for p in peers if p[0][:3] in ("z f", "h h", "(b)")]
        for label, size in large:
            value = b"\x5a" * size
            check_read_back(near, value)
            report("large", label, "write+read", near,
                   median_times(round_trip, [p for _, p in near], value, 0, 3 if args.quick else 5))
            report("large", label, "forked read", near, forked_reads(near, value, 0, 3 if args.quick else 5))
            del value

        writers = [("z functions", slot), ("h handle", handle), ("copy into kept block", OneCopy(blocks[3]))]
        for label, size in writes:
            value = b"\x5a" * size
            times = median_times(write_only, [p for _, p in writers], value, seconds, repeats)
            report("write", label, "write", writers, times)
            print(f"{'':<14}{'':<12}GB/s: " + "  ".join(
                f"{lab.split()[0]} {size / t / 1e9:.2f}" for (lab, _), t in zip(writers, times)), flush=True)
            del value
    finally:
        for peer in kept:
            peer.close()
        for block in blocks:
            block.close()
            block.unlink()
        zelvane.remove_memory(slot_name)
        manager.shutdown()


if __name__ == "__main__":
    main()
