"""The exception callers of the meter API see for transport failures.

Defined in ``norvo_halvex.errors``, which maps every exception a caller can meet.
"""

from norvo_halvex.errors import MediatorClientException

__all__ = ["MediatorClientException"]
