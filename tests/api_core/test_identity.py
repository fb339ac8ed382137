"""serial_read, hardware (and its per-serial cache), firmware_version, three_phase_hardware_configuration."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

MeterType = QuarnMessage.ThreePhaseMeterType
HW = ("read_element", ObjectIdEnum.hardware_version)
CONFIG = ("read_element", ObjectIdEnum.three_phase_hardware_configuration)


def config_rec(meter_type):
    rec = QuarnMessage.ThreePhaseHardwareConfigurationRec()
    rec.meter_type = meter_type
    return rec


def object_ids(core):
    return [args[1] for _, args in core.transport.calls]


# ---- serial_read -------------------------------------------------------------------------------


def test_serial_read_strips_and_logs_both_serials(core, client):
    core.transport.replies[("read_element", ObjectIdEnum.serial)] = SimpleNamespace(serial=" \tHX9 \n")
    assert client.serial_read("HX1") == "HX9"
    assert core.transport.calls == [("read_element", ("HX1", ObjectIdEnum.serial))]
    assert core.entries == [("info", "received serial", (("serial", "HX9"), ("request_serial", "HX1")))]


def test_serial_read_rejects_non_text_before_logging(core, client):
    core.transport.replies[("read_element", ObjectIdEnum.serial)] = SimpleNamespace(serial=b" HX9 ")
    with pytest.raises(TypeError, match=r"^Expected str, got bytes$"):
        client.serial_read("HX1")
    assert core.entries == []


# ---- hardware ----------------------------------------------------------------------------------

SINGLE_PHASE = [
    ("HXS-100", "P0.se"),
    ("HXT-200\x00\x00 ", "P0.te"),  # whitespace hidden behind trailing NULs goes too
    (" HXS-110\x00\x00\x00", "P0.se1"),
    ("HX\x00T-220", "P0.te2"),  # NULs anywhere
    ("HXS-999", "SINGLE_PHASE_UNKNOWN"),
    ("hxs-100", "SINGLE_PHASE_UNKNOWN"),
    ("\x00\x00", "SINGLE_PHASE_UNKNOWN"),  # not empty: single phase, looked up as ""
    (" ", "SINGLE_PHASE_UNKNOWN"),
]


@pytest.mark.parametrize("text, expected", SINGLE_PHASE)
def test_hardware_single_phase(core, client, text, expected):
    core.transport.replies[HW] = SimpleNamespace(hardware=text)
    assert client.hardware("HX1") == expected
    assert core.transport.calls == [("read_element", ("HX1", ObjectIdEnum.hardware_version))]
    assert core.entries == [("info", "hardware", (("hardware", expected), ("serial", "HX1")))]
    assert client._hardware_cache == {"HX1": expected}


@pytest.mark.parametrize(
    "meter_type, expected",
    [(MeterType.ax_whole_current, "P1.ax"), (MeterType.cx_ct_operated, "P1.cx"),
     (MeterType.unconfigured, "THREE_PHASE_UNKNOWN"), (99, "THREE_PHASE_UNKNOWN")],
)
def test_hardware_three_phase(core, client, meter_type, expected):
    core.transport.replies[HW] = SimpleNamespace(hardware="")
    rec = config_rec(meter_type) if isinstance(meter_type, MeterType) else SimpleNamespace(meter_type=meter_type)
    core.transport.replies[CONFIG] = rec
    assert client.hardware("HX3") == expected
    assert object_ids(core) == [ObjectIdEnum.hardware_version, ObjectIdEnum.three_phase_hardware_configuration]
    assert core.entries == [
        ("info", "three phase hardware configuration", (("value", str(rec)), ("serial", "HX3"))),
        ("info", "hardware", (("hardware", expected), ("serial", "HX3"))),
    ]


def test_hardware_reads_meter_type_again_for_the_second_comparison(core, client):
    class Config:
        reads = 0

        @property
        def meter_type(self):
            Config.reads += 1
            return MeterType.unconfigured if Config.reads == 1 else MeterType.cx_ct_operated

    core.transport.replies[HW] = SimpleNamespace(hardware="")
    core.transport.replies[CONFIG] = Config()
    assert client.hardware("HX3") == "P1.cx"
    assert Config.reads == 2


def test_hardware_configuration_is_read_through_the_object(core):
    class Sub(core.module.HalvexMediatorAPI):
        def three_phase_hardware_configuration(self, serial):
            return SimpleNamespace(meter_type=MeterType.ax_whole_current)

    core.transport.replies[HW] = SimpleNamespace(hardware="")
    client = Sub("x")
    assert client.hardware("HX3") == "P1.ax"
    assert [c[1][1] for c in core.transport.calls] == [ObjectIdEnum.hardware_version]


def test_hardware_cache_per_exact_serial(core, client):
    core.transport.replies[HW] = lambda serial, _: SimpleNamespace(hardware="HXS-100" if serial == "HX1" else "HXT-200")
    assert client.hardware("HX1") == "P0.se"
    core.transport.calls.clear()
    core.entries.clear()
    assert client.hardware("HX1") == "P0.se"
    assert core.transport.calls == [] and core.entries == []
    for other in ("hx1", " HX1", "HX1 "):
        assert client.hardware(other) == "P0.te"
    assert client._hardware_cache == {"HX1": "P0.se", "hx1": "P0.te", " HX1": "P0.te", "HX1 ": "P0.te"}
    assert len(core.transport.calls) == 3


def test_two_clients_do_not_share_the_cache(core, client):
    core.transport.replies[HW] = SimpleNamespace(hardware="HXS-100")
    client.hardware("HX1")
    other = core.client("y")
    core.transport.calls.clear()
    other.hardware("HX1")
    assert len(core.transport.calls) == 1


def test_failed_classification_is_not_cached(core, client):
    core.transport.replies[HW] = core.module.HalvexEOFError("gone")
    with pytest.raises(MediatorClientException):
        client.hardware("HX1")
    core.transport.replies[HW] = SimpleNamespace(hardware="")
    core.transport.replies[CONFIG] = core.module.HalvexConnectionFailure("down")
    with pytest.raises(MediatorClientException):
        client.hardware("HX1")
    assert core.entries == [] and client._hardware_cache == {}
    core.transport.replies[HW] = SimpleNamespace(hardware="HXS-100")
    assert client.hardware("HX1") == "P0.se"


def test_nothing_cached_when_logging_fails(core, client):
    class Boom(Exception):
        pass

    def info(message, **fields):
        raise Boom

    core.transport.replies[HW] = SimpleNamespace(hardware="HXS-100")
    client.log = SimpleNamespace(info=info)
    with pytest.raises(Boom):
        client.hardware("HX1")
    assert client._hardware_cache == {}


@pytest.mark.parametrize(
    "registry, expected",
    [({"HXS-100": ""}, ""), ({"HXS-100": "CUSTOM"}, "CUSTOM"), ({}, "SINGLE_PHASE_UNKNOWN"),
     ({"HXS-100": None}, "SINGLE_PHASE_UNKNOWN")],
)
def test_hardware_takes_the_registry_result(core, client, registry, expected):
    core.set("single_phase_hardware_str_to_registry_str", registry)
    core.transport.replies[HW] = SimpleNamespace(hardware="HXS-100\x00")
    assert client.hardware("HX1") == expected


@pytest.mark.parametrize(
    "hardware, registry, message",
    [("HXS-100", {"HXS-100": 7}, "Expected str, got int"),
     ("HXS-100", {"HXS-100": b"P0"}, "Expected str, got bytes")],
)
def test_hardware_type_errors(core, client, hardware, registry, message):
    core.set("single_phase_hardware_str_to_registry_str", registry)
    core.transport.replies[HW] = SimpleNamespace(hardware=hardware)
    with pytest.raises(TypeError, match=f"^{message}$"):
        client.hardware("HX1")
    assert core.entries == [] and client._hardware_cache == {}


def test_cleaned_text_must_be_text(core, client):
    class Odd:
        def replace(self, old, new):
            assert (old, new) == ("\x00", "")
            return self

        def strip(self):
            return 5

    core.transport.replies[HW] = SimpleNamespace(hardware=Odd())
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        client.hardware("HX1")


def test_cached_value_of_wrong_type(core, client):
    client._hardware_cache["HX1"] = 3.5
    with pytest.raises(TypeError, match="^Expected str, got float$"):
        client.hardware("HX1")
    assert core.transport.calls == []


def test_hardware_missing_field(core, client):
    core.transport.replies[HW] = SimpleNamespace()
    with pytest.raises(AttributeError):
        client.hardware("HX1")
    assert core.entries == []


# ---- firmware_version --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "version_bytes, expected",
    [(b"0412", "4.12"), (b"AB12", "AB12"), (bytearray(b"0507"), "5.07"), ([48, 49, 48, 50], "1.02"),
     (b"\x01\xab\x02", "01ab02"), (b"01234", "3031323334"), (b"", ""), (b"\x00\x00\x00\x00\x00", "0000000000")],
)
def test_firmware_version(core, client, version_bytes, expected):
    core.transport.replies[("read_element", ObjectIdEnum.firmware_version)] = SimpleNamespace(version_bytes=version_bytes)
    assert client.firmware_version("HX1") == expected
    assert object_ids(core) == [ObjectIdEnum.firmware_version]
    assert core.entries == [("info", "firmware version", (("firmware_version", expected), ("serial", "HX1")))]


def test_firmware_four_bytes_not_ascii(core, client):
    core.transport.replies[("read_element", ObjectIdEnum.firmware_version)] = SimpleNamespace(version_bytes=b"0\x8012")
    with pytest.raises(UnicodeDecodeError):
        client.firmware_version("HX1")
    assert core.entries == []


def test_firmware_formatter_result_is_logged_raw_and_returned_as_text(core, client):
    seen = []
    core.set("quarn_format_firmware_version", lambda text: seen.append(text) or 412)
    core.transport.replies[("read_element", ObjectIdEnum.firmware_version)] = SimpleNamespace(version_bytes=b"0412")
    result = client.firmware_version("HX1")
    assert result == "412" and type(result) is str
    assert seen == ["0412"]
    assert core.entries[-1].fields == (("firmware_version", 412), ("serial", "HX1"))


def test_firmware_version_bytes_of_wrong_kind(core, client):
    core.transport.replies[("read_element", ObjectIdEnum.firmware_version)] = SimpleNamespace(version_bytes=None)
    with pytest.raises(TypeError):
        client.firmware_version("HX1")
    assert core.entries == []


# ---- three_phase_hardware_configuration --------------------------------------------------------


def test_configuration_is_returned_whole(core, client):
    rec = config_rec(MeterType.cx_ct_operated)
    core.transport.replies[CONFIG] = rec
    assert client.three_phase_hardware_configuration("HX3") is rec
    assert object_ids(core) == [ObjectIdEnum.three_phase_hardware_configuration]
    assert core.entries == [("info", "three phase hardware configuration",
                             (("value", "ThreePhaseHardwareConfigurationRec(meter_type=ThreePhaseMeterType.cx_ct_operated)"),
                              ("serial", "HX3")))]


def test_configuration_failure_logs_nothing(core, client):
    core.transport.replies[CONFIG] = core.module.HalvexConnectionFailure("down")
    with pytest.raises(MediatorClientException) as info:
        client.three_phase_hardware_configuration("HX3")
    assert info.value.args == ("HALVEX_CONNECTION_FAILURE", "down")
    assert core.entries == []
