"""Fleet collection: meter-days of intervals, registers and events into a DuckDB store.

``collect(serials, CollectOptions(...), mediator=...)`` plans the meter-days (serials x
days, minus what the store already holds with ``resume=True``), reads them on threads or as
Dask tasks through the meter client, and stores them with one writer, in transactions of
whole meter-days (those that complete together, up to 256). ``gaps`` reports what is
missing; ``export`` writes a table out with DuckDB's ``COPY``. See docs/collect.md.
"""

from norvo_halvex.collect.cluster import ClusterError, ClusterTLS
from norvo_halvex.collect.collector import CollectOptions, Summary, collect
from norvo_halvex.collect.export import FORMATS, TABLES, export
from norvo_halvex.collect.gaps import gaps
from norvo_halvex.collect.plan import Plan, day_range, parse_whats, yesterday
from norvo_halvex.collect.store import DEFAULT_DB, Store, StoreError
from norvo_halvex.collect.task import WHATS, MeterDay, MeterDayResult, collect_meter_day

__all__ = [
    "DEFAULT_DB",
    "FORMATS",
    "TABLES",
    "WHATS",
    "ClusterError",
    "ClusterTLS",
    "CollectOptions",
    "MeterDay",
    "MeterDayResult",
    "Plan",
    "Store",
    "StoreError",
    "Summary",
    "collect",
    "collect_meter_day",
    "day_range",
    "export",
    "gaps",
    "parse_whats",
    "yesterday",
]
