"""The zelvane command on Redis: `ls --url` and `show --url` list and show
a namespace's objects on one server or on every master of a cluster. They
only read: a server whose heartbeat lapsed is counted out, not removed."""
import re
import time

import zelvane
from zelvane._remote_cluster import object_name
from zelvane._remote_core import COMMAND
from zelvane_cli import served_text

SLOT, FUNCTION, QUEUE = "slot", "function", "queue"
# The key that marks each kind of object (a queue's marker is :fn too).
MARKERS = (":slot", ":fn")
SCAN_BATCH = 1000


class Unreachable(Exception):
    """Redis could not be reached, or refused a command: the reason."""


def connected(url, namespace):
    """A Remote on `url`, or Unreachable."""
    import redis
    try:
        return zelvane.connect(url, namespace=namespace)
    except redis.RedisError as exc:
        raise Unreachable(str(exc)) from None


def masters(remote):
    """A client of each server that holds the namespace's keys: the server,
    or every master of a cluster."""
    import redis
    if remote._routes is None:
        return [remote._client]
    return [redis.Redis(connection_pool=remote._routes.pool(address)) for address in remote._routes.masters()]


def object_names(remote):
    """The names of the namespace's objects, by a SCAN of each master."""
    namespace = remote.namespace
    # The namespace's own glob characters match only themselves.
    escaped = re.sub(r"([*?\[\]\\])", r"\\\1", namespace)
    names = set()
    for client in masters(remote):
        for marker in MARKERS:
            for key in client.scan_iter(match=f"{{{escaped}:*}}{marker}", count=SCAN_BATCH):
                names.add(object_name(key.decode(errors="replace"), namespace))
    return sorted(names)


def _read(*words):
    """A command that only reads, routed by its key (the second word)."""
    return (yield (COMMAND, *words))


def _ask(remote, *words):
    return remote._drive(_read(*words))


def describe(remote, name):
    """What `name` holds, as a dict like the local objects' entries, or None."""
    keys = remote._keys(name)
    version, reserved, incarnation = _ask(remote, "HMGET", keys.slot, "ver", "z", "tmp")
    if version is not None:
        entry = {"name": name, "kind": SLOT, "size": _ask(remote, "STRLEN", keys.val), "version": int(version),
                 "reserved": reserved is not None, "locked": bool(_ask(remote, "EXISTS", keys.lock))}
        entry["holds_value"] = entry["size"] > 0
        return _with_lifetime(remote, keys, entry, incarnation)
    kind, gen, maxsize, incarnation = _ask(remote, "HMGET", keys.fn, "kind", "gen", "maxsize", "tmp")
    if kind == b"queue":
        entry = {"name": name, "kind": QUEUE, "size": None, "length": _ask(remote, "LLEN", keys.prefix + ":items"),
                 "maxsize": int(maxsize or 0), "consumers": _ask(remote, "SCARD", keys.prefix + ":consumers")}
        return _with_lifetime(remote, keys, entry, incarnation)
    if gen is not None:
        return {"name": name, "kind": FUNCTION, "size": None, "pool": kind == b"serve",
                **_pool_state(remote, keys, gen.decode())}
    return None


def _pool_state(remote, keys, gen):
    servers = [sid.decode() for sid in _ask(remote, "SMEMBERS", keys.servers(gen))]
    live = [sid for sid in servers if _ask(remote, "EXISTS", keys.heartbeat(sid))]
    return {"servers": len(live), "served": bool(live), "calls_waiting": _ask(remote, "LLEN", keys.queue(gen)),
            "calls_in_flight": sum(_ask(remote, "LLEN", keys.running(sid)) for sid in live)}


def _with_lifetime(remote, keys, entry, incarnation):
    entry["temporary"] = incarnation is not None
    if incarnation is not None:
        # The holders whose leases have not run out (by this host's clock).
        now_ms = int(time.time() * 1000)
        entry["holders"] = _ask(remote, "ZCOUNT", keys.prefix + ":holders", now_ms, "+inf")
    return entry


def all_entries(remote):
    entries = []
    for name in object_names(remote):
        entry = describe(remote, name)
        if entry is not None:  # removed while we looked
            entries.append(entry)
    return entries


def value_of(remote, name):
    """The value of slot `name`, and whether it was ever written. A write
    replaces the value whole, so reading it needs no lock."""
    data = _ask(remote, "GET", remote._keys(name).val)
    return (None, False) if data is None else (zelvane.loads(data), True)


def detail_text(entry):
    if entry["kind"] == SLOT:
        text = f"version {entry['version']}, " + ("holds a value" if entry["holds_value"] else "empty")
        return text + (", locked" if entry["locked"] else "")
    if entry["kind"] == QUEUE:
        return f"length {entry['length']}, capacity {entry['maxsize'] or 'unbounded'}"
    return f"{entry['calls_waiting']} waiting, {entry['calls_in_flight']} in flight"


def row(entry, lifetime_text):
    size = "" if entry["size"] is None else str(entry["size"])
    return entry["name"], entry["kind"], size, detail_text(entry), served_text(entry), lifetime_text(entry)
