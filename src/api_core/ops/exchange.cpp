// Construction and the four primitives that talk to the transport client.

#include "ops/ops.hpp"
#include "ops/shared.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/exceptions.hpp"

namespace halvex::ops {

using py::check;
using py::Handling;
using py::kw;
using py::owned;

namespace {

enum class Handlers { element, message_only };

// The except-clauses around a transport call, run while the transport's failure is handled.
// Handlers are tried in order and each name is looked up only when its clause is reached. Each
// raise evaluates as `raise MediatorClientException(code, message)` does: the class first, then
// the arguments left to right. Whatever is raised carries the caught exception as __context__.
[[noreturn]] void handle_transport_failure(Call& c, Handling& h, Handlers handlers) {
  PyObject* e = h.exception();
  if (handlers == Handlers::element) {
    if (h.matches(c.global<"HalvexConnectionFailure">())) {
      Ref cls = c.global<"MediatorClientException">();
      py::raise_object(c.call(cls, c.str<"HALVEX_CONNECTION_FAILURE">(), c.attr<"message">(e)).get());
    }
    if (h.matches(c.global<"HalvexEOFError">())) {
      Ref cls = c.global<"MediatorClientException">();
      py::raise_object(c.call(cls, c.str<"HALVEX_EOF_ERROR">(), c.attr<"message">(e)).get());
    }
  }
  if (h.matches(c.attr<"RpcError">(c.global<"grpc">()))) {
    // name = e.code().name, a statement of its own; then the raise, with str(e.details() or "").
    Ref code_name = c.attr<"name">(c.call_method<"code">(e));
    Ref cls = c.global<"MediatorClientException">();
    Ref str_type = c.global<"str">();
    Ref details = c.call_method<"details">(e);
    if (!truth(details.get())) details = Ref::borrow(c.str<"">());
    Ref message = str_type.is(reinterpret_cast<PyObject*>(&PyUnicode_Type)) ? py::str_of(details.get())
                                                                              : c.call(str_type, details);
    py::raise_object(c.call(cls, code_name, message).get());
  }
  h.reraise();
}

// self.grpc_client.<M>(args...): the whole statement is the guarded region.
template <py::Lit M, Handlers H, class... A>
Ref transport_call(Call& c, const A&... args) {
  return c.attr_call_method_except<"grpc_client", M>(
      [&](Handling& h) -> Ref { handle_transport_failure(c, h, H); }, c.self(), args...);
}

}  // namespace

Ref init(Args<3>& c) {
  auto [self, mediator_address, logging_level] = c.args();

  Ref transport = c.call<kw<"mediator_address">>(c.global<"HalvexMediatorGrpcClient">(), mediator_address);
  c.set_attr<"grpc_client">(self, transport);

  Ref root_logger = c.call_method<"getLogger">(c.global<"logging">());
  c.call_method<"setLevel">(root_logger, logging_level);

  Ref log = c.call_method<"bind", kw<"mediator_address">>(c.global<"logger">(), mediator_address);
  c.set_attr<"log">(self, log);
  c.debug(c.attr<"log">(self), c.str<"HalvexMediatorClient init">());

  c.set_attr<"_hardware_cache">(self, owned(PyDict_New()));
  return Ref::none();
}

Ref read_element(Args<3>& c) {
  auto [self, serial, object_id] = c.args();
  return transport_call<"read_element", Handlers::element>(c, serial, object_id);
}

Ref write_element(Args<4>& c) {
  auto [self, serial, object_id, payload] = c.args();
  transport_call<"write_element", Handlers::element>(c, serial, object_id, payload);
  return Ref::none();
}

Ref send_message(Args<3>& c) {
  auto [self, serial, message] = c.args();
  Ref reply = transport_call<"send_message", Handlers::message_only>(c, serial, message);
  // Checked outside the guarded call, so this TypeError is never mapped.
  py::expect_bytes_or_none(reply.get());
  return reply;
}

Ref safe_read_element(Args<3>& c) {
  auto [self, serial, element_id] = c.args();
  return c.call_method_except<"_read_element">(
      [&](Handling& h) -> Ref {
        if (!h.matches(c.global<"Exception">())) h.reraise();
        // name = getattr(element_id, "name", str(element_id)): an ObjectIdEnum member shows its
        // name, anything else its text.
        Ref getattr_fn = c.global<"getattr">();
        Ref shown = text(c, element_id);
        Ref display = c.call(getattr_fn, element_id, c.str<"name">(), shown);
        // Module logger, not self.log: the entry carries no mediator_address.
        Ref log_error = c.attr<"error">(c.global<"logger">());
        Ref message = py::join({c.str<"Failed to read element ">(), py::format_field(display.get()).get(),
                                  c.str<". Exception: ">(), py::format_field(h.exception()).get()});
        c.call<kw<"serial">>(log_error, message, serial);
        return Ref::none();
      },
      self, serial, element_id);
}

}  // namespace halvex::ops
