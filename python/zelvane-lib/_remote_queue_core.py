"""Queues and temporary objects on Redis, written once for both mirrors as
the operations of zelvane._remote_core are: generators that yield the I/O
they need. The scripts and the key layout are in _remote_queue_scripts.

A get waits for an item with BLMOVE into a list of the consumer's own, under
a lease its mirror renews while it waits: an item that an interrupted wait
or a dead consumer leaves there goes back to the head of the queue, so a
plain get loses no item it did not return, and a reliable one
(get_reliably) keeps its item there until its block ends.
"""
import functools
import os
import queue
import uuid

import zelvane
from zelvane._remote_core import RUN, COMMAND, CLEANUP
from zelvane._remote_scripts import LOCK_LEASE
from zelvane._remote_terms import deadline_of, time_left, passed, seconds_ms, made, NamedHandle, reply_pop

# The longest a get or put waits in one command; between two, a waiting
# consumer brings back the items of consumers whose lease ran out.
QUEUE_SLICE = 0.5
# Redis reads a blocking timeout under a millisecond as none at all.
SHORTEST_WAIT = 0.01


def queue_timeout(timeout):
    """The seconds `timeout` gives (None for no limit), checked as the local
    queues check it."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if not 0 <= timeout < float("inf"):
        raise ValueError("timeout must be a non-negative, finite number of seconds or None")
    return float(timeout)


def check_open_queue(name, maxsize, create):
    if not isinstance(name, str):
        raise TypeError(f"open_queue() argument 'name' must be str, not {type(name).__name__}")
    if "\0" in name:
        raise ValueError("embedded null character")
    if not isinstance(maxsize, int):
        raise TypeError(f"'{type(maxsize).__name__}' object cannot be interpreted as an integer")
    return max(0, maxsize), bool(create)


def raise_not_a_queue(name, code):
    if code == -1:
        raise MemoryError(f"Failed to open shared memory address '{name}'.")
    if code == -2:
        raise MemoryError(f"The shared memory address '{name}' does not hold a queue.")
    raise_lifetime(name, code)


def raise_lifetime(name, code):
    if code == -4:
        raise ValueError(f"The shared memory address '{name}' is permanent: open it without temporary=True.")
    if code == -5:
        raise ValueError(f"The shared memory address '{name}' is temporary: open it with temporary=True.")


class Temporary:
    """A process's hold on a temporary object: renewed by its mirror's lease
    keeper while held, which keeps the object's keys from expiring."""

    def __init__(self, remote, marker, prefix, incarnation):
        self._remote = remote
        self._marker = marker
        self._holders = prefix + ":holders"
        self._prefix = prefix
        self._incarnation = incarnation
        self._hid = None

    @staticmethod
    def new_holder():
        return uuid.uuid4().hex

    def keep(self, hid):
        """Starts renewing the hold of `hid`, which the opening script took."""
        self._hid = hid
        self._remote._leases.hold(self._holders, hid, functools.partial(renew_temporary, self))

    def stop(self):
        """Stops renewing the hold, which lapses after its lease; the hold's id."""
        hid, self._hid = self._hid, None
        if hid is not None:
            self._remote._leases.let_go(hid)
        return hid

    def leave(self):
        """Lets go; the last holder removes the object."""
        hid = self.stop()
        if hid is None:
            return
        try:
            yield RUN, "leave_temporary", [self._marker, self._holders], [self._prefix, self._incarnation, hid]
        except Exception:
            # Unreachable: the object expires once nobody renews it.
            pass


def renew_temporary(held, holders, hid):
    """Renews `hid`'s hold on a temporary object (a lease keeper's renewal)."""
    yield (RUN, "renew_temporary", [held._marker, holders],
           [held._prefix, held._incarnation, hid, seconds_ms(LOCK_LEASE)])


def open_memory(remote, name, create, temporary, handle_class):
    """A slot's handle, made when `create`; a temporary one is held by this
    process until its handle closes."""
    if not isinstance(name, str) or "\0" in name:
        raise ValueError("Expected at least the name (str) argument.")
    keys = remote._keys(name)
    hid = Temporary.new_holder() if temporary else ""
    found = yield (RUN, "open_slot", [keys.slot, keys.fn, keys.prefix + ":holders"],
                   [keys.prefix, "1" if create else "0", uuid.uuid4().hex if temporary else "", hid,
                    seconds_ms(LOCK_LEASE)])
    if found == -1:
        raise MemoryError(f"No value slot '{name}' exists; open_memory(name, create=False, wait=seconds) waits "
                          "for one.")
    if found == -3:
        kind = yield COMMAND, "HGET", keys.fn, "kind"
        held = "a queue" if kind == b"queue" else "a function"
        raise MemoryError(f"The name '{name}' holds {held}, not a value slot.")
    if isinstance(found, int):
        raise_lifetime(name, found)
    handle = made(handle_class, remote, name, int(found[0]))
    if temporary:
        handle._temporary = Temporary(remote, keys.slot, keys.prefix, found[1].decode())
        handle._temporary.keep(hid)
        handle._opener = "open_memory_temporary"
    return handle


def open_queue(remote, name, maxsize, create, temporary, handle_class):
    maxsize, create = check_open_queue(name, maxsize, create)
    keys = remote._keys(name)
    hid = Temporary.new_holder() if temporary else ""
    found = yield (RUN, "open_queue", [keys.fn, keys.slot, keys.prefix + ":holders"],
                   [maxsize, "1" if create else "0", uuid.uuid4().hex if temporary else "", keys.prefix, hid,
                    seconds_ms(LOCK_LEASE)])
    if isinstance(found, int):
        raise_not_a_queue(name, found)
    if found[0] == -6:
        raise ValueError(f"The queue '{name}' has maxsize {found[1]}, not {maxsize}.")
    held = None
    if temporary:
        held = Temporary(remote, keys.fn, keys.prefix, found[1].decode())
        held.keep(hid)
    return made(handle_class, remote, name, int(found[0]), held)


class QueueHandleCore(NamedHandle):
    """What RemoteQueueHandle and AsyncRemoteQueueHandle do."""

    _opener = "open_queue"

    def _setup(self, remote, name, maxsize, temporary):
        self._bind(remote, name)
        self._maxsize = maxsize
        self._temporary = temporary
        if temporary is not None:
            self._opener = "open_queue_temporary"
        keys = remote._keys(name)
        self._prefix = keys.prefix
        self._items = keys.prefix + ":items"
        self._room = keys.prefix + ":room"
        self._marker_keys = [keys.fn, keys.slot]

    maxsize = property(lambda self: self._maxsize, doc="The bound on the items the queue holds; 0 for none.")

    def __repr__(self):
        return (f"<zelvane.{type(self).__name__} name={self._name!r} maxsize={self._maxsize}"
                f"{' closed' if self._closed else ''}>")

    def _check_open(self):
        if self._closed:
            raise ValueError(f"I/O operation on a closed queue handle of '{self._name}'.")

    def _close(self):
        self._closed = True
        if self._temporary is not None:
            yield from self._temporary.leave()

    # -- put

    def _put(self, item, block, timeout):
        self._check_open()
        deadline = deadline_of(queue_timeout(timeout))
        data = zelvane.dumps(item)
        while True:
            length = yield RUN, "queue_put", [*self._marker_keys, self._items], [data, self._prefix]
            if length > 0:
                return None
            if length < 0:
                raise_not_a_queue(self._name, length)
            if not block or passed(deadline):
                raise queue.Full
            # A get that makes room leaves word of it here.
            yield (COMMAND, *reply_pop(self._room, time_left(deadline, QUEUE_SLICE)))

    # -- get

    def _get(self, block, timeout):
        """The next item, which this process had once this returns."""
        self._check_open()
        deadline = deadline_of(queue_timeout(timeout))
        data, _ = yield from self._take("pop", bool(block), deadline)
        return zelvane.loads(data)

    def _reserve(self, deadline, reservation_class):
        """get_reliably's reservation of the next item; an item that does
        not decode goes back."""
        data, cid = yield from self._take("hold", True, deadline)
        held = reservation_class(self, data, cid)
        try:
            held._item = zelvane.loads(data)
        except BaseException:
            yield CLEANUP, held._end(False)
            raise
        return held

    def _take(self, how, block, deadline):
        """(the encoded item, the consumer id); between waits, the items of
        dead consumers come back to the head of the queue."""
        cid = uuid.uuid4().hex
        held, lease = f"{self._prefix}:held:{cid}", f"{self._prefix}:lease:{cid}"
        keys = [*self._marker_keys, self._items, held, lease]
        args = [self._prefix, cid, seconds_ms(LOCK_LEASE), how, "1" if block else "0"]
        leases = self._remote._leases
        registered = False
        try:
            while True:
                found = yield RUN, "queue_take", keys, args
                if isinstance(found, bytes):
                    if how == "hold":
                        leases.hold(lease, cid)
                    elif registered:
                        yield from self._finish(cid, b"")
                    return found, cid
                if found < 0:
                    raise_not_a_queue(self._name, found)
                if not block or passed(deadline):
                    raise queue.Empty
                registered = True
                leases.hold(lease, cid)
                wait = max(SHORTEST_WAIT, time_left(deadline, QUEUE_SLICE))
                moved = yield COMMAND, "BLMOVE", self._items, held, "LEFT", "LEFT", wait
                if moved is not None:
                    if how == "pop":
                        yield from self._finish(cid, moved)
                    return moved, cid
        except BaseException:
            if registered:
                yield CLEANUP, self._finish_quietly(cid)
            raise

    def _finish(self, cid, data):
        """Ends consumer `cid`'s hold: `data` done (b'' for none), anything
        else it holds back at the head of the queue. Whether it still held
        `data`."""
        self._remote._leases.let_go(cid)
        return bool((yield RUN, "queue_finish", self._marker_keys, [self._prefix, cid, data]))

    def _finish_quietly(self, cid):
        try:
            yield from self._finish(cid, b"")
        except Exception:
            # Unreachable: the lease runs out and the next get takes the item back.
            pass

    # -- the rest of queue.Queue's methods

    def _counts(self):
        self._check_open()
        found = yield RUN, "queue_length", [*self._marker_keys, self._items], [self._prefix]
        if isinstance(found, int):
            raise_not_a_queue(self._name, found)
        return found

    def _qsize(self):
        return (yield from self._counts())[0]

    def _empty(self):
        return (yield from self._counts())[0] == 0

    def _full(self):
        length, bound = yield from self._counts()
        return 0 < bound <= length


class ReservationCore:
    """An item taken by get_reliably(), held (by a consumer id with a lease)
    until its block ends: done when it ends normally, back at the head of
    the queue otherwise."""

    def __init__(self, handle, data, cid):
        self._handle = handle
        self._data = data
        self._cid = cid
        self._pid = os.getpid()
        self._ended = False
        self._item = None

    def __repr__(self):
        if self._ended:
            return "<zelvane.QueueReservation ended>"
        return f"<zelvane.QueueReservation of '{self._handle.name}'>"

    def _entered(self):
        if self._ended:
            raise ValueError("The reservation has ended.")
        return self._item

    def _end(self, done):
        """Done or given back; a fork child's copy of its parent's
        reservation ends without touching it."""
        if self._ended:
            return
        self._ended = True
        self._item = None
        if self._pid != os.getpid():
            return
        if not (yield from self._handle._finish(self._cid, self._data if done else b"")) and done:
            raise RuntimeError(f"The item taken from queue '{self._handle.name}' is no longer held by this "
                               "process.")
