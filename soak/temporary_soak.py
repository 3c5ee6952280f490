"""Temporary-object soak: round after round, four holder processes open one
temporary slot or array, then each lets go of it, by closing it or by being
killed with SIGKILL, in random order, while holders that closed may open it
again at the same moment.

Each round counts
  - objects wrongly removed: a holder's object whose name stopped leading to
    it (removed, or replaced) while it still held it;
  - objects left: a name still there after its last holder closed, or after
    the round's cleanup of a group whose last holder was killed (alternately
    `zelvane clean`'s removal and the next temporary opening of the name).
Both must be 0.

Long run (1,000 rounds):

    PYTHONPATH=build/py311 python3 soak/temporary_soak.py

Every name the run made is removed and every child killed at the end, also
on failure. Exits 1 when either count is not 0 or a holder fails.
"""
import argparse
import os
import random
import signal
import sys

import zelvane

from _common import die_with_parent, interrupt_on_sigterm, remove_names, shm_path

HOLDERS = 4


def open_temporary(kind, name):
    if kind == "slot":
        return zelvane.open_memory(name, temporary=True)
    return zelvane.open_array(name, (8,), "q", temporary=True)


def holder_main(commands, replies):
    """Reads "open KIND NAME" and "close" lines; answers with the inode held."""
    die_with_parent()
    handle = None
    with os.fdopen(commands, "r") as inbox, os.fdopen(replies, "w") as outbox:
        for line in inbox:
            words = line.split()
            if words[0] == "open":
                handle = open_temporary(words[1], words[2])
                outbox.write(f"held {os.stat(shm_path(words[2])).st_ino}\n")
            else:
                handle.close()
                handle = None
                outbox.write("closed\n")
            outbox.flush()
    os._exit(0)


class Holder:
    """A forked process that holds one temporary object at a time."""

    def __init__(self):
        commands, self._inbox = os.pipe()
        self._outbox, replies = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            os.close(self._inbox)
            os.close(self._outbox)
            holder_main(commands, replies)
        os.close(commands)
        os.close(replies)
        self._replies = os.fdopen(self._outbox, "r")
        self.inode = None  # of the object it holds

    def send(self, line):
        os.write(self._inbox, (line + "\n").encode())

    def answer(self):
        line = self._replies.readline()
        if not line:
            raise RuntimeError(f"holder {self.pid} died unasked")
        return line.split()

    def kill(self):
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        os.close(self._inbox)
        self._replies.close()


class Soak:
    def __init__(self, args):
        self.rng = random.Random(args.seed)
        self.prefix = f"zsoak_{os.getpid()}_tmp_"
        self.holders = [Holder() for _ in range(HOLDERS)]
        self.wrongly_removed = 0
        self.left = 0

    def check_held(self, name):
        """Every holder's object must still be the one the name leads to."""
        try:
            inode = os.stat(shm_path(name)).st_ino
        except FileNotFoundError:
            inode = None
        for holder in self.holders:
            if holder.inode is not None and holder.inode != inode:
                self.wrongly_removed += 1
                print(f"{name}: held object {holder.inode} lost its name (now {inode})", flush=True)

    def open_all(self, group, kind, name):
        """Opens the object in every holder of `group` at once."""
        for holder in group:
            holder.send(f"open {kind} {name}")
        for holder in group:
            word, inode = holder.answer()
            holder.inode = int(inode)

    def let_go(self, holder, kill):
        if kill:
            holder.kill()
            self.holders[self.holders.index(holder)] = Holder()
        else:
            holder.send("close")
            holder.answer()
            holder.inode = None

    def round(self, number):
        kind = ("slot", "array")[number % 2]
        name = f"{self.prefix}{number % 7}"
        self.open_all(self.holders, kind, name)
        self.check_held(name)
        last_killed = False
        while any(holder.inode is not None for holder in self.holders):
            holding = [holder for holder in self.holders if holder.inode is not None]
            holder = self.rng.choice(holding)
            last_killed = self.rng.random() < 0.5
            idle = [other for other in self.holders if other.inode is None]
            # A holder that closed opens the object again as another lets go.
            joiner = self.rng.choice(idle) if idle and self.rng.random() < 0.3 else None
            if joiner:
                joiner.send(f"open {kind} {name}")
            self.let_go(holder, last_killed)
            if joiner:
                joiner.inode = int(joiner.answer()[1])
            self.check_held(name)
        if last_killed and os.path.exists(shm_path(name)):
            if number % 4 == 1:
                zelvane._remove_unheld(name, kind)
            else:
                open_temporary(kind, name).close()
        if os.path.exists(shm_path(name)):
            self.left += 1
            print(f"{name}: left after round {number}", flush=True)
            os.unlink(shm_path(name))

    def finish(self):
        for holder in self.holders:
            try:
                holder.kill()
            except (ProcessLookupError, ChildProcessError, OSError):
                pass
        remove_names(self.prefix)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    interrupt_on_sigterm()
    soak = Soak(args)
    try:
        for number in range(args.rounds):
            soak.round(number)
    finally:
        soak.finish()
    print(f"{args.rounds} rounds: {soak.wrongly_removed} objects wrongly removed, {soak.left} objects left",
          flush=True)
    return 1 if soak.wrongly_removed or soak.left else 0


if __name__ == "__main__":
    sys.exit(main())
