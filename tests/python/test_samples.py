"""Reading sample lists and integer settings from payload values (through the test probe), and
payloads with an item access of their own (through the ops)."""
import array
import math
import random
import struct
from decimal import Decimal
from fractions import Fraction

import pytest

from helpers import (ArraySub, BadFloat, BadIter, BadSet, CollidesWith, Floaty, FloatSub, Index,
                     ListSub, NoLength, ShadowedDict, StrSub, bits, cast_error, gen, raising_gen,
                     strict_sum)


SHAPES = [
    ("mixed-list", lambda: [1, 2.5, True], [1.0, 2.5, 1.0]),
    ("float-list", lambda: [0.5, -1e300, 2.0], [0.5, -1e300, 2.0]),
    ("empty-list", lambda: [], []),
    ("tuple", lambda: (4, 5), [4.0, 5.0]),
    ("float-tuple", lambda: (4.5, 5.5), [4.5, 5.5]),
    ("range", lambda: range(3), [0.0, 1.0, 2.0]),
    ("int", lambda: 3, [3.0]),
    ("float", lambda: 2.5, [2.5]),
    ("decimal", lambda: Decimal("2.5"), [2.5]),
    ("fraction", lambda: Fraction(1, 4), [0.25]),
    ("str-digits", lambda: "3", []),
    ("str-decimal", lambda: "1.5", []),
    ("str-subclass", lambda: StrSub("12"), []),
    ("bytes", lambda: b"1", []),
    ("dict", lambda: {1: 2}, []),
    ("none", lambda: None, []),
    ("one-none-empties-all", lambda: [1, None, 3], []),
    ("nested", lambda: [[1.0]], []),
    ("generator", lambda: gen(1, 2), [1.0, 2.0]),
    ("dict-values", lambda: {"a": 1, "b": 2}.values(), [1.0, 2.0]),
    ("dict-keys", lambda: {3: "a", 4: "b"}.keys(), [3.0, 4.0]),
    ("dict-items", lambda: {"a": 1, "b": 2}.items(), []),
    ("map", lambda: map(float, ["1", "2"]), [1.0, 2.0]),
    ("zip-of-pairs", lambda: zip([1], [2]), []),
    ("list-iterator", lambda: iter([1, 2]), []),
    ("filter", lambda: filter(None, [1, 2]), []),
    ("bytearray", lambda: bytearray(b"\x01\x02"), [1.0, 2.0]),
    ("set", lambda: {1.5}, [1.5]),
    ("frozenset", lambda: frozenset({2}), [2.0]),
    ("float-subclass", lambda: FloatSub(2.5), [2.5]),
    ("float-subclass-list", lambda: [FloatSub(1.5), 2.0], [1.5, 2.0]),
    ("list-subclass", lambda: ListSub([1.0, 2.0]), [1.0, 2.0]),
    ("index", lambda: Index(), [7.0]),
    ("index-list", lambda: [Index(), 1.0], [7.0, 1.0]),
    ("float-method", lambda: [Floaty()], [1.25]),
    ("float-method-raises", lambda: [BadFloat()], []),
    ("float-method-raises-alone", lambda: BadFloat(), []),
    ("huge-int", lambda: 10**400, []),
    ("huge-int-in-list", lambda: [1.0, 10**400], []),
    ("negative-int", lambda: [-(2**62)], [float(-(2**62))]),
    ("complex", lambda: 1j, []),
    ("type-object", lambda: float, []),
    ("infinities", lambda: [math.inf, -math.inf], [math.inf, -math.inf]),
    ("array-subclass", lambda: ArraySub("d", [1.0, 2.0]), [9.0]),
    ("array-by-name-only", lambda: type("array.array", (ArraySub,), {})("d", [1.0]), [9.0]),
    ("char-view", lambda: memoryview(b"ab").cast("c"), []),
]


@pytest.mark.parametrize("make, expected", [pytest.param(m, e, id=i) for i, m, e in SHAPES])
def test_shapes(probe, make, expected):
    got = probe.to_double_list(make())
    assert got == expected
    assert all(type(x) is float for x in got)
    assert probe.to_double_list_with_sum(make())[0] == expected


# Lists of exact floats are read directly, 256 at a time, and summed on the way. Lengths
# about those blocks, and an item that is no float at the very end (then the general path
# reads the list and sums it afterwards).
@pytest.mark.parametrize("size", [0, 1, 255, 256, 257, 2000])
@pytest.mark.parametrize("shape", ["list", "tuple", "int-last"])
def test_exact_floats_bit_for_bit(probe, size, shape):
    rng = random.Random(size)
    xs = [rng.choice([rng.gauss(0, 1e6), rng.gauss(0, 1e-3), -0.0, 1e-300]) for _ in range(size)]
    value = tuple(xs) if shape == "tuple" else xs + [7] if shape == "int-last" else xs
    expected = xs + [7.0] if shape == "int-last" else xs
    total = None if shape == "int-last" else bits([strict_sum(expected)])
    assert read_bits(probe, value) == (bits(expected), total)


def read_bits(probe, value):
    """The samples of `value` and their sum (None where none was taken), bit for bit."""
    values, total = probe.to_double_list_with_sum(value)
    return bits(values), None if total is None else bits([total])


def limits(code):
    """Edge items of an array.array type code."""
    if code in "fd":
        return [1.5, -0.0, math.inf, -math.nan, 1e-45, 3.4e38, 2.0**-149]
    top = 2 ** (8 * array.array(code).itemsize - code.islower())
    return [-top if code.islower() else 0, top - 1, 0, 1, top // 3]


# Array types of a native numeric format are read from their buffers, bit for bit as the
# general way reads the same items from a list. The buffer is let go afterwards.
BUFFERS = [(c, lambda c=c: array.array(c, limits(c) * 3)) for c in "bBhHiIlLqQfd"] + [
    ("empty", lambda: array.array("d")),
    ("strided", lambda: memoryview(array.array("d", limits("d") * 5))[1::3]),
    ("reversed", lambda: memoryview(array.array("q", limits("q") * 5))[::-2]),
    ("unaligned", lambda: memoryview(bytes(range(33)))[1:].cast("d")),
    ("bytearray", lambda: bytearray(b"\x00\x01\xff")),
    ("bools", lambda: memoryview(bytes([0, 1, 2, 255])).cast("?")),
    ("ssize", lambda: memoryview(array.array("q", limits("q"))).cast("B").cast("n")),
    ("size", lambda: memoryview(array.array("Q", limits("Q"))).cast("B").cast("N")),
]


@pytest.mark.parametrize("make", [pytest.param(m, id=i) for i, m in BUFFERS])
def test_buffers_bit_for_bit(host, probe, make):
    value = make()
    expected = probe.to_double_list(list(value))  # a list of floats: read with its sum
    assert read_bits(probe, value) == read_bits(probe, expected)
    stats = [host.call("average", {"window": v})["stats"] for v in (value, expected)]
    assert bits(list(stats[0].values())) == bits(list(stats[1].values()))
    value.release() if isinstance(value, memoryview) else value.append(0)  # no buffer held


def test_numpy_arrays(probe):
    np = pytest.importorskip("numpy")
    for value in (np.arange(5.0), np.arange(10)[::-3], np.array([0.5, np.nan], dtype=np.float16),
                  np.array([True, False]), np.arange(4.0, dtype=">f8"), np.ones((2, 2))):
        assert bits(probe.to_double_list(value)) == bits(probe.to_double_list(list(value)))


def test_nan_passes_through(probe):
    (value,) = probe.to_double_list(float("nan"))
    assert math.isnan(value)
    assert [math.isnan(x) for x in probe.to_double_list([1.0, math.nan])] == [False, True]


def test_generator_is_exhausted(probe):
    g = gen(1, 2)
    assert probe.to_double_list(g) == [1.0, 2.0]
    assert list(g) == []


def test_value_is_not_modified(probe):
    value = [3, 1.5, True]
    probe.to_double_list(value)
    assert value == [3, 1.5, True]


@pytest.mark.parametrize(
    "make, error, message",
    [
        pytest.param(raising_gen, ValueError, "generator failed", id="generator-raises"),
        pytest.param(NoLength, TypeError, "object of type 'NoLength' has no len()", id="no-len"),
        pytest.param(lambda: BadIter([1.0]), OSError, "no iteration", id="iter-raises"),
        pytest.param(lambda: BadSet({1.0}), KeyError, "'set iteration'", id="set-iter-raises"),
        pytest.param(lambda: memoryview(bytes(16)).cast("d", [2, 1]), NotImplementedError,
                     "multi-dimensional sub-views are not implemented", id="2-d-view"),
    ],
)
def test_python_errors_propagate(probe, make, error, message):
    with pytest.raises(error) as excinfo:
        probe.to_double_list(make())
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "keys, payload, expected",
    [
        ("average", {"window": None, "values": [1, 2]}, []),
        ("average", {"window": [], "values": [1, 2]}, []),
        ("average", {"values": [1, 2]}, [1.0, 2.0]),
        ("average", {"data": [1, 2]}, []),
        ("average", {}, []),
        ("fifo", {"data": [3], "values": "x"}, []),
        ("fifo", {"data": [3]}, [3.0]),
        ("fifo", {"sampleChunk": 4, "values": [1]}, [4.0]),
        ("none-first", {None: [5], "values": [1]}, [5.0]),
        ("none-first", {"values": [1]}, [1.0]),
    ],
)
def test_first_present_key_decides(probe, keys, payload, expected):
    assert probe.values_from_payload(payload, keys) == expected


# The ops look keys up as the dict stores them, so a subclass's own __getitem__ is never asked.
@pytest.mark.parametrize(
    "op, payload, key, expected",
    [
        ("average", {"window": [1.0, 3.0], "mode": "harmonic"}, "mean", 1.5),
        ("average", {"data": (2.0,)}, "mean", 2.0),
        ("fifo_window_buffer", {"sampleChunk": [1.0, 3.0], "windowSize": 1, "fifoId": "shadowed"},
         "window", [3.0]),
    ],
)
def test_payload_subclass_is_read_by_contents(host, op, payload, key, expected):
    payload = ShadowedDict(payload)
    host.call(op, payload)
    assert dict.get(payload, key) == expected


def test_failing_membership_test_propagates(probe):
    with pytest.raises(LookupError, match="no comparison"):
        probe.values_from_payload({CollidesWith("window"): 1, "values": [1]}, "average")


@pytest.mark.parametrize(
    "value, expected",
    [
        (7, 7), (True, 1), (False, 0), (-1, -1), (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)),
        (Index(), 7), (Decimal("5.7"), 5), (Fraction(7, 2), 3),
    ],
)
def test_int32_accepts(probe, value, expected):
    assert probe.to_int32(value) == expected


@pytest.mark.parametrize(
    "value, type_text",
    [
        (5.0, "<class 'float'>"), (FloatSub(5.0), "<class 'helpers.FloatSub'>"),
        ("5", "<class 'str'>"), (None, "<class 'NoneType'>"), (2**31, "<class 'int'>"),
        (-(2**31) - 1, "<class 'int'>"), (2**40, "<class 'int'>"), ([5], "<class 'list'>"),
        (Decimal("1e20"), "<class 'decimal.Decimal'>"),
    ],
)
def test_int32_refuses(probe, value, type_text):
    with pytest.raises(RuntimeError) as excinfo:
        probe.to_int32(value)
    assert str(excinfo.value) == cast_error(type_text)
