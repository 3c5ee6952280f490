"""zelvane's slots and services over Redis (or Valkey), for programs that run
on several hosts. Values travel in zelvane's own encoding.

The operations are in _remote_core, which this mirror runs with blocking
I/O; the key layout and the scripts are in _remote_scripts; the argument
checks, requests and replies in _remote_terms. redis-py is imported only by
connect().
"""
import os
import threading
import time
import weakref

from zelvane._remote_scripts import HEARTBEAT_EVERY, LOCK_RENEW_EVERY, SCRIPTS
from zelvane import _remote_pickle
from zelvane._remote_core import RemoteCore, MemoryHandleCore, HeldLockCore, FunctionHandleCore, ServerCore, renew
from zelvane import _remote_queue_core
from zelvane._remote_queues import RemoteQueueHandle
from zelvane._remote_executor import RemoteExecutor
from zelvane._executor import shared_executor
from zelvane._remote_terms import (public_url, has_credentials, check_timeout, check_create_function, check_serve,
    made, Reachable, raise_pool_lost, check_connect_arguments, import_redis)
from zelvane._remote_wire import Lines, Script, Subscriber, Wire, answer, packed
from zelvane._remote_cluster import (Routes, REPEATABLE, REPEATABLE_THEN, READING, ACKNOWLEDGED, MOVES, is_cluster,
    node_pool_maker, retrying_within, sharded, check_replicas, wait_words, check_replicated, Recorder, transaction_key,
    transaction_payload, transaction_result, writes)


class Remote(RemoteCore):
    """zelvane's slots and services on a Redis server; made by zelvane.connect(url)."""

    def __new__(cls):
        raise TypeError("cannot create 'zelvane.Remote' instances; use zelvane.connect(url)")

    def _setup(self, client, url, namespace, credentials=False, routes=None, replicas=0):
        self._client = client
        # Writes count once this many replicas have them.
        self._replicas = replicas
        self._url = url
        self._namespace = namespace
        self._credentials = credentials
        # On a cluster, the commands go to the node of each object's slot.
        self._routes = routes
        self._texts = {text: sharded(text) for text in SCRIPTS.values()} if routes else None
        self._packed = {name: Script(sharded(text) if routes else text) for name, text in SCRIPTS.items()}
        self._wires = Lines(Wire, client.connection_pool)
        self._subscribers = Lines(Subscriber, client.connection_pool)
        self._held = threading.local()
        self._leases = LeaseKeeper(self)
        self._executors = {}  # those of RemoteFunctionHandle.submit, by name
        self._closed = False

    def __repr__(self):
        state = "closed" if self._closed else "open"
        return f"<zelvane.Remote {self.url!r} namespace={self.namespace!r} {state}>"

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, trace, /):
        self.close()

    def __reduce__(self):
        return _remote_pickle.reconnect, self._pickled_as()

    def _pickled_as(self):
        """What a pickle of this connection holds: the URL and namespace."""
        if self._closed:
            raise ValueError("Cannot pickle a closed zelvane.Remote.")
        if self._credentials:
            raise TypeError(_remote_pickle.CREDENTIALS_REFUSED)
        return self._url, self._namespace, self._replicas

    def _reopening(self, opener, name):
        """What pickle makes of a handle: the call that opens `name` again
        through `opener` on a connection of the receiving process's own."""
        return _remote_pickle.reopen, (*self._pickled_as(), opener, name)

    def close(self):
        """Lets go of the connections; the values and names stay on the server."""
        if not self._closed:
            self._closed = True
            self._leases.stop()
            self._client.close()
            if self._routes is not None:
                self._routes.close()

    # -- the operations

    def create_memory(self, name, prealloc_size=0, error_if_exists=False):
        """As zelvane.create_memory, on the Redis server: creates an empty slot; False when the name exists
        (or, with error_if_exists, raises)."""
        return self._drive(self._create_memory(name, prealloc_size, error_if_exists))

    def remove_memory(self, name, throw_error=False):
        """As zelvane.remove_memory: removes the slot name; False when there is none (or, with
        throw_error, raises)."""
        return self._drive(self._remove_memory(name, throw_error))

    def read_memory(self, name, /):
        """As zelvane.read_memory: the value stored under name (None for a slot never written and created
        without a size); MemoryError when there is no such slot."""
        return self._drive(self._read_memory(name))

    def write_memory(self, name, value, create=True):
        """As zelvane.write_memory: stores value under name (making the slot unless create is false);
        returns True."""
        return self._drive(self._write_memory(name, value, create))

    def open_memory(self, name, create=True, *, wait=None, temporary=False):
        """As zelvane.open_memory: a RemoteMemoryHandle of the slot name (made unless create is false;
        then wait, in seconds, is how long to wait for it to appear)."""
        return self._drive(self._open_memory(name, create, wait, temporary, RemoteMemoryHandle), wait)

    def open_queue(self, name, maxsize=0, *, create=True, temporary=False):
        """A named queue (made unless create is false) with the methods of
        queue.Queue; maxsize bounds its items (0: no bound)."""
        return self._drive(_remote_queue_core.open_queue(self, name, maxsize, create, temporary, RemoteQueueHandle))

    def create_function(self, name, func, /):
        """As zelvane.create_function: serves func under name, one call at a time, until
        remove_function(name); then writes the line "read" to standard output and returns None."""
        check_create_function(name, func)
        Server(self, name, func, "create").run()
        print("read", flush=True)

    def serve(self, name, func, /):
        """As zelvane.serve: serves func under name as one server of a pool; returns None once
        remove_function(name) stops the pool. An exception raised by func goes back to its caller."""
        check_serve(name, func)
        Server(self, name, func, "serve").run()

    def remove_function(self, name, /):
        """As zelvane.remove_function: asks every server of name to stop; False when nothing serves it."""
        return self._drive(self._remove_function(name))

    def call_function(self, name, args, /):
        """As zelvane.call_function: calls the function served under name with the tuple args and
        returns its result."""
        return self._drive(self._call_function(name, args))

    def open_function(self, name, /, *, wait=None, servers=None):
        """As zelvane.open_function: a RemoteFunctionHandle of the function served under name (waiting
        up to wait seconds for it to be served, or for `servers` live servers)."""
        return self._drive(self._open_function(name, wait, servers, RemoteFunctionHandle), wait)

    def Executor(self, name, *, max_in_flight=None):
        """A zelvane.Executor of the function served under `name` here."""
        return RemoteExecutor(self, name, max_in_flight)

    # -- the I/O of the operations

    def _drive(self, operation, timeout=None):
        """Runs an operation of the core, doing the I/O it asks for; on a
        cluster, its requests try within `timeout` when it is given one."""
        if timeout is not None:
            with retrying_within(timeout):
                return self._drive(operation)
        send, reply = operation.send, None
        try:
            while True:
                try:
                    what, *params = send(reply)
                except StopIteration as done:
                    return done.value
                try:
                    reply, send = getattr(self, what)(*params), operation.send
                except BaseException as exc:
                    reply, send = exc, operation.throw
        finally:
            reply = None  # no cycle through the frames of an exception

    def _run(self, script, keys, args):
        self._check_open()
        packed_script = self._packed[script]
        if self._replicas and script in ACKNOWLEDGED:
            return self._on(keys[0], lambda wire: self._replicated(
                keys[0], wire.run_then(packed_script, keys, args, *wait_words(self._replicas))), script in REPEATABLE)
        return self._on(keys[0], lambda wire: wire.run(packed_script, keys, args), script in REPEATABLE)

    def _replicated(self, key, replies):
        """A write's reply, once the replicas asked for have it."""
        reply, confirmed = replies
        if not isinstance(reply, int) or reply >= 0:
            check_replicated(confirmed, self._replicas, key, self._namespace)
        return reply

    def _command(self, *words):
        self._check_open()
        if self._replicas and words[0] in MOVES:
            # WAIT's count is the business of the write that follows.
            payload = packed(*words) + packed(*wait_words(self._replicas))
            return self._on(words[1], lambda wire: answer(wire.exchange(payload, 2)[0]), False)
        return self._on(words[1], lambda wire: wire.command(*words), words[0] in READING)

    def _script_then(self, script, keys, args, *command):
        self._check_open()
        packed_script = self._packed[script]
        return self._on(keys[0], lambda wire: wire.run_then(packed_script, keys, args, *command),
                        script in REPEATABLE_THEN)

    def _on(self, key, talk, repeatable):
        """What talk(wire) answers on the thread's wire to the server, or on
        a cluster to the node that serves `key`'s slot."""
        with self._reachable():
            if self._routes is None:
                return talk(self._wires.get())
            return self._routes.exchange(key, talk, repeatable)

    def _transaction(self, fill):
        self._check_open()
        with self._reachable():
            if self._routes is not None:
                return self._routes.transaction(fill, self._texts, self._replicas)
            if self._replicas:
                recorder = Recorder({})
                fill(recorder)
                key, commands = transaction_key(recorder.commands), recorder.commands
                if not writes(commands):
                    return transaction_result(self._wires.get().exchange(transaction_payload(commands),
                                                                         len(commands) + 2))
                payload = transaction_payload(commands) + packed(*wait_words(self._replicas))
                return self._replicated_transaction(key, self._wires.get().exchange(payload, len(commands) + 3))
            pipe = self._client.pipeline(transaction=True)
            fill(pipe)
            return pipe.execute()

    def _replicated_transaction(self, key, replies):
        """EXEC's replies, once the replicas asked for have the transaction."""
        *replies, confirmed = replies
        result = transaction_result(replies)
        check_replicated(confirmed, self._replicas, key, self._namespace)
        return result

    @staticmethod
    def _sleep(seconds):
        time.sleep(seconds)

    @staticmethod
    def _outcome(func, args, kwargs):
        try:
            return func(*args, **kwargs), None
        except BaseException as exc:
            return None, exc

    @staticmethod
    def _message(subscriber, timeout):
        return subscriber.next_reply(timeout)

    def _cleanup(self, operation):
        # Cleaning up after an operation that ran out of time takes its own.
        with retrying_within(None):
            return self._drive(operation)

    def _reachable(self):
        return Reachable(self.url)

    # -- what each thread holds and serves

    def _holdings(self):
        held = getattr(self._held, "names", None)
        if held is None:
            held = self._held.names = {}
        return held

    def _hold(self, name, handle, token, fence):
        self._holdings()[name] = (handle, token, fence)

    def _let_go(self, name):
        self._holdings().pop(name, None)

    def _serving_here(self):
        serving = getattr(self._held, "serving", None)
        if serving is None:
            serving = self._held.serving = set()
        return serving


class LeaseKeeper:
    """Renews the leases of the locks this process holds, from one thread."""

    def __init__(self, remote):
        self._remote = remote
        self._stopping = threading.Event()
        self._start_afresh()
        _keepers.add(self)

    def _start_afresh(self):
        self._leases = {}
        self._guard = threading.Lock()
        self._thread = None

    def _after_fork(self):
        """A forked child starts with no leases (its parent renews its own)
        and no thread (its copy of the parent's does not run, and may have
        left the guard or the event's lock taken)."""
        stopping, self._stopping = self._stopping, threading.Event()
        if stopping.is_set():
            self._stopping.set()
        self._start_afresh()

    def hold(self, lock_key, token, renewal=renew):
        with self._guard:
            self._leases[token] = (lock_key, renewal)
            if self._thread is None:
                self._thread = threading.Thread(target=self._renew_all, name="zelvane-lock-leases", daemon=True)
                self._thread.start()

    def let_go(self, token):
        with self._guard:
            self._leases.pop(token, None)

    def stop(self):
        self._stopping.set()

    def _renew_all(self):
        while not self._stopping.wait(LOCK_RENEW_EVERY):
            with self._guard:
                leases = list(self._leases.items())
            for token, (lock_key, renewal) in leases:
                try:
                    self._remote._drive(renewal(lock_key, token))
                except Exception:
                    # An unreachable server: the holder learns of it at its
                    # next access, and the lease runs out meanwhile.
                    pass


_keepers = weakref.WeakSet()


def _keepers_after_fork():
    for keeper in list(_keepers):
        keeper._after_fork()


os.register_at_fork(after_in_child=_keepers_after_fork)


class RemoteMemoryHandle(MemoryHandleCore):
    """A slot on a Redis server, opened by Remote.open_memory(name)."""

    _kind = "remote memory handle"
    _opener = "open_memory"
    _temporary = None

    def __new__(cls):
        raise TypeError("cannot create 'zelvane.RemoteMemoryHandle' instances; use Remote.open_memory()")

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, trace, /):
        self.close()

    def close(self):
        """Lets go of the slot; it stays (a temporary slot's last holder removes it)."""
        if not self._closed:
            super().close()
            if self._temporary is not None:
                self._remote._drive(self._temporary.leave())

    @property
    def version(self):
        """The count of completed writes to the slot (one round trip to the server)."""
        return self._remote._drive(self._version())

    @property
    def token(self):
        """Inside this thread's lock() block of the handle: the fencing token
        of the block's grant of the lock, a number that grows with every grant."""
        return self._fencing_token("thread")

    def read(self):
        """The stored value, as MemoryHandle.read()."""
        return self._remote._drive(self._read())

    def write(self, value, /):
        """Stores value in the slot and returns True."""
        return self._remote._drive(self._write(value))

    def update(self, func, /, *, timeout=None):
        """Replaces the value with func(value) under the slot's lock and returns it (func gets None for
        a slot never written); timeout (seconds) bounds the wait for the lock (TimeoutError)."""
        return self._remote._drive(self._update(func, timeout), timeout)

    def lock(self, timeout=None):
        """A context manager that holds the slot's lock (a lease that this process renews while it
        lives); timeout (seconds) bounds the wait for it (TimeoutError)."""
        self._check_open()
        return HeldLock(self, check_timeout(timeout))

    def wait(self, since=None, timeout=None):
        """Blocks until the slot's version differs from since (None: the one this handle last saw) and
        returns the new version; TimeoutError after timeout seconds."""
        since, deadline = self._watched_from(since, timeout)
        with retrying_within(timeout):
            self._seen = self._changed_from(since, deadline)
        return self._seen

    def _changed_from(self, since, deadline):
        """Waits for the version to change through the slot's pub/sub
        channel, on the thread's subscription connection; on a cluster,
        subscribes again where the slot went, as long as the wait lasts."""
        remote = self._remote
        routes = remote._routes
        if routes is None:
            return self._changed_on(remote._subscribers.get(), "SUBSCRIBE", "UNSUBSCRIBE", since, deadline)
        channel = remote._keys(self._name).channel
        tries = routes.tries(channel, True)
        while True:
            try:
                with remote._reachable():
                    return self._changed_on(routes.subscriber(channel), "SSUBSCRIBE", "SUNSUBSCRIBE", since,
                                            deadline)
            except Exception as exc:
                # Raised again unless the cluster is moving the slot or failing over.
                self._check_wait_time(deadline)
                routes.settle(tries, exc)

    def _changed_on(self, subscriber, subscribe, unsubscribe, since, deadline):
        remote = self._remote
        channel = remote._keys(self._name).channel
        confirmed = False
        with remote._reachable():
            subscriber.send(subscribe, channel)
            try:
                remote._drive(self._confirmation(subscriber, channel.encode(), deadline))
                confirmed = True
                return remote._drive(self._listen(subscriber, channel.encode(), since, deadline))
            finally:
                # Unconfirmed, the subscription's confirmation could be taken
                # for the next one's.
                if confirmed:
                    subscriber.unsubscribe(unsubscribe, channel)
                else:
                    subscriber.drop()


class HeldLock(HeldLockCore):
    """A slot's lock for a with block."""

    def __enter__(self):
        return self._handle._remote._drive(self._take(), self._timeout)

    def __exit__(self, *exc_info):
        self._handle._remote._drive(self._let_go())
        return False


class RemoteFunctionHandle(FunctionHandleCore):
    """A served function on a Redis server, opened by Remote.open_function(name)."""

    _kind = "remote function handle"
    _opener = "open_function"

    def __new__(cls):
        raise TypeError("cannot create 'zelvane.RemoteFunctionHandle' instances; use Remote.open_function(name)")

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, trace, /):
        self.close()

    @property
    def servers(self):
        """The number of live servers of the function."""
        return self._remote._drive(self._servers())

    def __call__(self, *args, timeout=None, **kwargs):
        return self._remote._drive(self._call(args, kwargs, timeout), timeout)

    def submit(self, *args, **kwargs):
        """The call as a Future, returned at once: Remote.Executor(name).submit(),
        through one executor per name in this process."""
        remote = self._remote
        executor = shared_executor(remote._executors, self, lambda: RemoteExecutor(remote, self._name))
        return executor.submit(*args, **kwargs)


class Server(ServerCore):
    """One server of a name's pool: takes calls from the pool's queue one at
    a time, while a thread of its own keeps its heartbeat."""

    # The answer to a call and the take of the next share a round trip.
    takes_with_reply = True

    def __init__(self, remote, name, func, kind):
        super().__init__(remote, name, func, kind)
        self._stopped = threading.Event()
        # A reply waits for its replicas before the next call is taken.
        self.takes_with_reply = not remote._replicas

    def run(self):
        drive = self._remote._drive
        drive(self._join())
        beat = threading.Thread(target=self._keep_beating, name=f"zelvane-heartbeat-{self._name}", daemon=True)
        beat.start()
        serving = self._remote._serving_here()
        serving.add(self._name)
        try:
            drive(self._serve_calls())
        finally:
            serving.discard(self._name)
            self._stopped.set()
            drive(self._leave())
        if self._lost:
            raise_pool_lost(self._remote.url, self._name)

    def _keep_beating(self):
        while not self._stopped.wait(HEARTBEAT_EVERY):
            self._remote._drive(self._beat())


def connect(url, /, *, namespace="zelvane", replicas=0):
    """A Remote on the Redis server at url; ConnectionError when it cannot be reached."""
    check_connect_arguments(url, namespace)
    check_replicas(replicas)
    redis = import_redis("redis")
    shown = public_url(url)
    with Reachable(shown):
        client = redis.Redis.from_url(url)
        try:
            client.ping()
            routes = cluster_routes(redis, client, namespace)
        except BaseException:
            client.close()
            raise
    return made(Remote, client, shown, namespace, has_credentials(url), routes, replicas)


def cluster_routes(redis, client, namespace):
    """The routes to the nodes of the cluster `client` is a node of, or
    None for a server on its own."""
    try:
        info = client.info("cluster")
    except redis.ResponseError:
        return None  # a server that keeps INFO to itself runs on its own
    if not is_cluster(info):
        return None
    kwargs = client.connection_pool.connection_kwargs
    seed = (kwargs["host"], int(kwargs["port"]))
    return Routes(node_pool_maker(redis.ConnectionPool, client.connection_pool), seed, namespace)


__all__ = ["connect", "Remote", "RemoteMemoryHandle", "RemoteFunctionHandle", "RemoteQueueHandle"]
