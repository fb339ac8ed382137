"""The meter's stream ended before its answer was complete."""

from norvo_halvex.mediator.grpc.exception.halvex_meter_error import HalvexMeterError


class HalvexEOFError(HalvexMeterError):
    """The mediator reported that the meter's stream ended before the answer was complete.

    Some meters end the stream instead of answering for objects they do not hold
    (for example a missing phase); otherwise the link dropped mid-answer.
    """
