"""Sphinx configuration of zelvane's documentation.

The API reference is read from the installed module (or the one on
PYTHONPATH): build it after `pip install '.[docs]'`. Nothing is fetched
while building."""
import importlib.metadata

project = "zelvane"
author = "the zelvane developers"
copyright = "the zelvane developers"
try:
    release = importlib.metadata.version("zelvane")
except importlib.metadata.PackageNotFoundError:
    import zelvane
    release = zelvane.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
]

source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "Thumbs.db", ".DS_Store"]

myst_enable_extensions = ["colon_fence", "deflist"]
# Headings get anchors so that pages can link to a section: [text](page.md#anchor).
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": True}
# The module's docstrings are plain prose with code in backquotes, not
# reStructuredText roles.
default_role = "code"

nitpicky = False

html_theme = "furo"
html_title = f"zelvane {release}"
html_static_path = ["_static"]

# The docstrings are written for help() and the REPL: plain text in which
# `*args`, `**kwargs` or a name ending in `_` mean themselves. Escape the
# characters that reStructuredText would read as markup, outside code spans.
import re

_CODE_OR_TEXT = re.compile(r"(`[^`]*`)|([^`]+|`)")
_MARKUP = re.compile(r"([*|\\])|(?<=\w)(_+)(?=\W|$)")


def _escape_markup(text):
    return _MARKUP.sub(lambda m: "\\" + m.group(0) if m.group(1) else m.group(2).replace("_", "\\_"), text)


def _plain_docstring(app, what, name, obj, options, lines):
    lines[:] = [_CODE_OR_TEXT.sub(lambda m: m.group(1) or _escape_markup(m.group(2)), line) for line in lines]


def setup(app):
    app.connect("autodoc-process-docstring", _plain_docstring)
