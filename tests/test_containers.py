"""Containers and mappings through a slot beyond the tables of test_codec.py:
member order, nesting limits, mutation while encoding, named tuples,
ChainMaps, and values of every family that cross processes."""
import collections
import importlib

import pytest

import zelvane
from codec_util import NEST_DEPTH, assert_no_leak, decode, encoded, exactly, h, same
from conftest import run_python

OD = collections.OrderedDict
CM = collections.ChainMap
Point = collections.namedtuple("Point", "x y")


def nested_lists(depth, leaf=1):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


# (innermost value, levels of nesting it uses beyond the lists around it)
@pytest.mark.parametrize("inner, levels", [
    (1, 0), (Point(1, 2), 0), ({"k": 0}, 1), (OD(k=0), 1), (CM({"k": 0}), 2), (CM(), 2),
    (collections.Counter({(1,): 1}), 2), ({"k": {"j": [0]}}, 3), (CM({"k": [1]}), 3),
])
def test_nest_limit(shm_name, inner, levels):
    name = shm_name("nest")
    value = nested_lists(100 - levels, inner)
    assert zelvane.write_memory(name, value) is True
    assert same(value, zelvane.read_memory(name))
    for deeper in ([value], (value,)):
        with pytest.raises(ValueError, match=exactly(NEST_DEPTH)):
            zelvane.write_memory(name, deeper)


def test_self_containing_list_fails_at_nest_limit(shm_name):
    looped = []
    looped.append(looped)
    with pytest.raises(ValueError, match=exactly(NEST_DEPTH)):
        zelvane.write_memory(shm_name("loop"), looped)


def test_namedtuple_does_not_count_toward_nesting(shm_name):
    name = shm_name("ntnest")
    with pytest.raises(ValueError, match=exactly(NEST_DEPTH)):
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


def test_shared_member_is_written_twice(shm_name):
    inner = [1, 2]
    name = shm_name("twice")
    assert encoded(name, (inner, inner)) == h("FD 27 02 1D 02 05 01 05 02 1D 02 05 01 05 02")
    a, b = zelvane.read_memory(name)
    assert a == b == inner and a is not b


def members(name, pairs):
    return b"".join(encoded(name, item)[1:] for pair in pairs for item in pair)


def test_set_members_in_iteration_order(shm_name):
    value = {"b", "a", 3, (1, 2)}
    name = shm_name("order")
    assert encoded(name, value) == h("FD 22 04") + members(shm_name("part"), [(m,) for m in value])


def test_dict_keys_keep_written_order(shm_name):
    name = shm_name("order")
    value = {"z": 1, 3: 2, (1, 2): "x", frozenset({1}): None, "a": 0}
    del value[3]
    value[3] = 9
    data = encoded(name, value)
    assert data == h("FD 2C 05") + members(shm_name("part"), value.items())
    assert same(value, decode(name, data))


@pytest.mark.parametrize("reorder", [
    lambda od: od.move_to_end("a"),
    lambda od: od.move_to_end("c", last=False),
    lambda od: od.popitem(last=False),
    lambda od: (od.popitem(last=False), od.__setitem__("a", 7), od.move_to_end("b")),
])
def test_ordereddict_is_written_in_its_own_order(shm_name, reorder):
    name = shm_name("od")
    value = OD(a=1, b=2, c=3)
    reorder(value)
    assert encoded(name, value) == bytes([0xFD, 0x54, len(value)]) + members(
        shm_name("part"), value.items())
    assert same(value, zelvane.read_memory(name))


def test_deque_maxlen_is_not_kept(shm_name):
    name = shm_name("maxlen")
    zelvane.write_memory(name, collections.deque([1, 2, 3], maxlen=3))
    back = zelvane.read_memory(name)
    assert back == collections.deque([1, 2, 3]) and back.maxlen is None


def test_counter_with_negative_and_huge_counts(shm_name):
    name = shm_name("cbig")
    value = collections.Counter({"a": -3, (1,): 2**100, None: 0})
    zelvane.write_memory(name, value)
    assert same(value, zelvane.read_memory(name))


def test_chainmap_with_no_maps_differs_from_chainmap_without_arguments(shm_name):
    name = shm_name("cm0")
    empty = CM()
    empty.maps = []
    assert encoded(name, empty) == h("FD 58")
    back = zelvane.read_memory(name)
    assert type(back) is CM and back.maps == [{}]


def test_chainmap_maps_lookup_error_passes_through(shm_name):
    class Chained(CM):
        def __init__(self):
            pass

        @property
        def maps(self):
            raise KeyError("lookup")
    with pytest.raises(KeyError, match="lookup"):
        zelvane.write_memory(shm_name("maperr"), Chained())


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


@pytest.mark.parametrize("kind, message", [
    (setlike, "A container changed size while it was being encoded."),
    (setbroken, "Could not get an iterator of a set type."),
])
def test_set_that_changes_between_passes_fails(shm_name, kind, message):
    kind.walks = 0
    with pytest.raises(RuntimeError, match=exactly(message)):
        zelvane.write_memory(shm_name("walk"), kind())


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
    (lambda: OD({1: 0, 2: 0}), lambda c: c.pop(2, None)),
    (lambda: collections.deque([0, 0, 0]), lambda c: c.clear()),
    (lambda: {1, 2, 3}, lambda c: c.add(4)),
])
def test_container_mutated_by_a_member_fails_cleanly(shm_name, container, mutate):
    value = container()
    meddler = make_meddler(lambda: mutate(value))
    if isinstance(value, set):
        value.add(meddler)
    elif isinstance(value, dict):
        value[1] = meddler
    else:
        value[0] = meddler
    with pytest.raises(RuntimeError):
        zelvane.write_memory(shm_name("mut"), value)


# A member that empties the list and refills it to the same length moves
# the list's member array: the run of ints after it is read from the new
# array (the old ints, freed, are never read).
def test_ints_after_a_member_that_refills_the_list_are_the_new_ones(shm_name):
    size = 300
    value = [None] + [10**6 + i for i in range(size)]
    refill = [-(10**6) - i for i in range(size)]

    def replace():
        value.clear()
        value.extend([None] + refill)
    value[0] = make_meddler(replace)
    name = shm_name("refill")
    zelvane.write_memory(name, value)
    assert zelvane.read_memory(name)[1:] == refill


def test_decoded_namedtuples_never_share_a_class(shm_name):
    name = shm_name("ntc")
    zelvane.write_memory(name, [Point(1, 2), Point(3, 4)])
    a, b = zelvane.read_memory(name)
    assert type(a) is not type(b) and Point not in (type(a), type(b))
    assert a._fields == b._fields == ("x", "y") and b.y == 4


def test_renamed_fields_encode_but_fail_to_decode(shm_name):
    name = shm_name("rename")
    Renamed = collections.namedtuple("Renamed", ["a", "def"], rename=True)
    zelvane.write_memory(name, Renamed(1, 2))
    with pytest.raises(ValueError, match="underscore"):
        zelvane.read_memory(name)


def test_namedtuple_with_fewer_fields_than_items(shm_name):
    value = type("Odd", (tuple,), {"_fields": ("x",)})((1, 2))
    assert encoded(shm_name("fewer"), value) == h("FD 45 01 01 03 4F 64 64 01 01 78 05 01")


def test_encode_and_decode_each_kind_without_leaks(shm_name):
    name = shm_name("loop")
    value = [[1, "a"], (2.0,), {3}, frozenset({4}), collections.deque([5]), Point(6, [7]),
             {"k": 8}, OD(k=9), collections.Counter(k=10), CM({"k": 11}, OD(j=12))]

    def round_trip():
        zelvane.write_memory(name, value)
        assert zelvane.read_memory(name) == value

    assert_no_leak(round_trip, 3000)


# (modules the value needs, its source); the repr shows all that must survive.
@pytest.mark.parametrize("modules, source", [
    ("collections", "[[1, 'two', 3.0], (None, True), {'k': {frozenset({1}): b'x'}}, "
                    "collections.deque([1, 2]), collections.OrderedDict(b=1, a=2), "
                    "collections.Counter('abca'), collections.ChainMap({'x': 1}, {'y': 2}), "
                    "collections.namedtuple('Point', 'x y')(1, [2])]"),
    ("datetime, decimal, pathlib, uuid",
     "[datetime.datetime(2024, 5, 6, 7, 8, 9, 10, tzinfo=datetime.timezone.utc), "
     "datetime.timedelta(-3, 5), uuid.UUID(int=77), decimal.Decimal('-0.00'), range(3, -3, -2), "
     "pathlib.PurePath('x/y')]"),
], ids=["collections", "library"])
def test_round_trip_across_processes(shm_name, modules, source):
    name = shm_name("xproc")
    imports = f"import {modules}, zelvane"
    result = run_python(f"{imports}; zelvane.write_memory({name!r}, {source})")
    assert result.returncode == 0, result.stderr
    expected = eval(source, {module: importlib.import_module(module) for module in modules.split(", ")})
    got = zelvane.read_memory(name)
    assert same(expected, got) and repr(got) == repr(expected)
    zelvane.write_memory(name, [memoryview(b"mv"), expected])
    result = run_python(f"{imports}; v = zelvane.read_memory({name!r}); "
                        f"assert v[0].tobytes() == b'mv' and repr(v[1]) == repr({source}), v")
    assert result.returncode == 0, result.stderr
