"""The leak checker: a workload run many times must leave the reference counts of the objects it
touches, and the number of allocated memory blocks, where they were."""

from __future__ import annotations

import dataclasses
import gc
import sys
from collections.abc import Mapping
from typing import Any, Callable

# Under PYTHONMALLOC=malloc (the sanitizer run) the interpreter counts no blocks; the reference
# counts still apply, and AddressSanitizer watches the memory itself.
COUNTS_BLOCKS = sys.getallocatedblocks() > 0


def fresh(text: str) -> str:
    """A str object of its own (not interned), so its reference count is ours to watch."""
    return "".join([text[:1], text[1:]])


@dataclasses.dataclass
class Window:
    blocks: int  # allocated blocks gained over the window
    moved: dict[str, int]  # watched objects whose reference count moved by more than the tolerance


def assert_no_leaks(work: Callable[[], Any], watched: Mapping[str, object] | tuple, *, runs: int,
                    warm_runs: int = 0, windows: int = 1, ref_tolerance: int = 0, block_tolerance: int = 200,
                    describe: Callable[[], str] | None = None) -> list[Window]:
    """Runs `work` `warm_runs` times (to fill caches), then windows of `runs` calls until one
    leaves every watched reference count within `ref_tolerance` and gains fewer than
    `block_tolerance` blocks; fails when none of `windows` does. Returns the windows measured.

    A leak of one object (or one reference) per call grows in every window; the interpreter's
    own one-time caches settle after the first, which is what more than one window allows for.
    """
    named = dict(watched) if isinstance(watched, Mapping) else {f"watched[{i}]": w for i, w in enumerate(watched)}
    for _ in range(warm_runs):
        work()
    measured: list[Window] = []
    for _ in range(windows):
        gc.collect()
        refs = {k: sys.getrefcount(v) for k, v in named.items()}
        blocks = sys.getallocatedblocks()
        for _ in range(runs):
            work()
        gc.collect()
        grown = sys.getallocatedblocks() - blocks
        moved = {k: sys.getrefcount(v) - refs[k] for k, v in named.items()}
        measured.append(Window(grown, {k: d for k, d in moved.items() if abs(d) > ref_tolerance}))
        if grown < block_tolerance and not measured[-1].moved:
            return measured
    what = describe() + ": " if describe else ""
    best = min(measured, key=lambda w: (len(w.moved), w.blocks))
    assert not best.moved, f"{what}reference counts moved in every window: {measured}"
    assert best.blocks < block_tolerance, f"{what}allocated blocks grew in every window: {measured}"
    return measured
