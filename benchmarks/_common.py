"""What the benchmarks share: a value slot, a pickled (or otherwise
encoded) value in a SharedMemory block opened afresh on every access, as a
slot is, the ratios that benchmarks/run.sh gathers into one table, and their
plots.

Every benchmark script takes `--plot DIR` (needs matplotlib, from the bench
extra): this module takes the option off the command line before the script
reads its own, and when the script ends it draws the ratios the script noted,
one PNG per benchmark family (the first argument of record_ratio) in DIR."""
import atexit
import os
import pickle
import re
import struct
import sys
from multiprocessing import shared_memory

import zelvane

LENGTH = struct.Struct("<Q")
PLOT_OPTION = "--plot"
_noted = []             # (bench, row, peer, ratio, target) of this process

if sys.version_info < (3, 13):
    # Attaching to a block registers it with the resource tracker (a message
    # to another process, and an unlink at exit); a slot access does no such
    # thing, so the comparison leaves it out. The benchmarks unlink their
    # blocks themselves.
    shared_memory.resource_tracker.register = lambda *args: None
    shared_memory.resource_tracker.unregister = lambda *args: None


def record_ratio(bench, row, peer, ratio, target=None, family=None):
    """Notes zelvane/peer for run.sh's summary (a line in the file named by
    ZELVANE_BENCH_RATIOS; nothing when run alone). `target` is the largest
    ratio that meets the goal, if there is one. `family` groups several
    benches (one per configuration, say) into one plot."""
    if family is None:
        _noted.append((bench, row, peer, ratio, target))
    else:
        _noted.append((family, f"{bench[len(family):].strip()}: {row}", peer, ratio, target))
    path = os.environ.get("ZELVANE_BENCH_RATIOS")
    if path:
        with open(path, "a") as f:
            f.write(f"{bench}\t{row}\t{peer}\t{ratio:.4g}\t{'' if target is None else target}\n")


def open_block(name):
    if sys.version_info >= (3, 13):
        return shared_memory.SharedMemory(name, track=False)
    return shared_memory.SharedMemory(name)


def pickled(value):
    return pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)


class Slot:
    def __init__(self, name):
        self.name = name

    def write(self, value):
        zelvane.write_memory(self.name, value)

    def read(self):
        return zelvane.read_memory(self.name)


class FreshBlock:
    """A value's bytes behind their length in a block opened and mapped on
    every access."""

    def __init__(self, name, dumps=pickled, loads=pickle.loads):
        self.name, self.dumps, self.loads = name, dumps, loads

    def write(self, value):
        data = self.dumps(value)
        block = open_block(self.name)
        try:
            LENGTH.pack_into(block.buf, 0, len(data))
            block.buf[8:8 + len(data)] = data
        finally:
            block.close()

    def read(self):
        block = open_block(self.name)
        try:
            (length,) = LENGTH.unpack_from(block.buf, 0)
            with block.buf[8:8 + length] as view:
                return self.loads(view)
        finally:
            block.close()


def print_summary(path):
    """The table of every ratio record_ratio noted in `path`."""
    with open(path) as f:
        rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    widths = [max([len(heading)] + [len(row[i]) for row in rows])
              for i, heading in enumerate(("benchmark", "row", "peer"))]
    print(f"{'benchmark':<{widths[0]}}  {'row':<{widths[1]}}  {'peer':<{widths[2]}}"
          "  zelvane/peer  target")
    for bench, row, peer, ratio, target in rows:
        verdict = ""
        if target:
            verdict = f"<= {target}  " + ("met" if float(ratio) <= float(target) else "MISSED")
        shown = f"{float(ratio):.2f}" if float(ratio) >= 0.1 else f"{float(ratio):.2g}"
        print(f"{bench:<{widths[0]}}  {row:<{widths[1]}}  {peer:<{widths[2]}}"
              f"  {shown:>12}  {verdict}")



def family_file(bench):
    """The PNG's name for a benchmark family: "functions free" -> functions-free.png."""
    return re.sub(r"[^a-z0-9]+", "-", bench.lower()).strip("-") + ".png"


MANY_ROWS = 30          # past this, a family is drawn as the spread of its ratios per peer


def plot_ratios(noted, folder):
    """One chart per family of `noted` ratios, in `folder`; returns the paths
    written. A peer that was not measured has nothing drawn."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    os.makedirs(folder, exist_ok=True)
    families = {}
    for bench, row, peer, ratio, target in noted:
        families.setdefault(bench, []).append((row, peer, float(ratio), None if target in (None, "") else float(target)))
    written = []
    for bench, ratios in families.items():
        rows = list(dict.fromkeys(row for row, _, _, _ in ratios))
        peers = list(dict.fromkeys(peer for _, peer, _, _ in ratios))
        draw = _draw_spread if len(rows) > MANY_ROWS else _draw_bars
        fig = draw(plt, ratios, rows, peers)
        fig.axes[0].axvline(1.0, color="grey", linewidth=0.8)
        fig.axes[0].set_xscale("log")
        fig.axes[0].set_title(bench, fontsize=10)
        fig.axes[0].set_xlabel("zelvane / peer (below 1: zelvane does better)", fontsize=8)
        fig.tight_layout()
        path = os.path.join(folder, family_file(bench))
        fig.savefig(path)
        plt.close(fig)
        written.append(path)
    return written


def _draw_bars(plt, ratios, rows, peers):
    """A bar per row and peer, the rows down the side, the peers in colours;
    a black tick marks a target."""
    height = 0.8 / len(peers)
    fig, ax = plt.subplots(figsize=(8, 1.2 + 0.22 * len(ratios) + 0.1 * len(rows)), dpi=72)
    for number, peer in enumerate(peers):
        mine = [(rows.index(row), ratio, target) for row, who, ratio, target in ratios if who == peer]
        places = [index + number * height for index, _, _ in mine]
        ax.barh(places, [ratio for _, ratio, _ in mine], height=height, label=peer)
        for place, (_, _, target) in zip(places, mine):
            if target is not None:
                ax.plot([target], [place], marker="|", markersize=10, color="black")
    ax.set_yticks([index + 0.4 - height / 2 for index in range(len(rows))], rows, fontsize=8)
    ax.invert_yaxis()
    ax.legend(fontsize=7, loc="best")
    return fig


def _draw_spread(plt, ratios, rows, peers):
    """Each peer's ratios over every row as dots, with their median."""
    import statistics
    fig, ax = plt.subplots(figsize=(8, 1.4 + 0.45 * len(peers)), dpi=72)
    for number, peer in enumerate(peers):
        mine = [ratio for _, who, ratio, _ in ratios if who == peer]
        ax.scatter(mine, [number] * len(mine), s=10, alpha=0.5)
        ax.plot([statistics.median(mine)], [number], marker="|", markersize=16, color="black")
    ax.set_yticks(range(len(peers)), [f"vs {peer}" for peer in peers], fontsize=8)
    ax.invert_yaxis()
    ax.text(0.99, 0.01, f"{len(rows)} rows; |: median", transform=ax.transAxes, ha="right", va="bottom",
            fontsize=7)
    return fig


def _take_plot_option(argv):
    """The folder named after --plot, taken off `argv`; None without the option."""
    if PLOT_OPTION not in argv:
        return None
    index = argv.index(PLOT_OPTION)
    if index + 1 >= len(argv):
        sys.exit(f"{PLOT_OPTION} needs a folder")
    folder = argv[index + 1]
    del argv[index:index + 2]
    return folder


def _plot_at_exit(folder):
    for path in plot_ratios(_noted, folder):
        print(f"plot: {path}")


_plot_folder = _take_plot_option(sys.argv) if __name__ != "__main__" else None
if _plot_folder is not None:
    atexit.register(_plot_at_exit, _plot_folder)
