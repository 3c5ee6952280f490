"""The shipped stubs: strict type checkers accept correct use, refuse wrong
argument types, and the stubs agree with the module that is built."""
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import zelvane

STUBS = pathlib.Path(__file__).parents[1] / "python" / "zelvane-stubs"
TOOL_TIMEOUT = 300

pytestmark = pytest.mark.timeout(TOOL_TIMEOUT + 60)

GOOD = """
from typing import TYPE_CHECKING
import zelvane

if TYPE_CHECKING:
    from zelvane import Value


def add(a: int, b: int) -> int:
    return a + b


counts: list[int] = [1, 2]
table: dict[str, float] = {"a": 1.5}
created: bool = zelvane.create_memory("n", 1024, error_if_exists=True)
zelvane.write_memory("n", counts)
zelvane.write_memory(name="n", value=(table, None, b"x"), create=False)
value: "Value" = zelvane.read_memory("n")
if isinstance(value, dict):
    print(value.get("a"))
removed: bool = zelvane.remove_memory("n", throw_error=True)
zelvane.create_function("add", add)
result = zelvane.call_function("add", (1, 2))
stopped: bool = zelvane.remove_function("add")
blob: bytes = zelvane.dumps({"k": [1, 2]})
back = zelvane.loads(memoryview(blob))
with zelvane.open_memory("n", create=True) as slot:
    slot.write(counts)
    print(slot.read(), slot.name, slot.closed)
    total: int = slot.update(lambda v: (v or 0) + 1, timeout=1.0)
    since: int = slot.wait(since=slot.version, timeout=None)
    with slot.lock(timeout=2) as locked:
        fence: int = locked.token
        locked.write(locked.read() + [total, since, fence])
port: int = zelvane.read_memory("n")["port"]
with zelvane.open_function("add") as call:
    print(call(1, 2, timeout=2.5), call.name, call.closed)
print(created, result, back, zelvane.__version__)
with zelvane.open_array("a", (2, 3), "d") as shared:
    first: int = shared.shape[0]
    print(first, shared.format, shared.nbytes, shared.closed, shared.name)
    with shared.lock(timeout=1.0) as locked_array:
        locked_array.notify()
    seen: int = shared.wait(since=shared.version, timeout=0.5)
print(zelvane.open_array("b", 4, float).format)
remote = zelvane.connect("redis://localhost:6379/0", namespace="app")
remote.write_memory("n", counts)
with remote.open_memory("n") as remote_slot:
    bumped: int = remote_slot.update(lambda v: (v or 0) + 1, timeout=1.0)
    with remote_slot.lock() as remote_held:
        remote_fence: int = remote_held.token
with remote.open_function("add", wait=1.0) as remote_add:
    print(remote_add(1, 2, timeout=2.5), remote.url, remote.namespace, bumped)
with zelvane.Executor("add", max_in_flight=8) as executor:
    futures = [executor.submit(i, 1) for i in range(4)]
    summed: list[int] = [future.result(timeout=1.0) for future in futures]
    mapped = list(executor.map(range(3), range(3), timeout=5.0))
    print(summed, mapped, executor.call(1, 2), zelvane.open_function("add").submit(1, 2).result())
with remote.Executor("add", max_in_flight=8) as remote_executor:
    remote_summed: list[int] = [f.result(timeout=1.0) for f in [remote_executor.submit(i, 1) for i in range(4)]]
    print(remote_summed, remote.open_function("add").submit(1, 2, timeout=1.0).cancel())
late = zelvane.open_memory("n", create=False, wait=2.0)
late_array = zelvane.open_array("a", wait=0.5)
try:
    call(1, 2)
except zelvane.RemoteError as error:
    kind: str | None = error.type_name
"""

GOOD_AIO = """
import asyncio
from zelvane import aio


async def double(x: int) -> int:
    await asyncio.sleep(0)
    return 2 * x


def plain(x: int) -> int:
    return x


async def main() -> None:
    async with await aio.open_memory("n") as slot:
        written: bool = await slot.write([1, 2])
        total: int = await slot.update(lambda v: (v or 0) + 1, timeout=1.0)
        since: int = await slot.wait(since=slot.version, timeout=0.5)
        async with slot.lock(timeout=2) as locked:
            fence: int = locked.token
            print(await locked.read(), written, total, since, fence)
    async with await aio.open_function("f", wait=1.0) as function:
        print(await function(1, timeout=2.5), function.name, function.closed)
    await aio.serve("f", double, concurrency=4)
    await aio.serve("g", plain)
    late = await aio.open_memory("n", create=False, wait=1.0)
    array = await aio.open_array("a", wait=0.5)
    print(late.version, array.shape, (await aio.open_function("f", servers=2)).servers)
    remote: aio.AsyncRemote = aio.connect("redis://localhost:6379/0", namespace="app")
    async with await remote as z:
        await z.write_memory("n", [1, 2])
        async with await z.open_memory("n", create=False, wait=1.0) as remote_slot:
            seen: int = remote_slot.version
            bumped: int = await remote_slot.update(lambda v: (v or 0) + 1, timeout=1.0)
            async with remote_slot.lock(timeout=2) as held:
                remote_fence: int = held.token
                print(await held.read(), seen, bumped, remote_fence, await remote_slot.wait(since=seen, timeout=0.5))
        handle: aio.AsyncRemoteFunctionHandle = await z.open_function("f", wait=1.0, servers=2)
        count: int = handle.servers
        print(await handle(1, timeout=2.5), count, z.url, z.namespace, z.closed)
        await z.serve("f", double, concurrency=2)
    await remote.close()


asyncio.run(main())
"""

# Values a correct program writes: what the codec takes, as checkers see it.
GOOD_VALUES = """
from typing import NamedTuple, TypedDict
import zelvane


class Point(NamedTuple):
    x: int
    y: float


class Job(TypedDict):
    id: int
    tags: list[str]


job: Job = {"id": 1, "tags": ["a"]}
zelvane.write_memory("n", job)
zelvane.write_memory("n", Point(1, 2.0))
zelvane.write_memory("n", [job, Point(1, 2.0)])
zelvane.write_memory("n", (job, Point(1, 2.0), {"nested": (job,)}))
zelvane.call_function("f", (job, Point(3, 4.0)))
blob: bytes = zelvane.dumps({"jobs": (job,), "point": Point(0, 0.0)})
with zelvane.open_memory("n") as slot:
    slot.write(job)
    slot.update(lambda v: Point(1, 2.0))
"""

# Views of an array, checked for the oldest and newest interpreters.
GOOD_BUFFERS = """
import zelvane

with zelvane.open_array("a", (2, 3), "d") as shared:
    view: memoryview = memoryview(shared)
    print(view.nbytes, bytes(shared)[:2])
"""

GOOD_NUMPY = """
import numpy
import zelvane

with zelvane.open_array("a", (2, 3), "d") as shared:
    array = numpy.asarray(shared, dtype=numpy.float64)
    array[0, 0] = 1.5
    total: float = float(array.sum())
    print(total)
"""

# Each line is a wrong call that both checkers must report.
BAD = [
    'zelvane.call_function("n", [1, 2])',
    'zelvane.write_memory("n", 1, create=1)',
    'zelvane.read_memory(name="n")',
    'zelvane.create_memory("n", 10.0)',
    'zelvane.create_function("n", 5)',
    'zelvane.remove_memory("n", throw=True)',
    'zelvane.write_memory("n", object())',
    'zelvane.loads("text")',
    'zelvane.open_function("n")(1, timeout="soon")',
    'zelvane.open_memory("n").wait(since="1")',
    'zelvane.open_memory("n").update(lambda v: object())',
    'zelvane.open_memory("n").lock(timeout="soon")',
    'zelvane.open_memory("n").token.upper()',
    'zelvane.open_array("a", (2, 3), 5)',
    'zelvane.open_array("a", "2x3", "d")',
    'zelvane.open_array("a").wait(since="1")',
    'zelvane.connect("redis://localhost", "app")',
    'zelvane.connect("redis://localhost").call_function("n", [1])',
    'zelvane.aio.open_memory("n", create="yes")',
    'zelvane.aio.open_memory("n").wait(since="1")',
    'zelvane.aio.serve("n", double, concurrency="many")',
    'zelvane.aio.open_function("n", wait="soon")',
    'zelvane.Executor("n", max_in_flight="2")',
    'zelvane.connect("redis://localhost").Executor("n", max_in_flight="2")',
    'zelvane.connect("redis://localhost").open_function("n").submit(1, timeout="soon")',
    'zelvane.open_memory("n", create=False, wait="soon")',
    'zelvane.open_array("a", wait="soon")',
    'zelvane.write_memory("n", Point(object(), 1))',
    'zelvane.write_memory("n", (object(),))',
    'zelvane.dumps(frozenset([object()]))',
    'zelvane.write_memory("n", {1: 2}.items())',
    'zelvane.write_memory("n", iter([1]))',
    'zelvane.connect("redis://localhost").open_function("n", servers="2")',
    'zelvane.connect("redis://localhost").open_memory("n", False, 1.0)',
    'zelvane.aio.connect("redis://localhost").open_memory("n").write(1)',
    'zelvane.aio.connect("redis://localhost", "app")',
    'zelvane.aio.open_array("a", wait="soon")',
]


def tool_command(tool):
    if importlib.util.find_spec(tool) is None:
        pytest.skip(f"{tool} is not installed (it comes with the test extra)")
    return [sys.executable, "-m", tool]


@pytest.fixture
def project(tmp_path):
    """A directory where the checkers find the stubs as an installed stub
    package; returns a function that writes a script and runs a checker."""
    site = tmp_path / "site"
    shutil.copytree(STUBS, site / STUBS.name)
    (tmp_path / "pyrightconfig.json").write_text('{"typeCheckingMode": "strict"}')
    env = dict(os.environ)
    # The checkers run elsewhere: the module's own directory comes along.
    module_dir = os.path.dirname(os.path.abspath(zelvane.__file__))
    env["PYTHONPATH"] = os.pathsep.join([str(site), module_dir])

    def check(tool, source, filename="script.py", python_version=None):
        (tmp_path / filename).write_text(source)
        command = tool_command(tool)
        if tool == "mypy":
            command += ["--strict", "--cache-dir", str(tmp_path / ".mypy_cache"), filename]
            command += ["--python-version", python_version] if python_version else []
        else:
            command += ["--pythonpath", sys.executable, filename]
            command += ["--pythonversion", python_version] if python_version else []
        run = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True,
                             timeout=TOOL_TIMEOUT)
        return run.returncode, run.stdout + run.stderr

    check.site = site
    check.env = env
    return check


def error_lines(tool, output, filename):
    pattern = (rf"{filename}:(\d+): error" if tool == "mypy"
               else rf"{filename}:(\d+):\d+ - error")
    return {int(line) for line in re.findall(pattern, output)}


@pytest.mark.parametrize("tool", ["mypy", "pyright"])
@pytest.mark.parametrize("source", [GOOD, GOOD_AIO, GOOD_VALUES], ids=["zelvane", "aio", "values"])
def test_correct_use_passes_strict_checking(project, tool, source):
    code, output = project(tool, source)
    assert code == 0, output


@pytest.mark.parametrize("tool", ["mypy", "pyright"])
@pytest.mark.parametrize("version", ["3.9", "3.10", "3.13"])
def test_array_views_pass_on_old_and_new_interpreters(project, tool, version):
    if tool == "mypy" and version == "3.9":
        pytest.skip("mypy checks for Python 3.10 and later")
    code, output = project(tool, GOOD_BUFFERS, python_version=version)
    assert code == 0, output


@pytest.mark.parametrize("tool", ["mypy", "pyright"])
def test_numpy_views_of_an_array_pass(project, tool):
    pytest.importorskip("numpy")
    code, output = project(tool, GOOD_NUMPY)
    assert code == 0, output


@pytest.mark.parametrize("tool", ["mypy", "pyright"])
def test_wrong_argument_types_are_reported(project, tool):
    source = ("import zelvane, zelvane.aio\n" + "\n".join(BAD) + "\nasync def double(x: int) -> int: return x\n"
              "from typing import NamedTuple\nclass Point(NamedTuple):\n    x: object\n    y: int\n")
    code, output = project(tool, source)
    assert code != 0
    assert error_lines(tool, output, "script.py") == set(range(2, 2 + len(BAD))), output


@pytest.mark.parametrize("tool", ["mypy", "pyright"])
@pytest.mark.parametrize("stub_file", ["__init__.pyi", "aio.pyi"])
def test_the_stubs_pass_strict_checking(project, tool, stub_file):
    stub = (STUBS / stub_file).read_text()
    code, output = project(tool, stub, filename="stub_copy.pyi")
    assert code == 0, output


# Names that exist for annotations only.
TYPING_ONLY = ["Value", "Encodable"]
# Declared for every version; exported from C before 3.12.
if sys.version_info < (3, 12):
    TYPING_ONLY += ["ArrayHandle.__buffer__", "ArrayHandle.__release_buffer__"]
# Parts of the surface that other work adds; checked once the module has them.
EXTRAS = ["dumps", "loads", "open_memory", "open_function", "open_array", "MemoryHandle", "FunctionHandle",
          "ArrayHandle"]


def test_stubs_agree_with_the_built_module(project, tmp_path):
    tool_command("mypy")
    absent = [name for name in EXTRAS if not hasattr(zelvane, name)]
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(rf"zelvane\.{name}(\..*)?" + "\n" for name in TYPING_ONLY + absent))
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "zelvane", "--concise", "--ignore-unused-allowlist",
         "--allowlist", str(allowlist)],
        cwd=tmp_path, env=project.env, capture_output=True, text=True, timeout=TOOL_TIMEOUT)
    assert run.returncode == 0, textwrap.shorten(run.stdout + run.stderr, 4000)
