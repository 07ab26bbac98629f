"""Seeded random payloads for every op: no crash, every failure a Python exception, and a
failure leaves the payload (and the CSV files) as they were.

CI runs a short budget with a fixed seed; run longer by hand with
TARNWELL_FUZZ_SECONDS=3600 TARNWELL_FUZZ_SEED=<n>.
"""
import math
import os
import random
import time
import types

import pytest

from helpers import (BadFloat, BadIndex, BadIter, BadLen, BadStr, DictSub, FloatSub, HugeIndex,
                     raising_gen)

SEED = int(os.environ.get("TARNWELL_FUZZ_SEED", "20261208"))
SECONDS = float(os.environ.get("TARNWELL_FUZZ_SECONDS", "15"))

KEYS = ["sampleChunk", "values", "data", "window", "windowSize", "window_size", "fifoId",
        "averageMethod", "mode", "stats", "mean", "se", "handleUri", "handle", "csvPath",
        "run_id", "step", "duckdb_path", "sample_id", "data_table", "sql", "out_table",
        "other", "status"]


def scalar(rng):
    return rng.choice([
        lambda: rng.choice([0, 1, -1, 7, 2**31, -(2**31) - 1, 2**63, -(2**64), 10**400, True, False]),
        lambda: rng.choice([math.nan, math.inf, -math.inf, -0.0, 1e308, 5e-324, 0.5]),
        lambda: rng.gauss(0, 1e3),
        lambda: FloatSub(rng.random()),
        lambda: rng.choice(["", "arithmetic", "harmonic", "Geometric", "weighted", "\ud800",
                            "caf\u00e9", "a,b\nc", "csv://", "s3://x", "5", "1.5"]),
        lambda: rng.choice([b"", b"\xff\xfe", b"abc", bytearray(b"\x01\x02")]),
        lambda: None,
        lambda: rng.choice([BadFloat(), BadIndex(), HugeIndex(), BadStr(), complex(1, 2)]),
    ])()


def value(rng, depth=0):
    if depth > 1 or rng.random() < 0.4:
        return scalar(rng)
    items = [value(rng, depth + 1) for _ in range(rng.randrange(0, 6))]
    floats = [rng.gauss(0, 10) for _ in range(rng.randrange(0, 40))]
    return rng.choice([
        lambda: items, lambda: tuple(items), lambda: floats, lambda: tuple(floats),
        lambda: set(floats), lambda: frozenset(floats), lambda: (x for x in items),
        lambda: raising_gen(floats), lambda: {str(i): v for i, v in enumerate(items)},
        lambda: DictSub(a=1, b=floats[:1]), lambda: dict(enumerate(items)).values(),
        lambda: dict(enumerate(floats)).keys(), lambda: dict(enumerate(items)).items(),
        lambda: map(float, floats), lambda: zip(floats), lambda: iter(floats),
        lambda: range(rng.randrange(-2, 50)), lambda: BadLen(), lambda: BadIter(floats),
        lambda: [[1.0, 2.0], ["x", 3]],
    ])()


def special(rng, key):
    """A value meant for `key`, so that the ops get past their first checks often enough."""
    if key in ("csvPath", "handleUri", "handle"):
        path = rng.choice(["a.csv", "sub/b.csv", "", "dir", "dir/c.csv", "plain/x.csv", "a.csv\0x"])
        return ("csv://" + path) if key != "csvPath" else path
    if key == "duckdb_path":
        return rng.choice(["fuzz.duckdb", "missing/x.duckdb"])
    if key == "sql":
        return rng.choice([
            "CREATE OR REPLACE TABLE {out_table} AS SELECT avg(value) AS m FROM {in_table}",
            "SELEC {in_table}", "CREATE TABLE {out_table} AS SELECT 1 AS v", ""])
    if key in ("data_table", "out_table"):
        return rng.choice(["data_r_C", "agg", "no_such", '"quoted"', b"\xff"])
    if key in ("run_id", "step", "fifoId"):
        return rng.choice(["r", "", "r-1", "\u00e9", f"f{rng.randrange(4)}"])
    if key in ("windowSize", "window_size"):
        return rng.choice([0, 3, 64, -1, 2.5, "8", None, 2**40])
    if key in ("averageMethod", "mode"):
        return rng.choice(["harmonic", "GEOMETRIC", "arithmetic", "weighted", None, 3])
    if key == "sample_id":
        return rng.choice([1, 7, 2**63, 7.0, True])
    return value(rng)


# Well-formed starting points, so that the storage ops also get far enough to succeed.
BASES = {
    "duckdb_checkpoint_cpp": lambda rng: {"run_id": "r", "duckdb_path": "fuzz.duckdb",
                                          "values": [rng.random() for _ in range(5)]},
    "duckdb_sql_cpp": lambda rng: {
        "duckdb_path": "fuzz.duckdb", "data_table": "data_r_C", "out_table": "agg",
        "sql": "CREATE OR REPLACE TABLE {out_table} AS SELECT avg(value) AS m FROM {in_table}"},
}


def payload(rng, op):
    p = DictSub() if rng.random() < 0.05 else {}
    if op in BASES and rng.random() < 0.6:
        p.update(BASES[op](rng))
    for key in rng.sample(KEYS, rng.randrange(0, 9 if not p else 3)):
        p[key] = special(rng, key) if rng.random() < 0.7 else value(rng)
    return p


def csv_files(root):
    found = {}
    for top, _, files in os.walk(root):
        for name in files:
            if name.endswith(".csv"):
                path = os.path.join(top, name)
                with open(path, "rb") as f:
                    found[path] = f.read()
    return found


def unchanged(op, before, after):
    """Whether a failed call left the payload as it was: the same keys holding the same objects,
    but for the checkpoint's one-shot values, which come back as the list of what was read."""
    def same(old, new):
        return old[0] == new[0] and (old[1] is new[1] or (
            op == "duckdb_checkpoint_cpp" and old[0] == "values"
            and isinstance(old[1], (types.GeneratorType, map, zip)) and type(new[1]) is list))

    return len(before) == len(after) and all(map(same, before, after))


OPS = ["fifo_window_buffer", "average", "csv_sink", "duckdb_checkpoint_cpp", "duckdb_sql_cpp"]


def test_random_payloads(host, duckdb_probe, in_tmp):
    os.mkdir("dir")
    with open("plain", "w"):
        pass
    rng = random.Random(SEED)
    deadline = time.monotonic() + SECONDS
    counts = {op: [0, 0] for op in OPS}  # calls, failures
    checkpoints = 0
    while time.monotonic() < deadline:
        op = rng.choices(OPS, weights=[30, 30, 25, 3, 4])[0]
        p = payload(rng, op)
        before = list(p.items())
        files = csv_files(".") if op == "csv_sink" else None
        counts[op][0] += 1
        try:
            host.call(op, p)
        except Exception:  # noqa: BLE001  every failure must be an ordinary Python exception
            counts[op][1] += 1
            assert unchanged(op, before, list(p.items())), op
            if files is not None:
                assert csv_files(".") == files
        else:
            checkpoints += op == "duckdb_checkpoint_cpp" and p.get("duckdb_path") == "fuzz.duckdb"
            if op == "average":
                assert type(p["mean"]) is float and p["se"] is not None
    if os.path.exists("fuzz.duckdb"):
        (rows,) = duckdb_probe.query("fuzz.duckdb", "SELECT count(*) FROM pipeline_state")[0]
        assert rows == checkpoints
    print(f"seed {SEED}: calls/failures {counts}")
    assert all(calls > 0 for calls, _ in counts.values())
