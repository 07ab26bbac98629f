"""Shared fixtures: the built modules, the stand-in host and a scratch working folder."""
import pytest

import helpers  # noqa: F401  (puts the build folders on sys.path)


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


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Runs the test inside its own empty folder."""
    monkeypatch.chdir(tmp_path)
    return tmp_path
