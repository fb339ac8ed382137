"""The event log: which entries a meter keeps, checked before anything is sent to a meter."""

from __future__ import annotations

from typing import Final

__all__ = ["EVENT_LOG_IDX_MAX", "EVENT_LOG_IDX_MIN", "valid_event_log_idx"]

# A meter keeps 16 event log entries, addressed 0 (first) to 15.
EVENT_LOG_IDX_MIN: Final = 0
EVENT_LOG_IDX_MAX: Final = 15


def valid_event_log_idx(idx: int) -> bool:
    """Return True when ``idx`` addresses an event log entry; raise otherwise.

    Raises TypeError for a non-integer and ValueError for an index outside
    ``EVENT_LOG_IDX_MIN..EVENT_LOG_IDX_MAX``.
    """
    if not isinstance(idx, int):
        raise TypeError(
            f"event log index must be an int from {EVENT_LOG_IDX_MIN} to {EVENT_LOG_IDX_MAX}, "
            f"got {type(idx).__name__}"
        )
    # The plain int value: an int subclass's own comparison or repr is not trusted.
    value = int.__index__(idx)
    if not EVENT_LOG_IDX_MIN <= value <= EVENT_LOG_IDX_MAX:
        raise ValueError(
            f"event log index {value} is out of range: a meter's event log holds entries "
            f"{EVENT_LOG_IDX_MIN} to {EVENT_LOG_IDX_MAX}; ask for an index in that range"
        )
    return True
