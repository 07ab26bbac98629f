"""Helpers for the Python benchmarks: build folders on sys.path, timing, one result table.

Every script's main() returns rows; run alone it prints them as a table, with --json as JSON
for bench/run, which gathers every comparison into one table.
"""
import json
import math
import os
import subprocess
import sys
import time

BUILD = os.environ.get("TARNWELL_BUILD_DIR") or os.path.join(os.path.dirname(__file__), "..", "build")
for sub in ("python", "host", "bench"):
    sys.path.insert(0, os.path.join(os.path.abspath(BUILD), sub))


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(*command, **kwargs):
    """Runs `command`, its output shown on stderr only when it fails."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    if done.returncode != 0:
        sys.stderr.buffer.write(done.stdout)
        raise SystemExit(f"bench: failed: {' '.join(command)}")
    return done.stdout


def base_build(base, *targets):
    """The build folder of `targets` as commit `base` built them, for comparisons with an
    earlier version: its sources extracted once (`git archive`) into a folder of the build
    tree named by the commit, configured with the preset `default` and this interpreter, and
    brought up to date on every run."""
    commit = run("git", "-C", ROOT, "rev-parse", "--verify", base + "^{commit}").decode().strip()
    folder = os.path.join(os.path.abspath(BUILD), "base-" + commit)
    source, build = os.path.join(folder, "source"), os.path.join(folder, "build")
    if not os.path.isdir(source):
        os.makedirs(source + ".part", exist_ok=True)
        run("tar", "-x", "-C", source + ".part", input=run("git", "-C", ROOT, "archive", commit))
        os.rename(source + ".part", source)
    print(f"bench: building {' '.join(targets)} of {base} in {build}", file=sys.stderr)
    run("cmake", "-S", source, "--preset", "default", "-B", build,
        f"-DPython_EXECUTABLE={sys.executable}", f"-DTARNWELL_DEPS_DIR={ROOT}/deps")
    run("cmake", "--build", build, "-j", str(os.cpu_count()), "--target", *targets)
    return build


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


def best_times(fns, rounds=3, min_total=0.3):
    """best_time of each of `fns`, taken in turns over `rounds` rounds (the best of each kept),
    so that a change in the machine's load meets every side of a comparison."""
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], best_time(fn, min_total=min_total / rounds))
    return best


def standard_error(xs, mean):
    """The plain-Python baselines' standard error of the mean: a loop over the samples."""
    q = 0.0
    for x in xs:
        d = x - mean
        q += d * d
    return math.sqrt(q / len(xs) / len(xs))


def row(op, workload, project, baseline, baseline_time, target=""):
    """One comparison; the ratio is baseline time / project time (above 1: project faster)."""
    return {"op": op, "workload": workload, "project": project, "baseline": baseline,
            "baseline_time": baseline_time, "target": target}


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-12:.3g} ps"


def fmt_ratio(project, baseline):
    return f"{baseline / project:.2f}x" if baseline >= project else f"1/{project / baseline:.2f}x"


def print_table(rows, out=sys.stdout):
    header = ("op", "workload", "project", "baseline", "baseline time", "ratio", "target")
    lines = [header] + [
        (r["op"], r["workload"], fmt_time(r["project"]), r["baseline"], fmt_time(r["baseline_time"]),
         fmt_ratio(r["project"], r["baseline_time"]), r["target"]) for r in rows]
    widths = [max(len(str(line[i])) for line in lines) for i in range(len(header))]
    out.write("| " + " | ".join(h.ljust(widths[i]) for i, h in enumerate(header)) + " |\n")
    out.write("|" + "|".join("-" * (w + 2) for w in widths) + "|\n")
    for line in lines[1:]:
        out.write("| " + " | ".join(str(c).ljust(widths[i]) for i, c in enumerate(line)) + " |\n")


def main(collect):
    rows = collect()
    if "--json" in sys.argv:
        json.dump(rows, sys.stdout)
    else:
        print_table(rows)
