"""Named queues side by side with the queues a Python user reaches for:
items per second from producer processes to consumer processes, the time
from a put to the get that returns it in another process, and one large
item.

    PYTHONPATH=build/py311 python benchmarks/queues.py [--quick]

Peers: multiprocessing.Queue; a multiprocessing.Pipe carrying pickled items
(one producer, one consumer only); pyzmq PUSH/PULL over ipc carrying pickled
items (one producer, one consumer; skipped when pyzmq is not installed).
Every peer runs the same work in the same run; each figure is the median of
a few runs, and the ratios are zelvane's rate over the peer's (above 1 means
zelvane is faster) or, for latency and the large item, zelvane's time over
the peer's (below 1 means zelvane is faster).
"""
import argparse
import itertools
import multiprocessing as mp
import os
import pickle
import statistics
import tempfile
import time

import zelvane
from _common import record_ratio

try:
    import zmq
except ImportError:
    zmq = None

ITEMS = {
    "int": 12345,
    "100-byte str": "s" * 100,
    "1 KB dict": {f"key{i}": "v" * 20 for i in range(30)},
}
STOP = None
CTX = mp.get_context("fork")
NUMBERS = itertools.count()


def unique(prefix):
    return f"{prefix}{os.getpid()}_{next(NUMBERS)}"


# --- One transport each: how a producer sends and a consumer receives ----------------

class ZelvaneQueue:
    name = "zelvane"

    def __init__(self, fan):
        self.qname = unique("bench_q_")
        zelvane.open_queue(self.qname, 10000).close()

    def sender(self):
        return zelvane.open_queue(self.qname).put

    def receiver(self):
        return zelvane.open_queue(self.qname).get

    def close(self):
        zelvane.remove_memory(self.qname)


class MpQueue:
    name = "multiprocessing.Queue"

    def __init__(self, fan):
        self.queue = CTX.Queue(10000)

    def sender(self):
        return self.queue.put

    def receiver(self):
        return self.queue.get

    def close(self):
        self.queue.close()


class MpPipe:
    name = "multiprocessing.Pipe (pickled)"

    def __init__(self, fan):
        assert fan == 1
        self.receive_end, self.send_end = CTX.Pipe(duplex=False)

    def sender(self):
        send = self.send_end.send_bytes
        return lambda item: send(pickle.dumps(item, pickle.HIGHEST_PROTOCOL))

    def receiver(self):
        receive = self.receive_end.recv_bytes
        return lambda: pickle.loads(receive())

    def close(self):
        self.send_end.close()
        self.receive_end.close()


class ZmqPushPull:
    name = "pyzmq PUSH/PULL ipc (pickled)"

    def __init__(self, fan):
        assert fan == 1
        self.address = f"ipc://{tempfile.gettempdir()}/{unique('zelvane-bench-')}"

    def sender(self):
        socket = zmq.Context().socket(zmq.PUSH)
        socket.setsockopt(zmq.SNDHWM, 10000)
        socket.connect(self.address)
        return lambda item: socket.send(pickle.dumps(item, pickle.HIGHEST_PROTOCOL))

    def receiver(self):
        socket = zmq.Context().socket(zmq.PULL)
        socket.setsockopt(zmq.RCVHWM, 10000)
        socket.bind(self.address)
        return lambda: pickle.loads(socket.recv())

    def close(self):
        path = self.address[len("ipc://"):]
        if os.path.exists(path):
            os.unlink(path)


# --- Throughput -------------------------------------------------------------------------

def produce(transport, item, count, start):
    send = transport.sender()
    start.wait()
    for _ in range(count):
        send(item)


def consume(transport, count, start, done):
    receive = transport.receiver()
    start.wait()
    got = 0
    while receive() is not STOP:
        got += 1
        if got == count:
            break
    done.put(time.perf_counter())


def items_per_second(kind, item, count, fan):
    """Items per second through `kind` from `fan` producers to `fan` consumers."""
    transport = kind(fan)
    start = CTX.Barrier(2 * fan + 1)
    done = CTX.SimpleQueue()
    each = count // fan
    processes = [CTX.Process(target=consume, args=(transport, each, start, done)) for _ in range(fan)]
    processes += [CTX.Process(target=produce, args=(transport, item, each, start)) for _ in range(fan)]
    for process in processes:
        process.start()
    start.wait()
    began = time.perf_counter()
    ended = max(done.get() for _ in range(fan))
    for process in processes:
        process.join()
    transport.close()
    return each * fan / (ended - began)


def compare_throughput(count, repeats, fan, peers):
    print(f"\n{fan} producer(s) -> {fan} consumer(s), {count} items, items per second (median of {repeats}):")
    for label, item in ITEMS.items():
        rates = {kind.name: statistics.median(items_per_second(kind, item, count, fan) for _ in range(repeats))
                 for kind in [ZelvaneQueue, *peers]}
        ours = rates[ZelvaneQueue.name]
        print(f"  {label:13} zelvane {ours:12,.0f}")
        for kind in peers:
            ratio = ours / rates[kind.name]
            print(f"  {'':13} {kind.name:32} {rates[kind.name]:12,.0f}  zelvane x{ratio:.2f}")
            # time per item, so that below 1 is faster here as in every other ratio
            record_ratio("queues", f"{fan}->{fan} {label}, time per item", kind.name, 1 / ratio)


# --- Latency: a ping-pong between two processes ------------------------------------------

def echo(kind_there, kind_back, rounds, ready):
    receive, send = kind_there.receiver(), kind_back.sender()
    ready.wait()
    for _ in range(rounds):
        send(receive())


def one_way_latency(kind, rounds):
    there, back = kind(1), kind(1)
    ready = CTX.Barrier(2)
    process = CTX.Process(target=echo, args=(there, back, rounds, ready))
    process.start()
    send, receive = there.sender(), back.receiver()
    ready.wait()
    send(0)
    receive()  # both sides awake
    began = time.perf_counter()
    for _ in range(rounds - 1):
        send(1)
        receive()
    elapsed = time.perf_counter() - began
    process.join()
    there.close()
    back.close()
    return elapsed / (rounds - 1) / 2


def compare_latency(rounds, repeats, peers):
    print(f"\nput -> get in another process, one way (median of {repeats}, {rounds} round trips):")
    times = {kind.name: statistics.median(one_way_latency(kind, rounds) for _ in range(repeats))
             for kind in [ZelvaneQueue, *peers]}
    ours = times[ZelvaneQueue.name]
    print(f"  zelvane {ours * 1e6:8.1f} us")
    for kind in peers:
        ratio = ours / times[kind.name]
        print(f"  {kind.name:32} {times[kind.name] * 1e6:8.1f} us  zelvane's time x{ratio:.2f}")
        record_ratio("queues", "latency", kind.name, ratio)


# --- One large item ---------------------------------------------------------------------

def large_receiver(kind, transport, done):
    receive = transport.receiver()
    item = receive()
    done.put((time.perf_counter(), len(item)))


def large_transfer(kind, size):
    transport = kind(1)
    done = CTX.SimpleQueue()
    process = CTX.Process(target=large_receiver, args=(kind, transport, done))
    process.start()
    item = os.urandom(1 << 20) * (size >> 20)
    send = transport.sender()
    time.sleep(0.2)  # the receiver waits
    began = time.perf_counter()
    send(item)
    ended, length = done.get()
    process.join()
    transport.close()
    assert length == size
    return ended - began


def compare_large(size, repeats):
    times = {kind.name: statistics.median(large_transfer(kind, size) for _ in range(repeats))
             for kind in (ZelvaneQueue, MpQueue)}
    ours, theirs = times[ZelvaneQueue.name], times[MpQueue.name]
    print(f"\none {size >> 20} MiB bytes item, put -> get returned (median of {repeats}):")
    print(f"  zelvane {ours * 1e3:8.1f} ms   multiprocessing.Queue {theirs * 1e3:8.1f} ms   "
          f"zelvane's time x{ours / theirs:.2f}")
    record_ratio("queues", f"{size >> 20} MiB item", MpQueue.name, ours / theirs, 0.3)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer items and repeats")
    args = parser.parse_args()
    count, repeats = (20000, 1) if args.quick else (100000, 3)
    one_to_one = [MpQueue, MpPipe] + ([ZmqPushPull] if zmq else [])
    compare_throughput(count, repeats, 1, one_to_one)
    compare_throughput(count, repeats, 4, [MpQueue])
    compare_latency(2000 if args.quick else 10000, repeats, one_to_one)
    compare_large(100 << 20, repeats)


if __name__ == "__main__":
    main()
