"""Threads that checkpoint and run SQL steps at once on one file under several names (a
spelling of its path, a symbolic and a hard link) and on files of their own, in two processes
that queue up for the shared file, for ThreadSanitizer. Exits non-zero when a call fails or a
checkpoint is missing."""
import os
import subprocess
import sys
import tempfile
import threading

THREADS, ROUNDS = 6, 15


def stress(work, process):
    """Runs the threads of one process on the files in `work`; returns their errors."""
    import kestrel
    import _kestrel_sqlstore  # noqa: F401

    shared = os.path.join(work, "shared.duckdb")
    names = [shared, os.path.join(work, ".", "shared.duckdb"),
             os.path.join(work, "link.duckdb"), os.path.join(work, "hard.duckdb")]
    errors = []

    def work_on(t):
        own = os.path.join(work, f"own{process}-{t}.duckdb")
        try:
            for i in range(ROUNDS):
                for path in (names[(t + i) % len(names)], own):
                    p = kestrel.call("duckdb_checkpoint_cpp", {
                        "run_id": "stress", "duckdb_path": path, "duckdb_lock_timeout": 600,
                        "sample_id": process * 100000 + t * 1000 + i,
                        "values": [float(k) for k in range(100)]})
                    kestrel.call("duckdb_sql_cpp", dict(
                        p, out_table=f"sum_{process}_{t}_{i}",
                        sql="CREATE OR REPLACE TABLE {out_table} AS SELECT sum(value) FROM {in_table}"))
        except Exception as e:  # noqa: BLE001  reported below
            errors.append(repr(e))

    threads = [threading.Thread(target=work_on, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def main():
    with tempfile.TemporaryDirectory() as work:
        # Started before DuckDB is loaded: ThreadSanitizer takes the fork handlers of its
        # allocator, which is not instrumented, for misuse of their mutexes.
        other = subprocess.Popen([sys.executable, __file__, work], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        import kestrel
        import _kestrel_sqlstore  # noqa: F401
        import _tarnwell_duckdb_probe

        shared = os.path.join(work, "shared.duckdb")
        kestrel.call("duckdb_checkpoint_cpp", {"run_id": "first", "duckdb_path": shared})
        os.symlink("shared.duckdb", os.path.join(work, "link.duckdb"))
        os.link(shared, os.path.join(work, "hard.duckdb"))
        other.stdin.close()  # go
        errors = stress(work, 0)
        out = other.stdout.read()
        other.wait()
        if other.returncode != 0:
            errors.append(f"the other process: exit {other.returncode}: {out}")
        (stored,) = _tarnwell_duckdb_probe.query(
            shared, "SELECT count(DISTINCT sample_id) FROM data_stress_C")[0]
        if stored != 2 * THREADS * ROUNDS:
            errors.append(f"{stored} of {2 * THREADS * ROUNDS} checkpoints in the shared file")
        return errors


if __name__ == "__main__":
    if len(sys.argv) > 1:  # the other process, on the folder of the first once it is ready
        sys.stdin.read()
        failures = stress(sys.argv[1], 1)
        print("\n".join(failures))
        sys.exit(1 if failures else 0)
    failures = main()
    print("\n".join(failures) or "storage stress: every call succeeded")
    sys.exit(1 if failures else 0)
