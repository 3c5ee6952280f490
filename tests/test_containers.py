"""Lists, tuples, sets, frozensets, deques and named tuples through a slot:
exact bytes, round trips, nesting limits and hostile input."""
import collections

import pytest

import zelvane
from codec_util import decode, encoded

UNSUPPORTED = "Received an unsupported datatype."
NEST_DEPTH = "Exceeded the maximum value nest depth."
OFFSET = "Likely received an invalid bytes object: offset exceeded max limit."


def h(text):
    return bytes.fromhex(text)


@pytest.mark.parametrize("value, wire", [
    ([1, "ab"], "FD 1D 02 05 01 01 02 61 62"),
    ((None,), "FD 27 01 10"),
    ((), "FD 26"),
    ([], "FD 1C"),
    (([], ()), "FD 27 02 1C 26"),
])
def test_sequence_worked_examples(shm_name, value, wire):
    name = shm_name("seq")
    assert encoded(name, value) == h(wire)
    back = decode(name, h(wire))
    assert back == value and type(back) is type(value)


@pytest.mark.parametrize("count, header", [
    (255, "1D FF"),
    (256, "1E 00 01"),
    (65535, "1E FF FF"),
    (65536, "1F 03 00 00 01"),
])
@pytest.mark.parametrize("kind, base", [(list, 0x1C), (tuple, 0x26)])
def test_sequence_size_form_boundaries(shm_name, count, header, kind, base):
    name = shm_name("form")
    head = bytearray(h(header))
    head[0] = head[0] - 0x1C + base
    value = kind([None] * count)
    data = encoded(name, value)
    assert data == b"\xfd" + bytes(head) + b"\x10" * count
    assert decode(name, data) == value


@pytest.mark.parametrize("wire, expected", [
    ("FD 1D 00", []),
    ("FD 27 00", ()),
    ("FD 1E 02 00 10 10", [None, None]),
    ("FD 20 01 01 02 10 10", [None, None]),
    ("FD 2A 01 01 01 10", (None,)),
    ("FD 1F 02 01 00 10", [None]),
    ("FD 1F 09 02 00 00 00 00 00 00 00 00 10 10", [None, None]),  # zero high byte
])
def test_sequence_non_minimal_and_dynamic_forms(shm_name, wire, expected):
    back = decode(shm_name("dyn"), h(wire))
    assert back == expected and type(back) is type(expected)


def nested_lists(depth, leaf=1):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


def test_nest_limit_counts_lists_and_tuples(shm_name):
    name = shm_name("nest")
    value = nested_lists(100)
    assert zelvane.write_memory(name, value) is True
    assert zelvane.read_memory(name) == value
    with pytest.raises(ValueError, match=f"^{NEST_DEPTH}$"):
        zelvane.write_memory(name, [value])
    with pytest.raises(ValueError, match=f"^{NEST_DEPTH}$"):
        zelvane.write_memory(name, (value,))


def test_self_containing_list_fails_at_nest_limit(shm_name):
    looped = []
    looped.append(looped)
    with pytest.raises(ValueError, match=f"^{NEST_DEPTH}$"):
        zelvane.write_memory(shm_name("loop"), looped)


def test_shared_member_is_written_twice(shm_name):
    inner = [1, 2]
    name = shm_name("twice")
    assert encoded(name, (inner, inner)) == h("FD 27 02 1D 02 05 01 05 02 1D 02 05 01 05 02")
    a, b = zelvane.read_memory(name)
    assert a == b == inner and a is not b


class lister(list):
    pass


class Roster(list):
    pass


class Pair(tuple):
    pass


def test_list_subclass_routing(shm_name):
    name = shm_name("sub")
    assert encoded(name, lister([1])) == h("FD 1D 01 05 01")
    assert type(zelvane.read_memory(name)) is list
    for refused in (Roster([1]), Pair((1,))):
        with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
            zelvane.write_memory(name, refused)


@pytest.mark.parametrize("wire", [
    "FD 1D 03 10 10",                     # fewer members than counted
    "FD 1D",                              # count byte missing
    "FD 1E 01",                           # half a two-byte count
    "FD 1F 08 FF FF FF FF FF FF FF 7F 10",  # count far beyond the input
    "FD 29 08 FF FF FF FF FF FF FF 7F 10",
    "FD 27 02 1D 05 10",
    "FD 1F 09 02 00 00 00 00 00 00 00 01 10 10",  # a ninth size byte that matters
])
def test_truncated_sequences_fail_with_offset_error(shm_name, wire):
    with pytest.raises(ValueError, match=f"^{OFFSET}$"):
        decode(shm_name("trunc"), h(wire))


def test_huge_count_fails_with_first_invalid_member(shm_name):
    # the second member carries an unknown code; that is the error, not memory
    with pytest.raises(ValueError, match=r"\(Rep. code: 200\)$"):
        decode(shm_name("bad"), h("FD 1F 08 FF FF FF FF FF FF FF 7F 10 C8"))


# --- sets, frozensets, deques -------------------------------------------

@pytest.mark.parametrize("value, wire", [
    ({"x"}, "FD 22 01 01 01 78"),
    (frozenset(), "FD 30"),
    (set(), "FD 21"),
    (collections.deque(), "FD 49"),
    (collections.deque([7, 8]), "FD 4A 02 05 07 05 08"),
    (frozenset({None}), "FD 31 01 10"),
])
def test_iterable_worked_examples(shm_name, value, wire):
    name = shm_name("iter")
    assert encoded(name, value) == h(wire)
    back = decode(name, h(wire))
    assert back == value and type(back) is type(value)


@pytest.mark.parametrize("kind, base", [
    (set, 0x21), (frozenset, 0x30), (collections.deque, 0x49)])
@pytest.mark.parametrize("count, header", [
    (255, "FF"), (256, "00 01"), (65536, "03 00 00 01")])
def test_iterable_size_forms(shm_name, kind, base, count, header):
    name = shm_name("iform")
    value = kind(range(count))
    data = encoded(name, value)
    form = {255: 1, 256: 2, 65536: 3}[count]
    assert data[:2 + len(h(header))] == bytes([0xFD, base + form]) + h(header)
    back = zelvane.read_memory(name)
    assert back == value and type(back) is kind


def test_set_members_in_iteration_order(shm_name):
    value = {"b", "a", 3, (1, 2)}
    name = shm_name("order")
    members = b"".join(encoded(name, m)[1:] for m in value)
    assert encoded(name, value) == h("FD 22 04") + members


def test_deque_maxlen_is_not_kept(shm_name):
    name = shm_name("maxlen")
    zelvane.write_memory(name, collections.deque([1, 2, 3], maxlen=3))
    back = zelvane.read_memory(name)
    assert back == collections.deque([1, 2, 3]) and back.maxlen is None


@pytest.mark.parametrize("wire, expected", [
    ("FD 22 03 05 01 05 01 05 02", {1, 2}),          # repeated members
    ("FD 31 02 10 10", frozenset({None})),
    ("FD 4B 02 00 10 10", collections.deque([None, None])),
    ("FD 25 01 01 01 10", {None}),                    # dynamic-2 form
])
def test_iterable_decoding(shm_name, wire, expected):
    back = decode(shm_name("idec"), h(wire))
    assert back == expected and type(back) is type(expected)


@pytest.mark.parametrize("wire", ["FD 22 01 1C", "FD 31 02 05 01 2B"])
def test_unhashable_set_member_raises_type_error(shm_name, wire):
    with pytest.raises(TypeError):
        decode(shm_name("hash"), h(wire))


class setlike(set):
    """A set whose iterator yields one more item on every walk."""

    walks = 0

    def __iter__(self):
        type(self).walks += 1
        return iter(range(type(self).walks))


class setbroken(set):
    """A set that can be walked only once."""

    walks = 0

    def __iter__(self):
        type(self).walks += 1
        if type(self).walks > 1:
            raise OSError("gone")
        return iter([1])


def test_set_that_changes_between_passes_fails(shm_name):
    setlike.walks = 0
    with pytest.raises(RuntimeError, match="^A container changed size while it was being encoded.$"):
        zelvane.write_memory(shm_name("walk"), setlike())


def test_set_without_second_iterator_fails(shm_name):
    setbroken.walks = 0
    with pytest.raises(RuntimeError, match="^Could not get an iterator of a set type.$"):
        zelvane.write_memory(shm_name("iter2"), setbroken())


def test_set_subclass_routing(shm_name):
    name = shm_name("ssub")
    class frozen(frozenset):
        pass
    class Bag(set):
        pass
    assert encoded(name, frozen({1})) == h("FD 31 01 05 01")
    assert type(zelvane.read_memory(name)) is frozenset
    for refused in (Bag({1}), collections.defaultdict(int)):
        with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
            zelvane.write_memory(name, refused)


# --- mutation while encoding ------------------------------------------------

def make_meddler(action):
    """A named-tuple-like value whose `_fields` lookup runs `action`."""
    class Meddler(tuple):
        @property
        def _fields(self):
            action()
            return ()
    return Meddler()


@pytest.mark.parametrize("container, mutate", [
    (lambda: [0, 0, 0], lambda c: c.clear()),
    (lambda: [0, 0, 0], lambda c: c.append(1)),
    (lambda: {1: 0, 2: 0, 3: 0}, lambda c: c.clear()),
    (lambda: {1: 0, 2: 0, 3: 0}, lambda c: c.update({4: 0})),
    (lambda: collections.OrderedDict({1: 0, 2: 0}), lambda c: c.pop(2, None)),
    (lambda: collections.deque([0, 0, 0]), lambda c: c.clear()),
    (lambda: {1, 2, 3}, lambda c: c.add(4)),
])
def test_container_mutated_by_a_member_fails_cleanly(shm_name, container, mutate):
    value = container()
    meddler = make_meddler(lambda: mutate(value))
    if isinstance(value, list):
        value[0] = meddler
    elif isinstance(value, dict):
        value[1] = meddler
    elif isinstance(value, set):
        value.add(meddler)
    else:
        value[0] = meddler
    with pytest.raises(RuntimeError):
        zelvane.write_memory(shm_name("mut"), value)


# --- named tuples --------------------------------------------------------

Point = collections.namedtuple("Point", "x y")
Empty = collections.namedtuple("Empty", "")


@pytest.mark.parametrize("value, wire", [
    (Point(1, 2), "FD 45 02 01 05 50 6F 69 6E 74 01 01 78 05 01 01 01 79 05 02"),
    (Empty(), "FD 44 01 05 45 6D 70 74 79"),
])
def test_namedtuple_worked_examples(shm_name, value, wire):
    name = shm_name("nt")
    assert encoded(name, value) == h(wire)
    back = decode(name, h(wire))
    assert back == value
    assert type(back).__name__ == type(value).__name__ and back._fields == value._fields
    assert type(back) is not type(value)


def test_decoded_namedtuples_never_share_a_class(shm_name):
    name = shm_name("ntc")
    zelvane.write_memory(name, [Point(1, 2), Point(3, 4)])
    a, b = zelvane.read_memory(name)
    assert type(a) is not type(b) and a._fields == b._fields == ("x", "y")
    assert b.y == 4


def test_namedtuple_does_not_count_toward_nesting(shm_name):
    name = shm_name("ntnest")
    value = nested_lists(100, Point(1, 2))
    assert zelvane.write_memory(name, value) is True
    assert zelvane.read_memory(name) == value
    with pytest.raises(ValueError, match=f"^{NEST_DEPTH}$"):
        zelvane.write_memory(name, nested_lists(100, Point([1], 2)))
    deep = nested_lists(100)
    for _ in range(100):
        deep = Point(deep, None)
    assert zelvane.write_memory(name, deep) is True


def test_deep_namedtuple_chain_raises_recursion_error(shm_name):
    value = None
    for _ in range(100_000):
        value = Point(value, 0)
    with pytest.raises(RecursionError, match="while encoding a named tuple"):
        zelvane.write_memory(shm_name("ntdeep"), value)


def test_renamed_fields_encode_but_fail_to_decode(shm_name):
    name = shm_name("rename")
    Renamed = collections.namedtuple("Renamed", ["a", "def"], rename=True)
    zelvane.write_memory(name, Renamed(1, 2))
    with pytest.raises(ValueError, match="underscore"):
        zelvane.read_memory(name)


def odd_fields(fields):
    class Odd(tuple):
        _fields = fields
    return Odd((1, 2))


@pytest.mark.parametrize("fields", [["x", "y"], ("x", 5), ("x", "y", "z"), None])
def test_namedtuple_with_bad_fields_is_refused(shm_name, fields):
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        zelvane.write_memory(shm_name("odd"), odd_fields(fields))


def test_namedtuple_with_fewer_fields_than_items(shm_name):
    name = shm_name("fewer")
    assert encoded(name, odd_fields(("x",))) == h("FD 45 01 01 03 4F 64 64 01 01 78 05 01")


@pytest.mark.parametrize("wire, error", [
    ("FD 45 01 01 01 50 01 01 78", ValueError),          # field value missing
    ("FD 45 01 05 01 01 01 78 05 01", ValueError),       # class name 1 is no identifier
    ("FD 45 01 01 01 50 1C 05 01", ValueError),          # field name a list
    ("FD 45 02 01 01 50 01 01 78 05 01 01 01 78 05 02", ValueError),  # repeated field name
    ("FD 44", ValueError),                                 # class name missing
])
def test_bad_namedtuple_input(shm_name, wire, error):
    with pytest.raises(error):
        decode(shm_name("badnt"), h(wire))


# --- round trips ------------------------------------------------------------

from hypothesis import HealthCheck, given, settings  # noqa: E402

from conftest import RawSlot, run_python  # noqa: E402
from value_util import leak_probe, same, values  # noqa: E402


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=values)
def test_nested_containers_round_trip(shm_name, value):
    name = shm_name("hyp")
    zelvane.write_memory(name, value)
    back = zelvane.read_memory(name)
    assert same(value, back), (value, back)


CROSS_VALUE = ("[[1, 'two', 3.0], (None, True), {'k': {frozenset({1}): b'x'}}, "
               "collections.deque([1, 2]), collections.OrderedDict(b=1, a=2), "
               "collections.Counter('abca'), collections.ChainMap({'x': 1}, {'y': 2}), "
               "collections.namedtuple('Point', 'x y')(1, [2])]")


@pytest.mark.timeout(120)
def test_round_trip_across_processes(shm_name):
    name = shm_name("xproc")
    writer = f"import collections, zelvane; zelvane.write_memory({name!r}, {CROSS_VALUE})"
    result = run_python(writer)
    assert result.returncode == 0, result.stderr
    expected = eval(CROSS_VALUE)
    assert same(expected, zelvane.read_memory(name))
    reader = (f"import collections, zelvane; v = zelvane.read_memory({name!r}); "
              f"assert repr(v) == repr({CROSS_VALUE}), v")
    zelvane.write_memory(name, expected)
    result = run_python(reader)
    assert result.returncode == 0, result.stderr


# --- hostile input ----------------------------------------------------------

@pytest.mark.parametrize("opening", [b"\x1d\x01", b"\x27\x01", b"\x22\x01", b"\x4a\x01",
                                     b"\x2c\x01\x10", b"\x59\x01", b"\x45\x01\x00\x00"])
def test_deep_hostile_nesting_raises_recursion_error(shm_name, opening):
    data = b"\xfd" + opening * 100_000 + b"\x10"
    with pytest.raises(RecursionError):
        decode(shm_name("deep"), data)


BAD_INPUTS = [
    "FD 1F 08 FF FF FF FF FF FF FF 7F 10",
    "FD 27 03 1D 01 05 01 10",
    "FD 22 02 05 01 1C",
    "FD 22 02 1C 1C",
    "FD 4A 02 10",
    "FD 45 02 01 01 50 01 01 78 05 01 01 01 78 05 02",
    "FD 45 01 01 01 50 01 02 5F 61 05 01",
    "FD 2C 02 01 01 61 1C 1C 10",
    "FD 2E 08 FF FF FF FF FF FF FF 7F 01 01 61 10",
    "FD 59 02 2C 01 05 01 10 1D 02 10",
]


@pytest.mark.parametrize("wire", BAD_INPUTS)
def test_bad_input_releases_everything(shm_name, wire):
    name = shm_name("leak")
    zelvane.create_memory(name, len(h(wire)))
    RawSlot(name).write_payload(h(wire))

    def attempt():
        try:
            zelvane.read_memory(name)
        except (ValueError, TypeError):
            pass
        else:
            raise AssertionError("bad input decoded")

    blocks, refs = leak_probe(attempt, 3000)
    assert blocks < 300 and refs == [0] * 5


def test_encode_and_decode_each_kind_without_leaks(shm_name):
    name = shm_name("loop")
    value = [[1, "a"], (2.0,), {3}, frozenset({4}), collections.deque([5]), Point(6, [7]),
             {"k": 8}, collections.OrderedDict(k=9), collections.Counter(k=10),
             collections.ChainMap({"k": 11}, collections.OrderedDict(j=12))]

    def round_trip():
        zelvane.write_memory(name, value)
        assert zelvane.read_memory(name) == value

    blocks, refs = leak_probe(round_trip, 3000)
    assert blocks < 300 and refs == [0] * 5
