"""The tool's connection options: the address check before anything starts, TLS and
token options (and their HALVEX_* variables), and security failures as exit code 8."""

import socket

import pytest

from norvo_halvex.failures import ExitCode
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from support.processes import interrupt, run_tool, running_tool


@pytest.mark.parametrize(
    ("argv", "env", "message"),
    [
        (["--mediator", "localhost"], {}, "--mediator: mediator address 'localhost' has no port"),
        (["--mediator", "m:99999"], {}, "port 99999 is outside 1..65535"),
        (["--mediator", "https://m:443"], {}, "'https:' addresses (URLs) are not accepted"),
        (["--mediator", "op:pw@m:1"], {}, "must not carry credentials"),
        ([], {"HALVEX_MEDIATOR": "mediator.example"}, "HALVEX_MEDIATOR: mediator address 'mediator.example' has no port"),
        (["--read-retries", "9"], {}, "--read-retries must be a whole number 0..4"),
        (["--timeout", "0"], {}, "--timeout must be a positive number of seconds"),
        (["--timeout", "soon"], {}, "argument --timeout: expected a number of seconds"),
        (["--tls-cert", "c.pem"], {}, "--tls-cert is set but --tls-key is not"),
        (["--token-file", "/nonexistent/token"], {}, "token file /nonexistent/token cannot be read"),
        (["--tls-ca", "/nonexistent/ca.pem"], {}, "--tls-ca file /nonexistent/ca.pem cannot be read"),
        (["--simulate", "--tls-ca", "ca.pem"], {}, "--tls-ca does not apply to the plain simulator"),
        ([], {"HALVEX_TIMEOUT": "soon"}, "environment variable HALVEX_TIMEOUT='soon'"),
        ([], {"HALVEX_READ_RETRIES": "7"}, "(settings from HALVEX_READ_RETRIES)"),
        ([], {"HALVEX_TLS_KEY": "k.pem"}, "--tls-key is set but --tls-cert is not"),
        (["--mediator", "10.1.2.3:50051", "--token-file", "{token}"], {}, "only sent over TLS or to this machine"),
        (["--token-file", "{public_token}"], {}, "(mode 0640); make it private: chmod 600 "),
        (["--tls-cert", "{client_cert}", "--tls-key", "{stranger_key}"], {},
         "--tls-key file {stranger_key} is not the private key of the certificate in --tls-cert file {client_cert}: "
         "give the key that was made with that certificate"),
    ],
)
def test_bad_connection_settings_are_usage_errors_before_anything_starts(cli, fake_api, monkeypatch, token_file,
                                                                         tls_files, tmp_path, argv, env, message):
    for variable, value in env.items():
        monkeypatch.setenv(variable, value)
    public_token = tmp_path / "public-token"
    public_token.write_text("a-token\n")
    public_token.chmod(0o640)
    files = {"token": token_file, "public_token": public_token, "client_cert": tls_files.client_cert,
             "stranger_key": tls_files.stranger_key}
    run = cli(*(a.format(**files) for a in argv), "voltage", "HX1000001")
    assert run.code == ExitCode.USAGE
    assert message.format(**files) in run.err and len(run.err.splitlines()) == 1
    assert fake_api.address is None and fake_api.calls == []  # no client was even made


def test_demo_and_simulate_ignore_the_security_environment(cli, monkeypatch, tls_files, token_file, tmp_path):
    monkeypatch.setenv("HALVEX_TLS_CA", tls_files.other_ca)  # would fail against the plain simulator
    monkeypatch.setenv("HALVEX_TOKEN_FILE", str(token_file))
    assert cli("--simulate", "--timeout", "5", "--json", "csq", "HX1000001").json()["result"]["value"] == 17
    run = cli("demo", "--out", str(tmp_path), "--json")
    assert run.code == 0, run.err
    assert cli("demo", "--token-file", str(token_file)).code == ExitCode.USAGE


@pytest.mark.parametrize(
    ("options", "code", "words"),
    [
        (["--tls-ca", "{ca}", "--token-file", "{token}"], ExitCode.OK, None),
        (["--tls-ca", "{other_ca}", "--token-file", "{token}"], ExitCode.SECURITY,
         "mediator certificate not trusted (UNAVAILABLE)"),
        (["--tls-ca", "{ca}"], ExitCode.SECURITY, "not authenticated with the mediator (UNAUTHENTICATED)"),
        (["--token-file", "{token}"], ExitCode.SECURITY, "TLS handshake refused (UNAVAILABLE)"),
    ],
)
def test_secure_mediator_through_the_real_core(cli, secure_simulator, tls_files, token_file, options, code, words):
    values = {"ca": tls_files.ca, "other_ca": tls_files.other_ca, "token": str(token_file)}
    argv = [o.format(**values) for o in options]
    run = cli("--mediator", secure_simulator.address, *argv, "serial", "HX1000001")
    assert run.code == code, run.err
    if words is None:
        assert run.out.startswith("HX1000001") and run.err == ""
        return
    assert run.err.startswith(f"halvex: meter HX1000001: serial failed: {words}: ")
    assert len(run.err.splitlines()) == 1 and token_file.read_text().strip() not in run.err
    doc = cli("--mediator", secure_simulator.address, *argv, "--json", "serial", "HX1000001")
    error = doc.json()["error"]
    assert doc.code == error["exit_code"] == code and f"{error['cause']} ({error['code']})" == words
    assert error["code"] != "UNAUTHENTICATED" or "--token-file" in error["message"]  # says what to give


def test_environment_alone_configures_the_tool(cli, secure_simulator, tls_files, token_file, monkeypatch, tmp_path):
    monkeypatch.setenv("HALVEX_MEDIATOR", f"localhost:{secure_simulator.port}")
    monkeypatch.setenv("HALVEX_TLS_CA", tls_files.ca)
    monkeypatch.setenv("HALVEX_TOKEN_FILE", str(token_file))
    run = cli("--json", "serial", "HX1000002")
    assert run.code == 0 and run.json()["result"] == "HX1000002"
    not_a_token = tmp_path / "ca-copy.pem"
    not_a_token.write_bytes(open(tls_files.ca, "rb").read())
    not_a_token.chmod(0o600)
    monkeypatch.setenv("HALVEX_TOKEN_FILE", str(not_a_token))  # not a token: refused up front
    run = cli("--json", "serial", "HX1000002")
    assert run.code == ExitCode.USAGE and "one token on one line" in run.err


def test_fleet_where_every_meter_is_refused_exits_8(cli, secure_simulator, tls_files):
    run = cli("--mediator", secure_simulator.address, "--tls-ca", tls_files.ca, "fleet", "HX1000001", "HX3000001")
    assert run.code == ExitCode.SECURITY
    assert run.out.count(",failed,") == 2


def test_timeout_option_ends_a_silent_call_with_deadline_exceeded(cli):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        run = cli("--mediator", f"127.0.0.1:{listener.getsockname()[1]}", "--timeout", "0.5", "csq", "HX1000001")
    assert run.code == ExitCode.MEDIATOR
    assert "mediator timed out (DEADLINE_EXCEEDED)" in run.err


@pytest.mark.parametrize(
    ("status", "code", "hint"),
    [
        ("UNAUTHENTICATED", ExitCode.SECURITY, "; check --token-file or HALVEX_TOKEN_FILE"),
        # Without the transport's explanation nothing says a credential was involved.
        ("PERMISSION_DENIED", ExitCode.MEDIATOR, ""),
    ],
)
def test_bare_statuses_from_the_core_are_classified_by_name(cli, fake_api, status, code, hint):
    fake_api.fail["csq"] = MediatorClientException(status, "token expired")
    run = cli("csq", "HX1000001")
    assert run.code == code
    assert run.err.rstrip("\n").endswith(f"({status}): token expired{hint}")


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--tls-ca", "ca.pem"], "--tls-ca is a client option; it does not apply to the simulator"),
        (["--timeout", "3"], "--timeout is a client option"),
        (["--client-ca", "ca.pem"], "client_ca needs tls_cert and tls_key"),
    ],
)
def test_simulator_command_refuses_client_options(cli, argv, message):
    run = cli("simulator", "--port", "0", *argv)
    assert run.code == ExitCode.USAGE and message in run.err


def test_simulator_command_serves_tls_and_token(tls_files, token_file):
    with running_tool("simulator", "--port", "0", "--tls-cert", tls_files.server_cert,
                      "--tls-key", tls_files.server_key, "--token-file", token_file) as proc:
        address = proc.stdout.readline().split()[-1]
        lines = [proc.stdout.readline() for _ in range(11)]
        assert "  clients connect with: TLS, bearer token\n" in lines, lines
        good = run_tool("--mediator", address, "--tls-ca", tls_files.ca, "--token-file", token_file,
                        "--json", "hardware", "HX3000001")
        refused = run_tool("--mediator", address, "--tls-ca", tls_files.ca, "hardware", "HX3000001")
        stopped = interrupt(proc, timeout=20)
    assert good.code == 0 and good.json()["result"]["hardware"] == "P1.ax"
    assert refused.code == 8 and "UNAUTHENTICATED" in refused.err
    assert stopped.code == 0, stopped.err
