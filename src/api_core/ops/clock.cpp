// Meter clock: read as an aware UTC date-time, set to the current UTC time.

#include "ops/ops.hpp"
#include "ops/shared.hpp"
#include "pyapi/convert.hpp"

namespace halvex::ops {

using py::kw;
using py::owned;

Ref clock_time_read(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref data = read_object<"time">(c, self, serial);

  // The meter counts years from 2000; the day of the month is its field `date`.
  Ref base = owned(PyLong_FromLong(2000));
  Ref year = owned(PyNumber_Add(base.get(), c.attr<"year">(data).get()));
  Ref month = c.attr<"month">(data);
  Ref day = c.attr<"date">(data);
  Ref hour = c.attr<"hour">(data);
  Ref minute = c.attr<"minute">(data);
  Ref second = c.attr<"second">(data);

  Ref datetime = c.global<"datetime">();
  Ref utc = c.attr<"utc">(c.attr<"timezone">(datetime));
  Ref when = c.call<kw<"tzinfo">>(c.attr<"datetime">(datetime), year, month, day, hour, minute, second, utc);

  c.info<"time", "serial">(c.attr<"log">(self), c.str<"received time">(), c.call_method<"isoformat">(when), serial);
  return when;
}

Ref clock_time_write(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref datetime = c.global<"datetime">();
  Ref utc = c.attr<"utc">(c.attr<"timezone">(datetime));
  Ref now = c.call_method<"now", kw<"tz">>(c.attr<"datetime">(datetime), utc);
  Ref payload = c.call(c.global<"quarn_encode_datetime_to_time_rec">(), now);
  c.call_method<"_write_element">(self, serial, object_id<"time">(c), payload);
  return Ref::none();
}

}  // namespace halvex::ops
