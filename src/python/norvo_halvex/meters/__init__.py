"""The meter domain: every rule about Halvex meters that more than one part needs.

Find a rule by name here; each lives in exactly one module of this package, except the OBIS
text, which the codec owns and this package re-exports:

===========================================  ================================================
rule                                         names
===========================================  ================================================
hardware strings, model registry, kinds      ``hardware``: ``is_three_phase``,
                                             ``is_twin_element``, ``meter_kind``,
                                             ``three_phase_hardware_str``, ``MeterKind``,
                                             ``single_phase_hardware_str_to_registry_str``,
                                             ``THREE_PHASE_AX`` / ``_CX`` / ``_UNKNOWN``,
                                             ``SINGLE_PHASE_UNKNOWN``
register names, units, three-phase totals,   ``units``: ``ELEMENT_REGISTERS``, ``ELEMENTS``,
their columns in tables and files            ``THREE_PHASE_QUANTITIES``, ``REGISTER_UNITS``,
                                             ``THREE_PHASE_TOTALS``, ``register_column``,
                                             ``REGISTER_COLUMNS``
scaling and decimals (whole-current vs       ``units``: ``Scale``, ``WHOLE_CURRENT`` (/1000,
CT-operated)                                 3 decimals), ``CT_OPERATED`` (/10000, 4),
                                             ``MOST_DECIMALS``,
                                             ``is_ct_operated``, ``scale_for``,
                                             ``kilo_value``, ``format_scaled``,
                                             ``register_text``
OBIS code text <-> object identifier         the codec's ``quarn_frame_protocol.obis``:
                                             ``obis_object_id``, ``obis_code``,
                                             ``is_obis_object_id``, ``normalise_obis_code``,
                                             ``describe_object_id``, ``OBIS_OBJECT_BASE``
event log entries                            ``event_log``: ``valid_event_log_idx``,
                                             ``EVENT_LOG_IDX_MIN`` / ``_MAX``
interval window (24 h at most, a day is      ``window``: ``MAX_WINDOW``, ``day_window``,
00:00-23:30 UTC) and 4-hour frames           ``check_window``, ``resolve_window``,
                                             ``IntervalWindowError``, ``FRAME_LENGTH``,
                                             ``interval_frames``, ``frame_count``
the slot grid (30-minute intervals from      ``grid``: ``INTERVAL_SECONDS``, ``check_frames``,
midnight UTC) and the rules a download's     ``block_frame``, ``intervals_frame``, ``Frame``,
blocks must keep                             ``slots_in``, ``InvalidIntervals``, ``RULES``
local days (00:00 to 00:00 in a time zone:   ``days``: ``LocalDay``, ``local_day``,
46, 48 or 50 slots) and their windows        ``time_zone``, ``today``, ``UTC_ZONE``
the interval record type                     ``intervals``: ``ThreePhaseInterval``,
                                             ``ThreePhaseIntervals``, ``VALUE_FIELDS``
assembly of a download's blocks into a day   ``assembly``: ``blocks_to_intervals_rec``
the interval CSV layout and row formatter    ``interval_csv``: ``CSV_HEADER``,
                                             ``CSV_STATUS_HEADER``, ``csv_header``,
                                             ``interval_row``, ``csv_rows``, ``csv_records``,
                                             ``status_flag_names``, ``write_csv_rows``
===========================================  ================================================

All of these names are also importable from ``norvo_halvex.meters`` itself. The older module
paths ``norvo_halvex.util.meters``, ``norvo_halvex.util.three_phase_intervals``,
``norvo_halvex.dto.three_phase_intervals`` and ``norvo_halvex.mediator.validation`` re-export
them with their old names. Atomic file writing is ``norvo_halvex.files``.
"""

from quarn_frame_protocol.obis import (
    OBIS_OBJECT_BASE,
    describe_object_id,
    is_obis_object_id,
    normalise_obis_code,
    obis_code,
    obis_object_id,
)

from norvo_halvex.meters.assembly import blocks_to_intervals_rec
from norvo_halvex.meters.days import UTC_ZONE, LocalDay, local_day, time_zone, today
from norvo_halvex.meters.event_log import EVENT_LOG_IDX_MAX, EVENT_LOG_IDX_MIN, valid_event_log_idx
from norvo_halvex.meters.grid import (
    INTERVAL_SECONDS,
    RULES,
    Frame,
    InvalidIntervals,
    block_frame,
    check_frames,
    intervals_frame,
    slots_in,
)
from norvo_halvex.meters.hardware import (
    SINGLE_PHASE_UNKNOWN,
    THREE_PHASE_AX,
    THREE_PHASE_CX,
    THREE_PHASE_UNKNOWN,
    MeterKind,
    is_three_phase,
    is_twin_element,
    meter_kind,
    single_phase_hardware_str_to_registry_str,
    three_phase_hardware_str,
)
from norvo_halvex.meters.interval_csv import (
    CSV_HEADER,
    CSV_STATUS_HEADER,
    csv_header,
    csv_records,
    csv_rows,
    interval_row,
    status_flag_names,
    write_csv_rows,
)
from norvo_halvex.meters.intervals import VALUE_FIELDS, ThreePhaseInterval, ThreePhaseIntervals
from norvo_halvex.meters.units import (
    CT_OPERATED,
    ELEMENT_REGISTERS,
    ELEMENTS,
    MOST_DECIMALS,
    REGISTER_COLUMNS,
    REGISTER_UNITS,
    THREE_PHASE_QUANTITIES,
    THREE_PHASE_TOTALS,
    WHOLE_CURRENT,
    Scale,
    format_scaled,
    is_ct_operated,
    kilo_value,
    register_column,
    register_text,
    scale_for,
)
from norvo_halvex.meters.window import (
    DAY_LAST_INTERVAL_START,
    FRAME_LENGTH,
    MAX_WINDOW,
    IntervalWindowError,
    check_window,
    day_window,
    frame_count,
    interval_frames,
    resolve_window,
)

__all__ = [
    "CSV_HEADER",
    "CSV_STATUS_HEADER",
    "CT_OPERATED",
    "DAY_LAST_INTERVAL_START",
    "ELEMENTS",
    "ELEMENT_REGISTERS",
    "EVENT_LOG_IDX_MAX",
    "EVENT_LOG_IDX_MIN",
    "FRAME_LENGTH",
    "INTERVAL_SECONDS",
    "MAX_WINDOW",
    "MOST_DECIMALS",
    "OBIS_OBJECT_BASE",
    "REGISTER_COLUMNS",
    "REGISTER_UNITS",
    "RULES",
    "SINGLE_PHASE_UNKNOWN",
    "THREE_PHASE_AX",
    "THREE_PHASE_CX",
    "THREE_PHASE_QUANTITIES",
    "THREE_PHASE_TOTALS",
    "THREE_PHASE_UNKNOWN",
    "UTC_ZONE",
    "VALUE_FIELDS",
    "WHOLE_CURRENT",
    "Frame",
    "IntervalWindowError",
    "LocalDay",
    "InvalidIntervals",
    "MeterKind",
    "Scale",
    "ThreePhaseInterval",
    "ThreePhaseIntervals",
    "block_frame",
    "blocks_to_intervals_rec",
    "check_frames",
    "check_window",
    "csv_header",
    "csv_records",
    "csv_rows",
    "day_window",
    "describe_object_id",
    "format_scaled",
    "frame_count",
    "interval_frames",
    "interval_row",
    "intervals_frame",
    "is_ct_operated",
    "is_obis_object_id",
    "is_three_phase",
    "is_twin_element",
    "kilo_value",
    "local_day",
    "register_column",
    "register_text",
    "meter_kind",
    "normalise_obis_code",
    "obis_code",
    "obis_object_id",
    "resolve_window",
    "scale_for",
    "single_phase_hardware_str_to_registry_str",
    "slots_in",
    "status_flag_names",
    "three_phase_hardware_str",
    "time_zone",
    "today",
    "valid_event_log_idx",
    "write_csv_rows",
]
