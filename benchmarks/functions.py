"""Latency of one small call into another process: zelvane.call_function
against a child answering over a multiprocessing.Pipe and a
multiprocessing.Manager proxy call, side by side in one run.

    PYTHONPATH=build/py311 python benchmarks/functions.py [--placement free|same|split] [--quick]

Placement of the serving process and the caller: free (not pinned), same (both
on one CPU) or split (server on one CPU, caller on another). Every call is
timed on its own, after a warm-up, and the peers take turns round by round.
Prints the median and the 99th percentile of the per-call latencies and
zelvane's as a ratio of each peer's (below 1 means zelvane is faster).
"""
import argparse
import contextlib
import multiprocessing as mp
import multiprocessing.managers
import os
import signal
import sys
import time

import zelvane
from _common import record_ratio

WAIT_SECONDS = 30


def add(a, b):
    return a + b


def prepare_child(cpu):
    # Ctrl-C reaches the whole process group; the parent stops the servers and
    # removes their names, so the children leave the signal to it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if cpu is not None:
        os.sched_setaffinity(0, {cpu})


def serve_zelvane(name, cpu):
    prepare_child(cpu)
    sys.stdout = open(os.devnull, "w")  # the line a server prints when stopped
    zelvane.create_function(name, add)


def serve_pipe(conn, cpu):
    prepare_child(cpu)
    while True:
        args = conn.recv()
        if args is None:
            return
        conn.send(add(*args))


class Adder:
    def add(self, a, b):
        return a + b


class AdderManager(multiprocessing.managers.BaseManager):
    pass


AdderManager.register("Adder", Adder)


def stop(process):
    process.join(WAIT_SECONDS)
    if process.is_alive():
        process.kill()
        process.join()


class ZelvanePeer:
    label = "zelvane"

    def __init__(self, ctx, cpu):
        self.name = f"zbench_add_{os.getpid()}"
        self.process = ctx.Process(target=serve_zelvane, args=(self.name, cpu), daemon=True)
        self.process.start()
        try:
            self.wait_serving()
        except BaseException:
            self.close()
            raise

    def wait_serving(self):
        deadline = time.monotonic() + WAIT_SECONDS
        while not os.path.exists(f"/dev/shm/{self.name}"):
            if not self.process.is_alive() or time.monotonic() > deadline:
                raise RuntimeError("the zelvane server did not start serving")
            time.sleep(0.01)

    def call(self):
        return zelvane.call_function(self.name, (1, 2))

    def close(self):
        zelvane.remove_function(self.name)
        stop(self.process)
        zelvane.remove_memory(self.name)  # the record of a server that had to be killed


class PipePeer:
    label = "Pipe"

    def __init__(self, ctx, cpu):
        self.conn, there = ctx.Pipe()
        self.process = ctx.Process(target=serve_pipe, args=(there, cpu), daemon=True)
        self.process.start()
        there.close()

    def call(self):
        self.conn.send((1, 2))
        return self.conn.recv()

    def close(self):
        with contextlib.suppress(OSError):
            self.conn.send(None)
        stop(self.process)


class ManagerPeer:
    label = "Manager"

    def __init__(self, ctx, cpu):
        self.manager = AdderManager(ctx=ctx)
        self.manager.start(initializer=prepare_child, initargs=(cpu,))
        self.adder = self.manager.Adder()

    def call(self):
        return self.adder.add(1, 2)

    def close(self):
        self.manager.shutdown()


def timed_calls(call, count, into):
    clock = time.perf_counter_ns
    for _ in range(count):
        start = clock()
        call()
        into.append(clock() - start)


def summarise(nanoseconds):
    """(median, 99th percentile) in microseconds."""
    ordered = sorted(nanoseconds)
    return (ordered[len(ordered) // 2] / 1e3, ordered[int(len(ordered) * 0.99)] / 1e3)


def placement_cpus(placement):
    """(server CPU, caller CPU) for a placement; None leaves a process unpinned."""
    cpus = sorted(os.sched_getaffinity(0))
    if placement == "same":
        return cpus[0], cpus[0]
    if placement == "split":
        if len(cpus) >= 2:
            return cpus[0], cpus[1]
        print(f"note: only CPU {cpus[0]} is available, so split runs as free")
    return None, None


def measure(peers, calls, rounds=5):
    """Per-call nanoseconds of each peer (a quarter of the calls for the
    slow Manager), the peers taking turns round by round."""
    counts = [max(1, calls // rounds // (4 if isinstance(peer, ManagerPeer) else 1))
              for peer in peers]
    for peer, count in zip(peers, counts):
        if peer.call() != 3:
            raise AssertionError(f"{peer.label} did not add")
        timed_calls(peer.call, count // 5, [])  # warm-up
    latencies = [[] for _ in peers]
    for _ in range(rounds):
        for peer, count, into in zip(peers, counts, latencies):
            timed_calls(peer.call, count, into)
    return latencies


def report(placement, peers, latencies):
    summary = [summarise(times) for times in latencies]
    print(f"{'peer':<9}{'calls':>7}{'median':>9}{'p99':>9}{'z/median':>10}{'z/p99':>8}")
    ours = summary[0]
    for peer, times, (median, p99) in zip(peers, latencies, summary):
        print(f"{peer.label:<9}{len(times):>7}{median:>9.1f}{p99:>9.1f}"
              f"{ours[0] / median:>10.2f}{ours[1] / p99:>8.2f}")
    bench = f"functions {placement}"
    pipe_median_target = 1.0 if placement == "same" else 0.5
    for peer, (median, p99) in zip(peers[1:], summary[1:]):
        is_pipe = peer.label == "Pipe"
        record_ratio(bench, "add median", peer.label, ours[0] / median,
                     pipe_median_target if is_pipe else None)
        record_ratio(bench, "add p99", peer.label, ours[1] / p99, 1.0 if is_pipe else None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--placement", choices=("free", "same", "split"), default="free")
    parser.add_argument("--calls", type=int, default=20000,
                        help="timed calls per peer (a quarter of them for the Manager)")
    parser.add_argument("--quick", action="store_true", help="a quarter of the calls")
    args = parser.parse_args()
    server_cpu, caller_cpu = placement_cpus(args.placement)
    if caller_cpu is not None:
        os.sched_setaffinity(0, {caller_cpu})
    ctx = mp.get_context("spawn")
    with contextlib.ExitStack() as stack:
        peers = []
        for kind in (ZelvanePeer, PipePeer, ManagerPeer):
            peer = kind(ctx, server_cpu)
            stack.callback(peer.close)
            peers.append(peer)
        latencies = measure(peers, args.calls // 4 if args.quick else args.calls)
    print(f"add(1, 2) round trip, placement {args.placement} (server CPU {server_cpu}, "
          f"caller CPU {caller_cpu}); microseconds per call")
    report(args.placement, peers, latencies)

if __name__ == "__main__":
    main()
