"""What one run of the tool works with: its streams, the mediator it talks to (or the
simulator it starts) and the client, made on first use so that a usage error starts nothing."""

from __future__ import annotations

import os
import sys

from norvo_halvex.cli import connection
from norvo_halvex.cli.logs import LogOutput
from norvo_halvex.cli.progress import StatusLine
from norvo_halvex.failures import LocalError, SetupError, UsageError
from norvo_halvex.mediator.grpc.address import DEFAULT_MEDIATOR_ADDRESS

# Commands that need no mediator address or connection settings: they work on the
# collection store, or on the settings themselves.
NO_MEDIATOR_COMMANDS = ("gaps", "export", "report", "config")


def make_api(address: str, level: str):
    """The one client a run uses (tests replace this to run without a mediator)."""
    try:
        from norvo_halvex.mediator.api_core import HalvexMediatorAPI
    except ImportError as e:
        raise SetupError(f"the compiled core cannot be loaded ({e}); build it with 'make dev' or 'make install'") from e

    return HalvexMediatorAPI(address, level)


def start_simulator(fleet_path: str | None = None, *, host: str = "127.0.0.1", port: int = 0, **security):
    """``security``: the TLS, token and Unix socket keywords of the simulator (``halvex simulator`` only)."""
    from norvo_halvex.mediator.simulator import Fleet, start_simulator as _start

    fleet = None
    if fleet_path is not None:
        try:
            fleet = Fleet.from_json(fleet_path)
        except OSError as e:
            raise UsageError(f"cannot read fleet file {fleet_path}: {e.strerror or e}") from None
        except ValueError as e:  # the message names the file and the entry
            raise UsageError(str(e)) from None
    try:
        return _start(fleet, host=host, port=port, **security)
    except ValueError as e:  # an unusable certificate, key or token file
        raise UsageError(str(e)) from None
    except OSError as e:
        raise LocalError(f"{e}; choose another port or stop what is using it",
                         code="CANNOT_LISTEN", cause="cannot listen") from e


class Context:
    """What a command needs: output streams, the chosen mediator and the client,
    created on first use (so usage errors never start anything)."""

    def __init__(self, args, *, stdout=None, stderr=None, stdin=None, logs: LogOutput | None = None,
                 config=None) -> None:
        self.args = args
        self.logs = logs
        self.stdin = stdin if stdin is not None else sys.stdin
        self.stdout = stdout if stdout is not None else sys.stdout
        self.stderr = stderr if stderr is not None else sys.stderr
        self.json = bool(getattr(args, "json", False))
        self.log_level = getattr(args, "log_level", None) or "WARNING"
        self.status = StatusLine(self.stderr, log=logs.note if logs is not None else None)
        self.simulate = bool(getattr(args, "simulate", False))
        self.fleet_path = getattr(args, "simulator_fleet", None)
        self.config = config
        explicit = getattr(args, "mediator", None)
        if self.simulate and explicit:
            raise UsageError("--simulate and --mediator exclude each other")
        if explicit and args.command in ("demo", "simulator"):
            raise UsageError(f"{args.command} runs its own simulator; --mediator does not apply")
        if self.fleet_path and not self.simulate and args.command not in ("demo", "simulator"):
            raise UsageError("--simulator-fleet needs --simulate (or the demo / simulator commands)")
        if config is not None:
            self.mediator, source = config.values["mediator"], config.source_words("mediator")
        else:
            self.mediator = explicit or os.environ.get(connection.MEDIATOR_ENV) or DEFAULT_MEDIATOR_ADDRESS
            source = "--mediator" if explicit else connection.MEDIATOR_ENV
        self.simulator = None
        self._api = None
        # Everything about the connection is checked here, before anything starts.
        self.settings = None
        self._transport = None
        sources = config.sources if config is not None else None
        if args.command in NO_MEDIATOR_COMMANDS:
            pass  # they read the collection store or the settings, never a mediator
        elif args.command == "demo" or (self.simulate and args.command != "simulator"):
            self.settings = connection.settings_for(args, simulate=True, sources=sources)
        elif args.command != "simulator":
            connection.checked_address(self.mediator, source=source)
            self.settings = connection.settings_for(args, simulate=False)
            self._transport = connection.new_transport(self.mediator, self.settings)

    def start_simulator(self, **kw):
        self.simulator = start_simulator(self.fleet_path, **kw)
        self.mediator = self.simulator.address
        return self.simulator

    def mute_logs(self) -> None:
        """No more library log lines this run (after Ctrl-C)."""
        if self.logs is not None:
            self.logs.mute()

    def api(self):
        if self._api is None:
            if self.simulate and self.simulator is None:
                self.start_simulator()
            if self._transport is None:
                self._transport = connection.new_transport(self.mediator, self.settings)
            try:
                api = make_api(self.mediator, self.log_level)
            except ValueError as e:  # the core's own client found a HALVEX_* variable unusable
                raise UsageError(f"{e} (the library reads the HALVEX_* variables itself: fix or unset them)") from None
            from norvo_halvex.mediator.grpc.client import use_transport

            use_transport(api, self._transport)
            self._api = api
        return self._api

    def abandon_calls(self) -> None:
        """Ends the calls still in flight at once (they fail as cancelled)."""
        _close_channels(self._transport, self._api)

    def close(self) -> None:
        api, self._api = self._api, None
        sim, self.simulator = self.simulator, None
        transport, self._transport = self._transport, None
        # Close our channel before any simulator stops: a server going away under an
        # open channel makes gRPC log a GOAWAY notice on standard error.
        _close_channels(transport, api)
        if sim is not None:
            sim.stop()


def _close_channels(transport, api) -> None:
    for client in {id(c): c for c in (transport, getattr(api, "grpc_client", None)) if c is not None}.values():
        close = getattr(client, "close", None)
        if callable(close):
            try:
                close()
            except Exception:
                pass
