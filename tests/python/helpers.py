"""What the tests share: where the built modules are, subprocess runners, pybind11's cast-error
text, and values that misbehave on purpose."""
import os
import subprocess
import sys
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_BUILD = os.path.join(ROOT, "build")
# CTest passes these; by hand, after scripts/build, the checkout's build/ is used.
MODULE_DIR = os.environ.get("TARNWELL_MODULE_DIR", os.path.join(_BUILD, "python"))
HOST_DIR = os.environ.get("TARNWELL_HOST_DIR", os.path.join(_BUILD, "host"))
PROBE_DIR = os.environ.get("TARNWELL_PROBE_DIR", os.path.join(_BUILD, "probe"))
SOURCE_DIR = os.environ.get("TARNWELL_SOURCE_DIR", ROOT)
for _path in (MODULE_DIR, HOST_DIR, PROBE_DIR):
    if _path not in sys.path:
        sys.path.insert(0, _path)


def run_python(code, path=(MODULE_DIR, HOST_DIR, PROBE_DIR), executable=sys.executable, env=None,
               cwd=None, timeout=120):
    """Runs `code` in a fresh interpreter with only `path` on PYTHONPATH."""
    full_env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    full_env["PYTHONPATH"] = os.pathsep.join(str(p) for p in path)
    full_env.update(env or {})
    return subprocess.run([executable, "-c", textwrap.dedent(code)], env=full_env,
                          capture_output=True, text=True, timeout=timeout, cwd=cwd)


def check_python(code, **kwargs):
    """Runs `code` like run_python and returns its stdout; fails the test on a non-zero exit."""
    result = run_python(code, **kwargs)
    assert result.returncode == 0, result.stderr
    return result.stdout


def cast_error(type_name):
    """pybind11's message for a value it cannot convert: `type_name` is 'int' or a full
    type text such as "<class 'decimal.Decimal'>"."""
    type_text = type_name if type_name.startswith("<") else f"<class '{type_name}'>"
    return (f"Unable to cast Python instance of type {type_text} to C++ type '?' "
            "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")


def raising_gen(values=(1.0,), message="generator failed"):
    """Yields `values`, then raises ValueError(message)."""
    yield from values
    raise ValueError(message)


class FloatSub(float):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class Index:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 1.25


class BadFloat:
    def __float__(self):
        raise ValueError("no float")


class BadIndex:
    def __index__(self):
        raise ArithmeticError("no index")


class HugeIndex:
    def __index__(self):
        return 10**30


class BadStr:
    def __str__(self):
        raise ValueError("no text")


class NoLength:
    """Indexable, but without a length."""

    def __getitem__(self, i):
        return 1.0


class BadLen:
    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return 1.0

    def __len__(self):
        raise TypeError("no len")


class BadIter(list):
    def __iter__(self):
        raise OSError("no iteration")


class BadSet(set):
    def __iter__(self):
        raise KeyError("set iteration")


class CollidesWith:
    """Hashes like `name` and refuses to compare, so a dict lookup of `name` raises."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise LookupError("no comparison")


class ShadowedDict(dict):
    """A dict whose own item access answers every key with [100.0], whatever it holds."""

    def __getitem__(self, key):
        return [100.0]
