"""The coroutine mirror of zelvane's Redis back end, through redis.asyncio:
the operations of zelvane._remote_core, their I/O awaited. A task plays the
part a thread plays in zelvane._remote: the lock a task holds is its own,
and cancelling a call gives it up as a timeout does."""
import asyncio
import contextvars
import inspect

from zelvane._remote_scripts import HEARTBEAT_EVERY, LOCK_RENEW_EVERY, SCRIPTS
from zelvane._remote_core import RemoteCore, MemoryHandleCore, HeldLockCore, FunctionHandleCore, ServerCore, renew
from zelvane import _remote_queue_core
from zelvane._remote_queues import AsyncRemoteQueueHandle
from zelvane._remote_terms import (public_url, check_timeout, check_create_function, check_serve, made, Reachable,
    raise_pool_lost, check_connect_arguments, import_redis)
from zelvane._remote_wire import Script, packed, script_command
from zelvane._aio_functions import check_concurrency
from zelvane._remote_cluster import (AsyncRoutes, REPEATABLE, REPEATABLE_THEN, READING, ACKNOWLEDGED, MOVES, Recorder,
    is_cluster, retrying_within, node_pool_maker, sharded, transaction_key, transaction_payload, transaction_result,
    check_replicas, wait_words, check_replicated, writes)

_ASKING = packed("ASKING")

# The locks the running task holds: name -> (handle, token, fencing token).
_HELD = contextvars.ContextVar("zelvane_remote_locks", default={})
# The names the running task serves.
_SERVING = contextvars.ContextVar("zelvane_remote_serving", default=frozenset())

ASYNC_NOT_PICKLED = ("Cannot pickle the asyncio client of Redis or its handles: a connection belongs to one event "
                     "loop. Connect in the receiving process with connect(url).")


class AsyncRemote(RemoteCore):
    """zelvane's slots and services on a Redis server, as coroutines; made
    by connect(url)."""

    def __new__(cls):
        raise TypeError("cannot create 'AsyncRemote' instances; use connect(url)")

    def _setup(self, client, url, namespace, replicas=0):
        self._client = client
        # Writes count once this many replicas have them.
        self._replicas = replicas
        self._url = url
        self._namespace = namespace
        # Whether the server is a node of a cluster is found out by the first
        # operation (or by awaiting the client), which connects.
        self._topology_known = False
        self._finding = None
        self._use_routes(None)
        self._leases = LeaseTasks(self)
        self._closed = False
        redis = import_redis("redis")
        self._response_error, self._no_script = redis.ResponseError, redis.exceptions.NoScriptError

    def _use_routes(self, routes):
        # On a cluster, the commands go to the node of each object's slot.
        self._routes = routes
        self._texts = {text: sharded(text) for text in SCRIPTS.values()} if routes else None
        self._packed = {name: Script(sharded(text) if routes else text) for name, text in SCRIPTS.items()}

    async def _find_topology(self):
        """Finds out once whether the server is a node of a cluster; the
        tasks that ask meanwhile wait for the one finding."""
        if self._finding is None:
            self._finding = asyncio.ensure_future(
                cluster_routes(import_redis("redis.asyncio"), self._client, self._namespace))
        try:
            with Reachable(self.url):
                routes = await asyncio.shield(self._finding)
        except BaseException:
            if self._finding.done():
                self._finding = None  # the next operation asks again
            raise
        if not self._topology_known:
            self._use_routes(routes)
            self._topology_known = True

    def __reduce__(self):
        raise TypeError(ASYNC_NOT_PICKLED)

    def _reopening(self, opener, name):
        raise TypeError(ASYNC_NOT_PICKLED)

    def __repr__(self):
        state = "closed" if self._closed else "open"
        return f"<zelvane async Remote {self.url!r} namespace={self.namespace!r} {state}>"

    def __await__(self):
        return self._reached().__await__()

    async def _reached(self):
        """The connection, once the server answered; closed when it does not."""
        try:
            with Reachable(self.url):
                await self._client.ping()
            await self._find_topology()
        except BaseException:
            await self.close()
            raise
        return self

    async def __aenter__(self):
        return self

    async def __aexit__(self, exc_type, exc_value, traceback):
        await self.close()

    async def close(self):
        """Lets go of the connections; the values and names stay on the server."""
        if not self._closed:
            self._closed = True
            self._leases.stop()
            closing = getattr(self._client, "aclose", None) or self._client.close
            await closing()
            if self._routes is not None:
                await self._routes.close()

    # -- the operations

    async def create_memory(self, name, prealloc_size=0, error_if_exists=False):
        """As Remote.create_memory, awaited."""
        return await self._drive(self._create_memory(name, prealloc_size, error_if_exists))

    async def remove_memory(self, name, throw_error=False):
        """As Remote.remove_memory, awaited."""
        return await self._drive(self._remove_memory(name, throw_error))

    async def read_memory(self, name, /):
        """As Remote.read_memory, awaited."""
        return await self._drive(self._read_memory(name))

    async def write_memory(self, name, value, create=True):
        """As Remote.write_memory, awaited."""
        return await self._drive(self._write_memory(name, value, create))

    async def open_memory(self, name, create=True, *, wait=None, temporary=False):
        """As Remote.open_memory, awaited: an AsyncRemoteMemoryHandle."""
        return await self._drive(self._open_memory(name, create, wait, temporary, AsyncRemoteMemoryHandle), wait)

    async def open_queue(self, name, maxsize=0, *, create=True, temporary=False):
        """A named queue (made unless create is false) with queue.Queue's
        methods as coroutines; maxsize bounds its items (0: no bound)."""
        return await self._drive(_remote_queue_core.open_queue(self, name, maxsize, create, temporary,
                                                               AsyncRemoteQueueHandle))

    async def create_function(self, name, func, /):
        """As Remote.create_function, awaited: serves func (a coroutine function too) until
        remove_function(name)."""
        check_create_function(name, func)
        await AsyncServer(self, name, func, "create").run()
        print("read", flush=True)

    async def serve(self, name, func, /, *, concurrency=16):
        """Serves func under name as `concurrency` servers of its pool, tasks
        of this loop; returns None once remove_function(name) stops the
        pool. Cancelled, or when one fails, these servers leave the pool."""
        check_serve(name, func)
        check_concurrency(concurrency)
        servers = [asyncio.ensure_future(AsyncServer(self, name, func, "serve").run()) for _ in range(concurrency)]
        try:
            done, _ = await asyncio.wait(servers, return_when=asyncio.FIRST_EXCEPTION)
        finally:
            for server in servers:
                server.cancel()
            await asyncio.gather(*servers, return_exceptions=True)
        for server in done:
            if server.exception() is not None:
                raise server.exception()

    async def remove_function(self, name, /):
        """As Remote.remove_function, awaited."""
        return await self._drive(self._remove_function(name))

    async def call_function(self, name, args, /):
        """As Remote.call_function, awaited."""
        return await self._drive(self._call_function(name, args))

    async def open_function(self, name, /, *, wait=None, servers=None):
        """As Remote.open_function, awaited: an AsyncRemoteFunctionHandle."""
        return await self._drive(self._open_function(name, wait, servers, AsyncRemoteFunctionHandle), wait)

    # -- the I/O of the operations

    async def _drive(self, operation, timeout=None):
        """Runs an operation of the core, awaiting the I/O it asks for; on a
        cluster, its requests try within `timeout` when it is given one."""
        if timeout is not None:
            with retrying_within(timeout):
                return await self._drive(operation)
        if not self._topology_known:
            try:
                await self._find_topology()
            except BaseException:
                operation.close()
                raise
        send, reply = operation.send, None
        try:
            while True:
                try:
                    what, *params = send(reply)
                except StopIteration as done:
                    return done.value
                try:
                    reply, send = await getattr(self, what)(*params), operation.send
                except BaseException as exc:
                    reply, send = exc, operation.throw
        finally:
            reply = None  # no cycle through the frames of an exception

    async def _run(self, script, keys, args):
        """The reply of a script: by its digest, whole when the server does not know it."""
        self._check_open()
        packed_script = self._packed[script]

        # A write counts once the replicas asked for have it.
        then = packed(*wait_words(self._replicas)) if self._replicas and script in ACKNOWLEDGED else b""

        async def talk(pool, tries):
            reply, *confirmed = await self._exchange(script_command(packed_script.by_digest, keys, args) + then,
                                                     1 + bool(then), pool, tries)
            if isinstance(reply, self._no_script):
                reply, *confirmed = await self._exchange(script_command(packed_script.by_text, keys, args) + then,
                                                         1 + bool(then), pool, tries)
            reply = answered(reply)
            if then and (not isinstance(reply, int) or reply >= 0):
                check_replicated(confirmed[0], self._replicas, keys[0], self._namespace)
            return reply
        return await self._on(keys[0], talk, script in REPEATABLE)

    async def _command(self, *words):
        self._check_open()
        payload, count = packed(*words), 1
        if self._replicas and words[0] in MOVES:
            # WAIT's count is the business of the write that follows.
            payload, count = payload + packed(*wait_words(self._replicas)), 2

        async def talk(pool, tries):
            return answered((await self._exchange(payload, count, pool, tries))[0])
        return await self._on(words[1], talk, words[0] in READING)

    async def _script_then(self, script, keys, args, *command):
        """A script and then a command in one round trip: both results. The
        script goes whole, so that a server that forgot it runs it all the
        same."""
        self._check_open()
        payload = script_command(self._packed[script].by_text, keys, args) + packed(*command)

        async def talk(pool, tries):
            return [answered(reply) for reply in await self._exchange(payload, 2, pool, tries)]
        return await self._on(keys[0], talk, script in REPEATABLE_THEN)

    async def _on(self, key, talk, repeatable, asks=True):
        """What talk(pool, tries) answers through the server's pool, or on a
        cluster through that of the node that serves `key`'s slot."""
        with Reachable(self.url):
            if self._routes is None:
                return await talk(self._client.connection_pool, None)
            return await self._routes.exchange(key, talk, repeatable, asks)

    async def _transaction(self, fill):
        self._check_open()
        if self._routes is None and not self._replicas:
            with Reachable(self.url):
                pipe = self._client.pipeline(transaction=True)
                fill(pipe)
                return await pipe.execute()
        recorder = Recorder(self._texts or {})
        fill(recorder)
        key = transaction_key(recorder.commands)
        payload, count = transaction_payload(recorder.commands), len(recorder.commands) + 2
        replicas = self._replicas if writes(recorder.commands) else 0
        if replicas:
            payload, count = payload + packed(*wait_words(replicas)), count + 1

        async def talk(pool, tries):
            replies = await self._exchange(payload, count, pool, tries)
            if replicas:
                check_replicated(replies.pop(), replicas, key, self._namespace)
            return transaction_result(replies)
        # ASKING would cover MULTI only: a transaction waits until the slot
        # has moved instead.
        return await self._on(transaction_key(recorder.commands), talk, True, asks=False)

    @staticmethod
    async def _sleep(seconds):
        await asyncio.sleep(seconds)

    @staticmethod
    async def _outcome(func, args, kwargs):
        try:
            result = func(*args, **kwargs)
            return (await result if inspect.isawaitable(result) else result), None
        except BaseException as exc:
            return None, exc

    @staticmethod
    async def _message(pubsub, timeout):
        message = await pubsub.get_message(timeout=timeout)
        if message is None:
            return None
        return [message["type"].encode(), message["channel"], message["data"]]

    async def _cleanup(self, operation):
        # Cleaning up after an operation that ran out of time takes its own.
        with retrying_within(None):
            return await asyncio.shield(self._drive(operation))

    async def _exchange(self, payload, count, pool, tries=None):
        """Sends `payload` on a connection of `pool` and reads `count`
        replies with redis-py's parser (error replies among them), past
        redis-py's command machinery, which costs more than the server's
        work. On a cluster, `tries` learns that the request went out, and
        tells whether it goes after ASKING."""
        connection = await _taken_from(pool)
        if tries is not None:
            tries.sent = True
            if tries.asking:
                payload, count = _ASKING + payload, count + 1
        try:
            await connection.send_packed_command(payload, check_health=False)
            replies = [await _reply(connection, self._response_error) for _ in range(count)]
            if any(_closes_the_connection(reply) for reply in replies):
                await _dropped(connection)
            return replies[1:] if tries is not None and tries.asking else replies
        except BaseException:
            # A reply left half read would be taken for the next command's.
            await _dropped(connection)
            raise
        finally:
            await pool.release(connection)

    # -- what each task holds and serves

    @staticmethod
    def _holdings():
        return _HELD.get()

    @staticmethod
    def _hold(name, handle, token, fence):
        _HELD.set({**_HELD.get(), name: (handle, token, fence)})

    @staticmethod
    def _let_go(name):
        held = dict(_HELD.get())
        held.pop(name, None)
        _HELD.set(held)

    @staticmethod
    def _serving_here():
        return _SERVING.get()


class LeaseTasks:
    """Renews the leases of the locks a connection's tasks hold, a task for each."""

    def __init__(self, remote):
        self._remote = remote
        self._tasks = {}

    def hold(self, lock_key, token, renewal=renew):
        if token not in self._tasks:
            self._tasks[token] = asyncio.ensure_future(self._renew(lock_key, token, renewal))

    def let_go(self, token):
        renewal = self._tasks.pop(token, None)
        if renewal is not None:
            renewal.cancel()

    def stop(self):
        for renewal in self._tasks.values():
            renewal.cancel()

    async def _renew(self, lock_key, token, renewal):
        while True:
            await asyncio.sleep(LOCK_RENEW_EVERY)
            try:
                await self._remote._drive(renewal(lock_key, token))
            except Exception:
                # Unreachable: the holder learns of it at its next access.
                pass


async def _taken_from(pool):
    """See zelvane._remote_wire.taken_from."""
    try:
        return await pool.get_connection()
    except TypeError:
        return await pool.get_connection("PING")


async def _dropped(connection):
    try:
        await connection.disconnect(nowait=True)
    except TypeError:
        # Older redis-py waits for the close, within its connect timeout.
        await connection.disconnect()


async def _reply(connection, response_error):
    try:
        return await connection.read_response()
    except response_error as exc:
        return exc


def _closes_the_connection(reply):
    """Whether the server closes the connection after `reply` (a request it
    cannot read, such as a value over its proto-max-bulk-len)."""
    return isinstance(reply, Exception) and str(reply).startswith("Protocol error")


def answered(reply):
    if isinstance(reply, Exception):
        raise reply
    return reply


class AsyncRemoteMemoryHandle(MemoryHandleCore):
    """A slot on a Redis server, opened by AsyncRemote.open_memory(name)."""

    _kind = "async remote memory handle"
    _temporary = None

    def __new__(cls):
        raise TypeError("cannot create 'AsyncRemoteMemoryHandle' instances; use AsyncRemote.open_memory()")

    async def __aenter__(self):
        return self

    async def __aexit__(self, exc_type, exc_value, traceback):
        await self.aclose()

    def close(self):
        """Closes the handle; a temporary slot's hold lapses after its lease
        (aclose() lets go at once)."""
        super().close()
        if self._temporary is not None:
            self._temporary.stop()

    async def aclose(self):
        """Closes the handle; a temporary slot's last holder removes it."""
        held, self._temporary = self._temporary, None
        self.close()
        if held is not None:
            await asyncio.shield(self._remote._drive(held.leave()))

    @property
    def version(self):
        """The count of completed writes to the slot when this handle last
        saw it (opening, read, write, update, lock and wait each look): a
        property does no I/O on the loop."""
        self._check_open()
        return self._seen

    @property
    def token(self):
        """Inside this task's lock() block of the handle: the fencing token
        of the block's grant of the lock, a number that grows with every grant."""
        return self._fencing_token("task")

    async def read(self):
        """The stored value, as MemoryHandle.read(), awaited."""
        return await self._remote._drive(self._read())

    async def write(self, value, /):
        """Stores value in the slot and returns True, awaited."""
        return await self._remote._drive(self._write(value))

    async def update(self, func, /, *, timeout=None):
        """Replaces the value with func(value) (awaited when it gives an
        awaitable) under the slot's lock; returns it."""
        return await self._remote._drive(self._update(func, timeout), timeout)

    def lock(self, timeout=None):
        """The slot's lock for `async with`; timeout (seconds) bounds the wait for it (TimeoutError)."""
        self._check_open()
        return AsyncHeldLock(self, check_timeout(timeout))

    async def wait(self, since=None, timeout=None):
        """Waits until the slot's version differs from since (None: the one this handle last saw) and
        returns the new version; TimeoutError after timeout seconds."""
        since, deadline = self._watched_from(since, timeout)
        with retrying_within(timeout):
            self._seen = await self._changed_from(since, deadline)
        return self._seen

    async def _changed_from(self, since, deadline):
        """Waits for the version to change through the slot's channel; on a
        cluster, subscribes again where the slot went, as long as the wait
        lasts."""
        remote = self._remote
        routes = remote._routes
        if routes is None:
            return await self._changed_on(remote._client, "subscribe", since, deadline)
        channel = remote._keys(self._name).channel
        tries = routes.tries(channel, True)
        redis_asyncio = import_redis("redis.asyncio")
        while True:
            node = redis_asyncio.Redis(connection_pool=routes.pool(routes.node_of(tries)))
            try:
                return await self._changed_on(node, "ssubscribe", since, deadline)
            except Exception as exc:
                # Raised again unless the cluster is moving the slot or failing over.
                self._check_wait_time(deadline)
                await routes.settle(tries, exc)

    async def _changed_on(self, client, subscribe, since, deadline):
        remote = self._remote
        channel = remote._keys(self._name).channel
        with Reachable(remote.url):
            pubsub = client.pubsub()
            try:
                await getattr(pubsub, subscribe)(channel)
                await remote._drive(self._confirmation(pubsub, channel.encode(), deadline))
                return await remote._drive(self._listen(pubsub, channel.encode(), since, deadline))
            finally:
                closing = getattr(pubsub, "aclose", None) or pubsub.close
                await closing()


class AsyncHeldLock(HeldLockCore):
    """A slot's lock for an async with block."""

    async def __aenter__(self):
        return await self._handle._remote._drive(self._take(), self._timeout)

    async def __aexit__(self, exc_type, exc_value, traceback):
        await asyncio.shield(self._handle._remote._drive(self._let_go()))
        return False


class AsyncRemoteFunctionHandle(FunctionHandleCore):
    """A served function on a Redis server, opened by AsyncRemote.open_function(name)."""

    _kind = "async remote function handle"

    def __new__(cls):
        raise TypeError("cannot create 'AsyncRemoteFunctionHandle' instances; use AsyncRemote.open_function(name)")

    async def __aenter__(self):
        return self

    async def __aexit__(self, exc_type, exc_value, traceback):
        self.close()

    @property
    def servers(self):
        """The number of live servers of the function when this handle was
        opened: a property does no I/O on the loop."""
        if self._closed:
            raise ValueError("I/O operation on a closed function handle.")
        return self._servers_seen

    async def __call__(self, *args, timeout=None, **kwargs):
        return await self._remote._drive(self._call(args, kwargs, timeout), timeout)


class AsyncServer(ServerCore):
    """One server of a name's pool, as a task; the function may be a
    coroutine function; calls are answered one at a time."""

    def __init__(self, remote, name, func, kind):
        super().__init__(remote, name, func, kind)
        self._stopped = asyncio.Event()

    async def run(self):
        drive = self._remote._drive
        await drive(self._join())
        beat = asyncio.ensure_future(self._keep_beating())
        serving = _SERVING.set(_SERVING.get() | {self._name})
        try:
            await drive(self._serve_calls())
        finally:
            _SERVING.reset(serving)
            beat.cancel()
            await asyncio.shield(drive(self._leave()))
        if self._lost:
            raise_pool_lost(self._remote.url, self._name)

    async def _keep_beating(self):
        while True:
            await asyncio.sleep(HEARTBEAT_EVERY)
            await self._remote._drive(self._beat())


def connect(url, /, *, namespace="zelvane", replicas=0):
    """An AsyncRemote on the Redis server at url, returned at once as
    redis.asyncio.from_url returns its client: the first operation connects
    (ConnectionError when the server cannot be reached) and finds out
    whether the server is a node of a cluster. Awaiting it connects at once."""
    check_connect_arguments(url, namespace)
    check_replicas(replicas)
    redis_asyncio = import_redis("redis.asyncio")
    shown = public_url(url)
    with Reachable(shown):
        client = redis_asyncio.Redis.from_url(url)
    return made(AsyncRemote, client, shown, namespace, replicas)


async def cluster_routes(redis_asyncio, client, namespace):
    """The routes to the nodes of the cluster `client` is a node of, or
    None for a server on its own."""
    try:
        info = await client.info("cluster")
    except redis_asyncio.ResponseError:
        return None  # a server that keeps INFO to itself runs on its own
    if not is_cluster(info):
        return None
    kwargs = client.connection_pool.connection_kwargs
    routes = AsyncRoutes(node_pool_maker(redis_asyncio.ConnectionPool, client.connection_pool, "redis.asyncio.retry"),
                         (kwargs["host"], int(kwargs["port"])), namespace)
    await routes.refresh()
    return routes


__all__ = ["connect", "AsyncRemote", "AsyncRemoteMemoryHandle", "AsyncRemoteFunctionHandle", "AsyncRemoteQueueHandle"]
