"""The storage ops through the host against DuckDB's stock client doing the same work per call
(_tarnwell_bench: its default configuration; open, one transaction, close) and against Python's
sqlite3, side by side:

- a 10-value checkpoint into a new table and a small SQL step, on files that already hold 0,
  1000, 2000 and 5000 data tables of 10 rows (each built once, copied for every trial; each
  client makes one call on its copy before the timed one, so that the copy is written out
  and the timed call finds the file as it is in use);
- 10-value checkpoints repeated into one table of one file in use, as a pipeline does;
- checkpoints of 1e5 and 1e6 values, call after call into one table; 1e6 values also from an
  array('d'), timed in turns with the list.
"""
import array
import json
import os
import shutil
import sqlite3
import tempfile
import time

import benchlib
import kestrel
import _kestrel_sqlstore  # noqa: F401
import _tarnwell_bench

STOCK = "DuckDB stock client"
SQLITE = "sqlite3"
TABLES = (0, 1000, 2000, 5000)
STEP = "CREATE OR REPLACE TABLE summary AS SELECT count(*) AS n, avg(value) AS m FROM data_t0_C"
TARGETS = {("checkpoint", 0): (">= 1.4x", ""), ("checkpoint", 2000): (">= 1.8x", ""),
           ("sql", 2000): (">= 1.5x", "")}


def build(folder, tables):
    """A DuckDB file and an sqlite3 file with `tables` data tables of 10 rows each (and at
    least the one that the SQL step reads)."""
    names = [f"data_t{i}_C" for i in range(max(tables, 1))]
    duck, lite = os.path.join(folder, f"base{tables}.duckdb"), os.path.join(folder, f"base{tables}.db")
    rows = "SELECT range AS idx, range * 0.5 AS value, 0::BIGINT AS sample_id FROM range(10)"
    kestrel.call("duckdb_sql_cpp", {"duckdb_path": duck, "data_table": "", "out_table": "",
                                    "sql": "BEGIN;" + "".join(f"CREATE TABLE {n} AS {rows};" for n in names)
                                           + "COMMIT;"})
    con = sqlite3.connect(lite)
    with con:
        for n in names:
            con.execute(f"CREATE TABLE {n} (idx INTEGER, value REAL, sample_id INTEGER)")
            con.executemany(f"INSERT INTO {n} VALUES (?, ?, 0)", [(k, k * 0.5) for k in range(10)])
    con.close()
    return duck, lite


def sqlite_checkpoint(path, table, values, state_json):
    con = sqlite3.connect(path)
    try:
        with con:
            con.execute(f"CREATE TABLE IF NOT EXISTS {table} (idx INTEGER, value REAL, sample_id INTEGER)")
            con.executemany(f"INSERT INTO {table} VALUES (?, ?, 0)", enumerate(values))
            con.execute("CREATE TABLE IF NOT EXISTS pipeline_state (run_id TEXT, step TEXT, "
                        "duckdb_path TEXT, data_table TEXT, payload_json TEXT)")
            con.execute("INSERT INTO pipeline_state VALUES (?, ?, ?, ?, ?)",
                        ("bench", "C", path, table, state_json))
    finally:
        con.close()


def sqlite_step(path):
    con = sqlite3.connect(path)
    try:
        with con:
            con.execute("DROP TABLE IF EXISTS summary")
            con.execute("CREATE TABLE summary AS SELECT count(*) AS n, avg(value) AS m FROM data_t0_C")
    finally:
        con.close()


def clients(kind):
    """For each client, a call of `kind` on the file at a path, into the table named by `n`."""
    values = [k * 0.5 for k in range(10)]
    state = json.dumps({"run_id": "bench"})
    if kind == "checkpoint":
        return [
            lambda path, n: kestrel.call("duckdb_checkpoint_cpp", {"run_id": f"new{n}", "duckdb_path": path,
                                                                   "values": values}),
            lambda path, n: _tarnwell_bench.stock_checkpoint(path, f"data_new{n}_C", len(values), state),
            lambda path, n: sqlite_checkpoint(path, f"data_new{n}_C", values, state),
        ]
    return [
        lambda path, n: kestrel.call("duckdb_sql_cpp", {"duckdb_path": path, "data_table": "data_t0_C",
                                                        "out_table": "summary", "sql": STEP}),
        lambda path, n: _tarnwell_bench.stock_sql(path, STEP),
        lambda path, n: sqlite_step(path),
    ]


def on_copies(folder, bases, calls, trials):
    """Best seconds of one call of each of `calls` on a fresh copy of its base file, in turns."""
    best = [float("inf")] * len(calls)
    for _ in range(trials):
        for i, (base, call) in enumerate(zip(bases, calls)):
            copy = os.path.join(folder, "copy" + os.path.splitext(base)[1])
            shutil.copyfile(base, copy)
            call(copy, 0)
            start = time.perf_counter()
            call(copy, 1)
            best[i] = min(best[i], time.perf_counter() - start)
            os.remove(copy)
    return best


def comparison(op, workload, times, targets=("", "")):
    ours, stock, lite = times
    return [benchlib.row(op, workload, ours, STOCK, stock, targets[0]),
            benchlib.row(op, workload, ours, SQLITE, lite, targets[1])]


def main():
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for tables in TABLES:
            duck, lite = build(folder, tables)
            for kind, op in (("checkpoint", "duckdb_checkpoint_cpp"), ("sql", "duckdb_sql_cpp")):
                what = "10 values into a new table" if kind == "checkpoint" else "small SQL step"
                times = on_copies(folder, [duck, duck, lite], clients(kind), 3 if tables > 2000 else 5)
                rows += comparison(op, f"{what}, file of {tables} tables", times,
                                   TARGETS.get((kind, tables), ("", "")))
            os.remove(duck)
            os.remove(lite)

        # One file in use: the same table, call after call.
        paths = [os.path.join(folder, f"use-{i}.db") for i in range(3)]
        repeated = [lambda c=call, p=path: c(p, 0) for call, path in zip(clients("checkpoint"), paths)]
        for call in repeated:
            call()
        rows += comparison("duckdb_checkpoint_cpp", "10 values, repeated into one file in use",
                           benchlib.best_times(repeated, min_total=1.5), ("<= 15 ms", ""))

        for n in (100_000, 1_000_000):
            values = [i * 0.5 for i in range(n)]
            state = json.dumps({"run_id": "bench"})
            ours, stock, lite, from_array = (os.path.join(folder, f"{k}-{n}.db")
                                             for k in ("op", "stock", "sqlite", "array"))
            samples = array.array("d", values)
            big = n == 1_000_000
            sides = [
                lambda: kestrel.call("duckdb_checkpoint_cpp", {"run_id": "bench", "duckdb_path": ours,
                                                               "values": values}),
                lambda: _tarnwell_bench.stock_checkpoint(stock, "data_bench_C", n, state),
                lambda: sqlite_checkpoint(lite, "data_bench_C", values, state),
            ]
            if big:
                sides.append(lambda: kestrel.call("duckdb_checkpoint_cpp", {
                    "run_id": "bench", "duckdb_path": from_array, "values": samples}))
            times = benchlib.best_times(sides, min_total=2.0)
            rows += comparison("duckdb_checkpoint_cpp", f"{n} values per call, into one table",
                               times[:3], (">= 1.33x", ">= 4x") if big else ("", ""))
            if big:
                rows.append(benchlib.row("duckdb_checkpoint_cpp",
                                         f"{n} values per call from array('d'), into one table",
                                         times[3], "the same values as a list", times[0], ">= 1x"))
    return rows


if __name__ == "__main__":
    benchlib.main(main)
