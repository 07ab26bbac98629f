"""csv_sink through the host, one row per call, against Python's csv module opening the
file, appending one row and closing it per call, in one process."""
import csv
import os
import tempfile

import benchlib
import kestrel
import _kestrel_kernels  # noqa: F401


def main():
    stats = {"mean": 2.0000000000000004, "se": 0.5123, "standardError": 0.5123}
    with tempfile.TemporaryDirectory() as work:
        ours = os.path.join(work, "op.csv")
        theirs = os.path.join(work, "csv.csv")

        def op():
            kestrel.call("csv_sink", {"csvPath": ours, "stats": stats})

        def python_csv():
            with open(theirs, "a", newline="", encoding="utf-8") as f:
                csv.writer(f, lineterminator="\n").writerow(stats.values())

        t_op, t_csv = benchlib.best_times([op, python_csv], min_total=1.2)
    return [benchlib.row("csv_sink", "one row per call, 3 columns", t_op,
                         "csv module, open/append/close", t_csv, ">= 1.7x")]


if __name__ == "__main__":
    benchlib.main(main)
