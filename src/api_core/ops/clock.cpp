// Meter clock: read as an aware UTC date-time, set to the current UTC time.

#include "ops/ops.hpp"
#include "ops/shared.hpp"

namespace halvex::ops {

using py::kw;
using py::owned;

namespace {

// datetime.timezone.utc
Ref utc(Call& c) { return c.attr<"utc">(c.attr<"timezone">(c.global<"datetime">())); }

}  // namespace

Ref clock_time_read(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref data = read_object<"time">(c, self, serial);

  // datetime.datetime(2000 + data.year, data.month, data.date, data.hour, data.minute, data.second,
  //                   tzinfo=datetime.timezone.utc): the meter counts years from 2000, and the
  // day of the month is its field `date`.
  Ref constructor = c.attr<"datetime">(c.global<"datetime">());
  Ref base = owned(PyLong_FromLong(2000));
  Ref year = owned(PyNumber_Add(base.get(), c.attr<"year">(data).get()));
  Ref month = c.attr<"month">(data);
  Ref day = c.attr<"date">(data);
  Ref hour = c.attr<"hour">(data);
  Ref minute = c.attr<"minute">(data);
  Ref second = c.attr<"second">(data);
  Ref when = c.call<kw<"tzinfo">>(constructor, year, month, day, hour, minute, second, utc(c));

  py::Callee info = log_method<"info">(c, self);
  c.call<kw<"time", "serial">>(info, c.str<"received time">(), c.call_method<"isoformat">(when), serial);
  return when;
}

Ref clock_time_write(Args<2>& c) {
  auto [self, serial] = c.args();
  py::Callee now_fn = c.method<"now">(c.attr<"datetime">(c.global<"datetime">()));
  Ref now = c.call<kw<"tz">>(now_fn, utc(c));
  Ref payload = c.call(c.global<"quarn_encode_datetime_to_time_rec">(), now);
  write_object<"time">(c, self, serial, payload);
  return Ref::none();
}

}  // namespace halvex::ops
