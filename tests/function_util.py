"""Raw access to a hosted function's record, to check its bytes and to play a
caller (or a process that dies holding the lock) by hand."""
import contextlib
import ctypes
import mmap
import os
import struct

from conftest import shm_path, wait_until

RECORD_SIZE = 1168
ACTIVITY = 136
CALL_WORD = 140
AREA = 144
AREA_SIZE = 1024
IDLE, POSTED, EXECUTING, REPLIED, ABANDONED = 0, 1, 2, 3, 4
STOP, ENDED = 1 << 24, 1 << 25

NULL_REPLY = ("Received a NULL message from the function. This is likely because the function "
              "returned arguments of too large size.")

_libc = ctypes.CDLL(None, use_errno=True)
EOWNERDEAD = 130


class RawRecord:
    def __init__(self, name):
        fd = os.open(shm_path(name), os.O_RDWR)
        try:
            self.mm = mmap.mmap(fd, RECORD_SIZE)
        finally:
            os.close(fd)
        self._anchor = ctypes.c_char.from_buffer(self.mm)
        self.mutex = ctypes.addressof(self._anchor)

    def close(self):
        del self._anchor
        self.mm.close()

    def word(self):
        return struct.unpack_from("<I", self.mm, CALL_WORD)[0]

    def set_word(self, value):
        struct.pack_into("<I", self.mm, CALL_WORD, value)

    def activity(self):
        return self.mm[ACTIVITY]

    def lock(self):
        rc = _libc.pthread_mutex_lock(ctypes.c_void_p(self.mutex))
        if rc == EOWNERDEAD:
            rc = _libc.pthread_mutex_consistent(ctypes.c_void_p(self.mutex))
        assert rc == 0, rc

    def unlock(self):
        assert _libc.pthread_mutex_unlock(ctypes.c_void_p(self.mutex)) == 0

    @contextlib.contextmanager
    def locked(self):
        self.lock()
        try:
            yield
        finally:
            self.unlock()

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
