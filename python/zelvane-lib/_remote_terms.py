"""The Redis back end's terms: argument checks with the module's messages,
requests and replies as they travel and what they mean, key names, and the
errors of an unreachable server."""
import functools
import math
import operator
import time
import traceback
import uuid
from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

import zelvane
from zelvane._remote_scripts import (LOCK_LEASE, INLINE_VALUE, HEARTBEAT_TTL, POOL_TTL, MESSAGE_SIZE,
    SMALLEST_BULK_LIMIT, CALL_ID_SIZE, CALL_FUNCTION, HANDLE_ARGS, HANDLE_KWARGS, GATHERED_ARGS,
    GATHERED_KWARGS, REPLY_RESULT, REPLY_EXCEPTION,
    REPLY_NULL, NULL_MESSAGE, RESULT_TOO_LARGE, SCRIPTS)


def public_url(url):
    """The URL without its user name and password, to put in messages."""
    parts = urlsplit(url)
    host = parts.netloc.rpartition("@")[2]
    query = urlencode([(key, value) for key, value in parse_qsl(parts.query) if key != "password"])
    return urlunsplit((parts.scheme, host, parts.path, query, parts.fragment))


def has_credentials(url):
    """Whether `url` names a user or a password, which public_url leaves out."""
    parts = urlsplit(url)
    return bool(parts.username or parts.password
                or any(key in ("username", "password") for key, _ in parse_qsl(parts.query)))


def check_timeout(value, what="timeout"):
    """`value` in seconds, or None; refused with the errors of the local
    calls, which take whatever converts to a float."""
    if value is None:
        return None
    kind = type(value)
    try:
        if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
            raise TypeError
        seconds = float(value)
    except TypeError:
        raise TypeError(f"{what} must be a number of seconds or None, not {kind.__name__}") from None
    if not (seconds >= 0.0 and math.isfinite(seconds)):
        raise ValueError(f"{what} must be a non-negative, finite number of seconds or None")
    return seconds


def servers_wanted(servers):
    """The number of live servers open_function(servers=) asks for: 0 for None."""
    if servers is None:
        return 0
    wanted = operator.index(servers)
    if wanted < 1:
        raise ValueError("servers must be a positive number of servers or None")
    return wanted


def deadline_of(timeout):
    return None if timeout is None else time.monotonic() + timeout


def time_left(deadline, most):
    """The next wait: at most `most` seconds, and not beyond the deadline."""
    if deadline is None:
        return most
    return max(0.0, min(most, deadline - time.monotonic()))


def passed(deadline):
    return deadline is not None and time.monotonic() >= deadline


def check_name(name, message):
    if not isinstance(name, str) or "\0" in name:
        raise ValueError(message)


# The argument checks of the module's functions, with their messages.

def check_create_memory(name, prealloc_size, error_if_exists):
    message = "Expected at least the name (str) argument."
    check_name(name, message)
    if not isinstance(prealloc_size, int) or not isinstance(error_if_exists, bool):
        raise ValueError(message)
    if not 0 <= prealloc_size < 2**64:
        raise ValueError("The given pre-allocate size is too large.")


def check_remove_memory(name, throw_error):
    check_name(name, "Expected at least the 'name' (str) argument.")
    if not isinstance(throw_error, bool):
        raise ValueError("Expected at least the 'name' (str) argument.")


def check_write_memory(name, create):
    message = "Expected at least the 'name' (str) and 'value' (any) arguments."
    check_name(name, message)
    if not isinstance(create, bool):
        raise ValueError(message)


def check_create_function(name, func):
    check_name(name, "Expected a 'str' and 'callable' type.")
    if not callable(func):
        raise ValueError("Expected a 'str' and 'callable' type.")


def check_serve(name, func):
    if not isinstance(name, str):
        raise TypeError(f"serve() argument 1 must be str, not {type(name).__name__}")
    if not callable(func):
        raise TypeError("serve() expects a callable to serve.")


def call_payload(name, args):
    """The request of call_function(name, args), within its 1024-byte limit."""
    check_name(name, "Expected a 'str' and 'tuple' type.")
    if not isinstance(args, tuple):
        raise ValueError("Expected a 'str' and 'tuple' type.")
    payload = zelvane.dumps(args)
    if len(payload) > MESSAGE_SIZE:
        raise ValueError("The received args exceed the maximum accepted arg size of 1024 bytes.")
    return CALL_FUNCTION + payload


def handle_payload(args, kwargs, gathered=False):
    """The request of a handle's call; `gathered` for an executor's."""
    if kwargs:
        return (GATHERED_KWARGS if gathered else HANDLE_KWARGS) + zelvane.dumps((args, kwargs))
    return (GATHERED_ARGS if gathered else HANDLE_ARGS) + zelvane.dumps(args)


class Keys:
    """The key names of one object."""

    __slots__ = ("prefix", "slot", "val", "lock", "waiters", "channel", "fn")

    def __init__(self, namespace, name):
        self.prefix = f"{{{namespace}:{name}}}"
        self.slot = self.prefix + ":slot"
        self.val = self.prefix + ":val"
        self.lock = self.prefix + ":lock"
        self.waiters = self.prefix + ":waiters"
        self.channel = self.prefix + ":ch"
        self.fn = self.prefix + ":fn"

    def queue(self, gen):
        return f"{self.prefix}:q:{gen}"

    def servers(self, gen):
        return f"{self.prefix}:srv:{gen}"

    def heartbeat(self, sid):
        return f"{self.prefix}:hb:{sid}"

    def ended(self, gen):
        return f"{self.prefix}:end:{gen}"

    def running(self, sid):
        return f"{self.prefix}:run:{sid}"

    def reply(self, call_id):
        return f"{self.prefix}:r:{call_id}"

    def wake(self, token):
        return f"{self.prefix}:wake:{token}"

    def stage(self):
        return f"{self.prefix}:stage:{uuid.uuid4().hex}"


# Every operation names its object's keys: the names of the objects in use
# are made once.
keys_of = functools.lru_cache(maxsize=1024)(Keys)


def read_request(keys, token, limit=""):
    """The keys and arguments of the read script; a plain read (no token,
    the usual limit) sends no arguments at all."""
    script_keys = [keys.slot, keys.fn, keys.lock, keys.val]
    if not token and limit == str(INLINE_VALUE):
        return script_keys, []
    return script_keys, [limit, token]


def lock_request(keys, token, with_value, then_pop=False):
    """The keys and arguments of the lock script; `then_pop` when a pop of
    the token's wake key follows in the same round trip."""
    script_keys = [keys.slot, keys.fn, keys.lock, keys.waiters, keys.val]
    args = [token, seconds_ms(LOCK_LEASE), "1" if with_value else "0"]
    if then_pop:
        return script_keys + [keys.wake(token)], args + ["1"]
    return script_keys, args


def write_request(keys, data, create, token, release, stage):
    """The keys and arguments of the write script; with a stage key, the
    value goes there beside the script. A plain write (no lock, no stage)
    leaves out what only the others need."""
    script_keys = [keys.slot, keys.fn, keys.lock, keys.val]
    if not token and not release and stage is None:
        return script_keys, [data, "1" if create else "0"]
    return (script_keys + [keys.waiters, stage or keys.val],
            [b"" if stage else data, "1" if create else "0", token, "1" if release else "0",
             seconds_ms(LOCK_LEASE), "1" if stage else "0"])


def heartbeat_request(keys, gen, sid):
    """The keys and arguments of the heartbeat script."""
    return ([keys.fn, keys.servers(gen), keys.heartbeat(sid), keys.queue(gen), keys.ended(gen)],
            [gen, sid, seconds_ms(HEARTBEAT_TTL), seconds_ms(POOL_TTL)])


def leave_request(keys, gen, sid):
    """The keys and arguments of the script a server leaves its pool with."""
    return ([keys.fn, keys.servers(gen), keys.heartbeat(sid), keys.running(sid), keys.queue(gen)],
            [keys.prefix, gen, sid])


def is_left_out(found):
    """Whether the read script left a long value out."""
    return isinstance(found, list) and found[0] == 1


def made(cls, *args):
    """An instance of one of the classes that users get from functions only."""
    instance = object.__new__(cls)
    instance._setup(*args)
    return instance


def seconds_ms(seconds):
    return int(seconds * 1000)


def remote_report(exc):
    """What goes back to the caller of a served function that raised `exc`."""
    cls = type(exc)
    text = _exception_text(exc)
    trace = "".join(traceback.format_exception(cls, exc, exc.__traceback__))
    report = (getattr(cls, "__module__", "builtins"), getattr(cls, "__qualname__", cls.__name__),
              exc.args, text, trace)
    try:
        return zelvane.dumps(report)
    except Exception:
        return zelvane.dumps(report[:2] + (None,) + report[3:])


def _exception_text(exc):
    try:
        return str(exc)
    except Exception:
        return "<unprintable exception>"


def decoded_reply(name, reply):
    """The result a reply carries, or the exception it reports raised."""
    kind, payload = reply[:1], reply[1:]
    if kind == REPLY_RESULT:
        return zelvane.loads(payload)
    if kind == REPLY_NULL:
        raise RuntimeError(NULL_MESSAGE)
    raise raised_again(name, zelvane.loads(payload))


def raised_again(name, report):
    """The exception a report describes, caused by the server's traceback:
    the module's own reading of a served function's report."""
    try:
        return zelvane._remote_exception(name, report)
    except RuntimeError as error:  # a report that names nothing
        return error


class NamedHandle:
    """What the Redis back end's handles share: bound to a name on a Remote
    (not to an object, which Redis does not have), usable until close()."""

    _kind = "handle"
    _opener = ""  # the name of the Remote's method that opens one, for pickling

    def _bind(self, remote, name):
        self._remote = remote
        self._name = name
        self._closed = False

    name = property(lambda self: self._name, doc="The name the handle was opened with.")
    closed = property(lambda self: self._closed, doc="True once the handle is closed.")

    def __repr__(self):
        return f"<zelvane {self._kind} {self._name!r} {'closed' if self._closed else 'open'}>"

    def close(self):
        """Lets go of the handle; later uses raise ValueError."""
        self._closed = True

    def __reduce__(self):
        if self._closed:
            raise ValueError(f"Cannot pickle a closed {self._kind} of '{self._name}'.")
        return self._remote._reopening(self._opener, self._name)


def queue_script(pipe, script, keys, args):
    """Queues `script` in the transaction `pipe` by its text: a script the
    server forgets between redis-py's check and the transaction (SCRIPT
    FLUSH) runs all the same, as a script sent whole by a wire does."""
    pipe.eval(SCRIPTS[script], len(keys), *keys, *args)


def stored(name, found):
    """The encoded value (or None), whether capacity was reserved, and the
    version, from what the read and lock scripts found."""
    if found == -1:
        raise MemoryError(f"Failed to open shared memory address '{name}'.")
    if found == -3:
        raise MemoryError(f"The shared memory address '{name}' does not hold a value slot.")
    data, reserved, version = found[:3]
    return data, reserved is not None, int(version or 0)


def fence_of(found):
    """The fencing token of a grant of the lock, from what the lock and
    read scripts found for its holder: the number of grants of the slot's
    lock so far."""
    return int(found[3] or 0)


def raise_write_failed(name, code):
    if code == -1:
        raise MemoryError(f"Failed to open shared memory address '{name}'.")
    if code == -3:
        raise MemoryError(f"The shared memory address '{name}' does not hold a value slot.")
    raise RuntimeError(f"The lease of the lock of slot '{name}' ran out before this write (its holder was paused "
                       f"or cut off for over {LOCK_LEASE:g} seconds) and the lock may be another's now: the write "
                       "was refused.")


def handed_state(state):
    """What the read script would find, from the state a hand-over carried."""
    if state == b"!":
        return -1
    if state == b"-":
        return 1
    version, _, rest = state[1:].partition(b":")
    fence, _, data = rest.partition(b":")
    return [data or None, b"1" if state[:1] == b"z" else None, version, fence]


def read_value(data, reserved):
    if data is not None:
        return zelvane.loads(data)
    if reserved:
        # Reserved capacity never written reads as the zero bytes it holds
        # on one host.
        return zelvane.loads(b"\0")
    return None


MISSING_FUNCTION = "No function '{}' is served; open_function(name, wait=seconds) waits for a server"
MISSING_SLOT = "No value slot '{}' exists; open_memory(name, create=False, wait=seconds) waits for one."


def raise_not_a_function(name, code, missing=None):
    """The error of a name that holds no served function: `missing` words
    the case of a name that holds nothing (the seven functions' own words
    when None)."""
    if code == -2:
        raise MemoryError(f"The shared memory address '{name}' does not hold a hosted function.")
    if code == -4:
        raise RuntimeError(f"Nobody serves the function '{name}' any more: its serving process has ended.")
    raise MemoryError(missing or "Failed to open the shared memory.")


class Reachable:
    """Turns redis-py's connection failures into ones that name the server
    (without credentials)."""

    def __init__(self, url):
        self.url = url

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        import redis
        if isinstance(exc, (redis.ConnectionError, redis.TimeoutError)):
            raise redis.ConnectionError(f"Cannot reach Redis at {self.url}: {exc}") from exc
        return False


def raise_pool_lost(url, name):
    """A pool that went with the Redis server's data ends its servers as an
    unreachable server does: a restarted server is no removal."""
    import redis
    raise redis.ConnectionError(f"Cannot reach Redis at {url}: the server lost the pool of '{name}' while it "
                                "was served (restarted or flushed); serve it again")


def connection_lost(exc):
    """Whether `exc` is a lost (or timed out) connection to Redis."""
    import redis
    return isinstance(exc, (redis.ConnectionError, redis.TimeoutError))


def raise_call_in_doubt(name, cause=None):
    """A call whose request or reply went with a lost connection or a failover."""
    raise call_in_doubt(name, cause) from cause


def call_in_doubt(name, cause=None):
    """The error raise_call_in_doubt raises."""
    import redis
    detail = f": {cause}" if cause is not None else "."
    error = redis.ConnectionError(f"The connection to Redis was lost during the call of '{name}', which may or may "
                                  f"not have run{detail}")
    error.__cause__ = cause
    return error


def reply_pop(key, wait):
    """The command that takes a reply from `key`, waiting at most `wait`
    seconds (a blocking pop with no time at all would block for ever)."""
    if wait <= 0:
        return "LPOP", key
    return "BLPOP", key, wait


def popped(found):
    """The item that reply_pop's command took, or None."""
    return found[1] if isinstance(found, (list, tuple)) else found


def request_arguments(request):
    """A request's form, positional and keyword arguments."""
    form, payload = request[CALL_ID_SIZE:CALL_ID_SIZE + 1], request[CALL_ID_SIZE + 1:]
    if form in (HANDLE_KWARGS, GATHERED_KWARGS):
        args, kwargs = zelvane.loads(payload)
    else:
        args, kwargs = zelvane.loads(payload), {}
    if not isinstance(args, tuple) or not isinstance(kwargs, dict):
        raise ValueError("Likely received an invalid bytes object: the arguments are not a tuple.")
    return form, args, kwargs


def reply_route(keys, request, reply):
    """The key the reply to `request` goes to, and what goes there: an
    executor's calls share one list, where each reply carries its tag."""
    call_id = request[:CALL_ID_SIZE]
    if request[CALL_ID_SIZE:CALL_ID_SIZE + 1] in (GATHERED_ARGS, GATHERED_KWARGS):
        half = CALL_ID_SIZE // 2
        return keys.reply(call_id[:half].decode()), call_id[half:] + reply
    return keys.reply(call_id.decode()), reply


def result_reply(form, result):
    data = zelvane.dumps(result)
    if form == CALL_FUNCTION and len(data) > MESSAGE_SIZE:
        raise ValueError(RESULT_TOO_LARGE)
    return REPLY_RESULT + data


def failure_reply(kind, exc):
    """The reply to a call that raised `exc`, and the exception that ends
    serving (or None): any failure ends a create_function server, which
    answers with the null message; a pool's server reports it and goes on,
    unless it is not an Exception (KeyboardInterrupt, SystemExit)."""
    if kind == "create":
        return REPLY_NULL, exc
    ends = not isinstance(exc, Exception)
    return REPLY_EXCEPTION + remote_report(exc), exc if ends else None


def reply_refused_for_length(kind, name, reply, error):
    """The reply that tells a caller its result was too long for the Redis
    server (which answers a value over its proto-max-bulk-len with an error
    and a closed connection), and the exception that ends serving (or
    None); `error` raised again when it cannot be that."""
    import redis
    if len(reply) < SMALLEST_BULK_LIMIT or not isinstance(error, (redis.ConnectionError, redis.ResponseError)):
        raise error
    return failure_reply(kind, ValueError(f"The result of '{name}' is {len(reply) - 1} bytes encoded, more than "
                                          "the Redis server takes in one value (its proto-max-bulk-len)."))


def check_connect_arguments(url, namespace):
    if not isinstance(url, str):
        raise TypeError(f"url must be a str, not {type(url).__name__}")
    # The namespace is part of every key's hash tag "{namespace:name}".
    if not isinstance(namespace, str) or not namespace or any(c in namespace for c in ":{}\0"):
        raise ValueError("namespace must be a non-empty str without ':', '{', '}' or NUL characters")


def import_redis(module):
    """redis-py's `module`, or an ImportError that tells how to install it."""
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ModuleNotFoundError("zelvane.connect needs redis-py: pip install 'zelvane[redis]'",
                                  name="redis") from exc
