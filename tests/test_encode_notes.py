"""Encoding failures name the refused value's type and where it sits, in an
exception note (3.11 on), leaving the exception's type and text alone."""
import collections
import fractions
import sys

import pytest

import zelvane

from codec_util import NEST_DEPTH, UNSUPPORTED

notes_supported = pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes came in 3.11")

Point = collections.namedtuple("Point", "x y")
Fraction = fractions.Fraction


def nested_lists(levels):
    value = []
    for _ in range(levels - 1):
        value = [value]
    return value


REFUSED = [
    (Fraction(1, 3), "value", "Fraction"),
    ({"rows": [0, 1, 2, Fraction(1, 3)]}, "value['rows'][3]", "Fraction"),
    ([(1, {2: collections.defaultdict(int)})], "value[0][1][2]", "defaultdict"),
    ({Fraction(1): 2}, "value<key>", "Fraction"),
    ({(1, object()): 2}, "value<key>[1]", "object"),
    (Point(1, {"k": (1, 2, print)}), "value.y['k'][2]", "builtin_function_or_method"),
    (collections.Counter(a=1.5), "value['a']", "float"),
    (collections.ChainMap({}, {"k": [Fraction(2)]}), "value.maps[1]['k'][0]", "Fraction"),
    (collections.OrderedDict(a=[collections.deque([1, Fraction(1)])]), "value['a'][0][1]", "Fraction"),
    ({"k" * 100: object()}, "value['" + "k" * 59 + "...]", "object"),
]


@notes_supported
@pytest.mark.parametrize("value, path, kind", [case for case in REFUSED if case[1]])
def test_refused_value_is_named_with_its_place(shm_name, value, path, kind):
    expected = [f"while encoding {path}: type '{kind}' is not supported"]
    for encode in (zelvane.dumps, lambda v: zelvane.write_memory(shm_name("note"), v)):
        with pytest.raises(ValueError) as caught:
            encode(value)
        assert type(caught.value) is ValueError and str(caught.value) == UNSUPPORTED
        assert caught.value.__notes__ == expected


@notes_supported
@pytest.mark.parametrize("value, exc, message, note", [
    (["ok", "\ud800"], UnicodeEncodeError, None, "while encoding value[1] (a value of type 'str')"),
    ({"a": nested_lists(101)}, ValueError, NEST_DEPTH,
     "while encoding value['a']" + "[0]" * 99 + " (a value of type 'list')"),
])
def test_other_failures_are_placed_too(value, exc, message, note):
    with pytest.raises(exc) as caught:
        zelvane.dumps(value)
    assert message is None or str(caught.value) == message
    assert caught.value.__notes__ == [note]


@notes_supported
@pytest.mark.timeout(120)
def test_arguments_of_a_call_are_placed(serve):
    server = serve("lambda *args: len(args)")
    with pytest.raises(ValueError) as caught:
        zelvane.call_function(server.name, (1, [Fraction(1)]))
    assert str(caught.value) == UNSUPPORTED
    assert caught.value.__notes__ == ["while encoding value[1][0]: type 'Fraction' is not supported"]
    assert zelvane.call_function(server.name, (1, 2)) == 2
    zelvane.remove_function(server.name)
    assert server.finish()[0] == 0


@notes_supported
def test_interrupts_get_no_note():
    class settle(set):  # a set subclass whose name still passes for a set
        def __iter__(self):
            raise KeyboardInterrupt
            yield

    with pytest.raises(KeyboardInterrupt) as caught:
        zelvane.dumps([settle({1})])
    assert not hasattr(caught.value, "__notes__")


@pytest.mark.skipif(sys.version_info >= (3, 11), reason="without notes before 3.11")
def test_no_note_before_notes_existed():
    with pytest.raises(ValueError) as caught:
        zelvane.dumps({"rows": [Fraction(1)]})
    assert str(caught.value) == UNSUPPORTED and not hasattr(caught.value, "__notes__")


def test_values_that_encode_carry_nothing_over():
    with pytest.raises(ValueError) as first:
        zelvane.dumps([Fraction(1)])
    assert zelvane.loads(zelvane.dumps([1, 2])) == [1, 2]
    with pytest.raises(ValueError) as second:
        zelvane.dumps({"k": Fraction(1)})
    assert getattr(first.value, "__notes__", []) != getattr(second.value, "__notes__", [None])
