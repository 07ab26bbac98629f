"""csv_sink through the stand-in host: targets, rows, file layout, failures."""
import copy
import json
import os
import threading
import time

import pytest

from helpers import (HOST_DIR, MODULE_DIR, BadStr, FloatSub, StrSub, cast_error, check_python,
                     fault_env, flock_held, interrupt, run_together, wait_for_descriptors)

pytestmark = pytest.mark.usefixtures("in_tmp")
STATS = {"mean": 2.0, "se": 0.5, "standardError": 0.5}
# Values at the edges of the texts of plain floats and ints, and values next to plain ones.
PLAIN_VALUES = [-0.0, 0.1, 1e16, 1e-4, 123456789012345.6, 5e-324, 1.7976931348623157e308,
                -2**63, 2**63 - 1, False]
NEAR_PLAIN_VALUES = [2**63, -10**40, StrSub("s"), FloatSub(0.5), 1j]


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def tree(root="."):
    """Every path under `root`, relative, sorted."""
    found = []
    for top, dirs, files in os.walk(root):
        found += [os.path.relpath(os.path.join(top, n), root) for n in dirs + files]
    return sorted(found)


@pytest.mark.parametrize(
    "payload, status",
    [
        pytest.param({"data": {"a": 1}}, "handled via ", id="no-target"),
        pytest.param({"handleUri": "s3://bucket/x", "data": {"a": 1}}, "handled via s3://bucket/x",
                     id="other-scheme"),
        pytest.param({"handleUri": "CSV://a.csv", "data": {"a": 1}}, "handled via CSV://a.csv",
                     id="scheme-case-sensitive"),
        pytest.param({"handle": "", "csvPath": "a.csv", "data": {"a": 1}}, "handled via ",
                     id="empty-handle-wins"),
        pytest.param({"csvPath": "a.csv", "data": {}, "stats": STATS}, "handled via csv://a.csv",
                     id="empty-dict-row"),
        pytest.param({"csvPath": "a.csv", "se": 0.1}, "handled via csv://a.csv", id="se-without-mean"),
        pytest.param({"csvPath": "d/a.csv"}, "handled via csv://d/a.csv", id="no-row-keys"),
    ],
)
def test_nothing_written(host, payload, status):
    result = host.call("csv_sink", payload)
    assert result["status"] == status
    assert tree() == []


@pytest.mark.parametrize(
    "payload, lines",
    [
        pytest.param({"csvPath": "out/run1.csv", "data": {"a": 1, "b": 2.5}}, ["a,b", "1,2.5"],
                     id="data-dict"),
        pytest.param({"csvPath": "out/run1.csv", "data": 3.5}, ["value", "3.5"], id="data-number"),
        pytest.param({"csvPath": "out/run1.csv", "data": [1.0, 2.0], "stats": STATS},
                     ["mean,se,standardError", "2.0,0.5,0.5"], id="stats-after-average"),
        pytest.param({"csvPath": "out/run1.csv", "data": [1.0, 2.0]}, ["value", "[1.0, 2.0]"],
                     id="data-list-unquoted"),
        pytest.param({"csvPath": "out/run1.csv", "data": [["x", 1], ["y", 2]]}, ["x,y", "1,2"],
                     id="data-pairs"),
        pytest.param({"csvPath": "out/run1.csv", "mean": 2.0, "se": 0.1}, ["mean,se", "2.0,0.1"],
                     id="mean-se"),
        pytest.param({"csvPath": "out/run1.csv", "mean": None}, ["mean", "None"], id="mean-only"),
        pytest.param({"csvPath": "out/run1.csv", "stats": "x", "data": "y"}, ["value", "y"],
                     id="neither-a-dict"),
        pytest.param({"csvPath": "out/run1.csv",
                      "data": {"t": True, "n": None, "s": "a,b\nc", "f": 1e-5, "nan": float("nan"),
                               "inf": float("-inf"), "u": "\u00e9", "i": -12}},
                     ["t,n,s,f,nan,inf,u,i", "True,None,a,b", "c,1e-05,nan,-inf,\u00e9,-12"],
                     id="value-texts-verbatim"),
        pytest.param({"csvPath": "out/run1.csv", "data": {str(v): v for v in PLAIN_VALUES}},
                     [",".join(map(str, PLAIN_VALUES))] * 2, id="plain-values-as-str"),
        pytest.param({"csvPath": "out/run1.csv", "data": {str(v): v for v in NEAR_PLAIN_VALUES}},
                     [",".join(map(str, NEAR_PLAIN_VALUES))] * 2, id="near-plain-values-as-str"),
    ],
)
def test_row_written(host, payload, lines):
    result = host.call("csv_sink", payload)
    assert result["status"] == "handled via csv://out/run1.csv"
    with open("out/run1.csv", encoding="utf-8", newline="") as f:
        assert f.read() == "".join(line + "\n" for line in lines)


@pytest.mark.parametrize(
    "target",
    [
        pytest.param({"handleUri": "csv://t.csv", "csvPath": 42}, id="handleUri-first"),
        pytest.param({"handle": "csv://t.csv", "csvPath": 42}, id="handle-second"),
        pytest.param({"handleUri": "csv://t.csv", "handle": 42}, id="handle-not-read"),
        pytest.param({"csvPath": "t.csv"}, id="csvPath-third"),
        pytest.param({"csvPath": b"t.csv"}, id="bytes-path"),
    ],
)
def test_target_choice(host, target):
    host.call("csv_sink", dict(target, data={"a": 1}))
    assert read("t.csv") == "a\n1\n"


def test_absolute_path_and_header_once(host, tmp_path):
    path = tmp_path / "deep" / "er" / "x.csv"
    for value in (1, 2):
        host.call("csv_sink", {"handleUri": f"csv://{path}", "data": {"a": value}})
    host.call("csv_sink", {"handleUri": f"csv://{path}", "data": {"b": 3, "c": 4}})
    assert path.read_text() == "a\n1\n2\n3,4\n"


@pytest.mark.parametrize("content, expected", [("", "a\n1\n"), ("old\n", "old\n1\n")])
def test_existing_file_header_rule(host, content, expected):
    with open("e.csv", "w") as f:
        f.write(content)
    host.call("csv_sink", {"csvPath": "e.csv", "data": {"a": 1}})
    assert read("e.csv") == expected


@pytest.mark.parametrize(
    "payload, error, message",
    [
        pytest.param({"handleUri": 7, "data": {"a": 1}}, RuntimeError, cast_error("int"), id="uri-not-text"),
        pytest.param({"csvPath": None, "data": {"a": 1}}, RuntimeError,
                     cast_error("NoneType"), id="csvPath-none"),
        pytest.param({"handleUri": "csv://", "data": {"a": 1}}, RuntimeError,
                     "csv_sink_op: failed to open file: ", id="empty-path"),
        pytest.param({"csvPath": "nodir/", "data": {"a": 1}}, RuntimeError,
                     "filesystem error: cannot get file size: Is a directory [nodir/]",
                     id="path-is-directory"),
        pytest.param({"csvPath": "/dev/full", "data": {"a": 1}}, RuntimeError,
                     "filesystem error: cannot get file size: Operation not supported [/dev/full]",
                     id="not-a-regular-file"),
        pytest.param({"csvPath": "fifo", "data": {"a": 1}}, RuntimeError,
                     "filesystem error: cannot get file size: Operation not supported [fifo]",
                     id="fifo-not-opened"),
        pytest.param({"csvPath": "read-fifo", "data": {"a": 1}}, RuntimeError,
                     "filesystem error: cannot get file size: Operation not supported [read-fifo]",
                     id="fifo-with-reader-gets-nothing"),
        pytest.param({"csvPath": "n" * 300, "data": {"a": 1}}, RuntimeError,
                     f"filesystem error: status: File name too long [{'n' * 300}]",
                     id="status-unavailable"),
        pytest.param({"csvPath": "e.csv\0/x", "data": {"a": 1}}, RuntimeError,
                     # the message is a C string: it ends at the NUL
                     "csv_sink_op: failed to open file: e.csv", id="nul-in-path"),
        pytest.param({"csvPath": "e.csv", "data": {1: "x"}}, RuntimeError, cast_error("int"),
                     id="column-name-not-text"),
        pytest.param({"csvPath": "e.csv", "data": {"a": 1, "b": BadStr()}}, ValueError,
                     "no text", id="value-str-raises"),
        pytest.param({"csvPath": "e.csv", "data": {"a": "\ud800"}}, UnicodeEncodeError,
                     "'utf-8' codec can't encode character '\\ud800' in position 0: "
                     "surrogates not allowed", id="value-not-utf8"),
        pytest.param({"csvPath": "new.csv", "data": {2.5: 1}}, RuntimeError,
                     cast_error("float"), id="no-new-empty-file"),
        pytest.param({"csvPath": "new.csv", "stats": {"a": BadStr()}}, ValueError,
                     "no text", id="no-new-file-on-str-error"),
        pytest.param({"csvPath": "newdir/x.csv", "data": {"a": BadStr()}}, ValueError,
                     "no text", id="no-new-folder-on-str-error"),
    ],
)
def test_failure_changes_nothing(host, payload, error, message):
    os.mkdir("nodir")
    os.mkfifo("fifo")
    os.mkfifo("read-fifo")
    with open("e.csv", "wb") as f:
        f.write(b"a,b\n1,2\n")
    before_tree = tree()
    before = copy.copy(payload)
    with os.fdopen(os.open("read-fifo", os.O_RDONLY | os.O_NONBLOCK), "rb") as reader:
        with pytest.raises(error) as excinfo:
            host.call("csv_sink", payload)
        assert reader.read() == b""
    assert str(excinfo.value) == message
    assert payload == before and "status" not in payload
    assert tree() == before_tree
    assert read("e.csv", "rb") == b"a,b\n1,2\n"


def test_unopenable_file(host):
    with open("plain", "w"):
        pass
    payload = {"csvPath": "plain/sub/x.csv", "data": {"a": 1}}
    with pytest.raises(RuntimeError) as excinfo:
        host.call("csv_sink", payload)
    assert str(excinfo.value) == "csv_sink_op: failed to open file: plain/sub/x.csv"
    assert "status" not in payload
    assert tree() == ["plain"]


ORIGINAL = "a\n" + "1\n" * 100
ROW = "x" * 50 + "\n"

# Appends ROW to full.csv in a child process, under a file-size limit of `room` bytes beyond
# ORIGINAL when `room` is set; prints the error and whether "status" was set.
APPEND_ONE_ROW = """
import json, resource, signal, sys
sys.path[:0] = {path!r}
import kestrel, _kestrel_kernels
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
if {room!r} is not None:
    resource.setrlimit(resource.RLIMIT_FSIZE, ({size} + {room!r}, resource.RLIM_INFINITY))
payload = {{"csvPath": "full.csv", "data": {{"a": "x" * 50}}}}
try:
    kestrel.call("csv_sink", payload)
    error = None
except Exception as e:
    error = [type(e).__name__, str(e)]
print(json.dumps([error, "status" in payload]))
"""
WRITE_FAILED = "csv_sink_op: failed to write file: full.csv"


# `fault` is a failure that tests/shim/fault_shim.cpp injects; "other\n" is what its other
# writer appends, after which nothing may be cut.
@pytest.mark.parametrize(
    "room, fault, message, content",
    [
        pytest.param(0, None, WRITE_FAILED, ORIGINAL, id="at-limit"),
        pytest.param(10, None, WRITE_FAILED, ORIGINAL, id="partial-write"),
        pytest.param(10, "append-write", WRITE_FAILED, ORIGINAL + "other\nxxxx",
                     id="partial-write-after-other-append"),
        pytest.param(None, "close", WRITE_FAILED, ORIGINAL, id="close-fails"),
        pytest.param(None, "append-close", WRITE_FAILED, ORIGINAL + ROW + "other\n",
                     id="close-fails-after-other-append"),
        pytest.param(None, "flock", "csv_sink_op: failed to lock file: full.csv", ORIGINAL,
                     id="no-lock"),
    ],
)
def test_failed_append_is_reported_and_taken_back(room, fault, message, content):
    with open("full.csv", "w") as f:
        f.write(ORIGINAL)
    env = fault_env(fault, "full.csv") if fault else {}
    code = APPEND_ONE_ROW.format(path=[MODULE_DIR, HOST_DIR], size=len(ORIGINAL), room=room)
    error, has_status = json.loads(check_python(code, env=env))
    assert error == ["RuntimeError", message]
    assert not has_status
    assert read("full.csv") == content


# Appends 200 rows to many.csv as process `n`, from the moment its standard input closes.
APPEND_ROWS = """
import sys, kestrel, _kestrel_kernels
print("ready", flush=True)
sys.stdin.read()
for i in range(200):
    kestrel.call("csv_sink", {{"csvPath": "many.csv", "data": {{"n": {n}, "i": i, "pad": "x" * 200}}}})
"""


def test_concurrent_appenders_write_one_header_and_whole_lines():
    assert run_together([APPEND_ROWS.format(n=n) for n in range(4)]) == ([0] * 4, [""] * 4)
    lines = read("many.csv").split("\n")
    assert lines[0] == "n,i,pad" and lines[-1] == ""
    expected = [[str(n), str(i), "x" * 200] for n in range(4) for i in range(200)]
    assert sorted(line.split(",") for line in lines[1:-1]) == sorted(expected)


HOLD = 0.5


# A consumer may rename the file (to rotate it) while the row waits for its lock: the row then
# goes to a new file under the path, never into the renamed one.
@pytest.mark.parametrize("renamed", [False, True], ids=["held", "renamed-meanwhile"])
def test_waits_for_a_held_file_while_other_threads_run(host, renamed):
    with open("x.csv", "w") as f:
        f.write("a\n1\n")
    payload = {"csvPath": "x.csv", "data": {"a": 2}}
    with flock_held("x.csv", most=3 * HOLD):
        writer = threading.Thread(target=host.call, args=("csv_sink", payload))
        writer.start()
        wait_for_descriptors("x.csv", 1)
        ticks = [time.monotonic()]
        while ticks[-1] < ticks[0] + HOLD:
            time.sleep(0.01)
            ticks.append(time.monotonic())
        if renamed:
            os.rename("x.csv", "x.csv.1")
    writer.join()
    assert max(b - a for a, b in zip(ticks, ticks[1:])) < HOLD / 2
    assert payload["status"] == "handled via csv://x.csv"
    if renamed:
        assert (read("x.csv.1"), read("x.csv")) == ("a\n1\n", "a\n2\n")
    else:
        assert read("x.csv") == "a\n1\n2\n"


def test_ctrl_c_stops_the_wait_for_a_held_file():
    with open("x.csv", "w") as f:
        f.write("a\n1\n")
    with flock_held("x.csv"):
        outcome = interrupt("csv_sink", {"csvPath": "x.csv", "data": {"a": 2}}, wait_for="x.csv")
    assert outcome[:2] == ("interrupted", True) and outcome[2] < 2.0
    assert read("x.csv") == "a\n1\n"
