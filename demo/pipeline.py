"""Demo pipeline: a noisy signal streamed in chunks through fifo_window_buffer -> average ->
csv_sink, giving a sliding-window mean and standard error per chunk in a CSV file."""
import argparse
import math
import os
import random
import sys
import time

import kestrel
import _kestrel_kernels  # noqa: F401  (importing registers the ops with the host)

SIGNAL_OPS = ["fifo_window_buffer", "average", "csv_sink"]


def noisy_signal(rng, chunks, chunk_size):
    """Chunks of a slow sine wave with Gaussian noise."""
    t = 0
    for _ in range(chunks):
        chunk = []
        for _ in range(chunk_size):
            chunk.append(math.sin(t / 400.0) + rng.gauss(0.0, 0.25))
            t += 1
        yield chunk


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--work", default="work", help="folder for the output files")
    parser.add_argument("--chunks", type=int, default=3000)
    parser.add_argument("--chunk-size", type=int, default=32)
    parser.add_argument("--window", type=int, default=1024)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    os.makedirs(args.work, exist_ok=True)
    csv_path = os.path.join(args.work, "signal_stats.csv")
    if os.path.exists(csv_path):
        os.remove(csv_path)

    rng = random.Random(args.seed)
    fifo = f"demo-{os.getpid()}"
    start = time.perf_counter()
    payload = {}
    for i, chunk in enumerate(noisy_signal(rng, args.chunks, args.chunk_size), 1):
        payload = {"sampleChunk": chunk, "windowSize": args.window, "fifoId": fifo,
                   "csvPath": csv_path}
        kestrel.run(SIGNAL_OPS, payload)
        if i % 500 == 0 or i == args.chunks:
            print(f"\rchunk {i}/{args.chunks}: window {len(payload['window'])}, "
                  f"mean {payload['mean']:+.4f}", end="", file=sys.stderr, flush=True)
    elapsed = time.perf_counter() - start
    print(file=sys.stderr)

    with open(csv_path, encoding="utf-8") as f:
        rows = sum(1 for _ in f) - 1
    print(f"rows written: {rows} in {elapsed:.2f} s ({elapsed / args.chunks * 1e6:.0f} us per chunk)")
    print(f"file: {os.path.abspath(csv_path)}")
    print(f"last window: {len(payload['window'])} samples, mean {payload['mean']:.6f}, "
          f"standard error {payload['se']:.6f}")


if __name__ == "__main__":
    main()
