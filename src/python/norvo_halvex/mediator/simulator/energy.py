"""Deterministic energy for simulated meters.

Each measured quantity (a "channel": active import, reactive export, ...) has a fixed
amount per 30-minute interval, a pure function of the meter's serial, the channel and
the interval's position in the week. A register is the running sum of those amounts
since an anchor instant, so registers advance with time, interval data and registers
agree (the sum of the intervals in [a, b) is register(b) - register(a)), and the same
fleet answers the same numbers in every run.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass

from norvo_halvex.meters import THREE_PHASE_QUANTITIES

__all__ = ["INTERVAL_SECONDS", "ANCHOR_EPOCH", "CHANNELS", "EnergyProfile"]

#: Length of one interval; every simulated meter records 30-minute intervals.
INTERVAL_SECONDS = 1800
#: 2025-01-01T00:00:00Z: registers count from here (plus a per-meter base).
ANCHOR_EPOCH = 1735689600
_PER_WEEK = 7 * 48
_U32 = 1 << 32

#: Channel order of interval values and three-phase totals.
CHANNELS = THREE_PHASE_QUANTITIES


def _load_shape(slot: int) -> float:
    """Household-like daily shape: low at night, morning and evening peaks."""
    hour = (slot % 48) / 2
    morning = math.exp(-((hour - 7.5) ** 2) / 2.0)
    evening = math.exp(-((hour - 19.0) ** 2) / 4.0)
    return 0.25 + 0.5 * morning + 0.75 * evening


def _solar_shape(slot: int) -> float:
    hour = (slot % 48) / 2 + 0.25
    if hour < 6 or hour > 20:
        return 0.0
    return math.sin(math.pi * (hour - 6) / 14) ** 2


@dataclass(frozen=True)
class EnergyProfile:
    """One metering element's weekly pattern.

    ``load_watts``: average power drawn at the evening peak; ``solar_watts``: peak
    power fed back; ``unit_per_wh``: raw counts per Wh (10 on CT-operated meters,
    which count in 0.1 Wh).
    """

    seed: str
    load_watts: int
    solar_watts: int = 0
    unit_per_wh: int = 1

    def __post_init__(self) -> None:
        rng = random.Random(f"halvex-sim:{self.seed}")
        half_hour_units = self.unit_per_wh / 2  # W sustained for 30 min -> Wh/2
        tables: dict[str, list[int]] = {name: [] for name in CHANNELS}
        for slot in range(_PER_WEEK):
            day = slot // 48
            weekend = 1.15 if day >= 5 else 1.0
            load = self.load_watts * _load_shape(slot) * weekend * rng.uniform(0.8, 1.2)
            cloud = rng.uniform(0.3, 1.0)
            solar = self.solar_watts * _solar_shape(slot) * cloud
            # What the meter sees is the net flow at its terminals.
            net = load - solar
            ai = round(max(net, 0.0) * half_hour_units)
            ae = round(max(-net, 0.0) * half_hour_units)
            ri = round(ai * rng.uniform(0.15, 0.35))
            re = round(ae * rng.uniform(0.0, 0.05))
            tables["active_import"].append(ai)
            tables["active_export"].append(ae)
            tables["reactive_import"].append(ri)
            tables["reactive_export"].append(re)
            tables["apparent_import"].append(math.isqrt(ai * ai + ri * ri))
            tables["apparent_export"].append(math.isqrt(ae * ae + re * re))
        prefixes = {}
        for name, table in tables.items():
            acc = [0]
            for v in table:
                acc.append(acc[-1] + v)
            prefixes[name] = acc
        # Registers do not start at zero: the meter has been in service for some weeks
        # before the anchor (fewer for big loads, so registers stay far from rollover).
        week_max = max(max(acc[-1] for acc in prefixes.values()), 1)
        weeks = min(rng.randint(10, 150), 200_000_000 // week_max)
        bases = {name: weeks * prefixes[name][-1] for name in CHANNELS}
        object.__setattr__(self, "_tables", tables)
        object.__setattr__(self, "_prefixes", prefixes)
        object.__setattr__(self, "_bases", bases)

    def interval(self, channel: str, start: int) -> int:
        """Amount recorded in the interval beginning at ``start`` (epoch seconds, aligned)."""
        slot = ((start - ANCHOR_EPOCH) // INTERVAL_SECONDS) % _PER_WEEK
        return self._tables[channel][slot]

    def intervals(self, start: int) -> list[int]:
        """All six channels of one interval, in ``CHANNELS`` order."""
        slot = ((start - ANCHOR_EPOCH) // INTERVAL_SECONDS) % _PER_WEEK
        return [self._tables[name][slot] for name in CHANNELS]

    def register(self, channel: str, at: float) -> int:
        """Register value at instant ``at`` (epoch seconds); rolls over at 2**32 like the meter's."""
        k, into = divmod(at - ANCHOR_EPOCH, INTERVAL_SECONDS)
        weeks, slot = divmod(int(k), _PER_WEEK)
        prefix = self._prefixes[channel]
        partial = int(self._tables[channel][slot] * into / INTERVAL_SECONDS)
        return (self._bases[channel] + weeks * prefix[-1] + prefix[slot] + partial) % _U32

    def power_watts(self, at: float) -> int:
        """Net active power drawn now (import positive), from the current interval's amounts."""
        start = int(at - (at - ANCHOR_EPOCH) % INTERVAL_SECONDS)
        net = self.interval("active_import", start) - self.interval("active_export", start)
        return round(net * 2 / self.unit_per_wh)
