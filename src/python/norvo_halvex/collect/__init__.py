"""Fleet collection: meter-days of intervals, registers and events into a store (a DuckDB file,
or a PostgreSQL database).

``collect(serials, CollectOptions(...), mediator=...)`` plans the meter-days (serials x
days, minus what the store already holds with ``resume=True``), reads them on threads or as
Dask tasks through the meter client, and stores them with one writer, in transactions of
whole meter-days (those that complete together, up to 256). ``open_store`` opens a store by
its path or URL; ``gaps`` reports what is missing; ``export`` writes a table out with
DuckDB's ``COPY``; ``report`` writes the days as one self-contained HTML page. See
docs/collect.md.
"""

from norvo_halvex.collect.backends import open_store
from norvo_halvex.collect.cluster import ClusterError, ClusterTLS
from norvo_halvex.collect.collector import CollectOptions, Summary, collect
from norvo_halvex.collect.export import FORMATS, TABLES, export
from norvo_halvex.collect.gaps import gaps
from norvo_halvex.collect.plan import Plan, day_range, parse_whats, yesterday
from norvo_halvex.collect.report_page import ReportSummary, report
from norvo_halvex.collect.store import (
    DEFAULT_DB,
    DEFAULT_WAIT,
    BaseStore,
    Store,
    StoreError,
    StoreLocked,
    is_server,
    shown,
)
from norvo_halvex.collect.task import WHATS, MeterDay, MeterDayResult, collect_meter_day

__all__ = [
    "DEFAULT_DB",
    "DEFAULT_WAIT",
    "FORMATS",
    "TABLES",
    "WHATS",
    "BaseStore",
    "ClusterError",
    "ClusterTLS",
    "CollectOptions",
    "MeterDay",
    "MeterDayResult",
    "Plan",
    "ReportSummary",
    "Store",
    "StoreError",
    "StoreLocked",
    "Summary",
    "collect",
    "collect_meter_day",
    "day_range",
    "export",
    "gaps",
    "is_server",
    "open_store",
    "parse_whats",
    "report",
    "shown",
    "yesterday",
]
