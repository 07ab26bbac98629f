"""The streaming chain fifo_window_buffer -> average through the host, per payload, against
a plain-Python equivalent (a deque window, its list, mean and standard error), in one process.

The op alone is compared with the floor of its unavoidable work: a new list of `window` new
floats (_tarnwell_bench.new_float_list). For the larger window the chain is also fed the same
chunks as array('d') values, timed in turns with the list chunks.
"""
import array
import collections
import itertools
import random

import benchlib
import kestrel
import _kestrel_kernels  # noqa: F401
import _tarnwell_bench


def plain_chain(window, chunks):
    dq = collections.deque(maxlen=window)
    for chunk in chunks:
        dq.extend(chunk)
        xs = list(dq)
        mean = sum(xs) / len(xs)
        yield mean, benchlib.standard_error(xs, mean)


def per_payload(fn, count):
    return benchlib.best_time(fn, min_total=0.5) / count


def main():
    rng = random.Random(3)
    rows = []
    for window, chunk in ((4096, 64), (256, 16)):
        count = 2000
        chunks = [[rng.gauss(0.0, 1.0) for _ in range(chunk)] for _ in range(count)]
        ids = itertools.count()

        def chain(chunks=chunks):
            fifo = f"bench-{next(ids)}"
            for c in chunks:
                kestrel.run(["fifo_window_buffer", "average"],
                            {"sampleChunk": c, "windowSize": window, "fifoId": fifo})

        def op_alone():
            fifo = f"bench-{next(ids)}"
            for c in chunks:
                kestrel.call("fifo_window_buffer",
                             {"sampleChunk": c, "windowSize": window, "fifoId": fifo})

        def plain():
            for _ in plain_chain(window, chunks):
                pass

        def floor():
            for _ in range(count):
                _tarnwell_bench.new_float_list(window)

        name = f"per payload, window {window}, chunks of {chunk}"
        big = window == 4096
        if big:
            arrays = [array.array("d", c) for c in chunks]
            t_chain, t_arrays = (t / count for t in benchlib.best_times(
                [chain, lambda: chain(arrays)], min_total=1.0))
        else:
            t_chain = per_payload(chain, count)
        t_plain = per_payload(plain, count)
        t_op = per_payload(op_alone, count)
        t_floor = per_payload(floor, count)
        rows += [
            benchlib.row("fifo_window_buffer+average", name, t_chain, "plain Python deque",
                         t_plain, ">= 10x" if big else ">= 5x"),
            benchlib.row("fifo_window_buffer", name, t_op, "new float list (floor)", t_floor,
                         ">= 1/1.5x"),
        ]
        if big:
            rows.append(benchlib.row("fifo_window_buffer+average", name + ", array('d') chunks",
                                     t_arrays, "the same chunks as lists", t_chain, ">= 1x"))
    return rows


if __name__ == "__main__":
    benchlib.main(main)
