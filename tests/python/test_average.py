"""The average op through the stand-in host."""
import copy
import math

import pytest

from helpers import cast_error, raising_gen

ROOT_HALF = math.sqrt(0.5)


RESULT_KEYS = ("stats", "mean", "se", "standardError")


@pytest.mark.parametrize(
    "payload, mean, se",
    [
        pytest.param({}, 0.0, 0.0, id="no-samples"),
        pytest.param({"window": [], "values": [1, 2]}, 0.0, 0.0, id="empty-window-wins"),
        pytest.param({"window": [], "data": [1, 3]}, 2.0, ROOT_HALF, id="data-fallback"),
        pytest.param({"window": None, "data": (1, 3)}, 2.0, ROOT_HALF, id="none-window-data"),
        pytest.param({"values": [1, 3], "data": [9]}, 2.0, ROOT_HALF, id="values-second"),
        pytest.param({"window": [5.0], "data": [1, 3]}, 5.0, 0.0, id="window-first"),
        pytest.param({"data": {"a": 1}}, 0.0, 0.0, id="unusable-data"),
        pytest.param({"data": 4}, 4.0, 0.0, id="scalar-data"),
        pytest.param({"window": [1, 4], "averageMethod": "geometric", "mode": "harmonic"},
                     2.0, math.sqrt(1.25), id="averageMethod-beats-mode"),
        pytest.param({"window": [1, 3], "averageMethod": "weighted"}, 2.0, ROOT_HALF,
                     id="weighted-is-arithmetic"),
        pytest.param({"window": [0, 2], "mode": "Harmonic"}, 4.0, math.sqrt(5), id="mode"),
        pytest.param({"window": [1, 3], "averageMethod": b"arithmetic"}, 2.0, ROOT_HALF,
                     id="bytes-method"),
        pytest.param({"window": [2, 4, 4, 4, 5, 5, 7, 9], "averageMethod": "nonsense"}, 5.0,
                     ROOT_HALF, id="unknown-method"),
        pytest.param({"window": [1, 4], "averageMethod": "geometric", "stats": "old"}, 2.0,
                     math.sqrt(1.25), id="stats-replaced"),
    ],
)
def test_results(host, payload, mean, se):
    before = copy.deepcopy(payload)
    host.call("average", payload)
    expected = pytest.approx({"mean": mean, "se": se, "standardError": se}, rel=1e-15, abs=0)
    assert payload["stats"] == expected
    assert {k: payload[k] for k in RESULT_KEYS[1:]} == expected
    assert all(type(v) is float for v in payload["stats"].values())
    assert list(payload["stats"]) == ["mean", "se", "standardError"]
    assert payload["se"] == payload["standardError"]
    assert {k: v for k, v in payload.items() if k not in RESULT_KEYS} == {
        k: v for k, v in before.items() if k not in RESULT_KEYS}


def test_harmonic_to_one_ulp(host):
    payload = host.call("average", {"window": [1, 2, 4], "mode": "HARMONIC"})
    assert abs(payload["mean"] - 12 / 7) <= math.ulp(12 / 7)
    assert abs(payload["se"] - math.sqrt(285 / 441)) <= math.ulp(math.sqrt(285 / 441))


def test_keys_written_in_order(host):
    payload = host.call("average", {"window": [1.0], "z": 1})
    assert list(payload) == ["window", "z", "stats", "mean", "se", "standardError"]


@pytest.mark.parametrize(
    "payload, error, message",
    [
        pytest.param({"window": [1, 0], "averageMethod": "GEOMETRIC", "stats": 1}, ValueError,
                     "geometric mean is only defined for positive values", id="geometric-zero"),
        pytest.param({"data": [-1.0], "mode": "geometric"}, ValueError,
                     "geometric mean is only defined for positive values", id="geometric-negative"),
        pytest.param({"window": [1], "averageMethod": None}, RuntimeError,
                     cast_error("NoneType"), id="method-none"),
        pytest.param({"window": [1], "mode": 3}, RuntimeError,
                     cast_error("int"), id="mode-int"),
    ],
)
def test_failure_leaves_payload_unchanged(host, payload, error, message):
    before = copy.deepcopy(payload)
    with pytest.raises(error) as excinfo:
        host.call("average", payload)
    assert str(excinfo.value) == message
    assert payload == before


def test_generator_error_propagates(host):
    payload = {"values": raising_gen(), "mean": 1}
    with pytest.raises(ValueError, match="generator failed"):
        host.call("average", payload)
    assert list(payload) == ["values", "mean"] and payload["mean"] == 1


def test_average_then_csv_sink(host, tmp_path):
    path = tmp_path / "stats.csv"
    for data in ([1.0, 3.0], [2.0, 4.0, 9.0]):
        payload = host.run(["average", "csv_sink"], {"data": data, "csvPath": str(path)})
        assert payload["status"] == f"handled via csv://{path}"
    m2 = 5.0
    se2 = math.sqrt(((2 - m2) ** 2 + (4 - m2) ** 2 + (9 - m2) ** 2) / 3 / 3)
    assert path.read_text() == (
        "mean,se,standardError\n"
        f"2.0,{ROOT_HALF},{ROOT_HALF}\n"
        f"{m2},{se2},{se2}\n"
    )
