"""Argument binding and entry checks, common to every method."""

from __future__ import annotations

import pytest

from api_core_methods import METHOD_NAMES, METHODS, checked_params, valid_args
from support.hostile import Boom, BytesSub, StrSub, hostile

ALL = pytest.mark.parametrize("name, params, returns, defaults", METHODS, ids=METHOD_NAMES)


def touchy():
    """An object whose every protocol the checks might touch raises a Boom naming it."""
    return hostile("__bool__", "__index__", "__int__", "__str__", "__eq__")


def call(client, name, *args, **kwargs):
    return getattr(type(client), name)(client, *args, **kwargs)


def assert_quiet(core):
    assert core.transport.calls == [] and core.entries == [] and core.transport.created == []


def counts(params, defaults):
    total = 1 + len(params)
    return total - len(defaults or ()), total


@ALL
def test_too_few(core, client, name, params, returns, defaults):
    required, total = counts(params, defaults)
    how = "exactly" if defaults is None else "at least"
    s = "" if required == 1 else "s"
    if required >= 2:
        with pytest.raises(TypeError) as info:
            call(client, name, *valid_args(params)[: required - 2])
        assert str(info.value) == f"{name}() takes {how} {required} positional argument{s} ({required - 1} given)"
    with pytest.raises(TypeError) as info:
        type(client).__dict__[name]()
    assert str(info.value) == f"{name}() takes {how} {required} positional argument{s} (0 given)"
    assert_quiet(core)


@ALL
def test_too_many(core, client, name, params, returns, defaults):
    required, total = counts(params, defaults)
    how = "exactly" if defaults is None else "at most"
    with pytest.raises(TypeError) as info:
        call(client, name, *valid_args(params), "extra")
    assert str(info.value) == f"{name}() takes {how} {total} positional argument{'' if total == 1 else 's'} ({total + 1} given)"
    assert_quiet(core)


@ALL
def test_unexpected_keyword(core, client, name, params, returns, defaults):
    with pytest.raises(TypeError) as info:
        call(client, name, *valid_args(params), bogus=1)
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'bogus'"
    assert_quiet(core)


@ALL
def test_keyword_given_twice(core, client, name, params, returns, defaults):
    first = params[0][0]
    with pytest.raises(TypeError) as info:
        call(client, name, *valid_args(params), **{first: valid_args(params)[0]})
    assert str(info.value) == f"{name}() got multiple values for keyword argument '{first}'"
    with pytest.raises(TypeError, match=r"multiple values for keyword argument 'self'"):
        call(client, name, *valid_args(params), self=client)
    assert_quiet(core)


@pytest.mark.parametrize("name, params, returns, defaults", METHODS[1:], ids=METHOD_NAMES[1:])
def test_missing_parameter_reported_before_a_bad_keyword(core, client, name, params, returns, defaults):
    required, _ = counts(params, defaults)
    # Only the first parameter by keyword; the next required one is missing.
    kwargs = {params[0][0]: valid_args(params)[0], "bogus": 1}
    if required > 2:
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes .* \(2 given\)$"):
            call(client, name, **kwargs)
    else:
        with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
            call(client, name, **kwargs)
    assert_quiet(core)


@ALL
def test_keywords_bind_by_name(core, client, name, params, returns, defaults):
    """All arguments by keyword, names built at run time (not interned): the checks pass."""
    kwargs = {"".join(list(p)): v for (p, _), v in zip(params, valid_args(params))}
    try:
        call(client, name, **kwargs)
    except TypeError as e:
        assert "argument" not in str(e), e
    except Exception:
        pass  # the body ran; what it does is not this test's business


@ALL
def test_type_checks(core, client, name, params, returns, defaults):
    checks = checked_params(name, params)
    for index, pname, expected, none_ok in checks:
        bad = valid_args(params)
        for value, type_name in [(1, "int"), (b"x" if expected == "str" else "x", "bytes" if expected == "str" else "str")] + (
            [] if none_ok else [(None, "NoneType")]
        ):
            bad[index] = value
            with pytest.raises(TypeError) as info:
                call(client, name, *bad)
            assert str(info.value) == f"Argument '{pname}' has incorrect type (expected {expected}, got {type_name})"
            assert not getattr(info.value, "__notes__", None)

        bad[index] = StrSub("x") if expected == "str" else BytesSub(b"x")
        with pytest.raises(TypeError) as info:
            call(client, name, *bad)
        sub = type(bad[index]).__name__
        assert str(info.value) == f"Argument '{pname}' has incorrect type (expected {expected}, got {sub})"
        (note,) = info.value.__notes__
        assert "subclass" in note and expected in note
    assert_quiet(core)


MULTI = [m for m in METHODS if len(checked_params(m[0], m[1])) >= 2]


@pytest.mark.parametrize("name, params, returns, defaults", MULTI, ids=[m[0] for m in MULTI])
def test_first_bad_parameter_is_reported(core, client, name, params, returns, defaults):
    checks = checked_params(name, params)
    args = valid_args(params)
    for index, *_ in checks:
        args[index] = 1.5
    with pytest.raises(TypeError, match=f"Argument '{checks[0][1]}'"):
        call(client, name, *args)


def test_checked_parameters_are_the_expected_ones():
    got = {(n, p) for n, params, _, _ in METHODS for _, p, _, _ in checked_params(n, params)}
    serials = {(n, "serial") for n, params, _, _ in METHODS if ("serial", "str") in params}
    assert len(serials) == 35
    assert got - serials == {
        ("__init__", "mediator_address"), ("three_phase_read", "hardware"), ("three_phase_intervals", "csv"),
        ("obis_read", "obis"), ("obis_write", "obis"), ("obis_write", "payload_hex"), ("_write_element", "payload"),
        ("_send_message", "message"), ("_scale_value", "hardware"),
    }
    assert ("_scale_value", "hardware") in got and ("three_phase_read", "hardware") in got


def test_none_only_where_allowed(core, client):
    # None for hardware is accepted and means "ask the meter"
    client.hardware = lambda serial: "P1.ax"
    assert client.three_phase_read("HX1", None) == dict.fromkeys(
        ["active_import", "active_export", "reactive_import", "reactive_export",
         "apparent_import", "apparent_export"])
    with pytest.raises(TypeError, match="Argument 'hardware' has incorrect type \\(expected str, got NoneType\\)"):
        client._scale_value(None, None)
    with pytest.raises(TypeError, match="Argument 'payload' .* got bytearray"):
        client._write_element("HX1", 1, bytearray(b"x"))


def test_defaults_and_counts_of_the_download(core, client):
    with pytest.raises(TypeError) as info:
        client.three_phase_intervals("HX1")
    assert str(info.value) == "three_phase_intervals() takes at least 5 positional arguments (2 given)"
    with pytest.raises(Exception, match="start_time and end_time must be provided"):
        client.three_phase_intervals("HX1", None, None, None, "out.csv", True)
    with pytest.raises(TypeError) as info:
        client.three_phase_read("HX1")
    assert str(info.value) == "three_phase_read() takes exactly 3 positional arguments (2 given)"
    with pytest.raises(TypeError) as info:
        core.client("a", 10, "x")
    assert str(info.value) == "__init__() takes at most 3 positional arguments (4 given)"


def test_count_names_the_first_missing_parameter(core, client):
    with pytest.raises(TypeError) as info:
        client.obis_write("HX1", payload_hex="00")
    assert str(info.value) == "obis_write() takes exactly 4 positional arguments (2 given)"
    with pytest.raises(TypeError) as info:
        client.obis_write(obis="1.8.0", payload_hex="00")
    assert str(info.value) == "obis_write() takes exactly 4 positional arguments (1 given)"


def test_log_idx_is_converted_before_serial_is_tested(core, client):
    with pytest.raises(TypeError) as info:
        client.event_log(StrSub("HX1"), "2")
    assert str(info.value) == "Argument 'log_idx' has incorrect type (expected int, got str)"
    with pytest.raises(Boom, match="__int__"):
        client.event_log(1, touchy())
    for good in (True, 2.9, 7, 2**80):
        with pytest.raises(TypeError, match="Argument 'serial'"):
            client.event_log(1, good)
    with pytest.raises(OverflowError):
        client.event_log("HX1", float("inf"))
    assert_quiet(core)


def test_truth_of_flags_is_taken_before_serial(core, client):
    with pytest.raises(Boom, match="bool"):
        client.profile_log_2(1, None, touchy())
    with pytest.raises(Boom, match="bool"):
        client.three_phase_intervals(1, None, None, None, 1, touchy())
    # then serial, then csv
    with pytest.raises(TypeError, match="Argument 'serial'"):
        client.three_phase_intervals(1, None, None, None, 1, 0)
    with pytest.raises(TypeError, match="Argument 'csv'"):
        client.three_phase_intervals("HX1", None, None, None, 1, 0)
    assert_quiet(core)


def test_unchecked_parameters_take_anything(core, client):
    odd = touchy()
    assert client._scale_kilo_value(None) is None
    core.transport.default = "value"
    assert client._read_element("HX1", odd) == "value"
    assert core.transport.calls == [("read_element", ("HX1", odd))]
