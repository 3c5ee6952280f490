"""The process-shared mutex of a slot or a hosted function's record, taken by
hand (to play a process that holds it, or dies holding it), and raw access to
a record's call word and area (to play a caller)."""
import contextlib
import ctypes
import mmap
import os
import struct

import zelvane

from conftest import HEADER_SIZE, shm_path, wait_until

SLOT_MUTEX = 8
RECORD_SIZE = 1168
ACTIVITY = 136
CALL_WORD = 140
AREA = 144
AREA_SIZE = 1024
IDLE, POSTED, EXECUTING, REPLIED, ABANDONED = 0, 1, 2, 3, 4
ENDED = 1 << 25
EOWNERDEAD = 130

NULL_REPLY = ("Received a NULL message from the function. This is likely because the function "
              "returned arguments of too large size.")

_libc = ctypes.CDLL(None, use_errno=True)
_libc.pthread_mutex_lock.argtypes = [ctypes.c_void_p]
_libc.pthread_mutex_unlock.argtypes = [ctypes.c_void_p]
_libc.pthread_mutex_consistent.argtypes = [ctypes.c_void_p]


class MappedMutex:
    """The mutex at `offset` of the object `name`, locked and unlocked through
    a mapping of its own (kept until close, as a held robust mutex requires)."""

    def __init__(self, name, length, offset):
        fd = os.open(shm_path(name), os.O_RDWR)
        try:
            self.mm = mmap.mmap(fd, length)
        finally:
            os.close(fd)
        self._cell = ctypes.c_char.from_buffer(self.mm, offset)
        self._address = ctypes.addressof(self._cell)

    def lock(self):
        return _libc.pthread_mutex_lock(self._address)

    def unlock(self):
        return _libc.pthread_mutex_unlock(self._address)

    def close(self):
        del self._cell
        self.mm.close()


def SlotMutex(name):
    return MappedMutex(name, HEADER_SIZE, SLOT_MUTEX)


class RawRecord(MappedMutex):
    def __init__(self, name):
        super().__init__(name, RECORD_SIZE, 0)

    def word(self):
        return struct.unpack_from("<I", self.mm, CALL_WORD)[0]

    def set_word(self, value):
        struct.pack_into("<I", self.mm, CALL_WORD, value)

    def activity(self):
        return self.mm[ACTIVITY]

    @contextlib.contextmanager
    def locked(self):
        rc = self.lock()
        if rc == EOWNERDEAD:
            rc = _libc.pthread_mutex_consistent(self._address)
        assert rc == 0, rc
        try:
            yield
        finally:
            assert self.unlock() == 0

    def post(self, data):
        """Posts `data` as a request, the way a caller does; returns its number."""
        def idle():
            with self.locked():
                return self.word() & 0xff == IDLE
        wait_until(idle, what="an idle record")
        with self.locked():
            self.mm[AREA:AREA + len(data)] = data
            number = ((self.word() >> 8) + 1) & 0xffff
            self.set_word((self.word() & 0xff000000) | number << 8 | POSTED)
        return number

    def collect(self, number):
        """Waits for the reply to request `number`; returns the whole area."""
        expected = number << 8 | REPLIED

        def replied():
            with self.locked():
                return self.word() & 0xffffff == expected
        wait_until(replied, what="the reply")
        with self.locked():
            area = bytes(self.mm[AREA:AREA + AREA_SIZE])
            self.set_word(self.word() & ~0xff)
        return area


def pool_servers(name):
    """How many servers serve the pool `name` (0 when it is gone)."""
    try:
        fd = os.open(shm_path(name), os.O_RDONLY)
    except FileNotFoundError:
        return 0
    try:
        return zelvane._pool_servers(fd)
    finally:
        os.close(fd)
