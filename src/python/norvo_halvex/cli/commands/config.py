"""``halvex config show``: the settings a run would use, and where each comes from."""

from __future__ import annotations

from norvo_halvex.cli import render
from norvo_halvex.cli.command import Commands, arg
from norvo_halvex.cli.config import SETTINGS
from norvo_halvex.cli.outcome import Outcome

COMMANDS = Commands()


def _shown(value) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


@COMMANDS.add(
    "config", "show the effective settings and where each comes from (option, environment, profile, default)",
    arg("action", choices=("show",), help="show: the settings, with their sources"),
)
def cmd_config(ctx, args) -> Outcome:
    effective = ctx.config
    # Settings hold file paths, never what the files hold: a token file shows as its path;
    # a store's URL without the password it may hold.
    from norvo_halvex.collect.store import shown

    settings = [{"setting": s.key, "value": shown(v) if s.key == "db" and v else v,
                 "source": effective.source_words(s.key)}
                for s in SETTINGS for v in (effective.values[s.key],)]
    file = effective.file.path if effective.file else None
    lines = [f"config file: {file or 'none'}" + (f"  (profile {effective.profile})" if effective.profile else "")]
    lines += render.table([["setting", "value", "source"],
                           *([r["setting"], _shown(r["value"]), r["source"]] for r in settings)])
    return Outcome({"config_file": file, "profile": effective.profile,
                    "profiles": sorted(effective.file.profiles) if effective.file else [],
                    "settings": settings}, lines)
