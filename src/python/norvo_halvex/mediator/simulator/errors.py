"""Errors of the simulator: the failure a simulated mediator answers with a gRPC status,
and a fleet description that cannot be used."""

from __future__ import annotations

import grpc


class SimulatorError(Exception):
    """Ends the current call with gRPC status ``code`` and ``details``."""

    def __init__(self, code: grpc.StatusCode, details: str) -> None:
        super().__init__(details)
        self.code = code
        self.details = details


def not_found(details: str) -> SimulatorError:
    return SimulatorError(grpc.StatusCode.NOT_FOUND, details)


def invalid(details: str) -> SimulatorError:
    return SimulatorError(grpc.StatusCode.INVALID_ARGUMENT, details)


class FleetError(ValueError):
    """A fleet description that cannot be used; the text says where and why."""
