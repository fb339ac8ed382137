// Construction and the four primitives that talk to the transport client.

#include "method_table.hpp"
#include "ops/ops.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/exceptions.hpp"

namespace halvex::ops {

using py::check;
using py::Handling;
using py::kw;
using py::owned;

namespace {

// raise MediatorClientException(code, message), the class looked up now.
Ref raise_mediator_error(Call& c, PyObject* code, PyObject* message) {
  Ref cls = c.global<"MediatorClientException">();
  Ref exc = c.call(cls, code, message);
  return py::raise_object(exc.get());
}

enum class Handlers { element, message_only };

// The except-clauses around a transport call, entered with the transport's error set. Handlers
// are tried in order and each name is looked up only when its clause is reached; whatever is
// raised here carries the caught exception as __context__. Returns empty with an error set.
Ref handle_transport_failure(Call& c, Handlers handlers) {
  Handling h;
  PyObject* e = h.exception();
  if (handlers == Handlers::element) {
    if (h.matches(c.global<"HalvexConnectionFailure">())) {
      return raise_mediator_error(c, c.str<"HALVEX_CONNECTION_FAILURE">(), c.attr<"message">(e).get());
    }
    if (h.matches(c.global<"HalvexEOFError">())) {
      return raise_mediator_error(c, c.str<"HALVEX_EOF_ERROR">(), c.attr<"message">(e).get());
    }
  }
  if (h.matches(c.attr<"RpcError">(c.global<"grpc">()))) {
    Ref code_name = c.attr<"name">(c.call_method<"code">(e));
    Ref details = c.call_method<"details">(e);
    if (!check(PyObject_IsTrue(details.get()))) details = Ref::borrow(c.str<"">());
    Ref text = py::str_of(details.get());
    return raise_mediator_error(c, code_name.get(), text.get());
  }
  return h.reraise();
}

// self.grpc_client.<M>(args...): the whole statement is the guarded region.
template <py::Lit M, class... A>
Ref transport_call(Call& c, const A&... args) {
  Ref client = Ref::steal(PyObject_GetAttr(c.self(), c.str<"grpc_client">()));
  if (!client) return Ref();
  return c.try_call_method<M>(client, args...);
}

}  // namespace

Ref init(Call& c) {
  auto [self, mediator_address, logging_level] = c.args<3>();

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

Ref read_element(Call& c) {
  auto [self, serial, object_id] = c.args<3>();
  Ref result = transport_call<"read_element">(c, serial, object_id);
  if (!result) return handle_transport_failure(c, Handlers::element);
  return result;
}

Ref write_element(Call& c) {
  auto [self, serial, object_id, payload] = c.args<4>();
  Ref result = transport_call<"write_element">(c, serial, object_id, payload);
  if (!result) return handle_transport_failure(c, Handlers::element);
  return Ref::none();
}

Ref send_message(Call& c) {
  auto [self, serial, message] = c.args<3>();
  Ref reply = transport_call<"send_message">(c, serial, message);
  if (!reply) return handle_transport_failure(c, Handlers::message_only);
  // Checked outside the guarded call, so this TypeError is never mapped.
  py::expect_bytes_or_none(reply.get());
  return reply;
}

Ref safe_read_element(Call& c) {
  auto [self, serial, element_id] = c.args<3>();
  Ref result = c.try_call_method<"_read_element">(self, serial, element_id);
  if (result) return result;

  Handling h;
  if (!h.matches(c.global<"Exception">())) return h.reraise();
  // An ObjectIdEnum member shows its name, anything else its text.
  Ref text = py::str_of(element_id);
  Ref name = c.optional_attr<"name">(element_id);
  Ref display = name ? name : text;
  // Module logger, not self.log: the entry carries no mediator_address.
  Ref log_error = c.attr<"error">(c.global<"logger">());
  Ref message = py::concat({c.str<"Failed to read element ">(), py::format_field(display.get()).get(),
                            c.str<". Exception: ">(), py::format_field(h.exception()).get()});
  c.call<kw<"serial">>(log_error, message, serial);
  return Ref::none();
}

}  // namespace halvex::ops
