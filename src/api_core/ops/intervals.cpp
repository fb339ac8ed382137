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

// A record parsed from `data`: cls(len(data), KaitaiStream(BytesIO(data)))._read()
Ref parse_sized(Call& c, const Ref& cls, PyObject* data) {
  Ref size = c.call(c.global<"len">(), data);
  Ref rec = c.call(cls, size, read_stream(c, data));
  c.call_method<"_read">(rec);
  return rec;
}

Ref hours(Call& c, long n) {
  Ref count = owned(PyLong_FromLong(n));
  return c.call<kw<"hours">>(c.attr<"timedelta">(c.global<"datetime">()), count);
}

Ref add(PyObject* a, PyObject* b) { return owned(PyNumber_Add(a, b)); }

[[noreturn]] void raise_window_error(Call& c, PyObject* text) {
  Ref exc = c.call(c.global<"Exception">(), text);
  py::raise_object(exc.get());
}

Ref profile_number(Call& c, const Ref& request_type) { return c.attr<"ProfileNumber">(request_type); }

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

  log_line(c, Level::debug, self, serial, c.str<"three phase intervals frame request [">(), data_field_bytes.get(), Form::hex);
  Ref response_bytes = c.call_method<"_send_message">(self, serial, data_field_bytes);
  log_line(c, Level::debug, self, serial, c.str<"three phase intervals frame response [">(), response_bytes.get(), Form::hex);

  // A reset is sent for its effect alone; its reply is not parsed.
  Ref reset = c.attr<"reset">(profile_number(c, c.global<"QuarnProfileThreePhaseIntervalsRequest">()));
  if (compare(profile, reset.get(), Py_EQ)) return Ref::none();

  Ref frame = parse_sized(c, c.global<"QuarnProfileThreePhaseIntervalsResponseFrame">(), response_bytes.get());
  log_line(c, Level::debug, self, serial, c.str<"three phase intervals frame [">(), frame.get(), Form::text);

  Ref frame_data = c.attr<"frame_data">(frame);
  Ref block = parse_sized(c, c.global<"QuarnProfileThreePhaseIntervalsResponseBlock">(), frame_data.get());
  log_line(c, Level::debug, self, serial, c.str<"three phase intervals block [">(), block.get(), Form::text);
  return block;
}

Ref three_phase_intervals(Args<7>& c) {
  // include_statuses arrives as True or False (converted at entry).
  auto [self, serial, day, start_arg, end_arg, csv, include_statuses] = c.args();

  Ref start_time = Ref::borrow(start_arg);
  Ref end_time = Ref::borrow(end_arg);
  if (check(PyObject_IsTrue(day))) {
    // The UTC day up to the start of its last interval (23:30), not the following midnight.
    Ref datetime_module = c.global<"datetime">();
    Ref tz = c.call(c.global<"ZoneInfo">(), c.str<"UTC">());
    Ref time_type = c.attr<"time">(datetime_module);
    Ref midnight = c.call(time_type, owned(PyLong_FromLong(0)), owned(PyLong_FromLong(0)));
    Ref last_start = c.call(time_type, owned(PyLong_FromLong(23)), owned(PyLong_FromLong(30)));
    Ref datetime_type = c.attr<"datetime">(datetime_module);
    // combine() keeps only the date of a datetime `day`.
    start_time = c.call_method<"combine", kw<"tzinfo">>(datetime_type, day, midnight, tz);
    end_time = c.call_method<"combine", kw<"tzinfo">>(datetime_type, day, last_start, tz);
  } else {
    if (start_time.is(Py_None) || end_time.is(Py_None)) {
      raise_window_error(c, c.str<"start_time and end_time must be provided">());
    }
    if (compare(start_time.get(), end_time.get(), Py_GE)) {
      raise_window_error(c, c.str<"start_time must come before end_time">());
    }
    Ref latest_end = add(start_time.get(), hours(c, kMaxWindowHours).get());
    if (compare(end_time.get(), latest_end.get(), Py_GT)) {
      raise_window_error(c, c.str<"max range between start_time and end_time is 24 hours">());
    }
  }

  Ref hardware = c.call_method<"three_phase_hardware_configuration">(self, serial);
  {
    Ref type_name = c.attr<"name">(c.attr<"meter_type">(hardware));
    Ref log = c.attr<"log">(self);
    c.info<"serial">(log, py::concat({c.str<"meter type = ">(), py::format_field(type_name.get()).get()}), serial);
  }

  Ref frame_length = hours(c, kHoursPerFrame);
  Ref blocks = owned(PyList_New(0));
  Ref single_frame_end = add(start_time.get(), frame_length.get());
  if (compare(end_time.get(), single_frame_end.get(), Py_LE)) {
    Ref profile_0 = c.attr<"profile_0">(profile_number(c, c.global<"QuarnProfileThreePhaseIntervalsRequest">()));
    Ref block = c.call_method<"_three_phase_intervals_read">(self, serial, start_time, end_time, profile_0);
    check(PyList_Append(blocks.get(), block.get()));
  } else {
    // Each frame starts exactly where the previous one ended; the last ends at end_time.
    Ref current_start = start_time;
    while (compare(current_start.get(), end_time.get(), Py_LT)) {
      Ref current_end = add(current_start.get(), frame_length.get());
      if (compare(end_time.get(), current_end.get(), Py_LT)) current_end = end_time;
      Ref profile_0 = c.attr<"profile_0">(profile_number(c, c.global<"QuarnProfileThreePhaseIntervalsRequest">()));
      Ref block = c.call_method<"_three_phase_intervals_read">(self, serial, current_start, current_end, profile_0);
      check(PyList_Append(blocks.get(), block.get()));
      current_start = current_end;
    }
  }
  Ref all_intervals = c.call(c.global<"blocks_to_intervals_rec">(), blocks);

  // Only now, with every frame fetched and combined, is anything written out.
  Ref export_csv = c.global<"export_three_phase_intervals_to_csv">();
  c.call(export_csv, all_intervals, csv, c.attr<"meter_type">(hardware), include_statuses);

  Ref log = c.attr<"log">(self);
  if (check(PyObject_IsTrue(csv))) {
    c.info<"serial">(log, py::concat({c.str<"wrote intervals to [">(), csv, c.str<"]">()}), serial);
  } else {
    c.info<"serial">(log, c.str<"wrote intervals to stdout">(), serial);
  }
  return all_intervals;
}

}  // namespace halvex::ops
