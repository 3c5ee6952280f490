"""A pool against what others leave on it: callers that die with more calls
in flight than the pool has areas, and a user who may only read the pool's
file and takes read locks on its server bytes."""
import fcntl
import json
import os
import struct
import textwrap

import pytest
import zelvane

from conftest import TIMEOUT, finish, shm_path, spawn_python, wait_until
from test_pool_exchanges import AREAS, area_states, holding_pool  # noqa: F401 (fixture)
from test_services import pool, pool_servers, run_command, stop_pool  # noqa: F401 (fixture)

pytestmark = pytest.mark.timeout(300)

REPLIED = 3
# The callers' queue: its head and tail tickets, in the record's callers' state.
QUEUE_AT = 44
# Where pool servers hold their write locks, one byte each: [start, end).
# Callers' locks begin at the end, one byte past it per pid.
SERVER_BYTES = 2048, 4096
F_OFD_SETLK = getattr(fcntl, "F_OFD_SETLK", 37)

# A process that calls the pool `count` times at once and then waits to be
# killed or told to exit with its calls pending: from threads, or from an
# event loop through two handles, the second of whose calls run on the
# loop's helper threads and queue as the threads' do.
DYING_CALLERS = {
    "threads": """
        import sys, threading, zelvane
        name, count = sys.argv[1], int(sys.argv[2])
        for k in range(count):
            threading.Thread(target=zelvane.call_function, args=(name, (f"hold-{k}",)), daemon=True).start()
        sys.stdin.readline()
    """,
    "aio": """
        import asyncio, os, sys
        from zelvane import aio
        async def main(name, count):
            first = await aio.open_function(name)
            second = await aio.open_function(name)
            calls = [asyncio.ensure_future(first(f"hold-{k}")) for k in range(16)]
            await asyncio.sleep(0.2)
            calls += [asyncio.ensure_future(second(f"hold-{k}")) for k in range(16, count)]
            await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
            os._exit(0)  # with every call still pending
        asyncio.run(main(sys.argv[1], int(sys.argv[2])))
    """,
}

CALLER = textwrap.dedent("""
    import sys, zelvane
    print("result", zelvane.open_function(sys.argv[1])(sys.argv[2], timeout=float(sys.argv[3])), flush=True)
""")


def queued_tickets(name):
    with open(shm_path(name), "rb") as f:
        head, tail = struct.unpack_from("<II", f.read(QUEUE_AT + 8), QUEUE_AT)
    return tail - head


@pytest.mark.parametrize("callers", sorted(DYING_CALLERS))
def test_callers_that_die_holding_more_calls_than_areas_leave_the_pool_serving(holding_pool, callers):
    name, procs, flags = holding_pool(1)
    dying = spawn_python(textwrap.dedent(DYING_CALLERS[callers]), name, "40")
    live = None
    try:
        # Every area holds one of its calls and some of the rest wait in the queue.
        wait_until(lambda: 0 not in area_states(name) and queued_tickets(name) >= 2,
                   what="the areas and the queue to fill")
        live = spawn_python(CALLER, name, "queued before", str(TIMEOUT))
        wait_until(lambda: queued_tickets(name) >= 3 or live.poll() is not None, what="the live caller to queue")
        if callers == "threads":
            dying.kill()
        else:
            dying.stdin.write("exit\n")
            dying.stdin.flush()
        finish(dying)
        (flags / "release").touch()
        # Nobody collects the replies: every area holds a dead caller's.
        wait_until(lambda: area_states(name) == [REPLIED] * AREAS or live.poll() is not None,
                   what="the server to answer the dead caller")
        assert finish(live).strip() == "result ('queued before', %d)" % procs[0].pid
        with zelvane.open_function(name) as call:
            assert call("after", timeout=TIMEOUT) == ("after", procs[0].pid)
    finally:
        for proc in (dying, live):
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.communicate(timeout=TIMEOUT)
    stop_pool(name, procs)
    assert not os.path.exists(shm_path(name))


def read_lock(name, start, length):
    """A read lock that a user who may only read the file can take: held
    while the returned descriptor stays open."""
    fd = os.open(shm_path(name), os.O_RDONLY)
    try:
        fcntl.fcntl(fd, F_OFD_SETLK, struct.pack("hhxxxxqqixxxx", fcntl.F_RDLCK, os.SEEK_SET, start, length, 0))
    except BaseException:
        os.close(fd)
        raise
    return fd


def shown(name):
    return json.loads(run_command("show", name, "--json").stdout)


def listed(name):
    """The SERVER column of `name` in the command's listing."""
    return next(line for line in run_command("ls").stdout.splitlines() if line.startswith(name + " ")).split("  ")[-1].strip()


def test_a_readers_locks_neither_fake_a_pools_death_nor_keep_servers_out(pool):
    name, (first,) = pool(1)
    # A free server byte read-locked before the second server joins.
    reader = read_lock(name, SERVER_BYTES[0] + 2, 1)
    whole = None
    try:
        _, (second,) = pool(1, name=name)
        wait_until(lambda: pool_servers(name) == 2, what="the second server to join")
        first.kill()
        finish(first)
        assert pool_servers(name) == 1
        with zelvane.open_function(name, wait=TIMEOUT, servers=1) as call:
            assert call.servers == 1
            assert call("still served", timeout=TIMEOUT) == ("still served", second.pid)
        entry = shown(name)
        assert (entry["served"], entry["servers"]) == (True, 1)
        assert listed(name) == "live, 1 servers"
        # Once every server died, a read lock over the whole server range
        # keeps no new server out: it takes the dead pool over.
        second.kill()
        finish(second)
        assert pool_servers(name) == 0
        whole = read_lock(name, SERVER_BYTES[0], SERVER_BYTES[1] - SERVER_BYTES[0])
        _, (third,) = pool(1, name=name)
        with zelvane.open_function(name, wait=TIMEOUT) as call:
            assert call("anew", timeout=TIMEOUT) == ("anew", third.pid)
        # The last server out still removes the name, whatever readers hold.
        stop_pool(name, [third])
    finally:
        for fd in (reader, whole):
            if fd is not None:
                os.close(fd)
    assert not os.path.exists(shm_path(name))


def test_a_last_server_leaving_alone_removes_the_name_despite_a_reader(pool):
    name, (server,) = pool(1)
    reader = read_lock(name, SERVER_BYTES[0] + 5, 3)
    try:
        server.send_signal(2)  # Ctrl-C: the last server out removes the name
        assert finish(server).startswith("raised KeyboardInterrupt")
        assert not os.path.exists(shm_path(name))
    finally:
        os.close(reader)
