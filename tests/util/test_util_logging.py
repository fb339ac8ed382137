import logging

import pytest
import structlog

from norvo_halvex.util.logging import HalvexBoundLogger, get_logger, render_key_values


class Capture(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def root_level():
    root = logging.getLogger()
    saved = root.level
    yield root.setLevel
    root.setLevel(saved)


@pytest.fixture
def captured(request):
    """A fresh stdlib logger (level NOTSET, so the root level decides) with a capturing handler."""
    name = f"halvex.test.{request.node.name}"
    std = logging.getLogger(name)
    handler = Capture()
    std.addHandler(handler)
    std.propagate = False
    yield name, handler.records
    std.removeHandler(handler)


class Explodes:
    def __repr__(self):
        raise RuntimeError("repr must not be called")

    __str__ = __format__ = __repr__


@pytest.mark.parametrize(
    "root, method, emitted_level",
    [
        (logging.INFO, "debug", None),
        (logging.INFO, "info", logging.INFO),
        (logging.DEBUG, "debug", logging.DEBUG),
        (logging.WARNING, "info", None),
        (logging.WARNING, "warn", logging.WARNING),
        (logging.WARNING, "warning", logging.WARNING),
        (logging.ERROR, "warn", None),
        (logging.ERROR, "error", logging.ERROR),
        ("CRITICAL", "error", None),
    ],
)
def test_root_level_filters_entries(root_level, captured, root, method, emitted_level):
    name, records = captured
    root_level(root)
    getattr(get_logger(name, __file__), method)("an entry", serial="HX1")
    assert [r.levelno for r in records] == ([emitted_level] if emitted_level else [])


def test_disabled_entry_formats_nothing_and_runs_no_processor(root_level, captured):
    name, records = captured
    root_level(logging.INFO)
    calls = []

    def processor(logger, method_name, event_dict):
        calls.append(method_name)
        return event_dict

    log = HalvexBoundLogger(logging.getLogger(name), (processor,)).bind(bound=Explodes())
    log.debug("three phase intervals frame request [", serial=Explodes())
    assert calls == [] and records == []


def test_line_keeps_message_then_bound_then_call_fields_in_order(root_level, captured):
    name, records = captured
    root_level(logging.INFO)
    log = get_logger(name, __file__).bind(mediator_address="0.0.0.0:50051")
    log.info("hardware", hardware="P0.se", serial="HX1000001")
    (record,) = records
    assert record.getMessage() == "hardware mediator_address=0.0.0.0:50051 hardware=P0.se serial=HX1000001"
    assert list(record.event_dict.items()) == [
        ("event", "hardware"),
        ("mediator_address", "0.0.0.0:50051"),
        ("hardware", "P0.se"),
        ("serial", "HX1000001"),
    ]


@pytest.mark.parametrize(
    "value, rendered",
    [
        ("HX1", "HX1"),
        ("Zähler7", "Zähler7"),
        ("two words", "'two words'"),
        ("tab\there", "'tab\\there'"),
        ("", "''"),
        ("a=b", "'a=b'"),
        (None, "None"),
        (1.234, "1.234"),
        ({"import_active": 1.0}, "{'import_active': 1.0}"),
        (Explodes(), "<unrepresentable Explodes: RuntimeError>"),
    ],
)
def test_values_render_unambiguously(root_level, captured, value, rendered):
    name, records = captured
    root_level(logging.DEBUG)
    # The usual chain takes a short way; the same chain given as a list goes through the
    # processors' general form, and the line must be the same.
    for log in get_logger(name, __file__), HalvexBoundLogger(logging.getLogger(name), [render_key_values]):
        log.info("single phase read [(1, None)]", v=value)
    assert [r.getMessage() for r in records] == [f"single phase read [(1, None)] v={rendered}"] * 2
    assert records[0].event_dict == records[1].event_dict


def test_message_with_percent_is_not_interpolated(root_level, captured):
    name, records = captured
    root_level(logging.INFO)
    get_logger(name, __file__).info("load 100%s done", serial="x")
    assert records[0].getMessage() == "load 100%s done serial=x"


def test_bind_returns_new_logger_of_same_kind(root_level, captured):
    name, records = captured
    root_level(logging.INFO)
    base = get_logger(name, __file__)
    bound = base.bind(mediator_address=None)
    rebound = bound.bind(mediator_address="m:1", extra_field=1)
    assert type(bound) is type(base) is HalvexBoundLogger
    assert isinstance(bound, structlog.BoundLoggerBase)
    base.info("a")
    bound.info("b")
    rebound.info("c", serial="s")
    assert [r.getMessage() for r in records] == [
        "a",
        "b mediator_address=None",
        "c mediator_address=m:1 extra_field=1 serial=s",
    ]


def test_record_carries_owner_file_and_logger_name(root_level, captured):
    name, records = captured
    root_level(logging.INFO)
    get_logger(name, "/opt/halvex/api_core.so").error("Failed to read element csq. Exception: x", serial="s")
    (record,) = records
    assert (record.name, record.pathname, record.filename) == (name, "/opt/halvex/api_core.so", "api_core.so")


def test_library_configures_nothing(root_level):
    root = logging.getLogger()
    before = (
        structlog.is_configured(),
        structlog.get_config(),
        list(root.handlers),
        root.level,
    )
    name = "halvex.test.untouched"
    log = get_logger(name, __file__)
    log.bind(a=1).warning("nobody listens")
    after = (structlog.is_configured(), structlog.get_config(), list(root.handlers), root.level)
    std = logging.getLogger(name)
    assert after == before
    assert (std.handlers, std.level, std.propagate) == ([], logging.NOTSET, True)


@pytest.mark.parametrize("name, file", [(1, __file__), ("x", 3)])
def test_bad_arguments_are_type_errors(name, file):
    with pytest.raises(TypeError):
        get_logger(name, file)
