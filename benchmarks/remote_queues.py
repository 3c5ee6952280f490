"""Queues on Redis (Remote.open_queue) beside a hand-written redis-py peer,
in one run against one loopback Redis: one producer process and one consumer
process pass small items (an int, a 100-byte str, a 1 KB dict); zelvane's
put/get against LPUSH + BRPOP of pickled items. Items per second, and the
time per item as a ratio (zelvane / peer; lower is better).

Starts its own redis-server on a free port unless --url is given. Run by
hand (python benchmarks/remote_queues.py [--quick]); nothing here is a
pass/fail check."""
import argparse
import multiprocessing as mp
import os
import pickle
import shutil
import sys
import time
import uuid

import redis

import zelvane
from _common import record_ratio
from remote import start_redis

CTX = mp.get_context("spawn")
NAMESPACE = "bench-queues"

ITEMS = {"int": 12345, "str100": "x" * 100, "dict1k": {f"key{i}": "v" * 20 for i in range(30)}}


def zelvane_producer(url, name, item, count, barrier):
    handle = zelvane.connect(url, namespace=NAMESPACE).open_queue(name)
    barrier.wait()
    for _ in range(count):
        handle.put(item)


def raw_producer(url, key, item, count, barrier):
    client = redis.Redis.from_url(url)
    barrier.wait()
    for _ in range(count):
        client.lpush(key, pickle.dumps(item))


def zelvane_consume(url, name, count):
    handle = zelvane.connect(url, namespace=NAMESPACE).open_queue(name)
    for _ in range(count):
        handle.get()


def raw_consume(url, key, count):
    client = redis.Redis.from_url(url)
    for _ in range(count):
        pickle.loads(client.brpop([key])[1])


def items_per_second(producer, consume, url, item, count):
    """Items/s from a producer process to a consumer (this process's child)."""
    name = f"q-{uuid.uuid4().hex[:8]}"
    barrier = CTX.Barrier(3)
    sender = CTX.Process(target=producer, args=(url, name, item, count, barrier))
    receiver = CTX.Process(target=_timed_consumer, args=(consume, url, name, count, barrier))
    sender.start()
    receiver.start()
    barrier.wait()
    start = time.perf_counter()
    receiver.join()
    sender.join()
    return count / (time.perf_counter() - start)


def _timed_consumer(consume, url, name, count, barrier):
    barrier.wait()
    consume(url, name, count)


def bench_one_to_one(url, count):
    print("1 producer -> 1 consumer (items/s)")
    for label, item in ITEMS.items():
        ours = items_per_second(zelvane_producer, zelvane_consume, url, item, count)
        peer = items_per_second(raw_producer, raw_consume, url, item, count)
        ratio = peer / ours  # time per item, zelvane / peer
        print(f"  {label:7} zelvane {ours:9.0f}   LPUSH/BRPOP pickle {peer:9.0f}   time ratio {ratio:.2f}")
        record_ratio("remote_queues", f"1->1 {label}", "LPUSH/BRPOP pickle", ratio, 1.2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--url", help="a Redis to use instead of starting one")
    parser.add_argument("--quick", action="store_true")
    options = parser.parse_args()
    proc = workdir = None
    url = options.url
    if url is None:
        proc, workdir, url = start_redis()
    try:
        print(f"Redis at {url}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}")
        bench_one_to_one(url, 2000 if options.quick else 20000)
    finally:
        if proc is not None:
            proc.kill()
            proc.wait()
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
