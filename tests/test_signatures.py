"""What introspection shows of the module: signatures, the version, and the
reason an argument was refused."""
import inspect
import pathlib
import pydoc
import re

import pytest

import zelvane

P = inspect.Parameter
POS, POS_KW = P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD

SIGNATURES = {
    "create_memory": [("name", POS_KW, P.empty), ("prealloc_size", POS_KW, 0),
                      ("error_if_exists", POS_KW, False)],
    "remove_memory": [("name", POS_KW, P.empty), ("throw_error", POS_KW, False)],
    "read_memory": [("name", POS, P.empty)],
    "write_memory": [("name", POS_KW, P.empty), ("value", POS_KW, P.empty),
                     ("create", POS_KW, True)],
    "create_function": [("name", POS, P.empty), ("func", POS, P.empty)],
    "remove_function": [("name", POS, P.empty)],
    "call_function": [("name", POS, P.empty), ("args", POS, P.empty)],
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature_matches_the_parameters(name):
    params = inspect.signature(getattr(zelvane, name)).parameters.values()
    assert [(p.name, p.kind, p.default) for p in params] == SIGNATURES[name]


def public_callables():
    for key, obj in vars(zelvane).items():
        if key.startswith("_") or not callable(obj):
            continue
        if not isinstance(obj, type):
            yield key, obj
            continue
        # A handle class is made by its open_ function; its methods are what users call.
        for attr, member in vars(obj).items():
            if not attr.startswith("_") and callable(member):
                yield f"{key}.{attr}", member


def test_every_public_callable_has_a_signature():
    missing = []
    for key, obj in public_callables():
        try:
            inspect.signature(obj)
        except ValueError:
            missing.append(key)
    assert missing == []


def test_help_shows_the_parameters():
    text = pydoc.render_doc(zelvane, renderer=pydoc.plaintext)
    assert "call_function(name, args, /)" in text
    assert "write_memory(name, value, create=True)" in text


def test_version_is_the_package_version():
    pyproject = (pathlib.Path(__file__).parents[1] / "pyproject.toml").read_text()
    declared = re.search(r'^version\s*=\s*"([^"]+)"', pyproject, re.M).group(1)
    assert zelvane.__version__ == declared


# The parser's complaint stays reachable as the cause; the message is unchanged.
REFUSED = [
    (zelvane.read_memory, (5,), {}, "Expected 1 'str' type.", TypeError),
    (zelvane.read_memory, ("a", "b"), {}, "Expected 1 'str' type.", TypeError),
    (zelvane.write_memory, ("zt_never", 1), {"create": 1},
     "Expected at least the 'name' (str) and 'value' (any) arguments.", TypeError),
    (zelvane.create_memory, ("zt_never",), {"bogus": 1},
     "Expected at least the name (str) argument.", TypeError),
    (zelvane.create_memory, ("zt_never", -1), {}, "The given pre-allocate size is too large.",
     OverflowError),
    (zelvane.call_function, ("a\0b", ()), {}, "Expected a 'str' and 'tuple' type.", ValueError),
]


@pytest.mark.parametrize("func, args, kwargs, message, cause", REFUSED)
def test_argument_error_chains_the_parsers_error(func, args, kwargs, message, cause):
    with pytest.raises(ValueError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    assert type(info.value.__cause__) is cause
    assert info.value.__suppress_context__


def test_a_check_of_its_own_has_no_cause():
    with pytest.raises(ValueError, match="^Expected a 'str' and 'callable' type.$") as info:
        zelvane.create_function("zt_never", 5)
    assert info.value.__cause__ is None
