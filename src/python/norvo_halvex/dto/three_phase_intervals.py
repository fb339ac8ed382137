"""Interval data of a three-phase meter; the types live in ``norvo_halvex.meters.intervals``."""

from norvo_halvex.meters.intervals import VALUE_FIELDS, ThreePhaseInterval, ThreePhaseIntervals

__all__ = ["VALUE_FIELDS", "ThreePhaseInterval", "ThreePhaseIntervals"]
