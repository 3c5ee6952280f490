"""What zelvane.aio's parts share: how long things take and how many there
are, which values count as large, and settling a future from the loop or
from another thread."""
import asyncio
import math
import numbers
import threading
import time

import zelvane

# Helper threads that run awaited calls, per event loop: two from the start,
# more (up to the most, as many as a pool serves at once by default) while
# calls take long and others queue behind them, since every helper also
# contends for the GIL; one with nothing to do for _IDLE_SECONDS ends.
_CALL_HELPERS = 16
_EAGER_HELPERS = 2
# A call is slow when it took longer than a thread may wait for the GIL
# while the loop holds it: a fast call that only waited for the GIL starts no
# helper, which would only wait for the GIL too.
_SLOW_CALL = 0.006
_IDLE_SECONDS = 2.0
# Outcomes of calls reach the loop in batches: a helper wakes it once the
# queue is empty, _BATCH outcomes wait, or the first waited _BATCH_SECONDS
# (the watcher wakes it then if the helpers are busy with slow calls); the
# loop settles at most _DELIVERED_AT_ONCE per callback.
_BATCH = 64
_BATCH_SECONDS = 0.001
_DELIVERED_AT_ONCE = 32
# How often the watcher looks whether its loop was closed under it, and has
# the loop look at its posted calls as a waiting caller does between slices
# (a dead server).
_WATCH_SLICE = 0.2
# How long one collecting callback of the loop may take, and how long it
# waits at most for a reply between two looks: well under the millisecond
# the loop may be held, and longer than a pool takes to answer a batch.
_COLLECTING = 0.0003
_REPLY_WAIT = 0.0001
# A call whose time is up but whose limit the handle did not see passed yet
# is looked at again after this pause.
_TIME_UP_AGAIN = 0.001
# A value of this many bytes or more is copied into or out of shared memory
# on a helper thread, never on the loop's: the copy lets the GIL go, but the
# loop's thread would still wait for it. zelvane._any_large(values) tells
# whether values hold that many bytes in bytes-like values and texts, one
# large one or many smaller ones (in tuples, lists and dicts within a few
# levels).
_LARGE = 1 << 20
_any_large = zelvane._any_large


# _settle(future, ok, value) settles a future of the loop's with a result
# (ok true) or an exception, unless it is done; a StopIteration, which
# futures refuse, becomes what a coroutine raising it raises.
_settle = zelvane._settle


def _post(loop, future, ok, value):
    """Settles `future` on its loop from another thread; a closed loop has
    nobody left to tell."""
    try:
        loop.call_soon_threadsafe(_settle, future, ok, value)
    except RuntimeError:
        pass


def _start_thread(target, name):
    thread = threading.Thread(target=target, name=name, daemon=True)
    thread.start()
    return thread


def _deadline(timeout):
    """The monotonic time a call's timeout ends at; a timeout the handle
    would refuse is passed on for it to refuse."""
    if timeout is None:
        return None
    try:
        # Read as the handle reads it: any value a float can be made of.
        seconds = math.fsum((timeout,))
    except Exception:
        return _Refused(timeout)
    if 0 <= seconds < math.inf:
        return time.monotonic() + seconds
    return _Refused(timeout)


class _Refused:
    __slots__ = ("timeout",)

    def __init__(self, timeout):
        self.timeout = timeout


def _time_left(deadline):
    if deadline is None:
        return None
    if isinstance(deadline, _Refused):
        return deadline.timeout
    return max(0.0, deadline - time.monotonic())


# How often a name waited for by open_function(wait=...) is looked up.
_SERVED_POLL = 0.005


def _is_seconds(wait):
    return isinstance(wait, numbers.Real) and not isinstance(wait, bool) and 0 <= wait < math.inf


def _now(wait):
    """The wait of an opening tried at once: none for a number of seconds;
    anything else as given, for the module to refuse."""
    return 0 if _is_seconds(wait) else wait


async def _opened_within(open_now, wait):
    """open_now() once it stops raising TimeoutError, tried after short
    pauses on the loop until `wait` seconds passed (then its TimeoutError);
    None waits for ever."""
    deadline = None if wait is None else time.monotonic() + wait
    while True:
        try:
            return open_now()
        except TimeoutError:
            if deadline is not None and time.monotonic() >= deadline:
                raise
        await asyncio.sleep(_SERVED_POLL)
