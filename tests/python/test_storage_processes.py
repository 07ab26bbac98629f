"""Checkpoints against other processes: killed writers and a second process on the file."""
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

from helpers import HOST_DIR, MODULE_DIR, PROBE_DIR, run_python

BATCH = 500

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


def test_second_process_gets_the_lock_error(tmp_path, host, duckdb_probe):
    db = str(tmp_path / "locked.duckdb")
    host.call("duckdb_checkpoint_cpp", {"run_id": "r", "values": [1.0], "duckdb_path": db})
    holder = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""
            import sys
            sys.path[:0] = {[PROBE_DIR]!r}
            import _tarnwell_duckdb_probe
            h = _tarnwell_duckdb_probe.Holder({db!r})
            print("holding", flush=True)
            sys.stdin.readline()
            h.close()
            """)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "holding\n"
        payload = {"run_id": "r", "values": [2.0], "duckdb_path": db}
        with_error = run_python(f"""
            import json, kestrel, _kestrel_sqlstore
            payload = {payload!r}
            try:
                kestrel.call("duckdb_checkpoint_cpp", payload)
            except RuntimeError as e:
                print(json.dumps([str(e), payload]))
            """)
    finally:
        holder.communicate("\n", timeout=60)
    message, after = json.loads(with_error.stdout)
    assert "Could not set lock on file" in json.loads(message)["exception_message"]
    assert after == payload
    assert duckdb_probe.query(db, "SELECT value FROM data_r_C") == [(1.0,)]
    assert len(duckdb_probe.query(db, "SELECT * FROM pipeline_state")) == 1
    assert os.path.exists(db)
