"""The zelvane command: lists, shows and removes what zelvane keeps in
/dev/shm, and cleans up what crashed processes left: the records of hosted
functions whose server died, and temporary slots, arrays and queues that no
process holds any more. With --url, ls and show look at a namespace on a
Redis server or cluster instead (zelvane_cli.remote).

Objects carry no type tag; they are recognised by the same checks of their
content that the module makes before it touches one, and anything else is
left alone."""
import argparse
import fcntl
import json
import os
import pprint
import stat
import struct
import sys

import zelvane

SHM_DIR = "/dev/shm"
HEADER_SIZE = 48
RECORD_SIZE = 1168
ACTIVITY = 136
CALL_WORD = 140
# The exchange number above the low 16 bits that the call word carries.
EXCHANGE_HIGH = 120
# 1 when the record is served by a pool (zelvane.serve).
POOL_FLAG = 133
# A live server holds a write lock on this byte, one past the record's end.
LIVENESS_BYTE = RECORD_SIZE + 1
STOP_REQUESTED = 1 << 24
SERVING_ENDED = 1 << 25
CALL_STATES = {0: "idle", 1: "request posted", 2: "executing", 3: "reply posted", 4: "abandoned"}
# A pool's record is followed by the areas of its calls in flight: each a
# 64-byte head whose first word's low 7 bits are its state (0: free), then
# its message.
POOL_AREAS_AT = 1216
POOL_AREA_SIZE = 1088
POOL_AREAS = 16

SLOT, FUNCTION, ARRAY, QUEUE, FOREIGN = "slot", "function", "array", "queue", "not zelvane's"
# What payload byte 0 holds while a write copies the rest of the value; left
# there by a writer that died mid-copy.
WRITE_IN_PROGRESS = b"\xff"
INTERRUPTED = "a write was interrupted by a process that died; the slot holds no value until the next write"
# A slot's robust mutex begins 8 bytes in; its first word holds the owner's
# thread id in its low 30 bits (the top two flag waiters and a dead owner).
MUTEX_AT = 8
OWNER_TID = 0x3FFFFFFF
# How long `show` waits for a slot's lock unless told otherwise.
LOCK_WAIT = 5.0
# The kinds that open_memory/open_array/open_queue(temporary=True) make temporary.
TEMPORARY_KINDS = (SLOT, ARRAY, QUEUE)

# struct flock on x86-64 Linux: l_type, l_whence, l_start, l_len, l_pid.
FLOCK = "hhxxxxqqixxxx"
F_OFD_GETLK = getattr(fcntl, "F_OFD_GETLK", 36)


class CommandError(Exception):
    """A failure to report on one line, without a traceback."""


def object_path(name):
    """The file of `name`, mapped as the module maps names (leading slashes
    dropped); a name that could reach outside the directory is refused."""
    bare = name.lstrip("/")
    if not bare or "/" in bare or bare in (".", ".."):
        raise CommandError(f"{name}: not a shared-memory name")
    return os.path.join(SHM_DIR, bare)


def server_alive(fd):
    """Whether a process holds the liveness write lock of the record open as `fd`."""
    # Asked as a read lock, which only a write lock conflicts with: a read
    # lock anyone may take neither counts nor hides the server's.
    probe = struct.pack(FLOCK, fcntl.F_RDLCK, os.SEEK_SET, LIVENESS_BYTE, 1, 0)
    answer = fcntl.fcntl(fd, F_OFD_GETLK, probe)
    return struct.unpack(FLOCK, answer)[0] == fcntl.F_WRLCK


def lock_owner(fd):
    """The thread id of the holder of a slot's lock; 0 when nobody holds it
    (a holder that died leaves it 0, flagged as dead)."""
    return struct.unpack("<I", os.pread(fd, 4, MUTEX_AT))[0] & OWNER_TID


def thread_alive(tid):
    return tid != 0 and os.path.exists(f"/proc/{tid}")


def slot_details(fd):
    size = os.fstat(fd).st_size
    max_size = struct.unpack("<Q", os.pread(fd, 8, 0))[0]
    # A slot larger than its max_size says is one whose writer died between
    # growing it and storing the new max_size; its next access repairs that.
    capacity = max_size if size == HEADER_SIZE + max_size else size - HEADER_SIZE
    # Byte 0 of the payload is written last: zero before the first write,
    # WRITE_IN_PROGRESS while a write copies, and after a writer that died
    # mid-copy, which no longer holds the lock.
    first = os.pread(fd, 1, HEADER_SIZE) if capacity else b""
    copying = first == WRITE_IN_PROGRESS
    interrupted = copying and not thread_alive(lock_owner(fd))
    return {"capacity": capacity, "holds_value": first not in (b"", b"\0") and not copying,
            "being_written": copying and not interrupted, "write_interrupted": interrupted}


def calls_in_pool(fd):
    """How many of a pool's areas hold a call."""
    areas = os.pread(fd, POOL_AREAS * POOL_AREA_SIZE, POOL_AREAS_AT)
    return sum(1 for at in range(0, len(areas) - 3, POOL_AREA_SIZE) if struct.unpack_from("<I", areas, at)[0] & 0x7F)


def function_details(fd):
    record = os.pread(fd, RECORD_SIZE, 0)
    word = struct.unpack_from("<I", record, CALL_WORD)[0]
    pool = record[POOL_FLAG] == 1
    servers = zelvane._pool_servers(fd) if pool else int(server_alive(fd))
    in_flight = calls_in_pool(fd) if pool else int(word & 0xFF != 0)
    return {
        "state": CALL_STATES.get(word & 0xFF, f"unknown ({word & 0xFF})"),
        "exchange": struct.unpack_from("<I", record, EXCHANGE_HIGH)[0] << 16 | (word >> 8) & 0xFFFF,
        "stop_requested": bool(word & STOP_REQUESTED),
        "serving_ended": bool(word & SERVING_ENDED),
        "activity": record[ACTIVITY],
        "pool": pool,
        "servers": servers,
        "served": servers > 0,
        "calls_in_flight": in_flight,
    }


def describe(name):
    """What `name` is: a dict with its name, kind, size and the details of its kind."""
    path = object_path(name)
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        raise CommandError(f"{name}: no such object in {SHM_DIR}") from None
    entry = {"name": os.path.basename(path), "kind": FOREIGN, "size": info.st_size}
    # Only regular files are opened: a FIFO would block, a link leads elsewhere.
    if not stat.S_ISREG(info.st_mode):
        return entry
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        raise CommandError(f"{name}: no such object in {SHM_DIR}") from None
    except OSError as exc:
        entry["error"] = exc.strerror
        return entry
    try:
        entry["size"] = os.fstat(fd).st_size
        entry["kind"] = zelvane._object_kind(fd) or FOREIGN
        if entry["kind"] == SLOT:
            entry.update(slot_details(fd))
        elif entry["kind"] == FUNCTION:
            entry.update(function_details(fd))
        elif entry["kind"] == ARRAY:
            entry.update(zelvane._array_layout(fd) or {})
        elif entry["kind"] == QUEUE:
            entry.update(zelvane._queue_state(fd) or {})
        if entry["kind"] in TEMPORARY_KINDS:
            holders = zelvane._temporary_holders(fd)
            entry["temporary"] = holders is not None
            if holders is not None:
                entry["holders"] = holders
    finally:
        os.close(fd)
    return entry


def all_entries():
    entries = []
    for name in sorted(os.listdir(SHM_DIR)):
        try:
            entries.append(describe(name))
        except CommandError:
            pass  # removed while we looked
    return entries


def detail_text(entry):
    if entry["kind"] == SLOT:
        if entry["write_interrupted"] or entry["being_written"]:
            state = "write interrupted" if entry["write_interrupted"] else "being written"
            return f"capacity {entry['capacity']}, {state}"
        held = "holds a value" if entry["holds_value"] else "empty"
        return f"capacity {entry['capacity']}, {held}"
    if entry["kind"] == ARRAY:
        shape = "x".join(map(str, entry["shape"])) or "scalar"
        return f"shape {shape}, format {entry['format']}, version {entry['version']}"
    if entry["kind"] == QUEUE:
        capacity = entry["maxsize"] or "unbounded"
        text = (f"length {entry['length']}, capacity {capacity}, "
                f"waiters {entry['consumers_waiting']} get / {entry['producers_waiting']} put")
        return text + (f", {entry['reserved']} reserved" if entry["reserved"] else "")
    if entry["kind"] == FUNCTION:
        flags = [text for key, text in (("stop_requested", "stop requested"),
                                        ("serving_ended", "serving ended")) if entry[key]]
        return ", ".join([entry["state"], *flags])
    return entry.get("error", "")


def served_text(entry):
    if entry["kind"] != FUNCTION:
        return ""
    if not entry["served"]:
        return "dead"
    return f"live, {entry['servers']} servers" if entry["pool"] else "live"


def lifetime_text(entry):
    if not entry.get("temporary"):
        return ""
    holders = entry["holders"]
    if holders == 0:
        return "temporary, unheld"
    return f"temporary, held by {holders} process" + ("es" if holders > 1 else "")


def print_table(entries):
    print_rows([(e["name"], e["kind"], str(e["size"]), detail_text(e), served_text(e), lifetime_text(e))
                for e in entries])


def print_rows(rows):
    header = ("NAME", "KIND", "SIZE", "STATE", "SERVER", "LIFETIME")
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    for row in [header, *rows]:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


def command_ls(args):
    if args.url is not None:
        return on_redis(args, remote_ls)
    entries = all_entries()
    if args.json:
        print(json.dumps(entries, indent=2))
    else:
        print_table(entries)
    return 0


def on_redis(args, command):
    """Runs command(args, remote) on a connection to args.url."""
    import redis
    from zelvane_cli import remote as on_remote
    try:
        with on_remote.connected(args.url, args.namespace) as remote:
            return command(args, remote)
    except (on_remote.Unreachable, redis.RedisError) as exc:
        raise CommandError(str(exc)) from None


def remote_ls(args, remote):
    from zelvane_cli import remote as on_remote
    entries = on_remote.all_entries(remote)
    if args.json:
        print(json.dumps(entries, indent=2))
    else:
        print_rows([on_remote.row(entry, lifetime_text) for entry in entries])
    return 0


def remote_show(args, remote):
    from zelvane_cli import remote as on_remote
    entry = on_remote.describe(remote, args.name)
    if entry is None:
        raise CommandError(f"{args.name}: no such object in namespace '{remote.namespace}' at {remote.url}")
    if entry["kind"] != "slot":
        print_entry(entry, args.json)
        return 0
    value, written = on_remote.value_of(remote, args.name)
    if not written:
        print("null" if args.json else f"{args.name}: never written")
        return 0
    print_value(args.name, value, args.json)
    return 0


def never_written(handle):
    """Whether a slot whose first payload byte is zero was never written:
    a value damaged by other hands may start with a zero too, but follows a
    completed write, which the slot's version counted."""
    try:
        return handle.version == 0
    except RuntimeError:  # no versions here: a zero byte is all there is to go by
        return True


def lock_holder(path):
    """Who holds the slot's lock: "locked by pid N", or "locked" when the
    holder's thread cannot be looked up (gone, or in another PID namespace)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
        try:
            tid = lock_owner(fd)
        finally:
            os.close(fd)
        with open(f"/proc/{tid}/status") as status:
            pid = next(line.split()[1] for line in status if line.startswith("Tgid:"))
    except (OSError, StopIteration, struct.error):
        return "locked"
    return f"locked by pid {pid}" if tid else "locked"


def slot_value(name, holds_value, timeout):
    """The value of slot `name` and whether it was ever written, waiting at
    most `timeout` seconds for its lock."""
    with zelvane.open_memory(name, create=False) as handle:
        if not holds_value and never_written(handle):
            return None, False
        try:
            with handle.lock(timeout=timeout):
                return handle.read(), True
        except TimeoutError:
            raise CommandError(f"{name}: {lock_holder(object_path(name))}; "
                               f"gave up after {timeout:g} s") from None
        except zelvane.InterruptedWriteError:
            raise CommandError(f"{name}: {INTERRUPTED}") from None


def command_show(args):
    if args.url is not None:
        return on_redis(args, remote_show)
    entry = describe(args.name)
    if entry["kind"] == FOREIGN:
        raise CommandError(f"{args.name}: not zelvane's; left alone")
    if entry["kind"] in (FUNCTION, ARRAY, QUEUE):
        print_entry(entry, args.json)
        return 0
    value, written = slot_value(args.name, entry["holds_value"], args.timeout)
    if not written:
        print("null" if args.json else f"{args.name}: never written (capacity {entry['capacity']})")
        return 0
    print_value(args.name, value, args.json)
    return 0


def print_entry(entry, as_json):
    if as_json:
        print(json.dumps(entry, indent=2))
    else:
        for key, value in entry.items():
            print(f"{key}: {value}")


def print_value(name, value, as_json):
    if not as_json:
        pprint.pprint(value)
        return
    try:
        text = json.dumps(value, indent=2, allow_nan=False)
    except (TypeError, ValueError) as exc:
        raise CommandError(f"{name}: the value has no JSON form ({exc}); show it without --json") from None
    print(text)


# What zelvane._remove_recognised reports when it removed nothing.
LEFT_ALONE = {
    "gone": "removed or replaced meanwhile; left alone",
    "served": "a live server holds it now; left alone",
    "other": "no longer what it was; left alone",
}


def remove_one(name, force=False):
    entry = describe(name)
    if entry["kind"] == FOREIGN:
        if not force:
            raise CommandError(f"{name}: not zelvane's; left alone (--force removes it)")
        if not zelvane.remove_memory(name):
            raise CommandError(f"{name}: could not be removed")
        return f"{name}: removed"
    if entry["kind"] == FUNCTION and entry["served"]:
        # The server unlinks the name itself once it has stopped.
        if not zelvane.remove_function(name):
            raise CommandError(f"{name}: could not ask its server to stop")
        return f"{name}: asked its server to stop"
    # Removed only if it is still what was seen, and for a record, only while
    # holding its dead server's lock: a server taking the name over keeps it.
    outcome = zelvane._remove_recognised(name, entry["kind"])
    if outcome != "removed":
        raise CommandError(f"{name}: {LEFT_ALONE[outcome]}")
    return f"{name}: removed"


def command_rm(args):
    status = 0
    for name in args.names:
        try:
            print(remove_one(name, args.force))
        except (CommandError, MemoryError, OSError) as exc:
            print(f"zelvane: {exc}", file=sys.stderr)
            status = 1
    return status


def chosen_entries(names):
    """The entries of `names` that exist, or of everything when none are given."""
    if not names:
        return all_entries()
    entries = []
    for name in names:
        try:
            entries.append(describe(name))
        except CommandError:
            pass
    return entries


def garbage(entry):
    """Why `entry` is left over by processes that died, or None when it is not:
    a function record whose server died, or a temporary object nobody holds."""
    if entry["kind"] == FUNCTION and not entry["served"]:
        return ""
    if entry.get("temporary") and entry["holders"] == 0:
        return f": temporary {entry['kind']} that no process holds"
    return None


def remove_garbage(entry):
    """Removes a left-over object as the module would, rechecked at the last
    moment: a server may have come back or taken the name over, a process may
    have opened a temporary object since it was seen unheld. Whether it went."""
    if entry["kind"] == FUNCTION:
        return zelvane._remove_recognised(entry["name"], FUNCTION) == "removed"
    return zelvane._remove_unheld(entry["name"], entry["kind"]) == "removed"


def command_clean(args):
    left = [(entry, why) for entry in chosen_entries(args.names) if (why := garbage(entry)) is not None]
    if args.dry_run:
        for entry, why in left:
            print(f"would remove {entry['name']}{why}")
        return 0
    status = 0
    for entry, why in left:
        # One that is not there any more is no failure.
        try:
            removed = remove_garbage(entry)
        except OSError as exc:
            print(f"zelvane: {entry['name']}: could not be removed ({exc.strerror})", file=sys.stderr)
            status = 1
            continue
        if removed:
            print(f"removed {entry['name']}{why}")
    return status


def add_redis_arguments(command):
    command.add_argument("--url", metavar="URL",
                         help="look at a namespace on the Redis server (or cluster) at URL instead of " + SHM_DIR)
    command.add_argument("--namespace", default="zelvane", metavar="NS",
                         help="the namespace on Redis (default zelvane)")


def parser():
    top = argparse.ArgumentParser(
        prog="zelvane",
        description="List, show and remove zelvane's value slots, shared arrays, queues and "
                    f"hosted-function records in {SHM_DIR}.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    ls = commands.add_parser("ls", help="list every object with its kind, size and state")
    ls.add_argument("--json", action="store_true", help="print JSON instead of a table")
    add_redis_arguments(ls)
    ls.set_defaults(run=command_ls)
    show = commands.add_parser("show", help="print a slot's value, an array's layout, a queue's state or "
                                            "a function record's state")
    show.add_argument("name")
    show.add_argument("--json", action="store_true", help="print JSON (where the value has a JSON form)")
    show.add_argument("--timeout", type=float, default=LOCK_WAIT, metavar="SECONDS",
                      help=f"how long to wait for a slot's lock (default {LOCK_WAIT:g})")
    add_redis_arguments(show)
    show.set_defaults(run=command_show)
    rm = commands.add_parser("rm", help="remove slots, arrays, queues and function records (a live "
                                        "server is asked to stop)")
    rm.add_argument("names", nargs="+", metavar="NAME")
    rm.add_argument("--force", action="store_true",
                    help="also remove objects that are not zelvane's")
    rm.set_defaults(run=command_rm)
    clean = commands.add_parser("clean", help="remove the records of functions whose server is dead and "
                                              "temporary slots, arrays and queues that no process holds")
    clean.add_argument("names", nargs="*", metavar="NAME",
                       help="look only at these names (default: everything)")
    clean.add_argument("--dry-run", action="store_true", help="only print what would be removed")
    clean.set_defaults(run=command_clean)
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return args.run(args)
    # The module's own errors (a missing name, a damaged value) end the command.
    except (CommandError, MemoryError, OSError, ValueError, RuntimeError) as exc:
        print(f"zelvane: {exc}", file=sys.stderr)
        return 1
