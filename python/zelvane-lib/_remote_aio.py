"""The coroutine mirror of zelvane's Redis back end, through redis.asyncio:
the keys, scripts and outcomes of zelvane._remote, awaited. A task plays
the part a thread plays there: the lock a task holds is its own, and
cancelling a call gives it up as a timeout does."""
import asyncio
import contextvars
import inspect
import uuid

import zelvane
from zelvane import _remote as base
from zelvane._remote_terms import NamedHandle
from zelvane._remote_wire import Script, packed, script_command

# The locks the running task holds: name -> (handle, token).
_HELD = contextvars.ContextVar("zelvane_remote_locks", default={})
# The names the running task serves.
_SERVING = contextvars.ContextVar("zelvane_remote_serving", default=frozenset())


def _hold(name, handle, token):
    _HELD.set({**_HELD.get(), name: (handle, token)})


def _let_go(name):
    held = dict(_HELD.get())
    held.pop(name, None)
    _HELD.set(held)


def _check_not_held(name):
    if name in _HELD.get():
        raise RuntimeError(f"The lock of slot '{name}' is already held by this thread.")


ASYNC_NOT_PICKLED = ("Cannot pickle the asyncio client of Redis or its handles: a connection belongs to one event "
                     "loop. Connect in the receiving process with connect(url).")


class AsyncRemote:
    """zelvane's slots and services on a Redis server, as coroutines; made
    by connect(url)."""

    def __new__(cls):
        raise TypeError("cannot create 'AsyncRemote' instances; use connect(url)")

    def _setup(self, client, url, namespace):
        self._client = client
        self._url = url
        self._namespace = namespace
        self._packed = {name: Script(text) for name, text in base.SCRIPTS.items()}
        self._leases = {}
        self._closed = False
        redis = base.import_redis("redis")
        self._response_error, self._no_script = redis.ResponseError, redis.exceptions.NoScriptError

    def __reduce__(self):
        raise TypeError(ASYNC_NOT_PICKLED)

    def _reopening(self, opener, name):
        raise TypeError(ASYNC_NOT_PICKLED)

    url = property(lambda self: self._url, doc="The server's URL without its credentials.")
    namespace = property(lambda self: self._namespace)
    closed = property(lambda self: self._closed)

    def __repr__(self):
        state = "closed" if self._closed else "open"
        return f"<zelvane async Remote {self.url!r} namespace={self.namespace!r} {state}>"

    async def __aenter__(self):
        return self

    async def __aexit__(self, exc_type, exc_value, trace, /):
        await self.close()

    async def close(self):
        """Lets go of the connections; the values and names stay on the server."""
        if not self._closed:
            self._closed = True
            for renewal in self._leases.values():
                renewal.cancel()
            closing = getattr(self._client, "aclose", None) or self._client.close
            await closing()

    # -- what every operation shares

    def _check_open(self):
        if self._closed:
            raise ValueError("I/O operation on a closed connection to Redis.")

    async def _run(self, script, keys, args=()):
        """The reply of a script: by its digest, whole when the server does not know it."""
        self._check_open()
        packed_script = self._packed[script]
        with base.Reachable(self.url):
            (reply,) = await self._exchange(script_command(packed_script.by_digest, keys, args), 1)
            if isinstance(reply, self._no_script):
                (reply,) = await self._exchange(script_command(packed_script.by_text, keys, args), 1)
            return answered(reply)

    async def _command(self, *words):
        self._check_open()
        with base.Reachable(self.url):
            return answered((await self._exchange(packed(*words), 1))[0])

    async def _script_then(self, script, keys, args, *command):
        """A script and then a command in one round trip: both results. The
        script goes whole, so that a server that forgot it runs it all the
        same."""
        self._check_open()
        with base.Reachable(self.url):
            payload = script_command(self._packed[script].by_text, keys, args) + packed(*command)
            return [answered(reply) for reply in await self._exchange(payload, 2)]

    async def _exchange(self, payload, count):
        """Sends `payload` on a connection of the pool and reads `count`
        replies with redis-py's parser (error replies among them), past
        redis-py's command machinery, which costs more than the server's work."""
        pool = self._client.connection_pool
        connection = await _taken_from(pool)
        try:
            await connection.send_packed_command(payload, check_health=False)
            replies = [await _reply(connection, self._response_error) for _ in range(count)]
            if any(_closes_the_connection(reply) for reply in replies):
                await _dropped(connection)
            return replies
        except BaseException:
            # A reply left half read would be taken for the next command's.
            await _dropped(connection)
            raise
        finally:
            await pool.release(connection)

    def _keys(self, name):
        return base.keys_of(self.namespace, name)

    # -- slots

    async def create_memory(self, name, prealloc_size=0, error_if_exists=False):
        base.check_create_memory(name, prealloc_size, error_if_exists)
        keys = self._keys(name)
        if await self._run("create", [keys.slot, keys.fn], ["1" if prealloc_size else "0"]):
            return True
        if error_if_exists:
            raise MemoryError(f"The memory address '{name}' already exists.")
        return False

    async def remove_memory(self, name, throw_error=False):
        base.check_remove_memory(name, throw_error)
        keys = self._keys(name)
        if await self._run("remove", [keys.slot, keys.fn, keys.lock, keys.val]):
            return True
        if throw_error:
            raise MemoryError("Failed to unlink the shared memory.")
        return False

    async def read_memory(self, name, /):
        base.check_name(name, "Expected 1 'str' type.")
        _check_not_held(name)
        return (await self._read(name, ""))[0]

    async def write_memory(self, name, value, create=True):
        base.check_write_memory(name, create)
        _check_not_held(name)
        await self._write(name, zelvane.dumps(value), create, "")
        return True

    async def open_memory(self, name, create=True):
        base.check_name(name, "Expected at least the name (str) argument.")
        keys = self._keys(name)
        if create:
            await self._run("create", [keys.slot, keys.fn], ["0"])
        return base.made(AsyncRemoteMemoryHandle, self, name, await self._version(name))

    async def _version(self, name):
        version = await self._command("HGET", self._keys(name).slot, "ver")
        if version is None:
            if await self._command("EXISTS", self._keys(name).fn):
                raise MemoryError(f"The name '{name}' holds a function, not a value slot.")
            raise MemoryError(base.MISSING_SLOT.format(name))
        return int(version)

    async def _read(self, name, token):
        keys = self._keys(name)
        found = await self._run("read", *base.read_request(keys, token, str(base.INLINE_VALUE)))
        if base.is_left_out(found):
            found = await self._read_whole(keys, token)
        if found == -2:
            token, found = await self._lock(name, None, True)
            await self._unlock(name, token)
        data, reserved, version = base.stored(name, found)
        return base.read_value(data, reserved), version

    async def _write(self, name, data, create, token, release=False):
        version = await self._run_write(name, data, create, token, release)
        if version == -2:
            token, _ = await self._lock(name, None, False)
            version = await self._write_and_let_go(name, data, create, token)
        if version < 0:
            base.raise_write_failed(name, version)
        return version

    async def _write_and_let_go(self, name, data, create, token):
        """See zelvane._remote.Remote._write_and_let_go."""
        self._stop_renewing(token)
        try:
            version = await self._run_write(name, data, create, token, True)
        except BaseException:
            await asyncio.shield(self._unlock_quietly(name, token))
            raise
        if version < 0:
            await self._unlock(name, token)
        return version

    async def _unlock_quietly(self, name, token):
        try:
            await self._unlock(name, token)
        except Exception:
            pass

    async def _read_whole(self, keys, token):
        script_keys, args = base.read_request(keys, token, "0")
        self._check_open()
        with base.Reachable(self.url):
            pipe = self._client.pipeline(transaction=True)
            base.queue_script(pipe, "read", script_keys, args)
            pipe.get(keys.val)
            found, value = await pipe.execute()
        if isinstance(found, list):
            found[0] = value
        return found

    async def _run_write(self, name, data, create, token, release):
        keys = self._keys(name)
        stage = keys.stage() if len(data) > base.INLINE_VALUE else None
        script_keys, args = base.write_request(keys, data, create, token, release, stage)
        if stage is None:
            return await self._run("write", script_keys, args)
        self._check_open()
        with base.Reachable(self.url):
            pipe = self._client.pipeline(transaction=True)
            pipe.set(stage, data, px=base.seconds_ms(base.STAGE_TTL))
            base.queue_script(pipe, "write", script_keys, args)
            return (await pipe.execute())[1]

    # -- the lock

    async def _lock(self, name, deadline, with_value):
        keys = self._keys(name)
        token = uuid.uuid4().hex
        entry = ("1" if with_value else "0") + token
        found, woken = await self._lock_or_queue(keys, token, entry, deadline, with_value)
        if found in (-1, -3):
            base.stored(name, found)
        self._leases[token] = asyncio.ensure_future(self._renew(keys.lock, token))
        try:
            if found == 0:
                found = await self._await_handoff(name, token, entry, deadline, woken)
                if found is None and with_value:
                    found = await self._run("read", *base.read_request(keys, token))
                if found in (-1, -3):
                    base.stored(name, found)
        except BaseException:
            await asyncio.shield(self._unlock(name, token))
            raise
        return token, found

    async def _renew(self, lock_key, token):
        while True:
            await asyncio.sleep(base.LOCK_RENEW_EVERY)
            try:
                await self._run("renew", [lock_key], [token, base.seconds_ms(base.LOCK_LEASE)])
            except Exception:
                # Unreachable: the holder learns of it at its next access.
                pass

    def _stop_renewing(self, token):
        renewal = self._leases.pop(token, None)
        if renewal is not None:
            renewal.cancel()

    async def _lock_or_queue(self, keys, token, entry, deadline, with_value):
        """Takes the lock or joins its queue, and waits for a hand-over in
        the same round trip: (what the lock script answers, the wake-up or
        None)."""
        try:
            found, woken = await self._script_then(
                "lock", *base.lock_request(keys, token, with_value, then_pop=True),
                *base.reply_pop(keys.wake(token), base.time_left(deadline, base.HANDOFF_SLICE)))
        except BaseException:
            await asyncio.shield(self._withdraw_waiter(keys, token, entry))
            raise
        return found, base.popped(woken)

    async def _await_handoff(self, name, token, entry, deadline, woken):
        """See zelvane._remote.Remote._await_handoff."""
        keys = self._keys(name)
        lease = base.seconds_ms(base.LOCK_LEASE)
        try:
            while woken is None:
                if await self._run("claim", [keys.lock, keys.waiters, keys.wake(token)], [token, lease, entry]):
                    return None
                if base.passed(deadline):
                    raise TimeoutError(f"Timed out waiting for the lock of slot '{name}'.")
                woken = base.popped(await self._command(
                    *base.reply_pop(keys.wake(token), base.time_left(deadline, base.HANDOFF_SLICE))))
            return base.handed_state(woken)
        except BaseException:
            await asyncio.shield(self._withdraw_waiter(keys, token, entry))
            raise

    async def _withdraw_waiter(self, keys, token, entry):
        try:
            await self._run("withdraw_waiter", [keys.lock, keys.waiters, keys.wake(token), keys.slot, keys.val],
                            [token, keys.prefix, base.seconds_ms(base.LOCK_LEASE), entry])
        except Exception:
            pass

    async def _unlock(self, name, token):
        keys = self._keys(name)
        self._stop_renewing(token)
        return await self._run("unlock", [keys.lock, keys.waiters, keys.slot, keys.val],
                               [token, keys.prefix, base.seconds_ms(base.LOCK_LEASE)])

    # -- functions

    async def create_function(self, name, func, /):
        base.check_create_function(name, func)
        await AsyncServer(self, name, func, "create").run()
        print("read", flush=True)

    async def serve(self, name, func, /):
        base.check_serve(name, func)
        await AsyncServer(self, name, func, "serve").run()

    async def remove_function(self, name, /):
        base.check_name(name, "Expected 1 'str' type.")
        keys = self._keys(name)
        return bool(await self._run("stop", [keys.fn], [keys.prefix]))

    async def call_function(self, name, args, /):
        return await AsyncCall(self, name, base.call_payload(name, args), False).result(None)

    async def open_function(self, name, /, *, wait=None):
        base.check_name(name, "Expected 1 'str' type.")
        deadline = base.deadline_of(base.check_timeout(wait, "wait"))
        keys = self._keys(name)
        while True:
            served = await self._run("served", [keys.fn, keys.slot], [keys.prefix])
            if served == 1 or (served == 0 and wait is None):
                return base.made(AsyncRemoteFunctionHandle, self, name)
            if wait is None:
                base.raise_not_a_function(name, served, base.MISSING_FUNCTION.format(name))
            if base.passed(deadline):
                raise TimeoutError(f"Nobody served the function '{name}' within the time given.")
            await asyncio.sleep(base.time_left(deadline, base.OPEN_POLL))


class AsyncRemoteMemoryHandle(NamedHandle):
    """A slot on a Redis server, opened by AsyncRemote.open_memory(name)."""

    _kind = "async remote memory handle"

    def __new__(cls):
        raise TypeError("cannot create 'AsyncRemoteMemoryHandle' instances; use AsyncRemote.open_memory()")

    def _setup(self, remote, name, version):
        self._bind(remote, name)
        self._seen = version


    async def __aenter__(self):
        return self

    async def __aexit__(self, exc_type, exc_value, trace, /):
        self.close()

    def _check_open(self):
        if self._closed:
            raise ValueError(f"I/O operation on a closed memory handle of '{self._name}'.")

    def _own_token(self):
        held = _HELD.get().get(self._name)
        if held is None:
            return ""
        if held[0] is not self:
            raise RuntimeError(f"The lock of slot '{self._name}' is already held by this thread.")
        return held[1]

    async def version(self):
        """The count of completed writes to the slot."""
        self._check_open()
        return await self._remote._version(self._name)

    async def read(self):
        self._check_open()
        value, self._seen = await self._remote._read(self._name, self._own_token())
        return value

    async def write(self, value, /):
        self._check_open()
        token = self._own_token()
        self._seen = await self._remote._write(self._name, zelvane.dumps(value), True, token)
        return True

    async def update(self, func, /, *, timeout=None):
        """Replaces the value with func(value) (awaited when it gives an
        awaitable) under the slot's lock; returns it."""
        self._check_open()
        deadline = base.deadline_of(base.check_timeout(timeout))
        token = self._own_token()
        if token:
            value, _ = await self._remote._read(self._name, token)
            result = await _called(func, value)
            self._seen = await self._remote._write(self._name, zelvane.dumps(result), True, token)
            return result
        token, found = await self._remote._lock(self._name, deadline, True)
        try:
            data = found[0]
            result = await _called(func, None if data is None else zelvane.loads(data))
            data = zelvane.dumps(result)
        except BaseException:
            await asyncio.shield(self._remote._unlock(self._name, token))
            raise
        version = await self._remote._write_and_let_go(self._name, data, True, token)
        if version < 0:
            base.raise_write_failed(self._name, version)
        self._seen = version
        return result

    def lock(self, timeout=None):
        self._check_open()
        return AsyncHeldLock(self, base.check_timeout(timeout))

    async def wait(self, since=None, timeout=None):
        self._check_open()
        if since is not None and (isinstance(since, bool) or not isinstance(since, int)):
            raise TypeError(f"since must be an int or None, not {type(since).__name__}")
        deadline = base.deadline_of(base.check_timeout(timeout))
        if self._name in _HELD.get():
            raise RuntimeError(f"Waiting for a change of slot '{self._name}' while this "
                               "thread holds its lock would never end.")
        self._seen = await self._changed_from(self._seen if since is None else since, deadline)
        return self._seen

    async def _changed_from(self, since, deadline):
        keys = self._remote._keys(self._name)
        with base.Reachable(self._remote.url):
            pubsub = self._remote._client.pubsub()
            try:
                await pubsub.subscribe(keys.channel)
                while await self._message(pubsub, deadline) is None:
                    pass
                # Subscribed: a version read now misses no change.
                version = await self._remote._version(self._name)
                while version == since:
                    message = await self._message(pubsub, deadline)
                    if message is not None and message["type"] == "message":
                        version = int(message["data"])
                return version
            finally:
                closing = getattr(pubsub, "aclose", None) or pubsub.close
                await closing()

    async def _message(self, pubsub, deadline):
        message = await pubsub.get_message(timeout=base.time_left(deadline, base.WAIT_SLICE))
        if message is None and base.passed(deadline):
            raise TimeoutError(f"Timed out waiting for a change of slot '{self._name}'.")
        return message


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


async def _called(func, *args, **kwargs):
    result = func(*args, **kwargs)
    return await result if inspect.isawaitable(result) else result


class AsyncHeldLock:
    """A slot's lock for an async with block."""

    def __init__(self, handle, timeout):
        self._handle = handle
        self._timeout = timeout
        self._token = None

    async def __aenter__(self):
        handle = self._handle
        _check_not_held(handle.name)
        self._token, found = await handle._remote._lock(handle.name, base.deadline_of(self._timeout), True)
        handle._seen = base.stored(handle.name, found)[2]
        _hold(handle.name, handle, self._token)
        return handle

    async def __aexit__(self, exc_type, exc_value, trace, /):
        _let_go(self._handle.name)
        await asyncio.shield(self._handle._remote._unlock(self._handle.name, self._token))
        return False


class AsyncCall:
    """One call of a served function; see zelvane._remote.Call."""

    def __init__(self, remote, name, payload, has_kwargs, missing=None):
        self._remote = remote
        self._name = name
        self._missing = missing
        self._keys = remote._keys(name)
        self._call_id = uuid.uuid4().hex
        self._request = self._call_id.encode() + payload
        self._has_kwargs = has_kwargs

    async def result(self, deadline):
        if self._name in _SERVING.get():
            raise RuntimeError(f"The function '{self._name}' is served by this thread: calling it from its own "
                               "callable would wait for itself for ever.")
        gen = ""
        try:
            gen, reply = await self._post(deadline)
            if reply is None:
                reply = await self._wait_reply(gen, deadline)
        except BaseException:
            await asyncio.shield(self._withdraw(gen))
            raise
        return base.decoded_reply(self._name, reply)

    async def _post(self, deadline):
        """Posts the call and waits for its reply in the same round trip:
        (the pool's generation, the reply or None)."""
        keys, reply_key = self._keys, self._keys.reply(self._call_id)
        args = [keys.prefix, self._request, "1" if self._has_kwargs else "0", "1"]
        posted, reply = await self._remote._script_then(
            "post", [keys.fn, keys.slot, reply_key], args,
            *base.reply_pop(reply_key, base.time_left(deadline, base.CALL_SLICE)))
        if posted == -3:
            raise TypeError(f"The function '{self._name}' is hosted by create_function, which passes no keyword "
                            "arguments; serve it with zelvane.serve to take them.")
        if isinstance(posted, int):
            base.raise_not_a_function(self._name, posted, self._missing)
        return posted.decode(), base.popped(reply)

    async def _wait_reply(self, gen, deadline):
        reply_key = self._keys.reply(self._call_id)
        while True:
            where = await self._remote._run("where", [self._keys.fn, reply_key],
                                            [self._keys.prefix, gen, self._request])
            if where == b"dead":
                raise RuntimeError(f"Nobody serves the function '{self._name}' any more: its serving process "
                                   "has ended.")
            if where != b"ready" and base.passed(deadline):
                raise TimeoutError(f"The call of '{self._name}' did not end within its time limit.")
            found = base.popped(await self._remote._command(
                *base.reply_pop(reply_key, base.time_left(deadline, base.CALL_SLICE))))
            if found is not None:
                return found

    async def _withdraw(self, gen):
        try:
            await self._remote._run("withdraw", [self._keys.fn], [self._keys.prefix, gen, self._request])
        except Exception:
            pass


class AsyncRemoteFunctionHandle(NamedHandle):
    """A served function on a Redis server, opened by AsyncRemote.open_function(name)."""

    _kind = "async remote function handle"

    def __new__(cls):
        raise TypeError("cannot create 'AsyncRemoteFunctionHandle' instances; use AsyncRemote.open_function(name)")

    def _setup(self, remote, name):
        self._bind(remote, name)

    async def __aenter__(self):
        return self

    async def __aexit__(self, exc_type, exc_value, trace, /):
        self.close()

    async def __call__(self, *args, timeout=None, **kwargs):
        if self._closed:
            raise ValueError("I/O operation on a closed function handle.")
        deadline = base.deadline_of(base.check_timeout(timeout))
        call = AsyncCall(self._remote, self._name, base.handle_payload(args, kwargs), bool(kwargs),
                         base.MISSING_FUNCTION.format(self._name))
        return await call.result(deadline)


class AsyncServer:
    """One server of a name's pool, as a task; see zelvane._remote.Server.
    The function may be a coroutine function; calls are answered one at a
    time."""

    def __init__(self, remote, name, func, kind):
        self._remote = remote
        self._name = name
        self._func = func
        self._kind = kind
        self._keys = remote._keys(name)
        self._sid = uuid.uuid4().hex
        self._gen = None
        self._stopped = asyncio.Event()
        self._lost = False

    async def run(self):
        keys = self._keys
        gen = await self._remote._run("join", [keys.slot, keys.fn], [keys.prefix, self._kind, uuid.uuid4().hex,
                                                                       self._sid,
                                                                       base.seconds_ms(base.HEARTBEAT_TTL)])
        if gen is None:
            raise MemoryError(f"The memory address '{self._name}' already exists.")
        self._gen = gen.decode()
        beat = asyncio.ensure_future(self._beat())
        serving = _SERVING.set(_SERVING.get() | {self._name})
        try:
            await self._serve_calls()
        finally:
            _SERVING.reset(serving)
            beat.cancel()
            await asyncio.shield(self._leave())
        if self._lost:
            base.raise_pool_lost(self._remote.url, self._name)

    async def _leave(self):
        try:
            await self._remote._run("leave", *base.leave_request(self._keys, self._gen, self._sid))
        except Exception:
            pass

    async def _beat(self):
        request = base.heartbeat_request(self._keys, self._gen, self._sid)
        while True:
            await asyncio.sleep(base.HEARTBEAT_EVERY)
            try:
                beat = await self._remote._run("heartbeat", *request)
            except Exception:
                continue
            if beat != 1:
                self._lost = beat < 0
                self._stopped.set()

    async def _serve_calls(self):
        queue, running = self._keys.queue(self._gen), self._keys.running(self._sid)
        while not self._stopped.is_set():
            request = await self._remote._command("BLMOVE", queue, running, "RIGHT", "LEFT", base.SERVE_SLICE)
            if request is None:
                continue
            if len(request) <= base.CALL_ID_SIZE:
                await self._remote._command("LREM", running, 1, request)
                return
            await self._answer(request, running)

    async def _answer(self, request, running):
        try:
            form, args, kwargs = base.request_arguments(request)
            reply, failure = base.result_reply(form, await _called(self._func, *args, **kwargs)), None
        except BaseException as exc:
            reply, failure = base.failure_reply(self._kind, exc)
        try:
            await self._post_reply(request, running, reply)
        except Exception as exc:
            reply, failure = base.reply_refused_for_length(self._kind, self._name, reply, exc)
            await self._post_reply(request, running, reply)
        if failure is not None:
            raise failure

    async def _post_reply(self, request, running, reply):
        reply_key = self._keys.reply(request[:base.CALL_ID_SIZE].decode())
        await self._remote._run("finish", [running, reply_key], [request, reply, base.seconds_ms(base.REPLY_TTL)])


async def connect(url, /, *, namespace="zelvane"):
    """An AsyncRemote on the Redis server at url; ConnectionError when it cannot be reached."""
    base.check_connect_arguments(url, namespace)
    redis_asyncio = base.import_redis("redis.asyncio")
    shown = base.public_url(url)
    with base.Reachable(shown):
        client = redis_asyncio.Redis.from_url(url)
        try:
            await client.ping()
        except BaseException:
            closing = getattr(client, "aclose", None) or client.close
            await closing()
            raise
    return base.made(AsyncRemote, client, shown, namespace)


__all__ = ["connect", "AsyncRemote", "AsyncRemoteMemoryHandle", "AsyncRemoteFunctionHandle"]
