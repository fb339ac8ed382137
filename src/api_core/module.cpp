// norvo_halvex.mediator.api_core: module definition and multi-phase initialisation.
//
// exec is a straight run of steps, each checked: module state (interned texts, method type),
// the import table in its order, `logger`, then the class. A failing import leaves neither
// `logger` nor the class behind.

#include <Python.h>

#include <array>
#include <initializer_list>

#include "binding/method_table.hpp"
#include "pyapi/error.hpp"
#include "pyapi/globals.hpp"
#include "binding/method_type.hpp"
#include "pyapi/ref.hpp"
#include "pyapi/state.hpp"

namespace halvex {

namespace {

using py::check;
using py::owned;
using py::Ref;

constexpr const char kModuleDoc[] =
    "\n"
    "Core API for Halvex meter operations.\n"
    "\n"
    "This module provides the main API for reading meter data, managing settings,\n"
    "and performing core operations. Prepay and tariff-related operations are in\n"
    "api_prepay.\n";

constexpr const char kClassName[] = "HalvexMediatorAPI";

constexpr const char kClassDoc[] =
    "\n"
    "    Core API client for Halvex meter operations.\n"
    "\n"
    "    This class provides methods for reading meter data, managing settings,\n"
    "    and performing core meter operations. For prepay and tariff operations,\n"
    "    use HalvexPrepayAPI from api_prepay.\n"
    "    ";

constexpr const char kDefaultMediatorAddress[] = "0.0.0.0:50051";

// ---- import table ------------------------------------------------------------------------

struct Import {
  const char* module;
  int level;  // 0 absolute, 1 relative to this package
  std::initializer_list<const char*> names;  // empty: bind the module itself under its name
};

const std::array<Import, 27> kImports{{
    {"datetime", 0, {}},
    {"logging", 0, {}},
    {"typing", 0, {"Any", "Dict", "Tuple", "cast"}},
    {"zoneinfo", 0, {"ZoneInfo"}},
    {"grpc", 0, {}},
    {"quarn_frame_protocol.quarn_data", 0, {"QuarnData"}},
    {"quarn_frame_protocol.quarn_event_log_response", 0, {"QuarnEventLogResponse"}},
    {"quarn_frame_protocol.quarn_message", 0, {"QuarnMessage"}},
    {"quarn_frame_protocol.quarn_object_id_enum", 0, {"ObjectIdEnum"}},
    {"quarn_frame_protocol.quarn_profile_log_1_response", 0,
     {"QuarnProfileLog1Response", "quarn_decode_profile_log_1_response"}},
    {"quarn_frame_protocol.quarn_profile_log_2_response", 0,
     {"QuarnProfileLog2Response", "quarn_decode_profile_log_2_response"}},
    {"quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block", 0,
     {"QuarnProfileThreePhaseIntervalsResponseBlock"}},
    {"quarn_frame_protocol.quarn_profile_three_phase_intervals_response_frame", 0,
     {"QuarnProfileThreePhaseIntervalsResponseFrame"}},
    {"quarn_frame_protocol.generated.quarn_event_log_request", 0, {"QuarnEventLogRequest"}},
    {"quarn_frame_protocol.generated.quarn_profile_log_request", 0, {"QuarnProfileLogRequest"}},
    {"quarn_frame_protocol.generated.quarn_profile_three_phase_intervals_request", 0,
     {"QuarnProfileThreePhaseIntervalsRequest"}},
    {"quarn_frame_protocol.util", 0,
     {"quarn_datetime_to_epoch_seconds", "quarn_encode_datetime_to_time_rec", "quarn_encode_object_id",
      "quarn_format_firmware_version", "quarn_obis_triplet_to_decimal"}},
    {"quarn_frame_protocol.stream", 0, {"BytesIO", "KaitaiStream"}},
    {"norvo_halvex.dto.three_phase_intervals", 0, {"ThreePhaseIntervals"}},
    {"norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure", 0, {"HalvexConnectionFailure"}},
    {"norvo_halvex.mediator.grpc.exception.HalvexEOFError", 0, {"HalvexEOFError"}},
    {"norvo_halvex.util.logging", 0, {"get_logger"}},
    {"norvo_halvex.util.meters", 0,
     {"is_three_phase", "is_twin_element", "single_phase_hardware_str_to_registry_str"}},
    {"norvo_halvex.util.three_phase_intervals", 0,
     {"blocks_to_intervals_rec", "export_three_phase_intervals_to_csv"}},
    {"grpc.client", 1, {"HalvexMediatorGrpcClient"}},
    {"mediator_client_exception", 1, {"MediatorClientException"}},
    {"validation", 1, {"valid_event_log_idx"}},
}};

// `from module import name`, as the interpreter does it: the attribute, else a submodule of that
// name already in sys.modules, else ImportError naming both.
Ref import_from(PyObject* module, PyObject* name) {
  PyObject* found = nullptr;
  if (check(PyObject_GetOptionalAttr(module, name, &found))) return Ref::steal(found);
  Ref pkgname;
  {
    PyObject* p = nullptr;
    Ref dunder = owned(PyUnicode_InternFromString("__name__"));
    check(PyObject_GetOptionalAttr(module, dunder.get(), &p));
    pkgname = Ref::steal(p);
  }
  if (pkgname && PyUnicode_Check(pkgname.get())) {
    Ref full = owned(PyUnicode_FromFormat("%U.%U", pkgname.get(), name));
    PyObject* sub = nullptr;
    if (check(PyDict_GetItemRef(PyImport_GetModuleDict(), full.get(), &sub))) return Ref::steal(sub);
  }
  Ref path = Ref::steal(PyModule_GetFilenameObject(module));
  if (!path) PyErr_Clear();
  Ref shown = pkgname ? pkgname : owned(PyUnicode_FromString("<unknown module name>"));
  Ref message = path ? owned(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, shown.get(), path.get()))
                     : owned(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                                  shown.get()));
  PyErr_SetImportError(message.get(), pkgname ? pkgname.get() : nullptr, path ? path.get() : nullptr);
  throw py::PyError();
}

void run_import(PyObject* ns, const Import& entry) {
  Ref module_name = owned(PyUnicode_FromString(entry.module));
  Ref fromlist;
  if (entry.names.size() > 0) {
    fromlist = owned(PyTuple_New(static_cast<Py_ssize_t>(entry.names.size())));
    Py_ssize_t i = 0;
    for (const char* n : entry.names) py::tuple_set(fromlist.get(), i++, owned(PyUnicode_InternFromString(n)));
  }
  Ref module = owned(PyImport_ImportModuleLevelObject(module_name.get(), ns, nullptr, fromlist.get(), entry.level));
  if (!fromlist) {
    check(PyDict_SetItem(ns, module_name.get(), module.get()));
    return;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
    PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i);
    Ref value = import_from(module.get(), name);
    check(PyDict_SetItem(ns, name, value.get()));
  }
}

// ---- the class ---------------------------------------------------------------------------

Ref default_value(PyObject* ns, Default d) {
  switch (d) {
    case Default::none:
      return Ref::none();
    case Default::false_:
      return Ref::borrow(Py_False);
    case Default::mediator_address:
      return owned(PyUnicode_FromString(kDefaultMediatorAddress));
    case Default::logging_info: {
      // Read once, now: later changes to logging.INFO do not move the default.
      PyObject* logging = nullptr;
      if (!check(PyDict_GetItemStringRef(ns, "logging", &logging))) {
        py::raise(PyExc_NameError, "name '%s' is not defined", "logging");
      }
      Ref module = Ref::steal(logging);
      return owned(PyObject_GetAttrString(module.get(), "INFO"));
    }
    case Default::required:
      break;
  }
  return Ref();
}

Ref make_defaults(PyObject* ns, const MethodRow& row) {
  const std::size_t n = row.defaults();
  if (n == 0) return Ref();
  Ref tuple = owned(PyTuple_New(static_cast<Py_ssize_t>(n)));
  Py_ssize_t i = 0;
  for (const Param& p : row.parameters()) {
    if (p.def == Default::required) continue;
    py::tuple_set(tuple.get(), i++, default_value(ns, p.def));
  }
  return tuple;
}

void create_class(PyObject* module, py::ModuleState& st, PyObject* ns) {
  Ref class_ns = owned(PyDict_New());
  Ref module_name = owned(PyModule_GetNameObject(module));
  check(PyDict_SetItemString(class_ns.get(), "__module__", module_name.get()));
  Ref qualname = owned(PyUnicode_FromString(kClassName));
  check(PyDict_SetItemString(class_ns.get(), "__qualname__", qualname.get()));
  Ref doc = owned(PyUnicode_FromString(kClassDoc));
  check(PyDict_SetItemString(class_ns.get(), "__doc__", doc.get()));
  for (const MethodRow& row : method_table()) {
    Ref method = py::make_method(module, st, row, kClassName, make_defaults(ns, row));
    check(PyDict_SetItemString(class_ns.get(), row.name, method.get()));
  }
  Ref cls = owned(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", kClassName,
                                        reinterpret_cast<PyObject*>(&PyBaseObject_Type), class_ns.get()));
  check(PyDict_SetItemString(ns, kClassName, cls.get()));
}

// ---- module slots ------------------------------------------------------------------------

PyObject* module_create(PyObject* module_spec, PyModuleDef* /*def*/) noexcept {
  return py::boundary([&] {
    Ref name = owned(PyObject_GetAttrString(module_spec, "name"));
    return owned(PyModule_NewObject(name.get()));
  });
}

int module_exec(PyObject* module) noexcept {
  return py::boundary_status([&] {
    py::ModuleState& st = py::state_of(module);
    PyObject* ns = PyModule_GetDict(module);  // borrowed, lives as long as the module
    st.dict = ns;
    py::init_texts(st);
    py::init_builtins(st);
    py::create_method_type(module, st);

    for (const Import& entry : kImports) run_import(ns, entry);

    PyObject* get_logger = nullptr;
    if (!check(PyDict_GetItemStringRef(ns, "get_logger", &get_logger))) {
      py::raise(PyExc_NameError, "name '%s' is not defined", "get_logger");
    }
    Ref get_logger_ref = Ref::steal(get_logger);
    Ref name = owned(PyModule_GetNameObject(module));
    Ref file = owned(PyModule_GetFilenameObject(module));
    Ref logger = owned(PyObject_CallFunctionObjArgs(get_logger_ref.get(), name.get(), file.get(), nullptr));
    check(PyDict_SetItemString(ns, "logger", logger.get()));

    create_class(module, st, ns);
    py::start_caches(st);
  });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  return py::traverse_state(py::state_of(module), visit, arg);
}

int module_clear(PyObject* module) {
  py::clear_state(py::state_of(module));
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "api_core",
    .m_doc = kModuleDoc,
    .m_size = sizeof(py::ModuleState),
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = module_traverse,
    .m_clear = module_clear,
    .m_free = module_free,
};

}  // namespace

}  // namespace halvex

extern "C" PyMODINIT_FUNC PyInit_api_core(void) { return PyModuleDef_Init(&halvex::module_def); }
