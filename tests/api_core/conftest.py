"""`core` (a fake transport and a recording logger in the core's namespace) and `client` (a
client on them): see support.core."""

from support.core import client, core  # noqa: F401 - fixtures
