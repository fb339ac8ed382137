"""csq, instantaneous_voltage and the three active power readings."""

from __future__ import annotations

import decimal
import fractions
from types import SimpleNamespace

import pytest

from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

POWER = {
    "instantaneous_active_power": (ObjectIdEnum.instantaneous_active_power, "received instantaneous active power"),
    "instantaneous_active_power_element_a": (ObjectIdEnum.element_a_instantaneous_active_power_import,
                                             "received instantaneous active power (element a)"),
    "instantaneous_active_power_element_b": (ObjectIdEnum.element_b_instantaneous_active_power_import,
                                             "received instantaneous active power (element b)"),
}


@pytest.mark.parametrize("method", POWER)
@pytest.mark.parametrize(
    "power, expected",
    [(1500, 1.5), (0, 0.0), (1, 0.001), (4294967295, 4294967.295), (-250, -0.25), (2.5, 0.0025),
     (decimal.Decimal(1500), 1.5), (fractions.Fraction(3, 2), 0.0015)],
)
def test_power(core, client, method, power, expected):
    object_id, message = POWER[method]
    core.transport.replies[("read_element", object_id)] = SimpleNamespace(power=power)
    result = getattr(client, method)("HX1")
    assert type(result) is float and result == expected
    # only the one object: element a never reads element b and vice versa
    assert core.transport.calls == [("read_element", ("HX1", object_id))]
    [entry] = core.entries
    assert (entry.level, entry.message, [k for k, _ in entry.fields]) == ("info", message, ["power_kwh", "serial"])
    assert entry.fields[0][1] == power / 1000 and entry.fields[1] == ("serial", "HX1")


@pytest.mark.parametrize("method", POWER)
@pytest.mark.parametrize("rec, error", [(SimpleNamespace(power=None), TypeError), (SimpleNamespace(power="15"), TypeError),
                                        (SimpleNamespace(watts=5), AttributeError)])
def test_power_failures_before_the_log_line(core, client, method, rec, error):
    core.transport.replies["read_element"] = rec
    with pytest.raises(error):
        getattr(client, method)("HX1")
    assert core.entries == []


@pytest.mark.parametrize("voltage, expected", [(230, 230.0), (229.75, 229.75), ("231.5", 231.5), (True, 1.0)])
def test_voltage(core, client, voltage, expected):
    core.transport.replies[("read_element", ObjectIdEnum.instantaneous_voltage)] = SimpleNamespace(voltage=voltage)
    result = client.instantaneous_voltage("HX1")
    assert type(result) is float and result == expected
    assert core.transport.calls == [("read_element", ("HX1", ObjectIdEnum.instantaneous_voltage))]
    assert core.entries == [("info", "received instantaneous voltage", (("voltage", voltage), ("serial", "HX1")))]
    assert type(core.entries[0].fields[0][1]) is type(voltage)  # logged as read, before conversion


@pytest.mark.parametrize("csq, expected", [(17, 17), (0, 0), (17.9, 17), (-3.5, -3), (None, None), (True, 1)])
def test_csq(core, client, csq, expected):
    core.transport.replies[("read_element", ObjectIdEnum.csq_net_op)] = SimpleNamespace(csq=csq)
    result = client.csq("HX1")
    assert result == expected and type(result) is type(expected)
    assert core.transport.calls == [("read_element", ("HX1", ObjectIdEnum.csq_net_op))]
    assert core.entries == [("info", "received csq", (("csq", csq), ("serial", "HX1")))]


@pytest.mark.parametrize(
    "method, rec, error, message",
    [("csq", SimpleNamespace(csq="17"), TypeError, "^Expected int, got str$"),
     ("csq", SimpleNamespace(csq=[17]), TypeError, "^Expected int, got list$"),
     ("instantaneous_voltage", SimpleNamespace(voltage=None), TypeError, "float"),
     ("instantaneous_voltage", SimpleNamespace(voltage="high"), ValueError, "high")],
)
def test_conversion_fails_after_the_log_line(core, client, method, rec, error, message):
    core.transport.replies["read_element"] = rec
    with pytest.raises(error, match=message):
        getattr(client, method)("HX1")
    assert len(core.entries) == 1


@pytest.mark.parametrize("method", ["csq", "instantaneous_voltage", *POWER])
def test_transport_failure_logs_nothing(core, client, method):
    core.transport.replies["read_element"] = core.module.HalvexConnectionFailure("down")
    with pytest.raises(MediatorClientException):
        getattr(client, method)("HX1")
    assert core.entries == []


def test_value_read_again_after_logging(core, client):
    class Rec:
        reads = 0

        @property
        def csq(self):
            Rec.reads += 1
            return Rec.reads * 10

    core.transport.replies["read_element"] = Rec()
    assert client.csq("HX1") == 20
    assert core.entries[0].fields[0] == ("csq", 10)
