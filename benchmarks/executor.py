"""zelvane.Executor: add(1, 2) over a serve pool of 2 servers, with 1,000
futures in flight at a time, beside zelvane's own synchronous calls from 8
threads (a handle each) on the same pool, and beside
concurrent.futures.ProcessPoolExecutor(2) with 1,000 futures in flight, and
beside the floor any executor of concurrent.futures.Future meets: futures
made by the submitting thread and completed by one other thread, with no
call behind them.

Run by hand (python benchmarks/executor.py [--calls N] [--rounds R] [--quick])
or by run.sh; each row is the best of R rounds; nothing here is a pass/fail
check."""
import argparse
import collections
import concurrent.futures
import multiprocessing as mp
import os
import sys
import threading
import time

import zelvane

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import record_ratio  # noqa: E402

CTX = mp.get_context("spawn")
WAIT = 60
IN_FLIGHT = 1000


def add(a, b):
    return a + b


def pool_server(name):
    sys.stdout = open(os.devnull, "w")
    zelvane.serve(name, add)


def windowed(submit, calls):
    """Seconds for `calls` calls through `submit`, IN_FLIGHT in flight at a
    time (the oldest is waited for before the next is submitted)."""
    start = time.perf_counter()
    pending = collections.deque()
    for _ in range(calls):
        if len(pending) >= IN_FLIGHT:
            pending.popleft().result(WAIT)
        pending.append(submit())
    for future in pending:
        future.result(WAIT)
    return time.perf_counter() - start


def futures_floor(calls):
    """Seconds for `calls` futures made here and completed by one driver
    thread at once: the bookkeeping of concurrent.futures alone."""
    import queue
    posted = queue.SimpleQueue()

    def drive():
        while (future := posted.get()) is not None:
            if future.set_running_or_notify_cancel():
                future.set_result(3)

    driver = threading.Thread(target=drive)
    driver.start()

    def submit():
        future = concurrent.futures.Future()
        posted.put(future)
        return future

    try:
        return windowed(submit, calls)
    finally:
        posted.put(None)
        driver.join()


def threaded_sync(name, calls, threads=8):
    """Seconds for `calls` synchronous calls shared among `threads` threads."""
    handles = [zelvane.open_function(name) for _ in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def run(handle, count):
        barrier.wait()
        for _ in range(count):
            handle(1, 2)

    workers = [threading.Thread(target=run, args=(handle, calls // threads)) for handle in handles]
    for worker in workers:
        worker.start()
    barrier.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    elapsed = time.perf_counter() - start
    for handle in handles:
        handle.close()
    return elapsed


def best(measure, rounds):
    return min(measure() for _ in range(rounds))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=40000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="10,000 calls, one round")
    options = parser.parse_args()
    calls, rounds = (10000, 1) if options.quick else (options.calls, options.rounds)
    name = f"zbench_executor_{os.getpid()}"
    procs = [CTX.Process(target=pool_server, args=(name,)) for _ in range(2)]
    for proc in procs:
        proc.start()
    try:
        zelvane.open_function(name, wait=WAIT, servers=2).close()
        sync = best(lambda: threaded_sync(name, calls), rounds)
        with zelvane.Executor(name) as executor:
            ours = best(lambda: windowed(lambda: executor.submit(1, 2), calls), rounds)
    finally:
        zelvane.remove_function(name)
        for proc in procs:
            proc.join(WAIT)
    floor = best(lambda: futures_floor(calls), rounds)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=CTX) as processes:
        processes.submit(add, 1, 2).result(WAIT)
        theirs = best(lambda: windowed(lambda: processes.submit(add, 1, 2), calls // 4), rounds) * 4
    rates = {"Executor.submit": calls / ours, "8 threads, synchronous": calls / sync,
             "ProcessPoolExecutor(2)": calls / theirs, "futures alone (floor)": calls / floor}
    for row, rate in rates.items():
        print(f"{row:26}{rate:10.0f} calls/s")
    print(f"Executor.submit over 8 synchronous threads: {sync / ours:.2f}x (target 0.8x); "
          f"over ProcessPoolExecutor(2): {theirs / ours:.2f}x (target 3x); "
          f"over the futures floor: {floor / ours:.2f}x")
    record_ratio("executor", "submit, 1000 in flight, pool of 2", "8 threads of synchronous calls", ours / sync,
                 1 / 0.8)
    record_ratio("executor", "submit, 1000 in flight, pool of 2", "ProcessPoolExecutor(2)", ours / theirs, 1 / 3)
    record_ratio("executor", "submit, 1000 in flight, pool of 2", "futures alone (floor)", ours / floor)


if __name__ == "__main__":
    main()
