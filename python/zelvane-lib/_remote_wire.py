"""The Redis back end's short way to the server for the commands it sends
most: a connection of redis-py's pool kept by each thread (so that TLS, unix
sockets, AUTH and the database stay redis-py's), commands packed here and
sent with one sendall, replies read with one recv when they fit.

redis-py's own path spends far more time per command in its client
machinery than the server spends on it."""
import contextlib
import hashlib
import os
import select
import socket
import threading
import weakref

RECV_SIZE = 65536


class ReplyError(Exception):
    """An error reply, as the server worded it."""


class Broken(Exception):
    """The connection cannot carry another command: closed by the server, or
    out of step with it."""


def packed(*words):
    """A command in the server's protocol; `words` are bytes, str, int or float."""
    return b"*%d\r\n" % len(words) + packed_words(words)


def packed_words(words):
    """A command's words without the count that heads it."""
    parts = []
    for word in words:
        if word.__class__ is str:
            parts.append(_PACKED_STRINGS.get(word) or packed_string(word))
        else:
            if not isinstance(word, (bytes, bytearray, memoryview)):
                word = repr(word).encode()
            parts += (b"$%d\r\n" % len(word), word, b"\r\n")
    return b"".join(parts)


# The key names and constant words of the objects in use come back with
# every command; tokens pass once and are forgotten with the rest when the
# memo is full.
_PACKED_STRINGS = {}
PACKED_STRINGS_KEPT = 4096


def packed_string(word):
    data = word.encode()
    if len(_PACKED_STRINGS) >= PACKED_STRINGS_KEPT:
        _PACKED_STRINGS.clear()
    part = _PACKED_STRINGS[word] = b"$%d\r\n%b\r\n" % (len(data), data)
    return part


class ReplyReader:
    """Reads replies from `recv` (socket.recv's signature): simple strings,
    errors (as ReplyError instances), integers, bulk strings, arrays, nil."""

    def __init__(self, recv):
        self._recv = recv
        self._buffer = bytearray()
        self._at = 0

    def clear(self):
        self._buffer = bytearray()
        self._at = 0

    def buffered(self):
        return self._at < len(self._buffer)

    def reply(self):
        found = self._item()
        if self._at == len(self._buffer):
            self.clear()
        return found

    def _item(self):
        line = self._line()
        kind, rest = line[:1], line[1:]
        if kind == b"$":
            return self._bulk(int(rest))
        if kind == b":":
            return int(rest)
        if kind in (b"*", b">", b"~"):
            count = int(rest)
            return None if count < 0 else [self._item() for _ in range(count)]
        if kind == b"%":
            # A map (the newer protocol's), as the older one sends it: flat.
            return [self._item() for _ in range(2 * int(rest))]
        if kind == b"+":
            return rest
        if kind == b"-":
            return ReplyError(rest.decode(errors="replace"))
        if kind == b"_":
            return None
        raise Broken(f"Protocol error: unexpected reply {bytes(line[:20])!r}")

    def _line(self):
        end = self._buffer.find(b"\r\n", self._at)
        while end < 0:
            # _fill moves the unread bytes to the front; a line end may
            # straddle the old bytes and the new ones.
            unread = len(self._buffer) - self._at
            self._fill(RECV_SIZE)
            end = self._buffer.find(b"\r\n", self._at + max(0, unread - 1))
        line = bytes(self._buffer[self._at:end])
        self._at = end + 2
        return line

    def _bulk(self, size):
        if size < 0:
            return None
        while len(self._buffer) - self._at < size + 2:
            self._fill(max(RECV_SIZE, size + 2 - (len(self._buffer) - self._at)))
        data = bytes(self._buffer[self._at:self._at + size])
        self._at += size + 2
        return data

    def _fill(self, size):
        if self._at:
            del self._buffer[:self._at]
            self._at = 0
        chunk = self._recv(size)
        if not chunk:
            raise Broken("Connection closed by server.")
        self._buffer += chunk


class Script:
    """A script's first words, packed once: EVAL the first time a connection
    sends it, which teaches the server the script, EVALSHA afterwards."""

    def __init__(self, text):
        digest = hashlib.sha1(text.encode()).hexdigest()
        self.by_digest = packed_words(("EVALSHA", digest))
        self.by_text = packed_words(("EVAL", text))


def script_command(head, keys, args):
    """A script's command, `head` one of a Script's packed forms."""
    words = (len(keys), *keys, *args)
    return b"*%d\r\n" % (len(words) + 2) + head + packed_words(words)


def answer(reply):
    """A reply, or the error it reports raised as redis-py raises it."""
    if isinstance(reply, ReplyError):
        import redis
        raise redis.ResponseError(str(reply))
    return reply


def forgotten(reply):
    return isinstance(reply, ReplyError) and str(reply).startswith("NOSCRIPT")


class Line:
    """One thread's connection (in one process), taken from redis-py's pool
    and given back when the thread ends or the process forks."""

    def __init__(self, pool):
        self._connection = connection = taken_from(pool)
        # The reader holds no reference back to the line, so the line goes
        # (and its connection back to the pool) as soon as its thread ends.
        self._reader = ReplyReader(lambda size: connection._sock.recv(size))
        weakref.finalize(self, release, pool, self._connection, os.getpid())

    @contextlib.contextmanager
    def _talking(self):
        """Turns socket failures into redis-py's, and drops the connection
        on any failure: a reply left half read would be taken for the next
        command's."""
        import redis
        try:
            yield
        except socket.timeout as exc:
            self._drop(exc)
            raise redis.TimeoutError("Timeout reading from socket") from exc
        except (OSError, Broken) as exc:
            self._drop(exc)
            raise redis.ConnectionError(f"Error while talking to the server: {exc}") from exc
        except BaseException:
            self._drop(None)
            raise

    def connect(self):
        """Connects, unless connected: a failure here sent nothing."""
        self._connection.connect()

    def _send(self, payload):
        self._connection.connect()
        self._connection._sock.sendall(payload)

    def _drop(self, error):
        self._reader.clear()
        self._connection.disconnect()


class Wire(Line):
    """The connection a thread sends its commands and scripts on."""

    def __init__(self, pool):
        super().__init__(pool)
        # The scripts sent whole on this connection, which its server knows
        # unless it was told to forget them.
        self._taught = set()
        # Whether each command goes after ASKING, to a cluster node that is
        # taking in the slot of its keys.
        self.asking = False

    def run(self, script, keys, args):
        """The reply of `script` run with `keys` and `args`."""
        (reply,) = self.exchange(script_command(self._head(script), keys, args), 1)
        if forgotten(reply):
            self._taught.discard(script)
            (reply,) = self.exchange(script_command(self._head(script), keys, args), 1)
        return answer(reply)

    def run_then(self, script, keys, args, *command):
        """Both replies of `script` and then `command`, sent at once. A script
        the server forgot runs after the command; those sent this way allow
        it (the command waits for what the script would have sent it, at
        most its timeout)."""
        replies = self.exchange(script_command(self._head(script), keys, args) + packed(*command), 2)
        if forgotten(replies[0]):
            self._taught.discard(script)
            replies[0] = self.run(script, keys, args)
        return [answer(reply) for reply in replies]

    def run_many(self, script, calls):
        """The replies of `script` run once for each (keys, args) of `calls`,
        all sent at once; an error reply stays a ReplyError, for its call
        alone to raise."""
        replies = self.exchange(b"".join(script_command(self._head(script), keys, args) for keys, args in calls),
                                len(calls))
        for at, reply in enumerate(replies):
            if forgotten(reply):
                self._taught.discard(script)
                (replies[at],) = self.exchange(script_command(self._head(script), *calls[at]), 1)
        return replies

    def _head(self, script):
        if script in self._taught:
            return script.by_digest
        self._taught.add(script)
        return script.by_text

    def command(self, *words):
        return answer(self.exchange(packed(*words), 1)[0])

    def exchange(self, payload, count):
        """Sends `payload` and reads `count` replies, through redis-py's retry
        policy for a dropped connection."""
        retry = self._connection.retry
        return retry.call_with_retry(lambda: self._exchange_once(payload, count), self._drop)

    def _exchange_once(self, payload, count):
        sock = self._connection._sock
        if sock is not None and select.select([sock], [], [], 0)[0]:
            # Nothing is due between exchanges: the server has closed the
            # connection (restarted, or timed it out). redis-py's pool looks
            # the same way before it hands a connection out.
            self._drop(None)
        with self._talking():
            if self.asking:
                self._send(_ASKING + payload)
                self._reader.reply()
            else:
                self._send(payload)
            return [self._reader.reply() for _ in range(count)]

    def _drop(self, error):
        super()._drop(error)
        self._taught.clear()


class Subscriber(Line):
    """The connection a thread waits for published messages on. What it
    leaves unread stays in order ahead of the next reply it waits for."""

    def send(self, *words):
        with self._talking():
            self._send(packed(*words))

    def next_reply(self, timeout):
        """The next reply, or None when none came within `timeout` seconds."""
        with self._talking():
            if not self._reader.buffered() and not self._readable(timeout):
                return None
            return answer(self._reader.reply())

    def _readable(self, timeout):
        sock = self._connection._sock
        if sock is None:
            raise Broken("Not connected.")
        # A TLS socket may hold decrypted bytes that select cannot see.
        pending = getattr(sock, "pending", None)
        return (pending is not None and pending() > 0) or bool(select.select([sock], [], [], timeout)[0])

    def unsubscribe(self, command, channel):
        """Leaves `channel` with `command` (UNSUBSCRIBE, SUNSUBSCRIBE),
        unless the connection went (and the subscription with it)."""
        if self._connection._sock is not None:
            self.send(command, channel)

    def drop(self):
        self._drop(None)


_ASKING = packed("ASKING")


def taken_from(pool):
    """A connection of redis-py's pool; before redis-py 5.3 it asks for the
    name of the command the connection is for, which no longer matters."""
    try:
        return pool.get_connection()
    except TypeError:
        return pool.get_connection("PING")


def release(pool, connection, pid):
    if os.getpid() == pid:
        pool.release(connection)


class Lines:
    """The calling thread's Line of one kind, made on its first use."""

    def __init__(self, kind, pool):
        self._kind = kind
        self._pool = pool
        self._local = threading.local()

    def get(self):
        line = getattr(self._local, "line", None)
        if line is None or line[0] != os.getpid():
            line = self._local.line = (os.getpid(), self._kind(self._pool))
        return line[1]
