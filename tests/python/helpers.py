"""What the tests share: where the built modules are, subprocess runners, files held by other
holders, pybind11's cast-error text, and values that misbehave on purpose."""
import array
import contextlib
import fcntl
import json
import math
import os
import signal
import struct
import subprocess
import sys
import textwrap
import time

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


def _environment(path, env):
    full_env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    full_env["PYTHONPATH"] = os.pathsep.join(str(p) for p in path)
    full_env.update(env or {})
    return full_env


def run_python(code, path=(MODULE_DIR, HOST_DIR, PROBE_DIR), executable=sys.executable, env=None,
               cwd=None, timeout=120):
    """Runs `code` in a fresh interpreter with only `path` on PYTHONPATH."""
    return subprocess.run([executable, "-c", textwrap.dedent(code)], env=_environment(path, env),
                          capture_output=True, text=True, timeout=timeout, cwd=cwd)


def check_python(code, **kwargs):
    """Runs `code` like run_python and returns its stdout; fails the test on a non-zero exit."""
    result = run_python(code, **kwargs)
    assert result.returncode == 0, result.stderr
    return result.stdout


def start_python(code, path=(MODULE_DIR, HOST_DIR, PROBE_DIR), env=None, **popen):
    """Starts `code` like run_python and returns the process without waiting for it."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                            env=_environment(path, env), text=True, **popen)


@contextlib.contextmanager
def database_held(db):
    """Keeps the DuckDB file `db` open, and so locked, in another process."""
    holder = start_python(f"""
        import sys, _tarnwell_duckdb_probe
        h = _tarnwell_duckdb_probe.Holder({str(db)!r})
        print("holding", flush=True)
        sys.stdin.readline()
        h.close()
        """, path=[PROBE_DIR], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == "holding\n"
        yield holder
    finally:
        holder.communicate("\n", timeout=60)


@contextlib.contextmanager
def flock_held(path, most=30.0):
    """Holds the exclusive flock of the file at `path` in another process, until the block
    ends or for `most` seconds."""
    holder = start_python(f"""
        import fcntl, select, sys
        with open({str(path)!r}, "a") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            print("holding", flush=True)
            select.select([sys.stdin], [], [], {most!r})
        """, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == "holding\n"
        yield
    finally:
        holder.communicate("\n", timeout=60)


def wait_for_descriptors(path, count, pid="self", timeout=30.0):
    """Waits until process `pid` has `count` descriptors open on the file at `path`, e.g. a
    thread that has opened the file and now waits for its lock."""
    target = os.stat(path)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = 0
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                st = os.stat(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            found += (st.st_dev, st.st_ino) == (target.st_dev, target.st_ino)
        if found >= count:
            return
        time.sleep(0.005)
    raise AssertionError(f"{path} not open {count} times in process {pid}")


# For a process that exits while a thread of it is parked inside storage work: what that
# thread holds is never freed, on purpose, so leak checking (under AddressSanitizer) is off.
PARKED_AT_EXIT = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}


def fault_env(fault, file):
    """The environment under which tests/shim/fault_shim.cpp injects `fault` on `file`."""
    preload = [os.environ.get("LD_PRELOAD"), os.path.join(PROBE_DIR, "libtarnwell_fault_shim.so")]
    return {"LD_PRELOAD": ":".join(filter(None, preload)), "TARNWELL_FAULT": fault,
            "TARNWELL_FAULT_FILE": file}


def run_together(codes, timeout=300, env=None):
    """Runs each of `codes` in a process of its own, all let go at once: each prints "ready"
    and then reads its standard input to the end, which closes once every one is ready.
    Returns their exit codes and standard errors. Under AddressSanitizer the workers skip the
    leak check at exit: run in several processes at once on a loaded machine, it now and then
    crashes its own tracer ("Tracer caught signal 11")."""
    env = {**PARKED_AT_EXIT, **(env or {})}
    workers = [start_python(code, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE) for code in codes]
    try:
        for worker in workers:
            assert worker.stdout.readline() == "ready\n"
        for worker in workers:
            worker.stdin.close()
        errors = [worker.stderr.read() for worker in workers]
        return [worker.wait(timeout=timeout) for worker in workers], errors
    finally:
        for worker in workers:
            worker.kill()
            worker.stdout.close()
            worker.stderr.close()


# Calls one op in the main thread of a child process; reports the outcome and whether the
# payload stayed as it was. `before` may set up whatever the call is to wait for.
_INTERRUPTED = """
import json, threading, time, kestrel, _kestrel_kernels, _kestrel_sqlstore
payload = {payload!r}
copy = dict(payload)
{before}
print("started", flush=True)
try:
    kestrel.call({op!r}, payload)
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
print(json.dumps([outcome, payload == copy]), flush=True)
"""


def interrupt(op, payload, before="", wait_for=None):
    """Calls `op` on `payload` in a child process and sends it SIGINT once it waits (for a
    descriptor open on the file `wait_for`, or a second after it started). Returns the outcome
    ("interrupted" or "finished"), whether the payload stayed as it was, and the seconds from
    the signal to the report."""
    child = start_python(_INTERRUPTED.format(op=op, payload=payload, before=before),
                         stdout=subprocess.PIPE)
    try:
        assert child.stdout.readline() == "started\n"
        if wait_for:
            wait_for_descriptors(wait_for, 1, pid=child.pid)
        else:
            time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        line = child.stdout.readline()
        return (*json.loads(line), time.monotonic() - sent)
    finally:
        child.kill()
        child.communicate()


def in_memory_error(op):
    """The message of `op` for a duckdb_path that names no file; the path follows it."""
    return f"{op}: payload['duckdb_path'] must name a file, not an in-memory database: "


def timeout_error(op):
    return f"{op}: payload['duckdb_lock_timeout'] must be a non-negative number of seconds"


def table_names(duckdb_probe, path):
    """The tables of the DuckDB file at `path`, sorted."""
    return [r[0] for r in duckdb_probe.query(path, "SELECT table_name FROM duckdb_tables() ORDER BY 1")]


def strict_sum(xs):
    """The sum of `xs` added one at a time from the left, as the ops sum."""
    total = 0.0
    for x in xs:
        total += x
    return total


def strict_stats(xs):
    """Mean and standard error of `xs`, with strict_sum."""
    mean = strict_sum(xs) / len(xs)
    return mean, math.sqrt(strict_sum((x - mean) * (x - mean) for x in xs) / len(xs) / len(xs))


def bits(values):
    """The exact bit patterns of a list of floats (NaN payloads and signed zeros included)."""
    return struct.pack(f"<{len(values)}d", *values)


def cast_error(type_name):
    """pybind11's message for a value it cannot convert: `type_name` is 'int' or a full
    type text such as "<class 'decimal.Decimal'>"."""
    type_text = type_name if type_name.startswith("<") else f"<class '{type_name}'>"
    return (f"Unable to cast Python instance of type {type_text} to C++ type '?' "
            "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")


def gen(*values):
    """A generator of `values`."""
    yield from values


def raising_gen(values=(1.0,), message="generator failed"):
    """Yields `values`, then raises ValueError(message)."""
    yield from values
    raise ValueError(message)


class FloatSub(float):
    pass


class IntSub(int):
    """An int whose __float__ disagrees with its value: 60 seconds as a lock timeout."""

    def __float__(self):
        return 60.0


class StrSub(str):
    pass


class ListSub(list):
    pass


class ArraySub(array.array):
    """An array that iterates other values than it holds, as a masked array can."""

    def __iter__(self):
        return iter([9.0])


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
