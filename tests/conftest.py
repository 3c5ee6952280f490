"""Shared fixtures: unique shared-memory names that are always removed, and
raw access to the bytes of /dev/shm/<name>."""
import os
import struct
import subprocess
import sys
import time
import uuid

import pytest

import zelvane

SHM_DIR = "/dev/shm"
HEADER_SIZE = 48


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
                f.seek(0)
                f.write(struct.pack("<Q", len(data)))
        with open(self.path, "r+b") as f:
            f.seek(HEADER_SIZE)
            f.write(data)


@pytest.fixture
def raw_slot():
    return RawSlot


@pytest.fixture
def slot(shm_name, raw_slot):
    """A freshly created empty slot: (name, RawSlot)."""
    name = shm_name("slot")
    assert zelvane.create_memory(name) is True
    return name, raw_slot(name)


def run_python(code, timeout=60, env=None):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=full_env)


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
        code = SERVER_SCRIPT.format(name=name, func=func, setup=setup, after=after)
        self.proc = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def wait_serving(self, timeout=60):
        deadline = time.monotonic() + timeout
        while not os.path.exists(shm_path(self.name)):
            if self.proc.poll() is not None:
                raise AssertionError(f"the server ended early: {self.proc.communicate()}")
            if time.monotonic() > deadline:
                raise AssertionError("the server did not start serving")
            time.sleep(0.01)
        return self

    def finish(self, timeout=60):
        """Waits for the server to end; returns (exit code, stdout)."""
        out, err = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, out

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate(timeout=60)


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


def wait_until(predicate, timeout=60, what="the condition"):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.01)
