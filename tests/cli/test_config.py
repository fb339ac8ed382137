"""The config file: profiles, precedence (option > environment > profile > default), the
checks made before anything starts, and `halvex config show`."""

from __future__ import annotations

import os

import pytest


@pytest.fixture
def config(tmp_path, monkeypatch):
    """Writes a config file and returns its path; the user's own files play no part."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "nothing-here"))

    def write(text: str, mode: int = 0o600):
        path = tmp_path / "config.toml"
        path.write_text(text)
        path.chmod(mode)
        return str(path)

    return write


PROFILES = """
retries = 4
timeout = 20
default_profile = "night"

[profiles.night]
timeout = 30
db = "night.duckdb"

[profiles.day]
workers = 2
"""


@pytest.mark.parametrize(
    "argv, env, expected",
    [
        ((), {}, {"timeout": (30.0, "profile night"), "retries": (4, "config.toml"), "workers": (8, "default"),
                  "db": ("night.duckdb", "profile night")}),
        (("--profile", "day"), {}, {"timeout": (20.0, "config.toml"), "workers": (2, "profile day")}),
        (("--profile", "day"), {"HALVEX_PROFILE": "night"}, {"workers": (2, "profile day")}),
        ((), {"HALVEX_TIMEOUT": "40", "HALVEX_DB": "env.duckdb"},
         {"timeout": ("40", "$HALVEX_TIMEOUT"), "db": ("env.duckdb", "$HALVEX_DB")}),
        (("--timeout", "50"), {"HALVEX_TIMEOUT": "40"}, {"timeout": (50.0, "--timeout")}),
    ],
)
def test_each_setting_comes_from_the_first_of_option_environment_profile_default(cli, config, monkeypatch,
                                                                                   argv, env, expected):
    path = config(PROFILES)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    run = cli("--config", path, *argv, "config", "show", "--json")
    assert run.code == 0, run.err
    shown = {s["setting"]: s for s in run.json()["result"]["settings"]}
    for key, (value, source) in expected.items():
        got = shown[key]
        if key == "db" and source.startswith("profile"):  # relative to the file
            value = os.path.join(os.path.dirname(path), value)
        assert (got["value"], got["source"].split(" in ")[0].replace(path, "config.toml")) == (value, source)


@pytest.mark.parametrize(
    "text, mode, argv, message",
    [
        ("mediatr = 'x:1'", 0o600, (), "unknown setting 'mediatr'"),
        ("retries = 'three'", 0o600, (), "retries = 'three': expected a whole number"),
        ("log_format = 'xml'", 0o600, (), "expected one of text, json"),
        ("retries = [", 0o600, (), "is not valid TOML"),
        ("[profiles.a]\nretries = 1", 0o600, ("--profile", "b"), "has no profile 'b' (it has: a)"),
        ("default_profile = 'b'", 0o600, (), "default_profile 'b' is not one of its profiles"),
        ("retries = 1", 0o602, (), "is writable by anyone"),
    ],
)
def test_a_config_file_that_cannot_be_used_is_a_usage_error(cli, config, text, mode, argv, message):
    path = config(text, mode)
    run = cli("--config", path, *argv, "--simulate", "read", "HX1000001")
    assert run.code == 2 and message in run.err and path in run.err


@pytest.mark.parametrize("argv, message", [
    (("--config", "/nonexistent/halvex.toml"), "cannot read config file /nonexistent/halvex.toml"),
    (("--profile", "night"), "profile 'night' asked for, but there is no config file"),
])
def test_a_named_config_or_profile_must_exist(cli, config, argv, message):
    run = cli(*argv, "config", "show")
    assert run.code == 2 and message in run.err


def test_a_profile_reaches_a_tls_simulator_with_a_token_and_the_token_is_never_shown(
        cli, config, secure_simulator, tls_files, token_file, tmp_path):
    path = config(f"""
[profiles.lab]
mediator = "{secure_simulator.address}"
tls_ca = "{tls_files.ca}"
token_file = "{token_file}"
db = "lab.duckdb"
""")
    run = cli("--config", path, "--profile", "lab", "read", "HX1000001")
    assert run.code == 0, run.err
    run = cli("--config", path, "--profile", "lab", "collect", "HX3000001", "--day", "2025-06-01", "--json")
    assert run.code == 0, run.err
    assert run.json()["result"]["db"] == str(tmp_path / "lab.duckdb")
    # The plain in-process simulator ignores the profile's security settings, as it does the environment's.
    assert cli("--config", path, "--profile", "lab", "--simulate", "read", "HX1000001").code == 0
    shown = cli("--config", path, "--profile", "lab", "config", "show")
    assert str(token_file) in shown.out and token_file.read_text().strip() not in shown.out + shown.err
