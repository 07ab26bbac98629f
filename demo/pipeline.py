"""Demo pipeline: the mean and standard error of a generated signal, appended to a CSV file."""
import argparse
import math
import os
import random

import kestrel
import _kestrel_kernels  # noqa: F401  (importing registers the ops with the host)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--work", default="work", help="folder for the output files")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    csv_path = os.path.join(args.work, "demo.csv")
    if os.path.exists(csv_path):
        os.remove(csv_path)

    rng = random.Random(args.seed)
    signal = [math.sin(i / 50.0) + rng.gauss(0.0, 0.3) for i in range(10_000)]
    for method in ("arithmetic", "harmonic", "geometric"):
        samples = [abs(x) + 0.1 for x in signal] if method != "arithmetic" else signal
        payload = {"data": samples, "averageMethod": method, "csvPath": csv_path}
        kestrel.run(["average", "csv_sink"], payload)
        print(f"{method:>10}: mean {payload['mean']:.6f}  se {payload['se']:.6f}  ({payload['status']})")

    print(f"\n{csv_path}:")
    with open(csv_path, encoding="utf-8") as f:
        print(f.read(), end="")


if __name__ == "__main__":
    main()
