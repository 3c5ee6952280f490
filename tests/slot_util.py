"""Helpers for slot tests that need another process, or a slot's mutex taken
by hand (to play a process that holds it, or dies holding it)."""
import ctypes
import mmap
import os
import subprocess
import sys

from conftest import HEADER_SIZE, shm_path

MUTEX_OFFSET = 8

_libc = ctypes.CDLL(None, use_errno=True)
_libc.pthread_mutex_lock.argtypes = [ctypes.c_void_p]
_libc.pthread_mutex_unlock.argtypes = [ctypes.c_void_p]


class SlotMutex:
    """The mutex of slot `name`, locked and unlocked through a mapping of its
    own (kept until close, as a held robust mutex requires)."""

    def __init__(self, name):
        fd = os.open(shm_path(name), os.O_RDWR)
        try:
            self._map = mmap.mmap(fd, HEADER_SIZE)
        finally:
            os.close(fd)
        self._cell = ctypes.c_char.from_buffer(self._map, MUTEX_OFFSET)
        self._address = ctypes.addressof(self._cell)

    def lock(self):
        return _libc.pthread_mutex_lock(self._address)

    def unlock(self):
        return _libc.pthread_mutex_unlock(self._address)

    def close(self):
        del self._cell
        self._map.close()


def spawn_python(code):
    """Starts `code` in a fresh interpreter with pipes on stdin and stdout."""
    return subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ))


def wait_for_line(proc, expected, timeout=60):
    """Reads the child's next line, which must be `expected`; the child is
    killed (and its stderr shown) when it is not."""
    import select
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    line = proc.stdout.readline().strip() if ready else "<timeout>"
    if line != expected:
        proc.kill()
        _, err = proc.communicate(timeout=timeout)
        raise AssertionError(f"child said {line!r}, expected {expected!r}; stderr:\n{err}")


# Lets a child interpreter import these helpers.
CHILD_PRELUDE = f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n"
