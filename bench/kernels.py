"""The kernels' Google Benchmark figures as comparison rows: vector_sum against the latency of
a chain of dependent adds (its floor), and each mean with its standard error against
vector_sum, per sample."""
import json
import os
import subprocess

import benchlib


def main():
    exe = os.path.join(os.path.abspath(benchlib.BUILD), "bench", "kernels_benchmark")
    out = subprocess.run([exe, "--benchmark_format=json", "--benchmark_min_time=0.2"],
                         check=True, capture_output=True, text=True).stdout
    per_sample = {b["name"]: b["per_sample"] for b in json.loads(out)["benchmarks"]}
    rows = []
    for n in (1000, 100000, 1000000):
        rows.append(benchlib.row("vector_sum", f"{n} samples, per sample", per_sample[f"BM_VectorSum/{n}"],
                                 "dependent-add latency (floor)", per_sample[f"BM_AddLatencyFloor/{n}"],
                                 "~1x"))
    for method in ("arithmetic", "weighted", "harmonic", "geometric"):
        n = 1000000
        rows.append(benchlib.row(f"average {method}", f"{n} samples, per sample",
                                 per_sample[f"BM_Average/{method}/{n}"], "vector_sum (one pass)",
                                 per_sample[f"BM_VectorSum/{n}"]))
    return rows


if __name__ == "__main__":
    benchlib.main(main)
