"""The average op through the host against plain-Python equivalents, in one process.

Ratios are baseline time / op time (above 1: the op is faster). The floor is the bare cost of
reading the list's floats into a std::vector<double> (_tarnwell_bench.copy_floats). For 1e3 and
1e6 samples the same values in an array('d') are timed beside the list.
"""
import array
import math
import random
import statistics

import benchlib
import kestrel
import _kestrel_kernels  # noqa: F401
import _tarnwell_bench


def plain_python(xs):
    mean = sum(xs) / len(xs)
    return mean, benchlib.standard_error(xs, mean)


def with_fmean(xs):
    mean = statistics.fmean(xs)
    return mean, benchlib.standard_error(xs, mean)


def main():
    rng = random.Random(1)
    # Every list is built before any timing, so none reuses the freed floats of another.
    lists = {n: [rng.gauss(10.0, 2.0) for _ in range(n)] for n in (1_000, 100_000, 1_000_000)}
    arrays = {n: array.array("d", lists[n]) for n in (1_000, 1_000_000)}
    rows = []
    for n, xs in lists.items():
        payload = {"window": xs}
        array_payload = {"window": arrays.get(n)}
        sides = [lambda: kestrel.call("average", payload), lambda: plain_python(xs),
                 lambda: with_fmean(xs), lambda: _tarnwell_bench.copy_floats(xs)]
        if n in arrays:
            sides.append(lambda: kestrel.call("average", array_payload))
        op, plain, fmean, floor, *op_array = benchlib.best_times(sides, min_total=0.9)
        assert math.isclose(payload["mean"], plain_python(xs)[0], rel_tol=1e-12)
        big = n == 1_000_000
        work = f"{n} floats, arithmetic"
        target = {1_000: ">= 25x", 1_000_000: ">= 22x"}.get(n, "")
        rows += [
            benchlib.row("average", work, op, "plain Python", plain, target),
            benchlib.row("average", work, op, "statistics.fmean", fmean),
            benchlib.row("average", work, op, "floats into a vector (floor)", floor,
                         ">= 1/2x" if big else ""),
        ]
        if n in arrays:
            assert array_payload["stats"] == payload["stats"]
            rows.append(benchlib.row("average", f"{n} floats in array('d'), arithmetic", op_array[0],
                                     "the same floats as a list", op, ">= 0.9x" if big else ">= 1x"))
    return rows


if __name__ == "__main__":
    benchlib.main(main)
