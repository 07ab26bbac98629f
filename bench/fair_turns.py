"""An occasional caller beside a steady writer on one DuckDB file: a process checkpoints 10
values into the file call after call, while another makes a call now and then (a 10-value
checkpoint, or a small SQL step). Rows: the occasional call's median and worst time beside
the writer against the same call alone, and the writer's time per call beside it against the
writer alone, for this build and for the storage ops as commit BASE built them (see
benchlib.base_build), in the same run.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import benchlib

CALLS = 15  # occasional calls per run, two runs
BASE = "fdc591e"

WORKER = """
import json, random, sys, time
sys.path[:0] = {path!r}
import kestrel, _kestrel_sqlstore
db, role = {db!r}, {role!r}
values = [k * 0.5 for k in range(10)]
def checkpoint(i, run_id):
    kestrel.call("duckdb_checkpoint_cpp", {{"run_id": run_id, "duckdb_path": db,
                                           "sample_id": i, "values": values}})
def sql(i):
    kestrel.call("duckdb_sql_cpp", {{"duckdb_path": db, "data_table": "", "out_table": "summary",
        "sql": "CREATE OR REPLACE TABLE {{out_table}} AS SELECT count(*) AS n FROM range(1000)"}})
if role == "writer":
    print("ready", flush=True)
    start, i = time.perf_counter(), 0
    while time.perf_counter() - start < {seconds!r}:
        checkpoint(i, "steady")
        i += 1
    print(json.dumps((time.perf_counter() - start) / i))
else:
    print("ready", flush=True)
    sys.stdin.readline()
    rng, times = random.Random(7), []
    for i in range({calls}):
        time.sleep(rng.uniform(0.1, 0.3))
        start = time.perf_counter()
        checkpoint(i, "occasional") if role == "checkpoint" else sql(i)
        times.append(time.perf_counter() - start)
    print(json.dumps(times))
"""


def start(build, db, role, seconds=0.0):
    """A worker, started and ready: the writer writing, the caller waiting for a line."""
    path = [os.path.join(os.path.abspath(build), d) for d in ("python", "host")]
    code = WORKER.format(path=path, db=db, role=role, seconds=seconds, calls=CALLS)
    worker = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    assert worker.stdout.readline() == "ready\n"
    return worker


def result(worker):
    out = worker.communicate("go\n")[0]
    if worker.returncode != 0:
        raise RuntimeError("a worker failed")
    return json.loads(out.splitlines()[-1])


def measure(build, db, caller):
    """(times of the occasional calls alone, beside the writer; the writer's seconds per call
    alone, beside the occasional caller). The writer runs about as long as the occasional calls
    beside it take, alone and beside them in turns, twice, the best of each kept; every run
    starts on a new file, as a writer's calls grow dearer with its table."""
    seconds = CALLS * 0.22
    alone, beside, writer_alone, writer_beside = [], [], [], []
    for turn in range(2):
        writer_alone.append(result(start(build, f"{db}-{turn}-writer", "writer", seconds)))
        alone += result(start(build, f"{db}-{turn}-alone", caller))
        occasional = start(build, f"{db}-{turn}-shared", caller)
        writer = start(build, f"{db}-{turn}-shared", "writer", seconds)
        time.sleep(0.05)
        beside += result(occasional)
        writer_beside.append(result(writer))
    return alone, beside, min(writer_alone), min(writer_beside)


def main():
    builds = [("", benchlib.BUILD),
              (f" (build {BASE})", benchlib.base_build(BASE, "_kestrel_sqlstore", "kestrel"))]
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for caller, op, what in (("checkpoint", "duckdb_checkpoint_cpp", "10-value checkpoint"),
                                 ("sql", "duckdb_sql_cpp", "small SQL step")):
            for tag, (name, build) in enumerate(builds):
                db = os.path.join(work, f"{caller}-{tag}.duckdb")
                alone, beside, writer_alone, writer_beside = measure(build, db, caller)
                one = statistics.median(alone)
                work_name = f"occasional {what} beside a steady writer{name}"
                rows += [
                    benchlib.row(op, f"{work_name}, median", statistics.median(beside),
                                 "one call alone (median)", one, ">= 1/3x" if not name else ""),
                    benchlib.row(op, f"{work_name}, worst", max(beside),
                                 "one call alone (median)", one, ">= 1/10x" if not name else ""),
                ]
                if caller == "checkpoint":
                    rows.append(benchlib.row(
                        "duckdb_checkpoint_cpp", f"steady writer's call beside it{name}",
                        writer_beside, "steady writer alone", writer_alone,
                        ">= 1/1.15x" if not name else ""))
    return rows


if __name__ == "__main__":
    benchlib.main(main)
