"""Demo pipeline: results of a few processing steps appended to a CSV file by csv_sink."""
import argparse
import os

import kestrel
import _kestrel_kernels  # noqa: F401  (importing registers the ops with the host)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--work", default="work", help="folder for the output files")
    args = parser.parse_args()

    csv_path = os.path.join(args.work, "demo.csv")
    if os.path.exists(csv_path):
        os.remove(csv_path)

    for step, (mean, se) in enumerate([(1.5, 0.25), (2.0, 0.5), (2.75, 0.125)]):
        payload = {"csvPath": csv_path, "stats": {"step": step, "mean": mean, "se": se}}
        kestrel.run(["csv_sink"], payload)
        print(f"step {step}: {payload['status']}")

    print(f"\n{csv_path}:")
    with open(csv_path, encoding="utf-8") as f:
        print(f.read(), end="")


if __name__ == "__main__":
    main()
