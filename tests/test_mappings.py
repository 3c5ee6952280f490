"""Dicts, OrderedDicts, Counters and ChainMaps through a slot: exact bytes,
order, routing, nesting and hostile input."""
import collections

import pytest

import zelvane
from codec_util import decode, encoded
from conftest import RawSlot
from value_util import leak_probe, same

UNSUPPORTED = "Received an unsupported datatype."
NEST_DEPTH = "Exceeded the maximum value nest depth."
OFFSET = "Likely received an invalid bytes object: offset exceeded max limit."

OD = collections.OrderedDict
CM = collections.ChainMap


def h(text):
    return bytes.fromhex(text)


@pytest.mark.parametrize("value, wire", [
    ({}, "FD 2B"),
    ({"a": None}, "FD 2C 01 01 01 61 10"),
    ({1: (2,)}, "FD 2C 01 05 01 27 01 05 02"),
    (collections.Counter(a=2), "FD 4F 01 01 01 61 05 02"),
    (collections.Counter(), "FD 4E"),
    (OD(), "FD 53"),
    (OD(k=[]), "FD 54 01 01 01 6B 1C"),
    (CM({"a": 1}), "FD 59 01 2C 01 01 01 61 05 01"),
    (CM(), "FD 59 01 2B"),
    (CM(OD(k=1)), "FD 59 01 54 01 01 01 6B 05 01"),
])
def test_mapping_worked_examples(shm_name, value, wire):
    name = shm_name("map")
    assert encoded(name, value) == h(wire)
    assert same(value, decode(name, h(wire)))


def test_chainmap_with_no_maps_differs_from_chainmap_without_arguments(shm_name):
    name = shm_name("cm0")
    empty = CM()
    empty.maps = []
    assert encoded(name, empty) == h("FD 58")
    back = zelvane.read_memory(name)
    assert type(back) is CM and back.maps == [{}]


@pytest.mark.parametrize("count, header", [
    (255, "FF"), (256, "00 01"), (65535, "FF FF"), (65536, "03 00 00 01")])
@pytest.mark.parametrize("kind, base", [(dict, 0x2B), (OD, 0x53), (collections.Counter, 0x4E)])
def test_mapping_size_forms(shm_name, count, header, kind, base):
    name = shm_name("mform")
    value = kind(zip(range(count), range(count)))
    data = encoded(name, value)
    form = {255: 1, 256: 2, 65535: 2, 65536: 3}[count]
    assert data[:2 + len(h(header))] == bytes([0xFD, base + form]) + h(header)
    assert same(value, zelvane.read_memory(name))


def test_chainmap_size_form(shm_name):
    name = shm_name("cform")
    value = CM(*[{} for _ in range(256)])
    assert encoded(name, value) == h("FD 5A 00 01") + b"\x2b" * 256
    assert same(value, zelvane.read_memory(name))


# --- order ------------------------------------------------------------------

def test_dict_keys_keep_written_order(shm_name):
    name, scratch = shm_name("order"), shm_name("orderpart")
    value = {"z": 1, 3: 2, (1, 2): "x", frozenset({1}): None, "a": 0}
    del value[3]
    value[3] = 9
    data = encoded(name, value)
    members = b"".join(encoded(scratch, k)[1:] + encoded(scratch, v)[1:] for k, v in value.items())
    assert data == h("FD 2C 05") + members
    assert same(value, decode(name, data))


@pytest.mark.parametrize("reorder", [
    lambda od: od.move_to_end("a"),
    lambda od: od.move_to_end("c", last=False),
    lambda od: od.popitem(last=False),
    lambda od: (od.popitem(last=False), od.__setitem__("a", 7), od.move_to_end("b")),
])
def test_ordereddict_is_written_in_its_own_order(shm_name, reorder):
    name, scratch = shm_name("od"), shm_name("odpart")
    value = OD(a=1, b=2, c=3)
    reorder(value)
    members = b"".join(encoded(scratch, k)[1:] + encoded(scratch, v)[1:] for k, v in value.items())
    assert encoded(name, value) == bytes([0xFD, 0x54, len(value)]) + members
    back = zelvane.read_memory(name)
    assert type(back) is OD and back == value and list(back) == list(value)


class dictish(OD):
    pass


def test_ordered_dict_subclass_named_as_dict_keeps_dict_listing(shm_name):
    name = shm_name("dictish")
    value = dictish(a=1, b=2)
    value.move_to_end("a")
    # a dict subclass is written in the underlying dict's own listing
    assert encoded(name, value) == h("FD 2C 02 01 01 61 05 01 01 01 62 05 02")
    assert type(zelvane.read_memory(name)) is dict


@pytest.mark.parametrize("wire, expected", [
    ("FD 2C 03 01 01 61 05 01 01 01 62 05 02 01 01 61 05 03", {"a": 3, "b": 2}),
    ("FD 54 02 05 01 10 05 01 0D", OD({1: True})),
    ("FD 4F 02 01 01 61 05 01 01 01 61 05 05", collections.Counter(a=5)),
    ("FD 2C 00", {}),
    ("FD 2F 01 01 01 10 10", {None: None}),
    ("FD 55 01 00 05 01 05 02", OD({1: 2})),
])
def test_repeated_keys_and_other_forms_on_the_wire(shm_name, wire, expected):
    back = decode(shm_name("rep"), h(wire))
    assert same(expected, back) and list(back) == list(expected)


# --- counters ---------------------------------------------------------------

def test_counter_bool_count_becomes_int(shm_name):
    name = shm_name("cbool")
    assert encoded(name, collections.Counter({"a": True})) == h("FD 4F 01 01 01 61 05 01")
    back = zelvane.read_memory(name)
    assert type(back["a"]) is int and back == collections.Counter(a=1)


@pytest.mark.parametrize("count", [1.5, "1", None])
def test_counter_with_non_int_count_is_refused(shm_name, count):
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        zelvane.write_memory(shm_name("cfloat"), collections.Counter({"a": count}))


def test_counter_with_negative_and_huge_counts(shm_name):
    name = shm_name("cbig")
    value = collections.Counter({"a": -3, (1,): 2**100, None: 0})
    zelvane.write_memory(name, value)
    assert same(value, zelvane.read_memory(name))


# --- routing ----------------------------------------------------------------

class dicty(dict):
    pass


class Registry(dict):
    pass


class Cabinet(collections.Counter):
    pass


class ChainOfMaps(CM):
    pass


def test_dict_subclass_routing(shm_name):
    name = shm_name("dsub")
    assert encoded(name, dicty(a=None)) == h("FD 2C 01 01 01 61 10")
    assert type(zelvane.read_memory(name)) is dict
    for refused in (Registry(a=1), Cabinet(a=1), collections.defaultdict(int, a=1)):
        with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
            zelvane.write_memory(name, refused)


def test_chainmap_subclass_starting_with_ch_is_written_as_chainmap(shm_name):
    name = shm_name("csub")
    assert encoded(name, ChainOfMaps({"a": 1})) == h("FD 59 01 2C 01 01 01 61 05 01")
    assert type(zelvane.read_memory(name)) is CM


class Counterfeit:
    """Claims to be a Counter and a ChainMap without being either."""

    def __init__(self, cls):
        self._cls = cls

    @property
    def __class__(self):
        return self._cls


def test_posing_counter_is_refused(shm_name):
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        zelvane.write_memory(shm_name("fake"), Counterfeit(collections.Counter))


class Chain(CM):
    pass


@pytest.mark.parametrize("maps", [None, ({},), "abc"])
def test_chainmap_with_bad_maps_is_refused(shm_name, maps):
    value = Chain()
    value.maps = maps
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        zelvane.write_memory(shm_name("badmaps"), value)


def test_chainmap_without_maps_is_refused(shm_name):
    value = Chain()
    del value.maps
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        zelvane.write_memory(shm_name("nomaps"), value)


def test_chainmap_maps_lookup_error_passes_through(shm_name):
    class Chained(CM):
        def __init__(self):
            pass

        @property
        def maps(self):
            raise KeyError("lookup")
    with pytest.raises(KeyError, match="lookup"):
        zelvane.write_memory(shm_name("maperr"), Chained())


# --- nesting ----------------------------------------------------------------

def wrap_in_lists(value, levels):
    for _ in range(levels):
        value = [value]
    return value


@pytest.mark.parametrize("inner, levels", [
    ({"k": 0}, 1), (OD(k=0), 1), (CM({"k": 0}), 2), (CM(), 2),
    (collections.Counter({(1,): 1}), 2), ({"k": {"j": [0]}}, 3),
])
def test_every_mapping_kind_counts_toward_nesting(shm_name, inner, levels):
    name = shm_name("mnest")
    value = wrap_in_lists(inner, 100 - levels)
    assert zelvane.write_memory(name, value) is True
    assert same(value, zelvane.read_memory(name))
    with pytest.raises(ValueError, match=f"^{NEST_DEPTH}$"):
        zelvane.write_memory(name, [value])


def test_chainmap_over_dict_holding_list_uses_three_levels(shm_name):
    name = shm_name("cm3")
    value = CM({"k": [1]})
    for _ in range(97):
        value = [value]
    assert zelvane.write_memory(name, value) is True
    with pytest.raises(ValueError, match=f"^{NEST_DEPTH}$"):
        zelvane.write_memory(name, [value])


# --- hostile input ----------------------------------------------------------

@pytest.mark.parametrize("wire, error, match", [
    ("FD 2C 01 1C 10", TypeError, "unhashable"),                # list key
    ("FD 2C 01 22 01 05 01 10", TypeError, "unhashable"),       # set key
    ("FD 2C 02 01 01 61 10", ValueError, OFFSET),               # second pair missing
    ("FD 2C 01 01 01 61", ValueError, OFFSET),                  # value missing
    ("FD 2E 08 FF FF FF FF FF FF FF 7F 01 01 61 10", ValueError, OFFSET),  # count beyond input
    ("FD 4F 01 1C 05 01", TypeError, "unhashable"),
    ("FD 54 01 1D 00 10", TypeError, "unhashable"),
    ("FD 59 02 2B", ValueError, OFFSET),
    ("FD 5B 08 FF FF FF FF FF FF FF 7F 2B", ValueError, OFFSET),
    ("FD 2E 00", ValueError, "^Likely received an invalid bytes object: "),  # zero-width size
])
def test_bad_mapping_input(shm_name, wire, error, match):
    with pytest.raises(error, match=match):
        decode(shm_name("badmap"), h(wire))


@pytest.mark.parametrize("wire", [
    "FD 2C 01 1C 10", "FD 2E 04 FF FF FF 7F 05 01 05 02", "FD 4F 01 1C 05 01",
    "FD 54 01 1D 00 10", "FD 59 02 2C 01 05 01 1D 02 10",
])
def test_bad_mapping_input_releases_everything(shm_name, wire):
    name = shm_name("mleak")
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
