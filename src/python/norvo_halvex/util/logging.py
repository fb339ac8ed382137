"""The structured logger under the module path the compiled core imports it from; it lives in
``norvo_halvex.log``, where the meter domain may use it too."""

from norvo_halvex.log import HalvexBoundLogger, get_logger, render_key_values

__all__ = ["HalvexBoundLogger", "get_logger", "render_key_values"]
