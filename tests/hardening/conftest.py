"""`core` and `client` as in tests/api_core (see support.core), a check that every test leaves
the core's module names as it found them, and the hardening counters at the end of the session
with -v or HALVEX_HARDENING_SUMMARY=1 (see support.hardening)."""

import pytest

from support.core import client, core  # noqa: F401 - fixtures

_MISSING = object()


@pytest.fixture(autouse=True)
def core_names_restored():
    """These suites replace the core's module names by hand; one left behind would change what
    every later test sees, in any folder."""
    import norvo_halvex.mediator.api_core as api_core

    before = dict(vars(api_core))
    yield
    after = vars(api_core)
    changed = sorted(n for n in before.keys() | after.keys() if after.get(n, _MISSING) is not before.get(n, _MISSING))
    assert not changed, f"module names of the core left replaced: {changed}"


def pytest_terminal_summary(terminalreporter):
    from support.hardening import write_summary

    write_summary(terminalreporter)
