"""Pool servers between the rounds of an event loop's bursts of calls: they
watch for the loop's next round instead of sleeping, answer every call
right whoever else calls meanwhile, and go back to sleep once the bursts
end, however they end."""
import os
import signal
import time

import pytest
import zelvane

from conftest import TIMEOUT, finish, spawn_python, wait_for_line
from test_services import pool  # noqa: F401 (a fixture)

pytestmark = pytest.mark.timeout(300)

ECHO = """
def func(x):
    return x
"""

# Awaits rounds of 200 calls at once, more than the pool has areas, so that
# most calls wait on the loop for room and are posted as others end; says
# "flowing" after the first round, then goes on until told to stop (or for
# ever, until killed).
FLOWING_CALLER = """
import asyncio, sys, threading
from zelvane import aio
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.readline(), stop.set()), daemon=True).start()
async def main(name):
    async with await aio.open_function(name, wait=60) as function:
        rounds = 0
        while not stop.is_set():
            results = await asyncio.gather(*(function((rounds, i)) for i in range(200)))
            assert results == [(rounds, i) for i in range(200)], results
            rounds += 1
            if rounds == 1:
                print("flowing", flush=True)
    print("rounds", rounds, flush=True)
asyncio.run(main(sys.argv[1]))
"""


def cpu_seconds(procs):
    """The user and system CPU seconds the processes used so far."""
    ticks = os.sysconf("SC_CLK_TCK")
    total = 0.0
    for proc in procs:
        with open(f"/proc/{proc.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        total += (int(fields[11]) + int(fields[12])) / ticks
    return total


def cpu_while_idle(procs, seconds=2.0):
    before = cpu_seconds(procs)
    time.sleep(seconds)
    return cpu_seconds(procs) - before


@pytest.mark.parametrize("end", ["stopped", "killed"])
def test_servers_sleep_again_once_a_loop_stops_flowing(pool, end):  # noqa: F811
    name, servers = pool(2, ECHO)
    caller = spawn_python(FLOWING_CALLER, name)
    try:
        wait_for_line(caller, "flowing", timeout=TIMEOUT)
        # Others' calls meet the areas the loop's calls used, and the other
        # way round, while the loop's bursts go on.
        assert [zelvane.call_function(name, (("sync", i),)) for i in range(300)] == \
            [("sync", i) for i in range(300)]
        if end == "killed":
            caller.send_signal(signal.SIGKILL)
        else:
            caller.stdin.write("stop\n")
            caller.stdin.flush()
        out = finish(caller)
        assert end == "killed" or out.splitlines()[-1].startswith("rounds "), out
        # Two servers that watched for ever would use two CPU seconds here.
        assert cpu_while_idle(servers) < 0.4
        # The pool still answers, once the dead caller's areas are repaired.
        assert zelvane.call_function(name, ("after",)) == "after"
        assert cpu_while_idle(servers) < 0.4
    finally:
        if caller.poll() is None:
            caller.kill()
            caller.communicate(timeout=TIMEOUT)
