"""Services: zelvane.serve pools measured beside their peers in one run.

  cpu    a CPU-bound function (about 200 us of pure Python), 4 caller
         processes: a pool of 1 and of 2 servers, multiprocessing.Pool(2),
         and a ZeroMQ ROUTER/DEALER queue with 2 workers (when pyzmq is there);
         beside them, what 2 processes calling it in a loop get over 1 (the
         most this machine gives at the time, other load included)
  many   add(1, 2) with 1 and with 8 caller processes and one server: calls/s,
         the slowest call, and how far apart the callers finish
  lone   a lone caller's median latency: handle and call_function, on a
         serve pool and on a create_function server
  raise  an exception's round trip against a normal call's, through a handle
  fair   (--fair) add(1, 2) with 1 and with 8 caller processes started
         together, each making the same number of calls: on a pool of 1 and
         of 2 servers and, beside them, a create_function server: calls/s, the
         median and the slowest call, and the finish spread (the last
         caller's finish over the first's, counted from the common start)

Run by hand (python benchmarks/services.py [--seconds S]); nothing here is a
pass/fail check."""
import argparse
import array
import multiprocessing as mp
import os
import statistics
import sys
import threading
import time

import zelvane

CTX = mp.get_context("spawn")
WAIT = 30


def add(a, b):
    return a + b


def burn(n):
    # About 200 us of pure Python on this machine with n = 3500.
    total = 0
    for i in range(n):
        total += i * i % 7
    return total


def failing():
    raise ValueError("bad input", 1)


def add_or_fail(kind):
    return add(1, 2) if kind else failing()


def quiet():
    sys.stdout = open(os.devnull, "w")


def pool_server(name, func):
    quiet()
    zelvane.serve(name, func)


def single_server(name, func):
    quiet()
    zelvane.create_function(name, func)


def start_servers(target, name, func, count):
    procs = [CTX.Process(target=target, args=(name, func)) for _ in range(count)]
    for proc in procs:
        proc.start()
    zelvane.open_function(name, wait=WAIT).close()
    return procs


def stop_servers(name, procs):
    zelvane.remove_function(name)
    for proc in procs:
        proc.join(WAIT)
        if proc.is_alive():
            proc.kill()


def caller(name, args, seconds, go, results):
    """Calls through a handle until `seconds` pass; reports (calls, slowest, end time)."""
    handle = zelvane.open_function(name, wait=WAIT)
    go.wait()
    end = time.monotonic() + seconds
    calls = 0
    slowest = 0.0
    while True:
        start = time.monotonic()
        if start >= end:
            break
        handle(*args)
        slowest = max(slowest, time.monotonic() - start)
        calls += 1
    results.put((calls, slowest, time.monotonic()))


def run_callers(name, args, count, seconds):
    go = CTX.Event()
    results = CTX.Queue()
    procs = [CTX.Process(target=caller, args=(name, args, seconds, go, results)) for _ in range(count)]
    for proc in procs:
        proc.start()
    time.sleep(0.5)
    began = time.monotonic()
    go.set()
    out = [results.get(timeout=WAIT + seconds) for _ in procs]
    for proc in procs:
        proc.join(WAIT)
    calls = sum(c for c, _, _ in out)
    spread = (max(e for _, _, e in out) - began) / max(min(e for _, _, e in out) - began, 1e-9)
    return calls / seconds, max(s for _, s, _ in out), spread


def counted_caller(name, args, count, barrier, results):
    """Makes `count` calls through a handle once every caller is ready;
    reports (start, end, each call's nanoseconds)."""
    handle = zelvane.open_function(name, wait=WAIT)
    for _ in range(20):
        handle(*args)
    times = array.array("q")
    barrier.wait(WAIT)
    clock = time.perf_counter_ns
    start = clock()
    for _ in range(count):
        before = clock()
        handle(*args)
        times.append(clock() - before)
    results.put((start, clock(), times.tobytes()))


def counted_run(name, args, callers, count):
    """calls/s, median and slowest call (ms), finish spread of `callers`
    processes making `count` calls each, released together."""
    barrier = CTX.Barrier(callers)
    results = CTX.Queue()
    procs = [CTX.Process(target=counted_caller, args=(name, args, count, barrier, results))
             for _ in range(callers)]
    for proc in procs:
        proc.start()
    out = [results.get(timeout=WAIT + 60) for _ in procs]
    for proc in procs:
        proc.join(WAIT)
    common = min(start for start, _, _ in out)
    finishes = [end - common for _, end, _ in out]
    times = array.array("q")
    for _, _, raw in out:
        times.frombytes(raw)
    return {"rate": len(times) / (max(finishes) / 1e9), "p50": statistics.median(times) / 1e6,
            "worst": max(times) / 1e6, "spread": max(finishes) / min(finishes)}


def fairness(name, count):
    kinds = (("pool of 1", pool_server, 1), ("pool of 2", pool_server, 2), ("create_function", single_server, 1))
    print(f"fair: add(1, 2), {count} calls per caller, callers released together; ms per call, "
          "spread = last finish / first finish")
    print(f"{'':18}{'callers':>8}{'calls/s':>10}{'p50':>8}{'worst':>8}{'w/p50':>8}{'spread':>8}{'vs 1':>6}")
    for label, target, servers in kinds:
        procs = start_servers(target, name, add, servers)
        try:
            one = counted_run(name, (1, 2), 1, count * 8)
            eight = counted_run(name, (1, 2), 8, count)
        finally:
            stop_servers(name, procs)
        for callers, f in ((1, one), (8, eight)):
            print(f"{label:18}{callers:>8}{f['rate']:>10.0f}{f['p50']:>8.3f}{f['worst']:>8.2f}"
                  f"{f['worst'] / f['p50']:>8.0f}{f['spread']:>8.2f}{f['rate'] / one['rate']:>6.2f}")


def zelvane_pool_rate(name, servers, func, args, callers, seconds):
    procs = start_servers(pool_server, name, func, servers)
    try:
        return run_callers(name, args, callers, seconds)
    finally:
        stop_servers(name, procs)


def burn_loop(args, seconds, results):
    end = time.monotonic() + seconds
    calls = 0
    while time.monotonic() < end:
        burn(*args)
        calls += 1
    results.put(calls)


def bare_rate(args, processes, seconds):
    """Calls/s of `processes` processes calling the function in a loop, no service between."""
    results = CTX.Queue()
    procs = [CTX.Process(target=burn_loop, args=(args, seconds, results)) for _ in range(processes)]
    for proc in procs:
        proc.start()
    calls = sum(results.get(timeout=WAIT + seconds) for _ in procs)
    for proc in procs:
        proc.join(WAIT)
    return calls / seconds


def mp_pool_rate(args, callers, seconds):
    with CTX.Pool(2) as pool:
        pool.apply(burn, args)
        done = [0] * callers
        end = time.monotonic() + seconds

        def loop(i):
            while time.monotonic() < end:
                pool.apply(burn, args)
                done[i] += 1

        threads = [threading.Thread(target=loop, args=(i,)) for i in range(callers)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    return sum(done) / seconds


def zmq_worker(backend, n):
    import zmq
    sock = zmq.Context().socket(zmq.REP)
    sock.connect(backend)
    while True:
        message = sock.recv_pyobj()
        if message is None:
            sock.send_pyobj(None)
            return
        sock.send_pyobj(burn(*message))


def zmq_broker(frontend, backend):
    import zmq
    context = zmq.Context()
    front = context.socket(zmq.ROUTER)
    front.bind(frontend)
    back = context.socket(zmq.DEALER)
    back.bind(backend)
    zmq.proxy(front, back)


def zmq_rate(args, callers, seconds):
    try:
        import zmq
    except ImportError:
        return None
    tag = f"{os.getpid()}"
    frontend, backend = f"ipc:///tmp/zsvc_front_{tag}", f"ipc:///tmp/zsvc_back_{tag}"
    broker = CTX.Process(target=zmq_broker, args=(frontend, backend), daemon=True)
    broker.start()
    workers = [CTX.Process(target=zmq_worker, args=(backend, 0), daemon=True) for _ in range(2)]
    for worker in workers:
        worker.start()
    time.sleep(1)
    done = [0] * callers
    end = time.monotonic() + seconds

    def loop(i):
        sock = zmq.Context.instance().socket(zmq.REQ)
        sock.connect(frontend)
        while time.monotonic() < end:
            sock.send_pyobj(args)
            sock.recv_pyobj()
            done[i] += 1
        sock.close()

    threads = [threading.Thread(target=loop, args=(i,)) for i in range(callers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for proc in [broker, *workers]:
        proc.kill()
    return sum(done) / seconds


def median_latency(call, rounds=20000):
    samples = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        call()
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples) / 1000


def lone_latencies(name):
    out = {}
    for kind, target in (("serve", pool_server), ("create_function", single_server)):
        procs = start_servers(target, name, add, 1)
        try:
            with zelvane.open_function(name) as handle:
                out[f"{kind}: handle"] = median_latency(lambda: handle(1, 2))
            out[f"{kind}: call_function"] = median_latency(lambda: zelvane.call_function(name, (1, 2)))
        finally:
            stop_servers(name, procs)
    return out


def exception_round_trip(name):
    procs = start_servers(pool_server, name, add_or_fail, 1)
    try:
        with zelvane.open_function(name) as handle:
            normal = median_latency(lambda: handle(1), 5000)

            def raising():
                try:
                    handle(0)
                except ValueError:
                    pass

            raised = median_latency(raising, 5000)
    finally:
        stop_servers(name, procs)
    return normal, raised


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--fair", action="store_true", help="only the fairness rows")
    parser.add_argument("--calls", type=int, default=20000, help="calls per caller in the fairness rows")
    options = parser.parse_args()
    seconds = options.seconds
    name = f"zbench_services_{os.getpid()}"
    if options.fair:
        fairness(name, options.calls)
        return
    work = (3500,)
    start = time.perf_counter()
    burn(*work)
    print(f"cpu: one call of the function takes {1e6 * (time.perf_counter() - start):.0f} us here")
    one, _, _ = zelvane_pool_rate(name, 1, burn, work, 4, seconds)
    two, _, _ = zelvane_pool_rate(name, 2, burn, work, 4, seconds)
    print(f"cpu: serve pool, 1 server {one:9.0f} calls/s; 2 servers {two:9.0f} calls/s ({two / one:.2f}x)")
    bare_one, bare_two = bare_rate(work, 1, seconds), bare_rate(work, 2, seconds)
    print(f"cpu: no service, 1 process  {bare_one:9.0f} calls/s; 2 processes {bare_two:9.0f} calls/s "
          f"({bare_two / bare_one:.2f}x)")
    print(f"cpu: multiprocessing.Pool(2)        {mp_pool_rate(work, 4, seconds):9.0f} calls/s")
    rate = zmq_rate(work, 4, seconds)
    print("cpu: ZeroMQ ROUTER/DEALER, 2 workers " + (f"{rate:9.0f} calls/s" if rate else "(pyzmq not installed)"))

    single, slowest1, _ = zelvane_pool_rate(name, 1, add, (1, 2), 1, seconds)
    eight, slowest8, spread = zelvane_pool_rate(name, 1, add, (1, 2), 8, seconds)
    print(f"many: add(1, 2), one server: 1 caller {single:9.0f} calls/s (slowest {1e3 * slowest1:.2f} ms); "
          f"8 callers {eight:9.0f} calls/s ({eight / single:.2f}x, slowest {1e3 * slowest8:.2f} ms, "
          f"finishing {spread:.2f}x apart)")

    for row, micros in lone_latencies(name).items():
        print(f"lone: {row:28} median {micros:6.2f} us")
    normal, raised = exception_round_trip(name)
    print(f"raise: normal call {normal:.2f} us, exception round trip {raised:.2f} us ({raised / normal:.1f}x)")


if __name__ == "__main__":
    main()
