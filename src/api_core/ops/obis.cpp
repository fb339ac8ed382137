// Direct OBIS read and write.

#include "ops/ops.hpp"
#include "ops/shared.hpp"
#include "pyapi/convert.hpp"

namespace halvex::ops {

using py::kw;

Ref obis_read(Args<3>& c) {
  auto [self, serial, obis] = c.args();
  Ref object_id = c.call(c.global<"quarn_obis_triplet_to_decimal">(), obis);
  Ref record = c.call_method<"_read_element">(self, serial, object_id);
  py::Callee info = log_method<"info">(c, self);
  Ref hex = py::hex_of(c.attr<"payload">(record).get());
  c.call<kw<"obis", "result", "serial">>(info, c.str<"obis_read">(), obis, hex, serial);
  // The payload is read again to be returned; a bytearray gets logged, then refused: the
  // declared result is bytes.
  Ref payload = c.attr<"payload">(record);
  py::expect_bytes_or_none(payload.get());
  return payload;
}

Ref obis_write(Args<4>& c) {
  auto [self, serial, obis, payload_hex] = c.args();
  // Both conversions come before the write, the OBIS code first: bad input sends nothing.
  Ref object_id = c.call(c.global<"quarn_obis_triplet_to_decimal">(), obis);
  Ref payload = c.call_method<"fromhex">(c.global<"bytes">(), payload_hex);
  c.call_method<"_write_element">(self, serial, object_id, payload);
  return Ref::none();
}

}  // namespace halvex::ops
