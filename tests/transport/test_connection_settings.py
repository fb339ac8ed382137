"""ConnectionSettings: the environment variables and the checks. (What the settings do
to real calls: test_tls.py and test_channel_behaviour.py.)"""

import pytest

from norvo_halvex.mediator.grpc import ConnectionSettings
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
from norvo_halvex.mediator.grpc.settings import DEFAULT_TIMEOUT_SECONDS, ENVIRONMENT_VARIABLES


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
    plain = ConnectionSettings.from_env({})
    assert (plain.tls, plain.token_file, plain.timeout, plain.read_retries) == (False, None, DEFAULT_TIMEOUT_SECONDS, 0)


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
        ({"timeout": float("inf")}, ValueError, "timeout"),
        ({"read_retries": 1.0}, ValueError, "read_retries"),
        ({"max_receive_message_length": 0}, ValueError, "max_receive_message_length"),
        ({"tls": "yes"}, TypeError, "tls must be True or False"),
        ({"tls_ca": ""}, ValueError, "tls_ca must not be empty"),
        ({"tls_server_name": "a b"}, ValueError, "tls_server_name"),
        ({"channel_options": [("grpc.enable_retries", 1)]}, ValueError, "must not set grpc.enable_retries"),
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


def test_client_without_settings_reads_the_environment(monkeypatch):
    monkeypatch.setenv("HALVEX_TIMEOUT", "1.5")
    monkeypatch.setenv("HALVEX_READ_RETRIES", "2")
    client = HalvexMediatorGrpcClient("127.0.0.1:1")
    assert client.timeout == 1.5 and client.settings.read_retries == 2


def test_timeout_keyword_replaces_the_settings_deadline():
    client = HalvexMediatorGrpcClient("127.0.0.1:1", settings=ConnectionSettings(timeout=7, read_retries=1), timeout=2)
    assert client.timeout == 2.0 and client.settings.read_retries == 1


