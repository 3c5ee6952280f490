"""Temporary slots, arrays and queues: they live while a process holds them open
through a temporary handle, and the last to let go removes the name; what
processes that died leave is removed by `zelvane clean` or the next opening."""
import fcntl
import json
import os
import signal
import struct
import subprocess
import sys

import pytest

import zelvane
from conftest import CHILD_PRELUDE, TIMEOUT, finish, shm_path, spawn_python, wait_for_line, wait_until

COMMAND_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python")
MODULE_DIR = os.path.dirname(os.path.abspath(zelvane.__file__))

# Where holders' write locks live: the byte 2**62 + 1 + pid of the object.
HOLDERS_AT = (1 << 62) + 1
F_OFD_SETLK = getattr(fcntl, "F_OFD_SETLK", 37)
FLOCK = "hhxxxxqqixxxx"

OPENERS = {
    "slot": "zelvane.open_memory(NAME, temporary=True)",
    "array": "zelvane.open_array(NAME, (4,), 'q', temporary=True)",
    "queue": "zelvane.open_queue(NAME, temporary=True)",
}
# What a fresh object of each kind reads as, and how a value is put in.
FRESH = {"slot": "h.read()", "array": "list(memoryview(h))", "queue": "h.qsize()"}
EMPTY = {"slot": None, "array": [0, 0, 0, 0], "queue": 0}
MARK = {"slot": "h.write(7)", "array": "memoryview(h)[0] = 7", "queue": "h.put(7)"}
# A permanent object of each kind made, and the kind opened without temporary=True.
PERMANENT = {
    "slot": lambda name: zelvane.write_memory(name, 1),
    "array": lambda name: zelvane.open_array(name, (4,), "q").close(),
    "queue": lambda name: zelvane.open_queue(name).close(),
}
PLAIN = {"slot": zelvane.open_memory, "array": zelvane.open_array, "queue": zelvane.open_queue}

HOLDER = CHILD_PRELUDE + """
import os, sys, zelvane
NAME = sys.argv[1]
h = {opener}
print("ready", flush=True)
for line in sys.stdin:
    if line.strip() == "fork":
        pid = os.fork()
        if pid == 0:
            import time; time.sleep(float(sys.argv[2]))
            h.close()
            os._exit(0)
        print("forked", flush=True)
    elif line.strip() == "close":
        h.close()
        print("closed", flush=True)
"""


def opener(kind, name):
    return eval(OPENERS[kind], {"zelvane": zelvane, "NAME": name})


def exists(name):
    return os.path.exists(shm_path(name))


def run_command(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([COMMAND_DIR, MODULE_DIR]))
    return subprocess.run([sys.executable, "-m", "zelvane_cli", *args], capture_output=True, text=True, env=env,
                          timeout=TIMEOUT)


def holders(name):
    fd = os.open(shm_path(name), os.O_RDONLY)
    try:
        return zelvane._temporary_holders(fd)
    finally:
        os.close(fd)


class Group:
    """Processes that each hold one temporary object."""

    def __init__(self, kind, name, size, child_sleep=0.0):
        self.children = [spawn_python(HOLDER.format(opener=OPENERS[kind]), name, str(child_sleep))
                         for _ in range(size)]
        for child in self.children:
            wait_for_line(child, "ready")

    def tell(self, child, line, answer):
        child.stdin.write(line + "\n")
        child.stdin.flush()
        wait_for_line(child, answer)

    def close(self, child):
        self.tell(child, "close", "closed")

    def kill(self, child):
        child.kill()
        child.wait(timeout=TIMEOUT)

    def finish(self):
        for child in self.children:
            child.kill()
            finish(child)


@pytest.fixture
def group():
    made = []

    def start(*args, **kwargs):
        made.append(Group(*args, **kwargs))
        return made[-1]
    yield start
    for each in made:
        each.finish()


KINDS = pytest.mark.parametrize("kind", ["slot", "array", "queue"])


@KINDS
@pytest.mark.parametrize("last", ["closes", "is killed"])
def test_a_group_of_four_keeps_the_name_until_the_last_lets_go(kind, last, shm_name, group):
    name = shm_name("tmp")
    four = group(kind, name, 4)
    assert holders(name) == 4
    for child in four.children[:2]:
        four.close(child)
        assert exists(name)
    four.kill(four.children[2])
    assert exists(name) and holders(name) == 1
    if last == "closes":
        four.close(four.children[3])
        assert not exists(name)
    else:
        four.kill(four.children[3])
        assert exists(name) and holders(name) == 0


@KINDS
@pytest.mark.parametrize("remover", ["clean", "the next opening"])
def test_what_a_killed_group_left_goes_at_the_next_clean_or_opening(kind, remover, shm_name, group):
    name = shm_name("tmp")
    two = group(kind, name, 2)
    with opener(kind, name) as h:
        exec(MARK[kind], {"h": h})
    for child in two.children:
        two.kill(child)
    inode = os.stat(shm_path(name)).st_ino
    if remover == "clean":
        assert run_command("clean", "--dry-run", name).stdout == (
            f"would remove {name}: temporary {kind} that no process holds\n")
        assert exists(name)
        run = run_command("clean", name)
        assert run.stdout == f"removed {name}: temporary {kind} that no process holds\n", run.stderr
        assert not exists(name)
    else:
        with opener(kind, name) as h:
            assert os.stat(shm_path(name)).st_ino != inode
            assert eval(FRESH[kind], {"h": h}) == EMPTY[kind]
        assert not exists(name)


@KINDS
def test_clean_and_openings_leave_a_held_object_alone(kind, shm_name, group):
    name = shm_name("tmp")
    one = group(kind, name, 1)
    inode = os.stat(shm_path(name)).st_ino
    assert run_command("clean", name).stdout == ""
    assert zelvane._remove_unheld(name, kind) == "held"
    with opener(kind, name):
        assert holders(name) == 2
    assert os.stat(shm_path(name)).st_ino == inode
    assert run_command("ls", "--json").returncode == 0
    one.close(one.children[0])
    assert not exists(name)


@KINDS
def test_a_fork_child_holds_the_object_of_its_own(kind, shm_name, group):
    name = shm_name("tmp")
    one = group(kind, name, 1, child_sleep=1.0)
    parent = one.children[0]
    one.tell(parent, "fork", "forked")
    wait_until(lambda: holders(name) == 2, what="the child to hold the object")
    one.close(parent)
    assert exists(name)
    # The child lets go a second after it was forked, and is the last.
    wait_until(lambda: not exists(name), what="the child to remove the name")


def read_lock(fd, start, length):
    fcntl.fcntl(fd, F_OFD_SETLK, struct.pack(FLOCK, fcntl.F_RDLCK, os.SEEK_SET, start, length, 0))


@KINDS
def test_a_readers_read_locks_neither_keep_an_object_nor_hide_its_holders(kind, shm_name, group):
    name = shm_name("tmp")
    one = group(kind, name, 1)
    holder = one.children[0].pid
    reader = os.open(shm_path(name), os.O_RDONLY)
    try:
        # Read locks on every byte but the live holder's: it is still seen.
        read_lock(reader, 0, HOLDERS_AT + holder)
        read_lock(reader, HOLDERS_AT + holder + 1, 0)
        assert holders(name) == 1
        assert zelvane._remove_unheld(name, kind) == "held"
        assert exists(name)
        # Once the holder died, the reader's locks keep nothing alive.
        one.kill(one.children[0])
        read_lock(reader, 0, 0)
        assert holders(name) == 0
        with opener(kind, name):
            pass
        assert not exists(name)
    finally:
        os.close(reader)


@KINDS
def test_lifetimes_do_not_change_silently(kind, shm_name):
    name = shm_name("perm")
    PERMANENT[kind](name)
    with pytest.raises(ValueError, match=f"The shared memory address '{name}' is permanent: open it without "
                                         "temporary=True."):
        opener(kind, name)
    assert run_command("clean", name).stdout == ""
    assert zelvane._remove_unheld(name, kind) == "permanent"
    assert exists(name)
    temporary = shm_name("tmp")
    with opener(kind, temporary):
        with pytest.raises(ValueError, match=f"The shared memory address '{temporary}' is temporary: open it "
                                             "with temporary=True."):
            PLAIN[kind](temporary)


def test_the_original_functions_treat_a_temporary_slot_as_any_other(shm_name):
    name = shm_name("tmp")
    with zelvane.open_memory(name, temporary=True) as h:
        assert zelvane.write_memory(name, {"x": [1, 2]}) is True
        assert h.read() == {"x": [1, 2]}
        h.write("y" * 10_000)
        assert zelvane.read_memory(name) == "y" * 10_000
        assert os.path.getsize(shm_path(name)) == 48 + struct.unpack("<Q", open(shm_path(name), "rb").read(8))[0]
        with zelvane.open_memory(name, temporary=True) as second:
            assert second.read() == "y" * 10_000
        assert exists(name)
    assert not exists(name)


@KINDS
def test_interpreter_exit_lets_go(kind, shm_name):
    name = shm_name("tmp")
    code = CHILD_PRELUDE + f"import zelvane\nNAME = {name!r}\nh = {OPENERS[kind]}\nprint('held')\n"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=TIMEOUT)
    assert run.stdout == "held\n", run.stderr
    assert not exists(name)


@KINDS
def test_ls_counts_holders(kind, shm_name, group):
    name = shm_name("tmp")
    group(kind, name, 3)
    run = run_command("ls", "--json")
    entry = [e for e in json.loads(run.stdout) if e["name"] == name][0]
    assert (entry["temporary"], entry["holders"]) == (True, 3)
    line = [row for row in run_command("ls").stdout.splitlines() if row.startswith(name)][0]
    assert line.endswith("temporary, held by 3 processes")


@KINDS
def test_a_pickled_temporary_handle_holds_the_object_where_it_is_unpickled(shm_name, kind):
    import pickle
    name = shm_name()
    first = opener(kind, name)
    copy = pickle.loads(pickle.dumps(first))
    first.close()
    assert exists(name)  # the unpickled handle holds it
    copy.close()
    assert not exists(name)
