"""Regressions found in review of the module's bridge code."""
import os

import pytest

from conftest import shm_path

import zelvane

# sys.stdout whose first flush raises `exc`; everything else reaches the real one.
FAILING_FLUSH = """
class Out:
    def __init__(self, real):
        self.real, self.armed = real, True
    def write(self, text):
        return self.real.write(text)
    def flush(self):
        if self.armed:
            self.armed = False
            raise {exc}
        self.real.flush()
sys.stdout = Out(sys.stdout)
"""


@pytest.mark.timeout(120)
@pytest.mark.parametrize("exc, outcome", [
    ("KeyboardInterrupt", "raised KeyboardInterrupt \n"),
    ("OSError('closed')", "returned None\n"),
])
def test_interrupt_while_flushing_the_stop_line_is_not_lost(serve, exc, outcome):
    server = serve("lambda: 1", setup=FAILING_FLUSH.format(exc=exc))
    assert zelvane.remove_function(server.name) is True
    code, out = server.finish()
    assert out == "read\n" + outcome
    assert code == (3 if outcome.startswith("raised") else 0)
    assert not os.path.exists(shm_path(server.name))
