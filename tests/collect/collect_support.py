"""Constants the collection tests share (a module of its own: test folders run together)."""

import datetime as dt

UTC = dt.timezone.utc
#: The simulated fleet's "now"; the collected day is the day before.
NOW = dt.datetime(2025, 6, 2, 12, 0, tzinfo=UTC)
DAY = dt.date(2025, 6, 1)
THREE_PHASE = ("HX3000001", "HX3000002", "HX3000003", "HX3000004")
