"""The mediator could not reach the meter (defined in ``norvo_halvex.errors``)."""

from norvo_halvex.errors import HalvexConnectionFailure

__all__ = ["HalvexConnectionFailure"]
