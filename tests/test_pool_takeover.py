"""A server that finds a pool nobody serves any more takes its name over,
also when the name goes meanwhile (its last server removed it as it left):
it serves anew instead of failing as if the name held something else."""
import os
import shutil
import subprocess
import sys

import pytest
import zelvane

from conftest import TIMEOUT, finish, wait_until
from shm_util import pool_servers
from test_services import POOL_SERVER

pytestmark = pytest.mark.timeout(120)

ECHO = """
def func(x):
    return x
"""

# Removes the path ZT_GONE_PATH names just before this process first opens
# it with open(): the moment another process removes the name.
NAME_GOES = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int gone;

static int opened(const char* symbol, const char* path, int flags, va_list args) {
    int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, symbol);
    const char* target = getenv("ZT_GONE_PATH");
    if (!gone && target && strcmp(path, target) == 0) {
        gone = 1;
        unlink(path);
    }
    int mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, int) : 0;
    return real(path, flags, mode);
}

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int fd = opened("open", path, flags, args);
    va_end(args);
    return fd;
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int fd = opened("open64", path, flags, args);
    va_end(args);
    return fd;
}
"""


def build_name_goes(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the interposed open()")
    source, library = tmp_path / "name_goes.c", tmp_path / "name_goes.so"
    source.write_text(NAME_GOES)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source), "-ldl"], check=True,
                   timeout=TIMEOUT)
    return library


def test_a_server_taking_a_dead_pool_over_as_its_name_goes_serves_anew(tmp_path, shm_name):
    library = build_name_goes(tmp_path)
    name = shm_name("takeover")
    code = POOL_SERVER.format(name=name, setup=ECHO)
    # A pool whose only server was killed: its record stays, served by nobody.
    dead = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    server = None
    try:
        wait_until(lambda: pool_servers(name) >= 1, what="the first server to join")
        dead.kill()
        dead.communicate(timeout=TIMEOUT)
        # The sanitizer's runtime, when preloaded, must stay first.
        preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))
        env = dict(os.environ, LD_PRELOAD=preload, ZT_GONE_PATH=f"/dev/shm/{name}")
        server = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True, env=env)
        wait_until(lambda: server.poll() is not None or pool_servers(name) >= 1, what="the server to join or end")
        assert server.poll() is None, finish(server)
        with zelvane.open_function(name, wait=TIMEOUT) as echo:
            assert echo("after") == "after"
        assert zelvane.remove_function(name) is True
        assert finish(server).strip() == "returned None 1"
    finally:
        for proc in (dead, server):
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.communicate(timeout=TIMEOUT)
        zelvane.remove_function(name)
