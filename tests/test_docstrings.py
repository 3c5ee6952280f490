"""Every public name has a docstring: the module's functions and classes,
zelvane.aio's, the Redis back end's classes (blocking and asyncio), and the
methods and properties of each; the stubs' definitions too. The
API reference is generated from them, so a name without one is a hole in it."""
import ast
import importlib
import inspect
from pathlib import Path

import pytest

import zelvane
import zelvane.aio

STUBS = Path(__file__).resolve().parent.parent / "python" / "zelvane-stubs"
# The Redis back end's classes are reached through connect(); their modules
# name them in __all__.
REMOTE_MODULES = ["zelvane._remote", "zelvane._remote_aio", "zelvane._remote_queues", "zelvane._executor"]


def public_names(module_name):
    module = importlib.import_module(module_name)
    if module_name == "zelvane":
        # Executor is made on first use, so dir() does not list it before
        return sorted({name for name in dir(module) if not name.startswith("_")} | {"Executor"})
    return list(module.__all__)


def documented(value):
    if isinstance(value, (staticmethod, classmethod)):
        value = value.__func__
    return bool((getattr(value, "__doc__", None) or "").strip())


def is_member(value):
    """Methods and properties; a plain data attribute is described by its class."""
    return callable(value) or inspect.isdatadescriptor(value) or isinstance(value, (staticmethod, classmethod))


def surface():
    """(dotted name, object) of every public name and of the public members of
    the public classes, each member where it is defined (inherited ones from
    the standard library excepted)."""
    found = {}
    for module_name in ["zelvane", "zelvane.aio", *REMOTE_MODULES]:
        module = importlib.import_module(module_name)
        for name in public_names(module_name):
            value = getattr(module, name)
            if inspect.ismodule(value):
                continue
            found[f"{module_name}.{name}"] = value
            if not inspect.isclass(value):
                continue
            for member in dir(value):
                owner = next((cls for cls in value.__mro__ if member in vars(cls)), None)
                if member.startswith("_") or owner is None or not owner.__module__.startswith("zelvane"):
                    continue
                attribute = vars(owner)[member]
                if is_member(attribute):
                    found[f"{owner.__module__}.{owner.__qualname__}.{member}"] = attribute
    return found


def stub_definitions(path):
    """(dotted name, node) of every public function and class of a stub file."""
    found = []

    def walk(body, prefix):
        for node in body:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)) and not node.name.startswith("_"):
                found.append((prefix + node.name, node))
                if isinstance(node, ast.ClassDef):
                    walk(node.body, prefix + node.name + ".")

    walk(ast.parse(path.read_text(encoding="utf-8")).body, "")
    return found


def test_every_public_name_has_a_docstring():
    names = surface()
    assert len(names) > 150      # the walk found the surface, not an empty list
    missing = sorted(name for name, value in names.items() if not documented(value))
    assert not missing, "public names without a docstring:\n" + "\n".join(missing)


@pytest.mark.parametrize("stub", ["__init__.pyi", "aio.pyi"])
def test_every_public_definition_of_the_stubs_has_a_docstring(stub):
    definitions = stub_definitions(STUBS / stub)
    assert len(definitions) > 50
    missing = [name for name, node in definitions if ast.get_docstring(node) is None]
    assert not missing, "stub definitions without a docstring:\n" + "\n".join(missing)


@pytest.mark.parametrize("name", ["read", "update"])
def test_a_handle_read_of_a_slot_made_with_a_size_and_never_written_is_documented_as_it_behaves(shm_name, name):
    slot = shm_name("doc")
    zelvane.create_memory(slot, 64)
    with zelvane.open_memory(slot) as handle:
        if name == "read":
            with pytest.raises(ValueError, match="invalid protocol marker"):
                handle.read()
            assert "invalid protocol marker" in zelvane.MemoryHandle.read.__doc__
        else:
            assert handle.update(lambda value: [value]) == [None]
            assert "None for a slot never written" in zelvane.MemoryHandle.update.__doc__
