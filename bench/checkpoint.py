"""duckdb_checkpoint_cpp through the host against the same work done with the raw DuckDB C++
API as the op did it before its lean open (_tarnwell_bench.raw_checkpoint: DuckDB's default
configuration, one transaction, create, a row-by-row append, state row, commit, close) and
against Python's sqlite3 (executemany into a file plus one state row), in one process. Every
call opens and closes its file, as the op does. The last rows repeat the 10-value call on files
that already hold 1000 tables, as a pipeline's file does after 1000 steps.
"""
import json
import os
import sqlite3
import tempfile

import benchlib
import kestrel
import _kestrel_sqlstore  # noqa: F401
import _tarnwell_bench


def sqlite_checkpoint(path, values, state_json):
    con = sqlite3.connect(path)
    try:
        with con:
            con.execute("CREATE TABLE IF NOT EXISTS data_bench_C (idx INTEGER, value REAL, sample_id INTEGER)")
            con.executemany("INSERT INTO data_bench_C VALUES (?, ?, 0)", enumerate(values))
            con.execute("CREATE TABLE IF NOT EXISTS pipeline_state (run_id TEXT, step TEXT, "
                        "duckdb_path TEXT, data_table TEXT, payload_json TEXT)")
            con.execute("INSERT INTO pipeline_state VALUES (?, ?, ?, ?, ?)",
                        ("bench", "C", path, "data_bench_C", state_json))
    finally:
        con.close()


# Time-per-call targets against the default-configured raw program, as ratios.
TARGETS = {10: ">= 1.67x", 1_000_000: ">= 1.33x"}  # 0.6 and 0.75 times the time


def with_tables(path, count):
    """Creates `count` empty data tables in a new DuckDB file."""
    kestrel.call("duckdb_sql_cpp", {
        "duckdb_path": path, "data_table": "", "out_table": "",
        "sql": ";".join(f"CREATE TABLE data_bench_s{i} (idx BIGINT, value DOUBLE, sample_id BIGINT)"
                        for i in range(count))})


def main():
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for n, tables in ((10, 0), (100_000, 0), (1_000_000, 0), (10, 1000)):
            values = [i * 0.5 for i in range(n)]
            paths = {k: os.path.join(work, f"{k}-{n}-{tables}.db") for k in ("op", "raw", "sqlite")}
            if tables:
                with_tables(paths["op"], tables)
                with_tables(paths["raw"], tables)
            state_json = json.dumps({"run_id": "bench", "duckdb_path": paths["op"]})

            def op():
                kestrel.call("duckdb_checkpoint_cpp",
                             {"run_id": "bench", "duckdb_path": paths["op"], "values": values})

            t_op = benchlib.best_time(op, min_total=1.0)
            t_raw = benchlib.best_time(
                lambda: _tarnwell_bench.raw_checkpoint(paths["raw"], n, state_json),
                min_total=1.0)
            t_sqlite = benchlib.best_time(
                lambda: sqlite_checkpoint(paths["sqlite"], values, state_json), min_total=1.0)
            workload = f"{n} values per call" + (f", file of {tables} tables" if tables else "")
            rows += [
                benchlib.row("duckdb_checkpoint_cpp", workload, t_op, "raw DuckDB C++, default open",
                             t_raw, "" if tables else TARGETS.get(n, "")),
                benchlib.row("duckdb_checkpoint_cpp", workload, t_op, "sqlite3 executemany", t_sqlite,
                             ">= 4x" if n == 1_000_000 else ""),
            ]
    return rows


if __name__ == "__main__":
    benchlib.main(main)
