#!/usr/bin/env python3
"""Writes src/python/norvo_halvex/mediator/api_core.pyi from the built extension module.

Signatures, annotation texts and defaults come from the module itself (its one method table),
so the stub cannot drift from the code; tests/api_core/test_stub.py checks the committed file.

    PYTHONPATH=src/python .venv/bin/python tools/gen_pyi.py          # rewrite the stub
    PYTHONPATH=src/python .venv/bin/python tools/gen_pyi.py --check  # exit 1 if it is stale
"""

from __future__ import annotations

import argparse
import importlib
import inspect
import re
import sys
from pathlib import Path

STUB = Path(__file__).resolve().parents[1] / "src/python/norvo_halvex/mediator/api_core.pyi"

# Where the names used in annotation texts come from (the module's own import table).
SOURCES = {
    "datetime": None,
    "Any": "typing",
    "Dict": "typing",
    "Tuple": "typing",
    "QuarnData": "quarn_frame_protocol.quarn_data",
    "QuarnEventLogResponse": "quarn_frame_protocol.quarn_event_log_response",
    "QuarnMessage": "quarn_frame_protocol.quarn_message",
    "ObjectIdEnum": "quarn_frame_protocol.quarn_object_id_enum",
    "QuarnProfileLog1Response": "quarn_frame_protocol.quarn_profile_log_1_response",
    "QuarnProfileLog2Response": "quarn_frame_protocol.quarn_profile_log_2_response",
    "QuarnProfileThreePhaseIntervalsResponseBlock":
        "quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block",
    "QuarnProfileThreePhaseIntervalsRequest": "quarn_frame_protocol.generated.quarn_profile_three_phase_intervals_request",
    "ThreePhaseIntervals": "norvo_halvex.dto.three_phase_intervals",
    "HalvexMediatorGrpcClient": "norvo_halvex.mediator.grpc.client",
}

# What a reader of the signature alone would not guess.
NOTES = {
    "__init__": """Create a client for the mediator at `mediator_address` (None: the transport's default).

Constructs the transport client, then sets the level of the process's ROOT logger to
`logging_level` (process-wide: the most recently constructed client wins), binds the module
logger with `mediator_address` as `log`, and starts an empty hardware cache.""",
    "hardware": "Classify the meter; the answer is cached per serial for the life of the client.",
    "three_phase_read": "`hardware` is required; pass None (or \"\") to have it looked up with `hardware()`.",
    "three_phase_instantaneous_voltage": """Voltages of L1, L2 and L3 in volts (the stored tenths divided by 10.0).

L1 must be readable. An end of stream on the L2 or L3 read costs only that phase: it is logged
as a warning and the phase is None. An end of stream is a `HalvexEOFError` (from a replaced
`_read_element`) or a `MediatorClientException` whose `code` is "HALVEX_EOF_ERROR" (the form in
which `_read_element` reports it). Every other failure fails the call.""",
    "three_phase_intervals": """Download interval data for one UTC day (`day`) or a window of at most 24 hours.

Always writes CSV: to the file `csv`, or to standard output when `csv` is None or empty.
`include_statuses` is reduced to its truth value before `serial` is checked.""",
    "profile_log_2": "`is_twin_element` is reduced to its truth value before `serial` is checked.",
    "event_log": "`log_idx` is converted with int() (True -> 1, 2.9 -> 2) before `serial` is checked.",
    "_read_element": """Read one meter object; returns the transport's decoded record unchanged.

Transport failures become MediatorClientException(code, message) with code
"HALVEX_CONNECTION_FAILURE", "HALVEX_EOF_ERROR" or the gRPC status name; the original
exception is its __context__. Other exceptions pass through unchanged.""",
    "_write_element": "Write raw bytes to one meter object; failures are mapped as in `_read_element`.",
    "_send_message": """Send an encoded data record and return the raw reply (bytes or None).

Only gRPC errors become MediatorClientException; HalvexConnectionFailure and HalvexEOFError pass
through unchanged. A reply of another type raises TypeError.""",
    "_safe_read_element": """Safely read an element, returning None if it fails.

Calls `self._read_element`; an `Exception` is logged at error level through the module logger
(not `self.log`) and turned into None, so a failed read looks like a read that returned None.""",
    "_scale_value": "Divide `rec.value` by 10000 when `hardware` is exactly \"P1.cx\", else by 1000.",
}

CLASS_NOTE = """

    Arguments annotated `str`, `str | None` or `bytes` must be exactly those built-in types
    (subclasses are rejected with TypeError); all checks run before anything is sent or logged.
    Module-level names (the transport class, `logger`, ...) are looked up at each call."""


def render(module) -> str:
    cls = module.HalvexMediatorAPI
    methods = [(n, v) for n, v in vars(cls).items() if callable(v) and hasattr(v, "__annotations__")]
    texts = [t for _, m in methods for t in m.__annotations__.values()] + ["Any", "HalvexMediatorGrpcClient"]
    heads = {w for t in texts for w in re.findall(r"(?<![.\w])[A-Za-z_]\w*", t)}  # X of X.Y
    used = sorted(heads & SOURCES.keys())
    unknown = heads - SOURCES.keys() - {"None", "str", "int", "float", "bool", "bytes", "tuple", "dict"}
    if unknown:
        raise SystemExit(f"gen_pyi: no import source for {sorted(unknown)}; add them to SOURCES")

    out = [f'"""{module.__doc__}"""', "", "# Generated by tools/gen_pyi.py from the built module; do not edit.", ""]
    plain = [n for n in used if SOURCES[n] is None]
    out += [f"import {n}" for n in plain]
    by_module: dict[str, list[str]] = {}
    for n in used:
        if SOURCES[n]:
            by_module.setdefault(SOURCES[n], []).append(n)
    out += [f"from {m} import {', '.join(ns)}" for m, ns in sorted(by_module.items())]
    out += ["", "logger: Any", "", "", "class HalvexMediatorAPI:"]
    out += [f'    """{cls.__doc__.rstrip()}{CLASS_NOTE}\n    """', ""]
    out += ["    grpc_client: HalvexMediatorGrpcClient", "    log: Any", "    _hardware_cache: Dict[str, str]", ""]
    for name, method in methods:
        sig = inspect.signature(method)
        params = []
        for p in sig.parameters.values():
            text = p.name if p.annotation is inspect.Parameter.empty else f"{p.name}: {p.annotation}"
            if p.default is not inspect.Parameter.empty:
                text += f" = {p.default!r}"
            params.append(text)
        head = f"    def {name}({', '.join(params)}) -> {sig.return_annotation}:"
        note = NOTES.get(name)
        if note:
            body = note.replace("\n", "\n        ")
            body = "\n".join(line.rstrip() for line in body.split("\n"))
            closing = "\n        " if "\n" in note else ""
            out += [head, f'        """{body}{closing}"""', "        ..."]
        else:
            out.append(f"{head} ...")
    return "\n".join(out) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="exit 1 if the committed stub is stale")
    args = parser.parse_args()
    text = render(importlib.import_module("norvo_halvex.mediator.api_core"))
    if args.check:
        if STUB.read_text() != text:
            print(f"{STUB} is stale: run tools/gen_pyi.py", file=sys.stderr)
            return 1
        return 0
    STUB.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
