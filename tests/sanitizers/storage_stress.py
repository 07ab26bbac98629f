"""Threads that checkpoint and run SQL steps at once on one file under several names (a
spelling of its path, a symbolic and a hard link) and on files of their own, for
ThreadSanitizer. Exits non-zero when a call fails or a checkpoint is missing."""
import os
import sys
import tempfile
import threading

import kestrel
import _kestrel_sqlstore  # noqa: F401
import _tarnwell_duckdb_probe

THREADS, ROUNDS = 6, 15


def main():
    with tempfile.TemporaryDirectory() as work:
        shared = os.path.join(work, "shared.duckdb")
        kestrel.call("duckdb_checkpoint_cpp", {"run_id": "first", "duckdb_path": shared})
        os.symlink("shared.duckdb", os.path.join(work, "link.duckdb"))
        os.link(shared, os.path.join(work, "hard.duckdb"))
        names = [shared, os.path.join(work, ".", "shared.duckdb"),
                 os.path.join(work, "link.duckdb"), os.path.join(work, "hard.duckdb")]
        errors = []

        def work_on(t):
            own = os.path.join(work, f"own{t}.duckdb")
            try:
                for i in range(ROUNDS):
                    for path in (names[(t + i) % len(names)], own):
                        p = kestrel.call("duckdb_checkpoint_cpp", {
                            "run_id": "stress", "duckdb_path": path, "sample_id": t * 1000 + i,
                            "values": [float(k) for k in range(100)]})
                        kestrel.call("duckdb_sql_cpp", dict(
                            p, out_table=f"sum_{t}_{i}",
                            sql="CREATE OR REPLACE TABLE {out_table} AS SELECT sum(value) FROM {in_table}"))
            except Exception as e:  # noqa: BLE001  reported below
                errors.append(repr(e))

        threads = [threading.Thread(target=work_on, args=(t,)) for t in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        (stored,) = _tarnwell_duckdb_probe.query(
            shared, "SELECT count(DISTINCT sample_id) FROM data_stress_C")[0]
        if stored != THREADS * ROUNDS:
            errors.append(f"{stored} of {THREADS * ROUNDS} checkpoints in the shared file")
        return errors


if __name__ == "__main__":
    failures = main()
    print("\n".join(failures) or "storage stress: every call succeeded")
    sys.exit(1 if failures else 0)
