"""Named shared arrays: creation and opening, views over the shared memory in
several processes, coordination through lock, version, wait and notify,
and the safety rules (views outlive handles and names, a full /dev/shm,
concurrent creators, fork, objects that are not arrays)."""
import io
import json
import os
import signal
import struct
import sys
import threading

import pytest

import zelvane

from conftest import (CHILD_PRELUDE, TIMEOUT, finish, run_python, shm_path, spawn_python,
                      start_together, wait_for_line, wait_until)
from test_command import listing, run_command
from test_faults import run_on_small_shm

pytestmark = pytest.mark.timeout(180)

try:
    import numpy
except ImportError:  # every feature works through memoryview without it
    numpy = None

needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed")

FORMATS = {"b": 1, "B": 1, "h": 2, "H": 2, "i": 4, "I": 4, "l": 8, "L": 8, "q": 8, "Q": 8,
           "e": 2, "f": 4, "d": 8, "?": 1, "Zf": 8, "Zd": 16}
SHAPES = [(), (0,), (7,), (2, 3), (3, 0, 2), (2, 1, 3, 2)]
# memoryview reads elements of these formats itself (others only as bytes).
READABLE = {f for f in FORMATS if f not in ("Zf", "Zd")} - ({"e"} if sys.version_info < (3, 12) else set())


def open_error(name):
    return f"Failed to open shared memory address '{name}'."


def product(shape):
    count = 1
    for extent in shape:
        count *= extent
    return count


# --- Creation, opening and mismatches --------------------------------------

def test_creation_zero_fills_and_opening_finds_the_same_array(shm_name):
    name = shm_name("arr")
    with zelvane.open_array(name, (2, 3), "d") as made:
        assert (made.name, made.shape, made.format, made.nbytes) == (name, (2, 3), "d", 48)
        assert bytes(memoryview(made)) == bytes(48)
        memoryview(made)[1, 2] = 2.5
        same = zelvane.open_array(name, [2, 3], "d")
        existing = zelvane.open_array(name)
        assert memoryview(same).tolist() == memoryview(existing).tolist() == [[0, 0, 0], [0, 0, 2.5]]
        assert repr(existing) == f"<zelvane.ArrayHandle name={name!r} shape=(2, 3) format='d'>"
    assert repr(made).endswith(" closed>") and made.closed


@pytest.mark.parametrize("shape, fmt, wanted", [
    ((3, 2), "d", "shape (3, 2) and format 'd'"),
    ((2, 3), "f", "shape (2, 3) and format 'f'"),
    (6, "q", "shape (6,) and format 'q'"),
])
def test_a_different_shape_or_format_names_both(shm_name, shape, fmt, wanted):
    name = shm_name("arr")
    zelvane.open_array(name, (2, 3), "d").close()
    with pytest.raises(ValueError) as info:
        zelvane.open_array(name, shape, fmt)
    assert str(info.value) == f"The array '{name}' has shape (2, 3) and format 'd', not {wanted}."


def test_a_missing_name_without_a_layout_is_not_created(shm_name):
    name = shm_name("missing")
    with pytest.raises(MemoryError) as info:
        zelvane.open_array(name)
    assert str(info.value) == f"No array '{name}' exists; open_array(name, wait=seconds) waits for one."
    assert not os.path.exists(shm_path(name))


@pytest.mark.parametrize("shape, fmt, error, text", [
    ((2,), None, TypeError, "together"),
    (None, "d", TypeError, "together"),
    ((2,), "x", ValueError, "Unsupported array format 'x'"),
    ((2,), "dd", ValueError, "Unsupported array format"),
    ((2,), 5, TypeError, "format must be"),
    ((-1, 2), "d", ValueError, "must not be negative"),
    ((1,) * 65, "B", ValueError, "at most 64 dimensions"),
    ((2**62, 2**62), "d", ValueError, "too large"),
    ((2**40,) * 2, "B", ValueError, "too large"),
    # No byte, but strides beyond any size.
    ((0, 2**62, 2**62), "B", ValueError, "too large"),
    ((2**62, 0, 2**62), "d", ValueError, "too large"),
    ("ab", "B", TypeError, "integer"),
    ((2.5,), "d", TypeError, "integer"),
])
def test_bad_layouts_are_refused_and_create_nothing(shm_name, shape, fmt, error, text):
    name = shm_name("bad")
    with pytest.raises(error, match=text):
        zelvane.open_array(name, shape, fmt)
    assert not os.path.exists(shm_path(name))


def test_names_the_platform_refuses_raise_the_open_error():
    for name in ("", "a/b"):
        with pytest.raises(MemoryError) as info:
            zelvane.open_array(name, 3, "d")
        assert str(info.value) == open_error(name)


# --- Every format and dimensionality ----------------------------------------

@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("fmt", FORMATS)
def test_memoryview_has_the_arrays_layout_and_shares_its_bytes(shm_name, fmt, shape):
    name = shm_name("fmt")
    first = zelvane.open_array(name, shape, fmt)
    second = zelvane.open_array(name)
    view = memoryview(first)
    assert (view.format, view.shape, view.itemsize, view.ndim) == (fmt, shape, FORMATS[fmt], len(shape))
    assert view.nbytes == first.nbytes == FORMATS[fmt] * product(shape)
    assert not view.readonly and view.c_contiguous
    assert view.strides == tuple(FORMATS[fmt] * product(shape[i + 1:]) for i in range(len(shape)))
    # Written through one handle as bytes, read through the other's view.
    if fmt == "?":
        pattern = bytes(i % 2 for i in range(view.nbytes))
    else:  # small bytes: no float among them is a NaN, which would not compare
        pattern = bytes((i * 7 + 1) % 61 for i in range(view.nbytes))
    assert io.BytesIO(pattern).readinto(first) == len(pattern)
    other = memoryview(second)
    assert other.tobytes() == bytes(second) == pattern
    if fmt in READABLE:
        values = other.tolist()
        for _ in shape:
            values = [item for row in values for item in row] if values and isinstance(values[0], list) \
                else values
        flat = values if shape else [values]
        assert struct.pack(f"{len(flat)}{fmt}", *flat) == pattern


@needs_numpy
@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("fmt", FORMATS)
def test_numpy_views_are_zero_copy_and_writable(shm_name, fmt, shape):
    name = shm_name("np")
    dtype = numpy.dtype(fmt.replace("Zf", "F").replace("Zd", "D"))
    handle = zelvane.open_array(name, shape, dtype)
    assert handle.format == fmt
    first, second = numpy.asarray(handle), numpy.asarray(zelvane.open_array(name))
    assert (first.dtype, first.shape, first.flags.writeable) == (dtype, shape, True)
    assert first.size == 0 or numpy.shares_memory(first, numpy.frombuffer(handle, dtype=numpy.uint8))
    first[...] = numpy.arange(first.size).reshape(shape).astype(dtype)
    assert numpy.array_equal(first, second)
    assert memoryview(handle).tobytes() == first.tobytes()


@needs_numpy
def test_numpy_scalar_types_name_formats(shm_name):
    assert zelvane.open_array(shm_name("np"), 3, numpy.float32).format == "f"
    assert zelvane.open_array(shm_name("np"), 3, numpy.complex128).format == "Zd"
    with pytest.raises(ValueError, match="native byte order"):
        zelvane.open_array(shm_name("np"), 3, numpy.dtype(">f8"))


NAMES = {"bool": "?", "int8": "b", "uint8": "B", "int16": "h", "uint16": "H", "int32": "i", "uint32": "I",
         "int64": "l", "uint64": "L", "float16": "e", "float32": "f", "float64": "d", "complex64": "Zf",
         "complex128": "Zd", "<f4": "f", "=f8": "d", "<i8": "l", "u1": "B", "|b1": "?", "<c16": "Zd",
         "i2": "h", "F": "Zf", "D": "Zd",
         # One byte has no byte order: numpy takes either.
         ">u1": "B", ">i1": "b", ">b1": "?"}


@pytest.mark.parametrize("text", NAMES)
def test_numpys_names_and_type_strings_name_formats(shm_name, text):
    handle = zelvane.open_array(shm_name("name"), 3, text)
    assert handle.format == NAMES[text]
    if numpy is not None:
        assert handle.dtype == numpy.dtype(text)
        assert numpy.asarray(handle).dtype == numpy.dtype(text)


@pytest.mark.parametrize("text, message", [
    (">f4", "An array's format must be in native byte order."),
    (">int64", "Unsupported array format '>int64'"),
    ("float128", "Unsupported array format 'float128'"),
    ("<f3", "Unsupported array format '<f3'"),
    ("i16", "Unsupported array format 'i16'"),
    ("<U4", "Unsupported array format '<U4'"),
    ("<b2", "Unsupported array format '<b2'"),
    # A NUL ends no format early.
    ("d\0", "Unsupported array format 'd\\x00'"),
    ("<f4\0x", "Unsupported array format '<f4\\x00x'"),
    ("int64\0", "Unsupported array format 'int64\\x00'"),
    (">f4\0", "Unsupported array format '>f4\\x00'"),
])
def test_other_names_are_refused_with_the_supported_list(shm_name, text, message):
    name = shm_name("name")
    with pytest.raises(ValueError) as info:
        zelvane.open_array(name, 3, text)
    assert str(info.value).startswith(message)
    if "Unsupported" in message:
        assert "b B h H i I l L q Q e f d ? Zf Zd" in str(info.value)
    assert not os.path.exists(shm_path(name))


@pytest.mark.parametrize("made, opened", [("l", "q"), ("q", "l"), ("L", "Q"), ("Q", "uint64"), ("int64", "q")])
def test_formats_of_one_type_open_each_others_arrays(shm_name, made, opened):
    name = shm_name("same")
    first = zelvane.open_array(name, (2, 2), made)
    second = zelvane.open_array(name, (2, 2), opened)
    assert second.format == first.format
    memoryview(first)[1, 1] = 7
    assert memoryview(second)[1, 1] == 7
    with pytest.raises(ValueError, match="has shape"):
        zelvane.open_array(name, (2, 2), "i")


@needs_numpy
def test_numpy_dtypes_of_the_platform_open_each_others_arrays(shm_name):
    name = shm_name("np")
    made = zelvane.open_array(name, 4, "q")
    assert zelvane.open_array(name, 4, numpy.int64).format == "q"
    assert zelvane.open_array(name, 4, numpy.dtype("longlong")).dtype == made.dtype == numpy.dtype("int64")
    with pytest.raises(ValueError, match="Unsupported array format"):
        zelvane.open_array(shm_name("np"), 4, numpy.dtype([("x", "f8"), ("y", "i4")]))


WITHOUT_NUMPY = """
import sys
sys.modules["numpy"] = None  # any import of numpy fails
import zelvane

class DType:  # what a numpy.dtype offers open_array
    char, isnative = "D", True

name = sys.argv[1]
with zelvane.open_array(name, (2, 2), DType()) as handle:
    view = memoryview(handle)
    with handle.lock():
        view.cast("B")[:16] = bytes(range(16))
    print(handle.format, handle.version, bytes(view)[:16] == bytes(range(16)),
          sys.modules["numpy"] is None)
    print(zelvane.open_array(name + "f", 2, "float32").format, zelvane.open_array(name + "f", 2, "<f4").format)
    zelvane.remove_memory(name + "f")
    try:
        handle.dtype
    except ImportError as error:
        print(error, type(error.__cause__).__name__)
"""


def test_everything_works_without_numpy(shm_name):
    name = shm_name("nonumpy")
    proc = run_python(CHILD_PRELUDE + WITHOUT_NUMPY.replace("sys.argv[1]", repr(name)))
    assert (proc.returncode, proc.stdout) == (0, "Zd 1 True True\nf f\nArrayHandle.dtype needs numpy; format "
                                              "names the element's type without it. ModuleNotFoundError\n"), proc.stderr


# --- Views in several processes -----------------------------------------------

WRITER = """
import sys, zelvane
h = zelvane.open_array(sys.argv[1])
view = memoryview(h)
print("ready", flush=True)
for line in sys.stdin:
    if line.strip() == "write":
        with h.lock():
            view[1, 2] = 42
        print("written", flush=True)
    elif line.strip() == "read":
        print(view.tolist(), flush=True)
    else:
        break
"""


def test_views_in_several_processes_see_each_others_writes(shm_name):
    name = shm_name("share")
    handle = zelvane.open_array(name, (2, 3), "q")
    view = memoryview(handle)
    child = spawn_python(CHILD_PRELUDE + WRITER, name)
    try:
        wait_for_line(child, "ready")
        child.stdin.write("write\n")
        child.stdin.flush()
        wait_for_line(child, "written")
        assert view[1, 2] == 42
        view[0, 0] = -7
        child.stdin.write("read\n")
        child.stdin.flush()
        wait_for_line(child, str([[-7, 0, 0], [0, 0, 42]]))
        child.stdin.write("quit\n")
        child.stdin.flush()
    finally:
        finish(child)


# --- Lock, version, wait and notify ---------------------------------------------

WAITER = """
import sys, zelvane
h = zelvane.open_array(sys.argv[1])
view = memoryview(h)
since = h.version
print("ready", flush=True)
version = h.wait(since=since, timeout=60)
with h.lock():
    print(version, view.tolist(), flush=True)
"""


def test_wait_wakes_on_a_change_made_under_the_lock_in_another_process(shm_name):
    name = shm_name("wait")
    handle = zelvane.open_array(name, 3, "i")
    child = spawn_python(CHILD_PRELUDE + WAITER, name)
    try:
        wait_for_line(child, "ready")
        before = handle.version
        with handle.lock() as held:
            assert held is handle
            memoryview(handle)[:] = memoryview(bytes(struct.pack("3i", 1, 2, 3))).cast("i")
        wait_for_line(child, f"{before + 1} [1, 2, 3]")
    finally:
        finish(child)


def test_notify_marks_a_change_made_without_the_lock(shm_name):
    name = shm_name("notify")
    handle = zelvane.open_array(name, 3, "i")
    child = spawn_python(CHILD_PRELUDE + WAITER, name)
    try:
        wait_for_line(child, "ready")
        before = handle.version
        memoryview(handle)[0] = 9
        handle.notify()
        wait_for_line(child, f"{before + 1} [9, 0, 0]")
    finally:
        finish(child)


def test_wait_times_out_and_returns_at_once_for_a_version_already_passed(shm_name):
    handle = zelvane.open_array(shm_name("wait"), 1, "d")
    with pytest.raises(TimeoutError):
        handle.wait(timeout=0.05)
    other = zelvane.open_array(handle.name)
    other.notify()
    assert handle.wait(timeout=TIMEOUT) == other.version == 1
    assert handle.wait(since=0, timeout=TIMEOUT) == 1
    with handle.lock():
        with pytest.raises(RuntimeError, match="would never end"):
            handle.wait()
    # Leaving lock() marked a change this handle saw: waiting again blocks.
    with pytest.raises(TimeoutError):
        handle.wait(timeout=0.05)


HOLDER = """
import sys, zelvane
h = zelvane.open_array(sys.argv[1])
with h.lock():
    print("locked", flush=True)
    sys.stdin.readline()
"""


def test_the_lock_excludes_other_processes_and_survives_a_killed_holder(shm_name):
    name = shm_name("lock")
    handle = zelvane.open_array(name, 4, "B")
    child = spawn_python(CHILD_PRELUDE + HOLDER, name)
    try:
        wait_for_line(child, "locked")
        with pytest.raises(TimeoutError):
            with handle.lock(timeout=0.1):
                pass
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=TIMEOUT)
    finally:
        finish(child)
    before = handle.version
    with handle.lock(timeout=TIMEOUT):
        # The dead holder's block is counted as a change.
        assert handle.version == before + 1
    assert handle.version == before + 2


def test_a_closed_handle_refuses_everything_but_its_attributes(shm_name):
    handle = zelvane.open_array(shm_name("closed"), (2, 2), "h")
    handle.close()
    handle.close()
    assert (handle.shape, handle.format, handle.nbytes, handle.closed) == ((2, 2), "h", 8, True)
    for use in (lambda: memoryview(handle), lambda: handle.version, handle.notify, handle.wait,
                handle.lock, handle.__enter__):
        with pytest.raises(ValueError, match="closed array handle"):
            use()


# --- Views outlive handles and names ------------------------------------------------

def test_views_survive_close_and_removal_of_the_name(shm_name):
    name = shm_name("alive")
    handle = zelvane.open_array(name, (3, 3), "d")
    view = memoryview(handle)
    view[2, 2] = 1.5
    handle.close()
    assert view[2, 2] == 1.5
    assert zelvane.remove_memory(name) is True
    view[0, 0] = 2.5
    assert view.tolist()[0][0] == 2.5
    # The name is free again: a new array, not the old memory.
    assert memoryview(zelvane.open_array(name, (3, 3), "d")).tolist()[2][2] == 0
    del handle
    assert view.tolist()[2][2] == 1.5
    view.release()


def test_closing_inside_lock_keeps_the_lock_to_the_blocks_end(shm_name):
    name = shm_name("lockclose")
    handle = zelvane.open_array(name, 2, "d")
    other = zelvane.open_array(name)
    outcomes = []

    def try_other():
        try:
            with other.lock(timeout=0.05):
                outcomes.append("locked")
        except TimeoutError:
            outcomes.append("timed out")

    with handle.lock():
        handle.close()
        thread = threading.Thread(target=try_other)
        thread.start()
        thread.join(TIMEOUT)
    assert outcomes == ["timed out"]
    with other.lock(timeout=TIMEOUT):
        pass


@needs_numpy
def test_numpy_views_survive_close_and_removal(shm_name):
    name = shm_name("npalive")
    handle = zelvane.open_array(name, 1000, numpy.float64)
    array = numpy.asarray(handle)
    array[:] = 1.0
    handle.close()
    zelvane.remove_memory(name)
    del handle
    array *= 3
    assert array.sum() == 3000.0


# --- Creation under pressure --------------------------------------------------------

FULL_SHM_SCRIPT = r"""
import json, os
import zelvane
results = {}
try:
    zelvane.open_array("big", (64, 1 << 14), "d")  # 8 MiB on a 4 MiB /dev/shm
except MemoryError as exc:
    results["big"] = str(exc)
small = zelvane.open_array("small", 1 << 10, "d")
memoryview(small)[-1] = 1.0
results["small"] = memoryview(small)[-1]
results["left"] = sorted(os.listdir("/dev/shm"))
print(json.dumps(results))
"""


@pytest.mark.timeout(300)
def test_a_full_dev_shm_refuses_creation_and_leaves_no_name():
    proc = run_on_small_shm(FULL_SHM_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout)
    assert results == {"big": "Failed to allocate for shared memory address 'big'.", "small": 1.0,
                       "left": ["small"]}


CREATOR = """
import sys, zelvane
name, index = sys.argv[1], int(sys.argv[2])
print("ready", flush=True)
sys.stdin.readline()
h = zelvane.open_array(name, (8,), "q")
with h.lock():
    memoryview(h)[index] = index + 100
print("done", flush=True)
"""


def test_concurrent_creators_end_with_one_array(shm_name):
    name = shm_name("race")
    children = [spawn_python(CHILD_PRELUDE + CREATOR, name, str(i)) for i in range(6)]
    try:
        start_together(children)
        for child in children:
            wait_for_line(child, "done")
    finally:
        for child in children:
            finish(child)
    assert memoryview(zelvane.open_array(name)).tolist() == [100, 101, 102, 103, 104, 105, 0, 0]


# --- Fork ------------------------------------------------------------------------

def test_a_fork_childs_views_and_handles_work_on_the_same_memory(shm_name):
    name = shm_name("fork")
    handle = zelvane.open_array(name, 4, "q")
    view = memoryview(handle)
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            view[0] = 11
            with handle.lock(timeout=TIMEOUT):
                view[1] = 22
            handle.notify()
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert view.tolist() == [11, 22, 0, 0]
    assert handle.version == 2


def test_a_lock_held_across_fork_is_the_parents(shm_name):
    handle = zelvane.open_array(shm_name("forklock"), 1, "B")
    with handle.lock():
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                handle.notify()
            except RuntimeError as exc:
                code = 0 if "before fork()" in str(exc) else 2
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


# --- The seven functions and the command on an array's name ----------------------------

def contents(name):
    with open(shm_path(name), "rb") as f:
        return f.read()


def not_a(kind, name):
    return f"The shared memory address '{name}' does not hold {kind}."


SEVEN = {
    "read_memory": (lambda n: zelvane.read_memory(n), MemoryError, not_a("a value slot", "{}")),
    "write_memory": (lambda n: zelvane.write_memory(n, "x" * 500), MemoryError, not_a("a value slot", "{}")),
    "open_memory": (lambda n: zelvane.open_memory(n).read(), MemoryError, not_a("a value slot", "{}")),
    "create_memory": (lambda n: zelvane.create_memory(n, 64), None, False),
    "create_memory error": (lambda n: zelvane.create_memory(n, error_if_exists=True), MemoryError,
                            "The memory address '{}' already exists."),
    "call_function": (lambda n: zelvane.call_function(n, (1,)), MemoryError,
                      not_a("a hosted function", "{}")),
    "remove_function": (lambda n: zelvane.remove_function(n), None, False),
    "create_function": (lambda n: zelvane.create_function(n, print), MemoryError,
                        "The memory address '{}' already exists."),
}


@pytest.mark.parametrize("size", [(3,), (130, 8)], ids=["small", "record-sized"])
@pytest.mark.parametrize("function", SEVEN)
def test_the_seven_functions_leave_an_array_alone(shm_name, function, size):
    # 130 x 8 bytes behind a 128-byte header: exactly a function record's size.
    name = shm_name("seven")
    zelvane.open_array(name, size, "B" if len(size) == 2 else "d").close()
    before = contents(name)
    call, error, outcome = SEVEN[function]
    if error is None:
        assert call(name) is outcome
    else:
        with pytest.raises(error) as info:
            call(name)
        assert str(info.value) == outcome.format(name)
    assert contents(name) == before
    assert zelvane.remove_memory(name) is True


def test_the_command_shows_arrays_and_clean_leaves_them(shm_name):
    name = shm_name("cmd")
    handle = zelvane.open_array(name, (4, 5), "f")
    handle.notify()
    entry = listing()[name]
    assert (entry["kind"], entry["shape"], entry["format"], entry["nbytes"], entry["version"]) == \
        ("array", [4, 5], "f", 80, 1)
    shown = run_command("show", name)
    assert shown.returncode == 0 and "shape: (4, 5)" in shown.stdout and "format: f" in shown.stdout
    assert run_command("ls").stdout.count("shape 4x5, format f") == 1
    before = contents(name)
    assert run_command("clean").returncode == 0
    assert contents(name) == before
    assert run_command("rm", name).stdout == f"{name}: removed\n"
    assert not os.path.exists(shm_path(name))


def test_a_slot_and_a_function_record_are_not_arrays(shm_name, serve):
    slot = shm_name("slot")
    zelvane.write_memory(slot, "x" * 1000)  # a slot of a function record's size or more
    server = serve("lambda *args: None")
    for name in (slot, server.name):
        before = contents(name)
        for call in (lambda: zelvane.open_array(name), lambda: zelvane.open_array(name, (130, 8), "B")):
            with pytest.raises(MemoryError) as info:
                call()
            assert str(info.value) == f"The shared memory address '{name}' does not hold an array."
        assert contents(name) == before
    assert zelvane.read_memory(slot) == "x" * 1000
    assert zelvane.call_function(server.name, (1,)) is None


@pytest.mark.parametrize("shape", [(0, 2**62, 2**62), (2**62, 0, 2**62)])
def test_a_header_whose_strides_overflow_is_not_an_array(shm_name, shape):
    name = shm_name("strides")
    zelvane.open_array(name, (0, 1, 1), "d").close()
    with open(shm_path(name), "r+b") as f:
        f.seek(88)
        f.write(struct.pack("<3Q", *shape))
    before = contents(name)
    for call in (lambda: zelvane.open_array(name), lambda: zelvane.open_array(name, (0, 1, 1), "d")):
        with pytest.raises(MemoryError) as info:
            call()
        assert str(info.value) == f"The shared memory address '{name}' does not hold an array."
    assert contents(name) == before
    assert listing()[name]["kind"] == "not zelvane's"


FUTEX_WAITERS = 0x80000000


def lock_word(name):
    with open(shm_path(name), "rb") as f:
        return struct.unpack_from("<I", f.read(52), 48)[0]


def test_a_handle_closed_while_a_thread_waits_for_its_lock(shm_name):
    name = shm_name("closewait")
    holder = zelvane.open_array(name, 512, "d")
    waiter = zelvane.open_array(name)
    lock = waiter.lock(timeout=TIMEOUT)
    outcome = []

    def take():
        with lock:
            outcome.append(memoryview(holder)[0])

    with holder.lock():
        memoryview(holder)[0] = 4.5
        thread = threading.Thread(target=take)
        thread.start()
        wait_until(lambda: lock_word(name) & FUTEX_WAITERS, what="the thread to wait for the lock")
        # The waiting thread keeps the mapping it waits in.
        waiter.close()
        del waiter
    thread.join(TIMEOUT)
    assert outcome == [4.5]
