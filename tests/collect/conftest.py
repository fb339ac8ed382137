"""Fixtures of the collection tests: a frozen-time default fleet, a store path, runners."""

from __future__ import annotations

import pytest

from collect_support import DAY, NOW


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


@pytest.fixture
def db(tmp_path):
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
    """Rows of a table of the store, ordered (the store is opened read-only each time)."""
    from norvo_halvex.collect import Store

    def read(sql, params=None):
        with Store(db, read_only=True) as store:
            return store.con.execute(sql, params or []).fetchall()

    return read

