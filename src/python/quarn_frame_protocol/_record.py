"""What every Quarn record shares.

Records are written the way Kaitai Struct's generated Python is: fields are read in ``_read``,
written in ``_write__seq`` and validated in ``_check``. This base adds what our callers need on
top of the runtime:

- ``_write`` checks the record itself. The C++ core builds a record, sets its fields and calls
  ``_write(io)`` at once; the bare runtime refuses that (``ConsistencyNotCheckedError``).
- ``_read`` turns every runtime failure (data too short, text that is not ASCII, ...) into
  ``QuarnCodecError`` naming the record, and a record read at the top of its stream must use
  the whole stream: trailing bytes mean the reply is not what we think it is.
- ``str()`` is stable and readable, with enumeration names; the core logs it (``_text``).
"""

import enum
import functools
import struct
from io import BytesIO

from kaitaistruct import KaitaiStream, KaitaiStructError, ReadWriteKaitaiStruct

from ._text import BYTES_LIKE, UNSET, TextForm, epoch_format, flags_format, render, render_flags
from .errors import QuarnCodecError

__all__ = [
    "BYTES_LIKE",
    "ENERGY_REGISTERS",
    "EnergyRegistersRec",
    "QuarnRecord",
    "SizedRecord",
    "WholePayloadRecord",
    "epoch_format",
    "flags_format",
    "render",
    "render_flags",
    "reply_bytes",
    "resolve_enum",
]

_UNSET = UNSET
_RUNTIME_SETATTR = ReadWriteKaitaiStruct.__setattr__

# What the runtime (and struct/str.decode under it) raises for bytes that do not parse.
_PARSE_FAILURES = (EOFError, struct.error, KaitaiStructError, ValueError, OverflowError)

def _guard_read(read):
    @functools.wraps(read)
    def _read(self):
        label = self._label()
        if self._io is None:
            raise QuarnCodecError(
                f"{label}: nothing to read: the record was built without a stream "
                f"(construct it with KaitaiStream(BytesIO(data)))",
                label,
            )
        start = self._safe_pos()
        try:
            read(self)
        except QuarnCodecError:
            raise
        except _PARSE_FAILURES as exc:
            raise self._parse_error(exc, start) from exc
        if self._parent is None and self._exhaustive:
            self._ensure_consumed(start)

    _read._quarn_guarded = True
    return _read


class QuarnRecord(ReadWriteKaitaiStruct, TextForm):
    """Base of every record of the codec."""

    # The layout (TextForm): parameters (constructor arguments shown by str()), sequence
    # fields in wire order, value instances shown by str(), and per-field text formats.
    # A record read at the top of its stream must consume it entirely.
    _exhaustive = True
    # Wire size of fixed-size records; variable ones override _wire_size().
    _SIZE = None

    def __init__(self, _io=None, _parent=None, _root=None, **fields):
        if type(self).__setattr__ is _RUNTIME_SETATTR:
            # What the runtime's constructor and attribute hook leave, set at once: replies
            # are parsed into records by the hundred.
            self.__dict__.update(_io=_io, _dirty=True, _parent=_parent, _root=self if _root is None else _root)
        else:
            super().__init__(_io)
            self._parent = _parent
            self._root = _root if _root is not None else self
        for name, value in fields.items():
            if name not in self._fields and not isinstance(getattr(type(self), name, None), property):
                raise TypeError(
                    f"{type(self).__qualname__} has no field {name!r} "
                    f"(fields: {', '.join(self._fields) or 'none'})"
                )
            setattr(self, name, value)

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        read = cls.__dict__.get("_read")
        if read is not None and not getattr(read, "_quarn_guarded", False):
            cls._read = _guard_read(read)

    # ---------------------------------------------------------------- writing

    def _write(self, io=None):
        label = self._label()
        if io is None and self._io is None:
            raise QuarnCodecError(
                f"{label}: _write() needs a stream, e.g. KaitaiStream(BytesIO(bytearray(size)))", label
            )
        self._check()
        target = io if io is not None else self._io
        start = target.pos()
        try:
            super()._write(io)
        except EOFError as exc:
            raise QuarnCodecError(
                f"{label}: the buffer is too small: the record needs {self._wire_size()} byte(s), "
                f"the stream has {max(target.size() - start, 0)} left",
                label,
            ) from exc
        except (struct.error, OverflowError) as exc:
            raise QuarnCodecError(f"{label}: cannot write: {exc}", label) from exc
        if self._parent is None:
            end, size = target.pos(), target.size()
            if end != size:
                raise QuarnCodecError(
                    f"{label}: the record is {end - start} byte(s) but the buffer holds "
                    f"{size - start}; write it into a zero-filled buffer of exactly {end - start} byte(s)",
                    label,
                )

    def _fetch_instances(self):
        pass

    def _check(self):
        raise NotImplementedError(f"{type(self).__qualname__} does not implement _check()")

    def _wire_size(self):
        """Size in bytes of the record as currently set (call after _check())."""
        if self._SIZE is None:
            raise NotImplementedError(f"{type(self).__qualname__} does not implement _wire_size()")
        return self._SIZE

    def to_bytes(self):
        """The record's wire form as ``bytes`` (checks the record first)."""
        self._check()
        io = KaitaiStream(BytesIO(bytearray(self._wire_size())))
        self._write(io)
        return io.to_byte_array()

    # ------------------------------------------------------- field checks

    def _label(self):
        return type(self).__qualname__

    def _field(self, name):
        value = self.__dict__.get(name, _UNSET)
        if value is _UNSET or value is None:
            raise QuarnCodecError(
                f"{self._label()}: field '{name}' is not set; set it before writing the record", self._label()
            )
        return value

    def _check_int_value(self, what, value, lo, hi):
        if not isinstance(value, int):
            raise TypeError(f"{self._label()}: {what} must be an integer, got {type(value).__name__}")
        if not lo <= value <= hi:
            raise QuarnCodecError(f"{self._label()}: {what} must be {lo}..{hi}, got {int(value)}", self._label())
        return value

    def _check_uint(self, name, bits):
        return self._check_int_value(f"field '{name}'", self._field(name), 0, (1 << bits) - 1)

    def _check_sint(self, name, bits):
        half = 1 << (bits - 1)
        return self._check_int_value(f"field '{name}'", self._field(name), -half, half - 1)

    def _check_enum(self, name, enum_cls, bits=8):
        value = self._field(name)
        if isinstance(value, enum.Enum) and not isinstance(value, enum_cls):
            raise TypeError(
                f"{self._label()}: field '{name}' takes a {enum_cls.__qualname__} member, "
                f"got {type(value).__qualname__}.{value.name}"
            )
        return self._check_int_value(f"field '{name}'", value, 0, (1 << bits) - 1)

    def _check_bytes(self, name, size=None, max_size=None):
        value = self._field(name)
        if not isinstance(value, BYTES_LIKE):
            raise TypeError(f"{self._label()}: field '{name}' must be bytes, got {type(value).__name__}")
        n = len(value)
        if size is not None and n != size:
            raise QuarnCodecError(
                f"{self._label()}: field '{name}' must be exactly {size} byte(s), got {n}", self._label()
            )
        if max_size is not None and n > max_size:
            raise QuarnCodecError(
                f"{self._label()}: field '{name}' must be at most {max_size} byte(s), got {n}", self._label()
            )
        return value

    def _check_text(self, name):
        value = self._field(name)
        if not isinstance(value, str):
            raise TypeError(f"{self._label()}: field '{name}' must be text (str), got {type(value).__name__}")
        try:
            value.encode("ascii")
        except UnicodeEncodeError as exc:
            raise QuarnCodecError(
                f"{self._label()}: field '{name}' must be ASCII text; "
                f"{value[exc.start]!r} at position {exc.start} is not",
                self._label(),
            ) from None
        return value

    def _check_list(self, name, max_count):
        value = self._field(name)
        if not isinstance(value, (list, tuple)):
            raise TypeError(f"{self._label()}: field '{name}' must be a list, got {type(value).__name__}")
        if len(value) > max_count:
            raise QuarnCodecError(
                f"{self._label()}: field '{name}' holds at most {max_count} item(s), got {len(value)}", self._label()
            )
        return value

    def _check_uint_fields(self, names, bits):
        for name in names:
            self._check_uint(name, bits)

    def _check_children(self, name, children, child_cls):
        for i, child in enumerate(children):
            self._check_child(f"{name}[{i}]", child, child_cls)

    def _check_child(self, name, child, child_cls):
        if not isinstance(child, child_cls):
            raise TypeError(
                f"{self._label()}: {name} must be a {child_cls.__qualname__}, got {type(child).__name__}"
            )
        # Children built on their own get adopted; the runtime expects parent and root set.
        child._parent = self
        child._root = self._root
        child._check()

    # ------------------------------------------------------- reading

    def _read_u4le_fields(self, names):
        for name in names:
            setattr(self, name, self._io.read_u4le())

    def _read_child(self, name, child_cls):
        """Read the nested record ``name`` from this record's stream. The field is set before the
        child is read, so a failed read leaves the partly read child in place."""
        child = child_cls(self._io, self, self._root)
        setattr(self, name, child)
        child._read()

    def _read_children(self, name, child_cls, count):
        """Read ``count`` nested records into the list field ``name`` (set first, then filled)."""
        children = []
        setattr(self, name, children)
        for _ in range(count):
            child = child_cls(self._io, self, self._root)
            child._read()
            children.append(child)

    def _safe_pos(self):
        try:
            return self._io.pos()
        except Exception:
            return 0

    def _stream_size(self):
        try:
            return self._io.size()
        except Exception:
            return "fewer"

    def _parse_error(self, exc, start):
        label = self._label()
        if isinstance(exc, EOFError):
            needed = getattr(exc, "bytes_needed", None)
            available = getattr(exc, "bytes_available", None)
            size = self._stream_size()
            if self._SIZE is not None and isinstance(size, int):
                where = f" at offset {start}" if start else ""
                detail = f"data too short: the record is {self._SIZE} byte(s), got {max(size - start, 0)}{where}"
            elif needed is not None and available is not None:
                offset = self._safe_pos() - available
                detail = f"data too short: needed {needed} byte(s) at offset {offset}, only {available} left"
            else:
                detail = f"data too short: {exc}"
        elif isinstance(exc, UnicodeDecodeError):
            detail = f"text is not ASCII: byte 0x{exc.object[exc.start]:02x} at offset {exc.start} of the text"
        else:
            detail = str(exc)
        return QuarnCodecError(f"{label}: {detail}", label)

    def _ensure_consumed(self, start):
        try:
            pos, size = self._io.pos(), self._io.size()
        except Exception:
            return
        if pos < size:
            label = self._label()
            raise QuarnCodecError(
                f"{label}: {size - pos} unexpected byte(s) after the end of the record "
                f"(the record is {pos - start} byte(s), the data {size - start})",
                label,
            )

    # ------------------------------------------------------- writing helpers

    def _write_u4le_fields(self, names):
        for name in names:
            self._io.write_u4le(getattr(self, name))

    def _write_children(self, children):
        for child in children:
            child._write__seq(self._io)

    def as_dict(self):
        """The sequence fields as a dictionary (nested records as dictionaries too)."""
        return {name: _plain(self.__dict__.get(name)) for name in self._fields}


class SizedRecord(QuarnRecord):
    """A record given the ``length`` it spans (None: whatever its contents need)."""

    _params = ("length",)

    def __init__(self, length=None, _io=None, _parent=None, _root=None, **fields):
        super().__init__(_io, _parent, _root, **fields)
        self.length = length

    def _check_length(self):
        if self.length is not None:
            self._check_int_value("length", self.length, 0, 0xFFFFFFFF)


# The energy registers of a meter element, in Wh / varh, in the order the meter sends them.
ENERGY_REGISTERS = ("import_active", "export_active", "import_reactive", "export_reactive")


class EnergyRegistersRec(QuarnRecord):
    """The four energy registers (``ENERGY_REGISTERS``), each u4le: 16 bytes."""

    _fields = ENERGY_REGISTERS
    _SIZE = 16

    def _read(self):
        self._read_u4le_fields(ENERGY_REGISTERS)
        self._dirty = False

    def _check(self):
        self._check_uint_fields(ENERGY_REGISTERS, 32)
        self._dirty = False

    def _write__seq(self, io=None):
        super()._write__seq(io)
        self._write_u4le_fields(ENERGY_REGISTERS)


class WholePayloadRecord(QuarnRecord):
    """A record whose single field (``_fields[0]``) is the whole payload: ASCII text when
    ``_text`` is true, else bytes. Subclasses set only ``_fields`` and ``_text``."""

    _text = False

    def _read(self):
        data = self._io.read_bytes_full()
        setattr(self, self._fields[0], data.decode("ASCII") if self._text else data)
        self._dirty = False

    def _check(self):
        if self._text:
            self._check_text(self._fields[0])
        else:
            self._check_bytes(self._fields[0])
        self._dirty = False

    def _write__seq(self, io=None):
        super()._write__seq(io)
        value = getattr(self, self._fields[0])
        self._io.write_bytes(value.encode("ASCII") if self._text else bytes(value))

    def _wire_size(self):
        return len(getattr(self, self._fields[0]))


def _plain(value):
    if isinstance(value, QuarnRecord):
        return value.as_dict()
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def reply_bytes(label, data):
    """The reply as bytes; None (no reply) is a codec error, other types a TypeError."""
    if data is None:
        raise QuarnCodecError(f"{label}: no reply to decode (got None): the meter sent nothing back", label)
    if isinstance(data, BYTES_LIKE):
        return bytes(data)
    raise TypeError(f"{label}: the reply must be bytes, got {type(data).__name__}")


def resolve_enum(enum_cls, value):
    """Like KaitaiStream.resolve_enum: unknown values stay plain integers."""
    return KaitaiStream.resolve_enum(enum_cls, value)
