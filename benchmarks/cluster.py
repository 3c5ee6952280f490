"""The Redis back end on a Redis Cluster (3 masters, a replica each) beside
hand-written redis.cluster.RedisCluster peers, in one run on one cluster
that it starts on loopback (with the tests' own cluster code).

  call      a lone caller's median latency through a handle, against an RPC
            of LPUSH + BLPOP of pickled payloads on one hash-tagged key pair
  slot      small value write + read: write_memory/read_memory against
            SET + GET of the pickled value
  update    4 processes updating counters spread over the 3 masters: time
            per update against one INCR round trip
  failover  a master killed: from its death to the first successful write
            to an object it held, against the cluster's own failover time
            (until CLUSTER NODES shows its replica as master), same run

Run by hand: python benchmarks/cluster.py [--quick] [--only PART ...];
nothing here is a pass/fail check. Needs redis-server and redis-cli."""
import argparse
import multiprocessing as mp
import os
import pickle
import statistics
import sys
import threading
import time
import uuid

import redis
from redis.cluster import RedisCluster as ClusterClient
from redis.crc import key_slot

import zelvane
from _common import record_ratio

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from redis_util import RedisCluster, node_id  # noqa: E402 (the tests' cluster, started the same way)

CTX = mp.get_context("spawn")
NAMESPACE = "bench"
FAILOVER_POLL = 0.01


def add(a, b):
    return a + b


def median_us(call, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6


def mean_us(call, count):
    start = time.perf_counter()
    for _ in range(count):
        call()
    return (time.perf_counter() - start) / count * 1e6


def cluster_client(url):
    return ClusterClient.from_url(url)


# --- call -----------------------------------------------------------------------------

def raw_server(url, tag, count):
    """LPUSH + BLPOP RPC on the key pair {tag}:req, {tag}:rep."""
    client = cluster_client(url)
    for _ in range(count):
        _, request = client.blpop([f"{{{tag}}}:req"])
        func, args = pickle.loads(request)
        client.lpush(f"{{{tag}}}:rep", pickle.dumps({"add": add}[func](*args)))


def raw_call(client, tag, func, args):
    client.lpush(f"{{{tag}}}:req", pickle.dumps((func, args)))
    return pickle.loads(client.blpop([f"{{{tag}}}:rep"])[1])


def zelvane_server(url, name):
    zelvane.connect(url, namespace=NAMESPACE).serve(name, add)


def bench_call(url, count):
    client = cluster_client(url)
    remote = zelvane.connect(url, namespace=NAMESPACE)
    tag = f"rpc-{uuid.uuid4().hex[:8]}"
    raw = CTX.Process(target=raw_server, args=(url, tag, count + 10))
    server = CTX.Process(target=zelvane_server, args=(url, "add"))
    raw.start()
    server.start()
    try:
        handle = remote.open_function("add", wait=60)
        for _ in range(10):
            assert raw_call(client, tag, "add", (1, 2)) == handle(1, 2) == 3
        raw_us = median_us(lambda: raw_call(client, tag, "add", (1, 2)), count)
        handle_us = median_us(lambda: handle(1, 2), count)
    finally:
        remote.remove_function("add")
        server.join(10)
        raw.kill()
        raw.join()
    print(f"call latency (median): RedisCluster LPUSH+BLPOP pickle {raw_us:.0f} us, handle {handle_us:.0f} us "
          f"({handle_us / raw_us:.2f}x; target <= 1.2x)")
    record_ratio("cluster", "call latency", "RedisCluster LPUSH+BLPOP", handle_us / raw_us, 1.2)


# --- slot ------------------------------------------------------------------------------

def bench_slot(url, count):
    client = cluster_client(url)
    remote = zelvane.connect(url, namespace=NAMESPACE)
    value = {"id": 12345, "name": "sensor-7", "values": [1.5, 2.5, 3.5], "ok": True}

    def peer():
        client.set("bench:peer", pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))
        return pickle.loads(client.get("bench:peer"))

    def ours():
        remote.write_memory("slot", value)
        return remote.read_memory("slot")

    assert peer() == ours() == value
    peer_us = median_us(peer, count)
    ours_us = median_us(ours, count)
    print(f"slot write + read, small: RedisCluster SET/GET pickle {peer_us:.0f} us, Remote {ours_us:.0f} us "
          f"({ours_us / peer_us:.2f}x; target <= 1.0x)")
    record_ratio("cluster", "slot write+read small", "RedisCluster SET/GET", ours_us / peer_us, 1.0)
    client.delete("bench:peer")
    remote.remove_memory("slot")


# --- update ----------------------------------------------------------------------------

def counter_names(cluster, count=12):
    """Counters whose slots are spread over every master."""
    names = [f"counter-{i}" for i in range(count)]
    owners = {cluster.owner(key_slot(f"{{{NAMESPACE}:{name}}}".encode())).port for name in names}
    assert len(owners) == len(cluster.masters()), "the counters do not cover every master"
    return names


def updater(url, names, first, count, barrier):
    """Updates the counters in turn, from the `first`: the processes start
    apart, as processes updating objects of their own mostly are."""
    remote = zelvane.connect(url, namespace=NAMESPACE)
    handles = [remote.open_memory(name) for name in names]
    barrier.wait()
    for turn in range(first, first + count):
        handles[turn % len(handles)].update(lambda v: v + 1)


def bench_update(url, cluster, count):
    client = cluster_client(url)
    remote = zelvane.connect(url, namespace=NAMESPACE)
    names = counter_names(cluster)
    for name in names:
        remote.write_memory(name, 0)
    incr = lambda: client.incr("bench:incr")  # noqa: E731
    incr_before = mean_us(incr, count)
    barrier = CTX.Barrier(5)
    procs = [CTX.Process(target=updater, args=(url, names, 3 * index, count, barrier))
             for index in range(4)]
    for proc in procs:
        proc.start()
    barrier.wait()
    start = time.perf_counter()
    for proc in procs:
        proc.join()
    per_update = (time.perf_counter() - start) / (4 * count) * 1e6
    total = sum(remote.read_memory(name) for name in names)
    incr_us = (incr_before + mean_us(incr, count)) / 2
    print(f"update from 4 processes over 3 masters: {total} of {4 * count} counted, {per_update:.0f} us per "
          f"update; INCR round trip {incr_us:.0f} us ({per_update / incr_us:.2f}x; target <= 3x)")
    record_ratio("cluster", "update from 4 processes", "INCR round trip", per_update / incr_us, 3.0)
    client.delete("bench:incr")
    for name in names:
        remote.remove_memory(name)


# --- failover --------------------------------------------------------------------------

def promoted_at(survivor, replica_id, found):
    """Polls CLUSTER NODES on `survivor` until the node `replica_id` is a
    master; puts the moment in `found`."""
    connection = redis.Connection(host="127.0.0.1", port=survivor.port)
    try:
        while True:
            connection.send_command("CLUSTER", "NODES")
            nodes = connection.read_response().decode()
            line = next(line for line in nodes.splitlines() if line.startswith(replica_id))
            if "master" in line.split()[2]:
                found.append(time.monotonic())
                return
            time.sleep(FAILOVER_POLL)
    finally:
        connection.disconnect()


def replica_of(cluster, master):
    for node in cluster.nodes:
        if node is not master and node.alive and node.info("INFO", "replication").get("master_port") == \
                str(master.port):
            return node, node_id(node)
    raise RuntimeError(f"no replica of the master on port {master.port}")


def one_failover(cluster, remote, name):
    handle = remote.open_memory(name)
    handle.write(0)
    victim = cluster.owner(key_slot(f"{{{NAMESPACE}:{name}}}".encode()))
    replica, replica_id = replica_of(cluster, victim)
    survivor = next(node for node in cluster.masters() if node is not victim)
    found = []
    poller = threading.Thread(target=promoted_at, args=(survivor, replica_id, found))
    victim.kill()
    died = time.monotonic()
    poller.start()
    handle.write(1)
    served = time.monotonic()
    poller.join(60)
    cluster.wait_healthy()
    cluster.replace_lost_node(victim, replica)
    return served - died, found[0] - died


def bench_failover(url, cluster, rounds):
    # The ratio's own wait for the replicas' promotion, not the handle's
    # connect, is measured: the handle's process knows the cluster already.
    ours, theirs = [], []
    for turn in range(rounds):
        with zelvane.connect(cluster.url, namespace=NAMESPACE) as remote:
            served, promoted = one_failover(cluster, remote, f"failover-{turn}")
        ours.append(served)
        theirs.append(promoted)
        print(f"  failover {turn + 1}: first write after {served * 1e3:.0f} ms, "
              f"replica master after {promoted * 1e3:.0f} ms")
    ours_s, theirs_s = statistics.median(ours), statistics.median(theirs)
    print(f"failover (median of {rounds}): first successful write {ours_s * 1e3:.0f} ms after the master's death, "
          f"the cluster's own failover {theirs_s * 1e3:.0f} ms ({ours_s / theirs_s:.2f}x; target <= 2x)")
    record_ratio("cluster", "failover to first write", "CLUSTER NODES promotion", ours_s / theirs_s, 2.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", nargs="+", choices=("call", "slot", "update", "failover"),
                        help="run only these parts")
    options = parser.parse_args()
    count = 300 if options.quick else 2000
    cluster = RedisCluster().start()
    try:
        url = cluster.url
        print(f"Redis Cluster of 3 masters and 3 replicas at {url}, {os.cpu_count()} CPUs, "
              f"Python {sys.version.split()[0]}")
        parts = {"call": lambda: bench_call(url, count), "slot": lambda: bench_slot(url, count),
                 "update": lambda: bench_update(url, cluster, count // 4),
                 "failover": lambda: bench_failover(url, cluster, 1 if options.quick else 3)}
        for part in options.only or parts:
            parts[part]()
    finally:
        cluster.close()


if __name__ == "__main__":
    main()
