"""The native module's sources stay readable as they grow: every header
compiles on its own, no header declares a function that a later file
defines (which would make two files call into each other), and no file
outgrows what a reader takes in at one sitting."""
import concurrent.futures
import os
import pathlib
import re
import shutil
import subprocess
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
NATIVE = ROOT / "zelvane"
HEADERS = sorted(NATIVE.rglob("*.h"))
LONGEST = 800
# A function declaration without a body at the top level of a header.
DECLARATION = re.compile(r"^[A-Za-z_][\w:<>,*& ]*[\s*&]\w+\([^;{]*\);\s*(//.*)?$")


def relative(path):
    return str(path.relative_to(ROOT))


def compile_alone(compiler, include, header, directory):
    """The compiler's complaints about `header` compiled as a unit of its own; empty when none."""
    unit = directory / (header.relative_to(NATIVE).as_posix().replace("/", "_") + ".cpp")
    unit.write_text(f'#include "{header.relative_to(NATIVE).as_posix()}"\n')
    result = subprocess.run(
        [compiler, "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Wno-unused-function", f"-I{include}",
         f"-I{NATIVE}", f"-I{ROOT / 'codec' / 'kel_main'}", f"-I{ROOT / 'codec' / 'kel_old'}", str(unit)],
        capture_output=True, text=True, timeout=600)
    return "" if result.returncode == 0 else f"{relative(header)}:\n{result.stderr[-1500:]}"


@pytest.mark.skipif(not NATIVE.is_dir(), reason="the sources are not beside the tests")
def test_each_header_compiles_on_its_own(tmp_path):
    compiler = shutil.which("g++") or shutil.which("c++")
    include = sysconfig.get_paths()["include"]
    if compiler is None or not (pathlib.Path(include) / "Python.h").exists():
        pytest.skip("no C++ compiler or no Python headers here")
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        complaints = list(pool.map(lambda header: compile_alone(compiler, include, header, tmp_path), HEADERS))
    assert [complaint for complaint in complaints if complaint] == []


@pytest.mark.skipif(not NATIVE.is_dir(), reason="the sources are not beside the tests")
def test_no_header_declares_what_a_later_file_defines():
    found = [f"{relative(header)}:{number}: {line.strip()}"
             for header in HEADERS
             for number, line in enumerate(header.read_text().splitlines(), 1)
             if DECLARATION.match(line) and not line.lstrip().startswith(("return", "static_assert"))]
    assert found == []


@pytest.mark.skipif(not NATIVE.is_dir(), reason="the sources are not beside the tests")
def test_no_native_file_outgrows_a_sitting():
    sources = HEADERS + sorted(NATIVE.rglob("*.cpp")) + sorted((ROOT / "codec").rglob("*.[ch]*"))
    long = {relative(path): n for path in sources if (n := len(path.read_text().splitlines())) > LONGEST}
    assert long == {}
