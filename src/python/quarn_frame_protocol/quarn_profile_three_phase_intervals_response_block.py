"""The block of interval data inside a three-phase interval frame."""

import struct
from enum import IntFlag

from ._record import QuarnRecord, SizedRecord, epoch_format, flags_format
from .errors import QuarnCodecError


class IntervalStatus(IntFlag):
    # The meter holds no data for the interval; its values are meaningless (zero).
    missing = 0x01
    # The supply failed during the interval.
    power_failure = 0x02
    # The clock was set during the interval.
    clock_adjusted = 0x04
    # The interval is shorter than interval_length (the clock was set, or it is still running).
    partial = 0x08


# Every status byte's flags, made once: a block holds dozens of intervals.
_STATUSES = tuple(IntervalStatus(i) for i in range(256))

_HEADER = struct.Struct("<IHH")
# One interval: the status byte and six u4le counts.
_INTERVAL = struct.Struct("<B6I")


# The six counts of an interval, in the order the meter sends them.
VALUE_NAMES = (
    "active_import",
    "active_export",
    "reactive_import",
    "reactive_export",
    "apparent_import",
    "apparent_export",
)


class QuarnProfileThreePhaseIntervalsResponseBlock(SizedRecord):
    """``start_time`` u4le, ``interval_length`` u2le, ``num_intervals`` u2le, then the intervals.

    Interval ``i`` starts at ``start_time + i * interval_length``. ``length`` is the size of the
    block (the frame's ``frame_data``): 8 + 25 * num_intervals. On writing ``num_intervals`` is
    computed from ``intervals``; a ``length`` of None takes the size the block needs.
    """

    IntervalStatus = IntervalStatus
    VALUE_NAMES = VALUE_NAMES
    VALUES_PER_INTERVAL = len(VALUE_NAMES)
    HEADER_SIZE = 8
    INTERVAL_SIZE = 1 + 4 * VALUES_PER_INTERVAL

    class Interval(QuarnRecord):
        """``status`` u1 (IntervalStatus flags) and six u4le raw counts: active, reactive and
        apparent energy, each import then export."""

        _fields = ("status", "values")
        _formats = {"status": flags_format(IntervalStatus)}
        _SIZE = 25

        def _read(self):
            self.status = IntervalStatus(self._io.read_u1())
            self.values = []
            for i in range(QuarnProfileThreePhaseIntervalsResponseBlock.VALUES_PER_INTERVAL):
                self.values.append(self._io.read_u4le())
            self._dirty = False

        def _check(self):
            self._check_enum("status", IntervalStatus)
            values = self._field("values")
            if not isinstance(values, (list, tuple)):
                raise TypeError(f"{self._label()}: field 'values' must be a list, got {type(values).__name__}")
            n = QuarnProfileThreePhaseIntervalsResponseBlock.VALUES_PER_INTERVAL
            if len(values) != n:
                raise QuarnCodecError(
                    f"{self._label()}: field 'values' must hold exactly {n} counts, got {len(values)}", self._label()
                )
            for i, value in enumerate(values):
                self._check_int_value(f"values[{i}]", value, 0, 0xFFFFFFFF)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_u1(int(self.status))
            for value in self.values:
                self._io.write_u4le(value)

    _fields = ("start_time", "interval_length", "intervals")
    _formats = {"start_time": epoch_format}

    def _read(self):
        self._check_length()
        io = self._io
        # The whole header and interval array in one unpack each; data that turns out short
        # is read field by field instead, so its error names the field that ran out.
        if io.size() - io.pos() < self.HEADER_SIZE:
            self.start_time = io.read_u4le()
            self.interval_length = io.read_u2le()
            self.num_intervals = io.read_u2le()
        else:
            self.start_time, self.interval_length, self.num_intervals = _HEADER.unpack(io.read_bytes(self.HEADER_SIZE))
        self._check_header()
        count = self.num_intervals
        if io.size() - io.pos() < self.INTERVAL_SIZE * count:
            self._read_children("intervals", QuarnProfileThreePhaseIntervalsResponseBlock.Interval, count)
        else:
            self.intervals = self._unpack_intervals(count)
        self._dirty = False

    def _check_header(self) -> None:
        """The header just read agrees with the length given and has a usable interval length."""
        expected = self.HEADER_SIZE + self.INTERVAL_SIZE * self.num_intervals
        if self.length is not None and expected != self.length:
            raise QuarnCodecError(
                f"QuarnProfileThreePhaseIntervalsResponseBlock: the block declares {self.num_intervals} "
                f"interval(s), so it is {expected} byte(s) long, but it was given {self.length} byte(s)",
                "QuarnProfileThreePhaseIntervalsResponseBlock",
            )
        if self.num_intervals and self.interval_length == 0:
            raise QuarnCodecError(
                "QuarnProfileThreePhaseIntervalsResponseBlock: interval_length is 0 but the block holds intervals",
                "QuarnProfileThreePhaseIntervalsResponseBlock",
            )

    def _unpack_intervals(self, count):
        """The intervals as ``Interval`` records in the state their own ``_read`` leaves."""
        io, root = self._io, self._root
        data = io.read_bytes(self.INTERVAL_SIZE * count)
        make, set_state, interval = object.__new__, object.__setattr__, QuarnProfileThreePhaseIntervalsResponseBlock.Interval
        intervals = []
        for status, *values in _INTERVAL.iter_unpack(data):
            child = make(interval)
            set_state(child, "__dict__", {
                "_io": io, "_dirty": False, "_parent": self, "_root": root,
                "status": _STATUSES[status], "values": values,
            })
            intervals.append(child)
        return intervals

    def _check(self):
        self._check_uint("start_time", 32)
        self._check_uint("interval_length", 16)
        intervals = self._check_list("intervals", 0xFFFF)
        if intervals and self.interval_length == 0:
            raise QuarnCodecError(f"{self._label()}: interval_length must not be 0 when there are intervals", self._label())
        self._check_children("intervals", intervals, QuarnProfileThreePhaseIntervalsResponseBlock.Interval)
        self._check_length()
        if self.length is not None and self.length != self._wire_size():
            raise QuarnCodecError(
                f"{self._label()}: length is {self.length} but a block of {len(intervals)} interval(s) "
                f"is {self._wire_size()} byte(s)",
                self._label(),
            )
        self._dirty = False

    def _write__seq(self, io=None):
        super()._write__seq(io)
        self._io.write_u4le(self.start_time)
        self._io.write_u2le(self.interval_length)
        self._io.write_u2le(len(self.intervals))
        self._write_children(self.intervals)
        self.__dict__["num_intervals"] = len(self.intervals)

    def _wire_size(self):
        return self.HEADER_SIZE + self.INTERVAL_SIZE * len(self.intervals)

    def interval_start(self, i):
        """Epoch seconds (UTC) at which interval ``i`` starts."""
        return self.start_time + i * self.interval_length
