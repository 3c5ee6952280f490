"""Every Python example of the README and of the pages under docs/ runs.

The harness collects each ```python fenced block of README.md and of
docs/**/*.md (folders whose name starts with "_" excepted: build output,
static files) and runs the blocks of one page, in page order, as one test
item. A page that fails names each failing block by file and line, with its
cause; the blocks after a failing one still run, so one run lists them all.

By default each block is a script of its own: a fresh `sys.executable`
process whose working directory is a temporary folder (one per page), with
the zelvane this test session imports on its PYTHONPATH (and the `zelvane`
command's package, for `python -m zelvane_cli`), and 60 seconds to
finish with exit status 0. An HTML comment on the line just before the fence
(blank lines between are allowed) changes that; its words may be combined,
separated by spaces or commas (`<!-- example: background, redis -->`):

- `<!-- example: skip - reason -->`: the block is not run. The reason is
  required: a skip without one is a harness error, which fails the page.
- `<!-- example: continue -->`: the block is appended to the previous block
  of the page and runs in the same process, as one script (a page shows a
  program in pieces with prose between them).
- `<!-- example: background -->`: the block (with the blocks that continue
  it) starts as a background process and runs while the page's following
  blocks run; when the page is done it is terminated. It must not have
  ended with an error by then (ending with status 0 is fine). A server that
  the later blocks call is written this way; the later blocks wait for it
  themselves (a name that appears, a call retried until it answers).
- `<!-- example: redis -->`: the harness starts a redis-server for the page
  and replaces the literal URL `redis://localhost:6379` in the block with
  its URL. A block that names another Redis URL, or a Redis URL without the
  marker, is a harness error.
- `<!-- example: cluster -->`: the same with a Redis Cluster (the session's
  one) for the literal URL `redis://localhost:7000`.

A block that continues another inherits its redis and cluster markers. Any
other word in an `example:` comment is a harness error. Each script runs in
a process group of its own; whatever is left of the group when the script
ends is killed. After a page, the /dev/shm entries that appeared while it
ran (the listing after compared with the one before) are removed when the
page's code names them, so a failing example leaves nothing behind; an
entry it does not name is another program's (examples spell out the names
they use).
"""
import dataclasses
import os
import re
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import zelvane
from redis_util import RedisServer, redis_cluster, require_cluster, require_redis  # noqa: F401 (a fixture)

ROOT = Path(__file__).resolve().parent.parent
SHM_DIR = "/dev/shm"
BLOCK_TIMEOUT = 60
STOP_TIMEOUT = 10
OUTPUT_SHOWN = 3000

REDIS_URL = "redis://localhost:6379"
CLUSTER_URL = "redis://localhost:7000"
KNOWN_WORDS = {"skip", "continue", "background", "redis", "cluster"}

FENCE = re.compile(r"^(?P<indent>[ \t]*)(?P<fence>`{3,}|~{3,})[ \t]*(?P<info>[^`\n]*)$")
MARKER = re.compile(r"^\s*<!--\s*example:(?P<body>.*?)-->\s*$")
ANY_REDIS_URL = re.compile(r"rediss?://[^\s'\"]*")
USES_REDIS = re.compile(r"\b(?:zelvane|aio)\.connect\(|^\s*(?:import|from)\s+redis\b", re.MULTILINE)


class HarnessError(Exception):
    """A page breaks the harness's conventions."""


@dataclasses.dataclass
class Block:
    path: str
    line: int                   # of the opening fence, 1-based
    code: str
    words: frozenset = frozenset()
    reason: str = ""

    @property
    def where(self):
        return f"{self.path}:{self.line}"


@dataclasses.dataclass
class Script:
    """One process: a block and the blocks that continue it."""
    blocks: list
    background: bool
    redis: bool
    cluster: bool

    @property
    def where(self):
        return self.blocks[0].where

    def source(self, redis_url=None, cluster_url=None):
        parts = []
        for block in self.blocks:
            code = block.code
            if redis_url is not None:
                code = code.replace(REDIS_URL, redis_url)
            if cluster_url is not None:
                code = code.replace(CLUSTER_URL, cluster_url)
            parts.append(f"# {block.where}\n{code}")
        return "\n".join(parts)


def parse_marker(line, where):
    """The words and skip reason of an `example:` comment, or None for any other line."""
    match = MARKER.match(line)
    if match is None:
        return None
    body = match.group("body").strip()
    reason = ""
    if body.startswith("skip"):
        rest = body[len("skip"):].strip()
        if not rest.startswith("-") or not rest[1:].strip():
            raise HarnessError(f"{where}: a skipped example must say why: <!-- example: skip - reason -->")
        return frozenset({"skip"}), rest[1:].strip()
    words = frozenset(word for word in re.split(r"[\s,]+", body) if word)
    unknown = words - KNOWN_WORDS
    if unknown or not words:
        raise HarnessError(f"{where}: unknown example marker {body!r} (known: {', '.join(sorted(KNOWN_WORDS))})")
    if "skip" in words:
        raise HarnessError(f"{where}: a skipped example must say why: <!-- example: skip - reason -->")
    return words, reason


def dedent_block(lines, indent):
    """The block's lines less the fence's indentation (fences inside list items)."""
    width = len(indent)
    return "".join(line[min(width, len(line) - len(line.lstrip(" \t"))):] for line in lines)


def closes(line, fence):
    text = line.strip()
    return len(text) >= len(fence) and set(text) == {fence[0]}


def parse_blocks(text, path, errors=None):
    """The ```python blocks of a Markdown page, with the marker before each.

    A broken marker raises HarnessError, or, given a list `errors`, is
    appended to it and its block is not run."""
    lines = text.splitlines(keepends=True)
    blocks = []
    index = 0
    previous = None           # the last non-blank line outside a fence
    while index < len(lines):
        match = FENCE.match(lines[index].rstrip("\n"))
        if match is None:
            if lines[index].strip():
                previous = (index, lines[index])
            index += 1
            continue
        fence, indent = match.group("fence"), match.group("indent")
        end = index + 1
        while end < len(lines) and not closes(lines[end], fence):
            end += 1
        info = match.group("info").strip().split()
        if info and info[0] == "python":
            where = f"{path}:{index + 1}"
            try:
                marker = parse_marker(previous[1], where) if previous is not None else None
            except HarnessError as error:
                if errors is None:
                    raise
                errors.append(str(error))
                marker = frozenset({"skip"}), "broken marker"
            words, reason = marker or (frozenset(), "")
            blocks.append(Block(path, index + 1, dedent_block(lines[index + 1:end], indent), words, reason))
        previous = None
        index = end + 1
    return blocks


def check_redis_urls(block, marked_redis, marked_cluster):
    """A harness error for a Redis URL the harness cannot point at its own server."""
    allowed = ([REDIS_URL] if marked_redis else []) + ([CLUSTER_URL] if marked_cluster else [])
    if not allowed and USES_REDIS.search(block.code):
        raise HarnessError(f"{block.where}: the example uses Redis: mark the block <!-- example: redis --> (or "
                           f"cluster) and name the server {REDIS_URL} (or {CLUSTER_URL})")
    for url in ANY_REDIS_URL.findall(block.code):
        if not any(url == base or url.startswith(base + "/") for base in allowed):
            raise HarnessError(
                f"{block.where}: the example uses Redis at {url!r}: write {REDIS_URL} (or {CLUSTER_URL} for a "
                f"cluster) and mark the block <!-- example: redis --> (or cluster) so the harness provides it")


def plan_scripts(blocks, errors=None):
    """The page's processes in order: skipped blocks dropped, continued ones joined.

    A block the harness cannot run raises HarnessError, or, given a list
    `errors`, is appended to it and left out."""
    scripts = []
    skipping = False
    for block in blocks:
        if "continue" in block.words and skipping:
            continue            # the rest of a skipped script
        skipping = "skip" in block.words
        if skipping:
            continue
        try:
            add_block(scripts, block)
        except HarnessError as error:
            if errors is None:
                raise
            errors.append(str(error))
    return scripts


def add_block(scripts, block):
    redis, cluster = "redis" in block.words, "cluster" in block.words
    if "continue" in block.words:
        if not scripts:
            raise HarnessError(f"{block.where}: marked continue, but no block before it runs")
        script = scripts[-1]
        check_redis_urls(block, script.redis or redis, script.cluster or cluster)
        script.blocks.append(block)
        script.redis |= redis
        script.cluster |= cluster
    else:
        check_redis_urls(block, redis, cluster)
        scripts.append(Script([block], "background" in block.words, redis, cluster))


def pages():
    found = [ROOT / "README.md"] if (ROOT / "README.md").exists() else []
    docs = ROOT / "docs"
    if docs.is_dir():
        found += sorted(page for page in docs.rglob("*.md")
                        if not any(part.startswith("_") for part in page.relative_to(docs).parts))
    return [page.relative_to(ROOT).as_posix() for page in found]


def page_params():
    params = []
    for page in pages():
        try:
            count = len(parse_blocks((ROOT / page).read_text(encoding="utf-8"), page))
        except HarnessError:
            count = 1           # the test reports it
        if count:
            # the ini's per-test timeout is for one test, not for a page of examples
            timeout = BLOCK_TIMEOUT * count + 120
            params.append(pytest.param(page, id=page, marks=pytest.mark.timeout(timeout)))
    return params


def shm_entries():
    return set(os.listdir(SHM_DIR))


def child_env():
    """This environment, with the zelvane this session imports first on the
    path, and the `zelvane` command's package beside it as an installed
    package has it (a development build leaves it in the source tree)."""
    env = dict(os.environ)
    home = os.path.dirname(os.path.abspath(zelvane.__file__))
    command = home if os.path.isdir(os.path.join(home, "zelvane_cli")) else str(ROOT / "python")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [home, command, env.get("PYTHONPATH")]))
    env.pop("PYTHONSTARTUP", None)
    return env


def shown(text):
    text = text.strip()
    return text if len(text) <= OUTPUT_SHOWN else "..." + text[-OUTPUT_SHOWN:]


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


class PageRun:
    """Runs one page's scripts in order and gathers what went wrong."""

    def __init__(self, workdir, redis_url=None, cluster_url=None):
        self.workdir = workdir
        self.redis_url = redis_url
        self.cluster_url = cluster_url
        self.failures = []
        self.background = []
        self.env = child_env()

    def start(self, script, number):
        path = os.path.join(self.workdir, f"example_{number}.py")
        with open(path, "w", encoding="utf-8") as out:
            out.write(script.source(self.redis_url, self.cluster_url))
        log = tempfile.TemporaryFile(mode="w+", dir=self.workdir)
        proc = subprocess.Popen([sys.executable, path], cwd=self.workdir, env=self.env, stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT, start_new_session=True, text=True)
        return proc, log

    @staticmethod
    def output(log):
        log.seek(0)
        return log.read()

    def run(self, script, number):
        proc, log = self.start(script, number)
        if script.background:
            self.background.append((script, proc, log))
            return
        try:
            proc.wait(timeout=BLOCK_TIMEOUT)
        except subprocess.TimeoutExpired:
            kill_group(proc)
            proc.wait()
            self.failures.append(f"{script.where}: did not finish within {BLOCK_TIMEOUT} s; output:\n"
                                 f"{shown(self.output(log))}")
            return
        finally:
            kill_group(proc)
        if proc.returncode != 0:
            self.failures.append(f"{script.where}: exited with status {proc.returncode}; output:\n"
                                 f"{shown(self.output(log))}")

    def stop_background(self):
        for script, proc, log in self.background:
            ended = proc.poll()
            if ended is None:
                proc.terminate()
                try:
                    proc.wait(timeout=STOP_TIMEOUT)
                except subprocess.TimeoutExpired:
                    pass
            kill_group(proc)
            proc.wait()
            if ended is not None and ended != 0:
                self.failures.append(f"{script.where}: the background example exited with status {ended} "
                                     f"before the page was done; output:\n{shown(self.output(log))}")
        self.background = []


def remove_new_shm(before, code):
    """Removes what appeared in /dev/shm since `before` under a name that the
    page's `code` spells out; whatever else appeared meanwhile belongs to
    other programs on the machine (another test run, a benchmark)."""
    for entry in shm_entries() - before:
        if entry not in code:
            continue
        try:
            os.unlink(os.path.join(SHM_DIR, entry))
        except FileNotFoundError:
            pass


@pytest.fixture
def page_redis():
    servers = []

    def start():
        require_redis()
        server = RedisServer().start()
        servers.append(server)
        return f"redis://127.0.0.1:{server.port}"

    yield start
    for server in servers:
        server.close()


@pytest.mark.parametrize("page", page_params())
def test_page_examples_run(page, page_redis, request, tmp_path):
    errors = []
    scripts = plan_scripts(parse_blocks((ROOT / page).read_text(encoding="utf-8"), page, errors), errors)
    redis_url = page_redis() if any(script.redis for script in scripts) else None
    cluster_url = None
    if any(script.cluster for script in scripts):
        require_cluster()
        port = request.getfixturevalue("redis_cluster").masters()[0].port
        cluster_url = f"redis://127.0.0.1:{port}"
    before = shm_entries()
    run = PageRun(str(tmp_path), redis_url, cluster_url)
    run.failures += [f"harness error: {error}" for error in errors]
    try:
        for number, script in enumerate(scripts):
            run.run(script, number)
    finally:
        run.stop_background()
        remove_new_shm(before, "\n".join(block.code for script in scripts for block in script.blocks))
    if run.failures:
        pytest.fail(f"{len(run.failures)} example(s) of {page} failed:\n\n" + "\n\n".join(run.failures),
                    pytrace=False)


# The parser itself.

PAGE = """\
# Title

```python
print("plain")
```

<!-- example: background -->
```python
serve()
```
<!-- example: continue -->

```python
more()
```

<!-- example: skip - needs a camera -->
```python
camera()
```

<!-- example: redis, background -->
```python
zelvane.connect("redis://localhost:6379/0")
```

  ```python
  if indented:
      pass
  ```

```sh
echo not python
```
"""


def test_markers_are_read_from_the_line_before_the_fence():
    blocks = parse_blocks(PAGE, "page.md")
    assert [(block.line, block.words, block.reason) for block in blocks] == [
        (3, frozenset(), ""),
        (8, {"background"}, ""),
        (13, {"continue"}, ""),
        (18, {"skip"}, "needs a camera"),
        (23, {"redis", "background"}, ""),
        (27, frozenset(), ""),
    ]
    assert blocks[5].code == "if indented:\n    pass\n"
    scripts = plan_scripts(blocks)
    assert [([b.line for b in s.blocks], s.background, s.redis) for s in scripts] == [
        ([3], False, False), ([8, 13], True, False), ([23], True, True), ([27], False, False)]
    assert "redis://127.0.0.1:5/0" in scripts[2].source(redis_url="redis://127.0.0.1:5")


@pytest.mark.parametrize("marker, message", [
    ("<!-- example: skip -->", "must say why"),
    ("<!-- example: skip - -->", "must say why"),
    ("<!-- example: skip because -->", "must say why"),
    ("<!-- example: backgroud -->", "unknown example marker"),
    ("<!-- example: -->", "unknown example marker"),
])
def test_a_broken_marker_is_refused(marker, message):
    with pytest.raises(HarnessError, match=message):
        parse_blocks(f"text\n{marker}\n```python\npass\n```\n", "page.md")


@pytest.mark.parametrize("page, message", [
    ("```python\nzelvane.connect('redis://localhost:6379')\n```\n", "mark the block"),
    ("<!-- example: redis -->\n```python\nconnect('redis://example.org:6379')\n```\n", "'redis://example.org:6379'"),
    ("<!-- example: redis -->\n```python\nconnect('redis://localhost:7000')\n```\n", "mark the block"),
    ("<!-- example: continue -->\n```python\npass\n```\n", "no block before it runs"),
    ("```python\nimport redis\n```\n", "the example uses Redis: mark the block"),
    ("```python\nz = zelvane.aio.connect(url)\n```\n", "the example uses Redis: mark the block"),
])
def test_a_page_the_harness_cannot_run_is_refused(page, message):
    with pytest.raises(HarnessError, match=message):
        plan_scripts(parse_blocks(page, "page.md"))


def test_a_redis_marker_carries_over_to_the_blocks_that_continue_the_script():
    page = ("<!-- example: redis -->\n```python\nimport zelvane\n```\n"
            "<!-- example: continue -->\n```python\nzelvane.connect('redis://localhost:6379')\n```\n")
    (script,) = plan_scripts(parse_blocks(page, "page.md"))
    assert script.redis and "redis://127.0.0.1:9" in script.source(redis_url="redis://127.0.0.1:9")


def test_a_page_run_reports_each_failing_block_and_leaves_no_shared_memory(tmp_path):
    name = f"docs_example_{os.getpid()}"
    page = ("<!-- example: background -->\n```python\nraise SystemExit(3)\n```\n"
            f"```python\nimport zelvane\nzelvane.write_memory({name!r}, 1)\n```\n"
            "```python\nraise ValueError('broken example')\n```\n"
            "<!-- example: continue -->\n```python\nprint('not reached')\n```\n")
    before = shm_entries()
    run = PageRun(str(tmp_path))
    try:
        for number, script in enumerate(plan_scripts(parse_blocks(page, "page.md"))):
            run.run(script, number)
        run.background[0][1].wait(timeout=BLOCK_TIMEOUT)   # it has ended by the time the page is done
        assert os.path.exists(os.path.join(SHM_DIR, name))
    finally:
        run.stop_background()
        remove_new_shm(before, page)
    assert not os.path.exists(os.path.join(SHM_DIR, name))
    assert [failure.split(":")[1] for failure in run.failures] == ["9", "2"]
    assert "ValueError: broken example" in run.failures[0] and "status 3" in run.failures[1]
