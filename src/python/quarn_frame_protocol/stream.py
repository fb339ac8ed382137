# PLACEHOLDER: replaced by the real module
from io import BytesIO
from kaitaistruct import KaitaiStream

__all__ = ['BytesIO', 'KaitaiStream']
