"""Checks of caller-supplied values, made before anything is sent to a meter.

The rule lives in ``norvo_halvex.meters.event_log``: a meter keeps 16 event log entries,
addressed ``EVENT_LOG_IDX_MIN`` (0) to ``EVENT_LOG_IDX_MAX`` (15).
"""

from norvo_halvex.meters.event_log import EVENT_LOG_IDX_MAX, EVENT_LOG_IDX_MIN, valid_event_log_idx

__all__ = ["EVENT_LOG_IDX_MAX", "EVENT_LOG_IDX_MIN", "valid_event_log_idx"]
