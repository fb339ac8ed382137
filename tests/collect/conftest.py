"""Fixtures of the collection tests: a frozen-time default fleet, a store, runners.

``db`` is the store's path, a DuckDB file; a test run for both backends takes it from
``collect_support.BACKENDS`` (indirect parametrisation), and is then also given the URL of a
fresh schema on the session's PostgreSQL server.
"""

from __future__ import annotations

import itertools
import os

import pytest

from collect_support import DAY, NOW

_schemas = itertools.count()


@pytest.fixture(autouse=True)
def closed_clients():
    """Each test's collections leave no channel behind: one still trying to reach a stopped
    simulator would be shared by gRPC with a later client of the same address (ports are
    reused) and fail its first calls."""
    yield
    from norvo_halvex.collect.worker import close_clients

    close_clients()


@pytest.fixture
def fleet():
    from norvo_halvex.mediator.simulator import Fleet

    f = Fleet.default()
    f.freeze_time(NOW)  # registers and clocks read the same on every run
    return f


@pytest.fixture(scope="session")
def postgres_server():
    """A PostgreSQL server of this session (initdb + pg_ctl in a temporary folder, Unix
    socket only), stopped at the end. Missing server binaries skip its tests, except in CI,
    whose .ci/run installs them."""
    from support import postgres

    if postgres.binaries() is None:
        message = "no PostgreSQL server binaries (initdb, pg_ctl): apt-get install postgresql"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)
    server = postgres.start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def db(request, tmp_path):
    """The store of a test: a DuckDB file, or (``postgres``) a schema of its own."""
    if getattr(request, "param", "duckdb") == "postgres":
        server = request.getfixturevalue("postgres_server")
        return server.url(schema=f"t{next(_schemas)}_{os.getpid()}")
    return str(tmp_path / "halvex.duckdb")


@pytest.fixture
def run_collect(simulator, fleet, db):
    """collect() of the whole default fleet for DAY against the simulator; keyword
    arguments override the defaults (no backoff wait between retries)."""
    from norvo_halvex.collect import CollectOptions, collect

    def run(serials=None, *, mediator=simulator.address, on_result=None, **kw):
        options = CollectOptions(**{"day": DAY, "retries": 0, "backoff": 0.001, "workers": 4, **kw})
        return collect(sorted(fleet.meters) if serials is None else serials, options, mediator=mediator,
                       store=db, on_result=on_result)

    return run


@pytest.fixture
def read_db(db):
    """Rows of a query of the store (``?`` parameters; the store is opened read-only each time)."""
    from collect_support import query
    from norvo_halvex.collect import open_store

    def read(sql, params=None):
        with open_store(db, read_only=True) as store:
            return query(store, sql, params)

    return read
