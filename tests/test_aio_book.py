"""The native book of an event loop's awaited calls: what counts as a large
argument, the records of calls, and the book left empty whatever the calls
met (timeouts, keywords, cancellations, a closed handle)."""
import asyncio
import time
import types

import pytest
import zelvane
from zelvane import aio
from zelvane import _aio_runtime

from conftest import TIMEOUT
from test_aio import AREAS, area_states, served  # noqa: F401 (a fixture)

pytestmark = pytest.mark.timeout(120)

MIB = 1 << 20


class CountedBytes(bytes):
    def __len__(self):
        raise OverflowError("no length today")


@pytest.mark.parametrize("values, large", [
    ((), False),
    ((1, 2.0, None, True, "x" * (MIB - 1)), False),
    ((b"x" * MIB,), True),
    ((bytearray(MIB),), True),
    ((memoryview(bytearray(2 * MIB))[::2],), True),  # nbytes counts, not the span
    (("é" * MIB,), True),
    (([[(b"x" * MIB,)]],), True),
    (([[[b"x" * MIB]]],), True),  # three containers in
    (([[[[b"x" * MIB]]]],), False),  # four: passed over
    (({"k": {"k": b"x" * MIB}},), True),
    (({b"x" * MIB: 1},), False),  # dict keys are never large
    ((type("Tuple", (tuple,), {})((b"x" * MIB,)),), False),  # only exact containers are looked into
    ([b"x" * MIB], True),
    (iter([1, b"x" * MIB]), True),
])
def test_large_values_are_found_where_a_helper_must_copy_them(values, large):
    assert zelvane._any_large(values) is large


def test_a_failing_length_is_raised_not_taken_for_small():
    with pytest.raises(OverflowError, match="no length today"):
        zelvane._any_large(([CountedBytes(b"x")],))


def test_the_record_of_a_call_keeps_its_fields_typed():
    call = zelvane._AwaitedCall("handle", (1,), {}, None)
    assert (call.handle, call.args, call.kwargs, call.timeout, call.future, call.outcome, call.state,
            call.given_up) == ("handle", (1,), {}, None, None, None, 0, False)
    call.future, call.state, call.given_up = "future", 3, True
    assert (call.future, call.state, call.given_up) == ("future", 3, True)
    with pytest.raises(AttributeError):
        del call.future
    for read_only in ("handle", "args", "kwargs", "timeout", "outcome"):
        with pytest.raises(AttributeError):
            setattr(call, read_only, None)


@pytest.mark.parametrize("method, args, message", [
    ("call", ("handle", (), None, None), "the book of awaited calls is not set up"),
    ("_end", (object(), True, 1), "expected 3 to 3 arguments|the book"),
    ("_look", ("not a call",), "the book of awaited calls is not set up"),
    ("_out_of_flight", (), "expected 1 to 1 arguments"),
])
def test_a_book_not_set_up_refuses_instead_of_crashing(method, args, message):
    book = zelvane._CallBook()
    with pytest.raises(TypeError, match=message):
        getattr(book, method)(*args)


def test_a_set_up_book_refuses_what_is_not_a_call():
    book = zelvane._CallBook()
    book.loop, book.posted, book.in_flight, book.waiting = object(), {}, {}, {}
    for method, args in (("_look", ("not a call",)), ("_end", ("not a call", True, 1)),
                         ("_wait_for_room", (1,)), ("_post", (None,))):
        with pytest.raises(TypeError, match="expected an awaited call"):
            getattr(book, method)(*args)
    with pytest.raises(TypeError, match="a tuple of arguments"):
        book.call("handle", [1], None, None)


def book_of(loop):
    runtime = _aio_runtime._runtimes[loop]
    return runtime.posted, runtime.in_flight, runtime.waiting


@pytest.mark.parametrize("servers", [1, 2])
def test_a_burst_of_every_kind_of_call_leaves_the_book_empty(served, servers):  # noqa: F811
    name = served(lambda x, y=0: x + y, servers)

    def call(function, i):
        if i % 3 == 0:
            return function(i, timeout=TIMEOUT)
        return function(i, y=i) if i % 3 == 1 else function(i)

    async def main():
        async with await aio.open_function(name, wait=TIMEOUT) as function:
            tasks = [asyncio.ensure_future(call(function, i)) for i in range(300)]
            await asyncio.sleep(0)
            cancelled = set(range(40, 300, 23))
            for i in cancelled:
                tasks[i].cancel()
            results = await asyncio.gather(*tasks, return_exceptions=True)
            # Cancelled calls may have ended first; the others all did.
            for i, result in enumerate(results):
                expected = 2 * i if i % 3 == 1 else i
                if i in cancelled and isinstance(result, asyncio.CancelledError):
                    continue
                assert result == expected, (i, result)
            # A closed handle meets the calls waiting behind the posted ones.
            tasks = [asyncio.ensure_future(function(i)) for i in range(100)]
            await asyncio.sleep(0)
            function.close()
            results = await asyncio.gather(*tasks, return_exceptions=True)
            assert all(r == i or isinstance(r, ValueError) for i, r in enumerate(results)), results
            return book_of(asyncio.get_running_loop())

    assert asyncio.run(main()) == ({}, {}, {})
    assert area_states(name) == [0] * AREAS


def stops(value):
    if value == "stop" or isinstance(value, bytes):
        raise StopIteration("no more")
    return value


def test_a_call_that_raises_stopiteration_ends_as_a_coroutine_raising_it(served):  # noqa: F811
    name = served(stops)

    async def main():
        async with await aio.open_function(name, wait=TIMEOUT) as function:
            # Alone (ended on the spot), many at once (settled by the loop),
            # and with a large argument (run on a helper thread).
            calls = [function("stop")] + [function("stop") for _ in range(50)] + [function(b"x" * MIB)]
            outcomes = await asyncio.wait_for(asyncio.gather(*calls, return_exceptions=True), TIMEOUT)
            assert await function(7) == 7  # the handle goes on
            return outcomes

    outcomes = asyncio.run(main())
    assert {(type(error), str(error), type(error.__cause__), str(error.__cause__)) for error in outcomes} == {
        (RuntimeError, "coroutine raised StopIteration", StopIteration, "no more")}


def test_a_watcher_that_ends_still_hands_over_the_batch_it_announced():
    # Helpers' outcomes wait for a batch while more calls queue; the watcher
    # that announces the batch may find nothing else to watch and end, and
    # the loop must still be woken to settle them.
    async def main():
        loop = asyncio.get_running_loop()
        runtime = _aio_runtime._runtime(loop)
        future = loop.create_future()
        with runtime.mutex:
            runtime.outcomes.append((types.SimpleNamespace(future=future, ended=None), True, 42))
            runtime.unannounced_since = time.monotonic() - 60  # its batch's time is up
            runtime._start_watcher()
        return await asyncio.wait_for(future, TIMEOUT)

    assert asyncio.run(main()) == 42
