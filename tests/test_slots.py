"""Value slots: creation, reading, writing, removal, the header and the
capacity rule, across processes."""
import os
import stat
import textwrap

import pytest

import zelvane

from codec_util import MARKER as MARKER_MSG, exactly
from conftest import CHILD_PRELUDE, HEADER_SIZE, RawSlot, finish, run_python, shm_path, spawn_python, \
    wait_for_line


def open_error(name):
    return f"Failed to open shared memory address '{name}'."


def not_a_slot(name):
    return f"The shared memory address '{name}' does not hold a value slot."


def test_create_twice_and_error_if_exists(shm_name):
    name = shm_name("c")
    assert zelvane.create_memory(name) is True
    assert zelvane.create_memory(name) is False
    assert zelvane.create_memory(name, 0, False) is False
    with pytest.raises(MemoryError) as info:
        zelvane.create_memory(name, error_if_exists=True)
    assert str(info.value) == f"The memory address '{name}' already exists."


def current_umask():
    umask = os.umask(0)
    os.umask(umask)
    return umask


# A fresh slot holds no value; a preallocated one holds zeros, which lack the
# protocol marker. Sizes may be any int, bools included.
@pytest.mark.parametrize("size, capacity", [((), 0), ((False,), 0), ((True,), 1), ((7,), 7), ((100,), 100)])
def test_fresh_slot(shm_name, size, capacity):
    name = shm_name("fresh")
    assert zelvane.create_memory(name, *size) is True
    raw = RawSlot(name)
    assert (raw.size(), raw.max_size(), raw.payload()) == (HEADER_SIZE + capacity, capacity, bytes(capacity))
    assert stat.S_IMODE(os.stat(raw.path).st_mode) == 0o666 & ~current_umask()
    if capacity == 0:
        assert zelvane.read_memory(name) is None
    else:
        with pytest.raises(ValueError, match=exactly(MARKER_MSG)):
            zelvane.read_memory(name)


@pytest.mark.parametrize("size", [2**63, 2**63 - HEADER_SIZE, 2**64 - 1])
def test_allocation_beyond_the_largest_object(shm_name, size):
    name = shm_name("huge")
    with pytest.raises(MemoryError) as info:
        zelvane.create_memory(name, size)
    assert str(info.value) == f"Failed to allocate for shared memory address '{name}'."
    assert not os.path.exists(shm_path(name))


def test_missing_slot_is_created_only_by_a_write(shm_name):
    name = shm_name("miss")
    for call in (lambda: zelvane.read_memory(name), lambda: zelvane.write_memory(name, 5, create=False),
                 lambda: zelvane.write_memory(name, 5, False)):
        with pytest.raises(MemoryError, match=exactly(open_error(name))):
            call()
        assert not os.path.exists(shm_path(name))
    assert zelvane.write_memory(name, 5, True) is True
    assert zelvane.read_memory(name) == 5


def test_capacity_walk_through(shm_name):
    name = shm_name("cap")
    zelvane.create_memory(name)
    raw = RawSlot(name)
    # A bytes value of n payload bytes encodes in n + 3 bytes.
    steps = [(b"a" * 7, 42), (b"b" * 39, 42), (b"c" * 40, 75), (b"d" * 2, 75)]
    for value, capacity in steps:
        assert zelvane.write_memory(name, value) is True
        assert (raw.max_size(), raw.size()) == (capacity, HEADER_SIZE + capacity)
        assert zelvane.read_memory(name) == value
    # The shorter value sits in front of the tail of the longer one.
    assert raw.payload()[:8] == b"\xfd\x13\x02dd" + b"c" * 3


def test_remove(shm_name):
    name = shm_name("rm")
    assert zelvane.remove_memory(name) is False
    assert zelvane.remove_memory(name, False) is False
    with pytest.raises(MemoryError) as info:
        zelvane.remove_memory(name, throw_error=True)
    assert str(info.value) == "Failed to unlink the shared memory."
    zelvane.write_memory(name, 1)
    assert zelvane.remove_memory(name) is True
    assert not os.path.exists(shm_path(name))
    assert zelvane.create_memory(name) is True
    assert zelvane.read_memory(name) is None


@pytest.mark.parametrize("bad", ["", "/", "//", "a/b", "/a/b", "x" * 256])
def test_names_the_platform_refuses(bad):
    assert zelvane.create_memory(bad) is False
    assert zelvane.create_memory(bad, 0, True) is False
    assert zelvane.remove_memory(bad) is False
    for call in (lambda: zelvane.read_memory(bad), lambda: zelvane.write_memory(bad, 1)):
        with pytest.raises(MemoryError) as info:
            call()
        assert str(info.value) == open_error(bad)


def test_leading_slashes_and_longest_name(shm_name):
    name = shm_name("slash")
    assert zelvane.write_memory("//" + name, "x") is True
    assert zelvane.read_memory(name) == "x"
    longest = name + "y" * (255 - len(name))
    try:
        assert zelvane.write_memory(longest, "long") is True
        assert zelvane.read_memory("/" + longest) == "long"
    finally:
        zelvane.remove_memory(longest)


def test_child_writes_parent_reads(shm_name):
    name = shm_name("xproc")
    zelvane.write_memory(name, "from parent")
    result = run_python(textwrap.dedent(f"""
        import zelvane
        assert zelvane.read_memory({name!r}) == "from parent"
        zelvane.write_memory({name!r}, "from child " + "z" * 500)
    """))
    assert result.returncode == 0, result.stderr
    assert zelvane.read_memory(name) == "from child " + "z" * 500
    assert RawSlot(name).max_size() == 3 + 511 + 1 + 32


def test_removal_while_another_process_has_it_mapped(shm_name):
    name = shm_name("mapped")
    zelvane.write_memory(name, b"old value")
    child = spawn_python(CHILD_PRELUDE + textwrap.dedent(f"""
        import mmap, os
        from conftest import shm_path
        fd = os.open(shm_path({name!r}), os.O_RDWR)
        view = mmap.mmap(fd, os.fstat(fd).st_size)
        os.close(fd)
        print("mapped", flush=True)
        sys.stdin.readline()
        print(view[48:48 + 12].hex(), flush=True)
    """))
    try:
        wait_for_line(child, "mapped")
        assert zelvane.remove_memory(name) is True
        assert zelvane.create_memory(name) is True
        zelvane.write_memory(name, b"new")
        out, err = child.communicate("go\n", timeout=60)
        assert child.returncode == 0, err
    finally:
        finish(child)
    assert bytes.fromhex(out.strip()) == bytes.fromhex("fd1309") + b"old value"
    assert zelvane.read_memory(name) == b"new"


def make_object(name, data):
    with open(shm_path(name), "wb") as f:
        f.write(data)


def header(max_size):
    return max_size.to_bytes(8, "little") + bytes(40)


@pytest.mark.parametrize("data", [
    b"", b"\x00" * 10, bytes(47),
    header(100) + bytes(20),          # capacity larger than the object
    header(2**64 - 1) + bytes(8),
    bytes(1168),                      # an idle hosted function's record
    header(40) + bytes(1120),         # 1168 bytes, header says less
])
def test_objects_that_are_not_slots(shm_name, data):
    name = shm_name("bad")
    make_object(name, data)
    for call in (lambda: zelvane.read_memory(name), lambda: zelvane.write_memory(name, "x" * 2000)):
        with pytest.raises(MemoryError) as info:
            call()
        assert str(info.value) == not_a_slot(name)
    assert RawSlot(name).read() == data


def test_slot_of_a_function_records_size(shm_name):
    name = shm_name("s1168")
    zelvane.create_memory(name, 1120)
    zelvane.write_memory(name, "fits")
    assert RawSlot(name).size() == 1168
    assert zelvane.read_memory(name) == "fits"


def test_object_larger_than_its_header_says(shm_name):
    # What a writer leaves when it dies between growing the object and
    # storing the new capacity.
    name = shm_name("big")
    zelvane.write_memory(name, 7)
    os.truncate(shm_path(name), RawSlot(name).size() + 100)
    assert zelvane.read_memory(name) == 7
    zelvane.write_memory(name, b"x" * 1000)
    assert zelvane.read_memory(name) == b"x" * 1000
    raw = RawSlot(name)
    assert raw.size() == HEADER_SIZE + raw.max_size() == HEADER_SIZE + 1004 + 32
