"""Common base of the meter-side failures raised by the transport client.

Defined in ``norvo_halvex.errors``, which maps every exception a caller can meet.
"""

from norvo_halvex.errors import HalvexMeterError

__all__ = ["HalvexMeterError"]
