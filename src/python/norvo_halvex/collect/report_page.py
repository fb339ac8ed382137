"""The fleet's days as one self-contained HTML page: figures, completeness, failures, load.

The charts are made with Altair (Vega-Lite) and drawn in the browser by Vega,
whose JavaScript (from vl-convert, which bundles it for offline use) is written into the
page: the file opens anywhere, with no network. A content security policy in the page
forbids every load besides, so a stray URL cannot reach out either.

Everything that came from a meter, a mediator or the store (serials, codes, messages) is
data: shown with its control characters written out, escaped for HTML in the tables, and
in the charts' JSON with ``<``, ``>`` and ``&`` as ``\\u`` escapes, so no text can end the
script element it travels in. See ``report_data`` for what the figures mean.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import functools
import json
import re
from collections.abc import Sequence

from norvo_halvex import files
from norvo_halvex.collect.report_data import (
    MIN_USUAL_DAYS,
    OUTCOMES,
    ReportData,
    read,
)
from norvo_halvex.collect.store import INTERVAL_COLUMNS, BaseStore
from norvo_halvex.meters import INTERVAL_SECONDS
from norvo_halvex.untrusted import for_terminal

COLOURS = {"complete": "#3b8f4f", "partial": "#e0a526", "failed": "#c8423a", "missing": "#b9b9b9"}
# What a half-hour's energy is as an average load over it.
_PER_HOUR = 3600 / INTERVAL_SECONDS
_LOAD_UNITS = {"kwh": "kW", "kvarh": "kvar", "kvah": "kVA"}
#: The page's content security policy: inline scripts and styles only, nothing loaded.
#: (Vega compiles its expressions with ``Function``, hence 'unsafe-eval'.)
CSP = "default-src 'none'; script-src 'unsafe-inline' 'unsafe-eval'; style-src 'unsafe-inline'; img-src data:"


@dataclasses.dataclass(frozen=True)
class ReportSummary:
    out: str
    days: list[_dt.date]
    zone: str
    meters: int
    counts: dict[str, int]
    bytes: int

    def as_dict(self) -> dict:
        return dataclasses.asdict(self)


def share(counts: dict[str, int]) -> float | None:
    """The share of meter-days complete; None when there are none."""
    total = sum(counts.values())
    return counts["complete"] / total if total else None


# -- embedding ------------------------------------------------------------------------------

_IN_SCRIPT = str.maketrans({"<": "\\u003c", ">": "\\u003e", "&": "\\u0026", "\u2028": "\\u2028",
                            "\u2029": "\\u2029"})


def script_json(value) -> str:
    """``value`` as JSON that can stand inside a ``<script>`` element: no ``</script>``,
    ``<!--`` or line separator in it can end or confuse the element (the escapes decode to
    the same text)."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False).translate(_IN_SCRIPT)


@functools.cache
def javascript() -> str:
    """Vega, Vega-Lite and vega-embed in one script (vl-convert's bundle of the release
    Altair writes its charts for)."""
    import altair
    import vl_convert

    major, minor = altair.SCHEMA_VERSION.lstrip("v").split(".")[:2]
    bundle = vl_convert.javascript_bundle(vl_version=f"{major}.{minor}")
    # Not expected in it; if ever there, written so that it cannot end the element.
    return re.sub(r"</(script)", r"<\\/\1", bundle, flags=re.IGNORECASE).replace("<!--", "<\\!--")


def _text(value) -> str:
    return for_terminal("" if value is None else value)


# -- charts -----------------------------------------------------------------------------------


def _csv(header: str, rows) -> str:
    return "\n".join([header, *(",".join(str(v) for v in row) for row in rows)])


def _heatmap(data: ReportData):
    import altair as alt

    index = {serial: i for i, serial in enumerate(data.meters)}
    letters = {o: o[0] for o in OUTCOMES}
    cells = alt.InlineData(
        values=_csv("m,d,o", ((index[s], data.days.index(d), letters[o]) for (s, d), o in data.outcomes.items())),
        format=alt.CsvDataFormat(type="csv", parse={"m": "number", "d": "number"}),
    )
    lookups = {
        "m": ("serial", [{"m": i, "serial": _text(s)} for i, s in enumerate(data.meters)]),
        "d": ("day", [{"d": i, "day": d.isoformat()} for i, d in enumerate(data.days)]),
        "o": ("outcome", [{"o": letters[o], "outcome": o} for o in OUTCOMES]),
    }
    chart = alt.Chart(cells)
    for key, (field, values) in lookups.items():
        chart = chart.transform_lookup(lookup=key, from_=alt.LookupData(data=alt.InlineData(values=values), key=key,
                                                                        fields=[field]))
    x_step = max(4, min(28, 900 // max(1, len(data.days))))
    y_step = max(2, min(18, 1600 // max(1, len(data.meters))))
    return chart.mark_rect().encode(
        x=alt.X("day:O", title=None, sort=[d.isoformat() for d in data.days]),
        y=alt.Y("serial:N", title=None, sort=alt.EncodingSortField("m", op="min", order="ascending"),
                axis=alt.Axis(labelOverlap=True) if y_step < 10 else alt.Axis()),
        color=alt.Color("outcome:N", title="meter-day",
                        scale=alt.Scale(domain=list(OUTCOMES), range=[COLOURS[o] for o in OUTCOMES])),
        tooltip=[alt.Tooltip("serial:N"), alt.Tooltip("day:O"), alt.Tooltip("outcome:N")],
    ).properties(width=alt.Step(x_step), height=alt.Step(y_step))


def _problems(data: ReportData):
    import altair as alt

    values = [{"day": d.isoformat(), "code": _text(code) or "(no code)", "part": what, "outcome": outcome,
               "parts": parts, "meters": meters} for d, code, what, outcome, parts, meters in data.problems]
    return alt.Chart(alt.InlineData(values=values)).mark_bar().encode(
        x=alt.X("day:O", title=None, scale=alt.Scale(domain=[d.isoformat() for d in data.days])),
        y=alt.Y("sum(parts):Q", title="parts not ok"),
        color=alt.Color("code:N", title="code"),
        tooltip=["day:O", "code:N", "part:N", "outcome:N", "parts:Q", "meters:Q"],
    ).properties(width=alt.Step(max(4, min(24, 900 // max(1, len(data.days))))), height=220)


def _quantity_label(column: str) -> str:
    name, _, unit = column.rpartition("_")
    return f"{name.replace('_', ' ')}, {_LOAD_UNITS[unit]}"


def load_chart(data: ReportData):
    import altair as alt

    keys = [f"q{i}" for i in range(len(INTERVAL_COLUMNS))]
    rows = []
    for i, (slot, sums, meters) in enumerate(data.load):
        wall = slot.wall.replace(tzinfo=_dt.timezone.utc)  # drawn at its wall-clock time
        rows.append((int(wall.timestamp()) * 1000, i, *(round(v * _PER_HOUR, 4) for v in sums), meters,
                     slot.wall.isoformat(timespec="minutes")))
    labels = [{"key": k, "quantity": _quantity_label(c)} for k, c in zip(keys, INTERVAL_COLUMNS)]
    values = alt.InlineData(
        values=_csv(",".join(["t", "i", *keys, "meters", "local"]), rows),
        format=alt.CsvDataFormat(type="csv", parse={"t": "number", "i": "number", "meters": "number",
                                                    **dict.fromkeys(keys, "number")}),
    )
    return alt.Chart(values).transform_fold(keys, as_=["key", "value"]).transform_lookup(
        lookup="key", from_=alt.LookupData(data=alt.InlineData(values=labels), key="key", fields=["quantity"]),
    ).mark_line(strokeWidth=1.2).encode(
        x=alt.X("t:T", title=f"local time ({data.zone})", scale=alt.Scale(type="utc")),
        y=alt.Y("value:Q", title=None),
        order=alt.Order("i:Q"),
        color=alt.Color("quantity:N", legend=None),
        tooltip=[alt.Tooltip("local:N", title="half-hour from"), alt.Tooltip("quantity:N"),
                 alt.Tooltip("value:Q", title="average", format=",.3f"), alt.Tooltip("meters:Q")],
    ).properties(width=900, height=90).facet(
        row=alt.Row("quantity:N", title=None, sort=[label["quantity"] for label in labels],
                    header=alt.Header(labelAngle=0, labelAlign="left", labelOrient="top")),
    ).resolve_scale(y="independent")


# -- the page ---------------------------------------------------------------------------------

_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="{{ csp }}">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{{ title }}</title>
<style>
body { font: 14px/1.45 system-ui, sans-serif; color: #222; margin: 24px 32px; }
h1 { font-size: 22px; margin: 0 0 4px; } h2 { font-size: 17px; margin: 32px 0 8px; }
.sub, .note { color: #666; } .note { max-width: 60em; }
.cards { display: flex; gap: 12px; flex-wrap: wrap; margin: 16px 0; }
.card { border: 1px solid #ddd; border-radius: 6px; padding: 8px 14px; min-width: 110px; }
.card b { display: block; font-size: 22px; } .card.complete b { color: #3b8f4f; }
.card.partial b { color: #b07d10; } .card.failed b { color: #c8423a; } .card.missing b { color: #777; }
table { border-collapse: collapse; margin: 8px 0; } th, td { padding: 3px 10px; text-align: right; }
th { border-bottom: 1px solid #bbb; } td.text, th.text { text-align: left; } tr:nth-child(even) td { background: #f6f6f6; }
td.message { max-width: 40em; overflow-wrap: anywhere; text-align: left; }
</style>
</head>
<body>
<h1>{{ title }}</h1>
<div class="sub">{{ span }} ({{ zone }}), {{ meters }} meters; made {{ made }}</div>

<section id="summary">
<h2>Meter-days</h2>
<div class="cards">
{% for name, value in cards %}<div class="card {{ name }}"><b>{{ value }}</b>{{ name }}</div>
{% endfor %}</div>
<table class="per-day">
<tr><th class="text">day</th>{% for o in outcomes %}<th>{{ o }}</th>{% endfor %}<th>share complete</th></tr>
{% for day, counts, share in per_day %}<tr><td class="text">{{ day }}</td>{% for o in outcomes %}<td>{{ counts[o] }}</td>{% endfor %}<td>{{ share }}</td></tr>
{% endfor %}</table>
</section>

<section id="completeness">
<h2>Completeness</h2>
<p class="note">One cell per meter-day, worst meters first: most days not complete, then most failed, then most partial.</p>
{% if meters %}<div id="heatmap"></div>{% else %}<p>The store knows no meters yet.</p>{% endif %}
</section>

<section id="failures">
<h2>Failures by code</h2>
{% if codes %}<div id="problems"></div>
<table class="codes">
<tr><th class="text">code</th><th>parts</th><th>meters</th><th class="text">days</th><th class="text">last message</th></tr>
{% for code, parts, meters, first, last, message, serial in codes %}<tr><td class="text">{{ code }}</td><td>{{ parts }}</td><td>{{ meters }}</td><td class="text">{{ first }}{% if last != first %} to {{ last }}{% endif %}</td><td class="message">{{ serial }}: {{ message }}</td></tr>
{% endfor %}</table>
{% else %}<p>Every part tried in these days was collected whole.</p>{% endif %}
</section>

<section id="load">
<h2>Fleet load</h2>
<p class="note">The sum over every meter of each half-hour's energy, as the average load over that half-hour, by local wall-clock time.</p>
{% if load %}<div id="loadcurve"></div>{% else %}<p>The store holds no intervals for these days.</p>{% endif %}
</section>

<section id="deviations">
<h2>Meters unlike their usual day</h2>
<p class="note">A meter's usual day is its median active import in each half-hour of the day over these days;
a day's distance from it is the sum of the half-hours' differences over the usual day's total
(100 %: a whole usual day's energy moved or missing). Each meter is shown with its most unusual day;
days holding at least half their half-hours count, and a meter needs {{ min_days }} of them.</p>
{% if deviations %}<table class="deviations">
<tr><th class="text">meter</th><th class="text">most unusual day</th><th>distance</th><th>that day, kWh</th><th>usual, kWh</th><th>days compared</th></tr>
{% for d in deviations %}<tr><td class="text">{{ d.serial }}</td><td class="text">{{ d.day }}</td><td>{{ d.distance }}</td><td>{{ d.kwh }}</td><td>{{ d.usual }}</td><td>{{ d.days }}</td></tr>
{% endfor %}</table>
{% else %}<p>No meter has {{ min_days }} days of intervals here to compare.</p>{% endif %}
{% if too_few %}<p class="note">{{ too_few }} meters with intervals have fewer days than that.</p>{% endif %}
</section>

{% for id, chart in charts %}<script type="application/json" data-chart="{{ id }}">{{ chart | safe }}</script>
{% endfor %}<script>{{ javascript | safe }}</script>
<script>
Promise.all(Array.from(document.querySelectorAll("script[data-chart]"), s =>
  vegaEmbed("#" + s.dataset.chart, JSON.parse(s.textContent), {renderer: "svg", actions: false})
)).then(() => { document.documentElement.dataset.rendered = "true"; },
        e => { document.documentElement.dataset.rendered = "failed"; console.error(e); });
</script>
</body>
</html>
"""


@functools.cache
def _template():
    import jinja2

    return jinja2.Environment(autoescape=True, undefined=jinja2.StrictUndefined).from_string(_PAGE)


def _percent(value: float | None) -> str:
    return "-" if value is None else f"{value:.1%}"


def _distance(value: float) -> str:
    return "from nothing" if value == float("inf") else f"{value:.0%}"


def page(data: ReportData, *, made: _dt.datetime | None = None) -> str:
    """The report of ``data`` as one HTML document."""
    days = data.days
    span = days[0].isoformat() if len(days) == 1 else f"{days[0].isoformat()} to {days[-1].isoformat()}"
    total = data.counts()
    charts = []
    if data.meters:
        charts.append(("heatmap", _heatmap(data)))
    if data.problems:
        charts.append(("problems", _problems(data)))
    if data.load:
        charts.append(("loadcurve", load_chart(data)))
    return _template().render(
        csp=CSP, title="Fleet report", span=span, zone=data.zone, meters=len(data.meters),
        made=(made or _dt.datetime.now(_dt.timezone.utc)).strftime("%Y-%m-%d %H:%M UTC"),
        outcomes=OUTCOMES,
        cards=[*((o, total[o]) for o in OUTCOMES), ("share complete", _percent(share(total)))],
        per_day=[(d.isoformat(), c, _percent(share(c))) for d in days for c in [data.counts(d)]],
        codes=[(_text(code) or "(no code)", parts, meters, first.isoformat(), last.isoformat(), _text(message),
                _text(serial)) for code, parts, meters, first, last, message, serial in data.codes],
        load=bool(data.load),
        deviations=[{"serial": _text(d["serial"]), "day": d["day"].isoformat(), "distance": _distance(d["deviation"]),
                     "kwh": f"{d['kwh']:,.3f}", "usual": f"{d['usual_kwh']:,.3f}", "days": d["days"]}
                    for d in data.deviations],
        too_few=data.too_few_days, min_days=MIN_USUAL_DAYS,
        charts=[(name, script_json(chart.to_dict())) for name, chart in charts],
        javascript=javascript(),
    )


def report(store: BaseStore, days: Sequence[_dt.date], out: str, *, zone: str = "UTC", stdout=None) -> ReportSummary:
    """Writes the report of the local ``days`` in ``zone`` to ``out`` (a file, replaced whole
    when complete; ``-``: ``stdout``; a pipe or device is written as it is) and returns what
    it shows in figures."""
    data = read(store, days, zone)
    html = page(data)
    with files.output(out, stdout=stdout) as target:
        target.write(html)
    return ReportSummary(out, data.days, zone, len(data.meters), data.counts(), len(html.encode()))
