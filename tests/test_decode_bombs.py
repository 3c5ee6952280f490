"""Decoding allocates for the members that are there, not for the counts the
input states: containers nested level in level, each declaring as many
members as the rest of a megabyte could hold, decode under an address-space
limit to the ValueError of their first missing or invalid member; and
values whose counts the decoder does not pre-size decode exactly."""
import collections
import json
import os
import sys

import pytest

import zelvane
from conftest import CHILD_PRELUDE, run_python

FUZZ_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz")
sys.path.insert(0, FUZZ_DIR)
from decode_bombs import KINDS, bomb, expected_error  # noqa: E402

SIZE = 1 << 20
DEPTHS = (100, 300, 900)
ENDINGS = ("filled", "invalid")
# Beyond the child's address space before decoding; a decoder that trusts
# the counts needs 8 MB a level (800 MB at depth 100).
ALLOWANCE = 512 << 20


def child_code(kind, protocol):
    """Decodes every bomb of one kind under the address-space limit and
    prints the outcomes as JSON."""
    return CHILD_PRELUDE + f"""
import json, resource, sys
sys.path.insert(0, {FUZZ_DIR!r})
import zelvane
from decode_bombs import bomb
kind, protocol = {kind!r}, {protocol}
inputs = [bomb(kind, depth, {SIZE}, protocol, ending) for depth in {DEPTHS!r} for ending in {ENDINGS!r}]
with open("/proc/self/statm") as f:
    in_use = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + {ALLOWANCE}, resource.RLIM_INFINITY))
outcomes = []
for data in inputs:
    try:
        zelvane.loads(data)
        outcomes.append(["decoded", ""])
    except (ValueError, MemoryError, RecursionError) as e:
        outcomes.append([type(e).__name__, str(e)])
print(json.dumps(outcomes))
"""

CASES = [(kind, protocol) for protocol in (2, 1) for kind in KINDS[protocol]]


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's shadow memory does not fit an address-space limit")
@pytest.mark.parametrize("kind,protocol", CASES, ids=[f"p{p}-{k}" for k, p in CASES])
def test_nested_counts_decode_within_a_memory_limit(kind, protocol):
    result = run_python(child_code(kind, protocol), timeout=120)
    assert result.returncode == 0, result.stderr
    expected = [["ValueError", expected_error(ending)] for _ in DEPTHS for ending in ENDINGS]
    assert json.loads(result.stdout) == expected


Point = collections.namedtuple("Point", "x y")


def wide_namedtuple_after(lead):
    """A tuple whose first member takes the pre-sizing allowance, so that the
    named tuple after it (52 one-letter fields) is read growing."""
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    wide = collections.namedtuple("Wide", list(letters))
    return ((None,) * lead, wide(*range(52)))


@pytest.mark.parametrize("value", [
    (None,) * 1, (None,) * 16, (None,) * 17, (None,) * 21, (None,) * 5000,
    ((),) * 3000,
    ((None, True), (False,) * 2000),
    {i: None for i in range(3000)},
    collections.Counter({i: 1 for i in range(2000)}),
    collections.OrderedDict((i, None) for i in range(2000)),
    frozenset(range(300)) | {None},
    collections.deque([None] * 4000),
    collections.ChainMap(*([{}] * 3000)),
    wide_namedtuple_after(200),
    [Point(None, None)] * 500,
], ids=lambda v: type(v).__name__)
def test_counts_beyond_the_allowance_decode_exactly(value):
    # Each holds more members than half its encoded size, the most the
    # decoder allocates for ahead of reading them.
    data = zelvane.dumps(value)
    decoded = zelvane.loads(data)
    assert decoded == value
    assert type(decoded) is type(value)
    if isinstance(value, collections.ChainMap):
        assert len(decoded.maps) == len(value.maps)
    if isinstance(value, tuple) and len(value) == 2 and hasattr(value[1], "_fields"):
        assert decoded[1]._fields == value[1]._fields


@pytest.mark.parametrize("data,message", [
    # A tuple growing from a count it cannot have: 16 members, then the 17th missing.
    (bytes([0xFD, 41, 8]) + (10 ** 9).to_bytes(8, "little") + b"\x10" * 16,
     "Likely received an invalid bytes object: offset exceeded max limit."),
    # The same with an invalid 18th member.
    (bytes([0xFD, 41, 8]) + (10 ** 9).to_bytes(8, "little") + b"\x10" * 17 + b"\xc8",
     "Likely received an invalid bytes object: fetched an invalid datatype representative. (Rep. code: 200)"),
    # A named tuple whose field count exceeds what follows.
    (bytes([0xFD, 71, 8]) + (10 ** 9).to_bytes(8, "little") + b"\x01\x01N" + b"\x01\x01a\x10" * 20,
     "Likely received an invalid bytes object: offset exceeded max limit."),
    # A ChainMap whose map count exceeds what follows.
    (bytes([0xFD, 91, 8]) + (10 ** 9).to_bytes(8, "little") + b"\x2b" * 30,
     "Likely received an invalid bytes object: offset exceeded max limit."),
], ids=["tuple-missing", "tuple-invalid", "namedtuple", "chainmap"])
def test_untrusted_counts_fail_at_the_first_missing_member(data, message):
    with pytest.raises(ValueError) as info:
        zelvane.loads(data)
    assert str(info.value) == message
