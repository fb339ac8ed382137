// Profile logs and the event log.

#include "ops/ops.hpp"
#include "ops/shared.hpp"
#include "pyapi/convert.hpp"

namespace halvex::ops {

using py::kw;
using py::owned;

namespace {

// Profile-log and event-log requests are both 4 bytes.
constexpr long kLogMessageLen = 4;

// QuarnData.RecordFormat.<Member>
template <py::Lit Member>
Ref record_format(Call& c) {
  return c.attr<Member>(c.attr<"RecordFormat">(c.global<"QuarnData">()));
}

// self._profile_log(serial, timestamp, QuarnData.RecordFormat.<Format>): the method is looked up
// before the format.
template <py::Lit Format>
Ref profile_log_reply(Call& c, PyObject* self, PyObject* serial, PyObject* timestamp) {
  py::Callee method = c.method<"_profile_log">(self);
  Ref format = record_format<Format>(c);
  return c.call(method, serial, timestamp, format);
}

}  // namespace

Ref profile_log(Args<4>& c) {
  auto [self, serial, timestamp, format] = c.args();

  Ref message_field = c.call(c.global<"QuarnProfileLogRequest">());
  c.set_attr<"timestamp">(message_field.get(), c.call(c.global<"quarn_datetime_to_epoch_seconds">(), timestamp));
  Ref message_field_bytes = serialise(c, message_field, kLogMessageLen);

  Ref len = owned(PyLong_FromLong(kLogMessageLen));
  Ref data_field = c.call(c.global<"QuarnData">(), len);
  c.set_attr<"format">(data_field.get(), format);
  c.set_attr<"message">(data_field.get(), message_field_bytes);
  Ref data_field_bytes = serialise(c, data_field, kLogMessageLen + 1);

  log_line<"debug">(c, self, serial, c.str<"profile log request [">(), data_field_bytes.get(), Form::hex);
  Ref response_bytes = c.call_method<"_send_message">(self, serial, data_field_bytes);
  // _send_message may be replaced on the object; the declared result type still holds.
  py::expect_bytes_or_none(response_bytes.get());
  return response_bytes;
}

Ref profile_log_1(Args<3>& c) {
  auto [self, serial, timestamp] = c.args();
  Ref log_rsp = profile_log_reply<"profile_log_1">(c, self, serial, timestamp);
  Ref log_decoded = c.call(c.global<"quarn_decode_profile_log_1_response">(), log_rsp);
  log_line<"debug">(c, self, serial, c.str<"profile_log_1 response [">(), log_decoded.get(), Form::text);
  return log_decoded;
}

Ref profile_log_2(Args<4>& c) {
  // is_twin_element arrives as True or False (converted at entry).
  auto [self, serial, timestamp, is_twin_element] = c.args();
  Ref log_rsp = profile_log_reply<"profile_log_2">(c, self, serial, timestamp);
  Ref log_decoded = c.call(c.global<"quarn_decode_profile_log_2_response">(), is_twin_element, log_rsp);
  py::Callee debug = log_method<"debug">(c, self);
  Ref shown = text(c, log_decoded.get());
  Ref message = py::plus({c.str<"profile_log_2 response [">(), shown.get(), c.str<"]">()});
  c.call<kw<"is_twin_element", "serial">>(debug, message, is_twin_element, serial);
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

  Ref len = owned(PyLong_FromLong(kLogMessageLen));
  Ref data_field = c.call(c.global<"QuarnData">(), len);
  c.set_attr<"format">(data_field.get(), record_format<"event_log">(c));
  c.set_attr<"message">(data_field.get(), message_field_bytes);
  Ref data_field_bytes = serialise(c, data_field, kLogMessageLen + 1);

  log_line<"info">(c, self, serial, c.str<"event log request [">(), data_field_bytes.get(), Form::hex);
  Ref response_bytes = c.call_method<"_send_message">(self, serial, data_field_bytes);
  log_line<"info">(c, self, serial, c.str<"event log response [">(), response_bytes.get(), Form::hex);

  // No length argument: the record takes the whole reply.
  Ref response_type = c.global<"QuarnEventLogResponse">();
  Ref data = c.call(response_type, read_stream(c, response_bytes.get()));
  c.call_method<"_read">(data);
  log_line<"info">(c, self, serial, c.str<"event logs [">(), data.get(), Form::text);
  return data;
}

}  // namespace halvex::ops
