"""Shared fixtures and helpers: unique shared-memory names that are always
removed, raw access to /dev/shm/<name>, and child interpreters."""
import os
import select
import signal
import struct
import subprocess
import sys
import time
import uuid

import pytest
from hypothesis import HealthCheck, settings

# CI must never meet an example the developers have not seen: every run draws
# the same examples, and no example database carries failures between runs.
settings.register_profile("ci", derandomize=True, database=None, deadline=None,
                          suppress_health_check=[HealthCheck.function_scoped_fixture])
settings.load_profile("ci")

# A runner started in the background ignores SIGINT, and its children would
# inherit that; the Ctrl-C tests need the signal to reach them.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

SHM_DIR = "/dev/shm"
HEADER_SIZE = 48
TIMEOUT = 60

# Lets a child interpreter import these helpers.
CHILD_PRELUDE = f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n"


def shm_path(name):
    return os.path.join(SHM_DIR, name.lstrip("/"))


class ShmNames:
    """Hands out unique names and unlinks every one of them at teardown."""

    def __init__(self):
        self._made = []

    def __call__(self, hint="t"):
        name = f"zt_{hint}_{os.getpid()}_{uuid.uuid4().hex[:12]}"
        self._made.append(name)
        return name

    def cleanup(self):
        for name in self._made:
            try:
                os.unlink(shm_path(name))
            except FileNotFoundError:
                pass


@pytest.fixture
def shm_name():
    """A factory of fresh names; every name it made is removed afterwards."""
    names = ShmNames()
    yield names
    names.cleanup()


class RawSlot:
    """Reads and writes the raw bytes of a slot object."""

    def __init__(self, name):
        self.path = shm_path(name)

    def read(self):
        with open(self.path, "rb") as f:
            return f.read()

    def size(self):
        return os.path.getsize(self.path)

    def max_size(self):
        return struct.unpack_from("<Q", self.read(), 0)[0]

    def payload(self):
        return self.read()[HEADER_SIZE:]

    def write_payload(self, data):
        """Writes `data` at payload byte 0, growing the slot to hold it."""
        if self.max_size() < len(data):
            with open(self.path, "r+b") as f:
                f.truncate(HEADER_SIZE + len(data))
                f.write(struct.pack("<Q", len(data)))
        with open(self.path, "r+b") as f:
            f.seek(HEADER_SIZE)
            f.write(data)


def run_python(code, timeout=TIMEOUT):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout)


def spawn_python(code, *args):
    """Starts `code` in a fresh interpreter with pipes on stdin, stdout and stderr."""
    return subprocess.Popen([sys.executable, "-c", code, *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(proc, timeout=TIMEOUT):
    """Waits for `proc` to end (killing it if it does not); returns its stdout."""
    try:
        return proc.communicate(timeout=timeout)[0]
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate(timeout=timeout)


def wait_for_line(proc, expected, timeout=TIMEOUT):
    """Reads the child's next line, which must be `expected`; the child is
    killed (and its stderr shown) when it is not."""
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    line = proc.stdout.readline().strip() if ready else "<timeout>"
    if line != expected:
        proc.kill()
        _, err = proc.communicate(timeout=timeout)
        raise AssertionError(f"child said {line!r}, expected {expected!r}; stderr:\n{err}")


def start_together(children):
    """Waits until every child said "ready", then tells each to go."""
    for child in children:
        wait_for_line(child, "ready")
    for child in children:
        child.stdin.write("go\n")
        child.stdin.flush()


def wait_until(predicate, timeout=TIMEOUT, what="the condition"):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.01)


SERVER_SCRIPT = """
import os, sys, threading, time
import zelvane
NAME = {name!r}
{setup}
try:
    result = zelvane.create_function(NAME, {func})
except BaseException as exc:
    print("raised", type(exc).__name__, exc, flush=True)
    sys.exit(3)
print("returned", repr(result), flush=True)
{after}
"""


class Server:
    """A process serving `func` (source text) under `name`."""

    def __init__(self, name, func, setup="", after=""):
        self.name = name
        self.proc = spawn_python(SERVER_SCRIPT.format(name=name, func=func, setup=setup,
                                                      after=after))

    def wait_serving(self):
        def serving():
            if self.proc.poll() is not None:
                raise AssertionError(f"the server ended early: {self.proc.communicate()}")
            return os.path.exists(shm_path(self.name))
        wait_until(serving, what="the server to serve")
        return self

    def finish(self):
        """Waits for the server to end; returns (exit code, stdout)."""
        out = finish(self.proc)
        return self.proc.returncode, out

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate(timeout=TIMEOUT)


@pytest.fixture
def serve(shm_name):
    """Starts serving processes and waits until they serve; kills them at teardown.

    serve(func_source, name=None, setup="", after="") -> Server."""
    servers = []

    def start(func, name=None, setup="", after=""):
        server = Server(name or shm_name("fn"), func, setup, after)
        servers.append(server)
        return server.wait_serving()

    yield start
    for server in servers:
        server.kill()


def taken_over(name, dead_inode):
    """Whether the name now leads to another record than `dead_inode`: a
    takeover unlinks the dead record before it publishes the new one, so for
    a moment the name leads nowhere."""
    try:
        return os.stat(shm_path(name)).st_ino != dead_inode
    except FileNotFoundError:
        return False
