"""The meter's stream ended before its answer was complete (defined in ``norvo_halvex.errors``)."""

from norvo_halvex.errors import HalvexEOFError

__all__ = ["HalvexEOFError"]
