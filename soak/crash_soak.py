"""Crash soak: a fleet of writer, reader, serving, calling and churning
processes works on a few names while, round after round, one of them is
killed with SIGKILL at a random moment and replaced.

Each round checks that
  (a) every survivor makes progress again (the longest time any survivor's
      operation ran past the kill is the round's recovery figure; a survivor
      that makes no progress within --hang-timeout is a hang, and ends the run);
  (b) no read returns a value other than one fully written (values carry a
      crc32; a value torn by a killed writer may only fail to decode, and only
      in the round of that writer's death);
  (c) calls to a killed server end with a RuntimeError naming the function,
      and calls whose arguments and results other threads keep changing
      while they are encoded get them whole;
  (d) a killed caller does not block the callers after it, nor does a
      killed swarm (a caller of a pool with more calls in flight than the
      pool has areas, so that it dies holding areas and queue tickets);
  (e) nothing is left half-made: every name is a valid slot or function
      record (a killed churner's leftovers included, some of them pools) or
      absent.

Long run (1,000 rounds; about half an hour on a 2-core machine):

    PYTHONPATH=build/py311 python3 soak/crash_soak.py

CI smoke (one command line):

    PYTHONPATH=build/py311 python3 soak/crash_soak.py --rounds 12 --writers 2 --readers 2
        --callers 2 --max-size 1048576 --hang-timeout 120

Every name the run made is removed and every child killed at the end, also
on failure or Ctrl-C. Exits 1 on any hang, torn read, misdelivery, unclear
error, crash or half-made object.
"""
import argparse
import collections
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import zlib

import zelvane

import _board as B
from _common import (Changing, changed_reply_fault, check_value, die_with_parent, interrupt_on_sigterm,
                     is_decoder_error, make_value, names_with_prefix, remove_names, sanitizer_report, shm_path)

ROLES = ("writer", "reader", "caller", "server", "churner", "swarm")
FUNCTION_RECORD_SIZE = 1168
# A pool's record is followed by its 16 message areas of 1088 bytes, from byte 1216.
POOL_RECORD_SIZE = 1216 + 16 * 1088
SLOT_HEADER = 48
NOBODY_SERVES = "Nobody serves the function"
REPLY_LOST = "The reply to this call of"
NULL_REPLY = "Received a NULL message from the function."
CANNOT_OPEN = "Failed to open the shared memory."
# What a handle opened while the name is missing (between a server's death
# and the next one's start) says.
NOT_SERVED = "No function '{}' is served; open_function(name, wait=seconds) waits for a server"


# ---------------------------------------------------------------------------
# Children
# ---------------------------------------------------------------------------

def next_value(tag, seq, rng, max_size):
    """Every third value is a large byte string (its long copy gives a kill
    good odds of landing in the middle of a write); the others are smaller
    values of every payload kind."""
    if seq % 3 == 0:
        return make_value(tag, seq, rng.randrange(max_size // 4, max_size + 1), rng, kind=0)
    return make_value(tag, seq, int(2 ** rng.uniform(3, 16)), rng)


class Child:
    def __init__(self, args):
        self.args = args
        self.board = B.Board(args.board)
        self.cell = args.cell
        self.progress = B.Progress(self.board, self.cell)
        self.rng = random.Random(os.getpid() ^ int(time.time() * 1e6))
        self.tag = f"{args.role[0]}{self.cell}"
        self.complaints = 0

    def complain(self, what):
        """Counts an unclear failure and describes the first few on stderr."""
        self.board.add(self.cell, B.UNCLEAR)
        self.complaints += 1
        if self.complaints <= 5:
            print(f"[{self.tag}] {what}", file=sys.stderr, flush=True)

    def timed(self, action, *args):
        """Runs one operation of the module, timed on the board (only the
        module's own work: a kill aimed at an operation should land in it)."""
        start = time.monotonic()
        self.progress.started(start)
        try:
            return action(*args)
        finally:
            self.progress.finished(start, time.monotonic())

    def loop(self, operation):
        while not self.board.stopping():
            pause = operation()
            if pause:
                time.sleep(pause)


def run_writer(child, slots):
    seq = 0

    def write():
        nonlocal seq
        seq += 1
        name = child.rng.choice(slots)
        value = next_value(child.tag, seq, child.rng, child.args.max_size)
        try:
            child.timed(zelvane.write_memory, name, value)
        except Exception as exc:
            child.complain(f"write to {name}: {exc!r}")
        return 0

    child.loop(write)


def run_reader(child, slots):
    newest = {}

    def read():
        name = child.rng.choice(slots)
        try:
            value = child.timed(zelvane.read_memory, name)
        except Exception as exc:
            if is_decoder_error(exc):
                child.board.add(child.cell, B.DECODE_ERRORS)
            else:
                child.complain(f"read of {name}: {exc!r}")
            return 0
        checked = check_value(value)
        if checked is None:
            child.board.add(child.cell, B.TORN)
            print(f"[{child.tag}] torn read of {name}: {repr(value)[:300]}", file=sys.stderr, flush=True)
            return 0
        writer, seq = checked
        if seq < newest.get((name, writer), 0):
            child.board.add(child.cell, B.REGRESSED)
        newest[(name, writer)] = seq
        child.board.add(child.cell, B.GOOD)
        return 0

    child.loop(read)


# Payloads above this go through a handle's buffer, and come back whole.
LARGE_PAYLOAD = 2000
# The values that threads of callers and servers keep changing grow to this many items.
CHANGING_ITEMS = 1 << 15


def expected_reply(function, tag, seq, payload):
    whole = payload[::-1] if len(payload) > LARGE_PAYLOAD else b""
    return (function, tag, seq, zlib.crc32(payload), len(payload), whole)


def classify_call_error(child, function, exc):
    """Counts a failed call; a pause before the next one when nobody serves."""
    text = str(exc)
    named = f"'{function}'" in text
    if isinstance(exc, RuntimeError) and named and text.startswith(NOBODY_SERVES):
        child.board.add(child.cell, B.GONE)
    elif isinstance(exc, RuntimeError) and named and text.startswith(REPLY_LOST):
        child.board.add(child.cell, B.LOST)
    elif (isinstance(exc, RuntimeError) and text.startswith(NULL_REPLY)) or (
            isinstance(exc, MemoryError) and text in (CANNOT_OPEN, NOT_SERVED.format(function))):
        child.board.add(child.cell, B.CLEAN_ERRORS)
    else:
        child.complain(f"call of {function}: {exc!r}")
    return 0.002


def run_caller(child, functions):
    seq = 0
    changing = Changing(random.Random(child.rng.random()), CHANGING_ITEMS).start()

    def through_a_handle(function, args, timeout):
        # Opened per call: the server behind the name is killed and replaced
        # all the time, and this also exercises opening.
        with zelvane.open_function(function) as handle:
            return handle(*args, timeout=timeout)

    def call_changing(function):
        value = changing.pick(seq // 8)
        try:
            reply = child.timed(through_a_handle, function, (child.tag, seq, value), None)
        except Exception as exc:
            return classify_call_error(child, function, exc)
        fault = changed_reply_fault(reply, (function, child.tag, seq), value)
        if fault:
            child.board.add(child.cell, B.TORN if fault == "torn" else B.MISDELIVERED)
            print(f"[{child.tag}] call {seq} of {function} with a changing argument got {reply!r:.200}",
                  file=sys.stderr, flush=True)
        else:
            child.board.add(child.cell, B.GOOD)
        return 0

    def call():
        nonlocal seq
        seq += 1
        function = child.rng.choice(functions)
        if seq % 8 == 4:
            return call_changing(function)
        # Every other handle call carries up to 256 KiB both ways, the
        # others values that threads keep changing.
        large = seq % 8 == 0
        payload = child.rng.randbytes(child.rng.randrange(LARGE_PAYLOAD + 1, 256 << 10) if large
                                      else child.rng.randrange(800))
        args = (child.tag, seq, payload)
        try:
            if seq % 4 == 0:
                # Short enough to pass now and then, queued or in flight.
                timeout = child.rng.choice((0.0005, 0.005, None))
                reply = child.timed(through_a_handle, function, args, timeout)
            else:
                reply = child.timed(zelvane.call_function, function, args)
        except TimeoutError:
            return 0
        except Exception as exc:
            return classify_call_error(child, function, exc)
        if reply != expected_reply(function, child.tag, seq, payload):
            child.board.add(child.cell, B.MISDELIVERED)
            print(f"[{child.tag}] call {seq} of {function} got {reply!r:.200}", file=sys.stderr, flush=True)
        else:
            child.board.add(child.cell, B.GOOD)
        return 0

    child.loop(call)


def is_pool(function):
    return function.rsplit("_", 1)[-1].startswith("pool")


def run_swarm(child, pools):
    """Calls the pools from more threads than a pool has areas, so that a
    kill finds it holding areas and queue tickets: the first thread's calls
    are timed, the others only checked."""
    def caller(thread):
        tag = f"{child.tag}.{thread}"
        seq = 0

        def call():
            nonlocal seq
            seq += 1
            function = child.rng.choice(pools)
            payload = child.rng.randbytes(child.rng.randrange(200))
            args = (tag, seq, payload)
            try:
                if thread == 0:
                    reply = child.timed(zelvane.call_function, function, args)
                else:
                    reply = zelvane.call_function(function, args)
            except Exception as exc:
                return classify_call_error(child, function, exc)
            if reply != expected_reply(function, tag, seq, payload):
                child.board.add(child.cell, B.MISDELIVERED)
                print(f"[{tag}] call {seq} of {function} got {reply!r:.200}", file=sys.stderr, flush=True)
            elif thread == 0:
                child.board.add(child.cell, B.GOOD)
            return 0

        return call

    for thread in range(1, child.args.swarm_threads):
        threading.Thread(target=child.loop, args=(caller(thread),), daemon=True).start()
    child.loop(caller(0))


def run_server(child, function):
    progress = child.progress
    changing = Changing(random.Random(child.rng.random()), CHANGING_ITEMS).start()

    def answer(tag, seq, payload):
        start = time.monotonic()
        progress.started(start)
        if type(payload) is bytes:
            reply = expected_reply(function, tag, seq, payload)
        else:
            reply = (function, tag, seq, payload, changing.pick(seq))
        progress.finished(start, time.monotonic())
        return reply

    serving = zelvane.serve if is_pool(function) else zelvane.create_function
    try:
        result = serving(function, answer)
    except BaseException as exc:
        child.complain(f"serving {function} ended: {exc!r}")
        sys.exit(3)
    if not child.board.stopping():
        child.complain(f"serving {function} returned {result!r} before the end")
        sys.exit(3)


def churn_slot(child, name):
    zelvane.create_memory(name, child.rng.choice([0, 0, 64, 4096]))
    value = make_value(child.tag, 1, child.rng.randrange(8, 1 << 16), child.rng)
    zelvane.write_memory(name, value)
    back = zelvane.read_memory(name)
    if back != value:
        child.complain(f"{name} read back {repr(back)[:200]}")
    zelvane.remove_memory(name)


def churn_function(child, name, number):
    outcome = []
    # Every other function is served by a pool of one, so that kills land in
    # joining and leaving a pool too.
    serving = zelvane.serve if number % 4 == 0 else zelvane.create_function

    def serve():
        try:
            outcome.append(serving(name, lambda *args: args))
        except BaseException as exc:
            outcome.append(exc)

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    deadline = time.monotonic() + 30
    while not os.path.exists(shm_path(name)) and server.is_alive():
        if time.monotonic() > deadline:
            child.complain(f"{name} never appeared")
            return
        time.sleep(0.001)
    reply = zelvane.call_function(name, (number, name))
    if reply != (number, name):
        child.complain(f"{name} answered {reply!r}")
    zelvane.remove_function(name)
    server.join(30)
    if server.is_alive() or outcome != [None]:
        child.complain(f"serving {name} ended with {outcome!r}")


def run_churner(child, prefix):
    """Creates, uses and removes slots and served functions of its own, so
    that kills land in creation and removal too."""
    number = 0

    def churn():
        nonlocal number
        number += 1
        name = f"{prefix}churn{child.cell}_{number}"
        try:
            if number % 2:
                child.timed(churn_slot, child, name)
            else:
                child.timed(churn_function, child, name, number)
        except Exception as exc:
            child.complain(f"churning {name}: {exc!r}")
        return 0

    child.loop(churn)


def child_main(args):
    die_with_parent()
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the soak itself handles Ctrl-C
    runners = {"writer": run_writer, "reader": run_reader, "caller": run_caller,
               "server": lambda child, names: run_server(child, names[0]), "swarm": run_swarm,
               "churner": lambda child, names: run_churner(child, names[0])}
    runners[args.role](Child(args), args.names)
    return 0


# ---------------------------------------------------------------------------
# The soak
# ---------------------------------------------------------------------------

class Fault(Exception):
    """A broken promise; ends the run."""


class Member:
    def __init__(self, role, names, cell, proc):
        self.role, self.names, self.cell, self.proc = role, names, cell, proc


def with_timeout(action, timeout, what):
    """Runs `action` on a thread; its outcome (value or exception) and the
    seconds it took. A hang raises Fault (the thread is left behind)."""
    outcome = {}

    def run():
        try:
            outcome["value"] = action()
        except BaseException as exc:
            outcome["error"] = exc

    thread = threading.Thread(target=run, daemon=True)
    start = time.monotonic()
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        raise Fault(f"hang: {what} did not return within {timeout} s")
    return outcome, time.monotonic() - start


class CrashSoak:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.prefix = f"zsoak_{os.getpid()}_crash{self.rng.getrandbits(24):06x}_"
        self.slots = [f"{self.prefix}slot{i}" for i in range(args.slots)]
        self.functions = [f"{self.prefix}fn{i}" for i in range(args.functions)]
        self.pools = [f"{self.prefix}pool{i}" for i in range(args.pools)]
        self.workdir = tempfile.mkdtemp(prefix="zsoak_crash_")
        fleet = args.writers + args.readers + args.callers + args.functions + args.churners + args.pools + args.swarms
        self.board = B.Board(os.path.join(self.workdir, "board"), cells=fleet + args.rounds + 1)
        self.next_cell = 0
        self.members = []
        self.retired = []
        self.stats = collections.Counter()
        self.recovery = collections.defaultdict(float)
        self.epoch = 0

    # --- fleet ---

    def spawn(self, role, names):
        cell = self.next_cell
        self.next_cell += 1
        log = open(os.path.join(self.workdir, f"{role}{cell}.log"), "wb")
        command = [sys.executable, os.path.abspath(__file__), "--child", role, "--board",
                   os.path.join(self.workdir, "board"), "--cell", str(cell),
                   "--max-size", str(self.args.max_size), "--swarm-threads", str(self.args.swarm_threads),
                   "--names", *names]
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
        log.close()
        member = Member(role, names, cell, proc)
        self.members.append(member)
        return member

    def start_fleet(self):
        for name in self.slots:
            zelvane.write_memory(name, make_value("init", 0, 64, self.rng))
        for function in self.functions + self.pools:
            self.spawn("server", [function])
        self.wait_until(lambda: all(os.path.exists(shm_path(f)) for f in self.functions + self.pools), "the servers")
        for _ in range(self.args.writers):
            self.spawn("writer", self.slots)
        for _ in range(self.args.readers):
            self.spawn("reader", self.slots)
        for _ in range(self.args.callers):
            self.spawn("caller", self.functions + self.pools)
        for _ in range(self.args.swarms if self.pools else 0):
            self.spawn("swarm", self.pools)
        for _ in range(self.args.churners):
            self.spawn("churner", [self.prefix])
        self.wait_until(lambda: all(self.board.get(m.cell, B.OPS) > 0 for m in self.members),
                        "the fleet to start")

    def check_alive(self):
        for member in self.members:
            code = member.proc.poll()
            if code is not None:
                self.stats["crashes"] += 1
                raise Fault(f"{member.role} {member.cell} ended by itself with status {code}")

    def wait_until(self, predicate, what):
        deadline = time.monotonic() + self.args.hang_timeout
        while not predicate():
            self.check_alive()
            if time.monotonic() > deadline:
                self.stats["hangs"] += 1
                raise Fault(f"hang: no progress of {what} within {self.args.hang_timeout} s; "
                            + self.describe_stalls())
            time.sleep(0.005)

    def describe_stalls(self):
        now = time.monotonic()
        parts = []
        for m in self.members:
            start = self.board.get(m.cell, B.OP_START)
            busy = f"busy for {now - start:.1f} s" if start else "between operations"
            parts.append(f"{m.role}{m.cell}: {self.board.get(m.cell, B.OPS)} ops, "
                         f"{self.board.get(m.cell, B.AFTER)} after the kill, {busy}")
        return "; ".join(parts)

    # --- one round ---

    def pick_victim(self):
        """The roles take turns, so that even a short run kills each of them."""
        roles = [role for role in ROLES if role in self.args.victims
                 and any(m.role == role for m in self.members)]
        role = roles[self.epoch % len(roles)]
        return self.rng.choice([m for m in self.members if m.role == role])

    def catch_mid_operation(self, victim):
        """Spins until the victim is inside an operation (a write, a read, a
        call, a served call), so that kills land inside the module's code
        far more often than between operations."""
        deadline = time.monotonic() + 1.0
        get, cell = self.board.get, victim.cell
        while not get(cell, B.OP_START) and time.monotonic() < deadline:
            pass
        # Then a little further in: an operation's first part is encoding.
        deadline = time.monotonic() + self.rng.uniform(0, 0.003)
        while time.monotonic() < deadline:
            pass

    def run_round(self):
        time.sleep(self.rng.uniform(0, self.args.max_delay))
        self.check_alive()
        victim = self.pick_victim()
        self.epoch += 1
        self.members.remove(victim)
        if self.rng.random() < self.args.mid_operation:
            self.catch_mid_operation(victim)
        self.board.announce_kill(self.epoch, time.monotonic())
        victim.proc.send_signal(signal.SIGKILL)
        victim.proc.wait()
        self.retired.append(victim)
        self.stats[f"killed {victim.role}"] += 1
        survivors = list(self.members)
        if victim.role == "server":
            self.bury_server(victim.names[0])
        elif victim.role == "churner":
            self.bury_churner_leftovers(victim.cell)
        replacement = self.spawn(victim.role, victim.names)
        self.wait_until(lambda: self.recovered(survivors), f"the survivors of a killed {victim.role}")
        recovery = max((self.board.get(m.cell, B.MAX_WAIT) for m in survivors if m.role != "server"),
                       default=0.0)
        self.recovery[victim.role] = max(self.recovery[victim.role], recovery)
        if recovery > 1.0:
            self.stats[f"recoveries over 1 s after a killed {victim.role}"] += 1
        self.wait_until(lambda: self.board.get(replacement.cell, B.OPS) > 0, f"the new {victim.role}")
        if victim.role == "writer":
            self.settle_slots()
        self.check_names()
        self.check_counters(victim.role)

    def recovered(self, survivors):
        """Every survivor finished two operations begun after the kill (so
        the one under way at the kill has ended too)."""
        for m in survivors:
            if self.board.get(m.cell, B.CELL_EPOCH) != self.epoch or self.board.get(m.cell, B.AFTER) < 2:
                return False
        return True

    def bury_server(self, function):
        """A killed server's record stays: a call on it must end with a clear
        error naming the function, and it must not pass for a value slot."""
        outcome, took = with_timeout(lambda: zelvane.call_function(function, ("soak", 0, b"")),
                                     self.args.hang_timeout, f"a call of the killed server {function}")
        error = outcome.get("error")
        if not (isinstance(error, RuntimeError) and f"'{function}'" in str(error)):
            raise Fault(f"a call of the killed server {function} gave {outcome!r}")
        self.recovery["call of a killed server"] = max(self.recovery["call of a killed server"], took)
        self.check_record(function)
        zelvane.remove_memory(function)

    def bury_churner_leftovers(self, cell):
        """A churner killed mid-way may leave one of its names: it must be a
        whole slot or a whole function record."""
        for name in names_with_prefix(f"{self.prefix}churn{cell}_"):
            number = int(name.rsplit("_", 1)[1])
            if number % 2:
                self.check_slot(name, allow_unwritten=True)
            else:
                self.check_dead_record(name)
            zelvane.remove_memory(name)
            self.stats["churner leftovers checked"] += 1

    def check_slot(self, name, allow_unwritten=False):
        try:
            size = os.path.getsize(shm_path(name))
        except FileNotFoundError:
            return
        if size < SLOT_HEADER:
            raise Fault(f"{name} is half-made: {size} bytes")
        try:
            value = zelvane.read_memory(name)
        except Exception as exc:
            if allow_unwritten and is_decoder_error(exc):
                return
            raise Fault(f"{name} does not read cleanly: {exc!r}")
        if value is None and allow_unwritten:
            return
        if check_value(value) is None:
            self.stats["torn reads"] += 1
            raise Fault(f"{name} holds a value nobody wrote: {repr(value)[:200]}")

    @staticmethod
    def check_record(name):
        """A whole function record, which a slot read refuses cleanly."""
        size = os.path.getsize(shm_path(name))
        if size not in (FUNCTION_RECORD_SIZE, POOL_RECORD_SIZE):
            raise Fault(f"{name} is half-made: {size} bytes")
        try:
            zelvane.read_memory(name)
        except MemoryError:
            return
        except Exception as exc:
            raise Fault(f"reading the record {name} as a slot gave {exc!r}")
        raise Fault(f"the record {name} reads as a value slot")

    def check_dead_record(self, name):
        self.check_record(name)
        outcome, _ = with_timeout(lambda: zelvane.call_function(name, (0,)), self.args.hang_timeout,
                                  f"a call of {name}")
        error = outcome.get("error")
        if not (isinstance(error, (RuntimeError, MemoryError)) and (
                f"'{name}'" in str(error) or str(error) in (CANNOT_OPEN,) or NULL_REPLY in str(error))):
            raise Fault(f"a call of the leftover {name} gave {outcome!r}")

    def settle_slots(self):
        """After a writer's death every slot must hold a whole value again
        once a live writer has written it, and every reader must have read
        since (so its counts of this round are in)."""
        def all_whole():
            for name in self.slots:
                try:
                    if check_value(zelvane.read_memory(name)) is None:
                        return False
                except ValueError as exc:
                    if not is_decoder_error(exc):
                        raise
                    return False
            return True

        self.wait_until(all_whole, "the writers to mend the slots")
        readers = [m for m in self.members if m.role == "reader"]
        counts = {m.cell: self.board.get(m.cell, B.OPS) for m in readers}
        self.wait_until(lambda: all(self.board.get(m.cell, B.OPS) > counts[m.cell] + 1 for m in readers),
                        "the readers after the slots were mended")

    def check_names(self):
        """Every name under the prefix is one this run knows, whole."""
        live_churners = {m.cell for m in self.members if m.role == "churner"}
        for name in names_with_prefix(self.prefix):
            rest = name[len(self.prefix):]
            if name in self.slots:
                self.check_slot(name)
            elif name in self.functions or name in self.pools:
                self.check_record(name)
            elif rest.startswith("churn") and int(rest[5:].split("_")[0]) in live_churners:
                continue
            else:
                raise Fault(f"{name} should not exist")

    def totals(self):
        totals = collections.Counter()
        for m in self.members + self.retired:
            totals.update(self.board.counters(m.cell))
        return totals

    def check_counters(self, victim_role):
        totals = self.totals()
        decode_errors = totals["decode_errors"] - self.stats["decode errors before"]
        self.stats["decode errors before"] = totals["decode_errors"]
        if decode_errors and victim_role != "writer":
            raise Fault(f"{decode_errors} reads failed to decode although no writer died")
        for key in ("torn", "misdelivered", "unclear", "regressed"):
            if totals[key]:
                raise Fault(f"{totals[key]} {key} (see the children's logs)")

    # --- end ---

    def stop_fleet(self):
        """Asks the fleet to stop, stops the servers, then kills whoever is left."""
        self.board.stop()
        for function in self.functions + self.pools:
            with_timeout(lambda f=function: zelvane.remove_function(f), self.args.hang_timeout,
                         f"stopping {function}")
        deadline = time.monotonic() + self.args.hang_timeout
        for m in self.members:
            try:
                code = m.proc.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                self.stats["hangs"] += 1
                raise Fault(f"{m.role} {m.cell} did not stop; " + self.describe_stalls())
            if code != 0:
                self.stats["crashes"] += 1
                raise Fault(f"{m.role} {m.cell} stopped with status {code}")

    def kill_all(self):
        for m in self.members:
            if m.proc.poll() is None:
                m.proc.kill()
            m.proc.wait()

    def check_logs(self):
        """A sanitizer's report in any child's stderr is a fault, also one
        the child survived."""
        if sanitizer_report(self.logs()):
            raise Fault("a sanitizer reported an error (see the children's logs)")

    def logs(self):
        out = []
        for entry in sorted(os.listdir(self.workdir)):
            if entry.endswith(".log"):
                with open(os.path.join(self.workdir, entry), errors="replace") as f:
                    text = f.read().strip()
                if text:
                    out.append(f"--- {entry}\n{text[-2000:]}")
        return "\n".join(out)

    def report(self, rounds_run, fault):
        totals = self.totals()
        print(f"crash soak: {rounds_run} rounds run of {self.args.rounds}")
        print(f"  hangs: {self.stats['hangs']}, torn reads: {totals['torn'] + self.stats['torn reads']}, "
              f"misdelivered: {totals['misdelivered']}, unclear errors: {totals['unclear']}, "
              f"regressed reads: {totals['regressed']}, crashes: {self.stats['crashes']}")
        print(f"  good reads and calls: {totals['good']}, reads refused after a writer's death: "
              f"{totals['decode_errors']}, calls told nobody serves: {totals['gone']}, "
              f"calls whose reply another caller reclaimed: {totals['lost']}, other clean call errors: "
              f"{totals['clean_errors']}")
        kills = {k: v for k, v in self.stats.items() if k.startswith(("killed", "recoveries", "churner"))}
        print(f"  {dict(sorted(kills.items()))}")
        worst = max(self.recovery.values(), default=0.0)
        detail = ", ".join(f"{k} {v:.3f} s" for k, v in sorted(self.recovery.items()))
        print(f"  worst recovery: {worst:.3f} s ({detail})")
        if fault:
            print(f"FAULT: {fault}")
            print(self.logs())
        print("crash soak:", "FAILED" if fault else "passed", flush=True)

    def run(self):
        try:
            rounds_run, fault = self.run_rounds()
            self.report(rounds_run, fault)
            return 1 if fault else 0
        finally:
            self.board.close()
            shutil.rmtree(self.workdir, ignore_errors=True)

    def run_rounds(self):
        rounds_run = 0
        fault = None
        try:
            self.start_fleet()
            for _ in range(self.args.rounds):
                self.run_round()
                rounds_run += 1
                if self.args.verbose and rounds_run % 50 == 0:
                    print(f"  ... {rounds_run} rounds", flush=True)
            self.stop_fleet()
            self.check_counters("none")
            self.check_logs()
        except Fault as exc:
            fault = str(exc)
        except KeyboardInterrupt:
            fault = "interrupted"
        finally:
            self.kill_all()
            remove_names(self.prefix)
        return rounds_run, fault


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=1000)
    parser.add_argument("--writers", type=int, default=3)
    parser.add_argument("--readers", type=int, default=3)
    parser.add_argument("--callers", type=int, default=3)
    parser.add_argument("--slots", type=int, default=2)
    parser.add_argument("--functions", type=int, default=2)
    parser.add_argument("--churners", type=int, default=1)
    parser.add_argument("--pools", type=int, default=1, help="functions served by a pool (of one server process)")
    parser.add_argument("--swarms", type=int, default=1, help="callers of the pools from many threads each")
    parser.add_argument("--swarm-threads", type=int, default=24,
                        help="threads of a swarm: more than a pool's 16 areas")
    parser.add_argument("--max-size", type=int, default=4 << 20, help="largest value written, in bytes")
    parser.add_argument("--max-delay", type=float, default=0.3, help="longest wait before a kill, s")
    parser.add_argument("--mid-operation", type=float, default=0.5,
                        help="share of kills aimed at a victim inside an operation")
    parser.add_argument("--victims", type=lambda text: text.split(","), default=list(ROLES),
                        help="roles that may be killed (default: all)")
    parser.add_argument("--hang-timeout", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--verbose", action="store_true")
    # Used by the soak to start its children.
    parser.add_argument("--child", dest="role", help=argparse.SUPPRESS)
    parser.add_argument("--board", help=argparse.SUPPRESS)
    parser.add_argument("--cell", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--names", nargs="*", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if args.role:
        return child_main(args)
    if args.seed is None:
        args.seed = random.randrange(2**32)
    print(f"crash soak: seed {args.seed}", flush=True)
    interrupt_on_sigterm()
    return CrashSoak(args).run()


if __name__ == "__main__":
    sys.exit(main())
