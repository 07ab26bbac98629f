"""Helpers for the Python benchmarks: build folders on sys.path, timing, a ratio table."""
import os
import sys
import time

BUILD = os.environ.get("TARNWELL_BUILD_DIR") or os.path.join(os.path.dirname(__file__), "..", "build")
for sub in ("python", "host", "probe"):
    sys.path.insert(0, os.path.join(os.path.abspath(BUILD), sub))


def best_time(fn, min_total=0.3, repeats=5):
    """Best seconds per call of `fn()` over `repeats` rounds of at least `min_total`/`repeats`."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= min_total / repeats:
            break
        number *= 2 if elapsed == 0 else max(2, int(min_total / repeats / elapsed) + 1)
    best = elapsed / number
    for _ in range(repeats - 1):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def print_table(title, rows):
    """rows: (workload, project seconds, baseline name, baseline seconds, target text)."""
    print(title)
    header = ("workload", "project", "baseline", "baseline time", "ratio", "target")
    lines = [header] + [
        (w, fmt_time(p), b, fmt_time(bt), f"{bt / p:.2f}x" if bt >= p else f"1/{p / bt:.2f}x", t)
        for w, p, b, bt, t in rows
    ]
    widths = [max(len(str(line[i])) for line in lines) for i in range(len(header))]
    for line in lines:
        print("  " + "  ".join(str(c).ljust(widths[i]) for i, c in enumerate(line)))
