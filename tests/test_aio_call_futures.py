"""The futures awaited calls' tasks wait on, whose tasks an event loop wakes
in batches: each task in its own context, in the order the futures were
settled, with the loop's other callbacks between batches, and errors,
cancellations and a closed loop met as asyncio's own futures meet them."""
import asyncio
import contextvars
import gc
import sys
import threading
import weakref

import pytest
import zelvane
from zelvane import aio

from conftest import TIMEOUT, wait_until
from test_aio import served  # noqa: F401 (a fixture)
from zelvane._aio_runtime import _runtimes

pytestmark = pytest.mark.timeout(120)

current = contextvars.ContextVar("current", default=None)

BATCH = 64  # wake-ups one callback of the loop runs


def futures_of(loop, count):
    """`count` call futures of `loop` whose tasks wake together."""
    wakeups = zelvane._Wakeups(loop)
    return [zelvane._CallFuture(wakeups) for _ in range(count)]


async def waiting_task(future, label, woken):
    current.set(label)
    try:
        value = await future
    except asyncio.CancelledError as error:
        value = ("cancelled", error.args)
    woken.append((label, value, current.get()))
    return value


def test_tasks_wake_in_settle_order_in_their_own_contexts_with_other_callbacks_between_batches():
    async def main():
        loop = asyncio.get_running_loop()
        futures = futures_of(loop, 3 * BATCH)
        woken = []
        tasks = [asyncio.ensure_future(waiting_task(future, i, woken)) for i, future in enumerate(futures)]
        await asyncio.sleep(0)
        for i in reversed(range(len(futures))):  # settled last to first
            futures[i].set_result(i * 10)
        loop.call_soon(lambda: woken.append("between"))
        await asyncio.wait_for(asyncio.gather(*tasks), TIMEOUT)
        return woken

    woken = asyncio.run(main())
    tasks_woken = [entry for entry in woken if entry != "between"]
    assert tasks_woken == [(i, i * 10, i) for i in reversed(range(3 * BATCH))]
    assert woken.index("between") == BATCH  # after the first batch, before the second


@pytest.mark.parametrize("cancel_with", [(), ("why",)])
def test_a_cancelled_task_gets_the_message_and_the_future_stays_cancelled(cancel_with):
    async def main():
        loop = asyncio.get_running_loop()
        future = futures_of(loop, 1)[0]
        woken = []
        task = asyncio.ensure_future(waiting_task(future, "t", woken))
        await asyncio.sleep(0)
        assert task.cancel(*cancel_with)
        await asyncio.wait_for(task, TIMEOUT)
        assert future.cancelled() and future.done()
        assert future.cancel() is False
        with pytest.raises(asyncio.InvalidStateError):
            future.set_result(1)
        with pytest.raises(asyncio.CancelledError):
            future.result()
        return woken

    assert asyncio.run(main()) == [("t", ("cancelled", cancel_with), "t")]


@pytest.mark.parametrize("error, raised", [
    (KeyError("k"), KeyError),
    (ValueError, ValueError),  # a class stands for an instance of it
])
def test_an_exception_set_reaches_the_awaiting_task(error, raised):
    async def main():
        future = futures_of(asyncio.get_running_loop(), 1)[0]
        task = asyncio.ensure_future(waiting_task(future, "t", []))
        await asyncio.sleep(0)
        future.set_exception(error)
        with pytest.raises(raised):
            await asyncio.wait_for(task, TIMEOUT)
        assert isinstance(future.exception(), raised)

    asyncio.run(main())


def test_refusals_match_an_asyncio_future():
    async def main():
        future = futures_of(asyncio.get_running_loop(), 1)[0]
        with pytest.raises(asyncio.InvalidStateError):
            future.result()
        with pytest.raises(asyncio.InvalidStateError):
            future.exception()
        with pytest.raises(TypeError, match="StopIteration interacts badly"):
            future.set_exception(StopIteration())
        with pytest.raises(TypeError):
            future.set_exception("not an exception")
        with pytest.raises(TypeError):
            future.cancel(1, 2)
        assert not future.done()  # nothing refused settled it
        future.set_result(None)
        with pytest.raises(asyncio.InvalidStateError):
            future.set_exception(KeyError())
        assert future.result() is None and future.exception() is None

    asyncio.run(main())


def test_callbacks_added_before_and_after_the_end_run_once_each_and_removed_ones_never():
    async def main():
        loop = asyncio.get_running_loop()
        future = futures_of(loop, 1)[0]
        seen = []
        first, second, removed = (lambda f, tag=tag: seen.append((tag, f.result())) for tag in "abr")
        future.add_done_callback(first)
        future.add_done_callback(removed)
        future.add_done_callback(second, context=contextvars.copy_context())
        future.add_done_callback(removed)
        assert future.remove_done_callback(removed) == 2
        future.set_result(3)
        future.add_done_callback(lambda f: seen.append(("late", f.result())))
        assert seen == []  # never run by set_result itself
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        return seen

    assert asyncio.run(main()) == [("a", 3), ("b", 3), ("late", 3)]


def test_callbacks_run_in_the_order_they_were_added_after_the_first_is_removed():
    async def main():
        future = futures_of(asyncio.get_running_loop(), 1)[0]
        seen = []
        first, second, third, fourth = (lambda f, tag=tag: seen.append(tag) for tag in "abcd")
        for callback in (first, second, third):
            future.add_done_callback(callback)
        future.remove_done_callback(first)
        future.add_done_callback(fourth)
        future.set_result(None)
        await asyncio.sleep(0)
        return seen

    assert asyncio.run(main()) == ["b", "c", "d"]


def test_a_wakeup_that_raises_goes_to_the_exception_handler_and_the_rest_still_run():
    async def main():
        loop = asyncio.get_running_loop()
        reported = []
        loop.set_exception_handler(lambda _, details: reported.append(details))
        futures = futures_of(loop, 3)
        seen = []
        futures[0].add_done_callback(lambda f: seen.append(0))
        futures[1].add_done_callback(lambda f: 1 / 0)
        futures[2].add_done_callback(lambda f: seen.append(2))
        for future in futures:
            future.set_result(None)
        await asyncio.sleep(0)
        return seen, reported

    seen, reported = asyncio.run(main())
    assert seen == [0, 2]
    assert len(reported) == 1
    assert isinstance(reported[0]["exception"], ZeroDivisionError)
    assert reported[0]["message"].startswith("Exception in callback")


@pytest.mark.parametrize("stop", [SystemExit, KeyboardInterrupt])
@pytest.mark.parametrize("raised_by", ["wakeup", "exception handler"])
def test_a_wakeup_that_stops_the_loop_stops_it_and_the_rest_wake_on_its_next_run(stop, raised_by):
    loop = asyncio.new_event_loop()
    try:
        def raise_stop(*_):
            raise stop

        if raised_by == "exception handler":
            loop.set_exception_handler(raise_stop)
        futures = futures_of(loop, 3)
        seen = []
        futures[0].add_done_callback(lambda f: seen.append(0))
        futures[1].add_done_callback(raise_stop if raised_by == "wakeup" else lambda f: 1 / 0)
        futures[2].add_done_callback(lambda f: seen.append(2))
        for future in futures:
            future.set_result(None)
        with pytest.raises(stop):
            loop.run_until_complete(asyncio.sleep(0.01))
        assert seen == [0]
        loop.run_until_complete(asyncio.sleep(0))
        assert seen == [0, 2]
    finally:
        loop.close()


def test_a_future_settled_on_a_closed_loop_is_done_and_holds_nothing():
    loop = asyncio.new_event_loop()
    future = futures_of(loop, 1)[0]
    future.add_done_callback(lambda f: None)
    loop.close()
    with pytest.raises(RuntimeError, match="closed"):
        future.set_result(1)  # as an asyncio future's set_result raises there
    assert future.done() and future.result() == 1


def test_a_task_awaiting_a_future_forms_no_cycle_the_collector_cannot_free():
    async def main():
        future = futures_of(asyncio.get_running_loop(), 1)[0]
        task = asyncio.ensure_future(waiting_task(future, "t", []))
        await asyncio.sleep(0)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        return weakref.ref(task)

    gone = asyncio.run(main())
    gc.collect()
    assert gone() is None


def test_real_calls_resume_in_their_tasks_contexts_and_give_up_on_cancellation(served):  # noqa: F811
    name = served(lambda x: x + 1, 2)

    async def one(handle, i):
        current.set(i)
        value = await handle(i)
        return value, current.get()

    async def main():
        async with await aio.open_function(name, wait=TIMEOUT) as handle:
            results = await asyncio.wait_for(asyncio.gather(*(one(handle, i) for i in range(500))), TIMEOUT)
            # Cancelled while posted or waiting for room, then the handle goes on.
            many = [asyncio.ensure_future(handle(i)) for i in range(100)]
            await asyncio.sleep(0)
            # (A call that ended on the spot has ended its task already.)
            cancelled = {i for i in range(0, 100, 2) if many[i].cancel()}
            outcomes = await asyncio.wait_for(asyncio.gather(*many, return_exceptions=True), TIMEOUT)
            assert await handle(41) == 42
            return results, outcomes, cancelled

    results, outcomes, cancelled = asyncio.run(main())
    assert results == [(i + 1, i) for i in range(500)]
    assert len(cancelled) >= 45
    assert [isinstance(outcome, asyncio.CancelledError) for outcome in outcomes] == [i in cancelled for i in range(100)]
    assert [outcomes[i] for i in range(100) if i not in cancelled] == [i + 1 for i in range(100) if i not in cancelled]


def test_a_task_cancelled_again_while_its_helper_gives_its_call_up_loses_no_other_outcome(served):  # noqa: F811
    large = b"a" * (2 << 20)  # copied on a helper thread
    entered = {tag: threading.Event() for tag in "ab"}
    release = threading.Event()

    def held(data, tag):
        entered[tag].set()
        release.wait(TIMEOUT)
        return tag

    name = served(held, 2)

    async def main():
        loop = asyncio.get_running_loop()
        reported = []
        loop.set_exception_handler(lambda _, details: reported.append(details))
        async with await aio.open_function(name, wait=TIMEOUT) as handle:
            first = asyncio.ensure_future(handle(large, "a"))
            second = asyncio.ensure_future(handle(large, "b"))
            await loop.run_in_executor(None, lambda: entered["a"].wait(TIMEOUT) and entered["b"].wait(TIMEOUT))
            first.cancel()
            await asyncio.sleep(0)  # it gave its call up and waits for its helper
            first.cancel()
            outcomes = _runtimes[loop].outcomes
            wait_until(lambda: len(outcomes) == 1, what="the given-up call's outcome")  # the loop held
            release.set()
            wait_until(lambda: len(outcomes) == 2, what="the other call's outcome")  # delivered together
            await asyncio.wait([first, second], timeout=TIMEOUT)
            return first.cancelled(), second.done() and second.result(), reported

    assert asyncio.run(main()) == (True, "b", [])


class RefusingLoop:
    """A loop whose call_soon refuses once told to: a loop out of memory,
    say, while it runs a batch of wake-ups."""

    def __init__(self):
        self.refusing = False

    def call_soon(self, callback):
        if self.refusing:
            raise RuntimeError("refused")

    def call_exception_handler(self, details):
        pass


def test_wakeups_the_loop_cannot_schedule_the_rest_of_are_all_let_go():
    loop = RefusingLoop()
    wakeups = zelvane._Wakeups(loop)
    futures = [zelvane._CallFuture(wakeups) for _ in range(BATCH + 10)]

    def callback(future):
        pass

    unheld = sys.getrefcount(callback)
    for future in futures:
        future.add_done_callback(callback)
        future.set_result(None)
    loop.refusing = True
    with pytest.raises(RuntimeError, match="refused"):
        wakeups()  # cannot have the rest run after a batch
    assert sys.getrefcount(callback) == unheld  # no wake-up keeps it


def python_tasks(loop, coro, **options):
    return asyncio.tasks._PyTask(coro, loop=loop, **options)


@pytest.mark.parametrize("task_factory", [None, python_tasks], ids=["native-tasks", "python-tasks"])
@pytest.mark.parametrize("debug", [False, True], ids=["", "debug"])
def test_real_calls_meet_timeouts_and_cancellations_with_either_task_implementation(served, task_factory,  # noqa: F811
                                                                                     debug):
    release = threading.Event()

    def func(x):
        if x == "hold":
            release.wait(TIMEOUT)
        return x

    name = served(func, 2)

    async def one(handle, i):
        current.set(i)
        return await handle(i), current.get()

    async def held_call(handle, messages):
        try:
            return await handle("hold")
        except asyncio.CancelledError as cancelled:
            messages.append(cancelled.args)
            raise

    async def main():
        asyncio.get_running_loop().set_task_factory(task_factory)
        async with await aio.open_function(name, wait=TIMEOUT) as handle:
            messages = []
            held = asyncio.ensure_future(held_call(handle, messages))
            await asyncio.sleep(0.01)
            held.cancel("why")
            await asyncio.gather(held, return_exceptions=True)
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(handle("hold"), 0.01)
            release.set()
            results = await asyncio.wait_for(asyncio.gather(*(one(handle, i) for i in range(200))), TIMEOUT)
            return messages, held.cancelled(), results

    try:
        assert asyncio.run(main(), debug=debug) == ([("why",)], True, [(i, i) for i in range(200)])
    finally:
        release.set()
