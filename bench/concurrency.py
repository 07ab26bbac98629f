"""Storage ops shared by several workers, in one run: checkpoint throughput of 1, 2 and 4
processes checkpointing into one DuckDB file (10 values per call, each call opening and
closing the file and waiting for the others' lock), against sqlite3 with its default 5 s lock
timeout doing the same work from as many processes; and the worst gap of a heartbeat thread
while a 1e6-value checkpoint runs, against the length of that call (the gap the heartbeat saw
when the op held the interpreter lock throughout)."""
import os
import subprocess
import sys
import tempfile
import threading
import time

import benchlib
import kestrel
import _kestrel_sqlstore  # noqa: F401

CALLS = 40

WORKER = """
import json, sqlite3, sys
sys.path[:0] = {path!r}
import kestrel, _kestrel_sqlstore
path, kind = {db!r}, {kind!r}
values = [k * 0.5 for k in range(10)]
for i in range({calls}):
    if kind == "op":
        kestrel.call("duckdb_checkpoint_cpp", {{"run_id": "w", "duckdb_path": path,
                                               "sample_id": i, "values": values}})
        continue
    con = sqlite3.connect(path)
    try:
        with con:
            con.execute("CREATE TABLE IF NOT EXISTS data_w_C (idx INTEGER, value REAL, sample_id INTEGER)")
            con.executemany("INSERT INTO data_w_C VALUES (?, ?, ?)",
                            [(k, v, i) for k, v in enumerate(values)])
            con.execute("CREATE TABLE IF NOT EXISTS pipeline_state (run_id TEXT, step TEXT, "
                        "duckdb_path TEXT, data_table TEXT, payload_json TEXT)")
            con.execute("INSERT INTO pipeline_state VALUES (?, ?, ?, ?, ?)",
                        ("w", "C", path, "data_w_C", json.dumps({{"run_id": "w"}})))
    finally:
        con.close()
"""


def per_checkpoint(kind, processes, work):
    """Wall seconds per checkpoint with `processes` workers on one file."""
    db = os.path.join(work, f"{kind}-{processes}.db")
    path = [os.path.join(os.path.abspath(benchlib.BUILD), d) for d in ("python", "host")]
    code = WORKER.format(path=path, db=db, kind=kind, calls=CALLS)
    start = time.perf_counter()
    workers = [subprocess.Popen([sys.executable, "-c", code]) for _ in range(processes)]
    if any(w.wait() != 0 for w in workers):
        raise RuntimeError(f"a {kind} worker failed")
    return (time.perf_counter() - start) / (processes * CALLS)


def worst_heartbeat_gap(work):
    """(worst gap of a 1 ms heartbeat, length of the call) for a 1e6-value checkpoint."""
    values = [i * 0.5 for i in range(10**6)]
    path = os.path.join(work, "heartbeat.duckdb")
    ticks, stop = [], threading.Event()

    def heartbeat():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    beat = threading.Thread(target=heartbeat)
    beat.start()
    time.sleep(0.05)
    start = time.perf_counter()
    kestrel.call("duckdb_checkpoint_cpp", {"run_id": "h", "duckdb_path": path, "values": values})
    call = time.perf_counter() - start
    time.sleep(0.05)
    stop.set()
    beat.join()
    return max(b - a for a, b in zip(ticks, ticks[1:])), call


def main():
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for processes in (1, 2, 4):
            ours = min(per_checkpoint("op", processes, work) for _ in range(2))
            theirs = min(per_checkpoint("sqlite", processes, work) for _ in range(2))
            workers = f"{processes} process{'es' if processes > 1 else ''}"
            rows.append(benchlib.row("duckdb_checkpoint_cpp", f"{workers} on one file, 10 values "
                                     "per call, per checkpoint", ours,
                                     "sqlite3, 5 s timeout", theirs))
        gap, call = min(worst_heartbeat_gap(work) for _ in range(3))
        rows.append(benchlib.row("duckdb_checkpoint_cpp", "heartbeat worst gap, 1e6 values", gap,
                                 "call length (lock held)", call))
    return rows


if __name__ == "__main__":
    benchlib.main(main)
