"""Setting reads and writes: daylight-saving correction, backlight, load switch."""

from __future__ import annotations

import enum
from types import SimpleNamespace

import pytest

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

DST = ObjectIdEnum.daylight_savings_correction_flag


class Boom(Exception):
    pass


class NoTruth:
    def __bool__(self):
        raise Boom("no truth")


@pytest.mark.parametrize("flag, expected", [(1, True), (1.0, True), (True, True), (0, False), (2, False), (255, False)])
def test_daylight_flag_read(core, client, flag, expected):
    core.transport.replies[("read_element", DST)] = SimpleNamespace(enabled_flag=flag)
    assert client.daylight_savings_correction_enabled("HX1") is expected
    assert core.transport.calls == [("read_element", ("HX1", DST))]
    assert core.entries == [
        ("info", "received daylight savings correction flag", (("daylight_savings_correction_flag", expected), ("serial", "HX1")))
    ]


@pytest.mark.parametrize("enabled, payload", [(True, b"\x01"), (False, b"\x00"), (5, b"\x01"), ("", b"\x00"), (None, b"\x00")])
def test_daylight_flag_write(core, client, enabled, payload):
    assert client.daylight_savings_correction_enabled_write("HX1", enabled) is None
    assert core.transport.calls == [("write_element", ("HX1", DST, payload))]
    assert core.entries == []


def test_daylight_flag_write_without_truth_sends_nothing(core, client):
    with pytest.raises(Boom):
        client.daylight_savings_correction_enabled_write("HX1", NoTruth())
    assert core.transport.calls == []


ENUM_SETTINGS = [
    ("backlight", ObjectIdEnum.backlight, "received backlight setting", "backlight_setting", QuarnMessage.BacklightSettingType),
    ("load_switch", ObjectIdEnum.load_switch, "received load switch setting", "load_switch_setting", QuarnMessage.LoadSwitchSettingType),
]
ENUMS = pytest.mark.parametrize("method, object_id, message, field, kind", ENUM_SETTINGS, ids=[s[0] for s in ENUM_SETTINGS])


@ENUMS
def test_enum_setting_read_returns_the_record_object(core, client, method, object_id, message, field, kind):
    setting = kind(2)
    core.transport.replies[("read_element", object_id)] = SimpleNamespace(setting=setting)
    assert getattr(client, method)("HX1") is setting
    assert core.transport.calls == [("read_element", ("HX1", object_id))]
    [entry] = core.entries
    assert entry == ("info", message, ((field, setting), ("serial", "HX1")))
    assert entry.fields[0][1] is setting


@ENUMS
@pytest.mark.parametrize("member", [0, 1, 2])
def test_enum_setting_write(core, client, method, object_id, message, field, kind, member):
    assert getattr(client, method + "_write")("HX1", kind(member)) is None
    assert core.transport.calls == [("write_element", ("HX1", object_id, bytes([member])))]
    assert core.entries == []


class Fake3(enum.IntEnum):
    three = 3


@ENUMS
@pytest.mark.parametrize(
    "setting, payload",
    [(Fake3.three, b"\x03"), (SimpleNamespace(value=255), b"\xff"), (SimpleNamespace(value=True), b"\x01")],
    ids=["intenum", "max", "bool"],
)
def test_enum_setting_write_takes_any_value_holder(core, client, method, object_id, message, field, kind, setting, payload):
    getattr(client, method + "_write")("HX1", setting)
    assert core.transport.calls == [("write_element", ("HX1", object_id, payload))]


@ENUMS
@pytest.mark.parametrize(
    "setting, error, text",
    [
        (object(), AttributeError, "value"),
        (SimpleNamespace(value="3"), TypeError, "'str' object cannot be interpreted as an integer"),
        (SimpleNamespace(value=3.0), TypeError, "'float' object cannot be interpreted as an integer"),
        (SimpleNamespace(value=256), ValueError, r"range\(0, 256\)"),
        (SimpleNamespace(value=-1), ValueError, r"range\(0, 256\)"),
        (SimpleNamespace(value=1 << 80), ValueError, r"range\(0, 256\)"),
    ],
    ids=["no-value", "str", "float", "256", "negative", "huge"],
)
def test_enum_setting_write_refuses_bad_values_before_sending(core, client, method, object_id, message, field, kind, setting, error, text):
    with pytest.raises(error, match=text):
        getattr(client, method + "_write")("HX1", setting)
    assert core.transport.calls == []


@pytest.mark.parametrize("method", ["daylight_savings_correction_enabled", "backlight", "load_switch"])
def test_read_failures_pass_unchanged_and_log_nothing(core, client, method):
    core.transport.replies["read_element"] = HalvexConnectionFailure("down")
    with pytest.raises(MediatorClientException) as info:
        getattr(client, method)("HX1")
    assert info.value.args == ("HALVEX_CONNECTION_FAILURE", "down")
    core.transport.replies["read_element"] = SimpleNamespace()  # record without the field
    with pytest.raises(AttributeError):
        getattr(client, method)("HX1")
    assert core.entries == []


@pytest.mark.parametrize(
    "method, arg",
    [("daylight_savings_correction_enabled_write", True), ("backlight_write", Fake3.three), ("load_switch_write", Fake3.three)],
)
def test_write_failures_pass_unchanged(core, client, method, arg):
    core.transport.replies["write_element"] = HalvexConnectionFailure("down")
    with pytest.raises(MediatorClientException):
        getattr(client, method)("HX1", arg)
    assert core.entries == []


def test_reads_and_writes_go_through_the_object(core, client):
    seen = []

    class Sub(core.module.HalvexMediatorAPI):
        def _read_element(self, serial, object_id):
            seen.append(("read", serial, object_id))
            return SimpleNamespace(setting="S", enabled_flag=1)

        def _write_element(self, serial, object_id, payload):
            seen.append(("write", serial, object_id, payload))

    sub = Sub("a")
    assert sub.backlight("X") == "S" and sub.daylight_savings_correction_enabled("X") is True
    sub.load_switch_write("X", Fake3.three)
    assert seen == [("read", "X", ObjectIdEnum.backlight), ("read", "X", DST), ("write", "X", ObjectIdEnum.load_switch, b"\x03")]
    assert core.transport.calls == []
