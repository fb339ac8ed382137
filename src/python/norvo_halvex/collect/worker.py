"""The task a Dask worker runs: one meter-day through this process's client."""

from __future__ import annotations

import threading

from norvo_halvex.collect.task import DEFAULT_BACKOFF, MeterDay, MeterDayResult, collect_meter_day

_clients: dict[tuple[str, str], object] = {}
_lock = threading.Lock()


def client_for(mediator: str, log_level: str = "WARNING"):
    """One ``HalvexMediatorAPI`` per mediator address in this process, shared by its threads."""
    key = (mediator, log_level)
    with _lock:
        api = _clients.get(key)
        if api is None:
            from norvo_halvex.mediator.api_core import HalvexMediatorAPI

            api = _clients[key] = HalvexMediatorAPI(mediator, log_level)
        return api


def run_meter_day(
    mediator: str, md: MeterDay, retries: int, backoff: float = DEFAULT_BACKOFF, log_level: str = "WARNING"
) -> MeterDayResult:
    return collect_meter_day(client_for(mediator, log_level), md, retries=retries, backoff=backoff)
