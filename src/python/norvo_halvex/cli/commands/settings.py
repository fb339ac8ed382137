"""Meter settings: daylight-saving correction, backlight, load switch; read or written."""

from __future__ import annotations

from norvo_halvex.cli import parsing, render, writes
from norvo_halvex.cli.command import SERIAL, Commands, arg
from norvo_halvex.cli.outcome import Outcome, reads_one

COMMANDS = Commands()


def _setting_enum(name: str):
    from quarn_frame_protocol.quarn_message import QuarnMessage

    return getattr(QuarnMessage, name)


@COMMANDS.add("dst", "read the daylight-saving correction flag", SERIAL)
def cmd_dst(ctx, args) -> Outcome:
    value = ctx.api().daylight_savings_correction_enabled(args.serial)
    return Outcome({"enabled": value},
                   render.value_lines(args.serial, "daylight-saving correction", "on" if value else "off"))


@COMMANDS.add("dst-set", "switch daylight-saving correction on or off", SERIAL, arg("value", metavar="on|off"),
              *writes.CONFIRM)
def cmd_dst_set(ctx, args) -> Outcome:
    enabled = parsing.parse_on_off(args.value)
    word = "on" if enabled else "off"
    return writes.perform(
        ctx, args, f"switch daylight-saving correction {word}",
        lambda api: api.daylight_savings_correction_enabled_write(args.serial, enabled),
        lambda: Outcome({"enabled": enabled},
                        render.value_lines(args.serial, "daylight-saving correction set to", word)))


def _setting_text(member) -> str:
    name = getattr(member, "name", None)
    value = getattr(member, "value", None)
    return f"{name} ({value})" if name is not None else str(member)


def _writes_setting(enum_name: str, what: str, method: str, warning=lambda member, serial: None):
    """The handler of a command that writes the setting ``what``, a member of the codec's
    ``enum_name``, with the client's ``method``; ``warning`` says what a member would do."""

    def run(ctx, args) -> Outcome:
        member = parsing.parse_setting(args.value, _setting_enum(enum_name), what)
        text = _setting_text(member)
        return writes.perform(
            ctx, args, f"set the {what} to {text}",
            lambda api: getattr(api, method)(args.serial, member),
            lambda: Outcome(member, render.value_lines(args.serial, f"{what} set to", text)),
            warning=warning(member, args.serial))

    return run


def _cuts_the_supply(member, serial: str) -> str | None:
    return f"this cuts the supply at meter {serial} at once" if member.name == "disconnected" else None


def _setting_value(command: str):
    return arg("value", metavar="NAME|VALUE", help=f"setting name (see 'halvex {command}') or its number")


cmd_backlight = COMMANDS.add("backlight", "read the backlight setting", SERIAL)(
    reads_one("backlight", "backlight", _setting_text))

cmd_backlight_set = COMMANDS.add(
    "backlight-set", "write the backlight setting", SERIAL, _setting_value("backlight"), *writes.CONFIRM,
)(_writes_setting("BacklightSettingType", "backlight", "backlight_write"))

cmd_load_switch = COMMANDS.add("load-switch", "read the load switch setting", SERIAL)(
    reads_one("load_switch", "load switch", _setting_text))

cmd_load_switch_set = COMMANDS.add(
    "load-switch-set", "write the load switch setting", SERIAL, _setting_value("load-switch"), *writes.CONFIRM,
)(_writes_setting("LoadSwitchSettingType", "load switch", "load_switch_write", _cuts_the_supply))
