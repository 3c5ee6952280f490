"""Regressions found in review of the module's bridge code."""
import os

import pytest

from codec_util import encoded
from conftest import CHILD_PRELUDE, run_python, shm_path

import zelvane

# sys.stdout whose first flush raises `exc`; everything else reaches the real one.
FAILING_FLUSH = """
class Out:
    def __init__(self, real):
        self.real, self.armed = real, True
    def write(self, text):
        return self.real.write(text)
    def flush(self):
        if self.armed:
            self.armed = False
            raise {exc}
        self.real.flush()
sys.stdout = Out(sys.stdout)
"""


@pytest.mark.parametrize("exc, outcome", [
    ("KeyboardInterrupt", "raised KeyboardInterrupt \n"),
    ("OSError('closed')", "returned None\n"),
])
def test_interrupt_while_flushing_the_stop_line_is_not_lost(serve, exc, outcome):
    server = serve("lambda: 1", setup=FAILING_FLUSH.format(exc=exc))
    assert zelvane.remove_function(server.name) is True
    code, out = server.finish()
    assert out == "read\n" + outcome
    assert code == (3 if outcome.startswith("raised") else 0)
    assert not os.path.exists(shm_path(server.name))


# A reader that passed the unlocked kind check waits for the mutex while the
# holder leaves a capacity of 2**64 - 1 behind: the capacity must not wrap
# around when it is compared with the mapping, or the payload (a bytes value
# claiming a megabyte) is read far past the object.
CORRUPT_WHILE_LOCKED = CHILD_PRELUDE + """
import os, struct, threading, time, zelvane
from conftest import shm_path
from shm_util import SLOT_MUTEX, MappedMutex
name, prefix = {name!r}, bytes.fromhex({prefix!r})
zelvane.write_memory(name, "a value long enough to hold the prefix")
slot = MappedMutex(name, os.path.getsize(shm_path(name)), SLOT_MUTEX)
assert slot.lock() == 0
outcome = []
def read():
    try:
        outcome.append(repr(zelvane.read_memory(name))[:40])
    except BaseException as exc:
        outcome.append(type(exc).__name__ + ": " + str(exc))
reader = threading.Thread(target=read)
reader.start()
time.sleep(0.5)
slot.mm[48:48 + len(prefix)] = prefix
struct.pack_into("<Q", slot.mm, 0, 2**64 - 1)
assert slot.unlock() == 0
reader.join(60)
print(outcome[0])
"""


def test_corrupt_capacity_never_wraps(shm_name):
    name = shm_name()
    megabyte = b"x" * (1 << 20)
    prefix = encoded(shm_name(), megabyte)[:-len(megabyte)]
    done = run_python(CORRUPT_WHILE_LOCKED.format(name=name, prefix=prefix.hex()))
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"MemoryError: The shared memory address '{name}' does not hold a value slot.\n"
