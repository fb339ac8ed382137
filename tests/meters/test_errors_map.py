"""norvo_halvex.errors: the map of exceptions names each class where callers import it."""

from __future__ import annotations

import importlib
import pickle
import re

import grpc
import pytest

import norvo_halvex.errors as errors

# "│   ├── Name *   module" lines of the hierarchy in the module docstring.
ROWS = re.findall(r"── (\w+(?:\.\w+)?)\s*\*?\s+([\w.]+)\n", errors.__doc__)


def test_the_map_lists_every_exception_of_the_package():
    names = {name for name, _ in ROWS}
    assert {"MediatorClientException", "HalvexMeterError", "HalvexConnectionFailure", "HalvexEOFError",
            "QuarnCodecError", "IntervalWindowError", "FleetError", "grpc.RpcError"} <= names
    assert set(errors.__all__) <= names


@pytest.mark.parametrize("name, module", ROWS, ids=[n for n, _ in ROWS])
def test_each_exception_is_importable_where_the_map_says(name, module):
    cls = getattr(importlib.import_module(module), name.rsplit(".", 1)[-1])
    assert isinstance(cls, type) and issubclass(cls, Exception)
    if name in errors.__all__:
        assert getattr(errors, name) is cls


@pytest.mark.parametrize(
    "name, base",
    [("HalvexConnectionFailure", errors.HalvexMeterError), ("HalvexEOFError", errors.HalvexMeterError),
     ("QuarnCodecError", ValueError), ("IntervalWindowError", ValueError)],
)
def test_hierarchy_as_drawn(name, base):
    cls = getattr(errors, name)
    assert issubclass(cls, base) and not issubclass(cls, grpc.RpcError)


@pytest.mark.parametrize(
    "exc, text",
    [
        (errors.MediatorClientException("HALVEX_EOF_ERROR", "meter stream ended"), "HALVEX_EOF_ERROR: meter stream ended"),
        (errors.MediatorClientException("UNAVAILABLE", ""), "UNAVAILABLE"),
        (errors.HalvexConnectionFailure("Meter HX1: read failed", serial="HX1", operation="read"), "Meter HX1: read failed"),
    ],
)
def test_exceptions_keep_their_fields_through_pickling(exc, text):
    back = pickle.loads(pickle.dumps(exc))
    assert type(back) is type(exc) and str(back) == text
    assert vars(back) == vars(exc)
