"""The build backend of `pip install .`: setuptools' own, with the `wheel` package that its
bdist_wheel needs taken from deps/wheel, where scripts/bootstrap puts Debian's pure-Python
python3-wheel. CPython 3.10's venvs come without `wheel`, and the install works offline."""
import os
import subprocess
import sys

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
subprocess.check_call([os.path.join(_ROOT, "scripts", "bootstrap"), "wheel"], stdout=sys.stderr)
sys.path.insert(0, os.path.join(_ROOT, "deps", "wheel"))

from setuptools import build_meta as _setuptools  # noqa: E402
from setuptools.build_meta import *  # noqa: E402,F401,F403  (every other hook as it is)


def get_requires_for_build_wheel(config_settings=None):
    """setuptools' requirements but `wheel`, which comes from deps/wheel."""
    return [r for r in _setuptools.get_requires_for_build_wheel(config_settings) if r != "wheel"]
