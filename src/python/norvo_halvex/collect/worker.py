"""The task a Dask worker runs: one meter-day through this process's client."""

from __future__ import annotations

import logging
import signal
import threading

from norvo_halvex.collect.task import DEFAULT_BACKOFF, MeterDay, MeterDayResult, collect_meter_day

_clients: dict[tuple, object] = {}
_lock = threading.Lock()


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


def quiet_worker(setup=None) -> None:
    """Run in each worker process of a local cluster, whose terminal is the tool's: Ctrl-C
    there is for the tool, which stops the workers itself; and the library's log entries
    stay off that terminal (every failure is in the results the tool reports), going where
    ``setup`` sends them, if anywhere."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    logging.getLogger().addHandler(logging.NullHandler())
    if setup is not None:
        setup()
