"""The Redis back end (zelvane.connect) beside hand-written redis-py peers,
in one run against one loopback Redis.

  call     a lone caller's median latency: a Remote handle and call_function
           against LPUSH + BRPOP with pickle
  pool     calls/s of a 200 us function from 4 caller processes, pools of 1
           and 2 servers
  slot     write + read: write_memory/read_memory against SET/GET with
           pickle, for a small value and a 100 MiB one
  update   4 processes incrementing one counter with update(): no lost
           update, time per update against a plain INCR round trip
  wait     wake-up of a waiter in another process after a write, against a
           raw pub/sub message

Starts its own redis-server on a free port unless --url is given. Run by
hand (python benchmarks/remote.py [--quick]); nothing here is a pass/fail
check."""
import argparse
import multiprocessing as mp
import os
import pickle
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

import redis

import zelvane
from _common import record_ratio

CTX = mp.get_context("spawn")
NAMESPACE = "bench"


def burn(n=3500):
    # About 200 us of pure Python on the reference machine.
    total = 0
    for i in range(n):
        total += i * i % 7
    return total


def add(a, b):
    return a + b


# --- the peers' server side ----------------------------------------------------

def raw_server(url, queue, count):
    """LPUSH + BRPOP RPC: takes pickled (reply key, function, args) requests."""
    client = redis.Redis.from_url(url)
    functions = {"add": add, "burn": burn}
    for _ in range(count):
        _, request = client.brpop([queue])
        reply_key, func, args = pickle.loads(request)
        client.lpush(reply_key, pickle.dumps(functions[func](*args)))


def raw_call(client, queue, func, args):
    reply_key = f"reply:{uuid.uuid4().hex}"
    client.lpush(queue, pickle.dumps((reply_key, func, args)))
    return pickle.loads(client.brpop([reply_key])[1])


def zelvane_server(url, name, func):
    remote = zelvane.connect(url, namespace=NAMESPACE)
    remote.serve(name, {"add": add, "burn": burn}[func])


# --- call latency ------------------------------------------------------------------

def median_us(call, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6


def mean_us(call, count):
    """Time per call of `count` calls in a row: the statistic a time per
    update from several processes is, so that the two compare (round trips
    here have a long tail, which a median leaves out and a mean does not)."""
    start = time.perf_counter()
    for _ in range(count):
        call()
    return (time.perf_counter() - start) / count * 1e6


def bench_call(url, count):
    client = redis.Redis.from_url(url)
    remote = zelvane.connect(url, namespace=NAMESPACE)
    queue = f"rpc:{uuid.uuid4().hex}"
    raw = CTX.Process(target=raw_server, args=(url, queue, count + 10))
    raw.start()
    server = CTX.Process(target=zelvane_server, args=(url, "add", "add"))
    server.start()
    try:
        handle = remote.open_function("add", wait=30)
        for _ in range(10):
            raw_call(client, queue, "add", (1, 2))
            handle(1, 2)
        raw_us = median_us(lambda: raw_call(client, queue, "add", (1, 2)), count)
        handle_us = median_us(lambda: handle(1, 2), count)
        call_us = median_us(lambda: remote.call_function("add", (1, 2)), count)
    finally:
        remote.remove_function("add")
        server.join(10)
        raw.kill()
    print(f"call latency (median): LPUSH+BRPOP pickle {raw_us:.0f} us, handle {handle_us:.0f} us "
          f"({handle_us / raw_us:.2f}x), call_function {call_us:.0f} us ({call_us / raw_us:.2f}x); target <= 1.2x")
    record_ratio("remote", "call latency", "LPUSH+BRPOP pickle", handle_us / raw_us, 1.2)


# --- pool throughput ---------------------------------------------------------------

def pool_caller(url, name, count, barrier):
    remote = zelvane.connect(url, namespace=NAMESPACE)
    handle = remote.open_function(name, wait=30)
    barrier.wait()
    for _ in range(count):
        handle(3500)


def calls_per_second(url, servers, count):
    name = f"burn-{servers}"
    procs = [CTX.Process(target=zelvane_server, args=(url, name, "burn")) for _ in range(servers)]
    for proc in procs:
        proc.start()
    remote = zelvane.connect(url, namespace=NAMESPACE)
    remote.open_function(name, wait=30)
    time.sleep(1)  # every server joined
    barrier = CTX.Barrier(5)
    callers = [CTX.Process(target=pool_caller, args=(url, name, count, barrier)) for _ in range(4)]
    for caller in callers:
        caller.start()
    barrier.wait()
    start = time.perf_counter()
    for caller in callers:
        caller.join()
    elapsed = time.perf_counter() - start
    remote.remove_function(name)
    for proc in procs:
        proc.join(10)
    return 4 * count / elapsed


def bench_pool(url, count):
    one = calls_per_second(url, 1, count)
    two = calls_per_second(url, 2, count)
    print(f"pool of a 200 us function, 4 callers: 1 server {one:.0f} calls/s, 2 servers {two:.0f} calls/s "
          f"({two / one:.2f}x; target >= 1.8x on a host with the cores for it)")
    record_ratio("remote", "pool of 2 vs 1 (speed-up; higher is better)", "1 server", one / two, 1 / 1.8)


# --- slot write + read ---------------------------------------------------------------

def bench_slot(url, count):
    client = redis.Redis.from_url(url)
    remote = zelvane.connect(url, namespace=NAMESPACE)
    small = {"id": 12345, "name": "sensor-7", "values": [1.5, 2.5, 3.5], "ok": True}
    large = b"\x5a" * (100 * 2**20)
    for label, value, repeat in (("small", small, count), ("100 MiB", large, max(3, count // 500))):
        def peer():
            client.set("bench:peer", pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))
            return pickle.loads(client.get("bench:peer"))

        def ours():
            remote.write_memory("slot", value)
            return remote.read_memory("slot")

        peer()
        ours()
        peer_us = median_us(peer, repeat)
        ours_us = median_us(ours, repeat)
        print(f"slot write + read, {label}: SET/GET pickle {peer_us:.0f} us, Remote {ours_us:.0f} us "
              f"({ours_us / peer_us:.2f}x; target <= 1.0x)")
        record_ratio("remote", f"slot write+read {label}", "SET/GET pickle", ours_us / peer_us, 1.0)
    client.delete("bench:peer")
    remote.remove_memory("slot")


# --- update from 4 processes -------------------------------------------------------

def updater(url, count, barrier):
    handle = zelvane.connect(url, namespace=NAMESPACE).open_memory("counter")
    barrier.wait()
    for _ in range(count):
        handle.update(lambda v: v + 1)


def bench_update(url, count):
    client = redis.Redis.from_url(url)
    remote = zelvane.connect(url, namespace=NAMESPACE)
    remote.write_memory("counter", 0)
    incr = lambda: client.incr("bench:incr")  # noqa: E731
    incr_median = median_us(incr, count)
    incr_before = mean_us(incr, count)
    barrier = CTX.Barrier(5)
    procs = [CTX.Process(target=updater, args=(url, count, barrier)) for _ in range(4)]
    for proc in procs:
        proc.start()
    barrier.wait()
    start = time.perf_counter()
    for proc in procs:
        proc.join()
    per_update = (time.perf_counter() - start) / (4 * count) * 1e6
    total = remote.read_memory("counter")
    # The round trips just before and just after, as the machine was then.
    incr_us = (incr_before + mean_us(incr, count)) / 2
    print(f"update from 4 processes: {total} of {4 * count} counted, {per_update:.0f} us per update; "
          f"INCR round trip {incr_us:.0f} us per INCR of {count} in a row ({per_update / incr_us:.2f}x; "
          f"target <= 3x); median INCR {incr_median:.0f} us ({per_update / incr_median:.2f}x)")
    record_ratio("remote", "update from 4 processes", "INCR round trip", per_update / incr_us, 3.0)
    client.delete("bench:incr")
    remote.remove_memory("counter")


# --- wait wake-up ---------------------------------------------------------------------

def zelvane_waiter(url, rounds, conn):
    handle = zelvane.connect(url, namespace=NAMESPACE).open_memory("watched", create=False)
    latencies = []
    for _ in range(rounds):
        since = handle.version
        conn.send("ready")
        handle.wait(since, timeout=30)
        woke = time.monotonic()
        latencies.append(woke - handle.read())
    conn.send(latencies)


def raw_waiter(url, rounds, conn):
    pubsub = redis.Redis.from_url(url).pubsub(ignore_subscribe_messages=True)
    pubsub.subscribe("bench:ch")
    latencies = []
    for _ in range(rounds):
        conn.send("ready")
        message = None
        while message is None:
            message = pubsub.get_message(timeout=30)
        latencies.append(time.monotonic() - float(message["data"]))
    conn.send(latencies)


def wake_latency_us(url, waiter, signal, rounds):
    parent, child = CTX.Pipe()
    proc = CTX.Process(target=waiter, args=(url, rounds, child))
    proc.start()
    for _ in range(rounds):
        parent.recv()
        time.sleep(0.02)  # the waiter is listening
        signal()
    latencies = parent.recv()
    proc.join()
    return statistics.median(latencies) * 1e6


def bench_wait(url, rounds):
    client = redis.Redis.from_url(url)
    remote = zelvane.connect(url, namespace=NAMESPACE)
    remote.write_memory("watched", 0.0)
    raw_us = wake_latency_us(url, raw_waiter, lambda: client.publish("bench:ch", repr(time.monotonic())), rounds)
    ours_us = wake_latency_us(url, zelvane_waiter, lambda: remote.write_memory("watched", time.monotonic()), rounds)
    print(f"wait wake-up (median): raw pub/sub {raw_us:.0f} us, Remote wait {ours_us:.0f} us "
          f"({ours_us / raw_us:.2f}x; target <= 1.5x)")
    record_ratio("remote", "wait wake-up", "raw pub/sub", ours_us / raw_us, 1.5)
    remote.remove_memory("watched")


# --- the server ----------------------------------------------------------------------

def start_redis():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    workdir = tempfile.mkdtemp(prefix="zelvane-bench-redis-")
    proc = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--dir", workdir,
                             "--save", "", "--appendonly", "no"], stdout=subprocess.DEVNULL)
    url = f"redis://127.0.0.1:{port}/0"
    client = redis.Redis.from_url(url)
    for _ in range(200):
        try:
            client.ping()
            return proc, workdir, url
        except redis.ConnectionError:
            time.sleep(0.05)
    raise RuntimeError("redis-server did not start")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--url", help="a Redis to use instead of starting one")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", nargs="+", choices=("call", "slot", "update", "wait", "pool"),
                        help="run only these parts")
    options = parser.parse_args()
    proc = workdir = None
    url = options.url
    if url is None:
        proc, workdir, url = start_redis()
    count = 300 if options.quick else 2000
    try:
        print(f"Redis at {url}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}")
        parts = {"call": lambda: bench_call(url, count), "slot": lambda: bench_slot(url, count),
                 "update": lambda: bench_update(url, count // 4),
                 "wait": lambda: bench_wait(url, 30 if options.quick else 100),
                 "pool": lambda: bench_pool(url, count // 4)}
        for part in options.only or parts:
            parts[part]()
    finally:
        if proc is not None:
            proc.kill()
            proc.wait()
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
