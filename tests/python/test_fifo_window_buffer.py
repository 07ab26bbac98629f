"""fifo_window_buffer through the stand-in host, alone and in the streaming chain."""
import collections
import itertools
import math
import random
import sys
from decimal import Decimal

import pytest

from helpers import BadIndex, CollidesWith, cast_error, check_python, raising_gen

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


def reference_stats(xs):
    """Mean and standard error with strict left-to-right sums."""
    s = 0.0
    for x in xs:
        s += x
    mean = s / len(xs)
    q = 0.0
    for x in xs:
        q += (x - mean) * (x - mean)
    return mean, math.sqrt(q / len(xs) / len(xs))


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
        mean, se = reference_stats(window) if window else (0.0, 0.0)
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
