"""Under a limit on address space (RLIMIT_AS, set in a child): objects kept
mapped between accesses are let go when a new mapping is refused, so an
access fails only when its object alone cannot be mapped; and a write whose
value the address space cannot hold fails as the codec does, leaving no new
name behind."""
import json
import os

import pytest

import zelvane

from conftest import CHILD_PRELUDE, RawSlot, run_python, shm_path

pytestmark = pytest.mark.timeout(120)

MIB = 1 << 20
RESERVED = 300 * MIB
NO_MEMORY = "Not enough memory space available for use."

# Sets the child's address-space limit to what it maps now plus `room`.
LIMIT_ADDRESS_SPACE = CHILD_PRELUDE + """
import json, resource, sys
import zelvane

def limit_address_space(room):
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + room, size + room))

def outcome(action):
    try:
        return ["ok", action()]
    except MemoryError as exc:
        return ["MemoryError", str(exc)]
"""


@pytest.fixture(autouse=True)
def refusals_reach_the_code(monkeypatch):
    """Under the sanitizer build, an allocation refused for want of address
    space returns null to the code, as it does without it, instead of
    ending the child."""
    options = os.environ.get("ASAN_OPTIONS", "")
    monkeypatch.setenv("ASAN_OPTIONS", f"{options}:allocator_may_return_null=1".lstrip(":"))


def run_limited(code):
    """Runs `code` after LIMIT_ADDRESS_SPACE; returns what it printed as JSON."""
    proc = run_python(LIMIT_ADDRESS_SPACE + code)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def reserved_slots(shm_name, count, reserved=RESERVED):
    """`count` slots with `reserved` bytes of sparse capacity, slot i holding i."""
    names = [shm_name("wide") for _ in range(count)]
    for i, name in enumerate(names):
        assert zelvane.create_memory(name, reserved) is True
        RawSlot(name).write_payload(zelvane.dumps(i))
    return names


@pytest.mark.parametrize("access", ["read", "write"])
def test_reserved_slots_read_in_turn_under_an_address_space_limit(shm_name, access):
    # Room for two of the slots at a time besides a handle's: every third
    # access needs the cache to let go of what it keeps.
    names = reserved_slots(shm_name, 6)
    touch = ("zelvane.read_memory(n)" if access == "read"
             else "zelvane.write_memory(n, zelvane.read_memory(n) + 100) and zelvane.read_memory(n)")
    results = run_limited(f"""
names = {names!r}
handle = zelvane.open_memory(names[0], create=False)
limit_address_space({2 * RESERVED + 100 * MIB})
results = [outcome(lambda n=n: {touch}) for _ in range(2) for n in names[1:]]
results.append(outcome(handle.read))
print(json.dumps(results))
""")
    bump = 0 if access == "read" else 100
    expected = [[["ok", i + bump * (r + 1)] for i in range(1, 6)] for r in range(2)]
    assert results == expected[0] + expected[1] + [["ok", 0]]


def test_an_object_too_large_alone_still_fails_and_the_rest_still_work(shm_name):
    names = reserved_slots(shm_name, 3)
    [huge] = reserved_slots(shm_name, 1, reserved=2048 * MIB)
    results = run_limited(f"""
names, huge = {names!r}, {huge!r}
limit_address_space({RESERVED + 200 * MIB})
results = [outcome(lambda n=n: zelvane.read_memory(n)) for n in [huge] + names + [huge] + names]
print(json.dumps(results))
""")
    refused = ["MemoryError", f"Failed to map shared memory address '{huge}'."]
    assert results == [refused, ["ok", 0], ["ok", 1], ["ok", 2]] * 2


VALUES = {
    "bytes": 'b"z" * (64 << 20)',
    "bytearray": 'bytearray(64 << 20)',
    "str": '"z" * (64 << 20)',
    "tuple": '(b"z" * (64 << 20),)',
}


@pytest.mark.parametrize("kind", sorted(VALUES))
@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
def test_write_too_large_for_the_address_space(shm_name, kind, existing):
    name = shm_name("large")
    if existing:
        assert zelvane.write_memory(name, "old") is True
    results = run_limited(f"""
value = {VALUES[kind]}
limit_address_space(16 << 20)
results = [outcome(lambda: zelvane.write_memory({name!r}, value))]
results.append(outcome(lambda: zelvane.read_memory({name!r})))
print(json.dumps(results))
""")
    assert results[0] == ["MemoryError", NO_MEMORY]
    if existing:
        assert results[1] == ["ok", "old"]
    else:
        assert results[1] == ["MemoryError", f"Failed to open shared memory address '{name}'."]
        assert not os.path.exists(shm_path(name))


def test_write_beyond_the_file_size_limit_leaves_no_new_name(shm_name):
    name = shm_name("fsize")
    proc = run_python(CHILD_PRELUDE + f"""
import resource, signal
import zelvane
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, resource.RLIM_INFINITY))
try:
    zelvane.write_memory({name!r}, b"f" * (1 << 20))
except MemoryError as exc:
    print(exc)
""")
    assert proc.stdout == "Failed to resize shared memory.\n", proc.stderr
    assert not os.path.exists(shm_path(name))


def test_a_new_slot_written_in_one_go_is_a_slot_like_any_other(shm_name):
    name = shm_name("fresh")
    value = b"v" * (3 * MIB)
    assert zelvane.write_memory(name, value) is True
    raw = RawSlot(name)
    frame = zelvane.dumps(value)
    assert raw.max_size() == len(frame) + 32
    assert raw.size() == 48 + len(frame) + 32
    assert raw.payload()[:len(frame)] == frame
    assert run_python(CHILD_PRELUDE + f"""
import zelvane
assert zelvane.read_memory({name!r}) == b"v" * (3 << 20)
assert zelvane.write_memory({name!r}, "next") is True
""").returncode == 0
    assert zelvane.read_memory(name) == "next"
