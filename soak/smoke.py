"""Short runs of the soaks, for CI: a crash soak of a dozen rounds, a
concurrency soak of a few seconds in both modes, a leak soak of 160,000
cycles (through zelvane_bench when it is built, else through a slot) and a
temporary-object soak of 60 rounds and a
queue soak of a few dozen rounds of killed producers and consumers.
About a minute on a 2-core machine. Exits 1 when any of them reports a hang,
a torn read, a misdelivery, a crash or a leak, or does not finish in time.

    PYTHONPATH=build/py311 python3 soak/smoke.py     # in CI: python3 soak/smoke.py
"""
import os
import subprocess
import sys
import time

from _common import remove_names

HERE = os.path.dirname(os.path.abspath(__file__))
# Generous: the machine may be slow and shared; a soak that needs this long hangs.
TIMEOUT = 300

RUNS = [
    ("crash_soak.py", ["--rounds", "12", "--writers", "2", "--readers", "2", "--callers", "2",
                       "--max-size", "1048576", "--hang-timeout", "120"]),
    ("concurrency_soak.py", ["--callers", "3", "--calls", "300", "--writers", "2", "--readers", "2",
                             "--duration", "4", "--max-size", "65536", "--timeout", "240"]),
    ("concurrency_soak.py", ["--servers", "2", "--callers", "3", "--calls", "200", "--writers", "1",
                             "--readers", "1", "--duration", "2", "--max-size", "65536", "--modes", "2,6",
                             "--timeout", "240"]),
    ("leak_soak.py", ["--cycles", "160000", "--hostile", "20000", "--names", "2000"]),
    ("temporary_soak.py", ["--rounds", "60"]),
    ("queue_soak.py", ["--rounds", "30", "--reliable", "--hang-timeout", "120"]),
    ("queue_soak.py", ["--rounds", "20", "--mixed", "--hang-timeout", "120"]),
]


def run(script, args):
    command = [sys.executable, os.path.join(HERE, script), *args]
    print("$", " ".join(command[1:]), flush=True)
    start = time.monotonic()
    proc = subprocess.Popen(command)
    try:
        code = proc.wait(TIMEOUT)
    except subprocess.TimeoutExpired:
        print(f"{script} did not finish within {TIMEOUT} s", flush=True)
        stop(proc)
        return False
    finally:
        # A soak removes its names itself; this covers one that was killed.
        remove_names(f"zsoak_{proc.pid}_")
    print(f"{script}: exit status {code} after {time.monotonic() - start:.0f} s\n", flush=True)
    return code == 0


def stop(proc):
    """SIGTERM lets the soak clean up; SIGKILL if it does not."""
    proc.terminate()
    try:
        proc.wait(30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def main():
    failed = [script for script, args in RUNS if not run(script, args)]
    print("soak smoke:", f"FAILED ({', '.join(failed)})" if failed else "passed", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
