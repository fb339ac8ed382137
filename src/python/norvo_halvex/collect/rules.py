"""The meter-domain rules a collection uses, named for collect/ (they live in norvo_halvex.meters)."""

from __future__ import annotations

import datetime as _dt

from norvo_halvex.meters import CT_OPERATED, WHOLE_CURRENT, day_window, format_scaled, scale_for
from norvo_halvex.meters import interval_frames as frames

__all__ = ["DAY_WINDOW_END", "count_text", "day_window", "decimals_for", "frames"]

#: The last interval start of a day window, from its midnight.
DAY_WINDOW_END = day_window(_dt.date(2000, 1, 1))[1] - day_window(_dt.date(2000, 1, 1))[0]


def decimals_for(hardware: str) -> int:
    return scale_for(hardware).decimals


def count_text(count: int, decimals: int) -> str:
    """An exact decimal text of a raw count in kWh with the meter's ``decimals``."""
    return format_scaled(count, CT_OPERATED if decimals == CT_OPERATED.decimals else WHOLE_CURRENT)
