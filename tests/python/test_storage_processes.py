"""The storage ops beside other processes and threads: killed writers, locks held by others,
workers sharing one file under several names, exits, forks and signal handlers in the middle
of a call, Ctrl-C, and threads that keep running meanwhile."""
import json
import math
import os
import random
import signal
import subprocess
import threading
import time

import pytest

from helpers import (PARKED_AT_EXIT, IntSub, check_python, database_held, fault_env, flock_held,
                     interrupt, run_python, run_together, start_python, table_names)

BATCH = 500
LOCK_ERROR = "Could not set lock on file"
LONG_SQL = "CREATE TABLE {out_table} AS SELECT sum(i % 7) AS s FROM range(10000000000) t(i)"

# Checkpoints batches forever, each with its own sample_id, reporting every commit.
WRITER = """
import os, kestrel, _kestrel_sqlstore
base = os.getpid() * 1_000_000
for i in range(10**9):
    kestrel.call("duckdb_checkpoint_cpp", {{"run_id": "crash", "duckdb_path": {db!r},
        "sample_id": base + i, "values": [float(k) for k in range({batch})]}})
    print(base + i, flush=True)
"""


def whole_checkpoints(duckdb_probe, db, table, size):
    """The sample ids of the checkpoints in `table`, after checking that each is whole and has
    its pipeline_state row."""
    batches = duckdb_probe.query(
        db, f"SELECT sample_id, count(*), min(idx), max(idx), count(DISTINCT idx) FROM {table} "
            "GROUP BY sample_id")
    assert all(row[1:] == (size, 0, size - 1, size) for row in batches)
    states = [json.loads(r[0])["sample_id"]
              for r in duckdb_probe.query(db, "SELECT payload_json FROM pipeline_state")]
    assert sorted(states) == sorted(row[0] for row in batches)
    return set(states)


def test_killed_writers_leave_whole_checkpoints(tmp_path, duckdb_probe):
    db = str(tmp_path / "crash.duckdb")
    rng = random.Random(11)
    reported = set()
    for _ in range(20):
        writer = start_python(WRITER.format(db=db, batch=BATCH), stdout=subprocess.PIPE)
        reported.add(int(writer.stdout.readline()))  # at least one commit, then a random moment
        time.sleep(rng.uniform(0.0, 0.15))
        writer.send_signal(signal.SIGKILL)
        out, _ = writer.communicate()
        reported.update(int(line) for line in out.split())
        assert writer.returncode == -signal.SIGKILL
    assert reported <= whole_checkpoints(duckdb_probe, db, "data_crash_C", BATCH)


# Daemon threads in the middle of storage work as the interpreter exits: two checkpoints on one
# file (one of them waiting for its turn) and a long SQL step on another.
EXITING = """
import os, random, threading, time, kestrel, _kestrel_sqlstore
values = [float(i) for i in range(10**6)]
committed = threading.Event()
def checkpoints(t):
    for i in range(10**9):
        kestrel.call("duckdb_checkpoint_cpp", {{"run_id": "exit", "duckdb_path": {db!r},
            "sample_id": (os.getpid() * 2 + t) * 1000 + i, "values": values}})
        committed.set()
for t in range(2):
    threading.Thread(target=checkpoints, args=(t,), daemon=True).start()
threading.Thread(target=kestrel.call, daemon=True, args=("duckdb_sql_cpp", {{
    "duckdb_path": {db!r} + ".sql", "data_table": "", "out_table": "s", "sql": {sql!r}}})).start()
committed.wait()
time.sleep(random.uniform(0.0, 0.3))
"""


def test_exit_with_storage_work_in_flight(tmp_path, duckdb_probe):
    db = str(tmp_path / "exit.duckdb")
    for _ in range(10):
        result = run_python(EXITING.format(db=db, sql=LONG_SQL), env=PARKED_AT_EXIT)
        assert (result.returncode, result.stderr) == (0, "")
    assert len(whole_checkpoints(duckdb_probe, db, "data_exit_C", 10**6)) >= 10


@pytest.mark.parametrize("op, keys", [
    ("duckdb_checkpoint_cpp", {"run_id": "r", "values": [2.0]}),
    ("duckdb_sql_cpp", {"data_table": "data_r_C", "out_table": "t",
                        "sql": "CREATE TABLE {out_table} AS SELECT 1 AS v"}),
], ids=["checkpoint", "sql"])
# An int subclass waits its int value, whatever its __float__ says.
@pytest.mark.parametrize("timeout", [0, IntSub(0)], ids=["zero", "int-subclass"])
def test_no_wait_gives_the_lock_error_at_once(tmp_path, host, duckdb_probe, op, keys, timeout):
    db = str(tmp_path / "locked.duckdb")
    host.call("duckdb_checkpoint_cpp", {"run_id": "r", "values": [1.0], "duckdb_path": db})
    payload = dict(keys, duckdb_path=db, duckdb_lock_timeout=timeout)
    before = dict(payload)
    with database_held(db):
        start = time.monotonic()
        with pytest.raises(RuntimeError) as excinfo:
            host.call(op, payload)
        seconds = time.monotonic() - start
    assert LOCK_ERROR in json.loads(str(excinfo.value))["exception_message"]
    assert payload == before and seconds < float(IntSub(0)) / 2
    assert duckdb_probe.query(db, "SELECT value FROM data_r_C") == [(1.0,)]
    assert duckdb_probe.query(db, "SELECT count(*) FROM duckdb_tables()") == [(2,)]


# Checkpoints one value into `db` and reports the error (or None), the payload and the moment
# the call returned.
WAITER = """
import json, time, kestrel, _kestrel_sqlstore
payload = {{"run_id": "r", "values": [2.0], "duckdb_path": {db!r}}}
print("calling", flush=True)
try:
    kestrel.call("duckdb_checkpoint_cpp", payload)
    error = None
except RuntimeError as e:
    error = str(e)
print(json.dumps([error, payload, time.monotonic()]))
"""


def test_waits_for_the_lock(tmp_path, duckdb_probe):
    db = str(tmp_path / "locked.duckdb")
    with database_held(db):
        waiter = start_python(WAITER.format(db=db), stdout=subprocess.PIPE)
        assert waiter.stdout.readline() == "calling\n"
        time.sleep(0.3)
        released = time.monotonic()
    error, after, returned = json.loads(waiter.communicate(timeout=60)[0])
    assert error is None and after["data_table"] == "data_r_C" and returned > released
    assert duckdb_probe.query(db, "SELECT value FROM data_r_C") == [(2.0,)]


# Checkpoints `count` batches of 10 values into each of `files` in each of `threads` threads,
# in rounds that start together in every process.
SHARER = """
import os, sys, threading, time, kestrel, _kestrel_sqlstore
print("ready", flush=True)
sys.stdin.read()
go = time.monotonic()
def work(t, db):
    for i in range({count}):
        kestrel.call("duckdb_checkpoint_cpp", {{"run_id": "shared", "duckdb_path": db,
            "sample_id": os.getpid() * 1000 + t * 100 + i, "values": [float(k) for k in range(10)]}})
for r, db in enumerate({files!r}):
    time.sleep(max(0.0, go + 0.2 * r - time.monotonic()))
    threads = [threading.Thread(target=work, args=(t, db)) for t in range({threads})]
    for t in threads: t.start()
    for t in threads: t.join()
"""


# Each round of the last case starts on a new file, which DuckDB itself would leave empty for
# a while (widened by the fault shim) before it writes it.
@pytest.mark.parametrize("processes, threads, count, files, env", [
    (4, 1, 50, 1, None), (1, 4, 25, 1, None), (2, 2, 10, 1, None),
    (5, 1, 1, 10, fault_env("slow-create", ".duckdb")),
], ids=["processes", "threads", "both", "new-files"])
def test_workers_share_one_file(tmp_path, duckdb_probe, processes, threads, count, files, env):
    paths = [str(tmp_path / f"shared{r}.duckdb") for r in range(files)]
    code = SHARER.format(files=paths, count=count, threads=threads)
    assert run_together([code] * processes, env=env) == ([0] * processes, [""] * processes)
    batches = processes * threads * count
    for db in paths:
        assert duckdb_probe.query(
            db, "SELECT count(*), count(DISTINCT sample_id) FROM data_shared_C") == [
            (batches * 10, batches)]
        assert duckdb_probe.query(db, "SELECT count(*) FROM pipeline_state") == [(batches,)]


@pytest.mark.parametrize("link", ["hard", "dangling-symbolic", "home", "relative"])
def test_names_of_one_file_take_turns(tmp_path, host, duckdb_probe, monkeypatch, link):
    """Two threads, each through its own name of a file, five new files in a row, each thread
    with checkpoints and SQL steps."""
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.chdir(tmp_path)
    names = [(tmp_path / f"target{r}.duckdb", tmp_path / f"other{r}.duckdb") for r in range(5)]
    for r, (target, other) in enumerate(names):
        if link == "hard":
            host.call("duckdb_checkpoint_cpp", {"run_id": "first", "duckdb_path": str(target)})
            os.link(target, other)
        elif link == "dangling-symbolic":
            os.symlink(target.name, other)  # the first checkpoint through either creates it
        else:
            names[r] = (target, f"~/{target.name}" if link == "home" else target.name)
    errors, together = [], threading.Barrier(2)
    sql = "CREATE TABLE IF NOT EXISTS log (t INT); INSERT INTO log VALUES ({t})"

    def work(t):
        try:
            for r, pair in enumerate(names):
                together.wait()
                for i in range(4):
                    host.call("duckdb_checkpoint_cpp", {
                        "run_id": "names", "duckdb_path": str(pair[t]), "sample_id": t * 100 + i,
                        "values": [1.0] * 10})
                    host.call("duckdb_sql_cpp", {"duckdb_path": str(pair[t]), "data_table": "",
                                                 "out_table": "", "sql": sql.format(t=t)})
        except Exception as e:  # noqa: BLE001
            errors.append(e)
            together.abort()

    threads = [threading.Thread(target=work, args=(t,)) for t in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for target, _ in names:
        assert duckdb_probe.query(str(target), "SELECT count(*), count(DISTINCT sample_id) "
                                               "FROM data_names_C") == [(80, 8)]
        assert duckdb_probe.query(str(target), "SELECT t, count(*) FROM log GROUP BY t "
                                               "ORDER BY t") == [(0, 4), (1, 4)]


# Checkpoints `count` batches of 10 values in a row, then reports the seconds they took.
STEADY = """
import sys, time, kestrel, _kestrel_sqlstore
print("ready", flush=True)
start = time.monotonic()
for i in range({count}):
    kestrel.call("duckdb_checkpoint_cpp", {{"run_id": "steady", "duckdb_path": {db!r},
                                           "sample_id": i, "values": [1.0] * 10}})
print(time.monotonic() - start, flush=True)
"""


@pytest.mark.parametrize("op, payload", [
    ("duckdb_checkpoint_cpp", {"run_id": "now-and-then", "values": [2.0] * 10}),
    ("duckdb_sql_cpp", {"data_table": "", "out_table": "",
                        "sql": "CREATE OR REPLACE TABLE seen AS SELECT 1 AS x"}),
], ids=["checkpoint", "sql"])
def test_occasional_caller_beside_a_steady_writer(tmp_path, host, op, payload):
    """Another process takes the file back call after call: a caller that comes now and then
    waits its turn, not until the writer is done."""
    db = str(tmp_path / "x.duckdb")
    host.call("duckdb_checkpoint_cpp", {"run_id": "first", "duckdb_path": db})
    writer = start_python(STEADY.format(db=db, count=300), stdout=subprocess.PIPE)
    try:
        assert writer.stdout.readline() == "ready\n"
        time.sleep(0.2)
        waited = 0.0
        for _ in range(5):
            start = time.monotonic()
            host.call(op, dict(payload, duckdb_path=db))
            waited += time.monotonic() - start
            time.sleep(0.02)
        still_writing = writer.poll() is None
        run = float(writer.communicate(timeout=120)[0])
    finally:
        writer.kill()
    assert still_writing and waited < run / 4, (waited, run)


def test_deadline_holds_behind_an_endless_waiter(tmp_path, host):
    db = str(tmp_path / "x.duckdb")
    host.call("duckdb_checkpoint_cpp", {"run_id": "r", "duckdb_path": db})
    endless = {"run_id": "endless", "duckdb_path": db, "duckdb_lock_timeout": math.inf}
    with database_held(db):
        waiter = threading.Thread(target=host.call, args=("duckdb_checkpoint_cpp", endless))
        waiter.start()
        time.sleep(0.3)  # it now holds this process's turn on the file
        with pytest.raises(RuntimeError) as excinfo:
            host.call("duckdb_checkpoint_cpp", {"run_id": "r", "duckdb_path": db,
                                                "duckdb_lock_timeout": 0.5})
        assert waiter.is_alive()
    waiter.join()
    assert LOCK_ERROR in json.loads(str(excinfo.value))["exception_message"]
    assert endless["data_table"] == "data_endless_C"


# A thread holds this process's turn on the file through a long step; a child forked meanwhile
# must find the file held by its parent, not by a thread that it does not have.
FORKED = """
import os, threading, time, kestrel, _kestrel_sqlstore
threading.Thread(target=kestrel.call, daemon=True, args=("duckdb_sql_cpp", {{"duckdb_path": {db!r},
    "data_table": "", "out_table": "busy", "sql": {sql!r}}})).start()
time.sleep(0.3)
child = os.fork()
if child == 0:
    try:
        kestrel.call("duckdb_checkpoint_cpp", {{"run_id": "child", "duckdb_path": {db!r},
                                               "duckdb_lock_timeout": 0.5}})
    except RuntimeError as e:
        print(e, flush=True)
    os._exit(0)
os.waitpid(child, 0)
print(os.getpid())
"""


@pytest.mark.skipif(os.environ.get("TARNWELL_SANITIZER") == "asan",
                    reason="GCC 12's AddressSanitizer keeps its allocator's lock across fork(), "
                           "so a child forked while DuckDB's threads allocate hangs in malloc")
def test_forked_child_starts_with_no_turns(tmp_path):
    error, parent = check_python(FORKED.format(db=str(tmp_path / "x.duckdb"), sql=LONG_SQL),
                                 env=PARKED_AT_EXIT, timeout=60).splitlines()
    assert LOCK_ERROR in error and f"(PID {parent})" in error


# A signal handler that calls a storage op on the file of the call it interrupted, then ends it.
REENTERED = """
import json, os, signal, threading, kestrel, _kestrel_sqlstore
errors = []
def handler(signum, frame):
    try:
        kestrel.call("duckdb_checkpoint_cpp", {{"run_id": "handler", "duckdb_path": {db!r}}})
    except RuntimeError as e:
        errors.append(json.loads(str(e))["exception_message"])
    raise KeyboardInterrupt
signal.signal(signal.SIGUSR1, handler)
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGUSR1)).start()
try:
    kestrel.call("duckdb_sql_cpp", {{"duckdb_path": {db!r}, "data_table": "", "out_table": "t",
                                     "sql": {sql!r}}})
except KeyboardInterrupt:
    print(json.dumps(errors))
"""


def test_signal_handler_calling_into_the_same_file(tmp_path):
    out = check_python(REENTERED.format(db=str(tmp_path / "x.duckdb"), sql=LONG_SQL), timeout=60)
    (error,) = json.loads(out)
    assert error.startswith(LOCK_ERROR)


@pytest.mark.parametrize("op, keys, before", [
    ("duckdb_sql_cpp", {"data_table": "data_r_C", "out_table": "big", "sql": LONG_SQL}, ""),
    ("duckdb_checkpoint_cpp", {"run_id": "late", "values": [1.0], "duckdb_lock_timeout": 60},
     "held"),
    ("duckdb_sql_cpp", {"data_table": "data_r_C", "out_table": "t", "sql": "SELECT 1"},
     "queued"),
    ("duckdb_checkpoint_cpp", {"run_id": "late", "values": [1.0], "duckdb_lock_timeout": 60},
     "threading.Thread(target=kestrel.call, daemon=True, args=('duckdb_sql_cpp', dict(payload, "
     f"data_table='', out_table='busy', sql={LONG_SQL!r}))).start(); time.sleep(0.3)"),
], ids=["long-sql", "waiting-for-lock", "waiting-in-queue", "waiting-for-turn"])
def test_ctrl_c_stops_a_long_step(tmp_path, host, duckdb_probe, op, keys, before):
    db = str(tmp_path / "x.duckdb")
    host.call("duckdb_checkpoint_cpp", {"run_id": "r", "values": [1.0], "duckdb_path": db})
    payload = dict(keys, duckdb_path=db)
    if before in ("held", "queued"):
        with (database_held if before == "held" else flock_held)(db):
            outcome = interrupt(op, dict(payload, duckdb_lock_timeout=60))
    else:
        outcome = interrupt(op, payload, before=before)
    assert outcome[:2] == ("interrupted", True) and outcome[2] < 2.0
    assert table_names(duckdb_probe, db) == ["data_r_C", "pipeline_state"]


def test_other_threads_run_during_storage_work(tmp_path, host):
    db = str(tmp_path / "x.duckdb")
    host.call("duckdb_checkpoint_cpp", {"run_id": "r", "values": [1.0], "duckdb_path": db})
    ticks, calls, stop = [], [], threading.Event()

    def heartbeat():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    beat = threading.Thread(target=heartbeat)
    beat.start()
    try:
        for op, payload in [
            ("duckdb_sql_cpp", {"duckdb_path": db, "data_table": "data_r_C", "out_table": "s",
                                "sql": LONG_SQL.replace("10000000000", "300000000")}),
            ("duckdb_checkpoint_cpp", {"run_id": "big", "duckdb_path": db,
                                       "values": [float(i) for i in range(2 * 10**6)]}),
        ]:
            start = time.monotonic()
            host.call(op, payload)
            calls.append((start, time.monotonic()))
    finally:
        stop.set()
        beat.join()
    # Were the interpreter lock held through a call, no tick would come during it.
    for start, end in calls:
        during = [start] + [t for t in ticks if start < t < end] + [end]
        assert max(b - a for a, b in zip(during, during[1:])) < (end - start) / 2
