"""duckdb_checkpoint_cpp through the stand-in host, read back through DuckDB's C++ API."""
import array
import copy
import json
import math
import os

import pytest

from helpers import (ArraySub, IntSub, cast_error, check_python, gen, in_memory_error, raising_gen,
                     table_names, timeout_error)

VALUES = "duckdb_checkpoint_cpp: payload['values'] must be a sequence of floats: "
IN_MEMORY = in_memory_error("duckdb_checkpoint_cpp")
TIMEOUT = timeout_error("duckdb_checkpoint_cpp")


pytestmark = pytest.mark.usefixtures("in_tmp")


@pytest.fixture
def read(duckdb_probe):
    def read(sql, path="work.duckdb"):
        return duckdb_probe.query(path, sql)

    return read


def state(read, path="work.duckdb"):
    return read("SELECT * FROM pipeline_state", path)


def test_first_checkpoint(host, read):
    payload = host.call("duckdb_checkpoint_cpp", {"run_id": "r1", "values": [1.5, 2, 3]})
    assert payload == {"run_id": "r1", "duckdb_path": "work.duckdb", "data_table": "data_r1_C"}
    assert read("SELECT * FROM data_r1_C") == [(0, 1.5, 0), (1, 2.0, 0), (2, 3.0, 0)]
    assert state(read) == [("r1", "C", "work.duckdb", "data_r1_C", '{"run_id": "r1"}')]
    assert read("SELECT typeof(payload_json), typeof(run_id) FROM pipeline_state") == [
        ("VARCHAR", "VARCHAR")]
    assert os.listdir() == ["work.duckdb"]  # no write-ahead log left beside it


def test_checkpoints_accumulate(host, read):
    for sample_id in (1, 2):
        host.call("duckdb_checkpoint_cpp", {"run_id": "r1", "values": [1.5, 2, 3],
                                            "sample_id": sample_id})
    assert read("SELECT idx, sample_id FROM data_r1_C") == [
        (0, 1), (1, 1), (2, 1), (0, 2), (1, 2), (2, 2)]
    assert len(state(read)) == 2


@pytest.mark.parametrize(
    "keys, table",
    [
        ({"run_id": "run-1/a", "step": "Stage 2"}, "data_run_1_a_Stage_2"),
        ({"run_id": ""}, "data_table_C"),
        ({"run_id": "", "step": ""}, "data_table_table"),
        ({"run_id": "\u00e9"}, "data____C"),
        ({"run_id": "0x", "step": "_"}, "data_0x__"),
    ],
    ids=repr,
)
def test_table_names(host, read, keys, table):
    payload = host.call("duckdb_checkpoint_cpp", dict(keys, values=[1.0]))
    assert payload["data_table"] == table
    assert read(f"SELECT * FROM {table}") == [(0, 1.0, 0)]
    assert state(read)[0][:2] == (keys["run_id"], keys.get("step", "C"))


def test_colliding_names_share_a_table(host, read):
    for run_id, step in (("a-b", "C"), ("a.b", "C"), ("a", "b_C")):
        payload = host.call("duckdb_checkpoint_cpp", {"run_id": run_id, "step": step,
                                                      "values": [len(run_id)]})
        assert payload["data_table"] == "data_a_b_C"
    assert read("SELECT value FROM data_a_b_C") == [(3.0,), (3.0,), (1.0,)]
    assert [r[:2] for r in state(read)] == [("a-b", "C"), ("a.b", "C"), ("a", "b_C")]


@pytest.mark.parametrize("values", [{}, {"values": None}], ids=["absent", "none"])
def test_no_values(host, read, values):
    payload = host.call("duckdb_checkpoint_cpp", dict(values, run_id="r", other=[1, "x"]))
    assert payload == {"run_id": "r", "other": [1, "x"], "duckdb_path": "work.duckdb",
                       "data_table": "data_r_C"}
    assert read("SELECT count(*) FROM data_r_C") == [(0,)]
    assert state(read)[0][4] == '{"run_id": "r", "other": [1, "x"]}'


@pytest.mark.parametrize(
    "values, stored",
    [
        (gen(0.5, 1.5), [0.5, 1.5]),
        ({2.5}, [2.5]),
        ((True, 2), [1.0, 2.0]),
        ({"a": 4}.values(), [4.0]),
        (range(2), [0.0, 1.0]),
        ([float("inf"), -0.0], [float("inf"), -0.0]),
        (memoryview(array.array("q", [1, 2**53 + 1]))[::-1], [2.0**53, 1.0]),
        (ArraySub("d", [1.0, 2.0]), [9.0]),
    ],
    ids=["generator", "set", "tuple", "dict-values", "range", "inf", "array", "array-subclass"],
)
def test_value_shapes(host, read, values, stored):
    host.call("duckdb_checkpoint_cpp", {"run_id": "r", "values": values})
    assert [r[0] for r in read("SELECT value FROM data_r_C")] == stored


def test_sample_id_and_json_text(host, read):
    payload = {"run_id": "r\u00e9", "values": [1.0], "sample_id": 7, "note": "caf\u00e9 \u2603",
               "duckdb_path": "work.duckdb", "data_table": "old", "n": {"k": [1.5, None, True]}}
    host.call("duckdb_checkpoint_cpp", payload)
    assert read("SELECT sample_id FROM data_r___C") == [(7,)]
    (row,) = state(read)
    assert row[0] == "r\u00e9"
    assert row[4] == ('{"run_id": "r\\u00e9", "sample_id": 7, "note": "caf\\u00e9 \\u2603", '
                      '"duckdb_path": "work.duckdb", "data_table": "old", '
                      '"n": {"k": [1.5, null, true]}}')
    assert json.loads(row[4])["note"] == "caf\u00e9 \u2603"
    assert payload["data_table"] == "data_r___C"


@pytest.mark.parametrize(
    "payload, error, message",
    [
        ({"values": [1]}, RuntimeError, "duckdb_checkpoint_cpp requires payload['run_id']"),
        ({"run_id": None}, RuntimeError, cast_error("NoneType")),
        ({"run_id": "r", "step": 3}, RuntimeError, cast_error("int")),
        ({"run_id": "r", "duckdb_path": 1.5}, RuntimeError, cast_error("float")),
        ({"run_id": "\ud800"}, RuntimeError, cast_error("str")),
        ({"run_id": "r", "values": "123"}, RuntimeError, VALUES + cast_error("str")),
        ({"run_id": "r", "values": [1, "x"]}, RuntimeError, VALUES + cast_error("list")),
        ({"run_id": "r", "values": [1, None]}, RuntimeError, VALUES + cast_error("list")),
        ({"run_id": "r", "values": 5}, RuntimeError, VALUES + cast_error("int")),
        ({"run_id": "r", "values": memoryview(b"ab").cast("c")}, RuntimeError,
         VALUES + cast_error("memoryview")),
        ({"run_id": "r", "values": memoryview(bytes(16)).cast("d", [2, 1])}, RuntimeError,
         VALUES + "NotImplementedError: multi-dimensional sub-views are not implemented"),
        ({"run_id": "r", "sample_id": 7.0}, RuntimeError, cast_error("float")),
        ({"run_id": "r", "sample_id": 2**63}, RuntimeError, cast_error("int")),
        ({"run_id": b"r1", "values": [1.0]}, TypeError, "Object of type bytes is not JSON serializable"),
        ({"run_id": "r", "extra": {1, 2}}, TypeError, "Object of type set is not JSON serializable"),
        ({"run_id": "r", "duckdb_path": b"x.db"}, TypeError,
         "Object of type bytes is not JSON serializable"),
        ({"run_id": "r", "duckdb_path": "", "values": gen(0.5)}, RuntimeError, IN_MEMORY + "''"),
        ({"run_id": "r", "duckdb_path": ":memory:"}, RuntimeError, IN_MEMORY + "':memory:'"),
        ({"run_id": "r", "duckdb_path": "x.db\0y"}, RuntimeError,
         "duckdb_checkpoint_cpp: payload['duckdb_path'] must not contain a NUL byte"),
        ({"run_id": "r", "duckdb_lock_timeout": -1}, RuntimeError, TIMEOUT),
        ({"run_id": "r", "duckdb_lock_timeout": "5"}, RuntimeError, TIMEOUT),
        ({"run_id": "r", "duckdb_lock_timeout": None}, RuntimeError, TIMEOUT),
        ({"run_id": "r", "duckdb_lock_timeout": True}, RuntimeError, TIMEOUT),
        ({"run_id": "r", "duckdb_lock_timeout": float("nan")}, RuntimeError, TIMEOUT),
    ],
    ids=lambda v: repr(v)[:40],
)
def test_bad_input_changes_nothing(host, payload, error, message):
    before = copy.copy(payload)
    with pytest.raises(error) as excinfo:
        host.call("duckdb_checkpoint_cpp", payload)
    assert_message(excinfo.value, message)
    assert payload.keys() == before.keys() and all(payload[k] is before[k] for k in payload)
    assert os.listdir() == []


def assert_message(error, message):
    # A Python cause's text is followed by its traceback: those messages end in "\n" here.
    text = str(error)
    assert text.startswith(message) if message.endswith("\n") else text == message


# Values that reading uses up come back as the list of what was read, the failing one included.
@pytest.mark.parametrize("values, message, read", [
    ((x for x in [1.0, "x"]), VALUES + cast_error("list"), [1.0, "x"]),
    (raising_gen([1.0, 2.0]), VALUES + "ValueError: generator failed\n", [1.0, 2.0]),
    (map(float, ["1", "x"]), VALUES + "ValueError: could not convert string to float: 'x'",
     [1.0]),
], ids=["generator", "raising-generator", "map"])
def test_failed_reading_gives_back_what_was_read(host, values, message, read):
    payload = {"run_id": "r", "values": values}
    with pytest.raises(RuntimeError) as excinfo:
        host.call("duckdb_checkpoint_cpp", payload)
    assert_message(excinfo.value, message)
    assert payload == {"run_id": "r", "values": read} and os.listdir() == []


@pytest.mark.parametrize("timeout", [0, 2.5, math.inf, 10**400, IntSub(3)],
                         ids=["0", "2.5", "inf", "10**400", "int-subclass"])
def test_lock_timeouts(host, duckdb_probe, timeout):
    host.call("duckdb_checkpoint_cpp", {"run_id": "r", "duckdb_lock_timeout": timeout})
    assert table_names(duckdb_probe, "work.duckdb") == ["data_r_C", "pipeline_state"]


# Another process, with DuckDB's defaults and read-only, counts the rows of every table of the
# file and sums their values.
READ_BACK = """
import json, _tarnwell_duckdb_probe as probe
def query(sql):
    return probe.query({db!r}, sql, read_only=True)
print(json.dumps([[t, query(f"SELECT count(*), {{'NULL' if t == 'pipeline_state' else 'sum(value)'}} "
                            f"FROM {{t}}")[0]]
                  for (t,) in query("SELECT table_name FROM duckdb_tables() ORDER BY 1")]))
"""


def test_file_stays_readable_and_writable_by_other_clients(host, duckdb_probe):
    def checkpoint(run_id, n):
        host.call("duckdb_checkpoint_cpp", {"run_id": run_id, "values": [0.5] * n})

    checkpoint("a", 3000)  # more than one of DuckDB's vectors
    duckdb_probe.query("work.duckdb", "CREATE TABLE other AS SELECT 2.0::DOUBLE AS value FROM range(5000)")
    checkpoint("b", 10)
    host.call("duckdb_sql_cpp", {"duckdb_path": "work.duckdb", "data_table": "data_a_C",
                                 "out_table": "s", "sql": "CREATE TABLE {out_table} AS "
                                                          "SELECT sum(value) AS value FROM {in_table}"})
    duckdb_probe.query("work.duckdb", "INSERT INTO data_b_C SELECT range, 1.0, 9 FROM range(2)")
    checkpoint("a", 4)
    assert json.loads(check_python(READ_BACK.format(db=os.path.abspath("work.duckdb")))) == [
        ["data_a_C", [3004, 1502.0]], ["data_b_C", [12, 7.0]], ["other", [5000, 10000.0]],
        ["pipeline_state", [3, None]], ["s", [1, 1500.0]]]


def test_database_that_cannot_be_opened(host):
    payload = {"run_id": "r", "duckdb_path": "missing/dir/x.duckdb", "values": [1.0]}
    with pytest.raises(RuntimeError) as excinfo:
        host.call("duckdb_checkpoint_cpp", payload)
    error = json.loads(str(excinfo.value))
    assert error["exception_type"] == "IO" and "missing/dir/x.duckdb" in error["exception_message"]
    assert list(payload) == ["run_id", "duckdb_path", "values"] and os.listdir() == []


# Paths that DuckDB reads as an extension's database or a remote file, and calls that fail on a
# new file: the folder stays as it was (DuckDB finds no home folder for extensions either).
@pytest.mark.parametrize("op, payload", [
    ("duckdb_checkpoint_cpp", {"run_id": "r", "values": [1.0], "sql": None}),
    ("duckdb_sql_cpp", {"data_table": "", "out_table": "t", "sql": "CREATE TABLE t (x INT)"}),
    ("duckdb_sql_cpp", {"data_table": "", "out_table": "t", "sql": "SELEC 1"}),
], ids=["checkpoint", "sql", "failing-sql"])
@pytest.mark.parametrize("path", ["md:x", "file:x.duckdb", "sqlite:x.db", "s3://b/x.duckdb",
                                  "new.duckdb"])
def test_failed_call_leaves_the_folder_as_it_was(host, monkeypatch, op, payload, path):
    monkeypatch.setenv("HOME", os.path.abspath("home"))
    fails = path != "new.duckdb" or payload["sql"] == "SELEC 1"
    try:
        host.call(op, dict(payload, duckdb_path=path))
        assert not fails
    except RuntimeError:
        assert fails
    assert os.listdir() == ([] if fails else ["new.duckdb"])


def test_temporary_of_a_killed_creator_is_removed(host):
    gone = check_python("import os; print(os.getpid())").strip()
    for name in (f".work.duckdb.new-{gone}-0", f".work.duckdb.new-{os.getpid()}-99"):
        open(name, "w").close()
    host.call("duckdb_checkpoint_cpp", {"run_id": "r"})
    assert sorted(os.listdir()) == [f".work.duckdb.new-{os.getpid()}-99", "work.duckdb"]


def test_failed_commit_gives_duckdbs_error(host, read):
    host.call("duckdb_checkpoint_cpp", {"run_id": "r", "values": [0.5] * 3000})
    os.truncate("work.duckdb", os.path.getsize("work.duckdb") - 4096)
    payload = {"run_id": "r", "values": [1.0]}
    with pytest.raises(RuntimeError) as excinfo:
        host.call("duckdb_checkpoint_cpp", payload)
    error = json.loads(str(excinfo.value))
    assert error["exception_type"] == "TransactionContext", error
    assert payload == {"run_id": "r", "values": [1.0]}


def prepared(duckdb_probe, sql):
    duckdb_probe.query("work.duckdb", sql)
    return duckdb_probe.query("work.duckdb", "SELECT table_name, column_count FROM duckdb_tables()")


@pytest.mark.parametrize(
    "existing, prefix",
    [
        ("CREATE TABLE pipeline_state (a INTEGER)", '{"exception_type":"Binder"'),
        ("CREATE TABLE data_r_C (idx BIGINT)", '{"exception_type":"Invalid Input"'),
        ("CREATE VIEW data_r_C AS SELECT 1 AS x", '{"exception_type":"Catalog"'),
    ],
    ids=["state-of-another-shape", "data-table-of-another-shape", "view-in-the-way"],
)
@pytest.mark.parametrize("one_shot", [False, True], ids=["list", "generator"])
def test_database_failure_rolls_back(host, duckdb_probe, read, existing, prefix, one_shot):
    before = prepared(duckdb_probe, existing)
    values = [1.0, 2.0]
    payload = {"run_id": "r", "values": (x for x in values) if one_shot else values}
    with pytest.raises(RuntimeError) as excinfo:
        host.call("duckdb_checkpoint_cpp", payload)
    assert str(excinfo.value).startswith(prefix), str(excinfo.value)
    # What reading used up comes back as a list, so that a retry stores it.
    assert payload == {"run_id": "r", "values": values}
    assert (payload["values"] is values) is not one_shot
    assert read("SELECT table_name, column_count FROM duckdb_tables()") == before
    if "pipeline_state" in [t for t, _ in before]:
        assert read("SELECT count(*) FROM pipeline_state") == [(0,)]
