"""Shared arrays beside their peers, in one run:

1. attaching to an existing 1 GiB array from another process and making a
   numpy view, beside SharedMemory(name) plus numpy.ndarray(buffer=...), with
   the attaching process's resident memory before and after;
2. a numpy reduction (sum) over a shared 1 GiB array, beside the same over
   the same pages mapped through SharedMemory(name) and over a private array;
3. handing a 100 MiB array to another process (it has a numpy view of it, or
   the array itself, and has read one element): through a shared array
   (already shared, copied into an existing one, or made and filled for the
   hand-over), beside pickling it through a multiprocessing.Pipe and
   write_memory of its bytes (into a kept slot) plus numpy.frombuffer.

    PYTHONPATH=build/py311 python benchmarks/arrays.py
"""
import os
import subprocess
import sys
import time
from multiprocessing import Pipe, Process

import numpy as np

import zelvane
from _common import open_block, record_ratio

GIB = 1 << 30
HAND_SIZE = 100 << 20
HERE = os.path.dirname(os.path.abspath(__file__))


def best(run, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


ATTACHER = """
import sys, time, numpy as np, zelvane
sys.path.insert(0, {here!r})
from _common import open_block
array_name, block_name, repeat = sys.argv[1], sys.argv[2], int(sys.argv[3])

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

def attach_array():
    handle = zelvane.open_array(array_name)
    view = np.asarray(handle)
    return [handle, view]

def attach_block():
    block = open_block(block_name)
    view = np.ndarray((1 << 27,), dtype=np.float64, buffer=block.buf)
    return [block, view]

def best(attach, release):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        kept = attach()
        times.append(time.perf_counter() - start)
        release(kept)
        del kept
    return min(times)

# Each release unmaps before the next attach is timed.
def release_array(kept):
    del kept[1]
    kept[0].close()

def release_block(kept):
    del kept[1]
    kept[0].close()

before = resident()
kept = attach_array()
after = resident()
kept[1][::1 << 17].sum()  # touches 1024 of its 262,144 pages
touched = resident()
release_array(kept)
del kept
print(best(attach_array, release_array), best(attach_block, release_block), before, after, touched)
"""


def bench_attach(repeat=200):
    array_name, block_name = f"bench_arr_{os.getpid()}", f"bench_blk_{os.getpid()}"
    handle = zelvane.open_array(array_name, (1 << 27,), "d")
    block = open_block_created(block_name, GIB)
    try:
        np.asarray(handle)[:] = 1.0
        np.ndarray((1 << 27,), dtype=np.float64, buffer=block.buf)[:] = 1.0
        out = subprocess.run([sys.executable, "-c", ATTACHER.format(here=HERE), array_name, block_name,
                              str(repeat)], capture_output=True, text=True).stdout
        array_time, block_time, before, after, touched = map(float, out.split())
        ratio = array_time / block_time
        print(f"attach 1 GiB + numpy view:  zelvane {array_time * 1e6:8.1f} us   "
              f"SharedMemory+ndarray {block_time * 1e6:8.1f} us   ratio {ratio:.3f} (target <= 1.0)")
        print(f"  attacher's resident memory: {before / 2**20:.1f} MiB before, {after / 2**20:.1f} MiB "
              f"after attaching, {touched / 2**20:.1f} MiB after touching 1024 pages")
        record_ratio("arrays", "attach 1 GiB", "SharedMemory+ndarray", ratio, 1.0)
    finally:
        handle.close()
        zelvane.remove_memory(array_name)
        block.close()
        block.unlink()


def open_block_created(name, size):
    from multiprocessing import shared_memory
    return shared_memory.SharedMemory(name, create=True, size=size)


def private_without_huge_pages(size):
    """A private array on ordinary 4 KiB pages, as shared memory here has
    them: numpy asks for transparent huge pages for large arrays."""
    from numpy._core import multiarray
    before = multiarray._set_madvise_hugepage(False)
    try:
        return np.empty(size)
    finally:
        multiarray._set_madvise_hugepage(before)


def same_pages(name, like):
    """The block of the array `name` opened as a SharedMemory, and a numpy
    view of its data: the same pages as the array's own view `like`."""
    block = open_block(name)
    offset = block.size - like.nbytes  # the data ends the object
    return block, np.ndarray(like.shape, dtype=like.dtype, buffer=block.buf, offset=offset)


def bench_reduction(repeat=9):
    name = f"bench_red_{os.getpid()}"
    handle = zelvane.open_array(name, (1 << 27,), "d")
    block = None
    try:
        arrays = {"shared": np.asarray(handle), "private": np.empty(1 << 27),
                  "private, 4 KiB pages": private_without_huge_pages(1 << 27)}
        for array in arrays.values():
            array[:] = np.arange(1 << 27) % 1000
        block, arrays["SharedMemory, same pages"] = same_pages(name, arrays["shared"])
        arrays["SharedMemory, same pages"].sum()  # its mapping's pages faulted in, as the array's are
        # The peers take turns, so that a busy moment of the machine falls on all of them alike.
        rounds = [{kind: best(array.sum, 1) for kind, array in arrays.items()} for _ in range(repeat)]
        times = {kind: min(run[kind] for run in rounds) for kind in arrays}
        print("sum over 1 GiB:             " + "   ".join(f"{k} {v * 1e3:.1f} ms" for k, v in times.items()))
        for peer in ("SharedMemory, same pages", "private", "private, 4 KiB pages"):
            ratio = times[peer] / times["shared"]
            target = 0.95 if peer.startswith("SharedMemory") else None
            print(f"  speed beside {peer}: {ratio:.3f}" + (f" (target >= {target})" if target else ""))
            record_ratio("arrays", "sum 1 GiB (speed)", peer, ratio, None)
    finally:
        arrays.clear()
        handle.close()
        zelvane.remove_memory(name)
        if block is not None:
            block.close()


def consumer(conn):
    """Takes each hand-over and answers with the first element it finds."""
    while True:
        how, name = conn.recv()
        if how == "stop":
            return
        if how == "array":
            view = np.asarray(zelvane.open_array(name))
        elif how == "pipe":
            view = conn.recv()
        else:
            view = np.frombuffer(zelvane.read_memory(name), dtype=np.float64)
        conn.send(float(view[0]))
        del view


def bench_hand_over(repeat=15):
    data = np.arange(HAND_SIZE // 8, dtype=np.float64)
    shared_name, fresh_name, slot_name = (f"bench_{kind}_{os.getpid()}" for kind in ("sh", "fr", "sl"))
    shared = zelvane.open_array(shared_name, data.shape, data.dtype)
    np.asarray(shared)[:] = data
    ours, theirs = Pipe()
    child = Process(target=consumer, args=(theirs,))
    child.start()

    def ask(how, name):
        ours.send((how, name))

    def already_shared():
        ask("array", shared_name)
        assert ours.recv() == 0.0

    def made_and_filled():
        handle = zelvane.open_array(fresh_name, data.shape, data.dtype)
        np.asarray(handle)[:] = data
        ask("array", fresh_name)
        assert ours.recv() == 0.0
        handle.close()
        zelvane.remove_memory(fresh_name)

    def refilled():
        with shared.lock():
            np.copyto(np.asarray(shared), data)
        ask("array", shared_name)
        assert ours.recv() == 0.0

    def pipe():
        ask("pipe", "")
        ours.send(data)
        assert ours.recv() == 0.0

    def slot():
        zelvane.write_memory(slot_name, memoryview(data).cast("B"))
        ask("slot", slot_name)
        assert ours.recv() == 0.0

    try:
        times = {run.__name__: best(run, repeat) for run in (already_shared, refilled, made_and_filled, pipe, slot)}
    finally:
        ask("stop", "")
        child.join()
        shared.close()
        zelvane.remove_memory(shared_name)
        zelvane.remove_memory(slot_name)
    print("hand over 100 MiB:          " + "   ".join(f"{k} {v * 1e3:.3f} ms" for k, v in times.items()))
    for run in ("already_shared", "refilled", "made_and_filled"):
        to_pipe = times[run] / times["pipe"]
        to_slot = times[run] / times["slot"]
        print(f"  {run}: {to_pipe:.4f}x the Pipe (target <= 0.05), {to_slot:.4f}x write_memory + "
              f"frombuffer (target <= 0.1)")
        record_ratio("arrays", f"hand over 100 MiB, {run}", "Pipe", to_pipe, 0.05)
        record_ratio("arrays", f"hand over 100 MiB, {run}", "write_memory", to_slot, 0.1)


if __name__ == "__main__":
    bench_attach()
    bench_reduction()
    bench_hand_over()
