"""The Redis back end's operations, written once for both mirrors: what each
sends, how it reads each reply, when it tries again and which error it
raises. They do no I/O themselves. An operation is a generator that yields
the I/O it needs as a tuple headed by the name of the mirror's method that
does it, and is sent that method's result (or has its exception thrown in):

    RUN          script, keys, args          the script's reply
    COMMAND      *words                      the command's reply
    SCRIPT_THEN  script, keys, args, *words  both replies, in one round trip
    TRANSACTION  fill                        the replies of what fill(pipeline)
                                             queued, in one MULTI/EXEC
    SLEEP        seconds                     None
    MESSAGE      subscription, seconds       the next message or reply of a
                                             subscription, as [kind, channel,
                                             data], or None when none came
    OUTCOME      func, args, kwargs          (its result, None) or (None, the
                                             exception it raised); the asyncio
                                             mirror awaits an awaitable result
    CLEANUP      operation                   what the operation returns; the
                                             asyncio mirror shields it from
                                             cancellation

zelvane._remote does the I/O with blocking calls, zelvane._remote_aio awaits
it; each runs an operation with its own _drive(operation).
"""
import uuid

import zelvane
from zelvane._remote_cluster import (SubscriptionMoved, failing_over, grant_wait, wait_words,
    check_grant_replicated)
from zelvane._remote_scripts import (HEARTBEAT_TTL, CALL_SLICE, LOCK_LEASE, HANDOFF_SLICE, REPLY_TTL,
    SERVE_SLICE, WAIT_SLICE, OPEN_POLL, INLINE_VALUE, STAGE_TTL, CALL_ID_SIZE, SMALLEST_BULK_LIMIT)
from zelvane._remote_terms import (check_timeout, deadline_of, time_left, passed, check_name, check_create_memory,
    check_remove_memory, check_write_memory, call_payload, handle_payload, keys_of, heartbeat_request,
    leave_request, read_request, lock_request, write_request, is_left_out, made, seconds_ms, decoded_reply,
    queue_script, stored, fence_of, raise_write_failed, handed_state, read_value, MISSING_FUNCTION, MISSING_SLOT,
    raise_not_a_function, reply_pop, popped, request_arguments, result_reply, failure_reply,
    reply_refused_for_length, NamedHandle, servers_wanted, connection_lost, raise_call_in_doubt, reply_route)

RUN = "_run"
COMMAND = "_command"
SCRIPT_THEN = "_script_then"
TRANSACTION = "_transaction"
SLEEP = "_sleep"
MESSAGE = "_message"
OUTCOME = "_outcome"
CLEANUP = "_cleanup"


class RemoteCore:
    """What a connection does, for Remote and AsyncRemote. A mirror gives
    the I/O methods named above, _drive, and the bookkeeping of its thread
    or task: _holdings() (name -> (handle, token, fencing token) of the locks held),
    _hold, _let_go, _serving_here() (the names served), and _leases (hold,
    let_go, stop: the renewal of the locks' leases)."""

    url = property(lambda self: self._url, doc="The server's URL without its credentials.")
    namespace = property(lambda self: self._namespace, doc="The namespace given to connect(), which prefixes every key of this connection.")
    closed = property(lambda self: self._closed, doc="True once close() was called.")

    def _check_open(self):
        if self._closed:
            raise ValueError("I/O operation on a closed connection to Redis.")

    def _keys(self, name):
        return keys_of(self._namespace, name)

    def _check_not_held(self, name):
        if name in self._holdings():
            raise RuntimeError(f"The lock of slot '{name}' is already held by this thread.")

    # -- slots

    def _create_memory(self, name, prealloc_size, error_if_exists):
        check_create_memory(name, prealloc_size, error_if_exists)
        keys = self._keys(name)
        if (yield RUN, "create", [keys.slot, keys.fn], ["1" if prealloc_size else "0"]):
            return True
        if error_if_exists:
            raise MemoryError(f"The memory address '{name}' already exists.")
        return False

    def _remove_memory(self, name, throw_error):
        check_remove_memory(name, throw_error)
        keys = self._keys(name)
        if (yield RUN, "remove", [keys.slot, keys.fn, keys.lock, keys.val], ()):
            return True
        if throw_error:
            raise MemoryError("Failed to unlink the shared memory.")
        return False

    def _read_memory(self, name):
        check_name(name, "Expected 1 'str' type.")
        self._check_not_held(name)
        return (yield from self._read(name, ""))[0]

    def _write_memory(self, name, value, create):
        check_write_memory(name, create)
        self._check_not_held(name)
        yield from self._write(name, zelvane.dumps(value), create, "")
        return True

    def _open_memory(self, name, create, wait, temporary, handle_class):
        check_name(name, "Expected at least the name (str) argument.")
        deadline = deadline_of(check_timeout(wait, "wait"))
        if wait is not None and not create:
            yield from self._wait_for_slot(name, deadline)
        from zelvane._remote_queue_core import open_memory  # it builds on this module
        return (yield from open_memory(self, name, create, temporary, handle_class))

    def _wait_for_slot(self, name, deadline):
        """Until the slot `name` exists, or the name holds something else
        (opening it then gives its error); TimeoutError at `deadline`."""
        keys = self._keys(name)
        while not (yield COMMAND, "EXISTS", keys.slot) and not (yield COMMAND, "EXISTS", keys.fn):
            if passed(deadline):
                raise TimeoutError(f"The value slot '{name}' did not appear within the time given.")
            yield SLEEP, time_left(deadline, OPEN_POLL)

    def _read(self, name, token):
        """(value, version); waits in the lock's queue while another holds it."""
        keys = self._keys(name)
        found = yield (RUN, "read", *read_request(keys, token, str(INLINE_VALUE)))
        if is_left_out(found):
            found = yield from self._read_whole(keys, token)
        if found == -2:
            token, found = yield from self._lock(name, None, True)
            yield from self._unlock(name, token)
        data, reserved, version = stored(name, found)
        return read_value(data, reserved), version

    def _write(self, name, data, create, token, release=False):
        """Writes encoded `data`; the new version. Waits in the lock's queue
        while another holds it."""
        version = yield from self._run_write(name, data, create, token, release)
        if version == -2:
            token, _ = yield from self._lock(name, None, False)
            version = yield from self._write_and_let_go(name, data, create, token)
        if version < 0:
            raise_write_failed(name, version)
        return version

    def _write_and_let_go(self, name, data, create, token):
        """Writes under the lock `token` holds and lets go of it in the same
        script; lets go of it at once when the write fails."""
        self._leases.let_go(token)
        try:
            version = yield from self._run_write(name, data, create, token, True)
        except BaseException:
            yield CLEANUP, self._unlock_quietly(name, token)
            raise
        if version < 0:
            yield from self._unlock(name, token)
        return version

    def _unlock_quietly(self, name, token):
        """Lets go after a failure, which is the one to report."""
        try:
            yield from self._unlock(name, token)
        except Exception:
            # Unreachable: the lease runs out.
            pass

    def _read_whole(self, keys, token):
        """What the read script finds, with a long value fetched beside it
        in the same transaction."""
        script_keys, args = read_request(keys, token, "0")

        def fill(pipe):
            queue_script(pipe, "read", script_keys, args)
            pipe.get(keys.val)
        found, value = yield TRANSACTION, fill
        if isinstance(found, list):
            found[0] = value
        return found

    def _run_write(self, name, data, create, token, release):
        keys = self._keys(name)
        stage = keys.stage() if len(data) > INLINE_VALUE else None
        script_keys, args = write_request(keys, data, create, token, release, stage)
        if stage is None:
            return (yield RUN, "write", script_keys, args)

        def fill(pipe):
            pipe.set(stage, data, px=seconds_ms(STAGE_TTL))
            queue_script(pipe, "write", script_keys, args)
        return (yield TRANSACTION, fill)[1]

    def _version(self, name):
        version = yield COMMAND, "HGET", self._keys(name).slot, "ver"
        if version is None:
            if (yield COMMAND, "EXISTS", self._keys(name).fn):
                raise MemoryError(f"The name '{name}' holds a function, not a value slot.")
            raise MemoryError(MISSING_SLOT.format(name))
        return int(version)

    # -- the lock

    def _lock(self, name, deadline, with_value):
        """Takes the lock, in turn behind those waiting for it; (token, what
        the read script finds, when `with_value`)."""
        keys = self._keys(name)
        token = uuid.uuid4().hex
        entry = ("1" if with_value else "0") + token
        found, woken = yield from self._lock_or_queue(keys, token, entry, deadline, with_value)
        if found in (-1, -3):
            stored(name, found)
        self._leases.hold(keys.lock, token)
        try:
            if found == 0:
                found = yield from self._await_handoff(name, token, entry, deadline, woken)
                if found is None and with_value:
                    found = yield (RUN, "read", *read_request(keys, token))
                if found in (-1, -3):
                    stored(name, found)
            yield from self._acknowledge_grant(name, keys, token, deadline)
        except BaseException:
            yield CLEANUP, self._unlock(name, token)
            raise
        return token, found

    def _acknowledge_grant(self, name, keys, token, deadline):
        """With replicas=N, returns once N replicas have the grant of the
        lock to `token`, so that a failover cannot hand out its fencing
        token again; raises when they do not confirm it in time. The grant
        may have been written on another connection (a hand-over): a renewal
        of its lease, sent here after it, is what WAIT counts from."""
        replicas = self._replicas
        if not replicas:
            return
        seconds = grant_wait(time_left(deadline, float("inf")))
        renewed, confirmed = yield (SCRIPT_THEN, "renew", [keys.lock], [token, seconds_ms(LOCK_LEASE)],
                                    *wait_words(replicas, seconds))
        check_grant_replicated(renewed, confirmed, replicas, name, seconds)

    def _lock_or_queue(self, keys, token, entry, deadline, with_value):
        """Takes the lock or joins its queue, and waits for a hand-over in
        the same round trip: (what the lock script answers, the wake-up or
        None)."""
        try:
            found, woken = yield (SCRIPT_THEN, "lock", *lock_request(keys, token, with_value, then_pop=True),
                                  *reply_pop(keys.wake(token), time_left(deadline, HANDOFF_SLICE)))
        except BaseException:
            yield CLEANUP, self._withdraw_waiter(keys, token, entry)
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
                if (yield RUN, "claim", [keys.lock, keys.waiters, keys.wake(token), keys.slot], [token, lease, entry]):
                    return None
                if passed(deadline):
                    raise TimeoutError(f"Timed out waiting for the lock of slot '{name}'.")
                woken = popped((yield (COMMAND, *reply_pop(keys.wake(token), time_left(deadline, HANDOFF_SLICE)))))
            return handed_state(woken)
        except BaseException:
            yield CLEANUP, self._withdraw_waiter(keys, token, entry)
            raise

    def _withdraw_waiter(self, keys, token, entry):
        try:
            yield (RUN, "withdraw_waiter", [keys.lock, keys.waiters, keys.wake(token), keys.slot, keys.val],
                   [token, keys.prefix, seconds_ms(LOCK_LEASE), entry])
        except Exception:
            # Unreachable: the lease hands the lock on if it came here.
            pass

    def _unlock(self, name, token):
        keys = self._keys(name)
        self._leases.let_go(token)
        return (yield (RUN, "unlock", [keys.lock, keys.waiters, keys.slot, keys.val],
                       [token, keys.prefix, seconds_ms(LOCK_LEASE)]))

    # -- functions

    def _remove_function(self, name):
        check_name(name, "Expected 1 'str' type.")
        keys = self._keys(name)
        return bool((yield RUN, "stop", [keys.fn], [keys.prefix]))

    def _call_function(self, name, args):
        return (yield from Call(self, name, call_payload(name, args), False).result(None))

    def _open_function(self, name, wait, servers, handle_class):
        check_name(name, "Expected 1 'str' type.")
        deadline = deadline_of(check_timeout(wait, "wait"))
        wanted = servers_wanted(servers)
        while True:
            served = yield from self._live_servers(name)
            if served >= max(wanted, 1) or (served == 0 and wait is None and not wanted):
                return made(handle_class, self, name, served)
            if served == -2 or (wait is None and not wanted):
                raise_not_a_function(name, served, MISSING_FUNCTION.format(name))
            if passed(deadline):
                if wanted > 1:
                    raise TimeoutError(f"Fewer than {wanted} servers served the function '{name}' within the "
                                       "time given.")
                raise TimeoutError(f"Nobody served the function '{name}' within the time given.")
            yield SLEEP, time_left(deadline, OPEN_POLL)

    def _live_servers(self, name):
        """The number of live servers of the function `name`; -1 when the
        name holds nothing, -2 when it holds a slot."""
        keys = self._keys(name)
        return (yield RUN, "served", [keys.fn, keys.slot], [keys.prefix])


def renew(lock_key, token):
    """Renews the lease of the lock `token` holds."""
    yield RUN, "renew", [lock_key], [token, seconds_ms(LOCK_LEASE)]


class MemoryHandleCore(NamedHandle):
    """What RemoteMemoryHandle and AsyncRemoteMemoryHandle do."""

    def _setup(self, remote, name, version):
        self._bind(remote, name)
        self._seen = version

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

    def _fencing_token(self, holder):
        """The fencing token of the lock() block this handle is in on this
        thread (or task, the `holder`)."""
        self._check_open()
        held = self._remote._holdings().get(self._name)
        if held is None or held[0] is not self:
            raise RuntimeError(f"The lock of slot '{self._name}' is not held through this handle by this {holder}: "
                               "its token is known inside a lock() block only.")
        return held[2]

    def _version(self):
        self._check_open()
        return (yield from self._remote._version(self._name))

    def _read(self):
        self._check_open()
        value, self._seen = yield from self._remote._read(self._name, self._own_token())
        return value

    def _write(self, value):
        self._check_open()
        token = self._own_token()
        self._seen = yield from self._remote._write(self._name, zelvane.dumps(value), True, token)
        return True

    def _update(self, func, timeout):
        self._check_open()
        deadline = deadline_of(check_timeout(timeout))
        token = self._own_token()
        remote = self._remote
        if token:
            value, _ = yield from remote._read(self._name, token)
            result = applied((yield OUTCOME, func, (value,), {}))
            self._seen = yield from remote._write(self._name, zelvane.dumps(result), True, token)
            return result
        token, found = yield from remote._lock(self._name, deadline, True)
        try:
            data = found[0]
            result = applied((yield OUTCOME, func, (None if data is None else zelvane.loads(data),), {}))
            data = zelvane.dumps(result)
        except BaseException:
            yield CLEANUP, remote._unlock(self._name, token)
            raise
        version = yield from remote._write_and_let_go(self._name, data, True, token)
        if version < 0:
            raise_write_failed(self._name, version)
        self._seen = version
        return result

    def _watched_from(self, since, timeout):
        """The version a wait(since, timeout) waits to change from, and its deadline."""
        self._check_open()
        if since is not None and (isinstance(since, bool) or not isinstance(since, int)):
            raise TypeError(f"since must be an int or None, not {type(since).__name__}")
        deadline = deadline_of(check_timeout(timeout))
        if self._name in self._remote._holdings():
            raise RuntimeError(f"Waiting for a change of slot '{self._name}' while this "
                               "thread holds its lock would never end.")
        return self._seen if since is None else since, deadline

    def _confirmation(self, subscription, channel, deadline):
        """Waits until the server confirms the subscription to `channel` (bytes)."""
        while True:
            reply = yield MESSAGE, subscription, time_left(deadline, WAIT_SLICE)
            if reply is None:
                self._check_wait_time(deadline)
            elif reply[:2] in ([b"subscribe", channel], [b"ssubscribe", channel]):
                return

    def _listen(self, subscription, channel, since, deadline):
        """The slot's version once it is not `since`, from the messages of
        the confirmed subscription to `channel`."""
        # Subscribed: a change from now on is published to us, so a version
        # read now misses none.
        version = yield from self._remote._version(self._name)
        while version == since:
            reply = yield MESSAGE, subscription, time_left(deadline, WAIT_SLICE)
            if reply is not None and reply[0] in (b"message", b"smessage") and reply[1] == channel:
                version = int(reply[2])
            elif reply is not None and reply[:2] == [b"sunsubscribe", channel]:
                raise SubscriptionMoved()
            else:
                self._check_wait_time(deadline)
        return version

    def _check_wait_time(self, deadline):
        if passed(deadline):
            raise TimeoutError(f"Timed out waiting for a change of slot '{self._name}'.")


def applied(outcome):
    """The result of an OUTCOME, or its exception raised."""
    result, error = outcome
    if error is not None:
        raise error
    return result


class HeldLockCore:
    """A slot's lock for a with block: what taking it and letting it go do."""

    def __init__(self, handle, timeout):
        self._handle = handle
        self._timeout = timeout
        self._token = None

    def _take(self):
        handle = self._handle
        remote = handle._remote
        remote._check_not_held(handle.name)
        self._token, found = yield from remote._lock(handle.name, deadline_of(self._timeout), True)
        handle._seen = stored(handle.name, found)[2]
        remote._hold(handle.name, handle, self._token, fence_of(found))
        return handle

    def _let_go(self):
        """Forgets the lock here: the operation that lets go of it on the server."""
        remote = self._handle._remote
        remote._let_go(self._handle.name)
        return remote._unlock(self._handle.name, self._token)


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
        gen, reply = "", None
        try:
            while reply is None:
                # Interrupted while it waits with the post, the call goes
                # back all the same, from the pool's queue of the time.
                gen, reply, lost = yield from self._post(deadline)
                if reply is None:
                    # None: a failover dropped the call from the queue, unrun.
                    reply = yield from self._wait_reply(gen, deadline, lost)
        except BaseException:
            yield CLEANUP, self._withdraw(gen)
            raise
        return decoded_reply(self._name, reply)

    def _post(self, deadline):
        """Posts the call and waits for its reply in the same round trip:
        (the pool's generation, the reply or None, None); ('', None, the
        error) when the connection was lost on the way, the call posted or
        not."""
        keys, reply_key = self._keys, self._keys.reply(self._call_id)
        args = [keys.prefix, self._request, "1" if self._has_kwargs else "0", "1"]
        while True:
            try:
                posted, reply = yield (SCRIPT_THEN, "post", [keys.fn, keys.slot, reply_key], args,
                                       *reply_pop(reply_key, time_left(deadline, CALL_SLICE)))
            except Exception as exc:
                if not connection_lost(exc):
                    raise
                return "", None, exc
            if posted != -4 or not self._failing_over(deadline):
                break
            # The servers whose heartbeats lapsed while a replica took over
            # beat again, and the pool has them back.
            yield SLEEP, time_left(deadline, OPEN_POLL)
        return posted_generation(self._name, posted, self._missing), popped(reply), None

    def _wait_reply(self, gen, deadline, lost=None):
        """The reply; None when the call was dropped from the queue, unrun,
        while the cluster failed over (it may be posted again). `gen` is ''
        when the post's reply was lost, and `lost` the lost connection that
        may have taken the post or the reply with it."""
        reply_key = self._keys.reply(self._call_id)
        while True:
            where = yield RUN, "where", [self._keys.fn, reply_key], [self._keys.prefix, gen, self._request]
            if where == b"withdrawn" and self._failing_over(deadline):
                return None
            if where in (b"dead", b"withdrawn"):
                if lost is not None or self._failing_over(None):
                    raise_call_in_doubt(self._name, lost)
                raise RuntimeError(f"Nobody serves the function '{self._name}' any more: its serving process "
                                   "has ended.")
            if where != b"ready" and passed(deadline):
                raise TimeoutError(f"The call of '{self._name}' did not end within its time limit.")
            try:
                found = popped((yield (COMMAND, *reply_pop(reply_key, time_left(deadline, CALL_SLICE)))))
            except Exception as exc:
                if not connection_lost(exc):
                    raise
                # Whether the reply went with it, the next look tells.
                lost, found = exc, None
            if found is not None:
                return found

    def _failing_over(self, deadline):
        return failing_over(self._remote._routes, deadline)

    def _withdraw(self, gen):
        """Takes back a call no server has taken yet; one being executed is
        abandoned (its reply expires)."""
        try:
            yield RUN, "withdraw", [self._keys.fn], [self._keys.prefix, gen, self._request]
        except Exception:
            pass


def posted_generation(name, posted, missing):
    """The pool's generation the post script answered, or the error of the
    call it refused (`missing` as for raise_not_a_function)."""
    if posted == -3:
        raise TypeError(f"The function '{name}' is hosted by create_function, which passes no keyword "
                        "arguments; serve it with zelvane.serve to take them.")
    if isinstance(posted, int):
        raise_not_a_function(name, posted, missing)
    return posted.decode()


class FunctionHandleCore(NamedHandle):
    """What RemoteFunctionHandle and AsyncRemoteFunctionHandle do."""

    def _setup(self, remote, name, servers):
        self._bind(remote, name)
        self._servers_seen = servers

    def _servers(self):
        if self._closed:
            raise ValueError("I/O operation on a closed function handle.")
        self._servers_seen = max(0, (yield from self._remote._live_servers(self._name)))
        return self._servers_seen

    def _call(self, args, kwargs, timeout):
        if self._closed:
            raise ValueError("I/O operation on a closed function handle.")
        deadline = deadline_of(check_timeout(timeout))
        call = Call(self._remote, self._name, handle_payload(args, kwargs), bool(kwargs),
                    MISSING_FUNCTION.format(self._name))
        return (yield from call.result(deadline))


# How many of its last replies a server keeps, to post again after a failover.
ANSWERS_KEPT = 8


class ServerCore:
    """One server of a name's pool: takes calls from the pool's queue one at
    a time, while its mirror keeps its heartbeat. The mirror gives _stopped
    (an Event) and whether the answer to a call and the take of the next
    go in one round trip (takes_with_reply)."""

    takes_with_reply = False

    def __init__(self, remote, name, func, kind):
        self._remote = remote
        self._name = name
        self._func = func
        self._kind = kind
        self._keys = remote._keys(name)
        self._sid = uuid.uuid4().hex
        self._gen = None
        self._heartbeat = None  # the heartbeat script's keys and arguments, once joined
        self._lost = False
        # The replies to the last calls, by call id, to post again if a
        # failover to a replica that missed them loses them.
        self._answers = {}

    def _join(self):
        keys = self._keys
        gen = yield RUN, "join", [keys.slot, keys.fn], [keys.prefix, self._kind, uuid.uuid4().hex, self._sid,
                                                         seconds_ms(HEARTBEAT_TTL)]
        if gen is None:
            raise MemoryError(f"The memory address '{self._name}' already exists.")
        self._gen = gen.decode()
        self._heartbeat = heartbeat_request(keys, self._gen, self._sid)

    def _leave(self):
        try:
            yield (RUN, "leave", *leave_request(self._keys, self._gen, self._sid))
        except Exception:
            # The heartbeat lapses, and the pool forgets this server.
            pass

    def _beat(self):
        """Renews the heartbeat; stops serving when the pool is gone."""
        try:
            beat = yield (RUN, "heartbeat", *self._heartbeat)
        except Exception:
            return
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
                request = yield from self._take(take, running)
            elif len(request) <= CALL_ID_SIZE:
                yield COMMAND, "LREM", running, 1, request
                return
            else:
                request = yield from self._answer(request, running, take if self.takes_with_reply else None)

    def _take(self, take, running):
        """The next call, or None when none came within the command `take`."""
        try:
            return (yield (COMMAND, *take))
        except Exception as exc:
            if not connection_lost(exc):
                raise
        # A take lost with its connection may have moved a call to the
        # server's list of running calls.
        return (yield from self._resume(running))

    def _resume(self, running):
        """After a lost connection: posts again the replies that its server,
        or the replica that took over from it, lacks, and returns the call
        that a lost take moved to the list of running calls (or None)."""
        # Newest first: only the newest can be a call this server never saw.
        found = yield COMMAND, "LRANGE", running, 0, -1
        taken = None
        for index, request in enumerate(found):
            reply = self._answers.get(request[:CALL_ID_SIZE])
            if reply is not None:
                yield from self._post_reply(request, running, reply, None)
            elif index == 0:
                taken = request
            else:
                # Answered too long ago to post again: its caller learns
                # that the call may or may not have run.
                yield COMMAND, "LREM", running, 1, request
        return taken

    def _remember(self, request, reply):
        if len(reply) < SMALLEST_BULK_LIMIT:
            self._answers[request[:CALL_ID_SIZE]] = reply
            while len(self._answers) > ANSWERS_KEPT:
                del self._answers[next(iter(self._answers))]

    def _answer(self, request, running, take):
        """Answers `request` and, given the command `take`, takes the next
        call in the same round trip (when serving goes on): the next
        request or None."""
        reply, failure = yield from self._reply_to(request)
        if failure is not None or self._stopped.is_set():
            take = None
        self._remember(request, reply)
        try:
            taken = yield from self._post_reply(request, running, reply, take)
        except Exception as exc:
            if len(reply) >= SMALLEST_BULK_LIMIT or not connection_lost(exc):
                reply, failure = reply_refused_for_length(self._kind, self._name, reply, exc)
                taken = yield from self._post_reply(request, running, reply, take)
            else:
                # The reply, the take, both or neither went through.
                taken = yield from self._resume(running)
        if failure is not None:
            raise failure
        return taken

    def _post_reply(self, request, running, reply, take):
        """Posts `reply` to `request` and, given the command `take`, takes
        the next call in the same round trip: it or None."""
        reply_key, reply = reply_route(self._keys, request, reply)
        finish = ([running, reply_key], [request, reply, seconds_ms(REPLY_TTL)])
        if take is None:
            yield (RUN, "finish", *finish)
            return None
        return (yield (SCRIPT_THEN, "finish", *finish, *take))[1]

    def _reply_to(self, request):
        """The reply, and the exception that ends serving (or None)."""
        try:
            form, args, kwargs = request_arguments(request)
        except BaseException as exc:
            return failure_reply(self._kind, exc)
        result, error = yield OUTCOME, self._func, args, kwargs
        if error is None:
            try:
                return result_reply(form, result), None
            except BaseException as exc:
                error = exc
        return failure_reply(self._kind, error)
