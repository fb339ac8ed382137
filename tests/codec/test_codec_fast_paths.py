"""The fast text forms and the one-unpack block read give exactly what the plain ways give."""

import datetime as dt
import enum
import importlib
import pkgutil

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quarn_frame_protocol
from quarn_frame_protocol import _text
from quarn_frame_protocol._record import QuarnRecord
from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    IntervalStatus,
)
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    QuarnProfileThreePhaseIntervalsResponseBlock as Block,
)
from quarn_frame_protocol.stream import BytesIO, KaitaiStream

for _module in pkgutil.walk_packages(quarn_frame_protocol.__path__, "quarn_frame_protocol."):
    importlib.import_module(_module.name)


def _record_types(cls=QuarnRecord):
    for sub in cls.__subclasses__():
        if sub.__module__.startswith("quarn_frame_protocol."):
            yield sub
        yield from _record_types(sub)


RECORD_TYPES = sorted(set(_record_types()), key=lambda c: c.__qualname__)
ENUM_MEMBERS = sorted(
    {m for cls in RECORD_TYPES for f in cls._formats.values() if isinstance(f, type) for m in f},
    key=lambda m: (type(m).__name__, m.value),
)

# What a field may hold: the types records carry, the ones a caller may set by mistake, and the
# marker of a field never set.
SCALARS = st.one_of(
    st.integers(-(2**40), 2**40),
    st.booleans(),
    st.none(),
    st.text(max_size=6),
    st.binary(max_size=40),
    st.binary(max_size=40).map(bytearray),
    st.floats(allow_nan=False),
    st.sampled_from(ENUM_MEMBERS),
    st.integers(0, 255).map(IntervalStatus),
    st.just(_text.UNSET),
)
VALUES = st.one_of(
    SCALARS,
    st.lists(SCALARS, max_size=4),
    st.recursive(SCALARS, lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner, inner)), max_leaves=6),
)


@st.composite
def records(draw, depth=2):
    cls = draw(st.sampled_from(RECORD_TYPES))
    state = {}
    for name in cls._params + cls._fields:
        if draw(st.booleans()) or depth == 0:
            value = draw(VALUES)
        else:
            value = draw(st.one_of(records(depth=depth - 1), st.lists(records(depth=depth - 1), max_size=3)))
        if draw(st.integers(0, 5)):  # now and then a field left unset
            state[name] = value
    record = object.__new__(cls)
    object.__setattr__(record, "__dict__", state)
    return record


def _outcome(make_text, record):
    try:
        return make_text(record)
    except Exception as exc:  # a format that refuses a value must refuse it on both ways
        return type(exc)


@settings(max_examples=400, deadline=None)
@given(record=records())
def test_text_form_is_the_reflective_one_for_every_record_type(record):
    assert _outcome(str, record) == _outcome(_text.reflective_text, record)


@pytest.mark.parametrize("attribute, value, text", [
    ("_fields", ("b",), "R(b=2)"),
    ("_params", ("b",), "R(b=2, a=1)"),
    ("_formats", {"a": lambda v: "one"}, "R(a=one)"),
    ("_instances", ("c",), "R(a=1, c=<unset>)"),
])
def test_assigning_a_layout_makes_the_text_again(attribute, value, text):
    class R(QuarnRecord):
        _fields = ("a",)

    record = R(a=1)
    record.b = 2
    assert str(record) == "R(a=1)"
    setattr(R, attribute, value)
    assert str(record) == text == _text.reflective_text(record)


@settings(max_examples=200, deadline=None)
@given(value=st.one_of(st.integers(-5, 2**33), st.integers(0, 255).map(IntervalStatus), st.booleans()))
def test_memoised_formats_give_what_they_compute(value):
    # Asked twice: the second answer comes from the memo.
    flags = _text.flags_format(IntervalStatus)
    for _ in range(2):
        assert flags(value) == _text.render_flags(IntervalStatus(int(value)))
        if 0 <= value <= 0xFFFFFFFF:
            when = dt.datetime.fromtimestamp(int(value), dt.timezone.utc)
            assert _text.epoch_format(value) == f"{int(value)} ({when:%Y-%m-%dT%H:%M:%SZ})"
        else:
            assert _text.epoch_format(value) == repr(value)


# ---------------------------------------------------------------- the block read


class FieldByFieldBlock(Block):
    """The block as it was read before: every field by its own runtime call, every interval
    by its own ``_read``."""

    def _label(self):
        return "QuarnProfileThreePhaseIntervalsResponseBlock"

    def _read(self):
        self._check_length()
        self.start_time = self._io.read_u4le()
        self.interval_length = self._io.read_u2le()
        self.num_intervals = self._io.read_u2le()
        self._check_header()
        self._read_children("intervals", Block.Interval, self.num_intervals)
        self._dirty = False


def _state(record, root):
    """A record's attributes, nested records as their states, the stream and links as roles."""
    out = {}
    for name, value in vars(record).items():
        if name == "_io":
            value = "root stream" if value is root._io else value
        elif name in ("_parent", "_root"):
            value = "root" if value is root else value
        elif isinstance(value, list):
            value = [(type(v), _state(v, root)) if isinstance(v, QuarnRecord) else v for v in value]
        out[name] = value
    return out


def _parsed(cls, length, data):
    block = cls(length, KaitaiStream(BytesIO(data)))
    try:
        block._read()
    except QuarnCodecError as exc:
        return str(exc), _state(block, block)
    return None, _state(block, block)


@st.composite
def block_bytes(draw):
    count = draw(st.integers(0, 6))
    intervals = [
        Block.Interval(status=draw(st.integers(0, 255)), values=draw(st.lists(st.integers(0, 2**32 - 1), min_size=6, max_size=6)))
        for _ in range(count)
    ]
    data = Block(start_time=draw(st.integers(0, 2**32 - 1)), interval_length=draw(st.integers(1, 2**16 - 1)),
                 intervals=intervals).to_bytes()
    cut = draw(st.integers(0, len(data)))
    return data[: len(data) - cut // 3] if draw(st.booleans()) else data  # now and then cut short


@settings(max_examples=300, deadline=None)
@given(data=st.one_of(block_bytes(), st.binary(max_size=70)), given_length=st.booleans())
def test_block_read_leaves_what_the_field_by_field_read_leaves(data, given_length):
    length = len(data) if given_length else None
    assert _parsed(Block, length, data) == _parsed(FieldByFieldBlock, length, data)
