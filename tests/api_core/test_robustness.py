"""Hostile input, references and memory, and the rules the C++ sources keep."""

from __future__ import annotations

import gc
import re
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from api_core_methods import METHODS
from support.leaks import assert_no_leaks
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure


class Boom(Exception):
    pass


class Hostile:
    def __init__(self, which):
        self.which = which

    def _maybe(self, name):
        if name in self.which:
            raise Boom(name)

    def __bool__(self):
        self._maybe("bool")
        return True

    def __index__(self):
        self._maybe("index")
        return 1

    def __int__(self):
        self._maybe("int")
        return 1

    def __str__(self):
        self._maybe("str")
        return "hostile"

    def __format__(self, format_spec):
        self._maybe("format")
        return "hostile"

    def __eq__(self, other):
        self._maybe("eq")
        return False

    def __hash__(self):
        self._maybe("hash")
        return 1

    def __getattr__(self, name):
        self._maybe("getattr")
        raise AttributeError(name)

    def __truediv__(self, other):
        self._maybe("div")
        return 1.5


class StrSub(str):
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = str.__hash__


class BytesSub(bytes):
    pass


hostile = st.sets(st.sampled_from(["bool", "index", "int", "str", "format", "eq", "hash", "getattr", "div"])).map(Hostile)
values = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True), st.text(max_size=8),
    st.binary(max_size=8), st.text(max_size=4).map(StrSub), st.binary(max_size=4).map(BytesSub),
    st.builds(bytearray, st.binary(max_size=4)), hostile, st.just(object()), st.lists(st.integers(), max_size=2),
)
replies = st.one_of(values, st.sampled_from([ValueError("v"), HalvexConnectionFailure("c"), KeyError("k")]))


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_any_arguments_give_ordinary_exceptions(core, client, data):
    name, params, _, _ = data.draw(st.sampled_from(METHODS[1:]))  # __init__: see the construction tests
    n = data.draw(st.integers(0, len(params) + 1))
    args = [data.draw(values) for _ in range(n)]
    kwargs = data.draw(st.dictionaries(st.sampled_from([p for p, _ in params] + ["bogus"]), values, max_size=2))
    core.transport.default = data.draw(replies)
    try:
        getattr(type(client), name)(client, *args, **kwargs)
    except SystemError as e:  # pragma: no cover - the failure this test exists for
        raise AssertionError(f"SystemError from {name}") from e
    except (Exception, KeyboardInterrupt):
        pass


def test_repeated_calls_do_not_leak(core, client):
    serial = "HX1" + "0" * 3  # a fresh, non-interned object
    message = bytes(range(5))
    rec = type("Rec", (), {"value": 123456})()
    core.transport.replies["send_message"] = b"\x01\x02"
    def down(serial, object_id):  # a new exception each time: a re-raised one keeps growing its traceback
        raise HalvexConnectionFailure("down")

    def work():
        core.transport.replies["read_element"] = down
        client._safe_read_element(serial, 7)
        try:
            client._read_element(serial, 7)
        except Exception:
            pass
        core.transport.replies["read_element"] = rec
        client._read_element(serial, 7)
        client._write_element(serial, 7, message)
        client._send_message(serial, message)
        client._scale_value(rec, "P1.cx")
        client._scale_value(None, serial)
        for bad in ((1,), (serial, "x"), ()):
            try:
                client._send_message(*bad)
            except TypeError:
                pass
        try:
            client.event_log(StrSub("x"), 2.5)
        except TypeError:
            pass
        core.transport.calls.clear()
        core.log.entries.clear()

    assert_no_leaks(work, (serial, message, rec, down), warm_runs=200, runs=3000)


def test_method_objects_are_collected_with_their_module():
    import importlib.util
    import weakref

    module_spec = importlib.util.find_spec("norvo_halvex.mediator.api_core")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    probe = weakref.ref(module.HalvexMediatorAPI)
    del module
    gc.collect()
    assert probe() is None


SOURCES = Path(__file__).resolve().parents[2] / "src" / "api_core"


def test_reference_counting_stays_in_the_reference_header():
    offenders = []
    for path in sorted(SOURCES.rglob("*.[ch]pp")):
        if path.relative_to(SOURCES).as_posix() == "pyapi/ref.hpp":
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            if re.search(r"\bPy_(X?DECREF|X?INCREF|CLEAR|X?SETREF|X?NewRef)\b", line):
                offenders.append(f"{path.relative_to(SOURCES)}:{number}: {line.strip()}")
    assert SOURCES.is_dir() and offenders == []


def test_no_single_phase_module_lookups_or_static_objects():
    text = "\n".join(p.read_text() for p in SOURCES.rglob("*.[ch]pp"))
    assert "PyState_FindModule" not in text
    assert not re.search(r"static\s+PyObject\s*\*", text)  # objects live in module state or Ref
