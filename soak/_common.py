"""Helpers shared by the soak scripts: checksummed values, values that a
thread keeps changing, resident memory, children that die with their
parent, and removal of every name a run made."""
import ctypes
import os
import signal
import threading
import time
import zlib

SHM_DIR = "/dev/shm"
PR_SET_PDEATHSIG = 1


def shm_path(name):
    return os.path.join(SHM_DIR, name.lstrip("/"))


def rss_kb():
    """Resident memory of this process in KiB, from /proc/self/statm."""
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE") // 1024


def die_with_parent():
    """A child of a soak must not outlive it (a soak killed with SIGKILL
    would otherwise leave its fleet looping for ever)."""
    parent = os.getppid()
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    # The parent may have died before prctl took effect.
    if os.getppid() != parent:
        os._exit(1)


def remove_names(prefix):
    """Unlinks every object in /dev/shm whose name starts with `prefix`;
    returns how many there were. Every name a soak makes starts with
    "zsoak_<its pid>_", so a soak killed before its own cleanup can be
    cleaned up after."""
    removed = 0
    for entry in os.listdir(SHM_DIR):
        if entry.startswith(prefix):
            try:
                os.unlink(os.path.join(SHM_DIR, entry))
                removed += 1
            except FileNotFoundError:
                pass
    return removed


def names_with_prefix(prefix):
    return sorted(entry for entry in os.listdir(SHM_DIR) if entry.startswith(prefix))


# A checksummed value: (writer id, sequence number, payload, crc32 of all three).
# The payload's kind varies with the sequence number so that several encoder
# and decoder paths carry it.
def _payload_digest(payload):
    if isinstance(payload, (bytes, str)):
        data = payload.encode() if isinstance(payload, str) else payload
    else:
        data = repr(payload).encode()
    return zlib.crc32(data)


def make_value(writer, seq, size, rng, kind=None):
    kind = seq % 4 if kind is None else kind
    if kind == 0:
        payload = rng.randbytes(size)
    elif kind == 1:
        payload = "".join(chr(97 + (seq + i) % 26) for i in range(min(size, 4096))) * max(1, size // 4096)
    elif kind == 2:
        payload = [seq + i for i in range(max(1, size // 8))]
    else:
        payload = {"n": seq, "blob": rng.randbytes(max(0, size - 16))}
    crc = zlib.crc32(f"{writer}:{seq}:".encode(), _payload_digest(payload))
    return (writer, seq, payload, crc)


def check_value(value):
    """(writer, seq) of a checksummed value, or None when `value` is not one
    exactly as written (a torn or foreign value)."""
    if type(value) is not tuple or len(value) != 4:
        return None
    writer, seq, payload, crc = value
    if type(writer) is not str or type(seq) is not int or type(crc) is not int:
        return None
    if not isinstance(payload, (bytes, str, list, dict)):
        return None
    if zlib.crc32(f"{writer}:{seq}:".encode(), _payload_digest(payload)) != crc:
        return None
    return writer, seq


def is_decoder_error(exc):
    """A value torn by a killed writer fails to decode with one of these."""
    return isinstance(exc, ValueError) and str(exc).startswith("Likely received an invalid bytes object")


def sanitizer_report(text):
    """Whether a child's stderr holds a sanitizer's report (the undefined
    behaviour sanitizer reports and goes on)."""
    return "runtime error:" in text or "Sanitizer" in text


def interrupt_on_sigterm():
    """SIGTERM (a CI timeout) and Ctrl-C end a soak the same way, through
    its cleanup; a soak started in the background would ignore SIGINT."""
    def interrupt(*_):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, interrupt)
    signal.signal(signal.SIGINT, interrupt)


class Changing:
    """Mutable values that a thread of their own keeps changing, each from
    one consistent state to another: a run of consecutive ints, a bytearray
    of one repeated byte, a list holding one str of one repeated letter.
    Calls carry them as arguments and results while they change, so an
    encoding that reads one across a change, or reads freed memory, shows
    as a value that is not consistent (or as a crash)."""

    def __init__(self, rng, max_items):
        self.rng = rng
        self.max_items = max_items
        self.ints = [0]
        self.blob = bytearray(b"a")
        self.texts = ["a"]
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._keep_changing, daemon=True)

    def pick(self, number):
        return (self.ints, self.blob, self.texts)[number % 3]

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.stopping.set()
        self.thread.join()

    def _keep_changing(self):
        while not self.stopping.is_set():
            self.change_one()
            # Queued for the GIL again at once: it runs whenever a call lets go of it.
            time.sleep(0)

    def change_one(self):
        rng = self.rng
        n = rng.randrange(1, self.max_items)
        letter = rng.randrange(26)
        kind = rng.randrange(3)
        if kind == 0:
            start = rng.randrange(1 << 40)
            # Emptied first, so that the item array is given back.
            self.ints.clear()
            self.ints.extend(range(start, start + n))
        elif kind == 1:
            self.blob.clear()
            self.blob.extend(bytes([97 + letter]) * (8 * n))
        else:
            self.texts[0] = chr(97 + letter) * (8 * n)


def consistent(value):
    """Whether `value` is one state of a Changing value, whole (the list of
    ints and the bytearray may be caught empty, between clearing and refill)."""
    if type(value) is bytearray:
        return not value or value.count(value[:1]) == len(value)
    if type(value) is not list:
        return False
    if not value:
        return True
    if type(value[0]) is str:
        text = value[0]
        return len(value) == 1 and len(text) > 0 and text.count(text[0]) == len(text)
    return type(value[0]) is int and value == list(range(value[0], value[0] + len(value)))


def changed_reply_fault(reply, head, sent):
    """None when `reply` answers a call whose argument `sent` kept changing
    as the soaks' servers do: `head` (what names the call), the argument as
    the server got it and a changing value of the server's own, both whole.
    Else the fault: "misdelivered" or "torn"."""
    n = len(head)
    if type(reply) is not tuple or len(reply) != n + 2 or reply[:n] != head:
        return "misdelivered"
    if type(reply[n]) is not type(sent) or not consistent(reply[n]) or not consistent(reply[n + 1]):
        return "torn"
    return None
