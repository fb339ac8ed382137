"""The committed type stub is what tools/gen_pyi.py makes from the built module."""

from __future__ import annotations

import ast
import importlib.util
from pathlib import Path

import norvo_halvex.mediator.api_core as api_core

ROOT = Path(__file__).resolve().parents[2]


def load_generator():
    module_spec = importlib.util.spec_from_file_location("gen_pyi", ROOT / "tools" / "gen_pyi.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def test_committed_stub_is_current():
    stub = ROOT / "src/python/norvo_halvex/mediator/api_core.pyi"
    assert stub.read_text() == load_generator().render(api_core), "stale stub: run tools/gen_pyi.py"


def test_stub_declares_every_method_with_the_modules_signature():
    tree = ast.parse(load_generator().render(api_core))
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    defs = [n for n in cls.body if isinstance(n, ast.FunctionDef)]
    methods = [n for n, v in vars(api_core.HalvexMediatorAPI).items() if hasattr(v, "__annotations__")]
    assert [d.name for d in defs] == methods and len(methods) == 39
    for d in defs:
        annotations = getattr(api_core.HalvexMediatorAPI, d.name).__annotations__
        shown = {a.arg: ast.unparse(a.annotation) for a in d.args.args if a.annotation is not None}
        shown["return"] = ast.unparse(d.returns)
        # the stub's annotations parse back to the module's annotation texts
        assert shown == {k: ast.unparse(ast.parse(v, mode="eval").body) for k, v in annotations.items()}
