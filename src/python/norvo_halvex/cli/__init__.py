"""The ``halvex`` command line tool."""

from norvo_halvex.cli.app import main

__all__ = ["main"]
