"""The task a Dask worker runs: one meter-day through this process's client (and, on
PostgreSQL when asked, into the store from here)."""

from __future__ import annotations

import logging
import signal
import threading

from norvo_halvex.collect.task import DEFAULT_BACKOFF, MeterDay, MeterDayResult, collect_meter_day

_clients: dict[tuple, object] = {}
_lock = threading.Lock()
# A store's connection belongs to one thread: each worker thread has its own.
_stores = threading.local()


def client_for(mediator: str, settings=None, log_level: str = "WARNING"):
    """One ``HalvexMediatorAPI`` per mediator address (and connection settings) in this
    process, shared by its threads. ``settings`` (a ``ConnectionSettings``: TLS and token
    *file paths*) are read here, on the host that connects; without them the client takes
    its settings from this process's HALVEX_* variables."""
    key = (mediator, settings, log_level)
    with _lock:
        api = _clients.get(key)
        if api is None:
            from norvo_halvex.mediator.api_core import HalvexMediatorAPI

            api = HalvexMediatorAPI(mediator, log_level)
            if settings is not None:
                from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient, use_transport

                use_transport(api, HalvexMediatorGrpcClient(mediator, settings=settings))
            _clients[key] = api
        return api


def close_clients() -> None:
    """Closes the clients ``client_for`` made in this process (their channels go; the next
    ``client_for`` makes new ones)."""
    with _lock:
        apis = list(_clients.values())
        _clients.clear()
    for api in apis:
        close = getattr(getattr(api, "grpc_client", None), "close", None)
        if callable(close):
            close()


def run_meter_day(
    mediator: str, md: MeterDay, retries: int, backoff: float = DEFAULT_BACKOFF, log_level: str = "WARNING",
    settings=None,
) -> MeterDayResult:
    return collect_meter_day(client_for(mediator, settings, log_level), md, retries=retries, backoff=backoff)


def run_and_store(
    db: str, run_id: str, mediator: str, md: MeterDay, retries: int, backoff: float = DEFAULT_BACKOFF,
    log_level: str = "WARNING", settings=None,
) -> MeterDayResult:
    """``run_meter_day``, then the meter-day into the store ``db`` (a PostgreSQL URL) in a
    transaction of its own, through this thread's connection. Returns the result without its
    rows (``stored``): only its tries travel back, for the summary. A store that cannot be
    written is a StoreError, with the URL's password never in it."""
    from norvo_halvex.collect.backends import open_store
    from norvo_halvex.collect.store import StoreError

    result = run_meter_day(mediator, md, retries, backoff, log_level, settings)
    if result.interrupted:
        return result
    stores = _stores.__dict__.setdefault("open", {})
    store = stores.get(db)
    try:
        if store is None:
            store = stores[db] = open_store(db)
        store.write(run_id, result)
    except StoreError:
        raise
    except Exception as e:  # a database error: not every one can travel back to the collector
        stores.pop(db, None)
        store.close()  # a connection in doubt is not used again
        raise StoreError(f"a worker could not write to the store {store.path}: {store.scrub(e)}") from None
    result.intervals, result.events, result.registers, result.stored = [], [], None, True
    return result


def quiet_worker(setup=None) -> None:
    """Run in each worker process of a local cluster, whose terminal is the tool's: Ctrl-C
    there is for the tool, which stops the workers itself; and the library's log entries
    stay off that terminal (every failure is in the results the tool reports), going where
    ``setup`` sends them, if anywhere."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    logging.getLogger().addHandler(logging.NullHandler())
    if setup is not None:
        setup()
