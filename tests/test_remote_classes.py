"""Exceptions keep their class when the caller has it: same module, already
imported, same qualified name; otherwise RemoteError with type_name."""
import sys
import textwrap
import uuid

import pytest
import zelvane

from conftest import TIMEOUT, run_python, spawn_python
from redis_util import redis_server  # noqa: F401 (fixtures)

ERRORS_MODULE = """
class AppError(Exception):
    pass

class Outer:
    class Inner(ValueError):
        pass

class NeedsTwo(Exception):
    def __init__(self, first, second):
        super().__init__(first)
"""

# Serves `raise_it(module, qualname, *args)` from the modules given, through
# the module itself or a Remote (sys.argv[2] is "local" or "url namespace").
SERVER = """
import importlib, sys, zelvane
sys.path.insert(0, sys.argv[3])
target = sys.argv[2].split()
z = zelvane if target == ["local"] else zelvane.connect(target[0], namespace=target[1])
def raise_it(module, qualname, *args):
    found = importlib.import_module(module)
    for part in qualname.split("."):
        found = getattr(found, part)
    raise found(*args)
z.serve(sys.argv[1], raise_it)
"""


@pytest.fixture
def modules(tmp_path):
    """Two modules of one content: the caller imports the first only."""
    stem = f"zt_errors_{uuid.uuid4().hex[:8]}"
    for suffix in ("seen", "unseen"):
        (tmp_path / f"{stem}_{suffix}.py").write_text(ERRORS_MODULE)
    sys.path.insert(0, str(tmp_path))
    try:
        yield tmp_path, f"{stem}_seen", f"{stem}_unseen"
    finally:
        sys.path.remove(str(tmp_path))
        for suffix in ("seen", "unseen"):
            sys.modules.pop(f"{stem}_{suffix}", None)


def start_server(z, name, target, path):
    proc = spawn_python(SERVER, name, target, str(path))
    z.open_function(name, wait=TIMEOUT).close()
    return proc


def stop_server(z, name, proc):
    z.remove_function(name)
    try:
        proc.communicate(timeout=TIMEOUT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate(timeout=TIMEOUT)


def check_classes(function, seen, unseen):
    import importlib
    module = importlib.import_module(seen)
    with pytest.raises(module.AppError) as info:
        function(seen, "AppError", "failed", 3)
    assert info.value.args == ("failed", 3)
    assert isinstance(info.value.__cause__, zelvane.RemoteTraceback)
    assert "AppError: ('failed', 3)" in str(info.value.__cause__)
    with pytest.raises(module.Outer.Inner, match="^inner$"):
        function(seen, "Outer.Inner", "inner")
    # Arguments that do not build the class again: RemoteError.
    with pytest.raises(zelvane.RemoteError) as info:
        function(seen, "NeedsTwo", "a", "b")
    assert info.value.type_name == f"{seen}.NeedsTwo"
    with pytest.raises(zelvane.RemoteError) as info:
        function(unseen, "AppError", "x")
    assert (info.value.type_name, str(info.value)) == (f"{unseen}.AppError", f"{unseen}.AppError: x")
    assert isinstance(info.value.__cause__, zelvane.RemoteTraceback)
    assert unseen not in sys.modules


def test_classes_of_imported_modules_come_back(modules, shm_name):
    path, seen, unseen = modules
    name = shm_name("fn")
    proc = start_server(zelvane, name, "local", path)
    try:
        with zelvane.open_function(name) as function:
            check_classes(function, seen, unseen)
    finally:
        stop_server(zelvane, name, proc)


def test_classes_come_back_over_redis(modules, redis_server):
    path, seen, unseen = modules
    namespace = f"zt-{uuid.uuid4().hex[:12]}"
    with zelvane.connect(redis_server.url, namespace=namespace) as remote:
        proc = start_server(remote, "fn", f"{redis_server.url} {namespace}", path)
        try:
            with remote.open_function("fn") as function:
                check_classes(function, seen, unseen)
        finally:
            stop_server(remote, "fn", proc)


# The caller's own __main__ class, raised by a server that multiprocessing
# started (where the parent's main module runs as __mp_main__).
MAIN_CALLER = """
import multiprocessing, sys, zelvane
name = sys.argv[1] if len(sys.argv) > 1 else {name!r}

class AppError(Exception):
    pass

def fail(code):
    raise AppError("main failure", code)

def serve():
    zelvane.serve(name, fail)

if __name__ == "__main__":
    server = multiprocessing.get_context("spawn").Process(target=serve)
    server.start()
    try:
        handle = zelvane.open_function(name, wait={timeout})
        try:
            handle(7)
        except AppError as error:
            print(type(error).__module__, error.args, type(error.__cause__).__name__)
    finally:
        zelvane.remove_function(name)
        server.join({timeout})
"""


def test_a_class_of_main_comes_back_from_a_spawned_server(tmp_path, shm_name):
    script = tmp_path / "main_caller.py"
    script.write_text(textwrap.dedent(MAIN_CALLER.format(name=shm_name("fn"), timeout=TIMEOUT)))
    done = run_python(f"import runpy; runpy.run_path({str(script)!r}, run_name='__main__')")
    assert done.stdout == "__main__ ('main failure', 7) RemoteTraceback\n", done.stderr


def test_type_name_of_a_remote_error_made_here():
    assert zelvane.RemoteError("made here").type_name is None
