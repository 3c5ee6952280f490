"""zelvane.aio measured beside its asyncio peers in one run.

  latency   an awaited add(1, 2) (one server process) against a redis.asyncio
            PING to a redis-server on loopback and a zmq.asyncio REQ/REP round
            trip to a REP process: medians
  many      1,000 concurrent awaited calls against a pool of 2 server
            processes: calls/s against the synchronous handle's from 8
            threads and against asyncio's own ceiling, the loop's longest
            gap meanwhile, helper threads; and a floor of the machine's:
            what waking a process asleep on another CPU costs the waker
  sleepy    an async def served by aio.serve(concurrency=16) that awaits
            asyncio.sleep(0.01): how long 16 concurrent callers take
  large     the loop's longest gap while a 64 MiB value is written to a slot
            (bytes, bytearray, in a list, in a dict, inside the task's lock()
            block), read from it, put into a queue and taken back, and sent
            to a function and back: medians
            and worst of several rounds (target < 2 ms), beside asyncio's own
            gap while one and two other processes copy 64 MiB (the floor of a
            loop that shares two CPUs with the copies). A result is let go
            once the round's measurement ends: freeing 64 MiB holds the GIL
            for milliseconds on whichever thread does it (the C library
            unmaps it), which stalls the loop as much from another thread,
            and when to do it is the caller's choice.

Run by hand (python benchmarks/aio.py [--rounds N]); nothing here is a
pass/fail check. Peers that are not installed are left out."""
import argparse
import asyncio
import gc
import multiprocessing as mp
import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time

import zelvane
from zelvane import aio
from zelvane._aio_runtime import _Runtime

from _common import record_ratio

CTX = mp.get_context("spawn")
WAIT = 30


def add(a, b):
    return a + b


def serve_add(name):
    zelvane.serve(name, add)


def zmq_rep(port):
    import zmq

    sock = zmq.Context().socket(zmq.REP)
    sock.bind(f"tcp://127.0.0.1:{port}")
    while True:
        message = sock.recv()
        if message == b"stop":
            sock.send(b"")
            return
        sock.send(message)


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def start_servers(name, count):
    procs = [CTX.Process(target=serve_add, args=(name,), daemon=True) for _ in range(count)]
    for proc in procs:
        proc.start()
    deadline = time.monotonic() + WAIT
    while True:
        try:
            with open(f"/dev/shm/{name}", "rb") as record:
                if zelvane._pool_servers(record.fileno()) >= count:
                    return procs
        except FileNotFoundError:
            pass
        if time.monotonic() > deadline:
            raise RuntimeError("the servers did not start")
        time.sleep(0.01)


def stop_servers(name, procs):
    zelvane.remove_function(name)
    for proc in procs:
        proc.join(WAIT)


async def median_us(once, rounds):
    for _ in range(min(200, rounds)):
        await once()
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        await once()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6


async def zelvane_latency(name, rounds):
    async with await aio.open_function(name, wait=WAIT) as function:
        return await median_us(lambda: function(1, 2), rounds)


async def redis_latency(rounds):
    if shutil.which("redis-server") is None:
        return None
    try:
        import redis.asyncio as redis
    except ImportError:
        return None
    port = free_port()
    server = subprocess.Popen(["redis-server", "--port", str(port), "--save", "", "--appendonly", "no"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        client = redis.Redis(port=port)
        deadline = time.monotonic() + WAIT
        while True:
            try:
                await client.ping()
                break
            except redis.ConnectionError:
                if time.monotonic() > deadline:
                    raise
                await asyncio.sleep(0.05)
        result = await median_us(client.ping, rounds)
        await client.aclose() if hasattr(client, "aclose") else await client.close()
        return result
    finally:
        server.terminate()
        server.wait(WAIT)


async def zmq_latency(rounds):
    try:
        import zmq
        import zmq.asyncio
    except ImportError:
        return None
    port = free_port()
    peer = CTX.Process(target=zmq_rep, args=(port,), daemon=True)
    peer.start()
    context = zmq.asyncio.Context()
    sock = context.socket(zmq.REQ)
    sock.connect(f"tcp://127.0.0.1:{port}")

    async def once():
        await sock.send(b"add 1 2")
        await sock.recv()

    try:
        return await median_us(once, rounds)
    finally:
        await sock.send(b"stop")
        await sock.recv()
        sock.close()
        context.term()
        peer.join(WAIT)


async def latency(rounds):
    name = f"bench_aio_{os.getpid()}"
    procs = start_servers(name, 1)
    try:
        ours = await zelvane_latency(name, rounds)
    finally:
        stop_servers(name, procs)
    print(f"latency   awaited add(1, 2)          {ours:8.1f} us")
    for peer, measure in (("redis.asyncio PING", redis_latency), ("zmq.asyncio REQ/REP", zmq_latency)):
        theirs = await measure(rounds)
        if theirs is None:
            print(f"latency   {peer:26s} not installed")
            continue
        print(f"latency   {peer:26s} {theirs:8.1f} us   ratio {ours / theirs:.2f} (target <= 0.5)")
        record_ratio("aio", "awaited add latency", peer, ours / theirs, 0.5)


class GapMeter:
    """How late a task that wakes every half millisecond wakes at worst: the
    longest the loop went without running it. (A task that only yields would
    hold the GIL for good and starve the helper threads.)"""

    TICK = 0.0005

    def __init__(self):
        self.longest = 0.0
        self.running = True

    async def run(self):
        while self.running:
            start = time.perf_counter()
            await asyncio.sleep(self.TICK)
            self.longest = max(self.longest, time.perf_counter() - start - self.TICK)


async def asyncio_gap(step=0):
    """The loop's longest gap while 1,000 tasks start and end that do
    nothing but sleep (made `step` at a time, or all at once): asyncio's
    own share of the gap above."""
    meter = GapMeter()
    ticker = asyncio.ensure_future(meter.run())
    await asyncio.sleep(0.01)
    for _ in range(5):
        naps = (asyncio.sleep(0.001) for _ in range(1000))
        await asyncio.gather(*(await started_in_steps(naps, step) if step else naps))
    meter.running = False
    await ticker
    return meter.longest


async def settled_soon(loop, i):
    future = loop.create_future()
    loop.call_soon(future.set_result, i)
    return await future


async def asyncio_ceiling(batches):
    """Awaits per second of 1,000 tasks at once, each awaiting a future that
    a callback of the loop settles: what asyncio itself costs an awaited
    call that needs no other thread, the most any awaited call can reach."""
    loop = asyncio.get_running_loop()
    start = time.perf_counter()
    for _ in range(batches):
        await asyncio.gather(*(settled_soon(loop, i) for i in range(1000)))
    return batches * 1000 / (time.perf_counter() - start)


def system_seconds():
    """The calling thread's system CPU seconds (split from its user time by
    the kernel's tick samples: good over many milliseconds only)."""
    return resource.getrusage(resource.RUSAGE_THREAD).ru_stime


async def timed_batches(make_call, batches):
    """The wall seconds, and the loop thread's CPU and system CPU seconds,
    of `batches` batches of 1,000 awaits of make_call(i) at once, after a
    fresh collection."""
    gc.collect()
    wall, cpu, system = time.perf_counter(), time.thread_time(), system_seconds()
    for _ in range(batches):
        await asyncio.gather(*(make_call(i) for i in range(1000)))
    return time.perf_counter() - wall, time.thread_time() - cpu, system_seconds() - system


async def side_by_side(function, rounds, batches):
    """Our awaited calls and asyncio's ceiling in alternating rounds, so
    that both meet the same state of a shared machine: for each, the median
    wall and CPU seconds per await, the best wall, and the share of the CPU
    time spent in the kernel over all rounds; and the median and quartiles
    of the ratios of single batches run back to back (the ceiling's wall
    over ours), which the machine's speed drifting between rounds moves
    least."""
    loop = asyncio.get_running_loop()
    ours, ceiling = [], []
    for _ in range(rounds):
        ours.append(await timed_batches(lambda i: function(i, 2), batches))
        ceiling.append(await timed_batches(lambda i: settled_soon(loop, i), batches))
    per_await = batches * 1000

    def summary(times):
        walls, cpus, systems = zip(*times)
        return (statistics.median(walls) / per_await, statistics.median(cpus) / per_await, min(walls) / per_await,
                sum(systems) / max(sum(cpus), 1e-9))

    pairs = []
    for _ in range(rounds * batches):
        our_wall = (await timed_batches(lambda i: function(i, 2), 1))[0]
        pairs.append((await timed_batches(lambda i: settled_soon(loop, i), 1))[0] / our_wall)
    return summary(ours), summary(ceiling), statistics.quantiles(pairs, n=4)


READER = """import os, sys
fd, cpu = int(sys.argv[1]), int(sys.argv[2])
os.sched_setaffinity(0, {cpu})
while os.read(fd, 1):
    pass
"""


def wake_cost(writes=2000):
    """What waking a process that sleeps on another CPU costs the waker:
    the CPU seconds of a one-byte pipe write to a reader blocked in read(),
    less those of one to a pipe nobody waits on. A pool's servers
    sleep once their requests run out (unless the loop has more calls
    waiting for room: then they watch for its next round a while first),
    and the next post wakes them so; 0 where there is one CPU."""
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        return 0.0
    before = os.sched_getaffinity(0)
    asleep_r, asleep_w = os.pipe()
    idle_r, idle_w = os.pipe()
    reader = subprocess.Popen([sys.executable, "-c", READER, str(asleep_r), str(cpus[1])], pass_fds=(asleep_r,))
    os.close(asleep_r)
    try:
        os.sched_setaffinity(0, {cpus[0]})
        costs = {asleep_w: 0.0, idle_w: 0.0}
        for i in range(writes):
            fd = asleep_w if i % 2 else idle_w
            time.sleep(0.0005)  # the reader blocks meanwhile
            cpu = time.thread_time()
            os.write(fd, b"x")
            costs[fd] += time.thread_time() - cpu
            if fd == idle_w and i % 1000 == 0:
                os.read(idle_r, 65536)
        return max(0.0, (costs[asleep_w] - costs[idle_w]) / (writes // 2))
    finally:
        os.sched_setaffinity(0, before)
        for fd in (asleep_w, idle_r, idle_w):
            os.close(fd)
        reader.wait(WAIT)


def sync_rate(name, threads, seconds):
    counts = [0] * threads
    stop = time.monotonic() + seconds

    def caller(i):
        with zelvane.open_function(name) as function:
            while time.monotonic() < stop:
                function(1, 2)
                counts[i] += 1

    workers = [threading.Thread(target=caller, args=(i,)) for i in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - start)


async def started_in_steps(calls, step):
    """Tasks for `calls` (coroutines), started `step` at a time with the loop
    running between steps: creating a thousand tasks in one go is a gap of
    asyncio's own, not one the calls cause."""
    tasks = []
    for i, call in enumerate(calls, 1):
        tasks.append(asyncio.ensure_future(call))
        if i % step == 0:
            await asyncio.sleep(0)
    return tasks


async def run_batches(function, batches, step):
    """Runs `batches` batches of 1,000 concurrent calls: how long they took,
    the loop's longest gap meanwhile, and the most helper threads seen."""
    meter = GapMeter()
    ticker = asyncio.ensure_future(meter.run())
    await asyncio.sleep(0.01)
    threads = 0
    start = time.perf_counter()
    for _ in range(batches):
        calls = (function(i, 2) for i in range(1000))
        calls = asyncio.gather(*(await started_in_steps(calls, step) if step else calls))
        while not calls.done():
            threads = max(threads, sum(t.name.startswith("zelvane-aio") for t in threading.enumerate()))
            await asyncio.sleep(0.001)
        await calls
    elapsed = time.perf_counter() - start
    meter.running = False
    await ticker
    return elapsed, meter.longest, threads


STEP = 20


class LongestDelivery:
    """The longest single piece of work zelvane.aio does on the loop (posting
    a call, collecting replies, settling the outcomes helpers ran), in wall
    time and in the loop thread's CPU time (the latter leaves out the time
    the system gave the CPU to others)."""

    METHODS = ("call", "_collect", "_look_between_slices", "_time_up", "_deliver", "_ring")

    def __init__(self):
        self.wall = self.cpu = 0.0
        self.originals = {}

    def __enter__(self):
        for method in self.METHODS:
            self.originals[method] = original = getattr(_Runtime, method)
            setattr(_Runtime, method, self.timed(original))
        return self

    def timed(self, original):
        def timed(*args):
            wall, cpu = time.perf_counter(), time.thread_time()
            try:
                return original(*args)
            finally:
                self.wall = max(self.wall, time.perf_counter() - wall)
                self.cpu = max(self.cpu, time.thread_time() - cpu)

        return timed

    def __exit__(self, *exc_info):
        for method, original in self.originals.items():
            setattr(_Runtime, method, original)


class CollectingPasses:
    """Counts the loop's passes over its posted calls that ended some: each
    posts calls in place of those, and wakes the pool's servers if they
    fell asleep meanwhile."""

    def __init__(self):
        self.passes = 0
        self.original = None

    def __enter__(self):
        self.original = original = _Runtime._end_collected

        def counted(runtime, until):
            ended = original(runtime, until)
            self.passes += ended > 0
            return ended

        _Runtime._end_collected = counted
        return self

    def __exit__(self, *exc_info):
        _Runtime._end_collected = self.original


async def many(batches, rounds=7):
    name = f"bench_aio_many_{os.getpid()}"
    procs = start_servers(name, 2)
    try:
        async with await aio.open_function(name, wait=WAIT) as function:
            await asyncio.gather(*(function(1, 2) for _ in range(1000)))
            ours, ceiling, pairs = await side_by_side(function, rounds, batches)
            with CollectingPasses() as passes:
                _, gap, threads = await run_batches(function, batches, 0)
            with LongestDelivery() as delivery:
                _, stepped_gap, _ = await run_batches(function, batches, STEP)
        theirs = await asyncio.get_running_loop().run_in_executor(None, sync_rate, name, 8, 2.0)
    finally:
        stop_servers(name, procs)
    wake = await asyncio.get_running_loop().run_in_executor(None, wake_cost)
    (wall, cpu, best, system), (ceiling_wall, ceiling_cpu, ceiling_best, ceiling_system) = ours, ceiling
    print(f"many      1,000 awaited calls, pool of 2: {1 / wall:9.0f} calls/s; synchronous from 8 threads "
          f"{theirs:9.0f} calls/s; ratio {1 / wall / theirs:.2f} (target >= 0.5)")
    # Rounds of ours and of asyncio's alternate: the medians and bests of
    # each meet the same state of a shared machine.
    print(f"many      asyncio alone, 1,000 tasks awaiting futures settled by call_soon: {1 / ceiling_wall:9.0f} "
          f"awaits/s; ours {ceiling_wall / wall:.2f} of it at the median of {rounds} rounds, "
          f"{ceiling_best / best:.2f} best against best (target >= 0.8)")
    print(f"many      batch against batch, back to back: ours {pairs[1]:.2f} of asyncio's at the median of "
          f"{rounds * batches} pairs (quartiles {pairs[0]:.2f} to {pairs[2]:.2f}; target >= 0.8)")
    # The loop thread's CPU time per call holds up better than rates on a
    # machine that other work shares.
    print(f"many      the loop's CPU per awaited call {cpu * 1e6:.1f} us; per await settled by call_soon "
          f"{ceiling_cpu * 1e6:.1f} us (ratio {ceiling_cpu / cpu:.2f}); in the kernel {system:.0%} of ours, "
          f"{ceiling_system:.0%} of asyncio's")
    # A floor of this machine's: servers that ran out of requests sleep, and
    # the loop's next post wakes them, at a price the ceiling never pays.
    per_call = passes.passes / (batches * 1000)
    print(f"many      waking a process asleep on another CPU costs its waker {wake * 1e6:.1f} us here; "
          f"the loop posted after {per_call * 1000:.0f} passes per 1,000 calls, a wake-up each at most: "
          f"up to {per_call * wake * 1e6:.2f} us of its CPU per call")
    baseline, stepped_baseline = await asyncio_gap(), await asyncio_gap(STEP)
    print(f"many      loop's longest gap {gap * 1e3:.2f} ms with the 1,000 tasks made at once (1,000 tasks that "
          f"only sleep 1 ms give {baseline * 1e3:.2f} ms); {stepped_gap * 1e3:.2f} ms with them made {STEP} at a "
          f"time ({stepped_baseline * 1e3:.2f} ms for the sleeping ones; target < 2 ms); "
          f"helper threads at most {threads}")
    print(f"many      zelvane's longest callback on the loop {delivery.wall * 1e3:.2f} ms "
          f"({delivery.cpu * 1e3:.2f} ms of its CPU time)")
    record_ratio("aio", "1000 awaited calls/s vs 8 threads", "sync handle", theirs * wall, 2.0)
    record_ratio("aio", "1000 awaited calls/s vs asyncio's ceiling", "futures settled by call_soon",
                 wall / ceiling_wall, 1.25)
    record_ratio("aio", "1000 awaited calls vs asyncio's ceiling, batch against batch",
                 "futures settled by call_soon", 1 / pairs[1], 1.25)


async def sleepy():
    name = f"bench_aio_sleepy_{os.getpid()}"

    async def nap(x):
        await asyncio.sleep(0.01)
        return x

    server = asyncio.ensure_future(aio.serve(name, nap, concurrency=16))
    try:
        async with await aio.open_function(name, wait=WAIT) as function:
            await function(0)
            start = time.perf_counter()
            results = await asyncio.gather(*(function(i) for i in range(16)))
            elapsed = time.perf_counter() - start
        assert results == list(range(16))
    finally:
        zelvane.remove_function(name)
        await server
    print(f"sleepy    16 callers of an async def sleeping 10 ms, concurrency=16: {elapsed * 1e3:.1f} ms "
          f"(one sleep 10 ms, sixteen 160 ms)")


def echo(value):
    return value


def serve_echo(name):
    zelvane.serve(name, echo)


async def longest_gap(action, rounds):
    """The loop's longest gap while `action()` is awaited: the median and the
    worst of `rounds` rounds, in ms. Its result is let go after the round."""
    gaps = []
    for _ in range(rounds):
        meter = GapMeter()
        ticker = asyncio.ensure_future(meter.run())
        await asyncio.sleep(0.01)
        result = await action()
        await asyncio.sleep(0.005)
        meter.running = False
        await ticker
        gaps.append(meter.longest * 1e3)
        del result
        await asyncio.sleep(0.02)
    return statistics.median(gaps), max(gaps)


def copy_repeatedly(started, size, times):
    """In another process: copies `size` bytes `times` times once `started`
    is set, as a helper thread or a server does with a large value."""
    source = b"x" * size
    started.wait()
    for _ in range(times):
        copy = bytearray(source)
        del copy


async def copying_floor(copiers, rounds, size):
    """The loop's longest gap, in ms (median and worst of `rounds`), while
    `copiers` other processes copy `size` bytes three times each: what a
    loop sharing the machine's CPUs with that many copies meets whoever
    copies. A large write or read copies on one helper thread; a large call
    on a helper and in the server."""
    context = mp.get_context("fork")
    gaps = []
    for _ in range(rounds):
        started = context.Event()
        procs = [context.Process(target=copy_repeatedly, args=(started, size, 3), daemon=True)
                 for _ in range(copiers)]
        for proc in procs:
            proc.start()
        await asyncio.sleep(0.2)  # their source made
        meter = GapMeter()
        ticker = asyncio.ensure_future(meter.run())
        await asyncio.sleep(0.01)
        started.set()
        while any(proc.is_alive() for proc in procs):
            await asyncio.sleep(0.002)
        meter.running = False
        await ticker
        for proc in procs:
            proc.join()
        gaps.append(meter.longest * 1e3)
    return statistics.median(gaps), max(gaps)


async def large(rounds):
    size = 64 << 20
    for copiers in (1, 2):
        median, worst = await copying_floor(copiers, rounds, size)
        print(f"large     floor: asyncio alone while {copiers} other "
              f"{'processes copy' if copiers > 1 else 'process copies'} 64 MiB: gap median {median:6.2f} ms, worst {worst:6.2f} ms")
    values = {"bytes": b"x" * size, "bytearray": bytearray(size), "list of bytes": [b"x" * size],
              "dict of str": {"k": "x" * size}}
    name = f"bench_aio_large_{os.getpid()}"
    slot = aio.open_memory(name)

    async def locked_write():
        async with slot.lock():
            return await slot.write(values["bytes"])

    # asyncio starts its default executor (an import and a thread) on the
    # loop's thread at its first use: once, before any round.
    await asyncio.get_running_loop().run_in_executor(None, int)
    try:
        cases = [(f"slot write, {kind}", lambda value=value: slot.write(value)) for kind, value in values.items()]
        cases += [("slot write inside lock()", locked_write), ("slot read", slot.read)]
        for label, action in cases:
            median, worst = await longest_gap(action, rounds)
            print(f"large     {label:28s} gap median {median:6.2f} ms, worst {worst:6.2f} ms (target < 2 ms)")
    finally:
        slot.close()
        zelvane.remove_memory(name)
    async with aio.open_queue(f"bench_aio_large_queue_{os.getpid()}", temporary=True) as items:
        async def put_and_get(value):
            await items.put(value)
            return await items.get()

        for kind in ("bytes", "list of bytes"):
            median, worst = await longest_gap(lambda kind=kind: put_and_get(values[kind]), rounds)
            label = f"queue put+get, {kind}"
            print(f"large     {label:28s} gap median {median:6.2f} ms, worst {worst:6.2f} ms (target < 2 ms)")
    name = f"bench_aio_large_call_{os.getpid()}"
    proc = CTX.Process(target=serve_echo, args=(name,), daemon=True)
    proc.start()
    try:
        # A handle of its own for each case: the first round includes the
        # growth of the handle's buffers for the value.
        for label, value in (("call and result, bytes", values["bytes"]),
                             ("call and result, list", values["list of bytes"])):
            async with await aio.open_function(name, wait=WAIT) as function:
                median, worst = await longest_gap(lambda value=value: function(value), rounds)
            print(f"large     {label:28s} gap median {median:6.2f} ms, worst {worst:6.2f} ms (target < 2 ms)")
    finally:
        stop_servers(name, [proc])


async def main(args):
    print(f"{os.cpu_count()} CPUs, Python {sys.version.split()[0]}")
    await latency(args.rounds)
    await many(args.batches)
    await sleepy()
    await large(args.large_rounds)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3000)
    parser.add_argument("--batches", type=int, default=5)
    parser.add_argument("--large-rounds", type=int, default=7)
    asyncio.run(main(parser.parse_args()))
