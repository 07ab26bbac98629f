"""csv_sink through the host, one row per call, 3 columns, side by side in one run:

- against Python's csv module opening the file, appending one row and closing it per call;
- against csv_sink as commit BASE built it: BASE's _kestrel_kernels and host, built from
  `git archive` of the commit with the preset `default` and this interpreter, timed in a child
  process (one interpreter holds one _kestrel_kernels) in turns with the timings here;
- against the same row in a dict subclass, which csv_sink renders through str() column by
  column: the gain of its direct rendering of plain rows.
"""
import csv
import os
import subprocess
import sys
import tempfile

import benchlib
import kestrel
import _kestrel_kernels  # noqa: F401

ROW = {"mean": 0.125, "se": 0.0625, "n": 4096}
BASE = "fdc591e"

# Times csv_sink of the build on sys.path (benchlib's) for each min_total read from stdin.
TIMER = """
import os, sys, tempfile
sys.path.insert(0, {bench!r})
import benchlib, kestrel, _kestrel_kernels
print(_kestrel_kernels.__file__, flush=True)
with tempfile.TemporaryDirectory() as work:
    path = os.path.join(work, "base.csv")
    def op():
        kestrel.call("csv_sink", {{"csvPath": path, "stats": {row!r}}})
    for min_total in sys.stdin:
        print(benchlib.best_time(op, min_total=float(min_total)), flush=True)
"""


class DictSubclass(dict):
    pass


def main():
    build = benchlib.base_build(BASE, "_kestrel_kernels", "kestrel")
    base = subprocess.Popen(
        [sys.executable, "-c", TIMER.format(bench=os.path.dirname(os.path.abspath(__file__)), row=ROW)],
        env=dict(os.environ, TARNWELL_BUILD_DIR=build), stdin=subprocess.PIPE,
        stdout=subprocess.PIPE, text=True)
    module = base.stdout.readline().strip()
    assert module.startswith(build + os.sep), f"the child timed {module}, not the build of {BASE}"
    with tempfile.TemporaryDirectory() as work:
        ours, subclassed, theirs = (os.path.join(work, name) for name in ("op.csv", "sub.csv", "csv.csv"))
        row_subclass = DictSubclass(ROW)

        def op():
            kestrel.call("csv_sink", {"csvPath": ours, "stats": ROW})

        def op_subclass():
            kestrel.call("csv_sink", {"csvPath": subclassed, "stats": row_subclass})

        def python_csv():
            with open(theirs, "a", newline="", encoding="utf-8") as f:
                csv.writer(f, lineterminator="\n").writerow(ROW.values())

        def base_op(min_total):
            base.stdin.write(f"{min_total}\n")
            base.stdin.flush()
            return float(base.stdout.readline())

        timings = [lambda m, fn=fn: benchlib.best_time(fn, min_total=m)
                   for fn in (op, python_csv, op_subclass)] + [base_op]
        best = [float("inf")] * len(timings)
        rounds, min_total = 5, 2.0
        for _ in range(rounds):
            for i, timing in enumerate(timings):
                best[i] = min(best[i], timing(min_total / rounds))
    base.stdin.close()
    base.wait()
    t_op, t_csv, t_subclass, t_base = best
    workload = "one row per call, 3 columns"
    return [benchlib.row("csv_sink", workload, t_op, "csv module, open/append/close", t_csv, ">= 1.8x"),
            benchlib.row("csv_sink", workload, t_op, f"csv_sink at {BASE}, in turns", t_base),
            benchlib.row("csv_sink", workload, t_op, "the row as a dict subclass (through str())",
                         t_subclass)]


if __name__ == "__main__":
    benchlib.main(main)
