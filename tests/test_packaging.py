"""What a user installs: the wheel and the sdist carry the module, its stubs,
the command and the license."""
import configparser
import importlib.util
import os
import pathlib
import subprocess
import sys
import tarfile
import zipfile

import pytest

ROOT = pathlib.Path(__file__).parents[1]
BUILD_TIMEOUT = 900

pytestmark = [pytest.mark.slow, pytest.mark.timeout(BUILD_TIMEOUT + 60)]


@pytest.fixture(scope="module")
def wheel_path(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    subprocess.run([sys.executable, "-m", "pip", "wheel", str(ROOT), "--no-deps", "-q", "-w", str(out)],
                   check=True, capture_output=True, timeout=BUILD_TIMEOUT)
    (path,) = out.glob("zelvane-*.whl")
    return path


@pytest.fixture(scope="module")
def wheel(wheel_path):
    return zipfile.ZipFile(wheel_path)


def source(relative):
    return (ROOT / relative).read_bytes()


def dist_info(wheel, tail):
    (name,) = [n for n in wheel.namelist() if ".dist-info/" in n and n.endswith(tail)]
    return wheel.read(name).decode()


def test_wheel_carries_stubs_command_and_license(wheel):
    for relative in ("zelvane-stubs/__init__.pyi", "zelvane-stubs/py.typed",
                     "zelvane_cli/__init__.py", "zelvane_cli/__main__.py", "zelvane-lib/aio.py",
                     "zelvane-lib/_remote.py", "zelvane-lib/_remote_aio.py", "zelvane-lib/_remote_scripts.py",
                     "zelvane-lib/_remote_terms.py", "zelvane-lib/_remote_wire.py"):
        assert wheel.read(relative) == source(f"python/{relative}"), relative
    assert dist_info(wheel, "/LICENSE").encode() == source("LICENSE")
    entry_points = configparser.ConfigParser()
    entry_points.read_string(dist_info(wheel, "entry_points.txt"))
    assert entry_points["console_scripts"]["zelvane"] == "zelvane_cli:main"
    classifiers = {line.split(": ", 1)[1] for line in dist_info(wheel, "METADATA").splitlines()
                   if line.startswith("Classifier: ")}
    expected = {f"Programming Language :: Python :: 3.{minor}" for minor in range(9, 14)}
    expected |= {"Operating System :: POSIX :: Linux", "Programming Language :: C++",
                 "License :: OSI Approved :: MIT License"}
    assert expected <= classifiers


def test_sdist_carries_the_license_and_the_python_parts(tmp_path):
    if importlib.util.find_spec("scikit_build_core") is None:
        pytest.skip("scikit-build-core is not installed here (pip builds in isolation)")
    subprocess.run([sys.executable, "-c", "import sys; from scikit_build_core.build import "
                    "build_sdist; build_sdist(sys.argv[1])", str(tmp_path)],
                   cwd=ROOT, check=True, capture_output=True, timeout=BUILD_TIMEOUT)
    (path,) = tmp_path.glob("zelvane-*.tar.gz")
    with tarfile.open(path) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
        top = path.name[:-len(".tar.gz")]
        assert sdist.extractfile(f"{top}/LICENSE").read() == source("LICENSE")
    assert {"python/zelvane-stubs/__init__.pyi", "python/zelvane_cli/__init__.py", "python/zelvane-lib/aio.py",
            "python/zelvane-lib/_remote.py", "CMakeLists.txt", "pyproject.toml"} <= names


USER_SCRIPT = """
import zelvane
total: int = len(zelvane.__version__)
zelvane.write_memory("n", {"a": [total]})
"""

# The installed package reaches its Python parts: Remote loads without
# redis-py, and connect() asks for it (the venv has no extras).
REMOTE_SCRIPT = """
import sys, zelvane
assert "redis" not in sys.modules
print(zelvane.Remote.__name__)
zelvane.connect("redis://127.0.0.1:1/0")
"""


def test_installed_wheel_gives_the_command_and_the_stubs(wheel_path, wheel, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, capture_output=True,
                   timeout=BUILD_TIMEOUT)
    python = venv / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-deps", "--no-index",
                    str(wheel_path)], check=True, capture_output=True, timeout=BUILD_TIMEOUT)
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    run = subprocess.run([str(venv / "bin" / "zelvane"), "--help"], capture_output=True,
                         text=True, env=env, timeout=60)
    assert run.returncode == 0, run.stderr
    assert all(command in run.stdout for command in ("ls", "show", "rm", "clean"))
    version = next(line.split(": ", 1)[1] for line in dist_info(wheel, "METADATA").splitlines()
                   if line.startswith("Version: "))
    run = subprocess.run([str(python), "-c", "import zelvane; print(zelvane.__version__)"],
                         cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)
    assert run.stdout == version + "\n", run.stderr
    run = subprocess.run([str(python), "-c", REMOTE_SCRIPT], cwd=tmp_path, env=env, capture_output=True,
                         text=True, timeout=60)
    assert run.stdout == "Remote\n" and "pip install 'zelvane[redis]'" in run.stderr, run.stderr
    run = subprocess.run([str(python), "-c", "import sys, zelvane; print('asyncio' in sys.modules); "
                          "from zelvane import aio; print(aio.open_memory.__module__)"],
                         cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)
    assert run.stdout == "False\nzelvane.aio\n", run.stderr

    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (it comes with the test extra)")
    (tmp_path / "user.py").write_text(USER_SCRIPT)
    (tmp_path / "wrong.py").write_text(USER_SCRIPT + 'zelvane.read_memory(b"n")\n')
    mypy = [sys.executable, "-m", "mypy", "--strict", "--python-executable", str(python),
            "--cache-dir", str(tmp_path / ".mypy_cache")]
    run = subprocess.run(mypy + ["user.py"], cwd=tmp_path, env=env, capture_output=True,
                         text=True, timeout=BUILD_TIMEOUT)
    assert run.returncode == 0, run.stdout
    run = subprocess.run(mypy + ["wrong.py"], cwd=tmp_path, env=env, capture_output=True,
                         text=True, timeout=BUILD_TIMEOUT)
    assert "wrong.py:5: error" in run.stdout, run.stdout
