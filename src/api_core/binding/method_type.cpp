#include "binding/method_type.hpp"

#include <cstddef>
#include <new>

#include "binding/arguments.hpp"
#include "pyapi/call.hpp"

namespace halvex::py {

namespace {

struct MethodObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const MethodRow* row;
  ModuleState* state;      // of `module`, which this object keeps alive
  PyObject* module;        // owned
  PyObject* name;          // owned str
  PyObject* qualname;      // owned str
  PyObject* module_name;   // owned str
  PyObject* param_names;   // owned tuple of interned str, self first
  PyObject* defaults;      // owned tuple, or null for none
  PyObject* annotations;   // owned dict
  PyObject* signature;     // owned inspect.Signature, built on first use
};

MethodObject* as_method(PyObject* o) noexcept { return reinterpret_cast<MethodObject*>(o); }

// ---- calling -----------------------------------------------------------------------------

// Methods call methods through the object, so a replacement that loops back (an instance whose
// _read_element is its own _safe_read_element) recurses through C frames only. The interpreter's
// C recursion limit is sized for its own small frames and counts them as the interpreter enters
// Python code; ours are larger, so the core keeps its own, much lower, bound on nested core-method
// calls per thread. Real call chains nest a few deep.
// initial-exec: a plain %fs-relative access instead of a __tls_get_addr call on every method call.
constexpr int kMaxNesting = 400;
thread_local int nesting __attribute__((tls_model("initial-exec"))) = 0;

// A method object outlives its module's state when the module is torn down (interpreter exit,
// a cleared module) while the object is still held, or when the collector has cleared the object.
[[noreturn]] void raise_torn_down(MethodObject* m) {
  raise(PyExc_RuntimeError,
        "HalvexMediatorAPI.%s() cannot run: its module norvo_halvex.mediator.api_core has been torn down "
        "(interpreter shutting down or module cleared); import the module again and use a new client",
        m->row->name);
}

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  MethodObject* m = as_method(callable);
  if (m->state == nullptr || !m->state->ready()) {
    return boundary([&]() -> Ref { raise_torn_down(m); });
  }
  if (nesting >= kMaxNesting) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in a HalvexMediatorAPI method");
    return nullptr;
  }
  ++nesting;
  const MethodRow& row = *m->row;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* result = boundary([&] {
    if (binds_as_given(row, args, nargs, kwnames)) {
      Call call(*m->state, args, 1 + row.count);
      return row.fn(call);
    }
    Bound bound;
    bind(row, m->param_names, m->defaults, args, nargs, kwnames, bound);
    Call call(*m->state, bound.values, 1 + row.count);
    return row.fn(call);
  });
  --nesting;
  return result;
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) noexcept {
  if (obj == nullptr || obj == Py_None) return Ref::borrow(self).release();
  return PyMethod_New(self, obj);
}

// ---- attributes --------------------------------------------------------------------------

PyObject* get_or_none(PyObject* slot) noexcept { return Ref::borrow(slot != nullptr ? slot : Py_None).release(); }

PyObject* get_name(PyObject* self, void*) noexcept { return get_or_none(as_method(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return get_or_none(as_method(self)->qualname); }
PyObject* get_module(PyObject* self, void*) noexcept { return get_or_none(as_method(self)->module_name); }
PyObject* get_defaults(PyObject* self, void*) noexcept { return get_or_none(as_method(self)->defaults); }
PyObject* get_annotations(PyObject* self, void*) noexcept { return get_or_none(as_method(self)->annotations); }
PyObject* get_kwdefaults(PyObject*, void*) noexcept { return Ref::none().release(); }

PyObject* get_doc(PyObject* self, void*) noexcept {
  const char* doc = as_method(self)->row->doc;
  if (doc == nullptr) return Ref::none().release();
  return PyUnicode_FromString(doc);
}

Ref build_signature(MethodObject* m) {
  Ref inspect = owned(PyImport_ImportModule("inspect"));
  Ref parameter = owned(PyObject_GetAttrString(inspect.get(), "Parameter"));
  Ref kind = owned(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
  Ref kw_default = owned(PyUnicode_InternFromString("default"));
  Ref kw_annotation = owned(PyUnicode_InternFromString("annotation"));
  Ref kw_return = owned(PyUnicode_InternFromString("return_annotation"));

  const MethodRow& row = *m->row;
  const Py_ssize_t total = static_cast<Py_ssize_t>(1 + row.count);
  const Py_ssize_t ndefaults = m->defaults != nullptr ? PyTuple_GET_SIZE(m->defaults) : 0;
  Ref params = owned(PyList_New(0));
  for (Py_ssize_t i = 0; i < total; ++i) {
    PyObject* name = PyTuple_GET_ITEM(m->param_names, i);
    Ref p;
    if (i == 0) {
      PyObject* args[] = {name, kind.get()};
      p = owned(PyObject_Vectorcall(parameter.get(), args, 2, nullptr));
    } else {
      Ref annotation = owned(PyUnicode_FromString(row.params[i - 1].annotation));
      const Py_ssize_t d = i - (total - ndefaults);
      if (d >= 0) {
        Ref kwnames = owned(PyTuple_Pack(2, kw_default.get(), kw_annotation.get()));
        PyObject* args[] = {name, kind.get(), PyTuple_GET_ITEM(m->defaults, d), annotation.get()};
        p = owned(PyObject_Vectorcall(parameter.get(), args, 2, kwnames.get()));
      } else {
        Ref kwnames = owned(PyTuple_Pack(1, kw_annotation.get()));
        PyObject* args[] = {name, kind.get(), annotation.get()};
        p = owned(PyObject_Vectorcall(parameter.get(), args, 2, kwnames.get()));
      }
    }
    check(PyList_Append(params.get(), p.get()));
  }
  Ref signature_type = owned(PyObject_GetAttrString(inspect.get(), "Signature"));
  Ref returns = owned(PyUnicode_FromString(row.returns));
  Ref kwnames = owned(PyTuple_Pack(1, kw_return.get()));
  PyObject* args[] = {params.get(), returns.get()};
  return owned(PyObject_Vectorcall(signature_type.get(), args, 1, kwnames.get()));
}

PyObject* get_signature(PyObject* self, void*) noexcept {
  MethodObject* m = as_method(self);
  return boundary([&] {
    if (m->param_names == nullptr) raise_torn_down(m);
    if (m->signature == nullptr) store_slot(m->signature, build_signature(m));
    return load_slot(m->signature);
  });
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(MethodObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* method_repr(PyObject* self) noexcept {
  MethodObject* m = as_method(self);
  if (m->qualname == nullptr) return PyUnicode_FromFormat("<method HalvexMediatorAPI.%s of HalvexMediatorAPI>", m->row->name);
  return PyUnicode_FromFormat("<method %U of HalvexMediatorAPI>", m->qualname);
}

// ---- lifetime ----------------------------------------------------------------------------

int method_traverse(PyObject* self, visitproc visit, void* arg) {
  MethodObject* m = as_method(self);
  Py_VISIT(Py_TYPE(self));
  for (PyObject* slot : {m->module, m->defaults, m->annotations, m->signature}) {
    if (int r = visit_slot(slot, visit, arg)) return r;
  }
  return 0;
}

int method_clear(PyObject* self) {
  MethodObject* m = as_method(self);
  m->state = nullptr;
  for (PyObject** slot : {&m->module, &m->name, &m->qualname, &m->module_name, &m->param_names, &m->defaults,
                          &m->annotations, &m->signature}) {
    clear_slot(*slot);
  }
  return 0;
}

void method_dealloc(PyObject* self) {
  Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // heap types are owned by instances
  PyObject_GC_UnTrack(self);
  method_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyType_Slot method_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {Py_tp_getset, method_getset},
    {Py_tp_members, method_members},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {0, nullptr},
};

PyType_Spec method_spec = {
    .name = "norvo_halvex.mediator.api_core.method",
    .basicsize = sizeof(MethodObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = method_slots,
};

}  // namespace

void create_method_type(PyObject* module, ModuleState& st) {
  store_slot(st.method_type, owned(PyType_FromModuleAndSpec(module, &method_spec, nullptr)));
}

Ref make_method(PyObject* module, ModuleState& st, const MethodRow& row, const char* class_name, Ref defaults) {
  auto* type = reinterpret_cast<PyTypeObject*>(st.method_type);
  Ref self = owned(type->tp_alloc(type, 0));  // zero-filled; tracked by the GC once complete
  MethodObject* m = as_method(self.get());
  m->vectorcall = method_vectorcall;
  m->row = &row;
  m->state = &st;
  store_slot(m->module, Ref::borrow(module));
  store_slot(m->name, owned(PyUnicode_InternFromString(row.name)));
  store_slot(m->qualname, owned(PyUnicode_FromFormat("%s.%s", class_name, row.name)));
  store_slot(m->module_name, owned(PyModule_GetNameObject(module)));
  if (defaults && PyTuple_GET_SIZE(defaults.get()) > 0) store_slot(m->defaults, std::move(defaults));

  Ref names = owned(PyTuple_New(static_cast<Py_ssize_t>(1 + row.count)));
  tuple_set(names.get(), 0, owned(PyUnicode_InternFromString("self")));
  Ref annotations = owned(PyDict_New());
  for (std::size_t i = 0; i < row.count; ++i) {
    Ref name = owned(PyUnicode_InternFromString(row.params[i].name));
    Ref text = owned(PyUnicode_FromString(row.params[i].annotation));
    check(PyDict_SetItem(annotations.get(), name.get(), text.get()));
    tuple_set(names.get(), static_cast<Py_ssize_t>(i + 1), std::move(name));
  }
  Ref returns = owned(PyUnicode_FromString(row.returns));
  check(PyDict_SetItemString(annotations.get(), "return", returns.get()));
  store_slot(m->param_names, std::move(names));
  store_slot(m->annotations, std::move(annotations));
  return self;
}

}  // namespace halvex::py
