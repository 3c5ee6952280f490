"""The API reference keeps up with the package: every public name of the
stubs is documented by an autodoc directive of docs/reference/, and the
names only for annotations are at least named there."""
import ast
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).parents[1]
STUBS = ROOT / "python" / "zelvane-stubs"
REFERENCE = ROOT / "docs" / "reference"
DIRECTIVE = re.compile(r"^\.\. auto(?:function|class|exception):: ([\w.]+)", re.MULTILINE)


def reference_text():
    return "\n".join(page.read_text(encoding="utf-8") for page in sorted(REFERENCE.glob("*.md")))


def public_names(stub):
    """The stub's public top-level names: (documented objects, annotation-only names)."""
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    objects, aliases = set(), set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            objects.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            aliases.add(node.target.id)
        elif isinstance(node, ast.Assign):
            aliases.update(target.id for target in node.targets if isinstance(target, ast.Name))
    is_public = lambda name: not name.startswith("_")
    return sorted(filter(is_public, objects)), sorted(filter(is_public, aliases))


MODULES = [("zelvane", STUBS / "__init__.pyi"), ("zelvane.aio", STUBS / "aio.pyi")]
OBJECTS = [f"{module}.{name}" for module, stub in MODULES for name in public_names(stub)[0]]
ALIASES = [f"{module}.{name}" for module, stub in MODULES for name in public_names(stub)[1]]


def test_the_stubs_are_read():
    assert {"zelvane.open_memory", "zelvane.MemoryHandle", "zelvane.aio.serve"} <= set(OBJECTS)
    assert "zelvane.Value" in ALIASES


@pytest.mark.parametrize("name", OBJECTS)
def test_every_public_object_has_its_directive(name):
    assert name in DIRECTIVE.findall(reference_text()), f"docs/reference/ has no autodoc directive for {name}"


@pytest.mark.parametrize("name", ALIASES)
def test_every_annotation_name_is_named(name):
    assert f"`{name}`" in reference_text(), f"docs/reference/ does not name {name}"
