"""Memory safety over every method: thousands of calls through success, transport failures,
failing handlers, interrupts, replies of the wrong shape and rejected arguments leave neither
more allocated blocks nor extra references to the objects involved.

A leak of one object (or one reference) per call grows by at least LOOPS in every measuring
window; the tolerances below are a small fraction of that and absorb the interpreter's own
one-time caches.
"""

from __future__ import annotations

import gc
import importlib.util
import weakref

import pytest

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException

from support import hardening as hs
from support.core import client_on
from support.hostile import StrSub, TouchyStr, new_tracker
from support.leaks import COUNTS_BLOCKS, assert_no_leaks, fresh
from support.logs import NullLogger

WARMUP = 60
LOOPS = 800
# Per method, over LOOPS iterations of every scenario. Besides one-time caches, background
# threads left by other tests (gRPC channels) allocate now and then.
BLOCK_TOLERANCE = 200
REF_TOLERANCE = 8
WINDOWS = 4


def scenarios(name: str, steps: int) -> list[tuple[str, list, tuple, str]]:
    """(label, transport script, default answer, argument variant) for one method."""
    out = [
        ("success", [], ("real",), "plausible"),
        ("connection failure", [], ("raise", "connection"), "plausible"),
        ("end of stream", [], ("raise", "eof"), "plausible"),
        ("grpc error", [], ("raise", "rpc"), "plausible"),
        ("grpc error without details", [], ("raise", "rpc_details_none"), "plausible"),
        ("failing handler", [], ("raise", "connection_no_message"), "plausible"),
        ("other exception", [], ("raise", "value"), "plausible"),
        ("interrupt", [], ("raise", "keyboard"), "plausible"),
        ("reply of the wrong shape", [], ("value", ("lit", b"\xde\xad")), "plausible"),
        ("record without fields", [], ("value", ("ns", ())), "plausible"),
        ("argument rejected", [], ("real",), "rejected"),
    ]
    if steps > 1:
        out.append(("failure after the first step", [("real",)] * (steps - 1), ("raise", "rpc"), "plausible"))
    return out


def rejected_call(name: str, args: tuple, kwargs: dict) -> tuple[tuple, dict]:
    params = hs.BY_NAME[name][1]
    if params and params[0].name == "serial":
        return (StrSub(args[0]), *args[1:]), kwargs
    return (*args, *args), {"bogus": 1}  # too many arguments / an unknown keyword


def watched_objects(client, transport, logger, args) -> dict[str, object]:
    """Objects a leaked reference would pin: the call's own and the shared ones it touches."""
    watched = {f"arg {i}": a for i, a in enumerate(args)}
    watched.update(client=client, transport=transport, logger=logger, log=client.log,
                   cache=client._hardware_cache, mediator_client_exception=MediatorClientException)
    for cls in (api_core.ObjectIdEnum, api_core.QuarnData.RecordFormat, api_core.QuarnMessage.BacklightSettingType,
                api_core.QuarnMessage.LoadSwitchSettingType, api_core.QuarnMessage.ThreePhaseMeterType,
                api_core.QuarnProfileThreePhaseIntervalsRequest.ProfileNumber):
        for member in cls:
            watched[f"{cls.__qualname__}.{member.name}"] = member
    for global_name in ("QuarnData", "KaitaiStream", "BytesIO", "QuarnEventLogResponse", "QuarnEventLogRequest",
                        "QuarnProfileLogRequest", "QuarnProfileThreePhaseIntervalsRequest",
                        "QuarnProfileThreePhaseIntervalsResponseFrame", "QuarnProfileThreePhaseIntervalsResponseBlock",
                        "is_three_phase", "is_twin_element", "single_phase_hardware_str_to_registry_str",
                        "quarn_datetime_to_epoch_seconds", "quarn_format_firmware_version",
                        "quarn_obis_triplet_to_decimal", "valid_event_log_idx", "blocks_to_intervals_rec",
                        "HalvexConnectionFailure", "HalvexEOFError", "grpc", "datetime", "ZoneInfo"):
        watched[global_name] = api_core.__dict__[global_name]
    return watched


MEDIATOR = hs.FleetMediator()


@pytest.mark.parametrize("name", hs.METHOD_NAMES)
def test_no_leak(name):
    base_args, kwargs = hs.plausible_call(name)
    args = tuple(fresh(a) if type(a) is str else a for a in base_args)
    steps = len(hs.dry_run(name, MEDIATOR))
    # the answers made once, so that the rounds allocate nothing of their own
    plan = [(label, [hs.answer(r) for r in script], hs.answer(default), variant)
            for label, script, default, variant in scenarios(name, steps)]
    logger = NullLogger()
    transport = hs.scripted(mediator=MEDIATOR)
    client = client_on(transport, logger)
    client.log = logger
    bad_args, bad_kwargs = rejected_call(name, args, kwargs)
    outcomes: dict[str, set[str]] = {}

    def one_round() -> None:
        for label, script, default, variant in plan:
            new_tracker()
            transport.reset(script, default)
            call_args, call_kwargs = (args, kwargs) if variant == "plausible" else (bad_args, bad_kwargs)
            try:
                if name == "__init__":
                    client.__init__(*call_args, **call_kwargs)
                    client.log = logger
                else:
                    getattr(client, name)(*call_args, **call_kwargs)
                outcome = "returned"
            except BaseException as e:  # noqa: BLE001 - every ending is part of the workload
                outcome = type(e).__name__
                del e
            outcomes.setdefault(label, set()).add(outcome)
        new_tracker()

    with hs.plausible_world(transport, logger):
        for _ in range(WARMUP):
            one_round()
        windows = assert_no_leaks(
            one_round, watched_objects(client, transport, logger, args), runs=LOOPS, windows=WINDOWS,
            ref_tolerance=REF_TOLERANCE, block_tolerance=BLOCK_TOLERANCE,
            describe=lambda: f"{name} (outcomes {outcomes})")

    hs.STATS["leak-test calls"] += LOOPS * len(plan) * len(windows)
    growth = windows[-1].blocks
    if growth >= hs.STATS["leak-test largest block growth in the best window"]:
        hs.STATS["leak-test largest block growth in the best window"] = growth
        hs.NOTES["leak-test largest block growth in"] = f"{name} ({[w.blocks for w in windows]})"
    if not COUNTS_BLOCKS:
        hs.STATS["leak-test methods without block counts (allocator is not pymalloc)"] += 1
    # The workload did what it says: a healthy call ran, and an interrupt on the transport came out
    # (unless the method made no transport call, as a cached hardware lookup does not).
    assert outcomes["success"] == {"returned"}, outcomes
    assert outcomes["interrupt"] <= {"KeyboardInterrupt", "returned"}, outcomes


def test_repeated_core_calls_do_not_leak(core, client):
    """The transport primitives, scaling and refused arguments, on the core's fake transport."""
    serial = fresh("HX1000")
    message = bytes(range(5))
    rec = type("Rec", (), {"value": 123456})()
    core.transport.replies["send_message"] = b"\x01\x02"

    def down(serial, object_id):  # a new exception each time: a re-raised one keeps growing its traceback
        raise HalvexConnectionFailure("down")

    def work():
        core.transport.replies["read_element"] = down
        client._safe_read_element(serial, 7)
        try:
            client._read_element(serial, 7)
        except Exception:
            pass
        core.transport.replies["read_element"] = rec
        client._read_element(serial, 7)
        client._write_element(serial, 7, message)
        client._send_message(serial, message)
        client._scale_value(rec, "P1.cx")
        client._scale_value(None, serial)
        for bad in ((1,), (serial, "x"), ()):
            try:
                client._send_message(*bad)
            except TypeError:
                pass
        try:
            client.event_log(TouchyStr("x"), 2.5)
        except TypeError:
            pass
        core.transport.calls.clear()
        core.log.entries.clear()

    assert_no_leaks(work, (serial, message, rec, down), warm_runs=200, runs=3000)


def test_method_objects_are_collected_with_their_module():
    module_spec = importlib.util.find_spec("norvo_halvex.mediator.api_core")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    probe = weakref.ref(module.HalvexMediatorAPI)
    del module
    gc.collect()
    assert probe() is None
