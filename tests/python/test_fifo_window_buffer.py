"""fifo_window_buffer through the stand-in host, alone and in the streaming chain."""
import array
import collections
import gc
import itertools
import math
import random
import struct
import sys
import threading
from decimal import Decimal

import pytest

from helpers import (BadIndex, CollidesWith, FloatSub, bits, cast_error, check_python,
                     raising_gen, strict_stats)

_ids = itertools.count()


@pytest.fixture
def fifo():
    """A FIFO id no other test uses (the store lives as long as the process)."""
    return f"test-{next(_ids)}"


def window_of(host, fifo, **keys):
    return host.call("fifo_window_buffer", dict(keys, fifoId=fifo))["window"]


def test_default_fifo_slides():
    out = check_python(
        """
        import kestrel, _kestrel_kernels
        first = kestrel.call("fifo_window_buffer", {"sampleChunk": [1, 2], "windowSize": 3})
        second = kestrel.call("fifo_window_buffer", {"sampleChunk": [3, 4], "windowSize": 3})
        again = kestrel.call("fifo_window_buffer", {"fifoId": "default"})
        print(first["window"], second["window"], again["window"])
        """
    )
    assert out.split("] ") == ["[1.0, 2.0", "[2.0, 3.0, 4.0", "[2.0, 3.0, 4.0]\n"]


# Window-size keys against a FIFO holding 0..9; the expected count of newest samples kept.
@pytest.mark.parametrize(
    "keys, kept",
    [
        ({}, 10),
        ({"windowSize": 3}, 3),
        ({"windowSize": True}, 1),
        ({"windowSize": 0}, 10),
        ({"windowSize": -5}, 10),
        ({"windowSize": 100}, 10),
        ({"windowSize": 2.5}, 10),
        ({"windowSize": 5.0}, 10),
        ({"windowSize": "10"}, 10),
        ({"windowSize": None}, 10),
        ({"windowSize": 2**40}, 10),
        ({"windowSize": 2**31}, 10),
        ({"windowSize": BadIndex()}, 10),
        ({"windowSize": Decimal("3.7")}, 3),
        ({"window_size": 4}, 4),
        ({"windowSize": 2, "window_size": 5}, 2),
        ({"windowSize": None, "window_size": 5}, 10),
        ({"windowSize": "x", "window_size": 5}, 10),
    ],
    ids=repr,
)
def test_window_size(host, fifo, keys, kept):
    window_of(host, fifo, sampleChunk=[float(i) for i in range(10)])
    assert window_of(host, fifo, sampleChunk=[], **keys) == [float(i) for i in range(10 - kept, 10)]


@pytest.mark.parametrize(
    "keys, appended",
    [
        ({"sampleChunk": [], "values": [7]}, []),
        ({"sampleChunk": None, "data": [7]}, []),
        ({}, []),
        ({"values": [7, 8], "data": [9]}, [7.0, 8.0]),
        ({"data": (9,)}, [9.0]),
        ({"sampleChunk": 5}, [5.0]),
        ({"sampleChunk": "12"}, []),
        ({"sampleChunk": {1.5, 2.5}.__iter__()}, []),
        ({"sampleChunk": (x / 2 for x in range(3))}, [0.0, 0.5, 1.0]),
    ],
    ids=repr,
)
def test_sample_keys(host, fifo, keys, appended):
    window_of(host, fifo, sampleChunk=[1.0])
    assert window_of(host, fifo, **keys) == [1.0] + appended


def test_window_is_a_new_list_of_floats(host, fifo):
    payload = {"sampleChunk": [1, True, 2.5], "fifoId": fifo, "window": "old", "other": 1}
    host.call("fifo_window_buffer", payload)
    first = payload["window"]
    assert first == [1.0, 1.0, 2.5] and all(type(x) is float for x in first)
    host.call("fifo_window_buffer", payload)
    assert payload["window"] is not first and first == [1.0, 1.0, 2.5]
    assert list(payload) == ["sampleChunk", "fifoId", "window", "other"]


@pytest.mark.parametrize("ids", [("a", "A"), ("x", b"x "), ("", " ")])
def test_ids_are_exact(host, fifo, ids):
    first, second = (fifo + i if isinstance(i, str) else fifo.encode() + i for i in ids)
    window_of(host, first, sampleChunk=[1])
    assert window_of(host, second, sampleChunk=[2]) == [2.0]
    assert window_of(host, first) == [1.0]


@pytest.mark.parametrize(
    "keys, error, message",
    [
        ({"fifoId": None}, RuntimeError, cast_error("NoneType")),
        ({"fifoId": 3}, RuntimeError, cast_error("int")),
        ({"sampleChunk": raising_gen()}, ValueError, "generator failed"),
        ({CollidesWith("windowSize"): 1}, LookupError, "no comparison"),
    ],
    ids=["fifoId-None", "fifoId-int", "generator-raises", "membership-raises"],
)
def test_failure_touches_no_fifo(host, fifo, keys, error, message):
    window_of(host, fifo, sampleChunk=[1.0])
    default_before = host.call("fifo_window_buffer", {})["window"]
    payload = {"sampleChunk": [5.0], "fifoId": fifo}
    payload.update(keys)
    with pytest.raises(error) as excinfo:
        host.call("fifo_window_buffer", payload)
    assert str(excinfo.value) == message
    assert "window" not in payload
    assert window_of(host, fifo) == [1.0]
    assert host.call("fifo_window_buffer", {})["window"] == default_before


def test_chain_matches_a_deque_reference(host, fifo, tmp_path):
    rng = random.Random(5)
    path = tmp_path / "chain.csv"
    window = collections.deque(maxlen=100)
    expected = ["mean,se,standardError"]
    for i in range(1000):
        chunk = [rng.gauss(3.0, 1.0) for _ in range(rng.randrange(0, 8))]
        payload = {"sampleChunk": chunk, "windowSize": 100, "fifoId": fifo, "csvPath": str(path)}
        host.run(["fifo_window_buffer", "average", "csv_sink"], payload)
        window.extend(chunk)
        mean, se = strict_stats(window) if window else (0.0, 0.0)
        expected.append(f"{mean},{se},{se}")
        assert payload["window"] == list(window)
    assert path.read_text().splitlines() == expected


def test_chain_does_not_leak(host, fifo):
    chunk = [0.25, 0.5, 0.75, 1.0]

    def run(count):
        for _ in range(count):
            host.run(["fifo_window_buffer", "average"],
                     {"sampleChunk": chunk, "windowSize": 64, "fifoId": fifo, "mode": "harmonic"})

    run(10_000)
    before = sys.getallocatedblocks()
    run(100_000)
    assert sys.getallocatedblocks() - before < 500


NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_0000_0001))[0]
SPECIALS = [math.nan, NAN_PAYLOAD, -0.0, 0.0, math.inf, -math.inf, 5e-324]


def random_chunk(rng):
    """A chunk value for "sampleChunk" and the floats the op reads from it."""
    size = rng.choice([0, 1, 2, 5, 16, 70])
    kind = rng.choice(["floats", "floats", "floats", "specials", "ints", "bools", "tuple",
                       "generator", "subclass", "scalar", "reversed-array"])
    if kind == "specials":
        values = [rng.choice(SPECIALS + [rng.random()]) for _ in range(size)]
        return values, values
    if kind == "ints":
        values = [rng.choice([0, -3, 2**53 + 1, 7]) for _ in range(size)]
        return values, [float(v) for v in values]
    if kind == "bools":
        values = [rng.random() < 0.5 for _ in range(size)]
        return values, [float(v) for v in values]
    values = [rng.gauss(0.0, 1.0) for _ in range(size)]
    if kind == "tuple":
        return tuple(values), values
    if kind == "generator":
        return (v for v in values), values
    if kind == "subclass":
        return [FloatSub(v) for v in values], values
    if kind == "reversed-array":
        return memoryview(array.array("d", values[::-1]))[::-1], values
    if kind == "scalar":
        return values[0] if values else None, values[:1]
    return values, values


def test_windows_match_a_plain_model(host):
    """Many mixed payloads on a few ids, two writers taking turns on each: every window is
    the model's, bit for bit, and made of exact floats only."""
    rng = random.Random(11)
    model = collections.defaultdict(list)
    ids = [f"model-{next(_ids)}" for _ in range(3)]
    for _ in range(3000):
        fifo = rng.choice(ids)
        chunk, read = random_chunk(rng)
        size = rng.choice([1, 3, 8, 50, 50, 64, 0, None])
        payload = {"sampleChunk": chunk, "fifoId": fifo}
        if size is not None:
            payload["windowSize"] = size
        stored = model[fifo]
        stored.extend(read)
        if size:
            del stored[:-size]
        if len(stored) > 500:  # keep the untrimmed windows short
            host.call("fifo_window_buffer", {"fifoId": fifo, "windowSize": 100})
            del stored[:-100]
        window = host.call("fifo_window_buffer", payload)["window"]
        assert all(type(x) is float for x in window)
        assert bits(window) == bits(stored)


def test_window_shares_floats(host, fifo):
    first_chunk = [0.5, 1.5, 2.5]
    first = window_of(host, fifo, sampleChunk=first_chunk, windowSize=3)
    assert all(w is c for w, c in zip(first, first_chunk))
    second_chunk = [3.5]
    second = window_of(host, fifo, sampleChunk=second_chunk, windowSize=3)
    assert [id(x) for x in second] == [id(x) for x in first[1:] + second_chunk]
    # Not an exact float: a new float in its place.
    third = window_of(host, fifo, sampleChunk=[FloatSub(4.5)], windowSize=3)
    assert third[:2] == second[1:] and third[0] is second[1] and type(third[2]) is float
    # -0.0 equals 0.0 but is a different value: the float of 0.0 is not reused for it.
    window_of(host, fifo, sampleChunk=[0.0], windowSize=2)
    assert bits(window_of(host, fifo, sampleChunk=[], windowSize=2)) == bits([4.5, 0.0])


def test_floats_held_elsewhere_keep_their_values(host, fifo):
    """Floats that leave a window carry the next chunk's values only when nobody else holds
    them: a window and a float kept from earlier stay as they were."""
    window_of(host, fifo, sampleChunk=array.array("d", [1.0, 2.0]), windowSize=2)
    held = window_of(host, fifo, sampleChunk=array.array("d", [3.0, 4.0]), windowSize=2)
    one = window_of(host, fifo, sampleChunk=array.array("d", [5.0]), windowSize=2)[1]
    after = window_of(host, fifo, sampleChunk=array.array("d", [6.0, 7.0, 8.0]), windowSize=2)
    assert (held, one, after) == ([3.0, 4.0], 5.0, [7.0, 8.0])


def test_shared_floats_are_let_go_at_exit():
    """The module empties its cache at interpreter shutdown; a call after that still gets
    the right window, of floats of its own."""
    out = check_python(
        """
        import atexit, kestrel, _kestrel_kernels
        def late():  # registered before the module's own callback, so it runs after it
            window = kestrel.call("fifo_window_buffer", {"fifoId": "x"})["window"]
            print(window, window[0] is first[0])
        atexit.register(late)
        first = kestrel.call("fifo_window_buffer", {"sampleChunk": [0.25, 0.75], "fifoId": "x"})
        first = first["window"]
        print(kestrel.call("fifo_window_buffer", {"fifoId": "x"})["window"][0] is first[0])
        """
    )
    assert out == "True\n[0.25, 0.75] False\n"


def test_least_recently_used_windows_are_dropped(host):
    """The cache keeps 64 MiB at 48 bytes a float: two windows of 500,000 floats fit, a third
    pushes out the least recently used one, whose next window has floats of its own."""
    n = 500_000
    a, b, c = (f"lru-{next(_ids)}" for _ in range(3))
    windows = {}
    for fifo in (a, b):
        windows[fifo] = window_of(host, fifo, sampleChunk=[float(i) for i in range(n)],
                                  windowSize=n)
    assert window_of(host, a, sampleChunk=[], windowSize=n)[0] is windows[a][0]
    window_of(host, c, sampleChunk=[float(i) for i in range(n)], windowSize=n)
    again_a = window_of(host, a, sampleChunk=[], windowSize=n)
    again_b = window_of(host, b, sampleChunk=[], windowSize=n)
    assert again_a[0] is windows[a][0] and again_a[-1] is windows[a][-1]
    assert again_b == windows[b] and again_b[0] is not windows[b][0]


@pytest.mark.parametrize("mutate_chunk", [False, True], ids=["same-chunk", "chunk-replaced"])
def test_collection_during_the_call(host, fifo, mutate_chunk):
    """A garbage collection inside the call that feeds the same FIFO again (and empties the
    chunk list) changes neither window."""
    chunk = [x / 2 for x in (3.0, 5.0)]  # floats that only the chunk holds
    nested = []
    armed = False

    def during_collection(phase, info):
        nonlocal armed
        if phase == "start" and armed:
            armed = False
            if mutate_chunk:
                chunk[:] = [9.5] * len(chunk)
            nested.append(window_of(host, fifo, sampleChunk=[3.5], windowSize=3))

    window_of(host, fifo, sampleChunk=[0.5], windowSize=3)
    payload = {"sampleChunk": chunk, "windowSize": 3, "fifoId": fifo}
    thresholds = gc.get_threshold()
    gc.callbacks.append(during_collection)
    try:
        # From a fresh count, the call's first allocations of tracked objects are its
        # argument tuple and then the op's window list.
        gc.collect()
        gc.set_threshold(1)
        armed = True
        host.call("fifo_window_buffer", payload)
    finally:
        gc.set_threshold(*thresholds)
        gc.callbacks.remove(during_collection)
    outer = payload["window"]
    assert nested == [[1.5, 2.5, 3.5]]  # it ran after the outer call had fed the FIFO
    assert outer == [0.5, 1.5, 2.5] and all(type(x) is float for x in outer)
    assert window_of(host, fifo, sampleChunk=[4.5], windowSize=3) == [2.5, 3.5, 4.5]


def test_threads_share_one_fifo(host, fifo):
    """Threads feeding one FIFO: each window ends with the caller's sample and all windows
    are cuts of one sequence of samples."""
    calls = 2000
    seen = [[] for _ in range(4)]

    def feed(t):
        for k in range(calls):
            seen[t].append(window_of(host, fifo, sampleChunk=[t * 1e6 + k], windowSize=8))

    threads = [threading.Thread(target=feed, args=(t,)) for t in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    successor = {}
    for t, windows in enumerate(seen):
        for k, window in enumerate(windows):
            assert window[-1] == t * 1e6 + k and all(type(x) is float for x in window)
            for before, after in zip(window, window[1:]):
                assert successor.setdefault(before, after) == after
    assert len(successor) == 4 * calls - 1
