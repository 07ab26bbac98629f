"""Shared fixtures: the built modules, the stand-in host and subprocess helpers."""
import os
import subprocess
import sys
import textwrap

import pytest

MODULE_DIR = os.environ["TARNWELL_MODULE_DIR"]
HOST_DIR = os.environ["TARNWELL_HOST_DIR"]
PROBE_DIR = os.environ["TARNWELL_PROBE_DIR"]
for _path in (MODULE_DIR, HOST_DIR, PROBE_DIR):
    if _path not in sys.path:
        sys.path.insert(0, _path)


@pytest.fixture(scope="session")
def host():
    """The stand-in host with both op modules registered."""
    import kestrel
    import _kestrel_kernels  # noqa: F401  (registers its ops)
    import _kestrel_sqlstore  # noqa: F401

    return kestrel


@pytest.fixture(scope="session")
def probe():
    """Test-only entry points into the private sample reading of _kestrel_kernels."""
    import _tarnwell_probe

    return _tarnwell_probe


@pytest.fixture(scope="session")
def duckdb_probe():
    """Reads DuckDB files back (no DuckDB client exists for Python 3.10 here)."""
    import _tarnwell_duckdb_probe

    return _tarnwell_duckdb_probe


def run_python(code, path=(MODULE_DIR, HOST_DIR, PROBE_DIR), executable=sys.executable, env=None,
               cwd=None):
    """Runs `code` in a fresh interpreter with only `path` on PYTHONPATH."""
    full_env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    full_env["PYTHONPATH"] = os.pathsep.join(str(p) for p in path)
    full_env.update(env or {})
    return subprocess.run(
        [executable, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=120,
        cwd=cwd,
    )


def check_python(code, **kwargs):
    """Runs `code` like run_python and returns its stdout; fails the test on a non-zero exit."""
    result = run_python(code, **kwargs)
    assert result.returncode == 0, result.stderr
    return result.stdout
