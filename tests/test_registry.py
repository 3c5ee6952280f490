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
    target, missing = {target!r}, {missing!r}
    order = {order!r}
    for name in order[:order.index(target)]:
        importlib.import_module(name)
    if missing is None:
        sys.modules[target] = None
    else:
        real = importlib.import_module(target)
        stand_in = types.ModuleType(target)
        for key, value in vars(real).items():
            if key not in missing:
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


def attribute(module, name, verb="find"):
    return ["AttributeError", f"Could not {verb} attribute '{name}' in module '{module}'."]


@pytest.mark.parametrize("target, missing, outcome", [
    (target, None, ["ModuleNotFoundError", f"Could not find module '{target}'."]) for target in ORDER] + [
    ("datetime", ["datetime"], attribute("datetime", "datetime")),
    ("datetime", ["date"], attribute("datetime", "date")),
    ("datetime", ["time"], attribute("datetime", "time")),
    ("datetime", ["time", "date"], attribute("datetime", "date")),
    ("datetime", ["datetime_CAPI"],
     ["ImportError", "Could not import the datetime C interface 'datetime.datetime_CAPI'."]),
    ("uuid", ["UUID"], attribute("uuid", "UUID")),
    ("decimal", ["Decimal"], attribute("decimal", "Decimal")),
    ("collections", ["namedtuple"], attribute("collections", "namedtuple")),
    ("collections", ["deque"], attribute("collections", "deque")),
    ("collections", ["Counter"], attribute("collections", "Counter")),
    ("collections", ["OrderedDict"], attribute("collections", "OrderedDict")),
    ("collections", ["ChainMap"], attribute("collections", "ChainMap")),
    ("collections", ["ChainMap", "deque"], attribute("collections", "deque")),
    ("pathlib", ["Path"], attribute("pathlib", "Path", "fund")),
    ("pathlib", ["PurePath"], attribute("pathlib", "PurePath", "fund")),
    ("pathlib", ["PurePath", "Path"], attribute("pathlib", "Path", "fund")),
])
def test_failed_import(target, missing, outcome):
    result = run_python(CHILD.format(target=target, missing=missing, order=ORDER))
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["outcome"] == outcome
    if outcome[0] != "ImportError":  # the capsule is looked up only after every class
        assert report["later_imported"] == []


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
