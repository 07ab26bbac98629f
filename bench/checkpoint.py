"""duckdb_checkpoint_cpp through the host against the same work done with the raw DuckDB C++
API (_tarnwell_bench.raw_checkpoint: open, one transaction, create, append, state row,
commit, close) and against Python's sqlite3 (executemany into a file plus one state row), in
one process. Every call opens and closes its file, as the op does.
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


def main():
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for n in (10, 100_000, 1_000_000):
            values = [i * 0.5 for i in range(n)]
            paths = {k: os.path.join(work, f"{k}-{n}.db") for k in ("op", "raw", "sqlite")}
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
            workload = f"{n} values per call"
            rows += [
                benchlib.row("duckdb_checkpoint_cpp", workload, t_op, "raw DuckDB C++", t_raw,
                             ">= 1/1.1x"),
                benchlib.row("duckdb_checkpoint_cpp", workload, t_op, "sqlite3 executemany", t_sqlite,
                             ">= 4x" if n == 1_000_000 else ""),
            ]
    return rows


if __name__ == "__main__":
    benchlib.main(main)
