"""The L2/L3 end-of-stream guard with a replaced MediatorClientException: the code is read from
`code` when the exception has one, else from its first argument (constructor order: code, message)."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

L1, L2, L3 = (
    ObjectIdEnum.three_phase_instantaneous_voltage_l1,
    ObjectIdEnum.three_phase_instantaneous_voltage_l2,
    ObjectIdEnum.three_phase_instantaneous_voltage_l3,
)


class ArgsOnly(Exception):
    """Keeps (code, message) in args only: no `code` attribute."""


class CodeAttr(Exception):
    def __init__(self, code, message):
        super().__init__(message)  # args[0] is the message here; `code` must win
        self.code = code


class NoArgs(Exception):
    def __init__(self, code, message):
        super().__init__()


class NonTextCode(Exception):
    def __init__(self, code, message):
        super().__init__(7, message)


@pytest.mark.parametrize(
    "cls, raised, taken",
    [
        (ArgsOnly, HalvexEOFError("no L2"), True),
        (ArgsOnly, HalvexConnectionFailure("gone"), False),
        (CodeAttr, HalvexEOFError("no L2"), True),
        (CodeAttr, HalvexConnectionFailure("gone"), False),
        (NoArgs, HalvexEOFError("no L2"), False),
        (NonTextCode, HalvexEOFError("no L2"), False),
    ],
    ids=["args-eof", "args-connection", "code-eof", "code-connection", "no-args", "non-text-code"],
)
def test_replaced_exception_class(core, client, cls, raised, taken):
    core.set("MediatorClientException", cls)
    core.transport.replies[("read_element", L1)] = SimpleNamespace(voltage=2301)
    core.transport.replies[("read_element", L2)] = raised
    core.transport.replies[("read_element", L3)] = SimpleNamespace(voltage=2299)
    if taken:
        assert client.three_phase_instantaneous_voltage("HX3") == (230.1, None, 229.9)
        (warning,) = core.log.at("warn")
        assert warning.message.startswith("3p v2 failed - setting to None (e=")
        assert [args[1] for _, args in core.transport.calls] == [L1, L2, L3]
    else:
        with pytest.raises(cls) as info:
            client.three_phase_instantaneous_voltage("HX3")
        assert info.value.__context__ is raised
        assert core.log.at("warn") == []
        assert [args[1] for _, args in core.transport.calls] == [L1, L2]
