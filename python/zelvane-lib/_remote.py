"""zelvane's slots and services over Redis (or Valkey), for programs that run
on several hosts. Values travel in zelvane's own encoding.

The key layout and the scripts are in _remote_scripts; the argument checks,
requests and replies in _remote_terms. redis-py is imported only by
connect().
"""
import os
import threading
import time
import uuid
import weakref

import zelvane
from zelvane._remote_scripts import (HEARTBEAT_TTL, HEARTBEAT_EVERY, CALL_SLICE, LOCK_LEASE,
    LOCK_RENEW_EVERY, HANDOFF_SLICE, REPLY_TTL, SERVE_SLICE, WAIT_SLICE, OPEN_POLL, INLINE_VALUE,
    STAGE_TTL, CALL_ID_SIZE, SCRIPTS)
from zelvane import _remote_pickle
from zelvane._remote_terms import (public_url, has_credentials, check_timeout, deadline_of, time_left, passed,
    check_name,
    check_create_memory, check_remove_memory, check_write_memory, check_create_function, check_serve,
    call_payload, handle_payload, keys_of, heartbeat_request, leave_request, read_request, lock_request,
    write_request, is_left_out, made, seconds_ms, decoded_reply, queue_script, stored, raise_write_failed,
    handed_state, read_value, MISSING_FUNCTION, MISSING_SLOT, raise_not_a_function, Reachable, raise_pool_lost,
    reply_pop, popped, request_arguments, result_reply, failure_reply, reply_refused_for_length,
    check_connect_arguments, import_redis, NamedHandle)
from zelvane._remote_wire import Lines, Script, Subscriber, Wire


class Remote:
    """zelvane's slots and services on a Redis server; made by zelvane.connect(url)."""

    def __new__(cls):
        raise TypeError("cannot create 'zelvane.Remote' instances; use zelvane.connect(url)")

    def _setup(self, client, url, namespace, credentials=False):
        self._client = client
        self._url = url
        self._namespace = namespace
        self._credentials = credentials
        self._packed = {name: Script(text) for name, text in SCRIPTS.items()}
        self._wires = Lines(Wire, client.connection_pool)
        self._subscribers = Lines(Subscriber, client.connection_pool)
        self._held = threading.local()
        self._keeper = LeaseKeeper(self)
        self._closed = False

    def __repr__(self):
        state = "closed" if self._closed else "open"
        return f"<zelvane.Remote {self.url!r} namespace={self.namespace!r} {state}>"

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, trace, /):
        self.close()

    url = property(lambda self: self._url, doc="The server's URL without its credentials.")
    namespace = property(lambda self: self._namespace)
    closed = property(lambda self: self._closed)

    def __reduce__(self):
        return _remote_pickle.reconnect, self._pickled_as()

    def _pickled_as(self):
        """What a pickle of this connection holds: the URL and namespace."""
        if self._closed:
            raise ValueError("Cannot pickle a closed zelvane.Remote.")
        if self._credentials:
            raise TypeError(_remote_pickle.CREDENTIALS_REFUSED)
        return self._url, self._namespace

    def _reopening(self, opener, name):
        """What pickle makes of a handle: the call that opens `name` again
        through `opener` on a connection of the receiving process's own."""
        return _remote_pickle.reopen, (*self._pickled_as(), opener, name)

    def close(self):
        """Lets go of the connections; the values and names stay on the server."""
        if not self._closed:
            self._closed = True
            self._keeper.stop()
            self._client.close()

    # -- what every operation shares

    def _check_open(self):
        if self._closed:
            raise ValueError("I/O operation on a closed connection to Redis.")

    def _run(self, script, keys, args=()):
        self._check_open()
        with self._reachable():
            return self._wires.get().run(self._packed[script], keys, args)

    def _command(self, *words):
        self._check_open()
        with self._reachable():
            return self._wires.get().command(*words)

    def _script_then(self, script, keys, args, *command):
        """A script and then a command in one round trip: both results."""
        self._check_open()
        with self._reachable():
            return self._wires.get().run_then(self._packed[script], keys, args, *command)

    def _reachable(self):
        return Reachable(self.url)

    def _keys(self, name):
        return keys_of(self.namespace, name)

    # -- the lock each thread holds

    def _holdings(self):
        held = getattr(self._held, "names", None)
        if held is None:
            held = self._held.names = {}
        return held

    def _check_not_held(self, name):
        if name in self._holdings():
            raise RuntimeError(f"The lock of slot '{name}' is already held by this thread.")

    # -- slots

    def create_memory(self, name, prealloc_size=0, error_if_exists=False):
        check_create_memory(name, prealloc_size, error_if_exists)
        keys = self._keys(name)
        if self._run("create", [keys.slot, keys.fn], ["1" if prealloc_size else "0"]):
            return True
        if error_if_exists:
            raise MemoryError(f"The memory address '{name}' already exists.")
        return False

    def remove_memory(self, name, throw_error=False):
        check_remove_memory(name, throw_error)
        keys = self._keys(name)
        if self._run("remove", [keys.slot, keys.fn, keys.lock, keys.val]):
            return True
        if throw_error:
            raise MemoryError("Failed to unlink the shared memory.")
        return False

    def read_memory(self, name, /):
        check_name(name, "Expected 1 'str' type.")
        self._check_not_held(name)
        return self._read(name, "")[0]

    def write_memory(self, name, value, create=True):
        check_write_memory(name, create)
        self._check_not_held(name)
        self._write(name, zelvane.dumps(value), create, "")
        return True

    def open_memory(self, name, create=True):
        check_name(name, "Expected at least the name (str) argument.")
        if create:
            self._run("create", [self._keys(name).slot, self._keys(name).fn], ["0"])
        return made(RemoteMemoryHandle, self, name, self._version(name))

    def _read(self, name, token):
        """(value, version); waits in the lock's queue while another holds it."""
        keys = self._keys(name)
        found = self._run("read", *read_request(keys, token, str(INLINE_VALUE)))
        if is_left_out(found):
            found = self._read_whole(keys, token)
        if found == -2:
            token, found = self._lock(name, None, True)
            self._unlock(name, token)
        data, reserved, version = stored(name, found)
        return read_value(data, reserved), version

    def _write(self, name, data, create, token, release=False):
        """Writes encoded `data`; the new version. Waits in the lock's queue
        while another holds it."""
        version = self._run_write(name, data, create, token, release)
        if version == -2:
            token, _ = self._lock(name, None, False)
            version = self._write_and_let_go(name, data, create, token)
        if version < 0:
            raise_write_failed(name, version)
        return version

    def _write_and_let_go(self, name, data, create, token):
        """Writes under the lock `token` holds and lets go of it in the same
        script; lets go of it at once when the write fails."""
        self._keeper.let_go(token)
        try:
            version = self._run_write(name, data, create, token, True)
        except BaseException:
            self._unlock_quietly(name, token)
            raise
        if version < 0:
            self._unlock(name, token)
        return version

    def _unlock_quietly(self, name, token):
        """Lets go after a failure, which is the one to report."""
        try:
            self._unlock(name, token)
        except Exception:
            # Unreachable: the lease runs out.
            pass

    def _read_whole(self, keys, token):
        """What the read script finds, with a long value fetched beside it
        in the same transaction."""
        script_keys, args = read_request(keys, token, "0")
        self._check_open()
        with self._reachable():
            pipe = self._client.pipeline(transaction=True)
            queue_script(pipe, "read", script_keys, args)
            pipe.get(keys.val)
            found, value = pipe.execute()
        if isinstance(found, list):
            found[0] = value
        return found

    def _run_write(self, name, data, create, token, release):
        keys = self._keys(name)
        stage = keys.stage() if len(data) > INLINE_VALUE else None
        script_keys, args = write_request(keys, data, create, token, release, stage)
        if stage is None:
            return self._run("write", script_keys, args)
        self._check_open()
        with self._reachable():
            pipe = self._client.pipeline(transaction=True)
            pipe.set(stage, data, px=seconds_ms(STAGE_TTL))
            queue_script(pipe, "write", script_keys, args)
            return pipe.execute()[1]

    def _lock(self, name, deadline, with_value):
        """Takes the lock, in turn behind those waiting for it; (token, what
        the read script finds, when `with_value`)."""
        keys = self._keys(name)
        token = uuid.uuid4().hex
        entry = ("1" if with_value else "0") + token
        found, woken = self._lock_or_queue(keys, token, entry, deadline, with_value)
        if found in (-1, -3):
            stored(name, found)
        self._keeper.hold(keys.lock, token)
        try:
            if found == 0:
                found = self._await_handoff(name, token, entry, deadline, woken)
                if found is None and with_value:
                    found = self._run("read", *read_request(keys, token))
                if found in (-1, -3):
                    stored(name, found)
        except BaseException:
            self._unlock(name, token)
            raise
        return token, found

    def _lock_or_queue(self, keys, token, entry, deadline, with_value):
        """Takes the lock or joins its queue, and waits for a hand-over in
        the same round trip: (what the lock script answers, the wake-up or
        None)."""
        try:
            found, woken = self._script_then("lock", *lock_request(keys, token, with_value, then_pop=True),
                                             *reply_pop(keys.wake(token), time_left(deadline, HANDOFF_SLICE)))
        except BaseException:
            self._withdraw_waiter(keys, token, entry)
            raise
        return found, popped(woken)

    def _await_handoff(self, name, token, entry, deadline, woken):
        """Waits until the lock is handed to `token` (`woken` is the wake-up
        that came with joining the queue, or None); the slot's state it
        came with, or None when it was taken after its holder's lease ran
        out. Leaves the queue when it gives up."""
        keys = self._keys(name)
        lease = seconds_ms(LOCK_LEASE)
        try:
            while woken is None:
                if self._run("claim", [keys.lock, keys.waiters, keys.wake(token)], [token, lease, entry]):
                    return None
                if passed(deadline):
                    raise TimeoutError(f"Timed out waiting for the lock of slot '{name}'.")
                woken = popped(self._command(*reply_pop(keys.wake(token), time_left(deadline, HANDOFF_SLICE))))
            return handed_state(woken)
        except BaseException:
            self._withdraw_waiter(keys, token, entry)
            raise

    def _withdraw_waiter(self, keys, token, entry):
        try:
            self._run("withdraw_waiter", [keys.lock, keys.waiters, keys.wake(token), keys.slot, keys.val],
                      [token, keys.prefix, seconds_ms(LOCK_LEASE), entry])
        except Exception:
            # Unreachable: the lease hands the lock on if it came here.
            pass

    def _unlock(self, name, token):
        keys = self._keys(name)
        self._keeper.let_go(token)
        return self._run("unlock", [keys.lock, keys.waiters, keys.slot, keys.val],
                         [token, keys.prefix, seconds_ms(LOCK_LEASE)])

    def _version(self, name):
        version = self._command("HGET", self._keys(name).slot, "ver")
        if version is None:
            self._raise_missing_slot(name)
        return int(version)

    def _raise_missing_slot(self, name):
        if self._command("EXISTS", self._keys(name).fn):
            raise MemoryError(f"The name '{name}' holds a function, not a value slot.")
        raise MemoryError(MISSING_SLOT.format(name))

    # -- functions

    def create_function(self, name, func, /):
        check_create_function(name, func)
        Server(self, name, func, "create").run()
        print("read", flush=True)

    def serve(self, name, func, /):
        check_serve(name, func)
        Server(self, name, func, "serve").run()

    def remove_function(self, name, /):
        check_name(name, "Expected 1 'str' type.")
        keys = self._keys(name)
        return bool(self._run("stop", [keys.fn], [keys.prefix]))

    def call_function(self, name, args, /):
        return Call(self, name, call_payload(name, args), False).result(None)

    def open_function(self, name, /, *, wait=None):
        check_name(name, "Expected 1 'str' type.")
        deadline = deadline_of(check_timeout(wait, "wait"))
        keys = self._keys(name)
        while True:
            served = self._run("served", [keys.fn, keys.slot], [keys.prefix])
            if served == 1 or (served == 0 and wait is None):
                return made(RemoteFunctionHandle, self, name)
            if wait is None:
                raise_not_a_function(name, served, MISSING_FUNCTION.format(name))
            if passed(deadline):
                raise TimeoutError(f"Nobody served the function '{name}' within the time given.")
            time.sleep(time_left(deadline, OPEN_POLL))

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

    def hold(self, lock_key, token):
        with self._guard:
            self._leases[token] = lock_key
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
            for token, lock_key in leases:
                try:
                    self._remote._run("renew", [lock_key], [token, seconds_ms(LOCK_LEASE)])
                except Exception:
                    # An unreachable server: the holder learns of it at its
                    # next access, and the lease runs out meanwhile.
                    pass


_keepers = weakref.WeakSet()


def _keepers_after_fork():
    for keeper in list(_keepers):
        keeper._after_fork()


os.register_at_fork(after_in_child=_keepers_after_fork)


class RemoteMemoryHandle(NamedHandle):
    """A slot on a Redis server, opened by Remote.open_memory(name)."""

    _kind = "remote memory handle"
    _opener = "open_memory"

    def __new__(cls):
        raise TypeError("cannot create 'zelvane.RemoteMemoryHandle' instances; use Remote.open_memory()")

    def _setup(self, remote, name, version):
        self._bind(remote, name)
        self._seen = version

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, trace, /):
        self.close()

    def _check_open(self):
        if self._closed:
            raise ValueError(f"I/O operation on a closed memory handle of '{self._name}'.")

    def _own_token(self):
        """The token of the lock this handle holds on this thread, or ''."""
        held = self._remote._holdings().get(self._name)
        if held is None:
            return ""
        if held[0] is not self:
            raise RuntimeError(f"The lock of slot '{self._name}' is already held by this thread.")
        return held[1]

    @property
    def version(self):
        self._check_open()
        return self._remote._version(self._name)

    def read(self):
        self._check_open()
        value, self._seen = self._remote._read(self._name, self._own_token())
        return value

    def write(self, value, /):
        self._check_open()
        token = self._own_token()
        self._seen = self._remote._write(self._name, zelvane.dumps(value), True, token)
        return True

    def update(self, func, /, *, timeout=None):
        self._check_open()
        deadline = deadline_of(check_timeout(timeout))
        token = self._own_token()
        if token:
            value, _ = self._remote._read(self._name, token)
            result = func(value)
            self._seen = self._remote._write(self._name, zelvane.dumps(result), True, token)
            return result
        token, found = self._remote._lock(self._name, deadline, True)
        try:
            data = found[0]
            result = func(None if data is None else zelvane.loads(data))
            data = zelvane.dumps(result)
        except BaseException:
            self._remote._unlock(self._name, token)
            raise
        version = self._remote._write_and_let_go(self._name, data, True, token)
        if version < 0:
            raise_write_failed(self._name, version)
        self._seen = version
        return result

    def lock(self, timeout=None):
        self._check_open()
        return HeldLock(self, check_timeout(timeout))

    def wait(self, since=None, timeout=None):
        self._check_open()
        if since is not None and (isinstance(since, bool) or not isinstance(since, int)):
            raise TypeError(f"since must be an int or None, not {type(since).__name__}")
        deadline = deadline_of(check_timeout(timeout))
        if self._name in self._remote._holdings():
            raise RuntimeError(f"Waiting for a change of slot '{self._name}' while this "
                               "thread holds its lock would never end.")
        self._seen = VersionWatch(self._remote, self._name).changed_from(
            self._seen if since is None else since, deadline)
        return self._seen


class HeldLock:
    """A slot's lock for a with block."""

    def __init__(self, handle, timeout):
        self._handle = handle
        self._timeout = timeout
        self._token = None

    def __enter__(self):
        handle = self._handle
        remote = handle._remote
        remote._check_not_held(handle.name)
        self._token, found = remote._lock(handle.name, deadline_of(self._timeout), True)
        handle._seen = stored(handle.name, found)[2]
        remote._holdings()[handle.name] = (handle, self._token)
        return handle

    def __exit__(self, *exc_info):
        remote = self._handle._remote
        remote._holdings().pop(self._handle.name, None)
        remote._unlock(self._handle.name, self._token)
        return False


class VersionWatch:
    """Waits for a slot's version to change, through its pub/sub channel, on
    the thread's subscription connection."""

    def __init__(self, remote, name):
        self._remote = remote
        self._name = name

    def changed_from(self, since, deadline):
        channel = self._remote._keys(self._name).channel
        subscriber = self._remote._subscribers.get()
        confirmed = False
        with self._remote._reachable():
            subscriber.send("SUBSCRIBE", channel)
            try:
                self._await_confirmation(subscriber, channel.encode(), deadline)
                confirmed = True
                return self._listen(subscriber, channel.encode(), since, deadline)
            finally:
                # Unconfirmed, the subscription's confirmation could be taken
                # for the next one's.
                if confirmed:
                    subscriber.unsubscribe(channel)
                else:
                    subscriber.drop()

    def _await_confirmation(self, subscriber, channel, deadline):
        while True:
            reply = subscriber.next_reply(time_left(deadline, WAIT_SLICE))
            if reply is None:
                self._check_time(deadline)
            elif reply[:2] == [b"subscribe", channel]:
                return

    def _listen(self, subscriber, channel, since, deadline):
        # Subscribed: a change from now on is published to us, so a version
        # read now misses none.
        version = self._remote._version(self._name)
        while version == since:
            reply = subscriber.next_reply(time_left(deadline, WAIT_SLICE))
            if reply is not None and reply[:2] == [b"message", channel]:
                version = int(reply[2])
            else:
                self._check_time(deadline)
        return version

    def _check_time(self, deadline):
        if passed(deadline):
            raise TimeoutError(f"Timed out waiting for a change of slot '{self._name}'.")


class Call:
    """One call of a served function: posted to the pool's queue, its reply
    waited for in slices, between which the caller looks whether a live
    server still has it."""

    def __init__(self, remote, name, payload, has_kwargs, missing=None):
        self._remote = remote
        self._name = name
        self._missing = missing  # the words for a name gone (call_function's own when None)
        self._keys = remote._keys(name)
        self._call_id = uuid.uuid4().hex
        self._request = self._call_id.encode() + payload
        self._has_kwargs = has_kwargs

    def result(self, deadline):
        if self._name in self._remote._serving_here():
            raise RuntimeError(f"The function '{self._name}' is served by this thread: calling it from its own "
                               "callable would wait for itself for ever.")
        gen = ""
        try:
            # Interrupted while it waits with the post, the call goes back
            # all the same, from the pool's queue of the time.
            gen, reply = self._post(deadline)
            if reply is None:
                reply = self._wait_reply(gen, deadline)
        except BaseException:
            self._withdraw(gen)
            raise
        return decoded_reply(self._name, reply)

    def _post(self, deadline):
        """Posts the call and waits for its reply in the same round trip:
        (the pool's generation, the reply or None)."""
        keys, reply_key = self._keys, self._keys.reply(self._call_id)
        args = [keys.prefix, self._request, "1" if self._has_kwargs else "0", "1"]
        posted, reply = self._remote._script_then("post", [keys.fn, keys.slot, reply_key], args,
                                                  *reply_pop(reply_key, time_left(deadline, CALL_SLICE)))
        if posted == -3:
            raise TypeError(f"The function '{self._name}' is hosted by create_function, which passes no keyword "
                            "arguments; serve it with zelvane.serve to take them.")
        if isinstance(posted, int):
            raise_not_a_function(self._name, posted, self._missing)
        return posted.decode(), popped(reply)

    def _wait_reply(self, gen, deadline):
        reply_key = self._keys.reply(self._call_id)
        while True:
            where = self._remote._run("where", [self._keys.fn, reply_key], [self._keys.prefix, gen, self._request])
            if where == b"dead":
                raise RuntimeError(f"Nobody serves the function '{self._name}' any more: its serving process "
                                   "has ended.")
            if where != b"ready" and passed(deadline):
                raise TimeoutError(f"The call of '{self._name}' did not end within its time limit.")
            found = popped(self._remote._command(*reply_pop(reply_key, time_left(deadline, CALL_SLICE))))
            if found is not None:
                return found

    def _withdraw(self, gen):
        """Takes back a call no server has taken yet; one being executed is
        abandoned (its reply expires)."""
        try:
            self._remote._run("withdraw", [self._keys.fn], [self._keys.prefix, gen, self._request])
        except Exception:
            pass



class RemoteFunctionHandle(NamedHandle):
    """A served function on a Redis server, opened by Remote.open_function(name)."""

    _kind = "remote function handle"
    _opener = "open_function"

    def __new__(cls):
        raise TypeError("cannot create 'zelvane.RemoteFunctionHandle' instances; use Remote.open_function(name)")

    def _setup(self, remote, name):
        self._bind(remote, name)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, trace, /):
        self.close()

    def __call__(self, *args, timeout=None, **kwargs):
        if self._closed:
            raise ValueError("I/O operation on a closed function handle.")
        deadline = deadline_of(check_timeout(timeout))
        return Call(self._remote, self._name, handle_payload(args, kwargs), bool(kwargs),
                    MISSING_FUNCTION.format(self._name)).result(deadline)


class Server:
    """One server of a name's pool: takes calls from the pool's queue one at
    a time, while a thread of its own keeps its heartbeat."""

    def __init__(self, remote, name, func, kind):
        self._remote = remote
        self._name = name
        self._func = func
        self._kind = kind
        self._keys = remote._keys(name)
        self._sid = uuid.uuid4().hex
        self._gen = None
        self._stopped = threading.Event()
        self._lost = False

    def run(self):
        self._join()
        beat = threading.Thread(target=self._beat, name=f"zelvane-heartbeat-{self._name}", daemon=True)
        beat.start()
        serving = self._remote._serving_here()
        serving.add(self._name)
        try:
            self._serve_calls()
        finally:
            serving.discard(self._name)
            self._stopped.set()
            self._leave()
        if self._lost:
            raise_pool_lost(self._remote.url, self._name)

    def _join(self):
        keys = self._keys
        gen = self._remote._run("join", [keys.slot, keys.fn], [keys.prefix, self._kind, uuid.uuid4().hex,
                                                                 self._sid, seconds_ms(HEARTBEAT_TTL)])
        if gen is None:
            raise MemoryError(f"The memory address '{self._name}' already exists.")
        self._gen = gen.decode()

    def _leave(self):
        try:
            self._remote._run("leave", *leave_request(self._keys, self._gen, self._sid))
        except Exception:
            # The heartbeat lapses, and the pool forgets this server.
            pass

    def _beat(self):
        request = heartbeat_request(self._keys, self._gen, self._sid)
        while not self._stopped.wait(HEARTBEAT_EVERY):
            try:
                beat = self._remote._run("heartbeat", *request)
            except Exception:
                continue
            if beat != 1:
                self._lost = beat < 0
                self._stopped.set()

    def _serve_calls(self):
        queue, running = self._keys.queue(self._gen), self._keys.running(self._sid)
        take = ("BLMOVE", queue, running, "RIGHT", "LEFT", SERVE_SLICE)
        request = None
        # A call taken is answered, even by a server told to stop meanwhile.
        while request is not None or not self._stopped.is_set():
            if request is None:
                request = self._remote._command(*take)
            elif len(request) <= CALL_ID_SIZE:
                self._remote._command("LREM", running, 1, request)
                return
            else:
                request = self._answer(request, running, take)

    def _answer(self, request, running, take):
        """Answers `request` and takes the next call in the same round
        trip (when serving goes on): the next request or None."""
        reply, failure = self._reply_to(request)
        if failure is not None or self._stopped.is_set():
            take = None
        try:
            taken = self._post_reply(request, running, reply, take)
        except Exception as exc:
            reply, failure = reply_refused_for_length(self._kind, self._name, reply, exc)
            taken = self._post_reply(request, running, reply, take)
        if failure is not None:
            raise failure
        return taken

    def _post_reply(self, request, running, reply, take):
        """Posts `reply` to `request` and, given the command `take`, takes
        the next call in the same round trip: it or None."""
        reply_key = self._keys.reply(request[:CALL_ID_SIZE].decode())
        finish = ([running, reply_key], [request, reply, seconds_ms(REPLY_TTL)])
        if take is None:
            self._remote._run("finish", *finish)
            return None
        return self._remote._script_then("finish", *finish, *take)[1]

    def _reply_to(self, request):
        """The reply, and the exception that ends serving (or None)."""
        try:
            form, args, kwargs = request_arguments(request)
            return result_reply(form, self._func(*args, **kwargs)), None
        except BaseException as exc:
            return failure_reply(self._kind, exc)


def connect(url, /, *, namespace="zelvane"):
    """A Remote on the Redis server at url; ConnectionError when it cannot be reached."""
    check_connect_arguments(url, namespace)
    redis = import_redis("redis")
    shown = public_url(url)
    with Reachable(shown):
        client = redis.Redis.from_url(url)
        try:
            client.ping()
        except BaseException:
            client.close()
            raise
    return made(Remote, client, shown, namespace, has_credentials(url))


__all__ = ["connect", "Remote", "RemoteMemoryHandle", "RemoteFunctionHandle"]
