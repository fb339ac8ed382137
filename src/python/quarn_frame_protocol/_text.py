"""The text form of records: ``Name(field=value, ...)`` with enumeration names.

The core puts the text of every interval frame and block into its debug lines, a block
holding some fifty intervals, so the text is made by a function written once per record
type (on its first use) instead of walking the layout per call. ``reflective_text`` is the
plain walk over the layout, kept as the definition the generated functions must match.

A type's layout is its ``_params``, ``_fields`` and ``_instances`` (names shown, in that
order) and ``_formats`` (per name: an Enum class or a callable); assigning any of them on a
class makes its text function again on next use.
"""

from __future__ import annotations

import datetime
import enum
import keyword

__all__ = [
    "BYTES_LIKE",
    "TextForm",
    "epoch_format",
    "flags_format",
    "reflective_text",
    "render",
    "render_flags",
]

BYTES_LIKE = (bytes, bytearray, memoryview)

# What an attribute read as missing shows (also the "not set" marker of the records).
UNSET = object()

# Longer byte strings are shortened in the text form (interval frames carry hundreds).
_BYTES_SHOWN = 32

# Memo tables stop growing here: they hold small enumerations, never data.
_MEMO_LIMIT = 4096

_LAYOUT = frozenset({"_params", "_fields", "_instances", "_formats"})


class _LayoutType(type):
    """Forgets the text functions when a layout attribute of a record type is assigned."""

    def __setattr__(cls, name, value):
        super().__setattr__(name, value)
        if name in _LAYOUT:
            _TEXT_FUNCTIONS.clear()


class TextForm(metaclass=_LayoutType):
    """``str()`` and ``repr()`` of a record: its layout's names and their values."""

    _params = ()
    _fields = ()
    _instances = ()
    _formats = {}

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        _TEXT_FUNCTIONS.clear()
        if cls.__module__.startswith(_CODEC):
            # One of the codec's own types, marked with itself (a subclass made elsewhere
            # inherits a mark that is not itself): with ``_plain_text_str`` as its str(), its
            # text runs nothing but the codec's own code, so the core may leave out a debug
            # line of it that the logger would drop anyway.
            cls._plain_text_type = cls

    def __str__(self):
        return _text_function_of(type(self))(self)

    __repr__ = __str__


TextForm._plain_text_str = TextForm.__str__
_CODEC = __name__.rpartition(".")[0] + "."


_TEXT_FUNCTIONS: dict[type, object] = {}


def _text_function_of(cls):
    text = _TEXT_FUNCTIONS.get(cls)
    if text is None:
        text = _TEXT_FUNCTIONS[cls] = text_function(cls)
    return text


# ------------------------------------------------------------------- the definition


def reflective_text(record) -> str:
    """The text form of ``record`` by walking its layout (what the fast functions match)."""
    parts = []
    for name in record._params + record._fields + record._instances:
        try:
            value = getattr(record, name)
        except AttributeError:
            value = UNSET
        except Exception:
            parts.append(f"{name}=<unavailable>")
            continue
        parts.append(f"{name}={render(value, record._formats.get(name))}")
    return f"{type(record).__name__}({', '.join(parts)})"


def render(value, fmt=None):
    """Text form of one field value."""
    if value is UNSET:
        return "<unset>"
    if fmt is not None and value is not None:
        if isinstance(fmt, type) and issubclass(fmt, enum.Enum):
            if isinstance(value, int) and not isinstance(value, enum.Enum):
                value = _resolve(fmt, value)
        else:
            return fmt(value)
    if isinstance(value, TextForm):
        return str(value)
    if isinstance(value, enum.Flag):
        return render_flags(value)
    if isinstance(value, enum.Enum):
        return f"{type(value).__name__}.{value.name}"
    if isinstance(value, BYTES_LIKE):
        data = bytes(value)
        if len(data) <= _BYTES_SHOWN:
            return repr(data)
        return f"<{len(data)} bytes: {data[:16].hex()}...>"
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(render(v, fmt) for v in value) + "]"
    return repr(value)


def _resolve(enum_cls, value):
    try:
        return enum_cls(value)
    except ValueError:
        return value


def render_flags(value):
    """``missing|power_failure``; unknown bits in hex; ``0`` for no flag."""
    flags_cls = type(value)
    raw = int(value)
    names = []
    known = 0
    for member in flags_cls:
        if raw & member.value:
            names.append(member.name)
            known |= member.value
    if raw & ~known:
        names.append(f"0x{raw & ~known:02x}")
    return "|".join(names) if names else "0"


def flags_format(flags_cls):
    """A text format for a field of flags that may hold a plain integer."""

    def shown(value):
        return render_flags(flags_cls(int(value)))

    return _memoised(flags_cls, shown, lambda value: shown(value) if isinstance(value, int) else repr(value))


def _memoised(kind, make, other):
    """The text of a value: ``make(value)`` for ints and members of ``kind``, kept (up to a
    bound) in the function's ``memo``, marked with ``memo_kind``, so a text function can look
    there before calling it; ``other(value)`` for anything else."""
    memo: dict[int, str] = {}

    def text(value):
        cls = type(value)
        if cls is int or cls is kind:
            return _kept(memo, value, make, value)
        return other(value)

    text.memo = memo
    text.memo_kind = kind
    return text


def epoch_format(value):
    """Epoch seconds with the UTC time beside them."""
    if type(value) is int:
        # The frames of one day start at the same instants for every meter of a fleet.
        text = _EPOCH_TEXTS.get(value)
        if text is not None:
            return text
    if isinstance(value, int) and 0 <= value <= 0xFFFFFFFF:
        when = datetime.datetime.fromtimestamp(int(value), datetime.timezone.utc)
        text = f"{int(value)} ({when:%Y-%m-%dT%H:%M:%SZ})"
        if type(value) is int:
            if len(_EPOCH_TEXTS) >= _MEMO_LIMIT:
                _EPOCH_TEXTS.clear()
            _EPOCH_TEXTS[value] = text
        return text
    return repr(value)


_EPOCH_TEXTS: dict[int, str] = {}


# ------------------------------------------------------------------- the fast forms
#
# Each renderer gives exactly what ``render(value, fmt)`` gives; for the value types a
# record holds it does so without the chain of isinstance tests, and falls back to
# ``render`` for anything else.


def _none_text(value):
    return "None"


def _bytes_text(value):
    data = bytes(value)
    if len(data) <= _BYTES_SHOWN:
        return repr(data)
    return f"<{len(data)} bytes: {data[:16].hex()}...>"


def _enum_text(value):
    return f"{type(value).__name__}.{value.name}"


def _flags_text(value):
    return _kept(_FLAG_TEXTS, (type(value), value), render_flags, value)


def _kept(memo, key, make, value):
    """``make(value)``, kept in ``memo`` under ``key`` while the memo has room."""
    text = memo.get(key)
    if text is None:
        text = make(value)
        if len(memo) < _MEMO_LIMIT:
            memo[key] = text
    return text


_FLAG_TEXTS: dict[tuple, str] = {}

# Element types whose repr() inside a list is their text form, so a list of only these is
# shown by list.__repr__ itself.
_REPR_IS_TEXT = frozenset({int, float, str, bool, type(None)})


def _sequence_text(value):
    kinds = set(map(type, value))
    if type(value) is list and _REPR_IS_TEXT.issuperset(kinds):
        return list.__repr__(value)
    if len(kinds) == 1:
        (kind,) = kinds
        # A list of records of one type (the intervals of a block): their text functions
        # straight away, unless the type made its own str().
        if kind.__str__ is TextForm.__str__:
            return "[" + ", ".join(map(_text_function_of(kind), value)) + "]"
    return "[" + ", ".join([plain_text(v) for v in value]) + "]"


def _record_text(value):
    return str(value)


_PLAIN: dict[type, object] = {
    int: int.__repr__,
    float: float.__repr__,
    str: str.__repr__,
    bool: repr,
    type(None): _none_text,
    bytes: _bytes_text,
    bytearray: _bytes_text,
    memoryview: _bytes_text,
    list: _sequence_text,
    tuple: _sequence_text,
}


def plain_text(value):
    """``render(value)``: a field with no format."""
    text = _PLAIN.get(type(value))
    if text is not None:
        return text(value)
    kind = type(value)
    if isinstance(value, TextForm):
        _remember(kind, _record_text)
    elif isinstance(value, enum.Flag):
        _remember(kind, _flags_text)
    elif isinstance(value, enum.Enum):
        _remember(kind, _enum_text)
    return render(value)


def _remember(kind, text):
    if len(_PLAIN) < _MEMO_LIMIT:
        _PLAIN[kind] = text


def _enum_field(enum_cls):
    """``render(value, enum_cls)``: an integer shows as its member when it names one."""

    def shown(value):
        return render(value, enum_cls)

    return _memoised(enum_cls, shown, shown)


def _format_field(fmt):
    """``render(value, fmt)`` for a callable format: the format shows all but None."""

    def text(value):
        if value is None:
            return "None"
        return fmt(value)

    memo = getattr(fmt, "memo", None)
    if memo is not None:  # the format's memo answers for this text too: None is never in it
        text.memo, text.memo_kind = memo, fmt.memo_kind
    return text


def _field_text(fmt):
    if fmt is None:
        return plain_text
    if isinstance(fmt, type) and issubclass(fmt, enum.Enum):
        return _enum_field(fmt)
    return _format_field(fmt)


def text_function(cls):
    """The text function of record type ``cls``, written out for its layout."""
    names = tuple(cls._params) + tuple(cls._fields) + tuple(cls._instances)
    if not all(isinstance(n, str) and n.isidentifier() and not keyword.iskeyword(n) for n in names):
        return reflective_text
    formats = cls._formats
    scope = {"_UNSET": UNSET, "_PLAIN": _PLAIN, "plain_text": plain_text,
             "_REPR_IS_TEXT": _REPR_IS_TEXT, "_list_repr": list.__repr__}
    lines = ["def text(self):"]
    shown = []
    for i, name in enumerate(names):
        fmt = formats.get(name)
        lines += [
            "    try:",
            f"        v = self.{name}",
            "    except AttributeError:",
            f"        s{i} = '<unset>'",
            "    except Exception:",
            f"        s{i} = '<unavailable>'",
            "    else:",
            "        t = type(v)",
        ]
        # The common cases are dispatched here rather than in a call.
        if fmt is None:
            lines += [
                "        if t is list and _REPR_IS_TEXT.issuperset(map(type, v)):",
                f"            s{i} = _list_repr(v)",
                "        else:",
                "            r = _PLAIN.get(t)",
                f"            s{i} = r(v) if r is not None else plain_text(v)",
            ]
            shown.append(f"{name}={{s{i}}}")
            continue
        field = scope[f"_r{i}"] = _field_text(fmt)
        memo = getattr(field, "memo", None)
        if memo is not None:
            scope[f"_m{i}"], scope[f"_k{i}"] = memo, field.memo_kind
            lines.append(f"        s{i} = _m{i}.get(v) if t is int or t is _k{i} else None")
        else:
            lines.append(f"        s{i} = None")
        lines += [
            f"        if s{i} is None:",
            f"            s{i} = '<unset>' if v is _UNSET else _r{i}(v)",
        ]
        shown.append(f"{name}={{s{i}}}")
    lines.append(f"    return f\"{{type(self).__name__}}({', '.join(shown)})\"")
    exec("\n".join(lines), scope)  # noqa: S102 - names checked above, values bound in scope
    return scope["text"]
