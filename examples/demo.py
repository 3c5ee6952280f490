"""Two processes share a value through a zelvane slot, then one serves a
function that the other calls, and finally a pool of two servers answers
calls, sending a bad call's exception back."""
import multiprocessing as mp

import zelvane

SLOT = "zelvane_demo_prices"
FUNCTION = "zelvane_demo_total"
SERVICE = "zelvane_demo_service"


def child():
    prices = zelvane.read_memory(SLOT)
    print(f"child  read   {prices!r}")
    zelvane.write_memory(SLOT, [p * 2 for p in prices])


def total(prices, tax):
    return round(sum(prices) * (1 + tax), 2)


def server():
    # Blocks, serving calls, until another process calls remove_function.
    zelvane.create_function(FUNCTION, total)


def pool_server():
    # One server of the pool: blocks, and returns None once the pool is removed.
    zelvane.serve(SERVICE, total)


def pool_demo(ctx, prices):
    servers = [ctx.Process(target=pool_server) for _ in range(2)]
    for s in servers:
        s.start()
    # Until both servers serve: remove_function stops the servers serving at
    # that moment, and one that started serving later would serve anew.
    with zelvane.open_function(SERVICE, wait=30, servers=2) as service:
        print(f"pool answers  total({prices!r}, tax=0.1) -> {service(prices, tax=0.1)!r}")
        try:
            service(prices, "no tax")
        except TypeError as exc:
            print(f"pool raised   TypeError: {exc} (caused by the server's traceback)")
    zelvane.remove_function(SERVICE)  # every server returns
    for s in servers:
        s.join(30)


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
    zelvane.open_function(FUNCTION, wait=30).close()  # until the server serves
    print(f"parent calls  total({prices!r}, 0.2) -> {zelvane.call_function(FUNCTION, (prices, 0.2))!r}")
    zelvane.remove_function(FUNCTION)  # the server prints "read" and returns
    s.join(30)

    pool_demo(ctx, prices)


if __name__ == "__main__":
    main()
