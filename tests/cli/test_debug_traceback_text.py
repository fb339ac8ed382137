"""At --log-level DEBUG a failure's traceback is shown too: the mediator's words in it
reach the terminal escaped, like everywhere else."""

from norvo_halvex.mediator.simulator import Fault


def test_a_debug_traceback_shows_a_mediator_detail_escaped(cli, simulator):
    simulator.fleet.set_fault("HX1000001", Fault(status="INTERNAL", details="\x1b]0;owned\x07broken\u009b"))
    run = cli("--mediator", simulator.address, "--log-level", "DEBUG", "voltage", "HX1000001")
    assert run.code == 4
    assert "Traceback (most recent call last):\n" in run.err
    assert "\\x1b]0;owned\\x07broken\\x9b" in run.err
    assert "\x1b" not in run.err and "\x9b" not in run.err
