"""Names resolve as in a function of the module: the module namespace, then the builtins the
module was executed with, whoever calls. Every module object of the extension (a re-import,
importlib's module_from_spec) is a module of its own, and all of them together take one dict
watcher and one type watcher of the interpreter, given back with the last one."""

from __future__ import annotations

import builtins
import importlib.util
import json
import subprocess
import sys
import textwrap

import pytest

import norvo_halvex.mediator.api_core as api_core
from support.logs import RecordingLogger
from support.transport import FakeTransport


def fresh_module(builtins_given=None):
    """A new module object of the extension, executed with `builtins_given` as its __builtins__
    (None: as the import system executes it), its transport a fake that raises its replies."""
    found = importlib.util.find_spec(api_core.__name__)
    module = importlib.util.module_from_spec(found)
    if builtins_given is not None:
        module.__builtins__ = builtins_given
    found.loader.exec_module(module)
    transport = FakeTransport()
    module.HalvexMediatorGrpcClient = transport.make_class()
    module.logger = RecordingLogger()
    return module, transport


def only_key_error(namespace):
    return {**namespace, "Exception": KeyError}


@pytest.mark.parametrize("frame_builtins", [{}, {"Exception": KeyError, "str": bytes, "getattr": None}])
@pytest.mark.parametrize("failure", [ValueError("v"), KeyError("k")])
def test_builtins_of_the_calling_frame_do_not_count(core, client, frame_builtins, failure):
    core.transport.replies["read_element"] = failure
    scope = {"__builtins__": frame_builtins, "api": client, "out": []}
    exec("out.append(api._safe_read_element('s', 'FAIL'))", scope)
    assert scope["out"] == [None]
    assert core.entries[-1].message == f"Failed to read element FAIL. Exception: {failure}"


@pytest.mark.parametrize("given, failure, caught", [
    (None, ValueError("v"), True),
    (builtins, ValueError("v"), True),  # a module stands for its dict
    (only_key_error(vars(builtins)), ValueError("v"), False),
    (only_key_error(vars(builtins)), KeyError("k"), True),
])
def test_builtins_the_module_was_executed_with_count(given, failure, caught):
    module, transport = fresh_module(given)
    transport.replies["read_element"] = failure
    client = module.HalvexMediatorAPI("127.0.0.1:1")
    if caught:
        assert client._safe_read_element("HX1", 7) is None
    else:
        with pytest.raises(type(failure)):
            client._safe_read_element("HX1", 7)


def test_module_objects_are_independent(core, client):
    other, transport = fresh_module()
    transport.replies["read_element"] = api_core.HalvexEOFError("gone")
    core.transport.replies["read_element"] = api_core.HalvexEOFError("gone")
    other.MediatorClientException = LookupError
    with pytest.raises(LookupError):
        other.HalvexMediatorAPI("127.0.0.1:1")._read_element("HX1", 1)
    with pytest.raises(api_core.MediatorClientException):
        client._read_element("HX1", 1)


WATCHER_IDS = textwrap.dedent("""
    import ctypes, gc, importlib.util, json, sys

    api = ctypes.pythonapi
    DICT_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
    TYPE_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)
    KINDS = [(api.PyDict_AddWatcher, api.PyDict_ClearWatcher, DICT_CALLBACK(lambda *args: 0)),
             (api.PyType_AddWatcher, api.PyType_ClearWatcher, TYPE_CALLBACK(lambda *args: 0))]

    def free_ids():
        # How many watcher ids of each kind are still free, found by taking them all.
        out = []
        for add, clear, callback in KINDS:
            taken = []
            while True:
                try:
                    taken.append(add(callback))
                except RuntimeError:
                    break
            for watcher in taken:
                clear(watcher)
            out.append(len(taken))
        return out

    def module_object():
        found = importlib.util.find_spec("norvo_halvex.mediator.api_core")
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        return module

    counts = [free_ids()]
    modules = [module_object() for _ in range(12)]
    counts.append(free_ids())
    del modules[1:]
    gc.collect()
    counts.append(free_ids())
    del modules
    gc.collect()
    counts.append(free_ids())
    print(json.dumps(counts))
""")


def test_one_watcher_of_each_kind_for_all_module_objects():
    out = subprocess.run([sys.executable, "-c", WATCHER_IDS], capture_output=True, text=True, check=True).stdout
    before, twelve, one, none = json.loads(out)
    assert twelve == one == [before[0] - 1, before[1] - 1]
    assert none == before
