"""Peak resident memory of writing a 256 MiB bytes value to a slot and of
reading it back, each in a fresh process, through the functions and through
a handle, beside pickle into a kept SharedMemory block.

    PYTHONPATH=build/py311 python benchmarks/memory.py

The writer's baseline is its peak after the value exists, the reader's its
peak after opening the slot; the figure is the rise of the peak (getrusage
maxrss, the pages of shared memory it touched included) divided by the
value's size. A read's rise cannot be below 2.0 for any reader of shared
memory: the pages it reads, and the new bytes object it returns.
"""
import json
import os
import subprocess
import sys
from multiprocessing import shared_memory

import zelvane
from _common import LENGTH, record_ratio

SIZE = 256 << 20
WRITE_TARGET = 1.1

PRELUDE = """
import json, pickle, resource, sys, zelvane
sys.path.insert(0, {here!r})
from _common import LENGTH, open_block
def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
SLOT, SIZE, HOW = sys.argv[1], int(sys.argv[2]), sys.argv[3]
""".format(here=os.path.dirname(os.path.abspath(__file__)))
WRITER = PRELUDE + """
value = b"\\x5a" * SIZE
if HOW == "handle":
    handle = zelvane.open_memory(SLOT)
    write = handle.write
elif HOW == "functions":
    write = lambda v: zelvane.write_memory(SLOT, v)
else:
    block = open_block(SLOT)
    def write(v):
        data = pickle.dumps(v, protocol=pickle.HIGHEST_PROTOCOL)
        LENGTH.pack_into(block.buf, 0, len(data))
        block.buf[8:8 + len(data)] = data
before = peak()
write(value)
print(json.dumps([before, peak()]))
"""
READER = PRELUDE + """
if HOW == "handle":
    handle = zelvane.open_memory(SLOT)
    read = handle.read
elif HOW == "functions":
    read = lambda: zelvane.read_memory(SLOT)
else:
    block = open_block(SLOT)
    def read():
        (length,) = LENGTH.unpack_from(block.buf, 0)
        with block.buf[8:8 + length] as view:
            return pickle.loads(view)
before = peak()
value = read()
after = peak()
assert value == b"\\x5a" * SIZE, "read back another value"
print(json.dumps([before, after]))
"""


def peaks(script, name, how):
    """(peak before, peak after) in bytes, from a fresh interpreter."""
    done = subprocess.run([sys.executable, "-c", script, name, str(SIZE), how],
                          capture_output=True, text=True, timeout=300)
    if done.returncode:
        raise RuntimeError(f"the measuring process failed:\n{done.stderr}")
    return json.loads(done.stdout)


def main():
    tag = f"zbench_memory_{os.getpid()}"
    mib = 1 << 20
    block = shared_memory.SharedMemory(tag + "_block", create=True, size=SIZE + 4096 + LENGTH.size)
    print(f"peak resident memory for a {SIZE // mib} MiB bytes value (MiB)")
    print(f"{'step':<7}{'through':<11}{'before':>9}{'after':>9}{'rise':>9}{'rise/size':>11}")
    try:
        for how in ("functions", "handle", "pickle+block"):
            # A fresh slot each time, so that every write gives it its pages anew.
            name = block.name if how == "pickle+block" else f"{tag}_{how}"
            for step, script in (("write", WRITER), ("read", READER)):
                before, after = peaks(script, name, how)
                ratio = (after - before) / SIZE
                print(f"{step:<7}{how:<11}{before / mib:>9.1f}{after / mib:>9.1f}{(after - before) / mib:>9.1f}"
                      f"{ratio:>11.2f}", flush=True)
                if how != "pickle+block":
                    record_ratio("memory", f"256 MiB {step} {how}", "value size", ratio,
                                 WRITE_TARGET if step == "write" else None)
            if how != "pickle+block":
                zelvane.remove_memory(name)
    finally:
        block.close()
        block.unlink()


if __name__ == "__main__":
    main()
