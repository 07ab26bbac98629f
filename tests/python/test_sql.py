"""duckdb_sql_cpp through the stand-in host."""
import copy
import json
import os

import pytest

from helpers import cast_error, check_python, in_memory_error, table_names, timeout_error
AGGREGATE = "CREATE TABLE {out_table} AS SELECT avg(value) AS m FROM {in_table}"


@pytest.fixture
def db(tmp_path, host, duckdb_probe):
    """A database file holding the checkpointed table data_r1_s1 with values 1, 2, 3."""
    path = str(tmp_path / "x.duckdb")
    host.call("duckdb_checkpoint_cpp", {"run_id": "r1", "step": "s1", "values": [1, 2, 3],
                                        "duckdb_path": path})
    return path


def test_runs_from_table_to_table(host, duckdb_probe, db):
    payload = {"duckdb_path": db, "data_table": "data_r1_s1", "sql": AGGREGATE, "out_table": "agg_r1"}
    host.call("duckdb_sql_cpp", payload)
    assert payload == {"duckdb_path": db, "data_table": "agg_r1", "sql": AGGREGATE,
                       "out_table": "agg_r1"}
    assert duckdb_probe.query(db, "SELECT m FROM agg_r1") == [(2.0,)]


@pytest.mark.parametrize(
    "sql, in_table, out_table, check, expected",
    [
        ("CREATE TABLE {out_table} AS SELECT a.value FROM {in_table} a JOIN {in_table} b "
         "ON a.idx = b.idx", "data_r1_s1", "t", "SELECT count(*) FROM t", [(3,)]),
        ("CREATE TABLE fixed AS SELECT 42 AS v", "data_r1_s1", "t2", "SELECT v FROM fixed", [(42,)]),
        ("CREATE TABLE {in_table} AS SELECT 1 AS v", "x{out_table}", "_y", "SELECT v FROM x_y",
         [(1,)]),
        ('CREATE TABLE "{out_table}" AS SELECT 2 AS v', "data_r1_s1", "a{in_table}",
         'SELECT v FROM "a{in_table}"', [(2,)]),
        ("BEGIN; CREATE TABLE {out_table} AS SELECT sum(value) AS s FROM {in_table}; COMMIT;",
         b"data_r1_s1", bytearray(b"summed"), "SELECT s FROM summed", [(6.0,)]),
        ('CREATE TABLE "{in_table}" AS SELECT 3 AS v', "{in_table}", "_", 'SELECT v FROM "{in_table}"',
         [(3,)]),
        ("CREATE TABLE {out_table} AS SELECT count(*) AS n FROM {in_table}"
         + " /* {in_table} {out_table} */" * 40_000, "data_r1_s1", "big_text", "SELECT n FROM big_text",
         [(3,)]),
        ("CREATE TABLE {out_table} AS SELECT 1 AS v; SELECT * FROM range(10) t(i)", "data_r1_s1",
         "then_select", "SELECT v FROM then_select", [(1,)]),
    ],
    ids=["placeholder-twice", "no-placeholders", "in-name-holds-out-placeholder",
         "out-name-holds-in-placeholder", "own-transaction-and-bytes", "name-is-its-placeholder",
         "megabyte-of-placeholders", "ends-in-select"],
)
def test_placeholders(host, duckdb_probe, db, sql, in_table, out_table, check, expected):
    payload = {"duckdb_path": db, "data_table": in_table, "sql": sql, "out_table": out_table}
    host.call("duckdb_sql_cpp", payload)
    assert duckdb_probe.query(db, check) == expected
    assert payload["data_table"] == (out_table if isinstance(out_table, str) else out_table.decode())
    assert type(payload["data_table"]) is str


FULL = {"duckdb_path": "p", "data_table": "t", "sql": "s", "out_table": "o"}
IN_MEMORY = in_memory_error("duckdb_sql_cpp")
TIMEOUT = timeout_error("duckdb_sql_cpp")


@pytest.mark.parametrize(
    "payload, message",
    [
        ({}, "duckdb_sql_cpp requires payload['duckdb_path']"),
        ({"sql": "s", "out_table": "o"}, "duckdb_sql_cpp requires payload['duckdb_path']"),
        ({"duckdb_path": "p"}, "duckdb_sql_cpp requires payload['data_table']"),
        ({"duckdb_path": "p", "data_table": "t"}, "duckdb_sql_cpp requires payload['sql']"),
        ({"duckdb_path": None, "data_table": "t", "out_table": "o"},
         "duckdb_sql_cpp requires payload['sql']"),
        ({"duckdb_path": "p", "data_table": "t", "sql": "s"},
         "duckdb_sql_cpp requires payload['out_table']"),
        (dict(FULL, duckdb_path=None), cast_error("NoneType")),
        (dict(FULL, data_table=3), cast_error("int")),
        (dict(FULL, sql=["x"]), cast_error("list")),
        (dict(FULL, out_table=1.5), cast_error("float")),
        (dict(FULL, duckdb_path=""), IN_MEMORY + "''"),
        (dict(FULL, duckdb_path=":memory:"), IN_MEMORY + "':memory:'"),
        (dict(FULL, duckdb_path="x\0y"), "duckdb_sql_cpp: payload['duckdb_path'] must not contain a NUL byte"),
        (dict(FULL, duckdb_lock_timeout=-0.5), TIMEOUT),
        (dict(FULL, duckdb_lock_timeout=[1]), TIMEOUT),
    ],
    ids=repr,
)
def test_inputs_checked_before_anything(host, in_tmp, payload, message):
    before = copy.deepcopy(payload)
    with pytest.raises(RuntimeError) as excinfo:
        host.call("duckdb_sql_cpp", payload)
    assert str(excinfo.value) == message
    assert payload == before and os.listdir() == []


@pytest.mark.parametrize(
    "sql, message",
    [
        ("SELEC {in_table}", 'duckdb_sql_cpp failed: Parser Error: syntax error at or near "SELEC"'),
        ("CREATE TABLE {out_table} AS SELECT 1 AS v; SELECT * FROM no_such_table",
         "duckdb_sql_cpp failed: Catalog Error: Table with name no_such_table does not exist!"),
        ("BEGIN TRANSACTION; CREATE TABLE {out_table} AS SELECT 1 AS v",
         "duckdb_sql_cpp failed: the SQL left a transaction open"),
        ("SELECT CAST(CASE WHEN i < 999999 THEN '1' ELSE 'x' END AS INTEGER) FROM range(1000000) t(i)",
         "duckdb_sql_cpp failed: Conversion Error: Could not convert string 'x' to INT32"),
    ],
    ids=["parse-error", "second-statement-fails", "transaction-left-open", "error-in-last-row"],
)
def test_failing_text_is_reported(host, duckdb_probe, db, sql, message):
    payload = {"duckdb_path": db, "data_table": "data_r1_s1", "sql": sql, "out_table": "t"}
    before = table_names(duckdb_probe, db)
    with pytest.raises(RuntimeError) as excinfo:
        host.call("duckdb_sql_cpp", payload)
    assert str(excinfo.value).startswith(message), str(excinfo.value)
    assert payload["data_table"] == "data_r1_s1"
    if "transaction" in message:
        assert table_names(duckdb_probe, db) == before


def test_result_rows_are_not_kept(db):
    out = check_python(f"""
        import resource, kestrel, _kestrel_sqlstore
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        kestrel.call("duckdb_sql_cpp", {{"duckdb_path": {db!r}, "data_table": "x", "out_table": "y",
                                        "sql": "SELECT i, i * 2 AS j FROM range(20000000) t(i)"}})
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
        """)
    assert int(out) < 100 * 1024  # KiB: the 2e7 rows would take over 300 MiB


def test_failing_text_leaves_data_table_and_retry_works(host, duckdb_probe, db):
    payload = {"duckdb_path": db, "data_table": "data_r1_s1", "sql": AGGREGATE, "out_table": "agg"}
    host.call("duckdb_sql_cpp", payload)
    payload.update(data_table="data_r1_s1", out_table="agg")
    with pytest.raises(RuntimeError) as excinfo:
        host.call("duckdb_sql_cpp", payload)  # the output table exists: not dropped
    assert str(excinfo.value).startswith(
        'duckdb_sql_cpp failed: Catalog Error: Table with name "agg" already exists!')
    assert payload["data_table"] == "data_r1_s1"
    payload["sql"] = "CREATE OR REPLACE TABLE {out_table} AS SELECT max(value) AS m FROM {in_table}"
    host.call("duckdb_sql_cpp", payload)
    assert payload["data_table"] == "agg"
    assert duckdb_probe.query(db, "SELECT m FROM agg") == [(3.0,)]


def test_undecodable_out_table_runs_nothing(host, duckdb_probe, db):
    before = table_names(duckdb_probe, db)
    payload = {"duckdb_path": db, "data_table": "data_r1_s1", "out_table": b"\xff",
               "sql": "CREATE TABLE applied AS SELECT 1 AS v"}
    with pytest.raises(UnicodeDecodeError):
        host.call("duckdb_sql_cpp", payload)
    assert payload["data_table"] == "data_r1_s1"
    assert table_names(duckdb_probe, db) == before


def test_database_that_cannot_be_opened(host, tmp_path):
    payload = dict(FULL, duckdb_path=str(tmp_path / "missing" / "x.duckdb"))
    with pytest.raises(RuntimeError) as excinfo:
        host.call("duckdb_sql_cpp", payload)
    assert json.loads(str(excinfo.value))["exception_type"] == "IO"
    assert payload == dict(FULL, duckdb_path=str(tmp_path / "missing" / "x.duckdb"))
