"""_scale_value, _scale_10k_value, _scale_kilo_value."""

from __future__ import annotations

import fractions
import decimal
from types import SimpleNamespace

import pytest


def rec(value):
    return SimpleNamespace(value=value)


@pytest.mark.parametrize(
    "count, kilo, tenk",
    [(12345, 12.345, 1.2345), (4294967295, 4294967.295, 429496.7295), (0, 0.0, 0.0), (1, 0.001, 0.0001),
     (2**53, 2**53 / 1000, 2**53 / 10000), (2**53 + 1, (2**53 + 1) / 1000, (2**53 + 1) / 10000),
     (10**40 + 7, (10**40 + 7) / 1000, (10**40 + 7) / 10000), (-5, -0.005, -0.0005), (True, 0.001, 0.0001),
     (2.5, 0.0025, 0.00025)],
)
def test_exact_values(client, count, kilo, tenk):
    for method, expected in (("_scale_kilo_value", kilo), ("_scale_10k_value", tenk)):
        result = getattr(client, method)(rec(count))
        assert type(result) is float and result == expected, (method, count)


def test_every_u32_count_matches_double_division(client):
    import random

    rng = random.Random(7)
    for count in [rng.randrange(2**32) for _ in range(2000)] + [2**32 - 1, 2**31, 999, 1000, 1001]:
        assert client._scale_kilo_value(rec(count)) == float(count) / 1000.0
        assert client._scale_10k_value(rec(count)) == float(count) / 10000.0


@pytest.mark.parametrize("hardware", ["P1.cx", "P1.ax", "SINGLE_PHASE_UNKNOWN", "", "p1.cx", " P1.cx", "P1.cx "])
def test_scale_value_chooses_divisor_by_exact_text(client, hardware):
    expected = 1.2345 if hardware == "P1.cx" else 12.345
    assert client._scale_value(rec(12345), hardware) == expected


@pytest.mark.parametrize("hardware", ["P1.cx", "P1.ax"])
def test_missing_record_gives_none(client, hardware):
    assert client._scale_value(None, hardware) is None
    assert client._scale_kilo_value(None) is None
    assert client._scale_10k_value(None) is None


def test_presence_is_the_records_truth(client):
    class Empty:
        value = 5

        def __len__(self):
            return 0

    assert client._scale_kilo_value(Empty()) is None
    with pytest.raises(ZeroDivisionError):
        client._scale_kilo_value(type("B", (), {"__bool__": lambda s: 1 / 0})())


def test_scale_value_calls_through_the_object(core):
    calls = []

    class Sub(core.module.HalvexMediatorAPI):
        def _scale_10k_value(self, rec):
            calls.append(("10k", rec))
            return 7

        def _scale_kilo_value(self, rec):
            calls.append(("kilo", rec))
            return None

    sub = Sub("a")
    r = rec(1)
    assert sub._scale_value(r, "P1.cx") == 7.0 and type(sub._scale_value(r, "P1.cx")) is float
    assert sub._scale_value(r, "P1.ax") is None
    assert calls == [("10k", r), ("10k", r), ("kilo", r)]


@pytest.mark.parametrize(
    "value, expected",
    [(decimal.Decimal("12345"), 12.345), (fractions.Fraction(1, 3), 1 / 3000)],
)
def test_other_numbers_go_through_the_number_protocol(client, value, expected):
    result = client._scale_kilo_value(rec(value))
    assert type(result) is float and result == pytest.approx(expected)


def test_non_numeric_results_are_rejected(core):
    class Weird:
        def __truediv__(self, other):
            return "text"

    with pytest.raises(TypeError) as info:
        core.client("a")._scale_kilo_value(rec(Weird()))
    assert str(info.value) == "Expected float, got str"

    class Sub(core.module.HalvexMediatorAPI):
        def _scale_kilo_value(self, rec):
            return [1]

    with pytest.raises(TypeError, match="^Expected float, got list$"):
        Sub("a")._scale_value(rec(1), "x")


@pytest.mark.parametrize("value, error", [("12", TypeError), (None, TypeError), ([1], TypeError)])
def test_value_errors_propagate(client, value, error):
    with pytest.raises(error):
        client._scale_kilo_value(rec(value))


def test_record_without_value(client):
    with pytest.raises(AttributeError, match="value"):
        client._scale_10k_value(object())


def test_hardware_must_be_text(client):
    with pytest.raises(TypeError, match="Argument 'hardware' has incorrect type \\(expected str, got NoneType\\)"):
        client._scale_value(rec(1), None)
