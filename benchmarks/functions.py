"""Round-trip latency of one small call into another process:
zelvane.call_function against multiprocessing.Pipe request/reply and a
multiprocessing.Manager proxy call, side by side in one run.

Run by hand: python benchmarks/functions.py [calls]
"""
import multiprocessing as mp
import multiprocessing.managers
import os
import sys
import time

import zelvane

def add(a, b):
    return a + b


def serve_zelvane(name):
    zelvane.create_function(name, add)


def serve_pipe(conn):
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


def per_call(calls, call):
    call()  # warm up
    start = time.perf_counter()
    for _ in range(calls):
        call()
    return (time.perf_counter() - start) / calls


def bench_zelvane(ctx, calls):
    name = f"zelvane_bench_add_{os.getpid()}"
    server = ctx.Process(target=serve_zelvane, args=(name,))
    server.start()
    while not os.path.exists(f"/dev/shm/{name}"):
        time.sleep(0.01)
    try:
        assert zelvane.call_function(name, (1, 2)) == 3
        return per_call(calls, lambda: zelvane.call_function(name, (1, 2)))
    finally:
        zelvane.remove_function(name)
        server.join(30)


def bench_pipe(ctx, calls):
    here, there = ctx.Pipe()
    worker = ctx.Process(target=serve_pipe, args=(there,))
    worker.start()

    def call():
        here.send((1, 2))
        return here.recv()
    try:
        assert call() == 3
        return per_call(calls, call)
    finally:
        here.send(None)
        worker.join(30)


def bench_manager(ctx, calls):
    with AdderManager(ctx=ctx) as manager:
        adder = manager.Adder()
        assert adder.add(1, 2) == 3
        return per_call(calls, lambda: adder.add(1, 2))


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    ctx = mp.get_context("spawn")
    results = {
        "zelvane.call_function": bench_zelvane(ctx, calls),
        "multiprocessing.Pipe": bench_pipe(ctx, calls),
        "multiprocessing.Manager": bench_manager(ctx, calls // 4),
    }
    ours = results["zelvane.call_function"]
    print(f"round trip of add(1, 2), {calls} calls, {os.cpu_count()} CPUs")
    for label, seconds in results.items():
        print(f"  {label:26} {seconds * 1e6:8.1f} us/call   {seconds / ours:5.2f}x zelvane")


if __name__ == "__main__":
    main()
