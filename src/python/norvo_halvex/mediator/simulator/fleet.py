"""The fleet of simulated meters, its faults and its time source.

Loading a fleet file is ``fleet_file``; the faults of the meters are a ``FaultRegistry``
(``faults``).
"""

from __future__ import annotations

import datetime as _dt
import os
import threading
import time
from collections.abc import Callable, Iterable, Mapping
from types import MappingProxyType
from typing import Any

from norvo_halvex.mediator.simulator import fleet_file
from norvo_halvex.mediator.simulator.errors import FleetError
from norvo_halvex.mediator.simulator.faults import Fault, FaultAction, FaultRegistry, Operation
from norvo_halvex.mediator.simulator.model import MeterKind, SimulatedMeter

__all__ = ["Fleet", "FleetError"]


class Fleet:
    """Simulated meters by serial, with per-serial faults.

    ``time_source`` returns real UTC as epoch seconds (``time.time`` by default); meter
    clocks, registers and instantaneous values follow it. ``freeze_time`` pins it,
    which makes every answer of the simulator exactly reproducible.
    """

    def __init__(
        self,
        meters: Iterable[SimulatedMeter] = (),
        *,
        time_source: Callable[[], float] = time.time,
    ) -> None:
        self._meters: dict[str, SimulatedMeter] = {}
        self._faults = FaultRegistry()
        self._lock = threading.Lock()
        self.time_source = time_source
        for meter in meters:
            self.add(meter)

    # -- construction -------------------------------------------------------------------

    @classmethod
    def default(cls) -> Fleet:
        """Eight meters, two of each kind. The first four serials are the documented ones."""
        return cls(
            [
                SimulatedMeter("HX1000001", MeterKind.SINGLE_ELEMENT, hardware="HXS-100"),
                SimulatedMeter("HX1000002", MeterKind.TWIN_ELEMENT, hardware="HXT-200", solar_watts=3000),
                SimulatedMeter("HX3000001", MeterKind.THREE_PHASE_AX, solar_watts=5000),
                SimulatedMeter("HX3000002", MeterKind.THREE_PHASE_CX),
                # NUL-padded hardware text, as some firmware reports it.
                SimulatedMeter("HX1000003", MeterKind.SINGLE_ELEMENT, hardware="HXS-110\x00\x00\x00", firmware=b"0507"),
                SimulatedMeter("HX1000004", MeterKind.TWIN_ELEMENT, hardware="HXT-220", load_b_watts=2500),
                SimulatedMeter("HX3000003", MeterKind.THREE_PHASE_AX, load_watts=11000, firmware=b"1102"),
                SimulatedMeter("HX3000004", MeterKind.THREE_PHASE_CX, load_watts=20000, firmware=b"1102"),
            ]
        )

    @classmethod
    def generate(
        cls,
        count: int,
        *,
        prefix: str = "HXG",
        kinds: Iterable[MeterKind | str] = tuple(MeterKind),
        fault: Fault | None = None,
    ) -> Fleet:
        """``count`` synthetic meters ``<prefix>000000``, ``<prefix>000001``, ... cycling
        through ``kinds``; ``fault`` (for example ``Fault(latency=0.05)``) is set on each."""
        fleet = cls()
        fleet.add_generated(count, prefix=prefix, kinds=kinds, fault=fault)
        return fleet

    def add_generated(
        self,
        count: int,
        *,
        prefix: str = "HXG",
        kinds: Iterable[MeterKind | str] = tuple(MeterKind),
        fault: Fault | None = None,
    ) -> list[str]:
        if isinstance(count, bool) or not isinstance(count, int) or count < 0:
            raise FleetError(f"meter count must be a whole number >= 0, got {count!r}")
        kinds = [MeterKind(k) for k in kinds]
        if not kinds:
            raise FleetError("kinds must name at least one meter kind")
        serials = []
        for i in range(count):
            kind = kinds[i % len(kinds)]
            meter = SimulatedMeter(f"{prefix}{i:06d}", kind, load_watts=None)
            self.add(meter)
            if fault is not None:
                self.set_fault(meter.serial, fault)
            serials.append(meter.serial)
        return serials

    @classmethod
    def from_json(cls, path: str | os.PathLike[str]) -> Fleet:
        """Loads a fleet file (format in docs/simulator.md). Raises FleetError naming the
        file and the offending entry."""
        return fleet_file.load_fleet_file(cls, path)

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Fleet:
        """Builds a fleet from the parsed content of a fleet file; FleetError names the entry."""
        return fleet_file.fleet_from_dict(cls, data)

    # -- meters -------------------------------------------------------------------------

    @property
    def meters(self) -> Mapping[str, SimulatedMeter]:
        """Serial -> meter (a read-only view)."""
        return MappingProxyType(self._meters)

    def add(self, meter: SimulatedMeter) -> None:
        with self._lock:
            if meter.serial in self._meters:
                raise FleetError(f"duplicate meter serial {meter.serial!r}")
            # Copy-on-write: lookups from server threads never see a half-updated dict.
            self._meters = {**self._meters, meter.serial: meter}

    def __getitem__(self, serial: str) -> SimulatedMeter:
        return self._meters[serial]

    def get(self, serial: str) -> SimulatedMeter | None:
        return self._meters.get(serial)

    def __len__(self) -> int:
        return len(self._meters)

    def __iter__(self):
        return iter(self._meters.values())

    # -- time ---------------------------------------------------------------------------

    def now(self) -> float:
        return self.time_source()

    def freeze_time(self, at: _dt.datetime | float) -> None:
        """Pins real UTC for the whole fleet (a datetime with time zone, or epoch seconds)."""
        if isinstance(at, _dt.datetime):
            if at.tzinfo is None:
                raise ValueError("freeze_time needs an aware datetime (tzinfo=datetime.UTC)")
            at = at.timestamp()
        value = float(at)
        self.time_source = lambda: value

    # -- faults -------------------------------------------------------------------------

    def set_fault(self, serial: str, fault: Fault) -> None:
        """Installs ``fault`` on meter ``serial`` (replacing any earlier one, counters reset)."""
        if serial not in self._meters:
            raise KeyError(f"no meter {serial!r} in the fleet")
        self._faults.set(serial, fault)

    def clear_fault(self, serial: str) -> None:
        self._faults.clear(serial)

    def clear_faults(self) -> None:
        self._faults.clear_all()

    def fault(self, serial: str) -> Fault | None:
        return self._faults.get(serial)

    def fault_calls(self, serial: str) -> int:
        """How many calls the meter's current fault has matched so far."""
        return self._faults.calls(serial)

    def decide(
        self, serial: str, operation: Operation, object_id: int | None, interval_frame: bool = False
    ) -> FaultAction | None:
        return self._faults.decide(serial, operation, object_id, interval_frame)
