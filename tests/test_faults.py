"""Behaviour under hostile conditions a user meets without being hostile: a
full /dev/shm, sparse slots, dying and forking servers, interpreter exit."""
import json
import os
import shutil
import subprocess
import sys

import pytest

from conftest import CHILD_PRELUDE, TIMEOUT

ZELVANE_DIR = os.path.dirname(__import__("zelvane").__file__)

# Runs a script with a private tmpfs of a few megabytes over /dev/shm, so
# that filling it harms nobody and everything it made goes with it.
PRIVATE_SHM = "mount -t tmpfs -o size={size} tmpfs /dev/shm && exec \"$0\" -c \"$1\""


def run_on_small_shm(code, size="4m"):
    if shutil.which("unshare") is None:
        pytest.skip("unshare is not installed")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ZELVANE_DIR, os.environ.get("PYTHONPATH", "")]))
    probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=1m tmpfs /dev/shm"],
                           capture_output=True, text=True, timeout=TIMEOUT)
    if probe.returncode != 0:
        pytest.skip(f"this machine refuses a private mount namespace: {probe.stderr.strip()}")
    return subprocess.run(["unshare", "-m", "sh", "-c", PRIVATE_SHM.format(size=size), sys.executable,
                           CHILD_PRELUDE + code], capture_output=True, text=True, timeout=TIMEOUT, env=env)


FULL_SHM_SCRIPT = r"""
import errno, json, os
import zelvane

results = {}

def attempt(label, call):
    try:
        results[label] = ["ok", repr(call())]
    except MemoryError as exc:
        results[label] = ["MemoryError", str(exc)]

def fill_shm():
    with open("/dev/shm/filler", "wb") as f:
        block = bytes(1 << 16)
        try:
            while True:
                f.write(block)
                f.flush()
        except OSError as exc:
            assert exc.errno == errno.ENOSPC, exc

big = b"x" * (32 << 20)
attempt("new_big", lambda: zelvane.write_memory("new_big", big))

zelvane.write_memory("grow", "before")
attempt("grow", lambda: zelvane.write_memory("grow", big))
results["grow_after"] = zelvane.read_memory("grow")

zelvane.create_memory("prealloc", 64 << 20)
zelvane.write_memory("prealloc", [1, 2, 3])
attempt("prealloc", lambda: zelvane.write_memory("prealloc", b"y" * (8 << 20)))
results["prealloc_after"] = zelvane.read_memory("prealloc")

made = 0
try:
    while made < 100000:
        zelvane.write_memory(f"many{made}", b"z" * 3000)
        made += 1
except MemoryError as exc:
    results["many"] = str(exc)
for i in range(made):
    zelvane.remove_memory(f"many{i}")

fill_shm()
attempt("small_write", lambda: zelvane.write_memory("small", 1))
attempt("create", lambda: zelvane.create_memory("created", 100))
attempt("function", lambda: zelvane.create_function("func", print))
results["left"] = sorted(os.listdir("/dev/shm"))
print(json.dumps(results))
"""


@pytest.mark.timeout(300)
def test_full_shm_raises_memory_error_and_keeps_previous_values():
    proc = run_on_small_shm(FULL_SHM_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout)
    allocate = "Failed to allocate for shared memory address '{}'."
    # A new slot is created empty, then grown for the value.
    assert results["new_big"] == ["MemoryError", "Failed to resize shared memory."]
    assert results["grow"] == ["MemoryError", "Failed to resize shared memory."]
    assert results["grow_after"] == "before"
    assert results["prealloc"] == ["MemoryError", allocate.format("prealloc")]
    assert results["prealloc_after"] == [1, 2, 3]
    assert results["many"].startswith("Failed to")
    assert results["small_write"] == ["MemoryError", allocate.format("small")]
    assert results["create"] == ["MemoryError", allocate.format("created")]
    assert results["function"] == ["MemoryError", allocate.format("func")]
    # A creation refused for space leaves nothing behind.
    assert "created" not in results["left"] and "func" not in results["left"]


SPARSE_SCRIPT = r"""
import json, os
import zelvane
name = {name!r}
path = "/dev/shm/" + name
blocks = lambda: os.stat(path).st_blocks * 512
zelvane.create_memory(name, {capacity})
seen = {{"created": blocks()}}
try:
    zelvane.read_memory(name)
except ValueError as exc:
    seen["read_error"] = str(exc)
seen["after_read"] = blocks()
zelvane.write_memory(name, 5)
seen["after_write"] = blocks()
seen["read_back"] = zelvane.read_memory(name)
seen["after_second_read"] = blocks()
print(json.dumps(seen))
"""


@pytest.mark.timeout(120)
@pytest.mark.parametrize("capacity", [200 << 20, 1 << 40, 1 << 46])
def test_reads_and_small_writes_leave_a_sparse_slot_sparse(shm_name, capacity):
    from conftest import run_python
    name = shm_name("sparse")
    proc = run_python(CHILD_PRELUDE + SPARSE_SCRIPT.format(name=name, capacity=capacity))
    assert proc.returncode == 0, proc.stderr
    seen = json.loads(proc.stdout)
    assert seen["read_error"] == "Likely received an invalid bytes object: invalid protocol marker."
    assert seen["read_back"] == 5
    for stage in ("created", "after_read", "after_write", "after_second_read"):
        assert seen[stage] <= 64 << 10, (stage, seen)
