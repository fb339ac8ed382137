"""Meter-side failures reported by the mediator.

Each exception lives in its own module (``exception.HalvexConnectionFailure``,
``exception.HalvexEOFError``); the classes are deliberately not re-exported here,
so the package attributes keep naming the modules.
"""
