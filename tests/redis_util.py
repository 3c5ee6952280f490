"""A real redis-server for the tests: a free loopback port, its own working
directory, no persistence; stopped when the tests are done with it."""
import os
import random
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


CLUSTER_HINT = ("redis-server and redis-cli are not installed: install them with `apt-get install redis-server` "
                "(Debian, Ubuntu) to run the Redis Cluster tests")
NODE_TIMEOUT_MS = 1000


def require_cluster():
    """Skips the calling test where the binaries a cluster needs are missing."""
    if shutil.which("redis-server") is None or shutil.which("redis-cli") is None:
        pytest.skip(CLUSTER_HINT)
    pytest.importorskip("redis", reason="redis-py is not installed: pip install 'zelvane[redis]'")


def cli(port, *words, timeout=START_TIMEOUT):
    """What redis-cli prints for one command to the node on `port`."""
    done = subprocess.run(["redis-cli", "-h", "127.0.0.1", "-p", str(port), *map(str, words)],
                          capture_output=True, text=True, timeout=timeout, check=True)
    return done.stdout


def cluster_port():
    """A free loopback port whose cluster bus port (10000 higher) is free too."""
    while True:
        port = random.randrange(20000, 55000)
        try:
            with socket.socket() as first, socket.socket() as bus:
                first.bind(("127.0.0.1", port))
                bus.bind(("127.0.0.1", port + 10000))
                return port
        except OSError:
            continue


class ClusterNode(RedisServer):
    """One node of a cluster: a redis-server in cluster mode."""

    def __init__(self):
        super().__init__()
        self.port = cluster_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"

    def start(self):
        self._proc = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--dir", self._dir,
             "--save", "", "--appendonly", "no", "--protected-mode", "no", "--cluster-enabled", "yes",
             "--cluster-config-file", "nodes.conf", "--cluster-node-timeout", str(NODE_TIMEOUT_MS)],
            cwd=self._dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._wait_ready()
        return self

    def info(self, *command):
        """A reply of INFO-like lines as a dict: info("INFO", "replication"), info("CLUSTER", "INFO")."""
        return dict(line.split(":", 1) for line in cli(self.port, *command).splitlines() if ":" in line)

    @property
    def alive(self):
        return self._proc is not None and self._proc.poll() is None

    def pause(self):
        self._proc.send_signal(19)  # SIGSTOP: the others see it fail

    def kill(self):
        self.stop()


class RedisCluster:
    """A real Redis Cluster on loopback: 3 masters, a replica each, no
    persistence, fast failover. `url` names one of its masters."""

    def __init__(self, masters=3):
        self.nodes = [ClusterNode() for _ in range(masters * 2)]
        self._masters = masters

    def start(self):
        try:
            for node in self.nodes:
                node.start()
            cli(self.nodes[0].port, "--cluster", "create", *(f"127.0.0.1:{node.port}" for node in self.nodes),
                "--cluster-replicas", "1", "--cluster-yes")
            self.wait_healthy()
        except BaseException:
            self.close()
            raise
        return self

    @property
    def url(self):
        return f"redis://127.0.0.1:{self.masters()[0].port}/0"

    def masters(self):
        """The live nodes that serve slots now."""
        return [node for node in self.nodes if node.alive and node.info("INFO", "replication").get("role") == "master"
                and self.slots_of(node)]

    def slots_of(self, node):
        """The slot ranges `node` serves, as (first, last) pairs."""
        found = []
        for line in cli(node.port, "CLUSTER", "NODES").splitlines():
            words = line.split()
            if "myself" in words[2]:
                for part in words[8:]:
                    if not part.startswith("["):
                        first, _, last = part.partition("-")
                        found.append((int(first), int(last or first)))
        return found

    def owner(self, slot):
        for node in self.masters():
            if any(first <= slot <= last for first, last in self.slots_of(node)):
                return node
        return None

    def wait_healthy(self, timeout=60):
        """Until every live node says the cluster is ok and agrees on who
        serves what, and every replica has synchronised with its master."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                if all(node.info("CLUSTER", "INFO").get("cluster_state") == "ok"
                       for node in self.nodes if node.alive) and self._slots_agree() and self._covered() \
                        and self._replicas_in_sync():
                    return
            except subprocess.SubprocessError:
                pass
            time.sleep(0.1)
        raise RuntimeError("the Redis Cluster did not become healthy")

    def _replicas_in_sync(self):
        """Whether every live replica has its link to its master up: a
        replica that never synchronised does not take over from a failed
        master, and counts for no WAIT."""
        replication = [node.info("INFO", "replication") for node in self.nodes if node.alive]
        return all(info.get("master_link_status") == "up" for info in replication if info.get("role") == "slave")

    def _covered(self):
        """Whether the live masters serve every slot (a dead one's replica took over)."""
        return sum(last - first + 1 for node in self.masters() for first, last in self.slots_of(node)) == 16384

    def _slots_agree(self):
        views = set()
        for node in self.nodes:
            if node.alive:
                views.add(tuple(sorted(line.split()[0] + " " + " ".join(line.split()[8:])
                                       for line in cli(node.port, "CLUSTER", "NODES").splitlines()
                                       if "master" in line.split()[2] and "fail" not in line.split()[2])))
        return len(views) == 1

    def close(self):
        for node in self.nodes:
            node.close()

    def replace_lost_node(self, node, master):
        """Starts `node` afresh (empty, a new identity, as a node that lost
        its disk) and makes it a replica of `master`: a node restarted with
        its old view would serve the slots it had, empty, until told off."""
        node.stop()
        shutil.rmtree(node._dir, ignore_errors=True)
        os.makedirs(node._dir)
        node.start()
        cli(node.port, "CLUSTER", "MEET", "127.0.0.1", master.port)
        master_id = node_id(master)
        deadline = time.monotonic() + START_TIMEOUT
        while master_id not in cli(node.port, "CLUSTER", "NODES"):
            if time.monotonic() > deadline:
                raise RuntimeError("the new node did not meet the cluster")
            time.sleep(0.1)
        cli(node.port, "CLUSTER", "REPLICATE", master_id)
        self.wait_healthy()

    def delete_matching(self, pattern):
        """Deletes the keys matching `pattern` on every master."""
        import redis
        for node in self.masters():
            client = redis.Redis(port=node.port)
            try:
                for key in client.scan_iter(match=pattern, count=1000):
                    client.delete(key)
            finally:
                client.close()


@pytest.fixture(scope="module")
def redis_server():
    """One real server for the test module that imports this fixture."""
    require_redis()
    server = RedisServer().start()
    yield server
    server.close()


@pytest.fixture(scope="session")
def redis_cluster():
    """One real cluster for the whole run."""
    require_cluster()
    cluster = RedisCluster().start()
    yield cluster
    cluster.close()


def node_id(node):
    return cli(node.port, "CLUSTER", "MYID").strip()


def migrate_slot(cluster, slot, target, batch=100):
    """Moves `slot` to the master `target` as redis-cli's reshard does: marked
    importing and migrating, its keys migrated a few at a time, then given."""
    source = cluster.owner(slot)
    source_id, target_id = node_id(source), node_id(target)
    cli(target.port, "CLUSTER", "SETSLOT", slot, "IMPORTING", source_id)
    cli(source.port, "CLUSTER", "SETSLOT", slot, "MIGRATING", target_id)
    while True:
        keys = cli(source.port, "CLUSTER", "GETKEYSINSLOT", slot, batch).split()
        if not keys:
            break
        cli(source.port, "MIGRATE", "127.0.0.1", target.port, "", 0, 5000, "KEYS", *keys)
        time.sleep(0.01)  # the clients meet the slot half moved
    for node in cluster.masters():
        cli(node.port, "CLUSTER", "SETSLOT", slot, "NODE", target_id)
