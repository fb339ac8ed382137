"""State of one simulated meter: identity, clock, settings, OBIS store and energy.

Plain values only; turning them into wire records is ``objects.py``'s work. Time is
always passed in (epoch seconds of real UTC from the fleet's time source), so a test
can freeze it and get exact numbers.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import threading
import zlib

from norvo_halvex.mediator.simulator.energy import INTERVAL_SECONDS, EnergyProfile
from norvo_halvex.meters import MeterKind, obis_object_id, scale_for

__all__ = ["MeterKind", "SimulatedMeter", "DEFAULT_HARDWARE", "FUTURE_INTERVALS"]

#: What a meter answers for intervals not over yet by its clock.
FUTURE_INTERVALS = ("withheld", "missing", "answered")


#: Hardware text each kind reports by default (three-phase meters report none).
DEFAULT_HARDWARE = {
    MeterKind.SINGLE_ELEMENT: "HXS-100",
    MeterKind.TWIN_ELEMENT: "HXT-200",
    MeterKind.THREE_PHASE_AX: "",
    MeterKind.THREE_PHASE_CX: "",
}

_DEFAULT_LOAD_WATTS = {
    MeterKind.SINGLE_ELEMENT: 1200,
    MeterKind.TWIN_ELEMENT: 1800,
    MeterKind.THREE_PHASE_AX: 7000,
    MeterKind.THREE_PHASE_CX: 12000,
}

@dataclasses.dataclass(eq=False)
class SimulatedMeter:
    """One meter of the fleet.

    ``settings`` hold raw byte values as the meter stores them: the daylight-saving
    correction flag (0/1), and the integer values of the backlight and load-switch
    settings. ``obis`` maps OBIS object identifiers to their stored bytes.
    """

    serial: str
    kind: MeterKind
    hardware: str | None = None
    firmware: bytes = b"0412"
    clock_offset: float = 0.0
    daylight_savings_correction: int = 1
    backlight: int = 2  # auto
    load_switch: int = 1  # connected
    csq: int = 17
    load_watts: int | None = None
    solar_watts: int = 0
    load_b_watts: int | None = None
    obis: dict[int, bytes] = dataclasses.field(default_factory=dict)
    missing_intervals: set[int] = dataclasses.field(default_factory=set)
    #: Intervals not yet over by the meter's clock: ``withheld`` (not answered, as a meter
    #: does), ``missing`` (answered flagged missing) or ``answered`` (with data, as if over).
    future_intervals: str = "withheld"

    def __post_init__(self) -> None:
        self.kind = MeterKind(self.kind)
        if not isinstance(self.serial, str) or not self.serial:
            raise ValueError(f"a meter needs a non-empty serial text, got {self.serial!r}")
        if self.hardware is None:
            self.hardware = DEFAULT_HARDWARE[self.kind]
        # A meter reports both as ASCII text; anything else could never be answered.
        for name in ("serial", "hardware"):
            text = getattr(self, name)
            if not isinstance(text, str) or not text.isascii():
                raise ValueError(f"meter {self.serial}: {name} must be ASCII text, as meters report it; got {text!r}")
        if self.kind.is_three_phase and self.hardware:
            raise ValueError(
                f"meter {self.serial}: three-phase meters report an empty hardware text, got {self.hardware!r}"
            )
        if not self.kind.is_three_phase and not self.hardware:
            raise ValueError(f"meter {self.serial}: single-phase meters need a hardware text such as 'HXS-100'")
        if self.load_watts is None:
            self.load_watts = _DEFAULT_LOAD_WATTS[self.kind]
        if self.load_b_watts is None:
            self.load_b_watts = self.load_watts // 2
        for name in ("daylight_savings_correction", "backlight", "load_switch", "csq"):
            value = getattr(self, name)
            if isinstance(value, bool):
                value = int(value)
            if not isinstance(value, int) or not 0 <= value <= 255:
                raise ValueError(f"meter {self.serial}: {name} must be 0..255, got {value!r}")
            setattr(self, name, value)
        self.missing_intervals = {int(t) - int(t) % INTERVAL_SECONDS for t in self.missing_intervals}
        if self.future_intervals not in FUTURE_INTERVALS:
            raise ValueError(f"meter {self.serial}: future_intervals must be one of {', '.join(FUTURE_INTERVALS)}, "
                             f"got {self.future_intervals!r}")
        self.lock = threading.Lock()
        unit = scale_for(self.kind).counts_per_wh
        self.energy_a = EnergyProfile(f"{self.serial}/A", self.load_watts, self.solar_watts, unit)
        self.energy_b = (
            EnergyProfile(f"{self.serial}/B", self.load_b_watts, 0, unit) if self.kind.has_element_b else None
        )
        for key, value in default_obis(self).items():
            self.obis.setdefault(key, value)

    # -- clock --------------------------------------------------------------------------

    def clock(self, now: float) -> float:
        """The meter's clock, in epoch seconds, when real UTC is ``now``."""
        return now + self.clock_offset

    def clock_datetime(self, now: float) -> _dt.datetime:
        return _dt.datetime.fromtimestamp(int(self.clock(now)), _dt.UTC)

    def set_clock(self, value: _dt.datetime, now: float) -> None:
        with self.lock:
            self.clock_offset = value.timestamp() - now

    # -- registers ----------------------------------------------------------------------

    def element_registers(self, element: str, now: float) -> dict[str, int]:
        """Single-phase element register counts in Wh / varh."""
        profile = self.energy_a if element == "A" else self.energy_b
        if profile is None:
            raise KeyError(element)
        return {
            "import_active": profile.register("active_import", now),
            "export_active": profile.register("active_export", now),
            "import_reactive": profile.register("reactive_import", now),
            "export_reactive": profile.register("reactive_export", now),
        }

    def total(self, channel: str, now: float) -> int:
        """Three-phase total in raw counts (Wh, or 0.1 Wh on CT-operated meters)."""
        return self.energy_a.register(channel, now)

    def power_watts(self, element: str | None, now: float) -> int:
        if element == "A":
            return max(self.energy_a.power_watts(now), 0)
        if element == "B":
            return max(self.energy_b.power_watts(now), 0) if self.energy_b else 0
        total = self.energy_a.power_watts(now)
        if self.energy_b is not None:
            total += self.energy_b.power_watts(now)
        return total

    def voltage_decivolts(self, phase: int, now: float) -> int:
        """Phase voltage in 0.1 V, wandering slowly around 230 V."""
        minute = int(now // 60)
        wobble = zlib.crc32(f"{self.serial}:{phase}:{minute}".encode()) % 61 - 30  # +-3.0 V
        return 2300 + 4 * (phase - 2) + wobble

    # -- intervals ----------------------------------------------------------------------

    def interval_over(self, start: int, now: float) -> bool:
        """An interval is complete on the meter once its end has passed by its clock."""
        return start + INTERVAL_SECONDS <= self.clock(now)

    def interval_answered(self, start: int, now: float) -> bool:
        return self.future_intervals != "withheld" or self.interval_over(start, now)

    def interval_missing(self, start: int, now: float) -> bool:
        if start in self.missing_intervals:
            return True
        return self.future_intervals == "missing" and not self.interval_over(start, now)

    # -- OBIS ---------------------------------------------------------------------------

    def obis_read(self, object_id: int) -> bytes | None:
        with self.lock:
            return self.obis.get(object_id)

    def obis_write(self, object_id: int, payload: bytes) -> None:
        with self.lock:
            self.obis[object_id] = bytes(payload)


def default_obis(meter: SimulatedMeter) -> dict[int, bytes]:
    """A few OBIS objects every simulated meter holds from the start."""
    return {
        obis_object_id("96.1.0"): meter.serial.encode(),
        obis_object_id("96.1.1"): (meter.hardware or meter.kind.value).encode(),
        obis_object_id("0.2.0"): meter.firmware,
        obis_object_id("96.14.0"): b"\x01",  # active tariff
        obis_object_id("0.9.5"): b"\x00\x00",  # billing period counter
    }
