"""Peak memory and time of decoding against input size. For every input:
the peak of the interpreter's traced allocations during the decoding, less
what the decoded value still holds afterwards, divided by the input size
(the decoder's overhead in bytes per input byte); and the decoding time per
input byte at two sizes, whose ratio is 1 when time is linear in the size.

    PYTHONPATH=build/py311:fuzz python3 fuzz/memory.py bombs [--size BYTES]
    PYTHONPATH=build/py311:fuzz python3 fuzz/memory.py corpus [--size BYTES]

"bombs" runs the structured bombs of decode_bombs.py (every kind, both
protocols, depths 1 to 900, count shares 1 to 1/20, both endings); "corpus"
runs every seed of fuzz/corpus as it is and scaled up: a list of as many
copies of its item as fill the size. Prints each input's figures and the
worst ratio."""
import gc
import os
import struct
import sys
import time
import tracemalloc

from decode_bombs import KINDS, bomb
from fuzz_common import DECODE_ERRORS, codec, with_marker

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
DEPTHS = (1, 10, 100, 300, 900)
SHARES = (1.0, 0.5, 0.05)
ENDINGS = ("filled", "invalid")
LIST_CODE = {0xFD: 31, 0xFE: 28}


def overhead(data):
    """(peak bytes beyond what the result keeps, outcome) of one decoding."""
    gc.collect()
    tracemalloc.start()
    try:
        try:
            value = codec.to_value(data)
            outcome = "ok"
        except DECODE_ERRORS as e:
            value, outcome = None, type(e).__name__
        except MemoryError:
            value, outcome = None, "MemoryError"
        kept, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del value
    return peak - kept, outcome


def seconds(data):
    start = time.perf_counter()
    try:
        codec.to_value(data)
    except (*DECODE_ERRORS, MemoryError):
        pass
    return time.perf_counter() - start


def report(label, data, small):
    """Prints and returns the overhead ratio of `data`; `small` is the same
    input at a quarter of the size, for the time ratio."""
    extra, outcome = overhead(data)
    ratio = extra / len(data)
    per_byte = seconds(data) / len(data)
    growth = per_byte / max(seconds(small) / len(small), 1e-12) if small else float("nan")
    print(f"{label:52} {len(data):>9} {outcome:>12} {ratio:7.2f} B/B {per_byte * 1e9:8.1f} ns/B"
          f"  time ratio {growth:5.2f}")
    return ratio


def bombs(size):
    worst = (-1.0, "")
    for protocol, kinds in KINDS.items():
        for kind in kinds:
            for depth in DEPTHS:
                for share in SHARES:
                    for ending in ENDINGS:
                        label = f"p{protocol} {kind} depth {depth} share {share} {ending}"
                        data = bomb(kind, depth, size, protocol, ending, share)
                        small = bomb(kind, depth, size // 4, protocol, ending, share)
                        worst = max(worst, (report(label, data, small), label))
    return worst


def scaled(payload, size):
    """A list of copies of the payload's item, about `size` bytes, or None."""
    item = payload[1:]
    if not item:
        return None
    copies = max(1, size // len(item))
    return bytes([payload[0], LIST_CODE[payload[0]], 8]) + struct.pack("<Q", copies) + item * copies


def corpus(size):
    worst = (-1.0, "")
    for harness in sorted(os.listdir(CORPUS)):
        folder = os.path.join(CORPUS, harness)
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), "rb") as f:
                raw = f.read()
            payload = with_marker(raw) if harness != "serve" else raw
            if not payload or payload[0] not in LIST_CODE:
                continue
            big = scaled(payload, size)
            if big is None:
                continue
            label = f"{harness}/{name} x{(len(big) - 11) // max(1, len(payload) - 1)}"
            worst = max(worst, (report(label, big, scaled(payload, size // 4)), label))
    return worst


def main(argv):
    size = 1 << 20
    if "--size" in argv:
        size = int(argv[argv.index("--size") + 1])
    mode = argv[1] if len(argv) > 1 else "bombs"
    ratio, label = bombs(size) if mode == "bombs" else corpus(size)
    print(f"worst overhead: {ratio:.2f} bytes per input byte ({label})")


if __name__ == "__main__":
    main(sys.argv)
