"""Shortcuts of the codec against its general path at their boundaries: the
members of lists, tuples and dicts written without the dispatcher, UUIDs
written from their int, small values encoded on the stack, and dict keys
kept from one decoding to the next."""
import collections
import math
import struct
import sys
import uuid

import pytest
from hypothesis import given, settings, strategies as st

import zelvane

from codec_util import h, same


def member_bytes(value):
    """A value's item as the general path writes it at the top level."""
    return zelvane.dumps(value)[1:]


def count_header(base, count):
    if count == 0:
        return bytes([base])
    n = (count.bit_length() + 7) // 8
    return bytes([base + n]) + count.to_bytes(n, "little") if n <= 2 else \
        bytes([base + 3, n]) + count.to_bytes(n, "little")


PLAIN = [
    0, 1, -1, 127, 128, -129, 2**15, 2**30 - 1, 2**30, -2**30, -2**30 - 1, 2**31, 2**39 - 1, 2**39, 2**62,
    2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64, 2**2039, -2**2040, 2**4100, -2**4100,
    0.0, -0.0, 1.5, math.inf, -math.inf, math.nan,
    "", "a", "abc", "abcd", "abcdefg", "abcdefgh", "abcdefghi", "x" * 15, "x" * 16, "x" * 17, "x" * 255,
    "x" * 256, "\u00e9", "\u20ac" * 9, "\U0001f600", "\u20ac" * 171, "\u00e9" * 300,
    True, False, None,
]


@pytest.mark.parametrize("member", PLAIN, ids=repr)
@pytest.mark.parametrize("kind, base", [(list, 28), (tuple, 38)])
def test_plain_members_as_the_general_path_writes_them(kind, base, member):
    value = kind([member, [member], member])
    expected = b"\xfd" + count_header(base, 3) + member_bytes(member) + member_bytes([member]) + \
        member_bytes(member)
    data = zelvane.dumps(value)
    assert data == expected
    assert same(zelvane.loads(data), value)


# Sets, frozensets and deques walk their members with an iterator; the plain
# ones among them are written as in lists.
@pytest.mark.parametrize("kind, base", [(set, 33), (frozenset, 48), (collections.deque, 73)])
def test_iterated_plain_members_as_the_general_path_writes_them(kind, base):
    value = kind(PLAIN + [(1, "t"), frozenset({2})])
    expected = b"\xfd" + count_header(base, len(value)) + b"".join(map(member_bytes, value))
    data = zelvane.dumps(value)
    assert data == expected
    assert len(zelvane.loads(data)) == len(value)


def test_plain_pairs_as_the_general_path_writes_them():
    keys = [k for k in PLAIN if isinstance(k, (int, str, type(None))) and not isinstance(k, float)]
    value = {key: PLAIN[i % len(PLAIN)] for i, key in enumerate(keys)}
    value[(1, "t")] = [1]
    expected = b"\xfd" + count_header(43, len(value)) + b"".join(
        member_bytes(k) + member_bytes(v) for k, v in value.items())
    assert zelvane.dumps(value) == expected
    counter = collections.Counter({"a": 3, 2**70: -1, True: 2})
    assert zelvane.dumps(counter) == b"\xfd" + count_header(78, 3) + b"".join(
        member_bytes(k) + member_bytes(int(v)) for k, v in counter.items())


# A non-ASCII str keeps its UTF-8 form once asked for it (the first encoding
# does); the bytes are the same before and after, at every size form.
@pytest.mark.parametrize("utf8_length", [1, 2, 3, 4, 255, 256, 65535, 65536])
@pytest.mark.parametrize("char", ["\u00e9", "\u20ac", "\U0001f600"], ids=["2-byte", "3-byte", "4-byte"])
def test_non_ascii_texts_before_and_after_their_utf8_is_kept(char, utf8_length):
    width = len(char.encode())
    utf8 = (char * (utf8_length // width) + "x" * (utf8_length % width)).encode()
    expected = count_header(0, utf8_length) + utf8
    text = utf8.decode()  # made anew: no UTF-8 form kept yet
    assert [zelvane.dumps(text), zelvane.dumps(text)] == [b"\xfd" + expected] * 2
    member = utf8.decode()
    assert [zelvane.dumps([member]), zelvane.dumps([member])] == [h("fd 1d 01") + expected] * 2


class floaty(float):
    pass


class strange(str):
    pass


def rule_bytes(value):
    """A lone float or text as the format's rules write it."""
    if isinstance(value, float):
        return h("fd 0c") + struct.pack("<d", value)
    utf8 = value.encode()
    return b"\xfd" + count_header(0, len(utf8)) + utf8


# A lone word-sized int, float or short text goes straight into its bytes
# object; at its bounds (ints: test_codec_fast_paths) and beside them
# (subclasses, empty and longer texts) the bytes are the rules'.
@pytest.mark.parametrize("value", [
    0.0, -0.0, 5e-324, -1.5, math.inf, math.nan, floaty(2.5),
    "", "a", "x" * 255, "x" * 256, "\u00e9" * 127 + "x", "\u00e9" * 128, strange("st"),
], ids=repr)
def test_lone_scalars_as_the_rules_write_them(value):
    assert zelvane.dumps(value) == rule_bytes(value)
    assert zelvane.dumps(value) == rule_bytes(value)  # a non-ASCII text keeps its UTF-8 form now


def test_lone_text_without_utf8_form_fails_as_a_member_does():
    with pytest.raises(UnicodeEncodeError) as member:
        zelvane.dumps(["\ud800"])
    with pytest.raises(UnicodeEncodeError) as lone:
        zelvane.dumps("\ud800")
    assert str(lone.value) == str(member.value)


@pytest.mark.parametrize("value", [[1, "\ud800"], ("ok", "\udfff"), {"k": "\ud800"}, {"\ud800": 1}])
def test_plain_member_without_utf8_form_fails_as_the_general_path(value):
    with pytest.raises(UnicodeEncodeError):
        zelvane.dumps(value)


class Mutating:
    """A member whose encoding (through its name, as a range) runs Python
    code that empties the container holding it."""

    def __init__(self, container):
        self.container = container

    @property
    def start(self):
        self.container.clear()
        return 0

    stop = step = 1


Mutating.__name__ = "range_like"


@pytest.mark.parametrize("make", [list, lambda items: dict(enumerate(items))])
def test_container_emptied_by_a_member_still_fails_cleanly(make):
    container = make(["a", 1, None])
    if isinstance(container, list):
        container.insert(1, Mutating(container))
    else:
        container[1] = Mutating(container)
    with pytest.raises(RuntimeError, match="changed size"):
        zelvane.dumps(container)


class UUIDWithOwnHex(uuid.UUID):
    @property
    def hex(self):
        return "f" * 32


def uuid_with_int(number):
    value = uuid.UUID(int=0)
    object.__setattr__(value, "int", number)
    return value


@pytest.mark.parametrize("value", [uuid.UUID(int=0), uuid.UUID(int=2**128 - 1), uuid.UUID(int=1),
                                   uuid.UUID("12345678-9abc-def0-1234-56789abcdef0"), uuid.uuid4(),
                                   UUIDWithOwnHex(int=5), uuid_with_int(2**130), uuid_with_int(-1)],
                         ids=["zero", "max", "one", "text", "random", "hex-override", "wide-int", "negative"])
def test_uuid_is_written_as_its_hex(value):
    data = zelvane.dumps(value)
    assert data == b"\xfd\x39" + value.hex[:32].encode()
    if type(value) is uuid.UUID and 0 <= value.int < 2**128:
        assert zelvane.loads(data) == value


def test_uuid_whose_int_is_no_number_fails_as_its_hex_does():
    with pytest.raises(RuntimeError, match="Could not get the hex representation of a UUID."):
        zelvane.dumps([uuid_with_int("text")])


@pytest.mark.parametrize("value", [
    0, 2**64, 1.5, "x" * 400, "\u00e9" * 200, b"b" * 508, bytearray(b"c" * 600), [1] * 10, [1.5] * 60,
    {"k%d" % i: i for i in range(7)}, (None,) * 500, [[[[]]]], collections.deque("abc"),
], ids=lambda v: f"{type(v).__name__}-{len(v) if hasattr(v, '__len__') else v}")
def test_small_and_growing_values_through_a_slot(shm_name, value):
    name = shm_name("small")
    zelvane.write_memory(name, value)
    data = zelvane.dumps(value)
    assert same(zelvane.read_memory(name), value) and same(zelvane.loads(data), value)


def key_wire(key, value_item):
    data = key.encode()
    return b"\xfd\x2c\x01\x01" + bytes([len(data)]) + data + value_item


@pytest.mark.parametrize("length", [1, 7, 8, 9, 16, 17, 31, 32])
def test_short_keys_are_shared_across_decodings(length):
    key = "k" * (length - 1) + "z"
    # Different bytes follow the key each time; they must not change it.
    first = zelvane.loads(key_wire(key, h("05 01")))
    second = zelvane.loads(key_wire(key, h("01 08") + b"abcdefgh"))
    third = zelvane.loads(key_wire(key, h("10")) + b"\xff" * 40)
    (k1, v1), (k2, v2), (k3, v3) = (next(iter(d.items())) for d in (first, second, third))
    assert k1 == k2 == k3 == key and (v1, v2, v3) == (1, "abcdefgh", None)
    assert k1 is k2 is k3


@pytest.mark.parametrize("key", ["k" * 33, "\u00e9t\u00e9", "caf\u00e9", "x" * 300])
def test_long_and_non_ascii_keys_bypass_the_cache(key):
    first = next(iter(zelvane.loads(zelvane.dumps({key: 1}))))
    second = next(iter(zelvane.loads(zelvane.dumps({key: 2}))))
    assert first == second == key and type(first) is str and first is not second


def test_keys_stay_right_when_many_collide():
    # Far more distinct keys than the cache holds, decoded twice over in
    # turn with keys that differ only in their last byte.
    values = [{"key%05d" % i: i, "key%05dx" % i: -i} for i in range(5000)]
    data = [zelvane.dumps(value) for value in values]
    for _ in range(2):
        for encoded, value in zip(data, values):
            assert zelvane.loads(encoded) == value


def test_values_of_a_dict_are_not_shared():
    first = zelvane.loads(zelvane.dumps({"a": "value"}))["a"]
    second = zelvane.loads(zelvane.dumps({"a": "value"}))["a"]
    assert first == second == "value" and first is not second


def test_protocol1_dicts_read_their_keys_as_before():
    assert zelvane.loads(h("FE 26 02 01 01 61 0F 01 01 61 04 02")) == {"a": 2}
    assert zelvane.loads(h("FD 2C 02 01 01 61 10 01 01 61 05 02")) == {"a": 2}


def text_wire(data):
    return b"\xfd" + (bytes([1, len(data)]) if len(data) < 256 else bytes([2]) + len(data).to_bytes(2, "little")) + data


@pytest.mark.parametrize("length", [1, 2, 7, 8, 9, 63, 64, 65, 300])
@pytest.mark.parametrize("last", [b"z", b"\xc3\xa9", b"\x7f", b"\xc3(", b"\x80"], ids=repr)
def test_short_texts_read_as_the_utf8_decoder_reads_them(length, last):
    data = b"a" * (length - 1) + last
    try:
        expected = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        with pytest.raises(UnicodeDecodeError) as caught:
            zelvane.loads(text_wire(data))
        assert str(caught.value) == str(exc)
        return
    got = zelvane.loads(text_wire(data))
    assert got == expected and type(got) is str and got.isascii() == expected.isascii()
    assert zelvane.loads(b"\xfd\x1d\x02" + text_wire(data)[1:] * 2) == [expected, expected]


def decoded_as_python_decodes(data):
    """Asserts that the text item of `data` reads back as bytes.decode()
    reads `data`: the same text of the same width, or the same error."""
    try:
        expected = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        with pytest.raises(UnicodeDecodeError) as caught:
            zelvane.loads(text_wire(data))
        assert str(caught.value) == str(exc)
        return
    got = zelvane.loads(text_wire(data))
    assert got == expected and type(got) is str and max(got, default="") == max(expected, default="")
    assert got.isascii() == expected.isascii() and sys.getsizeof(got) == sys.getsizeof(expected)


# Short texts are decoded by the codec itself: every width of character,
# and every form the UTF-8 rules refuse (overlong, surrogate, past U+10FFFF,
# cut short, stray continuation), near the length where it stops.
@pytest.mark.parametrize("length", [0, 1, 2, 60, 61, 62, 63, 64, 65, 66])
@pytest.mark.parametrize("tail", [
    "c3a9", "e282ac", "f09f9880", "f48fbfbf", "c280", "dfbf", "e0a080", "ed9fbf", "ee8080",
    "c080", "c1bf", "e08080", "e09fbf", "eda080", "edbfbf", "f08f8080", "f4908080", "f5808080", "ff",
    "c3", "e282", "f09f98", "80", "c328", "e228a1", "f0289f98",
], ids=str)
def test_short_texts_of_every_width_and_fault(length, tail):
    tail = bytes.fromhex(tail)
    decoded_as_python_decodes((b"a" * max(0, length - len(tail)) + tail)[:max(length, len(tail))])
    decoded_as_python_decodes(tail + "\u00e9".encode() * max(0, (length - len(tail)) // 2))


@settings(max_examples=400, deadline=None)
@given(st.one_of(st.binary(max_size=70), st.text(max_size=40).map(lambda t: t.encode("utf-8", "surrogatepass"))))
def test_short_texts_read_as_python_reads_them(data):
    decoded_as_python_decodes(data)


def test_one_character_texts_are_the_shared_ones():
    for char in ("a", "\u00e9", "\u00ff"):
        assert zelvane.loads(zelvane.dumps(char)) is char.encode().decode()


# Named tuples: the class's shape (count, class name, field names) is kept
# as bytes for a class that takes `_fields` from itself; a subclass with an
# instance dict is always written the general way, and must match.
def general_twin(cls):
    return type(cls.__name__, (cls,), {})


def namedtuple_of(name, fields):
    return collections.namedtuple(name, fields, rename=True)


@pytest.mark.parametrize("name, fields", [
    ("Point", ["x", "y"]),
    ("Empty", []),
    ("N" * 255, ["a"]), ("N" * 256, ["a"]), ("N" * 600, ["a"]),
    ("Wide", ["f%d" % i for i in range(255)]), ("Wide", ["f%d" % i for i in range(256)]),
    ("\u00c9t\u00e9", ["\u00e9", "\u4e16" * 100, "f" * 200]),
], ids=["point", "empty", "name255", "name256", "name600", "fields255", "fields256", "non_ascii"])
def test_kept_namedtuple_shape_as_the_general_path_writes_it(name, fields):
    cls = namedtuple_of(name, fields)
    values = [cls(*range(len(fields))), cls(*(["v", None, 2.5, 2**70] * len(fields))[:len(fields)])]
    twin = general_twin(cls)
    expected = [zelvane.dumps(twin(*value)) for value in values]
    assert [zelvane.dumps(value) for value in values * 2] == expected * 2
    assert zelvane.dumps(values) == h("fd 1d 02") + b"".join(data[1:] for data in expected)


def test_kept_namedtuple_shape_exact_bytes():
    point = collections.namedtuple("Point", "x y")
    expected = h("fd 45 02 01 05") + b"Point" + h("01 01") + b"x" + h("05 01 01 01") + b"y" + h("0c") + \
        struct.pack("<d", 2.5)
    assert [zelvane.dumps(point(1, 2.5)) for _ in range(2)] == [expected] * 2


def test_changed_class_is_written_as_it_now_is():
    base = collections.namedtuple("Point", "x y")
    sub = type("Sub", (base,), {"__slots__": ()})
    value, sub_value = base(1, 2), sub(3, 4)
    zelvane.dumps(value)
    base.__name__ = "Renamed"
    assert zelvane.dumps(value) == zelvane.dumps(general_twin(base)(1, 2))
    assert b"Renamed" in zelvane.dumps(value)
    zelvane.dumps(sub_value)
    base._fields = ("a",)  # on the base of a class whose shape is kept
    assert zelvane.dumps(sub_value) == h("fd 45 01 01 03") + b"Sub" + h("01 01") + b"a" + h("05 03")
    assert zelvane.dumps(value) == h("fd 45 01 01 07") + b"Renamed" + h("01 01") + b"a" + h("05 01")
    base._fields = ("a", "b", "c")
    for item in (value, sub_value):
        with pytest.raises(ValueError, match="^Received an unsupported datatype."):
            zelvane.dumps(item)


def test_many_nested_namedtuple_classes_keep_their_own_shapes():
    classes = [namedtuple_of("C%d" % i, ["f%d" % i, "g"]) for i in range(40)]
    value = None
    for cls in classes:
        value = cls(value, cls.__name__)
    twin = None
    for cls in classes:
        twin = general_twin(cls)(twin, cls.__name__)
    assert [zelvane.dumps(value) for _ in range(2)] == [zelvane.dumps(twin)] * 2


def test_member_that_renames_its_class_mid_encoding():
    point = collections.namedtuple("Point", "x y")
    calls = []

    class UUIDNoisy(uuid.UUID):  # written by its name, from its hex
        @property
        def hex(self):
            calls.append(1)
            point.__name__ = "Other"
            point._fields = ("p", "q")
            zelvane.dumps([collections.namedtuple("T%d" % i, "a")(i) for i in range(20)])
            return super().hex

    value = point(UUIDNoisy(int=5), 1)
    zelvane.dumps(point(0, 0))
    data = zelvane.dumps(value)
    assert calls
    assert data.startswith(h("fd 45 02 01 05") + b"Point" + h("01 01") + b"x")
    assert zelvane.dumps(point(1, 2)) == zelvane.dumps(general_twin(point)(1, 2))
    assert b"Other" in zelvane.dumps(point(1, 2))


# A set takes its members as they decode until one whose hash may fail; from
# there on they wait until every member has decoded, so a decoding fault
# after an unhashable member still wins, and members after a waiting one
# still arrive.
@pytest.mark.parametrize("wire, outcome", [
    ("fd 22 02 1c 05", ValueError),                      # a list, then a member cut short
    ("fd 22 03 05 01 1c 0a 08 01", ValueError),          # an int, a list, then a cut int
    ("fd 31 02 1c 0c 00", ValueError),                   # the same in a frozenset
    ("fd 22 03 05 01 1c 05 02", TypeError),              # the list's own fault once all decoded
    ("fd 22 05 05 01 27 01 05 02 05 03 01 01 61 10", {1, (2,), 3, "a", None}),
    ("fd 31 04 0c" + "00" * 8 + " 13 01 78 0e 31 01 05 04", frozenset({0.0, b"x", False, frozenset({4})})),
], ids=["list-then-cut", "int-list-cut", "frozenset-cut", "unhashable", "waiting-then-plain", "frozenset"])
def test_set_members_added_as_the_general_path_adds_them(wire, outcome):
    if isinstance(outcome, type):
        with pytest.raises(outcome, match="unhashable" if outcome is TypeError else "offset exceeded"):
            zelvane.loads(h(wire))
    else:
        assert same(outcome, zelvane.loads(h(wire)))
