"""csv_sink through the stand-in host: targets, rows, file layout, failures."""
import copy
import json
import os

import pytest

from helpers import HOST_DIR, MODULE_DIR, BadStr, cast_error, check_python

pytestmark = pytest.mark.usefixtures("in_tmp")
STATS = {"mean": 2.0, "se": 0.5, "standardError": 0.5}


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
        pytest.param({"csvPath": "e.csv\0/x", "data": {"a": 1}}, RuntimeError,
                     # the message is a C string: it ends at the NUL
                     "csv_sink_op: failed to open file: e.csv", id="nul-in-path"),
        pytest.param({"csvPath": "e.csv", "data": {1: "x"}}, RuntimeError, cast_error("int"),
                     id="column-name-not-text"),
        pytest.param({"csvPath": "e.csv", "data": {"a": 1, "b": BadStr()}}, ValueError,
                     "no text", id="value-str-raises"),
        pytest.param({"csvPath": "new.csv", "data": {2.5: 1}}, RuntimeError,
                     cast_error("float"), id="no-new-empty-file"),
        pytest.param({"csvPath": "new.csv", "stats": {"a": BadStr()}}, ValueError,
                     "no text", id="no-new-file-on-str-error"),
    ],
)
def test_failure_changes_nothing(host, payload, error, message):
    os.mkdir("nodir")
    with open("e.csv", "wb") as f:
        f.write(b"a,b\n1,2\n")
    before_tree = tree()
    before = copy.copy(payload)
    with pytest.raises(error) as excinfo:
        host.call("csv_sink", payload)
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


# Appends under a file-size limit in a child process; reports the error and the file after.
FILL_AND_APPEND = """
import json, resource, signal, sys
sys.path[:0] = {path!r}
import kestrel, _kestrel_kernels
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
with open("full.csv", "w") as f:
    f.write("a\\n" + "1\\n" * 100)
resource.setrlimit(resource.RLIMIT_FSIZE, (202 + {room}, resource.RLIM_INFINITY))
payload = {{"csvPath": "full.csv", "data": {{"a": "x" * 50}}}}
try:
    kestrel.call("csv_sink", payload)
    error = None
except Exception as e:
    error = [type(e).__name__, str(e)]
with open("full.csv") as f:
    print(json.dumps([error, "status" in payload, f.read()]))
"""


@pytest.mark.parametrize("room", [0, 10], ids=["at-limit", "partial-write"])
def test_write_failure_is_reported_and_taken_back(tmp_path, room):
    out = check_python(FILL_AND_APPEND.format(path=[MODULE_DIR, HOST_DIR], room=room))
    error, has_status, content = json.loads(out)
    assert error == ["RuntimeError", "csv_sink_op: failed to write file: full.csv"]
    assert not has_status
    assert content == "a\n" + "1\n" * 100
