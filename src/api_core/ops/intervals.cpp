// Three-phase interval data: one frame, and the download of a window.

#include "ops/ops.hpp"
#include "ops/shared.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/exceptions.hpp"

namespace halvex::ops {

using py::check;
using py::kw;
using py::owned;

namespace {

constexpr long kFrameMessageLen = 13;
constexpr long kMaxWindowHours = 24;
constexpr long kHoursPerFrame = 4;

// A record parsed from `data`: cls(len(data), KaitaiStream(BytesIO(data)))._read(), the class
// looked up first.
template <py::Lit Class>
Ref parse_sized(Call& c, PyObject* data) {
  Ref cls = c.global<Class>();
  Ref size = c.call(c.global<"len">(), data);
  Ref rec = c.call(cls, size, read_stream(c, data));
  c.call_method<"_read">(rec);
  return rec;
}

// start + datetime.timedelta(hours=n)
Ref after_hours(Call& c, PyObject* start, long n) {
  Ref timedelta = c.attr<"timedelta">(c.global<"datetime">());
  Ref count = owned(PyLong_FromLong(n));
  Ref span = c.call<kw<"hours">>(timedelta, count);
  return owned(PyNumber_Add(start, span.get()));
}

[[noreturn]] void raise_window_error(Call& c, PyObject* text) {
  Ref exc = c.call(c.global<"Exception">(), text);
  py::raise_object(exc.get());
}

// QuarnProfileThreePhaseIntervalsRequest.ProfileNumber.<Member>
template <py::Lit Member>
Ref profile_number(Call& c) {
  return c.attr<Member>(c.attr<"ProfileNumber">(c.global<"QuarnProfileThreePhaseIntervalsRequest">()));
}

// datetime.datetime.combine(day, datetime.time(hour, minute), tzinfo=ZoneInfo("UTC"))
Ref day_at(Call& c, PyObject* day, long hour, long minute) {
  py::Callee combine = c.method<"combine">(c.attr<"datetime">(c.global<"datetime">()));
  Ref time_type = c.attr<"time">(c.global<"datetime">());
  Ref at = c.call(time_type, owned(PyLong_FromLong(hour)), owned(PyLong_FromLong(minute)));
  Ref zone = c.call(c.global<"ZoneInfo">(), c.str<"UTC">());
  return c.call<kw<"tzinfo">>(combine, day, at, zone);
}

// self._three_phase_intervals_read(serial, start, end, QuarnProfileThreePhaseIntervalsRequest.ProfileNumber.profile_0)
Ref read_frame(Call& c, PyObject* self, PyObject* serial, const Ref& start, const Ref& end) {
  py::Callee method = c.method<"_three_phase_intervals_read">(self);
  Ref profile_0 = profile_number<"profile_0">(c);
  return c.call(method, serial, start, end, profile_0);
}

}  // namespace

Ref three_phase_intervals_read(Args<5>& c) {
  auto [self, serial, start_time, end_time, profile] = c.args();

  Ref message_field = c.call(c.global<"QuarnProfileThreePhaseIntervalsRequest">());
  c.set_attr<"profile_number">(message_field.get(), profile);
  c.set_attr<"start_time">(message_field.get(), c.call(c.global<"quarn_datetime_to_epoch_seconds">(), start_time));
  c.set_attr<"end_time">(message_field.get(), c.call(c.global<"quarn_datetime_to_epoch_seconds">(), end_time));
  c.set_attr<"trailing_fixed">(message_field.get(),
                               c.call_method<"fromhex">(c.global<"bytearray">(), c.str<"ffffffff">()));
  Ref message_field_bytes = serialise(c, message_field, kFrameMessageLen);

  Ref message_len = owned(PyLong_FromLong(kFrameMessageLen));
  Ref data_field = c.call(c.global<"QuarnData">(), message_len);
  c.set_attr<"format">(data_field.get(),
                       c.attr<"three_phase_profile_intervals">(c.attr<"RecordFormat">(c.global<"QuarnData">())));
  c.set_attr<"message">(data_field.get(), message_field_bytes);
  Ref data_field_bytes = serialise(c, data_field, kFrameMessageLen + 1);

  log_line<"debug">(c, self, serial, c.str<"three phase intervals frame request [">(), data_field_bytes.get(), Form::hex);
  Ref response_bytes = c.call_method<"_send_message">(self, serial, data_field_bytes);
  log_line<"debug">(c, self, serial, c.str<"three phase intervals frame response [">(), response_bytes.get(), Form::hex);

  // A reset is sent for its effect alone; its reply is not parsed.
  if (compare(profile, profile_number<"reset">(c).get(), Py_EQ)) return Ref::none();

  Ref frame = parse_sized<"QuarnProfileThreePhaseIntervalsResponseFrame">(c, response_bytes.get());
  log_line<"debug">(c, self, serial, c.str<"three phase intervals frame [">(), frame.get(), Form::text);

  Ref frame_data = c.attr<"frame_data">(frame);
  Ref block = parse_sized<"QuarnProfileThreePhaseIntervalsResponseBlock">(c, frame_data.get());
  log_line<"debug">(c, self, serial, c.str<"three phase intervals block [">(), block.get(), Form::text);
  return block;
}

Ref three_phase_intervals(Args<7>& c) {
  // include_statuses arrives as True or False (converted at entry).
  auto [self, serial, day, start_arg, end_arg, csv, include_statuses] = c.args();

  Ref start_time = Ref::borrow(start_arg);
  Ref end_time = Ref::borrow(end_arg);
  if (truth(day)) {
    // The UTC day up to the start of its last interval (23:30), not the following midnight;
    // combine() keeps only the date of a datetime `day`.
    start_time = day_at(c, day, 0, 0);
    end_time = day_at(c, day, 23, 30);
  } else {
    if (start_time.is(Py_None) || end_time.is(Py_None)) {
      raise_window_error(c, c.str<"start_time and end_time must be provided">());
    }
    if (compare(start_time.get(), end_time.get(), Py_GE)) {
      raise_window_error(c, c.str<"start_time must come before end_time">());
    }
    if (compare(end_time.get(), after_hours(c, start_time.get(), kMaxWindowHours).get(), Py_GT)) {
      raise_window_error(c, c.str<"max range between start_time and end_time is 24 hours">());
    }
  }

  Ref hardware = c.call_method<"three_phase_hardware_configuration">(self, serial);
  {
    py::Callee info = log_method<"info">(c, self);
    Ref type_name = c.attr<"name">(c.attr<"meter_type">(hardware));
    c.call<kw<"serial">>(info, py::join({c.str<"meter type = ">(), py::format_field(type_name.get()).get()}), serial);
  }

  Ref blocks = owned(PyList_New(0));
  Ref all_intervals;
  if (compare(end_time.get(), after_hours(c, start_time.get(), kHoursPerFrame).get(), Py_LE)) {
    Ref block = read_frame(c, self, serial, start_time, end_time);
    check(PyList_Append(blocks.get(), block.get()));
    all_intervals = c.call(c.global<"blocks_to_intervals_rec">(), blocks);
  } else {
    // Each frame starts exactly where the previous one ended; the last ends at end_time.
    Ref current_start = start_time;
    while (compare(current_start.get(), end_time.get(), Py_LT)) {
      Ref current_end = after_hours(c, current_start.get(), kHoursPerFrame);
      if (compare(end_time.get(), current_end.get(), Py_LT)) current_end = end_time;
      Ref block = read_frame(c, self, serial, current_start, current_end);
      check(PyList_Append(blocks.get(), block.get()));
      current_start = current_end;
    }
    all_intervals = c.call(c.global<"blocks_to_intervals_rec">(), blocks);
  }

  // Only now, with every frame fetched and combined, is anything written out.
  Ref export_csv = c.global<"export_three_phase_intervals_to_csv">();
  c.call(export_csv, all_intervals, csv, c.attr<"meter_type">(hardware), include_statuses);

  if (truth(csv)) {
    py::Callee info = log_method<"info">(c, self);
    c.call<kw<"serial">>(info, py::plus({c.str<"wrote intervals to [">(), csv, c.str<"]">()}), serial);
  } else {
    c.info<"serial">(c.attr<"log">(self), c.str<"wrote intervals to stdout">(), serial);
  }
  return all_intervals;
}

}  // namespace halvex::ops
