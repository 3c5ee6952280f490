"""Slots as shared state, side by side with what else a Python user reaches
for: a shared counter, waking a process on a change, and what a plain write
costs now that it counts versions.

    PYTHONPATH=build/py311 python benchmarks/shared_state.py [--quick] [--baseline DIR]

Counter: P processes x N increments of one shared integer, through
update(lambda v: (v or 0) + 1) on a handle, against
  (a) multiprocessing.Value with `with v.get_lock(): v.value += 1`
  (b) a Manager dict under a Manager Lock
  (c) redis-py INCR on a redis-server on loopback (skipped when either is missing)
Wake-up: median time from just before a write in one process to wait()
returning in another, against a futex ping-pong through ctypes (the floor),
a multiprocessing.Condition notify, and a Redis pub/sub message.
Write without a waiter: a handle write and a write_memory of a small int,
timed here and (with --baseline DIR, a build from before versions) there,
in alternating child processes, with their system calls counted by strace.
Fan-out: 100 waiters, 10 threads in each of 10 processes, and one write.
"""
import argparse
import ctypes
import mmap
import multiprocessing as mp
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

import zelvane
from _common import record_ratio

try:
    import redis
except ImportError:
    redis = None

ctx = mp.get_context("fork")
now_ns = time.perf_counter_ns  # CLOCK_MONOTONIC: comparable between processes


def fresh_name(hint):
    return f"zb_{hint}_{os.getpid()}_{uuid.uuid4().hex[:8]}"


# --- a loopback redis-server ---------------------------------------------------

class RedisServer:
    """A private redis-server on a free loopback port, without persistence."""

    def __init__(self):
        self.proc = None
        if redis is None or shutil.which("redis-server") is None:
            return
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.proc = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                self.client().ping()
                return
            except redis.ConnectionError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def client(self):
        return redis.Redis(host="127.0.0.1", port=self.port)

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(10)


# --- counter --------------------------------------------------------------------

def increment(value):
    return (value or 0) + 1


class ZelvaneCounter:
    label = "zelvane update()"

    def __init__(self, server):
        self.name = fresh_name("counter")
        zelvane.create_memory(self.name)

    def worker(self):
        handle = zelvane.open_memory(self.name, create=False)
        return lambda: handle.update(increment)

    def total(self):
        return zelvane.read_memory(self.name)

    def close(self):
        zelvane.remove_memory(self.name)


class ValueCounter:
    label = "mp.Value get_lock()"

    def __init__(self, server):
        self.value = ctx.Value("q", 0)

    def worker(self):
        value = self.value

        def once():
            with value.get_lock():
                value.value += 1
        return once

    def total(self):
        return self.value.value

    def close(self):
        pass


class ManagerCounter:
    label = "Manager dict + Lock"
    share = 0.05  # a round trip each way: fewer increments, timed per increment

    def __init__(self, server):
        self.manager = ctx.Manager()
        self.dict = self.manager.dict(n=0)
        self.lock = self.manager.Lock()

    def worker(self):
        shared, lock = self.dict, self.lock

        def once():
            with lock:
                shared["n"] = shared["n"] + 1
        return once

    def total(self):
        return self.dict["n"]

    def close(self):
        self.manager.shutdown()


class RedisCounter:
    label = "redis-py INCR"
    share = 0.1

    def __init__(self, server):
        self.server = server
        self.key = fresh_name("counter")

    def worker(self):
        client = self.server.client()
        return lambda: client.incr(self.key)

    def total(self):
        return int(self.server.client().get(self.key))

    def close(self):
        self.server.client().delete(self.key)


def count_in(counter, n, start, spans):
    once = counter.worker()
    start.wait()
    began = now_ns()
    for _ in range(n):
        once()
    spans.put((began, now_ns()))


def run_counter(kind, server, procs, n):
    """Per-increment time (ns) of `procs` processes doing n increments each,
    from the first start to the last end, and whether the total is exact."""
    counter = kind(server)
    n = max(1, int(n * getattr(kind, "share", 1)))
    try:
        start, spans = ctx.Barrier(procs), ctx.Queue()
        workers = [ctx.Process(target=count_in, args=(counter, n, start, spans)) for _ in range(procs)]
        for worker in workers:
            worker.start()
        times = [spans.get(timeout=600) for _ in workers]
        for worker in workers:
            worker.join(60)
        elapsed = max(end for _, end in times) - min(began for began, _ in times)
        total = counter.total()
        return elapsed / (procs * n), total == procs * n, total
    finally:
        counter.close()


def bench_counter(server, n):
    kinds = [ZelvaneCounter, ValueCounter, ManagerCounter] + ([RedisCounter] if server.proc else [])
    print(f"\nCounter: time per increment (total exact?); {n} increments per process")
    for procs in (1, 4):
        results = {kind: run_counter(kind, server, procs, n) for kind in kinds}
        ours = results[ZelvaneCounter][0]
        for kind, (ns, exact, total) in results.items():
            ratio = "" if kind is ZelvaneCounter else f"  zelvane/this {ours / ns:.3f}"
            print(f"  {procs} proc  {kind.label:22} {ns / 1000:9.2f} us  exact={exact} ({total}){ratio}")
            if kind is not ZelvaneCounter:
                target = 2 if kind is ValueCounter else 0.1
                record_ratio("shared_state", f"counter, {procs} process(es)", kind.label, ours / ns, target)


# --- wake-up latency -----------------------------------------------------------

def latencies(sent, woke):
    """Medians of wake time minus send time, matched by round."""
    return [woke[key] - sent[key] for key in sent if key in woke]


def run_wakeups(waiter, writer, rounds):
    """Starts `waiter(ready, report)` in a process, then runs `writer(rounds)`
    (which returns {round: send time}); gives the latencies in ns."""
    ready, (receiver, sender) = ctx.Event(), ctx.Pipe(duplex=False)
    proc = ctx.Process(target=waiter, args=(ready, sender, rounds))
    proc.start()
    ready.wait(30)
    time.sleep(0.05)
    sent = writer(rounds)
    woke = receiver.recv() if receiver.poll(30) else {}
    proc.join(30)
    if proc.is_alive():
        proc.kill()
    return latencies(sent, woke)


GAP = 0.002  # between writes, so that the waiter is asleep when each comes


def zelvane_wakeups(rounds):
    name = fresh_name("wake")
    handle = zelvane.open_memory(name)
    handle.write(0)

    def waiter(ready, report, rounds):
        mine = zelvane.open_memory(name, create=False)
        woke, last = {}, mine.version + rounds
        ready.set()
        version = mine.version
        while version < last:
            version = mine.wait(timeout=10)
            woke[version] = now_ns()
        report.send(woke)

    def writer(rounds):
        sent = {}
        for i in range(rounds):
            time.sleep(GAP)
            began = now_ns()
            handle.write(i)
            sent[handle.version] = began
        return sent

    try:
        return run_wakeups(waiter, writer, rounds)
    finally:
        handle.close()
        zelvane.remove_memory(name)


libc = ctypes.CDLL(None, use_errno=True)
SYS_FUTEX, FUTEX_WAIT, FUTEX_WAKE = 202, 0, 1


def futex_wakeups(rounds):
    area = mmap.mmap(-1, mmap.PAGESIZE)  # shared and anonymous: the child sees it
    word = ctypes.c_uint32.from_buffer(area)
    address = ctypes.c_void_p(ctypes.addressof(word))

    def waiter(ready, report, rounds):
        woke, seen = {}, word.value
        ready.set()
        while seen < rounds:
            libc.syscall(SYS_FUTEX, address, FUTEX_WAIT, seen, None, None, 0)
            if word.value != seen:
                seen = word.value
                woke[seen] = now_ns()
        report.send(woke)

    def writer(rounds):
        sent = {}
        for i in range(1, rounds + 1):
            time.sleep(GAP)
            sent[i] = now_ns()
            word.value = i
            libc.syscall(SYS_FUTEX, address, FUTEX_WAKE, 0x7FFFFFFF, None, None, 0)
        return sent

    try:
        return run_wakeups(waiter, writer, rounds)
    finally:
        del word
        area.close()


def condition_wakeups(rounds):
    condition, count = ctx.Condition(), ctx.Value("q", 0, lock=False)

    def waiter(ready, report, rounds):
        woke, seen = {}, 0
        ready.set()
        with condition:
            while seen < rounds:
                condition.wait_for(lambda: count.value != seen, timeout=10)
                seen = count.value
                woke[seen] = now_ns()
        report.send(woke)

    def writer(rounds):
        sent = {}
        for i in range(1, rounds + 1):
            time.sleep(GAP)
            sent[i] = now_ns()
            with condition:
                count.value = i
                condition.notify_all()
        return sent

    return run_wakeups(waiter, writer, rounds)


def pubsub_wakeups(server, rounds):
    channel = fresh_name("channel")

    def waiter(ready, report, rounds):
        subscription = server.client().pubsub(ignore_subscribe_messages=True)
        subscription.subscribe(channel)
        while subscription.get_message(timeout=1) is None and not subscription.subscribed:
            pass
        woke = {}
        ready.set()
        for message in subscription.listen():
            if message["type"] == "message":
                woke[int(message["data"])] = now_ns()
                if len(woke) == rounds:
                    break
        report.send(woke)

    def writer(rounds):
        client, sent = server.client(), {}
        for i in range(1, rounds + 1):
            time.sleep(GAP)
            sent[i] = now_ns()
            client.publish(channel, i)
        return sent

    return run_wakeups(waiter, writer, rounds)


def bench_wakeups(server, rounds):
    peers = {"futex ping-pong (ctypes)": futex_wakeups, "mp.Condition notify": condition_wakeups}
    if server.proc:
        peers["Redis pub/sub"] = lambda n: pubsub_wakeups(server, n)
    print(f"\nWake-up: a write in one process to wait() returning in another, {rounds} rounds")
    ours = zelvane_wakeups(rounds)
    ours_median = statistics.median(ours)
    print(f"  {'zelvane wait()':26} median {ours_median / 1000:8.1f} us  p90 "
          f"{statistics.quantiles(ours, n=10)[-1] / 1000:8.1f} us  ({len(ours)} wake-ups)")
    for label, run in peers.items():
        theirs = run(rounds)
        median = statistics.median(theirs)
        print(f"  {label:26} median {median / 1000:8.1f} us  p90 "
              f"{statistics.quantiles(theirs, n=10)[-1] / 1000:8.1f} us  zelvane/this {ours_median / median:.2f}")
        target = 2 if label.startswith("futex") else 0.2
        record_ratio("shared_state", "wake-up median", label, ours_median / median, target)


# --- fan-out -------------------------------------------------------------------

def fan_out(name, since, threads, ready, report):
    import threading
    handle = zelvane.open_memory(name, create=False)
    woke = []

    def wait():
        version = handle.wait(since=since, timeout=30)
        woke.append((version, now_ns()))

    started = [threading.Thread(target=wait) for _ in range(threads)]
    for thread in started:
        thread.start()
    ready.put(None)
    for thread in started:
        thread.join()
    report.put(woke)


def bench_fan_out(procs=10, threads=10):
    name = fresh_name("fan")
    handle = zelvane.open_memory(name)
    handle.write(0)
    since = handle.version
    ready, report = ctx.Queue(), ctx.Queue()
    workers = [ctx.Process(target=fan_out, args=(name, since, threads, ready, report)) for _ in range(procs)]
    try:
        for worker in workers:
            worker.start()
        for _ in workers:
            ready.get(timeout=60)
        time.sleep(1)  # every thread asleep on the word by now
        began = now_ns()
        handle.write(1)
        woke = [entry for _ in workers for entry in report.get(timeout=60)]
        delays = sorted(at - began for version, at in woke if version == since + 1)
        print(f"\nFan-out: {procs * threads} waiters in {procs} processes, one write: {len(delays)} woke; "
              f"first {delays[0] / 1000:.0f} us, median {statistics.median(delays) / 1000:.0f} us, "
              f"last {delays[-1] / 1000:.0f} us after it")
    finally:
        for worker in workers:
            worker.join(60)
        handle.close()
        zelvane.remove_memory(name)


# --- a write without a waiter -------------------------------------------------

WRITE_TIMING = """
import sys, time, zelvane
name, n = sys.argv[1], int(sys.argv[2])
h = zelvane.open_memory(name)
for label, write in (("handle", lambda: h.write(5)), ("write_memory", lambda: zelvane.write_memory(name, 5))):
    batches = []
    for _ in range(15):
        began = time.perf_counter_ns()
        for _ in range(n):
            write()
        batches.append((time.perf_counter_ns() - began) / n)
    print(label, min(batches))
"""

WRITE_SYSCALLS = """
import sys, zelvane
name, n = sys.argv[1], int(sys.argv[2])
h = zelvane.open_memory(name)
for _ in range(n):
    h.write(5)
for _ in range(n):
    zelvane.write_memory(name, 5)
"""


def timed_writes(build, name, n):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([build, os.path.dirname(__file__)]))
    out = subprocess.run([sys.executable, "-c", WRITE_TIMING, name, str(n)], env=env, capture_output=True,
                         text=True, check=True).stdout
    return {label: float(ns) for label, ns in (line.split() for line in out.splitlines())}


def syscalls_of_writes(build, name, n):
    """System calls made at least n times (once per write or more) by n
    handle writes and n write_memory calls."""
    env = dict(os.environ, PYTHONPATH=build)
    with tempfile.NamedTemporaryFile("r") as summary:
        subprocess.run(["strace", "-f", "-c", "-o", summary.name, sys.executable, "-c", WRITE_SYSCALLS, name,
                        str(n)], env=env, capture_output=True, check=True)
        counts = {}
        for line in summary.read().splitlines():
            cells = line.split()
            if len(cells) >= 5 and cells[3].isdigit() and cells[-1] != "total":
                counts[cells[-1]] = int(cells[3])
    return {call: count for call, count in counts.items() if count >= n // 2}


RUNS = 9


def bench_plain_writes(baseline, n):
    builds = {"now": os.path.dirname(os.path.abspath(zelvane.__file__))}
    if baseline:
        builds["before"] = os.path.abspath(baseline)
    name = fresh_name("plain")
    try:
        runs = {build: [] for build in builds}
        for _ in range(RUNS):
            for build, path in builds.items():
                runs[build].append(timed_writes(path, name, n))
        # The fastest batch of each run: the machine is shared, and other
        # work only ever adds time.
        print(f"\nA write with nobody waiting (ns per write; median over {RUNS} alternating runs of the fastest batch)")
        medians = {build: {label: statistics.median(run[label] for run in results) for label in results[0]}
                   for build, results in runs.items()}
        for label in medians["now"]:
            line = "  ".join(f"{build} {medians[build][label]:7.1f}" for build in builds)
            ratio = f"  now/before {medians['now'][label] / medians['before'][label]:.3f}" if baseline else ""
            print(f"  {label:13} {line}{ratio}")
            if baseline:
                record_ratio("shared_state", f"{label} write, no waiter", "the build before versions",
                             medians["now"][label] / medians["before"][label], 1.05)
        if shutil.which("strace"):
            for build, path in builds.items():
                print(f"  system calls made once or more per write ({build}): {syscalls_of_writes(path, name, 20000)}")
    finally:
        zelvane.remove_memory(name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--baseline", help="a build directory from before versions, for the plain write")
    args = parser.parse_args()
    server = RedisServer()
    if not server.proc:
        print("(Redis peers skipped: redis-server or redis-py is missing)")
    try:
        bench_counter(server, 2000 if args.quick else 20000)
        bench_wakeups(server, 200 if args.quick else 1000)
        bench_fan_out()
        bench_plain_writes(args.baseline, 2000 if args.quick else 20000)
    finally:
        server.stop()


if __name__ == "__main__":
    main()
