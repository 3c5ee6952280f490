"""The Redis back end on a Redis Cluster: which master serves an object's
hash slot, the connections to each node, and what a request does when the
cluster answers that the slot is elsewhere (MOVED, ASK), moving (TRYAGAIN)
or down (CLUSTERDOWN, a lost connection during a failover).

Every key of one object shares its hash tag, so each request of the back
end goes whole to one node: the master of that slot. A request is tried
again within CLUSTER_RETRY_WINDOW seconds when the cluster says it did not
run it; after a lost connection, only when running it twice does no harm
(REPEATABLE). Otherwise the caller learns that the request may or may not
have run, by a ConnectionError that names the object. An operation given a
timeout tries within that instead (retrying_within).
"""
import asyncio
import contextlib
import contextvars
import random
import threading
import time

from zelvane._remote_wire import Lines, Wire, Subscriber, ReplyError, answer, packed

# How long a request of an operation with no timeout of its own keeps
# trying while slots move or a replica takes over from a failed master: a
# cluster's failover takes a few times its cluster-node-timeout.
CLUSTER_RETRY_WINDOW = 20.0
FIRST_PAUSE = 0.02
LONGEST_PAUSE = 0.5
SLOTS = 16384
# How long a write waits for its replicas when connect(url, replicas=N) asks for them.
# Under redis-py's default socket timeout (5 s), which the reply of WAIT must beat.
REPLICA_WAIT = 2.0

# The least a lock's grant waits for its replicas, however little time its
# operation has left.
SHORTEST_GRANT_WAIT = 0.1

# The scripts whose success is a write that replicas=N waits for.
ACKNOWLEDGED = frozenset({"write", "finish"})

# The commands that hand a server a call (or a consumer a queue's item):
# with replicas=N, the move reaches the replicas before it is acted on, so
# that a replica taking over from a failed master does not hand it out again.
MOVES = frozenset({"BLMOVE"})

# The scripts that may run twice with the same outcome: they read, or
# carry a token that makes a second run a no-op.
REPEATABLE = frozenset({"read", "lock", "claim", "unlock", "renew", "withdraw_waiter", "heartbeat", "leave",
                        "served", "where", "withdraw", "write", "finish"})
# The scripts sent with a command behind them (SCRIPT_THEN) that may run
# twice, command and all: the lock script answers again what it answered a
# token before; a renewal followed by WAIT changes nothing the second time.
REPEATABLE_THEN = frozenset({"lock", "renew"})
# The commands that only read.
READING = frozenset({"HGET", "EXISTS", "GET", "LRANGE", "HMGET", "SCAN", "TYPE", "CLUSTER", "INFO", "PING",
                     "STRLEN", "LLEN", "SMEMBERS", "SCARD", "ZCOUNT"})

# What a cluster answers instead of running a request, by redis-py's
# exception class or the error's first word.
_REDIRECTS = {"MovedError": "MOVED", "AskError": "ASK", "TryAgainError": "TRYAGAIN",
              "ClusterDownError": "CLUSTERDOWN", "MasterDownError": "CLUSTERDOWN",
              "BusyLoadingError": "LOADING", "ReadOnlyError": "READONLY"}
_WORDS = frozenset({"MOVED", "ASK", "TRYAGAIN", "CLUSTERDOWN", "MASTERDOWN", "LOADING", "READONLY"})


def sharded(script):
    """A script as it runs on a cluster: its notices go to the shard of the
    object only (SPUBLISH), where its readers subscribe."""
    return script.replace("'PUBLISH'", "'SPUBLISH'")


def is_cluster(info):
    """Whether INFO's cluster section comes from a cluster node."""
    return str(info.get("cluster_enabled", 0)) == "1"


def key_slot(key):
    from redis.crc import key_slot as slot_of
    return slot_of(key.encode() if isinstance(key, str) else key)


def object_name(key, namespace):
    """The name of the object a key belongs to ("{namespace:name}:...")."""
    return key[len(namespace) + 2:key.rindex("}")]


def refusal(exc):
    """(what the cluster said, (host, port) it pointed to or None) for an
    error reply of a cluster that did not run the request; None for any
    other error."""
    kind = _REDIRECTS.get(type(exc).__name__)
    text = str(exc)
    if kind is None:
        word, _, rest = text.partition(" ")
        if word not in _WORDS:
            return None
        kind, text = ("CLUSTERDOWN" if word == "MASTERDOWN" else word), rest
    if kind in ("MOVED", "ASK"):
        address = getattr(exc, "node_addr", None)
        if address is None:
            host, _, port = text.split()[-1].rpartition(":")
            address = (host, int(port))
        return kind, address
    return kind, None


# (deadline, timeout) of the operation the thread or task runs, when it
# was given a timeout: its requests try until then.
_RETRY_UNTIL = contextvars.ContextVar("zelvane_retry_until", default=None)


@contextlib.contextmanager
def retrying_within(timeout):
    """Makes the requests of the operation run inside try within `timeout`
    seconds (None: CLUSTER_RETRY_WINDOW each). A timeout the operation will
    refuse counts as none, so that the operation reports it."""
    usable = isinstance(timeout, (int, float)) and not isinstance(timeout, bool) and 0 <= timeout < float("inf")
    window = (time.monotonic() + timeout, timeout) if usable else None
    token = _RETRY_UNTIL.set(window)
    try:
        yield
    finally:
        _RETRY_UNTIL.reset(token)


class SlotMap:
    """Which master serves each hash slot, as the cluster last told."""

    def __init__(self, seed):
        self._owners = [seed] * SLOTS
        self._known = [seed]

    def owner(self, slot):
        return self._owners[slot]

    def moved(self, slot, address):
        self._owners[slot] = address
        if address not in self._known:
            self._known.append(address)

    def masters(self):
        return sorted(set(self._owners))

    def candidates(self):
        """The nodes to ask for the map, known masters first."""
        masters = self.masters()
        return masters + [address for address in self._known if address not in masters]

    def load(self, reply, asked):
        """Takes CLUSTER SLOTS' reply, from the node at `asked`."""
        owners = list(self._owners)
        for first, last, master, *replicas in reply:
            address = _address(master, asked)
            owners[first:last + 1] = [address] * (last - first + 1)
            for node in (master, *replicas):
                if _address(node, asked) not in self._known:
                    self._known.append(_address(node, asked))
        self._owners = owners


def _address(node, asked):
    host = node[0].decode() if isinstance(node[0], bytes) else node[0]
    # A node that does not know how it is reached names no host.
    return (host if host not in ("", "?") else asked[0]), int(node[1])


def failing_over(routes, deadline):
    """Whether a request met the cluster moving slots or failing over
    recently enough that what that left behind (servers whose heartbeats
    lapsed meanwhile, not yet back) may be put right within the
    operation's deadline (or CLUSTER_RETRY_WINDOW)."""
    if routes is None:
        return False
    now = time.monotonic()
    return now < routes.troubled_at + CLUSTER_RETRY_WINDOW and (deadline is None or now < deadline)


class SubscriptionMoved(Exception):
    """The node of a slot dropped a subscription to the slot's channel: the
    slot went to another node."""


class Tries:
    """The attempts of one request on a cluster: what to do after each
    failure, until the operation's timeout (or CLUSTER_RETRY_WINDOW) has
    passed."""

    def __init__(self, key, repeatable, namespace, asks=True):
        self._key = key
        self._asks = asks  # whether the request may follow ASK (a transaction waits instead)
        self._repeatable = repeatable
        self._namespace = namespace
        window = _RETRY_UNTIL.get()
        if window is None:
            window = time.monotonic() + CLUSTER_RETRY_WINDOW, CLUSTER_RETRY_WINDOW
        self._deadline, self._window = window
        self._pause = FIRST_PAUSE
        self.slot = key_slot(key)
        self.asking = None  # the node to send the next attempt to, with ASKING
        self.sent = False  # whether this attempt's request went out
        self.troubled = False  # whether the cluster was moving or failing over

    def after(self, exc):
        """After `exc` (the request sent or maybe sent when `sent`): the
        pause before the next attempt, and whether the slot map must be
        read again first; raises when there is none."""
        import redis
        self.asking, sent, self.sent = None, self.sent, False
        said = ("LOST", None) if isinstance(exc, SubscriptionMoved) else refusal(exc)
        if said is None:
            if not isinstance(exc, (redis.ConnectionError, redis.TimeoutError)):
                raise exc
            self.troubled = True
            if sent and not self._repeatable:
                raise redis.ConnectionError(
                    f"The connection to the Redis Cluster was lost during an operation on '{self._name()}', "
                    f"which may or may not have taken effect: {exc}") from exc
            said = ("LOST", None)
        self.troubled = True
        kind, address = said
        if time.monotonic() >= self._deadline:
            raise redis.ConnectionError(f"The Redis Cluster did not serve '{self._name()}' within "
                                        f"{self._window:g} seconds: {exc}") from exc
        if kind == "ASK" and self._asks:
            self.asking = address
            return 0.0, False
        if kind == "MOVED":
            return 0.0, address
        pause = self._pause * (0.5 + random.random() / 2)
        self._pause = min(LONGEST_PAUSE, self._pause * 2)
        return pause, True

    def _name(self):
        try:
            return object_name(self._key, self._namespace)
        except ValueError:
            return self._key


class Recorder:
    """Stands for a pipeline: the commands a transaction's fill queues, packed."""

    def __init__(self, scripts):
        self.commands = []
        self._scripts = scripts

    def set(self, key, value, px=None):
        self.commands.append(("SET", key, value) + (() if px is None else ("PX", px)))

    def get(self, key):
        self.commands.append(("GET", key))

    def eval(self, script, numkeys, *keys_and_args):
        self.commands.append(("EVAL", self._scripts.get(script, script), numkeys, *keys_and_args))

    def execute_command(self, *words):
        self.commands.append(words)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return lambda *words: self.commands.append((name.upper(), *words))


def node_pool_maker(pool_class, base_pool, retry_module="redis.retry"):
    """Makes the connection pool of a node (host, port) like `base_pool`
    (credentials, TLS, timeouts), with no retries of its own: the routing
    decides what runs again. `retry_module` is redis-py's module of the
    Retry class for the pool's kind."""
    import importlib
    from redis.backoff import NoBackoff
    Retry = importlib.import_module(retry_module).Retry

    def make(address):
        kwargs = dict(base_pool.connection_kwargs, host=address[0], port=address[1], retry=Retry(NoBackoff(), 0))
        kwargs.pop("db", None)
        return pool_class(connection_class=base_pool.connection_class, **kwargs)
    return make


def transaction_payload(commands):
    """MULTI, the commands, EXEC."""
    return packed("MULTI") + b"".join(packed(*words) for words in commands) + packed("EXEC")


def writes(commands):
    """Whether a transaction writes (stages a value) rather than only reads."""
    return any(words[0] == "SET" for words in commands)


def transaction_key(commands):
    """The key a transaction's commands share the slot of."""
    words = commands[0]
    return words[3] if words[0] == "EVAL" else words[1]


def transaction_result(replies):
    """EXEC's replies, from those of MULTI, each queued command and EXEC;
    the first refusal raised when the server would not queue one."""
    outcome = replies[-1]
    if isinstance(outcome, Exception):
        _raise(next((reply for reply in replies[1:-1] if isinstance(reply, Exception)), outcome))
    for reply in outcome:
        if isinstance(reply, Exception):
            _raise(reply)
    return outcome


def _raise(reply):
    answer(reply)  # a wire's error reply, as redis-py raises it
    raise reply


class RoutesBase:
    """The nodes of a cluster as one Remote sees them: the slot map and a
    connection pool for each node."""

    def __init__(self, make_pool, seed, namespace):
        self._make_pool = make_pool
        self._pools = {}
        self._guard = threading.Lock()
        self._map = SlotMap(seed)
        self._namespace = namespace
        # When a request last met the cluster moving slots or failing over.
        self.troubled_at = float("-inf")

    def pool(self, address):
        with self._guard:
            found = self._pools.get(address)
            if found is None:
                found = self._pools[address] = self._make_pool(address)
            return found

    def masters(self):
        return self._map.masters()

    def tries(self, key, repeatable, asks=True):
        return Tries(key, repeatable, self._namespace, asks)

    def node_of(self, tries):
        return tries.asking or self._map.owner(tries.slot)

    def _next_step(self, tries, exc):
        """The pause before the next attempt and whether to read the map again."""
        try:
            pause, moved = tries.after(exc)
        finally:
            if tries.troubled:
                self.troubled_at = time.monotonic()
        if moved not in (True, False):
            self._map.moved(tries.slot, moved)
        return pause, moved is not False

    def pools(self):
        with self._guard:
            return list(self._pools.values())


class Routes(RoutesBase):
    """The routing of the blocking mirror: each thread's wire to each node."""

    def __init__(self, make_pool, seed, namespace):
        super().__init__(make_pool, seed, namespace)
        self._lines = {}
        self.refresh()

    def _line(self, kind, address):
        with self._guard:
            lines = self._lines.get((kind, address))
            if lines is None:
                lines = self._lines[kind, address] = Lines(kind, None)
        if lines._pool is None:
            lines._pool = self.pool(address)
        return lines.get()

    def exchange(self, key, talk, repeatable, asks=True):
        """What talk(wire) returns, on the wire to the node of `key`."""
        tries = self.tries(key, repeatable, asks)
        while True:
            wire = self._line(Wire, self.node_of(tries))
            try:
                wire.connect()
                tries.sent = True
                wire.asking = tries.asking is not None
                return talk(wire)
            except Exception as exc:
                self._after(tries, exc)
            finally:
                wire.asking = False

    def transaction(self, fill, scripts, replicas):
        recorder = Recorder(scripts)
        fill(recorder)
        key = transaction_key(recorder.commands)
        payload, count = transaction_payload(recorder.commands), len(recorder.commands) + 2
        replicas = replicas if writes(recorder.commands) else 0
        if replicas:
            payload, count = payload + packed(*wait_words(replicas)), count + 1

        def talk(wire):
            replies = wire.exchange(payload, count)
            if replicas:
                check_replicated(replies.pop(), replicas, key, self._namespace)
            return transaction_result(replies)
        # ASKING would cover MULTI only: a transaction waits until the slot
        # has moved instead.
        return self.exchange(key, talk, True, asks=False)

    def run_many(self, key, script, calls):
        """The replies of `script` run once for each (keys, args) of `calls`,
        sent together to the node of `key`'s slot, which all their keys
        share; a call the cluster did not run (MOVED, ASK, TRYAGAIN...) goes
        again where and when it says, within the retry window. Returns
        (the replies, the positions of the calls that may or may not have
        run): a call whose request went with a lost connection, or that the
        cluster did not run in time, has the error for its reply."""
        replies = [None] * len(calls)
        pending = list(range(len(calls)))
        doubtful = set()

        def talk(wire):
            doubtful.update(pending)
            answers = wire.run_many(script, [calls[at] for at in pending])
            doubtful.clear()
            refused = [(at, reply) for at, reply in zip(pending, answers)
                       if isinstance(reply, ReplyError) and refusal(reply) is not None]
            for at, reply in zip(pending, answers):
                replies[at] = reply
            pending[:] = [at for at, _ in refused]
            if refused:
                raise refused[0][1]
        try:
            self.exchange(key, talk, False)
        except Exception as exc:
            for at in pending:
                replies[at] = exc
        return replies, doubtful

    def subscriber(self, channel):
        """The thread's subscription connection to the node of `channel`."""
        return self._line(Subscriber, self._map.owner(key_slot(channel)))

    def settle(self, tries, exc):
        self._after(tries, exc)

    def _after(self, tries, exc):
        pause, reread = self._next_step(tries, exc)
        if pause:
            time.sleep(pause)
        if reread:
            self.refresh()

    def refresh(self):
        """Reads the slot map from the first node that answers."""
        for address in self._map.candidates():
            try:
                self._map.load(self._line(Wire, address).command("CLUSTER", "SLOTS"), address)
                return
            except Exception:
                continue

    def close(self):
        for pool in self.pools():
            pool.disconnect()


class AsyncRoutes(RoutesBase):
    """The routing of the asyncio mirror; talk(pool, tries) is a coroutine
    function that sets tries.sent once its request is on its way."""

    async def exchange(self, key, talk, repeatable, asks=True):
        tries = self.tries(key, repeatable, asks)
        while True:
            try:
                return await talk(self.pool(self.node_of(tries)), tries)
            except Exception as exc:
                await self.settle(tries, exc)

    async def settle(self, tries, exc):
        pause, reread = self._next_step(tries, exc)
        if pause:
            await asyncio.sleep(pause)
        if reread:
            await self.refresh()

    async def refresh(self, command=None):
        for address in self._map.candidates():
            try:
                self._map.load(await self._slots_of(address), address)
                return
            except Exception:
                continue

    async def _slots_of(self, address):
        pool = self.pool(address)
        try:
            connection = await pool.get_connection()
        except TypeError:  # before redis-py 5.3
            connection = await pool.get_connection("CLUSTER")
        try:
            await connection.send_command("CLUSTER", "SLOTS")
            return await connection.read_response()
        finally:
            await pool.release(connection)

    async def close(self):
        for pool in self.pools():
            await pool.disconnect()


def check_replicas(replicas):
    if isinstance(replicas, bool) or not isinstance(replicas, int) or replicas < 0:
        raise ValueError("replicas must be a non-negative int")
    return replicas


def wait_words(replicas, seconds=REPLICA_WAIT):
    """The command that waits for `replicas` replicas to have the connection's writes."""
    # WAIT takes no time at all for no limit.
    return "WAIT", replicas, max(1, int(seconds * 1000))


def grant_wait(seconds_left):
    """How long a lock's grant waits for its replicas: within the operation's
    time left, but never so short that a lock taken with no time to spare is
    always let go again."""
    return max(SHORTEST_GRANT_WAIT, min(REPLICA_WAIT, seconds_left))


def check_replicated(confirmed, replicas, key, namespace):
    """Raises unless `confirmed` (WAIT's answer) reaches `replicas`."""
    if isinstance(confirmed, Exception):
        raise confirmed
    if confirmed < replicas:
        import redis
        try:
            name = object_name(key, namespace)
        except ValueError:
            name = key
        raise redis.ConnectionError(
            f"Only {confirmed} of the {replicas} replicas asked for confirmed the write to '{name}' within "
            f"{REPLICA_WAIT:g} seconds: it took effect but may not survive a failover.")


def check_grant_replicated(renewed, confirmed, replicas, name, seconds):
    """Raises unless the grant of a lock was still the holder's (`renewed`,
    the renewal's answer) once `confirmed` (WAIT's answer) replicas had it."""
    if isinstance(confirmed, Exception):
        raise confirmed
    import redis
    if renewed != 1:
        raise redis.ConnectionError(
            f"The grant of the lock of slot '{name}' was lost before {replicas} replicas confirmed it (a failover, "
            "or its lease ran out): the lock was not taken.")
    if confirmed < replicas:
        raise redis.ConnectionError(
            f"Only {confirmed} of the {replicas} replicas asked for confirmed the grant of the lock of slot "
            f"'{name}' within {seconds:.2g} seconds: the lock was let go, as a grant that may not survive a failover "
            "could hand out its fencing token twice.")
