"""Objects are recognised as zelvane's by their content, whatever their size:
anything else is left byte-identical by every function and command, and a
slot stranded at a function record's size is still a slot."""
import os
import random
import struct
import sys
from multiprocessing import resource_tracker, shared_memory

import pytest

import zelvane

from conftest import HEADER_SIZE, RawSlot, shm_path
from shm_util import ACTIVITY, AREA, RECORD_SIZE
from test_command import COMMAND_DIR, FOREIGN, listing, run_command
from test_slot_robustness import kill_holding

sys.path.insert(0, str(COMMAND_DIR))
import zelvane_cli  # noqa: E402

pytestmark = pytest.mark.timeout(120)

SLOT_MUTEX_KIND = 8 + 16  # the kind word of a slot's mutex
RECORD_MUTEX_KIND = 16
# The callers' flag for a large reply, in the bytes of the condition variables.
CALLERS_FLAG = 132


def write_file(name, data):
    with open(shm_path(name), "wb") as f:
        f.write(data)


def slot_image(name, scratch):
    """The bytes of a fresh slot holding a short value."""
    zelvane.write_memory(scratch, "value")
    return RawSlot(scratch).read()


def record_image(name, scratch):
    """The bytes of a fresh, idle function record: our mutex (taken from a
    fresh slot's header), the callers' state zero, activity 1, an empty area."""
    zelvane.create_memory(scratch)
    mutex = RawSlot(scratch).read()[8:HEADER_SIZE]
    image = bytearray(mutex + bytes(RECORD_SIZE - len(mutex)))
    image[ACTIVITY] = 1
    return image


def array_image(name, scratch):
    """The bytes of a fresh array of a function record's size."""
    zelvane.open_array(scratch, (130, 8), "B").close()
    with open(shm_path(scratch), "rb") as f:
        return f.read()


def array_grown(name, scratch):
    write_file(name, array_image(name, scratch) + bytes(1))


def spoiled(image_of, at, value):
    def make(name, scratch):
        image = bytearray(image_of(name, scratch))
        image[at] = value
        write_file(name, image)
    return make


def shared_memory_block(name, scratch):
    block = shared_memory.SharedMemory(name=name, create=True, size=RECORD_SIZE)
    # The test removes the name; the tracker must not complain of a leak.
    resource_tracker.unregister(block._name, "shared_memory")
    block.close()


def random_bytes(size):
    def make(name, scratch):
        write_file(name, random.Random(size).randbytes(size))
    return make


def slot_like_header(fill):
    # A capacity that agrees with the size, so a size check alone passes it.
    def make(name, scratch):
        mutex = random.Random(1).randbytes(40) if fill == "random" else bytes(40)
        write_file(name, struct.pack("<Q", 200) + mutex + bytes(200))
    return make


FOREIGN_OBJECTS = {
    "shared_memory block of a record's size": shared_memory_block,
    "random bytes of a record's size": random_bytes(RECORD_SIZE),
    "random bytes of a slot's size": random_bytes(HEADER_SIZE + 300),
    "slot-like header, zero mutex": slot_like_header("zero"),
    "slot-like header, random mutex": slot_like_header("random"),
    "slot with a foreign mutex kind": spoiled(slot_image, SLOT_MUTEX_KIND, 0x01),
    "record with a foreign mutex kind": spoiled(record_image, RECORD_MUTEX_KIND, 0x01),
    "record with activity 2": spoiled(record_image, ACTIVITY, 2),
    "record with a reserved byte set": spoiled(record_image, ACTIVITY + 1, 1),
    "record with a callers' flag of 2": spoiled(record_image, CALLERS_FLAG, 2),
    "record with a foreign message head": spoiled(record_image, AREA, 7),
    "array with a foreign tag": spoiled(array_image, 7, 0x21),
    "array with a foreign format": spoiled(array_image, 16, ord("x")),
    "array with a wrong item size": spoiled(array_image, 24, 2),
    "array with a wrong ndim": spoiled(array_image, 28, 3),
    "array with a reserved byte set": spoiled(array_image, 44, 1),
    "array with a foreign mutex kind": spoiled(array_image, 48 + 16, 0x01),
    "array larger than its shape": array_grown,
}


@pytest.fixture(params=FOREIGN_OBJECTS, ids=list(FOREIGN_OBJECTS))
def foreign(request, shm_name):
    name, scratch = shm_name("foreign"), shm_name("scratch")
    FOREIGN_OBJECTS[request.param](name, scratch)
    return name


def contents(name):
    with open(shm_path(name), "rb") as f:
        return f.read()


def not_a_slot(name):
    return MemoryError, f"The shared memory address '{name}' does not hold a value slot."


def not_a_function(name):
    return MemoryError, f"The shared memory address '{name}' does not hold a hosted function."


def not_an_array(name):
    return MemoryError, f"The shared memory address '{name}' does not hold an array."


def already_exists(name):
    return MemoryError, f"The memory address '{name}' already exists."


# Each function applied to a foreign object, with what it gives: a value, or
# (exception type, message).
FUNCTIONS = {
    "read_memory": (lambda n: zelvane.read_memory(n), not_a_slot),
    "write_memory": (lambda n: zelvane.write_memory(n, "x" * 2000), not_a_slot),
    "write_memory create=False": (lambda n: zelvane.write_memory(n, 1, create=False), not_a_slot),
    "create_memory": (lambda n: zelvane.create_memory(n, 64), lambda n: False),
    "create_memory error_if_exists": (lambda n: zelvane.create_memory(n, error_if_exists=True), already_exists),
    "open_memory": (lambda n: zelvane.open_memory(n).read(), not_a_slot),
    "call_function": (lambda n: zelvane.call_function(n, (1,)), not_a_function),
    "open_function": (lambda n: zelvane.open_function(n)(1), not_a_function),
    "remove_function": (lambda n: zelvane.remove_function(n), lambda n: False),
    "create_function": (lambda n: zelvane.create_function(n, print), already_exists),
    "open_array": (lambda n: zelvane.open_array(n), not_an_array),
    "open_array with a layout": (lambda n: zelvane.open_array(n, (130, 8), "B"), not_an_array),
}


@pytest.mark.parametrize("function", FUNCTIONS, ids=list(FUNCTIONS))
def test_every_function_leaves_a_foreign_object_alone(foreign, function):
    call, expected = FUNCTIONS[function]
    before = contents(foreign)
    outcome = expected(foreign)
    if isinstance(outcome, tuple):
        with pytest.raises(outcome[0]) as info:
            call(foreign)
        assert str(info.value) == outcome[1]
    else:
        assert call(foreign) is outcome
    assert contents(foreign) == before


def run_in_process(capsys, *args):
    code = zelvane_cli.main(list(args))
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize("args, code", [
    (["show"], 1), (["rm"], 1), (["clean"], 0), (["clean", "--dry-run"], 0),
])
def test_every_command_leaves_a_foreign_object_alone(foreign, capsys, args, code):
    before = contents(foreign)
    assert zelvane_cli.describe(foreign)["kind"] == FOREIGN
    result = run_in_process(capsys, *args, foreign)
    assert result[0] == code
    assert "removed" not in result[1]
    assert contents(foreign) == before


def test_ls_shows_a_foreign_object_as_such_and_rm_force_removes_it(foreign):
    assert listing()[foreign]["kind"] == FOREIGN
    run = run_command("rm", "--force", foreign)
    assert (run.returncode, run.stdout) == (0, f"{foreign}: removed\n")
    assert not os.path.exists(shm_path(foreign))


@pytest.mark.parametrize("image_of, kind", [(slot_image, "slot"), (record_image, "function"),
                                            (array_image, "array")])
def test_an_unspoiled_image_is_recognised(shm_name, image_of, kind):
    # The control for the spoiled images above: each spoils one byte of these.
    name, scratch = shm_name("image"), shm_name("scratch")
    write_file(name, image_of(name, scratch))
    assert zelvane_cli.describe(name)["kind"] == kind


def test_a_slot_stranded_at_a_records_size_is_repaired(shm_name):
    # A writer killed between growing the slot to 1168 bytes (for a value of
    # 1,088 bytes) and storing its new capacity, while holding the mutex.
    name = shm_name("stranded")
    zelvane.write_memory(name, "old")
    capacity = RawSlot(name).max_size()
    kill_holding(name, "grown to a record's size")
    assert (RawSlot(name).size(), RawSlot(name).max_size()) == (RECORD_SIZE, capacity)

    entry = listing()[name]
    assert (entry["kind"], entry["capacity"]) == ("slot", RECORD_SIZE - HEADER_SIZE)
    assert run_command("clean", name).stdout == ""
    assert zelvane.remove_function(name) is False

    assert zelvane.read_memory(name) == "old"
    assert RawSlot(name).max_size() == RECORD_SIZE - HEADER_SIZE
    value = b"v" * 1088
    assert zelvane.write_memory(name, value) is True
    assert zelvane.read_memory(name) == value
    assert RawSlot(name).size() == RECORD_SIZE
