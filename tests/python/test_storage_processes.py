"""The storage ops beside other processes and threads: killed writers, locks held by others,
workers sharing one file, Ctrl-C, and threads that keep running meanwhile."""
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from helpers import HOST_DIR, MODULE_DIR, PROBE_DIR, check_python

BATCH = 500
# Under a sanitizer, reading the payload and writing it back (with the interpreter lock held,
# as they must be) take several times as long; only the gaps of plain builds are a figure.
HEARTBEAT_GAP = 0.5 if os.environ.get("TARNWELL_SANITIZER") else 0.1

# Checkpoints batches forever, each with its own sample_id, reporting every commit.
WRITER = """
import os, sys
sys.path[:0] = {path!r}
import kestrel, _kestrel_sqlstore
base = os.getpid() * 1_000_000
for i in range(10**9):
    kestrel.call("duckdb_checkpoint_cpp", {{"run_id": "crash", "duckdb_path": {db!r},
        "sample_id": base + i, "values": [float(k) for k in range({batch})]}})
    print(base + i, flush=True)
"""


def test_killed_writers_leave_whole_checkpoints(tmp_path, duckdb_probe):
    db = str(tmp_path / "crash.duckdb")
    code = textwrap.dedent(WRITER.format(path=[MODULE_DIR, HOST_DIR], db=db, batch=BATCH))
    rng = random.Random(11)
    reported = set()
    for _ in range(20):
        writer = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
        reported.add(int(writer.stdout.readline()))  # at least one commit, then a random moment
        time.sleep(rng.uniform(0.0, 0.15))
        writer.send_signal(signal.SIGKILL)
        out, _ = writer.communicate()
        reported.update(int(line) for line in out.split())
        assert writer.returncode == -signal.SIGKILL

    batches = duckdb_probe.query(
        db, "SELECT sample_id, count(*), min(idx), max(idx), count(DISTINCT idx) "
            "FROM data_crash_C GROUP BY sample_id")
    assert all(row[1:] == (BATCH, 0, BATCH - 1, BATCH) for row in batches)
    states = [json.loads(r[0])["sample_id"]
              for r in duckdb_probe.query(db, "SELECT payload_json FROM pipeline_state")]
    assert sorted(states) == sorted(row[0] for row in batches)
    assert reported <= set(states)  # every reported commit survived


# Holds the database file open (and locked) until a line arrives on stdin.
HOLDER = """
import sys
sys.path[:0] = {path!r}
import _tarnwell_duckdb_probe
h = _tarnwell_duckdb_probe.Holder({db!r})
print("holding", flush=True)
sys.stdin.readline()
h.close()
"""

# Runs one op on `payload` and reports the error (or None), the payload and the seconds taken.
CALL = """
import json, time, kestrel, _kestrel_sqlstore
payload = {payload!r}
start = time.monotonic()
try:
    kestrel.call({op!r}, payload)
    error = None
except RuntimeError as e:
    error = str(e)
print(json.dumps([error, payload, time.monotonic() - start]))
"""


def holding(db):
    holder = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(HOLDER.format(path=[PROBE_DIR], db=db))],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "holding\n"
    return holder


@pytest.mark.parametrize("op, keys", [
    ("duckdb_checkpoint_cpp", {"run_id": "r", "values": [2.0]}),
    ("duckdb_sql_cpp", {"data_table": "data_r_C", "out_table": "t",
                        "sql": "CREATE TABLE {out_table} AS SELECT 1 AS v"}),
], ids=["checkpoint", "sql"])
def test_no_wait_gives_the_lock_error_at_once(tmp_path, host, duckdb_probe, op, keys):
    db = str(tmp_path / "locked.duckdb")
    host.call("duckdb_checkpoint_cpp", {"run_id": "r", "values": [1.0], "duckdb_path": db})
    holder = holding(db)
    try:
        payload = dict(keys, duckdb_path=db, duckdb_lock_timeout=0)
        out = check_python(CALL.format(op=op, payload=payload))
    finally:
        holder.communicate("\n", timeout=60)
    message, after, seconds = json.loads(out)
    assert "Could not set lock on file" in json.loads(message)["exception_message"]
    assert after == payload and seconds < 1
    assert duckdb_probe.query(db, "SELECT value FROM data_r_C") == [(1.0,)]
    assert duckdb_probe.query(db, "SELECT count(*) FROM duckdb_tables()") == [(2,)]


def test_waits_for_the_lock(tmp_path, duckdb_probe):
    db = str(tmp_path / "locked.duckdb")
    holder = holding(db)
    payload = {"run_id": "r", "values": [2.0], "duckdb_path": db}
    waiter = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(CALL.format(op="duckdb_checkpoint_cpp", payload=payload))],
        stdout=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(
            [MODULE_DIR, HOST_DIR])))
    time.sleep(0.5)
    holder.communicate("\n", timeout=60)
    error, after, seconds = json.loads(waiter.communicate(timeout=60)[0])
    assert error is None and after["data_table"] == "data_r_C" and seconds >= 0.4
    assert duckdb_probe.query(db, "SELECT value FROM data_r_C") == [(2.0,)]


# Checkpoints `count` batches of 10 values in each of `threads` threads, all into one file.
SHARER = """
import os, sys, threading
sys.path[:0] = {path!r}
import kestrel, _kestrel_sqlstore
def work(t):
    for i in range({count}):
        kestrel.call("duckdb_checkpoint_cpp", {{"run_id": "shared", "duckdb_path": {db!r},
            "sample_id": os.getpid() * 1000 + t * 100 + i, "values": [float(k) for k in range(10)]}})
threads = [threading.Thread(target=work, args=(t,)) for t in range({threads})]
for t in threads: t.start()
for t in threads: t.join()
"""


@pytest.mark.parametrize("processes, threads, count", [(4, 1, 50), (1, 4, 25), (2, 2, 10)])
def test_workers_share_one_file(tmp_path, duckdb_probe, processes, threads, count):
    db = str(tmp_path / "shared.duckdb")
    code = textwrap.dedent(SHARER.format(path=[MODULE_DIR, HOST_DIR], db=db, count=count,
                                         threads=threads))
    workers = [subprocess.Popen([sys.executable, "-c", code], stderr=subprocess.PIPE, text=True)
               for _ in range(processes)]
    errors = [w.communicate(timeout=300)[1] for w in workers]
    assert errors == [""] * processes and [w.returncode for w in workers] == [0] * processes
    batches = processes * threads * count
    assert duckdb_probe.query(db, "SELECT count(*), count(DISTINCT sample_id) FROM data_shared_C") == [
        (batches * 10, batches)]
    assert duckdb_probe.query(db, "SELECT count(*) FROM pipeline_state") == [(batches,)]


# A step that runs for a long time unless interrupted; reports what the interrupt left.
INTERRUPTED = """
import json, sys, kestrel, _kestrel_sqlstore
payload = {payload!r}
before = dict(payload)
print("started", flush=True)
try:
    kestrel.call({op!r}, payload)
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
print(json.dumps([outcome, payload == before]), flush=True)
"""

LONG_SQL = "CREATE TABLE {out_table} AS SELECT sum(i * i) AS s FROM range(10000000000) t(i)"


@pytest.mark.parametrize("op, keys, locked", [
    ("duckdb_sql_cpp", {"data_table": "data_r_C", "out_table": "big", "sql": LONG_SQL}, False),
    ("duckdb_checkpoint_cpp", {"run_id": "late", "values": [1.0], "duckdb_lock_timeout": 60}, True),
], ids=["long-sql", "waiting-for-lock"])
def test_ctrl_c_stops_a_long_step(tmp_path, host, duckdb_probe, op, keys, locked):
    db = str(tmp_path / "x.duckdb")
    host.call("duckdb_checkpoint_cpp", {"run_id": "r", "values": [1.0], "duckdb_path": db})
    holder = holding(db) if locked else None
    code = textwrap.dedent(INTERRUPTED.format(op=op, payload=dict(keys, duckdb_path=db)))
    step = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, HOST_DIR])))
    try:
        assert step.stdout.readline() == "started\n"
        time.sleep(1.0)
        step.send_signal(signal.SIGINT)
        sent = time.monotonic()
        line = step.stdout.readline()
        waited = time.monotonic() - sent
    finally:
        step.kill()
        step.communicate()
        if holder:
            holder.communicate("\n", timeout=60)
    assert json.loads(line) == ["interrupted", True]
    assert waited < 0.5
    assert duckdb_probe.query(db, "SELECT table_name FROM duckdb_tables() ORDER BY 1") == [
        ("data_r_C",), ("pipeline_state",)]


def test_other_threads_run_during_storage_work(tmp_path, host):
    db = str(tmp_path / "x.duckdb")
    host.call("duckdb_checkpoint_cpp", {"run_id": "r", "values": [1.0], "duckdb_path": db})
    ticks, stop = [], threading.Event()

    def heartbeat():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    beat = threading.Thread(target=heartbeat)
    beat.start()
    try:
        host.call("duckdb_sql_cpp", {"duckdb_path": db, "data_table": "data_r_C", "out_table": "s",
                                     "sql": LONG_SQL.replace("10000000000", "300000000")})
        host.call("duckdb_checkpoint_cpp", {"run_id": "big", "duckdb_path": db,
                                            "values": [float(i) for i in range(10**6)]})
    finally:
        stop.set()
        beat.join()
    gaps = [b - a for a, b in zip(ticks, ticks[1:])]
    assert len(ticks) > 50 and max(gaps) < HEARTBEAT_GAP
