"""A short loop of every op, for memory checkers: each op on good and on bad input."""
import os
import signal
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import kestrel  # noqa: E402
import _kestrel_kernels  # noqa: E402,F401
import _kestrel_sqlstore  # noqa: E402,F401
from helpers import BadFloat  # noqa: E402


def attempt(name, payload):
    try:
        kestrel.call(name, payload)
    except Exception:  # bad input is part of the loop
        pass


def main(rounds):
    with tempfile.TemporaryDirectory() as work:
        csv = os.path.join(work, "out.csv")
        db = os.path.join(work, "loop.duckdb")
        for i in range(rounds):
            p = kestrel.run(["fifo_window_buffer", "average", "csv_sink"],
                            {"sampleChunk": [float(i), 2.0, True], "windowSize": 5,
                             "fifoId": "loop", "csvPath": csv})
            attempt("fifo_window_buffer", {"sampleChunk": (x for x in [1, BadFloat()]), "fifoId": None})
            attempt("average", {"window": {1.5, 2.5}, "mode": "geometric"})
            attempt("average", {"data": [0.0], "averageMethod": "Geometric"})
            attempt("csv_sink", {"csvPath": csv, "data": {"a": BadFloat(), 1: 2}})
            attempt("csv_sink", {"handleUri": "csv://", "mean": 1})
            c = kestrel.call("duckdb_checkpoint_cpp", {"run_id": f"r{i % 2}", "values": p["window"],
                                                       "duckdb_path": db, "sample_id": i})
            attempt("duckdb_checkpoint_cpp", {"run_id": "bad", "values": [1, None], "duckdb_path": db})
            attempt("duckdb_checkpoint_cpp", {"run_id": "bad", "values": [1.0], "duckdb_path": db,
                                              "extra": {1, 2}})
            c.update(sql="CREATE OR REPLACE TABLE {out_table} AS SELECT avg(value) AS m FROM {in_table}",
                     out_table="agg")
            kestrel.call("duckdb_sql_cpp", c)
            attempt("duckdb_sql_cpp", dict(c, sql="SELEC {in_table}"))
            attempt("duckdb_sql_cpp", dict(c, out_table=b"\xff"))
            attempt("duckdb_sql_cpp", dict(c, sql="BEGIN; SELECT 1"))
            attempt("duckdb_checkpoint_cpp", {"run_id": "gen", "values": (x for x in [1.0]),
                                              "duckdb_path": db, "extra": {1}})
            # Two threads on one file take turns; a signal interrupts a long statement.
            other = threading.Thread(target=kestrel.call, args=("duckdb_checkpoint_cpp", {
                "run_id": "turn", "values": [1.0], "duckdb_path": db}))
            other.start()
            # The statement ends by itself too (seconds natively), should a signal be lost under
            # the memory checker's own signal delivery.
            timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
            timer.start()
            try:
                kestrel.call("duckdb_sql_cpp", dict(c, sql="SELECT sum(i) FROM range(3000000000) t(i)"))
            except KeyboardInterrupt:
                pass
            timer.join()
            other.join()


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 3)
