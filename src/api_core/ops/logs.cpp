// Profile logs and the event log.

#include "ops/ops.hpp"
#include "ops/shared.hpp"
#include "pyapi/convert.hpp"

namespace halvex::ops {

using py::owned;

namespace {

// Profile-log and event-log requests are both 4 bytes.
constexpr long kLogMessageLen = 4;

// QuarnData(message_len) with `format` then `message` set, serialised.
Ref data_record(Call& c, PyObject* format, const Ref& message, long message_len) {
  Ref len = owned(PyLong_FromLong(message_len));
  Ref data_field = c.call(c.global<"QuarnData">(), len);
  c.set_attr<"format">(data_field.get(), format);
  c.set_attr<"message">(data_field.get(), message);
  return serialise(c, data_field, message_len + 1);
}

Ref record_format(Call& c, PyObject* member_name) {
  return owned(PyObject_GetAttr(c.attr<"RecordFormat">(c.global<"QuarnData">()).get(), member_name));
}

}  // namespace

Ref profile_log(Args<4>& c) {
  auto [self, serial, timestamp, format] = c.args();

  Ref message_field = c.call(c.global<"QuarnProfileLogRequest">());
  c.set_attr<"timestamp">(message_field.get(), c.call(c.global<"quarn_datetime_to_epoch_seconds">(), timestamp));
  Ref message_field_bytes = serialise(c, message_field, kLogMessageLen);
  Ref data_field_bytes = data_record(c, format, message_field_bytes, kLogMessageLen);

  log_line(c, Level::debug, self, serial, c.str<"profile log request [">(), data_field_bytes.get(), Form::hex);
  Ref response_bytes = c.call_method<"_send_message">(self, serial, data_field_bytes);
  // _send_message may be replaced on the object; the declared result type still holds.
  py::expect_bytes_or_none(response_bytes.get());
  return response_bytes;
}

Ref profile_log_1(Args<3>& c) {
  auto [self, serial, timestamp] = c.args();
  Ref log_rsp = c.call_method<"_profile_log">(self, serial, timestamp, record_format(c, c.str<"profile_log_1">()));
  Ref log_decoded = c.call(c.global<"quarn_decode_profile_log_1_response">(), log_rsp);
  log_line(c, Level::debug, self, serial, c.str<"profile_log_1 response [">(), log_decoded.get(), Form::text);
  return log_decoded;
}

Ref profile_log_2(Args<4>& c) {
  // is_twin_element arrives as True or False (converted at entry).
  auto [self, serial, timestamp, is_twin_element] = c.args();
  Ref log_rsp = c.call_method<"_profile_log">(self, serial, timestamp, record_format(c, c.str<"profile_log_2">()));
  Ref log_decoded = c.call(c.global<"quarn_decode_profile_log_2_response">(), is_twin_element, log_rsp);
  Ref log = c.attr<"log">(self);
  Ref message = py::concat({c.str<"profile_log_2 response [">(), py::str_of(log_decoded.get()).get(), c.str<"]">()});
  c.debug<"is_twin_element", "serial">(log, message, is_twin_element, serial);
  return log_decoded;
}

Ref event_log(Args<3>& c) {
  // log_idx arrives as an exact int (converted at entry).
  auto [self, serial, log_idx] = c.args();

  // A refused index raises here, before anything is built or sent.
  c.call(c.global<"valid_event_log_idx">(), log_idx);

  Ref message_field = c.call(c.global<"QuarnEventLogRequest">());
  Ref encode_object_id = c.global<"quarn_encode_object_id">();
  Ref event_log_type = c.attr<"event_log">(c.attr<"ObjectIdType">(c.global<"QuarnMessage">()));
  c.set_attr<"object_id">(message_field.get(), c.call(encode_object_id, event_log_type));
  c.set_attr<"log_idx">(message_field.get(), log_idx);
  Ref message_field_bytes = serialise(c, message_field, kLogMessageLen);
  Ref data_field_bytes = data_record(c, record_format(c, c.str<"event_log">()).get(), message_field_bytes,
                                     kLogMessageLen);

  log_line(c, Level::info, self, serial, c.str<"event log request [">(), data_field_bytes.get(), Form::hex);
  Ref response_bytes = c.call_method<"_send_message">(self, serial, data_field_bytes);
  log_line(c, Level::info, self, serial, c.str<"event log response [">(), response_bytes.get(), Form::hex);

  // No length argument: the record takes the whole reply.
  Ref response_type = c.global<"QuarnEventLogResponse">();
  Ref data = c.call(response_type, read_stream(c, response_bytes.get()));
  c.call_method<"_read">(data);
  log_line(c, Level::info, self, serial, c.str<"event logs [">(), data.get(), Form::text);
  return data;
}

}  // namespace halvex::ops
