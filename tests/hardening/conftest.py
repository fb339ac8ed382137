"""`core` and `client` as in tests/api_core (see support.core), and the hardening counters at the
end of the session with -v or HALVEX_HARDENING_SUMMARY=1 (see support.hardening)."""

from support.core import client, core  # noqa: F401 - fixtures


def pytest_terminal_summary(terminalreporter):
    from support.hardening import write_summary

    write_summary(terminalreporter)
