"""`pip install` into a fresh venv: the modules, libduckdb.so beside them, nothing unresolved,
and nothing fetched beyond what the build needs."""
import glob
import json
import os
import shutil
import subprocess
import sys

import pytest

from helpers import HOST_DIR, SOURCE_DIR, check_python

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("TARNWELL_SANITIZER")), reason="builds a plain release; not for sanitizer runs")


def test_install_into_fresh_venv(tmp_path):
    # A copy of the sources, so the install's build folders stay out of the checkout.
    source = tmp_path / "src"
    shutil.copytree(SOURCE_DIR, source, symlinks=True, ignore=shutil.ignore_patterns(
        "build*", "deps", "work", ".git", "__pycache__"))
    # Only the build's pieces of deps/: fetching any other (pytest, Node's vega) would show.
    deps = source / "deps"
    deps.mkdir()
    for piece in ("pybind11", "duckdb", "wheel"):
        os.symlink(os.path.join(SOURCE_DIR, "deps", piece), deps / piece)
        shutil.copy(os.path.join(SOURCE_DIR, "deps", f".stamp-{piece}"), deps)
    pieces = sorted(os.listdir(deps))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    install = subprocess.run(
        [python, "-m", "pip", "install", "--no-build-isolation", "--no-index", str(source)],
        capture_output=True, text=True, timeout=1800)
    assert install.returncode == 0, install.stdout + install.stderr
    assert sorted(os.listdir(deps)) == pieces

    site = check_python("import sysconfig; print(sysconfig.get_paths()['purelib'])",
                        path=(), executable=python).strip()
    installed = sorted(os.path.basename(p) for p in glob.glob(os.path.join(site, "*.so")))
    assert installed == ["_kestrel_kernels.cpython-310-x86_64-linux-gnu.so",
                         "_kestrel_sqlstore.cpython-310-x86_64-linux-gnu.so", "libduckdb.so"]
    assert not glob.glob(os.path.join(site, "kestrel*"))  # the stand-in host stays out
    for name in installed:
        ldd = subprocess.run(["ldd", os.path.join(site, name)], capture_output=True, text=True)
        assert ldd.returncode == 0 and "not found" not in ldd.stdout, ldd.stdout
    ldd = subprocess.run(["ldd", os.path.join(site, installed[1])], capture_output=True, text=True)
    assert f"libduckdb.so => {os.path.join(site, 'libduckdb.so')}" in ldd.stdout

    out = check_python(
        f"""
        import json, kestrel, _kestrel_kernels, _kestrel_sqlstore
        p = kestrel.run(["fifo_window_buffer", "average", "csv_sink"],
                        {{"sampleChunk": [1.0, 3.0], "windowSize": 4, "csvPath": "out.csv"}})
        c = kestrel.call("duckdb_checkpoint_cpp", {{"run_id": "v", "values": p["window"]}})
        print(json.dumps([_kestrel_sqlstore.__file__, p["mean"], p["status"], c]))
        """,
        path=(HOST_DIR,), executable=python, cwd=tmp_path)
    where, mean, status, checkpoint = json.loads(out)
    assert where.startswith(site)
    assert (mean, status) == (2.0, "handled via csv://out.csv")
    assert checkpoint == {"run_id": "v", "duckdb_path": "work.duckdb", "data_table": "data_v_C"}
