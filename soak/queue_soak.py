"""Queue soak: producers and consumers of one queue SIGKILLed at random
moments, round after round, with items small and large.

Each round forks producers and consumers (plain get() or get_reliably())
and kills them after a random while. Every item carries a checksum; every
producer logs an item once put() returned, every consumer once it holds the
item. At the end the queue is drained and the run fails (exit status 1) on
a torn item, an item put but never seen, an item seen twice from plain gets,
an item nobody put, counts that do not add up, or a drain that hangs.

    PYTHONPATH=build/py311 python3 soak/queue_soak.py --rounds 1000
"""
import argparse
import json
import os
import queue
import random
import signal
import sys
import tempfile
import time
import zlib

import zelvane

from _common import remove_names, shm_path

LARGE = 40000  # over the ring's limit: the item travels in an extent


def item_for(producer, seq):
    size = LARGE if seq % 7 == 0 else seq % 300
    body = bytes([seq % 251]) * size
    return (producer, seq, zlib.crc32(body), body)


def whole(item):
    return isinstance(item, tuple) and len(item) == 4 and zlib.crc32(item[3]) == item[2]


def forked(body):
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            body()
            code = 0
        finally:
            os._exit(code)
    return pid


def producer(name, tag, log_path):
    handle = zelvane.open_queue(name)
    with open(log_path, "a") as log:
        for seq in range(10**9):
            handle.put(item_for(tag, seq))
            log.write(json.dumps([tag, seq]) + "\n")
            log.flush()


def consumer(name, reliable, log_path):
    handle = zelvane.open_queue(name)
    with open(log_path, "a") as log:
        while True:
            if reliable:
                with handle.get_reliably() as item:
                    log.write(json.dumps(item[:2] if whole(item) else ["torn"]) + "\n")
                    log.flush()
            else:
                item = handle.get()
                log.write(json.dumps(item[:2] if whole(item) else ["torn"]) + "\n")
                log.flush()


def log_lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [tuple(json.loads(line)) for line in f if line.endswith("\n")]


def one_round(name, round_, args, rng, logs):
    pids = []
    for p in range(args.producers):
        pids.append(forked(lambda: producer(name, round_ * 100 + p, os.path.join(logs, f"put{round_}_{p}"))))
    for c in range(args.consumers):
        reliable = args.reliable or (args.mixed and c % 2 == 0)
        pids.append(forked(lambda: consumer(name, reliable, os.path.join(logs, f"got{round_}_{c}"))))
    time.sleep(rng.uniform(0.0, args.max_delay))
    rng.shuffle(pids)
    for pid in pids:
        os.kill(pid, signal.SIGKILL)
        time.sleep(rng.uniform(0.0, args.max_delay / 10))
    for pid in pids:
        os.waitpid(pid, 0)


def drain(handle, deadline):
    remaining = []
    while time.monotonic() < deadline:
        try:
            item = handle.get(timeout=1.0)
        except queue.Empty:
            return remaining
        remaining.append(tuple(item[:2]) if whole(item) else ("torn",))
    raise TimeoutError("the drain did not end")


def check(name, handle, logs, args, started):
    confirmed, taken = set(), []
    for entry in os.listdir(logs):
        lines = log_lines(os.path.join(logs, entry))
        (confirmed.update if entry.startswith("put") else taken.extend)(lines)
    remaining = drain(handle, time.monotonic() + args.hang_timeout)
    delivered = taken + remaining
    problems = []
    if ("torn",) in delivered:
        problems.append(f"{delivered.count(('torn',))} torn items")
    # A plain get's consumer killed between get() returning and its log
    # line had the item: only reliable gets promise that nothing is lost.
    lost = confirmed - set(delivered) if args.reliable else set()
    if lost:
        problems.append(f"{len(lost)} items put and never seen, e.g. {sorted(lost)[:3]}")
    if not (args.reliable or args.mixed) and len(delivered) != len(set(delivered)):
        problems.append(f"{len(delivered) - len(set(delivered))} items seen twice from plain gets")
    state = zelvane._queue_state(os.open(shm_path(name), os.O_RDONLY))
    if (state["length"], state["reserved"], state["incoming"]) != (0, 0, 0):
        problems.append(f"counts left after the drain: {state}")
    print(f"{args.rounds} rounds in {time.monotonic() - started:.0f} s: {len(confirmed)} items confirmed put, "
          f"{len(taken)} taken by killed consumers, {len(remaining)} drained", flush=True)
    for problem in problems:
        print("FAILED:", problem, flush=True)
    return not problems


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=1000)
    parser.add_argument("--producers", type=int, default=2)
    parser.add_argument("--consumers", type=int, default=2)
    parser.add_argument("--maxsize", type=int, default=50)
    parser.add_argument("--max-delay", type=float, default=0.05, help="longest life of a round, seconds")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--reliable", action="store_true", help="every consumer uses get_reliably()")
    mode.add_argument("--mixed", action="store_true", help="half the consumers use get_reliably()")
    parser.add_argument("--hang-timeout", type=float, default=120)
    parser.add_argument("--seed", type=int, default=None)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    print(f"queue soak, seed {seed}", flush=True)
    rng = random.Random(seed)
    name = f"zsoak_{os.getpid()}_queue"
    handle = zelvane.open_queue(name, args.maxsize)
    started = time.monotonic()
    try:
        with tempfile.TemporaryDirectory() as logs:
            for round_ in range(args.rounds):
                one_round(name, round_, args, rng, logs)
            return 0 if check(name, handle, logs, args, started) else 1
    finally:
        handle.close()
        remove_names(f"zsoak_{os.getpid()}_")


if __name__ == "__main__":
    sys.exit(main())
