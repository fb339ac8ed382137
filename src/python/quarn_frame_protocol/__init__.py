"""Quarn frame protocol codec: the records exchanged with Halvex meters through the mediator.

Records live in their own modules (see docs/architecture.md for the names and
docs/protocol.md for the layouts); importing this package loads none of them.
"""

from .errors import QuarnCodecError

__all__ = ["QuarnCodecError"]
