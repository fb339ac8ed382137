"""The mediator could not reach the meter."""

from norvo_halvex.mediator.grpc.exception.halvex_meter_error import HalvexMeterError


class HalvexConnectionFailure(HalvexMeterError):
    """The mediator reported that it could not connect to the meter.

    Usually transient (meter powered off, modem out of coverage): check the meter's
    power and signal, then try again later.
    """
