"""gRPC transport to the Halvex mediator: ``client.HalvexMediatorGrpcClient``.

The generated service modules live beside it (``halvex_mediator_pb2*``); the meter-side
exceptions in ``exception``. ``ConnectionSettings`` (TLS, token, deadlines; module
``settings``) and ``parse_mediator_address`` (module ``address``) are imported here; the
client is also reachable as ``norvo_halvex.mediator.grpc.HalvexMediatorGrpcClient``,
imported on first use so that importing the generated modules alone stays cheap.
"""

from norvo_halvex.mediator.grpc.address import parse_mediator_address
from norvo_halvex.mediator.grpc.settings import ConnectionSettings

__all__ = ["ConnectionSettings", "HalvexMediatorGrpcClient", "parse_mediator_address"]


def __getattr__(name):
    if name == "HalvexMediatorGrpcClient":
        from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient

        return HalvexMediatorGrpcClient
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
