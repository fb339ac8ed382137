"""Log lines embed the text of dicts and tuples of numbers; the core writes that text itself and
must give exactly what str() gives. A bounded sample here; bench/float_text_sweep.py runs the big
sweep over many millions of doubles."""

from __future__ import annotations

import math
import random
import struct
from types import SimpleNamespace

import pytest

from support.hostile import StrSub

SPECIAL = [
    0.0, -0.0, 1.0, -1.0, 0.1, 0.5, 1 / 3, 2 / 3, 100.0, 1e16, 1e16 - 2, 9999999999999998.0, 1e15, 1e17,
    1e-4, 1e-5, 0.00012, 0.000099999, 1.5e-7, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
    1e22, 1e21, 1e100, 1e-100, 123456.789, 4294967.295, 429496.7295, 12345678901234567.0, 0.30000000000000004,
    math.inf, -math.inf, math.nan, -math.nan, struct.unpack("<d", b"\x01\x00\x00\x00\x00\x00\xf8\x7f")[0],
]


def random_bits(rng, n):
    return [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(n)]


def meter_counts(rng, n):
    return [rng.randrange(2**32) / rng.choice((1000, 10000, 10.0)) for _ in range(n)]


def decimal_digits(rng, n):
    return [float(f"{rng.randrange(10**rng.randint(1, 17))}e{rng.randint(-30, 30)}") for _ in range(n)]


def assert_read_logs_str(core, client, element_a):
    client._hardware_cache["HX1"] = "P0.se"
    client.read_element_a = lambda serial: element_a
    client.read("HX1")
    assert core.entries[-1].message == "single phase read [" + str((element_a, None)) + "]"


@pytest.mark.parametrize("make", [lambda rng, n: SPECIAL, random_bits, meter_counts, decimal_digits],
                         ids=["special", "random-bits", "meter-counts", "decimal-digits"])
@pytest.mark.parametrize("seed", [1, 2])
def test_dict_of_floats(core, client, make, seed):
    assert_read_logs_str(core, client, {f"k{i}": v for i, v in enumerate(make(random.Random(seed), 4000))})


class FloatSub(float):
    def __repr__(self):
        return "sub"


@pytest.mark.parametrize(
    "element_a",
    [
        {},
        {"a": None, "b": True, "c": False, "d": 0, "e": -7, "f": 2**63, "g": -(2**63) - 1, "h": 10**30},
        {"quote'd": 1.0, "back\\slash": 2.0, "tab\t": 3.0, "ünï": 4.0, "\x7f": 5.0, "": 6.0},
        {StrSub("k"): 1.5, "v": FloatSub(2.5)},
        {1: 1.5, 2.5: "x", None: (1.0, None), (1, 2): [3.0, {}], "nested": {"x": (0.1,)}},
        {"t0": (), "t1": (1.0,), "l": [], "deep": [[[1.0]]]},
    ],
    ids=["empty", "ints-and-constants", "escaped-keys", "subclasses", "mixed", "containers"],
)
def test_dicts_of_other_values(core, client, element_a):
    assert_read_logs_str(core, client, element_a)


@pytest.mark.parametrize("readings", [(2301, 2300, 2299), (2301.5, None, 1e-3), (1e20, -0.0, 7)])
def test_voltage_triple(core, client, readings):
    def read(serial, object_id):
        v = readings[int(object_id.name[-1]) - 1]
        return None if v is None else SimpleNamespace(voltage=v)

    client._read_element = read
    triple = client.three_phase_instantaneous_voltage("HX3")
    assert core.entries[-1].message == f"voltages [{triple}]"


def test_totals_dict(core, client):
    counts = iter([0, 1, 4294967295, 123456789, 999, 10**15])
    client._read_element = lambda serial, object_id: SimpleNamespace(value=next(counts))
    reads = client.three_phase_read("HX3", "P1.cx")
    assert core.entries[-1].message == "reads: " + str(reads)
