"""The build step of `pip install .`: fetches the build's pieces (pybind11, DuckDB) with the
bootstrap, runs the project's CMake (preset `pip`) and installs the two op modules with
libduckdb.so into build_lib. The metadata, version and Python included, is in pyproject.toml."""
import os
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    """Configures, builds and installs the CMake project's `modules` component into build_lib."""

    def run(self):
        subprocess.check_call([os.path.join(ROOT, "scripts", "bootstrap"), "pybind11", "duckdb"])
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.check_call(["cmake", "-S", ROOT, "--preset", "pip", "-B", build_dir,
                               f"-DPython_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 1),
                               "--target", "_kestrel_kernels", "_kestrel_sqlstore"])
        subprocess.check_call(["cmake", "--install", build_dir, "--component", "modules",
                               "--prefix", os.path.abspath(self.build_lib)])


setup(
    packages=[],  # only the two extension modules, no Python packages
    ext_modules=[Extension("_kestrel_kernels", sources=[]),
                 Extension("_kestrel_sqlstore", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
