"""A method object that outlives its module's state (module torn down, or the method object
cleared by the collector while still reachable) raises a clear RuntimeError instead of reading
freed state. Each case runs in a child interpreter: a fault there is a failed test, not a crash
of the test session."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

PRELUDE = textwrap.dedent(
    """
    import ctypes, types
    import norvo_halvex.mediator.api_core as api

    TP_CLEAR = 51  # Py_tp_clear

    def clear(obj, kind):
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.restype = ctypes.c_void_p
        get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
        fn = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(kind, TP_CLEAR))
        assert fn(obj) == 0

    client = object.__new__(api.HalvexMediatorAPI)  # no __init__: the state check comes first
    method = api.HalvexMediatorAPI.__dict__["csq"]
    bound = client.csq
    """
)

CASES = {
    "module-cleared": "clear(api, types.ModuleType)",
    "method-cleared": "clear(method, type(method))",
}



@pytest.mark.parametrize("how", sorted(CASES))
@pytest.mark.parametrize("call", ["bound('HX1')", "method(client, 'HX1')", "method(client, serial='HX1')"])
def test_call_after_teardown_is_a_runtime_error(how, call):
    script = PRELUDE + textwrap.dedent(
        f"""
        {CASES[how]}
        try:
            {call}
        except RuntimeError as e:
            print("RuntimeError:", e)
        print(repr(method).startswith("<method HalvexMediatorAPI.csq"))
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    first, second = done.stdout.splitlines()
    assert first.startswith("RuntimeError: HalvexMediatorAPI.csq() cannot run: its module "
                            "norvo_halvex.mediator.api_core has been torn down")
    assert second == "True"


def test_signature_of_a_cleared_method_is_a_runtime_error():
    script = PRELUDE + textwrap.dedent(
        """
        clear(method, type(method))
        try:
            method.__signature__
        except RuntimeError as e:
            print("RuntimeError:", e)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("RuntimeError: HalvexMediatorAPI.csq() cannot run")
