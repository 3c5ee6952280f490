"""The zelvane command against real objects in /dev/shm: slots, records of
live and dead servers, and files that are not zelvane's."""
import json
import os
import pathlib
import pprint
import signal
import subprocess
import sys

import pytest

import zelvane

from conftest import TIMEOUT, finish, shm_path, spawn_python, wait_for_line, wait_until
from redis_util import redis_cluster  # noqa: F401 (a fixture)

pytestmark = pytest.mark.timeout(180)

COMMAND_DIR = pathlib.Path(__file__).parents[1] / "python"
MODULE_DIR = os.path.dirname(os.path.abspath(zelvane.__file__))
FOREIGN = "not zelvane's"


def run_command(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(COMMAND_DIR), MODULE_DIR]))
    return subprocess.run([sys.executable, "-m", "zelvane_cli", *args], capture_output=True,
                          text=True, env=env, timeout=TIMEOUT)


def listing():
    run = run_command("ls", "--json")
    assert run.returncode == 0, run.stderr
    return {entry["name"]: entry for entry in json.loads(run.stdout)}


def table_row(name):
    run = run_command("ls")
    assert run.returncode == 0, run.stderr
    rows = [line.split("  ") for line in run.stdout.splitlines()]
    matches = [[cell.strip() for cell in row if cell.strip()] for row in rows if row[0] == name]
    assert len(matches) == 1, run.stdout
    return matches[0]


def served(name):
    return listing()[name]["served"]


# Every test cleans only the names it made: other processes on this machine
# may have dead servers' records of their own.

# Objects that are not zelvane's, each made under `path` (beside a real slot
# named `slot`); what each holds afterwards must be what it held before.
def short_file(path, slot):
    pathlib.Path(path).write_bytes(b"0123456789")


def inconsistent_header(path, slot):
    # max_size claims more than the object holds.
    pathlib.Path(path).write_bytes((10**6).to_bytes(8, "little") + bytes(92))


def fifo(path, slot):
    os.mkfifo(path)


def link_to_a_slot(path, slot):
    os.symlink(shm_path(slot), path)


def snapshot(path):
    info = os.lstat(path)
    if os.path.islink(path):
        return info.st_mode, os.readlink(path)
    if os.path.isfile(path):
        return info.st_mode, pathlib.Path(path).read_bytes()
    return info.st_mode, None


@pytest.mark.parametrize("make", [short_file, inconsistent_header, fifo, link_to_a_slot])
def test_what_is_not_zelvanes_is_shown_and_left_alone(shm_name, make):
    slot, other = shm_name("slot"), shm_name("foreign")
    zelvane.write_memory(slot, [1, 2, 3])
    make(shm_path(other), slot)
    before = snapshot(shm_path(other))

    assert listing()[other]["kind"] == FOREIGN
    assert table_row(other)[1] == FOREIGN
    for args in (["show", other], ["rm", other]):
        run = run_command(*args)
        assert run.returncode == 1
        assert "not zelvane's" in run.stderr
    assert run_command("clean", other, slot).returncode == 0

    assert snapshot(shm_path(other)) == before
    assert zelvane.read_memory(slot) == [1, 2, 3]


def test_slots_are_listed_with_capacity_and_content(shm_name):
    written, empty = shm_name("written"), shm_name("empty")
    zelvane.write_memory(written, {"a": 1.5})
    zelvane.create_memory(empty, 4096)

    entries = listing()
    for name in (written, empty):
        raw = pathlib.Path(shm_path(name)).read_bytes()
        assert entries[name]["kind"] == "slot"
        assert entries[name]["size"] == len(raw)
        assert entries[name]["capacity"] == int.from_bytes(raw[:8], "little")
    assert entries[written]["holds_value"] is True
    assert entries[empty]["holds_value"] is False
    assert table_row(empty)[:3] == [empty, "slot", str(os.path.getsize(shm_path(empty)))]


VALUES = [
    {"rows": [1, 2.5, None], "name": "x" * 200},
    [True, False, "ü"],
]


@pytest.mark.parametrize("value", VALUES)
def test_show_prints_the_value(shm_name, value):
    name = shm_name("show")
    zelvane.write_memory(name, value)
    run = run_command("show", name)
    assert (run.returncode, run.stdout) == (0, pprint.pformat(value) + "\n")
    run = run_command("show", name, "--json")
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == value


@pytest.mark.parametrize("value", [{1, 2}, float("nan")])
def test_show_json_refuses_a_value_without_a_json_form(shm_name, value):
    name = shm_name("nojson")
    zelvane.write_memory(name, value)
    run = run_command("show", name, "--json")
    assert run.returncode == 1
    assert "no JSON form" in run.stderr
    assert run_command("show", name).returncode == 0


def test_rm_removes_each_name_and_reports_the_missing(shm_name):
    names = [shm_name("rm") for _ in range(3)]
    for name in names:
        zelvane.write_memory(name, name)
    missing = shm_name("missing")
    run = run_command("rm", names[0], missing, *names[1:])
    assert run.returncode == 1
    assert missing in run.stderr
    assert not any(os.path.exists(shm_path(name)) for name in names)


@pytest.mark.parametrize("name", ["../etc/passwd", "/", "a/b", ".."])
def test_names_outside_the_directory_are_refused(name):
    run = run_command("rm", name)
    assert run.returncode == 1
    assert "not a shared-memory name" in run.stderr


def dead_record(serve):
    server = serve("lambda *a: a")
    server.proc.send_signal(signal.SIGKILL)
    server.proc.wait(timeout=TIMEOUT)
    return server.name


def test_a_live_server_is_seen_and_kept_by_clean(serve):
    server = serve("lambda *a: a")
    wait_until(lambda: served(server.name), what="the server to show as live")
    entry = listing()[server.name]
    assert (entry["kind"], entry["state"], entry["activity"]) == ("function", "idle", 1)
    assert table_row(server.name)[-1] == "live"

    assert run_command("clean", "--dry-run", server.name).stdout == ""
    assert run_command("clean", server.name).returncode == 0
    assert zelvane.call_function(server.name, (1, 2)) == (1, 2)


def test_rm_of_a_live_function_stops_its_server(serve):
    server = serve("lambda *a: a")
    wait_until(lambda: served(server.name), what="the server to show as live")
    run = run_command("rm", server.name)
    assert run.returncode == 0, run.stderr
    code, out = server.finish()
    assert (code, out) == (0, "read\nreturned None\n")
    assert not os.path.exists(shm_path(server.name))


def test_clean_removes_the_record_of_a_dead_server(serve):
    name = dead_record(serve)
    entry = listing()[name]
    assert (entry["kind"], entry["served"]) == ("function", False)
    assert table_row(name)[-1] == "dead"

    run = run_command("clean", "--dry-run", name)
    assert run.stdout == f"would remove {name}\n"
    assert os.path.exists(shm_path(name))
    run = run_command("clean", name)
    assert run.stdout == f"removed {name}\n"
    assert not os.path.exists(shm_path(name))


LOCK_HOLDER = """
import fcntl, os, struct, sys
fd = os.open(sys.argv[1], os.O_RDWR)
lock = getattr(fcntl, sys.argv[2])
fcntl.fcntl(fd, getattr(fcntl, "F_OFD_SETLK", 37), struct.pack("hhxxxxqqixxxx", lock, 0, 1169, 1, 0))
print("locked", flush=True)
sys.stdin.read()
"""


@pytest.mark.parametrize("lock, live", [("F_RDLCK", False), ("F_WRLCK", True)])
def test_only_a_write_lock_on_the_liveness_byte_means_live(serve, lock, live):
    name = dead_record(serve)
    holder = spawn_python(LOCK_HOLDER, shm_path(name), lock)
    try:
        wait_for_line(holder, "locked")
        assert served(name) is live
        # Removing takes the dead server's lock, which any lock on its byte
        # keeps: the record stays while the holder holds it.
        assert run_command("clean", name).stdout == ""
        assert os.path.exists(shm_path(name))
    finally:
        finish(holder)  # closing its stdin lets it end
    assert run_command("clean", name).stdout == f"removed {name}\n"


@pytest.mark.parametrize("reserved", [0, 100])
def test_show_reports_a_slot_never_written(shm_name, reserved):
    name = shm_name("unwritten")
    zelvane.create_memory(name, reserved)
    run = run_command("show", name)
    assert (run.returncode, run.stdout) == (0, f"{name}: never written (capacity {reserved})\n")
    run = run_command("show", name, "--json")
    assert (run.returncode, run.stdout) == (0, "null\n")


def test_show_reports_a_torn_value_as_damaged(shm_name):
    name = shm_name("torn")
    zelvane.write_memory(name, [1, 2])
    with open(shm_path(name), "r+b") as f:
        f.seek(48)
        f.write(b"\0")
    run = run_command("show", name)
    assert run.returncode == 1
    assert "invalid protocol marker" in run.stderr


SLOT_LOCK_HOLDER = """
import sys, zelvane
with zelvane.open_memory(sys.argv[1], create=False).lock():
    print("locked", flush=True)
    sys.stdin.read()
"""


@pytest.mark.timeout(120)
def test_show_gives_up_on_a_slot_that_a_stopped_process_holds_and_names_it(shm_name):
    name = shm_name("stopped")
    zelvane.write_memory(name, [1, 2])
    holder = spawn_python(SLOT_LOCK_HOLDER, name)
    try:
        wait_for_line(holder, "locked")
        holder.send_signal(signal.SIGSTOP)
        run = run_command("show", name, "--timeout", "0.5")
        assert (run.returncode, run.stdout) == (1, "")
        assert run.stderr == f"zelvane: {name}: locked by pid {holder.pid}; gave up after 0.5 s\n"
        assert listing()[name]["holds_value"] is True  # the listing takes no lock
    finally:
        holder.send_signal(signal.SIGCONT)
        finish(holder)  # closing its stdin lets it end
    assert run_command("show", name, "--timeout", "0.5").stdout == "[1, 2]\n"


def in_process_command(monkeypatch, capsys):
    """Runs the command in this process, with its look at liveness made
    stale: it reports every server dead, as a look taken just before a server
    took the name over would."""
    monkeypatch.syspath_prepend(str(COMMAND_DIR))
    import zelvane_cli

    monkeypatch.setattr(zelvane_cli, "server_alive", lambda fd: False)

    def run(*args):
        code = zelvane_cli.main(list(args))
        out, err = capsys.readouterr()
        return code, out, err
    return run


def takeover(serve):
    name = dead_record(serve)
    dead = os.stat(shm_path(name)).st_ino
    server = serve("lambda *a: a", name=name)

    def taken_over():
        # The dead record is unlinked before the new one is published: for
        # a moment the name leads nowhere.
        try:
            return os.stat(shm_path(name)).st_ino != dead
        except FileNotFoundError:
            return False

    wait_until(taken_over, what="the record to be taken over")
    return server


@pytest.mark.parametrize("make", [lambda serve: serve("lambda *a: a"), takeover], ids=["live", "taken over"])
@pytest.mark.parametrize("command, code, err", [
    ("clean", 0, ""),
    ("rm", 1, "a live server holds it now; left alone"),
])
def test_a_server_seen_dead_keeps_its_name(serve, monkeypatch, capsys, make, command, code, err):
    server = make(serve)
    wait_until(lambda: served(server.name), what="the server to show as live")
    inode = os.stat(shm_path(server.name)).st_ino
    run = in_process_command(monkeypatch, capsys)
    result = run(command, server.name)
    assert (result[0], result[1]) == (code, "")
    assert err in result[2]
    assert os.stat(shm_path(server.name)).st_ino == inode
    assert zelvane.call_function(server.name, (1, 2)) == (1, 2)


def test_rm_removes_a_dead_record_and_a_slot(serve, shm_name):
    name, slot = dead_record(serve), shm_name("slot")
    zelvane.write_memory(slot, 1)
    run = run_command("rm", name, slot)
    assert (run.returncode, run.stdout) == (0, f"{name}: removed\n{slot}: removed\n")
    assert not os.path.exists(shm_path(name)) and not os.path.exists(shm_path(slot))


# -- on Redis: one server and every master of a cluster

@pytest.fixture(params=["server", "cluster"])
def redis_namespace(request):
    """(URL, a namespace of this test's own) on one Redis server or a cluster."""
    import uuid
    from redis_util import RedisServer, require_redis
    namespace = f"zcmd-{uuid.uuid4().hex[:10]}"
    if request.param == "cluster":
        cluster = request.getfixturevalue("redis_cluster")
        yield cluster.url, namespace
        cluster.delete_matching(f"{{{namespace}:*")
        return
    require_redis()
    server = RedisServer().start()
    yield server.url, namespace
    server.close()


def redis_listing(url, namespace):
    run = run_command("ls", "--url", url, "--namespace", namespace, "--json")
    assert run.returncode == 0, run.stderr
    return {entry["name"]: entry for entry in json.loads(run.stdout)}


def test_ls_on_redis_lists_a_namespaces_slots_queues_and_functions(redis_namespace):
    import threading
    url, namespace = redis_namespace
    slots = [f"s{i}" for i in range(12)]  # over every master of a cluster
    with zelvane.connect(url, namespace=namespace) as remote, zelvane.connect(url, namespace="other") as other:
        for index, name in enumerate(slots):
            remote.write_memory(name, "v" * index)
        remote.create_memory("empty")
        remote.open_queue("jobs", 5).put("job")
        other.write_memory("elsewhere", 1)
        server = threading.Thread(target=lambda: zelvane.connect(url, namespace=namespace).serve("echo", repr))
        server.start()
        try:
            remote.open_function("echo", wait=TIMEOUT).close()
            found = redis_listing(url, namespace)
            row = [line.split() for line in run_command("ls", "--url", url, "--namespace", namespace).stdout
                   .splitlines() if line.startswith("jobs ")]
        finally:
            remote.remove_function("echo")
            server.join(TIMEOUT)
        other.remove_memory("elsewhere")
    assert sorted(found) == sorted(slots + ["empty", "jobs", "echo"])
    assert found["s3"] == {"name": "s3", "kind": "slot", "size": len(zelvane.dumps("vvv")), "version": 1,
                           "reserved": False, "locked": False, "holds_value": True, "temporary": False}
    assert (found["empty"]["holds_value"], found["empty"]["version"]) == (False, 0)
    assert (found["jobs"]["kind"], found["jobs"]["length"], found["jobs"]["maxsize"]) == ("queue", 1, 5)
    assert (found["echo"]["kind"], found["echo"]["servers"], found["echo"]["pool"]) == ("function", 1, True)
    assert row == [["jobs", "queue", "length", "1,", "capacity", "5"]]


def test_show_on_redis_prints_a_value_or_says_what_is_missing(redis_namespace):
    url, namespace = redis_namespace
    value = {"a": [1, 2.5, "x"], "b": None}
    with zelvane.connect(url, namespace=namespace) as remote:
        remote.write_memory("value", value)
        remote.create_memory("never")

    def show(*args):
        return run_command("show", "--url", url, "--namespace", namespace, *args)
    assert show("value").stdout == pprint.pformat(value) + "\n"
    assert json.loads(show("value", "--json").stdout) == value
    assert show("never").stdout == "never: never written\n"
    missing = show("nothing")
    assert (missing.returncode, missing.stderr) == (
        1, f"zelvane: nothing: no such object in namespace '{namespace}' at {url}\n")


def test_ls_on_an_unreachable_redis_says_so():
    from redis_util import free_port, require_redis
    require_redis()
    url = f"redis://127.0.0.1:{free_port()}/0"
    run = run_command("ls", "--url", url)
    assert run.returncode == 1
    assert run.stderr.startswith(f"zelvane: Cannot reach Redis at {url}: "), run.stderr
