"""Two processes share a value through a zelvane slot, then one serves a
function that the other calls."""
import multiprocessing as mp
import os
import time

import zelvane

SLOT = "zelvane_demo_prices"
FUNCTION = "zelvane_demo_total"


def child():
    prices = zelvane.read_memory(SLOT)
    print(f"child  read   {prices!r}")
    zelvane.write_memory(SLOT, [p * 2 for p in prices])


def total(prices, tax):
    return round(sum(prices) * (1 + tax), 2)


def server():
    # Blocks, serving calls, until another process calls remove_function.
    zelvane.create_function(FUNCTION, total)


def main():
    zelvane.remove_memory(SLOT)
    zelvane.write_memory(SLOT, [1.5, 2.25, 4.0])
    print(f"parent wrote  {zelvane.read_memory(SLOT)!r}")
    ctx = mp.get_context("spawn")
    p = ctx.Process(target=child)
    p.start()
    p.join(30)
    prices = zelvane.read_memory(SLOT)
    print(f"parent reads  {prices!r}")
    zelvane.remove_memory(SLOT)

    zelvane.remove_memory(FUNCTION)  # a record left by a demo that was killed
    s = ctx.Process(target=server)
    s.start()
    deadline = time.monotonic() + 30
    while not os.path.exists(f"/dev/shm/{FUNCTION}") and time.monotonic() < deadline:
        time.sleep(0.01)
    print(f"parent calls  total({prices!r}, 0.2) -> {zelvane.call_function(FUNCTION, (prices, 0.2))!r}")
    zelvane.remove_function(FUNCTION)  # the server prints "read" and returns
    s.join(30)


if __name__ == "__main__":
    main()
