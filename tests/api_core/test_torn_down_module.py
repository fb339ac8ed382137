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

USES = ["bound('HX1')", "method(client, 'HX1')", "method(client, serial='HX1')"]


@pytest.mark.parametrize("teardown, more_uses", [("clear(api, types.ModuleType)", []),
                                                 ("clear(method, type(method))", ["method.__signature__"])],
                         ids=["module-cleared", "method-cleared"])
def test_use_after_teardown_is_a_runtime_error(teardown, more_uses):
    uses = USES + more_uses
    script = PRELUDE + teardown + "\n" + "".join(
        f"try:\n    {use}\nexcept RuntimeError as e:\n    print(e)\n" for use in uses) + "print(repr(method))\n"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    *errors, shown = done.stdout.splitlines()
    assert len(errors) == len(uses), done.stdout
    for error in errors:
        assert error.startswith("HalvexMediatorAPI.csq() cannot run: its module "
                                "norvo_halvex.mediator.api_core has been torn down"), error
    assert shown.startswith("<method HalvexMediatorAPI.csq")
