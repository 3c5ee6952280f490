"""Cross-process calls of a small function: zelvane against a child answering
over multiprocessing.Pipe, a multiprocessing.connection Unix socket, a
BaseManager (a method of a registered class, and a registered callable) and
ZeroMQ REQ/ROUTER over ipc://, side by side in one run.

    PYTHONPATH=build/py311 python benchmarks/functions.py [--placement free|same|split] [--quick]
    PYTHONPATH=build/py311 python benchmarks/functions.py --throughput [--quick]
    PYTHONPATH=build/py311 python benchmarks/functions.py --slow-callable [--quick]
    PYTHONPATH=build/py311 python benchmarks/functions.py --syscalls [--placement P] [--tracer strace|perf] [--quick]
    PYTHONPATH=build/py311 python benchmarks/functions.py --large [--quick]

Latency (the default): one caller, add(1, 2), each call timed on its own after
a warm-up, the peers taking turns round by round; placement of the serving
process and the caller: free (not pinned), same (both on one CPU) or split
(server on one CPU, caller on another).

--throughput: one server per peer; 1, 2, 4 and 8 caller processes and 2
processes x 4 threads, each caller making --calls calls of add(i, 1) as fast
as it can, all released together by a barrier. Per peer: calls per second
overall, p50, p99 and the worst single call, the callers' CPU time per call,
and the spread of the callers' finish times (slowest / fastest, counted from
the common start).

--slow-callable: the same with a callable that sleeps 1 ms and 4 callers.
The callable stands for something that serves one call at a time (a device,
a model), so servers that answer each connection in a thread of their own
take a lock around it.

--large: echo of a bytes value of 16 B, 64 KiB, 1 MiB and 100 MiB through a
handle against multiprocessing.Pipe (send/recv, as a user would), medians,
the peers taking turns; then the peak memory of one 100 MiB echo in the
caller and in the server, as a multiple of the payload (the growth of each
process's peak resident set over its resident set before the call, shared
pages it maps included). With --baseline DIR (a build of another version, for
PYTHONPATH), the median of a 16-byte echo through a handle of each build,
runs alternating.

--syscalls: system calls per call of the uncontended single-caller loop, by
name, for the caller (run under strace -f -c) and for the server (strace
attached to it), each the difference between a run of --calls calls and a
run of none, the two processes placed as --placement says. Needs strace on
PATH; --tracer perf counts with perf stat on the system-call tracepoints
instead, which does not slow the traced process as strace does (strace
stops it at each system call, so a peer's watch for it may run out).

"zelvane" calls through call_function; "zelvane handle" through a handle of
open_function, where the module has it. Ratios are zelvane's (call_function)
over each peer's: below 1 means zelvane is faster. The throughput and
slow-callable modes run unpinned.
"""
import argparse
import array
import contextlib
import itertools
import multiprocessing as mp
import multiprocessing.connection
import multiprocessing.managers
import os
import pickle
import queue
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import zelvane
from _common import record_ratio

try:
    import zmq
except ImportError:
    zmq = None

WAIT_SECONDS = 30
# Every result of a contention run, from callers that may be slow on a loaded
# machine: long enough for the slowest peer, short of hanging for ever.
RESULT_SECONDS = 600
SLOW_SECONDS = 0.001
HAS_HANDLE = hasattr(zelvane, "open_function")
serial_lock = threading.Lock()
unique = itertools.count()


def add(a, b):
    return a + b


def slow_add(a, b):
    with serial_lock:
        time.sleep(SLOW_SECONDS)
        return a + b


def callable_for(slow):
    return slow_add if slow else add


def prepare_child(cpu):
    # Ctrl-C reaches the whole process group; the parent stops the servers and
    # removes their names, so the children leave the signal to it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if cpu is not None:
        os.sched_setaffinity(0, {cpu})


def stop(process):
    process.join(WAIT_SECONDS)
    if process.is_alive():
        process.kill()
        process.join()


def scratch_path(kind):
    return os.path.join(tempfile.gettempdir(), f"zbench_{kind}_{os.getpid()}_{next(unique)}")


def wait_until(ready, process, what):
    deadline = time.monotonic() + WAIT_SECONDS
    while not ready():
        if not process.is_alive() or time.monotonic() > deadline:
            raise RuntimeError(f"the {what} server did not start serving")
        time.sleep(0.01)


# Servers, each in a process of its own.

def serve_zelvane(name, cpu, slow):
    prepare_child(cpu)
    sys.stdout = open(os.devnull, "w")  # the line a server prints when stopped
    zelvane.create_function(name, callable_for(slow))


def serve_pipes(conns, cpu, slow):
    prepare_child(cpu)
    func = callable_for(slow)
    if len(conns) == 1:  # one caller: no poll per call in the way
        (conn,) = conns
        while (args := conn.recv()) is not None:
            conn.send(func(*args))
        return
    live = list(conns)
    while live:
        for conn in mp.connection.wait(live):
            try:
                args = conn.recv()
            except EOFError:
                args = None
            if args is None:
                live.remove(conn)
            else:
                conn.send(func(*args))


def answer_connection(conn, func, stopping):
    with conn:
        while True:
            try:
                args = conn.recv()
            except EOFError:
                return
            if args is None:
                stopping.set()
                return
            conn.send(func(*args))


def accept_connections(listener, func, stopping):
    while True:
        try:
            conn = listener.accept()
        except OSError:  # the listener closed as serving ends
            return
        threading.Thread(target=answer_connection, args=(conn, func, stopping), daemon=True).start()


def serve_listener(path, cpu, slow, ready):
    prepare_child(cpu)
    stopping = threading.Event()
    listener = mp.connection.Listener(path, family="AF_UNIX", backlog=64)
    threading.Thread(target=accept_connections, args=(listener, callable_for(slow), stopping),
                     daemon=True).start()
    ready.set()
    stopping.wait()
    listener.close()  # unlinks the socket


def serve_zmq(address, cpu, slow):
    prepare_child(cpu)
    func = callable_for(slow)
    context = zmq.Context()
    socket = context.socket(zmq.ROUTER)
    socket.bind(address)
    while True:
        ident, empty, payload = socket.recv_multipart()
        args = pickle.loads(payload)
        if args is None:
            socket.send_multipart([ident, empty, b""])
            break
        socket.send_multipart([ident, empty, pickle.dumps(func(*args))])
    socket.close(linger=0)
    context.term()


class Adder:
    def __init__(self, slow=False):
        self.func = callable_for(slow)

    def add(self, a, b):
        return self.func(a, b)


class AdderManager(multiprocessing.managers.BaseManager):
    pass


AdderManager.register("Adder", Adder)
AdderManager.register("function", callable_for, exposed=("__call__",))


# What a caller needs to reach a server, picklable into a caller process;
# connect() gives (call(a, b), close()).

class ZelvaneClient:
    def __init__(self, name):
        self.name = name

    def connect(self):
        name = self.name
        return (lambda a, b: zelvane.call_function(name, (a, b))), (lambda: None)


class HandleClient(ZelvaneClient):
    def connect(self):
        handle = zelvane.open_function(self.name)
        return (lambda a, b: handle(a, b)), handle.close


class PipeClient:
    def __init__(self, conn):
        self.conn = conn

    def connect(self):
        conn = self.conn

        def call(a, b):
            conn.send((a, b))
            return conn.recv()
        return call, (lambda: None)


class ListenerClient:
    def __init__(self, path):
        self.path = path

    def connect(self):
        conn = mp.connection.Client(self.path, family="AF_UNIX")

        def call(a, b):
            conn.send((a, b))
            return conn.recv()
        return call, conn.close


class ZmqClient:
    def __init__(self, address):
        self.address = address

    def connect(self):
        socket = zmq.Context.instance().socket(zmq.REQ)
        socket.setsockopt(zmq.LINGER, 0)
        socket.connect(self.address)

        def call(a, b):
            socket.send(pickle.dumps((a, b)))
            return pickle.loads(socket.recv())
        return call, socket.close


class ProxyClient:
    """A manager proxy; each thread that uses it gets a connection of its own."""

    def __init__(self, proxy, method=None):
        self.proxy, self.method = proxy, method

    def connect(self):
        target = getattr(self.proxy, self.method) if self.method else self.proxy
        return (lambda a, b: target(a, b)), (lambda: None)


# Peers: a server started by the parent for `callers` calling threads.

class ZelvanePeer:
    label = "zelvane"
    share = 1  # the fraction of the latency calls it makes: 1/share
    client_kind = ZelvaneClient

    def __init__(self, ctx, cpu, callers=1, slow=False):
        self.callers = callers
        self.name = f"zbench_add_{os.getpid()}_{next(unique)}"
        self.process = ctx.Process(target=serve_zelvane, args=(self.name, cpu, slow), daemon=True)
        self.process.start()
        try:
            wait_until(lambda: os.path.exists(f"/dev/shm/{self.name}"), self.process, "zelvane")
        except BaseException:
            self.close()
            raise

    def clients(self):
        return [self.client_kind(self.name)] * self.callers

    def close(self):
        zelvane.remove_function(self.name)
        stop(self.process)
        zelvane.remove_memory(self.name)  # the record of a server that had to be killed


class HandlePeer(ZelvanePeer):
    label = "zelvane handle"
    client_kind = HandleClient


class PipePeer:
    label = "Pipe"
    share = 1

    def __init__(self, ctx, cpu, callers=1, slow=False):
        pairs = [ctx.Pipe() for _ in range(callers)]
        self.conns = [here for here, _ in pairs]
        self.process = ctx.Process(target=serve_pipes, args=([there for _, there in pairs], cpu, slow),
                                   daemon=True)
        self.process.start()
        for _, there in pairs:
            there.close()

    def clients(self):
        return [PipeClient(conn) for conn in self.conns]

    def close(self):
        for conn in self.conns:
            with contextlib.suppress(OSError):
                conn.send(None)
        stop(self.process)
        for conn in self.conns:
            conn.close()


class ListenerPeer:
    label = "connection"
    share = 1

    def __init__(self, ctx, cpu, callers=1, slow=False):
        self.callers = callers
        self.path = scratch_path("conn")
        ready = ctx.Event()
        self.process = ctx.Process(target=serve_listener, args=(self.path, cpu, slow, ready),
                                   daemon=True)
        self.process.start()
        try:
            wait_until(ready.is_set, self.process, "connection")
        except BaseException:
            self.close()
            raise

    def clients(self):
        return [ListenerClient(self.path)] * self.callers

    def close(self):
        with contextlib.suppress(OSError), mp.connection.Client(self.path, family="AF_UNIX") as conn:
            conn.send(None)
        stop(self.process)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path)


class ManagerPeer:
    """A method of an object of a class registered with a BaseManager."""
    label = "Manager"
    share = 4

    def __init__(self, ctx, cpu, callers=1, slow=False):
        self.callers = callers
        self.manager = AdderManager(ctx=ctx)
        self.manager.start(initializer=prepare_child, initargs=(cpu,))
        self.client = self.make_client(slow)

    def make_client(self, slow):
        return ProxyClient(self.manager.Adder(slow), "add")

    def clients(self):
        return [self.client] * self.callers

    def close(self):
        self.manager.shutdown()


class BaseManagerPeer(ManagerPeer):
    """A callable registered with a BaseManager, called through its proxy."""
    label = "BaseManager"

    def make_client(self, slow):
        return ProxyClient(self.manager.function(slow))


class ZmqPeer:
    label = "zmq"
    share = 1

    def __init__(self, ctx, cpu, callers=1, slow=False):
        self.callers = callers
        self.path = scratch_path("zmq")
        self.address = f"ipc://{self.path}"
        self.process = ctx.Process(target=serve_zmq, args=(self.address, cpu, slow), daemon=True)
        self.process.start()

    def clients(self):
        return [ZmqClient(self.address)] * self.callers

    def close(self):
        with contextlib.suppress(zmq.ZMQError):
            socket = zmq.Context.instance().socket(zmq.REQ)
            socket.setsockopt(zmq.LINGER, 0)
            socket.setsockopt(zmq.RCVTIMEO, WAIT_SECONDS * 1000)
            try:
                socket.connect(self.address)
                socket.send(pickle.dumps(None))
                socket.recv()
            finally:
                socket.close()
        stop(self.process)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path)


def peer_kinds():
    kinds = [ZelvanePeer] + ([HandlePeer] if HAS_HANDLE else [])
    kinds += [PipePeer, ListenerPeer, ManagerPeer, BaseManagerPeer]
    return kinds + ([] if zmq is None else [ZmqPeer])


def print_missing_peers():
    if not HAS_HANDLE:
        print("note: this zelvane has no open_function, so the handle is not measured")
    if zmq is None:
        print("note: pyzmq is not installed, so the zmq peer is skipped")


def start_peers(stack, ctx, cpu, callers=1, slow=False):
    peers = []
    for kind in peer_kinds():
        peer = kind(ctx, cpu, callers, slow)
        stack.callback(peer.close)
        peers.append(peer)
    return peers


def is_zelvane(peer):
    return isinstance(peer, ZelvanePeer)


def percentile(ordered, fraction):
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


# Latency: one caller, the peers taking turns.

def timed_calls(call, count, into):
    clock = time.perf_counter_ns
    for _ in range(count):
        start = clock()
        call(1, 2)
        into.append(clock() - start)


def summarise(nanoseconds):
    """(median, 99th percentile) in microseconds."""
    ordered = sorted(nanoseconds)
    return (percentile(ordered, 0.5) / 1e3, percentile(ordered, 0.99) / 1e3)


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


def measure(peers, calls, stack, rounds=5):
    """Per-call nanoseconds of each peer (a share of the calls for the slow
    managers), the peers taking turns round by round."""
    counts = [max(1, calls // rounds // peer.share) for peer in peers]
    callers = []
    for peer, count in zip(peers, counts):
        call, close = peer.clients()[0].connect()
        stack.callback(close)
        if call(1, 2) != 3:
            raise AssertionError(f"{peer.label} did not add")
        timed_calls(call, count // 5, [])  # warm-up
        callers.append(call)
    latencies = [[] for _ in peers]
    for _ in range(rounds):
        for call, count, into in zip(callers, counts, latencies):
            timed_calls(call, count, into)
    return latencies


def report_latency(placement, peers, latencies):
    summary = [summarise(times) for times in latencies]
    width = max(len(peer.label) for peer in peers) + 2
    print(f"{'peer':<{width}}{'calls':>7}{'median':>9}{'p99':>9}{'z/median':>10}{'z/p99':>8}")
    ours = summary[0]
    for peer, times, (median, p99) in zip(peers, latencies, summary):
        print(f"{peer.label:<{width}}{len(times):>7}{median:>9.1f}{p99:>9.1f}"
              f"{ours[0] / median:>10.2f}{ours[1] / p99:>8.2f}")
    bench = f"functions {placement}"
    pipe_median_target = 1.0 if placement == "same" else 0.5
    for peer, (median, p99) in zip(peers, summary):
        if is_zelvane(peer):
            continue
        is_pipe = peer.label == "Pipe"
        record_ratio(bench, "add median", peer.label, ours[0] / median,
                     pipe_median_target if is_pipe else None)
        record_ratio(bench, "add p99", peer.label, ours[1] / p99, 1.0 if is_pipe else None)
        if HAS_HANDLE:
            handle = summary[1]
            record_ratio(bench, "handle median", peer.label, handle[0] / median)
            record_ratio(bench, "handle p99", peer.label, handle[1] / p99)


def latency_mode(args, ctx):
    server_cpu, caller_cpu = placement_cpus(args.placement)
    if caller_cpu is not None:
        os.sched_setaffinity(0, {caller_cpu})
    with contextlib.ExitStack() as stack:
        peers = start_peers(stack, ctx, server_cpu)
        with contextlib.ExitStack() as connections:
            latencies = measure(peers, args.calls, connections)
    print(f"add(1, 2) round trip, placement {args.placement} (server CPU {server_cpu}, "
          f"caller CPU {caller_cpu}); microseconds per call")
    report_latency(args.placement, peers, latencies)


# Contention: many callers at once, released together.

def calling_thread(client, count, barrier, outcomes, slot):
    """Makes `count` timed calls of add(i, 1) after the barrier and leaves
    what it saw in its slot: start and end (ns), the thread's CPU time (ns),
    the per-call times (ns, as bytes), the wrong results and any error."""
    clock = time.perf_counter_ns
    times = array.array("q")
    try:
        call, close = client.connect()
        try:
            for i in range(min(20, count)):  # warm-up: connections made, caches filled
                call(i, 1)
            barrier.wait(RESULT_SECONDS)
            wrong = 0
            cpu = time.thread_time_ns()
            start = clock()
            for i in range(count):
                before = clock()
                result = call(i, 1)
                times.append(clock() - before)
                if result != i + 1:
                    wrong += 1
            end = clock()
            cpu = time.thread_time_ns() - cpu
        finally:
            close()
        outcomes[slot] = {"start": start, "end": end, "cpu": cpu, "times": times.tobytes(),
                          "wrong": wrong, "error": None}
    except BaseException as error:
        barrier.abort()
        outcomes[slot] = {"error": repr(error)}


def calling_process(shares, count, barrier, results):
    """One caller process: for each peer in turn, its threads' calls."""
    prepare_child(None)
    for index, clients in enumerate(shares):
        outcomes = [None] * len(clients)
        threads = [threading.Thread(target=calling_thread, args=(client, count, barrier, outcomes, slot))
                   for slot, client in enumerate(clients)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        results.put((index, outcomes))


def run_callers(ctx, peers, processes, threads, count):
    """Every calling thread's outcome, per peer."""
    barrier = ctx.Barrier(processes * threads)
    results = ctx.Queue()
    clients = [peer.clients() for peer in peers]
    workers = []
    try:
        for w in range(processes):
            shares = [every[w * threads:(w + 1) * threads] for every in clients]
            worker = ctx.Process(target=calling_process, args=(shares, count, barrier, results),
                                 daemon=True)
            worker.start()
            workers.append(worker)
        collected = [[] for _ in peers]
        for _ in range(processes * len(peers)):
            try:
                index, outcomes = results.get(timeout=RESULT_SECONDS)
            except queue.Empty:
                raise RuntimeError("the callers did not report in time") from None
            collected[index].extend(outcomes)
    except BaseException:
        for worker in workers:  # they ignore Ctrl-C and would go on calling
            worker.kill()
        raise
    finally:
        for worker in workers:
            stop(worker)
    for peer, outcomes in zip(peers, collected):
        errors = [outcome["error"] for outcome in outcomes if outcome["error"]]
        if errors:
            raise RuntimeError(f"{peer.label}: a caller failed: {errors[0]}")
        wrong = sum(outcome["wrong"] for outcome in outcomes)
        if wrong:
            raise AssertionError(f"{peer.label}: {wrong} wrong results")
    return collected


def contention_figures(outcomes):
    """calls/s, p50, p99, worst, the callers' CPU time per call (microseconds)
    and the finish spread."""
    times = array.array("q")
    for outcome in outcomes:
        times.frombytes(outcome["times"])
    ordered = sorted(times)
    common_start = min(outcome["start"] for outcome in outcomes)
    finishes = [outcome["end"] - common_start for outcome in outcomes]
    return {
        "rate": len(ordered) / (max(finishes) / 1e9),
        "p50": percentile(ordered, 0.5) / 1e3,
        "p99": percentile(ordered, 0.99) / 1e3,
        "worst": ordered[-1] / 1e3,
        "cpu": sum(outcome["cpu"] for outcome in outcomes) / len(ordered) / 1e3,
        "spread": max(finishes) / min(finishes),
    }


def report_contention(bench, peers, collected, targets):
    figures = [contention_figures(outcomes) for outcomes in collected]
    width = max(len(peer.label) for peer in peers) + 2
    print(f"{'peer':<{width}}{'calls/s':>9}{'p50':>9}{'p99':>9}{'worst':>10}{'spread':>8}"
          f"{'cpu':>7}{'z/time':>8}{'z/p99':>7}{'z/worst':>8}")
    ours = figures[0]
    family = " ".join(bench.split()[:2])  # one plot for every configuration of the mode
    for peer, f in zip(peers, figures):
        print(f"{peer.label:<{width}}{f['rate']:>9.0f}{f['p50']:>9.1f}{f['p99']:>9.1f}"
              f"{f['worst']:>10.0f}{f['spread']:>8.2f}{f['cpu']:>7.1f}{f['rate'] / ours['rate']:>8.2f}"
              f"{ours['p99'] / f['p99']:>7.2f}{ours['worst'] / f['worst']:>8.2f}")
    for peer, f in zip(peers, figures):
        if is_zelvane(peer):
            continue
        # time per call rather than calls/s, so that below 1 is faster here too
        record_ratio(bench, "time per call", peer.label, f["rate"] / ours["rate"], targets.get("time"), family)
        record_ratio(bench, "p99", peer.label, ours["p99"] / f["p99"], targets.get("p99"), family)
        if HAS_HANDLE:
            handle = figures[1]
            record_ratio(bench, "handle time per call", peer.label, f["rate"] / handle["rate"],
                         targets.get("time"), family)
            record_ratio(bench, "handle p99", peer.label, handle["p99"] / f["p99"], targets.get("p99"), family)
    return figures


def contention_mode(ctx, configurations, count, slow):
    what = "slow_add(i, 1) (1 ms)" if slow else "add(i, 1)"
    rates = {}
    for processes, threads in configurations:
        shape = f"{processes} processes x {threads} threads" if threads > 1 else (
            f"{processes} caller{'s' if processes > 1 else ''}")
        with contextlib.ExitStack() as stack:
            peers = start_peers(stack, ctx, None, processes * threads, slow)
            collected = run_callers(ctx, peers, processes, threads, count)
        print(f"\n{shape}, {count} calls of {what} each, started together; "
              "microseconds per call, spread = slowest finish / fastest finish, "
              "cpu = the callers' CPU time per call, z/time = zelvane's time per call / the peer's")
        bench = f"functions {'slow' if slow else 'throughput'} {shape}"
        figures = report_contention(bench, peers, collected,
                                    {} if slow else contention_targets(processes, threads))
        rates[processes, threads] = [(peer.label, f["rate"]) for peer, f in zip(peers, figures)
                                     if is_zelvane(peer)]
    if (1, 1) in rates and (8, 1) in rates:
        print()
        for (label, one), (_, eight) in zip(rates[1, 1], rates[8, 1]):
            print(f"{label}: calls/s with 8 callers / with 1 caller = {eight / one:.2f}")


def contention_targets(processes, threads):
    """The largest ratios that meet the goals: with 8 callers, at least twice
    the calls/s of every peer; with 8 callers and with 2 x 4 threads, a p99
    below every peer's."""
    if processes * threads != 8:
        return {}
    return {"p99": 1.0, "time": 0.5} if threads == 1 else {"p99": 1.0}


# System calls per call, by strace.

def call_loop(name, count, handle, cpu=None):
    """The traced caller: a warm-up, then `count` calls; exit status 1 on a wrong sum."""
    if cpu is not None:
        os.sched_setaffinity(0, {cpu})
    call, close = (HandleClient if handle else ZelvaneClient)(name).connect()
    wrong = sum(call(i, 1) != i + 1 for i in range(200))
    wrong += sum(call(i, 1) != i + 1 for i in range(count))
    close()
    sys.exit(1 if wrong else 0)


def loop_command(name, count, handle, cpu):
    return [sys.executable, os.path.abspath(__file__), "--call-loop", name, str(count)] + (
        ["--handle"] if handle else []) + ([] if cpu is None else ["--loop-cpu", str(cpu)])


def parse_strace_counts(path):
    """{syscall: calls} from the table of strace -c."""
    counts = {}
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 5 and fields[0].replace(".", "", 1).isdigit() and fields[-1] != "total":
                counts[fields[-1]] = int(fields[3])
    return counts


def run_loop(name, count, handle, cpu, prefix=()):
    subprocess.run(list(prefix) + loop_command(name, count, handle, cpu), check=True,
                   timeout=RESULT_SECONDS)


# The system calls that perf counts by name; the rest are counted together.
PERF_NAMED = ("futex", "newfstat", "sched_yield", "fcntl", "mmap", "munmap", "openat", "close")


def parse_perf_counts(path):
    """{syscall: calls} from perf stat -x, output: the named ones, and the
    others as "(other)"."""
    counts = {}
    with open(path) as f:
        for line in f:
            fields = line.strip().split(",")
            if len(fields) > 3 and fields[0].isdigit():
                event = fields[2].split(":")[-1]
                counts[event.removeprefix("sys_enter_") if event != "sys_enter" else "(all)"] = int(fields[0])
    counts["(other)"] = counts.pop("(all)", 0) - sum(counts.get(name, 0) for name in PERF_NAMED)
    return counts


class Tracer:
    """Counts the system calls of a command, or of a running process while
    something else runs: strace -c (which stops the traced process at each
    system call, slowing it) or perf stat on the system-call tracepoints
    (which does not)."""

    def __init__(self, kind, out):
        self.kind, self.out = kind, out
        self.path = shutil.which(kind)

    def command(self, pid=None):
        target = [] if pid is None else ["-p", str(pid)]
        if self.kind == "strace":
            return [self.path, "-f", "-c", "-o", self.out] + target
        events = ",".join(["raw_syscalls:sys_enter"] + [f"syscalls:sys_enter_{name}" for name in PERF_NAMED])
        return [self.path, "stat", "-x,", "-e", events, "-o", self.out] + target

    def counts(self):
        return parse_strace_counts(self.out) if self.kind == "strace" else parse_perf_counts(self.out)


def caller_syscalls(tracer, name, count, handle, cpu):
    run_loop(name, count, handle, cpu, tracer.command())
    return tracer.counts()


def server_syscalls(tracer, pid, name, count, handle, cpu):
    process = subprocess.Popen(tracer.command(pid), stderr=subprocess.PIPE, text=True)
    try:
        if tracer.kind == "strace":
            ready, _, _ = select.select([process.stderr], [], [], WAIT_SECONDS)
            if not ready or "attached" not in process.stderr.readline():
                raise RuntimeError("strace could not attach to the server")
        else:
            time.sleep(1)  # perf stat reports nothing when it is attached
        run_loop(name, count, handle, cpu)
    finally:
        process.send_signal(signal.SIGINT)
        process.wait(WAIT_SECONDS)
    return tracer.counts()


def per_call(measure, count):
    """{syscall: calls per call}: a run of `count` calls less a run of none."""
    full, empty = measure(count), measure(0)
    return {name: (full.get(name, 0) - empty.get(name, 0)) / count for name in set(full) | set(empty)}


def syscalls_mode(ctx, count, placement, tracer_kind):
    if shutil.which(tracer_kind) is None:
        print(f"{tracer_kind} is not on PATH, so the system-call report is skipped")
        return
    server_cpu, caller_cpu = placement_cpus(placement)
    columns = {}
    with contextlib.ExitStack() as stack:
        peer = ZelvanePeer(ctx, server_cpu)
        stack.callback(peer.close)
        tracer = Tracer(tracer_kind, os.path.join(stack.enter_context(tempfile.TemporaryDirectory()), "out.txt"))
        for label, handle in [("zelvane", False)] + ([("handle", True)] if HAS_HANDLE else []):
            columns[f"{label} caller"] = per_call(
                lambda k: caller_syscalls(tracer, peer.name, k, handle, caller_cpu), count)
            columns[f"{label} server"] = per_call(
                lambda k: server_syscalls(tracer, peer.process.pid, peer.name, k, handle, caller_cpu), count)
    slowed = ", strace slows both" if tracer_kind == "strace" else ""
    print(f"\nsystem calls per call of add(i, 1), one caller, {count} calls, placement {placement} "
          f"(server CPU {server_cpu}, caller CPU {caller_cpu}; a run of none subtracted; "
          f"caller and server counted in separate runs by {tracer_kind}{slowed})")
    names = sorted({name for column in columns.values() for name, value in column.items()
                    if abs(value) >= 0.005})
    width = max([len("syscall")] + [len(name) for name in names]) + 2
    print(f"{'syscall':<{width}}" + "".join(f"{heading:>16}" for heading in columns))
    for name in names:
        print(f"{name:<{width}}" + "".join(f"{column.get(name, 0):>16.2f}" for column in columns.values()))
    print(f"{'total':<{width}}" + "".join(f"{sum(column.values()):>16.2f}" for column in columns.values()))


# --- Large payloads ---

LARGE_SIZES = ((16, 2000), (64 << 10, 400), (1 << 20, 100), (100 << 20, 7))


def resident(field):
    """This process's VmRSS or VmHWM in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


class PeakWatch:
    """The growth of this process's peak resident set from `start()` on."""

    def start(self):
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the peak to the current resident set
        self.base = resident("VmRSS")

    def growth(self):
        return resident("VmHWM") - self.base


server_watch = PeakWatch()


def echo(x):
    """Echoes; "start" and "peak" measure the server's own peak around a call."""
    if x == "start":
        server_watch.start()
    elif x == "peak":
        return server_watch.growth()
    return x


def serve_zelvane_echo(name):
    prepare_child(None)
    sys.stdout = open(os.devnull, "w")
    zelvane.create_function(name, echo)


def serve_pipe_echo(conn):
    prepare_child(None)
    while (x := conn.recv()) is not None:
        conn.send(echo(x))


def large_peers(ctx):
    """(label, call(x), close()) for the handle and the Pipe."""
    name = f"zbench_echo_{os.getpid()}_{next(unique)}"
    server = ctx.Process(target=serve_zelvane_echo, args=(name,), daemon=True)
    server.start()
    wait_until(lambda: os.path.exists(f"/dev/shm/{name}"), server, "zelvane")
    handle = zelvane.open_function(name)

    def close_zelvane():
        handle.close()
        zelvane.remove_function(name)
        stop(server)
        zelvane.remove_memory(name)

    here, there = ctx.Pipe()
    piper = ctx.Process(target=serve_pipe_echo, args=(there,), daemon=True)
    piper.start()
    there.close()

    def pipe_call(x):
        here.send(x)
        return here.recv()

    def close_pipe():
        here.send(None)
        stop(piper)

    return [("zelvane handle", handle, close_zelvane), ("Pipe", pipe_call, close_pipe)]


def time_echoes(peers, size, rounds):
    payload = os.urandom(size)
    times = {label: [] for label, _, _ in peers}
    for label, call, _ in peers:  # warm-up
        assert call(payload) == payload
    for _ in range(rounds):
        for label, call, _ in peers:
            start = time.perf_counter()
            call(payload)
            times[label].append(time.perf_counter() - start)
    return {label: sorted(t)[len(t) // 2] for label, t in times.items()}


def peak_of_one_echo(peers, size):
    """{label: (caller growth, server growth)} of one echo of `size` bytes."""
    payload = b"p" * size
    peaks = {}
    for label, call, _ in peers:
        call(payload)  # buffers and caches as in steady use
        watch = PeakWatch()
        call("start")
        watch.start()
        result = call(payload)
        caller = watch.growth()
        del result
        peaks[label] = (caller, call("peak"))
    return peaks


def format_seconds(seconds):
    return f"{seconds * 1e6:.1f} us" if seconds < 1e-3 else f"{seconds * 1e3:.2f} ms"


SMALL_ECHO = """
import os, subprocess, sys, time
import zelvane
name = f"zbench_small_{os.getpid()}"
server = subprocess.Popen([sys.executable, "-c",
    f"import zelvane; zelvane.create_function({name!r}, lambda x: x)"], stdout=subprocess.DEVNULL)
try:
    while not os.path.exists("/dev/shm/" + name):
        if server.poll() is not None:
            sys.exit(f"the server of the baseline build ended with status {server.returncode}")
        time.sleep(0.01)
    handle = zelvane.open_function(name)
    payload = b"s" * 16
    for _ in range(500):
        handle(payload)
    times = []
    for _ in range(int(sys.argv[1])):
        start = time.perf_counter()
        handle(payload)
        times.append(time.perf_counter() - start)
    print(sorted(times)[len(times) // 2])
    handle.close()
finally:
    zelvane.remove_function(name)
    server.wait(30)
    zelvane.remove_memory(name)
"""


def small_echo_median(pythonpath, calls):
    env = dict(os.environ, PYTHONPATH=pythonpath)
    out = subprocess.run([sys.executable, "-c", SMALL_ECHO, str(calls)], env=env, check=True,
                         capture_output=True, text=True, timeout=RESULT_SECONDS)
    return float(out.stdout)


def baseline_comparison(baseline, quick):
    this = os.path.dirname(zelvane.__file__)
    calls = 2500 if quick else 10000
    runs = {"this build": [], "baseline": []}
    for _ in range(3 if quick else 5):
        runs["this build"].append(small_echo_median(this, calls))
        runs["baseline"].append(small_echo_median(baseline, calls))
    medians = {label: sorted(v)[len(v) // 2] for label, v in runs.items()}
    ratio = medians["this build"] / medians["baseline"]
    print(f"16-byte echo through a handle: this build {format_seconds(medians['this build'])}, "
          f"baseline {format_seconds(medians['baseline'])}, ratio {ratio:.3f} (target <= 1)")
    record_ratio("functions-large", "handle 16 B echo", "baseline build", ratio, 1)


def large_mode(ctx, quick, baseline=None):
    targets = {64 << 10: 0.5, 1 << 20: 0.3, 100 << 20: 0.3}
    peers = large_peers(ctx)
    try:
        print("echo of bytes, median per call")
        for size, rounds in LARGE_SIZES:
            rounds = max(3, rounds // 4) if quick else rounds
            medians = time_echoes(peers, size, rounds)
            ratio = medians["zelvane handle"] / medians["Pipe"]
            print(f"  {size:>10} B: handle {format_seconds(medians['zelvane handle']):>10}, "
                  f"Pipe {format_seconds(medians['Pipe']):>10}, ratio {ratio:.3f}"
                  + (f" (target <= {targets[size]})" if size in targets else ""))
            record_ratio("functions-large", f"echo {size} B median", "Pipe", ratio, targets.get(size))
        size = 100 << 20
        print(f"peak memory of one {size >> 20} MiB echo, as a multiple of the payload")
        for label, (caller, server) in peak_of_one_echo(peers, size).items():
            print(f"  {label:>15}: caller {caller / size:.2f}x, server {server / size:.2f}x")
    finally:
        for _, _, close in peers:
            close()
    if baseline:
        baseline_comparison(baseline, quick)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    modes = parser.add_mutually_exclusive_group()
    modes.add_argument("--throughput", action="store_true",
                       help="1, 2, 4, 8 caller processes and 2 x 4 threads at once")
    modes.add_argument("--slow-callable", action="store_true",
                       help="a callable that sleeps 1 ms, 4 callers at once")
    modes.add_argument("--syscalls", action="store_true",
                       help="system calls per call under strace")
    modes.add_argument("--large", action="store_true",
                       help="echo of 16 B to 100 MiB through a handle and a Pipe, and peak memory")
    modes.add_argument("--call-loop", nargs=2, metavar=("NAME", "COUNT"), help=argparse.SUPPRESS)
    parser.add_argument("--handle", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--loop-cpu", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--tracer", choices=("strace", "perf"), default="strace",
                        help="syscalls: count with strace -c (default) or perf stat, which does not "
                             "slow the traced process")
    parser.add_argument("--placement", choices=("free", "same", "split"), default="free")
    parser.add_argument("--calls", type=int,
                        help="latency: timed calls per peer (a quarter of them for the managers), "
                             "default 20000; throughput: calls per caller, default 20000; "
                             "slow callable: calls per caller, default 1000; "
                             "syscalls: calls traced, default 20000")
    parser.add_argument("--quick", action="store_true", help="a quarter of the calls")
    parser.add_argument("--baseline", metavar="DIR",
                        help="large: also compare a 16-byte handle echo with the build in DIR")
    args = parser.parse_args()
    if args.call_loop:
        call_loop(args.call_loop[0], int(args.call_loop[1]), args.handle, args.loop_cpu)
    if args.placement != "free" and (args.throughput or args.slow_callable):
        parser.error("--placement is for the latency and system-call modes only")
    if args.calls is None:
        args.calls = 1000 if args.slow_callable else 20000
    if args.quick:
        args.calls = max(1, args.calls // 4)
    ctx = mp.get_context("spawn")
    print_missing_peers()
    if args.throughput:
        contention_mode(ctx, ((1, 1), (2, 1), (4, 1), (8, 1), (2, 4)), args.calls, slow=False)
    elif args.slow_callable:
        contention_mode(ctx, ((4, 1),), args.calls, slow=True)
    elif args.syscalls:
        syscalls_mode(ctx, args.calls, args.placement, args.tracer)
    elif args.large:
        large_mode(ctx, args.quick, args.baseline)
    else:
        latency_mode(args, ctx)


if __name__ == "__main__":
    main()
