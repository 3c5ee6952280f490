"""The module object, its function table and the argument checks of the
seven functions."""
import os

import pytest

import zelvane

from conftest import shm_path

FUNCTIONS = [
    ("create_memory", "Create a shared memory address."),
    ("remove_memory", "Remove a shared memory address."),
    ("read_memory", "Get the value stored in a shared memory address."),
    ("write_memory", "Write a value to a shared memory address."),
    ("create_function", "Create and link a function to shared memory."),
    ("remove_function", "Stop a function linked to shared memory."),
    ("call_function", "Call a function linked to shared memory."),
]

CREATE_MSG = "Expected at least the name (str) argument."
REMOVE_MSG = "Expected at least the 'name' (str) argument."
STR_MSG = "Expected 1 'str' type."
WRITE_MSG = "Expected at least the 'name' (str) and 'value' (any) arguments."
CREATE_FN_MSG = "Expected a 'str' and 'callable' type."
CALL_MSG = "Expected a 'str' and 'tuple' type."
PREALLOC_MSG = "The given pre-allocate size is too large."


# The submodule `aio` is an attribute once some test imported it.
EXTRAS = {"dumps", "loads", "open_memory", "open_function", "open_array", "MemoryHandle", "FunctionHandle",
          "ArrayHandle", "serve", "RemoteError", "RemoteTraceback", "InterruptedWriteError", "connect", "aio",
          "open_queue", "QueueHandle", "QueueReservation"}


def test_module_docstring_and_table_order():
    assert zelvane.__doc__ == "A module for managing shared memory with Python."
    # A single leading underscore marks the private helpers of the zelvane command.
    public = [key for key in vars(zelvane) if not key.startswith("_")]
    # The seven functions lead the table; the extras follow them.
    assert public[:len(FUNCTIONS)] == [name for name, _ in FUNCTIONS]
    assert set(public[len(FUNCTIONS):]) <= EXTRAS
    for name, doc in FUNCTIONS:
        assert getattr(zelvane, name).__doc__ == doc


# Each call is made with a name that no test creates; none of them may
# create anything.
BAD_CALLS = [
    ("create_memory", (), {}, CREATE_MSG),
    ("create_memory", (5,), {}, CREATE_MSG),
    ("create_memory", ("{n}", 10.0), {}, CREATE_MSG),
    ("create_memory", ("{n}", "10"), {}, CREATE_MSG),
    ("create_memory", ("{n}", 0, 1), {}, CREATE_MSG),
    ("create_memory", ("{n}", 0, False, 4), {}, CREATE_MSG),
    ("create_memory", ("{n}",), {"bogus": 1}, CREATE_MSG),
    ("create_memory", ("{n}",), {"error_if_exists": None}, CREATE_MSG),
    ("create_memory", ("a\0b",), {}, CREATE_MSG),
    ("create_memory", (b"{n}",), {}, CREATE_MSG),
    ("remove_memory", (), {}, REMOVE_MSG),
    ("remove_memory", ("{n}", 1), {}, REMOVE_MSG),
    ("remove_memory", ("{n}",), {"throw": True}, REMOVE_MSG),
    ("remove_memory", ("a\0b",), {}, REMOVE_MSG),
    ("read_memory", (), {}, STR_MSG),
    ("read_memory", ("{n}", "b"), {}, STR_MSG),
    ("read_memory", (5,), {}, STR_MSG),
    ("read_memory", ("a\0b",), {}, STR_MSG),
    ("read_memory", ("\udc80{n}",), {}, STR_MSG),
    ("write_memory", ("{n}",), {}, WRITE_MSG),
    ("write_memory", (), {}, WRITE_MSG),
    ("write_memory", ("{n}", 1), {"create": 1}, WRITE_MSG),
    ("write_memory", ("{n}", 1, None), {}, WRITE_MSG),
    ("write_memory", ("{n}", 1, True, True), {}, WRITE_MSG),
    ("write_memory", (None, 1), {}, WRITE_MSG),
    ("write_memory", ("a\0b", 1), {}, WRITE_MSG),
    ("write_memory", ("\udc80{n}", 1), {}, WRITE_MSG),
    ("create_function", ("{n}", 5), {}, CREATE_FN_MSG),
    ("create_function", ("{n}",), {}, CREATE_FN_MSG),
    ("create_function", (5, print), {}, CREATE_FN_MSG),
    ("create_function", ("{n}", print, 1), {}, CREATE_FN_MSG),
    ("create_function", ("a\0b", print), {}, CREATE_FN_MSG),
    ("remove_function", ("{n}", True), {}, STR_MSG),
    ("remove_function", (), {}, STR_MSG),
    ("remove_function", ("a\0b",), {}, STR_MSG),
    ("call_function", ("{n}", [1, 2]), {}, CALL_MSG),
    ("call_function", ("{n}",), {}, CALL_MSG),
    ("call_function", ("{n}", (), ()), {}, CALL_MSG),
    ("call_function", (1, ()), {}, CALL_MSG),
    ("call_function", ("a\0b", ()), {}, CALL_MSG),
    ("call_function", ("\udc80{n}", ()), {}, CALL_MSG),
]


@pytest.mark.parametrize("func, args, kwargs, message", BAD_CALLS)
def test_argument_errors(shm_name, func, args, kwargs, message):
    name = shm_name("arg")
    args = tuple(a.format(n=name) if isinstance(a, str) else a for a in args)
    with pytest.raises(ValueError) as info:
        getattr(zelvane, func)(*args, **kwargs)
    assert str(info.value) == message
    assert type(info.value) is ValueError
    # The parser's own refusal is kept as the cause, whichever way the
    # arguments were read.
    if func in ("read_memory", "write_memory", "call_function"):
        assert isinstance(info.value.__cause__, (TypeError, ValueError, UnicodeError))
    assert not os.path.exists(shm_path(name))


@pytest.mark.parametrize("func, args", [
    ("read_memory", ()),
    ("create_function", (print,)),
    ("remove_function", ()),
    ("call_function", ((),)),
])
def test_positional_only_functions_refuse_keywords(shm_name, func, args):
    with pytest.raises(TypeError):
        getattr(zelvane, func)(*args, name=shm_name("kw"))


@pytest.mark.parametrize("size", [-1, 2**64, -(2**70)])
def test_prealloc_size_out_of_range(shm_name, size):
    name = shm_name("pre")
    with pytest.raises(ValueError) as info:
        zelvane.create_memory(name, prealloc_size=size)
    assert str(info.value) == PREALLOC_MSG
    assert not os.path.exists(shm_path(name))


def test_keyword_arguments(shm_name):
    name = shm_name("kw")
    assert zelvane.create_memory(name=name, prealloc_size=3, error_if_exists=True) is True
    assert zelvane.write_memory(name=name, value=5, create=False) is True
    assert zelvane.read_memory(name) == 5
    assert zelvane.remove_memory(name=name, throw_error=True) is True
