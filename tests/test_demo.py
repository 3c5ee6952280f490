"""The README's demo ends, with its whole output, every time it runs."""
import os
import pathlib
import signal
import subprocess
import sys

import pytest
import zelvane

from conftest import shm_path

DEMO = pathlib.Path(__file__).parents[1] / "examples" / "demo.py"
RUNS = 20
NAMES = ("zelvane_demo_prices", "zelvane_demo_total", "zelvane_demo_service")
OUTPUT = """\
parent wrote  [1.5, 2.25, 4.0]
child  read   [1.5, 2.25, 4.0]
parent reads  [3.0, 4.5, 8.0]
parent calls  total([3.0, 4.5, 8.0], 0.2) -> 18.6
read
pool answers  total([3.0, 4.5, 8.0], tax=0.1) -> 17.05
pool raised   TypeError: unsupported operand type(s) for +: 'int' and 'str' (caused by the server's traceback)
"""

pytestmark = pytest.mark.timeout(RUNS * 70)


@pytest.fixture
def demo_names():
    """The demo's names, removed afterwards whatever a failed run left."""
    yield NAMES
    for name in NAMES:
        if os.path.exists(shm_path(name)):
            zelvane.remove_function(name)
            zelvane.remove_memory(name)


def run_demo():
    """Runs the demo in a session of its own, so that the servers it
    starts are killed with it if it does not end in time."""
    demo = subprocess.Popen([sys.executable, str(DEMO)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        out, err = demo.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        os.killpg(demo.pid, signal.SIGKILL)  # its leader not reaped yet: the group is still the demo's
        out, err = demo.communicate()
        err += "\n<the demo did not end within 60 s>"
    return demo.returncode, out, err


def test_the_demo_ends_every_time(demo_names):
    for run in range(RUNS):
        returncode, out, err = run_demo()
        assert (run, returncode, err) == (run, 0, "")
        assert out == OUTPUT
        assert not any(os.path.exists(shm_path(name)) for name in demo_names)
