"""Two processes share a value through a zelvane slot."""
import multiprocessing as mp

import zelvane

SLOT = "zelvane_demo_prices"


def child():
    prices = zelvane.read_memory(SLOT)
    print(f"child  read   {prices!r}")
    zelvane.write_memory(SLOT, [p * 2 for p in prices])


def main():
    zelvane.remove_memory(SLOT)
    zelvane.write_memory(SLOT, [1.5, 2.25, 4.0])
    print(f"parent wrote  {zelvane.read_memory(SLOT)!r}")
    p = mp.get_context("spawn").Process(target=child)
    p.start()
    p.join(30)
    print(f"parent reads  {zelvane.read_memory(SLOT)!r}")
    zelvane.remove_memory(SLOT)


if __name__ == "__main__":
    main()
