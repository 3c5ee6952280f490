"""The modules keep process-global state holding the main interpreter's
objects, so a subinterpreter (legacy, sharing the GIL, or isolated, with its
own) is refused with a clear ImportError, before or after the main
interpreter imported them, and the main interpreter is unharmed."""
import json
import textwrap

import pytest

from conftest import run_python

pytestmark = pytest.mark.timeout(120)

# Runs `code` in a new subinterpreter of the given kind; the kind's facility
# missing in this interpreter is reported as "missing".
FACILITIES = """
def in_legacy(code):
    import _testcapi
    _testcapi.run_in_subinterp(code)

def in_isolated(code):
    try:
        import _interpreters as interpreters
        interp = interpreters.create()
    except ImportError:
        import _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=True)
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)

def run_in(kind, code):
    try:
        (in_legacy if kind == "legacy" else in_isolated)(code)
    except (ImportError, AttributeError, TypeError):
        return False
    return True
"""

CHILD = FACILITIES + """
import datetime, decimal, json, os, uuid

def attempt(module):
    read_end, write_end = os.pipe()
    code = f'''
import os
try:
    import {{module}}
    outcome = ["imported"]
except BaseException as exc:
    outcome = [type(exc).__name__, str(exc)]
os.write({{write_end}}, repr(outcome).encode())
'''
    ran = run_in({kind!r}, code)
    os.close(write_end)
    outcome = eval(os.read(read_end, 4096).decode() or "None")
    os.close(read_end)
    return outcome if ran else "missing"

def round_trip(module):
    mod = __import__(module)
    encode, decode = (mod.dumps, mod.loads) if module == "zelvane" else (mod.from_value, mod.to_value)
    value = [decimal.Decimal("1.25"), uuid.UUID(int=7), datetime.date(2024, 2, 29)]
    return decode(encode(value)) == value

modules = ["zelvane"]
try:
    import zelvane_bench  # built beside the extension for development only
    modules.append("zelvane_bench")
except ImportError:
    pass
if {main_first!r}:
    for module in modules:
        __import__(module)
results = {{module: attempt(module) for module in modules}}
print(json.dumps({{"results": results, "main": [round_trip(m) for m in modules]}}))
"""


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_subinterpreter_import_is_refused_cleanly(kind, main_first):
    proc = run_python(CHILD.format(kind=kind, main_first=main_first))
    assert proc.returncode == 0, proc.stderr  # no abort, no fault
    report = json.loads(proc.stdout)
    if "missing" in report["results"].values():
        pytest.skip(f"this interpreter has no {kind} subinterpreters")
    for module, outcome in report["results"].items():
        assert outcome[0] == "ImportError"
        # The modules' own refusal, or the import system's for a module that
        # declares it cannot be shared (3.12 and later).
        assert outcome[1] in (f"{module} can only be imported in the main interpreter",
                              f"module {module} does not support loading in subinterpreters")
    assert all(report["main"])


def test_import_again_in_the_main_interpreter_keeps_the_registry():
    # The first module object, freed after a second import, must not take
    # the classes the second one still uses.
    proc = run_python(textwrap.dedent("""
        import decimal, gc, sys, uuid
        import zelvane
        first = zelvane
        del sys.modules["zelvane"]
        import zelvane
        assert zelvane is not first
        del first
        gc.collect()
        value = [decimal.Decimal("2.5"), uuid.UUID(int=9)]
        assert zelvane.loads(zelvane.dumps(value)) == value
    """))
    assert proc.returncode == 0, proc.stderr
