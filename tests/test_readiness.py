"""open_memory(create=False, wait=) and open_array(wait=): waiting for a
name to appear, woken by its creation."""
import os
import threading

import pytest
import zelvane

from conftest import TIMEOUT, run_python, shm_path

OPENERS = {
    "slot": (lambda name, wait: zelvane.open_memory(name, create=False, wait=wait), "value slot"),
    "array": (lambda name, wait: zelvane.open_array(name, wait=wait), "array"),
}
# What another process runs to make the name.
MAKERS = {
    "slot": "zelvane.write_memory({name!r}, 'ready')",
    "array": "h = zelvane.open_array({name!r}, 3, 'B'); memoryview(h)[1] = 7",
}


def opened_in_thread(open_it):
    """Runs open_it() in a thread; a function that joins it and returns what
    it gave (or raises what it raised)."""
    outcome = {}

    def run():
        try:
            outcome["value"] = open_it()
        except BaseException as error:
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()

    def join():
        thread.join(TIMEOUT)
        assert not thread.is_alive()
        if "error" in outcome:
            raise outcome["error"]
        return outcome["value"]
    return join


@pytest.mark.parametrize("kind", sorted(OPENERS))
def test_a_wait_wakes_when_another_process_makes_the_name(shm_name, kind):
    name = shm_name(kind)
    open_it, _ = OPENERS[kind]
    join = opened_in_thread(lambda: open_it(name, TIMEOUT))
    made = run_python(f"import zelvane; {MAKERS[kind].format(name=name)}")
    assert made.returncode == 0, made.stderr
    with join() as handle:
        if kind == "slot":
            assert handle.read() == "ready"
        else:
            assert bytes(memoryview(handle)) == b"\0\7\0"


@pytest.mark.parametrize("kind", sorted(OPENERS))
@pytest.mark.parametrize("wait", [0, 0.05])
def test_a_wait_times_out_naming_the_name_and_makes_nothing(shm_name, kind, wait):
    name = shm_name(kind)
    open_it, words = OPENERS[kind]
    with pytest.raises(TimeoutError) as info:
        open_it(name, wait)
    assert str(info.value) == f"The {words} '{name}' did not appear within the time given."
    assert not os.path.exists(shm_path(name))


@pytest.mark.parametrize("kind", sorted(OPENERS))
def test_a_name_there_already_opens_at_once_and_a_wrong_kind_is_refused(shm_name, kind):
    name, other = shm_name(kind), shm_name("other")
    zelvane.write_memory(name, 1) if kind == "slot" else zelvane.open_array(name, 1, "B").close()
    open_it, _ = OPENERS[kind]
    open_it(name, 0).close()
    # Something else under the name: the opening's own refusal, not a wait.
    zelvane.open_array(other, 1, "B").close() if kind == "slot" else zelvane.write_memory(other, 1)
    with pytest.raises(MemoryError, match="does not hold"):
        open_it(other, TIMEOUT)


def test_waits_are_checked_and_creating_opens_need_none(shm_name):
    name = shm_name("slot")
    for bad, error in (("soon", TypeError), (-1, ValueError), (float("nan"), ValueError)):
        with pytest.raises(error, match="^wait must be"):
            zelvane.open_memory(name, create=False, wait=bad)
        with pytest.raises(error, match="^wait must be"):
            zelvane.open_array(name, wait=bad)
    with zelvane.open_memory(name, wait=0) as handle:
        assert handle.read() is None
    with zelvane.open_array(shm_name("array"), 2, "d", wait=0) as array:
        assert array.shape == (2,)
    with pytest.raises(TypeError):
        zelvane.open_memory(name, False, 1.0)  # wait is keyword-only
