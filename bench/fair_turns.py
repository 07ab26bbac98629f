"""An occasional caller beside a steady writer on one DuckDB file: a process checkpoints 10
values into the file call after call, while another makes a call now and then (a 10-value
checkpoint, or a small SQL step). Rows: the occasional call's median and worst time beside
the writer against the same call alone, and the writer's time per call beside it against the
writer alone, for this build and, when TARNWELL_BASELINE_BUILD names the build folder of an
earlier version, for that one too, in the same run.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import benchlib

CALLS = 15

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
    kestrel.call("duckdb_sql_cpp", {{"duckdb_path": db, "data_table": "data_steady_C",
        "out_table": "summary", "sql": "CREATE OR REPLACE TABLE {{out_table}} AS "
                                       "SELECT count(*) AS n FROM {{in_table}}"}})
if role == "writer":
    print("ready", flush=True)
    start, i = time.perf_counter(), 0
    while time.perf_counter() - start < {seconds!r}:
        checkpoint(i, "steady")
        i += 1
    print(json.dumps((time.perf_counter() - start) / i))
else:
    rng, times = random.Random(7), []
    for i in range({calls}):
        time.sleep(rng.uniform(0.05, 0.15))
        start = time.perf_counter()
        checkpoint(i, "occasional") if role == "checkpoint" else sql(i)
        times.append(time.perf_counter() - start)
    print(json.dumps(times))
"""


def start(build, db, role, seconds=0.0):
    path = [os.path.join(os.path.abspath(build), d) for d in ("python", "host")]
    code = WORKER.format(path=path, db=db, role=role, seconds=seconds, calls=CALLS)
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)


def result(worker):
    out = worker.communicate()[0]
    if worker.returncode != 0:
        raise RuntimeError("a worker failed")
    return json.loads(out.splitlines()[-1])


def measure(build, work, caller):
    """(times of the occasional calls alone, beside the writer; the writer's seconds per call
    alone, beside the occasional caller)."""
    db = os.path.join(work, f"{os.path.basename(build)}-{caller}.duckdb")
    writer_alone = start(build, db, "writer", seconds=1.0)
    writer_alone.stdout.readline()
    per_call_alone = result(writer_alone)
    alone = result(start(build, db, caller))
    writer = start(build, db, "writer", seconds=CALLS * 0.1 + 2.0)
    writer.stdout.readline()
    time.sleep(0.3)
    beside = result(start(build, db, caller))
    return alone, beside, per_call_alone, result(writer)


def main():
    builds = [("", benchlib.BUILD)]
    if os.environ.get("TARNWELL_BASELINE_BUILD"):
        builds.append((f" (build {os.environ.get('TARNWELL_BASELINE_NAME', 'baseline')})",
                       os.environ["TARNWELL_BASELINE_BUILD"]))
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for caller, op, what in (("checkpoint", "duckdb_checkpoint_cpp", "10-value checkpoint"),
                                 ("sql", "duckdb_sql_cpp", "small SQL step")):
            for name, build in builds:
                alone, beside, writer_alone, writer_beside = measure(build, work, caller)
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
