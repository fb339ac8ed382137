"""What importing norvo_halvex.mediator.api_core gives: docstrings, namespace, the class, its methods."""

from __future__ import annotations

import importlib.util
import inspect
import logging
import sys
import types

import pytest

import norvo_halvex.mediator.api_core as api_core
from api_core_methods import METHOD_NAMES, METHODS

API = api_core.HalvexMediatorAPI

MODULE_DOC = (
    "\nCore API for Halvex meter operations.\n\n"
    "This module provides the main API for reading meter data, managing settings,\n"
    "and performing core operations. Prepay and tariff-related operations are in\n"
    "api_prepay.\n"
)
CLASS_DOC = (
    "\n    Core API client for Halvex meter operations.\n\n"
    "    This class provides methods for reading meter data, managing settings,\n"
    "    and performing core meter operations. For prepay and tariff operations,\n"
    "    use HalvexPrepayAPI from api_prepay.\n    "
)

# module, names taken (empty: the module itself), in import order
IMPORTS = [
    ("datetime", ()),
    ("logging", ()),
    ("typing", ("Any", "Dict", "Tuple", "cast")),
    ("zoneinfo", ("ZoneInfo",)),
    ("grpc", ()),
    ("quarn_frame_protocol.quarn_data", ("QuarnData",)),
    ("quarn_frame_protocol.quarn_event_log_response", ("QuarnEventLogResponse",)),
    ("quarn_frame_protocol.quarn_message", ("QuarnMessage",)),
    ("quarn_frame_protocol.quarn_object_id_enum", ("ObjectIdEnum",)),
    ("quarn_frame_protocol.quarn_profile_log_1_response",
     ("QuarnProfileLog1Response", "quarn_decode_profile_log_1_response")),
    ("quarn_frame_protocol.quarn_profile_log_2_response",
     ("QuarnProfileLog2Response", "quarn_decode_profile_log_2_response")),
    ("quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block",
     ("QuarnProfileThreePhaseIntervalsResponseBlock",)),
    ("quarn_frame_protocol.quarn_profile_three_phase_intervals_response_frame",
     ("QuarnProfileThreePhaseIntervalsResponseFrame",)),
    ("quarn_frame_protocol.generated.quarn_event_log_request", ("QuarnEventLogRequest",)),
    ("quarn_frame_protocol.generated.quarn_profile_log_request", ("QuarnProfileLogRequest",)),
    ("quarn_frame_protocol.generated.quarn_profile_three_phase_intervals_request",
     ("QuarnProfileThreePhaseIntervalsRequest",)),
    ("quarn_frame_protocol.util",
     ("quarn_datetime_to_epoch_seconds", "quarn_encode_datetime_to_time_rec", "quarn_encode_object_id",
      "quarn_format_firmware_version", "quarn_obis_triplet_to_decimal")),
    ("quarn_frame_protocol.stream", ("BytesIO", "KaitaiStream")),
    ("norvo_halvex.dto.three_phase_intervals", ("ThreePhaseIntervals",)),
    ("norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure", ("HalvexConnectionFailure",)),
    ("norvo_halvex.mediator.grpc.exception.HalvexEOFError", ("HalvexEOFError",)),
    ("norvo_halvex.util.logging", ("get_logger",)),
    ("norvo_halvex.util.meters",
     ("is_three_phase", "is_twin_element", "single_phase_hardware_str_to_registry_str")),
    ("norvo_halvex.util.three_phase_intervals", ("blocks_to_intervals_rec", "export_three_phase_intervals_to_csv")),
    ("norvo_halvex.mediator.grpc.client", ("HalvexMediatorGrpcClient",)),
    ("norvo_halvex.mediator.mediator_client_exception", ("MediatorClientException",)),
    ("norvo_halvex.mediator.validation", ("valid_event_log_idx",)),
]


def fresh_module() -> types.ModuleType:
    """Runs the module's create and exec steps again, into a new module object."""
    module_spec = importlib.util.find_spec("norvo_halvex.mediator.api_core")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def test_module_docstring_and_entry():
    assert api_core.__doc__ == MODULE_DOC
    assert api_core.__name__ == "norvo_halvex.mediator.api_core"
    assert not [n for n, v in vars(api_core).items() if isinstance(v, types.BuiltinFunctionType)]


def test_namespace_holds_imports_logger_and_class_only():
    expected = {m for m, names in IMPORTS if not names} | {n for _, names in IMPORTS for n in names}
    expected |= {"logger", "HalvexMediatorAPI"}
    assert {n for n in vars(api_core) if not n.startswith("__")} == expected
    for module, names in IMPORTS:
        real = importlib.import_module(module)
        if not names:
            assert getattr(api_core, module) is real
        for n in names:
            assert getattr(api_core, n) is getattr(real, n), n


def test_imports_run_in_table_order(monkeypatch):
    seen: list[tuple[str, str]] = []

    class Recording(types.ModuleType):
        def __getattribute__(self, attr):
            real = object.__getattribute__(self, "_real")
            seen.append((object.__getattribute__(self, "__name__"), attr))
            return getattr(real, attr)

    for module, _ in IMPORTS:
        proxy = Recording(module)
        object.__setattr__(proxy, "_real", importlib.import_module(module))
        monkeypatch.setitem(sys.modules, module, proxy)
    fresh = fresh_module()

    order = list(dict.fromkeys(m for m, _ in seen))
    assert order == [m for m, _ in IMPORTS]
    for module, names in IMPORTS:
        # (a package's names are probed by the import system first, hence the dedup)
        taken = list(dict.fromkeys(a for m, a in seen if m == module and not a.startswith("__")))
        later = ["INFO"] if module == "logging" else []  # the __init__ default, read when the class is made
        assert taken == [*names, *later], module
        for n in names:
            assert getattr(fresh, n) is getattr(importlib.import_module(module), n)


def test_failing_import_leaves_no_logger_or_class(monkeypatch):
    monkeypatch.setitem(sys.modules, "norvo_halvex.mediator.validation", None)
    module_spec = importlib.util.find_spec("norvo_halvex.mediator.api_core")
    module = importlib.util.module_from_spec(module_spec)
    with pytest.raises(ImportError, match="norvo_halvex.mediator.validation"):
        module_spec.loader.exec_module(module)
    assert "logger" not in vars(module) and "HalvexMediatorAPI" not in vars(module)
    assert "MediatorClientException" in vars(module)  # everything before it was imported


def test_missing_name_in_a_collaborator_is_an_import_error(monkeypatch):
    import norvo_halvex.util.meters as meters

    monkeypatch.delattr(meters, "is_twin_element")
    with pytest.raises(ImportError, match="cannot import name 'is_twin_element' from 'norvo_halvex.util.meters'"):
        fresh_module()


def test_logger_is_made_by_get_logger_with_name_and_file(monkeypatch):
    import norvo_halvex.util.logging as util_logging

    calls = []
    sentinel = object()

    def get_logger(*args, **kwargs):
        calls.append((args, kwargs))
        return sentinel

    monkeypatch.setattr(util_logging, "get_logger", get_logger)
    fresh = fresh_module()
    assert calls == [(("norvo_halvex.mediator.api_core", fresh.__file__), {})]
    assert fresh.__file__ == api_core.__file__
    assert fresh.logger is sentinel


def test_logging_info_default_is_read_when_the_class_is_made(monkeypatch):
    monkeypatch.setattr(logging, "INFO", 25)
    fresh = fresh_module()
    assert fresh.HalvexMediatorAPI.__init__.__defaults__ == ("0.0.0.0:50051", 25)
    monkeypatch.setattr(logging, "INFO", 30)
    assert fresh.HalvexMediatorAPI.__init__.__defaults__ == ("0.0.0.0:50051", 25)
    assert API.__init__.__defaults__ == ("0.0.0.0:50051", 20)


def test_class_attributes():
    assert API.__doc__ == CLASS_DOC
    assert API.__module__ == "norvo_halvex.mediator.api_core"
    assert API.__qualname__ == API.__name__ == "HalvexMediatorAPI"
    assert API.__bases__ == (object,)
    assert type(API) is type
    extra = [n for n in vars(API) if n not in METHOD_NAMES]
    assert sorted(extra) == ["__dict__", "__doc__", "__module__", "__weakref__"]
    assert list(n for n in vars(API) if n in METHOD_NAMES) == METHOD_NAMES


@pytest.mark.parametrize("name, params, returns, defaults", METHODS, ids=METHOD_NAMES)
def test_method_metadata(name, params, returns, defaults):
    method = vars(API)[name]
    assert method.__name__ == name
    assert method.__qualname__ == f"HalvexMediatorAPI.{name}"
    assert method.__module__ == "norvo_halvex.mediator.api_core"
    assert list(method.__annotations__.items()) == [*params, ("return", returns)]
    assert method.__defaults__ == defaults
    if name == "_safe_read_element":
        assert method.__doc__ == "Safely read an element, returning None if it fails."
    else:
        assert method.__doc__ is None

    sig = inspect.signature(getattr(API, name))
    assert list(sig.parameters) == ["self", *(p for p, _ in params)]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert [p.annotation for p in list(sig.parameters.values())[1:]] == [a for _, a in params]
    shown_defaults = tuple(p.default for p in sig.parameters.values() if p.default is not inspect.Parameter.empty)
    assert shown_defaults == (defaults or ())
    assert sig.return_annotation == returns


def test_signature_text_of_the_download():
    assert str(inspect.signature(API.three_phase_intervals)) == (
        "(self, serial: 'str', day: 'datetime.datetime | None', start_time: 'datetime.datetime | None', "
        "end_time: 'datetime.datetime | None', csv: 'str | None' = None, include_statuses: 'bool' = False)"
        " -> 'ThreePhaseIntervals'"
    )


def test_binding(client):
    assert API.read is vars(API)["read"]  # through the class: the method object itself
    bound = client.read
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is client and bound.__func__ is API.read
    assert str(inspect.signature(bound)) == "(serial: 'str') -> 'Tuple[Dict[str, float], Dict[str, float] | None] | Dict[str, float | None]'"
    assert client.read == client.read
    # A method stored on an instance, or replaced by a subclass, is what the other methods call.
    assert API.__init__.__get__(None, API) is API.__init__


def test_instances_have_a_dict_and_the_class_is_subclassable(core):
    class Sub(API):
        extra = 1

    c = Sub("host:1")
    c.anything = 5
    assert c.anything == 5 and isinstance(c.__dict__, dict)
    assert Sub.read is API.read
