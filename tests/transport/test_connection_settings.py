"""ConnectionSettings: the environment variables, the checks, and the channel options
they turn into."""

import dataclasses
import json

import pytest

from norvo_halvex.mediator.grpc import ConnectionSettings
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient, channel_options
from norvo_halvex.mediator.grpc.settings import DEFAULT_TIMEOUT_SECONDS, ENVIRONMENT_VARIABLES


def test_defaults_connect_plainly_with_the_ten_second_deadline():
    s = ConnectionSettings.from_env({})
    assert s == ConnectionSettings()
    assert (s.tls, s.token_file, s.timeout, s.read_retries, s.keepalive) == (False, None, DEFAULT_TIMEOUT_SECONDS, 0, None)


def test_every_variable_is_read():
    env = {
        "HALVEX_TLS_CA": "/pki/ca.pem",
        "HALVEX_TLS_CERT": "/pki/client.pem",
        "HALVEX_TLS_KEY": "/pki/client.key",
        "HALVEX_TLS_SERVER_NAME": "mediator.example",
        "HALVEX_TOKEN_FILE": "/run/token",
        "HALVEX_TIMEOUT": " 2.5 ",
        "HALVEX_KEEPALIVE": "30",
        "HALVEX_READ_RETRIES": "3",
    }
    s = ConnectionSettings.from_env(env)
    assert (s.tls_ca, s.tls_cert, s.tls_key, s.tls_server_name, s.token_file) == (
        "/pki/ca.pem", "/pki/client.pem", "/pki/client.key", "mediator.example", "/run/token")
    assert (s.timeout, s.keepalive, s.read_retries) == (2.5, 30.0, 3)
    assert s.tls and s.mutual_tls
    assert set(ENVIRONMENT_VARIABLES.values()) >= set(env)


@pytest.mark.parametrize(
    ("env", "overrides", "expected"),
    [
        ({"HALVEX_TIMEOUT": "3"}, {"timeout": 0.5}, 0.5),  # an explicit value wins
        ({"HALVEX_TIMEOUT": "3"}, {"timeout": None}, 3.0),  # None means "not given"
        ({"HALVEX_TIMEOUT": ""}, {}, DEFAULT_TIMEOUT_SECONDS),  # empty means unset
    ],
)
def test_overrides_take_precedence(env, overrides, expected):
    assert ConnectionSettings.from_env(env, **overrides).timeout == expected


@pytest.mark.parametrize(
    ("env", "fragment"),
    [
        ({"HALVEX_TIMEOUT": "soon"}, "HALVEX_TIMEOUT='soon': expected a number of seconds"),
        ({"HALVEX_TIMEOUT": "-1"}, "timeout must be a positive number"),
        ({"HALVEX_TIMEOUT": "nan"}, "timeout must be a positive number"),
        ({"HALVEX_KEEPALIVE": "0"}, "keepalive must be a positive number"),
        ({"HALVEX_READ_RETRIES": "two"}, "HALVEX_READ_RETRIES='two'"),
        ({"HALVEX_READ_RETRIES": "5"}, "read_retries must be a whole number 0..4"),
        ({"HALVEX_TLS": "maybe"}, "HALVEX_TLS='maybe'"),
        ({"HALVEX_TLS_CERT": "/pki/client.pem"}, "tls_cert is set but tls_key is not"),
        ({"HALVEX_TLS_KEY": "/pki/client.key"}, "tls_key is set but tls_cert is not"),
    ],
)
def test_malformed_environment_names_the_variable(env, fragment):
    with pytest.raises(ValueError, match="HALVEX_") as info:
        ConnectionSettings.from_env(env)
    assert fragment in str(info.value)


@pytest.mark.parametrize(
    ("kwargs", "exc", "fragment"),
    [
        ({"timeout": "10"}, TypeError, "timeout must be a number"),
        ({"timeout": True}, TypeError, "timeout must be a number"),
        ({"timeout": float("inf")}, ValueError, "timeout"),
        ({"read_retries": 1.0}, ValueError, "read_retries"),
        ({"max_receive_message_length": 0}, ValueError, "max_receive_message_length"),
        ({"tls": "yes"}, TypeError, "tls must be True or False"),
        ({"tls_ca": ""}, ValueError, "tls_ca must not be empty"),
        ({"tls_ca": 3}, TypeError, "tls_ca must be a file path"),
        ({"tls_server_name": "a b"}, ValueError, "tls_server_name"),
        ({"channel_options": [("grpc.enable_retries", 1)]}, ValueError, "must not set grpc.enable_retries"),
        ({"channel_options": [("grpc.service_config", "{}")]}, ValueError, "read_retries"),
        ({"channel_options": [("only-a-name",)]}, ValueError, "(name, value) pairs"),
    ],
)
def test_bad_values_are_refused(kwargs, exc, fragment):
    with pytest.raises(exc, match=fragment.replace("(", r"\(").replace(")", r"\)")):
        ConnectionSettings(**kwargs)


@pytest.mark.parametrize(
    ("kwargs", "tls", "words"),
    [
        ({}, False, "no TLS"),
        ({"tls": True}, True, "TLS"),
        ({"tls_ca": "/pki/ca.pem"}, True, "TLS"),
        ({"tls_server_name": "mediator.example"}, True, "TLS"),
        ({"tls_cert": "/c.pem", "tls_key": "/c.key"}, True, "mutual TLS"),
    ],
)
def test_tls_is_implied_by_any_tls_setting(kwargs, tls, words):
    s = ConnectionSettings(**kwargs)
    assert s.tls is tls
    assert s.describe().split(",")[0] == words


def test_paths_may_be_path_objects(tmp_path):
    s = ConnectionSettings(token_file=tmp_path / "token", tls_ca=tmp_path / "ca.pem")
    assert s.token_file == str(tmp_path / "token") and s.tls_ca == str(tmp_path / "ca.pem")


def test_settings_are_frozen():
    with pytest.raises(dataclasses.FrozenInstanceError):
        ConnectionSettings().timeout = 1


def _options(**kwargs):
    return dict(channel_options(ConnectionSettings(**kwargs)))


def test_retries_are_off_by_default_and_dns_cannot_switch_them_on():
    options = _options()
    assert options["grpc.enable_retries"] == 0
    assert options["grpc.service_config_disable_resolution"] == 1
    assert "grpc.service_config" not in options


@pytest.mark.parametrize("retries", [1, 4])
def test_retry_policy_covers_element_reads_on_unavailable_only(retries):
    options = _options(read_retries=retries)
    assert options["grpc.enable_retries"] == 1
    config = json.loads(options["grpc.service_config"])
    (method,) = config["methodConfig"]
    assert method["name"] == [{"service": "norvo.halvex.mediator.v1.HalvexMediator", "method": "ReadElement"}]
    assert method["retryPolicy"]["maxAttempts"] == retries + 1
    assert method["retryPolicy"]["retryableStatusCodes"] == ["UNAVAILABLE"]


def test_keepalive_size_and_server_name_become_channel_options():
    options = _options(keepalive=2.5, max_receive_message_length=1 << 20, tls_server_name="mediator.example",
                       channel_options=[("grpc.primary_user_agent", "halvex-test")])
    assert options["grpc.keepalive_time_ms"] == 2500
    assert options["grpc.keepalive_permit_without_calls"] == 1
    assert options["grpc.max_receive_message_length"] == 1 << 20
    assert options["grpc.ssl_target_name_override"] == "mediator.example"
    assert options["grpc.primary_user_agent"] == "halvex-test"


def test_client_without_settings_reads_the_environment(monkeypatch):
    monkeypatch.setenv("HALVEX_TIMEOUT", "1.5")
    monkeypatch.setenv("HALVEX_READ_RETRIES", "2")
    client = HalvexMediatorGrpcClient("127.0.0.1:1")
    assert client.timeout == 1.5 and client.settings.read_retries == 2


def test_timeout_keyword_replaces_the_settings_deadline():
    client = HalvexMediatorGrpcClient("127.0.0.1:1", settings=ConnectionSettings(timeout=7, read_retries=1), timeout=2)
    assert client.timeout == 2.0 and client.settings.read_retries == 1


@pytest.mark.parametrize("settings", [{"timeout": 3}, "HALVEX_TLS=1"])
def test_client_refuses_settings_of_another_type(settings):
    with pytest.raises(TypeError, match="settings must be a ConnectionSettings"):
        HalvexMediatorGrpcClient("127.0.0.1:1", settings=settings)
