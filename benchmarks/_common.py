"""What the benchmarks share: a value slot, a pickled (or otherwise
encoded) value in a SharedMemory block opened afresh on every access, as a
slot is, and the ratios that benchmarks/run.sh gathers into one table."""
import os
import pickle
import struct
import sys
from multiprocessing import shared_memory

import zelvane

LENGTH = struct.Struct("<Q")

if sys.version_info < (3, 13):
    # Attaching to a block registers it with the resource tracker (a message
    # to another process, and an unlink at exit); a slot access does no such
    # thing, so the comparison leaves it out. The benchmarks unlink their
    # blocks themselves.
    shared_memory.resource_tracker.register = lambda *args: None
    shared_memory.resource_tracker.unregister = lambda *args: None


def record_ratio(bench, row, peer, ratio, target=None):
    """Notes zelvane/peer for run.sh's summary (a line in the file named by
    ZELVANE_BENCH_RATIOS; nothing when run alone). `target` is the largest
    ratio that meets the goal, if there is one."""
    path = os.environ.get("ZELVANE_BENCH_RATIOS")
    if path:
        with open(path, "a") as f:
            f.write(f"{bench}\t{row}\t{peer}\t{ratio:.4g}\t{'' if target is None else target}\n")


def open_block(name):
    if sys.version_info >= (3, 13):
        return shared_memory.SharedMemory(name, track=False)
    return shared_memory.SharedMemory(name)


def pickled(value):
    return pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)


class Slot:
    def __init__(self, name):
        self.name = name

    def write(self, value):
        zelvane.write_memory(self.name, value)

    def read(self):
        return zelvane.read_memory(self.name)


class FreshBlock:
    """A value's bytes behind their length in a block opened and mapped on
    every access."""

    def __init__(self, name, dumps=pickled, loads=pickle.loads):
        self.name, self.dumps, self.loads = name, dumps, loads

    def write(self, value):
        data = self.dumps(value)
        block = open_block(self.name)
        try:
            LENGTH.pack_into(block.buf, 0, len(data))
            block.buf[8:8 + len(data)] = data
        finally:
            block.close()

    def read(self):
        block = open_block(self.name)
        try:
            (length,) = LENGTH.unpack_from(block.buf, 0)
            with block.buf[8:8 + length] as view:
                return self.loads(view)
        finally:
            block.close()


def print_summary(path):
    """The table of every ratio record_ratio noted in `path`."""
    with open(path) as f:
        rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    widths = [max([len(heading)] + [len(row[i]) for row in rows])
              for i, heading in enumerate(("benchmark", "row", "peer"))]
    print(f"{'benchmark':<{widths[0]}}  {'row':<{widths[1]}}  {'peer':<{widths[2]}}"
          "  zelvane/peer  target")
    for bench, row, peer, ratio, target in rows:
        verdict = ""
        if target:
            verdict = f"<= {target}  " + ("met" if float(ratio) <= float(target) else "MISSED")
        shown = f"{float(ratio):.2f}" if float(ratio) >= 0.1 else f"{float(ratio):.2g}"
        print(f"{bench:<{widths[0]}}  {row:<{widths[1]}}  {peer:<{widths[2]}}"
              f"  {shown:>12}  {verdict}")
