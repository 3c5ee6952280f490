"""A real redis-server for the tests: a free loopback port, its own working
directory, no persistence; stopped when the tests are done with it."""
import shutil
import socket
import subprocess
import tempfile
import time

import pytest

INSTALL_HINT = ("redis-server is not installed: install it with `apt-get install redis-server` (Debian, "
                "Ubuntu) to run the Redis back end's tests")
START_TIMEOUT = 30


def require_redis():
    """Skips the calling test where redis-server or redis-py is missing."""
    if shutil.which("redis-server") is None:
        pytest.skip(INSTALL_HINT)
    pytest.importorskip("redis", reason="redis-py is not installed: pip install 'zelvane[redis]'")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class RedisServer:
    """One redis-server process; start() again after stop() brings it back,
    empty, on the same port."""

    def __init__(self):
        self.port = free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self._dir = tempfile.mkdtemp(prefix="zelvane-redis-")
        self._proc = None

    def start(self):
        self._proc = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--dir", self._dir,
             "--save", "", "--appendonly", "no", "--protected-mode", "no"],
            cwd=self._dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._wait_ready()
        return self

    def _wait_ready(self):
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self._proc.poll() is not None:
                raise RuntimeError(f"redis-server ended at start (port {self.port})")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as conn:
                    conn.sendall(b"PING\r\n")
                    if conn.recv(16).startswith(b"+PONG"):
                        return
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError(f"redis-server did not answer on port {self.port}")

    def stop(self):
        if self._proc is not None and self._proc.poll() is None:
            self._proc.kill()
            self._proc.wait(timeout=START_TIMEOUT)
        self._proc = None

    def close(self):
        self.stop()
        shutil.rmtree(self._dir, ignore_errors=True)
