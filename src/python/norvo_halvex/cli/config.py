"""Settings from a config file, and where each effective setting came from.

The file is TOML: keys at the top apply to every profile, tables ``[profiles.NAME]`` are
named profiles, ``default_profile`` names the one used without ``--profile``::

    db = "/var/lib/halvex/halvex.duckdb"
    default_profile = "prod"

    [profiles.prod]
    mediator = "mediator.example:443"
    tls_ca = "mediator-ca.pem"          # relative paths are relative to this file
    token_file = "/etc/halvex/token"
    cluster = "local:2"

It is ``--config FILE``, else ``$HALVEX_CONFIG``, else ``~/.config/halvex/config.toml``
(``$XDG_CONFIG_HOME``), else ``/etc/halvex/config.toml``; none at all is fine. Each setting
is taken from the first of: its command line option, its environment variable, the
profile (then the file's top), the built-in default.

A setting is one line of ``SETTINGS``: its key (the option's argparse dest), how a file's
value is checked, its environment variable and its default.
"""

from __future__ import annotations

import dataclasses
import os
import stat
import tomllib
from collections.abc import Callable, Mapping
from typing import Any

from norvo_halvex.failures import UsageError

CONFIG_ENV = "HALVEX_CONFIG"
PROFILE_ENV = "HALVEX_PROFILE"
SYSTEM_CONFIG = "/etc/halvex/config.toml"

# Where a value came from, for `halvex config show`.
FLAG, ENV, PROFILE, FILE, DEFAULT = "option", "environment", "profile", "config file", "default"


def _text(value):
    if not isinstance(value, str) or not value:
        raise ValueError("expected text")
    return value


def _path(value):
    return _text(value)  # made absolute against the file's folder when read


def _flag(value):
    if not isinstance(value, bool):
        raise ValueError("expected true or false")
    return value


def _whole(value):
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError("expected a whole number, 0 or more")
    return value


def _seconds(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
        raise ValueError("expected a number of seconds above 0")
    return float(value)


def _choice(*choices: str) -> Callable[[Any], str]:
    def check(value):
        if not isinstance(value, str) or value.lower() not in {c.lower() for c in choices}:
            raise ValueError(f"expected one of {', '.join(choices)}")
        return value.upper() if choices[0].isupper() else value.lower()

    return check


@dataclasses.dataclass(frozen=True)
class Setting:
    key: str
    check: Callable[[Any], Any]
    env: str | None = None
    default: Any = None
    #: A file path: relative ones are relative to the config file.
    path: bool = False


def _setting(key, check, env=None, default=None):
    return Setting(key, check, env, default, path=check is _path)


def _defaults() -> dict[str, Any]:
    # Imported here: `halvex --help` must not wait for what the defaults come from.
    from norvo_halvex.collect.collector import DEFAULT_WORKERS
    from norvo_halvex.collect.failfast import STOP_AFTER_REFUSED, STOP_AFTER_UNREACHABLE
    from norvo_halvex.collect.store import DEFAULT_DB
    from norvo_halvex.collect.task import DEFAULT_RETRIES
    from norvo_halvex.mediator.grpc.address import DEFAULT_MEDIATOR_ADDRESS

    return {"mediator": DEFAULT_MEDIATOR_ADDRESS, "db": DEFAULT_DB, "workers": DEFAULT_WORKERS,
            "retries": DEFAULT_RETRIES, "stop_after_unreachable": STOP_AFTER_UNREACHABLE,
            "stop_after_refused": STOP_AFTER_REFUSED}


SETTINGS: tuple[Setting, ...] = (
    _setting("mediator", _text, "HALVEX_MEDIATOR"),
    _setting("tls", _flag, "HALVEX_TLS", False),
    _setting("tls_ca", _path, "HALVEX_TLS_CA"),
    _setting("tls_cert", _path, "HALVEX_TLS_CERT"),
    _setting("tls_key", _path, "HALVEX_TLS_KEY"),
    _setting("tls_server_name", _text, "HALVEX_TLS_SERVER_NAME"),
    _setting("token_file", _path, "HALVEX_TOKEN_FILE"),
    _setting("timeout", _seconds, "HALVEX_TIMEOUT", 10.0),
    _setting("read_retries", _whole, "HALVEX_READ_RETRIES", 0),
    _setting("tz", _text, "HALVEX_TZ", "UTC"),
    _setting("db", _path, "HALVEX_DB"),
    _setting("cluster", _text, "HALVEX_CLUSTER"),
    _setting("cluster_tls_ca", _path, "HALVEX_CLUSTER_TLS_CA"),
    _setting("cluster_tls_cert", _path, "HALVEX_CLUSTER_TLS_CERT"),
    _setting("cluster_tls_key", _path, "HALVEX_CLUSTER_TLS_KEY"),
    _setting("cluster_insecure", _flag, None, False),
    _setting("workers", _whole),
    _setting("retries", _whole),
    _setting("stop_after_unreachable", _whole),
    _setting("stop_after_refused", _whole),
    _setting("report", _path),
    _setting("metrics_file", _path),
    _setting("log_level", _choice("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL"), None, "WARNING"),
    _setting("log_format", _choice("text", "json"), None, "text"),
    _setting("log_file", _path, "HALVEX_LOG_FILE"),
)
_BY_KEY = {s.key: s for s in SETTINGS}
# Settings whose variables the code that uses them reads itself (the transport's
# ConnectionSettings.from_env, the time zone's parser): only a profile's value is handed on.
READ_THEMSELVES = ("tls", "tls_ca", "tls_cert", "tls_key", "tls_server_name", "token_file", "timeout", "read_retries",
                   "tz")


@dataclasses.dataclass
class ConfigFile:
    path: str
    top: dict[str, Any]
    profiles: dict[str, dict[str, Any]]
    default_profile: str | None = None


def config_path(given: str | None, environ: Mapping[str, str]) -> tuple[str | None, bool]:
    """(the config file to read, whether it must exist)."""
    if given:
        return given, True
    if environ.get(CONFIG_ENV):
        return environ[CONFIG_ENV], True
    home = environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    for candidate in (os.path.join(home, "halvex", "config.toml"), SYSTEM_CONFIG):
        if os.path.exists(candidate):
            return candidate, True
    return None, False


def load(path: str) -> ConfigFile:
    """The config file at ``path``, checked; UsageError (exit 2) naming the file otherwise."""
    where = f"config file {path}"
    try:
        with open(path, "rb") as f:
            if os.fstat(f.fileno()).st_mode & stat.S_IWOTH:
                # Anyone could point the token at a mediator of their choosing.
                raise UsageError(f"{where} is writable by anyone; make it writable by its owner only (chmod o-w)")
            data = tomllib.load(f)
    except OSError as e:
        raise UsageError(f"cannot read {where}: {e.strerror or e}") from None
    except tomllib.TOMLDecodeError as e:
        raise UsageError(f"{where} is not valid TOML: {e}") from None
    folder = os.path.dirname(os.path.abspath(path))
    profiles = data.pop("profiles", {})
    default_profile = data.pop("default_profile", None)
    if not isinstance(profiles, dict) or not all(isinstance(p, dict) for p in profiles.values()):
        raise UsageError(f"{where}: 'profiles' must hold tables such as [profiles.prod]")
    if default_profile is not None and default_profile not in profiles:
        raise UsageError(f"{where}: default_profile {default_profile!r} is not one of its profiles")
    return ConfigFile(path, _checked(data, folder, where),
                      {name: _checked(p, folder, f"{where}, profile {name}") for name, p in profiles.items()},
                      default_profile)


def _checked(table: dict[str, Any], folder: str, where: str) -> dict[str, Any]:
    out = {}
    for key, value in table.items():
        setting = _BY_KEY.get(key)
        if setting is None:
            raise UsageError(f"{where}: unknown setting {key!r}; known: {', '.join(_BY_KEY)}")
        try:
            value = setting.check(value)
        except ValueError as e:
            raise UsageError(f"{where}: {key} = {value!r}: {e}") from None
        if setting.path and "://" not in value:
            value = os.path.join(folder, os.path.expanduser(value))
        out[key] = value
    return out


@dataclasses.dataclass
class Effective:
    """Every setting's value and where it came from, for one run."""

    file: ConfigFile | None = None
    profile: str | None = None
    values: dict[str, Any] = dataclasses.field(default_factory=dict)
    sources: dict[str, str] = dataclasses.field(default_factory=dict)

    def source_words(self, key: str) -> str:
        """Where ``key`` came from, as a user would look it up."""
        source = self.sources.get(key, DEFAULT)
        setting = _BY_KEY[key]
        if source == FLAG:
            return "--" + key.replace("_", "-")
        if source == ENV:
            return f"${setting.env}"
        if source == PROFILE:
            return f"profile {self.profile} in {self.file.path}"
        if source == FILE:
            return f"{self.file.path}"
        return DEFAULT

    def from_flag(self, key: str) -> bool:
        return self.sources.get(key) == FLAG


def resolve(args, environ: Mapping[str, str]) -> Effective:
    """Loads the config file and profile the run asks for, decides each setting, and puts
    the value into ``args`` where the command has that option (connection settings only
    when the environment does not give them: the transport reads those itself)."""
    path, _ = config_path(getattr(args, "config", None), environ)
    file = load(path) if path else None
    profile = getattr(args, "profile", None) or environ.get(PROFILE_ENV) or (file.default_profile if file else None)
    if profile is not None:
        if file is None:
            raise UsageError(f"profile {profile!r} asked for, but there is no config file "
                             f"(--config, ${CONFIG_ENV}, ~/.config/halvex/config.toml or {SYSTEM_CONFIG})")
        if profile not in file.profiles:
            raise UsageError(f"config file {file.path} has no profile {profile!r} "
                             f"(it has: {', '.join(file.profiles) or 'none'})")
    layers = [(PROFILE, file.profiles[profile] if profile else {}), (FILE, file.top if file else {})]
    defaults = _defaults()
    effective = Effective(file, profile)
    for setting in SETTINGS:
        key = setting.key
        flag = getattr(args, key, None)
        if flag is not None and flag is not False:
            value, source = flag, FLAG
        elif setting.env and environ.get(setting.env, "").strip():
            value, source = environ[setting.env].strip(), ENV
        else:
            value, source = next(((layer[key], name) for name, layer in layers if key in layer),
                                 (defaults.get(key, setting.default), DEFAULT))
        effective.values[key], effective.sources[key] = value, source
        if hasattr(args, key) and not (key in READ_THEMSELVES and source in (ENV, DEFAULT)) \
                and key != "mediator":
            setattr(args, key, value)
    return effective
