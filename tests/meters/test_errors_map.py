"""norvo_halvex.errors: the map of exceptions names each class where callers import it; norvo_halvex.failures
says what each means to the tool and to the collector."""

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


class _Status(grpc.RpcError):
    def __init__(self, status: str, details: str = "") -> None:
        self._status, self._details = getattr(grpc.StatusCode, status), details

    def code(self):
        return self._status

    def details(self):
        return self._details


def _behind(outer: BaseException, inner: BaseException) -> BaseException:
    outer.__cause__ = inner
    return outer


def _security(problem: str, status: str) -> BaseException:
    from norvo_halvex.mediator.grpc.exception.HalvexSecurityError import HalvexSecurityError

    return HalvexSecurityError.from_status(problem, "certificate not trusted", "give --tls-ca",
                                           getattr(grpc.StatusCode, status), "handshake")


@pytest.mark.parametrize(
    "exc, exit_code, code, ledger_code, transient",
    [
        (errors.MediatorClientException("HALVEX_EOF_ERROR", "cut"), 3, "HALVEX_EOF_ERROR", "HALVEX_EOF_ERROR", True),
        (errors.MediatorClientException("UNAVAILABLE", "down"), 4, "UNAVAILABLE", "UNAVAILABLE", True),
        (errors.MediatorClientException("INTERNAL", "bug"), 4, "INTERNAL", "INTERNAL", False),
        (errors.MediatorClientException(None, None), 4, "UNKNOWN", "UNKNOWN", False),
        (errors.HalvexConnectionFailure("modem off"), 3, "HALVEX_CONNECTION_FAILURE", "HALVEX_CONNECTION_FAILURE",
         True),
        (_Status("DEADLINE_EXCEEDED"), 4, "DEADLINE_EXCEEDED", "DEADLINE_EXCEEDED", True),
        (_Status("NOT_FOUND", "no such meter"), 3, "NOT_FOUND", "NOT_FOUND", False),
        (_Status("UNAUTHENTICATED"), 8, "UNAUTHENTICATED", "UNAUTHENTICATED", False),
        # An explained security failure is never retried, whatever status carried it, and
        # the ledger names what was wrong.
        (_behind(errors.MediatorClientException("UNAVAILABLE", "x"), _security("untrusted_certificate", "UNAVAILABLE")),
         8, "UNAVAILABLE", "UNTRUSTED_CERTIFICATE", False),
        (errors.QuarnCodecError("short record"), 5, "CODEC_ERROR", "CODEC_ERROR", False),
        (OSError(28, "No space left on device", "out.csv"), 7, "ENOSPC", "ENOSPC", False),
        (RuntimeError("boom"), 1, "RuntimeError", "RuntimeError", False),
        # Ctrl-C during a statement of the store, as DuckDB reports it.
        (RuntimeError("Query interrupted"), 130, "INTERRUPTED", "INTERRUPTED", False),
    ],
    ids=["meter-eof", "unavailable", "internal", "no-code", "connection", "deadline", "not-found", "token",
         "security-behind", "codec", "disk-full", "bug", "store-interrupted"],
)
def test_one_failure_map_for_the_tool_and_the_ledger(exc, exit_code, code, ledger_code, transient):
    from norvo_halvex.failures import classify

    failure = classify(exc, mediator="10.0.0.1:50051")
    assert (int(failure.exit_code), failure.code, failure.ledger_code, failure.transient) == (
        exit_code, code, ledger_code, transient)
    unreachable = exit_code == 4 and code in ("UNAVAILABLE", "DEADLINE_EXCEEDED")
    assert ("(now 10.0.0.1:50051)" in (failure.hint or "")) is unreachable


def test_every_explained_security_problem_is_a_security_failure_of_the_ledger():
    from norvo_halvex import failures

    assert {problem.upper() for problem in failures._SECURITY_WORDS} <= failures.SECURITY_CODES


@pytest.mark.parametrize(
    "codes, code",
    [([3, 3], 3), ([4], 4), ([4, 3, 3], 4), ([3, 5], 5), ([8, 4, 3], 8), ([7, 3], 7), ([1, 3], 3), ([1], 1)],
)
def test_a_run_in_which_everything_failed_exits_with_the_failures_code(codes, code):
    from norvo_halvex.failures import ExitCode, all_failed_exit_code

    assert all_failed_exit_code(ExitCode(c) for c in codes) == code
