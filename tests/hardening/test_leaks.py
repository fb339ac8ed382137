"""Memory safety over every method: thousands of calls through success, transport failures,
failing handlers, interrupts, replies of the wrong shape and rejected arguments leave neither
more allocated blocks nor extra references to the objects involved.

A leak of one object (or one reference) per call grows by at least LOOPS in every measuring
window; the tolerances below are a small fraction of that and absorb the interpreter's own
one-time caches.
"""

from __future__ import annotations

import gc
import sys

import pytest

import hardening_support as hs
from hardening_support import api_core, hardening_summary  # noqa: F401 - prints the counters

WARMUP = 60
LOOPS = 800
# Per method, over LOOPS iterations of every scenario. Besides one-time caches, background
# threads left by other tests (gRPC channels) allocate now and then.
BLOCK_TOLERANCE = 200
REF_TOLERANCE = 8
WINDOWS = 4
# Under PYTHONMALLOC=malloc (the sanitizer run) the interpreter counts no blocks; the
# reference counts still apply, and AddressSanitizer watches the memory itself.
COUNTS_BLOCKS = sys.getallocatedblocks() > 0


def fresh(text: str) -> str:
    """A str object of its own (not interned), so its reference count is ours to watch."""
    return "".join([text[:1], text[1:]])


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
        return (hs.StrSub(args[0]), *args[1:]), kwargs
    return (*args, *args), {"bogus": 1}  # too many arguments / an unknown keyword


def watched_objects(client, transport, logger, args) -> dict[str, object]:
    """Objects a leaked reference would pin: the call's own and the shared ones it touches."""
    watched = {f"arg {i}": a for i, a in enumerate(args)}
    watched.update(client=client, transport=transport, logger=logger, log=client.log,
                   cache=client._hardware_cache, mediator_client_exception=hs.MediatorClientException)
    for enum_name in ("ObjectIdEnum",):
        for member in getattr(api_core, enum_name):
            watched[f"{enum_name}.{member.name}"] = member
    for cls in (api_core.QuarnData.RecordFormat, api_core.QuarnMessage.BacklightSettingType,
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


def refcounts(watched: dict[str, object]) -> dict[str, int]:
    return {k: sys.getrefcount(v) for k, v in watched.items()}


MEDIATOR = hs.FleetMediator()


def _steps(name: str, args, kwargs) -> int:
    transport = hs.ScriptedTransport(mediator=MEDIATOR)
    hs.new_tracker()
    client = hs.client_on(transport, hs.NullLogger())
    with hs.patched(api_core, {"export_three_phase_intervals_to_csv": hs.no_export, "logger": hs.NullLogger()}):
        try:
            if name != "__init__":
                getattr(client, name)(*args, **kwargs)
        except NotImplementedError:
            pass
    return transport.n


@pytest.mark.parametrize("name", hs.METHOD_NAMES)
def test_no_leak(name):
    base_args, kwargs = hs.plausible_call(name)
    args = tuple(fresh(a) if type(a) is str else a for a in base_args)
    steps = _steps(name, args, kwargs)
    plan = scenarios(name, steps)
    logger = hs.NullLogger()
    transport = hs.ScriptedTransport(mediator=MEDIATOR)
    client = hs.client_on(transport, logger)
    client.log = logger
    bad_args, bad_kwargs = rejected_call(name, args, kwargs)
    outcomes: dict[str, set[str]] = {}

    def one_round() -> None:
        for label, script, default, variant in plan:
            hs.new_tracker()
            transport.script, transport.default, transport.n = script, default, 0
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
        hs.new_tracker()

    with hs.root_level_kept(), hs.patched(api_core, {
            "export_three_phase_intervals_to_csv": hs.no_export, "logger": logger,
            "HalvexMediatorGrpcClient": hs.transport_class(transport)}):
        for _ in range(WARMUP):
            one_round()
        watched = watched_objects(client, transport, logger, args)
        # A leak grows in every window; the interpreter's own one-time caches (first use of a
        # code path anywhere in the process) settle after the first. So the best window counts.
        windows = []
        for _ in range(WINDOWS):
            gc.collect()
            before_refs, before_blocks = refcounts(watched), sys.getallocatedblocks()
            for _ in range(LOOPS):
                one_round()
            gc.collect()
            after_blocks, after_refs = sys.getallocatedblocks(), refcounts(watched)
            moved = {k: after_refs[k] - before_refs[k] for k in watched
                     if abs(after_refs[k] - before_refs[k]) > REF_TOLERANCE}
            windows.append((after_blocks - before_blocks, moved))
            if windows[-1][0] < BLOCK_TOLERANCE and not moved:
                break

    calls = LOOPS * len(plan) * len(windows)
    hs.STATS["leak-test calls"] += calls
    growth, moved = min(windows, key=lambda w: (len(w[1]), w[0]))
    if growth >= hs.STATS["leak-test largest block growth in the best window"]:
        hs.STATS["leak-test largest block growth in the best window"] = growth
        hs.NOTES["leak-test largest block growth in"] = f"{name} ({[w[0] for w in windows]})"
    assert not moved, f"{name}: reference counts moved in every window: {windows} (outcomes {outcomes})"
    if not COUNTS_BLOCKS:
        hs.STATS["leak-test methods without block counts (allocator is not pymalloc)"] += 1
    assert growth < BLOCK_TOLERANCE, f"{name}: allocated blocks grew in every window: {windows} ({outcomes})"
    # The workload did what it says: a healthy call and a failing one both ran.
    assert outcomes["success"] <= {"returned", "NotImplementedError"}, outcomes
    assert outcomes["interrupt"] <= {"KeyboardInterrupt", "returned", "NotImplementedError"}, outcomes
