"""Peak resident memory of writing a 100 MiB bytes value to a slot and of
reading it back, each in a fresh process.

    PYTHONPATH=build/py311 python benchmarks/memory.py

The writer's baseline is its peak after the value exists, the reader's its
peak after importing zelvane; the figure is the rise of the peak
(getrusage maxrss, shared pages included) divided by the value's size.
"""
import json
import os
import subprocess
import sys

import zelvane
from _common import record_ratio

SIZE = 100 << 20
TARGET = 2.2

PRELUDE = """
import json, resource, sys, zelvane
def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
SLOT, SIZE = sys.argv[1], int(sys.argv[2])
"""
WRITER = PRELUDE + """
value = b"\\x5a" * SIZE
before = peak()
zelvane.write_memory(SLOT, value)
print(json.dumps([before, peak()]))
"""
READER = PRELUDE + """
before = peak()
value = zelvane.read_memory(SLOT)
after = peak()
assert value == b"\\x5a" * SIZE, "read back another value"
print(json.dumps([before, after]))
"""


def peaks(script, slot):
    """(peak before, peak after) in bytes, from a fresh interpreter."""
    done = subprocess.run([sys.executable, "-c", script, slot, str(SIZE)],
                          capture_output=True, text=True, timeout=120)
    if done.returncode:
        raise RuntimeError(f"the measuring process failed:\n{done.stderr}")
    return json.loads(done.stdout)


def main():
    slot = f"zbench_memory_{os.getpid()}"
    mib = 1 << 20
    print(f"peak resident memory for a {SIZE // mib} MiB bytes value (MiB)")
    print(f"{'step':<7}{'before':>9}{'after':>9}{'rise':>9}{'rise/size':>11}")
    try:
        for step, script in (("write", WRITER), ("read", READER)):
            before, after = peaks(script, slot)
            ratio = (after - before) / SIZE
            print(f"{step:<7}{before / mib:>9.1f}{after / mib:>9.1f}{(after - before) / mib:>9.1f}"
                  f"{ratio:>11.2f}")
            record_ratio("memory", f"100 MiB {step}", "value size", ratio, TARGET)
    finally:
        zelvane.remove_memory(slot)


if __name__ == "__main__":
    main()
