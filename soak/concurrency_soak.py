"""Concurrency soak: caller processes against one served function, and
writer and reader processes on one slot whose values grow over the run, both
at once; first with one thread per process, then with several.

Every call's result is derived from its own arguments (caller, thread,
number, crc32 of a random payload, and for a payload too large for the
message area, which only a handle carries, the payload reversed), so a result
delivered to the wrong call is seen; every value written carries its crc32 and its writer's sequence
number, so a torn value or one older than a value already read is seen.
One call in eight carries a value that a thread of the caller keeps
changing, and its result holds one that a thread of the server keeps
changing, so an encoding torn by a change is seen too. With a pool, another
one in eight makes the server raise a ValueError whose non-ASCII text is far
over the message area; it must come back as a ValueError holding the start
of that call's own text, and serving must go on.
Nobody is killed here: any error, torn read, misdelivery, regressed read or
child that does not end cleanly is a fault.

Long run (8 callers x 10,000 calls, 4 writers and 4 readers for 60 s, in
both modes):

    PYTHONPATH=build/py311 python3 soak/concurrency_soak.py

CI smoke:

    PYTHONPATH=build/py311 python3 soak/concurrency_soak.py --callers 3 --calls 300 --writers 2 --readers 2 --duration 4 --max-size 65536

Exits 1 on any fault or when a child does not finish within --timeout.
"""
import argparse
import collections
import json
import os
import random
import signal
import subprocess
import sys
import threading
import time
import zlib

import zelvane

from _common import (Changing, changed_reply_fault, check_value, die_with_parent, interrupt_on_sigterm,
                     make_value, remove_names, sanitizer_report)

MIN_SIZE = 16


# ---------------------------------------------------------------------------
# Children: each prints one JSON line of counts when it ends.
# ---------------------------------------------------------------------------

class Tally:
    """Counts shared by a child's threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.counts = collections.Counter()
        self.examples = []

    def add(self, key, example=None):
        with self.lock:
            self.counts[key] += 1
            if example is not None and len(self.examples) < 5:
                self.examples.append(example)

    def merge(self, counts):
        largest = counts.pop("largest", 0)
        with self.lock:
            self.counts.update(counts)
            self.counts["largest"] = max(self.counts["largest"], largest)

    def dump(self, role):
        print(json.dumps({"role": role, "counts": self.counts, "examples": self.examples}), flush=True)


# Payloads above this go through a handle's buffer, and come back whole.
LARGE_PAYLOAD = 2000


def derived(tag, seq, payload):
    whole = payload[::-1] if len(payload) > LARGE_PAYLOAD else b""
    return (tag, seq, zlib.crc32(payload), len(payload), whole)


# Texts of exceptions far over the message area once encoded: the report
# keeps their start, cut on a character boundary.
FILLERS = ("\U0001F600" * 300, "\u0436" * 400, "\u0436x\U0001F600" * 150)
KEPT_TEXT = 200
RAISE = "raise"


def raised_text(tag, seq):
    return f"{tag}.{seq}:" + FILLERS[seq % len(FILLERS)]


def raised_fault(exc, tag, seq):
    """What is wrong with the exception a call that asked for one got, or None."""
    whole = raised_text(tag, seq)
    text = exc.args[0] if type(exc) is ValueError and len(exc.args) == 1 else None
    if not isinstance(text, str) or not text.startswith(f"{tag}.{seq}:"):
        return "misdelivered"
    if not whole.startswith(text) or len(text.encode("utf-8")) > KEPT_TEXT:
        return "errors"
    return None


def call_with_changing(name, tag, seq, value):
    # A new handle, whose buffer grows while the argument is encoded and
    # again while the result is.
    with zelvane.open_function(name) as handle:
        return handle(tag, seq, value)


def run_threads(count, target):
    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def child_caller(args, tally):
    per_thread = [args.calls // args.threads + (i < args.calls % args.threads) for i in range(args.threads)]
    changing = Changing(random.Random(os.getpid()), args.changing_items).start()

    def calls(index):
        rng = random.Random(f"{os.getpid()}-{index}")
        tag = f"c{os.getpid()}.{index}"
        local = collections.Counter()
        # Every other call goes through a handle, and one in ten of those has
        # a time limit short enough to pass now and then while queued or in
        # flight: it may end in TimeoutError, never in another call's reply.
        # One handle call in four carries up to 256 KiB both ways.
        handle = zelvane.open_function(args.name)
        for seq in range(per_thread[index]):
            if seq % 8 == 5:
                call_changing(tag, seq, local)
                continue
            if seq % 8 == 7 and args.servers > 1:
                call_raising(handle if seq % 16 == 15 else None, tag, seq, local)
                continue
            large = seq % 8 == 3
            payload = rng.randbytes(rng.randrange(LARGE_PAYLOAD + 1, 256 << 10) if large else rng.randrange(900))
            timeout = rng.choice((0.0002, 0.002)) if seq % 20 == 1 else None
            try:
                if seq % 2:
                    reply = handle(tag, seq, payload, timeout=timeout)
                else:
                    reply = zelvane.call_function(args.name, (tag, seq, payload))
            except TimeoutError:
                local["timed out"] += 1
                continue
            except Exception as exc:
                tally.add("errors", f"call {seq}: {exc!r}")
                continue
            if reply == derived(tag, seq, payload):
                local["good"] += 1
            else:
                tally.add("misdelivered", f"call {seq} of {tag} got {reply!r:.200}")
        tally.merge(local)

    def call_raising(handle, tag, seq, local):
        try:
            if handle:
                reply = handle(tag, seq, RAISE)
            else:
                reply = zelvane.call_function(args.name, (tag, seq, RAISE))
        except Exception as exc:
            fault = raised_fault(exc, tag, seq)
            if fault:
                tally.add(fault, f"call {seq} of {tag} raised {exc!r:.200}")
            else:
                local["good"] += 1
                local["raised"] += 1
            return
        tally.add("errors", f"call {seq} of {tag} asked for an exception and got {reply!r:.200}")

    def call_changing(tag, seq, local):
        value = changing.pick(seq // 8)
        try:
            reply = call_with_changing(args.name, tag, seq, value)
        except Exception as exc:
            tally.add("errors", f"call {seq} with a changing argument: {exc!r}")
            return
        fault = changed_reply_fault(reply, (tag, seq), value)
        if fault:
            tally.add(fault, f"call {seq} of {tag} with a changing argument got {reply!r:.200}")
        else:
            local["good"] += 1
            local["changing"] += 1

    run_threads(args.threads, calls)
    changing.stop()


def child_server(args, tally):
    served = 0
    changing = Changing(random.Random(os.getpid()), args.changing_items).start()

    def answer(tag, seq, payload):
        nonlocal served
        served += 1
        if payload == RAISE:
            raise ValueError(raised_text(tag, seq))
        if type(payload) is not bytes:
            return (tag, seq, payload, changing.pick(seq))
        return derived(tag, seq, payload)

    serving = zelvane.serve if args.servers > 1 else zelvane.create_function
    try:
        result = serving(args.name, answer)
    except Exception as exc:
        tally.add("errors", f"serving ended: {exc!r}")
        return
    finally:
        changing.stop()
    if result is not None:
        tally.add("errors", f"{serving.__name__} returned {result!r}")
    tally.counts["good"] = served


def size_at(args, start, rng):
    """Values grow from MIN_SIZE to --max-size over the run, with jitter."""
    share = min(1.0, (time.monotonic() - start) / args.duration)
    grown = MIN_SIZE + (args.max_size - MIN_SIZE) * share
    return max(MIN_SIZE, int(grown * rng.uniform(0.5, 1.0)))


def child_writer(args, tally):
    start = time.monotonic()

    def writes(index):
        rng = random.Random(f"{os.getpid()}-{index}")
        tag = f"w{os.getpid()}.{index}"
        seq = 0
        local = collections.Counter()
        while time.monotonic() - start < args.duration:
            seq += 1
            value = make_value(tag, seq, size_at(args, start, rng), rng)
            try:
                zelvane.write_memory(args.name, value)
                local["good"] += 1
            except Exception as exc:
                tally.add("errors", f"write {seq}: {exc!r}")
        tally.merge(local)

    run_threads(args.threads, writes)


def payload_size(payload):
    if isinstance(payload, list):
        return 8 * len(payload)
    if isinstance(payload, dict):
        return len(payload["blob"]) + 16
    return len(payload)


def child_reader(args, tally):
    start = time.monotonic()

    def reads(index):
        newest = {}
        local = collections.Counter()
        while time.monotonic() - start < args.duration:
            try:
                value = zelvane.read_memory(args.name)
            except Exception as exc:
                tally.add("errors", f"read: {exc!r}")
                continue
            checked = check_value(value)
            if checked is None:
                tally.add("torn", f"read {repr(value)[:200]}")
                continue
            writer, seq = checked
            if seq < newest.get(writer, 0):
                tally.add("regressed", f"{writer} {seq} after {newest[writer]}")
            newest[writer] = seq
            local["good"] += 1
            local["largest"] = max(local["largest"], payload_size(value[2]))
        tally.merge(local)

    run_threads(args.threads, reads)


CHILDREN = {"caller": child_caller, "server": child_server, "writer": child_writer, "reader": child_reader}


def child_main(args):
    die_with_parent()
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    tally = Tally()
    CHILDREN[args.role](args, tally)
    tally.dump(args.role)
    return 0


# ---------------------------------------------------------------------------
# The soak
# ---------------------------------------------------------------------------

class Fault(Exception):
    pass


def servers_of(name):
    """How many processes serve `name`: a pool's servers, or 1 once a
    create_function record exists."""
    try:
        fd = os.open(os.path.join("/dev/shm", name), os.O_RDONLY)
    except FileNotFoundError:
        return 0
    try:
        return max(1, zelvane._pool_servers(fd))
    finally:
        os.close(fd)


class Soak:
    def __init__(self, args):
        self.args = args
        self.prefix = f"zsoak_{os.getpid()}_conc{random.getrandbits(24):06x}_"
        self.procs = []

    def spawn(self, role, name, threads, **extra):
        command = [sys.executable, os.path.abspath(__file__), "--child", role, "--name", name,
                   "--threads", str(threads), "--duration", str(self.args.duration),
                   "--max-size", str(self.args.max_size), "--calls", str(extra.get("calls", 0)),
                   "--changing-items", str(self.args.changing_items), "--servers", str(self.args.servers)]
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        self.procs.append((role, proc))
        return proc

    def collect(self, role, proc, deadline):
        """The child's counts; a child that hangs or does not end cleanly is a fault."""
        try:
            out, err = proc.communicate(timeout=max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            raise Fault(f"hang: a {role} did not finish within {self.args.timeout} s")
        lines = [line for line in out.splitlines() if line.startswith("{")]
        if proc.returncode != 0 or not lines or sanitizer_report(err):
            raise Fault(f"crash: a {role} ended with status {proc.returncode}: {err[-2000:]}")
        return json.loads(lines[-1])

    def wait_serving(self, name, servers, deadline):
        while servers_of(name) < len(servers):
            for server in servers:
                if server.poll() is not None:
                    raise Fault(f"crash: a server ended at start: {server.communicate()[1][-2000:]}")
            if time.monotonic() > deadline:
                raise Fault("hang: the servers never served")
            time.sleep(0.01)

    def run_mode(self, threads):
        args = self.args
        deadline = time.monotonic() + args.timeout
        function, slot = f"{self.prefix}fn{threads}", f"{self.prefix}slot{threads}"
        zelvane.write_memory(slot, make_value("init", 0, MIN_SIZE, random.Random(0)))
        servers = [self.spawn("server", function, 1) for _ in range(args.servers)]
        self.wait_serving(function, servers, deadline)
        started = time.monotonic()
        callers = [self.spawn("caller", function, threads, calls=args.calls) for _ in range(args.callers)]
        slot_users = ([("writer", self.spawn("writer", slot, threads)) for _ in range(args.writers)]
                      + [("reader", self.spawn("reader", slot, threads)) for _ in range(args.readers)])
        results = collections.defaultdict(collections.Counter)
        examples = []
        for proc in callers:
            self.gather(results, examples, self.collect("caller", proc, deadline))
        calls_took = time.monotonic() - started
        for server in servers:
            if server.poll() is not None:
                self.collect("server", server, deadline)  # a crash is told as such
        if not zelvane.remove_function(function):
            raise Fault("the server's record vanished before the stop request")
        for server in servers:
            self.gather(results, examples, self.collect("server", server, deadline))
        for role, proc in slot_users:
            self.gather(results, examples, self.collect(role, proc, deadline))
        self.report_mode(threads, results, examples, calls_took)
        return results

    @staticmethod
    def gather(results, examples, summary):
        counts = collections.Counter(summary["counts"])
        tally = results[summary["role"]]
        tally["largest"] = max(tally["largest"], counts.pop("largest", 0))
        tally.update(counts)
        examples.extend(f"{summary['role']}: {e}" for e in summary["examples"])

    def report_mode(self, threads, results, examples, calls_took):
        args = self.args
        calls = results["caller"]["good"]
        timed_out = results["caller"]["timed out"]
        expected = args.callers * args.calls
        served = results["server"]["good"]
        print(f"  {threads} thread(s) per process: {calls}/{expected} calls answered correctly in "
              f"{calls_took:.1f} s ({calls / max(calls_took, 1e-9):.0f}/s), {results['caller']['changing']} of "
              f"them with values changing while encoded, {results['caller']['raised']} non-ASCII exceptions "
              f"shortened, {timed_out} timed out, server "
              f"answered {served}; {results['writer']['good']} writes, "
              f"{results['reader']['good']} good reads (largest value {results['reader']['largest']} B)")
        faults = {key: sum(r[key] for r in results.values())
                  for key in ("misdelivered", "torn", "regressed", "errors")}
        print(f"  {threads} thread(s) per process: misdelivered {faults['misdelivered']}, torn reads "
              f"{faults['torn']}, regressed reads {faults['regressed']}, errors {faults['errors']}, crashes 0")
        for example in examples:
            print("   ", example)
        # A call that timed out in flight was still answered (its reply dropped).
        if any(faults.values()) or calls + timed_out != expected or not calls <= served <= expected:
            raise Fault(f"{threads} thread(s) per process: {faults}, {calls} of {expected} calls answered")

    def kill_all(self):
        for _, proc in self.procs:
            if proc.poll() is None:
                proc.kill()
            proc.communicate()

    def run(self):
        print(f"concurrency soak: {self.args.callers} callers x {self.args.calls} calls to "
              f"{self.args.servers} server(s); "
              f"{self.args.writers} writers, {self.args.readers} readers for {self.args.duration} s, "
              f"values up to {self.args.max_size} B", flush=True)
        fault = None
        try:
            for threads in self.args.modes:
                self.run_mode(threads)
        except Fault as exc:
            fault = str(exc)
        except KeyboardInterrupt:
            fault = "interrupted"
        finally:
            self.kill_all()
            remove_names(self.prefix)
        if fault:
            print("FAULT:", fault)
        print("concurrency soak:", "FAILED" if fault else "passed", flush=True)
        return 1 if fault else 0


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--callers", type=int, default=8)
    parser.add_argument("--calls", type=int, default=10_000, help="calls per caller process")
    parser.add_argument("--servers", type=int, default=1,
                        help="serving processes: 1 serves with create_function, more make a serve pool")
    parser.add_argument("--writers", type=int, default=4)
    parser.add_argument("--readers", type=int, default=4)
    parser.add_argument("--duration", type=float, default=60.0, help="seconds of slot traffic")
    parser.add_argument("--max-size", type=int, default=1 << 20, help="size values grow to, in bytes")
    parser.add_argument("--changing-items", type=int, default=1 << 15,
                        help="largest size of the values that threads keep changing, in items")
    parser.add_argument("--modes", type=lambda s: [int(x) for x in s.split(",")], default=[1, 4],
                        help="threads per process, one run each (default 1,4)")
    parser.add_argument("--timeout", type=float, default=1800.0, help="seconds before a child counts as hung")
    # Used by the soak to start its children.
    parser.add_argument("--child", dest="role", help=argparse.SUPPRESS)
    parser.add_argument("--name", help=argparse.SUPPRESS)
    parser.add_argument("--threads", type=int, default=1, help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if args.role:
        return child_main(args)
    interrupt_on_sigterm()
    return Soak(args).run()


if __name__ == "__main__":
    sys.exit(main())
