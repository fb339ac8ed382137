"""The stream types records are read from and written to (the Kaitai Struct runtime)."""

from io import BytesIO

from kaitaistruct import KaitaiStream

__all__ = ["BytesIO", "KaitaiStream"]
