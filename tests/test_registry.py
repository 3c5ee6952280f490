"""Import-time failures of the class registry, each in a fresh interpreter
whose sys.modules holds a stand-in for one standard-library module."""
import json
import textwrap

import pytest

from conftest import run_python

ORDER = ["datetime", "uuid", "decimal", "collections", "pathlib"]

# Imports the real modules that come before `target`, puts a stand-in for
# `target` in sys.modules (None: the module cannot be imported; otherwise a
# copy lacking `missing`), imports zelvane and reports what happened.
CHILD = textwrap.dedent("""
    import importlib, json, sys, types
    target, missing, capsule = {target!r}, {missing!r}, {capsule!r}
    order = {order!r}
    for name in order[:order.index(target)]:
        importlib.import_module(name)
    if missing is None:
        sys.modules[target] = None
    else:
        real = importlib.import_module(target)
        stand_in = types.ModuleType(target)
        for key, value in vars(real).items():
            if key not in missing and (capsule or key != "datetime_CAPI"):
                setattr(stand_in, key, value)
        sys.modules[target] = stand_in
    later = [name for name in order[order.index(target) + 1:] if name not in sys.modules]
    try:
        import zelvane
    except BaseException as exc:
        outcome = [type(exc).__name__, str(exc)]
    else:
        outcome = ["imported", ""]
    print(json.dumps({{"outcome": outcome, "later_imported": [n for n in later if n in sys.modules]}}))
""")


def import_with_stand_in(target, missing, capsule=True):
    code = CHILD.format(target=target, missing=missing, capsule=capsule, order=ORDER)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("target", ORDER)
def test_missing_module(target):
    report = import_with_stand_in(target, None)
    assert report["outcome"] == ["ModuleNotFoundError", f"Could not find module '{target}'."]
    assert report["later_imported"] == []


@pytest.mark.parametrize("target, missing, message", [
    ("datetime", ["datetime"], "Could not find attribute 'datetime' in module 'datetime'."),
    ("datetime", ["date"], "Could not find attribute 'date' in module 'datetime'."),
    ("datetime", ["time"], "Could not find attribute 'time' in module 'datetime'."),
    ("datetime", ["time", "date"], "Could not find attribute 'date' in module 'datetime'."),
    ("uuid", ["UUID"], "Could not find attribute 'UUID' in module 'uuid'."),
    ("decimal", ["Decimal"], "Could not find attribute 'Decimal' in module 'decimal'."),
    ("collections", ["namedtuple"], "Could not find attribute 'namedtuple' in module 'collections'."),
    ("collections", ["deque"], "Could not find attribute 'deque' in module 'collections'."),
    ("collections", ["Counter"], "Could not find attribute 'Counter' in module 'collections'."),
    ("collections", ["OrderedDict"], "Could not find attribute 'OrderedDict' in module 'collections'."),
    ("collections", ["ChainMap"], "Could not find attribute 'ChainMap' in module 'collections'."),
    ("collections", ["ChainMap", "deque"], "Could not find attribute 'deque' in module 'collections'."),
    ("pathlib", ["Path"], "Could not fund attribute 'Path' in module 'pathlib'."),
    ("pathlib", ["PurePath"], "Could not fund attribute 'PurePath' in module 'pathlib'."),
    ("pathlib", ["PurePath", "Path"], "Could not fund attribute 'Path' in module 'pathlib'."),
])
def test_missing_attribute(target, missing, message):
    report = import_with_stand_in(target, missing)
    assert report["outcome"] == ["AttributeError", message]
    assert report["later_imported"] == []


def test_missing_datetime_capsule_fails_the_import():
    report = import_with_stand_in("datetime", [], capsule=False)
    assert report["outcome"] == [
        "ImportError", "Could not import the datetime C interface 'datetime.datetime_CAPI'."]


def test_import_after_a_failed_import(shm_name):
    name = shm_name("reg")
    code = textwrap.dedent(f"""
        import sys, types
        import datetime, uuid, decimal, collections
        real = collections
        stand_in = types.ModuleType("collections")
        sys.modules["collections"] = stand_in
        try:
            import zelvane
        except AttributeError as exc:
            print(exc)
        sys.modules["collections"] = real
        import zelvane
        zelvane.write_memory({name!r}, "after")
        print(zelvane.read_memory({name!r}))
        zelvane.remove_memory({name!r})
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "Could not find attribute 'namedtuple' in module 'collections'.", "after"]


def test_module_frees_cleanly_at_exit():
    # The free hook releases the cached classes while the interpreter ends;
    # a fault there shows as a crash or a non-zero status.
    result = run_python("import zelvane, gc; zelvane.write_memory; del zelvane; gc.collect()")
    assert result.returncode == 0, result.stderr
