"""Import-time behaviour of the op modules, each case in a fresh interpreter."""
import glob
import json
import os
import shutil
import sys
import textwrap

import pytest

from helpers import HOST_DIR, MODULE_DIR, check_python, run_python

MODULES = {
    "_kestrel_kernels": {
        "doc": "C++ kestrel ops for tarnwell (register_cpp_op via capsule)",
        "ops": ["fifo_window_buffer", "average", "csv_sink"],
    },
    "_kestrel_sqlstore": {
        "doc": "C++ DuckDB ops for tarnwell (register_cpp_op via capsule)",
        "ops": ["duckdb_checkpoint_cpp", "duckdb_sql_cpp"],
    },
}

# A fake host whose registration function is a ctypes callback recording the names.
FAKE_HOST = """
import ctypes
registered = []
_REGISTER = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)
_callback = _REGISTER(lambda name, op: registered.append(name.decode()))
_new = ctypes.pythonapi.PyCapsule_New
_new.restype = ctypes.py_object
_new.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
_NAME = {name!r}
_register_op_capsule = _new(ctypes.cast(_callback, ctypes.c_void_p), _NAME, None)
"""

# Imports `module`, prints what the import raised (or the fake host's record) as JSON.
IMPORT_AND_REPORT = """
import json, sys
def describe(e):
    return None if e is None else [type(e).__name__, str(e)]
try:
    import {module}
except ImportError as e:
    print(json.dumps({{"error": describe(e), "cause": describe(e.__cause__),
                      "context": describe(e.__context__),
                      "same": e.__cause__ is e.__context__,
                      "registered": getattr(sys.modules.get("kestrel"), "registered", None)}}))
else:
    print(json.dumps({{"error": None,
                      "registered": getattr(sys.modules.get("kestrel"), "registered", None)}}))
"""

FAILED_CAPSULE = "Failed to obtain register_op_c_api from kestrel capsule"


def import_with_host(tmp_path, module, host_source):
    """Imports `module` with `host_source` as kestrel.py (None: no host at all)."""
    if host_source is not None:
        (tmp_path / "kestrel.py").write_text(textwrap.dedent(host_source))
    out = check_python(IMPORT_AND_REPORT.format(module=module), path=(tmp_path, MODULE_DIR))
    return json.loads(out)


@pytest.mark.parametrize("module", sorted(MODULES))
@pytest.mark.parametrize(
    "host_source, cause",
    [
        pytest.param(None, ["ModuleNotFoundError", "No module named 'kestrel'"], id="no-host"),
        pytest.param(
            "x = 1\n",
            ["AttributeError", "module 'kestrel' has no attribute '_register_op_capsule'"],
            id="no-capsule-attribute",
        ),
    ],
)
def test_python_error_becomes_initialization_failed(tmp_path, module, host_source, cause):
    report = import_with_host(tmp_path, module, host_source)
    assert report["error"] == ["ImportError", "initialization failed"]
    assert report["cause"] == cause
    assert report["same"], "the cause is also the context"


@pytest.mark.parametrize("module", sorted(MODULES))
@pytest.mark.parametrize(
    "host_source",
    [
        pytest.param("_register_op_capsule = 42\n", id="not-a-capsule"),
        pytest.param(FAKE_HOST.format(name=b"kestrel.register_op_v2"), id="other-name"),
        pytest.param(FAKE_HOST.format(name=None), id="unnamed"),
        pytest.param(FAKE_HOST.format(name=b"KESTREL.register_op_v1"), id="name-case"),
    ],
)
def test_unusable_capsule(tmp_path, module, host_source):
    report = import_with_host(tmp_path, module, host_source)
    assert report["error"] == ["ImportError", FAILED_CAPSULE]
    assert report["cause"] is None and report["context"] is None
    assert report["registered"] in (None, [])


@pytest.mark.parametrize("module", sorted(MODULES))
def test_registers_its_table_in_order(tmp_path, module):
    report = import_with_host(tmp_path, module, FAKE_HOST.format(name=b"kestrel.register_op_v1"))
    assert report == {"error": None, "registered": MODULES[module]["ops"]}


@pytest.mark.parametrize("module", sorted(MODULES))
def test_reimport_reuses_module_and_registers_nothing(module):
    out = check_python(
        f"""
        import json, sys, kestrel
        import {module} as first
        before = list(kestrel.registrations())
        del sys.modules["{module}"]
        import {module} as second
        import importlib
        third = importlib.reload(second)
        print(json.dumps([first is second is third, before, kestrel.registrations()]))
        """
    )
    same, before, after = json.loads(out)
    assert same
    assert before == after == MODULES[module]["ops"]


@pytest.mark.parametrize("module", sorted(MODULES))
def test_module_offers_only_its_docstring(module):
    out = check_python(f"import json, {module} as m; print(json.dumps([m.__doc__, sorted(vars(m))]))")
    doc, names = json.loads(out)
    assert doc == MODULES[module]["doc"]
    assert names == ["__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"]


def other_interpreters():
    versions_dir = os.path.dirname(os.path.dirname(os.path.dirname(sys.executable)))
    found = []
    for minor in ("3.9", "3.11"):
        paths = sorted(glob.glob(os.path.join(versions_dir, f"{minor}.*", "bin", f"python{minor}")))
        found.append(pytest.param(paths[-1] if paths else None, id=minor))
    return found


@pytest.mark.parametrize("module", sorted(MODULES))
@pytest.mark.parametrize("interpreter", other_interpreters())
def test_other_interpreter_is_refused(tmp_path, module, interpreter):
    if interpreter is None:
        pytest.skip("that pyenv interpreter is not installed")
    (built,) = glob.glob(os.path.join(MODULE_DIR, f"{module}.cpython-310-*.so"))
    shutil.copy(built, tmp_path / f"{module}.so")
    result = run_python(
        f"""
        import json, sys
        try:
            import {module}
        except ImportError as e:
            print(json.dumps([str(e), sys.version]))
        """,
        path=(tmp_path, HOST_DIR),
        executable=interpreter,
    )
    assert result.returncode == 0, result.stderr
    message, version = json.loads(result.stdout)
    assert message == (
        "Python version mismatch: module was compiled for Python 3.10, but the interpreter "
        f"version is incompatible: {version}."
    )
