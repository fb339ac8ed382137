"""The meter API (``api_core.HalvexMediatorAPI``), its gRPC transport (``grpc``) and the
mediator simulator (``simulator``).

Every exception a caller can meet, where it is defined and when it comes, is mapped in
``norvo_halvex.errors``.
"""
