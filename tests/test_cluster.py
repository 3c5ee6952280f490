"""The Remote on a real Redis Cluster (3 masters, a replica each): what only
a cluster meets. Objects spread over the masters, a slot moved while
processes update its object, a master killed while they do, and a lock
holder whose lease ran out. The behaviours shared with one server run on
both in test_remote.py."""
import asyncio
import contextvars
import os
import re
import signal
import time
import uuid

import pytest
import redis
from redis.crc import key_slot

import zelvane
import zelvane.aio

from conftest import CHILD_PRELUDE, TIMEOUT, finish, spawn_python, wait_for_line, wait_until
from redis_util import RedisServer, migrate_slot, redis_cluster, require_redis  # noqa: F401 (a fixture)

pytestmark = pytest.mark.timeout(300)


@pytest.fixture
def namespace(redis_cluster):
    name = f"zc-{uuid.uuid4().hex[:12]}"
    yield name
    redis_cluster.delete_matching(f"{{{name}:*")


def slot_of(namespace, name):
    return key_slot(f"{{{namespace}:{name}}}".encode())


def test_objects_spread_over_every_master_and_each_lives_on_its_slots_master(redis_cluster, namespace):
    names = [f"n{i}" for i in range(30)]
    with zelvane.connect(redis_cluster.url, namespace=namespace) as remote:
        for index, name in enumerate(names):
            remote.write_memory(name, {"i": index})
    owners = {redis_cluster.owner(slot_of(namespace, name)).port for name in names}
    assert owners == {node.port for node in redis_cluster.masters()} and len(owners) == 3
    for name in names:
        node = redis.Redis(port=redis_cluster.owner(slot_of(namespace, name)).port)
        try:
            assert node.exists(f"{{{namespace}:{name}}}:val")
        finally:
            node.close()

    async def read_all():
        remote = await zelvane.aio.connect(redis_cluster.url, namespace=namespace)
        try:
            return [await remote.read_memory(name) for name in names]
        finally:
            await remote.close()
    assert asyncio.run(read_all()) == [{"i": index} for index in range(len(names))]


def test_the_asyncio_mirror_on_the_cluster(redis_cluster, namespace):
    async def main():
        remote = await zelvane.aio.connect(redis_cluster.url, namespace=namespace)
        server = asyncio.ensure_future(remote.serve("scale", lambda a, factor=2: a * factor))
        try:
            handles = [await remote.open_memory(f"a{i}") for i in range(12)]
            for handle in handles:
                assert await handle.update(lambda value: (value or 0) + 1) == 1
            async with handles[0].lock():
                await handles[0].write(b"y" * 100_000)
            changed = asyncio.ensure_future(handles[1].wait(timeout=TIMEOUT))
            await asyncio.sleep(0.2)
            await remote.write_memory("a1", "next")
            assert await changed == 2
            scale = await remote.open_function("scale", wait=TIMEOUT)
            assert (await scale(3), await scale(3, factor=5)) == (6, 15)
            return await remote.read_memory("a0")
        finally:
            server.cancel()
            await asyncio.gather(server, return_exceptions=True)
            await remote.close()
    assert asyncio.run(main()) == b"y" * 100_000


def test_a_server_on_its_own_is_no_cluster(redis_cluster):
    require_redis()
    server = RedisServer().start()
    try:
        with zelvane.connect(server.url) as remote:
            assert remote._routes is None
    finally:
        server.close()
    with zelvane.connect(redis_cluster.url) as remote:
        assert remote._routes is not None


# A child that adds 1 to each of the names it is given until a line comes
# on its stdin; it prints how many of its updates each name acknowledged, and the
# errors it met.
UPDATER = CHILD_PRELUDE + """
import select, sys, zelvane
url, namespace, replicas, *names = sys.argv[1:]
remote = zelvane.connect(url, namespace=namespace, replicas=int(replicas))
handles = [remote.open_memory(name) for name in names]
acked, errors = {name: 0 for name in names}, []
print("go", flush=True)
turn = 0
while not select.select([sys.stdin], [], [], 0)[0]:
    handle = handles[turn % len(handles)]
    turn += 1
    try:
        handle.update(lambda value: (value or 0) + 1, timeout=30)
        acked[handle.name] += 1
    except Exception as exc:
        errors.append(f"{type(exc).__name__}: {exc}")
print(repr((acked, errors)), flush=True)
"""


def start_updaters(cluster, namespace, names, replicas=0, count=4):
    children = [spawn_python(UPDATER, cluster.url, namespace, str(replicas), *names) for _ in range(count)]
    for child in children:
        wait_for_line(child, "go")
    return children


def stop_updaters(children):
    """The acknowledged updates of each name, summed, and every error met."""
    acked, errors = {}, []
    for child in children:
        child.stdin.write("\n")
        child.stdin.flush()
    for child in children:
        out = finish(child)
        assert child.returncode == 0, child.stderr.read()
        child_acked, child_errors = eval(out.strip().splitlines()[-1])
        errors += child_errors
        for name, count in child_acked.items():
            acked[name] = acked.get(name, 0) + count
    return acked, errors


def wait_for_updates(remote, name, at_least):
    handle = remote.open_memory(name)
    while (handle.read() or 0) < at_least:
        handle.wait(timeout=TIMEOUT)


def test_a_slot_moved_while_four_processes_update_its_object(redis_cluster, namespace):
    name = "moving"
    slot = slot_of(namespace, name)
    with zelvane.connect(redis_cluster.url, namespace=namespace) as remote:
        remote.write_memory(name, 0)
        children = start_updaters(redis_cluster, namespace, [name])
        try:
            wait_for_updates(remote, name, 50)
            source = redis_cluster.owner(slot)
            target = next(node for node in redis_cluster.masters() if node.port != source.port)
            migrate_slot(redis_cluster, slot, target)
            assert redis_cluster.owner(slot).port == target.port
            moved_at = remote.read_memory(name)
            wait_for_updates(remote, name, moved_at + 50)
        finally:
            acked, errors = stop_updaters(children)
        assert errors == []
        assert remote.read_memory(name) == acked[name]


@pytest.fixture(params=["server", "cluster"])
def any_redis(request):
    """The URL of one Redis server or of a node of the cluster."""
    if request.param == "cluster":
        yield request.getfixturevalue("redis_cluster").url
        return
    require_redis()
    server = RedisServer().start()
    yield server.url
    server.close()


def test_a_lapsed_lock_holders_write_is_refused(any_redis, namespace):
    holder = spawn_python(CHILD_PRELUDE + """
import sys, zelvane
remote = zelvane.connect(sys.argv[1], namespace=sys.argv[2])
handle = remote.open_memory("fenced")
with handle.lock() as held:
    print("held", flush=True)
    print(held.token, flush=True)
    sys.stdin.readline()
    print("still", held.token, flush=True)
    try:
        handle.write("late")
    except RuntimeError as exc:
        print("refused:", exc, flush=True)
""", any_redis, namespace)
    try:
        wait_for_line(holder, "held")
        stale = int(holder.stdout.readline())
        os.kill(holder.pid, signal.SIGSTOP)
        with zelvane.connect(any_redis, namespace=namespace) as remote:
            handle = remote.open_memory("fenced")
            # The lease runs out while the holder is stopped.
            with handle.lock(timeout=TIMEOUT) as held:
                token = held.token
                handle.write("on time")
            assert token > stale
            os.kill(holder.pid, signal.SIGCONT)
            holder.stdin.write("\n")
            holder.stdin.flush()
            still, out = finish(holder).strip().split("\n")
            # The late holder's token tells whoever it writes to elsewhere that it is stale.
            assert still == f"still {stale}"
            assert out == ("refused: The lease of the lock of slot 'fenced' ran out before this write (its holder "
                           "was paused or cut off for over 5 seconds) and the lock may be another's now: the write "
                           "was refused.")
            assert handle.read() == "on time"
    finally:
        if holder.poll() is None:
            os.kill(holder.pid, signal.SIGCONT)
        finish(holder)


def test_a_master_killed_while_four_processes_update_counters_loses_no_acknowledged_update(redis_cluster,
                                                                                           namespace):
    names = [f"c{i}" for i in range(9)]
    with zelvane.connect(redis_cluster.url, namespace=namespace) as remote:
        victim = redis_cluster.owner(slot_of(namespace, names[0]))
        children = start_updaters(redis_cluster, namespace, names, replicas=1)
        try:
            wait_for_updates(remote, names[0], 20)
            victim.kill()
            redis_cluster.wait_healthy()
            # A replica again for the master that replaced it, so that writes
            # have one to confirm them.
            redis_cluster.replace_lost_node(victim, redis_cluster.owner(slot_of(namespace, names[0])))
            at = remote.read_memory(names[0])
            wait_for_updates(remote, names[0], at + 20)
        finally:
            acked, errors = stop_updaters(children)
            if not victim.alive:
                redis_cluster.replace_lost_node(victim, redis_cluster.masters()[0])
        for error in errors:
            assert error.startswith("ConnectionError: ") and "'c" in error
        finals = {name: remote.read_memory(name) or 0 for name in names}
        for name in names:
            # Nothing acknowledged is lost; an update that met an error may have landed.
            assert acked[name] <= finals[name] <= acked[name] + len(errors)


# A server of the function named, whose every run leaves a line in the log
# file named: who called and the call's number.
LOGGING_SERVER = CHILD_PRELUDE + """
import asyncio, sys, zelvane, zelvane.aio
url, namespace, name, log, mirror = sys.argv[1:]

def work(who, number):
    with open(log, "a") as out:
        out.write(f"{who}:{number}\\n")
    return f"{who}:{number}"

async def serve_async():
    async with await zelvane.aio.connect(url, namespace=namespace, replicas=1) as remote:
        await remote.serve(name, work, concurrency=2)

try:
    if mirror == "sync":
        zelvane.connect(url, namespace=namespace, replicas=1).serve(name, work)
    else:
        asyncio.run(serve_async())
    print("returned", flush=True)
except Exception as exc:
    print("raised", type(exc).__name__, exc, flush=True)
"""

# A caller of it, until a line comes on its stdin: the numbers of the calls
# that returned their result, and the errors met.
LOGGED_CALLER = CHILD_PRELUDE + """
import select, sys, zelvane
url, namespace, name, who = sys.argv[1:]
function = zelvane.connect(url, namespace=namespace, replicas=1).open_function(name, wait=60)
print("go", flush=True)
returned, errors, number = [], [], 0
while not select.select([sys.stdin], [], [], 0)[0]:
    number += 1
    try:
        result = function(who, number, timeout=60)
        assert result == f"{who}:{number}", result
        returned.append(number)
    except Exception as exc:
        errors.append(f"{type(exc).__name__}: {exc}")
print(repr((returned, errors)), flush=True)
"""


def logged_runs(log):
    try:
        with open(log) as lines:
            return lines.read().split()
    except FileNotFoundError:
        return []


@pytest.mark.parametrize("mirror", ["sync", "aio"])
def test_a_master_killed_while_calls_are_in_flight_runs_none_twice_and_serving_goes_on(redis_cluster, namespace,
                                                                                      tmp_path, mirror):
    name, log = "logged", str(tmp_path / "runs")
    victim = redis_cluster.owner(slot_of(namespace, name))
    servers = [spawn_python(LOGGING_SERVER, redis_cluster.url, namespace, name, log, mirror) for _ in range(2)]
    callers = []
    try:
        callers = [spawn_python(LOGGED_CALLER, redis_cluster.url, namespace, name, f"c{i}") for i in range(3)]
        for caller in callers:
            wait_for_line(caller, "go")
        wait_until(lambda: len(logged_runs(log)) >= 30, what="calls before the failover")
        victim.kill()
        redis_cluster.wait_healthy()
        redis_cluster.replace_lost_node(victim, redis_cluster.owner(slot_of(namespace, name)))
        at = len(logged_runs(log))
        wait_until(lambda: len(logged_runs(log)) >= at + 30, what="calls after the failover")
    finally:
        outcomes = []
        for caller in callers:
            caller.stdin.write("\n")
            caller.stdin.flush()
        for caller in callers:
            out = finish(caller)
            assert caller.returncode == 0, caller.stderr.read()
            outcomes.append(eval(out.strip().splitlines()[-1]))
        with zelvane.connect(redis_cluster.url, namespace=namespace) as remote:
            remote.remove_function(name)
        ends = [finish(server).strip() for server in servers]
        if not victim.alive:
            redis_cluster.replace_lost_node(victim, redis_cluster.masters()[0])
    runs = logged_runs(log)
    assert len(runs) == len(set(runs)), "a call ran twice"
    for who, (returned, errors) in enumerate(outcomes):
        assert set(f"c{who}:{number}" for number in returned) <= set(runs)
        for error in errors:
            assert error.startswith("ConnectionError: ") and f"'{name}'" in error, error
    # Both servers served on after the failover, until the pool was stopped.
    assert ends == ["returned", "returned"]


@pytest.mark.parametrize("size", [10, 100_000])
def test_replicas_unconfirmed_say_the_write_may_not_survive_a_failover(size):
    require_redis()
    server = RedisServer().start()
    try:
        with zelvane.connect(server.url, namespace="zr", replicas=1) as remote:
            with pytest.raises(redis.ConnectionError) as info:
                remote.write_memory("lonely", b"x" * size)
            assert str(info.value).endswith(
                "Only 0 of the 1 replicas asked for confirmed the write to 'lonely' within 2 seconds: it took "
                "effect but may not survive a failover.")
            # It took effect: only its replication is in doubt.
            assert remote.read_memory("lonely") == b"x" * size
    finally:
        server.close()


def test_a_request_tries_within_its_operations_timeout():
    from zelvane._remote_cluster import Tries, retrying_within
    lost = redis.ConnectionError("Connection refused")
    with retrying_within(0.3):
        tries = Tries("{ns:counter}:slot", True, "ns")
    with pytest.raises(redis.ConnectionError) as info:
        for _ in range(10_000):
            pause, _ = tries.after(lost)
            time.sleep(pause)
    assert str(info.value) == f"The Redis Cluster did not serve 'counter' within 0.3 seconds: Connection refused"


def test_a_server_paused_past_its_heartbeat_serves_on_once_resumed(any_redis, namespace):
    server = spawn_python(CHILD_PRELUDE + """
import sys, zelvane
zelvane.connect(sys.argv[1], namespace=sys.argv[2]).serve("paused", lambda x: x + 1)
print("returned", flush=True)
""", any_redis, namespace)
    try:
        with zelvane.connect(any_redis, namespace=namespace) as remote:
            function = remote.open_function("paused", wait=TIMEOUT)
            os.kill(server.pid, signal.SIGSTOP)
            # Its heartbeat lapses, and a look at the pool drops it.
            wait_until(lambda: function.servers == 0, what="the paused server dropped")
            os.kill(server.pid, signal.SIGCONT)
            wait_until(lambda: function.servers == 1, what="the resumed server back")
            assert function(1, timeout=TIMEOUT) == 2
            remote.remove_function("paused")
        assert finish(server).strip() == "returned"
    finally:
        if server.poll() is None:
            os.kill(server.pid, signal.SIGCONT)
        finish(server)


def replica_of(cluster, master):
    """The replica of `master`, once it follows it."""
    replica = next(node for node in cluster.nodes
                   if node.alive and node.info("INFO", "replication").get("master_port") == str(master.port))
    wait_until(lambda: replica.info("INFO", "replication").get("master_link_status") == "up",
               what="the replica linked to its master")
    return replica


def fence_on(node, namespace, name):
    """The fence of slot `name` as the replica `node` has it."""
    client = redis.Redis(port=node.port)
    try:
        client.execute_command("READONLY")
        return int(client.hget(f"{{{namespace}:{name}}}:slot", "fence") or 0)
    finally:
        client.close()


async def _grants_on_aio(url, namespace, name, replica):
    """(token, the replica's fence) inside a lock block, for a lock taken at
    once and one handed over by its holder; the error of a lock whose grant
    the stopped replica cannot confirm."""
    async with await zelvane.aio.connect(url, namespace=namespace, replicas=1) as remote, \
            await zelvane.aio.connect(url, namespace=namespace, replicas=1) as other:
        handle = await remote.open_memory(name)
        seen = []

        async def take():
            async with (await other.open_memory(name)).lock(timeout=TIMEOUT) as held:
                seen.append((held.token, fence_on(replica, namespace, name)))

        async with handle.lock(timeout=TIMEOUT) as held:
            seen.append((held.token, fence_on(replica, namespace, name)))
            # A task of its own, which holds nothing of this one's.
            waiter = asyncio.get_running_loop().create_task(take(), context=contextvars.Context())
            await asyncio.sleep(0.3)  # it waits in the lock's queue
        await asyncio.wait_for(waiter, TIMEOUT)
        replica.pause()
        try:
            with pytest.raises(redis.ConnectionError) as info:
                async with handle.lock(timeout=0.5):
                    pass
        finally:
            replica._proc.send_signal(signal.SIGCONT)
        return seen, str(info.value)


def _grants_on_sync(url, namespace, name, replica):
    import threading
    with zelvane.connect(url, namespace=namespace, replicas=1) as remote:
        handle = remote.open_memory(name)
        seen = []

        def take():
            with handle.lock(timeout=TIMEOUT) as held:
                seen.append((held.token, fence_on(replica, namespace, name)))

        with handle.lock(timeout=TIMEOUT) as held:
            seen.append((held.token, fence_on(replica, namespace, name)))
            waiter = threading.Thread(target=take)
            waiter.start()
            time.sleep(0.3)  # it waits in the lock's queue
        waiter.join(TIMEOUT)
        assert not waiter.is_alive()
        replica.pause()
        try:
            with pytest.raises(redis.ConnectionError) as info:
                with handle.lock(timeout=0.5):
                    pass
        finally:
            replica._proc.send_signal(signal.SIGCONT)
        return seen, str(info.value)


@pytest.mark.parametrize("mirror", ["sync", "aio"])
def test_with_replicas_a_grant_of_a_lock_is_on_the_replica_before_its_holder_goes_on(redis_cluster, namespace,
                                                                                    mirror):
    name = "granted"
    replica = replica_of(redis_cluster, redis_cluster.owner(slot_of(namespace, name)))
    try:
        if mirror == "sync":
            seen, error = _grants_on_sync(redis_cluster.url, namespace, name, replica)
        else:
            seen, error = asyncio.run(_grants_on_aio(redis_cluster.url, namespace, name, replica))
    finally:
        replica._proc.send_signal(signal.SIGCONT)
        redis_cluster.wait_healthy()
        replica_of(redis_cluster, redis_cluster.owner(slot_of(namespace, name)))
    # Taken at once, then handed over: each holder's token is on the replica.
    first, handed = seen
    assert first[0] == first[1] and handed == (first[0] + 1, first[0] + 1)
    # The wait is the time the lock's timeout of 0.5 s had left after the grant.
    waited = re.fullmatch(re.escape(f"Only 0 of the 1 replicas asked for confirmed the grant of the lock of slot "
                                    f"'{name}' within ") + r"(\d+(?:\.\d+)?)" +
                          re.escape(" seconds: the lock was let go, as a grant that may not survive a failover "
                                    "could hand out its fencing token twice."), error)
    assert waited, error
    assert 0.1 <= float(waited.group(1)) <= 0.5
    # The grant it did not use was let go: the lock is free at once.
    with zelvane.connect(redis_cluster.url, namespace=namespace) as remote:
        with remote.open_memory(name).lock(timeout=TIMEOUT) as held:
            assert held.token == first[0] + 3


def test_an_executors_calls_in_flight_while_the_functions_slot_moves_each_run_once(redis_cluster, namespace,
                                                                                   tmp_path):
    import threading
    name, log = "moved-calls", str(tmp_path / "runs")
    slot = slot_of(namespace, name)
    servers = [spawn_python(LOGGING_SERVER, redis_cluster.url, namespace, name, log, "sync") for _ in range(2)]
    try:
        with zelvane.connect(redis_cluster.url, namespace=namespace) as remote:
            remote.open_function(name, wait=TIMEOUT, servers=2).close()
            source = redis_cluster.owner(slot)
            target = next(node for node in redis_cluster.masters() if node.port != source.port)
            # One key at a time, so that the posts and replies meet the slot half moved.
            mover = threading.Thread(target=migrate_slot, args=(redis_cluster, slot, target, 1))
            futures = []
            with remote.Executor(name) as executor:
                futures += [executor.submit("e", number) for number in range(50)]
                mover.start()
                while mover.is_alive() or len(futures) < 200:
                    futures.append(executor.submit("e", len(futures)))
                    time.sleep(0.002)
                mover.join(TIMEOUT)
                results = [future.result(timeout=TIMEOUT) for future in futures]
            assert redis_cluster.owner(slot).port == target.port
            assert results == [f"e:{number}" for number in range(len(futures))]
    finally:
        with zelvane.connect(redis_cluster.url, namespace=namespace) as remote:
            remote.remove_function(name)
        ends = [finish(server).strip() for server in servers]
    assert ends == ["returned", "returned"]
    runs = logged_runs(log)
    assert sorted(runs) == sorted(f"e:{number}" for number in range(len(futures))), "a call ran twice or never"


def test_with_replicas_a_lock_claimed_from_a_lapsed_lease_is_on_the_replica(redis_cluster, namespace):
    name = "claimed"
    replica = replica_of(redis_cluster, redis_cluster.owner(slot_of(namespace, name)))
    with zelvane.connect(redis_cluster.url, namespace=namespace) as lapsing, \
            zelvane.connect(redis_cluster.url, namespace=namespace, replicas=1) as remote:
        stale = lapsing.open_memory(name)
        with stale.lock(timeout=TIMEOUT) as held:
            lapsed = held.token
            lapsing._leases.stop()  # as a holder cut off: its lease runs out
            with remote.open_memory(name).lock(timeout=TIMEOUT) as taken:
                assert (taken.token, fence_on(replica, namespace, name)) == (lapsed + 1, lapsed + 1)
