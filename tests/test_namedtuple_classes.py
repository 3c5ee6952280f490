"""Classes of decoded named tuples: one of its own for every value, made from
a cached namespace yet equal in every attribute and behaviour to what
collections.namedtuple makes for the same names."""
import collections
import copy
import gc
import inspect
import pickle
import re
import sys
import types
import weakref

import pytest

import zelvane

Point = collections.namedtuple("Point", "x y")


def factory_class(name, fields, module=None):
    """What the factory makes for these names, named after `module` as it
    would be when called from there."""
    cls = collections.namedtuple(name, fields)
    cls.__module__ = module or __name__
    return cls


def public_dict(cls):
    return {key: value for key, value in vars(cls).items() if key != "_field_defaults"}


def same_class_shape(got, want):
    assert type(got) is type(want) is type
    for attribute in ("__name__", "__qualname__", "__module__", "__bases__", "_fields",
                      "_field_defaults", "__doc__", "__slots__", "__match_args__", "__flags__",
                      "__basicsize__", "__itemsize__", "__dictoffset__", "__weakrefoffset__"):
        assert getattr(got, attribute, None) == getattr(want, attribute, None), attribute
    assert got.__mro__[1:] == want.__mro__[1:] and set(vars(got)) == set(vars(want))
    for key, value in public_dict(want).items():
        mine = vars(got)[key]
        if isinstance(value, types.FunctionType):
            assert mine.__qualname__ == value.__qualname__ and mine.__doc__ == value.__doc__
            assert inspect.signature(mine) == inspect.signature(value)
        elif isinstance(value, classmethod):
            assert mine.__func__.__qualname__ == value.__func__.__qualname__
        elif key not in ("__module__",) and not isinstance(value, (str, tuple)):
            assert type(mine) is type(value) and mine.__doc__ == value.__doc__, key


@pytest.mark.parametrize("name, fields, values", [
    ("Point", ("x", "y"), (1, [2.5])),
    ("Empty", (), ()),
    ("Wide", tuple(f"f{i}" for i in range(300)), tuple(range(300))),
    ("Unicodé", ("ä", "ß"), ("a", None)),
])
def test_class_equals_the_factory_class(name, fields, values):
    want = factory_class(name, fields)
    original = want(*values)
    got = zelvane.loads(zelvane.dumps(original))
    cls = type(got)
    same_class_shape(cls, want)
    assert cls is not want and got == original and not hasattr(got, "__dict__")
    assert repr(got) == repr(original) and got._asdict() == original._asdict()
    assert got.__getnewargs__() == original.__getnewargs__()
    assert cls._make(values) == original and type(cls._make(values)) is cls
    if fields:
        assert type(got._replace(**{fields[0]: "new"})) is cls
        assert getattr(got, fields[-1]) == values[-1]
        assert getattr(cls, fields[0]).__doc__ == getattr(want, fields[0]).__doc__
        with pytest.raises(Exception) as expected:
            original._replace(nope=1)
        with pytest.raises(type(expected.value), match=exactly_text(expected.value)):
            got._replace(nope=1)
    with pytest.raises(TypeError):
        cls._make(values + (1,))
    assert copy.copy(got) == got and type(copy.deepcopy(got)) is cls


def test_every_value_has_a_class_of_its_own(shm_name):
    name = shm_name("ntc")
    zelvane.write_memory(name, [Point(1, 2), Point(3, 4), Point(5, 6)])
    values = zelvane.read_memory(name)
    classes = {id(type(value)) for value in values}
    assert len(classes) == 3 and Point not in map(type, values)
    assert zelvane.read_memory(name)[0].__class__ not in map(type, values)


def test_setting_an_attribute_on_one_class_leaves_its_siblings_alone():
    a, b = zelvane.loads(zelvane.dumps([Point(1, 2), Point(3, 4)]))
    A, B = type(a), type(b)
    A.extra = "mine"
    A.__repr__ = lambda self: "changed"
    A._field_defaults["x"] = 0
    A.__doc__ = "other"
    del A._asdict
    assert not hasattr(B, "extra") and repr(b) == "Point(x=3, y=4)" and repr(a) == "changed"
    assert B._field_defaults == {} and B.__doc__ == "Point(x, y)" and b._asdict() == {"x": 3, "y": 4}
    c = zelvane.loads(zelvane.dumps(Point(5, 6)))
    assert repr(c) == "Point(x=5, y=6)" and type(c)._field_defaults == {} and hasattr(c, "_asdict")


def test_instances_pickle_where_the_class_is_reachable():
    got = zelvane.loads(zelvane.dumps(Point(1, [2])))
    module = types.ModuleType("zt_reachable")
    sys.modules[module.__name__] = module
    try:
        type(got).__module__ = module.__name__
        module.Point = type(got)
        back = pickle.loads(pickle.dumps(got, protocol=pickle.HIGHEST_PROTOCOL))
        assert back == got and type(back) is type(got)
    finally:
        del sys.modules[module.__name__]


def test_module_is_that_of_the_caller():
    data = zelvane.dumps(Point(1, 2))
    space = {"__name__": "zt_caller", "zelvane": zelvane, "collections": collections, "data": data}
    exec("got = zelvane.loads(data); want = collections.namedtuple('Point', 'x y')", space)
    assert type(space["got"]).__module__ == space["want"].__module__ == "zt_caller"
    space = {"zelvane": zelvane, "collections": collections, "data": data}
    exec("got = zelvane.loads(data); want = collections.namedtuple('Point', 'x y')", space)
    assert type(space["got"]).__module__ == space["want"].__module__ == "__main__"


def named_tuple_wire(name, fields):
    """Protocol-2 bytes of a named tuple whose fields all hold None."""
    def text(value):
        data = value.encode()
        return bytes([1, len(data)]) + data
    head = bytes([0xFD, 69, len(fields)]) if fields else bytes([0xFD, 68])
    return head + text(name) + b"".join(text(field) + b"\x10" for field in fields)


@pytest.mark.parametrize("name, fields", [
    ("Renamed", ("a", "_1")),
    ("Kw", ("x", "def")),
    ("Twice", ("x", "x")),
    ("not valid", ("x",)),
    ("class", ()),
    ("Digit", ("1x",)),
])
def test_names_the_factory_refuses_fail_with_its_exception(name, fields):
    with pytest.raises(Exception) as expected:
        collections.namedtuple(name, fields)
    for _ in range(2):  # a refusal is not remembered as a shape
        with pytest.raises(type(expected.value), match=exactly_text(expected.value)):
            zelvane.loads(named_tuple_wire(name, fields))


def exactly_text(exc):
    return f"^{re.escape(str(exc))}$"


def test_non_text_names_go_to_the_factory():
    # Class name item: the int 7; the factory's str() of it is refused.
    with pytest.raises(ValueError) as expected:
        collections.namedtuple(7, ())
    with pytest.raises(ValueError, match=exactly_text(expected.value)):
        zelvane.loads(bytes([0xFD, 68, 5, 7]))
    # A field name given as bytes b"x": str() gives "b'x'", refused too.
    with pytest.raises(ValueError) as expected:
        collections.namedtuple("P", (b"x",))
    with pytest.raises(ValueError, match=exactly_text(expected.value)):
        zelvane.loads(bytes([0xFD, 69, 1, 1, 1, ord("P"), 19, 1, ord("x"), 16]))


def shape_functions(prefix):
    return [obj for obj in gc.get_objects()
            if isinstance(obj, types.FunctionType) and obj.__qualname__.startswith(prefix)
            and obj.__name__ == "__new__"]


@pytest.mark.timeout(300)
def test_shapes_kept_are_bounded():
    # Many shapes, none kept by a value: at most a bounded number of their
    # namespaces may stay alive, and the oldest are the ones dropped.
    for i in range(1000):
        value = zelvane.loads(named_tuple_wire(f"ZtShape{i}", ("a", "b")))
        assert type(value).__name__ == f"ZtShape{i}" and value == (None, None)
        del value
    gc.collect()
    kept = {fn.__qualname__ for fn in shape_functions("ZtShape")}
    assert 0 < len(kept) <= 256
    assert "ZtShape999.__new__" in kept and "ZtShape0.__new__" not in kept
    again = zelvane.loads(named_tuple_wire("ZtShape0", ("a", "b")))
    assert type(again)._fields == ("a", "b") and repr(again) == "ZtShape0(a=None, b=None)"


@pytest.mark.timeout(300)
def test_many_empty_named_tuples_of_one_shape():
    data = zelvane.dumps([collections.namedtuple("E", "")()] * 20000)
    values = zelvane.loads(data)
    assert len({id(type(value)) for value in values}) == 20000
    assert all(type(value).__name__ == "E" and value == () for value in values)


def decoded_class():
    """A class made from a kept namespace: the first value of a shape takes
    the factory's own class."""
    return type(zelvane.loads(zelvane.dumps([Point(1, 2)] * 2))[1])


@pytest.mark.parametrize("make_class", [lambda: factory_class("Point", "x y"), decoded_class],
                         ids=["factory", "decoded"])
def test_instances_hold_their_class_as_the_factory_classes_do(make_class):
    cls = make_class()
    calls = []
    cls.__del__ = lambda self: calls.append(tuple(self))
    value = cls(1, [2])
    assert cls in gc.get_referents(value)
    del value
    assert calls == [(1, [2])]

    class Sub(cls):
        pass
    sub = Sub(3, 4)
    sub.extra = "attribute"
    assert repr(sub) == "Sub(x=3, y=4)" and sub.extra == "attribute"
    del sub
    assert calls == [(1, [2]), (3, 4)]

    other = factory_class("Point", "x y")(5, 6)
    other.__class__ = cls
    assert type(other) is cls and repr(other) == "Point(x=5, y=6)"
    mine = cls(7, 8)
    mine.__class__ = Point
    assert type(mine) is Point
    del mine, other
    assert calls[-1] == (5, 6)


def test_decoded_classes_go_with_their_last_instance():
    values = zelvane.loads(zelvane.dumps([Point(i, -i) for i in range(500)]))
    classes = [weakref.ref(type(value)) for value in values]
    one = type(values[0])
    count = sys.getrefcount(one)
    extra = one(1, 2)
    assert sys.getrefcount(one) == count + 1
    del extra
    assert sys.getrefcount(one) == count
    del values, one
    gc.collect()
    assert not any(ref() for ref in classes)
