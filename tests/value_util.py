"""Helpers for container tests: a strict comparison that also checks kinds,
a hypothesis strategy of nested containers, and a leak probe."""
import collections
import gc
import sys

from hypothesis import strategies as st


def same(a, b):
    """Equal values of the same kinds, recursively, with order where the kind
    has one; named tuples compare by class name and fields."""
    if isinstance(a, tuple) and hasattr(type(a), "_fields"):
        return (hasattr(type(b), "_fields") and type(a).__name__ == type(b).__name__
                and a._fields == b._fields and all(map(same, a, b)))
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple, collections.deque)):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a) and \
            all(type(x) is type(y) for x, y in zip(a, b))
    if isinstance(a, collections.ChainMap):
        return len(a.maps) == len(b.maps) and all(map(same, a.maps, b.maps))
    return a == b


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-2**300, 2**300),
    st.floats(allow_nan=False), st.text(max_size=20), st.binary(max_size=20),
    st.complex_numbers(allow_nan=False, allow_infinity=False),
)

hashables = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=8)),
    lambda inner: st.one_of(st.tuples(inner, inner), st.frozensets(inner, max_size=3)),
    max_leaves=6,
)

Point = collections.namedtuple("Point", "x y")


def containers(inner):
    return st.one_of(
        st.lists(inner, max_size=5),
        st.lists(inner, max_size=5).map(tuple),
        st.lists(inner, max_size=5).map(collections.deque),
        st.sets(hashables, max_size=5),
        st.frozensets(hashables, max_size=5),
        st.builds(Point, inner, inner),
        st.dictionaries(hashables, inner, max_size=5),
        st.dictionaries(st.text(max_size=5), inner, max_size=5).map(collections.OrderedDict),
        st.dictionaries(hashables, st.integers(), max_size=5).map(collections.Counter),
        st.lists(st.dictionaries(st.text(max_size=3), inner, max_size=3), max_size=3)
        .map(lambda maps: collections.ChainMap(*maps)),
    )


values = st.recursive(scalars, containers, max_leaves=25)


def leak_probe(action, rounds):
    """Growth of the interpreter's allocated blocks, and the change in the
    reference counts of the cached collections classes, over `rounds` calls
    of `action`. As many warm-up calls come first, so that free lists and
    caches are settled; a leak of one object per call then shows as
    `rounds` blocks, against a noise of a few dozen."""
    for _ in range(rounds):
        action()
    gc.collect()
    blocks, refs = sys.getallocatedblocks(), class_refcounts()
    for _ in range(rounds):
        action()
    gc.collect()
    new_refs = class_refcounts()
    return sys.getallocatedblocks() - blocks, [b - a for a, b in zip(refs, new_refs)]


def class_refcounts():
    return [sys.getrefcount(cls) for cls in (
        collections.deque, collections.namedtuple, collections.Counter,
        collections.OrderedDict, collections.ChainMap)]
