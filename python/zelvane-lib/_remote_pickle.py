"""How a Remote and its handles come back from a pickle: connected anew in
the receiving process by URL and namespace, never with credentials."""
import os
import threading

CREDENTIALS_REFUSED = ("Cannot pickle a connection to Redis whose URL carries credentials, which would travel "
                       "with it: call zelvane.connect(url) in the receiving process instead.")

# The connections that unpickled handles share, one per URL and namespace in
# each process: a task that receives many handles opens one connection.
_shared = {}
_guard = threading.Lock()


def _forget_shared():
    global _guard
    _shared.clear()
    _guard = threading.Lock()  # a fork may have copied it held


os.register_at_fork(after_in_child=_forget_shared)


def reconnect(url, namespace, replicas=0):
    """A Remote unpickled: a connection of its own."""
    from zelvane._remote import connect

    return connect(url, namespace=namespace, replicas=replicas)


def reopen(url, namespace, replicas, opener, name):
    """A Remote handle unpickled, on this process's shared connection; a
    slot is opened, never created."""
    remote = _shared_remote(url, namespace, replicas)
    # A temporary object's handle opens it as a holder of its own.
    opener, temporary, _ = opener.partition("_temporary")
    if opener == "open_memory":
        return remote.open_memory(name, create=False, temporary=bool(temporary))
    if opener == "open_queue":
        return remote.open_queue(name, create=False, temporary=bool(temporary))
    return remote.open_function(name)


def _shared_remote(url, namespace, replicas):
    key = (url, namespace, replicas)
    with _guard:
        remote = _shared.get(key)
        if remote is None or remote.closed:
            remote = _shared[key] = reconnect(url, namespace, replicas)
        return remote
