"""When a collection stops early by itself: the mediator is gone, or it refuses us.

A meter-day that failed as a whole because the mediator could not be reached, or because
it refused the connection's security (TLS, token, permission for the credential), says
nothing about that meter; several in a row say the rest will fail the same way. Then the
collection stops dispatching: the meter-days in flight end (without further retries) and
are stored, the rest is left for ``--resume``.
"""

from __future__ import annotations

import dataclasses

from norvo_halvex.failures import MEDIATOR_CODES, ExitCode, Failure, unreachable_hint

#: Meter-days in a row that found the mediator unreachable (UNAVAILABLE, DEADLINE_EXCEEDED).
STOP_AFTER_UNREACHABLE = 5
#: Meter-days in a row refused for security: a TLS failure, UNAUTHENTICATED, or
#: PERMISSION_DENIED for the credential presented. Fewer: these do not pass by themselves.
STOP_AFTER_REFUSED = 3


def kind_of(result) -> tuple[str, Failure] | None:
    """("unreachable" | "refused", the last failure) when ``result`` failed as a whole for
    one of those reasons; None for anything else (which breaks a run of them)."""
    if result.outcome != "failed":
        return None
    failures = [a.failure for a in result.final().values()]
    if not failures or any(f is None for f in failures):
        return None
    if all(f.exit_code is ExitCode.SECURITY for f in failures):
        return "refused", failures[-1]
    if all(f.exit_code is ExitCode.MEDIATOR and f.code in MEDIATOR_CODES and f.problem is None for f in failures):
        return "unreachable", failures[-1]
    return None


class FailFast:
    """Watches the meter-days as they are stored; ``see`` returns the cause once a run of
    failures of one kind reaches its limit (a limit of 0 never stops)."""

    def __init__(self, unreachable: int = STOP_AFTER_UNREACHABLE, refused: int = STOP_AFTER_REFUSED) -> None:
        self.limits = {"unreachable": unreachable, "refused": refused}
        self.kind: str | None = None
        self.streak = 0
        self.cause: Failure | None = None

    def see(self, result) -> Failure | None:
        if self.cause is not None or result.interrupted:
            return None
        found = kind_of(result)
        if found is None:
            self.kind, self.streak = None, 0
            return None
        kind, failure = found
        self.streak = self.streak + 1 if kind == self.kind else 1
        self.kind = kind
        limit = self.limits[kind]
        if limit and self.streak >= limit:
            self.cause = failure
        return self.cause


def with_mediator(failure: Failure, mediator: str | None) -> Failure:
    """``failure`` with the address in its hint, when the mediator was the problem."""
    if failure.exit_code is ExitCode.MEDIATOR and failure.code in MEDIATOR_CODES:
        return dataclasses.replace(failure, hint=unreachable_hint(mediator))
    return failure
