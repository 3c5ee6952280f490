"""docs/architecture.md stays true as the code moves: every repository path
it names exists, and every folder of the native module has its row."""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).parents[1]
PAGE = ROOT / "docs" / "architecture.md"
NATIVE = ROOT / "zelvane"

FENCED_BLOCK = re.compile(r"^```.*?^```", re.MULTILINE | re.DOTALL)
CODE_SPAN = re.compile(r"`([^`\n]+)`")
# A path token: no spaces and none of the characters prose code spans use
# (calls, flags, placeholders), with a slash or a source file's suffix.
PATH_LIKE = re.compile(r"[\w.\-*/]+")
SOURCE_SUFFIXES = (".h", ".cpp", ".py")


def code_spans(text):
    """The inline code spans of Markdown `text`, fenced blocks left out."""
    return CODE_SPAN.findall(FENCED_BLOCK.sub("", text))


def repository_paths(text):
    """The spans of `text` that name paths in the repository. Absolute paths
    (/dev/shm, /proc/...) are the system's, not the repository's."""
    return sorted({span for span in code_spans(text)
                   if PATH_LIKE.fullmatch(span) and not span.startswith("/")
                   and ("/" in span or span.endswith(SOURCE_SUFFIXES))})


def native_folders():
    return sorted(path.relative_to(ROOT).as_posix() for path in NATIVE.rglob("*")
                  if path.is_dir() and "__pycache__" not in path.parts)


def test_the_extraction_finds_paths_and_only_paths():
    text = ("`zelvane/slots/slot.h`, `scripts/`, `tests/test_*.py`, `setup.py`, `/dev/shm`, "
            "`/proc/<pid>/fd/<n>`, `F_OFD_SETLK`, `open_function(name)`, `read_memory`\n"
            "```\nopenat(3, \"zelvane/not/a/path.h\")\n```\n")
    assert repository_paths(text) == ["scripts/", "setup.py", "tests/test_*.py", "zelvane/slots/slot.h"]


def test_the_page_names_paths():
    # A page whose spans all went unrecognised would pass the next test for nothing.
    assert len(repository_paths(PAGE.read_text(encoding="utf-8"))) > 40


@pytest.mark.parametrize("path", repository_paths(PAGE.read_text(encoding="utf-8")))
def test_every_path_named_exists(path):
    if "*" in path:
        assert list(ROOT.glob(path)), f"docs/architecture.md names {path}, which matches nothing"
    else:
        assert (ROOT / path).exists(), f"docs/architecture.md names {path}, which does not exist"


def test_every_native_folder_has_its_room():
    named = {path.rstrip("/") for path in repository_paths(PAGE.read_text(encoding="utf-8"))}
    missing = [folder for folder in native_folders() if folder not in named]
    assert native_folders(), "no folder found under zelvane/"
    assert not missing, f"docs/architecture.md does not name these folders of the native module: {missing}"
