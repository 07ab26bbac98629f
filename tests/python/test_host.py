"""The stand-in host's own contract: registrations, call, run."""
import json

import pytest

from helpers import check_python


def test_unknown_op_raises_key_error(host):
    with pytest.raises(KeyError) as excinfo:
        host.call("no_such_op", {})
    assert excinfo.value.args == ("no_such_op",)


def test_run_resolves_every_name_first(host, tmp_path):
    payload = {"csvPath": str(tmp_path / "x.csv"), "data": {"a": 1}}
    with pytest.raises(KeyError):
        host.run(["csv_sink", "no_such_op"], payload)
    assert "status" not in payload and not (tmp_path / "x.csv").exists()


def test_call_and_run_return_the_same_dict(host):
    payload = {}
    assert host.call("csv_sink", payload) is payload
    assert host.run(["csv_sink", "csv_sink"], payload) is payload
    assert payload == {"status": "handled via "}


def test_payload_must_be_a_dict(host):
    with pytest.raises(TypeError):
        host.call("csv_sink", [])


def test_newer_registration_wins_and_both_are_listed():
    # A second registrant gives "csv_sink" an op that only marks the call as seen.
    out = check_python(
        """
        import ctypes, json, kestrel, _kestrel_kernels
        seen = []
        OP = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
        REGISTER = ctypes.CFUNCTYPE(None, ctypes.c_char_p, OP)
        get = ctypes.pythonapi.PyCapsule_GetPointer
        get.restype, get.argtypes = ctypes.c_void_p, (ctypes.py_object, ctypes.c_char_p)
        register = REGISTER(get(kestrel._register_op_capsule, b"kestrel.register_op_v1"))
        op = OP(lambda data: seen.append(True))
        before = kestrel.registrations()
        register(b"csv_sink", op)
        payload = kestrel.call("csv_sink", {})
        print(json.dumps([before, kestrel.registrations(), seen, payload]))
        """
    )
    before, after, seen, payload = json.loads(out)
    assert "csv_sink" in before and after == before + ["csv_sink"]
    assert seen == [True] and payload == {}
